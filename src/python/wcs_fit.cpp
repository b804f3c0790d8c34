// vexlo.fit_wcs() and its result, vexlo.WcsFit: the arguments in Python's conventions, the fit
// itself in the core.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "python/arrays.hpp"
#include "python/errors.hpp"
#include "python/module.hpp"
#include "python/pixels.hpp"
#include "python/wcs.hpp"
#include "util/debug.hpp"
#include "util/text.hpp"
#include "wcs/fit.hpp"

namespace vexlo::py {

namespace {

struct PyWcsFit {
    std::vector<Pair2> residuals;
    nb::object wcs;
    double rms_arcsec = 0.0;
    double max_arcsec = 0.0;
};

nb::object two_dim_array(nb::handle obj) {
    nb::object array = float64_array(obj);
    const int ndim = nb::cast<int>(nb::getattr(array, "ndim"));
    if (ndim != 2) {
        raise(PyExc_TypeError,
              "expected a 2-D array of shape (N, 2), got a " + std::to_string(ndim) + "-D array");
    }
    return array;
}

// The rows of an (N, 2) float64 array through its strides, `shift` added to both columns.
std::vector<Pair2> rows_of(nb::handle array, double shift) {
    const ArrayBuffer buffer(array);
    const std::size_t n = buffer.shape(0);
    std::vector<Pair2> out(n);
    for (std::size_t i = 0; i < n; ++i) {
        for (int j = 0; j < 2; ++j) {
            double v = 0.0;
            std::memcpy(&v,
                        buffer.data() + buffer.stride(0) * static_cast<std::ptrdiff_t>(i) +
                            buffer.stride(1) * j,
                        sizeof v);
            out[i][static_cast<std::size_t>(j)] = v + shift;
        }
    }
    return out;
}

Pair2 pair_argument(nb::handle obj) {
    if (!PyTuple_Check(obj.ptr())) raise_not_instance(obj, "tuple");
    if (PyTuple_Size(obj.ptr()) != 2) {
        raise(PyExc_TypeError, "expected a tuple of 2 floats, got " +
                                   std::to_string(PyTuple_Size(obj.ptr())) + " items");
    }
    return {to_f64(nb::borrow(NB_TUPLE_GET_ITEM(obj.ptr(), 0))),
            to_f64(nb::borrow(NB_TUPLE_GET_ITEM(obj.ptr(), 1)))};
}

// The frame of a name, and the reference system an equatorial one records: fk4 and fk5 keep
// theirs, so a description fitted to B1950 positions does not claim ICRS.
std::pair<CelestialFrame, RadeSys> frame_of(const std::string& text) {
    const std::string name = ascii_lower(text);
    if (name == "equatorial" || name == "icrs") return {CelestialFrame::Equatorial, RadeSys::Icrs};
    if (name == "fk5") return {CelestialFrame::Equatorial, RadeSys::Fk5};
    if (name == "fk4") return {CelestialFrame::Equatorial, RadeSys::Fk4};
    if (name == "galactic") return {CelestialFrame::Galactic, RadeSys::Other};
    if (name == "ecliptic") return {CelestialFrame::Ecliptic, RadeSys::Other};
    if (name == "supergalactic") return {CelestialFrame::Supergalactic, RadeSys::Other};
    if (name == "helioecliptic") return {CelestialFrame::HelioEcliptic, RadeSys::Other};
    raise(PyExc_ValueError, "fit_wcs: unknown frame " + debug_str(text));
}

std::uint32_t sip_order_argument(nb::handle obj) {
    const std::uint64_t v = to_u64(obj);
    if (v > 0xFFFFFFFFu)
        raise(PyExc_OverflowError, "out of range integral type conversion attempted");
    return static_cast<std::uint32_t>(v);
}

constexpr auto kPixels = required<nb::object>("pixels", two_dim_array);
constexpr auto kSky = required<nb::object>("sky", two_dim_array);
constexpr auto kProjection = optional<std::string>("projection", "TAN");
constexpr auto kCrpix = or_none<Pair2>("crpix", pair_argument);
constexpr auto kCrval = or_none<Pair2>("crval", pair_argument);
constexpr auto kSipOrder = or_none<std::uint32_t>("sip_order", sip_order_argument);
constexpr auto kFitSipInverse = optional<bool>("fit_sip_inverse", true);
constexpr auto kFrame = optional<std::string>("frame", "equatorial");

nb::object py_fit_wcs(const Args& p) {
    const nb::object pixels = p.get(kPixels);
    const nb::object sky = p.get(kSky);
    const std::string projection = p.get(kProjection);
    const std::optional<Pair2> crpix = p.get(kCrpix);
    const std::optional<Pair2> crval = p.get(kCrval);
    const std::optional<std::uint32_t> sip_order = p.get(kSipOrder);
    const bool fit_sip_inverse = p.get(kFitSipInverse);
    const std::string frame = p.get(kFrame);
    const double shift = origin_shift(p.get(kOriginArg));

    const ArrayBuffer pix_view(pixels);
    const ArrayBuffer sky_view(sky);
    if (pix_view.shape(1) != 2 || sky_view.shape(1) != 2) {
        raise(PyExc_ValueError, "fit_wcs: pixels and sky must both be (N, 2) arrays");
    }
    if (pix_view.shape(0) != sky_view.shape(0)) {
        raise(PyExc_ValueError, "fit_wcs: pixels and sky must have the same number of rows");
    }
    const std::vector<Pair2> pixel_rows = rows_of(pixels, shift);
    const std::vector<Pair2> sky_rows = rows_of(sky, 0.0);

    CelestialFitOptions options;
    options.projection = unwrap(Projection::from_code(projection, {}));
    std::tie(options.frame, options.radesys) = frame_of(frame);
    if (crpix) options.crpix = Pair2{(*crpix)[0] + shift, (*crpix)[1] + shift};
    options.crval = crval;
    options.sip_order = sip_order;
    options.fit_sip_inverse = fit_sip_inverse;

    Result<WcsFit> fitted;
    {
        nb::gil_scoped_release release;
        fitted = fit_celestial_wcs(pixel_rows, sky_rows, options);
    }
    WcsFit result = unwrap(std::move(fitted));
    return nb::cast(
        PyWcsFit{std::move(result.residuals_arcsec), make_wcs_object(std::move(result.wcs)),
                 result.rms_arcsec, result.max_arcsec},
        nb::rv_policy::move);
}

std::string fit_repr(const PyWcsFit& fit) {
    char text[128];
    std::snprintf(text, sizeof text, "WcsFit(rms=%.4f arcsec, max=%.4f arcsec, n=%zu)",
                  fit.rms_arcsec, fit.max_arcsec, fit.residuals.size());
    return text;
}

nb::object make_wcs_fit_class(nb::module_& m) {
    return bound_class<PyWcsFit>([&] {
        auto cls = nb::class_<PyWcsFit>(m, "WcsFit",
                                        "Result of :func:`fit_wcs`.\n\n"
                                        "The fitted :class:`Wcs` and the residuals of the "
                                        "reference points in arcseconds.",
                                        nb::is_final());
        cls.def_prop_ro(
            "wcs", [](PyWcsFit& self) { return self.wcs; }, "The fitted :class:`Wcs`.");
        cls.def_prop_ro(
            "rms_arcsec", [](PyWcsFit& self) { return self.rms_arcsec; },
            "Root-mean-square residual in arcseconds.");
        cls.def_prop_ro(
            "max_arcsec", [](PyWcsFit& self) { return self.max_arcsec; },
            "Largest residual in arcseconds.");
        cls.def_prop_ro(
            "residuals_arcsec",
            [](PyWcsFit& self) {
                const std::uint64_t shape[2] = {self.residuals.size(), 2};
                NewArray out = new_array("float64", shape);
                if (!self.residuals.empty()) {
                    std::memcpy(out.bytes.data(), self.residuals.data(),
                                self.residuals.size() * sizeof(Pair2));
                }
                return out.array;
            },
            "``(N, 2)`` array of (dlon * cos(lat), dlat) per point, fitted minus given, in "
            "arcseconds (a new array on every access).");
        cls.def("__repr__", [](PyWcsFit& self) { return fit_repr(self); });
        return cls;
    });
}

const Registration kWcsFitRegistration{"WcsFit", make_wcs_fit_class};

constexpr auto kFitWcsSig = signature("fit_wcs()", kPixels, kSky, kProjection, kCrpix, kCrval,
                                      kSipOrder, kFitSipInverse, kFrame, kOriginArg);
constexpr auto kFitWcsDoc = function_doc<kFitWcsSig>(
    "Fit a celestial WCS to ``(pixel, sky)`` reference correspondences.\n\n"
    "`pixels` holds ``(x, y)`` rows and `sky` ``(lon, lat)`` rows in degrees, one per point. "
    "`crpix` (a tuple, in the origin of `pixels`) pins the reference pixel. The reference "
    "point is `crval` when given; otherwise, with `crpix` and three points or more, it is "
    "fitted as the sky position of the pinned pixel, and in every other case it is the "
    "centroid of the sky points. Returns a :class:`WcsFit`.");
constexpr FunctionDef kFitWcs{kFitWcsDoc, py_fit_wcs};
const Registration kFitWcsRegistration{"fit_wcs",
                                       [](nb::module_& m) { return make_function<kFitWcs>(m); }};

}  // namespace

}  // namespace vexlo::py
