#include "hdu/ascii_table.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "table_fixture.hpp"

namespace vexlo {

// Failure messages show fields readably.
static void PrintTo(const AsciiValue& v, std::ostream* os) {
    switch (v.kind()) {
        case AsciiValue::Kind::Str:
            *os << "Str(" << std::get<std::string>(v.value) << ")";
            break;
        case AsciiValue::Kind::Int:
            *os << "Int(" << std::get<std::int64_t>(v.value) << ")";
            break;
        case AsciiValue::Kind::Float:
            *os << "Float(" << std::get<double>(v.value) << ")";
            break;
    }
}

namespace {

using namespace table_testing;

Cards table_cards(std::uint64_t naxis1, std::uint64_t naxis2, const Cards& columns) {
    Cards c = {{"XTENSION", "'TABLE'"},
               {"BITPIX", "8"},
               {"NAXIS", "2"},
               {"NAXIS1", std::to_string(naxis1)},
               {"NAXIS2", std::to_string(naxis2)},
               {"PCOUNT", "0"},
               {"GCOUNT", "1"}};
    c.insert(c.end(), columns.begin(), columns.end());
    return c;
}

Bytes text_bytes(std::string_view s) {
    return Bytes(s.begin(), s.end());
}

AsciiValue str_v(std::string s) {
    return AsciiValue{std::move(s)};
}
AsciiValue int_v(std::int64_t v) {
    return AsciiValue{v};
}
AsciiValue real_v(double v) {
    return AsciiValue{v};
}

// ---------------------------------------------------------------- formats

TEST(AsciiFormat, ParsesValidForms) {
    using K = AsciiFormat::Kind;
    struct Case {
        std::string text;
        K kind;
        std::uint64_t width;
        std::uint64_t decimals;
    };
    const std::vector<Case> cases = {
        {"A10", K::A, 10, 0},     {"a10", K::A, 10, 0},    {"A0", K::A, 0, 0},
        {"I5", K::I, 5, 0},       {"i5", K::I, 5, 0},      {" I +7 ", K::I, 7, 0},
        {"F8.3", K::F, 8, 3},     {"f8.3", K::F, 8, 3},    {"E14.6", K::E, 14, 6},
        {"D20.12", K::D, 20, 12}, {"F 8 . 0", K::F, 8, 0}, {"e0.0", K::E, 0, 0},
    };
    for (const Case& c : cases) {
        auto f = AsciiFormat::parse(c.text);
        ASSERT_TRUE(f.has_value()) << c.text << ": " << f.error().message();
        EXPECT_EQ(f->kind, c.kind) << c.text;
        EXPECT_EQ(f->width, c.width) << c.text;
        EXPECT_EQ(f->decimals, c.decimals) << c.text;
    }
}

TEST(AsciiFormat, RefusesMalformedForms) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", "empty TFORM"},
        {"  ", "empty TFORM"},
        {"A", "invalid width in `A`"},
        {"I-5", "invalid width in `I-5`"},
        {"A1x", "invalid width in `A1x`"},
        {"I99999999999999999999", "invalid width in `I99999999999999999999`"},
        {"F8", "`F8` requires `w.d` form"},
        {" e8 ", "` e8 ` requires `w.d` form"},
        {"F8.x", "invalid precision in `F8.x`"},
        {"F8.", "invalid precision in `F8.`"},
        {"D8.3.1", "invalid precision in `D8.3.1`"},
        {"F.3", "invalid width in `F.3`"},
        {"X5", "ASCII tables: unsupported format kind `X`"},
        {"x5", "ASCII tables: unsupported format kind `X`"},
        {"5A", "ASCII tables: unsupported format kind `5`"},
        {"\xC3\xA9"
         "5",
         "ASCII tables: unsupported format kind `\xC3\xA9`"},
    };
    for (const auto& [text, msg] : cases) {
        expect_error(AsciiFormat::parse(text), Error::Kind::Value, "TFORM", msg, text);
    }
}

// ---------------------------------------------------------------- construction

TEST(AsciiTableHdu, BuildsColumnsFromKeywords) {
    const Cards cards = table_cards(20, 1,
                                    {{"TFIELDS", "3"},
                                     {"TTYPE1", "'  name '"},
                                     {"TFORM1", "'A5'"},
                                     {"TBCOL1", "1"},
                                     {"TNULL1", "'x'"},
                                     {"TUNIT1", "' s '"},
                                     {"TDISP1", "' A5 '"},
                                     {"TFORM2", "'I5'"},
                                     {"TBCOL2", "6"},
                                     {"TSCAL2", "2"},
                                     {"TZERO2", "1.5"},
                                     {"TNULL2", "' -- '"},
                                     {"TFORM3", "'E9.2'"},
                                     {"TBCOL3", "12"},
                                     {"TNULL3", "99"}});
    auto t = AsciiTableHdu::create(make_header(cards), Bytes(20, ' '));
    ASSERT_TRUE(t.has_value()) << t.error().message();
    EXPECT_EQ(t->row_size, 20u);
    EXPECT_EQ(t->n_rows, 1u);
    ASSERT_EQ(t->columns.size(), 3u);
    const AsciiColumn& a = t->columns[0];
    EXPECT_EQ(a.index, 1u);
    EXPECT_EQ(a.name, "name");
    EXPECT_EQ(a.unit, "s");
    EXPECT_EQ(a.start, 1u);
    EXPECT_EQ(a.format.kind, AsciiFormat::Kind::A);
    EXPECT_EQ(a.tnull, std::nullopt);  // never read for A columns
    EXPECT_EQ(a.tdisp, "A5");
    const AsciiColumn& i = t->columns[1];
    EXPECT_EQ(i.name, "");
    EXPECT_EQ(i.start, 6u);
    EXPECT_EQ(i.tscal, 2.0);
    EXPECT_EQ(i.tzero, 1.5);
    EXPECT_EQ(i.tnull, " --");  // as the header gives it (trailing blanks end a string)
    EXPECT_EQ(i.tdisp, std::nullopt);
    EXPECT_EQ(t->columns[2].tnull, std::nullopt);  // not a string value
    EXPECT_EQ(t->columns[2].tscal, 1.0);
    EXPECT_EQ(t->columns[2].tzero, 0.0);
}

TEST(AsciiTableHdu, ConstructionFailures) {
    const Cards base = table_cards(8, 2,
                                   {{"TFIELDS", "2"},
                                    {"TFORM1", "'I5'"},
                                    {"TBCOL1", "1"},
                                    {"TFORM2", "'A3'"},
                                    {"TBCOL2", "6"}});
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
         "ASCII table requires BITPIX = 8"},
        {"naxis", replace(base, "NAXIS", "1"), 16, Error::Kind::Value, "NAXIS",
         "ASCII table requires NAXIS = 2"},
        {"size", replace(replace(base, "NAXIS1", "4294967296"), "NAXIS2", "4294967296"), 0,
         Error::Kind::Data, "", "ASCII table size overflows usize"},
        {"short", base, 15, Error::Kind::Data, "",
         "ASCII table data slice 15 bytes does not match row_size*n_rows = 16"},
        {"long despite PCOUNT", replace(base, "PCOUNT", "1"), 17, Error::Kind::Data, "",
         "ASCII table data slice 17 bytes does not match row_size*n_rows = 16"},
        {"tfields missing", erase(base, "TFIELDS"), 16, Error::Kind::MissingMandatory, "TFIELDS",
         ""},
        {"tfields negative", replace(base, "TFIELDS", "-2"), 16, Error::Kind::Value, "TFIELDS",
         "TFIELDS must be >= 0, got -2"},
        {"tfields huge", replace(base, "TFIELDS", "9223372036854775807"), 16,
         Error::Kind::MissingMandatory, "TFORM3", ""},
        {"tform missing", erase(base, "TFORM2"), 16, Error::Kind::MissingMandatory, "TFORM2", ""},
        {"tform text", replace(base, "TFORM2", "'Z3'"), 16, Error::Kind::Value, "TFORM",
         "ASCII tables: unsupported format kind `Z`"},
        {"tbcol missing", erase(base, "TBCOL2"), 16, Error::Kind::MissingMandatory, "TBCOL2", ""},
        {"tbcol zero", replace(base, "TBCOL2", "0"), 16, Error::Kind::Value, "TBCOL2",
         "TBCOL must be >= 1, got 0"},
        {"tbcol negative", replace(base, "TBCOL1", "-4"), 16, Error::Kind::Value, "TBCOL1",
         "TBCOL must be >= 1, got -4"},
        {"overlap", replace(base, "TBCOL2", "5"), 16, Error::Kind::Value, "TBCOL2",
         "ASCII-table fields overlap: column 1 ends at byte 6 but column 2 starts at byte 5 "
         "(Sec.7.2.2)"},
        // Ordered by start: column 2 comes first and column 1 overlaps it.
        {"overlap reversed", replace(replace(base, "TBCOL1", "4"), "TBCOL2", "2"), 16,
         Error::Kind::Value, "TBCOL1",
         "ASCII-table fields overlap: column 2 ends at byte 5 but column 1 starts at byte 4 "
         "(Sec.7.2.2)"},
        // Equal starts keep column order: column 2 is the one that overlaps.
        {"same start", replace(base, "TBCOL2", "1"), 16, Error::Kind::Value, "TBCOL2",
         "ASCII-table fields overlap: column 1 ends at byte 6 but column 2 starts at byte 1 "
         "(Sec.7.2.2)"},
        {"past end", replace(base, "TBCOL2", "7"), 16, Error::Kind::Value, "TBCOL2",
         "field 2 (TBCOL=7, width=3) extends past row end (NAXIS1=8)"},
        {"extent overflow", replace(base, "TFORM2", "'A18446744073709551615'"), 16,
         Error::Kind::Value, "TBCOL2", "TBCOL + width overflows"},
        // The end of an earlier field (in start order) overflowing is reported as such
        // instead of wrapping around into a bogus overlap verdict.
        {"overlap overflow",
         replace(replace(base, "TFORM1", "'A18446744073709551615'"), "TBCOL2", "9"), 16,
         Error::Kind::Value, "TBCOL1", "TBCOL + width overflows"},
    };
    for (const Case& c : cases) {
        expect_error(AsciiTableHdu::create(make_header(c.cards), Bytes(c.data_len, ' ')), c.kind,
                     c.keyword, c.msg, c.name);
        const Bytes borrowed(c.data_len, ' ');
        expect_error(AsciiTableHdu::create_borrowed(make_header(c.cards), borrowed), c.kind,
                     c.keyword, c.msg, c.name + " (borrowed)");
    }
}

TEST(AsciiTableHdu, LayoutsThatAreAccepted) {
    const Cards base = table_cards(8, 1,
                                   {{"TFIELDS", "2"},
                                    {"TFORM1", "'I5'"},
                                    {"TBCOL1", "1"},
                                    {"TFORM2", "'A3'"},
                                    {"TBCOL2", "6"}});
    const std::vector<std::pair<std::string, Cards>> cases = {
        {"touching, last byte used", base},
        {"gap", replace(replace(base, "TFORM2", "'A2'"), "TBCOL2", "7")},
        {"zero width at row end", replace(replace(base, "TFORM2", "'A0'"), "TBCOL2", "9")},
        {"reverse order", replace(replace(base, "TBCOL1", "4"), "TBCOL2", "1")},
        {"no columns", replace(base, "TFIELDS", "0")},
    };
    for (const auto& [name, cards] : cases) {
        auto t = AsciiTableHdu::create(make_header(cards), Bytes(8, ' '));
        EXPECT_TRUE(t.has_value()) << name << ": " << t.error().message();
    }
}

TEST(AsciiTableHdu, IntoPartsCopiesBorrowedBytes) {
    const Cards cards = table_cards(3, 2, {{"TFIELDS", "1"}, {"TFORM1", "'I3'"}, {"TBCOL1", "1"}});
    const Bytes bytes = text_bytes(" 12-45");
    auto t = AsciiTableHdu::create_borrowed(make_header(cards), bytes);
    ASSERT_TRUE(t.has_value());
    EXPECT_EQ(t->data.data(), bytes.data());
    const AsciiTableHdu copy = *t;
    EXPECT_EQ(**copy.read_cell(1, copy.columns[0]), int_v(-45));
    OwnedHdu parts = std::move(*t).into_parts();
    EXPECT_EQ(parts.data, bytes);
    EXPECT_NE(parts.data.data(), bytes.data());
    EXPECT_EQ(parts.header.bytes(), make_header(cards).bytes());
}

// ---------------------------------------------------------------- fields

// A one-row, one-column table holding `field` under `tform` with extra column keywords.
Result<std::optional<AsciiValue>> read_one(const std::string& tform, const std::string& field,
                                           const Cards& extra = {}) {
    Cards cols = {{"TFIELDS", "1"}, {"TFORM1", "'" + tform + "'"}, {"TBCOL1", "1"}};
    cols.insert(cols.end(), extra.begin(), extra.end());
    auto t =
        AsciiTableHdu::create(make_header(table_cards(field.size(), 1, cols)), text_bytes(field));
    if (!t) return std::unexpected(t.error());
    return t->read_cell(0, t->columns[0]);
}

TEST(AsciiCell, ReadsByFortranRules) {
    struct Case {
        std::string tform;
        std::string field;
        Cards extra;
        std::optional<AsciiValue> want;
    };
    const Cards scaled = {{"TSCAL1", "2"}, {"TZERO1", "1"}};
    const Cards stars = {{"TNULL1", "'***'"}};
    const std::vector<Case> cases = {
        {"F8.3", "   12345", {}, real_v(12.345)},
        {"F8.3", "     1.5", {}, real_v(1.5)},
        {"F8.3", " 12345E2", {}, real_v(1234.5)},
        {"F8.3", "   1.5-3", {}, real_v(0.0015)},
        {"F8.3", "  1.5D+2", {}, real_v(150.0)},
        {"F8.3", "     -.5", {}, real_v(-0.5)},
        {"F8.3", "    +5. ", {}, real_v(5.0)},
        {"F8.3", "  1.5e+2", {}, real_v(150.0)},
        {"F8.3", "  1.5d-1", {}, real_v(0.15)},
        {"F8.3", "     -12", {}, real_v(-0.012)},
        {"F8.3", "        ", {}, real_v(0.0)},
        {"F8.3", "        ", {{"TZERO1", "4.5"}}, real_v(4.5)},
        {"F8.3", "     2.5", scaled, real_v(6.0)},
        {"E12.4", "   .1000E+01", {}, real_v(1.0)},
        {"D20.12", "  3.141592653590D+00", {}, real_v(3.14159265359)},
        {"E8.2", "1.0E-400", {}, real_v(0.0)},
        {"E8.2", " 1.0E400", {}, real_v(std::numeric_limits<double>::infinity())},
        {"I5", "  -42", {}, int_v(-42)},
        {"I5", "+0042", {}, int_v(42)},
        {"I5", "     ", {}, int_v(0)},
        {"I5", "     ", {{"TZERO1", "7"}}, real_v(7.0)},
        {"I5", "     ", {{"TSCAL1", "3"}}, real_v(0.0)},
        {"I5", "    5", scaled, real_v(11.0)},
        {"I20", " 9223372036854775807", {}, int_v(9223372036854775807)},
        {"A10", "AB        ", {}, str_v("AB        ")},
        {"A6", "  AB  ", {}, str_v("  AB  ")},
        {"A3", "***", stars, str_v("***")},  // A columns never have a TNULL
        {"E10.3", "   ***    ", stars, std::nullopt},
        {"E10.3", "          ", stars, real_v(0.0)},
        {"I5", "  ** ", {{"TNULL1", "' **  '"}}, std::nullopt},
        {"I5",
         " \xC2\xA0"
         "7 ",
         {},
         int_v(7)},  // Unicode white space is trimmed
    };
    for (const Case& c : cases) {
        auto v = read_one(c.tform, c.field, c.extra);
        ASSERT_TRUE(v.has_value()) << c.tform << " [" << c.field << "]: " << v.error().message();
        EXPECT_EQ(*v, c.want) << c.tform << " [" << c.field << "]";
    }
}

TEST(AsciiCell, RefusesMalformedFields) {
    const std::vector<std::tuple<std::string, std::string, std::string>> cases = {
        {"I5", "  1 2", "ASCII table row 0 col 1: not an integer: `  1 2`"},
        {"I5", " 12.0", "ASCII table row 0 col 1: not an integer: ` 12.0`"},
        {"I5", "  1e3", "ASCII table row 0 col 1: not an integer: `  1e3`"},
        {"I5", "    -", "ASCII table row 0 col 1: not an integer: `    -`"},
        {"I20", " 9223372036854775808",
         "ASCII table row 0 col 1: not an integer: ` 9223372036854775808`"},
        {"F8.3", "    1.5E", "ASCII table row 0 col 1: not a real: `    1.5E`"},
        {"F8.3", "      E5", "ASCII table row 0 col 1: not a real: `      E5`"},
        {"F8.3", "   1.2.3", "ASCII table row 0 col 1: not a real: `   1.2.3`"},
        {"F8.3", "     1 5", "ASCII table row 0 col 1: not a real: `     1 5`"},
        {"F8.3", "       .", "ASCII table row 0 col 1: not a real: `       .`"},
        {"F8.3", "       -", "ASCII table row 0 col 1: not a real: `       -`"},
        {"F8.3", "   1.5E+", "ASCII table row 0 col 1: not a real: `   1.5E+`"},
        {"F8.3", "  1.5E2x", "ASCII table row 0 col 1: not a real: `  1.5E2x`"},
        {"F8.3", "  1.5--2", "ASCII table row 0 col 1: not a real: `  1.5--2`"},
        {"F8.3", "   nan  ", "ASCII table row 0 col 1: not a real: `   nan  `"},
        {"F8.3", "     inf", "ASCII table row 0 col 1: not a real: `     inf`"},
    };
    for (const auto& [tform, field, msg] : cases) {
        expect_error(read_one(tform, field), Error::Kind::Data, "", msg, tform + " " + field);
    }
    expect_error(read_one("A3",
                          "a\xFF"
                          "b"),
                 Error::Kind::Data, "", "ASCII table row 0 col 1 contains non-UTF8 bytes");
}

TEST(AsciiCell, RowsAndForeignColumns) {
    const Cards cards = table_cards(9, 3,
                                    {{"TFIELDS", "2"},
                                     {"TFORM1", "'I4'"},
                                     {"TBCOL1", "1"},
                                     {"TFORM2", "'F5.1'"},
                                     {"TBCOL2", "5"}});
    auto t = AsciiTableHdu::create(make_header(cards), text_bytes("   1  2.5"
                                                                  " -20 1E1x"
                                                                  "   0     "));
    ASSERT_TRUE(t.has_value()) << t.error().message();
    EXPECT_EQ(**t->read_cell(0, t->columns[0]), int_v(1));
    EXPECT_EQ(**t->read_cell(0, t->columns[1]), real_v(2.5));
    EXPECT_EQ(**t->read_cell(1, t->columns[0]), int_v(-20));
    expect_error(t->read_cell(1, t->columns[1]), Error::Kind::Data, "",
                 "ASCII table row 1 col 2: not a real: ` 1E1x`");
    EXPECT_EQ(**t->read_cell(2, t->columns[1]), real_v(0.0));
    expect_error(t->read_cell(3, t->columns[0]), Error::Kind::Data, "",
                 "row 3 out of range (n_rows = 3)");

    AsciiColumn foreign = t->columns[1];
    foreign.start = 7;
    expect_error(t->read_cell(0, foreign), Error::Kind::Value, "TBCOL2",
                 "field 2 (TBCOL=7, width=5) extends past row end (NAXIS1=9)");
}

// ---------------------------------------------------------------- a file from another writer

TEST(AsciiTableInterop, Catalogue) {
    std::ifstream in(std::string(VEXLO_TEST_DATA) + "/ascii_table.fits", std::ios::binary);
    const Bytes file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto primary = Header::parse(file, 0, false);
    ASSERT_TRUE(primary.has_value()) << primary.error().message();
    const std::uint64_t ext = primary->second;  // the primary HDU has no data
    auto parsed = Header::parse(ByteSpan(file).subspan(ext), 0, false);
    ASSERT_TRUE(parsed.has_value()) << parsed.error().message();
    const std::uint64_t data_start = ext + parsed->second;
    auto t =
        AsciiTableHdu::create_borrowed(parsed->first, ByteSpan(file).subspan(data_start, 58 * 3));
    ASSERT_TRUE(t.has_value()) << t.error().message();
    ASSERT_EQ(t->n_rows, 3u);
    ASSERT_EQ(t->columns.size(), 5u);

    auto column = [&](std::string_view name) {
        std::vector<AsciiValue> out;
        for (const AsciiColumn& c : t->columns) {
            if (c.name != name) continue;
            for (std::uint64_t r = 0; r < t->n_rows; ++r) {
                auto v = t->read_cell(r, c);
                EXPECT_TRUE(v.has_value() && v->has_value()) << name << " row " << r;
                if (v && *v) out.push_back(**v);
            }
        }
        EXPECT_EQ(out.size(), 3u) << name;
        return out;
    };
    auto sum = [&](std::string_view name) {
        double s = 0.0;
        for (const AsciiValue& v : column(name)) {
            s += v.kind() == AsciiValue::Kind::Int
                     ? static_cast<double>(std::get<std::int64_t>(v.value))
                     : std::get<double>(v.value);
        }
        return s;
    };

    // The reference numbers below come from the fixture's expected.json, which lists the
    // names without their trailing blanks; the A8 fields keep them here.
    EXPECT_EQ(column("NAME"),
              (std::vector<AsciiValue>{str_v("m31     "), str_v("m33     "), str_v("ngc1300 ")}));
    EXPECT_EQ(column("N")[1], int_v(-20));
    EXPECT_EQ(sum("N"), 281.0);
    EXPECT_EQ(sum("F"), 999.25);
    EXPECT_DOUBLE_EQ(sum("E"), 6.02e+23);
    EXPECT_DOUBLE_EQ(sum("D"), 0.42331082513100027);
}

}  // namespace
}  // namespace vexlo
