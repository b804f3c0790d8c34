// Wcs::from_header: the keywords of one alternate description read in a fixed order, each
// group handed to the part that owns it, and the record assembled by Wcs::from_parts.
#include "wcs/parse.hpp"

#include <array>
#include <cmath>
#include <new>

#include "header/time.hpp"
#include "util/debug.hpp"
#include "util/number.hpp"
#include "util/text.hpp"
#include "wcs/wcs.hpp"

namespace vexlo {

namespace {

// WCSAXES and WCSDIM are otherwise unbounded; NAXIS itself stops at 999.
constexpr std::int64_t kMaxAxes = 999;

bool is_spectral_ctype(std::string_view ctype) {
    const auto p = ctype_prefix(trim_ws(ctype));
    return p && spectral_type_code(*p) != 255;
}

// A WCSAXES-like card: a positive Integer is the axis count; any other value falls back.
struct AxisCount {
    bool present = false;
    std::int64_t value = 0;
};

AxisCount read_axis_count(const Header& header, std::string_view key) {
    AxisCount c;
    const auto card = header.get(key);
    if (!card) return c;
    const std::optional<Value> v = card->value();
    if (!v) return c;
    c.present = true;
    if (v->is(Value::Kind::Integer) && v->integer > 0) c.value = v->integer;
    return c;
}

Result<std::pair<std::vector<double>, std::optional<std::vector<double>>>> read_ltv_ltm(
    const Header& header, std::size_t n, bool& present) {
    std::vector<double> ltv(n, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        const std::string key = axis_key("LTV", i + 1, "");
        const auto v = header.get_value(key);
        if (!v) continue;
        if (v->is(Value::Kind::Integer)) {
            ltv[i] = static_cast<double>(v->integer);
        } else if (v->is(Value::Kind::Real)) {
            ltv[i] = v->real;
        } else {
            return std::unexpected(Error::wcs(key + " must be numeric"));
        }
        present = true;
    }
    VEXLO_ASSIGN_OR_RETURN(auto ltm, read_matrix_cards(header, "LTM", "", n));
    if (ltm) present = true;
    return std::make_pair(std::move(ltv), std::move(ltm));
}

std::optional<PhaseAxis> read_phase_axis(const Header& header, std::string_view suffix,
                                         std::size_t i, std::string_view ctype) {
    if (!ascii_iequal(trim_ws(ctype), "PHASE")) return std::nullopt;
    PhaseAxis p;
    p.axis = i;
    p.zero_point = read_f64(header, axis_key("CZPHS", i + 1, suffix));
    p.period = read_f64(header, axis_key("CPERI", i + 1, suffix));
    return p;
}

std::optional<TimeAxis> time_axis_of(std::size_t axis, std::string_view ctype,
                                     std::string_view time_sys) {
    const std::string_view t = trim_ws(ctype);
    std::string_view source;
    if (ascii_iequal(t, "TIME")) {
        source = time_sys;
    } else if (is_time_scale(t)) {
        source = t;
    } else {
        return std::nullopt;
    }
    TimeAxis ta;
    ta.axis = axis;
    const std::size_t open = source.find('(');
    ta.scale = ascii_upper(trim_ws(source.substr(0, open)));
    if (open != std::string_view::npos && open + 1 < source.size() && source.back() == ')') {
        const std::string_view inside = trim_ws(source.substr(open + 1, source.size() - open - 2));
        if (!inside.empty()) ta.realisation = std::string(inside);
    }
    return ta;
}

std::optional<SpectralReference> read_spectral_reference(const Header& header,
                                                         std::string_view suffix) {
    const std::string sfx(suffix);
    SpectralReference r;
    if (auto z = read_f64(header, "ZSOURCE" + sfx)) {
        SpectralSource s;
        s.zsource = *z;
        s.ssyssrc = read_trimmed_string(header, "SSYSSRC" + sfx);
        s.velangl = read_f64(header, "VELANGL" + sfx);
        r.source = std::move(s);
    }
    r.specsys = read_trimmed_string(header, "SPECSYS" + sfx);
    r.ssysobs = read_trimmed_string(header, "SSYSOBS" + sfx);
    r.velosys = read_f64(header, "VELOSYS" + sfx);
    if (!r.specsys && !r.ssysobs && !r.velosys && !r.source) return std::nullopt;
    return r;
}

AxisDescription read_axis_description(const Header& header, std::string_view suffix, std::size_t i,
                                      std::string ctype, std::string cunit) {
    AxisDescription d;
    d.ctype = std::move(ctype);
    d.cunit = std::move(cunit);
    d.cname = read_trimmed_string(header, axis_key("CNAME", i + 1, suffix));
    d.crder = read_f64(header, axis_key("CRDER", i + 1, suffix));
    d.csyer = read_f64(header, axis_key("CSYER", i + 1, suffix));
    return d;
}

// MJD-OBS, else DATE-OBS, as written, when it is what the UTC observation time was read from:
// writing it back beside the same TIMESYS then keeps it exactly.
std::optional<double> mjd_obs_in_time_sys(const Header& header, std::string_view time_sys,
                                          std::optional<double> utc) {
    if (!utc) return std::nullopt;
    std::optional<double> v = header.get_f64("MJD-OBS");
    if (!v) {
        const auto text = header.get_str("DATE-OBS");
        const auto date = text ? parse_iso_datetime(*text) : std::nullopt;
        if (date) v = mjd_from_datetime(*date);
    }
    if (!v) return std::nullopt;
    const std::optional<double> again = to_utc_mjd(time_sys, *v);
    if (!again || !(*again == *utc)) return std::nullopt;
    return v;
}

// A reference value that is not a finite number makes every transform meaningless.
Result<void> check_finite(std::string_view root, std::size_t i, std::string_view suffix, double v) {
    if (std::isfinite(v)) return {};
    return std::unexpected(Error::wcs(axis_key(root, i + 1, suffix) + " = " + format_real_plain(v) +
                                      " is not finite"));
}

}  // namespace

// --- keyword readers ------------------------------------------------------------------------

std::string axis_key(std::string_view root, std::size_t i, std::string_view suffix) {
    return std::string(root) + std::to_string(i) + std::string(suffix);
}

Result<std::string> alt_suffix(char32_t alt) {
    if (alt != U' ' && !(alt >= U'A' && alt <= U'Z')) {
        return std::unexpected(
            Error::wcs("WCS alternate code must be ' ' or 'A'..'Z' (got " + debug_char(alt) + ")"));
    }
    return alt == U' ' ? std::string() : std::string(1, static_cast<char>(alt));
}

std::optional<double> read_f64(const Header& header, std::string_view key) {
    return header.get_f64(key);
}

double read_f64_or(const Header& header, std::string_view key, double fallback, bool& found) {
    if (auto v = header.get_f64(key)) {
        found = true;
        return *v;
    }
    return fallback;
}

std::string read_string_or(const Header& header, std::string_view key, std::string_view fallback,
                           bool& found) {
    if (auto v = header.get_str(key)) {
        found = true;
        return std::move(*v);
    }
    return std::string(fallback);
}

std::optional<std::string> read_trimmed_string(const Header& header, std::string_view key) {
    auto v = header.get_str(key);
    if (!v) return std::nullopt;
    const std::string_view t = trim_ws(*v);
    if (t.empty()) return std::nullopt;
    return std::string(t);
}

std::vector<std::pair<int, double>> read_pv_terms(const Header& header, std::size_t i,
                                                  std::string_view suffix) {
    std::vector<std::pair<int, double>> out;
    for (int m = 0; m < 40; ++m) {
        const std::string key =
            "PV" + std::to_string(i) + "_" + std::to_string(m) + std::string(suffix);
        if (auto v = header.get_f64(key)) out.emplace_back(m, *v);
    }
    return out;
}

Result<std::optional<std::vector<double>>> read_matrix_cards(const Header& header,
                                                             std::string_view prefix,
                                                             std::string_view suffix,
                                                             std::size_t n) {
    std::vector<double> m(n * n, 0.0);
    if (prefix != "CD") {
        for (std::size_t i = 0; i < n; ++i)
            m[i * n + i] = 1.0;
    }
    bool present = false;
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) {
            const std::string key = std::string(prefix) + std::to_string(i + 1) + "_" +
                                    std::to_string(j + 1) + std::string(suffix);
            const auto v = header.get_value(key);
            if (!v) continue;
            if (v->is(Value::Kind::Integer)) {
                m[i * n + j] = static_cast<double>(v->integer);
            } else if (v->is(Value::Kind::Real)) {
                m[i * n + j] = v->real;
            } else {
                return std::unexpected(Error::wcs(key + " must be numeric"));
            }
            present = true;
        }
    }
    if (!present) return std::optional<std::vector<double>>();
    return std::optional<std::vector<double>>(std::move(m));
}

std::optional<std::string_view> ctype_prefix(std::string_view ctype) {
    if (ctype.size() < 4) return ctype;
    if (ctype.size() > 4 && is_utf8_continuation(ctype[4])) return std::nullopt;
    return ctype.substr(0, 4);
}

bool is_tab_ctype(std::string_view ctype) {
    const std::string_view t = trim_ws(ctype);
    if (t.size() < 8 || !ctype_prefix(t)) return false;
    if (t.size() > 8 && is_utf8_continuation(t[8])) return false;
    return ascii_iequal(t.substr(4, 4), "-TAB");
}

std::uint8_t spectral_type_code(std::string_view text) {
    static constexpr std::array<std::string_view, 10> kNames = {
        "FREQ", "ENER", "WAVN", "WAVE", "AWAV", "VRAD", "VOPT", "ZOPT", "VELO", "BETA"};
    const std::string_view t = trim_ws(text);
    for (std::size_t i = 0; i < kNames.size(); ++i) {
        if (ascii_iequal(t, kNames[i])) return static_cast<std::uint8_t>(i);
    }
    return 255;
}

bool has_spectral_ctype(const std::vector<std::string>& ctypes) {
    for (const std::string& c : ctypes) {
        if (is_spectral_ctype(c)) return true;
    }
    return false;
}

// --- the record -----------------------------------------------------------------------------

RadeSys parse_radesys(std::string_view text) {
    const std::string_view t = trim_ws(text);
    if (ascii_iequal(t, "ICRS")) return RadeSys::Icrs;
    if (ascii_iequal(t, "FK5")) return RadeSys::Fk5;
    if (ascii_iequal(t, "FK4")) return RadeSys::Fk4;
    if (ascii_iequal(t, "FK4-NO-E")) return RadeSys::Fk4NoE;
    if (ascii_iequal(t, "GAPPT")) return RadeSys::Gappt;
    return RadeSys::Other;
}

std::string_view radesys_name(RadeSys r) {
    switch (r) {
        case RadeSys::Icrs:
            return "Icrs";
        case RadeSys::Fk5:
            return "Fk5";
        case RadeSys::Fk4:
            return "Fk4";
        case RadeSys::Fk4NoE:
            return "Fk4NoE";
        case RadeSys::Gappt:
            return "Gappt";
        case RadeSys::Other:
            return "Other";
    }
    return "Other";
}

Result<void> check_axis_index(std::size_t n, std::string_view kind, std::size_t index) {
    if (index < n) return {};
    return std::unexpected(Error::wcs("WCS " + std::string(kind) + " names axis " +
                                      std::to_string(index + 1) + " of a " + std::to_string(n) +
                                      "-axis description"));
}

AxisKind Wcs::axis_kind(std::size_t i) const {
    if (i >= axes.size()) return AxisKind::None;
    if (pair && i == pair->lon) return AxisKind::Longitude;
    if (pair && i == pair->lat) return AxisKind::Latitude;
    if (is_spectral_ctype(axes[i].ctype)) return AxisKind::Spectral;
    if (time && time->axis == i) return AxisKind::Time;
    for (const PhaseAxis& p : phase) {
        if (p.axis == i) return AxisKind::Phase;
    }
    if (ascii_iequal(trim_ws(axes[i].ctype), "STOKES")) return AxisKind::Stokes;
    return AxisKind::Linear;
}

Result<Wcs> Wcs::from_parts(std::vector<AxisDescription> axes, LinearTransform linear,
                            WcsExtras extras) {
    const std::size_t n = axes.size();
    if (linear.n != n) {
        return std::unexpected(Error::wcs("WCS has " + std::to_string(n) +
                                          " axis description(s) but a " + std::to_string(linear.n) +
                                          "-axis linear transform"));
    }
    for (const SpectralAxis& a : extras.spectral)
        VEXLO_TRY(check_axis_index(n, "spectral axis", a.axis));
    for (const PhaseAxis& p : extras.phase)
        VEXLO_TRY(check_axis_index(n, "phase axis", p.axis));
    for (const TabAxisSpec& t : extras.tab_specs)
        VEXLO_TRY(check_axis_index(n, "-TAB axis", t.axis));
    for (const TabGroup& g : extras.tab_groups) {
        for (const std::size_t a : g.wcs_axes)
            VEXLO_TRY(check_axis_index(n, "-TAB group axis", a));
    }
    if (extras.time) VEXLO_TRY(check_axis_index(n, "time axis", extras.time->axis));
    if (extras.celestial && !extras.pair) {
        return std::unexpected(Error::wcs("WCS has a celestial block but no celestial pair"));
    }
    if (extras.pair) {
        VEXLO_TRY(check_axis_index(n, "celestial longitude axis", extras.pair->lon));
        VEXLO_TRY(check_axis_index(n, "celestial latitude axis", extras.pair->lat));
        if (extras.celestial && !(extras.celestial->pair == *extras.pair)) {
            return std::unexpected(Error::wcs("WCS celestial pair " + debug_text(*extras.pair) +
                                              " disagrees with its celestial block's pair " +
                                              debug_text(extras.celestial->pair)));
        }
    }
    Wcs w;
    w.axes = std::move(axes);
    w.linear = std::move(linear);
    w.celestial = std::move(extras.celestial);
    w.pair = extras.pair;
    w.radesys = extras.radesys;
    w.equinox = extras.equinox;
    w.mjd_obs = extras.mjd_obs;
    w.mjd_obs_as_read = extras.mjd_obs_as_read;
    w.wcsname = std::move(extras.wcsname);
    w.spectral_ref = std::move(extras.spectral_ref);
    w.spectral = std::move(extras.spectral);
    w.time = std::move(extras.time);
    w.phase = std::move(extras.phase);
    w.tab_specs = std::move(extras.tab_specs);
    w.tab_groups = std::move(extras.tab_groups);
    w.dss = std::move(extras.dss);
    w.pixel_shape = std::move(extras.pixel_shape);
    return w;
}

namespace {

// Every spectral axis in axis order, skipping the celestial pair when it has a block.
Result<void> read_spectral_axes(const Header& header, const std::string& sfx,
                                const std::vector<std::string>& ctypes,
                                const std::vector<std::string>& cunits,
                                const std::vector<double>& crval, WcsExtras& extras) {
    std::optional<double> restfrq = read_f64(header, "RESTFRQ" + sfx);
    if (!restfrq) restfrq = read_f64(header, "RESTFRQ");
    if (!restfrq) restfrq = read_f64(header, "RESTFREQ");
    std::optional<double> restwav = read_f64(header, "RESTWAV" + sfx);
    if (!restwav) restwav = read_f64(header, "RESTWAV");
    for (std::size_t i = 0; i < ctypes.size(); ++i) {
        if (extras.celestial &&
            (i == extras.celestial->pair.lon || i == extras.celestial->pair.lat))
            continue;
        const SpectralCtypeParse p = parse_spectral_ctype(ctypes[i]);
        const std::string where =
            "CTYPE" + std::to_string(i + 1) + sfx + " = `" + ctypes[i] + "`: ";
        switch (p.outcome) {
            case SpectralCtypeParse::Outcome::NotSpectral:
                continue;
            case SpectralCtypeParse::Outcome::UnknownCode:
                return std::unexpected(
                    Error::wcs(where + "`" + p.code +
                               "` is not a spectral algorithm code (Standard Sec.8.4 Table 26)"));
            case SpectralCtypeParse::Outcome::WrongAssociate:
                return std::unexpected(
                    Error::wcs(where + "algorithm `" + p.code + "` names associate variable `" +
                               p.code.substr(2, 1) + "`, but this type is associated with `" +
                               std::string(1, p.expected) + "` (Paper III Sec.3.3.1)"));
            case SpectralCtypeParse::Outcome::Spectral:
                break;
        }
        std::optional<GrismParams> grism;
        if (p.algorithm && p.algorithm->kind == SpectralAlgorithm::Kind::Grism) {
            grism = read_grism_params(header, sfx, i);
        }
        VEXLO_ASSIGN_OR_RETURN(SpectralAxis axis,
                               SpectralAxis::make(i, p.type, p.algorithm, cunits[i], crval[i],
                                                  restfrq, restwav, grism));
        extras.spectral.push_back(std::move(axis));
    }
    return {};
}

}  // namespace

Result<std::optional<Wcs>> Wcs::from_header(const Header& header, char32_t alt) {
    using Found = std::optional<Wcs>;
    VEXLO_ASSIGN_OR_RETURN(const std::string sfx, alt_suffix(alt));

    VEXLO_ASSIGN_OR_RETURN(const std::uint64_t naxis, header.naxis());

    AxisCount count = read_axis_count(header, "WCSAXES" + sfx);
    const char* count_key = "WCSAXES";
    if (!count.present) {
        count = read_axis_count(header, "WCSDIM" + sfx);
        count_key = "WCSDIM";
    }
    // A plate solution has no image axes: its WCSAXES declares the axes it describes.
    if (naxis == 0 && count.value <= 0) return Found();
    // Refused before anything is sized by it: the parse builds several n x n matrices.
    if (count.value > kMaxAxes) {
        return std::unexpected(Error::wcs(std::string(count_key) + sfx + " = " +
                                          std::to_string(count.value) +
                                          " exceeds the limit of 999 axes"));
    }
    const std::size_t n =
        count.value > 0 ? static_cast<std::size_t>(count.value) : static_cast<std::size_t>(naxis);

    bool found = false;
    std::vector<double> crpix(n), crval(n), cdelt(n);
    std::vector<std::string> ctypes(n), cunits(n);
    for (std::size_t i = 0; i < n; ++i) {
        crpix[i] = read_f64_or(header, axis_key("CRPIX", i + 1, sfx), 0.0, found);
        crval[i] = read_f64_or(header, axis_key("CRVAL", i + 1, sfx), 0.0, found);
        cdelt[i] = read_f64_or(header, axis_key("CDELT", i + 1, sfx), 1.0, found);
        ctypes[i] = read_string_or(header, axis_key("CTYPE", i + 1, sfx), "", found);
        cunits[i] = read_string_or(header, axis_key("CUNIT", i + 1, sfx), "", found);
    }
    if (!found) return Found();
    for (std::size_t i = 0; i < n; ++i) {
        VEXLO_TRY(check_finite("CRPIX", i, sfx, crpix[i]));
        VEXLO_TRY(check_finite("CRVAL", i, sfx, crval[i]));
        VEXLO_TRY(check_finite("CDELT", i, sfx, cdelt[i]));
    }

    const std::optional<CelestialPair> pair = find_celestial_pair(ctypes);
    VEXLO_ASSIGN_OR_RETURN(auto cd, read_matrix_cards(header, "CD", sfx, n));
    VEXLO_ASSIGN_OR_RETURN(auto pc, read_matrix_cards(header, "PC", sfx, n));
    LinearTransform linear;
    if (cd && pc) {
        return std::unexpected(
            Error::wcs("header specifies both CDi_j and PCi_j (mutually exclusive, Sec.8.2.1)"));
    } else if (cd) {
        VEXLO_ASSIGN_OR_RETURN(linear, LinearTransform::from_cd(crpix, crval, std::move(*cd)));
    } else if (pc) {
        VEXLO_ASSIGN_OR_RETURN(linear,
                               LinearTransform::from_pc_cdelt(crpix, crval, cdelt, std::move(*pc)));
    } else {
        std::optional<std::pair<std::size_t, std::size_t>> rotated;
        if (pair && pair->lon < n && pair->lat < n) {
            rotated = std::make_pair(pair->lon, pair->lat);
        } else if (n >= 2) {
            rotated = std::make_pair(std::size_t{0}, std::size_t{1});
        }
        std::optional<double> rho;
        if (rotated) {
            rho = read_f64(header, axis_key("CROTA", rotated->second + 1, sfx));
            if (!rho) rho = read_f64(header, axis_key("CROTA", rotated->first + 1, sfx));
        }
        if (rho) {
            // A celestial pair may give its two axes different angle units. A unit that cannot
            // be read leaves the factor at 1: the celestial block refuses it afterwards.
            double lat_to_lon = 1.0;
            if (pair && pair->lon == rotated->first && pair->lat == rotated->second) {
                const auto lon_scale = celestial_unit_scale(cunits[pair->lon]);
                const auto lat_scale = celestial_unit_scale(cunits[pair->lat]);
                if (lon_scale && lat_scale) lat_to_lon = *lat_scale / *lon_scale;
            }
            VEXLO_ASSIGN_OR_RETURN(linear,
                                   LinearTransform::from_crota(crpix, crval, cdelt, rotated->first,
                                                               rotated->second, *rho, lat_to_lon));
        } else {
            std::vector<double> identity(n * n, 0.0);
            for (std::size_t i = 0; i < n; ++i)
                identity[i * n + i] = 1.0;
            VEXLO_ASSIGN_OR_RETURN(
                linear, LinearTransform::from_pc_cdelt(crpix, crval, cdelt, std::move(identity)));
        }
    }

    bool physical = false;
    VEXLO_ASSIGN_OR_RETURN(auto ltv_ltm, read_ltv_ltm(header, n, physical));
    if (physical) {
        std::vector<double> ltm = std::move(ltv_ltm.second).value_or(std::vector<double>());
        if (ltm.empty()) {
            ltm.assign(n * n, 0.0);
            for (std::size_t i = 0; i < n; ++i)
                ltm[i * n + i] = 1.0;
        }
        VEXLO_ASSIGN_OR_RETURN(linear, compose_with_input_affine(linear, ltm, ltv_ltm.first));
    }

    WcsExtras extras;
    extras.pair = pair;
    if (pair) {
        const bool lon_tab = is_tab_ctype(ctypes[pair->lon]);
        const bool lat_tab = is_tab_ctype(ctypes[pair->lat]);
        if (lon_tab != lat_tab) {
            return std::unexpected(Error::wcs(
                "CTYPE" + std::to_string(pair->lon + 1) + sfx + " = `" + ctypes[pair->lon] +
                "` / CTYPE" + std::to_string(pair->lat + 1) + sfx + " = `" + ctypes[pair->lat] +
                "`: a celestial pair must be -TAB on both axes or neither (Paper III Sec.6.1.1)"));
        }
        if (!lon_tab) {
            VEXLO_ASSIGN_OR_RETURN(
                CelestialBlock block,
                parse_celestial_block(header, sfx, *pair, ctypes, crval, cunits));
            extras.celestial = std::move(block);
        }
    }

    std::optional<double> equinox = read_f64(header, "EQUINOX" + sfx);
    if (!equinox) equinox = read_f64(header, "EPOCH");
    std::optional<std::string> radesys_text = header.get_str("RADESYS" + sfx);
    if (!radesys_text) radesys_text = header.get_str("RADECSYS");
    RadeSys radesys = RadeSys::Icrs;
    if (radesys_text) {
        radesys = parse_radesys(*radesys_text);
    } else if (equinox) {
        radesys = *equinox < 1984.0 ? RadeSys::Fk4 : RadeSys::Fk5;
    }
    if (pair) {
        extras.radesys = radesys;
        if (equinox && radesys != RadeSys::Icrs && radesys != RadeSys::Gappt) {
            extras.equinox = equinox;
        }
    }

    extras.mjd_obs = header.mjd_obs_utc();
    const std::string time_sys = header.time_sys();
    extras.mjd_obs_as_read = mjd_obs_in_time_sys(header, time_sys, extras.mjd_obs);
    for (std::size_t i = 0; i < n && !extras.time; ++i) {
        extras.time = time_axis_of(i, ctypes[i], time_sys);
    }
    if (extras.time) {
        extras.time->trefpos = read_trimmed_string(header, "TREFPOS");
        extras.time->trefdir = read_trimmed_string(header, "TREFDIR");
        extras.time->plephem = read_trimmed_string(header, "PLEPHEM");
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (auto p = read_phase_axis(header, sfx, i, ctypes[i])) extras.phase.push_back(*p);
    }
    extras.wcsname = read_trimmed_string(header, "WCSNAME" + sfx);
    if (has_spectral_ctype(ctypes)) extras.spectral_ref = read_spectral_reference(header, sfx);
    if (alt == U' ') {
        VEXLO_ASSIGN_OR_RETURN(extras.dss, DssPlate::from_header(header));
    }
    VEXLO_TRY(read_spectral_axes(header, sfx, ctypes, cunits, crval, extras));
    for (std::size_t i = 0; i < n; ++i) {
        if (!is_tab_ctype(ctypes[i])) continue;
        VEXLO_ASSIGN_OR_RETURN(TabAxisSpec spec, parse_tab_axis(header, sfx, i));
        extras.tab_specs.push_back(std::move(spec));
    }

    std::vector<AxisDescription> axes;
    axes.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        axes.push_back(
            read_axis_description(header, sfx, i, std::move(ctypes[i]), std::move(cunits[i])));
    }
    // A plate solution without image axes describes no image: it has no shape to walk.
    if (auto shape = header.axes(); shape && naxis > 0) extras.pixel_shape = std::move(*shape);

    VEXLO_ASSIGN_OR_RETURN(Wcs wcs,
                           from_parts(std::move(axes), std::move(linear), std::move(extras)));
    return Found(std::move(wcs));
}

}  // namespace vexlo
