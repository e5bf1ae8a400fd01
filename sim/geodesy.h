// Conversions between the emulated host's units and degrees and metres.
#pragma once

#include <stdint.h>

#include "scenery/record.h"

namespace sim {

// 32.32 host positions.
int64_t LatitudeToPosition(double degrees);
int64_t LongitudeToPosition(double degrees);
int64_t AltitudeToPosition(double metres);
double PositionToLatitude(int64_t position);
double PositionToLongitude(int64_t position);
double PositionToAltitude(int64_t position);

// The 48-bit record positions.
double LatitudeOf(const Position48& position);
double LongitudeOf(const Position48& position);
double AltitudeOf(const Position48& position);
int64_t Widen(const Position48& position);

// Headings: 2^32 per turn for the aircraft, 65536 per turn for objects.
uint32_t DegreesToHeading(double degrees);
double HeadingToDegrees(uint32_t heading);
double AngleToDegrees(int16_t angle);

}  // namespace sim
