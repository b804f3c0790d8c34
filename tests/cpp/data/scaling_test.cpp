#include "data/scaling.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "../io/fits_fixture.hpp"
#include "data/dispatch.hpp"

namespace vexlo {
namespace {

using namespace fits_test;

const double kNan = std::numeric_limits<double>::quiet_NaN();

TEST(ScalingTest, ScalingParameters) {
    const Scaling none = read_image_scaling(header_of({kv("BITPIX", 16)}));
    EXPECT_EQ(none.zero, 0.0);
    EXPECT_EQ(none.scale, 1.0);
    EXPECT_FALSE(none.blank);
    const Scaling s = read_image_scaling(
        header_of({kv("BITPIX", 16), kv("BZERO", 5), kv("BSCALE", "2.5"), kv("BLANK", -1)}));
    EXPECT_EQ(s.zero, 5.0);
    EXPECT_EQ(s.scale, 2.5);
    EXPECT_EQ(s.blank, -1);
    EXPECT_FALSE(read_image_scaling(header_of({kv("BITPIX", -32), kv("BLANK", 1)})).blank);
    EXPECT_EQ(read_image_scaling(header_of({kv("BITPIX", 12), kv("BLANK", 1)})).blank, 1);
    EXPECT_EQ(read_image_scaling(header_of({kv("BLANK", 2)})).blank, 2);
}

TEST(ScalingTest, PhysicalFormFollowsTypeAndScaling) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        Bitpix bitpix;
        Scaling scaling;
        PhysicalForm form;
    };
    const Case cases[] = {
        {Bitpix::I16, {}, PhysicalForm::Stored},
        {Bitpix::F64, {}, PhysicalForm::Stored},
        {Bitpix::U8, {-128.0, 1.0, std::nullopt}, PhysicalForm::Offset},
        {Bitpix::I16, {32768.0, 1.0, std::nullopt}, PhysicalForm::Offset},
        {Bitpix::I32, {2147483648.0, 1.0, std::nullopt}, PhysicalForm::Offset},
        {Bitpix::I64, {9223372036854775808.0, 1.0, std::nullopt}, PhysicalForm::Offset},
        // Near the offset, scaled, or with BLANK: floating point keeps every value.
        {Bitpix::I32, {2147483648.5, 1.0, std::nullopt}, PhysicalForm::F64},
        {Bitpix::I16, {32768.0, 2.0, std::nullopt}, PhysicalForm::F32},
        {Bitpix::I16, {32768.0, 1.0, -1}, PhysicalForm::F32},
        {Bitpix::I16, {0.0, 1.0, -1}, PhysicalForm::F32},
        {Bitpix::U8, {1.0, 1.0, std::nullopt}, PhysicalForm::F32},
        {Bitpix::F32, {0.0, 2.0, std::nullopt}, PhysicalForm::F32},
        {Bitpix::I32, {0.0, 2.0, std::nullopt}, PhysicalForm::F64},
        {Bitpix::I64, {1.0, 1.0, std::nullopt}, PhysicalForm::F64},
        {Bitpix::F64, {nan, 1.0, std::nullopt}, PhysicalForm::F64},
        {Bitpix::F32, {32768.0, 1.0, std::nullopt}, PhysicalForm::F32},
        {Bitpix::I16, {0.0, nan, std::nullopt}, PhysicalForm::F32},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(physical_form(cases[i].bitpix, cases[i].scaling), cases[i].form) << "case " << i;
    }
}

TEST(ScalingTest, ColumnScalingReadsItsOwnColumn) {
    const Header h = header_of({kv("TZERO2", 32768), kv("TSCAL2", "0.5"), kv("TNULL2", 7),
                                kv("TZERO1", 3), kv("TNULL3", "'x'")});
    const Scaling two = read_column_scaling(h, 2);
    EXPECT_EQ(two, (Scaling{32768.0, 0.5, 7}));
    EXPECT_EQ(read_column_scaling(h, 1), (Scaling{3.0, 1.0, std::nullopt}));
    // A text TNULL (an ASCII table's) is no integer null.
    EXPECT_EQ(read_column_scaling(h, 3), Scaling{});
}

TEST(ScalingTest, PhysicalDtypeOfEachForm) {
    struct Case {
        Bitpix bitpix;
        PhysicalForm form;
        std::string_view dtype;
    };
    const Case cases[] = {
        {Bitpix::U8, PhysicalForm::Stored, "uint8"},
        {Bitpix::I64, PhysicalForm::Stored, "int64"},
        {Bitpix::F32, PhysicalForm::Stored, "float32"},
        {Bitpix::U8, PhysicalForm::Offset, "int8"},
        {Bitpix::I16, PhysicalForm::Offset, "uint16"},
        {Bitpix::I32, PhysicalForm::Offset, "uint32"},
        {Bitpix::I64, PhysicalForm::Offset, "uint64"},
        {Bitpix::I16, PhysicalForm::F32, "float32"},
        {Bitpix::I32, PhysicalForm::F64, "float64"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(physical_dtype_name(c.bitpix, c.form), c.dtype) << type_name(c.bitpix);
    }
}

// Big-endian bytes of `values` stored as `b`, or the error message.
struct Stored {
    Bytes bytes;
    std::string error;
};
Stored store(Bitpix b, const Scaling& s, std::vector<double> values) {
    Stored out;
    out.bytes.assign(values.size() * bytes_per_pixel(b), 0xEE);
    const Result<void> r = stored_from_physical(b, s, values, out.bytes);
    if (!r) out.error = r.error().message();
    return out;
}

std::int64_t stored_at(Bitpix b, const Bytes& bytes, std::size_t i) {
    return visit_bitpix(
               b,
               [&](auto tag) -> std::int64_t {
                   using T = typename decltype(tag)::type;
                   return static_cast<std::int64_t>(load_be<T>(bytes.data() + i * sizeof(T)));
               })
        .value();
}

TEST(ScalingTest, InverseStoresEdgesOfEveryIntegerTypeAndRefusesBeyond) {
    const Scaling twice{0.0, 2.0, std::nullopt};
    struct Case {
        Bitpix bitpix;
        Scaling scaling;
        double physical;
        std::int64_t stored;  // when `error` is empty
        std::string error;
    };
    const Case cases[] = {
        // The ranges of every integer type under BSCALE 2.
        {Bitpix::U8, twice, 0.0, 0, ""},
        {Bitpix::U8, twice, 510.0, 255, ""},
        {Bitpix::U8, twice, 512.0, 0, "physical value 512 scales to 256, outside the range of u8"},
        {Bitpix::U8, twice, -2.0, 0, "physical value -2 scales to -1, outside the range of u8"},
        {Bitpix::I16, twice, 65534.0, 32767, ""},
        {Bitpix::I16, twice, -65536.0, -32768, ""},
        {Bitpix::I16, twice, 65536.0, 0, "scales to 32768, outside the range of i16"},
        {Bitpix::I16, twice, -65538.0, 0, "scales to -32769, outside the range of i16"},
        {Bitpix::I32, twice, 4294967294.0, 2147483647, ""},
        {Bitpix::I32, twice, -4294967296.0, -2147483648LL, ""},
        {Bitpix::I32, twice, 4294967296.0, 0, "scales to 2147483648, outside the range of i32"},
        {Bitpix::I64, twice, -0x1p64, std::numeric_limits<std::int64_t>::min(), ""},
        {Bitpix::I64, twice, 0x1p64, 0, "which does not fit i64"},
        // Rounding to nearest, halves away from zero, and BZERO fractions.
        {Bitpix::I16, {0.0, 0.5, std::nullopt}, 1.25, 3, ""},
        {Bitpix::I16, {0.0, 0.5, std::nullopt}, -1.25, -3, ""},
        {Bitpix::I32, {0.5, 1.0, std::nullopt}, 2.0, 2, ""},
        {Bitpix::I32, {0.25, 1.0, std::nullopt}, 2.0, 2, ""},
        // The unsigned conventions.
        {Bitpix::I16, {32768.0, 1.0, std::nullopt}, 65535.0, 32767, ""},
        {Bitpix::I16, {32768.0, 1.0, std::nullopt}, 0.0, -32768, ""},
        {Bitpix::U8, {-128.0, 1.0, std::nullopt}, -128.0, 0, ""},
        {Bitpix::U8, {-128.0, 1.0, std::nullopt}, 127.0, 255, ""},
        // Undefined values.
        {Bitpix::I16, {0.0, 1.0, -99}, kNan, -99, ""},
        {Bitpix::I16, {}, kNan, 0, "cannot store an undefined pixel"},
        {Bitpix::U8, {0.0, 1.0, 300}, kNan, 0, "scales to 300, outside the range of u8"},
        {Bitpix::I16, {0.0, 0.0, std::nullopt}, 1.0, 0, "BSCALE is zero, so it cannot invert"},
        {Bitpix::I16,
         {0.0, 1.0, std::nullopt},
         std::numeric_limits<double>::infinity(),
         0,
         "which does not fit i64"},
    };
    for (const Case& c : cases) {
        const std::string label =
            std::string(type_name(c.bitpix)) + " " + std::to_string(c.physical);
        const Stored out = store(c.bitpix, c.scaling, {c.physical});
        if (c.error.empty()) {
            EXPECT_EQ(out.error, "") << label;
            EXPECT_EQ(stored_at(c.bitpix, out.bytes, 0), c.stored) << label;
        } else {
            EXPECT_NE(out.error.find(c.error), std::string::npos) << label << ": " << out.error;
        }
    }
}

TEST(ScalingTest, FloatImagesDivideAndKeepNan) {
    const Stored f = store(Bitpix::F32, {10.0, 4.0, std::nullopt}, {18.0, kNan, 9.0});
    ASSERT_EQ(f.error, "");
    EXPECT_EQ(load_be<float>(f.bytes.data()), 2.0f);
    EXPECT_TRUE(std::isnan(load_be<float>(f.bytes.data() + 4)));
    EXPECT_EQ(load_be<float>(f.bytes.data() + 8), -0.25f);
    EXPECT_NE(store(Bitpix::F64, {0.0, 0.0, std::nullopt}, {1.0}).error.find("BSCALE is zero"),
              std::string::npos);
}

TEST(ScalingTest, ForwardOfInverseGivesTheValuesBack) {
    struct Case {
        Bitpix bitpix;
        Scaling scaling;
        std::vector<double> values;
    };
    const Case cases[] = {
        {Bitpix::U8, {-128.0, 1.0, std::nullopt}, {-128.0, -1.0, 0.0, 127.0}},
        {Bitpix::I16, {32768.0, 1.0, std::nullopt}, {0.0, 1.0, 32768.0, 65535.0}},
        {Bitpix::I16, {10.0, 2.0, -32768}, {12.0, 14.0, kNan, -65524.0}},
        {Bitpix::I32, {0.5, 0.25, std::nullopt}, {0.5, 0.75, -1.0e8, 5.0e8}},
        {Bitpix::I64, {0.0, 1.0, 0}, {kNan, 1.0, -9.0e15}},
        {Bitpix::F64, {1.0, 0.5, std::nullopt}, {1.0, 0.5, kNan, 1e300}},
    };
    for (const Case& c : cases) {
        const Stored out = store(c.bitpix, c.scaling, c.values);
        ASSERT_EQ(out.error, "") << type_name(c.bitpix);
        std::vector<double> back(c.values.size());
        EXPECT_TRUE(physical_values_into(c.bitpix, out.bytes, c.scaling, std::span<double>(back)));
        for (std::size_t i = 0; i < back.size(); ++i) {
            if (std::isnan(c.values[i])) {
                EXPECT_TRUE(std::isnan(back[i])) << type_name(c.bitpix) << " " << i;
            } else {
                EXPECT_EQ(back[i], c.values[i]) << type_name(c.bitpix) << " " << i;
            }
        }
    }
}

TEST(ScalingTest, ForwardRoundsOnceToSinglePrecisionAndNeverReadsPastTheData) {
    // 2^24 + 1 is not a float: converting the stored value to float first would give 2^24,
    // and 2^24 + 1 after adding BZERO 1 rounds to 2^24 again; the double sum 2^24 + 2 is exact.
    Bytes stored(4);
    store_be<std::int32_t>(stored.data(), 16777217);
    std::vector<float> out(3, -1.0f);
    EXPECT_TRUE(physical_values_into(Bitpix::I32, stored, Scaling{1.0, 1.0, std::nullopt},
                                     std::span<float>(out)));
    EXPECT_EQ(out[0], 16777218.0f);
    EXPECT_EQ(out[1], -1.0f);  // the destination beyond the data is left alone
}

// Deterministic 64-bit values spread over the whole range, with the range's edges.
std::vector<std::int64_t> spread_i64(std::size_t n) {
    std::vector<std::int64_t> out = {std::numeric_limits<std::int64_t>::min(),
                                     std::numeric_limits<std::int64_t>::max(), -1, 0, 1};
    std::uint64_t x = 0x9E3779B97F4A7C15u;
    while (out.size() < n) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        out.push_back(static_cast<std::int64_t>(x));
    }
    return out;
}

TEST(ScalingTest, SixtyFourBitIntegersUnderAnIntegerZeroRoundOnce) {
    // BZERO 2^63 with a BLANK (so not the unsigned form): the physical value is the stored
    // one as an unsigned number, exact in 64 bits, so its conversion is the correctly rounded
    // answer. The stored value rounded to double before the sum is off for some of them.
    const std::vector<std::int64_t> stored = spread_i64(4096);
    Bytes be(stored.size() * 8);
    for (std::size_t i = 0; i < stored.size(); ++i)
        store_be<std::int64_t>(be.data() + i * 8, stored[i]);
    const std::int64_t blank = stored[7];
    std::vector<double> out(stored.size());
    std::vector<float> out32(stored.size());
    const std::optional<std::int64_t> blanks[] = {std::nullopt, blank};
    for (const std::optional<std::int64_t> b : blanks) {
        const Scaling s{0x1p63, 1.0, b};
        EXPECT_TRUE(physical_values_into(Bitpix::I64, be, s, std::span<double>(out)));
        EXPECT_TRUE(physical_values_into(Bitpix::I64, be, s, std::span<float>(out32)));
        std::size_t twice_rounded_off = 0;
        for (std::size_t i = 0; i < stored.size(); ++i) {
            if (b && stored[i] == *b) {
                EXPECT_TRUE(std::isnan(out[i]) && std::isnan(out32[i])) << i;
                continue;
            }
            const std::uint64_t exact = static_cast<std::uint64_t>(stored[i]) ^ (1ull << 63);
            EXPECT_EQ(out[i], static_cast<double>(exact)) << stored[i];
            EXPECT_EQ(out32[i], static_cast<float>(exact)) << stored[i];
            twice_rounded_off += static_cast<double>(stored[i]) + 0x1p63 != out[i];
        }
        EXPECT_GT(twice_rounded_off, 0u);  // the values do tell the two apart
    }

    // A negative integer zero the same way: stored - 2^63, exact in magnitude as an unsigned
    // number. A zero with a fraction, or a scale other than 1, keeps double arithmetic.
    EXPECT_TRUE(physical_values_into(Bitpix::I64, be, Scaling{-0x1p63, 1.0, std::nullopt},
                                     std::span<double>(out)));
    for (std::size_t i = 0; i < stored.size(); ++i) {
        const std::uint64_t magnitude = (1ull << 63) - static_cast<std::uint64_t>(stored[i]);
        // -2^63 - 2^63 is the one magnitude beyond 64 bits.
        const double want = magnitude == 0 ? -0x1p64 : -static_cast<double>(magnitude);
        EXPECT_EQ(out[i], want) << stored[i];
    }
    for (const Scaling s : {Scaling{0.5, 1.0, std::nullopt}, Scaling{0x1p63, 2.0, std::nullopt}}) {
        EXPECT_TRUE(physical_values_into(Bitpix::I64, be, s, std::span<double>(out)));
        for (std::size_t i = 0; i < stored.size(); ++i)
            EXPECT_EQ(out[i], static_cast<double>(stored[i]) * s.scale + s.zero) << stored[i];
    }
}

TEST(ScalingTest, OffsetToStoredUndoesTheOffsetDecode) {
    for (const Bitpix b : {Bitpix::U8, Bitpix::I16, Bitpix::I32, Bitpix::I64}) {
        const std::size_t width = bytes_per_pixel(b);
        Bytes be(3 * width);
        for (std::size_t i = 0; i < be.size(); ++i)
            be[i] = static_cast<std::uint8_t>(i * 37 + 5);
        Bytes native(be.size());
        EXPECT_TRUE(decode_offset_be_into(b, be, native));
        EXPECT_TRUE(offset_to_stored_in_place(b, native));
        EXPECT_TRUE(swap_be_in_place(b, native));
        EXPECT_EQ(native, be) << type_name(b);
    }
    Bytes floats = {1, 2, 3, 4};
    EXPECT_TRUE(offset_to_stored_in_place(Bitpix::F32, floats));
    EXPECT_EQ(floats, (Bytes{1, 2, 3, 4}));
}

// What the reader makes of stored integers: values in the physical form's precision.
std::vector<double> read_as_physical(Bitpix b, const Scaling& s, const Bytes& bytes) {
    const std::size_t n = bytes.size() / bytes_per_pixel(b);
    std::vector<double> out(n);
    if (physical_form(b, s) == PhysicalForm::F32) {
        std::vector<float> single(n);
        EXPECT_TRUE(physical_values_into(b, bytes, s, std::span<float>(single)));
        std::copy(single.begin(), single.end(), out.begin());
    } else {
        EXPECT_TRUE(physical_values_into(b, bytes, s, std::span<double>(out)));
    }
    return out;
}

Bytes stored_bytes(Bitpix b, const std::vector<std::int64_t>& values) {
    Bytes out(values.size() * bytes_per_pixel(b));
    EXPECT_TRUE(visit_bitpix(b, [&](auto tag) {
        using T = typename decltype(tag)::type;
        for (std::size_t i = 0; i < values.size(); ++i)
            store_be(out.data() + i * sizeof(T), static_cast<T>(values[i]));
    }));
    return out;
}

TEST(ScalingTest, RestoreKeepsUnchangedIntegersAndStoresChangesThatReadBackExactly) {
    constexpr std::int64_t kBig = std::int64_t{1} << 60;
    struct Case {
        const char* label;
        Bitpix bitpix;
        Scaling scaling;
        std::vector<std::int64_t> stored;
        std::size_t at;
        double value;  // added to what the reader gave for `at` when `relative`
        bool relative;
        bool kept;  // whether the stored type can keep every value
    };
    const Case cases[] = {
        // Doubles cannot hold 2^60 + n: only the stored integers keep the untouched digits.
        {"i64 near 2^60",
         Bitpix::I64,
         {1000.0, 1.0, std::nullopt},
         {kBig + 10, kBig + 978, kBig + 5},
         0,
         2048.0,
         true,
         true},
        {"i32 bscale bzero",
         Bitpix::I32,
         {0.5, 2.0, std::nullopt},
         {1, 2, 3},
         1,
         10.5,
         false,
         true},
        {"u8 single precision",
         Bitpix::U8,
         {0.0, 0.1, std::nullopt},
         {1, 2, 3},
         2,
         static_cast<double>(0.7f),
         false,
         true},
        {"i16 nan to blank", Bitpix::I16, {0.0, 2.0, -1}, {-1, 2, 3}, 2, kNan, false, true},
        {"i16 between two steps",
         Bitpix::I16,
         {0.0, 2.0, std::nullopt},
         {1, 2, 3},
         1,
         3.0,
         false,
         false},
        {"i16 beyond the range",
         Bitpix::I16,
         {0.5, 1.0, std::nullopt},
         {1, 2, 3},
         0,
         40000.5,
         false,
         false},
        {"i32 nan without blank",
         Bitpix::I32,
         {0.0, 3.0, std::nullopt},
         {1, 2, 3},
         0,
         kNan,
         false,
         false},
    };
    for (const Case& c : cases) {
        const Bytes before = stored_bytes(c.bitpix, c.stored);
        std::vector<double> values = read_as_physical(c.bitpix, c.scaling, before);
        values[c.at] = c.relative ? values[c.at] + c.value : c.value;
        Bytes restored = before;
        const Result<bool> kept = restore_stored_values(c.bitpix, c.scaling, values, restored);
        ASSERT_TRUE(kept.has_value()) << c.label;
        EXPECT_EQ(*kept, c.kept) << c.label;
        if (!c.kept) {
            EXPECT_EQ(restored, before) << c.label;
            continue;
        }
        const Stored patched = store(c.bitpix, c.scaling, {values[c.at]});
        ASSERT_EQ(patched.error, "") << c.label;
        for (std::size_t i = 0; i < c.stored.size(); ++i) {
            const std::int64_t want =
                i == c.at ? stored_at(c.bitpix, patched.bytes, 0) : c.stored[i];
            EXPECT_EQ(stored_at(c.bitpix, restored, i), want) << c.label << " " << i;
        }
        const std::vector<double> back = read_as_physical(c.bitpix, c.scaling, restored);
        for (std::size_t i = 0; i < back.size(); ++i) {
            EXPECT_TRUE(back[i] == values[i] || (std::isnan(back[i]) && std::isnan(values[i])))
                << c.label << " " << i;
        }
    }
    // A floating-point image has no stored integers to keep.
    Bytes floats(8);
    const Result<bool> kept = restore_stored_values(Bitpix::F64, {1.0, 2.0, std::nullopt},
                                                    std::vector<double>{1.0}, floats);
    ASSERT_TRUE(kept.has_value());
    EXPECT_FALSE(*kept);
}

}  // namespace
}  // namespace vexlo

namespace vexlo {
namespace {

// The message of a refused integer cast, or "" when the values fit.
template <class V>
std::string cast_refusal(Bitpix b, double zero, std::vector<V> values) {
    Scaling s;
    s.zero = zero;
    const Result<void> r = check_cast_to_stored(b, s, std::span<const V>(values));
    return r ? std::string() : r.error().message();
}

// An integer cast truncates, so the check takes the truncated value less BZERO; the 64-bit
// edges are exact for integers of either sign, the offset 2^63 included. Beyond i64 the stored
// value is told in the plain form of doubles, as for scaled images.
TEST(ScalingTest, IntegerCastChecksTheTruncatedStoredValue) {
    const double two63 = 9223372036854775808.0;
    const std::uint64_t u_max = std::numeric_limits<std::uint64_t>::max();
    const std::int64_t i_max = std::numeric_limits<std::int64_t>::max();
    const std::int64_t i_min = std::numeric_limits<std::int64_t>::min();
    const std::string range = "data: physical value ";
    EXPECT_EQ(cast_refusal<double>(Bitpix::I16, 0.0, {32767.9, -32768.9}), "");
    EXPECT_EQ(cast_refusal<double>(Bitpix::I16, 0.0, {32768.0}),
              range + "32768 scales to 32768, outside the range of i16");
    EXPECT_EQ(cast_refusal<double>(Bitpix::I16, 32768.0, {65535.5, -0.5}), "");
    EXPECT_EQ(cast_refusal<double>(Bitpix::I16, 32768.0, {-1.0}),
              range + "-1 scales to -32769, outside the range of i16");
    EXPECT_EQ(cast_refusal<double>(Bitpix::U8, -128.0, {128.0}),
              range + "128 scales to 256, outside the range of u8");
    EXPECT_EQ(cast_refusal<double>(Bitpix::I32, 0.0, {kNan}),
              "data: cannot store an undefined pixel in an integer image that declares no "
              "BLANK (Sec.4.4.2.4)");
    EXPECT_EQ(cast_refusal<double>(Bitpix::I64, 0.0, {two63}),
              range + "9223372036854776000 scales to 9223372036854776000, which does not fit i64");
    EXPECT_EQ(cast_refusal<double>(Bitpix::F32, 0.0, {1e300, kNan}), "");
    EXPECT_EQ(cast_refusal<std::uint64_t>(Bitpix::I64, two63, {u_max, 0}), "");
    EXPECT_EQ(cast_refusal<std::int64_t>(Bitpix::I64, 0.0, {i_max, i_min}), "");
    EXPECT_EQ(cast_refusal<std::uint64_t>(Bitpix::I64, 0.0, {std::uint64_t{1} << 63}),
              range + "9223372036854775808 scales to 9223372036854776000, which does not fit i64");
    EXPECT_EQ(cast_refusal<std::int64_t>(Bitpix::I64, two63, {-1}),
              range + "-1 scales to -9223372036854776000, which does not fit i64");
    EXPECT_EQ(cast_refusal<std::int64_t>(Bitpix::I32, 2147483648.0, {4294967296}),
              range + "4294967296 scales to 2147483648, outside the range of i32");
}

}  // namespace
}  // namespace vexlo
