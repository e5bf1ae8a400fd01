#include "module/linkage.h"

#include "module/export.h"
#include "module/host.h"
#include "module/messages.h"
#include "placement/edit_state.h"
#include "placement/keys.h"
#include "scenery/storage.h"

namespace {

constexpr char kPlayerModule[] = "TAVUPlay.DLL";
constexpr char kPlayerLinkage[] = "Linkage";

// Set from a successful EditorStart to the next EditorStop. A second start
// within a run must not save the held-down host word over the real one.
uint32_t runActive;

}  // namespace

TAVU_EXPORT constinit ModuleLinkage Linkage = {
    0, EditorInit, EditorDeinit, 0, 0, MODULE_VERSION, {EditorStart, EditorStop, SelectScenery}, 0,
};

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    state.moduleInstance = instance;
    if (reason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}

void TAVU_CALL EditorInit(void) {
    // Only a player the host has already loaded; the editor never loads it.
    // A player found by an earlier init may be gone by now: forget it.
    state.playerLinkage = nullptr;
    HMODULE player = GetModuleHandleA(kPlayerModule);
    if (player == nullptr) {
        return;
    }
    state.playerLinkage = reinterpret_cast<const HostWord*>(GetProcAddress(player, kPlayerLinkage));
}

void TAVU_CALL EditorDeinit(void) {}

int32_t TAVU_CALL EditorStart(int32_t, int32_t* running) {
    if (runActive) {
        *running = 1;
        return 1;
    }
    *running = 0;
    if (state.playerLinkage == nullptr || InstallKeyHook(OnKey, KeyFilter) == 0) {
        ShowErrorBox(IDS_INIT_FAILED);
        return 0;
    }
    uint16_t* hostWord = SimGlobal<uint16_t>(SG_EDITOR_HOLD_WORD);
    state.savedHostWord = *hostWord;
    *hostWord = 0;
    state.velocityHeading = *SimGlobal<uint32_t>(SG_AIRCRAFT_HEADING);
    runActive = 1;
    *running = 1;
    if (state.currentScenery == nullptr) {
        int32_t scratch = 0;
        SelectScenery(0, &scratch);
    }
    return 1;
}

int32_t TAVU_CALL EditorStop(int32_t, int32_t* running) {
    ReleaseScenery();
    RemoveKeyHook(OnKey, KeyFilter);
    // Only a run that started saved the host's word; anything else would
    // write a stale value over it.
    if (runActive) {
        *SimGlobal<uint16_t>(SG_EDITOR_HOLD_WORD) = static_cast<uint16_t>(state.savedHostWord);
        runActive = 0;
    }
    *running = 0;
    return 0;
}
