#include "sim/scenery_file.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace sim {

namespace {

uint32_t U32At(std::span<const uint8_t> bytes, size_t offset) {
    return uint32_t{bytes[offset]} | uint32_t{bytes[offset + 1]} << 8 | uint32_t{bytes[offset + 2]} << 16 |
           uint32_t{bytes[offset + 3]} << 24;
}

uint16_t U16At(std::span<const uint8_t> bytes, size_t offset) {
    return static_cast<uint16_t>(bytes[offset] | bytes[offset + 1] << 8);
}

void PutU32(std::vector<uint8_t>& out, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
}

std::string Hex16(uint16_t value) {
    char text[8];
    snprintf(text, sizeof text, "0x%04X", value);
    return text;
}

std::string Hex32(uint32_t value) {
    char text[12];
    snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

std::string Plural(int64_t n, const char* word) {
    return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

class Checker {
public:
    explicit Checker(SceneryFile& file) : file_(file) {}

    void Error(const char* kind, size_t offset, int record, std::string message) {
        Add(SceneryFileIssue::Severity::Error, kind, offset, record, std::move(message));
    }
    void Warning(const char* kind, size_t offset, int record, std::string message) {
        Add(SceneryFileIssue::Severity::Warning, kind, offset, record, std::move(message));
    }

private:
    void Add(SceneryFileIssue::Severity severity, const char* kind, size_t offset, int record,
             std::string message) {
        file_.issues.push_back({severity, offset, record, std::move(message), kind});
    }
    SceneryFile& file_;
};

// True when the first 12 bytes (as far as there are any) read the magic;
// reports the first byte that differs.
bool CheckMagic(std::span<const uint8_t> bytes, Checker& check) {
    constexpr size_t kMagicBytes = sizeof kSceneryMagic - 1;
    for (size_t i = 0; i < kMagicBytes && i < bytes.size(); ++i) {
        if (bytes[i] != static_cast<uint8_t>(kSceneryMagic[i])) {
            check.Error("magic", i, -1,
                        "not a scenery file: byte " + std::to_string(i) +
                            " differs from the magic \"" + kSceneryMagic + "\" the file must start with");
            return false;
        }
    }
    return true;
}

SceneryHeaderFields DecodeHeader(std::span<const uint8_t> bytes) {
    SceneryHeaderFields header;
    header.minLat = static_cast<int32_t>(U32At(bytes, FILE_MIN_LAT_OFFSET));
    header.maxLat = static_cast<int32_t>(U32At(bytes, FILE_MAX_LAT_OFFSET));
    header.minLon = static_cast<int32_t>(U32At(bytes, FILE_MIN_LON_OFFSET));
    header.maxLon = static_cast<int32_t>(U32At(bytes, FILE_MAX_LON_OFFSET));
    header.flags = U32At(bytes, FILE_FLAGS_OFFSET);
    header.recordsWord = U32At(bytes, FILE_RECORDS_WORD_OFFSET);
    header.sizeBytes = static_cast<int32_t>(U32At(bytes, FILE_SIZE_OFFSET));
    header.count = static_cast<int32_t>(U32At(bytes, FILE_COUNT_OFFSET));
    return header;
}

// The sizes must agree with each other and with the file before any record
// is read: true when they do.
bool CheckSizes(std::span<const uint8_t> bytes, const SceneryHeaderFields& header, Checker& check) {
    if (header.count < 0) {
        check.Error("negative-count", FILE_COUNT_OFFSET, -1,
                    "record count at byte " + std::to_string(FILE_COUNT_OFFSET) + " is " +
                        std::to_string(header.count) + "; a count cannot be negative");
        return false;
    }
    // 64-bit: RECORD_BYTES * count overflows 32 bits for large counts.
    int64_t needed = int64_t{RECORD_BYTES} * header.count;
    if (header.sizeBytes != needed) {
        int64_t present = static_cast<int64_t>(bytes.size()) - SCENERY_FILE_HEADER_BYTES;
        check.Error("size-word", FILE_SIZE_OFFSET, -1,
                    "size word at byte " + std::to_string(FILE_SIZE_OFFSET) + " is " +
                        std::to_string(header.sizeBytes) + ", but " + Plural(header.count, "record") + " take " +
                        std::to_string(needed) + " bytes (the file holds " + std::to_string(present) +
                        " bytes after the header)");
        return false;
    }
    int64_t end = SCENERY_FILE_HEADER_BYTES + needed;
    int64_t length = static_cast<int64_t>(bytes.size());
    if (length < end) {
        int record = static_cast<int>((length - SCENERY_FILE_HEADER_BYTES) / RECORD_BYTES);
        check.Error("truncated", bytes.size(), record,
                    "file is truncated: " + Plural(header.count, "record") + " should end at byte " +
                        std::to_string(end) + ", but the file ends at byte " + std::to_string(length) + " (" +
                        Plural(end - length, "byte") + " missing; record " + std::to_string(record) +
                        " is cut off)");
        return false;
    }
    if (length > end) {
        check.Error("too-long", static_cast<size_t>(end), -1,
                    "file is " + Plural(length - end, "byte") + " too long: " +
                        (header.count == 0 ? std::string("the header") : std::string("the last record")) +
                        " ends at byte " + std::to_string(end) + ", the file at byte " + std::to_string(length));
        return false;
    }
    return true;
}

void CheckRecordConstants(std::span<const uint8_t> bytes, int32_t count, Checker& check) {
    size_t faults = 0;
    size_t firstUnlistedOffset = 0;
    int firstUnlistedRecord = -1;
    for (int32_t i = 0; i < count; ++i) {
        size_t base = SCENERY_FILE_HEADER_BYTES + static_cast<size_t>(i) * RECORD_BYTES;
        for (const RecordConstant& constant : kRecordConstants) {
            size_t offset = base + constant.offset;
            uint16_t found = U16At(bytes, offset);
            if (found == constant.value) {
                continue;
            }
            if (++faults <= kMaxListedConstantFaults) {
                check.Error("constant-word", offset, i,
                            "record " + std::to_string(i) + ": constant word at byte " + std::to_string(offset) +
                                " is " + Hex16(found) + ", expected " + Hex16(constant.value));
            } else if (firstUnlistedRecord < 0) {
                firstUnlistedOffset = offset;
                firstUnlistedRecord = i;
            }
        }
    }
    if (faults > kMaxListedConstantFaults) {
        check.Error("constant-words-unlisted", firstUnlistedOffset, firstUnlistedRecord,
                    "and " + Plural(static_cast<int64_t>(faults - kMaxListedConstantFaults), "more wrong constant word") +
                        " from byte " + std::to_string(firstUnlistedOffset) + " (record " +
                        std::to_string(firstUnlistedRecord) + ") on");
    }
}

void CheckHeaderWarnings(const SceneryHeaderFields& header, Checker& check) {
    if (header.recordsWord != 0) {
        check.Warning("records-word", FILE_RECORDS_WORD_OFFSET, -1,
                      "records word at byte " + std::to_string(FILE_RECORDS_WORD_OFFSET) + " is " +
                          Hex32(header.recordsWord) + "; it means nothing in a file and the editor writes 0");
    }
    if (header.count > 0 && header.minLat > header.maxLat) {
        check.Warning("empty-bounds", FILE_MIN_LAT_OFFSET, -1,
                      "bounds are empty (minimum latitude " + std::to_string(header.minLat) + " above maximum " +
                          std::to_string(header.maxLat) + ") although the file holds " +
                          Plural(header.count, "record") + ": the player places it nowhere");
    }
}

}  // namespace

std::array<uint8_t, SCENERY_PREFIX_BYTES> SceneryPrefix() {
    std::array<uint8_t, SCENERY_PREFIX_BYTES> prefix{};
    memcpy(prefix.data(), kSceneryMagic, sizeof kSceneryMagic - 1);
    for (int i = 0; i < 4; ++i) {
        prefix[12 + i] = static_cast<uint8_t>(kSceneryFormatVersion >> (8 * i));
    }
    return prefix;
}

bool SceneryFile::ok() const { return ErrorCount() == 0; }

size_t SceneryFile::ErrorCount() const {
    size_t n = 0;
    for (const SceneryFileIssue& issue : issues) {
        n += issue.severity == SceneryFileIssue::Severity::Error;
    }
    return n;
}

const SceneryFileIssue* SceneryFile::FirstError() const {
    for (const SceneryFileIssue& issue : issues) {
        if (issue.severity == SceneryFileIssue::Severity::Error) {
            return &issue;
        }
    }
    return nullptr;
}

SceneryFile ReadSceneryFile(std::span<const uint8_t> bytes) {
    SceneryFile file;
    Checker check(file);
    if (!bytes.empty()) {
        memcpy(file.prefix.data(), bytes.data(), std::min<size_t>(bytes.size(), SCENERY_PREFIX_BYTES));
    }
    if (bytes.size() >= SCENERY_PREFIX_BYTES) {
        file.version = U32At(bytes, FILE_VERSION_OFFSET);
    }
    file.hasHeader = bytes.size() >= SCENERY_FILE_HEADER_BYTES;
    if (file.hasHeader) {
        file.header = DecodeHeader(bytes);
    }

    if (!file.hasHeader) {
        check.Error("short-file", bytes.size(), -1,
                    "file is " + Plural(static_cast<int64_t>(bytes.size()), "byte") +
                        " long; the prefix and header alone take " + std::to_string(SCENERY_FILE_HEADER_BYTES));
    }
    // Past a wrong magic or an unknown version nothing else in the file has
    // a known meaning.
    if (!CheckMagic(bytes, check)) {
        return file;
    }
    if (bytes.size() >= SCENERY_PREFIX_BYTES && file.version != kSceneryFormatVersion) {
        check.Error("version", FILE_VERSION_OFFSET, -1,
                    "version word at byte " + std::to_string(FILE_VERSION_OFFSET) + " is " +
                        std::to_string(file.version) + "; only version " + std::to_string(kSceneryFormatVersion) +
                        " is known");
        return file;
    }
    if (!file.hasHeader) {
        return file;
    }
    CheckHeaderWarnings(file.header, check);
    if (!CheckSizes(bytes, file.header, check)) {
        return file;
    }
    CheckRecordConstants(bytes, file.header.count, check);
    file.records.resize(static_cast<size_t>(file.header.count));
    if (file.header.count > 0) {
        memcpy(file.records.data(), bytes.data() + SCENERY_FILE_HEADER_BYTES, static_cast<size_t>(file.header.sizeBytes));
    }
    return file;
}

std::vector<uint8_t> EncodeSceneryFile(const SceneryHeaderFields& header, std::span<const ObjectRecord> records) {
    std::vector<uint8_t> out;
    out.reserve(SCENERY_FILE_HEADER_BYTES + records.size_bytes());
    std::array<uint8_t, SCENERY_PREFIX_BYTES> prefix = SceneryPrefix();
    out.insert(out.end(), prefix.begin(), prefix.end());
    PutU32(out, static_cast<uint32_t>(header.minLat));
    PutU32(out, static_cast<uint32_t>(header.maxLat));
    PutU32(out, static_cast<uint32_t>(header.minLon));
    PutU32(out, static_cast<uint32_t>(header.maxLon));
    PutU32(out, header.flags);
    PutU32(out, header.recordsWord);
    PutU32(out, static_cast<uint32_t>(header.sizeBytes));
    PutU32(out, static_cast<uint32_t>(header.count));
    const auto* recordBytes = reinterpret_cast<const uint8_t*>(records.data());
    out.insert(out.end(), recordBytes, recordBytes + records.size_bytes());
    return out;
}

std::optional<std::vector<uint8_t>> ReadFileBytes(const std::string& path, size_t limit, std::string* error) {
    auto fail = [error](std::string message) -> std::optional<std::vector<uint8_t>> {
        if (error != nullptr) {
            *error = std::move(message);
        }
        return std::nullopt;
    };
    // Open without blocking and look at what was opened: a FIFO put in the
    // file's place must not hang us, a device must not feed us forever.
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return fail(std::string("cannot open: ") + strerror(errno));
    }
    struct stat info;
    if (fstat(fd, &info) != 0) {
        int statErrno = errno;
        close(fd);
        return fail(std::string("cannot read: ") + strerror(statErrno));
    }
    if (!S_ISREG(info.st_mode)) {
        close(fd);
        const mode_t type = info.st_mode & S_IFMT;
        return fail(std::string("not a regular file") + (type == S_IFDIR    ? " (a directory)"
                                                         : type == S_IFIFO  ? " (a FIFO)"
                                                         : type == S_IFCHR  ? " (a device)"
                                                         : type == S_IFBLK  ? " (a device)"
                                                         : type == S_IFSOCK ? " (a socket)"
                                                                            : ""));
    }
    if (static_cast<uintmax_t>(info.st_size) > limit) {
        close(fd);
        return fail("file is " + std::to_string(info.st_size) + " bytes, larger than the limit of " +
                    std::to_string(limit) + " bytes");
    }
    // Read in pieces and stop past the limit: the file may grow while we read.
    std::vector<uint8_t> bytes;
    uint8_t chunk[65536];
    for (;;) {
        ssize_t got = read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            int readErrno = errno;
            close(fd);
            return fail(std::string("cannot read: ") + strerror(readErrno));
        }
        if (got == 0) {
            break;
        }
        if (static_cast<size_t>(got) > limit - bytes.size()) {
            close(fd);
            return fail("larger than the limit of " + std::to_string(limit) + " bytes");
        }
        bytes.insert(bytes.end(), chunk, chunk + got);
    }
    close(fd);
    return bytes;
}

}  // namespace sim
