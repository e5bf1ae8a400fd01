// tavu check: what is wrong in scenery files, and where.
//
// Beyond what the reader reports, a file is held against what the editor's
// save would have written for the same records: the header bounds, a zero
// reserved word, and the catalog's key and size. The flags are not: a save
// writes them as they are in memory, MODIFIED and IN_EDIT included, so any
// flags are normal in a file.
#include <stdio.h>
#include <string.h>

#include <iostream>

#include "catalog/catalog.h"
#include "tools/tavu/commands.h"
#include "tools/tavu/file_commands.h"

namespace tavu {

namespace {

using Severity = sim::SceneryFileIssue::Severity;

// Byte offsets of fields inside a record.
constexpr size_t kSizeField = 16;
constexpr size_t kReserved2Field = 56;
constexpr size_t kObjectKeyField = 58;

// A box beside ±180° wraps: its west edge lies east of its east edge as
// signed numbers. The editor and the player read it as running east across
// the meridian; a reader that compares the numbers finds it empty. Empty
// latitudes are the reader's own warning.
void CheckMeridian(const sim::SceneryHeaderFields& header, std::vector<sim::SceneryFileIssue>& issues) {
    if (header.minLat > header.maxLat || header.minLon <= header.maxLon) {
        return;
    }
    auto degrees = [](int32_t lon) { return FormatNumber(LongitudeDegrees(lon), 4) + "°"; };
    issues.push_back({Severity::Warning, sim::FILE_MIN_LON_OFFSET, -1,
                      "bounds cross the ±180° meridian: the box runs east from longitude " +
                          std::to_string(header.minLon) + " (" + degrees(header.minLon) + ") to " +
                          std::to_string(header.maxLon) + " (" + degrees(header.maxLon) + ")"});
}

void CheckBounds(const sim::SceneryFile& file, std::vector<sim::SceneryFileIssue>& issues) {
    Bounds expected = BoundsAsSaved(file.records);
    struct Field {
        const char* name;
        size_t offset;
        int32_t found;
        int32_t expected;
    };
    const Field fields[] = {
        {"minimum latitude", sim::FILE_MIN_LAT_OFFSET, file.header.minLat, expected.minLat},
        {"maximum latitude", sim::FILE_MAX_LAT_OFFSET, file.header.maxLat, expected.maxLat},
        {"minimum longitude", sim::FILE_MIN_LON_OFFSET, file.header.minLon, expected.minLon},
        {"maximum longitude", sim::FILE_MAX_LON_OFFSET, file.header.maxLon, expected.maxLon},
    };
    for (const Field& field : fields) {
        if (field.found != field.expected) {
            issues.push_back({Severity::Error, field.offset, -1,
                              std::string(field.name) + " at byte " + std::to_string(field.offset) + " is " +
                                  std::to_string(field.found) + ", but saving these records would write " +
                                  std::to_string(field.expected)});
        }
        if (field.offset == sim::FILE_MIN_LON_OFFSET) {
            CheckMeridian(file.header, issues);
        }
    }
}

void CheckRecord(size_t index, const ObjectRecord& record, std::vector<sim::SceneryFileIssue>& issues) {
    size_t base = RecordOffset(index);
    int i = static_cast<int>(index);
    std::string which = "record " + std::to_string(index) + ": ";
    std::optional<CatalogMatch> match = FindEntry(record.objectKey);
    if (!match) {
        issues.push_back({Severity::Warning, base + kObjectKeyField, i,
                          which + "object key " + KeyHex(record.objectKey) + " at byte " +
                              std::to_string(base + kObjectKeyField) +
                              " is not in the catalog; the properties dialog cannot show which object it is"});
    } else {
        const CatalogEntry& entry = ObjectCatalog.entries[match->entry];
        if (record.size != entry.size) {
            issues.push_back({Severity::Warning, base + kSizeField, i,
                              which + "size at byte " + std::to_string(base + kSizeField) + " is " +
                                  std::to_string(record.size) + ", but the catalog gives \"" + entry.name +
                                  "\" size " + std::to_string(entry.size)});
        }
    }
    if (record.reserved2 != 0) {
        char value[8];
        snprintf(value, sizeof value, "0x%04X", record.reserved2);
        issues.push_back({Severity::Warning, base + kReserved2Field, i,
                          which + "reserved word at byte " + std::to_string(base + kReserved2Field) + " is " + value +
                              "; a save writes 0"});
    }
}

void Report(const std::string& path, const sim::SceneryFileIssue& issue, std::ostream& out) {
    out << path << ": " << (issue.severity == Severity::Error ? "error" : "warning") << " at byte " << issue.offset;
    if (issue.record >= 0) {
        out << " (record " << issue.record << ")";
    }
    out << ": " << issue.message << "\n";
}

// Checks one file and prints its lines; true when it has no error.
bool CheckOne(const std::string& path, std::ostream& out) {
    LoadedScenery scenery = LoadScenery(path);
    if (!scenery.read()) {
        out << path << ": error: " << scenery.readError << "\n";
        return false;
    }
    std::vector<sim::SceneryFileIssue> issues = CheckScenery(scenery.file);
    size_t errors = 0;
    for (const sim::SceneryFileIssue& issue : issues) {
        Report(path, issue, out);
        errors += issue.severity == Severity::Error;
    }
    size_t warnings = issues.size() - errors;
    if (errors == 0) {
        out << path << ": ok (" << Plural(scenery.file.records.size(), "object");
        if (warnings > 0) {
            out << ", " << Plural(warnings, "warning");
        }
        out << ")\n";
        return true;
    }
    out << path << ": " << Plural(errors, "error");
    if (warnings > 0) {
        out << ", " << Plural(warnings, "warning");
    }
    out << "\n";
    return false;
}

}  // namespace

std::vector<sim::SceneryFileIssue> CheckScenery(const sim::SceneryFile& file) {
    std::vector<sim::SceneryFileIssue> issues = file.issues;
    // Records are only there when the header's sizes agree with the file.
    if (file.records.empty()) {
        return issues;
    }
    CheckBounds(file, issues);
    for (size_t i = 0; i < file.records.size(); ++i) {
        CheckRecord(i, file.records[i], issues);
    }
    return issues;
}

int RunCheck(const CheckOptions& options, std::ostream& out, std::ostream& err) {
    if (options.files.empty()) {
        err << "tavu check: no files given\n";
        return EXIT_USAGE;
    }
    size_t bad = 0;
    for (const std::string& path : options.files) {
        bad += !CheckOne(path, out);
    }
    if (options.files.size() > 1) {
        out << Plural(options.files.size(), "file") << ": " << options.files.size() - bad << " ok, " << bad
            << " with errors\n";
    }
    return bad == 0 ? EXIT_OK : EXIT_FAILURE_FOUND;
}

void AddCheckCommand(CLI::App& app) {
    auto options = std::make_shared<CheckOptions>();
    auto* command = app.add_subcommand("check", "Check scenery files and say what is wrong, and where");
    command->add_option("FILE", options->files, "Scenery files (.tsc); - reads standard input")->required();
    command->footer("Exit codes: 0 every file is sound (warnings allowed), 1 a file has errors or cannot be read,\n"
                    "2 bad arguments.\n");
    command->callback([options] { ExitStatus() = RunCheck(*options, std::cout, std::cerr); });
}

}  // namespace tavu
