// Adds HDUs behind the last HDU of an existing FITS file without reading its data or
// rewriting what is there: the caller writes through the positioned file, and finishing
// cuts the file off behind the new HDUs and forces it to disk.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "error.hpp"
#include "io/buf_writer.hpp"
#include "io/sink.hpp"

namespace vexlo {

struct FitsAppender {
    Sink file;                       // read-write, positioned at end_offset
    std::uint64_t end_offset = 0;    // where the last scanned HDU's padded data ends
    std::uint64_t hdus_before = 0;   // HDUs the scan found (at least 1)
    std::uint64_t old_size = 0;      // the file's length when opened
    std::vector<std::uint8_t> tail;  // the bytes after end_offset that new HDUs overwrite

    // Scans the file (leniently), refuses a gzip-compressed one, and positions the file
    // behind its last HDU.
    static Result<FitsAppender> open(const std::string& path);

    // A buffered writer at the file's position that leaves the file open; the caller flushes
    // it before finish or restore, and keeps this appender in place while the writer lives.
    BufWriter writer() const { return BufWriter::borrowing(file, true); }

    // After the caller has written (and flushed) its HDUs: cuts the file at the current
    // position when any HDU was added, forces the data to disk, closes the file and returns
    // the HDU count.
    Result<std::uint64_t> finish(std::uint64_t hdus_written);

    // After a failed write (a full disk, a size limit): puts back the bytes it overwrote,
    // cuts the file back to its length when opened and forces that to disk, so a partial
    // HDU never stays behind the old ones.
    Result<void> restore();
};

}  // namespace vexlo
