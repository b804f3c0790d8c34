// Verification of the CHECKSUM and DATASUM cards of every HDU of an opened file against the
// bytes as stored.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "error.hpp"
#include "io/file.hpp"

namespace vexlo {

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
