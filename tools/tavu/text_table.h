// A plain-text table whose columns are as wide as their widest cell.
#pragma once

#include <stddef.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

namespace tavu {

// Columns count characters, not bytes: UTF-8 continuation bytes take no room.
inline size_t DisplayWidth(const std::string& text) {
    return static_cast<size_t>(std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
}

class TextTable {
public:
    enum class Align { Left, Right };

    void AddColumn(std::string title, Align align = Align::Left) {
        titles_.push_back(std::move(title));
        aligns_.push_back(align);
    }
    void AddRow(std::vector<std::string> cells) {
        cells.resize(titles_.size());
        rows_.push_back(std::move(cells));
    }

    void Print(std::ostream& out, const std::string& indent = "") const {
        std::vector<size_t> widths(titles_.size());
        for (size_t c = 0; c < titles_.size(); ++c) {
            widths[c] = DisplayWidth(titles_[c]);
            for (const auto& row : rows_) {
                widths[c] = std::max(widths[c], DisplayWidth(row[c]));
            }
        }
        PrintRow(out, indent, titles_, widths);
        for (const auto& row : rows_) {
            PrintRow(out, indent, row, widths);
        }
    }

private:
    void PrintRow(std::ostream& out, const std::string& indent, const std::vector<std::string>& cells,
                  const std::vector<size_t>& widths) const {
        std::string line = indent;
        for (size_t c = 0; c < cells.size(); ++c) {
            std::string pad(widths[c] - DisplayWidth(cells[c]), ' ');
            line += aligns_[c] == Align::Right ? pad + cells[c] : cells[c] + pad;
            line += c + 1 < cells.size() ? "  " : "";
        }
        // No trailing blanks from a left-aligned last column.
        line.erase(line.find_last_not_of(' ') + 1);
        out << line << '\n';
    }

    std::vector<std::string> titles_;
    std::vector<Align> aligns_;
    std::vector<std::vector<std::string>> rows_;
};

}  // namespace tavu
