// Card formatting: keywords, values and comments into 80-byte card images; long strings over
// CONTINUE images; commentary cards.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "error.hpp"
#include "header/card.hpp"
#include "header/value.hpp"
#include "util/bytes.hpp"

namespace vexlo {

// One card image under construction: starts as 80 blanks.
using CardImage = std::array<std::uint8_t, kCardLen>;

// One image and the part of its comment that did not fit on it (absent when all of it did).
struct CardImageAndOverflow {
    CardImage image;
    std::optional<std::string> overflow;
};

// Refuses keywords that cannot be written, or whose card would not read back as a value card
// with that keyword: empty, bad bytes in a short keyword, longer than 8 without the
// "HIERARCH " form, "END", a bare "HIERARCH", and HIERARCH names that are empty, contain '=',
// or have leading, trailing or doubled blanks.
Result<void> validate_keyword(std::string_view keyword);

// True for "COMMENT", "HISTORY" and the empty keyword: cards of these keywords carry text, not
// values.
bool is_commentary_keyword(std::string_view keyword);

// The images of one value card, in header order: the value card, then CONTINUE images of a long
// string or of a string's comment, or COMMENT images for any other comment that does not fit.
// The keyword is expected to have passed validate_keyword.
Result<Bytes> format_value_card(std::string_view keyword, const Value& value,
                                std::optional<std::string_view> comment);

// COMMENT, HISTORY or blank-keyword images holding the text, 72 bytes per image; an empty text
// gives one image holding only the keyword.
Result<Bytes> format_commentary_cards(std::string_view keyword, std::string_view text);

// One value card image with the value text as given (from column 11, or after " = " for a
// HIERARCH keyword) and as much of the comment as fits.
Result<CardImageAndOverflow> value_card_image(std::string_view keyword, std::string_view text,
                                              std::optional<std::string_view> comment);

// Writes the comment after the first `used` columns of the image (at column 32 when it fits
// there, else right after the value), cutting it at a blank when it does not fit; returns the
// rest.
Result<std::optional<std::string>> append_card_comment(CardImage& image, std::size_t used,
                                                       std::optional<std::string_view> comment);

// Appends COMMENT images holding the overflow text, when there is one.
Result<void> push_overflow_comment_cards(Bytes& images, const std::optional<std::string>& text);

// "5" -> "5.0", "1E5" -> "1.0E5"; a text with a '.' is returned as it is.
std::string ensure_decimal_point(std::string_view text);

// One CONTINUE image holding the value text from column 11 and as much of the comment as fits.
Result<CardImageAndOverflow> continue_card_image(std::string_view text,
                                                 std::optional<std::string_view> comment);

// Appends CONTINUE images that carry the overflow text as comments: "'&'" on every image but
// the last, "''" on the last.
Result<void> format_continue_cards(Bytes& images, const std::optional<std::string>& text);

}  // namespace vexlo
