// Scales read back as the editor's settings, flags and numbers, as the file
// tools show them.
#include "scenery/scale.h"
#include "tests/tools/tools_fixture.h"

namespace {

using Kind = tavu::ScaleReading::Kind;

TEST(Readings, EveryPercentAndFixedCodeTheEditorSetsReadsBackAsThatSetting) {
    for (int32_t percent = 1; percent <= 2000; ++percent) {
        tavu::ScaleReading reading = tavu::ReadScale(EncodeScale(percent));
        ASSERT_EQ(reading.kind, Kind::Percent) << percent;
        ASSERT_EQ(reading.text, std::to_string(percent) + " %");
    }
    // A code whose value some percent also gives reads as that percent.
    for (int32_t code = -31; code <= 0; ++code) {
        tavu::ScaleReading reading = tavu::ReadScale(EncodeScale(code));
        EXPECT_EQ(
            reading.kind == Kind::Percent ? EncodeScale(reading.percent) : uint32_t{1} << reading.exponent,
            EncodeScale(code));
        EXPECT_TRUE(reading.kind == Kind::Percent || reading.code == code) << code;
    }
    EXPECT_EQ(tavu::ReadScale(65536).text, "100 %") << "code -16 and 100 % are the same scale";
    EXPECT_EQ(tavu::ReadScale(EncodeScale(150) + 1).text, "~150 %")
        << "no setting gives it: the nearest percent";
    EXPECT_EQ(tavu::FlagsText(0), "none");
    EXPECT_EQ(tavu::FormatNumber(-0.0001, 2), "0") << "no negative zero";
}

}  // namespace
