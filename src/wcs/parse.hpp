// Reading a coordinate description's keywords: the small readers every WCS parser shares and
// the recognisers of axis types.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "error.hpp"
#include "header/header.hpp"

namespace vexlo {

// "{root}{i}{suffix}", the keyword of axis i (1-based) such as CRPIX2 or CTYPE1A.
std::string axis_key(std::string_view root, std::size_t i, std::string_view suffix);
// The keyword suffix of an alternate code: empty for ' ', the letter for 'A'..'Z'; any other
// code is refused.
Result<std::string> alt_suffix(char32_t alt);

// An Integer or Real card as a double; none for any other kind or an absent card.
std::optional<double> read_f64(const Header& header, std::string_view key);
double read_f64_or(const Header& header, std::string_view key, double fallback, bool& found);
std::string read_string_or(const Header& header, std::string_view key, std::string_view fallback,
                           bool& found);
// A String card trimmed; none when absent, of another kind or empty after trimming.
std::optional<std::string> read_trimmed_string(const Header& header, std::string_view key);
// The numeric cards PV{i}_{m}{alt} for m = 0 ... 39, in order.
std::vector<std::pair<int, double>> read_pv_terms(const Header& header, std::size_t i,
                                                  std::string_view suffix);
// The n x n matrix of the cards {prefix}{i}_{j}{suffix}, starting from zeros (CD) or the
// identity (any other prefix); none when no card is numeric. A card of another value kind is
// refused.
Result<std::optional<std::vector<double>>> read_matrix_cards(const Header& header,
                                                             std::string_view prefix,
                                                             std::string_view suffix,
                                                             std::size_t n);

// The axis type a CTYPE starts with, before the '-' padding and algorithm code ("RA--" of
// "RA---TAN"): its first four bytes, or the whole text when shorter; none when those four bytes
// end inside a multi-byte character. The text is taken as given, not trimmed.
std::optional<std::string_view> ctype_prefix(std::string_view ctype);
// Whether characters 5 to 8 of the trimmed CTYPE read "-TAB" in any case.
bool is_tab_ctype(std::string_view ctype);
// The code of a spectral type name (FREQ 0 ... BETA 9), 255 for anything else.
std::uint8_t spectral_type_code(std::string_view text);
// Whether some CTYPE starts with a spectral type name.
bool has_spectral_ctype(const std::vector<std::string>& ctypes);

}  // namespace vexlo
