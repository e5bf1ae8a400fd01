// End to end: sessions run against the linked module leave scenery files
// whose bytes the tests work out on their own, from the placement and motion
// rules and the file layout.
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "catalog/catalog.h"
#include "sim/geodesy.h"
#include "sim/host.h"
#include "tests/workbench/workbench_support.h"

namespace {

// A 32.32 position as a record keeps it: the top 48 bits.
Position48 Cut(int64_t position) {
    const uint64_t bits = static_cast<uint64_t>(position);
    return {static_cast<uint16_t>(bits >> 16), static_cast<int32_t>(bits >> 32)};
}

// The file a save of one object gives: the record from the template with
// the object's catalog values, and a box one range objLat and objLon of it and
// two ranges north and east.
std::vector<uint8_t> OneObjectFile(const char* name, uint16_t range, uint32_t scale, int64_t lat, int64_t lon,
                                   int64_t alt, int16_t pitch, int16_t heading) {
    const CatalogEntry* entry = nullptr;
    for (int e = 0; e < ObjectCatalog.entryCount; ++e) {
        entry = strcmp(ObjectCatalog.entries[e].name, name) == 0 ? &ObjectCatalog.entries[e] : entry;
    }
    ObjectRecord record;
    memcpy(&record, RecordTemplate, sizeof record);
    record.maxDistance = range;
    record.size = entry->size;
    record.scale = scale;
    record.lat = Cut(lat), record.lon = Cut(lon), record.alt = Cut(alt);
    record.pitch = pitch, record.heading = heading;
    memcpy(record.objectKey, entry->objectKey, 16);
    const int32_t lat0 = record.lat.integer, lon0 = record.lon.integer, north = lat0 + 2 * range;
    const int32_t east = sim::MetresToLonUnits(range, north);
    // MODIFIED is still set: the header is written before the flag is cleared.
    const sim::SceneryHeaderFields box{lat0 - range, north, lon0 - east, lon0 + 2 * east, MODIFIED, 0, 76, 1};
    return sim::EncodeSceneryFile(box, {&record, 1});
}

class SavedBytes : public workbench::SessionTest {};

TEST_F(SavedBytes, AnObjectAddedAheadAndMovedForwardAtHeadingZero) {
    workbench::SessionRun run = RunText(
        "aircraft lat 45.5 lon 9.25 alt 300 heading 0\nnew-object-altitude 120.5\nstep 40\nstart\n"
        "dialog group \"Animals\" object \"Elephant 1\" scale 150 distance 2500 ok\n"
        "key Ctrl+Insert\nkey Ctrl+Up x3\nframes 7\nstop\n");
    ASSERT_TRUE(run.result.ok()) << run.Error() << run.transcript;
    // Placed 50 m ahead: cos 0 is 32767 in SinCos fractions, carried into
    // 32.32 by 2^17; the aircraft's low 16 bits are lost with the record's.
    int64_t lat = (sim::LatitudeToPosition(45.5) + int64_t{32767} * 50 * (1 << 17)) & ~0xFFFFll;
    // Three Up presses: forward speed 2, 4, 8; at heading 0 all of it goes
    // north, 32767 * 8 per millisecond of step. Each frame adds to the full
    // 64-bit value, whose low 16 bits the record cannot keep.
    for (int frame = 0; frame < 7; ++frame) {
        lat = (lat + int64_t{32767} * 8 * 40) & ~0xFFFFll;
    }
    // 120.5 m is 30848 in the 24.8 of the altitude setting.
    const int64_t alt = int64_t{30848} << 24;
    EXPECT_EQ(
        workbench::ReadBytes(PathOf("scenery-001.tsc")),
        OneObjectFile("Elephant 1", 2500, 6553600 / 150, lat, sim::LongitudeToPosition(9.25), alt, 0, 0));
}

TEST_F(SavedBytes, AFixedScaleObjectAddedToTheEastAndTurnedAtHeadingNinety) {
    workbench::SessionRun run = RunText(
        "aircraft lat -33.9 lon 151.2 alt 5 heading 90\nnew-object-altitude -2.25\nstart\n"
        "dialog group \"Aircraft\" object \"B737 Delta\" distance 2500 ok\n"
        "key Ctrl+Insert\nkey Ctrl+PageDown x2\nkey Ctrl+F5\nframes 10\nstop\n");
    ASSERT_TRUE(run.result.ok()) << run.Error() << run.transcript;
    // sin 90 is 32767 and cos 90 is 0: the object goes 50 m east, as
    // longitude units at the aircraft's latitude, and not north at all.
    const int64_t lat = sim::LatitudeToPosition(-33.9);
    const int32_t east = sim::MetresToLonUnits(32767 * 50, static_cast<int32_t>(lat >> 32));
    const int64_t lon = sim::LongitudeToPosition(151.2) + int64_t{east} * (int64_t{1} << 17);
    // -2.25 m is -576 in 24.8: integer -3, fraction 0xC000 in the record.
    const int64_t alt = int64_t{-576} * (1 << 24);
    // Heading rate 1456 doubled, pitch rate -1456, per millisecond of the
    // default 50 ms step, in 2^32 per turn, for 10 frames; the record keeps
    // the top 16 bits: 2912 * 500 >> 16 is 22, -1456 * 500 >> 16 is -12.
    const int16_t heading = 22, pitch = -12;
    // Code -7 stands for the fixed scale 2^((32 - 7) mod 32).
    EXPECT_EQ(workbench::ReadBytes(PathOf("scenery-001.tsc")),
              OneObjectFile("B737 Delta", 2500, 1u << 25, lat, lon, alt, pitch, heading));
}

}  // namespace
