// tavu check: what is wrong in scenery files, and where.
//
// Beyond what the reader reports, a file is held against what the editor's
// save would have written for the same records: the header bounds, a zero
// reserved word, and the catalog's key and size. The flags are not: a save
// writes them as they are in memory, MODIFIED and IN_EDIT included, so any
// flags are normal in a file.
#include <stdio.h>
#include <string.h>

#include <functional>
#include <iostream>

#include "catalog/catalog.h"
#include "tools/tavu/commands.h"
#include "tools/tavu/file_commands.h"
#include "tools/tavu/progress.h"

namespace tavu {

namespace {

using Severity = sim::SceneryFileIssue::Severity;

// Byte offsets of fields inside a record.
constexpr size_t kSizeField = 16;
constexpr size_t kReserved2Field = 56;
constexpr size_t kObjectKeyField = 58;

using IssueSink = std::function<void(sim::SceneryFileIssue&&)>;

// A box beside ±180° wraps: its west edge lies east of its east edge as
// signed numbers. The editor and the player read it as running east across
// the meridian; a reader that compares the numbers finds it empty. Empty
// latitudes are the reader's own warning.
void CheckMeridian(const sim::SceneryHeaderFields& header, const IssueSink& issues) {
    if (header.minLat > header.maxLat || header.minLon <= header.maxLon) {
        return;
    }
    auto degrees = [](int32_t lon) { return FormatNumber(LongitudeDegrees(lon), 4) + "°"; };
    issues({Severity::Warning, sim::FILE_MIN_LON_OFFSET, -1,
            "bounds cross the ±180° meridian: the box runs east from longitude " + std::to_string(header.minLon) +
                " (" + degrees(header.minLon) + ") to " + std::to_string(header.maxLon) + " (" +
                degrees(header.maxLon) + ")",
            "meridian"});
}

void CheckBounds(const sim::SceneryFile& file, const IssueSink& issues) {
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
            issues({Severity::Error, field.offset, -1,
                    std::string(field.name) + " at byte " + std::to_string(field.offset) + " is " +
                        std::to_string(field.found) + ", but saving these records would write " +
                        std::to_string(field.expected),
                    "bounds"});
        }
        if (field.offset == sim::FILE_MIN_LON_OFFSET) {
            CheckMeridian(file.header, issues);
        }
    }
}

void CheckRecord(size_t index, const ObjectRecord& record, const IssueSink& issues) {
    size_t base = RecordOffset(index);
    int i = static_cast<int>(index);
    std::string which = "record " + std::to_string(index) + ": ";
    std::optional<CatalogMatch> match = FindEntry(record.objectKey);
    if (!match) {
        issues({Severity::Warning, base + kObjectKeyField, i,
                which + "object key " + KeyHex(record.objectKey) + " at byte " +
                    std::to_string(base + kObjectKeyField) +
                    " is not in the catalog; the properties dialog cannot show which object it is",
                "unknown-key"});
    } else {
        const CatalogEntry& entry = ObjectCatalog.entries[match->entry];
        if (record.size != entry.size) {
            issues({Severity::Warning, base + kSizeField, i,
                    which + "size at byte " + std::to_string(base + kSizeField) + " is " +
                        std::to_string(record.size) + ", but the catalog gives \"" + entry.name + "\" size " +
                        std::to_string(entry.size),
                    "catalog-size"});
        }
    }
    if (record.reserved2 != 0) {
        char value[8];
        snprintf(value, sizeof value, "0x%04X", record.reserved2);
        issues({Severity::Warning, base + kReserved2Field, i,
                which + "reserved word at byte " + std::to_string(base + kReserved2Field) + " is " + value +
                    "; a save writes 0",
                "reserved-word"});
    }
}

const char* SeverityName(Severity severity) { return severity == Severity::Error ? "error" : "warning"; }

// What check found in one file: every issue counted by kind, the first
// kListedPerKind of each kind kept in file order.
struct CheckedFile {
    struct Kind {
        const char* name;
        Severity severity;
        size_t count;
    };
    std::string path;
    std::string readError;
    size_t objects = 0;
    size_t errors = 0;
    size_t warnings = 0;
    std::vector<sim::SceneryFileIssue> listed;
    std::vector<Kind> kinds;  // in the order they first appear

    bool ok() const { return readError.empty() && errors == 0; }
    Kind& KindOf(const sim::SceneryFileIssue& issue) {
        for (Kind& kind : kinds) {
            if (kind.severity == issue.severity && strcmp(kind.name, issue.kind) == 0) {
                return kind;
            }
        }
        return kinds.emplace_back(Kind{issue.kind, issue.severity, 0});
    }
};

CheckedFile CheckFile(const std::string& path, bool showProgress) {
    CheckedFile checked;
    checked.path = path;
    LoadedScenery scenery = LoadScenery(path);
    if (!scenery.read()) {
        checked.readError = scenery.readError;
        return checked;
    }
    checked.objects = scenery.file.records.size();
    Progress progress("tavu check", "records", checked.objects,
                      showProgress ? Progress::StandardErrorTerminal() : nullptr);
    CheckScenery(
        scenery.file,
        [&checked](sim::SceneryFileIssue&& issue) {
            (issue.severity == Severity::Error ? checked.errors : checked.warnings)++;
            if (++checked.KindOf(issue).count <= kListedPerKind) {
                checked.listed.push_back(std::move(issue));
            }
        },
        &progress);
    return checked;
}

void WriteText(const CheckedFile& checked, std::ostream& out) {
    const std::string& path = checked.path;
    if (!checked.readError.empty()) {
        out << path << ": error: " << checked.readError << "\n";
        return;
    }
    std::vector<size_t> shown(checked.kinds.size(), 0);
    for (const sim::SceneryFileIssue& issue : checked.listed) {
        out << path << ": " << SeverityName(issue.severity) << " at byte " << issue.offset;
        if (issue.record >= 0) {
            out << " (record " << issue.record << ")";
        }
        out << ": " << issue.message << "\n";
        // Right below the last one listed, so that "this kind" is the line above.
        for (size_t k = 0; k < checked.kinds.size(); ++k) {
            const CheckedFile::Kind& kind = checked.kinds[k];
            if (kind.severity == issue.severity && strcmp(kind.name, issue.kind) == 0 &&
                ++shown[k] == kListedPerKind && kind.count > kListedPerKind) {
                out << path << ": and " << kind.count - kListedPerKind << " more of this kind\n";
            }
        }
    }
    out << path << ": ";
    if (checked.errors == 0) {
        out << "ok (" << Plural(checked.objects, "object");
        if (checked.warnings > 0) {
            out << ", " << Plural(checked.warnings, "warning");
        }
        out << ")\n";
        return;
    }
    out << Plural(checked.errors, "error");
    if (checked.warnings > 0) {
        out << ", " << Plural(checked.warnings, "warning");
    }
    out << "\n";
}

nlohmann::ordered_json FileJson(const CheckedFile& checked) {
    using json = nlohmann::ordered_json;
    json file;
    file["file"] = checked.path;
    file["ok"] = checked.ok();
    file["readError"] = checked.readError.empty() ? json(nullptr) : json(checked.readError);
    file["objects"] = checked.objects;
    file["errors"] = checked.errors;
    file["warnings"] = checked.warnings;
    json kinds = json::array();
    for (const CheckedFile::Kind& kind : checked.kinds) {
        kinds.push_back({{"kind", kind.name},
                         {"severity", SeverityName(kind.severity)},
                         {"count", kind.count},
                         {"unlisted", kind.count > kListedPerKind ? kind.count - kListedPerKind : 0}});
    }
    file["kinds"] = std::move(kinds);
    json issues = json::array();
    for (const sim::SceneryFileIssue& issue : checked.listed) {
        issues.push_back({{"severity", SeverityName(issue.severity)},
                          {"kind", issue.kind},
                          {"offset", issue.offset},
                          {"record", issue.record >= 0 ? json(issue.record) : json(nullptr)},
                          {"message", issue.message}});
    }
    file["issues"] = std::move(issues);
    return file;
}

}  // namespace

void CheckScenery(const sim::SceneryFile& file, const std::function<void(sim::SceneryFileIssue&&)>& sink,
                  Progress* progress) {
    for (const sim::SceneryFileIssue& issue : file.issues) {
        sink(sim::SceneryFileIssue(issue));
    }
    // Records are only there when the header's sizes agree with the file.
    if (file.records.empty()) {
        return;
    }
    CheckBounds(file, sink);
    for (size_t i = 0; i < file.records.size(); ++i) {
        CheckRecord(i, file.records[i], sink);
        if (progress != nullptr) {
            progress->Add();
        }
    }
}

std::vector<sim::SceneryFileIssue> CheckScenery(const sim::SceneryFile& file) {
    std::vector<sim::SceneryFileIssue> issues;
    CheckScenery(file, [&issues](sim::SceneryFileIssue&& issue) { issues.push_back(std::move(issue)); });
    return issues;
}

int RunCheck(const CheckOptions& options, std::ostream& out, std::ostream& err) {
    if (options.files.empty()) {
        err << "tavu check: no files given\n";
        return EXIT_USAGE;
    }
    size_t bad = 0;
    nlohmann::ordered_json files = nlohmann::ordered_json::array();
    for (const std::string& path : options.files) {
        CheckedFile checked = CheckFile(path, options.progress && !options.quiet);
        bad += !checked.ok();
        if (options.quiet) {
            continue;
        }
        if (options.json) {
            files.push_back(FileJson(checked));
        } else {
            WriteText(checked, out);
        }
    }
    size_t good = options.files.size() - bad;
    if (options.json) {
        nlohmann::ordered_json report;
        report["files"] = std::move(files);
        report["ok"] = good;
        report["withErrors"] = bad;
        // A path that is not UTF-8 must not stop the report.
        out << report.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << '\n';
    } else if (!options.quiet && options.files.size() > 1) {
        out << Plural(options.files.size(), "file") << ": " << good << " ok, " << bad << " with errors\n";
    }
    return bad == 0 ? EXIT_OK : EXIT_FAILURE_FOUND;
}

void AddCheckCommand(CLI::App& app) {
    auto options = std::make_shared<CheckOptions>();
    auto* command = app.add_subcommand("check", "Check scenery files and say what is wrong, and where");
    command->add_option("FILE", options->files, "Scenery files (.tsc)")->required();
    auto* json = command->add_flag("--json", options->json,
                                   "Print the findings as JSON: per file its counts, every kind of issue "
                                   "with its count, and the issues listed as in the text");
    command->add_flag("--quiet,-q", options->quiet, "Print nothing; only the exit code tells")
        ->excludes(json);
    command->footer(
        "Of each kind of issue in a file the first 20 are listed, then one line counts the rest.\n"
        "Progress shows on standard error when it is a terminal and a file takes over a second.\n"
        "Exit codes: 0 every file is sound (warnings allowed), 1 a file has errors or cannot be read,\n"
        "2 bad arguments.\n");
    command->callback([options] {
        options->progress = Progress::StandardErrorTerminal() != nullptr;
        ExitStatus() = RunCheck(*options, std::cout, std::cerr);
    });
}

}  // namespace tavu
