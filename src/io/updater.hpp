// Writes image pixels straight into an existing FITS file with positional writes, never
// changing a header or the length of a data section: the in-place half of update mode. It
// records, per HDU, where its header and data lie, and writes the byte runs it is given; which
// HDU is an image, and how a section of it becomes runs, is decided a layer up
// (hdu/image_patch, hdu/section_plan).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "error.hpp"
#include "io/posix.hpp"
#include "io/sink.hpp"
#include "util/bytes.hpp"

namespace vexlo {

struct FitsFile;

// Where one HDU lies in the file, as the scan found it.
struct UpdaterHdu {
    std::uint64_t data_offset = 0;
    std::uint64_t data_len = 0;       // unpadded
    std::uint64_t header_offset = 0;  // the header's first byte; it ends at data_offset
    // The header holds CHECKSUM or DATASUM: patches then track how they change the data's sum.
    bool checksums = false;
    // The ones'-complement change of the padded data's sum by the patches written since the
    // cards were last stamped; absent while nothing was patched.
    std::optional<std::uint32_t> patched_sum_change;
};

// Refuses a file whose bytes start a gzip stream: every recorded position describes the
// decompressed content, so writing them into the compressed bytes would destroy the file.
Result<void> refuse_gzip_file(int fd, const std::string& path);

struct FitsUpdater {
    std::vector<UpdaterHdu> hdus;
    std::uint64_t file_len = 0;  // as opened or rebound: any other length is another writer's
    std::uint64_t generation = 0;
    Sink file;
    std::string path;       // as opened; a rewrite renames its new file to it
    FileIdentity identity;  // of `file`: whose writer turn its patches and syncs take

    // Opens the file at `path` for patching, its HDUs placed as `scanned`, the caller's scan
    // of that file, found them: the file object reads by the same scan, and the file is
    // scanned once.
    static Result<FitsUpdater> open(const std::string& path, const FitsFile& scanned);

    // Writes `bytes` into the data of `hdu` as runs of `run_len` bytes, run q at absolute
    // offset offsets[q], one positional write per run, after every run has been checked to lie
    // within the file as opened (Error::Data "byte range overflows u64" or "byte range {}..{}
    // exceeds file length {}" for the first that does not); for an HDU with checksums, notes
    // how each run changes the data's sum.
    Result<void> write_runs(UpdaterHdu& hdu, std::span<const std::uint64_t> offsets,
                            std::uint64_t run_len, ByteSpan bytes) const;
    // The ones'-complement sum of an HDU's padded data section as the file holds it.
    Result<std::uint32_t> padded_data_sum(const UpdaterHdu& hdu) const;
    // Takes over the file, length and records of an updater opened on the rewritten file;
    // the generation moves on by one, so every binding made before is stale.
    void rebind(FitsUpdater&& fresh);
    // One more generation (saturating).
    void bump_generation();
    // Refuses, with an error saying the edit was not saved, when another writer has put a
    // new file at the path since it was opened (writing into the old one would be lost), or
    // has changed its length: a file cut shorter would keep a hole no reader accepts, and one
    // that grew holds HDUs (an append) that the file object does not know and a rewrite
    // would drop. `file_len` is the length this updater last saw, moved only by a rebind.
    Result<void> check_not_replaced() const;
};

}  // namespace vexlo
