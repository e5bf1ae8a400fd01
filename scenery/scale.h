#pragma once

#include <stdint.h>

enum : uint32_t {
    SCALE_ONE = 65536,                   // 100 percent
    SCALE_PERCENT_NUMERATOR = 6553600,   // scale = this / percent
};

// A record's scale from a percentage (>= 1) or a fixed-scale code (<= 0).
uint32_t EncodeScale(int32_t percent);
