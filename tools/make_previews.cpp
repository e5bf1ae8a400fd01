// Draws the preview bitmap the object properties dialog shows for each
// catalog object: the group's colour and pictogram with the object's name, as
// a 24-bit Windows bitmap under the catalog's file name.
//
// Usage: tavu-previews OUTPUT_DIR
//
// Catalog entries that differ only in letter case name one file, since the
// module looks them up on a case-insensitive file system. Output is the same
// bytes on every run, and a file is rewritten only when its bytes change, so
// that builds depending on it stay incremental.
#include <stdint.h>
#include <stdio.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "catalog/catalog.h"

namespace fs = std::filesystem;

namespace {

constexpr int kWidth = 200;  // fits the dialog's 269 x 126 unit frame even at one pixel per unit
constexpr int kHeight = 120;
constexpr int kHeaderBottom = 14;  // the group name's strip, frame included
constexpr int kIconScale = 2;
constexpr int kIconTop = 19;
constexpr int kNameTop = 55;
constexpr int kNameBottom = 116;

constexpr uint32_t kInk = 0x1E2430;
constexpr uint32_t kWhite = 0xFFFFFF;

// 5 x 9 cells for ' '..'~': capitals and digits use rows 0..6, descenders
// rows 7..8; bit 4 is the leftmost column.
constexpr int kGlyphWidth = 5;
constexpr int kGlyphHeight = 9;
constexpr uint8_t kFont[95][kGlyphHeight] = {
    {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},  // space
    {0x04, 0x04, 0x04, 0x04, 0x04, 0x00, 0x04, 0x00, 0x00},  // !
    {0x0A, 0x0A, 0x0A, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},  // "
    {0x0A, 0x0A, 0x1F, 0x0A, 0x1F, 0x0A, 0x0A, 0x00, 0x00},  // #
    {0x04, 0x0F, 0x14, 0x0E, 0x05, 0x1E, 0x04, 0x00, 0x00},  // $
    {0x18, 0x19, 0x02, 0x04, 0x08, 0x13, 0x03, 0x00, 0x00},  // %
    {0x0C, 0x12, 0x14, 0x08, 0x15, 0x12, 0x0D, 0x00, 0x00},  // &
    {0x04, 0x04, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},  // apostrophe
    {0x02, 0x04, 0x08, 0x08, 0x08, 0x04, 0x02, 0x00, 0x00},  // (
    {0x08, 0x04, 0x02, 0x02, 0x02, 0x04, 0x08, 0x00, 0x00},  // )
    {0x00, 0x04, 0x15, 0x0E, 0x15, 0x04, 0x00, 0x00, 0x00},  // *
    {0x00, 0x04, 0x04, 0x1F, 0x04, 0x04, 0x00, 0x00, 0x00},  // +
    {0x00, 0x00, 0x00, 0x00, 0x00, 0x0C, 0x0C, 0x04, 0x08},  // ,
    {0x00, 0x00, 0x00, 0x1F, 0x00, 0x00, 0x00, 0x00, 0x00},  // -
    {0x00, 0x00, 0x00, 0x00, 0x00, 0x0C, 0x0C, 0x00, 0x00},  // .
    {0x00, 0x01, 0x02, 0x04, 0x08, 0x10, 0x00, 0x00, 0x00},  // /
    {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E, 0x00, 0x00},  // 0
    {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E, 0x00, 0x00},  // 1
    {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F, 0x00, 0x00},  // 2
    {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E, 0x00, 0x00},  // 3
    {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02, 0x00, 0x00},  // 4
    {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E, 0x00, 0x00},  // 5
    {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E, 0x00, 0x00},  // 6
    {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08, 0x00, 0x00},  // 7
    {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E, 0x00, 0x00},  // 8
    {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C, 0x00, 0x00},  // 9
    {0x00, 0x0C, 0x0C, 0x00, 0x0C, 0x0C, 0x00, 0x00, 0x00},  // :
    {0x00, 0x0C, 0x0C, 0x00, 0x0C, 0x0C, 0x04, 0x08, 0x00},  // ;
    {0x02, 0x04, 0x08, 0x10, 0x08, 0x04, 0x02, 0x00, 0x00},  // <
    {0x00, 0x00, 0x1F, 0x00, 0x1F, 0x00, 0x00, 0x00, 0x00},  // =
    {0x08, 0x04, 0x02, 0x01, 0x02, 0x04, 0x08, 0x00, 0x00},  // >
    {0x0E, 0x11, 0x01, 0x02, 0x04, 0x00, 0x04, 0x00, 0x00},  // ?
    {0x0E, 0x11, 0x01, 0x0D, 0x15, 0x15, 0x0E, 0x00, 0x00},  // @
    {0x0E, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11, 0x00, 0x00},  // A
    {0x1E, 0x11, 0x11, 0x1E, 0x11, 0x11, 0x1E, 0x00, 0x00},  // B
    {0x0E, 0x11, 0x10, 0x10, 0x10, 0x11, 0x0E, 0x00, 0x00},  // C
    {0x1C, 0x12, 0x11, 0x11, 0x11, 0x12, 0x1C, 0x00, 0x00},  // D
    {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x1F, 0x00, 0x00},  // E
    {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x10, 0x00, 0x00},  // F
    {0x0E, 0x11, 0x10, 0x17, 0x11, 0x11, 0x0F, 0x00, 0x00},  // G
    {0x11, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11, 0x00, 0x00},  // H
    {0x0E, 0x04, 0x04, 0x04, 0x04, 0x04, 0x0E, 0x00, 0x00},  // I
    {0x07, 0x02, 0x02, 0x02, 0x02, 0x12, 0x0C, 0x00, 0x00},  // J
    {0x11, 0x12, 0x14, 0x18, 0x14, 0x12, 0x11, 0x00, 0x00},  // K
    {0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x1F, 0x00, 0x00},  // L
    {0x11, 0x1B, 0x15, 0x15, 0x11, 0x11, 0x11, 0x00, 0x00},  // M
    {0x11, 0x11, 0x19, 0x15, 0x13, 0x11, 0x11, 0x00, 0x00},  // N
    {0x0E, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E, 0x00, 0x00},  // O
    {0x1E, 0x11, 0x11, 0x1E, 0x10, 0x10, 0x10, 0x00, 0x00},  // P
    {0x0E, 0x11, 0x11, 0x11, 0x15, 0x12, 0x0D, 0x00, 0x00},  // Q
    {0x1E, 0x11, 0x11, 0x1E, 0x14, 0x12, 0x11, 0x00, 0x00},  // R
    {0x0F, 0x10, 0x10, 0x0E, 0x01, 0x01, 0x1E, 0x00, 0x00},  // S
    {0x1F, 0x04, 0x04, 0x04, 0x04, 0x04, 0x04, 0x00, 0x00},  // T
    {0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E, 0x00, 0x00},  // U
    {0x11, 0x11, 0x11, 0x11, 0x11, 0x0A, 0x04, 0x00, 0x00},  // V
    {0x11, 0x11, 0x11, 0x15, 0x15, 0x15, 0x0A, 0x00, 0x00},  // W
    {0x11, 0x11, 0x0A, 0x04, 0x0A, 0x11, 0x11, 0x00, 0x00},  // X
    {0x11, 0x11, 0x0A, 0x04, 0x04, 0x04, 0x04, 0x00, 0x00},  // Y
    {0x1F, 0x01, 0x02, 0x04, 0x08, 0x10, 0x1F, 0x00, 0x00},  // Z
    {0x0E, 0x08, 0x08, 0x08, 0x08, 0x08, 0x0E, 0x00, 0x00},  // [
    {0x00, 0x10, 0x08, 0x04, 0x02, 0x01, 0x00, 0x00, 0x00},  // backslash
    {0x0E, 0x02, 0x02, 0x02, 0x02, 0x02, 0x0E, 0x00, 0x00},  // ]
    {0x04, 0x0A, 0x11, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},  // ^
    {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x1F, 0x00},  // _
    {0x08, 0x04, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},  // `
    {0x00, 0x00, 0x0E, 0x01, 0x0F, 0x11, 0x0F, 0x00, 0x00},  // a
    {0x10, 0x10, 0x1E, 0x11, 0x11, 0x11, 0x1E, 0x00, 0x00},  // b
    {0x00, 0x00, 0x0E, 0x10, 0x10, 0x11, 0x0E, 0x00, 0x00},  // c
    {0x01, 0x01, 0x0F, 0x11, 0x11, 0x11, 0x0F, 0x00, 0x00},  // d
    {0x00, 0x00, 0x0E, 0x11, 0x1F, 0x10, 0x0E, 0x00, 0x00},  // e
    {0x06, 0x09, 0x08, 0x1C, 0x08, 0x08, 0x08, 0x00, 0x00},  // f
    {0x00, 0x00, 0x0F, 0x11, 0x11, 0x0F, 0x01, 0x01, 0x0E},  // g
    {0x10, 0x10, 0x16, 0x19, 0x11, 0x11, 0x11, 0x00, 0x00},  // h
    {0x04, 0x00, 0x0C, 0x04, 0x04, 0x04, 0x0E, 0x00, 0x00},  // i
    {0x02, 0x00, 0x06, 0x02, 0x02, 0x02, 0x02, 0x12, 0x0C},  // j
    {0x10, 0x10, 0x12, 0x14, 0x18, 0x14, 0x12, 0x00, 0x00},  // k
    {0x0C, 0x04, 0x04, 0x04, 0x04, 0x04, 0x0E, 0x00, 0x00},  // l
    {0x00, 0x00, 0x1A, 0x15, 0x15, 0x15, 0x15, 0x00, 0x00},  // m
    {0x00, 0x00, 0x16, 0x19, 0x11, 0x11, 0x11, 0x00, 0x00},  // n
    {0x00, 0x00, 0x0E, 0x11, 0x11, 0x11, 0x0E, 0x00, 0x00},  // o
    {0x00, 0x00, 0x1E, 0x11, 0x11, 0x11, 0x1E, 0x10, 0x10},  // p
    {0x00, 0x00, 0x0F, 0x11, 0x11, 0x11, 0x0F, 0x01, 0x01},  // q
    {0x00, 0x00, 0x16, 0x19, 0x10, 0x10, 0x10, 0x00, 0x00},  // r
    {0x00, 0x00, 0x0F, 0x10, 0x0E, 0x01, 0x1E, 0x00, 0x00},  // s
    {0x08, 0x08, 0x1E, 0x08, 0x08, 0x09, 0x06, 0x00, 0x00},  // t
    {0x00, 0x00, 0x11, 0x11, 0x11, 0x13, 0x0D, 0x00, 0x00},  // u
    {0x00, 0x00, 0x11, 0x11, 0x11, 0x0A, 0x04, 0x00, 0x00},  // v
    {0x00, 0x00, 0x11, 0x11, 0x15, 0x15, 0x0A, 0x00, 0x00},  // w
    {0x00, 0x00, 0x11, 0x0A, 0x04, 0x0A, 0x11, 0x00, 0x00},  // x
    {0x00, 0x00, 0x11, 0x11, 0x11, 0x11, 0x0F, 0x01, 0x0E},  // y
    {0x00, 0x00, 0x1F, 0x02, 0x04, 0x08, 0x1F, 0x00, 0x00},  // z
    {0x03, 0x04, 0x04, 0x08, 0x04, 0x04, 0x03, 0x00, 0x00},  // {
    {0x04, 0x04, 0x04, 0x04, 0x04, 0x04, 0x04, 0x00, 0x00},  // |
    {0x18, 0x04, 0x04, 0x02, 0x04, 0x04, 0x18, 0x00, 0x00},  // }
    {0x00, 0x00, 0x08, 0x15, 0x02, 0x00, 0x00, 0x00, 0x00},  // ~
};

// One 16 x 16 pictogram per group, in group order: '#' ink, '+' white,
// '.' background.
constexpr int kIconSize = 16;
constexpr const char* kIcons[CATALOG_GROUP_COUNT][kIconSize] = {
    {  // aircraft
        ".......##.......",
        "......#++#......",
        "......####......",
        "......####......",
        "......####......",
        ".....######.....",
        "....########....",
        "..############..",
        ".######++######.",
        "###...####...###",
        "......####......",
        ".......##.......",
        ".......##.......",
        ".....######.....",
        "....###..###....",
        "................",
    },
    {  // control tower
        "....########....",
        "...#++#++#++#...",
        "...#++#++#++#...",
        "..############..",
        "....########....",
        ".....######.....",
        "......####......",
        "......#++#......",
        "......####......",
        "......####......",
        "......#++#......",
        ".##############.",
        ".#++##++##++##+#",
        ".##############.",
        ".#++##++##++##+#",
        ".##############.",
    },
    {  // lamp
        "...#...#...#....",
        "....#..#..#.....",
        ".....#####......",
        "....##+++##.....",
        "...##+++++##....",
        "...##+++++##....",
        "....##+++##.....",
        ".....#####......",
        "......###.......",
        ".......#........",
        ".......#........",
        ".......#........",
        ".......#........",
        ".......#........",
        ".....#####......",
        "....#######.....",
    },
    {  // windsock
        "..#.............",
        ".###............",
        "..#####.........",
        "..#+++####......",
        "..#+++#++#####..",
        "..#+++#++#+++#..",
        "..#+++####+++#..",
        "..#####..#####..",
        "..#.............",
        "..#.............",
        "..#.............",
        "..#.............",
        "..#.............",
        "..#.............",
        ".###............",
        "#####...........",
    },
    {  // service truck
        "................",
        "................",
        "................",
        "........######..",
        "........#++++##.",
        "........#+++++#.",
        "........#+++++#.",
        ".##############.",
        ".#++++++#######.",
        ".#++++++#######.",
        ".##############.",
        "###############.",
        "..##......##....",
        ".#++#....#++#...",
        ".#++#....#++#...",
        "..##......##....",
    },
    {  // four-legged animal
        "................",
        "................",
        "............#..#",
        "............####",
        "............#+##",
        ".###############",
        "################",
        "#.###########...",
        "#.###########...",
        "..###########...",
        "..##.#....##.#..",
        "..##.#....##.#..",
        "..##.#....##.#..",
        "..##.#....##.#..",
        "..##.#....##.#..",
        "................",
    },
    {  // car
        "................",
        "................",
        "................",
        "................",
        ".....#######....",
        "....#++#++++#...",
        "...#+++#+++++#..",
        ".##############.",
        "################",
        "################",
        "################",
        "..##.......##...",
        ".#++#.....#++#..",
        ".#++#.....#++#..",
        "..##.......##...",
        "................",
    },
    {  // house
        ".......##.......",
        "......####......",
        ".....######.....",
        "....###..###....",
        "...###....###...",
        "..###......###..",
        ".####......####.",
        "####........####",
        "..#..........#..",
        "..#.##...###.#..",
        "..#.##...#+#.#..",
        "..#......###.#..",
        "..#.###......#..",
        "..#.#+#......#..",
        "..#.#+#......#..",
        "..############..",
    },
    {  // crate
        "................",
        "................",
        "..############..",
        "..##+++++++###..",
        "..#+#+++++#+##..",
        "..#++#+++#++##..",
        "..#+++#+#+++##..",
        "..#++++#++++##..",
        "..#+++#+#+++##..",
        "..#++#+++#++##..",
        "..#+#+++++#+##..",
        "..##+++++++###..",
        "..############..",
        "................",
        "................",
        "................",
    },
    {  // person
        "......####......",
        "......####......",
        "......####......",
        ".......##.......",
        "....########....",
        "...##########...",
        "...#.######.#...",
        "...#.######.#...",
        "...#.######.#...",
        "...#.######.#...",
        ".....##..##.....",
        ".....##..##.....",
        ".....##..##.....",
        ".....##..##.....",
        ".....##..##.....",
        "....###..###....",
    },
    {  // sailing boat
        ".......#........",
        ".......##.......",
        ".......#+#......",
        ".......#++#.....",
        ".......#+++#....",
        ".......#++++#...",
        ".......#+++++#..",
        ".......#++++++#.",
        ".......#........",
        ".......#........",
        "################",
        ".##############.",
        "..############..",
        "...##########...",
        "................",
        "................",
    },
    {  // tree
        ".....######.....",
        "...##########...",
        "..############..",
        ".##############.",
        ".##############.",
        "################",
        "################",
        "################",
        ".##############.",
        "..############..",
        "....########....",
        ".......##.......",
        ".......##.......",
        ".......##.......",
        "......####......",
        ".....######.....",
    },
};

// Background colours, in group order: light enough for dark text, far enough
// apart to tell the groups at a glance.
constexpr uint32_t kGroupColours[CATALOG_GROUP_COUNT] = {
    0xBFE3F5,  // aircraft: pale sky
    0xE8D29A,  // airport buildings: sand
    0xF6E27A,  // airport lighting: lamp yellow
    0xF4A261,  // airport objects: orange
    0xEF8A7A,  // airport support vehicles: coral
    0xC9DB8A,  // animals: meadow
    0xC3B3E6,  // civilian vehicles: lavender
    0xB4C0CC,  // generic buildings: slate
    0x8FD3C9,  // generic objects: teal
    0xF2B5CC,  // humans: pink
    0x6FAEDB,  // ships: sea blue
    0x79C77A,  // vegetation: leaf green
};

uint32_t Mix(uint32_t colour, uint32_t other, int otherPercent) {
    uint32_t mixed = 0;
    for (int shift = 0; shift <= 16; shift += 8) {
        int a = (colour >> shift) & 0xFF;
        int b = (other >> shift) & 0xFF;
        mixed |= static_cast<uint32_t>((a * (100 - otherPercent) + b * otherPercent) / 100) << shift;
    }
    return mixed;
}

class Canvas {
public:
    Canvas() : pixels_(kWidth * kHeight) {}

    void Fill(int left, int top, int right, int bottom, uint32_t colour) {
        for (int y = top; y < bottom; ++y) {
            for (int x = left; x < right; ++x) {
                Set(x, y, colour);
            }
        }
    }

    void Frame(int left, int top, int right, int bottom, uint32_t colour) {
        Fill(left, top, right, top + 1, colour);
        Fill(left, bottom - 1, right, bottom, colour);
        Fill(left, top, left + 1, bottom, colour);
        Fill(right - 1, top, right, bottom, colour);
    }

    void Icon(const char* const* rows, int left, int top, uint32_t background) {
        for (int y = 0; y < kIconSize; ++y) {
            for (int x = 0; x < kIconSize; ++x) {
                char c = rows[y][x];
                uint32_t colour = c == '#' ? kInk : c == '+' ? kWhite : background;
                Fill(left + x * kIconScale, top + y * kIconScale, left + (x + 1) * kIconScale,
                     top + (y + 1) * kIconScale, colour);
            }
        }
    }

    // One line of text; characters outside printable ASCII show as '?'.
    void Text(const std::string& text, int left, int top, int scale, uint32_t colour) {
        for (size_t i = 0; i < text.size(); ++i) {
            unsigned char c = static_cast<unsigned char>(text[i]);
            const uint8_t* glyph = kFont[(c >= ' ' && c <= '~' ? c : '?') - ' '];
            int glyphLeft = left + static_cast<int>(i) * Advance(scale);
            for (int row = 0; row < kGlyphHeight; ++row) {
                for (int col = 0; col < kGlyphWidth; ++col) {
                    if (glyph[row] & (0x10 >> col)) {
                        Fill(glyphLeft + col * scale, top + row * scale, glyphLeft + (col + 1) * scale,
                             top + (row + 1) * scale, colour);
                    }
                }
            }
        }
    }

    static int Advance(int scale) { return (kGlyphWidth + 1) * scale; }
    static int TextWidth(const std::string& text, int scale) {
        return text.empty() ? 0 : static_cast<int>(text.size()) * Advance(scale) - scale;
    }

    // A bottom-up 24-bit BMP with a BITMAPINFOHEADER.
    std::string Bmp() const {
        const uint32_t stride = (kWidth * 3 + 3) / 4 * 4;
        const uint32_t pixelBytes = stride * kHeight;
        const uint32_t offset = 14 + 40;
        std::string out;
        auto u16 = [&out](uint32_t v) {
            out += static_cast<char>(v & 0xFF);
            out += static_cast<char>((v >> 8) & 0xFF);
        };
        auto u32 = [&u16](uint32_t v) {
            u16(v & 0xFFFF);
            u16(v >> 16);
        };
        out += "BM";
        u32(offset + pixelBytes);
        u32(0);
        u32(offset);
        u32(40);
        u32(kWidth);
        u32(kHeight);
        u16(1);   // planes
        u16(24);  // bits per pixel
        u32(0);   // BI_RGB
        u32(pixelBytes);
        u32(2835);  // 72 dots per inch
        u32(2835);
        u32(0);
        u32(0);
        for (int y = kHeight - 1; y >= 0; --y) {
            for (int x = 0; x < kWidth; ++x) {
                uint32_t colour = pixels_[y * kWidth + x];
                out += static_cast<char>(colour & 0xFF);
                out += static_cast<char>((colour >> 8) & 0xFF);
                out += static_cast<char>((colour >> 16) & 0xFF);
            }
            out.append(stride - kWidth * 3, '\0');
        }
        return out;
    }

private:
    void Set(int x, int y, uint32_t colour) {
        if (x >= 0 && x < kWidth && y >= 0 && y < kHeight) {
            pixels_[y * kWidth + x] = colour;
        }
    }

    std::vector<uint32_t> pixels_;
};

// Greedy word wrap to lines of at most width characters, cutting words that
// are longer than a line. Empty when more than maxLines are needed.
std::vector<std::string> Wrap(const std::string& text, size_t width, size_t maxLines) {
    std::vector<std::string> lines;
    std::string line;
    size_t i = 0;
    while (i < text.size()) {
        size_t end = text.find(' ', i);
        std::string word = text.substr(i, end == std::string::npos ? std::string::npos : end - i);
        i = end == std::string::npos ? text.size() : end + 1;
        while (!word.empty()) {
            size_t room = line.empty() ? width : (line.size() + 1 < width ? width - line.size() - 1 : 0);
            if (word.size() <= room) {
                line += (line.empty() ? "" : " ") + word;
                word.clear();
            } else if (line.empty()) {
                lines.push_back(word.substr(0, width));
                word.erase(0, width);
            } else {
                lines.push_back(line);
                line.clear();
            }
        }
    }
    if (!line.empty()) {
        lines.push_back(line);
    }
    if (lines.size() > maxLines) {
        lines.clear();
    }
    return lines;
}

std::string DrawPreview(const CatalogGroup& group, int groupIndex, const CatalogEntry& entry) {
    const uint32_t background = kGroupColours[groupIndex];
    const uint32_t header = Mix(background, kInk, 50);
    Canvas canvas;
    canvas.Fill(0, 0, kWidth, kHeight, background);
    canvas.Fill(0, 0, kWidth, kHeaderBottom, header);
    canvas.Frame(0, 0, kWidth, kHeight, kInk);
    canvas.Fill(0, kHeaderBottom - 1, kWidth, kHeaderBottom, kInk);
    canvas.Frame(1, kHeaderBottom, kWidth - 1, kHeight - 1, Mix(background, kWhite, 50));

    std::string groupName = group.name;
    canvas.Text(groupName, (kWidth - Canvas::TextWidth(groupName, 1)) / 2, 3, 1, kWhite);
    canvas.Icon(kIcons[groupIndex], (kWidth - kIconSize * kIconScale) / 2, kIconTop, background);

    // Large letters when the name fits, small ones otherwise.
    const int usableWidth = kWidth - 24;  // a margin inside the frame
    const int areaHeight = kNameBottom - kNameTop;
    std::string name = entry.name;
    for (int scale = 2; scale >= 1; --scale) {
        const int lineHeight = kGlyphHeight * scale + scale;
        const size_t perLine = static_cast<size_t>((usableWidth + scale) / Canvas::Advance(scale));
        std::vector<std::string> lines = Wrap(name, perLine, static_cast<size_t>(areaHeight / lineHeight));
        if (lines.empty() && scale > 1) {
            continue;
        }
        int top = kNameTop + (areaHeight - static_cast<int>(lines.size()) * lineHeight) / 2;
        for (const std::string& line : lines) {
            canvas.Text(line, (kWidth - Canvas::TextWidth(line, scale)) / 2, top, scale, kInk);
            top += lineHeight;
        }
        break;
    }
    return canvas.Bmp();
}

std::string UpperCase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; });
    return text;
}

// Writes bytes to path unless it already holds exactly them.
bool WriteIfChanged(const fs::path& path, const std::string& bytes) {
    {
        std::ifstream in(path, std::ios::binary);
        if (in && std::string(std::istreambuf_iterator<char>(in), {}) == bytes) {
            return true;
        }
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s OUTPUT_DIR\n", argv[0]);
        return 2;
    }
    const fs::path folder = argv[1];
    std::error_code error;
    fs::create_directories(folder, error);
    if (error) {
        fprintf(stderr, "%s: %s\n", argv[1], error.message().c_str());
        return 1;
    }
    std::set<std::string> written;
    for (int g = 0; g < ObjectCatalog.groupCount; ++g) {
        const CatalogGroup& group = ObjectCatalog.groups[g];
        for (int e = group.first; e <= group.last; ++e) {
            const CatalogEntry& entry = ObjectCatalog.entries[e];
            if (!written.insert(UpperCase(entry.bitmap)).second) {
                continue;  // drawn already, under the first entry's name and spelling
            }
            if (!WriteIfChanged(folder / entry.bitmap, DrawPreview(group, g, entry))) {
                fprintf(stderr, "%s: cannot write %s\n", argv[1], entry.bitmap);
                return 1;
            }
        }
    }
    return 0;
}
