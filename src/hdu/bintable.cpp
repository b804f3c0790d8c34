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

constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();

std::string str(std::uint64_t v) {
    return std::to_string(v);
}
std::string str(std::int64_t v) {
    return std::to_string(v);
}

// Round-to-nearest narrowing that also covers values beyond the float range (they become
// infinities instead of undefined behaviour).
float to_f32(double v) {
    // Halfway between FLT_MAX and 2^128: from here on the nearest float is infinity.
    constexpr double kOverflow = 0x1.ffffffp127;
    constexpr float kInf = std::numeric_limits<float>::infinity();
    if (std::fabs(v) >= kOverflow) return std::signbit(v) ? -kInf : kInf;
    return static_cast<float>(v);
}

// Shortest round-trip digits of a float in the debug form that messages quote.
std::string debug_f32(float v) {
    if (!std::isfinite(v)) return format_real_debug(static_cast<double>(v));
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
    if (ec != std::errc()) return format_real_debug(static_cast<double>(v));
    auto back = parse_decimal(std::string_view(buf, static_cast<std::size_t>(end - buf)));
    return format_real_debug(back ? *back : static_cast<double>(v));
}

// What each kind is, in enum order: its TFORM letter, the name messages print, and the byte
// size of one element (X is counted in bits separately; P and Q are their descriptors).
struct BinKindInfo {
    char letter;
    std::string_view name;
    std::uint8_t element_size;
};
constexpr std::array<BinKindInfo, 13> kBinKinds = {{
    {'L', "Logical", 1},
    {'X', "Bit", 1},
    {'B', "Byte", 1},
    {'I', "I16", 2},
    {'J', "I32", 4},
    {'K', "I64", 8},
    {'A', "Char", 1},
    {'E', "F32", 4},
    {'D', "F64", 8},
    {'C', "C64", 8},
    {'M', "C128", 16},
    {'P', "P", 8},
    {'Q', "Q", 16},
}};

const BinKindInfo& info_of(BinKind kind) {
    return kBinKinds[static_cast<std::size_t>(kind)];
}

std::uint64_t element_size(BinKind kind) {
    return info_of(kind).element_size;
}

bool is_integer_kind(BinKind kind) {
    return kind == BinKind::Byte || kind == BinKind::I16 || kind == BinKind::I32 ||
           kind == BinKind::I64;
}

// ---------------------------------------------------------------- cell decoding

// What decoding needs to know about a column; heap elements get a derived one.
struct CellSpec {
    BinKind kind;
    std::uint64_t repeat;
    std::uint64_t index;
    double tscal;
    double tzero;
    std::optional<std::int64_t> tnull;
    IntStorage storage;
    const std::vector<std::uint64_t>* tdim;  // null when absent
    std::optional<BinKind> vla_kind;
};

CellSpec spec_of(const BinColumn& c) {
    return CellSpec{c.format.kind,    c.format.repeat, c.index,       c.tscal,
                    c.tzero,          c.tnull,         c.int_storage, c.tdim ? &*c.tdim : nullptr,
                    c.format.vla_kind};
}

// The unsigned value of a stored integer under the unsigned conventions (TZERO = 2^15,
// 2^31, 2^63); bytes are already unsigned.
template <class T>
std::uint64_t unsigned_value(T stored) {
    if constexpr (std::is_same_v<T, std::uint8_t>) {
        return stored;
    } else if constexpr (std::is_same_v<T, std::int16_t>) {
        return static_cast<std::uint64_t>(static_cast<std::int64_t>(stored) + 32768);
    } else if constexpr (std::is_same_v<T, std::int32_t>) {
        return static_cast<std::uint64_t>(static_cast<std::int64_t>(stored) + 2147483648LL);
    } else {
        return static_cast<std::uint64_t>(stored) ^ (std::uint64_t{1} << 63);
    }
}

// The offset SignedFromByte storage subtracts (bytes only; other kinds read unchanged).
template <class T>
constexpr std::int64_t signed_bias() {
    return std::is_same_v<T, std::uint8_t> ? -128 : 0;
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

// How stored numbers become values: TSCAL/TZERO, TNULL and the integer storage.
struct NumberRule {
    double tscal = 1.0;
    double tzero = 0.0;
    std::optional<std::int64_t> tnull;
    IntStorage storage = IntStorage::RawSigned;
};

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
// (byteswap, TNULL, storage, TSCAL/TZERO in one pass). A null writes 0 (NaN for doubles from
// integers); `nulls`, when not empty, receives 1 for a null element and 0 otherwise. Returns
// the number of nulls.
template <class T, class Out>
std::uint64_t decode_numbers(const NumberRule& rule, const std::uint8_t* first,
                             std::uint64_t stride, std::uint64_t n, std::uint64_t repeat,
                             std::span<Out> out, std::span<std::uint8_t> nulls) {
    static_assert(kDecodesTo<T, Out>);
    const bool mask = !nulls.empty();
    std::size_t i = 0;
    if constexpr (std::is_floating_point_v<T>) {
        // Float elements have no nulls; E scales in single precision, as stored.
        const Out scal = std::is_same_v<T, float> ? to_f32(rule.tscal) : rule.tscal;
        const Out zero = std::is_same_v<T, float> ? to_f32(rule.tzero) : rule.tzero;
        for (std::uint64_t r = 0; r < n; ++r) {
            const std::uint8_t* p = first + r * stride;
            for (std::uint64_t k = 0; k < repeat; ++k, ++i)
                out[i] = load_be<T>(p + k * sizeof(T)) * scal + zero;
        }
        if (mask) std::fill(nulls.begin(), nulls.end(), std::uint8_t{0});
        return 0;
    } else {
        std::uint64_t count = 0;
        const bool has_null = rule.tnull.has_value();
        const std::int64_t tnull = rule.tnull.value_or(0);
        const std::int64_t bias = rule.storage == IntStorage::SignedFromByte ? signed_bias<T>() : 0;
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
            if (const std::optional<ExactInt> zero = exact_integer_zero(rule.tscal, rule.tzero)) {
                run([z = *zero](std::int64_t stored) { return add_exact_zero<double>(stored, z); });
                return count;
            }
        }
        run([&](T stored) { return static_cast<double>(stored) * rule.tscal + rule.tzero; });
        return count;
    }
}

// One cell of a numeric kind through the column kernel: E and D as floats, integers as the
// optional values (or doubles, when scaled) of their storage.
template <class T>
BinValue decode_number_cell(const CellSpec& s, ByteSpan cell) {
    const std::size_t n = cell.size() / sizeof(T);
    const NumberRule rule{s.tscal, s.tzero, s.tnull, s.storage};
    auto decode = [&]<class Out>(std::span<Out> out, std::span<std::uint8_t> nulls) {
        decode_numbers<T>(rule, cell.data(), cell.size(), 1, n, out, nulls);
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
    if (s.tdim && s.tdim->size() >= 2 && (*s.tdim)[0] != 0) {
        std::optional<std::uint64_t> product = 1;
        for (std::uint64_t d : *s.tdim) {
            product = checked_mul(*product, d);
            if (!product) break;
        }
        if (product && *product <= cell.size()) {
            return BinValue{BinValue::StrArray{
                split_fixed_strings(cell.first(static_cast<std::size_t>(*product)), (*s.tdim)[0])}};
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
                   s.tscal,
                   s.tzero,
                   s.tnull,
                   is_integer_kind(elem) ? classify_int_storage(elem, s.tscal, s.tzero)
                                         : IntStorage::RawSigned,
                   nullptr,
                   std::nullopt};
    if (d.count == 0) return VlaArray{inner, ByteSpan{}};
    const std::optional<std::uint64_t> len = BinFormat::byte_width(d.count, elem);
    if (!len) {
        return fail(Error::data("BINTABLE col " + str(s.index) +
                                ": VLA byte length overflows usize (n=" + str(d.count) + ")"));
    }
    const std::uint64_t end = checked_add(d.offset, *len).value_or(kU64Max);
    if (end > heap.size()) {
        return fail(Error::data("BINTABLE col " + str(s.index) +
                                ": P/Q descriptor (n=" + str(d.count) + ", off=" + str(d.offset) +
                                ") escapes heap (len=" + str(std::uint64_t{heap.size()}) + ")"));
    }
    return VlaArray{
        inner, heap.subspan(static_cast<std::size_t>(d.offset), static_cast<std::size_t>(*len))};
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
        default:
            return {};
    }
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

// ---------------------------------------------------------------- construction

Result<std::int64_t> require_eq(Result<std::int64_t> got, std::int64_t want, const char* key,
                                const char* msg) {
    if (!got) return got;
    if (*got != want) return fail(Error::value(key, msg));
    return got;
}

Result<BinColumn> read_column_keywords(const Header& h, std::uint64_t n,
                                       std::uint64_t running_offset) {
    const std::string tform_key = indexed_keyword("TFORM", n);
    auto tform = h.get_str(tform_key);
    if (!tform) return fail(Error::missing_mandatory(tform_key));
    BinColumn c;
    c.index = n;
    VEXLO_ASSIGN_OR_RETURN(c.format, BinFormat::parse(*tform));
    const auto width = BinFormat::byte_width(c.format.repeat, c.format.kind);
    if (!width) return fail(Error::value(tform_key, "row offset overflows usize"));
    if (auto v = h.get_str(indexed_keyword("TTYPE", n))) c.name = std::string(trim_ws(*v));
    if (auto v = h.get_str(indexed_keyword("TUNIT", n))) c.unit = std::string(trim_ws(*v));
    const Scaling scaling = read_column_scaling(h, n);
    c.tscal = scaling.scale;
    c.tzero = scaling.zero;
    c.tnull = scaling.blank;
    VEXLO_ASSIGN_OR_RETURN(c.tdim, read_tdim(h, n));
    c.int_storage = is_integer_kind(c.format.kind)
                        ? classify_int_storage(c.format.kind, c.tscal, c.tzero)
                        : IntStorage::RawSigned;
    if (auto v = h.get_str(indexed_keyword("TDISP", n))) c.tdisp = std::string(trim_ws(*v));
    if (!checked_add(running_offset, *width)) {
        return fail(Error::value(tform_key, "row offset overflows usize"));
    }
    c.offset = running_offset;
    return c;
}

Result<BinTableHdu> build(Header header, DataBuf data) {
    VEXLO_TRY(require_eq(header.bitpix(), 8, "BITPIX", "BINTABLE requires BITPIX = 8"));
    VEXLO_ASSIGN_OR_RETURN(const std::uint64_t naxis, header.naxis());
    if (naxis != 2) return fail(Error::value("NAXIS", "BINTABLE requires NAXIS = 2"));
    VEXLO_ASSIGN_OR_RETURN(const std::uint64_t naxis1, header.naxisn(1));
    VEXLO_ASSIGN_OR_RETURN(const std::uint64_t naxis2, header.naxisn(2));
    const std::int64_t pcount = header.get_i64("PCOUNT").value_or(0);
    if (pcount < 0) {
        return fail(Error::value("PCOUNT", "PCOUNT must be >= 0, got " + str(pcount)));
    }
    const auto main_size = checked_mul(naxis1, naxis2);
    if (!main_size) return fail(Error::data("BINTABLE size overflows usize"));
    const auto total = checked_add(*main_size, static_cast<std::uint64_t>(pcount));
    if (!total) return fail(Error::data("BINTABLE+heap size overflows"));
    const std::uint64_t len = data.size();
    if (len != *total) {
        return std::unexpected(
            Error::data("BINTABLE data slice " + str(len) +
                        " bytes does not match NAXIS1*NAXIS2+PCOUNT = " + str(*total)));
    }
    std::uint64_t theap = *main_size;
    if (auto t = header.get_i64("THEAP")) {
        if (*t < 0) {
            return fail(Error::value("THEAP", "THEAP must be >= 0, got " + str(*t)));
        }
        theap = static_cast<std::uint64_t>(*t);
    }
    if (theap < *main_size || theap > *total) {
        return fail(Error::value("THEAP", "THEAP=" + str(theap) +
                                              " must lie within [NAXIS1*NAXIS2=" + str(*main_size) +
                                              ", total=" + str(*total) + "]"));
    }
    VEXLO_ASSIGN_OR_RETURN(const std::int64_t tfields, header.require_i64("TFIELDS"));
    if (tfields < 0) {
        return std::unexpected(
            Error::value("TFIELDS", "TFIELDS must be >= 0, got " + str(tfields)));
    }
    std::vector<BinColumn> columns;
    // Every column needs its own TFORMn card, so the header's length bounds a sound count;
    // a larger TFIELDS fails at the first missing TFORMn.
    columns.reserve(std::min<std::uint64_t>(static_cast<std::uint64_t>(tfields), header.len()));
    std::uint64_t offset = 0;
    for (std::uint64_t n = 1; n <= static_cast<std::uint64_t>(tfields); ++n) {
        VEXLO_ASSIGN_OR_RETURN(BinColumn c, read_column_keywords(header, n, offset));
        offset += c.width();
        columns.push_back(std::move(c));
    }
    if (offset > naxis1) {
        return fail(Error::value("NAXIS1", "sum of TFORM widths (" + str(offset) +
                                               ") exceeds NAXIS1 (" + str(naxis1) + ")"));
    }
    BinTableHdu t;
    t.header = std::move(header);
    t.data = std::move(data);
    t.row_size = naxis1;
    t.n_rows = naxis2;
    t.columns = std::move(columns);
    t.heap_offset = theap;
    t.heap_size = len - theap;
    return t;
}

// ---------------------------------------------------------------- whole columns

std::string_view element_name(ColumnElement e) {
    switch (e) {
        case ColumnElement::Bool:
            return "bool";
        case ColumnElement::I64:
            return "i64";
        case ColumnElement::U64:
            return "u64";
        case ColumnElement::F64:
            return "f64";
        case ColumnElement::F32:
            return "f32";
        case ColumnElement::C64:
            return "c64";
        case ColumnElement::C128:
            return "c128";
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
    VEXLO_ASSIGN_OR_RETURN(const ColumnElement want, BinTableHdu::column_element(c));
    if (want != element_of<Out>()) {
        return fail(Error::data("BINTABLE col " + str(c.index) + ": column reads into " +
                                std::string(element_name(want)) + " elements, not " +
                                std::string(element_name(element_of<Out>()))));
    }
    if (first_row > t.n_rows || n > t.n_rows - first_row) {
        return fail(Error::data("row " + str(std::max(first_row, t.n_rows)) +
                                " out of range (n_rows = " + str(t.n_rows) + ")"));
    }
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
    const std::uint64_t width = c.width();
    if (c.offset > t.row_size || width > t.row_size - c.offset) {
        return fail(Error::data("BINTABLE col " + str(c.index) +
                                ": field does not fit in a row of " + str(t.row_size) + " bytes"));
    }
    if (n == 0 || c.format.repeat == 0) {
        std::fill(nulls.begin(), nulls.end(), std::uint8_t{0});
        return std::uint64_t{0};
    }
    const std::uint8_t* first = t.data.data() + first_row * t.row_size + c.offset;
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
        const NumberRule rule{c.tscal, c.tzero, c.tnull, c.int_storage};
        return visit_bin_kind(c.format.kind, [&](auto tag) -> std::uint64_t {
            using T = typename decltype(tag)::type;
            if constexpr (kDecodesTo<T, Out>) {
                return decode_numbers<T>(rule, first, row_size, n, c.format.repeat, out, nulls);
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

// ---------------------------------------------------------------- kinds and formats

std::string_view bin_kind_name(BinKind kind) {
    return info_of(kind).name;
}

Result<BinKind> bin_kind_from_letter(char32_t c) {
    if (c >= U'a' && c <= U'z') c = c - U'a' + U'A';
    for (std::size_t k = 0; k < kBinKinds.size(); ++k) {
        if (c == static_cast<char32_t>(kBinKinds[k].letter)) return static_cast<BinKind>(k);
    }
    std::string shown;
    append_utf8(shown, c);
    return fail(Error::value("TFORM", "unknown BINTABLE type code `" + shown + "`"));
}

IntStorage classify_int_storage(BinKind kind, double tscal, double tzero) {
    if (tscal == 1.0 && tzero == 0.0) return IntStorage::RawSigned;
    constexpr double kEps = 0x1p-52;
    if (!(std::fabs(tscal - 1.0) <= kEps)) return IntStorage::Scaled;
    double c = 0.0;
    switch (kind) {
        case BinKind::Byte:
            return std::fabs(tzero + 128.0) <= 0x1p-45 ? IntStorage::SignedFromByte
                                                       : IntStorage::Scaled;
        case BinKind::I16:
            c = 0x1p15;
            break;
        case BinKind::I32:
            c = 0x1p31;
            break;
        case BinKind::I64:
            c = 0x1p63;
            break;
        default:
            return IntStorage::Scaled;
    }
    return std::fabs(tzero - c) <= c * kEps ? IntStorage::Unsigned : IntStorage::Scaled;
}

std::optional<std::uint64_t> BinFormat::byte_width(std::uint64_t repeat, BinKind kind) {
    switch (kind) {
        case BinKind::Bit:
            return repeat / 8 + (repeat % 8 != 0 ? 1 : 0);
        case BinKind::P:
            return 8;
        case BinKind::Q:
            return 16;
        default:
            return checked_mul(repeat, element_size(kind));
    }
}

Result<BinFormat> BinFormat::parse(std::string_view tform) {
    auto fail = [&](std::string msg) -> Result<BinFormat> {
        return vexlo::fail(Error::value("TFORM", std::move(msg)));
    };
    const std::string quoted = "`" + std::string(tform) + "`";
    const std::string_view t = trim_ws(tform);
    if (t.empty()) return fail("empty TFORM");
    std::size_t digits = 0;
    while (digits < t.size() && t[digits] >= '0' && t[digits] <= '9')
        ++digits;
    BinFormat f;
    if (digits > 0) {
        auto r = parse_uint64(t.substr(0, digits));
        if (!r) return fail("invalid repeat in " + quoted);
        f.repeat = *r;
    }
    if (digits == t.size()) return fail("missing type code in " + quoted);
    const auto [code, code_len] = first_code_point(t.substr(digits));
    VEXLO_ASSIGN_OR_RETURN(f.kind, bin_kind_from_letter(code));
    if (f.kind != BinKind::P && f.kind != BinKind::Q) return f;

    if (f.repeat > 1) return fail(quoted + " VLA descriptor repeat must be 0 or 1");
    std::string_view rest = t.substr(digits + code_len);
    if (rest.empty()) return fail(quoted + " missing VLA inner type");
    const auto [inner, inner_len] = first_code_point(rest);
    VEXLO_ASSIGN_OR_RETURN(f.vla_kind, bin_kind_from_letter(inner));
    rest.remove_prefix(inner_len);
    if (!rest.empty() && rest.front() == '(') {
        const std::size_t close = rest.find(')');
        if (close == std::string_view::npos) return fail(quoted + " missing closing `)`");
        auto max = parse_uint64(trim_ws(rest.substr(1, close - 1)));
        if (!max) return fail("invalid VLA maxlen in " + quoted);
        f.vla_max = *max;
    }
    return f;
}

Result<std::uint64_t> parse_tdim_dim(std::string_view piece, std::string_view keyword) {
    auto v = parse_uint64(trim_ws(piece));
    if (!v) {
        return std::unexpected(
            Error::value(std::string(keyword), "invalid TDIM dim `" + std::string(piece) + "`"));
    }
    return *v;
}

Result<std::optional<std::vector<std::uint64_t>>> read_tdim(const Header& header, std::uint64_t n) {
    using Out = std::optional<std::vector<std::uint64_t>>;
    const std::string key = indexed_keyword("TDIM", n);
    auto card = header.get(key);
    if (!card) return Out{};
    auto vc = card->value_and_comment();
    if (!vc || !vc->value.is(Value::Kind::String)) return Out{};
    const std::string& raw = vc->value.text;
    const std::string_view t = trim_ws(raw);
    if (t.size() < 2 || t.front() != '(' || t.back() != ')') {
        return fail(Error::value(key, "TDIM must be `(d1,d2,...)`, got `" + raw + "`"));
    }
    std::string_view inside = t.substr(1, t.size() - 2);
    std::vector<std::uint64_t> dims;
    while (true) {
        const std::size_t comma = inside.find(',');
        VEXLO_ASSIGN_OR_RETURN(std::uint64_t d, parse_tdim_dim(inside.substr(0, comma), key));
        dims.push_back(d);
        if (comma == std::string_view::npos) break;
        inside.remove_prefix(comma + 1);
    }
    return Out{std::move(dims)};
}

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

Result<VlaDescriptor> read_vla_descriptor(BinKind kind, ByteSpan cell) {
    std::int64_t n = 0;
    std::int64_t off = 0;
    if (kind == BinKind::P) {
        if (cell.size() < 8) {
            return fail(Error::data("P-descriptor cell is " + str(std::uint64_t{cell.size()}) +
                                    " bytes, need 8"));
        }
        n = load_be_i32(cell.data());
        off = load_be_i32(cell.data() + 4);
    } else if (kind == BinKind::Q) {
        if (cell.size() < 16) {
            return fail(Error::data("Q-descriptor cell is " + str(std::uint64_t{cell.size()}) +
                                    " bytes, need 16"));
        }
        n = load_be_i64(cell.data());
        off = load_be_i64(cell.data() + 8);
    } else {
        return fail(Error::header("expected a P/Q descriptor column, got " +
                                  std::string(bin_kind_name(kind))));
    }
    if (n < 0 || off < 0) {
        return fail(Error::data("VLA descriptor has negative field (n=" + str(n) +
                                ", off=" + str(off) + ")"));
    }
    return VlaDescriptor{static_cast<std::uint64_t>(n), static_cast<std::uint64_t>(off)};
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

// ---------------------------------------------------------------- columns and table

std::uint64_t BinColumn::width() const {
    return BinFormat::byte_width(format.repeat, format.kind).value_or(0);
}

Result<BinValue> BinColumn::decode_cell(ByteSpan cell, ByteSpan heap) const {
    try {
        return decode_spec(spec_of(*this), cell, heap);
    } catch (const std::bad_alloc&) {
        return std::unexpected(
            Error::data("BINTABLE col " + str(index) + ": out of memory decoding a cell"));
    }
}

Result<void> BinColumn::check_cell(ByteSpan cell, ByteSpan heap) const {
    return check_spec(spec_of(*this), cell, heap);
}

namespace {

// Whether a P/Q descriptor surely decodes: an array of numbers lying inside the heap. False
// only means the full check must look.
bool descriptor_ok(const CellSpec& s, const std::uint8_t* cell, std::size_t width,
                   std::uint64_t heap_size) {
    if (!s.vla_kind || *s.vla_kind == BinKind::Logical ||
        !element_of_kind(*s.vla_kind, IntStorage::RawSigned)) {
        return false;
    }
    const bool p = s.kind == BinKind::P;
    if (width < (p ? 8u : 16u)) return false;
    const std::int64_t count = p ? load_be_i32(cell) : load_be_i64(cell);
    const std::int64_t offset = p ? load_be_i32(cell + 4) : load_be_i64(cell + 8);
    if (count < 0 || offset < 0) return false;
    const std::uint64_t size = element_size(*s.vla_kind);
    const auto n = static_cast<std::uint64_t>(count);
    const auto at = static_cast<std::uint64_t>(offset);
    return n == 0 || (n <= heap_size / size && at <= heap_size - n * size);
}

// Checks the rows whose quick look `ok(cell)` doubts in full, for the exact error.
template <class Ok>
Result<void> check_doubted(const CellSpec& spec, const std::uint8_t* field, std::uint64_t n,
                           std::uint64_t row_size, std::size_t width, ByteSpan heap, Ok ok) {
    for (std::uint64_t r = 0; r < n; ++r, field += row_size) {
        if (!ok(field)) VEXLO_TRY(check_spec(spec, ByteSpan(field, width), heap));
    }
    return {};
}

}  // namespace

Result<void> BinTableHdu::check_rows(const BinColumn& column, std::uint64_t first,
                                     std::uint64_t n) const {
    if (n == 0) return {};
    // Validates the field against the last row once; every row before it then holds it.
    VEXLO_TRY(cell_bytes(first + n - 1, column));
    const CellSpec spec = spec_of(column);
    const ByteSpan all_heap = heap();
    const auto width = static_cast<std::size_t>(column.width());
    const std::uint8_t* field = data.data() + first * row_size + column.offset;
    // A quick look at each cell, with the kind's switch outside the loop over the rows.
    switch (spec.kind) {
        case BinKind::Logical:
            return check_doubted(
                spec, field, n, row_size, width, all_heap, [&](const std::uint8_t* cell) {
                    bool ok = true;
                    for (std::size_t i = 0; i < width; ++i) {
                        const std::uint8_t b = cell[i];
                        ok &= b == 'T' || b == 'F' || b == 0 || b == 't' || b == 'f';
                    }
                    return ok;
                });
        case BinKind::Char:
            return check_doubted(spec, field, n, row_size, width, all_heap,
                                 [&](const std::uint8_t* cell) {
                                     std::uint8_t any = 0;
                                     for (std::size_t i = 0; i < width; ++i)
                                         any |= cell[i];
                                     return any < 0x80;
                                 });
        case BinKind::P:
        case BinKind::Q:
            return check_doubted(spec, field, n, row_size, width, all_heap,
                                 [&](const std::uint8_t* cell) {
                                     return descriptor_ok(spec, cell, width, all_heap.size());
                                 });
        default:
            return {};
    }
}

Result<BinTableHdu> BinTableHdu::create(Header header, Bytes data) {
    return build(std::move(header), DataBuf::owned(std::move(data)));
}

Result<BinTableHdu> BinTableHdu::create_borrowed(Header header, ByteSpan data) {
    return build(std::move(header), DataBuf::borrowed(data));
}

OwnedHdu BinTableHdu::into_parts() && {
    return OwnedHdu{std::move(header), std::move(data).into_bytes()};
}

ByteSpan BinTableHdu::heap() const {
    const ByteSpan all = data.span();
    if (heap_offset > all.size()) return {};
    return all.subspan(static_cast<std::size_t>(heap_offset),
                       std::min<std::size_t>(static_cast<std::size_t>(heap_size),
                                             all.size() - static_cast<std::size_t>(heap_offset)));
}

Result<ByteSpan> BinTableHdu::cell_bytes(std::uint64_t row, const BinColumn& column) const {
    if (row >= n_rows) {
        return std::unexpected(
            Error::data("row " + str(row) + " out of range (n_rows = " + str(n_rows) + ")"));
    }
    const std::uint64_t width = column.width();
    // A column of this table always fits its row; a foreign one is refused, not read past.
    if (column.offset > row_size || width > row_size - column.offset) {
        return fail(Error::data("BINTABLE col " + str(column.index) +
                                ": field does not fit in a row of " + str(row_size) + " bytes"));
    }
    const std::uint64_t start = row * row_size + column.offset;
    return data.span().subspan(static_cast<std::size_t>(start), static_cast<std::size_t>(width));
}

Result<BinValue> BinTableHdu::read_cell(std::uint64_t row, const BinColumn& column) const {
    VEXLO_ASSIGN_OR_RETURN(const ByteSpan cell, cell_bytes(row, column));
    return column.decode_cell(cell, heap());
}

const BinColumn* BinTableHdu::find_column(std::string_view name) const {
    for (const BinColumn& c : columns) {
        if (ascii_iequal(c.name, name)) return &c;
    }
    return nullptr;
}

Result<ColumnElement> BinTableHdu::column_element(const BinColumn& column) {
    const std::optional<ColumnElement> e = element_of_kind(column.format.kind, column.int_storage);
    if (e) return *e;
    return fail(Error::data("BINTABLE col " + str(column.index) + ": " +
                            std::string(bin_kind_name(column.format.kind)) +
                            " column has no fixed numeric elements"));
}

Result<VlaExtent> BinTableHdu::vla_extent(std::uint64_t row, const BinColumn& column) const {
    VEXLO_ASSIGN_OR_RETURN(const ByteSpan cell, cell_bytes(row, column));
    VEXLO_ASSIGN_OR_RETURN(const std::optional<VlaArray> array,
                           locate_vla(spec_of(column), cell, heap()));
    if (!array) return VlaExtent{};
    return VlaExtent{array->spec.repeat, element_of_kind(array->spec.kind, array->spec.storage)};
}

namespace {

template <class Out>
Result<std::uint64_t> read_vla_into(const BinTableHdu& t, std::uint64_t row, const BinColumn& c,
                                    std::span<Out> out, std::span<std::uint8_t> nulls) {
    VEXLO_ASSIGN_OR_RETURN(const ByteSpan cell, t.cell_bytes(row, c));
    VEXLO_ASSIGN_OR_RETURN(const std::optional<VlaArray> array,
                           locate_vla(spec_of(c), cell, t.heap()));
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
    const NumberRule rule{s.tscal, s.tzero, s.tnull, s.storage};
    return visit_bin_kind(s.kind, [&](auto tag) -> std::uint64_t {
        using T = typename decltype(tag)::type;
        if constexpr (kDecodesTo<T, Out>) {
            return decode_numbers<T>(rule, array->bytes.data(), array->bytes.size(), 1, count, out,
                                     nulls);
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

Result<double> tile_value_for_row(const TileValue<double>& value, const BinTableHdu& table,
                                  std::uint64_t row) {
    if (value.kind == TileValue<double>::Kind::Constant) return value.value;
    if (value.column >= table.columns.size()) {
        return fail(Error::header("scale column slot " + str(std::uint64_t{value.column}) +
                                  " no longer present"));
    }
    VEXLO_ASSIGN_OR_RETURN(const BinValue v, table.read_cell(row, table.columns[value.column]));
    switch (v.kind()) {
        case BinValue::Kind::Int: {
            const auto& xs = std::get<BinValue::Int>(v.value).values;
            if (xs.size() == 1) return xs[0] ? static_cast<double>(*xs[0]) : 0.0;
            break;
        }
        case BinValue::Kind::Float: {
            const auto& xs = std::get<BinValue::Float>(v.value).values;
            if (xs.size() == 1) return xs[0];
            break;
        }
        case BinValue::Kind::F64: {
            const auto& xs = std::get<BinValue::F64>(v.value).values;
            if (xs.size() == 1) return xs[0];
            break;
        }
        case BinValue::Kind::F32: {
            const auto& xs = std::get<BinValue::F32>(v.value).values;
            if (xs.size() == 1) return static_cast<double>(xs[0]);
            break;
        }
        default:
            break;
    }
    return fail(Error::data("expected scalar float in column " + str(std::uint64_t{value.column}) +
                            ", got " + v.debug()));
}

}  // namespace vexlo
