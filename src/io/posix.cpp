#include "io/posix.hpp"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <limits>
#include <new>

namespace vexlo {

namespace {

Result<Fd> open_with(const std::string& path, int flags) {
    for (;;) {
        const int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0666);
        if (fd >= 0) return Fd(fd);
        if (errno != EINTR) return fail(Error::io_errno(errno));
    }
}

// Largest single transfer: Linux moves at most about 2 GiB per call anyway. Tests lower it
// (detail::set_io_chunk_limit) to make every loop below take many steps.
constexpr std::size_t kMaxChunk = std::size_t{1} << 30;
std::atomic<std::size_t> g_chunk{kMaxChunk};

std::size_t chunk_limit() {
    return g_chunk.load(std::memory_order_relaxed);
}

}  // namespace

namespace detail {

void set_io_chunk_limit(std::size_t bytes) {
    g_chunk.store(bytes == 0 ? kMaxChunk : bytes, std::memory_order_relaxed);
}

}  // namespace detail

Fd& Fd::operator=(Fd&& other) noexcept {
    if (this != &other) {
        reset();
        fd_ = other.release();
    }
    return *this;
}

int Fd::release() noexcept {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

void Fd::reset() noexcept {
    if (fd_ >= 0) {
        // The descriptor is released whatever close reports; retrying on EINTR could close
        // a descriptor another thread has just been given.
        ::close(fd_);
        fd_ = -1;
    }
}

Result<Fd> open_read(const std::string& path) {
    return open_with(path, O_RDONLY);
}

Result<Fd> open_regular_file(const std::string& path) {
    // Non-blocking, so that opening a FIFO does not wait for a writer before it is refused.
    VEXLO_ASSIGN_OR_RETURN(Fd fd, open_with(path, O_RDONLY | O_NONBLOCK));
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return std::unexpected(Error::io_errno(errno));
    if (S_ISDIR(st.st_mode)) return std::unexpected(Error::io_errno(EISDIR));
    if (!S_ISREG(st.st_mode)) {
        const char* kind = S_ISFIFO(st.st_mode)   ? "a FIFO"
                           : S_ISSOCK(st.st_mode) ? "a socket"
                           : S_ISCHR(st.st_mode)  ? "a character device"
                           : S_ISBLK(st.st_mode)  ? "a block device"
                                                  : "not a plain file";
        return fail(Error::io("'" + path + "' is " + kind + ", not a regular file"));
    }
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
        return std::unexpected(Error::io_errno(errno));
    }
    return fd;
}

Result<Fd> open_read_write(const std::string& path) {
    return open_with(path, O_RDWR);
}

Result<Fd> create_file(const std::string& path, bool overwrite) {
    return open_with(path, O_WRONLY | O_CREAT | (overwrite ? O_TRUNC : O_EXCL));
}

Result<std::uint64_t> file_size(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return fail(Error::io_errno(errno));
    if (st.st_size < 0) return std::uint64_t{0};
    return static_cast<std::uint64_t>(st.st_size);
}

Result<std::size_t> read_once(int fd, std::uint8_t* buf, std::size_t len) {
    for (;;) {
        const ssize_t n = ::read(fd, buf, std::min(len, chunk_limit()));
        if (n >= 0) return static_cast<std::size_t>(n);
        if (errno != EINTR) return fail(Error::io_errno(errno));
    }
}

Result<void> pread_exact(int fd, std::uint64_t offset, std::uint8_t* buf, std::size_t len) {
    while (len > 0) {
        if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
            return fail(Error::io(kPreadEofMessage));
        }
        const std::size_t want = std::min(len, chunk_limit());
        const ssize_t n = ::pread(fd, buf, want, static_cast<off_t>(offset));
        if (n < 0) {
            if (errno == EINTR) continue;
            return fail(Error::io_errno(errno));
        }
        if (n == 0) {
            return fail(Error::io(kPreadEofMessage));
        }
        const auto got = static_cast<std::size_t>(n);
        buf += got;
        len -= got;
        offset += got;
    }
    return {};
}

Result<void> pwrite_all(int fd, std::uint64_t offset, const std::uint8_t* buf, std::size_t len) {
    while (len > 0) {
        if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
            return fail(Error::io_errno(EFBIG));
        }
        const std::size_t want = std::min(len, chunk_limit());
        const ssize_t n = ::pwrite(fd, buf, want, static_cast<off_t>(offset));
        if (n < 0) {
            if (errno == EINTR) continue;
            return fail(Error::io_errno(errno));
        }
        if (n == 0) return fail(Error::io("pwrite returned 0 bytes"));
        const auto put = static_cast<std::size_t>(n);
        buf += put;
        len -= put;
        offset += put;
    }
    return {};
}

std::size_t write_some(int fd, const std::uint8_t* buf, std::size_t len, Error& error) {
    if (fd < 0) {
        error = Error::io_errno(EBADF);
        return 0;
    }
    std::size_t done = 0;
    while (done < len) {
        const std::size_t want = std::min(len - done, chunk_limit());
        const ssize_t n = ::write(fd, buf + done, want);
        if (n < 0) {
            if (errno == EINTR) continue;
            error = Error::io_errno(errno);
            return done;
        }
        if (n == 0) {
            error = Error::io("failed to write whole buffer");
            return done;
        }
        done += static_cast<std::size_t>(n);
    }
    return done;
}

Result<void> write_all(int fd, const std::uint8_t* buf, std::size_t len) {
    Error error;
    if (write_some(fd, buf, len, error) < len) return fail(std::move(error));
    return {};
}

Result<std::uint64_t> copy_file_range_all(int in, std::uint64_t offset, std::uint64_t len,
                                          int out) {
    auto in_off = static_cast<loff_t>(offset);
    std::uint64_t done = 0;
    while (done < len) {
        const std::size_t want =
            static_cast<std::size_t>(std::min<std::uint64_t>(len - done, chunk_limit()));
        const ssize_t n = ::copy_file_range(in, &in_off, out, nullptr, want, 0);
        if (n > 0) {
            done += static_cast<std::uint64_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n == 0) return fail(Error::io(kPreadEofMessage));
        if (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP) {
            return done;
        }
        return fail(Error::io_errno(errno));
    }
    return done;
}

Result<std::uint64_t> file_position(int fd) {
    const off_t at = ::lseek(fd, 0, SEEK_CUR);
    if (at < 0) return fail(Error::io_errno(errno));
    return static_cast<std::uint64_t>(at);
}

Result<void> seek_to(int fd, std::uint64_t offset) {
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
        return fail(Error::io_errno(EINVAL));
    }
    if (::lseek(fd, static_cast<off_t>(offset), SEEK_SET) < 0) {
        return fail(Error::io_errno(errno));
    }
    return {};
}

Result<void> truncate_file(int fd, std::uint64_t size) {
    if (size > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
        return fail(Error::io_errno(EFBIG));
    }
    while (::ftruncate(fd, static_cast<off_t>(size)) != 0) {
        if (errno != EINTR) return fail(Error::io_errno(errno));
    }
    return {};
}

Result<void> sync_data(int fd) {
    while (::fdatasync(fd) != 0) {
        if (errno != EINTR) return fail(Error::io_errno(errno));
    }
    return {};
}

void preallocate(int fd, std::uint64_t offset, std::uint64_t len) {
#if defined(__linux__)
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()) ||
        len > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()) - offset) {
        return;
    }
    (void)::fallocate(fd, FALLOC_FL_KEEP_SIZE, static_cast<off_t>(offset), static_cast<off_t>(len));
#else
    (void)fd;
    (void)offset;
    (void)len;
#endif
}

void start_writeback(int fd) {
#if defined(__linux__)
    // Offset 0 and length 0 cover the whole file; pages already being written are skipped.
    (void)::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
#else
    (void)fd;
#endif
}

Result<void> sync_all(int fd) {
    while (::fsync(fd) != 0) {
        if (errno != EINTR) return fail(Error::io_errno(errno));
    }
    return {};
}

Result<void> sync_directory(const std::string& dir) {
    VEXLO_ASSIGN_OR_RETURN(const Fd fd, open_with(dir, O_RDONLY | O_DIRECTORY));
    while (::fsync(fd.get()) != 0) {
        // Some file systems cannot sync a directory; the rename is then as durable as they
        // allow.
        if (errno == EINVAL) return {};
        if (errno != EINTR) return fail(Error::io_errno(errno));
    }
    return {};
}

Result<void> close_checked(Fd fd) {
    // Never retried on EINTR: the descriptor is gone whatever close reports.
    if (::close(fd.release()) != 0 && errno != EINTR) return fail(Error::io_errno(errno));
    return {};
}

Result<Bytes> read_whole_file(int fd) {
    VEXLO_ASSIGN_OR_RETURN(const std::uint64_t size, file_size(fd));
    if (size > std::numeric_limits<std::size_t>::max() / 2) {
        return fail(Error::io_errno(EFBIG));
    }
    try {
        // Sized by the file's real length; the loop still follows the file should it grow
        // or shrink meanwhile.
        // One spare byte lets the read that finds the end land without a reallocation.
        Bytes out(static_cast<std::size_t>(size) + 1);
        std::size_t have = 0;
        for (;;) {
            if (have == out.size()) out.resize(out.size() + 65536);
            const std::size_t want = out.size() - have;
            const ssize_t n = ::pread(fd, out.data() + have, std::min(want, chunk_limit()),
                                      static_cast<off_t>(have));
            if (n < 0) {
                if (errno == EINTR) continue;
                return fail(Error::io_errno(errno));
            }
            if (n == 0) break;
            have += static_cast<std::size_t>(n);
        }
        out.resize(have);
        return out;
    } catch (const std::bad_alloc&) {
        return fail(Error::out_of_memory());
    }
}

Result<std::optional<PathNode>> path_node(const std::string& path, bool follow_link) {
    struct stat st {};
    const int rc = follow_link ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st);
    if (rc != 0) {
        if (errno == ENOENT) return std::nullopt;
        return fail(Error::io_errno(errno));
    }
    NodeKind kind = NodeKind::Other;
    if (S_ISREG(st.st_mode)) kind = NodeKind::Regular;
    if (S_ISDIR(st.st_mode)) kind = NodeKind::Directory;
    if (S_ISLNK(st.st_mode)) kind = NodeKind::SymbolicLink;
    return PathNode{kind, static_cast<std::uint32_t>(st.st_mode & 07777)};
}

bool path_exists(const std::string& path) {
    const Result<std::optional<PathNode>> found = path_node(path, true);
    return found && found->has_value();
}

Result<void> set_permissions(int fd, std::uint32_t permissions) {
    if (::fchmod(fd, static_cast<mode_t>(permissions)) != 0) return fail(Error::io_errno(errno));
    return {};
}

Result<void> rename_replacing(const std::string& from, const std::string& to) {
    if (::rename(from.c_str(), to.c_str()) != 0) return fail(Error::io_errno(errno));
    return {};
}

Result<void> rename_without_replacing(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
        return {};
    }
    if (errno == EINVAL || errno == ENOSYS) {
        if (::link(from.c_str(), to.c_str()) == 0) {
            ::unlink(from.c_str());
            return {};
        }
    }
    return fail(Error::io_errno(errno));
}

Result<bool> path_names_open_file(int fd, const std::string& path) {
    VEXLO_ASSIGN_OR_RETURN(const FileIdentity open_file, file_identity(fd));
    VEXLO_ASSIGN_OR_RETURN(const std::optional<FileIdentity> named, path_identity(path));
    return named == open_file;
}

namespace {
FileIdentity identity_of(const struct stat& st) {
    return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}
}  // namespace

Result<FileIdentity> file_identity(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return fail(Error::io_errno(errno));
    return identity_of(st);
}

Result<std::optional<FileIdentity>> path_identity(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) return std::optional<FileIdentity>();
        return fail(Error::io_errno(errno));
    }
    return std::optional<FileIdentity>(identity_of(st));
}

}  // namespace vexlo
