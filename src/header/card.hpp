// One 80-byte card image: its keyword, kind and body, in strict or lenient mode.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "error.hpp"
#include "header/block.hpp"
#include "util/bytes.hpp"

namespace vexlo {

enum class CardKind : std::uint8_t {
    End = 0,
    Commentary = 1,
    Continue = 2,
    Value = 3,
};

struct ParsedCard {
    std::string keyword;  // trailing blanks removed; "HIERARCH name words" for HIERARCH cards
    std::string body;     // value field (Value), columns 9-80 (Commentary/Continue), empty (End)
    CardKind kind = CardKind::Commentary;
};

// What parse_card gives, held in fixed buffers so that reading a card never allocates.
struct CardText {
    std::array<char, kCardLen> keyword_chars{};
    std::array<char, kCardLen> body_chars{};
    std::uint8_t keyword_len = 0;
    std::uint8_t body_len = 0;
    CardKind kind = CardKind::Commentary;

    std::string_view keyword() const { return {keyword_chars.data(), keyword_len}; }
    std::string_view body() const { return {body_chars.data(), body_len}; }
};

// Parses one card image; `offset` is its position in the buffer being parsed (for errors).
Result<CardText> read_card(ByteSpan card, std::uint64_t offset, bool lenient);
// read_card with the keyword and body copied into strings.
Result<ParsedCard> parse_card(ByteSpan card, std::uint64_t offset, bool lenient);

// An image's kind and keyword as lenient reading files it, read in one go: card_kind,
// card_keyword and whether card_keyword_eq holds for that keyword.
struct CardHead {
    std::array<char, kCardLen> keyword_chars{};
    std::uint8_t keyword_len = 0;
    CardKind kind = CardKind::Commentary;
    bool readable = false;

    std::string_view keyword() const { return {keyword_chars.data(), keyword_len}; }
};
CardHead card_head(ByteSpan card);

// The kind parse_card would give; Commentary when parse_card fails. Allocation-free on the
// ordinary path.
CardKind card_kind(ByteSpan card, bool lenient);

// The keyword of columns 1-8 (cleaned, repaired in lenient mode), or the full HIERARCH name;
// empty when strict mode rejects the field or a HIERARCH card does not parse. Lenient mode
// reads a HIERARCH card without a usable value indicator as commentary keyed "HIERARCH".
std::string card_keyword(ByteSpan card, bool lenient);

// card_keyword(card) == key, false whenever the keyword cannot be determined.
bool card_keyword_eq(ByteSpan card, bool lenient, std::string_view key);

// Every byte outside 0x20..0x7E replaced by a blank.
std::string printable_or_blank(ByteSpan bytes);

// ISO 8859-1 bytes to UTF-8 text.
std::string latin1_to_text(ByteSpan bytes);

}  // namespace vexlo
