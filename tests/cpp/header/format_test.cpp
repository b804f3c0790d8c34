#include "header/format.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>

#include "header/header.hpp"
#include "header_fixture.hpp"

namespace vexlo {
namespace {

using testing::kv;

constexpr auto kNone = std::nullopt;

// The images of a formatter result, each without its trailing blanks.
std::vector<std::string> lines(const Bytes& images) {
    std::vector<std::string> out;
    for (std::size_t pos = 0; pos + kCardLen <= images.size(); pos += kCardLen) {
        std::string line(as_chars(ByteSpan(images).subspan(pos, kCardLen)));
        line.erase(line.find_last_not_of(' ') + 1);
        out.push_back(line);
    }
    return out;
}

std::string repeat(char c, std::size_t n) {
    return std::string(n, c);
}

// Text placed so that its first byte lands in the given 1-based column of a line.
std::string at_column(std::string line, std::size_t column, std::string_view text) {
    if (line.size() < column - 1) line.resize(column - 1, ' ');
    line.append(text);
    return line;
}

// Words of four letters separated by single blanks.
std::string words(std::size_t count) {
    std::string out;
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) out += ' ';
        out += std::string(4, static_cast<char>('a' + i % 26));
    }
    return out;
}

Bytes format_ok(std::string_view keyword, const Value& value,
                std::optional<std::string_view> comment) {
    Result<Bytes> r = format_value_card(keyword, value, comment);
    EXPECT_TRUE(r.has_value()) << keyword << ": " << (r ? "" : r.error().message());
    if (!r) return {};
    EXPECT_EQ(r->size() % kCardLen, 0u);
    return *r;
}

// The value and comment a fresh header reads back for the keyword.
std::optional<ValueAndComment> read_back(const Bytes& images, std::string_view keyword) {
    Header h(images);
    auto view = h.get(keyword);
    if (!view) return std::nullopt;
    return view->value_and_comment();
}

std::string without_blanks(std::string_view s) {
    std::string out;
    for (char c : s) {
        if (c != ' ') out += c;
    }
    return out;
}

// ---------------------------------------------------------------- values

TEST(FormatValueCard, EachKindLandsInItsColumns) {
    struct Case {
        std::string keyword;
        Value value;
        std::optional<std::string> comment;
        std::vector<std::string> images;
    };
    const std::int64_t min64 = std::numeric_limits<std::int64_t>::min();
    const std::vector<Case> cases = {
        {"NAXIS",
         Value::make_integer(2),
         "number of axes",
         {"NAXIS   =                    2 / number of axes"}},
        {"X", Value::make_real(1e20), kNone, {"X       = 1.0000000000000000E20"}},
        {"K",
         Value::make_undefined(),
         "only a comment",
         {"K       =                      / only a comment"}},
        {"HIERARCH INS DET CHIP",
         Value::make_integer(5),
         kNone,
         {"HIERARCH INS DET CHIP =                    5"}},
        {"SIMPLE", Value::make_logical(true), kNone, {"SIMPLE  =                    T"}},
        {"FLAG", Value::make_logical(false), "", {"FLAG    =                    F"}},
        {"BIG", Value::make_integer(min64), kNone, {"BIG     = -9223372036854775808"}},
        {"R", Value::make_real(1500.0), kNone, {"R       =               1500.0"}},
        {"R", Value::make_real(5.0), kNone, {"R       =                  5.0"}},
        {"R", Value::make_real(0.1 + 0.2), kNone, {"R       =  0.30000000000000004"}},
        {"R", Value::make_real(-0.0), kNone, {"R       =                 -0.0"}},
        {"R", Value::make_real(1e17), kNone, {"R       = 100000000000000000.0"}},
        {"R", Value::make_real(1e18), kNone, {"R       = 1.0000000000000000E18"}},
        // Shortest digits, not the binary value's 447132773968762496.
        {"R", Value::make_real(447132773968762496.0), kNone, {"R       = 447132773968762500.0"}},
        {"R", Value::make_real(-1e18), "neg", {"R       = -1.0000000000000000E18 / neg"}},
        {"R", Value::make_real(1.2345678901234567e-5), kNone, {"R       = 1.2345678901234568E-5"}},
        {"C", Value::make_complex_real(1.0, 2.5), kNone, {"C       = (1.0, 2.5)"}},
        {"C",
         Value::make_complex_real(1e20, -0.0),
         kNone,
         {"C       = (100000000000000000000.0, -0.0)"}},
        {"C",
         Value::make_complex_real(1e23, 0x1p60 + 256),
         kNone,
         {"C       = (100000000000000000000000.0, 1152921504606847200.0)"}},
        {"C", Value::make_complex_integer(1, -2), "c", {at_column("C       = (1, -2)", 32, "/ c")}},
        {"U", Value::make_unparsed("abc def"), kNone, {"U       = abc def"}},
        {"E", Value::make_undefined(), kNone, {"E       ="}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(lines(format_ok(c.keyword, c.value, c.comment)), c.images) << c.keyword;
    }
}

TEST(FormatValueCard, RealsReadBackExactly) {
    std::mt19937_64 rng(7);
    std::uniform_int_distribution<std::uint64_t> bits;
    int checked = 0;
    while (checked < 2000) {
        std::uint64_t b = bits(rng);
        double v;
        std::memcpy(&v, &b, sizeof v);
        if (!std::isfinite(v)) continue;
        ++checked;
        Bytes images = format_ok("R", Value::make_real(v), kNone);
        ASSERT_EQ(images.size(), kCardLen);
        auto back = read_back(images, "R");
        ASSERT_TRUE(back.has_value());
        ASSERT_TRUE(back->value.is(Value::Kind::Real)) << lines(images)[0];
        EXPECT_EQ(std::memcmp(&back->value.real, &v, sizeof v), 0) << lines(images)[0];
    }
}

// An integer wider than 64 bits is written with its digits where the card has room for them,
// and as the nearest real only where it has not.
TEST(FormatValueCard, WideIntegersKeepTheirDigitsWhereTheyFit) {
    const auto card_text = [](std::string_view keyword, const std::string& digits) {
        const std::optional<Value> v = Value::make_integer_of_any_width(digits);
        EXPECT_TRUE(v.has_value()) << digits;
        Result<Bytes> images = format_value_card(keyword, v.value_or(Value()), kNone);
        EXPECT_TRUE(images.has_value()) << digits;
        return images ? lines(*images).at(0) : std::string();
    };
    EXPECT_EQ(card_text("BIGI", "123456789012345678901"), "BIGI    = 123456789012345678901");
    EXPECT_EQ(card_text("BIGI", "-9223372036854775809"), "BIGI    = -9223372036854775809");
    const std::string seventy = "1" + repeat('0', 69);
    EXPECT_EQ(card_text("BIGI", seventy), "BIGI    = " + seventy);
    // Otherwise the card of the nearest real.
    const auto real_card = [](std::string_view keyword, double v) {
        Result<Bytes> images = format_value_card(keyword, Value::make_real(v), kNone);
        return images ? lines(*images).at(0) : std::string();
    };
    EXPECT_EQ(card_text("BIGI", seventy + "0"), real_card("BIGI", 1e70));
    EXPECT_EQ(real_card("BIGI", 1e70), "BIGI    = 1.0000000000000001E70");
    // A HIERARCH card has less room: 80 - 9 - 3 = 68 bytes after a 9-byte keyword.
    const std::string key = "HIERARCH " + repeat('K', 40);
    const std::string fits = "1" + repeat('0', 27);
    EXPECT_EQ(card_text(key, fits), key + " = " + fits);
    EXPECT_EQ(card_text(key, fits + "0"), real_card(key, 1e28));
}

TEST(FormatValueCard, Failures) {
    struct Case {
        std::string keyword;
        Value value;
        std::optional<std::string> comment;
        std::string msg;
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const std::string long_hierarch = "HIERARCH " + repeat('A', 60);
    const std::vector<Case> cases = {
        {"R", Value::make_real(nan), kNone, "non-finite real `NaN` cannot appear in a FITS header"},
        {"R", Value::make_real(inf), kNone, "non-finite real `inf` cannot appear in a FITS header"},
        {"R", Value::make_real(-inf), kNone,
         "non-finite real `-inf` cannot appear in a FITS header"},
        {"C", Value::make_complex_real(nan, 1.0), kNone,
         "non-finite complex value `(NaN, 1)` cannot appear in a FITS header"},
        {"C", Value::make_complex_real(0.5, -inf), kNone,
         "non-finite complex value `(0.5, -inf)` cannot appear in a FITS header"},
        {"C", Value::make_complex_real(1e300, 0.0), kNone,
         "value card for `C` does not fit in 80 bytes (value is 310 chars)"},
        {"U", Value::make_unparsed(repeat('x', 71)), kNone,
         "value card for `U` does not fit in 80 bytes (value is 71 chars)"},
        {"U", Value::make_unparsed("a\tb"), kNone, "header card contains non-printable byte 0x09"},
        {long_hierarch, Value::make_integer(1), kNone,
         "HIERARCH card for `" + long_hierarch + "` would not fit in 80 bytes"},
        {"VERYLONGKEY", Value::make_integer(1), kNone,
         "keyword `VERYLONGKEY` exceeds 8 chars (HIERARCH form required)"},
        {"N", Value::make_integer(1), "bell\a", "header card contains non-printable byte 0x07"},
        {"N", Value::make_integer(1), words(12) + " \x7F",
         "commentary text contains non-printable byte 0x7F"},
    };
    for (const Case& c : cases) {
        Result<Bytes> r = format_value_card(c.keyword, c.value, c.comment);
        ASSERT_FALSE(r.has_value()) << c.msg;
        EXPECT_EQ(r.error().kind, Error::Kind::Header) << c.msg;
        EXPECT_EQ(r.error().msg, c.msg);
    }
}

// ---------------------------------------------------------------- comments

TEST(FormatValueCard, CommentPlacementAndOverflow) {
    struct Case {
        const char* name;
        Value value;
        std::string comment;
        std::vector<std::string> images;
    };
    const std::string c47 = repeat('a', 47);
    const std::string c48 = repeat('b', 48);
    const std::string c67 = repeat('c', 67);
    const std::string c68 = repeat('d', 68);
    const std::string thirty = words(30);  // 149 bytes
    const std::string hard = repeat('h', 60) + " tail";
    const std::string lead = " " + repeat('l', 70);
    const std::string trailing_cut = repeat('t', 67) + " ";  // cut exactly at its only blank
    const std::vector<Case> cases = {
        {"47 bytes at the standard position",
         Value::make_undefined(),
         c47,
         {"K       =                      / " + c47}},
        {"48 bytes right after the indicator",
         Value::make_undefined(),
         c48,
         {"K       =  / " + c48}},
        {"67 bytes fill the card", Value::make_undefined(), c67, {"K       =  / " + c67}},
        {"68 letters spill one byte",
         Value::make_undefined(),
         c68,
         {"K       =  / " + repeat('d', 67), "COMMENT d"}},
        {"nine whole words, the rest every 72 bytes",
         Value::make_integer(1),
         thirty,
         {"K       =                    1 / " + thirty.substr(0, 44),
          "COMMENT " + thirty.substr(45, 72), "COMMENT " + thirty.substr(117)}},
        {"no blank before the cut: hard cut",
         Value::make_integer(1),
         hard,
         {"K       =                    1 / " + repeat('h', 47),
          "COMMENT " + repeat('h', 13) + " tail"}},
        {"only blank is the first byte: all of it moves",
         Value::make_integer(1),
         lead,
         {"K       =                    1", "COMMENT " + lead}},
        {"cut at the last byte, a blank: no overflow",
         Value::make_undefined(),
         trailing_cut,
         {"K       =  / " + repeat('t', 67)}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(lines(format_ok("K", c.value, c.comment)), c.images) << c.name;
    }
}

TEST(AppendCardComment, CutsAndReportsOverflow) {
    struct Case {
        std::size_t used;
        std::string comment;
        std::string line;
        std::optional<std::string> overflow;
    };
    const std::vector<Case> cases = {
        {10, "note", at_column("", 32, "/ note"), kNone},
        {40, "note", at_column("", 42, "/ note"), kNone},
        {77, "ab", "", "ab"},                                      // no room at all
        {78, "ab", "", "ab"},                                      // s beyond 77
        {76, "ab", at_column("", 78, "/ a"), "b"},                 // one byte fits, hard cut
        {70, "ab cdefg", at_column("", 72, "/ ab"), "cdefg"},      // cut at the last blank
        {70, "abc defgh", at_column("", 72, "/ abc"), "defgh"},    // cut at the last blank
        {70, "abcdefg hi", at_column("", 72, "/ abcdefg"), "hi"},  // the cut byte is a blank
        {70, "abcdefgh", at_column("", 72, "/ abcdefg"), "h"},     // no blank: hard cut
    };
    for (const Case& c : cases) {
        CardImage image;
        image.fill(' ');
        Result<std::optional<std::string>> r = append_card_comment(image, c.used, c.comment);
        ASSERT_TRUE(r.has_value());
        std::string line(image.begin(), image.end());
        line.erase(line.find_last_not_of(' ') + 1);
        EXPECT_EQ(line, c.line) << c.used << " " << c.comment;
        EXPECT_EQ(*r, c.overflow) << c.used << " " << c.comment;
    }
    CardImage image;
    image.fill(' ');
    EXPECT_EQ(*append_card_comment(image, 10, std::nullopt), kNone);
    EXPECT_EQ(*append_card_comment(image, 10, ""), kNone);
    EXPECT_EQ(std::string(image.begin(), image.end()), repeat(' ', 80));
}

TEST(EnsureDecimalPoint, InsertsBeforeTheExponent) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"5", "5.0"},     {"-0", "-0.0"},     {"1.5", "1.5"},
        {"1E5", "1.0E5"}, {"2e-3", "2.0e-3"}, {".5", ".5"},
    };
    for (const auto& [in, out] : cases)
        EXPECT_EQ(ensure_decimal_point(in), out) << in;
}

// ---------------------------------------------------------------- commentary

TEST(FormatCommentaryCards, CutsEvery72Bytes) {
    const std::string text150 = repeat('x', 72) + repeat('y', 72) + repeat('z', 6);
    EXPECT_EQ(
        lines(*format_commentary_cards("COMMENT", text150)),
        (std::vector<std::string>{"COMMENT " + repeat('x', 72), "HISTORY"}[0].empty()
             ? std::vector<std::string>{}
             : std::vector<std::string>{"COMMENT " + repeat('x', 72), "COMMENT " + repeat('y', 72),
                                        "COMMENT " + repeat('z', 6)}));
    EXPECT_EQ(lines(*format_commentary_cards("HISTORY", "")), std::vector<std::string>{"HISTORY"});
    Bytes blank = *format_commentary_cards("", "  indented");
    EXPECT_EQ(lines(blank), std::vector<std::string>{"          indented"});
    EXPECT_EQ(lines(*format_commentary_cards("", "")), std::vector<std::string>{""});

    Result<Bytes> long_kw = format_commentary_cards("COMMENTS1", "x");
    ASSERT_FALSE(long_kw);
    EXPECT_EQ(long_kw.error().msg, "commentary keyword `COMMENTS1` exceeds 8 chars");
    Result<Bytes> bad = format_commentary_cards("COMMENT", repeat('a', 100) + "\xE9");
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error().kind, Error::Kind::Header);
    EXPECT_EQ(bad.error().msg, "commentary text contains non-printable byte 0xE9");
}

// ---------------------------------------------------------------- keywords

TEST(ValidateKeyword, AcceptsWhatReadsBack) {
    const std::vector<std::string> good = {
        "DATE-OBS",   "TIME_SYS",       "A",    "NAXIS1",         "COMMENT",
        "HISTORY",    "CONTINUE",       "ENDX", "HIERARCH a.b c", "HIERARCH ESO DET CHIP1 GAIN",
        "HIERARCH x", "HIERARCH a/b's",
    };
    for (const std::string& k : good) {
        EXPECT_TRUE(validate_keyword(k).has_value()) << k;
    }
    // Every accepted value-card keyword comes back from the card parser unchanged.
    for (const std::string& k : good) {
        if (is_commentary_keyword(k)) continue;
        Bytes images = format_ok(k, Value::make_integer(1), kNone);
        Result<ParsedCard> parsed = parse_card(ByteSpan(images).first(kCardLen), 0, false);
        ASSERT_TRUE(parsed.has_value()) << k;
        EXPECT_EQ(parsed->kind, CardKind::Value) << k;
        EXPECT_EQ(parsed->keyword, k);
    }
}

TEST(ValidateKeyword, RefusesWithMessages) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", "keyword is empty"},
        {"naxis", "keyword `naxis` contains invalid byte 0x6E"},
        {"A B", "keyword `A B` contains invalid byte 0x20"},
        {"VERYLONGKEY", "keyword `VERYLONGKEY` exceeds 8 chars"},
        {"HIERARCHX", "keyword `HIERARCHX` exceeds 8 chars"},
        {"HIERARCH a\tb", "HIERARCH keyword contains non-printable byte 0x09"},
        {"END", "keyword `END` cannot be used for a value card"},
        {"HIERARCH", "HIERARCH keyword `HIERARCH` has an empty name"},
        {"HIERARCH ", "HIERARCH keyword `HIERARCH ` has an empty name"},
        {"HIERARCH    ", "HIERARCH keyword `HIERARCH    ` has an empty name"},
        {"HIERARCH A=B", "HIERARCH keyword `HIERARCH A=B` contains '='"},
        {"HIERARCH A = B", "HIERARCH keyword `HIERARCH A = B` contains '='"},
        {"HIERARCH  A",
         "HIERARCH keyword `HIERARCH  A` has leading, trailing or doubled "
         "blanks in its name"},
        {"HIERARCH A ",
         "HIERARCH keyword `HIERARCH A ` has leading, trailing or doubled "
         "blanks in its name"},
        {"HIERARCH A  B",
         "HIERARCH keyword `HIERARCH A  B` has leading, trailing or doubled "
         "blanks in its name"},
    };
    for (const auto& [keyword, msg] : cases) {
        Result<void> r = validate_keyword(keyword);
        ASSERT_FALSE(r.has_value()) << keyword;
        EXPECT_EQ(r.error().kind, Error::Kind::Header);
        EXPECT_EQ(r.error().msg, msg);
    }
}

// ---------------------------------------------------------------- strings

TEST(FormatString, Images) {
    struct Case {
        const char* name;
        std::string keyword;
        std::string value;
        std::optional<std::string> comment;
        std::vector<std::string> images;
    };
    const std::string x100 = repeat('x', 100);
    const std::string s68 = repeat('s', 68);
    const std::string s69 = repeat('t', 69);
    const std::string q1 = repeat('q', 66) + "'";
    const std::string q2 = repeat('r', 66) + "''";
    const std::string l150 = repeat('a', 67) + repeat('b', 67) + repeat('c', 16);
    const std::string c51 = repeat('m', 20) + " " + repeat('n', 30);
    const std::vector<Case> cases = {
        {"short, with comment",
         "OBJECT",
         "abc",
         "target",
         {"OBJECT  = 'abc     '           / target"}},
        {"empty", "OBJECT", "", kNone, {"OBJECT  = '        '"}},
        // The blank fill counts escaped bytes: O''HARA is seven of them.
        {"escaped quote", "NAME", "O'HARA", kNone, {"NAME    = 'O''HARA '"}},
        {"nine letters are not filled", "S", "abcdefghi", kNone, {"S       = 'abcdefghi'"}},
        {"100 letters",
         "LONGSTR",
         x100,
         kNone,
         {"LONGSTR = '" + repeat('x', 67) + "&'", "CONTINUE  '" + repeat('x', 33) + "'"}},
        {"68 bytes fill one card", "S", s68, kNone, {"S       = '" + s68 + "'"}},
        {"68 bytes and an empty comment",
         "S",
         s68,
         "",
         {"S       = '" + repeat('s', 67) + "&'", "CONTINUE  's'"}},
        {"69 bytes", "S", s69, kNone, {"S       = '" + repeat('t', 67) + "&'", "CONTINUE  'tt'"}},
        {"66 letters and a quote fit", "S", q1, kNone, {"S       = '" + repeat('q', 66) + "'''"}},
        {"escaped quotes stay together",
         "S",
         q2,
         kNone,
         {"S       = '" + repeat('r', 66) + "&'", "CONTINUE  " + repeat('\'', 6)}},
        {"comment rides on the last pieces",
         "S",
         l150,
         c51,
         {"S       = '" + repeat('a', 67) + "&'", "CONTINUE  '" + repeat('b', 67) + "&'",
          "CONTINUE  '" + repeat('c', 16) + "&' / " + repeat('m', 20),
          at_column("CONTINUE  ''", 32, "/ " + repeat('n', 30))}},
        {"HIERARCH string",
         "HIERARCH A B",
         "it's",
         "c",
         {at_column("HIERARCH A B = 'it''s'", 32, "/ c")}},
        {"HIERARCH overflow on COMMENT cards",
         "HIERARCH " + repeat('K', 11),
         repeat('v', 40),
         repeat('w', 40),
         {"HIERARCH " + repeat('K', 11) + " = '" + repeat('v', 40) + "' / " + repeat('w', 12),
          "COMMENT " + repeat('w', 28)}},
    };
    for (const Case& c : cases) {
        Bytes images = format_ok(c.keyword, Value::make_string(c.value), c.comment);
        EXPECT_EQ(lines(images), c.images) << c.name;
        auto back = read_back(images, c.keyword);
        ASSERT_TRUE(back.has_value()) << c.name;
        EXPECT_EQ(back->value, Value::make_string(c.value)) << c.name;
    }
}

// A short string whose blank fill would push its comment off the card is written without
// the fill, so no blanks end up inside an open form and the string reads back unchanged.
TEST(FormatString, ShortStringsWithLongCommentsReadBackExactly) {
    {
        const std::string c60 = repeat('c', 60);
        Bytes images = format_ok("LONGSTR", Value::make_string("abc"), c60);
        EXPECT_EQ(lines(images), std::vector<std::string>{"LONGSTR = 'abc' / " + c60});
    }
    {
        // Only the empty string still needs the open form: its comment fits nowhere.
        const std::string c70 = words(14);  // 69 bytes
        Bytes images = format_ok("E", Value::make_string(""), c70);
        std::vector<std::string> got = lines(images);
        ASSERT_EQ(got.size(), 2u);
        EXPECT_EQ(got[0], "E       = '&' / " + c70.substr(0, 64));
        EXPECT_EQ(got[1], at_column("CONTINUE  ''", 32, "/ " + c70.substr(65)));
        auto back = read_back(images, "E");
        ASSERT_TRUE(back.has_value());
        EXPECT_EQ(back->value, Value::make_string(""));
        EXPECT_EQ(back->comment, c70);
    }
    for (std::size_t len = 0; len <= 9; ++len) {
        for (std::size_t clen = 50; clen <= 72; ++clen) {
            const std::string value = repeat('v', len);
            const std::string comment = repeat('c', clen);
            Bytes images = format_ok("K", Value::make_string(value), comment);
            auto back = read_back(images, "K");
            ASSERT_TRUE(back.has_value());
            EXPECT_EQ(back->value, Value::make_string(value)) << len << " " << clen;
            ASSERT_TRUE(back->comment.has_value());
            EXPECT_EQ(without_blanks(*back->comment), comment) << len << " " << clen;
        }
    }
}

// Some readers take a last piece of blanks only as empty and then keep the '&' of the piece
// before it; a continued string is cut so that its last piece ends in a non-blank byte.
TEST(FormatString, LastPieceOfAContinuedStringIsNeverBlank) {
    struct Case {
        std::string value;
        std::optional<std::string> comment;
        std::vector<std::string> images;
    };
    const std::vector<Case> cases = {
        {repeat('x', 133) + "  ",
         kNone,
         {"S       = '" + repeat('x', 67) + "&'", "CONTINUE  '" + repeat('x', 66) + "'"}},
        {repeat('x', 134) + " ",
         kNone,
         {"S       = '" + repeat('x', 67) + "&'", "CONTINUE  '" + repeat('x', 67) + "'"}},
        {repeat('y', 60) + repeat(' ', 9), kNone, {"S       = '" + repeat('y', 60) + "'"}},
        {repeat(' ', 200), kNone, {"S       = '        '"}},
        {"ab" + repeat(' ', 70), "note", {at_column("S       = 'ab      '", 32, "/ note")}},
    };
    for (const Case& c : cases) {
        Bytes images = format_ok("S", Value::make_string(c.value), c.comment);
        EXPECT_EQ(lines(images), c.images) << c.value.size();
        auto back = read_back(images, "S");
        ASSERT_TRUE(back.has_value());
        EXPECT_EQ(back->value.text, c.value.substr(0, c.value.find_last_not_of(' ') + 1));
    }
}

TEST(FormatString, RandomStringsReadBack) {
    std::mt19937 rng(11);
    const std::string alphabet = "abcXYZ09 '&/=.";
    std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
    std::uniform_int_distribution<std::size_t> length(0, 260);
    std::uniform_int_distribution<int> comment_kind(0, 3);
    for (int i = 0; i < 3000; ++i) {
        std::string value;
        const std::size_t n = length(rng);
        for (std::size_t j = 0; j < n; ++j)
            value += alphabet[pick(rng)];
        // Trailing blanks never survive a FITS string.
        while (!value.empty() && value.back() == ' ')
            value.pop_back();
        std::optional<std::string> comment;
        switch (comment_kind(rng)) {
            case 0:
                break;
            case 1:
                comment = "";
                break;
            case 2:
                comment = words(1 + length(rng) % 6);
                break;
            default:
                comment = words(1 + length(rng) % 40);
                break;
        }
        Bytes images = format_ok("KEY", Value::make_string(value), comment);
        auto back = read_back(images, "KEY");
        ASSERT_TRUE(back.has_value());
        ASSERT_EQ(back->value, Value::make_string(value)) << value;
        if (comment && !comment->empty()) {
            ASSERT_TRUE(back->comment.has_value()) << value;
            EXPECT_EQ(without_blanks(*back->comment), without_blanks(*comment)) << value;
        }
        // The whole card is one logical card: nothing left over for a second lookup.
        EXPECT_EQ(Header(images).len(), 1u) << value;
    }
}

TEST(FormatString, Failures) {
    struct Case {
        std::string keyword;
        std::string value;
        std::optional<std::string> comment;
        std::string msg;
    };
    const std::string k20 = "HIERARCH " + repeat('K', 11);
    const std::string k76 = "HIERARCH " + repeat('K', 67);
    const std::vector<Case> cases = {
        {"S", "a\tb", kNone, "string value for `S` contains non-printable byte 0x09"},
        {"S", repeat('a', 200) + "\t", kNone,
         "string value for `S` contains non-printable byte 0x09"},
        {k20, repeat('v', 56), kNone,
         "string value for HIERARCH keyword `" + k20 +
             "` is too long for one card (56 chars); CONTINUE chaining is not emitted for "
             "HIERARCH"},
        {k20, repeat('v', 54) + "'", kNone,
         "string value for HIERARCH keyword `" + k20 +
             "` is too long for one card (56 chars); CONTINUE chaining is not emitted for "
             "HIERARCH"},
        {k76, "", kNone, "HIERARCH card for `" + k76 + "` would not fit in 80 bytes"},
        {k20, "v", repeat('w', 60) + "\x01", "commentary text contains non-printable byte 0x01"},
        {"S", repeat('s', 100), "ok \x02", "header card contains non-printable byte 0x02"},
    };
    for (const Case& c : cases) {
        Result<Bytes> r = format_value_card(c.keyword, Value::make_string(c.value), c.comment);
        ASSERT_FALSE(r.has_value()) << c.msg;
        EXPECT_EQ(r.error().kind, Error::Kind::Header);
        EXPECT_EQ(r.error().msg, c.msg);
    }
    // 55 escaped bytes still fit a 20-byte HIERARCH keyword's card, to column 80.
    Bytes fits = format_ok(k20, Value::make_string(repeat('v', 55)), kNone);
    EXPECT_EQ(lines(fits), std::vector<std::string>{k20 + " = '" + repeat('v', 55) + "'"});
    EXPECT_EQ(lines(fits)[0].size(), 80u);
}

TEST(ContinueCards, Images) {
    Result<CardImageAndOverflow> one = continue_card_image("'abc'", std::string_view("note"));
    ASSERT_TRUE(one);
    EXPECT_EQ(std::string(one->image.begin(), one->image.end()),
              testing::card(at_column("CONTINUE  'abc'", 32, "/ note")));
    EXPECT_FALSE(one->overflow.has_value());

    Result<CardImageAndOverflow> too_long = continue_card_image(repeat('x', 71), kNone);
    ASSERT_FALSE(too_long);
    EXPECT_EQ(too_long.error().msg, "CONTINUE value field exceeds 70 bytes");
    Result<CardImageAndOverflow> bad = continue_card_image("'a\x7F'", kNone);
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error().msg, "header card contains non-printable byte 0x7F");

    struct Case {
        const char* name;
        std::string text;
        std::vector<std::string> images;
    };
    const std::string w64 = repeat('a', 64);
    // A closing image with its comment at the standard position, up to the slash.
    const std::string last = at_column("CONTINUE  ''", 32, "");
    const std::vector<Case> cases = {
        {"short", "tail", {last + "/ tail"}},
        {"blank at 64 is dropped", w64 + " next", {"CONTINUE  '&' / " + w64, last + "/ next"}},
        {"cut at the last blank",
         repeat('b', 50) + " " + repeat('c', 20),
         {"CONTINUE  '&' / " + repeat('b', 50), last + "/ " + repeat('c', 20)}},
        {"no blank: hard cut",
         repeat('d', 70),
         {"CONTINUE  '&' / " + repeat('d', 64), last + "/ dddddd"}},
        {"first byte the only blank",
         " " + repeat('e', 70),
         {at_column("CONTINUE  '&'", 32, "/"), "CONTINUE  '&' / " + repeat('e', 64),
          last + "/ eeeeee"}},
    };
    for (const Case& c : cases) {
        Bytes images;
        ASSERT_TRUE(format_continue_cards(images, c.text)) << c.name;
        EXPECT_EQ(lines(images), c.images) << c.name;
    }
    Bytes none;
    ASSERT_TRUE(format_continue_cards(none, std::nullopt));
    EXPECT_TRUE(none.empty());
}

TEST(PushOverflowCommentCards, AppendsCommentImages) {
    Bytes images = *format_commentary_cards("HISTORY", "h");
    ASSERT_TRUE(push_overflow_comment_cards(images, std::nullopt));
    EXPECT_EQ(images.size(), kCardLen);
    ASSERT_TRUE(push_overflow_comment_cards(images, std::string("more")));
    EXPECT_EQ(lines(images), (std::vector<std::string>{"HISTORY h", "COMMENT more"}));
}

}  // namespace
}  // namespace vexlo
