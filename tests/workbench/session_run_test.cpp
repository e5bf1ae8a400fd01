// Running sessions: the errors only a run can find (boxes and dialogs nobody
// waits for, impossible dialog actions, failed expectations), what the
// transcript tells, and the configuration rules.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "tests/workbench/workbench_support.h"

namespace {

namespace fs = std::filesystem;
using workbench::SessionRun;
using workbench::SessionTest;

// Starts at a fixed place and adds one elephant.
const char kOneElephant[] =
    "aircraft lat 46 lon 8 heading 0\n"                    // 1
    "start\n"                                              // 2
    "dialog group \"Animals\" object \"Elephant 1\" ok\n"  // 3
    "key Ctrl+Insert\n";                                   // 4

class RunErrors : public SessionTest {};

TEST_F(RunErrors, ADialogWithNoDialogLineWaitingFailsAtTheKeyThatOpenedIt) {
    SessionRun run = RunText("start\nframes 1\nkey Ctrl+Insert\nframes 1\n");
    EXPECT_EQ(run.Error(), "s.session:3: dialog 102 appeared with no dialog line waiting; closed");
    EXPECT_EQ(run.result.dialogs.size(), 1u);
    EXPECT_FALSE(fs::exists(PathOf("scenery-001.tsc"))) << "the closed dialog added nothing";
}

TEST_F(RunErrors, AnUnansweredYesNoBoxFailsAtItsKey) {
    SessionRun run = RunText(std::string(kOneElephant) + "frames 2\nkey Ctrl+Delete\nstop\n");
    EXPECT_EQ(run.Error(), "s.session:6: a Yes/No box (text 11) appeared with no answer line waiting");
    ASSERT_FALSE(run.result.boxes.empty());
    EXPECT_TRUE(run.result.boxes.back().unanswered);
}

TEST_F(RunErrors, AnAnswerNobodyUsedFailsAtItsOwnLineWhenTheEditorStops) {
    SessionRun run = RunText(std::string(kOneElephant) + "answer yes\nkey Ctrl+Up\nstop\nframes 1\n");
    EXPECT_EQ(run.Error(), "s.session:5: this answer was never used: no Yes/No box appeared by line 7");
}

TEST_F(RunErrors, AnAnswerNobodyUsedFailsAtTheEndOfTheScript) {
    SessionRun run = RunText(std::string(kOneElephant) + "answer no\nframes 1\n");
    EXPECT_EQ(run.Error(), "s.session:5: this answer was never used: no Yes/No box appeared by line 6");
}

TEST_F(RunErrors, ADialogLineNobodyUsedFailsAtItsOwnLine) {
    SessionRun run = RunText(std::string(kOneElephant) + "dialog scale 120 ok\nkey Ctrl+Up\nstop\n");
    EXPECT_EQ(run.Error(), "s.session:5: this dialog line was never used: no dialog appeared by line 7");
}

TEST_F(RunErrors, AFailedExpectationNamesWhatWasFound) {
    SessionRun run = RunText(std::string(kOneElephant) + "expect objects 1\nexpect objects 3\nframes 1\n");
    EXPECT_EQ(run.Error(), "s.session:6: expect objects 3: the current scenery holds 1 object");
    EXPECT_EQ(run.transcript.find("   7  frames 1"), std::string::npos) << "nothing runs after the error";
    EXPECT_NE(run.transcript.find("stopping the editor"), std::string::npos);
    EXPECT_TRUE(fs::exists(PathOf("scenery-001.tsc"))) << "the editor still stops and saves";
}

TEST_F(RunErrors, TheScaleOfAFixedScaleObjectCannotBeTyped) {
    SessionRun run =
        RunText("start\ndialog group \"Aircraft\" object \"B737 Delta\" scale 120 ok\nkey Ctrl+Insert\n");
    EXPECT_EQ(run.Error(),
              "s.session:2: dialog: scale \"120\": the scale field is disabled (a fixed-scale object)");
    EXPECT_FALSE(fs::exists(PathOf("scenery-001.tsc"))) << "the dialog was closed, nothing added";
}

TEST_F(RunErrors, AnObjectOutsideTheShownGroupCannotBeChosen) {
    SessionRun run = RunText(std::string(kOneElephant) + "dialog object \"B737 Delta\" ok\nkey Ctrl+Enter\n");
    EXPECT_EQ(run.Error(),
              "s.session:5: dialog: object \"B737 Delta\": no such item in the object list (40 items, group "
              "\"Animals\")");
}

TEST_F(RunErrors, EachExpectationReportsItsFinding) {
    struct Case {
        const char* line;
        const char* error;
    };
    const Case cases[] = {
        {"expect selected \"Cat\"", "expect selected \"Cat\": selected: Elephant 1"},
        {"expect selected none", "expect selected none: selected: Elephant 1"},
        {"expect box 5", "expect box 5: no box has been shown"},
        {"expect boxes 1", "expect boxes 1: 0 boxes were shown"},
        {"expect file scenery-001.tsc", "expect file scenery-001.tsc: no file "},
        {"expect scale 100", "expect scale 100: the scale is 220%"},
        {"expect scale fixed", "expect scale fixed: the scale is 220%"},
        {"expect marker on-selection", "expect marker on-selection: no marker has been drawn"},
        {"expect running no", "expect running no: the editor runs"},
        {"expect scenery none", "expect scenery none: the current scenery is scenery-001.tsc"},
        {"expect heading 90", "expect heading 90: the heading is 0.00"},
        {"expect position lat 46 lon 8 within 10",
         "expect position lat 46 lon 8 within 10: the object is at lat "},
    };
    for (const Case& c : cases) {
        SessionRun run = RunText(std::string(kOneElephant) + c.line + "\n");
        EXPECT_EQ(run.Error().rfind(std::string("s.session:5: ") + c.error, 0), 0u) << run.Error();
        fs::remove_all(folder);
    }
}

TEST_F(RunErrors, ANonStrictRunNotesDeviationsAndGoesOn) {
    sim::SessionOptions options = Options();
    options.strict = false;
    SessionRun run = RunText(
        std::string(kOneElephant) + "expect objects 3\nkey Ctrl+Enter\nanswer yes\nexpect objects 1\n",
        options);
    EXPECT_TRUE(run.result.ok()) << run.Error();
    ASSERT_EQ(run.result.deviations.size(), 3u);
    EXPECT_EQ(run.result.deviations[0].line, 5) << run.result.deviations[0].message;
    EXPECT_EQ(run.result.deviations[1].line, 6) << run.result.deviations[1].message;
    EXPECT_EQ(run.result.deviations[2].line, 7) << run.result.deviations[2].message;
    EXPECT_TRUE(fs::exists(PathOf("scenery-001.tsc")));
}

class Configuration : public SessionTest {};

TEST_F(Configuration, TheCommandLineFolderWinsOverTheScripts) {
    std::string scripted = root + "/scripted";
    SessionRun run = RunText("sceneries " + scripted + "\n" + kOneElephant);
    EXPECT_TRUE(run.result.ok()) << run.Error();
    EXPECT_EQ(run.result.sceneryFolder, folder);
    EXPECT_TRUE(fs::exists(PathOf("scenery-001.tsc")));
    EXPECT_FALSE(fs::exists(scripted));
}

TEST_F(Configuration, TheScriptsFolderIsCreatedWhenMissing) {
    std::string scripted = root + "/made/for/it";
    sim::SessionOptions options = Options();
    options.sceneryFolder.reset();
    SessionRun run = RunText("sceneries " + scripted + "\n" + kOneElephant, options);
    EXPECT_TRUE(run.result.ok()) << run.Error();
    EXPECT_TRUE(fs::exists(scripted + "/scenery-001.tsc"));
    EXPECT_NE(run.transcript.find("(new folder)"), std::string::npos);
}

TEST_F(Configuration, AFolderThatCannotBeMadeIsAnError) {
    std::ofstream(root + "/file") << "x";
    sim::SessionOptions options = Options();
    options.sceneryFolder = root + "/file/below";
    SessionRun run = RunText("note \"first\"\nstart\n", options);
    EXPECT_EQ(run.Error().rfind("s.session:2: cannot create the scenery folder " + root + "/file/below", 0),
              0u)
        << run.Error();
}

TEST_F(Configuration, TheScriptsLanguageAppliesWithoutAnOption) {
    sim::SessionOptions options = Options();
    options.language.reset();
    SessionRun run = RunText("language de\nstart\nkey Ctrl+Up\nexpect box 8\n", options);
    EXPECT_TRUE(run.result.ok()) << run.Error();
    ASSERT_EQ(run.result.boxes.size(), 1u);
    EXPECT_EQ(run.result.boxes[0].title, "Orvanta Editor - Achtung");
}

TEST_F(Configuration, TheLanguageOptionWinsOverTheScripts) {
    sim::SessionOptions options = Options();
    options.language = platform::LANGUAGE_ITALIAN;
    SessionRun run = RunText("language de\nstart\nkey Ctrl+Up\n", options);
    ASSERT_EQ(run.result.boxes.size(), 1u);
    EXPECT_EQ(run.result.boxes[0].title, "Orvanta Editor - AVVISO");
}

// The module stays loaded in this process from one session to the next,
// as it would not in a real host; a session without the player must still
// find no player rather than the last one's. Run apart, so that a stale
// pointer cannot take the other tests down with it.
TEST_F(Configuration, ASessionWithoutThePlayerAfterOneWithItCannotStart) {
    EXPECT_EXIT(
        {
            RunText(kOneElephant);
            SessionRun run = RunText("player absent\nstart\nexpect box init-failed\nexpect running no\n");
            fprintf(stderr, "%s\n", run.Error().c_str());
            exit(run.result.ok() ? 0 : 1);
        },
        testing::ExitedWithCode(0), "^\n$");
}

class Transcript : public SessionTest {};

TEST_F(Transcript, ShowsBoxesIndentedWithoutTheirBlankLines) {
    SessionRun run = RunText("start\nkey Ctrl+Up\n");
    EXPECT_NE(run.transcript.find(
                  "   2  key Ctrl+Up\n"
                  "      box \"Orvanta Editor - Warning\" (text 8; OK)\n"
                  "          To carry out this action, a selected scenery and a selected object are "
                  "required.\n"),
              std::string::npos)
        << run.transcript;
}

TEST_F(Transcript, ShowsTheDialogAndWhatTheUserDidInIt) {
    SessionRun run =
        RunText(std::string(kOneElephant) + "dialog scale 150 distance 2500 help ok\nkey Ctrl+Enter\n");
    ASSERT_TRUE(run.result.ok()) << run.Error();
    const std::string& t = run.transcript;
    EXPECT_NE(t.find("dialog 102 \"Orvanta: Object Properties\": ADDING A NEW OBJECT"), std::string::npos)
        << t;
    EXPECT_NE(
        t.find("user: object \"Elephant 1\" -> object \"Elephant 1\", scale \"220\", distance \"1800\", "
               "preview QIRO\\TAVU\\BMP\\Elephant_1.BMP"),
        std::string::npos)
        << t;
    EXPECT_NE(
        t.find("dialog 102 \"Orvanta: Object Properties\": OBJECT PROPERTIES\n"
               "        shows group \"Animals\", object \"Elephant 1\", scale \"220\", distance \"1800\""),
        std::string::npos)
        << t;
    EXPECT_NE(t.find("user: help -> help QIRO\\TAVU\\TAVU.CHM /DlgObjProp.htm"), std::string::npos) << t;
    EXPECT_NE(t.find("user: ok\n        dialog ended: OK"), std::string::npos) << t;
}

TEST_F(Transcript, ShowsSelectionPositionMarkerAndSaves) {
    SessionRun run =
        RunText(std::string(kOneElephant) + "key Ctrl+Up\nframes 3\nkey Ctrl+Shift+Right\nstop\n");
    ASSERT_TRUE(run.result.ok()) << run.Error();
    const std::string& t = run.transcript;
    EXPECT_NE(
        t.find("scenery scenery-001.tsc (no file yet), 1 object\n"
               "      selected #0 of 1: Elephant 1 (Animals)\n"
               "      #0 at lat 46.000450 lon 8.000000 alt 0.00 m, 50.0 m from the aircraft; heading 0.0 "
               "pitch 0.0 bank 0.0; scale 220%\n"),
        std::string::npos)
        << t;
    EXPECT_NE(t.find("   6  frames 3\n      #0 at lat 46.000450"), std::string::npos) << t;
    EXPECT_NE(t.find(", on the selected object\n"), std::string::npos) << t;
    EXPECT_NE(t.find("   7  key Ctrl+Shift+Right\n      saved " + PathOf("scenery-001.tsc") +
                     " (124 bytes, 1 object)\n"),
              std::string::npos)
        << t;
    EXPECT_EQ(run.result.saves, 1);
}

TEST_F(Transcript, TheEditorStillRunningAtTheEndIsStoppedAndSaysSo) {
    SessionRun run = RunText(kOneElephant);
    ASSERT_TRUE(run.result.ok()) << run.Error();
    EXPECT_NE(run.transcript.find("end of script: stopping the editor so that everything is saved\n"
                                  "      saved " +
                                  PathOf("scenery-001.tsc") +
                                  " (124 bytes, 1 object)\n"
                                  "      editor stopped\n"),
              std::string::npos)
        << run.transcript;
    EXPECT_TRUE(fs::exists(PathOf("scenery-001.tsc")));
}

TEST_F(Transcript, AMarkerAwayFromTheSelectionIsReportedAsSuch) {
    // The marker stands where the last frame drew it; cycling moves the
    // selection without a frame.
    SessionRun run =
        RunText(std::string(kOneElephant) +
                "slew right 100\ndialog group \"Animals\" object \"Cat\" ok\nkey Ctrl+Insert\nframes 1\n"
                "expect marker on-selection\nkey Ctrl+Shift+Right\nexpect marker off-selection\n"
                "frames 1\nexpect marker on-selection\n");
    EXPECT_TRUE(run.result.ok()) << run.Error() << run.transcript;
}

}  // namespace
