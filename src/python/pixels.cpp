#include "python/pixels.hpp"

#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <string>

#include "python/args.hpp"
#include "python/arrays.hpp"
#include "python/errors.hpp"

namespace vexlo::py {

namespace {

constexpr std::array<std::string_view, 6> kRawDtypes = {"uint8", "int16",   "int32",
                                                        "int64", "float32", "float64"};

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

bool product_of(std::span<const std::uint64_t> shape, std::uint64_t& out) {
    out = 1;
    for (const std::uint64_t n : shape) {
        if (__builtin_mul_overflow(out, n, &out)) return false;
    }
    return true;
}

// Element count times element size, or the largest value when that overflows (it can then
// never equal a real byte length).
std::uint64_t byte_size(std::span<const std::uint64_t> shape, Bitpix b) {
    std::uint64_t n = 0;
    std::uint64_t bytes = 0;
    if (!product_of(shape, n) || __builtin_mul_overflow(n, bytes_per_pixel(b), &bytes)) {
        return std::numeric_limits<std::uint64_t>::max();
    }
    return bytes;
}

template <class T>
std::span<T> typed(const NewArray& a) {
    return {reinterpret_cast<T*>(a.bytes.data()), a.bytes.size() / sizeof(T)};
}

// Offset-signed storage: the stored value with its top bit inverted (the stored value plus
// the standard BZERO, modulo the type's range), decoded from big-endian in one pass.
void decode_offset(Bitpix b, ByteSpan in, const NewArray& out) {
    const std::uint8_t* p = in.data();
    switch (b) {
        case Bitpix::U8: {
            auto dst = typed<std::int8_t>(out);
            for (std::size_t i = 0; i < dst.size(); ++i) {
                dst[i] = std::bit_cast<std::int8_t>(static_cast<std::uint8_t>(p[i] ^ 0x80U));
            }
            return;
        }
        case Bitpix::I16: {
            auto dst = typed<std::uint16_t>(out);
            for (std::size_t i = 0; i < dst.size(); ++i) {
                dst[i] = static_cast<std::uint16_t>(load_be_u16(p + 2 * i) ^ 0x8000U);
            }
            return;
        }
        case Bitpix::I32: {
            auto dst = typed<std::uint32_t>(out);
            for (std::size_t i = 0; i < dst.size(); ++i) {
                dst[i] = load_be_u32(p + 4 * i) ^ 0x80000000U;
            }
            return;
        }
        case Bitpix::I64: {
            auto dst = typed<std::uint64_t>(out);
            for (std::size_t i = 0; i < dst.size(); ++i) {
                dst[i] = load_be_u64(p + 8 * i) ^ 0x8000000000000000ULL;
            }
            return;
        }
        case Bitpix::F32:
        case Bitpix::F64:
            break;
    }
    panic("decode_offset() on a floating-point image");
}

// The standard integer offset of a pixel type and its dtype. Only a BZERO equal to the offset
// selects it: any other BZERO, however close, scales in floating point so that its
// fraction is kept (2147483648.5 must not become 2147483648).
struct Offset {
    std::string_view dtype;
    double zero;
};

std::optional<Offset> standard_offset(Bitpix b) {
    switch (b) {
        case Bitpix::U8:
            return Offset{"int8", -128.0};
        case Bitpix::I16:
            return Offset{"uint16", 32768.0};
        case Bitpix::I32:
            return Offset{"uint32", 2147483648.0};
        case Bitpix::I64:
            return Offset{"uint64", 9223372036854775808.0};
        case Bitpix::F32:
        case Bitpix::F64:
            break;
    }
    return std::nullopt;
}

}  // namespace

std::string_view raw_dtype_name(Bitpix b) {
    return kRawDtypes[static_cast<std::uint8_t>(b)];
}

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
    if (!array.is_valid()) panic("NumPy could not create an array: " + take_error_text());
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

nb::object read_raw_pixels(const FitsFile& file, std::size_t hdu_index, Bitpix pixel_type,
                           std::span<const std::uint64_t> shape) {
    if (hdu_index >= file.len()) unwrap(file.read_data_into(hdu_index, {}));
    // The array is sized by the header; the data section the scan found bounds it, so a
    // header that claims more than the file holds allocates nothing.
    const std::uint64_t want = byte_size(shape, pixel_type);
    const std::uint64_t have = file.spans[hdu_index].data_len;
    if (want != have) {
        to_fits_error(Error::data("read_data_into: destination is " + std::to_string(want) +
                                  " bytes, data section is " + std::to_string(have)));
    }
    NewArray a = new_array(raw_dtype_name(pixel_type), shape);
    unwrap(file.read_data_into(hdu_index, a.bytes));
    swap_be_in_place(pixel_type, a.bytes);
    return std::move(a.array);
}

nb::object array_from_be_bytes(ByteSpan bytes, Bitpix pixel_type,
                               std::span<const std::uint64_t> shape) {
    const std::uint64_t want = byte_size(shape, pixel_type);
    if (want != bytes.size()) {
        raise(PyExc_ValueError, "pixel buffer is " + std::to_string(want) +
                                    " bytes, data section is " + std::to_string(bytes.size()));
    }
    NewArray a = new_array(raw_dtype_name(pixel_type), shape);
    if (!bytes.empty()) std::memcpy(a.bytes.data(), bytes.data(), bytes.size());
    swap_be_in_place(pixel_type, a.bytes);
    return std::move(a.array);
}

nb::object stored_to_physical(const ImageHdu& image, Bitpix pixel_type,
                              std::span<const std::uint64_t> axes) {
    const Header& h = image.header;
    const double bzero = h.get_f64("BZERO").value_or(0.0);
    const std::optional<double> bscale = h.get_f64("BSCALE");
    // A BITPIX card that cannot be read does not stop the BLANK lookup.
    const Result<std::int64_t> bitpix = h.bitpix();
    const std::optional<std::int64_t> blank =
        (!bitpix || *bitpix >= 0) ? h.get_i64("BLANK") : std::nullopt;
    const bool unit_scale = !bscale || *bscale == 1.0;
    const std::vector<std::uint64_t> shape = numpy_shape(axes);
    const ByteSpan stored = image.data.span();

    if (bzero == 0.0 && unit_scale && !blank) {
        return array_from_be_bytes(stored, pixel_type, shape);
    }

    const std::uint64_t count = byte_size(shape, pixel_type) / bytes_per_pixel(pixel_type);
    ensure(byte_size(shape, pixel_type) == stored.size() && count == image.n_elements,
           "internal invariant: read_raw element count must equal NAXIS product; this is a "
           "vexlo bug, please report");

    const std::optional<Offset> offset = standard_offset(pixel_type);
    if (!blank && unit_scale && offset && bzero == offset->zero) {
        NewArray a = new_array(offset->dtype, shape);
        decode_offset(pixel_type, stored, a);
        return std::move(a.array);
    }

    if (pixel_type == Bitpix::U8 || pixel_type == Bitpix::I16 || pixel_type == Bitpix::F32) {
        NewArray a = new_array("float32", shape);
        unwrap(image.physical_f32_into(typed<float>(a)));
        return std::move(a.array);
    }
    NewArray a = new_array("float64", shape);
    unwrap(image.physical_f64_into(typed<double>(a)));
    return std::move(a.array);
}

Bitpix dtype_code(nb::handle array) {
    const DtypeInfo d = dtype_info(array);
    if (d.kind == 'b') return Bitpix::U8;
    if (d.kind == 'i' || d.kind == 'u') {
        switch (d.itemsize) {
            case 1:
                return Bitpix::U8;
            case 2:
                return Bitpix::I16;
            case 4:
                return Bitpix::I32;
            case 8:
                return Bitpix::I64;
            default:
                break;
        }
    }
    if (d.is('f', 4)) return Bitpix::F32;
    if (d.is('f', 8)) return Bitpix::F64;
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
