// What the session's own source files (session_*.cpp, transcript.cpp) share
// and nobody else needs: small text helpers and the expectation check.
#pragma once

#include <stdarg.h>
#include <stdio.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "sim/session.h"

namespace sim {

inline std::string Printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
inline std::string Printf(const char* format, ...) {
    char buffer[512];
    va_list args;
    va_start(args, format);
    vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    return buffer;
}

inline std::string Lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return out;
}

inline bool EndsWithNoCase(const std::string& name, std::string_view suffix) {
    return name.size() >= suffix.size() && Lower(name.substr(name.size() - suffix.size())) == Lower(suffix);
}

inline bool AllDigits(const std::string& text) {
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return true;
}

// The file name of a path; empty for an empty path.
inline std::string FileName(const std::string& path) {
    return path.empty() ? std::string() : std::filesystem::path(path).filename().string();
}

// A script's path: relative ones are in the scenery folder.
inline std::string InFolder(const std::string& path, const std::string& folder) {
    std::filesystem::path p(path);
    return p.is_absolute() ? path : (std::filesystem::path(folder) / p).string();
}

// How far the marker of the last draw stands from the selected object, in
// metres; nullopt when either is missing.
std::optional<double> MarkerGap(Simulator& sim);

// An `expect` statement against the simulator as it stands: empty when the
// expectation holds, else what was found instead. Relative file paths are
// looked up in `sceneryFolder`.
std::string CheckExpectation(const Statement& s, Simulator& sim, const std::string& sceneryFolder);

}  // namespace sim
