#include "catalog/catalog.h"

#include "module/host.h"

enum : int32_t { OBJECT_KEY_BYTES = 16 };

// A plain scan: at most 326 compares, once per change of selection.
int32_t FindCatalogEntry(const uint8_t* objectKey, int32_t* entryIndex, int32_t* groupIndex) {
    for (int32_t i = 0; i < ObjectCatalog.entryCount; ++i) {
        const CatalogEntry& entry = ObjectCatalog.entries[i];
        if (CompareBytes(objectKey, entry.objectKey, OBJECT_KEY_BYTES) != 0) {
            continue;
        }
        for (int32_t g = 0; g < ObjectCatalog.groupCount; ++g) {
            if (ObjectCatalog.groups[g].key == entry.groupKey) {
                *entryIndex = i;
                *groupIndex = g;
                return 1;
            }
        }
        return 0;
    }
    return 0;
}
