// Small text readers shared by the binary and ASCII table code: UTF-8 checks on field
// bytes and the unsigned decimals of TFORM, TDIM and width texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>

namespace vexlo::detail {

// The first code point of non-empty text and its length in bytes; an invalid or truncated
// sequence counts as one byte standing for U+FFFD.
std::pair<char32_t, std::size_t> first_code_point(std::string_view s);

// Whether the bytes are well-formed UTF-8.
bool is_valid_utf8(std::string_view s);

// Unsigned decimal: an optional '+', then one or more ASCII digits, within 64 bits.
std::optional<std::uint64_t> parse_u64_plus(std::string_view s);

}  // namespace vexlo::detail
