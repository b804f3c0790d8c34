// The linear first step of every coordinate description: pixel offsets from the reference
// pixel times an n x n matrix, with the inverse matrix computed once when it is built.
#pragma once

#include <cstddef>
#include <vector>

#include "error.hpp"

namespace vexlo {

struct LinearTransform {
    std::vector<double> crpix;    // 1-based reference pixel per axis
    std::vector<double> crval;    // reference world value per axis
    std::vector<double> matrix;   // n x n row-major: CD, or CDELT times PC
    std::vector<double> inverse;  // n x n row-major inverse of matrix
    std::size_t n = 0;

    static Result<LinearTransform> make(std::vector<double> crpix, std::vector<double> crval,
                                        std::vector<double> matrix);
    static Result<LinearTransform> from_pc_cdelt(std::vector<double> crpix,
                                                 std::vector<double> crval,
                                                 std::vector<double> cdelt, std::vector<double> pc);
    static Result<LinearTransform> from_cd(std::vector<double> crpix, std::vector<double> crval,
                                           std::vector<double> cd);
    // The legacy rotation of one axis pair (0-based lon, lat) by crota degrees. lat_to_lon
    // converts a value in the latitude axis's unit into the longitude axis's unit: the
    // rotation mixes the two axes, so their scales must be compared in one unit.
    static Result<LinearTransform> from_crota(std::vector<double> crpix, std::vector<double> crval,
                                              std::vector<double> cdelt, std::size_t lon,
                                              std::size_t lat, double crota,
                                              double lat_to_lon = 1.0);
};

// The transform whose result for pixel p equals t's result for ltm * p + ltv (the IRAF
// physical-to-image map).
Result<LinearTransform> compose_with_input_affine(const LinearTransform& t,
                                                  const std::vector<double>& ltm,
                                                  const std::vector<double>& ltv);

// Gauss-Jordan inverse with partial pivoting; refuses non-finite elements and singular
// matrices.
Result<std::vector<double>> invert_matrix(const std::vector<double>& values, std::size_t n);

}  // namespace vexlo
