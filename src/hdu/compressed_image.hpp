// A tile-compressed image: the binary table that holds its tiles together with the image
// description read from the table's Z keywords.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "data/pixel.hpp"
#include "error.hpp"
#include "hdu/bintable.hpp"
#include "hdu/image.hpp"
#include "hdu/tile_value.hpp"

namespace vexlo {

struct Compression {
    enum class Kind : std::uint8_t {
        Gzip1,
        Gzip2,
        Rice1,
        Plio1,
        Hcompress1,
        None,
    };

    Kind kind = Kind::None;
    std::uint32_t blocksize = 32;  // Rice1: pixels per Rice block
    std::int32_t scale = 0;        // Hcompress1: 0 ... 2147483647
    bool smooth = false;           // Hcompress1
};

enum class DitherMethod : std::uint8_t {
    NoDither = 0,
    Subtractive1 = 1,
    Subtractive2 = 2,
};

struct QuantizeInfo {
    DitherMethod dither = DitherMethod::NoDither;
    std::uint32_t dither_seed = 1;
    TileValue<std::int32_t> blank;
    TileValue<double> scale;
    TileValue<double> zero;
};

struct CompressedImageHdu {
    BinTableHdu inner;  // the table holding the tiles
    Bitpix bitpix = Bitpix::U8;
    std::vector<std::uint64_t> axes;  // ZNAXIS1 ... ZNAXISn
    std::vector<std::uint64_t> tile;  // tile length per axis; 0 is the whole axis
    Compression cmptype;
    std::size_t internal_bp = 1;  // bytes per pixel of the values the algorithm produces
    std::optional<QuantizeInfo> quantize;

    // Reads the image description from the table's Z keywords. `table` is moved from only
    // on success; on failure the caller keeps it.
    static Result<CompressedImageHdu> from_bintable(BinTableHdu&& table);
};

// The per-tile ZSCALE or ZZERO (`name`): a J, K, E or D column of that name, else the keyword.
Result<TileValue<double>> read_tile_value(const Header& header,
                                          const std::vector<BinColumn>& columns,
                                          std::string_view name);
// The stored integer that marks a null pixel: a ZBLANK column, the keyword, or -2147483647.
Result<TileValue<std::int32_t>> read_zblank(const Header& header,
                                            const std::vector<BinColumn>& columns);
// The Rice block size from the ZNAMEi/ZVALi pairs; `effective` is the type the codec sees.
Result<std::uint32_t> read_rice_params(const Header& header, Bitpix effective);
// HCOMPRESS_1 scale and smoothing from the ZNAMEi/ZVALi pairs.
Result<Compression> read_hcompress_params(const Header& header);

}  // namespace vexlo
