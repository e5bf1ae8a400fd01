#include "sim/emulated_module.h"

#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <stdexcept>

#include "platform/native.h"
#include "platform/resources.h"
#include "platform/win32.h"
#include "sim/printable.h"
#include "sim/scenery_file.h"

namespace sim {

namespace {

constexpr char kModuleName[] = "TAVUEdit.dll";
constexpr uint32_t kImageAlignment = 0x10000;  // where Windows places DLLs
constexpr uint32_t kPage = X86Emulator::kPageSize;
// Word n of the Linkage record.
constexpr uint32_t kLinkageInit = 1;
constexpr uint32_t kLinkageDeinit = 2;
constexpr uint32_t kLinkageFirstEntry = 6;
// Below this, a name argument is a resource or export ordinal, not a string.
constexpr uint32_t kOrdinalLimit = 0x10000;

std::string Hex(uint32_t value) {
    char text[16];
    snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

uint64_t RoundUp(uint64_t value, uint64_t unit) {
    return (value + unit - 1) / unit * unit;
}

std::string Upper(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return text;
}

int32_t Signed(uint32_t word) {
    return static_cast<int32_t>(word);
}

// Dialog manager window handles are small numbers: they pass as they are.
HWND Window(uint32_t word) {
    return reinterpret_cast<HWND>(static_cast<uintptr_t>(word));
}
uint32_t WindowWord(HWND window) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(window));
}

// Guest rights of a section, from its characteristics. Code is readable too:
// the CPU fetches through reads.
uint32_t SectionRights(const PeSection& section) {
    uint32_t rights = 0;
    if (section.characteristics & PE_SCN_MEM_READ) {
        rights |= X86Emulator::kRead;
    }
    if (section.characteristics & PE_SCN_MEM_WRITE) {
        rights |= X86Emulator::kRead | X86Emulator::kWrite;
    }
    if (section.characteristics & PE_SCN_MEM_EXECUTE) {
        rights |= X86Emulator::kRead | X86Emulator::kExecute;
    }
    return rights;
}

}  // namespace

// --- Handles -----------------------------------------------------------------

void GuestHandles::Pin(uint32_t guest, void* native) {
    natives_[guest] = native;
    guests_[native] = guest;
}

uint32_t GuestHandles::ToGuest(void* native) {
    if (native == nullptr) {
        return 0;
    }
    if (native == INVALID_HANDLE_VALUE) {
        return kInvalid;
    }
    auto found = guests_.find(native);
    if (found != guests_.end()) {
        return found->second;
    }
    while (next_ == 0 || next_ == kInvalid || natives_.count(next_) != 0) {
        next_ += 4;
    }
    const uint32_t token = next_;
    next_ += 4;
    natives_[token] = native;
    guests_[native] = token;
    return token;
}

void* GuestHandles::ToNative(uint32_t guest) const {
    if (guest == 0) {
        return nullptr;
    }
    if (guest == kInvalid) {
        return INVALID_HANDLE_VALUE;
    }
    auto found = natives_.find(guest);
    if (found != natives_.end()) {
        return found->second;
    }
    // Above every user-space address and distinct from INVALID_HANDLE_VALUE.
    return reinterpret_cast<void*>(~uintptr_t{UINT32_MAX} | guest);
}

void GuestHandles::Forget(uint32_t guest) {
    auto found = natives_.find(guest);
    if (found != natives_.end()) {
        guests_.erase(found->second);
        natives_.erase(found);
    }
}

// --- The loaded image ----------------------------------------------------------

struct EmulatedModuleState : platform::ResourceProvider {
    explicit EmulatedModuleState(EmulatedSpace& s) : space(s), cpu(s.cpu()) {}

    const char* FindString(UINT id, LANGID language) const override { return image.FindString(id, language); }
    const platform::DialogResource* FindDialog(UINT id, LANGID language) const override {
        return image.FindDialog(id, language);
    }

    HMODULE Handle() const { return reinterpret_cast<HMODULE>(static_cast<uintptr_t>(base)); }
    uint32_t Word(uint32_t address) { return space.Read<uint32_t>(address); }
    uint32_t LinkageWord(uint32_t index) { return Word(linkage + 4 * index); }

    // A trap must not run the workbench's functions for a module that is gone.
    void CheckLoaded() const {
        if (!loaded) {
            throw std::logic_error("the module is unloaded");
        }
    }

    EmulatedSpace& space;
    X86Emulator& cpu;
    PeImage image;
    uint32_t base = 0;
    uint32_t linkage = 0;
    uint32_t importTable = 0;
    uint32_t runningCell = 0;
    GuestHandles handles;
    // What the module holds, for a fault that stops it before it lets go:
    // open files by handle (their paths), bitmaps, and the files its own
    // exclusive creates made that are not yet renamed or deleted, with the
    // identity they were made with.
    std::map<uint32_t, std::string> openFiles;
    std::set<uint32_t> bitmaps;
    std::map<std::string, std::pair<dev_t, ino_t>> madeFiles;
    std::map<std::string, uint32_t> traps;  // by "DLL!Name", upper-case DLL
    const platform::ResourceProvider* previousProvider = nullptr;
    bool loaded = false;
};

namespace {

using Impl = EmulatedModuleState;
using Args = const uint32_t*;

// --- The Windows functions -----------------------------------------------------
//
// Each turns the guest's words into native arguments (strings and buffers
// checked against the module's memory, handles through the table) and calls
// the workbench's own implementation of the same function.

// KERNEL32

uint32_t CloseHandleTrap(Impl& m, Args a) {
    // Reported failed or not, a file handle is closed once this returns.
    m.openFiles.erase(a[0]);
    const BOOL closed = CloseHandle(m.handles.ToNative(a[0]));
    if (closed) {
        m.handles.Forget(a[0]);
    }
    return static_cast<uint32_t>(closed);
}

uint32_t CreateFileATrap(Impl& m, Args a) {
    const char* path = m.space.String(a[0], "argument 1 (file name)");
    // Security attributes and template files mean nothing to the workbench's
    // files, which ignore them.
    HANDLE file = CreateFileA(path, a[1], a[2], nullptr, a[4], a[5], nullptr);
    const uint32_t token = m.handles.ToGuest(file);
    if (file != INVALID_HANDLE_VALUE) {
        const std::string native = platform::NativePath(path);
        m.openFiles[token] = native;
        struct stat made;
        if (a[4] == CREATE_NEW && ::lstat(native.c_str(), &made) == 0) {
            m.madeFiles[native] = {made.st_dev, made.st_ino};
        }
    }
    return token;
}

uint32_t DeleteFileATrap(Impl& m, Args a) {
    const char* path = m.space.OptionalString(a[0], "argument 1 (file name)");
    const BOOL deleted = DeleteFileA(path);
    if (deleted) {
        m.madeFiles.erase(platform::NativePath(path));
    }
    return static_cast<uint32_t>(deleted);
}

uint32_t DisableThreadLibraryCallsTrap(Impl& m, Args a) {
    return static_cast<uint32_t>(DisableThreadLibraryCalls(static_cast<HMODULE>(m.handles.ToNative(a[0]))));
}

uint32_t FlushFileBuffersTrap(Impl& m, Args a) {
    return static_cast<uint32_t>(FlushFileBuffers(m.handles.ToNative(a[0])));
}

uint32_t GetModuleHandleATrap(Impl& m, Args a) {
    return m.handles.ToGuest(GetModuleHandleA(m.space.OptionalString(a[0], "argument 1 (module name)")));
}

uint32_t GetProcAddressTrap(Impl& m, Args a) {
    if (a[1] < kOrdinalLimit) {
        return 0;  // the workbench's modules export by name only
    }
    const char* name = m.space.String(a[1], "argument 2 (export name)");
    FARPROC address = GetProcAddress(static_cast<HMODULE>(m.handles.ToNative(a[0])), name);
    // Exports the module can use lie in its memory (the player's Linkage
    // words do); anything else it could not reach.
    return address ? static_cast<uint32_t>(m.space.AddressOf(reinterpret_cast<const void*>(address))) : 0;
}

uint32_t MoveFileExATrap(Impl& m, Args a) {
    const char* from = m.space.OptionalString(a[0], "argument 1 (existing file)");
    const BOOL moved = MoveFileExA(from, m.space.OptionalString(a[1], "argument 2 (new name)"), a[2]);
    if (moved) {
        m.madeFiles.erase(platform::NativePath(from));
    }
    return static_cast<uint32_t>(moved);
}

uint32_t WriteFileTrap(Impl& m, Args a) {
    const uint32_t bytes = a[2];
    const uint8_t* buffer = bytes == 0 ? nullptr : m.space.Readable(a[1], bytes, "argument 2 (buffer)");
    uint8_t* writtenCell = a[3] ? m.space.Writable(a[3], 4, "argument 4 (bytes written)") : nullptr;
    DWORD written = 0;
    // Overlapped writes: the workbench's files ignore the structure.
    const BOOL ok =
        WriteFile(m.handles.ToNative(a[0]), buffer, bytes, writtenCell ? &written : nullptr, nullptr);
    if (writtenCell) {
        memcpy(writtenCell, &written, sizeof written);
    }
    return static_cast<uint32_t>(ok);
}

// USER32

uint32_t EnableWindowTrap(Impl&, Args a) {
    return static_cast<uint32_t>(EnableWindow(Window(a[0]), Signed(a[1])));
}

uint32_t EndDialogTrap(Impl&, Args a) {
    return static_cast<uint32_t>(EndDialog(Window(a[0]), Signed(a[1])));
}

uint32_t GetDlgItemTrap(Impl&, Args a) {
    return WindowWord(GetDlgItem(Window(a[0]), Signed(a[1])));
}

uint32_t GetDlgItemIntTrap(Impl& m, Args a) {
    uint8_t* translatedCell = a[2] ? m.space.Writable(a[2], 4, "argument 3 (translated)") : nullptr;
    BOOL translated = FALSE;
    const UINT value =
        GetDlgItemInt(Window(a[0]), Signed(a[1]), translatedCell ? &translated : nullptr, Signed(a[3]));
    if (translatedCell) {
        const int32_t word = translated;
        memcpy(translatedCell, &word, sizeof word);
    }
    return value;
}

uint32_t GetDlgItemTextATrap(Impl& m, Args a) {
    const int32_t capacity = Signed(a[3]);
    char* buffer = capacity > 0 ? reinterpret_cast<char*>(m.space.Writable(
                                      a[2], static_cast<uint32_t>(capacity), "argument 3 (buffer)"))
                                : nullptr;
    return GetDlgItemTextA(Window(a[0]), Signed(a[1]), buffer, capacity);
}

uint32_t LoadImageATrap(Impl& m, Args a) {
    if (a[1] < kOrdinalLimit) {
        return 0;  // bitmaps load from files only, as natively
    }
    const char* name = m.space.String(a[1], "argument 2 (image name)");
    HANDLE image = LoadImageA(static_cast<HINSTANCE>(m.handles.ToNative(a[0])), name, a[2], Signed(a[3]),
                              Signed(a[4]), a[5]);
    const uint32_t token = m.handles.ToGuest(image);
    if (image != nullptr) {
        m.bitmaps.insert(token);
    }
    return token;
}

uint32_t LoadStringATrap(Impl& m, Args a) {
    const int32_t capacity = Signed(a[3]);
    char* buffer = capacity > 0 ? reinterpret_cast<char*>(m.space.Writable(
                                      a[2], static_cast<uint32_t>(capacity), "argument 3 (buffer)"))
                                : nullptr;
    return static_cast<uint32_t>(
        LoadStringA(static_cast<HINSTANCE>(m.handles.ToNative(a[0])), a[1], buffer, capacity));
}

uint32_t SendDlgItemMessageATrap(Impl& m, Args a) {
    constexpr UINT kSetText = 0x000C;  // WM_SETTEXT
    constexpr UINT kGetText = 0x000D;  // WM_GETTEXT
    const HWND dialog = Window(a[0]);
    const int id = Signed(a[1]);
    const UINT message = a[2];
    const WPARAM wParam = a[3];
    const uint32_t lWord = a[4];
    // Messages whose lParam natively is a pointer or a handle get theirs
    // translated; every other value goes as the guest's signed 32 bits.
    switch (message) {
        case CB_ADDSTRING:
        case CB_FINDSTRING:
        case CB_SELECTSTRING:
        case kSetText: {
            const char* text = m.space.OptionalString(lWord, "argument 5 (text)");
            return static_cast<uint32_t>(
                SendDlgItemMessageA(dialog, id, message, wParam, reinterpret_cast<LPARAM>(text)));
        }
        case CB_GETLBTEXT: {
            const LRESULT length = SendDlgItemMessageA(dialog, id, CB_GETLBTEXTLEN, wParam, 0);
            if (length < 0) {
                return static_cast<uint32_t>(SendDlgItemMessageA(dialog, id, message, wParam, 0));
            }
            uint8_t* buffer =
                m.space.Writable(lWord, static_cast<uint64_t>(length) + 1, "argument 5 (item buffer)");
            return static_cast<uint32_t>(
                SendDlgItemMessageA(dialog, id, message, wParam, reinterpret_cast<LPARAM>(buffer)));
        }
        case kGetText: {
            const uint32_t capacity = static_cast<uint32_t>(wParam);
            uint8_t* buffer =
                capacity > 0 ? m.space.Writable(lWord, capacity, "argument 5 (text buffer)") : nullptr;
            return static_cast<uint32_t>(
                SendDlgItemMessageA(dialog, id, message, wParam, reinterpret_cast<LPARAM>(buffer)));
        }
        case STM_SETIMAGE:
        case STM_GETIMAGE: {
            LPARAM image = message == STM_SETIMAGE ? reinterpret_cast<LPARAM>(m.handles.ToNative(lWord)) : 0;
            LRESULT previous = SendDlgItemMessageA(dialog, id, message, wParam, image);
            return m.handles.ToGuest(reinterpret_cast<void*>(previous));
        }
        default:
            return static_cast<uint32_t>(SendDlgItemMessageA(dialog, id, message, wParam, Signed(lWord)));
    }
}

uint32_t SetDlgItemIntTrap(Impl&, Args a) {
    return static_cast<uint32_t>(SetDlgItemInt(Window(a[0]), Signed(a[1]), a[2], Signed(a[3])));
}

uint32_t SetDlgItemTextATrap(Impl& m, Args a) {
    return static_cast<uint32_t>(
        SetDlgItemTextA(Window(a[0]), Signed(a[1]), m.space.OptionalString(a[2], "argument 3 (text)")));
}

uint32_t SetWindowTextATrap(Impl& m, Args a) {
    return static_cast<uint32_t>(
        SetWindowTextA(Window(a[0]), m.space.OptionalString(a[1], "argument 2 (text)")));
}

// GDI32

uint32_t DeleteObjectTrap(Impl& m, Args a) {
    const BOOL deleted = DeleteObject(m.handles.ToNative(a[0]));
    if (deleted) {
        m.handles.Forget(a[0]);
        m.bitmaps.erase(a[0]);
    }
    return static_cast<uint32_t>(deleted);
}

struct Win32Function {
    const char* dll;  // upper-case, as compared
    const char* name;
    int arguments;
    uint32_t (*handler)(Impl&, Args);
};

constexpr Win32Function kWin32Functions[] = {
    {"GDI32.DLL", "DeleteObject", 1, DeleteObjectTrap},
    {"KERNEL32.DLL", "CloseHandle", 1, CloseHandleTrap},
    {"KERNEL32.DLL", "CreateFileA", 7, CreateFileATrap},
    {"KERNEL32.DLL", "DeleteFileA", 1, DeleteFileATrap},
    {"KERNEL32.DLL", "DisableThreadLibraryCalls", 1, DisableThreadLibraryCallsTrap},
    {"KERNEL32.DLL", "FlushFileBuffers", 1, FlushFileBuffersTrap},
    {"KERNEL32.DLL", "GetModuleHandleA", 1, GetModuleHandleATrap},
    {"KERNEL32.DLL", "GetProcAddress", 2, GetProcAddressTrap},
    {"KERNEL32.DLL", "MoveFileExA", 3, MoveFileExATrap},
    {"KERNEL32.DLL", "WriteFile", 5, WriteFileTrap},
    {"USER32.DLL", "EnableWindow", 2, EnableWindowTrap},
    {"USER32.DLL", "EndDialog", 2, EndDialogTrap},
    {"USER32.DLL", "GetDlgItem", 2, GetDlgItemTrap},
    {"USER32.DLL", "GetDlgItemInt", 4, GetDlgItemIntTrap},
    {"USER32.DLL", "GetDlgItemTextA", 4, GetDlgItemTextATrap},
    {"USER32.DLL", "LoadImageA", 6, LoadImageATrap},
    {"USER32.DLL", "LoadStringA", 4, LoadStringATrap},
    {"USER32.DLL", "SendDlgItemMessageA", 5, SendDlgItemMessageATrap},
    {"USER32.DLL", "SetDlgItemInt", 4, SetDlgItemIntTrap},
    {"USER32.DLL", "SetDlgItemTextA", 3, SetDlgItemTextATrap},
    {"USER32.DLL", "SetWindowTextA", 2, SetWindowTextATrap},
};

const Win32Function* FindWin32Function(const PeImport& entry) {
    const std::string dll = Upper(entry.dll);
    for (const Win32Function& function : kWin32Functions) {
        if (dll == function.dll && entry.name == function.name) {
            return &function;
        }
    }
    return nullptr;
}

// The trap an import is bound to; one per function however often imported.
std::optional<uint32_t> Bind(const std::shared_ptr<Impl>& impl, const PeImport& entry) {
    const Win32Function* function = FindWin32Function(entry);
    if (function == nullptr) {
        return std::nullopt;
    }
    const std::string key = std::string(function->dll) + "!" + function->name;
    auto found = impl->traps.find(key);
    if (found != impl->traps.end()) {
        return found->second;
    }
    // The traps live as long as the CPU; the state they share may outlive
    // the module, which they then refuse to serve.
    auto handler = function->handler;
    const uint32_t address = impl->cpu.AddTrap(entry.dll + "!" + entry.name, function->arguments,
                                               [impl, handler](X86Emulator&, Args a) {
                                                   impl->CheckLoaded();
                                                   return handler(*impl, a);
                                               });
    impl->traps.emplace(key, address);
    return address;
}

// The guest's rights on each page of the image: read-only headers, each
// section as its characteristics say, nothing at all in the gaps.
void ProtectImage(Impl& m, uint32_t mappedBytes) {
    std::vector<uint32_t> rights(mappedBytes / kPage, 0);
    auto grant = [&](uint64_t start, uint64_t bytes, uint32_t access) {
        for (uint64_t page = start / kPage;
             page < RoundUp(start + bytes, kPage) / kPage && page < rights.size(); ++page) {
            rights[page] |= access;
        }
    };
    grant(0, std::max<uint32_t>(m.image.headersSize, 1), X86Emulator::kRead);
    for (const PeSection& section : m.image.sections) {
        grant(section.virtualAddress, section.mappedSize, SectionRights(section));
    }
    for (size_t first = 0; first < rights.size();) {
        size_t last = first;
        while (last < rights.size() && rights[last] == rights[first]) {
            ++last;
        }
        const uint32_t address = m.base + static_cast<uint32_t>(first) * kPage;
        const uint32_t bytes = static_cast<uint32_t>(last - first) * kPage;
        if (!m.cpu.Protect(address, bytes, rights[first])) {
            throw std::runtime_error("cannot protect the image at " + Hex(address));
        }
        if (!(rights[first] & X86Emulator::kWrite)) {
            m.space.AddReadOnlyRange(address, bytes);
        }
        first = last;
    }
}

}  // namespace

// --- Loading ---------------------------------------------------------------------

EmulatedModule::EmulatedModule(std::shared_ptr<EmulatedModuleState> state) : impl_(std::move(state)) {}

std::unique_ptr<EmulatedModule> EmulatedModule::Load(EmulatedSpace& space, const std::string& path,
                                                     const EmulatedModuleOptions& options,
                                                     std::string* error) {
    // A DLL's file holds its image and little more: a device or a huge file
    // is refused before it fills memory.
    std::string why;
    const std::optional<std::vector<uint8_t>> file = ReadFileBytes(path, size_t{4} * kMaxPeImageSize, &why);
    std::unique_ptr<EmulatedModule> module = file ? Load(space, *file, options, &why) : nullptr;
    if (!module && error) {
        *error = Printable(path + ": " + why);
    }
    return module;
}

std::unique_ptr<EmulatedModule> EmulatedModule::Load(EmulatedSpace& space, std::span<const uint8_t> file,
                                                     const EmulatedModuleOptions& options,
                                                     std::string* error) {
    // Names in the messages come from the file: section, import and export
    // names are any bytes.
    auto fail = [error](const std::string& message) -> std::unique_ptr<EmulatedModule> {
        if (error) {
            *error = Printable(message);
        }
        return nullptr;
    };
    std::string why;
    std::optional<PeImage> parsed = ParsePeImage(file, &why);
    if (!parsed) {
        return fail(why);
    }
    auto impl = std::make_shared<EmulatedModuleState>(space);
    impl->image = std::move(*parsed);
    const PeImage& image = impl->image;
    for (const char* name : {"Linkage", "ImportTable"}) {
        if (image.exports.count(name) == 0) {
            return fail(std::string("the DLL does not export ") + name);
        }
    }

    X86Emulator& cpu = space.cpu();
    const auto mapped = static_cast<uint32_t>(RoundUp(image.imageSize, kPage));
    uint8_t* memory = nullptr;
    if (options.atPreferredBase) {
        memory = cpu.MapRegion(image.preferredBase, mapped);
        if (memory == nullptr) {
            return fail("the image does not fit at its preferred base " + Hex(image.preferredBase));
        }
        impl->base = image.preferredBase;
    } else {
        const X86Emulator::Layout& layout = cpu.layout();
        for (uint64_t at = RoundUp(layout.heapBase, kImageAlignment);
             at + mapped <= layout.heapEnd && !memory; at += kImageAlignment) {
            if (at != image.preferredBase) {
                memory = cpu.MapRegion(static_cast<uint32_t>(at), mapped);
                impl->base = static_cast<uint32_t>(at);
            }
        }
        if (memory == nullptr) {
            return fail("no room for an image of " + std::to_string(mapped) +
                        " bytes in the emulated memory");
        }
    }
    if (!MapPeImage(
            image, file, memory, impl->base, [&impl](const PeImport& entry) { return Bind(impl, entry); },
            &why)) {
        return fail(why);
    }
    try {
        ProtectImage(*impl, mapped);
    } catch (const std::exception& e) {
        return fail(e.what());
    }
    impl->linkage = impl->base + image.exports.at("Linkage");
    impl->importTable = impl->base + image.exports.at("ImportTable");
    impl->runningCell = cpu.Allocate(4);
    if (impl->runningCell == 0) {
        return fail("no room for the module's running flag");
    }

    std::map<std::string, void*> exports;
    for (const auto& [name, rva] : image.exports) {
        exports[name] = cpu.Native(impl->base + rva, 1);
    }
    platform::RegisterModule(kModuleName, impl->Handle(), std::move(exports));
    impl->handles.Pin(impl->base, impl->Handle());
    impl->previousProvider = platform::CurrentResourceProvider();
    platform::SetResourceProvider(impl.get());
    impl->loaded = true;
    return std::unique_ptr<EmulatedModule>(new EmulatedModule(std::move(impl)));
}

EmulatedModule::~EmulatedModule() {
    impl_->loaded = false;
    platform::UnregisterModule(impl_->Handle());
    if (platform::CurrentResourceProvider() == impl_.get()) {
        platform::SetResourceProvider(impl_->previousProvider);
    }
    impl_->cpu.Free(impl_->runningCell);
}

// --- Entries ---------------------------------------------------------------------

void EmulatedModule::Attach(Host& host) {
    host.FillImportTable(impl_->importTable);
    X86Emulator& cpu = impl_->cpu;
    if (impl_->image.entryRva != 0) {
        const uint32_t attached = cpu.Call(impl_->base + impl_->image.entryRva,
                                           {impl_->base, DLL_PROCESS_ATTACH, 0}, "DllMain (attach)");
        if (!cpu.fault() && attached == 0) {
            throw std::runtime_error("the DLL's entry point refused to attach it");
        }
    }
    cpu.Call(impl_->LinkageWord(kLinkageInit), {}, "init");
}

void EmulatedModule::Detach() {
    X86Emulator& cpu = impl_->cpu;
    cpu.Call(impl_->LinkageWord(kLinkageDeinit), {}, "deinit");
    if (impl_->image.entryRva != 0) {
        cpu.Call(impl_->base + impl_->image.entryRva, {impl_->base, DLL_PROCESS_DETACH, 0},
                 "DllMain (detach)");
    }
}

int32_t EmulatedModule::Entry(int index, int32_t argument, int32_t* running) {
    static constexpr const char* kLabels[] = {"editor start", "editor stop", "select-scenery entry"};
    if (index < 0 || index > 2) {
        throw std::out_of_range("no module entry " + std::to_string(index));
    }
    EmulatedSpace& space = impl_->space;
    const uint32_t cell = impl_->runningCell;
    space.Write<int32_t>(cell, *running);
    const uint32_t result =
        impl_->cpu.Call(impl_->LinkageWord(kLinkageFirstEntry + static_cast<uint32_t>(index)),
                        {static_cast<uint32_t>(argument), cell}, kLabels[index]);
    *running = space.Read<int32_t>(cell);
    return Signed(result);
}

std::vector<std::string> EmulatedModule::Reclaim() {
    Impl& m = *impl_;
    std::vector<std::string> done;
    std::string closed;
    for (const auto& [token, path] : m.openFiles) {
        CloseHandle(m.handles.ToNative(token));
        m.handles.Forget(token);
        closed += (closed.empty() ? "" : ", ") + std::filesystem::path(path).filename().string();
    }
    if (!closed.empty()) {
        done.push_back("closed " +
                       std::string(m.openFiles.size() == 1 ? "the file handle of " : "the file handles of ") +
                       Printable(closed));
    }
    m.openFiles.clear();
    size_t deleted = 0;
    for (uint32_t token : m.bitmaps) {
        deleted += DeleteObject(m.handles.ToNative(token)) ? 1 : 0;
        m.handles.Forget(token);
    }
    m.bitmaps.clear();
    if (deleted > 0) {
        done.push_back("deleted " + std::to_string(deleted) + (deleted == 1 ? " bitmap" : " bitmaps"));
    }
    // Only a save's temporary file, and only the very file the module made:
    // whatever a user has put at that name since stays.
    for (const auto& [path, identity] : m.madeFiles) {
        struct stat now;
        if (path.ends_with(kSavingSuffix) && ::lstat(path.c_str(), &now) == 0 && S_ISREG(now.st_mode) &&
            now.st_dev == identity.first && now.st_ino == identity.second && ::unlink(path.c_str()) == 0) {
            done.push_back("removed " + Printable(path));
        }
    }
    m.madeFiles.clear();
    return done;
}

HINSTANCE EmulatedModule::Instance() const {
    return impl_->Handle();
}

uint32_t EmulatedModule::base() const {
    return impl_->base;
}

const PeImage& EmulatedModule::image() const {
    return impl_->image;
}

uint32_t EmulatedModule::Export(const std::string& name) const {
    auto found = impl_->image.exports.find(name);
    return found == impl_->image.exports.end() ? 0 : impl_->base + found->second;
}

const std::optional<X86Emulator::Fault>& EmulatedModule::fault() const {
    return impl_->cpu.fault();
}

}  // namespace sim
