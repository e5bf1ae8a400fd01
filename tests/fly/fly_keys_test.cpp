// What terminals send, decoded into keys; the key map's reach into the
// editor's chords; and screens turned into escape sequences and back.
#include <gtest/gtest.h>

#include <set>
#include <utility>

#include "tests/fly/fly_support.h"
#include "tools/tavu/fly_dialog.h"
#include "tools/tavu/fly_keymap.h"
#include "tools/tavu/fly_keys.h"
#include "tools/tavu/fly_screen.h"

namespace {

using tavu::fly::Key;
using tavu::fly::KeyDecoder;
using tavu::fly::KeyId;
using tavu::fly::KeyText;

std::vector<std::string> Decode(std::string_view bytes, bool flush = true) {
    KeyDecoder decoder;
    decoder.Feed(bytes);
    std::vector<std::string> keys;
    while (std::optional<Key> key = decoder.Next()) {
        keys.push_back(KeyText(*key));
    }
    if (flush) {
        while (std::optional<Key> key = decoder.Flush()) {
            keys.push_back(KeyText(*key));
            while (std::optional<Key> more = decoder.Next()) {
                keys.push_back(KeyText(*more));
            }
        }
    }
    return keys;
}

using Keys = std::vector<std::string>;

TEST(FlyKeyDecoder, XtermAndVt220EditingKeys) {
    EXPECT_EQ(Decode("\x1b[A\x1b[B\x1b[C\x1b[D"), (Keys{"Up", "Down", "Right", "Left"}));
    EXPECT_EQ(Decode("\x1bOA\x1bOD"), (Keys{"Up", "Left"})) << "application cursor mode";
    EXPECT_EQ(Decode("\x1b[H\x1b[F\x1b[1~\x1b[4~\x1b[7~\x1b[8~"),
              (Keys{"Home", "End", "Home", "End", "Home", "End"}));
    EXPECT_EQ(Decode("\x1b[2~\x1b[3~\x1b[5~\x1b[6~"), (Keys{"Insert", "Delete", "PageUp", "PageDown"}));
    EXPECT_EQ(Decode("\x1b[Z"), (Keys{"Shift+Tab"}));
}

TEST(FlyKeyDecoder, ModifiersOnArrowsAndEditingKeys) {
    EXPECT_EQ(Decode("\x1b[1;2D\x1b[1;2C"), (Keys{"Shift+Left", "Shift+Right"}));
    EXPECT_EQ(Decode("\x1b[1;5A\x1b[1;3B\x1b[1;6C"), (Keys{"Ctrl+Up", "Alt+Down", "Ctrl+Shift+Right"}));
    EXPECT_EQ(Decode("\x1b[3;2~\x1b[5;5~"), (Keys{"Shift+Delete", "Ctrl+PageUp"}));
    EXPECT_EQ(Decode("\x1b[d\x1b[c\x1bOa"), (Keys{"Shift+Left", "Shift+Right", "Ctrl+Up"})) << "rxvt";
}

TEST(FlyKeyDecoder, FunctionKeysOfTheCommonTerminals) {
    EXPECT_EQ(Decode("\x1bOP\x1bOQ\x1bOR\x1bOS"), (Keys{"F1", "F2", "F3", "F4"})) << "xterm";
    EXPECT_EQ(Decode("\x1b[11~\x1b[15~\x1b[17~\x1b[19~\x1b[24~"), (Keys{"F1", "F5", "F6", "F8", "F12"}))
        << "vt220";
    EXPECT_EQ(Decode("\x1b[[A\x1b[[E"), (Keys{"F1", "F5"})) << "Linux console";
    EXPECT_EQ(Decode("\x1b[1;2P\x1b[15;5~"), (Keys{"Shift+F1", "Ctrl+F5"}));
}

TEST(FlyKeyDecoder, PlainBytes) {
    EXPECT_EQ(Decode("aZ <"), (Keys{"a", "Z", "Space", "<"}));
    EXPECT_EQ(Decode("\r\n\t\x7f\x08"), (Keys{"Enter", "Enter", "Tab", "Backspace", "Backspace"}));
    EXPECT_EQ(Decode("\x03\x0c"), (Keys{"Ctrl+C", "Ctrl+L"}));
    EXPECT_EQ(Decode("é€"), (Keys{"é", "€"}));
    EXPECT_EQ(Decode("\x1bOk\x1bOm\x1bOq"), (Keys{"Keypad+", "Keypad-", "1"}))
        << "keypad in application mode";
}

TEST(FlyKeyDecoder, EscapeAloneWaitsForTheQuietThenCountsAsEscape) {
    KeyDecoder decoder;
    decoder.Feed("\x1b");
    EXPECT_FALSE(decoder.Next().has_value()) << "may still become a sequence";
    EXPECT_TRUE(decoder.Pending());
    decoder.Feed("[");
    EXPECT_FALSE(decoder.Next().has_value());
    decoder.Feed("1;2");
    EXPECT_FALSE(decoder.Next().has_value());
    decoder.Feed("Dq");
    EXPECT_EQ(KeyText(*decoder.Next()), "Shift+Left") << "a sequence split across reads";
    EXPECT_EQ(KeyText(*decoder.Next()), "q");
    decoder.Feed("\x1b");
    std::optional<Key> key = decoder.Flush();
    ASSERT_TRUE(key.has_value());
    EXPECT_EQ(key->id, KeyId::Escape);
    EXPECT_FALSE(decoder.Pending());
    EXPECT_EQ(Decode("\x1b\x1b[A"), (Keys{"Esc", "Up"}));
    EXPECT_EQ(Decode("\x1bx"), (Keys{"Alt+x"}));
}

TEST(FlyKeyDecoder, SequencesNoKeySendsAreDropped) {
    EXPECT_EQ(Decode("\x1b[<0;3;4Ma"), (Keys{"a"})) << "a mouse report";
    EXPECT_EQ(Decode("\x1b[99~b"), (Keys{"b"}));
    KeyDecoder decoder;
    decoder.Feed(std::string("\x1b[") + std::string(40, '1'));
    EXPECT_FALSE(decoder.Next().has_value());
    EXPECT_FALSE(decoder.Pending()) << "too long to be a key: not waited for";
    decoder.Feed("c");
    EXPECT_EQ(KeyText(*decoder.Next()), "c");
    EXPECT_EQ(Decode(std::string("\x1b[") + std::string(30, '9') + "~e"), (Keys{"e"}))
        << "no number overflows";
    EXPECT_EQ(Decode("\xff"
                     "d"),
              (Keys{"d"}));
}

// Every chord of the editor's table, and each variant, is reachable from
// some key, and no key is bound twice (the first binding would hide the
// second).
TEST(FlyKeyMap, EveryEditorChordIsReachableAndNoKeyIsBoundTwice) {
    std::set<std::pair<uint32_t, uint32_t>> reached;
    std::vector<Key> seen;
    for (const tavu::fly::KeyMapRow& row : tavu::fly::KeyMap()) {
        for (const tavu::fly::KeyBinding& binding : row.bindings) {
            for (const Key& other : seen) {
                EXPECT_FALSE(other == binding.key) << KeyText(binding.key) << " is bound twice";
            }
            seen.push_back(binding.key);
            if (binding.action.kind == tavu::fly::FlyAction::Kind::Chord) {
                reached.insert({binding.action.chord.keyCode, binding.action.chord.modifiers});
            }
        }
    }
    const uint32_t ctrl = sim::CHORD_CTRL;
    const uint32_t shift = sim::CHORD_SHIFT;
    for (uint32_t code : {12u, 13u, 32u, 33u, 34u, 35u, 36u,  37u,  38u,  39u,  40u,
                          45u, 46u, 65u, 73u, 76u, 81u, 107u, 109u, 112u, 116u, 119u}) {
        EXPECT_TRUE(reached.count({code, ctrl})) << "Ctrl+" << sim::KeyName(code) << " cannot be sent";
    }
    for (uint32_t code : {32u, 37u, 39u, 107u, 109u}) {
        EXPECT_TRUE(reached.count({code, ctrl | shift}))
            << "Ctrl+Shift+" << sim::KeyName(code) << " cannot be sent";
    }
    for (const auto& [code, modifiers] : reached) {
        EXPECT_TRUE(modifiers & ctrl) << sim::KeyName(code) << " is sent without Ctrl: the editor ignores it";
    }
}

TEST(FlyKeyMap, TheHelpTextNamesEveryRowAndItsChords) {
    std::string text = tavu::fly::KeyMapText();
    for (const tavu::fly::KeyMapRow& row : tavu::fly::KeyMap()) {
        EXPECT_NE(text.find(row.what), std::string::npos) << row.what;
    }
    EXPECT_NE(text.find("Ctrl+Shift+Left / Ctrl+Shift+Right"), std::string::npos) << text;
    EXPECT_NE(text.find("Ctrl+Clear / Ctrl+I"), std::string::npos) << text;
}

// --- screens

using tavu::fly::Screen;
using tavu::fly::Style;

TEST(FlyScreen, TextIsClippedAtTheEdgesAndControlCharactersNeverReachTheTerminal) {
    Screen screen(10, 2);
    EXPECT_EQ(screen.Put(7, 0, "abcdef"), 3);
    screen.Put(-2, 1, "xyz\x1b[2Jq");
    EXPECT_EQ(screen.Line(0), "       abc");
    EXPECT_EQ(screen.Line(1), "z [2Jq");
    EXPECT_EQ(tavu::fly::Clip("abcdef", 4), "abc…");
    EXPECT_EQ(tavu::fly::Clip("abc", 4), "abc");
    EXPECT_EQ(tavu::fly::TextWidth("→é"), 2);
}

TEST(FlyScreen, AnsiOutputRedrawsExactlyWhatChanged) {
    Screen before(30, 5);
    before.Frame(0, 0, 30, 5, Style{}, "title");
    before.Put(2, 2, "unchanged text", Style{0xff0000, tavu::fly::kDefaultColour, tavu::fly::ATTR_BOLD});
    flytest::VtScreen vt(30, 5);
    vt.Feed(tavu::fly::RenderAnsi(before, nullptr));
    EXPECT_EQ(vt.Text(), before.Text());

    Screen after = before;
    after.Put(2, 3, "new ↑ line");
    after.Set(29, 4, U'X', Style{});
    after.Put(10, 2, "T");
    std::string update = tavu::fly::RenderAnsi(after, &before);
    vt.Feed(update);
    EXPECT_EQ(vt.Text(), after.Text());
    EXPECT_EQ(update.find("unchanged"), std::string::npos) << "unchanged cells are not sent again";
    EXPECT_EQ(tavu::fly::RenderAnsi(after, &after), "\x1b[0m") << "nothing changed, nothing drawn";

    Screen wider(40, 5);
    wider.Put(0, 0, "resized");
    flytest::VtScreen vt2(40, 5);
    vt2.Feed(tavu::fly::RenderAnsi(before, nullptr));
    vt2.Feed(tavu::fly::RenderAnsi(wider, &before));
    EXPECT_EQ(vt2.Text(), wider.Text()) << "another size is painted whole";
}

TEST(FlyScreen, ColoursAndHalfBlockPictures) {
    EXPECT_EQ(tavu::fly::ParseColour("#1f77b4"), 0x1f77b4u);
    EXPECT_EQ(tavu::fly::ParseColour("1f77b4"), tavu::fly::kDefaultColour);
    EXPECT_EQ(tavu::fly::ParseColour("#1f77bz"), tavu::fly::kDefaultColour);

    // A 4x4 picture, red above and blue below: four columns of two cells,
    // each cell two pixel rows.
    std::vector<uint8_t> rgb;
    for (int y = 0; y < 4; ++y) {
        for (int x = 0; x < 4; ++x) {
            rgb.insert(rgb.end(),
                       {static_cast<uint8_t>(y < 2 ? 255 : 0), 0, static_cast<uint8_t>(y < 2 ? 0 : 255)});
        }
    }
    Screen screen(10, 6);
    tavu::fly::DrawPicture(screen, {2, 1, 4, 2}, 4, 4, rgb);
    const tavu::fly::Cell& top = screen.At(2, 1);
    EXPECT_EQ(top.ch, U'▀');
    EXPECT_EQ(top.style.fg, 0xff0000u);
    EXPECT_EQ(top.style.bg, 0xff0000u);
    const tavu::fly::Cell& bottom = screen.At(5, 2);
    EXPECT_EQ(bottom.style.fg, 0x0000ffu);
    EXPECT_EQ(bottom.style.bg, 0x0000ffu);
    EXPECT_EQ(screen.At(6, 1).ch, U' ') << "nothing drawn outside the area";
    // A wide picture in a tall area keeps its shape: centred, one row.
    Screen tall(10, 10);
    tavu::fly::DrawPicture(tall, {0, 0, 4, 8}, 4, 2, std::vector<uint8_t>(4 * 2 * 3, 200));
    int rows = 0;
    for (int y = 0; y < 10; ++y) {
        rows += tall.At(0, y).ch == U'▀' ? 1 : 0;
    }
    EXPECT_EQ(rows, 1);
    EXPECT_EQ(tall.At(0, 3).ch, U'▀') << "vertically centred";
    EXPECT_EQ(screen.At(2, 3).ch, U' ');
}

}  // namespace
