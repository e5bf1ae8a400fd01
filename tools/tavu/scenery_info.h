// What the scenery file tools share: reading a file from disk, the catalog
// lookup, unit conversions to degrees, percent and metres, and the bounds a
// save would write.
#pragma once

#include <stdint.h>

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "catalog/catalog.h"
#include "scenery/record.h"
#include "sim/scenery_file.h"

namespace tavu {

// Files above this size are refused before they are read, as the player
// refuses them.
inline constexpr size_t kMaxToolFileBytes = sim::kMaxSceneryFileBytes;

struct LoadedScenery {
    std::string path;
    std::string readError;  // set when the file could not be read at all
    std::vector<uint8_t> bytes;
    sim::SceneryFile file;

    bool read() const { return readError.empty(); }
};

// A file named "-" is standard input, read to its end.
inline constexpr char kStandardInput[] = "-";
std::optional<std::vector<uint8_t>> ReadStandardInput(size_t limit, std::string* error);

// Reads and decodes one file (or standard input); never throws for anything
// on disk.
LoadedScenery LoadScenery(const std::string& path, size_t limit = kMaxToolFileBytes);

// True when the file starts with the magic and the known version and holds
// the whole header: the header fields then mean something.
bool HeaderIsMeaningful(const sim::SceneryFile& file);

// The records a person can look at: all of them for a sound file, otherwise
// the whole records the bytes hold after a meaningful header, so that a
// truncated file still shows what survived.
std::vector<ObjectRecord> ReadableRecords(std::span<const uint8_t> bytes, const sim::SceneryFile& file);
// The same one at a time, without a copy of them all.
size_t ReadableRecordCount(std::span<const uint8_t> bytes, const sim::SceneryFile& file);
ObjectRecord ReadableRecord(std::span<const uint8_t> bytes, const sim::SceneryFile& file, size_t index);

// Byte offset of record `index` in the file.
size_t RecordOffset(size_t index);

// The catalog entry holding this key, as the editor finds it (first match
// whose group exists), or nothing.
struct CatalogMatch {
    int entry;
    int group;
};
std::optional<CatalogMatch> FindEntry(const uint8_t key[16]);
int FindGroupByKey(uint32_t groupKey);  // -1 when no group has the key

std::string KeyHex(const uint8_t key[16]);  // 32 lowercase hex digits, stored order
std::string Hex32(uint32_t value);          // "0x0000ABCD"

// Units.
double PositionValue(const Position48& position);  // integer + fraction / 65536
double LatitudeDegrees(double metresNorth);
double LongitudeDegrees(double lonUnits);
double AngleDegrees(int16_t angle);    // signed, [-180, 180): pitch and bank
double HeadingDegrees(int16_t angle);  // [0, 360): every heading a person reads

// A record's scale read back as the editor's settings: a percent the editor
// can set (1..2000) when one gives exactly this value, else a fixed-scale
// code when the value is a power of two, else the nearest percent.
struct ScaleReading {
    enum class Kind { Percent, FixedCode, Other, Zero };
    Kind kind = Kind::Zero;
    int32_t percent = 0;  // Kind::Percent
    int32_t code = 0;     // Kind::FixedCode: the code p <= 0
    int exponent = 0;     // Kind::FixedCode: the value is 2^exponent
    double approxPercent = 0;  // Kind::Other
    std::string text;
};
ScaleReading ReadScale(uint32_t scale);
// A catalog default: a percent (> 0) or a fixed-scale code (<= 0).
std::string DefaultScaleText(int32_t defaultScale);
int FixedCodeExponent(int32_t code);  // 2^((32 + p) mod 32)

// "MODIFIED", "IN_EDIT" and any other set bits as hex.
std::vector<std::string> FlagNames(uint32_t flags);
std::string FlagsText(uint32_t flags);

struct Bounds {
    int32_t minLat;
    int32_t maxLat;
    int32_t minLon;
    int32_t maxLon;
};
// The header bounds a save writes for these records, with the emulated
// host's geodesy.
Bounds BoundsAsSaved(std::span<const ObjectRecord> records);
// The file a save writes for these records: `header`'s other fields as they
// are, its bounds, count and size as the save sets them, MODIFIED set.
std::vector<uint8_t> EncodeAsSaved(sim::SceneryHeaderFields header, std::span<const ObjectRecord> records);

// Prints a double with up to `decimals` places and no trailing zeros.
std::string FormatNumber(double value, int decimals);
// "1 object", "2 objects".
std::string Plural(size_t n, const char* word);

}  // namespace tavu
