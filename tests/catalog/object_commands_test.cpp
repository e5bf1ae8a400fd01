// Adding objects ahead of the aircraft and editing the selected one, through
// the key chords of a run.
#include <filesystem>

#include "module/wrap.h"
#include "placement/marker.h"
#include "placement/motion.h"
#include "scenery/save.h"
#include "scenery/scale.h"
#include "tests/support/dialog_fixture.h"

namespace fs = std::filesystem;
using testsupport::MakeRecord;

namespace {

constexpr uint32_t kInsert = 45;
constexpr uint32_t kReturn = 13;

// The aircraft at a 32.32 position, as the host keeps it.
int64_t At(int32_t integer, uint32_t fraction) {
    return static_cast<int64_t>((uint64_t{static_cast<uint32_t>(integer)} << 32) | fraction);
}
// The record's 48 bits of a 32.32 value.
Position48 Upper48(int64_t value) {
    return Position48{static_cast<uint16_t>(static_cast<uint64_t>(value) >> 16),
                      static_cast<int32_t>(static_cast<uint64_t>(value) >> 32)};
}
void ExpectPosition(const Position48& actual, const Position48& expected) {
    EXPECT_EQ(int32_t{actual.integer}, int32_t{expected.integer});
    EXPECT_EQ(actual.fraction, expected.fraction);
}

class Commands : public testsupport::DialogTest {
protected:
    Commands() { ChooseAndOk("Animals", "Elephant 1"); }
    void Aircraft(int64_t lat, int64_t lon, uint32_t heading) {
        host.SetGlobal<int64_t>(SG_AIRCRAFT_LAT, lat);
        host.SetGlobal<int64_t>(SG_AIRCRAFT_LON, lon);
        host.SetGlobal<uint32_t>(SG_AIRCRAFT_HEADING, heading);
    }
    ObjectRecord* Added() { return Record(Header()->count - 1); }
    void EmptyRun() { StartOn({}); }
};

TEST_F(Commands, PlacesTheObjectFiftyAheadAlongTheHeading) {
    EmptyRun();
    const int64_t lat = At(1000000, 0xFFFF0000u);  // a carry waits in the fraction
    const int64_t lon = At(-5000, 0x00001234u);
    const int32_t c = 32767, s = 32767;  // the host's 1.0
    host.SetGlobal<int32_t>(SG_NEW_OBJECT_ALTITUDE, 0x12345);

    Aircraft(lat, lon, 0);  // north
    ASSERT_EQ(Press(kInsert), 0u);
    ExpectPosition(Added()->lat, Upper48(lat + int64_t{c * 50} * 0x20000));
    EXPECT_EQ(int32_t{Added()->lat.integer}, 1000050) << "49.998 units ahead plus the carry";
    ExpectPosition(Added()->lon, Upper48(lon));
    EXPECT_EQ(int32_t{Added()->alt.integer}, 0x123);
    EXPECT_EQ(Added()->alt.fraction, 0x4500);

    Aircraft(lat, lon, 0x80000000u);  // south: the offset borrows
    Press(kInsert);
    ExpectPosition(Added()->lat, Upper48(lat - int64_t{c * 50} * 0x20000));
    ExpectPosition(Added()->lon, Upper48(lon));

    Aircraft(lat, lon, 0x40000000u);  // east, converted at the aircraft's latitude
    host.SetGlobal<int32_t>(SG_NEW_OBJECT_ALTITUDE, -1);
    Press(kInsert);
    ExpectPosition(Added()->lat, Upper48(lat));
    int64_t east = int64_t{sim::MetresToLonUnits(s * 50, 1000000)} * 0x20000;
    ExpectPosition(Added()->lon, Upper48(lon + east));
    EXPECT_EQ(int32_t{Added()->alt.integer}, -1);
    EXPECT_EQ(Added()->alt.fraction, 0xFF00);
    EXPECT_EQ(Added()->pitch | Added()->bank | Added()->heading, 0) << "level whatever the aircraft's heading";
    EXPECT_EQ(Header()->count, 3);
}

TEST_F(Commands, NewObjectsTakeTheDialogsChoiceAndStopAllMotion) {
    EmptyRun();
    ChooseAndOk("Aircraft", "B737 Air France");
    Press(kInsert);
    EXPECT_EQ(Added()->scale, 33554432u);
    EXPECT_EQ(Added()->maxDistance, 1400);
    EXPECT_EQ(Added()->size, 640);
    EXPECT_EQ(memcmp(Added()->objectKey, "QIROTrf6\x01\0\0\0\x26\0\0\0", 16), 0);
    EXPECT_EQ(Added()->recordTag, 0u);
    EXPECT_EQ(memcmp(reinterpret_cast<uint8_t*>(Added()) + 52, RecordTemplate + 52, 6), 0);

    state.forwardSpeed = 8;
    state.headingAcc = 0x30000;
    OnDialog([](HWND dialog) {
        ASSERT_TRUE(platform::UserChooseItem(dialog, IDC_GROUP_LIST, "Animals"));
        ASSERT_TRUE(platform::UserChooseItem(dialog, IDC_OBJECT_LIST, "Elephant 1"));
        ASSERT_TRUE(platform::UserTypeText(dialog, IDC_SCALE, "150"));
        ASSERT_TRUE(platform::UserTypeText(dialog, IDC_MAX_DISTANCE, "70000"));
        ASSERT_TRUE(platform::UserClick(dialog, IDOK));
    });
    Press(kInsert);
    EXPECT_EQ(Added()->scale, 43690u);
    EXPECT_EQ(Added()->maxDistance, 65535) << "a larger range keeps the farthest the record can hold";
    EXPECT_EQ(state.maxDistance, 70000u) << "the dialog's value itself stays as typed";
    EXPECT_EQ(state.forwardSpeed, 0);
    EXPECT_EQ(state.headingAcc, 0);
    EXPECT_EQ(state.selectedRecord, Added());
    EXPECT_EQ(Index(), 1);
}

TEST_F(Commands, TheFirstObjectRegistersTheCallbacksOnce) {
    EmptyRun();
    host.ClearCallbackLog();
    Press(kInsert);
    Press(kInsert);
    ASSERT_EQ(host.CallbackLog().size(), 2u);
    EXPECT_TRUE(host.CallbackLog()[0].registered);
    EXPECT_EQ(host.CallbackLog()[0].type, FRAME_CALLBACK);
    EXPECT_EQ(host.CallbackLog()[1].type, DRAW_CALLBACK);
    host.RunFrame();
    EXPECT_EQ(host.DrawCount(), 1);
}

TEST_F(Commands, AddingSavesFirstButLeavesTheNewObjectUnsaved) {
    StartOn({MakeRecord(0, 0, 100)}, MODIFIED);
    Aircraft(At(0, 0), At(0, 0), 0);
    Press(kInsert);
    std::vector<uint8_t> file = testsupport::ReadBytes(PathOf("run.tsc"));
    EXPECT_EQ(file.size(), 48u + 76u) << "saved before the add, without the new object";
    EXPECT_TRUE(Header()->flags & MODIFIED);
}

TEST_F(Commands, FarAwayWarningAtTheWidenedBounds) {
    StartOn({MakeRecord(0, 0, 100)}, MODIFIED);
    SaveScenery();  // bounds now -100 .. 200
    ASSERT_EQ(Header()->maxLat, 200);
    int32_t before = Header()->count;

    Aircraft(At(200 + 20000, 0), At(0, 0), 0);
    Press(kInsert);
    EXPECT_EQ(BoxesWith(12), 0) << "exactly on the widened bound is not far";
    EXPECT_EQ(Header()->count, before + 1);

    SaveScenery();
    Aircraft(At(Header()->maxLat + 20001, 0), At(0, 0), 0);
    host.Answers().push_back(ANSWER_NO);
    int dialogs = host.DialogCount();
    Press(kInsert);
    ASSERT_EQ(BoxesWith(12), 1);
    EXPECT_EQ(host.Boxes().back().titleId, 4);
    EXPECT_EQ(host.Boxes().back().flags, BOX_YES_NO);
    EXPECT_EQ(host.DialogCount(), dialogs) << "No stops before the dialog";
    EXPECT_EQ(Header()->count, before + 1);

    // Any answer but No goes on, a failed box included.
    for (int32_t answer : {int32_t{ANSWER_YES}, 0}) {
        SaveScenery();  // the bounds the next add tests against
        Aircraft(At(Header()->maxLat + 20001, 0), At(0, 0), 0);
        host.Answers().push_back(answer);
        int32_t count = Header()->count;
        Press(kInsert);
        EXPECT_EQ(Header()->count, count + 1);
    }

    // East and west use the longitude margin at the aircraft's latitude.
    int32_t margin = sim::MetresToLonUnits(20000, 0);
    host.ClearBoxes();
    SaveScenery();
    Aircraft(At(0, 0), At(Header()->maxLon + margin, 0), 0);
    Press(kInsert);
    EXPECT_EQ(BoxesWith(12), 0);
    SaveScenery();
    Aircraft(At(0, 0), At(Header()->minLon - margin, 0), 0);
    Press(kInsert);
    EXPECT_EQ(BoxesWith(12), 0);
    SaveScenery();
    Aircraft(At(0, 0), At(Header()->minLon - margin - 1, 0), 0);
    host.Answers().push_back(ANSWER_NO);
    Press(kInsert);
    EXPECT_EQ(BoxesWith(12), 1);
}

// Beside the antimeridian an object's bounds wrap: the west edge is a large
// positive longitude, the east edge a negative one. The far-away test then
// goes by distance, and still warns one unit beyond the widened box.
TEST_F(Commands, FarAwayAcrossTheAntimeridianGoesByDistance) {
    for (int32_t lon : {INT32_MAX - 1193, INT32_MIN + 1193}) {  // 179.9999 degrees east, then west
        Stop();
        EmptyRun();
        Aircraft(At(10, 0), At(lon, 0), 0);
        for (int i = 0; i < 3; ++i) {
            Press(kInsert);
        }
        EXPECT_EQ(BoxesWith(12), 0) << lon;
        EXPECT_EQ(Header()->count, 3);
    }
    SaveScenery();
    const int32_t minLat = Header()->minLat, maxLat = Header()->maxLat;
    const int32_t minLon = Header()->minLon, maxLon = Header()->maxLon;
    ASSERT_GT(minLon, maxLon) << "the box wraps";
    const int32_t margin = sim::MetresToLonUnits(20000, 10), inside = INT32_MIN + 1193;
    const struct {
        int32_t lat, lon;
        bool far;
    } rows[] = {
        {10, WrapAdd32(maxLon, margin), false},   {10, WrapAdd32(maxLon, margin + 1), true},
        {10, WrapSub32(minLon, margin), false},   {10, WrapSub32(minLon, margin + 1), true},
        {WrapAdd32(maxLat, 20001), inside, true}, {WrapSub32(minLat, 20001), inside, true},
    };
    OnDialog([](HWND dialog) { ASSERT_TRUE(platform::UserClick(dialog, IDCANCEL)); });
    for (const auto& row : rows) {
        host.ClearBoxes();
        if (row.far) {
            host.Answers().push_back(ANSWER_NO);
        }
        Aircraft(At(row.lat, 0), At(row.lon, 0), 0);
        Press(kInsert);
        EXPECT_EQ(BoxesWith(12), row.far ? 1 : 0) << row.lat << " " << row.lon;
    }
    EXPECT_EQ(Header()->count, 3);
}

TEST_F(Commands, AnEmptySceneryIsNeverFarAway) {
    EmptyRun();
    Aircraft(At(9000000, 0), At(0, 0), 0);
    Press(kInsert);
    EXPECT_TRUE(host.Boxes().empty());
    EXPECT_EQ(Header()->count, 1);
}

TEST_F(Commands, CancelAndAllocationFailurePutTheDialogValuesBack) {
    StartOn({MakeRecord(0, 0, 100, 174)});
    state.scalePercent = 33;
    state.maxDistance = 333;
    const int32_t group = state.groupIndex, object = state.objectIndex;
    OnDialog([](HWND dialog) {
        ASSERT_TRUE(platform::UserChooseItem(dialog, IDC_GROUP_LIST, "Ships"));
        ASSERT_TRUE(platform::UserClick(dialog, IDCANCEL));
    });
    Press(kInsert);
    EXPECT_EQ(Header()->count, 1);
    EXPECT_EQ(state.groupIndex, group);
    EXPECT_EQ(state.objectIndex, object);
    EXPECT_EQ(state.scalePercent, 33);
    EXPECT_EQ(state.maxDistance, 333u);

    ChooseAndOk("Ships", "Sailboat 1");
    host.FailAllocationAt(1);
    Press(kInsert);
    EXPECT_EQ(BoxesWith(5), 1);
    EXPECT_EQ(Header()->count, 1);
    EXPECT_EQ(state.selectedRecord, Record(0));
    EXPECT_EQ(state.groupIndex, group);
    EXPECT_EQ(state.scalePercent, 33);
    EXPECT_EQ(platform::LiveBitmapCount(), 0);
}

TEST_F(Commands, WithoutASceneryTheAddAsksThePlayerAndEndsQuietly) {
    player.HandOutNothing(true);
    ASSERT_EQ(Start(), 1);
    Press(kInsert);
    EXPECT_EQ(player.RequestedModes(), (std::vector<int32_t>{0, 1}));
    EXPECT_EQ(host.DialogCount(), 0);
    EXPECT_TRUE(host.Boxes().empty());

    // With a scenery handed out, the add goes on in it.
    player.HandOutNothing(false);
    player.AddScenery(PathOf("new.tsc"));
    Press(kInsert);
    EXPECT_EQ(Header()->count, 1);
}

TEST_F(Commands, EditChangesTheSelectedObjectAndSavesAtOnce) {
    ObjectRecord elephant = MakeRecord(10, 20, 2500, 174);
    elephant.scale = EncodeScale(150);
    elephant.heading = 0x1000;
    StartOn({elephant});
    state.forwardSpeed = 4;
    OnDialog([](HWND dialog) {
        EXPECT_EQ(platform::ControlText(dialog, IDC_TITLE_LINE), "OBJECT PROPERTIES");
        EXPECT_EQ(platform::ControlText(dialog, IDC_SCALE), "150");
        EXPECT_EQ(platform::ControlText(dialog, IDC_MAX_DISTANCE), "2500");
        ASSERT_TRUE(platform::UserChooseItem(dialog, IDC_OBJECT_LIST, "Lion"));
        ASSERT_TRUE(platform::UserTypeText(dialog, IDC_SCALE, "200"));
        ASSERT_TRUE(platform::UserClick(dialog, IDOK));
    });
    ASSERT_EQ(Press(kReturn), 0u);
    const CatalogEntry& lion = ObjectCatalog.entries[185];
    EXPECT_EQ(Record(0)->scale, 32768u);
    EXPECT_EQ(Record(0)->maxDistance, lion.defaultMaxDistance);
    EXPECT_EQ(Record(0)->size, lion.size);
    EXPECT_EQ(memcmp(Record(0)->objectKey, lion.objectKey, 16), 0);
    EXPECT_EQ(Record(0)->heading, 0x1000) << "position and angles stay";
    EXPECT_EQ(int32_t{Record(0)->lat.integer}, 10);
    EXPECT_EQ(state.forwardSpeed, 4) << "the object keeps its motion";
    EXPECT_FALSE(Header()->flags & MODIFIED);
    std::vector<uint8_t> file = testsupport::ReadBytes(PathOf("run.tsc"));
    ASSERT_EQ(file.size(), 124u);
    EXPECT_EQ(memcmp(file.data() + 48 + 58, lion.objectKey, 16), 0);
}

TEST_F(Commands, EditOfAnUnknownKeyStartsFromTheLastUsedObject) {
    ObjectRecord stranger = MakeRecord(0, 0, 1234);
    memset(stranger.objectKey, 0xEE, 16);
    stranger.scale = EncodeScale(80);
    state.groupIndex = 9;
    state.objectIndex = 272;  // "Cleaner", chosen last
    StartOn({stranger});
    OnDialog([](HWND dialog) {
        EXPECT_EQ(platform::ComboSelection(dialog, IDC_OBJECT_LIST), "Cleaner");
        EXPECT_EQ(platform::ControlText(dialog, IDC_SCALE), "--") << "Cleaner has a fixed scale";
        EXPECT_EQ(platform::ControlText(dialog, IDC_MAX_DISTANCE), "1234");
        ASSERT_TRUE(platform::UserClick(dialog, IDOK));
    });
    Press(kReturn);
    EXPECT_EQ(memcmp(Record(0)->objectKey, ObjectCatalog.entries[272].objectKey, 16), 0);
    EXPECT_EQ(Record(0)->size, 16);
    EXPECT_EQ(Record(0)->scale, 1048576u);
    EXPECT_EQ(Record(0)->maxDistance, 1234);
}

TEST_F(Commands, CancelledEditChangesNothing) {
    StartOn({MakeRecord(0, 0, 500, 174)});
    ObjectRecord before = *Record(0);
    const int32_t scale = state.scalePercent;
    OnDialog([](HWND dialog) {
        ASSERT_TRUE(platform::UserChooseItem(dialog, IDC_GROUP_LIST, "Ships"));
        ASSERT_TRUE(platform::UserClick(dialog, IDCANCEL));
    });
    Press(kReturn);
    EXPECT_EQ(memcmp(&before, Record(0), sizeof before), 0);
    EXPECT_EQ(state.groupIndex, 5);
    EXPECT_EQ(state.objectIndex, 174);
    EXPECT_EQ(state.scalePercent, scale);
    EXPECT_FALSE(fs::exists(PathOf("run.tsc")));
}

}  // namespace
