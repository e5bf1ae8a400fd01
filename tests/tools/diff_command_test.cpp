// tavu diff: objects paired by what they are and where they stand, not by
// their record numbers, and each change named with its size.
#include <nlohmann/json.hpp>

#include "scenery/scale.h"
#include "tests/tools/tools_fixture.h"

namespace {

using toolstest::Placed;
using toolstest::RunCli;

using Diff = toolstest::ToolsTest;

TEST_F(Diff, PairsObjectsByKindAndNearestPositionAndNamesEachChange) {
    const int kCat = 163, kTree = 300;
    const ObjectRecord cat = Placed(5000000, 700000, kCat), tree = Placed(5000100, 700000, kTree),
                       jet = Placed(5000200, 700000, 0);
    ObjectRecord up = cat;
    up.lat.integer += 10;
    up.alt.integer += 2;
    const struct {
        std::vector<ObjectRecord> a, b;
        std::vector<std::string> lines;
        int exit;
    } cases[] = {
        {{cat, tree, jet}, {jet, cat, tree}, {"no differences: the same 3 objects\n"}, 0},
        {{cat, tree, jet},
         {tree, jet},
         {"\n- record 0: Cat at lat 44.96", "0 added, 1 removed, 0 changed, 2 unchanged\n"},
         1},
        {{cat}, {up}, {"~ record 0 -> 0: Cat moved 10.00 m toward 0.0° (N), 2.00 m up\n"}, 1},
        {{Placed(0, INT32_MAX - 10, kCat)},
         {Placed(0, INT32_MIN + 10, kCat)},
         {"Cat moved 0.20 m toward 90.0° (E)\n"},
         1},
        {{Placed(0, 0, kCat, -1820)},
         {Placed(0, 0, kCat, 1820)},
         {"Cat turned heading 350.0° to 10.0° (+20.0°)\n"},
         1},
        {{Placed(0, 0, kCat, 0, 65536, 1000)},
         {Placed(0, 0, kCat, 0, EncodeScale(150), 2000)},
         {"Cat rescaled 100 % to 150 %; re-ranged 1000 m to 2000 m\n", "(1 rescaled, 1 re-ranged)"},
         1},
        {{cat}, {Placed(5000000, 700000, kTree)}, {"~ record 0 -> 0: Cat changed to Tree  1\n"}, 1},
        {{cat},
         {Placed(5000005, 700000, kTree)},
         {"- record 0: Cat", "+ record 0: Tree  1", "1 added, 1 removed"},
         1},
        {{cat, tree},
         {tree, Placed(5000003, 700000, kCat)},
         {"~ record 0 -> 1: Cat moved 3.00 m", "1 unchanged"},
         1},
        {{cat, Placed(5000050, 700000, kCat)},  // nearest first, not in file order
         {Placed(5000049, 700000, kCat), Placed(5000001, 700000, kCat)},
         {"~ record 0 -> 1: Cat moved 1.00 m", "~ record 1 -> 0: Cat moved 1.00 m"},
         1},
    };
    for (const auto& c : cases) {
        toolstest::CliResult result = RunCli({"diff", Saved(c.a, "a.tsc"), Saved(c.b, "b.tsc")});
        EXPECT_EQ(result.exit, c.exit) << result.out << result.err;
        for (const std::string& line : c.lines) {
            EXPECT_NE(result.out.find(line), std::string::npos) << line << "\n" << result.out;
        }
    }
    nlohmann::json json =
        nlohmann::json::parse(RunCli({"diff", PathOf("a.tsc"), PathOf("b.tsc"), "--json"}).out);
    EXPECT_EQ(json["summary"]["moved"], 2);
    EXPECT_EQ(json["changes"][0]["a"]["raw"]["heading"], 0);
    EXPECT_EQ(json["equal"], false);

    // Standard input for one side; unreadable or malformed files exit with 2.
    std::vector<uint8_t> bytes = testsupport::ReadBytes(PathOf("a.tsc"));
    EXPECT_EQ(RunCli({"diff", "-", PathOf("a.tsc")}, std::string(bytes.begin(), bytes.end())).exit, 0);
    const std::pair<std::vector<std::string>, std::string> errors[] = {
        {{"diff", PathOf("none.tsc"), PathOf("a.tsc")},
         "tavu diff: " + PathOf("none.tsc") + ": no such file\n"},
        {{"diff", PathOf("a.tsc"), Written("bad.tsc", {1, 2, 3})}, ": not a sound scenery file (tavu check "},
    };
    for (const auto& [args, err] : errors) {
        toolstest::CliResult result = RunCli(args);
        EXPECT_EQ(result.exit, tavu::EXIT_USAGE);
        EXPECT_NE(result.err.find(err), std::string::npos) << result.err;
    }
}

}  // namespace
