// How a tile-compressed image is described: the pixel type, axes and tiling, the algorithm
// and the quantisation, read from a table's Z keywords into one record and written back from
// it as cards.
//
// Maintainer's note: this is the one home of the Z keywords. A change of how tiles are
// described (a new keyword, algorithm parameter or default) goes into `TileParams` and into
// both `read_tile_params` and `write_tile_params` below, and the round trip test in
// tests/cpp/compression/tile_params_test.cpp gets a case for it. A new algorithm is a value of
// `Compression::Kind` (the one algorithm enum, the tile writer's options included) with its
// ZCMPTYPE row in tile_params.cpp; the switches over the enum have no default, so the compiler
// then names the decoder's case (compression/reader.cpp), the encoder's (compression/writer.cpp)
// and the parameters' (write_algorithm, read_tile_params). The Z names image cards take in a
// tile table are here too (tile_table_keyword). Cutting an image into tiles from these
// parameters is hdu/tile_grid.hpp; the writer's table columns and the image cards that travel
// with the tiles are compression/header.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "data/pixel.hpp"
#include "error.hpp"
#include "hdu/bintable.hpp"
#include "hdu/tile_value.hpp"
#include "header/header.hpp"
#include "util/try.hpp"

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

    bool operator==(const Compression&) const = default;
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

// The longest tile a ZTILEn card (a signed 64-bit integer) can describe.
inline constexpr std::uint64_t kMaxTileLength = 9223372036854775807;

struct TileParams {
    Bitpix bitpix = Bitpix::U8;
    std::vector<std::uint64_t> axes;  // ZNAXIS1 ... ZNAXISn
    std::vector<std::uint64_t> tile;  // tile length per axis; 0 is the whole axis
    Compression cmptype;
    std::size_t internal_bp = 1;  // bytes per pixel of the values the algorithm produces
    std::optional<QuantizeInfo> quantize;
};

// Pushes cards onto one header, each call returning the push's error: the Z cards here and
// the rest of a tile table's header (compression/header.cpp).
struct CardSink {
    Header& h;

    Result<void> put(std::string_view key, const Value& v,
                     std::optional<std::string> comment = {}) {
        VEXLO_TRY(h.push_card(key, v, comment));
        return {};
    }
    Result<void> integer(std::string_view key, std::int64_t v,
                         std::optional<std::string> comment = {}) {
        return put(key, Value::make_integer(v), std::move(comment));
    }
    Result<void> text(std::string_view key, std::string_view v,
                      std::optional<std::string> comment = {}) {
        return put(key, Value::make_string(std::string(v)), std::move(comment));
    }
};

// Whether a header says its table holds a tile-compressed image: ZIMAGE = T. Whether the Z
// keywords then describe one is read_tile_params's answer.
bool declares_zimage(const Header& header);

// The keyword an image card goes under in a tile table: the Z name of a card the table's own
// structure would clash with (SIMPLE, XTENSION, EXTEND, PCOUNT, GCOUNT, BLOCKED) or of BLANK
// (the null of the image's stored integers, not of the table's); any other keyword as it is.
std::string_view tile_table_keyword(std::string_view image_keyword);

// The ZCMPTYPE name of an algorithm (GZIP_1, RICE_1, ...), and the algorithm of a name (RICE_ONE
// read as RICE_1); none for a name no algorithm has.
std::string_view compression_name(Compression::Kind kind);
std::optional<Compression::Kind> compression_named(std::string_view name);

// The image description from a ZIMAGE table's header and columns, every keyword checked.
Result<TileParams> read_tile_params(const Header& header, const std::vector<BinColumn>& columns);

// The Z cards of `params`, pushed onto `out` in the order a tile table carries them. The
// structural cards of `image` that a tile table keeps under other names (ZSIMPLE or
// ZTENSION, ZEXTEND, ZPCOUNT, ZGCOUNT) go in among them, at their places.
Result<void> write_tile_params(const TileParams& params, const Header& image, Header& out);

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
