#include "scenery/storage.h"

#include "module/host.h"
#include "module/messages.h"
#include "module/player.h"
#include "placement/edit_state.h"
#include "placement/marker.h"
#include "placement/motion.h"
#include "scenery/record.h"
#include "scenery/save.h"

namespace {

SceneryHeader* CurrentHeader() { return *state.currentScenery->header; }

ObjectRecord* RecordAt(SceneryHeader* header, int32_t index) { return header->records + index; }

ObjectRecord* FailAllocation() {
    ShowErrorBox(IDS_NO_MEMORY);
    return nullptr;
}

}  // namespace

void RegisterEditorCallbacks() {
    RegisterCallback(FRAME_CALLBACK, OnFrame);
    RegisterCallback(DRAW_CALLBACK, OnDraw);
    state.callbacksRegistered = 1;
}

void UnregisterEditorCallbacks() {
    UnregisterCallback(FRAME_CALLBACK, OnFrame);
    UnregisterCallback(DRAW_CALLBACK, OnDraw);
    state.callbacksRegistered = 0;
}

int32_t TAVU_CALL SelectScenery(int32_t mode, int32_t* running) {
    *running = 1;
    // Reachable from the host's module table even when no player was found.
    if (state.playerLinkage == nullptr) {
        return 0;
    }
    SceneryHandle* handle = PlayerSelectScenery(ReleaseScenery, mode);
    if (handle == nullptr) {
        return 0;
    }
    state.currentScenery = handle;
    SceneryHeader* header = CurrentHeader();
    if (header->records != nullptr) {
        // A handed-over array counts as full.
        handle->currentIndex = 0;
        handle->capacityBytes = header->sizeBytes;
        state.selectedRecord = header->records;
        if (state.callbacksRegistered == 0) {
            RegisterEditorCallbacks();
        }
    } else {
        state.selectedRecord = nullptr;
        UnregisterEditorCallbacks();
    }
    LoadEditState(state.selectedRecord);
    return 1;
}

void TAVU_CALL ReleaseScenery(void) {
    if (state.currentScenery != nullptr) {
        SceneryHeader* header = CurrentHeader();
        if (header->records != nullptr) {
            SaveScenery();
            SceneryHandle* handle = state.currentScenery;
            if (header->sizeBytes < handle->capacityBytes) {
                ObjectRecord* old = header->records;
                if (ResizeBlock(1, header->sizeBytes, &header->records) == 0) {
                    handle->capacityBytes = header->sizeBytes;
                } else {
                    header->records = old;
                }
            }
            header->flags &= ~static_cast<uint32_t>(IN_EDIT);
        }
    }
    state.selectedRecord = nullptr;
    state.currentScenery = nullptr;
    if (state.callbacksRegistered == 1) {
        UnregisterEditorCallbacks();
    }
}

ObjectRecord* AllocRecord(int32_t size) {
    SceneryHandle* handle = state.currentScenery;
    SceneryHeader* header = CurrentHeader();
    if (header->records == nullptr) {
        if (AllocBlock(1, RECORD_BLOCK_STEP, &header->records, 1) != 0 || header->records == nullptr) {
            header->records = nullptr;
            return FailAllocation();
        }
        header->sizeBytes = size;
        handle->capacityBytes = RECORD_BLOCK_STEP;
        handle->currentIndex = 0;
        header->count = 1;
        header->flags |= MODIFIED;
        return header->records;
    }
    if (header->sizeBytes + size > handle->capacityBytes) {
        // Past this the byte counts would no longer fit their 32 bits.
        if (handle->capacityBytes > INT32_MAX - RECORD_BLOCK_STEP) {
            return FailAllocation();
        }
        ObjectRecord* old = header->records;
        if (ResizeBlock(1, handle->capacityBytes + RECORD_BLOCK_STEP, &header->records) != 0) {
            header->records = old;
            return FailAllocation();
        }
        handle->capacityBytes += RECORD_BLOCK_STEP;
    }
    auto* slot = reinterpret_cast<ObjectRecord*>(reinterpret_cast<uint8_t*>(header->records) + header->sizeBytes);
    header->sizeBytes += size;
    handle->currentIndex = header->count;
    header->count += 1;
    header->flags |= MODIFIED;
    return slot;
}

ObjectRecord* SelectNextRecord() {
    SceneryHeader* header = CurrentHeader();
    if (header->records == nullptr) {
        return nullptr;
    }
    SceneryHandle* handle = state.currentScenery;
    handle->currentIndex += 1;
    if (handle->currentIndex >= header->count) {
        handle->currentIndex = 0;
    }
    SaveScenery();
    return RecordAt(header, handle->currentIndex);
}

ObjectRecord* SelectPrevRecord() {
    SceneryHeader* header = CurrentHeader();
    if (header->records == nullptr) {
        return nullptr;
    }
    SceneryHandle* handle = state.currentScenery;
    handle->currentIndex -= 1;
    if (handle->currentIndex < 0) {
        handle->currentIndex = header->count - 1;
    }
    SaveScenery();
    return RecordAt(header, handle->currentIndex);
}

void DeleteSelectedObject() {
    if (state.selectedRecord == nullptr) {
        return;
    }
    SceneryHeader* header = CurrentHeader();
    if (header->count == 1) {
        if (AskYesNo(IDS_CONFIRM_REMOVE_LAST) == ANSWER_YES) {
            PlayerDeleteScenery();
        }
        return;
    }
    ObjectRecord* selected = state.selectedRecord;
    uint8_t* end = reinterpret_cast<uint8_t*>(header->records) + header->sizeBytes;
    uint8_t* next = reinterpret_cast<uint8_t*>(selected + 1);
    CopyBytes(selected, next, static_cast<int32_t>(end - next));
    header->flags |= MODIFIED;
    header->sizeBytes -= RECORD_BYTES;
    header->count -= 1;
    SceneryHandle* handle = state.currentScenery;
    if (handle->currentIndex >= header->count) {
        state.selectedRecord = header->records;
        handle->currentIndex = 0;
    }
    SaveScenery();
    LoadEditState(state.selectedRecord);
}
