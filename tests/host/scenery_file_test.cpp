// Reading scenery files: what the editor writes reads back whole, each fault
// is reported once at its byte, and no bytes at all can make the reader
// misbehave.
#include <gtest/gtest.h>
#include <string.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "scenery/save.h"
#include "sim/scenery_file.h"
#include "tests/support/editor_fixture.h"

namespace {

using testsupport::MakeRecord;
using Severity = sim::SceneryFileIssue::Severity;

ObjectRecord TemplateRecord(int32_t lat) {
    ObjectRecord record;
    memcpy(&record, RecordTemplate, sizeof record);
    record.lat.integer = lat;
    record.maxDistance = 100;
    return record;
}

sim::SceneryHeaderFields FieldsFor(int32_t count) {
    sim::SceneryHeaderFields fields;
    fields.minLat = 900;
    fields.maxLat = 1200;
    fields.minLon = -50;
    fields.maxLon = 70;
    fields.flags = MODIFIED;
    fields.count = count;
    fields.sizeBytes = RECORD_BYTES * count;
    return fields;
}

std::vector<uint8_t> GoodFile(int32_t count) {
    std::vector<ObjectRecord> records;
    for (int32_t i = 0; i < count; ++i) {
        records.push_back(TemplateRecord(1000 + i));
    }
    return sim::EncodeSceneryFile(FieldsFor(count), records);
}

void PutU32(std::vector<uint8_t>& bytes, size_t offset, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

std::vector<sim::SceneryFileIssue> Errors(const sim::SceneryFile& file) {
    std::vector<sim::SceneryFileIssue> errors;
    for (const sim::SceneryFileIssue& issue : file.issues) {
        if (issue.severity == Severity::Error) {
            errors.push_back(issue);
        }
    }
    return errors;
}

class SceneryFileFromEditor : public testsupport::EditorTest {};

TEST_F(SceneryFileFromEditor, WhatTheEditorSavesReadsBackWhole) {
    ObjectRecord first = MakeRecord(1000000, 5000000, 500, 3);
    ObjectRecord second = MakeRecord(1002000, -7000000, 40, 10);
    second.heading = -1234;
    second.alt.integer = 321;
    Take({first, second}, MODIFIED | IN_EDIT);
    SaveScenery();
    std::vector<uint8_t> bytes = testsupport::ReadBytes(PathOf("s.tsc"));
    ASSERT_EQ(bytes.size(), 48u + 2 * 76u);

    sim::SceneryFile file = sim::ReadSceneryFile(bytes);
    EXPECT_TRUE(file.ok());
    EXPECT_TRUE(file.issues.empty()) << file.issues.front().message;
    EXPECT_EQ(file.prefix, sim::SceneryPrefix());
    EXPECT_EQ(file.version, 1u);
    EXPECT_EQ(file.header.minLat, Header()->minLat);
    EXPECT_EQ(file.header.maxLat, Header()->maxLat);
    EXPECT_EQ(file.header.minLon, Header()->minLon);
    EXPECT_EQ(file.header.maxLon, Header()->maxLon);
    EXPECT_EQ(file.header.flags, MODIFIED | IN_EDIT) << "the header is written before MODIFIED is cleared";
    EXPECT_EQ(file.header.recordsWord, 0u);
    EXPECT_EQ(file.header.count, 2);
    EXPECT_EQ(file.header.sizeBytes, 152);
    ASSERT_EQ(file.records.size(), 2u);
    EXPECT_EQ(memcmp(file.records.data(), Header()->records, 152), 0);

    // Writing back what was read gives the same bytes: reader and writer
    // agree on every field's place.
    EXPECT_EQ(sim::EncodeSceneryFile(file.header, file.records), bytes);
}

TEST(SceneryFileReader, RecordConstantsAreTheEditorsTemplate) {
    for (const sim::RecordConstant& constant : sim::kRecordConstants) {
        uint16_t word = static_cast<uint16_t>(RecordTemplate[constant.offset] | RecordTemplate[constant.offset + 1] << 8);
        EXPECT_EQ(word, constant.value) << "offset " << constant.offset;
    }
}

TEST(SceneryFileReader, SoundFilesOfAnySizeHaveNoIssues) {
    for (int32_t count : {0, 1, 5}) {
        SCOPED_TRACE(count);
        sim::SceneryFile file = sim::ReadSceneryFile(GoodFile(count));
        EXPECT_TRUE(file.ok());
        EXPECT_TRUE(file.issues.empty());
        ASSERT_EQ(file.records.size(), static_cast<size_t>(count));
        for (int32_t i = 0; i < count; ++i) {
            EXPECT_EQ(int32_t{file.records[i].lat.integer}, 1000 + i);
        }
    }
}

// One fault per file: exactly one error, at the faulty byte.
struct FaultCase {
    const char* name;
    std::vector<uint8_t> bytes;
    size_t offset;
    int record;
    std::vector<std::string> words;  // the message names these
    size_t recordsRead = 0;          // records are read only when every length agrees
};

std::vector<FaultCase> FaultCases() {
    std::vector<FaultCase> cases;
    cases.push_back({"empty", {}, 0, -1, {"0 bytes", "48"}});
    {
        std::vector<uint8_t> bytes = GoodFile(1);
        bytes.resize(47);
        cases.push_back({"short", bytes, 47, -1, {"47 bytes", "48"}});
    }
    {
        std::vector<uint8_t> bytes = GoodFile(1);
        bytes[3] = 'x';
        cases.push_back({"magic", bytes, 3, -1, {"byte 3", "TAVU-SCENERY"}});
    }
    {
        std::vector<uint8_t> bytes = GoodFile(1);
        PutU32(bytes, 12, 2);
        cases.push_back({"version", bytes, 12, -1, {"byte 12", "is 2", "version 1"}});
    }
    {
        std::vector<uint8_t> bytes = GoodFile(0);
        PutU32(bytes, 44, static_cast<uint32_t>(-3));
        cases.push_back({"negative count", bytes, 44, -1, {"byte 44", "-3", "negative"}});
    }
    {
        std::vector<uint8_t> bytes = GoodFile(2);
        PutU32(bytes, 40, 150);
        cases.push_back({"size mismatch", bytes, 40, -1, {"byte 40", "150", "2 records take 152"}});
    }
    {
        // 76 * 56512728 wraps to 32 in 32 bits.
        std::vector<uint8_t> bytes = GoodFile(0);
        PutU32(bytes, 40, 32);
        PutU32(bytes, 44, 56512728);
        bytes.resize(48 + 32);
        cases.push_back({"size that matches only after 32-bit overflow", bytes, 40, -1, {"56512728 records"}});
    }
    {
        // 76 * 2^30 wraps to 0: a naive check would accept the empty file.
        std::vector<uint8_t> bytes = GoodFile(0);
        PutU32(bytes, 44, 1u << 30);
        cases.push_back({"count whose size wraps to zero", bytes, 40, -1, {"1073741824 records take 81604378624"}});
    }
    {
        std::vector<uint8_t> bytes = GoodFile(3);
        bytes.resize(bytes.size() - 10);
        cases.push_back({"truncated", bytes, 266, 2, {"truncated", "276", "266", "10 bytes missing", "record 2"}});
    }
    {
        std::vector<uint8_t> bytes = GoodFile(3);
        bytes.insert(bytes.end(), 5, 0);
        cases.push_back({"too long", bytes, 276, -1, {"5 bytes too long", "276", "281"}});
    }
    {
        std::vector<uint8_t> bytes = GoodFile(0);
        bytes.push_back(0);
        cases.push_back({"too long without records", bytes, 48, -1, {"1 byte too long", "header"}});
    }
    {
        std::vector<uint8_t> bytes = GoodFile(4);
        bytes[48 + 3 * 76 + 4] = 0x21;  // record 3's first constant, 0x003F
        cases.push_back({"bad constant", bytes, 280, 3, {"record 3", "byte 280", "0x0021", "expected 0x003F"}, 4});
    }
    return cases;
}

TEST(SceneryFileReader, EachFaultIsOneErrorAtItsByte) {
    for (const FaultCase& fault : FaultCases()) {
        SCOPED_TRACE(fault.name);
        sim::SceneryFile file = sim::ReadSceneryFile(fault.bytes);
        EXPECT_FALSE(file.ok());
        std::vector<sim::SceneryFileIssue> errors = Errors(file);
        ASSERT_EQ(errors.size(), 1u) << errors.front().message << " / " << errors.back().message;
        EXPECT_EQ(errors[0].offset, fault.offset) << errors[0].message;
        EXPECT_EQ(errors[0].record, fault.record) << errors[0].message;
        for (const std::string& word : fault.words) {
            EXPECT_NE(errors[0].message.find(word), std::string::npos) << errors[0].message << " lacks " << word;
        }
        EXPECT_EQ(file.records.size(), fault.recordsRead);
    }
}

TEST(SceneryFileReader, EveryConstantWordOfEveryRecordIsChecked) {
    const int32_t count = 3;
    for (int32_t record = 0; record < count; ++record) {
        for (const sim::RecordConstant& constant : sim::kRecordConstants) {
            SCOPED_TRACE("record " + std::to_string(record) + " offset " + std::to_string(constant.offset));
            std::vector<uint8_t> bytes = GoodFile(count);
            size_t offset = 48 + static_cast<size_t>(record) * 76 + constant.offset;
            bytes[offset + 1] ^= 0x80;  // the high byte: a low-byte-only check would miss it
            sim::SceneryFile file = sim::ReadSceneryFile(bytes);
            std::vector<sim::SceneryFileIssue> errors = Errors(file);
            ASSERT_EQ(errors.size(), 1u);
            EXPECT_EQ(errors[0].offset, offset);
            EXPECT_EQ(errors[0].record, record);
            EXPECT_EQ(file.records.size(), 3u) << "lengths agree, so the records are still there to look at";
        }
    }
}

TEST(SceneryFileReader, ReportsEveryBadWordInFileOrderUpToALimit) {
    std::vector<uint8_t> bytes = GoodFile(3);
    bytes[48 + 2 * 76 + 74] = 0;
    bytes[48 + 0 * 76 + 12] = 0;
    sim::SceneryFile file = sim::ReadSceneryFile(bytes);
    std::vector<sim::SceneryFileIssue> errors = Errors(file);
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_EQ(errors[0].offset, 48u + 12);
    EXPECT_EQ(errors[1].offset, 48u + 2 * 76 + 74);

    // A file of zeros with the right sizes: every constant is wrong, but the
    // report stays bounded and says how many it left out.
    const int32_t count = 200;
    std::vector<uint8_t> zeros = GoodFile(count);
    std::fill(zeros.begin() + 48, zeros.end(), 0);
    file = sim::ReadSceneryFile(zeros);
    errors = Errors(file);
    ASSERT_EQ(errors.size(), sim::kMaxListedConstantFaults + 1);
    const sim::SceneryFileIssue& summary = errors.back();
    size_t unlisted = static_cast<size_t>(count) * sim::kRecordConstants.size() - sim::kMaxListedConstantFaults;
    EXPECT_NE(summary.message.find(std::to_string(unlisted) + " more"), std::string::npos) << summary.message;
    EXPECT_EQ(summary.record, 100);
    EXPECT_EQ(summary.offset, 48u + 100 * 76 + 4);
}

TEST(SceneryFileReader, OddButHarmlessHeadersAreWarningsOnly) {
    std::vector<uint8_t> bytes = GoodFile(1);
    PutU32(bytes, 36, 0x00AB1234);
    PutU32(bytes, 16, 5000);  // minLat above maxLat with a record present
    sim::SceneryFile file = sim::ReadSceneryFile(bytes);
    EXPECT_TRUE(file.ok());
    ASSERT_EQ(file.issues.size(), 2u);
    EXPECT_EQ(file.issues[0].severity, Severity::Warning);
    EXPECT_EQ(file.issues[0].offset, 36u);
    EXPECT_NE(file.issues[0].message.find("0x00AB1234"), std::string::npos);
    EXPECT_EQ(file.issues[1].severity, Severity::Warning);
    EXPECT_EQ(file.issues[1].offset, 16u);
    EXPECT_EQ(file.records.size(), 1u);
}

TEST(SceneryFileReader, HeaderFieldsAreReadEvenWhenTheFileIsBad) {
    std::vector<uint8_t> bytes = GoodFile(2);
    bytes.resize(100);
    sim::SceneryFile file = sim::ReadSceneryFile(bytes);
    EXPECT_FALSE(file.ok());
    ASSERT_TRUE(file.hasHeader);
    EXPECT_EQ(file.header.minLat, 900);
    EXPECT_EQ(file.header.minLon, -50);
    EXPECT_EQ(file.header.count, 2);

    bytes.resize(14);
    file = sim::ReadSceneryFile(bytes);
    EXPECT_FALSE(file.hasHeader);
    EXPECT_EQ(memcmp(file.prefix.data(), "TAVU-SCENERY\x01\0\0\0", 14), 0);
    EXPECT_EQ(file.prefix[14], 0);
}

// Properties every reading must have, whatever the bytes.
void ExpectConsistent(std::span<const uint8_t> bytes, const sim::SceneryFile& file) {
    EXPECT_EQ(file.ok(), file.FirstError() == nullptr);
    if (file.ok()) {
        ASSERT_TRUE(file.hasHeader);
        EXPECT_GE(file.header.count, 0);
        EXPECT_EQ(file.records.size(), static_cast<size_t>(file.header.count));
        EXPECT_EQ(bytes.size(), 48u + 76u * file.records.size());
        EXPECT_EQ(memcmp(file.prefix.data(), "TAVU-SCENERY\x01\0\0\0", 16), 0);
    } else {
        EXPECT_FALSE(file.issues.empty());
    }
    if (!file.records.empty()) {
        EXPECT_EQ(memcmp(file.records.data(), bytes.data() + 48, file.records.size() * 76), 0);
    }
    for (const sim::SceneryFileIssue& issue : file.issues) {
        EXPECT_LE(issue.offset, bytes.size());
        EXPECT_FALSE(issue.message.empty());
        EXPECT_GE(issue.record, -1);
        if (issue.record >= 0) {
            EXPECT_LT(issue.record, file.header.count);
        }
    }
}

TEST(SceneryFileReader, SurvivesRandomAndHostileBytes) {
    std::mt19937 random(20240611);
    auto below = [&random](uint32_t n) { return static_cast<uint32_t>(random() % n); };

    for (int round = 0; round < 3000; ++round) {
        std::vector<uint8_t> bytes(below(400));
        for (uint8_t& byte : bytes) {
            byte = static_cast<uint8_t>(random());
        }
        // Half of them get the right prefix so the reader goes deeper.
        if (round % 2 == 0 && bytes.size() >= 16) {
            std::array<uint8_t, 16> prefix = sim::SceneryPrefix();
            std::copy(prefix.begin(), prefix.end(), bytes.begin());
        }
        sim::SceneryFile file = sim::ReadSceneryFile(bytes);
        ExpectConsistent(bytes, file);
    }

    const uint32_t kWords[] = {0, 1, 2, 76, 152, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, 1u << 30, 56512728, 32};
    const std::vector<uint8_t> good = GoodFile(3);
    for (int round = 0; round < 3000; ++round) {
        std::vector<uint8_t> bytes = good;
        int mutations = 1 + static_cast<int>(below(4));
        for (int m = 0; m < mutations; ++m) {
            switch (below(5)) {
                case 0:
                    if (!bytes.empty()) {
                        bytes[below(static_cast<uint32_t>(bytes.size()))] ^= static_cast<uint8_t>(1 + below(255));
                    }
                    break;
                case 1:
                    bytes.resize(below(static_cast<uint32_t>(bytes.size()) + 1));
                    break;
                case 2:
                    bytes.insert(bytes.end(), below(160), static_cast<uint8_t>(random()));
                    break;
                case 3:
                    if (bytes.size() >= 48) {
                        PutU32(bytes, 16 + 4 * below(8), kWords[below(std::size(kWords))]);
                    }
                    break;
                default:
                    if (bytes.size() >= 48) {
                        // Sizes that agree with each other but not the file.
                        uint32_t count = below(6);
                        PutU32(bytes, 40, 76 * count);
                        PutU32(bytes, 44, count);
                    }
                    break;
            }
        }
        sim::SceneryFile file = sim::ReadSceneryFile(bytes);
        ExpectConsistent(bytes, file);
    }
}

TEST(SceneryFileBytes, ReadsWholeFilesAndRefusesWhatItShouldNot) {
    std::string folder = testsupport::MakeTempFolder();
    std::string path = folder + "/f.tsc";
    std::vector<uint8_t> good = GoodFile(1000);  // larger than one read chunk
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(good.data()), good.size());

    std::string error;
    std::optional<std::vector<uint8_t>> bytes = sim::ReadFileBytes(path, good.size(), &error);
    ASSERT_TRUE(bytes.has_value()) << error;
    EXPECT_EQ(*bytes, good);

    EXPECT_FALSE(sim::ReadFileBytes(path, good.size() - 1, &error).has_value());
    EXPECT_NE(error.find("larger"), std::string::npos) << error;
    EXPECT_FALSE(sim::ReadFileBytes(folder + "/missing.tsc", 1000, &error).has_value());
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(sim::ReadFileBytes(folder, 1000, &error).has_value()) << "a folder is not a file";
    EXPECT_FALSE(sim::ReadFileBytes(folder + "/missing.tsc", 1000, nullptr).has_value());

    std::ofstream(folder + "/empty.tsc").close();
    bytes = sim::ReadFileBytes(folder + "/empty.tsc", 0, &error);
    ASSERT_TRUE(bytes.has_value());
    EXPECT_TRUE(bytes->empty());
    std::filesystem::remove_all(folder);
}

}  // namespace
