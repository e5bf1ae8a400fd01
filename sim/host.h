// The emulated simulator host: real service tables with every slot the module
// imports, a SimGlobals block, an accounted allocator, callbacks, keys,
// message boxes, dialogs and a renderer that keeps what it is given.
//
// It reaches the module only through ImportTable, Linkage and the functions
// the module hands it (callbacks, key hook, dialog procedure), as a real host.
#pragma once

#include <stdint.h>

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "module/host.h"

namespace sim {

// Units of the emulated world.
inline constexpr double kEarthRadiusMetres = 6371000.0;
inline constexpr double kLonUnitsPerTurn = 4294967296.0;  // 2^32
inline constexpr uint16_t kDefaultFrameStepMs = 50;       // 20 frames a second
inline constexpr size_t kSimGlobalsBytes = 8192;
inline constexpr size_t kDrawBlockBytes = 56;

// Signed 16-bit fractions, 32767 for 1.0, of the angle held in the low 16
// bits of `angle` (65536 per turn).
void SinCos16(uint32_t angle, int16_t* sine, int16_t* cosine);
// A ground distance in metres as longitude units at a latitude (metres north
// of the equator), and back.
int32_t MetresToLonUnits(int32_t metres, int32_t latitude);
int32_t LonUnitsToMetres(int32_t lonUnits, int32_t latitude);

struct MessageBox {
    int32_t titleId = 0;
    int32_t textId = 0;
    uint32_t flags = 0;
    std::string title;  // UTF-8
    std::string text;   // UTF-8
    int32_t answer = 0;
    bool unanswered = false;  // a Yes/No box with no queued answer
};

struct AllocationStats {
    int64_t liveBlocks = 0;
    int64_t liveBytes = 0;
    int64_t calls = 0;  // AllocBlock and ResizeBlock calls together
};

struct CallbackEvent {
    bool registered;  // false: unregistered
    int32_t type;
    HostCallback callback;
};

struct KeyPress {
    uint32_t filterResult;
    uint32_t handlerResult;
};

class Host {
public:
    Host();
    ~Host();
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    // The host whose services the tables reach (the last one constructed).
    static Host* Active();

    // Writes the address of each service table (or SimGlobals) into every
    // entry of the module's ImportTable whose id the host knows.
    void FillImportTable(ImportEntry* table) const;

    // SimGlobals.
    uint8_t* Globals() { return globals_; }
    template <typename T>
    T Global(uint32_t offset) const {
        T value;
        __builtin_memcpy(&value, globals_ + offset, sizeof value);
        return value;
    }
    template <typename T>
    void SetGlobal(uint32_t offset, T value) {
        __builtin_memcpy(globals_ + offset, &value, sizeof value);
    }

    // Allocator. Blocks live until freed by ResizeBlock to 0 or FreeBlock.
    void* AllocateBlock(size_t bytes);
    void FreeBlock(void* block);
    bool OwnsBlock(const void* block) const { return blocks_.count(const_cast<void*>(block)) != 0; }
    size_t BlockSize(const void* block) const;
    AllocationStats Allocations() const { return stats_; }
    // The Nth AllocBlock/ResizeBlock call from now fails (1-based; 0: never).
    void FailAllocationAt(int64_t n) {
        failAllocationAt_ = n == 0 ? 0 : stats_.calls + n;
    }

    // Callbacks: each frame runs the frame callbacks, then the draw callbacks.
    void RunFrame();
    std::vector<HostCallback> Registered(int32_t type) const;
    const std::vector<CallbackEvent>& CallbackLog() const { return callbackLog_; }
    void ClearCallbackLog() { callbackLog_.clear(); }

    // Renderer.
    const std::vector<uint8_t>& LastDrawBlock() const { return lastDrawBlock_; }
    int64_t DrawCount() const { return drawCount_; }

    // Keys: the filter sees the key first, then the handler.
    bool KeyHookInstalled() const { return keyHandler_ != nullptr; }
    int KeyHookInstallCount() const { return keyHookInstalls_; }
    void RefuseKeyHook(bool refuse) { refuseKeyHook_ = refuse; }
    KeyPress PressKey(uint32_t keyCode, uint32_t modifiers);

    // Message boxes: Yes/No boxes take their answers from this queue.
    std::deque<int32_t>& Answers() { return answers_; }
    const std::vector<MessageBox>& Boxes() const { return boxes_; }
    void ClearBoxes() { boxes_.clear(); }
    // Shown to a listener as they appear (the workbench prints them).
    std::function<void(const MessageBox&)> onMessage;

    // Help requests: file and topic.
    const std::vector<std::pair<std::string, std::string>>& HelpRequests() const { return help_; }
    void ClearHelpRequests() { help_.clear(); }

    // RunDialog hands the template and the procedure to this runner; without
    // one, RunDialog fails with 0.
    std::function<int32_t(HINSTANCE, int32_t, DLGPROC)> dialogRunner;
    int DialogCount() const { return dialogs_; }

    // How often the services without another visible effect were called.
    struct PureServiceCalls {
        int64_t sinCos = 0;
        int64_t distanceToLon = 0;
        int64_t lonToDistance = 0;
    };
    PureServiceCalls& PureCalls() { return pureCalls_; }

    // Service implementations, reached through the tables.
    int32_t ServiceAllocBlock(int32_t pool, int32_t bytes, void* pointerAddress, int32_t flags);
    int32_t ServiceResizeBlock(int32_t pool, int32_t bytes, void* pointerAddress);
    void ServiceRegister(int32_t type, HostCallback callback);
    void ServiceUnregister(int32_t type, HostCallback callback);
    void ServiceDrawBlock(const void* block);
    void ServiceShowHelp(const char* file, const char* topic);
    int32_t ServiceRunDialog(HINSTANCE instance, int32_t templateId, DLGPROC procedure);
    int32_t ServiceShowMessage(HINSTANCE instance, int32_t titleId, int32_t textId, uint32_t flags);
    int32_t ServiceInstallKeyHook(KeyFunction handler, KeyFunction filter);
    void ServiceRemoveKeyHook(KeyFunction handler, KeyFunction filter);

private:
    bool NextAllocationFails();

    HostWord runtimeTable_[RUNTIME_TABLE_SLOTS] = {};
    HostWord callbackTable_[CALLBACK_TABLE_SLOTS] = {};
    HostWord renderTable_[RENDER_TABLE_SLOTS] = {};
    HostWord mathTable_[MATH_TABLE_SLOTS] = {};
    HostWord uiTable_[UI_TABLE_SLOTS] = {};
    alignas(16) uint8_t globals_[kSimGlobalsBytes] = {};

    std::map<void*, size_t> blocks_;
    AllocationStats stats_;
    int64_t failAllocationAt_ = 0;

    std::map<int32_t, std::vector<HostCallback>> callbacks_;
    std::vector<CallbackEvent> callbackLog_;

    std::vector<uint8_t> lastDrawBlock_;
    int64_t drawCount_ = 0;

    KeyFunction keyHandler_ = nullptr;
    KeyFunction keyFilter_ = nullptr;
    int keyHookInstalls_ = 0;
    bool refuseKeyHook_ = false;

    std::deque<int32_t> answers_;
    std::vector<MessageBox> boxes_;
    std::vector<std::pair<std::string, std::string>> help_;
    int dialogs_ = 0;

    PureServiceCalls pureCalls_;
    Host* previous_ = nullptr;
};

}  // namespace sim
