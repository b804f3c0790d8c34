// The cylindrical projections CYP, CEA, CAR and MER and the pseudo-cylindricals SFL, PAR, MOL
// and AIT: x follows the native longitude, y the latitude.
#include <cmath>
#include <numbers>

#include "util/number.hpp"
#include "wcs/projection/families.hpp"

namespace vexlo::detail {

namespace {
constexpr double kMolX = 0.9003163161571062;  // 2 sqrt(2) / pi
constexpr double kMolY = 81.02846845413956;   // sqrt(2) R2D
}  // namespace

Result<void> setup_cylindrical(Projection& p, std::span<const ProjParam> params) {
    switch (p.code) {
        case ProjectionCode::Cyp: {
            // lambda defaults to 1, the value the projection's definition gives it.
            const double mu = proj_param(params, 1).value_or(1.0);
            const double lambda = proj_param(params, 2).value_or(1.0);
            if (mu + lambda == 0.0) {
                return std::unexpected(Error::wcs("CYP: mu + lambda = 0 is singular"));
            }
            p.v[kCypMu] = mu;
            p.v[kCypLambda] = lambda;
            return {};
        }
        case ProjectionCode::Cea: {
            const double lambda = proj_param(params, 1).value_or(1.0);
            if (!(lambda > 0.0 && lambda <= 1.0)) {
                return std::unexpected(Error::wcs(
                    "CEA: PV2_1 (lambda) = " + format_real_plain(lambda) + " out of (0,1]"));
            }
            p.v[kCeaLambda] = lambda;
            p.v[kCeaInvLambda] = 1.0 / lambda;
            return {};
        }
        default:
            return {};
    }
}

ProjStatus cyp_forward(const Projection& p, double phi, double theta, Point2& out) {
    const double mu = p.v[kCypMu];
    const double lambda = p.v[kCypLambda];
    const double th = theta * kD2R;
    const double d = mu + std::cos(th);
    if (d == 0.0) return ProjStatus::CypDiverges;
    out.a = lambda * phi;
    out.b = kR2D * (mu + lambda) * std::sin(th) / d;
    return ProjStatus::Ok;
}

ProjStatus cyp_inverse(const Projection& p, double x, double y, Point2& out) {
    const double mu = p.v[kCypMu];
    const double lambda = p.v[kCypLambda];
    const double eta = y / ((mu + lambda) * kR2D);
    const double s = mu * eta / std::sqrt(1.0 + eta * eta);
    if (std::fabs(s) > 1.000000001) return ProjStatus::CypRange;
    out.a = x / lambda;
    out.b = (std::atan2(eta, 1.0) + std::asin(clamp_unit(s))) * kR2D;
    return ProjStatus::Ok;
}

ProjStatus cea_forward(const Projection& p, double phi, double theta, Point2& out) {
    out.a = phi;
    out.b = kR2D * std::sin(theta * kD2R) * p.v[kCeaInvLambda];
    return ProjStatus::Ok;
}

ProjStatus cea_inverse(const Projection& p, double x, double y, Point2& out) {
    const double s = p.v[kCeaLambda] * y * kD2R;
    if (std::fabs(s) > 1.000000001) return ProjStatus::CeaRange;
    out.a = x;
    out.b = std::asin(clamp_unit(s)) * kR2D;
    return ProjStatus::Ok;
}

ProjStatus car_forward(const Projection&, double phi, double theta, Point2& out) {
    out.a = phi;
    out.b = theta;
    return ProjStatus::Ok;
}

ProjStatus car_inverse(const Projection&, double x, double y, Point2& out) {
    out.a = x;
    out.b = y;
    return ProjStatus::Ok;
}

ProjStatus mer_forward(const Projection&, double phi, double theta, Point2& out) {
    if (std::fabs(theta) >= 89.999999999999) return ProjStatus::MerDiverges;
    out.a = phi;
    out.b = kR2D * std::log(std::tan(theta * kD2R / 2.0 + 0.7853981633974483));
    return ProjStatus::Ok;
}

ProjStatus mer_inverse(const Projection&, double x, double y, Point2& out) {
    out.a = x;
    out.b = (2.0 * std::atan(std::exp(y * kD2R)) - 1.5707963267948966) * kR2D;
    return ProjStatus::Ok;
}

ProjStatus sfl_forward(const Projection&, double phi, double theta, Point2& out) {
    out.a = phi * std::cos(theta * kD2R);
    out.b = theta;
    return ProjStatus::Ok;
}

ProjStatus sfl_inverse(const Projection&, double x, double y, Point2& out) {
    const double c = std::cos(y * kD2R);
    if (c == 0.0) return ProjStatus::SflPole;
    out.a = x / c;
    out.b = y;
    return ProjStatus::Ok;
}

ProjStatus par_forward(const Projection&, double phi, double theta, Point2& out) {
    const double th = theta * kD2R;
    out.a = phi * (2.0 * std::cos(2.0 * th / 3.0) - 1.0);
    out.b = 180.0 * std::sin(th / 3.0);
    return ProjStatus::Ok;
}

ProjStatus par_inverse(const Projection&, double x, double y, Point2& out) {
    if (std::fabs(y) > 90.000000001) return ProjStatus::ParRange;
    const double theta = 3.0 * std::asin(clamp_unit(y / 180.0)) * kR2D;
    const double d = 2.0 * std::cos(2.0 * theta / 3.0 * kD2R) - 1.0;
    if (d == 0.0) return ProjStatus::ParDenominator;
    out.a = x / d;
    out.b = theta;
    return ProjStatus::Ok;
}

ProjStatus mol_forward(const Projection&, double phi, double theta, Point2& out) {
    const double th = theta * kD2R;
    const double target = std::numbers::pi * std::sin(th);
    // Newton on 2g + sin 2g = pi sin theta; near the poles it converges slowly, so the last
    // iterate stands after 32 steps.
    double g = th / 2.0;
    for (int it = 0; it < 32; ++it) {
        const double u = 2.0 * std::cos(2.0 * g) + 2.0;
        if (std::fabs(u) < 1e-15) break;
        const double d = (2.0 * g + std::sin(2.0 * g) - target) / u;
        g -= d;
        if (std::fabs(d) < 1e-13) break;
    }
    out.a = kMolX * phi * std::cos(g);
    out.b = kMolY * std::sin(g);
    return ProjStatus::Ok;
}

ProjStatus mol_inverse(const Projection&, double x, double y, Point2& out) {
    const double s = y / kMolY;
    if (std::fabs(s) > 1.000000001) return ProjStatus::MolRange;
    const double g = std::asin(clamp_unit(s));
    out.b = std::asin(clamp_unit((2.0 * g + std::sin(2.0 * g)) / std::numbers::pi)) * kR2D;
    const double c = std::cos(g);
    out.a = std::fabs(c) < 1e-15 ? 0.0 : std::numbers::pi * x / (2.8284271247461903 * c);
    return ProjStatus::Ok;
}

ProjStatus ait_forward(const Projection&, double phi, double theta, Point2& out) {
    const double th = theta * kD2R;
    const double half = phi * kD2R / 2.0;
    const double ct = std::cos(th);
    const double w = ct * std::cos(half);
    const double d = (1.0 + w) / 2.0;
    if (d == 0.0) return ProjStatus::AitDenominator;
    const double g = kR2D / std::sqrt(d);
    out.a = 2.0 * g * ct * std::sin(half);
    out.b = g * std::sin(th);
    return ProjStatus::Ok;
}

ProjStatus ait_inverse(const Projection&, double x, double y, Point2& out) {
    const double u = x / 229.1831180523293;
    const double v = y / 114.59155902616465;
    const double z2 = 1.0 - u * u - v * v;
    if (z2 < 0.0) return ProjStatus::AitOutside;
    const double z = std::sqrt(z2);
    const double f = 2.0 * z2 - 1.0;
    if (f == 0.0) return ProjStatus::AitDegenerate;
    out.b = std::asin(clamp_unit(y * z / kR2D)) * kR2D;
    out.a = 2.0 * std::atan2(x * z / 114.59155902616465, f) * kR2D;
    return ProjStatus::Ok;
}

}  // namespace vexlo::detail

namespace vexlo {

bool ait_forward_direction(const NativeDirection& d, Point2& out) {
    // cos(theta) times cos and sin of phi / 2, by the half-angle formulas on the direction;
    // each branch takes the square root where it does not cancel.
    const double hs = d.cos_sin_phi;
    const double hc = d.cos_cos_phi;
    const double rho = std::sqrt(hs * hs + hc * hc);  // cos(theta)
    double half_c = 0.0;
    double half_s = 0.0;
    if (hc >= 0.0) {
        half_c = std::sqrt(rho * (rho + hc) / 2.0);
        half_s = half_c > 0.0 ? hs * rho / (2.0 * half_c) : 0.0;
    } else {
        half_s = std::copysign(std::sqrt(rho * (rho - hc) / 2.0), hs < 0.0 ? -1.0 : 1.0);
        half_c = hs * rho / (2.0 * half_s);
    }
    const double g = detail::kR2D / std::sqrt((1.0 + half_c) / 2.0);
    out.a = 2.0 * g * half_s;
    out.b = g * d.sin_theta;
    return true;
}

bool ait_inverse_direction(double x, double y, NativeDirection& out) {
    // As the angle kernel: z, then phi / 2 = atan2(b, f) with b = x z / 2R and f = 2 z^2 - 1,
    // where sqrt(b^2 + f^2) is cos(theta); the double-angle formulas give cos(theta) times cos
    // and sin of phi without the angle.
    const double u = x / 229.1831180523293;
    const double v = y / 114.59155902616465;
    const double z2 = 1.0 - u * u - v * v;
    if (!(z2 >= 0.0)) return false;
    const double f = 2.0 * z2 - 1.0;
    if (!(f > 0.0)) return false;
    const double z = std::sqrt(z2);
    const double b = x * z / 114.59155902616465;
    const double h = std::sqrt(b * b + f * f);
    out.sin_theta = detail::clamp_unit(y * z / detail::kR2D);
    out.cos_cos_phi = (f - b) * (f + b) / h;
    out.cos_sin_phi = 2.0 * f * b / h;
    return true;
}

}  // namespace vexlo
