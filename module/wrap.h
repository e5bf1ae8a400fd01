// Integer arithmetic that wraps on purpose: through unsigned types, never by
// signed overflow.
#pragma once

#include <stdint.h>

inline int32_t WrapAdd32(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}
inline int32_t WrapSub32(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
}
inline int32_t WrapMul32(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) * static_cast<uint32_t>(b));
}
inline int64_t WrapAdd64(int64_t a, int64_t b) {
    return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
}
inline int64_t WrapMul64(int64_t a, int64_t b) {
    return static_cast<int64_t>(static_cast<uint64_t>(a) * static_cast<uint64_t>(b));
}
// Shifts of negative values, spelled out so they never depend on the compiler.
inline int64_t ShiftLeft64(int64_t value, int bits) {
    return static_cast<int64_t>(static_cast<uint64_t>(value) << bits);
}
inline int32_t ShiftLeft32(int32_t value, int bits) {
    return static_cast<int32_t>(static_cast<uint32_t>(value) << bits);
}
