// The real TAVUEdit.dll as the host's editor module: the PE image mapped into
// the emulated CPU's memory, relocated, protected section by section, its
// Windows imports bound to traps that run the workbench's own Win32 subset
// (files, module registry, strings, dialog manager, bitmaps), and its
// Linkage entries called on the CPU.
//
// While it is loaded, the module's texts and dialog templates come from the
// DLL's resource section, and it is registered as "TAVUEdit.dll" with its
// guest image base as the module handle.
#pragma once

#include <stdint.h>

#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim/emulated_space.h"
#include "sim/pe_image.h"
#include "sim/simulator.h"

namespace sim {

struct EmulatedModuleOptions {
    // Map the image at the base its headers ask for (when that range of the
    // heap is free) rather than elsewhere; elsewhere, every run also proves
    // the image's relocations.
    bool atPreferredBase = false;
};

// Native handles the module holds as 32-bit values: files, modules and
// bitmaps, which natively are 64-bit pointers or tokens.
class GuestHandles {
  public:
    static constexpr uint32_t kInvalid = 0xFFFFFFFF;  // INVALID_HANDLE_VALUE

    // A fixed pairing, as of the module's own HINSTANCE with its registration.
    void Pin(uint32_t guest, void* native);
    // null is 0 and INVALID_HANDLE_VALUE kInvalid; any other native handle
    // gets a token of its own, the same one each time it comes back.
    uint32_t ToGuest(void* native);
    // 0 is null and kInvalid INVALID_HANDLE_VALUE; a value no handle was
    // given as becomes a native value no object has, which the native
    // functions refuse as they refuse any stale handle.
    void* ToNative(uint32_t guest) const;
    // After a native close or delete: the token means nothing any more.
    void Forget(uint32_t guest);
    size_t size() const { return natives_.size(); }

  private:
    std::map<uint32_t, void*> natives_;
    std::map<void*, uint32_t> guests_;
    uint32_t next_ = 0xC0000004;
};

// What the module's traps share with it; see emulated_module.cpp.
struct EmulatedModuleState;

class EmulatedModule : public EditorModule {
  public:
    // Reads, maps and binds the DLL; nullptr with *error saying why when the
    // file is unreadable, not a sound PE32 DLL, does not fit or imports a
    // function the workbench does not provide ("unresolved import
    // KERNEL32.dll!Sleep").
    static std::unique_ptr<EmulatedModule> Load(EmulatedSpace& space, const std::string& path,
                                                const EmulatedModuleOptions& options, std::string* error);
    static std::unique_ptr<EmulatedModule> Load(EmulatedSpace& space, std::span<const uint8_t> file,
                                                const EmulatedModuleOptions& options, std::string* error);
    ~EmulatedModule() override;
    EmulatedModule(const EmulatedModule&) = delete;
    EmulatedModule& operator=(const EmulatedModule&) = delete;

    void Attach(Host& host) override;
    void Detach() override;
    int32_t Entry(int index, int32_t argument, int32_t* running) override;
    HINSTANCE Instance() const override;
    std::vector<std::string> Reclaim() override;

    uint32_t base() const;
    const PeImage& image() const;
    // The guest address of an export; 0 when the DLL has none of that name.
    uint32_t Export(const std::string& name) const;
    // The fault that stopped the module's code, if any.
    const std::optional<X86Emulator::Fault>& fault() const;

  private:
    explicit EmulatedModule(std::shared_ptr<EmulatedModuleState> state);
    std::shared_ptr<EmulatedModuleState> impl_;  // shared with the traps, which may outlive the module
};

}  // namespace sim
