// The shared argument parser of every Python entry point. A static table names the
// parameters; parsing matches positional and keyword arguments to it and raises the
// argument-count and keyword TypeErrors, and the accessors convert single arguments so that a
// TypeError from a conversion names the parameter ("argument 'x': ...").
//
//   constexpr auto kImageSig = signature("image()", required("data"), optional("header", "None"),
//                                        optional("primary", "True"));
//   constexpr auto kImageDoc = function_doc<kImageSig>("Build an image HDU from an array.");
//   ...
//   Args p = parse_args(kImageSig, args, kwargs);       // nb::args, nb::kwargs
//   bool primary = p.flag("primary", true);
//   auto header = p.convert_opt("header", to_header);   // std::optional<...>
//
// Where a signature changes: only in its `signature(...)` table. The table is the one written
// form of a binding's names, order, keyword-only marker and shown defaults; the docstring's
// first line ("image(data, header=None, primary=True)", which Python reads as
// __text_signature__) is built from it at compile time by `function_doc` or `method_doc`,
// and the MethodDef or FunctionDef takes its name from there. Never write a signature line by
// hand; the default text of an optional parameter must match what its body does when the
// parameter is omitted.
#pragma once

#include <nanobind/nanobind.h>

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

enum class ParamKind : std::uint8_t {
    PositionalOrKeyword,  // before `*` in the text signature
    KeywordOnly,          // after `*`
};

struct Param {
    std::string_view name;
    ParamKind kind = ParamKind::PositionalOrKeyword;
    bool required = false;          // no default in the text signature
    std::string_view default_text;  // the default the text signature shows ("None", "' '")
};

constexpr Param required(std::string_view name) {
    return {name, ParamKind::PositionalOrKeyword, true, {}};
}
constexpr Param optional(std::string_view name, std::string_view default_text) {
    return {name, ParamKind::PositionalOrKeyword, false, default_text};
}
constexpr Param keyword_only(std::string_view name, std::string_view default_text) {
    return {name, ParamKind::KeywordOnly, false, default_text};
}
constexpr Param keyword_only_required(std::string_view name) {
    return {name, ParamKind::KeywordOnly, true, {}};
}

inline constexpr std::size_t kMaxParams = 16;

// What the parser reads from a signature table.
struct SignatureView {
    std::string_view display;  // "image()", or "Header.get()" for a method
    std::span<const Param> params;
};

template <std::size_t N>
struct Signature {
    std::string_view display;
    std::array<Param, N> params;

    constexpr operator SignatureView() const { return {display, params}; }
};

// Builds a signature table at compile time. A table that breaks the rules of a Python
// signature (too many parameters, keyword-only before positional, a required positional after
// an optional one, a repeated name, an optional parameter without a default to show) or a
// display other than "name()" or "Class.name()" does not compile.
template <class... P>
consteval Signature<sizeof...(P)> signature(std::string_view display, P... params) {
    Signature<sizeof...(P)> sig{display, {params...}};
    static_assert(sizeof...(P) <= kMaxParams, "too many parameters for the argument parser");
    if (!display.ends_with("()") || display.size() < 3 || display.starts_with('.') ||
        display.find('.') != display.rfind('.') || display.ends_with(".()")) {
        throw "display must be name() or Class.name()";
    }
    bool keyword_seen = false;
    bool optional_seen = false;
    for (std::size_t i = 0; i < sig.params.size(); ++i) {
        const Param& p = sig.params[i];
        if (p.name.empty()) throw "parameter without a name";
        if (p.required != p.default_text.empty()) throw "optional parameter without a default";
        if (p.kind == ParamKind::KeywordOnly) {
            keyword_seen = true;
            continue;
        }
        if (keyword_seen) throw "positional parameter after a keyword-only one";
        if (!p.required) optional_seen = true;
        if (p.required && optional_seen)
            throw "required positional parameter after an optional one";
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
            put(p.default_text);
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

// --- Parsed arguments -------------------------------------------------------------------------

class Args {
  public:
    explicit Args(SignatureView sig) : sig_(sig) {}

    const SignatureView& signature() const { return sig_; }

    // The object passed for the parameter, or a null handle when it was omitted.
    nb::handle get(std::string_view name) const { return values_[index(name)]; }

    // The same, but None counts as omitted (for parameters whose default is None).
    nb::handle get_opt(std::string_view name) const {
        nb::handle h = get(name);
        return h.is_none() ? nb::handle() : h;
    }

    bool given(std::string_view name) const { return get(name).is_valid(); }

    // A boolean parameter (see `to_bool`), `fallback` when omitted.
    bool flag(std::string_view name, bool fallback) const {
        nb::handle h = get(name);
        if (!h.is_valid()) return fallback;
        return with_arg_name(name, [&] { return to_bool(h); });
    }

    // `convert(handle)` on a parameter that must have been passed (a required one).
    template <class F>
    decltype(auto) convert(std::string_view name, F&& fn) const {
        nb::handle h = get(name);
        ensure(h.is_valid(), "convert() on an omitted argument");
        return with_arg_name(name, [&]() -> decltype(auto) { return fn(h); });
    }

    // `convert(handle)`, or nothing when omitted or None.
    template <class F>
    auto convert_opt(std::string_view name, F&& fn) const
        -> std::optional<std::remove_cvref_t<std::invoke_result_t<F&, nb::handle>>> {
        nb::handle h = get_opt(name);
        if (!h.is_valid()) return std::nullopt;
        return with_arg_name(name, [&] { return fn(h); });
    }

    // `convert(handle)`, or `fallback` when omitted.
    template <class F, class D>
    auto convert_or(std::string_view name, D&& fallback, F&& fn) const
        -> std::remove_cvref_t<std::invoke_result_t<F&, nb::handle>> {
        nb::handle h = get(name);
        if (!h.is_valid()) return std::forward<D>(fallback);
        return with_arg_name(name, [&] { return fn(h); });
    }

    // A required instance of the bound class T; `expected` is its Python name for messages.
    template <class T>
    T& instance(std::string_view name, std::string_view expected) const {
        nb::handle h = get(name);
        ensure(h.is_valid(), "instance() on an omitted argument");
        return with_arg_name(name, [&]() -> T& { return cast_instance<T>(h, expected); });
    }

    // An optional instance of T: nullptr when omitted or None.
    template <class T>
    T* instance_opt(std::string_view name, std::string_view expected) const {
        nb::handle h = get_opt(name);
        if (!h.is_valid()) return nullptr;
        return &with_arg_name(name, [&]() -> T& { return cast_instance<T>(h, expected); });
    }

  private:
    friend struct ArgsBuilder;

    std::size_t index(std::string_view name) const;

    SignatureView sig_;
    std::array<nb::object, kMaxParams> values_;
};

// Matches a call to the signature. Raises TypeError for too many positional arguments, an
// unexpected keyword, a parameter given twice, and missing required parameters (in that
// order of checks).
Args parse_args(SignatureView sig, const nb::args& args, const nb::kwargs& kwargs);

// The vectorcall form: `nargs` positional objects, then one object per name in `kwnames`
// (a tuple of str, or nullptr).
Args parse_args(SignatureView sig, PyObject* const* args, std::size_t nargs, PyObject* kwnames);

}  // namespace vexlo::py
