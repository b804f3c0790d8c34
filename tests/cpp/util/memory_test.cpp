#include "util/memory.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

namespace vexlo {
namespace {

constexpr std::size_t kMiB = std::size_t{1} << 20;

TEST(OutputBuffer, SmallOutputsAreLeftToTheAllocator) {
    EXPECT_FALSE(worth_mapping(0));
    EXPECT_FALSE(worth_mapping(4 * kMiB - 1));
    EXPECT_TRUE(worth_mapping(4 * kMiB));
    EXPECT_EQ(map_output_buffer(4 * kMiB - 1), nullptr);
    unmap_output_buffer(nullptr, 4 * kMiB);  // nothing to give back
}

// Every byte of the buffer can be written and read back, whatever part of a huge page its end
// falls in (a whole number of them, a short tail mapped small, a long tail mapped whole).
class OutputBufferSizes : public testing::TestWithParam<std::size_t> {};

TEST_P(OutputBufferSizes, HoldsEveryByteFromAHugePageBoundary) {
    const std::size_t size = GetParam();
    auto* p = static_cast<std::uint8_t*>(map_output_buffer(size));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % (2 * kMiB), 0u);
    std::memset(p, 0xA5, size);
    p[size - 1] = 0x5A;
    EXPECT_EQ(p[0], 0xA5);
    EXPECT_EQ(p[size / 2], 0xA5);
    EXPECT_EQ(p[size - 2], 0xA5);
    EXPECT_EQ(p[size - 1], 0x5A);
    unmap_output_buffer(p, size);
}

INSTANTIATE_TEST_SUITE_P(Sizes, OutputBufferSizes,
                         testing::Values(4 * kMiB, 4 * kMiB + 8, 5 * kMiB + 1, 6 * kMiB - 24,
                                         8 * kMiB - 4096 + 1, 8 * kMiB));

}  // namespace
}  // namespace vexlo
