#include "header/card.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "error.hpp"
#include "util/bytes.hpp"

namespace vexlo {
namespace {

// An 80-byte image: the text left-justified and padded with blanks.
std::string card(std::string_view text) {
    std::string out(text);
    out.resize(kCardLen, ' ');
    return out;
}

// The same image with one byte replaced (0-based index).
std::string with_byte(std::string image, std::size_t index, unsigned char b) {
    image[index] = static_cast<char>(b);
    return image;
}

ByteSpan span(const std::string& s) {
    return as_bytes(s);
}

constexpr std::uint64_t kOffset = 2880;

struct GoodCase {
    const char* name;
    std::string image;
    bool lenient;
    CardKind kind;
    std::string keyword;
    std::string body;
};

std::vector<GoodCase> good_cases() {
    const std::string hierarch = card("HIERARCH ESO DET  CHIP = 5");
    // The "=" of the indicator in column 79 leaves an empty body.
    const std::string hierarch_end = "HIERARCH " + std::string(68, 'N') + " = ";
    const std::string tab_body = with_byte(card("KEY     = 1"), 12, '\t');
    const std::string nul_body = with_byte(card("KEY     = 1"), 12, 0);
    return {
        {"end strict", card("END"), false, CardKind::End, "END", ""},
        {"end lenient", card("END"), true, CardKind::End, "END", ""},
        {"lower-case end lenient", card("end"), true, CardKind::End, "END", ""},
        {"end with tab in body lenient", with_byte(card("END"), 9, '\t'), true, CardKind::End,
         "END", ""},
        {"value card", card("NAXIS   =                    2 / axes"), false, CardKind::Value,
         "NAXIS", card("NAXIS   =                    2 / axes").substr(10)},
        {"lenient upper-cases", card("naxis   = 2"), true, CardKind::Value, "NAXIS",
         card("naxis   = 2").substr(10)},
        {"lenient leading blank", card(" ABC    = 1"), true, CardKind::Value, "_ABC",
         card(" ABC    = 1").substr(10)},
        {"lenient two words", card("AB CD   = 1"), true, CardKind::Value, "AB_CD",
         card("AB CD   = 1").substr(10)},
        {"lenient other byte", card("A$B     = 1"), true, CardKind::Value, "A_B",
         card("A$B     = 1").substr(10)},
        {"lenient control byte in keyword", with_byte(card("AXB     = 1"), 1, 0x01), true,
         CardKind::Value, "A_B", card("AXB     = 1").substr(10)},
        {"blank keyword", card("        some text"), false, CardKind::Commentary, "",
         card("        some text").substr(8)},
        {"history with indicator", card("HISTORY = x"), false, CardKind::Commentary, "HISTORY",
         card("HISTORY = x").substr(8)},
        {"comment with indicator", card("COMMENT = x"), false, CardKind::Commentary, "COMMENT",
         card("COMMENT = x").substr(8)},
        {"eight letters starting HISTORY", card("HISTORYX= 1"), false, CardKind::Value, "HISTORYX",
         card("HISTORYX= 1").substr(10)},
        {"continue", card("CONTINUE  'abc&'"), false, CardKind::Continue, "CONTINUE",
         card("CONTINUE  'abc&'").substr(8)},
        {"continue with indicator", card("CONTINUE= 'abc'"), false, CardKind::Value, "CONTINUE",
         card("CONTINUE= 'abc'").substr(10)},
        {"equals without blank", card("KEY     =X"), false, CardKind::Commentary, "KEY",
         card("KEY     =X").substr(8)},
        {"no indicator", card("KEY     text"), false, CardKind::Commentary, "KEY",
         card("KEY     text").substr(8)},
        {"hierarch", hierarch, false, CardKind::Value, "HIERARCH ESO DET CHIP",
         hierarch.substr(25)},
        {"hierarch leading blanks", card("HIERARCH    ESO   X  = T"), false, CardKind::Value,
         "HIERARCH ESO X", card("HIERARCH    ESO   X  = T").substr(23)},
        {"hierarch keeps case", card("hierarch Eso det = 'x'"), true, CardKind::Value,
         "HIERARCH Eso det", card("hierarch Eso det = 'x'").substr(19)},
        {"hierarch lenient tab", with_byte(card("HIERARCH AXB = 1"), 10, '\t'), true,
         CardKind::Value, "HIERARCH A B", card("HIERARCH AXB = 1").substr(15)},
        {"hierarch indicator at column 79", hierarch_end, false, CardKind::Value,
         "HIERARCH " + std::string(68, 'N'), ""},
        // Lenient reading keeps a HIERARCH card it cannot read as a value as commentary,
        // body unchanged, as other readers do.
        {"hierarch no indicator lenient", card("HIERARCH ESO DET WIN1 BINX 1"), true,
         CardKind::Commentary, "HIERARCH", card("HIERARCH ESO DET WIN1 BINX 1").substr(8)},
        {"hierarch equals in column 9 lenient", card("HIERARCH= 5"), true, CardKind::Commentary,
         "HIERARCH", card("HIERARCH= 5").substr(8)},
        {"hierarch equals without blank lenient", card("HIERARCH ESO A B=5"), true,
         CardKind::Commentary, "HIERARCH", card("HIERARCH ESO A B=5").substr(8)},
        {"hierarch equals inside name lenient", card("HIERARCH A=B = 5"), true,
         CardKind::Commentary, "HIERARCH", card("HIERARCH A=B = 5").substr(8)},
        {"hierarch empty name lenient", card("HIERARCH    = 5"), true, CardKind::Commentary,
         "HIERARCH", card("HIERARCH    = 5").substr(8)},
        {"strict nul keyword", std::string(8, '\0') + card("").substr(8), false,
         CardKind::Commentary, "", std::string(72, ' ')},
        {"strict trailing nul in keyword", with_byte(card("AB      = 1"), 2, 0), false,
         CardKind::Value, "AB", card("AB      = 1").substr(10)},
        {"strict keeps tab in body", tab_body, false, CardKind::Value, "KEY", tab_body.substr(10)},
        {"lenient blanks tab in body", tab_body, true, CardKind::Value, "KEY",
         card("KEY     = 1").substr(10)},
        {"strict blanks nul in body", nul_body, false, CardKind::Value, "KEY",
         card("KEY     = 1").substr(10)},
        {"strict keeps latin-1 in body", with_byte(card("KEY     = 1"), 12, 0xE9), false,
         CardKind::Value, "KEY", with_byte(card("KEY     = 1"), 12, 0xE9).substr(10)},
    };
}

TEST(ParseCard, KindsKeywordsAndBodies) {
    for (const GoodCase& c : good_cases()) {
        ASSERT_EQ(c.image.size(), kCardLen) << c.name;
        const auto parsed = parse_card(span(c.image), kOffset, c.lenient);
        ASSERT_TRUE(parsed.has_value()) << c.name << ": " << parsed.error().message();
        EXPECT_EQ(parsed->kind, c.kind) << c.name;
        EXPECT_EQ(parsed->keyword, c.keyword) << c.name;
        EXPECT_EQ(parsed->body, c.body) << c.name;
    }
}

TEST(ParseCard, BodyLengthsFollowKind) {
    const auto value = parse_card(span(card("KEY     = 1")), 0, false);
    const auto commentary = parse_card(span(card("COMMENT x")), 0, false);
    const auto cont = parse_card(span(card("CONTINUE  'a'")), 0, false);
    ASSERT_TRUE(value && commentary && cont);
    EXPECT_EQ(value->body.size(), 70u);
    EXPECT_EQ(commentary->body.size(), 72u);
    EXPECT_EQ(cont->body.size(), 72u);
}

struct BadCase {
    const char* name;
    std::string image;
    bool lenient;
    std::uint64_t offset;
    std::string msg;
};

std::vector<BadCase> bad_cases() {
    const std::string end_letter = with_byte(card("END"), 19, 'X');
    return {
        {"79 bytes", std::string(79, ' '), false, kOffset, "expected 80 bytes, got 79"},
        {"81 bytes", std::string(81, ' '), true, kOffset, "expected 80 bytes, got 81"},
        {"empty", std::string(), true, kOffset, "expected 80 bytes, got 0"},
        {"lower-case end strict", card("end"), false, kOffset,
         "invalid character 0x65 in keyword name"},
        {"leading blank strict", card(" ABC    = 1"), false, kOffset,
         "invalid character 0x20 in keyword name"},
        {"other byte strict", card("AB$     = 1"), false, kOffset + 2,
         "invalid character 0x24 in keyword name"},
        {"nul inside keyword strict", with_byte(card("AXB     = 1"), 1, 0), false, kOffset + 1,
         "invalid character 0x20 in keyword name"},
        {"latin-1 in keyword strict", with_byte(card("ABC     = 1"), 2, 0xE9), false, kOffset + 2,
         "invalid character 0xE9 in keyword name"},
        {"end with letter strict", end_letter, false, kOffset + 19,
         "non-space byte in END card body"},
        {"end with letter lenient", end_letter, true, kOffset + 19,
         "non-space byte in END card body"},
        {"end with tab strict", with_byte(card("END"), 9, '\t'), false, kOffset + 9,
         "non-space byte in END card body"},
        {"hierarch equals in column 9", card("HIERARCH= 5"), false, kOffset + 8,
         "HIERARCH card: expected space after HIERARCH"},
        {"hierarch equals in column 9 no blank", card("HIERARCH=5"), false, kOffset + 8,
         "HIERARCH card: expected space after HIERARCH"},
        {"hierarch without indicator", card("HIERARCH FOO 5"), false, kOffset,
         "HIERARCH card has no `= ` value indicator"},
        {"hierarch equals without blank", card("HIERARCH FOO=5"), false, kOffset,
         "HIERARCH card has no `= ` value indicator"},
        // "=" in column 80 cannot start an indicator: no blank can follow it.
        {"hierarch equals in column 80", with_byte(card("HIERARCH FOO"), 79, '='), false, kOffset,
         "HIERARCH card has no `= ` value indicator"},
        {"hierarch empty name", card("HIERARCH = 5"), false, kOffset,
         "HIERARCH card has empty keyword name"},
        {"hierarch blank name", card("HIERARCH    = 5"), false, kOffset,
         "HIERARCH card has empty keyword name"},
        {"hierarch equals inside name", card("HIERARCH A=B = 5"), false, kOffset + 10,
         "HIERARCH: invalid keyword byte 0x3D"},
        {"hierarch tab in name strict", with_byte(card("HIERARCH AXB = 5"), 10, '\t'), false,
         kOffset + 10, "HIERARCH: invalid keyword byte 0x09"},
        {"hierarch latin-1 in name strict", with_byte(card("HIERARCH AXB = 5"), 10, 0xE9), false,
         kOffset + 10, "HIERARCH: invalid keyword byte 0xE9"},
        {"hierarch del in name strict", with_byte(card("HIERARCH AXB = 5"), 11, 0x7F), false,
         kOffset + 11, "HIERARCH: invalid keyword byte 0x7F"},
    };
}

TEST(ParseCard, FailuresWithOffsets) {
    for (const BadCase& c : bad_cases()) {
        const auto parsed = parse_card(span(c.image), kOffset, c.lenient);
        ASSERT_FALSE(parsed.has_value()) << c.name;
        const Error& e = parsed.error();
        EXPECT_EQ(e.kind, Error::Kind::Card) << c.name;
        EXPECT_EQ(e.offset, c.offset) << c.name;
        EXPECT_EQ(e.msg, c.msg) << c.name;
    }
}

TEST(ParseCard, ErrorText) {
    const auto parsed = parse_card(span(card("AB$")), 160, false);
    ASSERT_FALSE(parsed.has_value());
    EXPECT_EQ(parsed.error().message(), "card at byte 162: invalid character 0x24 in keyword name");
}

// The allocation-free keyword operations must agree with the full parser.
TEST(CardKeywordOps, AgreeWithParseCard) {
    for (const GoodCase& c : good_cases()) {
        EXPECT_EQ(card_kind(span(c.image), c.lenient), c.kind) << c.name;
        EXPECT_EQ(card_keyword(span(c.image), c.lenient), c.keyword) << c.name;
        EXPECT_TRUE(card_keyword_eq(span(c.image), c.lenient, c.keyword)) << c.name;
        EXPECT_FALSE(card_keyword_eq(span(c.image), c.lenient, c.keyword + "X")) << c.name;
    }
    for (const BadCase& c : bad_cases()) {
        EXPECT_EQ(card_kind(span(c.image), c.lenient), CardKind::Commentary) << c.name;
    }
}

TEST(CardKeywordOps, UndeterminedAndSpecialKeywords) {
    struct Case {
        const char* name;
        std::string image;
        bool lenient;
        std::string keyword;  // card_keyword
        bool determined;      // false: card_keyword_eq is false for every key
    };
    const Case cases[] = {
        // A stray byte in the END body does not hide the keyword of columns 1-8.
        {"end with text", with_byte(card("END"), 19, 'X'), true, "END", true},
        {"strict rejected field", card("ab      = 1"), false, "", false},
        {"strict leading blank", card(" ABC"), false, "", false},
        {"hierarch that fails", card("HIERARCH = 5"), false, "", false},
        {"hierarch without indicator", card("HIERARCH FOO 5"), false, "", false},
        {"wrong length", std::string(79, ' '), true, "", false},
        {"blank keyword", card(""), false, "", true},
        {"strict nul keyword", std::string(8, '\0') + std::string(72, ' '), false, "", true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(card_keyword(span(c.image), c.lenient), c.keyword) << c.name;
        EXPECT_EQ(card_keyword_eq(span(c.image), c.lenient, c.keyword), c.determined) << c.name;
        EXPECT_FALSE(card_keyword_eq(span(c.image), c.lenient, "HIERARCH")) << c.name;
    }
    EXPECT_EQ(card_kind(span(with_byte(card("END"), 19, 'X')), true), CardKind::Commentary);
    EXPECT_EQ(card_kind(span(std::string(81, ' ')), true), CardKind::Commentary);
}

TEST(CardKeywordOps, KeyComparisonIsExact) {
    const std::string image = card("NAXIS1  = 2");
    const std::string hierarch = card("HIERARCH ESO DET = 1");
    struct Case {
        const std::string* image;
        const char* key;
        bool want;
    };
    const Case cases[] = {
        {&image, "NAXIS1", true},
        {&image, "naxis1", false},
        {&image, "NAXIS", false},
        {&image, "NAXIS1 ", false},
        {&image, "NAXIS1__X", false},  // longer than the keyword field
        {&image, "", false},
        {&hierarch, "HIERARCH ESO DET", true},
        {&hierarch, "HIERARCH ESO  DET", false},
        {&hierarch, "HIERARCH", false},
        {&hierarch, "HIERARCH ESO", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(card_keyword_eq(span(*c.image), true, c.key), c.want) << c.key;
    }
}

TEST(CardText, PrintableOrBlank) {
    const std::string in{'a', '\t', '\0', '~', '\x7F', '\xE9', ' ', 'Z'};
    EXPECT_EQ(printable_or_blank(span(in)), "a  ~   Z");
    EXPECT_EQ(printable_or_blank(ByteSpan{}), "");
}

TEST(CardText, Latin1ToText) {
    struct Case {
        std::string in;
        std::string want;
    };
    const Case cases[] = {
        {"\xE9", "\xC3\xA9"},
        {"abc", "abc"},
        {std::string("\0\x7F", 2), std::string("\0\x7F", 2)},
        {"\x80\xFF", "\xC2\x80\xC3\xBF"},
        {"caf\xE9!", "caf\xC3\xA9!"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(latin1_to_text(span(c.in)), c.want);
}

}  // namespace
}  // namespace vexlo
