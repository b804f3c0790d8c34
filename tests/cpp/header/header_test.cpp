#include "header/header.hpp"

#include <gtest/gtest.h>

#include <random>
#include <thread>

#include "header_fixture.hpp"

namespace vexlo {
namespace {

using testing::card;
using testing::card_bytes;
using testing::header_of;
using testing::kv;
using testing::text_of;

// Prefix and number; built by appending (operator+ on a literal trips a false -Wrestrict).
std::string numbered(std::string_view prefix, std::size_t n) {
    std::string s(prefix);
    s.append(std::to_string(n));
    return s;
}

std::vector<Span> spans_of(const Header& h) {
    return h.layout().spans;
}

bool same_spans(const std::vector<Span>& a, const std::vector<Span>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].start != b[i].start || a[i].end != b[i].end) return false;
    }
    return true;
}

// ---------------------------------------------------------------- layout

TEST(HeaderLayout, ContinueImagesAttachToStringsEndingInAmpersand) {
    Header h = header_of({
        kv("SIMPLE", "T"),
        kv("LONG", "'abc&' / first"),
        "CONTINUE  'def&'",
        "CONTINUE  'ghi'",
        "CONTINUE  'orphan'",  // previous string has no '&': a span of its own
        kv("NEXT", "'x&'"),
        "COMMENT   a comment",
        "CONTINUE  'not attached'",  // the COMMENT body is no string
    });
    std::vector<Span> spans = spans_of(h);
    ASSERT_EQ(spans.size(), 6u);
    EXPECT_EQ(spans[0].start, 0u);
    EXPECT_EQ(spans[0].end, 80u);
    EXPECT_EQ(spans[1].start, 80u);
    EXPECT_EQ(spans[1].end, 320u);
    EXPECT_EQ(spans[2].start, 320u);
    EXPECT_EQ(spans[2].end, 400u);
    EXPECT_EQ(spans[3].start, 400u);
    EXPECT_EQ(spans[4].start, 480u);
    EXPECT_EQ(spans[5].start, 560u);
    EXPECT_EQ(spans[5].end, 640u);
    EXPECT_EQ(h.len(), 6u);

    auto view = h.get("LONG");
    ASSERT_TRUE(view);
    EXPECT_EQ(view->bytes.size(), 240u);
    EXPECT_EQ(text_of(view->bytes), card(kv("LONG", "'abc&' / first")) + card("CONTINUE  'def&'") +
                                        card("CONTINUE  'ghi'"));
    EXPECT_FALSE(h.get("CONTINUE"));  // unattached continuations are never indexed
    EXPECT_TRUE(h.contains("CONTINUE"));
    EXPECT_EQ(h.get_all("CONTINUE").size(), 2u);

    EXPECT_EQ(h.keywords(), (std::vector<std::string>{"SIMPLE", "LONG", "CONTINUE", "NEXT",
                                                      "COMMENT", "CONTINUE"}));
}

TEST(HeaderLayout, EdgeShapes) {
    // A CONTINUE image first in the header starts its own span.
    Header first = header_of({"CONTINUE  'x'", kv("A", "1")});
    EXPECT_EQ(first.len(), 2u);
    EXPECT_EQ(first.keywords(), (std::vector<std::string>{"CONTINUE", "A"}));

    // A CONTINUE after any card whose body reads as a string ending in '&' attaches, even a
    // CONTINUE that itself did not attach, and chains on.
    Header chained = header_of({kv("A", "1"), "CONTINUE  'p&'", "CONTINUE  'q&'", "CONTINUE  'r'"});
    ASSERT_EQ(chained.len(), 2u);
    EXPECT_EQ(chained.view_at(1).bytes.size(), 240u);

    // "CONTINUE= " is an ordinary value card, so it neither attaches nor is skipped.
    Header eq = header_of({kv("A", "'x&'"), kv("CONTINUE", "'y'")});
    EXPECT_EQ(eq.len(), 2u);
    EXPECT_TRUE(eq.get("CONTINUE"));

    // An unparsable string after '&' attaches nothing.
    Header broken = header_of({kv("A", "'x&"), "CONTINUE  'y'"});
    EXPECT_EQ(broken.len(), 2u);

    // A trailing piece shorter than one image is ignored; a buffer below 80 bytes is empty.
    Bytes b = card_bytes({kv("A", "1")});
    b.resize(120, ' ');
    EXPECT_EQ(Header(b).len(), 1u);
    EXPECT_EQ(Header(Bytes(79, ' ')).len(), 0u);
    EXPECT_TRUE(Header().keywords().empty());
    EXPECT_EQ(Layout::build({}).spans.size(), 0u);
}

TEST(HeaderLayout, IndexHoldsFirstValueOrEndCardPerKeyword) {
    Header h = header_of({
        "COMMENT = 5",
        "        = 6",
        kv("EXPTIME", "10 / first"),
        kv("EXPTIME", "20 / second"),
        "HISTORY = 7",
        "END",
        "BADVAL  =x",
        "exptime = 30",
    });
    const Layout& l = h.layout();
    std::map<std::string, std::size_t, std::less<>> expected = {{"EXPTIME", 2}, {"END", 5}};
    EXPECT_EQ(l.index(), expected);
    EXPECT_EQ(h.get_i64("EXPTIME"), 10);
    auto all = h.get_all("EXPTIME");
    ASSERT_EQ(all.size(), 3u);  // the lower-case keyword reads as EXPTIME too
    EXPECT_EQ(all[0].value()->integer, 10);
    EXPECT_EQ(all[1].value()->integer, 20);
    EXPECT_EQ(all[2].value()->integer, 30);
}

TEST(HeaderLayout, ExtendMatchesRebuild) {
    const std::vector<std::string> images = {
        kv("A", "'one&'"),   "CONTINUE  'two&'",
        "CONTINUE  'three'", "CONTINUE  'lone'",
        kv("B", "2"),        kv("A", "99"),
        "COMMENT   hi",      kv("C", "'c&'"),
        "CONTINUE  'd'",     "END",
        kv("D", "4"),
    };
    Bytes all;
    for (const auto& t : images)
        append_bytes(all, card(t));
    const Layout full = Layout::build(all);
    // Split at every image boundary, including ones that cut a continuation chain.
    for (std::size_t split = 0; split <= images.size(); ++split) {
        Layout l = Layout::build(ByteSpan(all).first(split * 80));
        l.extend(all, split * 80);
        EXPECT_TRUE(same_spans(l.spans, full.spans)) << "split " << split;
        EXPECT_EQ(l.index(), full.index()) << "split " << split;
    }
    EXPECT_EQ(full.index().at("A"), 0u);
    EXPECT_EQ(full.index().at("C"), 5u);
    EXPECT_EQ(full.index().at("END"), 6u);

    // Claiming new bytes inside the covered range rebuilds instead of double counting.
    Layout l = Layout::build(all);
    l.extend(all, 80);
    EXPECT_TRUE(same_spans(l.spans, full.spans));
    EXPECT_EQ(l.index(), full.index());

    // After a trailing partial piece the next whole image starts where a rebuild would.
    Bytes odd = card_bytes({kv("A", "1")});
    odd.resize(120, ' ');
    Layout lo = Layout::build(odd);
    append_bytes(odd, card(kv("B", "2")));
    lo.extend(odd, 120);
    Layout ro = Layout::build(odd);
    EXPECT_TRUE(same_spans(lo.spans, ro.spans));
    EXPECT_EQ(lo.index(), ro.index());
}

// ---------------------------------------------------------------- lookups

TEST(HeaderLookup, DashRetryOnlyForGetAndContains) {
    Header h = header_of({kv("DATE_OBS", "'2020-01-01'"), kv("OTHER-K", "1")});
    auto v = h.get("DATE-OBS");
    ASSERT_TRUE(v);
    EXPECT_EQ(v->keyword(), "DATE_OBS");
    EXPECT_EQ(h.get_str("DATE-OBS"), "2020-01-01");
    EXPECT_TRUE(h.contains("DATE-OBS"));
    EXPECT_FALSE(h.contains_exact("DATE-OBS"));
    EXPECT_TRUE(h.get_all("DATE-OBS").empty());
    // A key without '-' is never retried the other way round.
    EXPECT_FALSE(h.get("OTHER_K"));
    EXPECT_FALSE(h.contains("OTHER_K"));
    // No case folding.
    EXPECT_FALSE(h.get("date-obs"));
    EXPECT_FALSE(h.contains("date_obs"));
    // Exact hits win before the retry.
    Header both = header_of({kv("DATE_OBS", "1"), kv("DATE-OBS", "2")});
    EXPECT_EQ(both.get_i64("DATE-OBS"), 2);
    EXPECT_EQ(both.get_i64("DATE_OBS"), 1);
}

TEST(HeaderLookup, HierarchKeysFallBackToCaseBlindMatch) {
    const std::string lower = "HIERARCH MyPipeline version = '1.2' / tool";
    const std::string key = "HIERARCH MYPIPELINE VERSION";
    Header h =
        header_of({kv("A", "1"), lower, "HIERARCH mypipeline VERSION = 3", "HIERARCH Other = 4"});
    ASSERT_TRUE(h.get(key));
    EXPECT_EQ(h.get_str(key), "1.2");
    EXPECT_TRUE(h.contains(key));
    EXPECT_EQ(h.get_all(key).size(), 1u);
    EXPECT_EQ(h.stored_keyword(key), "HIERARCH MyPipeline version");
    // Exact spellings still win, and only HIERARCH keys are folded.
    EXPECT_EQ(h.get_i64("HIERARCH mypipeline VERSION"), 3);
    EXPECT_FALSE(h.get("HIERARCH MYPIPELINE"));
    EXPECT_FALSE(h.get("a"));
    EXPECT_FALSE(h.contains("HIERARCH OTHER X"));

    // Editing finds the card under the same rule and keeps its spelling.
    ASSERT_TRUE(h.set(key, Value::make_string("1.3"), std::nullopt));
    EXPECT_EQ(text_of(h.get_all("HIERARCH MyPipeline version").at(0).bytes),
              card("HIERARCH MyPipeline version = '1.3' / tool"));
    EXPECT_EQ(h.len(), 4u);
    ASSERT_TRUE(h.insert_after("HIERARCH OTHER", "B", Value::make_integer(5), std::nullopt));
    EXPECT_EQ(h.keywords().back(), "B");
    EXPECT_EQ(h.remove(key), 1u);
    EXPECT_EQ(h.stored_keyword(key), "HIERARCH mypipeline VERSION");
    EXPECT_EQ(h.remove(key), 1u);
    EXPECT_FALSE(h.contains(key));
    EXPECT_EQ(h.keywords(), (std::vector<std::string>{"A", "HIERARCH Other", "B"}));
}

TEST(HeaderLookup, CommentaryCardsAreFoundOnlyByScans) {
    Header h = header_of({
        kv("A", "1"),
        "COMMENT one",
        "HISTORY   two",
        "COMMENT three",
        "",
        "NOVALUE  text without indicator",
    });
    EXPECT_FALSE(h.get("COMMENT"));
    EXPECT_FALSE(h.get("HISTORY"));
    EXPECT_FALSE(h.get("NOVALUE"));
    EXPECT_FALSE(h.get(""));
    EXPECT_TRUE(h.contains("COMMENT"));
    EXPECT_TRUE(h.contains_exact("HISTORY"));
    EXPECT_TRUE(h.contains_exact("NOVALUE"));
    EXPECT_TRUE(h.contains_exact(""));
    EXPECT_FALSE(h.contains("MISSING"));

    auto comments = h.get_all("COMMENT");
    ASSERT_EQ(comments.size(), 2u);
    EXPECT_EQ(comments[0].commentary_text(), "one");
    EXPECT_EQ(comments[1].commentary_text(), "three");

    auto cv = h.commentary_views("COMMENT");
    ASSERT_EQ(cv.size(), 2u);
    EXPECT_EQ(cv[1].commentary_text(), "three");
    EXPECT_EQ(h.commentary_views("").size(), 1u);
    EXPECT_EQ(h.commentary_views("NOVALUE").size(), 1u);
    EXPECT_TRUE(h.commentary_views("A").empty());  // value cards are not commentary

    EXPECT_EQ(h.keywords(),
              (std::vector<std::string>{"A", "COMMENT", "HISTORY", "COMMENT", "", "NOVALUE"}));
    EXPECT_EQ(h.keyword_set(), (std::set<std::string>{"", "A", "COMMENT", "HISTORY", "NOVALUE"}));
}

TEST(HeaderLookup, GetValueAndEntries) {
    Header h = header_of({
        kv("A", "1 / one"),
        "COMMENT   c",
        kv("S", "'x&'"),
        "CONTINUE  'y' / tail",
        "END",
        kv("BAD", "abc / note"),
        "HIERARCH ESO DET  CHIP = 5 / h",
    });
    EXPECT_EQ(h.get_value("A"), Value::make_integer(1));
    EXPECT_EQ(h.get_value("S"), Value::make_string("xy"));
    EXPECT_FALSE(h.get_value("END"));  // found, but END is no value card
    EXPECT_TRUE(h.get("END"));
    EXPECT_FALSE(h.get_value("COMMENT"));
    EXPECT_EQ(h.get_value("BAD"), Value::make_unparsed("abc"));
    EXPECT_EQ(h.get_i64("HIERARCH ESO DET CHIP"), 5);

    auto e = h.entries();
    ASSERT_EQ(e.size(), 4u);
    EXPECT_EQ(e[0].keyword, "A");
    EXPECT_EQ(e[0].comment, "one");
    EXPECT_EQ(e[1].keyword, "S");
    EXPECT_EQ(e[1].value, Value::make_string("xy"));
    EXPECT_EQ(e[1].comment, "tail");
    EXPECT_EQ(e[2].keyword, "BAD");
    EXPECT_EQ(e[2].value, Value::make_unparsed("abc"));
    EXPECT_EQ(e[3].keyword, "HIERARCH ESO DET CHIP");
    EXPECT_EQ(e[3].value, Value::make_integer(5));
    EXPECT_EQ(e[3].comment, "h");
}

TEST(HeaderLookup, RawCardsSpanBytesAndViewAt) {
    Header h = header_of({kv("A", "'x&'"), "CONTINUE  'y'", "comment   lower"});
    auto raw = h.raw_cards();
    ASSERT_EQ(raw.size(), 2u);
    EXPECT_EQ(raw[0].first, "A");
    EXPECT_EQ(raw[0].second, card_bytes({kv("A", "'x&'"), "CONTINUE  'y'"}));
    EXPECT_EQ(raw[1].first, "COMMENT");  // read leniently, stored raw
    EXPECT_EQ(raw[1].second, card_bytes({"comment   lower"}));

    EXPECT_EQ(h.span_bytes(80, 160), card_bytes({"CONTINUE  'y'"}));
    EXPECT_TRUE(h.span_bytes(160, 160).empty());
    EXPECT_EQ(h.span_bytes(200, 1000).size(), 40u);  // clamped to the stored bytes
    EXPECT_TRUE(h.span_bytes(500, 100).empty());

    EXPECT_EQ(h.view_at(1).bytes.size(), 80u);
    EXPECT_TRUE(h.view_at(2).bytes.empty());
    EXPECT_TRUE(h.view_at(99).bytes.empty());
}

TEST(HeaderLookup, LayoutBuiltOnFirstLookupOnly) {
    Header h = header_of({kv("A", "1")});
    EXPECT_FALSE(h.has_layout());
    EXPECT_EQ(h.bytes().size(), 80u);
    EXPECT_FALSE(h.has_layout());
    EXPECT_TRUE(h.get("A"));
    EXPECT_TRUE(h.has_layout());
    const Layout* first = &h.layout();
    h.get("B");
    h.keywords();
    EXPECT_EQ(&h.layout(), first);
}

TEST(HeaderLookup, ConcurrentFirstLookupsShareOneLayout) {
    Bytes b;
    for (int i = 0; i < 300; ++i)
        append_bytes(b, card(kv(numbered("K", i), std::to_string(i))));
    for (int round = 0; round < 20; ++round) {
        Header h{Bytes(b)};
        std::vector<const Layout*> seen(8, nullptr);
        std::vector<std::optional<std::int64_t>> got(8);
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t) {
            threads.emplace_back([&, t] {
                got[t] = h.get_i64(numbered("K", t * 37));
                seen[t] = &h.layout();
            });
        }
        for (auto& th : threads)
            th.join();
        for (int t = 0; t < 8; ++t) {
            EXPECT_EQ(seen[t], &h.layout());
            EXPECT_EQ(got[t], t * 37);
        }
    }
}

// ---------------------------------------------------------------- ownership

TEST(HeaderOwnership, CopiesCarryABuiltLayoutMovesTakeIt) {
    Header built = header_of({kv("A", "1"), kv("B", "2")});
    ASSERT_TRUE(built.get("A"));

    Header copy(built);
    EXPECT_TRUE(copy.has_layout());
    EXPECT_NE(&copy.layout(), &built.layout());
    EXPECT_TRUE(same_spans(copy.layout().spans, built.layout().spans));
    EXPECT_EQ(copy.layout().index(), built.layout().index());
    EXPECT_EQ(copy.get_i64("B"), 2);
    EXPECT_EQ(copy.get("B")->bytes.data(), copy.bytes().data() + 80);  // borrows its own bytes

    Header cloned = built.clone();
    EXPECT_TRUE(cloned.has_layout());
    EXPECT_EQ(cloned.bytes(), built.bytes());

    Header fresh = header_of({kv("A", "1")});
    Header fresh_copy(fresh);
    EXPECT_FALSE(fresh_copy.has_layout());

    Header assigned = header_of({kv("Z", "9")});
    ASSERT_TRUE(assigned.get("Z"));
    assigned = built;
    EXPECT_TRUE(assigned.has_layout());
    EXPECT_EQ(assigned.get_i64("A"), 1);
    EXPECT_FALSE(assigned.get("Z"));
    assigned = fresh;  // an absent layout replaces a built one
    EXPECT_FALSE(assigned.has_layout());
    EXPECT_FALSE(assigned.get("B"));

    Header& self = assigned;
    assigned = self;
    EXPECT_EQ(assigned.get_i64("A"), 1);

    const Layout* moved_layout = &built.layout();
    Header moved(std::move(built));
    EXPECT_EQ(&moved.layout(), moved_layout);
    EXPECT_EQ(moved.get_i64("B"), 2);
    EXPECT_FALSE(built.has_layout());  // NOLINT(bugprone-use-after-move)
    EXPECT_TRUE(built.bytes().empty());
    EXPECT_FALSE(built.get("A"));

    Header target = header_of({kv("Q", "1")});
    ASSERT_TRUE(target.get("Q"));
    target = std::move(moved);
    EXPECT_EQ(&target.layout(), moved_layout);
    EXPECT_EQ(target.get_i64("A"), 1);
    EXPECT_FALSE(target.get("Q"));
    EXPECT_FALSE(moved.has_layout());  // NOLINT(bugprone-use-after-move)
    EXPECT_TRUE(moved.bytes().empty());

    Header& same = target;
    target = std::move(same);
    EXPECT_EQ(target.get_i64("A"), 1);
}

// ---------------------------------------------------------------- blocks

Bytes blocks_of(const std::vector<std::string>& texts, std::size_t prefix = 0) {
    Bytes out(prefix, 'x');
    for (const auto& t : texts)
        append_bytes(out, card(t));
    while ((out.size() - prefix) % kBlockLen != 0)
        append_bytes(out, card(""));
    return out;
}

std::vector<std::string> repeat(const std::string& text, std::size_t n) {
    return std::vector<std::string>(n, text);
}

TEST(HeaderParse, ConsumedLengthAndKeptCards) {
    struct Case {
        const char* name;
        std::vector<std::string> cards;
        std::size_t prefix;
        std::size_t kept;
        std::uint64_t consumed;
    };
    auto end36 = repeat(kv("A", "1"), 35);
    end36.push_back("END");
    auto end37 = repeat(kv("A", "1"), 36);
    end37.push_back("END");
    const std::vector<Case> cases = {
        {"END first", {"END"}, 0, 0, 2880},
        {"END as 36th card", end36, 0, 35, 2880},
        {"END opens second block", end37, 0, 36, 5760},
        {"non-zero start", {kv("A", "1"), "END"}, 100, 1, 2880},
        {"non-zero start, two blocks", end37, 7, 36, 5760},
    };
    for (const auto& c : cases) {
        for (bool lenient : {false, true}) {
            Bytes buf = blocks_of(c.cards, c.prefix);
            auto r = Header::parse(buf, c.prefix, lenient);
            ASSERT_TRUE(r) << c.name << ": " << r.error().message();
            EXPECT_EQ(r->second, c.consumed) << c.name;
            EXPECT_EQ(r->first.bytes().size(), c.kept * 80) << c.name;
            // The parse indexes the cards as it reads them, exactly as a later build would.
            ASSERT_TRUE(r->first.has_layout()) << c.name;
            const Layout fresh = Layout::build(r->first.bytes());
            EXPECT_TRUE(same_spans(r->first.layout().spans, fresh.spans)) << c.name;
            EXPECT_EQ(r->first.layout().occurrences(), fresh.occurrences()) << c.name;
        }
    }
    // Bytes after the END card's block are not read.
    Bytes buf = blocks_of({"END"});
    buf.insert(buf.end(), 3000, 0xFF);
    auto r = Header::parse(buf, 0, false);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->second, 2880u);
}

TEST(HeaderParse, Failures) {
    struct Case {
        const char* name;
        Bytes buffer;
        std::uint64_t start;
        bool strict_fails;
        bool lenient_fails;
        std::string message;  // the same in every mode that fails
    };
    Bytes short_tail = blocks_of(repeat(kv("A", "1"), 36));
    append_bytes(short_tail, card("END"));
    Bytes one = blocks_of({"END"});
    // Card errors count from the start of the buffer, also with a non-zero start.
    Bytes bad_kw = blocks_of({kv("A", "1"), kv("B", "2"), "ab?     = 3", "END"}, 40);
    Bytes end_text = blocks_of({"END", "END       x"}, 0);
    Bytes bad_hier = blocks_of({"END", "HIERARCH=x"});
    Bytes bad_value = blocks_of({kv("A", "1"), kv("NAXIS1", "abc"), "END"});
    Bytes bad_cont = blocks_of({kv("A", "'x&'"), "CONTINUE  'abc", "END"});
    Bytes misplaced;
    {
        // END in the second block followed by a value card: the offset is that block's.
        std::vector<std::string> cards = repeat(kv("A", "1"), 36);
        cards.push_back("END");
        cards.push_back(kv("B", "2"));
        misplaced = blocks_of(cards, 10);
    }
    Bytes lower_after_end = blocks_of({"END", "abc     = 1"});

    const std::vector<Case> cases = {
        {"start beyond end", one, 2881, true, true,
         "block at byte 2881: header start beyond end of buffer"},
        {"start at end", one, 2880, true, true, "header: no END card found in header"},
        {"empty buffer", {}, 0, true, true, "header: no END card found in header"},
        {"END in a short trailing piece", short_tail, 0, true, true,
         "header: no END card found in header"},
        {"no END at all", blocks_of(repeat(kv("A", "1"), 36)), 0, true, true,
         "header: no END card found in header"},
        {"strict keyword character", bad_kw, 40, true, false,
         "card at byte 200: invalid character 0x61 in keyword name"},
        {"END with text after END", end_text, 0, true, true,
         "card at byte 90: non-space byte in END card body"},
        {"bad HIERARCH after END", bad_hier, 0, true, false,
         "card at byte 88: HIERARCH card: expected space after HIERARCH"},
        {"unparsable value", bad_value, 0, true, false,
         "value for keyword `NAXIS1`: unrecognized value `abc`"},
        {"unterminated CONTINUE string", bad_cont, 0, true, false,
         "value for keyword `CONTINUE`: unterminated string literal"},
        {"value card after END", misplaced, 10, true, false,
         "END card misplaced (block at byte 2890)"},
        {"lower-case card after END", lower_after_end, 0, true, false,
         "card at byte 80: invalid character 0x61 in keyword name"},
    };
    for (const auto& c : cases) {
        for (bool lenient : {false, true}) {
            auto r = Header::parse(c.buffer, c.start, lenient);
            const bool fails = lenient ? c.lenient_fails : c.strict_fails;
            ASSERT_EQ(!r, fails) << c.name << " lenient=" << lenient;
            if (fails) {
                EXPECT_EQ(r.error().message(), c.message) << c.name;
            }
        }
    }
}

TEST(HeaderParse, OwnedBlocksGiveTheSameHeaderAndRest) {
    // Taking the blocks over reads them exactly as parse does: the same cards, layout,
    // consumed length and errors; the rest after the cards puts the blocks back together.
    auto end37 = repeat(kv("A", "1"), 36);
    end37.push_back("END");
    end37.push_back("junk after END");
    Bytes nul_fill = blocks_of({kv("A", "1"), "END"});
    std::fill(nul_fill.begin() + 160, nul_fill.end(), 0);
    Bytes trailing = blocks_of({kv("B", "2"), "END"});
    trailing.insert(trailing.end(), 3000, 0xFF);
    const std::vector<Bytes> cases = {
        blocks_of({"END"}),
        blocks_of({kv("S", "'abc&'"), "CONTINUE  'def&'", "CONTINUE  'g'", kv("S", "2"),
                   "COMMENT x", "END"}),
        blocks_of(end37),
        nul_fill,
        trailing,
        blocks_of({kv("A", "1"), kv("NAXIS1", "abc"), "END"}),
        blocks_of({"END", "END       x"}),
        blocks_of(repeat(kv("A", "1"), 36)),
        {},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        for (bool lenient : {false, true}) {
            const Bytes& blocks = cases[i];
            const auto copied = Header::parse(blocks, 0, lenient);
            Bytes owned_blocks = blocks;
            const std::uint8_t* storage = owned_blocks.data();
            auto owned = Header::parse_owned(std::move(owned_blocks), lenient);
            ASSERT_EQ(bool(copied), bool(owned)) << i << " lenient=" << lenient;
            if (!copied) {
                EXPECT_EQ(owned.error().message(), copied.error().message()) << i;
                continue;
            }
            const Header& h = owned->first;
            EXPECT_EQ(h.bytes(), copied->first.bytes()) << i;
            EXPECT_EQ(h.bytes().data(), storage) << i;  // taken over, not copied
            ASSERT_TRUE(h.has_layout());
            EXPECT_TRUE(same_spans(h.layout().spans, copied->first.layout().spans)) << i;
            EXPECT_EQ(h.layout().occurrences(), copied->first.layout().occurrences()) << i;
            EXPECT_EQ(h.bytes().size() + owned->second.size(), copied->second) << i;
            Bytes whole = std::move(owned->first).take_bytes();
            EXPECT_TRUE(owned->first.bytes().empty());
            EXPECT_FALSE(owned->first.get("A"));
            whole.insert(whole.end(), owned->second.begin(), owned->second.end());
            EXPECT_EQ(whole, Bytes(blocks.begin(),
                                   blocks.begin() + static_cast<std::ptrdiff_t>(copied->second)))
                << i;
        }
    }
}

TEST(HeaderParse, ModesKeepRawBytes) {
    // NULs after END are fill in strict mode; printable text after END is fine leniently.
    Bytes nul_fill = blocks_of({kv("A", "1"), "END"});
    std::fill(nul_fill.begin() + 160, nul_fill.end(), 0);
    auto strict = Header::parse(nul_fill, 0, false);
    ASSERT_TRUE(strict);
    EXPECT_EQ(strict->first.bytes(), card_bytes({kv("A", "1")}));

    Bytes junk = blocks_of({kv("A", "1"), "END", "some text here", kv("B", "'x'")});
    auto lenient = Header::parse(junk, 0, true);
    ASSERT_TRUE(lenient);
    EXPECT_EQ(lenient->first.len(), 1u);

    // Lenient mode keeps control bytes, NULs and lower-case keywords as read.
    Bytes raw = blocks_of({"naxis   = 2", kv("B", "abc"), "END"});
    raw[70] = 0x01;
    raw[85] = 0x00;
    auto r = Header::parse(raw, 0, true);
    ASSERT_TRUE(r);
    EXPECT_TRUE(std::equal(r->first.bytes().begin(), r->first.bytes().end(), raw.begin()));
    EXPECT_EQ(r->first.bytes().size(), 160u);
    EXPECT_EQ(r->first.get_i64("NAXIS"), 2);
    EXPECT_EQ(r->first.get_value("B"), Value::make_unparsed("abc"));

    // Strict mode turns NULs in the keyword field into blanks and stores the raw bytes.
    Bytes nul_kw = blocks_of({"A", "END"});
    std::fill(nul_kw.begin(), nul_kw.begin() + 80, 0);
    auto s2 = Header::parse(nul_kw, 0, false);
    ASSERT_TRUE(s2);
    EXPECT_EQ(s2->first.bytes(), Bytes(80, 0));
}

TEST(HeaderParse, LenientKeepsHierarchCardsWithoutIndicatorAsCommentary) {
    const std::vector<std::string> odd = {"HIERARCH ESO DET WIN1 BINX 1", "HIERARCH= 5",
                                          "HIERARCH ESO A B=5"};
    Bytes buf = blocks_of({kv("A", "1"), odd[0], odd[1], odd[2], "HIERARCH ESO OK = 7", "END"});
    ASSERT_FALSE(Header::parse(buf, 0, false));
    auto r = Header::parse(buf, 0, true);
    ASSERT_TRUE(r) << r.error().message();
    const Header& h = r->first;
    EXPECT_TRUE(std::equal(h.bytes().begin(), h.bytes().end(), buf.begin()));
    EXPECT_EQ(h.keywords(), (std::vector<std::string>{"A", "HIERARCH", "HIERARCH", "HIERARCH",
                                                      "HIERARCH ESO OK"}));
    const auto views = h.commentary_views("HIERARCH");
    ASSERT_EQ(views.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i)
        EXPECT_EQ(text_of(views[i].bytes), card(odd[i]));
    EXPECT_FALSE(h.get("HIERARCH"));
    EXPECT_EQ(h.get_i64("HIERARCH ESO OK"), 7);
    EXPECT_EQ(h.entries().size(), 2u);
}

TEST(HeaderBytes, ToBytesWholeBlocks) {
    Bytes empty = Header().to_bytes();
    ASSERT_EQ(empty.size(), 2880u);
    EXPECT_EQ(text_of(empty), card("END") + std::string(2800, ' '));

    Bytes cards35;
    for (int i = 0; i < 35; ++i)
        append_bytes(cards35, card(kv("A", "1")));
    Bytes out35 = Header(cards35).to_bytes();
    ASSERT_EQ(out35.size(), 2880u);
    EXPECT_EQ(text_of(ByteSpan(out35).subspan(2800, 80)), card("END"));

    Bytes cards36 = cards35;
    append_bytes(cards36, card(kv("B", "2")));
    Bytes out36 = Header(cards36).to_bytes();
    ASSERT_EQ(out36.size(), 5760u);
    EXPECT_EQ(text_of(ByteSpan(out36).subspan(2880, 80)), card("END"));
    EXPECT_EQ(text_of(ByteSpan(out36).subspan(2960)), std::string(2800, ' '));
}

TEST(HeaderBytes, RoundTrip) {
    for (std::size_t n : {0u, 1u, 35u, 36u, 71u, 72u, 100u}) {
        Bytes cards;
        for (std::size_t i = 0; i < n; ++i) {
            append_bytes(cards, card(kv(numbered("K", i), numbered("", i) + " / c")));
        }
        Header h(cards);
        Bytes out = h.to_bytes();
        for (bool lenient : {false, true}) {
            auto r = Header::parse(out, 0, lenient);
            ASSERT_TRUE(r) << n;
            EXPECT_EQ(r->first.bytes(), cards);
            EXPECT_EQ(r->second, out.size());
        }
    }
}

// Random and damaged input must produce a header or an error, never a crash, and every
// result must be usable.
TEST(HeaderParse, RandomAndTruncatedBlocksNeverCrash) {
    std::mt19937 rng(12345);
    Bytes good =
        blocks_of({kv("SIMPLE", "T"), kv("BITPIX", "16"), kv("NAXIS", "2"), kv("S", "'abc&' / c"),
                   "CONTINUE  'def'", "COMMENT   hello", "HIERARCH A B = 'x'", "END"});
    using namespace std::string_literals;
    const std::string alphabet = "ABCEHINORST '=/&()-_0123456789.,\x00\x7F\xFF"s;
    auto check = [](ByteSpan buf, std::uint64_t start, bool lenient) {
        auto r = Header::parse(buf, start, lenient);
        if (!r) {
            EXPECT_FALSE(r.error().message().empty());
            return;
        }
        EXPECT_GT(r->second, 0u);
        EXPECT_EQ(r->second % kBlockLen, 0u);
        EXPECT_LE(start + r->second, buf.size());
        EXPECT_EQ(r->first.bytes().size() % kCardLen, 0u);
        EXPECT_LT(r->first.bytes().size(), r->second);
        const Header& h = r->first;
        for (const auto& e : h.entries())
            (void)e.value.debug();
        for (const auto& k : h.keywords())
            (void)h.get(k);
        (void)h.axes();
        (void)h.blank();
        (void)h.is_random_groups();
        (void)h.tile_table_keywords();
        EXPECT_EQ(h.to_bytes().size() % kBlockLen, 0u);
    };
    for (int round = 0; round < 400; ++round) {
        Bytes buf = good;
        const int mutations = static_cast<int>(rng() % 40);
        for (int m = 0; m < mutations; ++m) {
            buf[rng() % buf.size()] = static_cast<std::uint8_t>(alphabet[rng() % alphabet.size()]);
        }
        if (round % 3 == 0) buf.resize(rng() % (buf.size() + 1));
        if (round % 5 == 0) {
            for (auto& b : buf)
                b = static_cast<std::uint8_t>(rng());
        }
        const std::uint64_t start = rng() % 4 == 0 ? rng() % (buf.size() + 2) : 0;
        check(buf, start, false);
        check(buf, start, true);
    }
}

}  // namespace
}  // namespace vexlo
