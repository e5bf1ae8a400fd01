// The selection marker: a renderer command block rewritten on every draw.
#pragma once

#include <stdint.h>

#include "module/hostword.h"
#include "scenery/record.h"

#pragma pack(push, 1)
struct MarkerBlockLayout {
    uint16_t lead[8];          // 0x0076 0x002F 0x0034 0 0 0 0 0x0001
    Position48 aircraftLat;    // offset 16
    Position48 aircraftLon;    // offset 22
    Position48 aircraftAlt;    // offset 28
    uint16_t middle[7];        // 0x0051 0xF015 0x0006 0 0 0 0x0007
    uint16_t lonOffset;        // offset 48, in latitude units
    uint16_t altOffset;        // offset 50
    uint16_t latOffset;        // offset 52
    uint16_t tail;             // 0x0022
};
#pragma pack(pop)
static_assert(sizeof(MarkerBlockLayout) == 56, "MarkerBlock layout");
static_assert(__builtin_offsetof(MarkerBlockLayout, aircraftLat) == 16, "aircraftLat offset");
static_assert(__builtin_offsetof(MarkerBlockLayout, aircraftLon) == 22, "aircraftLon offset");
static_assert(__builtin_offsetof(MarkerBlockLayout, aircraftAlt) == 28, "aircraftAlt offset");
static_assert(__builtin_offsetof(MarkerBlockLayout, middle) == 34, "middle offset");
static_assert(__builtin_offsetof(MarkerBlockLayout, lonOffset) == 48, "lonOffset offset");
static_assert(__builtin_offsetof(MarkerBlockLayout, altOffset) == 50, "altOffset offset");
static_assert(__builtin_offsetof(MarkerBlockLayout, latOffset) == 52, "latOffset offset");
static_assert(__builtin_offsetof(MarkerBlockLayout, tail) == 54, "tail offset");

extern MarkerBlockLayout MarkerBlock;

void TAVU_CALL OnDraw(uint32_t, uint32_t);
