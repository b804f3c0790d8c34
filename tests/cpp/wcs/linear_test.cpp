#include "wcs/linear.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace vexlo {
namespace {

using V = std::vector<double>;

TEST(LinearTransform, EmptyTransformBuilds) {
    auto t = LinearTransform::from_cd({}, {}, {});
    ASSERT_TRUE(t.has_value());
    EXPECT_EQ(t->n, 0u);
    EXPECT_TRUE(t->inverse.empty());
}

TEST(LinearTransform, InverseUndoesTheMatrix) {
    auto t = LinearTransform::from_cd({1, 2, 3}, {0, 0, 0}, {2, 1, 0, -1, 3, 0.5, 0, 4, 1});
    ASSERT_TRUE(t.has_value());
    for (std::size_t i = 0; i < 3; ++i) {
        for (std::size_t j = 0; j < 3; ++j) {
            double s = 0.0;
            for (std::size_t k = 0; k < 3; ++k)
                s += t->matrix[i * 3 + k] * t->inverse[k * 3 + j];
            EXPECT_NEAR(s, i == j ? 1.0 : 0.0, 1e-14);
        }
    }
    // Ties in the pivot search keep the earlier row; the result is the inverse either way.
    auto tie = invert_matrix({1, 2, -1, 3}, 2);
    ASSERT_TRUE(tie.has_value());
    EXPECT_NEAR((*tie)[0], 0.6, 1e-15);
    EXPECT_NEAR((*tie)[1], -0.4, 1e-15);
    EXPECT_NEAR((*tie)[2], 0.2, 1e-15);
    EXPECT_NEAR((*tie)[3], 0.2, 1e-15);
}

TEST(LinearTransform, RefusesSingularAndNonFiniteMatrices) {
    struct Case {
        V matrix;
        std::string message;
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<Case> cases = {
        {{1, 0, 0, 0}, "linear matrix is singular (cannot invert)"},
        {{1, 0, 0, 1e-301}, "linear matrix is singular (cannot invert)"},
        {{1, 2, 2, 4}, "linear matrix is singular (cannot invert)"},
        {{1, 0, nan, 1}, "linear matrix element [1][0] is not finite (NaN)"},
        {{1, INFINITY, 0, 1}, "linear matrix element [0][1] is not finite (inf)"},
    };
    for (const Case& c : cases) {
        auto t = LinearTransform::from_cd({0, 0}, {0, 0}, c.matrix);
        ASSERT_FALSE(t.has_value()) << c.message;
        EXPECT_EQ(t.error().kind, Error::Kind::Wcs);
        EXPECT_EQ(t.error().msg, c.message);
    }
    EXPECT_TRUE(LinearTransform::from_cd({0, 0}, {0, 0}, {1, 0, 0, 1e-300}).has_value());
    // CDELT = 0 leaves a zero row in the matrix.
    auto zero = LinearTransform::from_pc_cdelt({0, 0}, {0, 0}, {0.0, 1.0}, {1, 0, 0, 1});
    ASSERT_FALSE(zero.has_value());
    EXPECT_EQ(zero.error().msg, "linear matrix is singular (cannot invert)");
}

TEST(LinearTransform, DimensionChecks) {
    EXPECT_EQ(LinearTransform::from_cd({0, 0}, {0}, {1, 0, 0, 1}).error().msg,
              "CD dimensions inconsistent: crpix=2, crval=1, cd=4");
    EXPECT_EQ(LinearTransform::from_pc_cdelt({0, 0}, {0, 0}, {1}, {1, 0, 0, 1}).error().msg,
              "PC dimensions inconsistent: crpix=2, crval=2, cdelt=1, pc=4");
    EXPECT_EQ(LinearTransform::make({0, 0}, {0}, {1, 0, 0, 1}).error().msg,
              "linear transform: crpix has 2 entries but crval has 1");
    EXPECT_EQ(LinearTransform::from_crota({0, 0}, {0, 0}, {1, 1}, 0, 0, 5).error().msg,
              "CROTA: rotated axis pair (0, 0) is not valid for 2 axes");
    EXPECT_EQ(LinearTransform::from_crota({0, 0}, {0, 0}, {1}, 0, 1, 5).error().msg,
              "CROTA dimensions inconsistent: crpix=2, cdelt=1");
    EXPECT_EQ(LinearTransform::from_crota({0, 0}, {0, 0}, {0, 0}, 0, 1, 5).error().msg,
              "CDELT1 = 0 with CROTA (Sec.8.2: the value must not be zero)");
    EXPECT_EQ(LinearTransform::from_crota({0, 0}, {0, 0}, {1, 0}, 0, 1, 5).error().msg,
              "CDELT2 = 0 with CROTA (Sec.8.2: the value must not be zero)");
    auto t = LinearTransform::from_cd({0, 0}, {0, 0}, {1, 0, 0, 1});
    ASSERT_TRUE(t.has_value());
    EXPECT_EQ(compose_with_input_affine(*t, {1, 0, 0, 1}, {0}).error().msg,
              "compose_with_input_affine: expected 2x2 matrix and length-2 vector");
}

TEST(LinearTransform, LegacyRotation) {
    auto r0 = LinearTransform::from_crota({1, 1}, {0, 0}, {-0.001, 0.001}, 0, 1, 0.0);
    ASSERT_TRUE(r0.has_value());
    EXPECT_EQ(r0->matrix, (V{-0.001, 0, 0, 0.001}));
    auto r90 = LinearTransform::from_crota({1, 1}, {0, 0}, {-0.001, 0.001}, 0, 1, 90.0);
    ASSERT_TRUE(r90.has_value());
    EXPECT_NEAR(r90->matrix[0], 0.0, 1e-18);
    EXPECT_NEAR(r90->matrix[1], -0.001, 1e-18);
    EXPECT_NEAR(r90->matrix[2], -0.001, 1e-18);
    EXPECT_NEAR(r90->matrix[3], 0.0, 1e-18);
}

// Longitude in arcminutes, latitude in degrees: the rotation compares the two steps in one
// unit, so the matrix is the all-degrees one with the longitude row in arcminutes.
TEST(LinearTransform, LegacyRotationBetweenAxesInDifferentUnits) {
    for (double crota : {30.0, -75.0, 140.0}) {
        auto deg = LinearTransform::from_crota({1, 1}, {0, 0}, {-0.1, 0.1}, 0, 1, crota);
        auto mixed = LinearTransform::from_crota({1, 1}, {0, 0}, {-6.0, 0.1}, 0, 1, crota, 60.0);
        ASSERT_TRUE(deg.has_value() && mixed.has_value());
        EXPECT_NEAR(mixed->matrix[0], 60.0 * deg->matrix[0], 1e-12) << crota;
        EXPECT_NEAR(mixed->matrix[1], 60.0 * deg->matrix[1], 1e-12) << crota;
        EXPECT_NEAR(mixed->matrix[2], deg->matrix[2], 1e-14) << crota;
        EXPECT_NEAR(mixed->matrix[3], deg->matrix[3], 1e-14) << crota;
    }
}

TEST(LinearTransform, InputAffineComposition) {
    auto t = LinearTransform::from_cd({5, 7}, {1, 2}, {0.5, 0.1, -0.2, 0.3});
    ASSERT_TRUE(t.has_value());
    auto same = compose_with_input_affine(*t, {1, 0, 0, 1}, {0, 0});
    ASSERT_TRUE(same.has_value());
    EXPECT_EQ(same->matrix, t->matrix);
    EXPECT_EQ(same->crpix, t->crpix);
    auto scaled = compose_with_input_affine(*t, {2, 0, 0, 2}, {10, 10});
    ASSERT_TRUE(scaled.has_value());
    const double p[2] = {3.0, -4.0};
    const double q[2] = {2 * p[0] + 10, 2 * p[1] + 10};
    for (int i = 0; i < 2; ++i) {
        const double a = scaled->matrix[i * 2] * (p[0] - scaled->crpix[0]) +
                         scaled->matrix[i * 2 + 1] * (p[1] - scaled->crpix[1]);
        const double b =
            t->matrix[i * 2] * (q[0] - t->crpix[0]) + t->matrix[i * 2 + 1] * (q[1] - t->crpix[1]);
        EXPECT_NEAR(a, b, 1e-12);
    }
    EXPECT_EQ(compose_with_input_affine(*t, {1, 0, 0, 0}, {0, 0}).error().msg,
              "linear matrix is singular (cannot invert)");
}

}  // namespace
}  // namespace vexlo
