#include "compression/header.hpp"

#include <algorithm>
#include <set>

#include "util/text.hpp"

namespace vexlo {

std::optional<std::string> map_image_keyword(std::string_view keyword) {
    const std::string_view renamed = tile_table_keyword(keyword);
    if (renamed != keyword) return std::string(renamed);
    if (is_reserved_keyword(keyword) || is_tile_table_keyword(keyword)) return std::nullopt;
    return std::string(keyword);
}

std::optional<std::string> choose_extname(const std::optional<std::string>& requested,
                                          const Header& image) {
    if (requested) return requested;
    if (const std::optional<CardView> card = image.get("EXTNAME")) {
        if (std::optional<ValueAndComment> vc = card->value_and_comment();
            vc && vc->value.is(Value::Kind::String)) {
            return std::move(vc->value.text);
        }
    }
    return std::nullopt;
}

Result<Header> build_compressed_header(const Header& image, const TileParams& params,
                                       const CompressedLayout& layout,
                                       const std::optional<std::string>& requested_extname) {
    Header h;
    CardSink out{h};
    const bool q = params.quantize.has_value();
    const std::int64_t g = layout.fallback ? 1 : 0;
    VEXLO_TRY(out.text("XTENSION", "BINTABLE"));
    VEXLO_TRY(out.integer("BITPIX", 8));
    VEXLO_TRY(out.integer("NAXIS", 2));
    VEXLO_TRY(out.integer("NAXIS1", 8 + 8 * g + (q ? 16 : 0), "bytes per table row"));
    VEXLO_TRY(out.integer("NAXIS2", static_cast<std::int64_t>(layout.n_tiles), "number of tiles"));
    VEXLO_TRY(out.integer("PCOUNT", static_cast<std::int64_t>(layout.heap_size)));
    VEXLO_TRY(out.integer("GCOUNT", 1));
    VEXLO_TRY(out.integer("TFIELDS", 1 + g + (q ? 2 : 0)));
    int column = 0;
    auto add_tile_column = [&](std::string_view name, const std::string& tform) -> Result<void> {
        ++column;
        VEXLO_TRY(out.text(indexed_keyword("TTYPE", column), name));
        return out.text(indexed_keyword("TFORM", column), tform);
    };
    auto pb = [](std::uint64_t max) { return "1PB(" + std::to_string(max) + ")"; };
    VEXLO_TRY(add_tile_column("COMPRESSED_DATA", pb(layout.max_compressed)));
    if (layout.fallback)
        VEXLO_TRY(add_tile_column("GZIP_COMPRESSED_DATA", pb(layout.max_fallback)));
    if (q) {
        VEXLO_TRY(add_tile_column("ZSCALE", "1D"));
        VEXLO_TRY(add_tile_column("ZZERO", "1D"));
    }
    VEXLO_TRY(write_tile_params(params, image, h));
    const std::optional<std::string> extname = choose_extname(requested_extname, image);
    VEXLO_TRY(out.text("EXTNAME", extname ? *extname : kDefaultExtname,
                       "name of this binary table extension"));

    // The image's cards, never over a keyword written above.
    const std::set<std::string> written = h.keyword_set();
    const Layout& cards = image.layout();
    for (std::size_t k = 0; k < cards.spans.size(); ++k) {
        const CardView card = image.view_at(k);
        if (card.is_commentary()) {
            h.push_raw(card.bytes);
            continue;
        }
        const std::string key = card.keyword();
        const std::optional<std::string> mapped = map_image_keyword(key);
        if (!mapped || written.contains(*mapped)) continue;
        if (*mapped == key) {
            h.push_raw(card.bytes);
            continue;
        }
        const std::optional<ValueAndComment> vc = card.value_and_comment();
        if (!vc) continue;
        VEXLO_TRY(out.put(*mapped, vc->value, vc->comment));
    }
    return h;
}

std::vector<std::size_t> extname_candidates(const FitsFile& file, std::string_view name) {
    std::vector<std::size_t> out;
    // The scan files names with trailing white space removed; a name equal to the card's text
    // is filed under the same trimmed key.
    for (const std::string_view key : {trim_ws_end(name), kDefaultExtname}) {
        const auto found = file.extnames.find(key);
        if (found != file.extnames.end()) {
            out.insert(out.end(), found->second.begin(), found->second.end());
        }
    }
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

}  // namespace vexlo
