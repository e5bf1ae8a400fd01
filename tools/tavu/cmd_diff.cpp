// tavu diff A B: what changed between two versions of a scenery, object by
// object. Records pair up by what they are and where they stand, never by
// their place in the file, so that deleting one record does not make every
// later one look changed.
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <cmath>
#include <iostream>
#include <numeric>

#include "catalog/catalog.h"
#include "sim/geodesy.h"
#include "sim/printable.h"
#include "tools/tavu/commands.h"
#include "tools/tavu/file_commands.h"

namespace tavu {

namespace {

// Two objects of different kinds this close together are one object changed
// into another (the dialog's edit keeps the position), not one removed and
// one added.
constexpr double kReplacedWithinMetres = 1.0;
// Same-kind records still unpaired after the identical ones are paired by
// distance, every one against every one; past this many pairs for one kind
// they pair in file order instead, so that two huge files cannot exhaust
// memory.
constexpr size_t kMaxCandidatePairs = size_t{1} << 24;

struct Side {
    const LoadedScenery* scenery;
    std::vector<double> lat, lon, alt;  // degrees, degrees, metres
    std::vector<int> partner;           // index on the other side, -1 none

    const ObjectRecord& Record(size_t i) const { return scenery->file.records[i]; }
    size_t Size() const { return scenery->file.records.size(); }
};

Side MakeSide(const LoadedScenery& scenery) {
    Side side{&scenery, {}, {}, {}, {}};
    for (const ObjectRecord& record : scenery.file.records) {
        side.lat.push_back(sim::LatitudeOf(record.lat));
        side.lon.push_back(sim::LongitudeOf(record.lon));
        side.alt.push_back(sim::AltitudeOf(record.alt));
    }
    side.partner.assign(side.Size(), -1);
    return side;
}

double Apart(const Side& a, size_t i, const Side& b, size_t j) {
    return sim::SurfaceMetres(a.lat[i], a.lon[i], b.lat[j], b.lon[j]);
}

void Pair(Side& a, size_t i, Side& b, size_t j) {
    a.partner[i] = static_cast<int>(j);
    b.partner[j] = static_cast<int>(i);
}

bool SameKey(const ObjectRecord& x, const ObjectRecord& y) {
    return memcmp(x.objectKey, y.objectKey, sizeof x.objectKey) == 0;
}

// Nearest first: of all the candidate pairs, the closest pair is taken, then
// the closest of what is left, and so on.
struct Candidate {
    double metres;
    size_t i, j;
};
void PairNearestFirst(std::vector<Candidate>& candidates, Side& a, Side& b) {
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const Candidate& x, const Candidate& y) { return x.metres < y.metres; });
    for (const Candidate& c : candidates) {
        if (a.partner[c.i] < 0 && b.partner[c.j] < 0) {
            Pair(a, c.i, b, c.j);
        }
    }
}

std::vector<size_t> Unpaired(const Side& side) {
    std::vector<size_t> out;
    for (size_t i = 0; i < side.Size(); ++i) {
        if (side.partner[i] < 0) {
            out.push_back(i);
        }
    }
    return out;
}

void Match(Side& a, Side& b) {
    // Identical records first, in file order among equals: an unchanged file
    // pairs every record with itself in O(n log n).
    auto byBytes = [](const Side& side) {
        std::vector<size_t> order(side.Size());
        std::iota(order.begin(), order.end(), 0);
        std::stable_sort(order.begin(), order.end(), [&side](size_t x, size_t y) {
            return memcmp(&side.Record(x), &side.Record(y), sizeof(ObjectRecord)) < 0;
        });
        return order;
    };
    std::vector<size_t> oa = byBytes(a), ob = byBytes(b);
    for (size_t x = 0, y = 0; x < oa.size() && y < ob.size();) {
        int order = memcmp(&a.Record(oa[x]), &b.Record(ob[y]), sizeof(ObjectRecord));
        if (order == 0) {
            Pair(a, oa[x++], b, ob[y++]);
        } else {
            order < 0 ? ++x : ++y;
        }
    }
    // Then the same object wherever it went, one kind at a time.
    std::vector<size_t> restA = Unpaired(a), restB = Unpaired(b);
    std::vector<bool> kindDone(restA.size(), false);
    for (size_t k = 0; k < restA.size(); ++k) {
        if (kindDone[k]) {
            continue;
        }
        std::vector<size_t> kindA, kindB;
        for (size_t m = k; m < restA.size(); ++m) {
            if (SameKey(a.Record(restA[k]), a.Record(restA[m]))) {
                kindA.push_back(restA[m]);
                kindDone[m] = true;
            }
        }
        for (size_t j : restB) {
            if (SameKey(a.Record(restA[k]), b.Record(j))) {
                kindB.push_back(j);
            }
        }
        if (kindA.size() * kindB.size() > kMaxCandidatePairs) {
            for (size_t n = 0; n < std::min(kindA.size(), kindB.size()); ++n) {
                Pair(a, kindA[n], b, kindB[n]);
            }
            continue;
        }
        std::vector<Candidate> candidates;
        for (size_t i : kindA) {
            for (size_t j : kindB) {
                candidates.push_back({Apart(a, i, b, j), i, j});
            }
        }
        PairNearestFirst(candidates, a, b);
    }
    // Last, one object changed into another where it stood.
    std::vector<Candidate> candidates;
    restA = Unpaired(a);
    restB = Unpaired(b);
    if (restA.size() * restB.size() <= kMaxCandidatePairs) {
        for (size_t i : restA) {
            for (size_t j : restB) {
                double metres = Apart(a, i, b, j);
                if (metres <= kReplacedWithinMetres) {
                    candidates.push_back({metres, i, j});
                }
            }
        }
    }
    PairNearestFirst(candidates, a, b);
}

std::string NameOf(const ObjectRecord& record) {
    std::optional<CatalogMatch> match = FindEntry(record.objectKey);
    return match ? ObjectCatalog.entries[match->entry].name : "unknown object " + KeyHex(record.objectKey);
}

std::string Fixed(double value, int decimals) {
    char text[64];
    snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

const char* Compass(double bearing) {
    static const char* const kPoints[] = {"N", "NE", "E", "SE", "S", "SW", "W", "NW"};
    return kPoints[static_cast<int>(std::floor(bearing / 45.0 + 0.5)) % 8];
}

// What changed between two paired records; empty when nothing did.
struct Change {
    size_t a = 0, b = 0;
    bool replaced = false, moved = false, turned = false, rescaled = false, reranged = false;
    std::vector<std::string> other;  // names of other fields that differ
    double metres = 0, bearing = 0, up = 0;

    bool Any() const { return replaced || moved || turned || rescaled || reranged || !other.empty(); }
};

Change Compare(const Side& sa, size_t a, const Side& sb, size_t b) {
    const ObjectRecord &x = sa.Record(a), &y = sb.Record(b);
    Change c;
    c.a = a;
    c.b = b;
    c.replaced = !SameKey(x, y);
    c.moved = memcmp(&x.lat, &y.lat, sizeof x.lat) != 0 || memcmp(&x.lon, &y.lon, sizeof x.lon) != 0 ||
              memcmp(&x.alt, &y.alt, sizeof x.alt) != 0;
    c.metres = Apart(sa, a, sb, b);
    c.bearing = sim::BearingDegrees(sa.lat[a], sa.lon[a], sb.lat[b], sb.lon[b]);
    c.up = sb.alt[b] - sa.alt[a];
    c.turned = x.heading != y.heading || x.pitch != y.pitch || x.bank != y.bank;
    c.rescaled = x.scale != y.scale;
    c.reranged = x.maxDistance != y.maxDistance;
    if (x.size != y.size && !c.replaced) {  // another object brings its own size
        c.other.push_back("size");
    }
    if (x.recordTag != y.recordTag) {
        c.other.push_back("tag");
    }
    if (x.reserved1 != y.reserved1 || x.reserved2 != y.reserved2) {
        c.other.push_back("reserved");
    }
    return c;
}

struct Angles {
    double heading, pitch, bank;
};
Angles AnglesOf(const ObjectRecord& r) {
    return {HeadingDegrees(r.heading), AngleDegrees(r.pitch), AngleDegrees(r.bank)};
}

std::string Where(const Side& side, size_t i) {
    return "lat " + Fixed(side.lat[i], 6) + " lon " + Fixed(side.lon[i], 6) + " alt " +
           Fixed(side.alt[i], 2) + " m";
}

std::string ChangeText(const Change& c, const Side& sa, const Side& sb) {
    const ObjectRecord &x = sa.Record(c.a), &y = sb.Record(c.b);
    std::vector<std::string> parts;
    if (c.replaced) {
        parts.push_back("changed to " + NameOf(y));
    }
    if (c.moved) {
        std::string move = "moved " + Fixed(c.metres, 2) + " m";
        if (c.metres >= 0.005) {
            move += " toward " + Fixed(c.bearing, 1) + "° (" + Compass(c.bearing) + ")";
        }
        if (std::fabs(c.up) >= 0.005) {
            move += ", " + Fixed(std::fabs(c.up), 2) + " m " + (c.up > 0 ? "up" : "down");
        }
        parts.push_back(move);
    }
    if (c.turned) {
        Angles ax = AnglesOf(x), ay = AnglesOf(y);
        std::string turn = "turned";
        auto angle = [&turn](const char* name, double from, double to, int16_t rawFrom, int16_t rawTo) {
            if (rawFrom != rawTo) {
                const double by = std::remainder(to - from, 360.0);
                turn += std::string(turn == "turned" ? " " : ", ") + name + " " + Fixed(from, 1) + "° to " +
                        Fixed(to, 1) + "° (" + (by > 0 ? "+" : "") + Fixed(by, 1) + "°)";
            }
        };
        angle("heading", ax.heading, ay.heading, x.heading, y.heading);
        angle("pitch", ax.pitch, ay.pitch, x.pitch, y.pitch);
        angle("bank", ax.bank, ay.bank, x.bank, y.bank);
        parts.push_back(turn);
    }
    if (c.rescaled) {
        parts.push_back("rescaled " + ReadScale(x.scale).text + " to " + ReadScale(y.scale).text);
    }
    if (c.reranged) {
        parts.push_back("re-ranged " + std::to_string(x.maxDistance) + " m to " + std::to_string(y.maxDistance) +
                        " m");
    }
    for (const std::string& field : c.other) {
        parts.push_back(field + " changed");
    }
    std::string text;
    for (const std::string& part : parts) {
        text += (text.empty() ? "" : "; ") + part;
    }
    return text;
}

struct Summary {
    size_t added = 0, removed = 0, changed = 0, moved = 0, turned = 0, rescaled = 0, reranged = 0,
           replaced = 0, unchanged = 0;
};

std::string SummaryText(const Summary& s) {
    if (s.added + s.removed + s.changed == 0) {
        return "no differences: the same " + Plural(s.unchanged, "object");
    }
    std::string detail;
    auto part = [&detail](size_t n, const char* what) {
        if (n > 0) {
            detail += (detail.empty() ? "" : ", ") + std::to_string(n) + " " + what;
        }
    };
    part(s.moved, "moved");
    part(s.turned, "turned");
    part(s.rescaled, "rescaled");
    part(s.reranged, "re-ranged");
    part(s.replaced, "changed to another object");
    return std::to_string(s.added) + " added, " + std::to_string(s.removed) + " removed, " +
           std::to_string(s.changed) + " changed" + (detail.empty() ? "" : " (" + detail + ")") + ", " +
           std::to_string(s.unchanged) + " unchanged";
}

nlohmann::ordered_json ObjectJson(const Side& side, size_t i) {
    const ObjectRecord& r = side.Record(i);
    nlohmann::ordered_json json;
    json["record"] = i;
    json["name"] = NameOf(r);
    json["objectKey"] = KeyHex(r.objectKey);
    json["latDegrees"] = side.lat[i];
    json["lonDegrees"] = side.lon[i];
    json["altMetres"] = side.alt[i];
    Angles angles = AnglesOf(r);
    json["headingDegrees"] = angles.heading;
    json["pitchDegrees"] = angles.pitch;
    json["bankDegrees"] = angles.bank;
    json["scaleText"] = ReadScale(r.scale).text;
    json["maxDistance"] = static_cast<uint32_t>(r.maxDistance);
    json["raw"] = {{"heading", static_cast<int16_t>(r.heading)},
                   {"pitch", static_cast<int16_t>(r.pitch)},
                   {"bank", static_cast<int16_t>(r.bank)},
                   {"scale", static_cast<uint32_t>(r.scale)}};
    return json;
}

}  // namespace

int RunDiff(const DiffOptions& options, std::ostream& out, std::ostream& err) {
    LoadedScenery first = LoadScenery(options.a), second = LoadScenery(options.b);
    for (const LoadedScenery* s : {&first, &second}) {
        if (!s->read()) {
            err << sim::Printable("tavu diff: " + s->path + ": " + s->readError) << "\n";
            return EXIT_USAGE;
        }
        if (!s->file.ok()) {
            err << sim::Printable("tavu diff: " + s->path + ": not a sound scenery file (tavu check " +
                                  s->path + " says why)")
                << "\n";
            return EXIT_USAGE;
        }
    }
    Side a = MakeSide(first), b = MakeSide(second);
    Match(a, b);

    Summary summary;
    std::vector<Change> changes;
    for (size_t i = 0; i < a.Size(); ++i) {
        if (a.partner[i] < 0) {
            ++summary.removed;
            continue;
        }
        Change c = Compare(a, i, b, static_cast<size_t>(a.partner[i]));
        if (!c.Any()) {
            ++summary.unchanged;
            continue;
        }
        ++summary.changed;
        summary.moved += c.moved;
        summary.turned += c.turned;
        summary.rescaled += c.rescaled;
        summary.reranged += c.reranged;
        summary.replaced += c.replaced;
        changes.push_back(c);
    }
    for (size_t j = 0; j < b.Size(); ++j) {
        summary.added += b.partner[j] < 0;
    }
    const bool equal = summary.added + summary.removed + summary.changed == 0;

    if (options.json) {
        nlohmann::ordered_json json;
        json["a"] = {{"file", options.a}, {"objects", a.Size()}};
        json["b"] = {{"file", options.b}, {"objects", b.Size()}};
        json["equal"] = equal;
        nlohmann::ordered_json list = nlohmann::ordered_json::array();
        size_t next = 0;
        for (size_t i = 0; i < a.Size(); ++i) {
            if (a.partner[i] < 0) {
                list.push_back({{"change", "removed"}, {"a", ObjectJson(a, i)}});
            } else if (next < changes.size() && changes[next].a == i) {
                const Change& c = changes[next++];
                nlohmann::ordered_json item = {
                    {"change", "changed"}, {"a", ObjectJson(a, c.a)}, {"b", ObjectJson(b, c.b)}};
                item["replaced"] = c.replaced;
                item["moved"] = c.moved ? nlohmann::ordered_json{{"metres", c.metres},
                                                                 {"bearingDegrees", c.bearing},
                                                                 {"upMetres", c.up}}
                                        : nlohmann::ordered_json(nullptr);
                item["turned"] = c.turned;
                item["rescaled"] = c.rescaled;
                item["reranged"] = c.reranged;
                item["otherFields"] = c.other;
                list.push_back(std::move(item));
            }
        }
        for (size_t j = 0; j < b.Size(); ++j) {
            if (b.partner[j] < 0) {
                list.push_back({{"change", "added"}, {"b", ObjectJson(b, j)}});
            }
        }
        json["changes"] = std::move(list);
        json["summary"] = {{"added", summary.added},         {"removed", summary.removed},
                           {"changed", summary.changed},     {"moved", summary.moved},
                           {"turned", summary.turned},       {"rescaled", summary.rescaled},
                           {"reranged", summary.reranged},   {"replaced", summary.replaced},
                           {"unchanged", summary.unchanged}, {"text", SummaryText(summary)}};
        out << json.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << '\n';
        return equal ? EXIT_OK : EXIT_FAILURE_FOUND;
    }

    out << sim::Printable("--- " + options.a + " (" + Plural(a.Size(), "object") + ")") << "\n";
    out << sim::Printable("+++ " + options.b + " (" + Plural(b.Size(), "object") + ")") << "\n";
    size_t next = 0;
    for (size_t i = 0; i < a.Size(); ++i) {
        if (a.partner[i] < 0) {
            out << "- record " << i << ": " << NameOf(a.Record(i)) << " at " << Where(a, i) << "\n";
        } else if (next < changes.size() && changes[next].a == i) {
            const Change& c = changes[next++];
            out << "~ record " << c.a << " -> " << c.b << ": " << NameOf(a.Record(c.a)) << " "
                << ChangeText(c, a, b) << "\n";
        }
    }
    for (size_t j = 0; j < b.Size(); ++j) {
        if (b.partner[j] < 0) {
            out << "+ record " << j << ": " << NameOf(b.Record(j)) << " at " << Where(b, j) << "\n";
        }
    }
    out << SummaryText(summary) << "\n";
    return equal ? EXIT_OK : EXIT_FAILURE_FOUND;
}

void AddDiffCommand(CLI::App& app) {
    auto options = std::make_shared<DiffOptions>();
    auto* command = app.add_subcommand("diff", "Show which objects two scenery files add, remove or change");
    command->add_option("A", options->a, "The older scenery file (- for standard input)")->required();
    command->add_option("B", options->b, "The newer scenery file (- for standard input)")->required();
    command->add_flag("--json", options->json, "Print JSON, with the raw field values too");
    command->footer(
        "Objects pair up by catalog object and nearest position, not by record number: first identical\n"
        "records, then the same object wherever it moved, nearest pairs first, then two different\n"
        "objects within 1 m of each other as one object changed into another. Distances are on the\n"
        "sphere of radius 6 371 000 m, directions in degrees clockwise from north.\n"
        "Exit codes: 0 the same objects, 1 differences, 2 an unreadable or malformed file or bad "
        "arguments.\n");
    command->callback([options] { ExitStatus() = RunDiff(*options, std::cout, std::cerr); });
}

}  // namespace tavu
