// The conic projections COP, COE, COD and COO: a cone cut at the standard parallels
// theta_a -/+ eta, unrolled so that parallels become circles about (0, y0).
#include <cmath>

#include "util/number.hpp"
#include "wcs/projection/families.hpp"

namespace vexlo::detail {

namespace {

inline double sign_of(double a) {
    return a >= 0.0 ? 1.0 : -1.0;
}

// Places radius r at the cone angle of phi.
inline void cone_to_plane(const Projection& p, double r, double phi, Point2& out) {
    const double a = p.v[kConCone] * phi * kD2R;
    out.a = r * std::sin(a);
    out.b = p.v[kConY0] - r * std::cos(a);
}

// The signed radius about (0, y0) and the native longitude of a plane point.
struct ConePolar {
    double r;
    double phi;
};

inline ConePolar plane_to_cone(const Projection& p, double x, double y) {
    const double s = sign_of(p.v[kConThetaA]);
    const double dy = p.v[kConY0] - y;
    return {s * std::sqrt(x * x + dy * dy), std::atan2(s * x, s * dy) / p.v[kConCone] * kR2D};
}

}  // namespace

Result<void> setup_conic(Projection& p, std::span<const ProjParam> params) {
    const ProjParam given_a = proj_param(params, 1);
    if (!given_a) return std::unexpected(Error::wcs("conic projection requires PV2_1 (theta_a)"));
    const double ta = *given_a;
    const double eta = proj_param(params, 2).value_or(0.0);
    if (std::fabs(ta) > 90.0) {
        return std::unexpected(Error::wcs(
            "conic: |PV2_1 (theta_a)| = " + format_real_plain(std::fabs(ta)) + " > 90deg"));
    }
    if (ta - eta < -90.0 || ta + eta > 90.0) {
        return std::unexpected(Error::wcs("conic: theta_a +/- eta falls outside [-90deg, 90deg]"));
    }
    // Every conic divides by its cone constant, which vanishes with theta_a.
    if (std::fabs(ta) < 1e-12) {
        return std::unexpected(
            Error::wcs(std::string(projection_name(p.code)) + ": theta_a = 0 is singular"));
    }
    if (p.code == ProjectionCode::Coo && std::fabs(ta) >= 89.999999999999) {
        return std::unexpected(Error::wcs("COO: |theta_a| = 90deg (cone degenerates to a plane)"));
    }
    const double t1 = ta - eta;
    const double t2 = ta + eta;
    const double tar = ta * kD2R;
    p.v[kConThetaA] = ta;
    p.v[kConEta] = eta;
    p.v[kConTheta1] = t1;
    p.v[kConTheta2] = t2;
    switch (p.code) {
        case ProjectionCode::Cop: {
            const double r_scale = kR2D * std::cos(eta * kD2R);
            p.v[kConCone] = std::sin(tar);
            p.v[kConExtra1] = 1.0 / std::tan(tar);
            p.v[kConExtra2] = r_scale;
            p.v[kConY0] = r_scale / std::tan(tar);
            break;
        }
        case ProjectionCode::Coe: {
            const double s1 = std::sin(t1 * kD2R);
            const double s2 = std::sin(t2 * kD2R);
            const double gamma = s1 + s2;
            const double cone = gamma * 0.5;
            const double q = 1.0 + s1 * s2;
            p.v[kConCone] = cone;
            p.v[kConExtra1] = gamma;
            p.v[kConExtra2] = q;
            p.v[kConY0] = std::sqrt(std::fmax(q - gamma * std::sin(tar), 0.0)) * kR2D / cone;
            break;
        }
        case ProjectionCode::Cod: {
            const double er = eta * kD2R;
            double cone = std::sin(tar);
            double k = kR2D;
            if (std::fabs(er) >= 1e-12) {
                cone = std::sin(tar) * std::sin(er) / er;
                k = eta * std::cos(er) / std::sin(er);
            }
            p.v[kConCone] = cone;
            p.v[kConY0] = k / std::tan(tar);
            break;
        }
        default: {  // COO
            const double t1r = t1 * kD2R;
            const double t2r = t2 * kD2R;
            const double half_pi = 1.5707963267948966;
            double cone = std::sin(tar);
            if (std::fabs(eta) >= 1e-12) {
                cone = std::log(std::cos(t2r) / std::cos(t1r)) /
                       std::log(std::tan((half_pi - t2r) / 2.0) / std::tan((half_pi - t1r) / 2.0));
            }
            const double psi =
                kR2D * std::cos(t1r) / (cone * std::pow(std::tan((half_pi - t1r) / 2.0), cone));
            p.v[kConCone] = cone;
            p.v[kConExtra1] = psi;
            p.v[kConExtra2] = 1.0 / cone;
            p.v[kConY0] = psi * std::pow(std::tan((half_pi - tar) / 2.0), cone);
            break;
        }
    }
    return {};
}

ProjStatus cop_forward(const Projection& p, double phi, double theta, Point2& out) {
    const double t = theta - p.v[kConThetaA];
    if (std::fabs(t) >= 90.0) return ProjStatus::CopRange;
    const double r = p.v[kConExtra2] * (p.v[kConExtra1] - std::tan(t * kD2R));
    cone_to_plane(p, r, phi, out);
    return ProjStatus::Ok;
}

ProjStatus cop_inverse(const Projection& p, double x, double y, Point2& out) {
    const ConePolar c = plane_to_cone(p, x, y);
    out.a = c.phi;
    out.b = p.v[kConThetaA] + std::atan(p.v[kConExtra1] - c.r / p.v[kConExtra2]) * kR2D;
    return ProjStatus::Ok;
}

ProjStatus coe_forward(const Projection& p, double phi, double theta, Point2& out) {
    const double r =
        std::sqrt(std::fmax(0.0, p.v[kConExtra2] - p.v[kConExtra1] * std::sin(theta * kD2R))) *
        kR2D / p.v[kConCone];
    cone_to_plane(p, r, phi, out);
    return ProjStatus::Ok;
}

ProjStatus coe_inverse(const Projection& p, double x, double y, Point2& out) {
    const ConePolar c = plane_to_cone(p, x, y);
    const double gamma = p.v[kConExtra1];
    const double cone = p.v[kConCone];
    if (std::fabs(gamma) < 1e-15) return ProjStatus::CoeGamma;
    const double rc = c.r * cone / kR2D;
    const double w = (p.v[kConExtra2] - rc * rc) / gamma;
    if (std::fabs(w) > 1.000000001) return ProjStatus::CoeRange;
    out.a = c.phi;
    out.b = std::asin(clamp_unit(w)) * kR2D;
    return ProjStatus::Ok;
}

ProjStatus cod_forward(const Projection& p, double phi, double theta, Point2& out) {
    cone_to_plane(p, p.v[kConY0] - (theta - p.v[kConThetaA]), phi, out);
    return ProjStatus::Ok;
}

ProjStatus cod_inverse(const Projection& p, double x, double y, Point2& out) {
    const ConePolar c = plane_to_cone(p, x, y);
    out.a = c.phi;
    out.b = p.v[kConY0] - c.r + p.v[kConThetaA];
    return ProjStatus::Ok;
}

ProjStatus coo_forward(const Projection& p, double phi, double theta, Point2& out) {
    const double r = p.v[kConExtra1] *
                     std::pow(std::tan((1.5707963267948966 - theta * kD2R) / 2.0), p.v[kConCone]);
    cone_to_plane(p, r, phi, out);
    return ProjStatus::Ok;
}

ProjStatus coo_inverse(const Projection& p, double x, double y, Point2& out) {
    const ConePolar c = plane_to_cone(p, x, y);
    if (c.r == 0.0) {
        out.a = c.phi;
        out.b = p.v[kConCone] > 0.0 ? 90.0 : -90.0;
        return ProjStatus::Ok;
    }
    const double t = c.r / p.v[kConExtra1];
    if (t < 0.0) return ProjStatus::CooNegative;
    out.a = c.phi;
    out.b = 90.0 - 2.0 * std::atan(std::pow(t, p.v[kConExtra2])) * kR2D;
    return ProjStatus::Ok;
}

}  // namespace vexlo::detail
