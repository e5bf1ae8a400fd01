// The scenery file tools behind `tavu catalog`, `dump`, `check` and `map`.
// Each Run function is what its subcommand's callback calls: it writes to the
// streams it is given and returns the exit code. The pieces that work on
// bytes alone are public too, for the tests and the fuzz target.
#pragma once

#include <stdint.h>

#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "scenery/record.h"
#include "sim/scenery_file.h"
#include "tools/tavu/scenery_info.h"

namespace tavu {

// tavu catalog
struct CatalogOptions {
    std::string group;  // empty: every group; else a group name, any case
    bool json = false;
};
int RunCatalog(const CatalogOptions& options, std::ostream& out, std::ostream& err);
// The whole catalog, or one group and its entries (groupIndex >= 0).
nlohmann::ordered_json CatalogJson(int groupIndex = -1);
int FindGroupByName(const std::string& name);  // -1 when no group has it

// tavu dump
struct DumpOptions {
    std::string file;
    bool json = false;
};
int RunDump(const DumpOptions& options, std::ostream& out, std::ostream& err);
void WriteDumpText(const LoadedScenery& scenery, std::ostream& out);
nlohmann::ordered_json DumpJson(const LoadedScenery& scenery);

// tavu check
struct CheckOptions {
    std::vector<std::string> files;
};
int RunCheck(const CheckOptions& options, std::ostream& out, std::ostream& err);
// Everything the reader reported, then what a save's bounds and the catalog
// say about the records, in file order within each part.
std::vector<sim::SceneryFileIssue> CheckScenery(const sim::SceneryFile& file);

// tavu map
// Labels a map draws at most unless told otherwise (--max-labels).
inline constexpr size_t kMaxLabels = 2000;
struct MapOptions {
    std::vector<std::string> files;
    std::string output;           // "-" writes to `out`
    std::optional<bool> labels;   // unset: labels where they fit, while there are few objects
    size_t maxLabels = kMaxLabels;
    std::string title;            // empty: made from the file names
    bool fitBounds = false;       // frame the scenery bounds too, not only the objects
};
int RunMap(const MapOptions& options, std::ostream& out, std::ostream& err);

struct MapScenery {
    std::string name;
    sim::SceneryHeaderFields header;
    bool hasHeader = false;
    std::vector<ObjectRecord> records;
};
// Labels never overlap one another; the legend counts those left out.
enum class MapLabels {
    WhereTheyFit,  // a label only where it covers no symbol either
    All,           // a label for every object where one fits beside it, over symbols if need be
    None,
};
struct MapStyle {
    MapLabels labels = MapLabels::WhereTheyFit;
    size_t maxLabels = kMaxLabels;
    std::string title;
    bool fitBounds = false;
    bool showProgress = false;  // on standard error, when it is a terminal
};
// Above this many objects the map leaves the labels out unless asked.
inline constexpr size_t kMaxAutoLabels = 150;
struct MapDrawn {
    size_t labels = 0;
    size_t labelsLeftOut = 0;
};
std::string RenderMap(std::span<const MapScenery> sceneries, const MapStyle& style,
                      MapDrawn* drawn = nullptr);

// The 12 group colours every drawing uses, by group index; the colour of an
// object the catalog does not know.
const char* GroupColour(int groupIndex);
inline constexpr char kUnknownColour[] = "#333333";

}  // namespace tavu
