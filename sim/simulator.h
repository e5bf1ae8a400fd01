// The emulated simulator as a whole: the host with its aircraft, frame loop,
// keys, message boxes and dialogs, the player backed by a folder of scenery
// files, and the editor module loaded into it. The module is reached only
// through its exports, as a real host reaches it.
#pragma once

#include <stdint.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/host.h"
#include "sim/player.h"
#include "sim/x86_emulator.h"

namespace sim {

// The editor module as the host sees it once the loader has mapped it.
class EditorModule {
public:
    virtual ~EditorModule() = default;
    // Fills the module's ImportTable, runs its library entry and its init.
    virtual void Attach(Host& host) = 0;
    // Runs the deinit entry and the library entry for detaching.
    virtual void Detach() = 0;
    // Module-table entry 0 (start), 1 (stop) or 2 (select scenery).
    virtual int32_t Entry(int index, int32_t argument, int32_t* running) = 0;
    virtual HINSTANCE Instance() const = 0;
    // Once Detach is done after a fault stopped the module's code: closes
    // whatever it still holds and removes the half-written files of a save
    // it was making. What was done, a phrase each.
    virtual std::vector<std::string> Reclaim() { return {}; }
};

// A save or a delete that did not reach the scenery file.
struct FailedWrite {
    std::string file;    // the scenery file's name
    std::string reason;  // as strerror words it
};

// The module linked into this program, registered as "TAVUEdit.dll".
std::unique_ptr<EditorModule> LoadLinkedModule();

// Where the marker of the last draw stands, decoded from its command block.
struct MarkerPosition {
    int32_t lat;       // latitude integer part
    int32_t lon;       // longitude integer part
    int32_t alt;       // altitude integer part
    int32_t eastMetres;  // the block's longitude offset
};

struct SimulatorOptions {
    std::string sceneryFolder;  // empty: the player holds only what it is given
    bool playerPresent = true;
    LANGID language = 0;        // 0: from the environment
    std::string dataFolder;     // the host's working folder (preview bitmaps)
    // The real DLL to load and run under x86 emulation; empty: the module
    // linked into this program.
    std::string modulePath;
};

class EmulatedSpace;

class Simulator {
public:
    explicit Simulator(const SimulatorOptions& options);
    // Stops a run still going (so everything is saved) and unloads the module.
    ~Simulator();
    // The same teardown ahead of the destructor, which keeps the host alive so
    // that its allocation counts can be read once the player has freed its
    // blocks. Nothing but host() may be used afterwards.
    void Shutdown();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    Host& host() { return host_; }
    Player* player() { return player_.get(); }
    // What the player said while opening its folder, and since (a file it
    // could not delete); kept after Shutdown.
    const std::vector<std::string>& PlayerMessages() const { return playerMessages_; }
    // Saves the editor reported failed (its save-failed box) and scenery
    // files the player could not delete; kept after Shutdown.
    const std::vector<FailedWrite>& FailedSaves() const { return failedSaves_; }
    const std::vector<FailedWrite>& FailedDeletes() const { return failedDeletes_; }
    // What Shutdown reclaimed from a module stopped by a guest fault.
    const std::vector<std::string>& Reclaimed() const { return reclaimed_; }

    // The aircraft.
    void PlaceAircraft(double latDegrees, double lonDegrees, std::optional<double> altMetres,
                       std::optional<double> headingDegrees);
    // Moves it along its heading (forward), to its right, and up, in metres.
    void Slew(double forward, double right, double up);
    void Turn(double degrees);
    double LatitudeDegrees() const;
    double LongitudeDegrees() const;
    double AltitudeMetres() const;
    double HeadingDegrees() const;

    // The world around it.
    void SetNewObjectAltitude(double metres);
    void SetPaused(bool paused);
    void SetFrameStep(uint16_t milliseconds);

    // The module's entries.
    int32_t Start(int32_t* running);
    int32_t Stop(int32_t* running);
    int32_t SelectScenery(int32_t mode, int32_t* running);
    bool Running() const { return running_ != 0; }

    KeyPress PressKey(uint32_t keyCode, uint32_t modifiers) { return host_.PressKey(keyCode, modifiers); }
    void RunFrames(int count);

    std::optional<MarkerPosition> Marker() const;
    // The object the editor has selected, as the player's scenery shows it.
    const ObjectRecord* SelectedRecord() const;
    int SelectedIndex() const;
    // The current scenery as the player holds it; valid until the next call.
    const SceneryView* CurrentHeader() const;
    std::string CurrentPath() const;

    // The fault that stopped the emulated module's code, if any; the
    // emulated module runs no more code once one is recorded. Always null
    // for the linked-in module.
    const X86Emulator::Fault* GuestFault() const;

private:
    void NoteFailedSave();
    int64_t Global64(uint32_t offset) const { return host_.Global<int64_t>(offset); }

    Host host_;
    std::unique_ptr<Player> player_;
    std::vector<std::string> playerMessages_;
    std::vector<FailedWrite> failedSaves_;
    std::vector<FailedWrite> failedDeletes_;
    std::vector<std::string> reclaimed_;
    std::unique_ptr<EditorModule> module_;
    int32_t running_ = 0;
    bool shutDown_ = false;
    mutable std::optional<SceneryView> currentView_;
    EmulatedSpace* emulated_ = nullptr;  // host_'s space when the module is the real DLL
};

}  // namespace sim
