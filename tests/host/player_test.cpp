// The emulated player through the module's own slot wrappers.
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "module/host.h"
#include "module/player.h"
#include "placement/edit_state.h"
#include "sim/host.h"
#include "sim/player.h"

namespace {

std::vector<std::string> events;
void TAVU_CALL Release() { events.push_back("release"); }

ObjectRecord RecordAt(int32_t lat) {
    ObjectRecord record{};
    record.lat.integer = lat;
    return record;
}

class PlayerSlots : public testing::Test {
protected:
    PlayerSlots() {
        host.FillImportTable(ImportTable);
        state = EditState{};
        events.clear();
        HMODULE module = GetModuleHandleA("TAVUPlay.DLL");
        state.playerLinkage =
            reinterpret_cast<const HostWord*>(reinterpret_cast<void*>(GetProcAddress(module, "Linkage")));
    }
    sim::Host host;
    sim::Player player{host};
};

TEST_F(PlayerSlots, IsFoundThroughTheModuleRegistry) {
    ASSERT_NE(state.playerLinkage, nullptr);
    EXPECT_EQ(state.playerLinkage, player.Linkage());
    for (int word = 0; word < 8; ++word) {
        EXPECT_EQ(state.playerLinkage[word], 0u);
    }
}

TEST_F(PlayerSlots, HandsOutSceneriesInTurnAndReleasesTheOldOneFirst) {
    int a = player.AddScenery("a.tsc", {RecordAt(1), RecordAt(2)}, IN_EDIT);
    int b = player.AddScenery("b.tsc");
    SceneryHandle* first = PlayerSelectScenery(Release, 0);
    ASSERT_EQ(first, player.Handle(a));
    SceneryHeader* header = *first->header;
    EXPECT_EQ(header->count, 2);
    EXPECT_EQ(header->sizeBytes, 152);
    EXPECT_EQ(int32_t{header->records[1].lat.integer}, 2);
    EXPECT_EQ(header->flags, IN_EDIT);
    EXPECT_STREQ(PlayerFilePath(), "a.tsc");
    EXPECT_TRUE(events.empty());

    SceneryHandle* second = PlayerSelectScenery(Release, 1);
    EXPECT_EQ(second, player.Handle(b));
    EXPECT_EQ(events, std::vector<std::string>{"release"});
    EXPECT_EQ((*second->header)->records, nullptr);
    EXPECT_EQ(player.RequestedModes(), (std::vector<int32_t>{0, 1}));

    player.HandOutNothing(true);
    EXPECT_EQ(PlayerSelectScenery(Release, 1), nullptr);
    EXPECT_EQ(events.size(), 1u) << "handing out nothing keeps the current scenery";
    EXPECT_EQ(player.Current(), b);

    const uint8_t* prefix = PlayerFilePrefix();
    EXPECT_EQ(memcmp(prefix, "TAVU-SCENERY\x01\0\0\0", 16), 0);
}

TEST_F(PlayerSlots, DeletingReleasesBeforeFreeingAndRemovesTheFile) {
    player.AddScenery("/nonexistent/only.tsc", {RecordAt(7)});
    ASSERT_NE(PlayerSelectScenery(Release, 0), nullptr);
    int64_t blocksBefore = host.Allocations().liveBlocks;
    PlayerDeleteScenery();
    EXPECT_EQ(events, std::vector<std::string>{"release"});
    EXPECT_TRUE(player.Deleted(0));
    EXPECT_EQ(player.Current(), -1);
    EXPECT_EQ(host.Allocations().liveBlocks, blocksBefore - 2);
    EXPECT_EQ(PlayerSelectScenery(Release, 1), nullptr) << "a deleted scenery is never handed out";
}

TEST(PlayerLifetime, FreesEverythingItOwnsAndCanBeAbsent) {
    sim::Host host;
    {
        sim::Player player(host);
        player.AddScenery("x.tsc", {RecordAt(1)});
        player.AddScenery("y.tsc");
        EXPECT_EQ(host.Allocations().liveBlocks, 3);
    }
    EXPECT_EQ(host.Allocations().liveBlocks, 0);
    EXPECT_EQ(GetModuleHandleA("TAVUPlay.DLL"), nullptr);

    sim::Player absent(host, false);
    EXPECT_EQ(GetModuleHandleA("TAVUPlay.DLL"), nullptr);
}

}  // namespace
