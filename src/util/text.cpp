#include "util/text.hpp"

#include <cstdint>
#include <cstring>

namespace vexlo {

namespace {

using u8 = unsigned char;

char fold_upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// Length of the White_Space character starting at s[i], or 0.
std::size_t ws_len_at(std::string_view s, std::size_t i) {
    u8 c = static_cast<u8>(s[i]);
    if (c == 0x20 || (c >= 0x09 && c <= 0x0D)) return 1;
    if (c < 0x80) return 0;  // any other ASCII byte starts no white space
    std::size_t n = s.size() - i;
    if (c == 0xC2 && n >= 2) {
        u8 d = static_cast<u8>(s[i + 1]);
        return (d == 0x85 || d == 0xA0) ? 2 : 0;
    }
    if (n < 3) return 0;
    u8 d = static_cast<u8>(s[i + 1]), e = static_cast<u8>(s[i + 2]);
    if (c == 0xE1 && d == 0x9A && e == 0x80) return 3;  // U+1680
    if (c == 0xE2 && d == 0x80 && ((e >= 0x80 && e <= 0x8A) || e == 0xA8 || e == 0xA9 || e == 0xAF))
        return 3;                                       // U+2000..200A, 2028, 2029, 202F
    if (c == 0xE2 && d == 0x81 && e == 0x9F) return 3;  // U+205F
    if (c == 0xE3 && d == 0x80 && e == 0x80) return 3;  // U+3000
    return 0;
}

// Length of a White_Space character ending at s[end-1], or 0.
std::size_t ws_len_before(std::string_view s, std::size_t end) {
    // An ASCII byte ends no longer character: it is white space alone or not at all.
    if (end > 0 && static_cast<u8>(s[end - 1]) < 0x80) {
        const u8 c = static_cast<u8>(s[end - 1]);
        return c == 0x20 || (c >= 0x09 && c <= 0x0D) ? 1 : 0;
    }
    for (std::size_t len : {std::size_t{1}, std::size_t{2}, std::size_t{3}}) {
        if (end >= len && ws_len_at(s.substr(0, end), end - len) == len) return len;
    }
    return 0;
}

// One decoding step at the start of non-empty `s`: the length of the well-formed sequence
// there, or of its maximal invalid subpart (`truncated` when the text ends inside a sequence
// whose bytes were valid so far). Every UTF-8 reader of the library decodes through this.
struct Utf8Step {
    std::size_t length;
    bool valid;
    bool truncated;
};

Utf8Step utf8_step(std::string_view s) {
    const u8 c = static_cast<u8>(s[0]);
    if (c < 0x80) return {1, true, false};
    std::size_t width = 0;
    u8 lo = 0x80, hi = 0xBF;  // bounds of the second byte; later ones are plain continuations
    if (c >= 0xC2 && c <= 0xDF) {
        width = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        width = 3;
        if (c == 0xE0) lo = 0xA0;  // no overlong three-byte forms
        if (c == 0xED) hi = 0x9F;  // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        width = 4;
        if (c == 0xF0) lo = 0x90;  // no overlong four-byte forms
        if (c == 0xF4) hi = 0x8F;  // nothing past U+10FFFF
    } else {
        return {1, false, false};  // continuation byte, C0/C1 (overlong) or F5..FF
    }
    for (std::size_t k = 1; k < width; ++k) {
        if (k >= s.size()) return {k, false, true};
        const u8 d = static_cast<u8>(s[k]);
        const bool ok = k == 1 ? (d >= lo && d <= hi) : is_utf8_continuation(s[k]);
        if (!ok) return {k, false, false};
    }
    return {width, true, false};
}

}  // namespace

std::string_view trim_ws_start(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        std::size_t n = ws_len_at(s, i);
        if (n == 0) break;
        i += n;
    }
    return s.substr(i);
}

std::string_view trim_ws_end(std::string_view s) {
    std::size_t end = s.size();
    while (end > 0) {
        std::size_t n = ws_len_before(s, end);
        if (n == 0) break;
        end -= n;
    }
    return s.substr(0, end);
}

std::string_view trim_ws(std::string_view s) {
    return trim_ws_end(trim_ws_start(s));
}

std::string utf8_lossy(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    std::size_t i = 0;
    while (i < bytes.size()) {
        if (static_cast<u8>(bytes[i]) < 0x80) {
            out += bytes[i];
            ++i;
            continue;
        }
        const Utf8Step step = utf8_step(bytes.substr(i));
        if (step.valid) {
            out.append(bytes.substr(i, step.length));
        } else {
            append_utf8(out, 0xFFFD);
        }
        i += step.length;
    }
    return out;
}

std::optional<Utf8Fault> find_utf8_fault(std::string_view s) {
    std::size_t i = 0;
    // Plain ASCII, the common case, is passed eight bytes at a time.
    while (i + 8 <= s.size()) {
        std::uint64_t word;
        std::memcpy(&word, s.data() + i, 8);
        if ((word & 0x8080808080808080ULL) != 0) break;
        i += 8;
    }
    while (i < s.size()) {
        if (static_cast<u8>(s[i]) < 0x80) {
            ++i;
            continue;
        }
        const Utf8Step step = utf8_step(s.substr(i));
        if (!step.valid) return Utf8Fault{i, step.truncated ? 0 : step.length};
        i += step.length;
    }
    return std::nullopt;
}

std::string ascii_upper(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        c = fold_upper(c);
    return out;
}

std::string ascii_lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

bool ascii_iequal(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (fold_upper(a[i]) != fold_upper(b[i])) return false;
    }
    return true;
}

bool ascii_istarts_with(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && ascii_iequal(s.substr(0, prefix.size()), prefix);
}

std::size_t code_point_count(std::string_view s) {
    std::size_t n = 0;
    for (const char c : s)
        n += is_utf8_continuation(c) ? 0 : 1;
    return n;
}

void append_utf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::pair<char32_t, std::size_t> first_code_point(std::string_view s) {
    if (s.empty()) return {0xFFFD, 1};
    const Utf8Step step = utf8_step(s);
    if (!step.valid) return {0xFFFD, 1};
    // Lead-byte payload masks for sequences of 1 to 4 bytes.
    static constexpr u8 kLeadMask[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
    char32_t cp = static_cast<u8>(s[0]) & kLeadMask[step.length];
    for (std::size_t k = 1; k < step.length; ++k)
        cp = (cp << 6) | (static_cast<u8>(s[k]) & 0x3F);
    return {cp, step.length};
}

bool is_valid_utf8(std::string_view s) {
    return !find_utf8_fault(s).has_value();
}

std::string hex_byte(unsigned char b) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    return {kDigits[b >> 4], kDigits[b & 0xF]};
}

}  // namespace vexlo
