// The session language as written: key chords, statements, and the errors
// a whole script is checked for before anything runs.
#include <gtest/gtest.h>

#include <string>

#include "sim/session.h"

namespace {

using sim::KeyChord;

struct ChordCase {
    const char* text;
    uint32_t key;
    uint32_t modifiers;
};

TEST(KeyChords, NamesMapToVirtualKeyCodes) {
    const ChordCase cases[] = {
        {"Clear", 12, 0},     {"Enter", 13, 0}, {"Control", 17, 0}, {"Space", 32, 0},  {"PageUp", 33, 0},
        {"PageDown", 34, 0},  {"End", 35, 0},   {"Home", 36, 0},    {"Left", 37, 0},   {"Up", 38, 0},
        {"Right", 39, 0},     {"Down", 40, 0},  {"Insert", 45, 0},  {"Delete", 46, 0}, {"Add", 107, 0},
        {"Subtract", 109, 0}, {"F1", 112, 0},   {"F5", 116, 0},     {"F8", 119, 0},    {"F12", 123, 0},
        {"A", 65, 0},         {"Q", 81, 0},     {"Z", 90, 0},       {"0", 48, 0},      {"9", 57, 0},
    };
    for (const ChordCase& c : cases) {
        std::optional<KeyChord> chord = sim::ParseKeyChord(c.text);
        ASSERT_TRUE(chord.has_value()) << c.text;
        EXPECT_EQ(chord->keyCode, c.key) << c.text;
        EXPECT_EQ(chord->modifiers, c.modifiers) << c.text;
    }
}

TEST(KeyChords, CtrlIsBitTwoAndShiftBitOneInAnyOrderAndCase) {
    const ChordCase cases[] = {
        {"Ctrl+Insert", 45, 2},      {"Shift+Left", 37, 1},   {"Ctrl+Shift+Right", 39, 3},
        {"shift+ctrl+right", 39, 3}, {"CTRL+q", 81, 2},       {"ctrl+f1", 112, 2},
        {"Ctrl+pageup", 33, 2},      {"Ctrl+Control", 17, 2},
    };
    for (const ChordCase& c : cases) {
        std::optional<KeyChord> chord = sim::ParseKeyChord(c.text);
        ASSERT_TRUE(chord.has_value()) << c.text;
        EXPECT_EQ(chord->keyCode, c.key) << c.text;
        EXPECT_EQ(chord->modifiers, c.modifiers) << c.text;
    }
}

TEST(KeyChords, RefusesWhatIsNoChord) {
    for (const char* text : {"", "Ctrl+", "+Insert", "Ctrl+Foo", "Alt+Insert", "Ctrl+Ctrl+Up", "F0", "F13",
                             "F01", "Insert+Ctrl", "AB", "Ctrl+Shift"}) {
        std::string error;
        EXPECT_FALSE(sim::ParseKeyChord(text, &error).has_value()) << text;
        EXPECT_FALSE(error.empty()) << text;
    }
}

TEST(KeyChords, FormatReadsBackAsTheSameChord) {
    for (uint32_t key : {12u, 13u, 17u, 32u, 33u, 34u, 35u, 36u,  37u,  38u,  39u,
                         40u, 45u, 46u, 48u, 57u, 65u, 90u, 107u, 109u, 112u, 123u}) {
        for (uint32_t modifiers = 0; modifiers < 4; ++modifiers) {
            KeyChord chord{key, modifiers};
            std::optional<KeyChord> again = sim::ParseKeyChord(sim::FormatKeyChord(chord));
            ASSERT_TRUE(again.has_value()) << sim::FormatKeyChord(chord);
            EXPECT_EQ(*again, chord) << sim::FormatKeyChord(chord);
        }
    }
    EXPECT_EQ(sim::FormatKeyChord({39, 3}), "Ctrl+Shift+Right");
}

// The error a script gets, formatted as `tavu run` prints it.
std::string ParseError(const std::string& text) {
    sim::SessionError error;
    if (sim::ParseSession(text, &error)) {
        return "";
    }
    return error.Format("s.session");
}

TEST(ScriptParsing, ReadsEveryStatementWithItsArguments) {
    const char* text =
        "# a comment line\n"
        "sceneries \"/tmp/some folder\"\n"
        "language it\n"
        "player absent\n"
        "\n"
        "aircraft lat 46.5 lon -8.25 alt 300 heading 90   # trailing comment\n"
        "slew forward -12.5\n"
        "slew turn 45\n"
        "new-object-altitude 279.5\n"
        "pause on\n"
        "step 40\n"
        "start\n"
        "select-scenery 1\n"
        "key Ctrl+Shift+Right x3\n"
        "frames 20\n"
        "answer no\n"
        "dialog group \"Animals\" object \"Elephant 1\" scale \"\" distance 2500 help cancel\n"
        "expect file \"a b.tsc\" bytes 124 objects 1\n"
        "expect position lat 46.5 lon 8 within 3\n"
        "note \"A # inside a string\" stays\n"
        "stop\n";
    sim::SessionError error;
    std::optional<sim::SessionScript> script = sim::ParseSession(text, &error);
    ASSERT_TRUE(script.has_value()) << error.Format("s");
    const auto& s = script->statements;
    ASSERT_EQ(s.size(), 19u);
    using Kind = sim::Statement::Kind;
    EXPECT_EQ(s[0].kind, Kind::Sceneries);
    EXPECT_EQ(s[0].text, "/tmp/some folder");
    EXPECT_EQ(s[0].line, 2);
    EXPECT_EQ(s[1].word, "it");
    EXPECT_FALSE(s[2].flag) << "player absent";
    EXPECT_EQ(s[3].line, 6);
    EXPECT_EQ(s[3].source, "aircraft lat 46.5 lon -8.25 alt 300 heading 90");
    EXPECT_DOUBLE_EQ(*s[3].lat, 46.5);
    EXPECT_DOUBLE_EQ(*s[3].lon, -8.25);
    EXPECT_DOUBLE_EQ(*s[3].alt, 300);
    EXPECT_DOUBLE_EQ(*s[3].heading, 90);
    EXPECT_EQ(s[4].word, "forward");
    EXPECT_DOUBLE_EQ(s[4].value, -12.5);
    EXPECT_EQ(s[5].word, "turn");
    EXPECT_DOUBLE_EQ(s[6].value, 279.5);
    EXPECT_TRUE(s[7].flag);
    EXPECT_DOUBLE_EQ(s[8].value, 40);
    EXPECT_EQ(s[9].kind, Kind::Start);
    EXPECT_DOUBLE_EQ(s[10].value, 1);
    EXPECT_EQ(s[11].chord, (KeyChord{39, 3}));
    EXPECT_EQ(s[11].repeat, 3);
    EXPECT_DOUBLE_EQ(s[12].value, 20);
    EXPECT_FALSE(s[13].flag) << "answer no";
    ASSERT_EQ(s[14].actions.size(), 6u);
    EXPECT_EQ(s[14].actions[0].text, "Animals");
    EXPECT_EQ(s[14].actions[2].kind, sim::DialogAction::Kind::Scale);
    EXPECT_EQ(s[14].actions[2].text, "");
    EXPECT_EQ(s[14].actions[4].kind, sim::DialogAction::Kind::Help);
    EXPECT_EQ(s[14].actions[5].kind, sim::DialogAction::Kind::Cancel);
    EXPECT_EQ(s[15].text, "a b.tsc");
    EXPECT_EQ(*s[15].bytes, 124);
    EXPECT_EQ(*s[15].objects, 1);
    EXPECT_EQ(s[16].expect, sim::ExpectKind::Position);
    EXPECT_DOUBLE_EQ(*s[16].within, 3);
    EXPECT_EQ(s[17].text, "A # inside a string stays");
}

TEST(ScriptParsing, ExpectationsByNameAndNumber) {
    sim::SessionError error;
    auto script = sim::ParseSession(
        "expect box need-selection\nexpect box 12\nexpect selected none\nexpect selected \"Cat\"\n"
        "expect scale fixed\nexpect scale 150\nexpect marker off-selection\nexpect scenery none\n"
        "expect heading 90 within 2\nexpect running no\nexpect boxes 0\nexpect no-file x.tsc\n",
        &error);
    ASSERT_TRUE(script.has_value()) << error.message;
    const auto& s = script->statements;
    EXPECT_DOUBLE_EQ(s[0].value, 8);
    EXPECT_DOUBLE_EQ(s[1].value, 12);
    EXPECT_FALSE(s[2].flag);
    EXPECT_TRUE(s[3].flag);
    EXPECT_TRUE(s[4].flag);
    EXPECT_DOUBLE_EQ(s[5].value, 150);
    EXPECT_FALSE(s[6].flag);
    EXPECT_FALSE(s[7].flag);
    EXPECT_DOUBLE_EQ(*s[8].within, 2);
}

TEST(ScriptErrors, NameTheLineAndWhatIsWrong) {
    struct Case {
        const char* text;
        const char* error;
    };
    const Case cases[] = {
        {"start\n\nfly away\n", "s.session:3: unknown statement \"fly\""},
        {"frames ten\n",
         "s.session:1: frames: bad number \"ten\" for the frame count: a whole number is needed"},
        {"start\nframes 2.5\n",
         "s.session:2: frames: bad number \"2.5\" for the frame count: a whole number is needed"},
        {"aircraft lat abc lon 8\n", "s.session:1: aircraft: bad number \"abc\" for degrees"},
        {"aircraft lat 46\n", "s.session:1: aircraft: needs lat DEG lon DEG [alt METRES] [heading DEG]"},
        {"start\nkey Ctrl+Foo\n", "s.session:2: key: unknown key \"Foo\""},
        {"key Alt+Up\n", "s.session:1: key: unknown modifier \"Alt\" in \"Alt+Up\" (Ctrl, Shift)"},
        {"key Ctrl+Up 3\n", "s.session:1: key: expected a repeat count like x3, not \"3\""},
        {"key Ctrl+Up x0\n", "s.session:1: key: the repeat count 0 is out of range (1 to 100000)"},
        {"step 70000\n",
         "s.session:1: step: the frame step in milliseconds 70000 is out of range (0 to 65535)"},
        {"pause maybe\n", "s.session:1: pause: expected on|off for on or off, not \"maybe\""},
        {"answer perhaps\n", "s.session:1: answer: expected yes|no for yes or no, not \"perhaps\""},
        {"start\nlanguage it\n",
         "s.session:2: language: configuration must come before the first statement that uses the simulator "
         "(line 1: start)"},
        {"aircraft lat 1 lon 2\nsceneries x\n",
         "s.session:2: sceneries: configuration must come before the first statement that uses the simulator "
         "(line 1: aircraft lat 1 lon 2)"},
        {"language fr\n", "s.session:1: language: expected en|it|de for a language, not \"fr\""},
        {"dialog group \"Beasts\" ok\n", "s.session:1: dialog: group \"Beasts\" is not in the catalog"},
        {"dialog object \"Unicorn\" ok\n", "s.session:1: dialog: object \"Unicorn\" is not in the catalog"},
        {"dialog group \"Aircraft\" object \"Cat\" ok\n",
         "s.session:1: dialog: object \"Cat\" is not in group \"Aircraft\" (it is in \"Animals\")"},
        {"dialog group \"Animals\"\n", "s.session:1: dialog: must end with ok, cancel or close"},
        {"dialog ok scale 5\n", "s.session:1: dialog: nothing may follow ok, cancel or close"},
        {"dialog scale -5 ok\n",
         "s.session:1: dialog: scale \"-5\": the field takes a whole number (or \"\" to empty it)"},
        {"dialog press ok\n",
         "s.session:1: dialog: unknown dialog action \"press\" (group, object, scale, distance, help, ok, "
         "cancel, close)"},
        {"expect objects\n", "s.session:1: expect: missing the object count"},
        {"expect weather fine\n",
         "s.session:1: expect: unknown expectation \"weather\" (objects, selected, box, boxes, file, "
         "no-file, marker, "
         "scale, position, heading, running, scenery)"},
        {"expect selected \"Unicorn\"\n", "s.session:1: expect: object \"Unicorn\" is not in the catalog"},
        {"expect box sunny\n",
         "s.session:1: expect box: bad number \"sunny\" for the box text id: a whole number is needed"},
        {"start extra\n", "s.session:1: start: unexpected \"extra\""},
        {"note \"open\n", "s.session:1: a string is not closed: missing '\"'"},
        {"\"start\"\n", "s.session:1: a statement starts with a word, not a string"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ParseError(c.text), c.error) << c.text;
    }
}

TEST(ScriptErrors, ATypoLateInTheScriptStopsItBeforeAnythingRuns) {
    std::string text = "start\n";
    for (int i = 0; i < 38; ++i) {
        text += "frames 1\n";
    }
    text += "kye Ctrl+Up\n";
    EXPECT_EQ(ParseError(text), "s.session:40: unknown statement \"kye\"");
}

TEST(ScriptParsing, OneLineOnItsOwn) {
    sim::SessionError error;
    std::optional<sim::Statement> statement = sim::ParseStatement("key ctrl+shift+left x2", 7, &error);
    ASSERT_TRUE(statement.has_value());
    EXPECT_EQ(statement->line, 7);
    EXPECT_EQ(statement->chord, (KeyChord{37, 3}));
    EXPECT_EQ(statement->repeat, 2);
    EXPECT_FALSE(sim::ParseStatement("   # only a comment", 3, &error).has_value());
    EXPECT_EQ(error.line, 3);
}

}  // namespace
