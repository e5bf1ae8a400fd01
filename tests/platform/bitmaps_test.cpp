// LoadImageA and DeleteObject of the native layer: Windows path lookup,
// decoding of bitmap files, rejection of damaged ones, handle bookkeeping,
// and the generated preview of every catalog object.
#include <ctype.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <set>
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

void Put16(std::string& bytes, size_t at, uint16_t value) {
    bytes[at] = static_cast<char>(value & 0xFF);
    bytes[at + 1] = static_cast<char>(value >> 8);
}

void Put32(std::string& bytes, size_t at, uint32_t value) {
    Put16(bytes, at, static_cast<uint16_t>(value & 0xFFFF));
    Put16(bytes, at + 2, static_cast<uint16_t>(value >> 16));
}

// Header field offsets within a bitmap file.
enum : size_t {
    kFileSize = 2,
    kPixelOffset = 10,
    kHeaderSize = 14,
    kWidth = 18,
    kHeight = 22,
    kPlanes = 26,
    kBitCount = 28,
    kCompression = 30,
    kColoursUsed = 46,
};

// A well-formed bitmap file of the given top-down 0xRRGGBB pixels, written
// independently of the loader. 8-bit files get a palette of the distinct
// colours in order of appearance.
std::string MakeBmp(int width, int height, uint16_t bitCount, const std::vector<uint32_t>& pixels,
                    bool topDown = false) {
    std::vector<uint32_t> palette;
    std::map<uint32_t, uint8_t> index;
    if (bitCount == 8) {
        for (uint32_t colour : pixels) {
            if (index.emplace(colour, static_cast<uint8_t>(palette.size())).second) {
                palette.push_back(colour);
            }
        }
    }
    const size_t stride = (static_cast<size_t>(width) * bitCount + 31) / 32 * 4;
    const size_t offset = 14 + 40 + palette.size() * 4;
    std::string file(offset + stride * height, '\0');
    file[0] = 'B';
    file[1] = 'M';
    Put32(file, kFileSize, static_cast<uint32_t>(file.size()));
    Put32(file, kPixelOffset, static_cast<uint32_t>(offset));
    Put32(file, kHeaderSize, 40);
    Put32(file, kWidth, static_cast<uint32_t>(width));
    Put32(file, kHeight, static_cast<uint32_t>(topDown ? -height : height));
    Put16(file, kPlanes, 1);
    Put16(file, kBitCount, bitCount);
    Put32(file, kColoursUsed, static_cast<uint32_t>(palette.size()));
    for (size_t i = 0; i < palette.size(); ++i) {
        Put32(file, 54 + i * 4, palette[i]);  // RGBQUAD is B, G, R, 0: the same bytes
    }
    for (int y = 0; y < height; ++y) {
        size_t row = offset + stride * (topDown ? y : height - 1 - y);
        for (int x = 0; x < width; ++x) {
            uint32_t colour = pixels[y * width + x];
            if (bitCount == 8) {
                file[row + x] = static_cast<char>(index[colour]);
            } else {
                size_t at = row + x * (bitCount / 8);
                file[at] = static_cast<char>(colour & 0xFF);
                file[at + 1] = static_cast<char>((colour >> 8) & 0xFF);
                file[at + 2] = static_cast<char>(colour >> 16);
            }
        }
    }
    return file;
}

// 3 x 2 so that 24-bit rows carry padding.
const std::vector<uint32_t> kSample = {0xFF0000, 0x00FF00, 0x0000FF, 0x123456, 0xFFFFFF, 0x000000};

std::vector<uint32_t> Pixels(const platform::BitmapPixels& bitmap) {
    std::vector<uint32_t> pixels;
    for (int y = 0; y < bitmap.height; ++y) {
        for (int x = 0; x < bitmap.width; ++x) {
            pixels.push_back(bitmap.Pixel(x, y));
        }
    }
    return pixels;
}

class Bitmaps : public testing::Test {
protected:
    Bitmaps() {
        char pattern[] = "/tmp/tavu-bitmaps-XXXXXX";
        dir = mkdtemp(pattern);
        platform::SetWorkingFolder(dir);
        liveBefore = platform::LiveBitmapCount();
    }
    ~Bitmaps() override {
        EXPECT_EQ(platform::LiveBitmapCount(), liveBefore) << "every loaded bitmap was deleted";
        platform::SetWorkingFolder("");
        fs::remove_all(dir);
    }
    void Write(const std::string& relative, const std::string& bytes) const {
        fs::path path = fs::path(dir) / relative;
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << bytes;
    }
    // Loads name, checks it decodes to the expected pixels, and deletes it.
    void ExpectPixels(const std::string& name, int width, int height, const std::vector<uint32_t>& pixels) {
        SCOPED_TRACE(name);
        HANDLE bitmap = Load(name);
        ASSERT_NE(bitmap, nullptr);
        std::optional<platform::BitmapPixels> info = platform::BitmapInfo(bitmap);
        ASSERT_TRUE(info);
        EXPECT_EQ(info->width, width);
        EXPECT_EQ(info->height, height);
        EXPECT_EQ(info->path, name);
        EXPECT_EQ(info->rgb.size(), static_cast<size_t>(width * height * 3));
        EXPECT_EQ(Pixels(*info), pixels);
        EXPECT_TRUE(DeleteObject(bitmap));
    }
    std::string dir;
    int liveBefore = 0;
};

TEST_F(Bitmaps, DecodesEachSupportedLayoutTopDown) {
    Write("up24.bmp", MakeBmp(3, 2, 24, kSample));
    Write("down24.bmp", MakeBmp(3, 2, 24, kSample, true));
    Write("up32.bmp", MakeBmp(3, 2, 32, kSample));
    Write("pal8.bmp", MakeBmp(3, 2, 8, kSample));
    Write("down8.bmp", MakeBmp(3, 2, 8, kSample, true));
    for (const char* name : {"up24.bmp", "down24.bmp", "up32.bmp", "pal8.bmp", "down8.bmp"}) {
        ExpectPixels(name, 3, 2, kSample);
    }
}

TEST_F(Bitmaps, AcceptsLongerHeadersTrailingBytesAndStrayPaletteIndexes) {
    // A V5 header (124 bytes) before the pixels.
    std::string basic = MakeBmp(3, 2, 24, kSample);
    std::string v5 = basic.substr(0, 54) + std::string(124 - 40, '\0') + basic.substr(54);
    Put32(v5, kHeaderSize, 124);
    Put32(v5, kPixelOffset, 14 + 124);
    Put32(v5, kFileSize, static_cast<uint32_t>(v5.size()));
    Write("v5.bmp", v5);
    ExpectPixels("v5.bmp", 3, 2, kSample);

    Write("tail.bmp", basic + "trailing bytes");
    ExpectPixels("tail.bmp", 3, 2, kSample);

    // Two palette entries, one pixel indexing past them: shown black.
    std::string pal = MakeBmp(2, 1, 8, {0x102030, 0x405060});
    const size_t pixels = 54 + 2 * 4;
    pal[pixels + 1] = 7;
    Write("stray.bmp", pal);
    ExpectPixels("stray.bmp", 2, 1, {0x102030, 0x000000});
}

TEST_F(Bitmaps, DimensionLimitIs4096) {
    Write("wide.bmp", MakeBmp(4096, 1, 24, std::vector<uint32_t>(4096, 0xABCDEF)));
    Write("wider.bmp", MakeBmp(4097, 1, 24, std::vector<uint32_t>(4097, 0xABCDEF)));
    Write("tall.bmp", MakeBmp(1, 4097, 24, std::vector<uint32_t>(4097, 0xABCDEF), true));
    ExpectPixels("wide.bmp", 4096, 1, std::vector<uint32_t>(4096, 0xABCDEF));
    EXPECT_EQ(Load("wider.bmp"), nullptr);
    EXPECT_EQ(Load("tall.bmp"), nullptr);
}

TEST_F(Bitmaps, DamagedFilesGiveNull) {
    const std::string good = MakeBmp(3, 2, 24, kSample);
    const std::string good8 = MakeBmp(3, 2, 8, kSample);
    struct Case {
        const char* what;
        std::string bytes;
    };
    auto with = [](std::string bytes, size_t at, uint32_t value, bool wide = true) {
        if (wide) {
            Put32(bytes, at, value);
        } else {
            Put16(bytes, at, static_cast<uint16_t>(value));
        }
        return bytes;
    };
    const std::vector<Case> cases = {
        {"empty file", ""},
        {"wrong magic", with(good, 0, 'M' | ('B' << 8), false)},
        {"truncated header", good.substr(0, 30)},
        {"truncated pixels", good.substr(0, good.size() - 1)},
        {"file size beyond the file", with(good, kFileSize, static_cast<uint32_t>(good.size() + 1))},
        {"file size short of the pixels", with(good, kFileSize, 54)},
        {"zero width", with(good, kWidth, 0)},
        {"negative width", with(good, kWidth, static_cast<uint32_t>(-3))},
        {"zero height", with(good, kHeight, 0)},
        {"most negative height", with(good, kHeight, 0x80000000u)},
        {"huge width", with(good, kWidth, 0x7FFFFFFF)},
        {"huge height", with(with(good, kWidth, 1), kHeight, 0x7FFFFFFF)},
        {"pixel offset past the end", with(good, kPixelOffset, 0xFFFFFFF0u)},
        {"pixel offset inside the header", with(good, kPixelOffset, 20)},
        {"pixels end past the file", with(good, kPixelOffset, 55)},
        {"header size too small", with(good, kHeaderSize, 12)},
        {"header size past the file", with(good, kHeaderSize, 0xFFFFFFF0u)},
        {"two planes", with(good, kPlanes, 2, false)},
        {"16 bits per pixel", with(good, kBitCount, 16, false)},
        {"4 bits per pixel", with(good, kBitCount, 4, false)},
        {"run-length compressed", with(good8, kCompression, 1)},
        {"bit fields", with(MakeBmp(3, 2, 32, kSample), kCompression, 3)},
        {"palette over 256 colours", with(good8, kColoursUsed, 257)},
        {"palette overlapping the pixels", with(good8, kColoursUsed, 200)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Write("bad.bmp", c.bytes);
        HANDLE bitmap = Load("bad.bmp");
        EXPECT_EQ(bitmap, nullptr);
        DeleteObject(bitmap);
    }
    fs::create_directory(fs::path(dir) / "folder.bmp");
    EXPECT_EQ(Load("folder.bmp"), nullptr);
    EXPECT_EQ(Load("missing.bmp"), nullptr);
}

TEST_F(Bitmaps, EveryTruncationAndRandomDamageIsSafe) {
    const std::string good = MakeBmp(5, 3, 8, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15});
    for (size_t length = 0; length < good.size(); ++length) {
        Write("cut.bmp", good.substr(0, length));
        ASSERT_EQ(Load("cut.bmp"), nullptr) << "cut to " << length << " bytes";
    }
    // Whatever random damage does to the headers, a load either fails or
    // yields a bitmap whose pixels are all there; the sanitizers watch reads.
    std::mt19937 rng(20240229);
    for (int round = 0; round < 2000; ++round) {
        std::string bytes = good;
        for (int n = 1 + round % 4; n > 0; --n) {
            bytes[rng() % 64] = static_cast<char>(rng());
        }
        Write("fuzz.bmp", bytes);
        HANDLE bitmap = Load("fuzz.bmp");
        if (bitmap != nullptr) {
            std::optional<platform::BitmapPixels> info = platform::BitmapInfo(bitmap);
            ASSERT_TRUE(info);
            ASSERT_EQ(info->rgb.size(), static_cast<size_t>(info->width) * info->height * 3);
            EXPECT_TRUE(DeleteObject(bitmap));
        }
    }
}

TEST_F(Bitmaps, HandlesLiveUntilDeletedOnce) {
    Write("a.bmp", MakeBmp(3, 2, 24, kSample));
    HANDLE first = Load("a.bmp");
    HANDLE second = Load("a.bmp");
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first, second);
    EXPECT_EQ(platform::LiveBitmapCount(), liveBefore + 2);

    EXPECT_TRUE(DeleteObject(first));
    EXPECT_EQ(platform::LiveBitmapCount(), liveBefore + 1);
    EXPECT_FALSE(platform::BitmapInfo(first));
    EXPECT_FALSE(DeleteObject(first)) << "a deleted handle is no longer valid";
    EXPECT_TRUE(platform::BitmapInfo(second)) << "the other load is untouched";

    // A new load never revives the deleted handle.
    HANDLE third = Load("a.bmp");
    EXPECT_NE(third, first);
    EXPECT_TRUE(DeleteObject(third));

    EXPECT_TRUE(DeleteObject(second));
    EXPECT_EQ(platform::LiveBitmapCount(), liveBefore);
    EXPECT_FALSE(DeleteObject(nullptr));
    int notABitmap = 0;
    EXPECT_FALSE(DeleteObject(&notABitmap));
    EXPECT_FALSE(platform::BitmapInfo(nullptr));
}

TEST_F(Bitmaps, OnlyBitmapFilesAtTheirOwnSize) {
    Write("a.bmp", MakeBmp(3, 2, 24, kSample));
    const UINT IMAGE_ICON = 1;
    const UINT LR_CREATEDIBSECTION = 0x2000;
    EXPECT_EQ(LoadImageA(nullptr, "a.bmp", IMAGE_ICON, 0, 0, LR_LOADFROMFILE), nullptr);
    EXPECT_EQ(LoadImageA(nullptr, "a.bmp", IMAGE_BITMAP, 0, 0, LR_DEFAULTCOLOR), nullptr)
        << "without LR_LOADFROMFILE the name is a resource";
    EXPECT_EQ(LoadImageA(nullptr, "a.bmp", IMAGE_BITMAP, 0, 0, LR_LOADFROMFILE | LR_CREATEDIBSECTION),
              nullptr);
    EXPECT_EQ(LoadImageA(nullptr, "a.bmp", IMAGE_BITMAP, 6, 4, LR_LOADFROMFILE), nullptr) << "no stretching";
    EXPECT_EQ(LoadImageA(nullptr, nullptr, IMAGE_BITMAP, 0, 0, LR_LOADFROMFILE), nullptr);
}

TEST_F(Bitmaps, WindowsPathsMatchAnyLetterCase) {
    Write("Data/Pics/Sample.BMP", MakeBmp(3, 2, 24, kSample));
    fs::create_directories(fs::path(dir) / "Data" / "Other");
    for (const char* name : {"Data\\Pics\\Sample.BMP", "data\\PICS\\sample.bmp", "DATA/pics/SAMPLE.bmp",
                             ".\\Data\\\\Pics\\.\\Sample.BMP", "data\\other\\..\\pics\\Sample.BMP"}) {
        ExpectPixels(name, 3, 2, kSample);
    }
    EXPECT_EQ(Load("Data\\Pics\\Sample.BMP\\x"), nullptr) << "a file is no folder";
    EXPECT_EQ(Load("Data\\Pix\\Sample.BMP"), nullptr);

    // A leading separator starts from the root rather than the working folder.
    std::string absolute = dir + "/data/pics/sample.bmp";
    for (char& c : absolute) {
        c = c == '/' ? '\\' : c;
    }
    ExpectPixels(absolute, 3, 2, kSample);
}

TEST_F(Bitmaps, ExactSpellingWinsOverOtherCases) {
    // Only a case-sensitive file system can hold both; the exact name must
    // not be shadowed by the other spelling.
    Write("pic.bmp", MakeBmp(1, 1, 24, {0x111111}));
    Write("PIC.BMP", MakeBmp(1, 1, 24, {0x222222}));
    ExpectPixels("pic.bmp", 1, 1, {0x111111});
    ExpectPixels("PIC.BMP", 1, 1, {0x222222});
    HANDLE either = Load("Pic.Bmp");
    EXPECT_NE(either, nullptr);
    EXPECT_TRUE(DeleteObject(either));
}

TEST_F(Bitmaps, EmptyWorkingFolderMeansCurrentDirectory) {
    Write("here.bmp", MakeBmp(3, 2, 24, kSample));
    platform::SetWorkingFolder("");
    EXPECT_EQ(Load("here.bmp"), nullptr);
    std::string previous = fs::current_path();
    ASSERT_EQ(chdir(dir.c_str()), 0);
    ExpectPixels("HERE.BMP", 3, 2, kSample);
    EXPECT_EQ(platform::ResolveWindowsPath("HERE.bmp"), "here.bmp");
    ASSERT_EQ(chdir(previous.c_str()), 0);
    EXPECT_FALSE(platform::ResolveWindowsPath("HERE.bmp"));
}

// The previews the build draws for the object properties dialog.
class Previews : public testing::Test {
protected:
    Previews() { platform::SetWorkingFolder(TAVU_DATA_DIR); }
    ~Previews() override { platform::SetWorkingFolder(""); }
    static std::optional<platform::BitmapPixels> LoadAndDelete(const std::string& bitmap) {
        HANDLE handle = Load("QIRO\\TAVU\\BMP\\" + bitmap);
        if (handle == nullptr) {
            return std::nullopt;
        }
        std::optional<platform::BitmapPixels> info = platform::BitmapInfo(handle);
        EXPECT_TRUE(DeleteObject(handle));
        return info;
    }
    static uint32_t CommonestColour(const platform::BitmapPixels& bitmap) {
        std::map<uint32_t, int> counts;
        for (uint32_t colour : Pixels(bitmap)) {
            ++counts[colour];
        }
        return std::max_element(counts.begin(), counts.end(),
                                [](const auto& a, const auto& b) { return a.second < b.second; })
            ->first;
    }
};

TEST_F(Previews, EveryCatalogEntryHasOne) {
    const int liveBefore = platform::LiveBitmapCount();
    std::map<std::string, std::vector<uint32_t>> pictures;  // by upper-case file name
    for (int i = 0; i < ObjectCatalog.entryCount; ++i) {
        const CatalogEntry& entry = ObjectCatalog.entries[i];
        SCOPED_TRACE(entry.bitmap);
        std::optional<platform::BitmapPixels> preview = LoadAndDelete(entry.bitmap);
        ASSERT_TRUE(preview);
        // The dialog's frame is 269 x 126 dialog units, each at least a pixel.
        EXPECT_LE(preview->width, 269);
        EXPECT_LE(preview->height, 126);
        std::string key = entry.bitmap;
        for (char& c : key) {
            c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
        }
        std::vector<uint32_t> pixels = Pixels(*preview);
        auto [known, added] = pictures.emplace(key, pixels);
        if (!added) {
            EXPECT_EQ(known->second, pixels) << "entries sharing a file share the picture";
        }
    }
    EXPECT_EQ(platform::LiveBitmapCount(), liveBefore);

    std::set<std::vector<uint32_t>> distinct;
    for (const auto& [name, pixels] : pictures) {
        distinct.insert(pixels);
    }
    EXPECT_EQ(distinct.size(), pictures.size()) << "each object's picture is its own";
}

TEST_F(Previews, BothSpellingsOfOneFileLoadTheSamePicture) {
    std::optional<platform::BitmapPixels> lower = LoadAndDelete("Birdvehicle.BMP");
    std::optional<platform::BitmapPixels> upper = LoadAndDelete("BirdVehicle.BMP");
    ASSERT_TRUE(lower);
    ASSERT_TRUE(upper);
    EXPECT_EQ(lower->rgb, upper->rgb);
    int files = 0;
    for (const auto& file : fs::directory_iterator(fs::path(TAVU_DATA_DIR) / "QIRO" / "TAVU" / "BMP")) {
        std::string name = file.path().filename();
        files += strcasecmp(name.c_str(), "birdvehicle.bmp") == 0;
    }
    EXPECT_EQ(files, 1) << "one file serves both spellings";
}

TEST_F(Previews, LoadByAnyLetterCaseAndGroupsHaveTheirOwnColour) {
    HANDLE handle = Load("qiro\\tavu\\bmp\\" + std::string(ObjectCatalog.entries[0].bitmap));
    ASSERT_NE(handle, nullptr);
    EXPECT_TRUE(DeleteObject(handle));

    std::set<uint32_t> colours;
    for (int g = 0; g < ObjectCatalog.groupCount; ++g) {
        const CatalogGroup& group = ObjectCatalog.groups[g];
        auto first = LoadAndDelete(ObjectCatalog.entries[group.first].bitmap);
        auto last = LoadAndDelete(ObjectCatalog.entries[group.last].bitmap);
        ASSERT_TRUE(first && last) << group.name;
        EXPECT_EQ(CommonestColour(*first), CommonestColour(*last)) << group.name;
        colours.insert(CommonestColour(*first));
    }
    EXPECT_EQ(colours.size(), static_cast<size_t>(ObjectCatalog.groupCount));
}

}  // namespace
