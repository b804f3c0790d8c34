// The Rice codec of tile-compressed images: one tile of 1-, 2- or 4-byte big-endian integers
// coded as pixel differences in blocks, each block with its own Rice parameter.
#pragma once

#include <cstdint>
#include <span>

#include "error.hpp"
#include "util/bytes.hpp"

namespace vexlo {

struct RiceParams {
    std::uint32_t fsbits = 0;  // bits of a block code
    std::uint32_t fsmax = 0;   // largest Rice parameter
    std::uint32_t bbits = 0;   // bits of a raw difference
};

// The parameters for 1, 2 or 4 bytes per pixel.
Result<RiceParams> rice_params(std::uint32_t bytepix);

// Compresses one tile of big-endian pixels.
Result<Bytes> rice_encode(std::uint32_t bytepix, std::uint32_t blocksize, ByteSpan tile);

// Decodes `npix` pixels into `out`, which must hold exactly npix * bytepix bytes.
Result<void> rice_decode(std::uint32_t bytepix, std::uint32_t blocksize, std::uint32_t npix,
                         ByteSpan input, std::span<std::uint8_t> out);

}  // namespace vexlo
