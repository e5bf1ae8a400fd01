// Feeds arbitrary bytes through everything `tavu dump`, `tavu check` and
// `tavu map` do with a file's bytes once they are read, and holds the reader
// to the promises the tools rely on.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <sstream>
#include <vector>

#include "fuzz/require.h"
#include "sim/scenery_file.h"
#include "tools/tavu/file_commands.h"
#include "tools/tavu/scenery_info.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    tavu::LoadedScenery scenery;
    scenery.path = "fuzz.tsc";
    scenery.bytes.assign(data, data + size);
    scenery.file = sim::ReadSceneryFile(scenery.bytes);
    const sim::SceneryFile& file = scenery.file;

    // Every issue points into the file (or just past its end) and at a
    // record the file could hold.
    for (const sim::SceneryFileIssue& issue : file.issues) {
        Require(issue.offset <= size);
        Require(!issue.message.empty());
        Require(issue.record < 0 || tavu::RecordOffset(static_cast<size_t>(issue.record)) <= size);
    }
    // Records are there exactly when the sizes agree, and a sound file
    // encodes back to its own bytes.
    if (!file.records.empty()) {
        Require(file.records.size() == static_cast<size_t>(file.header.count));
        Require(tavu::RecordOffset(file.records.size()) == size);
    }
    if (file.ok()) {
        Require(file.hasHeader);
        Require(sim::EncodeSceneryFile(file.header, file.records) == scenery.bytes);
    }

    for (const sim::SceneryFileIssue& issue : tavu::CheckScenery(file)) {
        Require(issue.offset <= size);
    }
    std::ostringstream text;
    tavu::WriteDumpText(scenery, text);
    std::ostringstream json;
    tavu::WriteDumpJson(scenery, json);
    Require(nlohmann::json::accept(json.str()));

    std::vector<ObjectRecord> records = tavu::ReadableRecords(scenery.bytes, file);
    Require(tavu::RecordOffset(records.size()) <= size || records.empty());
    tavu::MapScenery map;
    map.name = "fuzz.tsc";
    map.header = file.header;
    map.hasHeader = tavu::HeaderIsMeaningful(file);
    map.records = std::move(records);
    tavu::MapStyle style;
    style.labels = tavu::MapLabels::All;
    style.fitBounds = size % 2 == 1;  // both framings, decided by the input
    std::string svg = tavu::RenderMap(std::span(&map, 1), style);
    Require(svg.find("</svg>") != std::string::npos);
    return 0;
}
