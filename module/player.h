// The player module's operations, reached through the words of its Linkage
// record (slot n is word n from the record's start).
#pragma once

#include <stdint.h>

#include "module/hostword.h"
#include "placement/edit_state.h"
#include "scenery/record.h"

enum : int {
    PLAYER_SLOT_SELECT_SCENERY = 8,
    PLAYER_SLOT_FILE_PREFIX = 9,
    PLAYER_SLOT_FILE_PATH = 10,
    PLAYER_SLOT_DELETE_SCENERY = 11,
    PLAYER_LINKAGE_MIN_WORDS = 12,
};

typedef void(TAVU_CALL* ReleaseCallback)(void);
typedef SceneryHandle*(TAVU_CALL* PlayerSelectSceneryFn)(ReleaseCallback release, int32_t mode);
typedef const uint8_t*(TAVU_CALL* PlayerFilePrefixFn)(void);
typedef const char*(TAVU_CALL* PlayerFilePathFn)(void);
typedef void(TAVU_CALL* PlayerDeleteSceneryFn)(void);

template <typename Fn>
inline Fn PlayerSlot(int slot) {
    return reinterpret_cast<Fn>(state.playerLinkage[slot]);
}

inline SceneryHandle* PlayerSelectScenery(ReleaseCallback release, int32_t mode) {
    return PlayerSlot<PlayerSelectSceneryFn>(PLAYER_SLOT_SELECT_SCENERY)(release, mode);
}
inline const uint8_t* PlayerFilePrefix() {
    return PlayerSlot<PlayerFilePrefixFn>(PLAYER_SLOT_FILE_PREFIX)();
}
inline const char* PlayerFilePath() {
    return PlayerSlot<PlayerFilePathFn>(PLAYER_SLOT_FILE_PATH)();
}
inline void PlayerDeleteScenery() {
    PlayerSlot<PlayerDeleteSceneryFn>(PLAYER_SLOT_DELETE_SCENERY)();
}
