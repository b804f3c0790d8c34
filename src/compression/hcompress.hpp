// The HCOMPRESS_1 decoder: H-transform coefficients coded by bit plane and quadtree, with the
// optional smoothing of the inverse transform. Decode only.
#pragma once

#include <cstdint>
#include <span>

#include "error.hpp"
#include "util/bytes.hpp"

namespace vexlo {

// Decodes one tile of `npix` pixels of `width` (1, 2, 4 or 8) bytes into `out`, which must
// hold exactly npix * width bytes. `scale` is the tile header's SCALE (0: take the stream's).
// `out` is written only after the whole tile decoded.
Result<void> hcompress_decode(ByteSpan input, std::uint32_t width, std::uint64_t npix,
                              std::int32_t scale, bool smooth, std::span<std::uint8_t> out);

}  // namespace vexlo
