// Reading and checking scenery files: the player's 16-byte prefix, the
// 32-byte header and the 76-byte records, exactly as the editor writes them.
//
// ReadSceneryFile is a pure function over bytes. It never reads outside the
// span whatever the bytes are, and reports each fault it finds with the byte
// offset a person can look at in a hex dump.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <array>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "scenery/record.h"

namespace sim {

// The player's file prefix: a magic and a little-endian version word.
inline constexpr char kSceneryMagic[] = "TAVU-SCENERY";
inline constexpr uint32_t kSceneryFormatVersion = 1;
std::array<uint8_t, SCENERY_PREFIX_BYTES> SceneryPrefix();

// The header as the file holds it: plain integers, no in-memory pointer.
struct SceneryHeaderFields {
    int32_t minLat = 0;
    int32_t maxLat = 0;
    int32_t minLon = 0;
    int32_t maxLon = 0;
    uint32_t flags = 0;
    uint32_t recordsWord = 0;  // an address at save time; means nothing in a file
    int32_t sizeBytes = 0;
    int32_t count = 0;
};

// Byte offsets of the header words in the file.
enum : size_t {
    FILE_VERSION_OFFSET = 12,
    FILE_MIN_LAT_OFFSET = 16,
    FILE_MAX_LAT_OFFSET = 20,
    FILE_MIN_LON_OFFSET = 24,
    FILE_MAX_LON_OFFSET = 28,
    FILE_FLAGS_OFFSET = 32,
    FILE_RECORDS_WORD_OFFSET = 36,
    FILE_SIZE_OFFSET = 40,
    FILE_COUNT_OFFSET = 44,
};

// The 16-bit words every record holds, by offset inside the record.
struct RecordConstant {
    size_t offset;
    uint16_t value;
};
inline constexpr std::array<RecordConstant, 10> kRecordConstants = {{
    {4, 0x003F},
    {6, 6},
    {8, 0x0022},
    {10, 0x002F},
    {12, 42},
    {42, 0x0033},
    {44, 12},
    {52, 0x0022},
    {54, 0x0063},
    {74, 0x0022},
}};

// Beyond this many wrong constant words one summary issue stands for the
// rest, so that a large damaged file cannot produce an unbounded report.
inline constexpr size_t kMaxListedConstantFaults = 1000;

// The largest scenery file the player and the tools read; a bigger one is
// refused before any of it is read. About 880 000 objects, far beyond any
// scenery, while a hostile file cannot make anyone hold gigabytes.
inline constexpr size_t kMaxSceneryFileBytes = size_t{64} << 20;

struct SceneryFileIssue {
    enum class Severity { Error, Warning };
    Severity severity = Severity::Error;
    size_t offset = 0;  // byte in the file the issue is about
    int record = -1;    // record index, or -1 when it is about no one record
    std::string message;
    // What is wrong, as a short stable name ("constant-word"): issues of one
    // kind differ only in where they are and the values they name.
    const char* kind = "";
};

struct SceneryFile {
    std::array<uint8_t, SCENERY_PREFIX_BYTES> prefix{};  // as far as the file holds it; the rest 0
    uint32_t version = 0;
    bool hasHeader = false;  // the file is long enough to hold the header
    SceneryHeaderFields header;
    // Filled only when the header's sizes agree with each other and with the
    // file's length.
    std::vector<ObjectRecord> records;
    std::vector<SceneryFileIssue> issues;  // in file order within each check

    bool ok() const;  // no Error (Warnings allowed)
    size_t ErrorCount() const;
    const SceneryFileIssue* FirstError() const;
};

SceneryFile ReadSceneryFile(std::span<const uint8_t> bytes);

// The bytes of a scenery file with the current prefix, these header fields
// (as given, even when they disagree with the records) and these records.
std::vector<uint8_t> EncodeSceneryFile(const SceneryHeaderFields& header, std::span<const ObjectRecord> records);

// A whole file's bytes, or nothing with *error set (when error is not null)
// if it cannot be read, is not a regular file or is larger than limit.
std::optional<std::vector<uint8_t>> ReadFileBytes(const std::string& path, size_t limit, std::string* error);

}  // namespace sim
