// The fly session as a person uses it, without a terminal: keys and the
// passing of time go in through a scripted console, the screens it shows are
// read back as text, and what reaches the editor is checked in the
// simulator and in the scenery files.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>

#include "catalog/catalog.h"
#include "placement/edit_state.h"
#include "platform/resources.h"
#include "resources/resource_ids.h"
#include "sim/geodesy.h"
#include "sim/scenery_file.h"
#include "tests/fly/fly_support.h"
#include "tools/tavu/fly_session.h"

namespace {

namespace fs = std::filesystem;
using flytest::FolderTest;
using flytest::ScriptConsole;
using tavu::fly::FlyOptions;
using tavu::fly::FlySession;
using tavu::fly::Key;
using tavu::fly::KeyId;
using tavu::fly::Screen;

const Key kUp = Key::Of(KeyId::Up);
const Key kDown = Key::Of(KeyId::Down);
const Key kTab = Key::Of(KeyId::Tab);
const Key kEnter = Key::Of(KeyId::Enter);
const Key kEscape = Key::Of(KeyId::Escape);
const Key kHome = Key::Of(KeyId::Home);

struct Place {
    int x = -1;
    int y = -1;
    bool found() const { return x >= 0; }
};

// Where a glyph stands on the map (rows between the title and the status).
Place FindOnMap(const Screen& screen, char32_t glyph) {
    for (int y = 1; y < screen.height() - 5; ++y) {
        for (int x = 0; x < screen.width(); ++x) {
            if (screen.At(x, y).ch == glyph) {
                return Place{x, y};
            }
        }
    }
    return {};
}

int CatalogIndex(const char* name) {
    for (int i = 0; i < CATALOG_ENTRY_COUNT; ++i) {
        if (strcmp(ObjectCatalog.entries[i].name, name) == 0) {
            return i;
        }
    }
    return -1;
}

class FlySessionTest : public FolderTest {
  protected:
    // Each session meets the module as freshly loaded: its edit state (the
    // dialog's last group and object among it) starts at zero.
    FlySessionTest() { state = EditState{}; }

    FlyOptions Options() {
        FlyOptions options;
        options.sceneryFolder = folder;
        options.language = platform::LANGUAGE_ENGLISH;
        options.dataFolder = TAVU_DATA_DIR;
        return options;
    }

    // In the object dialog: the sorted group list from its first item, then
    // the object list, then OK.
    void ChooseInDialog(int groupDowns, int objectDowns) {
        // Home first: the dialog opens on the last choice.
        console.Press(kHome)
            .Press(kDown, groupDowns)
            .Press(kTab)
            .Press(kHome)
            .Press(kDown, objectDowns)
            .Press(kEnter);
    }
    // Aircraft group 0 "Aircraft", Animals is the sixth group, Cat the
    // third animal.
    void AddCat() {
        console.Type("i");
        ChooseInDialog(5, 2);
    }

    sim::SceneryFile ReadFile(const std::string& name) {
        std::optional<std::vector<uint8_t>> bytes = sim::ReadFileBytes(folder + "/" + name, 1 << 20, nullptr);
        EXPECT_TRUE(bytes.has_value()) << name;
        return sim::ReadSceneryFile(bytes ? *bytes : std::vector<uint8_t>{});
    }

    ScriptConsole console;
};

TEST_F(FlySessionTest, AnObjectAddedMovedKeptAndSavedOnQuit) {
    FlySession session(Options(), console);
    std::string error;
    ASSERT_TRUE(session.Start(&error)) << error;

    Place aircraft;
    Place cat;
    console.Check([&] {
        EXPECT_TRUE(console.Shows("editor running")) << console.Text();
        EXPECT_TRUE(console.Shows("no scenery")) << console.Text();
        aircraft = FindOnMap(console.Shown(), U'↑');
        EXPECT_TRUE(aircraft.found()) << "heading 10 draws the aircraft pointing north\n" << console.Text();
    });
    console.Type("i");
    console.Check([&] {
        EXPECT_TRUE(console.Shows("ADDING A NEW OBJECT")) << console.Text();
        EXPECT_TRUE(console.Shows("Group:  [Aircraft")) << console.Text();
    });
    console.Press(kDown, 5).Press(kTab).Press(kDown, 2);
    console.Check([&] {
        EXPECT_TRUE(console.Shows("Group:  [Animals")) << console.Text();
        EXPECT_TRUE(console.Shows("Object: [Cat ")) << console.Text();
        EXPECT_TRUE(console.Shows("[      25] %")) << "the cat's default scale\n" << console.Text();
    });
    console.Press(kEnter).Wait(100);
    console.Check([&] {
        const Screen& screen = console.Shown();
        cat = FindOnMap(screen, U'a');
        ASSERT_TRUE(cat.found()) << console.Text();
        // 50 m ahead on heading 10: five rows up, a little to the right.
        EXPECT_EQ(cat.y, aircraft.y - 5) << console.Text();
        EXPECT_GT(cat.x, aircraft.x);
        EXPECT_EQ(screen.At(cat.x - 1, cat.y).ch, U'[') << "the marker stands on the new object";
        EXPECT_EQ(screen.At(cat.x + 1, cat.y).ch, U']');
        EXPECT_TRUE(console.Shows("scenery-001.tsc: 1 object")) << console.Text();
        EXPECT_TRUE(console.Shows("Selected #1 of 1: Cat (Animals)")) << console.Text();
        EXPECT_TRUE(console.Shows("scale 25 %  range 150 m")) << console.Text();
        EXPECT_TRUE(console.Shows("Cat (Animals), 50 m N")) << console.Text();
    });
    // Up doubles the forward speed each time; four seconds of frames.
    console.Press(kUp, 10).Wait(4000);
    console.Check([&] {
        Place moved = FindOnMap(console.Shown(), U'a');
        ASSERT_TRUE(moved.found()) << console.Text();
        EXPECT_LT(moved.y, cat.y - 1) << "the cat ran north\n" << console.Text();
        EXPECT_EQ(console.Shown().At(moved.x - 1, moved.y).ch, U'[') << "the marker follows it";
        EXPECT_TRUE(console.Shows(" m/s")) << console.Text();
        EXPECT_TRUE(console.Shows("20.0 fps")) << console.Text();
    });
    console.Type("c").Wait(200);
    console.Check([&] { EXPECT_TRUE(console.Shows("at rest")) << console.Text(); });
    console.Type("x");
    console.Check([&] {
        EXPECT_TRUE(console.Shows("remove the last object")) << console.Text();
        EXPECT_TRUE(console.Shows("[ Yes ]   [ No ]")) << console.Text();
    });
    console.Type("n").Wait(100);
    console.Check([&] {
        EXPECT_FALSE(console.Shows("remove the last object")) << "the box is gone";
        EXPECT_TRUE(console.Shows("1 object")) << "No keeps it\n" << console.Text();
    });
    console.Type("q");
    console.Check([&] { EXPECT_TRUE(console.Shows("Quit tavu fly")) << console.Text(); });
    console.Type("y");

    session.Run();

    EXPECT_TRUE(console.Done()) << "the session read every key";
    EXPECT_FALSE(session.EditorRunning()) << "quitting stops the editor";
    EXPECT_NE(session.Summary().find("saved 1 scenery file"), std::string::npos) << session.Summary();
    EXPECT_NE(session.Summary().find("scenery-001.tsc (1 object)"), std::string::npos) << session.Summary();
    sim::SceneryFile file = ReadFile("scenery-001.tsc");
    ASSERT_TRUE(file.ok());
    ASSERT_EQ(file.records.size(), 1u);
    const ObjectRecord& record = file.records[0];
    EXPECT_EQ(memcmp(record.objectKey, ObjectCatalog.entries[CatalogIndex("Cat")].objectKey, 16), 0);
    double startLat = 46.0043;
    double northMetres = (sim::LatitudeOf(record.lat) - startLat) * 3.14159265358979 / 180.0 * 6371000.0;
    EXPECT_GT(northMetres, 60.0) << "saved where it stopped, well past the 50 m it was placed at";
}

TEST_F(FlySessionTest, YesToRemovingTheLastObjectDeletesTheFile) {
    std::string error;
    {
        FlySession session(Options(), console);
        ASSERT_TRUE(session.Start(&error)) << error;
        AddCat();
        console.Wait(100).Type("q").Type("y");
        session.Run();
    }
    ASSERT_TRUE(fs::exists(folder + "/scenery-001.tsc"));

    ScriptConsole again;
    FlySession second(Options(), again);
    ASSERT_TRUE(second.Start(&error)) << error;
    again.Check([&] { EXPECT_TRUE(again.Shows("Selected #1 of 1: Cat")) << "reloaded\n" << again.Text(); });
    again.Type("x");
    again.Check([&] { EXPECT_TRUE(again.Shows("remove the last object")) << again.Text(); });
    again.Type("y").Wait(100);
    again.Check([&] { EXPECT_TRUE(again.Shows("Nothing selected")) << again.Text(); });
    again.Type("q").Type("y");
    second.Run();
    EXPECT_FALSE(fs::exists(folder + "/scenery-001.tsc"));
    EXPECT_NE(second.Summary().find("removed from " + fs::absolute(folder).string() + ": scenery-001.tsc"),
              std::string::npos)
        << second.Summary();
}

TEST_F(FlySessionTest, ChordsReachTheEditorAndItsBoxesWaitForTheUser) {
    FlySession session(Options(), console);
    std::string error;
    ASSERT_TRUE(session.Start(&error)) << error;
    // Nothing selected: the editor warns, and the box stays until Enter.
    console.Press(kUp);
    console.Check([&] { EXPECT_TRUE(console.Shows("To carry out this action")) << console.Text(); });
    console.Type("zz");
    console.Check([&] {
        EXPECT_TRUE(console.Shows("To carry out this action")) << "other keys leave the box open\n"
                                                               << console.Text();
    });
    console.Press(kEnter);
    console.Check([&] { EXPECT_FALSE(console.Shows("To carry out this action")) << console.Text(); });
    AddCat();
    console.Wait(100).Type("}");
    console.Check([&] {
        EXPECT_TRUE(console.Shows("scale 35 %")) << "Shift variant: +10\n" << console.Text();
    });
    console.Type("[");
    console.Check([&] { EXPECT_TRUE(console.Shows("scale 34 %")) << console.Text(); });
    // A second cat beside the aircraft's new place, then back to the first.
    console.Type("D");
    AddCat();
    console.Wait(100);
    console.Check([&] { EXPECT_TRUE(console.Shows("Selected #2 of 2: Cat")) << console.Text(); });
    console.Type("<");
    console.Check([&] { EXPECT_TRUE(console.Shows("Selected #1 of 2: Cat")) << console.Text(); });
    console.Press(Key::Of(KeyId::Right, true));
    console.Check([&] { EXPECT_TRUE(console.Shows("Selected #2 of 2: Cat")) << console.Text(); });
    // Heading + eight times, then a second for it to turn.
    console.Type("66666666").Wait(1000).Type("c");
    console.Check([&] {
        const ObjectRecord* record = session.simulator().SelectedRecord();
        ASSERT_NE(record, nullptr);
        EXPECT_GT(sim::AngleToDegrees(record->heading), 5.0) << "heading + turned it clockwise";
    });
    console.Press(Key::Of(KeyId::F1));
    console.Check([&] {
        ASSERT_FALSE(session.simulator().host().HelpRequests().empty());
        EXPECT_TRUE(console.Shows("help requested")) << console.Text();
    });
    session.Run();
    EXPECT_FALSE(session.EditorRunning()) << "the input ended: the session stops the editor";
    sim::SceneryFile file = ReadFile("scenery-001.tsc");
    ASSERT_EQ(file.records.size(), 2u);
    EXPECT_EQ(file.records[0].scale, 6553600u / 34) << "the rescaled first cat was saved";
}

TEST_F(FlySessionTest, TheDialogIsDrivenFromTheKeyboard) {
    FlySession session(Options(), console);
    std::string error;
    ASSERT_TRUE(session.Start(&error)) << error;
    console.Type("i");
    // "B737 Air France", the first aircraft, has a fixed scale: Tab skips
    // its disabled scale field and lands on the distance field.
    console.Press(kTab).Press(kTab);
    console.Check([&] {
        EXPECT_TRUE(console.Shows("Scale:         [      --] %")) << console.Text();
        EXPECT_TRUE(console.Shows("Max. distance: [    1400]")) << "selected, ready to be replaced\n"
                                                                << console.Text();
    });
    console.Type("25x");
    console.Check([&] {
        EXPECT_TRUE(console.Shows("[     25_]")) << "the first digit replaced the text\n" << console.Text();
        EXPECT_TRUE(console.Shows("digits only")) << console.Text();
    });
    console.Press(Key::Of(KeyId::Backspace)).Type("00");
    console.Check([&] { EXPECT_TRUE(console.Shows("[    200_]")) << console.Text(); });
    console.Type("h");
    console.Check([&] {
        EXPECT_TRUE(console.Shows("help requested: QIRO\\TAVU\\TAVU.CHM /DlgObjProp.htm")) << console.Text();
    });
    console.Press(kEnter).Wait(100);
    console.Check([&] {
        EXPECT_TRUE(console.Shows("B737 Air France (Aircraft)")) << console.Text();
        EXPECT_TRUE(console.Shows("range 200 m")) << console.Text();
    });
    // Editing: Escape leaves the object as it was.
    console.Type("e");
    console.Check([&] { EXPECT_TRUE(console.Shows("OBJECT PROPERTIES")) << console.Text(); });
    console.Press(kDown, 3).Press(kEscape);
    console.Check([&] {
        EXPECT_TRUE(console.Shows("dialog ended: Cancel")) << console.Text();
        EXPECT_TRUE(console.Shows("B737 Air France (Aircraft)")) << console.Text();
    });
    // Enter on Cancel cancels rather than confirming.
    console.Type("i").Press(Key::Of(KeyId::BackTab), 2).Press(kEnter);
    console.Check([&] {
        EXPECT_TRUE(console.Shows("dialog ended: Cancel")) << console.Text();
        EXPECT_TRUE(console.Shows(": 1 object")) << console.Text();
    });
    session.Run();
    sim::SceneryFile file = ReadFile("scenery-001.tsc");
    ASSERT_EQ(file.records.size(), 1u);
    EXPECT_EQ(file.records[0].maxDistance, 200);
}

TEST_F(FlySessionTest, InputEndingInsideTheDialogCancelsItAndStillStops) {
    FlySession session(Options(), console);
    std::string error;
    ASSERT_TRUE(session.Start(&error)) << error;
    console.Type("i").Press(kDown, 5);
    session.Run();
    EXPECT_FALSE(session.EditorRunning());
    EXPECT_TRUE(fs::is_empty(folder)) << "the cancelled dialog added nothing, so nothing was saved";
    EXPECT_NE(session.Summary().find("no scenery file changed"), std::string::npos) << session.Summary();
}

TEST_F(FlySessionTest, TheAircraftSlewsTurnsAndTheMapZooms) {
    FlySession session(Options(), console);
    std::string error;
    ASSERT_TRUE(session.Start(&error)) << error;
    sim::Simulator& sim = session.simulator();
    double lat = sim.LatitudeDegrees();
    console.Type("...");
    console.Check([&] {
        EXPECT_NEAR(sim.HeadingDegrees(), 55.0, 0.01);
        EXPECT_TRUE(FindOnMap(console.Shown(), U'↗').found()) << console.Text();
    });
    console.Type(",,,w");
    console.Check([&] {
        EXPECT_NEAR(sim.HeadingDegrees(), 10.0, 0.01);
        double north = (sim.LatitudeDegrees() - lat) * 3.14159265358979 / 180.0 * 6371000.0;
        EXPECT_NEAR(north, 10.0 * std::cos(10.0 * 3.14159265358979 / 180.0), 0.01)
            << "a step is two columns of 5 m";
    });
    console.Type("+");
    console.Check([&] { EXPECT_TRUE(console.Shows("2 m per column, 4 m per row")) << console.Text(); });
    console.Type("---");
    console.Check([&] { EXPECT_TRUE(console.Shows("20 m per column")) << console.Text(); });
    console.Type("rR");
    console.Check([&] { EXPECT_NEAR(sim.AltitudeMetres(), 281 + 40 + 400, 0.01); });
    console.Type("p").Wait(200);
    console.Check(
        [&] { EXPECT_NE(console.Shown().Line(0).find("paused"), std::string::npos) << console.Text(); });
    console.Type("p").Wait(200);
    console.Check(
        [&] { EXPECT_EQ(console.Shown().Line(0).find("paused"), std::string::npos) << console.Text(); });
    session.Run();
}

TEST_F(FlySessionTest, FitsSmallAndLargeTerminalsAndFollowsAResize) {
    FlySession session(Options(), console);
    std::string error;
    ASSERT_TRUE(session.Start(&error)) << error;
    AddCat();
    console.Wait(100).Check([&] {
        const Screen& screen = console.Shown();
        ASSERT_EQ(screen.width(), 80);
        ASSERT_EQ(screen.height(), 24);
        EXPECT_NE(screen.Line(0).find("tavu fly"), std::string::npos);
        EXPECT_NE(screen.Line(23).find("q quit"), std::string::npos) << "help on the last row";
        for (int y = 0; y < 24; ++y) {
            EXPECT_LE(tavu::fly::TextWidth(screen.Line(y)), 80) << y;
        }
        console.Resize(132, 40);
    });
    console.Press(Key::Of(KeyId::Resize));
    console.Check([&] {
        const Screen& screen = console.Shown();
        EXPECT_EQ(screen.width(), 132);
        EXPECT_EQ(screen.height(), 40);
        EXPECT_NE(screen.Line(39).find("+ - zoom"), std::string::npos) << "room for every hint";
        EXPECT_TRUE(FindOnMap(screen, U'a').found());
    });
    console.Type("h");
    console.Check([&] {
        EXPECT_TRUE(console.Shows("Keys of tavu fly")) << console.Text();
        EXPECT_TRUE(console.Shows("forward speed + / -")) << console.Text();
    });
    console.Press(kEscape);
    console.Check([&] { EXPECT_FALSE(console.Shows("Keys of tavu fly")); });
    session.Run();
}

TEST_F(FlySessionTest, WithoutThePlayerTheEditorRefusesAndTheSessionGoesOn) {
    FlyOptions options = Options();
    options.playerPresent = false;
    // The refusal box shows while the editor starts: answered before the
    // session loop runs.
    console.Check(
        [&] { EXPECT_TRUE(console.Shows("Could not properly initialize the editor")) << console.Text(); });
    console.Press(kEnter);
    FlySession session(options, console);
    std::string error;
    ASSERT_TRUE(session.Start(&error)) << error;
    EXPECT_FALSE(session.EditorRunning());
    console.Press(kUp);
    console.Check([&] {
        EXPECT_TRUE(console.Shows("editor stopped")) << console.Text();
        EXPECT_TRUE(console.Shows("the editor is not running")) << console.Text();
    });
    session.Run();
    EXPECT_NE(session.Summary().find("no scenery file changed"), std::string::npos) << session.Summary();
}

TEST_F(FlySessionTest, AFileThePlayerSkipsIsNamedAndLeftAlone) {
    fs::create_directories(folder);
    { std::ofstream(folder + "/broken.tsc") << "not a scenery"; }
    FlySession session(Options(), console);
    std::string error;
    ASSERT_TRUE(session.Start(&error)) << error;
    console.Check([&] { EXPECT_TRUE(console.Shows("player: ")) << console.Text(); });
    console.Check([&] { EXPECT_TRUE(console.Shows("broken.tsc")) << console.Text(); });
    session.Run();
    EXPECT_EQ(flytest::ReadFileText(folder + "/broken.tsc"), "not a scenery");
    EXPECT_NE(session.Summary().find("no scenery file changed"), std::string::npos) << session.Summary();
}

TEST_F(FlySessionTest, AFolderThatIsAFileIsRefused) {
    { std::ofstream(root + "/plain") << "x"; }
    FlyOptions options = Options();
    options.sceneryFolder = root + "/plain";
    FlySession session(options, console);
    std::string error;
    EXPECT_FALSE(session.Start(&error));
    EXPECT_NE(error.find("is not a folder"), std::string::npos) << error;
}

}  // namespace
