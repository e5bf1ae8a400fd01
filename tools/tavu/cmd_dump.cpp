// tavu dump: every field of a scenery file, raw and in readable units.
#include <stdio.h>
#include <string.h>

#include <iostream>

#include "catalog/catalog.h"
#include "tools/tavu/commands.h"
#include "tools/tavu/file_commands.h"

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
        << Degrees(AngleDegrees(record.bank)) << "  heading " << Degrees(HeadingDegrees(record.heading)) << "  (raw "
        << record.pitch << ", " << record.bank << ", " << record.heading << ")\n";
    out << "  scale     " << ReadScale(record.scale).text << "  (raw " << record.scale << ")\n";
    out << "  range     " << record.maxDistance << " m  size " << record.size << "  tag " << Hex32(record.recordTag)
        << "  reserved " << Hex16(record.reserved1) << ", " << Hex16(record.reserved2) << "\n";
}

// A packed record's field by value: json would bind a reference to it.
template <typename T>
T Copy(T value) {
    return value;
}

nlohmann::ordered_json PositionJson(const Position48& position) {
    int32_t integer = position.integer;
    uint16_t fraction = position.fraction;
    return {{"integer", integer}, {"fraction", fraction}};
}

nlohmann::ordered_json RecordJson(size_t index, const ObjectRecord& record) {
    ObjectName name = NameOf(record);
    ScaleReading scale = ReadScale(record.scale);
    nlohmann::ordered_json json;
    json["index"] = index;
    json["offset"] = RecordOffset(index);
    json["name"] = name.name;
    json["known"] = name.match.has_value();
    json["catalogIndex"] = name.match ? nlohmann::ordered_json(name.match->entry) : nullptr;
    json["group"] = name.match ? nlohmann::ordered_json(ObjectCatalog.groups[name.match->group].name) : nullptr;
    json["objectKey"] = KeyHex(record.objectKey);
    json["recordTag"] = Copy(record.recordTag);
    json["lat"] = PositionJson(record.lat);
    json["lon"] = PositionJson(record.lon);
    json["alt"] = PositionJson(record.alt);
    json["latDegrees"] = LatitudeDegrees(PositionValue(record.lat));
    json["lonDegrees"] = LongitudeDegrees(PositionValue(record.lon));
    json["altMetres"] = PositionValue(record.alt);
    json["pitch"] = Copy(record.pitch);
    json["bank"] = Copy(record.bank);
    json["heading"] = Copy(record.heading);
    json["pitchDegrees"] = AngleDegrees(record.pitch);
    json["bankDegrees"] = AngleDegrees(record.bank);
    json["headingDegrees"] = HeadingDegrees(record.heading);
    json["scale"] = Copy(record.scale);
    json["scaleText"] = scale.text;
    json["scalePercent"] =
        scale.kind == ScaleReading::Kind::Percent ? nlohmann::ordered_json(scale.percent) : nullptr;
    json["fixedScaleCode"] =
        scale.kind == ScaleReading::Kind::FixedCode ? nlohmann::ordered_json(scale.code) : nullptr;
    json["maxDistance"] = Copy(record.maxDistance);
    json["size"] = Copy(record.size);
    json["reserved1"] = Copy(record.reserved1);
    json["reserved2"] = Copy(record.reserved2);
    return json;
}

nlohmann::ordered_json IssueJson(const sim::SceneryFileIssue& issue) {
    return {{"severity", issue.severity == Severity::Error ? "error" : "warning"},
            {"offset", issue.offset},
            {"record", issue.record >= 0 ? nlohmann::ordered_json(issue.record) : nullptr},
            {"message", issue.message}};
}

}  // namespace

void WriteDumpText(const LoadedScenery& scenery, std::ostream& out) {
    const sim::SceneryFile& file = scenery.file;
    out << "file      " << scenery.path << " (" << scenery.bytes.size() << " bytes)\n";
    out << "prefix    magic \"" << MagicText(file) << "\", version " << file.version << "\n";
    if (HeaderIsMeaningful(file)) {
        const sim::SceneryHeaderFields& header = file.header;
        WriteBoundsText(header, out);
        out << "flags     " << Hex32(header.flags) << " (" << FlagsText(header.flags) << ")\n";
        out << "size      " << header.sizeBytes << " bytes, count " << header.count << "\n";
        out << "records word " << Hex32(header.recordsWord) << "\n";
        std::vector<ObjectRecord> records = ReadableRecords(scenery.bytes, file);
        if (file.records.empty() && !records.empty()) {
            out << "\n(the header disagrees with the file; below, the " << records.size()
                << (records.size() == 1 ? " whole record" : " whole records") << " it holds)\n";
        }
        for (size_t i = 0; i < records.size(); ++i) {
            WriteRecordText(i, records[i], out);
        }
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

nlohmann::ordered_json DumpJson(const LoadedScenery& scenery) {
    const sim::SceneryFile& file = scenery.file;
    nlohmann::ordered_json json;
    json["file"] = scenery.path;
    json["bytes"] = scenery.bytes.size();
    json["ok"] = file.ok();
    json["prefix"] = {{"magic", MagicText(file)}, {"version", file.version}};
    std::vector<ObjectRecord> records;
    if (HeaderIsMeaningful(file)) {
        const sim::SceneryHeaderFields& header = file.header;
        nlohmann::ordered_json bounds;
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
        json["header"] = {{"bounds", std::move(bounds)},
                          {"flags", header.flags},
                          {"flagNames", FlagNames(header.flags)},
                          {"recordsWord", header.recordsWord},
                          {"sizeBytes", header.sizeBytes},
                          {"count", header.count}};
        records = ReadableRecords(scenery.bytes, file);
    } else {
        json["header"] = nullptr;
    }
    json["recordsComplete"] = file.ok() || !file.records.empty();
    nlohmann::ordered_json recordsJson = nlohmann::ordered_json::array();
    for (size_t i = 0; i < records.size(); ++i) {
        recordsJson.push_back(RecordJson(i, records[i]));
    }
    json["records"] = std::move(recordsJson);
    nlohmann::ordered_json issues = nlohmann::ordered_json::array();
    for (const sim::SceneryFileIssue& issue : file.issues) {
        issues.push_back(IssueJson(issue));
    }
    json["issues"] = std::move(issues);
    return json;
}

int RunDump(const DumpOptions& options, std::ostream& out, std::ostream& err) {
    LoadedScenery scenery = LoadScenery(options.file);
    if (!scenery.read()) {
        err << "tavu dump: " << options.file << ": " << scenery.readError << "\n";
        return EXIT_FAILURE_FOUND;
    }
    if (options.json) {
        // A path or magic that is not UTF-8 must not stop the dump.
        out << DumpJson(scenery).dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << '\n';
    } else {
        WriteDumpText(scenery, out);
    }
    if (!scenery.file.ok()) {
        err << "tavu dump: " << options.file << ": " << scenery.file.ErrorCount()
            << (scenery.file.ErrorCount() == 1 ? " error" : " errors") << "\n";
        return EXIT_FAILURE_FOUND;
    }
    return EXIT_OK;
}

void AddDumpCommand(CLI::App& app) {
    auto options = std::make_shared<DumpOptions>();
    auto* command = app.add_subcommand("dump", "Show every field of a scenery file, raw and in readable units");
    command->add_option("FILE", options->file, "The scenery file (.tsc); - reads standard input")->required();
    command->add_flag("--json", options->json, "Print JSON with the raw field values too");
    command->footer("Exit codes: 0 a sound file, 1 the file is malformed or unreadable (what can be read is shown),\n"
                    "2 bad arguments.\n");
    command->callback([options] { ExitStatus() = RunDump(*options, std::cout, std::cerr); });
}

}  // namespace tavu
