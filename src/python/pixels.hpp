// Stored pixels to NumPy arrays and back to pixel types: the dtype of each BITPIX and scaling,
// reading a data section straight into a new array, physical values, and read-only arrays.
//
// NumPy is imported by the first call that needs it, never when vexlo itself is imported.
// Every array made here is C-ordered, in native byte order, with the image axes reversed
// (NAXISn, ..., NAXIS1).
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "data/dispatch.hpp"
#include "data/pixel.hpp"
#include "hdu/image.hpp"
#include "hdu/image_reader.hpp"
#include "io/file.hpp"
#include "util/bytes.hpp"

namespace vexlo::py {

namespace nb = nanobind;

// The module `numpy`, imported on first use (a failed import is an internal failure whose
// message begins "Failed to access NumPy array API capsule").
nb::handle numpy_module();

// A new, uninitialised C-ordered array of the named dtype and shape, and its memory.
struct NewArray {
    nb::object array;
    std::span<std::uint8_t> bytes;
};
NewArray new_array(std::string_view dtype, std::span<const std::uint64_t> shape);

// A new, uninitialised 1-D array of `n` elements of the named dtype (elements of `itemsize`
// bytes) for an output about to be filled whole. A large one lies in a fresh mapping of its
// own, aligned for huge pages (its base is the object that owns the mapping); a small one,
// or one the kernel will not map, is new_array's.
NewArray new_output_array(std::string_view dtype, std::size_t itemsize, std::uint64_t n);

// Reads HDU `hdu_index`'s whole data section straight into a new array of the raw dtype of
// `pixel_type` (shape in NumPy order), then swaps the bytes in place: one copy of the pixels.
// A section whose length differs from the array's raises vexlo.FitsError
// "data: read_data_into: destination is {} bytes, data section is {}".
nb::object read_raw_pixels(const FitsFile& file, std::size_t hdu_index, Bitpix pixel_type,
                           std::span<const std::uint64_t> shape);

// A new array of the raw dtype filled from big-endian bytes in memory; ValueError
// "pixel buffer is {} bytes, data section is {}" when the sizes differ.
nb::object array_from_be_bytes(ByteSpan bytes, Bitpix pixel_type,
                               std::span<const std::uint64_t> shape);

// The physical values of image HDU `hdu_index`, whose header with its current shape is
// `shaped`, read from the file with no full-size scratch copy.
nb::object read_physical_pixels(const FitsFile& file, std::size_t hdu_index, const Header& shaped,
                                Bitpix pixel_type, std::span<const std::uint64_t> axes);

// The physical values of big-endian stored pixels under `scaling` (BZERO, BSCALE, BLANK), in
// an array of `shape` (NumPy order): the raw dtype without scaling, int8/uint16/uint32/uint64
// for the standard integer offsets, float32 or float64 otherwise.
nb::object physical_from_be_bytes(ByteSpan stored, Bitpix pixel_type, const Scaling& scaling,
                                  std::span<const std::uint64_t> shape);

// The pixel type an array's dtype stands for (by kind letter and item size); TypeError
// "ImageHdu: unsupported numpy dtype {}; expected one of ..." for any other dtype.
Bitpix dtype_code(nb::handle array);

// Clears the WRITEABLE and ALIGNED flags: array.setflags((), False).
void freeze_image_array(nb::handle array);

// The axes reversed into NumPy order.
std::vector<std::uint64_t> numpy_shape(std::span<const std::uint64_t> axes);

}  // namespace vexlo::py
