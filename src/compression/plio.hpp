// The PLIO_1 decoder: the run-length line lists of IRAF pixel masks, one tile per call.
#pragma once

#include <cstdint>
#include <span>

#include "error.hpp"
#include "util/bytes.hpp"

namespace vexlo {

// Decodes `npix` pixels of `width` (1, 2 or 4) bytes into `out`, which must hold exactly
// npix * width zero bytes; pixels the list does not describe stay zero.
Result<void> plio_decode(ByteSpan input, std::uint32_t width, std::uint64_t npix,
                         std::span<std::uint8_t> out);

}  // namespace vexlo
