// Pixels written into an image section of a file in place: what the image is (kind, pixel
// type, axes, scaling) is read from its header in the scan, the section is planned into byte
// runs by hdu/section_plan, and the file's updater (io/updater) writes the runs it is given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "data/pixel.hpp"
#include "data/scaling.hpp"
#include "error.hpp"
#include "header/header.hpp"
#include "io/updater.hpp"
#include "util/bytes.hpp"

namespace vexlo {

// An image of the file as a patch sees it.
struct PatchTarget {
    Bitpix bitpix = Bitpix::U8;
    std::vector<std::uint64_t> axes;  // NAXIS1 first
    Scaling scaling;                  // BZERO, BSCALE and BLANK as the file holds them
};

// HDU `index` of the scan of the file an updater writes into, as a patch target, from its
// header `h` and the `data_len` bytes the scan sized for its data: a plain image whose pixels
// fill exactly that data section, since a patch must not reach beyond its own HDU.
// Error::Data "FitsUpdater: HDU {} is not an image (or out of range)" otherwise, or the one
// saying that a tile-compressed image takes no patch.
Result<PatchTarget> patch_target(const Header& h, std::size_t index, std::uint64_t data_len);

// Stored values in native byte order for a section (start/shape NAXIS1 first, values in FITS
// order) of HDU `index` of the updater's file, which `target` describes; its pixel type must
// be exactly `member`.
Result<void> write_section(FitsUpdater& up, std::size_t index, const PatchTarget& target,
                           std::span<const std::uint64_t> start,
                           std::span<const std::uint64_t> shape, Bitpix member, ByteSpan native);
// Physical values, stored through the inverse of the target's scaling.
Result<void> write_section_physical(FitsUpdater& up, std::size_t index, const PatchTarget& target,
                                    std::span<const std::uint64_t> start,
                                    std::span<const std::uint64_t> shape,
                                    std::span<const double> values);

}  // namespace vexlo
