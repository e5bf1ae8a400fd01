#include "sim/emulated_space.h"

#include <stdio.h>
#include <string.h>

#include <array>
#include <stdexcept>
#include <utility>

#include "module/host.h"
#include "sim/host.h"
#include "sim/player.h"

namespace sim {

namespace {

std::string Hex(uint64_t value) {
    char text[24];
    snprintf(text, sizeof text, "0x%08llX", static_cast<unsigned long long>(value));
    return text;
}

[[noreturn]] void BadPointer(std::string_view what, uint32_t address, std::string_view why) {
    throw std::invalid_argument(std::string(what) + " " + Hex(address) + " " + std::string(why));
}

Host& ActiveHost() {
    Host* host = Host::Active();
    if (host == nullptr) {
        throw std::logic_error("no host is running");
    }
    return *host;
}

Player& ActivePlayer() {
    Player* player = Player::Active();
    if (player == nullptr) {
        throw std::logic_error("no player is loaded");
    }
    return *player;
}

int32_t Signed(uint32_t word) {
    return static_cast<int32_t>(word);
}

uint32_t Word(ModuleAddress address) {
    return static_cast<uint32_t>(address);
}

// The guest passes its own image base as HINSTANCE; the workbench registers
// the module under that same value.
HINSTANCE Instance(uint32_t word) {
    return reinterpret_cast<HINSTANCE>(static_cast<uintptr_t>(word));
}

bool Overlap(const void* a, size_t aBytes, const void* b, size_t bBytes) {
    auto x = reinterpret_cast<uintptr_t>(a);
    auto y = reinterpret_cast<uintptr_t>(b);
    return x < y + bBytes && y < x + aBytes;
}

std::string_view CallbackLabel(uint32_t type) {
    switch (type) {
        case FRAME_CALLBACK:
            return "frame callback";
        case DRAW_CALLBACK:
            return "draw callback";
        default:
            return "callback";
    }
}

}  // namespace

// DLGPROC carries no context, so each guest procedure handed out gets a
// native thunk of its own: the dialog manager may hold several procedures
// at once (a dialog opened from another, a message sent to the outer one)
// and each message still reaches the right guest code.
namespace {

struct DialogSlot {
    EmulatedSpace* space = nullptr;
    uint32_t procedure = 0;
};
std::array<DialogSlot, EmulatedSpace::kDialogProcedureSlots> dialogSlots;

}  // namespace

struct EmulatedSpace::DialogThunks {
    template <size_t N>
    static INT_PTR CALLBACK Thunk(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
        const DialogSlot& slot = dialogSlots[N];
        return slot.space ? slot.space->RunDialogProcedure(slot.procedure, dialog, message, wParam, lParam)
                          : 0;
    }
    template <size_t... N>
    static std::array<DLGPROC, sizeof...(N)> Make(std::index_sequence<N...>) {
        return {&Thunk<N>...};
    }
    static DLGPROC At(size_t slot) {
        static const std::array<DLGPROC, kDialogProcedureSlots> thunks =
            Make(std::make_index_sequence<kDialogProcedureSlots>());
        return thunks[slot];
    }
};

EmulatedSpace::EmulatedSpace() : EmulatedSpace(std::make_unique<X86Emulator>()) {}

EmulatedSpace::EmulatedSpace(std::unique_ptr<X86Emulator> cpu) : cpu_(std::move(cpu)) {
    cpu_->SetRegister(X86Emulator::Reg::Fpcw, kWindowsFpuControlWord);
}

EmulatedSpace::~EmulatedSpace() {
    for (DialogSlot& slot : dialogSlots) {
        if (slot.space == this) {
            slot = DialogSlot{};
        }
    }
}

// --- Memory ------------------------------------------------------------------

ModuleAddress EmulatedSpace::Allocate(size_t bytes) {
    return bytes > UINT32_MAX ? 0 : cpu_->Allocate(static_cast<uint32_t>(bytes));
}

ModuleAddress EmulatedSpace::Resize(ModuleAddress block, size_t bytes) {
    if (bytes > UINT32_MAX || block > UINT32_MAX) {
        return 0;
    }
    return cpu_->Resize(Word(block), static_cast<uint32_t>(bytes));
}

void EmulatedSpace::Free(ModuleAddress block) {
    if (block <= UINT32_MAX) {
        cpu_->Free(Word(block));
    }
}

uint8_t* EmulatedSpace::Native(ModuleAddress address, size_t bytes) {
    if (address == 0 || address > UINT32_MAX || bytes > UINT32_MAX) {
        return nullptr;
    }
    return cpu_->Native(Word(address), static_cast<uint32_t>(bytes));
}

ModuleAddress EmulatedSpace::AddressOf(const void* native) const {
    return cpu_->Guest(native);
}

const uint8_t* EmulatedSpace::Readable(uint32_t address, uint64_t bytes, std::string_view what) const {
    const uint8_t* native =
        bytes <= UINT32_MAX ? cpu_->Native(address, static_cast<uint32_t>(bytes)) : nullptr;
    if (native == nullptr || address == 0) {
        BadPointer(what, address, "(" + std::to_string(bytes) + " bytes) lies outside the module's memory");
    }
    return native;
}

uint8_t* EmulatedSpace::Writable(uint32_t address, uint64_t bytes, std::string_view what) {
    const uint8_t* native = Readable(address, bytes, what);
    if (address < cpu_->layout().stackBase) {
        BadPointer(what, address, "points into the host's trap stubs");
    }
    const uint64_t end = uint64_t{address} + bytes;
    for (const auto& [start, stop] : readOnly_) {
        if (address < stop && start < end) {
            BadPointer(what, address,
                       "(" + std::to_string(bytes) + " bytes) reaches read-only memory at " + Hex(start));
        }
    }
    return const_cast<uint8_t*>(native);
}

const char* EmulatedSpace::String(uint32_t address, std::string_view what, size_t* length) const {
    const uint8_t* start = Readable(address, 0, what);
    const size_t available = cpu_->layout().heapEnd - address;
    const void* end = memchr(start, 0, available);
    if (end == nullptr) {
        BadPointer(what, address, "is a string without an end inside the module's memory");
    }
    if (length != nullptr) {
        *length = static_cast<size_t>(static_cast<const uint8_t*>(end) - start);
    }
    return reinterpret_cast<const char*>(start);
}

const char* EmulatedSpace::OptionalString(uint32_t address, std::string_view what) const {
    return address == 0 ? nullptr : String(address, what);
}

void EmulatedSpace::AddReadOnlyRange(uint32_t address, uint32_t bytes) {
    if (bytes != 0) {
        readOnly_.emplace_back(address, address + bytes);
    }
}

std::string_view EmulatedSpace::CallLabel(uint32_t function, std::string_view fallback) const {
    auto found = labels_.find(function);
    return found == labels_.end() ? fallback : found->second;
}

// --- Host and player functions ---------------------------------------------

ModuleAddress EmulatedSpace::HostEntry(HostFunction function) {
    auto found = entries_.find(function);
    if (found != entries_.end()) {
        return found->second;
    }
    const uint32_t address = AddHostTrap(function);
    entries_.emplace(function, address);
    return address;
}

uint32_t EmulatedSpace::AddHostTrap(HostFunction function) {
    using F = HostFunction;
    using Args = const uint32_t*;
    auto trap = [this](const char* name, int count, auto handler) {
        return cpu_->AddTrap(name, count, [handler](X86Emulator&, Args a) -> uint32_t { return handler(a); });
    };
    switch (function) {
        case F::AllocBlock:
            return trap("AllocBlock", 4, [this](Args a) {
                Writable(a[2], 4, "argument 3 (the block's cell)");
                return Word(ActiveHost().ServiceAllocBlock(Signed(a[0]), Signed(a[1]), a[2], Signed(a[3])));
            });
        case F::ResizeBlock:
            return trap("ResizeBlock", 3, [this](Args a) {
                Writable(a[2], 4, "argument 3 (the block's cell)");
                return Word(ActiveHost().ServiceResizeBlock(Signed(a[0]), Signed(a[1]), a[2]));
            });
        case F::CopyBytes:
            return trap("CopyBytes", 3, [this](Args a) {
                const int32_t count = Signed(a[2]);
                if (count <= 0) {
                    Host::ServiceCopyBytes(nullptr, nullptr, count);
                    return 0u;
                }
                uint8_t* destination =
                    Writable(a[0], static_cast<uint32_t>(count), "argument 1 (destination)");
                const uint8_t* source = Readable(a[1], static_cast<uint32_t>(count), "argument 2 (source)");
                Host::ServiceCopyBytes(destination, source, count);
                return 0u;
            });
        case F::CompareBytes:
            return trap("CompareBytes", 3, [this](Args a) {
                const int32_t count = Signed(a[2]);
                if (count <= 0) {
                    return Word(Host::ServiceCompareBytes(nullptr, nullptr, count));
                }
                const uint8_t* first = Readable(a[0], static_cast<uint32_t>(count), "argument 1");
                const uint8_t* second = Readable(a[1], static_cast<uint32_t>(count), "argument 2");
                return Word(Host::ServiceCompareBytes(first, second, count));
            });
        case F::CopyString:
            return trap("CopyString", 2, [this](Args a) {
                size_t length = 0;
                const char* source = String(a[1], "argument 2 (source)", &length);
                auto* destination =
                    reinterpret_cast<char*>(Writable(a[0], length + 1, "argument 1 (destination)"));
                if (Overlap(destination, length + 1, source, length + 1)) {
                    throw std::invalid_argument("the source and destination strings overlap");
                }
                Host::ServiceCopyString(destination, source);
                return 0u;
            });
        case F::AppendString:
            return trap("AppendString", 2, [this](Args a) {
                size_t held = 0, added = 0;
                String(a[0], "argument 1 (destination)", &held);
                const char* source = String(a[1], "argument 2 (source)", &added);
                auto* destination =
                    reinterpret_cast<char*>(Writable(a[0], held + added + 1, "argument 1 (destination)"));
                if (Overlap(destination, held + added + 1, source, added + 1)) {
                    throw std::invalid_argument("the source and destination strings overlap");
                }
                Host::ServiceAppendString(destination, source);
                return 0u;
            });
        case F::RegisterCallback:
            return trap("RegisterCallback", 2, [this](Args a) {
                Label(a[1], CallbackLabel(a[0]));
                ActiveHost().ServiceRegister(Signed(a[0]), a[1]);
                return 0u;
            });
        case F::UnregisterCallback:
            return trap("UnregisterCallback", 2, [](Args a) {
                ActiveHost().ServiceUnregister(Signed(a[0]), a[1]);
                return 0u;
            });
        case F::DrawBlock:
            return trap("DrawBlock", 2, [this](Args a) {
                Readable(a[0], kDrawBlockBytes, "argument 1 (the command block)");
                ActiveHost().ServiceDrawBlock(a[0]);
                return 0u;
            });
        case F::SinCos:
            return trap("SinCos", 3, [this](Args a) {
                uint8_t* sineCell = Writable(a[1], 2, "argument 2 (sine)");
                uint8_t* cosineCell = Writable(a[2], 2, "argument 3 (cosine)");
                int16_t sine = 0, cosine = 0;  // guest cells need not be aligned
                ActiveHost().ServiceSinCos(a[0], &sine, &cosine);
                memcpy(sineCell, &sine, sizeof sine);
                memcpy(cosineCell, &cosine, sizeof cosine);
                return 0u;
            });
        case F::ShowHelp:
            return trap("ShowHelp", 2, [this](Args a) {
                ActiveHost().ServiceShowHelp(OptionalString(a[0], "argument 1 (help file)"),
                                             OptionalString(a[1], "argument 2 (topic)"));
                return 0u;
            });
        case F::RunDialog:
            return trap("RunDialog", 3, [](Args a) {
                return Word(ActiveHost().ServiceRunDialog(Instance(a[0]), Signed(a[1]), a[2]));
            });
        case F::ShowMessage:
            return trap("ShowMessage", 5, [](Args a) {
                return Word(
                    ActiveHost().ServiceShowMessage(Instance(a[0]), Signed(a[1]), Signed(a[2]), a[4]));
            });
        case F::InstallKeyHook:
            return trap("InstallKeyHook", 2, [this](Args a) {
                Label(a[0], "key handler");
                Label(a[1], "key filter");
                return Word(ActiveHost().ServiceInstallKeyHook(a[0], a[1]));
            });
        case F::RemoveKeyHook:
            return trap("RemoveKeyHook", 2, [](Args a) {
                ActiveHost().ServiceRemoveKeyHook(a[0], a[1]);
                return 0u;
            });
        case F::DistanceToLon:
            return trap("DistanceToLon", 2, [](Args a) {
                return Word(ActiveHost().ServiceDistanceToLon(Signed(a[0]), Signed(a[1])));
            });
        case F::LonToDistance:
            return trap("LonToDistance", 2, [](Args a) {
                return Word(ActiveHost().ServiceLonToDistance(Signed(a[0]), Signed(a[1])));
            });
        case F::PlayerSelectScenery:
            return trap("PlayerSelectScenery", 2,
                        [](Args a) { return Word(ActivePlayer().SelectScenery(a[0], Signed(a[1]))); });
        case F::PlayerFilePrefix:
            return trap("PlayerFilePrefix", 0, [](Args) { return Word(ActivePlayer().FilePrefixAddress()); });
        case F::PlayerFilePath:
            return trap("PlayerFilePath", 0, [](Args) { return Word(ActivePlayer().FilePathAddress()); });
        case F::PlayerDeleteScenery:
            return trap("PlayerDeleteScenery", 0, [](Args) {
                ActivePlayer().DeleteScenery();
                return 0u;
            });
    }
    throw std::invalid_argument("unknown host function");
}

// --- Calls into the module ---------------------------------------------------

void EmulatedSpace::CallCallback(ModuleAddress function, uint32_t first, uint32_t second) {
    cpu_->Call(Word(function), {first, second}, CallLabel(Word(function), "callback"));
}

uint32_t EmulatedSpace::CallKeyFunction(ModuleAddress function, uint32_t keyCode, uint32_t modifiers) {
    return cpu_->Call(Word(function), {keyCode, modifiers}, CallLabel(Word(function), "key function"));
}

void EmulatedSpace::CallRelease(ModuleAddress function) {
    cpu_->Call(Word(function), {}, "release callback");
}

DLGPROC EmulatedSpace::DialogProcedure(ModuleAddress function) {
    if (function == 0) {
        return nullptr;
    }
    for (size_t i = 0; i < dialogSlots.size(); ++i) {
        if (dialogSlots[i].space == this && dialogSlots[i].procedure == function) {
            return DialogThunks::At(i);
        }
    }
    for (size_t i = 0; i < dialogSlots.size(); ++i) {
        if (dialogSlots[i].space == nullptr) {
            dialogSlots[i] = DialogSlot{this, Word(function)};
            return DialogThunks::At(i);
        }
    }
    throw std::length_error("more than " + std::to_string(kDialogProcedureSlots) +
                            " dialog procedures are in use");
}

intptr_t EmulatedSpace::RunDialogProcedure(uint32_t procedure, HWND dialog, UINT message, WPARAM wParam,
                                           LPARAM lParam) {
    // Window handles of the dialog manager are small numbers, and every
    // parameter the module's messages carry is 32 bits wide on the guest.
    const uint32_t handle = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(dialog));
    const uint32_t result =
        cpu_->Call(procedure, {handle, message, static_cast<uint32_t>(wParam), static_cast<uint32_t>(lParam)},
                   "dialog procedure");
    return Signed(result);
}

}  // namespace sim
