// Accessors of a borrowed logical card; every read is lenient and nothing is cached.
#include "header/view.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "header/card.hpp"
#include "util/text.hpp"

namespace vexlo {

namespace {

ByteSpan first_image(ByteSpan bytes) {
    return bytes.first(std::min(bytes.size(), kCardLen));
}

bool ends_with_ampersand(const Value& v) {
    return v.is(Value::Kind::String) && !v.text.empty() && v.text.back() == '&';
}

bool keyword_field_is(ByteSpan card, std::string_view field) {
    return std::equal(field.begin(), field.end(), card.begin());
}

// The first byte at or after `i` that is not a blank (kCardLen when none is), eight bytes at
// a time: a card's value field is mostly blanks.
std::size_t skip_blanks(ByteSpan card, std::size_t i) {
    constexpr std::uint64_t kBlanks = 0x2020202020202020ull;
    for (std::uint64_t word = 0; i + sizeof word <= kCardLen; i += sizeof word) {
        std::memcpy(&word, card.data() + i, sizeof word);
        if (word != kBlanks) break;
    }
    while (i < kCardLen && card[i] == ' ')
        ++i;
    return i;
}

// The value of a single card holding a plain decimal integer (blanks, an optional '-', at
// most 18 digits, blanks, then the end or a comment), read straight from its bytes: the
// structural cards every scan reads are of this form. Anything else returns nothing and
// takes the full parse, which gives the same value for every card accepted here.
std::optional<Value> plain_integer(ByteSpan bytes) {
    if (bytes.size() != kCardLen || bytes[8] != '=' || bytes[9] != ' ') return std::nullopt;
    for (const std::string_view special :
         {"COMMENT ", "HISTORY ", "HIERARCH", "END     ", "        "}) {
        if (keyword_field_is(bytes, special)) return std::nullopt;
    }
    std::size_t i = skip_blanks(bytes, 10);
    const bool negative = i < kCardLen && bytes[i] == '-';
    if (negative) ++i;
    const std::size_t digits_from = i;
    std::int64_t magnitude = 0;
    while (i < kCardLen && bytes[i] >= '0' && bytes[i] <= '9') {
        // 18 digits always fit; longer numbers take the full parse.
        if (i - digits_from == 18) return std::nullopt;
        magnitude = magnitude * 10 + (bytes[i] - '0');
        ++i;
    }
    if (i == digits_from) return std::nullopt;
    i = skip_blanks(bytes, i);
    if (i < kCardLen && bytes[i] != '/') return std::nullopt;
    return Value::make_integer(negative ? -magnitude : magnitude);
}

}  // namespace

std::string CardView::keyword() const {
    if (bytes.size() < kCardLen) return {};
    return card_keyword(first_image(bytes), true);
}

bool CardView::is_commentary() const {
    if (bytes.size() < kCardLen) return false;
    CardKind kind = card_kind(first_image(bytes), true);
    return kind == CardKind::Commentary || kind == CardKind::Continue;
}

std::optional<std::string> CardView::commentary_text() const {
    auto card = read_card(first_image(bytes), 0, true);
    if (!card) return std::string();
    if (card->kind == CardKind::End || card->kind == CardKind::Value) return std::nullopt;
    std::string text = printable_or_blank(as_bytes(card->body()));
    text.resize(trim_ws_end(text).size());
    return text;
}

std::optional<ValueAndComment> CardView::value_and_comment() const {
    auto card = read_card(first_image(bytes), 0, true);
    if (!card || card->kind != CardKind::Value) return std::nullopt;
    ValueAndComment running = parse_value_lenient(card->keyword(), card->body());
    for (std::size_t pos = kCardLen; pos + kCardLen <= bytes.size(); pos += kCardLen) {
        auto next = read_card(bytes.subspan(pos, kCardLen), 0, true);
        if (!next) continue;
        ValueAndComment piece = parse_value_lenient(next->keyword(), next->body());
        if (ends_with_ampersand(running.value) && piece.value.is(Value::Kind::String)) {
            running.value.text.pop_back();
            running.value.text += piece.value.text;
        }
        if (piece.comment) {
            if (running.comment) {
                *running.comment += ' ';
                *running.comment += *piece.comment;
            } else {
                running.comment = std::move(piece.comment);
            }
        }
    }
    return running;
}

std::optional<Value> CardView::value() const {
    if (std::optional<Value> v = plain_integer(bytes)) return v;
    auto vc = value_and_comment();
    if (!vc) return std::nullopt;
    return std::move(vc->value);
}

std::optional<std::string> CardView::comment() const {
    auto vc = value_and_comment();
    if (!vc) return std::nullopt;
    return std::move(vc->comment);
}

std::optional<CardEntry> CardView::entry() const {
    auto vc = value_and_comment();
    if (!vc) return std::nullopt;
    return CardEntry{keyword(), std::move(vc->value), std::move(vc->comment)};
}

}  // namespace vexlo
