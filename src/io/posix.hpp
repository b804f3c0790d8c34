// A thin owner of a POSIX file descriptor and the positional I/O the core uses. Reads never
// move a shared file position, so one descriptor can serve many threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "error.hpp"
#include "util/bytes.hpp"

namespace vexlo {

class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd(Fd&& other) noexcept : fd_(other.release()) {}
    Fd& operator=(Fd&& other) noexcept;
    ~Fd() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() noexcept;
    void reset() noexcept;

  private:
    int fd_ = -1;
};

// Opens read-only with close-on-exec.
Result<Fd> open_read(const std::string& path);
// Opens a regular file read-only with close-on-exec. Anything else (a FIFO, socket or
// device) is refused before any read, and without waiting for a FIFO's writer; a directory
// gives the system's "Is a directory".
Result<Fd> open_regular_file(const std::string& path);
// Opens for reading and writing (no creation, no truncation) with close-on-exec.
Result<Fd> open_read_write(const std::string& path);

// Creates `path` for writing (permission bits 0666 before the umask, close-on-exec):
// exclusively when `overwrite` is false, truncating an existing file when true.
Result<Fd> create_file(const std::string& path, bool overwrite);

// The file length from fstat.
Result<std::uint64_t> file_size(int fd);

// One read(2) of at most len bytes from the current position, retried only on EINTR;
// returns the count read (0 at end of file).
Result<std::size_t> read_once(int fd, std::uint8_t* buf, std::size_t len);

// The report of a read that meets the end of the content before its buffer is full.
inline constexpr const char* kPreadEofMessage =
    "pread reached EOF before filling buffer (file truncated?)";

// Fills buf[0, len) from the absolute offset, retrying after signals and short reads. EOF
// before the buffer is full is an error.
Result<void> pread_exact(int fd, std::uint64_t offset, std::uint8_t* buf, std::size_t len);

// Writes buf[0, len) at the absolute offset, retrying after signals and short writes.
Result<void> pwrite_all(int fd, std::uint64_t offset, const std::uint8_t* buf, std::size_t len);

// Writes buf[0, len) at the descriptor's current position, retrying after signals and
// short writes; returns the count written, which is less than len only with an error.
std::size_t write_some(int fd, const std::uint8_t* buf, std::size_t len, Error& error);

// Writes all of buf[0, len) at the descriptor's current position.
Result<void> write_all(int fd, const std::uint8_t* buf, std::size_t len);

// Whether `path` still names the file open on `fd` (the same device and inode); false when
// the path was removed or another file was renamed over it.
Result<bool> path_names_open_file(int fd, const std::string& path);

// Every byte of the file from offset 0 to its end as found by positional reads.
Result<Bytes> read_whole_file(int fd);

}  // namespace vexlo
