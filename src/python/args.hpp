// The shared argument parser of every Python entry point. A static table names the
// parameters; parsing matches positional and keyword arguments to it and raises the
// argument-count and keyword TypeErrors, and the body reads each argument through the typed
// handle the table was built from, so that a TypeError from a conversion names the parameter
// ("argument 'x': ...").
//
//   constexpr auto kData = required<nb::handle>("data");
//   constexpr auto kHeader = or_none<nb::handle>("header");
//   constexpr auto kPrimary = optional<bool>("primary", true);
//   constexpr auto kImageSig = signature("image()", kData, kHeader, kPrimary);
//   constexpr auto kImageDoc = function_doc<kImageSig>("Build an image HDU from an array.");
//   ...
//   Args p = parse_args(kImageSig, args, kwargs);       // nb::args, nb::kwargs
//   const bool primary = p.get(kPrimary);               // true when omitted
//   nb::handle header = p.get(kHeader);                 // null when omitted or None
//
// A handle is the one written form of a parameter: its name, its type and conversion, and
// its default, which is both what the body gets when the argument is omitted and the text the
// signature line shows ("True", "0", "0.0", "\"readonly\"", "' '", "None"). The table is the one
// written form of a binding's order and keyword-only marker; the docstring's first line
// ("image(data, header=None, primary=True)", which Python reads as __text_signature__) is
// built from it at compile time by `function_doc` or `method_doc`, and the MethodDef or
// FunctionDef takes its name from there. Never write a signature line by hand.
//
// A body reads only the handles of its own table: the table keeps the address of each
// handle, so a misspelt handle does not compile, and a handle of another table (even one of
// the same name) panics on the first call instead of reading a default the signature does not
// show. A table takes named handles only (a temporary has no address to keep).
#pragma once

#include <nanobind/nanobind.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "python/errors.hpp"

namespace vexlo::py {

namespace nb = nanobind;

// --- Signature tables -----------------------------------------------------------------------

enum class ParamKind : std::uint8_t {
    PositionalOrKeyword,  // before `*` in the text signature
    KeywordOnly,          // after `*`
};

// What a body gets for an omitted parameter.
enum class Omitted : std::uint8_t {
    Required,  // never omitted: the parser raises first
    Fallback,  // the handle's default value
    None,      // nothing; None passed counts as omitted
};

// The text a signature line shows for a default, kept in the table itself.
struct DefaultText {
    static constexpr std::size_t kCapacity = 32;
    std::array<char, kCapacity> chars{};
    std::size_t size = 0;

    constexpr std::string_view view() const { return {chars.data(), size}; }
    constexpr bool empty() const { return size == 0; }
    constexpr void put(std::string_view piece) {
        if (piece.size() > kCapacity - size) throw "default text too long for a signature table";
        for (const char c : piece)
            chars[size++] = c;
    }
};

// One row of a signature table, as the parser and the docstring read it.
struct Param {
    std::string_view name;
    ParamKind kind = ParamKind::PositionalOrKeyword;
    bool required = false;         // no default in the text signature
    DefaultText default_text;      // the default the text signature shows ("None", "' '")
    const void* handle = nullptr;  // the handle the row was built from (set by `signature`)
};

namespace detail {

// The text of a default value as Python writes the literal.
consteval DefaultText show(bool value) {
    DefaultText out;
    out.put(value ? "True" : "False");
    return out;
}
consteval DefaultText show_whole(bool negative, std::uint64_t magnitude, std::string_view tail) {
    char digits[20] = {};
    std::size_t n = 0;
    do {
        digits[n++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    DefaultText out;
    if (negative) out.put("-");
    while (n != 0)
        out.put(std::string_view(&digits[--n], 1));
    out.put(tail);
    return out;
}
consteval DefaultText show(std::uint64_t value) {
    return show_whole(false, value, {});
}
consteval DefaultText show(std::int64_t value) {
    const std::uint64_t bits = static_cast<std::uint64_t>(value);
    return show_whole(value < 0, value < 0 ? 0 - bits : bits, {});
}
// Whole numbers only ("0.0"): another value would need a shortest round-trip text.
consteval DefaultText show(double value) {
    if (!(value > -9007199254740992.0 && value < 9007199254740992.0) ||
        static_cast<double>(static_cast<std::int64_t>(value)) != value) {
        throw "a float default must be a whole number below 2**53";
    }
    return show_whole(value < 0, static_cast<std::uint64_t>(value < 0 ? -value : value), ".0");
}
// A one-character str, in single quotes (' ').
consteval DefaultText show(char32_t value) {
    if (value < 0x20 || value > 0x7e || value == U'\'' || value == U'\\') {
        throw "a character default must be printable ASCII, not a quote or backslash";
    }
    const char c = static_cast<char>(value);
    DefaultText out;
    out.put("'");
    out.put(std::string_view(&c, 1));
    out.put("'");
    return out;
}
// A str, in double quotes ("readonly").
consteval DefaultText show(std::string_view value) {
    for (const char c : value) {
        if (c < 0x20 || c > 0x7e || c == '"' || c == '\\') {
            throw "a str default must be printable ASCII, not a quote or backslash";
        }
    }
    DefaultText out;
    out.put("\"");
    out.put(value);
    out.put("\"");
    return out;
}
consteval DefaultText show_none() {
    DefaultText out;
    out.put("None");
    return out;
}

inline nb::handle no_conversion(nb::handle obj) {
    return obj;
}

}  // namespace detail

inline constexpr std::size_t kMaxParams = 16;

// What the parser reads from a signature table.
struct SignatureView {
    std::string_view display;  // "image()", or "Header.get()" for a method
    std::span<const Param> params;
    std::size_t positional = 0;           // the parameters before `*`
    std::size_t required_positional = 0;  // those of them without a default
};

template <std::size_t N>
struct Signature {
    std::string_view display;
    std::array<Param, N> params;
    std::size_t positional = 0;
    std::size_t required_positional = 0;

    constexpr operator SignatureView() const {
        return {display, params, positional, required_positional};
    }
};

// Builds a signature table at compile time from named handles. A table that breaks the rules
// of a Python signature (too many parameters, keyword-only before positional, a required
// positional after an optional one, a repeated name) or a display other than "name()" or
// "Class.name()" does not compile.
template <class... A>
consteval Signature<sizeof...(A)> signature(std::string_view display, const A&... args) {
    static_assert(sizeof...(A) <= kMaxParams, "too many parameters for the argument parser");
    Signature<sizeof...(A)> sig{display, {args.param...}};
    const void* handles[] = {static_cast<const void*>(&args)..., nullptr};
    for (std::size_t i = 0; i < sig.params.size(); ++i)
        sig.params[i].handle = handles[i];
    if (!display.ends_with("()") || display.size() < 3 || display.starts_with('.') ||
        display.find('.') != display.rfind('.') || display.ends_with(".()")) {
        throw "display must be name() or Class.name()";
    }
    bool keyword_seen = false;
    bool optional_seen = false;
    for (std::size_t i = 0; i < sig.params.size(); ++i) {
        const Param& p = sig.params[i];
        if (p.name.empty()) throw "parameter without a name";
        if (p.kind == ParamKind::KeywordOnly) {
            keyword_seen = true;
            continue;
        }
        if (keyword_seen) throw "positional parameter after a keyword-only one";
        if (!p.required) optional_seen = true;
        if (p.required && optional_seen)
            throw "required positional parameter after an optional one";
        ++sig.positional;
        if (p.required) ++sig.required_positional;
    }
    for (std::size_t i = 0; i < sig.params.size(); ++i) {
        for (std::size_t j = i + 1; j < sig.params.size(); ++j) {
            if (sig.params[i].name == sig.params[j].name) throw "repeated parameter name";
        }
    }
    return sig;
}

// --- Docstrings whose signature line is built from the table ----------------------------------

// Whether the signature line starts with `$self` (a method) or not (a function, a static
// method, a class's constructor).
enum class Receiver : std::uint8_t { None, Self };

namespace detail {

// The name a signature line shows for a display: "get" for "Header.get()", "image" for
// "image()", the class for a constructor ("ImageHdu" for "ImageHdu.__new__()").
constexpr std::string_view text_name(std::string_view display) {
    const std::string_view callable = display.substr(0, display.size() - 2);
    const std::size_t dot = callable.find('.');
    if (dot == std::string_view::npos) return callable;
    const std::string_view member = callable.substr(dot + 1);
    return member == "__new__" || member == "__init__" ? callable.substr(0, dot) : member;
}

// Writes the docstring of `sig` through `put`, one piece at a time: the signature line
// ("name($self, a, b=None, *, c=0)"), the "--" line and an empty one, then `description`.
template <class Put>
constexpr void write_doc(SignatureView sig, Receiver receiver, std::string_view description,
                         Put&& put) {
    put(text_name(sig.display));
    put("(");
    bool first = true;
    const auto separate = [&] {
        if (!first) put(", ");
        first = false;
    };
    if (receiver == Receiver::Self) {
        separate();
        put("$self");
    }
    bool keyword_marked = false;
    for (const Param& p : sig.params) {
        separate();
        if (p.kind == ParamKind::KeywordOnly && !keyword_marked) {
            keyword_marked = true;
            put("*, ");
        }
        put(p.name);
        if (!p.required) {
            put("=");
            put(p.default_text.view());
        }
    }
    put(")\n--\n\n");
    put(description);
}

// The length of the docstring before its description.
consteval std::size_t head_size(SignatureView sig, Receiver receiver) {
    std::size_t size = 0;
    write_doc(sig, receiver, {}, [&](std::string_view piece) { size += piece.size(); });
    return size;
}

}  // namespace detail

// A binding's name and docstring, NUL-terminated, built at compile time, with the signature
// table they were built from.
template <std::size_t N>
struct DocText {
    SignatureView sig;
    Receiver receiver = Receiver::None;
    std::size_t doc_at = 0;
    std::array<char, N> chars{};

    constexpr const char* name() const { return chars.data(); }
    constexpr const char* doc() const { return chars.data() + doc_at; }
};

// The docstring of a function, static method or class (its constructor's signature line),
// then `description`; `Sig` is a namespace-scope signature table.
template <const auto& Sig, Receiver R = Receiver::None, std::size_t D>
consteval auto function_doc(const char (&description)[D]) {
    const std::string_view text(description, D - 1);
    constexpr std::string_view name = detail::text_name(Sig.display);
    DocText<name.size() + 1 + detail::head_size(Sig, R) + (D - 1) + 1> out{Sig, R, name.size() + 1};
    std::size_t at = 0;
    const auto put = [&](std::string_view piece) {
        for (const char c : piece)
            out.chars[at++] = c;
    };
    put(name);
    out.chars[at++] = '\0';
    detail::write_doc(Sig, R, text, put);
    out.chars[at] = '\0';
    return out;
}

// The docstring of a method: its signature line starts with `$self`.
template <const auto& Sig, std::size_t D>
consteval auto method_doc(const char (&description)[D]) {
    return function_doc<Sig, Receiver::Self>(description);
}
// --- Conversions of single objects ------------------------------------------------------------

// The qualified name of the object's type ("int", "float64", "Header").
std::string type_name_of(nb::handle obj);

// "'{type}' object is not an instance of '{expected}'".
std::string not_instance_message(nb::handle obj, std::string_view expected);

// The same for a parameter that requires an object: None gives
// "'None' is not an instance of '{expected}'".
std::string required_instance_message(nb::handle obj, std::string_view expected);

[[noreturn]] void raise_not_instance(nb::handle obj, std::string_view expected);
[[noreturn]] void raise_required_instance(nb::handle obj, std::string_view expected);

// A Python bool, or a NumPy boolean scalar (type "bool_" or "bool" of module "numpy", checked
// without importing NumPy) by its truth value; anything else raises the TypeError
// "'{type}' object is not an instance of 'bool'".
bool to_bool(nb::handle obj);

// Whether a type is NumPy's boolean scalar type, recognised by name and module so that NumPy
// need not be imported.
bool is_numpy_bool(PyTypeObject* type);
// Whether a type is of module "numpy" and has one of these names (no NumPy import).
bool is_numpy_type(PyTypeObject* type, std::initializer_list<std::string_view> names);

// Integers through the index protocol; CPython's own TypeError for a non-integer and
// OverflowError for a value out of range (a negative value for the unsigned form).
std::int64_t to_i64(nb::handle obj);
std::uint64_t to_u64(nb::handle obj);
// A real number through the float protocol (CPython's TypeError otherwise).
double to_f64(nb::handle obj);
// A str as UTF-8; anything else raises "'{type}' object is not an instance of 'str'"
// ("'None' is not an instance of 'str'" for None).
std::string to_string(nb::handle obj);

// The file-system bytes of a path given as a str or an os.PathLike yielding a str. The
// protocol's TypeError for other objects (a bytes path gives
// "'bytes' object is not an instance of 'str'"); ValueError "embedded null byte", since the
// operating system would read the path only up to the first NUL.
std::string to_path(nb::handle obj);

// The bound class T, or the TypeError of `required_instance_message` naming `expected`.
template <class T>
T& cast_instance(nb::handle obj, std::string_view expected) {
    ensure(obj.is_valid(), "cast_instance() without an object");
    if (!nb::isinstance<T>(obj)) raise_required_instance(obj, expected);
    return nb::cast<T&>(obj);
}

// --- The wrapping of a conversion's TypeError -------------------------------------------------

namespace detail {
[[noreturn]] void rethrow_named(std::string_view param);
}

// Runs `convert()`. A TypeError it raises (as BuiltinError, nanobind builtin exception or
// Python error) is replaced by TypeError "argument '{param}': {text of the first error}" whose
// cause is the first error's own cause; any other failure passes through unchanged.
template <class F>
decltype(auto) with_arg_name(std::string_view param, F&& convert) {
    try {
        return std::forward<F>(convert)();
    } catch (...) {
        detail::rethrow_named(param);
    }
}

// --- Parameter handles ------------------------------------------------------------------------

// What a handle of type T keeps as its default: the text of a str, the value of a number or
// bool, nothing for other types (their only default is None).
struct NoFallback {};
template <class T>
using Fallback = std::conditional_t<std::is_same_v<T, std::string>, std::string_view,
                                    std::conditional_t<std::is_arithmetic_v<T>, T, NoFallback>>;

// What a body gets for a parameter whose default is None: the object itself for a raw object
// (a null handle when omitted or None), a pointer for a bound class, std::optional otherwise.
template <class T>
using Maybe = std::conditional_t<
    std::is_same_v<T, nb::handle>, nb::handle,
    std::conditional_t<std::is_reference_v<T>, std::remove_reference_t<T>*, std::optional<T>>>;

// A typed parameter handle: a row of a signature table, the conversion of a passed object to
// T (a TypeError it raises becomes "argument '{name}': ...") and, for Omitted::Fallback, the
// default. Declared once, at namespace scope, beside the table that lists it.
template <class T, Omitted O>
struct Arg {
    Param param;
    T (*convert)(nb::handle);
    Fallback<T> fallback{};
};

// The conversion of a handle whose declaration names none: the bool-only rule for bool, the
// index protocol for integers, the float protocol for double, str only for std::string, and
// the object itself for nb::handle.
template <class T>
consteval auto default_conversion() {
    if constexpr (std::is_same_v<T, bool>)
        return &to_bool;
    else if constexpr (std::is_same_v<T, std::int64_t>)
        return &to_i64;
    else if constexpr (std::is_same_v<T, std::uint64_t>)
        return &to_u64;
    else if constexpr (std::is_same_v<T, double>)
        return &to_f64;
    else if constexpr (std::is_same_v<T, std::string>)
        return &to_string;
    else if constexpr (std::is_same_v<T, nb::handle>)
        return &detail::no_conversion;
    else
        static_assert(sizeof(T) == 0, "this type needs its conversion named");
}

// A parameter without a default.
template <class T>
consteval Arg<T, Omitted::Required> required(std::string_view name,
                                             T (*convert)(nb::handle) = default_conversion<T>()) {
    return {{name, ParamKind::PositionalOrKeyword, true, {}}, convert};
}
// A parameter whose default is `fallback` (its text is what the signature shows).
template <class T>
consteval Arg<T, Omitted::Fallback> optional(std::string_view name, Fallback<T> fallback,
                                             T (*convert)(nb::handle) = default_conversion<T>()) {
    return {
        {name, ParamKind::PositionalOrKeyword, false, detail::show(fallback)}, convert, fallback};
}
// A parameter whose default is None.
template <class T>
consteval Arg<T, Omitted::None> or_none(std::string_view name,
                                        T (*convert)(nb::handle) = default_conversion<T>()) {
    return {{name, ParamKind::PositionalOrKeyword, false, detail::show_none()}, convert};
}
// The same parameter after `*` in the signature.
template <class T, Omitted O>
consteval Arg<T, O> keyword_only(Arg<T, O> arg) {
    arg.param.kind = ParamKind::KeywordOnly;
    return arg;
}

// --- Parsed arguments -------------------------------------------------------------------------

// The arguments of one call, matched to its table. The objects are borrowed from the call,
// whose caller holds them until the call returns: an Args lives no longer than that.
class Args {
  public:
    explicit Args(SignatureView sig) : sig_(sig) {
        std::fill_n(values_.begin(), sig.params.size(), nullptr);
    }

    // The argument of `arg` converted to T: the default when omitted (Omitted::Fallback), or
    // nothing when omitted or None (Omitted::None, see `Maybe`).
    template <class T, Omitted O>
    auto get(const Arg<T, O>& arg) const -> std::conditional_t<O == Omitted::None, Maybe<T>, T> {
        const nb::handle h = passed(arg);
        if constexpr (O == Omitted::Required) {
            ensure(h.is_valid(), "a required argument was omitted");
            return read(arg, h);
        } else if constexpr (O == Omitted::Fallback) {
            if (!h.is_valid()) return T(arg.fallback);
            return read(arg, h);
        } else {
            if (!h.is_valid() || h.is_none()) return Maybe<T>{};
            if constexpr (std::is_reference_v<T>) {
                return &read(arg, h);
            } else {
                return Maybe<T>(read(arg, h));
            }
        }
    }

    // The object passed for `arg` as given, or a null handle when it was omitted.
    template <class T, Omitted O>
    nb::handle passed(const Arg<T, O>& arg) const {
        for (std::size_t i = 0; i < sig_.params.size(); ++i) {
            if (sig_.params[i].handle == &arg) return values_[i];
        }
        not_in_table(arg.param.name);
    }

  private:
    friend struct ArgsBuilder;

    template <class T, Omitted O>
    static T read(const Arg<T, O>& arg, nb::handle h) {
        if constexpr (std::is_same_v<T, nb::handle>) {
            return h;
        } else {
            return with_arg_name(arg.param.name, [&]() -> T { return arg.convert(h); });
        }
    }

    // The panic of a body that reads a handle its table does not list.
    [[noreturn]] void not_in_table(std::string_view name) const;

    SignatureView sig_;
    std::array<PyObject*, kMaxParams> values_;  // the first sig_.params.size(); null if omitted
};

// Matches a call to the signature. Raises TypeError for too many positional arguments, an
// unexpected keyword, a parameter given twice, and missing required parameters (in that
// order of checks).
Args parse_args(SignatureView sig, const nb::args& args, const nb::kwargs& kwargs);

// The vectorcall form: `nargs` positional objects, then one object per name in `kwnames`
// (a tuple of str, or nullptr).
Args parse_args(SignatureView sig, PyObject* const* args, std::size_t nargs, PyObject* kwnames);

}  // namespace vexlo::py
