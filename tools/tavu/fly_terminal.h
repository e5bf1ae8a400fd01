// The terminal as a FlyConsole: raw mode through termios, the alternate
// screen with the cursor hidden, keys read without blocking the frame loop,
// and the size from TIOCGWINSZ, followed on SIGWINCH.
//
// The terminal is given back on every way out: Restore or the destructor,
// process exit, a termination signal (which also ends the session as the
// input ending would, so that the editor still saves), and a crash signal
// (after which the signal takes its course).
#pragma once

#include <memory>
#include <string>

#include "tools/tavu/fly_session.h"

namespace tavu::fly {

class TerminalConsole : public FlyConsole {
  public:
    // Takes over the terminal on these descriptors; nullptr with *error set
    // when they are not a terminal or cannot be set up. Only one at a time.
    static std::unique_ptr<TerminalConsole> Open(int inFd, int outFd, std::string* error);
    ~TerminalConsole() override;

    std::optional<Key> ReadKey(int timeoutMs) override;
    void Show(const Screen& screen) override;
    ScreenSize Size() override;
    int64_t NowMs() override;
    void Repaint() override { painted_ = false; }

    // Gives the terminal back as it was; later calls do nothing.
    void Restore();
    // The termination signal (SIGINT, SIGTERM, SIGHUP, SIGQUIT) that closed
    // the console, or 0.
    int TerminationSignal() const;

  private:
    TerminalConsole(int inFd, int outFd) : inFd_(inFd), outFd_(outFd) {}

    int inFd_;
    int outFd_;
    KeyDecoder decoder_;
    Screen last_;
    bool painted_ = false;
    bool closed_ = false;
    bool restored_ = false;
};

}  // namespace tavu::fly
