#include "hdu/bintable.hpp"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "../be_bytes.hpp"
#include "data/pixel.hpp"
#include "hdu/table_columns.hpp"
#include "table_fixture.hpp"

namespace vexlo {

// Failure messages show cells in their debug form.
static void PrintTo(const BinValue& v, std::ostream* os) {
    *os << v.debug();
}

namespace {

// ---------------------------------------------------------------- helpers

using namespace table_testing;

// A BINTABLE header: structural keywords first, then `extra` (later duplicates of a keyword
// lose to the first, so overrides go through `replace`).
Cards table_cards(std::uint64_t naxis1, std::uint64_t naxis2, std::int64_t pcount,
                  const Cards& columns) {
    Cards c = {{"XTENSION", "'BINTABLE'"},
               {"BITPIX", "8"},
               {"NAXIS", "2"},
               {"NAXIS1", std::to_string(naxis1)},
               {"NAXIS2", std::to_string(naxis2)},
               {"PCOUNT", std::to_string(pcount)},
               {"GCOUNT", "1"}};
    c.insert(c.end(), columns.begin(), columns.end());
    return c;
}

Bytes be_i16(std::initializer_list<std::int16_t> vs) {
    Bytes b;
    for (auto v : vs)
        push_be_u16(static_cast<std::uint16_t>(v), b);
    return b;
}
Bytes be_i32(std::initializer_list<std::int32_t> vs) {
    Bytes b;
    for (auto v : vs)
        push_be_u32(static_cast<std::uint32_t>(v), b);
    return b;
}
Bytes be_i64(std::initializer_list<std::int64_t> vs) {
    Bytes b;
    for (auto v : vs)
        push_be_u64(static_cast<std::uint64_t>(v), b);
    return b;
}
Bytes text_bytes(std::string_view s) {
    return Bytes(s.begin(), s.end());
}

// A free-standing column as the table constructor would describe it.
BinColumn column(std::string_view tform, double tscal = 1.0, double tzero = 0.0,
                 std::optional<std::int64_t> tnull = std::nullopt) {
    BinColumn c;
    c.index = 1;
    c.format = *BinFormat::parse(tform);
    c.scaling.scale = tscal;
    c.scaling.zero = tzero;
    c.scaling.blank = tnull;
    const BinKind k = c.format.kind;
    if (k == BinKind::Byte || k == BinKind::I16 || k == BinKind::I32 || k == BinKind::I64) {
        c.int_storage = classify_int_storage(k, tscal, tzero);
    }
    return c;
}

BinValue ints(std::vector<std::optional<std::int64_t>> v) {
    return BinValue{BinValue::Int{v}};
}

// ---------------------------------------------------------------- TFORM

TEST(BinFormat, ParsesValidForms) {
    struct Case {
        std::string tform;
        std::uint64_t repeat;
        BinKind kind;
        std::optional<BinKind> vla_kind;
        std::optional<std::uint64_t> vla_max;
        std::uint64_t width;
    };
    const std::vector<Case> cases = {
        {"1PE(100)", 1, BinKind::P, BinKind::F32, 100, 8},
        {"PE", 1, BinKind::P, BinKind::F32, std::nullopt, 8},
        {"0PE", 0, BinKind::P, BinKind::F32, std::nullopt, 8},
        {"QD(5)", 1, BinKind::Q, BinKind::F64, 5, 16},
        {"0QB", 0, BinKind::Q, BinKind::Byte, std::nullopt, 16},
        {"pj( +6 )", 1, BinKind::P, BinKind::I32, 6, 8},
        {"PE(7)tail", 1, BinKind::P, BinKind::F32, 7, 8},
        {"PEx(7)", 1, BinKind::P, BinKind::F32, std::nullopt, 8},
        {"PP", 1, BinKind::P, BinKind::P, std::nullopt, 8},
        {"10a", 10, BinKind::Char, std::nullopt, std::nullopt, 10},
        {"10A5", 10, BinKind::Char, std::nullopt, std::nullopt, 10},
        {"  8A  ", 8, BinKind::Char, std::nullopt, std::nullopt, 8},
        {"J", 1, BinKind::I32, std::nullopt, std::nullopt, 4},
        {"0J", 0, BinKind::I32, std::nullopt, std::nullopt, 0},
        {"16X", 16, BinKind::Bit, std::nullopt, std::nullopt, 2},
        {"17X", 17, BinKind::Bit, std::nullopt, std::nullopt, 3},
        {"L", 1, BinKind::Logical, std::nullopt, std::nullopt, 1},
        {"3B", 3, BinKind::Byte, std::nullopt, std::nullopt, 3},
        {"3I", 3, BinKind::I16, std::nullopt, std::nullopt, 6},
        {"3K", 3, BinKind::I64, std::nullopt, std::nullopt, 24},
        {"3E", 3, BinKind::F32, std::nullopt, std::nullopt, 12},
        {"3D", 3, BinKind::F64, std::nullopt, std::nullopt, 24},
        {"3C", 3, BinKind::C64, std::nullopt, std::nullopt, 24},
        {"3M", 3, BinKind::C128, std::nullopt, std::nullopt, 48},
        {"007J", 7, BinKind::I32, std::nullopt, std::nullopt, 28},
    };
    for (const Case& c : cases) {
        auto f = BinFormat::parse(c.tform);
        ASSERT_TRUE(f.has_value()) << c.tform << ": " << f.error().message();
        EXPECT_EQ(f->repeat, c.repeat) << c.tform;
        EXPECT_EQ(f->kind, c.kind) << c.tform;
        EXPECT_EQ(f->vla_kind, c.vla_kind) << c.tform;
        EXPECT_EQ(f->vla_max, c.vla_max) << c.tform;
        EXPECT_EQ(BinFormat::byte_width(f->repeat, f->kind), c.width) << c.tform;
    }
}

TEST(BinFormat, RefusesMalformedForms) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", "empty TFORM"},
        {"   ", "empty TFORM"},
        {"99999999999999999999J", "invalid repeat in `99999999999999999999J`"},
        {"12", "missing type code in `12`"},
        {" 12 ", "missing type code in ` 12 `"},
        {"3Z", "unknown BINTABLE type code `Z`"},
        {"3z", "unknown BINTABLE type code `Z`"},
        {"+1J", "unknown BINTABLE type code `+`"},
        {"-1J", "unknown BINTABLE type code `-`"},
        {"3\xC3\xA9", "unknown BINTABLE type code `\xC3\xA9`"},
        {"2PE", "`2PE` VLA descriptor repeat must be 0 or 1"},
        {"1PE(100", "`1PE(100` missing closing `)`"},
        {"1PE(x)", "invalid VLA maxlen in `1PE(x)`"},
        {"1PE()", "invalid VLA maxlen in `1PE()`"},
        {"1PE(-3)", "invalid VLA maxlen in `1PE(-3)`"},
        {"1P", "`1P` missing VLA inner type"},
        {" 1Q  ", "` 1Q  ` missing VLA inner type"},
        {"1PZ", "unknown BINTABLE type code `Z`"},
    };
    for (const auto& [tform, msg] : cases) {
        expect_error(BinFormat::parse(tform), Error::Kind::Value, "TFORM", msg, tform);
    }
}

TEST(BinFormat, WidthOverflowIsReported) {
    EXPECT_EQ(BinFormat::byte_width(std::uint64_t{1} << 61, BinKind::I64), std::nullopt);
    EXPECT_EQ(BinFormat::byte_width(std::uint64_t{1} << 60, BinKind::C128), std::nullopt);
    const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    EXPECT_EQ(BinFormat::byte_width((std::uint64_t{1} << 61) - 1, BinKind::I64), max - 7);
    EXPECT_EQ(BinFormat::byte_width(max, BinKind::Bit), std::uint64_t{1} << 61);
    EXPECT_EQ(BinFormat::byte_width(max, BinKind::Char), max);
    EXPECT_EQ(BinFormat::byte_width(max, BinKind::P), 8u);
    EXPECT_EQ(BinFormat::byte_width(max, BinKind::Q), 16u);
}

TEST(BinKind, NamesAndLetters) {
    EXPECT_EQ(bin_kind_name(BinKind::I32), "I32");
    EXPECT_EQ(bin_kind_name(BinKind::Logical), "Logical");
    EXPECT_EQ(bin_kind_name(BinKind::C128), "C128");
    EXPECT_EQ(*bin_kind_from_letter(U'm'), BinKind::C128);
    EXPECT_EQ(*bin_kind_from_letter(U'X'), BinKind::Bit);
    expect_error(bin_kind_from_letter(U'('), Error::Kind::Value, "TFORM",
                 "unknown BINTABLE type code `(`");
}

TEST(IntStorage, Classification) {
    struct Case {
        BinKind kind;
        double tscal;
        double tzero;
        IntStorage want;
    };
    const double eps = std::ldexp(1.0, -52);
    const std::vector<Case> cases = {
        {BinKind::I16, 1.0, 0.0, IntStorage::RawSigned},
        {BinKind::I16, 1.0, -0.0, IntStorage::RawSigned},
        {BinKind::I16, 1.0, 32768.0, IntStorage::Unsigned},
        {BinKind::I32, 1.0, 32768.0, IntStorage::Scaled},
        {BinKind::I32, 1.0, 2147483648.0, IntStorage::Unsigned},
        {BinKind::I64, 1.0, 9223372036854775808.0, IntStorage::Unsigned},
        {BinKind::I64, 2.0, 0.0, IntStorage::Scaled},
        {BinKind::Byte, 1.0, -128.0, IntStorage::SignedFromByte},
        {BinKind::Byte, 1.0, -128.0 + std::ldexp(1.0, -46), IntStorage::SignedFromByte},
        {BinKind::Byte, 1.0, -127.0, IntStorage::Scaled},
        {BinKind::Byte, 1.0, 128.0, IntStorage::Scaled},
        {BinKind::I16, 1.0 + eps, 32768.0, IntStorage::Unsigned},
        {BinKind::I16, 1.0 + 4 * eps, 32768.0, IntStorage::Scaled},
        {BinKind::I16, std::nan(""), 32768.0, IntStorage::Scaled},
        {BinKind::I16, 1.0, 32768.0 + 32768.0 * eps, IntStorage::Unsigned},
        {BinKind::I16, 1.0, 32769.0, IntStorage::Scaled},
        {BinKind::F32, 2.0, 0.0, IntStorage::Scaled},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(classify_int_storage(c.kind, c.tscal, c.tzero), c.want)
            << bin_kind_name(c.kind) << " " << c.tscal << " " << c.tzero;
    }
}

// ---------------------------------------------------------------- TDIM

TEST(Tdim, ReadsAndRefuses) {
    struct Case {
        std::string value;  // the card's value field
        std::optional<std::vector<std::uint64_t>> want;
        std::string error;  // message when it fails
    };
    const std::vector<Case> cases = {
        {"'(10,5)'", std::vector<std::uint64_t>{10, 5}, ""},
        {"'( 10 , 5 )'", std::vector<std::uint64_t>{10, 5}, ""},
        {"'  (3)'", std::vector<std::uint64_t>{3}, ""},
        {"'(+3,0)'", std::vector<std::uint64_t>{3, 0}, ""},
        {"'()'", std::nullopt, "invalid TDIM dim ``"},
        {"'(2,)'", std::nullopt, "invalid TDIM dim ``"},
        {"'(2, x ,3)'", std::nullopt, "invalid TDIM dim ` x `"},
        {"'(-1)'", std::nullopt, "invalid TDIM dim `-1`"},
        {"'(99999999999999999999)'", std::nullopt, "invalid TDIM dim `99999999999999999999`"},
        {"'10,5'", std::nullopt, "TDIM must be `(d1,d2,...)`, got `10,5`"},
        {"'  (10,5'", std::nullopt, "TDIM must be `(d1,d2,...)`, got `  (10,5`"},
        {"'('", std::nullopt, "TDIM must be `(d1,d2,...)`, got `(`"},
        {"''", std::nullopt, "TDIM must be `(d1,d2,...)`, got ``"},
    };
    for (const Case& c : cases) {
        const Header h = make_header({{"TDIM3", c.value}});
        auto r = read_tdim(h, 3);
        if (c.error.empty()) {
            ASSERT_TRUE(r.has_value()) << c.value << ": " << r.error().message();
            EXPECT_EQ(*r, c.want) << c.value;
        } else {
            expect_error(r, Error::Kind::Value, "TDIM3", c.error, c.value);
        }
    }
    // Absent, or not a string: no TDIM and no error.
    EXPECT_EQ(*read_tdim(make_header({{"TDIM3", "7"}}), 3), std::nullopt);
    EXPECT_EQ(*read_tdim(make_header({{"TDIM2", "'(1,2)'"}}), 3), std::nullopt);
    expect_error(parse_tdim_dim(" 4x", "TDIM9"), Error::Kind::Value, "TDIM9",
                 "invalid TDIM dim ` 4x`");
    EXPECT_EQ(*parse_tdim_dim(" +42 ", "TDIM9"), 42u);
}

// ---------------------------------------------------------------- construction

TEST(BinTableHdu, BuildsColumnsFromKeywords) {
    const Cards cards = table_cards(30, 2, 6,
                                    {{"TFIELDS", "5"},
                                     {"TTYPE1", "'  Flux '"},
                                     {"TFORM1", "'1J'"},
                                     {"TUNIT1", "' Jy  '"},
                                     {"TSCAL1", "0.5"},
                                     {"TZERO1", "10"},
                                     {"TNULL1", "-1"},
                                     {"TDISP1", "' I6 '"},
                                     {"TFORM2", "'12A'"},
                                     {"TDIM2", "'(4,3)'"},
                                     {"TFORM3", "'I'"},
                                     {"TZERO3", "32768"},
                                     {"TNULL3", "7.0"},
                                     {"TFORM4", "'1PB(3)'"},
                                     {"TZERO4", "-128"},
                                     {"TFORM5", "'E'"},
                                     {"TSCAL5", "3"},
                                     {"TDIM5", "5"},
                                     {"THEAP", "62"}});
    Bytes data(30 * 2 + 6, 0);
    auto t = BinTableHdu::create(make_header(cards), data);
    ASSERT_TRUE(t.has_value()) << t.error().message();
    EXPECT_EQ(t->row_size, 30u);
    EXPECT_EQ(t->n_rows, 2u);
    EXPECT_EQ(t->heap_offset, 62u);
    EXPECT_EQ(t->heap_size, 4u);
    EXPECT_EQ(t->heap()->size(), 4u);
    ASSERT_EQ(t->columns.size(), 5u);

    const BinColumn& c1 = t->columns[0];
    EXPECT_EQ(c1.index, 1u);
    EXPECT_EQ(c1.name, "Flux");
    EXPECT_EQ(c1.unit, "Jy");
    EXPECT_EQ(c1.offset, 0u);
    EXPECT_EQ(c1.scaling.scale, 0.5);
    EXPECT_EQ(c1.scaling.zero, 10.0);
    EXPECT_EQ(c1.scaling.blank, -1);
    EXPECT_EQ(c1.tdisp, "I6");
    EXPECT_EQ(c1.int_storage, IntStorage::Scaled);

    const BinColumn& c2 = t->columns[1];
    EXPECT_EQ(c2.name, "");
    EXPECT_EQ(c2.unit, "");
    EXPECT_EQ(c2.offset, 4u);
    EXPECT_EQ(c2.tdim, (std::vector<std::uint64_t>{4, 3}));
    EXPECT_EQ(c2.tdisp, std::nullopt);
    EXPECT_EQ(c2.scaling.blank, std::nullopt);
    EXPECT_EQ(c2.int_storage, IntStorage::RawSigned);

    EXPECT_EQ(t->columns[2].offset, 16u);
    EXPECT_EQ(t->columns[2].int_storage, IntStorage::Unsigned);
    EXPECT_EQ(t->columns[2].scaling.blank, 7);  // an integral real counts
    // P columns are never classified, whatever their scaling.
    EXPECT_EQ(t->columns[3].offset, 18u);
    EXPECT_EQ(t->columns[3].int_storage, IntStorage::RawSigned);
    EXPECT_EQ(t->columns[3].format.vla_max, 3u);
    EXPECT_EQ(t->columns[4].offset, 26u);
    EXPECT_EQ(t->columns[4].int_storage, IntStorage::RawSigned);
    EXPECT_EQ(t->columns[4].tdim, std::nullopt);  // an integer TDIM is ignored
    EXPECT_EQ(t->columns[4].width(), 4u);
}

TEST(BinTableHdu, ConstructionEdgeCases) {
    // No columns: any NAXIS1 is accepted.
    auto empty =
        BinTableHdu::create(make_header(table_cards(5, 3, 0, {{"TFIELDS", "0"}})), Bytes(15, 0));
    ASSERT_TRUE(empty.has_value()) << empty.error().message();
    EXPECT_TRUE(empty->columns.empty());
    EXPECT_EQ(empty->heap_offset, 15u);
    EXPECT_EQ(empty->heap_size, 0u);

    // PCOUNT absent or a string counts as 0.
    for (const Cards& cards :
         {erase(table_cards(4, 2, 0, {{"TFIELDS", "1"}, {"TFORM1", "'J'"}}), "PCOUNT"),
          replace(table_cards(4, 2, 0, {{"TFIELDS", "1"}, {"TFORM1", "'J'"}}), "PCOUNT", "'3'")}) {
        auto t = BinTableHdu::create(make_header(cards), Bytes(8, 0));
        ASSERT_TRUE(t.has_value()) << t.error().message();
        EXPECT_EQ(t->heap_size, 0u);
    }

    // THEAP equal to the total leaves an empty heap; absent means NAXIS1 * NAXIS2.
    auto at_end = BinTableHdu::create(
        make_header(table_cards(4, 2, 5, {{"TFIELDS", "1"}, {"TFORM1", "'J'"}, {"THEAP", "13"}})),
        Bytes(13, 0));
    ASSERT_TRUE(at_end.has_value()) << at_end.error().message();
    EXPECT_EQ(at_end->heap_offset, 13u);
    EXPECT_EQ(at_end->heap_size, 0u);
    auto plain = BinTableHdu::create(
        make_header(table_cards(4, 2, 5, {{"TFIELDS", "1"}, {"TFORM1", "'J'"}})), Bytes(13, 0));
    ASSERT_TRUE(plain.has_value());
    EXPECT_EQ(plain->heap_offset, 8u);
    EXPECT_EQ(plain->heap_size, 5u);

    // Widths below NAXIS1 leave uncovered bytes at the end of each row.
    auto wide = BinTableHdu::create(
        make_header(table_cards(10, 1, 0, {{"TFIELDS", "1"}, {"TFORM1", "'J'"}})), Bytes(10, 0));
    ASSERT_TRUE(wide.has_value());
}

TEST(BinTableHdu, ConstructionFailures) {
    const Cards base =
        table_cards(6, 2, 4, {{"TFIELDS", "2"}, {"TFORM1", "'J'"}, {"TFORM2", "'2A'"}});
    const std::uint64_t big = std::uint64_t{1} << 62;
    const std::string big_s = std::to_string(big);
    struct Case {
        std::string name;
        Cards cards;
        std::size_t data_len;
        Error::Kind kind;
        std::string keyword;
        std::string msg;
    };
    const std::vector<Case> cases = {
        {"bitpix", replace(base, "BITPIX", "16"), 16, Error::Kind::Value, "BITPIX",
         "BINTABLE requires BITPIX = 8"},
        {"naxis", replace(base, "NAXIS", "1"), 16, Error::Kind::Value, "NAXIS",
         "BINTABLE requires NAXIS = 2"},
        {"naxis3", replace(base, "NAXIS", "3"), 16, Error::Kind::Value, "NAXIS",
         "BINTABLE requires NAXIS = 2"},
        {"pcount", replace(base, "PCOUNT", "-1"), 16, Error::Kind::Value, "PCOUNT",
         "PCOUNT must be >= 0, got -1"},
        {"size", replace(replace(base, "NAXIS1", big_s), "NAXIS2", "4"), 0, Error::Kind::Data, "",
         "BINTABLE size overflows usize"},
        {"heap size",
         replace(replace(base, "NAXIS1", "4611686018427387905"), "PCOUNT", "9223372036854775807"),
         0, Error::Kind::Data, "", "BINTABLE+heap size overflows"},
        {"short", base, 15, Error::Kind::Data, "",
         "BINTABLE data slice 15 bytes does not match NAXIS1*NAXIS2+PCOUNT = 16"},
        {"long", base, 17, Error::Kind::Data, "",
         "BINTABLE data slice 17 bytes does not match NAXIS1*NAXIS2+PCOUNT = 16"},
        {"theap sign", replace(base, "THEAP", "-1"), 16, Error::Kind::Value, "THEAP",
         "THEAP must be >= 0, got -1"},
        {"theap low", replace(base, "THEAP", "11"), 16, Error::Kind::Value, "THEAP",
         "THEAP=11 must lie within [NAXIS1*NAXIS2=12, total=16]"},
        {"theap high", replace(base, "THEAP", "17"), 16, Error::Kind::Value, "THEAP",
         "THEAP=17 must lie within [NAXIS1*NAXIS2=12, total=16]"},
        {"tfields missing", erase(base, "TFIELDS"), 16, Error::Kind::MissingMandatory, "TFIELDS",
         ""},
        {"tfields real", replace(base, "TFIELDS", "2.0"), 16, Error::Kind::Value, "TFIELDS",
         "expected integer, found Real(2.0)"},
        {"tfields negative", replace(base, "TFIELDS", "-1"), 16, Error::Kind::Value, "TFIELDS",
         "TFIELDS must be >= 0, got -1"},
        {"tfields huge", replace(base, "TFIELDS", "9223372036854775807"), 16,
         Error::Kind::MissingMandatory, "TFORM3", ""},
        {"tform missing", erase(base, "TFORM2"), 16, Error::Kind::MissingMandatory, "TFORM2", ""},
        {"tform not a string", replace(base, "TFORM2", "2"), 16, Error::Kind::MissingMandatory,
         "TFORM2", ""},
        {"tform text", replace(base, "TFORM2", "'2Z'"), 16, Error::Kind::Value, "TFORM",
         "unknown BINTABLE type code `Z`"},
        {"width overflow", replace(base, "TFORM2", "'2305843009213693952K'"), 16,
         Error::Kind::Value, "TFORM2", "row offset overflows usize"},
        {"offset overflow",
         replace(replace(base, "TFORM1", "'18446744073709551615A'"), "TFORM2", "'1A'"), 16,
         Error::Kind::Value, "TFORM2", "row offset overflows usize"},
        {"widths", replace(base, "TFORM2", "'3A'"), 16, Error::Kind::Value, "NAXIS1",
         "sum of TFORM widths (7) exceeds NAXIS1 (6)"},
        {"tdim", replace(base, "TDIM2", "'2'"), 16, Error::Kind::Value, "TDIM2",
         "TDIM must be `(d1,d2,...)`, got `2`"},
    };
    for (const Case& c : cases) {
        expect_error(BinTableHdu::create(make_header(c.cards), Bytes(c.data_len, 0)), c.kind,
                     c.keyword, c.msg, c.name);
        const Bytes borrowed(c.data_len, 0);
        expect_error(BinTableHdu::create_borrowed(make_header(c.cards), borrowed), c.kind,
                     c.keyword, c.msg, c.name + " (borrowed)");
    }
    // Errors of the typed getters pass through unchanged.
    auto missing_naxis2 = BinTableHdu::create(make_header(erase(base, "NAXIS2")), Bytes(16, 0));
    expect_error(missing_naxis2, Error::Kind::MissingMandatory, "NAXIS2", "");
}

TEST(BinTableHdu, IntoPartsCopiesBorrowedBytes) {
    const Cards cards = table_cards(2, 2, 0, {{"TFIELDS", "1"}, {"TFORM1", "'I'"}});
    const Bytes bytes = be_i16({7, -7});
    auto borrowed = BinTableHdu::create_borrowed(make_header(cards), bytes);
    ASSERT_TRUE(borrowed.has_value());
    EXPECT_FALSE(borrowed->data.is_owned());
    EXPECT_EQ(borrowed->data.data(), bytes.data());  // built without copying
    OwnedHdu parts = std::move(*borrowed).into_parts();
    EXPECT_EQ(parts.data, bytes);
    EXPECT_NE(parts.data.data(), bytes.data());
    EXPECT_EQ(parts.header.bytes(), make_header(cards).bytes());

    auto owned = BinTableHdu::create(make_header(cards), bytes);
    ASSERT_TRUE(owned.has_value());
    EXPECT_TRUE(owned->data.is_owned());
    // A copied record keeps reading its own bytes.
    const BinTableHdu copy = *owned;
    EXPECT_EQ(*copy.read_cell(1, copy.columns[0]), ints({-7}));
    EXPECT_EQ(std::move(*owned).into_parts().data, bytes);
}

// ---------------------------------------------------------------- cells

TEST(BinCell, FixedWidthKinds) {
    struct Case {
        std::string name;
        BinColumn col;
        Bytes cell;
        BinValue want;
    };
    std::vector<Case> cases = {
        {"L", column("4L"), text_bytes(std::string("TF\0t", 4)),
         BinValue{BinValue::Logical{{true, false, std::nullopt, true}}}},
        {"X", column("12X"), Bytes{0xB1, 0xC0}, BinValue{BinValue::Bits{Bytes{0xB1, 0xC0}, 12}}},
        {"B raw", column("3B"), Bytes{0, 127, 255}, ints({0, 127, 255})},
        {"B signed", column("2B", 1.0, -128.0), Bytes{0, 255}, ints({-128, 127})},
        {"B signed null", column("2B", 1.0, -128.0, 255), Bytes{0, 255},
         ints({-128, std::nullopt})},
        {"I raw null", column("3I", 1.0, 0.0, -5), be_i16({-5, 5, -32768}),
         ints({std::nullopt, 5, -32768})},
        {"I unsigned", column("2I", 1.0, 32768.0, -1), be_i16({-1, 0}),
         BinValue{BinValue::Uint{{std::nullopt, 32768}}}},
        {"J unsigned", column("2J", 1.0, 2147483648.0), be_i32({-2147483647 - 1, 2147483647}),
         BinValue{BinValue::Uint{{0, 4294967295u}}}},
        {"K unsigned", column("2K", 1.0, 9223372036854775808.0),
         be_i64(
             {std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::max()}),
         BinValue{BinValue::Uint{{0, std::numeric_limits<std::uint64_t>::max()}}}},
        {"J scaled", column("J", 0.5, 10.0), be_i32({4}), BinValue{BinValue::Float{{12.0}}}},
        {"K raw", column("K"), be_i64({-3}), ints({-3})},
        {"C unscaled", column("C", 2.0, 1.0),
         be_i32({0x3F800000, static_cast<std::int32_t>(0xC0000000)}),
         BinValue{BinValue::C64{{{1.0f, -2.0f}}}}},
        {"M", column("M", 2.0, 1.0), be_i64({0x3FF8000000000000, 0x4004000000000000}),
         BinValue{BinValue::C128{{{1.5, 2.5}}}}},
        {"D", column("2D", 2.0, 1.0), be_i64({0x3FF8000000000000, 0x4004000000000000}),
         BinValue{BinValue::F64{{4.0, 6.0}}}},
    };
    for (const Case& c : cases) {
        auto v = c.col.decode_cell(c.cell, {});
        ASSERT_TRUE(v.has_value()) << c.name << ": " << v.error().message();
        EXPECT_EQ(*v, c.want) << c.name << ": " << v->debug();
    }

    // A scaled TNULL is NaN.
    auto scaled_null = column("2J", 2.0, 1.0, 9).decode_cell(be_i32({9, 1}), {});
    const auto& fl = std::get<BinValue::Float>(scaled_null->value).values;
    ASSERT_EQ(fl.size(), 2u);
    EXPECT_TRUE(std::isnan(fl[0]));
    EXPECT_EQ(fl[1], 3.0);

    // E computes in single precision with single-precision TSCAL and TZERO.
    const float stored = 3.3f;
    Bytes e_cell;
    push_be_f32(stored, e_cell);
    auto e = column("E", 0.1, 0.7).decode_cell(e_cell, {});
    const float want = stored * 0.1f + 0.7f;
    ASSERT_EQ(e->kind(), BinValue::Kind::F32);
    EXPECT_EQ(std::get<BinValue::F32>(e->value).values[0], want);
    EXPECT_NE(static_cast<double>(want), 3.3f * 0.1 + 0.7);  // the double result differs

    // D runs the scaling even when it is the identity: -0.0 becomes +0.0.
    Bytes neg_zero;
    push_be_f64(-0.0, neg_zero);
    auto d = column("D").decode_cell(neg_zero, {});
    EXPECT_FALSE(std::signbit(std::get<BinValue::F64>(d->value).values[0]));

    // Bad logical bytes, lower-case hexadecimal.
    expect_error(column("2L").decode_cell(Bytes{'T', 0x20}, {}), Error::Kind::Data, "",
                 "BINTABLE col 1: invalid L byte 0x20");
    expect_error(column("L").decode_cell(Bytes{0xAB}, {}), Error::Kind::Data, "",
                 "BINTABLE col 1: invalid L byte 0xab");
}

TEST(BinCell, SixtyFourBitIntegersUnderAnIntegerZeroRoundOnce) {
    // K under TZERO -2^63 (an integer zero that is not the unsigned convention): the value is
    // stored - 2^63, whose magnitude is exact as an unsigned number; its conversion is the
    // correctly rounded answer, in a cell and in a heap array alike. TNULL still reads NaN.
    std::vector<std::int64_t> stored = {std::numeric_limits<std::int64_t>::max(), 0, 7};
    std::uint64_t x = 0x2545F4914F6CDD1Du;
    while (stored.size() < 512) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        stored.push_back(static_cast<std::int64_t>(x));
    }
    Bytes cell;
    for (const std::int64_t v : stored)
        push_be_u64(static_cast<std::uint64_t>(v), cell);
    const std::string tform = std::to_string(stored.size()) + "K";
    const BinColumn fixed = column(tform, 1.0, -0x1p63, 7);
    const BinColumn vla = column("1QK", 1.0, -0x1p63, 7);
    ASSERT_EQ(fixed.int_storage, IntStorage::Scaled);
    const Bytes descriptor = be_i64({static_cast<std::int64_t>(stored.size()), 0});
    const Result<BinValue> decoded[] = {fixed.decode_cell(cell, {}),
                                        vla.decode_cell(descriptor, cell)};
    for (const Result<BinValue>& v : decoded) {
        ASSERT_TRUE(v.has_value()) << v.error().message();
        const BinValue& value =
            v->kind() == BinValue::Kind::Vla ? *std::get<BinValue::Vla>(v->value).inner : *v;
        const std::vector<double>& got = std::get<BinValue::Float>(value.value).values;
        ASSERT_EQ(got.size(), stored.size());
        std::size_t twice_rounded_off = 0;
        for (std::size_t i = 0; i < stored.size(); ++i) {
            if (stored[i] == 7) {
                EXPECT_TRUE(std::isnan(got[i]));
                continue;
            }
            const std::uint64_t magnitude = (1ull << 63) - static_cast<std::uint64_t>(stored[i]);
            EXPECT_EQ(got[i], -static_cast<double>(magnitude)) << stored[i];
            twice_rounded_off += static_cast<double>(stored[i]) - 0x1p63 != got[i];
        }
        EXPECT_GT(twice_rounded_off, 0u);
    }
}

TEST(BinCell, CharacterCells) {
    struct Case {
        std::string tform;
        std::optional<std::vector<std::uint64_t>> tdim;
        std::string cell;
        BinValue want;
    };
    using SA = BinValue::StrArray;
    const std::vector<Case> cases = {
        {"10A", std::nullopt, std::string("AB\0\0\0\0\0\0\0\0", 10), BinValue{BinValue::Str{"AB"}}},
        {"10A", std::nullopt, std::string("AB  \0\0\0\0\0\0", 10), BinValue{BinValue::Str{"AB"}}},
        {"10A", std::nullopt, std::string(" AB       "), BinValue{BinValue::Str{" AB"}}},
        {"10A", std::nullopt, std::string("AB\0 \0\0\0\0\0\0", 10),
         BinValue{BinValue::Str{std::string("AB\0", 3)}}},
        {"5A", std::nullopt, "a\xC2\xA0\xC2\xA0", BinValue{BinValue::Str{"a"}}},
        {"12A", std::vector<std::uint64_t>{4, 3}, std::string("ab  cd  ef\0\0", 12),
         BinValue{SA{{"ab", "cd", "ef"}}}},
        {"12A", std::vector<std::uint64_t>{4, 2}, std::string("ab  cd  ef\0\0", 12),
         BinValue{SA{{"ab", "cd"}}}},
        {"12A", std::vector<std::uint64_t>{5, 3}, "ab  cd  ef  ",
         BinValue{BinValue::Str{"ab  cd  ef"}}},
        {"12A", std::vector<std::uint64_t>{12}, "ab  cd  ef  ",
         BinValue{BinValue::Str{"ab  cd  ef"}}},
        {"12A", std::vector<std::uint64_t>{0, 3}, "ab  cd  ef  ",
         BinValue{BinValue::Str{"ab  cd  ef"}}},
        {"12A", std::vector<std::uint64_t>{1ull << 32, 1ull << 32}, "ab  cd  ef  ",
         BinValue{BinValue::Str{"ab  cd  ef"}}},
        // A piece boundary may cut a character: each piece is decoded lossily.
        {"4A", std::vector<std::uint64_t>{2, 2}, "a\xC3\xA9z",
         BinValue{SA{{"a\xEF\xBF\xBD", "\xEF\xBF\xBDz"}}}},
    };
    for (const Case& c : cases) {
        BinColumn col = column(c.tform);
        col.tdim = c.tdim;
        auto v = col.decode_cell(text_bytes(c.cell), {});
        ASSERT_TRUE(v.has_value()) << c.cell << ": " << v.error().message();
        EXPECT_EQ(*v, c.want) << v->debug();
    }
    expect_error(column("3A").decode_cell(Bytes{'a', 0xFF, 'b'}, {}), Error::Kind::Data, "",
                 "BINTABLE col 1: A field is not valid UTF-8");
    EXPECT_TRUE(split_fixed_strings(text_bytes("abc"), 0).empty());
    // Whole pieces only: the trailing "d" is not a piece.
    EXPECT_EQ(split_fixed_strings(text_bytes("ab c  d"), 3), (std::vector<std::string>{"ab", "c"}));
}

TEST(BinCell, VariableLengthArrays) {
    // Heap: three J values, then a Q-style descriptor pair for nested cases.
    Bytes heap = be_i32({10, -1, 30});        // bytes 0..11
    const Bytes inner_zero = be_i32({0, 0});  // bytes 12..19: an inner P with n = 0
    const Bytes inner_two = be_i32({2, 0});   // bytes 20..27: an inner P with n = 2
    heap.insert(heap.end(), inner_zero.begin(), inner_zero.end());
    heap.insert(heap.end(), inner_two.begin(), inner_two.end());
    heap.push_back(0xA0);  // byte 28: bits for an X array
    heap.push_back(0x80);  // byte 29

    const BinValue empty_int = BinValue{BinValue::Vla{std::make_shared<const BinValue>(ints({}))}};
    auto vla_of = [](BinValue v) {
        return BinValue{BinValue::Vla{std::make_shared<const BinValue>(std::move(v))}};
    };
    struct Case {
        std::string name;
        BinColumn col;
        Bytes cell;
        BinValue want;
    };
    const std::vector<Case> cases = {
        // An empty array is the empty value of the element type; its offset is not looked at.
        {"P n=0", column("1PJ"), be_i32({0, 999}), empty_int},
        {"P of E n=0", column("1PE"), be_i32({0, 0}), vla_of(BinValue{BinValue::F32{}})},
        {"Q of D n=0", column("1QD"), be_i64({0, 999}), vla_of(BinValue{BinValue::F64{}})},
        {"P of K n=0", column("1PK"), be_i32({0, 0}), empty_int},
        {"P scaled n=0", column("1PJ", 2.0, 1.0), be_i32({0, 0}),
         vla_of(BinValue{BinValue::Float{}})},
        {"P unsigned n=0", column("1PI", 1.0, 32768.0), be_i32({0, 0}),
         vla_of(BinValue{BinValue::Uint{}})},
        {"P of L n=0", column("1PL"), be_i32({0, 0}), vla_of(BinValue{BinValue::Logical{}})},
        {"P of A n=0", column("1PA"), be_i32({0, 0}), vla_of(BinValue{BinValue::Str{}})},
        {"P of X n=0", column("1PX"), be_i32({0, 0}), vla_of(BinValue{BinValue::Bits{{}, 0}})},
        {"P of C n=0", column("1PC"), be_i32({0, 0}), vla_of(BinValue{BinValue::C64{}})},
        {"P of M n=0", column("1PM"), be_i32({0, 0}), vla_of(BinValue{BinValue::C128{}})},
        {"P of P n=0", column("1PP"), be_i32({0, 0}), empty_int},
        {"P n=3", column("1PJ"), be_i32({3, 0}), vla_of(ints({10, -1, 30}))},
        {"P tnull", column("1PJ", 1.0, 0.0, -1), be_i32({2, 0}), vla_of(ints({10, std::nullopt}))},
        {"P scaled", column("1PJ", 2.0, 1.0), be_i32({1, 8}),
         vla_of(BinValue{BinValue::Float{{61.0}}})},
        {"P unsigned", column("1PI", 1.0, 32768.0), be_i32({1, 2}),
         vla_of(BinValue{BinValue::Uint{{32778}}})},
        {"Q n=2", column("1QJ"), be_i64({2, 4}), vla_of(ints({-1, 30}))},
        {"P bits", column("1PX"), be_i32({9, 28}),
         vla_of(BinValue{BinValue::Bits{{0xA0, 0x80}, 9}})},
        {"P of P, inner n=0", column("1PP"), be_i32({1, 12}), vla_of(empty_int)},
        {"descriptor bytes after the first 8 ignored", column("1PJ"), be_i32({1, 0, 77}),
         vla_of(ints({10}))},
    };
    for (const Case& c : cases) {
        auto v = c.col.decode_cell(c.cell, heap);
        ASSERT_TRUE(v.has_value()) << c.name << ": " << v.error().message();
        EXPECT_EQ(*v, c.want) << c.name << ": " << v->debug();
    }

    struct Bad {
        std::string name;
        BinColumn col;
        Bytes cell;
        Error::Kind kind;
        std::string keyword;
        std::string msg;
    };
    const std::vector<Bad> bad = {
        {"escapes", column("1PJ"), be_i32({3, 20}), Error::Kind::Data, "",
         "BINTABLE col 1: P/Q descriptor (n=3, off=20) escapes heap (len=30)"},
        {"huge n", column("1PJ"), be_i32({2147483647, 0}), Error::Kind::Data, "",
         "BINTABLE col 1: P/Q descriptor (n=2147483647, off=0) escapes heap (len=30)"},
        {"offset at max", column("1QB"), be_i64({1, std::numeric_limits<std::int64_t>::max()}),
         Error::Kind::Data, "",
         "BINTABLE col 1: P/Q descriptor (n=1, off=9223372036854775807) escapes heap (len=30)"},
        {"length overflow", column("1QK"), be_i64({std::int64_t{1} << 61, 0}), Error::Kind::Data,
         "", "BINTABLE col 1: VLA byte length overflows usize (n=2305843009213693952)"},
        {"negative n", column("1PJ"), be_i32({-1, 0}), Error::Kind::Data, "",
         "VLA descriptor has negative field (n=-1, off=0)"},
        {"negative offset", column("1QJ"), be_i64({1, -8}), Error::Kind::Data, "",
         "VLA descriptor has negative field (n=1, off=-8)"},
        {"short P", column("1PJ"), Bytes(7, 0), Error::Kind::Data, "",
         "P-descriptor cell is 7 bytes, need 8"},
        {"short Q", column("1QJ"), Bytes(15, 0), Error::Kind::Data, "",
         "Q-descriptor cell is 15 bytes, need 16"},
        {"P chars not UTF-8", column("1PA"), be_i32({2, 28}), Error::Kind::Data, "",
         "BINTABLE col 1: A field is not valid UTF-8"},
        {"P of P, inner n=2", column("1PP"), be_i32({1, 20}), Error::Kind::Value, "TFORM1",
         "P/Q descriptor missing inner type"},
    };
    for (const Bad& b : bad) {
        expect_error(b.col.decode_cell(b.cell, heap), b.kind, b.keyword, b.msg, b.name);
    }
    // The element type is what makes a column P/Q; a missing one is refused.
    BinColumn no_inner = column("1PJ");
    no_inner.index = 4;
    no_inner.format.vla_kind.reset();
    expect_error(no_inner.decode_cell(be_i32({1, 0}), heap), Error::Kind::Value, "TFORM4",
                 "P/Q descriptor missing inner type");
    expect_error(read_vla_descriptor(BinKind::I32, be_i32({1, 0})), Error::Kind::Header, "",
                 "expected a P/Q descriptor column, got I32");
    auto d = read_vla_descriptor(BinKind::Q, be_i64({5, 6}));
    ASSERT_TRUE(d.has_value());
    EXPECT_EQ(d->count, 5u);
    EXPECT_EQ(d->offset, 6u);
}

TEST(BinCell, DebugForms) {
    auto vla = [](BinValue v) {
        return BinValue{BinValue::Vla{std::make_shared<const BinValue>(std::move(v))}};
    };
    const std::vector<std::pair<BinValue, std::string>> cases = {
        {ints({1, std::nullopt}), "Int([Some(1), None])"},
        {ints({}), "Int([])"},
        {BinValue{BinValue::Uint{{18446744073709551615u}}}, "Uint([Some(18446744073709551615)])"},
        {BinValue{BinValue::Logical{{true, std::nullopt}}}, "Logical([Some(true), None])"},
        {BinValue{BinValue::Bits{{0xB1, 0xC0}, 11}}, "Bits([177, 192], 11)"},
        {BinValue{BinValue::Float{{2.0, std::nan("")}}}, "Float([2.0, NaN])"},
        {BinValue{BinValue::Str{"a\"b"}}, "Str(\"a\\\"b\")"},
        {BinValue{BinValue::StrArray{{"x", "y"}}}, "StrArray([\"x\", \"y\"])"},
        {BinValue{BinValue::F32{{0.1f, 1e20f}}}, "F32([0.1, 1e20])"},
        {BinValue{BinValue::F64{{0.1, 1e16}}}, "F64([0.1, 1e16])"},
        {BinValue{BinValue::C64{{{1.0f, -0.5f}}}}, "C64([(1.0, -0.5)])"},
        {BinValue{BinValue::C128{{{0.25, 3.0}}}}, "C128([(0.25, 3.0)])"},
        {vla(ints({})), "Vla(Int([]))"},
        {vla(vla(BinValue{BinValue::F64{{0.5}}})), "Vla(Vla(F64([0.5])))"},
    };
    for (const auto& [v, want] : cases)
        EXPECT_EQ(v.debug(), want);
}

// ---------------------------------------------------------------- table-level reads

// A table exercising every fixed-width numeric kind, with nulls and scaling:
// 1: 2L, 2: B TZERO -128 TNULL 0, 3: 2I TZERO 32768 TNULL -1, 4: J TSCAL 0.5 TZERO 10 TNULL 9,
// 5: K TNULL 5, 6: 2E TSCAL 0.1, 7: D TZERO 1, 8: C, 9: M, 10: 3A, 11: 1PJ, 12: B (raw).
struct SampleTable {
    Bytes data;
    BinTableHdu table;
};

SampleTable sample_table() {
    const Cards cards = table_cards(
        80, 4, 8,
        {{"TFIELDS", "12"},  {"TTYPE1", "'Flag'"}, {"TFORM1", "'2L'"},   {"TTYPE2", "'b'"},
         {"TFORM2", "'B'"},  {"TZERO2", "-128"},   {"TNULL2", "0"},      {"TTYPE3", "'U'"},
         {"TFORM3", "'2I'"}, {"TZERO3", "32768"},  {"TNULL3", "-1"},     {"TTYPE4", "'Flux'"},
         {"TFORM4", "'J'"},  {"TSCAL4", "0.5"},    {"TZERO4", "10"},     {"TNULL4", "9"},
         {"TTYPE5", "'K'"},  {"TFORM5", "'K'"},    {"TNULL5", "5"},      {"TFORM6", "'2E'"},
         {"TSCAL6", "0.1"},  {"TFORM7", "'D'"},    {"TZERO7", "1"},      {"TFORM8", "'C'"},
         {"TFORM9", "'M'"},  {"TFORM10", "'3A'"},  {"TFORM11", "'1PJ'"}, {"TTYPE12", "'FLUX'"},
         {"TFORM12", "'B'"}});
    Bytes data;
    const std::string lbytes[4] = {"TF", std::string("\0t", 2), "ff", std::string("T\0", 2)};
    for (int r = 0; r < 4; ++r) {
        Bytes row;
        append_bytes(row, lbytes[r]);                                                 // 0..1
        row.push_back(static_cast<std::uint8_t>(r == 2 ? 0 : 100 + r));               // 2
        push_be_u16(static_cast<std::uint16_t>(r == 1 ? -1 : 1000 * r), row);         // 3..4
        push_be_u16(static_cast<std::uint16_t>(-32768 + r), row);                     // 5..6
        push_be_u32(static_cast<std::uint32_t>(r == 3 ? 9 : 7 * r - 4), row);         // 7..10
        push_be_u64(static_cast<std::uint64_t>(r == 0 ? 5 : -(1LL << 40) * r), row);  // 11..18
        push_be_f32(1.5f * static_cast<float>(r) + 0.3f, row);                        // 19..22
        push_be_f32(-2.0f, row);                                                      // 23..26
        push_be_f64(r == 2 ? -0.0 : 0.25 * r, row);                                   // 27..34
        push_be_f32(static_cast<float>(r), row);                                      // 35..38
        push_be_f32(-1.0f, row);                                                      // 39..42
        push_be_f64(static_cast<double>(r), row);                                     // 43..50
        push_be_f64(0.5, row);                                                        // 51..58
        append_bytes(row, "ab ");                                                     // 59..61
        push_be_u32(static_cast<std::uint32_t>(r % 3), row);                          // 62..65
        push_be_u32(0, row);                                                          // 66..69
        row.push_back(static_cast<std::uint8_t>(250 + r));                            // 70
        row.resize(80, 0);
        data.insert(data.end(), row.begin(), row.end());
    }
    push_be_u32(11, data);
    push_be_u32(22, data);
    auto t = BinTableHdu::create(make_header(cards), data);
    EXPECT_TRUE(t.has_value()) << t.error().message();
    return {data, std::move(*t)};
}

TEST(BinTableHdu, CellBytesAndLookup) {
    const SampleTable s = sample_table();
    const BinTableHdu& t = s.table;
    auto cell = t.cell_bytes(2, t.columns[3]);
    ASSERT_TRUE(cell.has_value());
    EXPECT_EQ(cell->data(), t.data.data() + 2 * 80 + 7);
    EXPECT_EQ(cell->size(), 4u);
    expect_error(t.cell_bytes(4, t.columns[0]), Error::Kind::Data, "",
                 "row 4 out of range (n_rows = 4)");
    expect_error(t.read_cell(7, t.columns[0]), Error::Kind::Data, "",
                 "row 7 out of range (n_rows = 4)");

    // A column description that does not belong to this table is refused, not read past.
    BinColumn foreign = column("8D");
    foreign.offset = 40;
    expect_error(t.cell_bytes(0, foreign), Error::Kind::Data, "",
                 "BINTABLE col 1: field does not fit in a row of 80 bytes");

    EXPECT_EQ(*t.read_cell(1, t.columns[10]),
              BinValue(BinValue::Vla{std::make_shared<const BinValue>(ints({11}))}));
    EXPECT_EQ(*t.read_cell(2, t.columns[10]),
              BinValue(BinValue::Vla{std::make_shared<const BinValue>(ints({11, 22}))}));
    EXPECT_EQ(*t.read_cell(0, t.columns[9]), BinValue{BinValue::Str{"ab"}});

    ASSERT_NE(t.find_column("FLUX"), nullptr);
    EXPECT_EQ(t.find_column("FLUX")->index, 4u);  // Flux comes before FLUX
    EXPECT_EQ(t.find_column("flux")->index, 4u);
    EXPECT_EQ(t.find_column("flag")->index, 1u);
    EXPECT_EQ(t.find_column("Flux "), nullptr);
    EXPECT_EQ(t.find_column("Flu"), nullptr);
    // Unnamed columns have the name "", which is a whole-name match like any other.
    EXPECT_EQ(t.find_column("")->index, 6u);
}

TEST(BinTableHdu, TileValueForRow) {
    const SampleTable s = sample_table();
    const BinTableHdu& t = s.table;
    using TV = TileValue<double>;
    EXPECT_EQ(*tile_value_for_row(TV::constant(2.5), t, 99), 2.5);
    EXPECT_EQ(*tile_value_for_row(TV::from_column(4), t, 1), static_cast<double>(-(1LL << 40)));
    EXPECT_EQ(*tile_value_for_row(TV::from_column(4), t, 0), 0.0);  // a null integer
    EXPECT_EQ(*tile_value_for_row(TV::from_column(3), t, 1), 11.5);
    EXPECT_EQ(*tile_value_for_row(TV::from_column(6), t, 1), 1.25);
    EXPECT_EQ(*tile_value_for_row(TV::from_column(11), t, 3), 253.0);

    expect_error(tile_value_for_row(TV::from_column(12), t, 0), Error::Kind::Header, "",
                 "scale column slot 12 no longer present");
    expect_error(tile_value_for_row(TV::from_column(5), t, 0), Error::Kind::Data, "",
                 "expected scalar float in column 5, got F32([0.030000001, -0.2])");
    expect_error(tile_value_for_row(TV::from_column(2), t, 1), Error::Kind::Data, "",
                 "expected scalar float in column 2, got Uint([None, Some(1)])");
    expect_error(tile_value_for_row(TV::from_column(9), t, 0), Error::Kind::Data, "",
                 "expected scalar float in column 9, got Str(\"ab\")");
    expect_error(tile_value_for_row(TV::from_column(0), t, 9), Error::Kind::Data, "",
                 "row 9 out of range (n_rows = 4)");
}

// Reads a whole column into a typed buffer and compares it with cell-by-cell decoding.
template <class T, class Get>
void check_column_agrees(const BinTableHdu& t, std::size_t col, std::uint64_t first,
                         std::uint64_t n, Get from_cell) {
    const BinColumn& c = t.columns[col];
    const std::size_t count = static_cast<std::size_t>(n * c.format.repeat);
    // Plain arrays: std::vector<bool> has no contiguous storage.
    const auto out = std::make_unique<T[]>(count);
    std::vector<std::uint8_t> nulls(count, 7);
    auto r =
        t.read_column(c, first, n, std::span<T>(out.get(), count), std::span<std::uint8_t>(nulls));
    ASSERT_TRUE(r.has_value()) << "col " << c.index << ": " << r.error().message();
    std::uint64_t want_nulls = 0;
    std::size_t i = 0;
    for (std::uint64_t row = first; row < first + n; ++row) {
        auto cell = t.read_cell(row, c);
        ASSERT_TRUE(cell.has_value());
        const auto expected = from_cell(*cell);  // vector of (value, is_null)
        ASSERT_EQ(expected.size(), c.format.repeat);
        for (const auto& [value, is_null] : expected) {
            if constexpr (std::is_floating_point_v<T>) {
                if (std::isnan(value)) {
                    EXPECT_TRUE(std::isnan(out[i])) << "col " << c.index << " elem " << i;
                } else {
                    EXPECT_EQ(out[i], value) << "col " << c.index << " elem " << i;
                    EXPECT_EQ(std::signbit(out[i]), std::signbit(value));
                }
            } else {
                EXPECT_EQ(out[i], value) << "col " << c.index << " elem " << i;
            }
            EXPECT_EQ(nulls[i], is_null ? 1 : 0) << "col " << c.index << " elem " << i;
            want_nulls += is_null;
            ++i;
        }
    }
    EXPECT_EQ(*r, want_nulls) << "col " << c.index;
    // The mask is optional; values and the count stay the same without it.
    const auto again = std::make_unique<T[]>(count);
    auto r2 = t.read_column(c, first, n, std::span<T>(again.get(), count), {});
    ASSERT_TRUE(r2.has_value());
    EXPECT_EQ(*r2, *r);
    for (std::size_t k = 0; k < count; ++k) {
        if constexpr (std::is_floating_point_v<T>) {
            if (std::isnan(out[k])) continue;
        }
        EXPECT_EQ(again[k], out[k]);
    }
}

template <class Elem, class V>
std::vector<std::pair<Elem, bool>> optional_pairs(const std::vector<std::optional<V>>& xs) {
    std::vector<std::pair<Elem, bool>> out;
    for (const auto& x : xs)
        out.emplace_back(x ? static_cast<Elem>(*x) : Elem{}, !x.has_value());
    return out;
}

template <class Elem, class V>
std::vector<std::pair<Elem, bool>> plain_pairs(const std::vector<V>& xs) {
    std::vector<std::pair<Elem, bool>> out;
    for (const auto& x : xs)
        out.emplace_back(x, false);
    return out;
}

TEST(BinTableHdu, WholeColumnsAgreeWithCells) {
    const SampleTable s = sample_table();
    const BinTableHdu& t = s.table;
    for (auto [first, n] : {std::pair<std::uint64_t, std::uint64_t>{0, 4}, {1, 2}, {3, 1}}) {
        check_column_agrees<bool>(t, 0, first, n, [](const BinValue& v) {
            return optional_pairs<bool>(std::get<BinValue::Logical>(v.value).values);
        });
        check_column_agrees<std::int64_t>(t, 1, first, n, [](const BinValue& v) {
            return optional_pairs<std::int64_t>(std::get<BinValue::Int>(v.value).values);
        });
        check_column_agrees<std::uint64_t>(t, 2, first, n, [](const BinValue& v) {
            return optional_pairs<std::uint64_t>(std::get<BinValue::Uint>(v.value).values);
        });
        check_column_agrees<double>(t, 3, first, n, [](const BinValue& v) {
            std::vector<std::pair<double, bool>> out;
            for (double x : std::get<BinValue::Float>(v.value).values)
                out.emplace_back(x, std::isnan(x));
            return out;
        });
        check_column_agrees<std::int64_t>(t, 4, first, n, [](const BinValue& v) {
            return optional_pairs<std::int64_t>(std::get<BinValue::Int>(v.value).values);
        });
        check_column_agrees<float>(t, 5, first, n, [](const BinValue& v) {
            return plain_pairs<float>(std::get<BinValue::F32>(v.value).values);
        });
        check_column_agrees<double>(t, 6, first, n, [](const BinValue& v) {
            return plain_pairs<double>(std::get<BinValue::F64>(v.value).values);
        });
        check_column_agrees<std::int64_t>(t, 11, first, n, [](const BinValue& v) {
            return optional_pairs<std::int64_t>(std::get<BinValue::Int>(v.value).values);
        });
    }
    // Complex columns: compare values directly.
    std::vector<std::complex<float>> c64(4);
    std::vector<std::complex<double>> c128(4);
    EXPECT_EQ(*t.read_column(t.columns[7], 0, 4, std::span(c64), {}), 0u);
    EXPECT_EQ(*t.read_column(t.columns[8], 0, 4, std::span(c128), {}), 0u);
    for (std::uint64_t r = 0; r < 4; ++r) {
        EXPECT_EQ(c64[r], std::get<BinValue::C64>(t.read_cell(r, t.columns[7])->value).values[0]);
        EXPECT_EQ(c128[r], std::get<BinValue::C128>(t.read_cell(r, t.columns[8])->value).values[0]);
    }
}

TEST(BinTableHdu, WholeColumnRefusals) {
    const SampleTable s = sample_table();
    const BinTableHdu& t = s.table;
    std::vector<double> d4(4);
    std::vector<std::int64_t> i4(4);
    std::vector<std::uint8_t> mask3(3);

    EXPECT_EQ(*BinTableHdu::column_element(t.columns[2]), ColumnElement::U64);
    EXPECT_EQ(*BinTableHdu::column_element(t.columns[3]), ColumnElement::F64);
    EXPECT_EQ(*BinTableHdu::column_element(t.columns[1]), ColumnElement::I64);
    EXPECT_EQ(*BinTableHdu::column_element(t.columns[5]), ColumnElement::F32);
    expect_error(BinTableHdu::column_element(t.columns[9]), Error::Kind::Data, "",
                 "BINTABLE col 10: Char column has no fixed numeric elements");
    expect_error(t.read_column(t.columns[10], 0, 4, std::span(d4), {}), Error::Kind::Data, "",
                 "BINTABLE col 11: P column has no fixed numeric elements");
    expect_error(t.read_column(t.columns[1], 0, 4, std::span(d4), {}), Error::Kind::Data, "",
                 "BINTABLE col 2: column reads into int64 elements, not float64");
    expect_error(t.read_column(t.columns[3], 0, 4, std::span(i4), {}), Error::Kind::Data, "",
                 "BINTABLE col 4: column reads into float64 elements, not int64");
    expect_error(t.read_column(t.columns[3], 2, 3, std::span(d4), {}), Error::Kind::Data, "",
                 "row 4 out of range (n_rows = 4)");
    expect_error(t.read_column(t.columns[3], 5, 0, std::span(d4).first(0), {}), Error::Kind::Data,
                 "", "row 5 out of range (n_rows = 4)");
    expect_error(t.read_column(t.columns[3], 0, 3, std::span(d4), {}), Error::Kind::Data, "",
                 "BINTABLE col 4: buffer holds 4 elements, need 3");
    expect_error(t.read_column(t.columns[3], 0, 4, std::span(d4), std::span(mask3)),
                 Error::Kind::Data, "", "BINTABLE col 4: null mask holds 3 elements, need 4");
    EXPECT_EQ(*t.read_column(t.columns[3], 4, 0, std::span(d4).first(0), {}), 0u);

    // A bad logical byte fails the whole read as it fails the cell.
    Bytes data = s.data;
    data[0] = 'x';
    auto bad = BinTableHdu::create_borrowed(t.header, data);
    ASSERT_TRUE(bad.has_value());
    bool flags[8] = {};
    expect_error(bad->read_column(bad->columns[0], 0, 4, std::span<bool>(flags, 8), {}),
                 Error::Kind::Data, "", "BINTABLE col 1: invalid L byte 0x78");
    expect_error(bad->read_cell(0, bad->columns[0]), Error::Kind::Data, "",
                 "BINTABLE col 1: invalid L byte 0x78");
}

// A record built unread holds the layout alone: every accessor of its rows or heap refuses,
// and the same calls read once the record holds its bytes.
TEST(BinTableHdu, UnreadRecordRefusesEveryByteAccessor) {
    const SampleTable s = sample_table();
    auto unread = BinTableHdu::create_unread(s.table.header, s.data.size());
    ASSERT_TRUE(unread.has_value()) << unread.error().message();
    BinTableHdu& t = *unread;
    const std::vector<BinColumn>& c = t.columns;
    bool flags[8] = {};
    std::vector<std::int64_t> ints(4);
    std::vector<std::uint64_t> uints(8);
    std::vector<double> doubles(4);
    std::vector<float> floats(8);
    std::vector<std::complex<float>> c64(4);
    std::vector<std::complex<double>> c128(4);
    std::vector<std::int64_t> vla(1);
    std::vector<std::uint8_t> logicals(4);
    // Logicals are read as a scalar column of their own.
    auto flag = BinTableHdu::create_unread(
        make_header(table_cards(1, 4, 0, {{"TFIELDS", "1"}, {"TFORM1", "'L'"}})), 4);
    ASSERT_TRUE(flag.has_value());
    const Bytes flag_bytes = text_bytes("TFTF");
    const auto fail_of = [](const auto& r) -> std::string {
        return r.has_value() ? "" : r.error().message();
    };
    const std::vector<std::pair<std::string, std::function<std::string()>>> calls = {
        {"data_section", [&] { return fail_of(t.data_section()); }},
        {"heap", [&] { return fail_of(t.heap()); }},
        {"cell_bytes", [&] { return fail_of(t.cell_bytes(1, c[3])); }},
        {"read_cell", [&] { return fail_of(t.read_cell(1, c[3])); }},
        {"check_rows", [&] { return fail_of(t.check_rows(c[0], 0, 4)); }},
        {"read_column bool",
         [&] { return fail_of(t.read_column(c[0], 0, 4, std::span<bool>(flags, 8), {})); }},
        {"read_column int64",
         [&] { return fail_of(t.read_column(c[4], 0, 4, std::span(ints), {})); }},
        {"read_column uint64",
         [&] { return fail_of(t.read_column(c[2], 0, 4, std::span(uints), {})); }},
        {"read_column float64",
         [&] { return fail_of(t.read_column(c[3], 0, 4, std::span(doubles), {})); }},
        {"read_column float32",
         [&] { return fail_of(t.read_column(c[5], 0, 4, std::span(floats), {})); }},
        {"read_column complex64",
         [&] { return fail_of(t.read_column(c[7], 0, 4, std::span(c64), {})); }},
        {"read_column complex128",
         [&] { return fail_of(t.read_column(c[8], 0, 4, std::span(c128), {})); }},
        {"vla_extent", [&] { return fail_of(t.vla_extent(1, c[10])); }},
        {"read_vla", [&] { return fail_of(t.read_vla(1, c[10], std::span(vla), {})); }},
        {"tile_value_for_row",
         [&] { return fail_of(tile_value_for_row(TileValue<double>::from_column(6), t, 0)); }},
        {"check_bin_columns", [&] { return fail_of(check_bin_columns(t)); }},
        {"decode_float64_rows",
         [&] { return fail_of(decode_float64_rows(t, c[3], 0, std::span(doubles))); }},
        {"decode_int_rows",
         [&] { return fail_of(decode_int_rows(t, c[4], 0, std::span(ints), {})); }},
        {"decode_logical_rows",
         [&] {
             return fail_of(decode_logical_rows(*flag, flag->columns[0], 0, std::span(logicals)));
         }},
        {"decode_columns_blockwise",
         [&] {
             ColumnTarget target{&c[4], {}, std::span(ints), 0, {}};
             return fail_of(decode_columns_blockwise(t, std::span(&target, 1)));
         }},
        {"bin_cell_text", [&] { return fail_of(bin_cell_text(t, c[9], 2)); }},
        {"decode_bin_rows", [&] { return fail_of(decode_bin_rows(t, c[9], 0, 4)); }},
        {"decode_bin_column", [&] { return fail_of(decode_bin_column(t, c[1])); }},
    };
    for (const auto& [name, call] : calls) {
        const std::string want = name == "decode_logical_rows" ? "(4 bytes)" : "(328 bytes)";
        EXPECT_EQ(call(), "data: BINTABLE data section " + want + " has not been read") << name;
    }
    t.data = DataBuf::borrowed(s.data);
    flag->data = DataBuf::borrowed(flag_bytes);
    for (const auto& [name, call] : calls)
        EXPECT_EQ(call(), "") << name;
}

// ---------------------------------------------------------------- a file from another writer

Bytes gunzip_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const Bytes packed((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    z_stream zs{};
    EXPECT_EQ(inflateInit2(&zs, 15 + 32), Z_OK);
    zs.next_in = const_cast<Bytef*>(packed.data());
    zs.avail_in = static_cast<uInt>(packed.size());
    Bytes out;
    std::uint8_t buf[65536];
    int rc = Z_OK;
    while (rc == Z_OK) {
        zs.next_out = buf;
        zs.avail_out = sizeof buf;
        rc = inflate(&zs, Z_NO_FLUSH);
        out.insert(out.end(), buf, buf + (sizeof buf - zs.avail_out));
    }
    EXPECT_EQ(rc, Z_STREAM_END);
    inflateEnd(&zs);
    return out;
}

TEST(BinTableInterop, EveryColumnKind) {
    const Bytes file = gunzip_file(std::string(VEXLO_TEST_DATA) + "/bintable.fits.gz");
    ASSERT_GT(file.size(), 2880u);
    auto primary = Header::parse(file, 0, false);
    ASSERT_TRUE(primary.has_value()) << primary.error().message();
    const std::uint64_t ext = primary->second;  // the primary HDU has no data
    auto parsed = Header::parse(ByteSpan(file).subspan(ext), 0, false);
    ASSERT_TRUE(parsed.has_value()) << parsed.error().message();
    Header header = parsed->first;
    const std::uint64_t data_start = ext + parsed->second;
    const std::uint64_t len = static_cast<std::uint64_t>(*header.naxisn(1) * *header.naxisn(2)) +
                              static_cast<std::uint64_t>(*header.get_i64("PCOUNT"));
    auto t =
        BinTableHdu::create_borrowed(std::move(header), ByteSpan(file).subspan(data_start, len));
    ASSERT_TRUE(t.has_value()) << t.error().message();
    ASSERT_EQ(t->n_rows, 7u);
    ASSERT_EQ(t->columns.size(), 17u);

    auto col = [&](std::string_view name) -> const BinColumn& {
        const BinColumn* c = t->find_column(name);
        EXPECT_NE(c, nullptr) << name;
        return *c;
    };
    auto cells = [&](std::string_view name) {
        std::vector<BinValue> out;
        for (std::uint64_t r = 0; r < t->n_rows; ++r) {
            auto v = t->read_cell(r, col(name));
            EXPECT_TRUE(v.has_value()) << name << " row " << r << ": " << v.error().message();
            out.push_back(*v);
        }
        return out;
    };
    // Sums of a numeric column's physical values in row order, as a double.
    auto sum = [&](std::string_view name) {
        double s = 0.0;
        for (const BinValue& v : cells(name)) {
            std::visit(
                [&](const auto& x) {
                    using T = std::decay_t<decltype(x)>;
                    if constexpr (std::is_same_v<T, BinValue::Int> ||
                                  std::is_same_v<T, BinValue::Uint>) {
                        for (const auto& e : x.values)
                            s += static_cast<double>(e.value());
                    } else if constexpr (std::is_same_v<T, BinValue::Float> ||
                                         std::is_same_v<T, BinValue::F32> ||
                                         std::is_same_v<T, BinValue::F64>) {
                        for (const auto e : x.values)
                            s += static_cast<double>(e);
                    } else {
                        ADD_FAILURE() << name << " is not numeric: " << v.debug();
                    }
                },
                v.value);
        }
        return s;
    };

    // The reference numbers below come from the fixture's expected.json.
    const std::vector<BinValue> l = cells("L");
    for (std::size_t r = 0; r < 7; ++r) {
        EXPECT_EQ(l[r], BinValue{BinValue::Logical{{r % 2 == 0}}}) << r;
    }
    // X: bits 1,0,1,1,0,0,0,1,1,1,0 in every row.
    for (const BinValue& v : cells("X")) {
        EXPECT_EQ(v, (BinValue{BinValue::Bits{{0xB1, 0xC0}, 11}})) << v.debug();
    }
    EXPECT_EQ(sum("B"), 21.0);
    EXPECT_EQ(sum("I"), 0.0);
    EXPECT_EQ(sum("J"), 2100000.0);
    EXPECT_EQ(sum("K"), 21000000000000.0);
    EXPECT_DOUBLE_EQ(sum("E"), 3.500000014901161);
    EXPECT_NEAR(sum("D"), -2.220446049250313e-16, 1e-30);
    EXPECT_EQ(sum("U16"), 210000.0);
    EXPECT_EQ(cells("U16")[0].kind(), BinValue::Kind::Uint);
    EXPECT_EQ(sum("SC"), 80.5);
    EXPECT_EQ(cells("SC")[0].kind(), BinValue::Kind::Float);
    // NUL: expected.json sums the stored values (-177, no NaN), so its two -99 elements were
    // not taken as undefined there; here TNULL15 = -99 makes them nulls.
    std::vector<std::int64_t> nul(7);
    std::vector<std::uint8_t> nul_mask(7);
    EXPECT_EQ(*t->read_column(col("NUL"), 0, 7, std::span(nul), std::span(nul_mask)), 2u);
    EXPECT_EQ(nul_mask, (std::vector<std::uint8_t>{0, 1, 0, 0, 1, 0, 0}));
    std::int64_t nul_sum = 0;
    for (std::size_t r = 0; r < 7; ++r)
        nul_sum += nul_mask[r] ? -99 : nul[r];
    EXPECT_EQ(nul_sum, -177);
    EXPECT_EQ(cells("NUL")[1], ints({std::nullopt}));
    EXPECT_EQ(sum("VEC"), 861.0);
    EXPECT_EQ(std::get<BinValue::F32>(cells("VEC")[0].value).values.size(), 6u);
    EXPECT_EQ(col("VEC").tdim, (std::vector<std::uint64_t>{3, 2}));

    const std::vector<std::string> names = {"alpha", "beta", "gamma", "", "e", "zeta zeta", "eta"};
    const std::vector<BinValue> a = cells("A");
    for (std::size_t r = 0; r < 7; ++r)
        EXPECT_EQ(a[r], BinValue{BinValue::Str{names[r]}}) << r;
    const std::vector<BinValue> c = cells("C");
    const std::vector<BinValue> m = cells("M");
    for (std::size_t r = 0; r < 7; ++r) {
        const float f = static_cast<float>(r);
        EXPECT_EQ(c[r], (BinValue{BinValue::C64{{{f, f}}}})) << c[r].debug();
        EXPECT_EQ(m[r], (BinValue{BinValue::C128{{{static_cast<double>(r), -1.0}}}}));
    }

    const std::vector<BinValue> p = cells("VLA_P");
    for (std::size_t r = 0; r < 7; ++r) {
        std::vector<std::optional<std::int64_t>> want;
        for (std::size_t k = 0; k < r; ++k)
            want.push_back(static_cast<std::int64_t>(k));
        const auto& inner = *std::get<BinValue::Vla>(p[r].value).inner;
        EXPECT_EQ(inner, ints(want)) << inner.debug();
    }
    const std::vector<std::vector<double>> q_want = {
        {0.0, 0.5, 1.0},
        {},
        {0.0},
        {0.0, 0.25, 0.5, 0.75, 1.0},
        {0.0, 1.0},
        {0.0, 1.0},
        {0.0, 0.3333333333333333, 0.6666666666666666, 1.0}};
    const std::vector<BinValue> q = cells("VLA_Q");
    for (std::size_t r = 0; r < 7; ++r) {
        const auto& inner = *std::get<BinValue::Vla>(q[r].value).inner;
        // The empty row too is an array of the column's doubles.
        EXPECT_EQ(inner, BinValue{BinValue::F64{q_want[r]}}) << inner.debug();
    }

    // Whole-column reads give the same sums.
    std::vector<double> sc(7);
    EXPECT_EQ(*t->read_column(col("SC"), 0, 7, std::span(sc), {}), 0u);
    double sc_sum = 0.0;
    for (double x : sc)
        sc_sum += x;
    EXPECT_EQ(sc_sum, 80.5);
    std::vector<std::uint64_t> u16(7);
    EXPECT_EQ(*t->read_column(col("U16"), 0, 7, std::span(u16), {}), 0u);
    std::uint64_t u16_sum = 0;
    for (auto x : u16)
        u16_sum += x;
    EXPECT_EQ(u16_sum, 210000u);
    std::vector<float> vec(42);
    EXPECT_EQ(*t->read_column(col("VEC"), 0, 7, std::span(vec), {}), 0u);
    double vec_sum = 0.0;
    for (float x : vec)
        vec_sum += x;
    EXPECT_EQ(vec_sum, 861.0);
}

}  // namespace
}  // namespace vexlo
