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

// Marks a loop that swaps bytes to be built twice on x86-64, a baseline build and an AVX2 one
// chosen at load time, since the baseline instruction set has no byte shuffle for the swap.
#if defined(__x86_64__) && defined(__GNUC__) && defined(__linux__)
#define VEXLO_SWAP_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define VEXLO_SWAP_CLONES
#endif

namespace vexlo {

// The pixel types in enum order, each with its host type: the enum, the rows of facts and the
// visitor (data/dispatch.hpp) are generated from this one list, so a new type is one line here
// and one PixelTraits row below.
#define VEXLO_PIXEL_TYPES(X) \
    X(U8, std::uint8_t)      \
    X(I16, std::int16_t)     \
    X(I32, std::int32_t)     \
    X(I64, std::int64_t)     \
    X(F32, float)            \
    X(F64, double)

// The pixel types; the numeric value (0..5) is the one-byte code records store.
enum class Bitpix : std::uint8_t {
#define VEXLO_PIXEL_ENUM(NAME, T) NAME,
    VEXLO_PIXEL_TYPES(VEXLO_PIXEL_ENUM)
#undef VEXLO_PIXEL_ENUM
};

// ---- the pixel types' facts ----

// One row per pixel host type (std::uint8_t, std::int16_t, std::int32_t, std::int64_t, float,
// double): every fact the core holds of a pixel type is written here once; its byte size is
// the host type's, and the rest below is derived. For integers the standard offset is the
// BZERO (-2^7 for bytes, 2^15, 2^31, 2^63) under which stored values read as those of the
// other signedness, with the NumPy dtype of the values it gives; floats have none.
template <class T>
struct PixelTraits;

template <>
struct PixelTraits<std::uint8_t> {
    static constexpr Bitpix kBitpix = Bitpix::U8;
    static constexpr std::int64_t kBitpixValue = 8;
    static constexpr std::string_view kName = "u8";
    static constexpr std::string_view kDtype = "uint8";
    static constexpr std::optional<double> kOffset = -128.0;
    static constexpr std::string_view kOffsetDtype = "int8";
};
template <>
struct PixelTraits<std::int16_t> {
    static constexpr Bitpix kBitpix = Bitpix::I16;
    static constexpr std::int64_t kBitpixValue = 16;
    static constexpr std::string_view kName = "i16";
    static constexpr std::string_view kDtype = "int16";
    static constexpr std::optional<double> kOffset = 32768.0;
    static constexpr std::string_view kOffsetDtype = "uint16";
};
template <>
struct PixelTraits<std::int32_t> {
    static constexpr Bitpix kBitpix = Bitpix::I32;
    static constexpr std::int64_t kBitpixValue = 32;
    static constexpr std::string_view kName = "i32";
    static constexpr std::string_view kDtype = "int32";
    static constexpr std::optional<double> kOffset = 2147483648.0;
    static constexpr std::string_view kOffsetDtype = "uint32";
};
template <>
struct PixelTraits<std::int64_t> {
    static constexpr Bitpix kBitpix = Bitpix::I64;
    static constexpr std::int64_t kBitpixValue = 64;
    static constexpr std::string_view kName = "i64";
    static constexpr std::string_view kDtype = "int64";
    static constexpr std::optional<double> kOffset = 9223372036854775808.0;
    static constexpr std::string_view kOffsetDtype = "uint64";
};
template <>
struct PixelTraits<float> {
    static constexpr Bitpix kBitpix = Bitpix::F32;
    static constexpr std::int64_t kBitpixValue = -32;
    static constexpr std::string_view kName = "f32";
    static constexpr std::string_view kDtype = "float32";
    static constexpr std::optional<double> kOffset = std::nullopt;
    static constexpr std::string_view kOffsetDtype = "float32";
};
template <>
struct PixelTraits<double> {
    static constexpr Bitpix kBitpix = Bitpix::F64;
    static constexpr std::int64_t kBitpixValue = -64;
    static constexpr std::string_view kName = "f64";
    static constexpr std::string_view kDtype = "float64";
    static constexpr std::optional<double> kOffset = std::nullopt;
    static constexpr std::string_view kOffsetDtype = "float64";
};

// Inverting the top bit of a stored integer is adding its standard offset modulo 2^n: the
// mask that turns stored values into offset ones and back (0 for floats).
template <class T>
constexpr std::uint64_t flip_mask_of() {
    return PixelTraits<T>::kOffset ? std::uint64_t{1} << (8 * sizeof(T) - 1) : 0;
}

// The row of a pixel type reached by its value, for callers that hold no host type.
struct PixelFacts {
    std::int64_t bitpix_value;
    std::uint64_t bytes;
    std::string_view name;
    std::string_view dtype;
    std::optional<double> offset;
    std::string_view offset_dtype;
    std::uint64_t flip_mask;
};

template <class T>
constexpr PixelFacts pixel_facts_of() {
    return {PixelTraits<T>::kBitpixValue,
            sizeof(T),
            PixelTraits<T>::kName,
            PixelTraits<T>::kDtype,
            PixelTraits<T>::kOffset,
            PixelTraits<T>::kOffsetDtype,
            flip_mask_of<T>()};
}

// The rows stand in enum order, so a pixel type's value indexes its row.
inline constexpr std::array kPixelFacts{
#define VEXLO_PIXEL_FACTS_ROW(NAME, T) pixel_facts_of<T>(),
    VEXLO_PIXEL_TYPES(VEXLO_PIXEL_FACTS_ROW)
#undef VEXLO_PIXEL_FACTS_ROW
};
#define VEXLO_PIXEL_ROW_CHECK(NAME, T) \
    static_assert(PixelTraits<T>::kBitpix == Bitpix::NAME, "a pixel row names another type");
VEXLO_PIXEL_TYPES(VEXLO_PIXEL_ROW_CHECK)
#undef VEXLO_PIXEL_ROW_CHECK
#define VEXLO_PIXEL_COUNT(NAME, T) +1
static_assert(kPixelFacts.size() == 0 VEXLO_PIXEL_TYPES(VEXLO_PIXEL_COUNT));
#undef VEXLO_PIXEL_COUNT

constexpr const PixelFacts& pixel_facts(Bitpix b) {
    return kPixelFacts[static_cast<std::uint8_t>(b)];
}

// Maps a BITPIX value (8, 16, 32, 64, -32, -64) to its pixel type; anything else is an
// Error::Value for keyword BITPIX.
Result<Bitpix> from_bitpix(std::int64_t bitpix);
// The failure of a pixel-type visit given a code that names no pixel type.
Error unknown_pixel_type(Bitpix b);
// The BITPIX value of a pixel type (8, 16, 32, 64, -32, -64).
constexpr std::int64_t bitpix_value(Bitpix b) {
    return pixel_facts(b).bitpix_value;
}
constexpr std::uint64_t bytes_per_pixel(Bitpix b) {
    return pixel_facts(b).bytes;
}
// "u8", "i16", "i32", "i64", "f32", "f64": the names type-mismatch errors carry.
constexpr std::string_view type_name(Bitpix b) {
    return pixel_facts(b).name;
}
constexpr bool is_float(Bitpix b) {
    return !pixel_facts(b).offset.has_value();
}
// The NumPy dtype of a pixel type's stored values ("uint8", "int16", ..., "float64").
constexpr std::string_view dtype_name(Bitpix b) {
    return pixel_facts(b).dtype;
}
// The NumPy dtype of an integer pixel type's values under its standard offset ("int8",
// "uint16", "uint32", "uint64"); floating-point types have no offset and keep their own.
constexpr std::string_view offset_dtype_name(Bitpix b) {
    return pixel_facts(b).offset_dtype;
}
// The standard offset of an integer pixel type; nothing for floating-point types.
constexpr std::optional<double> standard_offset(Bitpix b) {
    return pixel_facts(b).offset;
}
// The top bit of an integer pixel type's stored word (0x80, 0x8000, ...); 0 for floats.
constexpr std::uint64_t flip_mask(Bitpix b) {
    return pixel_facts(b).flip_mask;
}

// The pixel type that holds the elements of a NumPy dtype of kind `kind` ('b', 'i', 'u' or
// 'f') and `itemsize` bytes: its stored type, or an integer type under its standard offset
// (`offset`, the values stored with their top bit inverted). A bool is one byte of 0 or 1,
// stored as it is. None for a dtype no pixel type holds.
struct DtypePixel {
    Bitpix bitpix;
    bool offset;
};
std::optional<DtypePixel> pixel_of_dtype(char kind, std::uint64_t itemsize);

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

// ---- whole buffers ----

// One host-order value per whole element; a trailing partial element is ignored.
std::vector<std::int16_t> decode_be_i16(ByteSpan bytes);
std::vector<std::int32_t> decode_be_i32(ByteSpan bytes);
std::vector<std::int64_t> decode_be_i64(ByteSpan bytes);

// Host-order values of an integer pixel type under its standard offset (uint16 for I16, int8
// for U8, ...) turned in place into the host-order integers stored for them, by inverting each
// top bit. Floating-point types are left as they are.
Result<void> offset_to_stored_in_place(Bitpix b, std::span<std::uint8_t> native);

// Big-endian stored values of an integer pixel type into `out` (host order, the same size as
// `in`), each with its top bit inverted: the values under the standard offset, in one pass.
Result<void> decode_offset_be_into(Bitpix b, ByteSpan in, std::span<std::uint8_t> out);

// Swaps every whole element of `bytes` between big-endian and host order in place (a
// no-op for U8 and on big-endian hosts). Lets a caller read raw FITS pixels straight into
// its own storage and convert them there.
Result<void> swap_be_in_place(Bitpix b, std::span<std::uint8_t> bytes);

}  // namespace vexlo
