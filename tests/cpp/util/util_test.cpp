#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "error.hpp"
#include "util/cast.hpp"
#include "util/debug.hpp"
#include "util/number.hpp"
#include "util/text.hpp"

namespace vexlo {
namespace {

TEST(NumberText, PlainDebugAndExponentForms) {
    struct Case {
        double v;
        const char* plain;
        const char* debug;
        const char* e17;
    };
    const Case cases[] = {
        {1.0, "1", "1.0", "1.0000000000000000E0"},
        {0.1, "0.1", "0.1", "1.0000000000000001E-1"},
        {0.1 + 0.2, "0.30000000000000004", "0.30000000000000004", "3.0000000000000004E-1"},
        {1e21, "1000000000000000000000", "1e21", "1.0000000000000000E21"},
        {1e-7, "0.0000001", "1e-7", "9.9999999999999995E-8"},
        {1e16, "10000000000000000", "1e16", "1.0000000000000000E16"},
        {1.5e300, nullptr, "1.5e300", "1.5000000000000001E300"},
        {-0.0, "-0", "-0.0", "-0.0000000000000000E0"},
        {2.0, "2", "2.0", "2.0000000000000000E0"},
        {1e20, "100000000000000000000", "1e20", "1.0000000000000000E20"},
        // Beyond 2**53 the shortest digits, not the binary value's own.
        {447132773968762496.0, "447132773968762500", "4.471327739687625e17",
         "4.4713277396876250E17"},
        {1e23, "100000000000000000000000", "1e23", "9.9999999999999992E22"},
        {-123456.789e30, "-123456789000000000000000000000000000", "-1.23456789e35",
         "-1.2345678899999999E35"},
        {1.25, "1.25", "1.25", "1.2500000000000000E0"},
        {-0.00123, "-0.00123", "-0.00123", "-1.2300000000000000E-3"},
        {std::numeric_limits<double>::quiet_NaN(), "NaN", "NaN", "NaN"},
        {-std::numeric_limits<double>::infinity(), "-inf", "-inf", "-inf"},
    };
    for (const Case& c : cases) {
        if (c.plain) {
            EXPECT_EQ(format_real_plain(c.v), c.plain) << c.debug;
        }
        EXPECT_EQ(format_real_debug(c.v), c.debug);
        EXPECT_EQ(format_real_e17(c.v), c.e17) << c.debug;
    }
    // Plain text always reads back to the same double.
    for (double v : {std::numeric_limits<double>::max(), std::numeric_limits<double>::min(),
                     std::numeric_limits<double>::denorm_min(), 9007199254740993.0, 0x1p60 + 0x1p8,
                     -3.0e-300, 6.02214076e23}) {
        EXPECT_EQ(parse_decimal(format_real_plain(v)), v) << format_real_exp(v);
    }
    EXPECT_EQ(format_real_exp(1e-7), "1e-7");
    EXPECT_EQ(format_real_exp(123.5), "1.235e2");
}

TEST(NumberText, ParseDecimalGrammar) {
    struct Case {
        const char* text;
        std::optional<double> want;
    };
    const double inf = std::numeric_limits<double>::infinity();
    const Case cases[] = {
        {"1.", 1.0},
        {".5", 0.5},
        {"-1E-3", -1e-3},
        {"+5", 5.0},
        {"1e400", inf},
        {"-1e400", -inf},
        {"1e-400", 0.0},
        {"Infinity", inf},
        {"-INF", -inf},
        {"0.1", 0.1},
        {"4.9e-324", 4.9e-324},
        {"1E", std::nullopt},
        {"E5", std::nullopt},
        {".", std::nullopt},
        {"+", std::nullopt},
        {"1 ", std::nullopt},
        {"0x10", std::nullopt},
        {"1_0", std::nullopt},
        {"nan(1)", std::nullopt},
        {"1.2.3", std::nullopt},
        {"", std::nullopt},
        {"123456789012345678901234567890e-400", 0.0},
        {"0.000e999999999999999", 0.0},
    };
    for (const Case& c : cases) {
        auto got = parse_decimal(c.text);
        ASSERT_EQ(got.has_value(), c.want.has_value()) << c.text;
        if (got) {
            EXPECT_EQ(*got, *c.want) << c.text;
        }
    }
    auto nan = parse_decimal("nan");
    ASSERT_TRUE(nan);
    EXPECT_TRUE(std::isnan(*nan));
    // Correct rounding: the halfway case between 2^53 and 2^53+2 rounds to even.
    EXPECT_EQ(*parse_decimal("9007199254740993"), 9007199254740992.0);
}

TEST(NumberText, ParseInt64Range) {
    EXPECT_EQ(parse_int64("+5"), 5);
    EXPECT_EQ(parse_int64("0005"), 5);
    EXPECT_EQ(parse_int64("-9223372036854775808"), std::numeric_limits<std::int64_t>::min());
    EXPECT_FALSE(parse_int64("9223372036854775808"));
    for (const char* bad : {"", "+", "-", "--1", "1.0", " 1", "1e3"}) {
        EXPECT_FALSE(parse_int64(bad)) << bad;
    }
}

TEST(Text, TrimUnicodeWhiteSpace) {
    EXPECT_EQ(trim_ws(" \t\nabc \r"), "abc");
    EXPECT_EQ(trim_ws("\xC2\xA0x\xE3\x80\x80"), "x");
    EXPECT_EQ(trim_ws("\xE2\x80\x8Ax y\xE2\x80\xA9"), "x y");
    EXPECT_EQ(trim_ws_end("  a  "), "  a");
    EXPECT_EQ(trim_ws_start("  a  "), "a  ");
    // U+200B ZERO WIDTH SPACE is not White_Space.
    EXPECT_EQ(trim_ws("\xE2\x80\x8B"), "\xE2\x80\x8B");
}

TEST(Text, LossyUtf8ReplacesMaximalSubparts) {
    EXPECT_EQ(utf8_lossy("abc"), "abc");
    EXPECT_EQ(utf8_lossy("a\xE9z"), "a\xEF\xBF\xBDz");
    // A truncated three-byte sequence is one replacement, then the next byte is read anew.
    EXPECT_EQ(utf8_lossy("\xE2\x82x"), "\xEF\xBF\xBDx");
    EXPECT_EQ(utf8_lossy("\xF0\x9F\x98\x80"), "\xF0\x9F\x98\x80");
    EXPECT_EQ(utf8_lossy("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
    // Overlong forms of '/' never decode to '/'.
    EXPECT_EQ(utf8_lossy("\xC0\xAF"), "\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(utf8_lossy("\xE0\x80\xAF"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(Text, FirstUtf8FaultAndItsMaximalSubpart) {
    struct Case {
        std::string_view text;
        std::optional<std::pair<std::size_t, std::size_t>> fault;  // index, length
    };
    const Case cases[] = {
        {"plain ascii", std::nullopt},
        {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", std::nullopt},
        {"ab\xC0\xAF", std::pair{2, 1}},        // overlong two-byte '/'
        {"\xE0\x80\xAF", std::pair{0, 1}},      // overlong three-byte '/'
        {"\xF0\x80\x80\xAF", std::pair{0, 1}},  // overlong four-byte '/'
        {"\xED\xA0\x80", std::pair{0, 1}},      // surrogate
        {"\xF4\x90\x80\x80", std::pair{0, 1}},  // past U+10FFFF
        {"\xF5", std::pair{0, 1}},
        {"x\x80", std::pair{1, 1}},      // lone continuation
        {"\xE2\x82x", std::pair{0, 2}},  // broken after two bytes
        {"\xF0\x9F\x98x", std::pair{0, 3}},
        {"ok\xE2\x82", std::pair{2, 0}},  // text ends inside a sequence
        {"\xC3", std::pair{0, 0}},
        // Long ASCII runs before, between and after: the fault keeps its exact index.
        {"sixteen ascii by\x80", std::pair{16, 1}},
        {"seventeen ascii b\xC3\xA9 more ascii text\xFF", std::pair{35, 1}},
        {"exactly eight...", std::nullopt},
        {"twelve bytes\xE2\x82", std::pair{12, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::string(c.text)));
        const std::optional<Utf8Fault> fault = find_utf8_fault(c.text);
        EXPECT_EQ(fault.has_value(), c.fault.has_value());
        EXPECT_EQ(is_valid_utf8(c.text), !c.fault.has_value());
        if (fault && c.fault) {
            EXPECT_EQ(fault->index, c.fault->first);
            EXPECT_EQ(fault->length, c.fault->second);
        }
    }
}

TEST(Text, CaseBlindEqualityAndPrefix) {
    struct Case {
        std::string_view a;
        std::string_view b;
        bool equal;
        bool a_starts_with_b;
    };
    const Case cases[] = {
        {"", "", true, true},
        {"abc", "", false, true},
        {"", "a", false, false},
        {"Inf", "inF", true, true},
        {"END", "end", true, true},
        {"ENDX", "End", false, true},
        {"En", "END", false, false},
        {"RA---TAN", "ra--", false, true},
        {"abc", "abd", false, false},
        // Only letters fold: '@' and '`' sit next to 'A' and 'a' but are not letters.
        {"@[`{", "`{@[", false, false},
        {"a1_-", "A1_-", true, true},
        // Bytes past 0x7F never fold, not even the Latin-1 pairs of e-acute.
        {"\xC3\xA9", "\xC3\x89", false, false},
        {"\xE9", "\xC9", false, false},
        {"x\xC3\xA9", "X\xC3\xA9", true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::pair{std::string(c.a), std::string(c.b)}));
        EXPECT_EQ(ascii_iequal(c.a, c.b), c.equal);
        EXPECT_EQ(ascii_iequal(c.b, c.a), c.equal);
        EXPECT_EQ(ascii_istarts_with(c.a, c.b), c.a_starts_with_b);
    }
}

TEST(Text, Utf8ContinuationBytes) {
    for (unsigned char b : {0x80, 0x9F, 0xA9, 0xBF}) {
        EXPECT_TRUE(is_utf8_continuation(static_cast<char>(b))) << int{b};
    }
    for (unsigned char b : {0x00, 0x41, 0x7F, 0xC0, 0xC3, 0xE2, 0xF0, 0xFF}) {
        EXPECT_FALSE(is_utf8_continuation(static_cast<char>(b))) << int{b};
    }
}

TEST(Text, CodePointCount) {
    struct Case {
        std::string_view text;
        std::size_t count;
    };
    const Case cases[] = {
        {"", 0},
        {"abc", 3},
        {"\xC3\xA9t\xC3\xA9", 3},                 // two-byte characters
        {"1\xE2\x82\xAC", 2},                     // a three-byte character
        {"\xF0\x9F\x98\x80\xF0\x9F\x98\x80", 2},  // four-byte characters
        {"\xE2\x82", 1},                          // a sequence cut short counts once
        {"ab\xF0\x9F\x98", 3},
        {"\x80\xBF", 0},   // stray continuations start nothing
        {"\xFF\xC0z", 3},  // bytes never valid in UTF-8 count alone
    };
    for (const Case& c : cases) {
        EXPECT_EQ(code_point_count(c.text), c.count) << testing::PrintToString(std::string(c.text));
    }
}

TEST(Text, AsciiCharacterClasses) {
    struct Case {
        unsigned char byte;
        bool digit;
        bool letter;
        bool printable;
    };
    const Case cases[] = {
        {0x00, false, false, false}, {0x1F, false, false, false}, {' ', false, false, true},
        {'/', false, false, true},   {'0', true, false, true},    {'9', true, false, true},
        {':', false, false, true},   {'@', false, false, true},   {'A', false, true, true},
        {'Z', false, true, true},    {'[', false, false, true},   {'`', false, false, true},
        {'a', false, true, true},    {'z', false, true, true},    {'{', false, false, true},
        {'~', false, false, true},   {0x7F, false, false, false}, {0xB2, false, false, false},
        {0xC9, false, false, false}, {0xE9, false, false, false}, {0xFF, false, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(int{c.byte});
        EXPECT_EQ(is_ascii_digit(static_cast<char>(c.byte)), c.digit);
        EXPECT_EQ(is_ascii_letter(static_cast<char>(c.byte)), c.letter);
        EXPECT_EQ(is_ascii_printable(c.byte), c.printable);
    }
}

TEST(Debug, QuotedForms) {
    EXPECT_EQ(debug_str("abc"), "\"abc\"");
    EXPECT_EQ(debug_str("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(debug_str("t\tr\rn\n0"), "\"t\\tr\\rn\\n0\"");
    EXPECT_EQ(debug_str(std::string("\x01", 1)), "\"\\u{1}\"");
    EXPECT_EQ(debug_str(std::string("\0", 1)), "\"\\0\"");
    EXPECT_EQ(debug_str("it's"), "\"it's\"");
    EXPECT_EQ(debug_str("e\xCC\x81"), "\"e\\u{301}\"");
    EXPECT_EQ(debug_str("\xC3\xA9"), "\"\xC3\xA9\"");
    EXPECT_EQ(debug_str("\xC2\xA0|\xE3\x80\x80"), "\"\\u{a0}|\\u{3000}\"");
    EXPECT_EQ(debug_char('a'), "'a'");
    EXPECT_EQ(debug_char('\''), "'\\''");
}

TEST(Cast, SaturatingCast) {
    EXPECT_EQ(saturating_cast<std::int64_t>(std::nan("")), 0);
    EXPECT_EQ(saturating_cast<std::int64_t>(9.223372036854775807e18),
              std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(saturating_cast<std::int64_t>(-9.3e18), std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(saturating_cast<std::uint8_t>(-3.5), 0);
    EXPECT_EQ(saturating_cast<std::int16_t>(-3.9), -3);
    EXPECT_EQ(saturating_cast<std::uint16_t>(1e9), 65535);
}

TEST(Error, DisplayTexts) {
    EXPECT_EQ(Error::block(0, "header start beyond end of buffer").message(),
              "block at byte 0: header start beyond end of buffer");
    EXPECT_EQ(Error::value("BITPIX", "illegal BITPIX value 24").message(),
              "value for keyword `BITPIX`: illegal BITPIX value 24");
    EXPECT_EQ(Error::hdu_mismatch("IMAGE", "BINTABLE").message(),
              "expected HDU type `IMAGE`, found `BINTABLE`");
    EXPECT_EQ(Error::in_hdu(1, Error::in_hdu(2, Error::card(80, "x"))).message(),
              "in HDU 1: in HDU 2: card at byte 80: x");
    EXPECT_EQ(Error::io_errno(2).message(), "i/o error: No such file or directory (os error 2)");
    EXPECT_EQ(Error::missing_mandatory("NAXIS").message(), "missing mandatory keyword `NAXIS`");
    EXPECT_EQ(Error::end_card_misplaced(2880).message(), "END card misplaced (block at byte 2880)");
    EXPECT_EQ(Error::block(5, "m").debug(), "Block { offset: 5, msg: \"m\" }");
    EXPECT_EQ(Error::io("x").debug(), "Io(\"x\")");
    // Copies share the nested source.
    Error outer = Error::in_hdu(3, Error::data("d"));
    Error copy = outer;
    EXPECT_EQ(copy.message(), "in HDU 3: data: d");
}

TEST(Error, OutOfMemoryIsAKindSeenThroughNesting) {
    const Error oom = Error::out_of_memory();
    const Error tiles =
        Error::out_of_memory(Error::data("decompressed image does not fit in memory"));
    struct Case {
        const char* label;
        Error error;
        bool out_of_memory;
        Error::Kind kind;
        std::string message;
    };
    const std::string enomem = Error::io_errno(ENOMEM).message();
    const Case cases[] = {
        {"plain", oom, true, Error::Kind::Io, enomem},
        {"system ENOMEM", Error::io_errno(ENOMEM), true, Error::Kind::Io, enomem},
        // The same words without the kind are an ordinary error.
        {"same text", Error::io(oom.msg), false, Error::Kind::Io, enomem},
        {"data words", tiles, true, Error::Kind::Data,
         "data: decompressed image does not fit in memory"},
        {"data text only", Error::data("decompressed image does not fit in memory"), false,
         Error::Kind::Data, "data: decompressed image does not fit in memory"},
        {"wcs words", Error::out_of_memory(Error::wcs("cannot allocate 9 coordinates")), true,
         Error::Kind::Wcs, "wcs: cannot allocate 9 coordinates"},
        {"in hdu", Error::in_hdu(2, oom), true, Error::Kind::InHdu, "in HDU 2: " + enomem},
        {"in hdu twice", Error::in_hdu(1, Error::in_hdu(4, tiles)), true, Error::Kind::InHdu,
         "in HDU 1: in HDU 4: data: decompressed image does not fit in memory"},
        {"in hdu, other", Error::in_hdu(1, Error::in_hdu(4, Error::data("d"))), false,
         Error::Kind::InHdu, "in HDU 1: in HDU 4: data: d"},
        {"restated", Error::restated(oom, Error::data("tile: x")), true, Error::Kind::Data,
         "data: tile: x"},
        {"restated, other", Error::restated(Error::io("x"), Error::data("tile: x")), false,
         Error::Kind::Data, "data: tile: x"},
    };
    for (const Case& c : cases) {
        const Error copy = c.error;  // a copy keeps the kind
        EXPECT_EQ(copy.is_out_of_memory(), c.out_of_memory) << c.label;
        EXPECT_EQ(copy.kind, c.kind) << c.label;
        EXPECT_EQ(copy.message(), c.message) << c.label;
    }
}

}  // namespace
}  // namespace vexlo
