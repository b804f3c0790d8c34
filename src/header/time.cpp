// ISO-8601 dates, times of day and time-scale conversions to UTC. Malformed input gives
// none; nothing here reports an error.
#include "header/time.hpp"

#include <cmath>
#include <limits>
#include <string>

#include "util/number.hpp"
#include "util/text.hpp"

namespace vexlo {

namespace {

constexpr double kSecondsPerDay = 86400.0;
constexpr double kTtMinusTai = 32.184 / kSecondsPerDay;
constexpr double kTaiMinusGps = 19.0 / kSecondsPerDay;
// 1977-01-01 00:00:32.184 TAI, the epoch where TCG, TCB and TT agree, computed as the
// difference of two Julian dates (not the nearest double to 43144.0003725).
constexpr double kT0 = 2443144.5003725 - 2400000.5;
constexpr double kLg = 6.969290134e-10;
constexpr double kLb = 1.550519768e-8;
constexpr double kTdb0 = -6.55e-5 / kSecondsPerDay;
constexpr double kDegToRad = 0.017453292519943295;

// Decimal digits with an optional leading '+', within [0, max].
std::optional<std::uint64_t> plain_number(std::string_view s, std::uint64_t max) {
    auto v = parse_uint64(s);
    if (!v || *v > max) return std::nullopt;
    return v;
}

std::optional<std::uint8_t> small_number(std::string_view s) {
    auto v = plain_number(s, 255);
    if (!v) return std::nullopt;
    return static_cast<std::uint8_t>(*v);
}

// Splits at `sep` into at most three pieces, the last holding the rest; none when fewer.
bool split3(std::string_view s, char sep, std::string_view out[3]) {
    const std::size_t a = s.find(sep);
    if (a == std::string_view::npos) return false;
    const std::size_t b = s.find(sep, a + 1);
    if (b == std::string_view::npos) return false;
    out[0] = s.substr(0, a);
    out[1] = s.substr(a + 1, b - a - 1);
    out[2] = s.substr(b + 1);
    return true;
}

// hh:mm:ss[.fff] into the time fields of `dt`.
bool parse_clock(std::string_view text, CalendarDateTime& dt) {
    std::string_view piece[3];
    if (!split3(text, ':', piece)) return false;
    auto hour = small_number(piece[0]);
    auto minute = small_number(piece[1]);
    if (!hour || !minute) return false;
    std::string_view seconds = piece[2];
    std::string_view frac;
    if (const std::size_t dot = seconds.find('.'); dot != std::string_view::npos) {
        frac = seconds.substr(dot + 1);
        seconds = seconds.substr(0, dot);
    }
    auto second = small_number(seconds);
    if (!second) return false;
    double fraction = 0.0;
    if (!frac.empty()) {
        // Digits only: an exponent or sign here would move the time by any amount.
        if (frac.find_first_not_of("0123456789") != std::string_view::npos) return false;
        auto f = parse_decimal("0." + std::string(frac));
        if (!f) return false;
        fraction = *f;
    }
    if (*hour > 23 || *minute > 59 || *second > 60) return false;
    dt.hour = *hour;
    dt.minute = *minute;
    dt.second = *second;
    dt.fraction = fraction;
    return true;
}

double tdb_minus_tt_days(double mjd) {
    const double g = (357.53 + 0.9856003 * (mjd - 51544.5)) * kDegToRad;
    return (0.001658 * std::sin(g) + 0.000014 * std::sin(2.0 * g)) / kSecondsPerDay;
}

std::string_view scale_code(std::string_view scale) {
    return trim_ws(scale.substr(0, scale.find('(')));
}

}  // namespace

unsigned days_in_month(std::int64_t year, unsigned month) {
    switch (month) {
        case 1:
        case 3:
        case 5:
        case 7:
        case 8:
        case 10:
        case 12:
            return 31;
        case 4:
        case 6:
        case 9:
        case 11:
            return 30;
        case 2:
            return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0 ? 29 : 28;
        default:
            return 0;
    }
}

std::optional<CalendarDateTime> parse_iso_datetime(std::string_view text) {
    text = trim_ws(text);
    std::string_view date = text;
    std::optional<std::string_view> clock;
    if (const std::size_t t = text.find('T'); t != std::string_view::npos) {
        date = text.substr(0, t);
        clock = text.substr(t + 1);
    }
    bool negative = false;
    if (date.starts_with('+')) {
        date.remove_prefix(1);
    } else if (date.starts_with('-')) {
        date.remove_prefix(1);
        negative = true;
    }
    std::string_view piece[3];
    if (!split3(date, '-', piece)) return std::nullopt;
    auto year = plain_number(piece[0], std::numeric_limits<std::int32_t>::max());
    auto month = small_number(piece[1]);
    auto day = small_number(piece[2]);
    if (!year || !month || !day) return std::nullopt;
    CalendarDateTime dt;
    dt.year = static_cast<std::int32_t>(*year) * (negative ? -1 : 1);
    if (*month < 1 || *month > 12 || *day < 1 || *day > days_in_month(dt.year, *month)) {
        return std::nullopt;
    }
    dt.month = *month;
    dt.day = *day;
    if (clock) {
        std::string_view c = *clock;
        while (c.ends_with('Z'))
            c.remove_suffix(1);
        if (!parse_clock(c, dt)) return std::nullopt;
    }
    return dt;
}

double mjd_from_datetime(const CalendarDateTime& dt) {
    const std::int64_t a = (14 - static_cast<std::int64_t>(dt.month)) / 12;
    const std::int64_t y = static_cast<std::int64_t>(dt.year) + 4800 - a;
    const std::int64_t m = dt.month + 12 * a - 3;
    const std::int64_t jdn =
        dt.day + (153 * m + 2) / 5 + 365 * y + y / 4 - y / 100 + y / 400 - 32045;
    const double f =
        (dt.second + dt.fraction) / 86400.0 +
        (static_cast<double>(dt.minute) / 1440.0 + static_cast<double>(dt.hour) / 24.0);
    return ((static_cast<double>(jdn) - 0.5) - 2400000.5) + f;
}

std::optional<double> parse_time_of_day(std::string_view text) {
    CalendarDateTime dt;
    if (!parse_clock(trim_ws(text), dt)) return std::nullopt;
    return (dt.second + (dt.minute * 60.0 + dt.hour * 3600.0)) + dt.fraction;
}

bool is_time_scale(std::string_view text) {
    const std::string code = ascii_upper(scale_code(trim_ws(text)));
    static constexpr std::string_view kScales[] = {"TT",  "ET",  "TAI", "TDT", "IAT", "UT1",  "UTC",
                                                   "GMT", "GPS", "TCG", "TCB", "TDB", "LOCAL"};
    for (std::string_view s : kScales) {
        if (code == s) return true;
    }
    return code == "UT" && text.find('(') != std::string_view::npos;
}

std::optional<double> to_utc_mjd(std::string_view scale, double x) {
    const std::string_view code = scale_code(scale);
    double tai = 0.0;
    if (code == "UTC" || code == "GMT") {
        return x;
    } else if (code == "TT" || code == "TDT" || code == "ET") {
        tai = x - kTtMinusTai;
    } else if (code == "TAI" || code == "IAT") {
        tai = x;
    } else if (code == "GPS") {
        tai = x + kTaiMinusGps;
    } else if (code == "TDB") {
        tai = (x - tdb_minus_tt_days(x)) - kTtMinusTai;
    } else if (code == "TCG") {
        tai = ((x - kT0) * (-kLg) + x) - kTtMinusTai;
    } else if (code == "TCB") {
        const double tdb = (x - kT0) * (-kLb) + x + kTdb0;
        tai = (tdb - tdb_minus_tt_days(tdb)) - kTtMinusTai;
    } else {
        return std::nullopt;
    }
    // Looked up at the TAI instant itself: no iteration.
    return tai - tai_minus_utc(tai) / kSecondsPerDay;
}

}  // namespace vexlo
