// How a section of an image becomes byte runs: the one planner behind reading a section
// (hdu/image_reader) and writing one into its file in place (hdu/image_patch, through the
// positional writes of io/updater).
//
// Maintainer's note: a change of how a section lies in an image's data goes here and nowhere
// else: the checks of start/shape against the axes, the pixel count, the axis strides, the
// runs (one of shape[0] pixels per combination of indices on the other axes, NAXIS2 stepping
// fastest) and their offsets with the overflow errors. The reader reads the runs it is given
// and the updater writes them; neither walks a section itself. What a caller checks before
// walking (the reader: its data section and destination; the patch: the HDU, the pixel type
// and the value count) stays with that caller.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "data/pixel.hpp"
#include "error.hpp"
#include "util/checked.hpp"
#include "util/try.hpp"

namespace vexlo {

// Checks start/shape (NAXIS1 first) against the axes: one entry per axis, and on every axis
// start + shape neither overflowing nor beyond the axis.
Result<void> check_section(std::span<const std::uint64_t> axes,
                           std::span<const std::uint64_t> start,
                           std::span<const std::uint64_t> shape);
// Whether a section of this shape holds no pixel: a zero on some axis.
bool empty_section(std::span<const std::uint64_t> shape);
// The number of pixels of a section of this shape; Error::Data "shape product overflows u64".
Result<std::uint64_t> section_pixels(std::span<const std::uint64_t> shape);
// Element stride of each axis (1 for NAXIS1); every product is checked for overflow.
Result<std::vector<std::uint64_t>> axis_strides(std::span<const std::uint64_t> axes);
// Advances `index` to the next NAXIS1 run of a section of the given shape (axis 0 is never
// stepped); false when every run has been visited.
bool next_run_index(std::span<std::uint64_t> index, std::span<const std::uint64_t> shape);

// What walking the runs of a section needs: the strides of the image's axes and the pixel and
// run sizes in bytes.
struct SectionRuns {
    std::vector<std::uint64_t> strides;
    std::uint64_t pixel_len = 0;
    std::uint64_t run_len = 0;  // shape[0] pixels
};

// The runs of a section of `shape` in an image of `axes` and pixel type `bitpix`: errors
// "axis stride overflows u64", then "byte range overflows u64" for a run too long to address.
Result<SectionRuns> plan_runs(std::span<const std::uint64_t> axes,
                              std::span<const std::uint64_t> shape, Bitpix bitpix);

// Calls `emit(offset)`, which returns Result<void>, for each run of the section start/shape
// (checked against the axes the plan was made for) in file order, `offset` being `base` plus
// the run's byte offset in the image's data; stops at the first error, whether emit's or
// Error::Data "element offset overflows u64" or "byte offset overflows u64" for a run that
// cannot be placed. A section with a zero in its shape has no runs. Allocates once, for the
// index, not per run.
template <class Emit>
Result<void> for_each_run(const SectionRuns& plan, std::span<const std::uint64_t> start,
                          std::span<const std::uint64_t> shape, std::uint64_t base, Emit&& emit) {
    if (shape.empty() || empty_section(shape)) return {};
    std::vector<std::uint64_t> index(shape.size(), 0);
    do {
        std::optional<std::uint64_t> element = 0;
        for (std::size_t k = 0; k < shape.size() && element; ++k) {
            std::optional<std::uint64_t> term = checked_add(start[k], index[k]);
            if (term) term = checked_mul(*term, plan.strides[k]);
            element = term ? checked_add(*element, *term) : std::nullopt;
        }
        if (!element) return fail(Error::data("element offset overflows u64"));
        std::optional<std::uint64_t> offset = checked_mul(*element, plan.pixel_len);
        if (offset) offset = checked_add(*offset, base);
        if (!offset) return fail(Error::data("byte offset overflows u64"));
        VEXLO_TRY(emit(*offset));
    } while (next_run_index(index, shape));
    return {};
}

}  // namespace vexlo
