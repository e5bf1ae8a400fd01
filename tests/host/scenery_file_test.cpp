// Reading scenery files: what the editor writes reads back whole, and each
// fault is reported once, at its byte and record.
#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "scenery/save.h"
#include "sim/scenery_file.h"
#include "tests/support/editor_fixture.h"

namespace {

using Severity = sim::SceneryFileIssue::Severity;

// `count` records from the editor's template, at latitudes 1000, 1001, ...
std::vector<uint8_t> File(int32_t count) {
    std::vector<ObjectRecord> records;
    for (int32_t i = 0; i < count; ++i) {
        records.push_back(testsupport::MakeRecord(1000 + i, 0, 100));
    }
    return sim::EncodeSceneryFile({900, 1200, -50, 70, MODIFIED, 0, RECORD_BYTES * count, count}, records);
}

std::vector<uint8_t> Put32(std::vector<uint8_t> bytes, size_t offset, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
    }
    return bytes;
}
std::vector<uint8_t> Put8(std::vector<uint8_t> bytes, size_t offset, uint8_t value) {
    bytes[offset] = value;
    return bytes;
}
std::vector<uint8_t> Cut(std::vector<uint8_t> bytes, size_t size) {
    bytes.resize(size);
    return bytes;
}

class SceneryFileFromEditor : public testsupport::EditorTest {};

TEST_F(SceneryFileFromEditor, WhatTheEditorSavesReadsBackWhole) {
    ObjectRecord second = testsupport::MakeRecord(1002000, -7000000, 40, 10);
    second.heading = -1234;
    second.alt.integer = 321;
    Take({testsupport::MakeRecord(1000000, 5000000, 500, 3), second}, MODIFIED | IN_EDIT);
    SaveScenery();
    std::vector<uint8_t> bytes = testsupport::ReadBytes(PathOf("s.tsc"));
    ASSERT_EQ(bytes.size(), 48u + 2 * 76u);

    sim::SceneryFile file = sim::ReadSceneryFile(bytes);
    EXPECT_TRUE(file.issues.empty()) << file.issues.front().message;
    EXPECT_EQ(file.prefix, sim::SceneryPrefix());
    const SceneryHeader& header = *Header();
    EXPECT_EQ(file.header.minLat, header.minLat);
    EXPECT_EQ(file.header.maxLat, header.maxLat);
    EXPECT_EQ(file.header.minLon, header.minLon);
    EXPECT_EQ(file.header.maxLon, header.maxLon);
    EXPECT_EQ(file.header.flags, MODIFIED | IN_EDIT) << "the header is written before MODIFIED is cleared";
    EXPECT_EQ(file.header.count, 2);
    ASSERT_EQ(file.records.size(), 2u);
    EXPECT_EQ(memcmp(file.records.data(), header.records, 152), 0);
    // Reader and writer agree on every field's place.
    EXPECT_EQ(sim::EncodeSceneryFile(file.header, file.records), bytes);
}

TEST(SceneryFileReader, SoundFilesOfAnySizeHaveNoIssues) {
    for (int32_t count : {0, 1, 5}) {
        sim::SceneryFile file = sim::ReadSceneryFile(File(count));
        EXPECT_TRUE(file.issues.empty()) << count << ": " << file.issues.front().message;
        ASSERT_EQ(file.records.size(), static_cast<size_t>(count));
        for (int32_t i = 0; i < count; ++i) {
            EXPECT_EQ(int32_t{file.records[i].lat.integer}, 1000 + i);
        }
    }
    // An empty scenery's bounds are empty too, and that is no fault.
    EXPECT_TRUE(sim::ReadSceneryFile(Put32(File(0), 16, 5000)).issues.empty());
}

// One fault per file: exactly one issue, at the faulty byte.
struct Damage {
    const char* name;
    std::vector<uint8_t> bytes;
    size_t offset;
    int record;
    std::vector<std::string> words;  // the message names these
    size_t recordsRead = 0;          // records are read only when every length agrees
    Severity severity = Severity::Error;
};

TEST(SceneryFileReader, EachFaultIsOneIssueAtItsByteAndRecord) {
    const Damage damages[] = {
        {"empty", {}, 0, -1, {"0 bytes", "48"}},
        {"short", Cut(File(1), 47), 47, -1, {"47 bytes", "48"}},
        {"magic", Put8(File(1), 3, 'x'), 3, -1, {"byte 3", "TAVU-SCENERY"}},
        {"version", Put32(File(1), 12, 2), 12, -1, {"byte 12", "is 2", "version 1"}},
        {"negative count", Put32(File(0), 44, 0xFFFFFFFF), 44, -1, {"byte 44", "-1", "negative"}},
        {"size word", Put32(File(2), 40, 150), 40, -1, {"byte 40", "150", "2 records take 152"}},
        // 76 * 56512728 wraps to 32 in 32 bits, 76 * 2^30 to 0.
        {"32-bit overflow",
         Cut(Put32(Put32(File(0), 40, 32), 44, 56512728), 80),
         40,
         -1,
         {"56512728 records"}},
        {"wraps to zero", Put32(File(0), 44, 1u << 30), 40, -1, {"1073741824 records take 81604378624"}},
        {"one byte short", Cut(File(3), 275), 275, 2, {"truncated", "276", "275", "1 byte missing"}},
        {"one byte long", Cut(File(3), 277), 276, -1, {"1 byte too long", "last record", "276"}},
        {"long without records", Cut(File(0), 53), 48, -1, {"5 bytes too long", "header"}},
        // The high byte of record 3's first constant: a check of the low
        // byte alone would miss it.
        {"constant", Put8(File(4), 48 + 3 * 76 + 5, 0x80), 280, 3, {"record 3", "byte 280", "0x803F"}, 4},
        {"records word", Put32(File(1), 36, 0x00AB1234), 36, -1, {"0x00AB1234"}, 1, Severity::Warning},
        {"empty bounds", Put32(File(1), 16, 5000), 16, -1, {"bounds are empty"}, 1, Severity::Warning}};
    for (const Damage& d : damages) {
        const std::vector<uint8_t>& bytes = d.bytes;
        sim::SceneryFile file = sim::ReadSceneryFile(bytes);
        ASSERT_EQ(file.issues.size(), 1u) << d.name;
        const sim::SceneryFileIssue& issue = file.issues[0];
        EXPECT_EQ(issue.severity, d.severity) << d.name;
        EXPECT_EQ(file.ok(), d.severity == Severity::Warning) << d.name;
        EXPECT_EQ(issue.offset, d.offset) << d.name << ": " << issue.message;
        EXPECT_EQ(issue.record, d.record) << d.name << ": " << issue.message;
        for (const std::string& word : d.words) {
            EXPECT_NE(issue.message.find(word), std::string::npos) << d.name << ": " << issue.message;
        }
        EXPECT_EQ(file.records.size(), d.recordsRead) << d.name;
        // What the file holds of its prefix and header is read regardless.
        EXPECT_TRUE(std::equal(bytes.begin(), bytes.begin() + std::min<size_t>(bytes.size(), 16),
                               file.prefix.begin()))
            << d.name;
        EXPECT_EQ(file.hasHeader, bytes.size() >= 48) << d.name;
        EXPECT_EQ(file.header.maxLon, file.hasHeader ? 70 : 0) << d.name;
    }
}

TEST(SceneryFileReader, ReportsEveryBadConstantInFileOrderUpToALimit) {
    std::vector<uint8_t> bytes = File(3);
    bytes[48 + 2 * 76 + 74] = 0;
    bytes[48 + 0 * 76 + 12] = 0;
    sim::SceneryFile file = sim::ReadSceneryFile(bytes);
    ASSERT_EQ(file.issues.size(), 2u);
    EXPECT_EQ(file.issues[0].offset, 48u + 12);
    EXPECT_EQ(file.issues[1].offset, 48u + 2 * 76 + 74);
    EXPECT_EQ(file.issues[1].record, 2);

    // A file of zeros with the right sizes: every constant is wrong, but the
    // report stays bounded and says how many it left out.
    std::vector<uint8_t> zeros = File(200);
    std::fill(zeros.begin() + 48, zeros.end(), 0);
    file = sim::ReadSceneryFile(zeros);
    ASSERT_EQ(file.issues.size(), sim::kMaxListedConstantFaults + 1);
    const sim::SceneryFileIssue& summary = file.issues.back();
    const size_t unlisted = 200 * sim::kRecordConstants.size() - sim::kMaxListedConstantFaults;
    EXPECT_NE(summary.message.find(std::to_string(unlisted) + " more"), std::string::npos) << summary.message;
    EXPECT_EQ(summary.record, 100);
    EXPECT_EQ(summary.offset, 48u + 100 * 76 + 4);
}

TEST(SceneryFileBytes, ReadsWholeFilesUpToTheLimitAndNothingElse) {
    std::string folder = testsupport::MakeTempFolder();
    std::string path = folder + "/f.tsc";
    std::vector<uint8_t> good = File(1000);  // larger than one read chunk
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(good.data()), good.size());
    std::string error;
    EXPECT_EQ(sim::ReadFileBytes(path, good.size(), &error), good) << error;
    EXPECT_FALSE(sim::ReadFileBytes(path, good.size() - 1, &error).has_value());
    EXPECT_NE(error.find("larger"), std::string::npos) << error;
    EXPECT_FALSE(sim::ReadFileBytes(folder + "/missing.tsc", 1000, nullptr).has_value());
    EXPECT_FALSE(sim::ReadFileBytes(folder, 1000, &error).has_value()) << "a folder is not a file";
    std::ofstream(folder + "/empty.tsc").close();
    EXPECT_EQ(sim::ReadFileBytes(folder + "/empty.tsc", 0, &error), std::vector<uint8_t>{});
    std::filesystem::remove_all(folder);
}

}  // namespace
