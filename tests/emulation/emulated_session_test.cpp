// The real DLL in whole sessions and flights: every example tells the same
// story and leaves the same bytes on disk as the linked-in module, under each
// injected allocation fault too, and tavu fly shows the same screens; a DLL
// whose code goes wrong stops its session or flight with a guest fault
// instead of taking the workbench down.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>

#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "module/host.h"
#include "placement/edit_state.h"
#include "platform/bitmaps.h"
#include "platform/native.h"
#include "sim/emulated_space.h"
#include "sim/pe_image.h"
#include "sim/simulator.h"
#include "tests/emulation/emulation_support.h"
#include "tests/fly/fly_support.h"
#include "tests/workbench/workbench_support.h"

namespace {

namespace fs = std::filesystem;
using sim::EmulatedSpace;
using workbench::SessionRun;

EmulatedSpace& SpaceOf(sim::Simulator& simulator) {
    return dynamic_cast<EmulatedSpace&>(simulator.host().space());
}

// Rewrites guest code in place, as a damaged image would hold it.
void Patch(EmulatedSpace& space, uint32_t address, const std::vector<uint8_t>& code) {
    memcpy(space.Native(address, code.size()), code.data(), code.size());
    space.cpu().FlushCode(address & ~0xFFFu, 2 * sim::X86Emulator::kPageSize);
}

// A script's run with the files it left.
struct Outcome {
    SessionRun run;
    std::map<std::string, std::vector<uint8_t>> files;
    int openFiles = 0;
    int bitmapsLeft = 0;  // loaded during the run and never deleted
};

class RealDllSessions : public workbench::SessionTest {
  protected:
    void SetUp() override { SKIP_WITHOUT_DLL(); }

    Outcome Run(const std::string& text, sim::SessionOptions options, bool emulated) {
        fs::remove_all(folder);
        if (prepare)
            prepare();
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
        for (fs::directory_iterator it(folder, code), end; !code && it != end; it.increment(code))
            outcome.files[it->path().filename().string()] = workbench::ReadBytes(it->path().string());
        return outcome;
    }

    // Both builds with the same options agree in every visible way; returns
    // the emulated outcome.
    Outcome RunBoth(const std::string& text, const sim::SessionOptions& options, const std::string& what) {
        const Outcome native = Run(text, options, false);
        Outcome emulated = Run(text, options, true);
        EXPECT_EQ(native.run.transcript, emulated.run.transcript)
            << what << " (a DLL built from older sources differs too: `make dll` rebuilds it)";
        EXPECT_TRUE(native.files == emulated.files) << what << ": the scenery files differ";
        EXPECT_EQ(native.run.result.allocationCalls, emulated.run.result.allocationCalls) << what;
        EXPECT_EQ(native.run.result.liveBlocksAfterTeardown, emulated.run.result.liveBlocksAfterTeardown)
            << what;
        EXPECT_EQ(emulated.openFiles, 0) << what;
        EXPECT_EQ(native.bitmapsLeft, emulated.bitmapsLeft) << what;
        return emulated;
    }

    std::function<void()> prepare;  // fills the fresh scenery folder before each run
};

TEST_F(RealDllSessions, EveryExampleTellsTheSameStoryInBothBuildsUnderEachAllocationFailure) {
    int examples = 0;
    for (const auto& entry : fs::directory_iterator(workbench::SourceRoot() / "examples")) {
        if (entry.path().extension() != ".session")
            continue;
        const std::string name = entry.path().filename().string(), text = workbench::ReadText(entry.path());
        const Outcome clean = RunBoth(text, Options(), name);
        EXPECT_TRUE(clean.run.result.ok()) << clean.run.Error(name);
        const int64_t allocations = clean.run.result.allocationCalls;
        ASSERT_GT(allocations, 0) << name;
        sim::SessionOptions options = Options();
        options.strict = false;
        for (int64_t n = 1; n <= allocations; ++n) {
            options.onSimulatorCreated = [n](sim::Simulator& simulator) {
                simulator.host().FailAllocationAt(n);
            };
            const Outcome run = RunBoth(text, options, name + " allocation " + std::to_string(n));
            EXPECT_TRUE(run.run.result.ok()) << name << " allocation " << n << ": " << run.run.Error();
        }
        ++examples;
    }
    EXPECT_GE(examples, 4);
}

TEST_F(RealDllSessions, ASceneryWrittenByTavuImportIsLoadedAndEditedLikeAnyOther) {
    const std::string csv = root + "/survey.csv";
    std::ofstream(csv) << "name,lon,lat,heading\nTree 1,8.9,46.16,30\nCow 2,8.9005,46.16,\n";
    prepare = [&] {
        fs::create_directories(folder);
        const std::string command = std::string(TAVU_BINARY_DIR) + "/tavu import " + csv + " -o " + folder +
                                    "/scenery-001.tsc --altitude 200 >/dev/null";
        ASSERT_EQ(system(command.c_str()), 0);
    };
    const Outcome outcome = RunBoth(
        "aircraft lat 46.1598 lon 8.9 alt 200 heading 0\nstart\nexpect scenery scenery-001.tsc\n"
        "expect objects 2\nkey Ctrl+Shift+Right\nexpect selected \"Cow 2\"\ndialog scale 150 ok\n"
        "key Ctrl+Enter\nexpect scale 150\ndialog group \"Animals\" object \"Elephant 1\" ok\n"
        "key Ctrl+Insert\nstop\nexpect file scenery-001.tsc bytes 276 objects 3\n",
        Options(), "an imported scenery");
    EXPECT_TRUE(outcome.run.result.ok()) << outcome.run.Error() << "\n" << outcome.run.transcript;
}

TEST_F(RealDllSessions, DllMainGetsTheGuestBaseAsItsInstance) {
    sim::SimulatorOptions options;
    options.sceneryFolder = folder;
    options.modulePath = emulation::DllPath().string();
    sim::Simulator simulator(options);
    // DllMain passed its HINSTANCE, the guest base, on to DisableThreadLibraryCalls.
    EXPECT_EQ(platform::ThreadNotificationsDisabled(GetModuleHandleA("TAVUEdit.dll")), 1);
}

// The guest address of Linkage word `word`.
uint32_t LinkageWord(EmulatedSpace& space, int word) {
    const void* linkage =
        reinterpret_cast<const void*>(GetProcAddress(GetModuleHandleA("TAVUEdit.dll"), "Linkage"));
    return static_cast<uint32_t>(space.AddressOf(linkage)) + 4 * word;
}

// The code a Linkage word points at begins with `code` once the DLL is
// attached, and a runaway loop is cut off early.
std::function<void(sim::Simulator&)> Damage(int word, std::vector<uint8_t> code) {
    return [=](sim::Simulator& simulator) {
        EmulatedSpace& space = SpaceOf(simulator);
        space.cpu().SetBlockLimit(100000);
        Patch(space, space.Read<uint32_t>(LinkageWord(space, word)), code);
    };
}

// The key hook as a broken module would install it once started: the
// handler nowhere, the filter on the Linkage record.
void BrokenKeyHook(sim::Simulator& simulator, const sim::Statement& statement) {
    EmulatedSpace& space = SpaceOf(simulator);
    if (statement.kind == sim::Statement::Kind::Start)
        space.cpu().Call(static_cast<uint32_t>(space.HostEntry(sim::HostFunction::InstallKeyHook)),
                         {0x10, LinkageWord(space, 0)}, "a broken install");
}

// Damaged guest code: the session stops at the statement that ran it with a
// guest fault naming the call, and nothing runs after it.
TEST_F(RealDllSessions, AFaultOfTheDllsCodeStopsTheSessionAtItsStatement) {
    // DLLs whose DllMain halts, or begins with 500 FSIN or AAM in a row, more
    // than Unicorn can translate in one block. Their relocation table is
    // emptied so that moving the image leaves that code as it is.
    const std::vector<uint8_t>& file = emulation::DllBytes();
    const std::optional<sim::PeImage> image = sim::ParsePeImage(file, nullptr);
    ASSERT_TRUE(image);
    const sim::PeSection* text = image->SectionAt(image->entryRva);
    const sim::PeSection& relocations = image->sections.back();
    ASSERT_TRUE(text && relocations.name == ".reloc");
    auto withDllMain = [&](const std::string& name, std::vector<uint8_t> run, size_t times) {
        std::vector<uint8_t> bytes = file;
        std::fill_n(bytes.begin() + relocations.rawOffset, 8, 0);  // the first block: the end of the table
        for (size_t i = 0; i < times * run.size(); ++i)
            bytes.at(text->rawOffset + (image->entryRva - text->virtualAddress) + i) = run[i % run.size()];
        std::ofstream(root + "/" + name, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        return root + "/" + name;
    };
    const std::string halting = withDllMain("Halting.dll", {0xF4}, 1), dll = emulation::DllPath().string();
    char entry[64];  // the entry's address, the image lying on a 64 KiB boundary
    snprintf(entry, sizeof entry, "%04X: too long a straight run", image->entryRva & 0xFFFF);

    const struct {
        std::string script;
        int line;
        std::string module;
        std::function<void(sim::Simulator&)> arm;
        std::function<void(sim::Simulator&, const sim::Statement&)> after;
        std::string says;
    } faults[] = {
        {"start\nkey Ctrl+Insert\n", 1, dll, Damage(6, {0x0F, 0x0B}), nullptr,
         "(in editor start, during start)"},
        {"start\nstop\nstart\n", 2, dll, Damage(7, {0xEB, 0xFE}), nullptr, "(in editor stop, during stop)"},
        {"start\nkey Ctrl+Insert\nstop\n", 2, dll, nullptr, BrokenKeyHook,
         "(in key filter, during key Ctrl+Insert)"},
        {"start\n", 1, halting, nullptr, nullptr, "DllMain (attach)"},
        {"start\n", 1, withDllMain("Fsin.dll", {0xD9, 0xFE}, 500), nullptr, nullptr, entry},
        {"start\n", 1, withDllMain("Aam.dll", {0xD4, 0x0A}, 500), nullptr, nullptr, entry},
    };
    for (const auto& fault : faults) {
        sim::SessionOptions options = Options();
        options.modulePath = fault.module;
        options.onSimulatorCreated = fault.arm;
        options.afterStatement = fault.after;
        const SessionRun run = RunText(fault.script, options);
        ASSERT_TRUE(run.result.error) << fault.says << "\n" << run.transcript;
        const std::string& message = run.result.error->message;
        EXPECT_EQ(run.result.error->line, fault.line) << message;
        EXPECT_EQ(message.rfind("guest fault: ", 0), 0u) << message;
        EXPECT_NE(message.find(fault.says), std::string::npos) << message;
        EXPECT_EQ(run.transcript.find("   " + std::to_string(fault.line + 1) + "  "), std::string::npos)
            << "nothing runs after the fault:\n"
            << run.transcript;
        EXPECT_EQ(run.result.simulatorCreated, fault.module == dll);
        EXPECT_EQ(GetModuleHandleA("TAVUEdit.dll"), nullptr);
    }
}

// A fault in the middle of a save: the end of the session closes the file
// the module held and removes the temporary file it made, and says so.
TEST_F(RealDllSessions, AFaultInTheMiddleOfASaveLeavesNoFileOpenAndNoTemporaryFile) {
    const std::optional<sim::PeImage> image = sim::ParsePeImage(emulation::DllBytes(), nullptr);
    ASSERT_TRUE(image);
    uint32_t writeFile = 0;
    for (const sim::PeImport& entry : image->imports)
        writeFile = entry.name == "WriteFile" ? entry.iatRva : writeFile;
    ASSERT_NE(writeFile, 0u);
    sim::SessionOptions options = Options();
    options.modulePath = emulation::DllPath().string();
    // WriteFile through a null import: the save's first write faults.
    options.onSimulatorCreated = [writeFile](sim::Simulator& simulator) {
        const uint32_t null = 0, base = static_cast<uint32_t>(
                                     reinterpret_cast<uintptr_t>(GetModuleHandleA("TAVUEdit.dll")));
        memcpy(SpaceOf(simulator).Native(base + writeFile, 4), &null, 4);
    };
    const SessionRun run = RunText(workbench::kOneElephant + "stop\n", options);
    ASSERT_TRUE(run.result.error) << run.transcript;
    EXPECT_EQ(platform::FileCalls().openHandles, 0);
    const std::string saving = PathOf("scenery-001.tsc.saving");
    EXPECT_FALSE(fs::exists(saving));
    const std::string said = "after the guest fault: closed the file handle of scenery-001.tsc.saving; removed ";
    EXPECT_NE(run.transcript.find(said + saving + "\n"), std::string::npos) << run.transcript;
}

TEST_F(RealDllSessions, TavuRunLoadsTheModuleItIsGiven) {
    const std::string notADll = root + "/notes.txt";
    std::ofstream(notADll) << "not a DLL\n";
    const std::string command = std::string(TAVU_BINARY_DIR) + "/tavu run " +
                                workbench::ExamplePath("tour.session") + " --sceneries " + folder +
                                " --module " + notADll + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string out;
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        out.append(buffer, n);
    const int status = pclose(pipe);
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 1) << out;
    EXPECT_NE(out.find("cannot load the module " + notADll + ": the file ends inside"), std::string::npos)
        << out;
}

// --- tavu fly ----------------------------------------------------------------------

using tavu::fly::Key;
using tavu::fly::KeyId;

class FlyTheRealDll : public flytest::FolderTest {
  protected:
    void SetUp() override { SKIP_WITHOUT_DLL(); }

    tavu::fly::FlyOptions Options(bool emulated) {
        tavu::fly::FlyOptions options;
        options.sceneryFolder = folder;
        options.language = platform::LANGUAGE_ENGLISH;
        options.dataFolder = TAVU_DATA_DIR;
        options.modulePath = emulated ? emulation::DllPath().string() : "";
        return options;
    }

    // A cat added, sent running north, stopped, and the editor quit: the
    // screens at each check, the summary and the scenery file saved.
    std::vector<std::string> Fly(bool emulated) {
        fs::remove_all(folder);
        state = EditState{};  // as a freshly loaded DLL has it
        flytest::ScriptConsole console;
        tavu::fly::FlySession session(Options(emulated), console);
        std::string error;
        EXPECT_TRUE(session.Start(&error)) << error;
        std::vector<std::string> seen;
        auto look = [&] { seen.push_back(console.Text()); };
        console.Check(look).Type("i").Check(look);
        console.Press(Key::Of(KeyId::Down), 5).Press(Key::Of(KeyId::Tab)).Press(Key::Of(KeyId::Down), 2);
        console.Check(look).Press(Key::Of(KeyId::Enter)).Wait(100).Check(look);
        console.Press(Key::Of(KeyId::Up), 10).Wait(4000).Check(look);
        console.Type("c").Wait(200).Check(look).Type("q").Type("y");
        session.Run();
        EXPECT_EQ(session.simulator().GuestFault(), nullptr);
        seen.push_back(session.Summary());
        seen.push_back(flytest::ReadFileText(folder + "/scenery-001.tsc"));
        return seen;
    }
};

TEST_F(FlyTheRealDll, TheSameKeysShowTheSameScreensAndSaveTheSameFile) {
    const std::vector<std::string> native = Fly(false);
    ASSERT_EQ(native.size(), 8u);
    EXPECT_NE(native[6].find("scenery-001.tsc (1 object)"), std::string::npos) << native[6];
    EXPECT_FALSE(native[7].empty());
    EXPECT_EQ(Fly(true), native);
}

TEST_F(FlyTheRealDll, AFaultOfTheDllsCodeEndsTheFlight) {
    flytest::ScriptConsole console;
    tavu::fly::FlySession session(Options(true), console);
    std::string error;
    ASSERT_TRUE(session.Start(&error)) << error;
    sim::Host& host = session.simulator().host();
    // A cat added: the editor now moves its selection every frame, until
    // the first instruction of its frame callback becomes ud2.
    console.Type("i").Press(Key::Of(KeyId::Enter)).Wait(100);
    console.Check([&] {
        const std::vector<sim::ModuleAddress> callbacks = host.RegisteredAddresses(FRAME_CALLBACK);
        ASSERT_FALSE(callbacks.empty());
        Patch(SpaceOf(session.simulator()), static_cast<uint32_t>(callbacks.front()), {0x0F, 0x0B});
    });
    console.Wait(1000).Type("iiii");
    session.Run();
    const sim::X86Emulator::Fault* fault = session.simulator().GuestFault();
    ASSERT_NE(fault, nullptr);
    EXPECT_EQ(fault->innerCall, "frame callback") << fault->Describe();
    EXPECT_FALSE(console.Done()) << "no key is read once the module's code has stopped";
}

}  // namespace
