// Adds HDUs behind the last HDU of an existing FITS file without reading its data or
// rewriting what is there: the caller writes through the positioned file, and finishing
// cuts the file off behind the new HDUs and forces it to disk.
//
// Readers stop at the first block behind the old HDUs that does not begin an extension, and
// some of them take any other bytes behind a complete HDU for a header that must end. So the
// new bytes go behind a stand-in first block: a header whose first card is no XTENSION (vexlo,
// fitsio and the like stop there) and whose data section covers the rest of the new bytes (a
// reader that goes on reads past them as data of no known kind). The file is first made long
// enough for that data and forced to disk, so the stand-in never describes bytes the disk
// lacks; it is forced before the new bytes too. The real first block goes in last, once
// everything behind it is on disk. A process killed at any moment leaves the old HDUs
// followed by zeros or by the stand-in and its data, or the whole new file; the next append
// writes over what an interrupted one left, and a rewrite in update mode drops it.
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
    std::vector<std::uint8_t> tail;  // the bytes after end_offset, kept to put back
    bool started = false;            // start() may have changed the file

    // Scans the file (leniently), refuses a gzip-compressed one, and positions the file one
    // block behind its last HDU, where the new HDUs continue after their first block. The
    // file is not changed.
    static Result<FitsAppender> open(const std::string& path);

    // Lays the file out for `new_len` bytes of new HDUs (whole blocks): cuts what followed
    // the last HDU and, when more than one block is to come, puts the stand-in first block
    // in place. Returns a buffered writer that keeps the first block written aside and
    // writes the rest from the file's position, leaving the file open; the caller flushes
    // it, hands its held() bytes to finish, and keeps this appender in place while the
    // writer lives. After a failure here the caller restores.
    Result<BufWriter> start(std::uint64_t new_len);

    // After the caller has written (and flushed) its HDUs: when any HDU was added, cuts the
    // file at the current position and forces it to disk, then writes `first_block` at
    // end_offset; forces the data to disk, closes the file and returns the HDU count. When
    // none was added, the file goes back as it was opened.
    Result<std::uint64_t> finish(std::uint64_t hdus_written, ByteSpan first_block);

    // After a failed write (a full disk, a size limit): cuts the file back at the old HDUs'
    // end, puts back the bytes that followed them and forces that to disk, so a partial HDU
    // never stays behind the old ones.
    Result<void> restore();
};

}  // namespace vexlo
