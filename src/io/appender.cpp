#include "io/appender.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <new>

#include "header/block.hpp"
#include "io/file.hpp"
#include "io/updater.hpp"
#include "util/try.hpp"

namespace vexlo {

Result<FitsAppender> FitsAppender::open(const std::string& path) {
    FitsAppender out;
    {
        VEXLO_ASSIGN_OR_RETURN(const FitsFile scanned, FitsFile::open(path, true));
        out.hdus_before = scanned.len();
        const DataSpan& last = scanned.spans.back();
        out.end_offset = last.data_offset + padded_len(last.data_len);
    }
    VEXLO_ASSIGN_OR_RETURN(out.file, open_read_write(path));
    VEXLO_TRY(refuse_gzip_file(out.file.get(), path));
    struct stat st {};
    if (::fstat(out.file.get(), &st) != 0) return fail(Error::io_errno(errno));
    out.old_size = static_cast<std::uint64_t>(st.st_size);
    if (out.old_size > out.end_offset) {
        // Padding after the last HDU is overwritten by the first new one; keep it to put back.
        try {
            out.tail.resize(out.old_size - out.end_offset);
        } catch (const std::bad_alloc&) {
            return fail(Error::out_of_memory());
        }
        VEXLO_TRY(pread_exact(out.file.get(), out.end_offset, out.tail.data(), out.tail.size()));
    }
    if (::lseek(out.file.get(), static_cast<off_t>(out.end_offset), SEEK_SET) < 0) {
        return fail(Error::io_errno(errno));
    }
    return out;
}

Result<std::uint64_t> FitsAppender::finish(std::uint64_t hdus_written) {
    const int fd = file.get();
    if (hdus_written > hdus_before) {
        const off_t end = ::lseek(fd, 0, SEEK_CUR);
        if (end < 0) return fail(Error::io_errno(errno));
        while (::ftruncate(fd, end) != 0) {
            if (errno != EINTR) return fail(Error::io_errno(errno));
        }
    }
    while (::fdatasync(fd) != 0) {
        if (errno != EINTR) return fail(Error::io_errno(errno));
    }
    file.reset();
    return hdus_written;
}

Result<void> FitsAppender::restore() {
    const int fd = file.get();
    while (::ftruncate(fd, static_cast<off_t>(old_size)) != 0) {
        if (errno != EINTR) return fail(Error::io_errno(errno));
    }
    VEXLO_TRY(pwrite_all(fd, end_offset, tail.data(), tail.size()));
    while (::fdatasync(fd) != 0) {
        if (errno != EINTR) return fail(Error::io_errno(errno));
    }
    file.reset();
    return {};
}

}  // namespace vexlo
