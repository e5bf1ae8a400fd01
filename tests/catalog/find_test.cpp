// Finding catalog entries by their 16-byte key.
#include <gtest/gtest.h>
#include <string.h>

#include "catalog/catalog.h"
#include "module/host.h"
#include "sim/host.h"

namespace {

class Find : public testing::Test {
protected:
    Find() { host.FillImportTable(ImportTable); }
    bool Lookup(const uint8_t* key) { return FindCatalogEntry(key, &entry, &group) == 1; }
    sim::Host host;
    int32_t entry = -7, group = -9;
};

TEST_F(Find, FirstLastAndEveryEntryByItsOwnKey) {
    const uint8_t first[16] = {'Q', 'I', 'R', 'O', 'T', 'r', 'f', '6', 1, 0, 0, 0, 38, 0, 0, 0};
    ASSERT_TRUE(Lookup(first));
    EXPECT_EQ(entry, 0);
    EXPECT_EQ(group, 0);
    const uint8_t last[16] = {'Q', 'I', 'R', 'O', 'T', 'r', 'f', '6', 1, 0, 0, 0, 4, 0, 0, 0};
    ASSERT_TRUE(Lookup(last));
    EXPECT_EQ(entry, 325);
    EXPECT_EQ(group, 11);

    for (int32_t i = 0; i < ObjectCatalog.entryCount; ++i) {
        ASSERT_TRUE(Lookup(ObjectCatalog.entries[i].objectKey)) << i;
        EXPECT_EQ(entry, i);
        EXPECT_EQ(ObjectCatalog.groups[group].key, ObjectCatalog.entries[i].groupKey);
        EXPECT_GE(i, ObjectCatalog.groups[group].first);
        EXPECT_LE(i, ObjectCatalog.groups[group].last);
    }
}

TEST_F(Find, GuidKeysMatchOnlyInTheirStoredByteOrder) {
    // {52019E40-036E-11D3-9C85-00105A0CE62A}
    const uint8_t blimp[16] = {0x40, 0x9E, 0x01, 0x52, 0x6E, 0x03, 0xD3, 0x11,
                               0x9C, 0x85, 0x00, 0x10, 0x5A, 0x0C, 0xE6, 0x2A};
    ASSERT_TRUE(Lookup(blimp));
    EXPECT_EQ(entry, 13);
    EXPECT_EQ(group, 0);
    const uint8_t bigEndian[16] = {0x52, 0x01, 0x9E, 0x40, 0x03, 0x6E, 0x11, 0xD3,
                                   0x9C, 0x85, 0x00, 0x10, 0x5A, 0x0C, 0xE6, 0x2A};
    entry = -7;
    EXPECT_FALSE(Lookup(bigEndian));
    EXPECT_EQ(entry, -7);
}

TEST_F(Find, NearMissesAreOtherKeysAndLeaveTheIndexesAlone) {
    uint8_t key[16];
    memcpy(key, ObjectCatalog.entries[174].objectKey, 16);  // "QIROTrf1" object 6
    key[12] = 55;  // beyond the library's objects 0 to 54
    EXPECT_FALSE(Lookup(key));
    EXPECT_EQ(entry, -7);
    EXPECT_EQ(group, -9);

    memcpy(key, ObjectCatalog.entries[174].objectKey, 16);
    key[7] = '7';  // no library "QIROTrf7"
    EXPECT_FALSE(Lookup(key));

    memcpy(key, ObjectCatalog.entries[174].objectKey, 16);
    key[7] = '2';  // "QIROTrf2" object 6 is another entry, or none
    if (Lookup(key)) {
        EXPECT_NE(entry, 174);
    }
    const uint8_t zero[16] = {};
    EXPECT_FALSE(Lookup(zero));
}

}  // namespace
