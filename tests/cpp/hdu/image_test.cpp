#include "hdu/image.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <iterator>
#include <limits>
#include <optional>

#include "../be_bytes.hpp"
#include "../io/fits_fixture.hpp"

namespace vexlo {
namespace {

using namespace fits_test;

std::vector<std::string> image_cards(int bitpix, std::vector<std::uint64_t> axes,
                                     std::vector<std::string> extra = {}) {
    std::vector<std::string> c = primary_cards(bitpix, std::move(axes));
    for (std::string& e : extra)
        c.push_back(std::move(e));
    return c;
}

Result<ImageHdu> image(int bitpix, std::vector<std::uint64_t> axes, Bytes data,
                       std::vector<std::string> extra = {}) {
    return ImageHdu::create(header_of(image_cards(bitpix, std::move(axes), std::move(extra))),
                            std::move(data));
}

std::string error_text(const Result<ImageHdu>& r) {
    return r ? std::string("<built>") : r.error().message();
}

std::uint64_t bits(double v) {
    return std::bit_cast<std::uint64_t>(v);
}
std::uint32_t bits(float v) {
    return std::bit_cast<std::uint32_t>(v);
}

Bytes be64(std::initializer_list<std::int64_t> values) {
    Bytes out;
    for (const std::int64_t v : values)
        push_be_u64(static_cast<std::uint64_t>(v), out);
    return out;
}

TEST(ImageTest, ConstructionChecksGeometry) {
    struct Case {
        const char* name;
        int bitpix;
        std::vector<std::uint64_t> axes;
        std::size_t data_len;
        std::string want;  // "" when the record builds
    };
    const std::uint64_t two32 = std::uint64_t{1} << 32;
    const std::uint64_t two61 = std::uint64_t{1} << 61;
    const std::vector<Case> cases = {
        {"no axes", 8, {}, 0, ""},
        {"no axes with a block",
         8,
         {},
         2880,
         "data: data slice 2880 bytes does not match expected 0"},
        {"exact", 16, {3, 2}, 12, ""},
        {"one short", 16, {3, 2}, 11, "data: data slice 11 bytes does not match expected 12"},
        {"one long", 16, {3, 2}, 13, "data: data slice 13 bytes does not match expected 12"},
        {"padded", 16, {3, 2}, 2880, "data: data slice 2880 bytes does not match expected 12"},
        {"zero axis", 32, {4, 0}, 0, ""},
        {"axis overflow", 8, {two32, two32}, 0, "data: axis product overflows u64"},
        {"size overflow", -64, {two61}, 0, "data: image data size overflows u64"},
        {"large but fits",
         8,
         {two61},
         0,
         "data: data slice 0 bytes does not match expected 2305843009213693952"},
    };
    for (const Case& c : cases) {
        const Result<ImageHdu> r = image(c.bitpix, c.axes, Bytes(c.data_len, 0));
        EXPECT_EQ(c.want.empty() ? std::string("<built>") : c.want, error_text(r)) << c.name;
    }
    const Result<ImageHdu> img = image(16, {3, 2}, Bytes(12, 1));
    ASSERT_TRUE(img);
    EXPECT_EQ(img->bitpix, Bitpix::I16);
    EXPECT_EQ(img->axes, (std::vector<std::uint64_t>{3, 2}));
    EXPECT_EQ(img->n_elements, 6u);
    EXPECT_TRUE(img->data.is_owned());
}

TEST(ImageTest, HeaderGetterErrorsPassThrough) {
    EXPECT_EQ(error_text(ImageHdu::create(header_of({kv("NAXIS", 0)}), Bytes{})),
              "missing mandatory keyword `BITPIX`");
    EXPECT_EQ(error_text(ImageHdu::create(header_of({kv("BITPIX", -16), kv("NAXIS", 0)}), Bytes{})),
              "value for keyword `BITPIX`: illegal BITPIX value -16");
    EXPECT_EQ(error_text(ImageHdu::create(header_of({kv("BITPIX", 8)}), Bytes{})),
              "missing mandatory keyword `NAXIS`");
    EXPECT_EQ(error_text(ImageHdu::create(header_of({kv("BITPIX", 8), kv("NAXIS", 1)}), Bytes{})),
              "missing mandatory keyword `NAXIS1`");
}

TEST(ImageTest, TypedAccessors) {
    const Result<ImageHdu> i16 = image(16, {3}, bytes_of({0xFF, 0xFF, 0x80, 0x00, 0x00, 0x01}));
    ASSERT_TRUE(i16);
    const Result<ImageArray<std::int16_t>> a16 = i16->to_array_i16();
    ASSERT_TRUE(a16);
    EXPECT_EQ(a16->data, (std::vector<std::int16_t>{-1, -32768, 1}));
    EXPECT_EQ(a16->axes, (std::vector<std::uint64_t>{3}));

    const Bytes raw = bytes_of({0, 7, 255, 128});
    const Result<ImageHdu> u8 = image(8, {2, 2}, raw);
    ASSERT_TRUE(u8);
    const Result<ImageArray<std::uint8_t>> a8 = u8->to_array_u8();
    ASSERT_TRUE(a8);
    EXPECT_EQ(a8->data, std::vector<std::uint8_t>(raw.begin(), raw.end()));

    const Result<ImageHdu> i32 = image(32, {2}, bytes_of({0x80, 0, 0, 0, 0, 0, 1, 0}));
    ASSERT_TRUE(i32);
    EXPECT_EQ(i32->to_array_i32()->data,
              (std::vector<std::int32_t>{std::numeric_limits<std::int32_t>::min(), 256}));
    const Result<ImageHdu> i64 = image(64, {2}, be64({-5, std::int64_t{1} << 40}));
    ASSERT_TRUE(i64);
    EXPECT_EQ(i64->to_array_i64()->data, (std::vector<std::int64_t>{-5, std::int64_t{1} << 40}));

    const Result<ImageHdu> empty = image(16, {}, {});
    ASSERT_TRUE(empty);
    const Result<ImageArray<std::int16_t>> none = empty->to_array_i16();
    ASSERT_TRUE(none);
    EXPECT_TRUE(none->data.empty());
    EXPECT_TRUE(none->axes.empty());

    const Result<ImageHdu> f32 = image(-32, {1}, Bytes(4, 0));
    ASSERT_TRUE(f32);
    EXPECT_EQ(i32->to_array_i16().error().message(), "expected HDU type `i16`, found `i32`");
    EXPECT_EQ(f32->to_array_u8().error().message(), "expected HDU type `u8`, found `f32`");
    EXPECT_EQ(u8->to_array_i64().error().message(), "expected HDU type `i64`, found `u8`");
    EXPECT_EQ(i16->to_array_i32().error().message(), "expected HDU type `i32`, found `i16`");
}

TEST(ImageTest, ImageArrayCreate) {
    EXPECT_TRUE(ImageArray<float>::create({1, 2, 3, 4, 5, 6}, {3, 2}));
    EXPECT_TRUE(ImageArray<float>::create({}, {}));
    EXPECT_EQ(ImageArray<float>::create({1}, {}).error().message(),
              "data: axis product 0 does not match data length 1");
    EXPECT_EQ(ImageArray<double>::create({1, 2}, {3}).error().message(),
              "data: axis product 3 does not match data length 2");
    const std::uint64_t two32 = std::uint64_t{1} << 32;
    EXPECT_EQ(ImageArray<std::uint8_t>::create({}, {two32, two32}).error().message(),
              "data: axis product overflows u64");
}

TEST(ImageTest, PhysicalValues) {
    Bytes i16;
    push_be_u16(0x8000, i16);  // -32768
    push_be_u16(0x7FFF, i16);  // 32767
    Bytes f32_blank;
    push_be_f32(7.0f, f32_blank);
    Bytes f64_negzero;
    push_be_f64(-0.0, f64_negzero);
    push_be_f64(std::numeric_limits<double>::infinity(), f64_negzero);
    Bytes f64_inf;
    push_be_f64(std::numeric_limits<double>::infinity(), f64_inf);
    const double two53 = 9007199254740992.0;

    struct Case {
        const char* name;
        int bitpix;
        Bytes data;
        std::vector<std::string> extra;
        std::vector<double> want;     // NaN: the canonical quiet NaN of an undefined pixel
        bool arithmetic_nan = false;  // NaN from IEEE arithmetic: any NaN
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<Case> cases = {
        {"unsigned 16", 16, i16, {kv("BZERO", 32768)}, {0.0, 65535.0}},
        {"u8 blank 255", 8, bytes_of({255, 254}), {kv("BLANK", 255)}, {nan, 254.0}},
        {"u8 blank -1", 8, bytes_of({255, 0}), {kv("BLANK", -1)}, {255.0, 0.0}},
        {"float ignores BLANK", -32, f32_blank, {kv("BLANK", 7)}, {7.0}},
        {"i64 rounds", 64, be64({(std::int64_t{1} << 53) + 1}), {}, {two53}},
        {"string BZERO is absent", 16, i16, {kv("BZERO", "'10'")}, {-32768.0, 32767.0}},
        {"BSCALE 0", 16, i16, {kv("BSCALE", 0), kv("BZERO", 3)}, {3.0, 3.0}},
        {"BSCALE 0 without BZERO", 8, bytes_of({9}), {kv("BSCALE", 0)}, {0.0}},
        {"negative zero", -64, f64_negzero, {}, {0.0, std::numeric_limits<double>::infinity()}},
        {"inf times zero", -64, f64_inf, {kv("BSCALE", 0)}, {nan}, true},
        {"scaled with blank",
         16,
         i16,
         {kv("BSCALE", "0.25"), kv("BZERO", "100.0"), kv("BLANK", -32768)},
         {nan, 8291.75}},
        {"real BLANK", 16, i16, {kv("BLANK", "32767.0")}, {-32768.0, nan}},
        {"BLANK read when BITPIX is fine", 32, bytes_of({0, 0, 0, 5}), {kv("BLANK", 5)}, {nan}},
    };
    for (const Case& c : cases) {
        const std::uint64_t n = c.want.size();
        const Result<ImageHdu> img = image(c.bitpix, {n}, c.data, c.extra);
        ASSERT_TRUE(img) << c.name << ": " << img.error().message();
        const Result<ImageArray<double>> d = img->physical_f64();
        const Result<ImageArray<float>> f = img->physical_f32();
        ASSERT_TRUE(d && f) << c.name;
        ASSERT_EQ(d->data.size(), n) << c.name;
        ASSERT_EQ(f->data.size(), n) << c.name;
        EXPECT_EQ(d->axes, (std::vector<std::uint64_t>{n}));
        for (std::size_t i = 0; i < n; ++i) {
            if (c.arithmetic_nan) {
                EXPECT_TRUE(std::isnan(d->data[i])) << c.name;
                EXPECT_TRUE(std::isnan(f->data[i])) << c.name;
            } else if (std::isnan(c.want[i])) {
                EXPECT_EQ(bits(d->data[i]), 0x7FF8000000000000u) << c.name << " " << i;
                EXPECT_EQ(bits(f->data[i]), 0x7FC00000u) << c.name << " " << i;
            } else {
                EXPECT_EQ(bits(d->data[i]), bits(c.want[i])) << c.name << " " << i;
                EXPECT_EQ(bits(f->data[i]), bits(static_cast<float>(c.want[i])))
                    << c.name << " " << i;
            }
        }
    }
}

TEST(ImageTest, SinglePrecisionRoundsOnce) {
    // 2^24 + 1 is exact in double and rounds to 2^24 in single precision.
    const Result<ImageHdu> img = image(32, {1}, bytes_of({0x01, 0x00, 0x00, 0x01}));
    ASSERT_TRUE(img);
    EXPECT_EQ(img->physical_f32()->data[0], 16777216.0f);
    EXPECT_EQ(img->physical_f64()->data[0], 16777217.0);

    // The f32 form is the double result narrowed, not single-precision arithmetic:
    // 3 * 0.1 + 0 in double is 0.30000000000000004, which narrows to 0.3f.
    const Result<ImageHdu> scaled = image(8, {1}, bytes_of({3}), {kv("BSCALE", "0.1")});
    ASSERT_TRUE(scaled);
    EXPECT_EQ(scaled->physical_f64()->data[0], 3 * 0.1);
    EXPECT_EQ(scaled->physical_f32()->data[0], static_cast<float>(3 * 0.1));

    // No fused multiply-add: 0.1 * 3 rounded, then + (-0.3) rounded.
    const Result<ImageHdu> fma =
        image(8, {1}, bytes_of({3}), {kv("BSCALE", "0.1"), kv("BZERO", "-0.3")});
    ASSERT_TRUE(fma);
    volatile double p = 0.1 * 3.0;
    EXPECT_EQ(fma->physical_f64()->data[0], p + -0.3);
}

TEST(ImageTest, PhysicalIntoCallerBuffers) {
    const Result<ImageHdu> img =
        image(16, {2, 2}, bytes_of({0, 1, 0, 2, 0, 3, 0, 4}), {kv("BZERO", 10)});
    ASSERT_TRUE(img);
    std::vector<double> d(4);
    ASSERT_TRUE(img->physical_f64_into(d));
    EXPECT_EQ(d, (std::vector<double>{11, 12, 13, 14}));
    std::vector<float> f(4);
    ASSERT_TRUE(img->physical_f32_into(f));
    EXPECT_EQ(f, (std::vector<float>{11, 12, 13, 14}));
    std::vector<double> small(3);
    EXPECT_EQ(img->physical_f64_into(small).error().message(),
              "data: physical values: destination holds 3 values, image has 4");

    const Result<ImageHdu> empty = image(16, {}, {});
    ASSERT_TRUE(empty);
    const Result<ImageArray<double>> none = empty->physical_f64();
    ASSERT_TRUE(none);
    EXPECT_TRUE(none->data.empty());
    EXPECT_TRUE(none->axes.empty());
}

TEST(ImageTest, ShapeCardsFollowNewPixels) {
    Header h = header_of(image_cards(16, {2, 3, 4}, {"OBJECT  = 'm31'"}));
    set_image_shape_cards(h, std::vector<std::uint64_t>{5, 6}, Bitpix::F32);
    EXPECT_EQ(h.keywords(), (std::vector<std::string>{"SIMPLE", "BITPIX", "NAXIS", "NAXIS1",
                                                      "NAXIS2", "OBJECT"}));
    EXPECT_EQ(h.get_i64("BITPIX"), -32);
    EXPECT_EQ(h.get_i64("NAXIS"), 2);
    EXPECT_EQ(h.get_i64("NAXIS1"), 5);
    EXPECT_EQ(h.get_i64("NAXIS2"), 6);

    set_image_shape_cards(h, {}, Bitpix::U8);
    EXPECT_EQ(h.get_i64("NAXIS"), 0);
    EXPECT_FALSE(h.get("NAXIS1"));
    EXPECT_EQ(h.get_i64("BITPIX"), 8);

    // New axes beyond the old ones go right after NAXIS, before the cards that follow it.
    set_image_shape_cards(h, std::vector<std::uint64_t>{7, 8}, Bitpix::I16);
    EXPECT_EQ(h.keywords(), (std::vector<std::string>{"SIMPLE", "BITPIX", "NAXIS", "NAXIS1",
                                                      "NAXIS2", "OBJECT"}));
    EXPECT_EQ(h.get_i64("NAXIS1"), 7);
    EXPECT_EQ(h.get_i64("NAXIS2"), 8);
}

TEST(ImageTest, ShapeCardsOfAnEmptyStartingHeaderComeBeforeItsOtherCards) {
    Header primary = Header::new_primary();
    set_image_shape_cards(primary, std::vector<std::uint64_t>{3, 4}, Bitpix::I16);
    EXPECT_EQ(primary.keywords(), (std::vector<std::string>{"SIMPLE", "BITPIX", "NAXIS", "NAXIS1",
                                                            "NAXIS2", "EXTEND"}));
    Header extension = Header::new_image_extension();
    set_image_shape_cards(extension, std::vector<std::uint64_t>{5}, Bitpix::F32);
    EXPECT_EQ(extension.keywords(), (std::vector<std::string>{"XTENSION", "BITPIX", "NAXIS",
                                                              "NAXIS1", "PCOUNT", "GCOUNT"}));
}

// A header the library assembled itself is read for its shape without insisting on the
// cards: a missing or non-integer BITPIX is 8, NAXIS 0, NAXISk 0.
TEST(ImageTest, BuiltImageShapeFillsInWhatTheCardsLeaveOut) {
    const auto shape_of = [](const std::vector<std::string>& cards) -> std::string {
        const Result<ImageShape> s = built_image_shape(header_of(cards));
        if (!s) return s.error().message();
        std::string out(type_name(s->bitpix));
        for (const std::uint64_t n : s->axes)
            out += " " + std::to_string(n);
        return out;
    };
    const std::string simple = kv("SIMPLE", "T");
    struct Case {
        std::vector<std::string> cards;
        std::string shape;
    };
    const Case cases[] = {
        {image_cards(16, {3, 4}), "i16 3 4"},
        {image_cards(-64, {}), "f64"},
        {{simple}, "u8"},
        {{simple, kv("BITPIX", "'16'"), kv("NAXIS", 1), kv("NAXIS1", 5)}, "u8 5"},
        {{simple, kv("BITPIX", "16.0"), kv("NAXIS", 1), kv("NAXIS1", 5)}, "u8 5"},
        {{simple, kv("BITPIX", -32), kv("NAXIS", 3), kv("NAXIS1", 2), kv("NAXIS3", -4)},
         "f32 2 0 0"},
        {{simple, kv("NAXIS", 2), kv("NAXIS1", "2.0"), kv("NAXIS2", 0)}, "u8 0 0"},
        {{simple, kv("NAXIS", -1), kv("NAXIS1", 5)}, "u8"},
        {{simple, kv("NAXIS", "2.0"), kv("NAXIS1", 5)}, "u8"},
        {{simple, kv("BITPIX", -16), kv("NAXIS", 0)},
         "value for keyword `BITPIX`: unsupported BITPIX value -16: half-precision floats "
         "(BITPIX=-16) are not part of the FITS standard and are not supported by vexlo"},
        {{simple, kv("NAXIS", 1000)},
         "value for keyword `NAXIS`: NAXIS must be in 0..=999, got 1000"},
    };
    for (const Case& c : cases) {
        std::string text;
        for (const std::string& card : c.cards)
            text += card.substr(0, 30) + "|";
        EXPECT_EQ(shape_of(c.cards), c.shape) << text;
    }
}

TEST(ImageTest, IntoPartsAndIntoData) {
    const Bytes bytes = bytes_of({1, 2, 3, 4});
    Result<ImageHdu> borrowed =
        ImageHdu::create_borrowed(header_of(image_cards(8, {4})), ByteSpan(bytes));
    ASSERT_TRUE(borrowed);
    EXPECT_FALSE(borrowed->data.is_owned());
    EXPECT_EQ(borrowed->data.data(), bytes.data());
    const OwnedHdu parts = std::move(*borrowed).into_parts();
    EXPECT_EQ(parts.data, bytes);
    EXPECT_TRUE(parts.header.get("NAXIS1"));
    EXPECT_EQ(bytes, bytes_of({1, 2, 3, 4}));

    Result<ImageHdu> owned = image(8, {4}, bytes);
    ASSERT_TRUE(owned);
    const std::uint8_t* where = owned->data.data();
    const Bytes out = std::move(*owned).into_data();
    EXPECT_EQ(out, bytes);
    EXPECT_EQ(out.data(), where);  // moved, not copied
}

}  // namespace
}  // namespace vexlo
