// The one section planner: how start/shape in an image of given axes and pixel type becomes
// byte runs, and the inputs it refuses.
#include "hdu/section_plan.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace vexlo {
namespace {

using V = std::vector<std::uint64_t>;

// The run length and offsets the planner gives, or its error's message.
struct Walked {
    std::uint64_t run_len = 0;
    V offsets;
    std::string error;
};

Walked walk(const V& axes, const V& start, const V& shape, Bitpix bitpix, std::uint64_t base) {
    Walked out;
    const Result<SectionRuns> plan = plan_runs(axes, shape, bitpix);
    if (!plan) return {0, {}, plan.error().message()};
    out.run_len = plan->run_len;
    const Result<void> r = for_each_run(*plan, start, shape, base, [&](std::uint64_t at) {
        out.offsets.push_back(at);
        return Result<void>{};
    });
    if (!r) out.error = r.error().message();
    return out;
}

TEST(SectionPlanTest, SectionHelpers) {
    const std::uint64_t axes[] = {10, 5, 3};
    const Result<std::vector<std::uint64_t>> strides = axis_strides(axes);
    ASSERT_TRUE(strides);
    EXPECT_EQ(*strides, (std::vector<std::uint64_t>{1, 10, 50}));
    const std::uint64_t huge[] = {std::uint64_t{1} << 40, std::uint64_t{1} << 30};
    EXPECT_EQ(axis_strides(huge).error().message(), "data: axis stride overflows u64");

    // The first axis is never stepped; the second steps fastest.
    std::vector<std::uint64_t> idx = {0, 0, 0};
    const std::uint64_t shape[] = {2, 3, 2};
    std::vector<std::vector<std::uint64_t>> seen = {idx};
    while (next_run_index(idx, shape))
        seen.push_back(idx);
    EXPECT_EQ(seen, (std::vector<std::vector<std::uint64_t>>{
                        {0, 0, 0}, {0, 1, 0}, {0, 2, 0}, {0, 0, 1}, {0, 1, 1}, {0, 2, 1}}));
    std::vector<std::uint64_t> one = {0};
    const std::uint64_t shape1[] = {7};
    EXPECT_FALSE(next_run_index(one, shape1));

    const std::uint64_t a2[] = {4, 4};
    const std::uint64_t start_end[] = {4, 0};
    const std::uint64_t shape_zero[] = {0, 4};
    EXPECT_TRUE(check_section(a2, start_end, shape_zero));
}

// Runs in file order (NAXIS2 stepping fastest), placed from the base. A section with a zero
// anywhere in its shape has none, though its index would otherwise visit one run. A run that
// cannot be addressed is refused with the message of what overflowed, after the runs before
// it were handed out.
TEST(SectionPlanTest, RunsOfASection) {
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    const std::uint64_t two61 = std::uint64_t{1} << 61, two62 = std::uint64_t{1} << 62;
    struct Case {
        const char* name;
        V axes, start, shape;
        Bitpix bitpix;
        std::uint64_t base;
        Walked want;
    };
    const std::vector<Case> cases = {
        {"one axis", {10}, {3}, {4}, Bitpix::U8, 0, {4, {3}, ""}},
        {"two axes", {10, 10}, {1, 1}, {3, 2}, Bitpix::I16, 2880, {6, {2902, 2922}, ""}},
        {"three axes", {4, 3, 2}, {1, 1, 0}, {2, 2, 2}, Bitpix::I32, 0, {8, {20, 36, 68, 84}, ""}},
        {"whole rows", {5, 2}, {0, 0}, {5, 2}, Bitpix::F64, 0, {40, {0, 40}, ""}},
        {"zero on a later axis", {4, 3}, {0, 3}, {4, 0}, Bitpix::U8, 0, {4, {}, ""}},
        {"zero on the first axis", {4, 3}, {4, 0}, {0, 3}, Bitpix::U8, 0, {0, {}, ""}},
        {"an axis of length zero", {4, 0, 2}, {0, 0, 0}, {4, 0, 2}, Bitpix::I16, 0, {8, {}, ""}},
        {"no axes", {}, {}, {}, Bitpix::U8, 0, {0, {}, ""}},
        {"run too long",
         {two62},
         {0},
         {two62},
         Bitpix::I64,
         0,
         {0, {}, "data: byte range overflows u64"}},
        {"pixel beyond 64 bits",
         {two61, 4},
         {0, 0},
         {1, 2},
         Bitpix::I64,
         0,
         {8, {0}, "data: byte offset overflows u64"}},
        {"base beyond 64 bits",
         {4, 2},
         {1, 0},
         {1, 2},
         Bitpix::U8,
         kMax - 4,
         {1, {kMax - 3}, "data: byte offset overflows u64"}},
        // Unreachable through check_section, which the callers make first.
        {"start beyond the axes",
         {4, 4},
         {0, two62},
         {1, 1},
         Bitpix::U8,
         0,
         {1, {}, "data: element offset overflows u64"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Walked w = walk(c.axes, c.start, c.shape, c.bitpix, c.base);
        EXPECT_EQ(w.run_len, c.want.run_len);
        EXPECT_EQ(w.offsets, c.want.offsets);
        EXPECT_EQ(w.error, c.want.error);
    }
}

// An error of the caller's stops the walk at that run.
TEST(SectionPlanTest, AnErrorOfTheCallerStopsTheWalk) {
    const V axes = {3, 4}, start = {0, 0}, shape = {3, 4};
    const SectionRuns plan = plan_runs(axes, shape, Bitpix::U8).value();
    int calls = 0;
    const Result<void> r = for_each_run(plan, start, shape, 0, [&](std::uint64_t) -> Result<void> {
        if (++calls == 2) return fail(Error::io("read failed"));
        return {};
    });
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), "i/o error: read failed");
    EXPECT_EQ(calls, 2);
}

}  // namespace
}  // namespace vexlo
