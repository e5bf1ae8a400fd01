// The session language: key chords, and every error a script can meet, at
// parse time or while it runs, named by its line.
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "tests/workbench/workbench_support.h"

namespace {

using sim::KeyChord;

struct ChordCase {
    const char* text;
    uint32_t key;
    uint32_t modifiers;
};

TEST(KeyChords, NamesAndModifiersReadAsVirtualKeysAndFormatBack) {
    const ChordCase chords[] = {
        {"Clear", 12, 0},     {"Enter", 13, 0}, {"Control", 17, 0}, {"Space", 32, 0},    {"PageUp", 33, 0},
        {"PageDown", 34, 0},  {"End", 35, 0},   {"Home", 36, 0},    {"Left", 37, 0},     {"Up", 38, 0},
        {"Right", 39, 0},     {"Down", 40, 0},  {"Insert", 45, 0},  {"Delete", 46, 0},   {"Add", 107, 0},
        {"Subtract", 109, 0}, {"F1", 112, 0},   {"F12", 123, 0},    {"A", 65, 0},        {"Z", 90, 0},
        {"0", 48, 0},         {"9", 57, 0},     {"CTRL+q", 81, 2},  {"ctrl+f5", 116, 2},
    };
    for (const ChordCase& c : chords) {
        const KeyChord chord{c.key, c.modifiers};
        EXPECT_EQ(sim::ParseKeyChord(c.text), chord) << c.text;
        EXPECT_EQ(sim::ParseKeyChord(sim::FormatKeyChord(chord)), chord) << c.text;
    }
    EXPECT_EQ(sim::ParseKeyChord("Shift+Left"), (KeyChord{37, 1}));
    EXPECT_EQ(sim::ParseKeyChord("shift+CTRL+up"), (KeyChord{38, 3}));
    EXPECT_EQ(sim::ParseKeyChord("Ctrl+Control"), (KeyChord{17, 2}));
    EXPECT_EQ(sim::FormatKeyChord({39, 3}), "Ctrl+Shift+Right");
    for (const char* text : {"", "Ctrl+", "+Insert", "Ctrl+Foo", "Alt+Insert", "Ctrl+Ctrl+Up", "F0", "F13",
                             "F01", "Insert+Ctrl", "AB", "Ctrl+Shift"}) {
        std::string error;
        EXPECT_EQ(sim::ParseKeyChord(text, &error), std::nullopt) << text;
        EXPECT_NE(error, "") << text;
    }
}

class ScriptErrors : public workbench::SessionTest {};

// Each error as `tavu run` prints it: parse errors stop the script before
// anything runs, the rest stop it at the line they name.
TEST_F(ScriptErrors, NameTheLineAndWhatIsWrong) {
    const std::string E = workbench::kOneElephant;
    const std::pair<std::string, std::string> cases[] = {
        {"# comment\nstart\n\nfly away\n", "4: unknown statement \"fly\""},
        {"start\nframes 2.5\n",
         "2: frames: bad number \"2.5\" for the frame count: a whole number is needed"},
        {"aircraft lat abc lon 8\n", "1: aircraft: bad number \"abc\" for degrees"},
        {"aircraft lat 46\n", "1: aircraft: needs lat DEG lon DEG [alt METRES] [heading DEG]"},
        {"start\nkey Ctrl+Foo\n", "2: key: unknown key \"Foo\""},
        {"key Ctrl+Up 3\n", "1: key: expected a repeat count like x3, not \"3\""},
        {"step 65536\n", "1: step: the frame step in milliseconds 65536 is out of range (0 to 65535)"},
        {"pause maybe\n", "1: pause: expected on|off for on or off, not \"maybe\""},
        {"aircraft lat 1 lon 2\nsceneries x\n",
         "2: sceneries: configuration must come before the first statement that uses the simulator (line 1: "
         "aircraft lat 1 lon 2)"},
        {"dialog group \"Beasts\" ok\n", "1: dialog: group \"Beasts\" is not in the catalog"},
        {"dialog object \"elefant 1\" ok\n",
         "1: dialog: object \"elefant 1\" is not in the catalog; did you mean \"Elephant 1\"?"},
        {"dialog group \"Aircraft\" object \"Cat\" ok\n",
         "1: dialog: object \"Cat\" is not in group \"Aircraft\" (it is in \"Animals\")"},
        {"dialog group \"Animals\"\n", "1: dialog: must end with ok, cancel or close"},
        {"dialog ok scale 5\n", "1: dialog: nothing may follow ok, cancel or close"},
        {"dialog scale -5 ok\n",
         "1: dialog: scale \"-5\": the field takes a whole number (or \"\" to empty it)"},
        {"dialog press ok\n",
         "1: dialog: unknown dialog action \"press\" (group, object, scale, distance, help"},
        {"expect objects\n", "1: expect: missing the object count"},
        {"expect weather fine\n",
         "1: expect: unknown expectation \"weather\" (objects, selected, box, boxes"},
        {"start extra\n", "1: start: unexpected \"extra\""},
        {"note \"open\n", "1: a string is not closed: missing '\"'"},
        {"\"start\"\n", "1: a statement starts with a word, not a string"},
        // A NUL is never read as the end of a word; a byte-order mark is
        // skipped; control bytes come back escaped.
        {std::string("start\nslew forward 12\0" "7\n", 24), "2: a NUL byte at column 16"},
        {"\xEF\xBB\xBFstart\nfly\n", "2: unknown statement \"fly\""},
        {"key Ctrl+\x1b[2J\x7f\n", "1: key: unknown key \"\\x1b[2J\\x7f\""},
        // Found only by running.
        {"start\nframes 1\nkey Ctrl+Insert\nframes 1\n",
         "3: dialog 102 appeared with no dialog line waiting"},
        {E + "frames 2\nkey Ctrl+Delete\nstop\n",
         "6: a Yes/No box (text 11) appeared with no answer line waiting"},
        {E + "answer yes\nkey Ctrl+Up\nstop\nframes 1\n",
         "5: this answer was never used: no Yes/No box appeared by line 7"},
        {E + "answer no\nframes 1\n", "5: this answer was never used: no Yes/No box appeared by line 6"},
        {E + "dialog scale 120 ok\nkey Ctrl+Up\nstop\n",
         "5: this dialog line was never used: no dialog appeared by line 7"},
        {"start\ndialog group \"Aircraft\" object \"B737 Delta\" scale 120 ok\nkey Ctrl+Insert\n",
         "2: dialog: scale \"120\": the scale field is disabled (a fixed-scale object)"},
        {E + "dialog object \"B737 Delta\" ok\nkey Ctrl+Enter\n",
         "5: dialog: object \"B737 Delta\": no such item in the object list (40 items, group \"Animals\")"},
        {"start\ndialog group \"animals\" object \" ELEPHANT  1\" ok\nkey Ctrl+Insert\nexpect selected \"elephant 1\"\n"
         "expect objects 3\n",
         "5: expect objects 3: the current scenery holds 1 object"},
        {E + "expect objects 1\nexpect objects 3\n",
         "6: expect objects 3: the current scenery holds 1 object"},
        {E + "expect selected \"Cat\"", "5: expect selected \"Cat\": selected: Elephant 1"},
        {E + "expect box 5", "5: expect box 5: no box has been shown"},
        {E + "expect boxes 1", "5: expect boxes 1: 0 boxes were shown"},
        {E + "expect file scenery-001.tsc", "5: expect file scenery-001.tsc: no file "},
        {E + "stop\nexpect file scenery-001.tsc bytes 120", "6: expect file scenery-001.tsc bytes 120: "},
        {E + "expect scale 100", "5: expect scale 100: the scale is 220%"},
        {E + "expect scale fixed", "5: expect scale fixed: the scale is 220%"},
        {E + "expect marker on-selection", "5: expect marker on-selection: no marker has been drawn"},
        {E + "expect running no", "5: expect running no: the editor runs"},
        {E + "expect scenery none", "5: expect scenery none: the current scenery is scenery-001.tsc"},
        {E + "expect heading 90", "5: expect heading 90: the heading is 0.00"},
        {E + "expect position lat 46 lon 8 within 10",
         "5: expect position lat 46 lon 8 within 10: the object "}};
    for (const auto& [script, error] : cases) {
        EXPECT_EQ(RunText(script).Error().substr(0, 10 + error.size()), "s.session:" + error) << script;
        std::filesystem::remove_all(folder);
    }
}

}  // namespace
