// DATASUM and CHECKSUM of whole HDUs: stamping them into serialised header blocks for the
// writer, and verifying them over every HDU of an opened file.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "error.hpp"
#include "header/header.hpp"
#include "io/file.hpp"
#include "io/updater.hpp"
#include "util/bytes.hpp"

namespace vexlo {

// Rewrites the DATASUM and CHECKSUM cards of serialised header blocks (cards, END, fill) so
// that DATASUM holds the sum of `data` (the padded data section) and the whole HDU sums to
// all ones. The first card of each keyword before END is the one rewritten, the one every
// reader of the header sees. On failure the header is unchanged and the Error says why.
Result<void> stamp_checksums(std::span<std::uint8_t> header, ByteSpan data);
// The same stamp with the data section's sum already computed (for a writer that pads the
// data on the fly instead of building the padded copy).
Result<void> stamp_checksums_with_datasum(std::span<std::uint8_t> header, std::uint32_t data_sum);

// Makes the in-place patches durable, once the file is found to be the one opened, of the
// length last seen (FitsUpdater::check_not_replaced): every patched HDU that carries CHECKSUM
// or DATASUM gets fresh values written into those cards where they stand (the header keeps its
// length), from the DATASUM it declared and the patches' change of the sum, or from a read of
// the whole data section when that cannot tell; then the file is synced. Returns the cards
// written, so that headers held in memory can show what the file now says.
struct RestampedCards {
    std::size_t index = 0;  // the HDU's position in the file
    Bytes datasum;          // the 80-byte card as written; empty when the HDU has none
    Bytes checksum;
};
Result<std::vector<RestampedCards>> sync_patches(FitsUpdater& updater);

// Puts re-stamped cards into a header of the same HDU: each replaces the first value card of
// its keyword, the one readers see; a keyword the header lacks is not added.
void take_restamped_cards(Header& header, const RestampedCards& cards);

// The sum of `data` padded with `fill` bytes to `padded` bytes (a whole number of blocks),
// without building the padded copy.
std::uint32_t padded_data_sum(ByteSpan data, std::uint8_t fill, std::uint64_t padded);

// Whether a header holds CHECKSUM or DATASUM. An HDU read with either is written with fresh
// ones whenever it is written anew: the values it was read with describe other bytes.
bool carries_checksums(const Header& header);

struct ChecksumStatus {
    std::uint64_t hdu = 0;  // index in the file, from 0
    // Absent without a usable CHECKSUM card; else whether the whole HDU sums to all ones.
    std::optional<bool> checksum_ok;
    // Absent without a usable DATASUM card; else whether it names the padded data's sum.
    std::optional<bool> datasum_ok;
};

// One row per HDU in file order. Re-parses every header in the file's mode and streams the
// data sections it needs through one 1 MiB buffer; nothing is cached and the file is not
// changed. A header that no longer parses or a failed read ends the verification.
Result<std::vector<ChecksumStatus>> verify_checksums(const FitsFile& file);

// Reads a DATASUM text as an unsigned 32-bit decimal: white space, then quotes, then white
// space are trimmed at both ends; then an optional '+' and one or more digits.
std::optional<std::uint32_t> parse_datasum_text(std::string_view text);

}  // namespace vexlo
