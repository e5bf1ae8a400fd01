// What the file tools share: scale and unit readings, the bounds a save
// writes, catalog lookup and reading files from disk.
#include <filesystem>
#include <numbers>

#include "scenery/scale.h"
#include "tests/tools/tools_fixture.h"

namespace {

using toolstest::Placed;
using Kind = tavu::ScaleReading::Kind;

TEST(ScaleReading, EveryPercentTheEditorSetsReadsBackAsThatPercent) {
    for (int32_t percent = 1; percent <= 2000; ++percent) {
        tavu::ScaleReading reading = tavu::ReadScale(EncodeScale(percent));
        ASSERT_EQ(reading.kind, Kind::Percent) << percent;
        ASSERT_EQ(reading.percent, percent);
        ASSERT_EQ(reading.text, std::to_string(percent) + " %");
    }
}

TEST(ScaleReading, FixedCodesReadBackAsTheirCodeUnlessAPercentGivesTheSameValue) {
    for (int32_t code = -31; code <= 0; ++code) {
        uint32_t scale = EncodeScale(code);
        tavu::ScaleReading reading = tavu::ReadScale(scale);
        if (reading.kind == Kind::Percent) {
            EXPECT_EQ(EncodeScale(reading.percent), scale) << code;
        } else {
            ASSERT_EQ(reading.kind, Kind::FixedCode) << code;
            EXPECT_EQ(reading.code, code);
            EXPECT_EQ(uint32_t{1} << reading.exponent, scale);
        }
    }
    EXPECT_EQ(tavu::ReadScale(EncodeScale(-7)).text, "fixed 2^25 (code -7)");
    EXPECT_EQ(tavu::ReadScale(EncodeScale(-12)).text, "fixed 2^20 (code -12)");
    EXPECT_EQ(tavu::ReadScale(EncodeScale(0)).text, "fixed 2^0 (code 0)");
    EXPECT_EQ(tavu::ReadScale(65536).text, "100 %") << "code -16 and 100 % are the same scale";
    EXPECT_EQ(tavu::ReadScale(32768).text, "200 %");
}

TEST(ScaleReading, ValuesNoSettingGivesAreShownAsTheNearestPercent) {
    tavu::ScaleReading reading = tavu::ReadScale(EncodeScale(150) + 1);
    EXPECT_EQ(reading.kind, Kind::Other);
    EXPECT_NEAR(reading.approxPercent, 149.9989, 0.0001);
    EXPECT_EQ(reading.text, "~150 %");
    EXPECT_EQ(tavu::ReadScale(0).kind, Kind::Zero);
    EXPECT_EQ(tavu::ReadScale(3000).kind, Kind::Other) << "below 2000 %";
    EXPECT_EQ(tavu::DefaultScaleText(-10), "fixed 2^22 (code -10)");
    EXPECT_EQ(tavu::DefaultScaleText(120), "120 %");
}

TEST(Units, DegreesFromMetresLongitudeUnitsAndAngleUnits) {
    EXPECT_DOUBLE_EQ(tavu::LatitudeDegrees(6371000.0 * std::numbers::pi / 2), 90.0);
    EXPECT_DOUBLE_EQ(tavu::LatitudeDegrees(-6371000.0 * std::numbers::pi / 4), -45.0);
    EXPECT_DOUBLE_EQ(tavu::LongitudeDegrees(1 << 30), 90.0);
    EXPECT_DOUBLE_EQ(tavu::LongitudeDegrees(INT32_MIN), -180.0);
    EXPECT_DOUBLE_EQ(tavu::AngleDegrees(16384), 90.0);
    EXPECT_DOUBLE_EQ(tavu::AngleDegrees(-16384), -90.0);
    EXPECT_DOUBLE_EQ(tavu::AngleDegrees(INT16_MIN), -180.0);
    EXPECT_DOUBLE_EQ(tavu::PositionValue(Position48{32768, -3}), -2.5) << "the fraction counts upward";
}

TEST(Units, NumbersDropTrailingZerosAndNegativeZero) {
    EXPECT_EQ(tavu::FormatNumber(1.5, 4), "1.5");
    EXPECT_EQ(tavu::FormatNumber(2.0, 3), "2");
    EXPECT_EQ(tavu::FormatNumber(-0.0001, 2), "0");
    EXPECT_EQ(tavu::FormatNumber(1234567.26, 1), "1234567.3");
}

TEST(Flags, KnownBitsByNameTheRestInHex) {
    EXPECT_EQ(tavu::FlagsText(0), "none");
    EXPECT_EQ(tavu::FlagsText(MODIFIED | IN_EDIT | 0x100), "MODIFIED | IN_EDIT | 0x00000100");
    EXPECT_EQ(tavu::FlagNames(0x80000002u), std::vector<std::string>{"0x80000002"});
}

TEST(CatalogLookup, EveryEntryFindsItselfAndItsGroup) {
    for (int i = 0; i < CATALOG_ENTRY_COUNT; ++i) {
        std::optional<tavu::CatalogMatch> match = tavu::FindEntry(ObjectCatalog.entries[i].objectKey);
        ASSERT_TRUE(match) << i;
        EXPECT_EQ(match->entry, i);
        EXPECT_EQ(ObjectCatalog.groups[match->group].key, ObjectCatalog.entries[i].groupKey);
    }
    uint8_t key[16];
    memcpy(key, ObjectCatalog.entries[0].objectKey, 16);
    key[15] ^= 1;
    EXPECT_FALSE(tavu::FindEntry(key));
    EXPECT_EQ(tavu::KeyHex(key), "514952" "4f54726636" "0100000026000001");
}

class SavedBounds : public toolstest::ToolsTest {};

// The check trusts BoundsAsSaved to be what a save writes: hold it against
// real saves, the wrapping corners and the poles included.
TEST_F(SavedBounds, AreExactlyWhatTheEditorsSaveWrites) {
    const std::vector<std::vector<ObjectRecord>> cases = {
        {Placed(1000000, 5000000, 0)},
        {Placed(5200000, -12345678, 3, 0, 65536, 9000), Placed(5201000, -12340000, 100, 0, 65536, 300),
         Placed(5199000, -12350000, 325, 0, 65536, 65535)},
        {Placed(INT32_MAX - 10, INT32_MIN + 5, 7, 0, 65536, 100)},
        {Placed(INT32_MIN + 50, INT32_MAX - 3, 7, 0, 65536, 500)},
        {Placed(10007000, 0, 1, 0, 65536, 2000)},  // a kilometre or two from the pole
        {Placed(-8000000, 2000000000, 2), Placed(-8000100, -2000000000, 2)},
    };
    int n = 0;
    for (const std::vector<ObjectRecord>& records : cases) {
        std::string path = Saved(records, "case" + std::to_string(n++) + ".tsc");
        tavu::LoadedScenery loaded = tavu::LoadScenery(path);
        ASSERT_TRUE(loaded.read()) << loaded.readError;
        ASSERT_TRUE(loaded.file.ok());
        tavu::Bounds bounds = tavu::BoundsAsSaved(loaded.file.records);
        EXPECT_EQ(bounds.minLat, loaded.file.header.minLat) << path;
        EXPECT_EQ(bounds.maxLat, loaded.file.header.maxLat) << path;
        EXPECT_EQ(bounds.minLon, loaded.file.header.minLon) << path;
        EXPECT_EQ(bounds.maxLon, loaded.file.header.maxLon) << path;
    }
}

TEST(SavedBoundsOfNothing, AreTheEmptyBox) {
    tavu::Bounds bounds = tavu::BoundsAsSaved({});
    EXPECT_EQ(bounds.minLat, INT32_MAX);
    EXPECT_EQ(bounds.maxLat, INT32_MIN);
}

class Loading : public toolstest::ToolsTest {};

TEST_F(Loading, SaysWhyAFileCannotBeRead) {
    EXPECT_EQ(tavu::LoadScenery(PathOf("missing.tsc")).readError, "no such file");
    EXPECT_NE(tavu::LoadScenery(folder).readError.find("directory"), std::string::npos);

    std::string big = Written("big.tsc", std::vector<uint8_t>(5000, 0));
    tavu::LoadedScenery refused = tavu::LoadScenery(big, 4096);
    EXPECT_NE(refused.readError.find("larger than"), std::string::npos) << refused.readError;
    EXPECT_TRUE(refused.bytes.empty());

    tavu::LoadedScenery empty = tavu::LoadScenery(Written("empty.tsc", {}));
    ASSERT_TRUE(empty.read()) << "an empty file reads; the reader says what is wrong with it";
    EXPECT_FALSE(empty.file.ok());
}

TEST_F(Loading, ATruncatedFileStillShowsItsWholeRecords) {
    std::vector<ObjectRecord> records = {Placed(1, 2, 3), Placed(4, 5, 6), Placed(7, 8, 9)};
    std::vector<uint8_t> bytes = testsupport::ReadBytes(Saved(records));
    bytes.resize(bytes.size() - RECORD_BYTES / 2);
    sim::SceneryFile file = sim::ReadSceneryFile(bytes);
    ASSERT_FALSE(file.ok());
    ASSERT_TRUE(file.records.empty());
    std::vector<ObjectRecord> readable = tavu::ReadableRecords(bytes, file);
    ASSERT_EQ(readable.size(), 2u);
    EXPECT_EQ(memcmp(&readable[1], &records[1], RECORD_BYTES), 0);

    // A header claiming fewer records than the file holds is believed.
    toolstest::PutU32(bytes, sim::FILE_COUNT_OFFSET, 1);
    EXPECT_EQ(tavu::ReadableRecords(bytes, sim::ReadSceneryFile(bytes)).size(), 1u);
    // Past a wrong magic nothing is a record.
    bytes[0] = 'X';
    EXPECT_TRUE(tavu::ReadableRecords(bytes, sim::ReadSceneryFile(bytes)).empty());
}

}  // namespace
