// Binary tables built from column values in memory: every kind of cells against rows and heap
// written out by hand, the heap planned against the reach of P descriptors (with arrays that
// borrow one element many times, so nothing near the limit is allocated), and the refusal of
// cells that do not fit their column.
#include "hdu/bintable_builder.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace vexlo {
namespace {

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}
// The `size` low bytes of `bits`, most significant first.
Bytes be(std::uint64_t bits, int size) {
    Bytes out;
    for (int i = size - 1; i >= 0; --i)
        out.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
    return out;
}
Bytes be64(std::uint64_t bits) {
    return be(bits, 8);
}
// A P descriptor: element count, then heap offset.
Bytes desc(std::uint32_t count, std::uint32_t offset) {
    return cat({be(count, 4), be(offset, 4)});
}
Bytes text(std::string_view s) {
    return Bytes(s.begin(), s.end());
}
Bytes data_of(const BinTableHdu& t) {
    return Bytes(t.data.span().begin(), t.data.span().end());
}
// KEY=value for every value card, in order.
std::vector<std::string> cards(const Header& h) {
    std::vector<std::string> out;
    for (const CardEntry& e : h.entries())
        out.push_back(e.keyword + "=" + e.value.to_text());
    return out;
}

template <class T>
const std::uint8_t* bytes_of(const T* p) {
    return reinterpret_cast<const std::uint8_t*>(p);
}

// One column of `kind` and `repeat` (a 1PD column for P) holding `cells`.
Result<BinTableHdu> one_column(BinKind kind, std::uint64_t repeat, const BinColumnCells& cells) {
    BinTableBuilder b;
    const auto added =
        kind == BinKind::P
            ? b.add_vla_column("c", BinKind::P, BinKind::F64, std::nullopt, std::nullopt)
            : b.add_column("c", kind, repeat, std::nullopt, std::nullopt);
    if (!added) return std::unexpected(added.error());
    return build_bintable(std::move(b), std::span(&cells, 1));
}

TEST(BuildBintable, FixedWidthCellsByteForByte) {
    static const std::int16_t i16[] = {1, -2, 0x0102};
    static const std::int16_t i16_gaps[] = {1, 9, 2, 9, 3, 9};
    static const std::int32_t by_columns[] = {1, 2, 3, 4, 5, 6};  // three rows of two, stored
                                                                  // column after column
    static const std::int32_t i32[] = {1, 2, 3, 4};
    static const float f32[] = {1.0f, -2.0f, 0.5f};
    static const double f64[] = {1.5, -0.0};
    static const std::int64_t i64[] = {-1, 0x0102030405060708};
    static const std::uint8_t u8[] = {0, 255, 7, 128};
    static const std::uint8_t flags[] = {1, 0, 2};
    static const std::uint8_t flag_grid[] = {0, 1, 1, 0};
    static const std::vector<std::string> names = {"a", "bcd", ""};
    static const std::vector<std::string> tags = {"x", "yz", "", "q"};
    static const std::vector<double> parts = {1.0, -2.0, 0.0, 0.5};

    struct Case {
        const char* name;
        BinKind kind;
        std::uint64_t repeat;
        BinColumnCells cells;
        std::uint64_t rows;
        Bytes data;
    };
    const std::vector<Case> cases = {
        {"1I contiguous",
         BinKind::I16,
         1,
         BinNumericCells{bytes_of(i16), 2, 0, 3, 1, 2, false},
         3,
         {0x00, 0x01, 0xFF, 0xFE, 0x01, 0x02}},
        {"1I every other element",
         BinKind::I16,
         1,
         BinNumericCells{bytes_of(i16_gaps), 4, 0, 3, 1, 2, false},
         3,
         {0x00, 0x01, 0x00, 0x02, 0x00, 0x03}},
        {"2J stored column after column", BinKind::I32, 2,
         BinNumericCells{bytes_of(by_columns), 4, 12, 3, 2, 4, false}, 3,
         cat({be(1, 4), be(4, 4), be(2, 4), be(5, 4), be(3, 4), be(6, 4)})},
        {"2J rows in reverse", BinKind::I32, 2,
         BinNumericCells{bytes_of(i32 + 2), -8, 4, 2, 2, 4, false}, 2,
         cat({be(3, 4), be(4, 4), be(1, 4), be(2, 4)})},
        {"3E", BinKind::F32, 3, BinNumericCells{bytes_of(f32), 12, 4, 1, 3, 4, false}, 1,
         cat({be(0x3F800000, 4), be(0xC0000000, 4), be(0x3F000000, 4)})},
        {"1D", BinKind::F64, 1, BinNumericCells{bytes_of(f64), 8, 0, 2, 1, 8, false}, 2,
         cat({be64(0x3FF8000000000000), be64(0x8000000000000000)})},
        {"1K", BinKind::I64, 1, BinNumericCells{bytes_of(i64), 8, 0, 2, 1, 8, false}, 2,
         cat({be64(0xFFFFFFFFFFFFFFFF), be64(0x0102030405060708)})},
        {"2B",
         BinKind::Byte,
         2,
         BinNumericCells{u8, 2, 1, 2, 2, 1, false},
         2,
         {0x00, 0xFF, 0x07, 0x80}},
        {"1L", BinKind::Logical, 1, BinNumericCells{flags, 1, 0, 3, 1, 1, true}, 3, text("TFT")},
        {"2L across the grid", BinKind::Logical, 2, BinNumericCells{flag_grid, 1, 2, 2, 2, 1, true},
         2, text("FTTF")},
        {"3A blank-filled", BinKind::Char, 3, BinTextCells{names, 1, 3}, 3, text("a  bcd   ")},
        {"4A two strings a row", BinKind::Char, 4, BinTextCells{tags, 2, 2}, 2, text("x yz  q ")},
        {"1M", BinKind::C128, 1, BinComplexCells{parts}, 2,
         cat({be64(0x3FF0000000000000), be64(0xC000000000000000), be64(0),
              be64(0x3FE0000000000000)})},
    };
    for (const Case& c : cases) {
        const Result<BinTableHdu> t = one_column(c.kind, c.repeat, c.cells);
        ASSERT_TRUE(t.has_value()) << c.name << ": " << t.error().message();
        EXPECT_EQ(data_of(*t), c.data) << c.name;
        EXPECT_EQ(t->header.get_i64("NAXIS2"), static_cast<std::int64_t>(c.rows)) << c.name;
        EXPECT_EQ(t->header.get_i64("PCOUNT"), 0) << c.name;
    }
}

// Each element type of a row, read two elements apart so that the ones between must not
// appear, becomes big-endian doubles in the heap; an empty row points at the heap's end.
TEST(BuildBintable, VariableLengthRowsOfEveryElementType) {
    static const float f32[] = {0.5f, 99, -1.25f, 99};
    static const double f64[] = {1.5, 99, -2.0, 99};
    static const std::int8_t i8[] = {-128, 99, 5, 99};
    static const std::int16_t i16[] = {-32768, 99, 7, 99};
    static const std::int32_t i32[] = {-2147483647 - 1, 99, 1, 99};
    static const std::int64_t i64[] = {-(std::int64_t{1} << 62), 99, 3, 99};
    static const std::uint8_t u8[] = {255, 99, 1, 99};
    static const std::uint16_t u16[] = {65535, 99, 2, 99};
    static const std::uint32_t u32[] = {4294967295u, 99, 0, 99};
    static const std::uint64_t u64[] = {std::uint64_t{1} << 63, 99, 10, 99};

    struct Case {
        VlaElement element;
        const std::uint8_t* data;
        std::ptrdiff_t stride;
        std::uint64_t first, second;  // the doubles' bits
    };
    const std::vector<Case> cases = {
        {VlaElement::F32, bytes_of(f32), 8, 0x3FE0000000000000, 0xBFF4000000000000},
        {VlaElement::F64, bytes_of(f64), 16, 0x3FF8000000000000, 0xC000000000000000},
        {VlaElement::I8, bytes_of(i8), 2, 0xC060000000000000, 0x4014000000000000},
        {VlaElement::I16, bytes_of(i16), 4, 0xC0E0000000000000, 0x401C000000000000},
        {VlaElement::I32, bytes_of(i32), 8, 0xC1E0000000000000, 0x3FF0000000000000},
        {VlaElement::I64, bytes_of(i64), 16, 0xC3D0000000000000, 0x4008000000000000},
        {VlaElement::U8, u8, 2, 0x406FE00000000000, 0x3FF0000000000000},
        {VlaElement::U16, bytes_of(u16), 4, 0x40EFFFE000000000, 0x4000000000000000},
        {VlaElement::U32, bytes_of(u32), 8, 0x41EFFFFFFFE00000, 0},
        {VlaElement::U64, bytes_of(u64), 16, 0x43E0000000000000, 0x4024000000000000},
    };
    for (const Case& c : cases) {
        const std::vector<BinVlaRow> rows = {
            {c.data, c.stride, 2, c.element},
            {c.data, c.stride, 0, c.element},
        };
        const Result<BinTableHdu> t = one_column(BinKind::P, 1, BinVlaCells{rows});
        const int kind = static_cast<int>(c.element);
        ASSERT_TRUE(t.has_value()) << kind << ": " << t.error().message();
        EXPECT_EQ(data_of(*t), cat({desc(2, 0), desc(0, 16), be64(c.first), be64(c.second)}))
            << kind;
        EXPECT_EQ(t->header.get_i64("PCOUNT"), 16) << kind;
        EXPECT_EQ(t->header.get_i64("THEAP"), 16) << kind;
    }

    // Doubles converted one by one are a contiguous run; NaN payloads are kept bit for bit.
    const std::vector<double> first = {1.0, 2.0};
    const std::vector<double> third = {std::bit_cast<double>(std::uint64_t{0x7FF0000000000001})};
    const std::vector<BinVlaRow> rows = {BinVlaRow::of_doubles(first), BinVlaRow::of_doubles({}),
                                         BinVlaRow::of_doubles(third)};
    const Result<BinTableHdu> t = one_column(BinKind::P, 1, BinVlaCells{rows});
    ASSERT_TRUE(t.has_value()) << t.error().message();
    EXPECT_EQ(data_of(*t), cat({desc(2, 0), desc(0, 16), desc(1, 16), be64(0x3FF0000000000000),
                                be64(0x4000000000000000), be64(0x7FF0000000000001)}));
}

// Columns side by side in the row; the heap holds the first variable-length column's arrays,
// then the second's.
TEST(BuildBintable, MixedColumnsShareRowsAndHeap) {
    static const std::int16_t ids[] = {7, -1};
    static const std::vector<std::string> names = {"ab", "c"};
    static const std::vector<double> a0 = {1.0}, a1 = {2.0, 3.0}, b1 = {-2.0};
    static const std::vector<double> z = {0.5, 1.0, 0.0, -2.0};
    static const std::uint8_t ok[] = {1, 0};
    const std::vector<BinVlaRow> a = {BinVlaRow::of_doubles(a0), BinVlaRow::of_doubles(a1)};
    const std::vector<BinVlaRow> b = {BinVlaRow::of_doubles({}), BinVlaRow::of_doubles(b1)};

    BinTableBuilder builder;
    builder.extname = "MIX";
    ASSERT_TRUE(builder.add_column("id", BinKind::I16, 1, "s", std::nullopt).has_value());
    ASSERT_TRUE(builder.add_vla_column("a", BinKind::P, BinKind::F64, std::nullopt, std::nullopt)
                    .has_value());
    ASSERT_TRUE(
        builder.add_column("name", BinKind::Char, 2, std::nullopt, std::nullopt).has_value());
    ASSERT_TRUE(builder.add_vla_column("b", BinKind::P, BinKind::F64, std::nullopt, std::nullopt)
                    .has_value());
    ASSERT_TRUE(builder.add_column("z", BinKind::C128, 1, std::nullopt, std::nullopt).has_value());
    ASSERT_TRUE(
        builder.add_column("ok", BinKind::Logical, 1, std::nullopt, std::nullopt).has_value());
    const std::vector<BinColumnCells> cells = {
        BinNumericCells{bytes_of(ids), 2, 0, 2, 1, 2, false},
        BinVlaCells{a},
        BinTextCells{names, 1, 2},
        BinVlaCells{b},
        BinComplexCells{z},
        BinNumericCells{ok, 1, 0, 2, 1, 1, true},
    };
    const Result<BinTableHdu> t = build_bintable(std::move(builder), cells);
    ASSERT_TRUE(t.has_value()) << t.error().message();
    EXPECT_EQ(
        cards(t->header),
        (std::vector<std::string>{
            "XTENSION=BINTABLE", "BITPIX=8",    "NAXIS=2",   "NAXIS1=37", "NAXIS2=2",   "PCOUNT=32",
            "GCOUNT=1",          "TFIELDS=6",   "TTYPE1=id", "TFORM1=1I", "TUNIT1=s",   "TTYPE2=a",
            "TFORM2=1PD",        "TTYPE3=name", "TFORM3=2A", "TTYPE4=b",  "TFORM4=1PD", "TTYPE5=z",
            "TFORM5=1M",         "TTYPE6=ok",   "TFORM6=1L", "THEAP=74",  "EXTNAME=MIX"}));
    const Bytes row0 = cat({be(7, 2), desc(1, 0), text("ab"), desc(0, 24), be64(0x3FE0000000000000),
                            be64(0x3FF0000000000000), text("T")});
    const Bytes row1 = cat({be(0xFFFF, 2), desc(2, 8), text("c "), desc(1, 24), be64(0),
                            be64(0xC000000000000000), text("F")});
    const Bytes heap = cat({be64(0x3FF0000000000000), be64(0x4000000000000000),
                            be64(0x4008000000000000), be64(0xC000000000000000)});
    EXPECT_EQ(data_of(*t), cat({row0, row1, heap}));
}

// A row of `count` copies of one double: a stride of 0 reads the same element throughout, so
// arrays as long as the heap limit cost no memory.
BinVlaRow repeated(std::uint64_t count) {
    static const double one = 1.0;
    return {bytes_of(&one), 0, count, VlaElement::F64};
}

BinTableBuilder vla_table(std::initializer_list<const char*> names) {
    BinTableBuilder b;
    for (const char* name : names)
        EXPECT_TRUE(b.add_vla_column(name, BinKind::P, BinKind::F64, std::nullopt, std::nullopt)
                        .has_value());
    return b;
}

constexpr std::uint64_t kReach = 0x7FFFFFFF;  // the largest P descriptor field

TEST(BuildBintable, HeapPlanStopsAtTheReachOfPDescriptors) {
    struct Case {
        const char* name;
        std::uint64_t heap_end;
        std::vector<std::uint64_t> counts;
        std::uint64_t end;    // when accepted
        std::string message;  // empty: accepted
    };
    const std::vector<Case> cases = {
        {"nothing to place", 5, {}, 5, ""},
        {"rows one after another", 0, {3, 0, 2}, 40, ""},
        {"last element ends at the reach", kReach - 8, {1}, kReach, ""},
        {"empty array at the reach", kReach, {0}, kReach, ""},
        {"one byte past the reach",
         kReach - 7,
         {1},
         0,
         "data: variable-length arrays need a heap of 2147483648 bytes; 32-bit P descriptors "
         "reach at most 2147483647 bytes"},
        {"offset beyond the reach",
         kReach + 1,
         {0},
         0,
         "data: variable-length row 0 holds 0 elements at heap offset 2147483648, beyond the "
         "reach of 32-bit P descriptors (at most 2147483647)"},
        {"too many elements for a count",
         0,
         {1, kReach + 1},
         0,
         "data: variable-length row 1 holds 2147483648 elements at heap offset 8, beyond the "
         "reach of 32-bit P descriptors (at most 2147483647)"},
        {"second gigabyte crosses",
         0,
         {1u << 27, 1u << 27, 1},
         0,
         "data: variable-length arrays need a heap of 2147483648 bytes; 32-bit P descriptors "
         "reach at most 2147483647 bytes"},
    };
    const BinTableBuilder b = vla_table({"v"});
    for (const Case& c : cases) {
        std::vector<BinVlaRow> rows;
        for (const std::uint64_t n : c.counts)
            rows.push_back(repeated(n));
        const Result<std::uint64_t> r = plan_vla_heap(b, 0, rows, c.heap_end);
        if (c.message.empty()) {
            ASSERT_TRUE(r.has_value()) << c.name << ": " << r.error().message();
            EXPECT_EQ(*r, c.end) << c.name;
        } else {
            ASSERT_FALSE(r.has_value()) << c.name;
            EXPECT_EQ(r.error().message(), c.message) << c.name;
        }
    }

    BinTableBuilder fixed;
    ASSERT_TRUE(fixed.add_column("x", BinKind::F64, 1, std::nullopt, std::nullopt).has_value());
    ASSERT_TRUE(fixed.add_vla_column("e", BinKind::P, BinKind::F32, std::nullopt, std::nullopt)
                    .has_value());
    for (std::size_t column : {0, 1, 2}) {
        const Result<std::uint64_t> r = plan_vla_heap(fixed, column, {}, 0);
        ASSERT_FALSE(r.has_value());
        EXPECT_EQ(r.error().message(), "data: plan_vla_heap: column " + std::to_string(column + 1) +
                                           " is not a variable-length column of doubles");
    }
}

// The table refuses, naming the column that crosses the reach, before any buffer is made:
// a successful plan here would ask for two gigabytes.
TEST(BuildBintable, BuildRefusesTheColumnThatCrossesTheReach) {
    const std::vector<BinVlaRow> half = {repeated(1u << 27)};  // 2^30 heap bytes
    const std::vector<BinVlaRow> small = {repeated(1)};
    const std::vector<BinVlaRow> too_long = {repeated(kReach + 1)};
    struct Case {
        std::vector<BinColumnCells> cells;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{BinVlaCells{half}, BinVlaCells{half}, BinVlaCells{small}},
         "data: build_bintable: column `b` (col 2): variable-length arrays need a heap of "
         "2147483648 bytes; 32-bit P descriptors reach at most 2147483647 bytes"},
        {{BinVlaCells{small}, BinVlaCells{small}, BinVlaCells{too_long}},
         "data: build_bintable: column `c` (col 3): variable-length row 0 holds 2147483648 "
         "elements at heap offset 16, beyond the reach of 32-bit P descriptors (at most "
         "2147483647)"},
    };
    for (const Case& c : cases) {
        const Result<BinTableHdu> t = build_bintable(vla_table({"a", "b", "c"}), c.cells);
        ASSERT_FALSE(t.has_value()) << c.message;
        EXPECT_EQ(t.error().message(), c.message);
    }
}

TEST(BuildBintable, CellsThatDoNotFitTheirColumn) {
    static const std::uint8_t bytes[] = {0, 1, 2, 3};
    static const std::vector<std::string> strings = {"ab", "abc", "a"};
    static const std::vector<double> odd = {1.0, 2.0, 3.0};
    const std::vector<BinVlaRow> vla = {repeated(1), repeated(1), repeated(1)};
    struct Case {
        BinKind kind;
        std::uint64_t repeat;
        BinColumnCells cells;
        std::string message;
    };
    const std::string label = "data: build_bintable: column `c` (col 1): ";
    const std::vector<Case> cases = {
        {BinKind::I16, 1, BinNumericCells{bytes, 4, 0, 1, 1, 4, false},
         label + "4-byte numeric values for a 1I column"},
        {BinKind::Byte, 1, BinNumericCells{bytes, 1, 0, 4, 1, 1, true},
         label + "1-byte logical values for a 1B column"},
        {BinKind::Logical, 1, BinNumericCells{bytes, 1, 0, 4, 1, 1, false},
         label + "1-byte numeric values for a 1L column"},
        {BinKind::Byte, 2, BinNumericCells{bytes, 1, 0, 4, 1, 1, false},
         label + "1 values per row for a 2B column"},
        {BinKind::Bit, 8, BinNumericCells{bytes, 1, 0, 4, 1, 1, false},
         label + "numeric values for a 8X column"},
        {BinKind::C64, 1, BinNumericCells{bytes, 8, 0, 0, 1, 8, false},
         label + "numeric values for a 1C column"},
        {BinKind::F64, 1, BinTextCells{strings, 1, 3}, label + "strings for a 1D column"},
        {BinKind::Char, 3, BinTextCells{strings, 1, 2},
         label + "1 strings of 2 bytes per row for a 3A column"},
        {BinKind::Char, 4, BinTextCells{strings, 2, 2}, label + "3 strings do not fill rows of 2"},
        {BinKind::Char, 3, BinTextCells{strings, 0, 3},
         label + "0 strings of 3 bytes per row for a 3A column"},
        {BinKind::Char, 2, BinTextCells{strings, 1, 2},
         label + "string 1 is 3 bytes, longer than its 2-byte slot"},
        {BinKind::F64, 1, BinComplexCells{odd}, label + "complex values for a 1D column"},
        {BinKind::C128, 1, BinComplexCells{odd}, label + "an odd count of complex parts"},
        {BinKind::C128, 2, BinComplexCells{{}}, label + "complex values for a 2M column"},
        {BinKind::I32, 1, BinVlaCells{vla}, label + "variable-length rows for a 1J column"},
    };
    for (const Case& c : cases) {
        const Result<BinTableHdu> t = one_column(c.kind, c.repeat, c.cells);
        ASSERT_FALSE(t.has_value()) << c.message;
        EXPECT_EQ(t.error().message(), c.message);
    }

    // Variable-length rows need a P column of doubles.
    for (const auto& [descriptor, element] :
         {std::pair{BinKind::Q, BinKind::F64}, std::pair{BinKind::P, BinKind::F32}}) {
        BinTableBuilder b;
        ASSERT_TRUE(
            b.add_vla_column("c", descriptor, element, std::nullopt, std::nullopt).has_value());
        const BinColumnCells cells = BinVlaCells{vla};
        const Result<BinTableHdu> t = build_bintable(std::move(b), std::span(&cells, 1));
        ASSERT_FALSE(t.has_value());
        EXPECT_EQ(t.error().message(), label + "variable-length rows for a " +
                                           (descriptor == BinKind::Q ? "1QD" : "1PE") + " column");
    }
}

TEST(BuildBintable, ColumnsMustAgreeOnRowsAndCount) {
    static const std::uint8_t bytes[] = {0, 1, 2};
    BinTableBuilder b;
    ASSERT_TRUE(b.add_column("n", BinKind::Byte, 1, std::nullopt, std::nullopt).has_value());
    ASSERT_TRUE(b.add_column("s", BinKind::Char, 1, std::nullopt, std::nullopt).has_value());
    // A later column with fewer rows than the first, or with more.
    for (const std::vector<std::string>& strings :
         {std::vector<std::string>{"a", "b"}, std::vector<std::string>{"a", "b", "c", "d"}}) {
        const std::vector<BinColumnCells> cells = {BinNumericCells{bytes, 1, 0, 3, 1, 1, false},
                                                   BinTextCells{strings, 1, 1}};
        const Result<BinTableHdu> rows = build_bintable(b, cells);
        ASSERT_FALSE(rows.has_value());
        EXPECT_EQ(rows.error().message(), "data: build_bintable: column `s` (col 2): " +
                                              std::to_string(strings.size()) + " rows, expected 3");
    }
    static const std::vector<std::string> strings = {"a", "b", "c"};
    const std::vector<BinColumnCells> cells = {BinNumericCells{bytes, 1, 0, 3, 1, 1, false},
                                               BinTextCells{strings, 1, 1}};
    ASSERT_TRUE(build_bintable(b, cells).has_value());
    const Result<BinTableHdu> count = build_bintable(b, std::span(cells).first(1));
    ASSERT_FALSE(count.has_value());
    EXPECT_EQ(count.error().message(), "data: build_bintable: 1 column values for 2 columns");
}

// Rows no address space holds are refused as an allocation failure, before one is tried; a
// stride of 0 lets the cells claim them without memory behind them.
TEST(BuildBintable, RowsBeyondMemoryAreOutOfMemory) {
    static const std::uint8_t byte = 0;
    struct Case {
        std::uint64_t rows;
        std::uint64_t repeat;
    };
    for (const Case& c :
         {Case{1ull << 40, 1ull << 30}, Case{1ull << 33, 1ull << 30}, Case{2, (1ull << 63) - 1}}) {
        const Result<BinTableHdu> t = one_column(
            BinKind::Byte, c.repeat, BinNumericCells{&byte, 0, 0, c.rows, c.repeat, 1, false});
        ASSERT_FALSE(t.has_value()) << c.rows << " x " << c.repeat;
        EXPECT_EQ(t.error().message(), Error::out_of_memory().message());
    }
}

// The character-array dimensions: width first.
TEST(BuildBintable, CharArrayTdim) {
    EXPECT_EQ(char_array_tdim(3, 2), "(3,2)");
    EXPECT_EQ(char_array_tdim(12, 1), "(12,1)");
}

}  // namespace
}  // namespace vexlo
