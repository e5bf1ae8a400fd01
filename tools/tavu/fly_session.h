// `tavu fly`: an interactive editing session with the emulated simulator. The
// session owns the simulator, turns key events into aircraft moves and editor
// chords, runs frames in real time and draws everything into a Screen; a
// FlyConsole supplies keys, time and the screen's size and shows what is
// drawn. The terminal is one console, a test script another.
//
// Message boxes and the object properties dialog are modal, as in the
// simulator: while one is open the module waits inside its key handler, no
// frames run, and the session reads the console's keys for the box or the
// dialog until it closes (fly_modal.cpp).
#pragma once

#include <stdint.h>

#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "catalog/catalog.h"
#include "platform/win32.h"
#include "scenery/record.h"
#include "sim/simulator.h"
#include "tools/tavu/fly_keymap.h"
#include "tools/tavu/fly_keys.h"
#include "tools/tavu/fly_screen.h"

namespace tavu::fly {

struct ScreenSize {
    int width = 80;
    int height = 24;
};

class FlyConsole {
  public:
    virtual ~FlyConsole() = default;
    // The next key, waiting at most timeoutMs (< 0: as long as it takes);
    // nothing when the time ran out. KeyId::Closed once the input has ended.
    virtual std::optional<Key> ReadKey(int timeoutMs) = 0;
    virtual void Show(const Screen& screen) = 0;
    virtual ScreenSize Size() = 0;
    // A monotonic clock in milliseconds.
    virtual int64_t NowMs() = 0;
    // The next Show paints every cell, whatever the terminal holds now.
    virtual void Repaint() {}
};

// Lugano-Agno, on the apron, nose along the runway (the examples' airfield).
inline constexpr double kDefaultLatitude = 46.0043;
inline constexpr double kDefaultLongitude = 8.9106;
inline constexpr double kDefaultAltitude = 281;
inline constexpr double kDefaultHeading = 10;

struct FlyOptions {
    std::string sceneryFolder = "sceneries";
    LANGID language = 0;  // 0: from the environment
    std::string dataFolder;
    double latitude = kDefaultLatitude;
    double longitude = kDefaultLongitude;
    double altitude = kDefaultAltitude;
    double heading = kDefaultHeading;
    bool playerPresent = true;
    // The real DLL to run under x86 emulation; empty: the editor linked into
    // tavu.
    std::string modulePath;
};

// One letter or sign per catalog group on the map, in group order, as the
// key map's legend lists them.
inline constexpr char32_t kGroupGlyphs[CATALOG_GROUP_COUNT] = {U'A', U'B', U'*', U'o', U'v', U'a',
                                                               U'c', U'H', U'g', U'p', U'S', U'T'};
inline constexpr char32_t kUnknownGlyph = U'?';

// Metres per map column at each zoom step; a row is twice as tall.
inline constexpr double kZoomSteps[] = {1, 2, 5, 10, 20, 50, 100, 200, 500, 1000, 2000, 5000};
inline constexpr int kDefaultZoom = 2;

class FlySession {
  public:
    FlySession(FlyOptions options, FlyConsole& console);
    ~FlySession();
    FlySession(const FlySession&) = delete;
    FlySession& operator=(const FlySession&) = delete;

    // Makes the scenery folder if needed, creates the simulator, places the
    // aircraft and starts the editor. False with *error set when the folder
    // cannot be used. A start the editor refuses is no error: its box shows
    // and the session goes on without the editor.
    bool Start(std::string* error);
    // The real-time loop: frames at the host's frame step, keys as they come,
    // until the user quits or the input ends; then Finish.
    void Run();
    // One key of the main view. False once the session should end.
    bool HandleKey(const Key& key);
    void RunFrames(int count);
    // The main view with whatever box or dialog is open drawn over it.
    Screen Render();
    // Stops the editor, which saves every scenery it changed. Idempotent.
    void Finish();
    // One line: which scenery files the session wrote.
    const std::string& Summary() const { return summary_; }

    sim::Simulator& simulator() { return *sim_; }
    bool EditorRunning() const { return sim_ && sim_->Running(); }
    bool QuitRequested() const { return quit_; }
    double MetresPerColumn() const { return kZoomSteps[zoom_]; }
    // The note line: the last thing that happened.
    const std::string& Note() const { return note_; }
    const std::string& SceneryFolder() const { return folder_; }
    // Said at the start when the scenery folder cannot be written; "" else.
    const std::string& Warning() const { return warning_; }

  private:
    struct FileState {
        uintmax_t size = 0;
        std::filesystem::file_time_type time;
    };
    struct Sample {
        int scenery = -1;
        int index = -1;
        ObjectRecord record{};
        double latMetres = 0, lonUnits = 0, alt = 0;
    };
    struct Motion {
        double groundSpeed = 0;  // m/s
        double climb = 0;        // m/s
        double headingRate = 0;  // degrees/s
        double pitchRate = 0;
        double bankRate = 0;
        bool known = false;
    };

    void Act(const FlyAction& action);
    void SendChord(uint32_t keyCode, uint32_t modifiers);
    // A modal loop: `draw` goes over the main view, `handle` takes keys
    // until it returns false.
    void Modal(const std::function<void(Screen&)>& draw, const std::function<bool(const Key&)>& handle);
    // Draws a box and waits for its answer: true for Yes (or OK).
    bool AskBox(const std::string& title, const std::string& text, bool yesNo);
    void ShowKeyMap();
    // The help topic the module asked for, in a scrollable box.
    void ShowHelp(const std::string& file, const std::string& topic);
    int32_t RunDialogUi(HINSTANCE instance, int32_t templateId, DLGPROC procedure);

    void DrawMain(Screen& screen);
    void DrawMap(Screen& screen, int top, int height);
    void DrawStatus(Screen& screen, int top);
    void TakeSample();
    // Ground offset of a position from the aircraft: metres east and north.
    std::pair<double, double> Offset(double latMetres, double lonUnits) const;

    std::map<std::string, FileState> SnapshotFolder() const;

    FlyOptions options_;
    FlyConsole& console_;
    std::unique_ptr<sim::Simulator> sim_;
    std::string folder_;
    std::map<std::string, FileState> filesAtStart_;
    std::vector<std::function<void(Screen&)>> overlays_;
    int zoom_ = kDefaultZoom;
    bool paused_ = false;
    bool quit_ = false;
    bool closed_ = false;
    bool finished_ = false;
    bool modalEnded_ = false;
    std::string note_;
    std::string summary_;
    std::string warning_;
    std::optional<Sample> lastSample_;
    Motion motion_;
    std::deque<int64_t> frameTimes_;
    int64_t frames_ = 0;
};

}  // namespace tavu::fly
