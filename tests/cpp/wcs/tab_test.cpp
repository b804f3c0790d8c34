#include "wcs/tab.hpp"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace vexlo
