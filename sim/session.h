// Session scripts: a small line-oriented language that drives the emulated
// simulator (aircraft, world, editor entries, keys, message boxes, dialogs)
// and checks what came of it, with a readable transcript of everything the
// user would have seen. `tavu run`, the tests and other tools run sessions
// in-process through this header.
//
// A script is parsed whole before anything runs, so a typo on any line stops
// the session before it starts. Errors read "SCRIPT:LINE: message".
//
// The names live in session_names.cpp, the parser in session_parse.cpp, the
// runner in session_run.cpp and session_expect.cpp; the transcript's wording,
// which `tavu fly` shares, in transcript.h.
#pragma once

#include <signal.h>
#include <stdint.h>

#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win32.h"
#include "sim/host.h"

namespace sim {

class Simulator;

// ---------------------------------------------------------------------------
// Key chords

enum : uint32_t {
    CHORD_SHIFT = 1,  // the modifier bit the editor reads as "variant"
    CHORD_CTRL = 2,   // the modifier bit that marks a chord as the editor's
};

struct KeyChord {
    uint32_t keyCode = 0;    // Windows virtual-key code
    uint32_t modifiers = 0;  // CHORD_CTRL | CHORD_SHIFT
    bool operator==(const KeyChord&) const = default;
};

// The virtual-key code of a key name ("Insert", "PageUp", "F5", "Q", "7",
// "Control", ...), any case; nullopt for a name it does not know.
std::optional<uint32_t> KeyCodeFromName(std::string_view name);
// The name of a virtual-key code as KeyCodeFromName spells it, or "VK<n>".
std::string KeyName(uint32_t keyCode);
// "Ctrl+Shift+Right" and the like: any number of Ctrl/Shift, then one key
// name, joined by '+', any case. On failure *error (when not null) says why.
std::optional<KeyChord> ParseKeyChord(std::string_view text, std::string* error = nullptr);
// "Ctrl+Shift+Right": the canonical spelling.
std::string FormatKeyChord(const KeyChord& chord);

// ---------------------------------------------------------------------------
// Statements

struct DialogAction {
    enum class Kind { Group, Object, Scale, Distance, Help, Ok, Cancel, Close };
    Kind kind = Kind::Ok;
    std::string text;  // the item or the field's text
};

enum class ExpectKind {
    Objects,   // count of the current scenery
    Selected,  // catalog name of the selected object, or none
    Box,       // text id of the last box shown
    Boxes,     // how many boxes were shown in the whole session
    File,      // a file exists [with this size] [holding this many objects]
    NoFile,    // no such file
    Marker,    // the marker stands on the selected object, or not
    Scale,     // scale percent of the selected object, or fixed
    Position,  // the selected object lies within a distance of a place
    Heading,   // the selected object's heading, in degrees
    Running,   // whether the editor runs
    Scenery,   // file name of the current scenery, or none
};

struct Statement {
    enum class Kind {
        Sceneries,
        Language,
        Player,
        Aircraft,
        Slew,
        NewObjectAltitude,
        Pause,
        Step,
        Start,
        Stop,
        SelectScenery,
        Key,
        Frames,
        Answer,
        Dialog,
        Expect,
        Note,
    };
    Kind kind = Kind::Note;
    int line = 0;
    std::string source;  // the line as written, without its comment

    // Arguments; which ones mean something depends on the kind.
    std::string word;  // slew direction, on/off, yes/no, language code, ...
    std::string text;  // folder, file, catalog name, note
    double value = 0;  // metres, degrees, counts
    std::optional<double> lat, lon, alt, heading, within;
    std::optional<int64_t> bytes, objects;
    bool flag = false;  // pause on, answer yes, player present, marker on, ...
    KeyChord chord;
    int repeat = 1;
    std::vector<DialogAction> actions;
    ExpectKind expect = ExpectKind::Objects;

    // Configuration statements must come before the simulator is needed.
    bool Configures() const {
        return kind == Kind::Sceneries || kind == Kind::Language || kind == Kind::Player;
    }
    // Statements that need the simulator to exist.
    bool NeedsSimulator() const { return !Configures() && kind != Kind::Note; }
};

struct SessionError {
    int line = 0;  // 0: about the script as a whole
    std::string message;
    // "SCRIPT:LINE: message" ("SCRIPT: message" for line 0).
    std::string Format(const std::string& script) const;
};

// One line on its own (no configuration-order check): for interactive use.
// The line number only goes into the statement and the error.
std::optional<Statement> ParseStatement(std::string_view line, int lineNumber, SessionError* error);

struct SessionScript {
    std::vector<Statement> statements;  // blank and comment lines left out
};

// Parses a whole script, stopping at the first error.
std::optional<SessionScript> ParseSession(std::string_view text, SessionError* error);

// ---------------------------------------------------------------------------
// Running

struct SessionOptions {
    // Override the script's `sceneries` and `language` statements.
    std::optional<std::string> sceneryFolder;
    std::optional<LANGID> language;
    // The host's working folder: preview bitmaps load from below it.
    std::string dataFolder;
    // The real DLL to run under x86 emulation in place of the linked-in
    // module; the transcript does not depend on which one runs. A fault of
    // the DLL's code ends the session with a "guest fault: ..." error.
    std::string modulePath;
    // False: failed `expect` lines, boxes and dialogs no line waits for,
    // unused `answer`/`dialog` lines and impossible dialog actions are noted
    // as deviations and the session goes on (fault sweeps). Parse errors and
    // configuration errors stay fatal.
    bool strict = true;
    // Called right after the simulator is created (e.g. to arm faults).
    std::function<void(Simulator&)> onSimulatorCreated;
    // Called after every statement that ran without error.
    std::function<void(Simulator&, const Statement&)> afterStatement;
    // Set by a signal handler to the signal's number: the session stops
    // between statements or frames and ends as a finished one does (the
    // editor stops, so everything is saved).
    const volatile sig_atomic_t* interrupt = nullptr;
};

struct SessionResult {
    std::optional<SessionError> error;     // the first error, if any
    std::vector<SessionError> deviations;  // non-strict runs only
    std::vector<MessageBox> boxes;         // every box shown
    std::vector<std::string> dialogs;      // caption of every dialog run
    int saves = 0;                         // scenery file writes seen
    std::string sceneryFolder;             // where the sceneries were
    bool simulatorCreated = false;
    bool folderInUse = false;             // another session holds the folder's lock
    bool folderIsTemporary = false;       // the session made the folder in /tmp, no one named it
    int interruptedBy = 0;                // the signal that stopped the session, or 0
    // The session's last lines when saves or deletes failed:
    // "2 saves failed: scenery-001.tsc: Permission denied".
    std::vector<std::string> failedWrites;
    int64_t allocationCalls = 0;          // host AllocBlock/ResizeBlock calls
    int64_t liveBlocksAfterTeardown = 0;  // host blocks alive once the player is gone
    bool ok() const { return !error.has_value(); }
};

// A session in progress: statements run one at a time. The simulator is
// created by the first statement that needs it.
class Session {
  public:
    Session(const SessionOptions& options, std::ostream& transcript);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Runs one statement; false once an error has stopped the session.
    bool Execute(const Statement& statement);
    // Ends the session: stops a running editor (so everything is saved),
    // checks for unused `answer` and `dialog` lines and tears the simulator
    // down. `line` is the script's last line, for errors found there.
    bool Finish(int line);

    Simulator* simulator();
    const SessionResult& result() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Parses and runs a whole script. `script` names it in errors.
SessionResult RunSession(const SessionScript& script, const SessionOptions& options,
                         std::ostream& transcript);

// Makes a scenery folder that does not exist yet, setting *created (when not
// null). False, with *error saying why, when it cannot be made or is not a
// folder.
bool PrepareSceneryFolder(const std::string& folder, bool* created, std::string* error);

// Why no new file can be made in a folder (strerror's words, e.g.
// "Permission denied"), found by making and removing one through the file
// layer the saves use; nullopt when it can be written.
std::optional<std::string> FolderWriteProblem(const std::string& folder);

// The file in a scenery folder whose lock marks the folder as in use by a
// session; it holds the holder's pid as text, for the message only. The
// kernel drops the lock when the holder ends, so a file left behind is
// harmless.
inline constexpr char kSceneryLockName[] = ".tavu-lock";

// An exclusive advisory lock on a scenery folder, held while it lives: two
// sessions on one folder would overwrite each other's saves.
class SceneryFolderLock {
  public:
    enum class Status {
        Locked,
        Busy,        // *error: "FOLDER is in use by another session (pid N)"
        Unlockable,  // no lock file can be made (a read-only folder): go on without
    };
    SceneryFolderLock() = default;
    ~SceneryFolderLock();
    SceneryFolderLock(const SceneryFolderLock&) = delete;
    SceneryFolderLock& operator=(const SceneryFolderLock&) = delete;
    Status Acquire(const std::string& folder, std::string* error);

  private:
    int fd_ = -1;
};

// Text ids of the module's message boxes by the names scripts may use
// ("no-memory", "save-failed", "init-failed", "need-selection",
// "confirm-remove-last", "confirm-far-object"); nullopt when unknown.
std::optional<int32_t> BoxTextIdFromName(std::string_view name);

// The language of a code as scripts and the command line write it ("en",
// "it", "de"); nullopt for any other.
std::optional<LANGID> LanguageFromCode(std::string_view code);

}  // namespace sim
