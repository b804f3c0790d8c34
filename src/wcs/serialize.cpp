// Wcs::to_header. The linear step is always written as a CD matrix and the pole as
// LONPOLE/LATPOLE, so one form reads back whatever form the description was parsed from.
#include "wcs/serialize.hpp"

#include <cmath>
#include <cstddef>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "header/time.hpp"
#include "units/unit.hpp"
#include "util/number.hpp"
#include "util/text.hpp"
#include "util/try.hpp"
#include "wcs/parse.hpp"
#include "wcs/wcs.hpp"

namespace vexlo {

namespace {

// Appends cards to one header; the first failing card ends the writing.
struct CardWriter {
    Header& header;

    Result<void> real(const std::string& key, double v, std::string comment) {
        // -0.0 (a negative CDELT times a zero PC entry) means 0 and is written so.
        if (v == 0.0) v = 0.0;
        VEXLO_TRY(header.push_card(key, Value::make_real(v), std::move(comment)));
        return {};
    }
    Result<void> integer(const std::string& key, std::int64_t v, std::string comment) {
        VEXLO_TRY(header.push_card(key, Value::make_integer(v), std::move(comment)));
        return {};
    }
    Result<void> text(const std::string& key, std::string v, std::string comment) {
        VEXLO_TRY(header.push_card(key, Value::make_string(std::move(v)), std::move(comment)));
        return {};
    }
};

std::string_view radesys_card_text(RadeSys r) {
    switch (r) {
        case RadeSys::Icrs:
            return "ICRS";
        case RadeSys::Fk5:
            return "FK5";
        case RadeSys::Fk4:
            return "FK4";
        case RadeSys::Fk4NoE:
            return "FK4-NO-E";
        case RadeSys::Gappt:
            return "GAPPT";
        case RadeSys::Other:
            break;
    }
    return "";
}

// A CUNIT in an informal spelling that only the lenient parse understood ('degree', 'microns')
// is written in its canonical aliases, which every reader understands.
std::string written_cunit(const std::string& cunit) {
    if (cunit.empty() || Unit::parse(cunit)) return cunit;
    std::string aliases = normalize_unit_aliases(cunit);
    return Unit::parse(aliases) ? aliases : cunit;
}

// Whether the SIP cards go with the description written for this alternate code.
bool writes_sip(const Wcs& wcs, bool primary) {
    return primary && wcs.celestial && wcs.celestial->sip;
}

// The CTYPE written for axis i. A celestial CTYPE ending in "-SIP" asks its reader for the
// SIP cards; where they are not written it goes without that suffix, so the header reads
// back as the same description without the distortion instead of being refused.
std::string written_ctype(const Wcs& wcs, std::size_t i, bool sip_written) {
    const std::string& ctype = wcs.axes[i].ctype;
    if (sip_written || !wcs.celestial) return ctype;
    const CelestialPair& pair = wcs.celestial->pair;
    if (i != pair.lon && i != pair.lat) return ctype;
    const std::string_view t = trim_ws_end(ctype);
    if (t.size() <= 8 || !ascii_iequal(t.substr(t.size() - 4), "-SIP")) return ctype;
    return std::string(t.substr(0, t.size() - 4));
}

// WCSAXES is needed only when the description has axes the image it came from does not:
// merged into that image's header, the NAXIS written here gives way to the image's own.
bool needs_wcsaxes(const Wcs& wcs) {
    return wcs.pixel_shape && wcs.naxis() > wcs.pixel_shape->size();
}

Result<void> write_axes(CardWriter& w, const Wcs& wcs, const std::string& a, bool sip_written) {
    const std::size_t n = wcs.naxis();
    VEXLO_TRY(w.integer("NAXIS", static_cast<std::int64_t>(n), "Number of coordinate axes"));
    for (std::size_t i = 1; i <= n; ++i) {
        VEXLO_TRY(w.integer(axis_key("NAXIS", i, ""), 0, "length of data axis (placeholder)"));
    }
    if (needs_wcsaxes(wcs)) {
        VEXLO_TRY(w.integer("WCSAXES" + a, static_cast<std::int64_t>(n), "Number of WCS axes"));
    }
    for (std::size_t i = 0; i < n; ++i) {
        const std::string ctype = written_ctype(wcs, i, sip_written);
        VEXLO_TRY(w.text(axis_key("CTYPE", i + 1, a), ctype, ctype_comment(ctype)));
    }
    for (std::size_t i = 0; i < n; ++i) {
        const std::string cunit = written_cunit(wcs.axes[i].cunit);
        if (cunit.empty()) continue;
        VEXLO_TRY(
            w.text(axis_key("CUNIT", i + 1, a), cunit, "Units of coordinate increment and value"));
    }
    for (std::size_t i = 0; i < n; ++i) {
        const std::string cunit = written_cunit(wcs.axes[i].cunit);
        std::string comment = "Coordinate value at reference point";
        if (!cunit.empty()) comment = "[" + cunit + "] " + comment;
        VEXLO_TRY(w.real(axis_key("CRVAL", i + 1, a), wcs.linear.crval[i], std::move(comment)));
    }
    for (std::size_t i = 0; i < n; ++i) {
        VEXLO_TRY(w.real(axis_key("CRPIX", i + 1, a), wcs.linear.crpix[i],
                         "Pixel coordinate of reference point"));
    }
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) {
            const std::string key = "CD" + std::to_string(i + 1) + "_" + std::to_string(j + 1) + a;
            VEXLO_TRY(w.real(key, wcs.linear.matrix[i * n + j],
                             "Coordinate transformation matrix element"));
        }
    }
    return {};
}

Result<void> write_tpv_cards(CardWriter& w, const Tpv& tpv, const std::string& lon,
                             const std::string& lat, const std::string& a) {
    for (const auto& [axis, table] : {std::pair{&lon, &tpv.t1}, std::pair{&lat, &tpv.t2}}) {
        for (std::size_t m = 0; m < table->coefficients.size(); ++m) {
            const double c = table->coefficients[m];
            // The linear term is written even when zero: a reader assumes 1 for it.
            if (m != 1 && c == 0.0) continue;
            VEXLO_TRY(w.real("PV" + *axis + "_" + std::to_string(m) + a, c,
                             "TPV distortion coefficient"));
        }
    }
    return {};
}

// "3. 4. 4. 2. xi_min xi_max eta_min eta_max c1 c2 ...".
std::string tnx_surface_text(const TnxSurface& s) {
    std::string out = std::to_string(s.function_type + 1) + ". " + std::to_string(s.ni) + ". " +
                      std::to_string(s.nj) + ". " + std::to_string(static_cast<int>(s.cross_term)) +
                      ".";
    for (const double v : {s.xi_min, s.xi_max, s.eta_min, s.eta_max})
        out += " " + format_real_debug(v);
    for (const double c : s.coefficients)
        out += " " + format_real_debug(c);
    return out;
}

// Pieces of at most 60 characters, split at blanks, that concatenate to the text; every
// piece after the first begins with the blank it was split at.
std::vector<std::string> wat_pieces(std::string_view text) {
    std::vector<std::string> pieces;
    std::string piece;
    bool first = true;
    std::size_t start = 0;
    while (true) {
        const std::size_t end = text.find(' ', start);
        const std::string_view word = text.substr(
            start, end == std::string_view::npos ? std::string_view::npos : end - start);
        if (first) {
            piece = std::string(word);
            first = false;
        } else if (piece.size() + 1 + word.size() <= 60) {
            piece += " ";
            piece += word;
        } else {
            pieces.push_back(std::move(piece));
            piece = " " + std::string(word);
        }
        if (end == std::string_view::npos) break;
        start = end + 1;
    }
    if (!piece.empty()) pieces.push_back(std::move(piece));
    return pieces;
}

Result<void> write_tnx_cards(CardWriter& w, const Tnx& tnx, std::string_view lat_ctype,
                             const std::string& lon, const std::string& lat) {
    VEXLO_TRY(w.text("WAT0_001", "system=image", "IRAF WCS system"));
    const std::string wtype = tnx_wtype(lat_ctype);
    const struct {
        const std::optional<TnxSurface>& surface;
        const char* axtype;
        const char* name;
        const std::string& axis;
    } surfaces[] = {{tnx.lngcor, "ra", "lngcor", lon}, {tnx.latcor, "dec", "latcor", lat}};
    for (const auto& s : surfaces) {
        if (!s.surface) continue;
        const std::string whole = "wtype=" + wtype + " axtype=" + s.axtype + " " + s.name +
                                  " = \"" + tnx_surface_text(*s.surface) + "\"";
        const std::vector<std::string> pieces = wat_pieces(whole);
        for (std::size_t k = 0; k < pieces.size(); ++k) {
            std::string number = std::to_string(k + 1);
            if (number.size() < 3) number.insert(0, 3 - number.size(), '0');
            const std::string key = "WAT" + s.axis + "_" + number;
            VEXLO_TRY(w.header.push_card(key, Value::make_string(pieces[k]), std::nullopt));
        }
    }
    return {};
}

Result<void> write_sip_coefficient_cards(CardWriter& w, std::string_view prefix,
                                         const SipPolynomial& poly) {
    const std::uint32_t n = poly.order;
    for (std::uint32_t p = 0; p <= n; ++p) {
        for (std::uint32_t q = 0; p + q <= n; ++q) {
            const double c = poly.coefficients[(n + 1) * p + q];
            if (c == 0.0) continue;
            VEXLO_TRY(
                w.real(std::string(prefix) + "_" + std::to_string(p) + "_" + std::to_string(q), c,
                       "SIP distortion coefficient"));
        }
    }
    return {};
}

Result<void> write_sip_cards(CardWriter& w, const Sip& sip) {
    VEXLO_TRY(w.integer("A_ORDER", sip.a.order, "SIP polynomial order, axis 1, detector to sky"));
    VEXLO_TRY(w.integer("B_ORDER", sip.b.order, "SIP polynomial order, axis 2, detector to sky"));
    VEXLO_TRY(write_sip_coefficient_cards(w, "A", sip.a));
    VEXLO_TRY(write_sip_coefficient_cards(w, "B", sip.b));
    // The reverse polynomials come as a pair; one alone is not a usable inverse.
    if (!sip.ap || !sip.bp) return {};
    VEXLO_TRY(
        w.integer("AP_ORDER", sip.ap->order, "SIP polynomial order, axis 1, sky to detector"));
    VEXLO_TRY(
        w.integer("BP_ORDER", sip.bp->order, "SIP polynomial order, axis 2, sky to detector"));
    VEXLO_TRY(write_sip_coefficient_cards(w, "AP", *sip.ap));
    return write_sip_coefficient_cards(w, "BP", *sip.bp);
}

Result<void> write_dss_cards(CardWriter& w, const DssPlate& plate) {
    const double ra_h = plate.plate_ra / 15.0;
    const double h = std::trunc(ra_h);
    const double m = std::trunc((ra_h - h) * 60.0);
    VEXLO_TRY(w.real("PLTRAH", h, "[h] Plate center RA"));
    VEXLO_TRY(w.real("PLTRAM", m, "[min] Plate center RA"));
    VEXLO_TRY(w.real("PLTRAS", ((ra_h - h) - m / 60.0) * 3600.0, "[s] Plate center RA"));
    VEXLO_TRY(w.text("PLTDECSN", plate.plate_dec < 0.0 ? "-" : "+", "Plate center Dec sign"));
    const double dec = std::fabs(plate.plate_dec);
    const double d = std::trunc(dec);
    const double dm = std::trunc((dec - d) * 60.0);
    VEXLO_TRY(w.real("PLTDECD", d, "[deg] Plate center Dec"));
    VEXLO_TRY(w.real("PLTDECM", dm, "[arcmin] Plate center Dec"));
    VEXLO_TRY(w.real("PLTDECS", ((dec - d) - dm / 60.0) * 3600.0, "[arcsec] Plate center Dec"));
    VEXLO_TRY(w.real("PPO3", plate.ppo3, "[um] Plate center x"));
    VEXLO_TRY(w.real("PPO6", plate.ppo6, "[um] Plate center y"));
    VEXLO_TRY(w.real("XPIXELSZ", plate.x_pixel_size, "[um] Pixel size in x"));
    VEXLO_TRY(w.real("YPIXELSZ", plate.y_pixel_size, "[um] Pixel size in y"));
    VEXLO_TRY(w.real("CNPIX1", plate.cnpix1, "Subimage x offset on the plate"));
    VEXLO_TRY(w.real("CNPIX2", plate.cnpix2, "Subimage y offset on the plate"));
    for (const auto& [root, terms, comment] :
         {std::tuple{"AMDX", &plate.amdx, "Plate solution x coefficient"},
          std::tuple{"AMDY", &plate.amdy, "Plate solution y coefficient"}}) {
        for (std::size_t k = 0; k < terms->size(); ++k) {
            if (k > 0 && (*terms)[k] == 0.0) continue;
            VEXLO_TRY(w.real(axis_key(root, k + 1, ""), (*terms)[k], comment));
        }
    }
    return {};
}

Result<void> write_celestial(CardWriter& w, const CelestialBlock& block, std::string_view lat_ctype,
                             const std::string& a) {
    const std::string lon = std::to_string(block.pair.lon + 1);
    const std::string lat = std::to_string(block.pair.lat + 1);
    const CelestialRotation& r = block.rotation;
    VEXLO_TRY(w.real("LONPOLE" + a, r.phi_p, "[deg] Native longitude of celestial pole"));
    VEXLO_TRY(w.real("LATPOLE" + a, r.delta_p, "[deg] Celestial latitude of native pole"));
    for (const auto& [m, value] : block.projection.pv_cards()) {
        VEXLO_TRY(w.real("PV" + lat + "_" + std::to_string(m) + a, value, "Projection parameter"));
    }
    // TPV and TNX use the PV{lon} cards for their own terms.
    if (block.tpv) return write_tpv_cards(w, *block.tpv, lon, lat, a);
    if (block.tnx) return write_tnx_cards(w, *block.tnx, lat_ctype, lon, lat);
    // The flag that tells a reader to move the plane origin to the fiducial point goes with
    // both coordinates of that point: some readers apply the offset only when both are given.
    const bool offset = block.fiducial_offset.a != 0.0 || block.fiducial_offset.b != 0.0;
    if (offset) VEXLO_TRY(w.real("PV" + lon + "_0" + a, 1.0, "Fiducial offset applied"));
    // A fiducial latitude is written whenever it is not the one a reader assumes, whatever
    // the fiducial longitude: dropping it would move every point.
    if (offset || r.phi0 != 0.0) {
        VEXLO_TRY(
            w.real("PV" + lon + "_1" + a, r.phi0, "[deg] Native longitude of fiducial point"));
    }
    if (offset || r.theta0 != default_theta0(block.projection)) {
        VEXLO_TRY(
            w.real("PV" + lon + "_2" + a, r.theta0, "[deg] Native latitude of fiducial point"));
    }
    return {};
}

// The TIMESYS card to_header writes: only a TIME axis needs it, as a CTYPE that names a scale
// itself (TT, TDB, ...) carries it.
std::optional<std::string> written_time_sys(const Wcs& wcs) {
    if (!wcs.time) return std::nullopt;
    const TimeAxis& t = *wcs.time;
    const std::string_view ctype =
        t.axis < wcs.naxis() ? std::string_view(wcs.axes[t.axis].ctype) : std::string_view();
    if (!ascii_iequal(trim_ws(ctype), "TIME")) return std::nullopt;
    std::string scale = t.scale;
    if (t.realisation) scale += "(" + *t.realisation + ")";
    return scale;
}

// The observation time in the scale of the TIMESYS written beside it (UTC without one), so
// that reading the card back gives the same UTC instant.
std::optional<double> written_mjd_obs(const Wcs& wcs) {
    if (!wcs.mjd_obs) return std::nullopt;
    const std::optional<std::string> scale = written_time_sys(wcs);
    if (!scale) return wcs.mjd_obs;
    // The TIMESYS written is the one the value was read under.
    if (wcs.mjd_obs_as_read) return wcs.mjd_obs_as_read;
    // Otherwise invert the conversion to UTC; its slope is 1 to within 1e-8.
    double x = *wcs.mjd_obs;
    for (int step = 0; step < 4; ++step) {
        const std::optional<double> utc = to_utc_mjd(*scale, x);
        if (!utc) return wcs.mjd_obs;
        x += *wcs.mjd_obs - *utc;
    }
    return x;
}

Result<void> write_frame_and_names(CardWriter& w, const Wcs& wcs, const std::string& a,
                                   bool primary) {
    if (wcs.pair && wcs.pair->frame == CelestialFrame::Equatorial &&
        wcs.radesys != RadeSys::Other) {
        VEXLO_TRY(w.text("RADESYS" + a, std::string(radesys_card_text(wcs.radesys)),
                         "Equatorial coordinate system"));
    }
    if (wcs.equinox) {
        VEXLO_TRY(w.real("EQUINOX" + a, *wcs.equinox, "[yr] Equinox of equatorial coordinates"));
    }
    if (const std::optional<double> mjd = written_mjd_obs(wcs); primary && mjd)
        VEXLO_TRY(w.real("MJD-OBS", *mjd, "[d] MJD of observation"));
    if (wcs.wcsname) VEXLO_TRY(w.text("WCSNAME" + a, *wcs.wcsname, "Coordinate system title"));
    return {};
}

// One description has one RESTFRQ and one RESTWAV slot: spectral axes that carry different
// rest quantities cannot all be written, and writing the first axis's would silently change
// the others.
Result<void> write_rest_quantities(CardWriter& w, const std::vector<SpectralAxis>& spectral,
                                   const std::string& a) {
    if (spectral.empty()) return {};
    const SpectralAxis& first = spectral.front();
    for (const SpectralAxis& s : spectral) {
        if (s.restfrq != first.restfrq || s.restwav != first.restwav) {
            return std::unexpected(
                Error::wcs("Wcs::to_header: spectral axes " + std::to_string(first.axis + 1) +
                           " and " + std::to_string(s.axis + 1) +
                           " disagree on the rest quantity, but one WCS description has a single "
                           "RESTFRQ/RESTWAV slot -- it cannot carry both"));
        }
    }
    if (first.restfrq) VEXLO_TRY(w.real("RESTFRQ" + a, *first.restfrq, "[Hz] Line rest frequency"));
    if (first.restwav) VEXLO_TRY(w.real("RESTWAV" + a, *first.restwav, "[m] Line rest wavelength"));
    return {};
}

Result<void> write_grism_cards(CardWriter& w, const std::vector<SpectralAxis>& spectral,
                               const std::string& a) {
    static constexpr const char* kComments[] = {
        "[m**-1] Grating ruling density",
        "Interference order",
        "[deg] Angle of incidence",
        "Refractive index at the reference wavelength",
        "[m**-1] dn/dlambda at the reference",
        "[deg] Grating normal out of dispersion plane",
        "[deg] Reference ray to camera axis",
    };
    for (const SpectralAxis& s : spectral) {
        if (!s.grism) continue;
        const GrismParams& g = *s.grism;
        const double values[] = {g.g, g.m, g.alpha, g.n_r, g.dn_r, g.epsilon, g.theta};
        for (std::size_t m = 0; m < 7; ++m) {
            VEXLO_TRY(w.real("PV" + std::to_string(s.axis + 1) + "_" + std::to_string(m) + a,
                             values[m], kComments[m]));
        }
    }
    return {};
}

// A -TAB axis names its lookup table; the table itself is a separate HDU the caller writes.
Result<void> write_tab_cards(CardWriter& w, const std::vector<TabAxisSpec>& specs,
                             const std::string& a) {
    for (const TabAxisSpec& t : specs) {
        const std::string i = std::to_string(t.axis + 1);
        VEXLO_TRY(w.text("PS" + i + "_0" + a, t.extname, "Coordinate table extension name"));
        VEXLO_TRY(w.text("PS" + i + "_1" + a, t.coord_column, "Coordinate table column name"));
        if (t.index_column) {
            VEXLO_TRY(w.text("PS" + i + "_2" + a, *t.index_column, "Index table column name"));
        }
        VEXLO_TRY(w.integer("PV" + i + "_1" + a, t.extver, "Coordinate table extension version"));
        VEXLO_TRY(w.integer("PV" + i + "_2" + a, t.extlevel, "Coordinate table extension level"));
        VEXLO_TRY(w.integer("PV" + i + "_3" + a, static_cast<std::int64_t>(t.coord_axis),
                            "Axis number in the coordinate array"));
    }
    return {};
}

Result<void> write_spectral_reference(CardWriter& w, const SpectralReference& r,
                                      const std::string& a) {
    if (r.specsys) VEXLO_TRY(w.text("SPECSYS" + a, *r.specsys, "Spectral reference frame"));
    if (r.ssysobs) VEXLO_TRY(w.text("SSYSOBS" + a, *r.ssysobs, "Spectral frame of observation"));
    if (r.source && r.source->ssyssrc) {
        VEXLO_TRY(w.text("SSYSSRC" + a, *r.source->ssyssrc, "Reference frame for ZSOURCE"));
    }
    if (r.velosys) {
        VEXLO_TRY(w.real("VELOSYS" + a, *r.velosys, "[m/s] Velocity towards the reference frame"));
    }
    if (r.source) VEXLO_TRY(w.real("ZSOURCE" + a, r.source->zsource, "Redshift of the source"));
    if (r.source && r.source->velangl) {
        VEXLO_TRY(
            w.real("VELANGL" + a, *r.source->velangl, "[deg] Angle of the true velocity vector"));
    }
    return {};
}

Result<void> write_time(CardWriter& w, const Wcs& wcs) {
    const TimeAxis& t = *wcs.time;
    if (std::optional<std::string> scale = written_time_sys(wcs))
        VEXLO_TRY(w.text("TIMESYS", std::move(*scale), "Time scale"));
    if (t.trefpos) VEXLO_TRY(w.text("TREFPOS", *t.trefpos, "Time reference position"));
    if (t.trefdir) VEXLO_TRY(w.text("TREFDIR", *t.trefdir, "Time reference direction"));
    if (t.plephem) VEXLO_TRY(w.text("PLEPHEM", *t.plephem, "Solar system ephemeris"));
    return {};
}

Result<void> write_axis_extras(CardWriter& w, const Wcs& wcs, const std::string& a) {
    for (const PhaseAxis& p : wcs.phase) {
        if (p.zero_point) {
            VEXLO_TRY(w.real(axis_key("CZPHS", p.axis + 1, a), *p.zero_point,
                             "[s] Phase axis zero point"));
        }
        if (p.period) {
            VEXLO_TRY(w.real(axis_key("CPERI", p.axis + 1, a), *p.period, "[s] Phase axis period"));
        }
    }
    for (std::size_t i = 0; i < wcs.naxis(); ++i) {
        const AxisDescription& d = wcs.axes[i];
        if (d.cname)
            VEXLO_TRY(w.text(axis_key("CNAME", i + 1, a), *d.cname, "Coordinate axis name"));
        if (d.crder) {
            VEXLO_TRY(w.real(axis_key("CRDER", i + 1, a), *d.crder, "Random error in coordinate"));
        }
        if (d.csyer) {
            VEXLO_TRY(
                w.real(axis_key("CSYER", i + 1, a), *d.csyer, "Systematic error in coordinate"));
        }
    }
    return {};
}

}  // namespace

std::string ctype_comment(std::string_view ctype) {
    static constexpr const char* kDefault = "Coordinate axis type";
    static constexpr const char* kSip = "TAN (gnomonic) projection + SIP distortions";
    const std::string_view t = trim_ws(ctype);
    const bool sip = t.size() > 3 && t.substr(t.size() - 4) == "-SIP";
    const std::size_t dash = t.rfind('-');
    const std::string code =
        ascii_upper(trim_ws(dash == std::string_view::npos ? t : t.substr(dash + 1)));
    if (sip) return kSip;
    if (code.size() != 3) return kDefault;
    static constexpr std::pair<const char*, const char*> kNames[] = {
        {"TAN", "TAN (gnomonic) projection"},
        {"SIN", "SIN (orthographic) projection"},
        {"ARC", "ARC (zenithal equidistant) projection"},
        {"STG", "STG (stereographic) projection"},
        {"ZEA", "ZEA (zenithal equal-area) projection"},
        {"AIR", "AIR (Airy) projection"},
        {"CAR", "CAR (plate carree) projection"},
        {"MER", "MER (Mercator) projection"},
        {"AIT", "AIT (Hammer-Aitoff) projection"},
        {"MOL", "MOL (Mollweide) projection"},
        {"CEA", "CEA (cylindrical equal-area) projection"},
        {"TPV", "TPV (TAN with PV distortions) projection"},
        {"TNX", "IRAF TNX/ZPX projection"},
        {"ZPX", "IRAF TNX/ZPX projection"},
        {"TAB", "Tabular axis (Paper III)"},
    };
    for (const auto& [name, comment] : kNames) {
        if (code == name) return comment;
    }
    return kDefault;
}

std::string tnx_wtype(std::string_view lat_ctype) {
    const std::string_view t = trim_ws(lat_ctype);
    const std::size_t dash = t.rfind('-');
    const std::string out = ascii_lower(dash == std::string_view::npos ? t : t.substr(dash + 1));
    return out.empty() ? "tnx" : out;
}

Result<Header> Wcs::to_header(char32_t alt) const {
    VEXLO_ASSIGN_OR_RETURN(const std::string a, alt_suffix(alt));
    const bool primary = alt == U' ';
    Header header;
    CardWriter w{header};
    const bool sip = writes_sip(*this, primary);
    VEXLO_TRY(write_axes(w, *this, a, sip));
    if (celestial) {
        VEXLO_TRY(write_celestial(w, *celestial, axes[celestial->pair.lat].ctype, a));
    }
    VEXLO_TRY(write_frame_and_names(w, *this, a, primary));
    VEXLO_TRY(write_rest_quantities(w, spectral, a));
    if (spectral_ref) VEXLO_TRY(write_spectral_reference(w, *spectral_ref, a));
    if (primary && time) VEXLO_TRY(write_time(w, *this));
    VEXLO_TRY(write_axis_extras(w, *this, a));
    VEXLO_TRY(write_grism_cards(w, spectral, a));
    VEXLO_TRY(write_tab_cards(w, tab_specs, a));
    if (dss) VEXLO_TRY(write_dss_cards(w, *dss));
    if (sip) VEXLO_TRY(write_sip_cards(w, *celestial->sip));
    return header;
}

}  // namespace vexlo
