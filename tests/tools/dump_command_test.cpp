// tavu dump: every field of a file the editor saved, raw and readable, and
// as much as can be read of a damaged one.
#include <nlohmann/json.hpp>

#include "scenery/scale.h"
#include "tests/tools/tools_fixture.h"

namespace {

using nlohmann::json;
using toolstest::Placed;
using toolstest::RunCli;

class Dump : public toolstest::ToolsTest {
protected:
    // Two objects: one in-house aircraft turned east at a fixed scale, one
    // host object at 150 % with an altitude fraction.
    std::string TwoObjects(uint32_t flags = MODIFIED) {
        ObjectRecord a = Placed(5000000, 1 << 28, 0, 16384, EncodeScale(-7), 1400);
        a.alt = Position48{32768, 12};
        a.pitch = -1820;
        ObjectRecord b = Placed(-2000000, -(1 << 29), 300, -16384, EncodeScale(150), 700);
        b.lat.fraction = 16384;
        b.reserved1 = 0xABCD;
        return Saved({a, b}, "two.tsc", flags);
    }
};

TEST_F(Dump, JsonHoldsTheRawFieldsOfASavedFile) {
    std::string path = TwoObjects(MODIFIED | IN_EDIT | 0x100);
    toolstest::CliResult result = RunCli({"dump", path, "--json"});
    ASSERT_EQ(result.exit, 0) << result.err;
    json dump = json::parse(result.out);

    EXPECT_EQ(dump["prefix"]["magic"], "TAVU-SCENERY");
    EXPECT_EQ(dump["prefix"]["version"], 1);
    const json& header = dump["header"];
    EXPECT_EQ(header["count"], 2);
    EXPECT_EQ(header["sizeBytes"], 152);
    EXPECT_EQ(header["flags"], MODIFIED | IN_EDIT | 0x100);
    EXPECT_EQ(header["flagNames"], json({"MODIFIED", "IN_EDIT", "0x00000100"}));
    EXPECT_EQ(header["bounds"]["minLat"], -2000000 - 700);
    EXPECT_EQ(header["bounds"]["maxLat"], 5000000 + 2 * 1400);

    ASSERT_EQ(dump["records"].size(), 2u);
    const json& a = dump["records"][0];
    EXPECT_EQ(a["name"], "B737 Air France");
    EXPECT_EQ(a["group"], "Aircraft");
    EXPECT_EQ(a["objectKey"], "5149524f547266360100000026000000");
    EXPECT_EQ(a["lat"], json({{"integer", 5000000}, {"fraction", 0}}));
    EXPECT_EQ(a["lon"]["integer"], 1 << 28);
    EXPECT_EQ(a["alt"], json({{"integer", 12}, {"fraction", 32768}}));
    EXPECT_DOUBLE_EQ(a["altMetres"], 12.5);
    EXPECT_DOUBLE_EQ(a["lonDegrees"], 22.5);
    EXPECT_NEAR(a["latDegrees"].get<double>(), 44.966, 0.001);
    EXPECT_EQ(a["heading"], 16384);
    EXPECT_DOUBLE_EQ(a["headingDegrees"], 90.0);
    EXPECT_EQ(a["pitch"], -1820);
    EXPECT_EQ(a["scale"], 1u << 25);
    EXPECT_EQ(a["fixedScaleCode"], -7);
    EXPECT_TRUE(a["scalePercent"].is_null());
    EXPECT_EQ(a["maxDistance"], 1400);
    EXPECT_EQ(a["size"], 640);
    EXPECT_EQ(a["recordTag"], 0);

    const json& b = dump["records"][1];
    EXPECT_EQ(b["name"], ObjectCatalog.entries[300].name);
    EXPECT_EQ(b["lat"]["fraction"], 16384);
    EXPECT_DOUBLE_EQ(b["lonDegrees"], -45.0);
    EXPECT_DOUBLE_EQ(b["headingDegrees"], -90.0);
    EXPECT_EQ(b["scalePercent"], 150);
    EXPECT_EQ(b["scaleText"], "150 %");
    EXPECT_EQ(b["reserved1"], 0xABCD);
    EXPECT_EQ(b["reserved2"], 0);
    EXPECT_TRUE(dump["issues"].empty());
    EXPECT_TRUE(dump["ok"]);
}

TEST_F(Dump, TextShowsNamesDegreesFlagsAndScales) {
    toolstest::CliResult result = RunCli({"dump", TwoObjects()});
    ASSERT_EQ(result.exit, 0) << result.err;
    const std::string& text = result.out;
    EXPECT_NE(text.find("magic \"TAVU-SCENERY\", version 1"), std::string::npos) << text;
    EXPECT_NE(text.find("(MODIFIED)"), std::string::npos);
    EXPECT_NE(text.find("record 0 at byte 48: B737 Air France (Aircraft, catalog #0)"), std::string::npos);
    EXPECT_NE(text.find("record 1 at byte 124: "), std::string::npos);
    EXPECT_NE(text.find("lon 22.5°"), std::string::npos);
    EXPECT_NE(text.find("alt 12.5 m"), std::string::npos);
    EXPECT_NE(text.find("raw lat 5000000+0/65536"), std::string::npos);
    EXPECT_NE(text.find("heading 90°"), std::string::npos);
    EXPECT_NE(text.find("heading -90°"), std::string::npos);
    EXPECT_NE(text.find("fixed 2^25 (code -7)  (raw 33554432)"), std::string::npos);
    EXPECT_NE(text.find("150 %  (raw 43690)"), std::string::npos);
    EXPECT_NE(text.find("reserved 0xABCD, 0x0000"), std::string::npos);
    EXPECT_EQ(text.find("issues"), std::string::npos);
}

TEST_F(Dump, AnUnknownKeyIsNamedByItsHex) {
    ObjectRecord record = Placed(100, 200, 5);
    memset(record.objectKey, 0xEE, 16);
    json dump = json::parse(RunCli({"dump", Saved({record}), "--json"}).out);
    EXPECT_EQ(dump["records"][0]["name"], "unknown object");
    EXPECT_FALSE(dump["records"][0]["known"]);
    EXPECT_TRUE(dump["records"][0]["catalogIndex"].is_null());
    EXPECT_EQ(dump["records"][0]["objectKey"], std::string(32, 'e'));
    EXPECT_NE(RunCli({"dump", PathOf("s.tsc")}).out.find("unknown object\n  key       eeee"), std::string::npos);
}

TEST_F(Dump, ATruncatedFileShowsWhatSurvivedAndItsErrors) {
    std::vector<uint8_t> bytes = testsupport::ReadBytes(TwoObjects());
    bytes.resize(bytes.size() - 10);
    std::string path = Written("cut.tsc", bytes);

    toolstest::CliResult text = RunCli({"dump", path});
    EXPECT_EQ(text.exit, tavu::EXIT_FAILURE_FOUND);
    EXPECT_NE(text.out.find("record 0 at byte 48: B737 Air France"), std::string::npos) << text.out;
    EXPECT_EQ(text.out.find("record 1 at byte"), std::string::npos);
    EXPECT_NE(text.out.find("error at byte 190 (record 1): file is truncated"), std::string::npos) << text.out;
    EXPECT_NE(text.err.find("1 error"), std::string::npos);

    toolstest::CliResult jsonResult = RunCli({"dump", path, "--json"});
    EXPECT_EQ(jsonResult.exit, tavu::EXIT_FAILURE_FOUND);
    json dump = json::parse(jsonResult.out);
    EXPECT_FALSE(dump["ok"]);
    EXPECT_FALSE(dump["recordsComplete"]);
    EXPECT_EQ(dump["records"].size(), 1u);
    ASSERT_EQ(dump["issues"].size(), 1u);
    EXPECT_EQ(dump["issues"][0]["severity"], "error");
    EXPECT_EQ(dump["issues"][0]["offset"], 190);
    EXPECT_EQ(dump["issues"][0]["record"], 1);
}

TEST_F(Dump, AForeignFileShowsItsPrefixAndNoHeader) {
    std::vector<uint8_t> bytes(100, 0);
    memcpy(bytes.data(), "GIF89a\x01\x02\"\\  ", 12);
    toolstest::CliResult result = RunCli({"dump", Written("picture.tsc", bytes)});
    EXPECT_EQ(result.exit, tavu::EXIT_FAILURE_FOUND);
    EXPECT_NE(result.out.find("magic \"GIF89a\\x01\\x02\\x22\\x5C  \""), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("header    not read"), std::string::npos);
    EXPECT_NE(result.out.find("error at byte 0: not a scenery file"), std::string::npos);
    json dump = json::parse(RunCli({"dump", PathOf("picture.tsc"), "--json"}).out);
    EXPECT_TRUE(dump["header"].is_null());
    EXPECT_TRUE(dump["records"].empty());
}

TEST_F(Dump, MissingFilesAndMissingArgumentsFail) {
    toolstest::CliResult missing = RunCli({"dump", PathOf("nothing.tsc")});
    EXPECT_EQ(missing.exit, tavu::EXIT_FAILURE_FOUND);
    EXPECT_TRUE(missing.out.empty());
    EXPECT_NE(missing.err.find("nothing.tsc: no such file"), std::string::npos);
    EXPECT_EQ(RunCli({"dump"}).exit, tavu::EXIT_USAGE);
    EXPECT_EQ(RunCli({"dump", "a.tsc", "b.tsc"}).exit, tavu::EXIT_USAGE);
}

}  // namespace
