// The module as the host sees it: its exported records, init, and the start
// and stop of an editing run.
#include <filesystem>

#include "placement/marker.h"
#include "placement/motion.h"
#include "tests/support/module_fixture.h"

namespace fs = std::filesystem;
using testsupport::MakeRecord;

namespace {

class Linkage_ : public testsupport::ModuleTest {};

class NoPlayer : public testing::Test {
protected:
    NoPlayer() {
        host.FillImportTable(ImportTable);
        state = EditState{};
        platform::ForceLanguage(platform::LANGUAGE_ENGLISH);
        Linkage.init();
    }
    ~NoPlayer() override {
        int32_t running = 0;
        Linkage.moduleTable[1](0, &running);
        platform::ForceLanguage(0);
    }
    sim::Host host;
};

TEST(LinkageRecord, DeclaresTheModuleAndItsThreeEntries) {
    EXPECT_EQ(Linkage.id, 0u);
    EXPECT_EQ(Linkage.init, &EditorInit);
    EXPECT_EQ(Linkage.deinit, &EditorDeinit);
    EXPECT_EQ(Linkage.flags, 0u);
    EXPECT_EQ(Linkage.priority, 0u);
    EXPECT_EQ(Linkage.version, 0x0800u);
    EXPECT_EQ(Linkage.moduleTable[0], &EditorStart);
    EXPECT_EQ(Linkage.moduleTable[1], &EditorStop);
    EXPECT_EQ(Linkage.moduleTable[2], &SelectScenery);
    EXPECT_EQ(Linkage.moduleTableEnd, 0u);
    EXPECT_EQ(sizeof(ModuleLinkage), 10 * sizeof(HostWord));
}

TEST(LibraryEntry, StoresTheInstanceForEveryReason) {
    static int anchor;
    HINSTANCE instance = reinterpret_cast<HINSTANCE>(&anchor);
    platform::RegisterModule("TAVUEdit.dll", instance, {});
    state = EditState{};
    EXPECT_EQ(DllMain(instance, DLL_THREAD_ATTACH, nullptr), TRUE);
    EXPECT_EQ(state.moduleInstance, instance);
    EXPECT_EQ(platform::ThreadNotificationsDisabled(instance), 0);
    EXPECT_EQ(DllMain(instance, DLL_PROCESS_ATTACH, nullptr), TRUE);
    EXPECT_EQ(platform::ThreadNotificationsDisabled(instance), 1);
    EXPECT_EQ(DllMain(instance, DLL_PROCESS_DETACH, nullptr), TRUE);
    EXPECT_EQ(platform::ThreadNotificationsDisabled(instance), 1);
    platform::UnregisterModule(instance);
}

TEST_F(NoPlayer, InitForgetsAPlayerFoundBefore) {
    static HostWord stale[12];
    state.playerLinkage = stale;
    Linkage.init();
    EXPECT_EQ(state.playerLinkage, nullptr);
}

TEST_F(NoPlayer, StartFailsWithTheBoxAndTouchesNothing) {
    EXPECT_EQ(state.playerLinkage, nullptr);
    host.SetGlobal<uint16_t>(SG_EDITOR_HOLD_WORD, 0x1234);
    int32_t running = -1;
    EXPECT_EQ(Linkage.moduleTable[0](0, &running), 0);
    EXPECT_EQ(running, 0);
    EXPECT_FALSE(host.KeyHookInstalled());
    EXPECT_EQ(host.Global<uint16_t>(SG_EDITOR_HOLD_WORD), 0x1234);
    ASSERT_EQ(host.Boxes().size(), 1u);
    EXPECT_EQ(host.Boxes()[0].titleId, 3);
    EXPECT_EQ(host.Boxes()[0].textId, 7);
    EXPECT_EQ(host.Boxes()[0].flags, BOX_ONE_BUTTON);
    EXPECT_EQ(host.Boxes()[0].title, "Orvanta Editor - Error");

    // A stop after the failed start leaves the host's word alone.
    EXPECT_EQ(Linkage.moduleTable[1](0, &running), 0);
    EXPECT_EQ(host.Global<uint16_t>(SG_EDITOR_HOLD_WORD), 0x1234);

    // The module table's select entry does not call through a missing player.
    running = -1;
    EXPECT_EQ(Linkage.moduleTable[2](1, &running), 0);
    EXPECT_EQ(running, 1);
}

TEST_F(Linkage_, InitFindsTheLoadedPlayer) {
    EXPECT_EQ(state.playerLinkage, player.Linkage());
    Linkage.deinit();
    EXPECT_EQ(state.playerLinkage, player.Linkage()) << "deinit changes nothing";
}

TEST_F(Linkage_, RefusedKeyHookFailsTheStartAndLeavesTheWordUnread) {
    host.RefuseKeyHook(true);
    host.SetGlobal<uint16_t>(SG_EDITOR_HOLD_WORD, 0xBEEF);
    int32_t running = -1;
    EXPECT_EQ(Start(&running), 0);
    EXPECT_EQ(running, 0);
    EXPECT_EQ(HostWord4514(), 0xBEEF);
    EXPECT_EQ(BoxesWith(7), 1);
    EXPECT_TRUE(player.RequestedModes().empty());
    Stop();
    EXPECT_EQ(HostWord4514(), 0xBEEF);
}

TEST_F(Linkage_, StartHoldsTheWordTakesTheHeadingAndAsksForAScenery) {
    host.SetGlobal<uint16_t>(SG_EDITOR_HOLD_WORD, 0x00FF);
    host.SetGlobal<uint32_t>(SG_AIRCRAFT_HEADING, 0x12345678);
    player.HandOutNothing(true);
    int32_t running = -1;
    EXPECT_EQ(Start(&running), 1) << "no scenery is no error";
    EXPECT_EQ(running, 1);
    EXPECT_EQ(HostWord4514(), 0);
    EXPECT_EQ(state.velocityHeading, 0x12345678u);
    EXPECT_TRUE(host.KeyHookInstalled());
    EXPECT_EQ(player.RequestedModes(), std::vector<int32_t>{0});
    EXPECT_EQ(Stop(&running), 0);
    EXPECT_EQ(running, 0);
    EXPECT_EQ(HostWord4514(), 0x00FF);
    EXPECT_FALSE(host.KeyHookInstalled());
}

TEST_F(Linkage_, ASceneryAlreadyCurrentIsNotAskedForAgain) {
    Take({MakeRecord(1, 2, 3)});
    size_t asked = player.RequestedModes().size();
    EXPECT_EQ(Start(), 1);
    EXPECT_EQ(player.RequestedModes().size(), asked);
}

TEST_F(Linkage_, StopRestoresTheExactWordOfTheRun) {
    player.HandOutNothing(true);
    for (uint32_t value = 0; value <= 0xFFFF; value += value < 16 || value > 0xFFF0 ? 1 : 251) {
        host.SetGlobal<uint16_t>(SG_EDITOR_HOLD_WORD, static_cast<uint16_t>(value));
        ASSERT_EQ(Start(), 1);
        ASSERT_EQ(HostWord4514(), 0);
        Stop();
        ASSERT_EQ(HostWord4514(), value);
    }
}

TEST_F(Linkage_, ASecondStartWithinARunKeepsTheSavedWord) {
    player.HandOutNothing(true);
    host.SetGlobal<uint16_t>(SG_EDITOR_HOLD_WORD, 0x4242);
    ASSERT_EQ(Start(), 1);
    int32_t running = -1;
    EXPECT_EQ(Start(&running), 1);
    EXPECT_EQ(running, 1);
    EXPECT_EQ(host.KeyHookInstallCount(), 1);
    EXPECT_EQ(player.RequestedModes().size(), 1u);
    Stop();
    EXPECT_EQ(HostWord4514(), 0x4242);
    // A stray second stop writes nothing.
    host.SetGlobal<uint16_t>(SG_EDITOR_HOLD_WORD, 0x0101);
    Stop();
    EXPECT_EQ(HostWord4514(), 0x0101);
}

TEST_F(Linkage_, AWholeRunMovesAnObjectAndSavesItAtTheStop) {
    StartOn({MakeRecord(1000, 2000, 100, 174)});
    EXPECT_EQ(host.Registered(FRAME_CALLBACK), std::vector<HostCallback>{OnFrame});
    EXPECT_EQ(Press('Q'), 0u);
    for (int i = 0; i < 20; ++i) {
        host.RunFrame();
    }
    EXPECT_EQ(host.DrawCount(), 20);
    int32_t running = -1;
    EXPECT_EQ(Stop(&running), 0);
    EXPECT_EQ(running, 0);
    EXPECT_TRUE(host.Registered(FRAME_CALLBACK).empty());
    EXPECT_TRUE(host.Registered(DRAW_CALLBACK).empty());
    EXPECT_EQ(state.currentScenery, nullptr);
    std::vector<uint8_t> file = testsupport::ReadBytes(PathOf("run.tsc"));
    ASSERT_EQ(file.size(), 124u);
    ObjectRecord saved;
    memcpy(&saved, file.data() + 48, sizeof saved);
    // 20 frames of 50 ms at 65536 / 2^32 units per ms: 1000 * 2^-16 metres up.
    EXPECT_EQ(int32_t{saved.alt.integer}, 0);
    EXPECT_EQ(saved.alt.fraction, 1000);
}

TEST_F(Linkage_, StopWithoutSceneryWritesNoFile) {
    player.HandOutNothing(true);
    host.SetGlobal<uint16_t>(SG_EDITOR_HOLD_WORD, 7);
    ASSERT_EQ(Start(), 1);
    EXPECT_EQ(Stop(), 0);
    EXPECT_TRUE(fs::is_empty(folder));
    EXPECT_FALSE(host.KeyHookInstalled());
    EXPECT_EQ(HostWord4514(), 7);
}

}  // namespace
