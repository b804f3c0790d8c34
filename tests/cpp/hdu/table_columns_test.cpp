#include "hdu/table_columns.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "../be_bytes.hpp"
#include "data/pixel.hpp"
#include "hdu/column_kernels.hpp"
#include "table_fixture.hpp"

namespace vexlo {

static void PrintTo(const BinValue& v, std::ostream* os) {
    *os << v.debug();
}

namespace {

using namespace table_testing;

// One column of a test table: its TFORM, extra keywords (TNULL, TSCAL, TDIM...) as
// (prefix, value) pairs, and the bytes of its cell in a row.
struct Spec {
    std::string tform;
    std::vector<std::pair<std::string, std::string>> keywords;
    std::function<Bytes(std::uint64_t)> cell;
};

std::int64_t i64(std::uint64_t r) {
    return static_cast<std::int64_t>(r);
}

std::int32_t i32(std::uint64_t r) {
    return static_cast<std::int32_t>(r);
}

Bytes be32(std::int32_t v) {
    Bytes b;
    push_be_u32(static_cast<std::uint32_t>(v), b);
    return b;
}

Bytes be16(std::int16_t v) {
    Bytes b;
    push_be_u16(static_cast<std::uint16_t>(v), b);
    return b;
}

Bytes be64(std::int64_t v) {
    Bytes b;
    push_be_u64(static_cast<std::uint64_t>(v), b);
    return b;
}

Bytes f32(float v) {
    std::uint32_t u;
    std::memcpy(&u, &v, 4);
    Bytes b;
    push_be_u32(u, b);
    return b;
}

Bytes f64(double v) {
    std::uint64_t u;
    std::memcpy(&u, &v, 8);
    Bytes b;
    push_be_u64(u, b);
    return b;
}

Bytes text(std::string_view s) {
    return Bytes(s.begin(), s.end());
}

Bytes join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

BinTableHdu make_table(const std::vector<Spec>& specs, std::uint64_t n_rows,
                       const Bytes& heap = {}) {
    Bytes rows;
    std::uint64_t width = 0;
    for (const Spec& s : specs)
        width += s.cell(0).size();
    for (std::uint64_t r = 0; r < n_rows; ++r) {
        for (const Spec& s : specs) {
            const Bytes cell = s.cell(r);
            rows.insert(rows.end(), cell.begin(), cell.end());
        }
    }
    Cards cards = {{"XTENSION", "'BINTABLE'"},
                   {"BITPIX", "8"},
                   {"NAXIS", "2"},
                   {"NAXIS1", std::to_string(width)},
                   {"NAXIS2", std::to_string(n_rows)},
                   {"PCOUNT", std::to_string(heap.size())},
                   {"GCOUNT", "1"},
                   {"TFIELDS", std::to_string(specs.size())}};
    for (std::size_t i = 0; i < specs.size(); ++i) {
        const std::string n = std::to_string(i + 1);
        cards.emplace_back("TFORM" + n, "'" + specs[i].tform + "'");
        for (const auto& [key, value] : specs[i].keywords)
            cards.emplace_back(key + n, value);
    }
    rows.insert(rows.end(), heap.begin(), heap.end());
    Result<BinTableHdu> t = BinTableHdu::create(make_header(cards), std::move(rows));
    // A malformed fixture is a fault of the test itself: stop at once.
    if (!t) {
        ADD_FAILURE() << t.error().message();
        std::abort();
    }
    return std::move(*t);
}

// The one element of a single-element cell as a double, and whether it is null.
std::pair<double, bool> single_value(const BinValue& v) {
    switch (v.kind()) {
        case BinValue::Kind::Int: {
            const auto& x = std::get<BinValue::Int>(v.value).values.at(0);
            return {x ? static_cast<double>(*x) : 0.0, !x};
        }
        case BinValue::Kind::Float:
            return {std::get<BinValue::Float>(v.value).values.at(0), false};
        case BinValue::Kind::F32:
            return {std::get<BinValue::F32>(v.value).values.at(0), false};
        case BinValue::Kind::F64:
            return {std::get<BinValue::F64>(v.value).values.at(0), false};
        case BinValue::Kind::Logical: {
            const auto& x = std::get<BinValue::Logical>(v.value).values.at(0);
            return {x ? (*x ? 1.0 : 0.0) : 2.0, !x};
        }
        default:
            ADD_FAILURE() << "not a single-element cell: " << v.debug();
            return {0.0, false};
    }
}

bool same(double a, double b) {
    return a == b || (std::isnan(a) && std::isnan(b));
}

// Every row of `decoded` (rows [first, first + n)) equals the cell decoder's value.
void expect_agrees_with_cells(const BinTableHdu& t, const BinColumn& c,
                              const DecodedColumn& decoded, std::uint64_t first, std::uint64_t n) {
    const std::string ctx = "col " + std::to_string(c.index);
    for (std::uint64_t k = 0; k < n; ++k) {
        const Result<BinValue> cell = t.read_cell(first + k, c);
        ASSERT_TRUE(cell.has_value()) << ctx;
        const auto i = static_cast<std::size_t>(k);
        if (const auto* floats = std::get_if<Float64Values>(&decoded)) {
            EXPECT_TRUE(same(floats->values.at(i), single_value(*cell).first))
                << ctx << " row " << k;
        } else if (const auto* ints = std::get_if<IntValues>(&decoded)) {
            const auto [value, null] = single_value(*cell);
            EXPECT_EQ(static_cast<double>(ints->values.at(i)), value) << ctx << " row " << k;
            EXPECT_EQ(!ints->nulls.empty() && ints->nulls.at(i) != 0, null) << ctx << " row " << k;
        } else if (const auto* logicals = std::get_if<Logicals>(&decoded)) {
            EXPECT_EQ(static_cast<double>(logicals->values.at(i)), single_value(*cell).first)
                << ctx << " row " << k;
        } else if (const auto* strings = std::get_if<Strings>(&decoded)) {
            EXPECT_EQ(BinValue{BinValue::Str{strings->at(k)}}, *cell) << ctx << " row " << k;
        } else {
            EXPECT_EQ(std::get<PerRow>(decoded).cell(k), *cell) << ctx << " row " << k;
        }
    }
}

constexpr std::string_view kPadded("ab  \0\0", 6);

// A column of every TFORM kind, with scaling, nulls, unsigned storage, TDIM-split text,
// bits, complex numbers and variable-length arrays; values vary with the row.
std::pair<std::vector<Spec>, Bytes> every_tform() {
    const Bytes heap = join({be32(10), be32(-20), be32(30), be32(-40)});
    std::vector<Spec> specs = {
        {"L", {}, [](auto r) { return r % 3 == 2 ? Bytes{0} : text(r % 3 ? "F" : "T"); }},
        {"3L", {}, [](auto r) { return text(r % 2 ? "TFt" : std::string_view("f\0F", 3)); }},
        {"X", {}, [](auto r) { return Bytes{static_cast<std::uint8_t>(r * 37)}; }},
        {"11X",
         {},
         [](auto r) {
             return Bytes{static_cast<std::uint8_t>(r), 0xA0};
         }},
        {"B", {{"TNULL", "7"}}, [](auto r) { return Bytes{static_cast<std::uint8_t>(r % 9)}; }},
        {"B", {{"TZERO", "-128"}}, [](auto r) { return Bytes{static_cast<std::uint8_t>(r * 50)}; }},
        {"I",
         {{"TSCAL", "0.5"}, {"TZERO", "3"}, {"TNULL", "-1"}},
         [](auto r) { return be16(static_cast<std::int16_t>(r % 4 == 0 ? -1 : r * 100)); }},
        {"I", {{"TZERO", "32768"}}, [](auto r) { return be16(static_cast<std::int16_t>(r * 99)); }},
        {"J", {{"TNULL", "-5"}}, [](auto r) { return be32(r % 5 == 2 ? -5 : i32(r) * -7); }},
        {"2J",
         {},
         [](auto r) {
             return join({be32(static_cast<std::int32_t>(r)), be32(-1)});
         }},
        {"K", {}, [](auto r) { return be64(static_cast<std::int64_t>(r) << 40); }},
        {"K", {{"TZERO", "9223372036854775808"}}, [](auto r) { return be64(i32(r)); }},
        {"E", {}, [](auto r) { return f32(static_cast<float>(r) / 3.0f); }},
        {"E", {{"TSCAL", "2.0"}}, [](auto r) { return f32(static_cast<float>(r) + 0.25f); }},
        {"2E",
         {},
         [](auto r) {
             return join({f32(1.5f), f32(static_cast<float>(r))});
         }},
        {"D", {}, [](auto r) { return f64(r % 4 == 3 ? std::nan("") : i32(r) * 1e-3); }},
        {"C",
         {},
         [](auto r) {
             return join({f32(static_cast<float>(r)), f32(-1.0f)});
         }},
        {"M",
         {},
         [](auto r) {
             return join({f64(0.5), f64(static_cast<double>(r))});
         }},
        {"6A", {}, [](auto r) { return text(r % 2 ? kPadded : "h\xc3\xa9llo"); }},
        {"6A", {{"TDIM", "'(2,3)'"}}, [](auto) { return text("abcdef"); }},
        {"0A", {}, [](auto) { return Bytes{}; }},
        {"0J", {}, [](auto) { return Bytes{}; }},
        {"1PJ(4)",
         {},
         [](auto r) {
             return join({be32(i32(r % 4)), be32(0)});
         }},
        {"1QE(2)",
         {},
         [](auto) {
             return join({be64(0), be64(0)});
         }},
    };
    return {std::move(specs), heap};
}

TEST(TableColumns, FormsOfEveryTform) {
    const auto [specs, heap] = every_tform();
    const BinTableHdu t = make_table(specs, 9, heap);
    using F = ColumnForm;
    const std::vector<F> want = {F::Logicals, F::PerRow,  F::PerRow,  F::PerRow,  F::Int,
                                 F::Int,      F::Float64, F::PerRow,  F::Int,     F::PerRow,
                                 F::Int,      F::PerRow,  F::Float64, F::Float64, F::PerRow,
                                 F::Float64,  F::PerRow,  F::PerRow,  F::Strings, F::PerRow,
                                 F::Strings,  F::PerRow,  F::PerRow,  F::PerRow};
    ASSERT_EQ(t.columns.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(bin_column_form(t, t.columns[i]), want[i]) << specs[i].tform;
        const Result<DecodedColumn> whole = decode_bin_column(t, t.columns[i]);
        ASSERT_TRUE(whole.has_value()) << specs[i].tform;
        EXPECT_EQ(static_cast<F>(whole->index()), want[i]) << specs[i].tform;
    }
    // A table without rows keeps one (absent) value per row in every column.
    const BinTableHdu empty = make_table(specs, 0, heap);
    for (const BinColumn& c : empty.columns) {
        EXPECT_EQ(bin_column_form(empty, c), ColumnForm::PerRow);
        EXPECT_EQ(std::get<PerRow>(*decode_bin_column(empty, c)).size(), 0u);
    }
}

TEST(TableColumns, WholeColumnsAndRangesAgreeWithCells) {
    const auto [specs, heap] = every_tform();
    const BinTableHdu t = make_table(specs, 9, heap);
    ASSERT_TRUE(check_bin_columns(t).has_value());
    for (const BinColumn& c : t.columns) {
        const Result<DecodedColumn> whole = decode_bin_column(t, c);
        ASSERT_TRUE(whole.has_value());
        expect_agrees_with_cells(t, c, *whole, 0, t.n_rows);
        const Result<DecodedColumn> part = decode_bin_rows(t, c, 4, 3);
        ASSERT_TRUE(part.has_value());
        expect_agrees_with_cells(t, c, *part, 4, 3);
    }
}

// A range past the table is refused before the output is sized by its count, however large.
TEST(TableColumns, RowRangesPastTheTableAreRefused) {
    const auto [specs, heap] = every_tform();
    const BinTableHdu t = make_table(specs, 9, heap);
    const struct {
        std::uint64_t first, n;
        const char* want;
    } cases[] = {
        {8, 2, "row 9 out of range (n_rows = 9)"},
        {10, 0, "row 10 out of range (n_rows = 9)"},
        {0, std::numeric_limits<std::uint64_t>::max(), "row 9 out of range (n_rows = 9)"},
        {5, std::numeric_limits<std::uint64_t>::max() - 3, "row 9 out of range (n_rows = 9)"},
    };
    for (const BinColumn& c : t.columns) {
        for (const auto& k : cases) {
            const Result<DecodedColumn> got = decode_bin_rows(t, c, k.first, k.n);
            ASSERT_FALSE(got.has_value()) << c.index << " " << k.first << "+" << k.n;
            EXPECT_EQ(got.error().msg, k.want) << c.index;
        }
        EXPECT_TRUE(decode_bin_rows(t, c, 9, 0).has_value()) << c.index;
    }
}

TEST(TableColumns, FieldsOfWidthZeroAreKeptOnce) {
    const BinTableHdu t = make_table(
        {{"0A", {}, [](auto) { return Bytes{}; }}, {"0J", {}, [](auto) { return Bytes{}; }}}, 5);
    const Strings text = std::get<Strings>(*decode_bin_column(t, t.columns[0]));
    EXPECT_EQ(text.values.size(), 1u);
    EXPECT_EQ(text.size(), 5u);
    const PerRow cells = std::get<PerRow>(*decode_bin_column(t, t.columns[1]));
    EXPECT_EQ(cells.cells.size(), 1u);
    EXPECT_EQ(cells.size(), 5u);
}

// Nulls in some 4096-row blocks and not in others, and a block of nulls only: every null is
// flagged wherever it lies, and a column keeps its flags when only an early block has nulls.
TEST(TableColumns, NullFlagsInEveryBlock) {
    constexpr std::uint64_t kRows = 3 * 4096 + 17;
    const std::vector<std::uint64_t> null_rows = {0, 4095, 4096, 8191, 12300, kRows - 1};
    auto is_null = [&](std::uint64_t r) {
        return std::find(null_rows.begin(), null_rows.end(), r) != null_rows.end();
    };
    const BinTableHdu t = make_table(
        {
            {"J", {{"TNULL", "-9"}}, [&](auto r) { return be32(is_null(r) ? -9 : i32(r)); }},
            {"L", {}, [&](auto r) { return is_null(r) ? Bytes{0} : text("T"); }},
            {"I", {{"TNULL", "-9"}}, [](auto r) { return be16(r == 5 ? -9 : 1); }},
            {"K", {{"TNULL", "-9"}}, [](auto) { return be64(3); }},
        },
        kRows);
    const IntValues ints = std::get<IntValues>(*decode_bin_column(t, t.columns[0]));
    const Logicals logicals = std::get<Logicals>(*decode_bin_column(t, t.columns[1]));
    ASSERT_EQ(ints.nulls.size(), kRows);
    for (std::uint64_t r = 0; r < kRows; ++r) {
        EXPECT_EQ(ints.nulls[r] != 0, is_null(r)) << r;
        EXPECT_EQ(ints.values[r], is_null(r) ? 0 : static_cast<std::int64_t>(r)) << r;
        EXPECT_EQ(logicals.values[r], is_null(r) ? 2 : 1) << r;
    }
    // Only the first block has a null.
    const IntValues early = std::get<IntValues>(*decode_bin_column(t, t.columns[2]));
    ASSERT_EQ(early.nulls.size(), kRows);
    EXPECT_EQ(std::count(early.nulls.begin(), early.nulls.end(), 1), 1);
    EXPECT_EQ(early.nulls[5], 1);
    // No null at all: no flags.
    EXPECT_TRUE(std::get<IntValues>(*decode_bin_column(t, t.columns[3])).nulls.empty());
    std::vector<std::int64_t> out(kRows);
    EXPECT_EQ(*decode_int_rows(t, t.columns[0], 0, out, {}), null_rows.size());
}

// The block-wise pass counts every null of a column over all its blocks (nulls in the first
// block only, in every block, in none) and decodes each column as it does alone. The table is
// large enough to be split into row ranges over several threads, with a short last range.
TEST(TableColumns, BlockwisePassCountsNullsOverEveryBlock) {
    constexpr std::uint64_t kRows = 3 * 16 * 4096 + 100;
    const BinTableHdu t = make_table(
        {
            {"J", {{"TNULL", "-9"}}, [](auto r) { return be32(r == 3 ? -9 : i32(r)); }},
            {"E", {}, [](auto r) { return f32(static_cast<float>(r) * 0.5f); }},
            {"I", {{"TNULL", "7"}}, [](auto r) { return be16(r % 4096 == 10 ? 7 : 1); }},
            {"D", {{"TSCAL", "2"}}, [](auto r) { return f64(static_cast<double>(r)); }},
            {"K", {{"TNULL", "-9"}}, [](auto r) { return be64(i32(r)); }},
        },
        kRows);
    std::vector<std::vector<std::int64_t>> ints(3, std::vector<std::int64_t>(kRows));
    std::vector<std::vector<double>> floats(2, std::vector<double>(kRows));
    std::vector<ColumnTarget> targets = {
        {&t.columns[0], {}, ints[0], 99, {}}, {&t.columns[1], floats[0], {}, 99, {}},
        {&t.columns[2], {}, ints[1], 99, {}}, {&t.columns[3], floats[1], {}, 99, {}},
        {&t.columns[4], {}, ints[2], 99, {}},
    };
    ASSERT_TRUE(decode_columns_blockwise(t, targets).has_value());
    EXPECT_EQ(targets[0].n_nulls, 1u);
    EXPECT_EQ(targets[2].n_nulls, (kRows - 10 + 4095) / 4096);
    EXPECT_EQ(targets[4].n_nulls, 0u);
    for (std::size_t k = 0; k < targets.size(); ++k) {
        const DecodedColumn alone = *decode_bin_column(t, *targets[k].column);
        if (targets[k].floats.empty()) {
            EXPECT_EQ(std::get<IntValues>(alone).values, ints[k / 2]) << k;
        } else {
            EXPECT_EQ(std::get<Float64Values>(alone).values, floats[k / 2]) << k;
        }
    }
}

// Only columns whose values are their stored integers read into int64 buffers, alone or in
// the block-wise pass: a scaled integer column would otherwise give its stored values.
TEST(TableColumns, ScaledIntegersDoNotReadIntoInt64) {
    const BinTableHdu t = make_table(
        {
            {"J", {{"TSCAL", "2"}}, [](auto r) { return be32(i32(r)); }},
            {"I", {{"TZERO", "1.5"}}, [](auto r) { return be16(static_cast<std::int16_t>(r)); }},
            {"K", {{"TSCAL", "2"}, {"TZERO", "1"}}, [](auto r) { return be64(i64(r)); }},
            {"B", {{"TSCAL", "0.5"}}, [](auto r) { return Bytes{static_cast<std::uint8_t>(r)}; }},
            {"D", {}, [](auto r) { return f64(static_cast<double>(r)); }},
            {"J", {{"TNULL", "-9"}}, [](auto r) { return be32(i32(r)); }},
        },
        5);
    std::vector<std::int64_t> ints(5);
    std::vector<std::uint8_t> nulls(5);
    for (std::size_t k = 0; k < 5; ++k) {
        const std::string ctx = "col " + std::to_string(k + 1);
        const std::string want = "BINTABLE col " + std::to_string(k + 1) +
                                 ": column reads into float64 elements, not int64";
        expect_error(decode_int_rows(t, t.columns[k], 0, ints, {}), Error::Kind::Data, "", want,
                     ctx);
        expect_error(decode_int_rows(t, t.columns[k], 1, std::span(ints).first(3),
                                     std::span(nulls).first(3)),
                     Error::Kind::Data, "", want, ctx);
        ColumnTarget target{&t.columns[k], {}, ints, 0, {}};
        expect_error(decode_columns_blockwise(t, std::span(&target, 1)), Error::Kind::Data, "",
                     want, ctx);
    }
    // A column of stored integers still reads, through both paths.
    EXPECT_EQ(*decode_int_rows(t, t.columns[5], 0, ints, nulls), 0u);
    EXPECT_EQ(ints, (std::vector<std::int64_t>{0, 1, 2, 3, 4}));
    std::vector<std::int64_t> pass(5);
    ColumnTarget target{&t.columns[5], {}, pass, 0, {}};
    ASSERT_TRUE(decode_columns_blockwise(t, std::span(&target, 1)).has_value());
    EXPECT_EQ(pass, ints);
}

// The bits of a decoded double, so that -0.0, NaN payloads and infinities are told apart.
std::uint64_t bits_of(double v) {
    return std::bit_cast<std::uint64_t>(v);
}

// The one element of a single-element cell as a double exactly as the cell decoder widens it
// (E as its float), and whether it is null.
std::pair<double, bool> exact_value(const BinValue& v) {
    if (const auto* f = std::get_if<BinValue::F32>(&v.value)) {
        return {static_cast<double>(f->values.at(0)), false};
    }
    return single_value(v);
}

// Scalar numeric columns decoded whole, by rows, from row bytes alone and in the block-wise
// pass give the cell decoder's values bit for bit: signed zeros, NaN payloads (quiet and
// signalling), infinities, scales that overflow single precision, offsets of bytes, 64-bit
// integers under an exact offset, and nulls of every integer type, plain and scaled.
TEST(TableColumns, ScalarColumnsDecodeAsCellsBitForBit) {
    const std::vector<double> doubles = {0.0,
                                         -0.0,
                                         1.5,
                                         -3.25,
                                         1e308,
                                         -1e-310,
                                         HUGE_VAL,
                                         -HUGE_VAL,
                                         std::bit_cast<double>(0x7ff8000000001234ULL),
                                         std::bit_cast<double>(0x7ff0000000000001ULL),
                                         5e-324};
    const std::vector<float> floats = {0.0f,
                                       -0.0f,
                                       1.5f,
                                       -3.25f,
                                       3e38f,
                                       -1e-40f,
                                       HUGE_VALF,
                                       std::bit_cast<float>(0x7fc01234U),
                                       std::bit_cast<float>(0x7f800001U),
                                       1e-45f,
                                       7.0f};
    constexpr std::uint64_t kRows = 11;
    const auto pick_d = [&](auto r) { return f64(doubles[r % doubles.size()]); };
    const auto pick_f = [&](auto r) { return f32(floats[r % floats.size()]); };
    const std::vector<std::int64_t> longs = {
        0,  -1,  1, INT64_MAX, INT64_MIN, INT64_MAX - 5, -(1LL << 53) - 1, (1LL << 53) + 1,
        77, -77, 12};
    const BinTableHdu t = make_table(
        {
            {"D", {}, pick_d},
            {"D", {{"TSCAL", "1.0"}, {"TZERO", "0.0"}}, pick_d},
            {"D", {{"TSCAL", "0.1"}, {"TZERO", "-7.5"}}, pick_d},
            {"D", {{"TZERO", "10"}}, pick_d},
            {"D", {{"TSCAL", "-2.5"}}, pick_d},
            {"E", {}, pick_f},
            {"E", {{"TSCAL", "1e39"}}, pick_f},
            {"E", {{"TSCAL", "0.1"}, {"TZERO", "3.3"}}, pick_f},
            {"E", {{"TZERO", "10"}}, pick_f},
            {"E", {{"TSCAL", "-2.5"}}, pick_f},
            {"B", {}, [](auto r) { return Bytes{static_cast<std::uint8_t>(r * 29)}; }},
            {"B",
             {{"TZERO", "-128"}, {"TNULL", "0"}},
             [](auto r) { return Bytes{static_cast<std::uint8_t>(r % 3 == 0 ? 0 : r * 23)}; }},
            {"B",
             {{"TSCAL", "0.5"}, {"TNULL", "255"}},
             [](auto r) { return Bytes{static_cast<std::uint8_t>(r % 4 == 1 ? 255 : r)}; }},
            {"I",
             {{"TNULL", "-32768"}},
             [](auto r) { return be16(static_cast<std::int16_t>(r == 5 ? -32768 : -r * 999)); }},
            {"I",
             {{"TSCAL", "3"}, {"TZERO", "0.25"}},
             [](auto r) { return be16(static_cast<std::int16_t>(r * 3001)); }},
            {"J",
             {{"TNULL", "2147483647"}},
             [](auto r) { return be32(r == 2 ? 2147483647 : i32(r) * -123456); }},
            {"J",
             {{"TZERO", "1.5"}, {"TNULL", "-1"}},
             [](auto r) { return be32(r % 2 ? -1 : i32(r) * 100000); }},
            {"K", {}, [&](auto r) { return be64(longs[r]); }},
            {"K", {{"TNULL", "-1"}}, [&](auto r) { return be64(longs[r]); }},
            {"K", {{"TZERO", "1000"}}, [&](auto r) { return be64(longs[r]); }},
            {"K", {{"TZERO", "-4611686018427387904"}}, [&](auto r) { return be64(longs[r]); }},
            {"K",
             {{"TSCAL", "2"}, {"TZERO", "1"}, {"TNULL", "77"}},
             [&](auto r) { return be64(longs[r]); }},
        },
        kRows);
    Bytes all(t.data.data(), t.data.data() + t.n_rows * t.row_size);
    for (const BinColumn& c : t.columns) {
        const std::string ctx = "col " + std::to_string(c.index);
        const DecodedColumn whole = *decode_bin_column(t, c);
        const DecodedColumn from_bytes = *decode_bin_rows_from(t, c, all, t.n_rows);
        std::vector<double> wide(kRows);
        std::vector<std::int64_t> ints(kRows);
        ColumnTarget target{&c, {}, {}, 0, {}};
        if (std::holds_alternative<Float64Values>(whole)) {
            target.floats = wide;
        } else {
            target.ints = ints;
        }
        ASSERT_TRUE(decode_columns_blockwise(t, std::span(&target, 1)).has_value()) << ctx;
        std::uint64_t nulls = 0;
        for (std::uint64_t r = 0; r < kRows; ++r) {
            const auto [want, null] = exact_value(*t.read_cell(r, c));
            nulls += null;
            const DecodedColumn one = *decode_bin_rows(t, c, r, 1);
            if (const auto* f = std::get_if<Float64Values>(&whole)) {
                EXPECT_EQ(bits_of(f->values.at(r)), bits_of(want)) << ctx << " row " << r;
                EXPECT_EQ(bits_of(wide[r]), bits_of(want)) << ctx << " row " << r;
                EXPECT_EQ(bits_of(std::get<Float64Values>(from_bytes).values.at(r)), bits_of(want))
                    << ctx << " row " << r;
                EXPECT_EQ(bits_of(std::get<Float64Values>(one).values.at(0)), bits_of(want))
                    << ctx << " row " << r;
            } else {
                for (const DecodedColumn* d : {&whole, &from_bytes}) {
                    const IntValues& v = std::get<IntValues>(*d);
                    EXPECT_EQ(static_cast<double>(v.values.at(r)), want) << ctx << " row " << r;
                    EXPECT_EQ(!v.nulls.empty() && v.nulls.at(r) != 0, null) << ctx << " row " << r;
                }
                EXPECT_EQ(static_cast<double>(ints[r]), want) << ctx << " row " << r;
            }
        }
        EXPECT_EQ(target.n_nulls, std::holds_alternative<IntValues>(whole) ? nulls : 0) << ctx;
        // Streaming stores, which large passes use, give the same bits, nulls and counts.
        const std::uint8_t* fields = t.data.data() + c.offset;
        std::vector<std::uint8_t> flags(kRows), streamed_flags(kRows);
        if (target.floats.empty()) {
            std::vector<std::int64_t> cached(kRows), streamed(kRows);
            EXPECT_EQ(*decode_scalar_rows(c, fields, t.row_size, std::span(cached), flags),
                      *decode_scalar_rows(c, fields, t.row_size, std::span(streamed),
                                          streamed_flags, OutputStores::Streaming))
                << ctx;
            EXPECT_EQ(streamed, cached) << ctx;
        } else {
            std::vector<double> cached(kRows), streamed(kRows);
            ASSERT_TRUE(decode_scalar_rows(c, fields, t.row_size, std::span(cached), flags));
            ASSERT_TRUE(decode_scalar_rows(c, fields, t.row_size, std::span(streamed),
                                           streamed_flags, OutputStores::Streaming));
            for (std::uint64_t r = 0; r < kRows; ++r)
                EXPECT_EQ(bits_of(streamed[r]), bits_of(cached[r])) << ctx << " row " << r;
        }
        EXPECT_EQ(streamed_flags, flags) << ctx;
    }
}

// E and D columns under TZERO alone, TSCAL alone and both read stored * TSCAL + TZERO, through
// the whole-column kernels as through the cell decoder: an offset is applied under a scale of
// 1 and a scale under an offset of 0.
TEST(TableColumns, ScaledFloatColumnsReadTheirPhysicalValues) {
    struct Case {
        std::vector<std::pair<std::string, std::string>> keywords;
        std::vector<double> want;  // of stored 1, 2, 3
    };
    const Case cases[] = {
        {{{"TZERO", "10"}}, {11, 12, 13}},
        {{{"TSCAL", "2.5"}}, {2.5, 5, 7.5}},
        {{{"TSCAL", "0.5"}, {"TZERO", "-10"}}, {-9.5, -9, -8.5}},
        {{{"TSCAL", "1"}, {"TZERO", "0.25"}}, {1.25, 2.25, 3.25}},
    };
    for (const Case& c : cases) {
        const BinTableHdu t = make_table(
            {
                {"D", c.keywords, [](auto r) { return f64(static_cast<double>(r + 1)); }},
                {"E", c.keywords, [](auto r) { return f32(static_cast<float>(r + 1)); }},
            },
            3);
        for (const BinColumn& col : t.columns) {
            std::string what(1, bin_kind_letter(col.format.kind));
            for (const auto& [key, value] : c.keywords)
                what += " " + key + "=" + value;
            ASSERT_TRUE(has_scalar_kernel(col)) << what;
            EXPECT_EQ(std::get<Float64Values>(*decode_bin_column(t, col)).values, c.want) << what;
            std::vector<double> kernel(3);
            std::vector<std::uint8_t> nulls(3);
            ASSERT_TRUE(decode_scalar_rows(col, t.data.data() + col.offset, t.row_size,
                                           std::span(kernel), nulls));
            EXPECT_EQ(kernel, c.want) << what;
            for (std::uint64_t r = 0; r < 3; ++r) {
                EXPECT_EQ(exact_value(*t.read_cell(r, col)).first, c.want[r])
                    << what << " row " << r;
            }
        }
    }
}

TEST(TableColumns, CheckFindsTheFirstFailingColumnAndRow) {
    struct Case {
        std::vector<Spec> specs;
        Bytes heap;
        std::string message;
    };
    const Spec good{"J", {}, [](auto r) { return be32(static_cast<std::int32_t>(r)); }};
    const std::vector<Case> cases = {
        {{good, {"L", {}, [](auto r) { return text(r == 2   ? "x"
                                                   : r == 3 ? "y"
                                                            : "T"); }}},
         {},
         "BINTABLE col 2: invalid L byte 0x78"},
        {{{"2L", {}, [](auto r) { return text(r == 3 ? "T?" : "TF"); }},
          {"L", {}, [](auto) { return text("!"); }}},
         {},
         "BINTABLE col 1: invalid L byte 0x3f"},
        {{good,
          {"3A",
           {},
           [](auto r) {
               return r == 1 ? Bytes{'a', 0xC3, 0x28} : text("abc");
           }}},
         {},
         "BINTABLE col 2: A field is not valid UTF-8"},
        {{{"1PJ",
           {},
           [](auto r) {
               return join({be32(2), be32(r == 3 ? 8 : 0)});
           }},
          good},
         join({be32(1), be32(2), be32(3)}),
         "BINTABLE col 1: P/Q descriptor (n=2, off=8) escapes heap (len=12)"},
        {{good,
          {"1PL",
           {},
           [](auto r) {
               return join({be32(1), be32(i32(r % 3))});
           }}},
         text("TF?"),
         "BINTABLE col 2: invalid L byte 0x3f"},
        {{good,
          {"1QA",
           {},
           [](auto) {
               return join({be64(2), be64(1)});
           }}},
         Bytes{'a', 0xFF, 'b'},
         "BINTABLE col 2: A field is not valid UTF-8"},
        {{{"1PJ",
           {},
           [](auto r) {
               return join({be32(r == 1 ? -1 : 0), be32(0)});
           }}},
         {},
         "VLA descriptor has negative field (n=-1, off=0)"},
        {{{"1QJ",
           {},
           [](auto r) {
               return join({be64(r == 4 ? i64(1) << 62 : 1), be64(0)});
           }}},
         be32(5),
         "BINTABLE col 1: VLA byte length overflows usize (n=4611686018427387904)"},
        {{{"1QJ",
           {},
           [](auto r) {
               return join({be64(1), be64(r == 2 ? i64(1) << 62 : 0)});
           }}},
         be32(5),
         "BINTABLE col 1: P/Q descriptor (n=1, off=4611686018427387904) escapes heap (len=4)"},
        {{{"1PE",
           {},
           [](auto r) {
               return join({be32(r == 3 ? 2 : 1), be32(4)});
           }}},
         join({be32(1), be32(2)}),
         "BINTABLE col 1: P/Q descriptor (n=2, off=4) escapes heap (len=8)"},
    };
    for (const Case& c : cases) {
        const BinTableHdu t = make_table(c.specs, 5, c.heap);
        const Result<void> checked = check_bin_columns(t);
        ASSERT_FALSE(checked.has_value()) << c.message;
        EXPECT_EQ(checked.error().msg, c.message);
        // The error is the one decoding the failing column gives.
        for (const BinColumn& col : t.columns) {
            const Result<DecodedColumn> decoded = decode_bin_column(t, col);
            if (!decoded) {
                EXPECT_EQ(decoded.error().msg, c.message);
                break;
            }
        }
    }
}

// A large table is checked in row ranges on several threads; the error is still the first
// failing column's, at its first failing row, whichever range finishes first.
TEST(TableColumns, CheckOfALargeTableReportsAsOnePassInOrder) {
    constexpr std::uint64_t kRows = 4 * 16 * 4096 + 3;
    struct Case {
        std::vector<Spec> specs;
        std::string message;
    };
    const std::vector<Case> cases = {
        // Two bad bytes in different ranges of one column: the earlier row's.
        {{{"J", {}, [](auto r) { return be32(i32(r)); }},
          {"L", {}, [](auto r) { return text(r == 200000   ? "x"
                                             : r == 150000 ? "y"
                                                           : "T"); }}},
         "BINTABLE col 2: invalid L byte 0x79"},
        // A late bad row of the first column beats an early one of the second.
        {{{"2A",
           {},
           [](auto r) {
               return r == kRows - 1 ? Bytes{'a', 0xC3} : text("ab");
           }},
          {"L", {}, [](auto r) { return text(r == 1 ? "?" : "F"); }}},
         "BINTABLE col 1: A field is not valid UTF-8"},
        // Nothing bad: the table passes.
        {{{"L", {}, [](auto r) { return text(r % 2 == 0 ? "T" : "f"); }}}, ""},
    };
    for (const Case& c : cases) {
        const BinTableHdu t = make_table(c.specs, kRows);
        const Result<void> checked = check_bin_columns(t);
        if (c.message.empty()) {
            EXPECT_TRUE(checked.has_value()) << checked.error().msg;
            continue;
        }
        ASSERT_FALSE(checked.has_value()) << c.message;
        EXPECT_EQ(checked.error().msg, c.message);
    }
}

TEST(TableColumns, AliasingDescriptorsAreCheckedWithoutBuildingArrays) {
    // Every row points at the one 4-element array; the check reads only the descriptors.
    const BinTableHdu t = make_table({{"1PB",
                                       {},
                                       [](auto) {
                                           return join({be32(4), be32(0)});
                                       }}},
                                     1000, text("abcd"));
    EXPECT_TRUE(check_bin_columns(t).has_value());
    const PerRow rows = std::get<PerRow>(*decode_bin_rows(t, t.columns[0], 998, 2));
    ASSERT_EQ(rows.cells.size(), 2u);
    EXPECT_EQ(rows.cells[1].debug(), "Vla(Int([Some(97), Some(98), Some(99), Some(100)]))");
}

TEST(TableColumns, CellTextIsAViewTrimmedOfNulsAndSpaces) {
    const BinTableHdu t = make_table({{"8A",
                                       {},
                                       [](auto r) {
                                           using namespace std::string_view_literals;
                                           return text(r ? "ab c \0\0 "sv : "x \0\0\0\0\0\0"sv);
                                       }}},
                                     2);
    EXPECT_EQ(*bin_cell_text(t, t.columns[0], 0), "x");
    // NULs go first, then spaces: NULs before a final space stay.
    EXPECT_EQ(*bin_cell_text(t, t.columns[0], 1), std::string_view("ab c \0\0", 7));
}

TEST(TableColumns, AsciiColumnsReadAsNumbersOrText) {
    Cards cards = {{"XTENSION", "'TABLE   '"},
                   {"BITPIX", "8"},
                   {"NAXIS", "2"},
                   {"NAXIS1", "8"},
                   {"NAXIS2", "3"},
                   {"PCOUNT", "0"},
                   {"GCOUNT", "1"},
                   {"TFIELDS", "2"},
                   {"TBCOL1", "1"},
                   {"TFORM1", "'I4'"},
                   {"TNULL1", "'  --'"},
                   {"TBCOL2", "5"},
                   {"TFORM2", "'A4'"}};
    const Result<AsciiTableHdu> t =
        AsciiTableHdu::create(make_header(cards), text("  12ab    --cd    -3  ef"));
    ASSERT_TRUE(t.has_value()) << t.error().message();
    const Float64Values numbers = std::get<Float64Values>(*decode_ascii_column(*t, t->columns[0]));
    ASSERT_EQ(numbers.values.size(), 3u);
    EXPECT_EQ(numbers.values[0], 12.0);
    EXPECT_TRUE(std::isnan(numbers.values[1]));
    EXPECT_EQ(numbers.values[2], -3.0);
    const Strings texts = std::get<Strings>(*decode_ascii_column(*t, t->columns[1]));
    // ASCII text fields keep their spaces.
    EXPECT_EQ(texts.values, (std::vector<std::string>{"ab  ", "cd  ", "  ef"}));
}

}  // namespace
}  // namespace vexlo

namespace vexlo {
namespace {

// Reals of every length parse alike, whether their digits fit the parser's stack buffer or
// not: leading zeros, an implied decimal point and exponents of either sign.
// Reals read to the correctly rounded double of their decimal value, to the last bit, whether
// they take the short path (few digits, small exponent) or the full conversion: every form of
// field (sign, point or implied decimals, exponent) against std::from_chars of the same value.
TEST(TableColumns, AsciiRealsAreCorrectlyRounded) {
    constexpr std::size_t kWidth = 26;
    constexpr int kDecimals = 3;
    std::uint64_t x = 0x9E3779B97F4A7C15ULL;
    const auto next = [&x](std::uint64_t n) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        return x % n;
    };
    std::vector<std::string> fields;
    std::vector<double> want;
    for (int row = 0; row < 20000; ++row) {
        std::string digits;
        const std::uint64_t n_digits = 1 + next(18);
        for (std::uint64_t d = 0; d < n_digits; ++d)
            digits += static_cast<char>('0' + next(10));
        const bool negative = next(2) == 0;
        const bool point = next(3) != 0;
        const std::uint64_t at = point ? next(n_digits + 1) : 0;
        const bool has_exponent = next(2) == 0;
        const auto exponent = static_cast<std::int64_t>(next(61)) - 30;
        std::string field = negative ? "-" : "";
        field += point ? digits.substr(0, at) + "." + digits.substr(at) : digits;
        if (has_exponent) field += "E" + std::to_string(exponent);
        field.insert(0, kWidth - field.size(), ' ');
        fields.push_back(field);
        const std::int64_t scale = point ? static_cast<std::int64_t>(n_digits - at) : kDecimals;
        const std::string reference = (negative ? "-" : "") + digits + "e" +
                                      std::to_string((has_exponent ? exponent : 0) - scale);
        double v = 0.0;
        std::from_chars(reference.data(), reference.data() + reference.size(), v);
        want.push_back(v * 1.0 + 0.0);  // TSCAL 1 and TZERO 0 applied as the column applies them
    }
    const Cards cards = {{"XTENSION", "'TABLE   '"},
                         {"BITPIX", "8"},
                         {"NAXIS", "2"},
                         {"NAXIS1", std::to_string(kWidth)},
                         {"NAXIS2", std::to_string(fields.size())},
                         {"PCOUNT", "0"},
                         {"GCOUNT", "1"},
                         {"TFIELDS", "1"},
                         {"TBCOL1", "1"},
                         {"TFORM1", "'F26.3'"}};
    Bytes data;
    for (const std::string& f : fields)
        data.insert(data.end(), f.begin(), f.end());
    const Result<AsciiTableHdu> t = AsciiTableHdu::create(make_header(cards), data);
    ASSERT_TRUE(t.has_value()) << t.error().message();
    const Result<DecodedColumn> column = decode_ascii_column(*t, t->columns[0]);
    ASSERT_TRUE(column.has_value());
    const std::vector<double>& got = std::get<Float64Values>(*column).values;
    for (std::size_t r = 0; r < fields.size(); ++r) {
        ASSERT_EQ(std::bit_cast<std::uint64_t>(got[r]), std::bit_cast<std::uint64_t>(want[r]))
            << fields[r] << " read " << got[r] << ", want " << want[r];
    }
}

TEST(TableColumns, AsciiRealsOfAnyLength) {
    const std::vector<std::pair<std::string, double>> cases = {
        {"12345", 123.45},  // implied point: the last two digits are the fraction
        {"-1.5E+03", -1500.0},
        {"2.5D-2", 0.025},
        {std::string(60, '0') + "1234.5", 1234.5},           // more digits than the stack buffer
        {"-" + std::string(80, '0') + "7" + "E-1", -0.007},  // implied point, then exponent
        {"1" + std::string(70, '0') + ".E-70", 1.0},
    };
    for (const auto& [field, want] : cases) {
        const std::string width = std::to_string(field.size());
        const Cards cards = {{"XTENSION", "'TABLE   '"},
                             {"BITPIX", "8"},
                             {"NAXIS", "2"},
                             {"NAXIS1", width},
                             {"NAXIS2", "1"},
                             {"PCOUNT", "0"},
                             {"GCOUNT", "1"},
                             {"TFIELDS", "1"},
                             {"TBCOL1", "1"},
                             {"TFORM1", "'F" + width + ".2'"}};
        const Result<AsciiTableHdu> t =
            AsciiTableHdu::create(make_header(cards), Bytes(field.begin(), field.end()));
        ASSERT_TRUE(t.has_value()) << t.error().message();
        const Result<DecodedColumn> column = decode_ascii_column(*t, t->columns[0]);
        ASSERT_TRUE(column.has_value()) << field;
        EXPECT_DOUBLE_EQ(std::get<Float64Values>(*column).values.at(0), want) << field;
    }
}

}  // namespace
}  // namespace vexlo

namespace vexlo {
namespace {

// A row's heap array read straight into a buffer holds what its decoded cell holds; a buffer
// of another size or element type is refused.
TEST(TableColumns, VlaRowsReadStraightIntoBuffers) {
    const Bytes heap = join({be32(4), be32(-1), be32(6), be32(7)});
    const BinTableHdu t = make_table(
        {
            {"1PJ",
             {{"TNULL", "-1"}},
             [](auto r) {
                 return join({be32(i32(r % 3)), be32(4)});
             }},
            // Past the TNULL -1, whose bits as a float are a NaN, which never compares equal.
            {"1PE",
             {},
             [](auto r) {
                 return join({be32(i32(r % 3)), be32(8)});
             }},
            {"1PI",
             {{"TSCAL", "2"}},
             [](auto r) {
                 return join({be32(i32(r % 2) * 3), be32(2)});
             }},
        },
        6, heap);
    for (std::uint64_t r = 0; r < t.n_rows; ++r) {
        for (const BinColumn& c : t.columns) {
            const VlaExtent extent = *t.vla_extent(r, c);
            const BinValue cell = *t.read_cell(r, c);
            const BinValue& inner = *std::get<BinValue::Vla>(cell.value).inner;
            // Empty rows too: an empty array has the column's element type.
            const auto n = static_cast<std::size_t>(extent.count);
            if (extent.element == ColumnElement::I64) {
                std::vector<std::int64_t> out(n);
                std::vector<std::uint8_t> nulls(n);
                const std::uint64_t n_nulls = *t.read_vla(r, c, out, nulls);
                BinValue::Int want;
                for (std::size_t i = 0; i < n; ++i) {
                    want.values.push_back(nulls[i] ? std::nullopt : std::optional(out[i]));
                }
                EXPECT_EQ(BinValue{want}, inner) << r;
                EXPECT_EQ(n_nulls, std::uint64_t(std::count(nulls.begin(), nulls.end(), 1)));
            } else if (extent.element == ColumnElement::F32) {
                std::vector<float> out(n);
                ASSERT_TRUE(t.read_vla(r, c, out, {}).has_value());
                EXPECT_EQ(BinValue{BinValue::F32{out}}, inner) << r;
            } else {
                ASSERT_EQ(extent.element, ColumnElement::F64);
                std::vector<double> out(n);
                ASSERT_TRUE(t.read_vla(r, c, out, {}).has_value());
                EXPECT_EQ(BinValue{BinValue::Float{out}}, inner) << r;
            }
        }
    }
    std::vector<double> wrong_type(2);
    EXPECT_FALSE(t.read_vla(2, t.columns[0], std::span<double>(wrong_type), {}));
    std::vector<std::int64_t> wrong_size(1);
    EXPECT_FALSE(t.read_vla(2, t.columns[0], std::span<std::int64_t>(wrong_size), {}));
}

}  // namespace
}  // namespace vexlo

namespace vexlo {
namespace {

// Text is checked without building strings, and fails as reading its first bad field does.
TEST(TableColumns, AsciiTextIsCheckedWithoutReading) {
    const Cards cards = {{"XTENSION", "'TABLE   '"},
                         {"BITPIX", "8"},
                         {"NAXIS", "2"},
                         {"NAXIS1", "3"},
                         {"NAXIS2", "4"},
                         {"PCOUNT", "0"},
                         {"GCOUNT", "1"},
                         {"TFIELDS", "1"},
                         {"TBCOL1", "1"},
                         {"TFORM1", "'A3'"}};
    const Bytes good = join({text("ab "), text("\xc3\xa9 "), text("   "), text("xyz")});
    const Result<AsciiTableHdu> t = AsciiTableHdu::create(make_header(cards), good);
    ASSERT_TRUE(t.has_value());
    EXPECT_TRUE(is_ascii_text_column(*t, t->columns[0]));
    EXPECT_TRUE(check_ascii_text_column(*t, t->columns[0]).has_value());
    EXPECT_EQ(*t->field_text(1, t->columns[0]), "\xc3\xa9 ");

    Bytes bad = good;
    bad[7] = 0xC3;  // row 2: a lead byte with no continuation
    const Result<AsciiTableHdu> u = AsciiTableHdu::create(make_header(cards), bad);
    ASSERT_TRUE(u.has_value());
    const Result<void> checked = check_ascii_text_column(*u, u->columns[0]);
    ASSERT_FALSE(checked.has_value());
    EXPECT_EQ(checked.error().msg, "ASCII table row 2 col 1 contains non-UTF8 bytes");
    EXPECT_EQ(checked.error().msg, u->read_cell(2, u->columns[0]).error().msg);
}

// A lookup's decoding of a large ASCII table runs in row ranges on several threads; the error
// is still the first failing column's, in column order, whichever range finishes first.
TEST(TableColumns, AsciiLookupReportsTheFirstFailingColumn) {
    constexpr std::uint64_t kRows = 3 * 16 * 4096 + 100;
    const Cards cards = {{"XTENSION", "'TABLE   '"},
                         {"BITPIX", "8"},
                         {"NAXIS", "2"},
                         {"NAXIS1", "12"},
                         {"NAXIS2", "196708"},
                         {"PCOUNT", "0"},
                         {"GCOUNT", "1"},
                         {"TFIELDS", "3"},
                         {"TBCOL1", "1"},
                         {"TFORM1", "'I4'"},
                         {"TBCOL2", "5"},
                         {"TFORM2", "'F4.1'"},
                         {"TBCOL3", "9"},
                         {"TFORM3", "'A4'"}};
    Bytes rows;
    for (std::uint64_t r = 0; r < kRows; ++r)
        for (const std::uint8_t b : text("   7 2.5 abc"))
            rows.push_back(b);
    const auto build = [&](const Bytes& data) {
        Result<AsciiTableHdu> t = AsciiTableHdu::create(make_header(cards), data);
        EXPECT_TRUE(t.has_value());
        return std::move(*t);
    };
    const Result<std::vector<DecodedColumn>> good = decode_ascii_columns(build(rows));
    ASSERT_TRUE(good.has_value()) << good.error().message();
    ASSERT_EQ(good->size(), 3u);
    const Float64Values& reals = std::get<Float64Values>((*good)[1]);
    EXPECT_EQ(reals.values.size(), kRows);
    EXPECT_EQ(reals.values[kRows - 1], 2.5);
    EXPECT_TRUE(std::get<Strings>((*good)[2]).values.empty());

    Bytes bad = rows;
    bad[5 * 12 + 6] = 'x';       // column 2, row 5: quick to reach
    bad[196700 * 12 + 3] = 'y';  // column 1, row 196700: the one a pass in order meets first
    bad[3 * 12 + 9] = 0xFF;      // column 3, row 3: not UTF-8
    const Result<std::vector<DecodedColumn>> failed = decode_ascii_columns(build(bad));
    ASSERT_FALSE(failed.has_value());
    EXPECT_EQ(failed.error().msg, "ASCII table row 196700 col 1: not an integer: `   y`");
}

}  // namespace
}  // namespace vexlo
