// Gzip tiles: inflated into exactly the tile's size.
#pragma once

#include <cstdint>
#include <span>

#include "error.hpp"
#include "util/bytes.hpp"

namespace vexlo {

// Inflates a gzip stream into `out`, which must come out exactly filled.
Result<void> inflate_gzip_tile(ByteSpan payload, std::span<std::uint8_t> out);

}  // namespace vexlo

namespace vexlo {
// One gzip member of the tile's bytes.
Result<Bytes> gzip_tile(ByteSpan tile);
}  // namespace vexlo
