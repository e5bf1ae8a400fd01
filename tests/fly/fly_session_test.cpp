// The fly session as a person uses it, without a terminal: keys and the
// passing of time go in through a scripted console, the screens it shows are
// read back as text, and what reaches the editor is checked in the
// simulator and in the scenery files.
#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>

#include <cmath>
#include <fstream>
#include <numbers>

#include "catalog/catalog.h"
#include "placement/edit_state.h"
#include "platform/native.h"
#include "platform/resources.h"
#include "sim/geodesy.h"
#include "sim/scenery_file.h"
#include "sim/transcript.h"
#include "tests/fly/fly_support.h"
#include "tools/tavu/scenery_info.h"

namespace {

namespace fs = std::filesystem;
using flytest::ScriptConsole;
using tavu::fly::FlyOptions;
using tavu::fly::FlySession;
using tavu::fly::Key;
using tavu::fly::KeyId;

constexpr double kMetresPerDegree = std::numbers::pi / 180.0 * 6371000.0;

// Where a glyph stands on the map (rows between the title and the status).
std::pair<int, int> FindOnMap(const tavu::fly::Screen& screen, char32_t glyph) {
    for (int y = 1; y < screen.height() - 5; ++y) {
        for (int x = 0; x < screen.width(); ++x) {
            if (screen.At(x, y).ch == glyph) {
                return {x, y};
            }
        }
    }
    return {-1, -1};
}

class FlySessionTest : public flytest::FolderTest {
  protected:
    // Each session meets the module as freshly loaded: its edit state (the
    // dialog's last group and object among it) starts at zero.
    FlySessionTest() { state = EditState{}; }

    FlySession& Start(ScriptConsole& console, bool playerPresent = true) {
        FlyOptions options;
        options.sceneryFolder = folder;
        options.language = platform::LANGUAGE_ENGLISH;
        options.dataFolder = TAVU_DATA_DIR;
        options.playerPresent = playerPresent;
        sessions.push_back(std::make_unique<FlySession>(options, console));
        std::string error;
        EXPECT_TRUE(sessions.back()->Start(&error)) << error;
        return *sessions.back();
    }
    // The group list opens on "Aircraft": Animals is the sixth group, Cat
    // the third animal; Home first, as the dialog opens on the last choice.
    void AddCat() {
        console.Type("i").Press(KeyId::Home).Press(KeyId::Down, 5).Press(KeyId::Tab);
        console.Press(KeyId::Home).Press(KeyId::Down, 2).Press(KeyId::Enter).Wait(100);
    }
    std::vector<ObjectRecord> Saved() {
        std::string bytes = flytest::ReadFileText(folder + "/scenery-001.tsc");
        return sim::ReadSceneryFile(std::vector<uint8_t>(bytes.begin(), bytes.end())).records;
    }
    ScriptConsole console, again;
    std::vector<std::unique_ptr<FlySession>> sessions;
};

TEST_F(FlySessionTest, AnObjectIsAddedMovedKeptSavedOnQuitAndThenDeletedWithItsFile) {
    FlySession& session = Start(console);
    std::pair<int, int> aircraft, cat;
    console.Check([&] { aircraft = FindOnMap(console.Shown(), U'↑'); }).Expect({"no scenery"});
    console.Type("i").Press(KeyId::Down, 5).Press(KeyId::Tab).Press(KeyId::Down, 2);
    // 25 %: the cat's default scale.
    console.Expect({"ADDING A NEW OBJECT", "Group:  [Animals", "Object: [Cat ", "[      25] %"});
    console.Press(KeyId::Enter).Wait(100).Check([&] {
        cat = FindOnMap(console.Shown(), U'a');
        // 50 m ahead on heading 10: five rows up, a little to the right.
        EXPECT_EQ(cat.second, aircraft.second - 5) << console.Text();
        EXPECT_GT(cat.first, aircraft.first) << "the aircraft points north, heading 10";
        EXPECT_EQ(console.Shown().At(cat.first - 1, cat.second).ch, U'[') << "the marker stands on it";
    });
    console.Expect({"scenery-001.tsc: 1 object", "Selected #0 of 1: Cat (Animals)", "scale 25 %  range 150 m",
                    "Cat (Animals), 50 m N"});
    // Up doubles the forward speed each time; four seconds of frames.
    console.Press(KeyId::Up, 10).Wait(4000).Check([&] {
        std::pair<int, int> moved = FindOnMap(console.Shown(), U'a');
        EXPECT_LT(moved.second, cat.second - 1) << "the cat ran north\n" << console.Text();
        EXPECT_EQ(console.Shown().At(moved.first - 1, moved.second).ch, U'[') << "the marker follows it";
    });
    console.Expect({"20.0 fps"}).Type("c").Wait(200).Type("x").Expect({"at rest", "[ Yes ]   [ No ]"});
    console.Type("n").Wait(100).Expect({"1 object"}).Expect({"remove the last object"}, false);
    // No to quitting goes on; the second time Yes.
    console.Type("q").Expect({"Quit tavu fly"}).Type("nqy");
    session.Run();
    EXPECT_TRUE(console.Done()) << "the session read every key";
    EXPECT_FALSE(session.EditorRunning()) << "quitting stops the editor";
    EXPECT_EQ(session.Summary(),
              "tavu fly: editor stopped; saved 1 scenery file in " + folder + ": scenery-001.tsc (1 object)");
    ASSERT_EQ(Saved().size(), 1u);
    EXPECT_STREQ(ObjectCatalog.entries[tavu::FindEntry(Saved()[0].objectKey).value().entry].name, "Cat");
    double north = (sim::LatitudeOf(Saved()[0].lat) - tavu::fly::kDefaultLatitude) * kMetresPerDegree;
    EXPECT_GT(north, 60.0) << "saved where it stopped, well past the 50 m it was placed at";

    FlySession& second = Start(again);
    again.Expect({"Selected #0 of 1: Cat"}).Type("x").Expect({"remove the last object"});
    again.Type("y").Wait(100).Expect({"Nothing selected"});
    second.Run();
    EXPECT_FALSE(fs::exists(folder + "/scenery-001.tsc"));
    EXPECT_EQ(second.Summary(), "tavu fly: editor stopped; removed from " + folder + ": scenery-001.tsc");
}

TEST_F(FlySessionTest, TheAircraftSlewsTheMapZoomsAndChordsAndBoxesReachTheEditor) {
    FlySession& session = Start(console);
    sim::Simulator& sim = session.simulator();
    double lat = sim.LatitudeDegrees();
    // Two turns right, one left, a step forward.
    console.Type("..,w").Check([&] {
        EXPECT_NEAR(sim.HeadingDegrees(), 25.0, 0.01);
        EXPECT_GE(FindOnMap(console.Shown(), U'↗').first, 0) << console.Text();
        EXPECT_NEAR((sim.LatitudeDegrees() - lat) * kMetresPerDegree,
                    10 * std::cos(25 * std::numbers::pi / 180), 0.01)
            << "a step is two columns of 5 m";
    });
    console.Type("+").Expect({"2 m per column, 4 m per row"}).Type("---").Expect({"20 m per column"});
    console.Type("rR").Check([&] { EXPECT_NEAR(sim.AltitudeMetres(), 281 + 40 + 400, 0.01); });
    console.Type("p").Wait(200).Expect({"paused"}).Type("p").Wait(200).Expect({"paused"}, false);
    console.Type("h").Expect({"forward speed + / -"});
    // Nothing selected: the editor warns, and its box stays until Enter.
    console.Press(KeyId::Escape).Press(KeyId::Up).Type("zz").Expect({"To carry out this action"});
    console.Press(KeyId::Enter).Expect({"To carry out this action"}, false);
    AddCat();
    console.Type("}[").Expect({"scale 34 %"});  // +10, then -1
    // A second cat beside the aircraft's new place, then back to the first.
    console.Type("D");
    AddCat();
    console.Type("<").Expect({"Selected #0 of 2: Cat"});
    console.Press(Key::Of(KeyId::Right, true)).Expect({"Selected #1 of 2: Cat"});
    console.Type("66666666").Wait(1000).Type("c").Check([&] {
        EXPECT_GT(sim::AngleToDegrees(sim.SelectedRecord()->heading), 5.0) << "heading + turned it clockwise";
    });
    // Ctrl+F1: the help topic in a box that scrolls to its end.
    console.Press(KeyId::F1).Expect({"Key commands (1-19 of", "Ctrl+Up / Ctrl+Down"});
    console.Press(KeyId::End).Expect({"WHEN THE SCENERY FILE IS SAVED", "save tries again."});
    console.Press(KeyId::Escape).Expect({"help: Key commands"});
    console.Press(Key::Ctrl('c')).Type("x");
    session.Run();
    EXPECT_FALSE(console.Done()) << "Ctrl+C quits without asking";
    EXPECT_FALSE(session.EditorRunning());
    ASSERT_EQ(Saved().size(), 2u);
    EXPECT_EQ(Saved()[0].scale, 6553600u / 34) << "the rescaled first cat was saved";
}

TEST_F(FlySessionTest, TheDialogIsDrivenFromTheKeyboard) {
    FlySession& session = Start(console);
    // "B737 Air France", the first aircraft, has a fixed scale: Tab skips
    // its disabled scale field and lands on the distance field.
    console.Type("i")
        .Press(KeyId::Tab, 2)
        .Expect({"Scale:         [      --] %", "Max. distance: [    1400]"});
    // The first digit replaces the text the field was reached with.
    console.Type("25x").Expect({"[     25_]", "digits only"});
    // Help shows its topic over the dialog, which is as it was after Esc.
    console.Press(KeyId::Backspace).Type("00h").Expect({"The Object Properties dialog", "Title line     ADDING A NEW"});
    console.Press(KeyId::Escape).Expect({"[    200_]"});
    console.Press(KeyId::Enter).Wait(100).Expect({"range 200 m"});
    // Editing: Escape leaves the object as it was; so does Enter on Cancel.
    console.Type("e").Expect({"OBJECT PROPERTIES"}).Press(KeyId::Down, 3);
    console.Press(KeyId::Escape).Expect({"dialog ended: Cancel"});
    console.Type("i").Press(KeyId::BackTab, 2).Press(KeyId::Enter);
    console.Expect({"dialog ended: Cancel", "B737 Air France (Aircraft)", ": 1 object"});
    // The input ends inside the dialog: it is cancelled and the session stops.
    console.Type("i").Press(KeyId::Down, 5);
    session.Run();
    EXPECT_FALSE(session.EditorRunning());
    ASSERT_EQ(Saved().size(), 1u);
    EXPECT_EQ(Saved()[0].maxDistance, 200);
}

// A folder that is a file is refused. Without the player the editor refuses
// to start and the session goes on; a file the player skips is named (the
// name made harmless, the note cut to the screen's width) and left alone.
// A folder that cannot take a file is named at the start, and the save that
// then fails at the end.
TEST_F(FlySessionTest, AnUnwritableFolderIsNamedAtTheStartAndItsFailedSaveAtTheEnd) {
    fs::create_directories(folder);
    platform::SetFileFaults({.failCreate = 1, .failMove = 1});  // the start's probe, then the save
    AddCat();
    console.Type("q").Type("y").Expect({"Could not save the current scenery file!"}).Press(KeyId::Enter);
    FlySession& session = Start(console);
    EXPECT_EQ(session.Note(), "warning: " + session.SceneryFolder() + " cannot be written (" +
                                  strerror(EACCES) + "): saves will fail");
    session.Run();
    platform::ClearFileFaults();
    EXPECT_EQ(sim::FailedWriteLines(session.simulator()),
              std::vector<std::string>{"1 save failed: scenery-001.tsc: " + std::string(strerror(EACCES))});
}

TEST_F(FlySessionTest, AwkwardStartsAreSurvived) {
    { std::ofstream(root + "/plain") << "x"; }
    FlyOptions options;
    options.sceneryFolder = root + "/plain";
    std::string error;
    EXPECT_FALSE(FlySession(options, console).Start(&error));
    EXPECT_NE(error.find("is not a folder"), std::string::npos) << error;

    fs::create_directories(folder);
    { std::ofstream(folder + "/bro\x1b[2Jken.tsc") << "not a scenery"; }
    // The refusal box shows while the editor starts, before the session loop.
    console.Expect({"Could not properly initialize"})
        .Press(KeyId::Enter)
        .Expect({"bro [2Jken.tsc: not loaded: file is 13 bytes long; the prefix and heade\xe2\x80\xa6"});
    console.Press(KeyId::Up).Expect({"the editor is not running"});
    FlySession& session = Start(console, false);
    session.Run();
    EXPECT_TRUE(console.Done());
    EXPECT_EQ(flytest::ReadFileText(folder + "/bro\x1b[2Jken.tsc"), "not a scenery");
    EXPECT_NE(session.Summary().find("no scenery file changed"), std::string::npos) << session.Summary();
}

}  // namespace
