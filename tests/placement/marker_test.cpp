// The selection marker block handed to the renderer on every draw.
#include "placement/marker.h"
#include "tests/support/editor_fixture.h"

using testsupport::MakeRecord;

namespace {

class Marker : public testsupport::EditorTest {
protected:
    Marker() {
        Take({MakeRecord(1000, 2000, 100)});
        SetAircraft(Position48{0x1111, 1000}, Position48{0x2222, 2000}, Position48{0x3333, 300});
    }
    void SetAircraft(Position48 lat, Position48 lon, Position48 alt) {
        Put(SG_AIRCRAFT_LAT, lat);
        Put(SG_AIRCRAFT_LON, lon);
        Put(SG_AIRCRAFT_ALT, alt);
    }
    void Put(uint32_t offset, Position48 position) {
        host.SetGlobal<uint16_t>(offset, 0xABCD);  // the low 16 bits the marker never shows
        host.SetGlobal<uint16_t>(offset + 2, position.fraction);
        host.SetGlobal<int32_t>(offset + 4, position.integer);
    }
    std::vector<uint8_t> Draw() {
        OnDraw(0, 0);
        return host.LastDrawBlock();
    }
    static uint16_t Word(const std::vector<uint8_t>& block, size_t offset) {
        return static_cast<uint16_t>(block[offset] | block[offset + 1] << 8);
    }
};

TEST_F(Marker, CopiesTheAircraftPositionAndKeepsTheFixedWords) {
    Record(0)->alt.integer = 300;
    std::vector<uint8_t> block;
    for (int i = 0; i < 5; ++i) {
        block = Draw();
    }
    const uint8_t expected[56] = {
        0x76, 0x00, 0x2F, 0x00, 0x34, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00,
        0x11, 0x11, 0xE8, 0x03, 0x00, 0x00, 0x22, 0x22, 0xD0, 0x07, 0x00, 0x00, 0x33, 0x33, 0x2C, 0x01,
        0x00, 0x00, 0x51, 0x00, 0x15, 0xF0, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x07, 0x00,
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x22, 0x00};
    ASSERT_EQ(block.size(), 56u);
    EXPECT_TRUE(std::equal(block.begin(), block.end(), expected)) << "object at the aircraft's position";
    EXPECT_EQ(host.DrawCount(), 5);
}

TEST_F(Marker, OffsetsAreIntegerDifferencesThatWrapAt16Bits) {
    Record(0)->lat = {0xFFFF, 1100};  // fractions play no part
    Record(0)->alt.integer = 280;
    std::vector<uint8_t> block = Draw();
    EXPECT_EQ(Word(block, 52), 100);
    EXPECT_EQ(Word(block, 50), 0xFFEC);

    Record(0)->lat.integer = 41000;
    EXPECT_EQ(Word(Draw(), 52), 0x9C40);

    // Longitude is converted into latitude units at the aircraft's latitude.
    int32_t east = sim::MetresToLonUnits(500, 1000);
    Record(0)->lon.integer = 2000 + east;
    EXPECT_EQ(Word(Draw(), 48), 500);
    Record(0)->lon.integer = 2000 - east;
    EXPECT_EQ(Word(Draw(), 48), static_cast<uint16_t>(-500));

    // A difference beyond 32 bits wraps instead of overflowing.
    SetAircraft(Position48{0, INT32_MIN}, Position48{0, INT32_MIN}, Position48{0, INT32_MIN});
    Record(0)->lat.integer = INT32_MAX;
    EXPECT_EQ(Word(Draw(), 52), 0xFFFF);
}

}  // namespace
