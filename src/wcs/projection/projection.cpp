#include "wcs/projection/projection.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "util/number.hpp"
#include "wcs/projection/families.hpp"

namespace vexlo {

namespace {

using namespace vexlo::detail;

constexpr std::string_view kNames[kProjectionCount] = {
    "AZP", "SZP", "TAN", "STG", "SIN", "ARC", "ZPN", "ZEA", "AIR", "CYP",
    "CEA", "CAR", "MER", "SFL", "PAR", "MOL", "AIT", "COP", "COE", "COD",
    "COO", "BON", "PCO", "TSC", "CSC", "QSC", "HPX", "XPH",
};

struct Kernels {
    ProjKernel forward;
    ProjKernel inverse;
};

// Plane points outside a projection's map have no sky position, but several inverses answer
// for them anyway: a longitude past +-180 degrees, a latitude past a pole, a point beyond an
// ellipse or between HEALPix facets that lands on some other point of the sphere. Such an
// answer is refused when it lies outside the native ranges or does not project back onto
// the plane point it came from.

// Whether a forward's answer is the plane point (x, y), to `relative` times the plane's scale.
inline bool lands_on(const Point2& back, double x, double y, double relative) {
    const double tolerance = relative * (1.0 + std::fabs(x) + std::fabs(y));
    return std::fabs(back.a - x) <= tolerance && std::fabs(back.b - y) <= tolerance;
}

template <ProjKernel Inverse, ProjKernel Forward>
ProjStatus inverse_in_range(const Projection& p, double x, double y, Point2& out) {
    const ProjStatus st = Inverse(p, x, y, out);
    if (st != ProjStatus::Ok) return st;
    constexpr double kSlack = 1e-9;
    if (std::fabs(out.a) <= 180.0 + kSlack && std::fabs(out.b) <= 90.0 + kSlack) return st;
    // Next to a pole the longitude of a plane point is ill-conditioned: a point of the map
    // within rounding of its seam can come out past +-180 by far more than any fixed slack, and
    // a cone's apex past its pole. Such a point is the seam's (or the pole's) own when the
    // nearest position in range projects back onto it to within rounding; a point off the map
    // by more than that stays refused, as with the slack above.
    if (std::isnan(out.a) || std::isnan(out.b)) return ProjStatus::OffMap;
    const Point2 edge{std::clamp(out.a, -180.0, 180.0), std::clamp(out.b, -90.0, 90.0)};
    Point2 back;
    if (Forward(p, edge.a, edge.b, back) != ProjStatus::Ok || !lands_on(back, x, y, 1e-12)) {
        return ProjStatus::OffMap;
    }
    out = edge;
    return st;
}

template <ProjKernel Inverse, ProjKernel Forward>
ProjStatus inverse_on_map(const Projection& p, double x, double y, Point2& out) {
    const ProjStatus st = inverse_in_range<Inverse, Forward>(p, x, y, out);
    if (st != ProjStatus::Ok) return st;
    Point2 back;
    // Generous next to rounding (a few ulps of the plane's scale), tiny next to a wrong point.
    if (Forward(p, out.a, out.b, back) != ProjStatus::Ok || !lands_on(back, x, y, 1e-7)) {
        return ProjStatus::OffMap;
    }
    return st;
}

// The inverse of every projection whose formulas reach beyond its map is checked as above.
// AIT, MER and COO need the range alone, and must not take the round trip: their inverses are
// exact wherever the longitude is in range (a plane point inside AIT's formula ellipse but
// outside the map's has 2 z^2 - 1 < 0, which puts the longitude past +-180 degrees; MER maps
// every y, COO every radius of the right sign), while near the pole MER and COO stretch, so a
// forward's own rounding there moves a plane point far more than any fixed tolerance.
constexpr Kernels kKernels[kProjectionCount] = {
    {azp_forward, azp_inverse},
    {szp_forward, szp_inverse},
    {tan_forward, tan_inverse},
    {stg_forward, stg_inverse},
    {sin_forward, sin_inverse},
    {arc_forward, inverse_on_map<arc_inverse, arc_forward>},
    {zpn_forward, zpn_inverse},
    {zea_forward, zea_inverse},
    {air_forward, air_inverse},
    {cyp_forward, inverse_on_map<cyp_inverse, cyp_forward>},
    {cea_forward, inverse_on_map<cea_inverse, cea_forward>},
    {car_forward, inverse_on_map<car_inverse, car_forward>},
    {mer_forward, inverse_in_range<mer_inverse, mer_forward>},
    {sfl_forward, inverse_on_map<sfl_inverse, sfl_forward>},
    {par_forward, inverse_on_map<par_inverse, par_forward>},
    {mol_forward, inverse_on_map<mol_inverse, mol_forward>},
    {ait_forward, inverse_in_range<ait_inverse, ait_forward>},
    {cop_forward, inverse_on_map<cop_inverse, cop_forward>},
    {coe_forward, inverse_on_map<coe_inverse, coe_forward>},
    {cod_forward, inverse_on_map<cod_inverse, cod_forward>},
    {coo_forward, inverse_in_range<coo_inverse, coo_forward>},
    {bon_forward, inverse_on_map<bon_inverse, bon_forward>},
    {pco_forward, inverse_on_map<pco_inverse, pco_forward>},
    {tsc_forward, tsc_inverse},
    {csc_forward, csc_inverse},
    {qsc_forward, qsc_inverse},
    {hpx_forward, inverse_on_map<hpx_inverse, hpx_forward>},
    {xph_forward, xph_inverse},
};

std::size_t index_of(ProjectionCode code) {
    return static_cast<std::size_t>(code);
}

// Upper-cases a code as Unicode does for the letters that can become ASCII: ASCII letters,
// dotless i (U+0131 -> I) and long s (U+017F -> S).
std::string upper_code(std::string_view code) {
    std::string out;
    for (std::size_t i = 0; i < code.size(); ++i) {
        const auto c = static_cast<unsigned char>(code[i]);
        if (c == 0xC4 && i + 1 < code.size() && static_cast<unsigned char>(code[i + 1]) == 0xB1) {
            out += 'I';
            ++i;
        } else if (c == 0xC5 && i + 1 < code.size() &&
                   static_cast<unsigned char>(code[i + 1]) == 0xBF) {
            out += 'S';
            ++i;
        } else {
            out += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : static_cast<char>(c);
        }
    }
    return out;
}

// Exactly six digits after the decimal point.
std::string fixed6(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
    char buf[400];
    const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, 6);
    return std::string(buf, r.ptr);
}

std::string num(double v) {
    return format_real_plain(v);
}

}  // namespace

std::string_view projection_name(ProjectionCode code) {
    return kNames[index_of(code)];
}

Result<Projection> Projection::from_code(std::string_view code, std::span<const ProjParam> params) {
    const std::string upper = upper_code(code);
    std::size_t found = kProjectionCount;
    for (std::size_t i = 0; i < kProjectionCount; ++i) {
        if (upper == kNames[i]) found = i;
    }
    if (found == kProjectionCount) {
        return std::unexpected(Error::wcs("unknown projection code `" + std::string(code) + "`"));
    }
    // No projection has a use for a NaN or infinite parameter: one would only carry NaN into
    // the constants, or past their range checks, and every point would come out wrong.
    for (std::size_t m = 0; m < params.size(); ++m) {
        if (params[m] && !std::isfinite(*params[m])) {
            return std::unexpected(Error::wcs(
                std::string(kNames[found]) + ": PV parameter " + std::to_string(m) +
                " of the latitude axis = " + format_real_plain(*params[m]) + " is not finite"));
        }
    }
    Projection p;
    p.code = static_cast<ProjectionCode>(found);
    Result<void> done;
    if (found <= index_of(ProjectionCode::Air)) {
        done = setup_zenithal(p, params);
    } else if (found <= index_of(ProjectionCode::Ait)) {
        done = setup_cylindrical(p, params);
    } else if (found <= index_of(ProjectionCode::Coo)) {
        done = setup_conic(p, params);
    } else if (found <= index_of(ProjectionCode::Pco)) {
        done = setup_polyconic(p, params);
    } else {
        done = setup_quadcube(p, params);
    }
    if (!done) return std::unexpected(std::move(done).error());
    return p;
}

ProjKernel Projection::forward_kernel() const {
    return kKernels[index_of(code)].forward;
}

ProjKernel Projection::inverse_kernel() const {
    return kKernels[index_of(code)].inverse;
}

Result<Point2> Projection::forward(double phi, double theta) const {
    Point2 out;
    const ProjStatus st = forward_kernel()(*this, phi, theta, out);
    if (st != ProjStatus::Ok) return std::unexpected(Error::wcs(fault(st, phi, theta, out)));
    return out;
}

Result<Point2> Projection::inverse(double x, double y) const {
    Point2 out;
    const ProjStatus st = inverse_kernel()(*this, x, y, out);
    if (st != ProjStatus::Ok) return std::unexpected(Error::wcs(fault(st, x, y, out)));
    return out;
}

std::string Projection::fault(ProjStatus status, double u, double v, const Point2& out) const {
    switch (status) {
        case ProjStatus::Ok:
            return "";
        case ProjStatus::AzpFold: {
            const double mu = this->v[kAzpMu];
            return "AZP: theta = " + num(v) + " is beyond the fold at asin(-1/mu) = " +
                   fixed6(std::asin(clamp_unit(-1.0 / mu)) * kR2D) + " deg for mu = " + num(mu) +
                   "; the projection is two-valued there";
        }
        case ProjStatus::AzpDenominator:
            return "AZP: denominator vanishes";
        case ProjStatus::AzpBehind:
            return "AZP: theta = " + num(v) + ", phi = " + num(u) +
                   " projects to a negative radius, i.e. behind the projection point";
        case ProjStatus::AzpDegenerate:
            return "AZP: degenerate (rho = alpha = 0)";
        case ProjStatus::AzpOffSphere:
            return "AZP: argument out of range -- point not on the sphere";
        case ProjStatus::SzpMiss:
            return "SZP: ray misses the unit sphere -- point outside the projection";
        case ProjStatus::SzpNoRoot:
            return "SZP: no admissible root";
        case ProjStatus::SzpDenominator:
            return "SZP: denominator vanishes";
        case ProjStatus::SzpHidden:
            return "SZP: theta = " + num(v) +
                   " lies on the hidden branch -- the plane point it maps to belongs to theta = " +
                   fixed6(out.a) + " deg instead";
        case ProjStatus::TanHemisphere:
            return "TAN: theta <= 0 lies in the unprojected hemisphere";
        case ProjStatus::StgSingular:
            return "STG: theta = -90deg is the singular point";
        case ProjStatus::SinHemisphere:
            return "SIN: the point lies in the unprojected hemisphere";
        case ProjStatus::SinBeyondRadius:
            return "SIN: x^2+y^2 > R_0^2";
        case ProjStatus::SinOutsideDisc:
            return "SIN: outside the projection disc";
        case ProjStatus::SinNoRoot:
            return "SIN: no admissible root";
        case ProjStatus::ZpnRange:
            return "ZPN: solved zeta out of [0, pi] -- input is outside the projection's valid "
                   "range";
        case ProjStatus::ZpnFold:
            return "ZPN: theta = " + num(v) + " lies past the fold at " +
                   fixed6(90.0 - this->v[kZpnZetaFold] * kR2D) +
                   " deg, where R turns over and stops being invertible";
        case ProjStatus::ZpnNoConvergence:
            return "ZPN: Newton iteration failed to converge (polynomial may be non-monotonic at "
                   "this point)";
        case ProjStatus::ZeaOutside:
            return "ZEA: outside disk";
        case ProjStatus::AirSouthPole:
            return "AIR: south pole maps to infinity";
        case ProjStatus::AirFold:
            return "AIR: theta = " + num(v) + " lies past the fold at " +
                   fixed6(90.0 - 2.0 * this->v[kAirXiFold] * kR2D) +
                   " deg, where R turns over and stops being invertible";
        case ProjStatus::AirRadius:
            return "AIR: R = " + num(std::sqrt(u * u + v * v)) + " exceeds " +
                   num(this->v[kAirRMax]) +
                   ", the largest radius this projection reaches before it folds";
        case ProjStatus::CypDiverges:
            return "CYP: mu + cos theta = 0 (diverges)";
        case ProjStatus::CypRange:
            return "CYP: argument out of range";
        case ProjStatus::CeaRange:
            return "CEA: |lambday| > R_0";
        case ProjStatus::MerDiverges:
            return "MER: |theta| -> 90deg diverges";
        case ProjStatus::SflPole:
            return "SFL: cos theta = 0 at the pole";
        case ProjStatus::ParRange:
            return "PAR: |y| > 90deg";
        case ProjStatus::ParDenominator:
            return "PAR: denominator = 0";
        case ProjStatus::MolRange:
            return "MOL: |y| out of range";
        case ProjStatus::AitDenominator:
            return "AIT: denominator = 0";
        case ProjStatus::AitOutside:
            return "AIT: outside the projection ellipse";
        case ProjStatus::AitDegenerate:
            return "AIT: degenerate inversion";
        case ProjStatus::CopRange: {
            const double ta = this->v[kConThetaA];
            return "COP: theta = " + num(v) + " is " + num(v - ta) +
                   " deg from theta_a = " + num(ta) +
                   "; the projection is defined only for |theta - theta_a| < 90";
        }
        case ProjStatus::CoeGamma:
            return "COE: gamma = 0 (theta_1 + theta_2 = 0)";
        case ProjStatus::CoeRange:
            return "COE: |sintheta| > 1 (outside range)";
        case ProjStatus::CooNegative:
            return "COO: R/psi < 0";
        case ProjStatus::BonZero:
            return "BON: R_theta = 0";
        case ProjStatus::PcoNoConvergence:
            return "PCO: Newton iteration failed to converge";
        case ProjStatus::CubeOutside:
            return std::string(projection_name(code)) + ": (" + num(u) + ", " + num(v) +
                   ") is outside the cube layout";
        case ProjStatus::HpxOutside:
            return "HPX: outside the projection";
        case ProjStatus::OffMap:
            return std::string(projection_name(code)) + ": plane point (" + fixed6(u) + ", " +
                   fixed6(v) + ") lies outside the projection's map";
        case ProjStatus::XphOutside:
            return "XPH: outside the projection";
    }
    return "";
}

std::vector<std::pair<std::int32_t, double>> Projection::pv_cards() const {
    std::vector<std::pair<std::int32_t, double>> out;
    switch (code) {
        case ProjectionCode::Azp:
            out = {{1, v[kAzpMu]}, {2, v[kAzpGamma]}};
            break;
        case ProjectionCode::Szp:
            out = {{1, v[kSzpMu]}, {2, v[kSzpPhiC]}, {3, v[kSzpThetaC]}};
            break;
        case ProjectionCode::Sin:
            out = {{1, v[kSinXi]}, {2, v[kSinEta]}};
            break;
        case ProjectionCode::Zpn: {
            std::size_t last = zpn_len;
            while (last > 0 && zpn[last - 1] == 0.0)
                --last;
            for (std::size_t m = 0; m < last; ++m) {
                out.emplace_back(static_cast<std::int32_t>(m), zpn[m]);
            }
            break;
        }
        case ProjectionCode::Air:
            out = {{1, v[kAirThetaB]}};
            break;
        case ProjectionCode::Cyp:
            out = {{1, v[kCypMu]}, {2, v[kCypLambda]}};
            break;
        case ProjectionCode::Cea:
            out = {{1, v[kCeaLambda]}};
            break;
        case ProjectionCode::Cop:
        case ProjectionCode::Coe:
        case ProjectionCode::Cod:
        case ProjectionCode::Coo:
            out = {{1, v[kConThetaA]}, {2, v[kConEta]}};
            break;
        case ProjectionCode::Bon:
            out = {{1, v[kBonTheta1]}};
            break;
        case ProjectionCode::Hpx:
            out = {{1, v[kHpxH]}, {2, v[kHpxK]}};
            break;
        default:
            break;
    }
    return out;
}

}  // namespace vexlo
