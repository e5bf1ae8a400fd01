// The player backed by a folder of scenery files: what it loads and refuses,
// which scenery each select request hands out by place, new sceneries, and
// the release and delete protocol with real files.
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

constexpr int32_t kLat = 1000000;  // about 9 degrees north
constexpr int32_t kLon = 50000000;

struct Box {
    int32_t minLat, maxLat, minLon, maxLon;
};

int32_t Lon(int32_t metres) { return sim::MetresToLonUnits(metres, kLat); }

// A box of the given size whose south-west corner is (north, east) metres
// from the aircraft's usual place.
Box BoxAt(int32_t north, int32_t east, int32_t size = 1000) {
    return {kLat + north, kLat + north + size, kLon + Lon(east), kLon + Lon(east + size)};
}

ObjectRecord RecordIn(const Box& box) {
    ObjectRecord record = testsupport::MakeRecord(box.minLat / 2 + box.maxLat / 2, box.minLon / 2 + box.maxLon / 2, 50);
    return record;
}

std::vector<uint8_t> SceneryBytes(const Box& box, int32_t count, uint32_t flags = 0) {
    sim::SceneryHeaderFields fields;
    fields.minLat = box.minLat;
    fields.maxLat = box.maxLat;
    fields.minLon = box.minLon;
    fields.maxLon = box.maxLon;
    fields.flags = flags;
    fields.count = count;
    fields.sizeBytes = RECORD_BYTES * count;
    return sim::EncodeSceneryFile(fields, std::vector<ObjectRecord>(static_cast<size_t>(count), RecordIn(box)));
}

std::vector<int> released;  // the scenery current at each release
void TAVU_CALL RecordRelease() { released.push_back(sim::Player::Active()->Current()); }

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
    void WriteScenery(const std::string& name, const Box& box, int32_t count = 1, uint32_t flags = 0) {
        Write(name, SceneryBytes(box, count, flags));
    }

    int Open() {
        messages.clear();
        return player.OpenFolder(folder, &messages);
    }
    int IndexOf(const std::string& name) const { return player.Find(PathOf(name)); }

    // A select request as the player sees it, answered with the index handed
    // out (-1: none).
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

    std::vector<std::string> messages;
};

bool Mentions(const std::vector<std::string>& messages, const std::string& a, const std::string& b) {
    for (const std::string& message : messages) {
        if (message.find(a) != std::string::npos && message.find(b) != std::string::npos) {
            return true;
        }
    }
    return false;
}

TEST_F(FilePlayer, LoadsSoundFilesInNameOrderIntoHostBlocks) {
    WriteScenery("b.tsc", BoxAt(0, 0), 2, MODIFIED | IN_EDIT);
    WriteScenery("a.TSC", BoxAt(5000, 0), 0);
    WriteScenery("c.tsc", BoxAt(-5000, 0), 1);
    Write("notes.txt", {1, 2, 3});

    EXPECT_EQ(Open(), 3);
    EXPECT_TRUE(messages.empty()) << messages.front();
    ASSERT_EQ(player.SceneryCount(), 3);
    EXPECT_EQ(player.Path(0), PathOf("a.TSC"));
    EXPECT_EQ(player.Path(1), PathOf("b.tsc"));
    EXPECT_EQ(player.Path(2), PathOf("c.tsc"));

    SceneryHeader* b = player.Header(1);
    Box box = BoxAt(0, 0);
    EXPECT_EQ(b->minLat, box.minLat);
    EXPECT_EQ(b->maxLat, box.maxLat);
    EXPECT_EQ(b->minLon, box.minLon);
    EXPECT_EQ(b->maxLon, box.maxLon);
    EXPECT_EQ(b->flags, IN_EDIT) << "what was read is what is on disk: not modified";
    EXPECT_EQ(b->count, 2);
    EXPECT_EQ(b->sizeBytes, 152);
    EXPECT_EQ(player.Handle(1)->capacityBytes, 152);
    EXPECT_TRUE(host.OwnsBlock(b));
    EXPECT_TRUE(host.OwnsBlock(b->records));
    EXPECT_EQ(host.BlockSize(b->records), 152u);
    std::vector<uint8_t> bytes = testsupport::ReadBytes(PathOf("b.tsc"));
    EXPECT_EQ(memcmp(b->records, bytes.data() + 48, 152), 0);

    SceneryHeader* a = player.Header(0);
    EXPECT_EQ(a->records, nullptr) << "no records, no record array";
    EXPECT_EQ(a->count, 0);
    EXPECT_EQ(a->sizeBytes, 0);
    EXPECT_EQ(host.Allocations().liveBlocks, 5);

    EXPECT_EQ(Open(), 0) << "files already held are not loaded twice";
    EXPECT_EQ(player.SceneryCount(), 3);
}

TEST_F(FilePlayer, MalformedFilesAreSkippedNamedAndNeverWritten) {
    WriteScenery("good.tsc", BoxAt(-500, -500));
    // Both would hold the aircraft if they were read regardless.
    std::vector<uint8_t> truncated = SceneryBytes(BoxAt(-100, -100, 200), 2);
    truncated.pop_back();
    Write("truncated.tsc", truncated);
    std::vector<uint8_t> badConstant = SceneryBytes(BoxAt(-100, -100, 200), 2);
    badConstant[48 + 76 + 8] = 0x21;
    Write("scenery-001.tsc", badConstant);
    Write("tiny.tsc", {'T', 'A', 'V', 'U'});

    EXPECT_EQ(Open(), 1);
    EXPECT_EQ(messages.size(), 3u);
    EXPECT_TRUE(Mentions(messages, "truncated.tsc", "truncated"));
    EXPECT_TRUE(Mentions(messages, "scenery-001.tsc", "record 1: constant word at byte 132 is 0x0021"));
    EXPECT_TRUE(Mentions(messages, "tiny.tsc", "4 bytes"));
    EXPECT_EQ(IndexOf("truncated.tsc"), -1);
    EXPECT_EQ(IndexOf("scenery-001.tsc"), -1);

    // A session that adds a scenery and saves it.
    int good = IndexOf("good.tsc");
    EXPECT_EQ(Select(0), good);
    int added = Select(1);
    ASSERT_GE(added, 0);
    EXPECT_EQ(player.Path(added), PathOf("scenery-002.tsc")) << "the malformed file keeps its name";
    int32_t running = 0;
    ASSERT_EQ(SelectScenery(1, &running), 1);  // through the editor, so releases save
    ASSERT_EQ(player.Current(), good) << "the new scenery is nowhere until it is saved";
    ASSERT_EQ(SelectScenery(1, &running), 1);
    ASSERT_NE(AllocRecord(RECORD_BYTES), nullptr);
    memcpy(Record(0), RecordTemplate, RECORD_BYTES);
    Record(0)->lat.integer = kLat;
    Record(0)->lon.integer = kLon;
    ASSERT_EQ(SelectScenery(1, &running), 1);
    EXPECT_TRUE(fs::exists(PathOf("scenery-002.tsc")));

    EXPECT_EQ(testsupport::ReadBytes(PathOf("truncated.tsc")), truncated);
    EXPECT_EQ(testsupport::ReadBytes(PathOf("scenery-001.tsc")), badConstant);
    for (const auto& entry : fs::directory_iterator(folder)) {
        EXPECT_NE(entry.path().extension(), ".saving") << entry.path();
    }
}

TEST_F(FilePlayer, LeftoversOfInterruptedSavesAndFoldersAreNotLoaded) {
    WriteScenery("a.tsc.saving", BoxAt(-100, -100, 200));
    WriteScenery("b.tsc", BoxAt(50000, 0));
    fs::create_directory(PathOf("dir.tsc"));

    EXPECT_EQ(Open(), 1);
    EXPECT_EQ(player.SceneryCount(), 1);
    EXPECT_EQ(player.Path(0), PathOf("b.tsc"));
    EXPECT_TRUE(Mentions(messages, "a.tsc.saving", "interrupted"));
    EXPECT_TRUE(Mentions(messages, "dir.tsc", "not a regular file"));
    EXPECT_EQ(Select(0), -1) << "the leftover holds the aircraft but is never a scenery";
}

TEST_F(FilePlayer, MissingFolderIsReported) {
    EXPECT_EQ(player.OpenFolder(PathOf("absent"), &messages), 0);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_NE(messages[0].find("absent"), std::string::npos);
    EXPECT_TRUE(player.HasFolder());
}

TEST_F(FilePlayer, ModeZeroPicksTheSmallestContainingBoxThenTheNearestThenNone) {
    WriteScenery("big.tsc", BoxAt(-5000, -5000, 10000));
    WriteScenery("small.tsc", BoxAt(-500, -500, 1000));
    WriteScenery("north.tsc", BoxAt(12000, 0));
    WriteScenery("east.tsc", BoxAt(0, 15000));
    WriteScenery("nowhere.tsc", {INT32_MAX, INT32_MIN, INT32_MAX, INT32_MIN}, 0);
    ASSERT_EQ(Open(), 5);

    EXPECT_EQ(player.DistanceTo(IndexOf("big.tsc")), 0.0);
    EXPECT_LT(player.DistanceTo(IndexOf("nowhere.tsc")), 0.0);
    EXPECT_EQ(Select(0), IndexOf("small.tsc"));

    // 6 km south of big; east is 11 km south and 15 km west of the aircraft.
    PlaceAircraft(kLat - 11000, kLon);
    EXPECT_NEAR(player.DistanceTo(IndexOf("big.tsc")), 6000.0, 1.0);
    EXPECT_NEAR(player.DistanceTo(IndexOf("east.tsc")), 18601.0, 10.0);
    EXPECT_EQ(Select(0), IndexOf("big.tsc"));

    // 12 km west of big; small is 16.5 km away, north and east beyond reach.
    PlaceAircraft(kLat, kLon - Lon(17000));
    EXPECT_EQ(Select(0), IndexOf("big.tsc"));
    player.reachMetres = 11000;
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
    WriteScenery("date-line.tsc", {kLat - 500, kLat + 500, INT32_MAX - Lon(1000), INT32_MAX});
    WriteScenery("across.tsc", {kLat - 500, kLat + 500, INT32_MAX - Lon(500), INT32_MIN + Lon(500)});
    ASSERT_EQ(Open(), 2);
    PlaceAircraft(kLat, INT32_MIN + Lon(3000));
    EXPECT_NEAR(player.DistanceTo(IndexOf("date-line.tsc")), 3000.0, 2.0);
    EXPECT_NEAR(player.DistanceTo(IndexOf("across.tsc")), 2500.0, 2.0);
    PlaceAircraft(kLat, INT32_MIN + Lon(100));
    EXPECT_EQ(player.DistanceTo(IndexOf("across.tsc")), 0.0) << "a box may span the antimeridian";
    EXPECT_EQ(Select(0), IndexOf("across.tsc"));
}

TEST_F(FilePlayer, ModeOneCyclesNearSceneriesByDistancePastTheCurrentOne) {
    WriteScenery("a.tsc", BoxAt(5000, 0));    // 5 km
    WriteScenery("b.tsc", BoxAt(-500, -500)); // holds the aircraft
    WriteScenery("c.tsc", BoxAt(0, 2000));    // 2 km
    WriteScenery("d.tsc", BoxAt(50000, 0));   // out of reach
    ASSERT_EQ(Open(), 4);
    int a = IndexOf("a.tsc"), b = IndexOf("b.tsc"), c = IndexOf("c.tsc");

    EXPECT_EQ(Select(0), b);
    EXPECT_EQ(Select(1), c);
    EXPECT_EQ(Select(1), a);
    EXPECT_EQ(Select(1), b);
    EXPECT_EQ(Select(1), c);
    EXPECT_EQ(released, (std::vector<int>{b, c, a, b})) << "each release comes before the next hand-out";
    EXPECT_EQ(player.SceneryCount(), 4) << "no new scenery while others are near";
}

TEST_F(FilePlayer, ModeOneMakesANewSceneryWhenNoOtherIsNear) {
    WriteScenery("only.tsc", BoxAt(-500, -500));
    ASSERT_EQ(Open(), 1);
    int only = IndexOf("only.tsc");
    EXPECT_EQ(Select(0), only);

    int made = Select(1);
    ASSERT_EQ(made, 1);
    EXPECT_EQ(player.Path(made), PathOf("scenery-001.tsc"));
    EXPECT_FALSE(fs::exists(PathOf("scenery-001.tsc"))) << "the file appears when the editor saves it";
    SceneryHeader* header = player.Header(made);
    EXPECT_EQ(header->records, nullptr);
    EXPECT_EQ(header->count, 0);
    EXPECT_EQ(header->flags, 0u);
    EXPECT_EQ(header->minLat, INT32_MAX);
    EXPECT_EQ(header->maxLat, INT32_MIN);
    EXPECT_EQ(header->minLon, INT32_MAX);
    EXPECT_EQ(header->maxLon, INT32_MIN);
    EXPECT_TRUE(host.OwnsBlock(header));

    EXPECT_EQ(Select(1), only) << "the new scenery is not the current one any more";
    EXPECT_EQ(Select(1), made) << "an unsaved empty scenery is handed out again, not made twice";
    EXPECT_EQ(Select(1), only);
    EXPECT_EQ(player.SceneryCount(), 2);
    EXPECT_EQ(released, (std::vector<int>{only, made, only, made}));
}

TEST_F(FilePlayer, ANewSceneryIsNamedAfterEveryTakenName) {
    WriteScenery("scenery-001.tsc", BoxAt(90000, 0));
    WriteScenery("SCENERY-002.TSC", BoxAt(90000, 0));
    Write("scenery-003.tsc", {0});
    WriteScenery("scenery-004.tsc.saving", BoxAt(90000, 0));
    ASSERT_EQ(Open(), 2);
    int made = Select(1);
    ASSERT_GE(made, 0);
    EXPECT_EQ(player.Path(made), PathOf("scenery-005.tsc"));
}

TEST_F(FilePlayer, TheEditorSavesANewSceneryUnderItsNewName) {
    ASSERT_EQ(Open(), 0);
    int32_t running = 0;
    ASSERT_EQ(SelectScenery(1, &running), 1);
    int first = player.Current();
    ASSERT_NE(AllocRecord(RECORD_BYTES), nullptr);
    memcpy(Record(0), RecordTemplate, RECORD_BYTES);
    Record(0)->lat.integer = kLat;
    Record(0)->lon.integer = kLon;
    Record(0)->maxDistance = 100;
    SaveScenery();

    std::vector<uint8_t> bytes = testsupport::ReadBytes(PathOf("scenery-001.tsc"));
    sim::SceneryFile file = sim::ReadSceneryFile(bytes);
    EXPECT_TRUE(file.ok());
    EXPECT_EQ(file.header.count, 1);
    EXPECT_EQ(player.DistanceTo(first), 0.0) << "saving gave the scenery its place";

    // Now the aircraft's own scenery is the only one near: L makes another.
    ASSERT_EQ(SelectScenery(1, &running), 1);
    EXPECT_EQ(player.Path(player.Current()), PathOf("scenery-002.tsc"));
    ASSERT_EQ(SelectScenery(1, &running), 1);
    EXPECT_EQ(player.Current(), first);
}

TEST_F(FilePlayer, ReleaseSavesTheOldSceneryToItsFileBeforeTheNextIsHandedOut) {
    WriteScenery("a.tsc", BoxAt(-500, -500), 2);
    WriteScenery("b.tsc", BoxAt(0, 1000), 1);
    ASSERT_EQ(Open(), 2);
    int32_t running = 0;
    ASSERT_EQ(SelectScenery(0, &running), 1);
    ASSERT_EQ(player.Current(), IndexOf("a.tsc"));
    Record(1)->heading = 777;
    Header()->flags |= MODIFIED;

    ASSERT_EQ(SelectScenery(1, &running), 1);
    EXPECT_EQ(player.Current(), IndexOf("b.tsc"));
    EXPECT_EQ(player.ReleaseCalls(), 1);
    sim::SceneryFile file = sim::ReadSceneryFile(testsupport::ReadBytes(PathOf("a.tsc")));
    ASSERT_TRUE(file.ok());
    ASSERT_EQ(file.records.size(), 2u);
    EXPECT_EQ(int16_t{file.records[1].heading}, 777);
    EXPECT_EQ(player.Header(IndexOf("a.tsc"))->flags & MODIFIED, 0u);
}

TEST_F(FilePlayer, DeletingReleasesFirstThenRemovesTheSceneryAndItsFile) {
    WriteScenery("scenery-001.tsc", BoxAt(-500, -500), 2);
    WriteScenery("other.tsc", BoxAt(0, 1000), 1);
    ASSERT_EQ(Open(), 2);
    int doomed = IndexOf("scenery-001.tsc");
    int other = IndexOf("other.tsc");
    std::vector<uint8_t> otherBytes = testsupport::ReadBytes(PathOf("other.tsc"));
    ASSERT_EQ(Select(0), doomed);
    int64_t blocks = host.Allocations().liveBlocks;

    PlayerDeleteScenery();
    EXPECT_EQ(released, std::vector<int>{doomed});
    EXPECT_TRUE(player.Deleted(doomed));
    EXPECT_EQ(player.Current(), -1);
    EXPECT_FALSE(fs::exists(PathOf("scenery-001.tsc")));
    EXPECT_EQ(host.Allocations().liveBlocks, blocks - 2);
    EXPECT_EQ(testsupport::ReadBytes(PathOf("other.tsc")), otherBytes);

    EXPECT_EQ(Select(0), other) << "the deleted scenery held the aircraft but is gone";
    int made = Select(1);
    ASSERT_GE(made, 0);
    EXPECT_NE(made, doomed);
    EXPECT_EQ(player.Path(made), PathOf("scenery-001.tsc")) << "a deleted scenery's name is free again";
}

TEST(FilePlayerLifetime, LeavesNoLiveHostBlock) {
    std::string folder = testsupport::MakeTempFolder();
    {
        std::ofstream out(folder + "/a.tsc", std::ios::binary);
        std::vector<uint8_t> bytes = SceneryBytes(BoxAt(-500, -500), 3);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    sim::Host host;
    host.SetGlobal<int32_t>(SG_AIRCRAFT_LAT + 4, kLat);
    host.SetGlobal<int32_t>(SG_AIRCRAFT_LON + 4, kLon);
    {
        sim::Player player(host);
        ASSERT_EQ(player.OpenFolder(folder, nullptr), 1);
        const sim::ModuleAddress release = host.space().AddressOf(reinterpret_cast<const void*>(&RecordRelease));
        EXPECT_NE(player.SelectScenery(release, 0), 0u);
        EXPECT_NE(player.SelectScenery(release, 1), 0u);  // a new scenery
        player.AddScenery(folder + "/added.tsc", {RecordIn(BoxAt(0, 0))});
        EXPECT_EQ(player.SceneryCount(), 3);
        EXPECT_GT(host.Allocations().liveBlocks, 0);
    }
    EXPECT_EQ(host.Allocations().liveBlocks, 0);
    EXPECT_EQ(host.Allocations().liveBytes, 0);
    fs::remove_all(folder);
}

}  // namespace
