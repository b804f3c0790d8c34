// The fixed geometry of FITS content: 80-byte card images in 2880-byte blocks, every header
// and data section padded to whole blocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

namespace vexlo {

inline constexpr std::size_t kCardLen = 80;
inline constexpr std::size_t kBlockLen = 2880;
inline constexpr std::size_t kCardsPerBlock = kBlockLen / kCardLen;

// n rounded up to a multiple of 2880 (0 stays 0); 2^64 - 1 when that overflows.
constexpr std::uint64_t padded_len(std::uint64_t n) {
    const std::uint64_t rem = n % kBlockLen;
    if (rem == 0) return n;
    std::uint64_t out = 0;
    if (__builtin_add_overflow(n, kBlockLen - rem, &out)) {
        return std::numeric_limits<std::uint64_t>::max();
    }
    return out;
}

}  // namespace vexlo
