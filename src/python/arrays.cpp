#include "python/arrays.hpp"

#include <bit>
#include <cstdint>
#include <string>

#include "python/args.hpp"
#include "python/errors.hpp"
#include "python/pixels.hpp"

namespace vexlo::py {

namespace {

// numpy.ndarray, fetched on first use and kept for the process.
PyObject* ndarray_type() {
    static PyObject* cell = nullptr;
    if (cell != nullptr) return cell;
    PyObject* type = PyObject_GetAttrString(numpy_module().ptr(), "ndarray");
    if (type == nullptr || !PyType_Check(type)) {
        Py_XDECREF(type);
        panic("Failed to access NumPy array API capsule: numpy.ndarray is not a type");
    }
    cell = type;  // the reference is kept for the process
    return cell;
}

std::string text_of(PyObject* obj) {
    nb::object s = nb::steal(PyObject_Str(obj));
    if (!s.is_valid()) {
        PyErr_Clear();
        return "<exception str() failed>";
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(s.ptr(), &size);
    if (data == nullptr) {
        PyErr_Clear();
        return "<exception str() failed>";
    }
    return std::string(data, static_cast<std::size_t>(size));
}

std::string expected_array_message(std::string_view context) {
    std::string out(context);
    out += ": expected a numpy array or an array-like sequence";
    return out;
}

char byteorder_of(nb::handle array) {
    nb::object order = nb::getattr(nb::getattr(array, "dtype"), "byteorder");
    Py_ssize_t size = 0;
    const char* text =
        PyUnicode_Check(order.ptr()) ? PyUnicode_AsUTF8AndSize(order.ptr(), &size) : nullptr;
    if (text == nullptr || size != 1) {
        PyErr_Clear();
        panic("numpy dtype.byteorder is not a one-character str");
    }
    return text[0];
}

constexpr char kNativeOrder = std::endian::native == std::endian::little ? '<' : '>';

bool native_order(char byteorder) {
    return byteorder == '=' || byteorder == '|' || byteorder == kNativeOrder;
}

nb::object to_native_order(nb::handle array, std::string_view context) {
    nb::object dtype = nb::getattr(array, "dtype");
    nb::object native = dtype.attr("newbyteorder")("=");
    nb::dict kwargs;
    kwargs["copy"] = false;
    nb::object converted = call_astype(array, native, kwargs);
    if (!is_ndarray(converted)) raise_byte_order_error(context);
    return converted;
}

}  // namespace

bool is_ndarray(nb::handle obj) {
    const int r = PyObject_IsInstance(obj.ptr(), ndarray_type());
    if (r < 0) throw nb::python_error();
    return r != 0;
}

nb::object coerce_array(nb::handle obj, std::string_view context) {
    nb::object array;
    if (is_ndarray(obj)) {
        array = nb::borrow(obj);
    } else {
        nb::object asarray = nb::getattr(numpy_module(), "asarray");
        PyObject* result = PyObject_CallFunctionObjArgs(asarray.ptr(), obj.ptr(), nullptr);
        if (result == nullptr) {
            PyObject* type = nullptr;
            PyObject* value = nullptr;
            PyObject* trace = nullptr;
            PyErr_Fetch(&type, &value, &trace);
            PyErr_NormalizeException(&type, &value, &trace);
            nb::object first_type = nb::steal(type);
            nb::object first = nb::steal(value);
            nb::object first_trace = nb::steal(trace);
            std::string message = expected_array_message(context);
            message += " (";
            message += first_type.is_valid() ? type_name_of(first) : std::string("Exception");
            message += ": ";
            message += first.is_valid() ? text_of(first.ptr()) : std::string();
            message += ')';
            raise(PyExc_TypeError, std::move(message));
        }
        array = nb::steal(result);
        if (!is_ndarray(array)) raise(PyExc_TypeError, expected_array_message(context));
    }
    if (native_order(byteorder_of(array))) return array;
    return to_native_order(array, context);
}

nb::object call_astype(nb::handle array, nb::handle dtype, nb::handle kwargs) {
    nb::object method = nb::getattr(array, "astype");
    nb::object args = nb::make_tuple(nb::borrow(dtype));
    PyObject* result = PyObject_Call(method.ptr(), args.ptr(), kwargs.ptr());
    if (result == nullptr) throw nb::python_error();
    return nb::steal(result);
}

void raise_byte_order_error(std::string_view context) {
    std::string message(context);
    message += ": byte-order conversion failed";
    raise(PyExc_TypeError, std::move(message));
}

bool DtypeInfo::native() const {
    return native_order(byteorder);
}

DtypeInfo dtype_info(nb::handle array) {
    nb::object dtype = nb::getattr(array, "dtype");
    DtypeInfo info;
    nb::object kind = nb::getattr(dtype, "kind");
    Py_ssize_t size = 0;
    const char* text =
        PyUnicode_Check(kind.ptr()) ? PyUnicode_AsUTF8AndSize(kind.ptr(), &size) : nullptr;
    if (text == nullptr || size != 1) {
        PyErr_Clear();
        panic("numpy dtype.kind is not a one-character str");
    }
    info.kind = text[0];
    const long long itemsize = PyLong_AsLongLong(nb::getattr(dtype, "itemsize").ptr());
    if (itemsize < 0) {
        PyErr_Clear();
        panic("numpy dtype.itemsize is not a non-negative int");
    }
    info.itemsize = static_cast<std::size_t>(itemsize);
    info.byteorder = byteorder_of(array);
    return info;
}

// ---- ArrayBuffer ----

ArrayBuffer::ArrayBuffer(nb::handle array) {
    if (PyObject_GetBuffer(array.ptr(), &view_, PyBUF_RECORDS_RO) != 0) throw nb::python_error();
    held_ = true;
    if (view_.ndim < 0 || view_.ndim > detail::RunPlan::kMaxDims) {
        panic("array buffer with " + std::to_string(view_.ndim) + " dimensions");
    }
    if (view_.ndim > 0 && (view_.shape == nullptr || view_.strides == nullptr)) {
        panic("array buffer without shape or strides");
    }
}

ArrayBuffer::ArrayBuffer(ArrayBuffer&& other) noexcept : view_(other.view_), held_(other.held_) {
    other.held_ = false;
    other.view_ = Py_buffer{};
}

ArrayBuffer::~ArrayBuffer() {
    if (held_) PyBuffer_Release(&view_);
}

std::size_t ArrayBuffer::size() const {
    std::size_t n = 1;
    for (int i = 0; i < view_.ndim; ++i)
        n *= static_cast<std::size_t>(view_.shape[i]);
    return n;
}

detail::RunPlan detail::plan_runs(const ArrayBuffer& array) {
    RunPlan plan;
    const int ndim = array.ndim();
    for (int i = 0; i < ndim; ++i) {
        if (array.shape(i) == 0) return plan;  // no elements
    }
    std::size_t shape[RunPlan::kMaxDims];
    std::ptrdiff_t stride[RunPlan::kMaxDims];
    int n = 0;
    for (int i = 0; i < ndim; ++i) {
        if (array.shape(i) == 1) continue;  // a unit axis never moves
        shape[n] = array.shape(i);
        stride[n] = array.stride(i);
        ++n;
    }
    if (n == 0) {
        plan.run = 1;
        plan.run_stride = static_cast<std::ptrdiff_t>(array.itemsize());
        return plan;
    }
    plan.run = shape[n - 1];
    plan.run_stride = stride[n - 1];
    --n;
    // An outer axis that steps exactly over the whole run extends it.
    while (n > 0 && stride[n - 1] == plan.run_stride * static_cast<std::ptrdiff_t>(plan.run)) {
        plan.run *= shape[n - 1];
        --n;
    }
    for (int i = 0; i < n; ++i) {
        plan.outer_shape[i] = shape[i];
        plan.outer_stride[i] = stride[i];
    }
    plan.outer = n;
    return plan;
}

}  // namespace vexlo::py
