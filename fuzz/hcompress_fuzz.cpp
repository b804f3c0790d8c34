// HCOMPRESS_1 decoding of arbitrary bytes. The first byte picks the pixel width, the SCALE
// parameter and smoothing; the rest is the stream. The tile size is the one the stream
// declares (capped), so fuzzing reaches the bit planes and the inverse transform.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "compression/hcompress.hpp"
#include "data/pixel.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    static constexpr std::uint32_t kWidths[] = {1, 2, 4, 8};
    const std::uint32_t width = kWidths[data[0] & 3];
    const std::int32_t scale = (data[0] >> 2) & 7;
    const bool smooth = (data[0] & 0x20) != 0;
    const vexlo::ByteSpan in(data + 1, size - 1);
    std::uint64_t npix = 16;
    if (in.size() >= 10) {
        const std::int64_t nx = vexlo::load_be_i32(in.data() + 2);
        const std::int64_t ny = vexlo::load_be_i32(in.data() + 6);
        if (nx > 0 && ny > 0 && nx * ny <= (1 << 16)) npix = static_cast<std::uint64_t>(nx * ny);
    }
    std::vector<std::uint8_t> out(npix * width);
    (void)vexlo::hcompress_decode(in, width, npix, scale, smooth, out);
    return 0;
}
