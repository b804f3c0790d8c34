// A tile-compressed image: the binary table that holds its tiles together with the image
// description read from the table's Z keywords.
#pragma once

#include <memory>

#include "error.hpp"
#include "hdu/bintable.hpp"

namespace vexlo {

// The image description (pixel type, axes, tiling, algorithm, quantisation) and the Z keywords
// it comes from have one home, read by the loader and written by the tile writer alike:
// hdu/tile_params.hpp.
struct TileParams;

struct CompressedImageHdu {
    BinTableHdu inner;                         // the table holding the tiles
    std::shared_ptr<const TileParams> params;  // never null in a built record

    // Reads the image description from the table's Z keywords; defined beside those keywords
    // in hdu/tile_params.cpp. `table` is moved from only on success; on failure the caller
    // keeps it.
    static Result<CompressedImageHdu> from_bintable(BinTableHdu&& table);
};

}  // namespace vexlo
