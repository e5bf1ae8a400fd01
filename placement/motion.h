// Selection load and motion of the selected object.
#pragma once

#include <stdint.h>

#include "module/hostword.h"

struct ObjectRecord;

// Bounds of the speeds, velocities and rates the keys may reach. Each is the
// start magnitude times a power of two, so saturated doubling stays on the
// same ladder and opposite keys stay exact mirrors.
enum : int32_t {
    SPEED_START = 2,
    // |cos| and |sin| are at most 2^15, so c * forwardSpeed - s * sideSpeed
    // stays within 2^15 * (2 * 2^14) = 2^30: inside 32 bits.
    SPEED_LIMIT = 16384,
    RATE_START = 1456,
    // A rate times a 16-bit frame step is formed in 64 bits; the limit keeps
    // the rate itself far from 32-bit overflow (and one frame at the default
    // step under a sixth of a turn).
    RATE_LIMIT = 1456 * 1024,
};
inline constexpr int64_t ALT_VELOCITY_START = 65536;
// The same top speed as forward and side motion (2^29, 1/8 metre per
// millisecond of step); times a 16-bit step it stays below 2^45.
inline constexpr int64_t ALT_VELOCITY_LIMIT = int64_t{1} << 29;

// The nudge rule of the motion keys: from rest take the start magnitude in
// the key's direction, the same direction doubles (up to the limit), the
// other halves and stops below the start magnitude.
int32_t Nudge32(int32_t value, int32_t start, int32_t limit, bool positive);
int64_t Nudge64(int64_t value, int64_t start, int64_t limit, bool positive);

// Zeroes every speed, velocity and rate; the angles stay where they are.
void StopMotion();
void LoadEditState(ObjectRecord* record);
void UpdateHeadingVelocity(uint32_t heading);
void TAVU_CALL OnFrame(uint32_t, uint32_t);
