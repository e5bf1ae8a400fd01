// The module loaded the way a host loads it: ImportTable filled, DllMain,
// Linkage's init, then the module-table entries and the key hook.
#pragma once

#include "module/linkage.h"
#include "placement/keys.h"
#include "tests/support/editor_fixture.h"

namespace testsupport {

inline HINSTANCE EditorInstance() {
    static int anchor;
    return reinterpret_cast<HINSTANCE>(&anchor);
}

class ModuleTest : public EditorTest {
protected:
    ModuleTest() {
        state.playerLinkage = nullptr;  // found by init, not by the fixture
        platform::RegisterModule("TAVUEdit.dll", EditorInstance(),
                                 {{"Linkage", &Linkage}, {"ImportTable", ImportTable}});
        DllMain(EditorInstance(), DLL_PROCESS_ATTACH, nullptr);
        Linkage.init();
    }
    ~ModuleTest() override {
        int32_t running = 0;
        Linkage.moduleTable[1](0, &running);
        platform::UnregisterModule(EditorInstance());
    }

    int32_t Start(int32_t* running = nullptr) {
        int32_t flag = -1;
        int32_t result = Linkage.moduleTable[0](0, running ? running : &flag);
        return result;
    }
    int32_t Stop(int32_t* running = nullptr) {
        int32_t flag = -1;
        return Linkage.moduleTable[1](0, running ? running : &flag);
    }
    // A chord through the installed key hook; the handler's answer.
    uint32_t Press(uint32_t key, uint32_t modifiers = MODIFIER_COMMAND) {
        return host.PressKey(key, modifiers).handlerResult;
    }
    uint16_t HostWord4514() const { return host.Global<uint16_t>(SG_EDITOR_HOLD_WORD); }

    // Starts a run on a scenery with the given records.
    void StartOn(const std::vector<ObjectRecord>& records, uint32_t flags = 0) {
        int index = player.AddScenery(PathOf("run.tsc"), records, flags);
        player.chooser = [index](int32_t) { return index; };
        ASSERT_EQ(Start(), 1);
        player.chooser = nullptr;
    }
};

}  // namespace testsupport
