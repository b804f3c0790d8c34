#include "util/text.hpp"

#include <cstdint>

namespace vexlo {

namespace {

using u8 = unsigned char;

// Length of the White_Space character starting at s[i], or 0.
std::size_t ws_len_at(std::string_view s, std::size_t i) {
    u8 c = static_cast<u8>(s[i]);
    if (c == 0x20 || (c >= 0x09 && c <= 0x0D)) return 1;
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
    for (std::size_t len : {std::size_t{1}, std::size_t{2}, std::size_t{3}}) {
        if (end >= len && ws_len_at(s.substr(0, end), end - len) == len) return len;
    }
    return 0;
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
    const std::size_t n = bytes.size();
    while (i < n) {
        u8 c = static_cast<u8>(bytes[i]);
        if (c < 0x80) {
            out += static_cast<char>(c);
            ++i;
            continue;
        }
        std::size_t need = 0;
        u8 lo = 0x80, hi = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) {
            need = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            need = 2;
            if (c == 0xE0) lo = 0xA0;
            if (c == 0xED) hi = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            need = 3;
            if (c == 0xF0) lo = 0x90;
            if (c == 0xF4) hi = 0x8F;
        } else {
            append_utf8(out, 0xFFFD);
            ++i;
            continue;
        }
        // Consume the longest valid prefix; a broken sequence is one replacement character.
        std::size_t j = i + 1;
        std::size_t got = 0;
        while (got < need && j < n) {
            u8 d = static_cast<u8>(bytes[j]);
            u8 l = got == 0 ? lo : 0x80, h = got == 0 ? hi : 0xBF;
            if (d < l || d > h) break;
            ++j;
            ++got;
        }
        if (got == need) {
            out.append(bytes.substr(i, j - i));
        } else {
            append_utf8(out, 0xFFFD);
        }
        i = j;
    }
    return out;
}

std::string ascii_upper(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return out;
}

bool ascii_iequal(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto fold = [](char c) {
            return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
        };
        if (fold(a[i]) != fold(b[i])) return false;
    }
    return true;
}

std::string ascii_lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
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
    constexpr std::pair<char32_t, std::size_t> kInvalid{0xFFFD, 1};
    if (s.empty()) return kInvalid;
    const auto b0 = static_cast<unsigned char>(s[0]);
    if (b0 < 0x80) return {b0, 1};
    std::size_t len = 0;
    char32_t cp = 0;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        len = 2;
        cp = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        len = 3;
        cp = b0 & 0x0F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        len = 4;
        cp = b0 & 0x07;
    } else {
        return kInvalid;
    }
    if (s.size() < len) return kInvalid;
    for (std::size_t i = 1; i < len; ++i) {
        const auto b = static_cast<unsigned char>(s[i]);
        if ((b & 0xC0) != 0x80) return kInvalid;
        cp = (cp << 6) | (b & 0x3F);
    }
    const bool overlong = (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000);
    if (overlong || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return kInvalid;
    return {cp, len};
}

bool is_valid_utf8(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        if (static_cast<unsigned char>(s[i]) < 0x80) {
            ++i;
            continue;
        }
        const auto [cp, len] = first_code_point(s.substr(i));
        // A real U+FFFD is three bytes long; length 1 marks an invalid sequence.
        if (cp == 0xFFFD && len == 1) return false;
        i += len;
    }
    return true;
}

std::string hex_byte(unsigned char b) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    return {kDigits[b >> 4], kDigits[b & 0xF]};
}

}  // namespace vexlo
