// tavu dump: every field of a file the editor saved, raw and readable, and
// as much as can be read of a damaged one.
#include <nlohmann/json.hpp>

#include <sys/wait.h>

#include <tuple>

#include "scenery/scale.h"
#include "tests/tools/tools_fixture.h"

namespace {

using nlohmann::json;
using toolstest::Placed;
using toolstest::RunCli;

// Each field of `fields`, a subset of a dump in JSON, has its value in `dump`.
void ExpectFields(json dump, const char* fields) {
    json flat = json::parse(fields).flatten();
    for (const auto& [pointer, value] : flat.items()) {
        EXPECT_EQ(dump[json::json_pointer(pointer)], value) << pointer;
    }
}

using Dump = toolstest::ToolsTest;

// An in-house aircraft turned east at a fixed scale, a host object at 150 %
// with an altitude fraction, and an object the catalog does not know at the
// antimeridian, turned south.
TEST_F(Dump, ShowsEveryFieldOfASavedFileAndWhatSurvivesDamage) {
    ObjectRecord a = Placed(5000000, 1 << 28, 0, 16384, EncodeScale(-7), 1400);
    a.alt = Position48{32768, 12};
    a.pitch = -1820;
    ObjectRecord b = Placed(-2000000, -(1 << 29), 300, -16384, EncodeScale(150), 700);
    b.lat.fraction = 16384;
    b.reserved1 = 0xABCD;
    ObjectRecord c = Placed(100, INT32_MIN, 5, INT16_MIN, 65536, 10);
    memset(c.objectKey, 0xEE, 16);
    std::string path = Saved({a, b, c}, "three.tsc", MODIFIED | IN_EDIT | 0x100);
    toolstest::CliResult result = RunCli({"dump", path, "--json"});
    ASSERT_EQ(result.exit, 0) << result.err;
    // Written record by record, it reads exactly as the whole document printed at once.
    auto expectWhole = [](const std::string& out) {
        EXPECT_EQ(nlohmann::ordered_json::parse(out).dump(2) + "\n", out);
    };
    expectWhole(result.out);
    json dump = json::parse(result.out);
    // Flags MODIFIED | IN_EDIT | 0x100; a record is 76 bytes; bounds reach a
    // record's range south and twice it north.
    ExpectFields(dump, R"({
        "prefix": {"magic": "TAVU-SCENERY", "version": 1}, "ok": true,
        "header": {"count": 3, "sizeBytes": 228, "flags": 261, "flagNames": ["MODIFIED", "IN_EDIT", "0x00000100"],
                   "bounds": {"minLat": -2000700, "maxLat": 5002800, "empty": false, "crossesAntimeridian": false}},
        "records": [{"name": "B737 Air France", "group": "Aircraft", "objectKey": "5149524f547266360100000026000000",
                     "lat": {"integer": 5000000, "fraction": 0}, "lon": {"integer": 268435456}, "lonDegrees": 22.5,
                     "alt": {"integer": 12, "fraction": 32768}, "altMetres": 12.5, "heading": 16384,
                     "headingDegrees": 90, "pitch": -1820, "pitchDegrees": -9.99755859375, "bankDegrees": 0, "scale": 33554432, "fixedScaleCode": -7,
                     "scalePercent": null, "maxDistance": 1400, "size": 640, "recordTag": 0},
                    {"name": "Tree  1", "lat": {"fraction": 16384}, "lonDegrees": -45, "headingDegrees": -90,
                     "scalePercent": 150, "scaleText": "150 %", "reserved1": 43981, "reserved2": 0},
                    {"name": "unknown object", "known": false, "catalogIndex": null, "offset": 200,
                     "lonDegrees": -180, "headingDegrees": -180,
                     "objectKey": "eeeeeeeeeeeeeeeeeeeeeeeeeeeeeeee"}]})");
    EXPECT_TRUE(dump["issues"].empty());
    EXPECT_NEAR(dump["records"][0]["latDegrees"].get<double>(), 44.966, 0.001);

    std::string text = RunCli({"dump", path}).out;
    for (const char* shown :
         {"magic \"TAVU-SCENERY\", version 1", "(MODIFIED | IN_EDIT | 0x00000100)",
          "record 0 at byte 48: B737 Air France (Aircraft, catalog #0)",
          "record 1 at byte 124: ", "lon 22.5°", "alt 12.5 m", "raw lat 5000000+0/65536", "heading 90°",
          "heading -90°", "fixed 2^25 (code -7)  (raw 33554432)", "150 %  (raw 43690)",
          "reserved 0xABCD, 0x0000", "unknown object\n  key       eeee"}) {
        EXPECT_NE(text.find(shown), std::string::npos) << shown << "\n" << text;
    }
    EXPECT_EQ(text.find("issues"), std::string::npos);

    // An object just west of ±180°: its box runs east across the meridian.
    std::string edge = Saved({Placed(100, INT32_MAX - 100, 5, 0, 65536, 10)}, "edge.tsc");
    EXPECT_NE(RunCli({"dump", edge}).out.find(", across the ±180° meridian)"), std::string::npos);
    ExpectFields(json::parse(RunCli({"dump", edge, "--json"}).out),
                 R"({"header": {"bounds": {"empty": false, "crossesAntimeridian": true}}})");

    // Damaged files: what can be read of them, their errors and exit code 1.
    std::vector<uint8_t> good = testsupport::ReadBytes(path);
    std::vector<uint8_t> fewer = good;
    toolstest::Put(fewer, sim::FILE_COUNT_OFFSET, 1);  // a header claiming fewer records is believed
    std::vector<uint8_t> picture(100, 0);
    memcpy(picture.data(), "GIF89a\x01\x02\"\\  ", 12);
    // The bytes, what the text shows, how many records are shown, JSON fields.
    const std::tuple<std::vector<uint8_t>, std::string, size_t, const char*> cases[] = {
        {{good.begin(), good.end() - 10},
         "error at byte 266 (record 2): file is truncated",
         2,
         R"({"ok": false, "recordsComplete": false, "issues": [{"severity": "error", "offset": 266, "record": 2}]})"},
        {fewer, "record 0 at byte 48: B737 Air France", 1, R"({"ok": false, "header": {"count": 1}})"},
        {picture, "magic \"GIF89a\\x01\\x02\\x22\\x5C  \"", 0, R"({"ok": false, "header": null})"},
    };
    int n = 0;
    for (const auto& [bytes, shown, records, fields] : cases) {
        std::string damaged = Written("damaged" + std::to_string(n++) + ".tsc", bytes);
        toolstest::CliResult text = RunCli({"dump", damaged});
        EXPECT_EQ(text.exit, tavu::EXIT_FAILURE_FOUND);
        EXPECT_NE(text.out.find(shown), std::string::npos) << shown << "\n" << text.out;
        EXPECT_EQ(text.out.find("record " + std::to_string(records) + " at byte"), std::string::npos);
        EXPECT_NE(text.err.find("1 error"), std::string::npos) << text.err;
        result = RunCli({"dump", damaged, "--json"});
        EXPECT_EQ(result.exit, tavu::EXIT_FAILURE_FOUND);
        EXPECT_EQ(json::parse(result.out)["records"].size(), records);
        expectWhole(result.out);
        ExpectFields(json::parse(result.out), fields);
    }
    result = RunCli({"dump", PathOf("nothing.tsc")});
    EXPECT_EQ(result.exit, tavu::EXIT_FAILURE_FOUND);
    EXPECT_EQ(result.out + result.err, PathOf("nothing.tsc") + ": no such file\n");
    EXPECT_EQ(RunCli({"dump"}).exit, tavu::EXIT_USAGE);
    EXPECT_EQ(RunCli({"dump", "a.tsc", "b.tsc"}).exit, tavu::EXIT_USAGE);

    // The real binary checks that its standard output was written.
    std::string command =
        std::string(TAVU_BINARY_DIR) + "/tavu dump '" + path + "' >/dev/full 2>'" + PathOf("err") + "'";
    int status = system(command.c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == tavu::EXIT_FAILURE_FOUND) << status;
    std::vector<uint8_t> err = testsupport::ReadBytes(PathOf("err"));
    EXPECT_EQ(std::string(err.begin(), err.end()),
              "tavu dump: cannot write standard output: No space left on device\n");
}

}  // namespace
