// The module linked into this program: its memory is the C heap, its
// pointers are native, and the host reaches it by plain function calls.
#include <stdlib.h>

#include "module/player.h"
#include "sim/host.h"
#include "sim/player.h"

namespace sim {

namespace {

template <typename T>
ModuleAddress Address(T* pointer) {
    return static_cast<ModuleAddress>(reinterpret_cast<uintptr_t>(pointer));
}

template <typename T>
T Pointer(ModuleAddress address) {
    return reinterpret_cast<T>(static_cast<uintptr_t>(address));
}

// The host's and the player's functions in the module's calling convention;
// each forwards to the active host or player.
Host& ActiveHost() { return *Host::Active(); }
Player& ActivePlayer() { return *Player::Active(); }

int32_t TAVU_CALL AllocBlockEntry(int32_t pool, int32_t bytes, void* cell, int32_t flags) {
    return ActiveHost().ServiceAllocBlock(pool, bytes, Address(cell), flags);
}
int32_t TAVU_CALL ResizeBlockEntry(int32_t pool, int32_t bytes, void* cell) {
    return ActiveHost().ServiceResizeBlock(pool, bytes, Address(cell));
}
void TAVU_CALL CopyBytesEntry(void* destination, const void* source, int32_t count) {
    Host::ServiceCopyBytes(destination, source, count);
}
int32_t TAVU_CALL CompareBytesEntry(const void* first, const void* second, int32_t count) {
    return Host::ServiceCompareBytes(first, second, count);
}
void TAVU_CALL CopyStringEntry(char* destination, const char* source) { Host::ServiceCopyString(destination, source); }
void TAVU_CALL AppendStringEntry(char* destination, const char* source) {
    Host::ServiceAppendString(destination, source);
}
void TAVU_CALL RegisterCallbackEntry(int32_t type, HostCallback callback) {
    ActiveHost().ServiceRegister(type, Address(callback));
}
void TAVU_CALL UnregisterCallbackEntry(int32_t type, HostCallback callback) {
    ActiveHost().ServiceUnregister(type, Address(callback));
}
void TAVU_CALL DrawBlockEntry(const void* block, int32_t) { ActiveHost().ServiceDrawBlock(Address(block)); }
void TAVU_CALL SinCosEntry(uint32_t angle, int16_t* sine, int16_t* cosine) {
    ActiveHost().ServiceSinCos(angle, sine, cosine);
}
void TAVU_CALL ShowHelpEntry(const char* file, const char* topic) { ActiveHost().ServiceShowHelp(file, topic); }
int32_t TAVU_CALL RunDialogEntry(HINSTANCE instance, int32_t templateId, DLGPROC procedure) {
    return ActiveHost().ServiceRunDialog(instance, templateId, Address(procedure));
}
int32_t TAVU_CALL ShowMessageEntry(HINSTANCE instance, int32_t titleId, int32_t textId, int32_t, uint32_t flags) {
    return ActiveHost().ServiceShowMessage(instance, titleId, textId, flags);
}
int32_t TAVU_CALL InstallKeyHookEntry(KeyFunction handler, KeyFunction filter) {
    return ActiveHost().ServiceInstallKeyHook(Address(handler), Address(filter));
}
int32_t TAVU_CALL RemoveKeyHookEntry(KeyFunction handler, KeyFunction filter) {
    ActiveHost().ServiceRemoveKeyHook(Address(handler), Address(filter));
    return 1;
}
int32_t TAVU_CALL DistanceToLonEntry(int32_t distance, int32_t latitude) {
    return ActiveHost().ServiceDistanceToLon(distance, latitude);
}
int32_t TAVU_CALL LonToDistanceEntry(int32_t lonDifference, int32_t latitude) {
    return ActiveHost().ServiceLonToDistance(lonDifference, latitude);
}
SceneryHandle* TAVU_CALL PlayerSelectSceneryEntry(ReleaseCallback release, int32_t mode) {
    return Pointer<SceneryHandle*>(ActivePlayer().SelectScenery(Address(release), mode));
}
const uint8_t* TAVU_CALL PlayerFilePrefixEntry() { return Pointer<const uint8_t*>(ActivePlayer().FilePrefixAddress()); }
const char* TAVU_CALL PlayerFilePathEntry() { return Pointer<const char*>(ActivePlayer().FilePathAddress()); }
void TAVU_CALL PlayerDeleteSceneryEntry() { ActivePlayer().DeleteScenery(); }

class NativeSpace : public ModuleSpace {
public:
    unsigned PointerBytes() const override { return sizeof(void*); }
    ModuleAddress Allocate(size_t bytes) override { return Address(malloc(bytes == 0 ? 1 : bytes)); }
    ModuleAddress Resize(ModuleAddress block, size_t bytes) override {
        return Address(realloc(Pointer<void*>(block), bytes == 0 ? 1 : bytes));
    }
    void Free(ModuleAddress block) override { free(Pointer<void*>(block)); }
    // Natively every address is the module's: nothing to check against.
    uint8_t* Native(ModuleAddress address, size_t) override { return Pointer<uint8_t*>(address); }
    ModuleAddress AddressOf(const void* native) const override { return Address(native); }

    ModuleAddress HostEntry(HostFunction function) override {
        switch (function) {
            case HostFunction::AllocBlock: return Address(&AllocBlockEntry);
            case HostFunction::ResizeBlock: return Address(&ResizeBlockEntry);
            case HostFunction::CopyBytes: return Address(&CopyBytesEntry);
            case HostFunction::CompareBytes: return Address(&CompareBytesEntry);
            case HostFunction::CopyString: return Address(&CopyStringEntry);
            case HostFunction::AppendString: return Address(&AppendStringEntry);
            case HostFunction::RegisterCallback: return Address(&RegisterCallbackEntry);
            case HostFunction::UnregisterCallback: return Address(&UnregisterCallbackEntry);
            case HostFunction::DrawBlock: return Address(&DrawBlockEntry);
            case HostFunction::SinCos: return Address(&SinCosEntry);
            case HostFunction::ShowHelp: return Address(&ShowHelpEntry);
            case HostFunction::RunDialog: return Address(&RunDialogEntry);
            case HostFunction::ShowMessage: return Address(&ShowMessageEntry);
            case HostFunction::InstallKeyHook: return Address(&InstallKeyHookEntry);
            case HostFunction::RemoveKeyHook: return Address(&RemoveKeyHookEntry);
            case HostFunction::DistanceToLon: return Address(&DistanceToLonEntry);
            case HostFunction::LonToDistance: return Address(&LonToDistanceEntry);
            case HostFunction::PlayerSelectScenery: return Address(&PlayerSelectSceneryEntry);
            case HostFunction::PlayerFilePrefix: return Address(&PlayerFilePrefixEntry);
            case HostFunction::PlayerFilePath: return Address(&PlayerFilePathEntry);
            case HostFunction::PlayerDeleteScenery: return Address(&PlayerDeleteSceneryEntry);
        }
        return 0;
    }

    void CallCallback(ModuleAddress function, uint32_t first, uint32_t second) override {
        Pointer<HostCallback>(function)(first, second);
    }
    uint32_t CallKeyFunction(ModuleAddress function, uint32_t keyCode, uint32_t modifiers) override {
        return Pointer<KeyFunction>(function)(keyCode, modifiers);
    }
    void CallRelease(ModuleAddress function) override { Pointer<ReleaseCallback>(function)(); }
    DLGPROC DialogProcedure(ModuleAddress function) override { return Pointer<DLGPROC>(function); }
};

}  // namespace

std::unique_ptr<ModuleSpace> MakeNativeSpace() { return std::make_unique<NativeSpace>(); }

}  // namespace sim
