// The 32-bit ones'-complement sums of the checksum convention and the sixteen-character
// text that encodes one: plain byte arithmetic, with no notion of cards or HDUs.
#pragma once

#include <array>
#include <cstdint>

#include "util/bytes.hpp"

namespace vexlo {

// The ones'-complement sum of the bytes read as consecutive big-endian 32-bit words; bytes
// after the last whole word are not summed. An empty sequence sums to 0.
std::uint32_t ones_complement_sum(ByteSpan bytes);

// a + b with the carry out of bit 31 added back once.
constexpr std::uint32_t ones_complement_add(std::uint32_t a, std::uint32_t b) {
    const std::uint64_t s = std::uint64_t{a} + b;
    return static_cast<std::uint32_t>(s + (s >> 32));
}

// The sixteen ASCII characters (digits and letters only) that encode a 32-bit value.
std::array<char, 16> encode_checksum(std::uint32_t value);

}  // namespace vexlo
