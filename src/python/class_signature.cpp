// inspect.signature of the exported classes. Each class carries its text signature in its
// docstring, but inspect asks the class's __init__ first, and nanobind's method objects
// carry none, so the lookup fails (3.11, 3.12) or answers (*args, **kwargs) (3.13). A
// `__signature__` descriptor on the class answers first on every version; it builds the
// Signature on use, so importing vexlo does not import inspect.
#include "python/class_signature.hpp"

#include <nanobind/stl/string.h>

#include <string>

#include "python/errors.hpp"

namespace vexlo::py {

namespace {

// The Signature of `owner` made from its text signature, or None where it has none.
PyObject* signature_get(PyObject*, PyObject* instance, PyObject* owner) {
    try {
        // Instances are not callable: only the class itself has a signature to give.
        if ((instance != nullptr && instance != Py_None) || owner == nullptr) Py_RETURN_NONE;
        nb::object text = nb::steal(PyObject_GetAttrString(owner, "__text_signature__"));
        if (!text.is_valid()) throw nb::python_error();
        if (text.is_none()) Py_RETURN_NONE;
        // "(a, b=None)": a lambda with the same parameter list has the same Signature.
        std::string params = nb::cast<std::string>(text);
        params = params.substr(1, params.size() - 2);
        nb::object lambda = nb::module_::import_("builtins")
                                .attr("eval")("lambda " + params + ": None");
        nb::object signature = nb::module_::import_("inspect").attr("signature")(lambda);
        return signature.release().ptr();
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

nb::handle descriptor_type() {
    static PyType_Slot slots[] = {
        {Py_tp_descr_get, reinterpret_cast<void*>(signature_get)},
        {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
        {Py_tp_doc, const_cast<char*>("The inspect.Signature of the class it is set on.")},
        {0, nullptr},
    };
    static PyType_Spec spec = {"vexlo._ClassSignature", sizeof(PyObject), 0,
                               Py_TPFLAGS_DEFAULT, slots};
    static PyObject* type = PyType_FromSpec(&spec);
    if (type == nullptr) throw nb::python_error();
    return type;
}

}  // namespace

void add_class_signature(nb::handle cls) {
    if (!PyType_Check(cls.ptr())) return;
    nb::object descriptor = nb::steal(PyObject_CallObject(descriptor_type().ptr(), nullptr));
    if (!descriptor.is_valid()) throw nb::python_error();
    if (PyObject_SetAttrString(cls.ptr(), "__signature__", descriptor.ptr()) != 0) {
        throw nb::python_error();
    }
}

}  // namespace vexlo::py
