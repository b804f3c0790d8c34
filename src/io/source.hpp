// Random access to the bytes of an opened file, whether they stay on disk (read with
// positional reads, so one descriptor serves many threads) or were decoded into memory.
// Every reader of file content goes through this one seam; it is called per read, never
// per pixel.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "error.hpp"
#include "io/posix.hpp"
#include "io/sink.hpp"
#include "util/bytes.hpp"

namespace vexlo {

class Source {
  public:
    virtual ~Source() = default;

    // The length in bytes (for a file, its length at opening).
    virtual std::uint64_t size() const = 0;

    // Fills `dest` with the bytes from `offset`; reaching the end first is an error.
    virtual Result<void> read_at(std::uint64_t offset, std::span<std::uint8_t> dest) const = 0;

    // The bytes from `offset` over scratch.size(): borrowed from memory when the source
    // holds its content there, else read into `scratch`. Valid until the next use of
    // `scratch`.
    virtual Result<ByteSpan> view_at(std::uint64_t offset, std::span<std::uint8_t> scratch) const;

    // The whole content when it lives in memory for the source's lifetime (readers may then
    // borrow it instead of copying); none for a file on disk.
    virtual std::optional<ByteSpan> contents() const { return std::nullopt; }

    // Appends bytes [offset, offset + len) to `out` at its current position, in large blocks
    // and without a round trip through user memory where the kernel can copy by itself.
    virtual Result<void> copy_to(std::uint64_t offset, std::uint64_t len, const Sink& out) const;
};

// For tests only: the bytes every file source of this process has been asked to read so far,
// so that a test can tell what a step reads from disk.
std::uint64_t file_bytes_read_for_tests();

// A read-only descriptor of a plain file.
class FileSource final : public Source {
  public:
    FileSource(Fd fd, std::uint64_t size) : fd_(std::move(fd)), size_(size) {}
    std::uint64_t size() const override { return size_; }
    Result<void> read_at(std::uint64_t offset, std::span<std::uint8_t> dest) const override;
    Result<void> copy_to(std::uint64_t offset, std::uint64_t len, const Sink& out) const override;

  private:
    Fd fd_;
    std::uint64_t size_ = 0;
};

// Content held in memory, such as a decompressed gzip file.
class MemorySource final : public Source {
  public:
    explicit MemorySource(Bytes bytes) : bytes_(std::move(bytes)) {}
    std::uint64_t size() const override { return bytes_.size(); }
    Result<void> read_at(std::uint64_t offset, std::span<std::uint8_t> dest) const override;
    Result<ByteSpan> view_at(std::uint64_t offset, std::span<std::uint8_t> scratch) const override;
    std::optional<ByteSpan> contents() const override { return ByteSpan(bytes_); }

  private:
    Result<ByteSpan> range(std::uint64_t offset, std::size_t len) const;

    Bytes bytes_;
};

}  // namespace vexlo
