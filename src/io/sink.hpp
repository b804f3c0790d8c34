// The one way the core writes to a file: a descriptor it owns, with sequential and positional
// writes, syncs and changes of length. A writer that must leave the file open refers to the
// sink itself (BufWriter::borrowing), never to a copy of its descriptor number. Every retry after
// a signal or a short write happens once, in io/posix.cpp, below it. Writing changes the file,
// not the handle, so the operations are const like the reads of a Source.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "error.hpp"
#include "io/posix.hpp"
#include "util/bytes.hpp"

namespace vexlo {

class Sink {
  public:
    // No file: every operation fails with "Bad file descriptor".
    Sink() = default;
    // Owns `fd` and closes it on destruction.
    explicit Sink(Fd fd) : fd_(std::move(fd)) {}
    Sink(Sink&& other) noexcept = default;
    Sink& operator=(Sink&& other) noexcept = default;
    Sink(const Sink&) = delete;
    Sink& operator=(const Sink&) = delete;
    ~Sink() = default;

    bool valid() const { return fd_.valid(); }

    // Writes all of `bytes` at the current position.
    Result<void> write(ByteSpan bytes) const;
    // The same, returning the count written: less than bytes.size() only with `error` set, so
    // a buffered caller can keep what is left for a later attempt.
    std::size_t write_some(ByteSpan bytes, Error& error) const;
    // Writes all of `bytes` at the absolute offset; the current position does not move.
    Result<void> write_at(std::uint64_t offset, ByteSpan bytes) const;
    // Reads exactly dest.size() bytes at the absolute offset (the file is open for reading
    // too); the current position does not move.
    Result<void> read_at(std::uint64_t offset, std::span<std::uint8_t> dest) const;
    // Appends bytes [offset, offset + len) of the readable file `from` at the current position
    // inside the kernel; returns the count copied, short of len only when these files cannot
    // be copied between that way (the caller copies the rest through memory).
    Result<std::uint64_t> copy_from(const Fd& from, std::uint64_t offset, std::uint64_t len) const;

    Result<std::uint64_t> position() const;
    Result<void> seek(std::uint64_t offset) const;
    // The file's length now.
    Result<std::uint64_t> size() const;
    Result<void> truncate(std::uint64_t size) const;

    // Starts writing what is written so far to disk without waiting (advice only).
    void start_writeback() const;
    // Reserves the blocks of bytes [offset, offset + len) ahead of writing them (advice only).
    void preallocate(std::uint64_t offset, std::uint64_t len) const;
    // Forces the written data to disk (fdatasync): enough for content written in place.
    Result<void> sync_data() const;
    // Forces data and metadata to disk (fsync): needed before a new file is renamed into place.
    Result<void> sync() const;

    // Whether `path` still names this file (not removed, nothing renamed over it).
    Result<bool> named_by(const std::string& path) const;

    // Closes the file and reports what the close says.
    Result<void> close();
    // Closes the file with no report.
    void reset() noexcept;

  private:
    Fd fd_;
};

}  // namespace vexlo
