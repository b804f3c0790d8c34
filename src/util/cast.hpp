// Saturating double-to-integer conversion (NaN gives 0, out-of-range values clamp).
#pragma once

#include <cmath>
#include <concepts>
#include <limits>

namespace vexlo {

template <std::integral T>
constexpr T saturating_cast(double v) {
    if (std::isnan(v)) return 0;
    // The bounds as doubles: max() may round up (2^63 for int64), so compare with >=.
    constexpr double lo = static_cast<double>(std::numeric_limits<T>::min());
    constexpr double hi = static_cast<double>(std::numeric_limits<T>::max());
    if (v <= lo) return std::numeric_limits<T>::min();
    if (v >= hi) return std::numeric_limits<T>::max();
    return static_cast<T>(v);
}

}  // namespace vexlo
