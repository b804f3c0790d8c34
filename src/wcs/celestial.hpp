// The celestial side of a coordinate description: the longitude/latitude axis pair, the
// spherical rotation between native and celestial coordinates, and the block of everything
// the pair needs (projection, rotation, unit scales, fiducial offset).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "error.hpp"
#include "header/header.hpp"
#include "wcs/distortion/sip.hpp"
#include "wcs/distortion/tnx.hpp"
#include "wcs/distortion/tpv.hpp"
#include "wcs/projection/projection.hpp"

namespace vexlo {

enum class CelestialFrame : std::uint8_t {
    Equatorial,
    Galactic,
    Ecliptic,
    Supergalactic,
    HelioEcliptic,
    Other,
};

std::string_view celestial_frame_name(CelestialFrame frame);

struct CelestialPair {
    std::size_t lon = 0;  // 0-based axis indices
    std::size_t lat = 1;
    CelestialFrame frame = CelestialFrame::Equatorial;

    friend bool operator==(const CelestialPair&, const CelestialPair&) = default;
};

// "CelestialPair { lon: 0, lat: 1, frame: Equatorial }".
std::string debug_text(const CelestialPair& pair);

// The native-pole rotation, angles in degrees.
struct CelestialRotation {
    double alpha0 = 0.0;
    double delta0 = 0.0;
    double phi_p = 0.0;
    double delta_p = 0.0;
    double phi0 = 0.0;
    double theta0 = 0.0;
    double alpha_p = 0.0;
    double sin_delta_p = 0.0;
    double cos_delta_p = 1.0;
    double sin_phi_p = 0.0;
    double cos_phi_p = 1.0;

    static Result<CelestialRotation> solve(double alpha0, double delta0,
                                           std::optional<double> lonpole,
                                           std::optional<double> latpole, double phi0,
                                           double theta0);

    // (phi, theta) -> (alpha, delta); alpha in [0, 360).
    Point2 native_to_celestial(double phi, double theta) const;
    // (alpha, delta) -> (phi, theta); phi in (-180, 180].
    Point2 celestial_to_native(double alpha, double delta) const;

    // The gnomonic projection fused with the rotation: through unit vectors, without the
    // native angles, which saves most of the trigonometry of the commonest description.
    Point2 tan_plane_to_celestial(double x, double y) const;
    // False for a point in the unprojected hemisphere.
    bool celestial_to_tan_plane(double alpha, double delta, Point2& plane) const;
    // The celestial point of a native direction, without the native angles.
    Point2 native_direction_to_celestial(const NativeDirection& d) const;
    // The native direction of a celestial point, without the native angles.
    NativeDirection celestial_to_native_direction(double alpha, double delta) const;

    // A rotated longitude in radians, before the pole offset, as degrees in [0, 360).
    double celestial_longitude(double lon_rad) const;
};

// Everything the pair needs. At most one of tpv and tnx is present; sip may join either.
struct CelestialBlock {
    Projection projection;
    std::optional<Sip> sip;
    std::optional<Tpv> tpv;
    std::optional<Tnx> tnx;
    CelestialPair pair;
    CelestialRotation rotation;
    double lon_scale = 1.0;  // CUNIT of the longitude axis to degrees
    double lat_scale = 1.0;
    Point2 fiducial_offset;  // added to plane coordinates before the inverse projection
};

// The native latitude of the fiducial point when the header does not give one: 90 for the
// zenithal projections, the conics' theta_a, 0 for the rest.
double default_theta0(const Projection& p);

// The factor that turns a value in the unit cunit of a celestial axis into degrees; 1 for an
// empty unit.
Result<double> celestial_unit_scale(std::string_view cunit);

// The first longitude/latitude pair among the CTYPEs, or none.
std::optional<CelestialPair> find_celestial_pair(const std::vector<std::string>& ctypes);

// The three-letter code in characters 6 to 8 of a CTYPE.
Result<std::string> projection_code_of_ctype(std::string_view ctype);

// Reads the projection, its parameters, the pole and the unit scales of one pair.
Result<CelestialBlock> parse_celestial_block(const Header& header, std::string_view suffix,
                                             const CelestialPair& pair,
                                             const std::vector<std::string>& ctypes,
                                             const std::vector<double>& crvals,
                                             const std::vector<std::string>& cunits);

}  // namespace vexlo
