// The vexlo extension module: initialisation, the export order and module functions.
#include "python/module.hpp"

#include <cstdint>
#include <string>
#include <vector>

#include "io/source.hpp"
#include "python/class_signature.hpp"
#include "python/errors.hpp"
#include "util/parallel.hpp"

namespace vexlo::py {

namespace {

struct Registered {
    std::string_view name;
    Registrar make;
};

// Filled by the static Registration objects of the binding files before the module is
// initialised; a function-local static so the order of static initialisation does not matter.
std::vector<Registered>& registry() {
    static std::vector<Registered> entries;
    return entries;
}

const Registered* find_registration(std::string_view name) {
    for (const Registered& r : registry()) {
        if (r.name == name) return &r;
    }
    return nullptr;
}

// A registration under a name outside the export order, or a name registered twice, is a
// fault of the binding code; catch it before anything is added.
void check_registry() {
    const std::vector<Registered>& entries = registry();
    for (std::size_t i = 0; i < entries.size(); ++i) {
        bool known = false;
        for (std::string_view name : kExportOrder)
            known = known || name == entries[i].name;
        if (!known)
            panic("registration of a name outside the export order: " +
                  std::string(entries[i].name));
        for (std::size_t j = i + 1; j < entries.size(); ++j) {
            if (entries[i].name == entries[j].name) {
                panic("name registered twice: " + std::string(entries[i].name));
            }
        }
    }
}

nb::str to_str(std::string_view text) {
    return nb::str(text.data(), text.size());
}

// Publishes `*fn` in the interpreter's shared dictionary under `key`, for the test-only
// extension (see kPartsOverrideKey).
template <class Fn>
void share_for_tests(const char* key, Fn* const* fn) {
    PyObject* shared = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (shared == nullptr) return;
    nb::object capsule = nb::steal(PyCapsule_New(const_cast<Fn**>(fn), key, nullptr));
    if (!capsule.is_valid()) throw nb::python_error();
    if (PyDict_SetItemString(shared, key, capsule.ptr()) != 0) throw nb::python_error();
}

void share_test_hooks() {
    static void (*const force)(std::size_t) = &force_parts_for_tests;
    static std::uint64_t (*const bytes_read)() = &file_bytes_read_for_tests;
    share_for_tests(kPartsOverrideKey, &force);
    share_for_tests(kFileBytesReadKey, &bytes_read);
}

void init_module(nb::module_& module) {
    install_error_translator();
    share_test_hooks();
    // Made now so that reporting an internal failure never has to create a class.
    ensure(panic_exception_type().is_valid(), "Failed to initialize new exception type.");
    check_registry();

    register_attr(module, "__version__", to_str(kVersion));
    register_attr(module, "FitsError", fits_error_type());
    for (std::string_view name : kExportOrder) {
        if (const Registered* r = find_registration(name)) {
            nb::object value = r->make(module);
            add_class_signature(value);
            register_attr(module, name, value);
        }
    }
}

}  // namespace

void register_attr(nb::handle module, std::string_view name, nb::handle value) {
    nb::object all = nb::steal(PyObject_GetAttrString(module.ptr(), "__all__"));
    if (!all.is_valid()) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
        PyErr_Clear();
        all = nb::steal(PyList_New(0));
        if (!all.is_valid()) throw nb::python_error();
        if (PyObject_SetAttrString(module.ptr(), "__all__", all.ptr()) != 0) {
            throw nb::python_error();
        }
    }
    if (!PyList_Check(all.ptr())) raise_not_instance(all, "list");
    nb::str key = to_str(name);
    if (PyList_Append(all.ptr(), key.ptr()) != 0) {
        PyErr_Clear();
        panic("could not append __name__ to __all__");
    }
    if (PyObject_SetAttr(module.ptr(), key.ptr(), value.ptr()) != 0) throw nb::python_error();
}

Registration::Registration(std::string_view name, Registrar make) {
    registry().push_back({name, make});
}

PyObject* detail::call_function(const FunctionDef& def, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) noexcept {
    try {
        const Args parsed = parse_args(def.sig, args, static_cast<std::size_t>(nargs), kwnames);
        nb::object result = def.body(parsed);
        ensure(result.is_valid(), "module function returned no object");
        return result.release().ptr();
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

nb::object detail::new_builtin(PyMethodDef* method, nb::handle module) {
    nb::object module_name = nb::steal(PyObject_GetAttrString(module.ptr(), "__name__"));
    if (!module_name.is_valid()) throw nb::python_error();
    nb::object function = nb::steal(PyCFunction_NewEx(method, module.ptr(), module_name.ptr()));
    if (!function.is_valid()) throw nb::python_error();
    return function;
}

}  // namespace vexlo::py

NB_MODULE(vexlo, m) {
    m.doc() = "Fast FITS file I/O, WCS transforms and image compression.";
    vexlo::py::guard([&] { vexlo::py::init_module(m); });
}
