// An image HDU (primary array or IMAGE extension): header, unpadded big-endian pixels and
// their geometry, checked on construction; typed and physical decoding of its pixels.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "data/buffer.hpp"
#include "data/pixel.hpp"
#include "data/scaling.hpp"
#include "error.hpp"
#include "hdu/owned.hpp"
#include "header/header.hpp"
#include "util/bytes.hpp"

namespace vexlo {

// The product of the axis lengths; 0 for no axes. Error::Data "axis product overflows u64".
Result<std::uint64_t> axis_product(std::span<const std::uint64_t> axes);

// Host-form pixels in FITS order (NAXIS1 fastest) with their axes, NAXIS1 first.
template <class T>
struct ImageArray {
    std::vector<T> data;
    std::vector<std::uint64_t> axes;

    // Pairs pixels with axes after checking that their sizes agree.
    static Result<ImageArray> create(std::vector<T> data, std::vector<std::uint64_t> axes);
};

template <class T>
Result<ImageArray<T>> ImageArray<T>::create(std::vector<T> data, std::vector<std::uint64_t> axes) {
    VEXLO_ASSIGN_OR_RETURN(const std::uint64_t product, axis_product(axes));
    if (product != data.size()) {
        return fail(Error::data("axis product " + std::to_string(product) +
                                " does not match data length " + std::to_string(data.size())));
    }
    return ImageArray{std::move(data), std::move(axes)};
}

// Rewrites BITPIX, NAXIS and NAXIS1..n for new pixels, each where it stands; a missing one is
// added directly after the card before it (NAXIS after BITPIX, NAXISn after NAXIS(n-1)), as
// in a newly built image header. Removes the NAXISn cards that followed on without a gap. A card
// that cannot be written keeps its old value, so that a later read reports the mismatch.
void set_image_shape_cards(Header& header, std::span<const std::uint64_t> axes, Bitpix bitpix);

// What an image's header says of its pixels, checked against the data section's length.
struct ImageGeometry {
    Bitpix bitpix = Bitpix::U8;
    std::vector<std::uint64_t> axes;  // NAXIS1 first; empty when NAXIS = 0
    std::uint64_t n_elements = 0;
};
// The checks ImageHdu::create makes, for readers that stream the pixels instead of holding
// them.
Result<ImageGeometry> image_geometry(const Header& header, std::uint64_t data_len);

// The pixel type and axes (NAXIS1 first) of an image header the library put together itself,
// read without insisting on the cards: BITPIX when it holds an integer, else 8, as a pixel
// type (from_bitpix's error for an unsupported value); NAXIS when it holds an integer, else 0,
// a negative count giving no axes (above 999 the error of Header::naxis); NAXISk when it holds
// an integer above 0, else 0.
struct ImageShape {
    Bitpix bitpix = Bitpix::U8;
    std::vector<std::uint64_t> axes;
};
Result<ImageShape> built_image_shape(const Header& header);

struct ImageHdu {
    Header header;
    DataBuf data;  // unpadded big-endian pixels, exactly n_elements * bytes per pixel
    Bitpix bitpix = Bitpix::U8;
    std::vector<std::uint64_t> axes;  // NAXIS1 first; empty when NAXIS = 0
    std::uint64_t n_elements = 0;     // product of axes; 0 when axes is empty

    // Checks BITPIX, the axes and the data length against each other.
    static Result<ImageHdu> create(Header header, DataBuf data);
    static Result<ImageHdu> create(Header header, Bytes data) {
        return create(std::move(header), DataBuf::owned(std::move(data)));
    }
    // The viewed bytes must outlive the record.
    static Result<ImageHdu> create_borrowed(Header header, ByteSpan data) {
        return create(std::move(header), DataBuf::borrowed(data));
    }

    // Stored, unscaled values; Error::HduMismatch when the pixel type is another.
    Result<ImageArray<std::uint8_t>> to_array_u8() const;
    Result<ImageArray<std::int16_t>> to_array_i16() const;
    Result<ImageArray<std::int32_t>> to_array_i32() const;
    Result<ImageArray<std::int64_t>> to_array_i64() const;

    // Physical values BZERO + BSCALE * stored, NaN where an integer pixel equals BLANK; the
    // arithmetic is double precision, rounded once to single for the f32 form.
    Result<ImageArray<double>> physical_f64() const;
    Result<ImageArray<float>> physical_f32() const;
    // The same values written straight into a caller's buffer of exactly n_elements.
    Result<void> physical_f64_into(std::span<double> dest) const;
    Result<void> physical_f32_into(std::span<float> dest) const;

    // The data section as an owned list (moved when owned, copied when borrowed).
    Bytes into_data() &&;
    // Header and data for the writer.
    OwnedHdu into_parts() &&;
};

}  // namespace vexlo
