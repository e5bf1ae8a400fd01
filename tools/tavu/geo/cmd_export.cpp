// tavu export: scenery files as an OGR vector dataset, one point per record
// and each scenery's saved box, in EPSG:4326.
#include <filesystem>
#include <iostream>
#include <memory>

#include <gdal_priv.h>
#include <ogr_spatialref.h>
#include <ogrsf_frmts.h>

#include "catalog/catalog.h"
#include "sim/geodesy.h"
#include "sim/transcript.h"
#include "tools/tavu/commands.h"
#include "tools/tavu/file_commands.h"
#include "tools/tavu/geo/geodata.h"

namespace tavu {

namespace {

namespace fs = std::filesystem;

// Formats that could take other extensions too are picked first for theirs.
constexpr const char* kPreferredDrivers[] = {"GeoJSON", "GPKG", "KML", "CSV", "ESRI Shapefile"};

bool WritesVectors(GDALDriver* driver) {
    return driver != nullptr && driver->GetMetadataItem(GDAL_DCAP_VECTOR) != nullptr &&
           driver->GetMetadataItem(GDAL_DCAP_CREATE) != nullptr;
}

bool ListsExtension(GDALDriver* driver, const std::string& extension) {
    const char* list = driver->GetMetadataItem(GDAL_DMD_EXTENSIONS);
    if (list == nullptr) {
        list = driver->GetMetadataItem(GDAL_DMD_EXTENSION);
    }
    if (list == nullptr) {
        return false;
    }
    CPLStringList extensions(CSLTokenizeString2(list, " ", 0));
    return extensions.FindString(extension.c_str()) >= 0;
}

// The driver named by --format, else the one whose extension the output has.
GDALDriver* ChooseDriver(const ExportOptions& options, std::string* problem) {
    GDALDriverManager* drivers = GetGDALDriverManager();
    if (!options.format.empty()) {
        GDALDriver* driver = drivers->GetDriverByName(options.format.c_str());
        if (!WritesVectors(driver)) {
            *problem = "format \"" + options.format +
                       "\" cannot write vector data (try GeoJSON, GPKG, KML, CSV or \"ESRI Shapefile\")";
            return nullptr;
        }
        return driver;
    }
    std::string extension = fs::path(options.output).extension().string();
    if (!extension.empty()) {
        extension.erase(0, 1);
        for (const char* name : kPreferredDrivers) {
            GDALDriver* driver = drivers->GetDriverByName(name);
            if (WritesVectors(driver) && ListsExtension(driver, extension)) {
                return driver;
            }
        }
        for (int i = 0; i < drivers->GetDriverCount(); ++i) {
            GDALDriver* driver = drivers->GetDriver(i);
            if (WritesVectors(driver) && ListsExtension(driver, extension)) {
                return driver;
            }
        }
    }
    *problem = "cannot tell the format from the name " + options.output + "; give --format";
    return nullptr;
}

// CSV and shapefile drivers put each further layer of a file dataset in a
// file of its own name beside it, which the next export would overwrite.
bool OneLayerPerFile(GDALDriver* driver, GDALDataset& dataset, const std::string& output) {
    std::string name = driver->GetDescription();
    bool fileNamed = fs::path(output).has_extension() && !fs::is_directory(output);
    return !dataset.TestCapability(ODsCCreateLayer) ||
           ((name == "CSV" || name == "ESRI Shapefile") && fileNamed);
}

// "area.geojson" -> "area.bounds.geojson".
std::string BoundsSibling(const std::string& output) {
    fs::path path(output);
    return (path.parent_path() / (path.stem().string() + ".bounds" + path.extension().string())).string();
}

// Clears the way for a new file at `path`: an earlier export there goes,
// with every file of it; a scenery file (a read-in one under any name, too)
// never does. False, having said why, when the path must stay.
bool Replaceable(GDALDriver* driver, const std::string& path, std::ostream& err) {
    std::error_code code;
    if (!fs::is_regular_file(path, code)) {
        return true;
    }
    if (HeaderIsMeaningful(LoadScenery(path).file)) {
        err << "tavu export: " << path
            << " is a scenery file; an export never replaces one, give another -o\n";
        return false;
    }
    driver->Delete(path.c_str());
    fs::remove(path, code);
    return true;
}

struct FieldKind {
    const char* name;
    OGRFieldType type;
};
constexpr FieldKind kObjectFields[] = {
    {"scenery", OFTString},   {"record", OFTInteger},         {"name", OFTString},   {"group", OFTString},
    {"objectKey", OFTString}, {"heading", OFTReal},           {"pitch", OFTReal},    {"bank", OFTReal},
    {"scale", OFTInteger},    {"fixedScaleCode", OFTInteger}, {"range", OFTInteger}, {"size", OFTInteger},
    {"tag", OFTInteger64},
};
constexpr FieldKind kBoundsFields[] = {{"scenery", OFTString}, {"objects", OFTInteger}};

bool AddFields(OGRLayer* layer, std::span<const FieldKind> fields) {
    for (const FieldKind& kind : fields) {
        OGRFieldDefn field(kind.name, kind.type);
        if (layer->CreateField(&field) != OGRERR_NONE) {
            return false;
        }
    }
    return true;
}

// Text formats write every digit a record's position needs.
char** LayerOptions(GDALDriver* driver, bool points) {
    std::string name = driver->GetDescription();
    char** options = nullptr;
    if (name == "CSV") {
        options = CSLSetNameValue(options, "GEOMETRY", points ? "AS_XYZ" : "AS_WKT");
    } else if (name == "GeoJSON") {
        options = CSLSetNameValue(options, "SIGNIFICANT_FIGURES", "17");
    }
    return options;
}

OGRLayer* MakeLayer(GDALDataset* dataset, GDALDriver* driver, const char* name, OGRSpatialReference* srs,
                    OGRwkbGeometryType type, std::span<const FieldKind> fields) {
    char** options = LayerOptions(driver, type == wkbPoint25D);
    OGRLayer* layer = dataset->CreateLayer(name, srs, type, options);
    CSLDestroy(options);
    return layer != nullptr && AddFields(layer, fields) ? layer : nullptr;
}

bool WriteObject(OGRLayer* layer, const std::string& scenery, size_t index, const ObjectRecord& record) {
    OGRFeature feature(layer->GetLayerDefn());
    auto at = [&](const char* name) { return FieldIndex(*layer->GetLayerDefn(), name); };
    feature.SetField(at("scenery"), scenery.c_str());
    feature.SetField(at("record"), static_cast<int>(index));
    if (std::optional<CatalogMatch> match = FindEntry(record.objectKey)) {
        feature.SetField(at("name"), ObjectCatalog.entries[match->entry].name);
        feature.SetField(at("group"), ObjectCatalog.groups[match->group].name);
    } else {
        feature.SetFieldNull(at("name"));
        feature.SetFieldNull(at("group"));
    }
    feature.SetField(at("objectKey"), KeyHex(record.objectKey).c_str());
    feature.SetField(at("heading"), sim::Normalise360(sim::AngleToDegrees(record.heading)));
    feature.SetField(at("pitch"), sim::AngleToDegrees(record.pitch));
    feature.SetField(at("bank"), sim::AngleToDegrees(record.bank));
    ScaleReading scale = ReadScale(record.scale);
    feature.SetFieldNull(at("scale"));
    feature.SetFieldNull(at("fixedScaleCode"));
    if (scale.kind == ScaleReading::Kind::Percent) {
        feature.SetField(at("scale"), scale.percent);
    } else if (scale.kind == ScaleReading::Kind::FixedCode) {
        feature.SetField(at("fixedScaleCode"), scale.code);
    } else if (scale.kind == ScaleReading::Kind::Other) {
        feature.SetField(at("scale"), static_cast<int>(std::lround(scale.approxPercent)));
    }
    feature.SetField(at("range"), record.maxDistance);
    feature.SetField(at("size"), record.size);
    feature.SetField(at("tag"), static_cast<GIntBig>(record.recordTag));
    feature.SetGeometryDirectly(
        new OGRPoint(sim::LongitudeOf(record.lon), sim::LatitudeOf(record.lat), sim::AltitudeOf(record.alt)));
    return layer->CreateFeature(&feature) == OGRERR_NONE;
}

OGRPolygon* Box(double west, double south, double east, double north) {
    auto* ring = new OGRLinearRing;
    ring->addPoint(west, south);
    ring->addPoint(east, south);
    ring->addPoint(east, north);
    ring->addPoint(west, north);
    ring->addPoint(west, south);
    auto* polygon = new OGRPolygon;
    polygon->addRingDirectly(ring);
    return polygon;
}

// The saved box; one that runs east across ±180° becomes two polygons, one
// on each side. Empty bounds place the scenery nowhere and draw nothing.
bool WriteBounds(OGRLayer* layer, const std::string& scenery, const sim::SceneryHeaderFields& header,
                 size_t objects, size_t* written) {
    if (header.minLat > header.maxLat) {
        return true;
    }
    double south = LatitudeDegrees(header.minLat), north = LatitudeDegrees(header.maxLat);
    double west = LongitudeDegrees(header.minLon), east = LongitudeDegrees(header.maxLon);
    std::vector<OGRPolygon*> boxes;
    if (header.minLon <= header.maxLon) {
        boxes = {Box(west, south, east, north)};
    } else {
        boxes = {Box(west, south, 180.0, north), Box(-180.0, south, east, north)};
    }
    bool ok = true;
    for (OGRPolygon* box : boxes) {
        OGRFeature feature(layer->GetLayerDefn());
        feature.SetField("scenery", scenery.c_str());
        feature.SetField("objects", static_cast<int>(objects));
        feature.SetGeometryDirectly(box);
        ok = ok && layer->CreateFeature(&feature) == OGRERR_NONE;
        *written += ok;
    }
    return ok;
}

}  // namespace

int RunExport(const ExportOptions& options, std::ostream& out, std::ostream& err) {
    StartGdal();
    std::vector<LoadedScenery> sceneries;
    for (const std::string& path : options.files) {
        LoadedScenery scenery = LoadScenery(path);
        if (!scenery.read() || !scenery.file.ok()) {
            err << "tavu export: " << path << ": "
                << (scenery.read() ? scenery.file.FirstError()->message : scenery.readError)
                << "; nothing exported\n";
            return EXIT_FAILURE_FOUND;
        }
        sceneries.push_back(std::move(scenery));
    }
    std::string problem;
    GDALDriver* driver = ChooseDriver(options, &problem);
    if (driver == nullptr) {
        err << "tavu export: " << problem << "\n";
        return EXIT_USAGE;
    }
    if (!Replaceable(driver, options.output, err)) {
        return EXIT_USAGE;
    }
    CPLErrorReset();
    std::unique_ptr<GDALDataset> dataset(
        driver->Create(options.output.c_str(), 0, 0, 0, GDT_Unknown, nullptr));
    if (!dataset) {
        err << "tavu export: " << options.output << ": " << GdalMessage("cannot create") << "\n";
        return EXIT_FAILURE_FOUND;
    }
    OGRSpatialReference wgs84;
    wgs84.importFromEPSG(4326);
    wgs84.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
    OGRLayer* objects = MakeLayer(dataset.get(), driver, "objects", &wgs84, wkbPoint25D, kObjectFields);
    bool ok = objects != nullptr;
    size_t count = 0;
    for (const LoadedScenery& scenery : sceneries) {
        std::string name = fs::path(scenery.path).filename().string();
        for (size_t i = 0; ok && i < scenery.file.records.size(); ++i) {
            ok = WriteObject(objects, name, i, scenery.file.records[i]);
            count += ok;
        }
    }
    // A format of one layer per file (GeoJSON, a .csv or .shp name) gets the
    // bounds in a second file beside the first.
    std::string boundsPath = options.output;
    size_t boxes = 0;
    std::unique_ptr<GDALDataset> second;
    GDALDataset* boundsData = dataset.get();
    if (ok && OneLayerPerFile(driver, *dataset, options.output)) {
        boundsPath = BoundsSibling(options.output);
        ok = Replaceable(driver, boundsPath, err);
        second.reset(ok ? driver->Create(boundsPath.c_str(), 0, 0, 0, GDT_Unknown, nullptr) : nullptr);
        boundsData = second.get();
        ok = boundsData != nullptr;
    }
    if (ok) {
        OGRLayer* bounds = MakeLayer(boundsData, driver, "bounds", &wgs84, wkbPolygon, kBoundsFields);
        ok = bounds != nullptr;
        for (const LoadedScenery& scenery : sceneries) {
            ok = ok && WriteBounds(bounds, fs::path(scenery.path).filename().string(), scenery.file.header,
                                   scenery.file.records.size(), &boxes);
        }
    }
    if (ok) {
        CPLErrorReset();
    }
    GDALClose(GDALDataset::ToHandle(dataset.release()));
    if (second) {
        GDALClose(GDALDataset::ToHandle(second.release()));
    }
    if (!ok || CPLGetLastErrorType() >= CE_Failure) {
        err << "tavu export: " << options.output << ": " << GdalMessage("cannot write") << "\n";
        return EXIT_FAILURE_FOUND;
    }
    out << options.output << ": " << Plural(count, "object") << " from "
        << Plural(sceneries.size(), "scenery file") << ", " << Plural(boxes, "bounds polygon")
        << (boundsPath == options.output ? "" : " in " + boundsPath) << " (" << driver->GetDescription()
        << ")\n";
    return EXIT_OK;
}

void AddExportCommand(CLI::App& app) {
    auto options = std::make_shared<ExportOptions>();
    auto* command =
        app.add_subcommand("export", "Write sceneries as geodata (GeoJSON, GeoPackage, KML, CSV, shapefile)");
    command->add_option("FILE", options->files, "Scenery files (.tsc)")->required();
    command->add_option("-o,--output", options->output, "The file (or folder) to write")->required();
    command->add_option("--format", options->format,
                        "An OGR vector format: GeoJSON, GPKG, KML, CSV, \"ESRI Shapefile\", ... "
                        "(default: by the output's extension)");
    command->footer(
        "Layers: objects (points, EPSG:4326, altitude as Z) and bounds (each scenery's saved box).\n"
        "Exit codes: 0 written, 1 a scenery is unreadable or malformed or the output could not be\n"
        "written (nothing is exported), 2 bad arguments, an unknown format or an output that is a\n"
        "scenery file.\n");
    command->callback([options] { ExitStatus() = RunExport(*options, std::cout, std::cerr); });
}

}  // namespace tavu
