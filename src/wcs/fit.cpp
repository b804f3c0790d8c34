// fit_celestial_wcs: fix the reference point on the sky, project every sky point into the
// plane through the rotation that point implies, then solve the CD matrix (and the reference
// pixel unless it is pinned) by linear least squares in the plane.
#include "wcs/fit.hpp"

#include <cmath>
#include <new>
#include <string>
#include <utility>

#include "util/try.hpp"

namespace vexlo {

namespace {

constexpr double kD2R = 0.017453292519943295;
constexpr double kR2D = 57.29577951308232;
// A column whose part outside the span of the earlier columns is below this fraction of its
// length is dependent on them: collinear reference points leave exactly such rounding noise.
constexpr double kDependentColumn = 1e-12;

Error fit_error(std::string msg) {
    return Error::wcs("fit_celestial_wcs: " + std::move(msg));
}

// The direction of the summed unit vectors of the sky points, (lon, lat) in degrees.
Pair2 spherical_centroid(std::span<const Pair2> sky) {
    double sx = 0.0, sy = 0.0, sz = 0.0;
    for (const Pair2& s : sky) {
        const double lon = s[0] * kD2R, lat = s[1] * kD2R;
        sx += std::cos(lat) * std::sin(lon);
        sy += std::cos(lat) * std::cos(lon);
        sz += std::sin(lat);
    }
    double lon = std::atan2(sx, sy) * kR2D;
    if (lon < 0.0) lon += 360.0;
    return {lon, std::atan2(sz, std::sqrt(sx * sx + sy * sy)) * kR2D};
}

struct LinearFit {
    std::array<double, 4> cd{};
    Pair2 crpix{};
};

// x = a p1 + b p2 + c, y = d p1 + e p2 + f; CRPIX is where both vanish.
Result<LinearFit> fit_linear_free_crpix(std::span<const Pair2> pixels,
                                        std::span<const Pair2> plane) {
    const std::size_t n = pixels.size();
    std::vector<double> a(2 * n * 6, 0.0), rhs(2 * n);
    for (std::size_t k = 0; k < n; ++k) {
        double* even = &a[(2 * k) * 6];
        double* odd = &a[(2 * k + 1) * 6];
        even[0] = pixels[k][0], even[1] = pixels[k][1], even[2] = 1.0;
        odd[3] = pixels[k][0], odd[4] = pixels[k][1], odd[5] = 1.0;
        rhs[2 * k] = plane[k][0];
        rhs[2 * k + 1] = plane[k][1];
    }
    VEXLO_ASSIGN_OR_RETURN(const std::vector<double> x, least_squares_qr(a, rhs, 2 * n, 6));
    const double det = x[0] * x[4] - x[1] * x[3];
    if (std::fabs(det) < 1e-30) {
        return std::unexpected(
            fit_error("degenerate CD matrix; reference points may be collinear"));
    }
    LinearFit fit;
    fit.cd = {x[0], x[1], x[3], x[4]};
    fit.crpix = {(x[1] * x[5] - x[2] * x[4]) / det, (x[3] * x[2] - x[0] * x[5]) / det};
    return fit;
}

// The CD matrix alone, with the reference pixel r fixed.
Result<std::array<double, 4>> fit_linear_pinned_crpix(std::span<const Pair2> pixels,
                                                      std::span<const Pair2> plane, Pair2 r) {
    const std::size_t n = pixels.size();
    std::vector<double> a(2 * n * 4, 0.0), rhs(2 * n);
    for (std::size_t k = 0; k < n; ++k) {
        const double u = pixels[k][0] - r[0], v = pixels[k][1] - r[1];
        a[(2 * k) * 4 + 0] = u, a[(2 * k) * 4 + 1] = v;
        a[(2 * k + 1) * 4 + 2] = u, a[(2 * k + 1) * 4 + 3] = v;
        rhs[2 * k] = plane[k][0];
        rhs[2 * k + 1] = plane[k][1];
    }
    VEXLO_ASSIGN_OR_RETURN(const std::vector<double> x, least_squares_qr(a, rhs, 2 * n, 4));
    return std::array<double, 4>{x[0], x[1], x[2], x[3]};
}

struct FrameNames {
    const char* lon;
    const char* lat;
};

FrameNames frame_prefixes(CelestialFrame frame) {
    switch (frame) {
        case CelestialFrame::Equatorial:
            return {"RA--", "DEC-"};
        case CelestialFrame::Galactic:
            return {"GLON", "GLAT"};
        case CelestialFrame::Ecliptic:
            return {"ELON", "ELAT"};
        case CelestialFrame::Supergalactic:
            return {"SLON", "SLAT"};
        case CelestialFrame::HelioEcliptic:
            return {"HLON", "HLAT"};
        case CelestialFrame::Other:
            break;
    }
    return {"XLON", "XLAT"};
}

Result<Wcs> build_fitted_wcs(const CelestialFitOptions& options, const std::array<double, 4>& cd,
                             const CelestialRotation& rotation, Pair2 crpix, Pair2 crval) {
    const FrameNames names = frame_prefixes(options.frame);
    const std::string code(projection_name(options.projection.code));
    std::vector<AxisDescription> axes(2);
    axes[0].ctype = std::string(names.lon) + "-" + code;
    axes[1].ctype = std::string(names.lat) + "-" + code;
    axes[0].cunit = axes[1].cunit = "deg";
    VEXLO_ASSIGN_OR_RETURN(LinearTransform linear,
                           LinearTransform::from_cd({crpix[0], crpix[1]}, {crval[0], crval[1]},
                                                    {cd[0], cd[1], cd[2], cd[3]}));
    const CelestialPair pair{0, 1, options.frame};
    CelestialBlock block;
    block.projection = options.projection;
    block.pair = pair;
    block.rotation = rotation;
    WcsExtras extras;
    extras.celestial = std::move(block);
    extras.pair = pair;
    extras.radesys = options.frame == CelestialFrame::Equatorial ? options.radesys : RadeSys::Other;
    return Wcs::from_parts(std::move(axes), std::move(linear), std::move(extras));
}

// (fitted - given) as (dlon cos(lat), dlat) in arcseconds, the longitude difference wrapped
// into (-180, 180] so points across lon = 0 are not a full turn apart.
Pair2 residual_arcsec(double lon_fit, double lat_fit, const Pair2& given) {
    double dlon = std::fmod(lon_fit - given[0], 360.0);
    if (dlon > 180.0) dlon -= 360.0;
    if (dlon <= -180.0) dlon += 360.0;
    return {dlon * std::cos(given[1] * kD2R) * 3600.0, (lat_fit - given[1]) * 3600.0};
}

Result<WcsFit> fit(std::span<const Pair2> pixels0, std::span<const Pair2> sky,
                   const CelestialFitOptions& options) {
    const std::size_t n = pixels0.size();
    if (n != sky.size()) {
        return std::unexpected(fit_error("pixel/sky length mismatch (" + std::to_string(n) +
                                         " vs " + std::to_string(sky.size()) + ")"));
    }
    if (n < 3 && !options.crpix) {
        return std::unexpected(fit_error("need >=3 points (or pin CRPIX) for a linear fit"));
    }
    if (n < 2) return std::unexpected(fit_error("need >=2 points even with CRPIX pinned"));

    std::vector<Pair2> pixels(n);
    for (std::size_t k = 0; k < n; ++k)
        pixels[k] = {pixels0[k][0] + 1.0, pixels0[k][1] + 1.0};
    const Pair2 crval = options.crval ? *options.crval : spherical_centroid(sky);
    const double theta0 = default_theta0(options.projection);
    VEXLO_ASSIGN_OR_RETURN(
        const CelestialRotation rotation,
        CelestialRotation::solve(crval[0], crval[1], std::nullopt, std::nullopt, 0.0, theta0));

    std::vector<Pair2> plane(n);
    for (std::size_t k = 0; k < n; ++k) {
        const Point2 native = rotation.celestial_to_native(sky[k][0], sky[k][1]);
        VEXLO_ASSIGN_OR_RETURN(const Point2 xy, options.projection.forward(native.a, native.b));
        plane[k] = {xy.a, xy.b};
    }

    LinearFit linear;
    if (options.crpix) {
        linear.crpix = {(*options.crpix)[0] + 1.0, (*options.crpix)[1] + 1.0};
        VEXLO_ASSIGN_OR_RETURN(linear.cd, fit_linear_pinned_crpix(pixels, plane, linear.crpix));
    } else {
        VEXLO_ASSIGN_OR_RETURN(linear, fit_linear_free_crpix(pixels, plane));
    }

    WcsFit result;
    VEXLO_ASSIGN_OR_RETURN(result.wcs,
                           build_fitted_wcs(options, linear.cd, rotation, linear.crpix, crval));

    result.residuals_arcsec.resize(n);
    TransformScratch scratch(2);
    double sum = 0.0, largest = 0.0;
    for (std::size_t k = 0; k < n; ++k) {
        VEXLO_TRY(result.wcs.forward_point(pixels0[k], scratch));
        const Pair2 r = residual_arcsec(scratch.output[0], scratch.output[1], sky[k]);
        result.residuals_arcsec[k] = r;
        const double d2 = r[0] * r[0] + r[1] * r[1];
        sum += d2;
        largest = std::fmax(largest, d2);
    }
    result.rms_arcsec = std::sqrt(sum / static_cast<double>(n));
    result.max_arcsec = std::sqrt(largest);
    return result;
}

}  // namespace

Result<std::vector<double>> least_squares_qr(std::vector<double>& a, std::vector<double>& b,
                                             std::size_t m, std::size_t n) {
    if (m < n) {
        return std::unexpected(Error::wcs("least-squares: under-determined system (" +
                                          std::to_string(m) + " equations, " + std::to_string(n) +
                                          " unknowns)"));
    }
    const auto at = [&](std::size_t i, std::size_t j) -> double& { return a[i * n + j]; };
    // Each column's own length, to tell a column that depends on the earlier ones (whose
    // remainder is rounding noise, not zero) from one that is merely small.
    std::vector<double> length(n, 0.0);
    for (std::size_t i = 0; i < m; ++i) {
        for (std::size_t j = 0; j < n; ++j)
            length[j] += at(i, j) * at(i, j);
    }
    std::vector<double> v(m);
    for (std::size_t k = 0; k < n; ++k) {
        double norm = 0.0;
        for (std::size_t i = k; i < m; ++i)
            norm += at(i, k) * at(i, k);
        norm = std::sqrt(norm);
        if (norm < 1e-30 || norm <= kDependentColumn * std::sqrt(length[k])) {
            return std::unexpected(Error::wcs("least-squares: rank-deficient column " +
                                              std::to_string(k) +
                                              " (norm ~= 0); inputs may be collinear"));
        }
        // The sign that avoids cancellation in the first entry of the reflector.
        const double alpha = at(k, k) < 0.0 ? norm : -norm;
        const std::size_t len = m - k;
        double vv = 0.0;
        for (std::size_t i = 0; i < len; ++i) {
            v[i] = at(k + i, k) - (i == 0 ? alpha : 0.0);
            vv += v[i] * v[i];
        }
        if (vv >= 1e-300) {
            const double scale = 2.0 / vv;
            for (std::size_t j = k; j < n; ++j) {
                double s = 0.0;
                for (std::size_t i = 0; i < len; ++i)
                    s += v[i] * at(k + i, j);
                for (std::size_t i = 0; i < len; ++i)
                    at(k + i, j) -= scale * s * v[i];
            }
            double s = 0.0;
            for (std::size_t i = 0; i < len; ++i)
                s += v[i] * b[k + i];
            for (std::size_t i = 0; i < len; ++i)
                b[k + i] -= scale * s * v[i];
            for (std::size_t i = k + 1; i < m; ++i)
                at(i, k) = 0.0;
        }
        at(k, k) = alpha;
    }
    std::vector<double> x(n, 0.0);
    for (std::size_t i = n; i-- > 0;) {
        if (std::fabs(at(i, i)) < 1e-30) {
            return std::unexpected(Error::wcs("least-squares: zero pivot at row " +
                                              std::to_string(i) + "; inputs may be degenerate"));
        }
        double s = b[i];
        for (std::size_t j = i + 1; j < n; ++j)
            s -= at(i, j) * x[j];
        x[i] = s / at(i, i);
    }
    return x;
}

Result<WcsFit> fit_celestial_wcs(std::span<const Pair2> pixels, std::span<const Pair2> sky,
                                 const CelestialFitOptions& options) {
    try {
        return fit(pixels, sky, options);
    } catch (const std::bad_alloc&) {
        return std::unexpected(
            fit_error("out of memory for " + std::to_string(pixels.size()) + " reference points"));
    }
}

}  // namespace vexlo
