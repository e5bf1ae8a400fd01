// The real DLL loaded into the emulated CPU: where it lands, how its imports
// are bound and its sections protected, where its texts come from, and the
// boundary pieces the host and the Win32 traps rely on (handle tokens,
// dialog procedure thunks, guest pointers checked before native code sees
// them).
#include "sim/emulated_module.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "module/host.h"
#include "platform/native.h"
#include "platform/resources.h"
#include "sim/emulated_space.h"
#include "sim/host.h"
#include "tests/emulation/emulation_support.h"

namespace {

using sim::EmulatedModule;
using sim::EmulatedSpace;
using sim::GuestHandles;
using sim::HostFunction;
using sim::X86Emulator;

std::string Hex(uint32_t value) {
    char text[16];
    snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

uint32_t WordAt(const std::vector<uint8_t>& bytes, uint32_t offset) {
    uint32_t value;
    memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

class DllLoading : public testing::Test {
  protected:
    void SetUp() override { SKIP_WITHOUT_DLL(); }

    std::unique_ptr<EmulatedModule> Load(sim::EmulatedModuleOptions options = {}) {
        std::string error;
        auto module = EmulatedModule::Load(space, emulation::DllBytes(), options, &error);
        EXPECT_TRUE(module) << error;
        return module;
    }

    std::string LoadError(const std::vector<uint8_t>& file) {
        std::string error;
        auto module = EmulatedModule::Load(space, file, {}, &error);
        EXPECT_FALSE(module);
        return error;
    }

    // The image as it would lie at its preferred base, imports left zero.
    std::vector<uint8_t> AtHome(const sim::PeImage& image) {
        std::vector<uint8_t> memory(image.imageSize);
        std::string error;
        EXPECT_TRUE(sim::MapPeImage(
            image, emulation::DllBytes(), memory.data(), image.preferredBase,
            [](const sim::PeImport&) { return std::optional<uint32_t>(0); }, &error))
            << error;
        return memory;
    }

    X86Emulator& cpu() { return space.cpu(); }

    EmulatedSpace space;
};

TEST_F(DllLoading, MovesAwayFromItsPreferredBaseAndRelocatesEveryAddress) {
    auto module = Load();
    ASSERT_TRUE(module);
    const sim::PeImage& image = module->image();
    const uint32_t base = module->base();
    EXPECT_NE(base, image.preferredBase);
    EXPECT_EQ(base % 0x10000, 0u);

    const std::vector<uint8_t> home = AtHome(image);
    const uint32_t linkageRva = image.exports.at("Linkage");
    EXPECT_EQ(module->Export("Linkage"), base + linkageRva);
    for (int word : {1, 2, 6, 7, 8}) {
        EXPECT_EQ(space.Read<uint32_t>(base + linkageRva + 4 * word),
                  WordAt(home, linkageRva + 4 * word) - image.preferredBase + base)
            << "Linkage word " << word;
    }
    // Every relocated word moved by the same distance, not just Linkage's.
    for (uint32_t rva : image.relocations) {
        ASSERT_EQ(space.Read<uint32_t>(base + rva) - WordAt(home, rva), base - image.preferredBase) << rva;
    }
}

TEST_F(DllLoading, StaysAtItsPreferredBaseWhenAskedAndTheRangeIsFree) {
    std::string error;
    const std::optional<sim::PeImage> image = sim::ParsePeImage(emulation::DllBytes(), &error);
    ASSERT_TRUE(image) << error;
    // The default arena lies far below where MinGW places DLLs.
    EXPECT_FALSE(EmulatedModule::Load(space, emulation::DllBytes(), {.atPreferredBase = true}, &error));
    EXPECT_EQ(error, "the image does not fit at its preferred base " + Hex(image->preferredBase));

    // An arena around the preferred base takes it there, unmoved.
    EmulatedSpace around(std::make_unique<X86Emulator>(image->preferredBase - (16u << 20), 64u << 20));
    auto module = EmulatedModule::Load(around, emulation::DllBytes(), {.atPreferredBase = true}, &error);
    ASSERT_TRUE(module) << error;
    EXPECT_EQ(module->base(), image->preferredBase);
    const std::vector<uint8_t> home = AtHome(*image);
    const uint32_t linkageRva = image->exports.at("Linkage");
    for (int word = 0; word < 10; ++word) {
        EXPECT_EQ(around.Read<uint32_t>(module->base() + linkageRva + 4 * word),
                  WordAt(home, linkageRva + 4 * word));
    }

    // The range is taken now: a second image cannot go there.
    EXPECT_FALSE(EmulatedModule::Load(around, emulation::DllBytes(), {.atPreferredBase = true}, &error));
    EXPECT_NE(error.find("does not fit at its preferred base"), std::string::npos) << error;
}

TEST_F(DllLoading, EveryImportIsBoundToTheTrapOfThatFunction) {
    auto module = Load();
    ASSERT_TRUE(module);
    const sim::PeImage& image = module->image();
    ASSERT_FALSE(image.imports.empty());
    std::set<uint32_t> traps;
    for (const sim::PeImport& entry : image.imports) {
        const uint32_t bound = space.Read<uint32_t>(module->base() + entry.iatRva);
        EXPECT_EQ(cpu().TrapName(bound), entry.dll + "!" + entry.name);
        traps.insert(bound);
    }
    EXPECT_EQ(traps.size(), image.imports.size()) << "two functions share a trap";
}

TEST_F(DllLoading, RegistersItselfUnderItsGuestBaseUntilUnloaded) {
    auto module = Load();
    ASSERT_TRUE(module);
    HMODULE handle = GetModuleHandleA("tavuedit.DLL");
    EXPECT_EQ(handle, module->Instance());
    EXPECT_EQ(reinterpret_cast<uintptr_t>(handle), module->base());
    // The export the host would look up is the guest's own Linkage record.
    auto linkage = reinterpret_cast<const uint8_t*>(GetProcAddress(handle, "Linkage"));
    EXPECT_EQ(space.AddressOf(linkage), module->Export("Linkage"));
    module.reset();
    EXPECT_EQ(GetModuleHandleA("TAVUEdit.dll"), nullptr);
}

TEST_F(DllLoading, SectionsGetTheRightsTheirCharacteristicsGive) {
    auto module = Load();
    ASSERT_TRUE(module);
    const sim::PeSection* text = nullptr;
    const sim::PeSection* data = nullptr;
    for (const sim::PeSection& section : module->image().sections) {
        if (section.name == ".text") {
            text = &section;
        } else if (section.name == ".data") {
            data = &section;
        }
    }
    ASSERT_NE(text, nullptr);
    ASSERT_NE(data, nullptr);
    const uint32_t code = module->base() + text->virtualAddress;
    const uint32_t variables = module->base() + data->virtualAddress;

    // Data does not run.
    cpu().Call(variables, {}, "a jump into .data");
    ASSERT_TRUE(cpu().fault());
    EXPECT_NE(cpu().fault()->message.find("jump to non-code memory"), std::string::npos)
        << cpu().fault()->message;
    cpu().ClearFault();

    // Host functions do not write into code or headers for the guest either.
    const uint32_t copyBytes = static_cast<uint32_t>(space.HostEntry(HostFunction::CopyBytes));
    for (uint32_t target : {code, module->base()}) {
        cpu().Call(copyBytes, {target, variables, 4}, "a copy into read-only memory");
        ASSERT_TRUE(cpu().fault());
        EXPECT_NE(cpu().fault()->message.find("trap CopyBytes failed: argument 1 (destination)"),
                  std::string::npos)
            << cpu().fault()->message;
        EXPECT_NE(cpu().fault()->message.find("read-only memory"), std::string::npos)
            << cpu().fault()->message;
        cpu().ClearFault();
    }
    // Into .data they do.
    const uint32_t scratch = cpu().Allocate(4);
    space.Write<uint32_t>(scratch, 0x12345678);
    cpu().Call(copyBytes, {variables, scratch, 4}, "a copy into .data");
    EXPECT_FALSE(cpu().fault());
    EXPECT_EQ(space.Read<uint32_t>(variables), 0x12345678u);
}

TEST_F(DllLoading, AnImportTheWorkbenchDoesNotProvideFailsTheLoadByName) {
    std::vector<uint8_t> file = emulation::DllBytes();
    const std::string name = "SetWindowTextA";
    auto at = std::search(file.begin(), file.end(), name.begin(), name.end() + 1);  // with its NUL
    ASSERT_NE(at, file.end());
    at[name.size() - 1] = 'W';
    EXPECT_EQ(LoadError(file), "unresolved import USER32.dll!SetWindowTextW");
    // Nothing of the failed load stays behind.
    EXPECT_EQ(GetModuleHandleA("TAVUEdit.dll"), nullptr);
    EXPECT_EQ(platform::CurrentResourceProvider(), nullptr);
}

TEST_F(DllLoading, DamagedFilesAreRefusedBeforeAnythingRuns) {
    std::vector<uint8_t> file = emulation::DllBytes();
    file.resize(file.size() / 2);
    EXPECT_NE(LoadError(file).find("runs past the end of the file"), std::string::npos);

    file = emulation::DllBytes();
    file[0] = 'X';
    EXPECT_EQ(LoadError(file), "no MZ signature: not a PE file");
    EXPECT_EQ(cpu().blocksExecuted(), 0u);

    std::string error;
    EXPECT_FALSE(EmulatedModule::Load(space, "/nonexistent/TAVUEdit.dll", {}, &error));
    EXPECT_EQ(error, "cannot read /nonexistent/TAVUEdit.dll");
}

TEST_F(DllLoading, TextsAndDialogsComeFromTheDllWhileItIsLoaded) {
    auto module = Load();
    ASSERT_TRUE(module);
    const sim::PeImage& image = module->image();
    ASSERT_FALSE(image.strings.empty());
    for (const auto& [key, text] : image.strings) {
        const auto [language, id] = key;
        EXPECT_EQ(platform::FindStringUtf8(id, language), text.c_str()) << id;
    }
    EXPECT_EQ(platform::FindDialogResource(102, platform::LANGUAGE_GERMAN),
              image.FindDialog(102, platform::LANGUAGE_GERMAN));

    const auto [language, id] = image.strings.begin()->first;
    module.reset();
    EXPECT_EQ(platform::CurrentResourceProvider(), nullptr);
    const char* native = platform::FindStringUtf8(id, language);
    ASSERT_NE(native, nullptr);
    EXPECT_STREQ(native, image.strings.begin()->second.c_str());
}

// --- Handles -------------------------------------------------------------------

TEST(GuestHandleTable, NullAndInvalidKeepTheirWin32Values) {
    GuestHandles handles;
    EXPECT_EQ(handles.ToGuest(nullptr), 0u);
    EXPECT_EQ(handles.ToGuest(INVALID_HANDLE_VALUE), 0xFFFFFFFFu);
    EXPECT_EQ(handles.ToNative(0), nullptr);
    EXPECT_EQ(handles.ToNative(0xFFFFFFFF), INVALID_HANDLE_VALUE);
    EXPECT_EQ(handles.size(), 0u);
}

TEST(GuestHandleTable, EachNativeHandleKeepsOneTokenUntilForgotten) {
    GuestHandles handles;
    int a = 0, b = 0;
    const uint32_t first = handles.ToGuest(&a);
    const uint32_t second = handles.ToGuest(&b);
    EXPECT_NE(first, second);
    for (uint32_t token : {first, second}) {
        EXPECT_NE(token, 0u);
        EXPECT_NE(token, 0xFFFFFFFFu);
    }
    EXPECT_EQ(handles.ToGuest(&a), first);
    EXPECT_EQ(handles.ToNative(first), &a);
    EXPECT_EQ(handles.ToNative(second), &b);

    handles.Forget(first);
    void* stale = handles.ToNative(first);
    EXPECT_NE(stale, &a);
    EXPECT_NE(stale, nullptr);
    EXPECT_NE(stale, INVALID_HANDLE_VALUE);
    EXPECT_EQ(handles.ToNative(second), &b);
    EXPECT_NE(handles.ToGuest(&a), first) << "a token is not handed out twice";

    handles.Pin(0x00400000, reinterpret_cast<void*>(uintptr_t{0x00400000}));
    EXPECT_EQ(handles.ToGuest(reinterpret_cast<void*>(uintptr_t{0x00400000})), 0x00400000u);
}

TEST(GuestHandleTable, ForgedTokensReachNoNativeObject) {
    GuestHandles handles;
    platform::ClearFileFaults();
    HANDLE file = CreateFileA("/dev/null", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    const uint32_t token = handles.ToGuest(file);
    // Neither a neighbouring token nor the low bits of the native pointer
    // reach the open file.
    for (uint32_t forged : {token + 4, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(file))}) {
        DWORD written = 7;
        EXPECT_FALSE(WriteFile(handles.ToNative(forged), "x", 1, &written, nullptr));
        EXPECT_EQ(written, 0u);
        EXPECT_FALSE(CloseHandle(handles.ToNative(forged)));
    }
    EXPECT_TRUE(CloseHandle(handles.ToNative(token)));
    EXPECT_EQ(platform::FileCalls().openHandles, 0);
}

// --- Dialog procedures -------------------------------------------------------

// Two tiny stdcall procedures: the first returns its message plus 1000, the
// second its lParam.
uint32_t WriteProcedures(X86Emulator& cpu) {
    const uint32_t page = cpu.Allocate(X86Emulator::kPageSize, X86Emulator::kPageSize);
    const uint8_t first[] = {0x8B, 0x44, 0x24, 0x08, 0x05, 0xE8, 0x03, 0x00, 0x00, 0xC2, 0x10, 0x00};
    const uint8_t second[] = {0x8B, 0x44, 0x24, 0x10, 0xC2, 0x10, 0x00};
    memcpy(cpu.Native(page, sizeof first), first, sizeof first);
    memcpy(cpu.Native(page + 32, sizeof second), second, sizeof second);
    EXPECT_TRUE(cpu.Protect(page, X86Emulator::kPageSize, X86Emulator::kRead | X86Emulator::kExecute));
    return page;
}

TEST(DialogProcedureThunks, EachGuestProcedureGetsANativeProcedureOfItsOwn) {
    EmulatedSpace space;
    const uint32_t code = WriteProcedures(space.cpu());
    DLGPROC first = space.DialogProcedure(code);
    DLGPROC second = space.DialogProcedure(code + 32);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first, second);
    EXPECT_EQ(space.DialogProcedure(code), first);
    EXPECT_EQ(space.DialogProcedure(0), nullptr);

    const HWND dialog = reinterpret_cast<HWND>(uintptr_t{0x10004});
    EXPECT_EQ(first(dialog, WM_COMMAND, 0, 0), WM_COMMAND + 1000);
    EXPECT_EQ(second(dialog, WM_COMMAND, 0, 0x10008), 0x10008);
    // A guest BOOL or LRESULT is 32 bits: -1 stays -1.
    EXPECT_EQ(second(dialog, WM_COMMAND, 0, -1), -1);
    EXPECT_FALSE(space.fault());
}

TEST(DialogProcedureThunks, ThunksAreBoundedAndFreedWithTheirSpace) {
    {
        EmulatedSpace space;
        for (uint32_t i = 0; i < EmulatedSpace::kDialogProcedureSlots; ++i) {
            EXPECT_NE(space.DialogProcedure(0x00400000 + 16 * i), nullptr);
        }
        EXPECT_THROW(space.DialogProcedure(0x00500000), std::length_error);
    }
    EmulatedSpace later;
    const uint32_t code = WriteProcedures(later.cpu());
    DLGPROC procedure = later.DialogProcedure(code);
    ASSERT_NE(procedure, nullptr);
    EXPECT_EQ(procedure(nullptr, 5, 0, 0), 1005);
}

// --- Guest pointers given to host functions ---------------------------------

class HostTraps : public testing::Test {
  protected:
    HostTraps()
        : host(std::make_unique<EmulatedSpace>()), space(dynamic_cast<EmulatedSpace&>(host.space())) {}

    uint32_t Entry(HostFunction function) { return static_cast<uint32_t>(space.HostEntry(function)); }

    // The fault message of a call, "" when it ran cleanly; clears the fault.
    std::string Fault(HostFunction function, std::initializer_list<uint32_t> arguments) {
        space.cpu().Call(Entry(function), arguments, "a test call");
        std::string message = space.fault() ? space.fault()->Describe() : "";
        space.cpu().ClearFault();
        return message;
    }

    uint32_t String(const char* text) {
        const uint32_t address = space.cpu().Allocate(static_cast<uint32_t>(strlen(text) + 1));
        memcpy(space.Native(address, strlen(text) + 1), text, strlen(text) + 1);
        return address;
    }

    sim::Host host;
    EmulatedSpace& space;
};

TEST_F(HostTraps, BadPointersBecomeGuestFaultsNamingTheTrapAndArgument) {
    const X86Emulator::Layout& layout = space.cpu().layout();
    const uint32_t text = String("text");
    const uint32_t stub = layout.trapBase + 0x200;
    // Bytes up to the very end of the arena, none of them a NUL.
    const uint32_t endless = layout.heapEnd - 8;
    memset(space.Native(endless, 8), 'x', 8);

    struct Case {
        HostFunction function;
        std::vector<uint32_t> arguments;
        std::string expected;
    };
    const Case cases[] = {
        {HostFunction::CopyString,
         {0x10, text},
         "trap CopyString failed: argument 1 (destination) 0x00000010"},
        {HostFunction::CopyString,
         {text, endless},
         "argument 2 (source) " + Hex(endless) + " is a string without an end"},
        {HostFunction::CopyString, {text, text + 1}, "the source and destination strings overlap"},
        {HostFunction::AppendString, {text, text}, "the source and destination strings overlap"},
        {HostFunction::AllocBlock, {1, 16, stub, 0}, "points into the host's trap stubs"},
        {HostFunction::ResizeBlock, {1, 16, 0}, "trap ResizeBlock failed: argument 3 (the block's cell)"},
        {HostFunction::CopyBytes, {text, layout.heapEnd - 2, 4}, "argument 2 (source)"},
        {HostFunction::CompareBytes, {text, 0x20, 4}, "trap CompareBytes failed: argument 2"},
        {HostFunction::DrawBlock, {layout.heapEnd - 10, 0}, "argument 1 (the command block)"},
        {HostFunction::SinCos, {0, 0, text}, "argument 2 (sine)"},
        {HostFunction::ShowHelp, {endless, 0}, "is a string without an end"},
    };
    for (const Case& c : cases) {
        space.cpu().Call(Entry(c.function), c.arguments, "a test call");
        ASSERT_TRUE(space.fault()) << c.expected;
        EXPECT_NE(space.fault()->message.find(c.expected), std::string::npos) << space.fault()->message;
        EXPECT_EQ(space.fault()->innerCall, "a test call");
        space.cpu().ClearFault();
    }
    // None of them reached the host.
    EXPECT_EQ(host.Allocations().calls, 0);
    EXPECT_EQ(host.DrawCount(), 0);
    EXPECT_TRUE(host.HelpRequests().empty());
    EXPECT_EQ(host.PureCalls().sinCos, 0);
}

TEST_F(HostTraps, GoodPointersReachTheHostAsNativeOnes) {
    // Cells at odd addresses, as packed guest structures may have them.
    const uint32_t cells = space.cpu().Allocate(16);
    EXPECT_EQ(Fault(HostFunction::SinCos, {16384, cells + 1, cells + 5}), "");
    EXPECT_EQ(space.Read<int16_t>(cells + 1), 32767);
    EXPECT_EQ(space.Read<int16_t>(cells + 5), 0);

    EXPECT_EQ(Fault(HostFunction::AllocBlock, {1, 40, cells + 9, 1}), "");
    const uint32_t block = space.Read<uint32_t>(cells + 9);
    EXPECT_NE(space.Native(block, 40), nullptr);
    EXPECT_EQ(host.BlockSize(block), 40u);

    const uint32_t path = String("C:\\TAVU");
    const uint32_t suffix = String(".saving");
    const uint32_t buffer = space.cpu().Allocate(32);
    EXPECT_EQ(Fault(HostFunction::CopyString, {buffer, path}), "");
    EXPECT_EQ(Fault(HostFunction::AppendString, {buffer, suffix}), "");
    EXPECT_STREQ(reinterpret_cast<const char*>(space.Native(buffer, 15)), "C:\\TAVU.saving");

    const uint32_t file = String("TAVUEDIT.HLP");
    EXPECT_EQ(Fault(HostFunction::ShowHelp, {file, 0}), "");
    ASSERT_EQ(host.HelpRequests().size(), 1u);
    EXPECT_EQ(host.HelpRequests()[0].first, "TAVUEDIT.HLP");
    EXPECT_EQ(host.HelpRequests()[0].second, "");
}

}  // namespace
