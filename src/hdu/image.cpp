#include "hdu/image.hpp"

#include <algorithm>
#include <bit>
#include <limits>
#include <new>
#include <string>
#include <type_traits>

#include "data/dispatch.hpp"
#include "hdu/image_reader.hpp"

namespace vexlo {

namespace {

Error mismatch(std::string_view expected, Bitpix found) {
    return Error::hdu_mismatch(std::string(expected), std::string(type_name(found)));
}

// The stored values of a loaded image of pixel type `want`, through the image reader.
template <class T>
Result<ImageArray<T>> typed_array(const ImageHdu& img, Bitpix want) {
    if (img.bitpix != want) return fail(mismatch(type_name(want), img.bitpix));
    try {
        std::vector<T> values(static_cast<std::size_t>(img.n_elements));
        VEXLO_TRY(read_pixels_into(
            DataSource::of_memory(img.data.span()), img.bitpix, false,
            {reinterpret_cast<std::uint8_t*>(values.data()), values.size() * sizeof(T)}));
        return ImageArray<T>::create(std::move(values), img.axes);
    } catch (const std::bad_alloc&) {
        return fail(Error::out_of_memory());
    }
}

template <class Out>
Result<void> physical_into(const ImageHdu& img, std::span<Out> dest) {
    if (dest.size() != img.n_elements) {
        return fail(Error::data("physical values: destination holds " +
                                std::to_string(dest.size()) + " values, image has " +
                                std::to_string(img.n_elements)));
    }
    return read_physical_into(DataSource::of_memory(img.data.span()), img.bitpix,
                              read_image_scaling(img.header), dest);
}

template <class Out>
Result<ImageArray<Out>> physical_array(const ImageHdu& img) {
    try {
        std::vector<Out> values(static_cast<std::size_t>(img.n_elements));
        VEXLO_TRY(physical_into(img, std::span<Out>(values)));
        return ImageArray<Out>::create(std::move(values), img.axes);
    } catch (const std::bad_alloc&) {
        return fail(Error::out_of_memory());
    }
}

}  // namespace

Result<std::uint64_t> axis_product(std::span<const std::uint64_t> axes) {
    if (axes.empty()) return std::uint64_t{0};
    std::uint64_t product = 1;
    for (const std::uint64_t a : axes) {
        if (__builtin_mul_overflow(product, a, &product)) {
            return fail(Error::data("axis product overflows u64"));
        }
    }
    return product;
}

namespace {

// Replaces `keyword` where it stands, or adds it directly after `anchor` (at the end when
// the anchor is missing too).
void set_or_insert_after(Header& header, std::string_view anchor, std::string_view keyword,
                         std::int64_t value) {
    if (header.contains(keyword)) {
        (void)header.set(keyword, Value::make_integer(value), std::nullopt);
    } else {
        (void)header.insert_after(anchor, keyword, Value::make_integer(value), std::nullopt);
    }
}

}  // namespace

void set_image_shape_cards(Header& header, std::span<const std::uint64_t> axes, Bitpix bitpix) {
    (void)header.set("BITPIX", Value::make_integer(bitpix_value(bitpix)), std::nullopt);
    set_or_insert_after(header, "BITPIX", "NAXIS", static_cast<std::int64_t>(axes.size()));
    // Readers require NAXISn right after NAXIS, so new axis cards go before anything that
    // follows (EXTEND, PCOUNT, GCOUNT, the user's cards).
    std::string previous = "NAXIS";
    for (std::size_t k = 1; k <= axes.size(); ++k) {
        std::string keyword = indexed_keyword("NAXIS", k);
        set_or_insert_after(header, previous, keyword, static_cast<std::int64_t>(axes[k - 1]));
        previous = std::move(keyword);
    }
    for (std::size_t k = axes.size() + 1;; ++k) {
        const std::string keyword = indexed_keyword("NAXIS", k);
        const std::optional<CardView> card = header.get(keyword);
        if (!card || !card->value_and_comment()) break;
        header.remove(keyword);
    }
}

Result<ImageShape> built_image_shape(const Header& header) {
    const auto integer = [&](std::string_view keyword) -> std::optional<std::int64_t> {
        const std::optional<Value> v = header.get_value(keyword);
        if (!v || !v->is(Value::Kind::Integer)) return std::nullopt;
        return v->integer;
    };
    ImageShape out;
    VEXLO_ASSIGN_OR_RETURN(out.bitpix, from_bitpix(integer("BITPIX").value_or(8)));
    if (integer("NAXIS").value_or(0) <= 0) return out;
    VEXLO_ASSIGN_OR_RETURN(const std::uint64_t naxis, header.naxis());
    out.axes.reserve(naxis);
    for (std::uint64_t k = 1; k <= naxis; ++k) {
        const std::int64_t n = integer(indexed_keyword("NAXIS", k)).value_or(0);
        out.axes.push_back(n > 0 ? static_cast<std::uint64_t>(n) : 0);
    }
    return out;
}

Result<ImageGeometry> image_geometry(const Header& header, std::uint64_t data_len) {
    VEXLO_ASSIGN_OR_RETURN(const std::int64_t bitpix_raw, header.bitpix());
    VEXLO_ASSIGN_OR_RETURN(const Bitpix bitpix, from_bitpix(bitpix_raw));
    VEXLO_ASSIGN_OR_RETURN(std::vector<std::uint64_t> axes, header.axes());
    VEXLO_ASSIGN_OR_RETURN(const std::uint64_t n_elements, axis_product(axes));
    std::uint64_t expected = 0;
    if (__builtin_mul_overflow(n_elements, bytes_per_pixel(bitpix), &expected)) {
        return fail(Error::data("image data size overflows u64"));
    }
    if (data_len != expected) {
        return fail(Error::data("data slice " + std::to_string(data_len) +
                                " bytes does not match expected " + std::to_string(expected)));
    }
    return ImageGeometry{bitpix, std::move(axes), n_elements};
}

Result<ImageHdu> ImageHdu::create(Header header, DataBuf data) {
    VEXLO_ASSIGN_OR_RETURN(ImageGeometry geometry, image_geometry(header, data.size()));
    ImageHdu img;
    img.header = std::move(header);
    img.data = std::move(data);
    img.bitpix = geometry.bitpix;
    img.axes = std::move(geometry.axes);
    img.n_elements = geometry.n_elements;
    return img;
}

Result<ImageArray<std::uint8_t>> ImageHdu::to_array_u8() const {
    return typed_array<std::uint8_t>(*this, Bitpix::U8);
}
Result<ImageArray<std::int16_t>> ImageHdu::to_array_i16() const {
    return typed_array<std::int16_t>(*this, Bitpix::I16);
}
Result<ImageArray<std::int32_t>> ImageHdu::to_array_i32() const {
    return typed_array<std::int32_t>(*this, Bitpix::I32);
}
Result<ImageArray<std::int64_t>> ImageHdu::to_array_i64() const {
    return typed_array<std::int64_t>(*this, Bitpix::I64);
}

Result<ImageArray<double>> ImageHdu::physical_f64() const {
    return physical_array<double>(*this);
}
Result<ImageArray<float>> ImageHdu::physical_f32() const {
    return physical_array<float>(*this);
}

Result<void> ImageHdu::physical_f64_into(std::span<double> dest) const {
    return physical_into(*this, dest);
}
Result<void> ImageHdu::physical_f32_into(std::span<float> dest) const {
    return physical_into(*this, dest);
}

Bytes ImageHdu::into_data() && {
    return std::move(data).into_bytes();
}

OwnedHdu ImageHdu::into_parts() && {
    Bytes bytes = std::move(data).into_bytes();
    return OwnedHdu{std::move(header), std::move(bytes)};
}

}  // namespace vexlo
