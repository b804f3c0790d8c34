// The observatory position as Earth-centred coordinates or WGS84 geodetic coordinates,
// converting between the two forms when the header gives only the other one.
#include "header/location.hpp"

#include <cmath>
#include <initializer_list>

namespace vexlo {

namespace {

constexpr double kA = 6378137.0;          // equatorial radius
constexpr double kB = 6356752.314245179;  // polar radius
constexpr double kE2 = 0.0066943799901413165;
constexpr double kOneMinusE2 = 0.9933056200098587;
constexpr double kE2A = 42697.67270717997;
constexpr double kEp2B = 42841.31151331357;  // second eccentricity squared times b
constexpr double kDegToRad = 0.017453292519943295;
constexpr double kRadToDeg = 57.29577951308232;

std::optional<double> first_of(const Header& h, std::initializer_list<const char*> keys,
                               const char* unit) {
    for (const char* k : keys) {
        if (auto v = h.value_in_unit(k, unit)) return v;
    }
    return std::nullopt;
}

std::optional<std::array<double, 3>> read_ecef_keywords(const Header& h) {
    auto x = h.value_in_unit("OBSGEO-X", "m");
    auto y = h.value_in_unit("OBSGEO-Y", "m");
    auto z = h.value_in_unit("OBSGEO-Z", "m");
    if (!x || !y || !z) return std::nullopt;
    return std::array<double, 3>{*x, *y, *z};
}

double prime_vertical_radius(double sin_phi) {
    return kA / std::sqrt(1.0 - kE2 * (sin_phi * sin_phi));
}

}  // namespace

std::optional<std::array<double, 3>> read_geodetic_keywords(const Header& h) {
    auto lat =
        first_of(h, {"OBSGEO-B", "LAT-OBS", "OBS-LAT", "OBSLAT", "SITELAT", "GEOLAT"}, "deg");
    if (!lat) return std::nullopt;
    auto lon =
        first_of(h, {"OBSGEO-L", "LONG-OBS", "OBS-LONG", "OBSLONG", "SITELONG", "GEOLON"}, "deg");
    if (!lon) return std::nullopt;
    auto height =
        first_of(h, {"OBSGEO-H", "OBS-ELEV", "OBSELEV", "ALT-OBS", "SITEELEV", "GEOALT"}, "m");
    return std::array<double, 3>{*lat, *lon, height.value_or(0.0)};
}

std::optional<std::array<double, 3>> Header::obs_ecef() const {
    if (auto xyz = read_ecef_keywords(*this)) return xyz;
    auto geo = read_geodetic_keywords(*this);
    if (!geo) return std::nullopt;
    const auto [lat, lon, h] = *geo;
    const double phi = lat * kDegToRad, lambda = lon * kDegToRad;
    const double sin_phi = std::sin(phi), cos_phi = std::cos(phi);
    const double n = prime_vertical_radius(sin_phi);
    return std::array<double, 3>{(n + h) * cos_phi * std::cos(lambda),
                                 (n + h) * cos_phi * std::sin(lambda),
                                 (n * kOneMinusE2 + h) * sin_phi};
}

std::optional<std::array<double, 3>> Header::obs_geodetic() const {
    if (auto geo = read_geodetic_keywords(*this)) return geo;
    auto xyz = read_ecef_keywords(*this);
    if (!xyz) return std::nullopt;
    const auto [x, y, z] = *xyz;
    // The centre of the Earth has no geodetic latitude, longitude or height.
    if (x == 0.0 && y == 0.0 && z == 0.0) return std::nullopt;
    // One step of Bowring's method: close to the iterated answer for any place on Earth.
    const double lambda = std::atan2(y, x);
    const double p = std::hypot(x, y);
    const double theta = std::atan2(z * kA, p * kB);
    const double st = std::sin(theta), ct = std::cos(theta);
    const double phi = std::atan2(z + kEp2B * (st * st * st), p - kE2A * (ct * ct * ct));
    const double sin_phi = std::sin(phi), cos_phi = std::cos(phi);
    const double n = prime_vertical_radius(sin_phi);
    const double h =
        std::fabs(cos_phi) > std::fabs(sin_phi) ? p / cos_phi - n : z / sin_phi - kOneMinusE2 * n;
    return std::array<double, 3>{phi * kRadToDeg, lambda * kRadToDeg, h};
}

}  // namespace vexlo
