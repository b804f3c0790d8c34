#include "wcs/distortion/tnx.hpp"

#include <array>
#include <cmath>
#include <cstdio>
#include <new>

#include "util/cast.hpp"
#include "util/number.hpp"

namespace vexlo {

namespace {

constexpr std::uint32_t kMaxTerms = 20;

std::string_view cross_name(TnxCrossTerm c) {
    switch (c) {
        case TnxCrossTerm::Full:
            return "Full";
        case TnxCrossTerm::Half:
            return "Half";
        case TnxCrossTerm::None:
            break;
    }
    return "None";
}

// Whether the walk visits (i, j).
bool visits(TnxCrossTerm cross, std::uint32_t i, std::uint32_t j, std::uint32_t order) {
    if (j == 0) return true;
    switch (cross) {
        case TnxCrossTerm::Full:
            return true;
        case TnxCrossTerm::None:
            return i == 0;
        case TnxCrossTerm::Half:
            return i + j < order;
    }
    return false;
}

struct Tokens {
    std::string_view text;
    std::size_t pos = 0;

    std::optional<std::string_view> next() {
        const auto blank = [](char c) {
            return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r';
        };
        while (pos < text.size() && blank(text[pos]))
            ++pos;
        if (pos >= text.size()) return std::nullopt;
        const std::size_t start = pos;
        while (pos < text.size() && !blank(text[pos]))
            ++pos;
        return text.substr(start, pos - start);
    }
};

Result<double> next_number(Tokens& t, std::string_view name) {
    const std::optional<std::string_view> token = t.next();
    if (!token) return std::unexpected(Error::wcs("TNX: missing token " + std::string(name)));
    const std::optional<double> v = parse_decimal(*token);
    if (!v) {
        return std::unexpected(
            Error::wcs("TNX: bad " + std::string(name) + ": invalid float literal"));
    }
    return *v;
}

// The basis values at x and, when wanted, their derivatives.
void basis(std::uint8_t type, double x, std::uint32_t n, double* b, double* d) {
    b[0] = 1.0;
    if (d) d[0] = 0.0;
    if (n < 2) return;
    b[1] = x;
    if (d) d[1] = 1.0;
    for (std::uint32_t k = 2; k < n; ++k) {
        if (type == 0) {
            b[k] = 2.0 * x * b[k - 1] - b[k - 2];
            if (d) d[k] = 2.0 * x * d[k - 1] + 2.0 * b[k - 1] - d[k - 2];
        } else if (type == 1) {
            const double kk = k;
            b[k] = ((2.0 * kk - 1.0) * x * b[k - 1] - (kk - 1.0) * b[k - 2]) / kk;
            if (d) {
                d[k] = ((2.0 * kk - 1.0) * (x * d[k - 1] + b[k - 1]) - (kk - 1.0) * d[k - 2]) / kk;
            }
        } else {
            b[k] = b[k - 1] * x;
            if (d) d[k] = static_cast<double>(k) * b[k - 1];
        }
    }
}

}  // namespace

Result<TnxSurface> TnxSurface::parse(std::string_view text) {
    Tokens t{text};
    TnxSurface s;
    VEXLO_ASSIGN_OR_RETURN(const double ft, next_number(t, "function_type"));
    const std::int32_t type = saturating_cast<std::int32_t>(ft);
    if (type < 1 || type > 3) {
        return std::unexpected(Error::wcs("TNX: unknown function_type " + std::to_string(type)));
    }
    VEXLO_ASSIGN_OR_RETURN(const double ni_d, next_number(t, "ni"));
    VEXLO_ASSIGN_OR_RETURN(const double nj_d, next_number(t, "nj"));
    const std::int32_t ni = saturating_cast<std::int32_t>(ni_d);
    const std::int32_t nj = saturating_cast<std::int32_t>(nj_d);
    if (ni < 1 || ni > static_cast<std::int32_t>(kMaxTerms) || nj < 1 ||
        nj > static_cast<std::int32_t>(kMaxTerms)) {
        return std::unexpected(Error::wcs("TNX: implausible orders ni=" + std::to_string(ni) +
                                          ", nj=" + std::to_string(nj)));
    }
    VEXLO_ASSIGN_OR_RETURN(const double ct_d, next_number(t, "cross_term"));
    const std::int32_t cross = saturating_cast<std::int32_t>(ct_d);
    if (cross < 0 || cross > 2) {
        return std::unexpected(Error::wcs("TNX: unknown cross_term " + std::to_string(cross)));
    }
    VEXLO_ASSIGN_OR_RETURN(s.xi_min, next_number(t, "xi_min"));
    VEXLO_ASSIGN_OR_RETURN(s.xi_max, next_number(t, "xi_max"));
    VEXLO_ASSIGN_OR_RETURN(s.eta_min, next_number(t, "eta_min"));
    VEXLO_ASSIGN_OR_RETURN(s.eta_max, next_number(t, "eta_max"));
    if (!(s.xi_min < s.xi_max) || !(s.eta_min < s.eta_max)) {
        return std::unexpected(Error::wcs("TNX: degenerate normalization interval"));
    }
    s.function_type = static_cast<std::uint8_t>(type - 1);
    s.ni = static_cast<std::uint32_t>(ni);
    s.nj = static_cast<std::uint32_t>(nj);
    s.cross_term = static_cast<TnxCrossTerm>(cross);
    std::size_t found = 0;
    while (const std::optional<std::string_view> token = t.next()) {
        const std::optional<double> v = parse_decimal(*token);
        if (!v) {
            return std::unexpected(
                Error::wcs("TNX: bad coeff " + std::string(*token) + ": invalid float literal"));
        }
        // At most 400 are ever wanted; beyond that only the count matters.
        if (found < kMaxTerms * kMaxTerms) s.coefficients.push_back(*v);
        ++found;
    }
    const std::uint32_t order = std::max(s.ni, s.nj);
    std::size_t expected = 0;
    for (std::uint32_t j = 0; j < s.nj; ++j)
        for (std::uint32_t i = 0; i < s.ni; ++i)
            expected += visits(s.cross_term, i, j, order) ? 1 : 0;
    if (found != expected) {
        return std::unexpected(Error::wcs(
            "TNX: coefficient count " + std::to_string(found) + " != expected " +
            std::to_string(expected) + " for ni=" + std::to_string(s.ni) +
            ", nj=" + std::to_string(s.nj) + ", cross=" + std::string(cross_name(s.cross_term))));
    }
    return s;
}

void TnxSurface::eval_with_gradient(double xi, double eta, double& value, double& dxi,
                                    double& deta) const {
    double x = xi;
    double y = eta;
    double sx = 1.0;
    double sy = 1.0;
    if (function_type != 2) {
        x = (2.0 * xi - (xi_min + xi_max)) / (xi_max - xi_min);
        y = (2.0 * eta - (eta_min + eta_max)) / (eta_max - eta_min);
        sx = 2.0 / (xi_max - xi_min);
        sy = 2.0 / (eta_max - eta_min);
    }
    std::array<double, kMaxTerms> bx{}, by{}, dx{}, dy{};
    basis(function_type, x, ni, bx.data(), dx.data());
    basis(function_type, y, nj, by.data(), dy.data());
    const std::uint32_t order = std::max(ni, nj);
    double sum = 0.0;
    double sum_x = 0.0;
    double sum_y = 0.0;
    std::size_t k = 0;
    for (std::uint32_t j = 0; j < nj; ++j) {
        for (std::uint32_t i = 0; i < ni; ++i) {
            if (!visits(cross_term, i, j, order)) continue;
            const double c = coefficients[k++];
            sum += c * bx[i] * by[j];
            sum_x += c * dx[i] * by[j];
            sum_y += c * bx[i] * dy[j];
        }
    }
    value = sum;
    dxi = sx * sum_x;
    deta = sy * sum_y;
}

double TnxSurface::eval(double xi, double eta) const {
    double value, dxi, deta;
    eval_with_gradient(xi, eta, value, dxi, deta);
    return value;
}

namespace {

// The text between the two double quotes that follow the first `key` in `text`.
std::optional<std::string_view> wat_quoted_value(std::string_view text, std::string_view key) {
    const std::size_t at = text.find(key);
    if (at == std::string_view::npos) return std::nullopt;
    const std::size_t open = text.find('"', at + key.size());
    if (open == std::string_view::npos) return std::nullopt;
    const std::size_t close = text.find('"', open + 1);
    if (close == std::string_view::npos) return std::nullopt;
    return text.substr(open + 1, close - open - 1);
}

Result<std::optional<TnxSurface>> surface_of(const std::optional<std::string>& text,
                                             std::string_view key) {
    if (!text) return std::optional<TnxSurface>();
    const std::optional<std::string_view> body = wat_quoted_value(*text, key);
    if (!body) return std::optional<TnxSurface>();
    VEXLO_ASSIGN_OR_RETURN(TnxSurface s, TnxSurface::parse(*body));
    return std::optional<TnxSurface>(std::move(s));
}

}  // namespace

Result<std::optional<Tnx>> Tnx::from_wat(const std::optional<std::string>& lon_text,
                                         const std::optional<std::string>& lat_text) {
    Tnx tnx;
    VEXLO_ASSIGN_OR_RETURN(tnx.lngcor, surface_of(lon_text, "lngcor"));
    VEXLO_ASSIGN_OR_RETURN(tnx.latcor, surface_of(lat_text, "latcor"));
    if (!tnx.lngcor && !tnx.latcor) return std::optional<Tnx>();
    return std::optional<Tnx>(std::move(tnx));
}

void Tnx::forward(double& xi, double& eta) const {
    const double l = lngcor ? lngcor->eval(xi, eta) : 0.0;
    const double b = latcor ? latcor->eval(xi, eta) : 0.0;
    xi += l;
    eta += b;
}

NewtonStatus Tnx::inverse(double& xi, double& eta) const {
    const double t1 = xi;
    const double t2 = eta;
    const auto model = [this](double x, double y) {
        NewtonEval e{x, y, 1.0, 0.0, 0.0, 1.0};
        double v, dx, dy;
        if (lngcor) {
            lngcor->eval_with_gradient(x, y, v, dx, dy);
            e.f1 += v;
            e.d1u += dx;
            e.d1v += dy;
        }
        if (latcor) {
            latcor->eval_with_gradient(x, y, v, dx, dy);
            e.f2 += v;
            e.d2u += dx;
            e.d2v += dy;
        }
        return e;
    };
    return newton_inverse(model, t1, t2, 1.0 + std::fabs(t1) + std::fabs(t2), xi, eta);
}

std::optional<std::string> read_wat_string(const Header& header, std::string_view prefix) {
    // IRAF cuts the text into pieces of 68 characters anywhere, inside numbers too; a card
    // value loses the trailing blanks of its piece, so each is padded back before joining.
    constexpr std::size_t kPiece = 68;
    std::optional<std::string> joined;
    for (int n = 1; n <= 999; ++n) {
        char digits[4];
        std::snprintf(digits, sizeof digits, "%03d", n);
        const auto card = header.get(std::string(prefix) + digits);
        const std::optional<Value> v = card ? card->value() : std::nullopt;
        if (!v || !v->is(Value::Kind::String)) break;
        if (!joined) joined.emplace();
        *joined += v->text;
        if (v->text.size() < kPiece) joined->append(kPiece - v->text.size(), ' ');
    }
    return joined;
}

}  // namespace vexlo
