// The player backed by a folder of scenery files: what it loads and refuses,
// which scenery each select request hands out by place, new sceneries and
// their names, and the release and delete protocol with real files.
#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "module/host.h"
#include "module/player.h"
#include "scenery/save.h"
#include "scenery/storage.h"
#include "sim/scenery_file.h"
#include "tests/support/editor_fixture.h"

namespace fs = std::filesystem;

namespace {

constexpr int32_t kLat = 1000000;  // about 9 degrees north; latitude units are metres
constexpr int32_t kLon = 50000000;

struct Box {
    int32_t minLat, maxLat, minLon, maxLon;
};

int32_t Lon(int32_t metres) {
    return sim::MetresToLonUnits(metres, kLat);
}

// A box of the given size whose south-west corner is (north, east) metres
// from the aircraft's usual place.
Box BoxAt(int32_t north, int32_t east, int32_t size = 1000) {
    return {kLat + north, kLat + north + size, kLon + Lon(east), kLon + Lon(east + size)};
}

std::vector<uint8_t> SceneryBytes(const Box& box, int32_t count, uint32_t flags = 0) {
    const ObjectRecord record =
        testsupport::MakeRecord(box.minLat / 2 + box.maxLat / 2, box.minLon / 2 + box.maxLon / 2, 50);
    return sim::EncodeSceneryFile(
        {box.minLat, box.maxLat, box.minLon, box.maxLon, flags, 0, 76 * count, count},
        std::vector<ObjectRecord>(static_cast<size_t>(count), record));
}

std::vector<int> released;  // the scenery current at each release
void TAVU_CALL RecordRelease() {
    released.push_back(sim::Player::Active()->Current());
}

class FilePlayer : public testsupport::EditorTest {
  protected:
    FilePlayer() {
        released.clear();
        PlaceAircraft(kLat, kLon);
    }

    void PlaceAircraft(int32_t lat, int32_t lon) {
        host.SetGlobal<int32_t>(SG_AIRCRAFT_LAT + 4, lat);
        host.SetGlobal<int32_t>(SG_AIRCRAFT_LON + 4, lon);
    }
    void Write(const std::string& name, const std::vector<uint8_t>& bytes) {
        std::ofstream(PathOf(name), std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    int Open() {
        messages.clear();
        return player.OpenFolder(folder, &messages);
    }
    int IndexOf(const std::string& name) const { return player.Find(PathOf(name)); }

    // A select request through the player's slot, answered with the index
    // handed out (-1: none).
    int Select(int32_t mode) {
        SceneryHandle* handle = PlayerSelectScenery(RecordRelease, mode);
        for (int i = 0; i < player.SceneryCount(); ++i) {
            if (handle == player.Handle(i)) {
                return i;
            }
        }
        EXPECT_EQ(handle, nullptr);
        return -1;
    }
    // Through the editor, whose release callback saves.
    void EditorSelects(int32_t mode) {
        int32_t running = 0;
        ASSERT_EQ(SelectScenery(mode, &running), 1);
    }
    std::vector<std::string> messages;
};

TEST_F(FilePlayer, LoadsSoundFilesInNameOrderAndNeverTouchesTheRest) {
    Write("b.tsc", SceneryBytes(BoxAt(0, 0), 2, MODIFIED | IN_EDIT));
    Write("a.TSC", SceneryBytes(BoxAt(50000, 0), 0));
    Write("notes.txt", {1, 2, 3});
    // These would hold the aircraft in a smaller box if they were read.
    std::vector<uint8_t> truncated = SceneryBytes(BoxAt(-100, -100, 200), 2);
    truncated.pop_back();
    Write("truncated.tsc", truncated);
    std::vector<uint8_t> badConstant = SceneryBytes(BoxAt(-100, -100, 200), 2);
    badConstant[48 + 76 + 8] = 0x21;
    Write("scenery-001.tsc", badConstant);
    Write("tiny.tsc", {'T', 'A', 'V', 'U'});
    Write("c.tsc.saving", SceneryBytes(BoxAt(-100, -100, 200), 1));
    fs::create_directory(PathOf("dir.tsc"));
    Write("huge.tsc", {});
    fs::resize_file(PathOf("huge.tsc"), sim::kMaxSceneryFileBytes + 1);  // sparse: no disk, no time

    EXPECT_EQ(Open(), 2);
    const std::string said[] = {
        "c.tsc.saving: left over from an interrupted save", "dir.tsc: not loaded: not a regular file",
        "huge.tsc: not loaded: file is 67108865 bytes, larger than the limit",
        "scenery-001.tsc: not loaded: record 1: constant word at byte 132 is 0x0021",
        "tiny.tsc: not loaded: file is 4 bytes", "truncated.tsc: not loaded: file is truncated"};
    ASSERT_EQ(messages.size(), std::size(said));
    for (size_t i = 0; i < messages.size(); ++i) {
        EXPECT_EQ(messages[i].rfind(said[i], 0), 0u) << messages[i];
    }
    ASSERT_EQ(player.SceneryCount(), 2);
    EXPECT_EQ(player.Path(0), PathOf("a.TSC"));
    EXPECT_EQ(player.Header(0)->records, nullptr) << "no records, no record array";
    // What is in memory is what is on disk, and so not modified.
    const SceneryHeader* b = player.Header(1);
    EXPECT_EQ(b->flags, IN_EDIT);
    EXPECT_EQ(sim::EncodeSceneryFile({b->minLat, b->maxLat, b->minLon, b->maxLon, b->flags | MODIFIED, 0,
                                      b->sizeBytes, b->count},
                                     {b->records, 2}),
              testsupport::ReadBytes(PathOf("b.tsc")));
    EXPECT_EQ(player.Handle(1)->capacityBytes, 152);
    EXPECT_EQ(host.BlockSize(b->records), 152u);
    EXPECT_EQ(host.Allocations().liveBlocks, 3);
    EXPECT_EQ(Open(), 0) << "files already held are not loaded twice";

    // A session that makes a new scenery and saves it: the malformed files
    // keep their bytes and their names.
    EditorSelects(0);
    EXPECT_EQ(player.Current(), 1);
    EditorSelects(1);
    EXPECT_EQ(player.Path(player.Current()), PathOf("scenery-002.tsc"));
    ASSERT_NE(AllocRecord(RECORD_BYTES), nullptr);
    *Record(0) = testsupport::MakeRecord(kLat, kLon, 100);
    const int made = player.Current();
    EditorSelects(1);
    EXPECT_EQ(player.Current(), 1) << "the one near scenery other than the current";
    EXPECT_TRUE(sim::ReadSceneryFile(testsupport::ReadBytes(PathOf("scenery-002.tsc"))).ok());
    EXPECT_EQ(player.DistanceTo(made), 0.0) << "saving gave the new scenery its place";
    EXPECT_EQ(testsupport::ReadBytes(PathOf("truncated.tsc")), truncated);
    EXPECT_EQ(testsupport::ReadBytes(PathOf("scenery-001.tsc")), badConstant);
    EXPECT_FALSE(fs::exists(PathOf("scenery-002.tsc.saving")));
}

TEST_F(FilePlayer, ModeZeroPicksTheSmallestContainingBoxThenTheNearestThenNone) {
    Write("big.tsc", SceneryBytes(BoxAt(-5000, -5000, 10000), 1));
    Write("small.tsc", SceneryBytes(BoxAt(-500, -500, 1000), 1));
    Write("north.tsc", SceneryBytes(BoxAt(12000, 0), 1));
    Write("nowhere.tsc", SceneryBytes({INT32_MAX, INT32_MIN, INT32_MAX, INT32_MIN}, 0));
    ASSERT_EQ(Open(), 4);
    EXPECT_LT(player.DistanceTo(IndexOf("nowhere.tsc")), 0.0);
    EXPECT_EQ(Select(0), IndexOf("small.tsc"));
    // 6 km south of big, 10.5 km south of small: the nearest is chosen.
    PlaceAircraft(kLat - 11000, kLon);
    EXPECT_NEAR(player.DistanceTo(IndexOf("big.tsc")), 6000.0, 1.0);
    EXPECT_EQ(Select(0), IndexOf("big.tsc"));
    // Nothing within 20 km: big is 20.001 km north.
    PlaceAircraft(kLat - 25001, kLon);
    released.clear();
    EXPECT_EQ(Select(0), -1);
    EXPECT_TRUE(released.empty()) << "handing out nothing releases nothing";
    // The chooser, when set, still decides.
    player.chooser = [this](int32_t) { return IndexOf("north.tsc"); };
    EXPECT_EQ(Select(0), IndexOf("north.tsc"));
}

TEST_F(FilePlayer, LongitudeDistancesWrapRoundTheAntimeridian) {
    // A box ending at the last unit of longitude east, and the aircraft 3 km
    // past it, at the most negative longitudes.
    Write("date-line.tsc", SceneryBytes({kLat - 500, kLat + 500, INT32_MAX - Lon(1000), INT32_MAX}, 1));
    Write("across.tsc",
          SceneryBytes({kLat - 500, kLat + 500, INT32_MAX - Lon(500), INT32_MIN + Lon(500)}, 1));
    ASSERT_EQ(Open(), 2);
    PlaceAircraft(kLat, INT32_MIN + Lon(3000));
    EXPECT_NEAR(player.DistanceTo(IndexOf("date-line.tsc")), 3000.0, 2.0);
    EXPECT_NEAR(player.DistanceTo(IndexOf("across.tsc")), 2500.0, 2.0);
    PlaceAircraft(kLat, INT32_MIN + Lon(100));
    EXPECT_EQ(player.DistanceTo(IndexOf("across.tsc")), 0.0) << "a box may span the antimeridian";
    EXPECT_EQ(Select(0), IndexOf("across.tsc"));
}

TEST_F(FilePlayer, ModeOneCyclesTheSceneriesWithin20KmByDistanceThenMakesANewOne) {
    Write("a.tsc", SceneryBytes(BoxAt(5000, 0), 1));     // 5 km
    Write("b.tsc", SceneryBytes(BoxAt(-500, -500), 1));  // holds the aircraft
    Write("c.tsc", SceneryBytes(BoxAt(0, 2000), 1));     // 2 km
    Write("d.tsc", SceneryBytes(BoxAt(20000, 0), 1));    // 20 km: just in reach
    Write("e.tsc", SceneryBytes(BoxAt(-21001, 0), 1));   // 20.001 km
    ASSERT_EQ(Open(), 5);
    const int a = IndexOf("a.tsc"), b = IndexOf("b.tsc"), c = IndexOf("c.tsc"), d = IndexOf("d.tsc");
    EXPECT_EQ(Select(0), b);
    EXPECT_EQ(Select(1), c);
    EXPECT_EQ(Select(1), a);
    EXPECT_EQ(Select(1), d);
    EXPECT_EQ(Select(1), b);
    EXPECT_EQ(released, (std::vector<int>{b, c, a, d})) << "each release comes before the next hand-out";
    EXPECT_EQ(player.SceneryCount(), 5) << "no new scenery while others are near";

    // Far from them all, mode 1 makes a new empty scenery, and hands it out
    // again while it is unsaved and empty.
    PlaceAircraft(kLat + 60000, kLon);
    const int made = Select(1);
    ASSERT_EQ(made, 5);
    EXPECT_EQ(player.Path(made), PathOf("scenery-001.tsc"));
    EXPECT_FALSE(fs::exists(PathOf("scenery-001.tsc"))) << "the file appears when the editor saves it";
    const SceneryHeader* header = player.Header(made);
    EXPECT_EQ(header->records, nullptr);
    EXPECT_GT(header->minLat, header->maxLat) << "a new scenery is nowhere";
    PlaceAircraft(kLat, kLon);
    EXPECT_EQ(Select(1), b);
    PlaceAircraft(kLat + 60000, kLon);
    EXPECT_EQ(Select(1), made) << "an unsaved empty scenery is handed out again, not made twice";
    EXPECT_EQ(player.SceneryCount(), 6);
}

TEST_F(FilePlayer, ANewSceneryTakesTheFirstNumberNoFileOrSceneryHolds) {
    Write("scenery-001.tsc", SceneryBytes(BoxAt(90000, 0), 1));
    Write("SCENERY-002.TSC", SceneryBytes(BoxAt(90000, 0), 1));
    Write("scenery-003.tsc", {0});
    Write("scenery-004.tsc.saving", SceneryBytes(BoxAt(90000, 0), 1));
    Write("scenery-006.tsc", SceneryBytes(BoxAt(90000, 0), 1));
    Write("scenery-002.tsc", SceneryBytes(BoxAt(90000, 0), 1));  // hidden by its upper-case twin
    ASSERT_EQ(Open(), 3);
    EXPECT_EQ(messages.front(), "scenery-002.tsc: not loaded: the same name as SCENERY-002.TSC but for case, "
                                "and SCENERY-002.TSC is loaded");
    const int made = Select(1);
    ASSERT_GE(made, 0);
    EXPECT_EQ(player.Path(made), PathOf("scenery-005.tsc"));
}

TEST_F(FilePlayer, DeletingReleasesFirstThenRemovesTheSceneryAndItsFile) {
    Write("scenery-001.tsc", SceneryBytes(BoxAt(-500, -500), 2));
    Write("other.tsc", SceneryBytes(BoxAt(0, 1000), 1));
    ASSERT_EQ(Open(), 2);
    const int doomed = IndexOf("scenery-001.tsc"), other = IndexOf("other.tsc");
    const std::vector<uint8_t> otherBytes = testsupport::ReadBytes(PathOf("other.tsc"));
    ASSERT_EQ(Select(0), doomed);
    const int64_t blocks = host.Allocations().liveBlocks;
    PlayerDeleteScenery();
    EXPECT_EQ(released, std::vector<int>{doomed});
    EXPECT_TRUE(player.Deleted(doomed));
    EXPECT_FALSE(fs::exists(PathOf("scenery-001.tsc")));
    EXPECT_EQ(host.Allocations().liveBlocks, blocks - 2);
    EXPECT_EQ(testsupport::ReadBytes(PathOf("other.tsc")), otherBytes);
    EXPECT_EQ(Select(0), other) << "the deleted scenery held the aircraft but is gone";
    const int made = Select(1);
    EXPECT_NE(made, doomed);
    EXPECT_EQ(player.Path(made), PathOf("scenery-001.tsc")) << "a deleted scenery's name is free again";
}

TEST_F(FilePlayer, AFileThatCannotBeDeletedStaysAndIsNamed) {
    Write("scenery-001.tsc", SceneryBytes(BoxAt(-500, -500), 1));
    ASSERT_EQ(Open(), 1);
    ASSERT_EQ(Select(0), 0);
    player.onDeleteFailed = [this](const std::string& path, int error) {
        messages.push_back(fs::path(path).filename().string() + ": " + strerror(error));
    };
    // Unlink fails on a non-empty folder even for root, whom a read-only
    // folder would not stop.
    fs::remove(PathOf("scenery-001.tsc"));
    fs::create_directories(PathOf("scenery-001.tsc/x"));
    PlayerDeleteScenery();
    EXPECT_TRUE(player.Deleted(0));
    EXPECT_TRUE(fs::exists(PathOf("scenery-001.tsc/x")));
    EXPECT_EQ(messages, std::vector<std::string>{"scenery-001.tsc: " + std::string(strerror(EISDIR))});
}

// Without a folder the sceneries are handed out in turn, the last one too,
// and never the current one.
TEST_F(FilePlayer, WithoutAFolderSceneriesAreHandedOutInTurn) {
    const int first = player.AddScenery(PathOf("first.tsc"));
    int32_t running = 0;
    ASSERT_EQ(SelectScenery(0, &running), 1);
    EXPECT_EQ(player.Current(), first);
    const int second = player.AddScenery(PathOf("second.tsc"));
    ASSERT_EQ(SelectScenery(1, &running), 1);
    EXPECT_EQ(player.Current(), second);
    ASSERT_EQ(SelectScenery(1, &running), 1);
    EXPECT_EQ(player.Current(), first);
}

}  // namespace
