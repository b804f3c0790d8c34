// Number text: shortest round-trip forms, the 17-digit exponent form, exact parsing.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vexlo {

// Shortest round-trip digits in plain positional form: 1.0 -> "1", 1e21 ->
// "1000000000000000000000", 1e-7 -> "0.0000001", -0.0 -> "-0"; "NaN", "inf", "-inf".
std::string format_real_plain(double v);

// The same for single precision: the shortest digits that read back to the same float.
std::string format_f32_plain(float v);

// Shortest round-trip digits in exponent form with lower-case e and no '+':
// "1e16", "1.5e300", "1e-7"; "NaN", "inf", "-inf".
std::string format_real_exp(double v);

// The debug form that messages quote: plain with at least one fractional digit when the
// magnitude is zero or in [1e-4, 1e16) ("2.0", "0.5"), else format_real_exp.
std::string format_real_debug(double v);

// Seventeen significant digits, one before the point, exponent "E" without '+' or leading
// zeros: 1e20 -> "1.0000000000000000E20", 1.5e-7 -> "1.5000000000000000E-7".
std::string format_real_e17(double v);

// Decimal literal parsing, correctly rounded: optional sign, digits with at most one '.',
// at least one digit, optional exponent (e/E, optional sign, digits); or optional sign then
// "inf", "infinity" or "nan" in any case. Overflow gives an infinity, underflow zero.
// No blanks or other characters are accepted. (D exponents are the caller's concern.)
std::optional<double> parse_decimal(std::string_view text);

// Optional single sign followed by one or more ASCII digits, within the int64 range.
std::optional<std::int64_t> parse_int64(std::string_view text);

// Unsigned decimal: an optional '+', then one or more ASCII digits, within 64 bits.
std::optional<std::uint64_t> parse_uint64(std::string_view text);

}  // namespace vexlo
