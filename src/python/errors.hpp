// How failures leave the Python layer: library errors as vexlo.FitsError, the layer's own
// failures as built-in exceptions, and internal failures as a panic exception that ordinary
// `except Exception` handlers do not swallow.
#pragma once

#include <Python.h>
#include <nanobind/nanobind.h>

#include <exception>
#include <source_location>
#include <string>
#include <string_view>
#include <utility>

#include "error.hpp"

namespace vexlo::py {

namespace nb = nanobind;

// The class vexlo.FitsError (base OSError), created on first call and kept for the process.
nb::handle fits_error_type();

// The class raised for internal failures: derived directly from BaseException, created on
// first call and kept for the process. Not a module attribute.
nb::handle panic_exception_type();

// Sets vexlo.FitsError with the error's display text as its single argument (no cause) and
// throws nb::python_error; an error of memory running out sets MemoryError with that text. Every
// binding that receives an Error raises it through here.
[[noreturn]] void to_fits_error(const Error& error);

// The value of a library result, or its error raised as vexlo.FitsError.
template <class T>
T unwrap(Result<T>&& result) {
    if (!result) to_fits_error(result.error());
    return std::move(*result);
}

inline void unwrap(Result<void>&& result) {
    if (!result) to_fits_error(result.error());
}

// A failure of the Python layer itself, raised as a built-in exception `type` (TypeError,
// ValueError, KeyError, ...) whose single argument is `message`. The exception object is made
// only when the failure reaches the interpreter.
struct BuiltinError : std::exception {
    PyObject* type;  // a built-in exception class (immortal for the process)
    std::string message;

    BuiltinError(PyObject* type, std::string message) : type(type), message(std::move(message)) {}
    const char* what() const noexcept override { return message.c_str(); }
};

[[noreturn]] inline void raise(PyObject* type, std::string message) {
    throw BuiltinError(type, std::move(message));
}

// An internal failure: a violated invariant of the module's own code.
struct Panic : std::exception {
    std::string message;
    std::source_location where;

    Panic(std::string message, std::source_location where)
        : message(std::move(message)), where(where) {}
    const char* what() const noexcept override { return message.c_str(); }
};

[[noreturn]] inline void panic(std::string message,
                               std::source_location where = std::source_location::current()) {
    throw Panic(std::move(message), where);
}

// Panics with `message` unless `condition` holds.
inline void ensure(bool condition, std::string_view message,
                   std::source_location where = std::source_location::current()) {
    if (!condition) panic(std::string(message), where);
}

// Call inside a catch block: turns the exception being handled into the pending Python
// error. nb::python_error is restored as it is; BuiltinError and nanobind's builtin
// exceptions become their Python classes; std::bad_alloc becomes MemoryError; a Panic, and any
// other C++ exception, is reported on standard error with its source location and becomes the
// panic exception carrying the message.
void set_error_from_current_exception() noexcept;

// The entry-point guard. Runs `body`; any failure leaves as nb::python_error holding the
// Python exception described above. Bound functions and methods get the same treatment from
// the translator that `install_error_translator` registers, so they need the guard only
// around code that runs outside nanobind's dispatch (module initialisation, raw slots).
template <class F>
decltype(auto) guard(F&& body) {
    try {
        return std::forward<F>(body)();
    } catch (nb::python_error&) {
        throw;
    } catch (...) {
        set_error_from_current_exception();
    }
    throw nb::python_error();
}

// For raw C entry points: runs `body`, returns false with the Python error set on failure.
template <class F>
bool guard_c(F&& body) noexcept {
    try {
        std::forward<F>(body)();
        return true;
    } catch (...) {
        set_error_from_current_exception();
        return false;
    }
}

// Registers the nanobind exception translator for BuiltinError, Panic and stray C++
// exceptions. Idempotent; called once during module initialisation.
void install_error_translator();

}  // namespace vexlo::py
