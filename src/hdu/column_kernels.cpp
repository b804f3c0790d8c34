#include "hdu/column_kernels.hpp"

#include <algorithm>
#include <bit>
#include <limits>
#include <optional>
#include <string>
#include <type_traits>

#include "data/pixel.hpp"
#include "data/scaling.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace vexlo {

namespace {

// out[i] = value(field of row i): the one loop every kernel runs. Held in locals and free of
// branches, so that it is a load, a swap, a conversion and a store per row.
template <class T, class Out, class F>
void gather(const std::uint8_t* first, std::uint64_t stride, std::span<Out> out, F value,
            OutputStores stores) {
    Out* o = out.data();
    const std::size_t n = out.size();
    const std::uint8_t* p = first;
#if defined(__x86_64__)
    if constexpr (sizeof(Out) == sizeof(long long)) {
        if (stores == OutputStores::Streaming) {
            for (std::size_t i = 0; i < n; ++i, p += stride) {
                _mm_stream_si64(reinterpret_cast<long long*>(o + i),
                                std::bit_cast<long long>(value(load_be<T>(p))));
            }
            // Streaming stores are weakly ordered: they are made visible before the output is
            // handed on (to the null pass, or to the thread that joins this one).
            _mm_sfence();
            return;
        }
    }
#endif
    (void)stores;
    for (std::size_t i = 0; i < n; ++i, p += stride)
        o[i] = value(load_be<T>(p));
}

// The null pass of a column that declares TNULL: rows whose stored integer equals it read
// `null_value` and are flagged in `nulls` (when not empty). Returns their count.
template <class T, class Out>
std::uint64_t mark_nulls(const std::uint8_t* first, std::uint64_t stride, std::int64_t tnull,
                         Out null_value, std::span<Out> out, std::span<std::uint8_t> nulls) {
    std::uint64_t count = 0;
    const bool mask = !nulls.empty();
    const std::uint8_t* p = first;
    for (std::size_t i = 0; i < out.size(); ++i, p += stride) {
        const bool null = static_cast<std::int64_t>(load_be<T>(p)) == tnull;
        if (null) out[i] = null_value;
        if (mask) nulls[i] = null;
        count += null;
    }
    return count;
}

template <class T>
std::uint64_t ints_of(const BinColumn& c, const std::uint8_t* first, std::uint64_t stride,
                      std::span<std::int64_t> out, std::span<std::uint8_t> nulls,
                      OutputStores stores) {
    // Bytes under their standard offset (TZERO = -128) read as signed integers.
    std::int64_t bias = 0;
    if constexpr (std::is_unsigned_v<T>) {
        if (c.int_storage == IntStorage::SignedFromByte) {
            bias = static_cast<std::int64_t>(*PixelTraits<T>::kOffset);
        }
    }
    gather<T>(
        first, stride, out, [bias](T v) { return static_cast<std::int64_t>(v) + bias; }, stores);
    if (c.scaling.blank) {
        return mark_nulls<T>(first, stride, *c.scaling.blank, std::int64_t{0}, out, nulls);
    }
    std::fill(nulls.begin(), nulls.end(), std::uint8_t{0});
    return 0;
}

template <class T>
std::uint64_t floats_of(const BinColumn& c, const std::uint8_t* first, std::uint64_t stride,
                        std::span<double> out, std::span<std::uint8_t> nulls, OutputStores stores) {
    const double scale = c.scaling.scale;
    const double zero = c.scaling.zero;
    if constexpr (std::is_same_v<T, float>) {
        // E scales in single precision, as stored, then widens; floats have no nulls.
        const float s = round_to_f32(scale);
        const float z = round_to_f32(zero);
        gather<T>(
            first, stride, out, [s, z](float v) { return static_cast<double>(v * s + z); }, stores);
    } else if constexpr (std::is_same_v<T, double>) {
        gather<T>(
            first, stride, out, [scale, zero](double v) { return v * scale + zero; }, stores);
    } else {
        const std::optional<ExactInt> exact =
            std::is_same_v<T, std::int64_t> ? exact_integer_zero(scale, zero) : std::nullopt;
        if (exact) {
            // K under an integer TZEROn and TSCALn 1: the exact sum, rounded once.
            gather<T>(
                first, stride, out,
                [z = *exact](T v) {
                    return add_exact_zero<double>(static_cast<std::int64_t>(v), z);
                },
                stores);
        } else {
            gather<T>(
                first, stride, out,
                [scale, zero](T v) { return static_cast<double>(v) * scale + zero; }, stores);
        }
        if (c.scaling.blank) {
            return mark_nulls<T>(first, stride, *c.scaling.blank,
                                 std::numeric_limits<double>::quiet_NaN(), out, nulls);
        }
    }
    std::fill(nulls.begin(), nulls.end(), std::uint8_t{0});
    return 0;
}

}  // namespace

bool has_scalar_kernel(const BinColumn& column) {
    // Integers of the other signedness read into uint64, which no kernel writes.
    return column.format.repeat == 1 && is_number_kind(column.format.kind) &&
           column.int_storage != IntStorage::Unsigned;
}

Result<std::uint64_t> decode_scalar_rows(const BinColumn& column, const std::uint8_t* first,
                                         std::uint64_t stride, std::span<std::int64_t> out,
                                         std::span<std::uint8_t> nulls, OutputStores stores) {
    return visit_bin_kind(column.format.kind, [&](auto tag) -> Result<std::uint64_t> {
        using T = typename decltype(tag)::type;
        if constexpr (std::is_integral_v<T>) {
            return ints_of<T>(column, first, stride, out, nulls, stores);
        } else {
            return fail(Error::data("BINTABLE col " + std::to_string(column.index) +
                                    ": floats do not read into int64"));
        }
    });
}

Result<std::uint64_t> decode_scalar_rows(const BinColumn& column, const std::uint8_t* first,
                                         std::uint64_t stride, std::span<double> out,
                                         std::span<std::uint8_t> nulls, OutputStores stores) {
    return visit_bin_kind(column.format.kind, [&](auto tag) {
        using T = typename decltype(tag)::type;
        return floats_of<T>(column, first, stride, out, nulls, stores);
    });
}

}  // namespace vexlo
