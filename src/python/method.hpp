// Methods of the file and HDU classes as plain method descriptors: called with the fast
// calling convention, parsed by the shared argument parser, and documented with a text
// signature line that the interpreter exposes as __text_signature__.
//
//   constexpr auto kIndex = required<std::uint64_t>("i");
//   constexpr auto kHduSig = signature("FitsFile.hdu()", kIndex);
//   nb::object hdu(PyFitsFile& self, const Args& p) { ... p.get(kIndex) ... }
//   constexpr auto kHduDoc = method_doc<kHduSig>("The HDU at position `i`.");
//   constexpr MethodDef<PyFitsFile> kHdu{kHduDoc, hdu};
//   ...
//   add_method<PyFitsFile, kHdu>(cls);
#pragma once

#include <Python.h>
#include <nanobind/nanobind.h>

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <utility>

#include "python/args.hpp"
#include "python/errors.hpp"
#include "python/file_session.hpp"

namespace vexlo::py {

namespace nb = nanobind;

template <class Self>
struct MethodDef {
    const char* name;
    SignatureView sig;
    // "name($self, ...)", "--", an empty line, then the description.
    const char* doc;
    nb::object (*body)(Self& self, const Args& args);

    // Name, table and docstring all from one `method_doc` text.
    template <std::size_t N>
    consteval MethodDef(const DocText<N>& text, nb::object (*body)(Self&, const Args&))
        : name(text.name()), sig(text.sig), doc(text.doc()), body(body) {
        if (text.receiver != Receiver::Self) throw "a method's docstring comes from method_doc";
    }
};

// The native state of `self`; an instance whose constructor never ran is refused.
template <class Self>
Self& self_state(PyObject* self) {
    if (!nb::inst_ready(self)) raise(PyExc_TypeError, "object is not initialized");
    return *nb::inst_ptr<Self>(self);
}

namespace detail {
template <class Self, const MethodDef<Self>& Def>
PyObject* method_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* result = nullptr;
    guard_c([&] {
        Self& state = self_state<Self>(self);
        const Args parsed = parse_args(Def.sig, args, static_cast<std::size_t>(nargs), kwnames);
        // A call on a file, or on an image of a file opened for update, is one operation of
        // that file, run whole under its operation lock.
        FileSession::Operation operation;
        if constexpr (requires { state.lock_operation(); }) operation = state.lock_operation();
        result = Def.body(state, parsed).release().ptr();
    });
    return result;
}
}  // namespace detail

// Adds `Def` to the class as a method descriptor.
template <class Self, const MethodDef<Self>& Def>
void add_method(nb::handle cls) {
    static PyMethodDef method = {Def.name,
                                 reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(
                                     &detail::method_entry<Self, Def>)),
                                 METH_FASTCALL | METH_KEYWORDS, Def.doc};
    nb::object descr =
        nb::steal(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(cls.ptr()), &method));
    if (!descr.is_valid()) throw nb::python_error();
    nb::setattr(cls, Def.name, descr);
}

// Adds a read-only property whose __doc__ is `doc` itself; `get` maps the native state of
// `self` to the value.
template <class Self, class Get>
void add_property(nb::handle cls, const char* name, Get&& get, const char* doc) {
    nb::object getter = nb::cpp_function([get = std::forward<Get>(get)](nb::handle self) {
        return get(self_state<Self>(self.ptr()));
    });
    nb::handle property_type = reinterpret_cast<PyObject*>(&PyProperty_Type);
    nb::setattr(cls, name, property_type(getter, nb::none(), nb::none(), nb::str(doc)));
}

// Runs `work`, core work that touches no Python object, with the interpreter lock released,
// and returns its result. Whatever it reads must stay alive and unchanged meanwhile: held by
// the caller, not yet shared with Python, or never mutated after construction.
template <class F>
decltype(auto) without_gil(F&& work) {
    nb::gil_scoped_release release;
    return std::forward<F>(work)();
}

// A Python-style index into a sequence of `len` items: a negative value counts from the end,
// once. Nothing when the result is outside the sequence.
inline std::optional<std::uint64_t> wrap_index(std::int64_t given, std::uint64_t len) {
    if (given >= 0) {
        const auto at = static_cast<std::uint64_t>(given);
        if (at >= len) return std::nullopt;
        return at;
    }
    // The magnitude in unsigned arithmetic, exact for the most negative value too.
    const std::uint64_t back = 0 - static_cast<std::uint64_t>(given);
    if (back > len) return std::nullopt;
    return len - back;
}

}  // namespace vexlo::py
