// Where a map's labels go: beside their symbols, never on one another, and
// covering as few symbols as they can, however many objects the map holds.
#pragma once

#include <stdint.h>

#include <optional>
#include <vector>

namespace tavu {

struct Box {
    double x0, y0, x1, y1;
    bool Overlaps(const Box& other) const {
        return x0 < other.x1 && other.x0 < x1 && y0 < other.y1 && other.y0 < y1;
    }
};

// How many symbols a box meets, in four lookups however many objects the
// map has: symbol centres counted per pixel of `area` and summed over the
// rectangle above and left of each pixel. A symbol is its centre plus or
// minus `half`; one up to a pixel beyond the box may count.
class SymbolCentres {
  public:
    // `objects`: anything with an x and a y on the page.
    template <typename Objects>
    SymbolCentres(const Box& area, double half, const Objects& objects) : SymbolCentres(area, half) {
        for (const auto& object : objects) {
            Count(object.x, object.y);
        }
        Sum();
    }
    uint32_t Under(const Box& box) const;

  private:
    SymbolCentres(const Box& area, double half);
    void Count(double x, double y);
    void Sum();
    size_t Bin(double offset, size_t count) const;
    Box area_;
    double half_;
    size_t columns_, rows_, stride_;
    std::vector<uint32_t> sums_;
};

// The labels placed so far (and what else they keep clear of), bucketed by
// cells of `area`. Labels never overlap one another, so a cell holds a
// handful and a test looks at those.
class LabelGrid {
  public:
    explicit LabelGrid(const Box& area);
    bool Free(const Box& box) const;
    void Add(const Box& box);

  private:
    size_t Column(double x) const;
    size_t Row(double y) const;
    Box area_;
    size_t columns_, rows_;
    std::vector<Box> boxes_;
    std::vector<std::vector<uint32_t>> cells_;
};

// Where a label goes beside its symbol at (x, y): of right, left, above and
// below, the spot inside `area` clear of every other label that covers the
// fewest symbols, the first such in that order; nowhere when every spot
// meets a label, or when `clearOfSymbols` and every spot covers one. A spot
// found is added to `labels`.
struct LabelSpot {
    double x, y;
    const char* anchor;  // nullptr: start
};
std::optional<LabelSpot> PlaceLabel(double x, double y, double width, bool clearOfSymbols, const Box& area,
                                    const SymbolCentres& symbols, LabelGrid& labels);

}  // namespace tavu
