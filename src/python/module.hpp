// Building the vexlo module: the export order, how binding files hook their classes and
// functions into initialisation, and the helpers that make those objects.
//
// A binding file registers each exported name with a static Registration:
//
//   nb::object make_header_class(nb::module_& m) {
//       return bound_class<PyHeader>([&] {
//           return nb::class_<PyHeader>(m, "Header", "Header(mapping=None)\n--\n\n"
//                                       "Dict-like view of a FITS header.", nb::is_final())
//               .def(...);
//       });
//   }
//   const Registration kHeaderRegistration{"Header", make_header_class};
//
//   constexpr auto kData = required<nb::handle>("data");
//   constexpr auto kHeader = or_none<nb::handle>("header");
//   constexpr auto kPrimary = optional<bool>("primary", true);
//   constexpr auto kImageSig = signature("image()", kData, kHeader, kPrimary);
//   constexpr auto kImageDoc = function_doc<kImageSig>("Build an image HDU from an array.");
//   nb::object image(const Args& args) { ... args.get(kPrimary) ... }
//   constexpr FunctionDef kImage{kImageDoc, image};
//   const Registration kImageRegistration{"image", [](nb::module_& m) {
//       return make_function<kImage>(m);
//   }};
//
// Initialisation adds every registered name in the order of kExportOrder, whatever the order
// in which the binding files were linked.
#pragma once

#include <nanobind/nanobind.h>

#include <array>
#include <cstddef>
#include <string_view>
#include <utility>

#include "python/args.hpp"

namespace vexlo::py {

namespace nb = nanobind;

inline constexpr std::string_view kVersion = "0.5.0";

// The key, in the interpreter's shared dictionary, of a capsule holding a pointer to this
// module's force_parts_for_tests (util/parallel). The test-only extension links a copy of
// the core of its own, so a part count forced there alone would never reach this module's
// passes; through the capsule it forces both, as both raise the one FitsError class.
inline constexpr const char* kPartsOverrideKey = "vexlo.force_parts_for_tests";
// The same for a pointer to this module's file_bytes_read_for_tests (io/source): the bytes
// read from files by this module's own copy of the core.
inline constexpr const char* kFileBytesReadKey = "vexlo.file_bytes_read_for_tests";

// The names that follow __version__ and FitsError in __all__, in the order they are added:
// the fourteen public classes, then the fifteen module functions.
inline constexpr std::array<std::string_view, 29> kExportOrder = {
    "FitsFile",
    "Header",
    "HeaderCommentary",
    "ImageHdu",
    "_ImageSection",
    "RandomGroups",
    "BinTable",
    "AsciiTable",
    "Wcs",
    "WcsFit",
    "ImageBuilder",
    "BinTableBuilder",
    "AsciiTableBuilder",
    "FitsDiff",
    "open",
    "image",
    "bintable",
    "ascii_table",
    "write",
    "compressed_image",
    "fit_wcs",
    "diff",
    "getdata",
    "getheader",
    "getval",
    "setval",
    "delval",
    "info",
    "append",
};

// Appends `name` to module.__all__ (created as an empty list when missing) and then sets the
// attribute. A __all__ that is not a list raises TypeError
// "'{type}' object is not an instance of 'list'".
void register_attr(nb::handle module, std::string_view name, nb::handle value);

// Builds the object exported under one name, for the module being initialised. Called once
// per initialisation (a re-import initialises a new module object).
using Registrar = nb::object (*)(nb::module_& module);

// Declared as a namespace-scope constant in a binding file; records the registrar before the
// module is initialised. The name must be one of kExportOrder and registered only once
// (initialisation panics otherwise).
struct Registration {
    Registration(std::string_view name, Registrar make);
};

// The Python class bound to T. `build()` makes it (with nb::class_, which also sets it on the
// module) on the first initialisation in the process; later initialisations reuse it, so
// class identity survives a re-import. Classes are declared with nb::is_final() and without
// nb::dynamic_attr() or nb::is_weak_referenceable().
template <class T, class Build>
nb::object bound_class(Build&& build) {
    if (nb::handle existing = nb::type<T>()) return nb::borrow(existing);
    return nb::object(std::forward<Build>(build)());
}

// A module function: a built-in function bound to the module (its __module__ is the module's
// name) that takes positional and keyword arguments. The call matches its arguments to `sig`
// and passes them to `body`; every failure leaves as the Python exception that
// `set_error_from_current_exception` describes.
using FunctionBody = nb::object (*)(const Args& args);

struct FunctionDef {
    const char* name;
    SignatureView sig;
    // Text signature line, then "--" and an empty line, then the description; the interpreter
    // exposes the first part as __text_signature__ and the rest as __doc__.
    const char* doc;
    FunctionBody body;

    // Name, table and docstring all from one `function_doc` text.
    template <std::size_t N>
    consteval FunctionDef(const DocText<N>& text, FunctionBody body)
        : name(text.name()), sig(text.sig), doc(text.doc()), body(body) {
        if (text.receiver != Receiver::None) throw "a function's docstring has no $self";
    }
};

namespace detail {
PyObject* call_function(const FunctionDef& def, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept;
nb::object new_builtin(PyMethodDef* method, nb::handle module);

template <const FunctionDef& Def>
PyObject* function_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_function(Def, args, nargs, kwnames);
}
}  // namespace detail

// `Def` must be a namespace-scope constexpr FunctionDef.
template <const FunctionDef& Def>
nb::object make_function(nb::handle module) {
    static PyMethodDef method = {
        Def.name,
        reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&detail::function_entry<Def>)),
        METH_FASTCALL | METH_KEYWORDS, Def.doc};
    return detail::new_builtin(&method, module);
}

// Adds `Def` to the class as a static method (no __self__; __module__ is `module_name`).
// `Def` must be a namespace-scope constexpr FunctionDef.
template <const FunctionDef& Def>
void add_static_method(nb::handle cls, nb::handle module_name) {
    static PyMethodDef method = {
        Def.name,
        reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&detail::function_entry<Def>)),
        METH_FASTCALL | METH_KEYWORDS, Def.doc};
    nb::object function = nb::steal(PyCFunction_NewEx(&method, nullptr, module_name.ptr()));
    if (!function.is_valid()) throw nb::python_error();
    nb::handle staticmethod = PyDict_GetItemString(PyEval_GetBuiltins(), "staticmethod");
    ensure(staticmethod.is_valid(), "builtins.staticmethod is missing");
    nb::setattr(cls, Def.name, staticmethod(function));
}

}  // namespace vexlo::py
