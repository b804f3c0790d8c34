#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "header/header.hpp"
#include "header_fixture.hpp"

namespace vexlo {
namespace {

using testing::header_of;
using testing::kv;

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();

TEST(HeaderGetters, GetI64AcceptsIntegersAndIntegralReals) {
    struct Case {
        const char* value_text;
        std::optional<std::int64_t> expected;
    };
    const std::vector<Case> cases = {
        {"42", 42},
        {"-7", -7},
        {"-9223372036854775808", kMin},
        {"3.0", 3},
        {"-7.0E0", -7},
        {"1.0D3", 1000},
        {"9.223372036854775808E18", kMax},  // exactly 2^63 saturates
        {"-9.223372036854775808E18", kMin},
        {"9223372036854775808", kMax},  // too large for an integer: a real 2^63
        {"1.5", std::nullopt},
        {"-0.5", std::nullopt},
        {"NaN", std::nullopt},
        {"inf", std::nullopt},
        {"-inf", std::nullopt},
        {"1E19", std::nullopt},
        {"-1E19", std::nullopt},
        {"'42'", std::nullopt},
        {"T", std::nullopt},
        {"(1, 2)", std::nullopt},
        {"", std::nullopt},
        {"abc", std::nullopt},
    };
    for (const auto& c : cases) {
        Header h = header_of({kv("KEY", c.value_text)});
        EXPECT_EQ(h.get_i64("KEY"), c.expected) << c.value_text;
    }
    Header h = header_of({"COMMENT   5", kv("A", "1")});
    EXPECT_FALSE(h.get_i64("MISSING"));
    EXPECT_FALSE(h.get_i64("COMMENT"));
}

TEST(HeaderGetters, GetF64AndGetStr) {
    Header h = header_of({
        kv("BIG", "9007199254740993"),
        kv("R", "1.5D2"),
        kv("NEG", "-0.25"),
        kv("S", "'a''b   '"),
        kv("L", "'abc&'"),
        "CONTINUE  'def'",
        kv("T", "T"),
        kv("U", ""),
        kv("BAD", "xyz"),
        kv("C", "(1.0, 2.0)"),
        "COMMENT   text",
    });
    EXPECT_EQ(h.get_f64("BIG"), 9007199254740992.0);  // ties to even
    EXPECT_EQ(h.get_f64("R"), 150.0);
    EXPECT_EQ(h.get_f64("NEG"), -0.25);
    EXPECT_FALSE(h.get_f64("S"));
    EXPECT_FALSE(h.get_f64("T"));
    EXPECT_FALSE(h.get_f64("C"));
    EXPECT_FALSE(h.get_f64("MISSING"));

    EXPECT_EQ(h.get_str("S"), "a'b");
    EXPECT_EQ(h.get_str("L"), "abcdef");
    EXPECT_FALSE(h.get_str("BAD"));  // Unparsed text is not a string
    EXPECT_FALSE(h.get_str("U"));
    EXPECT_FALSE(h.get_str("R"));
    EXPECT_FALSE(h.get_str("COMMENT"));
}

TEST(HeaderGetters, RequireI64) {
    Header h = header_of({
        kv("I", "12"),
        kv("R", "2.0"),
        kv("E", "1E-7"),
        kv("G", "1E16"),
        kv("L", "T"),
        kv("S", "'abc'"),
        kv("U", ""),
        kv("X", "abc"),
        kv("C", "(1, 2)"),
        kv("DATE_OBS", "5"),
        "COMMENT   7",
        "END",
    });
    EXPECT_EQ(h.require_i64("I"), 12);
    EXPECT_EQ(h.require_i64("DATE-OBS"), 5);
    struct Case {
        const char* key;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"R", "value for keyword `R`: expected integer, found Real(2.0)"},
        {"E", "value for keyword `E`: expected integer, found Real(1e-7)"},
        {"G", "value for keyword `G`: expected integer, found Real(1e16)"},
        {"L", "value for keyword `L`: expected integer, found Logical(true)"},
        {"S", "value for keyword `S`: expected integer, found String(\"abc\")"},
        {"U", "value for keyword `U`: expected integer, found Undefined"},
        {"X", "value for keyword `X`: expected integer, found Unparsed(\"abc\")"},
        {"C", "value for keyword `C`: expected integer, found ComplexInteger(1, 2)"},
        {"MISSING", "missing mandatory keyword `MISSING`"},
        {"MISS-ING", "missing mandatory keyword `MISS-ING`"},
        {"COMMENT", "missing mandatory keyword `COMMENT`"},
        {"END", "missing mandatory keyword `END`"},
    };
    for (const auto& c : cases) {
        auto r = h.require_i64(c.key);
        ASSERT_FALSE(r) << c.key;
        EXPECT_EQ(r.error().message(), c.message);
    }
    auto r = h.require_i64("R");
    EXPECT_EQ(r.error().kind, Error::Kind::Value);
    EXPECT_EQ(r.error().keyword, "R");
    EXPECT_EQ(h.require_i64("MISSING").error().kind, Error::Kind::MissingMandatory);
}

TEST(HeaderGetters, BitpixAndNaxis) {
    for (const char* ok : {"8", "16", "32", "64", "-32", "-64"}) {
        EXPECT_EQ(header_of({kv("BITPIX", ok)}).bitpix(), std::stoll(ok)) << ok;
    }
    struct Case {
        std::vector<std::string> cards;
        std::string bitpix_error;
        std::string naxis_error;
    };
    const std::vector<Case> cases = {
        {{kv("BITPIX", "24"), kv("NAXIS", "-1")},
         "value for keyword `BITPIX`: illegal BITPIX value 24",
         "value for keyword `NAXIS`: NAXIS must be in 0..=999, got -1"},
        {{kv("BITPIX", "0"), kv("NAXIS", "1000")},
         "value for keyword `BITPIX`: illegal BITPIX value 0",
         "value for keyword `NAXIS`: NAXIS must be in 0..=999, got 1000"},
        {{kv("BITPIX", "-8"), kv("NAXIS", "3.0")},
         "value for keyword `BITPIX`: illegal BITPIX value -8",
         "value for keyword `NAXIS`: expected integer, found Real(3.0)"},
        {{kv("BITPIX", "16.0")},
         "value for keyword `BITPIX`: expected integer, found Real(16.0)",
         "missing mandatory keyword `NAXIS`"},
        {{"COMMENT   nothing"},
         "missing mandatory keyword `BITPIX`",
         "missing mandatory keyword `NAXIS`"},
    };
    for (const auto& c : cases) {
        Bytes b;
        for (const auto& t : c.cards)
            append_bytes(b, testing::card(t));
        Header h(b);
        auto bp = h.bitpix();
        ASSERT_FALSE(bp) << c.bitpix_error;
        EXPECT_EQ(bp.error().message(), c.bitpix_error);
        auto n = h.naxis();
        ASSERT_FALSE(n) << c.naxis_error;
        EXPECT_EQ(n.error().message(), c.naxis_error);
    }
    EXPECT_EQ(header_of({kv("NAXIS", "999")}).naxis(), 999u);
    EXPECT_EQ(header_of({kv("NAXIS", "0")}).naxis(), 0u);
    // A real NAXIS is usable by the optional getter but never by the required one.
    Header real = header_of({kv("NAXIS", "3.0")});
    EXPECT_EQ(real.get_i64("NAXIS"), 3);
    EXPECT_FALSE(real.naxis());
}

TEST(HeaderGetters, NaxisnAndAxes) {
    Header h = header_of({
        kv("NAXIS", "3"),
        kv("NAXIS0", "1"),
        kv("NAXIS1", "10"),
        kv("NAXIS2", "-5"),
        kv("NAXIS1000", "1"),
    });
    EXPECT_EQ(h.naxisn(1), 10u);
    struct Case {
        std::uint64_t n;
        std::string message;
    };
    const std::vector<Case> cases = {
        {0, "value for keyword `NAXIS0`: axis index out of range"},
        {1000, "value for keyword `NAXIS1000`: axis index out of range"},
        {18446744073709551615ull,
         "value for keyword `NAXIS18446744073709551615`: axis index out of range"},
        {2, "value for keyword `NAXIS2`: NAXIS2 must be non-negative, got -5"},
        {3, "missing mandatory keyword `NAXIS3`"},
    };
    for (const auto& c : cases) {
        auto r = h.naxisn(c.n);
        ASSERT_FALSE(r) << c.n;
        EXPECT_EQ(r.error().message(), c.message);
    }
    EXPECT_EQ(h.naxisn(0).error().keyword, "NAXIS0");
    // The first failing axis stops the list.
    EXPECT_EQ(h.axes().error().message(),
              "value for keyword `NAXIS2`: NAXIS2 must be non-negative, got -5");

    struct AxesCase {
        std::vector<std::string> cards;
        std::vector<std::uint64_t> axes;
    };
    const std::vector<AxesCase> ok = {
        {{kv("NAXIS", "0"), kv("NAXIS1", "5")}, {}},
        {{kv("NAXIS", "2"), kv("NAXIS1", "10"), kv("NAXIS2", "20"), kv("NAXIS3", "30")}, {10, 20}},
        {{kv("NAXIS", "3"), kv("NAXIS1", "0"), kv("NAXIS2", "4"), kv("NAXIS3", "9")}, {0, 4, 9}},
    };
    for (const auto& c : ok) {
        Bytes b;
        for (const auto& t : c.cards)
            append_bytes(b, testing::card(t));
        auto r = Header(b).axes();
        ASSERT_TRUE(r) << r.error().message();
        EXPECT_EQ(*r, c.axes);
    }
    EXPECT_EQ(header_of({kv("NAXIS", "2"), kv("NAXIS1", "3")}).axes().error().message(),
              "missing mandatory keyword `NAXIS2`");
    EXPECT_EQ(header_of({kv("NAXIS", "1000")}).axes().error().message(),
              "value for keyword `NAXIS`: NAXIS must be in 0..=999, got 1000");
}

TEST(HeaderGetters, Blank) {
    struct Case {
        const char* name;
        std::vector<std::string> cards;
        std::optional<std::int64_t> blank;
    };
    const std::vector<Case> cases = {
        {"integer data", {kv("BITPIX", "16"), kv("BLANK", "-32768")}, -32768},
        {"float data", {kv("BITPIX", "-32"), kv("BLANK", "0")}, std::nullopt},
        {"double data", {kv("BITPIX", "-64"), kv("BLANK", "5")}, std::nullopt},
        {"missing BITPIX, real BLANK", {kv("BLANK", "-32768.0")}, -32768},
        {"illegal BITPIX", {kv("BITPIX", "24"), kv("BLANK", "7")}, 7},
        {"illegal negative BITPIX", {kv("BITPIX", "-16"), kv("BLANK", "7")}, 7},
        {"real BITPIX", {kv("BITPIX", "-32.0"), kv("BLANK", "3")}, 3},
        {"no BLANK", {kv("BITPIX", "8")}, std::nullopt},
        {"fractional BLANK", {kv("BITPIX", "8"), kv("BLANK", "1.5")}, std::nullopt},
        {"string BLANK", {kv("BITPIX", "8"), kv("BLANK", "'1'")}, std::nullopt},
    };
    for (const auto& c : cases) {
        Bytes b;
        for (const auto& t : c.cards)
            append_bytes(b, testing::card(t));
        EXPECT_EQ(Header(b).blank(), c.blank) << c.name;
    }
}

TEST(HeaderGetters, RandomGroups) {
    struct Case {
        const char* name;
        std::vector<std::string> cards;
        bool groups;
    };
    const std::vector<Case> cases = {
        {"random groups", {kv("NAXIS", "2"), kv("NAXIS1", "0"), kv("GROUPS", "T")}, true},
        {"more axes", {kv("NAXIS", "4"), kv("NAXIS1", "0"), kv("GROUPS", "T")}, true},
        {"string GROUPS", {kv("NAXIS", "2"), kv("NAXIS1", "0"), kv("GROUPS", "'T'")}, false},
        {"GROUPS false", {kv("NAXIS", "2"), kv("NAXIS1", "0"), kv("GROUPS", "F")}, false},
        {"no GROUPS", {kv("NAXIS", "2"), kv("NAXIS1", "0")}, false},
        {"one axis", {kv("NAXIS", "1"), kv("NAXIS1", "0"), kv("GROUPS", "T")}, false},
        {"missing NAXIS1", {kv("NAXIS", "2"), kv("GROUPS", "T")}, false},
        {"real NAXIS1", {kv("NAXIS", "2"), kv("NAXIS1", "0.0"), kv("GROUPS", "T")}, false},
        {"non-zero NAXIS1", {kv("NAXIS", "2"), kv("NAXIS1", "3"), kv("GROUPS", "T")}, false},
        {"real NAXIS", {kv("NAXIS", "2.0"), kv("NAXIS1", "0"), kv("GROUPS", "T")}, false},
        {"commentary GROUPS", {kv("NAXIS", "2"), kv("NAXIS1", "0"), "GROUPS    T"}, false},
    };
    for (const auto& c : cases) {
        Bytes b;
        for (const auto& t : c.cards)
            append_bytes(b, testing::card(t));
        EXPECT_EQ(Header(b).is_random_groups(), c.groups) << c.name;
    }
}

}  // namespace
}  // namespace vexlo
