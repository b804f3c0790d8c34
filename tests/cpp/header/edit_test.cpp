#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <random>

#include "header/format.hpp"
#include "header/header.hpp"
#include "header_fixture.hpp"

namespace vexlo {
namespace {

using testing::card;
using testing::card_bytes;
using testing::header_of;
using testing::kv;

constexpr auto kNone = std::nullopt;

std::string repeat(char c, std::size_t n) {
    return std::string(n, c);
}

// The stored images, each without trailing blanks.
std::vector<std::string> lines(const Header& h) {
    std::vector<std::string> out;
    const Bytes& b = h.bytes();
    for (std::size_t pos = 0; pos + kCardLen <= b.size(); pos += kCardLen) {
        std::string line(as_chars(ByteSpan(b).subspan(pos, kCardLen)));
        line.erase(line.find_last_not_of(' ') + 1);
        out.push_back(line);
    }
    return out;
}

// The edited header answers exactly as a header rebuilt from its bytes does.
::testing::AssertionResult agrees_with_fresh_parse(const Header& h) {
    const Header fresh(h.bytes());
    const Layout& a = h.layout();
    const Layout& b = fresh.layout();
    if (a.spans.size() != b.spans.size()) {
        return ::testing::AssertionFailure()
               << a.spans.size() << " spans, fresh parse " << b.spans.size();
    }
    for (std::size_t i = 0; i < a.spans.size(); ++i) {
        if (a.spans[i].start != b.spans[i].start || a.spans[i].end != b.spans[i].end) {
            return ::testing::AssertionFailure() << "span " << i << " differs";
        }
    }
    if (a.index() != b.index()) return ::testing::AssertionFailure() << "index differs";
    if (a.occurrences() != b.occurrences()) return ::testing::AssertionFailure() << "occurrences";
    if (h.keywords() != fresh.keywords()) return ::testing::AssertionFailure() << "keywords";
    for (const auto& [key, n] : b.index()) {
        auto got = h.get(key);
        auto want = fresh.get(key);
        if (!got || !want || got->bytes.size() != want->bytes.size() ||
            got->value() != want->value()) {
            return ::testing::AssertionFailure() << "lookup of " << key << " differs";
        }
    }
    return ::testing::AssertionSuccess();
}

// ---------------------------------------------------------------- starting headers

TEST(HeaderEdit, StartingHeaders) {
    Header primary = Header::new_primary();
    EXPECT_FALSE(primary.has_layout());
    EXPECT_EQ(lines(primary), (std::vector<std::string>{
                                  "SIMPLE  =                    T / conforming FITS file",
                                  "BITPIX  =                    8",
                                  "NAXIS   =                    0",
                                  "EXTEND  =                    T / FITS dataset may contain "
                                  "extensions",
                              }));
    Header ext = Header::new_image_extension();
    EXPECT_FALSE(ext.has_layout());
    EXPECT_EQ(lines(ext), (std::vector<std::string>{
                              "XTENSION= 'IMAGE   '",
                              "BITPIX  =                    8",
                              "NAXIS   =                    0",
                              "PCOUNT  =                    0",
                              "GCOUNT  =                    1",
                          }));
    EXPECT_EQ(ext.get_value("XTENSION"), Value::make_string("IMAGE"));
}

// ---------------------------------------------------------------- appends

TEST(HeaderEdit, PushCardExtendsABuiltLayout) {
    Header h = header_of({kv("A", "1")});
    ASSERT_TRUE(h.get("A"));
    ASSERT_TRUE(h.has_layout());
    const std::string comment = repeat('c', 60) + " " + repeat('d', 30);
    ASSERT_TRUE(h.push_card("B", Value::make_integer(2), comment));
    ASSERT_TRUE(h.push_card("LONG", Value::make_string(repeat('s', 150)), std::string("note")));
    ASSERT_TRUE(h.push_card(std::string("HIERARCH X Y"), Value::make_real(0.5), kNone));
    EXPECT_TRUE(h.has_layout());
    EXPECT_EQ(h.keywords(),
              (std::vector<std::string>{"A", "B", "COMMENT", "LONG", "HIERARCH X Y"}));
    EXPECT_EQ(h.get_value("LONG"), Value::make_string(repeat('s', 150)));
    EXPECT_EQ(h.get("LONG")->comment(), "note");
    EXPECT_EQ(h.get_value("HIERARCH X Y"), Value::make_real(0.5));
    EXPECT_TRUE(agrees_with_fresh_parse(h));

    // Without a built layout the append builds none.
    Header cold;
    ASSERT_TRUE(cold.push_card("A", Value::make_integer(1), kNone));
    EXPECT_FALSE(cold.has_layout());
}

TEST(HeaderEdit, CommentaryCards) {
    Header h;
    ASSERT_TRUE(h.add_commentary(CommentaryKind::Comment, repeat('a', 150)));
    ASSERT_TRUE(h.add_commentary(CommentaryKind::History, "done"));
    ASSERT_TRUE(h.add_commentary(CommentaryKind::Blank, ""));
    EXPECT_EQ(lines(h),
              (std::vector<std::string>{"COMMENT " + repeat('a', 72), "COMMENT " + repeat('a', 72),
                                        "COMMENT aaaaaa", "HISTORY done", ""}));
    EXPECT_EQ(h.len(), 5u);

    // COMMENT and HISTORY keywords carry the value's text and ignore the comment argument.
    ASSERT_TRUE(h.push_card("COMMENT", Value::make_integer(42), std::string("ignored")));
    Result<bool> set = h.set("HISTORY", Value::make_string("it's"), std::string("ignored"));
    ASSERT_TRUE(set);
    EXPECT_FALSE(*set);
    std::vector<std::string> all = lines(h);
    EXPECT_EQ(all[5], "COMMENT 42");
    EXPECT_EQ(all[6], "HISTORY it's");
    EXPECT_TRUE(agrees_with_fresh_parse(h));
}

// ---------------------------------------------------------------- set

TEST(HeaderEdit, SetReplacesTheFirstValueCard) {
    Header h = header_of(
        {kv("EXPTIME", "1.0 / first"), kv("DATE_OBS", "'x'"), kv("EXPTIME", "2.0 / second")});
    Result<bool> r = h.set("EXPTIME", Value::make_integer(5), kNone);
    ASSERT_TRUE(r);
    EXPECT_TRUE(*r);
    EXPECT_EQ(lines(h)[0], "EXPTIME =                    5 / first");
    EXPECT_EQ(lines(h)[2], kv("EXPTIME", "2.0 / second"));

    ASSERT_TRUE(h.set("EXPTIME", Value::make_integer(6), std::string("new")));
    EXPECT_EQ(lines(h)[0], "EXPTIME =                    6 / new");

    ASSERT_TRUE(h.set_real("EXPTIME", 1e20, kNone));
    EXPECT_EQ(lines(h)[0], "EXPTIME = 1.0000000000000000E20 / new");

    // No "-" to "_" retry when setting: DATE-OBS is a new card.
    r = h.set("DATE-OBS", Value::make_string("2020-01-01"), kNone);
    ASSERT_TRUE(r);
    EXPECT_FALSE(*r);
    EXPECT_EQ(h.keywords(),
              (std::vector<std::string>{"EXPTIME", "DATE_OBS", "EXPTIME", "DATE-OBS"}));
    EXPECT_TRUE(agrees_with_fresh_parse(h));
}

// Without a value the card set() would replace keeps its value; only a comment given
// changes. A keyword without one gets an undefined value.
TEST(HeaderEdit, SetKeepingValue) {
    Header h = header_of({kv("OBJECT", "'M31'     / target"), kv("DATE_OBS", "'x'"),
                          kv("BIGI", "123456789012345678901")});
    ASSERT_TRUE(h.set_keeping_value("OBJECT", std::string("new comment")));
    EXPECT_EQ(lines(h)[0], "OBJECT  = 'M31     '           / new comment");
    ASSERT_TRUE(h.set_keeping_value("OBJECT", kNone));
    EXPECT_EQ(lines(h)[0], "OBJECT  = 'M31     '           / new comment");
    ASSERT_TRUE(h.set_keeping_value("BIGI", std::string("id")));
    EXPECT_EQ(lines(h)[2], "BIGI    = 123456789012345678901 / id");

    // New keywords, also DATE-OBS beside DATE_OBS as set() has it.
    Result<bool> r = h.set_keeping_value("FILTER", std::string("band"));
    ASSERT_TRUE(r);
    EXPECT_FALSE(*r);
    EXPECT_EQ(lines(h)[3], "FILTER  =                      / band");
    ASSERT_TRUE(h.set_keeping_value("DATE-OBS", kNone));
    EXPECT_EQ(h.keywords(),
              (std::vector<std::string>{"OBJECT", "DATE_OBS", "BIGI", "FILTER", "DATE-OBS"}));
    EXPECT_FALSE(h.set_keeping_value("bad key", kNone).has_value());
    EXPECT_TRUE(agrees_with_fresh_parse(h));
}

// ---------------------------------------------------------------- inserts

TEST(HeaderEdit, InsertPositions) {
    Header h;
    ASSERT_TRUE(h.push_card("A", Value::make_integer(1), kNone));
    ASSERT_TRUE(h.push_card("LONG", Value::make_string(repeat('x', 100)), kNone));
    ASSERT_TRUE(h.push_card("C", Value::make_integer(3), kNone));
    ASSERT_EQ(h.len(), 3u);

    ASSERT_TRUE(h.insert(0, "FIRST", Value::make_integer(0), kNone));
    ASSERT_TRUE(h.insert(3, "BEFOREC", Value::make_integer(2), kNone));  // LONG is one card
    ASSERT_TRUE(h.insert(99, "END1", Value::make_integer(4), kNone));
    EXPECT_EQ(h.keywords(),
              (std::vector<std::string>{"FIRST", "A", "LONG", "BEFOREC", "C", "END1"}));
    EXPECT_EQ(h.get_value("LONG"), Value::make_string(repeat('x', 100)));

    Result<bool> r = h.insert_before("C", "B2", Value::make_integer(5), kNone);
    ASSERT_TRUE(r);
    EXPECT_TRUE(*r);
    r = h.insert_after("END1", "LAST", Value::make_integer(6), kNone);
    ASSERT_TRUE(r);
    EXPECT_TRUE(*r);
    r = h.insert_before("MISSING", "TAIL", Value::make_integer(7), kNone);
    ASSERT_TRUE(r);
    EXPECT_FALSE(*r);
    ASSERT_TRUE(h.add_commentary(CommentaryKind::Comment, "c"));
    r = h.insert_after("COMMENT", "TAIL2", Value::make_integer(8), kNone);  // never an anchor
    ASSERT_TRUE(r);
    EXPECT_FALSE(*r);
    EXPECT_EQ(h.keywords(), (std::vector<std::string>{"FIRST", "A", "LONG", "BEFOREC", "B2", "C",
                                                      "END1", "LAST", "TAIL", "COMMENT", "TAIL2"}));
    EXPECT_TRUE(agrees_with_fresh_parse(h));
}

// COMMENT and HISTORY inserted anywhere become commentary cards, exactly as appended ones.
TEST(HeaderEdit, InsertedCommentaryKeywordsMakeCommentaryCards) {
    struct Case {
        const char* name;
        std::function<Result<bool>(Header&)> edit;
        std::vector<std::string> images;
    };
    const std::string long_text = repeat('t', 80);
    const std::vector<Case> cases = {
        {"insert",
         [](Header& h) -> Result<bool> {
             VEXLO_TRY(h.insert(1, "COMMENT", Value::make_string("note"), std::string("x")));
             return true;
         },
         {"A       =                    1", "COMMENT note", "B       =                    2"}},
        {"insert_before",
         [&](Header& h) {
             return h.insert_before("B", "HISTORY", Value::make_string(long_text), kNone);
         },
         {"A       =                    1", "HISTORY " + repeat('t', 72), "HISTORY tttttttt",
          "B       =                    2"}},
        {"insert_after",
         [](Header& h) {
             return h.insert_after("A", "COMMENT", Value::make_real(2.5), std::string("x"));
         },
         {"A       =                    1", "COMMENT 2.5", "B       =                    2"}},
        {"insert_after, anchor missing",
         [](Header& h) { return h.insert_after("Z", "HISTORY", Value::make_logical(true), kNone); },
         {"A       =                    1", "B       =                    2", "HISTORY T"}},
    };
    for (const Case& c : cases) {
        Header h = header_of({kv("A", "                   1"), kv("B", "                   2")});
        ASSERT_TRUE(c.edit(h)) << c.name;
        EXPECT_EQ(lines(h), c.images) << c.name;
        EXPECT_TRUE(h.get_all("COMMENT").size() + h.get_all("HISTORY").size() >= 1) << c.name;
        EXPECT_FALSE(h.get("COMMENT") || h.get("HISTORY")) << c.name;
        EXPECT_TRUE(agrees_with_fresh_parse(h)) << c.name;
    }
}

// ---------------------------------------------------------------- remove and rename

TEST(HeaderEdit, Remove) {
    Header h = header_of({kv("K", "1"), "COMMENT K is not removed", kv("LONG", "'ab&'"),
                          "CONTINUE  'cd'", kv("K", "2"), "CONTINUE  'stray'", kv("K", "3")});
    ASSERT_TRUE(h.get("K"));
    EXPECT_EQ(h.remove("COMMENT"), 0u);
    EXPECT_TRUE(h.has_layout());  // untouched
    EXPECT_EQ(h.remove("CONTINUE"), 0u);
    EXPECT_EQ(h.remove("K"), 3u);
    EXPECT_EQ(lines(h), (std::vector<std::string>{"COMMENT K is not removed", kv("LONG", "'ab&'"),
                                                  "CONTINUE  'cd'", "CONTINUE  'stray'"}));
    EXPECT_EQ(h.remove("LONG"), 1u);
    EXPECT_EQ(lines(h),
              (std::vector<std::string>{"COMMENT K is not removed", "CONTINUE  'stray'"}));
    EXPECT_EQ(h.remove("K"), 0u);
    EXPECT_TRUE(agrees_with_fresh_parse(h));
}

TEST(HeaderEdit, RenameKeyword) {
    Header h = header_of(
        {kv("OLD", "1 / one"), "COMMENT OLD stays", kv("MID", "'m'"), kv("OLD", "'two' / second")});
    Result<std::size_t> r = h.rename_keyword("OLD", "NEW");
    ASSERT_TRUE(r);
    EXPECT_EQ(*r, 2u);
    EXPECT_EQ(lines(h), (std::vector<std::string>{"NEW     =                    1 / one",
                                                  "COMMENT OLD stays", kv("MID", "'m'"),
                                                  "NEW     = 'two     '           / second"}));
    r = h.rename_keyword("ABSENT", "OTHER");
    ASSERT_TRUE(r);
    EXPECT_EQ(*r, 0u);

    // A longer keyword pushes a comment onto a COMMENT card; each card still gets its own.
    const std::string hk = "HIERARCH " + repeat('N', 40);
    const std::string comment = repeat('w', 20) + " " + repeat('v', 20);
    Header g = header_of({kv("K", "1 / " + comment), kv("K", "2 / " + comment)});
    r = g.rename_keyword("K", hk);
    ASSERT_TRUE(r);
    EXPECT_EQ(*r, 2u);
    EXPECT_EQ(g.keywords(), (std::vector<std::string>{hk, "COMMENT", hk, "COMMENT"}));
    std::vector<CardView> renamed = g.get_all(hk);
    ASSERT_EQ(renamed.size(), 2u);
    EXPECT_EQ(renamed[0].value(), Value::make_integer(1));
    EXPECT_EQ(renamed[1].value(), Value::make_integer(2));
    EXPECT_TRUE(agrees_with_fresh_parse(g));

    // Identifiers wider than 64 bits keep every digit when their card is rewritten.
    const std::string wide = repeat('7', 30);
    Header ids = header_of({kv("QOFFID", "10000000000000000001 / id"), kv("WIDE", wide)});
    ASSERT_TRUE(ids.rename_keyword("QOFFID", "QID"));
    ASSERT_TRUE(ids.rename_keyword("WIDE", "W"));
    EXPECT_EQ(lines(ids),
              (std::vector<std::string>{"QID     = 10000000000000000001 / id", kv("W", wide)}));
}

// ---------------------------------------------------------------- refusals

TEST(HeaderEdit, RefusedEditsLeaveTheHeaderUnchanged) {
    struct Case {
        const char* name;
        std::function<Error(Header&)> edit;  // the error the refused edit returned
        std::string msg;
    };
    auto err = [](auto r) { return r ? Error::header("accepted") : r.error(); };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::string hk = "HIERARCH " + repeat('K', 11);
    const std::vector<Case> cases = {
        {"push_card invalid keyword",
         [&](Header& h) { return err(h.push_card("bad", Value::make_integer(1), kNone)); },
         "keyword `bad` contains invalid byte 0x62"},
        {"push_card END",
         [&](Header& h) { return err(h.push_card("END", Value::make_undefined(), kNone)); },
         "keyword `END` cannot be used for a value card"},
        {"push_card empty keyword",
         [&](Header& h) { return err(h.push_card("", Value::make_string("x"), kNone)); },
         "keyword is empty"},
        {"push_card NaN",
         [&](Header& h) { return err(h.push_card("R", Value::make_real(nan), kNone)); },
         "non-finite real `NaN` cannot appear in a FITS header"},
        {"push_card COMMENT with a tab",
         [&](Header& h) { return err(h.push_card("COMMENT", Value::make_string("\t"), kNone)); },
         "commentary text contains non-printable byte 0x09"},
        {"add_commentary",
         [&](Header& h) { return err(h.add_commentary(CommentaryKind::History, "a\x80")); },
         "commentary text contains non-printable byte 0x80"},
        {"set existing card, bad value",
         [&](Header& h) { return err(h.set("A", Value::make_string("\x01"), kNone)); },
         "string value for `A` contains non-printable byte 0x01"},
        {"set_real NaN", [&](Header& h) { return err(h.set_real("A", nan, kNone)); },
         "non-finite real `NaN` cannot appear in a FITS header"},
        {"set bare HIERARCH",
         [&](Header& h) { return err(h.set("HIERARCH", Value::make_integer(1), kNone)); },
         "HIERARCH keyword `HIERARCH` has an empty name"},
        {"insert bad HIERARCH name",
         [&](Header& h) { return err(h.insert(0, "HIERARCH A=B", Value::make_integer(1), kNone)); },
         "HIERARCH keyword `HIERARCH A=B` contains '='"},
        {"insert_before long HIERARCH string",
         [&](Header& h) {
             return err(h.insert_before("A", hk, Value::make_string(repeat('v', 56)), kNone));
         },
         "string value for HIERARCH keyword `" + hk +
             "` is too long for one card (56 chars); CONTINUE chaining is not emitted for "
             "HIERARCH"},
        {"insert_after bad comment",
         [&](Header& h) {
             return err(h.insert_after("A", "B", Value::make_integer(1), std::string("\x7F")));
         },
         "header card contains non-printable byte 0x7F"},
        {"rename to an invalid keyword", [&](Header& h) { return err(h.rename_keyword("A", "a")); },
         "keyword `a` contains invalid byte 0x61"},
        {"rename to COMMENT", [&](Header& h) { return err(h.rename_keyword("A", "COMMENT")); },
         "cannot rename value cards to commentary keyword `COMMENT`"},
        {"rename to HISTORY", [&](Header& h) { return err(h.rename_keyword("A", "HISTORY")); },
         "cannot rename value cards to commentary keyword `HISTORY`"},
        {"rename to the blank keyword", [&](Header& h) { return err(h.rename_keyword("A", "")); },
         "keyword is empty"},
        {"rename where a later card cannot be formatted",
         [&](Header& h) { return err(h.rename_keyword("S", hk)); },
         "string value for HIERARCH keyword `" + hk +
             "` is too long for one card (60 chars); CONTINUE chaining is not emitted for "
             "HIERARCH"},
    };
    for (bool built : {false, true}) {
        for (const Case& c : cases) {
            Header h = header_of({kv("A", "1 / a"), kv("S", "'short'"), "COMMENT c",
                                  kv("S", "'" + repeat('s', 60) + "'")});
            if (built) {
                ASSERT_TRUE(h.get("A"));
            }
            const Bytes before = h.bytes();
            Error e = c.edit(h);
            EXPECT_EQ(e.kind, Error::Kind::Header) << c.name;
            EXPECT_EQ(e.msg, c.msg) << c.name;
            EXPECT_EQ(h.bytes(), before) << c.name;
            // A refused edit may have looked keywords up, but never drops a built layout.
            if (built) {
                EXPECT_TRUE(h.has_layout()) << c.name;
            }
            EXPECT_TRUE(agrees_with_fresh_parse(h)) << c.name;
        }
    }
}

// ---------------------------------------------------------------- raw primitives and layout

TEST(HeaderEdit, RawPrimitivesKeepOrDropTheLayout) {
    struct Case {
        const char* name;
        std::size_t span;
        std::vector<std::string> images;
        bool keeps;
    };
    // A = 1 | LONG 'ab&' + CONTINUE 'cd' | B = 2 | CONTINUE 'stray' | C = 'x'
    const std::vector<Case> cases = {
        {"same keyword and length", 0, {kv("A", "5")}, true},
        {"same keyword, two images forming one span",
         1,
         {kv("LONG", "'xy&'"), "CONTINUE  'z'"},
         true},
        {"different keyword", 0, {kv("Z", "5")}, false},
        {"different length", 0, {kv("A", "'p&'"), "CONTINUE  'q'"}, false},
        {"long string turned into a value card and a COMMENT card",
         1,
         {kv("LONG", "1"), "COMMENT overflow"},
         false},
        {"same images but the second no longer attaches",
         1,
         {kv("LONG", "'xy'"), "CONTINUE  'z'"},
         false},
        {"a string ending in '&' before an unattached CONTINUE card",
         2,
         {kv("B", "'now&'")},
         false},
        {"same keyword, value card turned commentary", 4, {"C       'x'"}, false},
        {"unattached CONTINUE replaced alike", 3, {"CONTINUE  'other'"}, true},
        {"unattached CONTINUE that now ends in '&' before a value card",
         3,
         {"CONTINUE  'o&'"},
         true},
        {"span number past the end: nothing", 9, {kv("Q", "1")}, true},
    };
    for (const Case& c : cases) {
        Header h = header_of({kv("A", "1"), kv("LONG", "'ab&'"), "CONTINUE  'cd'", kv("B", "2"),
                              "CONTINUE  'stray'", kv("C", "'x'")});
        ASSERT_EQ(h.len(), 5u);
        Bytes images;
        for (const std::string& t : c.images)
            append_bytes(images, card(t));
        h.replace_raw(c.span, images);
        EXPECT_EQ(h.has_layout(), c.keeps) << c.name;
        EXPECT_TRUE(agrees_with_fresh_parse(h)) << c.name;
    }

    // A blank-keyword card and a HIERARCH card that does not parse both read the empty keyword,
    // but only the blank card is filed under it.
    const std::string broken = "HIERARCH ABC 5";
    const struct {
        const char* name;
        std::string before, after;
        bool keeps;
        std::size_t blanks;
    } unreadable[] = {
        {"unreadable keyword replaced by a blank keyword", broken, "", false, 1},
        {"blank keyword replaced by an unreadable keyword", "", broken, false, 0},
        {"unreadable keyword replaced by another", broken, "HIERARCH XYZ 6", true, 0},
    };
    for (const auto& c : unreadable) {
        Header u = header_of({kv("A", "1"), c.before});
        ASSERT_EQ(u.len(), 2u);
        u.replace_raw(1, card_bytes({c.after}));
        EXPECT_EQ(u.has_layout(), c.keeps) << c.name;
        EXPECT_EQ(u.get_all("").size(), c.blanks) << c.name;
        EXPECT_EQ(u.contains_exact(""), c.blanks > 0) << c.name;
        EXPECT_TRUE(agrees_with_fresh_parse(u)) << c.name;
    }

    Header h = header_of({kv("A", "1"), kv("B", "2")});
    ASSERT_TRUE(h.get("A"));
    h.insert_raw(1, card_bytes({kv("M", "3")}));
    EXPECT_TRUE(h.has_layout());  // renumbered, not dropped
    EXPECT_TRUE(agrees_with_fresh_parse(h));
    EXPECT_EQ(h.keywords(), (std::vector<std::string>{"A", "M", "B"}));
    h.push_raw(card_bytes({kv("S", "'p&'"), "CONTINUE  'q'"}));
    EXPECT_TRUE(h.has_layout());
    EXPECT_EQ(h.get_value("S"), Value::make_string("pq"));
    h.push_raw(card_bytes({"CONTINUE  'r'"}));  // the last string no longer ends in '&'
    EXPECT_EQ(h.get_value("S"), Value::make_string("pq"));
    h.invalidate_layout();
    EXPECT_FALSE(h.has_layout());
    EXPECT_EQ(h.bytes().size(), 6 * kCardLen);
    // A header may re-add its own images.
    h.push_raw(ByteSpan(h.bytes()).first(kCardLen));
    h.insert_raw(0, ByteSpan(h.bytes()).subspan(kCardLen, kCardLen));
    EXPECT_EQ(h.keywords(), (std::vector<std::string>{"M", "A", "M", "B", "S", "CONTINUE", "A"}));
    EXPECT_TRUE(agrees_with_fresh_parse(h));
}

// Inserting and removing cards renumbers the built layout; where a continuation would join or
// leave a neighbouring card the layout is rebuilt instead. Either way it matches a fresh parse.
TEST(HeaderEdit, InsertsAndRemovesKeepTheLayoutWhereCardsStayApart) {
    const struct {
        const char* name;
        std::vector<std::string> cards;
        std::size_t span;
        std::vector<std::string> images;
        bool keeps;
    } inserts[] = {
        {"plain card in the middle", {kv("A", "1"), kv("B", "2")}, 1, {kv("M", "3")}, true},
        {"long string of two images at the front",
         {kv("A", "1")},
         0,
         {kv("S", "'p&'"), "CONTINUE  'q'"},
         true},
        {"past the end", {kv("A", "1")}, 7, {kv("A", "2")}, true},
        {"CONTINUE after a string ending in '&'",
         {kv("S", "'p&'"), kv("B", "2")},
         1,
         {"CONTINUE  'q'"},
         false},
        {"string ending in '&' before a stray CONTINUE",
         {kv("A", "1"), "CONTINUE  'q'"},
         1,
         {kv("S", "'p&'")},
         false},
    };
    for (const auto& c : inserts) {
        Header h = header_of(c.cards);
        ASSERT_TRUE(h.get("A") || h.get("S"));
        Bytes images;
        for (const std::string& t : c.images)
            append_bytes(images, card(t));
        h.insert_raw(c.span, images);
        EXPECT_EQ(h.has_layout(), c.keeps) << c.name;
        EXPECT_TRUE(agrees_with_fresh_parse(h)) << c.name;
    }

    const struct {
        const char* name;
        std::vector<std::string> cards;
        const char* key;
        std::size_t removed;
        bool keeps;
    } removals[] = {
        {"every value card of a key, commentary of that key kept",
         {kv("A", "1"), kv("B", "2"), kv("A", "3"), "A       note", kv("C", "4")},
         "A",
         2,
         true},
        {"a long string with its continuations",
         {kv("S", "'p&'"), "CONTINUE  'q'", kv("B", "2")},
         "S",
         1,
         true},
        {"a stray CONTINUE then follows a string ending in '&'",
         {kv("S", "'p&'"), kv("X", "1"), "CONTINUE  'q'"},
         "X",
         1,
         false},
        {"absent key", {kv("A", "1")}, "Z", 0, true},
    };
    for (const auto& c : removals) {
        Header h = header_of(c.cards);
        ASSERT_GT(h.len(), 0u);
        EXPECT_EQ(h.remove(c.key), c.removed) << c.name;
        EXPECT_EQ(h.has_layout(), c.keeps) << c.name;
        EXPECT_FALSE(h.get(c.key)) << c.name;
        EXPECT_TRUE(agrees_with_fresh_parse(h)) << c.name;
    }
}

// Values set in place must never leave the index describing other bytes.
TEST(HeaderEdit, SetKeepsLookupsCurrent) {
    {
        // A long string replaced by a value card whose comment spills onto a COMMENT card:
        // same keyword, same length, but two logical cards now.
        Header h;
        ASSERT_TRUE(h.push_card("K", Value::make_string(repeat('s', 100)), kNone));
        ASSERT_TRUE(h.push_card("NEXT", Value::make_integer(1), kNone));
        ASSERT_TRUE(h.get("K"));
        const Bytes before = h.bytes();
        ASSERT_TRUE(h.set("K", Value::make_integer(7), repeat('c', 100)));
        ASSERT_EQ(h.bytes().size(), before.size());
        EXPECT_EQ(h.keywords(), (std::vector<std::string>{"K", "COMMENT", "NEXT"}));
        EXPECT_EQ(h.get_value("K"), Value::make_integer(7));
        EXPECT_TRUE(agrees_with_fresh_parse(h));
    }
    {
        // A new value ending in '&' before an unattached CONTINUE card takes it in.
        Header h = header_of({kv("A", "1"), "CONTINUE  'tail'", kv("B", "2")});
        ASSERT_TRUE(h.get("A"));
        ASSERT_TRUE(h.set("A", Value::make_string("abc&"), kNone));
        EXPECT_EQ(h.keywords(), (std::vector<std::string>{"A", "B"}));
        EXPECT_EQ(h.get_value("A"), Value::make_string("abctail"));
        EXPECT_TRUE(agrees_with_fresh_parse(h));
    }
    {
        // Same shape: the layout is kept and still right.
        Header h = header_of({kv("A", "1"), kv("B", "2")});
        ASSERT_TRUE(h.get("A"));
        ASSERT_TRUE(h.set("A", Value::make_string("x"), std::string("c")));
        EXPECT_TRUE(h.has_layout());
        EXPECT_EQ(h.get_value("A"), Value::make_string("x"));
        EXPECT_TRUE(agrees_with_fresh_parse(h));
    }
}

// Random edits on a header whose layout is sometimes built, sometimes not: after every edit
// the lookups agree with a header parsed afresh from the same bytes.
TEST(HeaderEdit, LookupsAgreeWithAFreshParseAfterAnyEdits) {
    const std::vector<std::string> keys = {
        "A", "B", "LONG", "DATE-OBS", "DATE_OBS", "HIERARCH X Y", "CONTINUE", "COMMENT", "HISTORY"};
    const std::vector<std::string> raw_pool = {
        card(kv("A", "'amp&'")), card("CONTINUE  'piece'"),    card("CONTINUE  'more&'"),
        card("COMMENT raw"),     card(kv("B", "3")),           card("CONTINUE= 4"),
        card("        blank"),   card(kv("LONG", "'x&' / c")),
    };
    std::mt19937 rng(2024);
    auto pick = [&](std::size_t n) {
        return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng);
    };
    auto random_value = [&]() -> Value {
        switch (pick(6)) {
            case 0:
                return Value::make_integer(static_cast<std::int64_t>(pick(1000)));
            case 1:
                return Value::make_string(repeat('s', pick(200)) + (pick(2) ? "&" : ""));
            case 2:
                return Value::make_string(pick(2) ? "x&" : "y");
            case 3:
                return Value::make_real(0.25 * static_cast<double>(pick(100)));
            case 4:
                return Value::make_logical(pick(2) == 1);
            default:
                return Value::make_undefined();
        }
    };
    auto random_comment = [&]() -> std::optional<std::string> {
        switch (pick(4)) {
            case 0:
                return kNone;
            case 1:
                return std::string("short");
            case 2:
                return repeat('c', 30) + " " + repeat('d', 60);
            default:
                return std::string();
        }
    };
    for (int round = 0; round < 150; ++round) {
        Header h;
        for (int step = 0; step < 60; ++step) {
            if (pick(3) == 0) h.invalidate_layout();
            const std::string& key = keys[pick(keys.size())];
            const std::size_t len = h.len();
            switch (pick(13)) {
                case 0:
                case 1:
                    (void)h.push_card(key, random_value(), random_comment());
                    break;
                case 2:
                case 3:
                    (void)h.set(key, random_value(), random_comment());
                    break;
                case 4:
                    (void)h.insert(pick(len + 2), key, random_value(), random_comment());
                    break;
                case 5:
                    (void)h.insert_before(keys[pick(keys.size())], key, random_value(),
                                          random_comment());
                    break;
                case 6:
                    (void)h.insert_after(keys[pick(keys.size())], key, random_value(),
                                         random_comment());
                    break;
                case 7:
                    h.remove(key);
                    break;
                case 8:
                    (void)h.rename_keyword(key, keys[pick(keys.size())]);
                    break;
                case 11:
                case 12: {
                    // Raw images anywhere, so continuations may join or leave neighbours.
                    Bytes raw;
                    for (std::size_t i = 1 + pick(2); i > 0; --i) {
                        append_bytes(raw, raw_pool[pick(raw_pool.size())]);
                    }
                    h.insert_raw(pick(len + 2), raw);
                    break;
                }
                case 9: {
                    Bytes raw;
                    for (std::size_t i = 1 + pick(2); i > 0; --i) {
                        append_bytes(raw, raw_pool[pick(raw_pool.size())]);
                    }
                    h.push_raw(raw);
                    break;
                }
                default: {
                    // Replace a span by raw images of its own length.
                    if (len == 0) break;
                    const std::size_t n = pick(len);
                    const CardView view = h.view_at(n);
                    Bytes raw;
                    if (pick(2) == 0) {
                        raw.assign(view.bytes.begin(), view.bytes.end());
                        // Same first image, fresh continuation images.
                        for (std::size_t pos = kCardLen; pos < raw.size(); pos += kCardLen) {
                            const std::string& img = raw_pool[pick(raw_pool.size())];
                            std::copy(img.begin(), img.end(), raw.begin() + pos);
                        }
                    } else {
                        for (std::size_t pos = 0; pos < view.bytes.size(); pos += kCardLen) {
                            append_bytes(raw, raw_pool[pick(raw_pool.size())]);
                        }
                    }
                    h.replace_raw(n, raw);
                    break;
                }
            }
            ASSERT_EQ(h.bytes().size() % kCardLen, 0u);
            ASSERT_TRUE(agrees_with_fresh_parse(h)) << "round " << round << " step " << step;
        }
    }
}

}  // namespace
}  // namespace vexlo
