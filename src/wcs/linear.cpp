#include "wcs/linear.hpp"

#include <cmath>
#include <new>
#include <string>
#include <utility>

#include "util/number.hpp"

namespace vexlo {

namespace {

std::string num(std::size_t v) {
    return std::to_string(v);
}

}  // namespace

Result<std::vector<double>> invert_matrix(const std::vector<double>& values, std::size_t n) {
    for (std::size_t pos = 0; pos < values.size(); ++pos) {
        if (!std::isfinite(values[pos])) {
            return std::unexpected(Error::wcs("linear matrix element [" + num(pos / n) + "][" +
                                              num(pos % n) + "] is not finite (" +
                                              format_real_plain(values[pos]) + ")"));
        }
    }
    const std::size_t w = 2 * n;
    std::vector<double> aug;
    std::vector<double> out;
    try {
        aug.assign(n * w, 0.0);
        out.resize(n * n);
    } catch (const std::bad_alloc&) {
        return std::unexpected(
            Error::out_of_memory(Error::wcs("linear matrix of " + num(n) + " axes is too large")));
    }
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j)
            aug[i * w + j] = values[i * n + j];
        aug[i * w + n + i] = 1.0;
    }
    for (std::size_t c = 0; c < n; ++c) {
        std::size_t pivot = c;
        double best = std::fabs(aug[c * w + c]);
        for (std::size_t r = c + 1; r < n; ++r) {
            const double m = std::fabs(aug[r * w + c]);
            if (m > best) {
                best = m;
                pivot = r;
            }
        }
        if (best < 1e-300)
            return std::unexpected(Error::wcs("linear matrix is singular (cannot invert)"));
        if (pivot != c) {
            for (std::size_t k = 0; k < w; ++k)
                std::swap(aug[c * w + k], aug[pivot * w + k]);
        }
        const double inv = 1.0 / aug[c * w + c];
        for (std::size_t k = 0; k < w; ++k)
            aug[c * w + k] *= inv;
        for (std::size_t r = 0; r < n; ++r) {
            if (r == c) continue;
            const double f = aug[r * w + c];
            if (f == 0.0) continue;
            for (std::size_t k = 0; k < w; ++k)
                aug[r * w + k] -= f * aug[c * w + k];
        }
    }
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j)
            out[i * n + j] = aug[i * w + n + j];
    }
    return out;
}

Result<LinearTransform> LinearTransform::make(std::vector<double> crpix, std::vector<double> crval,
                                              std::vector<double> matrix) {
    const std::size_t n = crpix.size();
    if (crval.size() != n) {
        return std::unexpected(Error::wcs("linear transform: crpix has " + num(n) +
                                          " entries but crval has " + num(crval.size())));
    }
    VEXLO_ASSIGN_OR_RETURN(std::vector<double> inverse, invert_matrix(matrix, n));
    LinearTransform t;
    t.crpix = std::move(crpix);
    t.crval = std::move(crval);
    t.matrix = std::move(matrix);
    t.inverse = std::move(inverse);
    t.n = n;
    return t;
}

Result<LinearTransform> LinearTransform::from_pc_cdelt(std::vector<double> crpix,
                                                       std::vector<double> crval,
                                                       std::vector<double> cdelt,
                                                       std::vector<double> pc) {
    const std::size_t n = crpix.size();
    if (cdelt.size() != n || pc.size() != n * n || crval.size() != n) {
        return std::unexpected(Error::wcs(
            "PC dimensions inconsistent: crpix=" + num(n) + ", crval=" + num(crval.size()) +
            ", cdelt=" + num(cdelt.size()) + ", pc=" + num(pc.size())));
    }
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j)
            pc[i * n + j] = cdelt[i] * pc[i * n + j];
    }
    return make(std::move(crpix), std::move(crval), std::move(pc));
}

Result<LinearTransform> LinearTransform::from_cd(std::vector<double> crpix,
                                                 std::vector<double> crval,
                                                 std::vector<double> cd) {
    const std::size_t n = crpix.size();
    if (cd.size() != n * n || crval.size() != n) {
        return std::unexpected(Error::wcs("CD dimensions inconsistent: crpix=" + num(n) +
                                          ", crval=" + num(crval.size()) +
                                          ", cd=" + num(cd.size())));
    }
    return make(std::move(crpix), std::move(crval), std::move(cd));
}

Result<LinearTransform> LinearTransform::from_crota(std::vector<double> crpix,
                                                    std::vector<double> crval,
                                                    std::vector<double> cdelt, std::size_t lon,
                                                    std::size_t lat, double crota,
                                                    double lat_to_lon) {
    const std::size_t n = crpix.size();
    if (lon >= n || lat >= n || lon == lat) {
        return std::unexpected(Error::wcs("CROTA: rotated axis pair (" + num(lon) + ", " +
                                          num(lat) + ") is not valid for " + num(n) + " axes"));
    }
    if (cdelt.size() != n) {
        return std::unexpected(Error::wcs("CROTA dimensions inconsistent: crpix=" + num(n) +
                                          ", cdelt=" + num(cdelt.size())));
    }
    for (const std::size_t axis : {lon, lat}) {
        if (cdelt[axis] == 0.0) {
            return std::unexpected(Error::wcs("CDELT" + num(axis + 1) +
                                              " = 0 with CROTA (Sec.8.2: the value must not be "
                                              "zero)"));
        }
    }
    std::vector<double> pc(n * n, 0.0);
    for (std::size_t i = 0; i < n; ++i)
        pc[i * n + i] = 1.0;
    const double rho = crota * 0.017453292519943295;
    const double r = cdelt[lat] * lat_to_lon / cdelt[lon];
    pc[lon * n + lon] = std::cos(rho);
    pc[lon * n + lat] = -r * std::sin(rho);
    pc[lat * n + lon] = std::sin(rho) / r;
    pc[lat * n + lat] = std::cos(rho);
    return from_pc_cdelt(std::move(crpix), std::move(crval), std::move(cdelt), std::move(pc));
}

Result<LinearTransform> compose_with_input_affine(const LinearTransform& t,
                                                  const std::vector<double>& ltm,
                                                  const std::vector<double>& ltv) {
    const std::size_t n = t.n;
    if (ltv.size() != n || ltm.size() != n * n) {
        return std::unexpected(Error::wcs("compose_with_input_affine: expected " + num(n) + "x" +
                                          num(n) + " matrix and length-" + num(n) + " vector"));
    }
    std::vector<double> m(n * n, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) {
            double s = 0.0;
            for (std::size_t k = 0; k < n; ++k)
                s += t.matrix[i * n + k] * ltm[k * n + j];
            m[i * n + j] = s;
        }
    }
    VEXLO_ASSIGN_OR_RETURN(std::vector<double> ltm_inv, invert_matrix(ltm, n));
    std::vector<double> crpix(n, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        double s = 0.0;
        for (std::size_t k = 0; k < n; ++k)
            s += ltm_inv[i * n + k] * (t.crpix[k] - ltv[k]);
        crpix[i] = s;
    }
    return LinearTransform::make(std::move(crpix), t.crval, std::move(m));
}

}  // namespace vexlo
