// Session scripts against the real DLL: every example tells the same story
// and leaves the same bytes on disk as the linked-in module, under every
// injected allocation and file fault too; and a DLL whose code goes wrong
// stops its session with a guest fault instead of taking the workbench down.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>

#include <algorithm>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "module/host.h"
#include "placement/edit_state.h"
#include "platform/bitmaps.h"
#include "platform/native.h"
#include "resources/resource_ids.h"
#include "sim/emulated_space.h"
#include "sim/pe_image.h"
#include "sim/simulator.h"
#include "tests/emulation/emulation_support.h"
#include "tests/workbench/workbench_support.h"

namespace {

namespace fs = std::filesystem;
using sim::X86Emulator;
using workbench::SessionRun;

// A script's run with the files it left.
struct Outcome {
    SessionRun run;
    std::map<std::string, std::vector<uint8_t>> files;
    int openFiles = 0;
    int bitmapsLeft = 0;  // loaded during the run and never deleted
};

// "line N: native | emulated" for the first differing transcript line.
std::string FirstDifference(const std::string& native, const std::string& emulated) {
    std::istringstream a(native), b(emulated);
    std::string x, y;
    for (int line = 1;; ++line) {
        const bool moreA = static_cast<bool>(std::getline(a, x));
        const bool moreB = static_cast<bool>(std::getline(b, y));
        if (!moreA && !moreB) {
            return "";
        }
        if (!moreA || !moreB || x != y) {
            return "transcript line " + std::to_string(line) + ":\n  native:   " + (moreA ? x : "(end)") +
                   "\n  emulated: " + (moreB ? y : "(end)");
        }
    }
}

class RealDllSessions : public workbench::SessionTest {
  protected:
    void SetUp() override { SKIP_WITHOUT_DLL(); }

    Outcome Run(const std::string& text, sim::SessionOptions options, bool emulated) {
        fs::remove_all(folder);
        // The linked-in module's variables outlive its simulator; a DLL's
        // start from zero at every load.
        state = EditState{};
        options.modulePath = emulated ? emulation::DllPath().string() : "";
        Outcome outcome;
        const int bitmaps = platform::LiveBitmapCount();
        outcome.run = RunText(text, options);
        outcome.openFiles = platform::FileCalls().openHandles;
        outcome.bitmapsLeft = platform::LiveBitmapCount() - bitmaps;
        std::error_code code;
        for (fs::directory_iterator it(folder, code), end; !code && it != end; it.increment(code)) {
            outcome.files[it->path().filename().string()] = workbench::ReadBytes(it->path().string());
        }
        return outcome;
    }

    // Both modes, with the same options (and so the same folder); checks
    // that they agree in every visible way and returns the emulated outcome.
    Outcome RunBoth(const std::string& text, const sim::SessionOptions& options, const std::string& what,
                    const std::function<void()>& arm = nullptr) {
        if (arm) {
            arm();
        }
        Outcome native = Run(text, options, false);
        if (arm) {
            arm();
        }
        Outcome emulated = Run(text, options, true);
        EXPECT_EQ(FirstDifference(native.run.transcript, emulated.run.transcript), "")
            << what << " (a DLL built from older sources differs too: `make dll` rebuilds it)";
        EXPECT_EQ(native.run.Error(), emulated.run.Error()) << what;
        EXPECT_EQ(native.files, emulated.files) << what << ": the scenery files differ";
        EXPECT_EQ(native.run.result.allocationCalls, emulated.run.result.allocationCalls) << what;
        EXPECT_EQ(native.run.result.liveBlocksAfterTeardown, emulated.run.result.liveBlocksAfterTeardown)
            << what;
        EXPECT_EQ(emulated.openFiles, 0) << what;
        EXPECT_EQ(native.bitmapsLeft, emulated.bitmapsLeft) << what;
        return emulated;
    }

    sim::SessionOptions Lenient() {
        sim::SessionOptions options = Options();
        options.strict = false;
        return options;
    }
};

TEST_F(RealDllSessions, EveryExampleTellsTheSameStoryInBothModes) {
    std::vector<fs::path> examples;
    for (const auto& entry : fs::directory_iterator(workbench::SourceRoot() / "examples")) {
        if (entry.path().extension() == ".session") {
            examples.push_back(entry.path());
        }
    }
    std::sort(examples.begin(), examples.end());
    ASSERT_GE(examples.size(), 4u);
    for (const fs::path& example : examples) {
        Outcome emulated =
            RunBoth(workbench::ReadText(example.string()), Options(), example.filename().string());
        EXPECT_TRUE(emulated.run.result.ok()) << emulated.run.Error(example.filename().string());
    }
}

TEST_F(RealDllSessions, EveryHostAllocationOfEachExampleFailingInTurn) {
    int runs = 0;
    for (const char* name :
         {"tour.session", "far-away.session", "delete-last.session", "languages.session"}) {
        const std::string text = workbench::ReadText(workbench::ExamplePath(name));
        const Outcome clean = RunBoth(text, Lenient(), std::string(name) + " without faults");
        const int64_t allocations = clean.run.result.allocationCalls;
        ASSERT_GT(allocations, 0) << name;
        for (int64_t n = 1; n <= allocations; ++n) {
            sim::SessionOptions options = Lenient();
            options.onSimulatorCreated = [n](sim::Simulator& simulator) {
                simulator.host().FailAllocationAt(n);
            };
            const Outcome run =
                RunBoth(text, options, std::string(name) + " allocation " + std::to_string(n));
            EXPECT_TRUE(run.run.result.ok()) << name << " allocation " << n << ": " << run.run.Error();
            ++runs;
        }
    }
    RecordProperty("runs", runs);
}

TEST_F(RealDllSessions, EveryFileCallOfTheTourFailingInTurn) {
    const std::string tour = workbench::ReadText(workbench::ExamplePath("tour.session"));
    platform::ClearFileFaults();
    RunBoth(tour, Lenient(), "the tour without faults", [] { platform::ClearFileFaults(); });
    const platform::FileCallCounts calls = platform::FileCalls();
    ASSERT_GT(calls.write, 0);
    int runs = 0;
    for (const workbench::FileFaultCase& fault : workbench::EveryFileFault(calls)) {
        const std::string& what = fault.name;
        const Outcome run = RunBoth(tour, Lenient(), what, [&] { platform::SetFileFaults(fault.faults); });
        int failedSaves = 0;
        for (const sim::MessageBox& box : run.run.result.boxes) {
            failedSaves += box.textId == IDS_SAVE_FAILED;
        }
        EXPECT_EQ(failedSaves, 1) << what;
        ++runs;
    }
    platform::ClearFileFaults();
    EXPECT_EQ(runs, 2 * calls.write + calls.create + calls.flush + calls.move);
    RecordProperty("runs", runs);
}

TEST_F(RealDllSessions, TheDllIsAttachedAsWindowsAndTheHostWouldAttachIt) {
    sim::SimulatorOptions options;
    options.sceneryFolder = folder;
    options.modulePath = emulation::DllPath().string();
    sim::Simulator simulator(options);
    ASSERT_EQ(simulator.GuestFault(), nullptr);
    auto& space = dynamic_cast<sim::EmulatedSpace&>(simulator.host().space());
    HMODULE module = GetModuleHandleA("TAVUEdit.dll");
    ASSERT_NE(module, nullptr);
    // DllMain ran with the guest base as its HINSTANCE and told the loader so.
    EXPECT_EQ(platform::ThreadNotificationsDisabled(module), 1);
    // Every ImportTable entry now holds a host table in the module's memory.
    const uint32_t table = static_cast<uint32_t>(
        space.AddressOf(reinterpret_cast<const void*>(GetProcAddress(module, "ImportTable"))));
    for (uint32_t entry = 0; entry + 1 < IMPORT_ENTRY_COUNT; ++entry) {
        const uint32_t address = space.Read<uint32_t>(table + 8 * entry + 4);
        EXPECT_NE(space.Native(address, 4), nullptr) << "ImportTable entry " << entry;
    }
    EXPECT_EQ(space.Read<uint32_t>(table + 8 * (IMPORT_ENTRY_COUNT - 1)), 0u);
}

// --- Guest faults ------------------------------------------------------------

class GuestFaults : public workbench::SessionTest {
  protected:
    void SetUp() override { SKIP_WITHOUT_DLL(); }

    static sim::EmulatedSpace& Space(sim::Simulator& simulator) {
        return dynamic_cast<sim::EmulatedSpace&>(simulator.host().space());
    }
    // The guest address of the DLL's Linkage record.
    static uint32_t Linkage(sim::EmulatedSpace& space) {
        const void* linkage =
            reinterpret_cast<const void*>(GetProcAddress(GetModuleHandleA("TAVUEdit.dll"), "Linkage"));
        return static_cast<uint32_t>(space.AddressOf(linkage));
    }
    static uint32_t EntryWord(sim::EmulatedSpace& space, int word) {
        return space.Read<uint32_t>(Linkage(space) + 4 * static_cast<uint32_t>(word));
    }
    // Rewrites guest code in place, as a damaged image would hold it.
    static void Patch(sim::EmulatedSpace& space, uint32_t address, std::vector<uint8_t> bytes) {
        memcpy(space.Native(address, bytes.size()), bytes.data(), bytes.size());
        space.cpu().FlushCode(address & ~(X86Emulator::kPageSize - 1), 2 * X86Emulator::kPageSize);
    }

    SessionRun Run(const std::string& text, std::function<void(sim::Simulator&)> arm,
                   std::function<void(sim::Simulator&, const sim::Statement&)> after = nullptr) {
        sim::SessionOptions options = Options();
        options.modulePath = emulation::DllPath().string();
        options.onSimulatorCreated = std::move(arm);
        options.afterStatement = std::move(after);
        return RunText(text, options);
    }

    // The session stopped at `line` with a guest fault; returns its message.
    static std::string ExpectGuestFault(const SessionRun& run, int line) {
        EXPECT_FALSE(run.result.ok());
        if (!run.result.error) {
            return "";
        }
        const std::string& message = run.result.error->message;
        EXPECT_EQ(run.result.error->line, line) << message;
        EXPECT_EQ(message.rfind("guest fault: ", 0), 0u) << message;
        EXPECT_NE(run.transcript.find("ERROR: " + message), std::string::npos) << run.transcript;
        EXPECT_NE(run.transcript.find("session stopped at line " + std::to_string(line)), std::string::npos);
        return message;
    }
};

TEST_F(GuestFaults, DamagedCodeStopsTheSessionAtTheStatementThatRanIt) {
    SessionRun run = Run("start\nkey Ctrl+Insert\n", [](sim::Simulator& simulator) {
        sim::EmulatedSpace& space = Space(simulator);
        Patch(space, EntryWord(space, 6), {0x0F, 0x0B});  // ud2 at the top of EditorStart
    });
    const std::string message = ExpectGuestFault(run, 1);
    EXPECT_NE(message.find("(in editor start, during start)"), std::string::npos) << message;
    EXPECT_EQ(run.transcript.find("2  key"), std::string::npos) << "nothing runs after the fault";
}

TEST_F(GuestFaults, AKeyFilterPointingAtDataIsNamedWhenAKeyReachesIt) {
    SessionRun run = Run(
        "start\nkey Ctrl+Insert\n", nullptr, [](sim::Simulator& simulator, const sim::Statement& statement) {
            if (statement.kind != sim::Statement::Kind::Start) {
                return;
            }
            // The key hook as a broken module would install it: the handler
            // nowhere, the filter on the Linkage record.
            sim::EmulatedSpace& space = Space(simulator);
            space.cpu().Call(static_cast<uint32_t>(space.HostEntry(sim::HostFunction::InstallKeyHook)),
                             {0x00000010, Linkage(space)}, "a broken install");
        });
    const std::string message = ExpectGuestFault(run, 2);
    EXPECT_NE(message.find("jump to non-code memory"), std::string::npos) << message;
    EXPECT_NE(message.find("(in key filter, during key Ctrl+Insert)"), std::string::npos) << message;
}

TEST_F(GuestFaults, ARunawayLoopIsCutOffByTheBlockLimit) {
    SessionRun run = Run("start\nstop\n", [](sim::Simulator& simulator) {
        sim::EmulatedSpace& space = Space(simulator);
        space.cpu().SetBlockLimit(100000);
        Patch(space, EntryWord(space, 7), {0xEB, 0xFE});  // jmp $ at the top of EditorStop
    });
    const std::string message = ExpectGuestFault(run, 2);
    EXPECT_NE(message.find("runaway guest code"), std::string::npos) << message;
    EXPECT_NE(message.find("(in editor stop, during stop)"), std::string::npos) << message;
}

TEST_F(GuestFaults, ABadPointerHandedToTheHostNamesTheTrapAndTheArgument) {
    SessionRun run = Run("start\n", [](sim::Simulator& simulator) {
        sim::EmulatedSpace& space = Space(simulator);
        const uint32_t copyString = static_cast<uint32_t>(space.HostEntry(sim::HostFunction::CopyString));
        const uint32_t source = Linkage(space);  // starts with a zero word: an empty string
        // EditorStart becomes CopyString(0x10, source): push source; push
        // 0x10; mov eax, copyString; call eax; ret 8.
        std::vector<uint8_t> code = {0x68, 0, 0, 0, 0, 0x68, 0x10, 0,    0,    0,
                                     0xB8, 0, 0, 0, 0, 0xFF, 0xD0, 0xC2, 0x08, 0x00};
        memcpy(&code[1], &source, 4);
        memcpy(&code[11], &copyString, 4);
        Patch(space, EntryWord(space, 6), code);
    });
    const std::string message = ExpectGuestFault(run, 1);
    EXPECT_NE(message.find("trap CopyString failed: argument 1 (destination) 0x00000010"), std::string::npos)
        << message;
    EXPECT_NE(message.find("(in editor start, during start)"), std::string::npos) << message;
}

TEST_F(GuestFaults, AFaultWhileTheModuleLoadsEndsTheSessionBeforeItsFirstStatement) {
    // DllMain runs before any statement; a module whose DllMain faults never
    // gets to init.
    std::vector<uint8_t> file = emulation::DllBytes();
    std::string error;
    std::optional<sim::PeImage> image = sim::ParsePeImage(file, &error);
    ASSERT_TRUE(image) << error;
    const sim::PeSection* section = image->SectionAt(image->entryRva);
    ASSERT_NE(section, nullptr);
    file[section->rawOffset + (image->entryRva - section->virtualAddress)] = 0xF4;  // hlt
    const std::string path = root + "/Damaged.dll";
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));

    sim::SessionOptions options = Options();
    options.modulePath = path;
    SessionRun run = RunText("start\n", options);
    ASSERT_TRUE(run.result.error);
    EXPECT_EQ(run.result.error->line, 1);
    EXPECT_NE(run.result.error->message.find("guest fault: "), std::string::npos)
        << run.result.error->message;
    EXPECT_NE(run.result.error->message.find("DllMain (attach)"), std::string::npos)
        << run.result.error->message;
    EXPECT_FALSE(run.result.simulatorCreated);
    EXPECT_EQ(GetModuleHandleA("TAVUEdit.dll"), nullptr);
}

// --- tavu run --module --------------------------------------------------------

struct Command {
    int exitCode = -1;
    std::string out;
};

Command Tavu(const std::string& arguments) {
    Command command;
    FILE* pipe = popen((std::string(TAVU_BINARY_DIR) + "/tavu " + arguments + " 2>&1").c_str(), "r");
    if (pipe == nullptr) {
        return command;
    }
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        command.out.append(buffer, n);
    }
    const int status = pclose(pipe);
    command.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return command;
}

TEST_F(RealDllSessions, TavuRunTakesTheDllFromTheCommandLine) {
    const std::string tour = workbench::ExamplePath("tour.session");
    const Command native = Tavu("run " + tour + " --sceneries " + folder);
    fs::remove_all(folder);
    const Command emulated =
        Tavu("run " + tour + " --sceneries " + folder + " --module " + emulation::DllPath().string());
    EXPECT_EQ(emulated.exitCode, 0) << emulated.out;
    EXPECT_EQ(FirstDifference(native.out, emulated.out), "");

    const std::string notADll = root + "/notes.txt";
    std::ofstream(notADll) << "not a DLL\n";
    const Command refused = Tavu("run " + tour + " --sceneries " + folder + " --module " + notADll);
    EXPECT_EQ(refused.exitCode, 1) << refused.out;
    EXPECT_NE(refused.out.find("cannot load the module " + notADll + ": "), std::string::npos) << refused.out;

    const Command missing = Tavu("run " + tour + " --module " + root + "/absent.dll");
    EXPECT_NE(missing.exitCode, 0);
    EXPECT_NE(missing.out.find("absent.dll"), std::string::npos) << missing.out;
}

}  // namespace
