// Where an HDU's data bytes come from: bytes already held in memory, or the data section of
// one HDU of an opened file (or a range of it), read on demand.
//
// Maintainer's note: a change of how an HDU's data bytes are reached goes here. Every reader
// of a data section takes a DataSource: the image reader (hdu/image_reader), the table reader
// (hdu/table_reader), the whole-column decoders (hdu/table_columns), diff and the Python
// comparison of an array with its file. It holds borrowed bytes or names a file range, reads
// any byte range of itself into a caller's buffer with one bounds check, lends a view when the
// bytes are held, and checks a destination's size against a length in one message form. io/
// only opens, scans and reads at offsets; nothing above reads byte ranges of a data section
// or byte-swaps it by itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "error.hpp"
#include "io/file.hpp"
#include "util/bytes.hpp"

namespace vexlo {

// The bytes of one data section, or of a range of it. The file or the memory must outlive the
// source and every read made through it.
class DataSource {
  public:
    // The data section of HDU `index`; the error of an index out of range otherwise. A file
    // whose content lives in memory (a gzip file, bytes opened as a file) gives held bytes.
    static Result<DataSource> of_file(const FitsFile& file, std::size_t index);
    static DataSource of_memory(ByteSpan bytes);

    std::uint64_t size() const { return size_; }
    // The bytes when they are held in memory; none for a file.
    std::optional<ByteSpan> held() const;
    // Bytes [offset, offset + n) as a source of their own; an error past this source's end.
    Result<DataSource> slice(std::uint64_t offset, std::uint64_t n) const;
    // Every byte in memory: borrowed when held, else the file's data section read once into
    // the file's cache, which keeps it for the file's lifetime.
    Result<ByteSpan> whole() const;

    // Bytes [offset, offset + dest.size()) into `dest`.
    Result<void> read(std::uint64_t offset, std::span<std::uint8_t> dest) const;
    // Refuses a destination of `dest_len` bytes for every byte of this source: the one check
    // of a whole read into a caller's buffer, made before the buffer is allocated where it can.
    Result<void> check_destination(std::uint64_t dest_len) const;
    // Bytes [offset, offset + n) in a new buffer.
    Result<Bytes> read_bytes(std::uint64_t offset, std::uint64_t n) const;
    // Bytes [offset, offset + n) borrowed when they are held; none for a file.
    std::optional<ByteSpan> view(std::uint64_t offset, std::size_t n) const;
    // Bytes [offset, offset + n): borrowed when held, else read into `scratch`, which grows as
    // needed and is reused by the next call (the view lasts until then).
    Result<ByteSpan> block(std::uint64_t offset, std::size_t n, Bytes& scratch) const;

  private:
    // Bytes [offset, offset + dest.size()), already checked to lie in this source, into `dest`.
    Result<void> copy_in(std::uint64_t offset, std::span<std::uint8_t> dest) const;

    const FitsFile* file_ = nullptr;
    std::size_t index_ = 0;
    std::uint64_t base_ = 0;  // where this source starts in the file's data section
    ByteSpan memory_;
    std::uint64_t size_ = 0;
};

// The text "<dest> is D bytes, <source> is L" when a destination of `dest_len` bytes cannot
// take `len` bytes of a source, none when the lengths agree: the one size check of every
// reader of data into a caller's buffer (a whole section's is DataSource::check_destination).
std::optional<std::string> size_mismatch(std::string_view dest, std::uint64_t dest_len,
                                         std::string_view source, std::uint64_t len);
// The same as a data error.
Result<void> check_size(std::string_view dest, std::uint64_t dest_len, std::string_view source,
                        std::uint64_t len);

}  // namespace vexlo
