#include "io/appender.hpp"

#include <cstdint>
#include <limits>
#include <new>
#include <optional>

#include "header/header.hpp"
#include "header/value.hpp"
#include "io/file.hpp"
#include "io/posix.hpp"
#include "io/updater.hpp"
#include "util/checked.hpp"
#include "util/try.hpp"

namespace vexlo {

namespace {

// The first block that stands in while the rest of the new bytes is written: a header block
// whose first card is no XTENSION, so that nothing behind the old HDUs begins an extension,
// and whose data section is the `covered` bytes behind it, so that a reader that takes it for
// a header of some other kind reads past them.
Result<Bytes> stand_in_block(std::uint64_t covered) {
    Header h;
    VEXLO_TRY(h.add_commentary(CommentaryKind::Comment, std::string(kUnfinishedAppendNote)));
    const auto integer = [&](const char* key, std::int64_t v) -> Result<void> {
        VEXLO_TRY(h.push_card(key, Value::make_integer(v), std::nullopt));
        return {};
    };
    VEXLO_TRY(integer("BITPIX", 8));
    VEXLO_TRY(integer("NAXIS", 1));
    VEXLO_TRY(integer("NAXIS1", static_cast<std::int64_t>(covered)));
    VEXLO_TRY(integer("PCOUNT", 0));
    VEXLO_TRY(integer("GCOUNT", 1));
    return h.to_bytes();
}

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
    VEXLO_TRY(out.file.seek(out.end_offset + kBlockLen));
    return out;
}

Result<BufWriter> FitsAppender::start(std::uint64_t new_len) {
    started = true;
    // A tail left in front of the new bytes could begin like an extension; it goes whole.
    if (old_size > end_offset) VEXLO_TRY(file.truncate(end_offset));
    if (new_len > kBlockLen) {
        // A length past the largest file is refused by the truncation, which bounds the
        // stand-in's data length too.
        const std::uint64_t end =
            checked_add(end_offset, new_len).value_or(std::numeric_limits<std::uint64_t>::max());
        // The stand-in's data section exists on disk before the stand-in can reach it, and
        // the stand-in before any byte it covers.
        VEXLO_TRY(file.truncate(end));
        VEXLO_TRY(file.sync_data());
        VEXLO_ASSIGN_OR_RETURN(const Bytes stand_in, stand_in_block(new_len - kBlockLen));
        VEXLO_TRY(file.write_at(end_offset, stand_in));
        VEXLO_TRY(file.sync_data());
    }
    return BufWriter::borrowing_holding(file, kBlockLen, true);
}

Result<std::uint64_t> FitsAppender::finish(std::uint64_t hdus_written, ByteSpan first_block) {
    if (hdus_written == hdus_before) {
        // Opening changed nothing, so an appender never started has nothing to force to disk.
        if (started) {
            VEXLO_TRY(restore());
        } else {
            file.reset();
        }
        return hdus_written;
    }
    VEXLO_ASSIGN_OR_RETURN(const std::uint64_t end, file.position());
    VEXLO_TRY(file.truncate(end));
    // Everything behind the first block is on disk before that block makes it reachable.
    VEXLO_TRY(file.sync_data());
    VEXLO_TRY(file.write_at(end_offset, first_block));
    VEXLO_TRY(file.sync_data());
    file.reset();
    return hdus_written;
}

Result<void> FitsAppender::restore() {
    VEXLO_TRY(file.truncate(end_offset));
    if (!tail.empty()) VEXLO_TRY(file.write_at(end_offset, tail));
    VEXLO_TRY(file.sync_data());
    file.reset();
    return {};
}

}  // namespace vexlo
