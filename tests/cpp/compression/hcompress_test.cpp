#include "compression/hcompress.hpp"

#include <gtest/gtest.h>

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

TEST(Hcompress, HostileBitStreamsStayInBounds) {
    // Arbitrary bits after a valid header for odd and even shapes: decode or refuse, never
    // read or write outside the buffers (the sanitizer builds check the "never").
    std::uint32_t state = 1;
    for (auto [nx, ny] : {std::pair{1, 7}, {7, 1}, {5, 9}, {16, 16}, {3, 33}}) {
        for (int trial = 0; trial < 50; ++trial) {
            Bytes in =
                stream_header(nx, ny, trial % 4, trial * 1000, trial % 9, trial % 7, trial % 5);
            for (int k = 0; k < trial * 3; ++k) {
                state = state * 1103515245u + 12345u;
                in.push_back(static_cast<std::uint8_t>(state >> 16));
            }
            const auto npix = static_cast<std::uint64_t>(nx * ny);
            Bytes out(npix * 4);
            (void)hcompress_decode(in, 4, npix, 0, trial % 2 == 0, out);
        }
    }
}

}  // namespace
}  // namespace vexlo
