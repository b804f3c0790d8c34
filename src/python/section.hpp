// vexlo._ImageSection: a slicing proxy over one image HDU. A region of unscaled pixels that
// were not read yet is read from the file by positional reads, one per NAXIS1 run; any other
// key, scaled pixels, or an image already in memory go through the HDU's full array.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "python/image.hpp"

namespace vexlo::py {

namespace nb = nanobind;

// The state behind a section: copies of the HDU's fields taken when `ImageHdu.section` was
// read; the header record, the array cache and the session are shared with the HDU.
struct PyImageSection {
    std::vector<std::uint64_t> axes;  // NAXIS1 first
    std::optional<PixelSource> pixel_source;
    std::optional<PatchBinding> binding;
    PyHeader header;
    std::shared_ptr<ArrayCache> cache;
    std::shared_ptr<FileSession> session;
    bool read_only = false;
    Bitpix pixel_type = Bitpix::U8;
};

// A key resolved against the image shape, per axis in NumPy order (FITS axes reversed).
struct SectionRegion {
    std::vector<std::uint64_t> starts;
    std::vector<std::uint64_t> counts;
    std::vector<bool> dropped;  // selected by an integer: NumPy removes the axis
};

// Plain integers and step-1 slices, one per leading axis; nothing when the key needs the full
// array (more items than axes, other steps, reversed bounds, Ellipsis, None, lists, arrays,
// floats, integers beyond 64 bits). Raises IndexError
// "section: axis {} index {} out of bounds (len {})" and the errors of slice.indices().
std::optional<SectionRegion> parse_section_key(nb::handle key,
                                               std::span<const std::uint64_t> shape);

// `section[key] = value` within `ops`, the operations of the section's file and of the file
// its binding writes to: a patch straight into the file through the binding, else an
// assignment into the full array that marks the file modified.
void section_assign(OperationPair& ops, PyImageSection& s, nb::handle key, nb::handle value);

// A new vexlo._ImageSection over `hdu`.
nb::object make_section_object(const PyImageHdu& hdu);

}  // namespace vexlo::py
