// What tavu export and tavu import share besides the public entry points.
#pragma once

#include <string>

#include <ogr_feature.h>

#include "tools/tavu/geo/geo_commands.h"

namespace tavu {

// Registers the drivers once and keeps GDAL's own messages off the
// terminal; clears the last error.
void StartGdal();
// GDAL's last error message, or `fallback` when it has none.
std::string GdalMessage(const std::string& fallback);

// A field by name in any case; a shapefile keeps only the first ten
// characters of a longer name. -1 when there is none.
int FieldIndex(const OGRFeatureDefn& definition, const std::string& name);

}  // namespace tavu
