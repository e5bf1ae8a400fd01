// The `expect` statements: what a script says should hold, checked against
// the simulator and the scenery folder.
#include <cmath>
#include <filesystem>
#include <system_error>

#include "sim/geodesy.h"
#include "sim/scenery_file.h"
#include "sim/session_internal.h"
#include "sim/simulator.h"
#include "sim/transcript.h"

namespace sim {

namespace fs = std::filesystem;

namespace {

constexpr double kDefaultHeadingTolerance = 0.5;

}  // namespace

std::optional<double> MarkerGap(Simulator& sim) {
    std::optional<MarkerPosition> marker = sim.Marker();
    const ObjectRecord* record = sim.SelectedRecord();
    if (!marker || !record) {
        return std::nullopt;
    }
    return MarkerGapMetres(*marker, *record);
}

std::string CheckExpectation(const Statement& s, Simulator& sim, const std::string& sceneryFolder) {
    const ObjectRecord* record = sim.SelectedRecord();
    const SceneryView* header = sim.CurrentHeader();
    switch (s.expect) {
        case ExpectKind::Objects: {
            int32_t count = header ? header->count : 0;
            return count == static_cast<int32_t>(s.value) ? ""
                   : header ? "the current scenery holds " + Plural(count, "object", "objects")
                            : "no scenery is current (0 objects)";
        }
        case ExpectKind::Selected:
            if (!s.flag) {
                return record ? "selected: " + CatalogName(*record) : "";
            }
            if (!record) {
                return "no object is selected";
            }
            return CatalogName(*record) == s.text ? "" : "selected: " + CatalogName(*record);
        case ExpectKind::Box: {
            const std::vector<MessageBox>& boxes = sim.host().Boxes();
            if (boxes.empty()) {
                return "no box has been shown";
            }
            return boxes.back().textId == static_cast<int32_t>(s.value)
                       ? ""
                       : Printf("the last box shown had text %d", boxes.back().textId);
        }
        case ExpectKind::Boxes: {
            size_t shown = sim.host().Boxes().size();
            return shown == static_cast<size_t>(s.value)
                       ? ""
                       : Plural(static_cast<int64_t>(shown), "box was shown", "boxes were shown");
        }
        case ExpectKind::File: {
            std::string path = InFolder(s.text, sceneryFolder);
            std::error_code code;
            if (!fs::is_regular_file(path, code)) {
                return "no file " + path;
            }
            uintmax_t size = fs::file_size(path, code);
            if (s.bytes && static_cast<int64_t>(size) != *s.bytes) {
                return "the file holds " + std::to_string(size) + " bytes";
            }
            if (s.objects) {
                std::optional<std::vector<uint8_t>> bytes =
                    ReadFileBytes(path, kMaxSceneryFileBytes, nullptr);
                SceneryFile file = ReadSceneryFile(bytes ? *bytes : std::vector<uint8_t>{});
                if (!file.ok()) {
                    return "not a sound scenery file: " + file.FirstError()->message;
                }
                if (file.header.count != *s.objects) {
                    return "the file holds " + Plural(file.header.count, "object", "objects");
                }
            }
            return "";
        }
        case ExpectKind::NoFile: {
            std::error_code code;
            return fs::exists(InFolder(s.text, sceneryFolder), code) ? "the file exists" : "";
        }
        case ExpectKind::Marker: {
            std::optional<double> gap = MarkerGap(sim);
            if (!gap) {
                return sim.Marker() ? "no object is selected" : "no marker has been drawn";
            }
            bool on = *gap <= kMarkerOnObjectMetres;
            return on == s.flag ? ""
                   : on         ? "the marker stands on the selected object"
                                : Printf("the marker stands %.1f m from the selected object", *gap);
        }
        case ExpectKind::Scale: {
            if (!record) {
                return "no object is selected";
            }
            std::optional<int64_t> percent = ScalePercent(*record);
            if (s.flag) {
                return percent ? Printf("the scale is %lld%%", static_cast<long long>(*percent)) : "";
            }
            return !percent ? "the object has a fixed scale"
                   : *percent == static_cast<int64_t>(s.value)
                       ? ""
                       : Printf("the scale is %lld%%", static_cast<long long>(*percent));
        }
        case ExpectKind::Position: {
            if (!record) {
                return "no object is selected";
            }
            double lat = LatitudeOf(record->lat), lon = LongitudeOf(record->lon);
            double ground = GroundMetres(*s.lat, *s.lon, lat, lon);
            double gap = s.alt ? std::hypot(ground, AltitudeOf(record->alt) - *s.alt) : ground;
            return gap <= *s.within ? ""
                                    : Printf("the object is at lat %.6f lon %.6f alt %.2f m, %.1f m away",
                                             lat, lon, AltitudeOf(record->alt), gap);
        }
        case ExpectKind::Heading: {
            if (!record) {
                return "no object is selected";
            }
            double heading = Normalise360(AngleToDegrees(record->heading));
            double gap = std::fabs(std::remainder(heading - s.value, 360.0));
            return gap <= s.within.value_or(kDefaultHeadingTolerance)
                       ? ""
                       : Printf("the heading is %.2f", heading);
        }
        case ExpectKind::Running:
            return sim.Running() == s.flag ? ""
                   : sim.Running()         ? "the editor runs"
                                           : "the editor does not run";
        case ExpectKind::Scenery: {
            std::string current = FileName(sim.CurrentPath());
            if (!s.flag) {
                return current.empty() ? "" : "the current scenery is " + current;
            }
            return current == s.text ? ""
                   : current.empty() ? "no scenery is current"
                                     : "the current scenery is " + current;
        }
    }
    return "unknown expectation";
}

}  // namespace sim
