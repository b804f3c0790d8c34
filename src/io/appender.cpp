#include "io/appender.hpp"

#include <new>

#include "header/block.hpp"
#include "io/file.hpp"
#include "io/posix.hpp"
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
    VEXLO_ASSIGN_OR_RETURN(Fd fd, open_read_write(path));
    VEXLO_TRY(refuse_gzip_file(fd.get(), path));
    VEXLO_ASSIGN_OR_RETURN(out.old_size, file_size(fd.get()));
    if (out.old_size > out.end_offset) {
        // Padding after the last HDU is overwritten by the first new one; keep it to put back.
        try {
            out.tail.resize(out.old_size - out.end_offset);
        } catch (const std::bad_alloc&) {
            return fail(Error::out_of_memory());
        }
        VEXLO_TRY(pread_exact(fd.get(), out.end_offset, out.tail.data(), out.tail.size()));
    }
    out.file = Sink(std::move(fd));
    VEXLO_TRY(out.file.seek(out.end_offset));
    return out;
}

Result<std::uint64_t> FitsAppender::finish(std::uint64_t hdus_written) {
    if (hdus_written > hdus_before) {
        VEXLO_ASSIGN_OR_RETURN(const std::uint64_t end, file.position());
        VEXLO_TRY(file.truncate(end));
    }
    VEXLO_TRY(file.sync_data());
    file.reset();
    return hdus_written;
}

Result<void> FitsAppender::restore() {
    VEXLO_TRY(file.truncate(old_size));
    VEXLO_TRY(file.write_at(end_offset, tail));
    VEXLO_TRY(file.sync_data());
    file.reset();
    return {};
}

}  // namespace vexlo
