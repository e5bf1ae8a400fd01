#include "tools/tavu/geo/geodata.h"

#include <cpl_conv.h>
#include <cpl_error.h>
#include <gdal.h>
#include <ogr_feature.h>

#include <cmath>

#include "catalog/catalog_names.h"
#include "sim/geodesy.h"

namespace tavu {

namespace {

// A 32.32 host position to the nearest 48-bit record position; the integer
// part wraps, as longitudes do at ±180°.
Position48 Nearest48(int64_t position) {
    uint64_t rounded = static_cast<uint64_t>(position) + 0x8000u;
    return Position48{static_cast<uint16_t>(rounded >> 16),
                      static_cast<int32_t>(static_cast<uint32_t>(rounded >> 32))};
}

}  // namespace

Position48 RecordLatitude(double degrees) {
    return Nearest48(sim::LatitudeToPosition(degrees));
}
Position48 RecordLongitude(double degrees) {
    return Nearest48(sim::LongitudeToPosition(degrees));
}
Position48 RecordAltitude(double metres) {
    return Nearest48(sim::AltitudeToPosition(metres));
}

int16_t RecordAngle(double degrees) {
    return static_cast<int16_t>(static_cast<uint16_t>((sim::DegreesToHeading(degrees) + 0x8000u) >> 16));
}

ObjectLookup LookUpObject(const std::string& typed) {
    catalog_names::NameMatch match = catalog_names::MatchEntry(typed);
    if (match.index >= 0) {
        return {match.index, {}};
    }
    return {-1, "unknown object \"" + typed + "\"" + catalog_names::DidYouMean(match)};
}

// A field by name in any case; a shapefile keeps only the first ten
// characters of a longer name.
int FieldIndex(const OGRFeatureDefn& definition, const std::string& name) {
    int index = definition.GetFieldIndex(name.c_str());
    if (index < 0 && name.size() > 10) {
        index = definition.GetFieldIndex(name.substr(0, 10).c_str());
    }
    return index;
}

void StartGdal() {
    static bool started = [] {
        GDALAllRegister();
        // Messages reach the user through the commands' own reports.
        CPLSetErrorHandler(CPLQuietErrorHandler);
        return true;
    }();
    (void)started;
    CPLErrorReset();
}

std::string GdalMessage(const std::string& fallback) {
    std::string message = CPLGetLastErrorMsg();
    return message.empty() ? fallback : message;
}

}  // namespace tavu
