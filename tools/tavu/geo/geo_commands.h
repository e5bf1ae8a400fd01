// tavu export and tavu import: sceneries to and from the geodata formats
// designers work with, through GDAL/OGR and PROJ. Only the tavu program links
// these (and GDAL); the module, the DLL and the other tools never do.
#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "scenery/record.h"

namespace tavu {

void AddExportCommand(CLI::App& app);
void AddImportCommand(CLI::App& app);
void AddGeoCommands(CLI::App& app);  // both

struct ExportOptions {
    std::vector<std::string> files;
    std::string output;
    std::string format;  // an OGR driver name; empty: chosen by the output's extension
};
int RunExport(const ExportOptions& options, std::ostream& out, std::ostream& err);

struct ImportOptions {
    std::string input;  // "-": standard input
    std::string output;
    std::string layer;  // empty: "objects" when the source has it, else its first layer
    std::string nameField = "name";
    std::optional<double> altitude;  // metres, for features without one
    bool append = false;
    bool dryRun = false;
    bool skipBad = false;
};
int RunImport(const ImportOptions& options, std::ostream& out, std::ostream& err);

// Degrees and metres to the record's encodings, rounded to the nearest
// step a record holds: 1/65536 of a metre or longitude unit, 1/65536 turn.
Position48 RecordLatitude(double degrees);
Position48 RecordLongitude(double degrees);  // wrapped into -180 up to 180
Position48 RecordAltitude(double metres);
int16_t RecordAngle(double degrees);

// The catalog entry a typed object name stands for, ignoring case and runs of
// spaces; -1 with a reason (and a suggestion when one is close) otherwise.
struct ObjectLookup {
    int entry = -1;
    std::string reason;
};
ObjectLookup LookUpObject(const std::string& typed);

}  // namespace tavu
