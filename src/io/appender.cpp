#include "io/appender.hpp"

#include <array>
#include <new>

#include "io/file.hpp"
#include "io/posix.hpp"
#include "io/updater.hpp"
#include "util/try.hpp"

namespace vexlo {

namespace {

// The keyword of a tail's first card: blanked when it says XTENSION, so that a tail too short
// for a header is not taken for a truncated extension once new bytes follow it.
constexpr std::size_t kKeywordLen = 8;

}  // namespace

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
        // Padding after the last HDU is overwritten by the new ones; keep it to put back.
        try {
            out.tail.resize(out.old_size - out.end_offset);
        } catch (const std::bad_alloc&) {
            return fail(Error::out_of_memory());
        }
        VEXLO_TRY(pread_exact(fd.get(), out.end_offset, out.tail.data(), out.tail.size()));
    }
    out.file = Sink(std::move(fd));
    // Every step that can fail comes before the blanking, the last change to the file here:
    // an error returned after it would leave the tail blanked with nobody to put it back.
    VEXLO_TRY(out.file.seek(out.end_offset + kBlockLen));
    if (starts_like_extension(out.tail)) {
        const std::array<std::uint8_t, kKeywordLen> zeros{};
        VEXLO_TRY(out.file.write_at(out.end_offset, zeros));
        out.tail_blanked = true;
    }
    return out;
}

Result<std::uint64_t> FitsAppender::finish(std::uint64_t hdus_written, ByteSpan first_block) {
    if (hdus_written > hdus_before) {
        VEXLO_ASSIGN_OR_RETURN(const std::uint64_t end, file.position());
        VEXLO_TRY(file.truncate(end));
        // Everything behind the first block is on disk before that block makes it reachable.
        VEXLO_TRY(file.sync_data());
        VEXLO_TRY(file.write_at(end_offset, first_block));
    } else if (tail_blanked) {
        VEXLO_TRY(file.write_at(end_offset, ByteSpan(tail).first(kKeywordLen)));
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
