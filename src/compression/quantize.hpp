// Quantisation of floating-point tiles to 32-bit integers and back, with the optional
// subtractive dither drawn from a fixed process-wide table.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "hdu/tile_params.hpp"  // DitherMethod

namespace vexlo {

inline constexpr std::int32_t kNullSentinel = -2147483647;
inline constexpr std::int32_t kZeroSentinel = -2147483646;
inline constexpr std::uint32_t kDitherTableSize = 10000;

// The 10000 dither values, built on first use.
const std::array<float, kDitherTableSize>& dither_table();

// The cursor into the dither table for one tile: one entry per pixel, null pixels included.
struct DitherWalker {
    const float* table = nullptr;
    std::uint32_t seed_index = 0;
    std::uint32_t position = 0;

    // seed_sum is ZDITHER0 plus the 0-based tile number; 0 counts as 1.
    static DitherWalker create(std::uint64_t seed_sum);

    float draw() {
        const float r = table[position];
        skip();
        return r;
    }
    void skip() {
        if (++position == kDitherTableSize) {
            seed_index = (seed_index + 1) % kDitherTableSize;
            position = start_position(seed_index);
        }
    }
    std::uint32_t start_position(std::uint32_t index) const;
};

// The absolute second differences of every window of three finite values.
std::vector<double> second_differences(std::span<const double> values);
// 0.6052697 times the median (upper middle) of the second differences; 0 when there are none.
double noise_estimate(std::span<const double> values);

struct QuantizedTile {
    std::vector<std::int32_t> values;
    double scale = 1.0;
    double zero = 0.0;
};

// The tile quantised with a step of noise / level; none when the tile cannot be quantised
// (no usable noise, a step that is not a finite positive number, or a range too wide).
std::optional<QuantizedTile> quantize_tile(std::span<const double> values, DitherMethod method,
                                           std::uint64_t seed_sum, double level);

// One stored value back to its value; none for a null pixel. `walker` is required for the
// subtractive methods and ignored for NoDither.
inline std::optional<double> dequantize(std::int32_t stored, std::int32_t null, DitherMethod method,
                                        DitherWalker* walker, double scale, double zero) {
    const bool dithered = method != DitherMethod::NoDither && walker != nullptr;
    if (stored == null) {
        if (dithered) walker->skip();
        return std::nullopt;
    }
    if (method == DitherMethod::Subtractive2 && stored == kZeroSentinel && dithered) {
        walker->skip();
        return 0.0;
    }
    if (dithered) {
        const double r = walker->draw();
        return zero + scale * ((static_cast<double>(stored) - r) + 0.5);
    }
    return zero + scale * static_cast<double>(stored);
}

}  // namespace vexlo
