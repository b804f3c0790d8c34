#include "io/source.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "io/posix.hpp"
#include "util/try.hpp"

namespace vexlo {

Result<ByteSpan> Source::view_at(std::uint64_t offset, std::span<std::uint8_t> scratch) const {
    VEXLO_TRY(read_at(offset, scratch));
    return ByteSpan(scratch);
}

Result<void> Source::copy_to(std::uint64_t offset, std::uint64_t len, int fd) const {
    constexpr std::uint64_t kBlock = 1 << 20;
    Bytes block;
    try {
        block.resize(static_cast<std::size_t>(std::min(len, kBlock)));
    } catch (const std::bad_alloc&) {
        return fail(Error::out_of_memory());
    }
    while (len > 0) {
        const std::size_t n = static_cast<std::size_t>(std::min(len, kBlock));
        VEXLO_TRY(read_at(offset, std::span<std::uint8_t>(block.data(), n)));
        VEXLO_TRY(write_all(fd, block.data(), n));
        offset += n;
        len -= n;
    }
    return {};
}

Result<void> FileSource::copy_to(std::uint64_t offset, std::uint64_t len, int fd) const {
    if (offset > size_ || len > size_ - offset) return fail(Error::io(kPreadEofMessage));
    auto in_off = static_cast<loff_t>(offset);
    while (len > 0) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(len, 1 << 30));
        const ssize_t n = ::copy_file_range(fd_.get(), &in_off, fd, nullptr, want, 0);
        if (n > 0) {
            len -= static_cast<std::uint64_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n == 0) return fail(Error::io(kPreadEofMessage));
        // Kernels or file systems that cannot copy between these files: copy through memory.
        if (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP) {
            return Source::copy_to(static_cast<std::uint64_t>(in_off), len, fd);
        }
        return fail(Error::io_errno(errno));
    }
    return {};
}

Result<void> FileSource::read_at(std::uint64_t offset, std::span<std::uint8_t> dest) const {
    return pread_exact(fd_.get(), offset, dest.data(), dest.size());
}

Result<ByteSpan> MemorySource::range(std::uint64_t offset, std::size_t len) const {
    if (offset > bytes_.size() || len > bytes_.size() - offset) {
        // The same report as a positional read that meets the end of a file.
        return fail(Error::io(kPreadEofMessage));
    }
    return ByteSpan(bytes_).subspan(static_cast<std::size_t>(offset), len);
}

Result<void> MemorySource::read_at(std::uint64_t offset, std::span<std::uint8_t> dest) const {
    VEXLO_ASSIGN_OR_RETURN(const ByteSpan from, range(offset, dest.size()));
    if (!from.empty()) std::memcpy(dest.data(), from.data(), from.size());
    return {};
}

Result<ByteSpan> MemorySource::view_at(std::uint64_t offset,
                                       std::span<std::uint8_t> scratch) const {
    return range(offset, scratch.size());
}

}  // namespace vexlo
