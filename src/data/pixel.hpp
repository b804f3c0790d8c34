// Pixel types (BITPIX) and the big-endian codecs that move numbers between host form and
// FITS bytes.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "error.hpp"
#include "util/bytes.hpp"

namespace vexlo {

// The six pixel types; the numeric value (0..5) is the one-byte code records store.
enum class Bitpix : std::uint8_t {
    U8 = 0,
    I16 = 1,
    I32 = 2,
    I64 = 3,
    F32 = 4,
    F64 = 5,
};

inline constexpr std::array<std::uint64_t, 6> kBytesPerPixel = {1, 2, 4, 8, 4, 8};

// Maps a BITPIX value (8, 16, 32, 64, -32, -64) to its pixel type; anything else is an
// Error::Value for keyword BITPIX.
Result<Bitpix> from_bitpix(std::int64_t bitpix);
// The BITPIX value of a pixel type (8, 16, 32, 64, -32, -64).
std::int64_t bitpix_value(Bitpix b);
constexpr std::uint64_t bytes_per_pixel(Bitpix b) {
    return kBytesPerPixel[static_cast<std::uint8_t>(b)];
}
// "u8", "i16", "i32", "i64", "f32", "f64": the names type-mismatch errors carry.
std::string_view type_name(Bitpix b);
constexpr bool is_float(Bitpix b) {
    return b == Bitpix::F32 || b == Bitpix::F64;
}

// ---- single values (inline: used inside hot loops) ----

// The unsigned word of N bytes, the unit in which values of that width are swapped.
template <std::size_t N>
struct WordOf;
template <>
struct WordOf<1> {
    using type = std::uint8_t;
};
template <>
struct WordOf<2> {
    using type = std::uint16_t;
};
template <>
struct WordOf<4> {
    using type = std::uint32_t;
};
template <>
struct WordOf<8> {
    using type = std::uint64_t;
};
template <std::size_t N>
using word_of = typename WordOf<N>::type;

// The big-endian value of any pixel host type. Floats travel as bit patterns: NaN payloads
// and signed zeros pass unchanged.
template <class T>
inline T load_be(const std::uint8_t* p) {
    word_of<sizeof(T)> w;
    std::memcpy(&w, p, sizeof(T));
    if constexpr (sizeof(T) > 1 && std::endian::native == std::endian::little) {
        w = std::byteswap(w);
    }
    return std::bit_cast<T>(w);
}

// Writes the value's big-endian bytes at p.
template <class T>
inline void store_be(std::uint8_t* p, T v) {
    auto w = std::bit_cast<word_of<sizeof(T)>>(v);
    if constexpr (sizeof(T) > 1 && std::endian::native == std::endian::little) {
        w = std::byteswap(w);
    }
    std::memcpy(p, &w, sizeof(T));
}

inline std::uint16_t load_be_u16(const std::uint8_t* p) {
    return load_be<std::uint16_t>(p);
}
inline std::uint32_t load_be_u32(const std::uint8_t* p) {
    return load_be<std::uint32_t>(p);
}
inline std::uint64_t load_be_u64(const std::uint8_t* p) {
    return load_be<std::uint64_t>(p);
}
inline std::int16_t load_be_i16(const std::uint8_t* p) {
    return load_be<std::int16_t>(p);
}
inline std::int32_t load_be_i32(const std::uint8_t* p) {
    return load_be<std::int32_t>(p);
}
inline std::int64_t load_be_i64(const std::uint8_t* p) {
    return load_be<std::int64_t>(p);
}
inline float load_be_f32(const std::uint8_t* p) {
    return load_be<float>(p);
}
inline double load_be_f64(const std::uint8_t* p) {
    return load_be<double>(p);
}

inline void store_be_u16(std::uint8_t* p, std::uint16_t v) {
    store_be(p, v);
}
inline void store_be_u32(std::uint8_t* p, std::uint32_t v) {
    store_be(p, v);
}
inline void store_be_u64(std::uint8_t* p, std::uint64_t v) {
    store_be(p, v);
}
inline void store_be_f32(std::uint8_t* p, float v) {
    store_be(p, v);
}
inline void store_be_f64(std::uint8_t* p, double v) {
    store_be(p, v);
}

// Appenders: the value's big-endian bytes go to the end of `out`.
void push_be_u16(std::uint16_t v, Bytes& out);
void push_be_u32(std::uint32_t v, Bytes& out);
void push_be_u64(std::uint64_t v, Bytes& out);
void push_be_f32(float v, Bytes& out);
void push_be_f64(double v, Bytes& out);

// The value held big-endian in the first 8 bytes (the caller passes at least 8).
std::uint64_t read_be_u64(ByteSpan bytes);
double read_be_f64(ByteSpan bytes);

// ---- whole buffers ----

// One host-order value per whole element; a trailing partial element is ignored.
std::vector<std::int16_t> decode_be_i16(ByteSpan bytes);
std::vector<std::int32_t> decode_be_i32(ByteSpan bytes);
std::vector<std::int64_t> decode_be_i64(ByteSpan bytes);

// Each host-order word of `words` with its top bit inverted, written back in host order
// (unsigned <-> offset-signed storage of the BZERO = 2^15 / 2^31 / 2^63 conventions). A
// trailing partial word is ignored.
Bytes flip_sign_bit_16(ByteSpan words);
Bytes flip_sign_bit_32(ByteSpan words);
Bytes flip_sign_bit_64(ByteSpan words);

// The standard offset of an integer pixel type: the BZERO (-2^7 for bytes, 2^15, 2^31, 2^63)
// under which its stored values read as those of the other signedness, which is the stored
// value with its top bit inverted. Nothing for floating-point types.
std::optional<double> standard_offset(Bitpix b);

// Host-order values of an integer pixel type under its standard offset (uint16 for I16, int8
// for U8, ...) turned in place into the host-order integers stored for them, by inverting each
// top bit. Floating-point types are left as they are.
void offset_to_stored_in_place(Bitpix b, std::span<std::uint8_t> native);

// Big-endian stored values of an integer pixel type into `out` (host order, the same size as
// `in`), each with its top bit inverted: the values under the standard offset, in one pass.
void decode_offset_be_into(Bitpix b, ByteSpan in, std::span<std::uint8_t> out);

// Swaps every whole element of `bytes` between big-endian and host order in place (a
// no-op for U8 and on big-endian hosts). Lets a caller read raw FITS pixels straight into
// its own storage and convert them there.
void swap_be_in_place(Bitpix b, std::span<std::uint8_t> bytes);

}  // namespace vexlo
