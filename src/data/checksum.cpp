#include "data/checksum.hpp"

#include <cstddef>

#include "data/pixel.hpp"

namespace vexlo {

std::uint32_t ones_complement_sum(ByteSpan bytes) {
    // 64-bit accumulators cannot overflow for any buffer that fits in memory, so the carries
    // are folded once at the end.
    std::uint64_t hi = 0;
    std::uint64_t lo = 0;
    const std::size_t words = bytes.size() / 4;
    const std::uint8_t* p = bytes.data();
    for (std::size_t i = 0; i < words; ++i) {
        const std::uint32_t w = load_be_u32(p + 4 * i);
        hi += w >> 16;
        lo += w & 0xFFFFu;
    }
    while (hi > 0xFFFF || lo > 0xFFFF) {
        const std::uint64_t new_hi = (hi & 0xFFFF) + (lo >> 16);
        const std::uint64_t new_lo = (lo & 0xFFFF) + (hi >> 16);
        hi = new_hi;
        lo = new_lo;
    }
    return static_cast<std::uint32_t>((hi << 16) | lo);
}

std::array<char, 16> encode_checksum(std::uint32_t value) {
    // Codes of the punctuation between the digits and the upper-case letters and between
    // the upper-case and the lower-case letters, which the encoding steers around.
    static constexpr std::array<int, 13> kExcluded = {58, 59, 60, 61, 62, 63, 64,
                                                      91, 92, 93, 94, 95, 96};
    std::array<char, 16> a{};
    for (int i = 0; i < 4; ++i) {
        const int byte = static_cast<int>((value >> (24 - 8 * i)) & 0xFF);
        const int q = byte / 4 + 48;
        const int r = byte % 4;
        std::array<int, 4> c = {q + r, q, q, q};
        bool changed = true;
        while (changed) {
            changed = false;
            for (const int x : kExcluded) {
                for (int k = 0; k < 4; k += 2) {
                    if (c[k] == x || c[k + 1] == x) {
                        ++c[k];
                        --c[k + 1];
                        changed = true;
                    }
                }
            }
        }
        for (int j = 0; j < 4; ++j)
            a[4 * j + i] = static_cast<char>(c[j]);
    }
    // The intermediate string goes out rotated right by one character.
    std::array<char, 16> out{};
    for (int k = 0; k < 16; ++k)
        out[k] = a[(k + 15) % 16];
    return out;
}

}  // namespace vexlo
