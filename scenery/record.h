// Object record, scenery header and handle: the layouts shared with the
// player and the scenery file. Records are byte-exact on every target.
#pragma once

#include <stdint.h>

#include "module/hostword.h"

#pragma pack(push, 1)

// A signed 48-bit little-endian value in units of 1/65536: the upper 48 bits
// of the host's 32.32 positions.
struct Position48 {
    uint16_t fraction;
    int32_t integer;
};
static_assert(sizeof(Position48) == 6, "Position48 layout");

struct ObjectRecord {
    uint32_t recordTag;
    uint16_t command0;         // 0x003F
    uint16_t skip0;            // 6
    uint16_t command1;         // 0x0022
    uint16_t command2;         // 0x002F
    uint16_t skip1;            // 42
    uint16_t maxDistance;
    uint16_t size;
    uint16_t reserved1;
    uint32_t scale;
    Position48 lat;
    Position48 lon;
    Position48 alt;
    uint16_t command3;         // 0x0033
    uint16_t skip2;            // 12
    int16_t pitch;
    int16_t bank;
    int16_t heading;
    uint16_t command4;         // 0x0022
    uint16_t command5;         // 0x0063
    uint16_t reserved2;
    uint8_t objectKey[16];
    uint16_t command6;         // 0x0022
};

#pragma pack(pop)

static_assert(sizeof(ObjectRecord) == 76, "ObjectRecord layout");
static_assert(__builtin_offsetof(ObjectRecord, maxDistance) == 14, "maxDistance offset");
static_assert(__builtin_offsetof(ObjectRecord, size) == 16, "size offset");
static_assert(__builtin_offsetof(ObjectRecord, reserved1) == 18, "reserved1 offset");
static_assert(__builtin_offsetof(ObjectRecord, scale) == 20, "scale offset");
static_assert(__builtin_offsetof(ObjectRecord, lat) == 24, "lat offset");
static_assert(__builtin_offsetof(ObjectRecord, lon) == 30, "lon offset");
static_assert(__builtin_offsetof(ObjectRecord, alt) == 36, "alt offset");
static_assert(__builtin_offsetof(ObjectRecord, command3) == 42, "command3 offset");
static_assert(__builtin_offsetof(ObjectRecord, pitch) == 46, "pitch offset");
static_assert(__builtin_offsetof(ObjectRecord, bank) == 48, "bank offset");
static_assert(__builtin_offsetof(ObjectRecord, heading) == 50, "heading offset");
static_assert(__builtin_offsetof(ObjectRecord, command4) == 52, "command4 offset");
static_assert(__builtin_offsetof(ObjectRecord, reserved2) == 56, "reserved2 offset");
static_assert(__builtin_offsetof(ObjectRecord, objectKey) == 58, "objectKey offset");
static_assert(__builtin_offsetof(ObjectRecord, command6) == 74, "command6 offset");

enum : int32_t {
    RECORD_BYTES = 76,
};

extern const uint8_t RecordTemplate[RECORD_BYTES];

// Header flags.
enum : uint32_t {
    MODIFIED = 1,
    IN_EDIT = 4,
};

struct SceneryHeader {
    int32_t minLat;
    int32_t maxLat;
    int32_t minLon;
    int32_t maxLon;
    uint32_t flags;
    ObjectRecord* records;  // null while the scenery has no records
    int32_t sizeBytes;      // always RECORD_BYTES * count
    int32_t count;
};
TAVU_ASSERT_SIZE32(SceneryHeader, 32);
TAVU_ASSERT_OFFSET32(SceneryHeader, records, 20);
TAVU_ASSERT_OFFSET32(SceneryHeader, sizeBytes, 24);
TAVU_ASSERT_OFFSET32(SceneryHeader, count, 28);

// Handed out by the player. The header pointer lives in a cell the player
// owns; the editor reads it through the cell on every use.
struct SceneryHandle {
    SceneryHeader** header;
    int32_t capacityBytes;
    int32_t currentIndex;
};
TAVU_ASSERT_SIZE32(SceneryHandle, 12);

enum : int32_t {
    SCENERY_PREFIX_BYTES = 16,
    SCENERY_HEADER_FILE_BYTES = 32,
    SCENERY_FILE_HEADER_BYTES = SCENERY_PREFIX_BYTES + SCENERY_HEADER_FILE_BYTES,
};
