// fit_celestial_wcs: fix the reference point on the sky, project every sky point into the
// plane through the rotation that point implies, then solve the CD matrix (and the reference
// pixel unless it is pinned) by linear least squares in the plane. A pinned reference pixel
// without a pinned reference point moves the reference point to where that pixel lands. With
// SIP the matrix and the polynomials are solved together, so a distortion does not bend the
// matrix.
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

double int_pow(double x, std::uint32_t k) {
    double r = 1.0;
    for (std::uint32_t i = 0; i < k; ++i)
        r *= x;
    return r;
}

// N x H rows of u^p v^q for the exponent pairs.
std::vector<double> sip_design(std::span<const Pair2> offsets,
                               const std::vector<std::pair<std::uint32_t, std::uint32_t>>& terms) {
    std::vector<double> d(offsets.size() * terms.size());
    for (std::size_t k = 0; k < offsets.size(); ++k) {
        for (std::size_t t = 0; t < terms.size(); ++t) {
            d[k * terms.size() + t] =
                int_pow(offsets[k][0], terms[t].first) * int_pow(offsets[k][1], terms[t].second);
        }
    }
    return d;
}

Result<SipPolynomial> solve_sip_polynomial(
    std::vector<double> design, std::vector<double> rhs, std::uint32_t order,
    const std::vector<std::pair<std::uint32_t, std::uint32_t>>& terms) {
    VEXLO_ASSIGN_OR_RETURN(const std::vector<double> c,
                           least_squares_qr(design, rhs, rhs.size(), terms.size()));
    std::vector<SipTerm> sip_terms(terms.size());
    for (std::size_t t = 0; t < terms.size(); ++t)
        sip_terms[t] = SipTerm{terms[t].first, terms[t].second, c[t]};
    return SipPolynomial::from_terms(order, sip_terms);
}

using Terms = std::vector<std::pair<std::uint32_t, std::uint32_t>>;

// One plane coordinate as a polynomial of the pixel offsets (u, v) from CRPIX: an optional
// constant, the two linear terms, then the SIP terms.
struct PlanePolynomial {
    double constant = 0.0;
    double lin_u = 0.0;
    double lin_v = 0.0;
    std::vector<double> sip;

    // The value and its two partial derivatives at (u, v).
    void eval(const Terms& terms, double u, double v, double& f, double& fu, double& fv) const {
        f = constant + lin_u * u + lin_v * v;
        fu = lin_u;
        fv = lin_v;
        for (std::size_t t = 0; t < terms.size(); ++t) {
            const auto [p, q] = terms[t];
            f += sip[t] * int_pow(u, p) * int_pow(v, q);
            if (p > 0) fu += sip[t] * p * int_pow(u, p - 1) * int_pow(v, q);
            if (q > 0) fv += sip[t] * q * int_pow(u, p) * int_pow(v, q - 1);
        }
    }
};

// Least squares for x and y as polynomials of the offsets from r, with or without a constant.
Result<std::array<PlanePolynomial, 2>> fit_plane_polynomials(std::span<const Pair2> pixels,
                                                             std::span<const Pair2> plane, Pair2 r,
                                                             const Terms& terms, bool constant) {
    const std::size_t n = pixels.size();
    const std::size_t first = constant ? 3 : 2;
    const std::size_t width = first + terms.size();
    std::vector<Pair2> offsets(n);
    for (std::size_t k = 0; k < n; ++k)
        offsets[k] = {pixels[k][0] - r[0], pixels[k][1] - r[1]};
    const std::vector<double> sip_columns = sip_design(offsets, terms);
    std::vector<double> design(n * width);
    for (std::size_t k = 0; k < n; ++k) {
        double* row = &design[k * width];
        if (constant) row[0] = 1.0;
        row[first - 2] = offsets[k][0];
        row[first - 1] = offsets[k][1];
        for (std::size_t t = 0; t < terms.size(); ++t)
            row[first + t] = sip_columns[k * terms.size() + t];
    }
    std::array<PlanePolynomial, 2> out;
    for (std::size_t axis = 0; axis < 2; ++axis) {
        std::vector<double> a = design;
        std::vector<double> rhs(n);
        for (std::size_t k = 0; k < n; ++k)
            rhs[k] = plane[k][axis];
        VEXLO_ASSIGN_OR_RETURN(const std::vector<double> c, least_squares_qr(a, rhs, n, width));
        PlanePolynomial& poly = out[axis];
        if (constant) poly.constant = c[0];
        poly.lin_u = c[first - 2];
        poly.lin_v = c[first - 1];
        poly.sip.assign(c.begin() + static_cast<std::ptrdiff_t>(first), c.end());
    }
    return out;
}

// The offsets where both fitted plane coordinates vanish, by Newton's method from (0, 0):
// the reference pixel of the distorted model.
Pair2 plane_origin(const std::array<PlanePolynomial, 2>& poly, const Terms& terms) {
    double u = 0.0, v = 0.0;
    for (int iter = 0; iter < 50; ++iter) {
        double x, xu, xv, y, yu, yv;
        poly[0].eval(terms, u, v, x, xu, xv);
        poly[1].eval(terms, u, v, y, yu, yv);
        const double det = xu * yv - xv * yu;
        if (!(std::fabs(det) > 0.0)) break;
        const double du = (yv * x - xv * y) / det;
        const double dv = (-yu * x + xu * y) / det;
        u -= du;
        v -= dv;
        if (std::fabs(du) + std::fabs(dv) < 1e-13 * (1.0 + std::fabs(u) + std::fabs(v))) break;
    }
    return {u, v};
}

struct SipFit {
    LinearFit linear;
    Sip sip;
};

// The matrix and the SIP polynomials solved together: the plane coordinates are fitted as
// polynomials of the pixel offsets, linear terms included, so a distortion does not bend the
// matrix; the matrix is the linear part and A, B are its inverse applied to the rest. A free
// reference pixel is first moved to where the fitted polynomials vanish. The reverse
// polynomials are fitted at the ideal offsets CD^-1 (x, y) of the same points.
Result<SipFit> fit_sip(std::span<const Pair2> pixels, std::span<const Pair2> plane,
                       const LinearFit& start, bool crpix_pinned, std::uint32_t order,
                       bool fit_inverse) {
    const auto sip_error = [](std::string msg) { return Error::wcs("SIP fit: " + msg); };
    if (order < 2) {
        return std::unexpected(sip_error("order " + std::to_string(order) +
                                         " too low (constant/linear absorbed by CRPIX/CD)"));
    }
    if (order > kSipMaxOrder) {
        return std::unexpected(sip_error("order " + std::to_string(order) +
                                         " exceeds SIP_MAX_ORDER (" + std::to_string(kSipMaxOrder) +
                                         ")"));
    }
    const auto singular = [&](const std::array<double, 4>& cd) {
        return std::fabs(cd[0] * cd[3] - cd[1] * cd[2]) < 1e-30;
    };
    if (singular(start.cd))
        return std::unexpected(sip_error("CD matrix is singular; cannot invert"));
    const Terms terms = sip_exponent_pairs(order);
    SipFit out;
    out.linear.crpix = start.crpix;
    if (!crpix_pinned) {
        VEXLO_ASSIGN_OR_RETURN(const auto shifted,
                               fit_plane_polynomials(pixels, plane, start.crpix, terms, true));
        const Pair2 origin = plane_origin(shifted, terms);
        out.linear.crpix = {start.crpix[0] + origin[0], start.crpix[1] + origin[1]};
    }
    VEXLO_ASSIGN_OR_RETURN(const auto poly,
                           fit_plane_polynomials(pixels, plane, out.linear.crpix, terms, false));
    const std::array<double, 4> cd = {poly[0].lin_u, poly[0].lin_v, poly[1].lin_u, poly[1].lin_v};
    if (singular(cd)) return std::unexpected(sip_error("CD matrix is singular; cannot invert"));
    out.linear.cd = cd;
    const double det = cd[0] * cd[3] - cd[1] * cd[2];
    std::vector<SipTerm> a(terms.size()), b(terms.size());
    for (std::size_t t = 0; t < terms.size(); ++t) {
        const double x = poly[0].sip[t], y = poly[1].sip[t];
        a[t] = SipTerm{terms[t].first, terms[t].second, (cd[3] * x - cd[1] * y) / det};
        b[t] = SipTerm{terms[t].first, terms[t].second, (-cd[2] * x + cd[0] * y) / det};
    }
    VEXLO_ASSIGN_OR_RETURN(out.sip.a, SipPolynomial::from_terms(order, a));
    VEXLO_ASSIGN_OR_RETURN(out.sip.b, SipPolynomial::from_terms(order, b));
    if (fit_inverse) {
        const std::size_t n = pixels.size();
        std::vector<Pair2> ideal(n);
        std::vector<double> back_u(n), back_v(n);
        for (std::size_t k = 0; k < n; ++k) {
            const double x = plane[k][0], y = plane[k][1];
            ideal[k] = {(cd[3] * x - cd[1] * y) / det, (-cd[2] * x + cd[0] * y) / det};
            back_u[k] = pixels[k][0] - out.linear.crpix[0] - ideal[k][0];
            back_v[k] = pixels[k][1] - out.linear.crpix[1] - ideal[k][1];
        }
        const std::vector<double> e = sip_design(ideal, terms);
        VEXLO_ASSIGN_OR_RETURN(out.sip.ap, solve_sip_polynomial(e, back_u, order, terms));
        VEXLO_ASSIGN_OR_RETURN(out.sip.bp, solve_sip_polynomial(e, back_v, order, terms));
    }
    return out;
}

// The rotation that puts the fiducial point at a reference point, and the sky points
// projected into the plane through it.
struct PlaneFrame {
    Pair2 crval{};
    CelestialRotation rotation;
    std::vector<Pair2> plane;
};

Result<PlaneFrame> project_about(const Projection& projection, Pair2 crval,
                                 std::span<const Pair2> sky) {
    PlaneFrame f;
    f.crval = crval;
    VEXLO_ASSIGN_OR_RETURN(
        f.rotation, CelestialRotation::solve(crval[0], crval[1], std::nullopt, std::nullopt, 0.0,
                                             default_theta0(projection)));
    f.plane.resize(sky.size());
    for (std::size_t k = 0; k < sky.size(); ++k) {
        const Point2 native = f.rotation.celestial_to_native(sky[k][0], sky[k][1]);
        VEXLO_ASSIGN_OR_RETURN(const Point2 xy, projection.forward(native.a, native.b));
        f.plane[k] = {xy.a, xy.b};
    }
    return f;
}

// With the reference pixel pinned and the reference point free, the reference point is the
// sky position of the pinned pixel, which a fixed matrix fit about another point cannot
// reach. The plane coordinates are fitted with a free constant at the pinned pixel: the
// constant is where that pixel lands in the plane, and its sky position is the next
// reference point. Repeated while the constant shrinks; a step that fails or does not help
// keeps the reference point before it.
PlaneFrame settle_reference_point(std::span<const Pair2> pixels, std::span<const Pair2> sky,
                                  const CelestialFitOptions& options, Pair2 crpix,
                                  PlaneFrame frame) {
    Terms terms;
    if (options.sip_order && *options.sip_order >= 2 && *options.sip_order <= kSipMaxOrder) {
        terms = sip_exponent_pairs(*options.sip_order);
        if (pixels.size() < 3 + terms.size()) terms.clear();
    }
    const auto landing = [&](const PlaneFrame& f) -> std::optional<Pair2> {
        auto poly = fit_plane_polynomials(pixels, f.plane, crpix, terms, true);
        if (!poly) return std::nullopt;
        return Pair2{(*poly)[0].constant, (*poly)[1].constant};
    };
    std::optional<Pair2> c = landing(frame);
    for (int step = 0; step < 20 && c && std::hypot((*c)[0], (*c)[1]) > 0.0; ++step) {
        auto native = options.projection.inverse((*c)[0], (*c)[1]);
        if (!native) break;
        const Point2 sky_point = frame.rotation.native_to_celestial(native->a, native->b);
        auto next = project_about(options.projection, {sky_point.a, sky_point.b}, sky);
        if (!next) break;
        const std::optional<Pair2> next_c = landing(*next);
        if (!next_c || !(std::hypot((*next_c)[0], (*next_c)[1]) < std::hypot((*c)[0], (*c)[1])))
            break;
        frame = std::move(*next);
        c = next_c;
    }
    return frame;
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
                             std::optional<Sip> sip, const CelestialRotation& rotation, Pair2 crpix,
                             Pair2 crval) {
    const FrameNames names = frame_prefixes(options.frame);
    const std::string code =
        std::string(projection_name(options.projection.code)) + (sip ? "-SIP" : "");
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
    block.sip = std::move(sip);
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
    VEXLO_ASSIGN_OR_RETURN(
        PlaneFrame frame,
        project_about(options.projection, options.crval ? *options.crval : spherical_centroid(sky),
                      sky));
    std::optional<Pair2> crpix;
    if (options.crpix) crpix = Pair2{(*options.crpix)[0] + 1.0, (*options.crpix)[1] + 1.0};
    // Three points fix a constant besides the matrix; two leave the centroid as it is.
    if (crpix && !options.crval && n >= 3)
        frame = settle_reference_point(pixels, sky, options, *crpix, std::move(frame));
    const Pair2 crval = frame.crval;
    const CelestialRotation& rotation = frame.rotation;
    const std::vector<Pair2>& plane = frame.plane;

    LinearFit linear;
    if (crpix) {
        linear.crpix = *crpix;
        VEXLO_ASSIGN_OR_RETURN(linear.cd, fit_linear_pinned_crpix(pixels, plane, linear.crpix));
    } else {
        VEXLO_ASSIGN_OR_RETURN(linear, fit_linear_free_crpix(pixels, plane));
    }

    std::optional<Sip> sip;
    if (options.sip_order) {
        VEXLO_ASSIGN_OR_RETURN(SipFit f, fit_sip(pixels, plane, linear, options.crpix.has_value(),
                                                 *options.sip_order, options.fit_sip_inverse));
        linear = f.linear;
        sip = std::move(f.sip);
    }

    WcsFit result;
    VEXLO_ASSIGN_OR_RETURN(result.wcs, build_fitted_wcs(options, linear.cd, std::move(sip),
                                                        rotation, linear.crpix, crval));

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

std::vector<std::pair<std::uint32_t, std::uint32_t>> sip_exponent_pairs(std::uint32_t order) {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> out;
    for (std::uint32_t p = 0; p <= order; ++p) {
        for (std::uint32_t q = p < 2 ? 2 - p : 0; p + q <= order; ++q)
            out.emplace_back(p, q);
    }
    return out;
}

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
        return std::unexpected(Error::out_of_memory(
            fit_error("out of memory for " + std::to_string(pixels.size()) + " reference points")));
    }
}

}  // namespace vexlo
