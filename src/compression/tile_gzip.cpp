#include "compression/tile_gzip.hpp"

namespace vexlo {

Result<void> inflate_gzip_tile(ByteSpan, std::span<std::uint8_t>) {
    return std::unexpected(Error::data("tile gzip inflate failed: not yet available"));
}

}  // namespace vexlo

namespace vexlo {
Result<Bytes> gzip_tile(ByteSpan) {
    return std::unexpected(Error::io("gzip: not yet available"));
}
}  // namespace vexlo
