// What every tavu command shares: help, version, errors that name the
// command and suggest what was meant, option values in any case, and "-"
// for standard input.
#include "tests/tools/tools_fixture.h"

namespace {

using toolstest::RunCli;

using Cli = toolstest::ToolsTest;

TEST_F(Cli, CommandsShareHelpVersionErrorsAndStandardInput) {
    const std::string none = PathOf("none.tsc");
    const struct {
        std::vector<std::string> args;
        int exit;
        std::string shown;  // the start of standard output, or else of standard error
    } cases[] = {
        {{}, 2, "tavu: no command given; tavu help lists the commands\n"},
        {{"chek"}, 2, "tavu: unknown command \"chek\"; did you mean \"check\"?\n"},
        {{"Check"}, 2, "tavu: unknown command \"Check\"; did you mean \"check\"?\n"},
        {{"--verison"}, 2, "tavu: unknown option \"--verison\"; did you mean \"--version\"?\n"},
        {{"dump", "--jsn", none}, 2, "tavu dump: unknown option \"--jsn\"; did you mean \"--json\"?\n"},
        {{"map", none, "--output=x.svg", "--lables"},
         2,
         "tavu map: unknown option \"--lables\"; did you mean \"--labels\"?"},
        {{"dump", none, "--zzz"}, 2, "tavu dump: unknown option \"--zzz\" (tavu help dump lists the"},
        {{"dump", none, none}, 2, "tavu dump: unexpected argument"},
        {{"check"}, 2, "tavu check: FILE is required\n"},
        {{"run", "--language", "fr", none}, 2, "tavu run: --language: fr not in {en,it,de}"},
        {{"run", "--language", "IT", none}, 2, "tavu run: " + none + ": cannot open"},
        {{"help", "dmp"}, 2, "tavu help: unknown command \"dmp\"; did you mean \"dump\"?\n"},
        {{"--version"}, 0, "tavu " TAVU_VERSION "\n"},
        {{"help"}, 0, "tavu - the TAVU scenery editor's workbench"},
        {{"help", "diff"}, 0, "Show which objects two scenery files add, remove or change\nUsage: tavu diff"},
    };
    for (const auto& c : cases) {
        toolstest::CliResult result = RunCli(c.args);
        EXPECT_EQ(result.exit, c.exit) << c.shown;
        EXPECT_EQ((c.exit == 0 ? result.out : result.err).substr(0, c.shown.size()), c.shown) << result.err;
    }

    // "-" is standard input for dump and check, within the same size limit.
    std::string path = Saved({toolstest::Placed(5000000, 700000, 0, -16384)});
    std::vector<uint8_t> bytes = testsupport::ReadBytes(path);
    const std::string file(bytes.begin(), bytes.end());
    EXPECT_NE(RunCli({"dump", "-"}, file).out.find("heading 270°"), std::string::npos);
    EXPECT_EQ(RunCli({"check", "-", path}, file).out.substr(0, 18), "-: ok (1 object)\n" + path.substr(0, 1));
    toolstest::CliResult empty = RunCli({"dump", "-"});
    EXPECT_EQ(empty.exit, tavu::EXIT_FAILURE_FOUND);
    EXPECT_NE(empty.err.find("tavu dump: -: "), std::string::npos) << empty.err;
}

}  // namespace
