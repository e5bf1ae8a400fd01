#include "tools/tavu/fly_keys.h"

#include <algorithm>
#include <vector>

#include "tools/tavu/fly_screen.h"

namespace tavu::fly {

namespace {

constexpr char kEsc = 0x1b;
// Longer "sequences" are garbage: they are dropped rather than waited for.
constexpr size_t kMaxSequence = 32;

const char* KeyIdName(KeyId id) {
    switch (id) {
        case KeyId::None:
            return "None";
        case KeyId::Char:
            return "Char";
        case KeyId::Enter:
            return "Enter";
        case KeyId::Escape:
            return "Esc";
        case KeyId::Tab:
            return "Tab";
        case KeyId::BackTab:
            return "Shift+Tab";
        case KeyId::Backspace:
            return "Backspace";
        case KeyId::Up:
            return "Up";
        case KeyId::Down:
            return "Down";
        case KeyId::Left:
            return "Left";
        case KeyId::Right:
            return "Right";
        case KeyId::Home:
            return "Home";
        case KeyId::End:
            return "End";
        case KeyId::PageUp:
            return "PageUp";
        case KeyId::PageDown:
            return "PageDown";
        case KeyId::Insert:
            return "Insert";
        case KeyId::Delete:
            return "Delete";
        case KeyId::F1:
            return "F1";
        case KeyId::F2:
            return "F2";
        case KeyId::F3:
            return "F3";
        case KeyId::F4:
            return "F4";
        case KeyId::F5:
            return "F5";
        case KeyId::F6:
            return "F6";
        case KeyId::F7:
            return "F7";
        case KeyId::F8:
            return "F8";
        case KeyId::F9:
            return "F9";
        case KeyId::F10:
            return "F10";
        case KeyId::F11:
            return "F11";
        case KeyId::F12:
            return "F12";
        case KeyId::KeypadPlus:
            return "Keypad+";
        case KeyId::KeypadMinus:
            return "Keypad-";
        case KeyId::Resize:
            return "Resize";
        case KeyId::Closed:
            return "Closed";
    }
    return "?";
}

KeyId FunctionKey(int n) {
    return static_cast<KeyId>(static_cast<int>(KeyId::F1) + n - 1);
}

// xterm's modifier parameter: 1 + (1 shift, 2 alt, 4 ctrl).
Key WithModifier(KeyId id, int parameter) {
    Key key = Key::Of(id);
    int bits = parameter > 1 ? parameter - 1 : 0;
    key.shift = (bits & 1) != 0;
    key.alt = (bits & 2) != 0;
    key.ctrl = (bits & 4) != 0;
    return key;
}

// The key of "ESC [ n ~" (VT220 editing and function keys).
KeyId TildeKey(int n) {
    switch (n) {
        case 1:
        case 7:
            return KeyId::Home;
        case 2:
            return KeyId::Insert;
        case 3:
            return KeyId::Delete;
        case 4:
        case 8:
            return KeyId::End;
        case 5:
            return KeyId::PageUp;
        case 6:
            return KeyId::PageDown;
        case 11:
        case 12:
        case 13:
        case 14:
        case 15:
            return FunctionKey(n - 10);
        case 17:
        case 18:
        case 19:
        case 20:
        case 21:
            return FunctionKey(n - 11);
        case 23:
        case 24:
            return FunctionKey(n - 12);
        default:
            return KeyId::None;
    }
}

KeyId CsiLetterKey(char final) {
    switch (final) {
        case 'A':
            return KeyId::Up;
        case 'B':
            return KeyId::Down;
        case 'C':
            return KeyId::Right;
        case 'D':
            return KeyId::Left;
        case 'H':
            return KeyId::Home;
        case 'F':
            return KeyId::End;
        case 'P':
            return KeyId::F1;
        case 'Q':
            return KeyId::F2;
        case 'R':
            return KeyId::F3;
        case 'S':
            return KeyId::F4;
        default:
            return KeyId::None;
    }
}

}  // namespace

std::string KeyText(const Key& key) {
    std::string out;
    if (key.ctrl) {
        out += "Ctrl+";
    }
    if (key.alt) {
        out += "Alt+";
    }
    if (key.shift && key.id != KeyId::BackTab) {
        out += "Shift+";
    }
    if (key.id == KeyId::Char) {
        if (key.ch == U' ') {
            out += "Space";
        } else {
            AppendUtf8(out, key.ctrl && key.ch >= U'a' && key.ch <= U'z' ? key.ch - U'a' + U'A' : key.ch);
        }
    } else {
        out += KeyIdName(key.id);
    }
    return out;
}

KeyDecoder::Parse KeyDecoder::ParseOne(Key* key, size_t* used) const {
    const std::string& b = buffer_;
    auto c = static_cast<unsigned char>(b[0]);
    *used = 1;
    if (c != kEsc) {
        switch (c) {
            case '\r':
            case '\n':
                *key = Key::Of(KeyId::Enter);
                return Parse::Key;
            case '\t':
                *key = Key::Of(KeyId::Tab);
                return Parse::Key;
            case 0x7f:
            case 0x08:
                *key = Key::Of(KeyId::Backspace);
                return Parse::Key;
            default:
                break;
        }
        if (c >= 1 && c <= 26) {
            *key = Key::Ctrl(static_cast<char>('a' + c - 1));
            return Parse::Key;
        }
        if (c < 0x20) {
            return Parse::Skip;
        }
        if (c < 0x80) {
            *key = Key::Char(c);
            return Parse::Key;
        }
        size_t length = (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
        if (length == 0) {
            return Parse::Skip;
        }
        if (b.size() < length) {
            return Parse::Incomplete;
        }
        std::u32string decoded = DecodeUtf8(std::string_view(b).substr(0, length));
        if (decoded.size() != 1 || decoded[0] == U'\uFFFD') {
            return Parse::Skip;
        }
        *used = length;
        *key = Key::Char(decoded[0]);
        return Parse::Key;
    }

    if (b.size() < 2) {
        return Parse::Incomplete;
    }
    char next = b[1];
    if (next == 'O') {
        if (b.size() < 3) {
            return Parse::Incomplete;
        }
        *used = 3;
        char f = b[2];
        if (KeyId id = CsiLetterKey(f); id != KeyId::None) {
            *key = Key::Of(id);
            return Parse::Key;
        }
        // rxvt's Ctrl+arrows.
        if (f >= 'a' && f <= 'd') {
            *key = Key::Of(CsiLetterKey(static_cast<char>(f - 'a' + 'A')), false, true);
            return Parse::Key;
        }
        // The keypad in application mode.
        if (f >= 'p' && f <= 'y') {
            *key = Key::Char(static_cast<char32_t>('0' + (f - 'p')));
            return Parse::Key;
        }
        switch (f) {
            case 'k':
                *key = Key::Of(KeyId::KeypadPlus);
                return Parse::Key;
            case 'm':
                *key = Key::Of(KeyId::KeypadMinus);
                return Parse::Key;
            case 'M':
                *key = Key::Of(KeyId::Enter);
                return Parse::Key;
            case 'j':
                *key = Key::Char(U'*');
                return Parse::Key;
            case 'o':
                *key = Key::Char(U'/');
                return Parse::Key;
            case 'n':
                *key = Key::Char(U'.');
                return Parse::Key;
            case 'l':
                *key = Key::Char(U',');
                return Parse::Key;
            default:
                return Parse::Skip;
        }
    }
    if (next != '[') {
        if (next == kEsc) {
            *key = Key::Of(KeyId::Escape);
            return Parse::Key;
        }
        // ESC and a character: Alt and that character.
        auto n = static_cast<unsigned char>(next);
        if (n >= 0x20 && n < 0x7f) {
            *used = 2;
            *key = Key::Char(n);
            key->alt = true;
            return Parse::Key;
        }
        *key = Key::Of(KeyId::Escape);
        return Parse::Key;
    }

    // CSI: ESC [ parameters intermediates final.
    if (b.size() < 3) {
        return Parse::Incomplete;
    }
    if (b[2] == '[') {
        // The Linux console's F1..F5.
        if (b.size() < 4) {
            return Parse::Incomplete;
        }
        *used = 4;
        if (b[3] >= 'A' && b[3] <= 'E') {
            *key = Key::Of(FunctionKey(b[3] - 'A' + 1));
            return Parse::Key;
        }
        return Parse::Skip;
    }
    size_t i = 2;
    while (i < b.size() && static_cast<unsigned char>(b[i]) >= 0x30 &&
           static_cast<unsigned char>(b[i]) <= 0x3f) {
        ++i;
    }
    while (i < b.size() && static_cast<unsigned char>(b[i]) >= 0x20 &&
           static_cast<unsigned char>(b[i]) <= 0x2f && b[i] != '$') {
        ++i;
    }
    if (i >= b.size()) {
        if (b.size() > kMaxSequence) {
            *used = b.size();
            return Parse::Skip;
        }
        return Parse::Incomplete;
    }
    *used = i + 1;
    char final = b[i];
    std::string_view parameterText = std::string_view(b).substr(2, i - 2);
    std::vector<int> parameters;
    int value = 0;
    bool any = false;
    for (char p : parameterText) {
        if (p >= '0' && p <= '9') {
            value = std::min(value * 10 + (p - '0'), 100000);
            any = true;
        } else if (p == ';') {
            parameters.push_back(any ? value : 0);
            value = 0;
            any = false;
        } else {
            return Parse::Skip;  // private sequences ("<", "?"): no key
        }
    }
    if (any || !parameters.empty()) {
        parameters.push_back(any ? value : 0);
    }
    int modifier = parameters.size() >= 2 ? parameters[1] : 1;
    if (KeyId id = CsiLetterKey(final); id != KeyId::None) {
        *key = WithModifier(id, modifier);
        return Parse::Key;
    }
    // rxvt's Shift+arrows.
    if (final >= 'a' && final <= 'd') {
        *key = Key::Of(CsiLetterKey(static_cast<char>(final - 'a' + 'A')), true);
        return Parse::Key;
    }
    if (final == 'Z') {
        *key = Key::Of(KeyId::BackTab, true);
        return Parse::Key;
    }
    if (final == '~' || final == '$' || final == '^') {
        KeyId id = parameters.empty() ? KeyId::None : TildeKey(parameters[0]);
        if (id == KeyId::None) {
            return Parse::Skip;
        }
        *key = WithModifier(id, modifier);
        key->shift = key->shift || final == '$';  // rxvt
        key->ctrl = key->ctrl || final == '^';
        return Parse::Key;
    }
    return Parse::Skip;
}

std::optional<Key> KeyDecoder::Next() {
    while (!buffer_.empty()) {
        Key key;
        size_t used = 1;
        Parse parse = ParseOne(&key, &used);
        if (parse == Parse::Incomplete) {
            return std::nullopt;
        }
        buffer_.erase(0, used);
        if (parse == Parse::Key) {
            return key;
        }
    }
    return std::nullopt;
}

std::optional<Key> KeyDecoder::Flush() {
    if (buffer_.empty()) {
        return std::nullopt;
    }
    if (std::optional<Key> key = Next()) {
        return key;
    }
    if (buffer_.empty()) {
        return std::nullopt;
    }
    bool escape = buffer_[0] == kEsc;
    buffer_.erase(0, 1);
    if (escape) {
        return Key::Of(KeyId::Escape);
    }
    return Next();
}

}  // namespace tavu::fly
