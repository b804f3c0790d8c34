#include "python/image.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <utility>

#include "compression/reader.hpp"
#include "python/args.hpp"
#include "python/arrays.hpp"
#include "python/borrow.hpp"
#include "python/builders.hpp"
#include "python/errors.hpp"
#include "python/method.hpp"
#include "python/module.hpp"
#include "python/pixels.hpp"
#include "python/section.hpp"
#include "python/wcs.hpp"
#include "util/debug.hpp"
#include "util/text.hpp"

namespace vexlo::py {

// --- Array cache ------------------------------------------------------------------------------

nb::object cached_array(ArrayCache& cache) {
    auto lock = lock_mutex(cache.mutex);
    return cache.array;
}

nb::object swap_cached_array(ArrayCache& cache, nb::object array) {
    auto lock = lock_mutex(cache.mutex);
    std::swap(cache.array, array);
    cache.source_dropped = true;
    return array;
}

nb::object store_first_array(ArrayCache& cache, nb::object array) {
    auto lock = lock_mutex(cache.mutex);
    if (!cache.array.is_valid() && !cache.source_dropped) cache.array = array;
    nb::object kept = cache.array;
    lock.unlock();
    return kept;
}

bool source_dropped(ArrayCache& cache) {
    auto lock = lock_mutex(cache.mutex);
    return cache.source_dropped;
}

// --- Construction -----------------------------------------------------------------------------

PyImageHdu PyImageHdu::from_file_hdu(const ImageHdu& image, PyHeader header, bool read_only) {
    PyImageHdu state;
    state.axes = image.axes;
    state.header = std::move(header);
    state.read_only = read_only;
    state.pixel_type = image.bitpix;
    return state;
}

namespace {

bool has_pixels(std::span<const std::uint64_t> axes) {
    if (axes.empty()) return false;
    for (const std::uint64_t n : axes) {
        if (n == 0) return false;
    }
    return true;
}

}  // namespace

PyImageHdu PyImageHdu::from_bytes(Header header, ByteSpan data, bool read_only) {
    ImageShape shape = unwrap(built_image_shape(header));
    const Bitpix pixel_type = shape.bitpix;
    std::vector<std::uint64_t> axes = std::move(shape.axes);
    PyImageHdu state;
    state.header = PyHeader::from_header(std::move(header), read_only);
    if (has_pixels(axes)) {
        nb::object array = array_from_be_bytes(data, pixel_type, numpy_shape(axes));
        if (read_only) freeze_image_array(array);
        state.cache->array = std::move(array);
    }
    state.axes = std::move(axes);
    state.read_only = read_only;
    state.pixel_type = pixel_type;
    return state;
}

PyImageHdu PyImageHdu::from_decoded(ImageHdu&& image, bool read_only) {
    const Scaling scaling = read_image_scaling(image.header);
    const PhysicalForm form = physical_form(image.bitpix, scaling);
    PyImageHdu state;
    if (has_pixels(image.axes)) {
        nb::object array = physical_from_be_bytes(image.data.span(), image.bitpix, scaling,
                                                  numpy_shape(image.axes));
        if (read_only) freeze_image_array(array);
        state.cache->array = std::move(array);
        // Stored and offset values encode back to the same bytes; floats would not.
        if (form == PhysicalForm::F32 || form == PhysicalForm::F64) {
            state.decoded = std::make_shared<const DecodedPixels>(
                DecodedPixels{std::move(image).into_data(), scaling, image.axes});
        }
    }
    state.axes = std::move(image.axes);
    state.read_only = read_only;
    state.pixel_type = image.bitpix;
    state.header = PyHeader::from_header(std::move(image.header), read_only);
    return state;
}

// --- Shape cards and reading ------------------------------------------------------------------

Header header_with_shape(const Header& header, std::span<const std::uint64_t> axes,
                         Bitpix pixel_type) {
    Header h = header;
    set_image_shape_cards(h, axes, pixel_type);
    return h;
}

void sync_header_shape(PyImageHdu& hdu, std::span<const std::uint64_t> axes) {
    auto lock = lock_header(*hdu.header.record);
    set_image_shape_cards(hdu.header.record->header, axes, hdu.pixel_type);
}

namespace {

// The current header with this image's shape cards, copied under the header lock.
Header shaped_header(const ImageFields& f) {
    Header copy = f.header.snapshot();
    return header_with_shape(copy, f.axes, f.pixel_type);
}

nb::object read_pixels(const ImageFields& f) {
    if (nb::object cached = cached_array(*f.cache); cached.is_valid()) return cached;
    if (!has_pixels(f.axes) || !f.pixel_source) return nb::object();
    // A section made before `data` was assigned still holds the file source; the file's
    // pixels are no longer the image's.
    if (source_dropped(*f.cache)) return nb::object();
    const PixelSource& src = *f.pixel_source;
    const Header h = shaped_header(f);
    nb::object array;
    if (read_image_scaling(h).is_identity()) {
        array = read_raw_pixels(*src.file, src.hdu_index, f.pixel_type, numpy_shape(f.axes));
    } else {
        array = read_physical_pixels(*src.file, src.hdu_index, h, f.pixel_type, f.axes);
    }
    if (f.read_only) freeze_image_array(array);
    return store_first_array(*f.cache, std::move(array));
}

ImageFields fields_of(const PyImageHdu& hdu) {
    return {hdu.axes, hdu.pixel_source, hdu.header, hdu.cache, hdu.read_only, hdu.pixel_type};
}

}  // namespace

nb::object load_data(PyImageHdu& hdu) {
    return read_pixels(fields_of(hdu));
}

// The same read as `data`: unscaled pixels go straight into the array (the conversion route
// would give the same values through a second copy of the whole image).
nb::object load_full_array(const ImageFields& fields) {
    return read_pixels(fields);
}

std::vector<std::uint64_t> array_axes(nb::handle array) {
    nb::object shape = array.attr("shape");
    std::vector<std::uint64_t> axes;
    for (nb::handle n : shape)
        axes.push_back(to_u64(n));
    return {axes.rbegin(), axes.rend()};
}

std::vector<std::uint64_t> axes_from_array(ArrayCache& cache,
                                           std::span<const std::uint64_t> recorded) {
    nb::object array = cached_array(cache);
    if (!array.is_valid()) return {recorded.begin(), recorded.end()};
    return array_axes(array);
}

// --- Assignment and writing -------------------------------------------------------------------

nb::object set_data(PyImageHdu& hdu, nb::handle value) {
    // Before the value is looked at: even a refused assignment forces the next rewrite.
    if (hdu.session) hdu.session->modified.store(true);
    hdu.written.reset();
    if (value.is_none()) {
        hdu.pixel_source.reset();
        hdu.binding.reset();
        hdu.compressed.reset();
        nb::object previous = swap_cached_array(*hdu.cache, nb::object());
        hdu.axes.clear();
        sync_header_shape(hdu, {});
        return previous;
    }
    // Everything that can refuse the value runs before the HDU changes, so a refused value
    // keeps the pixels (and the file they are read from) as they were.
    nb::object array = coerce_array(value, "ImageHdu.data");
    const Bitpix pixel_type = dtype_code(array);
    std::vector<std::uint64_t> axes = array_axes(array);
    hdu.pixel_source.reset();
    hdu.binding.reset();
    hdu.compressed.reset();
    hdu.pixel_type = pixel_type;
    hdu.axes = std::move(axes);
    nb::object previous = swap_cached_array(*hdu.cache, std::move(array));
    sync_header_shape(hdu, hdu.axes);
    return previous;
}

namespace {

// numpy.array_equal with blank (not-a-number) pixels equal where both arrays have them.
bool same_values(nb::handle a, nb::handle b) {
    nb::dict kwargs;
    kwargs["equal_nan"] = true;
    return nb::bool_(numpy_module().attr("array_equal")(a, b, **kwargs)).operator bool();
}

// The cached array against the stored pixels, 1 MiB at a time: only a C-ordered array of the
// stored type in native order can equal them byte for byte.
bool compare_raw(nb::handle array, const PixelSource& src, Bitpix type) {
    const int same_dtype = PyObject_RichCompareBool(array.attr("dtype").ptr(),
                                                    nb::str(dtype_name(type).data()).ptr(), Py_EQ);
    if (same_dtype != 1) {
        PyErr_Clear();
        return false;
    }
    const Result<DataSource> stored = DataSource::of_file(*src.file, src.hdu_index);
    if (!stored) return false;
    Py_buffer view;
    if (PyObject_GetBuffer(array.ptr(), &view, PyBUF_C_CONTIGUOUS) != 0) {
        PyErr_Clear();
        return false;
    }
    const auto release = [&] { PyBuffer_Release(&view); };
    const auto* mem = static_cast<const std::uint8_t*>(view.buf);
    const std::uint64_t total = static_cast<std::uint64_t>(view.len);
    constexpr std::uint64_t kChunk = 1 << 20;
    Bytes chunk;
    try {
        chunk.resize(static_cast<std::size_t>(std::min(std::max(total, std::uint64_t{1}), kChunk)));
    } catch (const std::bad_alloc&) {
        release();
        return false;
    }
    for (std::uint64_t f = 0; f < total; f += kChunk) {
        const std::size_t len = static_cast<std::size_t>(std::min(total - f, kChunk));
        const std::span<std::uint8_t> dest(chunk.data(), len);
        const Result<DataSource> part = stored->slice(f, len);
        if (!part || !read_pixels_into(*part, type, false, dest) ||
            std::memcmp(dest.data(), mem + f, len) != 0) {
            release();
            return false;
        }
    }
    release();
    return true;
}

bool compare_physical(nb::handle array, const PixelSource& src, Bitpix type) {
    // What the file's pixels mean under the file's own header, not the edited one.
    Result<Header> stored = src.file->header(src.hdu_index);
    if (!stored) return false;
    const Header shaped = header_with_shape(*stored, src.axes, type);
    nb::object fresh = read_physical_pixels(*src.file, src.hdu_index, shaped, type, src.axes);
    return same_values(array, fresh);
}

// The array against what the stored table decodes to now, as the decoding built it (the
// decoded header's own scaling).
bool matches_compressed(nb::handle array, const CompressedSource& src) {
    const ImageHdu image =
        unwrap(without_gil([&] { return load_image(*src.file, src.hdu_index); }));
    nb::object fresh = physical_from_be_bytes(
        image.data.span(), image.bitpix, read_image_scaling(image.header), numpy_shape(image.axes));
    return same_values(array, fresh);
}

// A comparison that cannot be made (an array NumPy refuses to compare, a file that no
// longer reads) answers "changed", so the image is written rather than assumed saved.
template <class Compare>
bool false_on_error(Compare&& compare) {
    try {
        return compare();
    } catch (nb::python_error& e) {
        e.restore();
        PyErr_Clear();
        return false;
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace

bool compare_with_source(PyImageHdu& hdu) {
    const nb::object array = cached_array(*hdu.cache);
    if (!array.is_valid()) return true;
    if (!hdu.pixel_source) return false;
    return false_on_error([&] {
        const Header h = header_with_shape(hdu.header.snapshot(), hdu.axes, hdu.pixel_type);
        if (read_image_scaling(h).is_identity()) {
            return compare_raw(array, *hdu.pixel_source, hdu.pixel_type);
        }
        return compare_physical(array, *hdu.pixel_source, hdu.pixel_type);
    });
}

void mark_written(PyImageHdu& hdu, std::shared_ptr<const FitsFile> file, std::size_t index,
                  const std::shared_ptr<FileSession>& session) {
    hdu.written.reset();
    hdu.compressed.reset();
    if (hdu.pixel_source) {
        // Written in the type and shape it is read in, the image now lies in the new file:
        // later flushes compare its array with that, not with the file it was replaced by.
        const Result<Header> h = file->header(index);
        const auto bitpix = h ? h->bitpix() : Result<std::int64_t>(0);
        const auto axes = h ? h->axes() : Result<std::vector<std::uint64_t>>();
        const bool same = bitpix && *bitpix == bitpix_value(hdu.pixel_type) && axes &&
                          *axes == hdu.pixel_source->axes;
        if (same) *hdu.pixel_source = PixelSource{hdu.pixel_source->axes, std::move(file), index};
        return;
    }
    const nb::object array = cached_array(*hdu.cache);
    if (!array.is_valid()) return;
    const std::optional<PixelEncoding> encoding = pixel_encoding(array);
    if (!encoding) return;
    hdu.written = WrittenImage{PixelSource{array_axes(array), std::move(file), index},
                               encoding->bitpix, encoding->flip, session};
}

namespace {

// Whether writing the array again would give the data section written before: the same
// axes, the same encoding and the same bytes.
bool matches_written(nb::handle array, const WrittenImage& written) {
    if (array_axes(array) != written.at.axes) return false;
    const std::optional<PixelEncoding> encoding = pixel_encoding(array);
    if (!encoding || encoding->bitpix != written.bitpix || encoding->flip != written.flip) {
        return false;
    }
    // An array of the stored type itself is compared block by block without a copy.
    if (encoding->flip == 0 && compare_raw(array, written.at, encoding->bitpix)) return true;
    const EncodedBytes encoded = encode_pixels(array, *encoding);
    const Result<Bytes> stored = written.at.file->read_data(written.at.hdu_index);
    return stored && std::ranges::equal(*stored, encoded.view());
}

}  // namespace

bool compressed_unchanged(PyImageHdu& hdu) {
    if (!hdu.compressed || source_dropped(*hdu.cache)) return false;
    if (hdu.header.snapshot().bytes() != hdu.compressed->cards) return false;
    const nb::object array = cached_array(*hdu.cache);
    // Without an array the image has no pixels: nothing of it can have changed.
    if (!array.is_valid()) return true;
    return false_on_error([&] { return matches_compressed(array, *hdu.compressed); });
}

bool unchanged_for_flush(PyImageHdu& hdu, const FileSession& session) {
    if (hdu.compressed) return compressed_unchanged(hdu);
    if (hdu.pixel_source || !hdu.written || hdu.written->by.lock().get() != &session) {
        return compare_with_source(hdu);
    }
    const nb::object array = cached_array(*hdu.cache);
    if (!array.is_valid()) return true;
    return false_on_error([&] { return matches_written(array, *hdu.written); });
}

std::optional<Header> stored_image_header(PyImageHdu& hdu, bool primary) {
    bool has_pixels = hdu.pixel_source && !hdu.pixel_source->axes.empty();
    if (has_pixels) {
        for (const std::uint64_t n : hdu.pixel_source->axes)
            has_pixels = has_pixels && n != 0;
    }
    if (!has_pixels) return std::nullopt;
    Header out = header_with_shape(primary ? Header::new_primary() : Header::new_image_extension(),
                                   hdu.pixel_source->axes, hdu.pixel_type);
    merge_user_header(out, hdu.header.snapshot());
    return out;
}

namespace {

// A decoded tile-compressed image whose array still holds what was decoded, written from its
// decoded pixels behind the current cards; nothing otherwise.
std::optional<OwnedHdu> unchanged_decoded_hdu(PyImageHdu& hdu, bool primary) {
    if (!hdu.decoded || source_dropped(*hdu.cache)) return std::nullopt;
    const nb::object array = cached_array(*hdu.cache);
    if (!array.is_valid()) return std::nullopt;
    const DecodedPixels& d = *hdu.decoded;
    nb::object fresh =
        physical_from_be_bytes(d.stored, hdu.pixel_type, d.scaling, numpy_shape(d.axes));
    if (!same_values(array, fresh)) return std::nullopt;
    OwnedHdu out{unwrap(image_header(hdu.pixel_type, d.axes, primary)), d.stored};
    merge_user_header(out.header, hdu.header.snapshot());
    return out;
}

// An integer image read as floating point through its scaling, whose changed values all
// store exactly under that scaling, written in its stored type: unchanged pixels keep their
// stored integers. Nothing when the array or the scaling no longer fit the stored pixels.
std::optional<OwnedHdu> restored_scaled_hdu(PyImageHdu& hdu, Header& stored_header) {
    const PixelSource& src = *hdu.pixel_source;
    const nb::object array = cached_array(*hdu.cache);
    if (!array.is_valid() || array_axes(array) != src.axes) return std::nullopt;
    const Scaling scaling = read_image_scaling(stored_header);
    const PhysicalForm form = physical_form(hdu.pixel_type, scaling);
    if (is_float(hdu.pixel_type) || (form != PhysicalForm::F32 && form != PhysicalForm::F64)) {
        return std::nullopt;
    }
    // The stored integers mean the array's values only under the scaling they were read with.
    const Result<Header> read_with = src.file->header(src.hdu_index);
    if (!read_with && read_with.error().is_out_of_memory()) to_fits_error(read_with.error());
    if (!read_with || read_image_scaling(*read_with) != scaling) return std::nullopt;
    if (nb::str(array.attr("dtype").attr("name")).c_str() !=
        physical_dtype_name(hdu.pixel_type, form)) {
        return std::nullopt;
    }
    Bytes pixels = unwrap(src.file->read_data(src.hdu_index));
    const nb::object values = numpy_module().attr("ascontiguousarray")(array, "float64");
    Py_buffer view;
    if (PyObject_GetBuffer(values.ptr(), &view, PyBUF_C_CONTIGUOUS) != 0) throw nb::python_error();
    const std::span<const double> doubles(static_cast<const double*>(view.buf),
                                          static_cast<std::size_t>(view.len) / sizeof(double));
    Result<bool> kept = restore_stored_values(hdu.pixel_type, scaling, doubles, pixels);
    PyBuffer_Release(&view);
    // Out of memory is raised rather than taken for a value that does not store exactly.
    if (!unwrap(std::move(kept))) return std::nullopt;
    return OwnedHdu{std::move(stored_header), std::move(pixels)};
}

}  // namespace

OwnedHdu to_owned_hdu(PyImageHdu& hdu, bool primary) {
    Header copy = hdu.header.snapshot();
    // Pixels never changed are written from their stored bytes: encoding the array again
    // would turn a scaled integer image into floating point.
    if (std::optional<Header> stored = stored_image_header(hdu, primary)) {
        if (compare_with_source(hdu)) {
            const PixelSource& src = *hdu.pixel_source;
            return OwnedHdu{std::move(*stored), unwrap(src.file->read_data(src.hdu_index))};
        }
        if (std::optional<OwnedHdu> restored = restored_scaled_hdu(hdu, *stored)) {
            return std::move(*restored);
        }
    }
    if (std::optional<OwnedHdu> kept = unchanged_decoded_hdu(hdu, primary)) {
        return std::move(*kept);
    }
    const nb::object array = load_data(hdu);
    if (array.is_valid()) return encode_image_array(array, primary, std::move(copy));
    OwnedHdu out{primary ? Header::new_primary() : Header::new_image_extension(), Bytes()};
    merge_user_header(out.header, copy);
    return out;
}

Header wcs_header(PyImageHdu& hdu) {
    return header_with_shape(hdu.header.snapshot(), axes_from_array(*hdu.cache, hdu.axes),
                             hdu.pixel_type);
}

// --- The Python class -------------------------------------------------------------------------

namespace {

nb::object axes_list(std::span<const std::uint64_t> axes) {
    nb::list out;
    for (const std::uint64_t n : axes)
        out.append(nb::int_(n));
    return out;
}

nb::object data_getter(PyImageHdu& self) {
    nb::object array = load_data(self);
    if (!array.is_valid()) return nb::none();
    if (!self.read_only && self.session) self.session->data_accessed.store(true);
    return array;
}

// "(100, 200)", "(7)", "()": NAXIS order.
std::string shape_text(std::span<const std::uint64_t> axes) {
    std::string out = "(";
    for (std::size_t i = 0; i < axes.size(); ++i) {
        if (i != 0) out += ", ";
        out += std::to_string(axes[i]);
    }
    return out + ")";
}

std::string image_repr(PyImageHdu& self) {
    std::vector<std::uint64_t> axes;
    try {
        axes = axes_from_array(*self.cache, self.axes);
    } catch (nb::python_error&) {
        // No axes when the array's shape cannot be read.
    }
    std::optional<std::string> name;
    {
        auto lock = lock_header(*self.header.record);
        name = self.header.record->header.get_str("EXTNAME");
    }
    const std::string dtype = debug_str(dtype_name(self.pixel_type));
    std::string_view trimmed = name ? trim_ws(*name) : std::string_view();
    if (!trimmed.empty()) {
        return "ImageHdu(name=" + debug_str(trimmed) + ", dtype=" + dtype +
               ", shape=" + shape_text(axes) + ")";
    }
    return "ImageHdu(dtype=" + dtype + ", shape=" + shape_text(axes) + ")";
}

PyObject* image_repr_slot(PyObject* self) {
    PyObject* result = nullptr;
    guard_c([&] {
        PyImageHdu& state = self_state<PyImageHdu>(self);
        SharedUse use(state);
        const std::string text = image_repr(state);
        result = nb::str(text.data(), text.size()).release().ptr();
    });
    return result;
}

PyType_Slot kImageSlots[] = {
    {Py_tp_repr, reinterpret_cast<void*>(image_repr_slot)},
    {0, nullptr},
};

// --- Construction from Python -----------------------------------------------------------------

// The constructor's header: a new empty one, an independent copy of a vexlo.Header, or the
// value cards of a mapping set one by one exactly as Header.update sets them.
PyHeader header_for_new_image(nb::handle given) {
    if (!given.is_valid()) return PyHeader::new_empty();
    if (const PyHeader* other = header_handle(given)) {
        return PyHeader::from_header(other->snapshot(), false);
    }
    PyHeader handle = PyHeader::new_empty();
    nb::object view = make_header_object(handle);
    view.attr("update")(given);
    return handle;
}

constexpr auto kData = required<nb::handle>("data");
constexpr auto kHeader = or_none<nb::handle>("header");
constexpr auto kName = or_none<std::string>("name");
constexpr auto kNewSig = signature("ImageHdu.__new__()", kData, kHeader, kName);
constexpr auto kImageHduDoc = function_doc<kNewSig>(
    "Image HDU with lazy numpy data.\n\n"
    "Pixels of an image read from a file are read on the first access to `data` and kept. "
    "Built from an array, the HDU holds that array itself; `header` (a Header or a mapping) is "
    "copied and `name` becomes EXTNAME.");

PyImageHdu image_from_args(const Args& p) {
    const std::optional<std::string> name = p.get(kName);
    nb::object array = coerce_array(p.get(kData), "ImageHdu");
    const Bitpix pixel_type = dtype_code(array);
    std::vector<std::uint64_t> axes = array_axes(array);
    PyHeader header = header_for_new_image(p.get(kHeader));
    refuse_other_kind_cards(header.snapshot());
    if (name) {
        Result<bool> done;
        {
            auto lock = lock_header(*header.record);
            done = header.record->header.set("EXTNAME", Value::make_string(*name), std::nullopt);
        }
        if (!done) to_fits_error(done.error());
    }
    PyImageHdu state;
    state.axes = std::move(axes);
    state.header = std::move(header);
    state.cache->array = std::move(array);
    state.pixel_type = pixel_type;
    return state;
}

// --- The data property ------------------------------------------------------------------------

// A get/set descriptor rather than a property object, so that deleting the attribute gives
// the plain "property has no deleter".
PyObject* data_get_slot(PyObject* self, void*) {
    PyObject* result = nullptr;
    guard_c([&] {
        PyImageHdu& state = self_state<PyImageHdu>(self);
        auto operation = state.lock_operation();
        SharedUse use(state);
        result = data_getter(state).release().ptr();
    });
    return result;
}

int data_set_slot(PyObject* self, PyObject* value, void*) {
    if (value == nullptr) {
        PyErr_SetString(PyExc_AttributeError, "property has no deleter");
        return -1;
    }
    // Declared first so that the replaced array is released after the borrow ends: its last
    // reference may run Python code that looks at this object.
    nb::object previous;
    const bool ok = guard_c([&] {
        PyImageHdu& state = self_state<PyImageHdu>(self);
        auto operation = state.lock_operation();
        ExclusiveUse use(state);
        previous = set_data(state, value);
    });
    return ok ? 0 : -1;
}

PyGetSetDef kDataGetSet = {
    "data", data_get_slot, data_set_slot,
    "Pixel data as a numpy array.\n\n"
    "None when the image has no pixels. Arrays of files opened read-only are read-only.\n\n"
    "Replace the pixel array: assigning an array (or anything numpy.asarray accepts) makes\n"
    "it the HDU's data, neither copied nor frozen, and rewrites BITPIX, NAXIS and NAXISn;\n"
    "assigning None leaves the HDU without pixels (NAXIS = 0).",
    nullptr};

void add_data_property(nb::handle cls) {
    nb::object descr =
        nb::steal(PyDescr_NewGetSet(reinterpret_cast<PyTypeObject*>(cls.ptr()), &kDataGetSet));
    if (!descr.is_valid()) throw nb::python_error();
    nb::setattr(cls, "data", descr);
}

constexpr auto kWcsSig = signature("ImageHdu.wcs()", kAltArg);
nb::object image_wcs(PyImageHdu& self, const Args& p) {
    const char32_t alt = p.get(kAltArg);
    SharedUse use(self);
    return hdu_wcs_object(unwrap(Wcs::from_header(wcs_header(self), alt)), self.tab_file.get(),
                          "WCS has a -TAB axis, but this HDU carries no file to load the lookup "
                          "table from; read the HDU from vexlo.open, or use vexlo.Wcs(hdu.header) "
                          "for header-only inspection");
}
constexpr auto kWcsDoc = method_doc<kWcsSig>(
    "The world coordinate system of this image for the alternate description `alt`, or None.");
constexpr MethodDef<PyImageHdu> kWcs{kWcsDoc, image_wcs};

constexpr auto kMatchesSig = signature("ImageHdu.data_matches_source()");
nb::object image_data_matches_source(PyImageHdu& self, const Args&) {
    SharedUse use(self);
    return nb::bool_(compare_with_source(self));
}
constexpr auto kDataMatchesSourceDoc =
    method_doc<kMatchesSig>("Whether the cached pixel array still matches the bytes on disk.");
constexpr MethodDef<PyImageHdu> kDataMatchesSource{kDataMatchesSourceDoc,
                                                   image_data_matches_source};

nb::object make_image_class(nb::module_& m) {
    return bound_class<PyImageHdu>([&] {
        auto cls = nb::class_<PyImageHdu>(m, "ImageHdu", kImageHduDoc.doc(), nb::is_final(),
                                          nb::type_slots(kImageSlots));
        cls.def("__init__", [](PyImageHdu* self, nb::args args, nb::kwargs kwargs) {
            const Args p = parse_args(kNewSig, args, kwargs);
            new (self) PyImageHdu(image_from_args(p));
        });
        cls.def_prop_ro(
            "header",
            [](PyImageHdu& self) {
                SharedUse use(self);
                return make_header_object(self.header);
            },
            "The HDU header (see :class:`Header`).");
        cls.def_prop_ro(
            "axes",
            [](PyImageHdu& self) {
                SharedUse use(self);
                return axes_list(axes_from_array(*self.cache, self.axes));
            },
            "Image axes in **NAXIS order**: ``[NAXIS1, NAXIS2, ...]``.");
        cls.def_prop_ro(
            "bitpix",
            [](PyImageHdu& self) {
                SharedUse use(self);
                return bitpix_value(self.pixel_type);
            },
            "FITS ``BITPIX`` value (e.g. ``-32`` for ``f32``).");
        add_data_property(cls);
        add_method<PyImageHdu, kWcs>(cls);
        add_method<PyImageHdu, kDataMatchesSource>(cls);
        cls.def_prop_ro(
            "section",
            [](PyImageHdu& self) {
                SharedUse use(self);
                return make_section_object(self);
            },
            "Slicing accessor that mirrors :class:`numpy.ndarray`\n"
            "indexing. Unscaled pixels not read yet are read from the file region by region.");
        return cls;
    });
}

const Registration kImageRegistration{"ImageHdu", make_image_class};

}  // namespace

nb::object make_image_object(PyImageHdu&& state) {
    return nb::cast(std::move(state), nb::rv_policy::move);
}

PyImageHdu* image_state(nb::handle obj) {
    if (!obj.is_valid() || !nb::isinstance<PyImageHdu>(obj)) return nullptr;
    return nb::inst_ptr<PyImageHdu>(obj);
}

}  // namespace vexlo::py
