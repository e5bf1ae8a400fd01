// Native-only view of the bitmaps LoadImageA loads, and the folder that
// relative file names start from. Hosts and tests use these; the module never
// does.
#pragma once

#include <stdint.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/win32.h"

namespace platform {

// The folder that relative Windows paths are resolved against, as a native
// path; "" means the process's current directory again.
void SetWorkingFolder(std::string folder);

// The existing file or folder a Windows path names, as a native path. Each
// component matches case-insensitively, as on Windows; nullopt when any part
// of the path does not exist.
std::optional<std::string> ResolveWindowsPath(const char* windowsPath);

// A bitmap LoadImageA loaded and DeleteObject has not freed yet.
struct BitmapPixels {
    int width = 0;
    int height = 0;
    std::string path;          // the name LoadImageA was given
    std::vector<uint8_t> rgb;  // top-down rows, 3 bytes (R, G, B) per pixel, no padding

    // 0xRRGGBB of the pixel at column x, row y counted from the top.
    uint32_t Pixel(int x, int y) const {
        const uint8_t* p = &rgb[(static_cast<size_t>(y) * width + x) * 3];
        return (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2];
    }
};

// A copy of a live bitmap; nullopt for any other handle.
std::optional<BitmapPixels> BitmapInfo(HANDLE bitmap);

// Bitmaps loaded and not yet deleted.
int LiveBitmapCount();

}  // namespace platform
