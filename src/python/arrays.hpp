// NumPy arrays as the builders and the image HDU class take them: coercion of array-likes
// into native-byte-order arrays, the dtype facts the encoders dispatch on, and a read-only
// view of an array's memory with the runs that cover its elements in C order, read in place.
//
// NumPy is imported by the first call that needs it, never when the module is imported.
#pragma once

#include <Python.h>
#include <nanobind/nanobind.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vexlo::py {

namespace nb = nanobind;

// True for an instance of numpy.ndarray or of a subclass (a masked array, for one). Imports
// NumPy on first use; a failed import is an internal failure whose message begins "Failed to
// access NumPy array API capsule".
bool is_ndarray(nb::handle obj);

// A NumPy array whose elements are in the machine's byte order: a native-order ndarray
// itself (no copy), a big-endian one converted once with astype, anything else through
// numpy.asarray. `context` starts every message:
//   "{context}: expected a numpy array or an array-like sequence ({type}: {message})"
//   "{context}: expected a numpy array or an array-like sequence"
//   "{context}: byte-order conversion failed"
// (all TypeError). Errors of the byte-order conversion calls themselves pass unchanged.
nb::object coerce_array(nb::handle obj, std::string_view context);

// array.astype(dtype, **kwargs); its result or its error as it is.
nb::object call_astype(nb::handle array, nb::handle dtype, nb::handle kwargs);

// TypeError "{context}: byte-order conversion failed".
[[noreturn]] void raise_byte_order_error(std::string_view context);

// The facts of an array's dtype that pick an encoding: NumPy's kind character ('b' bool,
// 'i' signed, 'u' unsigned, 'f' float, 'c' complex, ...), the element size and the
// byte-order character ('=', '|', '<' or '>').
struct DtypeInfo {
    char kind = '?';
    std::size_t itemsize = 0;
    char byteorder = '=';

    bool is(char k, std::size_t size) const { return kind == k && itemsize == size; }
    // Elements stored in the machine's byte order.
    bool native() const;
};
DtypeInfo dtype_info(nb::handle array);

// A read-only view of an array's memory (the buffer protocol with strides), released on
// destruction. The array object must stay alive while the view is used.
class ArrayBuffer {
  public:
    // Raises the buffer protocol's Python error when the object exports no buffer.
    explicit ArrayBuffer(nb::handle array);
    ArrayBuffer(ArrayBuffer&& other) noexcept;
    ArrayBuffer& operator=(ArrayBuffer&&) = delete;
    ArrayBuffer(const ArrayBuffer&) = delete;
    ArrayBuffer& operator=(const ArrayBuffer&) = delete;
    ~ArrayBuffer();

    const std::uint8_t* data() const { return static_cast<const std::uint8_t*>(view_.buf); }
    int ndim() const { return view_.ndim; }
    std::size_t shape(int axis) const { return static_cast<std::size_t>(view_.shape[axis]); }
    std::ptrdiff_t stride(int axis) const { return view_.strides[axis]; }
    std::size_t itemsize() const { return static_cast<std::size_t>(view_.itemsize); }
    // The number of elements (1 for a zero-dimensional array).
    std::size_t size() const;

  private:
    Py_buffer view_{};
    bool held_ = false;
};

namespace detail {
// The array's dimensions with unit axes dropped and contiguous neighbours merged: outer
// (shape, stride) pairs, then the innermost run. Empty arrays give a run of 0.
struct RunPlan {
    static constexpr int kMaxDims = 64;
    std::size_t outer_shape[kMaxDims];
    std::ptrdiff_t outer_stride[kMaxDims];
    int outer = 0;
    std::size_t run = 0;
    std::ptrdiff_t run_stride = 0;
};
RunPlan plan_runs(const ArrayBuffer& array);
}  // namespace detail

}  // namespace vexlo::py
