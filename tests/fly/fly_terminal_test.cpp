// The real `tavu fly` in a pseudo-terminal, as a person at a terminal uses
// it: keys typed as bytes, the screen read back through a small terminal
// emulator, the exit code, the summary, the saved file and the terminal's
// mode afterwards.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "sim/scenery_file.h"
#include "tests/fly/fly_support.h"

namespace {

namespace fs = std::filesystem;
using flytest::FolderTest;
using flytest::VtScreen;

constexpr int kTimeoutMs = 30000;  // sanitizer builds on a loaded machine are slow
const char kDown[] = "\x1b[B";

class Pty {
  public:
    Pty(const std::vector<std::string>& arguments, int width, int height) : vt_(140, 45) {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
            ADD_FAILURE() << "no pseudo-terminal: " << strerror(errno);
            return;
        }
        std::string slaveName = ptsname(master_);
        struct winsize size {};
        size.ws_col = static_cast<unsigned short>(width);
        size.ws_row = static_cast<unsigned short>(height);
        ioctl(master_, TIOCSWINSZ, &size);
        std::string binary = std::string(TAVU_BINARY_DIR) + "/tavu";
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(binary.c_str()));
        for (const std::string& argument : arguments) {
            argv.push_back(const_cast<char*>(argument.c_str()));
        }
        argv.push_back(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            setsid();
            int slave = open(slaveName.c_str(), O_RDWR);
            ioctl(slave, TIOCSCTTY, 0);
            dup2(slave, 0);
            dup2(slave, 1);
            dup2(slave, 2);
            if (slave > 2) {
                close(slave);
            }
            close(master_);
            setenv("TERM", "xterm-256color", 1);
            execv(argv[0], argv.data());
            _exit(127);
        }
    }
    ~Pty() {
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (master_ >= 0) {
            close(master_);
        }
    }

    void Send(std::string_view bytes) {
        ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    // Reads what the program writes until the screen shows `text`.
    bool WaitFor(std::string_view text) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kTimeoutMs);
        while (!vt_.Shows(text)) {
            if (std::chrono::steady_clock::now() > deadline || !ReadSome(100)) {
                return vt_.Shows(text);
            }
        }
        return true;
    }

    // Reads to the end and returns the exit code (-1: killed by a signal or
    // still running at the deadline).
    int Finish() {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kTimeoutMs);
        while (std::chrono::steady_clock::now() < deadline && ReadSome(100)) {
        }
        int status = 0;
        for (int i = 0; i < 100; ++i) {
            pid_t done = waitpid(pid_, &status, WNOHANG);
            if (done == pid_) {
                exited_ = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            usleep(50000);
        }
        return -1;
    }

    void Resize(int width, int height) {
        struct winsize size {};
        size.ws_col = static_cast<unsigned short>(width);
        size.ws_row = static_cast<unsigned short>(height);
        ioctl(master_, TIOCSWINSZ, &size);
    }

    struct termios Mode() const {
        struct termios mode {};
        tcgetattr(master_, &mode);
        return mode;
    }

    pid_t pid() const { return pid_; }
    const VtScreen& screen() const { return vt_; }
    const std::string& output() const { return output_; }

  private:
    // False once the program has closed the terminal.
    bool ReadSome(int waitMs) {
        struct pollfd fd = {master_, POLLIN, 0};
        int ready = poll(&fd, 1, waitMs);
        if (ready <= 0) {
            return ready == 0;
        }
        char buffer[8192];
        ssize_t n = read(master_, buffer, sizeof buffer);
        if (n <= 0) {
            return false;
        }
        output_.append(buffer, static_cast<size_t>(n));
        vt_.Feed(std::string_view(buffer, static_cast<size_t>(n)));
        return true;
    }

    int master_ = -1;
    pid_t pid_ = -1;
    bool exited_ = false;
    VtScreen vt_;
    std::string output_;
};

class TavuFly : public FolderTest {
  protected:
    std::vector<std::string> Arguments() { return {"fly", "--sceneries", folder, "--language", "en"}; }

    void AddCat(Pty& pty) {
        pty.Send("i");
        ASSERT_TRUE(pty.WaitFor("ADDING A NEW OBJECT")) << pty.screen().Text();
        for (int i = 0; i < 5; ++i) {
            pty.Send(kDown);
        }
        pty.Send("\t");
        pty.Send(kDown);
        pty.Send(kDown);
        ASSERT_TRUE(pty.WaitFor("Object: [Cat ")) << pty.screen().Text();
        pty.Send("\r");
        ASSERT_TRUE(pty.WaitFor("Selected #1 of 1: Cat (Animals)")) << pty.screen().Text();
    }

    size_t SavedObjects(const std::string& name) {
        std::optional<std::vector<uint8_t>> bytes = sim::ReadFileBytes(folder + "/" + name, 1 << 20, nullptr);
        if (!bytes) {
            ADD_FAILURE() << name << " was not saved";
            return 0;
        }
        sim::SceneryFile file = sim::ReadSceneryFile(*bytes);
        EXPECT_TRUE(file.ok());
        return file.records.size();
    }
};

TEST_F(TavuFly, APersonAddsAnObjectQuitsAndFindsItSaved) {
    struct termios before {};
    Pty pty(Arguments(), 80, 24);
    before = pty.Mode();
    ASSERT_TRUE(pty.WaitFor("no scenery")) << pty.screen().Text();
    EXPECT_TRUE(pty.screen().Shows("editor running")) << pty.screen().Text();
    AddCat(pty);
    EXPECT_TRUE(pty.screen().Shows("[a]")) << "the object and the marker on the map\n" << pty.screen().Text();
    // A lone Escape closes the dialog as Cancel.
    pty.Send("i");
    ASSERT_TRUE(pty.WaitFor("ADDING A NEW OBJECT")) << pty.screen().Text();
    pty.Send("\x1b");
    ASSERT_TRUE(pty.WaitFor("dialog ended: Cancel")) << pty.screen().Text();
    pty.Send("q");
    ASSERT_TRUE(pty.WaitFor("Quit tavu fly")) << pty.screen().Text();
    pty.Send("y");
    EXPECT_EQ(pty.Finish(), 0) << pty.output().substr(pty.output().size() > 2000 ? pty.output().size() - 2000
                                                                                 : 0);

    const std::string& out = pty.output();
    size_t leave = out.rfind("\x1b[?1049l");
    size_t summary = out.find("tavu fly: editor stopped; saved 1 scenery file");
    ASSERT_NE(summary, std::string::npos) << out.substr(out.size() > 500 ? out.size() - 500 : 0);
    EXPECT_NE(out.find("scenery-001.tsc (1 object)", summary), std::string::npos);
    ASSERT_NE(leave, std::string::npos) << "the alternate screen is left";
    EXPECT_LT(leave, summary) << "the summary goes to the normal screen";
    EXPECT_NE(out.rfind("\x1b[?25h"), std::string::npos) << "the cursor is shown again";
    EXPECT_EQ(SavedObjects("scenery-001.tsc"), 1u);
    struct termios after = pty.Mode();
    EXPECT_EQ(after.c_lflag & (ICANON | ECHO | ISIG), before.c_lflag & (ICANON | ECHO | ISIG))
        << "the terminal's mode is given back";
}

TEST_F(TavuFly, ATerminationSignalStillSavesAndRestoresTheTerminal) {
    Pty pty(Arguments(), 80, 24);
    struct termios before = pty.Mode();
    ASSERT_TRUE(pty.WaitFor("editor running")) << pty.screen().Text();
    AddCat(pty);
    kill(pty.pid(), SIGTERM);
    EXPECT_EQ(pty.Finish(), 0);
    EXPECT_NE(pty.output().find("saved 1 scenery file"), std::string::npos);
    EXPECT_EQ(SavedObjects("scenery-001.tsc"), 1u);
    EXPECT_EQ(pty.Mode().c_lflag & (ICANON | ECHO), before.c_lflag & (ICANON | ECHO));
}

TEST_F(TavuFly, TheScreenFollowsTheTerminalsSize) {
    Pty pty(Arguments(), 80, 24);
    ASSERT_TRUE(pty.WaitFor("q quit")) << "the last row of the first screen\n" << pty.screen().Text();
    size_t fps = pty.screen().Line(0).rfind("fps");
    ASSERT_NE(fps, std::string::npos) << pty.screen().Text();
    EXPECT_GE(fps, 70u);
    EXPECT_LT(fps, 80u);
    EXPECT_NE(pty.screen().Line(23).find("q quit"), std::string::npos) << pty.screen().Text();
    pty.Resize(120, 30);
    ASSERT_TRUE(pty.WaitFor("+ - zoom")) << "the wider help line\n" << pty.screen().Text();
    fps = pty.screen().Line(0).rfind("fps");
    EXPECT_GE(fps, 110u) << pty.screen().Text();
    EXPECT_NE(pty.screen().Line(29).find("q quit"), std::string::npos) << pty.screen().Text();
    pty.Send("\x03");  // Ctrl+C: leaves without asking
    EXPECT_EQ(pty.Finish(), 0);
    EXPECT_NE(pty.output().find("no scenery file changed"), std::string::npos);
}

TEST_F(TavuFly, WithoutATerminalItRefusesWithUsageExit) {
    std::string errPath = root + "/err.txt";
    std::string command = std::string(TAVU_BINARY_DIR) + "/tavu fly --sceneries " + folder + " </dev/null >" +
                          root + "/out.txt 2>" + errPath;
    int status = system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 2);
    std::string err = flytest::ReadFileText(errPath);
    EXPECT_NE(err.find("tavu fly: standard input is not a terminal"), std::string::npos) << err;
    EXPECT_FALSE(fs::exists(folder)) << "nothing was started";
}

}  // namespace
