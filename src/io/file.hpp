// An opened, scanned FITS file: where every HDU's header and data lie, the source of its
// bytes (a read-only descriptor, or the decompressed content of a gzip file) and a per-HDU
// data cache filled at most once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "error.hpp"
#include "header/block.hpp"
#include "header/header.hpp"
#include "io/buf_writer.hpp"
#include "io/posix.hpp"
#include "io/source.hpp"
#include "util/bytes.hpp"
#include "util/fill_once.hpp"

namespace vexlo {

struct DataSpan {
    std::uint64_t data_offset = 0;  // absolute offset of the data section
    std::uint64_t data_len = 0;     // its unpadded length
};

// One padded data section per HDU, each cell stored at most once (first store wins) and
// afterwards read without a lock.
class DataCache {
  public:
    DataCache() = default;
    explicit DataCache(std::size_t n) : cells_(n) {}

    struct Cell {
        std::unique_ptr<std::uint8_t[]> bytes;
        std::size_t len = 0;
    };

    std::size_t size() const { return cells_.size(); }
    // The stored cell, or null while empty.
    const Cell* get(std::size_t i) const { return cells_[i].get(); }
    // Stores `cell` unless another caller stored first; returns the cell that stays.
    const Cell* store(std::size_t i, std::unique_ptr<Cell> cell) const {
        return cells_[i].fill(std::move(cell));
    }

  private:
    std::vector<FillOnce<Cell>> cells_;
};

// EXTNAME (trailing white space removed) -> indices of the HDUs carrying it, ascending.
using ExtnameIndex = std::map<std::string, std::vector<std::size_t>, std::less<>>;

struct FitsFile {
    std::vector<DataSpan> spans;
    // Each HDU's header blocks as stored, END block and its fill included: the only copy of
    // the headers kept (a file of many small HDUs costs about its header bytes), parsed
    // again on request.
    std::vector<Bytes> headers;
    DataCache data_cache;
    std::unique_ptr<const Source> source;
    ExtnameIndex extnames;
    bool lenient = true;

    // ---- opening ----
    static Result<FitsFile> open(const std::string& path, bool lenient);
    // `names`, when given, is the index the scan built from its own parse of the headers;
    // otherwise every header is parsed here for it.
    static Result<FitsFile> from_scan(std::unique_ptr<const Source> source,
                                      std::vector<DataSpan> spans, std::vector<Bytes> headers,
                                      bool lenient, std::optional<ExtnameIndex> names = {});

    std::size_t len() const { return spans.size(); }

    // ---- data access (bytes exactly as stored: big-endian, unscaled, NAXIS1 fastest) ----

    // The unpadded data section, borrowed from the record (read once into the cache for a
    // plain file). The index must be valid.
    Result<ByteSpan> data_bytes(std::size_t index) const;
    // A fresh copy of the unpadded data section; the cache is not used.
    Result<Bytes> read_data(std::size_t index) const;
    // Reads bytes [offset, offset + dest.size()) of the data section into `dest`.
    Result<void> read_data_range_into(std::size_t index, std::uint64_t offset,
                                      std::span<std::uint8_t> dest) const;
    // The HDU exactly as stored: header blocks then the padded data; nothing when index is
    // out of range.
    Result<std::optional<Bytes>> raw_hdu_bytes(std::size_t index) const;
    // The same bytes appended to `out`, the data copied in large blocks past its buffer;
    // false when index is out of range.
    Result<bool> copy_raw_hdu(std::size_t index, BufWriter& out) const;
    // Only the padded data section, appended the same way; the index must be valid.
    Result<void> copy_padded_data(std::size_t index, BufWriter& out) const;

    // The parsed header of HDU index, parsed anew from its stored blocks.
    Result<Header> header(std::size_t index) const;

    // The byte just past the last HDU's padded data section.
    std::uint64_t hdus_end() const;
    // Whether what follows the last HDU is only what a rewrite may drop: zeros and blanks
    // (fill), or the remains of an append that never finished. Anything else is content the
    // scan did not take for an HDU.
    Result<bool> only_droppable_after_hdus() const;

  private:
    // The padded data section, borrowed from memory or from the cache.
    Result<ByteSpan> padded_data(std::size_t index) const;
};

// The error for an HDU index at or beyond `len`.
Error hdu_index_error(std::size_t index, std::size_t len);
// Refuses bytes [offset, offset + n) unless they lie in a data section of `len` bytes.
Result<void> check_data_range(std::uint64_t offset, std::uint64_t n, std::uint64_t len);

// Decompresses the first member of a gzip stream (the input starts with 1F 8B); any other
// input comes back unchanged.
Result<Bytes> gunzip_if_gzip(Bytes bytes);
// gunzip_if_gzip, then zero padding to whole blocks; an empty result is an error.
Result<Bytes> gunzip_and_pad(Bytes bytes);

// The text of the COMMENT card that opens the block an unfinished append leaves in place of
// its new HDU's first block.
inline constexpr std::string_view kUnfinishedAppendNote =
    "Unfinished append, not an HDU: the next append writes over it";

// Scans a source: a plain file or a decompressed, block-padded buffer. On failure the
// source is released.
Result<FitsFile> scan_source(std::unique_ptr<const Source> source, bool lenient);
Result<FitsFile> scan_buffer(Bytes buffer, bool lenient);

Result<void> check_primary_header(const Header& header, bool lenient);
Result<void> check_extension_header(const Header& header);

}  // namespace vexlo
