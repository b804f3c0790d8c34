// PLIO_1 decoding of arbitrary bytes. The first byte picks the pixel width, the next two the
// pixel count; the rest is the line list.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "compression/plio.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    static constexpr std::uint32_t kWidths[] = {1, 2, 4, 3};
    const std::uint32_t width = kWidths[data[0] & 3];
    const std::uint64_t npix = (std::uint64_t{data[1]} << 8) | data[2];
    std::vector<std::uint8_t> out(npix * width);
    (void)vexlo::plio_decode(vexlo::ByteSpan(data + 3, size - 3), width, npix, out);
    return 0;
}
