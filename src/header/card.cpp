#include "header/card.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <string_view>

#include "util/text.hpp"

namespace vexlo {

namespace {

constexpr std::size_t kKeywordLen = 8;
constexpr std::size_t kNoIndex = static_cast<std::size_t>(-1);
constexpr std::string_view kHierarchPrefix = "HIERARCH ";

// Strict mode only blanks NUL bytes; lenient mode blanks everything that is not printable.
char clean_byte(std::uint8_t b, bool lenient) {
    if (lenient) return is_ascii_printable(b) ? static_cast<char>(b) : ' ';
    return b == 0 ? ' ' : static_cast<char>(b);
}

bool is_keyword_char(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

// Columns 1-8 cleaned and (in lenient mode) repaired, held in a fixed buffer so that the
// per-card keyword checks never allocate.
struct KeywordField {
    std::array<char, kKeywordLen> chars{};
    std::size_t len = 0;
    std::size_t bad = kNoIndex;  // strict mode: index of the first disallowed character

    std::string_view view() const { return {chars.data(), len}; }
    bool rejected() const { return bad != kNoIndex; }
};

// `card` holds at least 8 bytes.
KeywordField read_keyword_field(ByteSpan card, bool lenient) {
    KeywordField f;
    for (std::size_t i = 0; i < kKeywordLen; ++i) {
        f.chars[i] = clean_byte(card[i], lenient);
        if (f.chars[i] != ' ') f.len = i + 1;
    }
    for (std::size_t i = 0; i < f.len; ++i) {
        char& c = f.chars[i];
        if (is_keyword_char(c)) continue;
        if (!lenient) {
            f.bad = i;
            break;
        }
        c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : '_';
    }
    return f;
}

// Index of the first cleaned byte in [from, 80) that is not a blank, or kNoIndex.
std::size_t first_non_blank(ByteSpan card, std::size_t from, bool lenient) {
    for (std::size_t i = from; i < kCardLen; ++i) {
        if (clean_byte(card[i], lenient) != ' ') return i;
    }
    return kNoIndex;
}

bool has_value_indicator(ByteSpan card, bool lenient) {
    return clean_byte(card[8], lenient) == '=' && clean_byte(card[9], lenient) == ' ';
}

// The kind of a card whose keyword is neither empty, END nor HIERARCH.
CardKind ordinary_kind(std::string_view keyword, ByteSpan card, bool lenient) {
    if (keyword == "COMMENT" || keyword == "HISTORY") return CardKind::Commentary;
    if (has_value_indicator(card, lenient)) return CardKind::Value;
    if (keyword == "CONTINUE") return CardKind::Continue;
    return CardKind::Commentary;
}

enum class HierarchFault : std::uint8_t {
    None,
    NoSpaceAfterHierarch,
    NoIndicator,
    EmptyName,
    InvalidByte,
};

// The long name of a HIERARCH card, built in a fixed buffer: "HIERARCH " plus at most 69
// name bytes (the "=" of the indicator lies at column 79 at the latest).
struct HierarchScan {
    std::array<char, kCardLen> keyword{};
    std::size_t keyword_len = 0;
    std::size_t body_start = 0;
    HierarchFault fault = HierarchFault::None;
    std::size_t fault_index = 0;
    char fault_byte = 0;

    std::string_view view() const { return {keyword.data(), keyword_len}; }
    bool ok() const { return fault == HierarchFault::None; }
};

HierarchScan fail_hierarch(HierarchFault fault, std::size_t index = 0, char byte = 0) {
    HierarchScan s;
    s.fault = fault;
    s.fault_index = index;
    s.fault_byte = byte;
    return s;
}

// `card` is an 80-byte image whose keyword field reads "HIERARCH".
HierarchScan scan_hierarch(ByteSpan card, bool lenient) {
    if (clean_byte(card[8], lenient) != ' ') {
        return fail_hierarch(HierarchFault::NoSpaceAfterHierarch, 8);
    }
    std::size_t eq = kNoIndex;
    for (std::size_t i = 9; i + 1 < kCardLen; ++i) {
        if (clean_byte(card[i], lenient) == '=' && clean_byte(card[i + 1], lenient) == ' ') {
            eq = i;
            break;
        }
    }
    if (eq == kNoIndex) return fail_hierarch(HierarchFault::NoIndicator);
    if (eq == 9) return fail_hierarch(HierarchFault::EmptyName);

    HierarchScan s;
    for (char c : kHierarchPrefix)
        s.keyword[s.keyword_len++] = c;
    const std::size_t name_start = s.keyword_len;
    bool pending_blank = false;
    for (std::size_t i = 9; i < eq; ++i) {
        const char c = clean_byte(card[i], lenient);
        if (c == ' ') {
            pending_blank = s.keyword_len > name_start;
            continue;
        }
        const auto u = static_cast<unsigned char>(c);
        if (c == '=' || u < 0x21 || u > 0x7E) {
            return fail_hierarch(HierarchFault::InvalidByte, i, c);
        }
        if (pending_blank) {
            s.keyword[s.keyword_len++] = ' ';
            pending_blank = false;
        }
        s.keyword[s.keyword_len++] = c;
    }
    if (s.keyword_len == name_start) return fail_hierarch(HierarchFault::EmptyName);
    s.body_start = eq + 2;
    return s;
}

Error hierarch_error(const HierarchScan& s, std::uint64_t offset) {
    switch (s.fault) {
        case HierarchFault::NoSpaceAfterHierarch:
            return Error::card(offset + s.fault_index,
                               "HIERARCH card: expected space after HIERARCH");
        case HierarchFault::NoIndicator:
            return Error::card(offset, "HIERARCH card has no `= ` value indicator");
        case HierarchFault::EmptyName:
            return Error::card(offset, "HIERARCH card has empty keyword name");
        case HierarchFault::InvalidByte:
        case HierarchFault::None:
            break;
    }
    return Error::card(
        offset + s.fault_index,
        "HIERARCH: invalid keyword byte 0x" + hex_byte(static_cast<unsigned char>(s.fault_byte)));
}

void set_keyword(std::array<char, kCardLen>& chars, std::uint8_t& len, std::string_view keyword) {
    std::copy(keyword.begin(), keyword.end(), chars.begin());
    len = static_cast<std::uint8_t>(keyword.size());
}

CardText make_text(std::string_view keyword, ByteSpan card, std::size_t body_from, bool lenient,
                   CardKind kind) {
    CardText t;
    set_keyword(t.keyword_chars, t.keyword_len, keyword);
    for (std::size_t i = body_from; i < kCardLen; ++i)
        t.body_chars[i - body_from] = clean_byte(card[i], lenient);
    t.body_len = static_cast<std::uint8_t>(kCardLen - std::min(body_from, kCardLen));
    t.kind = kind;
    return t;
}

}  // namespace

Result<CardText> read_card(ByteSpan card, std::uint64_t offset, bool lenient) {
    if (card.size() != kCardLen) {
        return fail(Error::card(offset, "expected " + std::to_string(kCardLen) + " bytes, got " +
                                            std::to_string(card.size())));
    }
    const KeywordField field = read_keyword_field(card, lenient);
    if (field.len == 0) return make_text({}, card, 8, lenient, CardKind::Commentary);
    if (field.rejected()) {
        const auto bad = static_cast<unsigned char>(field.chars[field.bad]);
        return fail(Error::card(offset + field.bad,
                                "invalid character 0x" + hex_byte(bad) + " in keyword name"));
    }
    const std::string_view keyword = field.view();
    if (keyword == "END") {
        const std::size_t stray = first_non_blank(card, 8, lenient);
        if (stray != kNoIndex) {
            return fail(Error::card(offset + stray, "non-space byte in END card body"));
        }
        return make_text(keyword, card, kCardLen, lenient, CardKind::End);
    }
    if (keyword == "HIERARCH") {
        const HierarchScan s = scan_hierarch(card, lenient);
        if (s.ok()) return make_text(s.view(), card, s.body_start, lenient, CardKind::Value);
        // Real files carry HIERARCH cards that never had a value indicator; other readers
        // take them as commentary, and so does lenient reading, keeping their text.
        if (!lenient) return std::unexpected(hierarch_error(s, offset));
        return make_text(keyword, card, 8, lenient, CardKind::Commentary);
    }
    const CardKind kind = ordinary_kind(keyword, card, lenient);
    const std::size_t body_start = kind == CardKind::Value ? 10 : 8;
    return make_text(keyword, card, body_start, lenient, kind);
}

Result<ParsedCard> parse_card(ByteSpan card, std::uint64_t offset, bool lenient) {
    VEXLO_ASSIGN_OR_RETURN(const CardText t, read_card(card, offset, lenient));
    ParsedCard p;
    p.keyword = std::string(t.keyword());
    p.body = std::string(t.body());
    p.kind = t.kind;
    return p;
}

CardHead card_head(ByteSpan card) {
    CardHead h;
    if (card.size() != kCardLen) return h;
    h.readable = true;
    const KeywordField field = read_keyword_field(card, true);
    std::string_view keyword = field.view();
    HierarchScan long_name;
    if (keyword.empty()) {
        h.kind = CardKind::Commentary;
    } else if (keyword == "END") {
        h.kind = first_non_blank(card, 8, true) == kNoIndex ? CardKind::End : CardKind::Commentary;
    } else if (keyword == "HIERARCH") {
        long_name = scan_hierarch(card, true);
        h.kind = long_name.ok() ? CardKind::Value : CardKind::Commentary;
        if (long_name.ok()) keyword = long_name.view();
    } else {
        h.kind = ordinary_kind(keyword, card, true);
    }
    set_keyword(h.keyword_chars, h.keyword_len, keyword);
    return h;
}

CardKind card_kind(ByteSpan card, bool lenient) {
    if (card.size() != kCardLen) return CardKind::Commentary;
    const KeywordField field = read_keyword_field(card, lenient);
    // A rejected keyword field makes parse_card fail, which reads as commentary.
    if (field.len == 0 || field.rejected()) return CardKind::Commentary;
    const std::string_view keyword = field.view();
    if (keyword == "END") {
        return first_non_blank(card, 8, lenient) == kNoIndex ? CardKind::End : CardKind::Commentary;
    }
    if (keyword == "HIERARCH") {
        return scan_hierarch(card, lenient).ok() ? CardKind::Value : CardKind::Commentary;
    }
    return ordinary_kind(keyword, card, lenient);
}

std::string card_keyword(ByteSpan card, bool lenient) {
    // An image of the wrong length does not parse, so its keyword is unknown.
    if (card.size() != kCardLen) return {};
    const KeywordField field = read_keyword_field(card, lenient);
    if (field.rejected()) return {};
    if (field.view() == "HIERARCH") {
        const HierarchScan s = scan_hierarch(card, lenient);
        if (s.ok()) return std::string(s.view());
        return lenient ? std::string(field.view()) : std::string();
    }
    return std::string(field.view());
}

bool card_keyword_eq(ByteSpan card, bool lenient, std::string_view key) {
    if (card.size() != kCardLen) return false;
    const KeywordField field = read_keyword_field(card, lenient);
    if (field.rejected()) return false;
    if (field.view() == "HIERARCH") {
        const HierarchScan s = scan_hierarch(card, lenient);
        if (s.ok()) return s.view() == key;
        return lenient && field.view() == key;
    }
    return field.view() == key;
}

std::string printable_or_blank(ByteSpan bytes) {
    std::string out(bytes.size(), ' ');
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (is_ascii_printable(bytes[i])) out[i] = static_cast<char>(bytes[i]);
    }
    return out;
}

std::string latin1_to_text(ByteSpan bytes) {
    std::size_t high = 0;
    for (std::uint8_t b : bytes)
        high += b >= 0x80 ? 1 : 0;
    std::string out;
    out.reserve(bytes.size() + high);
    for (std::uint8_t b : bytes) {
        if (b < 0x80) {
            out.push_back(static_cast<char>(b));
        } else {
            out.push_back(static_cast<char>(0xC0 | (b >> 6)));
            out.push_back(static_cast<char>(0x80 | (b & 0x3F)));
        }
    }
    return out;
}

}  // namespace vexlo
