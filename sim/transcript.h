// How a session words what the user would have seen: records in degrees and
// metres with their catalog names, the selection, the aircraft, the marker,
// scenery files, message boxes and dialogs. `tavu run` writes these lines
// into its transcript; `tavu fly` uses the same words and the same catalog
// and angle readings on its status and note lines, so that the two never
// tell a person different things about the same record, box or dialog.
#pragma once

#include <stdint.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/win32.h"
#include "scenery/record.h"
#include "sim/host.h"
#include "sim/session.h"

namespace sim {

struct MarkerPosition;
class Simulator;

// ---------------------------------------------------------------------------
// Counts, angles and distances

// "1 box", "2 boxes".
std::string Plural(int64_t n, const char* one, const char* many);
// Degrees folded into [0, 360).
double Normalise360(double degrees);
// Ground distance in metres between two places given in degrees, flat
// enough for the few kilometres a session spans.
double GroundMetres(double lat1, double lon1, double lat2, double lon2);

// A record's attitude in degrees, the heading in [0, 360).
struct RecordAngles {
    double heading = 0;
    double pitch = 0;
    double bank = 0;
};
RecordAngles AnglesOf(const ObjectRecord& record);

// The marker block holds whole metres; anything closer counts as standing on
// the selected object.
inline constexpr double kMarkerOnObjectMetres = 1.0;
// How far a marker stands from a record, in metres, height included.
double MarkerGapMetres(const MarkerPosition& marker, const ObjectRecord& record);

// ---------------------------------------------------------------------------
// The catalog's view of a record

// The catalog entry of a record, by the rule the editor follows: the first
// entry with the record's key, and only when its group exists; -1 otherwise.
int CatalogIndexOf(const ObjectRecord& record);
// The group whose range holds an entry index; -1 for none.
int GroupOfEntry(int entry);
// The entry's name, or "(not in the catalog)".
std::string CatalogName(const ObjectRecord& record);
// "B737 Lufthansa (Aircraft)"; nothing for a record the catalog does not know.
std::optional<std::string> CatalogLabel(const ObjectRecord& record);
// Percent of a record's scale as the editor's scale keys see it; nullopt for
// a fixed-scale object.
std::optional<int64_t> ScalePercent(const ObjectRecord& record);

// ---------------------------------------------------------------------------
// Lines about the world

// "#0 at lat 46.004743 lon 8.910712 alt 279.00 m, 50.0 m from the aircraft;
// heading 0.0 pitch 0.0 bank 0.0; scale 100%".
std::string DescribeObject(int index, const ObjectRecord& record, double aircraftLat, double aircraftLon);
// "selected #0 of 1: B737 Lufthansa (Aircraft)".
std::string DescribeSelection(int index, int32_t count, const ObjectRecord& record);
// "aircraft at lat 46.004300 lon 8.910600 alt 281.0 m, heading 10.0".
std::string DescribeAircraft(double lat, double lon, double alt, double heading);
// "marker at lat ... lon ... alt 279 m, on the selected object", or "marker:
// not drawn"; `gap` is MarkerGapMetres to the selected object, if any.
std::string DescribeMarker(const std::optional<MarkerPosition>& marker, std::optional<double> gap);
// "352 bytes, 4 objects" or what is wrong with the file.
std::string DescribeFile(const std::string& path);
// "English", "Italian", "German".
const char* LanguageName(LANGID language);

// ---------------------------------------------------------------------------
// Boxes, dialogs and help

bool IsYesNo(const MessageBox& box);
// "Yes", "No", or the number the box returned.
std::string AnswerText(int32_t answer);
// "box \"TITLE\" (text 8; OK)", "... (text 11; Yes/No, answered No)".
std::string DescribeBox(const MessageBox& box);
// The box's text, line by line, blank lines left out.
std::vector<std::string> BoxTextLines(const MessageBox& box);

// The fields of the object properties dialog a person looks at.
struct DialogFields {
    std::string group, object, scale, distance, preview;
    bool scaleEnabled = true;
};
DialogFields ReadDialog(HWND dialog);
// Every field, or only those that differ from `before` ("no change").
std::string DescribeFields(const DialogFields& now, const DialogFields* before);
// "dialog 102 \"CAPTION\": TITLE LINE".
std::string DescribeDialog(int32_t id, const std::string& caption, HWND dialog);
// "dialog ended: OK", "dialog ended: Cancel", "dialog ended: 3".
std::string DialogEndedText(INT_PTR ended);
// "group", "ok", ...; and with its text: "object \"Elephant 1\"".
const char* DialogActionName(DialogAction::Kind kind);
std::string DescribeAction(const DialogAction& action);
// "QIRO\TAVU\TAVU.CHM /DlgObjProp.htm": the help file and topic asked for.
std::string HelpRequestText(const std::pair<std::string, std::string>& request);

// ---------------------------------------------------------------------------
// The end of a session

// "2 saves failed: scenery-001.tsc: Permission denied" and "1 delete failed:
// scenery-002.tsc: Is a directory": a line for each kind that failed, each
// file and reason named once, in the order they first failed; none when
// every save and delete went through.
std::vector<std::string> FailedWriteLines(const Simulator& simulator);
// "after the guest fault: closed ...; removed ...", or "" when a fault left
// the module holding nothing.
std::string ReclaimedLine(const Simulator& simulator);

}  // namespace sim
