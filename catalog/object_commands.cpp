#include "catalog/object_commands.h"

#include "catalog/catalog.h"
#include "catalog/object_dialog.h"
#include "module/host.h"
#include "module/messages.h"
#include "module/wrap.h"
#include "placement/edit_state.h"
#include "placement/motion.h"
#include "resources/resource_ids.h"
#include "scenery/record.h"
#include "scenery/save.h"
#include "scenery/scale.h"
#include "scenery/storage.h"

namespace {

// How far outside the scenery's bounds, in latitude units, a new object may
// land before the user is asked.
constexpr int32_t kFarAwayMargin = 20000;
constexpr int32_t kPlacementDistance = 50;
// Carries a distance made from SinCos fractions into a 32.32 position.
constexpr int64_t kFractionToPosition = 0x20000;
constexpr int32_t kDialogOk = 1;
constexpr uint32_t kLargestRange = 65535;

struct DialogValues {
    uint32_t maxDistance;
    int32_t scalePercent;
    int32_t groupIndex;
    int32_t objectIndex;
};

DialogValues SaveDialogValues() {
    return DialogValues{state.maxDistance, state.scalePercent, state.groupIndex, state.objectIndex};
}

void RestoreDialogValues(const DialogValues& saved) {
    state.maxDistance = saved.maxDistance;
    state.scalePercent = saved.scalePercent;
    state.groupIndex = saved.groupIndex;
    state.objectIndex = saved.objectIndex;
}

bool RunObjectDialog() {
    return RunDialog(state.moduleInstance, IDD_OBJECT_PROPERTIES, ObjectDialogProc) == kDialogOk;
}

SceneryHeader* CurrentHeader() { return *state.currentScenery->header; }

bool FarFromScenery(const SceneryHeader* header) {
    int32_t lat = *SimGlobal<int32_t>(SG_AIRCRAFT_LAT + 4);
    int32_t lon = *SimGlobal<int32_t>(SG_AIRCRAFT_LON + 4);
    int32_t margin = DistanceToLon(kFarAwayMargin, lat);
    if (header->count <= 0) {
        return false;
    }
    if (lat < WrapSub32(header->minLat, kFarAwayMargin) || lat > WrapAdd32(header->maxLat, kFarAwayMargin)) {
        return true;
    }
    // Longitude wraps at the antimeridian, and so do the bounds of a scenery
    // beside it: the widened box runs east from its west edge, and the
    // aircraft is inside when it lies no further east of that edge than the
    // box is wide.
    int32_t west = WrapSub32(header->minLon, margin);
    int32_t east = WrapAdd32(header->maxLon, margin);
    return static_cast<uint32_t>(WrapSub32(lon, west)) > static_cast<uint32_t>(WrapSub32(east, west));
}

// The upper 48 bits of a 32.32 position after a full 64-bit addition.
Position48 Offset(int64_t position, int64_t offset) {
    uint64_t sum = static_cast<uint64_t>(WrapAdd64(position, offset));
    return Position48{static_cast<uint16_t>(sum >> 16), static_cast<int32_t>(static_cast<uint32_t>(sum >> 32))};
}

void PlaceAheadOfAircraft(ObjectRecord* record) {
    uint32_t heading = *SimGlobal<uint32_t>(SG_AIRCRAFT_HEADING);
    int16_t s = 0, c = 0;
    SinCos(heading >> 16, &s, &c);
    int64_t aircraftLat = *SimGlobal<int64_t>(SG_AIRCRAFT_LAT);
    int64_t aircraftLon = *SimGlobal<int64_t>(SG_AIRCRAFT_LON);
    int32_t latitude = *SimGlobal<int32_t>(SG_AIRCRAFT_LAT + 4);
    record->lat = Offset(aircraftLat, int64_t{c * kPlacementDistance} * kFractionToPosition);
    int32_t east = DistanceToLon(s * kPlacementDistance, latitude);
    record->lon = Offset(aircraftLon, int64_t{east} * kFractionToPosition);
    // A 24.8 altitude is the 48-bit altitude shifted left by 8.
    int32_t altitude = *SimGlobal<int32_t>(SG_NEW_OBJECT_ALTITUDE);
    record->alt.integer = altitude >> 8;
    record->alt.fraction = static_cast<uint16_t>((static_cast<uint32_t>(altitude) & 0xFF) << 8);
}

// The record holds 16 bits of range; a larger number from the dialog keeps
// the farthest range it can hold rather than its low bits.
uint16_t RecordRange(uint32_t maxDistance) {
    return static_cast<uint16_t>(maxDistance > kLargestRange ? kLargestRange : maxDistance);
}

// The fields the dialog decides, from the chosen catalog entry.
void ApplyDialogValues(ObjectRecord* record) {
    const CatalogEntry& entry = ObjectCatalog.entries[state.objectIndex];
    record->scale = EncodeScale(state.scalePercent);
    record->maxDistance = RecordRange(state.maxDistance);
    record->size = entry.size;
    CopyBytes(record->objectKey, entry.objectKey, sizeof entry.objectKey);
}

}  // namespace

void AddObject() {
    if (state.currentScenery == nullptr) {
        int32_t running = 0;
        if (SelectScenery(1, &running) == 0) {
            return;
        }
    }
    DialogValues saved = SaveDialogValues();
    state.dialogEditsExisting = 0;
    SaveScenery();
    if (FarFromScenery(CurrentHeader()) && AskYesNo(IDS_CONFIRM_FAR_OBJECT) == ANSWER_NO) {
        return;
    }
    if (!RunObjectDialog()) {
        RestoreDialogValues(saved);
        return;
    }
    ObjectRecord* record = AllocRecord(RECORD_BYTES);
    if (record == nullptr) {
        RestoreDialogValues(saved);
        return;
    }
    state.selectedRecord = record;
    CopyBytes(record, RecordTemplate, RECORD_BYTES);
    LoadEditState(nullptr);
    PlaceAheadOfAircraft(record);
    ApplyDialogValues(record);
    record->recordTag = ObjectCatalog.entries[state.objectIndex].tag;
    if (state.callbacksRegistered == 0) {
        RegisterEditorCallbacks();
    }
}

void EditObjectProperties() {
    if (state.selectedRecord == nullptr) {
        return;
    }
    DialogValues saved = SaveDialogValues();
    state.dialogEditsExisting = 1;
    if (!RunObjectDialog()) {
        RestoreDialogValues(saved);
        return;
    }
    ApplyDialogValues(state.selectedRecord);
    CurrentHeader()->flags |= MODIFIED;
    SaveScenery();
}
