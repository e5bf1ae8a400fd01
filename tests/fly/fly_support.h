// Shared by the tavu fly tests: a small terminal emulator that reads back
// what escape sequences draw, a scripted console that plays keys and the
// passing of time into a FlySession, and a scenery folder per test.
#pragma once

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <fstream>
#include <iterator>

#include "tools/tavu/fly_screen.h"
#include "tools/tavu/fly_session.h"

namespace flytest {

namespace fs = std::filesystem;
using tavu::fly::Key;
using tavu::fly::KeyId;

// Enough of a VT100/xterm to read back what RenderAnsi and the terminal
// driver write: cursor addressing, clearing and text; colours are ignored.
class VtScreen {
  public:
    VtScreen(int width, int height) : cells_(width, height) {}

    void Feed(std::string_view bytes) {
        pending_.append(bytes);
        size_t at = 0;  // what is left is an incomplete sequence: it waits for more
        for (size_t used; at < pending_.size() && (used = Step(std::string_view(pending_).substr(at))) > 0;) {
            at += used;
        }
        pending_.erase(0, at);
    }
    std::string Line(int y) const { return cells_.Line(y); }
    std::string Text() const { return cells_.Text(); }
    bool Shows(std::string_view text) const { return Text().find(text) != std::string::npos; }

  private:
    // Consumes one character or sequence; 0 when it is incomplete.
    size_t Step(std::string_view rest) {
        auto c = static_cast<unsigned char>(rest[0]);
        if (c == 0x1b) {
            size_t end = 2;
            while (end < rest.size() && rest[end] >= 0x20 && rest[end] < 0x40) {
                ++end;
            }
            if (end >= rest.size()) {
                return 0;
            }
            if (rest[end] == 'H') {
                y_ = x_ = 1;
                sscanf(std::string(rest.substr(2, end - 2)).c_str(), "%d;%d", &y_, &x_);
                --y_, --x_;
            } else if (rest[end] == 'J') {
                cells_ = tavu::fly::Screen(cells_.width(), cells_.height());
            }
            return end + 1;
        }
        size_t length = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : 4;
        if (rest.size() < length) {
            return 0;
        }
        if (c >= 0x20) {
            cells_.Set(x_++, y_, tavu::fly::DecodeUtf8(rest.substr(0, length))[0], {});
        }
        return length;
    }

    tavu::fly::Screen cells_;
    int x_ = 0, y_ = 0;
    std::string pending_;
};

// Keys, waits and checks in the order a person would do them. Time passes
// only through waits; once the script has run out the input ends.
class ScriptConsole : public tavu::fly::FlyConsole {
  public:
    ScriptConsole& Press(Key key, int times = 1) { return Add(Step{key, 0, {}}, times); }
    ScriptConsole& Press(KeyId id, int times = 1) { return Press(Key::Of(id), times); }
    ScriptConsole& Type(std::string_view text) {
        for (char c : text) {
            Press(Key::Char(static_cast<unsigned char>(c)));
        }
        return *this;
    }
    ScriptConsole& Wait(int64_t ms) { return Add(Step{{}, ms, {}}); }
    // Runs when the session next reads a key: the screen it shows then is
    // what a person would be looking at.
    ScriptConsole& Check(std::function<void()> check) { return Add(Step{{}, 0, std::move(check)}); }
    // Checks that the screen shows each text (or, with shown false, none).
    ScriptConsole& Expect(std::vector<std::string> texts, bool shown = true) {
        return Check([this, texts, shown] {
            for (const std::string& text : texts) {
                EXPECT_EQ(Text().find(text) != std::string::npos, shown) << text << "\n" << Text();
            }
        });
    }

    std::optional<Key> ReadKey(int timeoutMs) override {
        while (!steps_.empty() && steps_.front().check) {
            std::function<void()> check = std::move(steps_.front().check);
            steps_.pop_front();
            check();
        }
        if (steps_.empty()) {
            return Key::Of(KeyId::Closed);
        }
        Key key = steps_.front().key;
        int64_t passed = timeoutMs < 0 ? steps_.front().ms : std::min<int64_t>(steps_.front().ms, timeoutMs);
        clock_ += passed;
        if ((steps_.front().ms -= passed) <= 0) {
            steps_.pop_front();
        }
        return key.id == KeyId::None ? std::nullopt : std::optional<Key>(key);
    }
    // Shown as a terminal would show it: drawn from the escape sequences of
    // what changed since the last screen.
    void Show(const tavu::fly::Screen& screen) override {
        vt_.Feed(tavu::fly::RenderAnsi(screen, &shown_));
        shown_ = screen;
        EXPECT_EQ(vt_.Text(), screen.Text()) << "the terminal would show something else";
    }
    tavu::fly::ScreenSize Size() override { return {80, 24}; }
    int64_t NowMs() override { return clock_; }

    const tavu::fly::Screen& Shown() const { return shown_; }
    std::string Text() const { return shown_.Text(); }
    bool Done() const { return steps_.empty(); }

  private:
    struct Step {
        Key key;  // KeyId::None: a wait or a check
        int64_t ms;
        std::function<void()> check;
    };
    ScriptConsole& Add(Step step, int times = 1) {
        steps_.insert(steps_.end(), static_cast<size_t>(times), step);
        return *this;
    }
    std::deque<Step> steps_;
    int64_t clock_ = 1000000;
    tavu::fly::Screen shown_;
    VtScreen vt_{80, 24};
};

inline std::string ReadFileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A fresh scenery folder per test, removed afterwards.
class FolderTest : public testing::Test {
  protected:
    ~FolderTest() override { fs::remove_all(root, ignored); }
    std::error_code ignored;
    std::string root = mkdtemp(std::string("/tmp/tavu-fly-test-XXXXXX").data());
    std::string folder = root + "/sceneries";
};

}  // namespace flytest
