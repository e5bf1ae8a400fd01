// Selection load and motion of the selected object.
#pragma once

#include <stdint.h>

#include "module/hostword.h"

struct ObjectRecord;

// Bounds of the speeds, velocities and rates the keys may reach. Each is the
// start magnitude times a power of two, so saturated doubling stays on the
// same ladder, opposite keys stay exact mirrors, and from the top the
// opposite key needs as many presses back to rest as the way up took. Each
// sits where a width forces it, not lower.
enum : int32_t {
    SPEED_START = 2,
    // |cos| and |sin| are at most 2^15, so c * forwardSpeed - s * sideSpeed
    // stays within 2^15 * (2 * 2^14) = 2^30: inside 32 bits. The next rung,
    // 32768, would reach 2^31. Reached at the 14th press.
    SPEED_LIMIT = 16384,
    RATE_START = 1456,
    // The rate itself is a 32-bit value: 1456 * 2^20 is the highest rung
    // below 2^31. Its product with a 16-bit frame step is formed in 64 bits
    // and wraps at a full turn. Reached at the 21st press.
    RATE_LIMIT = 1456 << 20,
};
inline constexpr int64_t ALT_VELOCITY_START = 65536;
// The climb is a 64-bit value, but OnFrame multiplies it by a frame step of
// up to 0xFFFF in 64 bits: 2^47 is the highest rung whose product still fits
// (2^48 * 0xFFFF would not). Reached at the 32nd press.
inline constexpr int64_t ALT_VELOCITY_LIMIT = int64_t{1} << 47;

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
