// Scaling of stored numbers into physical values, the one home of the rules every path
// shares: BZERO/BSCALE/BLANK of images and TSCALn/TZEROn/TNULLn of table columns read into
// one record, the decision of how physical values are held (the unsigned-offset convention
// by exact BZERO only), and the forward and inverse conversions over whole spans.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string_view>

#include "data/pixel.hpp"
#include "error.hpp"
#include "header/header.hpp"
#include "util/bytes.hpp"

namespace vexlo {

// physical = zero + scale * stored, with `blank` the stored integer that stands for an
// undefined value (BLANK of an image, TNULLn of an integer column).
struct Scaling {
    double zero = 0.0;
    double scale = 1.0;
    std::optional<std::int64_t> blank;

    // Physical values equal the stored ones (a NaN BZERO or BSCALE counts as scaling).
    bool is_identity() const { return zero == 0.0 && scale == 1.0 && !blank; }
    bool operator==(const Scaling&) const = default;
};

// BZERO, BSCALE and BLANK of an image header (BLANK only where BITPIX is not negative).
Scaling read_image_scaling(const Header& header);
// TZEROn, TSCALn and an integer TNULLn of table column n (1-based).
Scaling read_column_scaling(const Header& header, std::uint64_t n);

// How an image's physical values are held: the stored values themselves; the stored values
// under the standard offset of an integer type (BZERO exactly that offset, BSCALE 1, no
// BLANK; any other BZERO, however close, scales in floating point so its fraction is kept);
// or floating point, single precision for U8, I16 and F32 and double otherwise.
enum class PhysicalForm : std::uint8_t { Stored, Offset, F32, F64 };
PhysicalForm physical_form(Bitpix bitpix, const Scaling& scaling);
// The NumPy dtype of physical values held in `form` for pixel type `bitpix`.
std::string_view physical_dtype_name(Bitpix bitpix, PhysicalForm form);

// Round-to-nearest narrowing of a scale or zero to single precision that also covers values
// beyond the float range (they become infinities instead of undefined behaviour).
inline float round_to_f32(double v) {
    // Halfway between FLT_MAX and 2^128: from here on the nearest float is infinity.
    constexpr double kOverflow = 0x1.ffffffp127;
    constexpr float kInf = std::numeric_limits<float>::infinity();
    if (std::fabs(v) >= kOverflow) return std::signbit(v) ? -kInf : kInf;
    return static_cast<float>(v);
}

// A 64-bit stored integer turned to double before an integer zero is added is rounded twice
// (2^63 + stored is not always the double nearest the exact sum). Where the scale is 1 and the
// zero a whole number, the sum is formed exactly instead and rounded once. `zero` is that whole
// number; none when the scaling is of another kind (the zero's magnitude is bounded so that
// the exact sum cannot overflow; a larger zero swamps every stored value anyway).
__extension__ typedef __int128 ExactInt;
std::optional<ExactInt> exact_integer_zero(double scale, double zero);

// stored + zero, exact, rounded once to `Out` (double or float). A sum that fits 64 bits, as
// nearly every one does, takes the machine's own conversion; the 128-bit one is slow.
template <class Out>
inline Out add_exact_zero(std::int64_t stored, ExactInt zero) {
    const ExactInt sum = static_cast<ExactInt>(stored) + zero;
    if (sum == static_cast<std::int64_t>(sum)) {
        return static_cast<Out>(static_cast<std::int64_t>(sum));
    }
    if (sum > 0 && sum == static_cast<std::uint64_t>(sum)) {
        return static_cast<Out>(static_cast<std::uint64_t>(sum));
    }
    return static_cast<Out>(sum);
}

// Fills `dest` (one element per pixel of the big-endian `data`, never reading past it) with
// scaling.zero + scaling.scale * stored, NaN for BLANK integers; one fused pass per type,
// double arithmetic rounded once to the destination (64-bit integers under an integer zero
// and scale 1: the exact sum rounded once).
Result<void> physical_values_into(Bitpix bitpix, ByteSpan data, const Scaling& scaling,
                                  std::span<double> dest);
Result<void> physical_values_into(Bitpix bitpix, ByteSpan data, const Scaling& scaling,
                                  std::span<float> dest);

// The inverse: physical values to the big-endian stored values of `bitpix` in `out` (exactly
// values.size() * bytes per pixel). Integers round to nearest; NaN stores BLANK and is refused
// without one; a value whose stored integer falls outside the type's range is refused, naming
// the value; BSCALE 0 is refused. Nothing is promised of `out` after an error.
Result<void> stored_from_physical(Bitpix bitpix, const Scaling& scaling,
                                  std::span<const double> values, std::span<std::uint8_t> out);

// Physical values written back over the big-endian stored values of `bitpix` they were read
// from (`stored`, one per value), for an integer image read as floating point through its
// scaling: a value that still equals what its stored integer reads as (NaN for NaN) keeps
// that integer; a changed one is stored as stored_from_physical stores it. Returns false, with
// `stored` unchanged, when a changed value has no stored integer that reads back as exactly
// that value, so the image cannot keep its stored type without changing a value; an error,
// with `stored` unchanged, for any other failure, running out of memory among them.
Result<bool> restore_stored_values(Bitpix bitpix, const Scaling& scaling,
                                   std::span<const double> values, std::span<std::uint8_t> stored);

// Checks values bound for an unscaled or offset integer image (BSCALE 1, BZERO 0 or the type's
// standard offset, no BLANK) that reach it through an integer cast, which truncates toward
// zero: the stored integer of each, the truncated value less BZERO, must fit `bitpix`, and NaN
// is refused without a BLANK. The first value that does not fit is named in the words of
// stored_from_physical. Floating-point types take every value.
Result<void> check_cast_to_stored(Bitpix bitpix, const Scaling& scaling,
                                  std::span<const double> values);
Result<void> check_cast_to_stored(Bitpix bitpix, const Scaling& scaling,
                                  std::span<const std::int64_t> values);
Result<void> check_cast_to_stored(Bitpix bitpix, const Scaling& scaling,
                                  std::span<const std::uint64_t> values);

}  // namespace vexlo
