#include "wcs/distortion/sip.hpp"

#include <cmath>
#include <new>
#include <string>
#include <type_traits>

namespace vexlo {

Result<SipPolynomial> SipPolynomial::from_terms(std::uint32_t order,
                                                const std::vector<SipTerm>& terms) {
    if (order > kSipMaxOrder) {
        return std::unexpected(Error::wcs("SIP: order " + std::to_string(order) +
                                          " exceeds maximum " + std::to_string(kSipMaxOrder)));
    }
    SipPolynomial poly;
    poly.order = order;
    const std::size_t side = order + 1;
    try {
        poly.coefficients.assign(side * side, 0.0);
    } catch (const std::bad_alloc&) {
        return std::unexpected(
            Error::out_of_memory(Error::wcs("SIP: cannot allocate the coefficient table")));
    }
    for (const SipTerm& t : terms) {
        if (std::uint64_t{t.p} + t.q > order) {
            return std::unexpected(Error::wcs("SIP: term (" + std::to_string(t.p) + "," +
                                              std::to_string(t.q) + ") exceeds declared order " +
                                              std::to_string(order)));
        }
        poly.coefficients[side * t.p + t.q] = t.value;
    }
    return poly;
}

namespace {

// Horner's rule in v inside each power of u, then in u, with the exact derivatives alongside.
// `Side` is the order plus one, either a run-time size or a compile-time constant: the usual
// orders get unrolled loops with the same operations in the same order.
template <class Side>
double horner(const double* c, Side side, double u, double v) {
    const std::size_t n = side;
    double sum = 0.0;
    for (std::size_t p = n; p-- > 0;) {
        const double* row = c + n * p;
        double inner = 0.0;
        for (std::size_t q = n - p; q-- > 0;)
            inner = inner * v + row[q];
        sum = sum * u + inner;
    }
    return sum;
}

template <class Side>
void horner_gradient(const double* c, Side side, double u, double v, double& value, double& du,
                     double& dv) {
    const std::size_t n = side;
    double sum = 0.0;
    double sum_du = 0.0;
    double sum_dv = 0.0;
    for (std::size_t p = n; p-- > 0;) {
        const double* row = c + n * p;
        double inner = 0.0;
        double inner_dv = 0.0;
        for (std::size_t q = n - p; q-- > 0;) {
            inner_dv = inner_dv * v + inner;
            inner = inner * v + row[q];
        }
        sum_du = sum_du * u + sum;
        sum = sum * u + inner;
        sum_dv = sum_dv * u + inner_dv;
    }
    value = sum;
    du = sum_du;
    dv = sum_dv;
}

template <std::size_t N>
using Fixed = std::integral_constant<std::size_t, N>;

}  // namespace

double SipPolynomial::eval(double u, double v) const {
    const double* c = coefficients.data();
    switch (order + 1) {
        case 3:
            return horner(c, Fixed<3>{}, u, v);
        case 4:
            return horner(c, Fixed<4>{}, u, v);
        case 5:
            return horner(c, Fixed<5>{}, u, v);
        case 6:
            return horner(c, Fixed<6>{}, u, v);
        default:
            return horner(c, std::size_t{order + 1}, u, v);
    }
}

void SipPolynomial::eval_with_gradient(double u, double v, double& value, double& du,
                                       double& dv) const {
    const double* c = coefficients.data();
    switch (order + 1) {
        case 3:
            return horner_gradient(c, Fixed<3>{}, u, v, value, du, dv);
        case 4:
            return horner_gradient(c, Fixed<4>{}, u, v, value, du, dv);
        case 5:
            return horner_gradient(c, Fixed<5>{}, u, v, value, du, dv);
        case 6:
            return horner_gradient(c, Fixed<6>{}, u, v, value, du, dv);
        default:
            return horner_gradient(c, std::size_t{order + 1}, u, v, value, du, dv);
    }
}

NewtonStatus Sip::inverse(double& u, double& v) const {
    const double tu = u;
    const double tv = v;
    if (ap && bp) {
        u = tu + ap->eval(tu, tv);
        v = tv + bp->eval(tu, tv);
    }
    const auto model = [this](double x, double y) {
        NewtonEval e;
        a.eval_with_gradient(x, y, e.f1, e.d1u, e.d1v);
        b.eval_with_gradient(x, y, e.f2, e.d2u, e.d2v);
        e.f1 += x;
        e.f2 += y;
        e.d1u += 1.0;
        e.d2v += 1.0;
        return e;
    };
    return newton_inverse(model, tu, tv, 1.0 + std::fabs(tu) + std::fabs(tv), u, v);
}

Result<std::uint32_t> read_required_order(const Header& header, std::string_view key) {
    const auto card = header.get(key);
    const std::optional<Value> v = card ? card->value() : std::nullopt;
    if (!v) return std::unexpected(Error::wcs("SIP requires " + std::string(key)));
    if (!v->is(Value::Kind::Integer) || v->integer < 0 || v->integer > 0xFFFFFFFFll) {
        return std::unexpected(Error::wcs(std::string(key) + " must be a non-negative integer"));
    }
    return static_cast<std::uint32_t>(v->integer);
}

std::optional<std::uint32_t> read_optional_order(const Header& header, std::string_view key) {
    const auto card = header.get(key);
    const std::optional<Value> v = card ? card->value() : std::nullopt;
    if (!v || !v->is(Value::Kind::Integer) || v->integer < 0 || v->integer > 0xFFFFFFFFll) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(v->integer);
}

Result<SipPolynomial> read_sip_polynomial(const Header& header, std::string_view prefix,
                                          std::uint32_t order) {
    std::vector<SipTerm> terms;
    // An order past the maximum is refused by from_terms; do not walk its keywords first.
    const std::uint32_t walk = order > kSipMaxOrder ? 0 : order;
    for (std::uint32_t p = 0; p <= walk; ++p) {
        for (std::uint32_t q = 0; q + p <= walk; ++q) {
            const std::string key =
                std::string(prefix) + "_" + std::to_string(p) + "_" + std::to_string(q);
            const auto card = header.get(key);
            const std::optional<Value> v = card ? card->value() : std::nullopt;
            if (!v) continue;
            if (v->is(Value::Kind::Integer)) {
                terms.push_back({p, q, static_cast<double>(v->integer)});
            } else if (v->is(Value::Kind::Real)) {
                terms.push_back({p, q, v->real});
            } else {
                return std::unexpected(Error::wcs(key + " must be numeric"));
            }
        }
    }
    return SipPolynomial::from_terms(order, terms);
}

Result<Sip> Sip::from_header(const Header& header) {
    VEXLO_ASSIGN_OR_RETURN(const std::uint32_t a_order, read_required_order(header, "A_ORDER"));
    VEXLO_ASSIGN_OR_RETURN(const std::uint32_t b_order, read_required_order(header, "B_ORDER"));
    Sip sip;
    VEXLO_ASSIGN_OR_RETURN(sip.a, read_sip_polynomial(header, "A", a_order));
    VEXLO_ASSIGN_OR_RETURN(sip.b, read_sip_polynomial(header, "B", b_order));
    const std::optional<std::uint32_t> ap = read_optional_order(header, "AP_ORDER");
    const std::optional<std::uint32_t> bp = read_optional_order(header, "BP_ORDER");
    if (ap && !bp) {
        return std::unexpected(
            Error::wcs("SIP: AP_ORDER present without BP_ORDER (Malto et al. 2005 Sec.3)"));
    }
    if (bp && !ap) {
        return std::unexpected(
            Error::wcs("SIP: BP_ORDER present without AP_ORDER (Malto et al. 2005 Sec.3)"));
    }
    if (ap) {
        VEXLO_ASSIGN_OR_RETURN(SipPolynomial pa, read_sip_polynomial(header, "AP", *ap));
        VEXLO_ASSIGN_OR_RETURN(SipPolynomial pb, read_sip_polynomial(header, "BP", *bp));
        sip.ap = std::move(pa);
        sip.bp = std::move(pb);
    }
    return sip;
}

}  // namespace vexlo
