// The one place the core turns a pixel type into a host type: a visitor is called with a
// tag naming the type, so each caller writes its loop once as a template and the switch
// runs once per buffer, never per pixel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "data/pixel.hpp"
#include "error.hpp"

namespace vexlo {

// The host type of a pixel type: std::uint8_t, std::int16_t, std::int32_t, std::int64_t,
// float or double.
template <class T>
struct PixelTag {
    using type = T;
};

// What a visitor returns: f's own Result, or f's value (nothing for void) as a Result. A value
// outside the visitor's list comes back as an Error, never as a guess at some type.
template <class R>
struct VisitResultOf {
    using type = Result<R>;
};
template <class T>
struct VisitResultOf<Result<T>> {
    using type = Result<T>;
};
template <class F, class Tag>
using visit_result_t =
    typename VisitResultOf<std::remove_cvref_t<std::invoke_result_t<F, Tag>>>::type;

// f(tag) as the visitor's result R.
template <class R, class F, class Tag>
R visit_call(F&& f, Tag tag) {
    if constexpr (std::is_void_v<std::invoke_result_t<F, Tag>>) {
        std::forward<F>(f)(tag);
        return R{};
    } else {
        return R(std::forward<F>(f)(tag));
    }
}

// f(PixelTag<T>{}) for the host type T of `b`, as a Result; a code that names no pixel type is
// an Error::Value for BITPIX. The cases come from the list of pixel types.
template <class F>
visit_result_t<F, PixelTag<std::uint8_t>> visit_bitpix(Bitpix b, F&& f) {
    using R = visit_result_t<F, PixelTag<std::uint8_t>>;
    switch (b) {
#define VEXLO_PIXEL_CASE(NAME, T) \
    case Bitpix::NAME:            \
        return visit_call<R>(std::forward<F>(f), PixelTag<T>{});
        VEXLO_PIXEL_TYPES(VEXLO_PIXEL_CASE)
#undef VEXLO_PIXEL_CASE
    }
    return R(fail(unknown_pixel_type(b)));
}

// The failure of a width visit given a width other than 1, 2, 4 or 8 bytes.
Error unsupported_width(std::uint64_t bytes);

// f(PixelTag<T>{}) for the integer host type T `bytes` wide, as a Result: std::uint8_t for 1,
// std::int16_t for 2, std::int32_t for 4, std::int64_t for 8; any other width is an
// Error::Data (callers check the widths their format allows first). The tile codecs see
// widths, not pixel types.
template <class F>
visit_result_t<F, PixelTag<std::int64_t>> visit_integer_width(std::uint64_t bytes, F&& f) {
    using R = visit_result_t<F, PixelTag<std::int64_t>>;
    switch (bytes) {
        case 1:
            return visit_call<R>(std::forward<F>(f), PixelTag<std::uint8_t>{});
        case 2:
            return visit_call<R>(std::forward<F>(f), PixelTag<std::int16_t>{});
        case 4:
            return visit_call<R>(std::forward<F>(f), PixelTag<std::int32_t>{});
        case 8:
            return visit_call<R>(std::forward<F>(f), PixelTag<std::int64_t>{});
        default:
            break;
    }
    return R(fail(unsupported_width(bytes)));
}

// f(PixelTag<W>{}) for the unsigned word W of an element `width` bytes wide (1, 2, 4 or 8), as
// a Result; any other width is an Error::Data. Elements that are only moved and swapped,
// never computed with, need no more than their width.
template <class F>
visit_result_t<F, PixelTag<std::uint64_t>> visit_word(std::size_t width, F&& f) {
    using R = visit_result_t<F, PixelTag<std::uint64_t>>;
    switch (width) {
        case 1:
            return visit_call<R>(std::forward<F>(f), PixelTag<std::uint8_t>{});
        case 2:
            return visit_call<R>(std::forward<F>(f), PixelTag<std::uint16_t>{});
        case 4:
            return visit_call<R>(std::forward<F>(f), PixelTag<std::uint32_t>{});
        case 8:
            return visit_call<R>(std::forward<F>(f), PixelTag<std::uint64_t>{});
        default:
            break;
    }
    return R(fail(unsupported_width(width)));
}

}  // namespace vexlo
