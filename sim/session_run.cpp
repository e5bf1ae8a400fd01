// Running a session: the simulator made on first use, each statement played
// against it, and what the user would have seen written to the transcript.
#include "sim/session.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <filesystem>
#include <map>
#include <ostream>
#include <system_error>

#include "platform/dialogs.h"
#include "platform/native.h"
#include "platform/resources.h"
#include "resources/resource_ids.h"
#include "sim/printable.h"
#include "sim/scenery_file.h"
#include "sim/session_internal.h"
#include "sim/simulator.h"
#include "sim/transcript.h"

namespace sim {

namespace fs = std::filesystem;

namespace {

// ---------------------------------------------------------------------------
// What the session watches

struct FileState {
    uintmax_t size = 0;
    int64_t mtimeNs = 0;
    uint64_t inode = 0;
    uint64_t hash = 0;
    bool operator==(const FileState&) const = default;
};

uint64_t Fnv1a(const std::vector<uint8_t>& bytes) {
    uint64_t hash = 1469598103934665603ull;
    for (uint8_t b : bytes) {
        hash = (hash ^ b) * 1099511628211ull;
    }
    return hash;
}

bool IsSceneryName(const std::string& name) {
    return EndsWithNoCase(name, kSceneryFileExtension) ||
           EndsWithNoCase(name, std::string(kSceneryFileExtension) + ".saving");
}

// Scenery files and save leftovers in the folder, by name.
std::map<std::string, FileState> SnapshotFolder(const std::string& folder) {
    std::map<std::string, FileState> files;
    std::error_code code;
    for (fs::directory_iterator it(folder, code), end; !code && it != end; it.increment(code)) {
        std::string name = it->path().filename().string();
        if (!IsSceneryName(name)) {
            continue;
        }
        struct stat info;
        if (::stat(it->path().c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
            continue;
        }
        FileState state;
        state.size = static_cast<uintmax_t>(info.st_size);
        state.mtimeNs = static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
        state.inode = static_cast<uint64_t>(info.st_ino);
        std::optional<std::vector<uint8_t>> bytes =
            ReadFileBytes(it->path().string(), kMaxSceneryFileBytes, nullptr);
        state.hash = bytes ? Fnv1a(*bytes) : 0;
        files[name] = state;
    }
    return files;
}

struct Observed {
    bool running = false;
    std::string scenery;  // path of the current scenery; empty for none
    int32_t count = 0;
    int selected = -1;
    std::optional<ObjectRecord> record;
    size_t help = 0;
};

bool SameRecord(const std::optional<ObjectRecord>& a, const std::optional<ObjectRecord>& b) {
    if (a.has_value() != b.has_value()) {
        return false;
    }
    return !a || memcmp(&*a, &*b, sizeof(ObjectRecord)) == 0;
}

}  // namespace

// ---------------------------------------------------------------------------
// The session

struct Session::Impl {
    Impl(const SessionOptions& o, std::ostream& t) : options(o), out(t) {}

    SessionOptions options;
    std::ostream& out;
    SessionResult result;

    // Configuration from the script.
    std::optional<std::string> scriptFolder;
    std::optional<LANGID> scriptLanguage;
    bool playerPresent = true;

    // Before the simulator, so that the lock outlives it.
    SceneryFolderLock folderLock;
    std::unique_ptr<Simulator> sim;
    std::deque<int> answerLines;  // the line of each queued answer
    struct PendingDialog {
        int line;
        std::vector<DialogAction> actions;
    };
    std::deque<PendingDialog> pendingDialogs;
    std::map<std::string, FileState> files;
    size_t helpReported = 0;            // help requests already in the transcript
    size_t playerMessagesReported = 0;  // player messages already in the transcript
    int line = 0;                       // the statement running
    bool failed = false;
    bool finished = false;

    // -- output

    void Say(int indent, const std::string& text) {
        // Line by line, so that an interrupted or killed run keeps what it printed.
        out << std::string(static_cast<size_t>(indent), ' ') << text << '\n' << std::flush;
    }
    void Echo(const Statement& s, const std::string& suffix = "") {
        out << Printf("%4d  ", s.line) << Printable(s.source) << suffix << '\n' << std::flush;
    }

    // A problem with the script's choreography or an expectation: the end of
    // a strict session, a noted deviation otherwise.
    void Problem(int atLine, const std::string& message) {
        SessionError error{atLine, message};
        if (options.strict) {
            if (!result.error) {
                result.error = error;
                Say(6, "ERROR: " + Printable(message));
            }
            failed = true;
        } else {
            result.deviations.push_back(error);
            Say(6, "! " + Printable(message) + (atLine != line ? Printf(" (line %d)", atLine) : ""));
        }
    }
    // Always the end of the session.
    void Fatal(int atLine, const std::string& message) {
        if (!result.error) {
            result.error = SessionError{atLine, message};
            Say(6, "ERROR: " + Printable(message));
        }
        failed = true;
    }

    // -- the simulator

    bool CreateSimulator(int atLine) {
        std::string folder;
        bool made = false;
        if (options.sceneryFolder) {
            folder = *options.sceneryFolder;
        } else if (scriptFolder) {
            folder = *scriptFolder;
        } else {
            char pattern[] = "/tmp/tavu-session-XXXXXX";
            if (mkdtemp(pattern) == nullptr) {
                Fatal(atLine, "cannot make a temporary scenery folder");
                return false;
            }
            folder = pattern;
            made = true;
        }
        std::string problem;
        if (!PrepareSceneryFolder(folder, &made, &problem)) {
            Fatal(atLine, problem);
            return false;
        }
        if (folderLock.Acquire(folder, &problem) == SceneryFolderLock::Status::Busy) {
            result.folderInUse = true;
            Fatal(atLine, problem);
            return false;
        }
        result.sceneryFolder = folder;
        result.folderIsTemporary = !options.sceneryFolder && !scriptFolder;
        LANGID language = options.language ? *options.language : scriptLanguage ? *scriptLanguage : 0;
        SimulatorOptions simOptions;
        // Absolute, so that no later change of working folder moves the files.
        std::error_code code;
        simOptions.sceneryFolder = fs::absolute(folder, code).string();
        simOptions.playerPresent = playerPresent;
        simOptions.language = language;
        simOptions.dataFolder = options.dataFolder;
        simOptions.modulePath = options.modulePath;
        try {
            sim = std::make_unique<Simulator>(simOptions);
        } catch (const std::exception& e) {
            Fatal(atLine, e.what());
            return false;
        }
        result.simulatorCreated = true;
        Host& host = sim->host();
        host.onMessage = [this](const MessageBox& box) { OnBox(box); };
        host.dialogRunner = [this](HINSTANCE instance, int32_t id, DLGPROC procedure) {
            return RunDialog(instance, id, procedure);
        };
        files = SnapshotFolder(folder);
        int loaded = 0;
        for (int i = 0; i < sim->player()->SceneryCount(); ++i) {
            loaded += sim->player()->Deleted(i) ? 0 : 1;
        }
        Say(6, "simulator: sceneries in " + folder + (made ? " (new folder)" : "") + ", " +
                   Plural(loaded, "scenery file", "scenery files") + " loaded; language " +
                   LanguageName(platform::ActiveLanguage()) + "; player " +
                   (playerPresent ? "present" : "absent"));
        for (const std::string& message : sim->PlayerMessages()) {
            Say(8, "player: " + Printable(message));
        }
        playerMessagesReported = sim->PlayerMessages().size();
        if (options.onSimulatorCreated) {
            options.onSimulatorCreated(*sim);
        }
        return true;
    }

    // -- boxes and dialogs

    void OnBox(const MessageBox& box) {
        result.boxes.push_back(box);
        Say(6, DescribeBox(box));
        for (const std::string& line : BoxTextLines(box)) {
            Say(10, line);
        }
        if (IsYesNo(box)) {
            if (box.unanswered) {
                Problem(line,
                        Printf("a Yes/No box (text %d) appeared with no answer line waiting", box.textId));
            } else if (!answerLines.empty()) {
                answerLines.pop_front();
            }
        }
    }

    int32_t RunDialog(HINSTANCE instance, int32_t id, DLGPROC procedure) {
        INT_PTR ended = platform::RunDialog(instance, static_cast<UINT>(id), procedure,
                                            [this, id](HWND dialog) { PlayDialog(dialog, id); });
        Say(8, DialogEndedText(ended));
        return static_cast<int32_t>(ended);
    }

    void PlayDialog(HWND dialog, int32_t id) {
        std::string caption = platform::DialogCaption(dialog);
        result.dialogs.push_back(caption);
        Say(6, DescribeDialog(id, caption, dialog));
        DialogFields fields = ReadDialog(dialog);
        Say(8, "shows " + DescribeFields(fields, nullptr));
        if (pendingDialogs.empty()) {
            Problem(line, Printf("dialog %d appeared with no dialog line waiting; closed", id));
            return;
        }
        PendingDialog pending = std::move(pendingDialogs.front());
        pendingDialogs.pop_front();
        Host& host = sim->host();
        for (const DialogAction& action : pending.actions) {
            size_t help = host.HelpRequests().size();
            std::string failure = Perform(dialog, action);
            if (!failure.empty()) {
                Problem(pending.line, "dialog: " + DescribeAction(action) + ": " + failure);
                return;
            }
            if (action.kind == DialogAction::Kind::Ok || action.kind == DialogAction::Kind::Cancel ||
                action.kind == DialogAction::Kind::Close) {
                Say(8, "user: " + DescribeAction(action));
                return;
            }
            DialogFields now = ReadDialog(dialog);
            std::string effect = DescribeFields(now, &fields);
            for (size_t i = help; i < host.HelpRequests().size(); ++i) {
                effect = "help " + HelpRequestText(host.HelpRequests()[i]);
            }
            helpReported = host.HelpRequests().size();
            Say(8, "user: " + DescribeAction(action) + " -> " + effect);
            fields = now;
        }
    }

    // Empty when the action was possible, else why not.
    std::string Perform(HWND dialog, const DialogAction& action) {
        auto listProblem = [&](int id, const char* list) -> std::string {
            if (!platform::ControlEnabled(dialog, id)) {
                return std::string("the ") + list + " list is disabled";
            }
            std::vector<std::string> items = platform::ComboItems(dialog, id);
            return "no such item in the " + std::string(list) + " list (" +
                   Plural(static_cast<int64_t>(items.size()), "item", "items") +
                   (id == IDC_OBJECT_LIST
                        ? ", group \"" + platform::ControlText(dialog, IDC_GROUP_LIST) + "\")"
                        : ")");
        };
        auto fieldProblem = [&](int id, const char* field) -> std::string {
            if (!platform::ControlEnabled(dialog, id)) {
                return std::string("the ") + field + " field is disabled" +
                       (id == IDC_SCALE ? " (a fixed-scale object)" : "");
            }
            return std::string("the ") + field + " field does not take this text";
        };
        switch (action.kind) {
            case DialogAction::Kind::Group:
                return platform::UserChooseItem(dialog, IDC_GROUP_LIST, action.text)
                           ? ""
                           : listProblem(IDC_GROUP_LIST, "group");
            case DialogAction::Kind::Object:
                return platform::UserChooseItem(dialog, IDC_OBJECT_LIST, action.text)
                           ? ""
                           : listProblem(IDC_OBJECT_LIST, "object");
            case DialogAction::Kind::Scale:
                return platform::UserTypeText(dialog, IDC_SCALE, action.text)
                           ? ""
                           : fieldProblem(IDC_SCALE, "scale");
            case DialogAction::Kind::Distance:
                return platform::UserTypeText(dialog, IDC_MAX_DISTANCE, action.text)
                           ? ""
                           : fieldProblem(IDC_MAX_DISTANCE, "distance");
            case DialogAction::Kind::Help:
                return platform::UserClick(dialog, IDC_HELP_BUTTON) ? ""
                                                                    : "the Help button cannot be clicked";
            case DialogAction::Kind::Ok:
                return platform::UserClick(dialog, IDOK) ? "" : "the OK button cannot be clicked";
            case DialogAction::Kind::Cancel:
                return platform::UserClick(dialog, IDCANCEL) ? "" : "the Cancel button cannot be clicked";
            case DialogAction::Kind::Close:
                return platform::UserClose(dialog) ? "" : "the dialog cannot be closed";
        }
        return "unknown action";
    }

    // -- observation

    Observed Observe() const {
        Observed o;
        o.running = sim->Running();
        o.scenery = sim->CurrentPath();
        const SceneryView* header = sim->CurrentHeader();
        o.count = header ? header->count : 0;
        o.selected = sim->SelectedIndex();
        if (const ObjectRecord* record = sim->SelectedRecord()) {
            o.record = *record;
        }
        o.help = sim->host().HelpRequests().size();
        return o;
    }

    void ReportMarker() { Say(6, DescribeMarker(sim->Marker(), MarkerGap(*sim))); }

    void ReportFiles() {
        const std::vector<std::string>& said = sim->PlayerMessages();
        for (size_t i = playerMessagesReported; i < said.size(); ++i) {
            Say(6, "player: " + said[i]);
        }
        playerMessagesReported = said.size();
        std::map<std::string, FileState> now = SnapshotFolder(result.sceneryFolder);
        for (const auto& [name, state] : now) {
            auto before = files.find(name);
            if (before != files.end() && before->second == state) {
                continue;
            }
            std::string path = (fs::path(result.sceneryFolder) / name).string();
            if (EndsWithNoCase(name, ".saving")) {
                Say(6, "left over " + path + " (" + std::to_string(state.size) + " bytes)");
                continue;
            }
            ++result.saves;
            Say(6, "saved " + path + " (" + DescribeFile(path) + ")");
        }
        for (const auto& [name, state] : files) {
            if (now.count(name) == 0 && !EndsWithNoCase(name, ".saving")) {
                Say(6, "deleted " + (fs::path(result.sceneryFolder) / name).string());
            }
        }
        files = std::move(now);
    }

    void Report(const Observed& before, bool always) {
        Observed now = Observe();
        if (now.scenery != before.scenery) {
            if (now.scenery.empty()) {
                Say(6, "no scenery current");
            } else {
                std::error_code code;
                bool onDisk = fs::exists(now.scenery, code);
                Say(6, "scenery " + FileName(now.scenery) + (onDisk ? "" : " (no file yet)") + ", " +
                           Plural(now.count, "object", "objects"));
            }
        }
        bool selectionChanged =
            now.selected != before.selected || now.scenery != before.scenery ||
            (now.record && before.record && CatalogIndexOf(*now.record) != CatalogIndexOf(*before.record));
        if (now.record && (selectionChanged || now.count != before.count)) {
            Say(6, DescribeSelection(now.selected, now.count, *now.record));
        } else if (!now.record && before.record) {
            Say(6, "no object selected");
        } else if (!now.record && now.count != before.count) {
            Say(6, Plural(now.count, "object", "objects"));
        }
        if (now.record && (always || selectionChanged || !SameRecord(now.record, before.record))) {
            Say(6,
                DescribeObject(now.selected, *now.record, sim->LatitudeDegrees(), sim->LongitudeDegrees()));
        } else if (always && !now.record) {
            Say(6, "no object selected");
        }
        const auto& help = sim->host().HelpRequests();
        for (size_t i = std::max(before.help, helpReported); i < help.size(); ++i) {
            Say(6, "help " + HelpRequestText(help[i]));
        }
        helpReported = help.size();
        ReportFiles();
        if (now.running != before.running) {
            Say(6, now.running ? "editor running" : "editor stopped");
        }
    }

    void ReportAircraft() {
        Say(6, DescribeAircraft(sim->LatitudeDegrees(), sim->LongitudeDegrees(), sim->AltitudeMetres(),
                                sim->HeadingDegrees()));
    }

    // -- unused answers and dialog lines

    void CheckLeftovers(int atLine) {
        for (int answer : answerLines) {
            Problem(answer, Printf("this answer was never used: no Yes/No box appeared by line %d", atLine));
            if (failed) {
                return;
            }
        }
        answerLines.clear();
        sim->host().Answers().clear();
        for (const PendingDialog& pending : pendingDialogs) {
            Problem(pending.line,
                    Printf("this dialog line was never used: no dialog appeared by line %d", atLine));
            if (failed) {
                return;
            }
        }
        pendingDialogs.clear();
    }

    // -- statements

    bool Interrupted() const { return options.interrupt != nullptr && *options.interrupt != 0; }

    bool Execute(const Statement& s) {
        if (failed || finished || Interrupted()) {
            return false;
        }
        line = s.line;
        using Kind = Statement::Kind;
        if (s.Configures()) {
            Echo(s);
            if (sim) {
                Fatal(s.line,
                      s.source.substr(0, s.source.find(' ')) +
                          ": configuration must come before the first statement that uses the simulator");
                return false;
            }
            if (s.kind == Kind::Sceneries) {
                scriptFolder = s.text;
                if (options.sceneryFolder) {
                    Say(6, "(the command line's folder " + *options.sceneryFolder + " wins)");
                }
            } else if (s.kind == Kind::Language) {
                scriptLanguage = LanguageFromCode(s.word).value_or(platform::LANGUAGE_ENGLISH);
                if (options.language) {
                    Say(6, std::string("(the command line's language ") + LanguageName(*options.language) +
                               " wins)");
                }
            } else {
                playerPresent = s.flag;
            }
            return true;
        }
        if (s.kind == Kind::Note) {
            Say(0, "");
            Say(0, "# " + s.text);
            return true;
        }
        if (s.kind == Kind::Expect) {
            if (!sim && !CreateSimulator(s.line)) {
                return false;
            }
            std::string failure = CheckExpectation(s, *sim, result.sceneryFolder);
            Echo(s, failure.empty() ? "  [ok]" : "  [FAILED]");
            if (!failure.empty()) {
                Problem(s.line, s.source + ": " + failure);
            }
            return Done(s);
        }
        Echo(s);
        if (!sim && !CreateSimulator(s.line)) {
            return false;
        }
        Observed before = Observe();
        bool always = false;
        int32_t running = 0;
        switch (s.kind) {
            case Kind::Aircraft:
                sim->PlaceAircraft(*s.lat, *s.lon, s.alt, s.heading);
                ReportAircraft();
                break;
            case Kind::Slew:
                if (s.word == "turn") {
                    sim->Turn(s.value);
                } else {
                    sim->Slew(s.word == "forward" ? s.value : 0, s.word == "right" ? s.value : 0,
                              s.word == "up" ? s.value : 0);
                }
                ReportAircraft();
                break;
            case Kind::NewObjectAltitude:
                sim->SetNewObjectAltitude(s.value);
                break;
            case Kind::Pause:
                sim->SetPaused(s.flag);
                break;
            case Kind::Step:
                sim->SetFrameStep(static_cast<uint16_t>(s.value));
                break;
            case Kind::Start: {
                int32_t started = sim->Start(&running);
                Say(6, Printf("start returned %d, running %d", started, running));
                break;
            }
            case Kind::Stop:
                sim->Stop(&running);
                break;
            case Kind::SelectScenery: {
                int32_t selected = sim->SelectScenery(static_cast<int32_t>(s.value), &running);
                Say(6, Printf("select-scenery returned %d", selected));
                break;
            }
            case Kind::Key: {
                if (!sim->host().KeyHookInstalled()) {
                    Say(6, "no key hook installed: the editor does not see the key");
                }
                bool passedOn = false;
                for (int i = 0; i < s.repeat && !failed; ++i) {
                    KeyPress press = sim->PressKey(s.chord.keyCode, s.chord.modifiers);
                    passedOn = passedOn || press.handlerResult != 0;
                }
                if (passedOn && sim->host().KeyHookInstalled()) {
                    Say(6, "passed on to the simulator");
                }
                break;
            }
            case Kind::Frames:
                for (int i = 0; i < static_cast<int>(s.value) && !Interrupted(); ++i) {
                    sim->RunFrames(1);
                }
                always = true;
                break;
            case Kind::Answer:
                sim->host().Answers().push_back(s.flag ? ANSWER_YES : ANSWER_NO);
                answerLines.push_back(s.line);
                break;
            case Kind::Dialog:
                pendingDialogs.push_back({s.line, s.actions});
                break;
            default:
                break;
        }
        Report(before, always);
        if (s.kind == Kind::Frames) {
            ReportMarker();
        }
        CheckGuest(s.line, s.source);
        if (s.kind == Kind::Stop && !failed) {
            CheckLeftovers(s.line);
        }
        return Done(s);
    }

    // The emulated module's code stops at its first fault; the statement
    // that ran into it ends the session.
    void CheckGuest(int atLine, const std::string& during) {
        const X86Emulator::Fault* fault = sim->GuestFault();
        if (fault == nullptr || failed) {
            return;
        }
        std::string where;
        if (!fault->innerCall.empty()) {
            where = "in " + fault->innerCall +
                    (fault->outerCall != fault->innerCall ? ", called from " + fault->outerCall : "") + ", ";
        }
        Fatal(atLine, "guest fault: " + fault->message + " (" + where + "during " + during + ")");
    }

    bool Done(const Statement& s) {
        if (!failed && options.afterStatement) {
            options.afterStatement(*sim, s);
        }
        return !failed && !Interrupted();
    }

    bool Finish(int atLine) {
        if (finished) {
            return !result.error;
        }
        finished = true;
        const int lastRan = line;
        line = atLine;
        result.interruptedBy = Interrupted() ? static_cast<int>(*options.interrupt) : 0;
        if (sim) {
            if (sim->Running()) {
                Say(0, "");
                Say(0, failed ? "stopping the editor"
                       : result.interruptedBy
                           ? "interrupted: stopping the editor so that everything is saved"
                           : "end of script: stopping the editor so that everything is saved");
                Observed before = Observe();
                int32_t running = 0;
                sim->Stop(&running);
                Report(before, false);
                CheckGuest(atLine, "the final stop");
            }
            if (!failed) {
                CheckLeftovers(atLine);
            }
            sim->Shutdown();
            CheckGuest(atLine, "the module's unloading");
            if (std::string reclaimed = ReclaimedLine(*sim); !reclaimed.empty()) {
                Say(6, reclaimed);
            }
            ReportFiles();
            result.failedWrites = FailedWriteLines(*sim);
            result.allocationCalls = sim->host().Allocations().calls;
            result.liveBlocksAfterTeardown = sim->host().Allocations().liveBlocks;
            Say(0, "");
            Say(0, "scenery folder " + result.sceneryFolder + ":");
            if (files.empty()) {
                Say(6, "no scenery files");
            }
            for (const auto& [name, state] : files) {
                Say(6, name + " (" + DescribeFile((fs::path(result.sceneryFolder) / name).string()) + ")");
            }
            sim.reset();
        }
        if (result.interruptedBy != 0 && !result.error) {
            Say(0, Printf("session interrupted by %s after line %d",
                          result.interruptedBy == SIGINT    ? "SIGINT"
                          : result.interruptedBy == SIGTERM ? "SIGTERM"
                                                            : "a signal",
                          lastRan));
        } else if (result.error) {
            Say(0, "session stopped at line " + std::to_string(result.error->line));
        } else {
            Say(0,
                Printf("session complete: %s, %s, %s",
                       Plural(static_cast<int64_t>(result.boxes.size()), "box", "boxes").c_str(),
                       Plural(static_cast<int64_t>(result.dialogs.size()), "dialog", "dialogs").c_str(),
                       Plural(result.saves, "save", "saves").c_str()) +
                    (result.deviations.empty() ? std::string()
                                               : ", " + Plural(static_cast<int64_t>(result.deviations.size()),
                                                               "deviation", "deviations")));
        }
        for (const std::string& failure : result.failedWrites) {
            Say(0, failure);
        }
        return !result.error;
    }
};

bool PrepareSceneryFolder(const std::string& folder, bool* created, std::string* error) {
    std::error_code code;
    if (!fs::exists(folder, code)) {
        if (!fs::create_directories(folder, code)) {
            *error = "cannot create the scenery folder " + folder + ": " + code.message();
            return false;
        }
        if (created != nullptr) {
            *created = true;
        }
    } else if (!fs::is_directory(folder, code)) {
        *error = "the scenery folder " + folder + " is not a folder";
        return false;
    }
    return true;
}

std::optional<std::string> FolderWriteProblem(const std::string& folder) {
    const std::string probe =
        (fs::path(folder) / Printf(".tavu-probe-%ld", static_cast<long>(::getpid()))).string();
    DeleteFileA(probe.c_str());
    platform::TakeFileFailure();
    HANDLE file = CreateFileA(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const int error = platform::TakeFileFailure().error;
        return std::string(error != 0 ? strerror(error) : "cannot make a file there");
    }
    CloseHandle(file);
    DeleteFileA(probe.c_str());
    return std::nullopt;
}

SceneryFolderLock::~SceneryFolderLock() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

SceneryFolderLock::Status SceneryFolderLock::Acquire(const std::string& folder, std::string* error) {
    const std::string path = (fs::path(folder) / kSceneryLockName).string();
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644);
    if (fd < 0) {
        // A folder nobody can write to: no session can overwrite anything there.
        return Status::Unlockable;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const bool held = errno == EWOULDBLOCK;
        char text[32] = {};
        ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
        ::close(fd);
        if (!held) {
            return Status::Unlockable;
        }
        long pid = n > 0 ? strtol(text, nullptr, 10) : 0;
        *error = folder + " is in use by another session" + (pid > 0 ? Printf(" (pid %ld)", pid) : "");
        return Status::Busy;
    }
    if (fd_ >= 0) {
        ::close(fd_);
    }
    fd_ = fd;
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd_, 0) == 0) {
        [[maybe_unused]] ssize_t written = ::pwrite(fd_, pid.data(), pid.size(), 0);
    }
    return Status::Locked;
}

Session::Session(const SessionOptions& options, std::ostream& transcript)
    : impl_(std::make_unique<Impl>(options, transcript)) {}

Session::~Session() {
    // Whatever happened, the editor stops and the simulator goes.
    if (impl_->sim) {
        impl_->sim.reset();
    }
}

bool Session::Execute(const Statement& statement) {
    return impl_->Execute(statement);
}
bool Session::Finish(int line) {
    return impl_->Finish(line);
}
Simulator* Session::simulator() {
    return impl_->sim.get();
}
const SessionResult& Session::result() const {
    return impl_->result;
}

SessionResult RunSession(const SessionScript& script, const SessionOptions& options,
                         std::ostream& transcript) {
    Session session(options, transcript);
    int last = 0;
    for (const Statement& statement : script.statements) {
        last = statement.line;
        if (!session.Execute(statement)) {
            break;
        }
    }
    session.Finish(last);
    return session.result();
}

}  // namespace sim
