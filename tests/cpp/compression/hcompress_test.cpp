#include "compression/hcompress.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>

#include "data/pixel.hpp"

namespace vexlo {
namespace {

// The 25-byte stream header: magic, nx, ny, scale, total, plane counts.
Bytes stream_header(std::int32_t nx, std::int32_t ny, std::int32_t scale, std::int64_t total,
                    std::uint8_t p0 = 0, std::uint8_t p1 = 0, std::uint8_t p2 = 0) {
    Bytes b{0xDD, 0x99};
    auto put = [&](std::uint64_t v, int n) {
        for (int k = n - 1; k >= 0; --k)
            b.push_back(static_cast<std::uint8_t>(v >> (8 * k)));
    };
    put(static_cast<std::uint32_t>(nx), 4);
    put(static_cast<std::uint32_t>(ny), 4);
    put(static_cast<std::uint32_t>(scale), 4);
    put(static_cast<std::uint64_t>(total), 8);
    b.push_back(p0);
    b.push_back(p1);
    b.push_back(p2);
    return b;
}

std::string decode_error(const Bytes& in, std::uint32_t width, std::uint64_t npix,
                         std::int32_t scale = 0) {
    Bytes out(npix * width);
    auto r = hcompress_decode(in, width, npix, scale, false, out);
    return r ? std::string("ok") : r.error().message();
}

TEST(Hcompress, SinglePixelTileKeepsItsValue) {
    // No bit planes, the end nybble, no sign bits: the pixel is the total alone.
    for (std::uint32_t width : {2u, 4u, 8u}) {
        Bytes in = stream_header(1, 1, 0, 1234);
        in.push_back(0x00);
        Bytes out(width);
        auto r = hcompress_decode(in, width, 1, 0, false, out);
        ASSERT_TRUE(r.has_value()) << r.error().message();
        std::uint64_t v = 0;
        for (std::uint8_t b : out)
            v = (v << 8) | b;
        EXPECT_EQ(v, 1234u) << width;
    }
}

TEST(Hcompress, TotalAloneSpreadsThroughTheTransform) {
    // Plane counts 0, 0, 0: every coefficient but the total is 0, so a 4 x 4 tile whose
    // total is 8 times a level (the transform keeps two extra bits of the sum) decodes to that
    // level everywhere.
    Bytes in = stream_header(4, 4, 0, 8 * 7);
    in.push_back(0x00);
    Bytes out(16 * 2);
    ASSERT_TRUE(hcompress_decode(in, 2, 16, 0, false, out).has_value());
    for (std::size_t i = 0; i < 16; ++i)
        EXPECT_EQ(load_be_i16(&out[2 * i]), 7) << i;
    // Width 1 writes the low byte of a coefficient of 300.
    in = stream_header(1, 1, 0, 300);
    in.push_back(0x00);
    Bytes one(1);
    ASSERT_TRUE(hcompress_decode(in, 1, 1, 0, false, one).has_value());
    EXPECT_EQ(one[0], 0x2C);
}

TEST(Hcompress, RefusesBadStreams) {
    Bytes ok = stream_header(10, 20, 2, 0);
    ok.push_back(0x00);
    Bytes bad_magic = ok;
    bad_magic[1] = 0x98;
    Bytes zero_dim = stream_header(0, 20, 0, 0);
    Bytes neg_dim = stream_header(10, -1, 0, 0);
    Bytes bad_format = stream_header(2, 2, 0, 0, 1);
    bad_format.push_back(0x50);  // format nybble 5
    Bytes bad_end = stream_header(1, 1, 0, 0);
    bad_end.push_back(0x30);  // non-zero nybble after the quadrants
    struct Case {
        Bytes in;
        std::uint32_t width;
        std::uint64_t npix;
        std::int32_t scale;
        std::string msg;
    };
    const std::string t = "data: HCOMPRESS_1 ";
    const Case cases[] = {
        {ok, 3, 200, 0, t + "only supports 1/2/4/8-byte integer pixels, got bp=3"},
        {ok, 2, 200, 0, "ok"},
        {ok, 2, 300, 0, t + "payload describes 10x20 = 200 pixels, tile expects 300"},
        {ok, 2, 200, 2, "ok"},
        {ok, 2, 200, 4, t + "SCALE mismatch: ZVALn says 4, payload says 2"},
        {bad_magic, 2, 200, 0, t + "bad magic bytes DD 98 (expected DD 99)"},
        {Bytes{0xDD}, 2, 200, 0, t + "payload truncated: need 2 bytes at offset 0 of 1"},
        {Bytes(ok.begin(), ok.begin() + 8), 2, 200, 0,
         t + "payload truncated: need 4 bytes at offset 6 of 8"},
        {Bytes(ok.begin(), ok.begin() + 20), 2, 200, 0,
         t + "payload truncated: need 8 bytes at offset 14 of 20"},
        {Bytes(ok.begin(), ok.begin() + 24), 2, 200, 0,
         t + "payload truncated: need 3 bytes at offset 22 of 24"},
        {Bytes(ok.begin(), ok.begin() + 25), 2, 200, 0,
         t + "payload truncated: need 1 bytes at offset 25 of 25"},
        {zero_dim, 2, 200, 0, t + "declares non-positive dimensions 0x20"},
        {neg_dim, 2, 200, 0, t + "declares non-positive dimensions 10x-1"},
        {bad_format, 2, 4, 0, t + "qtree_decode: bad format code 0x5"},
        {bad_end, 2, 1, 0, t + "dodecode: bad bit plane values"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(decode_error(c.in, c.width, c.npix, c.scale), c.msg);
    Bytes out(3);
    EXPECT_EQ(hcompress_decode(ok, 2, 2, 0, false, out).error().message(),
              t + "destination is 3 bytes, expected 4");
}

// Arbitrary bits after a valid header for odd and even shapes: each stream decodes or is
// refused, and either way the decoder stays inside its buffers. The input is followed by bytes
// that must make no difference (a read past its end would see them), the output sits between
// guard bytes, and a refusal leaves the output as it was.
TEST(Hcompress, HostileBitStreamsStayInBounds) {
    constexpr std::size_t kGuard = 64;
    std::uint32_t state = 1;
    int decoded = 0;
    int refused = 0;
    for (auto [nx, ny] : {std::pair{1, 7}, {7, 1}, {5, 9}, {16, 16}, {3, 33}}) {
        for (int trial = 0; trial < 50; ++trial) {
            // Every fourth stream has no bit planes and a valid end, then junk: it decodes.
            const bool planes = trial % 4 != 0;
            Bytes in = planes ? stream_header(nx, ny, trial % 4, trial * 1000, trial % 9, trial % 7,
                                              trial % 5)
                              : stream_header(nx, ny, 1, trial * 1000);
            if (!planes) in.push_back(0x00);
            for (int k = 0; k < trial * 3; ++k) {
                state = state * 1103515245u + 12345u;
                in.push_back(static_cast<std::uint8_t>(state >> 16));
            }
            const auto npix = static_cast<std::size_t>(nx * ny);
            const std::uint32_t width = trial % 3 == 0 ? 2 : 4;
            const bool smooth = trial % 2 == 0;
            // The whole stream and every cut of it after the header.
            for (std::size_t len = 25; len <= in.size(); ++len) {
                const std::string where = std::to_string(nx) + "x" + std::to_string(ny) +
                                          " trial " + std::to_string(trial) + " length " +
                                          std::to_string(len);
                std::optional<Bytes> first;
                for (const std::uint8_t beyond : {std::uint8_t{0x00}, std::uint8_t{0xFF}}) {
                    Bytes padded(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(len));
                    padded.resize(len + kGuard, beyond);
                    Bytes out(npix * width + 2 * kGuard, 0xA5);
                    const Result<void> r =
                        hcompress_decode(ByteSpan(padded).first(len), width, npix, 0, smooth,
                                         std::span(out).subspan(kGuard, npix * width));
                    for (std::size_t i = 0; i < kGuard; ++i) {
                        ASSERT_EQ(out[i], 0xA5) << where;
                        ASSERT_EQ(out[out.size() - 1 - i], 0xA5) << where;
                    }
                    if (!r) {
                        EXPECT_EQ(r.error().message().rfind("data: HCOMPRESS_1 ", 0), 0u)
                            << where << ": " << r.error().message();
                        EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](std::uint8_t b) {
                            return b == 0xA5;
                        })) << where;
                        out.clear();  // a refusal is recorded as no output
                    }
                    if (!first) {
                        first = out;
                        (r ? decoded : refused) += 1;
                    } else {
                        ASSERT_TRUE(*first == out) << where << ": bytes after the input mattered";
                    }
                }
            }
        }
    }
    // Both outcomes are exercised.
    EXPECT_GT(decoded, 0);
    EXPECT_GT(refused, 0);
}

}  // namespace
}  // namespace vexlo
