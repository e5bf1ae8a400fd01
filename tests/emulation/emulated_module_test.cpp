// The real DLL loaded into the emulated CPU: where it lands, how its imports
// are bound and its sections protected, what it registers while loaded, and
// the boundary pieces the traps rely on (handle tokens, dialog procedure
// thunks, guest pointers checked before native code sees them).
#include "sim/emulated_module.h"

#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/native.h"
#include "platform/resources.h"
#include "sim/emulated_space.h"
#include "sim/host.h"
#include "tests/emulation/emulation_support.h"

namespace {

using sim::EmulatedModule;
using sim::EmulatedSpace;
using sim::HostFunction;
using sim::X86Emulator;

class DllLoading : public testing::Test {
  protected:
    void SetUp() override {
        SKIP_WITHOUT_DLL();
        std::string error;
        module = EmulatedModule::Load(space, emulation::DllBytes(), {}, &error);
        ASSERT_TRUE(module) << error;
    }
    // The fault message of a call, "" when it ran cleanly; clears the fault.
    std::string Fault(uint32_t function, std::initializer_list<uint32_t> arguments) {
        space.cpu().Call(function, arguments, "a test call");
        const std::string message = space.fault() ? space.fault()->message : "";
        space.cpu().ClearFault();
        return message;
    }

    EmulatedSpace space;
    std::unique_ptr<EmulatedModule> module;
};

TEST_F(DllLoading, LandsAwayFromItsPreferredBaseWithEachImportBoundToItsOwnTrap) {
    const sim::PeImage& image = module->image();
    EXPECT_NE(module->base(), image.preferredBase);
    std::set<uint32_t> traps;
    for (const sim::PeImport& entry : image.imports) {
        const uint32_t bound = space.Read<uint32_t>(module->base() + entry.iatRva);
        EXPECT_EQ(space.cpu().TrapName(bound), entry.dll + "!" + entry.name);
        traps.insert(bound);
    }
    EXPECT_EQ(traps.size(), image.imports.size()) << "two functions share a trap";
}

TEST_F(DllLoading, WhileLoadedItsTextsAndDialogsAreTheDlls) {
    const auto& [key, text] = *module->image().strings.begin();
    EXPECT_EQ(platform::FindStringUtf8(key.second, key.first), text.c_str());
    EXPECT_EQ(platform::FindDialogResource(102, platform::LANGUAGE_GERMAN),
              module->image().FindDialog(102, platform::LANGUAGE_GERMAN));
    module.reset();
    EXPECT_EQ(GetModuleHandleA("TAVUEdit.dll"), nullptr);
    EXPECT_EQ(platform::CurrentResourceProvider(), nullptr);
}

TEST_F(DllLoading, SectionsGetTheRightsTheirCharacteristicsGive) {
    uint32_t code = 0, variables = 0;
    for (const sim::PeSection& section : module->image().sections) {
        if (section.name == ".text")
            code = module->base() + section.virtualAddress;
        if (section.name == ".data")
            variables = module->base() + section.virtualAddress;
    }
    ASSERT_NE(code * variables, 0u);
    EXPECT_NE(Fault(variables, {}).find("jump to non-code memory"), std::string::npos);
    // Host functions write for the guest only where it may write itself.
    const uint32_t copyBytes = static_cast<uint32_t>(space.HostEntry(HostFunction::CopyBytes));
    const uint32_t scratch = space.cpu().Allocate(4);
    space.Write<uint32_t>(scratch, 0x12345678);
    for (uint32_t readOnly : {module->base(), code, variables - 4}) {
        EXPECT_NE(Fault(copyBytes, {readOnly, scratch, 4}).find("argument 1 (destination)"),
                  std::string::npos);
    }
    EXPECT_EQ(Fault(copyBytes, {variables, scratch, 4}), "");
    EXPECT_EQ(space.Read<uint32_t>(variables), 0x12345678u);
}

TEST_F(DllLoading, AnImportTheWorkbenchLacksFailsTheLoadByNameAndLeavesNothingBehind) {
    module.reset();
    std::vector<uint8_t> file = emulation::DllBytes();
    const char name[] = "SetWindowTextA";  // with its NUL
    auto at = std::search(file.begin(), file.end(), name, name + sizeof name);
    ASSERT_NE(at, file.end());
    at[sizeof name - 2] = 'W';
    std::string error;
    EXPECT_FALSE(EmulatedModule::Load(space, file, {}, &error));
    EXPECT_EQ(error, "unresolved import USER32.dll!SetWindowTextW");
    at[sizeof name - 2] = '\x1b';  // a name from the file comes back printable
    EXPECT_FALSE(EmulatedModule::Load(space, file, {}, &error));
    EXPECT_EQ(error, "unresolved import USER32.dll!SetWindowText\\x1b");
    EXPECT_EQ(GetModuleHandleA("TAVUEdit.dll"), nullptr);
    EXPECT_EQ(platform::CurrentResourceProvider(), nullptr);
}

TEST(GuestHandleTable, TokensStandForNativeHandlesAndNoForgedOneReachesThem) {
    sim::GuestHandles handles;
    EXPECT_EQ(handles.ToGuest(nullptr), 0u);
    EXPECT_EQ(handles.ToGuest(INVALID_HANDLE_VALUE), 0xFFFFFFFFu);
    EXPECT_EQ(handles.ToNative(0), nullptr);
    EXPECT_EQ(handles.ToNative(0xFFFFFFFF), INVALID_HANDLE_VALUE);
    platform::ClearFileFaults();
    HANDLE file = CreateFileA("/dev/null", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    const uint32_t token = handles.ToGuest(file);
    EXPECT_EQ(handles.ToGuest(file), token);
    // Neither a neighbouring token, the native pointer's low bits nor a
    // forgotten token reaches the open file.
    handles.Forget(token);
    for (uint32_t forged : {token, token + 4, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(file))}) {
        EXPECT_FALSE(CloseHandle(handles.ToNative(forged))) << forged;
    }
    const uint32_t again = handles.ToGuest(file);
    EXPECT_NE(again, token) << "a token is not handed out twice";
    EXPECT_TRUE(CloseHandle(handles.ToNative(again)));
    EXPECT_EQ(platform::FileCalls().openHandles, 0);
}

TEST(DialogProcedureThunks, EachGuestProcedureGetsANativeProcedureOfItsOwn) {
    EmulatedSpace space;
    X86Emulator& cpu = space.cpu();
    // mov eax,[esp+8]; add eax,1000; ret 16 and then mov eax,[esp+16]; ret 16
    const uint8_t procedures[] = {0x8B, 0x44, 0x24, 0x08, 0x05, 0xE8, 0x03, 0x00, 0x00, 0xC2,
                                  0x10, 0x00, 0x8B, 0x44, 0x24, 0x10, 0xC2, 0x10, 0x00};
    const uint32_t code = cpu.Allocate(X86Emulator::kPageSize, X86Emulator::kPageSize);
    memcpy(cpu.Native(code, sizeof procedures), procedures, sizeof procedures);
    ASSERT_TRUE(cpu.Protect(code, X86Emulator::kPageSize, X86Emulator::kRead | X86Emulator::kExecute));
    DLGPROC first = space.DialogProcedure(code), second = space.DialogProcedure(code + 12);
    EXPECT_NE(first, second);
    EXPECT_EQ(space.DialogProcedure(code), first);
    const HWND dialog = reinterpret_cast<HWND>(uintptr_t{0x10004});
    EXPECT_EQ(first(dialog, WM_COMMAND, 0, 0), WM_COMMAND + 1000);
    EXPECT_EQ(second(dialog, WM_COMMAND, 0, -1), -1) << "a guest LRESULT is 32 bits";
}

// A guest pointer a host function cannot honour becomes a guest fault naming
// the trap and the argument, and never reaches the host.
TEST(HostTraps, BadPointersBecomeGuestFaultsNamingTheTrapAndArgument) {
    sim::Host host(std::make_unique<EmulatedSpace>());
    auto& space = dynamic_cast<EmulatedSpace&>(host.space());
    const X86Emulator::Layout& layout = space.cpu().layout();
    const uint32_t text = space.cpu().Allocate(5);
    memcpy(space.Native(text, 5), "text", 5);
    const uint32_t endless = layout.heapEnd - 8;  // up to the arena's end, without a NUL
    memset(space.Native(endless, 8), 'x', 8);
    using F = HostFunction;
    const struct {
        F function;
        std::vector<uint32_t> arguments;
        std::string message;
    } cases[] = {
        {F::CopyString, {0x10, text}, "trap CopyString failed: argument 1 (destination) 0x00000010"},
        {F::CopyString, {text, endless}, "is a string without an end"},
        {F::CopyString, {text, text + 1}, "the source and destination strings overlap"},
        {F::AppendString, {text, text}, "the source and destination strings overlap"},
        {F::AllocBlock, {1, 16, layout.trapBase + 0x200, 0}, "points into the host's trap stubs"},
        {F::ResizeBlock, {1, 16, 0}, "trap ResizeBlock failed: argument 3 (the block's cell)"},
        {F::CopyBytes, {text, layout.heapEnd - 3, 4}, "(4 bytes) lies outside the module's memory"},
        {F::CompareBytes, {text, 0x20, 4}, "trap CompareBytes failed: argument 2"},
        {F::DrawBlock, {layout.heapEnd - 55, 0}, "argument 1 (the command block)"},
        {F::SinCos, {0, 0, text}, "argument 2 (sine)"},
        {F::ShowHelp, {endless, 0}, "is a string without an end"},
    };
    for (const auto& c : cases) {
        space.cpu().Call(static_cast<uint32_t>(space.HostEntry(c.function)), c.arguments, "a test call");
        const std::string message = space.fault() ? space.fault()->message : "no fault";
        EXPECT_NE(message.find(c.message), std::string::npos) << message;
        space.cpu().ClearFault();
    }
    EXPECT_EQ(host.Allocations().calls, 0);
    EXPECT_EQ(host.DrawCount(), 0);
    EXPECT_TRUE(host.HelpRequests().empty());
}

}  // namespace
