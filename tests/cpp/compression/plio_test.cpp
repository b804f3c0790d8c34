#include "compression/plio.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace vexlo {
namespace {

Bytes words(std::initializer_list<std::uint16_t> ws) {
    Bytes b;
    for (std::uint16_t w : ws) {
        b.push_back(static_cast<std::uint8_t>(w >> 8));
        b.push_back(static_cast<std::uint8_t>(w));
    }
    return b;
}

std::vector<std::uint32_t> pixels(const Bytes& out, std::uint32_t width) {
    std::vector<std::uint32_t> v;
    for (std::size_t i = 0; i < out.size(); i += width) {
        std::uint32_t p = 0;
        for (std::uint32_t k = 0; k < width; ++k)
            p = (p << 8) | out[i + k];
        v.push_back(p);
    }
    return v;
}

using Pixels = std::vector<std::uint32_t>;

TEST(Plio, DecodesLists) {
    struct Case {
        Bytes list;
        std::uint32_t width;
        std::size_t npix;
        Pixels expect;
    };
    const Case cases[] = {
        // pv starts at 1; a run of 3, then a zero run of 2.
        {words({0, 0, 5, 0x4000 + 3, 0x0000 + 2}), 2, 5, {1, 1, 1, 0, 0}},
        // The same list on a 2-pixel tile stops at the tile's end.
        {words({0, 0, 5, 0x4000 + 3, 0x0000 + 2}), 2, 2, {1, 1}},
        // Opcode 1 with 0x0001 and data 5 sets pv = 4101.
        {words({0, 0, 6, 0x1005, 0x0001, 0x4002}), 4, 3, {4101, 4101, 0}},
        // Opcode 5: only the last pixel of the run gets pv; a cut run writes nothing.
        {words({0, 0, 4, 0x5003}), 2, 10, {0, 0, 1, 0, 0, 0, 0, 0, 0, 0}},
        {words({0, 0, 4, 0x5003}), 2, 2, {0, 0}},
        // Opcodes 2, 6, 3, 7 step pv; 6 and 7 write one pixel each.
        {words({0, 0, 7, 0x2004, 0x6001, 0x3002, 0x7001}), 1, 3, {6, 3, 0}},
        // An out-of-range pv that is never written is harmless.
        {words({0, 0, 5, 0x3005, 0x0002}), 1, 2, {0, 0}},
        // New 7-word header: first instruction at word 7, list length 9.
        {words({0, 7, 0xFFFF, 9, 0, 0, 0, 0x4002, 0x6003}), 2, 3, {1, 1, 4}},
        // A list that describes nothing leaves zeros.
        {words({0, 0, 3}), 2, 2, {0, 0}},
    };
    for (const Case& c : cases) {
        Bytes out(c.npix * c.width);
        auto r = plio_decode(c.list, c.width, c.npix, out);
        ASSERT_TRUE(r.has_value()) << r.error().message();
        EXPECT_EQ(pixels(out, c.width), c.expect);
    }
}

// The list length of the 7-word header spans two words (low 15 bits, then the rest): a list of
// more than 32,767 words must be read to its end, not refused or cut short.
TEST(Plio, LongListLengthSpansTwoHeaderWords) {
    const std::size_t npix = 40000;
    const std::size_t len = 7 + npix;  // one single-pixel instruction per pixel
    std::vector<std::uint16_t> ws = {0,
                                     7,
                                     0xFFFF,
                                     static_cast<std::uint16_t>(len & 0x7FFF),
                                     static_cast<std::uint16_t>(len >> 15),
                                     0,
                                     0};
    for (std::size_t i = 0; i < npix; ++i)
        ws.push_back(i % 2 == 0 ? 0x6000 : 0x6001);  // pv stays 1, then steps up by one
    Bytes list;
    for (std::uint16_t w : ws) {
        list.push_back(static_cast<std::uint8_t>(w >> 8));
        list.push_back(static_cast<std::uint8_t>(w));
    }
    Bytes out(npix * 4);
    auto r = plio_decode(list, 4, npix, out);
    ASSERT_TRUE(r.has_value()) << r.error().message();
    const Pixels got = pixels(out, 4);
    EXPECT_EQ(got[0], 1u);
    EXPECT_EQ(got[32766], 16384u);
    EXPECT_EQ(got[npix - 1], 20001u);
}

TEST(Plio, RefusesBadLists) {
    struct Case {
        Bytes list;
        std::uint32_t width;
        std::size_t npix;
        std::size_t out_len;
        const char* msg;
    };
    const Case cases[] = {
        {Bytes(5), 2, 2, 4, "PLIO_1 payload has odd byte length 5"},
        {Bytes(6), 2, 2, 5, "PLIO_1 destination is 5 bytes, expected 4"},
        {Bytes(6), 3, 2, 6, "PLIO_1 only supports 1/2/4-byte pixels, got 3"},
        {Bytes(4), 2, 2, 4, "PLIO_1 payload shorter than the 3-word minimum header"},
        {Bytes(12), 2, 2, 4, "PLIO_1 new-format payload is shorter than its 7-word header"},
        {words({0, 6, 0, 7, 0, 0, 0}), 2, 2, 4, "PLIO_1 header length field = 6, expected >= 7"},
        {words({0, 0, 9, 0x4001}), 2, 2, 4,
         "PLIO_1 declares 9 encoded words but only 4 were provided"},
        {words({0, 0, 2}), 2, 2, 4, "PLIO_1 header length 3 exceeds total length 2"},
        {words({0, 0, 4, 0x8000}), 2, 2, 4, "PLIO_1 reserved opcode 8 at word 3"},
        {words({0, 0, 4, 0x1005}), 2, 2, 4, "PLIO_1 opcode 1 (extended pv) missing second word"},
        {words({0, 0, 5, 0x3005, 0x4001}), 2, 2, 4,
         "PLIO_1 decoded pixel value -4 out of range [0, 65535]"},
        {words({0, 0, 5, 0x20FF, 0x4001}), 1, 1, 1,
         "PLIO_1 decoded pixel value 256 out of range [0, 255]"},
    };
    for (const Case& c : cases) {
        Bytes out(c.out_len);
        auto r = plio_decode(c.list, c.width, c.npix, out);
        ASSERT_FALSE(r.has_value()) << c.msg;
        EXPECT_NE(r.error().message().find(c.msg), std::string::npos) << r.error().message();
    }
    Bytes none;
    EXPECT_TRUE(plio_decode(Bytes{}, 2, 0, none).has_value());
}

}  // namespace
}  // namespace vexlo
