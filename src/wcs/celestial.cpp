#include "wcs/celestial.hpp"

#include <array>
#include <cmath>
#include <numbers>

#include "units/unit.hpp"
#include "util/number.hpp"
#include "util/text.hpp"
#include "wcs/parse.hpp"

namespace vexlo {

namespace {

constexpr double kD2R = 0.017453292519943295;
constexpr double kR2D = 57.29577951308232;

// The axis type of a CTYPE, or the whole text when its first four bytes end inside a
// character; upper-cased for comparison.
std::string pair_prefix(std::string_view ctype) {
    return ascii_upper(ctype_prefix(ctype).value_or(ctype));
}

struct KnownPair {
    std::string_view lon;
    std::string_view lat;
    CelestialFrame frame;
};

constexpr std::array<KnownPair, 5> kKnownPairs = {{
    {"RA--", "DEC-", CelestialFrame::Equatorial},
    {"GLON", "GLAT", CelestialFrame::Galactic},
    {"ELON", "ELAT", CelestialFrame::Ecliptic},
    {"SLON", "SLAT", CelestialFrame::Supergalactic},
    {"HLON", "HLAT", CelestialFrame::HelioEcliptic},
}};

// Sine and cosine of an angle in degrees. Near +-90 the cosine is taken as the sine of the
// exact difference from 90 (and likewise about 180), so an angle a hair from a pole keeps the
// digits of its small cosine, and multiples of 90 give exact zeros.
double sin_deg(double d) {
    const double a = std::fabs(d);
    double s = 0.0;
    if (a > 45.0 && a <= 135.0) {
        s = std::cos((90.0 - a) * kD2R);
    } else if (a > 135.0 && a <= 225.0) {
        s = std::sin((180.0 - a) * kD2R);
    } else {
        return std::sin(d * kD2R);
    }
    return d < 0.0 ? -s : s;
}

double cos_deg(double d) {
    const double a = std::fabs(d);
    if (a > 45.0 && a <= 135.0) return std::sin((90.0 - a) * kD2R);
    if (a > 135.0 && a <= 225.0) return -std::cos((180.0 - a) * kD2R);
    return std::cos(d * kD2R);
}

// Wraps an angle in radians into (-pi, pi].
double wrap_pi(double a) {
    if (a > std::numbers::pi) return a - 2.0 * std::numbers::pi;
    if (a <= -std::numbers::pi) return a + 2.0 * std::numbers::pi;
    return a;
}

}  // namespace

std::string_view celestial_frame_name(CelestialFrame frame) {
    switch (frame) {
        case CelestialFrame::Equatorial:
            return "Equatorial";
        case CelestialFrame::Galactic:
            return "Galactic";
        case CelestialFrame::Ecliptic:
            return "Ecliptic";
        case CelestialFrame::Supergalactic:
            return "Supergalactic";
        case CelestialFrame::HelioEcliptic:
            return "HelioEcliptic";
        case CelestialFrame::Other:
            return "Other";
    }
    return "Other";
}

std::string debug_text(const CelestialPair& pair) {
    return "CelestialPair { lon: " + std::to_string(pair.lon) +
           ", lat: " + std::to_string(pair.lat) +
           ", frame: " + std::string(celestial_frame_name(pair.frame)) + " }";
}

double default_theta0(const Projection& p) {
    switch (p.code) {
        case ProjectionCode::Azp:
        case ProjectionCode::Szp:
        case ProjectionCode::Tan:
        case ProjectionCode::Stg:
        case ProjectionCode::Sin:
        case ProjectionCode::Arc:
        case ProjectionCode::Zpn:
        case ProjectionCode::Zea:
        case ProjectionCode::Air:
        case ProjectionCode::Xph:
            return 90.0;
        case ProjectionCode::Cop:
        case ProjectionCode::Coe:
        case ProjectionCode::Cod:
        case ProjectionCode::Coo:
            return p.v[0];  // theta_a
        default:
            return 0.0;
    }
}

std::optional<CelestialPair> find_celestial_pair(const std::vector<std::string>& ctypes) {
    std::vector<std::string> prefixes;
    prefixes.reserve(ctypes.size());
    for (const std::string& c : ctypes)
        prefixes.push_back(pair_prefix(c));
    const auto partner = [&](std::size_t i, std::string_view want) -> std::optional<std::size_t> {
        for (std::size_t j = 0; j < ctypes.size(); ++j) {
            if (j != i && !ctypes[j].empty() && prefixes[j] == want) return j;
        }
        return std::nullopt;
    };
    for (std::size_t i = 0; i < ctypes.size(); ++i) {
        if (ctypes[i].empty()) continue;
        for (const KnownPair& k : kKnownPairs) {
            if (prefixes[i] != k.lon) continue;
            if (auto j = partner(i, k.lat)) return CelestialPair{i, *j, k.frame};
        }
    }
    for (std::size_t i = 0; i < ctypes.size(); ++i) {
        if (ctypes[i].empty()) continue;
        const std::string& p = prefixes[i];
        bool known = false;
        for (const KnownPair& k : kKnownPairs)
            known = known || p == k.lon;
        std::string want;
        if (p.ends_with("LON") && !known) {
            want = p.substr(0, p.size() - 3) + "LAT";
        } else if (p.size() == 4 && p.ends_with("LN")) {
            want = p.substr(0, 2) + "LT";
        } else {
            continue;
        }
        if (auto j = partner(i, want)) return CelestialPair{i, *j, CelestialFrame::Other};
    }
    return std::nullopt;
}

Result<std::string> projection_code_of_ctype(std::string_view ctype) {
    const std::string quoted = "CTYPE `" + std::string(ctype) + "`";
    if (ctype.size() < 8) {
        return std::unexpected(
            Error::wcs(quoted + " is shorter than 8 chars; cannot extract projection code"));
    }
    if (!ctype_prefix(ctype) || (ctype.size() > 8 && is_utf8_continuation(ctype[8]))) {
        return std::unexpected(
            Error::wcs(quoted + " is not ASCII; cannot extract a projection code"));
    }
    if (ctype[4] != '-') {
        return std::unexpected(
            Error::wcs(quoted + " missing `-` separator before projection code"));
    }
    return std::string(ctype.substr(5, 3));
}

Result<double> celestial_unit_scale(std::string_view cunit) {
    return canonical_factor_lenient(cunit, Dimension{}.with(BaseUnit::Degree, 1.0));
}

Result<CelestialRotation> CelestialRotation::solve(double alpha0, double delta0,
                                                   std::optional<double> lonpole,
                                                   std::optional<double> latpole, double phi0,
                                                   double theta0) {
    CelestialRotation r;
    r.alpha0 = alpha0;
    r.delta0 = delta0;
    r.phi0 = phi0;
    r.theta0 = theta0;
    r.phi_p = lonpole ? *lonpole : (delta0 >= theta0 ? phi0 : phi0 + 180.0);
    if (std::fabs(theta0 - 90.0) < 1e-12) {
        r.delta_p = delta0;
        r.alpha_p = alpha0;
    } else {
        const double st0 = sin_deg(theta0);
        const double ct = cos_deg(theta0);
        const double sd = sin_deg(r.phi_p - phi0);
        const double cd = cos_deg(r.phi_p - phi0);
        const double w = std::atan2(st0, ct * cd);
        const double k = sd * ct;
        const double c = std::sqrt(1.0 - k * k);
        if (c < 1e-15)
            return std::unexpected(Error::wcs("LATPOLE indeterminate (denominator vanishes)"));
        const double sin_d0 = sin_deg(delta0);
        const double cos_d0 = cos_deg(delta0);
        const double q = sin_d0 / c;
        // Beyond rounding, no native pole puts the fiducial point at this latitude: clamping
        // would silently move the reference point elsewhere.
        if (std::fabs(q) > 1.0 + 1e-12) {
            // The bound to nine decimals: the digits beyond are rounding noise.
            const double bound = std::round(std::asin(c) * kR2D * 1e9) / 1e9;
            return std::unexpected(Error::wcs(
                "LONPOLE = " + format_real_plain(r.phi_p) +
                " leaves no native pole for a reference latitude of " + format_real_plain(delta0) +
                ": |latitude| <= " + format_real_plain(bound) + " is required"));
        }
        // acos(q) through atan2 of its sine and cosine (both times c): near a celestial pole q
        // rounds to +-1 and acos would lose every digit of the small angle, which decides the
        // native pole and with it the side of the celestial pole the image lies on.
        const double h = (cos_d0 - std::fabs(k)) * (cos_d0 + std::fabs(k));
        const double a = std::atan2(std::sqrt(std::fmax(h, 0.0)), sin_d0);
        double plus = wrap_pi(w + a);
        double minus = wrap_pi(w - a);
        // A hair from the south pole a = pi - b with b below a few spacings of doubles near
        // pi: a rounds to pi or near it, and w + a and w - a lose the b that tells the roots
        // apart (with w = pi both round to 0). As w -+ pi -+ b, formed from b itself, they
        // keep it. With LONPOLE on the fiducial meridian w -+ pi is theta0 -+ pi or -theta0,
        // free of the rounding of atan2, which is as large as b.
        if (sin_d0 < 0.0) {
            const double b = std::atan2(std::sqrt(std::fmax(h, 0.0)), -sin_d0);
            if (b < 0x1p-48) {
                double mid = w > 0.0 ? w - std::numbers::pi : w + std::numbers::pi;
                if (sd == 0.0) {
                    const double t0 = theta0 * kD2R;
                    mid =
                        cd < 0.0 ? -t0 : (t0 > 0.0 ? t0 - std::numbers::pi : t0 + std::numbers::pi);
                }
                plus = wrap_pi(mid - b);
                minus = wrap_pi(mid + b);
            }
        }
        constexpr double kBound = 1.5707963267958966;  // pi/2 + 1e-12
        const bool plus_ok = plus >= -kBound && plus <= kBound;
        const bool minus_ok = minus >= -kBound && minus <= kBound;
        if (!plus_ok && !minus_ok) {
            return std::unexpected(
                Error::wcs("LATPOLE: no valid native pole solution in [-90deg, 90deg]"));
        }
        bool take_plus = plus_ok && !minus_ok;
        if (plus_ok && minus_ok) {
            const double target = latpole ? *latpole * kD2R : std::numbers::pi / 2.0;
            const double dp = std::fabs(plus - target);
            const double dm = std::fabs(minus - target);
            // Equal distances within rounding are a tie only with the target near the middle
            // of the roots. Two roots a hair apart (a reference point a hair from a celestial
            // pole) put the native pole on opposite sides of the celestial one: there the
            // difference of the distances is their whole separation, and the nearer root is
            // the answer however small that is.
            const bool tie = std::fabs(dp - dm) <= 1e-12 * (1.0 + dp + dm) &&
                             std::fabs(dp - dm) < 0.5 * std::fabs(plus - minus);
            take_plus = !(dm <= dp || tie);
            // With the target beyond both roots the nearer is the one on its side: the two
            // distances, each rounded at the target's scale, may not keep a separation of a
            // few units in the last place.
            const double lower = std::fmin(plus, minus);
            const double upper = std::fmax(plus, minus);
            if (plus != minus && (target <= lower || target >= upper))
                take_plus = (target >= upper) == (plus > minus);
        }
        const double root = take_plus ? plus : minus;
        const double chosen =
            std::fmin(std::fmax(root, -std::numbers::pi / 2.0), std::numbers::pi / 2.0);
        r.delta_p = chosen * kR2D;
        // The longitude of the native pole from the fiducial point's two positions, as the
        // rotation itself relates them: cos(delta0) times sin and cos of (alpha0 - alpha_p).
        // No division by cos(delta_p), so a native pole at or near a celestial pole needs no
        // special case. With the fiducial point exactly at a celestial pole both arguments
        // vanish; there the longitude of the native pole is alpha0 itself, the orientation
        // that CRVAL of the longitude axis then gives the image.
        const double sin_dp = std::sin(chosen);
        const double cos_dp = std::cos(chosen);
        const bool at_pole = !(std::fabs(delta0) < 90.0);
        const double y = at_pole ? 0.0 : ct * sd;
        double x = at_pole ? 1.0 : st0 * cos_dp - ct * sin_dp * cd;
        // With the native pole on the fiducial point's meridian (y = 0) only the sign of x
        // counts. x is then sin(theta0 - delta_p) or sin(theta0 + delta_p), which is -sin(a)
        // for the root w + a and sin(a) for w - a: a reference point a hair from a celestial
        // pole leaves the sum in the rounding noise of its terms, while the root taken still
        // says on which side of the celestial pole the native one lies.
        if (!at_pole && sd == 0.0 && chosen == root) x = take_plus ? -1.0 : 1.0;
        double ap = alpha0 - std::atan2(y, x) * kR2D;
        ap = std::fmod(ap, 360.0);
        if (ap < 0.0) ap += 360.0;
        r.alpha_p = ap;
    }
    r.sin_delta_p = std::sin(r.delta_p * kD2R);
    r.cos_delta_p = std::cos(r.delta_p * kD2R);
    r.sin_phi_p = std::sin(r.phi_p * kD2R);
    r.cos_phi_p = std::cos(r.phi_p * kD2R);
    return r;
}

namespace {

// Turns a point (lon, lat) about the pole at latitude asin(sin_p) by the longitude offset d
// (radians): the longitude of the result in radians before its pole offset is added, and its
// latitude in radians. Both directions of the rotation share it.
// The latitude of a unit vector from its vertical component s and horizontal ones x, y.
double latitude_of(double s, double x, double y) {
    // Near the poles asin loses digits; the horizontal component keeps them.
    return std::fabs(s) > 0.99 ? std::copysign(std::acos(std::sqrt(x * x + y * y)), s)
                               : std::asin(s < -1.0 ? -1.0 : (s > 1.0 ? 1.0 : s));
}

Point2 rotate(double d, double lat, double sin_p, double cos_p) {
    const double cl = std::cos(lat);
    const double sl = std::sin(lat);
    const double cd = std::cos(d);
    const double s = cl * cos_p * cd + sl * sin_p;
    const double y = -cl * std::sin(d);
    const double x = sl * cos_p - cl * sin_p * cd;
    return {std::atan2(y, x), latitude_of(s, x, y)};
}

}  // namespace

Point2 CelestialRotation::native_to_celestial(double phi, double theta) const {
    const Point2 r = rotate(phi * kD2R - phi_p * kD2R, theta * kD2R, sin_delta_p, cos_delta_p);
    return {celestial_longitude(r.a), r.b * kR2D};
}

Point2 CelestialRotation::native_direction_to_celestial(const NativeDirection& d) const {
    const double cs = d.cos_sin_phi;
    const double cc = d.cos_cos_phi;
    const double sl = d.sin_theta;
    // cos(theta) times cos and sin of phi - phi_p.
    const double ccd = cc * cos_phi_p + cs * sin_phi_p;
    const double csd = cs * cos_phi_p - cc * sin_phi_p;
    const double s = ccd * cos_delta_p + sl * sin_delta_p;
    const double hy = -csd;
    const double hx = sl * cos_delta_p - ccd * sin_delta_p;
    return {celestial_longitude(std::atan2(hy, hx)), latitude_of(s, hx, hy) * kR2D};
}

Point2 CelestialRotation::tan_plane_to_celestial(double x, double y) const {
    // The native direction of plane point (x, y) is (x, -y, R) / |(x, y, R)|: no angle needed.
    const double q = 1.0 / std::sqrt(x * x + y * y + kR2D * kR2D);
    return native_direction_to_celestial({kR2D * q, x * q, -y * q});
}

namespace {

// The rotation of a celestial point into the native frame, as a direction: no native angle
// is formed. Shared by the direction forms of the projections and the gnomonic fast path.
inline NativeDirection rotate_to_native(const CelestialRotation& r, double alpha, double delta) {
    const double d = alpha * kD2R - r.alpha_p * kD2R;
    const double lat = delta * kD2R;
    const double cl = std::cos(lat);
    const double sl = std::sin(lat);
    const double cd = std::cos(d);
    const double hy = -cl * std::sin(d);
    const double hx = sl * r.cos_delta_p - cl * r.sin_delta_p * cd;
    // cos(theta) times sin and cos of phi = atan2(hy, hx) + phi_p.
    NativeDirection out;
    out.sin_theta = cl * r.cos_delta_p * cd + sl * r.sin_delta_p;
    out.cos_sin_phi = hy * r.cos_phi_p + hx * r.sin_phi_p;
    out.cos_cos_phi = hx * r.cos_phi_p - hy * r.sin_phi_p;
    return out;
}

}  // namespace

NativeDirection CelestialRotation::celestial_to_native_direction(double alpha, double delta) const {
    return rotate_to_native(*this, alpha, delta);
}

bool CelestialRotation::celestial_to_tan_plane(double alpha, double delta, Point2& plane) const {
    const NativeDirection n = rotate_to_native(*this, alpha, delta);
    if (n.sin_theta <= 0.0) return false;
    // R cot(theta) along phi.
    plane.a = kR2D * n.cos_sin_phi / n.sin_theta;
    plane.b = -kR2D * n.cos_cos_phi / n.sin_theta;
    return true;
}

double CelestialRotation::celestial_longitude(double lon_rad) const {
    double alpha = (lon_rad + alpha_p * kD2R) * kR2D;
    if (alpha >= 0.0 && alpha < 360.0) {
        // already in range
    } else if (alpha >= 360.0 && alpha < 720.0) {
        alpha -= 360.0;
    } else if (alpha >= 720.0) {
        alpha = std::fmod(alpha, 360.0);
    } else if (alpha >= -360.0 && alpha < 0.0) {
        alpha += 360.0;
    } else if (alpha < -360.0) {
        alpha = std::fmod(alpha, 360.0);
        if (alpha < 0.0) alpha += 360.0;
    }
    return alpha;
}

Point2 CelestialRotation::celestial_to_native(double alpha, double delta) const {
    const Point2 r = rotate(alpha * kD2R - alpha_p * kD2R, delta * kD2R, sin_delta_p, cos_delta_p);
    const double phi = (r.a + phi_p * kD2R) * kR2D;
    double m = std::fmod(180.0 - phi, 360.0);
    if (m < 0.0) m += 360.0;
    return {180.0 - m, r.b * kR2D};
}

Result<CelestialBlock> parse_celestial_block(const Header& header, std::string_view suffix,
                                             const CelestialPair& pair,
                                             const std::vector<std::string>& ctypes,
                                             const std::vector<double>& crvals,
                                             const std::vector<std::string>& cunits) {
    const std::string& lon_ctype = ctypes[pair.lon];
    const std::string& lat_ctype = ctypes[pair.lat];
    VEXLO_ASSIGN_OR_RETURN(const std::string lat_code, projection_code_of_ctype(lat_ctype));
    VEXLO_ASSIGN_OR_RETURN(const std::string lon_code, projection_code_of_ctype(lon_ctype));
    if (!ascii_iequal(lat_code, lon_code)) {
        return std::unexpected(
            Error::wcs("celestial CTYPE pair has mismatched projection codes: `" + lon_ctype +
                       "` vs `" + lat_ctype + "`"));
    }
    // TPV and TNX are the gnomonic plane with a distortion, ZPX the zenithal polynomial one;
    // their PV cards hold distortion terms, not projection or fiducial parameters.
    const std::string code = ascii_upper(lat_code);
    const bool tpv = code == "TPV";
    const bool tnx = code == "TNX" || code == "ZPX";
    const bool plane_only = tpv || code == "TNX";  // the plain TAN, no parameters
    const std::string sfx(suffix);
    const std::string lat_n = std::to_string(pair.lat + 1);
    const std::string lon_n = std::to_string(pair.lon + 1);
    std::array<ProjParam, 21> params{};
    for (std::size_t m = 0; m <= 20 && !plane_only; ++m) {
        const auto card = header.get("PV" + lat_n + "_" + std::to_string(m) + sfx);
        if (!card) continue;
        const std::optional<Value> v = card->value();
        if (v && v->is(Value::Kind::Integer)) {
            params[m] = static_cast<double>(v->integer);
        } else if (v && v->is(Value::Kind::Real)) {
            params[m] = v->real;
        } else {
            params[m] = 0.0;
        }
    }
    VEXLO_ASSIGN_OR_RETURN(Projection projection,
                           Projection::from_code(plane_only      ? std::string("TAN")
                                                 : code == "ZPX" ? std::string("ZPN")
                                                                 : lat_code,
                                                 params));

    const auto pv_lon = [&](int m) -> std::optional<double> {
        if (tpv || tnx) return std::nullopt;
        return header.get_f64("PV" + lon_n + "_" + std::to_string(m) + sfx);
    };
    // PV{lon}_0 is the flag that moves the plane origin to the fiducial point; without it a
    // given (phi0, theta0) changes the rotation only.
    const bool offset_flag = pv_lon(0).value_or(0.0) != 0.0;
    const std::optional<double> phi0_given = pv_lon(1);
    const std::optional<double> theta0_given = pv_lon(2);
    std::optional<double> lonpole = pv_lon(3);
    std::optional<double> latpole = pv_lon(4);
    const double phi0 = phi0_given.value_or(0.0);
    const double theta0 = theta0_given ? *theta0_given : default_theta0(projection);
    if (!(std::fabs(theta0) <= 90.0)) {
        // Not given, it is the conic's theta_a.
        const std::string key =
            theta0_given ? "PV" + lon_n + "_2" + sfx : "PV" + lat_n + "_1" + sfx;
        return std::unexpected(Error::wcs(key + " = " + format_real_plain(theta0) +
                                          ": the native latitude of the fiducial point must lie "
                                          "in [-90, 90]"));
    }
    if (auto v = header.get_f64("LONPOLE" + sfx)) lonpole = v;
    if (auto v = header.get_f64("LATPOLE" + sfx)) latpole = v;

    const auto unit_of = [&](std::size_t i) -> std::string_view {
        return i < cunits.size() ? std::string_view(cunits[i]) : std::string_view();
    };
    // The reference values are in the axis units too; the rotation works in degrees.
    VEXLO_ASSIGN_OR_RETURN(const double lon_scale, celestial_unit_scale(unit_of(pair.lon)));
    VEXLO_ASSIGN_OR_RETURN(const double lat_scale, celestial_unit_scale(unit_of(pair.lat)));
    const double delta0 = crvals[pair.lat] * lat_scale;
    // A little rounding slack for a pole given in other units.
    if (!(std::fabs(delta0) <= 90.0 + 1e-12)) {
        return std::unexpected(Error::wcs(axis_key("CRVAL", pair.lat + 1, sfx) + " = " +
                                          format_real_plain(crvals[pair.lat]) +
                                          ": a celestial latitude must lie in [-90, 90] degrees"));
    }

    VEXLO_ASSIGN_OR_RETURN(CelestialRotation rotation,
                           CelestialRotation::solve(crvals[pair.lon] * lon_scale, delta0, lonpole,
                                                    latpole, phi0, theta0));
    Point2 offset;
    if (offset_flag && (phi0_given || theta0_given)) {
        VEXLO_ASSIGN_OR_RETURN(offset, projection.forward(phi0, theta0));
    }
    CelestialBlock block;
    if (tpv) {
        VEXLO_ASSIGN_OR_RETURN(TpvTable t1,
                               TpvTable::from_pv(1, read_pv_terms(header, pair.lon + 1, sfx)));
        VEXLO_ASSIGN_OR_RETURN(TpvTable t2,
                               TpvTable::from_pv(2, read_pv_terms(header, pair.lat + 1, sfx)));
        block.tpv = Tpv{t1, t2};
    }
    if (tnx) {
        VEXLO_ASSIGN_OR_RETURN(
            block.tnx,
            Tnx::from_wat(read_wat_string(header, "WAT" + std::to_string(pair.lon + 1) + "_"),
                          read_wat_string(header, "WAT" + std::to_string(pair.lat + 1) + "_")));
    }
    const std::string lat_upper = ascii_upper(lat_ctype);
    if (lat_upper.size() > 8 && lat_upper.find("SIP", 8) != std::string::npos) {
        VEXLO_ASSIGN_OR_RETURN(Sip sip, Sip::from_header(header));
        block.sip = std::move(sip);
    }
    block.projection = projection;
    block.pair = pair;
    block.rotation = rotation;
    block.lon_scale = lon_scale;
    block.lat_scale = lat_scale;
    block.fiducial_offset = offset;
    return block;
}

}  // namespace vexlo
