#include "sim/host.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "platform/resources.h"

namespace sim {

namespace {

Host* activeHost = nullptr;

constexpr uint8_t kFreshBytePattern = 0xCD;  // marks memory nobody has written
constexpr double kPi = 3.14159265358979323846;

Host& Active() { return *activeHost; }

// Service entries in the host's calling convention. Each forwards to the
// active host.
int32_t TAVU_CALL AllocBlockService(int32_t pool, int32_t bytes, void* pointerAddress, int32_t flags) {
    return Active().ServiceAllocBlock(pool, bytes, pointerAddress, flags);
}
int32_t TAVU_CALL ResizeBlockService(int32_t pool, int32_t bytes, void* pointerAddress) {
    return Active().ServiceResizeBlock(pool, bytes, pointerAddress);
}
void TAVU_CALL CopyBytesService(void* destination, const void* source, int32_t count) {
    if (count > 0) {
        memmove(destination, source, static_cast<size_t>(count));
    }
}
int32_t TAVU_CALL CompareBytesService(const void* first, const void* second, int32_t count) {
    return count > 0 ? memcmp(first, second, static_cast<size_t>(count)) : 0;
}
void TAVU_CALL CopyStringService(char* destination, const char* source) { strcpy(destination, source); }
void TAVU_CALL AppendStringService(char* destination, const char* source) { strcat(destination, source); }
void TAVU_CALL RegisterCallbackService(int32_t type, HostCallback callback) {
    Active().ServiceRegister(type, callback);
}
void TAVU_CALL UnregisterCallbackService(int32_t type, HostCallback callback) {
    Active().ServiceUnregister(type, callback);
}
void TAVU_CALL DrawBlockService(const void* block, int32_t) { Active().ServiceDrawBlock(block); }
void TAVU_CALL SinCosService(uint32_t angle, int16_t* sine, int16_t* cosine) {
    ++Active().PureCalls().sinCos;
    SinCos16(angle, sine, cosine);
}
void TAVU_CALL ShowHelpService(const char* file, const char* topic) { Active().ServiceShowHelp(file, topic); }
int32_t TAVU_CALL RunDialogService(HINSTANCE instance, int32_t templateId, DLGPROC procedure) {
    return Active().ServiceRunDialog(instance, templateId, procedure);
}
int32_t TAVU_CALL ShowMessageService(HINSTANCE instance, int32_t titleId, int32_t textId, int32_t, uint32_t flags) {
    return Active().ServiceShowMessage(instance, titleId, textId, flags);
}
int32_t TAVU_CALL InstallKeyHookService(KeyFunction handler, KeyFunction filter) {
    return Active().ServiceInstallKeyHook(handler, filter);
}
int32_t TAVU_CALL RemoveKeyHookService(KeyFunction handler, KeyFunction filter) {
    Active().ServiceRemoveKeyHook(handler, filter);
    return 1;
}
int32_t TAVU_CALL DistanceToLonService(int32_t distance, int32_t latitude) {
    ++Active().PureCalls().distanceToLon;
    return MetresToLonUnits(distance, latitude);
}
int32_t TAVU_CALL LonToDistanceService(int32_t lonDifference, int32_t latitude) {
    ++Active().PureCalls().lonToDistance;
    return LonUnitsToMetres(lonDifference, latitude);
}

template <typename Fn>
HostWord Word(Fn function) {
    return reinterpret_cast<HostWord>(function);
}

int32_t Saturate32(double value) {
    if (!(value == value)) {
        return 0;
    }
    value = std::round(value);
    if (value >= static_cast<double>(std::numeric_limits<int32_t>::max())) {
        return std::numeric_limits<int32_t>::max();
    }
    if (value <= static_cast<double>(std::numeric_limits<int32_t>::min())) {
        return std::numeric_limits<int32_t>::min();
    }
    return static_cast<int32_t>(value);
}

// Metres of ground per radian of longitude at a latitude; never zero, so
// that conversions near the poles stay finite.
double ParallelRadius(int32_t latitude) {
    double phi = static_cast<double>(latitude) / kEarthRadiusMetres;
    return std::max(kEarthRadiusMetres * std::fabs(std::cos(phi)), 1.0);
}

}  // namespace

void SinCos16(uint32_t angle, int16_t* sine, int16_t* cosine) {
    double radians = static_cast<double>(angle & 0xFFFF) * (2.0 * kPi / 65536.0);
    *sine = static_cast<int16_t>(std::lround(32767.0 * std::sin(radians)));
    *cosine = static_cast<int16_t>(std::lround(32767.0 * std::cos(radians)));
}

int32_t MetresToLonUnits(int32_t metres, int32_t latitude) {
    return Saturate32(static_cast<double>(metres) / ParallelRadius(latitude) * (kLonUnitsPerTurn / (2.0 * kPi)));
}

int32_t LonUnitsToMetres(int32_t lonUnits, int32_t latitude) {
    return Saturate32(static_cast<double>(lonUnits) * (2.0 * kPi / kLonUnitsPerTurn) * ParallelRadius(latitude));
}

Host::Host() {
    runtimeTable_[SLOT_ALLOC_BLOCK] = Word(&AllocBlockService);
    runtimeTable_[SLOT_RESIZE_BLOCK] = Word(&ResizeBlockService);
    runtimeTable_[SLOT_COPY_BYTES] = Word(&CopyBytesService);
    runtimeTable_[SLOT_COMPARE_BYTES] = Word(&CompareBytesService);
    runtimeTable_[SLOT_COPY_STRING] = Word(&CopyStringService);
    runtimeTable_[SLOT_APPEND_STRING] = Word(&AppendStringService);
    callbackTable_[SLOT_REGISTER_CALLBACK] = Word(&RegisterCallbackService);
    callbackTable_[SLOT_UNREGISTER_CALLBACK] = Word(&UnregisterCallbackService);
    renderTable_[SLOT_DRAW_BLOCK] = Word(&DrawBlockService);
    mathTable_[SLOT_SIN_COS] = Word(&SinCosService);
    uiTable_[SLOT_SHOW_HELP] = Word(&ShowHelpService);
    uiTable_[SLOT_RUN_DIALOG] = Word(&RunDialogService);
    uiTable_[SLOT_SHOW_MESSAGE] = Word(&ShowMessageService);
    uiTable_[SLOT_INSTALL_KEY_HOOK] = Word(&InstallKeyHookService);
    uiTable_[SLOT_REMOVE_KEY_HOOK] = Word(&RemoveKeyHookService);
    uiTable_[SLOT_DISTANCE_TO_LON] = Word(&DistanceToLonService);
    uiTable_[SLOT_LON_TO_DISTANCE] = Word(&LonToDistanceService);
    SetGlobal<uint16_t>(SG_FRAME_STEP, kDefaultFrameStepMs);
    previous_ = activeHost;
    activeHost = this;
}

Host::~Host() {
    for (auto& [block, size] : blocks_) {
        free(block);
    }
    activeHost = previous_;
}

Host* Host::Active() { return activeHost; }

void Host::FillImportTable(ImportEntry* table) const {
    for (uint32_t i = 0; i < IMPORT_ENTRY_COUNT && table[i].id != 0; ++i) {
        switch (table[i].id) {
            case RUNTIME_TABLE_ID:
                table[i].table = reinterpret_cast<HostWord>(runtimeTable_);
                break;
            case SIM_GLOBALS_ID:
                table[i].table = reinterpret_cast<HostWord>(globals_);
                break;
            case CALLBACK_TABLE_ID:
                table[i].table = reinterpret_cast<HostWord>(callbackTable_);
                break;
            case RENDER_TABLE_ID:
                table[i].table = reinterpret_cast<HostWord>(renderTable_);
                break;
            case MATH_TABLE_ID:
                table[i].table = reinterpret_cast<HostWord>(mathTable_);
                break;
            case UI_TABLE_ID:
                table[i].table = reinterpret_cast<HostWord>(uiTable_);
                break;
            default:
                break;
        }
    }
}

void* Host::AllocateBlock(size_t bytes) {
    void* block = malloc(std::max<size_t>(bytes, 1));
    if (block == nullptr) {
        return nullptr;
    }
    memset(block, kFreshBytePattern, bytes);
    blocks_[block] = bytes;
    ++stats_.liveBlocks;
    stats_.liveBytes += static_cast<int64_t>(bytes);
    return block;
}

void Host::FreeBlock(void* block) {
    auto it = blocks_.find(block);
    if (it == blocks_.end()) {
        return;
    }
    --stats_.liveBlocks;
    stats_.liveBytes -= static_cast<int64_t>(it->second);
    blocks_.erase(it);
    free(block);
}

size_t Host::BlockSize(const void* block) const {
    auto it = blocks_.find(const_cast<void*>(block));
    return it == blocks_.end() ? 0 : it->second;
}

bool Host::NextAllocationFails() {
    ++stats_.calls;
    return failAllocationAt_ != 0 && stats_.calls == failAllocationAt_;
}

int32_t Host::ServiceAllocBlock(int32_t, int32_t bytes, void* pointerAddress, int32_t flags) {
    auto* cell = static_cast<void**>(pointerAddress);
    if (NextAllocationFails() || bytes < 0) {
        *cell = nullptr;
        return 1;
    }
    void* block = AllocateBlock(static_cast<size_t>(bytes));
    if (block == nullptr) {
        *cell = nullptr;
        return 1;
    }
    if (flags == 1) {
        memset(block, 0, static_cast<size_t>(bytes));
    }
    *cell = block;
    return 0;
}

int32_t Host::ServiceResizeBlock(int32_t, int32_t bytes, void* pointerAddress) {
    auto* cell = static_cast<void**>(pointerAddress);
    void* old = *cell;
    auto it = blocks_.find(old);
    // A failed resize leaves the old block alive but the caller's pointer
    // cleared: the caller must put its pointer back.
    if (NextAllocationFails() || bytes < 0 || it == blocks_.end()) {
        *cell = nullptr;
        return 1;
    }
    size_t oldSize = it->second;
    size_t newSize = static_cast<size_t>(bytes);
    void* block = realloc(old, std::max<size_t>(newSize, 1));
    if (block == nullptr) {
        *cell = nullptr;
        return 1;
    }
    blocks_.erase(it);
    if (newSize > oldSize) {
        memset(static_cast<uint8_t*>(block) + oldSize, kFreshBytePattern, newSize - oldSize);
    }
    blocks_[block] = newSize;
    stats_.liveBytes += static_cast<int64_t>(newSize) - static_cast<int64_t>(oldSize);
    *cell = block;
    return 0;
}

void Host::ServiceRegister(int32_t type, HostCallback callback) {
    callbacks_[type].push_back(callback);
    callbackLog_.push_back({true, type, callback});
}

void Host::ServiceUnregister(int32_t type, HostCallback callback) {
    callbackLog_.push_back({false, type, callback});
    auto& list = callbacks_[type];
    auto it = std::find(list.begin(), list.end(), callback);
    if (it != list.end()) {
        list.erase(it);
    }
}

std::vector<HostCallback> Host::Registered(int32_t type) const {
    auto it = callbacks_.find(type);
    return it == callbacks_.end() ? std::vector<HostCallback>{} : it->second;
}

void Host::RunFrame() {
    // Copies: a callback may unregister itself while it runs.
    for (HostCallback callback : Registered(FRAME_CALLBACK)) {
        callback(0, 0);
    }
    for (HostCallback callback : Registered(DRAW_CALLBACK)) {
        callback(0, 0);
    }
}

void Host::ServiceDrawBlock(const void* block) {
    const auto* bytes = static_cast<const uint8_t*>(block);
    lastDrawBlock_.assign(bytes, bytes + kDrawBlockBytes);
    ++drawCount_;
}

void Host::ServiceShowHelp(const char* file, const char* topic) {
    help_.emplace_back(file ? file : "", topic ? topic : "");
}

int32_t Host::ServiceRunDialog(HINSTANCE instance, int32_t templateId, DLGPROC procedure) {
    ++dialogs_;
    return dialogRunner ? dialogRunner(instance, templateId, procedure) : 0;
}

int32_t Host::ServiceShowMessage(HINSTANCE, int32_t titleId, int32_t textId, uint32_t flags) {
    MessageBox box;
    box.titleId = titleId;
    box.textId = textId;
    box.flags = flags;
    LANGID language = platform::ActiveLanguage();
    const char* title = platform::FindStringUtf8(static_cast<UINT>(titleId), language);
    const char* text = platform::FindStringUtf8(static_cast<UINT>(textId), language);
    box.title = title ? title : "";
    box.text = text ? text : "";
    if ((flags & 0xF) == 4) {
        if (answers_.empty()) {
            box.unanswered = true;
            box.answer = 0;
        } else {
            box.answer = answers_.front();
            answers_.pop_front();
        }
    } else {
        box.answer = 1;  // IDOK
    }
    boxes_.push_back(box);
    if (onMessage) {
        onMessage(box);
    }
    return box.answer;
}

int32_t Host::ServiceInstallKeyHook(KeyFunction handler, KeyFunction filter) {
    if (refuseKeyHook_ || handler == nullptr) {
        return 0;
    }
    keyHandler_ = handler;
    keyFilter_ = filter;
    ++keyHookInstalls_;
    return 1;
}

void Host::ServiceRemoveKeyHook(KeyFunction handler, KeyFunction filter) {
    if (handler == keyHandler_ && filter == keyFilter_) {
        keyHandler_ = nullptr;
        keyFilter_ = nullptr;
    }
}

KeyPress Host::PressKey(uint32_t keyCode, uint32_t modifiers) {
    KeyPress press{1, 1};
    if (keyFilter_ != nullptr) {
        press.filterResult = keyFilter_(keyCode, modifiers);
    }
    // The handler makes its own tests, so it sees every key; the filter's
    // answer only tells the host whether the key is the editor's.
    if (keyHandler_ != nullptr) {
        press.handlerResult = keyHandler_(keyCode, modifiers);
    }
    return press;
}

}  // namespace sim
