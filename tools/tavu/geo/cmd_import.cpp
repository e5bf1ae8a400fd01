// tavu import: point features from any OGR source as the records of a
// scenery file, written in the form the editor's save writes.
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>

#include <gdal_priv.h>
#include <ogr_spatialref.h>
#include <ogrsf_frmts.h>

#include "catalog/catalog.h"
#include "scenery/scale.h"
#include "tools/tavu/commands.h"
#include "tools/tavu/file_commands.h"
#include "tools/tavu/geo/geodata.h"
#include "tools/tavu/whole_file.h"

namespace tavu {

namespace {

// The limits of what a record holds, as the editor sets them.
constexpr int32_t kMinPercent = 1, kMaxPercent = 2000;
constexpr int32_t kMinFixedCode = -31;
constexpr double kLargestRange = 65535;
constexpr double kLargestAltitude = 2147483647.0;  // a 48-bit position's integer part

// A CSV source names its coordinate columns in one of these ways.
constexpr const char* kCsvOpenOptions[] = {"X_POSSIBLE_NAMES=X,lon,longitude",
                                           "Y_POSSIBLE_NAMES=Y,lat,latitude", "Z_POSSIBLE_NAMES=Z",
                                           "KEEP_GEOM_COLUMNS=NO", nullptr};

std::string FeatureId(const OGRFeature& feature) {
    return feature.GetFID() == OGRNullFID ? "?" : std::to_string(feature.GetFID());
}

// Reads one feature's optional values; the first bad one is kept as the
// reason the feature cannot be placed.
class FieldReader {
  public:
    explicit FieldReader(const OGRFeature& feature) : feature_(feature) {}
    std::string problem;

    std::optional<double> Number(const char* name, double low, double high, bool integer) {
        int index = FieldIndex(*feature_.GetDefnRef(), name);
        if (index < 0 || !feature_.IsFieldSetAndNotNull(index) || !problem.empty()) {
            return std::nullopt;
        }
        OGRFieldType type = feature_.GetFieldDefnRef(index)->GetType();
        double value;
        std::string text = feature_.GetFieldAsString(index);
        if (type == OFTInteger || type == OFTInteger64 || type == OFTReal) {
            value = feature_.GetFieldAsDouble(index);
        } else {
            size_t begin = text.find_first_not_of(" \t"), end = text.find_last_not_of(" \t");
            if (begin == std::string::npos) {
                return std::nullopt;
            }
            text = text.substr(begin, end - begin + 1);
            char* stop = nullptr;
            value = std::strtod(text.c_str(), &stop);
            if (*stop != 0) {
                problem = std::string(name) + " \"" + text + "\" is not a number";
                return std::nullopt;
            }
        }
        if (!std::isfinite(value) || value < low || value > high || (integer && value != std::floor(value))) {
            problem = std::string(name) + " " + text + " is out of range (" +
                      (integer ? "a whole number " : "") + FormatNumber(low, 0) + " to " +
                      FormatNumber(high, 0) + ")";
            return std::nullopt;
        }
        return value;
    }

  private:
    const OGRFeature& feature_;
};

struct Source {
    OGRLayer* layer;
    std::unique_ptr<OGRCoordinateTransformation> toWgs84;  // null: already in EPSG:4326
};

// Builds the record for one feature, or says why it cannot.
std::optional<ObjectRecord> PlaceFeature(OGRFeature& feature, const Source& source,
                                         const ImportOptions& options, std::string* reason) {
    int nameIndex = FieldIndex(*feature.GetDefnRef(), options.nameField);
    std::string name = feature.IsFieldSetAndNotNull(nameIndex) ? feature.GetFieldAsString(nameIndex) : "";
    if (name.find_first_not_of(" \t") == std::string::npos) {
        *reason = "no object name in field \"" + options.nameField + "\"";
        return std::nullopt;
    }
    ObjectLookup lookup = LookUpObject(name);
    if (lookup.entry < 0) {
        *reason = lookup.reason;
        return std::nullopt;
    }
    const CatalogEntry& entry = ObjectCatalog.entries[lookup.entry];
    const OGRGeometry* geometry = feature.GetGeometryRef();
    if (geometry == nullptr || wkbFlatten(geometry->getGeometryType()) != wkbPoint || geometry->IsEmpty()) {
        *reason = geometry == nullptr ? "no geometry"
                                      : std::string("a ") + geometry->getGeometryName() + ", not a point";
        return std::nullopt;
    }
    OGRPoint point(*geometry->toPoint());
    if (source.toWgs84 && point.transform(source.toWgs84.get()) != OGRERR_NONE) {
        *reason = "its position cannot be converted to EPSG:4326";
        return std::nullopt;
    }
    if (!std::isfinite(point.getX()) || !std::isfinite(point.getY()) || std::fabs(point.getY()) > 90) {
        *reason = "latitude " + FormatNumber(point.getY(), 9) + " is out of range (-90 to 90)";
        return std::nullopt;
    }
    FieldReader fields(feature);
    std::optional<double> heading = fields.Number("heading", 0, 360, false);
    std::optional<double> pitch = fields.Number("pitch", -180, 180, false);
    std::optional<double> bank = fields.Number("bank", -180, 180, false);
    std::optional<double> percent = fields.Number("scale", kMinPercent, kMaxPercent, true);
    std::optional<double> code = fields.Number("fixedScaleCode", kMinFixedCode, 0, true);
    std::optional<double> range = fields.Number("range", 0, kLargestRange, true);
    std::optional<double> altitude = fields.Number("altitude", -kLargestAltitude, kLargestAltitude, false);
    if (!altitude && point.Is3D()) {
        altitude = point.getZ();
        if (!std::isfinite(*altitude) || std::fabs(*altitude) > kLargestAltitude) {
            fields.problem = "altitude " + FormatNumber(*altitude, 3) + " is out of range";
        }
    }
    if (!fields.problem.empty()) {
        *reason = fields.problem;
        return std::nullopt;
    }
    // Made the way the editor makes a new object: the template, the catalog
    // entry's key, size and tag, then the values.
    ObjectRecord record;
    memcpy(&record, RecordTemplate, RECORD_BYTES);
    record.recordTag = entry.tag;
    memcpy(record.objectKey, entry.objectKey, sizeof entry.objectKey);
    record.size = entry.size;
    record.lat = RecordLatitude(point.getY());
    record.lon = RecordLongitude(point.getX());
    record.alt = RecordAltitude(altitude.value_or(options.altitude.value_or(0)));
    record.heading = RecordAngle(heading.value_or(0));
    record.pitch = RecordAngle(pitch.value_or(0));
    record.bank = RecordAngle(bank.value_or(0));
    int32_t scale = percent ? static_cast<int32_t>(*percent)
                    : code  ? static_cast<int32_t>(*code)
                            : entry.defaultScale;
    record.scale = EncodeScale(scale);
    record.maxDistance =
        static_cast<uint16_t>(range ? *range : std::min<double>(entry.defaultMaxDistance, kLargestRange));
    return record;
}

OGRLayer* ChooseLayer(GDALDataset& dataset, const ImportOptions& options, std::string* problem) {
    std::string names;
    for (OGRLayer* layer : dataset.GetLayers()) {
        names += (names.empty() ? "" : ", ") + std::string(layer->GetName());
    }
    OGRLayer* layer = nullptr;
    if (!options.layer.empty()) {
        layer = dataset.GetLayerByName(options.layer.c_str());
        if (layer == nullptr) {
            *problem = "no layer \"" + options.layer + "\" (layers: " + names + ")";
        }
    } else {
        layer = dataset.GetLayerByName("objects");
        if (layer == nullptr && dataset.GetLayerCount() > 0) {
            layer = dataset.GetLayer(0);
        }
        if (layer == nullptr) {
            *problem = "no layers";
        }
    }
    if (layer != nullptr && FieldIndex(*layer->GetLayerDefn(), options.nameField) < 0) {
        std::string fields;
        for (int i = 0; i < layer->GetLayerDefn()->GetFieldCount(); ++i) {
            fields +=
                (i == 0 ? "" : ", ") + std::string(layer->GetLayerDefn()->GetFieldDefn(i)->GetNameRef());
        }
        *problem = "layer \"" + std::string(layer->GetName()) + "\" has no field \"" + options.nameField +
                   "\" (fields: " + (fields.empty() ? "none" : fields) + "); name one with --name-field";
        return nullptr;
    }
    return layer;
}

// Sources without a coordinate system (a CSV, say) are taken as longitude
// and latitude in EPSG:4326.
bool MakeTransform(Source& source, std::string* problem) {
    const OGRSpatialReference* from = source.layer->GetSpatialRef();
    OGRSpatialReference wgs84;
    wgs84.importFromEPSG(4326);
    wgs84.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
    if (from == nullptr || from->IsSame(&wgs84)) {
        return true;
    }
    source.toWgs84.reset(OGRCreateCoordinateTransformation(from, &wgs84));
    if (!source.toWgs84) {
        const char* name = from->GetName();
        *problem = std::string("cannot convert from ") + (name ? name : "its coordinate system") +
                   " to EPSG:4326: " + GdalMessage("no transformation");
        return false;
    }
    return true;
}

bool SameFile(const std::string& a, const std::string& b) {
    struct stat first, second;
    return stat(a.c_str(), &first) == 0 && stat(b.c_str(), &second) == 0 && first.st_dev == second.st_dev &&
           first.st_ino == second.st_ino;
}

// Standard input holds no file name to tell a CSV by: what no driver
// recognises by its content is read again as CSV (GDAL keeps the start of
// standard input for a second look).
std::unique_ptr<GDALDataset> OpenSource(const std::string& input) {
    const std::string path = input == "-" ? "/vsistdin/" : input;
    auto open = [](const std::string& name) {
        return std::unique_ptr<GDALDataset>(
            GDALDataset::Open(name.c_str(), GDAL_OF_VECTOR | GDAL_OF_READONLY, nullptr, kCsvOpenOptions));
    };
    std::unique_ptr<GDALDataset> dataset = open(path);
    if (!dataset && input == "-") {
        dataset = open("CSV:" + path);
    }
    return dataset;
}

}  // namespace

int RunImport(const ImportOptions& options, std::ostream& out, std::ostream& err) {
    const std::string who = "tavu import: ";
    StartGdal();
    if (options.altitude && !(std::fabs(*options.altitude) <= kLargestAltitude)) {
        err << who << "--altitude " << *options.altitude << " is out of range\n";
        return EXIT_USAGE;
    }
    if (options.input != "-" && SameFile(options.input, options.output)) {
        err << who << options.output << " is the input; give another -o\n";
        return EXIT_USAGE;
    }
    // The records already there, kept byte for byte with --append; without
    // it, only a scenery file is ever replaced.
    sim::SceneryHeaderFields header;
    std::vector<ObjectRecord> records;
    struct stat existing;
    if (stat(options.output.c_str(), &existing) == 0) {
        LoadedScenery scenery = LoadScenery(options.output);
        if (options.append && (!scenery.read() || !scenery.file.ok())) {
            err << who << options.output << ": "
                << (scenery.read() ? scenery.file.FirstError()->message : scenery.readError)
                << "; nothing to append to\n";
            return EXIT_FAILURE_FOUND;
        }
        if (!options.append && (!scenery.read() || !HeaderIsMeaningful(scenery.file))) {
            err << who << options.output
                << " exists and is not a scenery file; import replaces only sceneries\n";
            return EXIT_USAGE;
        }
        if (options.append) {
            header = scenery.file.header;
            records = scenery.file.records;
        }
    } else if (options.append) {
        err << who << options.output << ": no such file; nothing to append to\n";
        return EXIT_FAILURE_FOUND;
    }
    const size_t kept = records.size();

    std::error_code code;
    if (options.input != "-" && !std::filesystem::exists(options.input, code)) {
        err << who << options.input << ": no such file\n";
        return EXIT_FAILURE_FOUND;
    }
    std::unique_ptr<GDALDataset> dataset = OpenSource(options.input);
    if (!dataset) {
        err << who << options.input << ": " << GdalMessage("not a vector data source OGR can read") << "\n";
        return EXIT_FAILURE_FOUND;
    }
    std::string problem;
    Source source{ChooseLayer(*dataset, options, &problem), nullptr};
    if (source.layer == nullptr || !MakeTransform(source, &problem)) {
        err << who << options.input << ": " << problem << "\n";
        return EXIT_FAILURE_FOUND;
    }
    size_t bad = 0, features = 0;
    for (auto& feature : *source.layer) {
        ++features;
        std::string reason;
        if (std::optional<ObjectRecord> record = PlaceFeature(*feature, source, options, &reason)) {
            records.push_back(*record);
        } else {
            ++bad;
            err << who << options.input << ": feature " << FeatureId(*feature) << ": " << reason << "\n";
        }
    }
    if (bad > 0 && !options.skipBad) {
        err << who << "nothing written: " << Plural(bad, "feature") << " of " << features
            << " could not be placed (--skip-bad leaves them out)\n";
        return EXIT_FAILURE_FOUND;
    }
    const size_t added = records.size() - kept;
    if (added == 0) {
        err << who << options.input << ": layer \"" << source.layer->GetName()
            << "\" has no feature to import; nothing written\n";
        return EXIT_FAILURE_FOUND;
    }
    if (SCENERY_FILE_HEADER_BYTES + records.size() * RECORD_BYTES > kMaxToolFileBytes) {
        err << who << options.output << ": " << records.size() << " objects make a file larger than the "
            << kMaxToolFileBytes << " bytes the player reads; nothing written\n";
        return EXIT_FAILURE_FOUND;
    }
    header.recordsWord = 0;
    std::string summary = Plural(added, "object") + (kept > 0 ? " added to " + std::to_string(kept) : "") +
                          " from layer \"" + source.layer->GetName() + "\"" +
                          (bad > 0 ? ", " + Plural(bad, "feature") + " skipped" : "");
    if (options.dryRun) {
        out << options.output << ": would write " << summary << " (dry run, nothing written)\n";
        return EXIT_OK;
    }
    const std::vector<uint8_t> bytes = EncodeAsSaved(header, records);
    if (int error = WriteLikeTheSave(options.output, {reinterpret_cast<const char*>(bytes.data()), bytes.size()});
        error != 0) {
        err << who << options.output << ": cannot write: " << strerror(error) << "\n";
        return EXIT_FAILURE_FOUND;
    }
    out << options.output << ": " << summary << "\n";
    return EXIT_OK;
}

void AddImportCommand(CLI::App& app) {
    auto options = std::make_shared<ImportOptions>();
    auto* command =
        app.add_subcommand("import", "Make a scenery file from geodata points (any format OGR reads)");
    command->add_option("IN", options->input, "The geodata source (- for standard input)")->required();
    command->add_option("-o,--output", options->output, "The scenery file to write (.tsc)")->required();
    command->add_option("--layer", options->layer, "The layer to read (default: objects, else the first)");
    command->add_option("--name-field", options->nameField,
                        "The field naming each catalog object (default: name)");
    command->add_option("--altitude", options->altitude,
                        "Metres, for points with neither Z nor altitude field");
    command->add_flag("--append", options->append,
                      "Add to the existing scenery, keeping its records as they are");
    command->add_flag("--dry-run", options->dryRun, "Check every feature and say what would be written");
    command->add_flag("--skip-bad", options->skipBad, "Leave out the features that cannot be placed");
    command->footer(
        "Fields: name (or --name-field); optional heading, pitch, bank (degrees), scale (percent) or\n"
        "fixedScaleCode, range (metres), altitude (metres; else the point's Z, else --altitude).\n"
        "Exit codes: 0 written, 1 a feature could not be placed (nothing is written) or a file could\n"
        "not be read or written, 2 bad arguments or an output that is not a scenery file.\n");
    command->callback([options] { ExitStatus() = RunImport(*options, std::cout, std::cerr); });
}

void AddGeoCommands(CLI::App& app) {
    AddExportCommand(app);
    AddImportCommand(app);
}

}  // namespace tavu
