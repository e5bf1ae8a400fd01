// tavu fly with the real DLL: the same keys give the same screens and the
// same file as with the linked-in editor, and a fault of the DLL's code ends
// the flight instead of hanging or crashing it.
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "module/host.h"
#include "placement/edit_state.h"
#include "platform/native.h"
#include "platform/resources.h"
#include "sim/emulated_space.h"
#include "sim/simulator.h"
#include "tests/emulation/emulation_support.h"
#include "tests/fly/fly_support.h"

namespace {

using flytest::ScriptConsole;
using tavu::fly::FlyOptions;
using tavu::fly::FlySession;
using tavu::fly::Key;
using tavu::fly::KeyId;

class FlyTheRealDll : public flytest::FolderTest {
  protected:
    void SetUp() override { SKIP_WITHOUT_DLL(); }

    FlyOptions Options(bool emulated) {
        FlyOptions options;
        options.sceneryFolder = folder;
        options.language = platform::LANGUAGE_ENGLISH;
        options.dataFolder = TAVU_DATA_DIR;
        options.modulePath = emulated ? emulation::DllPath().string() : "";
        return options;
    }

    struct Flight {
        std::vector<std::string> screens;  // at each check
        std::string summary;
        std::string file;  // the bytes of the scenery file saved
    };

    // A cat added, sent running north, stopped, and the editor quit.
    Flight Fly(bool emulated) {
        std::filesystem::remove_all(folder);
        state = EditState{};  // as a freshly loaded DLL has it
        ScriptConsole console;
        FlySession session(Options(emulated), console);
        std::string error;
        EXPECT_TRUE(session.Start(&error)) << error;
        Flight flight;
        auto look = [&] { flight.screens.push_back(console.Text()); };
        console.Check(look).Type("i").Check(look);
        console.Press(Key::Of(KeyId::Down), 5).Press(Key::Of(KeyId::Tab)).Press(Key::Of(KeyId::Down), 2);
        console.Check(look).Press(Key::Of(KeyId::Enter)).Wait(100).Check(look);
        console.Press(Key::Of(KeyId::Up), 10).Wait(4000).Check(look);
        console.Type("c").Wait(200).Check(look).Type("q").Type("y");
        session.Run();
        EXPECT_EQ(session.simulator().GuestFault(), nullptr);
        flight.summary = session.Summary();
        flight.file = flytest::ReadFileText(folder + "/scenery-001.tsc");
        return flight;
    }
};

TEST_F(FlyTheRealDll, TheSameKeysShowTheSameScreensAndSaveTheSameFile) {
    const Flight native = Fly(false);
    const Flight emulated = Fly(true);
    ASSERT_EQ(native.screens.size(), 6u);
    ASSERT_EQ(emulated.screens.size(), native.screens.size());
    for (size_t i = 0; i < native.screens.size(); ++i) {
        EXPECT_EQ(emulated.screens[i], native.screens[i]) << "screen " << i;
    }
    EXPECT_NE(native.summary.find("scenery-001.tsc (1 object)"), std::string::npos) << native.summary;
    EXPECT_EQ(emulated.summary, native.summary);
    EXPECT_FALSE(native.file.empty());
    EXPECT_EQ(emulated.file, native.file);
}

TEST_F(FlyTheRealDll, AFaultOfTheDllsCodeEndsTheFlight) {
    ScriptConsole console;
    FlySession session(Options(true), console);
    std::string error;
    ASSERT_TRUE(session.Start(&error)) << error;
    sim::Host& host = session.simulator().host();
    auto& space = dynamic_cast<sim::EmulatedSpace&>(host.space());
    // A cat added: the editor now moves its selection every frame.
    console.Type("i").Press(Key::Of(KeyId::Enter)).Wait(100);
    console.Check([&] {
        const std::vector<sim::ModuleAddress> callbacks = host.RegisteredAddresses(FRAME_CALLBACK);
        ASSERT_FALSE(callbacks.empty());
        // Its first instruction becomes ud2.
        const auto callback = static_cast<uint32_t>(callbacks.front());
        memcpy(space.Native(callback, 2), "\x0F\x0B", 2);
        space.cpu().FlushCode(callback & ~0xFFFu, 2 * sim::X86Emulator::kPageSize);
    });
    console.Wait(1000).Type("iiii");
    session.Run();
    const sim::X86Emulator::Fault* fault = session.simulator().GuestFault();
    ASSERT_NE(fault, nullptr);
    EXPECT_EQ(fault->innerCall, "frame callback") << fault->Describe();
    EXPECT_FALSE(console.Done()) << "no key is read once the module's code has stopped";
}

}  // namespace
