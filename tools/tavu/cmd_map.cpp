// tavu map: a top-down SVG drawing of one or more sceneries.
//
// Positions are projected to local metres around the middle of what is
// drawn (east = longitude difference times the parallel's radius at the
// middle latitude, north = the latitude's metres directly), so that short
// distances and angles read true. North is up; parallels and meridians at
// round degrees label the axes.
//
// A map may hold the 880 000 objects of the largest scenery file: every
// object is one <use> of a symbol defined once per group and heading, at a
// position rounded to a tenth of a pixel; hover details go only into maps
// of up to kMaxDetailedObjects objects; labels are placed against a raster
// of the symbols' centres and a grid of the labels already placed, never
// against every other box.
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bitset>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <concepts>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <numbers>
#include <string_view>

#include "catalog/catalog.h"
#include "sim/host.h"
#include "tools/tavu/commands.h"
#include "tools/tavu/file_commands.h"
#include "tools/tavu/map_labels.h"
#include "tools/tavu/progress.h"
#include "tools/tavu/svg.h"
#include "tools/tavu/whole_file.h"
#include "tools/tavu/text_table.h"

namespace tavu {

namespace {

// Page layout in pixels: the map on the left, the legend on the right.
constexpr double kCanvasWidth = 1220;
constexpr double kMapX = 20;
constexpr double kMapY = 74;
constexpr double kMapWidth = 900;
constexpr double kMapHeight = 700;
constexpr double kCanvasHeight = kMapY + kMapHeight + 36;
constexpr double kLegendX = kMapX + kMapWidth + 24;
// Room between the outermost objects and the map's edge, for symbols.
constexpr double kPadPixels = 48;
// A single object or a tight cluster still shows its neighbourhood.
constexpr double kMinSpanMetres = 60;
constexpr double kScaleBarPixels = 160;
constexpr size_t kMaxListedSceneries = 12;
// Above this many objects a symbol carries no hover details: they would
// make up most of the file.
constexpr size_t kMaxDetailedObjects = 10000;
// Parallels and meridians at least this far apart, in pixels: room for
// their labels, up the left edge and under the map.
constexpr double kMinGraticulePixels = 100;

const char* const kGroupColours[CATALOG_GROUP_COUNT] = {
    "#1f77b4",  // Aircraft
    "#8c564b",  // Airport Buildings
    "#e6a700",  // Airport Lighting
    "#7f7f7f",  // Airport Objects
    "#ff7f0e",  // Airport Support Vehicles
    "#9c9e1a",  // Animals
    "#d62728",  // Civilian Vehicles
    "#9467bd",  // Generic Buildings
    "#17becf",  // Generic Objects
    "#e377c2",  // Humans
    "#1a3a8f",  // Ships
    "#2ca02c",  // Vegetation
};

// One glyph per group, drawn pointing north in a box of about 20 units; the
// object's heading turns it.
struct Glyph {
    const char* id;
    const char* body;
};
const Glyph kGroupGlyphs[CATALOG_GROUP_COUNT] = {
    {"aircraft",
     "<path d=\"M0,-9 C1,-9 1.4,-8 1.4,-6 L1.4,-2 L9,2.5 L9,4.2 L1.4,2 L1.2,6 L3.6,7.8 L3.6,9 L0,8.2 L-3.6,9 "
     "L-3.6,7.8 L-1.2,6 L-1.4,2 L-9,4.2 L-9,2.5 L-1.4,-2 L-1.4,-6 C-1.4,-8 -1,-9 0,-9 Z\"/>"},
    {"airport-building", "<path d=\"M-7,-5 L-2.5,-5 L0,-8.5 L2.5,-5 L7,-5 L7,7 L-7,7 Z\"/>"},
    {"airport-light", "<path d=\"M-2.5,-4 L-5,-10 L5,-10 L2.5,-4 Z\" opacity=\"0.55\"/><circle r=\"4.2\"/>"},
    {"airport-object", "<path d=\"M0,-9 L6,1 L0,7 L-6,1 Z\"/>"},
    {"airport-vehicle", "<path d=\"M-4.5,8 L-4.5,-3 L-2.5,-8.5 L2.5,-8.5 L4.5,-3 L4.5,8 Z\"/>"},
    {"animal", "<ellipse cx=\"0\" cy=\"2\" rx=\"3.6\" ry=\"6\"/><circle cx=\"0\" cy=\"-6\" r=\"2.6\"/>"},
    {"car", "<path d=\"M-4,7 L-4,-2.5 L-2,-8 L2,-8 L4,-2.5 L4,7 Z\"/><path d=\"M-3,-3 L3,-3\" fill=\"none\"/>"},
    {"building", "<path d=\"M-6.5,7 L-6.5,-2 L0,-8.5 L6.5,-2 L6.5,7 Z\"/>"},
    {"object", "<path d=\"M0,-8.5 L7,7 L-7,7 Z\"/>"},
    {"human", "<path d=\"M-2,-3.2 L0,-8 L2,-3.2 Z\"/><circle r=\"4\"/>"},
    {"ship", "<path d=\"M0,-10 C3,-7 4.2,-3 4.2,2 L4.2,8 L-4.2,8 L-4.2,2 C-4.2,-3 -3,-7 0,-10 Z\"/>"},
    {"tree", "<path d=\"M-1.8,-5.2 L0,-9.5 L1.8,-5.2 Z\"/><circle r=\"6\"/>"},
};
const Glyph kUnknownGlyph = {"unknown", "<path d=\"M0,-9 L6.5,7.5 L0,3.5 L-6.5,7.5 Z\"/>"};

constexpr char kStyle[] = R"(
  .title { font-size: 20px; font-weight: bold; fill: #1b1b1b; }
  .subtitle { font-size: 12px; fill: #555; }
  .sea { fill: #f4f3ee; }
  .frame { fill: none; stroke: #555; stroke-width: 1; }
  .grid { stroke: #dcdbd2; stroke-width: 1; }
  .bounds { fill: none; stroke: #444; stroke-width: 1.4; stroke-dasharray: 7 5; }
  .bounds-name { font-size: 11px; fill: #444; font-style: italic; }
  .glyph { stroke: #1b1b1b; stroke-width: 0.9; stroke-linejoin: round; }
  .label { font-size: 11px; fill: #1b1b1b; paint-order: stroke; stroke: #ffffff; stroke-width: 3px;
           stroke-linejoin: round; }
  .legend-head { font-size: 13px; font-weight: bold; fill: #1b1b1b; }
  .legend { font-size: 12px; fill: #1b1b1b; }
  .note { font-size: 11px; fill: #555; }
  .scalebar { font-size: 11px; fill: #1b1b1b; }
  .lat-label, .lon-label { font-size: 10px; fill: #555; }
)";

struct Extent {
    double minLat = INFINITY, maxLat = -INFINITY;
    double minLon = INFINITY, maxLon = -INFINITY;  // longitude units relative to the anchor

    bool empty() const { return !(minLat <= maxLat); }
    void Add(double lat, double lon) {
        minLat = std::min(minLat, lat);
        maxLat = std::max(maxLat, lat);
        minLon = std::min(minLon, lon);
        maxLon = std::max(maxLon, lon);
    }
};

// Longitude difference from the anchor, the short way round.
double LonDelta(int32_t lon, uint16_t fraction, int32_t anchor) {
    auto delta = static_cast<int32_t>(static_cast<uint32_t>(lon) - static_cast<uint32_t>(anchor));
    return delta + fraction / 65536.0;
}

// Empty bounds have their minimum latitude above the maximum. Longitude
// bounds beside ±180° wrap, the minimum above the maximum, and are drawn.
bool BoundsDrawable(const MapScenery& scenery) {
    return scenery.hasHeader && scenery.header.minLat <= scenery.header.maxLat;
}

// The bounds as longitude offsets from the anchor: west and east edges. The
// box runs east from its west edge, across ±180° when it wraps.
void BoundsLon(const sim::SceneryHeaderFields& header, int32_t anchor, double* west, double* east) {
    *west = LonDelta(header.minLon, 0, anchor);
    *east = *west + (static_cast<uint32_t>(header.maxLon) - static_cast<uint32_t>(header.minLon));
}

class Projection {
public:
    Projection(double midLat, double midLon, int32_t anchor, double pixelsPerMetre)
        : midLat_(midLat), midLon_(midLon), anchor_(anchor), pixelsPerMetre_(pixelsPerMetre) {
        double phi = midLat / sim::kEarthRadiusMetres;
        double parallel = std::max(sim::kEarthRadiusMetres * std::fabs(std::cos(phi)), 1.0);
        metresPerLonUnit_ = parallel * 2.0 * std::numbers::pi / sim::kLonUnitsPerTurn;
    }

    double X(double lonDelta) const {
        return kMapX + kMapWidth / 2 + (lonDelta - midLon_) * metresPerLonUnit_ * pixelsPerMetre_;
    }
    double Y(double lat) const { return kMapY + kMapHeight / 2 - (lat - midLat_) * pixelsPerMetre_; }
    int32_t anchor() const { return anchor_; }
    double pixelsPerMetre() const { return pixelsPerMetre_; }
    double metresPerLonUnit() const { return metresPerLonUnit_; }
    double midLat() const { return midLat_; }
    double midLonUnits() const { return midLon_; }  // from the anchor
    double midLonDegrees() const {
        // The anchor plus half a span can pass ±180°.
        return std::remainder(LongitudeDegrees(anchor_ + midLon_), 360.0);
    }

private:
    double midLat_;
    double midLon_;
    int32_t anchor_;
    double pixelsPerMetre_;
    double metresPerLonUnit_;
};

Projection MakeProjection(std::span<const MapScenery> sceneries, bool fitBounds) {
    int32_t anchor = 0;
    bool anchored = false;
    for (const MapScenery& scenery : sceneries) {
        if (!scenery.records.empty()) {
            anchor = scenery.records.front().lon.integer;
            anchored = true;
            break;
        }
    }
    Extent extent;
    for (const MapScenery& scenery : sceneries) {
        for (const ObjectRecord& record : scenery.records) {
            extent.Add(PositionValue(record.lat), LonDelta(record.lon.integer, record.lon.fraction, anchor));
        }
    }
    // Without objects the bounds are all there is to show.
    if (fitBounds || extent.empty()) {
        for (const MapScenery& scenery : sceneries) {
            if (!BoundsDrawable(scenery)) {
                continue;
            }
            if (!anchored) {
                anchor = scenery.header.minLon;
                anchored = true;
            }
            double west, east;
            BoundsLon(scenery.header, anchor, &west, &east);
            extent.Add(scenery.header.minLat, west);
            extent.Add(scenery.header.maxLat, east);
        }
    }
    if (extent.empty()) {
        extent.Add(0, 0);
    }
    double midLat = (extent.minLat + extent.maxLat) / 2;
    double midLon = (extent.minLon + extent.maxLon) / 2;
    Projection unscaled(midLat, midLon, anchor, 1.0);
    double spanX = std::max((extent.maxLon - extent.minLon) * unscaled.metresPerLonUnit(), kMinSpanMetres);
    double spanY = std::max(extent.maxLat - extent.minLat, kMinSpanMetres);
    double pixelsPerMetre =
        std::min((kMapWidth - 2 * kPadPixels) / spanX, (kMapHeight - 2 * kPadPixels) / spanY);
    return Projection(midLat, midLon, anchor, pixelsPerMetre);
}

// The longest 1, 2 or 5 times a power of ten that fits in `metres`.
double RoundLength(double metres) {
    double power = std::pow(10.0, std::floor(std::log10(metres)));
    for (double step : {5.0, 2.0, 1.0}) {
        if (step * power <= metres) {
            return step * power;
        }
    }
    return power;
}

std::string LengthText(double metres) {
    if (metres >= 1000) {
        return FormatNumber(metres / 1000, 3) + " km";
    }
    return FormatNumber(metres, 3) + " m";
}

std::string Px(double value) { return SvgNumber(value); }

// The SVG text as it grows: plain appends, without a stream's formatting
// machinery, which would dominate a map of a million symbols.
class Svg {
  public:
    Svg& operator<<(std::string_view text) {
        text_.append(text);
        return *this;
    }
    Svg& operator<<(char c) {
        text_ += c;
        return *this;
    }
    template <std::integral T>
    requires(!std::same_as<T, char>) Svg& operator<<(T value) {
        char digits[24];
        text_.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
        return *this;
    }
    Svg& Number(double value, int decimals) {
        AppendNumber(text_, value, decimals);
        return *this;
    }
    void Reserve(size_t bytes) { text_.reserve(bytes); }
    std::string Take() { return std::move(text_); }

  private:
    std::string text_;
};

// A symbol: one of the twelve group glyphs, or the glyph of an object the
// catalog does not know.
constexpr int kUnknownSymbol = CATALOG_GROUP_COUNT;
constexpr int kSymbolCount = CATALOG_GROUP_COUNT + 1;
const Glyph& GlyphOf(int symbol) {
    return symbol == kUnknownSymbol ? kUnknownGlyph : kGroupGlyphs[symbol];
}

// One object as drawn: its place on the page, its symbol, its heading in
// whole degrees (half a degree moves a symbol's tip a tenth of a pixel) and
// its catalog entry (-1: not in the catalog).
struct DrawnObject {
    float x, y;
    int16_t entry;
    uint8_t symbol;
    uint16_t heading;  // 0..359
};

const char* NameOf(int entry) {
    return entry >= 0 ? ObjectCatalog.entries[entry].name : "unknown object";
}

// The catalog's answer for each key it holds, sorted by key: a binary search
// per object instead of a scan of the whole catalog, with the answers the
// catalog lookup gives.
class EntryIndex {
  public:
    struct Found {
        int16_t entry;
        uint8_t symbol;
    };
    EntryIndex() {
        for (int i = 0; i < ObjectCatalog.entryCount; ++i) {
            const uint8_t* key = ObjectCatalog.entries[i].objectKey;
            std::optional<CatalogMatch> match = FindEntry(key);
            rows_.push_back(
                {key, match ? Found{static_cast<int16_t>(match->entry), static_cast<uint8_t>(match->group)}
                            : Found{-1, kUnknownSymbol}});
        }
        std::sort(rows_.begin(), rows_.end(),
                  [](const Row& a, const Row& b) { return memcmp(a.key, b.key, 16) < 0; });
    }
    Found Of(const uint8_t key[16]) const {
        auto row = std::lower_bound(rows_.begin(), rows_.end(), key,
                                    [](const Row& a, const uint8_t* k) { return memcmp(a.key, k, 16) < 0; });
        return row != rows_.end() && memcmp(row->key, key, 16) == 0 ? row->found : Found{-1, kUnknownSymbol};
    }

  private:
    struct Row {
        const uint8_t* key;
        Found found;
    };
    std::vector<Row> rows_;
};

std::vector<DrawnObject> PlaceObjects(std::span<const MapScenery> sceneries, const Projection& projection,
                                      size_t total) {
    EntryIndex index;
    std::vector<DrawnObject> drawn;
    drawn.reserve(total);
    for (const MapScenery& scenery : sceneries) {
        for (const ObjectRecord& record : scenery.records) {
            EntryIndex::Found found = index.Of(record.objectKey);
            double x = projection.X(LonDelta(record.lon.integer, record.lon.fraction, projection.anchor()));
            double y = projection.Y(PositionValue(record.lat));
            auto heading = static_cast<int>(std::lround(HeadingDegrees(record.heading)));
            drawn.push_back({static_cast<float>(x), static_cast<float>(y), found.entry, found.symbol,
                             static_cast<uint16_t>(heading % 360)});
        }
    }
    return drawn;
}

double GlyphScale(size_t objects) {
    if (objects > 1500) {
        return 0.55;
    }
    return objects > 300 ? 0.75 : 1.0;
}

// The glyphs, each in its group's colour; then each glyph at the map's size
// turned to each heading some object has, which every object then uses by
// name ("#tree-45") with nothing but its position.
void WriteDefs(Svg& svg, std::span<const DrawnObject> drawn, double glyphScale) {
    svg << "<defs>\n";
    svg << "<clipPath id=\"map-area\"><rect x=\"" << Px(kMapX) << "\" y=\"" << Px(kMapY) << "\" width=\""
        << Px(kMapWidth) << "\" height=\"" << Px(kMapHeight) << "\"/></clipPath>\n";
    for (int symbol = 0; symbol < kSymbolCount; ++symbol) {
        svg << "<g id=\"glyph-" << GlyphOf(symbol).id << "\" class=\"glyph\" data-group=\""
            << (symbol == kUnknownSymbol ? -1 : symbol) << "\" fill=\"" << GroupColour(symbol) << "\">"
            << GlyphOf(symbol).body << "</g>\n";
    }
    std::vector<std::bitset<360>> used(kSymbolCount);
    for (const DrawnObject& object : drawn) {
        used[object.symbol].set(object.heading);
    }
    std::string scale = SvgNumber(glyphScale);
    for (int symbol = 0; symbol < kSymbolCount; ++symbol) {
        for (int heading = 0; heading < 360; ++heading) {
            if (used[symbol][heading]) {
                const char* id = GlyphOf(symbol).id;
                svg << "<g id=\"" << id << "-" << heading << "\" transform=\"rotate(" << heading << ") scale("
                    << scale << ")\"><use xlink:href=\"#glyph-" << id << "\"/></g>\n";
            }
        }
    }
    svg << "</defs>\n";
}

// A step of 1, 2 or 5 times a power of ten degrees, at least `minPixels`
// long on the page.
double DegreeStep(double pixelsPerDegree, double minPixels) {
    for (int exponent = -7; exponent < 3; ++exponent) {
        for (double mantissa : {1.0, 2.0, 5.0}) {
            double step = mantissa * std::pow(10.0, exponent);
            if (step * pixelsPerDegree >= minPixels) {
                return step;
            }
        }
    }
    return 1000;
}

// "45.125° N", "7.5° W", "0°", "180°": as many decimals as the step needs.
std::string DegreesText(double degrees, double step, const char* positive, const char* negative) {
    int decimals = std::max(0, static_cast<int>(std::ceil(-std::log10(step) - 1e-9)));
    double rounded = std::round(degrees * std::pow(10.0, decimals)) / std::pow(10.0, decimals);
    char text[64];
    snprintf(text, sizeof text, "%.*f°", decimals, std::fabs(rounded));
    if (rounded == 0 || std::fabs(rounded) == 180) {
        return text;
    }
    return std::string(text) + " " + (rounded > 0 ? positive : negative);
}

struct Graticule {
    double latStep, lonStep;  // degrees
};

// Parallels and meridians at round degrees, labelled in the margins:
// latitudes up the left edge, longitudes under the map.
Graticule WriteGraticule(Svg& svg, Svg& labels, const Projection& projection) {
    constexpr double kMetresPerDegree = sim::kEarthRadiusMetres * std::numbers::pi / 180;
    double lonUnitsPerDegree = sim::kLonUnitsPerTurn / 360;
    double ppm = projection.pixelsPerMetre();
    Graticule steps{DegreeStep(ppm * kMetresPerDegree, kMinGraticulePixels),
                    DegreeStep(ppm * projection.metresPerLonUnit() * lonUnitsPerDegree, kMinGraticulePixels)};
    svg << "<g class=\"grid\">\n";
    double halfHeight = kMapHeight / 2 / ppm;
    double south = (projection.midLat() - halfHeight) / kMetresPerDegree;
    double north = (projection.midLat() + halfHeight) / kMetresPerDegree;
    for (double k = std::ceil(south / steps.latStep); k * steps.latStep <= north; ++k) {
        double y = projection.Y(k * steps.latStep * kMetresPerDegree);
        svg << "<line x1=\"" << Px(kMapX) << "\" y1=\"" << Px(y) << "\" x2=\"" << Px(kMapX + kMapWidth)
            << "\" y2=\"" << Px(y) << "\"/>\n";
        std::string text = DegreesText(k * steps.latStep, steps.latStep, "N", "S");
        double half = DisplayWidth(text) * 3;
        if (y - half >= kMapY && y + half <= kMapY + kMapHeight) {
            labels << "<text class=\"lat-label\" transform=\"translate(" << Px(kMapX - 5) << "," << Px(y)
                   << ") rotate(-90)\" text-anchor=\"middle\">" << text << "</text>\n";
        }
    }
    double halfWidth = kMapWidth / 2 / (ppm * projection.metresPerLonUnit());
    double anchor = LongitudeDegrees(projection.anchor());
    double west = anchor + (projection.midLonUnits() - halfWidth) / lonUnitsPerDegree;
    double east = anchor + (projection.midLonUnits() + halfWidth) / lonUnitsPerDegree;
    for (double k = std::ceil(west / steps.lonStep); k * steps.lonStep <= east; ++k) {
        double x = projection.X((k * steps.lonStep - anchor) * lonUnitsPerDegree);
        svg << "<line x1=\"" << Px(x) << "\" y1=\"" << Px(kMapY) << "\" x2=\"" << Px(x) << "\" y2=\""
            << Px(kMapY + kMapHeight) << "\"/>\n";
        // Meridians past ±180° read as the longitudes they are.
        std::string text = DegreesText(std::remainder(k * steps.lonStep, 360.0), steps.lonStep, "E", "W");
        double half = DisplayWidth(text) * 3;
        if (x - half >= 2 && x + half <= kCanvasWidth - 2) {
            labels << "<text class=\"lon-label\" x=\"" << Px(x) << "\" y=\"" << Px(kMapY + kMapHeight + 14)
                   << "\" text-anchor=\"middle\">" << text << "</text>\n";
        }
    }
    svg << "</g>\n";
    return steps;
}

// How a scenery's bounds stand against the map: not in the file, drawn, or
// reaching beyond some of the map's sides (N, E, S, W) or lying outside it,
// which the legend notes.
struct BoundsShown {
    bool drawable = false;
    bool meetsMap = false;
    bool sides[4] = {};  // beyond the north, east, south, west edge

    bool Drawn() const {
        return drawable && meetsMap && !std::all_of(sides, sides + 4, [](bool b) { return b; });
    }
    std::string Note() const {
        if (!drawable) {
            return "no bounds in its header";
        }
        if (!meetsMap) {
            return "bounds outside the map";
        }
        if (!Drawn()) {
            return "bounds beyond the map on all sides";
        }
        std::string note;
        for (int side = 0; side < 4; ++side) {
            if (sides[side]) {
                note += std::string(note.empty() ? "bounds beyond the map: " : ", ") + "NESW"[side];
            }
        }
        return note;
    }
};

std::vector<BoundsShown> WriteBounds(Svg& svg, std::span<const MapScenery> sceneries,
                                     const Projection& projection) {
    std::vector<BoundsShown> shown;
    for (const MapScenery& scenery : sceneries) {
        BoundsShown& bounds = shown.emplace_back();
        bounds.drawable = BoundsDrawable(scenery);
        if (!bounds.drawable) {
            continue;
        }
        double west, east;
        BoundsLon(scenery.header, projection.anchor(), &west, &east);
        double x0 = projection.X(west), x1 = projection.X(east);
        double y0 = projection.Y(scenery.header.maxLat), y1 = projection.Y(scenery.header.minLat);
        constexpr double kRight = kMapX + kMapWidth, kBottom = kMapY + kMapHeight;
        bounds.meetsMap = x0 <= kRight && x1 >= kMapX && y0 <= kBottom && y1 >= kMapY;
        bounds.sides[0] = y0 < kMapY;
        bounds.sides[1] = x1 > kRight;
        bounds.sides[2] = y1 > kBottom;
        bounds.sides[3] = x0 < kMapX;
        if (!bounds.Drawn()) {
            continue;
        }
        // Edges beyond the map are pulled to just outside it, where the clip
        // hides them: huge or wrapped bounds never make huge numbers.
        x0 = std::clamp(x0, kMapX - 4, kRight + 4);
        x1 = std::clamp(x1, kMapX - 4, kRight + 4);
        y0 = std::clamp(y0, kMapY - 4, kBottom + 4);
        y1 = std::clamp(y1, kMapY - 4, kBottom + 4);
        svg << "<rect class=\"bounds\" x=\"" << Px(x0) << "\" y=\"" << Px(y0) << "\" width=\"" << Px(x1 - x0)
            << "\" height=\"" << Px(y1 - y0) << "\"><title>" << XmlText(scenery.name)
            << ": scenery bounds</title></rect>\n";
        double labelX = std::max(x0, kMapX) + 5, labelY = std::max(y0, kMapY) + 14;
        svg << "<text class=\"bounds-name\" x=\"" << Px(labelX) << "\" y=\"" << Px(labelY) << "\">"
            << XmlText(scenery.name) << "</text>\n";
    }
    return shown;
}

// Every object, in file order, later ones on top; with its hover details
// when the map is small enough for them.
void WriteObjects(Svg& svg, std::span<const MapScenery> sceneries, std::span<const DrawnObject> drawn,
                  bool details, Progress& progress) {
    svg << "<g class=\"objects\">\n";
    const DrawnObject* object = drawn.data();
    for (const MapScenery& scenery : sceneries) {
        for (size_t i = 0; i < scenery.records.size(); ++i, ++object) {
            svg << "<use xlink:href=\"#" << GlyphOf(object->symbol).id << '-' << object->heading << "\" x=\"";
            svg.Number(object->x, 1) << "\" y=\"";
            svg.Number(object->y, 1) << '"';
            progress.Add();
            if (!details) {
                svg << "/>\n";
                continue;
            }
            const ObjectRecord& record = scenery.records[i];
            double heading = HeadingDegrees(record.heading);
            svg << "><title>" << XmlText(NameOf(object->entry)) << " - " << XmlText(scenery.name)
                << " record " << i << ": " << FormatNumber(LatitudeDegrees(PositionValue(record.lat)), 7)
                << "°, " << FormatNumber(LongitudeDegrees(PositionValue(record.lon)), 7) << "°, "
                << FormatNumber(PositionValue(record.alt), 2) << " m; heading "
                << FormatNumber(heading, 2) << "°; scale "
                << XmlText(ReadScale(record.scale).text) << "; range " << record.maxDistance
                << " m</title></use>\n";
        }
    }
    svg << "</g>\n";
}

// What is drawn over the map besides objects, which labels keep clear of:
// the scale bar on its white ground, and the north arrow with its letter.
constexpr double kScaleBarX = kMapX + 16, kScaleBarY = kMapY + kMapHeight - 22;
constexpr double kNorthX = kMapX + kMapWidth - 30, kNorthY = kMapY + 48;
Box ScaleBarGround(double length) {
    return {kScaleBarX - 6, kScaleBarY - 18, kScaleBarX + length + 46, kScaleBarY + 14};
}
constexpr Box kNorthArrowBox = {kNorthX - 17, kNorthY - 34, kNorthX + 17, kNorthY + 17};

// The map's drawing area, which labels stay inside.
constexpr Box kMapArea = {kMapX, kMapY, kMapX + kMapWidth, kMapY + kMapHeight};

struct LabelCount {
    size_t drawn = 0;
    size_t overlapping = 0;  // left out: no spot clear of other labels (and symbols, by default)
    size_t pastLimit = 0;    // left out: the map already had its most labels
};

// The labels, above every symbol, in file order of their objects until the
// map holds `maxLabels`.
LabelCount WriteLabels(Svg& svg, std::span<const DrawnObject> drawn, MapLabels mode, size_t maxLabels,
                       double half, double scaleBarLength) {
    LabelCount count;
    if (mode == MapLabels::None) {
        return count;
    }
    SymbolCentres symbols(kMapArea, half, drawn);
    LabelGrid labels(kMapArea);
    labels.Add(ScaleBarGround(scaleBarLength));
    labels.Add(kNorthArrowBox);
    // An estimate of each name's width at 11 px, enough to keep labels apart.
    std::vector<double> widths(CATALOG_ENTRY_COUNT + 1, -1);
    svg << "<g class=\"labels\">\n";
    for (size_t i = 0; i < drawn.size(); ++i) {
        if (count.drawn == maxLabels) {
            count.pastLimit = drawn.size() - i;
            break;
        }
        const DrawnObject& object = drawn[i];
        const char* name = NameOf(object.entry);
        double& width = widths[object.entry + 1];
        if (width < 0) {
            width = DisplayWidth(name) * 6.3 + 2;
        }
        std::optional<LabelSpot> spot =
            PlaceLabel(object.x, object.y, width, mode == MapLabels::WhereTheyFit, kMapArea, symbols, labels);
        if (!spot) {
            ++count.overlapping;
            continue;
        }
        ++count.drawn;
        svg << "<text class=\"label\" x=\"";
        svg.Number(spot->x, 1) << "\" y=\"";
        svg.Number(spot->y, 1) << '"';
        if (spot->anchor != nullptr) {
            svg << " text-anchor=\"" << spot->anchor << '"';
        }
        svg << '>' << XmlText(name) << "</text>\n";
    }
    svg << "</g>\n";
    return count;
}

void WriteScaleBar(Svg& svg, const Projection& projection, double metres) {
    double length = metres * projection.pixelsPerMetre();
    double x = kScaleBarX, y = kScaleBarY;
    Box ground = ScaleBarGround(length);
    svg << "<g class=\"scalebar\">\n";
    svg << "<rect x=\"" << Px(ground.x0) << "\" y=\"" << Px(ground.y0) << "\" width=\""
        << Px(ground.x1 - ground.x0) << "\" height=\"" << Px(ground.y1 - ground.y0)
        << "\" fill=\"#ffffff\" fill-opacity=\"0.8\"/>\n";
    svg << "<rect x=\"" << Px(x) << "\" y=\"" << Px(y) << "\" width=\"" << Px(length / 2)
        << "\" height=\"6\" fill=\"#1b1b1b\"/>\n";
    svg << "<rect x=\"" << Px(x + length / 2) << "\" y=\"" << Px(y) << "\" width=\"" << Px(length / 2)
        << "\" height=\"6\" fill=\"#ffffff\" stroke=\"#1b1b1b\"/>\n";
    svg << "<rect x=\"" << Px(x) << "\" y=\"" << Px(y) << "\" width=\"" << Px(length)
        << "\" height=\"6\" fill=\"none\" stroke=\"#1b1b1b\"/>\n";
    svg << "<text x=\"" << Px(x) << "\" y=\"" << Px(y - 4) << "\" text-anchor=\"middle\">0</text>\n";
    svg << "<text x=\"" << Px(x + length) << "\" y=\"" << Px(y - 4) << "\" text-anchor=\"middle\">"
        << LengthText(metres) << "</text>\n";
    svg << "</g>\n";
}

void WriteNorthArrow(Svg& svg) {
    svg << "<g class=\"north\" transform=\"translate(" << Px(kNorthX) << "," << Px(kNorthY) << ")\">"
        << "<circle r=\"17\" fill=\"#ffffff\" fill-opacity=\"0.8\" stroke=\"#555\"/>"
        << "<path d=\"M0,-14 L6,8 L0,3 Z\" fill=\"#1b1b1b\"/><path d=\"M0,-14 L-6,8 L0,3 Z\" "
           "fill=\"#ffffff\" "
           "stroke=\"#1b1b1b\" stroke-width=\"0.8\"/>"
        << "<text y=\"-21\" text-anchor=\"middle\" font-size=\"13\" font-weight=\"bold\">N</text></g>\n";
}

void WriteLegend(Svg& svg, std::span<const MapScenery> sceneries, std::span<const DrawnObject> drawn,
                 const std::vector<BoundsShown>& bounds, MapLabels mode, size_t maxLabels,
                 const LabelCount& labels, bool details) {
    size_t counts[kSymbolCount] = {};
    for (const DrawnObject& object : drawn) {
        ++counts[object.symbol];
    }
    double x = kLegendX, y = kMapY + 10;
    svg << "<g class=\"legend-box\">\n";
    svg << "<text class=\"legend-head\" x=\"" << Px(x) << "\" y=\"" << Px(y) << "\">Objects</text>\n";
    y += 24;
    bool any = false;
    for (int symbol = 0; symbol < kSymbolCount; ++symbol) {
        if (counts[symbol] == 0) {
            continue;
        }
        std::string text = symbol == kUnknownSymbol ? std::string("not in the catalog")
                                                    : std::string(ObjectCatalog.groups[symbol].name);
        svg << "<use xlink:href=\"#glyph-" << GlyphOf(symbol).id << "\" transform=\"translate(" << Px(x + 9)
            << "," << Px(y - 4) << ") scale(0.9)\"/>";
        svg << "<text class=\"legend\" x=\"" << Px(x + 26) << "\" y=\"" << Px(y) << "\">" << XmlText(text)
            << " (" << counts[symbol] << ")</text>\n";
        y += 22;
        any = true;
    }
    if (!any) {
        svg << "<text class=\"note\" x=\"" << Px(x) << "\" y=\"" << Px(y) << "\">no objects</text>\n";
        y += 22;
    }
    y += 14;
    svg << "<text class=\"legend-head\" x=\"" << Px(x) << "\" y=\"" << Px(y) << "\">Sceneries</text>\n";
    y += 22;
    for (size_t i = 0; i < sceneries.size() && i < kMaxListedSceneries; ++i) {
        svg << "<rect class=\"bounds swatch\" x=\"" << Px(x) << "\" y=\"" << Px(y - 10) << "\" width=\"18\" height=\"12\"/>";
        svg << "<text class=\"legend\" x=\"" << Px(x + 26) << "\" y=\"" << Px(y) << "\">" << XmlText(sceneries[i].name)
            << " (" << Plural(sceneries[i].records.size(), "object") << ")</text>\n";
        if (std::string note = bounds[i].Note(); !note.empty()) {
            y += 15;
            svg << "<text class=\"note\" x=\"" << Px(x + 26) << "\" y=\"" << Px(y) << "\">" << note
                << "</text>\n";
        }
        y += 20;
    }
    if (sceneries.size() > kMaxListedSceneries) {
        svg << "<text class=\"note\" x=\"" << Px(x) << "\" y=\"" << Px(y) << "\">and "
            << sceneries.size() - kMaxListedSceneries << " more</text>\n";
        y += 20;
    }
    y += 14;
    std::vector<std::string> notes = {
        "North is up. Symbols point along", "each object's heading; they are not",
        "drawn to scale. Dashed: the bounds", "each scenery's header gives", "(--fit-bounds frames them)."};
    if (!details) {
        notes.push_back("Hover details only on maps of up");
        notes.push_back("to " + std::to_string(kMaxDetailedObjects) + " objects.");
    }
    if (labels.overlapping > 0) {
        notes.push_back(Plural(labels.overlapping, "label") + " left out where");
        notes.push_back(std::string(labels.overlapping == 1 ? "it" : "they") + " would overlap" +
                        (mode == MapLabels::WhereTheyFit ? " (--labels fits more)." : " another label."));
    }
    if (labels.pastLimit > 0) {
        notes.push_back(Plural(labels.pastLimit, "label") + " left out past the");
        notes.push_back("limit of " + std::to_string(maxLabels) + " (--max-labels).");
    }
    for (size_t i = 0; i < notes.size(); ++i) {
        // A blank line before each note after the first five.
        y += i >= 5 && i % 2 == 1 ? 8 : 0;
        svg << "<text class=\"note\" x=\"" << Px(x) << "\" y=\"" << Px(y) << "\">" << notes[i] << "</text>\n";
        y += 15;
    }
    svg << "</g>\n";
}

std::string DefaultTitle(std::span<const MapScenery> sceneries) {
    std::string title = "Scenery map";
    for (size_t i = 0; i < sceneries.size() && i < 3; ++i) {
        title += (i == 0 ? ": " : ", ") + sceneries[i].name;
    }
    if (sceneries.size() > 3) {
        title += " and " + std::to_string(sceneries.size() - 3) + " more";
    }
    return title;
}

// Why the map must not go to options.output, or empty when it may: the
// output is one of the files to draw under any name (the same device and
// inode), or an existing scenery file of its own.
std::string RefusedOutput(const MapOptions& options) {
    struct stat output;
    if (options.output == "-" || stat(options.output.c_str(), &output) != 0) {
        return {};
    }
    for (const std::string& path : options.files) {
        struct stat input;
        if (stat(path.c_str(), &input) == 0 && input.st_dev == output.st_dev && input.st_ino == output.st_ino) {
            return "is " + path + ", one of the files to draw; give another -o";
        }
    }
    // Only a regular file is opened: reading a FIFO would wait for a writer.
    if (S_ISREG(output.st_mode)) {
        char magic[sizeof sim::kSceneryMagic - 1] = {};
        std::ifstream file(options.output, std::ios::binary);
        if (file.read(magic, sizeof magic) && memcmp(magic, sim::kSceneryMagic, sizeof magic) == 0) {
            return "is a scenery file; a map never replaces one, give another -o";
        }
    }
    return {};
}

// Names that tell the files apart: each file's name, with as many of the
// folders above it as it takes where two files share a name, and " (2)",
// " (3)" after a path given more than once.
std::vector<std::string> DistinctNames(const std::vector<std::string>& paths) {
    std::vector<std::vector<std::filesystem::path>> parts;  // last component first
    for (const std::string& path : paths) {
        std::vector<std::filesystem::path>& components = parts.emplace_back();
        for (const std::filesystem::path& part : std::filesystem::path(path).lexically_normal()) {
            if (!part.empty()) {
                components.insert(components.begin(), part);
            }
        }
    }
    std::vector<size_t> depth(paths.size(), 1);
    auto nameOf = [&](size_t i) {
        std::filesystem::path name;
        for (size_t k = std::min(depth[i], parts[i].size()); k-- > 0;) {
            name /= parts[i][k];
        }
        return name.string();
    };
    for (bool longer = true; longer;) {
        longer = false;
        std::map<std::string, std::vector<size_t>> byName;
        for (size_t i = 0; i < paths.size(); ++i) {
            byName[nameOf(i)].push_back(i);
        }
        for (const auto& [name, files] : byName) {
            for (size_t i : files) {
                // A path given twice stays as short as the other paths allow.
                bool another =
                    std::any_of(files.begin(), files.end(), [&](size_t j) { return parts[j] != parts[i]; });
                if (another && depth[i] < parts[i].size()) {
                    ++depth[i];
                    longer = true;
                }
            }
        }
    }
    std::vector<std::string> names;
    std::map<std::string, int> seen;
    for (size_t i = 0; i < paths.size(); ++i) {
        std::string name = nameOf(i);
        int times = ++seen[name];
        names.push_back(times == 1 ? name : name + " (" + std::to_string(times) + ")");
    }
    return names;
}

}  // namespace

const char* GroupColour(int groupIndex) {
    if (groupIndex >= 0 && groupIndex < CATALOG_GROUP_COUNT) {
        return kGroupColours[groupIndex];
    }
    return kUnknownColour;
}

std::string RenderMap(std::span<const MapScenery> sceneries, const MapStyle& style, MapDrawn* result) {
    size_t total = 0;
    for (const MapScenery& scenery : sceneries) {
        total += scenery.records.size();
    }
    Projection projection = MakeProjection(sceneries, style.fitBounds);
    double barMetres = RoundLength(kScaleBarPixels / projection.pixelsPerMetre());
    std::string title = style.title.empty() ? DefaultTitle(sceneries) : style.title;
    std::vector<DrawnObject> drawn = PlaceObjects(sceneries, projection, total);
    double glyphScale = GlyphScale(total);
    bool details = total <= kMaxDetailedObjects;
    Progress progress("tavu map", "objects drawn", total,
                      style.showProgress ? Progress::StandardErrorTerminal() : nullptr);

    Svg svg;
    // Room for the longest symbol, so that the text is never copied to grow.
    svg.Reserve(16384 + total * (details ? 200 : 64));
    svg << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    svg << "<svg xmlns=\"http://www.w3.org/2000/svg\" xmlns:xlink=\"http://www.w3.org/1999/xlink\" width=\""
        << Px(kCanvasWidth) << "\" height=\"" << Px(kCanvasHeight) << "\" viewBox=\"0 0 " << Px(kCanvasWidth) << " "
        << Px(kCanvasHeight) << "\" font-family=\"DejaVu Sans, Arial, sans-serif\">\n";
    svg << "<title>" << XmlText(title) << "</title>\n";
    svg << "<style>" << kStyle << "</style>\n";
    WriteDefs(svg, drawn, glyphScale);
    svg << "<rect width=\"100%\" height=\"100%\" fill=\"#ffffff\"/>\n";
    svg << "<text class=\"title\" x=\"" << Px(kMapX) << "\" y=\"32\">" << XmlText(title) << "</text>\n";
    svg << "<rect class=\"sea\" x=\"" << Px(kMapX) << "\" y=\"" << Px(kMapY) << "\" width=\"" << Px(kMapWidth)
        << "\" height=\"" << Px(kMapHeight) << "\"/>\n";
    svg << "<g clip-path=\"url(#map-area)\">\n";
    Svg axisLabels;
    Graticule graticule = WriteGraticule(svg, axisLabels, projection);
    std::vector<BoundsShown> bounds = WriteBounds(svg, sceneries, projection);
    WriteObjects(svg, sceneries, drawn, details, progress);
    progress.Finish();
    LabelCount labels = WriteLabels(svg, drawn, style.labels, style.maxLabels, 9 * glyphScale,
                                    barMetres * projection.pixelsPerMetre());
    svg << "</g>\n";
    svg << "<rect class=\"frame\" x=\"" << Px(kMapX) << "\" y=\"" << Px(kMapY) << "\" width=\"" << Px(kMapWidth)
        << "\" height=\"" << Px(kMapHeight) << "\"/>\n";
    svg << axisLabels.Take();
    svg << "<text class=\"subtitle\" x=\"" << Px(kMapX) << "\" y=\"54\">" << Plural(total, "object") << " in "
        << Plural(sceneries.size(), "scenery file") << "; centre "
        << DegreesText(LatitudeDegrees(projection.midLat()), 1e-6, "N", "S") << ", "
        << DegreesText(projection.midLonDegrees(), 1e-6, "E", "W") << "; parallels every "
        << FormatNumber(graticule.latStep, 7) << "°, meridians every " << FormatNumber(graticule.lonStep, 7)
        << "°</text>\n";
    WriteScaleBar(svg, projection, barMetres);
    WriteNorthArrow(svg);
    WriteLegend(svg, sceneries, drawn, bounds, style.labels, style.maxLabels, labels, details);
    svg << "</svg>\n";
    if (result != nullptr) {
        result->labels = labels.drawn;
        result->labelsLeftOut = labels.overlapping + labels.pastLimit;
    }
    return svg.Take();
}

int RunMap(const MapOptions& options, std::ostream& out, std::ostream& err) {
    if (options.files.empty() || options.output.empty()) {
        err << "tavu map: give one or more scenery files and -o OUT.svg\n";
        return EXIT_USAGE;
    }
    if (std::string why = RefusedOutput(options); !why.empty()) {
        err << "tavu map: " << options.output << ": " << why << "\n";
        return EXIT_USAGE;
    }
    std::vector<MapScenery> sceneries;
    std::vector<std::string> drawnPaths;
    bool skipped = false;
    for (const std::string& path : options.files) {
        LoadedScenery loaded = LoadScenery(path);
        if (!loaded.read()) {
            err << "tavu map: " << path << ": not drawn: " << loaded.readError << "\n";
            skipped = true;
            continue;
        }
        if (!loaded.file.ok()) {
            size_t more = loaded.file.ErrorCount() - 1;
            err << "tavu map: " << path << ": not drawn: " << loaded.file.FirstError()->message;
            if (more > 0) {
                err << " (and " << more << " more " << (more == 1 ? "error" : "errors") << ")";
            }
            err << "; see tavu check\n";
            skipped = true;
            continue;
        }
        MapScenery scenery;
        scenery.header = loaded.file.header;
        scenery.hasHeader = loaded.file.hasHeader;
        scenery.records = std::move(loaded.file.records);
        sceneries.push_back(std::move(scenery));
        drawnPaths.push_back(path);
    }
    if (sceneries.empty()) {
        err << "tavu map: nothing to draw\n";
        return EXIT_FAILURE_FOUND;
    }
    std::vector<std::string> names = DistinctNames(drawnPaths);
    size_t total = 0;
    for (size_t i = 0; i < sceneries.size(); ++i) {
        sceneries[i].name = names[i];
        total += sceneries[i].records.size();
    }
    MapStyle style;
    if (options.labels) {
        style.labels = *options.labels ? MapLabels::All : MapLabels::None;
    } else {
        style.labels = total <= kMaxAutoLabels ? MapLabels::WhereTheyFit : MapLabels::None;
    }
    style.maxLabels = options.maxLabels;
    style.title = options.title;
    style.fitBounds = options.fitBounds;
    style.showProgress = true;
    MapDrawn drawn;
    std::string svg = RenderMap(sceneries, style, &drawn);
    if (options.output == "-") {
        out << svg;
    } else {
        if (int error = WriteWhole(options.output, svg); error != 0) {
            err << "tavu map: " << options.output << ": cannot write the map: " << strerror(error) << "\n";
            return EXIT_FAILURE_FOUND;
        }
        out << options.output << ": " << Plural(total, "object") << " from "
            << Plural(sceneries.size(), "scenery file");
        if (style.labels != MapLabels::None) {
            out << ", " << Plural(drawn.labels, "label") << " (" << drawn.labelsLeftOut << " left out)";
        }
        out << "\n";
    }
    return skipped ? EXIT_FAILURE_FOUND : EXIT_OK;
}

void AddMapCommand(CLI::App& app) {
    auto options = std::make_shared<MapOptions>();
    auto* command = app.add_subcommand("map", "Draw sceneries from above as an SVG map");
    command->add_option("FILE", options->files, "Scenery files (.tsc)")->required();
    command->add_option("-o,--output", options->output, "The SVG file to write (- for standard output)")
        ->required();
    auto* labels = command->add_flag_callback(
        "--labels", [options] { options->labels = true; },
        "Label every object whose label fits beside it without covering another label (default: labels clear "
        "of every symbol, up to 150 objects)");
    auto* noLabels =
        command->add_flag_callback("--no-labels", [options] { options->labels = false; }, "Label no object");
    labels->excludes(noLabels);
    command->add_option("--max-labels", options->maxLabels, "Draw at most this many labels")
        ->default_val(kMaxLabels)
        ->check(CLI::Range(0, 1000000));
    command->add_option("--title", options->title, "The map's title (default: from the file names)");
    command->add_flag("--fit-bounds", options->fitBounds,
                      "Frame the scenery bounds too, not only the objects (the bounds reach far past them)");
    command->footer(
        "Objects are drawn in file order, later ones on top. The legend counts the labels left out; so does\n"
        "the line printed once the map is written. Axes are in degrees on the sphere of the host's units.\n"
        "Exit codes: 0 drawn, 1 a file could not be read or is malformed (the rest are drawn) or\n"
        "the map could not be written, 2 bad arguments or an output that is a scenery file.\n");
    command->callback([options] { ExitStatus() = RunMap(*options, std::cout, std::cerr); });
}

}  // namespace tavu
