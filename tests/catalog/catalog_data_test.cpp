// The built-in object catalog: every value as `tavu catalog --json` printed it
// when catalog.json was checked in, and the rules the editor relies on.
#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "catalog/catalog.h"
#include "tools/tavu/file_commands.h"

namespace {

const ObjectCatalogData& Cat = ObjectCatalog;

// A fixed-size text field, failing the test if it has no terminator.
template <size_t N>
std::string Text(const char (&field)[N]) {
    EXPECT_NE(memchr(field, 0, N), nullptr) << "field not NUL-terminated";
    return std::string(field, strnlen(field, N));
}

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return tolower(c); });
    return s;
}

// Any change to the catalog is deliberate: regenerate catalog.json with
// `tavu catalog --json` and review its diff.
TEST(CatalogData, IsExactlyTheCheckedInCatalog) {
    std::ifstream file(std::filesystem::path(__FILE__).parent_path() / "catalog.json");
    ASSERT_TRUE(file) << "catalog.json beside this file";
    const nlohmann::ordered_json expected = nlohmann::ordered_json::parse(file);
    const nlohmann::ordered_json actual = tavu::CatalogJson();
    EXPECT_TRUE(actual == expected) << "what differs from catalog.json:\n"
                                    << nlohmann::ordered_json::diff(expected, actual).dump(1).substr(0, 2000);
    EXPECT_EQ(Cat.groupCount, CATALOG_GROUP_COUNT) << "the counts are data, and must match the arrays";
    EXPECT_EQ(Cat.entryCount, CATALOG_ENTRY_COUNT);
}

// The object list shows one group's range; FindCatalogEntry maps an entry
// back to its group through the key.
TEST(CatalogData, GroupRangesPartitionTheEntries) {
    int32_t next = 0;
    for (int g = 0; g < Cat.groupCount; ++g) {
        const CatalogGroup& group = Cat.groups[g];
        EXPECT_EQ(group.key, static_cast<uint32_t>(g + 1));
        EXPECT_EQ(group.first, next) << "ranges adjoin, in order, none empty";
        EXPECT_LE(group.first, group.last);
        Text(group.name);
        for (int32_t i = group.first; i <= group.last && i < Cat.entryCount; ++i) {
            EXPECT_EQ(Cat.entries[i].groupKey, group.key) << "entry " << i;
        }
        next = group.last + 1;
    }
    EXPECT_EQ(next, Cat.entryCount) << "ranges end at the last entry";
}

// The dialog selects an object by prefix in a list sorted without regard to
// case: a name must come before every longer name that begins with it.
TEST(CatalogData, NamesAreUniqueFitTheirFieldAndPrefixesComeFirst) {
    std::set<std::string> seen;
    int prefixPairs = 0;
    for (int a = 0; a < Cat.entryCount; ++a) {
        const std::string name = Text(Cat.entries[a].name);
        EXPECT_FALSE(name.empty()) << "entry " << a;
        EXPECT_LE(name.size(), 31u) << name;
        EXPECT_TRUE(seen.insert(name).second) << "duplicate name " << name;
        const std::string la = Lower(name);
        for (int b = 0; b < Cat.entryCount; ++b) {
            const std::string lb = Lower(Cat.entries[b].name);
            if (Cat.entries[a].groupKey == Cat.entries[b].groupKey && lb.size() > la.size() &&
                lb.compare(0, la.size(), la) == 0) {
                ++prefixPairs;
                EXPECT_LT(a, b) << name << " / " << Cat.entries[b].name;
            }
        }
    }
    EXPECT_GE(prefixPairs, 5) << "the known prefix pairs (Blast fence, Port crane, Radar shack...) vanished";
}

// Keys identify placed objects in scenery files: unique, in-house keys
// "QIROTrf" + library digit + little-endian 1 + object number, host keys
// time-based GUIDs. Only in-house objects take a fixed-scale code and a size.
TEST(CatalogData, KeysAreUniqueAndWellFormed) {
    std::set<std::string> keys;
    for (int i = 0; i < Cat.entryCount; ++i) {
        const CatalogEntry& entry = Cat.entries[i];
        const std::string key(reinterpret_cast<const char*>(entry.objectKey), 16);
        SCOPED_TRACE(entry.name);
        EXPECT_TRUE(keys.insert(key).second) << "duplicate key";
        EXPECT_EQ(entry.tag, 0);
        if (key.compare(0, 7, "QIROTrf") == 0) {
            EXPECT_TRUE(key[7] >= '1' && key[7] <= '6') << "library digit";
            EXPECT_EQ(key.substr(8, 4), std::string("\x01\x00\x00\x00", 4));
            EXPECT_GT(entry.size, 0);
        } else {
            EXPECT_EQ(static_cast<uint8_t>(key[7]) >> 4, 1) << "GUID version 1";
            EXPECT_EQ(static_cast<uint8_t>(key[8]) & 0xC0, 0x80) << "RFC 4122 variant";
            EXPECT_GT(entry.defaultScale, 0) << "host objects cannot take a fixed-scale code";
            EXPECT_EQ(entry.size, 0);
        }
    }
}

// Preview file names fit the dialog's path buffer. Only a lit vehicle and its
// unlit variant share a picture (one of them spelled in other letter case).
TEST(CatalogData, BitmapsFitAndAreSharedOnlyByVariantsOfOneObject) {
    std::map<std::string, std::vector<int>> users;  // by case-folded name
    for (int i = 0; i < Cat.entryCount; ++i) {
        const std::string bitmap = Text(Cat.entries[i].bitmap);
        EXPECT_LE(bitmap.size(), 19u) << bitmap;
        EXPECT_TRUE(bitmap.size() > 4 && bitmap.compare(bitmap.size() - 4, 4, ".BMP") == 0) << bitmap;
        users[Lower(bitmap)].push_back(i);
    }
    int shared = 0;
    for (const auto& [bitmap, entries] : users) {
        ASSERT_LE(entries.size(), 2u) << bitmap;
        if (entries.size() == 2) {
            const CatalogEntry &a = Cat.entries[entries[0]], &b = Cat.entries[entries[1]];
            ++shared;
            EXPECT_EQ(a.groupKey, b.groupKey) << bitmap;
            EXPECT_EQ(a.size, b.size) << bitmap;
            EXPECT_EQ(a.defaultMaxDistance, b.defaultMaxDistance) << bitmap;
        }
    }
    EXPECT_EQ(shared, 15);
}

}  // namespace
