// Fixed keyword classes: cards writers compute themselves, and cards the binary table of a
// tile-compressed image defines itself.
#include <algorithm>
#include <array>

#include "header/header.hpp"
#include "util/text.hpp"

namespace vexlo {

namespace {

// One or more ASCII digits and nothing else.
bool all_digits(std::string_view s) {
    return !s.empty() &&
           std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

template <std::size_t N>
bool one_of(std::string_view keyword, const std::array<std::string_view, N>& names) {
    return std::find(names.begin(), names.end(), keyword) != names.end();
}

// The cards that give the data's kind and shape.
constexpr std::array<std::string_view, 9> kStructural = {
    "END", "SIMPLE", "BITPIX", "EXTEND", "PCOUNT", "GCOUNT", "GROUPS", "XTENSION", "NAXIS",
};

// Further cards writers compute themselves.
constexpr std::array<std::string_view, 3> kComputed = {"TFIELDS", "CHECKSUM", "DATASUM"};

constexpr std::array<std::string_view, 20> kTileWhole = {
    "ZIMAGE",  "ZCMPTYPE", "ZBITPIX",  "ZNAXIS",   "ZQUANTIZ", "ZDITHER0", "ZSCALE",
    "ZZERO",   "ZBLANK",   "ZMASKCMP", "ZSIMPLE",  "ZTENSION", "ZEXTEND",  "ZBLOCKED",
    "ZPCOUNT", "ZGCOUNT",  "ZHECKSUM", "ZDATASUM", "TFIELDS",  "THEAP",
};

constexpr std::array<std::string_view, 19> kTileIndexed = {
    "ZNAXIS", "ZTILE", "ZNAME", "ZVAL",  "TTYPE", "TFORM", "TUNIT", "TDIM",  "TSCAL", "TZERO",
    "TNULL",  "TDISP", "TBCOL", "TCTYP", "TCUNI", "TCRPX", "TCRVL", "TCDLT", "TRPOS",
};

}  // namespace

bool is_reserved_keyword(std::string_view keyword) {
    return one_of(keyword, kStructural) || one_of(keyword, kComputed) ||
           is_indexed_keyword(keyword, "NAXIS");
}

bool is_structural_keyword(std::string_view keyword) {
    const std::string_view k = trim_ws(keyword);
    if (one_of(k, kStructural)) return true;
    return is_indexed_keyword(k, "NAXIS") && k.size() <= 8;  // NAXIS1 .. NAXIS999
}

bool is_tile_table_keyword(std::string_view keyword) {
    if (one_of(keyword, kTileWhole)) return true;
    return std::any_of(kTileIndexed.begin(), kTileIndexed.end(), [&](std::string_view prefix) {
        return is_indexed_keyword(keyword, prefix);
    });
}

std::vector<std::string> Header::tile_table_keywords() const {
    const Layout& l = layout();
    std::vector<std::string> out;
    for (std::size_t n = 0; n < l.spans.size(); ++n) {
        ByteSpan span = view_at(n).bytes;
        if (span.size() < kCardLen) continue;
        ByteSpan first = span.first(kCardLen);
        CardKind kind = card_kind(first, true);
        if (kind != CardKind::End && kind != CardKind::Value) continue;
        std::string key = card_keyword(first, true);
        if (is_tile_table_keyword(key)) out.push_back(std::move(key));
    }
    return out;
}

bool is_indexed_keyword(std::string_view keyword, std::string_view root) {
    return keyword.starts_with(root) && all_digits(keyword.substr(root.size()));
}

std::string indexed_keyword(std::string_view root, std::uint64_t n) {
    std::string keyword(root);
    keyword += std::to_string(n);
    return keyword;
}

}  // namespace vexlo
