// The one image reader: stored image pixels to host values, for an image still in its file
// and for one already in memory alike.
//
// Maintainer's note: a change of how image pixels are read or scaled goes here. This file
// owns BITPIX, the choice of physical form (stored, standard offset, single or double
// precision), BZERO/BSCALE/BLANK, reading sections and the split of large reads over the
// cores; the per-element arithmetic it applies is data/scaling and data/pixel, and how a
// section becomes byte runs is hdu/section_plan. It reaches the stored bytes through
// hdu/data_source (held bytes or a file's data section alike), and hdu/image and the Python
// bindings call the functions below instead of decoding pixels themselves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "data/pixel.hpp"
#include "data/scaling.hpp"
#include "error.hpp"
#include "hdu/data_source.hpp"
#include "util/bytes.hpp"

namespace vexlo {

// The element size of physical values of pixel type `bitpix` held in `form`.
std::uint64_t physical_width(Bitpix bitpix, PhysicalForm form);

// All pixels of `src` (pixel type `bitpix`) into `dest` as values in `form` under `scaling`:
// host-order stored values, the values under the type's standard offset, or physical values
// in single or double precision. `dest` holds exactly one element per pixel. A large image is
// read and converted chunk by chunk over the cores, each chunk converted while it is still in
// cache.
Result<void> read_image_into(const DataSource& src, Bitpix bitpix, const Scaling& scaling,
                             PhysicalForm form, std::span<std::uint8_t> dest);

// Host-order stored values (or with `offset_form` the values under the standard offset) of
// all pixels into `dest`, whose length must equal the section's.
Result<void> read_pixels_into(const DataSource& src, Bitpix bitpix, bool offset_form,
                              std::span<std::uint8_t> dest);
// Physical values under `scaling` of all pixels into `dest`, one element per pixel.
Result<void> read_physical_into(const DataSource& src, Bitpix bitpix, const Scaling& scaling,
                                std::span<float> dest);
Result<void> read_physical_into(const DataSource& src, Bitpix bitpix, const Scaling& scaling,
                                std::span<double> dest);

// ---- sections ----

// The byte length of the stored n-dimensional section start/shape (NAXIS1 first) of an image
// with the given axes and pixel type, once it is checked against the axes and the data
// section, so that a caller can refuse a bad read before allocating its destination.
Result<std::uint64_t> section_len(const DataSource& src, std::span<const std::uint64_t> axes,
                                  std::span<const std::uint64_t> start,
                                  std::span<const std::uint64_t> shape, Bitpix bitpix);
// The stored (big-endian) bytes of that section into `dest`, whose length must equal the
// section's; one read per NAXIS1 run.
Result<void> read_section_into(const DataSource& src, std::span<const std::uint64_t> axes,
                               std::span<const std::uint64_t> start,
                               std::span<const std::uint64_t> shape, Bitpix bitpix,
                               std::span<std::uint8_t> dest);
// The same bytes in a new buffer.
Result<Bytes> read_section_bytes(const DataSource& src, std::span<const std::uint64_t> axes,
                                 std::span<const std::uint64_t> start,
                                 std::span<const std::uint64_t> shape, Bitpix bitpix);
// The section's values in `form` under `scaling` into `dest` (one element per pixel of the
// section), each exactly as a read of the whole image gives it.
Result<void> read_section_values_into(const DataSource& src, std::span<const std::uint64_t> axes,
                                      std::span<const std::uint64_t> start,
                                      std::span<const std::uint64_t> shape, Bitpix bitpix,
                                      const Scaling& scaling, PhysicalForm form,
                                      std::span<std::uint8_t> dest);

}  // namespace vexlo
