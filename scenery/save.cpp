#include "scenery/save.h"

#include "module/host.h"
#include "module/messages.h"
#include "module/player.h"
#include "module/wrap.h"
#include "placement/edit_state.h"
#include "scenery/record.h"

namespace {

// Paths the file calls take are at most MAX_PATH (260) characters; the
// temporary name adds its suffix to that.
constexpr char kTemporarySuffix[] = ".saving";
constexpr int32_t kPathCapacity = 260 + sizeof kTemporarySuffix;

void PutU32(uint8_t* out, uint32_t value) {
    out[0] = static_cast<uint8_t>(value);
    out[1] = static_cast<uint8_t>(value >> 8);
    out[2] = static_cast<uint8_t>(value >> 16);
    out[3] = static_cast<uint8_t>(value >> 24);
}

// The header as the file holds it, field by field. The records word is 0:
// an in-memory address means nothing to a reader.
void EncodeHeader(const SceneryHeader* header, uint8_t* out) {
    PutU32(out + 0, static_cast<uint32_t>(header->minLat));
    PutU32(out + 4, static_cast<uint32_t>(header->maxLat));
    PutU32(out + 8, static_cast<uint32_t>(header->minLon));
    PutU32(out + 12, static_cast<uint32_t>(header->maxLon));
    PutU32(out + 16, header->flags);
    PutU32(out + 20, 0);
    PutU32(out + 24, static_cast<uint32_t>(header->sizeBytes));
    PutU32(out + 28, static_cast<uint32_t>(header->count));
}

// Each object widens the box by its range toward the lower bounds and by
// twice its range toward the upper bounds.
void RecomputeBounds(SceneryHeader* header) {
    int32_t minLat = INT32_MAX, maxLat = INT32_MIN;
    int32_t minLon = INT32_MAX, maxLon = INT32_MIN;
    ObjectRecord* record = header->records;
    for (int32_t i = 0; i < header->count; ++i, ++record) {
        int32_t d = record->maxDistance;
        int32_t lat = record->lat.integer;
        int32_t lon = record->lon.integer;
        if (WrapSub32(lat, d) < minLat) {
            minLat = WrapSub32(lat, d);
        }
        int32_t top = WrapAdd32(lat, 2 * d);
        if (top > maxLat) {
            maxLat = top;
        }
        int32_t e = DistanceToLon(d, top);
        if (WrapSub32(lon, e) < minLon) {
            minLon = WrapSub32(lon, e);
        }
        int32_t east = WrapAdd32(lon, WrapMul32(2, e));
        if (east > maxLon) {
            maxLon = east;
        }
        record->reserved2 = 0;
    }
    header->minLat = minLat;
    header->maxLat = maxLat;
    header->minLon = minLon;
    header->maxLon = maxLon;
}

bool WriteBlock(HANDLE file, const void* data, int32_t bytes) {
    DWORD written = 0;
    return WriteFile(file, data, static_cast<DWORD>(bytes), &written, nullptr) &&
           written == static_cast<DWORD>(bytes);
}

// Builds "<path>.saving" beside the scenery file; false when it won't fit.
bool TemporaryPath(const char* path, char* out) {
    int32_t length = 0;
    while (path[length] != 0) {
        if (++length + static_cast<int32_t>(sizeof kTemporarySuffix) > kPathCapacity) {
            return false;
        }
    }
    CopyString(out, path);
    AppendString(out, kTemporarySuffix);
    return true;
}

// Writes the new file under a temporary name and only then puts it in place
// of the old one, so a failed save never costs the last good file.
bool WriteSceneryFile(const char* path, const uint8_t* prefix, SceneryHeader* header) {
    char temporary[kPathCapacity];
    if (!TemporaryPath(path, temporary)) {
        return false;
    }
    // Whatever stands at the temporary name goes first: a link there would
    // carry the write to its target, a FIFO would block the open. Removing
    // a link leaves its target alone, and the exclusive create then takes
    // only a new file of the save's own; anything still in the way (a
    // folder) fails the save.
    DeleteFileA(temporary);
    HANDLE file = CreateFileA(temporary, GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    uint8_t headerBytes[SCENERY_HEADER_FILE_BYTES];
    EncodeHeader(header, headerBytes);
    bool written = WriteBlock(file, prefix, SCENERY_PREFIX_BYTES) &&
                   WriteBlock(file, headerBytes, SCENERY_HEADER_FILE_BYTES) &&
                   WriteBlock(file, header->records, header->sizeBytes) && FlushFileBuffers(file);
    bool closed = CloseHandle(file);
    if (written && closed && MoveFileExA(temporary, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return true;
    }
    DeleteFileA(temporary);
    return false;
}

}  // namespace

void SaveScenery() {
    SceneryHeader* header = *state.currentScenery->header;
    if (header == nullptr || header->records == nullptr || (header->flags & MODIFIED) == 0) {
        return;
    }
    const uint8_t* prefix = PlayerFilePrefix();
    const char* path = PlayerFilePath();
    RecomputeBounds(header);
    if (prefix == nullptr || path == nullptr || !WriteSceneryFile(path, prefix, header)) {
        ShowErrorBox(IDS_SAVE_FAILED);
        return;
    }
    header->flags &= ~static_cast<uint32_t>(MODIFIED);
}
