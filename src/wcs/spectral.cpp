#include "wcs/spectral.hpp"

#include <cmath>
#include <limits>

#include "units/unit.hpp"
#include "util/number.hpp"
#include "util/text.hpp"
#include "wcs/parse.hpp"

namespace vexlo {

namespace {

constexpr double kC = 299792458.0;
constexpr double kH = 6.62607015e-34;
constexpr double kInvH = 1.5091901796421518e33;
constexpr double kD2R = 0.017453292519943295;
constexpr double kFourC = 1199169832.0;

// Every way a spectral conversion can fail; the messages are in fault_text.
enum Code : std::uint8_t {
    kOk = 0,
    kW1,
    kV1,
    kZ1,
    kE1,
    kB1,
    kF0,
    kF1,
    kF2,
    kF3,
    kF4,
    kL1,
    kL2,
    kRestfrq,
    kRestwav,
    kRestMissing,
    kLogCrval,
    kLogInverse,
    kDxdsZero,
    kAirPositive,
    kResonance,
    kVacuumPositive,
    kAirSolution,
    kGrismFrequency,
    kGrismEpsilon,
    kGrismDenominator,
    kGrismGammaR,
    kGrismQ,
    kGrismLambda,
    kGrismCos,
    kGrismNoParams,
};

// The relativistic Doppler relation between frequency and velocity, for the VELO type and the
// V basic variable alike.
double nu_of_beta(double n0, double beta) {
    return n0 * std::sqrt((1.0 - beta) / (1.0 + beta));
}

double velocity_of_nu(double nu, double n0) {
    const double r = (nu / n0) * (nu / n0);
    return (1.0 - r) * kC / (1.0 + r);
}

bool fail(SpectralFault& f, Code code, double a = 0.0, double b = 0.0) {
    f = {code, a, b};
    return false;
}

// The refractivity N(lambda) of air and the pieces of its derivative.
struct Refraction {
    double sigma2;
    double a1;
    double a2;
    double n_big;  // N
    double dn;     // Dn
};

Refraction refraction(double lambda) {
    const double sigma = 1.0 / (lambda * 1e6);
    Refraction r{};
    r.sigma2 = sigma * sigma;
    r.a1 = 146.0 - r.sigma2;
    r.a2 = 41.0 - r.sigma2;
    r.n_big = 64.328 + 29498.1 / r.a1 + 255.4 / r.a2;
    r.dn = 29498.1 / (r.a1 * r.a1) + 255.4 / (r.a2 * r.a2);
    return r;
}

// d(lambda n(lambda))/d lambda.
double g_prime(double lambda) {
    const Refraction r = refraction(lambda);
    return 1.0 + 1e-6 * (r.n_big - 2.0 * r.sigma2 * r.dn);
}

bool air_to_vac(double air, double& vac, SpectralFault& f) {
    if (air <= 0.0) return fail(f, kAirPositive);
    const Refraction r = refraction(air);
    if (r.a1 <= 0.001 || r.a2 <= 0.001) return fail(f, kResonance, air);
    vac = air * (((29498.1 / r.a1 + 64.328) + 255.4 / r.a2) * 1e-6 + 1.0);
    return true;
}

bool vac_to_air(double vac, double& air, SpectralFault& f) {
    if (vac <= 0.0) return fail(f, kVacuumPositive);
    const Refraction r0 = refraction(vac);
    if (r0.a1 <= 0.001 || r0.a2 <= 0.001) return fail(f, kResonance, vac);
    double lambda = vac / (1.0 + 1e-6 * r0.n_big);
    for (int step = 0; step < 8; ++step) {
        const Refraction r = refraction(lambda);
        const double g = 1.0 + 1e-6 * (r.n_big - 2.0 * r.sigma2 * r.dn);
        if (g == 0.0) break;
        const double d = ((1.0 + 1e-6 * r.n_big) * lambda - vac) / g;
        lambda -= d;
        if (std::fabs(d) <= 1e-16 * std::fabs(lambda)) break;
    }
    if (lambda <= 0.0) return fail(f, kAirSolution);
    air = lambda;
    return true;
}

char associate_letter(SpectralCtype t) {
    switch (t) {
        case SpectralCtype::Wave:
        case SpectralCtype::Vopt:
        case SpectralCtype::Zopt:
            return 'W';
        case SpectralCtype::Awav:
            return 'A';
        case SpectralCtype::Velo:
        case SpectralCtype::Beta:
            return 'V';
        default:
            return 'F';
    }
}

bool is_velocity_type(SpectralCtype t) {
    return t >= SpectralCtype::Vrad;
}

std::string_view type_name(SpectralCtype t) {
    static constexpr std::string_view kNames[] = {"Freq", "Ener", "Wavn", "Wave", "Awav",
                                                  "Vrad", "Vopt", "Zopt", "Velo", "Beta"};
    return kNames[static_cast<int>(t)];
}

std::string algorithm_debug(const std::optional<SpectralAlgorithm>& a) {
    if (!a) return "None";
    switch (a->kind) {
        case SpectralAlgorithm::Kind::Log:
            return "Some(Log)";
        case SpectralAlgorithm::Kind::Grism:
            return a->air ? "Some(Grism { air: true })" : "Some(Grism { air: false })";
        case SpectralAlgorithm::Kind::Linear:
            break;
    }
    static constexpr std::string_view kBasic[] = {"Freq", "Wave", "AirWave", "Velo"};
    return "Some(Linear(" + std::string(kBasic[static_cast<int>(a->basic)]) + "))";
}

Dimension dimension_of(SpectralCtype t) {
    const Dimension none{};
    switch (t) {
        case SpectralCtype::Freq:
            return none.with(BaseUnit::Second, -1.0);
        case SpectralCtype::Ener:
            return none.with(BaseUnit::Kilogram, 1.0)
                .with(BaseUnit::Metre, 2.0)
                .with(BaseUnit::Second, -2.0);
        case SpectralCtype::Wavn:
            return none.with(BaseUnit::Metre, -1.0);
        case SpectralCtype::Wave:
        case SpectralCtype::Awav:
            return none.with(BaseUnit::Metre, 1.0);
        case SpectralCtype::Vrad:
        case SpectralCtype::Vopt:
        case SpectralCtype::Velo:
            return none.with(BaseUnit::Metre, 1.0).with(BaseUnit::Second, -1.0);
        default:
            return none;
    }
}

// The denominator D of the grating equation.
bool grism_denominator(const GrismParams& p, double& d, SpectralFault& f) {
    const double ce = std::cos(p.epsilon * kD2R);
    if (ce == 0.0) return fail(f, kGrismEpsilon);
    d = p.g * p.m / ce - p.dn_r * std::sin(p.alpha * kD2R);
    if (d == 0.0) return fail(f, kGrismDenominator);
    return true;
}

bool grism_gamma_r(const GrismParams& p, double lambda_r, double& gamma, SpectralFault& f) {
    const double arg =
        p.g * p.m * lambda_r / std::cos(p.epsilon * kD2R) - p.n_r * std::sin(p.alpha * kD2R);
    if (std::fabs(arg) > 1.0) return fail(f, kGrismGammaR, arg);
    gamma = std::asin(arg);
    return true;
}

}  // namespace

std::optional<SpectralAlgorithm> SpectralAlgorithm::from_code(std::string_view code) {
    const std::string c = ascii_upper(trim_ws(code));
    SpectralAlgorithm a;
    if (c == "LOG") return a;
    if (c == "GRI" || c == "GRA") {
        a.kind = Kind::Grism;
        a.air = c == "GRA";
        return a;
    }
    if (c.size() != 3 || c[1] != '2') return std::nullopt;
    const auto basic = [](char x) -> std::optional<SpectralBasicType> {
        switch (x) {
            case 'F':
                return SpectralBasicType::Freq;
            case 'W':
                return SpectralBasicType::Wave;
            case 'A':
                return SpectralBasicType::AirWave;
            case 'V':
                return SpectralBasicType::Velo;
            default:
                return std::nullopt;
        }
    };
    const auto x = basic(c[0]);
    const auto p = basic(c[2]);
    if (!x || !p || c[0] == c[2]) return std::nullopt;
    a.kind = Kind::Linear;
    a.basic = *x;
    return a;
}

SpectralCtypeParse parse_spectral_ctype(std::string_view ctype) {
    SpectralCtypeParse r;
    const std::string_view t = trim_ws(ctype);
    const std::optional<std::string_view> prefix = ctype_prefix(t);
    if (!prefix || prefix->size() < 4) return r;
    const std::uint8_t code = spectral_type_code(*prefix);
    if (code > 9) return r;
    r.type = static_cast<SpectralCtype>(code);
    r.expected = associate_letter(r.type);
    std::string_view rest = t.substr(4);
    rest = trim_ws_end(rest);
    if (rest.find_first_not_of('-') == std::string_view::npos) {
        r.outcome = SpectralCtypeParse::Outcome::Spectral;
        return r;
    }
    if (rest.front() != '-') return r;
    const std::string_view code_text = trim_ws(rest.substr(1));
    if (ascii_iequal(code_text, "TAB")) return r;
    r.algorithm = SpectralAlgorithm::from_code(code_text);
    r.code = std::string(code_text);
    if (!r.algorithm) {
        r.outcome = SpectralCtypeParse::Outcome::UnknownCode;
        return r;
    }
    if (r.algorithm->kind == SpectralAlgorithm::Kind::Linear &&
        ascii_upper(code_text.substr(2, 1))[0] != r.expected) {
        r.outcome = SpectralCtypeParse::Outcome::WrongAssociate;
        r.algorithm.reset();
        return r;
    }
    r.outcome = SpectralCtypeParse::Outcome::Spectral;
    return r;
}

GrismParams read_grism_params(const Header& header, std::string_view suffix, std::size_t axis) {
    GrismParams p;
    double* fields[] = {&p.g, &p.m, &p.alpha, &p.n_r, &p.dn_r, &p.epsilon, &p.theta};
    for (int m = 0; m < 7; ++m) {
        const std::string key =
            "PV" + std::to_string(axis + 1) + "_" + std::to_string(m) + std::string(suffix);
        if (auto v = read_f64(header, key)) *fields[m] = *v;
    }
    return p;
}

Result<SpectralAxis> SpectralAxis::make(std::size_t axis, SpectralCtype type,
                                        std::optional<SpectralAlgorithm> algorithm,
                                        std::string_view cunit, double crval,
                                        std::optional<double> restfrq,
                                        std::optional<double> restwav,
                                        std::optional<GrismParams> grism) {
    SpectralAxis a;
    VEXLO_ASSIGN_OR_RETURN(a.unit_factor, canonical_factor_lenient(cunit, dimension_of(type)));
    const auto requires_rest = [&]() -> Result<void> {
        if (restfrq || restwav) return {};
        return std::unexpected(Error::wcs("spectral axis " + std::to_string(axis + 1) + " (CTYPE " +
                                          std::string(type_name(type)) + ", algorithm " +
                                          algorithm_debug(algorithm) +
                                          ") requires RESTFRQ or RESTWAV"));
    };
    if (algorithm && algorithm->kind == SpectralAlgorithm::Kind::Grism) {
        if (!grism) {
            const std::string n = std::to_string(axis + 1);
            return std::unexpected(Error::wcs("spectral axis " + n + " (-GRI/-GRA) has no PV" + n +
                                              "_m disperser parameters (Paper III Sec.5.1.3)"));
        }
        double d = 0.0;
        SpectralFault f;
        if (!grism_denominator(*grism, d, f)) {
            a.axis = axis;
            return std::unexpected(Error::wcs(a.message(f)));
        }
        if (is_velocity_type(type)) VEXLO_TRY(requires_rest());
    } else if (algorithm && algorithm->kind == SpectralAlgorithm::Kind::Linear) {
        if (is_velocity_type(type) || algorithm->basic == SpectralBasicType::Velo) {
            VEXLO_TRY(requires_rest());
        }
    }
    a.axis = axis;
    a.spectral_type = type;
    a.algorithm = algorithm;
    a.crval_si = crval * a.unit_factor;
    a.restfrq = restfrq;
    a.restwav = restwav;
    if (algorithm && algorithm->kind == SpectralAlgorithm::Kind::Grism) a.grism = grism;
    return a;
}

namespace {

// The conversions of one axis, sharing its rest frequency lookup.
struct SpectralConverter {
    const SpectralAxis& axis;
    SpectralFault& f;

    bool nu0(double& out) const {
        if (axis.restfrq) {
            if (!(std::isfinite(*axis.restfrq) && *axis.restfrq > 0.0)) return fail(f, kRestfrq);
            out = *axis.restfrq;
            return true;
        }
        if (axis.restwav) {
            if (*axis.restwav <= 0.0) return fail(f, kRestwav);
            out = kC / *axis.restwav;
            return true;
        }
        return fail(f, kRestMissing);
    }

    bool nu_from_s(double s, double& nu) const {
        double n0 = 0.0;
        switch (axis.spectral_type) {
            case SpectralCtype::Freq:
                nu = s;
                return true;
            case SpectralCtype::Ener:
                nu = s / kH;
                return true;
            case SpectralCtype::Wavn:
                nu = s * kC;
                return true;
            case SpectralCtype::Wave:
                if (s <= 0.0) return fail(f, kW1);
                nu = kC / s;
                return true;
            case SpectralCtype::Awav: {
                double vac = 0.0;
                if (!air_to_vac(s, vac, f)) return false;
                nu = kC / vac;
                return true;
            }
            case SpectralCtype::Vrad:
                if (!nu0(n0)) return false;
                nu = n0 * (1.0 - s / kC);
                return true;
            case SpectralCtype::Vopt:
                if (1.0 + s / kC <= 0.0) return fail(f, kV1);
                if (!nu0(n0)) return false;
                nu = n0 / (1.0 + s / kC);
                return true;
            case SpectralCtype::Zopt:
                if (1.0 + s <= 0.0) return fail(f, kZ1);
                if (!nu0(n0)) return false;
                nu = n0 / (1.0 + s);
                return true;
            case SpectralCtype::Velo: {
                const double beta = s / kC;
                if (std::fabs(beta) >= 1.0) return fail(f, kE1);
                if (!nu0(n0)) return false;
                nu = nu_of_beta(n0, beta);
                return true;
            }
            case SpectralCtype::Beta:
                if (std::fabs(s) >= 1.0) return fail(f, kB1);
                if (!nu0(n0)) return false;
                nu = nu_of_beta(n0, s);
                return true;
        }
        return false;
    }

    bool s_from_nu(double nu, double& s) const {
        double n0 = 0.0;
        switch (axis.spectral_type) {
            case SpectralCtype::Freq:
                s = nu;
                return true;
            case SpectralCtype::Ener:
                s = nu * kH;
                return true;
            case SpectralCtype::Wavn:
                s = nu / kC;
                return true;
            case SpectralCtype::Wave:
                if (nu <= 0.0) return fail(f, kF0);
                s = kC / nu;
                return true;
            case SpectralCtype::Awav:
                if (nu <= 0.0) return fail(f, kF0);
                return vac_to_air(kC / nu, s, f);
            case SpectralCtype::Vrad:
                if (!nu0(n0)) return false;
                s = (n0 - nu) * kC / n0;
                return true;
            case SpectralCtype::Vopt:
                if (!nu0(n0)) return false;
                if (nu <= 0.0) return fail(f, kF1);
                s = (n0 / nu - 1.0) * kC;
                return true;
            case SpectralCtype::Zopt:
                if (!nu0(n0)) return false;
                if (nu <= 0.0) return fail(f, kF2);
                s = n0 / nu - 1.0;
                return true;
            case SpectralCtype::Velo:
            case SpectralCtype::Beta: {
                if (!nu0(n0)) return false;
                if (nu <= 0.0)
                    return fail(f, axis.spectral_type == SpectralCtype::Velo ? kF3 : kF4);
                if (axis.spectral_type == SpectralCtype::Velo) {
                    s = velocity_of_nu(nu, n0);
                } else {
                    const double r = (nu / n0) * (nu / n0);
                    s = (1.0 - r) / (1.0 + r);
                }
                return true;
            }
        }
        return false;
    }

    bool dnu_ds(double nu, double& out) const {
        double n0 = 0.0;
        switch (axis.spectral_type) {
            case SpectralCtype::Freq:
                out = 1.0;
                return true;
            case SpectralCtype::Ener:
                out = kInvH;
                return true;
            case SpectralCtype::Wavn:
                out = kC;
                return true;
            case SpectralCtype::Wave: {
                const double lambda = kC / nu;
                out = -kC / (lambda * lambda);
                return true;
            }
            case SpectralCtype::Awav: {
                const double lv = kC / nu;
                double la = 0.0;
                if (!vac_to_air(lv, la, f)) return false;
                out = (-kC / (lv * lv)) * g_prime(la);
                return true;
            }
            case SpectralCtype::Vrad:
                if (!nu0(n0)) return false;
                out = n0 / (-kC);
                return true;
            case SpectralCtype::Vopt:
                if (!nu0(n0)) return false;
                out = nu * nu / (n0 * (-kC));
                return true;
            case SpectralCtype::Zopt:
                if (!nu0(n0)) return false;
                out = -nu * nu / n0;
                return true;
            case SpectralCtype::Velo:
            case SpectralCtype::Beta: {
                if (!nu0(n0)) return false;
                const double q = 1.0 + (nu / n0) * (nu / n0);
                const double k = axis.spectral_type == SpectralCtype::Velo ? -kFourC : -4.0;
                out = q * q * n0 * n0 / (k * nu);
                return true;
            }
        }
        return false;
    }

    const GrismParams* grism() const {
        if (axis.grism) return &*axis.grism;
        f = {kGrismNoParams, 0.0, 0.0};
        return nullptr;
    }

    bool grism_lambda_r(double& lambda_r) const {
        double nu_r = 0.0;
        if (!nu_from_s(axis.crval_si, nu_r)) return false;
        if (nu_r <= 0.0) return fail(f, kGrismFrequency);
        lambda_r = kC / nu_r;
        if (axis.algorithm->air) return vac_to_air(lambda_r, lambda_r, f);
        return true;
    }

    // X of the basic variable at frequency nu.
    bool x_from_nu(double nu, double& x) const {
        const SpectralAlgorithm& a = *axis.algorithm;
        if (a.kind == SpectralAlgorithm::Kind::Grism) {
            const GrismParams* p = grism();
            if (!p) return false;
            double lambda_r = 0.0, d = 0.0, gamma_r = 0.0;
            if (!grism_lambda_r(lambda_r)) return false;
            if (nu <= 0.0) return fail(f, kGrismFrequency);
            double lambda = kC / nu;
            if (a.air && !vac_to_air(lambda, lambda, f)) return false;
            if (!grism_denominator(*p, d, f)) return false;
            const double q = lambda * d - (p->n_r - p->dn_r * lambda_r) * std::sin(p->alpha * kD2R);
            if (std::fabs(q) > 1.0) return fail(f, kGrismQ, q, lambda);
            if (!grism_gamma_r(*p, lambda_r, gamma_r, f)) return false;
            x = std::tan(std::asin(q) - gamma_r - p->theta * kD2R);
            return true;
        }
        switch (a.basic) {
            case SpectralBasicType::Freq:
                x = nu;
                return true;
            case SpectralBasicType::Wave:
                x = kC / nu;
                return true;
            case SpectralBasicType::AirWave:
                return vac_to_air(kC / nu, x, f);
            case SpectralBasicType::Velo: {
                double n0 = 0.0;
                if (!nu0(n0)) return false;
                x = velocity_of_nu(nu, n0);
                return true;
            }
        }
        return false;
    }

    bool nu_from_x(double x, double& nu) const {
        const SpectralAlgorithm& a = *axis.algorithm;
        if (a.kind == SpectralAlgorithm::Kind::Grism) {
            const GrismParams* p = grism();
            if (!p) return false;
            double lambda_r = 0.0, d = 0.0, gamma_r = 0.0;
            if (!grism_lambda_r(lambda_r)) return false;
            const double ax = std::atan(x);
            if (!grism_gamma_r(*p, lambda_r, gamma_r, f)) return false;
            if (!grism_denominator(*p, d, f)) return false;
            double lambda = (std::sin(p->theta * kD2R + gamma_r + ax) +
                             std::sin(p->alpha * kD2R) * (p->n_r - p->dn_r * lambda_r)) /
                            d;
            if (a.air && !air_to_vac(lambda, lambda, f)) return false;
            if (lambda <= 0.0) return fail(f, kGrismLambda);
            nu = kC / lambda;
            return true;
        }
        switch (a.basic) {
            case SpectralBasicType::Freq:
                nu = x;
                return true;
            case SpectralBasicType::Wave:
                if (x <= 0.0) return fail(f, kL1);
                nu = kC / x;
                return true;
            case SpectralBasicType::AirWave: {
                double vac = 0.0;
                if (!air_to_vac(x, vac, f)) return false;
                nu = kC / vac;
                return true;
            }
            case SpectralBasicType::Velo: {
                const double beta = x / kC;
                if (std::fabs(beta) >= 1.0) return fail(f, kL2);
                double n0 = 0.0;
                if (!nu0(n0)) return false;
                nu = nu_of_beta(n0, beta);
                return true;
            }
        }
        return false;
    }

    bool dx_dnu(double nu, double& out) const {
        const SpectralAlgorithm& a = *axis.algorithm;
        if (a.kind == SpectralAlgorithm::Kind::Grism) {
            const GrismParams* p = grism();
            if (!p) return false;
            double lambda_r = 0.0, d = 0.0, gamma_r = 0.0;
            if (!grism_lambda_r(lambda_r)) return false;
            if (!grism_gamma_r(*p, lambda_r, gamma_r, f)) return false;
            const double ct = std::cos(p->theta * kD2R);
            const double denom = std::cos(gamma_r) * ct * ct;
            if (denom == 0.0) return fail(f, kGrismCos);
            if (!grism_denominator(*p, d, f)) return false;
            double dl = -kC / (nu * nu);
            if (a.air) dl /= g_prime(lambda_r);
            out = dl * d / denom;
            return true;
        }
        switch (a.basic) {
            case SpectralBasicType::Freq:
                out = 1.0;
                return true;
            case SpectralBasicType::Wave:
                out = -kC / (nu * nu);
                return true;
            case SpectralBasicType::AirWave: {
                double la = 0.0;
                if (!vac_to_air(kC / nu, la, f)) return false;
                out = (-kC / (nu * nu)) / g_prime(la);
                return true;
            }
            case SpectralBasicType::Velo: {
                double n0 = 0.0;
                if (!nu0(n0)) return false;
                const double q = 1.0 + (nu / n0) * (nu / n0);
                out = -kFourC * nu / (n0 * n0 * q * q);
                return true;
            }
        }
        return false;
    }

    // nu_r, X_r and k = dX/dS at the reference.
    bool reference(double& x_r, double& k) const {
        double nu_r = 0.0, a = 0.0, b = 0.0;
        if (!nu_from_s(axis.crval_si, nu_r)) return false;
        if (!x_from_nu(nu_r, x_r)) return false;
        if (!dx_dnu(nu_r, a) || !dnu_ds(nu_r, b)) return false;
        k = a * b;
        return true;
    }
};

}  // namespace

bool SpectralAxis::forward(double x, double& s, SpectralFault& fault) const {
    const double w = x * unit_factor;
    const double sr = crval_si;
    double si = 0.0;
    if (!algorithm) {
        si = w + sr;
    } else if (algorithm->kind == SpectralAlgorithm::Kind::Log) {
        if (sr == 0.0) return fail(fault, kLogCrval);
        si = sr * std::exp(w / sr);
    } else {
        const SpectralConverter c{*this, fault};
        double x_r = 0.0, k = 0.0, nu = 0.0;
        if (!c.reference(x_r, k)) return false;
        if (!c.nu_from_x(x_r + w * k, nu)) return false;
        if (!c.s_from_nu(nu, si)) return false;
    }
    s = si / unit_factor;
    return true;
}

bool SpectralAxis::inverse(double s, double& x, SpectralFault& fault) const {
    const double s_si = s * unit_factor;
    const double sr = crval_si;
    double w = 0.0;
    if (!algorithm) {
        w = s_si - sr;
    } else if (algorithm->kind == SpectralAlgorithm::Kind::Log) {
        if (sr == 0.0 || s_si / sr <= 0.0) return fail(fault, kLogInverse);
        w = sr * std::log(s_si / sr);
    } else {
        const SpectralConverter c{*this, fault};
        double x_r = 0.0, k = 0.0, nu = 0.0, xv = 0.0;
        if (!c.reference(x_r, k)) return false;
        if (k == 0.0) return fail(fault, kDxdsZero);
        if (!c.nu_from_s(s_si, nu) || !c.x_from_nu(nu, xv)) return false;
        w = (xv - x_r) / k;
    }
    x = w / unit_factor;
    return true;
}

std::string SpectralAxis::message(const SpectralFault& f) const {
    const std::string resonance =
        "m is at or below the refractivity resonances (0.156 um); the "
        "relation is defined for lambda > 200 nm";
    switch (f.code) {
        case kW1:
            return "spectral: wavelength must be positive";
        case kV1:
            return "spectral VOPT: v must be > -c";
        case kZ1:
            return "spectral ZOPT: z must be > -1";
        case kE1:
            return "spectral VELO: |v| must be < c";
        case kB1:
            return "spectral BETA: |beta| must be < 1";
        case kF0:
            return "spectral: frequency must be positive";
        case kF1:
            return "spectral VOPT: frequency must be positive";
        case kF2:
            return "spectral ZOPT: frequency must be positive";
        case kF3:
            return "spectral VELO: frequency must be positive";
        case kF4:
            return "spectral BETA: frequency must be positive";
        case kL1:
            return "spectral: linearized wavelength must be positive";
        case kL2:
            return "spectral: linearized |v| must be < c";
        case kRestfrq:
            return "RESTFRQ must be positive";
        case kRestwav:
            return "RESTWAV must be positive";
        case kRestMissing:
            return "spectral: RESTFRQ or RESTWAV required for this transform";
        case kLogCrval:
            return "spectral -LOG axis: CRVAL must be non-zero";
        case kLogInverse:
            return "spectral -LOG inverse: CRVAL and S must be non-zero and share a sign";
        case kDxdsZero:
            return "spectral inverse: dX/dS at reference is zero";
        case kAirPositive:
            return "spectral: air wavelength must be positive";
        case kResonance:
            return "spectral: air wavelength " + format_real_plain(f.a) + " " + resonance;
        case kVacuumPositive:
            return "spectral: vacuum wavelength must be positive";
        case kAirSolution:
            return "spectral: air wavelength solution is not positive";
        case kGrismFrequency:
            return "grism: frequency must be positive";
        case kGrismEpsilon:
            return "grism: PVk_5 (epsilon) = +/-90 deg leaves G*m/cos(epsilon) undefined";
        case kGrismDenominator:
            return "grism: G*m/cos(epsilon) - n'_r sin(alpha) is zero (Paper III eq. 15 requires "
                   "a non-zero denominator)";
        case kGrismGammaR:
            return "grism: sin(gamma_r) = " + format_real_plain(f.a) +
                   " is out of range -- the disperser parameters and the reference wavelength "
                   "are inconsistent (Paper III eq. 16)";
        case kGrismQ:
            return "grism: sin(gamma) = " + format_real_plain(f.a) +
                   " is out of range -- wavelength " + format_real_plain(f.b) +
                   " m is outside the disperser's domain";
        case kGrismLambda:
            return "grism: solved wavelength is not positive -- outside the disperser's domain";
        case kGrismCos:
            return "grism: cos(gamma_r) cos^2(theta) is zero, so dGamma/dlambda diverges";
        case kGrismNoParams:
            return "spectral axis " + std::to_string(axis + 1) +
                   ": -GRI/-GRA without disperser parameters";
        default:
            return "spectral: conversion failed";
    }
}

Result<double> SpectralAxis::forward(double x) const {
    SpectralFault f;
    double s = 0.0;
    if (!forward(x, s, f)) return std::unexpected(Error::wcs(message(f)));
    return s;
}

Result<double> SpectralAxis::inverse(double s) const {
    SpectralFault f;
    double x = 0.0;
    if (!inverse(s, x, f)) return std::unexpected(Error::wcs(message(f)));
    return x;
}

Result<double> SpectralAxis::rest_frequency() const {
    SpectralFault f;
    double n0 = 0.0;
    if (!SpectralConverter{*this, f}.nu0(n0)) return std::unexpected(Error::wcs(message(f)));
    return n0;
}

Result<double> air_to_vacuum(double air) {
    SpectralFault f;
    double vac = 0.0;
    if (!air_to_vac(air, vac, f)) return std::unexpected(Error::wcs(SpectralAxis{}.message(f)));
    return vac;
}

Result<double> vacuum_to_air(double vacuum) {
    SpectralFault f;
    double air = 0.0;
    if (!vac_to_air(vacuum, air, f)) return std::unexpected(Error::wcs(SpectralAxis{}.message(f)));
    return air;
}

}  // namespace vexlo
