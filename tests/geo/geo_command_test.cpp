// tavu export and import through the CLI: every format carries the editor's
// records there and back byte for byte, a Swiss grid GeoPackage lands where
// its degrees say, a feature that cannot be placed stops the import, and the
// worked example of docs/tools.md runs as written.
#include <gdal_priv.h>
#include <ogrsf_frmts.h>
#include <stdio.h>

#include <regex>

#include "scenery/scale.h"
#include "sim/geodesy.h"
#include "tests/tools/tools_fixture.h"
#include "tests/workbench/workbench_support.h"
#include "tools/tavu/geo/geo_commands.h"

namespace {

namespace fs = std::filesystem;
using toolstest::Placed;

toolstest::CliResult Geo(const std::vector<std::string>& args) {
    return toolstest::RunCli(args, "", tavu::AddGeoCommands);
}

class GeoCommands : public toolstest::ToolsTest {
  protected:
    std::vector<uint8_t> Bytes(const std::string& name) { return workbench::ReadBytes(PathOf(name)); }
    std::string Text(const std::string& name, const std::string& text) {
        std::ofstream(PathOf(name)) << text;
        return PathOf(name);
    }
};

// Records at the edges of what a file holds: by the poles, on both sides of
// ±180° and of the equator, every fraction, angle and scale kind.
std::vector<ObjectRecord> Extremes() {
    struct Row {
        int32_t lat, lon, alt;
        uint16_t fraction;
        int16_t heading, pitch, bank;
        int32_t scale;
        uint16_t range;
        int entry;
    } rows[] = {
        {10007543, INT32_MAX, 8848, 0x5FFF, -32768, 16384, -1, 250, 65535, 0},
        {-10007543, INT32_MIN, -400, 0xFFFF, 32767, -16384, 12345, -7, 0, 40},
        {5277500, 101981196, 2000000000, 1, 1, 0, -32768, 1, 1000, 100},
        {-1870000, -1, -2000000000, 0x8000, -1, -1, 0, 2000, 3000, 201},
        {0, INT32_MAX - 70000, 0, 0, 0, 0, 0, -31, 12, 325},
    };
    std::vector<ObjectRecord> records;
    for (const Row& row : rows) {
        ObjectRecord record =
            Placed(row.lat, row.lon, row.entry, row.heading, EncodeScale(row.scale), row.range);
        record.alt.integer = row.alt;
        record.lat.fraction = row.fraction;
        record.lon.fraction = static_cast<uint16_t>(~row.fraction);
        record.alt.fraction = static_cast<uint16_t>(row.fraction * 7);
        record.pitch = row.pitch;
        record.bank = row.bank;
        records.push_back(record);
    }
    return records;
}

TEST_F(GeoCommands, EveryFormatCarriesTheSavedFileThereAndBackByteForByte) {
    const std::string saved = Saved(Extremes());
    for (const std::string extension : {".geojson", ".gpkg", ".kml", ".csv", ".shp"}) {
        const struct {
            std::string file, bounds;  // where a one-layer format puts the bounds
        } format{"o" + extension, "o.bounds" + extension};
        SCOPED_TRACE(format.file);
        fs::remove(PathOf("back.tsc"));
        ASSERT_EQ(Geo({"export", saved, "-o", PathOf(format.file)}).exit, 0);
        auto imported = Geo({"import", PathOf(format.file), "-o", PathOf("back.tsc")});
        ASSERT_EQ(imported.exit, 0) << imported.err;
        EXPECT_EQ(Bytes("back.tsc"), Bytes("s.tsc"));

        std::unique_ptr<GDALDataset> data(GDALDataset::Open(PathOf(format.file).c_str(), GDAL_OF_VECTOR));
        ASSERT_TRUE(data);
        OGRLayer* objects = data->GetLayer(0);
        EXPECT_EQ(objects->GetFeatureCount(), 5);
        std::unique_ptr<GDALDataset> beside(GDALDataset::Open(PathOf(format.bounds).c_str(), GDAL_OF_VECTOR));
        OGRLayer* bounds = beside ? beside->GetLayer(0) : data->GetLayerByName("bounds");
        ASSERT_TRUE(bounds);
        EXPECT_EQ(bounds->GetFeatureCount(), 1);
        OGRFeatureUniquePtr first(objects->GetNextFeature());
        EXPECT_STREQ(first->GetFieldAsString("objectKey"),
                     tavu::KeyHex(ObjectCatalog.entries[0].objectKey).c_str());
        EXPECT_EQ(first->GetFieldAsDouble("heading"), 180.0);
        EXPECT_EQ(first->GetFieldAsInteger("range"), 65535);
    }
}

TEST_F(GeoCommands, ABoxAcrossTheAntimeridianBecomesTwoPolygonsOneOnEachSide) {
    const std::string saved = Saved({Placed(-1870000, INT32_MAX - 1000, 300)}, "fiji.tsc");
    ASSERT_EQ(Geo({"export", saved, "-o", PathOf("fiji.gpkg")}).exit, 0);
    std::unique_ptr<GDALDataset> data(GDALDataset::Open(PathOf("fiji.gpkg").c_str(), GDAL_OF_VECTOR));
    OGRLayer* bounds = data->GetLayerByName("bounds");
    ASSERT_EQ(bounds->GetFeatureCount(), 2);
    OGREnvelope east, west;
    OGRFeatureUniquePtr(bounds->GetNextFeature())->GetGeometryRef()->getEnvelope(&east);
    OGRFeatureUniquePtr(bounds->GetNextFeature())->GetGeometryRef()->getEnvelope(&west);
    EXPECT_EQ(east.MaxX, 180.0);
    EXPECT_LT(east.MinX, 180.0);
    EXPECT_EQ(west.MinX, -180.0);
    EXPECT_GT(west.MaxX, -180.0);
    EXPECT_EQ(east.MinY, west.MinY);
}

TEST_F(GeoCommands, ASwissGridPointLandsWhereItsDegreesSay) {
    GDALAllRegister();  // the test may run alone, before any command registered the drivers
    GDALDriver* gpkg = GetGDALDriverManager()->GetDriverByName("GPKG");
    std::unique_ptr<GDALDataset> data(
        gpkg->Create(PathOf("lv95.gpkg").c_str(), 0, 0, 0, GDT_Unknown, nullptr));
    OGRSpatialReference lv95;
    lv95.importFromEPSG(2056);
    OGRLayer* layer = data->CreateLayer("survey", &lv95, wkbPoint);
    OGRFieldDefn name("Name", OFTString);
    layer->CreateField(&name);
    OGRFeature feature(layer->GetLayerDefn());
    feature.SetField("Name", "tree   1");
    feature.SetGeometryDirectly(new OGRPoint(2683256, 1248118));
    ASSERT_EQ(layer->CreateFeature(&feature), OGRERR_NONE);
    data.reset();

    auto result = Geo({"import", PathOf("lv95.gpkg"), "-o", PathOf("zurich.tsc"), "--altitude", "408.5"});
    ASSERT_EQ(result.exit, 0) << result.err;
    sim::SceneryFile file = sim::ReadSceneryFile(Bytes("zurich.tsc"));
    ASSERT_EQ(file.records.size(), 1u);
    // gdaltransform -s_srs EPSG:2056 -t_srs EPSG:4326 says 8.54110168899931 47.3786361348954.
    EXPECT_NEAR(sim::LatitudeOf(file.records[0].lat), 47.3786361348954, 1e-9);
    EXPECT_NEAR(sim::LongitudeOf(file.records[0].lon), 8.54110168899931, 1e-9);
    EXPECT_EQ(sim::AltitudeOf(file.records[0].alt), 408.5);
    EXPECT_EQ(tavu::FindEntry(file.records[0].objectKey)->entry, tavu::LookUpObject("Tree 1").entry);
}

TEST_F(GeoCommands, AFeatureThatCannotBePlacedStopsTheImportUnlessSkipped) {
    const std::string source = Text("in.geojson", R"({"type": "FeatureCollection", "features": [
 {"type": "Feature", "properties": {"name": "ELEPHANT 1", "heading": "89.999", "scale": 150},
  "geometry": {"type": "Point", "coordinates": [8.5, 47.4, 3]}},
 {"type": "Feature", "properties": {"name": "Elefant 1"}, "geometry": {"type": "Point", "coordinates": [8, 47]}},
 {"type": "Feature", "properties": {"name": "Cow 2"}, "geometry": {"type": "LineString", "coordinates": [[8, 47], [9, 47]]}},
 {"type": "Feature", "properties": {"name": "Cow 2", "heading": 400}, "geometry": {"type": "Point", "coordinates": [8, 47]}},
 {"type": "Feature", "properties": {"name": "Cow 2", "scale": 12.5}, "geometry": {"type": "Point", "coordinates": [8, 47]}},
 {"type": "Feature", "properties": {"name": "Cow 2", "range": "far"}, "geometry": {"type": "Point", "coordinates": [8, 47]}},
 {"type": "Feature", "properties": {"name": "Cow 2"}, "geometry": {"type": "Point", "coordinates": [8, 91]}},
 {"type": "Feature", "properties": {"name": " "}, "geometry": {"type": "Point", "coordinates": [8, 47]}}]})");
    auto failed = Geo({"import", source, "-o", PathOf("a.tsc")});
    EXPECT_EQ(failed.exit, 1);
    for (const char* reason :
         {"feature 1: unknown object \"Elefant 1\"; did you mean \"Elephant 1\"?",
          "feature 2: a LINESTRING, not a point", "feature 3: heading 400 is out of range",
          "feature 4: scale 12.5 is out of range", "feature 5: range \"far\" is not a number",
          "feature 6: latitude 91 is out of range", "feature 7: no object name",
          "nothing written: 7 features of 8"})
        EXPECT_NE(failed.err.find(reason), std::string::npos) << reason << "\n" << failed.err;
    EXPECT_FALSE(fs::exists(PathOf("a.tsc")));
    EXPECT_EQ(Geo({"import", source, "-o", PathOf("a.tsc"), "--skip-bad", "--dry-run"}).exit, 0);
    EXPECT_FALSE(fs::exists(PathOf("a.tsc")));

    // The one good feature, twice: --append keeps the first record as it was.
    ASSERT_EQ(Geo({"import", source, "-o", PathOf("a.tsc"), "--skip-bad"}).exit, 0);
    const std::vector<uint8_t> once = Bytes("a.tsc");
    ASSERT_EQ(Geo({"import", source, "-o", PathOf("a.tsc"), "--skip-bad", "--append"}).exit, 0);
    sim::SceneryFile twice = sim::ReadSceneryFile(Bytes("a.tsc"));
    ASSERT_EQ(twice.records.size(), 2u);
    EXPECT_TRUE(std::equal(once.begin() + SCENERY_FILE_HEADER_BYTES, once.end(),
                           Bytes("a.tsc").begin() + SCENERY_FILE_HEADER_BYTES));
    const ObjectRecord& elephant = twice.records[1];
    EXPECT_EQ(elephant.heading, 16384);
    EXPECT_EQ(elephant.scale, EncodeScale(150));
    EXPECT_EQ(sim::AltitudeOf(elephant.alt), 3.0);
    EXPECT_TRUE(tavu::CheckScenery(twice).empty());
    EXPECT_FALSE(fs::exists(PathOf("a.tsc.saving")));

    // A CSV names its coordinates lon and lat, and its objects in any field.
    const std::string csv = Text("trees.csv", "what,lat,lon\nTree 14,-17.5,179.99\n");
    auto planted = Geo({"import", csv, "-o", PathOf("c.tsc"), "--name-field", "what", "--altitude", "12"});
    ASSERT_EQ(planted.exit, 0) << planted.err;
    sim::SceneryFile trees = sim::ReadSceneryFile(Bytes("c.tsc"));
    ASSERT_EQ(trees.records.size(), 1u);
    EXPECT_NEAR(sim::LongitudeOf(trees.records[0].lon), 179.99, 1e-9);
    EXPECT_EQ(sim::AltitudeOf(trees.records[0].alt), 12.0);
}

// Runs each `$ ` line of docs/tools.md's console blocks with bash, in a
// folder that holds examples/, and compares what it prints with the lines
// shown under it.
TEST(WorkedExample, TheGeodataExampleOfTheToolsPageRunsAsWritten) {
    char pattern[] = "/tmp/tavu-example-XXXXXX";
    const std::string folder = mkdtemp(pattern);
    fs::create_directory_symlink(fs::absolute(workbench::SourceRoot() / "examples"), folder + "/examples");
    std::istringstream page(workbench::ReadText((workbench::SourceRoot() / "docs/tools.md").string()));
    std::vector<std::pair<std::string, std::string>> steps;  // command, output
    bool inBlock = false;
    for (std::string line; std::getline(page, line);) {
        if (line.starts_with("```"))
            inBlock = line == "```console";
        else if (inBlock && line.starts_with("$ "))
            steps.push_back({line.substr(2), ""});
        else if (inBlock)
            steps.back().second += line + "\n";
    }
    ASSERT_GE(steps.size(), 4u);
    for (const auto& [command, expected] : steps) {
        const std::string shell = "cd " + folder + " && PATH=" + TAVU_BINARY_DIR + ":$PATH bash -c '" +
                                  std::regex_replace(command, std::regex("'"), "'\\''") + "' 2>&1";
        FILE* pipe = popen(shell.c_str(), "r");
        std::string out;
        char buffer[4096];
        for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
            out.append(buffer, n);
        pclose(pipe);
        EXPECT_EQ(out, expected) << command;
    }
    fs::remove_all(folder);
}

}  // namespace
