#include "tools/tavu/fly_keymap.h"

#include <algorithm>

namespace tavu::fly {

namespace {

// Windows virtual-key codes of the editor's chords.
enum : uint32_t {
    VK_CLEAR = 12,
    VK_RETURN = 13,
    VK_SPACE = 32,
    VK_PRIOR = 33,
    VK_NEXT = 34,
    VK_END = 35,
    VK_HOME = 36,
    VK_LEFT = 37,
    VK_UP = 38,
    VK_RIGHT = 39,
    VK_DOWN = 40,
    VK_INSERT = 45,
    VK_DELETE = 46,
    VK_A = 65,
    VK_I = 73,
    VK_L = 76,
    VK_Q = 81,
    VK_ADD = 107,
    VK_SUBTRACT = 109,
    VK_F1 = 112,
    VK_F5 = 116,
    VK_F8 = 119,
};

constexpr double kBigStep = 10;
constexpr double kTurnDegrees = 15;

FlyAction Chord(uint32_t keyCode, bool variant = false) {
    FlyAction action;
    action.kind = FlyAction::Kind::Chord;
    action.chord = sim::KeyChord{keyCode, sim::CHORD_CTRL | (variant ? sim::CHORD_SHIFT : 0u)};
    return action;
}

FlyAction Slew(double forward, double right, double up) {
    FlyAction action;
    action.kind = FlyAction::Kind::Slew;
    action.forward = forward;
    action.right = right;
    action.up = up;
    return action;
}

FlyAction Turn(double degrees) {
    FlyAction action;
    action.kind = FlyAction::Kind::Turn;
    action.degrees = degrees;
    return action;
}

FlyAction Zoom(int direction) {
    FlyAction action;
    action.kind = FlyAction::Kind::Zoom;
    action.zoom = direction;
    return action;
}

FlyAction Plain(FlyAction::Kind kind) {
    FlyAction action;
    action.kind = kind;
    return action;
}

Key C(char32_t ch) {
    return Key::Char(ch);
}
Key K(KeyId id, bool shift = false, bool ctrl = false) {
    return Key::Of(id, shift, ctrl);
}

std::vector<KeyMapRow> MakeKeyMap() {
    using Kind = FlyAction::Kind;
    return {
        {"aircraft",
         "w s",
         "forward / back (W S: 10 times as far)",
         {{C('w'), Slew(1, 0, 0)},
          {C('s'), Slew(-1, 0, 0)},
          {C('W'), Slew(kBigStep, 0, 0)},
          {C('S'), Slew(-kBigStep, 0, 0)}}},
        {"aircraft",
         "a d",
         "left / right (A D: 10 times as far)",
         {{C('a'), Slew(0, -1, 0)},
          {C('d'), Slew(0, 1, 0)},
          {C('A'), Slew(0, -kBigStep, 0)},
          {C('D'), Slew(0, kBigStep, 0)}}},
        {"aircraft",
         "r f",
         "up / down (R F: 10 times as far)",
         {{C('r'), Slew(0, 0, 1)},
          {C('f'), Slew(0, 0, -1)},
          {C('R'), Slew(0, 0, kBigStep)},
          {C('F'), Slew(0, 0, -kBigStep)}}},
        {"aircraft",
         ", .",
         "turn left / right 15 degrees",
         {{C(','), Turn(-kTurnDegrees)}, {C('.'), Turn(kTurnDegrees)}}},

        {"object",
         "Up Down",
         "forward speed + / -",
         {{K(KeyId::Up), Chord(VK_UP)},
          {K(KeyId::Down), Chord(VK_DOWN)},
          {K(KeyId::Up, false, true), Chord(VK_UP)},
          {K(KeyId::Down, false, true), Chord(VK_DOWN)}}},
        {"object",
         "Left Right",
         "side speed - / +",
         {{K(KeyId::Left), Chord(VK_LEFT)},
          {K(KeyId::Right), Chord(VK_RIGHT)},
          {K(KeyId::Left, false, true), Chord(VK_LEFT)},
          {K(KeyId::Right, false, true), Chord(VK_RIGHT)}}},
        {"object",
         "< >  Shift+Left Shift+Right",
         "previous / next object",
         {{C('<'), Chord(VK_LEFT, true)},
          {C('>'), Chord(VK_RIGHT, true)},
          {K(KeyId::Left, true), Chord(VK_LEFT, true)},
          {K(KeyId::Right, true), Chord(VK_RIGHT, true)}}},
        {"object",
         "1 2  F5 F8",
         "pitch - / +",
         {{C('1'), Chord(VK_F5)},
          {C('2'), Chord(VK_F8)},
          {K(KeyId::F5), Chord(VK_F5)},
          {K(KeyId::F8), Chord(VK_F8)}}},
        {"object",
         "3 4  PageUp Home",
         "bank - / +",
         {{C('3'), Chord(VK_PRIOR)},
          {C('4'), Chord(VK_HOME)},
          {K(KeyId::PageUp), Chord(VK_PRIOR)},
          {K(KeyId::Home), Chord(VK_HOME)}}},
        {"object",
         "5 6  End PageDown",
         "heading - / +",
         {{C('5'), Chord(VK_END)},
          {C('6'), Chord(VK_NEXT)},
          {K(KeyId::End), Chord(VK_END)},
          {K(KeyId::PageDown), Chord(VK_NEXT)}}},
        {"object", "7 8", "down / up", {{C('7'), Chord(VK_A)}, {C('8'), Chord(VK_Q)}}},
        {"object", "c C", "stop", {{C('c'), Chord(VK_CLEAR)}, {C('C'), Chord(VK_I)}}},
        {"object",
         "Space 0",
         "level pitch and bank / and heading too",
         {{C(' '), Chord(VK_SPACE)}, {C('0'), Chord(VK_SPACE, true)}}},
        {"object",
         "[ ]  Keypad- Keypad+",
         "scale -1 / +1 %",
         {{C('['), Chord(VK_SUBTRACT)},
          {C(']'), Chord(VK_ADD)},
          {K(KeyId::KeypadMinus), Chord(VK_SUBTRACT)},
          {K(KeyId::KeypadPlus), Chord(VK_ADD)}}},
        {"object",
         "{ }",
         "scale -10 / +10 %",
         {{C('{'), Chord(VK_SUBTRACT, true)}, {C('}'), Chord(VK_ADD, true)}}},
        {"object",
         "i Insert",
         "add an object (dialog)",
         {{C('i'), Chord(VK_INSERT)}, {K(KeyId::Insert), Chord(VK_INSERT)}}},
        {"object",
         "e Enter",
         "edit its properties (dialog)",
         {{C('e'), Chord(VK_RETURN)}, {K(KeyId::Enter), Chord(VK_RETURN)}}},
        {"object",
         "x Delete",
         "delete it",
         {{C('x'), Chord(VK_DELETE)}, {K(KeyId::Delete), Chord(VK_DELETE)}}},
        {"object", "l", "another scenery", {{C('l'), Chord(VK_L)}}},
        {"object", "H F1", "the editor's help", {{C('H'), Chord(VK_F1)}, {K(KeyId::F1), Chord(VK_F1)}}},

        {"view",
         "+ -",
         "zoom in / out (also = _)",
         {{C('+'), Zoom(1)}, {C('-'), Zoom(-1)}, {C('='), Zoom(1)}, {C('_'), Zoom(-1)}}},
        {"view", "p", "pause / resume the world", {{C('p'), Plain(Kind::Pause)}}},
        {"view", "? h", "this key map", {{C('?'), Plain(Kind::KeyHelp)}, {C('h'), Plain(Kind::KeyHelp)}}},
        {"view", "Ctrl+L", "redraw the screen", {{Key::Ctrl('l'), Plain(Kind::Redraw)}}},
        {"view", "q", "quit: stop the editor, which saves", {{C('q'), Plain(Kind::Quit)}}},
        {"view", "Ctrl+C", "quit without asking", {{Key::Ctrl('c'), Plain(Kind::QuitNow)}}},
    };
}

}  // namespace

const std::vector<KeyMapRow>& KeyMap() {
    static const std::vector<KeyMapRow> map = MakeKeyMap();
    return map;
}

const FlyAction* FindAction(const Key& key) {
    for (const KeyMapRow& row : KeyMap()) {
        for (const KeyBinding& binding : row.bindings) {
            if (binding.key == key) {
                return &binding.action;
            }
        }
    }
    return nullptr;
}

std::string RowChords(const KeyMapRow& row) {
    std::vector<std::string> chords;
    for (const KeyBinding& binding : row.bindings) {
        if (binding.action.kind != FlyAction::Kind::Chord) {
            continue;
        }
        std::string text = sim::FormatKeyChord(binding.action.chord);
        if (std::find(chords.begin(), chords.end(), text) == chords.end()) {
            chords.push_back(text);
        }
    }
    std::string out;
    for (const std::string& chord : chords) {
        out += (out.empty() ? "" : " / ") + chord;
    }
    return out;
}

std::string KeyMapText() {
    size_t keysWidth = 0;
    size_t whatWidth = 0;
    for (const KeyMapRow& row : KeyMap()) {
        keysWidth = std::max(keysWidth, std::string_view(row.keys).size());
        whatWidth = std::max(whatWidth, std::string_view(row.what).size());
    }
    std::string out;
    const char* section = "";
    for (const KeyMapRow& row : KeyMap()) {
        if (std::string_view(section) != row.section) {
            section = row.section;
            out += std::string_view(section) == "aircraft" ? "Aircraft (slews a step of two map cells):\n"
                   : std::string_view(section) == "object" ? "Selected object (chords sent to the editor):\n"
                                                           : "View:\n";
        }
        std::string line = "  " + std::string(row.keys);
        line.resize(keysWidth + 4, ' ');
        line += row.what;
        std::string chords = RowChords(row);
        if (!chords.empty()) {
            line.resize(keysWidth + 4 + whatWidth + 2, ' ');
            line += chords;
        }
        out += line + "\n";
    }
    return out;
}

}  // namespace tavu::fly
