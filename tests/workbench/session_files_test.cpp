// End to end: sessions run against the linked module leave scenery files
// whose bytes the tests work out on their own, from the placement and motion
// rules and the file layout; the example sessions pass as shipped.
#include <gtest/gtest.h>
#include <string.h>

#include <array>
#include <string>
#include <vector>

#include "catalog/catalog.h"
#include "sim/geodesy.h"
#include "sim/host.h"
#include "tests/workbench/workbench_support.h"

namespace {

namespace fs = std::filesystem;
using workbench::SessionRun;
using workbench::SessionTest;

void PutU16(std::vector<uint8_t>& out, size_t at, uint16_t value) {
    out[at] = static_cast<uint8_t>(value);
    out[at + 1] = static_cast<uint8_t>(value >> 8);
}

void PutU32(std::vector<uint8_t>& out, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out[at + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

uint32_t U32At(const std::vector<uint8_t>& bytes, size_t at) {
    return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | uint32_t{bytes[at + 3]} << 24;
}

uint16_t U16At(const std::vector<uint8_t>& bytes, size_t at) {
    return static_cast<uint16_t>(bytes[at] | bytes[at + 1] << 8);
}

// A 32.32 position cut to the record's 48 bits: fraction, then integer.
void PutPosition(std::vector<uint8_t>& out, size_t at, int64_t position) {
    uint64_t bits = static_cast<uint64_t>(position);
    PutU16(out, at, static_cast<uint16_t>(bits >> 16));
    PutU32(out, at + 2, static_cast<uint32_t>(bits >> 32));
}

int32_t IntegerPart(int64_t position) {
    return static_cast<int32_t>(static_cast<uint64_t>(position) >> 32);
}

// What one frame of motion does to a 48-bit position: the velocity times
// the step is added to the full 64-bit value, whose low 16 bits the record
// cannot keep.
int64_t MoveOneFrame(int64_t position, int64_t velocityPerMs, int64_t stepMs) {
    uint64_t sum = static_cast<uint64_t>(position) + static_cast<uint64_t>(velocityPerMs * stepMs);
    return static_cast<int64_t>(sum & ~uint64_t{0xFFFF});
}

struct ObjectFacts {
    std::array<uint8_t, 16> key;
    uint16_t size;
    uint16_t maxDistance;
    uint32_t scale;
};

// The 76 bytes of a record, field by field from the record layout.
std::vector<uint8_t> RecordBytes(const ObjectFacts& object, int64_t lat, int64_t lon, int64_t alt,
                                 int16_t pitch, int16_t bank, int16_t heading) {
    std::vector<uint8_t> r(76, 0);
    PutU16(r, 4, 0x003F);
    PutU16(r, 6, 6);
    PutU16(r, 8, 0x0022);
    PutU16(r, 10, 0x002F);
    PutU16(r, 12, 42);
    PutU16(r, 14, object.maxDistance);
    PutU16(r, 16, object.size);
    PutU32(r, 20, object.scale);
    PutPosition(r, 24, lat);
    PutPosition(r, 30, lon);
    PutPosition(r, 36, alt);
    PutU16(r, 42, 0x0033);
    PutU16(r, 44, 12);
    PutU16(r, 46, static_cast<uint16_t>(pitch));
    PutU16(r, 48, static_cast<uint16_t>(bank));
    PutU16(r, 50, static_cast<uint16_t>(heading));
    PutU16(r, 52, 0x0022);
    PutU16(r, 54, 0x0063);
    memcpy(&r[58], object.key.data(), 16);
    PutU16(r, 74, 0x0022);
    return r;
}

// Prefix, header with the box the save computes for one object, record.
std::vector<uint8_t> OneObjectFile(const std::vector<uint8_t>& record, uint16_t maxDistance) {
    std::vector<uint8_t> file(48, 0);
    const char magic[] = "TAVU-SCENERY";
    memcpy(&file[0], magic, 12);
    PutU32(file, 12, 1);
    int32_t lat = static_cast<int32_t>(U32At(record, 26));
    int32_t lon = static_cast<int32_t>(U32At(record, 32));
    int32_t top = lat + 2 * maxDistance;
    int32_t east = sim::MetresToLonUnits(maxDistance, top);
    PutU32(file, 16, static_cast<uint32_t>(lat - maxDistance));
    PutU32(file, 20, static_cast<uint32_t>(top));
    PutU32(file, 24, static_cast<uint32_t>(lon - east));
    PutU32(file, 28, static_cast<uint32_t>(lon + 2 * east));
    PutU32(file, 32, 1);  // MODIFIED: the header is written before the flag is cleared
    PutU32(file, 36, 0);
    PutU32(file, 40, 76);
    PutU32(file, 44, 1);
    file.insert(file.end(), record.begin(), record.end());
    return file;
}

// "Elephant 1": library QIROTrf1, object 6, 20 m.
const ObjectFacts kElephant{
    {'Q', 'I', 'R', 'O', 'T', 'r', 'f', '1', 1, 0, 0, 0, 6, 0, 0, 0}, 20, 2500, 6553600 / 150};

class SavedBytes : public SessionTest {};

TEST_F(SavedBytes, AnObjectAddedAheadAndMovedForwardAtHeadingZero) {
    SessionRun run = RunText(
        "aircraft lat 45.5 lon 9.25 alt 300 heading 0\n"
        "new-object-altitude 120.5\n"
        "step 40\n"
        "start\n"
        "dialog group \"Animals\" object \"Elephant 1\" scale 150 distance 2500 ok\n"
        "key Ctrl+Insert\n"
        "key Ctrl+Up x3\n"
        "frames 7\n"
        "stop\n");
    ASSERT_TRUE(run.result.ok()) << run.Error() << run.transcript;

    // Placed 50 m ahead: cos 0 is 32767 in SinCos fractions, carried into
    // 32.32 by 2^17; the aircraft's low 16 bits are lost with the record's.
    int64_t lat = sim::LatitudeToPosition(45.5) + int64_t{32767} * 50 * (int64_t{1} << 17);
    lat &= ~int64_t{0xFFFF};
    int64_t lon = sim::LongitudeToPosition(9.25) & ~int64_t{0xFFFF};
    // 120.5 m in 24.8 is 30848: integer 120, fraction 0x80 << 8.
    int64_t alt = (int64_t{120} << 32) | (int64_t{0x8000} << 16);
    // Three Up presses: forward speed 2, 4, 8; at heading 0 all of it goes
    // north, 32767 * 8 per millisecond of step.
    for (int frame = 0; frame < 7; ++frame) {
        lat = MoveOneFrame(lat, int64_t{32767} * 8, 40);
    }
    std::vector<uint8_t> expected = OneObjectFile(RecordBytes(kElephant, lat, lon, alt, 0, 0, 0), 2500);
    EXPECT_EQ(workbench::ReadBytes(PathOf("scenery-001.tsc")), expected);
}

TEST_F(SavedBytes, AnObjectAddedToTheEastAndTurnedAtHeadingNinety) {
    SessionRun run = RunText(
        "aircraft lat -33.9 lon 151.2 alt 5 heading 90\n"
        "new-object-altitude -2.25\n"
        "start\n"
        "dialog group \"Animals\" object \"Elephant 1\" scale 150 distance 2500 ok\n"
        "key Ctrl+Insert\n"
        "key Ctrl+PageDown x2\n"
        "key Ctrl+F5\n"
        "frames 10\n"
        "stop\n");
    ASSERT_TRUE(run.result.ok()) << run.Error() << run.transcript;

    // sin 90 is 32767 and cos 90 is 0: the object goes 50 m east, as
    // longitude units at the aircraft's latitude, and not north at all.
    int64_t aircraftLat = sim::LatitudeToPosition(-33.9);
    int32_t east = sim::MetresToLonUnits(32767 * 50, IntegerPart(aircraftLat));
    int64_t lat = aircraftLat & ~int64_t{0xFFFF};
    int64_t lon = (sim::LongitudeToPosition(151.2) + int64_t{east} * (int64_t{1} << 17)) & ~int64_t{0xFFFF};
    // -2.25 m in 24.8 is -576: integer -3, fraction 0xC0 << 8.
    int64_t alt = static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(-3)) << 32) |
                                       (uint64_t{0xC000} << 16));
    // Heading rate 1456 doubled, pitch rate -1456, per millisecond of the
    // default 50 ms step, in 2^32 per turn; the record keeps the top 16 bits.
    int32_t headingAcc = 2912 * 50 * 10;
    int32_t pitchAcc = -1456 * 50 * 10;
    int16_t heading = static_cast<int16_t>(static_cast<uint32_t>(headingAcc) >> 16);
    int16_t pitch = static_cast<int16_t>(static_cast<uint32_t>(pitchAcc) >> 16);
    ASSERT_EQ(heading, 22);
    ASSERT_EQ(pitch, -12);
    std::vector<uint8_t> expected =
        OneObjectFile(RecordBytes(kElephant, lat, lon, alt, pitch, 0, heading), 2500);
    EXPECT_EQ(workbench::ReadBytes(PathOf("scenery-001.tsc")), expected);
}

TEST_F(SavedBytes, TheFixedScaleOfAnAircraftComesFromItsCode) {
    SessionRun run = RunText(
        "aircraft lat 10 lon 20 heading 0\n"
        "start\n"
        "dialog group \"Aircraft\" object \"B737 Delta\" ok\n"
        "key Ctrl+Insert\n"
        "stop\n");
    ASSERT_TRUE(run.result.ok()) << run.Error();
    std::vector<uint8_t> file = workbench::ReadBytes(PathOf("scenery-001.tsc"));
    ASSERT_EQ(file.size(), 124u);
    // Code -7 stands for 2^((32 - 7) mod 32) = 2^25; range 9000 m; 640 m.
    EXPECT_EQ(U32At(file, 48 + 20), 1u << 25);
    EXPECT_EQ(U16At(file, 48 + 14), 9000);
    EXPECT_EQ(U16At(file, 48 + 16), 640);
    const uint8_t key[16] = {'Q', 'I', 'R', 'O', 'T', 'r', 'f', '3', 1, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(memcmp(&file[48 + 58], key, 16), 0);
}

class Examples : public SessionTest {
  protected:
    SessionRun RunExample(const std::string& name, sim::SessionOptions options) {
        std::string text = workbench::ReadText(workbench::ExamplePath(name));
        EXPECT_FALSE(text.empty()) << name;
        return RunText(text, options);
    }
    SessionRun RunExample(const std::string& name) { return RunExample(name, Options()); }
};

TEST_F(Examples, EveryExamplePassesItsOwnExpectations) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(workbench::SourceRoot() / "examples")) {
        if (entry.path().extension() == ".session") {
            names.push_back(entry.path().filename().string());
        }
    }
    ASSERT_GE(names.size(), 4u);
    for (const std::string& name : names) {
        SessionRun run = RunExample(name);
        EXPECT_TRUE(run.result.ok()) << name << ": " << run.Error(name) << "\n" << run.transcript;
        EXPECT_TRUE(FolderFaults().empty()) << name;
        EXPECT_EQ(run.result.liveBlocksAfterTeardown, 0) << name;
        fs::remove_all(folder);
    }
}

TEST_F(Examples, TheTourLeavesFourObjectsInOrder) {
    SessionRun run = RunExample("tour.session");
    ASSERT_TRUE(run.result.ok()) << run.Error("tour.session") << run.transcript;
    std::vector<uint8_t> file = workbench::ReadBytes(PathOf("scenery-001.tsc"));
    const char* names[] = {"B737 United", "Elephant 1", "Tree  3", "Two pilots"};
    const size_t count = std::size(names);
    ASSERT_EQ(file.size(), 48 + 76 * count);
    EXPECT_EQ(memcmp(file.data(), "TAVU-SCENERY\x01\x00\x00\x00", 16), 0);
    EXPECT_EQ(U32At(file, 44), count);
    EXPECT_EQ(U32At(file, 40), 76 * count);
    EXPECT_EQ(U32At(file, 32) & 1u, 1u) << "MODIFIED set in the file";
    EXPECT_EQ(U32At(file, 36), 0u) << "no address in the file";
    const std::pair<size_t, uint16_t> constants[] = {{4, 0x3F},  {6, 6},     {8, 0x22}, {10, 0x2F},
                                                     {12, 42},   {42, 0x33}, {44, 12},  {52, 0x22},
                                                     {54, 0x63}, {74, 0x22}};
    for (size_t i = 0; i < count; ++i) {
        size_t at = 48 + 76 * i;
        for (const auto& [offset, value] : constants) {
            EXPECT_EQ(U16At(file, at + offset), value) << "record " << i << " offset " << offset;
        }
        EXPECT_EQ(U16At(file, at + 56), 0) << "record " << i;
        int entry = -1;
        for (int e = 0; e < ObjectCatalog.entryCount; ++e) {
            if (std::string(ObjectCatalog.entries[e].name) == names[i]) {
                entry = e;
            }
        }
        ASSERT_GE(entry, 0) << names[i];
        EXPECT_EQ(memcmp(&file[at + 58], ObjectCatalog.entries[entry].objectKey, 16), 0) << names[i];
    }
    // The edit gave the airliner a 12 km range; the rescaled elephant 165 %.
    EXPECT_EQ(U16At(file, 48 + 14), 12000);
    EXPECT_EQ(U32At(file, 48 + 76 + 20), 6553600u / 165);
    // Every object lies inside the header's box.
    for (size_t i = 0; i < count; ++i) {
        int32_t lat = static_cast<int32_t>(U32At(file, 48 + 76 * i + 26));
        int32_t lon = static_cast<int32_t>(U32At(file, 48 + 76 * i + 32));
        EXPECT_GE(lat, static_cast<int32_t>(U32At(file, 16)));
        EXPECT_LE(lat, static_cast<int32_t>(U32At(file, 20)));
        EXPECT_GE(lon, static_cast<int32_t>(U32At(file, 24)));
        EXPECT_LE(lon, static_cast<int32_t>(U32At(file, 28)));
    }
}

TEST_F(Examples, TheLanguagesSessionPlaysInGermanToo) {
    sim::SessionOptions options = Options();
    options.language = platform::LANGUAGE_GERMAN;
    SessionRun run = RunExample("languages.session", options);
    ASSERT_TRUE(run.result.ok()) << run.Error() << run.transcript;
    ASSERT_FALSE(run.result.boxes.empty());
    for (const sim::MessageBox& box : run.result.boxes) {
        EXPECT_EQ(box.title, "Orvanta Editor - Achtung");
    }
    ASSERT_FALSE(run.result.dialogs.empty());
    EXPECT_EQ(run.result.dialogs[0], "Orvanta: Objekteigenschaften");
    EXPECT_NE(run.transcript.find("NEUES OBJEKT HINZUFÜGEN"), std::string::npos);
}

TEST_F(Examples, TheLanguagesSessionIsItalianByItself) {
    sim::SessionOptions options = Options();
    options.language.reset();
    SessionRun run = RunExample("languages.session", options);
    ASSERT_TRUE(run.result.ok()) << run.Error();
    ASSERT_FALSE(run.result.boxes.empty());
    EXPECT_EQ(run.result.boxes[0].title, "Orvanta Editor - AVVISO");
    EXPECT_NE(run.transcript.find("PROPRIETÀ DELL'OGGETTO"), std::string::npos);
}

}  // namespace
