// Card formatting: every image starts as 80 blanks and receives keyword, value text and
// comment at fixed columns.
#include "header/format.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include "util/number.hpp"
#include "util/text.hpp"

namespace vexlo {

namespace {

constexpr std::size_t kShortKeywordLen = 8;
constexpr std::string_view kHierarchPrefix = "HIERARCH ";
// Columns 1-10 of a value or CONTINUE card: keyword and indicator (or blanks).
constexpr std::size_t kValueColumn = 10;
// Integers, logicals and plain reals end in column 30.
constexpr std::size_t kFixedWidth = 20;
constexpr std::size_t kStandardCommentColumn = 30;
// Escaped string bytes on one card without comment: 10 + quote + 68 + quote = 80.
constexpr std::size_t kOneCardString = 68;
// Short strings are blank-filled to this many characters between the quotes.
constexpr std::size_t kMinStringLen = 8;
// Longest piece of a continued string, so that its open form fits in 70 bytes.
constexpr std::size_t kStringPiece = 67;
// Longest comment piece on a comment-carrying CONTINUE image: 10 + 3 + 3 + 64 = 80.
constexpr std::size_t kCommentPiece = 64;
// HIERARCH keyword length plus escaped string length that still fits one card.
constexpr std::size_t kHierarchString = 75;
constexpr std::size_t kCommentaryPiece = 72;

constexpr std::size_t npos = std::string_view::npos;

std::unexpected<Error> header_error(std::string msg) {
    return fail(Error::header(std::move(msg)));
}

std::string quoted(std::string_view keyword) {
    std::string out = "`";
    out += keyword;
    out += '`';
    return out;
}

// Position of the first byte outside 0x20..0x7E, or npos.
std::size_t first_non_printable(std::string_view s) {
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (!is_ascii_printable(static_cast<unsigned char>(s[i]))) return i;
    }
    return npos;
}

std::string byte_hex(std::string_view s, std::size_t at) {
    return hex_byte(static_cast<unsigned char>(s[at]));
}

Result<void> require_printable(std::string_view s, std::string_view prefix) {
    if (std::size_t bad = first_non_printable(s); bad != npos) {
        return header_error(std::string(prefix) + " contains non-printable byte 0x" +
                            byte_hex(s, bad));
    }
    return {};
}

bool is_keyword_byte(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

// The name after "HIERARCH " must read back as itself: the card parser ends the name at the
// first "= ", drops leading blanks and folds runs of blanks into one.
Result<void> validate_hierarch_name(std::string_view keyword) {
    std::string_view name = keyword.substr(kHierarchPrefix.size());
    if (name.find_first_not_of(' ') == npos) {
        return header_error("HIERARCH keyword " + quoted(keyword) + " has an empty name");
    }
    if (name.find('=') != npos) {
        return header_error("HIERARCH keyword " + quoted(keyword) + " contains '='");
    }
    if (name.front() == ' ' || name.back() == ' ' || name.find("  ") != npos) {
        return header_error("HIERARCH keyword " + quoted(keyword) +
                            " has leading, trailing or doubled blanks in its name");
    }
    return {};
}

CardImage blank_image() {
    CardImage image;
    image.fill(' ');
    return image;
}

// Callers have checked that the text fits.
void put(CardImage& image, std::size_t column, std::string_view text) {
    std::memcpy(image.data() + column, text.data(), text.size());
}

void append_image(Bytes& out, const CardImage& image) {
    out.insert(out.end(), image.begin(), image.end());
}

std::string right_justified(std::string_view text) {
    std::string out;
    if (text.size() < kFixedWidth) out.assign(kFixedWidth - text.size(), ' ');
    out += text;
    return out;
}

Result<std::string> real_text(double v) {
    if (!std::isfinite(v)) {
        return header_error("non-finite real " + quoted(format_real_plain(v)) +
                            " cannot appear in a FITS header");
    }
    std::string plain = ensure_decimal_point(format_real_plain(v));
    if (plain.size() <= kFixedWidth) return right_justified(plain);
    return format_real_e17(v);
}

Result<std::string> complex_real_text(double re, double im) {
    if (!std::isfinite(re) || !std::isfinite(im)) {
        return header_error("non-finite complex value `(" + format_real_plain(re) + ", " +
                            format_real_plain(im) + ")` cannot appear in a FITS header");
    }
    return "(" + ensure_decimal_point(format_real_plain(re)) + ", " +
           ensure_decimal_point(format_real_plain(im)) + ")";
}

// Room for the value text on the card of `keyword`.
std::size_t value_field_width(std::string_view keyword) {
    if (keyword.size() <= kShortKeywordLen) return kCardLen - kValueColumn;
    const std::size_t taken = keyword.size() + 3;  // the keyword and " = "
    return taken >= kCardLen ? 0 : kCardLen - taken;
}

// The value text of every kind but String.
Result<std::string> value_text(std::string_view keyword, const Value& value) {
    switch (value.kind) {
        case Value::Kind::Logical:
            return right_justified(value.logical ? "T" : "F");
        case Value::Kind::Integer:
            return right_justified(std::to_string(value.integer));
        case Value::Kind::Real: {
            // An integer wider than 64 bits keeps its digits wherever the card has room for
            // them, so that it reads back as the same integer.
            const std::string_view literal = value.integer_literal();
            if (!literal.empty() && literal.size() <= value_field_width(keyword)) {
                return right_justified(literal);
            }
            return real_text(value.real);
        }
        case Value::Kind::ComplexInteger:
            return "(" + std::to_string(value.integer) + ", " + std::to_string(value.integer_im) +
                   ")";
        case Value::Kind::ComplexReal:
            return complex_real_text(value.real, value.real_im);
        case Value::Kind::Unparsed:
            return value.text;
        case Value::Kind::String:
        case Value::Kind::Undefined:
            break;
    }
    return std::string();
}

std::string escape_quotes(std::string_view s) {
    std::string out;
    out.reserve(s.size() + 2);
    for (char c : s) {
        out += c;
        if (c == '\'') out += '\'';
    }
    return out;
}

std::string closed_form(std::string_view piece) {
    return "'" + std::string(piece) + "'";
}
std::string open_form(std::string_view piece) {
    return "'" + std::string(piece) + "&'";
}

// Length of the next piece of an escaped string: at most 67 bytes, never splitting the two
// quotes of an escaped quote.
std::size_t string_piece_len(std::string_view rest) {
    std::size_t n = std::min(rest.size(), kStringPiece);
    std::size_t run = 0;
    while (run < n && rest[n - 1 - run] == '\'')
        ++run;
    if (run % 2 == 1 && n > 1) --n;
    return n;
}

// Appends the last image of a string: its closed form with the comment when the comment fits
// there; otherwise its open form, with what is left of the comment on CONTINUE images that end
// in a closed "''".
template <class MakeImage>
Result<void> push_last_string_image(Bytes& out, MakeImage make, std::string_view piece,
                                    std::optional<std::string_view> comment) {
    VEXLO_ASSIGN_OR_RETURN(CardImageAndOverflow closed, make(closed_form(piece), comment));
    if (!closed.overflow) {
        append_image(out, closed.image);
        return {};
    }
    VEXLO_ASSIGN_OR_RETURN(CardImageAndOverflow open, make(open_form(piece), comment));
    append_image(out, open.image);
    if (open.overflow) return format_continue_cards(out, open.overflow);
    // The open form is one byte longer, so it always leaves an overflow when the closed form
    // did; should it not, the string must still be closed or it would read back with its '&'.
    VEXLO_ASSIGN_OR_RETURN(CardImageAndOverflow close, continue_card_image("''", std::nullopt));
    append_image(out, close.image);
    return {};
}

Result<Bytes> format_string_card(std::string_view keyword, std::string_view s,
                                 std::optional<std::string_view> comment) {
    if (std::size_t bad = first_non_printable(s); bad != npos) {
        return header_error("string value for " + quoted(keyword) +
                            " contains non-printable byte 0x" + byte_hex(s, bad));
    }
    std::string escaped = escape_quotes(s);
    Bytes out;
    out.reserve(kCardLen);

    if (keyword.size() > kShortKeywordLen) {
        // A HIERARCH card leaves no room for CONTINUE conventions: one card or nothing.
        if (keyword.size() <= kHierarchString &&
            escaped.size() > kHierarchString - keyword.size()) {
            return header_error("string value for HIERARCH keyword " + quoted(keyword) +
                                " is too long for one card (" + std::to_string(escaped.size()) +
                                " chars); CONTINUE chaining is not emitted for HIERARCH");
        }
        VEXLO_ASSIGN_OR_RETURN(CardImageAndOverflow card,
                               value_card_image(keyword, closed_form(escaped), comment));
        append_image(out, card.image);
        VEXLO_TRY(push_overflow_comment_cards(out, card.overflow));
        return out;
    }

    auto value_image = [keyword](std::string_view text, std::optional<std::string_view> c) {
        return value_card_image(keyword, text, c);
    };

    std::size_t limit = kOneCardString;
    if (comment) {
        const std::size_t taken = comment->size() + 3;
        limit = taken >= kOneCardString ? 0 : kOneCardString - taken;
    }
    // Trailing blanks of a string carry no meaning, and a continued string whose last piece
    // holds only blanks reads back elsewhere with the '&' of the piece before it: a string
    // that needs more than one card is cut without them, so its last piece ends in a
    // non-blank byte.
    if (escaped.size() > limit) {
        escaped.resize(escaped.find_last_not_of(' ') + 1);
    }
    if (escaped.size() <= limit) {
        std::string padded = escaped;
        if (padded.size() < kMinStringLen) padded.resize(kMinStringLen, ' ');
        VEXLO_ASSIGN_OR_RETURN(CardImageAndOverflow card,
                               value_card_image(keyword, closed_form(padded), comment));
        if (!card.overflow) {
            append_image(out, card.image);
            return out;
        }
        // Without the blank fill: an open form holding the fill would read back with it.
        VEXLO_TRY(push_last_string_image(out, value_image, escaped, comment));
        return out;
    }

    std::string_view rest = escaped;
    const std::size_t first_len = string_piece_len(rest);
    std::string_view first = rest.substr(0, first_len);
    rest.remove_prefix(first_len);
    if (rest.empty()) {
        VEXLO_TRY(push_last_string_image(out, value_image, first, comment));
        return out;
    }
    VEXLO_ASSIGN_OR_RETURN(CardImageAndOverflow head,
                           value_card_image(keyword, open_form(first), std::nullopt));
    append_image(out, head.image);
    for (;;) {
        const std::size_t len = string_piece_len(rest);
        std::string_view piece = rest.substr(0, len);
        rest.remove_prefix(len);
        if (rest.empty()) {
            VEXLO_TRY(push_last_string_image(out, continue_card_image, piece, comment));
            return out;
        }
        VEXLO_ASSIGN_OR_RETURN(CardImageAndOverflow middle,
                               continue_card_image(open_form(piece), std::nullopt));
        append_image(out, middle.image);
    }
}

}  // namespace

bool is_commentary_keyword(std::string_view keyword) {
    return keyword.empty() || keyword == "COMMENT" || keyword == "HISTORY";
}

Result<void> validate_keyword(std::string_view keyword) {
    if (keyword.empty()) return header_error("keyword is empty");
    if (keyword.size() <= kShortKeywordLen) {
        for (char c : keyword) {
            if (!is_keyword_byte(static_cast<unsigned char>(c))) {
                return header_error("keyword " + quoted(keyword) + " contains invalid byte 0x" +
                                    hex_byte(static_cast<unsigned char>(c)));
            }
        }
        // An END card ends the header, and a bare HIERARCH field announces a long name: a
        // value card with either keyword never reads back as itself.
        if (keyword == "END") {
            return header_error("keyword `END` cannot be used for a value card");
        }
        if (keyword == "HIERARCH") {
            return header_error("HIERARCH keyword `HIERARCH` has an empty name");
        }
        return {};
    }
    if (!keyword.starts_with(kHierarchPrefix)) {
        return header_error("keyword " + quoted(keyword) + " exceeds " +
                            std::to_string(kShortKeywordLen) + " chars");
    }
    VEXLO_TRY(require_printable(keyword, "HIERARCH keyword"));
    return validate_hierarch_name(keyword);
}

std::string ensure_decimal_point(std::string_view text) {
    if (text.find('.') != npos) return std::string(text);
    std::string out(text);
    const std::size_t e = out.find_first_of("Ee");
    out.insert(e == npos ? out.size() : e, ".0");
    return out;
}

Result<std::optional<std::string>> append_card_comment(CardImage& image, std::size_t used,
                                                       std::optional<std::string_view> comment) {
    if (!comment || comment->empty()) return std::optional<std::string>();
    const std::string_view c = *comment;
    std::size_t s = used <= kStandardCommentColumn ? kStandardCommentColumn : used;
    if (s + 3 + c.size() > kCardLen) s = used;

    std::string_view written;
    std::optional<std::string> overflow;
    if (s + 3 + c.size() <= kCardLen) {
        written = c;
    } else {
        // Here s + 3 + |c| > 80, so n < |c| and c[n] exists.
        const std::size_t n = s > kCardLen - 3 ? 0 : std::min(c.size(), kCardLen - 3 - s);
        if (n == 0) {
            overflow.emplace(c);
        } else if (c[n] == ' ') {
            written = c.substr(0, n);
            overflow.emplace(c.substr(n + 1));
        } else {
            const std::size_t k = c.substr(0, n).rfind(' ');
            if (k == npos) {
                written = c.substr(0, n);
                overflow.emplace(c.substr(n));
            } else if (k == 0) {
                overflow.emplace(c);
            } else {
                written = c.substr(0, k);
                overflow.emplace(c.substr(k + 1));
            }
        }
        if (overflow && overflow->empty()) overflow.reset();
    }
    if (!written.empty()) {
        VEXLO_TRY(require_printable(written, "header card"));
        put(image, s, " / ");
        put(image, s + 3, written);
    }
    return overflow;
}

Result<CardImageAndOverflow> value_card_image(std::string_view keyword, std::string_view text,
                                              std::optional<std::string_view> comment) {
    if (keyword.empty()) return header_error("keyword is empty");
    CardImage image = blank_image();
    std::size_t used = 0;
    if (keyword.size() <= kShortKeywordLen) {
        VEXLO_TRY(require_printable(text, "header card"));
        if (kValueColumn + text.size() > kCardLen) {
            return header_error("value card for " + quoted(keyword) +
                                " does not fit in 80 bytes (value is " +
                                std::to_string(text.size()) + " chars)");
        }
        put(image, 0, keyword);
        put(image, kShortKeywordLen, "= ");
        put(image, kValueColumn, text);
        used = kValueColumn + text.size();
    } else if (keyword.starts_with(kHierarchPrefix)) {
        used = keyword.size() + 3 + text.size();
        if (used > kCardLen) {
            return header_error("HIERARCH card for " + quoted(keyword) +
                                " would not fit in 80 bytes");
        }
        VEXLO_TRY(require_printable(text, "header card"));
        put(image, 0, keyword);
        put(image, keyword.size(), " = ");
        put(image, keyword.size() + 3, text);
    } else {
        return header_error("keyword " + quoted(keyword) + " exceeds " +
                            std::to_string(kShortKeywordLen) + " chars (HIERARCH form required)");
    }
    VEXLO_ASSIGN_OR_RETURN(std::optional<std::string> overflow,
                           append_card_comment(image, used, comment));
    return CardImageAndOverflow{image, std::move(overflow)};
}

Result<CardImageAndOverflow> continue_card_image(std::string_view text,
                                                 std::optional<std::string_view> comment) {
    CardImage image = blank_image();
    put(image, 0, "CONTINUE");
    VEXLO_TRY(require_printable(text, "header card"));
    if (kValueColumn + text.size() > kCardLen) {
        return header_error("CONTINUE value field exceeds 70 bytes");
    }
    put(image, kValueColumn, text);
    VEXLO_ASSIGN_OR_RETURN(std::optional<std::string> overflow,
                           append_card_comment(image, kValueColumn + text.size(), comment));
    return CardImageAndOverflow{image, std::move(overflow)};
}

Result<void> push_overflow_comment_cards(Bytes& images, const std::optional<std::string>& text) {
    if (!text) return {};
    VEXLO_ASSIGN_OR_RETURN(Bytes cards, format_commentary_cards("COMMENT", *text));
    images.insert(images.end(), cards.begin(), cards.end());
    return {};
}

Result<void> format_continue_cards(Bytes& images, const std::optional<std::string>& text) {
    if (!text) return {};
    Bytes out;
    std::string_view rest = *text;
    while (!rest.empty()) {
        std::string_view piece;
        if (rest.size() <= kCommentPiece) {
            piece = rest;
            rest = {};
        } else if (rest[kCommentPiece] == ' ') {
            piece = rest.substr(0, kCommentPiece);
            rest.remove_prefix(kCommentPiece + 1);
        } else {
            const std::size_t k = rest.substr(0, kCommentPiece).rfind(' ');
            if (k == npos) {
                piece = rest.substr(0, kCommentPiece);
                rest.remove_prefix(kCommentPiece);
            } else if (k == 0) {
                piece = rest.substr(0, 1);
                rest.remove_prefix(1);
            } else {
                piece = rest.substr(0, k);
                rest.remove_prefix(k + 1);
            }
        }
        VEXLO_ASSIGN_OR_RETURN(CardImageAndOverflow card,
                               continue_card_image(rest.empty() ? "''" : "'&'", piece));
        append_image(out, card.image);
    }
    images.insert(images.end(), out.begin(), out.end());
    return {};
}

Result<Bytes> format_value_card(std::string_view keyword, const Value& value,
                                std::optional<std::string_view> comment) {
    if (value.is(Value::Kind::String)) return format_string_card(keyword, value.text, comment);
    VEXLO_ASSIGN_OR_RETURN(std::string text, value_text(keyword, value));
    VEXLO_ASSIGN_OR_RETURN(CardImageAndOverflow card, value_card_image(keyword, text, comment));
    Bytes out;
    out.reserve(kCardLen);
    append_image(out, card.image);
    VEXLO_TRY(push_overflow_comment_cards(out, card.overflow));
    return out;
}

Result<Bytes> format_commentary_cards(std::string_view keyword, std::string_view text) {
    if (keyword.size() > kShortKeywordLen) {
        return header_error("commentary keyword " + quoted(keyword) + " exceeds " +
                            std::to_string(kShortKeywordLen) + " chars");
    }
    VEXLO_TRY(require_printable(text, "commentary text"));
    Bytes out;
    out.reserve(kCardLen *
                std::max<std::size_t>(1, (text.size() + kCommentaryPiece - 1) / kCommentaryPiece));
    std::string_view rest = text;
    do {
        const std::string_view piece = rest.substr(0, std::min(rest.size(), kCommentaryPiece));
        rest.remove_prefix(piece.size());
        CardImage image = blank_image();
        put(image, 0, keyword);
        put(image, kShortKeywordLen, piece);
        append_image(out, image);
    } while (!rest.empty());
    return out;
}

}  // namespace vexlo
