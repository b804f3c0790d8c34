#include "data/checksum.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstring>

#include "data/pixel.hpp"
#include "error.hpp"
#include "util/parallel.hpp"

namespace vexlo {

namespace {

// Sums of the bytes at each position modulo 4 of the first `words` 32-bit words. The high
// half of every big-endian word is 256 * byte0 + byte1 and the low half 256 * byte2 + byte3,
// so these four sums give both half-word sums exactly.
struct LaneSums {
    std::uint64_t s[4] = {0, 0, 0, 0};
};

// Eight bytes at a time, each byte added into a 16-bit lane of a 64-bit word; a lane holds
// 256 additions of 255 before it could overflow, so the lanes are emptied every 256 words.
// Plain integer code that compilers turn into vector adds on every target.
LaneSums lane_sums(const std::uint8_t* p, std::size_t words) {
    constexpr std::uint64_t kLow = 0x00FF00FF00FF00FFull;
    constexpr std::size_t kBlock = 256;
    LaneSums out;
    const std::size_t pairs = words / 2;
    for (std::size_t done = 0; done < pairs;) {
        const std::size_t n = std::min(kBlock, pairs - done);
        std::uint64_t even = 0;
        std::uint64_t odd = 0;
        for (std::size_t i = 0; i < n; ++i) {
            std::uint64_t x = 0;
            std::memcpy(&x, p + 8 * (done + i), 8);
            even += x & kLow;
            odd += (x >> 8) & kLow;
        }
        // Little-endian lanes: even holds bytes 0, 2, 4, 6 and odd bytes 1, 3, 5, 7.
        out.s[0] += (even & 0xFFFF) + ((even >> 32) & 0xFFFF);
        out.s[2] += ((even >> 16) & 0xFFFF) + (even >> 48);
        out.s[1] += (odd & 0xFFFF) + ((odd >> 32) & 0xFFFF);
        out.s[3] += ((odd >> 16) & 0xFFFF) + (odd >> 48);
        done += n;
    }
    if (words % 2 != 0) {
        const std::uint8_t* last = p + 4 * (words - 1);
        for (int k = 0; k < 4; ++k)
            out.s[k] += last[k];
    }
    return out;
}

// The sum of the first `words` whole words at `p`, on the calling thread.
std::uint32_t sum_words(const std::uint8_t* p, std::size_t words) {
    // 64-bit accumulators cannot overflow for any buffer that fits in memory, so the carries
    // are folded once at the end.
    std::uint64_t hi = 0;
    std::uint64_t lo = 0;
    if constexpr (std::endian::native == std::endian::little) {
        const LaneSums l = lane_sums(p, words);
        hi = 256 * l.s[0] + l.s[1];
        lo = 256 * l.s[2] + l.s[3];
    } else {
        for (std::size_t i = 0; i < words; ++i) {
            const std::uint32_t w = load_be_u32(p + 4 * i);
            hi += w >> 16;
            lo += w & 0xFFFFu;
        }
    }
    while (hi > 0xFFFF || lo > 0xFFFF) {
        const std::uint64_t new_hi = (hi & 0xFFFF) + (lo >> 16);
        const std::uint64_t new_lo = (lo & 0xFFFF) + (hi >> 16);
        hi = new_hi;
        lo = new_lo;
    }
    return static_cast<std::uint32_t>((hi << 16) | lo);
}

}  // namespace

std::uint32_t ones_complement_sum(ByteSpan bytes) {
    // Below this many bytes per part a thread does not repay its start.
    constexpr std::size_t kMinBytesPerPart = std::size_t{8} << 20;
    const std::size_t words = bytes.size() / 4;
    const std::size_t parts = parts_for(bytes.size(), kMinBytesPerPart);
    if (parts <= 1) return sum_words(bytes.data(), words);
    // The sum is the same in any grouping and order (zero stays zero only when every word
    // is), so the parts fold their sums into one as they finish.
    std::atomic<std::uint32_t> total{0};
    const Result<void> done = run_ranges(
        parts, words, [&](std::size_t, std::uint64_t first, std::uint64_t count) -> Result<void> {
            const std::uint32_t part =
                sum_words(bytes.data() + 4 * first, static_cast<std::size_t>(count));
            std::uint32_t seen = total.load();
            while (!total.compare_exchange_weak(seen, ones_complement_add(seen, part))) {
            }
            return {};
        });
    // A part cannot fail; were one to, the sum is taken again on this thread.
    if (!done) return sum_words(bytes.data(), words);
    return total.load();
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
