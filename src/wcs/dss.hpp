// The plate solution of scanned survey plates: the plate centre, the scan geometry and two
// polynomials from plate millimetres to standard coordinates in arcseconds.
#pragma once

#include <array>
#include <optional>

#include "error.hpp"
#include "header/header.hpp"
#include "wcs/distortion/newton.hpp"

namespace vexlo {

enum class DssStatus : std::uint8_t { Ok, BehindPlate, Singular, Newton };

struct DssPlate {
    std::array<double, 20> amdx{};
    std::array<double, 20> amdy{};
    // Expanded polynomials: x_poly[i][j] multiplies x^i y^j, y_poly[i][j] multiplies y^i x^j.
    std::array<std::array<double, 6>, 6> x_poly{};
    std::array<std::array<double, 6>, 6> y_poly{};
    double plate_ra = 0.0;  // degrees
    double plate_dec = 0.0;
    double ppo3 = 0.0;  // micrometres
    double ppo6 = 0.0;
    double x_pixel_size = 0.0;  // micrometres per pixel
    double y_pixel_size = 0.0;
    double cnpix1 = 0.0;
    double cnpix2 = 0.0;
    double plate_ra_rad = 0.0;
    double cos_dec = 1.0;
    double sin_dec = 0.0;

    // None when the header carries no plate.
    static Result<std::optional<DssPlate>> from_header(const Header& header);
    // 1-based pixels to (RA, Dec) in degrees, RA in [0, 360).
    void pixel_to_sky(double p1, double p2, double& ra, double& dec) const;
    // (RA, Dec) to 1-based pixels; on a failed Newton step `newton` tells why.
    DssStatus sky_to_pixel(double ra, double dec, double& p1, double& p2,
                           NewtonStatus& newton) const;
};

// The message of a failed sky_to_pixel.
std::string dss_message(DssStatus status, NewtonStatus newton);

}  // namespace vexlo
