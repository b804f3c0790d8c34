// One parsed world coordinate description of one header for one alternate code, and the
// transforms between pixel and world coordinates.
//
// The pipeline runs: SIP on the pixel offsets, the linear step, the spectral and lookup-table
// axes, then the celestial pair (a DSS plate, or TPV/TNX on the plane, the projection and the
// spherical rotation). -TAB axes parsed from a header alone are refused by every transform
// until Wcs::resolve_tab has loaded their tables from the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "error.hpp"
#include "header/header.hpp"
#include "io/file.hpp"
#include "wcs/celestial.hpp"
#include "wcs/dss.hpp"
#include "wcs/linear.hpp"
#include "wcs/spectral.hpp"
#include "wcs/tab.hpp"

namespace vexlo {

enum class RadeSys : std::uint8_t { Icrs, Fk5, Fk4, Fk4NoE, Gappt, Other };

// Trimmed, ASCII upper-cased and matched exactly; anything else is Other.
RadeSys parse_radesys(std::string_view text);
// "Icrs", "Fk5", "Fk4", "Fk4NoE", "Gappt", "Other".
std::string_view radesys_name(RadeSys r);

struct AxisDescription {
    std::string ctype;  // exactly as the card gives it
    std::string cunit;
    std::optional<std::string> cname;
    std::optional<double> crder;
    std::optional<double> csyer;
};

struct TimeAxis {
    std::size_t axis = 0;
    std::string scale;
    std::optional<std::string> realisation;
    std::optional<std::string> trefpos;
    std::optional<std::string> trefdir;
    std::optional<std::string> plephem;
};

struct PhaseAxis {
    std::optional<double> zero_point;
    std::optional<double> period;
    std::size_t axis = 0;
};

struct SpectralSource {
    double zsource = 0.0;
    std::optional<std::string> ssyssrc;
    std::optional<double> velangl;
};

struct SpectralReference {
    std::optional<std::string> specsys;
    std::optional<std::string> ssysobs;
    std::optional<double> velosys;
    std::optional<SpectralSource> source;
};

// Axis kinds as Wcs::axis_kind reports them.
enum class AxisKind : std::uint8_t {
    Longitude = 0,
    Latitude = 1,
    Spectral = 2,
    Time = 3,
    Phase = 4,
    Stokes = 5,
    Linear = 6,
    None = 255,
};

// Everything of a Wcs except its axes and linear transform.
struct WcsExtras {
    std::optional<CelestialBlock> celestial;
    std::optional<CelestialPair> pair;
    RadeSys radesys = RadeSys::Icrs;
    std::optional<double> equinox;
    std::optional<double> mjd_obs;
    // MJD-OBS (or DATE-OBS) as the header gives it, in the scale of its TIMESYS; none when
    // mjd_obs came from elsewhere.
    std::optional<double> mjd_obs_as_read;
    std::optional<std::string> wcsname;
    std::optional<SpectralReference> spectral_ref;
    std::vector<SpectralAxis> spectral;
    std::optional<TimeAxis> time;
    std::vector<PhaseAxis> phase;
    std::vector<TabAxisSpec> tab_specs;
    std::vector<TabGroup> tab_groups;
    std::optional<DssPlate> dss;
    std::optional<std::vector<std::uint64_t>> pixel_shape;
};

// Work buffers of one transform call; a batch makes one and reuses it for every point.
struct TransformScratch {
    std::vector<double> pixel1;
    std::vector<double> offsets;
    std::vector<double> intermediate;
    std::vector<double> output;
    std::vector<double> gather;    // the values of one multi-axis -TAB group
    std::vector<double> tab_work;  // that group's interpolation and Newton work

    explicit TransformScratch(std::size_t n)
        : pixel1(n, 0.0), offsets(n, 0.0), intermediate(n, 0.0), output(n, 0.0) {}
    // Sizes the -TAB buffers for the largest group of `w`.
    void fit_tab(const struct Wcs& w);
};

struct Wcs {
    std::vector<AxisDescription> axes;
    LinearTransform linear;
    std::optional<CelestialBlock> celestial;
    std::optional<CelestialPair> pair;
    RadeSys radesys = RadeSys::Icrs;
    std::optional<double> equinox;
    std::optional<double> mjd_obs;          // UTC
    std::optional<double> mjd_obs_as_read;  // in the header's TIMESYS, as WcsExtras says
    std::optional<std::string> wcsname;
    std::optional<SpectralReference> spectral_ref;
    std::vector<SpectralAxis> spectral;  // in axis order
    std::optional<TimeAxis> time;
    std::vector<PhaseAxis> phase;
    std::vector<TabAxisSpec> tab_specs;
    std::vector<TabGroup> tab_groups;
    std::optional<DssPlate> dss;  // primary description only
    std::optional<std::vector<std::uint64_t>> pixel_shape;

    // The description for alternate code `alt` (' ' or 'A'..'Z'), or none when the header
    // carries none.
    static Result<std::optional<Wcs>> from_header(const Header& header, char32_t alt);
    // Checks that every axis index is in range and that the celestial parts agree.
    static Result<Wcs> from_parts(std::vector<AxisDescription> axes, LinearTransform linear,
                                  WcsExtras extras);

    // Loads every -TAB axis's arrays from the binary tables of `file`, the file the header came
    // from; the number of axes resolved (0 when already resolved). Unchanged on failure.
    Result<std::size_t> resolve_tab(const FitsFile& file);

    std::size_t naxis() const { return axes.size(); }
    AxisKind axis_kind(std::size_t i) const;

    // --- transforms; pixel coordinates are 0-based ---
    Result<std::vector<double>> pixel_to_world(std::span<const double> pixel) const;
    Result<std::vector<double>> world_to_pixel(std::span<const double> world) const;
    // Flat lists of naxis-tuples; a point that fails becomes a row of NaN. `out` has the
    // length of `in`.
    Result<void> pixel_to_world_batch(std::span<const double> in, std::span<double> out) const;
    Result<void> world_to_pixel_batch(std::span<const double> in, std::span<double> out) const;
    Result<std::vector<double>> pixel_to_world_batch(std::span<const double> in) const;
    Result<std::vector<double>> world_to_pixel_batch(std::span<const double> in) const;

    // One point through the whole pipeline into scratch.output.
    Result<void> forward_point(std::span<const double> pixel, TransformScratch& s) const;
    Result<void> inverse_point(std::span<const double> world, TransformScratch& s) const;

    // Arcseconds per pixel along the pixel axes of the longitude and latitude at (px, py).
    Result<std::pair<double, double>> pixel_scale_at(double px, double py) const;
    // World coordinates of the image's corner pixels in Gray-code order, flat.
    Result<std::vector<double>> footprint() const;

    // The description as the cards that parse back to it, for alternate code `alt`, in a new
    // header holding nothing else (NAXISn are zero placeholders).
    Result<Header> to_header(char32_t alt) const;
};

// "WCS {} names axis {} of a {}-axis description" unless index < n.
Result<void> check_axis_index(std::size_t n, std::string_view kind, std::size_t index);

}  // namespace vexlo
