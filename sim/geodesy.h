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

// Between two points given in degrees, on the sphere the host's latitudes
// are measured on: the great-circle distance in metres, and the direction
// from the first towards the second in degrees, 0 north, clockwise, 0 to 360.
double SurfaceMetres(double lat1, double lon1, double lat2, double lon2);
double BearingDegrees(double lat1, double lon1, double lat2, double lon2);

}  // namespace sim
