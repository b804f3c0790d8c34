// Adds HDUs behind the last HDU of an existing FITS file without reading its data or
// rewriting what is there: the caller writes through the positioned file, and finishing
// cuts the file off behind the new HDUs and forces it to disk.
//
// A reader stops at the first block behind the old HDUs that does not begin an extension, so
// the block that does (the first header block of the first new HDU) is written last, once
// everything behind it is on disk: a process killed at any moment leaves either the old file
// followed by bytes every reader passes over, or the whole new file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "error.hpp"
#include "header/block.hpp"
#include "io/buf_writer.hpp"
#include "io/sink.hpp"
#include "util/bytes.hpp"

namespace vexlo {

struct FitsAppender {
    Sink file;                       // read-write, positioned one block behind end_offset
    std::uint64_t end_offset = 0;    // where the last scanned HDU's padded data ends
    std::uint64_t hdus_before = 0;   // HDUs the scan found (at least 1)
    std::uint64_t old_size = 0;      // the file's length when opened
    std::vector<std::uint8_t> tail;  // the bytes after end_offset that new HDUs overwrite
    bool tail_blanked = false;       // the tail's opening "XTENSION" was zeroed at opening

    // Scans the file (leniently), refuses a gzip-compressed one, and positions the file one
    // block behind its last HDU, where the new HDUs continue after their first block.
    static Result<FitsAppender> open(const std::string& path);

    // A buffered writer that keeps the first block written aside and writes the rest from the
    // file's position, leaving the file open; the caller flushes it, hands its held() bytes
    // to finish, and keeps this appender in place while the writer lives.
    BufWriter writer() const { return BufWriter::borrowing_holding(file, kBlockLen, true); }

    // After the caller has written (and flushed) its HDUs: when any HDU was added, cuts the
    // file at the current position and forces it to disk, then writes `first_block` at
    // end_offset; forces the data to disk, closes the file and returns the HDU count.
    Result<std::uint64_t> finish(std::uint64_t hdus_written, ByteSpan first_block);

    // After a failed write (a full disk, a size limit): puts back the bytes it overwrote,
    // cuts the file back to its length when opened and forces that to disk, so a partial
    // HDU never stays behind the old ones.
    Result<void> restore();
};

}  // namespace vexlo
