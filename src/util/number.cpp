#include "util/number.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "util/text.hpp"

namespace vexlo {

namespace {

std::string non_finite_text(double v) {
    if (std::isnan(v)) return "NaN";
    return v < 0 ? "-inf" : "inf";
}

std::string to_chars_string(double v, std::chars_format fmt) {
    char buf[400];  // fixed form of the largest double needs 309 digits plus sign
    auto res = std::to_chars(buf, buf + sizeof buf, v, fmt);
    return std::string(buf, res.ptr);
}

std::string to_chars_string(double v, std::chars_format fmt, int precision) {
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, v, fmt, precision);
    return std::string(buf, res.ptr);
}

// Rewrites "e+07" / "e-07" exponents as "<letter>7" / "<letter>-7".
std::string rewrite_exponent(const std::string& s, char letter) {
    auto pos = s.find('e');
    if (pos == std::string::npos) return s;
    std::string out = s.substr(0, pos);
    out += letter;
    std::size_t i = pos + 1;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
        if (s[i] == '-') out += '-';
        ++i;
    }
    while (i + 1 < s.size() && s[i] == '0')
        ++i;
    out.append(s, i, std::string::npos);
    return out;
}

}  // namespace

std::string format_real_plain(double v) {
    if (!std::isfinite(v)) return non_finite_text(v);
    // The fixed form prints every digit of the binary value of a large real
    // (447132773968762496); the shortest digits that read back (4471327739687625) are
    // placed by hand instead, with zeros where the value has no more significant digits.
    const std::string sci = to_chars_string(v, std::chars_format::scientific);
    const std::size_t e = sci.find('e');
    std::string out;
    std::size_t i = 0;
    if (sci[0] == '-') {
        out += '-';
        i = 1;
    }
    std::string digits;
    for (; i < e; ++i) {
        if (sci[i] != '.') digits += sci[i];
    }
    int exponent = 0;
    std::string_view exp_text(sci.data() + e + 1, sci.size() - e - 1);
    if (!exp_text.empty() && exp_text.front() == '+') exp_text.remove_prefix(1);
    std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), exponent);
    const auto count = static_cast<int>(digits.size());
    if (exponent < 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-exponent - 1), '0');
        out += digits;
    } else if (exponent + 1 >= count) {
        out += digits;
        out.append(static_cast<std::size_t>(exponent + 1 - count), '0');
    } else {
        out.append(digits, 0, static_cast<std::size_t>(exponent + 1));
        out += '.';
        out.append(digits, static_cast<std::size_t>(exponent + 1), std::string::npos);
    }
    return out;
}

std::string format_f32_plain(float v) {
    if (!std::isfinite(v)) return non_finite_text(v);
    char buf[64];  // fixed form of the largest float needs 39 digits plus sign
    auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed);
    return std::string(buf, res.ptr);
}

std::string format_real_exp(double v) {
    if (!std::isfinite(v)) return non_finite_text(v);
    return rewrite_exponent(to_chars_string(v, std::chars_format::scientific), 'e');
}

std::string format_real_debug(double v) {
    if (!std::isfinite(v)) return non_finite_text(v);
    double a = std::fabs(v);
    if (a == 0.0 || (a >= 1e-4 && a < 1e16)) {
        std::string s = to_chars_string(v, std::chars_format::fixed);
        if (s.find('.') == std::string::npos) s += ".0";
        return s;
    }
    return format_real_exp(v);
}

std::string format_real_e17(double v) {
    if (!std::isfinite(v)) return non_finite_text(v);
    return rewrite_exponent(to_chars_string(v, std::chars_format::scientific, 16), 'E');
}

std::optional<double> parse_decimal(std::string_view text) {
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    std::string_view rest = text.substr(i);
    if (ascii_iequal(rest, "inf") || ascii_iequal(rest, "infinity")) {
        double inf = std::numeric_limits<double>::infinity();
        return negative ? -inf : inf;
    }
    if (ascii_iequal(rest, "nan")) {
        double nan = std::numeric_limits<double>::quiet_NaN();
        return negative ? -nan : nan;
    }
    // Mantissa: digits with at most one '.', at least one digit.
    std::size_t digits = 0, int_digits = 0, leading_frac_zeros = 0;
    bool seen_point = false, seen_nonzero = false, int_nonzero = false;
    std::size_t int_sig = 0;  // significant integer digits (after leading zeros)
    for (; i < text.size(); ++i) {
        char c = text[i];
        if (is_ascii_digit(c)) {
            ++digits;
            if (!seen_point) {
                ++int_digits;
                if (c != '0' || int_nonzero) {
                    int_nonzero = true;
                    ++int_sig;
                }
            } else if (!seen_nonzero && !int_nonzero) {
                if (c == '0') ++leading_frac_zeros;
            }
            if (c != '0') seen_nonzero = true;
        } else if (c == '.' && !seen_point) {
            seen_point = true;
        } else {
            break;
        }
    }
    (void)int_digits;
    if (digits == 0) return std::nullopt;
    long long exponent = 0;
    if (i < text.size()) {
        if (text[i] != 'e' && text[i] != 'E') return std::nullopt;
        ++i;
        bool exp_negative = false;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
            exp_negative = text[i] == '-';
            ++i;
        }
        std::size_t exp_digits = 0;
        for (; i < text.size() && is_ascii_digit(text[i]); ++i, ++exp_digits) {
            if (exponent < 100000000) exponent = exponent * 10 + (text[i] - '0');
        }
        if (exp_digits == 0 || i != text.size()) return std::nullopt;
        if (exp_negative) exponent = -exponent;
    }
    // from_chars rejects a leading '+'; the grammar above is already checked.
    std::string_view body = text;
    if (!body.empty() && body[0] == '+') body.remove_prefix(1);
    double value = 0.0;
    auto res =
        std::from_chars(body.data(), body.data() + body.size(), value, std::chars_format::general);
    if (res.ec == std::errc() && res.ptr == body.data() + body.size()) return value;
    if (res.ec == std::errc::result_out_of_range) {
        // Out of range: decide overflow or underflow from the decimal magnitude.
        long long magnitude = int_sig > 0
                                  ? static_cast<long long>(int_sig) - 1 + exponent
                                  : exponent - static_cast<long long>(leading_frac_zeros) - 1;
        double r = magnitude >= 0 ? std::numeric_limits<double>::infinity() : 0.0;
        return negative ? -r : r;
    }
    return std::nullopt;
}

std::optional<std::int64_t> parse_int64(std::string_view text) {
    std::size_t i = 0;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    if (i == text.size()) return std::nullopt;
    for (std::size_t j = i; j < text.size(); ++j) {
        if (!is_ascii_digit(text[j])) return std::nullopt;
    }
    std::string_view body = text;
    if (body[0] == '+') body.remove_prefix(1);
    std::int64_t value = 0;
    auto res = std::from_chars(body.data(), body.data() + body.size(), value);
    if (res.ec != std::errc() || res.ptr != body.data() + body.size()) return std::nullopt;
    return value;
}

std::optional<std::uint64_t> parse_uint64(std::string_view s) {
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    if (s.empty()) return std::nullopt;
    for (char c : s) {
        if (!is_ascii_digit(c)) return std::nullopt;
    }
    std::uint64_t v = 0;
    const auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || ptr != s.data() + s.size()) return std::nullopt;
    return v;
}

}  // namespace vexlo
