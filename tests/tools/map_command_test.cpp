// tavu map: a well-formed SVG with one symbol per object, placed inside the
// map, turned by its heading and coloured by its group, labelled where
// labels fit, and across the antimeridian.
#include <ranges>
#include <regex>
#include <set>
#include <tuple>

#include "tests/tools/tools_fixture.h"

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
    for (auto it = std::sregex_iterator(svg.begin(), svg.end(), kObject); it != std::sregex_iterator();
         ++it) {
        symbols.push_back(
            {std::stoi((*it)[1]), std::stod((*it)[2]), std::stod((*it)[3]), (*it)[4], std::stod((*it)[5])});
    }
    return symbols;
}

class Map : public toolstest::ToolsTest {
  protected:
    // The SVG drawn from these arguments; every symbol inside the map and
    // coloured by its group.
    std::string Draw(std::vector<std::string> args, int expectedExit = 0) {
        std::filesystem::remove(PathOf("map.svg"));
        args.insert(args.begin(), "map");
        args.insert(args.end(), {"-o", PathOf("map.svg")});
        last = RunCli(args);
        EXPECT_EQ(last.exit, expectedExit) << last.err;
        std::vector<uint8_t> bytes = testsupport::ReadBytes(PathOf("map.svg"));
        std::string svg(bytes.begin(), bytes.end());
        // Markup characters stand only for markup: '<' opens a tag that '>'
        // closes, '&' starts an entity, and quotes pair up around values.
        EXPECT_TRUE(Count(svg, "<") == Count(svg, ">") && Count(svg, "\"") % 2 == 0);
        EXPECT_EQ(Count(svg, "&"), Count(svg, "&amp;") + Count(svg, "&lt;") + Count(svg, "&gt;") +
                                       Count(svg, "&quot;") + Count(svg, "&apos;"));
        for (const Symbol& symbol : Symbols(svg)) {
            EXPECT_TRUE(symbol.x > kMapLeft + 10 && symbol.x < kMapRight - 10) << symbol.x;
            EXPECT_TRUE(symbol.y > kMapTop + 10 && symbol.y < kMapBottom - 10) << symbol.y;
            EXPECT_EQ(symbol.colour,
                      symbol.group < 0 ? tavu::kUnknownColour : tavu::GroupColour(symbol.group));
        }
        return svg;
    }
    toolstest::CliResult last;
};

// Entry 143 is "Tractor & freight trailer 1"; titles, names and file names
// come out escaped, bytes that are not UTF-8 replaced, control characters
// dropped.
TEST_F(Map, OneObjectIsDrawnLabelledTurnedEscapedAndItsBoundsFitted) {
    std::string path = Saved({Placed(5000000, 700000, 143, 16384)}, "a&b<c>\"d'.tsc");
    std::string svg = Draw({path, "--title", "<Rock & Roll> \"'\xff\x01"});
    std::vector<Symbol> symbols = Symbols(svg);
    ASSERT_EQ(symbols.size(), 1u);
    EXPECT_EQ(symbols[0].rotation, 90.0);
    EXPECT_NEAR(symbols[0].x, (kMapLeft + kMapRight) / 2, 1);
    EXPECT_NEAR(symbols[0].y, (kMapTop + kMapBottom) / 2, 1);
    // A kilometre's range reaches far past the map: no bounds drawn.
    for (const char* shown :
         {"class=\"label\" x=\"11\" y=\"4\">Tractor &amp; freight trailer 1</text>",
          "<title>&lt;Rock &amp; Roll&gt; &quot;&apos;\xEF\xBF\xBD</title>",
          "a&amp;b&lt;c&gt;&quot;d&apos;.tsc", ">N</text>", "bounds reach beyond the map"}) {
        EXPECT_NE(svg.find(shown), std::string::npos) << shown;
    }
    EXPECT_EQ(Count(svg, "<rect class=\"bounds\""), 0u);
    EXPECT_NE(svg.find("middle\">10 m</text>"), std::string::npos) << "the scale bar";

    // The bounds reach 1 km south and 2 km north, 1 km west and 2 km east:
    // fitted, they are a square with the object a third of the way in.
    svg = Draw({path, "--fit-bounds"});
    std::smatch m;
    ASSERT_TRUE(std::regex_search(svg, m,
                                  std::regex("<rect class=\"bounds\" x=\"([-0-9.]+)\" y=\"([-0-9.]+)\" "
                                             "width=\"([-0-9.]+)\" height=\"([-0-9.]+)\"")));
    double x = std::stod(m[1]), y = std::stod(m[2]), w = std::stod(m[3]), h = std::stod(m[4]);
    EXPECT_TRUE(x > kMapLeft && y > kMapTop && x + w < kMapRight && y + h < kMapBottom);
    EXPECT_NEAR(w / h, 1.0, 0.01);
    symbols = Symbols(svg);
    ASSERT_EQ(symbols.size(), 1u);
    EXPECT_NEAR((symbols[0].x - x) / w, 1.0 / 3, 0.01) << "a third of the way in from the west edge";
    EXPECT_NEAR((y + h - symbols[0].y) / h, 1.0 / 3, 0.01);
}

TEST_F(Map, ObjectsKeepTheirLayoutAcrossTheAntimeridianToo) {
    // One object 1 km east, one 500 m north of the first; one the catalog
    // does not know.
    int32_t east = sim::MetresToLonUnits(1000, 5000000);
    std::vector<ObjectRecord> records = {Placed(5000000, 700000, 0), Placed(5000000, 700000 + east, 20),
                                         Placed(5000500, 700000, 5), Placed(5000200, 700000, 0)};
    memset(records[3].objectKey, 0x11, 16);
    std::string svg = Draw({Saved(records)});
    std::vector<Symbol> symbols = Symbols(svg);
    ASSERT_EQ(symbols.size(), 4u);
    EXPECT_NE(svg.find("Aircraft (2)</text>"), std::string::npos) << "the legend counts each group";
    auto colours = std::views::iota(0, int{CATALOG_GROUP_COUNT}) | std::views::transform(tavu::GroupColour);
    EXPECT_EQ(std::set<std::string>(colours.begin(), colours.end()).size(), 12u) << "a colour for each group";
    EXPECT_NE(svg.find("not in the catalog (1)</text>"), std::string::npos);
    double metre = (symbols[1].x - symbols[0].x) / 1000;
    EXPECT_GT(metre, 0) << "east is to the right";
    EXPECT_NEAR(symbols[1].y, symbols[0].y, 0.01);
    EXPECT_NEAR(symbols[0].y - symbols[2].y, 500 * metre, 0.5) << "north is up, at the same scale";
    EXPECT_NEAR(symbols[2].x, symbols[0].x, 0.01);
    EXPECT_TRUE(std::regex_search(svg, std::regex("middle\">(1|2|5)0* k?m</text>"))) << "a round scale bar";

    svg = Draw({Saved({Placed(0, INT32_MAX - 1000, 0), Placed(0, INT32_MIN + 1000, 0)}, "wrap.tsc")});
    EXPECT_EQ(Symbols(svg).size(), 2u);
    EXPECT_NE(svg.find("middle\">10 m</text>"), std::string::npos)
        << "two objects 19 m apart, not a world apart";
    // Their bounds wrap too, and are drawn where they lie: 1 km west of the
    // one object, 2 km east of the other, 1 km south and 2 km north.
    svg = Draw({PathOf("wrap.tsc"), "--fit-bounds"});
    std::smatch m;
    ASSERT_TRUE(std::regex_search(svg, m,
                                  std::regex("<rect class=\"bounds\" x=\"([-0-9.]+)\" y=\"[-0-9.]+\" "
                                             "width=\"([-0-9.]+)\" height=\"([-0-9.]+)\"")));
    double x = std::stod(m[1]), w = std::stod(m[2]), h = std::stod(m[3]);
    EXPECT_NEAR(w / h, 3019.0 / 3000, 0.002);
    for (const Symbol& symbol : Symbols(svg)) {
        EXPECT_NEAR((symbol.x - x) / w, 1.0 / 3, 0.01);
    }
}

// Labels go where they fit, up to 150 objects; --labels puts all, --no-labels none.
TEST_F(Map, LabelsAreLeftOutWhereTheyWouldOverlapOrAreTooMany) {
    // Five objects on one spot: right, left, above and below hold four labels.
    std::string path = Saved(std::vector<ObjectRecord>(5, Placed(5000000, 700000, 0)));
    std::string svg = Draw({path});
    EXPECT_EQ(Count(svg, "class=\"label\""), 4u);
    EXPECT_NE(svg.find("1 label left out where"), std::string::npos);
    EXPECT_EQ(Count(Draw({path, "--labels"}), "class=\"label\""), 5u);
    EXPECT_EQ(Count(Draw({path, "--no-labels"}), "class=\"label\""), 0u);

    std::vector<std::string> files;
    for (int f = 0; f < 3; ++f) {
        std::vector<ObjectRecord> records;
        for (int i = 0; i < 51; ++i) {
            records.push_back(
                Placed(5000000 + f * 3000 + (i / 10) * 300, 700000 + (i % 10) * 30000, f * 51 + i));
        }
        files.push_back(Saved(records, "part" + std::to_string(f) + ".tsc"));
    }
    svg = Draw(files);
    EXPECT_EQ(Symbols(svg).size(), 153u);
    EXPECT_EQ(Count(svg, "class=\"label\""), 0u);
    EXPECT_EQ(Count(svg, "<rect class=\"bounds\""), 3u);
    EXPECT_NE(svg.find("Scenery map: part0.tsc, part1.tsc, part2.tsc"), std::string::npos);
}

TEST_F(Map, DamagedFilesAreLeftOutAndFailTheRun) {
    std::string good = Saved({Placed(1000, 1000, 3), Placed(1100, 1000, 4)}, "good.tsc");
    std::vector<uint8_t> bytes = testsupport::ReadBytes(good);
    std::string broken = Written("broken.tsc", {bytes.begin(), bytes.begin() + 100});
    std::string svg = Draw({good, broken, PathOf("gone.tsc")}, tavu::EXIT_FAILURE_FOUND);
    EXPECT_EQ(Symbols(svg).size(), 2u);
    EXPECT_NE(last.err.find("broken.tsc: not drawn: file is truncated"), std::string::npos) << last.err;
    EXPECT_NE(last.err.find("gone.tsc: not drawn: no such file"), std::string::npos);
    EXPECT_TRUE(Draw({broken}, tavu::EXIT_FAILURE_FOUND).empty()) << "nothing drawable, nothing written";
    std::string none = Written("none.tsc", sim::EncodeSceneryFile({}, {}));
    EXPECT_NE(Draw({none}).find(">no objects</text>"), std::string::npos) << "no records still make a map";

    EXPECT_EQ(Symbols(RunCli({"map", good, "-o", "-"}).out).size(), 2u) << "to standard output";
    EXPECT_EQ(RunCli({"map", good}).exit, tavu::EXIT_USAGE) << "no -o";
    EXPECT_EQ(RunCli({"map", good, "-o", PathOf("x.svg"), "--labels", "--no-labels"}).exit, tavu::EXIT_USAGE);

    // A map never replaces a scenery: an input by any name, or another
    // scenery file. Failed writes leave no temporary file behind.
    std::string odd = Written("odd.tsc", {'o', 'd', 'd'});
    std::filesystem::create_hard_link(odd, PathOf("odd.svg"));
    std::filesystem::create_directory(PathOf("dir.svg"));
    const std::tuple<std::string, int, std::string> outputs[] = {
        {good, 2, "is " + good + ", one of the files"},
        {PathOf("odd.svg"), 2, "odd.tsc, one of the files"},
        {none, 2, ": " + none + ": is a scenery file"},
        {PathOf("dir.svg"), 1, "map: Is a directory"},
        {"/dev/full", 1, "map: No space left on device"}};
    auto files = [&] {
        return std::distance(std::filesystem::directory_iterator(folder),
                             std::filesystem::directory_iterator());
    };
    const auto before = files();
    for (const auto& [output, exit, message] : outputs) {
        toolstest::CliResult result = RunCli({"map", good, odd, "-o", output});
        EXPECT_EQ(result.exit, exit) << output;
        EXPECT_NE(result.err.find(message), std::string::npos) << result.err;
    }
    EXPECT_EQ(testsupport::ReadBytes(good), bytes);
    EXPECT_EQ(testsupport::ReadBytes(none), sim::EncodeSceneryFile({}, {}));
    EXPECT_EQ(testsupport::ReadBytes(odd), std::vector<uint8_t>({'o', 'd', 'd'}));
    std::ofstream(PathOf("old.svg")) << "old";
    EXPECT_EQ(RunCli({"map", good, "-o", PathOf("old.svg")}).exit, 0);
    std::vector<uint8_t> map = testsupport::ReadBytes(PathOf("old.svg"));
    EXPECT_EQ(Symbols({map.begin(), map.end()}).size(), 2u) << "an old map is replaced";
    EXPECT_EQ(files(), before + 1) << "old.svg, and no temporary file";
}

}  // namespace
