#include "python/section.hpp"

#include <string>
#include <utility>

#include "python/args.hpp"
#include "python/errors.hpp"
#include "python/method.hpp"
#include "python/module.hpp"
#include "python/pixels.hpp"

namespace vexlo::py {

namespace {

constexpr const char* kNoData = "section: HDU has no data section (NAXIS == 0)";
constexpr const char* kDataNone = "section: HDU data was set to None after this section was made";

bool has_data(const PyImageSection& s) {
    if (s.axes.empty()) return false;
    for (const std::uint64_t n : s.axes) {
        if (n == 0) return false;
    }
    return true;
}

// The integer an index-like item stands for; nothing for anything else, and for integers
// beyond the signed 64-bit range.
std::optional<std::int64_t> index_item(nb::handle item) {
    if (!PyIndex_Check(item.ptr())) return std::nullopt;
    nb::object index = nb::steal(PyNumber_Index(item.ptr()));
    if (!index.is_valid()) {
        PyErr_Clear();
        return std::nullopt;
    }
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (overflow != 0) return std::nullopt;
    if (v == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return std::nullopt;
    }
    return v;
}

nb::object get_item(nb::handle array, nb::handle key) {
    nb::object result = nb::steal(PyObject_GetItem(array.ptr(), key.ptr()));
    if (!result.is_valid()) throw nb::python_error();
    return result;
}

// Any failure of the region read or of decoding it.
nb::object read_region(const PyImageSection& s, const SectionRegion& r, const Scaling& scaling) {
    const PixelSource& src = *s.pixel_source;
    const std::vector<std::uint64_t> starts(r.starts.rbegin(), r.starts.rend());
    const std::vector<std::uint64_t> counts(r.counts.rbegin(), r.counts.rend());
    // Dropped axes have a count of 1, so leaving them out changes no byte of the layout.
    std::vector<std::uint64_t> kept;
    for (std::size_t k = 0; k < r.counts.size(); ++k) {
        if (!r.dropped[k]) kept.push_back(r.counts[k]);
    }
    const DataSource bytes = unwrap(DataSource::of_file(*src.file, src.hdu_index));
    // The read is checked before its array is made: a header may claim far more than the
    // file holds.
    unwrap(section_len(bytes, src.axes, starts, counts, s.pixel_type));
    // Only the region is read and converted, each value exactly as the whole image's.
    const PhysicalForm form = physical_form(s.pixel_type, scaling);
    NewArray a = new_array(physical_dtype_name(s.pixel_type, form), kept);
    unwrap(without_gil([&] {
        return read_section_values_into(bytes, src.axes, starts, counts, s.pixel_type, scaling,
                                        form, a.bytes);
    }));
    if (scaling.is_identity()) return std::move(a.array);
    // As read-only as the whole array it stands for, and a scalar where indexing that array
    // by integers alone gives one.
    freeze_image_array(a.array);
    return kept.empty() ? get_item(a.array, nb::tuple()) : std::move(a.array);
}

nb::object full_load(const PyImageSection& s, nb::handle key) {
    nb::object array =
        load_full_array({s.axes, s.pixel_source, s.header, s.cache, s.read_only, s.pixel_type});
    if (!array.is_valid()) raise(PyExc_ValueError, kNoData);
    return get_item(array, key);
}

Scaling scaling_of(const PyImageSection& s) {
    auto lock = lock_header(*s.header.record);
    return read_image_scaling(s.header.record->header);
}

nb::object section_getitem(const PyImageSection& s, nb::handle key) {
    if (!has_data(s)) raise(PyExc_ValueError, kNoData);
    if (nb::object cached = cached_array(*s.cache); cached.is_valid()) {
        return get_item(cached, key);
    }
    // Once `data` was assigned the file no longer holds the image's pixels, although this
    // section kept its copy of the file source and axes; with no array in their place the
    // image has no pixels at all.
    if (source_dropped(*s.cache)) raise(PyExc_ValueError, kDataNone);
    if (!s.pixel_source) return full_load(s, key);
    // Scaled pixels (the unsigned offsets included) of an editable image are read whole: the
    // result then shares the array that edits go through.
    const Scaling scaling = scaling_of(s);
    if (!scaling.is_identity() && !s.read_only) return full_load(s, key);
    const std::optional<SectionRegion> region = parse_section_key(key, numpy_shape(s.axes));
    if (!region) return full_load(s, key);
    return read_region(s, *region, scaling);
}

std::string shape_list(std::span<const std::uint64_t> shape) {
    std::string out = "[";
    for (std::size_t i = 0; i < shape.size(); ++i) {
        if (i != 0) out += ", ";
        out += std::to_string(shape[i]);
    }
    return out + "]";
}

std::string section_repr(const PyImageSection& s) {
    if (!has_data(s)) return "_ImageSection(<no data>)";
    if (nb::object cached = cached_array(*s.cache); cached.is_valid()) {
        std::vector<std::uint64_t> shape;
        for (nb::handle n : cached.attr("shape"))
            shape.push_back(to_u64(n));
        return "_ImageSection(shape=" + shape_list(shape) + ")";
    }
    if (source_dropped(*s.cache)) return "_ImageSection(<data set to None>)";
    return "_ImageSection(shape=" + shape_list(numpy_shape(s.axes)) + ", lazy)";
}

PyObject* section_subscript(PyObject* self, PyObject* key) {
    PyObject* result = nullptr;
    guard_c(
        [&] { result = section_getitem(self_state<PyImageSection>(self), key).release().ptr(); });
    return result;
}

int section_ass_subscript(PyObject* self, PyObject* key, PyObject* value) {
    int result = -1;
    guard_c([&] {
        if (value == nullptr) raise(PyExc_NotImplementedError, "can't delete item");
        PyImageSection& section = self_state<PyImageSection>(self);
        // A patch of an image of a file opened for update is an operation of that file, and
        // of the file it was read from when the image was put into another one.
        FileSession* bound = section.binding ? section.binding->session.get() : nullptr;
        OperationPair operations = lock_operations(section.session.get(), bound);
        section_assign(operations, section, key, value);
        result = 0;
    });
    return result;
}

PyObject* section_repr_slot(PyObject* self) {
    PyObject* result = nullptr;
    guard_c([&] {
        const std::string text = section_repr(self_state<PyImageSection>(self));
        result = nb::str(text.data(), text.size()).release().ptr();
    });
    return result;
}

PyType_Slot kSectionSlots[] = {
    {Py_mp_subscript, reinterpret_cast<void*>(section_subscript)},
    {Py_mp_ass_subscript, reinterpret_cast<void*>(section_ass_subscript)},
    {Py_tp_repr, reinterpret_cast<void*>(section_repr_slot)},
    {0, nullptr},
};

nb::object make_section_class(nb::module_& m) {
    return bound_class<PyImageSection>([&] {
        return nb::class_<PyImageSection>(
            m, "_ImageSection",
            "Slicing proxy returned by :attr:`ImageHdu.section`.\n\n"
            "Integer and step-1 slice keys over unscaled pixels not read yet are read from "
            "the file region by region; any other key indexes the full array.",
            nb::is_final(), nb::type_slots(kSectionSlots));
    });
}

const Registration kSectionRegistration{"_ImageSection", make_section_class};

}  // namespace

std::optional<SectionRegion> parse_section_key(nb::handle key,
                                               std::span<const std::uint64_t> shape) {
    std::vector<nb::handle> items;
    if (PyTuple_Check(key.ptr())) {
        const Py_ssize_t n = NB_TUPLE_GET_SIZE(key.ptr());
        for (Py_ssize_t i = 0; i < n; ++i)
            items.emplace_back(NB_TUPLE_GET_ITEM(key.ptr(), i));
    } else {
        items.push_back(key);
    }
    if (items.size() > shape.size()) return std::nullopt;

    SectionRegion r;
    for (std::size_t k = 0; k < shape.size(); ++k) {
        const std::uint64_t len = shape[k];
        if (k >= items.size()) {
            r.starts.push_back(0);
            r.counts.push_back(len);
            r.dropped.push_back(false);
            continue;
        }
        nb::handle item = items[k];
        if (const std::optional<std::int64_t> given = index_item(item)) {
            const std::optional<std::uint64_t> at = wrap_index(*given, len);
            if (!at) {
                raise(PyExc_IndexError, "section: axis " + std::to_string(k) + " index " +
                                            std::to_string(*given) + " out of bounds (len " +
                                            std::to_string(len) + ")");
            }
            r.starts.push_back(*at);
            r.counts.push_back(1);
            r.dropped.push_back(true);
            continue;
        }
        if (Py_TYPE(item.ptr()) != &PySlice_Type) return std::nullopt;
        // Steps beyond the index range are clipped, as slice.indices and NumPy do.
        Py_ssize_t start = 0;
        Py_ssize_t stop = 0;
        Py_ssize_t step = 0;
        if (PySlice_Unpack(item.ptr(), &start, &stop, &step) != 0) throw nb::python_error();
        if (len > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) return std::nullopt;
        PySlice_AdjustIndices(static_cast<Py_ssize_t>(len), &start, &stop, step);
        if (step != 1 || start < 0 || stop < start) return std::nullopt;
        r.starts.push_back(static_cast<std::uint64_t>(start));
        r.counts.push_back(static_cast<std::uint64_t>(stop - start));
        r.dropped.push_back(false);
    }
    return r;
}

nb::object make_section_object(const PyImageHdu& hdu) {
    PyImageSection s;
    s.axes = hdu.axes;
    s.pixel_source = hdu.pixel_source;
    s.binding = hdu.binding;
    s.header = hdu.header;
    s.cache = hdu.cache;
    s.session = hdu.session;
    s.read_only = hdu.read_only;
    s.pixel_type = hdu.pixel_type;
    return nb::cast(std::move(s), nb::rv_policy::move);
}

}  // namespace vexlo::py
