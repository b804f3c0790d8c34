// The correction surfaces of TNX (gnomonic) and ZPX (zenithal polynomial) descriptions, kept as
// text in WATi_nnn cards: series in Chebyshev or Legendre polynomials or plain powers of the
// plane coordinates, added to xi and eta before the projection.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error.hpp"
#include "header/header.hpp"
#include "wcs/distortion/newton.hpp"

namespace vexlo {

enum class TnxCrossTerm : std::uint8_t { None = 0, Full = 1, Half = 2 };

struct TnxSurface {
    std::vector<double> coefficients;  // in the order of the coefficient walk
    double xi_min = 0.0;
    double xi_max = 0.0;
    double eta_min = 0.0;
    double eta_max = 0.0;
    std::uint32_t ni = 0;
    std::uint32_t nj = 0;
    std::uint8_t function_type = 0;  // 0 Chebyshev, 1 Legendre, 2 power series
    TnxCrossTerm cross_term = TnxCrossTerm::None;

    static Result<TnxSurface> parse(std::string_view text);
    double eval(double xi, double eta) const;
    void eval_with_gradient(double xi, double eta, double& value, double& dxi, double& deta) const;
};

struct Tnx {
    std::optional<TnxSurface> lngcor;  // added to xi
    std::optional<TnxSurface> latcor;  // added to eta

    // None when neither text holds a surface.
    static Result<std::optional<Tnx>> from_wat(const std::optional<std::string>& lon_text,
                                               const std::optional<std::string>& lat_text);
    // (xi', eta') = (xi + lngcor, eta + latcor).
    void forward(double& xi, double& eta) const;
    NewtonStatus inverse(double& xi, double& eta) const;
};

// The string values of {prefix}001, {prefix}002, ... up to the first gap, each padded with
// blanks to 68 characters, concatenated.
std::optional<std::string> read_wat_string(const Header& header, std::string_view prefix);

}  // namespace vexlo
