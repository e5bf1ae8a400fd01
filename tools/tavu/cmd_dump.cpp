// tavu dump: every field of a scenery file, raw and in readable units.
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <iostream>
#include <sstream>

#include "catalog/catalog.h"
#include "tools/tavu/commands.h"
#include "tools/tavu/file_commands.h"
#include "tools/tavu/progress.h"

namespace tavu {

namespace {

using Severity = sim::SceneryFileIssue::Severity;

// Enough places for a centimetre on the ground.
constexpr int kDegreeDecimals = 7;

std::string Degrees(double degrees) { return FormatNumber(degrees, kDegreeDecimals) + "°"; }

std::string RawPosition(const Position48& position) {
    return std::to_string(position.integer) + "+" + std::to_string(position.fraction) + "/65536";
}

std::string Hex16(uint16_t value) {
    char text[8];
    snprintf(text, sizeof text, "0x%04X", value);
    return text;
}

// The magic as text a terminal can show: anything unprintable as \xNN.
std::string MagicText(const sim::SceneryFile& file) {
    std::string text;
    for (size_t i = 0; i < sizeof sim::kSceneryMagic - 1; ++i) {
        uint8_t c = file.prefix[i];
        if (c >= 0x20 && c < 0x7F && c != '\\' && c != '"') {
            text += static_cast<char>(c);
        } else {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\x%02X", c);
            text += escaped;
        }
    }
    return text;
}

struct ObjectName {
    std::string name;
    std::optional<CatalogMatch> match;
};

ObjectName NameOf(const ObjectRecord& record) {
    std::optional<CatalogMatch> match = FindEntry(record.objectKey);
    if (!match) {
        return {"unknown object", std::nullopt};
    }
    return {ObjectCatalog.entries[match->entry].name, match};
}

std::string IssueLocation(const sim::SceneryFileIssue& issue) {
    std::string where = "byte " + std::to_string(issue.offset);
    if (issue.record >= 0) {
        where += " (record " + std::to_string(issue.record) + ")";
    }
    return where;
}

void WriteBoundsText(const sim::SceneryHeaderFields& header, std::ostream& out) {
    out << "bounds    latitude  " << header.minLat << " .. " << header.maxLat;
    if (header.minLat > header.maxLat) {
        out << "  (empty: the player places this scenery nowhere)\n";
    } else {
        out << "  (" << Degrees(LatitudeDegrees(header.minLat)) << " .. " << Degrees(LatitudeDegrees(header.maxLat))
            << ")\n";
    }
    out << "          longitude " << header.minLon << " .. " << header.maxLon;
    // A box beside ±180° runs east from its minimum across the meridian to
    // its maximum: a wrapped box, not an empty one.
    if (header.minLat > header.maxLat) {
        out << "  (empty)\n";
    } else {
        out << "  (" << Degrees(LongitudeDegrees(header.minLon)) << " .. "
            << Degrees(LongitudeDegrees(header.maxLon))
            << (header.minLon > header.maxLon ? ", across the ±180° meridian" : "") << ")\n";
    }
}

void WriteRecordText(size_t index, const ObjectRecord& record, std::ostream& out) {
    ObjectName name = NameOf(record);
    out << "\nrecord " << index << " at byte " << RecordOffset(index) << ": " << name.name;
    if (name.match) {
        out << " (" << ObjectCatalog.groups[name.match->group].name << ", catalog #" << name.match->entry << ")";
    }
    out << "\n  key       " << KeyHex(record.objectKey) << "\n";
    out << "  position  lat " << Degrees(LatitudeDegrees(PositionValue(record.lat))) << "  lon "
        << Degrees(LongitudeDegrees(PositionValue(record.lon))) << "  alt "
        << FormatNumber(PositionValue(record.alt), 3) << " m\n";
    out << "            raw lat " << RawPosition(record.lat) << "  lon " << RawPosition(record.lon) << "  alt "
        << RawPosition(record.alt) << "\n";
    out << "  angles    pitch " << Degrees(AngleDegrees(record.pitch)) << "  bank "
        << Degrees(AngleDegrees(record.bank)) << "  heading " << Degrees(AngleDegrees(record.heading)) << "  (raw "
        << record.pitch << ", " << record.bank << ", " << record.heading << ")\n";
    out << "  scale     " << ReadScale(record.scale).text << "  (raw " << record.scale << ")\n";
    out << "  range     " << record.maxDistance << " m  size " << record.size << "  tag " << Hex32(record.recordTag)
        << "  reserved " << Hex16(record.reserved1) << ", " << Hex16(record.reserved2) << "\n";
}

// One record's JSON, written straight into text exactly as the JSON library
// prints it as an element of the records array (indent 2, two levels deep),
// with the library's own number formatting: building a json value per
// record and printing it cost three times as much.
class RecordJsonText {
public:
    explicit RecordJsonText(std::string& out) : out_(out) {}

    void Write(size_t index, const ObjectRecord& record) {
        ObjectName name = NameOf(record);
        ScaleReading scale = ReadScale(record.scale);
        first_ = true;
        out_ += '{';
        Number("index", index);
        Number("offset", RecordOffset(index));
        String("name", name.name);
        Key("known");
        out_ += name.match ? "true" : "false";
        if (name.match) {
            Number("catalogIndex", name.match->entry);
            String("group", ObjectCatalog.groups[name.match->group].name);
        } else {
            Null("catalogIndex");
            Null("group");
        }
        String("objectKey", KeyHex(record.objectKey));
        Number("recordTag", record.recordTag);
        Position("lat", record.lat);
        Position("lon", record.lon);
        Position("alt", record.alt);
        Double("latDegrees", LatitudeDegrees(PositionValue(record.lat)));
        Double("lonDegrees", LongitudeDegrees(PositionValue(record.lon)));
        Double("altMetres", PositionValue(record.alt));
        Number("pitch", record.pitch);
        Number("bank", record.bank);
        Number("heading", record.heading);
        Double("pitchDegrees", AngleDegrees(record.pitch));
        Double("bankDegrees", AngleDegrees(record.bank));
        Double("headingDegrees", AngleDegrees(record.heading));
        Number("scale", record.scale);
        String("scaleText", scale.text);
        if (scale.kind == ScaleReading::Kind::Percent) {
            Number("scalePercent", scale.percent);
        } else {
            Null("scalePercent");
        }
        if (scale.kind == ScaleReading::Kind::FixedCode) {
            Number("fixedScaleCode", scale.code);
        } else {
            Null("fixedScaleCode");
        }
        Number("maxDistance", record.maxDistance);
        Number("size", record.size);
        Number("reserved1", record.reserved1);
        Number("reserved2", record.reserved2);
        out_ += "\n    }";
    }

private:
    void Key(const char* key) {
        out_.append(first_ ? "\n      \"" : ",\n      \"").append(key).append("\": ");
        first_ = false;
    }
    template <typename T>
    void Digits(T value) {
        char text[24];
        out_.append(text, std::to_chars(text, text + sizeof text, value).ptr);
    }
    template <typename T>
    void Number(const char* key, T value) {
        Key(key);
        Digits(value);
    }
    void Null(const char* key) {
        Key(key);
        out_ += "null";
    }
    void Double(const char* key, double value) {
        Key(key);
        if (!std::isfinite(value)) {
            out_ += "null";
            return;
        }
        char text[64];
        out_.append(text, nlohmann::detail::to_chars(text, text + sizeof text, value));
    }
    // Plain text as it is; anything to escape (or not UTF-8) as the library
    // escapes it.
    void String(const char* key, const std::string& value) {
        Key(key);
        bool plain = std::all_of(value.begin(), value.end(),
                                 [](char c) { return c >= 0x20 && c < 0x7F && c != '"' && c != '\\'; });
        out_ += plain ? '"' + value + '"'
                      : nlohmann::ordered_json(value).dump(-1, ' ', false,
                                                           nlohmann::ordered_json::error_handler_t::replace);
    }
    void Position(const char* key, const Position48& position) {
        Key(key);
        out_ += "{\n        \"integer\": ";
        Digits(static_cast<int32_t>(position.integer));
        out_ += ",\n        \"fraction\": ";
        Digits(static_cast<uint16_t>(position.fraction));
        out_ += "\n      }";
    }

    std::string& out_;
    bool first_ = true;
};

nlohmann::ordered_json IssueJson(const sim::SceneryFileIssue& issue) {
    return {{"severity", issue.severity == Severity::Error ? "error" : "warning"},
            {"offset", issue.offset},
            {"record", issue.record >= 0 ? nlohmann::ordered_json(issue.record) : nullptr},
            {"message", issue.message}};
}

}  // namespace

void WriteDumpText(const LoadedScenery& scenery, std::ostream& out, Progress* progress) {
    const sim::SceneryFile& file = scenery.file;
    out << "file      " << scenery.path << " (" << scenery.bytes.size() << " bytes)\n";
    out << "prefix    magic \"" << MagicText(file) << "\", version " << file.version << "\n";
    if (HeaderIsMeaningful(file)) {
        const sim::SceneryHeaderFields& header = file.header;
        WriteBoundsText(header, out);
        out << "flags     " << Hex32(header.flags) << " (" << FlagsText(header.flags) << ")\n";
        out << "size      " << header.sizeBytes << " bytes, count " << header.count << "\n";
        out << "records word " << Hex32(header.recordsWord) << "\n";
        size_t count = ReadableRecordCount(scenery.bytes, file);
        if (file.records.empty() && count > 0) {
            out << "\n(the header disagrees with the file; below, the " << count
                << (count == 1 ? " whole record" : " whole records") << " it holds)\n";
        }
        // Records go out in chunks: a write per field to the real output
        // cost a fifth of the time.
        std::ostringstream chunk;
        for (size_t i = 0; i < count; ++i) {
            WriteRecordText(i, ReadableRecord(scenery.bytes, file, i), chunk);
            if (chunk.tellp() >= 65536) {
                out << chunk.view();
                chunk.str("");
            }
            if (progress != nullptr) {
                progress->Add();
            }
        }
        out << chunk.view();
    } else {
        out << "header    not read: the file has no header this tool understands\n";
    }
    bool first = true;
    for (const sim::SceneryFileIssue& issue : file.issues) {
        if (first) {
            out << "\nissues\n";
            first = false;
        }
        out << "  " << (issue.severity == Severity::Error ? "error" : "warning") << " at " << IssueLocation(issue)
            << ": " << issue.message << "\n";
    }
}

void WriteDumpJson(const LoadedScenery& scenery, std::ostream& out, Progress* progress) {
    using json = nlohmann::ordered_json;
    const sim::SceneryFile& file = scenery.file;
    json head;
    head["file"] = scenery.path;
    head["bytes"] = scenery.bytes.size();
    head["ok"] = file.ok();
    head["prefix"] = {{"magic", MagicText(file)}, {"version", file.version}};
    size_t count = 0;
    if (HeaderIsMeaningful(file)) {
        const sim::SceneryHeaderFields& header = file.header;
        json bounds;
        bounds["minLat"] = header.minLat;
        bounds["maxLat"] = header.maxLat;
        bounds["minLon"] = header.minLon;
        bounds["maxLon"] = header.maxLon;
        bounds["empty"] = header.minLat > header.maxLat;
        bounds["crossesAntimeridian"] = header.minLat <= header.maxLat && header.minLon > header.maxLon;
        bounds["minLatDegrees"] = LatitudeDegrees(header.minLat);
        bounds["maxLatDegrees"] = LatitudeDegrees(header.maxLat);
        bounds["minLonDegrees"] = LongitudeDegrees(header.minLon);
        bounds["maxLonDegrees"] = LongitudeDegrees(header.maxLon);
        head["header"] = {{"bounds", std::move(bounds)},
                          {"flags", header.flags},
                          {"flagNames", FlagNames(header.flags)},
                          {"recordsWord", header.recordsWord},
                          {"sizeBytes", header.sizeBytes},
                          {"count", header.count}};
        count = ReadableRecordCount(scenery.bytes, file);
    } else {
        head["header"] = nullptr;
    }
    head["recordsComplete"] = file.ok() || !file.records.empty();
    head["records"] = json::array();
    json issues = json::array();
    for (const sim::SceneryFileIssue& issue : file.issues) {
        issues.push_back(IssueJson(issue));
    }
    head["issues"] = std::move(issues);
    // The document with an empty records array, the records written into it
    // one at a time: the whole document is never held. A newline inside a
    // string is escaped, so the marker can only be the key itself.
    // A path or magic that is not UTF-8 must not stop the dump.
    std::string document = head.dump(2, ' ', false, json::error_handler_t::replace);
    static constexpr char kMarker[] = "\n  \"records\": []";
    size_t at = document.find(kMarker) + sizeof kMarker - 2;  // at the "]"
    out.write(document.data(), static_cast<std::streamsize>(at));
    if (count > 0) {
        std::string chunk;
        RecordJsonText record(chunk);
        for (size_t i = 0; i < count; ++i) {
            chunk += i == 0 ? "\n    " : ",\n    ";
            record.Write(i, ReadableRecord(scenery.bytes, file, i));
            if (chunk.size() >= 65536) {
                out << chunk;
                chunk.clear();
            }
            if (progress != nullptr) {
                progress->Add();
            }
        }
        out << chunk << "\n  ";
    }
    out.write(document.data() + at, static_cast<std::streamsize>(document.size() - at));
    out << '\n';
}

int RunDump(const DumpOptions& options, std::ostream& out, std::ostream& err) {
    LoadedScenery scenery = LoadScenery(options.file);
    if (!scenery.read()) {
        err << options.file << ": " << scenery.readError << "\n";
        return EXIT_FAILURE_FOUND;
    }
    {
        Progress progress("tavu dump", "records", ReadableRecordCount(scenery.bytes, scenery.file),
                          options.progress ? Progress::StandardErrorTerminal() : nullptr);
        if (options.json) {
            WriteDumpJson(scenery, out, &progress);
        } else {
            WriteDumpText(scenery, out, &progress);
        }
    }
    if (!scenery.file.ok()) {
        err << options.file << ": " << scenery.file.ErrorCount()
            << (scenery.file.ErrorCount() == 1 ? " error" : " errors") << "\n";
        return EXIT_FAILURE_FOUND;
    }
    return EXIT_OK;
}

void AddDumpCommand(CLI::App& app) {
    auto options = std::make_shared<DumpOptions>();
    auto* command = app.add_subcommand("dump", "Show every field of a scenery file, raw and in readable units");
    command->add_option("FILE", options->file, "The scenery file (.tsc)")->required();
    command->add_flag("--json", options->json, "Print JSON with the raw field values too");
    command->footer(
        "Records are written as they are read: a large file's dump starts at once and takes little memory.\n"
        "Progress shows on standard error when it is a terminal (and standard output is not) and the dump\n"
        "takes over a second.\n"
        "Exit codes: 0 a sound file, 1 the file is malformed or unreadable (what can be read is shown),\n"
        "2 bad arguments.\n");
    command->callback([options] {
        // Progress lines would tear a dump shown on the same terminal.
        options->progress = Progress::StandardErrorTerminal() != nullptr && !isatty(STDOUT_FILENO);
        ExitStatus() = RunDump(*options, std::cout, std::cerr);
    });
}

}  // namespace tavu
