#include "sim/transcript.h"

#include <string.h>

#include <algorithm>
#include <cmath>

#include "catalog/catalog.h"
#include "platform/bitmaps.h"
#include "platform/dialogs.h"
#include "platform/resources.h"
#include "resources/resource_ids.h"
#include "scenery/scale.h"
#include "sim/geodesy.h"
#include "sim/printable.h"
#include "sim/scenery_file.h"
#include "sim/session_internal.h"
#include "sim/simulator.h"

namespace sim {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kTwo32 = 4294967296.0;

}  // namespace

// ---------------------------------------------------------------------------
// Counts, angles and distances

std::string Plural(int64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

double Normalise360(double degrees) {
    double wrapped = std::fmod(degrees, 360.0);
    return wrapped < 0 ? wrapped + 360.0 : wrapped;
}

double GroundMetres(double lat1, double lon1, double lat2, double lon2) {
    double north = (lat2 - lat1) * kPi / 180.0 * kEarthRadiusMetres;
    double dLon = std::remainder(lon2 - lon1, 360.0);
    double east = dLon * kPi / 180.0 * kEarthRadiusMetres * std::cos((lat1 + lat2) / 2.0 * kPi / 180.0);
    return std::hypot(north, east);
}

RecordAngles AnglesOf(const ObjectRecord& record) {
    return RecordAngles{Normalise360(AngleToDegrees(record.heading)), AngleToDegrees(record.pitch),
                        AngleToDegrees(record.bank)};
}

double MarkerGapMetres(const MarkerPosition& marker, const ObjectRecord& record) {
    double north = static_cast<double>(int64_t{marker.lat} - record.lat.integer);
    double up = static_cast<double>(int64_t{marker.alt} - record.alt.integer);
    int32_t lonUnits =
        static_cast<int32_t>(static_cast<uint32_t>(marker.lon) - static_cast<uint32_t>(record.lon.integer));
    double east = LonUnitsToMetres(lonUnits, marker.lat);
    return std::sqrt(north * north + east * east + up * up);
}

// ---------------------------------------------------------------------------
// The catalog's view of a record

// Looked up here rather than through the module's own code, which reaches
// the host through tables only the linked-in module has filled.
int CatalogIndexOf(const ObjectRecord& record) {
    for (int32_t i = 0; i < ObjectCatalog.entryCount; ++i) {
        const CatalogEntry& entry = ObjectCatalog.entries[i];
        if (memcmp(record.objectKey, entry.objectKey, sizeof record.objectKey) != 0) {
            continue;
        }
        for (int32_t g = 0; g < ObjectCatalog.groupCount; ++g) {
            if (ObjectCatalog.groups[g].key == entry.groupKey) {
                return i;
            }
        }
        return -1;
    }
    return -1;
}

int GroupOfEntry(int entry) {
    for (int i = 0; i < ObjectCatalog.groupCount; ++i) {
        if (entry >= ObjectCatalog.groups[i].first && entry <= ObjectCatalog.groups[i].last) {
            return i;
        }
    }
    return -1;
}

std::string CatalogName(const ObjectRecord& record) {
    int entry = CatalogIndexOf(record);
    return entry < 0 ? std::string("(not in the catalog)") : std::string(ObjectCatalog.entries[entry].name);
}

std::optional<std::string> CatalogLabel(const ObjectRecord& record) {
    int entry = CatalogIndexOf(record);
    if (entry < 0) {
        return std::nullopt;
    }
    int group = GroupOfEntry(entry);
    return std::string(ObjectCatalog.entries[entry].name) +
           (group < 0 ? std::string() : std::string(" (") + ObjectCatalog.groups[group].name + ")");
}

std::optional<int64_t> ScalePercent(const ObjectRecord& record) {
    int entry = CatalogIndexOf(record);
    if ((entry >= 0 && ObjectCatalog.entries[entry].defaultScale < 0) || record.scale == 0) {
        return std::nullopt;
    }
    return static_cast<int64_t>(SCALE_PERCENT_NUMERATOR / record.scale);
}

// ---------------------------------------------------------------------------
// Lines about the world

std::string DescribeObject(int index, const ObjectRecord& record, double aircraftLat, double aircraftLon) {
    double lat = LatitudeOf(record.lat), lon = LongitudeOf(record.lon), alt = AltitudeOf(record.alt);
    double fromAircraft = GroundMetres(aircraftLat, aircraftLon, lat, lon);
    RecordAngles angles = AnglesOf(record);
    std::optional<int64_t> percent = ScalePercent(record);
    return Printf(
               "#%d at lat %.6f lon %.6f alt %.2f m, %.1f m from the aircraft; heading %.1f pitch %.1f "
               "bank %.1f; ",
               index, lat, lon, alt, fromAircraft, angles.heading, angles.pitch, angles.bank) +
           (percent ? Printf("scale %lld%%", static_cast<long long>(*percent)) : std::string("scale fixed"));
}

std::string DescribeSelection(int index, int32_t count, const ObjectRecord& record) {
    std::optional<std::string> label = CatalogLabel(record);
    return Printf("selected #%d of %d: ", index, count) + (label ? *label : CatalogName(record));
}

std::string DescribeAircraft(double lat, double lon, double alt, double heading) {
    return Printf("aircraft at lat %.6f lon %.6f alt %.1f m, heading %.1f", lat, lon, alt, heading);
}

std::string DescribeMarker(const std::optional<MarkerPosition>& marker, std::optional<double> gap) {
    if (!marker) {
        return "marker: not drawn";
    }
    double lat = PositionToLatitude(static_cast<int64_t>(marker->lat) * static_cast<int64_t>(kTwo32));
    double lon = PositionToLongitude(static_cast<int64_t>(marker->lon) * static_cast<int64_t>(kTwo32));
    std::string where = Printf("marker at lat %.6f lon %.6f alt %d m", lat, lon, marker->alt);
    if (!gap) {
        return where + ", no object selected";
    }
    if (*gap <= kMarkerOnObjectMetres) {
        return where + ", on the selected object";
    }
    return where + Printf(", %.1f m from the selected object", *gap);
}

std::string DescribeFile(const std::string& path) {
    std::string error;
    std::optional<std::vector<uint8_t>> bytes = ReadFileBytes(path, kMaxSceneryFileBytes, &error);
    if (!bytes) {
        return "unreadable: " + error;
    }
    SceneryFile file = ReadSceneryFile(*bytes);
    std::string out = std::to_string(bytes->size()) + " bytes";
    if (!file.ok()) {
        return out + ", MALFORMED: " + file.FirstError()->message;
    }
    int32_t count = file.header.count;
    return out + ", " + std::to_string(count) + (count == 1 ? " object" : " objects");
}

const char* LanguageName(LANGID language) {
    switch (language) {
        case platform::LANGUAGE_ITALIAN:
            return "Italian";
        case platform::LANGUAGE_GERMAN:
            return "German";
        default:
            return "English";
    }
}

// ---------------------------------------------------------------------------
// Boxes, dialogs and help

bool IsYesNo(const MessageBox& box) {
    return (box.flags & 0xF) == 4;
}

std::string AnswerText(int32_t answer) {
    return answer == ANSWER_YES  ? std::string("Yes")
           : answer == ANSWER_NO ? std::string("No")
                                 : std::to_string(answer);
}

std::string DescribeBox(const MessageBox& box) {
    std::string how = "OK";
    if (IsYesNo(box)) {
        how = box.unanswered ? "Yes/No, unanswered" : "Yes/No, answered " + AnswerText(box.answer);
    }
    return Printf("box \"%s\" (text %d; %s)", box.title.c_str(), box.textId, how.c_str());
}

std::vector<std::string> BoxTextLines(const MessageBox& box) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < box.text.size()) {
        size_t newline = box.text.find('\n', start);
        std::string part =
            box.text.substr(start, newline == std::string::npos ? std::string::npos : newline - start);
        if (!part.empty()) {
            lines.push_back(part);
        }
        start = newline == std::string::npos ? box.text.size() : newline + 1;
    }
    return lines;
}

DialogFields ReadDialog(HWND dialog) {
    DialogFields fields;
    fields.group = platform::ControlText(dialog, IDC_GROUP_LIST);
    fields.object = platform::ControlText(dialog, IDC_OBJECT_LIST);
    fields.scale = platform::ControlText(dialog, IDC_SCALE);
    fields.scaleEnabled = platform::ControlEnabled(dialog, IDC_SCALE);
    fields.distance = platform::ControlText(dialog, IDC_MAX_DISTANCE);
    std::optional<platform::BitmapPixels> bitmap =
        platform::BitmapInfo(platform::ControlImage(dialog, IDC_PREVIEW));
    fields.preview = bitmap ? bitmap->path : "";
    return fields;
}

std::string DescribeFields(const DialogFields& now, const DialogFields* before) {
    std::vector<std::string> parts;
    if (!before || now.group != before->group) {
        parts.push_back("group \"" + now.group + "\"");
    }
    if (!before || now.object != before->object) {
        parts.push_back("object \"" + now.object + "\"");
    }
    if (!before || now.scale != before->scale || now.scaleEnabled != before->scaleEnabled) {
        parts.push_back("scale \"" + now.scale + "\"" + (now.scaleEnabled ? "" : " (disabled)"));
    }
    if (!before || now.distance != before->distance) {
        parts.push_back("distance \"" + now.distance + "\"");
    }
    if (!before || now.preview != before->preview) {
        parts.push_back("preview " + (now.preview.empty() ? std::string("none") : now.preview));
    }
    std::string out;
    for (const std::string& part : parts) {
        out += (out.empty() ? "" : ", ") + part;
    }
    return out.empty() ? "no change" : out;
}

std::string DescribeDialog(int32_t id, const std::string& caption, HWND dialog) {
    return Printf("dialog %d \"%s\": %s", id, caption.c_str(),
                  platform::ControlText(dialog, IDC_TITLE_LINE).c_str());
}

std::string DialogEndedText(INT_PTR ended) {
    return ended == IDOK       ? std::string("dialog ended: OK")
           : ended == IDCANCEL ? std::string("dialog ended: Cancel")
                               : Printf("dialog ended: %ld", static_cast<long>(ended));
}

const char* DialogActionName(DialogAction::Kind kind) {
    switch (kind) {
        case DialogAction::Kind::Group:
            return "group";
        case DialogAction::Kind::Object:
            return "object";
        case DialogAction::Kind::Scale:
            return "scale";
        case DialogAction::Kind::Distance:
            return "distance";
        case DialogAction::Kind::Help:
            return "help";
        case DialogAction::Kind::Ok:
            return "ok";
        case DialogAction::Kind::Cancel:
            return "cancel";
        case DialogAction::Kind::Close:
            return "close";
    }
    return "?";
}

std::string DescribeAction(const DialogAction& action) {
    std::string out = DialogActionName(action.kind);
    switch (action.kind) {
        case DialogAction::Kind::Group:
        case DialogAction::Kind::Object:
        case DialogAction::Kind::Scale:
        case DialogAction::Kind::Distance:
            out += " \"" + action.text + "\"";
            break;
        default:
            break;
    }
    return out;
}

std::string HelpRequestText(const std::pair<std::string, std::string>& request) {
    return request.first + " " + request.second;
}

// ---------------------------------------------------------------------------
// The end of a session

std::vector<std::string> FailedWriteLines(const Simulator& simulator) {
    std::vector<std::string> lines;
    auto line = [&lines](const std::vector<FailedWrite>& failed, const char* one, const char* many) {
        if (failed.empty()) {
            return;
        }
        std::vector<std::string> named;
        for (const FailedWrite& write : failed) {
            std::string entry = Printable(write.file) + ": " + write.reason;
            if (std::find(named.begin(), named.end(), entry) == named.end()) {
                named.push_back(std::move(entry));
            }
        }
        std::string text = Plural(static_cast<int64_t>(failed.size()), one, many) + " failed: ";
        for (size_t i = 0; i < named.size(); ++i) {
            text += (i == 0 ? "" : "; ") + named[i];
        }
        lines.push_back(std::move(text));
    };
    line(simulator.FailedSaves(), "save", "saves");
    line(simulator.FailedDeletes(), "delete", "deletes");
    return lines;
}

std::string ReclaimedLine(const Simulator& simulator) {
    std::string text;
    for (const std::string& phrase : simulator.Reclaimed()) {
        text += (text.empty() ? "after the guest fault: " : "; ") + phrase;
    }
    return text;
}

}  // namespace sim
