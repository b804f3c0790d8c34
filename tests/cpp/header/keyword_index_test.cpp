#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "header/header.hpp"
#include "header_fixture.hpp"
#include "util/text.hpp"

namespace vexlo {
namespace {

using testing::kv;

// The header as a plain list of logical cards, with the lookup rules written out the slow way.
struct ModelCard {
    std::string keyword;
    bool commentary = false;
    std::int64_t value = 0;
};

struct Model {
    std::vector<ModelCard> cards;

    static bool is_commentary_key(std::string_view key) {
        return key.empty() || key == "COMMENT" || key == "HISTORY";
    }
    std::optional<std::size_t> first_value(std::string_view key) const {
        if (key.empty()) return std::nullopt;
        for (std::size_t n = 0; n < cards.size(); ++n) {
            if (!cards[n].commentary && cards[n].keyword == key) return n;
        }
        return std::nullopt;
    }
    bool has(std::string_view key) const {
        for (const ModelCard& c : cards) {
            if (c.keyword == key) return true;
        }
        return false;
    }
    // A HIERARCH key no card has: the first card equal to it regardless of case names it.
    std::string spelling(std::string_view key) const {
        if (!key.starts_with("HIERARCH ") || has(key)) return std::string(key);
        for (const ModelCard& c : cards) {
            if (c.keyword.starts_with("HIERARCH ") && ascii_iequal(c.keyword, key)) {
                return c.keyword;
            }
        }
        return std::string(key);
    }
    std::optional<std::size_t> get(std::string_view key) const {
        if (auto n = first_value(key)) return n;
        if (key.find('-') != std::string_view::npos) {
            std::string under(key);
            std::replace(under.begin(), under.end(), '-', '_');
            if (auto n = first_value(under)) return n;
        }
        return first_value(spelling(key));
    }
    std::vector<std::size_t> all(std::string_view key) const {
        const std::string k = spelling(key);
        std::vector<std::size_t> out;
        for (std::size_t n = 0; n < cards.size(); ++n) {
            if (cards[n].keyword == k) out.push_back(n);
        }
        return out;
    }
    void insert(std::size_t at, std::string_view key, std::int64_t v) {
        at = std::min(at, cards.size());
        cards.insert(cards.begin() + static_cast<std::ptrdiff_t>(at),
                     ModelCard{std::string(key), is_commentary_key(key), v});
    }
    std::size_t remove(std::string_view key) {
        const std::string k = spelling(key);
        return std::erase_if(cards,
                             [&](const ModelCard& c) { return !c.commentary && c.keyword == k; });
    }
    void set(std::string_view key, std::int64_t v) {
        if (!is_commentary_key(key)) {
            if (auto n = first_value(spelling(key))) {
                cards[*n].value = v;
                return;
            }
        }
        insert(cards.size(), key, v);
    }
};

// The span number a view borrows from `h`.
std::size_t span_of(const Header& h, const CardView& view) {
    const auto offset = static_cast<std::size_t>(view.bytes.data() - h.bytes().data());
    const std::vector<Span>& spans = h.layout().spans;
    for (std::size_t n = 0; n < spans.size(); ++n) {
        if (spans[n].start == offset) return n;
    }
    return spans.size();
}

::testing::AssertionResult agrees(const Header& h, const Model& m,
                                  const std::vector<std::string>& keys) {
    if (h.len() != m.cards.size()) {
        return ::testing::AssertionFailure() << h.len() << " cards, model " << m.cards.size();
    }
    std::vector<std::string> want;
    for (const ModelCard& c : m.cards)
        want.push_back(c.keyword);
    if (h.keywords() != want) return ::testing::AssertionFailure() << "keywords differ";
    for (const std::string& key : keys) {
        const std::optional<std::size_t> expect = m.get(key);
        const std::optional<CardView> got = h.get(key);
        if (got.has_value() != expect.has_value() ||
            (got && (span_of(h, *got) != *expect ||
                     got->value() != Value::make_integer(m.cards[*expect].value)))) {
            return ::testing::AssertionFailure() << "get(" << key << ")";
        }
        std::vector<std::size_t> spans;
        for (const CardView& v : h.get_all(key))
            spans.push_back(span_of(h, v));
        if (spans != m.all(key)) return ::testing::AssertionFailure() << "get_all(" << key << ")";
        if (h.contains_exact(key) != m.has(key)) {
            return ::testing::AssertionFailure() << "contains_exact(" << key << ")";
        }
        if (h.stored_keyword(key) != m.spelling(key)) {
            return ::testing::AssertionFailure() << "stored_keyword(" << key << ")";
        }
    }
    return ::testing::AssertionSuccess();
}

// Random inserts, removals, sets, appends and renames on a header of a few hundred cards,
// each followed by every lookup, against the model; duplicates, commentary, the blank
// keyword, dashes and HIERARCH names in two letter cases included.
TEST(KeywordIndex, EditsInterleavedWithLookupsMatchAReferenceModel) {
    const std::vector<std::string> keys = {
        "A",        "B",        "DATE_OBS",           "DATE-OBS",           "NAXIS9",
        "COMMENT",  "HISTORY",  "",                   "HIERARCH ESO DET A", "HIERARCH eso det a",
        "HIERARCH ESO DET B", "LONGKEY8", "K0000007", "K0000150",           "MISSING"};
    std::mt19937 rng(26);
    auto pick = [&](std::size_t n) {
        return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng);
    };
    for (int round = 0; round < 12; ++round) {
        // Start from a parsed header: its index was built by the parse.
        Model m;
        std::string text;
        const std::size_t start = 50 + pick(300);
        for (std::size_t i = 0; i < start; ++i) {
            const std::string key = pick(4) == 0 ? keys[pick(keys.size())]
                                                 : "K" + std::string(7 - std::to_string(i).size(),
                                                                     '0') + std::to_string(i);
            const auto v = static_cast<std::int64_t>(i);
            if (Model::is_commentary_key(key)) {
                text += testing::card(key.empty() ? std::string(8, ' ') + "note"
                                                  : key + " note");
            } else if (key.starts_with("HIERARCH ")) {
                text += testing::card(key + " = " + std::to_string(v));
            } else {
                text += testing::card(kv(key, std::to_string(v)));
            }
            m.cards.push_back(ModelCard{key, Model::is_commentary_key(key), v});
        }
        auto parsed = Header::parse_text(text, true);
        ASSERT_TRUE(parsed);
        Header h = std::move(*parsed);
        ASSERT_TRUE(agrees(h, m, keys)) << "round " << round << " after parse";
        for (int step = 0; step < 150; ++step) {
            const std::string& key = keys[pick(keys.size())];
            const auto v = static_cast<std::int64_t>(pick(100000));
            switch (pick(7)) {
                case 0:
                case 1: {
                    const std::size_t at = pick(h.len() + 3);
                    ASSERT_TRUE(h.insert(at, key.empty() ? "COMMENT" : key,
                                         Value::make_integer(v), std::nullopt));
                    m.insert(at, key.empty() ? "COMMENT" : key, v);
                    break;
                }
                case 2:
                    EXPECT_EQ(h.remove(key), m.remove(key)) << key;
                    break;
                case 3:
                    if (key.empty()) break;
                    ASSERT_TRUE(h.set(key, Value::make_integer(v), std::nullopt));
                    m.set(key, v);
                    break;
                case 4:
                    if (key.empty()) break;
                    ASSERT_TRUE(h.push_card(key, Value::make_integer(v), std::nullopt));
                    m.insert(m.cards.size(), key, v);
                    break;
                case 5: {
                    // A copy must carry an index of its own bytes.
                    Header copy = h;
                    h = std::move(copy);
                    break;
                }
                default: {
                    const std::string& to = keys[pick(keys.size())];
                    if (Model::is_commentary_key(to) || Model::is_commentary_key(key)) break;
                    auto renamed = h.rename_keyword(key, to);
                    ASSERT_TRUE(renamed) << key << " -> " << to;
                    const std::string from = m.spelling(key);
                    std::size_t count = 0;
                    for (ModelCard& c : m.cards) {
                        if (!c.commentary && c.keyword == from) {
                            c.keyword = to;
                            ++count;
                        }
                    }
                    EXPECT_EQ(*renamed, count);
                    break;
                }
            }
            ASSERT_TRUE(agrees(h, m, keys)) << "round " << round << " step " << step;
        }
    }
}

}  // namespace
}  // namespace vexlo
