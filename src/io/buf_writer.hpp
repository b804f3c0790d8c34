// A sequential output over a Sink with an 8192-byte buffer, the writer every new FITS byte
// goes through.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "error.hpp"
#include "io/sink.hpp"
#include "io/source.hpp"
#include "util/bytes.hpp"

namespace vexlo {

// Pieces that fit the free space are buffered; a larger piece flushes the buffer first and,
// when it is at least as large as the buffer, goes straight to the file. Move-only;
// destroying it flushes what is buffered (ignoring a failure), then closes the file when it
// owns its sink and leaves a borrowed one open.
class BufWriter {
  public:
    static constexpr std::size_t kCapacity = 8192;

    // No output: every write fails.
    BufWriter() = default;
    // Writes at the sink's current position and closes the file when done. With
    // `write_behind`, for a file that is synced once written, each large step starts its
    // writeback at once so that the final sync finds little left; without it nothing asks
    // the disk for anything.
    explicit BufWriter(Sink sink, bool write_behind = false)
        : owned_(std::move(sink)), write_behind_(write_behind) {}
    // Writes through `owner`, which keeps the file open after the writer is gone. The writer
    // refers to that very sink, so `owner` must outlive it and stay where it is; once the
    // owner has closed its file every write fails instead of reaching a file that reuses
    // the descriptor.
    static BufWriter borrowing(const Sink& owner, bool write_behind = false);
    // Like `borrowing`, but the first `hold` bytes written are kept aside instead of written,
    // and everything after them goes to the sink from its current position: the caller places
    // them itself (held()) once the rest is in the file.
    static BufWriter borrowing_holding(const Sink& owner, std::size_t hold,
                                       bool write_behind = false);
    BufWriter(BufWriter&& other) noexcept;
    BufWriter& operator=(BufWriter&& other) noexcept;
    BufWriter(const BufWriter&) = delete;
    BufWriter& operator=(const BufWriter&) = delete;
    ~BufWriter();

    // Creates `path` for writing (permission bits 0666 before the umask, close-on-exec):
    // exclusively when `overwrite` is false, truncating an existing file when true.
    static Result<BufWriter> create(const std::string& path, bool overwrite);

    Result<void> write(ByteSpan bytes);
    Result<void> flush();
    // Flushes, then appends bytes [offset, offset + len) of `source` straight to the file in
    // large blocks (inside the kernel where it can), never through the buffer.
    Result<void> copy_from(const Source& source, std::uint64_t offset, std::uint64_t len);

    // Whether there is a file to write to.
    bool has_output() const { return sink().valid(); }
    std::size_t buffered() const { return len_; }
    // The bytes kept aside so far (at most the `hold` of borrowing_holding).
    ByteSpan held() const { return held_; }

  private:
    static constexpr std::size_t kWriteBehindStep = std::size_t{8} << 20;

    Result<void> write_through(ByteSpan bytes);
    const Sink& sink() const { return borrowed_ != nullptr ? *borrowed_ : owned_; }

    Sink owned_;                      // the file, when this writer closes it
    const Sink* borrowed_ = nullptr;  // the owner's sink otherwise
    std::unique_ptr<std::uint8_t[]> buf_;
    std::size_t len_ = 0;
    bool write_behind_ = false;
    std::size_t hold_ = 0;  // how many of the first bytes written are kept aside
    Bytes held_;
};

}  // namespace vexlo
