// tavu map: a top-down SVG drawing of one or more sceneries.
//
// Positions are projected to local metres around the middle of what is
// drawn (east = longitude difference times the parallel's radius at the
// middle latitude, north = the latitude's metres directly), so that short
// distances and angles read true. North is up.
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <numbers>
#include <sstream>
#include <string_view>

#include "catalog/catalog.h"
#include "sim/host.h"
#include "tools/tavu/commands.h"
#include "tools/tavu/file_commands.h"
#include "tools/tavu/svg.h"
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

void WriteDefs(std::ostream& svg) {
    svg << "<defs>\n";
    svg << "<clipPath id=\"map-area\"><rect x=\"" << Px(kMapX) << "\" y=\"" << Px(kMapY) << "\" width=\""
        << Px(kMapWidth) << "\" height=\"" << Px(kMapHeight) << "\"/></clipPath>\n";
    for (const Glyph& glyph : kGroupGlyphs) {
        svg << "<g id=\"glyph-" << glyph.id << "\" class=\"glyph\">" << glyph.body << "</g>\n";
    }
    svg << "<g id=\"glyph-" << kUnknownGlyph.id << "\" class=\"glyph\">" << kUnknownGlyph.body << "</g>\n";
    svg << "</defs>\n";
}

void WriteGrid(std::ostream& svg, const Projection& projection, double step) {
    double stepPixels = step * projection.pixelsPerMetre();
    if (!(stepPixels >= 8)) {
        return;
    }
    svg << "<g class=\"grid\">\n";
    // Lines through whole multiples of the step from the map's centre.
    double cx = kMapX + kMapWidth / 2, cy = kMapY + kMapHeight / 2;
    for (int k = -static_cast<int>(kMapWidth / 2 / stepPixels); k * stepPixels <= kMapWidth / 2; ++k) {
        double x = cx + k * stepPixels;
        svg << "<line x1=\"" << Px(x) << "\" y1=\"" << Px(kMapY) << "\" x2=\"" << Px(x) << "\" y2=\""
            << Px(kMapY + kMapHeight) << "\"/>\n";
    }
    for (int k = -static_cast<int>(kMapHeight / 2 / stepPixels); k * stepPixels <= kMapHeight / 2; ++k) {
        double y = cy + k * stepPixels;
        svg << "<line x1=\"" << Px(kMapX) << "\" y1=\"" << Px(y) << "\" x2=\"" << Px(kMapX + kMapWidth)
            << "\" y2=\"" << Px(y) << "\"/>\n";
    }
    svg << "</g>\n";
}

enum class BoundsShown { None, Drawn, BeyondTheMap };

std::vector<BoundsShown> WriteBounds(std::ostream& svg, std::span<const MapScenery> sceneries,
                                     const Projection& projection) {
    std::vector<BoundsShown> shown;
    for (const MapScenery& scenery : sceneries) {
        if (!BoundsDrawable(scenery)) {
            shown.push_back(BoundsShown::None);
            continue;
        }
        double west, east;
        BoundsLon(scenery.header, projection.anchor(), &west, &east);
        double x0 = projection.X(west), x1 = projection.X(east);
        double y0 = projection.Y(scenery.header.maxLat), y1 = projection.Y(scenery.header.minLat);
        auto inX = [](double x) { return x >= kMapX && x <= kMapX + kMapWidth; };
        auto inY = [](double y) { return y >= kMapY && y <= kMapY + kMapHeight; };
        bool spansX = x0 <= kMapX + kMapWidth && x1 >= kMapX;
        bool spansY = y0 <= kMapY + kMapHeight && y1 >= kMapY;
        bool edgeInView = ((inX(x0) || inX(x1)) && spansY) || ((inY(y0) || inY(y1)) && spansX);
        if (!edgeInView) {
            shown.push_back(BoundsShown::BeyondTheMap);
            continue;
        }
        shown.push_back(BoundsShown::Drawn);
        // Edges beyond the map are pulled to just outside it, where the clip
        // hides them: huge or wrapped bounds never make huge numbers.
        x0 = std::clamp(x0, kMapX - 4, kMapX + kMapWidth + 4);
        x1 = std::clamp(x1, kMapX - 4, kMapX + kMapWidth + 4);
        y0 = std::clamp(y0, kMapY - 4, kMapY + kMapHeight + 4);
        y1 = std::clamp(y1, kMapY - 4, kMapY + kMapHeight + 4);
        svg << "<rect class=\"bounds\" x=\"" << Px(x0) << "\" y=\"" << Px(y0) << "\" width=\"" << Px(x1 - x0)
            << "\" height=\"" << Px(y1 - y0) << "\"><title>" << XmlText(scenery.name)
            << ": scenery bounds</title></rect>\n";
        double labelX = std::max(x0, kMapX) + 5, labelY = std::max(y0, kMapY) + 14;
        svg << "<text class=\"bounds-name\" x=\"" << Px(labelX) << "\" y=\"" << Px(labelY) << "\">"
            << XmlText(scenery.name) << "</text>\n";
    }
    return shown;
}

struct ObjectLook {
    int group = -1;
    std::string name = "unknown object";
    const char* colour = kUnknownColour;
    const char* glyph = kUnknownGlyph.id;
};

ObjectLook LookOf(const ObjectRecord& record) {
    ObjectLook look;
    if (std::optional<CatalogMatch> match = FindEntry(record.objectKey)) {
        look.group = match->group;
        look.name = ObjectCatalog.entries[match->entry].name;
        look.colour = kGroupColours[match->group];
        look.glyph = kGroupGlyphs[match->group].id;
    }
    return look;
}

// Pixel boxes already taken by symbols and labels, bucketed on a coarse
// grid so that thousands of objects stay cheap to place.
class Occupancy {
public:
    struct Box {
        double x0, y0, x1, y1;
        bool Overlaps(const Box& other) const {
            return x0 < other.x1 && other.x0 < x1 && y0 < other.y1 && other.y0 < y1;
        }
    };

    void Add(const Box& box) {
        ForCells(box, [&](std::vector<Box>& cell) { cell.push_back(box); return true; });
    }
    // How many boxes this one overlaps (a box spanning cells may count twice).
    size_t Overlaps(const Box& box) {
        size_t n = 0;
        ForCells(box, [&](std::vector<Box>& cell) {
            n += static_cast<size_t>(
                std::count_if(cell.begin(), cell.end(), [&](const Box& other) { return box.Overlaps(other); }));
            return true;
        });
        return n;
    }

private:
    static constexpr double kCell = 48;
    static constexpr int kColumns = static_cast<int>(kMapWidth / kCell) + 3;
    static constexpr int kRows = static_cast<int>(kMapHeight / kCell) + 3;

    static int Column(double x) { return std::clamp(static_cast<int>((x - kMapX) / kCell) + 1, 0, kColumns - 1); }
    static int Row(double y) { return std::clamp(static_cast<int>((y - kMapY) / kCell) + 1, 0, kRows - 1); }

    template <typename Fn>
    bool ForCells(const Box& box, Fn fn) {
        for (int row = Row(box.y0); row <= Row(box.y1); ++row) {
            for (int column = Column(box.x0); column <= Column(box.x1); ++column) {
                if (!fn(cells_[row * kColumns + column])) {
                    return false;
                }
            }
        }
        return true;
    }

    std::vector<std::vector<Box>> cells_ = std::vector<std::vector<Box>>(kColumns * kRows);
};

// Where a label goes relative to its symbol: the first of right, left,
// above and below that stays on the map and overlaps nothing already drawn;
// when none is free, the one on the map that overlaps least, or nowhere when
// only free spots will do.
struct LabelSpot {
    double x, y;
    const char* anchor;  // nullptr: start
};

std::optional<LabelSpot> PlaceLabel(double x, double y, const std::string& name, bool onlyFree,
                                    Occupancy& taken) {
    // An estimate of the text's width at 11 px; enough to keep labels apart.
    double width = DisplayWidth(name) * 6.3 + 2;
    struct Candidate {
        LabelSpot spot;
        Occupancy::Box box;
    };
    const Candidate candidates[] = {
        {{11, 4, nullptr}, {x + 11, y - 6, x + 11 + width, y + 6}},
        {{-11, 4, "end"}, {x - 11 - width, y - 6, x - 11, y + 6}},
        {{0, -12, "middle"}, {x - width / 2, y - 22, x + width / 2, y - 10}},
        {{0, 21, "middle"}, {x - width / 2, y + 11, x + width / 2, y + 23}},
    };
    const Candidate* best = &candidates[0];
    size_t fewest = SIZE_MAX;
    for (const Candidate& candidate : candidates) {
        const Occupancy::Box& box = candidate.box;
        bool onMap = box.x0 >= kMapX && box.x1 <= kMapX + kMapWidth && box.y0 >= kMapY && box.y1 <= kMapY + kMapHeight;
        if (!onMap) {
            continue;
        }
        size_t overlaps = taken.Overlaps(box);
        if (overlaps < fewest) {
            best = &candidate;
            fewest = overlaps;
        }
        if (overlaps == 0) {
            break;
        }
    }
    if (onlyFree && fewest != 0) {
        return std::nullopt;
    }
    taken.Add(best->box);
    return best->spot;
}

double GlyphScale(size_t objects) {
    if (objects > 1500) {
        return 0.55;
    }
    return objects > 300 ? 0.75 : 1.0;
}

void WriteObjects(std::ostream& svg, std::span<const MapScenery> sceneries, const Projection& projection,
                  MapLabels labels, size_t total, size_t* labelsLeftOut) {
    double glyphScale = GlyphScale(total);
    std::string scale = SvgNumber(glyphScale);
    struct Drawn {
        const MapScenery* scenery;
        size_t index;
        double x, y;
    };
    std::vector<Drawn> drawn;
    drawn.reserve(total);
    Occupancy taken;
    double half = 9 * glyphScale;
    for (const MapScenery& scenery : sceneries) {
        for (size_t i = 0; i < scenery.records.size(); ++i) {
            const ObjectRecord& record = scenery.records[i];
            double x = projection.X(LonDelta(record.lon.integer, record.lon.fraction, projection.anchor()));
            double y = projection.Y(PositionValue(record.lat));
            drawn.push_back({&scenery, i, x, y});
            // Every symbol is placed before any label, so no label covers one.
            taken.Add({x - half, y - half, x + half, y + half});
        }
    }
    for (const Drawn& object : drawn) {
        const ObjectRecord& record = object.scenery->records[object.index];
        ObjectLook look = LookOf(record);
        double heading = HeadingDegrees(record.heading);
        svg << "<g class=\"object\" data-group=\"" << look.group << "\" transform=\"translate(" << Px(object.x)
            << "," << Px(object.y) << ")\">";
        svg << "<title>" << XmlText(look.name) << " - " << XmlText(object.scenery->name) << " record "
            << object.index << ": " << FormatNumber(LatitudeDegrees(PositionValue(record.lat)), 7) << "°, "
            << FormatNumber(LongitudeDegrees(PositionValue(record.lon)), 7) << "°, "
            << FormatNumber(PositionValue(record.alt), 2) << " m; heading " << FormatNumber(heading, 2)
            << "°; scale " << XmlText(ReadScale(record.scale).text) << "; range " << record.maxDistance
            << " m</title>";
        svg << "<use xlink:href=\"#glyph-" << look.glyph << "\" fill=\"" << look.colour << "\" transform=\"rotate("
            << SvgNumber(heading) << ") scale(" << scale << ")\"/>";
        std::optional<LabelSpot> spot;
        if (labels != MapLabels::None) {
            spot = PlaceLabel(object.x, object.y, look.name, labels == MapLabels::WhereTheyFit, taken);
            *labelsLeftOut += !spot;
        }
        if (spot) {
            svg << "<text class=\"label\" x=\"" << SvgNumber(spot->x) << "\" y=\"" << SvgNumber(spot->y) << "\"";
            if (spot->anchor != nullptr) {
                svg << " text-anchor=\"" << spot->anchor << "\"";
            }
            svg << ">" << XmlText(look.name) << "</text>";
        }
        svg << "</g>\n";
    }
}

void WriteScaleBar(std::ostream& svg, const Projection& projection, double metres) {
    double length = metres * projection.pixelsPerMetre();
    double x = kMapX + 16, y = kMapY + kMapHeight - 22;
    svg << "<g class=\"scalebar\">\n";
    svg << "<rect x=\"" << Px(x - 6) << "\" y=\"" << Px(y - 18) << "\" width=\"" << Px(length + 12 + 40)
        << "\" height=\"32\" fill=\"#ffffff\" fill-opacity=\"0.8\"/>\n";
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

void WriteNorthArrow(std::ostream& svg) {
    double x = kMapX + kMapWidth - 30, y = kMapY + 48;
    svg << "<g class=\"north\" transform=\"translate(" << Px(x) << "," << Px(y) << ")\">"
        << "<circle r=\"17\" fill=\"#ffffff\" fill-opacity=\"0.8\" stroke=\"#555\"/>"
        << "<path d=\"M0,-14 L6,8 L0,3 Z\" fill=\"#1b1b1b\"/><path d=\"M0,-14 L-6,8 L0,3 Z\" fill=\"#ffffff\" "
           "stroke=\"#1b1b1b\" stroke-width=\"0.8\"/>"
        << "<text y=\"-21\" text-anchor=\"middle\" font-size=\"13\" font-weight=\"bold\">N</text></g>\n";
}

void WriteLegend(std::ostream& svg, std::span<const MapScenery> sceneries, const std::vector<BoundsShown>& bounds,
                 size_t labelsLeftOut) {
    size_t counts[CATALOG_GROUP_COUNT] = {};
    size_t unknown = 0;
    for (const MapScenery& scenery : sceneries) {
        for (const ObjectRecord& record : scenery.records) {
            int group = LookOf(record).group;
            (group >= 0 ? counts[group] : unknown) += 1;
        }
    }
    double x = kLegendX, y = kMapY + 10;
    svg << "<g class=\"legend-box\">\n";
    svg << "<text class=\"legend-head\" x=\"" << Px(x) << "\" y=\"" << Px(y) << "\">Objects</text>\n";
    y += 24;
    auto row = [&](const char* glyph, const char* colour, const std::string& text) {
        svg << "<use xlink:href=\"#glyph-" << glyph << "\" fill=\"" << colour << "\" transform=\"translate("
            << Px(x + 9) << "," << Px(y - 4) << ") scale(0.9)\"/>";
        svg << "<text class=\"legend\" x=\"" << Px(x + 26) << "\" y=\"" << Px(y) << "\">" << XmlText(text)
            << "</text>\n";
        y += 22;
    };
    bool any = false;
    for (int g = 0; g < CATALOG_GROUP_COUNT; ++g) {
        if (counts[g] > 0) {
            row(kGroupGlyphs[g].id, kGroupColours[g],
                std::string(ObjectCatalog.groups[g].name) + " (" + std::to_string(counts[g]) + ")");
            any = true;
        }
    }
    if (unknown > 0) {
        row(kUnknownGlyph.id, kUnknownColour, "not in the catalog (" + std::to_string(unknown) + ")");
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
        if (bounds[i] != BoundsShown::Drawn) {
            y += 15;
            svg << "<text class=\"note\" x=\"" << Px(x + 26) << "\" y=\"" << Px(y) << "\">"
                << (bounds[i] == BoundsShown::None ? "no bounds in its header" : "bounds reach beyond the map")
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
    const char* notes[] = {"North is up. Symbols point along", "each object's heading; they are not",
                           "drawn to scale. Dashed: the bounds", "each scenery's header gives",
                           "(--fit-bounds frames them)."};
    for (const char* note : notes) {
        svg << "<text class=\"note\" x=\"" << Px(x) << "\" y=\"" << Px(y) << "\">" << note << "</text>\n";
        y += 15;
    }
    if (labelsLeftOut > 0) {
        y += 8;
        svg << "<text class=\"note\" x=\"" << Px(x) << "\" y=\"" << Px(y) << "\">"
            << Plural(labelsLeftOut, "label") << " left out where</text>\n";
        svg << "<text class=\"note\" x=\"" << Px(x) << "\" y=\"" << Px(y + 15) << "\">"
            << (labelsLeftOut == 1 ? "it" : "they") << " would overlap (--labels shows all).</text>\n";
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

int WriteAll(int fd, std::string_view text) {
    while (!text.empty()) {
        ssize_t n = write(fd, text.data(), text.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        text.remove_prefix(static_cast<size_t>(n));
    }
    return 0;
}

// Writes `text` to `path` whole or not at all: into a temporary file in the
// same folder, renamed over `path` once complete. A device or a pipe
// (/dev/stdout, a shell's process substitution) is written directly, never
// replaced. Returns 0 or the errno of the failure.
int WriteWhole(const std::string& path, std::string_view text) {
    struct stat existing;
    if (stat(path.c_str(), &existing) == 0 && !S_ISREG(existing.st_mode) && !S_ISDIR(existing.st_mode)) {
        int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0) {
            return errno;
        }
        int error = WriteAll(fd, text);
        if (close(fd) != 0 && error == 0) {
            error = errno;
        }
        return error;
    }
    std::filesystem::path target(path);
    std::string pattern = (target.parent_path() / ("." + target.filename().string() + ".XXXXXX")).string();
    std::vector<char> temp(pattern.begin(), pattern.end());
    temp.push_back('\0');
    int fd = mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) {
        return errno;
    }
    // mkostemp makes the file private; a map is as readable as any new file.
    mode_t mask = umask(0);
    umask(mask);
    int error = fchmod(fd, 0666 & ~mask) != 0 ? errno : 0;
    if (error == 0) {
        error = WriteAll(fd, text);
    }
    if (error == 0 && fsync(fd) != 0) {
        error = errno;
    }
    if (close(fd) != 0 && error == 0) {
        error = errno;
    }
    if (error == 0 && rename(temp.data(), path.c_str()) != 0) {
        error = errno;
    }
    if (error != 0) {
        unlink(temp.data());
    }
    return error;
}

}  // namespace

const char* GroupColour(int groupIndex) {
    return groupIndex >= 0 && groupIndex < CATALOG_GROUP_COUNT ? kGroupColours[groupIndex] : kUnknownColour;
}

std::string RenderMap(std::span<const MapScenery> sceneries, const MapStyle& style) {
    size_t total = 0;
    for (const MapScenery& scenery : sceneries) {
        total += scenery.records.size();
    }
    Projection projection = MakeProjection(sceneries, style.fitBounds);
    double barMetres = RoundLength(kScaleBarPixels / projection.pixelsPerMetre());
    std::string title = style.title.empty() ? DefaultTitle(sceneries) : style.title;

    std::ostringstream svg;
    svg << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    svg << "<svg xmlns=\"http://www.w3.org/2000/svg\" xmlns:xlink=\"http://www.w3.org/1999/xlink\" width=\""
        << Px(kCanvasWidth) << "\" height=\"" << Px(kCanvasHeight) << "\" viewBox=\"0 0 " << Px(kCanvasWidth) << " "
        << Px(kCanvasHeight) << "\" font-family=\"DejaVu Sans, Arial, sans-serif\">\n";
    svg << "<title>" << XmlText(title) << "</title>\n";
    svg << "<style>" << kStyle << "</style>\n";
    WriteDefs(svg);
    svg << "<rect width=\"100%\" height=\"100%\" fill=\"#ffffff\"/>\n";
    svg << "<text class=\"title\" x=\"" << Px(kMapX) << "\" y=\"32\">" << XmlText(title) << "</text>\n";
    svg << "<text class=\"subtitle\" x=\"" << Px(kMapX) << "\" y=\"54\">" << Plural(total, "object") << " in "
        << Plural(sceneries.size(), "scenery file") << "; centre "
        << FormatNumber(LatitudeDegrees(projection.midLat()), 6) << "°, "
        << FormatNumber(projection.midLonDegrees(), 6) << "°; grid " << LengthText(barMetres) << "</text>\n";
    svg << "<rect class=\"sea\" x=\"" << Px(kMapX) << "\" y=\"" << Px(kMapY) << "\" width=\"" << Px(kMapWidth)
        << "\" height=\"" << Px(kMapHeight) << "\"/>\n";
    svg << "<g clip-path=\"url(#map-area)\">\n";
    WriteGrid(svg, projection, barMetres);
    std::vector<BoundsShown> bounds = WriteBounds(svg, sceneries, projection);
    size_t labelsLeftOut = 0;
    WriteObjects(svg, sceneries, projection, style.labels, total, &labelsLeftOut);
    svg << "</g>\n";
    svg << "<rect class=\"frame\" x=\"" << Px(kMapX) << "\" y=\"" << Px(kMapY) << "\" width=\"" << Px(kMapWidth)
        << "\" height=\"" << Px(kMapHeight) << "\"/>\n";
    WriteScaleBar(svg, projection, barMetres);
    WriteNorthArrow(svg);
    WriteLegend(svg, sceneries, bounds, labelsLeftOut);
    svg << "</svg>\n";
    return svg.str();
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
        scenery.name = std::filesystem::path(path).filename().string();
        scenery.header = loaded.file.header;
        scenery.hasHeader = loaded.file.hasHeader;
        scenery.records = std::move(loaded.file.records);
        sceneries.push_back(std::move(scenery));
    }
    if (sceneries.empty()) {
        err << "tavu map: nothing to draw\n";
        return EXIT_FAILURE_FOUND;
    }
    size_t total = 0;
    for (const MapScenery& scenery : sceneries) {
        total += scenery.records.size();
    }
    MapStyle style;
    if (options.labels) {
        style.labels = *options.labels ? MapLabels::All : MapLabels::None;
    } else {
        style.labels = total <= kMaxAutoLabels ? MapLabels::WhereTheyFit : MapLabels::None;
    }
    style.title = options.title;
    style.fitBounds = options.fitBounds;
    std::string svg = RenderMap(sceneries, style);
    if (options.output == "-") {
        out << svg;
    } else {
        if (int error = WriteWhole(options.output, svg); error != 0) {
            err << "tavu map: " << options.output << ": cannot write the map: " << strerror(error) << "\n";
            return EXIT_FAILURE_FOUND;
        }
        out << options.output << ": " << Plural(total, "object") << " from " << Plural(sceneries.size(), "scenery file")
            << "\n";
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
        "Label every object with its catalog name (default: where labels fit, up to 150 objects)");
    auto* noLabels =
        command->add_flag_callback("--no-labels", [options] { options->labels = false; }, "Label no object");
    labels->excludes(noLabels);
    command->add_option("--title", options->title, "The map's title (default: from the file names)");
    command->add_flag("--fit-bounds", options->fitBounds,
                      "Frame the scenery bounds too, not only the objects (the bounds reach far past them)");
    command->footer("Exit codes: 0 drawn, 1 a file could not be read or is malformed (the rest are drawn) or\n"
                    "the map could not be written, 2 bad arguments or an output that is a scenery file.\n");
    command->callback([options] { ExitStatus() = RunMap(*options, std::cout, std::cerr); });
}

}  // namespace tavu
