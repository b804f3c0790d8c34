// The column kinds of binary tables and the keywords that describe a column's cells: one row
// of facts per kind (TFORM letter, name, host type and so element size) with the visitors
// that turn a kind into its host type beside it, TFORM parsing, the integer storage that
// TSCALn/TZEROn give a kind, and TDIM.
//
// Adding a column kind: one row in VEXLO_BIN_KINDS below gives the enum value, the traits, the
// facts and the visitor case (a kind that is a plain number is visited by visit_bin_kind).
// Then the compiler points at what is left: the switches over BinKind in hdu/bin_cells.cpp
// (check_spec, decode_spec, element_of_kind) have no default, so -Wswitch names each one. The
// facts of a row (a plain number, an integer, a cell that can fail) are read from the list
// wherever they decide (the table builders, the whole-column kernels, a lookup's check pass,
// whose quick looks are only a speed-up: a checked kind without one is checked in full); a
// kind whose elements decode to a new host type also needs its ColumnElement and read_column
// overload in hdu/bintable.hpp.
#pragma once

#include <array>
#include <complex>
#include <cstdint>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "data/dispatch.hpp"
#include "error.hpp"
#include "header/header.hpp"
#include "util/checked.hpp"

namespace vexlo {

// The column kinds, in TFORM code order (the order is part of the interface). Each row: the
// kind, its TFORM letter, the name messages print, whether visit_bin_kind visits it (a plain
// number), whether a cell's bytes can fail to decode (an L byte, text, a descriptor against
// the heap: the kinds a table lookup checks), and the host type of one element, whose size is the
// element's byte size (X is counted in bits separately; P and Q elements are their descriptors, a
// count and an offset). The enum, the rows of facts and the visitor are generated from this list.
#define VEXLO_BIN_KINDS(X)                                   \
    X(Logical, 'L', "Logical", false, true, std::uint8_t)    \
    X(Bit, 'X', "Bit", false, false, std::uint8_t)           \
    X(Byte, 'B', "Byte", true, false, std::uint8_t)          \
    X(I16, 'I', "I16", true, false, std::int16_t)            \
    X(I32, 'J', "I32", true, false, std::int32_t)            \
    X(I64, 'K', "I64", true, false, std::int64_t)            \
    X(Char, 'A', "Char", false, true, char)                  \
    X(F32, 'E', "F32", true, false, float)                   \
    X(F64, 'D', "F64", true, false, double)                  \
    X(C64, 'C', "C64", false, false, std::complex<float>)    \
    X(C128, 'M', "C128", false, false, std::complex<double>) \
    X(P, 'P', "P", false, true, std::array<std::int32_t, 2>) \
    X(Q, 'Q', "Q", false, true, std::array<std::int64_t, 2>)

enum class BinKind : std::uint8_t {
#define VEXLO_BIN_KIND_ENUM(KIND, ...) KIND,
    VEXLO_BIN_KINDS(VEXLO_BIN_KIND_ENUM)
#undef VEXLO_BIN_KIND_ENUM
};

template <BinKind K>
struct BinKindTraits;

#define VEXLO_BIN_KIND_TRAITS(KIND, LETTER, NAME, NUMBER, CHECKED, ...) \
    template <>                                                         \
    struct BinKindTraits<BinKind::KIND> {                               \
        static constexpr char kLetter = LETTER;                         \
        static constexpr std::string_view kName = NAME;                 \
        static constexpr bool kNumber = NUMBER;                         \
        static constexpr bool kChecked = CHECKED;                       \
        using type = __VA_ARGS__;                                       \
    };
VEXLO_BIN_KINDS(VEXLO_BIN_KIND_TRAITS)
#undef VEXLO_BIN_KIND_TRAITS

// The rows reached by a kind's value, for callers that hold no host type.
struct BinKindFacts {
    char letter;
    std::string_view name;
    std::uint8_t element_size;
    bool number;   // B, I, J, K, E, D: the plain numbers visit_bin_kind visits
    bool integer;  // B, I, J, K: the kinds TSCALn/TZEROn may give an integer storage
    bool checked;  // L, A, P, Q: cells whose bytes can fail to decode
};

template <BinKind K>
constexpr BinKindFacts bin_kind_facts_of() {
    using T = typename BinKindTraits<K>::type;
    return {BinKindTraits<K>::kLetter,
            BinKindTraits<K>::kName,
            sizeof(T),
            BinKindTraits<K>::kNumber,
            BinKindTraits<K>::kNumber && std::is_integral_v<T>,
            BinKindTraits<K>::kChecked};
}

// The rows stand in enum order, so a kind's value indexes its row.
inline constexpr std::array kBinKinds{
#define VEXLO_BIN_KIND_ROW(KIND, ...) bin_kind_facts_of<BinKind::KIND>(),
    VEXLO_BIN_KINDS(VEXLO_BIN_KIND_ROW)
#undef VEXLO_BIN_KIND_ROW
};
#define VEXLO_BIN_KIND_COUNT(...) +1
static_assert(kBinKinds.size() == 0 VEXLO_BIN_KINDS(VEXLO_BIN_KIND_COUNT));
#undef VEXLO_BIN_KIND_COUNT

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
constexpr bool is_number_kind(BinKind kind) {
    return bin_kind_facts(kind).number;
}
constexpr bool is_integer_kind(BinKind kind) {
    return bin_kind_facts(kind).integer;
}
constexpr bool is_descriptor_kind(BinKind kind) {
    return kind == BinKind::P || kind == BinKind::Q;
}

// A lower-case letter counts as upper case; unknown codes are an Error::Value for "TFORM".
Result<BinKind> bin_kind_from_letter(char32_t c);

// The failure of visit_bin_kind for a kind that is not a plain number (or no kind at all).
Error not_numeric_kind(BinKind kind);

// f(PixelTag<T>{}) for the stored type T of a numeric kind (B uint8, I int16, J int32,
// K int64, E float, D double), as a Result; any other kind is an Error::Data.
template <class F>
visit_result_t<F, PixelTag<double>> visit_bin_kind(BinKind kind, F&& f) {
    using R = visit_result_t<F, PixelTag<double>>;
    switch (kind) {
#define VEXLO_BIN_KIND_CASE(KIND, LETTER, NAME, NUMBER, CHECKED, ...)          \
    case BinKind::KIND:                                                        \
        if constexpr (NUMBER) {                                                \
            return visit_call<R>(std::forward<F>(f), PixelTag<__VA_ARGS__>{}); \
        }                                                                      \
        break;
        VEXLO_BIN_KINDS(VEXLO_BIN_KIND_CASE)
#undef VEXLO_BIN_KIND_CASE
    }
    return R(fail(not_numeric_kind(kind)));
}

// The host types of the elements of a variable-length row given to a table builder, in enum
// order (the order is part of the interface); every one is stored as doubles (a 1PD column).
#define VEXLO_VLA_ELEMENTS(X) \
    X(F32, float)             \
    X(F64, double)            \
    X(I8, std::int8_t)        \
    X(I16, std::int16_t)      \
    X(I32, std::int32_t)      \
    X(I64, std::int64_t)      \
    X(U8, std::uint8_t)       \
    X(U16, std::uint16_t)     \
    X(U32, std::uint32_t)     \
    X(U64, std::uint64_t)

enum class VlaElement : std::uint8_t {
#define VEXLO_VLA_ELEMENT_ENUM(NAME, T) NAME,
    VEXLO_VLA_ELEMENTS(VEXLO_VLA_ELEMENT_ENUM)
#undef VEXLO_VLA_ELEMENT_ENUM
};

// The failure of visit_vla_element for a value that names no element type.
Error unknown_vla_element(VlaElement e);

// f(PixelTag<T>{}) for the host type T of a variable-length row's elements, as a Result; a
// value outside the list is an Error::Data.
template <class F>
visit_result_t<F, PixelTag<double>> visit_vla_element(VlaElement e, F&& f) {
    using R = visit_result_t<F, PixelTag<double>>;
    switch (e) {
#define VEXLO_VLA_ELEMENT_CASE(NAME, T) \
    case VlaElement::NAME:              \
        return visit_call<R>(std::forward<F>(f), PixelTag<T>{});
        VEXLO_VLA_ELEMENTS(VEXLO_VLA_ELEMENT_CASE)
#undef VEXLO_VLA_ELEMENT_CASE
    }
    return R(fail(unknown_vla_element(e)));
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
    static std::optional<std::uint64_t> byte_width(std::uint64_t repeat, BinKind kind) {
        if (kind == BinKind::Bit) return repeat / 8 + (repeat % 8 != 0 ? 1 : 0);
        // A P or Q field holds one descriptor whatever its repeat.
        if (is_descriptor_kind(kind)) return bin_element_size(kind);
        return checked_mul(repeat, bin_element_size(kind));
    }
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
