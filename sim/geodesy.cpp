#include "sim/geodesy.h"

#include <algorithm>
#include <cmath>

#include "sim/host.h"

namespace sim {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kTwo32 = 4294967296.0;

int64_t Fixed32(double value) { return static_cast<int64_t>(std::llround(value * kTwo32)); }

double Wrap360(double degrees) {
    double wrapped = std::fmod(degrees, 360.0);
    return wrapped < 0 ? wrapped + 360.0 : wrapped;
}

}  // namespace

int64_t LatitudeToPosition(double degrees) { return Fixed32(degrees * kPi / 180.0 * kEarthRadiusMetres); }

int64_t LongitudeToPosition(double degrees) {
    // Signed: -180 up to (not including) +180 degrees.
    double wrapped = Wrap360(degrees + 180.0) - 180.0;
    return Fixed32(wrapped / 360.0 * kLonUnitsPerTurn);
}

int64_t AltitudeToPosition(double metres) { return Fixed32(metres); }

double PositionToLatitude(int64_t position) {
    return static_cast<double>(position) / kTwo32 / kEarthRadiusMetres * 180.0 / kPi;
}

double PositionToLongitude(int64_t position) { return static_cast<double>(position) / kTwo32 / kLonUnitsPerTurn * 360.0; }

double PositionToAltitude(int64_t position) { return static_cast<double>(position) / kTwo32; }

int64_t Widen(const Position48& position) {
    return static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(position.integer)) << 32) |
                                (static_cast<uint64_t>(position.fraction) << 16));
}

double LatitudeOf(const Position48& position) { return PositionToLatitude(Widen(position)); }
double LongitudeOf(const Position48& position) { return PositionToLongitude(Widen(position)); }
double AltitudeOf(const Position48& position) { return PositionToAltitude(Widen(position)); }

uint32_t DegreesToHeading(double degrees) {
    return static_cast<uint32_t>(static_cast<uint64_t>(std::llround(Wrap360(degrees) / 360.0 * kTwo32)));
}

double HeadingToDegrees(uint32_t heading) { return heading / kTwo32 * 360.0; }

double AngleToDegrees(int16_t angle) { return angle * 360.0 / 65536.0; }

double SurfaceMetres(double lat1, double lon1, double lat2, double lon2) {
    // Haversine: exact to the millimetre at any distance, unlike the law of
    // cosines at the centimetres an edit moves an object by.
    const double p1 = lat1 * kPi / 180.0, p2 = lat2 * kPi / 180.0;
    const double dp = p2 - p1, dl = std::remainder(lon2 - lon1, 360.0) * kPi / 180.0;
    const double h =
        std::sin(dp / 2) * std::sin(dp / 2) + std::cos(p1) * std::cos(p2) * std::sin(dl / 2) * std::sin(dl / 2);
    return 2.0 * kEarthRadiusMetres * std::asin(std::sqrt(std::min(h, 1.0)));
}

double BearingDegrees(double lat1, double lon1, double lat2, double lon2) {
    const double p1 = lat1 * kPi / 180.0, p2 = lat2 * kPi / 180.0;
    const double dl = std::remainder(lon2 - lon1, 360.0) * kPi / 180.0;
    const double east = std::sin(dl) * std::cos(p2);
    const double north = std::cos(p1) * std::sin(p2) - std::sin(p1) * std::cos(p2) * std::cos(dl);
    return Wrap360(std::atan2(east, north) * 180.0 / kPi);
}

}  // namespace sim
