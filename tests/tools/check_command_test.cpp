// tavu check: a file the editor saved is clean; each fault in a damaged file
// is reported once, at its byte, with the right severity and exit code.
#include <filesystem>
#include <random>

#include "tests/tools/tools_fixture.h"

namespace {

using toolstest::Count;
using toolstest::Placed;
using toolstest::PutU16;
using toolstest::PutU32;
using toolstest::RunCli;

class Check : public toolstest::ToolsTest {
protected:
    std::vector<uint8_t> GoodBytes() {
        return testsupport::ReadBytes(
            Saved({Placed(5000000, 700000, 0, 100), Placed(5000500, 1500000, 120, -200, 65536, 300)}, "good.tsc"));
    }

    // Checks one file and expects exactly one issue line besides the
    // summary; returns that line.
    std::string OnlyIssue(const std::string& path, int exitCode) {
        toolstest::CliResult result = RunCli({"check", path});
        EXPECT_EQ(result.exit, exitCode) << result.out;
        EXPECT_EQ(Count(result.out, "\n"), 2u) << result.out;
        return result.out.substr(0, result.out.find('\n'));
    }
};

TEST_F(Check, AFileTheEditorSavedIsCleanWhateverItsFlags) {
    // A save writes the flags as they are, MODIFIED always among them.
    std::string path = Saved({Placed(5000000, 700000, 0), Placed(5000500, 710000, 120)}, "a.tsc",
                             MODIFIED | IN_EDIT | 0x100);
    toolstest::CliResult result = RunCli({"check", path});
    EXPECT_EQ(result.exit, 0);
    EXPECT_EQ(result.out, path + ": ok (2 objects)\n");
    EXPECT_TRUE(result.err.empty());

    std::vector<uint8_t> bytes = testsupport::ReadBytes(path);
    PutU32(bytes, sim::FILE_FLAGS_OFFSET, 0);
    EXPECT_EQ(RunCli({"check", Written("flags0.tsc", bytes)}).exit, 0) << "nor do clear flags matter";
}

TEST_F(Check, AFileWithoutRecordsHasNoBoundsToCompare) {
    sim::SceneryHeaderFields fields;
    fields.minLat = INT32_MAX;
    fields.maxLat = INT32_MIN;
    std::string path = Written("none.tsc", sim::EncodeSceneryFile(fields, {}));
    toolstest::CliResult result = RunCli({"check", path});
    EXPECT_EQ(result.exit, 0);
    EXPECT_EQ(result.out, path + ": ok (0 objects)\n");
}

TEST_F(Check, BoundsThatASaveWouldNotWriteAreErrorsNamingBoth) {
    std::vector<uint8_t> bytes = GoodBytes();
    int32_t minLat = static_cast<int32_t>(testsupport::U32At(bytes, sim::FILE_MIN_LAT_OFFSET));
    PutU32(bytes, sim::FILE_MIN_LAT_OFFSET, static_cast<uint32_t>(minLat - 1));
    std::string line = OnlyIssue(Written("lat.tsc", bytes), tavu::EXIT_FAILURE_FOUND);
    EXPECT_NE(line.find("lat.tsc: error at byte 16: minimum latitude at byte 16 is " + std::to_string(minLat - 1) +
                        ", but saving these records would write " + std::to_string(minLat)),
              std::string::npos)
        << line;

    // Moving the eastmost object without a save leaves the east edge behind.
    bytes = GoodBytes();
    PutU32(bytes, tavu::RecordOffset(1) + 30 + 2, 1510000);
    toolstest::CliResult result = RunCli({"check", Written("moved.tsc", bytes)});
    EXPECT_EQ(result.exit, tavu::EXIT_FAILURE_FOUND);
    EXPECT_EQ(Count(result.out, "error at byte 24"), 0u) << "the west edge is still the first object's";
    EXPECT_EQ(Count(result.out, "error at byte 28: maximum longitude"), 1u) << result.out;
    EXPECT_NE(result.out.find("moved.tsc: 1 error\n"), std::string::npos);
}

TEST_F(Check, KeysTheCatalogDoesNotKnowAreWarnings) {
    std::vector<uint8_t> bytes = GoodBytes();
    bytes[tavu::RecordOffset(1) + 58 + 15] ^= 0xFF;
    std::string path = Written("key.tsc", bytes);
    toolstest::CliResult result = RunCli({"check", path});
    EXPECT_EQ(result.exit, 0);
    EXPECT_NE(result.out.find("warning at byte 182 (record 1): record 1: object key "), std::string::npos)
        << result.out;
    EXPECT_NE(result.out.find(" is not in the catalog"), std::string::npos);
    EXPECT_NE(result.out.find(path + ": ok (2 objects, 1 warning)\n"), std::string::npos);
}

TEST_F(Check, FieldsASaveWouldHaveWrittenOtherwiseAreWarnings) {
    std::vector<uint8_t> bytes = GoodBytes();
    PutU16(bytes, tavu::RecordOffset(0) + 56, 0x1234);
    std::string line = OnlyIssue(Written("reserved.tsc", bytes), 0);
    EXPECT_NE(line.find("warning at byte 104 (record 0): record 0: reserved word at byte 104 is 0x1234; a save "
                        "writes 0"),
              std::string::npos)
        << line;

    bytes = GoodBytes();
    PutU16(bytes, tavu::RecordOffset(0) + 16, 12);
    line = OnlyIssue(Written("size.tsc", bytes), 0);
    EXPECT_NE(line.find("warning at byte 64 (record 0): record 0: size at byte 64 is 12, but the catalog gives "
                        "\"B737 Air France\" size 640"),
              std::string::npos)
        << line;
}

TEST_F(Check, ReaderFaultsAreErrorsAtTheirByteAndRecord) {
    struct Fault {
        const char* name;
        std::function<void(std::vector<uint8_t>&)> damage;
        const char* expected;
    };
    const Fault faults[] = {
        {"magic", [](auto& b) { b[3] = 'X'; }, "error at byte 3: not a scenery file"},
        {"version", [](auto& b) { PutU32(b, sim::FILE_VERSION_OFFSET, 7); }, "error at byte 12: version word"},
        {"truncated", [](auto& b) { b.resize(b.size() - 1); }, "error at byte 199 (record 1): file is truncated"},
        {"long", [](auto& b) { b.push_back(0); }, "error at byte 200: file is 1 byte too long"},
        {"count", [](auto& b) { PutU32(b, sim::FILE_COUNT_OFFSET, 0xFFFFFFFF); }, "error at byte 44: record count"},
        {"sizeword", [](auto& b) { PutU32(b, sim::FILE_SIZE_OFFSET, 150); }, "error at byte 40: size word"},
        {"constant", [](auto& b) { PutU16(b, tavu::RecordOffset(1) + 42, 0); },
         "error at byte 166 (record 1): record 1: constant word at byte 166 is 0x0000, expected 0x0033"},
        {"short", [](auto& b) { b.resize(20); }, "error at byte 20: file is 20 bytes long"},
    };
    for (const Fault& fault : faults) {
        std::vector<uint8_t> bytes = GoodBytes();
        fault.damage(bytes);
        std::string line = OnlyIssue(Written(std::string(fault.name) + ".tsc", bytes), tavu::EXIT_FAILURE_FOUND);
        EXPECT_NE(line.find(fault.expected), std::string::npos) << fault.name << ": " << line;
    }
    std::vector<uint8_t> bytes = GoodBytes();
    PutU32(bytes, sim::FILE_RECORDS_WORD_OFFSET, 0x00401000);
    EXPECT_NE(OnlyIssue(Written("word.tsc", bytes), 0).find("warning at byte 36: records word"), std::string::npos);
}

TEST_F(Check, FilesThatCannotBeReadAreErrorLines) {
    std::string huge = PathOf("huge.tsc");
    { std::ofstream create(huge); }
    // Sparse: costs no disk, and must be refused without reading it.
    std::filesystem::resize_file(huge, tavu::kMaxToolFileBytes + 1);
    const std::pair<std::string, std::string> cases[] = {
        {PathOf("missing.tsc"), "error: no such file"},
        {folder, "error: is a directory"},
        {huge, "error: file is 67108865 bytes, larger than"},
        {Written("empty.tsc", {}), "error at byte 0: file is 0 bytes long"},
    };
    for (const auto& [path, expected] : cases) {
        toolstest::CliResult result = RunCli({"check", path});
        EXPECT_EQ(result.exit, tavu::EXIT_FAILURE_FOUND) << path;
        EXPECT_NE(result.out.find(path + ": " + expected), std::string::npos) << result.out;
    }
}

TEST_F(Check, ManyFilesReportEachAndFailIfAnyFails) {
    std::string good = Written("good2.tsc", GoodBytes());
    std::vector<uint8_t> bad = GoodBytes();
    bad.resize(60);
    std::string broken = Written("broken.tsc", bad);
    toolstest::CliResult result = RunCli({"check", good, broken, good});
    EXPECT_EQ(result.exit, tavu::EXIT_FAILURE_FOUND);
    EXPECT_EQ(Count(result.out, good + ": ok (2 objects)"), 2u);
    EXPECT_NE(result.out.find(broken + ": 1 error\n"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("3 files: 2 ok, 1 with errors\n"), std::string::npos);
    EXPECT_EQ(RunCli({"check", good, good}).exit, 0);
}

TEST_F(Check, NoFilesIsAUsageError) {
    EXPECT_EQ(RunCli({"check"}).exit, tavu::EXIT_USAGE);
    EXPECT_EQ(RunCli({"check", "--strict", "a.tsc"}).exit, tavu::EXIT_USAGE);
    std::ostringstream out, err;
    EXPECT_EQ(tavu::RunCheck({}, out, err), tavu::EXIT_USAGE);
}

// Damaged headers with sizes that agree, so that every record is checked:
// whatever the bytes, the check answers and every issue points into the file.
TEST_F(Check, HostileRecordsNeverMisleadTheCheck) {
    std::mt19937 random(20240611);
    for (int round = 0; round < 300; ++round) {
        int32_t count = static_cast<int32_t>(random() % 6);
        std::vector<ObjectRecord> records(static_cast<size_t>(count));
        for (ObjectRecord& record : records) {
            auto* raw = reinterpret_cast<uint8_t*>(&record);
            for (size_t i = 0; i < sizeof record; ++i) {
                raw[i] = static_cast<uint8_t>(random());
            }
        }
        sim::SceneryHeaderFields fields;
        fields.minLat = static_cast<int32_t>(random());
        fields.maxLat = static_cast<int32_t>(random());
        fields.minLon = static_cast<int32_t>(random());
        fields.maxLon = static_cast<int32_t>(random());
        fields.flags = static_cast<uint32_t>(random());
        fields.count = count;
        fields.sizeBytes = count * RECORD_BYTES;
        std::vector<uint8_t> bytes = sim::EncodeSceneryFile(fields, records);
        sim::SceneryFile file = sim::ReadSceneryFile(bytes);
        for (const sim::SceneryFileIssue& issue : tavu::CheckScenery(file)) {
            ASSERT_LE(issue.offset, bytes.size()) << issue.message;
            ASSERT_LT(issue.record, count);
            ASSERT_FALSE(issue.message.empty());
        }
    }
}

}  // namespace
