#include "tools/tavu/fly_terminal.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

namespace tavu::fly {

namespace {

// Alternate screen, cursor hidden, no autowrap (a write to the last column
// of the last row must not scroll the screen).
constexpr char kEnterSequence[] = "\x1b[?1049h\x1b[?25l\x1b[?7l\x1b[H\x1b[2J";
constexpr char kLeaveSequence[] = "\x1b[0m\x1b[?7h\x1b[?25h\x1b[?1049l";
// How long an ESC may wait for the rest of its sequence before it counts as
// the Escape key.
constexpr int kEscapeWaitMs = 30;

constexpr int kTerminationSignals[] = {SIGTERM, SIGHUP, SIGINT, SIGQUIT};
constexpr int kCrashSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};

// What the signal handlers need: plain data, written before any handler is
// installed.
struct SavedTerminal {
    volatile sig_atomic_t active = 0;
    volatile sig_atomic_t termination = 0;  // the first signal that asked to end
    int inFd = -1;
    int outFd = -1;
    struct termios mode {};
    int wakeRead = -1;
    int wakeWrite = -1;
    struct sigaction previous[NSIG] {};
};
SavedTerminal saved;

void WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
}

// Async-signal-safe: tcsetattr and write only.
void RestoreSaved() {
    if (!saved.active) {
        return;
    }
    saved.active = 0;
    WriteAll(saved.outFd, kLeaveSequence, sizeof kLeaveSequence - 1);
    tcsetattr(saved.inFd, TCSAFLUSH, &saved.mode);
}

void OnWake(int signal) {
    int keep = errno;
    char byte = signal == SIGWINCH ? 'w' : 'q';
    if (byte == 'q' && saved.termination == 0) {
        saved.termination = signal;
    }
    if (saved.wakeWrite >= 0) {
        [[maybe_unused]] ssize_t ignored = write(saved.wakeWrite, &byte, 1);
    }
    errno = keep;
}

void OnCrash(int signal) {
    RestoreSaved();
    // Whatever handled the signal before (the sanitizers' reports, or the
    // default action) takes over.
    sigaction(signal, &saved.previous[signal], nullptr);
    raise(signal);
}

void AtExit() {
    RestoreSaved();
}

void Install(int signal, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = signal == SIGWINCH ? SA_RESTART : 0;
    sigaction(signal, &action, &saved.previous[signal]);
}

void Uninstall(int signal) {
    sigaction(signal, &saved.previous[signal], nullptr);
}

}  // namespace

std::unique_ptr<TerminalConsole> TerminalConsole::Open(int inFd, int outFd, std::string* error) {
    if (!isatty(inFd)) {
        *error = "standard input is not a terminal";
        return nullptr;
    }
    if (const char* term = getenv("TERM"); term != nullptr && strcmp(term, "dumb") == 0) {
        *error = "TERM=dumb: this terminal cannot place the cursor to draw the map";
        return nullptr;
    }
    if (!isatty(outFd)) {
        *error = "standard output is not a terminal";
        return nullptr;
    }
    if (saved.active) {
        *error = "the terminal is already taken";
        return nullptr;
    }
    struct termios mode {};
    if (tcgetattr(inFd, &mode) != 0) {
        *error = std::string("cannot read the terminal's mode: ") + strerror(errno);
        return nullptr;
    }
    int pipeFds[2];
    if (pipe(pipeFds) != 0) {
        *error = std::string("cannot make a pipe: ") + strerror(errno);
        return nullptr;
    }
    for (int fd : pipeFds) {
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    saved.inFd = inFd;
    saved.outFd = outFd;
    saved.mode = mode;
    saved.wakeRead = pipeFds[0];
    saved.wakeWrite = pipeFds[1];

    struct termios raw = mode;
    raw.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON);
    raw.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    raw.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    raw.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB);
    raw.c_cflag |= CS8;
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    if (tcsetattr(inFd, TCSAFLUSH, &raw) != 0) {
        *error = std::string("cannot set the terminal's mode: ") + strerror(errno);
        close(pipeFds[0]);
        close(pipeFds[1]);
        return nullptr;
    }
    saved.active = 1;
    static bool atExitRegistered = false;
    if (!atExitRegistered) {
        atexit(AtExit);
        atExitRegistered = true;
    }
    for (int signal : kTerminationSignals) {
        Install(signal, OnWake);
    }
    Install(SIGWINCH, OnWake);
    for (int signal : kCrashSignals) {
        Install(signal, OnCrash);
    }
    WriteAll(outFd, kEnterSequence, sizeof kEnterSequence - 1);
    return std::unique_ptr<TerminalConsole>(new TerminalConsole(inFd, outFd));
}

TerminalConsole::~TerminalConsole() {
    Restore();
}

void TerminalConsole::Restore() {
    if (restored_) {
        return;
    }
    restored_ = true;
    RestoreSaved();
    for (int signal : kTerminationSignals) {
        Uninstall(signal);
    }
    Uninstall(SIGWINCH);
    for (int signal : kCrashSignals) {
        Uninstall(signal);
    }
    close(saved.wakeRead);
    close(saved.wakeWrite);
    saved.wakeRead = saved.wakeWrite = -1;
}

int TerminalConsole::TerminationSignal() const {
    return saved.termination;
}

std::optional<Key> TerminalConsole::ReadKey(int timeoutMs) {
    if (closed_) {
        return Key::Of(KeyId::Closed);
    }
    int64_t deadline = timeoutMs < 0 ? -1 : NowMs() + timeoutMs;
    while (true) {
        if (std::optional<Key> key = decoder_.Next()) {
            return key;
        }
        int remaining = -1;
        if (deadline >= 0) {
            remaining = static_cast<int>(std::max<int64_t>(deadline - NowMs(), 0));
        }
        int wait = remaining;
        if (decoder_.Pending()) {
            wait = wait < 0 ? kEscapeWaitMs : std::min(wait, kEscapeWaitMs);
        }
        struct pollfd fds[2] = {{inFd_, POLLIN, 0}, {saved.wakeRead, POLLIN, 0}};
        int ready = poll(fds, 2, wait);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            closed_ = true;
            return Key::Of(KeyId::Closed);
        }
        if (ready == 0) {
            if (decoder_.Pending()) {
                if (std::optional<Key> key = decoder_.Flush()) {
                    return key;
                }
                continue;
            }
            return std::nullopt;
        }
        if (fds[1].revents & POLLIN) {
            char bytes[16];
            ssize_t n = read(saved.wakeRead, bytes, sizeof bytes);
            bool stop = false;
            for (ssize_t i = 0; i < n; ++i) {
                stop = stop || bytes[i] == 'q';
            }
            if (stop) {
                closed_ = true;
                return Key::Of(KeyId::Closed);
            }
            if (n > 0) {
                painted_ = false;
                return Key::Of(KeyId::Resize);
            }
        }
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            char bytes[256];
            ssize_t n = read(inFd_, bytes, sizeof bytes);
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
                continue;
            }
            if (n <= 0) {
                closed_ = true;
                return Key::Of(KeyId::Closed);
            }
            decoder_.Feed(std::string_view(bytes, static_cast<size_t>(n)));
        }
    }
}

void TerminalConsole::Show(const Screen& screen) {
    if (restored_) {
        return;
    }
    // https://no-color.org: a set, non-empty NO_COLOR turns colours off.
    const char* noColour = getenv("NO_COLOR");
    std::string out =
        RenderAnsi(screen, painted_ ? &last_ : nullptr, noColour == nullptr || *noColour == '\0');
    WriteAll(outFd_, out.data(), out.size());
    last_ = screen;
    painted_ = true;
}

ScreenSize TerminalConsole::Size() {
    struct winsize size {};
    if (ioctl(outFd_, TIOCGWINSZ, &size) != 0 || size.ws_col == 0 || size.ws_row == 0) {
        return ScreenSize{};
    }
    return ScreenSize{size.ws_col, size.ws_row};
}

int64_t TerminalConsole::NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace tavu::fly
