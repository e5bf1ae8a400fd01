// The scenery file tools behind `tavu catalog`, `dump`, `check`, `diff` and `map`.
// Each Run function is what its subcommand's callback calls: it writes to the
// streams it is given and returns the exit code. The pieces that work on
// bytes alone are public too, for the tests and the fuzz target.
#pragma once

#include <stdint.h>

#include <functional>
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

// tavu dump
struct DumpOptions {
    std::string file;
    bool json = false;
    bool progress = false;  // on a terminal's standard error
};
int RunDump(const DumpOptions& options, std::ostream& out, std::ostream& err);
// Both write each record as it is read, one step of `progress` each.
class Progress;
void WriteDumpText(const LoadedScenery& scenery, std::ostream& out, Progress* progress = nullptr);
// One JSON document, indented by 2.
void WriteDumpJson(const LoadedScenery& scenery, std::ostream& out, Progress* progress = nullptr);

// tavu check
struct CheckOptions {
    std::vector<std::string> files;
    bool json = false;
    bool quiet = false;     // nothing on stdout; the exit code alone
    bool progress = false;  // on a terminal's standard error
};
int RunCheck(const CheckOptions& options, std::ostream& out, std::ostream& err);
// Of each kind of issue in a file, this many are listed; a line counts the rest.
inline constexpr size_t kListedPerKind = 20;
// Everything the reader reported, then what a save's bounds and the catalog
// say about the records, in file order within each part; one by one to
// `sink`, with one step of `progress` per record.
void CheckScenery(const sim::SceneryFile& file, const std::function<void(sim::SceneryFileIssue&&)>& sink,
                  Progress* progress = nullptr);
std::vector<sim::SceneryFileIssue> CheckScenery(const sim::SceneryFile& file);

// tavu diff
struct DiffOptions {
    std::string a, b;
    bool json = false;
};
int RunDiff(const DiffOptions& options, std::ostream& out, std::ostream& err);

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
