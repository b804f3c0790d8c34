// Writing an image as a tile-compressed binary table: GZIP_1, GZIP_2 or RICE_1 tiles, with
// optional quantisation of floating-point images. A new algorithm's encoder goes into
// tile_encoder (writer.cpp), whose switch over Compression::Kind names every algorithm.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "error.hpp"
#include "hdu/bintable.hpp"
#include "hdu/image.hpp"
#include "hdu/tile_params.hpp"

namespace vexlo {

struct GzipDeflater;

struct TileCompressOptions {
    std::optional<std::vector<std::uint64_t>> tile_shape;  // none: one image row per tile
    std::optional<std::string> extname;  // none: the image's own EXTNAME, else the default
    // The algorithm, as the tile description names it; the writer has encoders for GZIP_1,
    // GZIP_2 and RICE_1 and refuses the others.
    Compression::Kind compression = Compression::Kind::Gzip1;
    std::uint32_t blocksize = 32;        // RICE_1 pixels per block
    double quantize_level = 4.0;         // noise divided by this is the quantisation step
    std::uint32_t dither_seed = 1;       // ZDITHER0
    std::optional<DitherMethod> dither;  // none: pixels stored as they are
};

// The image as a BINTABLE holding one compressed tile per row.
Result<BinTableHdu> compress_image_to_hdu(const ImageHdu& image,
                                          const TileCompressOptions& options);

// One tile's payload; `bytepix` is the width of the values in `tile`. Gzip tiles are made
// with `deflater`, which a pass keeps from tile to tile.
Result<Bytes> compress_tile(ByteSpan tile, Compression::Kind compression, std::uint32_t blocksize,
                            std::uint32_t bytepix, GzipDeflater& deflater);

}  // namespace vexlo
