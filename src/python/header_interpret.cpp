// vexlo.Header members that interpret a header: its time keywords, observatory position,
// card units and validation. The core does the interpreting; these convert and delegate.
#include <array>
#include <optional>
#include <string>

#include "header/time.hpp"
#include "header/validate.hpp"
#include "python/header_shared.hpp"
#include "util/text.hpp"

namespace vexlo::py {

namespace {

using MethodDef = py::MethodDef<HeaderObject>;

// Runs `read` on the core header under its lock and returns its plain result; Python objects
// are built by the caller after the lock is released.
template <class F>
auto read_locked(HeaderObject& self, F&& read) {
    SharedUse use(self);
    auto lock = lock_header(*self.handle.record);
    return read(static_cast<const Header&>(self.handle.record->header));
}

nb::object optional_float(std::optional<double> v) {
    return v ? nb::object(nb::float_(*v)) : nb::none();
}

nb::object optional_triple(const std::optional<std::array<double, 3>>& v) {
    if (!v) return nb::none();
    return nb::make_tuple((*v)[0], (*v)[1], (*v)[2]);
}

// Zero-padded to `width` digits after any sign: -44 with width 4 is "-0044", as dates
// before year 1 are written.
std::string padded(std::int64_t v, std::size_t width) {
    const std::uint64_t magnitude = v < 0 ? 0 - static_cast<std::uint64_t>(v) : v;
    std::string digits = std::to_string(magnitude);
    if (digits.size() < width) digits.insert(0, width - digits.size(), '0');
    return (v < 0 ? "-" : "") + digits;
}

// DATE as "YYYY-MM-DD", with "Thh:mm:ss" unless the time is exactly midnight; the fraction
// of a second is never shown.
std::optional<std::string> creation_date(const Header& h) {
    auto text = h.get_str("DATE");
    if (!text) return std::nullopt;
    auto dt = parse_iso_datetime(*text);
    if (!dt) return std::nullopt;
    std::string out = padded(dt->year, 4) + "-" + padded(dt->month, 2) + "-" + padded(dt->day, 2);
    if (dt->hour != 0 || dt->minute != 0 || dt->second != 0 || dt->fraction != 0.0) {
        out +=
            "T" + padded(dt->hour, 2) + ":" + padded(dt->minute, 2) + ":" + padded(dt->second, 2);
    }
    return out;
}

// The time scale without its "(...)" realisation suffix.
std::string time_scale_name(const Header& h) {
    const std::string sys = h.time_sys();
    return std::string(trim_ws(std::string_view(sys).substr(0, sys.find('('))));
}

std::optional<double> exposure_seconds(const Header& h) {
    if (auto t = h.time_in_seconds("XPOSURE")) return t;
    return h.get_f64("EXPTIME");  // a plain number of seconds, no unit handling
}

constexpr auto kKey = required<std::string>("key");
constexpr auto kUnitForSig = signature("Header.unit_for()", kKey);
nb::object header_unit_for(HeaderObject& self, const Args& p) {
    const std::string key = p.get(kKey);
    return optional_text(read_locked(self, [&](const Header& h) { return h.unit_for(key); }));
}
constexpr auto kUnitForDoc = method_doc<kUnitForSig>(
    "Unit written in square brackets in the comment of card `key`\n"
    "(as in ``/ exposure [s]``), or None.");
constexpr MethodDef kUnitFor{kUnitForDoc, header_unit_for};

constexpr auto kValueInSiSig = signature("Header.value_in_si()", kKey);
nb::object header_value_in_si(HeaderObject& self, const Args& p) {
    const std::string key = ascii_upper(p.get(kKey));
    return optional_float(read_locked(self, [&](const Header& h) { return h.value_in_si(key); }));
}
constexpr auto kValueInSiDoc = method_doc<kValueInSiSig>(
    "Numeric value of card `key` converted from the unit in its comment\n"
    "to the canonical unit of that dimension (metres, kilograms,\n"
    "seconds, degrees, ...), or None.");
constexpr MethodDef kValueInSi{kValueInSiDoc, header_value_in_si};

constexpr auto kFix = optional<bool>("fix", false);
constexpr auto kWarn = optional<bool>("warn", true);
constexpr auto kValidateSig = signature("Header.validate()", kFix, kWarn);
nb::object header_validate(HeaderObject& self, const Args& p) {
    const bool fix = p.get(kFix);
    const bool warn = p.get(kWarn);
    ValidationReport report = read_locked(self, [&](const Header& h) { return h.validate(fix); });
    if (warn) {
        nb::object warn_fn = nb::module_::import_("warnings").attr("warn");
        for (const ValidationIssue& issue : report.issues) {
            const char* severity = issue.severity == Severity::Error ? "error" : "warning";
            warn_fn(to_py_str("[" + std::string(severity) + "] " + issue.keyword + ": " +
                              issue.message));
        }
    }
    return make_header_object(PyHeader::from_header(std::move(report.header), false));
}
constexpr auto kValidateDoc = method_doc<kValidateSig>(
    "Check this header against the FITS rules. Each finding is\n"
    "reported with warnings.warn as \"[severity] KEYWORD: message\" when\n"
    "`warn` is true. Returns a new header: a copy, with the fixes of the\n"
    "findings applied when `fix` is true. This header is not changed.");
constexpr MethodDef kValidate{kValidateDoc, header_validate};

template <class Read, class ToPy>
void add_property(HeaderClass& cls, const char* name, const char* doc, Read read, ToPy to_py) {
    cls.def_prop_ro(
        name, [read, to_py](HeaderObject& self) { return to_py(read_locked(self, read)); }, doc);
}

nb::object py_str(const std::string& s) {
    return to_py_str(s);
}

}  // namespace

void add_interpret_members(HeaderClass& cls) {
    add_property(cls, "date",
                 "Creation date of this HDU (``DATE``), always UTC, as an ISO-8601 string.\n"
                 "None when DATE is absent or is not a date.",
                 creation_date, optional_text);
    add_property(cls, "time_sys",
                 "Active time scale (``TIMESYS``), trimmed and upper-cased.\n"
                 "\"UTC\" when TIMESYS is absent.",
                 time_scale_name, py_str);
    add_property(
        cls, "mjd_ref",
        "Reference epoch as MJD. Reads ``MJDREFI``+``MJDREFF`` -> ``MJDREF`` ->\n"
        "``JDREFI``+``JDREFF`` -> ``JDREF`` -> ``DATEREF``, in the header's time scale.",
        [](const Header& h) { return h.mjd_ref(); }, optional_float);
    add_property(
        cls, "time_unit",
        "Time unit for numeric time values (``TIMEUNIT``), trimmed, in its own letter case\n"
        "('Ms' is megaseconds, 'ms' milliseconds). \"s\" when TIMEUNIT is absent.",
        [](const Header& h) { return h.time_unit(); }, py_str);
    add_property(cls, "time_exposure",
                 "Effective exposure time in seconds, excluding dead time.\n"
                 "``XPOSURE`` in its comment unit or TIMEUNIT, else the number ``EXPTIME``.",
                 exposure_seconds, optional_float);
    add_property(
        cls, "time_elapsed",
        "Wall-clock elapsed time in seconds (``TELAPSE``), including dead time.",
        [](const Header& h) { return h.time_in_seconds("TELAPSE"); }, optional_float);
    add_property(
        cls, "mjd_begin_utc", "Start of the observation as UTC MJD.",
        [](const Header& h) { return h.mjd_begin_utc(); }, optional_float);
    add_property(
        cls, "mjd_end_utc", "End of the observation as UTC MJD.",
        [](const Header& h) { return h.mjd_end_utc(); }, optional_float);
    add_property(
        cls, "mjd_avg_utc", "Average/mid time of the observation as UTC MJD.",
        [](const Header& h) { return h.mjd_avg_utc(); }, optional_float);
    add_property(
        cls, "mjd_obs_utc", "Observation start converted to UTC MJD, regardless of ``TIMESYS``.",
        [](const Header& h) { return h.mjd_obs_utc(); }, optional_float);
    add_property(
        cls, "obs_ecef", "Observatory location as ITRS/ECEF Cartesian ``(x, y, z)`` in meters.",
        [](const Header& h) { return h.obs_ecef(); }, optional_triple);
    add_property(
        cls, "obs_geodetic",
        "Observatory geodetic coordinates ``(lat_deg, lon_deg, alt_m)`` on the\n"
        "WGS84 ellipsoid.",
        [](const Header& h) { return h.obs_geodetic(); }, optional_triple);
    add_property(
        cls, "obs_orbit", "Orbit ephemeris file (``OBSORBIT``): URI, URL, or name.",
        [](const Header& h) { return h.get_str("OBSORBIT"); }, optional_text);
    add_method<HeaderObject, kUnitFor>(cls);
    add_method<HeaderObject, kValueInSi>(cls);
    add_method<HeaderObject, kValidate>(cls);
}

}  // namespace vexlo::py
