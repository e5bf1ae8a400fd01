// Invariants of the built-in object catalog table.
#include <gtest/gtest.h>
#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "catalog/catalog.h"

namespace {

const ObjectCatalogData& Cat = ObjectCatalog;

// Reads a fixed-size text field, failing the test if it has no terminator.
template <size_t N>
std::string Text(const char (&field)[N]) {
    const void* nul = memchr(field, 0, N);
    EXPECT_NE(nul, nullptr) << "field not NUL-terminated";
    return nul ? std::string(field, static_cast<const char*>(nul) - field) : std::string(field, N);
}

std::string Name(int i) { return Text(Cat.entries[i].name); }
std::string Bitmap(int i) { return Text(Cat.entries[i].bitmap); }
std::string Key(int i) {
    return std::string(reinterpret_cast<const char*>(Cat.entries[i].objectKey), 16);
}

std::string Lower(std::string s) {
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return s;
}

std::string InHouseKey(int lib, uint32_t number) {
    std::string k = "QIROTrf";
    k += static_cast<char>('0' + lib);
    k += std::string("\x01\x00\x00\x00", 4);
    for (int b = 0; b < 4; ++b) k += static_cast<char>((number >> (8 * b)) & 0xFF);
    return k;
}

std::string Bytes(std::initializer_list<uint8_t> bytes) {
    return std::string(bytes.begin(), bytes.end());
}

// Library digit 1..6 of an in-house key, or 0 for any other key.
int InHouseLibrary(const std::string& key) {
    if (key.compare(0, 7, "QIROTrf") != 0 || key[7] < '1' || key[7] > '6') return 0;
    if (key.compare(8, 4, std::string("\x01\x00\x00\x00", 4)) != 0) return 0;
    return key[7] - '0';
}

uint32_t InHouseNumber(const std::string& key) {
    uint32_t n = 0;
    for (int b = 3; b >= 0; --b) n = (n << 8) | static_cast<uint8_t>(key[12 + b]);
    return n;
}

int IndexOf(const std::string& name) {
    for (int i = 0; i < Cat.entryCount; ++i) {
        if (Name(i) == name) return i;
    }
    ADD_FAILURE() << "no entry named \"" << name << "\"";
    return -1;
}

bool IsHost(int i) { return InHouseLibrary(Key(i)) == 0; }

struct GroupRow {
    uint32_t key;
    int32_t first;
    int32_t last;
    const char* name;
    const char* firstEntry;
    const char* lastEntry;
};

const GroupRow kGroups[] = {
    {1, 0, 17, "Aircraft", "B737 Air France", "Hot air ballon"},
    {2, 18, 38, "Airport Buildings", "Fence 1", "Fence 5 (very long)"},
    {3, 39, 48, "Airport Lighting", "Obstacle light, red", "Platform light pole 3"},
    {4, 49, 107, "Airport Objects", "Airbus container Egypt Air", "Blast fence, red"},
    {5, 108, 160, "Airport Support Vehicles", "Airconditioning unit", "Bird control vehicle (n.l.)"},
    {6, 161, 200, "Animals", "Antilope", "Geese"},
    {7, 201, 208, "Civilian Vehicles", "Car, blue", "Truck with trailer (n.l.)"},
    {8, 209, 233, "Generic Buildings", "Highrise, black", "Skyscraper, white"},
    {9, 234, 270, "Generic Objects", "Castle", "Swimming pool"},
    {10, 271, 290, "Humans", "Aircraft spotters", "Pilot with suitcase"},
    {11, 291, 299, "Ships", "Aircraft carrier", "Small boat 4"},
    {12, 300, 325, "Vegetation", "Tree  1", "Tree 14"},
};

int GroupOfEntry(int entry) {
    for (int g = 0; g < CATALOG_GROUP_COUNT; ++g) {
        if (entry >= Cat.groups[g].first && entry <= Cat.groups[g].last) return g;
    }
    return -1;
}

TEST(CatalogData, GroupTableAndCountsAreExact) {
    // The counts are read from the table at run time, not from the enum.
    EXPECT_EQ(Cat.groupCount, 12);
    EXPECT_EQ(Cat.entryCount, 326);
    ASSERT_EQ(CATALOG_GROUP_COUNT, 12);
    ASSERT_EQ(CATALOG_ENTRY_COUNT, 326);

    for (int g = 0; g < CATALOG_GROUP_COUNT; ++g) {
        SCOPED_TRACE(g);
        EXPECT_EQ(Cat.groups[g].key, kGroups[g].key);
        EXPECT_EQ(Cat.groups[g].key, static_cast<uint32_t>(g + 1));
        EXPECT_EQ(Cat.groups[g].first, kGroups[g].first);
        EXPECT_EQ(Cat.groups[g].last, kGroups[g].last);
        EXPECT_EQ(Text(Cat.groups[g].name), kGroups[g].name);
    }
}

TEST(CatalogData, GroupRangesPartitionTheEntries) {
    int32_t expectedFirst = 0;
    for (int g = 0; g < Cat.groupCount; ++g) {
        SCOPED_TRACE(g);
        EXPECT_EQ(Cat.groups[g].first, expectedFirst) << "ranges must adjoin";
        EXPECT_LE(Cat.groups[g].first, Cat.groups[g].last);
        expectedFirst = Cat.groups[g].last + 1;
    }
    EXPECT_EQ(expectedFirst, Cat.entryCount) << "ranges must end at the last entry";

    for (int i = 0; i < Cat.entryCount; ++i) {
        const int g = GroupOfEntry(i);
        ASSERT_GE(g, 0) << "entry " << i << " outside every group";
        EXPECT_EQ(Cat.entries[i].groupKey, Cat.groups[g].key) << "entry " << i << " " << Name(i);
    }
}

TEST(CatalogData, NamesAreExactAtBoundariesUniqueAndPrefixOrdered) {
    for (const GroupRow& g : kGroups) {
        EXPECT_EQ(Name(g.first), g.firstEntry);
        EXPECT_EQ(Name(g.last), g.lastEntry);
    }
    // Spellings the placed-object files depend on; they must not be "fixed".
    EXPECT_EQ(Name(4), "B747-400 Britsh Airways");
    EXPECT_EQ(Name(17), "Hot air ballon");
    EXPECT_EQ(Name(161), "Antilope");
    for (int n = 1; n <= 9; ++n) {
        EXPECT_EQ(Name(299 + n), "Tree  " + std::to_string(n));
        EXPECT_EQ(Name(308 + n), "Tree line  " + std::to_string(n));
    }
    for (int n = 10; n <= 12; ++n) EXPECT_EQ(Name(308 + n), "Tree line " + std::to_string(n));
    for (int n = 10; n <= 14; ++n) EXPECT_EQ(Name(311 + n), "Tree " + std::to_string(n));

    std::set<std::string> seen;
    for (int i = 0; i < Cat.entryCount; ++i) {
        const std::string name = Name(i);
        EXPECT_FALSE(name.empty()) << "entry " << i;
        EXPECT_LE(name.size(), 31u) << name;
        EXPECT_TRUE(seen.insert(name).second) << "duplicate name " << name;
    }

    // Where one name extends another within a group, the shorter one must
    // sort first case-insensitively and be listed first.
    int prefixPairs = 0;
    for (const GroupRow& g : kGroups) {
        for (int a = g.first; a <= g.last; ++a) {
            for (int b = g.first; b <= g.last; ++b) {
                const std::string la = Lower(Name(a)), lb = Lower(Name(b));
                if (a == b || lb.size() <= la.size() || lb.compare(0, la.size(), la) != 0) continue;
                ++prefixPairs;
                EXPECT_LT(la, lb);
                EXPECT_LT(a, b) << Name(a) << " / " << Name(b);
            }
        }
    }
    EXPECT_GE(prefixPairs, 5) << "the known prefix pairs (Blast fence, Port crane, Radar shack...) vanished";
}

TEST(CatalogData, KnownRowsAreExact) {
    struct Row {
        int index;
        std::string key;
        int32_t scale;
        uint32_t distance;
        uint16_t size;
        const char* name;
        const char* bitmap;
    };
    const std::string blimp = Bytes({0x40, 0x9E, 0x01, 0x52, 0x6E, 0x03, 0xD3, 0x11,
                                     0x9C, 0x85, 0x00, 0x10, 0x5A, 0x0C, 0xE6, 0x2A});
    const std::string carrier = Bytes({0x9E, 0xA2, 0x45, 0xC5, 0xEC, 0xE2, 0xD2, 0x11,
                                       0x9C, 0x84, 0x00, 0x10, 0x5A, 0x0C, 0xE6, 0x2A});
    const Row rows[] = {
        {0, InHouseKey(6, 38), -7, 1400, 640, "B737 Air France", "SfB737-AirFr.BMP"},
        {1, InHouseKey(3, 0), -7, 9000, 640, "B737 Delta", "SfB737_Delta.BMP"},
        {13, blimp, 50, 2000, 0, "Microsoft blimp", "SCO_blimp.BMP"},
        {17, InHouseKey(6, 37), -9, 4000, 3200, "Hot air ballon", "HotAirBalloon.BMP"},
        {83, InHouseKey(4, 24), 1, 1000, 20, "Pallet with netted cargo 1", "PalletCargo_1.BMP"},
        {94, InHouseKey(2, 51), -5, 400, 64, "Traffic cone", "TrafficCone.BMP"},
        {174, InHouseKey(1, 6), 220, 1800, 20, "Elephant 1", "Elephant_1.BMP"},
        {235, InHouseKey(2, 0), 100, 16000, 220, "Chimney 1", "Chimney_1.BMP"},
        {272, InHouseKey(4, 53), -12, 150, 16, "Cleaner", "People_8.BMP"},
        {291, carrier, 120, 8000, 0, "Aircraft carrier", "VEHcarrier1.BMP"},
        {325, InHouseKey(6, 4), 100, 3000, 44, "Tree 14", "Tree_14.BMP"},
    };
    // The in-house key layout written out once by hand.
    EXPECT_EQ(InHouseKey(6, 38), Bytes({'Q', 'I', 'R', 'O', 'T', 'r', 'f', '6', 1, 0, 0, 0, 0x26, 0, 0, 0}));

    for (const Row& r : rows) {
        SCOPED_TRACE(r.index);
        const CatalogEntry& e = Cat.entries[r.index];
        EXPECT_EQ(Key(r.index), r.key);
        EXPECT_EQ(e.defaultScale, r.scale);
        EXPECT_EQ(e.defaultMaxDistance, r.distance);
        EXPECT_EQ(e.tag, 0);
        EXPECT_EQ(e.size, r.size);
        EXPECT_EQ(Name(r.index), r.name);
        EXPECT_EQ(Bitmap(r.index), r.bitmap);
    }
}

TEST(CatalogData, KeysAreUniqueAndLibrariesComplete) {
    std::set<std::string> keys;
    std::map<int, std::vector<uint32_t>> numbers;  // library -> object numbers
    int hostCount = 0;
    for (int i = 0; i < Cat.entryCount; ++i) {
        const std::string key = Key(i);
        EXPECT_TRUE(keys.insert(key).second) << "duplicate key at " << i << " " << Name(i);
        const int lib = InHouseLibrary(key);
        if (lib != 0) {
            numbers[lib].push_back(InHouseNumber(key));
            continue;
        }
        ++hostCount;
        // Host GUIDs are time-based: version 1, RFC 4122 variant.
        EXPECT_EQ(static_cast<uint8_t>(key[7]) >> 4, 1) << Name(i);
        EXPECT_EQ(static_cast<uint8_t>(key[8]) & 0xC0, 0x80) << Name(i);
        EXPECT_NE(key.compare(0, 7, "QIROTrf"), 0) << "malformed in-house key at " << Name(i);
    }
    EXPECT_EQ(hostCount, 74);

    auto sorted = [&](int lib) {
        std::vector<uint32_t> v = numbers[lib];
        std::sort(v.begin(), v.end());
        EXPECT_EQ(std::adjacent_find(v.begin(), v.end()), v.end()) << "library " << lib;
        return v;
    };
    auto range = [](uint32_t n) {
        std::vector<uint32_t> v(n);
        for (uint32_t i = 0; i < n; ++i) v[i] = i;
        return v;
    };
    EXPECT_EQ(sorted(1), range(55));
    EXPECT_EQ(sorted(3), range(15));
    EXPECT_EQ(sorted(4), range(62));
    EXPECT_EQ(sorted(5), range(32));
    const std::vector<uint32_t> lib2 = sorted(2), lib6 = sorted(6);
    ASSERT_EQ(lib2.size(), 45u);
    EXPECT_EQ(lib2.front(), 0u);
    EXPECT_EQ(lib2.back(), 52u);
    ASSERT_EQ(lib6.size(), 43u);
    EXPECT_EQ(lib6.front(), 0u);
    EXPECT_EQ(lib6.back(), 44u);
    EXPECT_EQ(numbers.size(), 6u);
}

TEST(CatalogData, ScaleDistanceAndSizeRules) {
    std::map<int32_t, int> scales;
    std::map<uint32_t, int> distances;
    std::set<int32_t> codes;
    int fixed = 0;
    for (int i = 0; i < Cat.entryCount; ++i) {
        SCOPED_TRACE(Name(i));
        const CatalogEntry& e = Cat.entries[i];
        ++scales[e.defaultScale];
        ++distances[e.defaultMaxDistance];
        EXPECT_EQ(e.tag, 0);

        EXPECT_NE(e.defaultScale, 0);
        EXPECT_LE(e.defaultScale, 220);
        if (e.defaultScale < 0) {
            ++fixed;
            codes.insert(e.defaultScale);
            EXPECT_FALSE(IsHost(i)) << "host objects cannot take a fixed-scale code";
        }
        EXPECT_EQ(e.defaultScale == 220, i == 174);

        EXPECT_GE(e.defaultMaxDistance, 150u);
        EXPECT_LE(e.defaultMaxDistance, 16000u);
        EXPECT_EQ(e.defaultMaxDistance == 16000, i == 235);

        if (IsHost(i)) {
            EXPECT_EQ(e.size, 0);
        } else {
            EXPECT_GE(e.size, 16);
            EXPECT_LE(e.size, 3200);
        }
        EXPECT_EQ(e.size == 3200, i == 17);
    }
    EXPECT_EQ(fixed, 64);
    EXPECT_EQ(codes, (std::set<int32_t>{-12, -11, -10, -9, -7, -5}));
    EXPECT_EQ(scales[1], 16);
    const int atFullScale = scales[100];
    EXPECT_EQ(atFullScale, 47);
    for (const auto& [value, count] : scales) {
        if (value != 100) {
            EXPECT_LT(count, atFullScale) << "scale " << value << " rivals 100";
        }
    }
    EXPECT_EQ(distances[150], 13);
    const int atUsualRange = distances[3000];
    EXPECT_EQ(atUsualRange, 50);
    for (const auto& [value, count] : distances) {
        if (value != 3000) {
            EXPECT_LT(count, atUsualRange) << "distance " << value << " rivals 3000";
        }
    }
}

// A lit vehicle and its unlit variant are the same model.
const std::pair<const char*, const char*> kLightVariants[] = {
    {"De-icing truck (Volvo)", "De-icing truck (no lights)"},
    {"Lavatory vehicle", "Lavatory vehicle (no lights)"},
    {"Fuel truck, large, BP", "Fuel truck, large, BP (n.l.)"},
    {"Fuel truck, small, Esso", "Fuel truck, small, Esso (n.l.)"},
    {"Fuel truck, small, Total", "Fuel truck, small, Total (n.l.)"},
    {"Fire fighting vehicle", "Fire fighting veh. (n.l.)"},
    {"Ambulance", "Ambulance (no lights)"},
    {"Snow plow 2", "Snow plow 2 (no lights)"},
    {"Passenger stairs 2", "Passenger stairs 2 (n.l.)"},
    {"Follow-me car", "Follow-me car (no lights)"},
    {"Aircraft maint. vehicle", "Aircraft maint. vehicle (n.l.)"},
    {"Police car", "Police car (no lights)"},
    {"Bird control vehicle", "Bird control vehicle (n.l.)"},
    {"Truck with trailer", "Truck with trailer (n.l.)"},
    {"Truck without trailer", "Truck without trailer (n.l.)"},
};

TEST(CatalogData, BitmapsAreSharedOnlyByLightVariants) {
    std::map<std::string, std::vector<int>> byFile;  // case-folded name -> entries
    for (int i = 0; i < Cat.entryCount; ++i) {
        const std::string bmp = Bitmap(i);
        EXPECT_LE(bmp.size(), 19u) << bmp;
        EXPECT_TRUE(bmp.size() > 4 && bmp.compare(bmp.size() - 4, 4, ".BMP") == 0) << bmp;
        byFile[Lower(bmp)].push_back(i);
    }

    std::set<std::pair<int, int>> shared;
    for (const auto& [file, users] : byFile) {
        EXPECT_LE(users.size(), 2u) << file;
        if (users.size() == 2) shared.insert({users[0], users[1]});
    }
    std::set<std::pair<int, int>> expected;
    for (const auto& [lit, unlit] : kLightVariants) {
        const int a = IndexOf(lit), b = IndexOf(unlit);
        expected.insert({std::min(a, b), std::max(a, b)});
        EXPECT_EQ(Cat.entries[a].groupKey, Cat.entries[b].groupKey) << lit;
        EXPECT_EQ(Cat.entries[a].size, Cat.entries[b].size) << lit;
        EXPECT_EQ(Cat.entries[a].defaultMaxDistance, Cat.entries[b].defaultMaxDistance) << lit;
    }
    EXPECT_EQ(shared, expected);

    // Exactly one pair differs in case only; the file system does not care.
    int caseOnly = 0;
    for (const auto& [a, b] : shared) {
        if (Bitmap(a) != Bitmap(b)) ++caseOnly;
    }
    EXPECT_EQ(caseOnly, 1);
    EXPECT_EQ(Bitmap(IndexOf("Bird control vehicle")), "Birdvehicle.BMP");
    EXPECT_EQ(Bitmap(IndexOf("Bird control vehicle (n.l.)")), "BirdVehicle.BMP");
}

TEST(CatalogData, ValuesArePlausiblePerKind) {
    auto groupEntries = [](uint32_t key) {
        const CatalogGroup& g = Cat.groups[key - 1];
        std::vector<int> v;
        for (int i = g.first; i <= g.last; ++i) v.push_back(i);
        return v;
    };
    const std::vector<int> aircraft = groupEntries(1), animals = groupEntries(6), humans = groupEntries(10),
                           trees = groupEntries(12);

    // People are small and only seen close up; aircraft are seen from afar.
    uint32_t farthestHuman = 0;
    for (int i : humans) {
        EXPECT_FALSE(IsHost(i));
        EXPECT_LE(Cat.entries[i].size, 64) << Name(i);
        farthestHuman = std::max(farthestHuman, Cat.entries[i].defaultMaxDistance);
    }
    EXPECT_LE(farthestHuman, 500u);
    for (int i : aircraft) EXPECT_GE(Cat.entries[i].defaultMaxDistance, 1000u) << Name(i);
    for (int i : animals) EXPECT_LE(Cat.entries[i].defaultMaxDistance, 2000u) << Name(i);

    // In-house aircraft outsize every in-house human, animal and traffic cone.
    uint16_t smallestAircraft = UINT16_MAX;
    for (int i : aircraft) {
        if (!IsHost(i)) smallestAircraft = std::min(smallestAircraft, Cat.entries[i].size);
    }
    EXPECT_GT(smallestAircraft, Cat.entries[IndexOf("Traffic cone")].size);
    for (int i : humans) EXPECT_LT(Cat.entries[i].size, smallestAircraft);
    for (int i : animals) EXPECT_LT(Cat.entries[i].size, smallestAircraft);

    // A tree line covers more ground than any single tree.
    uint16_t largestTree = 0, smallestLine = UINT16_MAX;
    for (int i : trees) {
        if (Name(i).compare(0, 9, "Tree line") == 0) {
            smallestLine = std::min(smallestLine, Cat.entries[i].size);
        } else {
            largestTree = std::max(largestTree, Cat.entries[i].size);
        }
    }
    EXPECT_GT(smallestLine, 4 * largestTree);
}

}  // namespace
