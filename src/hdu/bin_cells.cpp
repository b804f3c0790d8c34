// The decoding of cells and whole columns of binary tables: one numeric kernel for both,
// logical and text cells, variable-length arrays in the heap, and the debug form of values.
#include "hdu/bintable.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <type_traits>
#include <utility>

#include "data/pixel.hpp"
#include "data/scaling.hpp"
#include "util/checked.hpp"
#include "util/debug.hpp"
#include "util/number.hpp"
#include "util/text.hpp"

namespace vexlo {

namespace {

// Shortest round-trip digits of a float in the debug form that messages quote.
std::string debug_f32(float v) {
    if (!std::isfinite(v)) return format_real_debug(static_cast<double>(v));
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
    if (ec != std::errc()) return format_real_debug(static_cast<double>(v));
    auto back = parse_decimal(std::string_view(buf, static_cast<std::size_t>(end - buf)));
    return format_real_debug(back ? *back : static_cast<double>(v));
}

// ---------------------------------------------------------------- cell decoding

// What decoding needs to know about a column; heap elements get a derived one.
struct CellSpec {
    BinKind kind;
    std::uint64_t repeat;
    std::uint64_t index;
    Scaling scaling;
    IntStorage storage;
    const std::vector<std::uint64_t>* tdim;  // null when absent
    std::optional<BinKind> vla_kind;
};

CellSpec spec_of(const BinColumn& c) {
    return CellSpec{c.format.kind,    c.format.repeat, c.index,
                    c.scaling,        c.int_storage,   c.tdim ? &*c.tdim : nullptr,
                    c.format.vla_kind};
}

// The value of a stored I, J or K integer under the standard offset of its type (TZERO =
// 2^15, 2^31, 2^63): the stored word with its top bit inverted, read unsigned. Bytes are
// stored unsigned already.
template <class T>
std::uint64_t unsigned_value(T stored) {
    if constexpr (std::is_unsigned_v<T>) {
        return stored;
    } else {
        using Word = word_of<sizeof(T)>;
        return static_cast<Word>(static_cast<Word>(stored) ^ static_cast<Word>(flip_mask_of<T>()));
    }
}

Error invalid_logical(std::uint64_t index, std::uint8_t b) {
    return Error::data("BINTABLE col " + str(index) + ": invalid L byte 0x" +
                       ascii_lower(hex_byte(b)));
}

// L: 0 is a null, T/t true, F/f false. Returns false (and sets `bad`) on another byte.
inline bool read_logical(std::uint8_t b, std::optional<bool>& out) {
    switch (b) {
        case 0:
            out = std::nullopt;
            return true;
        case 'T':
        case 't':
            out = true;
            return true;
        case 'F':
        case 'f':
            out = false;
            return true;
        default:
            return false;
    }
}

// The value type an element of stored type T decodes to under `storage`: E to float, D and
// scaled integers to double, unsigned integers to uint64, other integers to int64.
template <class T, class Out>
constexpr bool kDecodesTo = std::is_same_v<T, float>    ? std::is_same_v<Out, float>
                            : std::is_same_v<T, double> ? std::is_same_v<Out, double>
                                                        : std::is_same_v<Out, std::int64_t> ||
                                                              std::is_same_v<Out, std::uint64_t> ||
                                                              std::is_same_v<Out, double>;

// The one kernel of numeric decoding, for whole columns and single cells alike: `n` groups of
// `repeat` packed elements of stored type T, groups `stride` bytes apart, decoded into `out`
// (byteswap, TNULL, storage, TSCAL/TZERO in one pass). The scaling's blank is TNULLn. A null writes
// 0 (NaN for doubles from integers); `nulls`, when not empty, receives 1 for a null element and 0
// otherwise. Returns the number of nulls.
template <class T, class Out>
std::uint64_t decode_numbers(const Scaling& scaling, IntStorage storage, const std::uint8_t* first,
                             std::uint64_t stride, std::uint64_t n, std::uint64_t repeat,
                             std::span<Out> out, std::span<std::uint8_t> nulls) {
    static_assert(kDecodesTo<T, Out>);
    const bool mask = !nulls.empty();
    std::size_t i = 0;
    if constexpr (std::is_floating_point_v<T>) {
        // Float elements have no nulls; E scales in single precision, as stored.
        const Out scal = std::is_same_v<T, float> ? round_to_f32(scaling.scale) : scaling.scale;
        const Out zero = std::is_same_v<T, float> ? round_to_f32(scaling.zero) : scaling.zero;
        for (std::uint64_t r = 0; r < n; ++r) {
            const std::uint8_t* p = first + r * stride;
            for (std::uint64_t k = 0; k < repeat; ++k, ++i)
                out[i] = load_be<T>(p + k * sizeof(T)) * scal + zero;
        }
        if (mask) std::fill(nulls.begin(), nulls.end(), std::uint8_t{0});
        return 0;
    } else {
        std::uint64_t count = 0;
        const bool has_null = scaling.blank.has_value();
        const std::int64_t tnull = scaling.blank.value_or(0);
        // Bytes under their standard offset (TZERO = -128) read as signed integers.
        std::int64_t bias = 0;
        if constexpr (std::is_unsigned_v<T>) {
            if (storage == IntStorage::SignedFromByte) {
                bias = static_cast<std::int64_t>(*PixelTraits<T>::kOffset);
            }
        }
        // One loop for every integer rule; `scaled` is the value of a non-null element of a
        // double column.
        const auto run = [&](auto scaled) {
            for (std::uint64_t r = 0; r < n; ++r) {
                const std::uint8_t* p = first + r * stride;
                for (std::uint64_t k = 0; k < repeat; ++k, ++i) {
                    const T stored = load_be<T>(p + k * sizeof(T));
                    const bool null = has_null && tnull == static_cast<std::int64_t>(stored);
                    count += null;
                    if (mask) nulls[i] = null;
                    if constexpr (std::is_same_v<Out, double>) {
                        out[i] = null ? std::numeric_limits<double>::quiet_NaN() : scaled(stored);
                    } else if constexpr (std::is_same_v<Out, std::uint64_t>) {
                        out[i] = null ? 0 : unsigned_value(stored);
                    } else {
                        out[i] = null ? 0 : static_cast<std::int64_t>(stored) + bias;
                    }
                }
            }
        };
        if constexpr (std::is_same_v<T, std::int64_t> && std::is_same_v<Out, double>) {
            // K under an integer TZEROn and TSCALn 1: the exact sum, rounded once.
            if (const std::optional<ExactInt> zero =
                    exact_integer_zero(scaling.scale, scaling.zero)) {
                run([z = *zero](std::int64_t stored) { return add_exact_zero<double>(stored, z); });
                return count;
            }
        }
        // Held in locals: the output could alias the column's fields, which would then be
        // loaded again for every element.
        const double scale = scaling.scale;
        const double zero = scaling.zero;
        run([scale, zero](T stored) { return static_cast<double>(stored) * scale + zero; });
        return count;
    }
}

// One cell of a numeric kind through the column kernel: E and D as floats, integers as the
// optional values (or doubles, when scaled) of their storage.
template <class T>
BinValue decode_number_cell(const CellSpec& s, ByteSpan cell) {
    const std::size_t n = cell.size() / sizeof(T);
    auto decode = [&]<class Out>(std::span<Out> out, std::span<std::uint8_t> nulls) {
        decode_numbers<T>(s.scaling, s.storage, cell.data(), cell.size(), 1, n, out, nulls);
    };
    if constexpr (std::is_same_v<T, float>) {
        BinValue::F32 out;
        out.values.resize(n);
        decode(std::span<float>(out.values), {});
        return BinValue{std::move(out)};
    } else if constexpr (std::is_same_v<T, double>) {
        BinValue::F64 out;
        out.values.resize(n);
        decode(std::span<double>(out.values), {});
        return BinValue{std::move(out)};
    } else {
        if (s.storage == IntStorage::Scaled) {
            BinValue::Float out;
            out.values.resize(n);
            decode(std::span<double>(out.values), {});
            return BinValue{std::move(out)};
        }
        std::vector<std::uint8_t> nulls(n);
        auto optionals = [&]<class V, class Out>(V out, std::vector<Out> values) {
            decode(std::span<Out>(values), std::span<std::uint8_t>(nulls));
            out.values.resize(n);
            for (std::size_t i = 0; i < n; ++i) {
                if (nulls[i] == 0) out.values[i] = values[i];
            }
            return BinValue{std::move(out)};
        };
        if (s.storage == IntStorage::Unsigned) {
            return optionals(BinValue::Uint{}, std::vector<std::uint64_t>(n));
        }
        return optionals(BinValue::Int{}, std::vector<std::int64_t>(n));
    }
}

std::string trim_cell_text(std::string_view text) {
    return std::string(cell_text(text));
}

Result<BinValue> decode_chars(const CellSpec& s, ByteSpan cell) {
    const std::string_view text = as_chars(cell);
    if (!is_valid_utf8(text)) {
        return std::unexpected(
            Error::data("BINTABLE col " + str(s.index) + ": A field is not valid UTF-8"));
    }
    if (s.tdim) {
        if (const std::optional<std::uint64_t> count = tdim_text_count(*s.tdim, cell.size())) {
            return BinValue{BinValue::StrArray{
                split_fixed_strings(cell.first(static_cast<std::size_t>(*count)), (*s.tdim)[0])}};
        }
    }
    return BinValue{BinValue::Str{trim_cell_text(text)}};
}

Result<BinValue> decode_spec(const CellSpec& s, ByteSpan cell, ByteSpan heap);

// The heap array a P/Q cell points at and how to decode it. An empty array is one of no
// elements of the column's element type (its offset is not looked at); none only for an empty
// array whose elements have no value of their own (descriptors, or no element type).
struct VlaArray {
    CellSpec spec;
    ByteSpan bytes;
};

Result<std::optional<VlaArray>> locate_vla(const CellSpec& s, ByteSpan cell, ByteSpan heap) {
    VEXLO_ASSIGN_OR_RETURN(const VlaDescriptor d, read_vla_descriptor(s.kind, cell));
    const bool descriptors = !s.vla_kind || *s.vla_kind == BinKind::P || *s.vla_kind == BinKind::Q;
    if (d.count == 0 && descriptors) return std::optional<VlaArray>();
    if (!s.vla_kind) {
        return std::unexpected(
            Error::value(indexed_keyword("TFORM", s.index), "P/Q descriptor missing inner type"));
    }
    const BinKind elem = *s.vla_kind;
    CellSpec inner{elem,
                   d.count,
                   s.index,
                   s.scaling,
                   is_integer_kind(elem)
                       ? classify_int_storage(elem, s.scaling.scale, s.scaling.zero)
                       : IntStorage::RawSigned,
                   nullptr,
                   std::nullopt};
    VEXLO_ASSIGN_OR_RETURN(const ByteSpan bytes,
                           heap_array(d, elem, heap, {HeapReader::Kind::Cell, s.index}));
    return VlaArray{inner, bytes};
}

Result<BinValue> decode_vla(const CellSpec& s, ByteSpan cell, ByteSpan heap) {
    VEXLO_ASSIGN_OR_RETURN(const std::optional<VlaArray> array, locate_vla(s, cell, heap));
    if (!array) {
        // An empty array of descriptors: no element type gives it a value of its own.
        return BinValue{BinValue::Vla{std::make_shared<const BinValue>(BinValue{BinValue::Int{}})}};
    }
    VEXLO_ASSIGN_OR_RETURN(BinValue value, decode_spec(array->spec, array->bytes, ByteSpan{}));
    return BinValue{BinValue::Vla{std::make_shared<const BinValue>(std::move(value))}};
}

// True when no byte has its high bit set: such text is valid UTF-8 without a closer look.
bool all_ascii(ByteSpan bytes) {
    std::uint64_t any = 0;
    std::size_t i = 0;
    for (; i + 8 <= bytes.size(); i += 8) {
        std::uint64_t word;
        std::memcpy(&word, bytes.data() + i, 8);
        any |= word;
    }
    for (; i < bytes.size(); ++i)
        any |= bytes[i];
    return (any & 0x8080808080808080ULL) == 0;
}

Result<void> check_spec(const CellSpec& s, ByteSpan cell, ByteSpan heap) {
    switch (s.kind) {
        case BinKind::Logical: {
            std::optional<bool> v;
            for (const std::uint8_t b : cell) {
                if (!read_logical(b, v)) return std::unexpected(invalid_logical(s.index, b));
            }
            return {};
        }
        case BinKind::Char: {
            if (all_ascii(cell)) return {};
            VEXLO_TRY(decode_chars(s, cell));
            return {};
        }
        case BinKind::P:
        case BinKind::Q: {
            // Only the descriptor and the array's bytes are checked: an array is never built,
            // so descriptors that all point at one large array cost nothing here.
            VEXLO_ASSIGN_OR_RETURN(const std::optional<VlaArray> array, locate_vla(s, cell, heap));
            if (!array) return {};
            return check_spec(array->spec, array->bytes, ByteSpan{});
        }
        // Every byte of these decodes to a value.
        case BinKind::Bit:
        case BinKind::Byte:
        case BinKind::I16:
        case BinKind::I32:
        case BinKind::I64:
        case BinKind::F32:
        case BinKind::F64:
        case BinKind::C64:
        case BinKind::C128:
            return {};
    }
    return fail(Error::data("BINTABLE col " + str(s.index) + ": unknown kind"));
}

Result<BinValue> decode_spec(const CellSpec& s, ByteSpan cell, ByteSpan heap) {
    const std::uint8_t* p = cell.data();
    switch (s.kind) {
        case BinKind::Logical: {
            BinValue::Logical out;
            out.values.resize(cell.size());
            for (std::size_t i = 0; i < cell.size(); ++i) {
                if (!read_logical(p[i], out.values[i])) {
                    return std::unexpected(invalid_logical(s.index, p[i]));
                }
            }
            return BinValue{std::move(out)};
        }
        case BinKind::Bit:
            return BinValue{BinValue::Bits{Bytes(cell.begin(), cell.end()), s.repeat}};
        case BinKind::Byte:
        case BinKind::I16:
        case BinKind::I32:
        case BinKind::I64:
        case BinKind::F32:
        case BinKind::F64:
            return visit_bin_kind(s.kind, [&](auto tag) {
                return decode_number_cell<typename decltype(tag)::type>(s, cell);
            });
        case BinKind::Char:
            return decode_chars(s, cell);
        case BinKind::C64: {
            BinValue::C64 out;
            out.values.resize(cell.size() / 8);
            for (std::size_t i = 0; i < out.values.size(); ++i) {
                out.values[i] = {load_be_f32(p + 8 * i), load_be_f32(p + 8 * i + 4)};
            }
            return BinValue{std::move(out)};
        }
        case BinKind::C128: {
            BinValue::C128 out;
            out.values.resize(cell.size() / 16);
            for (std::size_t i = 0; i < out.values.size(); ++i) {
                out.values[i] = {load_be_f64(p + 16 * i), load_be_f64(p + 16 * i + 8)};
            }
            return BinValue{std::move(out)};
        }
        case BinKind::P:
        case BinKind::Q:
            return decode_vla(s, cell, heap);
    }
    return fail(Error::data("BINTABLE col " + str(s.index) + ": unknown kind"));
}

// ---------------------------------------------------------------- debug form

template <class T, class F>
void debug_list(std::string& out, const std::vector<T>& values, F render) {
    out += '[';
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i) out += ", ";
        render(out, values[i]);
    }
    out += ']';
}

template <class T, class F>
void debug_optional(std::string& out, const std::optional<T>& v, F render) {
    if (!v) {
        out += "None";
        return;
    }
    out += "Some(";
    render(out, *v);
    out += ')';
}

void render_debug(std::string& out, const BinValue& v) {
    auto f64 = [](std::string& o, double d) { o += format_real_debug(d); };
    auto f32 = [](std::string& o, float f) { o += debug_f32(f); };
    auto i64 = [](std::string& o, std::int64_t i) { o += std::to_string(i); };
    auto u64 = [](std::string& o, std::uint64_t u) { o += std::to_string(u); };
    auto text = [](std::string& o, const std::string& s) { o += debug_str(s); };
    switch (v.kind()) {
        case BinValue::Kind::Logical:
            out += "Logical(";
            debug_list(out, std::get<BinValue::Logical>(v.value).values,
                       [](std::string& o, const std::optional<bool>& b) {
                           debug_optional(
                               o, b, [](std::string& o2, bool x) { o2 += x ? "true" : "false"; });
                       });
            break;
        case BinValue::Kind::Bits: {
            const auto& b = std::get<BinValue::Bits>(v.value);
            out += "Bits(";
            debug_list(out, b.bytes,
                       [](std::string& o, std::uint8_t x) { o += std::to_string(x); });
            out += ", " + std::to_string(b.n_bits);
            break;
        }
        case BinValue::Kind::Int:
            out += "Int(";
            debug_list(out, std::get<BinValue::Int>(v.value).values,
                       [&](std::string& o, const std::optional<std::int64_t>& x) {
                           debug_optional(o, x, i64);
                       });
            break;
        case BinValue::Kind::Uint:
            out += "Uint(";
            debug_list(out, std::get<BinValue::Uint>(v.value).values,
                       [&](std::string& o, const std::optional<std::uint64_t>& x) {
                           debug_optional(o, x, u64);
                       });
            break;
        case BinValue::Kind::Float:
            out += "Float(";
            debug_list(out, std::get<BinValue::Float>(v.value).values, f64);
            break;
        case BinValue::Kind::Str:
            out += "Str(" + debug_str(std::get<BinValue::Str>(v.value).value);
            break;
        case BinValue::Kind::StrArray:
            out += "StrArray(";
            debug_list(out, std::get<BinValue::StrArray>(v.value).values, text);
            break;
        case BinValue::Kind::F32:
            out += "F32(";
            debug_list(out, std::get<BinValue::F32>(v.value).values, f32);
            break;
        case BinValue::Kind::F64:
            out += "F64(";
            debug_list(out, std::get<BinValue::F64>(v.value).values, f64);
            break;
        case BinValue::Kind::C64:
            out += "C64(";
            debug_list(out, std::get<BinValue::C64>(v.value).values,
                       [&](std::string& o, const std::complex<float>& c) {
                           o += '(' + debug_f32(c.real()) + ", " + debug_f32(c.imag()) + ')';
                       });
            break;
        case BinValue::Kind::C128:
            out += "C128(";
            debug_list(out, std::get<BinValue::C128>(v.value).values,
                       [&](std::string& o, const std::complex<double>& c) {
                           o += '(' + format_real_debug(c.real()) + ", " +
                                format_real_debug(c.imag()) + ')';
                       });
            break;
        case BinValue::Kind::Vla:
            out += "Vla(";
            render_debug(out, *std::get<BinValue::Vla>(v.value).inner);
            break;
    }
    out += ')';
}

// ---------------------------------------------------------------- whole columns

// The NumPy name of an element type, for messages.
std::string_view element_name(ColumnElement e) {
    switch (e) {
        case ColumnElement::Bool:
            return "bool";
        case ColumnElement::I64:
            return "int64";
        case ColumnElement::U64:
            return "uint64";
        case ColumnElement::F64:
            return "float64";
        case ColumnElement::F32:
            return "float32";
        case ColumnElement::C64:
            return "complex64";
        case ColumnElement::C128:
            return "complex128";
    }
    return "?";
}

template <class Out>
constexpr ColumnElement element_of() {
    if constexpr (std::is_same_v<Out, bool>) return ColumnElement::Bool;
    if constexpr (std::is_same_v<Out, std::int64_t>) return ColumnElement::I64;
    if constexpr (std::is_same_v<Out, std::uint64_t>) return ColumnElement::U64;
    if constexpr (std::is_same_v<Out, double>) return ColumnElement::F64;
    if constexpr (std::is_same_v<Out, float>) return ColumnElement::F32;
    if constexpr (std::is_same_v<Out, std::complex<float>>) return ColumnElement::C64;
    if constexpr (std::is_same_v<Out, std::complex<double>>) return ColumnElement::C128;
}

// Walks `n` rows of one column: calls `elem(ptr, i)` for every element with its bytes and
// its position in the output.
template <class F>
void for_each_element(const std::uint8_t* first, std::uint64_t row_size, std::uint64_t n,
                      std::uint64_t repeat, std::size_t size, F elem) {
    std::size_t i = 0;
    for (std::uint64_t r = 0; r < n; ++r) {
        const std::uint8_t* p = first + r * row_size;
        for (std::uint64_t k = 0; k < repeat; ++k, ++i)
            elem(p + k * size, i);
    }
}

template <class Out>
Result<std::uint64_t> fill_column(const BinTableHdu& t, const BinColumn& c, std::uint64_t first_row,
                                  std::uint64_t n, std::span<Out> out,
                                  std::span<std::uint8_t> nulls) {
    VEXLO_TRY(BinTableHdu::check_column_element(c, element_of<Out>()));
    VEXLO_TRY(t.check_row_range(first_row, n));
    const auto count = checked_mul(n, c.format.repeat);
    if (!count || *count != out.size()) {
        return fail(Error::data("BINTABLE col " + str(c.index) + ": buffer holds " +
                                str(std::uint64_t{out.size()}) + " elements, need " +
                                (count ? str(*count) : std::string("more than 2^64"))));
    }
    if (!nulls.empty() && nulls.size() != out.size()) {
        return fail(Error::data("BINTABLE col " + str(c.index) + ": null mask holds " +
                                str(std::uint64_t{nulls.size()}) + " elements, need " +
                                str(*count)));
    }
    VEXLO_TRY(t.check_field(c));
    if (n == 0 || c.format.repeat == 0) {
        std::fill(nulls.begin(), nulls.end(), std::uint8_t{0});
        return std::uint64_t{0};
    }
    VEXLO_ASSIGN_OR_RETURN(const ByteSpan rows, t.data_section());
    const std::uint8_t* first = rows.data() + first_row * t.row_size + c.offset;
    const std::uint64_t row_size = t.row_size;
    if constexpr (std::is_same_v<Out, bool>) {
        std::uint64_t nulls_seen = 0;
        std::optional<std::uint8_t> bad;
        const bool mask = !nulls.empty();
        for_each_element(first, row_size, n, c.format.repeat, 1,
                         [&](const std::uint8_t* p, std::size_t i) {
                             std::optional<bool> v;
                             if (!read_logical(*p, v)) {
                                 if (!bad) bad = *p;
                                 v = false;
                             }
                             nulls_seen += !v.has_value();
                             if (mask) nulls[i] = !v.has_value();
                             out[i] = v.value_or(false);
                         });
        if (bad) return std::unexpected(invalid_logical(c.index, *bad));
        return nulls_seen;
    } else if constexpr (std::is_same_v<Out, std::complex<float>>) {
        for_each_element(first, row_size, n, c.format.repeat, 8,
                         [&](const std::uint8_t* p, std::size_t i) {
                             out[i] = {load_be_f32(p), load_be_f32(p + 4)};
                         });
    } else if constexpr (std::is_same_v<Out, std::complex<double>>) {
        for_each_element(first, row_size, n, c.format.repeat, 16,
                         [&](const std::uint8_t* p, std::size_t i) {
                             out[i] = {load_be_f64(p), load_be_f64(p + 8)};
                         });
    } else {
        return visit_bin_kind(c.format.kind, [&](auto tag) -> std::uint64_t {
            using T = typename decltype(tag)::type;
            if constexpr (kDecodesTo<T, Out>) {
                return decode_numbers<T>(c.scaling, c.int_storage, first, row_size, n,
                                         c.format.repeat, out, nulls);
            } else {
                // column_element() has matched the kind to Out above.
                return 0;
            }
        });
    }
    std::fill(nulls.begin(), nulls.end(), std::uint8_t{0});
    return std::uint64_t{0};
}

}  // namespace

// ---------------------------------------------------------------- cells and values

// ---------------------------------------------------------------- kinds and formats

std::string_view cell_text(std::string_view field) {
    while (!field.empty() && field.back() == '\0')
        field.remove_suffix(1);
    return trim_ws_end(field);
}

std::vector<std::string> split_fixed_strings(ByteSpan bytes, std::uint64_t width) {
    std::vector<std::string> out;
    if (width == 0) return out;
    const std::uint64_t count = bytes.size() / width;
    out.reserve(static_cast<std::size_t>(count));
    for (std::uint64_t i = 0; i < count; ++i) {
        const std::string piece = utf8_lossy(as_chars(
            bytes.subspan(static_cast<std::size_t>(i * width), static_cast<std::size_t>(width))));
        out.push_back(trim_cell_text(piece));
    }
    return out;
}

Result<ByteSpan> heap_array(const VlaDescriptor& d, BinKind elem, ByteSpan heap,
                            HeapReader reader) {
    const HeapArray a = resolve_heap_array(d, elem, heap);
    if (a.fault == HeapFault::None) return a.bytes;
    const std::uint64_t heap_len = heap.size();
    if (reader.kind == HeapReader::Kind::Cell) {
        const std::string col = "BINTABLE col " + str(reader.column);
        if (a.fault == HeapFault::LengthOverflow) {
            return fail(
                Error::data(col + ": VLA byte length overflows usize (n=" + str(d.count) + ")"));
        }
        return fail(Error::data(col + ": P/Q descriptor (n=" + str(d.count) + ", off=" +
                                str(d.offset) + ") escapes heap (len=" + str(heap_len) + ")"));
    }
    switch (a.fault) {
        case HeapFault::LengthOverflow:
            return fail(Error::data("VLA byte length overflows usize (n=" + str(d.count) +
                                    ", elt=" + str(*BinFormat::byte_width(1, elem)) + ")"));
        case HeapFault::AddressOverflow:
            return fail(Error::data("VLA descriptor overflows heap address"));
        case HeapFault::PastEnd:
        case HeapFault::None:
            break;
    }
    return fail(Error::data("VLA descriptor [" + str(d.offset) + ", " + str(d.offset + a.length) +
                            ") escapes heap (len=" + str(heap_len) + ")"));
}

Result<VlaDescriptor> read_vla_descriptor(BinKind kind, ByteSpan cell) {
    if (kind != BinKind::P && kind != BinKind::Q) {
        return fail(Error::header("expected a P/Q descriptor column, got " +
                                  std::string(bin_kind_name(kind))));
    }
    const std::optional<VlaFields> f = load_vla_fields(kind, cell);
    if (!f) {
        const char* need = kind == BinKind::P ? "8" : "16";
        return fail(Error::data(std::string(kind == BinKind::P ? "P" : "Q") +
                                "-descriptor cell is " + str(std::uint64_t{cell.size()}) +
                                " bytes, need " + need));
    }
    if (f->count < 0 || f->offset < 0) {
        return fail(Error::data("VLA descriptor has negative field (n=" + str(f->count) +
                                ", off=" + str(f->offset) + ")"));
    }
    return VlaDescriptor{static_cast<std::uint64_t>(f->count),
                         static_cast<std::uint64_t>(f->offset)};
}

// ---------------------------------------------------------------- values

std::string BinValue::debug() const {
    std::string out;
    render_debug(out, *this);
    return out;
}

bool operator==(const BinValue& a, const BinValue& b) {
    if (a.kind() != b.kind()) return false;
    if (a.kind() == BinValue::Kind::Vla) {
        return *std::get<BinValue::Vla>(a.value).inner == *std::get<BinValue::Vla>(b.value).inner;
    }
    return std::visit(
        [&](const auto& x) {
            using T = std::decay_t<decltype(x)>;
            const T& y = std::get<T>(b.value);
            if constexpr (std::is_same_v<T, BinValue::Vla>) {
                return false;  // handled above
            } else if constexpr (std::is_same_v<T, BinValue::Bits>) {
                return x.bytes == y.bytes && x.n_bits == y.n_bits;
            } else if constexpr (std::is_same_v<T, BinValue::Str>) {
                return x.value == y.value;
            } else {
                return x.values == y.values;
            }
        },
        a.value);
}

// ---------------------------------------------------------------- columns

Result<BinValue> BinColumn::decode_cell(ByteSpan cell, ByteSpan heap) const {
    try {
        return decode_spec(spec_of(*this), cell, heap);
    } catch (const std::bad_alloc&) {
        return std::unexpected(Error::out_of_memory(
            Error::data("BINTABLE col " + str(index) + ": out of memory decoding a cell")));
    }
}

Result<void> BinColumn::check_cell(ByteSpan cell, ByteSpan heap) const {
    return check_spec(spec_of(*this), cell, heap);
}

Result<ColumnElement> BinTableHdu::column_element(const BinColumn& column) {
    const std::optional<ColumnElement> e = element_of_kind(column.format.kind, column.int_storage);
    if (e) return *e;
    return fail(Error::data("BINTABLE col " + str(column.index) + ": " +
                            std::string(bin_kind_name(column.format.kind)) +
                            " column has no fixed numeric elements"));
}

Result<void> BinTableHdu::check_column_element(const BinColumn& column, ColumnElement want) {
    VEXLO_ASSIGN_OR_RETURN(const ColumnElement has, column_element(column));
    if (has == want) return {};
    return fail(Error::data("BINTABLE col " + str(column.index) + ": column reads into " +
                            std::string(element_name(has)) + " elements, not " +
                            std::string(element_name(want))));
}

Result<VlaExtent> BinTableHdu::vla_extent(std::uint64_t row, const BinColumn& column) const {
    VEXLO_ASSIGN_OR_RETURN(const ByteSpan cell, cell_bytes(row, column));
    VEXLO_ASSIGN_OR_RETURN(const ByteSpan all_heap, heap());
    VEXLO_ASSIGN_OR_RETURN(const std::optional<VlaArray> array,
                           locate_vla(spec_of(column), cell, all_heap));
    if (!array) return VlaExtent{};
    return VlaExtent{array->spec.repeat, element_of_kind(array->spec.kind, array->spec.storage)};
}

namespace {

template <class Out>
Result<std::uint64_t> read_vla_into(const BinTableHdu& t, std::uint64_t row, const BinColumn& c,
                                    std::span<Out> out, std::span<std::uint8_t> nulls) {
    VEXLO_ASSIGN_OR_RETURN(const ByteSpan cell, t.cell_bytes(row, c));
    VEXLO_ASSIGN_OR_RETURN(const ByteSpan heap, t.heap());
    VEXLO_ASSIGN_OR_RETURN(const std::optional<VlaArray> array, locate_vla(spec_of(c), cell, heap));
    const std::uint64_t count = array ? array->spec.repeat : 0;
    const std::optional<ColumnElement> element =
        array ? element_of_kind(array->spec.kind, array->spec.storage) : std::nullopt;
    if (out.size() != count || (!nulls.empty() && nulls.size() != count) ||
        (count != 0 && element != element_of<Out>())) {
        return fail(Error::data("BINTABLE col " + str(c.index) + " row " + str(row) +
                                ": heap array does not read into " +
                                str(std::uint64_t{out.size()}) + " " +
                                std::string(element_name(element_of<Out>())) + " elements"));
    }
    if (count == 0) return std::uint64_t{0};
    const CellSpec& s = array->spec;
    return visit_bin_kind(s.kind, [&](auto tag) -> std::uint64_t {
        using T = typename decltype(tag)::type;
        if constexpr (kDecodesTo<T, Out>) {
            return decode_numbers<T>(s.scaling, s.storage, array->bytes.data(), array->bytes.size(),
                                     1, count, out, nulls);
        } else {
            return 0;  // the element check above has matched the kind to Out
        }
    });
}

}  // namespace

Result<std::uint64_t> BinTableHdu::read_vla(std::uint64_t row, const BinColumn& column,
                                            std::span<std::int64_t> out,
                                            std::span<std::uint8_t> nulls) const {
    return read_vla_into(*this, row, column, out, nulls);
}
Result<std::uint64_t> BinTableHdu::read_vla(std::uint64_t row, const BinColumn& column,
                                            std::span<std::uint64_t> out,
                                            std::span<std::uint8_t> nulls) const {
    return read_vla_into(*this, row, column, out, nulls);
}
Result<std::uint64_t> BinTableHdu::read_vla(std::uint64_t row, const BinColumn& column,
                                            std::span<double> out,
                                            std::span<std::uint8_t> nulls) const {
    return read_vla_into(*this, row, column, out, nulls);
}
Result<std::uint64_t> BinTableHdu::read_vla(std::uint64_t row, const BinColumn& column,
                                            std::span<float> out,
                                            std::span<std::uint8_t> nulls) const {
    return read_vla_into(*this, row, column, out, nulls);
}

std::optional<ColumnElement> element_of_kind(BinKind kind, IntStorage storage) {
    switch (kind) {
        case BinKind::Logical:
            return ColumnElement::Bool;
        case BinKind::Byte:
        case BinKind::I16:
        case BinKind::I32:
        case BinKind::I64:
            switch (storage) {
                case IntStorage::Unsigned:
                    return ColumnElement::U64;
                case IntStorage::Scaled:
                    return ColumnElement::F64;
                case IntStorage::RawSigned:
                case IntStorage::SignedFromByte:
                    return ColumnElement::I64;
            }
            return ColumnElement::I64;
        case BinKind::F32:
            return ColumnElement::F32;
        case BinKind::F64:
            return ColumnElement::F64;
        case BinKind::C64:
            return ColumnElement::C64;
        case BinKind::C128:
            return ColumnElement::C128;
        case BinKind::Bit:
        case BinKind::Char:
        case BinKind::P:
        case BinKind::Q:
            break;
    }
    return std::nullopt;
}

Result<std::uint64_t> BinTableHdu::read_column(const BinColumn& column, std::uint64_t first_row,
                                               std::uint64_t n, std::span<bool> out,
                                               std::span<std::uint8_t> nulls) const {
    return fill_column(*this, column, first_row, n, out, nulls);
}
Result<std::uint64_t> BinTableHdu::read_column(const BinColumn& column, std::uint64_t first_row,
                                               std::uint64_t n, std::span<std::int64_t> out,
                                               std::span<std::uint8_t> nulls) const {
    return fill_column(*this, column, first_row, n, out, nulls);
}
Result<std::uint64_t> BinTableHdu::read_column(const BinColumn& column, std::uint64_t first_row,
                                               std::uint64_t n, std::span<std::uint64_t> out,
                                               std::span<std::uint8_t> nulls) const {
    return fill_column(*this, column, first_row, n, out, nulls);
}
Result<std::uint64_t> BinTableHdu::read_column(const BinColumn& column, std::uint64_t first_row,
                                               std::uint64_t n, std::span<double> out,
                                               std::span<std::uint8_t> nulls) const {
    return fill_column(*this, column, first_row, n, out, nulls);
}
Result<std::uint64_t> BinTableHdu::read_column(const BinColumn& column, std::uint64_t first_row,
                                               std::uint64_t n, std::span<float> out,
                                               std::span<std::uint8_t> nulls) const {
    return fill_column(*this, column, first_row, n, out, nulls);
}
Result<std::uint64_t> BinTableHdu::read_column(const BinColumn& column, std::uint64_t first_row,
                                               std::uint64_t n, std::span<std::complex<float>> out,
                                               std::span<std::uint8_t> nulls) const {
    return fill_column(*this, column, first_row, n, out, nulls);
}
Result<std::uint64_t> BinTableHdu::read_column(const BinColumn& column, std::uint64_t first_row,
                                               std::uint64_t n, std::span<std::complex<double>> out,
                                               std::span<std::uint8_t> nulls) const {
    return fill_column(*this, column, first_row, n, out, nulls);
}

}  // namespace vexlo
