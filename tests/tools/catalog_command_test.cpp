// tavu catalog: the JSON and the table show the catalog data as it is, and a
// group filter narrows both to one group.
#include <nlohmann/json.hpp>

#include "tests/tools/tools_fixture.h"

namespace {

using nlohmann::json;
using toolstest::Count;
using toolstest::RunCli;

TEST(CatalogJson, HoldsEveryGroupAndEntryWithExactlyTheDocumentedFields) {
    json catalog = json::parse(RunCli({"catalog", "--json"}).out);
    ASSERT_EQ(catalog.size(), 2u);
    ASSERT_EQ(catalog["groups"].size(), 12u);
    ASSERT_EQ(catalog["entries"].size(), 326u);

    std::set<std::string> groupFields, entryFields;
    for (auto& [key, value] : catalog["groups"][0].items()) {
        groupFields.insert(key);
    }
    for (auto& [key, value] : catalog["entries"][0].items()) {
        entryFields.insert(key);
    }
    EXPECT_EQ(groupFields, (std::set<std::string>{"index", "key", "first", "last", "name"}));
    EXPECT_EQ(entryFields, (std::set<std::string>{"index", "groupKey", "objectKey", "defaultScale",
                                                  "defaultMaxDistance", "tag", "size", "name", "bitmap"}));

    const json& first = catalog["entries"][0];
    // "QIROTrf6", a little-endian 1, object number 38: the bytes in stored order.
    EXPECT_EQ(first["objectKey"], "5149524f54726636" "0100000026000000");
    EXPECT_EQ(first["name"], "B737 Air France");
    EXPECT_EQ(first["defaultScale"], -7);
    EXPECT_EQ(first["defaultMaxDistance"], 1400);
    EXPECT_EQ(first["size"], 640);
    EXPECT_EQ(first["bitmap"], "SfB737-AirFr.BMP");
    // A host object's GUID: Data1..Data3 little-endian, then Data4 in order.
    EXPECT_EQ(catalog["entries"][2]["objectKey"], "a8e167cc96e3d2119c8400105a0ce62a");

    const json& last = catalog["groups"][11];
    EXPECT_EQ(last["name"], "Vegetation");
    EXPECT_EQ(last["key"], 12);
    EXPECT_EQ(last["last"], 325);
}

TEST(CatalogJson, GroupRangesMatchTheEntriesGroupKeys) {
    json catalog = tavu::CatalogJson();
    for (const json& group : catalog["groups"]) {
        for (int i = group["first"]; i <= group["last"].get<int>(); ++i) {
            EXPECT_EQ(catalog["entries"][i]["groupKey"], group["key"]) << "entry " << i;
            EXPECT_EQ(catalog["entries"][i]["index"], i);
        }
    }
}

TEST(CatalogGroupFilter, IsCaseInsensitiveAndNarrowsJsonAndTable) {
    json ships = json::parse(RunCli({"catalog", "--group", "sHiPs", "--json"}).out);
    ASSERT_EQ(ships["groups"].size(), 1u);
    EXPECT_EQ(ships["groups"][0]["name"], "Ships");
    EXPECT_EQ(ships["groups"][0]["index"], 10);
    ASSERT_EQ(ships["entries"].size(), 9u);
    for (const json& entry : ships["entries"]) {
        EXPECT_EQ(entry["groupKey"], 11);
    }
    EXPECT_EQ(ships["entries"][0]["index"], 291) << "entries keep their catalog index";

    toolstest::CliResult table = RunCli({"catalog", "--group", "airport lighting"});
    EXPECT_EQ(table.exit, 0);
    EXPECT_EQ(Count(table.out, "Airport Lighting"), 10u);
    EXPECT_EQ(Count(table.out, "\n"), 1u + 10u + 1u) << "title, rows, summary:\n" << table.out;
}

TEST(CatalogGroupFilter, UnknownGroupIsAUsageErrorListingTheNames) {
    toolstest::CliResult result = RunCli({"catalog", "--group", "Spaceships"});
    EXPECT_EQ(result.exit, tavu::EXIT_USAGE);
    EXPECT_TRUE(result.out.empty());
    EXPECT_NE(result.err.find("Spaceships"), std::string::npos);
    for (int g = 0; g < CATALOG_GROUP_COUNT; ++g) {
        EXPECT_NE(result.err.find(ObjectCatalog.groups[g].name), std::string::npos) << g;
    }
}

TEST(CatalogTable, ListsEveryEntryWithItsDefaultsReadable) {
    toolstest::CliResult result = RunCli({"catalog"});
    ASSERT_EQ(result.exit, 0);
    EXPECT_EQ(Count(result.out, "\n"), 1u + 326u + 1u);
    std::istringstream lines(result.out);
    std::string header, first, second, third;
    std::getline(lines, header);
    std::getline(lines, first);
    std::getline(lines, second);
    std::getline(lines, third);
    EXPECT_NE(first.find("B737 Air France"), std::string::npos);
    EXPECT_NE(first.find("fixed 2^25 (code -7)"), std::string::npos) << first;
    EXPECT_NE(first.find("1400 m"), std::string::npos);
    EXPECT_NE(first.find("SfB737-AirFr.BMP"), std::string::npos);
    EXPECT_NE(third.find("100 %"), std::string::npos) << third;
    EXPECT_EQ(header.find("key"), first.find("5149524f")) << "columns line up";
    EXPECT_NE(result.out.find("326 objects in 12 groups"), std::string::npos);
}

TEST(CatalogCommand, RejectsUnknownOptions) {
    EXPECT_EQ(RunCli({"catalog", "--colour"}).exit, tavu::EXIT_USAGE);
    EXPECT_EQ(RunCli({"catalog", "--group"}).exit, tavu::EXIT_USAGE);
}

// Every file command explains itself and its exit codes, and asking for
// help is not a failure.
TEST(FileCommandsHelp, NamesTheExitCodes) {
    for (const char* command : {"catalog", "dump", "check", "map"}) {
        toolstest::CliResult result = RunCli({command, "--help"});
        EXPECT_EQ(result.exit, tavu::EXIT_OK) << command;
        EXPECT_NE(result.out.find("Exit codes: 0"), std::string::npos) << command << ": " << result.out;
    }
}

}  // namespace
