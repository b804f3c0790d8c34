#include "io/appender.hpp"

#include <unistd.h>

#include <cerrno>

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
        out.end_offset = last.data_offset + (last.data_len + 2879) / 2880 * 2880;
    }
    VEXLO_ASSIGN_OR_RETURN(out.file, open_read_write(path));
    VEXLO_TRY(refuse_gzip_file(out.file.get(), path));
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

}  // namespace vexlo
