// The builder objects of the Python layer: vexlo.ImageBuilder, vexlo.BinTableBuilder and
// vexlo.AsciiTableBuilder each hold one finished HDU (header and unpadded big-endian data),
// never change, and are written by copying. Also the image encoding that image(), the image
// HDU class and compressed_image() share: NumPy dtype to FITS pixel type, the BZERO
// convention of the unsigned and signed-byte dtypes, and the merge of user cards into the
// computed header.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "data/pixel.hpp"
#include "data/strided.hpp"
#include "hdu/builders.hpp"
#include "hdu/owned.hpp"
#include "header/header.hpp"

namespace vexlo::py {

namespace nb = nanobind;

// A finished image HDU whose pixels were encoded straight into a buffer of their own.
struct EncodedHdu {
    Header header;
    EncodedBytes data;
};

struct PyImageBuilder {
    EncodedHdu hdu;
};
struct PyBinTableBuilder {
    OwnedHdu hdu;
};
struct PyAsciiTableBuilder {
    OwnedHdu hdu;
};

// New builder objects over a finished HDU (taken over).
nb::object make_image_builder(EncodedHdu&& hdu);
nb::object make_bintable_builder(OwnedHdu&& hdu);
nb::object make_ascii_table_builder(OwnedHdu&& hdu);

enum class BuilderKind : std::uint8_t { Image, BinTable, AsciiTable };

// The finished HDU a builder object holds, header and unpadded data; both live as long as the
// object and never change.
struct BuilderRef {
    BuilderKind kind = BuilderKind::Image;
    const Header* header = nullptr;
    ByteSpan data;
};
// The builder behind `obj` (tested as ImageBuilder, then BinTableBuilder, then
// AsciiTableBuilder); none for any other object.
std::optional<BuilderRef> builder_of(nb::handle obj);

// ---- image encoding ----

// How one NumPy dtype is stored: the pixel type, the mask XOR-ed into every element's bits
// (the offset of the unsigned and signed-byte conventions) and the BZERO that undoes it.
struct PixelEncoding {
    Bitpix bitpix = Bitpix::U8;
    std::uint64_t flip = 0;
    std::optional<double> offset;
};

// The encoding of a native-order array's dtype: bool, int8, uint8, int16, uint16, int32,
// uint32, int64, uint64, float32 or float64; none for any other dtype.
std::optional<PixelEncoding> pixel_encoding(nb::handle array);

// The pixels of a native-order array of a supported dtype in C order (last NumPy axis
// fastest, whatever the strides), encoded big-endian straight into one buffer.
EncodedBytes encode_pixels(nb::handle array, const PixelEncoding& encoding);

// The finished image HDU of an array: coerce_array with the context "image", the dtype's
// encoding (TypeError "image: unsupported numpy dtype (expected
// bool/int8/uint8/int16/uint16/int32/uint32/int64/uint64/float32/float64)" otherwise), the
// mandatory cards of a primary HDU or an IMAGE extension with the array's shape reversed as
// NAXIS1..n, and `user` merged in (see merge_user_header). Offset dtypes always carry their own
// BZERO and BSCALE = 1 in place of the user's; float images drop the user's BZERO, BSCALE and
// BLANK. A zero-dimensional array is refused with vexlo.FitsError (an image without axes holds
// no data).
OwnedHdu encode_image_array(nb::handle data, bool primary, Header user);

// The user cards given for an image: none for a null handle (a `header` argument omitted or
// None), otherwise a vexlo.Header or a mapping converted with header_from_py.
Header image_user_header(nb::handle header);
// ValueError when the user cards hold one of another kind of HDU (see
// image_user_header_refusal): an image carrying it would be invalid.
void refuse_other_kind_cards(const Header& user);

// The HDU of image(): `header` (null, or a vexlo.Header or a mapping) converted and checked
// first, then the array encoded as encode_image_array encodes it, into a buffer of its own.
EncodedHdu build_image_hdu(nb::handle data, nb::handle header, bool primary);

// ---- shared by the table encoders ----

// The UTF-8 bytes of a str; lone surrogates are kept as their surrogate-escaped bytes (so
// the ASCII check reports them) instead of failing. TypeError
// "'{type}' object is not an instance of 'str'" for another object.
std::string str_bytes(nb::handle obj);

// An ordinary error raised while a column rule inspects a value means the rule does not
// apply: it is cleared. Anything else (an interrupt, an exit request) is raised.
void drop_ordinary_error();

// The length of a sequence that is not a str (Python sequence protocol); none for a str, a
// non-sequence, or a length that cannot be read.
std::optional<std::size_t> sequence_length(nb::handle obj);

// Item i of a sequence; an empty object when it cannot be read.
nb::object sequence_item(nb::handle seq, std::size_t i);

// A dict argument (subclasses too): the conversion TypeError
// "'{type}' object is not an instance of 'dict'" ("'None' is not ..." for the required
// form) otherwise.
nb::dict dict_argument(nb::handle obj);
nb::dict optional_dict_argument(nb::handle obj);

// options.get(key) as text: none when the dict is absent or gives None; the conversion
// TypeError "'{type}' object is not an instance of 'str'" for another value.
std::optional<std::string> option_text(const std::optional<nb::dict>& options, nb::handle key);

}  // namespace vexlo::py
