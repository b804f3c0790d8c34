#include "compression/quantize.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

namespace vexlo {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(Dither, TableAndWalker) {
    const auto& t = dither_table();
    EXPECT_FLOAT_EQ(t[0], 7.826369e-06f);
    EXPECT_FLOAT_EQ(t[1], 0.1315378f);
    EXPECT_FLOAT_EQ(t[2], 0.7556053f);
    EXPECT_FLOAT_EQ(t[9999], 0.48597252f);
    for (float v : t)
        ASSERT_TRUE(v > 0.0f && v < 1.0f);

    // Seed sums 0, 1 and 10001 start at index 0; 10000 at index 9999.
    for (auto [sum, index] : {std::pair<std::uint64_t, std::uint32_t>{0, 0},
                              {1, 0},
                              {10001, 0},
                              {10000, 9999},
                              {2, 1}}) {
        const DitherWalker w = DitherWalker::create(sum);
        EXPECT_EQ(w.seed_index, index) << sum;
        EXPECT_EQ(w.position, static_cast<std::uint32_t>(t[index] * 500.0f));
        EXPECT_LT(w.position, 500u);
    }
    // After position 9999 the walker moves to the next seed's start; 9999 wraps to 0.
    DitherWalker w = DitherWalker::create(10000);
    w.position = 9999;
    EXPECT_EQ(w.draw(), t[9999]);
    EXPECT_EQ(w.seed_index, 0u);
    EXPECT_EQ(w.position, static_cast<std::uint32_t>(t[0] * 500.0f));
}

TEST(Quantize, NoiseEstimate) {
    EXPECT_EQ(noise_estimate(std::vector<double>{1.0, 2.0}), 0.0);
    // Windows holding a NaN or infinity are skipped.
    EXPECT_EQ(second_differences(std::vector<double>{0, 1, kNaN, 3, 4, 6}),
              (std::vector<double>{1.0}));
    // The upper of the two middle values for an even count: differences 0, 2, 4, 6 -> 4.
    const std::vector<double> v{0, 0, 0, 2, 6, 14};
    EXPECT_EQ(second_differences(v), (std::vector<double>{0, 2, 2, 4}));
    EXPECT_DOUBLE_EQ(noise_estimate(v), 0.6052697 * 2);
}

TEST(Quantize, TilesThatCannotBeQuantised) {
    const std::vector<double> flat(50, 3.5);
    const std::vector<double> two{1.0, 2.0};
    const std::vector<double> noisy{1, 5, 2, 8, 3, 9, 0, 4};
    // Alternating huge values: the second differences overflow to infinity, so the step is
    // not finite; such a tile must be kept exactly rather than stored as zeros.
    const std::vector<double> huge{1e308, -1e308, 1e308, -1e308, 1e308, -1e308};
    EXPECT_FALSE(quantize_tile(flat, DitherMethod::NoDither, 0, 4.0));
    EXPECT_FALSE(quantize_tile(two, DitherMethod::NoDither, 0, 4.0));
    EXPECT_FALSE(quantize_tile(noisy, DitherMethod::NoDither, 0, 0.0));
    EXPECT_FALSE(quantize_tile(noisy, DitherMethod::NoDither, 0, -1.0));
    EXPECT_FALSE(quantize_tile(noisy, DitherMethod::NoDither, 0, kNaN));
    EXPECT_FALSE(quantize_tile(huge, DitherMethod::Subtractive1, 1, 4.0));
    // A range of 2^31 steps or more does not fit.
    std::vector<double> wide{0, 1, 0, 1, 0, 1, 0, 1};
    wide.push_back(1e12);
    EXPECT_FALSE(quantize_tile(wide, DitherMethod::NoDither, 0, 4.0));
    // Only NaN and infinities (or nothing): all null sentinels, scale 1, zero 0.
    for (const std::vector<double>& t :
         {std::vector<double>{kNaN, kInf, -kInf}, std::vector<double>{}}) {
        auto q = quantize_tile(t, DitherMethod::Subtractive2, 1, 4.0);
        ASSERT_TRUE(q);
        EXPECT_EQ(q->values, std::vector<std::int32_t>(t.size(), kNullSentinel));
        EXPECT_EQ(q->scale, 1.0);
        EXPECT_EQ(q->zero, 0.0);
    }
}

TEST(Quantize, RoundTripWithinHalfAStep) {
    std::mt19937 rng(3);
    std::normal_distribution<double> noise(100.0, 5.0);
    std::vector<double> values(3000);
    for (double& v : values)
        v = noise(rng);
    values[10] = kNaN;
    values[11] = 0.0;
    values[12] = -0.0;
    values[13] = kInf;
    for (DitherMethod m :
         {DitherMethod::NoDither, DitherMethod::Subtractive1, DitherMethod::Subtractive2}) {
        for (std::uint64_t seed : {1ull, 777ull}) {
            auto q = quantize_tile(values, m, seed, 4.0);
            ASSERT_TRUE(q);
            EXPECT_GT(q->scale, 0.0);
            DitherWalker w = DitherWalker::create(seed);
            for (std::size_t i = 0; i < values.size(); ++i) {
                const auto v = dequantize(q->values[i], kNullSentinel, m, &w, q->scale, q->zero);
                if (!std::isfinite(values[i])) {
                    EXPECT_FALSE(v) << i;
                } else if (m == DitherMethod::Subtractive2 && values[i] == 0.0) {
                    ASSERT_TRUE(v);
                    EXPECT_EQ(*v, 0.0);
                    EXPECT_EQ(q->values[i], kZeroSentinel);
                } else {
                    ASSERT_TRUE(v);
                    EXPECT_LE(std::fabs(*v - values[i]), q->scale / 2 * (1 + 1e-9)) << i;
                }
            }
        }
    }
    // Without dither a value quantises to round((v - zero) / delta) and reads back exactly
    // as zero + delta * stored.
    auto q = quantize_tile(values, DitherMethod::NoDither, 0, 4.0);
    ASSERT_TRUE(q);
    EXPECT_EQ(q->values[0],
              static_cast<std::int32_t>(std::round((values[0] - q->zero) / q->scale)));
    EXPECT_EQ(*dequantize(q->values[0], kNullSentinel, DitherMethod::NoDither, nullptr, q->scale,
                          q->zero),
              q->zero + q->scale * q->values[0]);
}

}  // namespace
}  // namespace vexlo
