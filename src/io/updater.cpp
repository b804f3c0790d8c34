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

bool logical_card(const Header& h, std::string_view key) {
    const std::optional<Value> v = h.get_value(key);
    return v && v->is(Value::Kind::Logical) && v->logical;
}

// The end of an image record's pixels in the file (its data offset plus its pixel bytes),
// with the overflow errors naming HDU `index`.
Result<std::uint64_t> pixels_end(const UpdaterHdu& rec, std::size_t index) {
    const std::string idx = std::to_string(index);
    std::optional<std::uint64_t> count = rec.axes.empty() ? 0 : 1;
    for (const std::uint64_t n : rec.axes)
        if (count) count = checked_mul(*count, n);
    if (!count) return fail(Error::data("HDU " + idx + " pixel count overflows u64"));
    std::optional<std::uint64_t> end = checked_mul(*count, bytes_per_pixel(rec.bitpix));
    if (end) end = checked_add(*end, rec.data_offset);
    if (!end) return fail(Error::data("HDU " + idx + " data extent overflows u64"));
    return *end;
}

// Which HDUs take pixels in place, decided from the header alone (the data is never read).
// An image's pixels must fill exactly the data section the scan sized for it: the scan
// decides where every HDU lies, and a patch must not reach beyond its own HDU.
Result<UpdaterHdu> record_for(const Header& h, const DataSpan& span, std::uint64_t header_len,
                              std::size_t index) {
    UpdaterHdu rec;
    const std::optional<std::string> xtension = h.get_str("XTENSION");
    std::string kind = xtension ? *xtension : std::string();
    while (!kind.empty() && kind.back() == ' ')
        kind.pop_back();
    const std::int64_t naxis = h.get_i64("NAXIS").value_or(0);
    const bool primary = !xtension;
    if (kind == "BINTABLE" && logical_card(h, "ZIMAGE")) {
        rec.kind = UpdaterKind::TileCompressed;
        return rec;
    }
    const bool groups =
        primary && logical_card(h, "GROUPS") && naxis >= 1 && h.get_i64("NAXIS1").value_or(-1) == 0;
    if (!(primary || kind == "IMAGE") || groups) return rec;
    VEXLO_ASSIGN_OR_RETURN(const std::int64_t bitpix, h.bitpix());
    VEXLO_ASSIGN_OR_RETURN(rec.bitpix, from_bitpix(bitpix));
    for (std::int64_t k = 1; k <= naxis && k <= 999; ++k) {
        const std::int64_t n = h.get_i64("NAXIS" + std::to_string(k)).value_or(0);
        rec.axes.push_back(n > 0 ? static_cast<std::uint64_t>(n) : 0);
    }
    rec.data_offset = span.data_offset;
    VEXLO_ASSIGN_OR_RETURN(const std::uint64_t end, pixels_end(rec, index));
    if (end - span.data_offset != span.data_len) return UpdaterHdu{};
    rec.kind = UpdaterKind::Image;
    rec.scaling = read_image_scaling(h);
    rec.header_offset = span.data_offset - header_len;
    rec.checksums = h.contains("CHECKSUM") || h.contains("DATASUM");
    return rec;
}

Error hdu_check_error(std::size_t index, const std::vector<UpdaterHdu>& hdus) {
    if (index < hdus.size() && hdus[index].kind == UpdaterKind::TileCompressed) {
        return Error::data("FitsUpdater: HDU " + std::to_string(index) +
                           " is a tile-compressed image, which takes no in-place patch: a "
                           "rewritten tile does not keep its byte length. Decompress the file "
                           "first, with `FitsFile::write_decompressed`");
    }
    return Error::data("FitsUpdater: HDU " + std::to_string(index) +
                       " is not an image (or out of range)");
}

UpdaterHdu* image_record(std::vector<UpdaterHdu>& hdus, std::size_t index) {
    if (index >= hdus.size() || hdus[index].kind != UpdaterKind::Image) return nullptr;
    return &hdus[index];
}

bool any_zero(std::span<const std::uint64_t> shape) {
    for (const std::uint64_t n : shape)
        if (n == 0) return true;
    return false;
}

// Native-order elements of `size` bytes, each written big-endian.
void to_big_endian(ByteSpan native, std::size_t size, std::uint8_t* out) {
    if constexpr (std::endian::native == std::endian::big) {
        std::memcpy(out, native.data(), native.size());
        return;
    }
    const std::size_t n = native.size() / size;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint8_t* src = native.data() + i * size;
        std::uint8_t* dst = out + i * size;
        for (std::size_t b = 0; b < size; ++b)
            dst[b] = src[size - 1 - b];
    }
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

Result<FitsUpdater> FitsUpdater::open(const std::string& path, bool lenient) {
    FitsUpdater out;
    {
        VEXLO_ASSIGN_OR_RETURN(const FitsFile scanned, FitsFile::open(path, lenient));
        out.hdus.reserve(scanned.len());
        for (std::size_t i = 0; i < scanned.len(); ++i) {
            VEXLO_ASSIGN_OR_RETURN(const Header h, scanned.header(i));
            VEXLO_ASSIGN_OR_RETURN(UpdaterHdu rec,
                                   record_for(h, scanned.spans[i], scanned.headers[i].size(), i));
            out.hdus.push_back(std::move(rec));
        }
        // A rewrite keeps only the HDUs the scan found: refuse now rather than lose what
        // lies behind them at the first flush.
        VEXLO_ASSIGN_OR_RETURN(const bool droppable, scanned.only_droppable_after_hdus());
        if (!droppable) {
            return fail(Error::data(
                "FitsUpdater: " + path + " holds bytes after its last HDU (from byte " +
                std::to_string(scanned.hdus_end()) +
                ") that are neither zeros nor blanks; a rewrite in update mode would drop them. "
                "Open it read-only and save the HDUs with writeto"));
        }
    }
    VEXLO_ASSIGN_OR_RETURN(Fd fd, open_read_write(path));
    out.path = path;
    VEXLO_TRY(refuse_gzip_file(fd.get(), path));
    VEXLO_ASSIGN_OR_RETURN(out.identity, file_identity(fd.get()));
    out.file = Sink(std::move(fd));
    VEXLO_ASSIGN_OR_RETURN(out.file_len, out.file.size());
    for (std::size_t i = 0; i < out.hdus.size(); ++i) {
        const UpdaterHdu& rec = out.hdus[i];
        if (rec.kind != UpdaterKind::Image) continue;
        // The file may have changed since the scan.
        VEXLO_ASSIGN_OR_RETURN(const std::uint64_t end, pixels_end(rec, i));
        if (end > out.file_len) {
            return fail(Error::data("FitsUpdater: HDU " + std::to_string(i) + " extends to byte " +
                                    std::to_string(end) + " but the file is only " +
                                    std::to_string(out.file_len) + " bytes long"));
        }
    }
    return out;
}

Result<void> check_section_shape(std::span<const std::uint64_t> axes,
                                 std::span<const std::uint64_t> start,
                                 std::span<const std::uint64_t> shape, std::uint64_t values) {
    VEXLO_TRY(check_section(axes, start, shape));
    if (any_zero(shape)) return {};
    std::optional<std::uint64_t> count = 1;
    for (const std::uint64_t n : shape)
        if (count) count = checked_mul(*count, n);
    if (!count) return fail(Error::data("shape product overflows u64"));
    if (*count != values) {
        return fail(Error::data("pixels.len() = " + std::to_string(values) + " but shape implies " +
                                std::to_string(*count) + " elements"));
    }
    return {};
}

Result<void> FitsUpdater::write_section(std::size_t index, std::span<const std::uint64_t> start,
                                        std::span<const std::uint64_t> shape, Bitpix member,
                                        ByteSpan native) {
    UpdaterHdu* rec = image_record(hdus, index);
    if (!rec) return fail(hdu_check_error(index, hdus));
    if (rec->bitpix != member) {
        return fail(Error::hdu_mismatch(std::string(type_name(member)),
                                        std::string(type_name(rec->bitpix))));
    }
    const std::size_t size = bytes_per_pixel(member);
    VEXLO_TRY(check_section_shape(rec->axes, start, shape, native.size() / size));
    if (any_zero(shape)) return {};
    Bytes encoded;
    try {
        encoded.resize(native.size());
    } catch (const std::bad_alloc&) {
        return fail(Error::out_of_memory());
    }
    to_big_endian(native, size, encoded.data());
    return pwrite_section(*rec, start, shape, encoded);
}

Result<void> FitsUpdater::write_section_physical(std::size_t index,
                                                 std::span<const std::uint64_t> start,
                                                 std::span<const std::uint64_t> shape,
                                                 std::span<const double> values) {
    UpdaterHdu* rec = image_record(hdus, index);
    if (!rec) return fail(hdu_check_error(index, hdus));
    VEXLO_TRY(check_section_shape(rec->axes, start, shape, values.size()));
    if (any_zero(shape)) return {};
    const std::size_t size = bytes_per_pixel(rec->bitpix);
    Bytes encoded;
    try {
        encoded.resize(values.size() * size);
    } catch (const std::bad_alloc&) {
        return fail(Error::out_of_memory());
    }
    VEXLO_TRY(stored_from_physical(rec->bitpix, rec->scaling, values, encoded));
    return pwrite_section(*rec, start, shape, encoded);
}

Result<void> FitsUpdater::pwrite_section(UpdaterHdu& hdu, std::span<const std::uint64_t> start,
                                         std::span<const std::uint64_t> shape,
                                         ByteSpan encoded) const {
    if (shape.empty() || any_zero(shape)) return {};
    const std::uint64_t b = bytes_per_pixel(hdu.bitpix);
    VEXLO_ASSIGN_OR_RETURN(const std::vector<std::uint64_t> strides, axis_strides(hdu.axes));
    const std::optional<std::uint64_t> run = checked_mul(b, shape[0]);
    if (!run) return fail(Error::data("byte range overflows u64"));
    // Every run is placed and checked before the first byte is written.
    std::vector<std::uint64_t> offsets;
    std::vector<std::uint64_t> index(shape.size(), 0);
    do {
        std::optional<std::uint64_t> e = start[0];
        for (std::size_t k = 1; k < shape.size() && e; ++k) {
            std::optional<std::uint64_t> at = checked_add(start[k], index[k]);
            if (at) at = checked_mul(*at, strides[k]);
            e = at ? checked_add(*e, *at) : std::nullopt;
        }
        if (!e) return fail(Error::data("element offset overflows u64"));
        std::optional<std::uint64_t> o = checked_mul(*e, b);
        if (o) o = checked_add(*o, hdu.data_offset);
        if (!o) return fail(Error::data("byte offset overflows u64"));
        const std::optional<std::uint64_t> end = checked_add(*o, *run);
        if (!end) return fail(Error::data("byte range overflows u64"));
        if (*end > file_len) {
            return fail(Error::data("byte range " + std::to_string(*o) + ".." +
                                    std::to_string(*end) + " exceeds file length " +
                                    std::to_string(file_len)));
        }
        offsets.push_back(*o);
    } while (next_run_index(index, shape));
    const std::optional<std::uint64_t> total = checked_mul(offsets.size(), *run);
    if (!total || *total > encoded.size()) {
        return fail(Error::data("total byte count overflows usize"));
    }
    Bytes window;
    for (std::size_t q = 0; q < offsets.size(); ++q) {
        const ByteSpan bytes = encoded.subspan(q * *run, *run);
        std::uint32_t change = 0;
        if (hdu.checksums) {
            VEXLO_ASSIGN_OR_RETURN(change,
                                   sum_change(file, file_len, hdu, offsets[q], bytes, window));
        }
        VEXLO_TRY(file.write_at(offsets[q], bytes));
        if (hdu.checksums) {
            hdu.patched_sum_change =
                ones_complement_add(hdu.patched_sum_change.value_or(0), change);
        }
    }
    return {};
}

Result<std::uint32_t> FitsUpdater::padded_data_sum(const UpdaterHdu& hdu) const {
    VEXLO_ASSIGN_OR_RETURN(const std::uint64_t end, pixels_end(hdu, 0));
    std::uint64_t len = padded_len(end - hdu.data_offset);
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

Result<void> FitsUpdater::sync() const {
    VEXLO_TRY(check_not_replaced());
    return file.sync_data();
}

}  // namespace vexlo
