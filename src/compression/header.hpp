// The header of a tile-compressed image table: its columns, the Z cards of the image
// description (written by hdu/tile_params), and the image's own cards that travel
// with it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "error.hpp"
#include "hdu/tile_params.hpp"
#include "header/header.hpp"
#include "io/file.hpp"

namespace vexlo {

// The columns and heap of a tile table as the writer filled them.
struct CompressedLayout {
    std::uint64_t n_tiles = 0;
    std::uint64_t heap_size = 0;
    bool fallback = false;  // some tile fell back to GZIP_COMPRESSED_DATA
    std::uint64_t max_fallback = 0;
    std::uint64_t max_compressed = 0;
};

// The whole header: table structure, the Z cards of `params`, the EXTNAME (`extname` when
// given, see choose_extname), then the image's own cards.
Result<Header> build_compressed_header(const Header& image, const TileParams& params,
                                       const CompressedLayout& layout,
                                       const std::optional<std::string>& extname);

// The keyword an image card is written under in the table, or none when it is dropped.
std::optional<std::string> map_image_keyword(std::string_view keyword);

// The options' EXTNAME, else the image's EXTNAME when it is a string, else none.
std::optional<std::string> choose_extname(const std::optional<std::string>& requested,
                                          const Header& image);

inline constexpr std::string_view kDefaultExtname = "COMPRESSED_IMAGE";

// The HDUs of a scanned file, ascending, whose loaded header can carry EXTNAME `name`: those
// the scan indexed under it, plus the tables indexed under the default name, since a
// tile-compressed image drops that card and may then show another. Every other HDU's loaded
// header certainly carries a different EXTNAME, or none.
std::vector<std::size_t> extname_candidates(const FitsFile& file, std::string_view name);

}  // namespace vexlo
