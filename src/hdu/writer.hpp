// The sequential HDU writer: checks each finished HDU against its place in the stream, pads
// header and data to whole 2880-byte blocks, optionally stamps DATASUM and CHECKSUM, and
// writes through an 8192-byte buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <variant>

#include "error.hpp"
#include "header/header.hpp"
#include "io/buf_writer.hpp"
#include "util/bytes.hpp"

namespace vexlo {

// Checks that a header makes a readable HDU at its place: a primary HDU (is_primary) needs
// SIMPLE = T, an extension a string XTENSION and integral PCOUNT and GCOUNT; both need a
// valid integer BITPIX, a non-negative integer NAXIS and non-negative integer NAXISn.
Result<void> check_header_for_write(const Header& header, bool is_primary);

// 0x20 for XTENSION = 'TABLE' (ASCII tables are padded with blanks), else 0x00.
std::uint8_t data_fill_byte(const Header& header);

// The bytes write_hdu writes, unstamped, for `header` and `data_len` bytes of data: the header
// blocks and the padded data section.
std::uint64_t written_len(const Header& header, std::uint64_t data_len);

struct FitsWriter {
    // The output: owned, or a caller's buffered writer that the caller flushes itself.
    std::variant<BufWriter, BufWriter*> out;
    // HDUs written so far; while 0 the next HDU is the primary one.
    std::uint64_t hdus_written = 0;
    // Stamp DATASUM and CHECKSUM into every HDU written by write_hdu.
    bool checksums = false;

    static FitsWriter owning(BufWriter out, std::uint64_t hdus_written, bool checksums);
    static FitsWriter borrowing(BufWriter& out, std::uint64_t hdus_written, bool checksums);

    // Validates and writes one HDU: `data` is its unpadded data section in FITS byte order.
    // The header is not changed (checksums are stamped into a copy). A refused HDU leaves
    // the output and the count as they were.
    Result<void> write_hdu(const Header& header, ByteSpan data);
    // The same, stamping DATASUM and CHECKSUM when `stamp` is set, whatever `checksums` says.
    Result<void> write_hdu(const Header& header, ByteSpan data, bool stamp);

    // Validates and writes only the header of an HDU whose padded data section the caller
    // then copies itself (never stamped) and counts the HDU; returns the declared data size.
    Result<std::uint64_t> write_header_for_copy(const Header& header);

    // Writes a complete, block-aligned HDU unchanged (never stamped) and counts it.
    Result<void> write_raw_padded(ByteSpan bytes);

    // Flushes and hands back the owned output (with its buffer empty). A borrowed output is
    // flushed and stays with its owner; an empty BufWriter is returned for it.
    Result<BufWriter> finish() &&;

  private:
    BufWriter& output();
};

// One HDU to write: its header and unpadded data section, both borrowed.
struct HduView {
    const Header* header = nullptr;
    ByteSpan data;
};

// Writes `hdus` (the first one as the primary HDU) as the file at `path`, through a
// temporary sibling that is renamed over it only when every HDU is written, so a failure
// leaves no new file and an old one untouched. Nothing is forced to disk. Without `overwrite`
// an existing file is refused.
Result<void> write_fits_file(const std::string& path, bool overwrite, bool checksums,
                             std::span<const HduView> hdus);

}  // namespace vexlo
