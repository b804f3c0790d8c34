#include "compression/quantize.hpp"

#include <algorithm>
#include <cmath>

#include "util/cast.hpp"

namespace vexlo {

const std::array<float, kDitherTableSize>& dither_table() {
    static const std::array<float, kDitherTableSize> table = [] {
        std::array<float, kDitherTableSize> t{};
        // Park-Miller minimal standard generator, Schrage's decomposition in 64 bits.
        constexpr std::int64_t a = 16807, m = 2147483647, q = 127773, r = 2836;
        std::int64_t s = 1;
        for (std::uint32_t k = 0; k < kDitherTableSize; ++k) {
            s = a * (s % q) - r * (s / q);
            if (s < 0) s += m;
            t[k] = static_cast<float>(static_cast<double>(s) / static_cast<double>(m));
        }
        return t;
    }();
    return table;
}

std::uint32_t DitherWalker::start_position(std::uint32_t index) const {
    const float p = table[index] * 500.0f;  // single precision, as both sides compute it
    return static_cast<std::uint32_t>(p);
}

DitherWalker DitherWalker::create(std::uint64_t seed_sum) {
    DitherWalker w;
    w.table = dither_table().data();
    const std::uint64_t s = seed_sum == 0 ? 1 : seed_sum;
    w.seed_index = static_cast<std::uint32_t>((s - 1) % kDitherTableSize);
    w.position = w.start_position(w.seed_index);
    return w;
}

std::vector<double> second_differences(std::span<const double> values) {
    std::vector<double> d;
    if (values.size() < 3) return d;
    d.reserve(values.size() - 2);
    for (std::size_t i = 0; i + 2 < values.size(); ++i) {
        const double a = values[i], b = values[i + 1], c = values[i + 2];
        if (!std::isfinite(a) || !std::isfinite(b) || !std::isfinite(c)) continue;
        d.push_back(std::fabs((a - 2.0 * b) + c));
    }
    return d;
}

double noise_estimate(std::span<const double> values) {
    std::vector<double> d = second_differences(values);
    if (d.empty()) return 0.0;
    const auto mid = d.begin() + static_cast<std::ptrdiff_t>(d.size() / 2);
    std::nth_element(d.begin(), mid, d.end());
    return 0.6052697 * *mid;
}

std::optional<QuantizedTile> quantize_tile(std::span<const double> values, DitherMethod method,
                                           std::uint64_t seed_sum, double level) {
    double lo = 0.0, hi = 0.0;
    bool any = false;
    for (const double v : values) {
        if (!std::isfinite(v)) continue;
        if (!any) {
            lo = hi = v;
            any = true;
        } else {
            lo = std::min(lo, v);
            hi = std::max(hi, v);
        }
    }
    if (!any)
        return QuantizedTile{std::vector<std::int32_t>(values.size(), kNullSentinel), 1.0, 0.0};

    const double noise = noise_estimate(values);
    // A noise or step that is not a finite positive number would store every value as 0 (or
    // nonsense): such a tile is kept exactly instead.
    if (!(level > 0.0) || !(noise > 0.0) || !std::isfinite(noise)) return std::nullopt;
    const double delta = noise / level;
    if (!std::isfinite(delta) || !(delta > 0.0)) return std::nullopt;
    constexpr double kHalfMax = 8.988465674311579e307;
    const double zero =
        (std::fabs(lo) <= kHalfMax && std::fabs(hi) <= kHalfMax) ? (lo + hi) / 2 : lo / 2 + hi / 2;
    if (!((hi - zero) / delta < 1073741824.0)) return std::nullopt;

    QuantizedTile out;
    out.values.resize(values.size());
    out.scale = delta;
    out.zero = zero;
    if (method == DitherMethod::NoDither) {
        for (std::size_t i = 0; i < values.size(); ++i) {
            const double x = values[i];
            out.values[i] = std::isfinite(x)
                                ? saturating_cast<std::int32_t>(std::round((x - zero) / delta))
                                : kNullSentinel;
        }
        return out;
    }
    DitherWalker walker = DitherWalker::create(seed_sum);
    for (std::size_t i = 0; i < values.size(); ++i) {
        const double x = values[i];
        if (!std::isfinite(x)) {
            out.values[i] = kNullSentinel;
            walker.skip();
        } else if (method == DitherMethod::Subtractive2 && x == 0.0) {
            out.values[i] = kZeroSentinel;
            walker.skip();
        } else {
            const double offset = static_cast<double>(walker.draw()) - 0.5;
            out.values[i] =
                saturating_cast<std::int32_t>(std::round(((x - zero) / delta) + offset));
        }
    }
    return out;
}

}  // namespace vexlo
