#include "io/updater.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

#include "data/checksum.hpp"
#include "header/block.hpp"
#include "header/header.hpp"
#include "io/file.hpp"
#include "io/gzip.hpp"
#include "util/checked.hpp"
#include "util/try.hpp"

namespace vexlo {
namespace {

// Where an HDU of the scan lies. Its header says whether patches must track the data's
// sum; the data itself is never read.
UpdaterHdu record_for(const Header& h, const DataSpan& span, std::uint64_t header_len) {
    UpdaterHdu rec;
    rec.data_offset = span.data_offset;
    rec.data_len = span.data_len;
    rec.header_offset = span.data_offset - header_len;
    rec.checksums = h.contains("CHECKSUM") || h.contains("DATASUM");
    return rec;
}

// Whether `len` bytes at absolute `offset` lie within a file of `file_len` bytes.
Result<void> check_run(std::uint64_t file_len, std::uint64_t offset, std::uint64_t len) {
    const std::optional<std::uint64_t> end = checked_add(offset, len);
    if (!end) return fail(Error::data("byte range overflows u64"));
    if (*end > file_len) {
        return fail(Error::data("byte range " + std::to_string(offset) + ".." +
                                std::to_string(*end) + " exceeds file length " +
                                std::to_string(file_len)));
    }
    return {};
}

constexpr std::size_t kSumChunk = std::size_t{1} << 20;

// How writing `run` at absolute `offset` changes the ones'-complement sum of the data section:
// the words it touches (counted from the section's start, which lies on a block) summed as
// they are and as they will be. A word cut by the end of the file counts as zero-filled, the
// same before and after. `window` is scratch reused across runs.
Result<std::uint32_t> sum_change(const Sink& file, std::uint64_t file_len, const UpdaterHdu& hdu,
                                 std::uint64_t offset, ByteSpan run, Bytes& window) {
    const std::uint64_t first = hdu.data_offset + ((offset - hdu.data_offset) & ~std::uint64_t{3});
    const std::uint64_t end = offset + run.size();
    const std::uint64_t last = hdu.data_offset + ((end - hdu.data_offset + 3) & ~std::uint64_t{3});
    try {
        window.assign(static_cast<std::size_t>(last - first), 0);
    } catch (const std::bad_alloc&) {
        return fail(Error::out_of_memory());
    }
    const std::uint64_t readable = std::min(last, file_len) - first;
    VEXLO_TRY(file.read_at(first, std::span(window.data(), static_cast<std::size_t>(readable))));
    const std::uint32_t before = ones_complement_sum(window);
    std::memcpy(window.data() + (offset - first), run.data(), run.size());
    return ones_complement_add(ones_complement_sum(window), ~before);
}

}  // namespace

Result<void> refuse_gzip_file(int fd, const std::string& path) {
    VEXLO_ASSIGN_OR_RETURN(const std::uint64_t size, file_size(fd));
    std::uint8_t magic[2] = {0, 0};
    if (size < 2) return {};
    VEXLO_TRY(pread_exact(fd, 0, magic, 2));
    if (!is_gzip(ByteSpan(magic, 2))) return {};
    return fail(Error::data(path + " is gzip-compressed: its HDUs cannot be changed in place; "
                                   "decompress it first, or save a copy with writeto"));
}

Result<FitsUpdater> FitsUpdater::open(const std::string& path, const FitsFile& scanned) {
    FitsUpdater out;
    out.hdus.reserve(scanned.len());
    for (std::size_t i = 0; i < scanned.len(); ++i) {
        VEXLO_ASSIGN_OR_RETURN(const Header h, scanned.header(i));
        out.hdus.push_back(record_for(h, scanned.spans[i], scanned.headers[i].size()));
    }
    // A rewrite keeps only the HDUs the scan found: refuse now rather than lose what lies
    // behind them at the first flush.
    VEXLO_ASSIGN_OR_RETURN(const bool droppable, scanned.only_droppable_after_hdus());
    if (!droppable) {
        return fail(Error::data(
            "FitsUpdater: " + path + " holds bytes after its last HDU (from byte " +
            std::to_string(scanned.hdus_end()) +
            ") that are neither zeros nor blanks; a rewrite in update mode would drop them. "
            "Open it read-only and save the HDUs with writeto"));
    }
    VEXLO_ASSIGN_OR_RETURN(Fd fd, open_read_write(path));
    out.path = path;
    VEXLO_TRY(refuse_gzip_file(fd.get(), path));
    VEXLO_ASSIGN_OR_RETURN(out.identity, file_identity(fd.get()));
    out.file = Sink(std::move(fd));
    VEXLO_ASSIGN_OR_RETURN(out.file_len, out.file.size());
    for (std::size_t i = 0; i < out.hdus.size(); ++i) {
        // The file may have changed since the scan, which placed every data section inside it.
        const std::uint64_t end = out.hdus[i].data_offset + out.hdus[i].data_len;
        if (end > out.file_len) {
            return fail(Error::data("FitsUpdater: HDU " + std::to_string(i) + " extends to byte " +
                                    std::to_string(end) + " but the file is only " +
                                    std::to_string(out.file_len) + " bytes long"));
        }
    }
    return out;
}

Result<void> FitsUpdater::write_runs(UpdaterHdu& hdu, std::span<const std::uint64_t> offsets,
                                     std::uint64_t run_len, ByteSpan bytes) const {
    // Every run is checked before the first byte is written.
    for (const std::uint64_t offset : offsets)
        VEXLO_TRY(check_run(file_len, offset, run_len));
    const std::optional<std::uint64_t> total = checked_mul(offsets.size(), run_len);
    if (!total || *total > bytes.size()) {
        return fail(Error::data("total byte count overflows usize"));
    }
    const auto run = static_cast<std::size_t>(run_len);
    Bytes window;
    for (std::size_t q = 0; q < offsets.size(); ++q) {
        const ByteSpan part = bytes.subspan(q * run, run);
        std::uint32_t change = 0;
        if (hdu.checksums) {
            VEXLO_ASSIGN_OR_RETURN(change,
                                   sum_change(file, file_len, hdu, offsets[q], part, window));
        }
        VEXLO_TRY(file.write_at(offsets[q], part));
        if (hdu.checksums) {
            hdu.patched_sum_change =
                ones_complement_add(hdu.patched_sum_change.value_or(0), change);
        }
    }
    return {};
}

Result<std::uint32_t> FitsUpdater::padded_data_sum(const UpdaterHdu& hdu) const {
    std::uint64_t len = padded_len(hdu.data_len);
    std::uint64_t at = hdu.data_offset;
    Bytes chunk;
    std::uint32_t sum = 0;
    while (len > 0) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(len, kSumChunk));
        try {
            chunk.assign(n, 0);
        } catch (const std::bad_alloc&) {
            return fail(Error::out_of_memory());
        }
        // Fill missing at the end of a file counts as zeros, as in sum_change.
        const std::uint64_t readable =
            at < file_len ? std::min<std::uint64_t>(n, file_len - at) : 0;
        VEXLO_TRY(file.read_at(at, std::span(chunk.data(), static_cast<std::size_t>(readable))));
        sum = ones_complement_add(sum, ones_complement_sum(chunk));
        at += n;
        len -= n;
    }
    return sum;
}

void FitsUpdater::rebind(FitsUpdater&& fresh) {
    file = std::move(fresh.file);
    file_len = fresh.file_len;
    identity = fresh.identity;
    hdus = std::move(fresh.hdus);
    bump_generation();
}

void FitsUpdater::bump_generation() {
    if (generation != std::numeric_limits<std::uint64_t>::max()) ++generation;
}

Result<void> FitsUpdater::check_not_replaced() const {
    const std::string not_saved =
        "; this edit was not saved to it (writeto can still save it elsewhere)";
    VEXLO_ASSIGN_OR_RETURN(const bool same, file.named_by(path));
    if (!same) {
        return fail(
            Error::io(path + " was replaced by another writer since it was opened" + not_saved));
    }
    VEXLO_ASSIGN_OR_RETURN(const std::uint64_t now, file.size());
    if (now == file_len) return {};
    return fail(Error::io(path + " was changed by another writer since it was opened (it is " +
                          std::to_string(now) + " bytes long, not " + std::to_string(file_len) +
                          ")" + not_saved));
}

}  // namespace vexlo
