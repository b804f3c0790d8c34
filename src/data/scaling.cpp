#include "data/scaling.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <new>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "data/dispatch.hpp"
#include "util/number.hpp"

namespace vexlo {

Scaling read_image_scaling(const Header& header) {
    Scaling s;
    s.zero = header.get_f64("BZERO").value_or(0.0);
    s.scale = header.get_f64("BSCALE").value_or(1.0);
    s.blank = header.blank();
    return s;
}

Scaling read_column_scaling(const Header& header, std::uint64_t n) {
    Scaling s;
    s.zero = header.get_f64(indexed_keyword("TZERO", n)).value_or(0.0);
    s.scale = header.get_f64(indexed_keyword("TSCAL", n)).value_or(1.0);
    s.blank = header.get_i64(indexed_keyword("TNULL", n));
    return s;
}

PhysicalForm physical_form(Bitpix bitpix, const Scaling& scaling) {
    if (scaling.is_identity()) return PhysicalForm::Stored;
    const std::optional<double> offset = standard_offset(bitpix);
    if (offset && scaling.zero == *offset && scaling.scale == 1.0 && !scaling.blank) {
        return PhysicalForm::Offset;
    }
    const bool single = bitpix == Bitpix::U8 || bitpix == Bitpix::I16 || bitpix == Bitpix::F32;
    return single ? PhysicalForm::F32 : PhysicalForm::F64;
}

std::string_view physical_dtype_name(Bitpix bitpix, PhysicalForm form) {
    switch (form) {
        case PhysicalForm::Stored:
            return dtype_name(bitpix);
        case PhysicalForm::Offset:
            return offset_dtype_name(bitpix);
        case PhysicalForm::F32:
            return "float32";
        case PhysicalForm::F64:
            break;
    }
    return "float64";
}

std::optional<ExactInt> exact_integer_zero(double scale, double zero) {
    // Below 2^120 the sum with any 64-bit integer stays far inside 128 bits.
    constexpr double kLimit = 0x1p120;
    if (scale != 1.0 || !(std::fabs(zero) < kLimit) || std::trunc(zero) != zero) {
        return std::nullopt;
    }
    return static_cast<ExactInt>(zero);
}

namespace {

// ---- forward ----

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

// One pass: load, multiply, add, narrow. No FMA: the core is built with -ffp-contract=off, so
// the product is rounded before the sum as intended.
template <class T, class Out>
void scale_pass(const std::uint8_t* p, std::size_t n, const Scaling& s, Out* out) {
    const double scale = s.scale;
    const double zero = s.zero;
    for (std::size_t i = 0; i < n; ++i) {
        const double v = static_cast<double>(load_be<T>(p + i * sizeof(T)));
        out[i] = static_cast<Out>(v * scale + zero);
    }
}

// 64-bit integers under an integer zero and scale 1: the exact sum, rounded once.
template <class Out>
void exact_pass(const std::uint8_t* p, std::size_t n, ExactInt zero,
                std::optional<std::int64_t> blank, Out* out) {
    const Out nan = nan_of<Out>();
    for (std::size_t i = 0; i < n; ++i) {
        const std::int64_t stored = load_be<std::int64_t>(p + i * 8);
        out[i] = blank && stored == *blank ? nan : add_exact_zero<Out>(stored, zero);
    }
}

template <class T, class Out>
void scale_pass_blank(const std::uint8_t* p, std::size_t n, const Scaling& s, std::int64_t blank,
                      Out* out) {
    const double scale = s.scale;
    const double zero = s.zero;
    const Out nan = nan_of<Out>();
    for (std::size_t i = 0; i < n; ++i) {
        const auto stored = static_cast<std::int64_t>(load_be<T>(p + i * sizeof(T)));
        const Out phys = static_cast<Out>(static_cast<double>(stored) * scale + zero);
        out[i] = stored == blank ? nan : phys;
    }
}

template <class Out>
Result<void> physical_pass(Bitpix bitpix, ByteSpan data, const Scaling& s, std::span<Out> dest) {
    const std::uint8_t* p = data.data();
    const std::size_t n = std::min<std::size_t>(
        dest.size(), data.size() / static_cast<std::size_t>(bytes_per_pixel(bitpix)));
    Out* out = dest.data();
    return visit_bitpix(bitpix, [&](auto tag) {
        using T = typename decltype(tag)::type;
        if constexpr (std::is_same_v<T, std::int64_t>) {
            if (const std::optional<ExactInt> zero = exact_integer_zero(s.scale, s.zero)) {
                return exact_pass(p, n, *zero, s.blank, out);
            }
        }
        // Floating-point data never consults BLANK.
        if constexpr (!std::is_floating_point_v<T>) {
            if (s.blank) return scale_pass_blank<T>(p, n, s, *s.blank, out);
        }
        scale_pass<T>(p, n, s, out);
    });
}

// ---- inverse ----

Error range_error(std::string_view x, std::int64_t stored, std::string_view type) {
    return Error::data("physical value " + std::string(x) + " scales to " + std::to_string(stored) +
                       ", outside the range of " + std::string(type));
}

Error beyond_i64_error(std::string_view x, double stored) {
    return Error::data("physical value " + std::string(x) + " scales to " +
                       format_real_plain(stored) + ", which does not fit i64");
}

Error no_blank_error() {
    return Error::data(
        "cannot store an undefined pixel in an integer image that declares no BLANK "
        "(Sec.4.4.2.4)");
}

Error zero_scale_error() {
    return Error::data("BSCALE is zero, so it cannot invert");
}

Result<std::int64_t> stored_int(double x, const Scaling& s) {
    if (std::isnan(x)) {
        if (s.blank) return *s.blank;
        return fail(no_blank_error());
    }
    if (s.scale == 0.0) return fail(zero_scale_error());
    const double r = std::round((x - s.zero) / s.scale);
    if (!std::isfinite(r) || r < -9223372036854775808.0 || r >= 9223372036854775808.0) {
        return fail(beyond_i64_error(format_real_plain(x), r));
    }
    return static_cast<std::int64_t>(r);
}

template <class T>
Result<void> inverse_pass(const Scaling& s, std::span<const double> values, std::uint8_t* out) {
    for (const double x : values) {
        if constexpr (std::is_floating_point_v<T>) {
            if (s.scale == 0.0) return fail(zero_scale_error());
            store_be(out, static_cast<T>((x - s.zero) / s.scale));
        } else {
            VEXLO_ASSIGN_OR_RETURN(const std::int64_t v, stored_int(x, s));
            if constexpr (sizeof(T) < 8) {
                if (v < std::numeric_limits<T>::min() || v > std::numeric_limits<T>::max()) {
                    return fail(
                        range_error(format_real_plain(x), v, type_name(PixelTraits<T>::kBitpix)));
                }
            }
            store_be(out, static_cast<T>(v));
        }
        out += sizeof(T);
    }
    return {};
}

// ---- the checks of an integer cast ----

constexpr double kTwo63 = 9223372036854775808.0;
constexpr double kTwo64 = 18446744073709551616.0;

// a - zero exactly, when it fits i64; `zero` is an integral offset (0, -128, 2^15, 2^31 or
// 2^63), taken as an integer of its own sign so that 2^63 stays exact.
template <class A>
std::optional<std::int64_t> less_offset(A a, double zero) {
    if (zero != std::trunc(zero) || zero < -kTwo63 || zero >= kTwo64) return std::nullopt;
    std::int64_t r = 0;
    const bool over = zero < 0.0 ? __builtin_sub_overflow(a, static_cast<std::int64_t>(zero), &r)
                                 : __builtin_sub_overflow(a, static_cast<std::uint64_t>(zero), &r);
    if (over) return std::nullopt;
    return r;
}

std::string value_text(double x) {
    return format_real_plain(x);
}
template <class V>
std::string value_text(V v) {
    return std::to_string(v);
}

// The stored integer an integer cast gives for `x`.
template <class V>
Result<std::int64_t> cast_stored(V x, const Scaling& s) {
    std::optional<std::int64_t> stored;
    double cut = static_cast<double>(x);
    if constexpr (std::is_floating_point_v<V>) {
        if (std::isnan(x)) {
            if (s.blank) return *s.blank;
            return fail(no_blank_error());
        }
        cut = std::trunc(x);
        if (cut < 0.0 && cut >= -kTwo63) {
            stored = less_offset(static_cast<std::int64_t>(cut), s.zero);
        } else if (cut >= 0.0 && cut < kTwo64) {
            stored = less_offset(static_cast<std::uint64_t>(cut), s.zero);
        }
    } else {
        stored = less_offset(x, s.zero);
    }
    if (!stored) return fail(beyond_i64_error(value_text(x), cut - s.zero));
    return *stored;
}

template <class V>
Result<void> cast_check(Bitpix bitpix, const Scaling& s, std::span<const V> values) {
    return visit_bitpix(bitpix, [&](auto tag) -> Result<void> {
        using T = typename decltype(tag)::type;
        if constexpr (!std::is_floating_point_v<T>) {
            for (const V x : values) {
                VEXLO_ASSIGN_OR_RETURN(const std::int64_t v, cast_stored(x, s));
                if constexpr (sizeof(T) < 8) {
                    if (v < std::numeric_limits<T>::min() || v > std::numeric_limits<T>::max()) {
                        return fail(
                            range_error(value_text(x), v, type_name(PixelTraits<T>::kBitpix)));
                    }
                }
            }
        }
        return {};
    });
}

}  // namespace

Result<void> check_cast_to_stored(Bitpix bitpix, const Scaling& scaling,
                                  std::span<const double> values) {
    return cast_check(bitpix, scaling, values);
}

Result<void> check_cast_to_stored(Bitpix bitpix, const Scaling& scaling,
                                  std::span<const std::int64_t> values) {
    return cast_check(bitpix, scaling, values);
}

Result<void> check_cast_to_stored(Bitpix bitpix, const Scaling& scaling,
                                  std::span<const std::uint64_t> values) {
    return cast_check(bitpix, scaling, values);
}

Result<void> physical_values_into(Bitpix bitpix, ByteSpan data, const Scaling& scaling,
                                  std::span<double> dest) {
    return physical_pass(bitpix, data, scaling, dest);
}

Result<void> physical_values_into(Bitpix bitpix, ByteSpan data, const Scaling& scaling,
                                  std::span<float> dest) {
    return physical_pass(bitpix, data, scaling, dest);
}

Result<void> stored_from_physical(Bitpix bitpix, const Scaling& scaling,
                                  std::span<const double> values, std::span<std::uint8_t> out) {
    if (out.size() / bytes_per_pixel(bitpix) < values.size()) {
        return fail(Error::data("stored values: destination holds " +
                                std::to_string(out.size() / bytes_per_pixel(bitpix)) +
                                " values, given " + std::to_string(values.size())));
    }
    return visit_bitpix(bitpix, [&](auto tag) {
        return inverse_pass<typename decltype(tag)::type>(scaling, values, out.data());
    });
}

namespace {

// A value as the reader holds it (`Out`, the physical form's precision) against a value
// given back; NaN matches NaN, so BLANK pixels count as unchanged.
template <class Out>
bool reads_as(Out read, double given) {
    return static_cast<double>(read) == given || (std::isnan(read) && std::isnan(given));
}

// False only when a changed value has no stored integer of its own; any other failure, out
// of memory above all, is the error itself.
template <class Out>
Result<bool> restore_in(Bitpix bitpix, const Scaling& scaling, std::span<const double> values,
                        std::span<std::uint8_t> stored) {
    const std::size_t size = bytes_per_pixel(bitpix);
    if (stored.size() != values.size() * size) return false;
    std::vector<Out> read(values.size());
    VEXLO_TRY(physical_values_into(bitpix, stored, scaling, std::span<Out>(read)));
    std::vector<std::size_t> at;
    std::vector<double> changed;
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (reads_as(read[i], values[i])) continue;
        at.push_back(i);
        changed.push_back(values[i]);
    }
    if (at.empty()) return true;
    Bytes encoded(changed.size() * size);
    const Result<void> refused = stored_from_physical(bitpix, scaling, changed, encoded);
    if (!refused) {
        if (refused.error().is_out_of_memory()) return fail(refused.error());
        return false;
    }
    std::vector<Out> back(changed.size());
    VEXLO_TRY(physical_values_into(bitpix, encoded, scaling, std::span<Out>(back)));
    for (std::size_t k = 0; k < changed.size(); ++k) {
        if (!reads_as(back[k], changed[k])) return false;
    }
    for (std::size_t k = 0; k < at.size(); ++k) {
        std::copy_n(encoded.data() + k * size, size, stored.data() + at[k] * size);
    }
    return true;
}

}  // namespace

Result<bool> restore_stored_values(Bitpix bitpix, const Scaling& scaling,
                                   std::span<const double> values, std::span<std::uint8_t> stored) {
    if (is_float(bitpix)) return false;
    // Running out of room for the comparison says nothing of the values: answering false would
    // have the caller rewrite the image in floating point.
    try {
        if (physical_form(bitpix, scaling) == PhysicalForm::F32) {
            return restore_in<float>(bitpix, scaling, values, stored);
        }
        return restore_in<double>(bitpix, scaling, values, stored);
    } catch (const std::bad_alloc&) {
        return fail(Error::out_of_memory());
    }
}

}  // namespace vexlo
