// LoadImageA and DeleteObject of the native layer: decoding and rejection of
// bitmap files, handle bookkeeping, Windows path lookup, and the preview the
// build draws for every catalog object.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "catalog/catalog.h"
#include "platform/bitmaps.h"
#include "platform/win32.h"

namespace fs = std::filesystem;

namespace {

HANDLE Load(const std::string& name) {
    return LoadImageA(nullptr, name.c_str(), IMAGE_BITMAP, 0, 0, LR_LOADFROMFILE);
}

// Header field offsets within a bitmap file.
enum : size_t { kFileSize = 2, kPixelOffset = 10, kHeaderSize = 14, kWidth = 18, kHeight = 22, kPlanes = 26 };
enum : size_t { kBitCount = 28, kCompression = 30, kColoursUsed = 46, kPalette = 54 };

// value as `bytes` little-endian bytes.
std::string Le(uint32_t value, int bytes = 4) {
    std::string out;
    for (int i = 0; i < bytes; ++i) {
        out += static_cast<char>(value >> (8 * i));
    }
    return out;
}

std::string With(std::string file, size_t at, uint32_t value, int bytes = 4) {
    return file.replace(at, bytes, Le(value, bytes));
}

// A well-formed bitmap file of the given top-down 0xRRGGBB pixels, written
// independently of the loader. 8-bit files get a palette of the distinct
// colours in order of appearance, padded with black to `paletteSize`.
std::string MakeBmp(int width, int height, uint16_t bitCount, const std::vector<uint32_t>& pixels,
                    bool topDown = false, size_t paletteSize = 0) {
    std::vector<uint32_t> palette;
    for (uint32_t colour : pixels) {
        if (bitCount == 8 && std::find(palette.begin(), palette.end(), colour) == palette.end()) {
            palette.push_back(colour);
        }
    }
    palette.resize(std::max(palette.size(), paletteSize));
    const size_t stride = (static_cast<size_t>(width) * bitCount + 31) / 32 * 4;
    const size_t offset = kPalette + palette.size() * 4;
    std::string file = "BM" + Le(offset + stride * height) + Le(0) + Le(offset) + Le(40) + Le(width) +
                       Le(topDown ? -height : height) + Le(1, 2) + Le(bitCount, 2) + std::string(16, '\0') +
                       Le(palette.size()) + Le(0);
    for (uint32_t colour : palette) {
        file += Le(colour);  // RGBQUAD is B, G, R, 0: the same bytes
    }
    file.resize(offset + stride * height);
    for (size_t i = 0; i < pixels.size(); ++i) {
        const size_t y = i / width, row = topDown ? y : height - 1 - y;
        const size_t index = std::find(palette.begin(), palette.end(), pixels[i]) - palette.begin();
        file.replace(offset + stride * row + i % width * bitCount / 8, bitCount == 8 ? 1 : 3,
                     bitCount == 8 ? Le(index, 1) : Le(pixels[i], 3));
    }
    return file;
}

// 3 x 2 so that 24-bit rows carry padding.
const std::vector<uint32_t> kSample = {0xFF0000, 0x00FF00, 0x0000FF, 0x123456, 0xFFFFFF, 0x000000};

class Bitmaps : public testing::Test {
  protected:
    Bitmaps() {
        char pattern[] = "/tmp/tavu-bitmaps-XXXXXX";
        dir = mkdtemp(pattern);
        platform::SetWorkingFolder(dir);
    }
    ~Bitmaps() override {
        EXPECT_EQ(platform::LiveBitmapCount(), 0) << "every loaded bitmap was deleted";
        platform::SetWorkingFolder("");
        fs::remove_all(dir);
    }
    void Write(const std::string& relative, const std::string& bytes) const {
        fs::create_directories((fs::path(dir) / relative).parent_path());
        std::ofstream(fs::path(dir) / relative, std::ios::binary) << bytes;
    }
    // Loads name, checks it decodes to the expected pixels, and deletes it.
    static void ExpectPixels(const std::string& name, int width, int height,
                             const std::vector<uint32_t>& pixels) {
        HANDLE bitmap = Load(name);
        const std::optional<platform::BitmapPixels> info = platform::BitmapInfo(bitmap);
        ASSERT_TRUE(info) << name;
        EXPECT_EQ(std::make_pair(info->width, info->height), std::make_pair(width, height)) << name;
        std::vector<uint32_t> decoded;
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                decoded.push_back(info->Pixel(x, y));
            }
        }
        EXPECT_EQ(decoded, pixels) << name;
        EXPECT_TRUE(DeleteObject(bitmap));
    }
    std::string dir;
};

TEST_F(Bitmaps, DecodesGoodFilesAndRejectsDamagedOnes) {
    const std::string good = MakeBmp(3, 2, 24, kSample);
    const std::string good8 = MakeBmp(3, 2, 8, kSample);
    // A V5 header (124 bytes) before the pixels.
    const std::string v5 =
        With(With(With(good, kHeaderSize, 124).insert(54, 84, '\0'), kPixelOffset, 14 + 124), kFileSize,
             static_cast<uint32_t>(good.size() + 84));
    // Two colours, the second pixel indexing just past them: shown black.
    const std::string stray = With(MakeBmp(2, 1, 8, {0x102030, 0x405060}), kPalette + 2 * 4 + 1, 2, 1);
    // A full palette of 256 colours, its last one in use.
    const std::string full =
        With(With(MakeBmp(2, 1, 8, {0x102030, 0x405060}, false, 256), kPalette + 255 * 4, 0x778899),
             kPalette + 256 * 4 + 1, 255, 1);
    const std::vector<uint32_t> wide(4096, 0xABCDEF), wider(4097, 0xABCDEF);
    struct Case {
        const char* what;
        std::string bytes;
        int width = 0;  // 0: the load must fail
        int height = 0;
        std::vector<uint32_t> pixels = {};
    };
    const Case cases[] = {
        {"24-bit bottom-up", good, 3, 2, kSample},
        {"24-bit top-down", MakeBmp(3, 2, 24, kSample, true), 3, 2, kSample},
        {"32-bit", MakeBmp(3, 2, 32, kSample), 3, 2, kSample},
        {"8-bit bottom-up", good8, 3, 2, kSample},
        {"V5 header", v5, 3, 2, kSample},
        {"trailing bytes", good + "trailing bytes", 3, 2, kSample},
        {"palette index past the palette", stray, 2, 1, {0x102030, 0x000000}},
        // A palette holds up to 256 colours, and must end where the pixels start.
        {"256 colours", full, 2, 1, {0x102030, 0x778899}},
        {"256 colours implied by 0", With(full, kColoursUsed, 0), 2, 1, {0x102030, 0x778899}},
        {"257 colours, all present", MakeBmp(2, 1, 8, {0x102030, 0x405060}, false, 257)},
        {"palette one colour into the pixels", With(good8, kColoursUsed, 7)},
        {"4096 wide", MakeBmp(4096, 1, 24, wide), 4096, 1, wide},
        {"4097 wide", MakeBmp(4097, 1, 24, wider)},
        {"4097 tall", MakeBmp(1, 4097, 24, wider, true)},
        {"wrong magic", With(good, 0, 'M' | ('B' << 8), 2)},
        {"file size beyond the file", With(good, kFileSize, static_cast<uint32_t>(good.size() + 1))},
        {"file size short of the pixels", With(good, kFileSize, 54)},
        {"zero width", With(good, kWidth, 0)},
        {"zero height", With(good, kHeight, 0)},
        {"most negative height", With(good, kHeight, 0x80000000u)},
        {"pixel offset past the end", With(good, kPixelOffset, 0xFFFFFFF0u)},
        {"pixel offset inside the header", With(good, kPixelOffset, 20)},
        {"pixels end past the file", With(good, kPixelOffset, 55)},
        {"header size too small", With(good, kHeaderSize, 12)},
        {"two planes", With(good, kPlanes, 2, 2)},
        {"16 bits per pixel", With(good, kBitCount, 16, 2)},
        {"4 bits per pixel", With(good, kBitCount, 4, 2)},
        {"run-length compressed", With(good8, kCompression, 1)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Write("case.bmp", c.bytes);
        if (c.width != 0) {
            ExpectPixels("case.bmp", c.width, c.height, c.pixels);
        } else {
            HANDLE bitmap = Load("case.bmp");
            EXPECT_EQ(bitmap, nullptr);
            DeleteObject(bitmap);
        }
    }
    // Every cut of a good file, headers included.
    for (size_t length = 0; length < good8.size(); ++length) {
        Write("cut.bmp", good8.substr(0, length));
        ASSERT_EQ(Load("cut.bmp"), nullptr) << "cut to " << length << " bytes";
    }
}

TEST_F(Bitmaps, HandlesLiveUntilDeletedOnce) {
    Write("a.bmp", MakeBmp(3, 2, 24, kSample));
    HANDLE first = Load("a.bmp");
    HANDLE second = Load("a.bmp");
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, first);
    EXPECT_TRUE(DeleteObject(first));
    EXPECT_FALSE(DeleteObject(first)) << "a deleted handle is no longer valid";
    EXPECT_FALSE(platform::BitmapInfo(first));
    HANDLE third = Load("a.bmp");
    EXPECT_NE(third, first) << "a new load never revives a deleted handle";
    EXPECT_TRUE(DeleteObject(third));
    EXPECT_TRUE(DeleteObject(second));
}

TEST_F(Bitmaps, WindowsPathsMatchAnyLetterCase) {
    Write("Data/Pics/Sample.BMP", MakeBmp(3, 2, 24, kSample));
    fs::create_directories(fs::path(dir) / "Data" / "Other");
    std::string absolute = dir + "/data/pics/sample.bmp";  // a leading separator starts at the root
    std::replace(absolute.begin(), absolute.end(), '/', '\\');
    for (const std::string& name : {absolute, std::string("DATA/pics/SAMPLE.bmp"),
                                    std::string(".\\data\\\\other\\..\\Pics\\.\\Sample.BMP")}) {
        ExpectPixels(name, 3, 2, kSample);
    }
    EXPECT_EQ(Load("Data\\Pix\\Sample.BMP"), nullptr);
    // No working folder: the current directory.
    platform::SetWorkingFolder("");
    EXPECT_EQ(Load("Data\\Pics\\Sample.BMP"), nullptr);
    const fs::path previous = fs::current_path();
    fs::current_path(dir);
    ExpectPixels("data\\pics\\sample.bmp", 3, 2, kSample);
    fs::current_path(previous);
}

// The previews the build draws for the object properties dialog, which
// names them in several letter cases.
TEST(Previews, EveryCatalogEntryHasOneThatFitsTheDialog) {
    platform::SetWorkingFolder(TAVU_DATA_DIR);
    for (int i = 0; i < ObjectCatalog.entryCount; ++i) {
        const char* folder = i % 2 ? "qiro\\tavu\\bmp\\" : "QIRO\\TAVU\\BMP\\";
        HANDLE handle = Load(folder + std::string(ObjectCatalog.entries[i].bitmap));
        const std::optional<platform::BitmapPixels> preview = platform::BitmapInfo(handle);
        ASSERT_TRUE(preview) << ObjectCatalog.entries[i].bitmap;
        EXPECT_TRUE(DeleteObject(handle));
        // The dialog's frame is 269 x 126 dialog units, each at least a pixel.
        EXPECT_LE(preview->width, 269);
        EXPECT_LE(preview->height, 126);
    }
    platform::SetWorkingFolder("");
}

}  // namespace
