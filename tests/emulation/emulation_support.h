// The real TAVUEdit.dll for the emulation tests: `make dll` builds it before
// the native tests; without it those tests are skipped.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace emulation {

inline std::filesystem::path DllPath() {
    return std::filesystem::path(__FILE__).parent_path().parent_path().parent_path() /
           "build/windows/TAVUEdit.dll";
}

// Read once per test program.
inline const std::vector<uint8_t>& DllBytes() {
    static const std::vector<uint8_t> bytes = [] {
        std::ifstream in(DllPath(), std::ios::binary);
        return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }();
    return bytes;
}

}  // namespace emulation

#define SKIP_WITHOUT_DLL()                                                                        \
    do {                                                                                          \
        if (emulation::DllBytes().empty()) {                                                      \
            GTEST_SKIP() << emulation::DllPath().string() << " is missing; `make dll` builds it"; \
        }                                                                                         \
    } while (false)
