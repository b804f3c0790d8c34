// Assignments through image sections. In mode "update" an image read lazily from the file
// carries a binding to the file's updater, and a contiguous region is encoded and written
// straight into the file with the interpreter lock released; every other case assigns into
// the full array and marks the file for a rewrite.
#include <cmath>
#include <cstring>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "hdu/image.hpp"
#include "hdu/image_patch.hpp"
#include "python/errors.hpp"
#include "python/method.hpp"
#include "python/pixels.hpp"
#include "python/section.hpp"

namespace vexlo::py {

namespace {

constexpr const char* kNoData = "section: HDU has no data section (NAXIS == 0)";
constexpr const char* kUnsupportedKey =
    "section[...] = value: this indexing pattern (fancy indexing, negative steps, an "
    "`Ellipsis` or boolean mask, ...) is not supported by the in-place patch path used by "
    "`mode='update'`. Either narrow the key to contiguous slices `start:stop` (step 1) and "
    "non-negative integers, or assign through `hdu.data[...]` to opt into a full-file rewrite "
    "on the next `flush()`.";

// The live header's scaling: an unflushed edit of it makes the patch fall back to a rewrite.
Scaling live_scaling(const PyHeader& header) {
    auto lock = lock_header(*header.record);
    return read_image_scaling(header.record->header);
}

bool is_scaled(PhysicalForm form) {
    return form == PhysicalForm::F32 || form == PhysicalForm::F64;
}

// Scaled values travel as doubles whatever the physical form's precision, so that the
// inverse conversion sees every value exactly as given.
const char* patch_dtype(PhysicalForm form, Bitpix b) {
    return is_scaled(form) ? "float64" : physical_dtype_name(b, form).data();
}

struct PatchRequest {
    std::vector<std::uint64_t> starts;  // NAXIS1 first
    std::vector<std::uint64_t> counts;
    Bytes values;                  // native order; unscaled forms
    std::vector<double> physical;  // scaled forms
    PatchBinding binding;
    PhysicalForm form = PhysicalForm::Stored;
    Bitpix bitpix = Bitpix::U8;
    Scaling scaling;
};

enum class PatchOutcome : std::uint8_t { Written, Fallback, Failed, Replaced };

bool same_scaling(const PatchBinding& b, const PatchRequest& r) {
    return b.target && b.target->bitpix == r.bitpix && b.target->scaling == r.scaling;
}

// Runs within `ops`, which hold the operation of the file the binding writes to (an image
// put into another file object keeps its binding to the file it was read from). Touches no
// Python object: the interpreter lock is released before the writer turn and the updater lock
// are taken and taken back only after they are released.
PatchOutcome write_patch_without_gil(OperationPair& ops, PatchRequest& r, Error& error) {
    const FileSession* bound = r.binding.session.get();
    FileSession::Operation* through = ops.first.session() == bound    ? &ops.first
                                      : ops.second.session() == bound ? &ops.second
                                                                      : nullptr;
    if (through == nullptr) return PatchOutcome::Fallback;
    nb::gil_scoped_release release;
    // A rewrite of the file by another file object of this process cannot rename a new file
    // over it between the check below and the write.
    auto turn = lend_writer_turn(*through, FileSession::Gil::Released);
    auto access = lend_updater(*turn, FileSession::Gil::Released);
    FitsUpdater& up = *access;
    if (up.generation != r.binding.generation) return PatchOutcome::Fallback;
    // An unflushed scaling edit makes the header's encoding disagree with what the file
    // stores: only a rewrite can apply it.
    const std::size_t index = r.binding.hdu_index;
    if (index >= up.hdus.size() || !same_scaling(r.binding, r)) return PatchOutcome::Fallback;
    if (Result<void> same = up.check_not_replaced(); !same) {
        error = same.error();
        return PatchOutcome::Replaced;
    }
    // The next flush of the file the binding writes to (not necessarily the section's own)
    // syncs what is written now, also the runs before a failing one.
    r.binding.session->patched.store(true);
    Result<void> done;
    if (is_scaled(r.form)) {
        done = write_section_physical(up, index, *r.binding.target, r.starts, r.counts, r.physical);
    } else {
        if (r.form == PhysicalForm::Offset) done = offset_to_stored_in_place(r.bitpix, r.values);
        if (done) {
            done =
                write_section(up, index, *r.binding.target, r.starts, r.counts, r.bitpix, r.values);
        }
    }
    if (done) return PatchOutcome::Written;
    error = done.error();
    return PatchOutcome::Failed;
}

void set_item(nb::handle target, nb::handle key, nb::handle value) {
    if (PyObject_SetItem(target.ptr(), key.ptr(), value.ptr()) != 0) throw nb::python_error();
}

template <class V>
Result<void> check_cast_as(const nb::object& wide, const PatchRequest& r) {
    const nb::bytes raw = nb::borrow<nb::bytes>(wide.attr("tobytes")());
    std::vector<V> values(raw.size() / sizeof(V));
    // An empty region gives no bytes, and no buffer to copy them from or into.
    if (!values.empty()) std::memcpy(values.data(), raw.data(), values.size() * sizeof(V));
    return check_cast_to_stored(r.bitpix, r.scaling, std::span<const V>(values));
}

// `source` broadcast to the region's NumPy `shape` in the wide type `dtype`.
nb::object widened(nb::handle source, const nb::list& shape, const char* dtype) {
    nb::object wide = numpy_module().attr("empty")(shape, dtype);
    set_item(wide, nb::steal(PyTuple_New(0)), source);
    return wide;
}

// NumPy holds a Python sequence of integers as float64 when one of them is beyond i64; a
// value refused in float64 is looked at again as exact u64 when that reads the same numbers.
bool fits_as_exact_integers(nb::handle value, const nb::list& shape, const nb::object& wide,
                            const PatchRequest& r) {
    if (nb::hasattr(value, "dtype")) return false;
    try {
        nb::object exact =
            widened(numpy_module().attr("asarray")(value, "uint64"), shape, "uint64");
        nb::object same = exact.attr("astype")("float64").attr("__eq__")(wide).attr("all")();
        if (PyObject_IsTrue(same.ptr()) != 1) return false;
        return check_cast_as<std::uint64_t>(exact, r).has_value();
    } catch (const nb::python_error&) {
        return false;
    }
}

// An integer cast of values that do not fit the stored type would store them wrapped, and
// NaN as an arbitrary integer: the core checks them first, in a wide type of their own kind,
// broadcast to the region from the value as given (so a misfit fails as NumPy's own
// assignment does). A value type that casts safely needs no look; other kinds
// (complex, objects, text) keep NumPy's own rules.
void check_integer_values(nb::handle value, const nb::list& shape, const PatchRequest& r) {
    if (r.bitpix == Bitpix::F32 || r.bitpix == Bitpix::F64) return;
    nb::handle np = numpy_module();
    nb::object source = np.attr("asarray")(value);
    nb::object dtype = source.attr("dtype");
    nb::object safe = np.attr("can_cast")(dtype, patch_dtype(r.form, r.bitpix));
    if (PyObject_IsTrue(safe.ptr()) == 1) return;
    const std::string kind = nb::cast<std::string>(dtype.attr("kind"));
    if (kind == "i") return unwrap(check_cast_as<std::int64_t>(widened(value, shape, "int64"), r));
    if (kind == "u") {
        return unwrap(check_cast_as<std::uint64_t>(widened(value, shape, "uint64"), r));
    }
    if (kind != "f") return;
    nb::object wide = widened(value, shape, "float64");
    const Result<void> fits = check_cast_as<double>(wide, r);
    if (!fits && !fits_as_exact_integers(value, shape, wide, r)) to_fits_error(fits.error());
}

void full_array_assign(const PyImageSection& s, nb::handle key, nb::handle value) {
    nb::object array =
        load_full_array({s.axes, s.pixel_source, s.header, s.cache, s.read_only, s.pixel_type});
    if (!array.is_valid()) raise(PyExc_ValueError, kNoData);
    set_item(array, key, value);
    if (s.session) s.session->modified.store(true);
}

}  // namespace

void section_assign(OperationPair& ops, PyImageSection& s, nb::handle key, nb::handle value) {
    bool has_data = !s.axes.empty();
    for (const std::uint64_t n : s.axes)
        has_data = has_data && n != 0;
    if (!has_data) raise(PyExc_ValueError, kNoData);
    if (!s.binding) return full_array_assign(s, key, value);

    PatchRequest r;
    r.scaling = live_scaling(s.header);
    r.bitpix = s.pixel_type;
    r.form = physical_form(s.pixel_type, r.scaling);
    const std::optional<SectionRegion> region = parse_section_key(key, numpy_shape(s.axes));
    if (!region) raise(PyExc_ValueError, kUnsupportedKey);
    // The value broadcasts into the region as NumPy indexes it, an integer-indexed axis
    // removed; that axis has one pixel, so the C-order bytes are those of the full counts.
    nb::list shape;
    bool empty = false;
    for (std::size_t k = 0; k < region->counts.size(); ++k) {
        empty = empty || region->counts[k] == 0;
        if (!region->dropped[k]) shape.append(nb::int_(region->counts[k]));
    }
    if (r.form == PhysicalForm::Stored || r.form == PhysicalForm::Offset) {
        check_integer_values(value, shape, r);
    }
    nb::object buffer = numpy_module().attr("empty")(shape, patch_dtype(r.form, r.bitpix));
    set_item(buffer, nb::steal(PyTuple_New(0)), value);
    // An empty region takes nothing, once the value has broadcast into it as NumPy requires.
    if (empty) return;
    nb::bytes encoded = nb::borrow<nb::bytes>(buffer.attr("tobytes")());
    const auto* data = static_cast<const std::uint8_t*>(encoded.data());
    if (is_scaled(r.form)) {
        // The region is not empty, so there are bytes to copy.
        r.physical.resize(encoded.size() / sizeof(double));
        std::memcpy(r.physical.data(), data, r.physical.size() * sizeof(double));
    } else {
        r.values.assign(data, data + encoded.size());
    }
    if (nb::object cached = cached_array(*s.cache); cached.is_valid()) set_item(cached, key, value);

    r.starts.assign(region->starts.rbegin(), region->starts.rend());
    r.counts.assign(region->counts.rbegin(), region->counts.rend());
    r.binding = *s.binding;
    Error error = Error::io("");
    switch (write_patch_without_gil(ops, r, error)) {
        case PatchOutcome::Written:
            return;
        case PatchOutcome::Failed:
            to_fits_error(error);
        case PatchOutcome::Replaced:
            // The edit stays with the HDU, so that writeto can still save it, where the old
            // file's pixels can still be read: one cut short by another writer may have lost
            // them, and then the refusal alone is told.
            try {
                full_array_assign(s, key, value);
            } catch (const BuiltinError&) {
            } catch (const nb::python_error&) {
            }
            s.binding.reset();
            to_fits_error(error);
        case PatchOutcome::Fallback:
            break;
    }
    full_array_assign(s, key, value);
    s.binding.reset();
}

}  // namespace vexlo::py
