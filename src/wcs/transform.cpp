// Pixel to world and back: one point at a time through the whole pipeline, or many points
// with the per-description set-up (projection kernels, matrices, rotation) done once.
#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "util/parallel.hpp"
#include "wcs/wcs.hpp"

namespace vexlo {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

Result<void> check_tab_resolved(const Wcs& w) {
    std::size_t grouped = 0;
    for (const TabGroup& g : w.tab_groups)
        grouped += g.wcs_axes.size();
    const std::size_t specs = w.tab_specs.size();
    if (grouped == specs) return {};
    const std::size_t missing = specs > grouped ? specs - grouped : 0;
    return std::unexpected(Error::wcs("WCS has " + std::to_string(missing) +
                                      " unresolved -TAB axis spec(s); call FitsFile::wcs() or "
                                      "Wcs::resolve_tab() to load them"));
}

// Why one point failed: the status of the failing step and what its message quotes. Batches
// only look at the status; single points turn it into text.
struct PointFault {
    ProjStatus status = ProjStatus::Ok;
    double u = 0.0;
    double v = 0.0;
    Point2 detail;
    NewtonStatus newton = NewtonStatus::Ok;
    const char* label = "";  // the distortion whose inverse failed
    DssStatus dss = DssStatus::Ok;
    const SpectralAxis* spectral = nullptr;  // the spectral axis that failed
    SpectralFault spectral_fault;
    bool tab = false;  // a lookup-table step failed
    TabFault tab_fault;
};

Error fault_error(const Wcs& w, const PointFault& f) {
    if (f.tab) return Error::wcs(tab_message(f.tab_fault));
    if (f.spectral) return Error::wcs(f.spectral->message(f.spectral_fault));
    if (f.dss != DssStatus::Ok) return Error::wcs(dss_message(f.dss, f.newton));
    if (f.newton != NewtonStatus::Ok) return Error::wcs(newton_message(f.label, f.newton));
    return Error::wcs(w.celestial->projection.fault(f.status, f.u, f.v, f.detail));
}

// The plane distortions after the matrix: TPV replaces (xi, eta) by its two polynomials, TNX
// adds its correction surfaces (a block holds at most one of the two).
inline void distort_plane(const CelestialBlock& b, double& xi, double& eta) {
    if (b.tpv) {
        const double x = b.tpv->t1.eval(xi, eta);
        const double y = b.tpv->t2.eval(xi, eta);
        xi = x;
        eta = y;
    }
    if (b.tnx) b.tnx->forward(xi, eta);
}

// Undoes distort_plane; false with the fault filled when an inverse does not converge.
inline bool undistort_plane(const CelestialBlock& b, double& xi, double& eta, PointFault& fault) {
    if (b.tnx) {
        const NewtonStatus st = b.tnx->inverse(xi, eta);
        if (st != NewtonStatus::Ok) {
            fault.newton = st;
            fault.label = "TNX";
            return false;
        }
    }
    if (b.tpv) {
        const NewtonStatus st = b.tpv->inverse(xi, eta);
        if (st != NewtonStatus::Ok) {
            fault.newton = st;
            fault.label = "TPV";
            return false;
        }
    }
    return true;
}

// The polynomials are in the image's own pixel offsets (x before y), whichever of the two
// axes carries the longitude: a latitude-first image must not see u and v exchanged.
inline std::pair<std::size_t, std::size_t> sip_axes(const CelestialBlock& b) {
    return {std::min(b.pair.lon, b.pair.lat), std::max(b.pair.lon, b.pair.lat)};
}

inline bool undistort_sip(const Sip& sip, double& u, double& v, PointFault& fault) {
    const NewtonStatus st = sip.inverse(u, v);
    if (st == NewtonStatus::Ok) return true;
    fault.newton = st;
    fault.label = "SIP";
    return false;
}

// How a point goes between the plane and the sky: the gnomonic projection both ways, ZEA
// from the sky and AIT both ways work from the rotation's native direction, without the native
// angles; every other projection (and a step that the direction form leaves) through its
// angle kernels.
enum class SkyPath : std::uint8_t { Angles, Tan, Zea, Ait };

inline SkyPath sky_path(const Projection& p) {
    if (p.code == ProjectionCode::Tan) return SkyPath::Tan;
    if (p.code == ProjectionCode::Zea) return SkyPath::Zea;
    if (p.code == ProjectionCode::Ait) return SkyPath::Ait;
    return SkyPath::Angles;
}

template <SkyPath kPath>
using SkyPathTag = std::integral_constant<SkyPath, kPath>;

// f(SkyPathTag<path>{}) for a path known only at run time: the switch runs once per call,
// and what f does with the path is compiled for each.
template <class F>
decltype(auto) visit_sky_path(SkyPath path, F&& f) {
    switch (path) {
        case SkyPath::Tan:
            return std::forward<F>(f)(SkyPathTag<SkyPath::Tan>{});
        case SkyPath::Zea:
            return std::forward<F>(f)(SkyPathTag<SkyPath::Zea>{});
        case SkyPath::Ait:
            return std::forward<F>(f)(SkyPathTag<SkyPath::Ait>{});
        case SkyPath::Angles:
            break;
    }
    return std::forward<F>(f)(SkyPathTag<SkyPath::Angles>{});
}

// Plane coordinates (degrees, fiducial offset included) to the sky. Both the single-point and
// the batch paths call this with the same path, so they give the same values.
template <SkyPath kPath>
inline ProjStatus plane_to_sky(const Projection& p, ProjKernel inverse, const CelestialRotation& r,
                               double x, double y, Point2& sky, Point2& native) {
    if constexpr (kPath == SkyPath::Tan) {
        sky = r.tan_plane_to_celestial(x, y);
        return ProjStatus::Ok;
    } else {
        if constexpr (kPath == SkyPath::Ait) {
            NativeDirection d;
            if (ait_inverse_direction(x, y, d)) {
                sky = r.native_direction_to_celestial(d);
                return ProjStatus::Ok;
            }
        }
        const ProjStatus st = inverse(p, x, y, native);
        if (st == ProjStatus::Ok) sky = r.native_to_celestial(native.a, native.b);
        return st;
    }
}

ProjStatus plane_to_sky_by(SkyPath path, const Projection& p, ProjKernel inverse,
                           const CelestialRotation& r, double x, double y, Point2& sky,
                           Point2& native) {
    return visit_sky_path(path, [&](auto tag) {
        return plane_to_sky<decltype(tag)::value>(p, inverse, r, x, y, sky, native);
    });
}

template <SkyPath kPath>
inline ProjStatus sky_to_plane(const Projection& p, ProjKernel forward, const CelestialRotation& r,
                               double lon, double lat, Point2& plane, Point2& native) {
    if constexpr (kPath == SkyPath::Tan) {
        if (r.celestial_to_tan_plane(lon, lat, plane)) return ProjStatus::Ok;
        native = r.celestial_to_native(lon, lat);
        return ProjStatus::TanHemisphere;
    } else {
        if constexpr (kPath == SkyPath::Zea || kPath == SkyPath::Ait) {
            const NativeDirection d = r.celestial_to_native_direction(lon, lat);
            const bool done = kPath == SkyPath::Zea ? zea_forward_direction(d, plane)
                                                    : ait_forward_direction(d, plane);
            if (done) return ProjStatus::Ok;
        }
        native = r.celestial_to_native(lon, lat);
        return forward(p, native.a, native.b, plane);
    }
}

// sky_to_plane for a path chosen at run time: a single point takes the batch's own path, so
// the two give the same values.
ProjStatus sky_to_plane_by(SkyPath path, const Projection& p, ProjKernel forward,
                           const CelestialRotation& r, double lon, double lat, Point2& plane,
                           Point2& native) {
    return visit_sky_path(path, [&](auto tag) {
        return sky_to_plane<decltype(tag)::value>(p, forward, r, lon, lat, plane, native);
    });
}

// The forward pipeline of one point of naxis values into s.output; false on a failed step.
bool forward_steps(const Wcs& w, std::span<const double> pixel, TransformScratch& s,
                   PointFault& fault) {
    const std::size_t n = w.naxis();
    const LinearTransform& t = w.linear;
    for (std::size_t k = 0; k < n; ++k) {
        s.pixel1[k] = pixel[k] + 1.0;
        s.offsets[k] = s.pixel1[k] - t.crpix[k];
    }
    if (w.celestial && w.celestial->sip) {
        const auto [first, second] = sip_axes(*w.celestial);
        const auto [u, v] = w.celestial->sip->forward(s.offsets[first], s.offsets[second]);
        s.offsets[first] = u;
        s.offsets[second] = v;
    }
    for (std::size_t k = 0; k < n; ++k) {
        double sum = 0.0;
        for (std::size_t j = 0; j < n; ++j)
            sum += t.matrix[k * n + j] * s.offsets[j];
        s.intermediate[k] = sum;
        s.output[k] = t.crval[k] + sum;
    }
    for (const SpectralAxis& a : w.spectral) {
        if (!a.forward(s.intermediate[a.axis], s.output[a.axis], fault.spectral_fault)) {
            fault.spectral = &a;
            return false;
        }
    }
    for (const TabGroup& g : w.tab_groups) {
        const std::size_t m = g.wcs_axes.size();
        for (std::size_t c = 0; c < m; ++c)
            s.gather[c] = s.output[g.wcs_axes[c]];
        if (!tab_forward(g, std::span<double>(s.gather.data(), m), s.tab_work, fault.tab_fault)) {
            fault.tab = true;
            return false;
        }
        for (std::size_t c = 0; c < m; ++c)
            s.output[g.wcs_axes[c]] = s.gather[c];
    }
    if (w.celestial && w.dss) {
        // The plate maps the 1-based pixel straight to the sky.
        const std::size_t lon = w.celestial->pair.lon;
        const std::size_t lat = w.celestial->pair.lat;
        w.dss->pixel_to_sky(s.pixel1[lon], s.pixel1[lat], s.output[lon], s.output[lat]);
    } else if (w.celestial) {
        const CelestialBlock& b = *w.celestial;
        double xi = b.lon_scale * s.intermediate[b.pair.lon];
        double eta = b.lat_scale * s.intermediate[b.pair.lat];
        distort_plane(b, xi, eta);
        const double x = xi + b.fiducial_offset.a;
        const double y = eta + b.fiducial_offset.b;
        Point2 native;
        Point2 sky;
        const ProjKernel kernel = b.projection.inverse_kernel();
        const ProjStatus st = plane_to_sky_by(sky_path(b.projection), b.projection, kernel,
                                              b.rotation, x, y, sky, native);
        if (st != ProjStatus::Ok) {
            fault.status = st;
            fault.u = x;
            fault.v = y;
            fault.detail = native;
            return false;
        }
        s.output[b.pair.lon] = sky.a;
        s.output[b.pair.lat] = sky.b;
    }
    return true;
}

// The inverse pipeline of one point of naxis world values into s.output (0-based pixels).
bool inverse_steps(const Wcs& w, std::span<const double> world, TransformScratch& s,
                   PointFault& fault) {
    const std::size_t n = w.naxis();
    const LinearTransform& t = w.linear;
    for (std::size_t k = 0; k < n; ++k)
        s.intermediate[k] = world[k] - t.crval[k];
    for (const SpectralAxis& a : w.spectral) {
        if (!a.inverse(world[a.axis], s.intermediate[a.axis], fault.spectral_fault)) {
            fault.spectral = &a;
            return false;
        }
    }
    for (const TabGroup& g : w.tab_groups) {
        const std::size_t m = g.wcs_axes.size();
        for (std::size_t c = 0; c < m; ++c)
            s.gather[c] = world[g.wcs_axes[c]];
        if (!tab_inverse(g, std::span<double>(s.gather.data(), m), s.tab_work, fault.tab_fault)) {
            fault.tab = true;
            return false;
        }
        for (std::size_t c = 0; c < m; ++c)
            s.intermediate[g.wcs_axes[c]] = s.gather[c] - t.crval[g.wcs_axes[c]];
    }
    double plate[2] = {0.0, 0.0};
    const bool by_plate = w.celestial && w.dss;
    if (by_plate) {
        const std::size_t lon = w.celestial->pair.lon;
        const std::size_t lat = w.celestial->pair.lat;
        fault.dss = w.dss->sky_to_pixel(world[lon], world[lat], plate[0], plate[1], fault.newton);
        if (fault.dss != DssStatus::Ok) return false;
        s.intermediate[lon] = 0.0;
        s.intermediate[lat] = 0.0;
    } else if (w.celestial) {
        const CelestialBlock& b = *w.celestial;
        const double lon = world[b.pair.lon];
        const double lat = world[b.pair.lat];
        Point2 native;
        Point2 plane;
        const ProjKernel kernel = b.projection.forward_kernel();
        const ProjStatus st = sky_to_plane_by(sky_path(b.projection), b.projection, kernel,
                                              b.rotation, lon, lat, plane, native);
        if (st != ProjStatus::Ok) {
            fault.status = st;
            fault.u = native.a;
            fault.v = native.b;
            fault.detail = plane;
            return false;
        }
        double xi = plane.a - b.fiducial_offset.a;
        double eta = plane.b - b.fiducial_offset.b;
        if (!undistort_plane(b, xi, eta, fault)) return false;
        s.intermediate[b.pair.lon] = xi / b.lon_scale;
        s.intermediate[b.pair.lat] = eta / b.lat_scale;
    }
    for (std::size_t k = 0; k < n; ++k) {
        double sum = 0.0;
        for (std::size_t j = 0; j < n; ++j)
            sum += t.inverse[k * n + j] * s.intermediate[j];
        s.offsets[k] = sum;
    }
    if (w.celestial && w.celestial->sip && !by_plate) {
        const auto [first, second] = sip_axes(*w.celestial);
        if (!undistort_sip(*w.celestial->sip, s.offsets[first], s.offsets[second], fault)) {
            return false;
        }
    }
    for (std::size_t k = 0; k < n; ++k)
        s.output[k] = t.crpix[k] + s.offsets[k] - 1.0;
    if (by_plate) {
        s.output[w.celestial->pair.lon] = plate[0] - 1.0;
        s.output[w.celestial->pair.lat] = plate[1] - 1.0;
    }
    return true;
}

// Everything the two-axis celestial batches need, copied out of the description once.
struct CelestialView {
    const Projection* projection;
    const CelestialRotation* rotation;
    ProjKernel forward;
    ProjKernel inverse;
    double crpix[2];
    double matrix[4];
    double inverse_matrix[4];
    std::size_t lon;
    std::size_t lat;
    double lon_scale;
    double lat_scale;
    double x0;
    double y0;
    const CelestialBlock* block;
    const Sip* sip;
};

std::optional<CelestialView> celestial_view(const Wcs& w) {
    if (w.naxis() != 2 || !w.tab_specs.empty() || !w.tab_groups.empty() || !w.celestial || w.dss) {
        return std::nullopt;
    }
    const CelestialBlock& b = *w.celestial;
    if (b.pair.lon == b.pair.lat || b.pair.lon > 1 || b.pair.lat > 1) return std::nullopt;
    const LinearTransform& t = w.linear;
    if (t.matrix.size() != 4 || t.inverse.size() != 4 || t.crpix.size() != 2) return std::nullopt;
    CelestialView v{};
    v.projection = &b.projection;
    v.rotation = &b.rotation;
    v.forward = b.projection.forward_kernel();
    v.inverse = b.projection.inverse_kernel();
    for (int k = 0; k < 2; ++k)
        v.crpix[k] = t.crpix[k];
    for (int k = 0; k < 4; ++k) {
        v.matrix[k] = t.matrix[k];
        v.inverse_matrix[k] = t.inverse[k];
    }
    v.lon = b.pair.lon;
    v.lat = b.pair.lat;
    v.lon_scale = b.lon_scale;
    v.lat_scale = b.lat_scale;
    v.x0 = b.fiducial_offset.a;
    v.y0 = b.fiducial_offset.b;
    v.block = &b;
    v.sip = b.sip ? &*b.sip : nullptr;
    return v;
}

// The two-axis pipeline over whole arrays; the choice of distortions is made once per batch
// through the template flags, so the loop carries no per-point dispatch beyond the kernels.
template <bool kSip, bool kPlane, SkyPath kPath>
void celestial_forward_batch(const CelestialView& v, std::span<const double> in,
                             std::span<double> out) {
    const std::size_t points = in.size() / 2;
    for (std::size_t i = 0; i < points; ++i) {
        double o0 = (in[2 * i] + 1.0) - v.crpix[0];
        double o1 = (in[2 * i + 1] + 1.0) - v.crpix[1];
        if constexpr (kSip) {
            const auto [u, w] = v.sip->forward(o0, o1);
            o0 = u;
            o1 = w;
        }
        double x[2];
        x[0] = 0.0 + v.matrix[0] * o0 + v.matrix[1] * o1;
        x[1] = 0.0 + v.matrix[2] * o0 + v.matrix[3] * o1;
        double xi = v.lon_scale * x[v.lon];
        double eta = v.lat_scale * x[v.lat];
        if constexpr (kPlane) distort_plane(*v.block, xi, eta);
        Point2 native;
        Point2 sky;
        if (plane_to_sky<kPath>(*v.projection, v.inverse, *v.rotation, xi + v.x0, eta + v.y0, sky,
                                native) != ProjStatus::Ok) {
            out[2 * i] = kNaN;
            out[2 * i + 1] = kNaN;
            continue;
        }
        out[2 * i + v.lon] = sky.a;
        out[2 * i + v.lat] = sky.b;
    }
}

template <bool kSip, bool kPlane, SkyPath kPath>
void celestial_inverse_batch(const CelestialView& v, std::span<const double> in,
                             std::span<double> out) {
    const std::size_t points = in.size() / 2;
    for (std::size_t i = 0; i < points; ++i) {
        Point2 native;
        Point2 plane;
        PointFault fault;
        bool ok = sky_to_plane<kPath>(*v.projection, v.forward, *v.rotation, in[2 * i + v.lon],
                                      in[2 * i + v.lat], plane, native) == ProjStatus::Ok;
        double xi = plane.a - v.x0;
        double eta = plane.b - v.y0;
        if constexpr (kPlane) ok = ok && undistort_plane(*v.block, xi, eta, fault);
        double x[2];
        x[v.lon] = xi / v.lon_scale;
        x[v.lat] = eta / v.lat_scale;
        double o[2];
        o[0] = 0.0 + v.inverse_matrix[0] * x[0] + v.inverse_matrix[1] * x[1];
        o[1] = 0.0 + v.inverse_matrix[2] * x[0] + v.inverse_matrix[3] * x[1];
        if constexpr (kSip) ok = ok && undistort_sip(*v.sip, o[0], o[1], fault);
        if (!ok) {
            out[2 * i] = kNaN;
            out[2 * i + 1] = kNaN;
            continue;
        }
        out[2 * i] = v.crpix[0] + o[0] - 1.0;
        out[2 * i + 1] = v.crpix[1] + o[1] - 1.0;
    }
}

using BatchKernel = void (*)(const CelestialView&, std::span<const double>, std::span<double>);

template <bool kForward, bool kSip, bool kPlane, SkyPath kPath>
constexpr BatchKernel kBatchKernel = kForward ? celestial_forward_batch<kSip, kPlane, kPath>
                                              : celestial_inverse_batch<kSip, kPlane, kPath>;

// The kernel for the view's distortions and projection, in one direction, chosen once per
// batch.
template <bool kForward>
BatchKernel pick_kernel(const CelestialView& v) {
    const bool plane = v.block->tpv.has_value() || v.block->tnx.has_value();
    return visit_sky_path(sky_path(*v.projection), [&](auto tag) {
        constexpr SkyPath kPath = decltype(tag)::value;
        static constexpr BatchKernel kTable[4] = {
            kBatchKernel<kForward, false, false, kPath>, kBatchKernel<kForward, false, true, kPath>,
            kBatchKernel<kForward, true, false, kPath>, kBatchKernel<kForward, true, true, kPath>};
        return kTable[(v.sip ? 2 : 0) + (plane ? 1 : 0)];
    });
}

// Large batches are split over the machine's cores. Each point's result depends on that point
// alone, so the split changes no value.
Result<void> run_split(BatchKernel kernel, const CelestialView& v, std::span<const double> in,
                       std::span<double> out) {
    constexpr std::size_t kMinPointsPerPart = std::size_t{1} << 15;
    const std::size_t points = in.size() / 2;
    const std::size_t parts = parts_for(points, kMinPointsPerPart);
    return run_ranges(parts, points,
                      [&](std::size_t, std::uint64_t first, std::uint64_t count) -> Result<void> {
                          const auto at = static_cast<std::size_t>(2 * first);
                          const auto n = static_cast<std::size_t>(2 * count);
                          kernel(v, in.subspan(at, n), out.subspan(at, n));
                          return {};
                      });
}

using PointSteps = bool (*)(const Wcs&, std::span<const double>, TransformScratch&, PointFault&);

Result<void> transform_batch(const Wcs& w, std::span<const double> in, std::span<double> out,
                             std::string_view kind, PointSteps steps) {
    const std::size_t n = w.naxis();
    if (n == 0) return std::unexpected(Error::wcs("WCS has no axes"));
    if (in.size() % n != 0) {
        return std::unexpected(Error::wcs("expected a whole multiple of " + std::to_string(n) +
                                          " " + std::string(kind) + " coordinates, got " +
                                          std::to_string(in.size())));
    }
    VEXLO_TRY(check_tab_resolved(w));
    const std::size_t points = in.size() / n;
    std::optional<TransformScratch> scratch;
    try {
        scratch.emplace(n);
        scratch->fit_tab(w);
    } catch (const std::bad_alloc&) {
        return std::unexpected(
            Error::out_of_memory(Error::wcs("cannot allocate the work buffers of a batch")));
    }
    for (std::size_t p = 0; p < points; ++p) {
        const std::size_t i = p * n;
        PointFault fault;
        const bool ok = steps(w, in.subspan(i, n), *scratch, fault);
        for (std::size_t k = 0; k < n; ++k)
            out[i + k] = ok ? scratch->output[k] : kNaN;
    }
    return {};
}

Result<std::vector<double>> allocate(std::size_t count) {
    try {
        return std::vector<double>(count);
    } catch (const std::bad_alloc&) {
        return std::unexpected(Error::out_of_memory(
            Error::wcs("cannot allocate " + std::to_string(count) + " coordinates")));
    }
}

double angular_distance(double a1, double d1, double a2, double d2) {
    constexpr double kD2R = 0.017453292519943295;
    const double r1 = d1 * kD2R;
    const double r2 = d2 * kD2R;
    const double dl = (a2 - a1) * kD2R;
    const double c = std::cos(r1) * std::sin(r2) - std::sin(r1) * std::cos(r2) * std::cos(dl);
    const double s = std::sin(dl) * std::cos(r2);
    return std::atan2(std::sqrt(c * c + s * s),
                      std::cos(r2) * std::cos(r1) * std::cos(dl) + std::sin(r2) * std::sin(r1));
}

}  // namespace

void TransformScratch::fit_tab(const Wcs& w) {
    std::size_t largest = 0;
    for (const TabGroup& g : w.tab_groups)
        largest = std::max(largest, g.wcs_axes.size());
    if (gather.size() < largest) gather.resize(largest);
    if (tab_work.size() < tab_work_size(largest)) tab_work.resize(tab_work_size(largest));
}

Result<void> Wcs::forward_point(std::span<const double> pixel, TransformScratch& s) const {
    if (pixel.size() != naxis()) {
        return std::unexpected(Error::wcs("expected " + std::to_string(naxis()) +
                                          " pixel coordinates, got " +
                                          std::to_string(pixel.size())));
    }
    s.fit_tab(*this);
    PointFault fault;
    if (!forward_steps(*this, pixel, s, fault)) return std::unexpected(fault_error(*this, fault));
    return {};
}

Result<void> Wcs::inverse_point(std::span<const double> world, TransformScratch& s) const {
    if (world.size() != naxis()) {
        return std::unexpected(Error::wcs("expected " + std::to_string(naxis()) +
                                          " world coordinates, got " +
                                          std::to_string(world.size())));
    }
    s.fit_tab(*this);
    PointFault fault;
    if (!inverse_steps(*this, world, s, fault)) return std::unexpected(fault_error(*this, fault));
    return {};
}

Result<std::vector<double>> Wcs::pixel_to_world(std::span<const double> pixel) const {
    VEXLO_TRY(check_tab_resolved(*this));
    TransformScratch s(naxis());
    s.fit_tab(*this);
    VEXLO_TRY(forward_point(pixel, s));
    return std::move(s.output);
}

Result<std::vector<double>> Wcs::world_to_pixel(std::span<const double> world) const {
    VEXLO_TRY(check_tab_resolved(*this));
    TransformScratch s(naxis());
    s.fit_tab(*this);
    VEXLO_TRY(inverse_point(world, s));
    return std::move(s.output);
}

Result<void> Wcs::pixel_to_world_batch(std::span<const double> in, std::span<double> out) const {
    if (const auto view = celestial_view(*this)) {
        if (in.size() % 2 != 0) {
            return std::unexpected(
                Error::wcs("expected a whole multiple of 2 pixel coordinates, got " +
                           std::to_string(in.size())));
        }
        return run_split(pick_kernel<true>(*view), *view, in, out);
    }
    return transform_batch(*this, in, out, "pixel", forward_steps);
}

Result<void> Wcs::world_to_pixel_batch(std::span<const double> in, std::span<double> out) const {
    if (const auto view = celestial_view(*this)) {
        if (in.size() % 2 != 0) {
            return std::unexpected(
                Error::wcs("expected a whole multiple of 2 world coordinates, got " +
                           std::to_string(in.size())));
        }
        return run_split(pick_kernel<false>(*view), *view, in, out);
    }
    return transform_batch(*this, in, out, "world", inverse_steps);
}

Result<std::vector<double>> Wcs::pixel_to_world_batch(std::span<const double> in) const {
    VEXLO_ASSIGN_OR_RETURN(std::vector<double> out, allocate(in.size()));
    VEXLO_TRY(pixel_to_world_batch(in, std::span<double>(out)));
    return out;
}

Result<std::vector<double>> Wcs::world_to_pixel_batch(std::span<const double> in) const {
    VEXLO_ASSIGN_OR_RETURN(std::vector<double> out, allocate(in.size()));
    VEXLO_TRY(world_to_pixel_batch(in, std::span<double>(out)));
    return out;
}

Result<std::pair<double, double>> Wcs::pixel_scale_at(double px, double py) const {
    if (!pair) return std::unexpected(Error::wcs("pixel_scale_at: WCS has no celestial pair"));
    const std::size_t n = naxis();
    std::vector<double> base(n);
    for (std::size_t k = 0; k < n; ++k)
        base[k] = linear.crpix[k] - 1.0;
    double sky[3][2];
    const double probes[3][2] = {{px, py}, {px + 1.0, py}, {px, py + 1.0}};
    for (int i = 0; i < 3; ++i) {
        base[pair->lon] = probes[i][0];
        base[pair->lat] = probes[i][1];
        VEXLO_ASSIGN_OR_RETURN(const std::vector<double> world, pixel_to_world(base));
        sky[i][0] = world[pair->lon];
        sky[i][1] = world[pair->lat];
    }
    const auto arcsec = [](double rad) { return rad / 0.017453292519943295 * 3600.0; };
    return std::make_pair(arcsec(angular_distance(sky[0][0], sky[0][1], sky[1][0], sky[1][1])),
                          arcsec(angular_distance(sky[0][0], sky[0][1], sky[2][0], sky[2][1])));
}

Result<std::vector<double>> Wcs::footprint() const {
    const std::size_t n = naxis();
    if (n > 16) {
        return std::unexpected(Error::wcs("footprint: " + std::to_string(n) +
                                          " axes would need 2^" + std::to_string(n) +
                                          " corners; the limit is 16 axes"));
    }
    if (!pixel_shape) {
        return std::unexpected(
            Error::wcs("footprint: this WCS carries no image shape (fitted, or "
                       "a header without NAXISn cards)"));
    }
    const std::size_t k = std::min(n, pixel_shape->size());
    for (std::size_t j = 0; j < k; ++j) {
        if ((*pixel_shape)[j] == 0) {
            return std::unexpected(Error::wcs("footprint: image has a zero-length axis"));
        }
    }
    const std::size_t corners = std::size_t{1} << k;
    std::vector<double> pixels(corners * n);
    for (std::size_t c = 0; c < corners; ++c) {
        const std::size_t g = c ^ (c >> 1);
        for (std::size_t j = 0; j < n; ++j) {
            double v = linear.crpix[j] - 1.0;
            if (j < k) v = ((g >> j) & 1u) ? static_cast<double>((*pixel_shape)[j] - 1) : 0.0;
            pixels[c * n + j] = v;
        }
    }
    return pixel_to_world_batch(pixels);
}

}  // namespace vexlo
