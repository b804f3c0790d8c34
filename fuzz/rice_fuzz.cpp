// RICE_1 decoding of arbitrary bytes. The first byte picks the pixel width and block size,
// the next two the pixel count; the rest is the compressed tile.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "compression/rice.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    static constexpr std::uint32_t kWidths[] = {1, 2, 4, 3};
    const std::uint32_t bytepix = kWidths[data[0] & 3];
    const std::uint32_t blocksize = (data[0] >> 2) == 63 ? 0 : (data[0] >> 2) + 1;
    const std::uint32_t npix = (std::uint32_t{data[1]} << 8) | data[2];
    std::vector<std::uint8_t> out(std::size_t{npix} * bytepix);
    (void)vexlo::rice_decode(bytepix, blocksize, npix, vexlo::ByteSpan(data + 3, size - 3), out);
    return 0;
}
