// LoadImageA for bitmap files and DeleteObject over POSIX. File names are
// Windows paths and match case-insensitively, because the module's file names
// were written for a Windows file system and their spelling varies.
//
// The files come from disk and may be damaged, so every header field is
// checked against the bytes actually present before any pixel is read.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/bitmaps.h"

namespace {

constexpr uint32_t BI_RGB = 0;
constexpr uint64_t kFileHeaderBytes = 14;
constexpr uint64_t kInfoHeaderBytes = 40;
constexpr int64_t kMaxDimension = 4096;
// The largest file a bitmap within the dimension limit can need, with room
// for the biggest header and palette; anything larger is not read at all.
constexpr uint64_t kMaxFileBytes = 80ull << 20;
// Handles are tokens, never addresses, so a deleted handle stays invalid
// even when its memory is reused.
constexpr uintptr_t kHandleBase = 0x0B000000;

std::mutex mutex;
std::string workingFolder;
std::map<uintptr_t, platform::BitmapPixels> liveBitmaps;
uintptr_t nextSerial = 1;

char FoldCase(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool SameNameIgnoringCase(const char* a, const std::string& b) {
    size_t i = 0;
    for (; a[i] != '\0' && i < b.size(); ++i) {
        if (FoldCase(a[i]) != FoldCase(b[i])) {
            return false;
        }
    }
    return a[i] == '\0' && i == b.size();
}

bool Exists(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

// The entry of folder whose name matches name case-insensitively. When the
// native file system holds several spellings, the smallest one wins so that
// the choice does not depend on directory order.
std::optional<std::string> FindInFolder(const std::string& folder, const std::string& name) {
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) {
        return std::nullopt;
    }
    std::optional<std::string> found;
    while (dirent* entry = readdir(dir)) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) {
            continue;
        }
        if (SameNameIgnoringCase(entry->d_name, name) && (!found || *found > entry->d_name)) {
            found = entry->d_name;
        }
    }
    closedir(dir);
    return found;
}

std::string Join(const std::string& folder, const std::string& name) {
    if (folder.empty()) {
        return name;
    }
    return folder.back() == '/' ? folder + name : folder + "/" + name;
}

std::optional<std::vector<uint8_t>> ReadWholeFile(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    std::optional<std::vector<uint8_t>> result;
    struct stat info;
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size >= 0 &&
        static_cast<uint64_t>(info.st_size) <= kMaxFileBytes) {
        std::vector<uint8_t> data(static_cast<size_t>(info.st_size));
        size_t done = 0;
        bool failed = false;
        while (done < data.size()) {
            ssize_t n = read(fd, data.data() + done, data.size() - done);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                failed = true;  // an error, or the file shrank under us
                break;
            }
            done += static_cast<size_t>(n);
        }
        if (!failed) {
            result = std::move(data);
        }
    }
    close(fd);
    return result;
}

uint16_t U16(const std::vector<uint8_t>& data, uint64_t at) {
    return static_cast<uint16_t>(data[at] | (data[at + 1] << 8));
}

uint32_t U32(const std::vector<uint8_t>& data, uint64_t at) {
    return uint32_t{data[at]} | (uint32_t{data[at + 1]} << 8) | (uint32_t{data[at + 2]} << 16) |
           (uint32_t{data[at + 3]} << 24);
}

// A BITMAPFILEHEADER + BITMAPINFOHEADER file with uncompressed 8-, 24- or
// 32-bit pixels, as top-down RGB; nullopt for anything else. Sizes are
// 64-bit so that no sum of 32-bit fields can wrap.
std::optional<platform::BitmapPixels> DecodeBmp(const std::vector<uint8_t>& data) {
    const uint64_t fileBytes = data.size();
    if (fileBytes < kFileHeaderBytes + kInfoHeaderBytes || data[0] != 'B' || data[1] != 'M') {
        return std::nullopt;
    }
    const uint64_t declaredBytes = U32(data, 2);
    const uint64_t pixelOffset = U32(data, 10);
    const uint64_t headerBytes = U32(data, 14);
    const int64_t width = static_cast<int32_t>(U32(data, 18));
    const int64_t signedHeight = static_cast<int32_t>(U32(data, 22));
    const uint16_t planes = U16(data, 26);
    const uint16_t bitCount = U16(data, 28);
    const uint32_t compression = U32(data, 30);
    const uint64_t coloursUsed = U32(data, 46);

    if (headerBytes < kInfoHeaderBytes || kFileHeaderBytes + headerBytes > fileBytes) {
        return std::nullopt;
    }
    const int64_t height = signedHeight < 0 ? -signedHeight : signedHeight;
    if (width <= 0 || width > kMaxDimension || height == 0 || height > kMaxDimension) {
        return std::nullopt;
    }
    if (planes != 1 || compression != BI_RGB || (bitCount != 8 && bitCount != 24 && bitCount != 32)) {
        return std::nullopt;
    }

    const uint64_t paletteOffset = kFileHeaderBytes + headerBytes;
    uint64_t paletteColours = 0;
    if (bitCount == 8) {
        paletteColours = coloursUsed == 0 ? 256 : coloursUsed;
        if (paletteColours > 256) {
            return std::nullopt;
        }
    }
    const uint64_t stride = (static_cast<uint64_t>(width) * bitCount + 31) / 32 * 4;
    const uint64_t pixelBytes = stride * static_cast<uint64_t>(height);
    const uint64_t pixelEnd = pixelOffset + pixelBytes;
    if (pixelOffset < paletteOffset + paletteColours * 4 || pixelEnd > fileBytes ||
        declaredBytes < pixelEnd || declaredBytes > fileBytes) {
        return std::nullopt;
    }

    platform::BitmapPixels bitmap;
    bitmap.width = static_cast<int>(width);
    bitmap.height = static_cast<int>(height);
    bitmap.rgb.resize(static_cast<size_t>(width * height * 3));
    uint8_t* out = bitmap.rgb.data();
    const bool bottomUp = signedHeight > 0;
    for (int64_t y = 0; y < height; ++y) {
        const uint64_t sourceRow = static_cast<uint64_t>(bottomUp ? height - 1 - y : y);
        const uint8_t* row = &data[pixelOffset + stride * sourceRow];
        for (int64_t x = 0; x < width; ++x, out += 3) {
            const uint8_t* bgr;
            static const uint8_t black[3] = {0, 0, 0};
            if (bitCount == 8) {
                // An index past the palette shows black rather than failing.
                bgr = row[x] < paletteColours ? &data[paletteOffset + row[x] * 4ull] : black;
            } else {
                bgr = row + x * (bitCount / 8);
            }
            out[0] = bgr[2];
            out[1] = bgr[1];
            out[2] = bgr[0];
        }
    }
    return bitmap;
}

}  // namespace

namespace platform {

void SetWorkingFolder(std::string folder) {
    std::lock_guard<std::mutex> lock(mutex);
    workingFolder = std::move(folder);
}

std::optional<std::string> ResolveWindowsPath(const char* windowsPath) {
    if (windowsPath == nullptr) {
        return std::nullopt;
    }
    std::string path;
    if (windowsPath[0] == '\\' || windowsPath[0] == '/') {
        path = "/";
    } else {
        std::lock_guard<std::mutex> lock(mutex);
        path = workingFolder;
    }
    const char* part = windowsPath;
    while (*part != '\0') {
        size_t length = strcspn(part, "\\/");
        std::string name(part, length);
        part += length;
        if (*part != '\0') {
            ++part;
        }
        if (name.empty() || name == ".") {
            continue;
        }
        std::string exact = Join(path, name);
        if (name == ".." || Exists(exact)) {
            path = exact;
            continue;
        }
        std::optional<std::string> spelled = FindInFolder(path.empty() ? "." : path, name);
        if (!spelled) {
            return std::nullopt;
        }
        path = Join(path, *spelled);
    }
    if (path.empty()) {
        path = ".";
    }
    if (!Exists(path)) {
        return std::nullopt;
    }
    return path;
}

std::optional<BitmapPixels> BitmapInfo(HANDLE bitmap) {
    std::lock_guard<std::mutex> lock(mutex);
    auto found = liveBitmaps.find(reinterpret_cast<uintptr_t>(bitmap));
    if (found == liveBitmaps.end()) {
        return std::nullopt;
    }
    return found->second;
}

int LiveBitmapCount() {
    std::lock_guard<std::mutex> lock(mutex);
    return static_cast<int>(liveBitmaps.size());
}

}  // namespace platform

extern "C" {

HANDLE WINAPI LoadImageA(HINSTANCE instance, LPCSTR name, UINT type, int width, int height, UINT flags) {
    (void)instance;  // ignored for files, as on Windows
    // Stretching on load and resource bitmaps are not needed natively.
    if (name == nullptr || type != IMAGE_BITMAP || flags != LR_LOADFROMFILE || width != 0 || height != 0) {
        return nullptr;
    }
    std::optional<std::string> path = platform::ResolveWindowsPath(name);
    if (!path) {
        return nullptr;
    }
    std::optional<std::vector<uint8_t>> data = ReadWholeFile(*path);
    if (!data) {
        return nullptr;
    }
    std::optional<platform::BitmapPixels> bitmap = DecodeBmp(*data);
    if (!bitmap) {
        return nullptr;
    }
    bitmap->path = name;
    std::lock_guard<std::mutex> lock(mutex);
    uintptr_t handle = kHandleBase + 4 * nextSerial++;
    liveBitmaps.emplace(handle, std::move(*bitmap));
    return reinterpret_cast<HANDLE>(handle);
}

BOOL WINAPI DeleteObject(HGDIOBJ object) {
    std::lock_guard<std::mutex> lock(mutex);
    return liveBitmaps.erase(reinterpret_cast<uintptr_t>(object)) == 1 ? TRUE : FALSE;
}

}  // extern "C"
