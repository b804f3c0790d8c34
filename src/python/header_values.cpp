// Conversions between Python objects and card values, and from Python mappings to headers.
#include <Python.h>
#include <nanobind/nanobind.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>

#include "header/value.hpp"
#include "header/view.hpp"
#include "python/args.hpp"
#include "python/errors.hpp"
#include "python/header.hpp"
#include "python/header_shared.hpp"
#include "util/text.hpp"

namespace vexlo::py {

nb::str to_py_str(std::string_view text) {
    PyObject* s =
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
    if (s == nullptr) throw nb::python_error();
    return nb::steal<nb::str>(s);
}

nb::object optional_text(const std::optional<std::string>& text) {
    return text ? nb::object(to_py_str(*text)) : nb::none();
}

[[noreturn]] void raise_key_error(nb::handle key) {
    PyErr_SetObject(PyExc_KeyError, key.ptr());
    throw nb::python_error();
}

[[noreturn]] void raise_key_error(std::string_view key) {
    raise_key_error(to_py_str(key));
}

nb::object card_value_to_py(const std::optional<Value>& value) {
    return value ? value_to_py(*value) : nb::none();
}

namespace {

// Python's complex, and other complex scalars (NumPy's complex64 is no subclass of complex but
// has __complex__). Neither int nor float defines __complex__.
// A complex, a subclass of it, or a NumPy complex scalar. Real numbers also offer
// __complex__ (Fraction, Decimal, 0-d arrays) and are not complex values.
bool is_complex(nb::handle obj) {
    return PyComplex_Check(obj.ptr()) ||
           is_numpy_type(Py_TYPE(obj.ptr()), {"complex64", "complex128", "complex256",
                                              "clongdouble", "csingle", "cdouble"});
}

// An array of one or more dimensions (a NumPy array or anything shaped like one): a header
// value is one number, never the first element of an array.
bool is_shaped_array(nb::handle obj) {
    nb::object ndim = nb::steal(PyObject_GetAttrString(obj.ptr(), "ndim"));
    if (!ndim.is_valid()) {
        PyErr_Clear();
        return false;
    }
    if (!PyLong_Check(ndim.ptr())) return false;
    const long n = PyLong_AsLong(ndim.ptr());
    if (n == -1 && PyErr_Occurred()) PyErr_Clear();
    return n > 0;
}

std::optional<std::int64_t> try_i64(nb::handle obj) {
    PyObject* index = PyNumber_Index(obj.ptr());
    if (index == nullptr) {
        PyErr_Clear();
        return std::nullopt;
    }
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(index, &overflow);
    Py_DECREF(index);
    if (overflow != 0 || (v == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        return std::nullopt;
    }
    return static_cast<std::int64_t>(v);
}

// An integer too wide for 64 bits by its decimal digits, so that cards keep it exact; none
// when it has no integer value or its digits cannot be had (a text past Python's digit limit).
std::optional<Value> try_wide_integer(nb::handle obj) {
    nb::object index = nb::steal(PyNumber_Index(obj.ptr()));
    if (!index.is_valid()) {
        PyErr_Clear();
        return std::nullopt;
    }
    nb::object digits = nb::steal(PyNumber_ToBase(index.ptr(), 10));
    if (!digits.is_valid()) {
        PyErr_Clear();
        return std::nullopt;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(digits.ptr(), &size);
    if (data == nullptr) {
        PyErr_Clear();
        return std::nullopt;
    }
    return Value::make_integer_of_any_width(std::string_view(data, static_cast<std::size_t>(size)));
}

std::optional<double> try_f64(nb::handle obj) {
    const double v = PyFloat_AsDouble(obj.ptr());
    if (v == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return std::nullopt;
    }
    return v;
}

std::optional<std::string> try_utf8(nb::handle obj) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(obj.ptr(), &size);
    if (data == nullptr) {
        PyErr_Clear();
        return std::nullopt;
    }
    return std::string(data, static_cast<std::size_t>(size));
}

// The real or imaginary part of a complex number as a double; errors raised as they are.
double complex_part(nb::handle obj, const char* name) {
    nb::object part = nb::steal(PyObject_GetAttrString(obj.ptr(), name));
    if (!part.is_valid()) throw nb::python_error();
    return to_f64(part);
}

// Whole and inside [-2^63, 2^63): representable as a signed 64-bit integer.
bool fits_i64(double v) {
    return v - std::trunc(v) == 0.0 && v >= -9223372036854775808.0 && v < 9223372036854775808.0;
}

Value complex_value(nb::handle obj) {
    const double re = complex_part(obj, "real");
    const double im = complex_part(obj, "imag");
    if (fits_i64(re) && fits_i64(im)) {
        return Value::make_complex_integer(static_cast<std::int64_t>(re),
                                           static_cast<std::int64_t>(im));
    }
    return Value::make_complex_real(re, im);
}

[[noreturn]] void raise_unconvertible(nb::handle obj) {
    nb::object name = nb::steal(PyType_GetName(Py_TYPE(obj.ptr())));
    if (!name.is_valid()) throw nb::python_error();
    std::string text = "cannot convert ";
    text += try_utf8(name).value_or("?");
    text += " into a FITS header value";
    raise(PyExc_TypeError, std::move(text));
}

}  // namespace

Value value_from_py(nb::handle obj) {
    PyObject* o = obj.ptr();
    // The exact built-in types first; everything else walks the conversions in order.
    if (PyBool_Check(o)) return Value::make_logical(o == Py_True);
    if (PyLong_CheckExact(o)) {
        if (auto v = try_i64(obj)) return Value::make_integer(*v);
        if (auto v = try_wide_integer(obj)) return std::move(*v);
        if (auto v = try_f64(obj)) return Value::make_real(*v);
        raise_unconvertible(obj);
    }
    if (PyFloat_CheckExact(o)) return Value::make_real(PyFloat_AsDouble(o));
    if (PyUnicode_CheckExact(o)) {
        if (auto s = try_utf8(obj)) return Value::make_string(std::move(*s));
        raise_unconvertible(obj);
    }
    if (o == Py_None) return Value::make_undefined();

    if (is_shaped_array(obj)) raise_unconvertible(obj);
    if (is_numpy_bool(Py_TYPE(obj.ptr()))) {
        const int truth = PyObject_IsTrue(o);
        if (truth < 0) throw nb::python_error();
        return Value::make_logical(truth != 0);
    }
    if (PyIndex_Check(o)) {
        if (auto v = try_i64(obj)) return Value::make_integer(*v);
        if (auto v = try_wide_integer(obj)) return std::move(*v);
    }
    // Complex numbers before the float conversion: a NumPy complex scalar converts to float
    // too, silently dropping its imaginary part.
    if (is_complex(obj)) return complex_value(obj);
    if (auto v = try_f64(obj)) return Value::make_real(*v);
    if (PyUnicode_Check(o)) {
        if (auto s = try_utf8(obj)) return Value::make_string(std::move(*s));
    }
    raise_unconvertible(obj);
}

nb::object value_to_py(const Value& value) {
    switch (value.kind) {
        case Value::Kind::Logical:
            return nb::bool_(value.logical);
        case Value::Kind::Integer:
            return nb::steal(PyLong_FromLongLong(value.integer));
        case Value::Kind::Real:
            // An identifier wider than 64 bits comes back as the exact int it was written as.
            if (const std::string_view literal = value.integer_literal(); !literal.empty()) {
                const std::string digits(literal);
                return nb::steal(PyLong_FromString(digits.c_str(), nullptr, 10));
            }
            return nb::float_(value.real);
        case Value::Kind::ComplexInteger:
            return nb::steal(PyComplex_FromDoubles(static_cast<double>(value.integer),
                                                   static_cast<double>(value.integer_im)));
        case Value::Kind::ComplexReal:
            return nb::steal(PyComplex_FromDoubles(value.real, value.real_im));
        case Value::Kind::String:
        case Value::Kind::Unparsed:
            return to_py_str(value.text);
        case Value::Kind::Undefined:
            return nb::none();
    }
    return nb::none();
}

ValueAndComment value_comment_from_py(nb::handle obj) {
    if (PyTuple_Check(obj.ptr()) && PyTuple_Size(obj.ptr()) == 2) {
        nb::handle item0 = PyTuple_GetItem(obj.ptr(), 0);
        nb::handle item1 = PyTuple_GetItem(obj.ptr(), 1);
        ValueAndComment out{value_from_py(item0), std::nullopt};
        if (!item1.is_none()) out.comment = to_string(item1);
        return out;
    }
    return ValueAndComment{value_from_py(obj), std::nullopt};
}

nb::object call_items(nb::handle obj, const char* message) {
    PyObject* items = PyObject_CallMethod(obj.ptr(), "items", nullptr);
    if (items == nullptr) {
        PyErr_Clear();
        raise(PyExc_TypeError, message);
    }
    return nb::steal(items);
}

void for_each_item(nb::handle items, const std::function<void(CardEntry)>& each) {
    nb::object it = nb::steal(PyObject_GetIter(items.ptr()));
    if (!it.is_valid()) throw nb::python_error();
    while (true) {
        nb::object item = nb::steal(PyIter_Next(it.ptr()));
        if (!item.is_valid()) {
            if (PyErr_Occurred()) throw nb::python_error();
            break;
        }
        // Subscripted with int keys, not through the sequence protocol: an item that only
        // has mapping-style __getitem__ (a dict {0: key, 1: value}) is accepted too.
        nb::object key = item[nb::int_(0)];
        nb::object value = item[nb::int_(1)];
        std::string keyword = ascii_upper(to_string(key));
        ValueAndComment vc = value_comment_from_py(value);
        each(CardEntry{std::move(keyword), std::move(vc.value), std::move(vc.comment)});
    }
}

Header header_from_py(nb::handle obj) {
    if (HeaderObject* other = readable_header(obj)) return other->handle.snapshot();
    Header header;
    nb::object items = call_items(obj, "header must be a Header or a mapping with .items()");
    for_each_item(items, [&](CardEntry e) { unwrap(header.set(e.keyword, e.value, e.comment)); });
    return header;
}

}  // namespace vexlo::py
