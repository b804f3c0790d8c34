// vexlo.ImageHdu: an image HDU whose pixels are read from the opened file on the first access
// to `data` (straight into the NumPy array when no scaling applies) and then kept in a cache
// that the HDU shares with its sections; or an image built in memory from a NumPy array, by
// the constructor or by assigning to `data`.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "data/pixel.hpp"
#include "hdu/image.hpp"
#include "hdu/owned.hpp"
#include "header/header.hpp"
#include "io/file.hpp"
#include "python/file_session.hpp"
#include "python/header.hpp"
#include "util/bytes.hpp"

namespace vexlo::py {

namespace nb = nanobind;

// The pixel array of one image HDU once it exists, shared by the HDU and its sections. The
// mutex is held only while the reference is read or swapped, never while reading the file or
// calling NumPy.
struct ArrayCache {
    std::mutex mutex;
    nb::object array;  // empty while not read
    // Set for good once `data` is assigned: the pixels in the file are no longer this image's,
    // so a section made before the assignment (which keeps its own copy of the file source)
    // neither reads them nor puts them back into the cache.
    bool source_dropped = false;
};

// A new reference to the cached array, or an empty object.
nb::object cached_array(ArrayCache& cache);
// The assignment to `data`: replaces the cached array, marks the file's pixels as dropped,
// and hands back the previous array for a caller that must release it later (outside a
// borrow of the HDU object, say).
nb::object swap_cached_array(ArrayCache& cache, nb::object array);
// Stores `array` unless another array got there first or the file's pixels were dropped
// meanwhile; returns the array that stays (empty when there is none).
nb::object store_first_array(ArrayCache& cache, nb::object array);
// True once an assignment to `data` dropped the pixels of the file.
bool source_dropped(ArrayCache& cache);

// Where a lazily read image reads its pixels: the axes when the HDU object was built (NAXIS1
// first), the opened file and the HDU's position in it.
struct PixelSource {
    std::vector<std::uint64_t> axes;
    std::shared_ptr<const FitsFile> file;
    std::size_t hdu_index = 0;
};

// Where a rewrite last wrote an image built in memory: that HDU of the new file, the bit
// pattern its array was encoded with, and the session of the file object that wrote it.
struct WrittenImage {
    PixelSource at;
    Bitpix bitpix = Bitpix::U8;
    std::uint64_t flip = 0;
    std::weak_ptr<const FileSession> by;
};

// The decoded pixels of a tile-compressed image whose values are floating point only through
// its header (user scaling or BLANK), kept so that while its array is unchanged it is written
// back with its own pixel type and scaling instead of as floats.
struct DecodedPixels {
    Bytes stored;                     // big-endian, as decoded
    Scaling scaling;                  // what the decoded header made of them
    std::vector<std::uint64_t> axes;  // NAXIS1 first
};

// Where a decoded tile-compressed image is stored: the table's position in a file and the
// cards of the image header its decoding gave. While the pixels still equal what that table
// decodes to and the cards are unchanged, the image is written as the table's stored bytes,
// so looking at a compressed image never costs the file its compression.
struct CompressedSource {
    std::shared_ptr<const FitsFile> file;
    std::size_t hdu_index = 0;
    Bytes cards;  // the decoded image header as built
};

// The state behind one vexlo.ImageHdu.
struct PyImageHdu {
    std::vector<std::uint64_t> axes;  // NAXIS1 first; empty when NAXIS = 0
    std::optional<PixelSource> pixel_source;
    std::optional<PatchBinding> binding;  // mode "update": section writes go into the file
    std::optional<WrittenImage> written;  // built in memory and written by a rewrite since
    PyHeader header;
    std::shared_ptr<ArrayCache> cache = std::make_shared<ArrayCache>();
    std::shared_ptr<FileSession> session;          // the owning file's, in mode "update" only
    std::shared_ptr<const FitsFile> tab_file;      // where -TAB lookup tables are loaded from
    std::shared_ptr<const DecodedPixels> decoded;  // a scaled tile-compressed image only
    std::optional<CompressedSource> compressed;    // a decoded tile-compressed image only
    bool read_only = false;
    // A tile-compressed image whose table carried CHECKSUM or DATASUM (its decoded header
    // has neither): it is written with fresh ones, as any HDU read with them.
    bool stored_checksums = false;
    Bitpix pixel_type = Bitpix::U8;
    // Who is using the Python object right now: a count of readers, or -1 while the `data`
    // setter holds it. Touched only with the interpreter lock held.
    int borrow = 0;

    // A lazy image over a loaded image record: its axes and pixel type, the header handle
    // and the read-only flag; the caller adds the pixel source, session and file.
    static PyImageHdu from_file_hdu(const ImageHdu& image, PyHeader header, bool read_only);

    // An in-memory image from a header (taken over) and its big-endian data section: BITPIX
    // and NAXISn from the header, the stored values unscaled, frozen when `read_only`.
    // vexlo.FitsError for an unsupported BITPIX, ValueError when the bytes do not fit.
    static PyImageHdu from_bytes(Header header, ByteSpan data, bool read_only);

    // An in-memory image from a decoded tile-compressed image: the physical values of an
    // ordinary image with the same header (the same dtype, scaling and BLANK rules as the
    // lazy read), frozen when `read_only`.
    static PyImageHdu from_decoded(ImageHdu&& image, bool read_only);

    // Calls on an image of a file opened for update are operations of that file.
    FileSession::Operation lock_operation() { return vexlo::py::lock_operation(session.get()); }
};

// A copy of `header` whose BITPIX, NAXIS and NAXISn describe `axes` and `pixel_type`
// (surplus NAXISn removed as far as they run on without a gap).
Header header_with_shape(const Header& header, std::span<const std::uint64_t> axes,
                         Bitpix pixel_type);

// The same shape cards written into the HDU's live header, under its lock; for the current
// `pixel_type`. A card that cannot be written stays as it was.
void sync_header_shape(PyImageHdu& hdu, std::span<const std::uint64_t> axes);

// The setter of ImageHdu.data: marks the owning file modified, then `None` empties the image
// (NAXIS = 0) and an array-like becomes the HDU's array (not copied), its dtype the pixel type
// and its shape the axes. Either way the HDU stops reading from the file. A refused value
// (TypeError of the coercion or of the dtype) leaves the HDU as it was. Returns the array the
// HDU held before, for the caller to release.
nb::object set_data(PyImageHdu& hdu, nb::handle value);

// The finished HDU for writing this image as the first HDU of a file (`primary`) or as an
// extension: a copy of the current header with the structural cards of the current array
// (read from the file first if need be), its unsigned/signed-byte offset cards and the copied
// cards merged in; an image without pixels becomes an empty HDU with NAXIS = 0.
OwnedHdu to_owned_hdu(PyImageHdu& hdu, bool primary);

// Whether the cached array (if any) still equals the pixels stored in the file: true without
// an array, false for an image without a file behind it; any failure gives false.
bool compare_with_source(PyImageHdu& hdu);

// After a rewrite by the file object with `session` wrote this image as HDU `index` of `file`:
// an image built in memory remembers it, so that the next flush of that file object rewrites
// only when the array has changed since; an image read from a file and written in its own
// type and shape is read from the new file from then on. A decoded tile-compressed image
// written this way is a plain image from then on.
void mark_written(PyImageHdu& hdu, std::shared_ptr<const FitsFile> file, std::size_t index,
                  const std::shared_ptr<FileSession>& session);

// Whether a flush of the file object with `session` finds this image unchanged: its array still
// equals the pixels it was read from (for a decoded tile-compressed image, what its table
// decodes to), or, for an image built in memory, what that file object's last rewrite wrote
// for it.
bool unchanged_for_flush(PyImageHdu& hdu, const FileSession& session);

// Whether a decoded tile-compressed image can be written as its table's stored bytes: neither
// its cards nor its pixels changed and `data` was never assigned. False for any other image,
// and when the comparison cannot be made.
bool compressed_unchanged(PyImageHdu& hdu);

// The header an image read from the file is written with when its stored bytes are copied
// unchanged: the current cards over the shape and kind (primary or extension) of its place;
// nothing when the image has no stored pixels to copy (no file, no axes, or an axis of 0).
std::optional<Header> stored_image_header(PyImageHdu& hdu, bool primary);

// The header an image's coordinate description is read from, by ImageHdu.wcs and FitsFile.wcs
// alike: the current cards with the shape of the image as it would be written (its array's
// shape once it has one), since an image built in memory keeps its shape in its array.
Header wcs_header(PyImageHdu& hdu);

// The pixel array, reading it on first use (direct or scaled), frozen for a read-only file
// and cached; an empty object when the image has no pixels or no source.
nb::object load_data(PyImageHdu& hdu);

// The same read for a section (over the section's copies of the fields); never marks the
// file's data as accessed. Nothing once `data` was assigned after the section was made.
struct ImageFields {
    const std::vector<std::uint64_t>& axes;
    const std::optional<PixelSource>& pixel_source;
    const PyHeader& header;
    const std::shared_ptr<ArrayCache>& cache;
    bool read_only;
    Bitpix pixel_type;
};
nb::object load_full_array(const ImageFields& fields);

// An array's shape reversed into NAXIS order.
std::vector<std::uint64_t> array_axes(nb::handle array);

// The axes in NAXIS order: the cached array's shape reversed, or the recorded axes.
std::vector<std::uint64_t> axes_from_array(ArrayCache& cache,
                                           std::span<const std::uint64_t> recorded);

// A new vexlo.ImageHdu object over `state`.
nb::object make_image_object(PyImageHdu&& state);

// The state of a vexlo.ImageHdu object, or nullptr for any other object.
PyImageHdu* image_state(nb::handle obj);

}  // namespace vexlo::py
