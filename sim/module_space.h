// The module's side of the boundary as the host and the player see it: the
// memory the module can address, the host functions it can call, and the
// way into its own code. The linked-in module sees native memory and native
// function pointers; the real 32-bit DLL under x86 emulation sees a guest
// address space and traps. The host and the player are written once against
// this interface.
#pragma once

#include <stdint.h>
#include <string.h>

#include <memory>

#include "platform/win32.h"

namespace sim {

// An address as the module sees it: a native pointer's value for the linked
// module, a 32-bit guest address under emulation. 0 is null.
using ModuleAddress = uint64_t;

// Everything the host and the player hand the module as a function address.
enum class HostFunction {
    AllocBlock,
    ResizeBlock,
    CopyBytes,
    CompareBytes,
    CopyString,
    AppendString,
    RegisterCallback,
    UnregisterCallback,
    DrawBlock,
    SinCos,
    ShowHelp,
    RunDialog,
    ShowMessage,
    InstallKeyHook,
    RemoveKeyHook,
    DistanceToLon,
    LonToDistance,
    PlayerSelectScenery,
    PlayerFilePrefix,
    PlayerFilePath,
    PlayerDeleteScenery,
};

class ModuleSpace {
public:
    virtual ~ModuleSpace() = default;

    // Width of a pointer, a table word or a Linkage word to the module.
    virtual unsigned PointerBytes() const = 0;

    // Memory the module can address. Allocate gives at least `bytes` bytes
    // (not initialised) or 0; Resize keeps the contents and may move the
    // block, giving 0 and leaving the old block alone when it cannot.
    virtual ModuleAddress Allocate(size_t bytes) = 0;
    virtual ModuleAddress Resize(ModuleAddress block, size_t bytes) = 0;
    virtual void Free(ModuleAddress block) = 0;
    // The native view of `bytes` bytes at `address`; nullptr when any of
    // them lies outside the module's memory.
    virtual uint8_t* Native(ModuleAddress address, size_t bytes) = 0;
    // The module's address of native memory inside its space; 0 if outside.
    virtual ModuleAddress AddressOf(const void* native) const = 0;

    // The address at which the module calls a host or player function.
    virtual ModuleAddress HostEntry(HostFunction function) = 0;

    // Calls into the module, at addresses it handed over.
    virtual void CallCallback(ModuleAddress function, uint32_t first, uint32_t second) = 0;
    virtual uint32_t CallKeyFunction(ModuleAddress function, uint32_t keyCode, uint32_t modifiers) = 0;
    virtual void CallRelease(ModuleAddress function) = 0;
    // A native dialog procedure that runs the module's procedure.
    virtual DLGPROC DialogProcedure(ModuleAddress function) = 0;

    // Little-endian values and pointer-sized words in module memory; reads
    // outside it give 0 and writes there are dropped.
    template <typename T>
    T Read(ModuleAddress address) {
        T value{};
        if (const uint8_t* at = Native(address, sizeof value)) {
            memcpy(&value, at, sizeof value);
        }
        return value;
    }
    template <typename T>
    void Write(ModuleAddress address, T value) {
        if (uint8_t* at = Native(address, sizeof value)) {
            memcpy(at, &value, sizeof value);
        }
    }
    ModuleAddress ReadPointer(ModuleAddress address) {
        return PointerBytes() == 4 ? Read<uint32_t>(address) : Read<uint64_t>(address);
    }
    void WritePointer(ModuleAddress address, ModuleAddress value) {
        if (PointerBytes() == 4) {
            Write<uint32_t>(address, static_cast<uint32_t>(value));
        } else {
            Write<uint64_t>(address, value);
        }
    }
};

// The space of the module linked into this program: native memory from the
// C heap, native function pointers.
std::unique_ptr<ModuleSpace> MakeNativeSpace();

// Offsets of the header and handle fields, which follow the pointer width.
struct SceneryLayout {
    unsigned pointer;
    ModuleAddress records() const { return pointer == 4 ? 20 : 24; }
    ModuleAddress sizeBytes() const { return records() + pointer; }
    ModuleAddress count() const { return sizeBytes() + 4; }
    size_t headerBytes() const { return count() + 4; }
    ModuleAddress capacityBytes() const { return pointer; }
    ModuleAddress currentIndex() const { return pointer + 4; }
    size_t handleBytes() const { return pointer + 8; }
};

}  // namespace sim
