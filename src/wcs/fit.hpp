// Fitting a two-axis celestial description to reference points: pixel positions and the sky
// positions they should map to. The linear fits share one dense least-squares solver.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "error.hpp"
#include "wcs/wcs.hpp"

namespace vexlo {

using Pair2 = std::array<double, 2>;

struct CelestialFitOptions {
    std::optional<Pair2> crpix;  // pinned reference pixel, 0-based like the pixel positions
    std::optional<Pair2> crval;  // pinned reference point (lon, lat) in degrees
    Projection projection;
    std::optional<std::uint32_t> sip_order;  // fit SIP polynomials of this order (2 to 9)
    bool fit_sip_inverse = true;             // and their reverse polynomials
    CelestialFrame frame = CelestialFrame::Equatorial;
    // The reference system an equatorial fit records; other frames record Other.
    RadeSys radesys = RadeSys::Icrs;
};

struct WcsFit {
    Wcs wcs;
    std::vector<Pair2> residuals_arcsec;  // (dlon * cos(lat), dlat), fitted minus given
    double rms_arcsec = 0.0;
    double max_arcsec = 0.0;
};

// Pixels 0-based, sky (lon, lat) in degrees, in the same order.
Result<WcsFit> fit_celestial_wcs(std::span<const Pair2> pixels, std::span<const Pair2> sky,
                                 const CelestialFitOptions& options);

// The (p, q) exponents of the SIP terms a fit solves for, 2 <= p + q <= order: constant and
// linear terms are left to CRPIX and the CD matrix.
std::vector<std::pair<std::uint32_t, std::uint32_t>> sip_exponent_pairs(std::uint32_t order);

// The x minimising |A x - b| for A of m x n (row-major) by Householder QR; A and b are working
// copies the solver overwrites.
Result<std::vector<double>> least_squares_qr(std::vector<double>& a, std::vector<double>& b,
                                             std::size_t m, std::size_t n);

}  // namespace vexlo
