#include "util/debug.hpp"

#include <cstdint>

#include "util/text.hpp"

namespace vexlo {

namespace {

struct Range {
    char32_t lo, hi;
};

// Grapheme_Extend code points (the common ranges: combining marks, variation selectors,
// emoji modifiers); these are escaped so that a quoted text never starts with a mark that
// would fuse with the opening quote.
constexpr Range kGraphemeExtend[] = {
    {0x0300, 0x036F},   {0x0483, 0x0489},   {0x0591, 0x05BD}, {0x05BF, 0x05BF}, {0x05C1, 0x05C2},
    {0x05C4, 0x05C5},   {0x05C7, 0x05C7},   {0x0610, 0x061A}, {0x064B, 0x065F}, {0x0670, 0x0670},
    {0x06D6, 0x06DC},   {0x06DF, 0x06E4},   {0x06E7, 0x06E8}, {0x06EA, 0x06ED}, {0x0711, 0x0711},
    {0x0730, 0x074A},   {0x0900, 0x0902},   {0x093A, 0x093A}, {0x093C, 0x093C}, {0x0941, 0x0948},
    {0x094D, 0x094D},   {0x0951, 0x0957},   {0x0E31, 0x0E31}, {0x0E34, 0x0E3A}, {0x0E47, 0x0E4E},
    {0x1AB0, 0x1AFF},   {0x1DC0, 0x1DFF},   {0x200C, 0x200C}, {0x20D0, 0x20F0}, {0x302A, 0x302F},
    {0x3099, 0x309A},   {0xFE00, 0xFE0F},   {0xFE20, 0xFE2F}, {0xFF9E, 0xFF9F}, {0x1F3FB, 0x1F3FF},
    {0xE0020, 0xE007F}, {0xE0100, 0xE01EF},
};

// Code points that are not printable: controls, format characters, space and line
// separators other than the blank, private use, surrogates and noncharacters.
constexpr Range kNonPrintable[] = {
    {0x0000, 0x001F}, {0x007F, 0x00A0}, {0x00AD, 0x00AD},   {0x0600, 0x0605},    {0x061C, 0x061C},
    {0x06DD, 0x06DD}, {0x070F, 0x070F}, {0x1680, 0x1680},   {0x180E, 0x180E},    {0x2000, 0x200F},
    {0x2028, 0x202F}, {0x205F, 0x206F}, {0x3000, 0x3000},   {0xD800, 0xF8FF},    {0xFEFF, 0xFEFF},
    {0xFFF0, 0xFFFB}, {0xFFFE, 0xFFFF}, {0xE0000, 0xE001F}, {0xF0000, 0x10FFFF},
};

template <std::size_t N>
bool in_ranges(const Range (&ranges)[N], char32_t c) {
    for (const Range& r : ranges) {
        if (c >= r.lo && c <= r.hi) return true;
    }
    return false;
}

void append_escaped(std::string& out, char32_t c, char quote) {
    switch (c) {
        case '\t':
            out += "\\t";
            return;
        case '\r':
            out += "\\r";
            return;
        case '\n':
            out += "\\n";
            return;
        case '\0':
            out += "\\0";
            return;
        case '\\':
            out += "\\\\";
            return;
        default:
            break;
    }
    if (c == static_cast<char32_t>(quote)) {
        out += '\\';
        out += quote;
        return;
    }
    if (in_ranges(kNonPrintable, c) || in_ranges(kGraphemeExtend, c)) {
        static constexpr char kHex[] = "0123456789abcdef";
        std::string digits;
        for (char32_t v = c; v != 0 || digits.empty(); v >>= 4) {
            digits.insert(digits.begin(), kHex[v & 0xF]);
        }
        out += "\\u{" + digits + "}";
        return;
    }
    append_utf8(out, c);
}

}  // namespace

std::string debug_str(std::string_view text) {
    std::string out = "\"";
    out.reserve(text.size() + 2);
    for (std::size_t i = 0; i < text.size();) {
        auto [c, len] = first_code_point(text.substr(i));
        append_escaped(out, c, '"');
        i += len;
    }
    out += '"';
    return out;
}

std::string debug_char(char32_t c) {
    std::string out = "'";
    append_escaped(out, c, '\'');
    out += '\'';
    return out;
}

}  // namespace vexlo
