// A character-cell screen for `tavu fly`: everything is drawn into one of
// these, which the terminal driver turns into ANSI escape sequences and the
// tests read back as text.
#pragma once

#include <stdint.h>

#include <string>
#include <string_view>
#include <vector>

namespace tavu::fly {

// 0xRRGGBB, or the terminal's own colour.
inline constexpr uint32_t kDefaultColour = 0xFF000000u;

enum : uint8_t {
    ATTR_BOLD = 1,
    ATTR_DIM = 2,
    ATTR_REVERSE = 4,
    ATTR_UNDERLINE = 8,
};

struct Style {
    uint32_t fg = kDefaultColour;
    uint32_t bg = kDefaultColour;
    uint8_t attr = 0;
    bool operator==(const Style&) const = default;
};

// The terminal's own colours, as the main view, the boxes and the dialog use
// them.
inline constexpr Style kPlain{};
inline constexpr Style kBold{kDefaultColour, kDefaultColour, ATTR_BOLD};
inline constexpr Style kDim{kDefaultColour, kDefaultColour, ATTR_DIM};
inline constexpr Style kReverse{kDefaultColour, kDefaultColour, ATTR_REVERSE};

struct Cell {
    char32_t ch = U' ';
    Style style;
    bool operator==(const Cell&) const = default;
};

class Screen {
  public:
    Screen() = default;
    Screen(int width, int height);

    int width() const { return width_; }
    int height() const { return height_; }
    bool Contains(int x, int y) const { return x >= 0 && y >= 0 && x < width_ && y < height_; }
    const Cell& At(int x, int y) const { return cells_[static_cast<size_t>(y) * width_ + x]; }
    // Writes outside the screen are dropped.
    void Set(int x, int y, char32_t ch, Style style);
    void SetStyle(int x, int y, Style style);

    // Writes UTF-8 text from (x, y), at most maxWidth cells (< 0: to the
    // right edge); returns the cells used.
    int Put(int x, int y, std::string_view utf8, Style style = {}, int maxWidth = -1);
    void Fill(int x, int y, int w, int h, char32_t ch, Style style = {});
    // A single-line frame with an optional title in its top edge.
    void Frame(int x, int y, int w, int h, Style style = {}, std::string_view title = {});

    // The text of row y without trailing blanks, in UTF-8.
    std::string Line(int y) const;
    // Every row, joined with line feeds.
    std::string Text() const;
    bool operator==(const Screen&) const = default;

  private:
    int width_ = 0;
    int height_ = 0;
    std::vector<Cell> cells_;
};

// Decodes UTF-8 into code points; bytes that are not UTF-8 come out as U+FFFD.
std::u32string DecodeUtf8(std::string_view text);
void AppendUtf8(std::string& out, char32_t ch);
// Cells a text takes on screen (one per code point here).
int TextWidth(std::string_view utf8);
// At most `width` cells of a text, with "…" when it had to be cut.
std::string Clip(std::string_view utf8, int width);

// The escape sequences that turn what `before` shows into `now`: only the
// cells that changed, or the whole screen when before is null or of another
// size. Without `colour` the styles keep their attributes (bold, reverse...)
// and lose their colours.
std::string RenderAnsi(const Screen& now, const Screen* before, bool colour = true);

// 0xRRGGBB from "#rrggbb"; kDefaultColour for anything else.
uint32_t ParseColour(std::string_view hex);

}  // namespace tavu::fly
