// The module-wide edit state: plain variables with static lifetime, zero at
// load. No constructor runs (the DLL has no C runtime to run one).
#pragma once

#include <stdint.h>

#include "module/hostword.h"
#include "platform/win32.h"

struct ObjectRecord;
struct SceneryHandle;

struct EditState {
    // Host and scenery.
    HINSTANCE moduleInstance;
    const HostWord* playerLinkage;
    uint32_t savedHostWord;
    uint32_t callbacksRegistered;
    SceneryHandle* currentScenery;
    ObjectRecord* selectedRecord;

    // Dialog values.
    int32_t groupIndex;
    int32_t objectIndex;
    int32_t scalePercent;
    uint32_t maxDistance;
    uint32_t dialogEditsExisting;

    // Motion of the selected object.
    int32_t forwardSpeed;
    int32_t sideSpeed;
    uint32_t velocityHeading;
    int64_t latVelocity;
    int64_t lonVelocity;
    int64_t altVelocity;
    int32_t pitchRate;
    int32_t bankRate;
    int32_t headingRate;
    int32_t pitchAcc;
    int32_t bankAcc;
    int32_t headingAcc;
};

// Nothing in the edit state may need a constructor: the DLL has no runtime
// to run one.
static_assert(__is_trivial(EditState) && __is_standard_layout(EditState));

extern EditState state;
