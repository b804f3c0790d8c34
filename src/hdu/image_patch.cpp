#include "hdu/image_patch.hpp"

#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "hdu/image.hpp"
#include "hdu/load.hpp"
#include "hdu/section_plan.hpp"
#include "util/try.hpp"

namespace vexlo {

namespace {

Error not_an_image(std::size_t index) {
    return Error::data("FitsUpdater: HDU " + std::to_string(index) +
                       " is not an image (or out of range)");
}

// The updater's record of HDU `index`, which the target describes.
Result<UpdaterHdu*> record_of(FitsUpdater& up, std::size_t index) {
    if (index >= up.hdus.size()) return fail(not_an_image(index));
    return &up.hdus[index];
}

Result<Bytes> new_bytes(std::size_t n) {
    try {
        return Bytes(n);
    } catch (const std::bad_alloc&) {
        return fail(Error::out_of_memory());
    }
}

// Checks start/shape against the axes and that `values` fills the section.
Result<void> check_section_shape(std::span<const std::uint64_t> axes,
                                 std::span<const std::uint64_t> start,
                                 std::span<const std::uint64_t> shape, std::uint64_t values) {
    VEXLO_TRY(check_section(axes, start, shape));
    if (empty_section(shape)) return {};
    VEXLO_ASSIGN_OR_RETURN(const std::uint64_t count, section_pixels(shape));
    if (count != values) {
        return fail(Error::data("pixels.len() = " + std::to_string(values) + " but shape implies " +
                                std::to_string(count) + " elements"));
    }
    return {};
}

// The section's big-endian bytes into the file: every run is placed first, and the updater
// checks them all against the file before it writes any.
Result<void> write_runs_of(FitsUpdater& up, UpdaterHdu& rec, const PatchTarget& target,
                           std::span<const std::uint64_t> start,
                           std::span<const std::uint64_t> shape, ByteSpan encoded) {
    VEXLO_ASSIGN_OR_RETURN(const SectionRuns plan, plan_runs(target.axes, shape, target.bitpix));
    // Room for every run at once (the section's bytes hold that many runs), so that placing
    // them allocates nothing and cannot throw.
    std::vector<std::uint64_t> offsets;
    if (plan.run_len != 0) {
        try {
            offsets.reserve(static_cast<std::size_t>(encoded.size() / plan.run_len));
        } catch (const std::bad_alloc&) {
            return fail(Error::out_of_memory());
        }
    }
    VEXLO_TRY(for_each_run(plan, start, shape, rec.data_offset,
                           [&](std::uint64_t offset) -> Result<void> {
                               offsets.push_back(offset);
                               return {};
                           }));
    return up.write_runs(rec, offsets, plan.run_len, encoded);
}

}  // namespace

Result<PatchTarget> patch_target(const Header& h, std::size_t index, std::uint64_t data_len) {
    if (may_be_tile_compressed(h, index)) {
        return fail(Error::data("FitsUpdater: HDU " + std::to_string(index) +
                                " is a tile-compressed image, which takes no in-place patch: a "
                                "rewritten tile does not keep its byte length. Decompress the "
                                "file first, with `FitsFile::write_decompressed`"));
    }
    if (!is_image_hdu(h, index)) return fail(not_an_image(index));
    Result<ImageGeometry> geometry = image_geometry(h, data_len);
    if (!geometry) return fail(not_an_image(index));
    return PatchTarget{geometry->bitpix, std::move(geometry->axes), read_image_scaling(h)};
}

Result<void> write_section(FitsUpdater& up, std::size_t index, const PatchTarget& target,
                           std::span<const std::uint64_t> start,
                           std::span<const std::uint64_t> shape, Bitpix member, ByteSpan native) {
    VEXLO_ASSIGN_OR_RETURN(UpdaterHdu* const rec, record_of(up, index));
    if (target.bitpix != member) {
        return fail(Error::hdu_mismatch(std::string(type_name(member)),
                                        std::string(type_name(target.bitpix))));
    }
    VEXLO_TRY(
        check_section_shape(target.axes, start, shape, native.size() / bytes_per_pixel(member)));
    if (empty_section(shape)) return {};
    VEXLO_ASSIGN_OR_RETURN(Bytes encoded, new_bytes(native.size()));
    if (!native.empty()) std::memcpy(encoded.data(), native.data(), native.size());
    VEXLO_TRY(swap_be_in_place(member, encoded));
    return write_runs_of(up, *rec, target, start, shape, encoded);
}

Result<void> write_section_physical(FitsUpdater& up, std::size_t index, const PatchTarget& target,
                                    std::span<const std::uint64_t> start,
                                    std::span<const std::uint64_t> shape,
                                    std::span<const double> values) {
    VEXLO_ASSIGN_OR_RETURN(UpdaterHdu* const rec, record_of(up, index));
    VEXLO_TRY(check_section_shape(target.axes, start, shape, values.size()));
    if (empty_section(shape)) return {};
    VEXLO_ASSIGN_OR_RETURN(Bytes encoded,
                           new_bytes(values.size() * bytes_per_pixel(target.bitpix)));
    VEXLO_TRY(stored_from_physical(target.bitpix, target.scaling, values, encoded));
    return write_runs_of(up, *rec, target, start, shape, encoded);
}

}  // namespace vexlo
