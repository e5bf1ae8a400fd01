// The built-in object catalog: the objects the editor offers for placement,
// grouped and ordered as the object picker lists them.
#pragma once

#include <stdint.h>

enum : int32_t { CATALOG_GROUP_COUNT = 12, CATALOG_ENTRY_COUNT = 326 };

struct CatalogGroup {
    uint32_t key;   // 1..12, row index + 1
    int32_t first;  // index of the group's first entry
    int32_t last;   // index of its last entry, inclusive
    char name[28];  // NUL-terminated
};

struct CatalogEntry {
    uint32_t groupKey;
    uint8_t objectKey[16];
    int32_t defaultScale;         // >0 percent; <0 fixed-scale code
    uint32_t defaultMaxDistance;  // metres
    uint16_t tag;                 // 0 everywhere
    uint16_t size;
    char name[40];    // at most 31 used
    char bitmap[20];  // at most 19 used, ends ".BMP"
};

struct ObjectCatalogData {
    int32_t groupCount;  // 12, stored as data
    int32_t entryCount;  // 326, stored as data
    CatalogGroup groups[CATALOG_GROUP_COUNT];
    CatalogEntry entries[CATALOG_ENTRY_COUNT];
};

extern const ObjectCatalogData ObjectCatalog;

// Finds an entry by its 16-byte key: 1 and the indexes when found; 0 and the
// indexes untouched when not.
int32_t FindCatalogEntry(const uint8_t* objectKey, int32_t* entryIndex, int32_t* groupIndex);
