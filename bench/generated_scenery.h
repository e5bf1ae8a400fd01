// Large scenery files for the benchmarks, built the way the editor builds
// records (the record template, the catalog's keys, scales and ranges, the
// save's bounds), so that the file tools read them as any saved scenery.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "scenery/record.h"

namespace bench {

// `count` objects around an airport: two thirds in 40 tight clusters
// (aprons, parking lots, woods, each a few hundred metres across), the rest
// scattered over 20 km by 20 km; every catalog entry in turn, headings all
// round. The same count always gives the same records.
std::vector<ObjectRecord> GeneratedRecords(size_t count);

// The bytes of a scenery file holding those records, with the header a save
// writes (bounds, MODIFIED, sizes).
std::vector<uint8_t> GeneratedSceneryFile(size_t count);

// Writes that file to `path`; false when it cannot be written.
bool WriteGeneratedScenery(const std::string& path, size_t count);

}  // namespace bench
