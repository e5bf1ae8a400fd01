// Writes the fuzz target's seed files: scenery files from one object to
// hundreds, sound and damaged, made the way the editor makes them. The large
// ones give the fuzzer the long record runs that small seeds never grow into.
#include <stdio.h>
#include <string.h>

#include <fstream>
#include <string>
#include <vector>

#include "catalog/catalog.h"
#include "scenery/scale.h"
#include "sim/scenery_file.h"
#include "tools/tavu/scenery_info.h"

namespace {

ObjectRecord Record(int32_t lat, int32_t lon, int entry, int16_t heading, int32_t percent) {
    ObjectRecord record;
    memcpy(&record, RecordTemplate, sizeof record);
    record.lat.integer = lat;
    record.lon.integer = lon;
    record.heading = heading;
    record.scale = EncodeScale(percent);
    record.maxDistance = static_cast<uint16_t>(ObjectCatalog.entries[entry].defaultMaxDistance);
    record.size = ObjectCatalog.entries[entry].size;
    memcpy(record.objectKey, ObjectCatalog.entries[entry].objectKey, 16);
    return record;
}

std::vector<uint8_t> Saved(const std::vector<ObjectRecord>& records) {
    return tavu::EncodeAsSaved({}, records);
}

// count records over the whole catalog, with positions, headings and scales
// spread by a fixed sequence so that the seeds stay the same from run to run.
// Around the antimeridian, longitudes alternate just east and just west of it.
std::vector<ObjectRecord> Spread(int count, uint32_t seed, bool antimeridian) {
    std::vector<ObjectRecord> records;
    uint32_t state = seed;
    auto next = [&state] {
        state = state * 1664525u + 1013904223u;
        return state >> 8;
    };
    for (int i = 0; i < count; ++i) {
        int32_t lat = static_cast<int32_t>(next() % 16000000) - 8000000;
        int32_t lon = antimeridian ? (i % 2 == 0 ? INT32_MAX - static_cast<int32_t>(next() % 400000)
                                                  : INT32_MIN + static_cast<int32_t>(next() % 400000))
                                   : static_cast<int32_t>(next() << 8);
        int entry = static_cast<int>((i * 7 + next() % 3) % ObjectCatalog.entryCount);
        int16_t heading = static_cast<int16_t>(next());
        int32_t percent = 1 + static_cast<int32_t>(next() % 400);
        records.push_back(Record(lat, lon, entry, heading, percent));
    }
    return records;
}

bool Write(const std::string& folder, const char* name, const std::vector<uint8_t>& bytes) {
    std::ofstream out(folder + "/" + name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: make_corpus FOLDER\n");
        return 2;
    }
    std::string folder = argv[1];
    std::vector<ObjectRecord> three = {Record(5277300, 102005000, 0, 16384, -7),
                                       Record(5277420, 102006000, 150, -8000, 150),
                                       Record(-5000000, INT32_MIN + 10, 325, 0, 1)};
    std::vector<uint8_t> one = Saved({Record(1000000, 5000000, 291, 100, 120)});
    std::vector<uint8_t> many = Saved(three);
    sim::SceneryHeaderFields none;
    none.minLat = INT32_MAX;
    none.maxLat = INT32_MIN;
    none.minLon = INT32_MAX;
    none.maxLon = INT32_MIN;

    std::vector<uint8_t> truncated = many;
    truncated.resize(truncated.size() - 30);
    std::vector<uint8_t> constant = many;
    constant[tavu::RecordOffset(1) + 42] = 0;
    std::vector<uint8_t> bounds = many;
    bounds[sim::FILE_MAX_LON_OFFSET] ^= 0x40;
    std::vector<uint8_t> unknown = one;
    unknown[tavu::RecordOffset(0) + 60] ^= 0xFF;

    // A large file with several faults at once: a wrong constant, an unknown
    // key, a record cut short at the end.
    std::vector<uint8_t> damaged = Saved(Spread(500, 4, false));
    damaged[tavu::RecordOffset(100) + 42] = 0;
    damaged[tavu::RecordOffset(250) + 60] ^= 0xFF;
    damaged.resize(damaged.size() - 40);

    bool ok = Write(folder, "one-object.tsc", one) && Write(folder, "three-objects.tsc", many) &&
              Write(folder, "no-objects.tsc", sim::EncodeSceneryFile(none, {})) &&
              Write(folder, "truncated.tsc", truncated) && Write(folder, "wrong-constant.tsc", constant) &&
              Write(folder, "wrong-bounds.tsc", bounds) && Write(folder, "unknown-key.tsc", unknown) &&
              Write(folder, "300-objects.tsc", Saved(Spread(300, 1, false))) &&
              Write(folder, "800-objects.tsc", Saved(Spread(800, 2, false))) &&
              Write(folder, "300-objects-antimeridian.tsc", Saved(Spread(300, 3, true))) &&
              Write(folder, "500-objects-damaged.tsc", damaged);
    if (!ok) {
        fprintf(stderr, "make_corpus: cannot write into %s\n", folder.c_str());
        return 1;
    }
    return 0;
}
