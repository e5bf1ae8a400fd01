// tavu check: a file the editor saved is clean; each fault in a damaged file
// is reported once, at its byte, with the right severity and exit code.
#include <filesystem>
#include <functional>

#include "tests/tools/tools_fixture.h"

namespace {

using toolstest::Placed;
using toolstest::Put;
using toolstest::RunCli;

class Check : public toolstest::ToolsTest {};

// Whatever the flags, and for wrapping corners and poles too: the header
// bounds are what a save writes. Bounds that wrap in latitude are empty to
// the player; bounds beside ±180° wrap in longitude and are only named.
TEST_F(Check, FilesTheEditorSavedAreClean) {
    const std::pair<std::vector<ObjectRecord>, std::string> cases[] = {
        {{Placed(INT32_MAX - 10, INT32_MIN + 5, 7, 0, 65536, 100)}, "bounds are empty"},
        {{Placed(INT32_MIN + 50, INT32_MAX - 3, 7, 0, 65536, 500)}, "bounds are empty"},
        {{Placed(10007000, 0, 1, 0, 65536, 2000)}, ""},  // a kilometre or two from the pole
        {{Placed(-8000000, 2000000000, 2), Placed(-8000100, -2000000000, 2)}, ""},
        {{Placed(-1870000, INT32_MAX - 1193, 7)},
         "warning at byte 24: bounds cross the ±180° meridian: the box runs east from longitude "
         "2147370378 (179.9905°) to -2147260690 (-179.9813°)"},
        {{Placed(-1870000, INT32_MIN + 1193, 7)}, "bounds cross the ±180° meridian"},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        auto& [records, warning] = cases[i];
        std::string path = Saved(records, "clean" + std::to_string(i) + ".tsc", MODIFIED | IN_EDIT | 0x100);
        toolstest::CliResult result = RunCli({"check", path});
        EXPECT_EQ(result.exit, 0) << result.out;
        EXPECT_EQ(toolstest::Count(result.out, "\n"), warning.empty() ? 1u : 2u) << result.out;
        EXPECT_EQ(result.out.ends_with(", 1 warning)\n"), !warning.empty()) << result.out;
        EXPECT_NE(result.out.find(warning), std::string::npos) << result.out;
    }
}

// Record 0 starts at byte 48, record 1 at byte 124. Errors fail the check,
// warnings do not. The reader's own faults, each tested with the reader,
// pass through as they are.
TEST_F(Check, EachFaultIsReportedOnceAtItsByteWithItsSeverity) {
    const std::pair<std::function<void(std::vector<uint8_t>&)>, std::string> faults[] = {
        {[](auto& b) { Put(b, sim::FILE_MIN_LAT_OFFSET, 4998999); },
         "error at byte 16: minimum latitude at byte 16 is 4998999, but saving these records would write "
         "4999000"},
        // The eastmost object moved without a save: only the east edge is behind.
        {[](auto& b) { Put(b, 124 + 32, 1510000); }, "error at byte 28: maximum longitude at byte 28 is "},
        {[](auto& b) { b[124 + 58 + 15] ^= 0xFF; }, "warning at byte 182 (record 1): record 1: object key "},
        {[](auto& b) { Put(b, 48 + 56, 0x1234, 2); },
         "warning at byte 104 (record 0): record 0: reserved word at byte 104 is 0x1234; a save writes 0"},
        {[](auto& b) { Put(b, 48 + 16, 12, 2); },
         "warning at byte 64 (record 0): record 0: size at byte 64 is 12, but the catalog gives \"B737 Air "
         "France\" "
         "size 640"},
        {[](auto& b) { Put(b, 124 + 42, 0, 2); },
         "error at byte 166 (record 1): record 1: constant word at byte 166 is 0x0000, expected 0x0033"},
        {[](auto& b) { b[3] = 'X'; }, "error at byte 3: not a scenery file"},
        {[](auto& b) { Put(b, 36, 0x00401000); }, "warning at byte 36: records word"},
        {[](auto& b) { b.pop_back(); }, "error at byte 199 (record 1): file is truncated"},
    };
    std::vector<uint8_t> good = testsupport::ReadBytes(
        Saved({Placed(5000000, 700000, 0, 100), Placed(5000500, 1500000, 120, -200, 65536, 300)}));
    for (size_t i = 0; i < std::size(faults); ++i) {
        std::vector<uint8_t> bytes = good;
        faults[i].first(bytes);
        std::string path = Written("fault" + std::to_string(i) + ".tsc", bytes);
        toolstest::CliResult result = RunCli({"check", path});
        bool error = faults[i].second.starts_with("error");
        EXPECT_EQ(result.exit, error ? tavu::EXIT_FAILURE_FOUND : tavu::EXIT_OK) << result.out;
        EXPECT_EQ(result.out.rfind(path + ": " + faults[i].second, 0), 0u) << result.out;
        std::string summary = error ? ": 1 error\n" : ": ok (2 objects, 1 warning)\n";
        EXPECT_EQ(result.out.substr(result.out.find('\n') + 1), path + summary) << "one issue only";
    }
}

// Of each kind the first 20 are listed and one line right below counts the
// rest; two kinds in the same records are counted apart. --json lists the
// same with every kind's count; --quiet prints nothing.
TEST_F(Check, RepeatedIssuesAreListedTwentyOfAKind) {
    std::vector<uint8_t> bytes =
        testsupport::ReadBytes(Saved(std::vector<ObjectRecord>(22, Placed(5000000, 700000, 0))));
    for (size_t i = 0; i < 22; ++i) {
        Put(bytes, 48 + 76 * i + 56, 1, 2);                  // 22 reserved words
        Put(bytes, 48 + 76 * i + 16, i < 20 ? 12 : 640, 2);  // 20 sizes
    }
    std::string path = Written("many.tsc", bytes);
    toolstest::CliResult text = RunCli({"check", path});
    EXPECT_EQ(text.exit, 0);
    EXPECT_EQ(toolstest::Count(text.out, "\n"), 42u) << text.out;
    EXPECT_NE(text.out.find("record 19: reserved word at byte 1548 is 0x0001; a save writes 0\n" + path +
                            ": and 2 more of this kind\n"),
              std::string::npos);
    EXPECT_TRUE(text.out.ends_with(": ok (22 objects, 42 warnings)\n")) << text.out;

    nlohmann::json json = nlohmann::json::parse(RunCli({"check", "--json", path, PathOf("none.tsc")}).out);
    EXPECT_EQ(json["files"][0]["kinds"], nlohmann::json::parse(R"([
        {"kind": "catalog-size", "severity": "warning", "count": 20, "unlisted": 0},
        {"kind": "reserved-word", "severity": "warning", "count": 22, "unlisted": 2}])"));
    EXPECT_EQ(json["files"][0]["issues"].size(), 40u);
    EXPECT_EQ(json["files"][0]["issues"][1]["kind"], "reserved-word");
    EXPECT_EQ(json["files"][1]["readError"], "no such file");
    EXPECT_EQ(json["withErrors"], 1);

    EXPECT_EQ(RunCli({"check", "--quiet", path}).out + RunCli({"check", "-q", path, path}).out, "");
    EXPECT_EQ(RunCli({"check", "-q", PathOf("none.tsc")}).exit, tavu::EXIT_FAILURE_FOUND);
    EXPECT_EQ(RunCli({"check", "-q", "--json", path}).exit, tavu::EXIT_USAGE);
}

TEST_F(Check, FilesThatCannotBeReadFailAndManyFilesAreSummed) {
    std::string huge = PathOf("huge.tsc");
    { std::ofstream create(huge); }
    // Sparse: costs no disk, and must be refused without reading it.
    std::filesystem::resize_file(huge, tavu::kMaxToolFileBytes + 1);
    std::string good = Saved({Placed(5000000, 700000, 0)});
    toolstest::CliResult result = RunCli({"check", good, folder, huge, good});
    EXPECT_EQ(result.exit, tavu::EXIT_FAILURE_FOUND);
    EXPECT_EQ(result.out,
              good + ": ok (1 object)\n" + folder + ": error: is a directory, not a scenery file\n" + huge +
                  ": error: file is 67108865 bytes, larger than the 67108864 bytes the tools read\n" + good +
                  ": ok (1 object)\n4 files: 2 ok, 2 with errors\n");
    EXPECT_EQ(RunCli({"check"}).exit, tavu::EXIT_USAGE);
}

}  // namespace
