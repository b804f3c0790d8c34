// A thin owner of a POSIX file descriptor and the positional I/O the core uses. Reads never
// move a shared file position, so one descriptor can serve many threads at once.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <optional>
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

// Copies bytes [offset, offset + len) of `in` to `out` at its current position inside the
// kernel, retrying after signals and short copies; returns the count copied. That count is
// short of len only when the kernel or file systems cannot copy between these files (the
// caller copies the rest itself); the input ending first is an error.
Result<std::uint64_t> copy_file_range_all(int in, std::uint64_t offset, std::uint64_t len, int out);

// The descriptor's current position.
Result<std::uint64_t> file_position(int fd);
// Moves the descriptor's position to the absolute offset.
Result<void> seek_to(int fd, std::uint64_t offset);
// Sets the file's length to `size`, retrying after signals.
Result<void> truncate_file(int fd, std::uint64_t size);

// Forces the file's data (fdatasync) to disk, retrying after signals.
Result<void> sync_data(int fd);
// Asks the kernel to start writing the file's dirty pages to disk without waiting for them,
// so that a sync at the end finds little left to do. Only advice: nothing is reported, and
// only a sync makes data durable.
void start_writeback(int fd);
// Asks the file system to allocate the blocks of bytes [offset, offset + len) now, the
// file's length unchanged, so that a large write that follows does not allocate them page by
// page. Only advice: a file system that declines changes nothing.
void preallocate(int fd, std::uint64_t offset, std::uint64_t len);
// Forces the file's data and metadata (fsync) to disk, retrying after signals.
Result<void> sync_all(int fd);
// Forces the directory `dir` to disk, so that a rename into it survives a crash. A file
// system that cannot sync a directory makes the rename as durable as it allows.
Result<void> sync_directory(const std::string& dir);

// Closes the descriptor and reports a failure other than a signal (some file systems report
// a deferred write error only here). The descriptor is released either way.
Result<void> close_checked(Fd fd);

// What stands at a path: the kind of node and its permission bits.
enum class NodeKind : std::uint8_t { Regular, Directory, SymbolicLink, Other };
struct PathNode {
    NodeKind kind = NodeKind::Other;
    std::uint32_t permissions = 0;  // the mode's low twelve bits (07777)
};
// What stat finds at `path` (a symbolic link followed) or, with `follow_link` false, what
// lstat finds (the link itself): none when nothing is there (ENOENT), the system's error for
// any other failure.
Result<std::optional<PathNode>> path_node(const std::string& path, bool follow_link);
// Whether stat finds anything at `path` (a symbolic link followed); a failure of any kind
// counts as nothing there.
bool path_exists(const std::string& path);

// Sets the permission bits of an open file.
Result<void> set_permissions(int fd, std::uint32_t permissions);

// Renames `from` onto `to`, replacing whatever `to` names.
Result<void> rename_replacing(const std::string& from, const std::string& to);
// Moves `from` to `to` without ever replacing a file there, even one that appeared after a
// check: an atomic no-replace rename, or a hard link (then `from` removed) where the file
// system lacks it.
Result<void> rename_without_replacing(const std::string& from, const std::string& to);

// Whether `path` still names the file open on `fd` (the same device and inode); false when
// the path was removed or another file was renamed over it.
Result<bool> path_names_open_file(int fd, const std::string& path);

// Which file a descriptor or path refers to: its device and inode, which a rename over the
// path replaces and nothing else does.
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    auto operator<=>(const FileIdentity&) const = default;
};
// The file open on `fd` (fstat).
Result<FileIdentity> file_identity(int fd);
// The file `path` names (stat, a symbolic link followed); none when nothing is there.
Result<std::optional<FileIdentity>> path_identity(const std::string& path);

// Every byte of the file from offset 0 to its end as found by positional reads.
Result<Bytes> read_whole_file(int fd);

namespace detail {
// Sets the largest transfer one system call is asked for (0 restores the default of 1 GiB),
// so that tests make every read, write and copy loop take many steps on small files.
void set_io_chunk_limit(std::size_t bytes);
}  // namespace detail

}  // namespace vexlo
