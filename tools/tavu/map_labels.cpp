#include "tools/tavu/map_labels.h"

#include <algorithm>
#include <cmath>

namespace tavu {

SymbolCentres::SymbolCentres(const Box& area, double half)
    : area_(area),
      half_(half),
      columns_(static_cast<size_t>(area.x1 - area.x0)),
      rows_(static_cast<size_t>(area.y1 - area.y0)),
      stride_(columns_ + 1),
      sums_(stride_ * (rows_ + 1)) {}

size_t SymbolCentres::Bin(double offset, size_t count) const {
    return static_cast<size_t>(std::clamp(std::floor(offset), 0.0, count - 1.0));
}

void SymbolCentres::Count(double x, double y) {
    ++sums_[(Bin(y - area_.y0, rows_) + 1) * stride_ + Bin(x - area_.x0, columns_) + 1];
}

void SymbolCentres::Sum() {
    for (size_t row = 1; row <= rows_; ++row) {
        for (size_t column = 1; column <= columns_; ++column) {
            sums_[row * stride_ + column] += sums_[(row - 1) * stride_ + column] +
                                             sums_[row * stride_ + column - 1] -
                                             sums_[(row - 1) * stride_ + column - 1];
        }
    }
}

uint32_t SymbolCentres::Under(const Box& box) const {
    // The pixels whose centres could lie within half a symbol of the box.
    const double columns = static_cast<double>(columns_), rows = static_cast<double>(rows_);
    double left = std::clamp(box.x0 - half_ - area_.x0, -1.0, columns + 1.0);
    double right = std::clamp(box.x1 + half_ - area_.x0, -1.0, columns + 1.0);
    double top = std::clamp(box.y0 - half_ - area_.y0, -1.0, rows + 1.0);
    double bottom = std::clamp(box.y1 + half_ - area_.y0, -1.0, rows + 1.0);
    int c0 = std::max(static_cast<int>(std::floor(left)), 0);
    int c1 = std::min(static_cast<int>(std::ceil(right)) - 1, static_cast<int>(columns_) - 1);
    int r0 = std::max(static_cast<int>(std::floor(top)), 0);
    int r1 = std::min(static_cast<int>(std::ceil(bottom)) - 1, static_cast<int>(rows_) - 1);
    if (c0 > c1 || r0 > r1) {
        return 0;
    }
    auto at = [&](int row, int column) { return sums_[static_cast<size_t>(row) * stride_ + column]; };
    return at(r1 + 1, c1 + 1) - at(r0, c1 + 1) - at(r1 + 1, c0) + at(r0, c0);
}

namespace {
constexpr double kCell = 32;
}

LabelGrid::LabelGrid(const Box& area)
    : area_(area),
      columns_(static_cast<size_t>((area.x1 - area.x0) / kCell) + 1),
      rows_(static_cast<size_t>((area.y1 - area.y0) / kCell) + 1),
      cells_(columns_ * rows_) {}

size_t LabelGrid::Column(double x) const {
    return static_cast<size_t>(std::clamp((x - area_.x0) / kCell, 0.0, columns_ - 1.0));
}

size_t LabelGrid::Row(double y) const {
    return static_cast<size_t>(std::clamp((y - area_.y0) / kCell, 0.0, rows_ - 1.0));
}

bool LabelGrid::Free(const Box& box) const {
    for (size_t row = Row(box.y0); row <= Row(box.y1); ++row) {
        for (size_t column = Column(box.x0); column <= Column(box.x1); ++column) {
            for (uint32_t label : cells_[row * columns_ + column]) {
                if (boxes_[label].Overlaps(box)) {
                    return false;
                }
            }
        }
    }
    return true;
}

void LabelGrid::Add(const Box& box) {
    for (size_t row = Row(box.y0); row <= Row(box.y1); ++row) {
        for (size_t column = Column(box.x0); column <= Column(box.x1); ++column) {
            cells_[row * columns_ + column].push_back(static_cast<uint32_t>(boxes_.size()));
        }
    }
    boxes_.push_back(box);
}

std::optional<LabelSpot> PlaceLabel(double x, double y, double width, bool clearOfSymbols, const Box& area,
                                    const SymbolCentres& symbols, LabelGrid& labels) {
    struct Candidate {
        LabelSpot spot;
        Box box;
    };
    const Candidate candidates[] = {
        {{x + 11, y + 4, nullptr}, {x + 11, y - 6, x + 11 + width, y + 6}},
        {{x - 11, y + 4, "end"}, {x - 11 - width, y - 6, x - 11, y + 6}},
        {{x, y - 12, "middle"}, {x - width / 2, y - 22, x + width / 2, y - 10}},
        {{x, y + 21, "middle"}, {x - width / 2, y + 11, x + width / 2, y + 23}},
    };
    const Candidate* best = nullptr;
    uint32_t fewest = UINT32_MAX;
    for (const Candidate& candidate : candidates) {
        const Box& box = candidate.box;
        bool inside = box.x0 >= area.x0 && box.x1 <= area.x1 && box.y0 >= area.y0 && box.y1 <= area.y1;
        if (!inside || !labels.Free(box)) {
            continue;
        }
        uint32_t covered = symbols.Under(box);
        if (covered < fewest) {
            best = &candidate;
            fewest = covered;
        }
        if (covered == 0) {
            break;
        }
    }
    if (best == nullptr || (clearOfSymbols && fewest != 0)) {
        return std::nullopt;
    }
    labels.Add(best->box);
    return best->spot;
}

}  // namespace tavu
