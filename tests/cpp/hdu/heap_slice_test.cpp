// Where a variable-length array lies in a table's heap, and when it lies outside.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>

#include "hdu/bintable.hpp"

namespace vexlo {
namespace {

TEST(HeapSlice, InsideOrNone) {
    const Bytes heap{0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    constexpr std::uint64_t kMax = ~std::uint64_t{0};
    struct Case {
        std::uint64_t offset, length;
        std::optional<std::uint64_t> first;  // none: refused
    };
    const Case cases[] = {
        {0, 10, 0},            // the whole heap
        {3, 4, 3},             //
        {10, 0, 10},           // an empty array at the very end
        {4, 0, 4},             //
        {7, 4, std::nullopt},  // one byte too many
        {11, 0, std::nullopt},
        {kMax, 1, std::nullopt},  // the end wraps past 2^64
        {1, kMax, std::nullopt},
        {kMax, 0, std::nullopt},
    };
    for (const Case& c : cases) {
        const std::optional<ByteSpan> got = heap_slice(heap, c.offset, c.length);
        ASSERT_EQ(got.has_value(), c.first.has_value()) << c.offset << " + " << c.length;
        if (!got) continue;
        EXPECT_EQ(got->size(), c.length);
        EXPECT_EQ(got->data(), heap.data() + *c.first);
    }
}

}  // namespace
}  // namespace vexlo
