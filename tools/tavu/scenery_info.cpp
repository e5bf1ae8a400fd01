#include "tools/tavu/scenery_info.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <filesystem>
#include <iostream>
#include <numbers>
#include <system_error>

#include "module/wrap.h"
#include "scenery/scale.h"
#include "sim/host.h"

namespace tavu {

std::optional<std::vector<uint8_t>> ReadStandardInput(size_t limit, std::string* error) {
    std::vector<uint8_t> bytes;
    char chunk[65536];
    while (std::cin.read(chunk, sizeof chunk) || std::cin.gcount() > 0) {
        const auto got = static_cast<size_t>(std::cin.gcount());
        if (got > limit - bytes.size()) {
            *error = "standard input holds more than the limit of " + std::to_string(limit) + " bytes";
            return std::nullopt;
        }
        bytes.insert(bytes.end(), chunk, chunk + got);
    }
    if (std::cin.bad()) {
        *error = "cannot read standard input";
        return std::nullopt;
    }
    std::cin.clear();  // at its end: a second "-" reads nothing, not an error
    return bytes;
}

LoadedScenery LoadScenery(const std::string& path, size_t limit) {
    LoadedScenery loaded;
    loaded.path = path;
    if (path == kStandardInput) {
        std::optional<std::vector<uint8_t>> bytes = ReadStandardInput(limit, &loaded.readError);
        if (bytes) {
            loaded.bytes = std::move(*bytes);
            loaded.file = sim::ReadSceneryFile(loaded.bytes);
        }
        return loaded;
    }
    namespace fs = std::filesystem;
    std::error_code code;
    fs::file_status status = fs::status(path, code);
    if (code || !fs::exists(status)) {
        loaded.readError = code && code != std::errc::no_such_file_or_directory
                               ? "cannot read: " + code.message()
                               : std::string("no such file");
        return loaded;
    }
    if (fs::is_directory(status)) {
        loaded.readError = "is a directory, not a scenery file";
        return loaded;
    }
    if (!fs::is_regular_file(status)) {
        loaded.readError = "not a regular file";
        return loaded;
    }
    // Refuse a huge file by its size on disk before reading any of it.
    uintmax_t size = fs::file_size(path, code);
    if (!code && size > limit) {
        loaded.readError = "file is " + std::to_string(size) + " bytes, larger than the " + std::to_string(limit) +
                           " bytes the tools read";
        return loaded;
    }
    std::string error;
    std::optional<std::vector<uint8_t>> bytes = sim::ReadFileBytes(path, limit, &error);
    if (!bytes) {
        loaded.readError = error.empty() ? std::string("cannot read") : error;
        return loaded;
    }
    loaded.bytes = std::move(*bytes);
    loaded.file = sim::ReadSceneryFile(loaded.bytes);
    return loaded;
}

bool HeaderIsMeaningful(const sim::SceneryFile& file) {
    return file.hasHeader && memcmp(file.prefix.data(), sim::kSceneryMagic, sizeof sim::kSceneryMagic - 1) == 0 &&
           file.version == sim::kSceneryFormatVersion;
}

size_t ReadableRecordCount(std::span<const uint8_t> bytes, const sim::SceneryFile& file) {
    if (!file.records.empty() || !HeaderIsMeaningful(file)) {
        return file.records.size();
    }
    size_t whole = (bytes.size() - SCENERY_FILE_HEADER_BYTES) / RECORD_BYTES;
    if (file.header.count >= 0) {
        whole = std::min(whole, static_cast<size_t>(file.header.count));
    }
    return whole;
}

ObjectRecord ReadableRecord(std::span<const uint8_t> bytes, const sim::SceneryFile& file, size_t index) {
    if (!file.records.empty()) {
        return file.records[index];
    }
    ObjectRecord record;
    memcpy(&record, bytes.data() + RecordOffset(index), RECORD_BYTES);
    return record;
}

std::vector<ObjectRecord> ReadableRecords(std::span<const uint8_t> bytes, const sim::SceneryFile& file) {
    if (!file.records.empty()) {
        return file.records;
    }
    std::vector<ObjectRecord> records(ReadableRecordCount(bytes, file));
    if (!records.empty()) {
        memcpy(records.data(), bytes.data() + SCENERY_FILE_HEADER_BYTES, records.size() * RECORD_BYTES);
    }
    return records;
}

size_t RecordOffset(size_t index) { return SCENERY_FILE_HEADER_BYTES + index * RECORD_BYTES; }

int FindGroupByKey(uint32_t groupKey) {
    for (int g = 0; g < ObjectCatalog.groupCount; ++g) {
        if (ObjectCatalog.groups[g].key == groupKey) {
            return g;
        }
    }
    return -1;
}

std::optional<CatalogMatch> FindEntry(const uint8_t key[16]) {
    for (int i = 0; i < ObjectCatalog.entryCount; ++i) {
        const CatalogEntry& entry = ObjectCatalog.entries[i];
        if (memcmp(key, entry.objectKey, sizeof entry.objectKey) != 0) {
            continue;
        }
        // The editor stops at the first entry with the key, group or not.
        int group = FindGroupByKey(entry.groupKey);
        if (group < 0) {
            return std::nullopt;
        }
        return CatalogMatch{i, group};
    }
    return std::nullopt;
}

std::string KeyHex(const uint8_t key[16]) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (int i = 0; i < 16; ++i) {
        text += kDigits[key[i] >> 4];
        text += kDigits[key[i] & 15];
    }
    return text;
}

std::string Hex32(uint32_t value) {
    char text[16];
    snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

double PositionValue(const Position48& position) { return position.integer + position.fraction / 65536.0; }

double LatitudeDegrees(double metresNorth) { return metresNorth / sim::kEarthRadiusMetres * 180.0 / std::numbers::pi; }

double LongitudeDegrees(double lonUnits) { return lonUnits * 360.0 / sim::kLonUnitsPerTurn; }

double AngleDegrees(int16_t angle) { return angle * 360.0 / 65536.0; }

double HeadingDegrees(int16_t angle) { return static_cast<uint16_t>(angle) * 360.0 / 65536.0; }

int FixedCodeExponent(int32_t code) {
    // Same arithmetic as the encoder: 0x80000000 >> ((-1 - p) mod 32).
    uint32_t shift = (0u - 1u - static_cast<uint32_t>(code)) & 31u;
    return 31 - static_cast<int>(shift);
}

namespace {

// The editor sets percentages from 1 to 2000.
constexpr int32_t kMinPercent = 1;
constexpr int32_t kMaxPercent = 2000;

std::string FixedText(int exponent, int32_t code) {
    return "fixed 2^" + std::to_string(exponent) + " (code " + std::to_string(code) + ")";
}

}  // namespace

ScaleReading ReadScale(uint32_t scale) {
    ScaleReading reading;
    if (scale == 0) {
        reading.kind = ScaleReading::Kind::Zero;
        reading.text = "0 (no scale)";
        return reading;
    }
    if (scale <= SCALE_PERCENT_NUMERATOR) {
        int64_t guess = SCALE_PERCENT_NUMERATOR / scale;
        for (int64_t p = guess - 1; p <= guess + 1; ++p) {
            if (p >= kMinPercent && p <= kMaxPercent && SCALE_PERCENT_NUMERATOR / p == scale) {
                reading.kind = ScaleReading::Kind::Percent;
                reading.percent = static_cast<int32_t>(p);
                reading.text = std::to_string(p) + " %";
                return reading;
            }
        }
    }
    if ((scale & (scale - 1)) == 0) {
        reading.kind = ScaleReading::Kind::FixedCode;
        reading.exponent = std::countr_zero(scale);
        reading.code = reading.exponent == 0 ? 0 : reading.exponent - 32;
        reading.text = FixedText(reading.exponent, reading.code);
        return reading;
    }
    reading.kind = ScaleReading::Kind::Other;
    reading.approxPercent = static_cast<double>(SCALE_PERCENT_NUMERATOR) / scale;
    reading.text = "~" + FormatNumber(reading.approxPercent, 2) + " %";
    return reading;
}

std::string DefaultScaleText(int32_t defaultScale) {
    if (defaultScale > 0) {
        return std::to_string(defaultScale) + " %";
    }
    return FixedText(FixedCodeExponent(defaultScale), defaultScale);
}

std::vector<std::string> FlagNames(uint32_t flags) {
    std::vector<std::string> names;
    if (flags & MODIFIED) {
        names.push_back("MODIFIED");
    }
    if (flags & IN_EDIT) {
        names.push_back("IN_EDIT");
    }
    uint32_t others = flags & ~static_cast<uint32_t>(MODIFIED | IN_EDIT);
    if (others != 0) {
        names.push_back(Hex32(others));
    }
    return names;
}

std::string FlagsText(uint32_t flags) {
    std::vector<std::string> names = FlagNames(flags);
    if (names.empty()) {
        return "none";
    }
    std::string text;
    for (const std::string& name : names) {
        text += (text.empty() ? "" : " | ") + name;
    }
    return text;
}

Bounds BoundsAsSaved(std::span<const ObjectRecord> records) {
    Bounds bounds{INT32_MAX, INT32_MIN, INT32_MAX, INT32_MIN};
    for (const ObjectRecord& record : records) {
        int32_t d = record.maxDistance;
        int32_t lat = record.lat.integer;
        int32_t lon = record.lon.integer;
        bounds.minLat = std::min(bounds.minLat, WrapSub32(lat, d));
        int32_t top = WrapAdd32(lat, 2 * d);
        bounds.maxLat = std::max(bounds.maxLat, top);
        // The save asks for the east-west reach at the top of the box.
        int32_t e = sim::MetresToLonUnits(d, top);
        bounds.minLon = std::min(bounds.minLon, WrapSub32(lon, e));
        bounds.maxLon = std::max(bounds.maxLon, WrapAdd32(lon, WrapMul32(2, e)));
    }
    return bounds;
}

std::vector<uint8_t> EncodeAsSaved(sim::SceneryHeaderFields header, std::span<const ObjectRecord> records) {
    Bounds bounds = BoundsAsSaved(records);
    header.minLat = bounds.minLat;
    header.maxLat = bounds.maxLat;
    header.minLon = bounds.minLon;
    header.maxLon = bounds.maxLon;
    header.flags |= MODIFIED;
    header.count = static_cast<int32_t>(records.size());
    header.sizeBytes = static_cast<int32_t>(records.size() * RECORD_BYTES);
    return sim::EncodeSceneryFile(header, records);
}

std::string FormatNumber(double value, int decimals) {
    if (!std::isfinite(value)) {
        return std::isnan(value) ? "nan" : (value > 0 ? "inf" : "-inf");
    }
    char text[64];
    snprintf(text, sizeof text, "%.*f", decimals, value);
    std::string out = text;
    if (out.find('.') != std::string::npos) {
        while (out.back() == '0') {
            out.pop_back();
        }
        if (out.back() == '.') {
            out.pop_back();
        }
    }
    if (out == "-0") {
        out = "0";
    }
    return out;
}

std::string Plural(size_t n, const char* word) { return std::to_string(n) + " " + word + (n == 1 ? "" : "s"); }

}  // namespace tavu
