// vexlo.HeaderCommentary: a list-like snapshot of the commentary card bodies that share a
// keyword (COMMENT, HISTORY or blank), as header[key] returns it.
#include <Python.h>
#include <nanobind/nanobind.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "python/errors.hpp"
#include "python/header_shared.hpp"
#include "python/method.hpp"
#include "python/module.hpp"

namespace vexlo::py {

namespace {

struct CommentaryObject {
    std::vector<std::string> texts;
};

Py_ssize_t commentary_length(PyObject* self) {
    Py_ssize_t result = -1;
    guard_c(
        [&] { result = static_cast<Py_ssize_t>(self_state<CommentaryObject>(self).texts.size()); });
    return result;
}

PyObject* commentary_subscript(PyObject* self, PyObject* idx) {
    PyObject* result = nullptr;
    guard_c([&] {
        const std::vector<std::string>& texts = self_state<CommentaryObject>(self).texts;
        const std::int64_t given = with_arg_name("idx", [&] { return to_i64(idx); });
        const auto len = static_cast<std::int64_t>(texts.size());
        const std::int64_t at = given < 0 ? given + len : given;
        if (at < 0 || at >= len) {
            raise(PyExc_KeyError, "index " + std::to_string(at) +
                                      " out of range (len=" + std::to_string(len) + ")");
        }
        result = to_py_str(texts[static_cast<std::size_t>(at)]).release().ptr();
    });
    return result;
}

PyObject* commentary_iter(PyObject* self) {
    PyObject* result = nullptr;
    guard_c([&] {
        nb::list list;
        for (const std::string& t : self_state<CommentaryObject>(self).texts)
            list.append(to_py_str(t));
        result = PyObject_GetIter(list.ptr());
        if (result == nullptr) throw nb::python_error();
    });
    return result;
}

PyObject* commentary_str(PyObject* self) {
    PyObject* result = nullptr;
    guard_c([&] {
        std::string joined;
        const std::vector<std::string>& texts = self_state<CommentaryObject>(self).texts;
        for (std::size_t i = 0; i < texts.size(); ++i) {
            if (i != 0) joined += '\n';
            joined += texts[i];
        }
        result = to_py_str(joined).release().ptr();
    });
    return result;
}

PyType_Slot kCommentarySlots[] = {
    {Py_mp_subscript, reinterpret_cast<void*>(commentary_subscript)},
    {Py_mp_length, reinterpret_cast<void*>(commentary_length)},
    {Py_tp_iter, reinterpret_cast<void*>(commentary_iter)},
    {Py_tp_str, reinterpret_cast<void*>(commentary_str)},
    {Py_tp_repr, reinterpret_cast<void*>(commentary_str)},
    {0, nullptr},
};

nb::object make_commentary_class(nb::module_& m) {
    return bound_class<CommentaryObject>([&] {
        return nb::class_<CommentaryObject>(
            m, "HeaderCommentary",
            "List-like view of every commentary card body that shares a\n"
            "keyword (COMMENT, HISTORY or blank), taken when it was read from the header.",
            nb::is_final(), nb::type_slots(kCommentarySlots));
    });
}

const Registration kCommentaryRegistration{"HeaderCommentary", make_commentary_class};

}  // namespace

nb::object make_commentary_view(std::vector<std::string> texts) {
    return nb::cast(CommentaryObject{std::move(texts)}, nb::rv_policy::move);
}

}  // namespace vexlo::py
