// The one place the core turns a pixel type into a host type: a visitor is called with a
// tag naming the type, so each caller writes its loop once as a template and the switch
// runs once per buffer, never per pixel.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>
#include <utility>

#include "data/pixel.hpp"

namespace vexlo {

// The host type of a pixel type: std::uint8_t, std::int16_t, std::int32_t, std::int64_t,
// float or double.
template <class T>
struct PixelTag {
    using type = T;
};

// What the core knows of each pixel host type, in one table: its pixel type, the NumPy dtype
// of its stored values, and for integers the standard offset of the unsigned convention
// (BZERO = -2^7 for signed bytes, 2^15, 2^31, 2^63 for unsigned words) with the dtype of the
// values it gives. Reached through visit_bitpix, so no switch on the pixel type is written twice.
template <class T>
struct PixelTraits;

template <>
struct PixelTraits<std::uint8_t> {
    static constexpr Bitpix kBitpix = Bitpix::U8;
    static constexpr std::string_view kDtype = "uint8";
    static constexpr std::optional<double> kOffset = -128.0;
    static constexpr std::string_view kOffsetDtype = "int8";
};
template <>
struct PixelTraits<std::int16_t> {
    static constexpr Bitpix kBitpix = Bitpix::I16;
    static constexpr std::string_view kDtype = "int16";
    static constexpr std::optional<double> kOffset = 32768.0;
    static constexpr std::string_view kOffsetDtype = "uint16";
};
template <>
struct PixelTraits<std::int32_t> {
    static constexpr Bitpix kBitpix = Bitpix::I32;
    static constexpr std::string_view kDtype = "int32";
    static constexpr std::optional<double> kOffset = 2147483648.0;
    static constexpr std::string_view kOffsetDtype = "uint32";
};
template <>
struct PixelTraits<std::int64_t> {
    static constexpr Bitpix kBitpix = Bitpix::I64;
    static constexpr std::string_view kDtype = "int64";
    static constexpr std::optional<double> kOffset = 9223372036854775808.0;
    static constexpr std::string_view kOffsetDtype = "uint64";
};
template <>
struct PixelTraits<float> {
    static constexpr Bitpix kBitpix = Bitpix::F32;
    static constexpr std::string_view kDtype = "float32";
    static constexpr std::optional<double> kOffset = std::nullopt;
    static constexpr std::string_view kOffsetDtype = "float32";
};
template <>
struct PixelTraits<double> {
    static constexpr Bitpix kBitpix = Bitpix::F64;
    static constexpr std::string_view kDtype = "float64";
    static constexpr std::optional<double> kOffset = std::nullopt;
    static constexpr std::string_view kOffsetDtype = "float64";
};

// f(PixelTag<T>{}) for the host type T of `b`.
template <class F>
decltype(auto) visit_bitpix(Bitpix b, F&& f) {
    switch (b) {
        case Bitpix::U8:
            return std::forward<F>(f)(PixelTag<std::uint8_t>{});
        case Bitpix::I16:
            return std::forward<F>(f)(PixelTag<std::int16_t>{});
        case Bitpix::I32:
            return std::forward<F>(f)(PixelTag<std::int32_t>{});
        case Bitpix::I64:
            return std::forward<F>(f)(PixelTag<std::int64_t>{});
        case Bitpix::F32:
            return std::forward<F>(f)(PixelTag<float>{});
        case Bitpix::F64:
            break;
    }
    return std::forward<F>(f)(PixelTag<double>{});
}

// f(PixelTag<T>{}) for the integer host type T `bytes` wide: std::uint8_t for 1, std::int16_t
// for 2, std::int32_t for 4, std::int64_t for any other width (callers check the widths their
// format allows first). The tile codecs see widths, not pixel types.
template <class F>
decltype(auto) visit_integer_width(std::uint64_t bytes, F&& f) {
    switch (bytes) {
        case 1:
            return std::forward<F>(f)(PixelTag<std::uint8_t>{});
        case 2:
            return std::forward<F>(f)(PixelTag<std::int16_t>{});
        case 4:
            return std::forward<F>(f)(PixelTag<std::int32_t>{});
        default:
            break;
    }
    return std::forward<F>(f)(PixelTag<std::int64_t>{});
}

// The NumPy dtype of a pixel type's stored values ("uint8", "int16", ..., "float64").
inline std::string_view dtype_name(Bitpix b) {
    return visit_bitpix(b,
                        [](auto tag) { return PixelTraits<typename decltype(tag)::type>::kDtype; });
}

// The NumPy dtype of an integer pixel type's values under its standard offset ("int8",
// "uint16", "uint32", "uint64"); floating-point types have no offset and keep their own.
inline std::string_view offset_dtype_name(Bitpix b) {
    return visit_bitpix(
        b, [](auto tag) { return PixelTraits<typename decltype(tag)::type>::kOffsetDtype; });
}

}  // namespace vexlo
