// The current scenery: taken from the player, given back through the
// release callback, and its growing record array.
#pragma once

#include <stdint.h>

#include "module/hostword.h"

struct ObjectRecord;

enum : int32_t {
    RECORD_BLOCK_STEP = 304,  // four records
};

int32_t TAVU_CALL SelectScenery(int32_t mode, int32_t* running);
void TAVU_CALL ReleaseScenery(void);
ObjectRecord* AllocRecord(int32_t size);
ObjectRecord* SelectNextRecord();
ObjectRecord* SelectPrevRecord();
void DeleteSelectedObject();

// The frame and draw callbacks, registered together while an object is
// selected: frame first, then draw, in both directions.
void RegisterEditorCallbacks();
void UnregisterEditorCallbacks();
