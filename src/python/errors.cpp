#include "python/errors.hpp"

#include <cstdio>
#include <new>
#include <string>

namespace vexlo::py {

namespace {

// Exception classes live for the whole process: the cells are never released, so a
// re-import of the module hands out the very same class objects. They are also kept in the
// interpreter's dictionary under their full name, so that another extension linking these
// bindings (the test suite's hook module) raises the very classes vexlo exports.
PyObject* new_exception_class(const char* name, const char* doc, PyObject* base) {
    PyObject* shared = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (shared != nullptr) {
        if (PyObject* existing = PyDict_GetItemString(shared, name)) {
            Py_INCREF(existing);
            return existing;
        }
    }
    PyObject* type = PyErr_NewExceptionWithDoc(name, doc, base, nullptr);
    if (type != nullptr && shared != nullptr) (void)PyDict_SetItemString(shared, name, type);
    PyErr_Clear();
    return type;
}

PyObject* builtin_class(nb::exception_type type) {
    switch (type) {
        case nb::exception_type::runtime_error:
            return PyExc_RuntimeError;
        case nb::exception_type::stop_iteration:
            return PyExc_StopIteration;
        case nb::exception_type::index_error:
            return PyExc_IndexError;
        case nb::exception_type::key_error:
            return PyExc_KeyError;
        case nb::exception_type::value_error:
            return PyExc_ValueError;
        case nb::exception_type::type_error:
            return PyExc_TypeError;
        case nb::exception_type::buffer_error:
            return PyExc_BufferError;
        case nb::exception_type::import_error:
            return PyExc_ImportError;
        case nb::exception_type::attribute_error:
            return PyExc_AttributeError;
        case nb::exception_type::next_overload:
            break;
    }
    return nullptr;
}

// Sets `type` with the message as its single argument.
void set_with_message(PyObject* type, std::string_view message) {
    PyObject* text =
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
    if (text == nullptr) return;  // MemoryError is already set
    PyErr_SetObject(type, text);
    Py_DECREF(text);
}

// Source paths are recorded as the compiler saw them; the part from "src/" on is enough to
// find the line.
std::string_view short_path(std::string_view path) {
    const std::size_t at = path.rfind("/src/");
    return at == std::string_view::npos ? path : path.substr(at + 1);
}

// Writes the internal-failure report and sets the panic exception.
void report_panic(std::string_view message, const std::source_location* where) noexcept {
    if (where != nullptr) {
        const std::string_view file = short_path(where->file_name());
        std::fprintf(stderr, "vexlo panicked at %.*s:%u:%u:\n%.*s\n", static_cast<int>(file.size()),
                     file.data(), static_cast<unsigned>(where->line()),
                     static_cast<unsigned>(where->column()), static_cast<int>(message.size()),
                     message.data());
    } else {
        std::fprintf(stderr, "vexlo panicked at an unknown location:\n%.*s\n",
                     static_cast<int>(message.size()), message.data());
    }
    std::fflush(stderr);
    nb::handle type = panic_exception_type();
    set_with_message(type ? type.ptr() : PyExc_SystemError, message);
}

void translate(const std::exception_ptr& failure, void*) {
    try {
        std::rethrow_exception(failure);
    } catch (const std::bad_alloc&) {
        throw;  // nanobind's own translator turns it into MemoryError
    } catch (...) {
        set_error_from_current_exception();
    }
}

}  // namespace

nb::handle fits_error_type() {
    static PyObject* const cell =
        new_exception_class("vexlo.FitsError", "FITS-level error raised by vexlo.", PyExc_OSError);
    if (cell == nullptr) panic("Failed to initialize new exception type.");
    return cell;
}

nb::handle panic_exception_type() {
    static PyObject* const cell = new_exception_class(
        "vexlo.PanicException",
        "Raised when vexlo meets an internal failure. It derives from BaseException so that\n"
        "`except Exception` does not hide the failure.",
        PyExc_BaseException);
    return cell;
}

void to_fits_error(const Error& error) {
    // An allocation the core could not make is the interpreter's MemoryError, as Python's
    // own allocations report it.
    nb::handle type = error.is_out_of_memory() ? nb::handle(PyExc_MemoryError) : fits_error_type();
    set_with_message(type.ptr(), error.message());
    throw nb::python_error();
}

void set_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (nb::python_error& e) {
        e.restore();
    } catch (const BuiltinError& e) {
        set_with_message(e.type, e.message);
    } catch (const nb::builtin_exception& e) {
        PyObject* type = builtin_class(e.type());
        if (type != nullptr) {
            set_with_message(type, e.what());
        } else {
            report_panic("an overload fallback escaped a function without overloads", nullptr);
        }
    } catch (const Panic& e) {
        report_panic(e.message, &e.where);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        report_panic(e.what(), nullptr);
    } catch (...) {
        report_panic("unknown C++ exception", nullptr);
    }
}

void install_error_translator() {
    // The translator list belongs to the process, and a re-import runs initialisation again.
    static const bool installed = [] {
        nb::register_exception_translator(translate);
        return true;
    }();
    (void)installed;
}

}  // namespace vexlo::py
