#include "wcs/tab.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace vexlo {
namespace {

TEST(TabSearch, MonotonicListsAndTheirFaults) {
    struct Case {
        std::vector<double> list;
        double target;
        double position;  // when message is empty
        std::string message;
    };
    const std::vector<Case> cases = {
        {{1, 3, 2}, 2.0, 0, "TAB inverse: coordinate / index array is not monotonic"},
        {{3, 2, 2, 1}, 1.5, 2.5, ""},
        {{1, 1, 2}, 1.0, 1.0, ""},  // the bisection keeps moving lo past equal values
        {{5, 5}, 5.0, 0, "TAB inverse: degenerate (zero-width) segment"},
        {{5}, 5.0, 0, "TAB inverse: lookup array needs at least 2 samples"},
        {{10, 20, 30}, 40.0, 3.0, ""},  // beyond the end: the last segment extrapolates
        {{10, 20, 30}, 5.0, -0.5, ""},
    };
    for (const Case& c : cases) {
        const Result<double> r = tab_search(c.list, c.target);
        if (c.message.empty()) {
            ASSERT_TRUE(r.has_value()) << r.error().msg;
            EXPECT_DOUBLE_EQ(*r, c.position);
        } else {
            ASSERT_FALSE(r.has_value());
            EXPECT_EQ(r.error().msg, c.message);
        }
    }
}

TEST(TabGroup, VectorTransformsOnASmallGrid) {
    // A 2 x 2 grid whose coordinates are the indices scaled: (u, v) -> (2u, 3v).
    TabGroup g;
    g.wcs_axes = {0, 1};
    g.sizes = {2, 2};
    g.index_vectors = {std::nullopt, std::nullopt};
    g.coords = {0, 0, 2, 0, 0, 3, 2, 3};
    std::vector<double> work(tab_work_size(2));
    std::vector<double> v = {2.0, 3.0};
    TabFault f;
    ASSERT_TRUE(tab_inverse(g, v, work, f));
    EXPECT_EQ(v, (std::vector<double>{2.0, 2.0}));  // 1-based psi of the grid point (1, 1)
    std::vector<double> psi = {1.5, 1.25};
    ASSERT_TRUE(tab_forward(g, psi, work, f));
    EXPECT_DOUBLE_EQ(psi[0], 1.0);
    EXPECT_DOUBLE_EQ(psi[1], 0.75);
    // A grid whose points coincide has no unique inverse.
    g.coords = {1, 1, 1, 1, 1, 1, 1, 1};
    v = {1.0, 1.0};
    EXPECT_FALSE(tab_inverse(g, v, work, f));
    EXPECT_EQ(tab_message(f),
              "-TAB inverse: the coordinate array is singular here, so the world coordinate does "
              "not determine a unique index");
}

TEST(TabGroup, APointOnAGridIndexTakesThatValueBesideANull) {
    constexpr double kNull = std::numeric_limits<double>::quiet_NaN();
    std::vector<double> work(tab_work_size(2));
    TabFault f;
    // One axis (10, null, 30, 40, 50): psi is the 1-based index.
    TabGroup one;
    one.wcs_axes = {0};
    one.sizes = {5};
    one.index_vectors = {std::nullopt};
    one.coords = {10, kNull, 30, 40, 50};
    const struct {
        double psi;
        double world;  // NaN: the null takes part
    } cases[] = {{1.0, 10.0}, {3.0, 30.0}, {1.5, kNull}, {2.0, kNull}, {5.0, 50.0}};
    for (const auto& c : cases) {
        std::vector<double> v = {c.psi};
        ASSERT_TRUE(tab_forward(one, v, work, f));
        if (std::isnan(c.world)) {
            EXPECT_TRUE(std::isnan(v[0])) << c.psi;
        } else {
            EXPECT_EQ(v[0], c.world) << c.psi;
        }
    }
    // The last index of a table whose next-to-last value is null.
    one.coords = {10, 20, 30, kNull, 50};
    std::vector<double> last = {5.0};
    ASSERT_TRUE(tab_forward(one, last, work, f));
    EXPECT_EQ(last[0], 50.0);
    // Two axes sharing a 2 x 2 grid, with a null at grid point (1, 1).
    TabGroup two;
    two.wcs_axes = {0, 1};
    two.sizes = {2, 2};
    two.index_vectors = {std::nullopt, std::nullopt};
    two.coords = {0, 0, 2, 0, 0, 3, kNull, kNull};
    std::vector<double> on_grid = {2.0, 1.0};  // grid point (1, 0)
    ASSERT_TRUE(tab_forward(two, on_grid, work, f));
    EXPECT_EQ(on_grid, (std::vector<double>{2.0, 0.0}));
    std::vector<double> on_edge = {1.5, 1.0};  // between (0, 0) and (1, 0)
    ASSERT_TRUE(tab_forward(two, on_edge, work, f));
    EXPECT_EQ(on_edge, (std::vector<double>{1.0, 0.0}));
    std::vector<double> inside = {1.5, 1.5};
    ASSERT_TRUE(tab_forward(two, inside, work, f));
    EXPECT_TRUE(std::isnan(inside[0]));
}

}  // namespace
}  // namespace vexlo
