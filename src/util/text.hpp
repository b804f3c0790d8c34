// Text helpers: Unicode White_Space trimming, lossy UTF-8 decoding, ASCII case and character
// classes, counting characters.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace vexlo {

// Trims Unicode White_Space (U+0009..000D, 0020, 0085, 00A0, 1680, 2000..200A, 2028, 2029,
// 202F, 205F, 3000) from UTF-8 text. Invalid sequences are never trimmed.
std::string_view trim_ws(std::string_view s);
std::string_view trim_ws_start(std::string_view s);
std::string_view trim_ws_end(std::string_view s);

// Decodes bytes as UTF-8, replacing each maximal invalid subpart with U+FFFD.
std::string utf8_lossy(std::string_view bytes);

// Copies with ASCII letters upper-cased / lower-cased; other bytes unchanged.
std::string ascii_upper(std::string_view s);
std::string ascii_lower(std::string_view s);

// ASCII character classes, free of the locale: no byte past 0x7F is a letter or a digit.
constexpr bool is_ascii_digit(char c) {
    return c >= '0' && c <= '9';
}
constexpr bool is_ascii_letter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
// A byte from space through tilde: the printable ASCII that header text and character
// columns are held to.
constexpr bool is_ascii_printable(unsigned char b) {
    return b >= 0x20 && b <= 0x7E;
}

// Equal when ASCII letters are compared without regard to case; every other byte, each byte of
// a multi-byte character included, must match exactly. Neither allocates.
bool ascii_iequal(std::string_view a, std::string_view b);
bool ascii_istarts_with(std::string_view s, std::string_view prefix);

// Whether a byte continues a UTF-8 sequence (10xxxxxx) rather than starting a character.
constexpr bool is_utf8_continuation(char byte) {
    return (static_cast<unsigned char>(byte) & 0xC0) == 0x80;
}
// The characters of UTF-8 text, counted as the bytes that are not continuations: a stray or
// invalid byte counts as one character, as does a sequence cut short.
std::size_t code_point_count(std::string_view s);

// The first code point of UTF-8 text and its length in bytes; an invalid or truncated
// sequence (or empty text) counts as one byte standing for U+FFFD.
std::pair<char32_t, std::size_t> first_code_point(std::string_view s);

// Whether the bytes are well-formed UTF-8.
bool is_valid_utf8(std::string_view s);

// Where the first ill-formed UTF-8 sequence starts and the length of its maximal invalid
// subpart; length 0 when the text ends inside a sequence that was well-formed so far.
struct Utf8Fault {
    std::size_t index;
    std::size_t length;
};
std::optional<Utf8Fault> find_utf8_fault(std::string_view s);

// Appends the UTF-8 encoding of one code point.
void append_utf8(std::string& out, char32_t cp);

// The decimal digits of an integer, as messages quote counts, sizes and offsets.
inline std::string str(std::uint64_t v) {
    return std::to_string(v);
}
inline std::string str(std::int64_t v) {
    return std::to_string(v);
}

// Two upper-case hexadecimal digits of a byte, e.g. "0A".
std::string hex_byte(unsigned char b);

}  // namespace vexlo
