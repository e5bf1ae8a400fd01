#include "placement/marker.h"

#include "module/host.h"
#include "module/wrap.h"
#include "placement/edit_state.h"

MarkerBlockLayout MarkerBlock = {
    {0x0076, 0x002F, 0x0034, 0, 0, 0, 0, 0x0001},
    {0, 0},
    {0, 0},
    {0, 0},
    {0x0051, 0xF015, 0x0006, 0, 0, 0, 0x0007},
    0,
    0,
    0,
    0x0022,
};

namespace {

// The aircraft's 32.32 position from SimGlobals, without its low 16 bits.
Position48 AircraftPosition(uint32_t offset) {
    return Position48{*SimGlobal<uint16_t>(offset + 2), *SimGlobal<int32_t>(offset + 4)};
}

}  // namespace

void TAVU_CALL OnDraw(uint32_t, uint32_t) {
    MarkerBlock.aircraftLat = AircraftPosition(SG_AIRCRAFT_LAT);
    MarkerBlock.aircraftLon = AircraftPosition(SG_AIRCRAFT_LON);
    MarkerBlock.aircraftAlt = AircraftPosition(SG_AIRCRAFT_ALT);
    const ObjectRecord* record = state.selectedRecord;
    int32_t aircraftLat = MarkerBlock.aircraftLat.integer;
    int32_t lonDifference = WrapSub32(record->lon.integer, MarkerBlock.aircraftLon.integer);
    MarkerBlock.lonOffset = static_cast<uint16_t>(LonToDistance(lonDifference, aircraftLat));
    MarkerBlock.altOffset = static_cast<uint16_t>(WrapSub32(record->alt.integer, MarkerBlock.aircraftAlt.integer));
    MarkerBlock.latOffset = static_cast<uint16_t>(WrapSub32(record->lat.integer, aircraftLat));
    DrawBlock(&MarkerBlock, 0);
}
