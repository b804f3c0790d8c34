#include "wcs/dss.hpp"

#include <cmath>
#include <string>

#include "util/text.hpp"

namespace vexlo {

namespace {

constexpr double kArcsecPerRadian = 206264.80624709636;
constexpr double kD2R = 0.017453292519943295;
constexpr double kR2D = 57.29577951308232;

using Matrix6 = std::array<std::array<double, 6>, 6>;

// The expanded form of one plate polynomial: m[i][j] multiplies a^i b^j, where a is the
// polynomial's own leading variable (x for the X polynomial, y for the Y one).
Matrix6 expand(const std::array<double, 20>& c) {
    Matrix6 m{};
    m[0][0] = c[2];
    m[0][1] = c[1];
    m[0][2] = c[5] + c[6];
    m[0][3] = c[10];
    m[1][0] = c[0];
    m[1][1] = c[4];
    m[1][2] = c[9] + c[11];
    m[1][4] = c[12];
    m[2][0] = c[3] + c[6];
    m[2][1] = c[8];
    m[3][0] = c[7] + c[11];
    m[3][2] = 2.0 * c[12];
    m[5][0] = c[12];
    return m;
}

// The value of m at (a, b) by Horner's rule, with its derivatives along a and b.
void eval(const Matrix6& m, double a, double b, double& value, double& da, double& db) {
    double sum = 0.0, sum_da = 0.0, sum_db = 0.0;
    for (int i = 5; i >= 0; --i) {
        double inner = 0.0, inner_db = 0.0;
        for (int j = 5; j >= 0; --j) {
            inner_db = inner_db * b + inner;
            inner = inner * b + m[i][j];
        }
        sum_da = sum_da * a + sum;
        sum = sum * a + inner;
        sum_db = sum_db * a + inner_db;
    }
    value = sum;
    da = sum_da;
    db = sum_db;
}

std::optional<double> numeric(const Header& header, const std::string& key) {
    const auto card = header.get(key);
    const std::optional<Value> v = card ? card->value() : std::nullopt;
    if (v && v->is(Value::Kind::Integer)) return static_cast<double>(v->integer);
    if (v && v->is(Value::Kind::Real)) return v->real;
    return std::nullopt;
}

Result<double> required(const Header& header, const std::string& key) {
    if (auto v = numeric(header, key)) return *v;
    return std::unexpected(Error::wcs("DSS: missing or non-numeric " + key));
}

}  // namespace

Result<std::optional<DssPlate>> DssPlate::from_header(const Header& header) {
    for (const char* key :
         {"PLTRAH", "PLTDECD", "PPO3", "PPO6", "XPIXELSZ", "YPIXELSZ", "AMDX1", "AMDY1"}) {
        const auto card = header.get(key);
        if (!card || !card->value()) return std::optional<DssPlate>();
    }
    DssPlate p;
    VEXLO_ASSIGN_OR_RETURN(const double rah, required(header, "PLTRAH"));
    const double ram = numeric(header, "PLTRAM").value_or(0.0);
    const double ras = numeric(header, "PLTRAS").value_or(0.0);
    p.plate_ra = (rah + ram / 60.0 + ras / 3600.0) * 15.0;
    VEXLO_ASSIGN_OR_RETURN(const double decd, required(header, "PLTDECD"));
    const double decm = numeric(header, "PLTDECM").value_or(0.0);
    const double decs = numeric(header, "PLTDECS").value_or(0.0);
    double sign = decd < 0.0 ? -1.0 : 1.0;
    if (const auto card = header.get("PLTDECSN")) {
        const std::optional<Value> v = card->value();
        if (v && v->is(Value::Kind::String) && trim_ws(v->text).starts_with('-')) sign = -1.0;
    }
    p.plate_dec = sign * (std::fabs(decd) + decm / 60.0 + decs / 3600.0);
    VEXLO_ASSIGN_OR_RETURN(p.ppo3, required(header, "PPO3"));
    VEXLO_ASSIGN_OR_RETURN(p.ppo6, required(header, "PPO6"));
    VEXLO_ASSIGN_OR_RETURN(p.x_pixel_size, required(header, "XPIXELSZ"));
    VEXLO_ASSIGN_OR_RETURN(p.y_pixel_size, required(header, "YPIXELSZ"));
    p.cnpix1 = numeric(header, "CNPIX1").value_or(0.0);
    p.cnpix2 = numeric(header, "CNPIX2").value_or(0.0);
    for (int n = 1; n <= 20; ++n) {
        p.amdx[n - 1] = numeric(header, "AMDX" + std::to_string(n)).value_or(0.0);
        p.amdy[n - 1] = numeric(header, "AMDY" + std::to_string(n)).value_or(0.0);
    }
    p.x_poly = expand(p.amdx);
    p.y_poly = expand(p.amdy);
    p.plate_ra_rad = p.plate_ra * kD2R;
    p.cos_dec = std::cos(p.plate_dec * kD2R);
    p.sin_dec = std::sin(p.plate_dec * kD2R);
    return std::optional<DssPlate>(p);
}

void DssPlate::pixel_to_sky(double p1, double p2, double& ra, double& dec) const {
    const double x = (ppo3 - (p1 + cnpix1 - 0.5) * x_pixel_size) / 1000.0;
    const double y = ((p2 + cnpix2 - 0.5) * y_pixel_size - ppo6) / 1000.0;
    double xi, eta, unused_a, unused_b;
    eval(x_poly, x, y, xi, unused_a, unused_b);
    eval(y_poly, y, x, eta, unused_a, unused_b);
    xi /= kArcsecPerRadian;
    eta /= kArcsecPerRadian;
    const double d = cos_dec - eta * sin_dec;
    const double alpha = std::atan2(xi, d) + plate_ra_rad;
    const double delta = std::atan2(eta * cos_dec + sin_dec, std::sqrt(xi * xi + d * d));
    ra = std::fmod(alpha * kR2D, 360.0);
    if (ra < 0.0) ra += 360.0;
    dec = delta * kR2D;
}

DssStatus DssPlate::sky_to_pixel(double ra, double dec, double& p1, double& p2,
                                 NewtonStatus& newton) const {
    const double dalpha = ra * kD2R - plate_ra_rad;
    const double delta = dec * kD2R;
    const double c = std::cos(dalpha);
    const double d = std::cos(delta) * cos_dec * c + std::sin(delta) * sin_dec;
    if (d <= 0.0) return DssStatus::BehindPlate;
    const double xi = std::sin(dalpha) * std::cos(delta) / d * kArcsecPerRadian;
    const double eta =
        (std::sin(delta) * cos_dec - std::cos(delta) * sin_dec * c) / d * kArcsecPerRadian;
    const double det = amdx[0] * amdy[0] - amdx[1] * amdy[1];
    if (std::fabs(det) < 1e-30) return DssStatus::Singular;
    double x = (amdy[0] * (xi - amdx[2]) - amdx[1] * (eta - amdy[2])) / det;
    double y = (amdx[0] * (eta - amdy[2]) - amdy[1] * (xi - amdx[2])) / det;
    const auto model = [this](double u, double v) {
        NewtonEval e;
        eval(x_poly, u, v, e.f1, e.d1u, e.d1v);
        // The Y polynomial leads with y: its derivatives come back as (d/dy, d/dx).
        eval(y_poly, v, u, e.f2, e.d2v, e.d2u);
        return e;
    };
    newton = newton_inverse(model, xi, eta, 1.0 + std::fabs(xi) + std::fabs(eta), x, y);
    if (newton != NewtonStatus::Ok) return DssStatus::Newton;
    p1 = (ppo3 - 1000.0 * x) / x_pixel_size - cnpix1 + 0.5;
    p2 = (1000.0 * y + ppo6) / y_pixel_size - cnpix2 + 0.5;
    return DssStatus::Ok;
}

std::string dss_message(DssStatus status, NewtonStatus newton) {
    switch (status) {
        case DssStatus::BehindPlate:
            return "DSS: target point is behind the plate";
        case DssStatus::Singular:
            return "DSS: linear plate matrix is singular";
        default:
            return newton_message("DSS", newton);
    }
}

}  // namespace vexlo
