// The module's side of the boundary when the module is the real 32-bit DLL
// running on an emulated x86 CPU: module memory is the emulator's heap, each
// host and player function is a trap that turns the guest's stdcall
// arguments into native ones and calls the same Host or Player method the
// linked-in module reaches, and calls into the module run on the CPU.
//
// A guest pointer a trap cannot honour (outside the arena, into the trap
// area or the image's read-only pages, or without a terminator) never
// reaches native code: the trap fails, and the emulator records a fault
// naming the trap and the argument. Faults stop the guest, never the
// process; the caller of the outermost call reads them from fault().
#pragma once

#include <stdint.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/module_space.h"
#include "sim/x86_emulator.h"

namespace sim {

class EmulatedSpace : public ModuleSpace {
  public:
    // Windows starts every thread with this x87 control word: double
    // precision, round to nearest, every exception masked.
    static constexpr uint32_t kWindowsFpuControlWord = 0x027F;
    // How many distinct guest dialog procedures may be handed out at once.
    static constexpr size_t kDialogProcedureSlots = 16;

    // On an emulator of its own with the default arena, or on the one given.
    EmulatedSpace();
    explicit EmulatedSpace(std::unique_ptr<X86Emulator> cpu);
    ~EmulatedSpace() override;
    EmulatedSpace(const EmulatedSpace&) = delete;
    EmulatedSpace& operator=(const EmulatedSpace&) = delete;

    X86Emulator& cpu() { return *cpu_; }
    const X86Emulator& cpu() const { return *cpu_; }
    // The fault that stopped the guest, if any.
    const std::optional<X86Emulator::Fault>& fault() const { return cpu_->fault(); }

    // --- ModuleSpace ---------------------------------------------------------
    unsigned PointerBytes() const override { return 4; }
    ModuleAddress Allocate(size_t bytes) override;
    ModuleAddress Resize(ModuleAddress block, size_t bytes) override;
    void Free(ModuleAddress block) override;
    uint8_t* Native(ModuleAddress address, size_t bytes) override;
    ModuleAddress AddressOf(const void* native) const override;
    ModuleAddress HostEntry(HostFunction function) override;
    void CallCallback(ModuleAddress function, uint32_t first, uint32_t second) override;
    uint32_t CallKeyFunction(ModuleAddress function, uint32_t keyCode, uint32_t modifiers) override;
    void CallRelease(ModuleAddress function) override;
    DLGPROC DialogProcedure(ModuleAddress function) override;

    // --- For trap handlers ---------------------------------------------------
    // Native views of guest memory a trap may hand to native code. Each
    // throws std::invalid_argument naming `what` and the address when the
    // range is not wholly the module's: reads need the arena, writes also
    // stay off the trap area and the read-only pages of the image.
    const uint8_t* Readable(uint32_t address, uint64_t bytes, std::string_view what) const;
    uint8_t* Writable(uint32_t address, uint64_t bytes, std::string_view what);
    // A NUL-terminated string in the arena; its length without the NUL.
    const char* String(uint32_t address, std::string_view what, size_t* length = nullptr) const;
    // The same, or nullptr for a null pointer.
    const char* OptionalString(uint32_t address, std::string_view what) const;
    // Pages natively written memory must not touch, as the guest may not.
    void AddReadOnlyRange(uint32_t address, uint32_t bytes);

    // The `what` of a call into the module at this address, for fault
    // reports: "frame callback", "key handler" and so on, as the module
    // registered it.
    std::string_view CallLabel(uint32_t function, std::string_view fallback) const;

  private:
    struct DialogThunks;
    friend struct DialogThunks;

    uint32_t AddHostTrap(HostFunction function);
    intptr_t RunDialogProcedure(uint32_t procedure, HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
    void Label(uint32_t function, std::string_view label) { labels_[function] = label; }

    std::unique_ptr<X86Emulator> cpu_;
    std::map<HostFunction, uint32_t> entries_;
    // Labels are string literals: a fault report may outlive any map change.
    std::map<uint32_t, std::string_view> labels_;
    std::vector<std::pair<uint32_t, uint32_t>> readOnly_;  // [start, end)
};

}  // namespace sim
