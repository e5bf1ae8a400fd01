// Keys as a terminal sends them: bytes and escape sequences decoded into key
// events for `tavu fly`.
#pragma once

#include <stdint.h>

#include <optional>
#include <string>
#include <string_view>

namespace tavu::fly {

enum class KeyId : uint8_t {
    None,
    Char,  // a printable character, in Key::ch
    Enter,
    Escape,
    Tab,
    BackTab,
    Backspace,
    Up,
    Down,
    Left,
    Right,
    Home,
    End,
    PageUp,
    PageDown,
    Insert,
    Delete,
    F1,
    F2,
    F3,
    F4,
    F5,
    F6,
    F7,
    F8,
    F9,
    F10,
    F11,
    F12,
    KeypadPlus,  // only from terminals that tell the keypad's keys apart
    KeypadMinus,
    Resize,  // not a key: the terminal changed size
    Closed,  // not a key: the input ended or the process was told to stop
};

struct Key {
    KeyId id = KeyId::None;
    char32_t ch = 0;  // KeyId::Char only
    bool shift = false;
    bool ctrl = false;  // for Char: a control character, ch the letter ('c' for Ctrl+C)
    bool alt = false;

    static Key Char(char32_t c) { return Key{KeyId::Char, c}; }
    static Key Ctrl(char letter) { return Key{KeyId::Char, static_cast<char32_t>(letter), false, true}; }
    static Key Of(KeyId id, bool shift = false, bool ctrl = false) { return Key{id, 0, shift, ctrl}; }
    bool Is(char32_t c) const { return id == KeyId::Char && ch == c && !ctrl && !alt; }
    bool operator==(const Key&) const = default;
};

// "Shift+Left", "F5", "a", "Ctrl+C", "Space": for messages and tests.
std::string KeyText(const Key& key);

// Turns bytes into keys. Escape sequences may arrive split across reads, so
// an incomplete one stays buffered; once the input has been quiet for a
// moment the reader calls Flush, which takes a lone ESC as the Escape key.
class KeyDecoder {
  public:
    void Feed(std::string_view bytes) { buffer_.append(bytes); }
    // The next complete key, skipping sequences no key of ours sends.
    std::optional<Key> Next();
    // Something is buffered that may still become a key.
    bool Pending() const { return !buffer_.empty(); }
    // Takes whatever is buffered as it stands: ESC alone is Escape, ESC and
    // a character is Alt and that character.
    std::optional<Key> Flush();

  private:
    enum class Parse { Key, Skip, Incomplete };
    Parse ParseOne(Key* key, size_t* used) const;
    std::string buffer_;
};

}  // namespace tavu::fly
