// Ones'-complement sums and the checksum character encoding, checked against a sum computed
// independently here.
#include "data/checksum.hpp"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "../hdu/writer_fixture.hpp"
#include "util/parallel.hpp"

namespace vexlo {
namespace {

using write_testing::noise;
using write_testing::reference_sum;

TEST(OnesComplementSum, SmallCases) {
    struct Case {
        Bytes bytes;
        std::uint32_t sum;
    };
    const std::vector<Case> cases = {
        {{}, 0},
        {{0xFF, 0xFF, 0xFF, 0xFF}, 0xFFFFFFFF},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x01}, 1},  // carry wraps around
        {{0x12, 0x34, 0x56, 0x78}, 0x12345678},
        {{0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x01}, 0x00020000},
        {{0x80, 0x00, 0x00, 0x00, 0x80, 0x00, 0x00, 0x00}, 1},
        {{0x00, 0x00, 0x00, 0x07, 0xAB, 0xCD}, 7},  // a trailing partial word is not summed
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ones_complement_sum(c.bytes), c.sum);
        EXPECT_EQ(ones_complement_sum(c.bytes), reference_sum(c.bytes));
    }
}

TEST(OnesComplementSum, MatchesReferenceOnLargeBuffers) {
    for (std::uint32_t seed : {1u, 7u, 12345u}) {
        const Bytes b = noise(2880 * 37, seed);
        EXPECT_EQ(ones_complement_sum(b), reference_sum(b)) << seed;
    }
    const Bytes ones(2880 * 10, 0xFF);
    EXPECT_EQ(ones_complement_sum(ones), 0xFFFFFFFFu);
}

// The sum runs eight bytes at a time in blocks: every length, start alignment and block
// boundary must give the word-by-word result, including lanes filled with 0xFF to the brim.
TEST(OnesComplementSum, EveryLengthAndAlignmentMatchesTheReference) {
    const Bytes b = noise(8 * 256 * 3 + 64, 4242);
    for (std::size_t offset = 0; offset < 8; ++offset) {
        for (std::size_t len = 0; len + offset <= 300; ++len) {
            const ByteSpan part = ByteSpan(b).subspan(offset, len);
            ASSERT_EQ(ones_complement_sum(part), reference_sum(part)) << offset << " " << len;
        }
        for (const std::size_t len : {2044u, 2048u, 2052u, 4092u, 4096u, 4100u, 6144u}) {
            const ByteSpan part = ByteSpan(b).subspan(offset, len);
            ASSERT_EQ(ones_complement_sum(part), reference_sum(part)) << offset << " " << len;
        }
    }
    for (const std::uint8_t fill : {std::uint8_t{0xFF}, std::uint8_t{0xFE}, std::uint8_t{0x01}}) {
        Bytes full(8 * 256 * 5 + 4, fill);
        full[3] = 0x00;
        ASSERT_EQ(ones_complement_sum(full), reference_sum(full)) << int(fill);
        ASSERT_EQ(ones_complement_sum(ByteSpan(full).subspan(1)),
                  reference_sum(ByteSpan(full).subspan(1)))
            << int(fill);
    }
}

TEST(OnesComplementSum, ChunkSumsCombineWithAdd) {
    const Bytes b = noise(2880 * 9, 99);
    const ByteSpan all(b);
    for (std::size_t cut :
         {std::size_t{0}, std::size_t{4}, std::size_t{2880}, std::size_t{8640}, b.size()}) {
        EXPECT_EQ(ones_complement_add(ones_complement_sum(all.first(cut)),
                                      ones_complement_sum(all.subspan(cut))),
                  ones_complement_sum(all))
            << cut;
    }
}

// A large sum is split over parts: forced into several parts on whatever cores there are, every
// buffer gives the word-by-word result, zero only for all-zero words and all ones where the
// words cancel.
TEST(OnesComplementSum, SplitSumsMatchTheReference) {
    Bytes cancel = noise(4 * 1001, 5);
    // The last word makes the total a multiple of 2^32 - 1.
    const std::uint32_t rest = reference_sum(ByteSpan(cancel).first(4 * 1000));
    const std::uint32_t last = ~rest;
    for (int k = 0; k < 4; ++k)
        cancel[4 * 1000 + k] = static_cast<std::uint8_t>(last >> (24 - 8 * k));
    const std::vector<Bytes> buffers = {noise(4 * 1000 + 3, 77), Bytes(4 * 999, 0), cancel,
                                        Bytes(4 * 777, 0xFF), Bytes(5, 0x10)};
    for (const std::size_t parts : {std::size_t{2}, std::size_t{3}, std::size_t{7}}) {
        force_parts_for_tests(parts);
        force_helper_budget_for_tests(parts - 1);
        for (const Bytes& b : buffers) {
            EXPECT_EQ(ones_complement_sum(b), reference_sum(b)) << parts << " " << b.size();
        }
        EXPECT_EQ(ones_complement_sum(buffers[1]), 0u);
        EXPECT_EQ(ones_complement_sum(cancel), 0xFFFFFFFFu);
    }
    force_parts_for_tests(0);
    force_helper_budget_for_tests(std::nullopt);
}

TEST(OnesComplementAdd, EndAroundCarry) {
    struct Case {
        std::uint32_t a, b, sum;
    };
    const std::vector<Case> cases = {
        {0, 0, 0},
        {1, 2, 3},
        {0xFFFFFFFF, 1, 1},
        {0xFFFFFFFF, 0, 0xFFFFFFFF},
        {0x80000000, 0x80000000, 1},
        {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF},
        {0xFFFFFFFE, 1, 0xFFFFFFFF},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ones_complement_add(c.a, c.b), c.sum) << c.a << " + " << c.b;
        EXPECT_EQ(ones_complement_add(c.b, c.a), c.sum);
    }
}

TEST(EncodeChecksum, KnownValues) {
    struct Case {
        std::uint32_t value;
        std::string_view text;
    };
    // 0x28 gives q = ':' and is steered through the punctuation to 'A','3','A','3'; 0xFF
    // gives 'r','o','o','o'; the result is rotated right by one character.
    const std::vector<Case> cases = {
        {0x00000000, "0000000000000000"},
        {0x28282828, "3AAAA3333AAAA333"},
        {0xFFFFFFFF, "orrrrooooooooooo"},
    };
    for (const Case& c : cases) {
        const auto out = encode_checksum(c.value);
        EXPECT_EQ(std::string_view(out.data(), out.size()), c.text);
    }
}

TEST(EncodeChecksum, OnlyDigitsAndLetters) {
    std::uint32_t x = 2463534242u;
    for (int i = 0; i < 20000; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        // Include every single-byte pattern in each position too.
        const std::uint32_t v = i < 1024 ? (std::uint32_t(i & 0xFF) << (8 * (i >> 8))) : x;
        for (char c : encode_checksum(v)) {
            ASSERT_TRUE(std::isalnum(static_cast<unsigned char>(c))) << v;
        }
    }
}

}  // namespace
}  // namespace vexlo
