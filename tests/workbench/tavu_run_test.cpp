// `tavu run` as a user calls it: exit codes, the transcript on standard
// output, "SCRIPT:LINE: message" on standard error, the scenery folder made
// on demand, and sessions that need a fresh process (no player module).
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/wait.h>

#include <fstream>
#include <string>

#include "tests/workbench/workbench_support.h"

namespace {

namespace fs = std::filesystem;
using workbench::SessionTest;

struct Outcome {
    int exitCode = -1;
    std::string out;
    std::string err;
};

class TavuRun : public SessionTest {
  protected:
    std::string Write(const std::string& name, const std::string& text) {
        std::string path = root + "/" + name;
        std::ofstream(path) << text;
        return path;
    }

    Outcome Tavu(const std::string& arguments) {
        std::string errPath = root + "/stderr.txt";
        std::string command = std::string(TAVU_BINARY_DIR) + "/tavu " + arguments + " 2>" + errPath;
        Outcome outcome;
        FILE* pipe = popen(command.c_str(), "r");
        if (pipe == nullptr) {
            return outcome;
        }
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) {
            outcome.out.append(buffer, n);
        }
        int status = pclose(pipe);
        outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        outcome.err = workbench::ReadText(errPath);
        return outcome;
    }
};

TEST_F(TavuRun, ASessionThatPassesExitsZeroAndLeavesItsFile) {
    std::string script =
        Write("ok.session",
              "language en\nstart\ndialog group \"Animals\" object \"Cat\" ok\nkey Ctrl+Insert\n"
              "expect objects 1\n");
    Outcome run = Tavu("run " + script + " --sceneries " + folder);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_NE(run.out.find("selected #0 of 1: Cat (Animals)"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("session complete"), std::string::npos) << run.out;
    EXPECT_TRUE(fs::exists(folder + "/scenery-001.tsc")) << "the folder is made and the file saved";
}

TEST_F(TavuRun, AScriptErrorExitsOneWithScriptAndLine) {
    std::string script = Write("bad.session", "start\nexpect objects 2\n");
    Outcome run = Tavu("run " + script + " --sceneries " + folder);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, script + ":2: expect objects 2: no scenery is current (0 objects)\n");
}

TEST_F(TavuRun, AParseErrorExitsOneBeforeAnythingRuns) {
    std::string script = Write("typo.session", "start\nframes 10\nkye Ctrl+Up\n");
    Outcome run = Tavu("run " + script + " --sceneries " + folder);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, script + ":3: unknown statement \"kye\"\n");
    EXPECT_EQ(run.out, "");
    EXPECT_FALSE(fs::exists(folder)) << "nothing ran";
}

TEST_F(TavuRun, UsageErrorsExitTwo) {
    std::string script = Write("ok.session", "start\n");
    EXPECT_EQ(Tavu("run").exitCode, 2);
    EXPECT_EQ(Tavu("run " + script + " --language fr").exitCode, 2);
    EXPECT_EQ(Tavu("run " + root + "/missing.session").exitCode, 2);
}

TEST_F(TavuRun, WithoutThePlayerTheEditorCannotStartInGerman) {
    std::string script =
        Write("no-player.session",
              "language de\nplayer absent\nstart\nexpect box init-failed\nexpect running no\n");
    Outcome run = Tavu("run " + script + " --sceneries " + folder);
    EXPECT_EQ(run.exitCode, 0) << run.err << run.out;
    EXPECT_NE(run.out.find("box \"Orvanta Editor - Fehler\" (text 7; OK)"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("          Der Editor wird jetzt beendet.\n"), std::string::npos) << run.out;
}

}  // namespace
