#include "bench/generated_scenery.h"

#include <string.h>

#include <fstream>

#include "catalog/catalog.h"
#include "scenery/scale.h"
#include "sim/host.h"
#include "sim/scenery_file.h"
#include "tools/tavu/scenery_info.h"

namespace bench {

namespace {

// 45° north, 7.5° east.
constexpr int32_t kCentreLat = 5003778;
constexpr int32_t kCentreLon = 89478485;
constexpr int kClusters = 40;

// A fixed sequence (xorshift), so that every run draws the same scenery.
class Sequence {
  public:
    uint32_t Next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 7;
        state_ ^= state_ << 17;
        return static_cast<uint32_t>(state_ >> 32);
    }
    // Metres in [-half, half).
    int32_t Offset(int32_t half) { return static_cast<int32_t>(Next() % (2u * half)) - half; }

  private:
    uint64_t state_ = 0x9E3779B97F4A7C15ull;
};

}  // namespace

std::vector<ObjectRecord> GeneratedRecords(size_t count) {
    Sequence random;
    int32_t clusterNorth[kClusters], clusterEast[kClusters];
    for (int c = 0; c < kClusters; ++c) {
        clusterNorth[c] = random.Offset(8000);
        clusterEast[c] = random.Offset(8000);
    }
    std::vector<ObjectRecord> records(count);
    for (size_t i = 0; i < count; ++i) {
        const CatalogEntry& entry = ObjectCatalog.entries[i % CATALOG_ENTRY_COUNT];
        int32_t north, east;
        if (i % 3 != 0) {
            int c = static_cast<int>(random.Next() % kClusters);
            north = clusterNorth[c] + random.Offset(150);
            east = clusterEast[c] + random.Offset(150);
        } else {
            north = random.Offset(10000);
            east = random.Offset(10000);
        }
        ObjectRecord& record = records[i];
        memcpy(&record, RecordTemplate, sizeof record);
        memcpy(record.objectKey, entry.objectKey, sizeof record.objectKey);
        record.lat.integer = kCentreLat + north;
        record.lat.fraction = static_cast<uint16_t>(random.Next());
        record.lon.integer = kCentreLon + sim::MetresToLonUnits(east, kCentreLat);
        record.alt.integer = 300;
        record.heading = static_cast<int16_t>(random.Next());
        record.scale = EncodeScale(entry.defaultScale);
        record.maxDistance = static_cast<uint16_t>(entry.defaultMaxDistance);
        record.size = static_cast<uint16_t>(entry.size);
    }
    return records;
}

std::vector<uint8_t> GeneratedSceneryFile(size_t count) {
    std::vector<ObjectRecord> records = GeneratedRecords(count);
    tavu::Bounds bounds = tavu::BoundsAsSaved(records);
    sim::SceneryHeaderFields header;
    header.minLat = bounds.minLat;
    header.maxLat = bounds.maxLat;
    header.minLon = bounds.minLon;
    header.maxLon = bounds.maxLon;
    header.flags = MODIFIED;
    header.count = static_cast<int32_t>(count);
    header.sizeBytes = static_cast<int32_t>(count * RECORD_BYTES);
    return sim::EncodeSceneryFile(header, records);
}

bool WriteGeneratedScenery(const std::string& path, size_t count) {
    std::vector<uint8_t> bytes = GeneratedSceneryFile(count);
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(file.flush());
}

}  // namespace bench
