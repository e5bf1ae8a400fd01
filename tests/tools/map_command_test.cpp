// tavu map: a well-formed SVG with one symbol per object, placed inside the
// map, turned by its heading and coloured by its group, from one object to
// thousands, and across the antimeridian.
#include <regex>

#include "tests/tools/tools_fixture.h"
#include "tests/tools/xml_check.h"

namespace {

using toolstest::Count;
using toolstest::Placed;
using toolstest::RunCli;

// The map's drawing area in the SVG's pixels.
constexpr double kMapLeft = 20, kMapTop = 74, kMapRight = 920, kMapBottom = 774;

struct Symbol {
    int group;
    double x, y;
    std::string colour;
    double rotation;
};

std::vector<Symbol> Symbols(const std::string& svg) {
    static const std::regex kObject(
        "<g class=\"object\" data-group=\"(-?[0-9]+)\" transform=\"translate\\(([-0-9.]+),([-0-9.]+)\\)\">"
        ".*?<use xlink:href=\"#glyph-[a-z-]+\" fill=\"(#[0-9a-f]{6})\" transform=\"rotate\\(([-0-9.]+)\\)");
    std::vector<Symbol> symbols;
    for (auto it = std::sregex_iterator(svg.begin(), svg.end(), kObject); it != std::sregex_iterator(); ++it) {
        const std::smatch& m = *it;
        symbols.push_back({std::stoi(m[1]), std::stod(m[2]), std::stod(m[3]), m[4], std::stod(m[5])});
    }
    return symbols;
}

// The scale bar's length label, e.g. "200 m".
std::string ScaleBarText(const std::string& svg) {
    static const std::regex kBar("<g class=\"scalebar\">[\\s\\S]*?text-anchor=\"middle\">0</text>\\s*<text[^>]*>([^<]*)<");
    std::smatch m;
    return std::regex_search(svg, m, kBar) ? m[1].str() : "";
}

class Map : public toolstest::ToolsTest {
protected:
    std::string Draw(std::vector<std::string> args, int expectedExit = 0) {
        std::string out = PathOf("map.svg");
        std::filesystem::remove(out);
        args.insert(args.begin(), "map");
        args.push_back("-o");
        args.push_back(out);
        last = RunCli(args);
        EXPECT_EQ(last.exit, expectedExit) << last.err;
        std::vector<uint8_t> bytes = testsupport::ReadBytes(out);
        std::string svg(bytes.begin(), bytes.end());
        if (!bytes.empty()) {
            EXPECT_EQ(toolstest::XmlChecker::Check(svg), "");
        }
        return svg;
    }

    void ExpectInsideTheMap(const std::vector<Symbol>& symbols) {
        for (const Symbol& symbol : symbols) {
            EXPECT_GT(symbol.x, kMapLeft + 10);
            EXPECT_LT(symbol.x, kMapRight - 10);
            EXPECT_GT(symbol.y, kMapTop + 10);
            EXPECT_LT(symbol.y, kMapBottom - 10);
        }
    }

    toolstest::CliResult last;
};

TEST_F(Map, OneObjectIsDrawnLabelledAndTurnedByItsHeading) {
    std::string svg = Draw({Saved({Placed(5000000, 700000, 0, 16384)})});
    std::vector<Symbol> symbols = Symbols(svg);
    ASSERT_EQ(symbols.size(), 1u);
    EXPECT_EQ(Count(svg, "<g class=\"object\""), 1u);
    EXPECT_EQ(symbols[0].rotation, 90.0);
    EXPECT_EQ(symbols[0].group, 0);
    EXPECT_EQ(symbols[0].colour, tavu::GroupColour(0));
    EXPECT_NEAR(symbols[0].x, (kMapLeft + kMapRight) / 2, 1);
    EXPECT_NEAR(symbols[0].y, (kMapTop + kMapBottom) / 2, 1);
    EXPECT_NE(svg.find("class=\"label\" x=\"11\" y=\"4\">B737 Air France</text>"), std::string::npos);
    EXPECT_NE(svg.find("<title>Scenery map: s.tsc</title>"), std::string::npos);
    EXPECT_NE(svg.find(">N</text>"), std::string::npos) << "a north arrow";
    EXPECT_EQ(Count(svg, "<rect class=\"bounds\""), 0u) << "a kilometre's range reaches far past the map";
    EXPECT_NE(svg.find("bounds reach beyond the map"), std::string::npos);
    EXPECT_EQ(ScaleBarText(svg), "10 m");
    EXPECT_NE(last.out.find("1 object from 1 scenery file"), std::string::npos);
}

TEST_F(Map, ObjectsKeepTheirLayoutAndScaleBarsAreRound) {
    // Three objects: one 1 km east, one 500 m north of the first.
    int32_t east = sim::MetresToLonUnits(1000, 5000000);
    std::string svg = Draw({Saved({Placed(5000000, 700000, 0), Placed(5000000, 700000 + east, 20),
                                   Placed(5000500, 700000, 40)})});
    std::vector<Symbol> symbols = Symbols(svg);
    ASSERT_EQ(symbols.size(), 3u);
    ExpectInsideTheMap(symbols);
    double metre = (symbols[1].x - symbols[0].x) / 1000;
    EXPECT_GT(metre, 0);
    EXPECT_NEAR(symbols[1].y, symbols[0].y, 0.01) << "east is to the right";
    EXPECT_NEAR(symbols[0].y - symbols[2].y, 500 * metre, 0.5) << "north is up, at the same scale";
    EXPECT_NEAR(symbols[2].x, symbols[0].x, 0.01);
    EXPECT_TRUE(std::regex_match(ScaleBarText(svg), std::regex("(1|2|5)0* (m|km)"))) << ScaleBarText(svg);
    EXPECT_NE(svg.find("fill=\"" + std::string(tavu::GroupColour(1)) + "\""), std::string::npos);
}

TEST_F(Map, ObjectsEitherSideOfTheAntimeridianStayNeighbours) {
    std::string svg = Draw({Saved({Placed(0, INT32_MAX - 1000, 0), Placed(0, INT32_MIN + 1000, 0)})});
    std::vector<Symbol> symbols = Symbols(svg);
    ASSERT_EQ(symbols.size(), 2u);
    ExpectInsideTheMap(symbols);
    EXPECT_EQ(ScaleBarText(svg), "10 m") << "two objects 19 m apart, not a world apart";
}

TEST_F(Map, EveryGroupHasItsColourAndALegendLine) {
    std::vector<ObjectRecord> records;
    for (int g = 0; g < CATALOG_GROUP_COUNT; ++g) {
        records.push_back(Placed(5000000 + 40 * g, 700000, ObjectCatalog.groups[g].first));
    }
    ObjectRecord stranger = Placed(5000000, 720000, 0);
    memset(stranger.objectKey, 0x11, 16);
    records.push_back(stranger);
    std::string svg = Draw({Saved(records)});
    std::vector<Symbol> symbols = Symbols(svg);
    ASSERT_EQ(symbols.size(), 13u);
    std::set<std::string> colours;
    for (int g = 0; g < CATALOG_GROUP_COUNT; ++g) {
        EXPECT_EQ(symbols[g].group, g);
        EXPECT_EQ(symbols[g].colour, tavu::GroupColour(g));
        colours.insert(symbols[g].colour);
        EXPECT_NE(svg.find(std::string(ObjectCatalog.groups[g].name) + " (1)</text>"), std::string::npos) << g;
    }
    EXPECT_EQ(colours.size(), 12u) << "twelve different colours";
    EXPECT_EQ(symbols[12].group, -1);
    EXPECT_EQ(symbols[12].colour, tavu::kUnknownColour);
    EXPECT_NE(svg.find("not in the catalog (1)"), std::string::npos);
}

TEST_F(Map, ThousandsOfObjectsFitAndLeaveTheLabelsOutUnlessAsked) {
    std::vector<std::string> files;
    for (int f = 0; f < 3; ++f) {
        std::vector<ObjectRecord> records;
        for (int i = 0; i < 700; ++i) {
            records.push_back(Placed(5000000 + f * 3000 + (i / 30) * 80, 700000 + (i % 30) * 9000,
                                     (f * 700 + i) % CATALOG_ENTRY_COUNT, static_cast<int16_t>(i * 97)));
        }
        files.push_back(Saved(records, "part" + std::to_string(f) + ".tsc"));
    }
    std::string svg = Draw(files);
    EXPECT_EQ(Count(svg, "<g class=\"object\""), 2100u);
    EXPECT_EQ(Symbols(svg).size(), 2100u);
    ExpectInsideTheMap(Symbols(svg));
    EXPECT_EQ(Count(svg, "class=\"label\""), 0u);
    EXPECT_EQ(Count(svg, "<rect class=\"bounds\""), 3u);
    EXPECT_NE(svg.find("Scenery map: part0.tsc, part1.tsc, part2.tsc"), std::string::npos);

    files.push_back("--labels");
    EXPECT_EQ(Count(Draw(files), "class=\"label\""), 2100u);
}

TEST_F(Map, LabelsThatWouldOverlapAreLeftOutUnlessAllAreAsked) {
    // Five objects on one spot: right, left, above and below hold four labels.
    std::string path = Saved(std::vector<ObjectRecord>(5, Placed(5000000, 700000, 0)));
    std::string svg = Draw({path});
    EXPECT_EQ(Count(svg, "class=\"label\""), 4u);
    EXPECT_NE(svg.find("1 label left out where"), std::string::npos);
    svg = Draw({path, "--labels"});
    EXPECT_EQ(Count(svg, "class=\"label\""), 5u);
    EXPECT_EQ(svg.find("left out"), std::string::npos);
}

TEST_F(Map, NoLabelsWhenToldEvenForOneObject) {
    std::string svg = Draw({Saved({Placed(1000, 1000, 3)}), "--no-labels"});
    EXPECT_EQ(Count(svg, "class=\"label\""), 0u);
    EXPECT_EQ(Count(svg, "<g class=\"object\""), 1u);
}

TEST_F(Map, TitlesAndFileNamesAreEscaped) {
    std::string path = Saved({Placed(1000, 1000, 3)}, "a&b<c>\"d\".tsc");
    std::string svg = Draw({path, "--title", "<Rock & Roll> \xff\x01"});
    EXPECT_NE(svg.find("<title>&lt;Rock &amp; Roll&gt; \xEF\xBF\xBD</title>"), std::string::npos);
    EXPECT_NE(svg.find("a&amp;b&lt;c&gt;&quot;d&quot;.tsc"), std::string::npos);
}

TEST_F(Map, FittingTheBoundsBringsTheirEdgesIntoView) {
    std::string path = Saved({Placed(5000000, 700000, 0, 0, 65536, 1000)});
    std::string svg = Draw({path, "--fit-bounds"});
    std::smatch m;
    ASSERT_TRUE(std::regex_search(svg, m,
                                  std::regex("<rect class=\"bounds\" x=\"([-0-9.]+)\" y=\"([-0-9.]+)\" "
                                             "width=\"([-0-9.]+)\" height=\"([-0-9.]+)\"")));
    double x = std::stod(m[1]), y = std::stod(m[2]), w = std::stod(m[3]), h = std::stod(m[4]);
    EXPECT_GT(x, kMapLeft);
    EXPECT_GT(y, kMapTop);
    EXPECT_LT(x + w, kMapRight);
    EXPECT_LT(y + h, kMapBottom);
    EXPECT_NEAR(w / h, 1.0, 0.01) << "the box reaches 1 km down and 2 km up, 1 km west and 2 km east";
    std::vector<Symbol> symbols = Symbols(svg);
    ASSERT_EQ(symbols.size(), 1u);
    EXPECT_NEAR((symbols[0].x - x) / w, 1.0 / 3, 0.01) << "a third of the way in from the west edge";
    EXPECT_NEAR((y + h - symbols[0].y) / h, 1.0 / 3, 0.01);
}

TEST_F(Map, DamagedFilesAreLeftOutAndFailTheRun) {
    std::string good = Saved({Placed(1000, 1000, 3), Placed(1100, 1000, 4)}, "good.tsc");
    std::vector<uint8_t> bytes = testsupport::ReadBytes(good);
    bytes.resize(100);
    std::string broken = Written("broken.tsc", bytes);
    std::string svg = Draw({good, broken, PathOf("gone.tsc")}, tavu::EXIT_FAILURE_FOUND);
    EXPECT_EQ(Count(svg, "<g class=\"object\""), 2u);
    EXPECT_NE(last.err.find("broken.tsc: not drawn: file is truncated"), std::string::npos) << last.err;
    EXPECT_NE(last.err.find("gone.tsc: not drawn: no such file"), std::string::npos);

    EXPECT_TRUE(Draw({broken}, tavu::EXIT_FAILURE_FOUND).empty()) << "nothing drawable, nothing written";
}

TEST_F(Map, ArgumentsAreRequired) {
    std::string path = Saved({Placed(1000, 1000, 3)});
    EXPECT_EQ(RunCli({"map", path}).exit, tavu::EXIT_USAGE) << "no -o";
    EXPECT_EQ(RunCli({"map", "-o", PathOf("x.svg")}).exit, tavu::EXIT_USAGE) << "no file";
    EXPECT_EQ(RunCli({"map", path, "-o", PathOf("x.svg"), "--labels", "--no-labels"}).exit, tavu::EXIT_USAGE);
    toolstest::CliResult toStdout = RunCli({"map", path, "-o", "-"});
    EXPECT_EQ(toStdout.exit, 0);
    EXPECT_EQ(toolstest::XmlChecker::Check(toStdout.out), "");
}

TEST(MapRendering, AnEmptySceneryStillMakesAMap) {
    tavu::MapScenery empty;
    empty.name = "empty.tsc";
    empty.header.minLat = INT32_MAX;
    empty.header.maxLat = INT32_MIN;
    empty.hasHeader = true;
    std::string svg = tavu::RenderMap(std::span(&empty, 1), {});
    EXPECT_EQ(toolstest::XmlChecker::Check(svg), "");
    EXPECT_EQ(Count(svg, "<g class=\"object\""), 0u);
    EXPECT_EQ(Count(svg, "<rect class=\"bounds\""), 0u);
    EXPECT_NE(svg.find("no objects"), std::string::npos);
}

TEST(XmlCheckerSelfTest, CatchesTheFaultsItIsThereFor) {
    using toolstest::XmlChecker;
    EXPECT_EQ(XmlChecker::Check("<a><b x=\"1\"/>t &amp; u</a>"), "");
    EXPECT_NE(XmlChecker::Check("<a><b></a></b>"), "");
    EXPECT_NE(XmlChecker::Check("<a>"), "");
    EXPECT_NE(XmlChecker::Check("<a x=\"1\" x=\"2\"/>"), "");
    EXPECT_NE(XmlChecker::Check("<a>R & B</a>"), "");
    EXPECT_NE(XmlChecker::Check("<a x=\"<\"/>"), "");
    EXPECT_NE(XmlChecker::Check("<a/><b/>"), "");
    EXPECT_NE(XmlChecker::Check("<a x=1/>"), "");
}

}  // namespace
