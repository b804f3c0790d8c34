// The zenithal projections AZP, SZP, TAN, STG, SIN, ARC, ZPN, ZEA and AIR. Each maps the
// native latitude to a radius R and the longitude to the direction atan2(x, -y); the domain
// tests say which points a projection cannot represent (the unprojected hemisphere, folds,
// hidden branches, points off the sphere).
#include <cmath>
#include <limits>
#include <numbers>
#include <string>

#include "util/number.hpp"
#include "wcs/projection/families.hpp"

namespace vexlo::detail {

namespace {

// The point at radius R in direction phi (degrees).
inline void polar_to_plane(double r, double phi, Point2& out) {
    const double a = phi * kD2R;
    out.a = r * std::sin(a);
    out.b = -r * std::cos(a);
}

inline double plane_phi(double x, double y) {
    return std::atan2(x, -y) * kR2D;
}

// ln cos z, accurate near z = 0 where cos z rounds to 1.
inline double ln_cos(double z) {
    const double s = std::sin(z);
    const double s2 = s * s;
    return s2 < 1.0 ? 0.5 * std::log1p(-s2) : std::log(std::cos(z));
}

constexpr double kAirXiMax = 1.5707876001486365;  // 89.9995 degrees

// The Airy radius in degrees of the plane at xi = (90 - theta) / 2 radians.
inline double air_radius(double a, double xi) {
    const double t = std::tan(xi);
    return -2.0 * kR2D * (a * t + ln_cos(xi) / t);
}

Error setup_error(std::string text) {
    return Error::wcs(std::move(text));
}

Result<void> setup_air(Projection& p, std::span<const ProjParam> params) {
    const double theta_b = proj_param(params, 1).value_or(90.0);
    if (!(std::fabs(theta_b) <= 90.0)) {
        return std::unexpected(setup_error("AIR: PV2_1 (theta_b) = " + format_real_plain(theta_b) +
                                           " outside [-90deg, 90deg]"));
    }
    const double xi_b = (90.0 - theta_b) / 2.0 * kD2R;
    double a = -0.5;
    double xi_fold = kAirXiMax;
    if (xi_b != 0.0) {
        const double tb = std::tan(xi_b);
        a = ln_cos(xi_b) / (tb * tb);
        if (a > -0.0302) {
            // The fold is where dR/dxi changes sign: sin^2 xi + ln cos xi < A tan^2 xi.
            const auto below = [a](double xi) {
                const double s = std::sin(xi);
                const double t = std::tan(xi);
                return s * s + ln_cos(xi) < a * t * t;
            };
            for (int i = 2; i <= 4096; ++i) {
                const double xi = i * kAirXiMax / 4096.0;
                if (!below(xi)) continue;
                double lo = (i - 1) * kAirXiMax / 4096.0;
                double hi = xi;
                for (int k = 0; k < 80; ++k) {
                    const double m = (lo > 8.988465674311579e307 || hi > 8.988465674311579e307)
                                         ? lo / 2.0 + hi / 2.0
                                         : (lo + hi) / 2.0;
                    const double s = std::sin(m);
                    const double t = std::tan(m);
                    if (s * s + ln_cos(m) > a * t * t) {
                        lo = m;
                    } else {
                        hi = m;
                    }
                }
                xi_fold = lo;
                break;
            }
        }
    }
    p.v[kAirThetaB] = theta_b;
    p.v[kAirA] = a;
    p.v[kAirXiFold] = xi_fold;
    p.v[kAirRMax] = air_radius(a, xi_fold);
    return {};
}

// The polynomial at zeta (radians), by Horner's rule.
double zpn_value(const Projection& p, double zeta) {
    double f = 0.0;
    for (std::size_t m = p.zpn_len; m-- > 0;)
        f = f * zeta + p.zpn[m];
    return f;
}

// dR/dzeta of the polynomial at zeta (radians), by Horner's rule.
double zpn_slope(const Projection& p, double zeta) {
    double df = 0.0;
    for (std::size_t m = p.zpn_len; m-- > 1;)
        df = df * zeta + static_cast<double>(m) * p.zpn[m];
    return df;
}

// The first zenith distance in (0, pi] where R turns over (its slope changes sign): beyond it
// two sky points share each radius, so the forward there would give the pixel of another
// point. Infinite when R is monotonic; 0 when R is constant, which has no invertible part.
double zpn_fold(const Projection& p) {
    constexpr int kSteps = 4096;
    constexpr double kStep = std::numbers::pi / kSteps;
    double lo = 0.0;
    // The slope at the pole itself is P1; a fold inside the first step shows against it.
    const double start = zpn_slope(p, 0.0);
    double sign = start > 0.0 ? 1.0 : (start < 0.0 ? -1.0 : 0.0);
    for (int i = 1; i <= kSteps; ++i) {
        const double zeta = i * kStep;
        const double slope = zpn_slope(p, zeta);
        // An exact zero (an inflection, or a root on the grid) decides nothing by itself.
        if (slope == 0.0) continue;
        const double s = slope > 0.0 ? 1.0 : -1.0;
        if (sign == 0.0 || s == sign) {
            sign = s;
            lo = zeta;
            continue;
        }
        double hi = zeta;
        for (int k = 0; k < 80; ++k) {
            const double mid = 0.5 * (lo + hi);
            if (zpn_slope(p, mid) * sign > 0.0) {
                lo = mid;
            } else {
                hi = mid;
            }
        }
        return lo;
    }
    return sign == 0.0 ? 0.0 : std::numeric_limits<double>::infinity();
}

}  // namespace

Result<void> setup_zenithal(Projection& p, std::span<const ProjParam> params) {
    switch (p.code) {
        case ProjectionCode::Azp: {
            const double mu = proj_param(params, 1).value_or(0.0);
            const double gamma = proj_param(params, 2).value_or(0.0);
            if (std::fabs(1.0 + mu) < 1e-12) {
                return std::unexpected(setup_error("AZP: PV2_1 (mu) = -1 is singular"));
            }
            if (std::fabs(gamma) >= 90.0) {
                return std::unexpected(setup_error(
                    "AZP: |PV2_2 (gamma)| = " + format_real_plain(std::fabs(gamma)) + " >= 90deg"));
            }
            p.v[kAzpMu] = mu;
            p.v[kAzpGamma] = gamma;
            p.v[kAzpCosGamma] = std::cos(gamma * kD2R);
            p.v[kAzpTanGamma] = std::tan(gamma * kD2R);
            return {};
        }
        case ProjectionCode::Szp: {
            const double mu = proj_param(params, 1).value_or(0.0);
            const double phi_c = proj_param(params, 2).value_or(0.0);
            const double theta_c = proj_param(params, 3).value_or(90.0);
            if (std::fabs(theta_c) > 90.0) {
                return std::unexpected(setup_error(
                    "SZP: |PV2_3 (theta_c)| = " + format_real_plain(std::fabs(theta_c)) +
                    " > 90deg"));
            }
            const double ct = std::cos(theta_c * kD2R);
            p.v[kSzpMu] = mu;
            p.v[kSzpPhiC] = phi_c;
            p.v[kSzpThetaC] = theta_c;
            p.v[kSzpXp] = -mu * ct * std::sin(phi_c * kD2R);
            p.v[kSzpYp] = mu * ct * std::cos(phi_c * kD2R);
            p.v[kSzpZp] = mu * std::sin(theta_c * kD2R) + 1.0;
            return {};
        }
        case ProjectionCode::Sin:
            p.v[kSinXi] = proj_param(params, 1).value_or(0.0);
            p.v[kSinEta] = proj_param(params, 2).value_or(0.0);
            return {};
        case ProjectionCode::Zpn: {
            std::size_t len = 0;
            for (std::size_t m = 0; m <= 20; ++m) {
                if (proj_param(params, m)) len = m + 1;
            }
            for (std::size_t m = 0; m < len; ++m)
                p.zpn[m] = proj_param(params, m).value_or(0.0);
            if (len >= 3) {
                while (len > 2 && p.zpn[len - 1] == 0.0)
                    --len;
            }
            bool all_zero = true;
            for (std::size_t m = 0; m < len; ++m)
                all_zero = all_zero && p.zpn[m] == 0.0;
            if (all_zero) {
                return std::unexpected(setup_error("ZPN: all polynomial coefficients are zero"));
            }
            p.zpn_len = static_cast<std::uint8_t>(len);
            p.v[kZpnZetaFold] = zpn_fold(p);
            return {};
        }
        case ProjectionCode::Air:
            return setup_air(p, params);
        default:
            return {};
    }
}

// --- AZP --------------------------------------------------------------------------------------

ProjStatus azp_forward(const Projection& p, double phi, double theta, Point2& out) {
    const double mu = p.v[kAzpMu];
    const double th = theta * kD2R;
    const double ph = phi * kD2R;
    const double st = std::sin(th);
    const double ct = std::cos(th);
    if (std::fabs(mu) > 1.0 && st < -1.0 / mu) return ProjStatus::AzpFold;
    const double d = mu + st + ct * std::cos(ph) * p.v[kAzpTanGamma];
    if (std::fabs(d) < 1e-15) return ProjStatus::AzpDenominator;
    const double r = ct * (mu + 1.0) * kR2D / d;
    if (r < 0.0) return ProjStatus::AzpBehind;
    out.a = r * std::sin(ph);
    out.b = -r * std::cos(ph) / p.v[kAzpCosGamma];
    return ProjStatus::Ok;
}

ProjStatus azp_inverse(const Projection& p, double x, double y, Point2& out) {
    const double mu = p.v[kAzpMu];
    const double yy = y * p.v[kAzpCosGamma];
    const double phi = std::atan2(x, -yy);
    const double r = std::sqrt(x * x + yy * yy) / kR2D;
    const double rho = mu + 1.0 - r * std::cos(phi) * p.v[kAzpTanGamma];
    const double d = std::sqrt(rho * rho + r * r);
    if (d < 1e-15) return ProjStatus::AzpDegenerate;
    const double s = -mu * r / d;
    if (std::fabs(s) > 1.000000001) return ProjStatus::AzpOffSphere;
    // Two latitudes share each plane radius: psi + omega and psi + 180 - omega. For mu > -1
    // the first is the one the forward projection reaches. For mu < -1 the forward reaches
    // only a cap around the native pole, down to the fold at asin(-1/mu), and the first root
    // lies beyond that fold: the answer is the larger root that is still a latitude.
    const double psi = std::atan2(rho, r);
    const double omega = std::asin(clamp_unit(s));
    double theta = psi + omega;
    if (mu < -1.0) {
        double far = psi + std::numbers::pi - omega;
        if (far > std::numbers::pi) far -= 2.0 * std::numbers::pi;
        if (far <= std::numbers::pi / 2.0 + 1e-12 && far > theta) theta = far;
    }
    // Neither root a latitude: the plane point lies outside the image of the sphere (a tilted
    // plane, gamma != 0, can reach past it).
    if (theta > std::numbers::pi / 2.0 + 1e-12) return ProjStatus::AzpOffSphere;
    out.a = phi * kR2D;
    out.b = theta * kR2D;
    return ProjStatus::Ok;
}

// --- SZP --------------------------------------------------------------------------------------

ProjStatus szp_root(const Projection& p, double X, double Y, double& t) {
    const double xp = p.v[kSzpXp];
    const double yp = p.v[kSzpYp];
    const double zp = p.v[kSzpZp];
    const double a = (X - xp) * (X - xp) + (Y - yp) * (Y - yp) + zp * zp;
    const double b = -2.0 * zp * (X * X + Y * Y - X * xp - Y * yp + zp);
    const double c = zp * zp * (X * X + Y * Y);
    const double disc = b * b - 4.0 * a * c;
    if (disc < -1e-12) return ProjStatus::SzpMiss;
    double s = std::sqrt(std::fmax(disc, 0.0));
    if (b < 0.0) s = -s;
    const double q = -(b + s) / 2.0;
    if (q == 0.0) {
        t = 0.0;
        return ProjStatus::Ok;
    }
    const auto admissible = [](double v) { return v >= -1e-9 && v <= 2.000000001; };
    const double t2 = c / q;
    bool found = false;
    double best = 0.0;
    if (admissible(t2)) {
        best = t2;
        found = true;
    }
    if (a != 0.0) {
        const double t1 = q / a;
        if (admissible(t1) && (!found || t1 < best)) {
            best = t1;
            found = true;
        }
    }
    if (!found) return ProjStatus::SzpNoRoot;
    t = best;
    return ProjStatus::Ok;
}

namespace {
double szp_theta_of(double t) {
    return 90.0 - 2.0 * std::asin(std::fmin(std::sqrt(std::fmax(t / 2.0, 0.0)), 1.0)) * kR2D;
}
}  // namespace

ProjStatus szp_forward(const Projection& p, double phi, double theta, Point2& out) {
    const double xp = p.v[kSzpXp];
    const double yp = p.v[kSzpYp];
    const double zp = p.v[kSzpZp];
    const double h = std::sin((90.0 - theta) / 2.0 * kD2R);
    const double t = 2.0 * h * h;
    const double d = zp - t;
    if (std::fabs(d) < 1e-15) return ProjStatus::SzpDenominator;
    const double th = theta * kD2R;
    const double ph = phi * kD2R;
    const double ct = std::cos(th);
    const double x = kR2D * (zp * ct * std::sin(ph) - xp * t) / d;
    const double y = -kR2D * (zp * ct * std::cos(ph) + yp * t) / d;
    // A plane point belongs to the first latitude its ray meets; a point behind it is hidden.
    double t_seen = 0.0;
    const ProjStatus st = szp_root(p, x / kR2D, y / kR2D, t_seen);
    if (st != ProjStatus::Ok) return st;
    if (std::fabs(t_seen - t) > 1e-9) {
        out.a = szp_theta_of(t_seen);
        return ProjStatus::SzpHidden;
    }
    out.a = x;
    out.b = y;
    return ProjStatus::Ok;
}

ProjStatus szp_inverse(const Projection& p, double x, double y, Point2& out) {
    const double xp = p.v[kSzpXp];
    const double yp = p.v[kSzpYp];
    const double zp = p.v[kSzpZp];
    const double X = x / kR2D;
    const double Y = y / kR2D;
    double t = 0.0;
    const ProjStatus st = szp_root(p, X, Y, t);
    if (st != ProjStatus::Ok) return st;
    t = std::fmin(std::fmax(t, 0.0), 2.0);
    out.b = szp_theta_of(t);
    if (std::sqrt(std::fmax((2.0 - t) * t, 0.0)) < 1e-15) {
        out.a = 0.0;
    } else {
        // Both arguments carry the factor zp cos(theta); with the projection point below the
        // plane (zp < 0) that factor is negative, so it is taken out to keep phi's quadrant.
        const double sgn = zp < 0.0 ? -1.0 : 1.0;
        out.a = std::atan2(sgn * (xp * t + X * (zp - t)), -sgn * (yp * t + Y * (zp - t))) * kR2D;
    }
    return ProjStatus::Ok;
}

// --- TAN, STG, ARC, ZEA -----------------------------------------------------------------------

ProjStatus tan_forward(const Projection&, double phi, double theta, Point2& out) {
    const double th = theta * kD2R;
    if (std::sin(th) <= 0.0) return ProjStatus::TanHemisphere;
    polar_to_plane(kR2D / std::tan(th), phi, out);
    return ProjStatus::Ok;
}

ProjStatus tan_inverse(const Projection&, double x, double y, Point2& out) {
    const double r2 = x * x + y * y;
    out.a = plane_phi(x, y);
    out.b = r2 == 0.0 ? 90.0 : std::atan(kR2D / std::sqrt(r2)) * kR2D;
    return ProjStatus::Ok;
}

ProjStatus stg_forward(const Projection&, double phi, double theta, Point2& out) {
    const double th = theta * kD2R;
    const double s = std::sin(th);
    if (std::fabs(1.0 + s) < 1e-15) return ProjStatus::StgSingular;
    polar_to_plane(2.0 * kR2D * std::cos(th) / (1.0 + s), phi, out);
    return ProjStatus::Ok;
}

ProjStatus stg_inverse(const Projection&, double x, double y, Point2& out) {
    const double r = std::sqrt(x * x + y * y);
    out.a = plane_phi(x, y);
    out.b = 90.0 - 2.0 * std::atan(r / (2.0 * kR2D)) * kR2D;
    return ProjStatus::Ok;
}

ProjStatus arc_forward(const Projection&, double phi, double theta, Point2& out) {
    polar_to_plane(90.0 - theta, phi, out);
    return ProjStatus::Ok;
}

ProjStatus arc_inverse(const Projection&, double x, double y, Point2& out) {
    out.a = plane_phi(x, y);
    out.b = 90.0 - std::sqrt(x * x + y * y);
    return ProjStatus::Ok;
}

ProjStatus zea_forward(const Projection&, double phi, double theta, Point2& out) {
    const double r = 2.0 * kR2D * std::fmax(std::sin((90.0 - theta) / 2.0 * kD2R), 0.0);
    polar_to_plane(r, phi, out);
    return ProjStatus::Ok;
}

ProjStatus zea_inverse(const Projection&, double x, double y, Point2& out) {
    const double u = std::sqrt(x * x + y * y) / (2.0 * kR2D);
    if (std::fabs(u) > 1.000000001) return ProjStatus::ZeaOutside;
    out.a = plane_phi(x, y);
    out.b = 90.0 - 2.0 * std::asin(std::fmin(u, 1.0)) * kR2D;
    return ProjStatus::Ok;
}

// --- SIN --------------------------------------------------------------------------------------

ProjStatus sin_forward(const Projection& p, double phi, double theta, Point2& out) {
    const double xi = p.v[kSinXi];
    const double eta = p.v[kSinEta];
    const double th = theta * kD2R;
    const double ph = phi * kD2R;
    const double st = std::sin(th);
    const double ct = std::cos(th);
    const double sp = std::sin(ph);
    const double cp = std::cos(ph);
    if (st + ct * (xi * sp - eta * cp) < 0.0) return ProjStatus::SinHemisphere;
    out.a = kR2D * (ct * sp + xi * (1.0 - st));
    out.b = -kR2D * (ct * cp - eta * (1.0 - st));
    return ProjStatus::Ok;
}

ProjStatus sin_inverse(const Projection& p, double x, double y, Point2& out) {
    const double xi = p.v[kSinXi];
    const double eta = p.v[kSinEta];
    // A NaN parameter fails both tests and takes the slant path.
    if (xi == 0.0 && eta == 0.0) {
        const double r = std::sqrt(x * x + y * y);
        if (r > 57.29577951408232) return ProjStatus::SinBeyondRadius;
        out.a = plane_phi(x, y);
        out.b = std::acos(std::fmin(r / kR2D, 1.0)) * kR2D;
        return ProjStatus::Ok;
    }
    const double X = x / kR2D;
    const double Y = y / kR2D;
    const double a = 1.0 + xi * xi + eta * eta;
    const double b = -2.0 * (1.0 + X * xi + Y * eta);
    const double c = X * X + Y * Y;
    const double disc = b * b - 4.0 * a * c;
    if (disc < -1e-12) return ProjStatus::SinOutsideDisc;
    const double sq = std::sqrt(std::fmax(disc, 0.0));
    const auto admissible = [](double v) { return v >= -1e-12 && v <= 2.000000000001; };
    double t = (-b - sq) / (2.0 * a);
    if (!admissible(t)) {
        t = (-b + sq) / (2.0 * a);
        if (!admissible(t)) return ProjStatus::SinNoRoot;
    }
    t = std::fmin(std::fmax(t, 0.0), 2.0);
    out.b = std::asin(clamp_unit(1.0 - t)) * kR2D;
    if (std::sqrt(std::fmax((2.0 - t) * t, 0.0)) < 1e-15) {
        out.a = 0.0;
    } else {
        out.a = std::atan2(X - xi * t, eta * t - Y) * kR2D;
    }
    return ProjStatus::Ok;
}

// --- ZPN --------------------------------------------------------------------------------------

ProjStatus zpn_forward(const Projection& p, double phi, double theta, Point2& out) {
    const double w = (90.0 - theta) * kD2R;
    if (w > p.v[kZpnZetaFold]) return ProjStatus::ZpnFold;
    polar_to_plane(kR2D * zpn_value(p, w), phi, out);
    return ProjStatus::Ok;
}

namespace {

// The zenith distance in [0, hi] where the polynomial reaches rho, for a polynomial monotonic
// on that interval whose ends bracket rho: Newton's method kept inside a shrinking bracket,
// bisecting whenever a step would leave it. Near the fold the slope vanishes and plain Newton
// stalls or jumps past the fold; the bracket always closes on the root.
double zpn_bracketed_root(const Projection& p, double rho, double hi, double f_lo, double start) {
    if (f_lo == 0.0) return 0.0;
    double lo = 0.0;
    double zeta = std::fmin(std::fmax(start, lo), hi);
    for (int it = 0; it < 160; ++it) {
        const double f = zpn_value(p, zeta) - rho;
        if (f == 0.0) return zeta;
        if ((f < 0.0) == (f_lo < 0.0)) {
            lo = zeta;
        } else {
            hi = zeta;
        }
        const double newton = zeta - f / zpn_slope(p, zeta);
        const double next = newton > lo && newton < hi ? newton : 0.5 * (lo + hi);
        const bool small_step = std::fabs(next - zeta) < 1e-15;
        zeta = next;
        if (small_step || hi - lo <= 0x1p-52 * hi) break;
    }
    return zeta;
}

}  // namespace

ProjStatus zpn_inverse(const Projection& p, double x, double y, Point2& out) {
    const std::size_t len = p.zpn_len;
    if (len < 2) return ProjStatus::ZpnNoConvergence;
    const double rho = std::sqrt(x * x + y * y) / kR2D;
    const double start = p.zpn[1] != 0.0 ? rho / p.zpn[1] : 1.0;
    // The invertible branch runs from the pole to the fold (or to the south pole).
    const double hi = std::fmin(p.v[kZpnZetaFold], std::numbers::pi);
    const double f_lo = p.zpn[0] - rho;
    const double f_hi = zpn_value(p, hi) - rho;
    const bool bracketed = hi > 0.0 && (f_lo <= 0.0) != (f_hi < 0.0);
    double zeta = start;
    bool converged = false;
    for (int it = 0; it < 64; ++it) {
        const double f = zpn_value(p, zeta);
        const double df = zpn_slope(p, zeta);
        if (std::fabs(df) < 1e-15) break;
        const double step = (f - rho) / df;
        zeta -= step;
        if (std::fabs(step) < 1e-13) {
            converged = true;
            break;
        }
    }
    // A radius the branch reaches has its root there; plain Newton may have stalled near the
    // fold, or settled on a root past it or below the pole (a step across the fold can land
    // on a negative root), neither of which the forward projection would map back.
    if (bracketed && !(converged && zeta >= 0.0 && zeta <= hi)) {
        zeta = zpn_bracketed_root(p, rho, hi, f_lo, start);
        converged = true;
    }
    if (!converged) return ProjStatus::ZpnNoConvergence;
    if (!std::isfinite(zeta) || zeta < -1e-9 || zeta > 3.141592654589793) {
        return ProjStatus::ZpnRange;
    }
    out.a = plane_phi(x, y);
    out.b = 90.0 - zeta * kR2D;
    return ProjStatus::Ok;
}

// --- AIR --------------------------------------------------------------------------------------

ProjStatus air_forward(const Projection& p, double phi, double theta, Point2& out) {
    if (theta <= -89.999999999999) return ProjStatus::AirSouthPole;
    const double xi = (90.0 - theta) / 2.0 * kD2R;
    if (xi > p.v[kAirXiFold]) return ProjStatus::AirFold;
    polar_to_plane(xi == 0.0 ? 0.0 : air_radius(p.v[kAirA], xi), phi, out);
    return ProjStatus::Ok;
}

ProjStatus air_inverse(const Projection& p, double x, double y, Point2& out) {
    const double r = std::sqrt(x * x + y * y);
    out.a = plane_phi(x, y);
    if (r < 1e-12) {
        out.b = 90.0;
        return ProjStatus::Ok;
    }
    if (r > p.v[kAirRMax]) return ProjStatus::AirRadius;
    const double a = p.v[kAirA];
    const double fold = p.v[kAirXiFold];
    // Newton's method kept inside a shrinking bracket, bisecting when a step leaves it.
    double xi = std::fmin(fold, std::fmax(0.0, r / ((0.5 - a) * 2.0 * kR2D)));
    double lo = 0.0;
    double hi = fold;
    for (int it = 0; it < 64; ++it) {
        const double t = std::tan(xi);
        const double t2 = t * t;
        const double lc = ln_cos(xi);
        const double f = -2.0 * kR2D * (a * t + lc / t) - r;
        const double df = 2.0 * kR2D * ((t2 + 1.0) * lc / t2 + 1.0 - a * (t2 + 1.0));
        if (f > 0.0) {
            hi = xi;
        } else {
            lo = xi;
        }
        const double newton = xi - f / df;
        const double next = (df > 0.0 && newton >= lo && newton <= hi) ? newton : (lo + hi) / 2.0;
        const bool small_step = std::fabs(next - xi) <= 0x1p-50 * next;
        xi = next;
        if (small_step || hi - lo <= 0x1p-52 * hi) break;
    }
    out.b = 90.0 - 2.0 * xi * kR2D;
    return ProjStatus::Ok;
}

}  // namespace vexlo::detail

namespace vexlo {

bool zea_forward_direction(const NativeDirection& d, Point2& out) {
    // R_theta sin(phi) with R_theta = R sqrt(2 (1 - sin theta)), through cos(theta) =
    // sqrt(1 - sin^2 theta): x = R sqrt(2 / (1 + sin theta)) cos(theta) sin(phi). In the south
    // 1 + sin theta is taken as cos^2 theta / (1 - sin theta), which does not cancel.
    const double rho2 = d.cos_sin_phi * d.cos_sin_phi + d.cos_cos_phi * d.cos_cos_phi;
    const double plus = d.sin_theta >= 0.0 ? 1.0 + d.sin_theta : rho2 / (1.0 - d.sin_theta);
    if (!(plus > 0.0)) return false;  // the native south pole: the angles decide
    const double k = detail::kR2D * std::sqrt(2.0 / plus);
    out.a = k * d.cos_sin_phi;
    out.b = -k * d.cos_cos_phi;
    return true;
}

}  // namespace vexlo
