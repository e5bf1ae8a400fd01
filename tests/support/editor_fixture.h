// A module wired to the emulated host and player, as a real host would wire
// it, with sceneries whose files land in a temporary folder.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "catalog/catalog.h"
#include "module/host.h"
#include "placement/edit_state.h"
#include "platform/native.h"
#include "platform/resources.h"
#include "scenery/record.h"
#include "scenery/storage.h"
#include "sim/host.h"
#include "sim/player.h"

namespace testsupport {

inline std::string MakeTempFolder() {
    char pattern[] = "/tmp/tavu-test-XXXXXX";
    return mkdtemp(pattern);
}

inline std::vector<uint8_t> ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

inline uint32_t U32At(const std::vector<uint8_t>& bytes, size_t offset) {
    return bytes[offset] | bytes[offset + 1] << 8 | bytes[offset + 2] << 16 | uint32_t{bytes[offset + 3]} << 24;
}

// A record made from the template, as the editor makes them.
inline ObjectRecord MakeRecord(int32_t lat, int32_t lon, uint16_t maxDistance, int catalogEntry = 0) {
    ObjectRecord record;
    memcpy(&record, RecordTemplate, sizeof record);
    record.lat.integer = lat;
    record.lon.integer = lon;
    record.maxDistance = maxDistance;
    memcpy(record.objectKey, ObjectCatalog.entries[catalogEntry].objectKey, 16);
    return record;
}

class EditorTest : public testing::Test {
protected:
    EditorTest() : folder(MakeTempFolder()) {
        host.FillImportTable(ImportTable);
        state = EditState{};
        state.playerLinkage = player.Linkage();
        platform::ClearFileFaults();
        platform::ForceLanguage(platform::LANGUAGE_ENGLISH);
    }
    ~EditorTest() override {
        platform::ClearFileFaults();
        platform::ForceLanguage(0);
        std::filesystem::remove_all(folder);
    }

    std::string PathOf(const std::string& name) const { return folder + "/" + name; }

    // Adds a scenery to the player and makes it current through the module.
    int Take(const std::vector<ObjectRecord>& records, uint32_t flags = 0, const std::string& name = "s.tsc") {
        int index = player.AddScenery(PathOf(name), records, flags);
        player.chooser = [index](int32_t) { return index; };
        int32_t running = 0;
        EXPECT_EQ(SelectScenery(0, &running), 1);
        EXPECT_EQ(running, 1);
        player.chooser = nullptr;
        return index;
    }

    SceneryHeader* Header() const { return *state.currentScenery->header; }
    ObjectRecord* Record(int index) const { return Header()->records + index; }
    int32_t Index() const { return state.currentScenery->currentIndex; }

    int BoxesWith(int32_t textId) const {
        int n = 0;
        for (const sim::MessageBox& box : host.Boxes()) {
            n += box.textId == textId;
        }
        return n;
    }

    std::string folder;
    sim::Host host;
    sim::Player player{host};
};

}  // namespace testsupport
