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
#include "sim/module_space.h"

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
    ModuleAddress callback;
};

struct KeyPress {
    uint32_t filterResult;
    uint32_t handlerResult;
};

class Host {
public:
    // The module's memory and code are reached through `space`: native for
    // the linked-in module, a guest address space for the real DLL.
    explicit Host(std::unique_ptr<ModuleSpace> space = MakeNativeSpace());
    ~Host();
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    // The host whose services the tables reach (the last one constructed).
    static Host* Active();

    ModuleSpace& space() { return *space_; }

    // Writes the address of each service table (or SimGlobals) into every
    // entry of the module's ImportTable whose id the host knows.
    void FillImportTable(ModuleAddress importTable);
    void FillImportTable(ImportEntry* table) { FillImportTable(space_->AddressOf(table)); }

    // SimGlobals.
    uint8_t* Globals() { return globals_; }
    ModuleAddress GlobalsAddress() const { return globalsAddress_; }
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

    // Allocator, in the module's memory. Blocks live until freed by
    // ResizeBlock to 0 or FreeBlock; fresh bytes are 0xCD.
    ModuleAddress AllocateBlock(size_t bytes);
    void FreeBlock(ModuleAddress block);
    size_t BlockSize(ModuleAddress block) const;
    size_t BlockSize(const void* block) const { return BlockSize(space_->AddressOf(block)); }
    bool OwnsBlock(const void* block) const { return blocks_.count(space_->AddressOf(block)) != 0; }
    AllocationStats Allocations() const { return stats_; }
    // The Nth AllocBlock/ResizeBlock call from now fails (1-based; 0: never).
    void FailAllocationAt(int64_t n) {
        failAllocationAt_ = n == 0 ? 0 : stats_.calls + n;
    }

    // Callbacks: each frame runs the frame callbacks, then the draw callbacks.
    void RunFrame();
    std::vector<ModuleAddress> RegisteredAddresses(int32_t type) const;
    // The same as the linked-in module's function pointers.
    std::vector<HostCallback> Registered(int32_t type) const;
    const std::vector<CallbackEvent>& CallbackLog() const { return callbackLog_; }
    void ClearCallbackLog() { callbackLog_.clear(); }

    // Renderer.
    const std::vector<uint8_t>& LastDrawBlock() const { return lastDrawBlock_; }
    int64_t DrawCount() const { return drawCount_; }

    // Keys: the filter sees the key first, then the handler.
    bool KeyHookInstalled() const { return keyHandler_ != 0; }
    int KeyHookInstallCount() const { return keyHookInstalls_; }
    void RefuseKeyHook(bool refuse) { refuseKeyHook_ = refuse; }
    KeyPress PressKey(uint32_t keyCode, uint32_t modifiers);

    // Message boxes: Yes/No boxes take their answers from this queue.
    std::deque<int32_t>& Answers() { return answers_; }
    const std::vector<MessageBox>& Boxes() const { return boxes_; }
    void ClearBoxes() { boxes_.clear(); }
    // Shown to a listener as they appear (the workbench prints them).
    std::function<void(const MessageBox&)> onMessage;
    // The simulator's own look at each box, just before onMessage, which
    // belongs to the front end.
    std::function<void(const MessageBox&)> watcher;
    // Answers a Yes/No box the queue holds no answer for, as the box opens
    // (an interactive front end asks its user); unset, the box stays
    // unanswered.
    std::function<int32_t(const MessageBox&)> answerer;

    // Help requests: file and topic.
    const std::vector<std::pair<std::string, std::string>>& HelpRequests() const { return help_; }
    // Shown to a listener as they are made (an interactive front end shows
    // the topic), from inside the module's call.
    std::function<void(const std::string& file, const std::string& topic)> onHelp;
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

    // Service implementations, reached through the tables. Module addresses
    // stay addresses; native pointers are what the caller translated.
    int32_t ServiceAllocBlock(int32_t pool, int32_t bytes, ModuleAddress cell, int32_t flags);
    int32_t ServiceResizeBlock(int32_t pool, int32_t bytes, ModuleAddress cell);
    static void ServiceCopyBytes(void* destination, const void* source, int32_t count);
    static int32_t ServiceCompareBytes(const void* first, const void* second, int32_t count);
    static void ServiceCopyString(char* destination, const char* source);
    static void ServiceAppendString(char* destination, const char* source);
    void ServiceRegister(int32_t type, ModuleAddress callback);
    void ServiceUnregister(int32_t type, ModuleAddress callback);
    void ServiceDrawBlock(ModuleAddress block);
    void ServiceSinCos(uint32_t angle, int16_t* sine, int16_t* cosine);
    void ServiceShowHelp(const char* file, const char* topic);
    int32_t ServiceRunDialog(HINSTANCE instance, int32_t templateId, ModuleAddress procedure);
    int32_t ServiceShowMessage(HINSTANCE instance, int32_t titleId, int32_t textId, uint32_t flags);
    int32_t ServiceInstallKeyHook(ModuleAddress handler, ModuleAddress filter);
    void ServiceRemoveKeyHook(ModuleAddress handler, ModuleAddress filter);
    int32_t ServiceDistanceToLon(int32_t distance, int32_t latitude);
    int32_t ServiceLonToDistance(int32_t lonDifference, int32_t latitude);

private:
    bool NextAllocationFails();
    ModuleAddress MakeTable(int slots, std::initializer_list<std::pair<int, HostFunction>> entries);

    std::unique_ptr<ModuleSpace> space_;
    ModuleAddress runtimeTable_ = 0;
    ModuleAddress callbackTable_ = 0;
    ModuleAddress renderTable_ = 0;
    ModuleAddress mathTable_ = 0;
    ModuleAddress uiTable_ = 0;
    ModuleAddress globalsAddress_ = 0;
    uint8_t* globals_ = nullptr;

    std::map<ModuleAddress, size_t> blocks_;
    AllocationStats stats_;
    int64_t failAllocationAt_ = 0;

    std::map<int32_t, std::vector<ModuleAddress>> callbacks_;
    std::vector<CallbackEvent> callbackLog_;

    std::vector<uint8_t> lastDrawBlock_;
    int64_t drawCount_ = 0;

    ModuleAddress keyHandler_ = 0;
    ModuleAddress keyFilter_ = 0;
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
