// tavu catalog: the JSON and the table show the catalog data as it is, and a
// group filter narrows both to one group.
#include <nlohmann/json.hpp>

#include "tests/tools/tools_fixture.h"

namespace {

using nlohmann::json;
using toolstest::Count;
using toolstest::RunCli;

TEST(CatalogCommand, JsonAndTableShowTheCatalogAndAGroupNarrowsBoth) {
    json catalog = json::parse(RunCli({"catalog", "--json"}).out);
    ASSERT_EQ(catalog["groups"].size(), 12u);
    ASSERT_EQ(catalog["entries"].size(), 326u);
    // "QIROTrf6", a little-endian 1, object number 38: the bytes in stored order.
    EXPECT_EQ(catalog["entries"][0], json::parse(R"({"index": 0, "groupKey": 1, "name": "B737 Air France",
        "objectKey": "5149524f547266360100000026000000", "defaultScale": -7, "defaultMaxDistance": 1400,
        "tag": 0, "size": 640, "bitmap": "SfB737-AirFr.BMP"})"));
    // A host object's GUID: Data1..Data3 little-endian, then Data4 in order.
    EXPECT_EQ(catalog["entries"][2]["objectKey"], "a8e167cc96e3d2119c8400105a0ce62a");
    EXPECT_EQ(catalog["groups"][11],
              json::parse(R"({"index": 11, "key": 12, "first": 300, "last": 325, "name": "Vegetation"})"));

    toolstest::CliResult result = RunCli({"catalog"});
    ASSERT_EQ(result.exit, 0);
    EXPECT_EQ(Count(result.out, "\n"), 1u + 326u + 1u) << "title, rows, summary";
    EXPECT_EQ(
        result.out.substr(0, result.out.find("  1  ")),
        "  #  group                     name                             key                               "
        "default scale            range  size  bitmap\n"
        "  0  Aircraft                  B737 Air France                  5149524f547266360100000026000000  "
        "fixed 2^25 (code -7)    1400 m   640  SfB737-AirFr.BMP\n");
    EXPECT_NE(result.out.find("\n326 objects in 12 groups"), std::string::npos);

    json ships = json::parse(RunCli({"catalog", "--group", "sHiPs", "--json"}).out);
    EXPECT_EQ(ships["groups"], json::array({catalog["groups"][10]}));
    ASSERT_EQ(ships["entries"].size(), 9u);
    EXPECT_EQ(ships["entries"][0]["index"], 291) << "entries keep their catalog index";
    EXPECT_EQ(Count(RunCli({"catalog", "--group", " airport   lighting"}).out, "\n"), 1u + 10u + 1u);

    result = RunCli({"catalog", "--group", "Shipz"});
    EXPECT_EQ(result.exit, tavu::EXIT_USAGE);
    EXPECT_EQ(result.out, "");
    EXPECT_NE(result.err.find(
                  "\"Shipz\"; did you mean \"Ships\"?\nthe groups are:\n  Aircraft\n  Airport Buildings\n"),
              std::string::npos);
    EXPECT_EQ(Count(result.err, "\n  "), 12u) << "one line per group";
}

}  // namespace
