// The polyconic projections: Bonne's equal-area BON and the American polyconic PCO.
#include <cmath>

#include "util/number.hpp"
#include "wcs/projection/families.hpp"

namespace vexlo::detail {

Result<void> setup_polyconic(Projection& p, std::span<const ProjParam> params) {
    if (p.code != ProjectionCode::Bon) return {};
    const ProjParam given = proj_param(params, 1);
    if (!given) return std::unexpected(Error::wcs("BON: PV2_1 (theta_1) is required"));
    const double t1 = *given;
    if (std::fabs(t1) < 1e-12) {
        return std::unexpected(Error::wcs("BON: theta_1 = 0 -- use SFL instead"));
    }
    if (std::fabs(t1) > 90.0) {
        return std::unexpected(
            Error::wcs("BON: |theta_1| = " + format_real_plain(std::fabs(t1)) + " > 90deg"));
    }
    p.v[kBonTheta1] = t1;
    return {};
}

namespace {
inline double bon_y0(double t1) {
    return t1 + kR2D / std::tan(t1 * kD2R);
}
}  // namespace

ProjStatus bon_forward(const Projection& p, double phi, double theta, Point2& out) {
    const double y0 = bon_y0(p.v[kBonTheta1]);
    const double r = y0 - theta;
    if (std::fabs(r) < 1e-15) return ProjStatus::BonZero;
    const double a = phi * std::cos(theta * kD2R) / r;
    out.a = r * std::sin(a);
    out.b = y0 - r * std::cos(a);
    return ProjStatus::Ok;
}

ProjStatus bon_inverse(const Projection& p, double x, double y, Point2& out) {
    const double t1 = p.v[kBonTheta1];
    const double s = t1 >= 0.0 ? 1.0 : -1.0;
    const double y0 = bon_y0(t1);
    const double dy = y0 - y;
    const double r = s * std::sqrt(x * x + dy * dy);
    const double theta = y0 - r;
    const double c = std::cos(theta * kD2R);
    out.a = std::fabs(c) < 1e-15 ? 0.0 : r * std::atan2(s * x, s * dy) / c;
    out.b = theta;
    return ProjStatus::Ok;
}

ProjStatus pco_forward(const Projection&, double phi, double theta, Point2& out) {
    const double th = theta * kD2R;
    if (std::fabs(th) < 1e-12) {
        out.a = phi;
        out.b = 0.0;
        return ProjStatus::Ok;
    }
    const double st = std::sin(th);
    const double v = kR2D * std::cos(th) / st;
    const double a = phi * kD2R * st;
    out.a = v * std::sin(a);
    out.b = theta + v * (1.0 - std::cos(a));
    return ProjStatus::Ok;
}

ProjStatus pco_inverse(const Projection&, double x, double y, Point2& out) {
    const double xr = x * kD2R;
    const double yr = y * kD2R;
    if (std::fabs(xr) < 1e-15 && std::fabs(yr) < 1e-15) {
        out.a = 0.0;
        out.b = 0.0;
        return ProjStatus::Ok;
    }
    constexpr double kStartLimit = 1.5697963267948967;  // pi/2 - 0.001
    constexpr double kHalfPi = 1.5707963267948966;
    constexpr double kEdge = 1.5707963257948965;  // pi/2 - 1e-9
    double th = std::fmin(std::fmax(yr, -kStartLimit), kStartLimit);
    bool converged = false;
    for (int it = 0; it < 128; ++it) {
        const double e = yr - th;
        const double f = e * e + xr * xr;
        const double t = std::tan(th);
        const double c = std::cos(th);
        const double d = f / (c * c) - 2.0 * t * e + 2.0;
        if (std::fabs(d) < 1e-15) break;
        const double step = (f * t - 2.0 * e) / d;
        th -= step;
        if (th >= kHalfPi) th = kEdge;
        if (th <= -kHalfPi) th = -kEdge;
        if (std::fabs(step) < 1e-13) {
            converged = true;
            break;
        }
    }
    if (!converged) return ProjStatus::PcoNoConvergence;
    out.b = th * kR2D;
    if (std::fabs(th) < 1e-12) {
        out.a = x;
    } else {
        const double t = std::tan(th);
        out.a = std::atan2(xr * t, 1.0 - (yr - th) * t) / std::sin(th) * kR2D;
    }
    return ProjStatus::Ok;
}

}  // namespace vexlo::detail
