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

Host::Host(std::unique_ptr<ModuleSpace> space) : space_(std::move(space)) {
    using F = HostFunction;
    runtimeTable_ = MakeTable(RUNTIME_TABLE_SLOTS, {{SLOT_ALLOC_BLOCK, F::AllocBlock},
                                                    {SLOT_RESIZE_BLOCK, F::ResizeBlock},
                                                    {SLOT_COPY_BYTES, F::CopyBytes},
                                                    {SLOT_COMPARE_BYTES, F::CompareBytes},
                                                    {SLOT_COPY_STRING, F::CopyString},
                                                    {SLOT_APPEND_STRING, F::AppendString}});
    callbackTable_ = MakeTable(CALLBACK_TABLE_SLOTS, {{SLOT_REGISTER_CALLBACK, F::RegisterCallback},
                                                      {SLOT_UNREGISTER_CALLBACK, F::UnregisterCallback}});
    renderTable_ = MakeTable(RENDER_TABLE_SLOTS, {{SLOT_DRAW_BLOCK, F::DrawBlock}});
    mathTable_ = MakeTable(MATH_TABLE_SLOTS, {{SLOT_SIN_COS, F::SinCos}});
    uiTable_ = MakeTable(UI_TABLE_SLOTS, {{SLOT_SHOW_HELP, F::ShowHelp},
                                          {SLOT_RUN_DIALOG, F::RunDialog},
                                          {SLOT_SHOW_MESSAGE, F::ShowMessage},
                                          {SLOT_INSTALL_KEY_HOOK, F::InstallKeyHook},
                                          {SLOT_REMOVE_KEY_HOOK, F::RemoveKeyHook},
                                          {SLOT_DISTANCE_TO_LON, F::DistanceToLon},
                                          {SLOT_LON_TO_DISTANCE, F::LonToDistance}});
    globalsAddress_ = space_->Allocate(kSimGlobalsBytes);
    globals_ = space_->Native(globalsAddress_, kSimGlobalsBytes);
    memset(globals_, 0, kSimGlobalsBytes);
    SetGlobal<uint16_t>(SG_FRAME_STEP, kDefaultFrameStepMs);
    previous_ = activeHost;
    activeHost = this;
}

Host::~Host() {
    for (auto& [block, size] : blocks_) {
        space_->Free(block);
    }
    for (ModuleAddress table : {runtimeTable_, callbackTable_, renderTable_, mathTable_, uiTable_, globalsAddress_}) {
        space_->Free(table);
    }
    activeHost = previous_;
}

ModuleAddress Host::MakeTable(int slots, std::initializer_list<std::pair<int, HostFunction>> entries) {
    size_t bytes = static_cast<size_t>(slots) * space_->PointerBytes();
    ModuleAddress table = space_->Allocate(bytes);
    memset(space_->Native(table, bytes), 0, bytes);
    for (auto [slot, function] : entries) {
        space_->WritePointer(table + static_cast<ModuleAddress>(slot) * space_->PointerBytes(),
                             space_->HostEntry(function));
    }
    return table;
}

Host* Host::Active() { return activeHost; }

void Host::FillImportTable(ModuleAddress importTable) {
    const ModuleAddress word = space_->PointerBytes();
    for (uint32_t i = 0; i < IMPORT_ENTRY_COUNT; ++i) {
        ModuleAddress entry = importTable + 2 * word * i;
        ModuleAddress id = space_->ReadPointer(entry);
        if (id == 0) {
            break;
        }
        ModuleAddress table = 0;
        switch (id) {
            case RUNTIME_TABLE_ID:
                table = runtimeTable_;
                break;
            case SIM_GLOBALS_ID:
                table = globalsAddress_;
                break;
            case CALLBACK_TABLE_ID:
                table = callbackTable_;
                break;
            case RENDER_TABLE_ID:
                table = renderTable_;
                break;
            case MATH_TABLE_ID:
                table = mathTable_;
                break;
            case UI_TABLE_ID:
                table = uiTable_;
                break;
            default:
                continue;
        }
        space_->WritePointer(entry + word, table);
    }
}

ModuleAddress Host::AllocateBlock(size_t bytes) {
    ModuleAddress block = space_->Allocate(std::max<size_t>(bytes, 1));
    if (block == 0) {
        return 0;
    }
    memset(space_->Native(block, bytes), kFreshBytePattern, bytes);
    blocks_[block] = bytes;
    ++stats_.liveBlocks;
    stats_.liveBytes += static_cast<int64_t>(bytes);
    return block;
}

void Host::FreeBlock(ModuleAddress block) {
    auto it = blocks_.find(block);
    if (it == blocks_.end()) {
        return;
    }
    --stats_.liveBlocks;
    stats_.liveBytes -= static_cast<int64_t>(it->second);
    blocks_.erase(it);
    space_->Free(block);
}

size_t Host::BlockSize(ModuleAddress block) const {
    auto it = blocks_.find(block);
    return it == blocks_.end() ? 0 : it->second;
}

bool Host::NextAllocationFails() {
    ++stats_.calls;
    return failAllocationAt_ != 0 && stats_.calls == failAllocationAt_;
}

int32_t Host::ServiceAllocBlock(int32_t, int32_t bytes, ModuleAddress cell, int32_t flags) {
    if (NextAllocationFails() || bytes < 0) {
        space_->WritePointer(cell, 0);
        return 1;
    }
    ModuleAddress block = AllocateBlock(static_cast<size_t>(bytes));
    if (block == 0) {
        space_->WritePointer(cell, 0);
        return 1;
    }
    if (flags == 1) {
        memset(space_->Native(block, static_cast<size_t>(bytes)), 0, static_cast<size_t>(bytes));
    }
    space_->WritePointer(cell, block);
    return 0;
}

int32_t Host::ServiceResizeBlock(int32_t, int32_t bytes, ModuleAddress cell) {
    ModuleAddress old = space_->ReadPointer(cell);
    auto it = blocks_.find(old);
    // A failed resize leaves the old block alive but the caller's pointer
    // cleared: the caller must put its pointer back.
    if (NextAllocationFails() || bytes < 0 || it == blocks_.end()) {
        space_->WritePointer(cell, 0);
        return 1;
    }
    size_t oldSize = it->second;
    size_t newSize = static_cast<size_t>(bytes);
    ModuleAddress block = space_->Resize(old, std::max<size_t>(newSize, 1));
    if (block == 0) {
        space_->WritePointer(cell, 0);
        return 1;
    }
    blocks_.erase(old);
    if (newSize > oldSize) {
        memset(space_->Native(block + oldSize, newSize - oldSize), kFreshBytePattern, newSize - oldSize);
    }
    blocks_[block] = newSize;
    stats_.liveBytes += static_cast<int64_t>(newSize) - static_cast<int64_t>(oldSize);
    space_->WritePointer(cell, block);
    return 0;
}

void Host::ServiceCopyBytes(void* destination, const void* source, int32_t count) {
    if (count > 0) {
        memmove(destination, source, static_cast<size_t>(count));
    }
}

int32_t Host::ServiceCompareBytes(const void* first, const void* second, int32_t count) {
    return count > 0 ? memcmp(first, second, static_cast<size_t>(count)) : 0;
}

void Host::ServiceCopyString(char* destination, const char* source) { strcpy(destination, source); }

void Host::ServiceAppendString(char* destination, const char* source) { strcat(destination, source); }

void Host::ServiceSinCos(uint32_t angle, int16_t* sine, int16_t* cosine) {
    ++pureCalls_.sinCos;
    SinCos16(angle, sine, cosine);
}

int32_t Host::ServiceDistanceToLon(int32_t distance, int32_t latitude) {
    ++pureCalls_.distanceToLon;
    return MetresToLonUnits(distance, latitude);
}

int32_t Host::ServiceLonToDistance(int32_t lonDifference, int32_t latitude) {
    ++pureCalls_.lonToDistance;
    return LonUnitsToMetres(lonDifference, latitude);
}

void Host::ServiceRegister(int32_t type, ModuleAddress callback) {
    callbacks_[type].push_back(callback);
    callbackLog_.push_back({true, type, callback});
}

void Host::ServiceUnregister(int32_t type, ModuleAddress callback) {
    callbackLog_.push_back({false, type, callback});
    auto& list = callbacks_[type];
    auto it = std::find(list.begin(), list.end(), callback);
    if (it != list.end()) {
        list.erase(it);
    }
}

std::vector<ModuleAddress> Host::RegisteredAddresses(int32_t type) const {
    auto it = callbacks_.find(type);
    return it == callbacks_.end() ? std::vector<ModuleAddress>{} : it->second;
}

std::vector<HostCallback> Host::Registered(int32_t type) const {
    std::vector<HostCallback> callbacks;
    for (ModuleAddress address : RegisteredAddresses(type)) {
        callbacks.push_back(reinterpret_cast<HostCallback>(static_cast<uintptr_t>(address)));
    }
    return callbacks;
}

void Host::RunFrame() {
    // Copies: a callback may unregister itself while it runs.
    for (ModuleAddress callback : RegisteredAddresses(FRAME_CALLBACK)) {
        space_->CallCallback(callback, 0, 0);
    }
    for (ModuleAddress callback : RegisteredAddresses(DRAW_CALLBACK)) {
        space_->CallCallback(callback, 0, 0);
    }
}

void Host::ServiceDrawBlock(ModuleAddress block) {
    if (const uint8_t* bytes = space_->Native(block, kDrawBlockBytes)) {
        lastDrawBlock_.assign(bytes, bytes + kDrawBlockBytes);
    }
    ++drawCount_;
}

void Host::ServiceShowHelp(const char* file, const char* topic) {
    help_.emplace_back(file ? file : "", topic ? topic : "");
    if (onHelp) {
        onHelp(help_.back().first, help_.back().second);
    }
}

int32_t Host::ServiceRunDialog(HINSTANCE instance, int32_t templateId, ModuleAddress procedure) {
    ++dialogs_;
    return dialogRunner ? dialogRunner(instance, templateId, space_->DialogProcedure(procedure)) : 0;
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
        if (!answers_.empty()) {
            box.answer = answers_.front();
            answers_.pop_front();
        } else if (answerer) {
            box.answer = answerer(box);
        } else {
            box.unanswered = true;
            box.answer = 0;
        }
    } else {
        box.answer = 1;  // IDOK
    }
    boxes_.push_back(box);
    if (watcher) {
        watcher(box);
    }
    if (onMessage) {
        onMessage(box);
    }
    return box.answer;
}

int32_t Host::ServiceInstallKeyHook(ModuleAddress handler, ModuleAddress filter) {
    if (refuseKeyHook_ || handler == 0) {
        return 0;
    }
    keyHandler_ = handler;
    keyFilter_ = filter;
    ++keyHookInstalls_;
    return 1;
}

void Host::ServiceRemoveKeyHook(ModuleAddress handler, ModuleAddress filter) {
    if (handler == keyHandler_ && filter == keyFilter_) {
        keyHandler_ = 0;
        keyFilter_ = 0;
    }
}

KeyPress Host::PressKey(uint32_t keyCode, uint32_t modifiers) {
    KeyPress press{1, 1};
    if (keyFilter_ != 0) {
        press.filterResult = space_->CallKeyFunction(keyFilter_, keyCode, modifiers);
    }
    // The handler makes its own tests, so it sees every key; the filter's
    // answer only tells the host whether the key is the editor's.
    if (keyHandler_ != 0) {
        press.handlerResult = space_->CallKeyFunction(keyHandler_, keyCode, modifiers);
    }
    return press;
}

}  // namespace sim
