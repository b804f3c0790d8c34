// The one place the core turns a pixel type into a host type: a visitor is called with a
// tag naming the type, so each caller writes its loop once as a template and the switch
// runs once per buffer, never per pixel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "data/pixel.hpp"

namespace vexlo {

// The host type of a pixel type: std::uint8_t, std::int16_t, std::int32_t, std::int64_t,
// float or double.
template <class T>
struct PixelTag {
    using type = T;
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

// f(PixelTag<W>{}) for the unsigned word W of an element `width` bytes wide (1, 2, 4 or 8;
// any other width counts as 8): elements that are only moved and swapped, never computed
// with, need no more than their width.
template <class F>
decltype(auto) visit_word(std::size_t width, F&& f) {
    switch (width) {
        case 1:
            return std::forward<F>(f)(PixelTag<std::uint8_t>{});
        case 2:
            return std::forward<F>(f)(PixelTag<std::uint16_t>{});
        case 4:
            return std::forward<F>(f)(PixelTag<std::uint32_t>{});
        default:
            break;
    }
    return std::forward<F>(f)(PixelTag<std::uint64_t>{});
}

}  // namespace vexlo
