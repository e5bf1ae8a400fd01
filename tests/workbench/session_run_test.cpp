// Running sessions: what the transcript tells, how a failed line stops the
// script, the configuration rules, and `tavu run` as a user calls it.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/workbench/workbench_support.h"

namespace {

namespace fs = std::filesystem;
using workbench::kOneElephant;
using workbench::SessionRun;

class Sessions : public workbench::SessionTest {};

TEST_F(Sessions, TheTranscriptShowsBoxesDialogsObjectsMarkerAndSaves) {
    SessionRun run = RunText(
        "aircraft lat 46 lon 8 heading 0\nstart\nkey Ctrl+Up\n"
        "dialog group \"Animals\" object \"Elephant 1\" ok\nkey Ctrl+Insert\n"
        "dialog scale 150 distance 2500 help ok\nkey Ctrl+Enter\nframes 3\n"
        // The marker stands where the last frame drew it; cycling moves the
        // selection without a frame.
        "slew right 100\ndialog group \"Animals\" object \"Cat\" ok\nkey Ctrl+Insert\nframes 1\n"
        "expect marker on-selection\nkey Ctrl+Shift+Right\nexpect marker off-selection\nframes 1\n"
        "expect marker on-selection\nkey Ctrl+Up\nnote \"A # in \\\"quotes\\\"\" stays  # a comment\n");
    ASSERT_TRUE(run.result.ok()) << run.Error() << run.transcript;
    const std::string saved = "      saved " + PathOf("scenery-001.tsc") + " (200 bytes, 2 objects)\n";
    const std::string shown[] = {
        "   3  key Ctrl+Up\n      box \"Orvanta Editor - Warning\" (text 8; OK)\n"
        "          To carry out this action, a selected scenery and a selected object are required.\n      "
        "passed",
        "dialog 102 \"Orvanta: Object Properties\": ADDING A NEW OBJECT\n",
        "user: object \"Elephant 1\" -> object \"Elephant 1\", scale \"220\", distance \"1800\", "
        "preview QIRO\\TAVU\\BMP\\Elephant_1.BMP",
        "scenery scenery-001.tsc (no file yet), 1 object\n      selected #0 of 1: Elephant 1 (Animals)\n"
        "      #0 at lat 46.000450 lon 8.000000 alt 0.00 m, 50.0 m from the aircraft; "
        "heading 0.0 pitch 0.0 bank 0.0; scale 220%\n",
        "dialog 102 \"Orvanta: Object Properties\": OBJECT PROPERTIES\n"
        "        shows group \"Animals\", object \"Elephant 1\", scale \"220\", distance \"1800\"",
        "user: help -> help QIRO\\TAVU\\TAVU.CHM /DlgObjProp.htm",
        "   8  frames 3\n      #0 at lat 46.000450",
        saved + "  15  expect marker off-selection  [ok]\n",
        "\n# A # in \"quotes\" stays\n",
        "end of script: stopping the editor so that everything is saved\n      editor stopped\n"};
    for (const std::string& text : shown) {
        EXPECT_NE(run.transcript.find(text), std::string::npos) << text << "\nnot in:\n" << run.transcript;
    }
}

TEST_F(Sessions, AFailedLineStopsTheScriptButTheEditorStillSaves) {
    SessionRun run = RunText(kOneElephant + "expect objects 3\nframes 1\n");
    EXPECT_EQ(run.transcript.find("   6  frames 1"), std::string::npos) << "nothing runs after the error";
    EXPECT_TRUE(fs::exists(PathOf("scenery-001.tsc"))) << "the editor is still stopped and saves";
    // A lenient run notes each deviation at its line and goes on.
    fs::remove_all(folder);
    sim::SessionOptions options = Options();
    options.strict = false;
    run = RunText(kOneElephant + "expect objects 3\nkey Ctrl+Enter\nanswer yes\nexpect objects 1\n", options);
    EXPECT_TRUE(run.result.ok()) << run.Error();
    ASSERT_EQ(run.result.deviations.size(), 3u);
    EXPECT_EQ(run.result.deviations[0].line, 5);
    EXPECT_EQ(run.result.deviations[2].line, 7);
}

TEST_F(Sessions, TheCommandLineWinsOverTheScriptsFolderAndLanguage) {
    const std::string script = "sceneries " + root + "/scripted\nlanguage de\nstart\nkey Ctrl+Up\n";
    sim::SessionOptions options = Options();
    options.language = platform::LANGUAGE_ITALIAN;
    SessionRun run = RunText(script, options);
    EXPECT_EQ(run.result.sceneryFolder, folder);
    EXPECT_FALSE(fs::exists(root + "/scripted"));
    ASSERT_EQ(run.result.boxes.size(), 1u) << run.Error();
    EXPECT_EQ(run.result.boxes[0].title, "Orvanta Editor - AVVISO");
    // Without the options the script's apply; its folder is made.
    options.sceneryFolder.reset(), options.language.reset();
    run = RunText(script, options);
    EXPECT_TRUE(fs::is_directory(root + "/scripted"));
    EXPECT_NE(run.transcript.find("(new folder)"), std::string::npos) << run.transcript;
    ASSERT_EQ(run.result.boxes.size(), 1u) << run.Error();
    EXPECT_EQ(run.result.boxes[0].title, "Orvanta Editor - Achtung");
    // One that cannot be made stops the script at the first line needing it.
    std::ofstream(root + "/file") << "x";
    options.sceneryFolder = root + "/file/below";
    run = RunText("note \"first\"\nstart\n", options);
    EXPECT_EQ(run.Error().rfind("s.session:2: cannot create the scenery folder " + root + "/file/below", 0),
              0u);
}

// The module stays loaded in this process from one session to the next, as
// it would not in a real host; a session without the player must still find
// no player rather than the last one's. Run apart, so that a stale pointer
// cannot take the other tests down with it.
TEST_F(Sessions, ASessionWithoutThePlayerAfterOneWithItCannotStart) {
    EXPECT_EXIT(
        {
            RunText(kOneElephant);
            SessionRun run = RunText("player absent\nstart\nexpect box init-failed\nexpect running no\n");
            fprintf(stderr, "%s\n", run.Error().c_str());
            exit(run.result.ok() ? 0 : 1);
        },
        testing::ExitedWithCode(0), "^\n$");
}

struct Outcome {
    int exitCode = -1;
    std::string out, err;
};

Outcome Tavu(const std::string& arguments, const std::string& errPath) {
    Outcome outcome;
    FILE* pipe = popen((std::string(TAVU_BINARY_DIR) + "/tavu " + arguments + " 2>" + errPath).c_str(), "r");
    char buffer[4096];
    for (size_t n; pipe != nullptr && (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        outcome.out.append(buffer, n);
    }
    const int status = pipe != nullptr ? pclose(pipe) : -1;
    outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    outcome.err = workbench::ReadText(errPath);
    return outcome;
}

// `tavu run`: the transcript on standard output, "tavu run: SCRIPT:LINE: message" on
// standard error; exit 0 when the session passes, 1 on a script error, 2 on
// a usage error.
TEST_F(Sessions, TavuRunExitCodesAndErrors) {
    const std::string script = root + "/s.session", run = "run " + script + " --sceneries " + folder;
    const std::string err = root + "/err.txt";
    std::ofstream(script) << "start\nframes 10\nkye Ctrl+Up\n";
    Outcome outcome = Tavu(run, err);
    EXPECT_EQ(outcome.exitCode, 1);
    EXPECT_EQ(outcome.err, "tavu run: " + script + ":3: unknown statement \"kye\"\n");
    EXPECT_FALSE(fs::exists(folder)) << "nothing ran";
    std::ofstream(script) << "start\nexpect objects 2\n";
    outcome = Tavu(run, err);
    EXPECT_EQ(outcome.exitCode, 1);
    EXPECT_EQ(outcome.err,
              "tavu run: " + script + ":2: expect objects 2: no scenery is current (0 objects)\n");
    std::ofstream(script) << "language en\n" << kOneElephant << "expect objects 1\n";
    outcome = Tavu(run, err);
    EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
    EXPECT_EQ(outcome.err, "");
    EXPECT_NE(outcome.out.find("selected #0 of 1: Elephant 1 (Animals)"), std::string::npos) << outcome.out;
    EXPECT_TRUE(fs::exists(PathOf("scenery-001.tsc")));
    {
        // A folder in the way of the save's temporary file, which stops root
        // too: the old file stays, the end names the file and why, exit 3.
        const std::vector<uint8_t> saved = workbench::ReadBytes(PathOf("scenery-001.tsc"));
        fs::create_directories(PathOf("scenery-001.tsc.saving/x"));
        std::ofstream(script) << "language en\n" << kOneElephant;
        outcome = Tavu(run, err);
        const std::string failed = "1 save failed: scenery-001.tsc: " + std::string(strerror(EEXIST)) + "\n";
        EXPECT_EQ(outcome.exitCode, 3);
        EXPECT_EQ(outcome.err, "tavu run: " + failed);
        EXPECT_TRUE(outcome.out.ends_with("saves\n" + failed)) << outcome.out;
        EXPECT_EQ(workbench::ReadBytes(PathOf("scenery-001.tsc")), saved);
    }
    {
        // Another session holds the folder: refused before anything runs.
        const int held = open(PathOf(sim::kSceneryLockName).c_str(), O_RDWR | O_TRUNC);
        ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
        ASSERT_GT(dprintf(held, "%d\n", getpid()), 0);
        outcome = Tavu(run, err);
        close(held);
        EXPECT_EQ(outcome.exitCode, 2);
        EXPECT_EQ(outcome.err, "tavu run: " + folder + " is in use by another session (pid " +
                                   std::to_string(getpid()) + ")\n");
    }
    for (const std::string& usage :
         {run + " --language fr", "run " + root + "/none.session", run.substr(0, 3)}) {
        EXPECT_EQ(Tavu(usage, err).exitCode, 2) << usage;
    }
    // A script on standard input, a language in any case. The temporary
    // folder goes when no scenery file is left in it, and is named when kept.
    for (const std::string& text : {std::string("start\nstop\n"), kOneElephant}) {
        std::ofstream(script) << text;
        outcome = Tavu("run - --language IT < " + script, err);
        EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
        EXPECT_NE(outcome.out.find("language Italian"), std::string::npos) << outcome.out;
        const size_t at = outcome.out.find("/tmp/tavu-session-");
        const std::string made = outcome.out.substr(at, outcome.out.find_first_of(" \n", at) - at);
        const bool kept = text == kOneElephant;
        EXPECT_NE(outcome.out.find(kept ? "sceneries kept in " + made + "\n" : made + " is removed\n"),
                  std::string::npos);
        EXPECT_EQ(fs::exists(made + "/scenery-001.tsc"), kept) << made;
        fs::remove_all(made);
    }
    // What cannot be a script is refused unread.
    fs::resize_file(script, (1 << 20) + 1);
    const std::pair<std::string, std::string> refused[] = {
        {root, "not a regular file (a directory)"},
        {"/dev/zero", "not a regular file (a device)"},
        {script, "file is 1048577 bytes, larger than the limit of 1048576 bytes"},
        {"- < " + script, "standard input holds more than the limit of 1048576 bytes"}};
    for (const auto& [path, why] : refused) {
        outcome = Tavu("run " + path + " --sceneries " + folder, err);
        EXPECT_EQ(outcome.exitCode, 2) << path;
        EXPECT_EQ(outcome.err, "tavu run: " + path.substr(0, path.find(' ')) + ": " + why + "\n");
    }
}

// A scenery file the player cannot delete (a folder in its place stops root
// too) is named at the end of the session.
TEST_F(Sessions, AFailedDeleteIsNamedAtTheEnd) {
    sim::SessionOptions options = Options();
    options.afterStatement = [this](sim::Simulator&, const sim::Statement& statement) {
        if (statement.kind == sim::Statement::Kind::Answer) {
            fs::remove(PathOf("scenery-001.tsc"));
            fs::create_directories(PathOf("scenery-001.tsc/x"));
        }
    };
    SessionRun run = RunText(kOneElephant + "stop\nstart\nanswer yes\nkey Ctrl+Delete\n", options);
    const std::string failed = "1 delete failed: scenery-001.tsc: " + std::string(strerror(EISDIR));
    EXPECT_EQ(run.result.failedWrites, std::vector<std::string>{failed}) << run.transcript;
    EXPECT_TRUE(run.transcript.ends_with("\n" + failed + "\n")) << run.transcript;
}

// Ctrl-C in a long run: what was printed reaches the pipe, the editor stops
// (and so saves), and the exit status tells the shell it was SIGINT.
TEST_F(Sessions, TavuRunStopsAndSavesOnInterrupt) {
    const std::string script = root + "/long.session", tavu = std::string(TAVU_BINARY_DIR) + "/tavu";
    std::ofstream(script) << kOneElephant << "frames 10000000\n";
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t child = fork();
    if (child == 0) {
        dup2(fds[1], STDOUT_FILENO);
        execl(tavu.c_str(), "tavu", "run", script.c_str(), "--sceneries", folder.c_str(), nullptr);
        _exit(127);
    }
    close(fds[1]);
    std::string out;
    char buffer[4096];
    for (struct pollfd in = {fds[0], POLLIN, 0}; poll(&in, 1, 60000) > 0;) {
        const ssize_t n = read(fds[0], buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        const bool first = out.find("frames 10000000") == std::string::npos;
        out.append(buffer, static_cast<size_t>(n));
        if (first && out.find("frames 10000000") != std::string::npos) {
            kill(child, SIGINT);
        }
    }
    close(fds[0]);
    kill(child, SIGKILL);  // a hung run ends the test, not the suite
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 130) << out;
    EXPECT_NE(out.find("interrupted: stopping the editor so that everything is saved\n      saved "),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("scenery-001.tsc (124 bytes, 1 object)\nsession interrupted by SIGINT after line 5\n"),
              std::string::npos)
        << out;
}

}  // namespace
