// Shared by the tavu fly tests: a scripted console that plays keys and the
// passing of time into a FlySession, and a small terminal emulator that reads
// back what the escape sequences drew.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "tools/tavu/fly_screen.h"
#include "tools/tavu/fly_session.h"

namespace flytest {

namespace fs = std::filesystem;
using tavu::fly::Key;
using tavu::fly::KeyId;

// Keys, waits and checks in the order a person would do them. Time passes
// only through waits; once the script has run out the input ends.
class ScriptConsole : public tavu::fly::FlyConsole {
  public:
    ScriptConsole& Press(Key key, int times = 1) {
        for (int i = 0; i < times; ++i) {
            steps_.push_back(Step{Step::Kind::Key, key, 0, {}});
        }
        return *this;
    }
    ScriptConsole& Type(std::string_view text) {
        for (char c : text) {
            Press(Key::Char(static_cast<unsigned char>(c)));
        }
        return *this;
    }
    ScriptConsole& Wait(int64_t ms) {
        steps_.push_back(Step{Step::Kind::Wait, {}, ms, {}});
        return *this;
    }
    // Runs when the session next reads a key: the screen it shows then is
    // what a person would be looking at.
    ScriptConsole& Check(std::function<void()> check) {
        steps_.push_back(Step{Step::Kind::Check, {}, 0, std::move(check)});
        return *this;
    }

    std::optional<Key> ReadKey(int timeoutMs) override {
        while (!steps_.empty()) {
            Step& step = steps_.front();
            if (step.kind == Step::Kind::Check) {
                std::function<void()> check = std::move(step.check);
                steps_.pop_front();
                check();
                continue;
            }
            if (step.kind == Step::Kind::Key) {
                Key key = step.key;
                steps_.pop_front();
                return key;
            }
            int64_t passed = timeoutMs < 0 ? step.ms : std::min<int64_t>(step.ms, timeoutMs);
            clock_ += passed;
            step.ms -= passed;
            if (step.ms <= 0) {
                steps_.pop_front();
            }
            return std::nullopt;
        }
        return Key::Of(KeyId::Closed);
    }
    void Show(const tavu::fly::Screen& screen) override {
        shown_ = screen;
        ++shows_;
    }
    tavu::fly::ScreenSize Size() override { return size_; }
    int64_t NowMs() override { return clock_; }

    const tavu::fly::Screen& Shown() const { return shown_; }
    std::string Text() const { return shown_.Text(); }
    bool Shows(std::string_view text) const { return Text().find(text) != std::string::npos; }
    bool Done() const { return steps_.empty(); }
    void Resize(int width, int height) { size_ = {width, height}; }

  private:
    struct Step {
        enum class Kind { Key, Wait, Check };
        Kind kind;
        Key key;
        int64_t ms;
        std::function<void()> check;
    };
    std::deque<Step> steps_;
    int64_t clock_ = 1000000;
    tavu::fly::Screen shown_;
    int shows_ = 0;
    tavu::fly::ScreenSize size_{80, 24};
};

// Enough of a VT100/xterm to read back what RenderAnsi and the terminal
// driver write: cursor addressing, clearing, text; colours are ignored.
class VtScreen {
  public:
    VtScreen(int width, int height) : width_(width), height_(height) { Clear(); }

    void Feed(std::string_view bytes) {
        pending_.append(bytes);
        size_t i = 0;
        while (i < pending_.size()) {
            size_t used = Step(i);
            if (used == 0) {
                break;  // an incomplete sequence: wait for more
            }
            i += used;
        }
        pending_.erase(0, i);
    }

    std::string Line(int y) const {
        std::u32string row = rows_[static_cast<size_t>(y)];
        while (!row.empty() && row.back() == U' ') {
            row.pop_back();
        }
        std::string out;
        for (char32_t ch : row) {
            tavu::fly::AppendUtf8(out, ch);
        }
        return out;
    }
    std::string Text() const {
        std::string out;
        for (int y = 0; y < height_; ++y) {
            out += Line(y) + "\n";
        }
        return out;
    }
    bool Shows(std::string_view text) const { return Text().find(text) != std::string::npos; }
    int width() const { return width_; }

  private:
    void Clear() {
        rows_.assign(static_cast<size_t>(height_), std::u32string(static_cast<size_t>(width_), U' '));
    }

    void PutChar(char32_t ch) {
        if (x_ < width_ && y_ < height_) {
            rows_[static_cast<size_t>(y_)][static_cast<size_t>(x_)] = ch;
        }
        ++x_;
    }

    // Consumes one character or sequence at `at`; 0 when it is incomplete.
    size_t Step(size_t at) {
        std::string_view rest = std::string_view(pending_).substr(at);
        auto c = static_cast<unsigned char>(rest[0]);
        if (c == 0x1b) {
            if (rest.size() < 2) {
                return 0;
            }
            if (rest[1] == '[') {
                size_t i = 2;
                while (i < rest.size() && (static_cast<unsigned char>(rest[i]) < 0x40 || rest[i] == '?')) {
                    ++i;
                }
                if (i >= rest.size()) {
                    return 0;
                }
                Csi(rest.substr(2, i - 2), rest[i]);
                return i + 1;
            }
            return 2;
        }
        if (c == '\r') {
            x_ = 0;
            return 1;
        }
        if (c == '\n') {
            y_ = std::min(y_ + 1, height_ - 1);
            return 1;
        }
        if (c < 0x20) {
            return 1;
        }
        size_t length = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : 4;
        if (rest.size() < length) {
            return 0;
        }
        std::u32string decoded = tavu::fly::DecodeUtf8(rest.substr(0, length));
        PutChar(decoded.empty() ? U'?' : decoded[0]);
        return length;
    }

    void Csi(std::string_view parameters, char final) {
        std::vector<int> values;
        int value = 0;
        bool any = false;
        bool privateMode = !parameters.empty() && parameters[0] == '?';
        for (char p : privateMode ? parameters.substr(1) : parameters) {
            if (p == ';') {
                values.push_back(any ? value : 0);
                value = 0;
                any = false;
            } else if (p >= '0' && p <= '9') {
                value = value * 10 + (p - '0');
                any = true;
            }
        }
        values.push_back(any ? value : 0);
        auto at = [&](size_t i, int fallback) {
            return i < values.size() && values[i] > 0 ? values[i] : fallback;
        };
        switch (final) {
            case 'H':
            case 'f':
                y_ = std::clamp(at(0, 1) - 1, 0, height_ - 1);
                x_ = std::clamp(at(1, 1) - 1, 0, width_ - 1);
                break;
            case 'J':
                if (values[0] == 2) {
                    Clear();
                }
                break;
            case 'K':
                for (int x = x_; x < width_; ++x) {
                    rows_[static_cast<size_t>(y_)][static_cast<size_t>(x)] = U' ';
                }
                break;
            case 'h':
            case 'l':
                if (privateMode && values[0] == 1049) {
                    Clear();
                }
                break;
            default:
                break;
        }
    }

    int width_;
    int height_;
    int x_ = 0;
    int y_ = 0;
    std::vector<std::u32string> rows_;
    std::string pending_;
};

inline std::string ReadFileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A fresh scenery folder per test, removed afterwards.
class FolderTest : public testing::Test {
  protected:
    FolderTest() {
        char pattern[] = "/tmp/tavu-fly-test-XXXXXX";
        root = mkdtemp(pattern);
        folder = root + "/sceneries";
    }
    ~FolderTest() override {
        std::error_code code;
        fs::remove_all(root, code);
    }
    std::string root;
    std::string folder;
};

}  // namespace flytest
