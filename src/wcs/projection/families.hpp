// Internal to the projections: the set-up and per-point kernels of each family, and the
// slots of Projection::v each variant uses.
#pragma once

#include <cmath>
#include <optional>
#include <span>

#include "error.hpp"
#include "wcs/projection/projection.hpp"

namespace vexlo::detail {

inline constexpr double kD2R = 0.017453292519943295;
inline constexpr double kR2D = 57.29577951308232;

// Parameter m of the list, or not given.
inline ProjParam proj_param(std::span<const ProjParam> params, std::size_t m) {
    return m < params.size() ? params[m] : std::nullopt;
}

inline double clamp_unit(double v) {
    return v < -1.0 ? -1.0 : (v > 1.0 ? 1.0 : v);
}

// --- Slots of Projection::v -------------------------------------------------------------------
// AZP: mu, gamma, cos gamma, tan gamma
inline constexpr int kAzpMu = 0, kAzpGamma = 1, kAzpCosGamma = 2, kAzpTanGamma = 3;
// SZP: mu, phi_c, theta_c, xp, yp, zp
inline constexpr int kSzpMu = 0, kSzpPhiC = 1, kSzpThetaC = 2, kSzpXp = 3, kSzpYp = 4, kSzpZp = 5;
// SIN: xi, eta
inline constexpr int kSinXi = 0, kSinEta = 1;
// ZPN: the zenith distance (radians) past which R turns over, infinite when it never does
inline constexpr int kZpnZetaFold = 0;
// AIR: theta_b, A, xi_fold (radians), R_max
inline constexpr int kAirThetaB = 0, kAirA = 1, kAirXiFold = 2, kAirRMax = 3;
// CYP: mu, lambda
inline constexpr int kCypMu = 0, kCypLambda = 1;
// CEA: lambda, 1 / lambda
inline constexpr int kCeaLambda = 0, kCeaInvLambda = 1;
// Conics: theta_a, eta, theta_1, theta_2, cone, y0, then two per-variant constants:
// COP cot theta_a, r_scale; COE gamma, q; COO psi, 1 / cone.
inline constexpr int kConThetaA = 0, kConEta = 1, kConTheta1 = 2, kConTheta2 = 3, kConCone = 4,
                     kConY0 = 5, kConExtra1 = 6, kConExtra2 = 7;
// BON: theta_1
inline constexpr int kBonTheta1 = 0;
// HPX: H, K
inline constexpr int kHpxH = 0, kHpxK = 1;

// --- Set-up -----------------------------------------------------------------------------------
Result<void> setup_zenithal(Projection& p, std::span<const ProjParam> params);
Result<void> setup_cylindrical(Projection& p, std::span<const ProjParam> params);
Result<void> setup_conic(Projection& p, std::span<const ProjParam> params);
Result<void> setup_polyconic(Projection& p, std::span<const ProjParam> params);
Result<void> setup_quadcube(Projection& p, std::span<const ProjParam> params);

// --- Kernels: (phi, theta) -> (x, y) forward, (x, y) -> (phi, theta) inverse -------------------
#define VEXLO_PROJ_KERNELS(name)                                                     \
    ProjStatus name##_forward(const Projection& p, double u, double v, Point2& out); \
    ProjStatus name##_inverse(const Projection& p, double u, double v, Point2& out);
VEXLO_PROJ_KERNELS(azp)
VEXLO_PROJ_KERNELS(szp)
VEXLO_PROJ_KERNELS(tan)
VEXLO_PROJ_KERNELS(stg)
VEXLO_PROJ_KERNELS(sin)
VEXLO_PROJ_KERNELS(arc)
VEXLO_PROJ_KERNELS(zpn)
VEXLO_PROJ_KERNELS(zea)
VEXLO_PROJ_KERNELS(air)
VEXLO_PROJ_KERNELS(cyp)
VEXLO_PROJ_KERNELS(cea)
VEXLO_PROJ_KERNELS(car)
VEXLO_PROJ_KERNELS(mer)
VEXLO_PROJ_KERNELS(sfl)
VEXLO_PROJ_KERNELS(par)
VEXLO_PROJ_KERNELS(mol)
VEXLO_PROJ_KERNELS(ait)
VEXLO_PROJ_KERNELS(cop)
VEXLO_PROJ_KERNELS(coe)
VEXLO_PROJ_KERNELS(cod)
VEXLO_PROJ_KERNELS(coo)
VEXLO_PROJ_KERNELS(bon)
VEXLO_PROJ_KERNELS(pco)
VEXLO_PROJ_KERNELS(tsc)
VEXLO_PROJ_KERNELS(csc)
VEXLO_PROJ_KERNELS(qsc)
VEXLO_PROJ_KERNELS(hpx)
VEXLO_PROJ_KERNELS(xph)
#undef VEXLO_PROJ_KERNELS

// The latitude the SZP ray through plane point (X, Y) in radians meets first, as
// t = 1 - sin(theta); shared by both directions.
ProjStatus szp_root(const Projection& p, double X, double Y, double& t);

}  // namespace vexlo::detail
