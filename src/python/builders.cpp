// vexlo.ImageBuilder, vexlo.BinTableBuilder and vexlo.AsciiTableBuilder, the function
// image(), and the image encoding shared with the image HDU class.
#include "python/builders.hpp"

#include <Python.h>

#include <string>
#include <utility>
#include <vector>

#include "data/dispatch.hpp"
#include "data/strided.hpp"
#include "hdu/image.hpp"
#include "header/card.hpp"
#include "python/args.hpp"
#include "python/arrays.hpp"
#include "python/errors.hpp"
#include "python/header.hpp"
#include "python/method.hpp"
#include "python/module.hpp"
#include "util/debug.hpp"
#include "util/text.hpp"

namespace vexlo::py {

namespace {

constexpr std::size_t kCardLen = 80;

// ---- pixels ----

const char* const kUnsupportedImageDtype =
    "image: unsupported numpy dtype (expected "
    "bool/int8/uint8/int16/uint16/int32/uint32/int64/uint64/float32/float64)";

// The array's pixels encoded into `out`, exactly their number times their width.
void encode_into(const ArrayBuffer& buffer, const PixelEncoding& encoding,
                 std::span<std::uint8_t> out) {
    const std::size_t width = static_cast<std::size_t>(bytes_per_pixel(encoding.bitpix));
    ensure(buffer.itemsize() == width, "array element size differs from its pixel type");
    const detail::RunPlan plan = detail::plan_runs(buffer);
    HostPixels host;
    host.base = buffer.data();
    host.run = plan.run;
    host.run_stride = plan.run_stride;
    host.outer_shape.assign(plan.outer_shape, plan.outer_shape + plan.outer);
    host.outer_stride.assign(plan.outer_stride, plan.outer_stride + plan.outer);
    // The buffer view keeps the array's memory alive while the lock is released.
    unwrap(without_gil([&] { return encode_host_pixels(host, width, encoding.flip, out); }));
}

// The pixels of an image array in `Storage` (Bytes or EncodedBytes) and its finished header:
// coerce_array with the context "image", the dtype's encoding, the mandatory cards checked
// against the pixels, then the user's cards.
template <class Storage, class Allocate>
std::pair<Header, Storage> encode_image(nb::handle data, bool primary, Header user,
                                        Allocate allocate) {
    const nb::object array = coerce_array(data, "image");
    const std::optional<PixelEncoding> encoding = pixel_encoding(array);
    if (!encoding) raise(PyExc_TypeError, kUnsupportedImageDtype);

    Storage pixels;
    std::vector<std::uint64_t> axes;
    {
        const ArrayBuffer buffer(array);
        for (int i = buffer.ndim() - 1; i >= 0; --i)
            axes.push_back(buffer.shape(i));
        pixels = allocate(buffer.size() * bytes_per_pixel(encoding->bitpix));
        encode_into(buffer, *encoding, std::span<std::uint8_t>(pixels.data(), pixels.size()));
    }

    // The header and the pixel bytes are checked against each other: an array without axes
    // holds one pixel where its header declares none, and is refused here.
    ImageHdu built =
        unwrap(ImageHdu::create_borrowed(unwrap(image_header(encoding->bitpix, axes, primary)),
                                         ByteSpan(pixels.data(), pixels.size())));
    Header header = std::move(built.header);

    unwrap(fit_user_scaling_cards(user, encoding->bitpix, encoding->offset));
    merge_user_header(header, user);
    return {std::move(header), std::move(pixels)};
}

// ---- classes ----

template <class T>
PyObject* builder_repr(PyObject* self, const char* name) {
    PyObject* result = nullptr;
    guard_c([&] {
        const T& b = *nb::inst_ptr<T>(self);
        const std::string text =
            std::string(name) + "(<" + std::to_string(b.hdu.data.size()) + " bytes>)";
        result = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    });
    return result;
}

PyObject* image_builder_repr(PyObject* self) {
    return builder_repr<PyImageBuilder>(self, "ImageBuilder");
}
PyObject* bintable_builder_repr(PyObject* self) {
    return builder_repr<PyBinTableBuilder>(self, "BinTableBuilder");
}
PyObject* ascii_table_builder_repr(PyObject* self) {
    return builder_repr<PyAsciiTableBuilder>(self, "AsciiTableBuilder");
}

PyType_Slot kImageBuilderSlots[] = {
    {Py_tp_repr, reinterpret_cast<void*>(image_builder_repr)},
    {0, nullptr},
};
PyType_Slot kBinTableBuilderSlots[] = {
    {Py_tp_repr, reinterpret_cast<void*>(bintable_builder_repr)},
    {0, nullptr},
};
PyType_Slot kAsciiTableBuilderSlots[] = {
    {Py_tp_repr, reinterpret_cast<void*>(ascii_table_builder_repr)},
    {0, nullptr},
};

nb::object make_image_builder_class(nb::module_& m) {
    return bound_class<PyImageBuilder>([&] {
        return nb::class_<PyImageBuilder>(
            m, "ImageBuilder",
            "Opaque image HDU spec produced by :func:`image`.\n\n"
            "Holds the finished header and big-endian data; pass it to :func:`write` or\n"
            "append it to a :class:`FitsFile`. It never changes, so it can be written any\n"
            "number of times.",
            nb::is_final(), nb::type_slots(kImageBuilderSlots));
    });
}

nb::object make_bintable_builder_class(nb::module_& m) {
    return bound_class<PyBinTableBuilder>([&] {
        return nb::class_<PyBinTableBuilder>(
            m, "BinTableBuilder",
            "Opaque BINTABLE HDU spec produced by :func:`bintable`.\n\n"
            "Also the result of :func:`compressed_image`. Holds the finished header, rows and\n"
            "heap; pass it to :func:`write` or append it to a :class:`FitsFile`.",
            nb::is_final(), nb::type_slots(kBinTableBuilderSlots));
    });
}

nb::object make_ascii_table_builder_class(nb::module_& m) {
    return bound_class<PyAsciiTableBuilder>([&] {
        return nb::class_<PyAsciiTableBuilder>(
            m, "AsciiTableBuilder",
            "Opaque ASCII TABLE HDU spec produced by :func:`ascii_table`.\n\n"
            "Holds the finished header and text rows; pass it to :func:`write` or append it\n"
            "to a :class:`FitsFile`.",
            nb::is_final(), nb::type_slots(kAsciiTableBuilderSlots));
    });
}

const Registration kImageBuilderRegistration{"ImageBuilder", make_image_builder_class};
const Registration kBinTableBuilderRegistration{"BinTableBuilder", make_bintable_builder_class};
const Registration kAsciiTableBuilderRegistration{"AsciiTableBuilder",
                                                  make_ascii_table_builder_class};

template <class T>
const T* held_builder(nb::handle obj) {
    if (!nb::isinstance<T>(obj) || !nb::inst_ready(obj)) return nullptr;
    return nb::inst_ptr<T>(obj);
}

// ---- image() ----

constexpr auto kData = required<nb::handle>("data");
constexpr auto kHeader = or_none<nb::handle>("header");
constexpr auto kPrimary = optional<bool>("primary", true);

nb::object py_image(const Args& p) {
    const bool primary = p.get(kPrimary);
    return make_image_builder(build_image_hdu(p.get(kData), p.get(kHeader), primary));
}

constexpr auto kImageSig = signature("image()", kData, kHeader, kPrimary);
constexpr auto kImageDoc = function_doc<kImageSig>(
    "Build an image HDU from an array.\n\n"
    "``data`` is a NumPy array or anything ``numpy.asarray`` accepts, of dtype bool, int8,\n"
    "uint8, int16, uint16, int32, uint32, int64, uint64, float32 or float64. NAXIS1 is the\n"
    "last NumPy axis. Unsigned 16/32/64-bit and signed 8-bit data are stored with the BZERO\n"
    "offset convention. ``header`` (a Header or a mapping) adds cards; structural cards are\n"
    "always computed. ``primary=False`` makes an IMAGE extension.");
constexpr FunctionDef kImage{kImageDoc, py_image};
const Registration kImageRegistration{"image",
                                      [](nb::module_& m) { return make_function<kImage>(m); }};

}  // namespace

// ---- builder objects ----

nb::object make_image_builder(EncodedHdu&& hdu) {
    return nb::cast(PyImageBuilder{std::move(hdu)}, nb::rv_policy::move);
}

nb::object make_bintable_builder(OwnedHdu&& hdu) {
    return nb::cast(PyBinTableBuilder{std::move(hdu)}, nb::rv_policy::move);
}

nb::object make_ascii_table_builder(OwnedHdu&& hdu) {
    return nb::cast(PyAsciiTableBuilder{std::move(hdu)}, nb::rv_policy::move);
}

std::optional<BuilderRef> builder_of(nb::handle obj) {
    if (const PyImageBuilder* b = held_builder<PyImageBuilder>(obj)) {
        return BuilderRef{BuilderKind::Image, &b->hdu.header, b->hdu.data.view()};
    }
    if (const PyBinTableBuilder* b = held_builder<PyBinTableBuilder>(obj)) {
        return BuilderRef{BuilderKind::BinTable, &b->hdu.header, b->hdu.data};
    }
    if (const PyAsciiTableBuilder* b = held_builder<PyAsciiTableBuilder>(obj)) {
        return BuilderRef{BuilderKind::AsciiTable, &b->hdu.header, b->hdu.data};
    }
    return std::nullopt;
}

// ---- image encoding ----

std::optional<PixelEncoding> pixel_encoding(nb::handle array) {
    const DtypeInfo d = dtype_info(array);
    if (!d.native()) return std::nullopt;
    const std::optional<DtypePixel> p = pixel_of_dtype(d.kind, d.itemsize);
    if (!p) return std::nullopt;
    if (!p->offset) return PixelEncoding{p->bitpix, 0, std::nullopt};
    return PixelEncoding{p->bitpix, flip_mask(p->bitpix), standard_offset(p->bitpix)};
}

EncodedBytes encode_pixels(nb::handle array, const PixelEncoding& encoding) {
    const ArrayBuffer buffer(array);
    // encode_into writes every byte: the buffer needs no clearing first.
    EncodedBytes out = EncodedBytes::of_size(buffer.size() * bytes_per_pixel(encoding.bitpix));
    encode_into(buffer, encoding, std::span<std::uint8_t>(out.data(), out.size()));
    return out;
}

OwnedHdu encode_image_array(nb::handle data, bool primary, Header user) {
    // The record keeps its data as a cleared list of bytes: the clearing, a pass over all of
    // it, runs without the interpreter lock.
    auto [header, pixels] = encode_image<Bytes>(data, primary, std::move(user), [](std::size_t n) {
        return without_gil([n] { return encode_buffer_of(n); });
    });
    return OwnedHdu{std::move(header), std::move(pixels)};
}

Header image_user_header(nb::handle header) {
    return header.is_valid() ? header_from_py(header) : Header();
}

void refuse_other_kind_cards(const Header& user) {
    if (std::optional<std::string> refusal = image_user_header_refusal(user)) {
        raise(PyExc_ValueError, std::move(*refusal));
    }
}

EncodedHdu build_image_hdu(nb::handle data, nb::handle header, bool primary) {
    Header user = image_user_header(header);
    refuse_other_kind_cards(user);
    auto [cards, pixels] = encode_image<EncodedBytes>(
        data, primary, std::move(user), [](std::size_t n) { return EncodedBytes::of_size(n); });
    return EncodedHdu{std::move(cards), std::move(pixels)};
}

// ---- character cells ----

std::string str_bytes(nb::handle obj) {
    if (!PyUnicode_Check(obj.ptr())) raise_not_instance(obj, "str");
    Py_ssize_t size = 0;
    if (const char* data = PyUnicode_AsUTF8AndSize(obj.ptr(), &size)) {
        return std::string(data, static_cast<std::size_t>(size));
    }
    PyErr_Clear();
    nb::object bytes = nb::steal(PyUnicode_AsEncodedString(obj.ptr(), "utf-8", "surrogatepass"));
    if (!bytes.is_valid()) throw nb::python_error();
    const nb::bytes raw = nb::borrow<nb::bytes>(bytes);
    return std::string(raw.c_str(), raw.size());
}

void drop_ordinary_error() {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw nb::python_error();
    PyErr_Clear();
}

std::optional<std::size_t> sequence_length(nb::handle obj) {
    if (PyUnicode_Check(obj.ptr()) || !PySequence_Check(obj.ptr())) return std::nullopt;
    const Py_ssize_t n = PySequence_Size(obj.ptr());
    if (n < 0) {
        drop_ordinary_error();
        return std::nullopt;
    }
    return static_cast<std::size_t>(n);
}

nb::object sequence_item(nb::handle seq, std::size_t i) {
    PyObject* item = PySequence_GetItem(seq.ptr(), static_cast<Py_ssize_t>(i));
    if (item == nullptr) {
        drop_ordinary_error();
        return nb::object();
    }
    return nb::steal(item);
}

nb::dict dict_argument(nb::handle obj) {
    if (!PyDict_Check(obj.ptr())) raise_required_instance(obj, "dict");
    return nb::borrow<nb::dict>(obj);
}

nb::dict optional_dict_argument(nb::handle obj) {
    if (!PyDict_Check(obj.ptr())) raise_not_instance(obj, "dict");
    return nb::borrow<nb::dict>(obj);
}

std::optional<std::string> option_text(const std::optional<nb::dict>& options, nb::handle key) {
    if (!options) return std::nullopt;
    const nb::object found = options->attr("get")(key);
    if (found.is_none()) return std::nullopt;
    return to_string(found);
}

}  // namespace vexlo::py
