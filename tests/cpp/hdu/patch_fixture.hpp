// A section patch made the way update mode makes one: the image described from a scan of the
// updater's file, then its runs written through the updater.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "hdu/image_patch.hpp"
#include "io/file.hpp"
#include "io/updater.hpp"
#include "util/try.hpp"

namespace vexlo::patch_test {

// The file at `path` opened for patching as update mode opens it: scanned, then opened with
// its HDUs placed by that scan.
inline Result<FitsUpdater> open_updater(const std::string& path) {
    VEXLO_ASSIGN_OR_RETURN(const FitsFile scan, FitsFile::open(path, true));
    return FitsUpdater::open(path, scan);
}

// HDU `index` of `scan` as a patch target. An index beyond the scan gives a target that
// describes nothing, so that the patch itself refuses the index.
inline Result<PatchTarget> target_of(const FitsFile& scan, std::size_t index) {
    if (index >= scan.len()) return PatchTarget{};
    VEXLO_ASSIGN_OR_RETURN(const Header h, scan.header(index));
    return patch_target(h, index, scan.spans[index].data_len);
}

inline Result<void> write_section(FitsUpdater& up, std::size_t index,
                                  std::span<const std::uint64_t> start,
                                  std::span<const std::uint64_t> shape, Bitpix member,
                                  ByteSpan native) {
    VEXLO_ASSIGN_OR_RETURN(const FitsFile scan, FitsFile::open(up.path, true));
    VEXLO_ASSIGN_OR_RETURN(const PatchTarget target, target_of(scan, index));
    return vexlo::write_section(up, index, target, start, shape, member, native);
}

inline Result<void> write_section_physical(FitsUpdater& up, std::size_t index,
                                           std::span<const std::uint64_t> start,
                                           std::span<const std::uint64_t> shape,
                                           std::span<const double> values) {
    VEXLO_ASSIGN_OR_RETURN(const FitsFile scan, FitsFile::open(up.path, true));
    VEXLO_ASSIGN_OR_RETURN(const PatchTarget target, target_of(scan, index));
    return vexlo::write_section_physical(up, index, target, start, shape, values);
}

}  // namespace vexlo::patch_test
