#include "data/pixel.hpp"
#include "../be_bytes.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>

namespace vexlo {
namespace {

Bytes bytes_of(std::initializer_list<int> v) {
    Bytes out;
    for (const int b : v)
        out.push_back(static_cast<std::uint8_t>(b));
    return out;
}

TEST(PixelTest, FromBitpixMapsTheSixTypes) {
    struct Case {
        std::int64_t bitpix;
        Bitpix want;
        std::uint64_t bytes;
        std::string_view name;
    };
    const Case cases[] = {
        {8, Bitpix::U8, 1, "u8"},    {16, Bitpix::I16, 2, "i16"},  {32, Bitpix::I32, 4, "i32"},
        {64, Bitpix::I64, 8, "i64"}, {-32, Bitpix::F32, 4, "f32"}, {-64, Bitpix::F64, 8, "f64"},
    };
    for (const Case& c : cases) {
        const Result<Bitpix> got = from_bitpix(c.bitpix);
        ASSERT_TRUE(got) << c.bitpix;
        EXPECT_EQ(*got, c.want);
        EXPECT_EQ(bytes_per_pixel(*got), c.bytes);
        EXPECT_EQ(type_name(*got), c.name);
        EXPECT_EQ(bitpix_value(*got), c.bitpix);
    }
    // The one-byte codes are the declaration order.
    EXPECT_EQ(static_cast<int>(Bitpix::U8), 0);
    EXPECT_EQ(static_cast<int>(Bitpix::F64), 5);
}

TEST(PixelTest, FromBitpixRefusals) {
    for (const std::int64_t v : {0, 24, -8, 128}) {
        const Result<Bitpix> got = from_bitpix(v);
        ASSERT_FALSE(got);
        EXPECT_EQ(got.error().kind, Error::Kind::Value);
        EXPECT_EQ(got.error().message(),
                  "value for keyword `BITPIX`: unsupported BITPIX value " + std::to_string(v) +
                      ": expected one of 8, 16, 32, 64 (integer) or -32, -64 (IEEE float)");
    }
    const Result<Bitpix> half = from_bitpix(-16);
    ASSERT_FALSE(half);
    EXPECT_EQ(half.error().message(),
              "value for keyword `BITPIX`: unsupported BITPIX value -16: half-precision floats "
              "(BITPIX=-16) are not part of the FITS standard and are not supported by vexlo");
}

TEST(PixelTest, AppendersWriteBigEndian) {
    Bytes out = {0xAA};
    push_be_u16(0x1234, out);
    push_be_u32(std::bit_cast<std::uint32_t>(std::int32_t{-2}), out);
    push_be_u64(0x0102030405060708ULL, out);
    push_be_f32(1.0f, out);
    push_be_f64(1.0, out);
    EXPECT_EQ(out, bytes_of({0xAA, 0x12, 0x34, 0xFF, 0xFF, 0xFF, 0xFE, 1, 2, 3, 4, 5, 6, 7,
                             8,    0x3F, 0x80, 0,    0,    0x3F, 0xF0, 0, 0, 0, 0, 0, 0}));
}

TEST(PixelTest, ReadersAndNanPayloads) {
    const Bytes one = bytes_of({0x3F, 0xF0, 0, 0, 0, 0, 0, 0, 0x99});
    EXPECT_EQ(read_be_f64(one), 1.0);
    EXPECT_EQ(read_be_u64(one), 0x3FF0000000000000ULL);

    const double payload_nan = std::bit_cast<double>(std::uint64_t{0x7FF4000000000123});
    Bytes out;
    push_be_f64(payload_nan, out);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(read_be_f64(out)), 0x7FF4000000000123ULL);

    const float payload_nan32 = std::bit_cast<float>(std::uint32_t{0xFFA00001});
    Bytes out32;
    push_be_f32(payload_nan32, out32);
    EXPECT_EQ(out32, bytes_of({0xFF, 0xA0, 0x00, 0x01}));
    EXPECT_EQ(std::bit_cast<std::uint32_t>(load_be_f32(out32.data())), 0xFFA00001u);

    Bytes negzero;
    push_be_f64(-0.0, negzero);
    EXPECT_EQ(negzero, bytes_of({0x80, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(PixelTest, BufferDecoders) {
    EXPECT_EQ(decode_be_i16(bytes_of({0xFF, 0xFE, 0x00, 0x01, 0x7F})),
              (std::vector<std::int16_t>{-2, 1}));
    EXPECT_TRUE(decode_be_i16({}).empty());
    EXPECT_EQ(decode_be_i32(bytes_of({0x80, 0, 0, 0, 0, 0, 1, 0, 0xFF})),
              (std::vector<std::int32_t>{std::numeric_limits<std::int32_t>::min(), 256}));
    EXPECT_EQ(decode_be_i64(bytes_of({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE, 1, 2, 3})),
              (std::vector<std::int64_t>{-2}));
}

TEST(PixelTest, SignBitFlips) {
    Bytes words(4);
    const std::uint16_t w16[2] = {0, 65535};
    std::memcpy(words.data(), w16, 4);
    const Bytes flipped = flip_sign_bit_16(words);
    std::uint16_t got16[2];
    std::memcpy(got16, flipped.data(), 4);
    EXPECT_EQ(got16[0], 0x8000);
    EXPECT_EQ(got16[1], 0x7FFF);
    if constexpr (std::endian::native == std::endian::little) {
        EXPECT_EQ(flipped, bytes_of({0x00, 0x80, 0xFF, 0x7F}));
    }
    EXPECT_EQ(flip_sign_bit_16(flipped), words);

    Bytes with_tail = words;
    with_tail.push_back(0x55);
    EXPECT_EQ(flip_sign_bit_16(with_tail).size(), 4u);

    const std::uint32_t w32 = 5;
    Bytes b32(4);
    std::memcpy(b32.data(), &w32, 4);
    std::uint32_t got32;
    std::memcpy(&got32, flip_sign_bit_32(b32).data(), 4);
    EXPECT_EQ(got32, 0x80000005u);

    const std::uint64_t w64[2] = {0, (std::uint64_t{1} << 63) - 1};
    Bytes b64(16);
    std::memcpy(b64.data(), w64, 16);
    std::uint64_t got64[2];
    std::memcpy(got64, flip_sign_bit_64(b64).data(), 16);
    EXPECT_EQ(got64[0], std::uint64_t{1} << 63);
    EXPECT_EQ(got64[1], std::numeric_limits<std::uint64_t>::max());
}

TEST(PixelTest, OffsetDecodingFlipsTheTopBitOfBigEndianValues) {
    EXPECT_EQ(standard_offset(Bitpix::U8), -128.0);
    EXPECT_EQ(standard_offset(Bitpix::I16), 32768.0);
    EXPECT_EQ(standard_offset(Bitpix::I32), 2147483648.0);
    EXPECT_EQ(standard_offset(Bitpix::I64), 9223372036854775808.0);
    EXPECT_FALSE(standard_offset(Bitpix::F32));
    EXPECT_FALSE(standard_offset(Bitpix::F64));

    // Stored bytes 0x00, 0x7F, 0x80, 0xFF read as int8 -128, -1, 0, 127.
    const Bytes u8 = bytes_of({0x00, 0x7F, 0x80, 0xFF});
    Bytes out8(4);
    EXPECT_TRUE(decode_offset_be_into(Bitpix::U8, u8, out8));
    EXPECT_EQ(out8, bytes_of({0x80, 0xFF, 0x00, 0x7F}));

    // Stored int16 -32768, -1, 0x1234 read as uint16 0, 32767, 0x9234.
    const Bytes i16 = bytes_of({0x80, 0x00, 0xFF, 0xFF, 0x12, 0x34});
    Bytes out16(6);
    EXPECT_TRUE(decode_offset_be_into(Bitpix::I16, i16, out16));
    std::uint16_t v16[3];
    std::memcpy(v16, out16.data(), 6);
    EXPECT_EQ(v16[0], 0);
    EXPECT_EQ(v16[1], 32767);
    EXPECT_EQ(v16[2], 0x9234);

    const Bytes i32 = bytes_of({0x80, 0, 0, 1, 0x7F, 0xFF, 0xFF, 0xFF});
    Bytes out32(8);
    EXPECT_TRUE(decode_offset_be_into(Bitpix::I32, i32, out32));
    std::uint32_t v32[2];
    std::memcpy(v32, out32.data(), 8);
    EXPECT_EQ(v32[0], 1U);
    EXPECT_EQ(v32[1], 0xFFFFFFFFU);

    const Bytes i64 =
        bytes_of({0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE});
    Bytes out64(16);
    EXPECT_TRUE(decode_offset_be_into(Bitpix::I64, i64, out64));
    std::uint64_t v64[2];
    std::memcpy(v64, out64.data(), 16);
    EXPECT_EQ(v64[0], std::uint64_t{1} << 63);
    EXPECT_EQ(v64[1], (std::uint64_t{1} << 63) - 2);
}

TEST(PixelTest, SwapInPlaceConvertsToHostOrder) {
    Bytes b = bytes_of({0x12, 0x34, 0xFF, 0xFE, 0x01});
    EXPECT_TRUE(swap_be_in_place(Bitpix::I16, b));
    std::int16_t v[2];
    std::memcpy(v, b.data(), 4);
    EXPECT_EQ(v[0], 0x1234);
    EXPECT_EQ(v[1], -2);
    EXPECT_EQ(b[4], 0x01);  // a partial element is left alone

    Bytes f = bytes_of({0x3F, 0xF0, 0, 0, 0, 0, 0, 0});
    EXPECT_TRUE(swap_be_in_place(Bitpix::F64, f));
    double d;
    std::memcpy(&d, f.data(), 8);
    EXPECT_EQ(d, 1.0);

    Bytes u = bytes_of({1, 2, 3});
    EXPECT_TRUE(swap_be_in_place(Bitpix::U8, u));
    EXPECT_EQ(u, bytes_of({1, 2, 3}));
}

// The swaps run many words per instruction where the machine allows: every length and start
// alignment must give what reversing each whole word by itself gives, and leave a partial
// last word alone.
TEST(PixelTest, SwapInPlaceMatchesWordByWordReversalAtAnyLengthAndAlignment) {
    Bytes noise(700);
    std::uint32_t state = 12345;
    for (std::uint8_t& b : noise) {
        state = state * 1103515245u + 12345u;
        b = static_cast<std::uint8_t>(state >> 16);
    }
    for (const Bitpix type : {Bitpix::I16, Bitpix::I32, Bitpix::F32, Bitpix::I64, Bitpix::F64}) {
        const auto width = static_cast<std::size_t>(bytes_per_pixel(type));
        for (std::size_t offset = 0; offset < 8; ++offset) {
            for (std::size_t len = 0; len + offset <= noise.size(); len += 1 + len / 16) {
                Bytes buffer = noise;
                std::span<std::uint8_t> part(buffer.data() + offset, len);
                EXPECT_TRUE(swap_be_in_place(type, part));
                Bytes want = noise;
                for (std::size_t at = offset; at + width <= offset + len; at += width) {
                    std::reverse(want.begin() + static_cast<std::ptrdiff_t>(at),
                                 want.begin() + static_cast<std::ptrdiff_t>(at + width));
                }
                ASSERT_EQ(buffer, want) << type_name(type) << " " << offset << " " << len;
            }
        }
    }
}

// NumPy dtypes by kind letter and size: each pixel type holds its own dtype and, for
// integers, the dtype of the other signedness under its standard offset (stored with the top
// bit inverted, the flip mask); a bool is a byte; every other dtype is held by none.
TEST(PixelTest, DtypesMapToTheirPixelTypeAndOffsetForm) {
    struct Case {
        char kind;
        std::uint64_t size;
        std::optional<Bitpix> want;
        bool offset;
    };
    const Case cases[] = {
        {'u', 1, Bitpix::U8, false},    {'i', 1, Bitpix::U8, true},
        {'b', 1, Bitpix::U8, false},    {'i', 2, Bitpix::I16, false},
        {'u', 2, Bitpix::I16, true},    {'i', 4, Bitpix::I32, false},
        {'u', 4, Bitpix::I32, true},    {'i', 8, Bitpix::I64, false},
        {'u', 8, Bitpix::I64, true},    {'f', 4, Bitpix::F32, false},
        {'f', 8, Bitpix::F64, false},   {'f', 2, std::nullopt, false},
        {'c', 8, std::nullopt, false},  {'f', 16, std::nullopt, false},
        {'b', 2, std::nullopt, false},  {'U', 4, std::nullopt, false},
        {'i', 16, std::nullopt, false},
    };
    for (const Case& c : cases) {
        const std::optional<DtypePixel> got = pixel_of_dtype(c.kind, c.size);
        ASSERT_EQ(got.has_value(), c.want.has_value()) << c.kind << c.size;
        if (!got) continue;
        EXPECT_EQ(got->bitpix, *c.want) << c.kind << c.size;
        EXPECT_EQ(got->offset, c.offset) << c.kind << c.size;
    }
    EXPECT_EQ(flip_mask(Bitpix::U8), 0x80u);
    EXPECT_EQ(flip_mask(Bitpix::I16), 0x8000u);
    EXPECT_EQ(flip_mask(Bitpix::I32), 0x80000000u);
    EXPECT_EQ(flip_mask(Bitpix::I64), 0x8000000000000000u);
    EXPECT_EQ(flip_mask(Bitpix::F32), 0u);
    EXPECT_EQ(flip_mask(Bitpix::F64), 0u);
    for (const Bitpix b : {Bitpix::U8, Bitpix::I16, Bitpix::I32, Bitpix::I64}) {
        // The flip is the offset modulo 2^n: both name the same top bit.
        EXPECT_EQ(std::fabs(*standard_offset(b)), static_cast<double>(flip_mask(b)))
            << type_name(b);
    }
}

}  // namespace
}  // namespace vexlo
