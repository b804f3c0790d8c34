// Calendar dates, times of day, time-scale codes and their conversion to UTC through the
// compiled-in leap-second table.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace vexlo {

// A proleptic Gregorian date and time without a zone.
struct CalendarDateTime {
    std::int32_t year = 0;  // negative for dates written with a leading '-'
    std::uint8_t month = 1;
    std::uint8_t day = 1;
    std::uint8_t hour = 0;
    std::uint8_t minute = 0;
    std::uint8_t second = 0;  // up to 60 for a leap second
    double fraction = 0.0;    // of a second

    friend bool operator==(const CalendarDateTime&, const CalendarDateTime&) = default;
};

// One row of the leap-second table: TAI-UTC in whole seconds from `mjd` (UTC) on.
struct LeapSecond {
    double mjd = 0.0;
    std::int32_t tai_utc = 0;
};

// TAI-UTC at a UTC MJD: 0 before 1972 and for NaN, 37 from 2017 on.
std::int32_t tai_minus_utc(double mjd);
// The rows of the compiled-in table, sorted by MJD (built once by tai_minus_utc).
std::vector<LeapSecond> load_leap_seconds();
// One data line "MJD day month year TAI-UTC [...]"; none for anything else.
std::optional<LeapSecond> parse_leap_second_line(std::string_view line);

// The length of a month (28 to 31) in a signed proleptic Gregorian year; 0 for no month.
unsigned days_in_month(std::int64_t year, unsigned month);

// "YYYY-MM-DD" optionally followed by "Thh:mm:ss[.fff]" and any number of 'Z's.
std::optional<CalendarDateTime> parse_iso_datetime(std::string_view text);
// The MJD of the instant, in whatever scale it was written.
double mjd_from_datetime(const CalendarDateTime& dt);
// Seconds since midnight of "hh:mm:ss[.fff]".
std::optional<double> parse_time_of_day(std::string_view text);

// Whether the text names a known time scale ("TT", "utc", "UTC(NIST)", "UT(UTC)").
bool is_time_scale(std::string_view text);
// The UTC MJD of an MJD in an upper-case scale code (a "(...)" suffix is ignored); none for
// UT, UT1, LOCAL and anything unknown.
std::optional<double> to_utc_mjd(std::string_view scale, double mjd);

}  // namespace vexlo
