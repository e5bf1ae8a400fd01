// tavu map: a well-formed SVG with one symbol per object, placed inside the
// map, turned by its heading and coloured by its group, labelled where
// labels fit and never overlapping, with axes in degrees, and across the
// antimeridian.
#include <array>
#include <map>
#include <numbers>
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

// Each object's symbol ("#tree-45": the tree glyph turned by 45°) with the
// group and colour its glyph carries.
std::vector<Symbol> Symbols(const std::string& svg) {
    static const std::regex kGlyph(
        "<g id=\"glyph-([a-z-]+)\" class=\"glyph\" data-group=\"(-?[0-9]+)\" fill=\"(#[0-9a-f]{6})\"");
    static const std::regex kObject(
        "<use xlink:href=\"#([a-z-]+)-([0-9]+)\" x=\"([-0-9.]+)\" y=\"([-0-9.]+)\"");
    std::map<std::string, std::pair<int, std::string>> glyphs;
    for (auto it = std::sregex_iterator(svg.begin(), svg.end(), kGlyph); it != std::sregex_iterator(); ++it) {
        glyphs[(*it)[1]] = {std::stoi((*it)[2]), (*it)[3]};
    }
    std::vector<Symbol> symbols;
    for (auto it = std::sregex_iterator(svg.begin(), svg.end(), kObject); it != std::sregex_iterator();
         ++it) {
        auto [group, colour] = glyphs[(*it)[1]];
        std::string turned =
            "id=\"" + (*it)[1].str() + "-" + (*it)[2].str() + "\" transform=\"rotate(" + (*it)[2].str() + ")";
        EXPECT_NE(svg.find(turned), std::string::npos) << turned;
        symbols.push_back({group, std::stod((*it)[3]), std::stod((*it)[4]), colour, std::stod((*it)[2])});
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
         {"class=\"label\" x=\"481\" y=\"428\">Tractor &amp; freight trailer 1</text>",
          "<title>&lt;Rock &amp; Roll&gt; &quot;&apos;\xEF\xBF\xBD</title>",
          "a&amp;b&lt;c&gt;&quot;d&apos;.tsc", ">N</text>", "bounds beyond the map on all sides"}) {
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
    EXPECT_TRUE(svg.find("° E</text>") != std::string::npos && svg.find("° W</text>") != std::string::npos);
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

// Parallels and meridians at round degrees label the axes where they lie;
// files of one name are told apart; bounds cut by the map's edges are noted.
TEST_F(Map, AxesReadInDegreesAndFilesOfOneNameAndCutBoundsAreToldApart) {
    std::filesystem::create_directory(PathOf("a"));
    std::filesystem::create_directory(PathOf("b"));
    int32_t east = sim::MetresToLonUnits(3000, 5000000);
    std::string a = Saved({Placed(5000000, 700000, 0), Placed(5000000, 700000 + east, 0)}, "a/s.tsc");
    std::string b = Saved({Placed(5000000, 700000, 0)}, "b/s.tsc");
    std::string svg = Draw({a, b, a});
    for (const char* note :
         {"a/s.tsc \\(2 objects\\)</text>\n<text class=\"note\"[^>]*>bounds beyond the map: N, E, W<",
          "b/s.tsc \\(1 object\\)</text>\n<text class=\"note\"[^>]*>bounds beyond the map: N, W<",
          ">a/s.tsc \\(2\\) \\(2 objects\\)</text>"}) {
        EXPECT_TRUE(std::regex_search(svg, std::regex(note))) << note;
    }
    std::vector<Symbol> symbols = Symbols(svg);
    ASSERT_EQ(symbols.size(), 5u);
    auto axis = [&](const std::string& pattern) {
        std::vector<std::pair<double, double>> found;  // pixel, degrees
        std::regex label(pattern);
        for (auto it = std::sregex_iterator(svg.begin(), svg.end(), label); it != std::sregex_iterator();
             ++it) {
            found.push_back({std::stod((*it)[1]), std::stod((*it)[2])});
        }
        EXPECT_GE(found.size(), 3u) << pattern;
        return found;
    };
    double metresPerDegree = sim::kEarthRadiusMetres * std::numbers::pi / 180,
           lonPerUnit = 360 / 4294967296.0;
    double pixelsPerMetre = (symbols[1].x - symbols[0].x) / 3000;
    for (auto [y, lat] :
         axis("translate\\(15,([-0-9.]+)\\) rotate\\(-90\\)\" text-anchor=\"middle\">([0-9.]+)° N<")) {
        EXPECT_NEAR(y, symbols[0].y - (lat * metresPerDegree - 5000000) * pixelsPerMetre, 0.5) << lat;
    }
    for (auto [x, lon] :
         axis("class=\"lon-label\" x=\"([-0-9.]+)\" y=\"[0-9.]+\" text-anchor=\"middle\">([0-9.]+)° E<")) {
        EXPECT_NEAR(x, symbols[0].x + (lon / lonPerUnit - 700000) / east * (symbols[1].x - symbols[0].x), 0.5)
            << lon;
    }
}

// Labels go where they fit clear of every symbol, up to 150 objects;
// --labels puts one wherever it covers no other label, up to --max-labels.
// The legend and the summary count those left out.
TEST_F(Map, LabelsNeverOverlapAndThoseLeftOutAreCounted) {
    // Five objects on one spot: right, left, above and below hold four labels.
    std::string path = Saved(std::vector<ObjectRecord>(5, Placed(5000000, 700000, 0)));
    const std::tuple<std::vector<std::string>, size_t, std::string, std::string> runs[] = {
        {{}, 4, "1 label left out where", "4 labels (1 left out)"},
        {{"--labels"}, 4, "it would overlap another label", "4 labels (1 left out)"},
        {{"--labels", "--max-labels", "2"}, 2, "3 labels left out past the", "2 labels (3 left out)"},
        {{"--no-labels"}, 0, "", "1 scenery file\n"}};
    for (const auto& [options, labels, note, summary] : runs) {
        std::vector<std::string> args = {path};
        args.insert(args.end(), options.begin(), options.end());
        std::string svg = Draw(args);
        EXPECT_EQ(Count(svg, "class=\"label\""), labels);
        EXPECT_NE(svg.find(note), std::string::npos) << note;
        EXPECT_NE(last.out.find(summary), std::string::npos) << last.out;
    }
    // Four tight clusters: labels never overlap, taking 11 px text as 6 px a
    // character, and by default cover no symbol either.
    std::vector<ObjectRecord> cluster;
    for (int i = 0; i < 140; ++i) {
        cluster.push_back(Placed(5000000 + (i % 4) * 150 + i % 7, 700000 + (i % 5) * 300, i % 20));
    }
    std::string clustered = Saved(cluster, "cluster.tsc");
    for (bool all : {false, true}) {
        std::string svg =
            Draw(all ? std::vector<std::string>{clustered, "--labels"} : std::vector{clustered});
        static const std::regex kLabel(
            "class=\"label\" x=\"([-0-9.]+)\" y=\"([-0-9.]+)\"(?: text-anchor=\"([a-z]+)\")?>([^<]*)<");
        std::vector<std::array<double, 4>> boxes;
        for (auto it = std::sregex_iterator(svg.begin(), svg.end(), kLabel); it != std::sregex_iterator();
             ++it) {
            double x = std::stod((*it)[1]), y = std::stod((*it)[2]), width = 6.0 * (*it)[4].length();
            double left = (*it)[3] == "end" ? x - width : (*it)[3] == "middle" ? x - width / 2 : x;
            boxes.push_back({left, y - 10, left + width, y + 2});
        }
        size_t labels = boxes.size();
        EXPECT_GE(labels, all ? 12u : 4u);
        for (const Symbol& symbol : all ? std::vector<Symbol>{} : Symbols(svg)) {
            boxes.push_back({symbol.x - 9, symbol.y - 9, symbol.x + 9, symbol.y + 9});
        }
        for (size_t i = 0; i < labels; ++i) {
            for (size_t j = i + 1; j < boxes.size(); ++j) {
                EXPECT_FALSE(boxes[i][0] < boxes[j][2] && boxes[j][0] < boxes[i][2] &&
                             boxes[i][1] < boxes[j][3] && boxes[j][1] < boxes[i][3])
                    << i << " and " << j;
            }
        }
    }

    std::vector<std::string> files;
    for (int f = 0; f < 3; ++f) {
        std::vector<ObjectRecord> records;
        for (int i = 0; i < 51; ++i) {
            records.push_back(
                Placed(5000000 + f * 3000 + (i / 10) * 300, 700000 + (i % 10) * 30000, f * 51 + i));
        }
        files.push_back(Saved(records, "part" + std::to_string(f) + ".tsc"));
    }
    std::string svg = Draw(files);
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
    EXPECT_EQ(RunCli({"map", good, "-o", PathOf("x.svg"), "--max-labels", "-1"}).exit, tavu::EXIT_USAGE);

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
