// Writes image pixels straight into an existing FITS file with positional writes, never
// changing a header or the length of a data section: the in-place half of update mode. It
// records, per HDU, whether it is a plain image and where and how its pixels are stored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "data/pixel.hpp"
#include "data/scaling.hpp"
#include "error.hpp"
#include "io/posix.hpp"
#include "io/sink.hpp"
#include "util/bytes.hpp"

namespace vexlo {

enum class UpdaterKind : std::uint8_t { Image, TileCompressed, NotImage };

struct UpdaterHdu {
    UpdaterKind kind = UpdaterKind::NotImage;
    Scaling scaling;                  // BZERO, BSCALE and BLANK as the file holds them
    std::vector<std::uint64_t> axes;  // NAXIS1 first
    std::uint64_t data_offset = 0;
    std::uint64_t header_offset = 0;  // the header's first byte; it ends at data_offset
    Bitpix bitpix = Bitpix::U8;
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

    static Result<FitsUpdater> open(const std::string& path, bool lenient);

    // Stored values in native byte order for a section (start/shape NAXIS1 first, values in
    // FITS order); the image's pixel type must be exactly `member`.
    Result<void> write_section(std::size_t index, std::span<const std::uint64_t> start,
                               std::span<const std::uint64_t> shape, Bitpix member,
                               ByteSpan native);
    // Physical values, stored through the inverse of the image's recorded scaling.
    Result<void> write_section_physical(std::size_t index, std::span<const std::uint64_t> start,
                                        std::span<const std::uint64_t> shape,
                                        std::span<const double> values);
    // Writes the big-endian section bytes, one positional write per NAXIS1 run, after every
    // run's offset has been checked; for an HDU with checksums, notes how each run changes
    // the data's sum.
    Result<void> pwrite_section(UpdaterHdu& hdu, std::span<const std::uint64_t> start,
                                std::span<const std::uint64_t> shape, ByteSpan encoded) const;
    // The ones'-complement sum of an image record's padded data section as the file holds it.
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
    // Forces the written pixels to disk, after the same check.
    Result<void> sync() const;
};

// Checks start/shape against the axes and that `values` fills the section.
Result<void> check_section_shape(std::span<const std::uint64_t> axes,
                                 std::span<const std::uint64_t> start,
                                 std::span<const std::uint64_t> shape, std::uint64_t values);

}  // namespace vexlo
