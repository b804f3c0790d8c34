// The time keywords of a header: reference epochs, durations in seconds, and observation
// times as UTC modified Julian dates, each read with a fixed order of precedence.
#include <cmath>
#include <limits>

#include "header/header.hpp"
#include "header/time.hpp"
#include "units/unit.hpp"
#include "util/text.hpp"

namespace vexlo {

namespace {

constexpr double kJdToMjd = 2400000.5;

struct ObservationEdge {
    const char* mjd;
    const char* date;
    const char* elapsed;
    const char* time_of_day;
};

constexpr ObservationEdge kBegin = {"MJD-BEG", "DATE-BEG", "TSTART", "UTSTART"};
constexpr ObservationEdge kEnd = {"MJD-END", "DATE-END", "TSTOP", "UTSTOP"};

std::optional<double> date_keyword_mjd(const Header& h, std::string_view key) {
    auto text = h.get_str(key);
    if (!text) return std::nullopt;
    auto dt = parse_iso_datetime(*text);
    if (!dt) return std::nullopt;
    return mjd_from_datetime(*dt);
}

// An MJD keyword, else an ISO date keyword.
std::optional<double> mjd_or_date(const Header& h, std::string_view mjd_key,
                                  std::string_view date_key) {
    if (auto v = h.get_f64(mjd_key)) return v;
    return date_keyword_mjd(h, date_key);
}

std::optional<double> edge_utc(const Header& h, const ObservationEdge& edge) {
    const std::string scale = h.time_sys();
    std::optional<double> v = mjd_or_date(h, edge.mjd, edge.date);
    if (!v) {
        auto t = h.time_in_seconds(edge.elapsed);
        auto ref = t ? h.mjd_ref() : std::nullopt;
        if (t && ref) {
            const double offset = h.time_in_seconds("TIMEOFFS").value_or(0.0);
            v = *t / 86400.0 + (offset / 86400.0 + *ref);
        }
    }
    if (v) {
        if (auto utc = to_utc_mjd(scale, *v)) return utc;
    }
    // A time of day with the date of DATE-OBS, taken as UTC.
    return h.date_obs_with_time(edge.time_of_day);
}

}  // namespace

std::string Header::time_sys() const {
    auto v = get_str("TIMESYS");
    if (!v) return "UTC";
    return ascii_upper(trim_ws(*v));
}

std::string Header::time_unit() const {
    auto v = get_str("TIMEUNIT");
    if (!v) return "s";
    return std::string(trim_ws(*v));
}

std::optional<double> Header::time_in_seconds(std::string_view key) const {
    auto v = get_f64(key);
    if (!v) return std::nullopt;
    // A unit in the card's comment wins over TIMEUNIT.
    const std::string unit = unit_for(key).value_or(time_unit());
    auto factor = canonical_factor_lenient(unit, Dimension{}.with(BaseUnit::Second, 1));
    if (!factor) return std::nullopt;
    return *v * *factor;
}

std::optional<double> Header::mjd_ref() const {
    auto mjdrefi = get_i64("MJDREFI");
    auto mjdreff = get_f64("MJDREFF");
    if (mjdrefi && mjdreff) return *mjdreff + static_cast<double>(*mjdrefi);
    if (auto v = get_f64("MJDREF")) return v;
    if (mjdrefi) return static_cast<double>(*mjdrefi);
    if (mjdreff) return mjdreff;
    auto jdrefi = get_i64("JDREFI");
    auto jdreff = get_f64("JDREFF");
    if (jdrefi && jdreff) return (*jdreff + static_cast<double>(*jdrefi)) - kJdToMjd;
    if (auto v = get_f64("JDREF")) return *v - kJdToMjd;
    return date_keyword_mjd(*this, "DATEREF");
}

std::optional<double> Header::date_obs_with_time(std::string_view key) const {
    auto text = get_str(key);
    if (!text) return std::nullopt;
    if (auto dt = parse_iso_datetime(*text)) return mjd_from_datetime(*dt);
    auto seconds = parse_time_of_day(*text);
    if (!seconds) return std::nullopt;
    auto date_obs = get_str("DATE-OBS");
    if (!date_obs) return std::nullopt;
    // Only the date of DATE-OBS counts; its own time of day is ignored.
    auto day = parse_iso_datetime(std::string_view(*date_obs).substr(0, date_obs->find('T')));
    if (!day) return std::nullopt;
    return *seconds / 86400.0 + mjd_from_datetime(*day);
}

std::optional<double> Header::mjd_obs_utc() const {
    const std::string scale = time_sys();
    if (auto v = mjd_or_date(*this, "MJD-OBS", "DATE-OBS")) return to_utc_mjd(scale, *v);
    if (auto j = get_f64("JEPOCH")) return to_utc_mjd("TDB", (*j - 2000.0) * 365.25 + 51544.5);
    if (auto b = get_f64("BEPOCH")) {
        return to_utc_mjd("ET", (*b - 1900.0) * 365.242198781 + 15019.81352);
    }
    return std::nullopt;
}

std::optional<double> Header::mjd_begin_utc() const {
    return edge_utc(*this, kBegin);
}

std::optional<double> Header::mjd_end_utc() const {
    return edge_utc(*this, kEnd);
}

std::optional<double> Header::mjd_avg_utc() const {
    if (auto v = mjd_or_date(*this, "MJD-AVG", "DATE-AVG")) return to_utc_mjd(time_sys(), *v);
    auto b = mjd_begin_utc();
    if (!b) return std::nullopt;
    auto e = mjd_end_utc();
    if (!e) return std::nullopt;
    // Halve first when the sum could overflow.
    constexpr double kHalfMax = std::numeric_limits<double>::max() / 2;
    if (std::fabs(*b) <= kHalfMax && std::fabs(*e) <= kHalfMax) return (*b + *e) * 0.5;
    return *b * 0.5 + *e * 0.5;
}

}  // namespace vexlo
