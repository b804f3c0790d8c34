#include "wcs/distortion/tpv.hpp"

#include <cmath>
#include <string>

namespace vexlo {

namespace {

// The first entry of each degree; the terms u^d, u^(d-1) w, ..., w^d follow in order, and the
// radial term closes the odd degrees.
constexpr std::array<int, 8> kDegreeStart = {0, 1, 4, 7, 12, 17, 24, 31};
// The last entry of each degree group, radial terms included.
constexpr std::array<int, 8> kDegreeLast = {0, 3, 6, 11, 16, 23, 30, 39};

constexpr int term_index(std::size_t i, std::size_t j) {
    return kDegreeStart[i + j] + static_cast<int>(j);
}

}  // namespace

Result<TpvTable> TpvTable::from_pv(std::uint8_t axis,
                                   const std::vector<std::pair<int, double>>& pairs) {
    if (axis != 1 && axis != 2) {
        return std::unexpected(
            Error::wcs("TPV: axis must be 1 or 2 (got " + std::to_string(axis) + ")"));
    }
    TpvTable t;
    t.axis = axis;
    t.coefficients[1] = 1.0;
    for (const auto& [m, value] : pairs) {
        if (m < 0 || m > 39) {
            return std::unexpected(Error::wcs("TPV: PV" + std::to_string(axis) + "_" +
                                              std::to_string(m) +
                                              " exceeds the 40-coefficient table"));
        }
        t.coefficients[static_cast<std::size_t>(m)] = value;
    }
    // NaN counts as present: it must reach the result rather than vanish with its group.
    const auto nonzero = [&](int m) { return !(t.coefficients[m] == 0.0); };
    for (std::size_t d = 0, first = 0; d < 8; ++d) {
        for (int m = static_cast<int>(first); m <= kDegreeLast[d]; ++m) {
            if (nonzero(m)) t.degree = d;
        }
        first = kDegreeLast[d] + 1;
    }
    t.has_radial = nonzero(3) || nonzero(11) || nonzero(23) || nonzero(39);
    return t;
}

double TpvTable::eval(double xi, double eta) const {
    const double u = axis == 1 ? xi : eta;
    const double w = axis == 1 ? eta : xi;
    const double* c = coefficients.data();
    double sum = 0.0;
    for (std::size_t i = degree + 1; i-- > 0;) {
        double inner = 0.0;
        for (std::size_t j = degree - i + 1; j-- > 0;)
            inner = inner * w + c[term_index(i, j)];
        sum = sum * u + inner;
    }
    if (has_radial) {
        const double s = u * u + w * w;
        const double r = std::sqrt(s);
        sum += (((c[39] * s + c[23]) * s + c[11]) * s + c[3]) * r;
    }
    return sum;
}

void TpvTable::eval_with_gradient(double xi, double eta, double& value, double& dxi,
                                  double& deta) const {
    const double u = axis == 1 ? xi : eta;
    const double w = axis == 1 ? eta : xi;
    const double* c = coefficients.data();
    double sum = 0.0;
    double sum_du = 0.0;
    double sum_dw = 0.0;
    for (std::size_t i = degree + 1; i-- > 0;) {
        double inner = 0.0;
        double inner_dw = 0.0;
        for (std::size_t j = degree - i + 1; j-- > 0;) {
            inner_dw = inner_dw * w + inner;
            inner = inner * w + c[term_index(i, j)];
        }
        sum_du = sum_du * u + sum;
        sum = sum * u + inner;
        sum_dw = sum_dw * u + inner_dw;
    }
    if (has_radial) {
        const double s = u * u + w * w;
        const double r = std::sqrt(s);
        sum += (((c[39] * s + c[23]) * s + c[11]) * s + c[3]) * r;
        const double r3 = r * s;
        const double k =
            7.0 * c[39] * r3 * s + 5.0 * c[23] * r3 + 3.0 * c[11] * r + (r == 0.0 ? 0.0 : c[3] / r);
        sum_du += k * u;
        sum_dw += k * w;
    }
    value = sum;
    dxi = axis == 1 ? sum_du : sum_dw;
    deta = axis == 1 ? sum_dw : sum_du;
}

NewtonStatus Tpv::inverse(double& xi, double& eta) const {
    const double t1v = xi;
    const double t2v = eta;
    const auto model = [this](double x, double y) {
        NewtonEval e;
        t1.eval_with_gradient(x, y, e.f1, e.d1u, e.d1v);
        t2.eval_with_gradient(x, y, e.f2, e.d2u, e.d2v);
        return e;
    };
    return newton_inverse(model, t1v, t2v, 1.0 + std::fabs(t1v) + std::fabs(t2v), xi, eta);
}

}  // namespace vexlo
