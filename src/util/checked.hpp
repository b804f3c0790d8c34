// Overflow-checked unsigned arithmetic for sizes and offsets read from headers.
#pragma once

#include <cstdint>
#include <optional>

namespace vexlo {

inline std::optional<std::uint64_t> checked_mul(std::uint64_t a, std::uint64_t b) {
    std::uint64_t r = 0;
    if (__builtin_mul_overflow(a, b, &r)) return std::nullopt;
    return r;
}

inline std::optional<std::uint64_t> checked_add(std::uint64_t a, std::uint64_t b) {
    std::uint64_t r = 0;
    if (__builtin_add_overflow(a, b, &r)) return std::nullopt;
    return r;
}

}  // namespace vexlo
