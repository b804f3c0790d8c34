#include "diff/data.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "../be_bytes.hpp"
#include "compression/reader.hpp"
#include "diff_fixture.hpp"
#include "hdu/load.hpp"

namespace vexlo {
namespace {

using namespace diff_test;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// ---------------------------------------------------------------- images

// Changed pixels spread over several comparison blocks, given out of order.
const std::vector<std::uint64_t> kChanged = {9999, 5,    4096, 100,  8191,
                                             2000, 4095, 7000, 4097, 6000};

ImageHdu ramp_image(const std::vector<std::uint64_t>& changed) {
    std::vector<float> px(10000);
    for (std::size_t i = 0; i < px.size(); ++i)
        px[i] = static_cast<float>(i);
    for (const std::uint64_t i : changed)
        px[i] = -1.0f;
    return image(-32, {100, 100}, be_f32(px));
}

TEST(DiffImage, CountsEveryPixelAndKeepsTheFirstFoundInPixelOrder) {
    const ImageHdu a = ramp_image({});
    const ImageHdu b = ramp_image(kChanged);
    std::vector<std::uint64_t> sorted = kChanged;
    std::sort(sorted.begin(), sorted.end());

    DiffOptions all;
    all.max_diffs = 100;
    const Found every = compare_images(a, b, all);
    ASSERT_EQ(every.total, 10u);
    ASSERT_EQ(every.diffs.size(), 10u);
    for (std::size_t k = 0; k < sorted.size(); ++k) {
        expect_diff(every.diffs[k], std::nullopt, sorted[k], std::to_string(sorted[k]), "-1");
    }

    DiffOptions three;
    three.max_diffs = 3;
    const Found capped = compare_images(a, b, three);
    EXPECT_EQ(capped.total, 10u);
    ASSERT_EQ(capped.diffs.size(), 3u);
    EXPECT_EQ(capped.diffs[0].index, 5u);
    EXPECT_EQ(capped.diffs[1].index, 100u);
    EXPECT_EQ(capped.diffs[2].index, 2000u);

    DiffOptions none;
    none.max_diffs = 0;
    const Found counted = compare_images(a, b, none);
    EXPECT_EQ(counted.total, 10u);
    EXPECT_TRUE(counted.diffs.empty());

    EXPECT_EQ(compare_images(a, ramp_image({})).total, 0u);
}

TEST(DiffImage, ShapeMismatchIsOneSummary) {
    const ImageHdu a = image(8, {10, 20}, Bytes(200, 1));
    const ImageHdu b = image(8, {20, 10}, Bytes(200, 2));
    const Found f = compare_images(a, b);
    ASSERT_EQ(f.total, 1u);
    expect_diff(f.diffs[0], std::nullopt, 0, "shape [10, 20]", "shape [20, 10]");

    const ImageHdu empty = image(8, {}, {});
    const Found g = compare_images(empty, image(8, {3}, Bytes(3, 0)));
    ASSERT_EQ(g.total, 1u);
    expect_diff(g.diffs[0], std::nullopt, 0, "shape []", "shape [3]");
}

TEST(DiffImage, ComparesPhysicalValuesWhateverTheStorage) {
    // Unsigned 16-bit values stored with the offset against the same values as 32-bit.
    const ImageHdu offset = image(16, {3}, be_i16({-32768, 0, 32767}), {kv("BZERO", "32768")});
    const ImageHdu wide = image(32, {3}, be_i32({0, 32768, 65535}));
    EXPECT_EQ(compare_images(offset, wide).total, 0u);

    // The same physical values through BSCALE, and BLANK in both at the same pixel.
    const ImageHdu scaled =
        image(16, {3}, be_i16({1, -1, 3}), {kv("BSCALE", "2.0"), kv("BLANK", -1)});
    const ImageHdu plain = image(16, {3}, be_i16({2, 7, 6}), {kv("BLANK", 7)});
    EXPECT_EQ(compare_images(scaled, plain).total, 0u);

    // Same bytes, different scaling: the values differ.
    const ImageHdu shifted = image(16, {3}, be_i16({1, -1, 3}), {kv("BZERO", "0.5")});
    const Found f = compare_images(image(16, {3}, be_i16({1, -1, 3})), shifted);
    ASSERT_EQ(f.total, 3u);
    expect_diff(f.diffs[1], std::nullopt, 1, "-1", "-0.5");
}

TEST(DiffImage, NotANumberAndTolerances) {
    const ImageHdu a = image(-32, {3}, be_f32({kNaN, kNaN, 100.0f}));
    const ImageHdu b = image(-32, {3}, be_f32({kNaN, 0.0f, 100.5f}));
    const Found exact = compare_images(a, b);
    ASSERT_EQ(exact.total, 2u);
    expect_diff(exact.diffs[0], std::nullopt, 1, "NaN", "0");
    expect_diff(exact.diffs[1], std::nullopt, 2, "100", "100.5");

    struct Case {
        double rtol, atol;
        std::uint64_t total;
    };
    // |100 - 100.5| = 0.5 against |100.5| * rtol + atol; the NaN pixel differs at any tolerance.
    for (const Case c : {Case{0.01, 0.0, 1}, Case{0.0, 0.4, 2}, Case{0.0, 0.5, 1},
                         Case{0.004, 0.1, 1}, Case{0.003, 0.1, 2}}) {
        DiffOptions o;
        o.rtol = c.rtol;
        o.atol = c.atol;
        EXPECT_EQ(compare_images(a, b, o).total, c.total) << c.rtol << " " << c.atol;
    }
}

Bytes be_i64(const std::vector<std::int64_t>& values) {
    Bytes out;
    for (const auto v : values)
        push_be_u64(static_cast<std::uint64_t>(v), out);
    return out;
}

// 64-bit integers past 2^53 are different numbers as doubles cannot tell: they are compared
// and shown as the exact integers, stored as they are or under the unsigned offset, against
// each other or against narrower integers.
TEST(DiffImage, SixtyFourBitIntegersExactly) {
    constexpr std::int64_t kBig = std::int64_t{1} << 60;
    constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
    const std::vector<std::string> offset = {kv("BZERO", "9223372036854775808")};
    struct Case {
        ImageHdu a, b;
        std::vector<std::pair<std::string, std::string>> texts;  // of each difference
    };
    const std::vector<Case> cases = {
        {image(64, {2}, be_i64({kBig + 10, 5})),
         image(64, {2}, be_i64({kBig + 11, 5})),
         {{"1152921504606846986", "1152921504606846987"}}},
        // uint64 values 2^64 - 2 and 2^64 - 1, and 0 against 1.
        {image(64, {2}, be_i64({std::numeric_limits<std::int64_t>::max() - 1, kMin}), offset),
         image(64, {2}, be_i64({std::numeric_limits<std::int64_t>::max(), kMin + 1}), offset),
         {{"18446744073709551614", "18446744073709551615"}, {"0", "1"}}},
        // The same physical values stored either way are equal; -1 is no uint64 value.
        {image(64, {2}, be_i64({kBig, -1})),
         image(64, {2}, be_i64({kBig ^ kMin, kMin}), offset),
         {{"-1", "0"}}},
        // Against 32-bit pixels, and BLANK as not-a-number.
        {image(64, {3}, be_i64({kBig, 7, 9}), {kv("BLANK", 9)}),
         image(32, {3}, be_i32({0, 7, 9})),
         {{"1152921504606846976", "0"}, {"NaN", "9"}}},
    };
    for (const Case& c : cases) {
        DiffOptions all;
        all.max_diffs = 10;
        const Found f = compare_images(c.a, c.b, all);
        ASSERT_EQ(f.diffs.size(), c.texts.size()) << c.texts.front().first;
        for (std::size_t k = 0; k < c.texts.size(); ++k) {
            EXPECT_EQ(f.diffs[k].a, c.texts[k].first);
            EXPECT_EQ(f.diffs[k].b, c.texts[k].second);
        }
    }

    // Tolerances apply to the exact difference: |1| against |2^60 + 11| * rtol.
    const ImageHdu a = image(64, {1}, be_i64({kBig + 10}));
    const ImageHdu b = image(64, {1}, be_i64({kBig + 11}));
    DiffOptions loose;
    loose.rtol = 1e-15;
    EXPECT_EQ(compare_images(a, b, loose).total, 0u);
    DiffOptions tight;
    tight.atol = 0.5;
    EXPECT_EQ(compare_images(a, b, tight).total, 1u);
}

TEST(DiffRawBytes, SummarisesDifferingSections) {
    DiffOptions o;
    DataDiffList list(o);
    diff_raw_bytes(Bytes(2880, 0), Bytes(2880, 0), list);
    EXPECT_EQ(list.total(), 0u);
    diff_raw_bytes(Bytes(2880, 0), Bytes(5760, 0), list);
    diff_raw_bytes(Bytes(4, 0), Bytes(4, 1), list);
    ASSERT_EQ(list.total(), 2u);
    expect_diff(list.diffs()[0], std::nullopt, 0, "<2880 bytes, differing>",
                "<5760 bytes, differing>");
    expect_diff(list.diffs()[1], std::nullopt, 0, "<4 bytes, differing>", "<4 bytes, differing>");
}

// ---------------------------------------------------------------- binary tables

// FLUX 1E, NAME 6A as two 3-character strings, FLAGS 12X, OK 1L, SEQ 1PJ: 21-byte rows.
std::vector<std::string> mixed_columns(std::uint64_t rows, std::uint64_t heap) {
    return bintable_cards(21, rows, heap,
                          {kv("TFIELDS", 5), kv("TTYPE1", "'FLUX'"), kv("TFORM1", "'1E'"),
                           kv("TTYPE2", "'NAME'"), kv("TFORM2", "'6A'"), kv("TDIM2", "'(3,2)'"),
                           kv("TTYPE3", "'FLAGS'"), kv("TFORM3", "'12X'"), kv("TTYPE4", "'OK'"),
                           kv("TFORM4", "'1L'"), kv("TTYPE5", "'SEQ'"), kv("TFORM5", "'1PJ'")});
}

struct Row {
    float flux;
    std::string name;  // 6 bytes
    std::uint8_t flags0, flags1;
    char ok;
    std::int32_t count, offset;
};

Bytes mixed_data(const std::vector<Row>& rows, const std::vector<std::int32_t>& heap) {
    Bytes out;
    for (const Row& r : rows) {
        push_be_f32(r.flux, out);
        append_bytes(out, r.name);
        out.push_back(r.flags0);
        out.push_back(r.flags1);
        out.push_back(static_cast<std::uint8_t>(r.ok));
        push_be_u32(static_cast<std::uint32_t>(r.count), out);
        push_be_u32(static_cast<std::uint32_t>(r.offset), out);
    }
    for (const std::int32_t v : heap)
        push_be_u32(static_cast<std::uint32_t>(v), out);
    return out;
}

BinTableHdu mixed_table(const std::vector<Row>& rows, const std::vector<std::int32_t>& heap) {
    return bintable(mixed_columns(rows.size(), heap.size() * 4), mixed_data(rows, heap));
}

TEST(DiffBinTable, ComparesCellsByTheirDecodedValues) {
    const float next = std::nextafter(0.1f, 1.0f);
    const BinTableHdu a = mixed_table(
        {
            {1.0f, "ab cd ", 0xa0, 0xf0, 'T', 7, 0},
            {0.1f, "xy    ", 0, 0, 'F', 1, 28},
            {2.0f, "zz    ", 0, 0, 'X', 0, 0},
        },
        {1, 2, 3, 4, 5, 6, 7, 5});
    // Row 0 only pads its strings differently and changes the last array element; the
    // descriptors of row 1 are unchanged while the heap value behind them changed.
    const BinTableHdu b = mixed_table(
        {
            {1.0f, std::string("ab\0cd\0", 6), 0xa0, 0xf0, 'T', 7, 0},
            {next, "xy    ", 0, 0, 'F', 1, 28},
            {2.0f, "zz    ", 0, 0x10, 'X', 1, 28},
        },
        {1, 2, 3, 4, 5, 6, 8, 6});

    DiffOptions o;
    o.max_diffs = 100;
    const Found f = compare_bintables(a, b, o);
    ASSERT_EQ(f.total, 6u);
    ASSERT_EQ(f.diffs.size(), 6u);
    expect_diff(f.diffs[0], "SEQ", 0, "[1, 2, 3, 4, ... 7 total]", "[1, 2, 3, 4, ... 7 total]");
    expect_diff(f.diffs[1], "FLUX", 1, "0.1", "0.10000001");
    expect_diff(f.diffs[2], "SEQ", 1, "5", "6");
    expect_diff(f.diffs[3], "FLAGS", 2, "12 bits [00, 00]", "12 bits [00, 10]");
    // The same undecodable bytes on both sides are still a difference.
    expect_diff(f.diffs[4], "OK", 2, "<undecodable>", "<undecodable>");
    expect_diff(f.diffs[5], "SEQ", 2, "[]", "6");

    // Within tolerance the single-precision cell is equal.
    o.rtol = 1e-6;
    EXPECT_EQ(compare_bintables(a, b, o).total, 5u);
    // A table against itself: nothing, by the unchanged-bytes path.
    EXPECT_EQ(compare_bintables(a, a).total, 0u);
}

TEST(DiffBinTable, RowsAndColumnsMismatchAreSummaries) {
    const std::vector<Row> rows(6, Row{1.0f, "a     ", 0, 0, 'T', 0, 0});
    const BinTableHdu six = mixed_table(rows, {});
    const BinTableHdu five = mixed_table({rows.begin(), rows.end() - 1}, {});
    const Found f = compare_bintables(five, six);
    ASSERT_EQ(f.total, 1u);
    expect_diff(f.diffs[0], std::nullopt, 0, "5 rows", "6 rows");

    std::vector<std::string> renamed = mixed_columns(6, 0);
    for (std::string& c : renamed) {
        if (c.starts_with("TTYPE2")) c = kv("TTYPE2", "'NA\"ME'");
    }
    const BinTableHdu other = bintable(renamed, mixed_data(rows, {}));
    const Found g = compare_bintables(six, other);
    ASSERT_EQ(g.total, 1u);
    expect_diff(g.diffs[0], std::nullopt, 0, R"(columns ["FLUX", "NAME", "FLAGS", "OK", "SEQ"])",
                R"(columns ["FLUX", "NA\"ME", "FLAGS", "OK", "SEQ"])");
}

TEST(DiffBinTable, ScalingCardsDecideWhetherEqualBytesAreEqual) {
    // Two 16-bit columns with the same bytes; in b one is scaled, so every cell differs.
    const auto cards = [](std::string tzero) {
        std::vector<std::string> extra = {kv("TFIELDS", 2), kv("TTYPE1", "'A'"),
                                          kv("TFORM1", "'1I'"), kv("TTYPE2", "'B'"),
                                          kv("TFORM2", "'1I'")};
        if (!tzero.empty()) extra.push_back(kv("TZERO2", tzero));
        return bintable_cards(4, 3, 0, extra);
    };
    const Bytes data = be_i16({1, 2, 3, 4, 5, -6});
    const Found f = compare_bintables(bintable(cards(""), data), bintable(cards("0.5"), data));
    ASSERT_EQ(f.total, 3u);
    expect_diff(f.diffs[0], "B", 0, "2", "2.5");
    expect_diff(f.diffs[2], "B", 2, "-6", "-5.5");
}

// Rows that hold no byte read alike, however many rows NAXIS2 claims: they are compared
// while their differences are kept, and the rest are counted, not walked.
TEST(DiffBinTable, RowsWithoutBytesAreCountedNotWalked) {
    constexpr std::uint64_t kRows = 9223372036854775807u;
    const auto table = [&](std::vector<std::string> columns) {
        columns.insert(columns.begin(), kv("TFIELDS", static_cast<long long>(columns.size() / 2)));
        return bintable(bintable_cards(0, kRows, 0, columns), {});
    };
    const BinTableHdu a = table(
        {kv("TTYPE1", "'Z'"), kv("TFORM1", "'0J'"), kv("TTYPE2", "'S'"), kv("TFORM2", "'0A'")});
    const BinTableHdu b = table(
        {kv("TTYPE1", "'Z'"), kv("TFORM1", "'0E'"), kv("TTYPE2", "'S'"), kv("TFORM2", "'0A'")});
    DiffOptions three;
    three.max_diffs = 3;
    const Found f = compare_bintables(a, b, three);
    EXPECT_EQ(f.total, kRows);  // one differing column in every row
    ASSERT_EQ(f.diffs.size(), 3u);
    for (std::uint64_t r = 0; r < 3; ++r)
        expect_diff(f.diffs[r], "Z", r, "[]", "[]");
    DiffOptions none;
    none.max_diffs = 0;
    EXPECT_EQ(compare_bintables(a, b, none).total, kRows);
    // Three differing columns in 2^63 - 1 rows: the count saturates.
    const BinTableHdu c = table({kv("TTYPE1", "'Z'"), kv("TFORM1", "'0E'"), kv("TTYPE2", "'S'"),
                                 kv("TFORM2", "'0E'"), kv("TTYPE3", "'T'"), kv("TFORM3", "'0E'")});
    const BinTableHdu d = table({kv("TTYPE1", "'Z'"), kv("TFORM1", "'0J'"), kv("TTYPE2", "'S'"),
                                 kv("TFORM2", "'0J'"), kv("TTYPE3", "'T'"), kv("TFORM3", "'0J'")});
    EXPECT_EQ(compare_bintables(c, d, three).total, UINT64_MAX);
    // Cards that change nothing a cell reads: nothing, at once.
    const BinTableHdu scaled =
        table({kv("TTYPE1", "'Z'"), kv("TFORM1", "'0J'"), kv("TTYPE2", "'S'"), kv("TFORM2", "'0A'"),
               kv("TDIM2", "'(1)'")});
    EXPECT_EQ(compare_bintables(a, scaled).total, 0u);
    EXPECT_EQ(compare_bintables(table({}), table({kv("TFORM1", "'1J'")})).total, 0u);

    // An ASCII table of no bytes per row likewise: a field of width 0 reads "" as text and 0
    // as a number, in every row.
    const auto ascii = [&](int tfields, const char* tform) {
        std::vector<std::string> cards = {kv("XTENSION", "'TABLE'"),
                                          kv("BITPIX", 8),
                                          kv("NAXIS", 2),
                                          kv("NAXIS1", 0),
                                          kv("NAXIS2", static_cast<long long>(kRows)),
                                          kv("PCOUNT", 0),
                                          kv("GCOUNT", 1),
                                          kv("TFIELDS", tfields),
                                          kv("TTYPE1", "'Z'"),
                                          kv("TFORM1", tform),
                                          kv("TBCOL1", 1)};
        return ascii_table(cards, "");
    };
    const Found g = compare_ascii(ascii(1, "'A0'"), ascii(1, "'I0'"), three);
    EXPECT_EQ(g.total, kRows);
    ASSERT_EQ(g.diffs.size(), 3u);
    expect_diff(g.diffs[2], "Z", 2, R"("")", "0");
    EXPECT_EQ(compare_ascii(ascii(0, "'A0'"), ascii(0, "'I3'")).total, 0u);
}

TEST(DiffBinTable, CellTexts) {
    struct Case {
        BinValue value;
        std::string text;
    };
    const auto vla = [](BinValue inner) {
        return BinValue{BinValue::Vla{std::make_shared<const BinValue>(std::move(inner))}};
    };
    const std::vector<Case> cases = {
        {BinValue{BinValue::Logical{{true, false, std::nullopt}}}, "[true, false, null]"},
        {BinValue{BinValue::Int{{5}}}, "5"},
        {BinValue{BinValue::Int{{}}}, "[]"},
        {BinValue{BinValue::Uint{{1, std::nullopt, 18446744073709551615ull, 4, 5}}},
         "[1, null, 18446744073709551615, 4, ... 5 total]"},
        {BinValue{BinValue::Float{{1e20, std::nan("")}}}, "[100000000000000000000, NaN]"},
        {BinValue{BinValue::F32{{0.1f}}}, "0.1"},
        {BinValue{BinValue::F64{{-0.0}}}, "-0"},
        {BinValue{BinValue::C64{{{1.5f, -0.1f}}}}, "(1.5, -0.1)"},
        {BinValue{BinValue::C128{{{1.0, 2.0}, {0.1, 0.0}}}}, "[(1, 2), (0.1, 0)]"},
        {BinValue{BinValue::Str{"a\"b  "}}, R"("a\"b")"},
        {BinValue{BinValue::StrArray{{"x ", "y"}}}, R"(["x", "y"])"},
        {BinValue{BinValue::Bits{{0xa0, 0xf0}, 12}}, "12 bits [a0, f0]"},
        {vla(BinValue{BinValue::Int{{1, 2, 3, 4, 5, 6, 7}}}), "[1, 2, 3, 4, ... 7 total]"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(bintable_cell_text(c.value), c.text);
}

TEST(DiffBinTable, CellEqualityRules) {
    const auto eq = [](const BinValue& a, const BinValue& b, double rtol = 0.0) {
        return bin_values_equal(a, b, rtol, 0.0);
    };
    const BinValue f64{BinValue::F64{{1.0}}};
    const BinValue flt{BinValue::Float{{1.0}}};
    EXPECT_FALSE(eq(f64, flt));  // different alternatives
    EXPECT_TRUE(
        eq(BinValue{BinValue::F64{{std::nan("")}}}, BinValue{BinValue::F64{{std::nan("")}}}));
    EXPECT_FALSE(eq(BinValue{BinValue::F64{{1.0, 2.0}}}, f64));  // lengths
    EXPECT_TRUE(eq(BinValue{BinValue::Int{{}}}, BinValue{BinValue::Int{{}}}));
    EXPECT_FALSE(eq(BinValue{BinValue::Int{{std::nullopt}}}, BinValue{BinValue::Int{{0}}}));
    EXPECT_FALSE(
        eq(BinValue{BinValue::Logical{{std::nullopt}}}, BinValue{BinValue::Logical{{false}}}));
    EXPECT_TRUE(eq(BinValue{BinValue::C64{{{1.0f, 2.0f}}}},
                   BinValue{BinValue::C64{{{1.0f, 2.000001f}}}}, 1e-5));
    EXPECT_FALSE(
        eq(BinValue{BinValue::C64{{{1.0f, 2.0f}}}}, BinValue{BinValue::C64{{{1.0f, 2.1f}}}}, 1e-5));
    EXPECT_FALSE(eq(BinValue{BinValue::Bits{{0x80}, 1}}, BinValue{BinValue::Bits{{0x80}, 2}}));
    EXPECT_TRUE(eq(BinValue{BinValue::Str{"abc  "}}, BinValue{BinValue::Str{"abc"}}));
    EXPECT_FALSE(eq(BinValue{BinValue::Str{"ABC"}}, BinValue{BinValue::Str{"abc"}}));
    const BinValue inner{BinValue::Int{{1}}};
    const BinValue vla{BinValue::Vla{std::make_shared<const BinValue>(inner)}};
    EXPECT_FALSE(eq(vla, inner));
    EXPECT_TRUE(eq(vla, vla));
}

// ---------------------------------------------------------------- ASCII tables

std::vector<std::string> ascii_cards(std::uint64_t rows, long long tbcol3) {
    return {kv("XTENSION", "'TABLE   '"),
            kv("BITPIX", 8),
            kv("NAXIS", 2),
            kv("NAXIS1", 14),
            kv("NAXIS2", static_cast<long long>(rows)),
            kv("PCOUNT", 0),
            kv("GCOUNT", 1),
            kv("TFIELDS", 3),
            kv("TTYPE1", "'NAME'"),
            kv("TFORM1", "'A5'"),
            kv("TBCOL1", 1),
            kv("TTYPE2", "'N'"),
            kv("TFORM2", "'I3'"),
            kv("TBCOL2", 6),
            kv("TNULL2", "'-99'"),
            kv("TTYPE3", "'X'"),
            kv("TFORM3", "'F5.2'"),
            kv("TBCOL3", tbcol3)};
}

TEST(DiffAsciiTable, ComparesDecodedFields) {
    const AsciiTableHdu a = ascii_table(ascii_cards(4, 10),
                                        "M31   12  1.50"
                                        "NGC  -99  2.00"
                                        "X      3  0.10"
                                        "Y     a3  1.00");
    const AsciiTableHdu b = ascii_table(ascii_cards(4, 10),
                                        "M33   12  1.50"
                                        "NGC    7  2.00"
                                        "X      3  0.30"
                                        "Y     a3  1.00");
    const Found f = compare_ascii(a, b);
    ASSERT_EQ(f.total, 4u);
    expect_diff(f.diffs[0], "NAME", 0, R"("M31")", R"("M33")");
    expect_diff(f.diffs[1], "N", 1, "null", "7");
    expect_diff(f.diffs[2], "X", 2, "0.1", "0.3");
    expect_diff(f.diffs[3], "N", 3, "<undecodable>", "<undecodable>");

    DiffOptions loose;
    loose.atol = 0.25;
    EXPECT_EQ(compare_ascii(a, b, loose).total, 3u);
}

TEST(DiffAsciiTable, ColumnPositionsAloneDoNotMakeADataDifference) {
    const std::string rows = "M31   12  1.50";
    EXPECT_EQ(
        compare_ascii(ascii_table(ascii_cards(1, 10), rows), ascii_table(ascii_cards(1, 9), rows))
            .total,
        0u);
    const Found f =
        compare_ascii(ascii_table(ascii_cards(1, 10), rows), ascii_table(ascii_cards(0, 10), ""));
    ASSERT_EQ(f.total, 1u);
    expect_diff(f.diffs[0], std::nullopt, 0, "1 rows", "0 rows");
}

// ---------------------------------------------------------------- tile-compressed images

// The same pixels tiled by GZIP_1 and by GZIP_2: equal as images, different as tables. The
// caller hands the decoder in; without one the tables are what is compared.
TEST(DiffCompressedImage, ComparedAsImagesOnlyWithADecoder) {
    const std::string data = VEXLO_TEST_DATA;
    const Result<FitsFile> fa = FitsFile::open(data + "/i16_gzip1.fz", true);
    const Result<FitsFile> fb = FitsFile::open(data + "/i16_gzip2.fz", true);
    ASSERT_TRUE(fa && fb);
    const Result<Hdu> a = load_hdu(*fa, 1);
    const Result<Hdu> b = load_hdu(*fb, 1);
    ASSERT_TRUE(a && b);
    ASSERT_EQ(a->kind(), Hdu::Kind::CompressedImage);
    ASSERT_EQ(b->kind(), Hdu::Kind::CompressedImage);

    struct Case {
        decltype(DiffOptions::decompress) decompress;
        std::optional<std::string> first_column;  // none: no difference
    };
    for (const Case& c : {Case{&decompress, std::nullopt}, Case{nullptr, "COMPRESSED_DATA"}}) {
        DiffOptions options;
        options.decompress = c.decompress;
        DataDiffList list(options);
        diff_hdu_data(*a, *b, list);
        if (!c.first_column) {
            EXPECT_EQ(list.total(), 0u);
        } else {
            ASSERT_FALSE(list.diffs().empty());
            EXPECT_EQ(list.diffs().front().column, c.first_column);
        }
    }
}

}  // namespace
}  // namespace vexlo
