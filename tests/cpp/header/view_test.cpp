#include "header/view.hpp"

#include <gtest/gtest.h>

#include "header/header.hpp"
#include "header_fixture.hpp"

namespace vexlo {
namespace {

using testing::card_bytes;
using testing::kv;

// A view over exactly these images, as a lookup would hand it out.
struct OwnedView {
    Bytes bytes;
    CardView view() const { return CardView{bytes}; }
};

OwnedView view_of(std::initializer_list<std::string> texts) {
    return OwnedView{card_bytes(texts)};
}

// value() reads plain integer cards straight from their bytes; every card, plain or a near
// miss, must read exactly as the full parse of value_and_comment() reads it.
TEST(CardView, ValueAgreesWithTheFullParseOnIntegersAndNearMisses) {
    const std::vector<std::string> texts = {
        kv("NAXIS", "                   2"),
        kv("NAXIS1", "-5 / a comment"),
        kv("BITPIX", "-32/tight comment"),
        kv("NAXIS2", "007"),
        kv("BIG", "123456789012345678"),
        kv("BIGGER", "1234567890123456789"),
        kv("HUGE", "12345678901234567890"),
        kv("PLUS", "+5"),
        kv("TWO", "5 6"),
        kv("REAL", "5."),
        kv("SIGN", "-"),
        kv("GAP", "- 5"),
        kv("EMPTY", ""),
        kv("EMPTYC", "/ only a comment"),
        kv("STR", "'5'"),
        kv("LOGIC", "T"),
        kv("NEGZERO", "-0"),
        "COMMENT = 5",
        "HISTORY = 5",
        "CONTINUE= 5",
        "HIERARCH= 5",
        "        = 5",
        "NOEQ      5",
        "TABS    =\t5",
        "NEG     =-12",
        "POS     =12",
        std::string("NUL     = 5") + '\0',
    };
    for (const std::string& text : texts) {
        const OwnedView images = view_of({text});
        const std::optional<Value> fast = images.view().value();
        const std::optional<ValueAndComment> full = images.view().value_and_comment();
        ASSERT_EQ(fast.has_value(), full.has_value()) << text;
        if (fast) {
            EXPECT_EQ(fast->debug(), full->value.debug()) << text;
        }
    }
    EXPECT_EQ(view_of({kv("NAXIS1", "-5 / a comment")}).view().value()->integer, -5);
    // Without a blank in column 10 there is no value indicator: commentary, not NEG = 12.
    EXPECT_FALSE(view_of({"NEG     =-12"}).view().value());
}

TEST(CardView, LongStringsJoinAndCommentsConcatenate) {
    struct Case {
        const char* name;
        OwnedView images;
        Value value;
        std::optional<std::string> comment;
    };
    const std::vector<Case> cases = {
        {"three pieces", view_of({kv("LONG", "'abc&'"), "CONTINUE  'def&'", "CONTINUE  'ghi'"}),
         Value::make_string("abcdefghi"), std::nullopt},
        {"last piece keeps its '&'",
         view_of({kv("LONG", "'abc&'"), "CONTINUE  'def&'", "CONTINUE  'ghi&'"}),
         Value::make_string("abcdefghi&"), std::nullopt},
        {"comments joined with single blanks",
         view_of({kv("LONG", "'abc&' / one"), "CONTINUE  'def&' / two", "CONTINUE  'ghi' /three"}),
         Value::make_string("abcdefghi"), "one two three"},
        {"first comment from a continuation",
         view_of({kv("LONG", "'abc&'"), "CONTINUE  'def' / only"}), Value::make_string("abcdef"),
         "only"},
        {"empty comments still join", view_of({kv("LONG", "'a&' /"), "CONTINUE  'b' / x"}),
         Value::make_string("ab"), " x"},
        {"non-string piece adds only its comment",
         view_of({kv("LONG", "'abc&'"), "CONTINUE  123 / note", "CONTINUE  'def'"}),
         Value::make_string("abcdef"), "note"},
        {"piece after a closed string is ignored",
         view_of({kv("LONG", "'abc'"), "CONTINUE  'def' / c"}), Value::make_string("abc"), "c"},
        {"unparsable continuation image is skipped",
         view_of({kv("LONG", "'abc&'"), "HIERARCH=bad", "CONTINUE  'def'"}),
         Value::make_string("abcdef"), std::nullopt},
        {"a lone ampersand is dropped", view_of({kv("LONG", "'&'"), "CONTINUE  'x'"}),
         Value::make_string("x"), std::nullopt},
        {"unparsed value", view_of({kv("BAD", "abc / note")}), Value::make_unparsed("abc"), "note"},
        {"undefined value", view_of({kv("U", "")}), Value::make_undefined(), std::nullopt},
        {"hierarch", view_of({"HIERARCH ESO  TEL = 1.5 / c"}), Value::make_real(1.5), "c"},
    };
    for (const auto& c : cases) {
        CardView v = c.images.view();
        auto vc = v.value_and_comment();
        ASSERT_TRUE(vc) << c.name;
        EXPECT_EQ(vc->value, c.value) << c.name << ": " << vc->value.debug();
        EXPECT_EQ(vc->comment, c.comment) << c.name;
        EXPECT_EQ(v.value(), c.value) << c.name;
        EXPECT_EQ(v.comment(), c.comment) << c.name;
        auto e = v.entry();
        ASSERT_TRUE(e) << c.name;
        EXPECT_EQ(e->keyword, v.keyword()) << c.name;
        EXPECT_EQ(e->value, c.value) << c.name;
        EXPECT_EQ(e->comment, c.comment) << c.name;
    }
}

TEST(CardView, NonValueCardsHaveNoValue) {
    for (const auto& images :
         {view_of({"COMMENT   text / x"}), view_of({"END"}), view_of({"CONTINUE  'abc'"}),
          view_of({""}), view_of({"END       junk"}), view_of({"HIERARCH=x = 1"})}) {
        CardView v = images.view();
        EXPECT_FALSE(v.value_and_comment()) << testing::text_of(v.bytes);
        EXPECT_FALSE(v.value());
        EXPECT_FALSE(v.comment());
        EXPECT_FALSE(v.entry());
    }
    // A value card without " / " has no comment.
    EXPECT_FALSE(view_of({kv("A", "1")}).view().comment());
}

TEST(CardView, CommentaryText) {
    OwnedView tab = view_of({"COMMENT  x\ty"});
    OwnedView ff = view_of({"HISTORY  a_b"});
    ff.bytes[10] = 0xFF;
    struct Case {
        const char* name;
        Bytes bytes;
        std::optional<std::string> text;
    };
    const std::vector<Case> cases = {
        {"leading blanks kept, trailing dropped", view_of({"COMMENT   two blanks   "}).bytes,
         "  two blanks"},
        {"tab becomes a blank", tab.bytes, " x y"},
        {"0xFF becomes a blank", ff.bytes, " a b"},
        {"blank keyword", view_of({"        free text"}).bytes, "free text"},
        {"no value indicator", view_of({"NOTE     = x"}).bytes, " = x"},
        {"unattached continuation", view_of({"CONTINUE  'abc' / c"}).bytes, "  'abc' / c"},
        {"empty text", view_of({"COMMENT"}).bytes, ""},
        {"value card", view_of({kv("A", "1")}).bytes, std::nullopt},
        {"END card", view_of({"END"}).bytes, std::nullopt},
        {"card that does not parse", view_of({"END       x"}).bytes, ""},
        {"empty view", Bytes{}, ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CardView{c.bytes}.commentary_text(), c.text) << c.name;
    }
}

TEST(CardView, KeywordAndCommentaryClass) {
    OwnedView nul = view_of({"AB"});
    nul.bytes[1] = 0x00;
    struct Case {
        const char* name;
        Bytes bytes;
        std::string keyword;
        bool commentary;
    };
    const std::vector<Case> cases = {
        {"value card", view_of({kv("NAXIS", "2")}).bytes, "NAXIS", false},
        {"lower case", view_of({"naxis1  = 2"}).bytes, "NAXIS1", false},
        {"hierarch", view_of({"HIERARCH ESO DET   CHIP = 1"}).bytes, "HIERARCH ESO DET CHIP",
         false},
        {"broken hierarch", view_of({"HIERARCH=1"}).bytes, "HIERARCH", true},
        {"comment", view_of({"COMMENT   x"}).bytes, "COMMENT", true},
        {"comment with indicator", view_of({"COMMENT = 1"}).bytes, "COMMENT", true},
        {"blank keyword", view_of({"          x"}).bytes, "", true},
        {"unattached continuation", view_of({"CONTINUE  'x'"}).bytes, "CONTINUE", true},
        {"END", view_of({"END"}).bytes, "END", false},
        {"NUL in keyword", nul.bytes, "A", true},
        {"empty view", Bytes{}, "", false},
    };
    for (const auto& c : cases) {
        CardView v{c.bytes};
        EXPECT_EQ(v.keyword(), c.keyword) << c.name;
        EXPECT_EQ(v.is_commentary(), c.commentary) << c.name;
    }
}

TEST(CardView, ViewsFromAHeaderJoinTheirSpan) {
    Header h = testing::header_of({
        kv("OBJECT", "'first part &' / the target"),
        "CONTINUE  'second part' / continued",
        "COMMENT plain",
    });
    auto v = h.get("OBJECT");
    ASSERT_TRUE(v);
    EXPECT_EQ(v->value(), Value::make_string("first part second part"));
    EXPECT_EQ(v->comment(), "the target continued");
    EXPECT_FALSE(v->is_commentary());
    EXPECT_FALSE(v->commentary_text());
    auto c = h.get_all("COMMENT");
    ASSERT_EQ(c.size(), 1u);
    EXPECT_EQ(c[0].commentary_text(), "plain");
    EXPECT_FALSE(c[0].entry());
}

}  // namespace
}  // namespace vexlo
