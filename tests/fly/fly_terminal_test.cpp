// The real `tavu fly` in a pseudo-terminal, as a person at a terminal uses
// it: keys typed as bytes, the screen read back through a small terminal
// emulator, the exit code, the summary of what was saved and the terminal's
// mode afterwards.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/fly/fly_support.h"

namespace {

class TavuFly : public flytest::FolderTest {
  protected:
    ~TavuFly() override {
        if (pid > 0 && waitpid(pid, nullptr, WNOHANG) == 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        close(master);
    }
    // `tavu fly` on a new pseudo-terminal of this size.
    void Start(winsize size, const std::string& environment = "TERM=xterm-256color") {
        std::string command = environment + " exec " + tavu + " fly --sceneries " + folder + " --language en";
        pid = forkpty(&master, nullptr, nullptr, &size);
        if (pid == 0) {
            execl("/bin/sh", "sh", "-c", command.c_str(), nullptr);
            _exit(127);
        }
    }
    // Types these bytes, then reads until the screen shows `text`.
    bool Type(std::string_view bytes, std::string_view text) {
        return write(master, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()) &&
               ReadUntil(text);
    }
    // Reads what the program writes until the screen shows `text`, or for ""
    // until the program closes the terminal; false after half a minute at
    // the least (sanitizer builds on a loaded machine are slow).
    bool ReadUntil(std::string_view text) {
        for (int polls = 0; polls < 600 && (text.empty() || !vt.Shows(text)); ++polls) {
            struct pollfd fd = {master, POLLIN, 0};
            char buffer[8192];
            ssize_t n = poll(&fd, 1, 100) > 0 ? read(master, buffer, sizeof buffer) : 0;
            if (n < 0) {
                return text.empty();
            }
            output.append(buffer, static_cast<size_t>(n));
            vt.Feed(std::string_view(buffer, static_cast<size_t>(n)));
        }
        return !text.empty() && vt.Shows(text);
    }
    // The exit code, or -1 when killed or still running.
    int Finish() {
        int status = -1;
        EXPECT_TRUE(ReadUntil("")) << "the program closes the terminal";
        for (int i = 0; i < 100 && waitpid(pid, &status, WNOHANG) == 0; ++i) {
            usleep(50000);
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::string tavu = std::string(TAVU_BINARY_DIR) + "/tavu";
    int master = -1;
    pid_t pid = -1;
    flytest::VtScreen vt{140, 45};
    std::string output;
};

// Keys decoded from the terminal's bytes (arrows, Tab, Enter, a lone Esc),
// the layout following a resize, and a termination signal that still saves
// and gives the terminal back.
TEST_F(TavuFly, APersonAddsAnObjectTheTerminalResizesAndASignalStillSaves) {
    Start({24, 80, 0, 0});
    ASSERT_TRUE(ReadUntil("q quit")) << "the last row of the first screen\n" << vt.Text();
    EXPECT_TRUE(vt.Shows("editor running")) << vt.Text();
    EXPECT_TRUE(vt.Line(0).rfind("fps") >= 70 && vt.Line(0).rfind("fps") < 80) << vt.Text();
    EXPECT_NE(vt.Line(23).find("q quit"), std::string::npos) << vt.Text();
    ASSERT_TRUE(Type("i", "ADDING A NEW OBJECT")) << vt.Text();
    ASSERT_TRUE(Type("\x1b[B\x1b[B\x1b[B\x1b[B\x1b[B\t\x1b[B\x1b[B", "Object: [Cat ")) << vt.Text();
    ASSERT_TRUE(Type("\r", "Selected #0 of 1: Cat (Animals)")) << vt.Text();
    EXPECT_TRUE(vt.Shows("[a]")) << "the object and the marker on the map\n" << vt.Text();
    ASSERT_TRUE(Type("i", "ADDING A NEW OBJECT")) << vt.Text();
    ASSERT_TRUE(Type("\x1b", "dialog ended: Cancel")) << "a lone Esc is Escape\n" << vt.Text();
    winsize wider{30, 120, 0, 0};
    ioctl(master, TIOCSWINSZ, &wider);
    ASSERT_TRUE(ReadUntil("+ - zoom")) << "the wider help line\n" << vt.Text();
    EXPECT_GE(vt.Line(0).rfind("fps"), 110u) << vt.Text();
    EXPECT_NE(vt.Line(29).find("q quit"), std::string::npos) << vt.Text();

    kill(pid, SIGTERM);
    EXPECT_EQ(Finish(), 128 + SIGTERM)
        << output.substr(output.size() - std::min<size_t>(output.size(), 2000));
    size_t summary = output.find("tavu fly: editor stopped; saved 1 scenery file in " + folder +
                                 ": scenery-001.tsc (1 object)");
    ASSERT_NE(summary, std::string::npos)
        << output.substr(output.size() - std::min<size_t>(output.size(), 500));
    EXPECT_LT(output.rfind("\x1b[?1049l"), summary) << "the alternate screen is left before the summary";
    EXPECT_NE(output.rfind("\x1b[?25h"), std::string::npos) << "the cursor is shown again";
    struct termios mode {};
    tcgetattr(master, &mode);
    EXPECT_EQ(mode.c_lflag & (ICANON | ECHO | ISIG), ICANON | ECHO | ISIG)
        << "the terminal's mode is given back";
}

TEST_F(TavuFly, WithoutATerminalItRefusesWithUsageExit) {
    int status =
        system((tavu + " fly --sceneries " + folder + " </dev/null >/dev/null 2>" + root + "/err").c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 2);
    std::string err = flytest::ReadFileText(root + "/err");
    EXPECT_NE(err.find("tavu fly: standard input is not a terminal"), std::string::npos) << err;
    EXPECT_FALSE(std::filesystem::exists(folder)) << "nothing was started";
}

// NO_COLOR drops the colours and keeps the rest; a dumb terminal cannot
// place the cursor, and fly says so instead of drawing garbage.
TEST_F(TavuFly, HonoursNoColourAndADumbTerminal) {
    Start({24, 80, 0, 0}, "TERM=xterm-256color NO_COLOR=1");
    ASSERT_TRUE(ReadUntil("q quit")) << vt.Text();
    EXPECT_EQ(output.find(";38;2;"), std::string::npos);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    close(master);
    output.clear();
    Start({24, 80, 0, 0}, "TERM=dumb");
    EXPECT_EQ(Finish(), 2);
    EXPECT_NE(output.find("tavu fly: TERM=dumb: "), std::string::npos) << output;
}

}  // namespace
