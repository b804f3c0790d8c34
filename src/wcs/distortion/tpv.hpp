// The polynomial distortion of the gnomonic plane written as PV cards: each plane coordinate is
// replaced by a polynomial of degree up to 7 in both, with optional odd powers of the radius.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "error.hpp"
#include "wcs/distortion/newton.hpp"

namespace vexlo {

struct TpvTable {
    std::array<double, 40> coefficients{};
    std::size_t degree = 0;
    std::uint8_t axis = 1;
    bool has_radial = false;

    static Result<TpvTable> from_pv(std::uint8_t axis,
                                    const std::vector<std::pair<int, double>>& pairs);
    // The corrected plane coordinate at (xi, eta), degrees.
    double eval(double xi, double eta) const;
    // The value and its derivatives with respect to xi and eta.
    void eval_with_gradient(double xi, double eta, double& value, double& dxi, double& deta) const;
};

struct Tpv {
    TpvTable t1;
    TpvTable t2;

    // (xi, eta) in place from the distorted (xi', eta').
    NewtonStatus inverse(double& xi, double& eta) const;
};

}  // namespace vexlo
