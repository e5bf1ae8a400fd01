// What terminals send, decoded into keys; the key map's chords for the
// editor; colours and pictures on a screen.
#include <gtest/gtest.h>

#include "tests/fly/fly_support.h"
#include "tools/tavu/fly_dialog.h"
#include "tools/tavu/fly_keymap.h"
#include "tools/tavu/fly_keys.h"
#include "tools/tavu/fly_screen.h"

namespace {

using tavu::fly::Key;
using tavu::fly::KeyText;

// The keys in the bytes, space-separated. A "|" is where one read ends and
// the next begins; at the end what is left waiting is flushed, as after a
// quiet moment.
std::string Decode(std::string_view bytes) {
    tavu::fly::KeyDecoder decoder;
    std::string keys;
    std::optional<Key> key;
    for (size_t start = 0, end = 0; end != std::string_view::npos; start = end + 1) {
        end = bytes.find('|', start);
        decoder.Feed(bytes.substr(start, end - start));
        while ((key = decoder.Next()) || (end == std::string_view::npos && (key = decoder.Flush()))) {
            keys += (keys.empty() ? "" : " ") + KeyText(*key);
        }
    }
    return keys;
}

TEST(FlyKeyDecoder, WhatXtermVt220RxvtAndTheLinuxConsoleSend) {
    const std::pair<std::string, std::string> cases[] = {
        {"\x1b[A\x1b[B\x1b[C\x1b[D\x1bOA\x1bOD", "Up Down Right Left Up Left"},
        {"\x1b[H\x1b[F\x1b[1~\x1b[4~\x1b[7~\x1b[8~", "Home End Home End Home End"},
        {"\x1b[2~\x1b[3~\x1b[5~\x1b[6~\x1b[Z", "Insert Delete PageUp PageDown Shift+Tab"},
        {"\x1b[1;2D\x1b[1;5A\x1b[1;3B\x1b[1;6C", "Shift+Left Ctrl+Up Alt+Down Ctrl+Shift+Right"},
        {"\x1b[3;2~\x1b[5;5~\x1b[3$\x1b[5^", "Shift+Delete Ctrl+PageUp Shift+Delete Ctrl+PageUp"},
        {"\x1b[d\x1b[c\x1bOa\x1bOb", "Shift+Left Shift+Right Ctrl+Up Ctrl+Down"},
        {"\x1bOP\x1bOQ\x1bOR\x1bOS\x1b[[A\x1b[[E\x1b[1;2P\x1b[15;5~", "F1 F2 F3 F4 F1 F5 Shift+F1 Ctrl+F5"},
        {"\x1b[11~\x1b[12~\x1b[13~\x1b[14~\x1b[15~\x1b[17~\x1b[18~\x1b[19~\x1b[20~\x1b[21~\x1b[23~\x1b[24~",
         "F1 F2 F3 F4 F5 F6 F7 F8 F9 F10 F11 F12"},
        {"aZ <\r\n\t\x7f\x08", "a Z Space < Enter Enter Tab Backspace Backspace"},
        {"\x03\x0c\xc3\xa9\xe2\x82\xac", "Ctrl+C Ctrl+L \xc3\xa9 \xe2\x82\xac"},
        {"\x1bOk\x1bOm\x1bOq\x1bOy\x1bOM", "Keypad+ Keypad- 1 9 Enter"},  // the keypad in application mode
        {"\x1b\x1b[A\x1bx\x1b", "Esc Up Alt+x Esc"},
        // A sequence split across reads waits for its end, unless it is too long for a key.
        {"\x1b|[|1;2|Dq", "Shift+Left q"},
        {"\x1b[" + std::string(40, '1') + "|c", "c"},
        // Mouse reports, unknown numbers, huge numbers and stray bytes are no keys.
        {"\x1b[<0;3;4Ma\x1b[99~b\xffg", "a b g"},
        {"\x1b[" + std::string(30, '9') + "~d", "d"},
    };
    for (const auto& [bytes, keys] : cases) {
        EXPECT_EQ(Decode(bytes), keys);
    }
}

// The chord every key sends, as the key map in docs/fly.md lists it.
TEST(FlyKeyMap, EachKeySendsItsChordAndTheHelpNamesThem) {
    std::string sent;
    std::string help = tavu::fly::KeyMapText();
    for (const tavu::fly::KeyMapRow& row : tavu::fly::KeyMap()) {
        EXPECT_NE(help.find(row.what), std::string::npos) << row.what;
        EXPECT_NE(help.find(tavu::fly::RowChords(row) + "\n"), std::string::npos) << row.what;
        for (const tavu::fly::KeyBinding& binding : row.bindings) {
            if (binding.action.kind == tavu::fly::FlyAction::Kind::Chord) {
                sent += KeyText(binding.key) + "=" + sim::FormatKeyChord(binding.action.chord) + " ";
            }
        }
    }
    EXPECT_EQ(
        sent,
        "Up=Ctrl+Up Down=Ctrl+Down Ctrl+Up=Ctrl+Up Ctrl+Down=Ctrl+Down Left=Ctrl+Left Right=Ctrl+Right "
        "Ctrl+Left=Ctrl+Left Ctrl+Right=Ctrl+Right <=Ctrl+Shift+Left >=Ctrl+Shift+Right "
        "Shift+Left=Ctrl+Shift+Left Shift+Right=Ctrl+Shift+Right 1=Ctrl+F5 2=Ctrl+F8 F5=Ctrl+F5 "
        "F8=Ctrl+F8 3=Ctrl+PageUp 4=Ctrl+Home PageUp=Ctrl+PageUp Home=Ctrl+Home 5=Ctrl+End "
        "6=Ctrl+PageDown End=Ctrl+End PageDown=Ctrl+PageDown 7=Ctrl+A 8=Ctrl+Q c=Ctrl+Clear C=Ctrl+I "
        "Space=Ctrl+Space 0=Ctrl+Shift+Space [=Ctrl+Subtract ]=Ctrl+Add Keypad-=Ctrl+Subtract "
        "Keypad+=Ctrl+Add {=Ctrl+Shift+Subtract }=Ctrl+Shift+Add i=Ctrl+Insert Insert=Ctrl+Insert "
        "e=Ctrl+Enter Enter=Ctrl+Enter x=Ctrl+Delete Delete=Ctrl+Delete l=Ctrl+L H=Ctrl+F1 F1=Ctrl+F1 ");
}

// How screens become escape sequences, and what text on them is cut or
// made harmless, is checked on every screen the scripted console shows.
TEST(FlyScreen, ColoursAndPicturesInHalfBlocks) {
    EXPECT_EQ(tavu::fly::ParseColour("#1F77b4"), 0x1f77b4u);
    EXPECT_EQ(tavu::fly::ParseColour("#1f77bz"), tavu::fly::kDefaultColour);
    // A 4x4 picture, red above and blue below, in a 6x6 area: half as big
    // again, six columns of three cells (two pixel rows each), centred.
    std::vector<uint8_t> rgb(4 * 4 * 3);
    for (int i = 0; i < 16; ++i) {
        rgb[i * 3 + (i < 8 ? 0 : 2)] = 255;
    }
    tavu::fly::Screen screen(8, 6);
    tavu::fly::DrawPicture(screen, {1, 0, 6, 6}, 4, 4, rgb);
    EXPECT_EQ(screen.Line(2), " \xe2\x96\x80\xe2\x96\x80\xe2\x96\x80\xe2\x96\x80\xe2\x96\x80\xe2\x96\x80");
    EXPECT_EQ(screen.Line(0) + screen.Line(4) + screen.Line(5), "") << "centred, nothing outside the area";
    EXPECT_EQ(screen.At(1, 1).style, (tavu::fly::Style{0xff0000, 0xff0000}));
    EXPECT_EQ(screen.At(6, 2).style, (tavu::fly::Style{0xff0000, 0x0000ff}));
    EXPECT_EQ(screen.At(6, 3).style, (tavu::fly::Style{0x0000ff, 0x0000ff}));
}

}  // namespace
