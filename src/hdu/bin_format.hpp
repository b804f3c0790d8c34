// The column kinds of binary tables and the keywords that describe a column's cells: one row
// of facts per kind (TFORM letter, name, host type and so element size) with the visitors
// that turn a kind into its host type beside it, TFORM parsing, the integer storage that
// TSCALn/TZEROn give a kind, and TDIM.
#pragma once

#include <array>
#include <complex>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "data/dispatch.hpp"
#include "error.hpp"
#include "header/header.hpp"

namespace vexlo {

// The TFORM type codes; the order is part of the interface.
enum class BinKind : std::uint8_t {
    Logical,  // L
    Bit,      // X
    Byte,     // B
    I16,      // I
    I32,      // J
    I64,      // K
    Char,     // A
    F32,      // E
    F64,      // D
    C64,      // C
    C128,     // M
    P,        // P: 32-bit array descriptor
    Q,        // Q: 64-bit array descriptor
};

// One row per kind: its TFORM letter, the name messages print, and the host type of one
// element, whose size is the element's byte size (X is counted in bits separately; P and Q
// elements are their descriptors, a count and an offset).
template <BinKind K>
struct BinKindTraits;

#define VEXLO_BIN_KIND(KIND, LETTER, NAME, ...)         \
    template <>                                         \
    struct BinKindTraits<BinKind::KIND> {               \
        static constexpr char kLetter = LETTER;         \
        static constexpr std::string_view kName = NAME; \
        using type = __VA_ARGS__;                       \
    }
VEXLO_BIN_KIND(Logical, 'L', "Logical", std::uint8_t);
VEXLO_BIN_KIND(Bit, 'X', "Bit", std::uint8_t);
VEXLO_BIN_KIND(Byte, 'B', "Byte", std::uint8_t);
VEXLO_BIN_KIND(I16, 'I', "I16", std::int16_t);
VEXLO_BIN_KIND(I32, 'J', "I32", std::int32_t);
VEXLO_BIN_KIND(I64, 'K', "I64", std::int64_t);
VEXLO_BIN_KIND(Char, 'A', "Char", char);
VEXLO_BIN_KIND(F32, 'E', "F32", float);
VEXLO_BIN_KIND(F64, 'D', "F64", double);
VEXLO_BIN_KIND(C64, 'C', "C64", std::complex<float>);
VEXLO_BIN_KIND(C128, 'M', "C128", std::complex<double>);
VEXLO_BIN_KIND(P, 'P', "P", std::array<std::int32_t, 2>);
VEXLO_BIN_KIND(Q, 'Q', "Q", std::array<std::int64_t, 2>);
#undef VEXLO_BIN_KIND

// The rows reached by a kind's value, for callers that hold no host type.
struct BinKindFacts {
    char letter;
    std::string_view name;
    std::uint8_t element_size;
};

template <std::size_t... I>
constexpr std::array<BinKindFacts, sizeof...(I)> bin_kind_facts(std::index_sequence<I...>) {
    return {BinKindFacts{BinKindTraits<static_cast<BinKind>(I)>::kLetter,
                         BinKindTraits<static_cast<BinKind>(I)>::kName,
                         sizeof(typename BinKindTraits<static_cast<BinKind>(I)>::type)}...};
}
inline constexpr std::array<BinKindFacts, 13> kBinKinds =
    bin_kind_facts(std::make_index_sequence<13>());

constexpr const BinKindFacts& bin_kind_facts(BinKind kind) {
    return kBinKinds[static_cast<std::size_t>(kind)];
}
// "Logical", "Bit", "Byte", "I16", ...: the names messages print for a kind.
constexpr std::string_view bin_kind_name(BinKind kind) {
    return bin_kind_facts(kind).name;
}
// The TFORM letter of a kind: L X B I J K A E D C M P Q ('?' for a value no kind has).
constexpr char bin_kind_letter(BinKind kind) {
    const auto i = static_cast<std::size_t>(kind);
    return i < kBinKinds.size() ? kBinKinds[i].letter : '?';
}
// The byte size of one element of a kind (a descriptor for P and Q).
constexpr std::uint64_t bin_element_size(BinKind kind) {
    return bin_kind_facts(kind).element_size;
}
constexpr bool is_integer_kind(BinKind kind) {
    return kind == BinKind::Byte || kind == BinKind::I16 || kind == BinKind::I32 ||
           kind == BinKind::I64;
}
constexpr bool is_descriptor_kind(BinKind kind) {
    return kind == BinKind::P || kind == BinKind::Q;
}

// A lower-case letter counts as upper case; unknown codes are an Error::Value for "TFORM".
Result<BinKind> bin_kind_from_letter(char32_t c);

// f(PixelTag<T>{}) for the stored type T of a numeric kind: B uint8, I int16, J int32, K int64,
// E float, D double. The kind must be one of these six.
template <class F>
decltype(auto) visit_bin_kind(BinKind kind, F&& f) {
    const auto call = [&]<BinKind K>() -> decltype(auto) {
        return std::forward<F>(f)(PixelTag<typename BinKindTraits<K>::type>{});
    };
    switch (kind) {
        case BinKind::Byte:
            return call.template operator()<BinKind::Byte>();
        case BinKind::I16:
            return call.template operator()<BinKind::I16>();
        case BinKind::I32:
            return call.template operator()<BinKind::I32>();
        case BinKind::I64:
            return call.template operator()<BinKind::I64>();
        case BinKind::F32:
            return call.template operator()<BinKind::F32>();
        default:
            break;
    }
    return call.template operator()<BinKind::F64>();
}

// The host types a variable-length row given to a table builder may hold; every one is
// stored as doubles (a 1PD column).
enum class VlaElement : std::uint8_t { F32, F64, I8, I16, I32, I64, U8, U16, U32, U64 };

// f(PixelTag<T>{}) for the host type T of a variable-length row's elements.
template <class F>
decltype(auto) visit_vla_element(VlaElement e, F&& f) {
    switch (e) {
        case VlaElement::F32:
            return std::forward<F>(f)(PixelTag<float>{});
        case VlaElement::I8:
            return std::forward<F>(f)(PixelTag<std::int8_t>{});
        case VlaElement::I16:
            return std::forward<F>(f)(PixelTag<std::int16_t>{});
        case VlaElement::I32:
            return std::forward<F>(f)(PixelTag<std::int32_t>{});
        case VlaElement::I64:
            return std::forward<F>(f)(PixelTag<std::int64_t>{});
        case VlaElement::U8:
            return std::forward<F>(f)(PixelTag<std::uint8_t>{});
        case VlaElement::U16:
            return std::forward<F>(f)(PixelTag<std::uint16_t>{});
        case VlaElement::U32:
            return std::forward<F>(f)(PixelTag<std::uint32_t>{});
        case VlaElement::U64:
            return std::forward<F>(f)(PixelTag<std::uint64_t>{});
        case VlaElement::F64:
            break;
    }
    return std::forward<F>(f)(PixelTag<double>{});
}

// How a stored B, I, J or K integer becomes a value; the order is part of the interface.
enum class IntStorage : std::uint8_t {
    RawSigned,       // the stored integer itself (B as 0..255)
    Unsigned,        // I, J, K with TZERO = 2^15, 2^31, 2^63
    SignedFromByte,  // B with TZERO = -128
    Scaled,          // stored * TSCAL + TZERO in double precision
};

// The storage of an integer kind under TSCALn/TZEROn: the standard offset of its stored type
// (to within the last bits of a double) with scale 1 reads the stored values as those of the
// other signedness.
IntStorage classify_int_storage(BinKind kind, double tscal, double tzero);

struct BinFormat {
    std::uint64_t repeat = 1;
    BinKind kind = BinKind::Logical;
    std::optional<BinKind> vla_kind;       // the element type of a P or Q column
    std::optional<std::uint64_t> vla_max;  // the (max) of rPt(max); kept, never enforced

    // Parses rT, rPt(max) or rQt(max). Errors are Error::Value for keyword "TFORM".
    static Result<BinFormat> parse(std::string_view tform);
    // Field width in bytes of `repeat` elements of `kind`; none when it overflows 64 bits.
    static std::optional<std::uint64_t> byte_width(std::uint64_t repeat, BinKind kind);
};

// TDIMn of a header: none when absent or not a string value; an Error::Value for TDIMn when
// it is malformed.
Result<std::optional<std::vector<std::uint64_t>>> read_tdim(const Header& header, std::uint64_t n);
// One comma-separated piece of a TDIM value; `keyword` is the TDIMn its errors name.
Result<std::uint64_t> parse_tdim_dim(std::string_view piece, std::string_view keyword);

// How many of a cell's `n` elements TDIMn shapes: the product of its dimensions, when it
// names at least one and the product is at most `n` (elements past it are left out); none
// when TDIMn is absent, names no dimension, or its product overflows or exceeds `n`.
std::optional<std::uint64_t> tdim_cell_count(const std::optional<std::vector<std::uint64_t>>& tdim,
                                             std::uint64_t n);
// The same for an A field of `bytes` bytes, which TDIMn splits into strings of its first
// dimension: only with two dimensions or more and a first one that is not zero.
std::optional<std::uint64_t> tdim_text_count(const std::optional<std::vector<std::uint64_t>>& tdim,
                                             std::uint64_t bytes);

}  // namespace vexlo
