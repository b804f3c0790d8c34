// The 32-bit ones'-complement checksums of the FITS checksum convention and the stamping of
// DATASUM and CHECKSUM into a serialised HDU.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <span>
#include <string_view>

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

// Rewrites the DATASUM and CHECKSUM cards of serialised header blocks (cards, END, fill) so
// that DATASUM holds the sum of `data` (the padded data section) and the whole HDU sums to
// all ones. The first card of each keyword before END is the one rewritten, the one every
// reader of the header sees. On failure the header is unchanged and the message says why.
std::expected<void, std::string_view> stamp_checksums(std::span<std::uint8_t> header,
                                                      ByteSpan data);
// The same stamp with the data section's sum already computed (for a writer that pads the
// data on the fly instead of building the padded copy).
std::expected<void, std::string_view> stamp_checksums_with_datasum(std::span<std::uint8_t> header,
                                                                   std::uint32_t data_sum);

}  // namespace vexlo
