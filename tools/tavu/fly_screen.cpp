#include "tools/tavu/fly_screen.h"

#include <algorithm>
#include <cstdio>

namespace tavu::fly {

Screen::Screen(int width, int height)
    : width_(std::max(width, 0)),
      height_(std::max(height, 0)),
      cells_(static_cast<size_t>(width_) * height_) {}

void Screen::Set(int x, int y, char32_t ch, Style style) {
    if (Contains(x, y)) {
        cells_[static_cast<size_t>(y) * width_ + x] = Cell{ch, style};
    }
}

void Screen::SetStyle(int x, int y, Style style) {
    if (Contains(x, y)) {
        cells_[static_cast<size_t>(y) * width_ + x].style = style;
    }
}

int Screen::Put(int x, int y, std::string_view utf8, Style style, int maxWidth) {
    int limit = maxWidth < 0 ? width_ - x : maxWidth;
    int used = 0;
    for (char32_t ch : DecodeUtf8(utf8)) {
        if (used >= limit) {
            break;
        }
        // Control characters would move the terminal's cursor.
        Set(x + used, y, ch < 0x20 ? U' ' : ch, style);
        ++used;
    }
    return used;
}

void Screen::Fill(int x, int y, int w, int h, char32_t ch, Style style) {
    for (int row = y; row < y + h; ++row) {
        for (int col = x; col < x + w; ++col) {
            Set(col, row, ch, style);
        }
    }
}

void Screen::Frame(int x, int y, int w, int h, Style style, std::string_view title) {
    if (w < 2 || h < 2) {
        return;
    }
    for (int col = x + 1; col < x + w - 1; ++col) {
        Set(col, y, U'─', style);
        Set(col, y + h - 1, U'─', style);
    }
    for (int row = y + 1; row < y + h - 1; ++row) {
        Set(x, row, U'│', style);
        Set(x + w - 1, row, U'│', style);
    }
    Set(x, y, U'┌', style);
    Set(x + w - 1, y, U'┐', style);
    Set(x, y + h - 1, U'└', style);
    Set(x + w - 1, y + h - 1, U'┘', style);
    if (!title.empty() && w > 6) {
        std::string text = " " + Clip(title, w - 6) + " ";
        Put(x + 2, y, text, Style{style.fg, style.bg, static_cast<uint8_t>(style.attr | ATTR_BOLD)});
    }
}

std::string Screen::Line(int y) const {
    std::string out;
    int end = width_;
    while (end > 0 && At(end - 1, y).ch == U' ') {
        --end;
    }
    for (int x = 0; x < end; ++x) {
        AppendUtf8(out, At(x, y).ch);
    }
    return out;
}

std::string Screen::Text() const {
    std::string out;
    for (int y = 0; y < height_; ++y) {
        out += Line(y);
        out += '\n';
    }
    return out;
}

std::u32string DecodeUtf8(std::string_view text) {
    std::u32string out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        auto byte = static_cast<unsigned char>(text[i]);
        int extra = byte < 0x80             ? 0
                    : (byte & 0xE0) == 0xC0 ? 1
                    : (byte & 0xF0) == 0xE0 ? 2
                    : (byte & 0xF8) == 0xF0 ? 3
                                            : -1;
        if (extra < 0 || i + static_cast<size_t>(extra) >= text.size()) {
            out += U'\uFFFD';
            ++i;
            continue;
        }
        char32_t ch = extra == 0 ? byte : byte & (0x3F >> extra);
        bool good = true;
        for (int k = 1; k <= extra; ++k) {
            auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) {
                good = false;
                break;
            }
            ch = (ch << 6) | (next & 0x3F);
        }
        if (!good) {
            out += U'\uFFFD';
            ++i;
            continue;
        }
        out += ch;
        i += static_cast<size_t>(extra) + 1;
    }
    return out;
}

void AppendUtf8(std::string& out, char32_t ch) {
    if (ch < 0x80) {
        out += static_cast<char>(ch);
    } else if (ch < 0x800) {
        out += static_cast<char>(0xC0 | (ch >> 6));
        out += static_cast<char>(0x80 | (ch & 0x3F));
    } else if (ch < 0x10000) {
        out += static_cast<char>(0xE0 | (ch >> 12));
        out += static_cast<char>(0x80 | ((ch >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (ch & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (ch >> 18));
        out += static_cast<char>(0x80 | ((ch >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((ch >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (ch & 0x3F));
    }
}

int TextWidth(std::string_view utf8) {
    return static_cast<int>(DecodeUtf8(utf8).size());
}

std::string Clip(std::string_view utf8, int width) {
    std::u32string text = DecodeUtf8(utf8);
    if (width <= 0) {
        return {};
    }
    if (static_cast<int>(text.size()) <= width) {
        return std::string(utf8);
    }
    std::string out;
    for (int i = 0; i < width - 1; ++i) {
        AppendUtf8(out, text[static_cast<size_t>(i)]);
    }
    out += "…";
    return out;
}

namespace {

void AppendColour(std::string& out, int base, uint32_t colour) {
    char buffer[48];
    snprintf(buffer, sizeof buffer, ";%d;2;%u;%u;%u", base, (colour >> 16) & 0xFF, (colour >> 8) & 0xFF,
             colour & 0xFF);
    out += buffer;
}

void AppendStyle(std::string& out, const Style& style, bool colour) {
    out += "\x1b[0";
    if (style.attr & ATTR_BOLD) {
        out += ";1";
    }
    if (style.attr & ATTR_DIM) {
        out += ";2";
    }
    if (style.attr & ATTR_UNDERLINE) {
        out += ";4";
    }
    if (style.attr & ATTR_REVERSE) {
        out += ";7";
    }
    if (colour && style.fg != kDefaultColour) {
        AppendColour(out, 38, style.fg);
    }
    if (colour && style.bg != kDefaultColour) {
        AppendColour(out, 48, style.bg);
    }
    out += 'm';
}

void AppendMove(std::string& out, int x, int y) {
    char buffer[32];
    snprintf(buffer, sizeof buffer, "\x1b[%d;%dH", y + 1, x + 1);
    out += buffer;
}

}  // namespace

std::string RenderAnsi(const Screen& now, const Screen* before, bool colour) {
    bool full = before == nullptr || before->width() != now.width() || before->height() != now.height();
    std::string out;
    if (full) {
        out += "\x1b[0m\x1b[2J";
    }
    Style current;
    bool styled = false;
    for (int y = 0; y < now.height(); ++y) {
        int x = 0;
        while (x < now.width()) {
            if (!full && now.At(x, y) == before->At(x, y)) {
                ++x;
                continue;
            }
            AppendMove(out, x, y);
            while (x < now.width()) {
                if (!full && now.At(x, y) == before->At(x, y)) {
                    // A short unchanged gap is rewritten rather than paying
                    // for another cursor move.
                    int ahead = x;
                    while (ahead < now.width() && ahead - x < 4 && now.At(ahead, y) == before->At(ahead, y)) {
                        ++ahead;
                    }
                    if (ahead == now.width() || now.At(ahead, y) == before->At(ahead, y)) {
                        break;
                    }
                }
                const Cell& cell = now.At(x, y);
                if (!styled || !(cell.style == current)) {
                    AppendStyle(out, cell.style, colour);
                    current = cell.style;
                    styled = true;
                }
                AppendUtf8(out, cell.ch);
                ++x;
            }
        }
    }
    out += "\x1b[0m";
    return out;
}

uint32_t ParseColour(std::string_view hex) {
    if (hex.size() != 7 || hex[0] != '#') {
        return kDefaultColour;
    }
    uint32_t value = 0;
    for (char c : hex.substr(1)) {
        int digit = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : -1;
        if (digit < 0) {
            return kDefaultColour;
        }
        value = value << 4 | static_cast<uint32_t>(digit);
    }
    return value;
}

}  // namespace tavu::fly
