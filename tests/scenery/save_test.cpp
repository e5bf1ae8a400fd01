// Saving the current scenery: bounds, the file's exact bytes, and failures
// that must never cost the last good file.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "scenery/save.h"
#include "scenery/scale.h"
#include "tests/support/editor_fixture.h"

namespace fs = std::filesystem;
using testsupport::MakeRecord;
using testsupport::ReadBytes;
using testsupport::U32At;

namespace {

class Save : public testsupport::EditorTest {};

TEST(ScaleEncoding, PercentagesAndFixedScaleCodes) {
    EXPECT_EQ(EncodeScale(100), 65536u);
    EXPECT_EQ(EncodeScale(200), 32768u);
    EXPECT_EQ(EncodeScale(50), 131072u);
    EXPECT_EQ(EncodeScale(30), 218453u);
    EXPECT_EQ(EncodeScale(1), 6553600u);
    EXPECT_EQ(EncodeScale(2000), 3276u);
    EXPECT_EQ(EncodeScale(150), 43690u);
    EXPECT_EQ(EncodeScale(-16), 65536u);
    EXPECT_EQ(EncodeScale(-12), 1048576u);
    EXPECT_EQ(EncodeScale(-10), 4194304u);
    EXPECT_EQ(EncodeScale(-7), 33554432u);
    EXPECT_EQ(EncodeScale(-1), 0x80000000u);
    EXPECT_EQ(EncodeScale(0), 1u);
    EXPECT_EQ(EncodeScale(-32), 1u) << "the code counts modulo 32";
    EXPECT_EQ(EncodeScale(INT32_MIN), 1u);
}

TEST(RecordTemplateBytes, HoldTheConstantWordsAndAScaleOfOne) {
    ObjectRecord record;
    memcpy(&record, RecordTemplate, sizeof record);
    EXPECT_EQ(record.scale, SCALE_ONE);
    const uint16_t constants[] = {record.command0, record.skip0,    record.command1, record.command2,
                                  record.skip1,    record.command3, record.skip2,    record.command4,
                                  record.command5, record.command6};
    const uint16_t expected[] = {0x3F, 6, 0x22, 0x2F, 42, 0x33, 12, 0x22, 0x63, 0x22};
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(constants[i], expected[i]) << i;
    }
    // The three skips land on the words after them: 4+6, 10+42, 42+12.
    EXPECT_EQ(4 + record.skip0, 10);
    EXPECT_EQ(10 + record.skip1, 52);
    EXPECT_EQ(42 + record.skip2, 54);
}

TEST_F(Save, UnmodifiedOrEmptySceneryIsNeverWritten) {
    ObjectRecord record = MakeRecord(1000, 2000, 10);
    record.reserved2 = 0x1234;
    Take({record});
    Header()->minLat = 77;
    SaveScenery();
    EXPECT_FALSE(fs::exists(PathOf("s.tsc")));
    EXPECT_EQ(Header()->minLat, 77);
    EXPECT_EQ(Record(0)->reserved2, 0x1234);

    Take({}, MODIFIED, "empty.tsc");
    SaveScenery();
    EXPECT_FALSE(fs::exists(PathOf("empty.tsc")));
    EXPECT_TRUE(host.Boxes().empty());
}

TEST_F(Save, BoundsWidenByOneRangeDownAndTwoUp) {
    Take({MakeRecord(1000000, 5000000, 500)}, MODIFIED);
    SaveScenery();
    int32_t e = sim::MetresToLonUnits(500, 1001000);  // asked at L + 2d, not L
    EXPECT_EQ(Header()->minLat, 999500);
    EXPECT_EQ(Header()->maxLat, 1001000);
    EXPECT_EQ(Header()->minLon, 5000000 - e);
    EXPECT_EQ(Header()->maxLon, 5000000 + 2 * e);

    // Each bound comes from the record that reaches furthest.
    Take({MakeRecord(1000, 0, 10), MakeRecord(1005, 0, 100)}, MODIFIED, "two.tsc");
    SaveScenery();
    EXPECT_EQ(Header()->minLat, 905);
    EXPECT_EQ(Header()->maxLat, 1205);
}

TEST_F(Save, BoundsWrapInsteadOfOverflowing) {
    Take({MakeRecord(INT32_MAX - 10, INT32_MIN + 5, 100)}, MODIFIED);
    SaveScenery();
    EXPECT_EQ(Header()->maxLat, static_cast<int32_t>(uint32_t{INT32_MAX} - 10u + 200u));
    EXPECT_EQ(Header()->minLat, INT32_MAX - 110);
    EXPECT_GT(Header()->minLon, 0) << "G - e wrapped past the bottom of the range";
}

TEST_F(Save, FileHoldsPrefixHeaderAndRecordsExactly) {
    ObjectRecord a = MakeRecord(100, 200, 30, 5);
    ObjectRecord b = MakeRecord(-300, -400, 65535, 325);
    b.reserved2 = 0xBEEF;
    Take({a, b}, MODIFIED | IN_EDIT | 0x100);
    SaveScenery();

    std::vector<uint8_t> file = ReadBytes(PathOf("s.tsc"));
    ASSERT_EQ(file.size(), 48u + 2 * 76u);
    auto prefix = sim::SceneryPrefix();
    EXPECT_TRUE(std::equal(prefix.begin(), prefix.end(), file.begin()));
    EXPECT_EQ(static_cast<int32_t>(U32At(file, 16)), Header()->minLat);
    EXPECT_EQ(static_cast<int32_t>(U32At(file, 20)), Header()->maxLat);
    EXPECT_EQ(static_cast<int32_t>(U32At(file, 24)), Header()->minLon);
    EXPECT_EQ(static_cast<int32_t>(U32At(file, 28)), Header()->maxLon);
    EXPECT_EQ(U32At(file, 32), MODIFIED | IN_EDIT | 0x100u) << "MODIFIED is set in the file";
    EXPECT_EQ(U32At(file, 36), 0u) << "no address leaks into the file";
    EXPECT_EQ(U32At(file, 40), 152u);
    EXPECT_EQ(U32At(file, 44), 2u);
    b.reserved2 = 0;
    EXPECT_EQ(memcmp(file.data() + 48, &a, 76), 0);
    EXPECT_EQ(memcmp(file.data() + 124, &b, 76), 0);

    EXPECT_EQ(Header()->flags, IN_EDIT | 0x100u) << "MODIFIED cleared in memory only";
    EXPECT_EQ(Record(1)->reserved2, 0);
    EXPECT_FALSE(fs::exists(PathOf("s.tsc.saving")));
    EXPECT_TRUE(host.Boxes().empty());
}

// Every way the write can fail, each at every call it can hit: the old file
// stays byte for byte, no temporary file is left, one box, MODIFIED kept.
TEST_F(Save, FailedSavesKeepTheLastGoodFile) {
    Take({MakeRecord(1, 2, 3)}, MODIFIED);
    SaveScenery();
    const std::vector<uint8_t> good = ReadBytes(PathOf("s.tsc"));
    ASSERT_EQ(good.size(), 124u);

    std::vector<platform::FileFaults> faults = {{.failCreate = 1}, {.failFlush = 1}, {.failMove = 1}, {.failClose = 1}};
    for (int n = 1; n <= 3; ++n) {
        faults.push_back({.failWrite = n});
        faults.push_back({.shortWrite = n});
    }
    for (const platform::FileFaults& fault : faults) {
        SCOPED_TRACE(testing::Message() << "create " << fault.failCreate << " write " << fault.failWrite
                                        << " short " << fault.shortWrite << " flush " << fault.failFlush
                                        << " move " << fault.failMove << " close " << fault.failClose);
        host.ClearBoxes();
        Record(0)->lat.integer += 1000;
        Header()->flags |= MODIFIED;
        platform::SetFileFaults(fault);
        SaveScenery();
        platform::ClearFileFaults();

        EXPECT_EQ(ReadBytes(PathOf("s.tsc")), good);
        EXPECT_FALSE(fs::exists(PathOf("s.tsc.saving")));
        ASSERT_EQ(host.Boxes().size(), 1u);
        EXPECT_EQ(host.Boxes()[0].titleId, 3);
        EXPECT_EQ(host.Boxes()[0].textId, 6);
        EXPECT_EQ(host.Boxes()[0].flags, BOX_ONE_BUTTON);
        EXPECT_EQ(host.Boxes()[0].text, "\n\n\nCould not save the current scenery file!");
        EXPECT_TRUE(Header()->flags & MODIFIED);
        EXPECT_EQ(platform::FileCalls().openHandles, 0);
    }

    // The next save point writes it after all.
    SaveScenery();
    EXPECT_NE(ReadBytes(PathOf("s.tsc")), good);
    EXPECT_FALSE(Header()->flags & MODIFIED);
}

// Whatever stands at the temporary name, the save neither writes through it
// nor waits on it (an alarm ends a hung run): a link or a FIFO gives way to a
// new regular file; a folder fails the save cleanly until it is gone.
TEST_F(Save, NothingAtTheTemporaryNameIsWrittenThroughOrWaitedOn) {
    fs::create_directory(PathOf("scenery"));
    const std::string outside = PathOf("outside"), path = PathOf("scenery/s.tsc"), saving = path + ".saving";
    const std::vector<uint8_t> outsideBytes = {'k', 'e', 'e', 'p'};
    std::ofstream(outside, std::ios::binary).write("keep", 4);
    Take({MakeRecord(1, 2, 3)}, MODIFIED, "scenery/s.tsc");
    SaveScenery();
    const std::vector<std::pair<const char*, std::function<void()>>> obstacles = {
        {"symlink", [&] { fs::create_symlink(outside, saving); }},
        {"hard link", [&] { fs::create_hard_link(outside, saving); }},
        {"fifo", [&] { ASSERT_EQ(mkfifo(saving.c_str(), 0644), 0); }},
        {"folder", [&] { fs::create_directory(saving); }}};
    for (const auto& [name, make] : obstacles) {
        SCOPED_TRACE(name);
        const std::vector<uint8_t> before = ReadBytes(path);
        host.ClearBoxes();
        Record(0)->lat.integer += 1000;
        Header()->flags |= MODIFIED;
        make();
        alarm(20);
        SaveScenery();
        alarm(0);
        EXPECT_EQ(ReadBytes(outside), outsideBytes);
        const bool blocked = std::string(name) == "folder";
        if (blocked) {
            EXPECT_EQ(BoxesWith(6), 1);
            EXPECT_EQ(ReadBytes(path), before);
            EXPECT_TRUE(Header()->flags & MODIFIED);
            EXPECT_EQ(platform::FileCalls().openHandles, 0);
            fs::remove(saving);
            SaveScenery();
        }
        EXPECT_EQ(host.Boxes().size(), blocked ? 1u : 0u);
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(path)));
        EXPECT_EQ(fs::hard_link_count(path), 1u);
        EXPECT_FALSE(fs::exists(fs::symlink_status(saving)));
        const std::vector<uint8_t> file = ReadBytes(path);
        ASSERT_EQ(file.size(), 124u);
        EXPECT_EQ(memcmp(file.data() + 48, Record(0), 76), 0);
        EXPECT_FALSE(Header()->flags & MODIFIED);
    }
}

TEST_F(Save, AFirstSaveThatFailsLeavesNoFileAtAll) {
    Take({MakeRecord(1, 2, 3)}, MODIFIED);
    platform::SetFileFaults({.failWrite = 3});
    SaveScenery();
    EXPECT_TRUE(fs::is_empty(folder));
    EXPECT_EQ(BoxesWith(6), 1);
}

// A path of MAX_PATH (260) characters saves; one character more fails
// cleanly, since the file calls could not take it.
TEST_F(Save, PathsTooLongForTheFileCallsFailCleanly) {
    const std::string dir = PathOf(std::string(120, 'd'));
    fs::create_directory(dir);
    for (size_t length : {size_t{260}, size_t{261}}) {
        host.ClearBoxes();
        std::string name = dir.substr(folder.size() + 1) + "/" + std::string(length - dir.size() - 1, 'x');
        Take({MakeRecord(1, 2, 3)}, MODIFIED, name);
        ASSERT_EQ(PathOf(name).size(), length);
        SaveScenery();
        EXPECT_EQ(BoxesWith(6), length > 260 ? 1 : 0) << length;
        EXPECT_EQ(fs::exists(PathOf(name)), length <= 260) << length;
        EXPECT_EQ(bool(Header()->flags & MODIFIED), length > 260) << length;
    }
}

}  // namespace
