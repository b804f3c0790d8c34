#include "hdu/image.hpp"

#include <algorithm>
#include <bit>
#include <limits>
#include <new>
#include <string>
#include <type_traits>

#include "data/dispatch.hpp"

namespace vexlo {

namespace {

// The canonical quiet NaNs: sign clear, exponent all ones, only the top fraction bit set.
constexpr double kNan64 = std::bit_cast<double>(std::uint64_t{0x7FF8000000000000});
constexpr float kNan32 = std::bit_cast<float>(std::uint32_t{0x7FC00000});

template <class Out>
constexpr Out nan_of() {
    if constexpr (sizeof(Out) == 8) {
        return kNan64;
    } else {
        return kNan32;
    }
}

// One pass: load, (blank test), multiply, add, narrow. No FMA: the core is built with
// -ffp-contract=off, so the product is rounded before the sum as intended.
template <class Out, class Load>
void scale_pass(const std::uint8_t* p, std::size_t n, std::size_t width, Load load,
                const ImageScaling& s, Out* out) {
    const double scale = s.scale;
    const double zero = s.zero;
    for (std::size_t i = 0; i < n; ++i) {
        const double v = static_cast<double>(load(p + i * width));
        out[i] = static_cast<Out>(v * scale + zero);
    }
}

template <class Out, class Load>
void scale_pass_blank(const std::uint8_t* p, std::size_t n, std::size_t width, Load load,
                      const ImageScaling& s, std::int64_t blank, Out* out) {
    const double scale = s.scale;
    const double zero = s.zero;
    const Out nan = nan_of<Out>();
    for (std::size_t i = 0; i < n; ++i) {
        const auto stored = static_cast<std::int64_t>(load(p + i * width));
        const Out phys = static_cast<Out>(static_cast<double>(stored) * scale + zero);
        out[i] = stored == blank ? nan : phys;
    }
}

template <class Out, class Load>
void integer_pass(const std::uint8_t* p, std::size_t n, std::size_t width, Load load,
                  const ImageScaling& s, Out* out) {
    if (s.blank) {
        scale_pass_blank(p, n, width, load, s, *s.blank, out);
    } else {
        scale_pass(p, n, width, load, s, out);
    }
}

template <class Out>
void physical_pass(Bitpix bitpix, ByteSpan data, const ImageScaling& s, std::span<Out> dest) {
    const std::uint8_t* p = data.data();
    // Never read past the data, whatever the caller passed.
    const std::size_t n = std::min<std::size_t>(
        dest.size(), data.size() / static_cast<std::size_t>(bytes_per_pixel(bitpix)));
    Out* out = dest.data();
    visit_bitpix(bitpix, [&](auto tag) {
        using T = typename decltype(tag)::type;
        // Floating-point data never consults BLANK.
        if constexpr (std::is_floating_point_v<T>) {
            scale_pass(p, n, sizeof(T), load_be<T>, s, out);
        } else {
            integer_pass(p, n, sizeof(T), load_be<T>, s, out);
        }
    });
}

Error mismatch(std::string_view expected, Bitpix found) {
    return Error::hdu_mismatch(std::string(expected), std::string(type_name(found)));
}

template <class T, class Decode>
Result<ImageArray<T>> typed_array(const ImageHdu& img, Bitpix want, Decode decode) {
    if (img.bitpix != want) return fail(mismatch(type_name(want), img.bitpix));
    try {
        return ImageArray<T>::create(decode(img.data.span()), img.axes);
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
    physical_values_into(img.bitpix, img.data.span(), read_image_scaling(img.header), dest);
    return {};
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

ImageScaling read_image_scaling(const Header& header) {
    ImageScaling s;
    s.zero = header.get_f64("BZERO").value_or(0.0);
    s.scale = header.get_f64("BSCALE").value_or(1.0);
    s.blank = header.blank();
    return s;
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

PhysicalForm physical_form(Bitpix bitpix, const ImageScaling& scaling) {
    if (scaling.is_identity()) return PhysicalForm::Stored;
    const std::optional<double> offset = standard_offset(bitpix);
    if (offset && scaling.zero == *offset && scaling.scale == 1.0 && !scaling.blank) {
        return PhysicalForm::Offset;
    }
    const bool single = bitpix == Bitpix::U8 || bitpix == Bitpix::I16 || bitpix == Bitpix::F32;
    return single ? PhysicalForm::F32 : PhysicalForm::F64;
}

void physical_values_into(Bitpix bitpix, ByteSpan data, const ImageScaling& scaling,
                          std::span<double> dest) {
    physical_pass(bitpix, data, scaling, dest);
}

void physical_values_into(Bitpix bitpix, ByteSpan data, const ImageScaling& scaling,
                          std::span<float> dest) {
    physical_pass(bitpix, data, scaling, dest);
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
    return typed_array<std::uint8_t>(*this, Bitpix::U8, [](ByteSpan b) {
        return std::vector<std::uint8_t>(b.begin(), b.end());
    });
}
Result<ImageArray<std::int16_t>> ImageHdu::to_array_i16() const {
    return typed_array<std::int16_t>(*this, Bitpix::I16, decode_be_i16);
}
Result<ImageArray<std::int32_t>> ImageHdu::to_array_i32() const {
    return typed_array<std::int32_t>(*this, Bitpix::I32, decode_be_i32);
}
Result<ImageArray<std::int64_t>> ImageHdu::to_array_i64() const {
    return typed_array<std::int64_t>(*this, Bitpix::I64, decode_be_i64);
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
