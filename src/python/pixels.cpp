#include "python/pixels.hpp"

#include <array>
#include <cstring>
#include <limits>
#include <optional>
#include <string>

#include "python/args.hpp"
#include "python/arrays.hpp"
#include "python/errors.hpp"
#include "python/method.hpp"
#include "util/checked.hpp"
#include "util/memory.hpp"
#include "util/try.hpp"

namespace vexlo::py {

namespace {

// The text of the pending Python error (which is cleared), for a panic message.
std::string take_error_text() {
    nb::python_error error;
    return error.what();
}

// Objects kept for the process once NumPy is imported: numpy.empty and the dtypes in use.
// Filled under the interpreter lock; a racing second filler (possible only if the import
// released the lock) keeps whichever store came first.
struct NumpyRefs {
    PyObject* module = nullptr;
    PyObject* empty = nullptr;
};

NumpyRefs* g_numpy = nullptr;

NumpyRefs& numpy_refs() {
    if (g_numpy != nullptr) return *g_numpy;
    PyObject* module = PyImport_ImportModule("numpy");
    if (module == nullptr) panic("Failed to access NumPy array API capsule: " + take_error_text());
    PyObject* empty = PyObject_GetAttrString(module, "empty");
    if (empty == nullptr) {
        Py_DECREF(module);
        panic("Failed to access NumPy array API capsule: " + take_error_text());
    }
    if (g_numpy == nullptr) {
        g_numpy = new NumpyRefs{module, empty};  // kept for the process
    } else {
        Py_DECREF(empty);
        Py_DECREF(module);
    }
    return *g_numpy;
}

// numpy.dtype objects by name, made once each.
nb::handle dtype_object(std::string_view name) {
    static constexpr std::array<std::string_view, 10> kNames = {
        "uint8",  "int8",  "int16",  "uint16",  "int32",
        "uint32", "int64", "uint64", "float32", "float64"};
    static std::array<PyObject*, kNames.size()> cells{};
    std::size_t slot = kNames.size();
    for (std::size_t i = 0; i < kNames.size(); ++i) {
        if (kNames[i] == name) slot = i;
    }
    ensure(slot < kNames.size(), "dtype_object() with an unknown dtype name");
    if (cells[slot] != nullptr) return cells[slot];
    nb::object dtype = nb::borrow(numpy_module()).attr("dtype")(nb::str(name.data(), name.size()));
    if (cells[slot] == nullptr) cells[slot] = dtype.release().ptr();
    return cells[slot];
}

// Element count times element size, or the largest value when that overflows (it can then
// never equal a real byte length).
std::uint64_t byte_size(std::span<const std::uint64_t> shape, Bitpix b) {
    std::optional<std::uint64_t> bytes = bytes_per_pixel(b);
    for (const std::uint64_t n : shape) {
        if (bytes) bytes = checked_mul(*bytes, n);
    }
    return bytes.value_or(std::numeric_limits<std::uint64_t>::max());
}

// The owner of a mapped output buffer: it exports the memory through the buffer protocol to
// the array made over it, and gives the mapping back when the last array lets go of it.
struct MappedBuffer {
    PyObject_HEAD void* data;
    std::size_t size;
};

int mapped_buffer_get(PyObject* self, Py_buffer* view, int flags) {
    auto* owner = reinterpret_cast<MappedBuffer*>(self);
    return PyBuffer_FillInfo(view, self, owner->data, static_cast<Py_ssize_t>(owner->size), 0,
                             flags);
}

void mapped_buffer_dealloc(PyObject* self) {
    auto* owner = reinterpret_cast<MappedBuffer*>(self);
    unmap_output_buffer(owner->data, owner->size);
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
    Py_DECREF(type);
}

PyTypeObject* mapped_buffer_type() {
    static PyType_Slot slots[] = {
        {Py_bf_getbuffer, reinterpret_cast<void*>(mapped_buffer_get)},
        {Py_tp_dealloc, reinterpret_cast<void*>(mapped_buffer_dealloc)},
        {Py_tp_doc, const_cast<char*>("Memory of arrays read from a table.")},
        {0, nullptr},
    };
    static PyType_Spec spec = {"vexlo._MappedBuffer", sizeof(MappedBuffer), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
    static PyObject* type = PyType_FromSpec(&spec);  // kept for the process
    if (type == nullptr) throw nb::python_error();
    return reinterpret_cast<PyTypeObject*>(type);
}

// An owner of a fresh mapping of `size` bytes; invalid when the kernel refuses the mapping.
nb::object mapped_buffer(std::size_t size) {
    PyTypeObject* type = mapped_buffer_type();
    void* data = map_output_buffer(size);
    if (data == nullptr) return nb::object();
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* obj = alloc(type, 0);
    if (obj == nullptr) {
        unmap_output_buffer(data, size);
        throw nb::python_error();
    }
    auto* owner = reinterpret_cast<MappedBuffer*>(obj);
    owner->data = data;
    owner->size = size;
    return nb::steal(obj);
}

}  // namespace

nb::handle numpy_module() {
    return numpy_refs().module;
}

std::vector<std::uint64_t> numpy_shape(std::span<const std::uint64_t> axes) {
    return {axes.rbegin(), axes.rend()};
}

NewArray new_array(std::string_view dtype, std::span<const std::uint64_t> shape) {
    nb::handle dtype_obj = dtype_object(dtype);
    nb::object dims = nb::steal(PyTuple_New(static_cast<Py_ssize_t>(shape.size())));
    if (!dims.is_valid()) throw nb::python_error();
    for (std::size_t i = 0; i < shape.size(); ++i) {
        PyObject* n = PyLong_FromUnsignedLongLong(shape[i]);
        if (n == nullptr) throw nb::python_error();
        NB_TUPLE_SET_ITEM(dims.ptr(), static_cast<Py_ssize_t>(i), n);
    }
    PyObject* args[] = {dims.ptr(), dtype_obj.ptr()};
    nb::object array = nb::steal(PyObject_Vectorcall(numpy_refs().empty, args, 2, nullptr));
    if (!array.is_valid()) {
        // An allocation that fails is the caller's MemoryError; an image with more axes than
        // NumPy allows is a property of the file. Anything else is our own fault.
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) throw nb::python_error();
        const bool value_error = PyErr_ExceptionMatches(PyExc_ValueError);
        std::string text = take_error_text();
        if (text.starts_with("ValueError: ")) text.erase(0, 12);
        if (value_error && text.find("maximum supported dimension") != std::string::npos) {
            to_fits_error(Error::data("NumPy cannot hold an array of " +
                                      std::to_string(shape.size()) + " axes: " + text));
        }
        if (value_error && text.find("too big") != std::string::npos)
            raise(PyExc_MemoryError, text);
        panic("NumPy could not create an array: " + text);
    }
    Py_buffer view;
    if (PyObject_GetBuffer(array.ptr(), &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) != 0) {
        panic("a new NumPy array has no writable contiguous buffer: " + take_error_text());
    }
    // The array owns the memory and outlives the view.
    std::span<std::uint8_t> bytes(static_cast<std::uint8_t*>(view.buf),
                                  static_cast<std::size_t>(view.len));
    PyBuffer_Release(&view);
    return {std::move(array), bytes};
}

NewArray new_output_array(std::string_view dtype, std::size_t itemsize, std::uint64_t n) {
    const std::optional<std::uint64_t> size = checked_mul(n, std::uint64_t{itemsize});
    if (size && *size <= SIZE_MAX && worth_mapping(static_cast<std::size_t>(*size))) {
        const auto bytes = static_cast<std::size_t>(*size);
        if (nb::object owner = mapped_buffer(bytes); owner.is_valid()) {
            void* data = reinterpret_cast<MappedBuffer*>(owner.ptr())->data;
            nb::object array =
                nb::borrow(numpy_module()).attr("frombuffer")(owner, dtype_object(dtype));
            return {std::move(array), std::span(static_cast<std::uint8_t*>(data), bytes)};
        }
    }
    const std::uint64_t shape[] = {n};
    return new_array(dtype, shape);
}

namespace {

// The stored values of every pixel of `src` in a new array of `shape`.
nb::object read_stored(const DataSource& src, Bitpix pixel_type,
                       std::span<const std::uint64_t> shape) {
    // The array is sized by the header; the data section the scan found bounds it, so a
    // header that claims more than the file holds allocates nothing.
    unwrap(src.check_destination(byte_size(shape, pixel_type)));
    NewArray a = new_array(dtype_name(pixel_type), shape);
    // The array is not yet shared and the caller keeps the file alive.
    unwrap(without_gil([&] { return read_pixels_into(src, pixel_type, false, a.bytes); }));
    return std::move(a.array);
}

}  // namespace

nb::object read_raw_pixels(const FitsFile& file, std::size_t hdu_index, Bitpix pixel_type,
                           std::span<const std::uint64_t> shape) {
    return read_stored(unwrap(DataSource::of_file(file, hdu_index)), pixel_type, shape);
}

namespace {

// Refuses stored bytes that are not exactly the pixels of `shape`, before anything is made.
void check_pixel_buffer(ByteSpan bytes, Bitpix pixel_type, std::span<const std::uint64_t> shape) {
    const std::optional<std::string> mismatch =
        size_mismatch("pixel buffer", byte_size(shape, pixel_type), "data section", bytes.size());
    if (mismatch) raise(PyExc_ValueError, *mismatch);
}

}  // namespace

nb::object array_from_be_bytes(ByteSpan bytes, Bitpix pixel_type,
                               std::span<const std::uint64_t> shape) {
    check_pixel_buffer(bytes, pixel_type, shape);
    NewArray a = new_array(dtype_name(pixel_type), shape);
    unwrap(without_gil([&] {
        return read_pixels_into(DataSource::of_memory(bytes), pixel_type, false, a.bytes);
    }));
    return std::move(a.array);
}

nb::object physical_from_be_bytes(ByteSpan stored, Bitpix pixel_type, const Scaling& scaling,
                                  std::span<const std::uint64_t> shape) {
    const PhysicalForm form = physical_form(pixel_type, scaling);
    if (form == PhysicalForm::Stored) return array_from_be_bytes(stored, pixel_type, shape);
    check_pixel_buffer(stored, pixel_type, shape);
    NewArray a = new_array(physical_dtype_name(pixel_type, form), shape);
    unwrap(without_gil([&] {
        return read_image_into(DataSource::of_memory(stored), pixel_type, scaling, form, a.bytes);
    }));
    return std::move(a.array);
}

nb::object read_physical_pixels(const FitsFile& file, std::size_t hdu_index, const Header& shaped,
                                Bitpix pixel_type, std::span<const std::uint64_t> axes) {
    const DataSource src = unwrap(DataSource::of_file(file, hdu_index));
    // The same checks of the header against the data section as a whole-image record makes.
    const ImageGeometry geometry = unwrap(image_geometry(shaped, src.size()));
    const std::vector<std::uint64_t> shape = numpy_shape(axes);
    ensure(byte_size(shape, pixel_type) == src.size() &&
               geometry.n_elements * bytes_per_pixel(pixel_type) == src.size(),
           "internal invariant: read_raw element count must equal NAXIS product; this is a "
           "vexlo bug, please report");
    const Scaling scaling = read_image_scaling(shaped);
    const PhysicalForm form = physical_form(pixel_type, scaling);
    if (form == PhysicalForm::Stored) return read_stored(src, pixel_type, shape);
    // Read straight into the result and converted there, chunk by chunk.
    NewArray a = new_array(physical_dtype_name(pixel_type, form), shape);
    unwrap(without_gil([&] { return read_image_into(src, pixel_type, scaling, form, a.bytes); }));
    return std::move(a.array);
}

Bitpix dtype_code(nb::handle array) {
    const DtypeInfo d = dtype_info(array);
    if (const std::optional<DtypePixel> p = pixel_of_dtype(d.kind, d.itemsize)) return p->bitpix;
    const nb::object dtype = array.attr("dtype");
    const nb::object text = nb::steal(PyObject_Str(dtype.ptr()));
    if (!text.is_valid()) throw nb::python_error();
    raise(PyExc_TypeError, "ImageHdu: unsupported numpy dtype " + to_string(text) +
                               "; expected one of bool, int8, uint8, int16, uint16, int32, "
                               "uint32, int64, uint64, float32, float64");
}

void freeze_image_array(nb::handle array) {
    array.attr("setflags")(nb::make_tuple(), false);
}

}  // namespace vexlo::py
