#include "compression/rice.hpp"

#include <gtest/gtest.h>

#include <random>

namespace vexlo {
namespace {

Bytes decode(std::uint32_t bytepix, std::uint32_t blocksize, std::size_t npix, ByteSpan in) {
    Bytes out(npix * bytepix);
    auto r = rice_decode(bytepix, blocksize, static_cast<std::uint32_t>(npix), in, out);
    EXPECT_TRUE(r.has_value()) << r.error().message();
    return out;
}

Bytes random_tile(std::uint32_t bytepix, std::size_t npix, int spread, std::mt19937& rng) {
    Bytes t(npix * bytepix);
    std::normal_distribution<double> noise(0.0, spread);
    std::int64_t level = 100;
    for (std::size_t i = 0; i < npix; ++i) {
        const auto v = static_cast<std::uint64_t>(level + static_cast<std::int64_t>(noise(rng)));
        for (std::uint32_t k = 0; k < bytepix; ++k) {
            t[i * bytepix + k] = static_cast<std::uint8_t>(v >> (8 * (bytepix - 1 - k)));
        }
        if (i % 97 == 0) level += static_cast<std::int64_t>(noise(rng)) * 7;
    }
    return t;
}

TEST(Rice, RoundTripsEveryWidthBlockSizeAndSpread) {
    std::mt19937 rng(7);
    for (std::uint32_t bytepix : {1u, 2u, 4u}) {
        for (std::uint32_t blocksize : {1u, 7u, 16u, 32u, 64u}) {
            // From constant runs (zero blocks) through Rice blocks to raw blocks.
            for (int spread : {0, 1, 30, 3000, 1 << 18, 1 << 22, 1 << 30}) {
                for (std::size_t npix : {1, 2, 33, 1000}) {
                    const Bytes tile = random_tile(bytepix, npix, spread, rng);
                    auto enc = rice_encode(bytepix, blocksize, tile);
                    ASSERT_TRUE(enc.has_value()) << enc.error().message();
                    EXPECT_EQ(decode(bytepix, blocksize, npix, *enc), tile)
                        << "bytepix " << bytepix << " blocksize " << blocksize << " spread "
                        << spread << " npix " << npix;
                }
            }
        }
    }
}

TEST(Rice, StreamLayout) {
    // 100 equal 16-bit pixels: the first pixel, then one 4-bit zero code per block.
    Bytes equal(200);
    for (std::size_t i = 0; i < 100; ++i)
        equal[2 * i + 1] = 5;
    auto enc = rice_encode(2, 32, equal);
    ASSERT_TRUE(enc.has_value());
    EXPECT_EQ(*enc, (Bytes{0, 5, 0, 0}));

    // One pixel: verbatim bytes and one byte holding the zero-block code; decoding reads only
    // the first pixel.
    enc = rice_encode(4, 32, Bytes{1, 2, 3, 4});
    ASSERT_TRUE(enc.has_value());
    EXPECT_EQ(*enc, (Bytes{1, 2, 3, 4, 0}));
    EXPECT_EQ(decode(4, 32, 1, Bytes{1, 2, 3, 4}), (Bytes{1, 2, 3, 4}));

    // Differences wrap at the pixel width: 0x00 then 0xFF is d = -1, v = 1, fs = 0.
    enc = rice_encode(1, 32, Bytes{0x00, 0xFF});
    ASSERT_TRUE(enc.has_value());
    EXPECT_EQ(decode(1, 32, 2, *enc), (Bytes{0x00, 0xFF}));
    enc = rice_encode(2, 32, Bytes{0x80, 0x00, 0x7F, 0xFF});
    ASSERT_TRUE(enc.has_value());
    EXPECT_EQ(decode(2, 32, 2, *enc), (Bytes{0x80, 0x00, 0x7F, 0xFF}));

    // Widely scattered 32-bit values are written raw: code 26 in 5 bits, then 32 bits each.
    const Bytes scattered{0, 0, 0, 0, 0x7F, 0xFF, 0xFF, 0xFF, 0x80, 0, 0, 0};
    enc = rice_encode(4, 32, scattered);
    ASSERT_TRUE(enc.has_value());
    EXPECT_EQ(enc->size(), 4u + (5 + 3 * 32 + 7) / 8);
    EXPECT_EQ((*enc)[4] >> 3, 26);
    EXPECT_EQ(decode(4, 32, 3, *enc), scattered);
}

TEST(Rice, RefusesBadArguments) {
    struct Case {
        std::uint32_t bytepix, blocksize;
        Bytes tile;
        const char* msg;
    };
    const Case cases[] = {
        {3, 32, Bytes(6), "RICE BYTEPIX must be 1, 2, or 4, got 3"},
        {2, 0, Bytes(6), "RICE BLOCKSIZE must be > 0"},
        {2, 32, Bytes(5), "data: RICE_1 tile size 5 is not a positive multiple of BYTEPIX 2"},
        {2, 32, Bytes(), "data: RICE_1 tile size 0 is not a positive multiple of BYTEPIX 2"},
    };
    for (const Case& c : cases) {
        auto r = rice_encode(c.bytepix, c.blocksize, c.tile);
        ASSERT_FALSE(r.has_value());
        EXPECT_NE(r.error().message().find(c.msg), std::string::npos) << r.error().message();
    }
    Bytes out(8);
    auto r = rice_decode(2, 32, 3, Bytes{1, 2, 3}, out);
    EXPECT_EQ(r.error().message(), "data: RICE: destination buffer is 8 bytes, need 6");
    r = rice_decode(4, 32, 2, Bytes{1, 2, 3}, out);
    EXPECT_EQ(r.error().message(), "data: RICE: input shorter than the verbatim leading pixel");
    r = rice_decode(4, 32, 2, Bytes{1, 2, 3, 4}, out);
    EXPECT_EQ(r.error().message(), "data: RICE: hit end of compressed stream");
    // Block size 0 never advances; it must end at the end of the stream, not spin.
    r = rice_decode(4, 0, 2, Bytes{1, 2, 3, 4, 0xFF, 0xFF}, out);
    EXPECT_EQ(r.error().message(), "data: RICE: hit end of compressed stream");
}

TEST(Rice, CutOrCorruptedStreamsFailCleanly) {
    std::mt19937 rng(11);
    const Bytes tile = random_tile(2, 500, 300, rng);
    auto enc = rice_encode(2, 32, tile);
    ASSERT_TRUE(enc.has_value());
    Bytes out(1000);
    // Every cut is refused (the last byte may carry only padding, so stop one short).
    for (std::size_t n = 0; n + 1 < enc->size(); ++n) {
        const ByteSpan cut(enc->data(), n);
        EXPECT_FALSE(rice_decode(2, 32, 500, cut, out).has_value()) << n;
    }
    // Flipped bits decode to something or fail, within the buffer.
    for (std::size_t k = 0; k < enc->size() * 8; k += 5) {
        Bytes bad = *enc;
        bad[k / 8] ^= static_cast<std::uint8_t>(1u << (k % 8));
        (void)rice_decode(2, 32, 500, bad, out);
    }
}

}  // namespace
}  // namespace vexlo
