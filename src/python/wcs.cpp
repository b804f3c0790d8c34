#include "python/wcs.hpp"

#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "python/arrays.hpp"
#include "python/errors.hpp"
#include "python/method.hpp"
#include "python/module.hpp"
#include "python/pixels.hpp"
#include "util/number.hpp"
#include "util/text.hpp"

namespace vexlo::py {

namespace {

nb::str py_text(std::string_view text) {
    return nb::str(text.data(), text.size());
}

// --- Arguments --------------------------------------------------------------------------------

// Whether the array's memory can be read in place as doubles: C order, aligned.
bool readable_in_place(nb::handle array) {
    nb::object flags = nb::getattr(array, "flags");
    return nb::cast<bool>(nb::getattr(flags, "c_contiguous")) &&
           nb::cast<bool>(nb::getattr(flags, "aligned"));
}

// A C-ordered copy of a float64 array.
nb::object c_copy(nb::handle array) {
    nb::object fn = nb::getattr(numpy_module(), "array");
    return fn(array, nb::arg("dtype") = "float64", nb::arg("order") = "C", nb::arg("copy") = true);
}

// The doubles of a C-ordered float64 array; the array must outlive the span.
std::span<const double> doubles_of(const ArrayBuffer& buffer) {
    return {reinterpret_cast<const double*>(buffer.data()), buffer.size()};
}

nb::object float_list(std::span<const double> values) {
    nb::list out;
    for (double v : values)
        out.append(nb::float_(v));
    return out;
}

// --- Transforms -------------------------------------------------------------------------------

enum class Direction { PixelToWorld, WorldToPixel };

// `coords` is the handle of the coordinates parameter, named after the direction.
nb::object transform(const Wcs& wcs, const Args& p,
                     const Arg<nb::object, Omitted::Required>& coords, Direction dir) {
    const bool forward = dir == Direction::PixelToWorld;
    const char* name = forward ? "pixel_to_world" : "world_to_pixel";
    nb::object array = p.get(coords);
    const double shift = origin_shift(p.get(kOriginArg));
    if (!readable_in_place(array) || (forward && shift != 0.0)) array = c_copy(array);
    const std::size_t n = wcs.naxis();
    const int ndim = nb::cast<int>(nb::getattr(array, "ndim"));
    if (ndim != 1 && ndim != 2) {
        raise(PyExc_ValueError, std::string(name) + ": expected a 1-D or 2-D array, got " +
                                    std::to_string(ndim) + "-D");
    }
    // Our own copy may take the input shift in place.
    if (forward && shift != 0.0) {
        ArrayBuffer buffer(array);
        double* values = reinterpret_cast<double*>(const_cast<std::uint8_t*>(buffer.data()));
        for (std::size_t i = 0; i < buffer.size(); ++i)
            values[i] += shift;
    }
    ArrayBuffer buffer(array);
    const std::span<const double> in = doubles_of(buffer);
    if (ndim == 1) {
        std::vector<double> out = unwrap(forward ? wcs.pixel_to_world(in) : wcs.world_to_pixel(in));
        if (!forward) {
            for (double& v : out)
                v -= shift;
        }
        return float_list(out);
    }
    const std::size_t rows = buffer.shape(0);
    const std::size_t cols = buffer.shape(1);
    if (cols != n) {
        raise(PyExc_ValueError, std::string(name) + ": expected a batch of shape (N, " +
                                    std::to_string(n) + ") for a " + std::to_string(n) +
                                    "-axis WCS, got " + std::to_string(cols) +
                                    " columns; pass the transpose if the points run down the "
                                    "columns");
    }
    const std::uint64_t shape[2] = {rows, cols};
    NewArray result = new_array("float64", shape);
    const std::span<double> out(reinterpret_cast<double*>(result.bytes.data()), rows * cols);
    Result<void> done;
    {
        nb::gil_scoped_release release;
        done = forward ? wcs.pixel_to_world_batch(in, out) : wcs.world_to_pixel_batch(in, out);
        if (done && !forward && shift != 0.0) {
            for (double& v : out)
                v -= shift;
        }
    }
    unwrap(std::move(done));
    return result.array;
}

// --- Description text -------------------------------------------------------------------------

std::string quoted_list(const std::vector<AxisDescription>& axes, bool unit) {
    std::string out;
    for (std::size_t i = 0; i < axes.size(); ++i) {
        if (i > 0) out += ' ';
        out += '\'' + (unit ? axes[i].cunit : axes[i].ctype) + '\'';
    }
    return out;
}

std::string number_list(std::span<const double> values) {
    std::string out;
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i > 0) out += ' ';
        // A negative CDELT times a zero PC entry is -0.0, which means 0.
        out += format_real_plain(values[i] == 0.0 ? 0.0 : values[i]);
    }
    return out;
}

std::string description_text(const Wcs& w) {
    const std::size_t n = w.naxis();
    std::string out = "WCS Keywords\n\nNumber of WCS axes: " + std::to_string(n) + "\n";
    out += "CTYPE : " + quoted_list(w.axes, false) + "\n";
    bool any_unit = false;
    for (const AxisDescription& a : w.axes)
        any_unit = any_unit || !a.cunit.empty();
    if (any_unit) out += "CUNIT : " + quoted_list(w.axes, true) + "\n";
    out += "CRVAL : " + number_list(w.linear.crval) + "\n";
    out += "CRPIX : " + number_list(w.linear.crpix) + "\n";
    if (n > 0 && w.linear.matrix.size() == n * n) {
        for (std::size_t i = 0; i < n; ++i) {
            std::string names;
            for (std::size_t j = 0; j < n; ++j) {
                if (j > 0) names += ' ';
                names += "CD" + std::to_string(i + 1) + "_" + std::to_string(j + 1);
            }
            out += names + " : " +
                   number_list(std::span<const double>(w.linear.matrix).subspan(i * n, n)) + "\n";
        }
    }
    if (w.wcsname) out += "WCSNAME : '" + *w.wcsname + "'\n";
    if (w.celestial) {
        out += "RADESYS : " + std::string(radesys_name(w.radesys)) + "\n";
        if (w.equinox) out += "EQUINOX : " + format_real_plain(*w.equinox) + "\n";
    }
    return out;
}

// --- Methods ----------------------------------------------------------------------------------

PyWcs& wcs_state(PyObject* self) {
    return self_state<PyWcs>(self);
}

constexpr auto kCelestialAxesSig = signature("Wcs.celestial_axes()");
nb::object celestial_axes(PyWcs& self, const Args&) {
    if (!self.wcs.pair) return nb::none();
    return nb::make_tuple(self.wcs.pair->lon, self.wcs.pair->lat);
}
constexpr auto kCelestialAxesDoc = method_doc<kCelestialAxesSig>(
    "``(lon_axis, lat_axis)`` (0-based) of the celestial pair, or ``None`` without one.");
constexpr MethodDef<PyWcs> kCelestialAxes{kCelestialAxesDoc, celestial_axes};

constexpr auto kAxisKindsSig = signature("Wcs.axis_kinds()");
nb::object axis_kinds(PyWcs& self, const Args&) {
    static constexpr const char* kNames[] = {"longitude", "latitude", "spectral", "time",
                                             "phase",     "stokes",   "linear"};
    nb::list out;
    for (std::size_t i = 0; i < self.wcs.naxis(); ++i) {
        const auto code = static_cast<std::size_t>(self.wcs.axis_kind(i));
        out.append(nb::str(code < 7 ? kNames[code] : "linear"));
    }
    return out;
}
constexpr auto kAxisKindsDoc = method_doc<kAxisKindsSig>(
    "The kind of every axis: \"longitude\", \"latitude\", \"spectral\", \"time\", \"phase\", "
    "\"stokes\" or \"linear\".");
constexpr MethodDef<PyWcs> kAxisKinds{kAxisKindsDoc, axis_kinds};

constexpr auto kAxis = required<std::uint64_t>("axis");
constexpr auto kIsTabularSig = signature("Wcs.is_tabular()", kAxis);
nb::object is_tabular(PyWcs& self, const Args& p) {
    const std::uint64_t axis = p.get(kAxis);
    for (const TabAxisSpec& t : self.wcs.tab_specs) {
        if (t.axis == axis) return nb::bool_(true);
    }
    return nb::bool_(false);
}
constexpr auto kIsTabularDoc =
    method_doc<kIsTabularSig>("True when axis (0-based) is a ``-TAB`` lookup-table axis.");
constexpr MethodDef<PyWcs> kIsTabular{kIsTabularDoc, is_tabular};

constexpr auto kFootprintSig = signature("Wcs.footprint()");
nb::object footprint(PyWcs& self, const Args&) {
    const std::vector<double> corners = unwrap(self.wcs.footprint());
    const std::size_t n = self.wcs.naxis();
    const std::uint64_t shape[2] = {n == 0 ? 0 : corners.size() / n, n};
    NewArray result = new_array("float64", shape);
    if (!corners.empty())
        std::memcpy(result.bytes.data(), corners.data(), corners.size() * sizeof(double));
    return result.array;
}
constexpr auto kFootprintDoc = method_doc<kFootprintSig>(
    "World coordinates of the image's corner pixels, shape ``(corners, naxis)``.\n\n"
    "Corners are pixel centres in Gray-code order, so consecutive rows differ in one axis; a "
    "corner that cannot be transformed is a row of NaN.");
constexpr MethodDef<PyWcs> kFootprint{kFootprintDoc, footprint};

constexpr auto kPix = required<nb::object>("pix", float64_array);
constexpr auto kPixelToWorldSig = signature("Wcs.pixel_to_world()", kPix, kOriginArg);
nb::object pixel_to_world(PyWcs& self, const Args& p) {
    return transform(self.wcs, p, kPix, Direction::PixelToWorld);
}
constexpr auto kPixelToWorldDoc = method_doc<kPixelToWorldSig>(
    "Pixel coordinates to world coordinates.\n\n"
    "`pix` is one point (naxis values; a list of floats is returned) or an ``(N, naxis)`` "
    "array (an ``(N, naxis)`` array is returned, NaN rows for points outside the projection). "
    "`origin` is 0 for 0-based pixels or 1 for FITS 1-based pixels.");
constexpr MethodDef<PyWcs> kPixelToWorld{kPixelToWorldDoc, pixel_to_world};

constexpr auto kWorld = required<nb::object>("world", float64_array);
constexpr auto kWorldToPixelSig = signature("Wcs.world_to_pixel()", kWorld, kOriginArg);
nb::object world_to_pixel(PyWcs& self, const Args& p) {
    return transform(self.wcs, p, kWorld, Direction::WorldToPixel);
}
constexpr auto kWorldToPixelDoc = method_doc<kWorldToPixelSig>(
    "World coordinates to pixel coordinates.\n\n"
    "`world` is one point or an ``(N, naxis)`` array, as for :meth:`pixel_to_world`; the "
    "pixels returned are 0-based, or 1-based with ``origin=1``.");
constexpr MethodDef<PyWcs> kWorldToPixel{kWorldToPixelDoc, world_to_pixel};

constexpr auto kPx = required<double>("px");
constexpr auto kPy = required<double>("py");
constexpr auto kPixelScaleSig = signature("Wcs.pixel_scale_at()", kPx, kPy, kOriginArg);
nb::object pixel_scale_at(PyWcs& self, const Args& p) {
    const double px = p.get(kPx);
    const double py = p.get(kPy);
    const double shift = origin_shift(p.get(kOriginArg));
    const auto scale = unwrap(self.wcs.pixel_scale_at(px + shift, py + shift));
    return nb::make_tuple(scale.first, scale.second);
}
constexpr auto kPixelScaleAtDoc = method_doc<kPixelScaleSig>(
    "Local pixel scale ``(along longitude axis, along latitude axis)`` in arcseconds per "
    "pixel at pixel ``(px, py)`` of the celestial axes.");
constexpr MethodDef<PyWcs> kPixelScaleAt{kPixelScaleAtDoc, pixel_scale_at};

constexpr auto kToHeaderSig = signature("Wcs.to_header()", kAltArg);
nb::object to_header(PyWcs& self, const Args& p) {
    const char32_t alt = p.get(kAltArg);
    Header header = unwrap(self.wcs.to_header(alt));
    return make_header_object(PyHeader::from_header(std::move(header), false));
}
constexpr auto kToHeaderDoc = method_doc<kToHeaderSig>(
    "The description as a new :class:`Header` of WCS cards for alternate code `alt`.\n\n"
    "The linear step is written as a CD matrix; NAXISn are zero placeholders to be merged into "
    "a header with the real image shape.");
constexpr MethodDef<PyWcs> kToHeader{kToHeaderDoc, to_header};

PyObject* wcs_repr_slot(PyObject* self) {
    PyObject* result = nullptr;
    guard_c([&] { result = py_text(description_text(wcs_state(self).wcs)).release().ptr(); });
    return result;
}

PyType_Slot kWcsSlots[] = {
    {Py_tp_repr, reinterpret_cast<void*>(wcs_repr_slot)},
    {Py_tp_str, reinterpret_cast<void*>(wcs_repr_slot)},
    {0, nullptr},
};

HeaderObject& header_argument(nb::handle obj) {
    return cast_instance<HeaderObject>(obj, "Header");
}
constexpr auto kHeader = required<HeaderObject&>("header", header_argument);
constexpr auto kNewSig = signature("Wcs()", kHeader, kAltArg);
constexpr auto kWcsDoc = function_doc<kNewSig>(
    "World Coordinate System for an HDU.\n\n"
    "Parsed from a :class:`Header` for the alternate description `alt` (' ' or 'A' to 'Z'). "
    "Transforms pixels (0-based by default) to world coordinates and back, one point or an "
    "``(N, naxis)`` array at a time.");

nb::object make_wcs_class(nb::module_& m) {
    return bound_class<PyWcs>([&] {
        auto cls =
            nb::class_<PyWcs>(m, "Wcs", kWcsDoc.doc(), nb::is_final(), nb::type_slots(kWcsSlots));
        cls.def("__init__", [](PyWcs* self, nb::args args, nb::kwargs kwargs) {
            const Args p = parse_args(kNewSig, args, kwargs);
            HeaderObject& header = p.get(kHeader);
            const char32_t alt = p.get(kAltArg);
            std::optional<Wcs> wcs = parse_header_wcs(header.handle, alt);
            if (!wcs) raise(PyExc_ValueError, "header carries no WCS");
            new (self) PyWcs{std::move(*wcs)};
        });
        cls.def_prop_ro(
            "naxis", [](PyWcs& self) { return self.wcs.naxis(); },
            "Number of WCS axes (may exceed the header's NAXIS when WCSAXES says so).");
        cls.def_prop_ro(
            "ctype",
            [](PyWcs& self) {
                nb::list out;
                for (const AxisDescription& a : self.wcs.axes)
                    out.append(py_text(a.ctype));
                return out;
            },
            "CTYPE of every axis.");
        cls.def_prop_ro(
            "cunit",
            [](PyWcs& self) {
                nb::list out;
                for (const AxisDescription& a : self.wcs.axes)
                    out.append(py_text(a.cunit));
                return out;
            },
            "CUNIT of every axis (empty text without the card).");
        cls.def_prop_ro(
            "crval", [](PyWcs& self) { return float_list(self.wcs.linear.crval); },
            "Reference values, in the unit of each axis.");
        cls.def_prop_ro(
            "is_celestial", [](PyWcs& self) { return self.wcs.pair.has_value(); },
            "True when the description has a celestial axis pair.");
        cls.def_prop_ro(
            "pixel_shape",
            [](PyWcs& self) -> nb::object {
                if (!self.wcs.pixel_shape) return nb::none();
                nb::list items;
                for (std::uint64_t v : *self.wcs.pixel_shape)
                    items.append(nb::int_(v));
                return nb::tuple(items);
            },
            "``(NAXIS1, NAXIS2, ...)`` seen at parse time, or ``None`` when unknown.");
        add_method<PyWcs, kCelestialAxes>(cls);
        add_method<PyWcs, kAxisKinds>(cls);
        add_method<PyWcs, kIsTabular>(cls);
        add_method<PyWcs, kFootprint>(cls);
        add_method<PyWcs, kPixelToWorld>(cls);
        add_method<PyWcs, kWorldToPixel>(cls);
        add_method<PyWcs, kPixelScaleAt>(cls);
        add_method<PyWcs, kToHeader>(cls);
        return cls;
    });
}

const Registration kWcsRegistration{"Wcs", make_wcs_class};

}  // namespace

std::int64_t origin_argument(nb::handle obj) {
    const std::int64_t v = to_i64(obj);
    if (v < 0 || v > 255)
        raise(PyExc_OverflowError, "out of range integral type conversion attempted");
    return v;
}

double origin_shift(std::int64_t origin) {
    if (origin == 0) return 0.0;
    if (origin == 1) return -1.0;
    raise(PyExc_ValueError,
          "origin must be 0 (numpy/C, default) or 1 (FITS); got " + std::to_string(origin));
}

nb::object float64_array(nb::handle obj) {
    if (is_ndarray(obj)) {
        nb::object dtype = nb::getattr(obj, "dtype");
        if (std::string_view(nb::str(dtype).c_str()) == "float64") return nb::borrow(obj);
    }
    nb::object asarray = nb::getattr(numpy_module(), "asarray");
    return asarray(obj, nb::arg("dtype") = "float64");
}

char32_t alt_argument(nb::handle obj) {
    const std::string text = to_string(obj);
    const auto [cp, len] = first_code_point(text);
    if (text.empty() || len != text.size())
        raise(PyExc_ValueError, "expected a string of length 1");
    return cp;
}

std::optional<Wcs> parse_header_wcs(const PyHeader& header, char32_t alt) {
    Result<std::optional<Wcs>> parsed;
    {
        auto lock = lock_header(*header.record);
        parsed = Wcs::from_header(header.record->header, alt);
    }
    return unwrap(std::move(parsed));
}

nb::object hdu_wcs_object(std::optional<Wcs> wcs, const FitsFile* file, const char* no_file_text) {
    if (!wcs) return nb::none();
    if (!wcs->tab_specs.empty()) {
        if (!file) to_fits_error(Error::wcs(no_file_text));
        Result<std::size_t> resolved;
        {
            nb::gil_scoped_release unlocked;
            resolved = wcs->resolve_tab(*file);
        }
        if (!resolved) to_fits_error(resolved.error());
    }
    return make_wcs_object(std::move(*wcs));
}

nb::object make_wcs_object(Wcs&& wcs) {
    return nb::cast(PyWcs{std::move(wcs)}, nb::rv_policy::move);
}

}  // namespace vexlo::py
