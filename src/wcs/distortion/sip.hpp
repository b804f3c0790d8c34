// Simple imaging polynomials: a correction of the pixel offsets from the reference pixel applied
// before the linear step, with an optional approximate reverse correction.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "error.hpp"
#include "header/header.hpp"
#include "wcs/distortion/newton.hpp"

namespace vexlo {

constexpr std::uint32_t kSipMaxOrder = 9;

struct SipTerm {
    std::uint32_t p = 0;
    std::uint32_t q = 0;
    double value = 0.0;
};

struct SipPolynomial {
    // (order + 1)^2 entries; entry (order + 1) * p + q multiplies u^p v^q.
    std::vector<double> coefficients;
    std::uint32_t order = 0;

    static Result<SipPolynomial> from_terms(std::uint32_t order, const std::vector<SipTerm>& terms);
    double eval(double u, double v) const;
    // The value and its two partial derivatives (d/du, d/dv).
    void eval_with_gradient(double u, double v, double& value, double& du, double& dv) const;
};

struct Sip {
    SipPolynomial a;
    SipPolynomial b;
    std::optional<SipPolynomial> ap;
    std::optional<SipPolynomial> bp;

    static Result<Sip> from_header(const Header& header);
    // (u + A(u, v), v + B(u, v)).
    std::pair<double, double> forward(double u, double v) const {
        return {u + a.eval(u, v), v + b.eval(u, v)};
    }
    // The undistorted offsets of the distorted ones, in place; Ok or the reason it failed.
    NewtonStatus inverse(double& u, double& v) const;
};

// "SIP requires A_ORDER", "A_ORDER must be a non-negative integer".
Result<std::uint32_t> read_required_order(const Header& header, std::string_view key);
std::optional<std::uint32_t> read_optional_order(const Header& header, std::string_view key);
Result<SipPolynomial> read_sip_polynomial(const Header& header, std::string_view prefix,
                                          std::uint32_t order);

}  // namespace vexlo
