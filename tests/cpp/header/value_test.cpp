#include "header/value.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "error.hpp"

namespace vexlo {
namespace {

const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

using V = Value;
using Comment = std::optional<std::string>;

// A value field as the card parser hands it over: 70 bytes, blank-padded.
std::string field(std::string_view text) {
    std::string out(text);
    if (out.size() < 70) out.resize(70, ' ');
    return out;
}

struct FieldCase {
    std::string field;
    Value value;
    Comment comment;
};

// Fields that both entries read the same way.
std::vector<FieldCase> good_fields() {
    return {
        {field(""), V::make_undefined(), std::nullopt},
        {"", V::make_undefined(), std::nullopt},
        {field("   / note"), V::make_undefined(), "note"},
        {field("5 /"), V::make_integer(5), ""},
        {"5 /", V::make_integer(5), ""},
        {field("                   42"), V::make_integer(42), std::nullopt},
        {field("'O''HARA'   / name"), V::make_string("O'HARA"), "name"},
        {field("'abc' junk / c"), V::make_string("abc"), "c"},
        {field("'abc' junk"), V::make_string("abc"), std::nullopt},
        {field("'a/b' / c/d"), V::make_string("a/b"), "c/d"},
        {field("'  ab  '"), V::make_string("  ab"), std::nullopt},
        {field("''"), V::make_string(""), std::nullopt},
        {field("'   '"), V::make_string(""), std::nullopt},
        {field("'it''s'"), V::make_string("it's"), std::nullopt},
        {field("''''"), V::make_string("'"), std::nullopt},
        {field("T"), V::make_logical(true), std::nullopt},
        {field("                    F / flag"), V::make_logical(false), "flag"},
        {field("+5"), V::make_integer(5), std::nullopt},
        {field("0005"), V::make_integer(5), std::nullopt},
        {field("-9223372036854775808"), V::make_integer(std::numeric_limits<std::int64_t>::min()),
         std::nullopt},
        {field("9223372036854775807"), V::make_integer(std::numeric_limits<std::int64_t>::max()),
         std::nullopt},
        {field("9223372036854775808"), V::make_real(9.223372036854776e18), std::nullopt},
        {field("99999999999999999999"), V::make_real(1e20), std::nullopt},
        {field("1.5D3"), V::make_real(1500.0), std::nullopt},
        {field("1.5d3"), V::make_real(1500.0), std::nullopt},
        {field("1.5E3"), V::make_real(1500.0), std::nullopt},
        {field("1.0D+05"), V::make_real(1e5), std::nullopt},
        {field("1E400"), V::make_real(kInf), std::nullopt},
        {field("-Infinity"), V::make_real(-kInf), std::nullopt},
        {field("-1E-3"), V::make_real(-1e-3), std::nullopt},
        {field("2020/01/01"), V::make_integer(2020), "01/01"},
        {field("(1,2)"), V::make_complex_integer(1, 2), std::nullopt},
        {field("( 1 , 2 )"), V::make_complex_integer(1, 2), std::nullopt},
        {field("(1, 2.5)"), V::make_complex_real(1.0, 2.5), std::nullopt},
        {field("(1, 2.0)"), V::make_complex_real(1.0, 2.0), std::nullopt},
        {field("(1.5D0, 2)"), V::make_complex_real(1.5, 2.0), std::nullopt},
        // A comment is cleaned: control and non-ASCII bytes become blanks, then trimmed.
        {field("1 / a\tb\xE9"), V::make_integer(1), "a b"},
        {field("1 /\t x \x01"), V::make_integer(1), "x"},
        {field("'x' \t/ y"), V::make_string("x"), "y"},
    };
}

void expect_same(const ValueAndComment& got, const FieldCase& c, const char* entry) {
    // Debug forms tell NaN and signed zeros apart and print readable failures.
    EXPECT_EQ(got.value.debug(), c.value.debug()) << entry << " [" << c.field << "]";
    EXPECT_EQ(got.comment, c.comment) << entry << " [" << c.field << "]";
}

TEST(ParseValue, StrictAndLenientReadGoodFields) {
    for (const FieldCase& c : good_fields()) {
        const auto strict = parse_value_strict("KEY", c.field);
        ASSERT_TRUE(strict.has_value()) << c.field << ": " << strict.error().message();
        expect_same(*strict, c, "strict");
        expect_same(parse_value_lenient("KEY", c.field), c, "lenient");
    }
}

TEST(ParseValue, NanIsReal) {
    for (const char* text : {"nan", "NaN", "-nan"}) {
        const auto v = parse_value_strict("KEY", field(text));
        ASSERT_TRUE(v.has_value()) << text;
        EXPECT_EQ(v->value.kind, Value::Kind::Real) << text;
        EXPECT_TRUE(std::isnan(v->value.real)) << text;
    }
}

struct BadCase {
    std::string field;
    std::string msg;
    Value lenient;
    Comment lenient_comment;
};

TEST(ParseValue, StrictMessagesAndLenientFallback) {
    const std::string tab_field = field("1\t2");
    const BadCase cases[] = {
        // Faults of the field itself: leniently the whole field, trailing blanks removed.
        {field("'abc"), "unterminated string literal", V::make_unparsed("'abc"), std::nullopt},
        {field("'abc''"), "unterminated string literal", V::make_unparsed("'abc''"), std::nullopt},
        {"  'abc''", "unterminated string literal", V::make_unparsed("  'abc''"), std::nullopt},
        {field("'abc / x"), "unterminated string literal", V::make_unparsed("'abc / x"),
         std::nullopt},
        {tab_field, "non-ASCII byte 0x09 in value field", V::make_unparsed("1\t2"), std::nullopt},
        {field("'caf\xE9' / c"), "non-ASCII byte 0xE9 in value field",
         V::make_unparsed("'caf\xEF\xBF\xBD' / c"), std::nullopt},
        {field("1 \x7F / c"), "non-ASCII byte 0x7F in value field", V::make_unparsed("1 \x7F / c"),
         std::nullopt},
        // Faults of the value text: leniently the trimmed text, the comment kept.
        {field("t"), "unrecognized value `t`", V::make_unparsed("t"), std::nullopt},
        {field("TRUE"), "unrecognized value `TRUE`", V::make_unparsed("TRUE"), std::nullopt},
        {field(".TRUE."), "unrecognized value `.TRUE.`", V::make_unparsed(".TRUE."), std::nullopt},
        {field("+"), "unrecognized value `+`", V::make_unparsed("+"), std::nullopt},
        {field("-"), "unrecognized value `-`", V::make_unparsed("-"), std::nullopt},
        {field("  abc / note"), "unrecognized value `abc`", V::make_unparsed("abc"), "note"},
        {field("1 2"), "unrecognized value `1 2`", V::make_unparsed("1 2"), std::nullopt},
        {field("1E"), "unrecognized value `1E`", V::make_unparsed("1E"), std::nullopt},
        {field("(1,2"), "unrecognized value `(1,2`", V::make_unparsed("(1,2"), std::nullopt},
        {field("()"), "complex value missing imaginary part", V::make_unparsed("()"), std::nullopt},
        {field("(1) / c"), "complex value missing imaginary part", V::make_unparsed("(1)"), "c"},
        {field("(1,2,)"), "complex value has more than two components", V::make_unparsed("(1,2,)"),
         std::nullopt},
        {field("(1,2,3)"), "complex value has more than two components",
         V::make_unparsed("(1,2,3)"), std::nullopt},
        {field("(x, 1)"), "invalid real `x` in complex value", V::make_unparsed("(x, 1)"),
         std::nullopt},
        {field("(1,  y z )"), "invalid real `y z` in complex value", V::make_unparsed("(1,  y z )"),
         std::nullopt},
        {field("(,1)"), "invalid real `` in complex value", V::make_unparsed("(,1)"), std::nullopt},
    };
    for (const BadCase& c : cases) {
        const auto strict = parse_value_strict("NAXIS1", c.field);
        ASSERT_FALSE(strict.has_value()) << c.field;
        EXPECT_EQ(strict.error().kind, Error::Kind::Value) << c.field;
        EXPECT_EQ(strict.error().keyword, "NAXIS1") << c.field;
        EXPECT_EQ(strict.error().msg, c.msg) << c.field;

        const ValueAndComment lenient = parse_value_lenient("NAXIS1", c.field);
        EXPECT_EQ(lenient.value.debug(), c.lenient.debug()) << c.field;
        EXPECT_EQ(lenient.comment, c.lenient_comment) << c.field;
    }
}

TEST(ParseValue, ErrorDisplayNamesKeyword) {
    const auto r = parse_value_strict("NAXIS1", field("abc"));
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().message(), "value for keyword `NAXIS1`: unrecognized value `abc`");
}

TEST(SplitValueComment, Parts) {
    struct Case {
        std::string field;
        std::string value;
        Comment comment;
    };
    const Case cases[] = {
        {"", "", std::nullopt},
        {"     ", "", std::nullopt},
        {"  5 / c ", "  5 ", "c"},
        {"  'a''b' x / y", "  'a''b'", "y"},
        {"'a'", "'a'", std::nullopt},
        {"'a' x", "'a'", std::nullopt},
        {"1/", "1", ""},
        {"1 / a / b", "1 ", "a / b"},
    };
    for (const Case& c : cases) {
        const auto r = split_value_comment(c.field, "K");
        ASSERT_TRUE(r.has_value()) << c.field;
        EXPECT_EQ(r->first, c.value) << c.field;
        EXPECT_EQ(r->second, c.comment) << c.field;
    }
    const auto bad = split_value_comment("'x", "K");
    ASSERT_FALSE(bad.has_value());
    EXPECT_EQ(bad.error().msg, "unterminated string literal");
    EXPECT_EQ(bad.error().keyword, "K");
}

TEST(ParseValueText, DirectCalls) {
    // parse_value sees a value text without its comment and trims Unicode white space.
    EXPECT_EQ(parse_value(" \t T \n", "K")->debug(), "Logical(true)");
    EXPECT_EQ(parse_value("'ab' junk", "K")->debug(), "String(\"ab\")");
    const auto bad = parse_value("'ab", "K");
    ASSERT_FALSE(bad.has_value());
    EXPECT_EQ(bad.error().msg, "unterminated string literal");
    EXPECT_EQ(parse_value("  ", "K")->debug(), "Undefined");
}

TEST(ParseNumbers, IntegerGrammar) {
    struct Case {
        const char* text;
        std::optional<std::int64_t> want;
    };
    const Case cases[] = {
        {"0", 0},
        {"+5", 5},
        {"-0012", -12},
        {"9223372036854775807", std::numeric_limits<std::int64_t>::max()},
        {"-9223372036854775808", std::numeric_limits<std::int64_t>::min()},
        {"9223372036854775808", std::nullopt},
        {"", std::nullopt},
        {"+", std::nullopt},
        {"--1", std::nullopt},
        {"+-1", std::nullopt},
        {" 1", std::nullopt},
        {"1.", std::nullopt},
        {"1E3", std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(parse_integer(c.text), c.want) << c.text;
}

TEST(ParseNumbers, RealGrammar) {
    struct Case {
        const char* text;
        std::optional<double> want;
    };
    const Case cases[] = {
        {"1.0D+05", 1e5},
        {"1.5d-2", 0.015},
        {"1.", 1.0},
        {".5", 0.5},
        {"-1E-3", -1e-3},
        {"+2", 2.0},
        {"1E400", kInf},
        {"-1d400", -kInf},
        {"1e-400", 0.0},
        {"inf", kInf},
        {"-INFINITY", -kInf},
        {"0.1", 0.1},
        {"1E", std::nullopt},
        {"E5", std::nullopt},
        {"D5", std::nullopt},
        {".", std::nullopt},
        {"+", std::nullopt},
        {"", std::nullopt},
        {"1 ", std::nullopt},
        {"1_000", std::nullopt},
        {"0x10", std::nullopt},
        {"1DD5", std::nullopt},
        {"infd", std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(parse_real(c.text), c.want) << c.text;
    const auto nan = parse_real("NaN");
    ASSERT_TRUE(nan.has_value());
    EXPECT_TRUE(std::isnan(*nan));
}

TEST(ValueText, PlainAndDebugForms) {
    struct Case {
        Value v;
        const char* text;
        const char* debug;
    };
    const Case cases[] = {
        {V::make_logical(true), "T", "Logical(true)"},
        {V::make_logical(false), "F", "Logical(false)"},
        {V::make_integer(-3), "-3", "Integer(-3)"},
        {V::make_real(2.0), "2", "Real(2.0)"},
        {V::make_real(1.0), "1", "Real(1.0)"},
        {V::make_real(0.1), "0.1", "Real(0.1)"},
        {V::make_real(0.5), "0.5", "Real(0.5)"},
        {V::make_real(0.0), "0", "Real(0.0)"},
        {V::make_real(-0.0), "-0", "Real(-0.0)"},
        {V::make_real(1e21), "1000000000000000000000", "Real(1e21)"},
        {V::make_real(1e16), "10000000000000000", "Real(1e16)"},
        {V::make_real(1e23), "100000000000000000000000", "Real(1e23)"},
        {V::make_complex_real(447132773968762496.0, 1.5), "(447132773968762500, 1.5)",
         "ComplexReal(4.471327739687625e17, 1.5)"},
        {V::make_real(1e-7), "0.0000001", "Real(1e-7)"},
        {V::make_real(kNaN), "NaN", "Real(NaN)"},
        {V::make_real(kInf), "inf", "Real(inf)"},
        {V::make_real(-kInf), "-inf", "Real(-inf)"},
        {V::make_complex_integer(1, -2), "(1, -2)", "ComplexInteger(1, -2)"},
        {V::make_complex_real(1.0, -0.5), "(1, -0.5)", "ComplexReal(1.0, -0.5)"},
        {V::make_string("abc"), "abc", "String(\"abc\")"},
        {V::make_string("a\"b\\"), "a\"b\\", "String(\"a\\\"b\\\\\")"},
        {V::make_undefined(), "", "Undefined"},
        {V::make_unparsed("1 2"), "1 2", "Unparsed(\"1 2\")"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.v.to_text(), c.text) << c.debug;
        EXPECT_EQ(c.v.debug(), c.debug);
    }
}

// An identifier wider than 64 bits reads as a real, and keeps its digits for exact reporting.
TEST(ParseValue, WideIntegerLiteralsKeepTheirDigits) {
    struct Case {
        const char* text;
        double real;
        const char* literal;
    };
    const Case cases[] = {
        {"10000000000000000001", 1e19, "10000000000000000001"},
        {"+99999999999999999999", 1e20, "99999999999999999999"},
        {"-18446744073709551617", -18446744073709551616.0, "-18446744073709551617"},
        {"1E19", 1e19, ""},
        {"10000000000000000001.0", 1e19, ""},
        {"0.5", 0.5, ""},
    };
    for (const Case& c : cases) {
        const auto v = parse_value(c.text, "K");
        ASSERT_TRUE(v.has_value()) << c.text;
        EXPECT_EQ(*v, V::make_real(c.real)) << c.text;
        EXPECT_EQ(v->integer_literal(), c.literal) << c.text;
        if (*c.literal != '\0') {
            EXPECT_EQ(v->to_text(), c.literal);
        }
    }
    // A literal that no longer matches the real is not reported.
    Value stale = *parse_value("10000000000000000001", "K");
    stale.real = 2.0;
    EXPECT_EQ(stale.integer_literal(), "");
    EXPECT_EQ(stale.to_text(), "2");
}

// An integer literal of any width: Integer within 64 bits, else the nearest Real keeping its
// digits; nothing for other texts or beyond doubles.
TEST(MakeIntegerOfAnyWidth, KeepsTheDigitsBeyondSixtyFourBits) {
    struct Case {
        std::string text;
        std::optional<Value> value;
        const char* literal;
    };
    const std::vector<Case> cases = {
        {"-9223372036854775808", V::make_integer(std::numeric_limits<std::int64_t>::min()), ""},
        {"+42", V::make_integer(42), ""},
        {"9223372036854775808", V::make_real(9223372036854775808.0), "9223372036854775808"},
        {"+123456789012345678901", V::make_real(123456789012345678901.0), "123456789012345678901"},
        {"-" + std::string(40, '9'), V::make_real(-1e40), nullptr},
        {"1" + std::string(400, '0'), std::nullopt, ""},
        {"1.5", std::nullopt, ""},
        {"", std::nullopt, ""},
        {"12a", std::nullopt, ""},
    };
    for (const Case& c : cases) {
        const std::optional<Value> v = Value::make_integer_of_any_width(c.text);
        ASSERT_EQ(v.has_value(), c.value.has_value()) << c.text;
        if (!v) continue;
        EXPECT_EQ(*v, *c.value) << c.text;
        const std::string literal = c.literal ? c.literal : c.text;
        EXPECT_EQ(v->integer_literal(), literal) << c.text;
    }
}

TEST(ValueEquality, ComparesKindAndPayload) {
    EXPECT_TRUE(V::make_integer(5) == V::make_integer(5));
    EXPECT_FALSE(V::make_integer(5) == V::make_real(5.0));
    EXPECT_FALSE(V::make_string("a") == V::make_unparsed("a"));
    EXPECT_FALSE(V::make_complex_integer(1, 2) == V::make_complex_integer(1, 3));
    EXPECT_FALSE(V::make_complex_real(1, 2) == V::make_complex_real(0, 2));
    EXPECT_TRUE(V::make_undefined() == V::make_undefined());
    EXPECT_FALSE(V::make_logical(true) == V::make_logical(false));
    EXPECT_FALSE(V::make_real(kNaN) == V::make_real(kNaN));
    // Fields of other variants do not take part.
    Value a = V::make_integer(1);
    a.text = "stale";
    EXPECT_TRUE(a == V::make_integer(1));
}

}  // namespace
}  // namespace vexlo
