// The leap-second table, compiled in as text in the layout the IERS publishes and parsed
// once per process: no file is read and nothing is fetched at run time.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>
#include <string_view>

#include "header/time.hpp"
#include "util/number.hpp"

namespace vexlo {

namespace {

constexpr std::string_view kLeapSecondText =
    R"(#  Leap seconds: TAI-UTC in whole seconds from each date (UTC) on.
#  The value after the last row holds for every later date.
#
#  MJD        Date        TAI-UTC (s)
#          day month year
#  ---    --------------  -----------
    41317.0    1  1 1972       10
    41499.0    1  7 1972       11
    41683.0    1  1 1973       12
    42048.0    1  1 1974       13
    42413.0    1  1 1975       14
    42778.0    1  1 1976       15
    43144.0    1  1 1977       16
    43509.0    1  1 1978       17
    43874.0    1  1 1979       18
    44239.0    1  1 1980       19
    44786.0    1  7 1981       20
    45151.0    1  7 1982       21
    45516.0    1  7 1983       22
    46247.0    1  7 1985       23
    47161.0    1  1 1988       24
    47892.0    1  1 1990       25
    48257.0    1  1 1991       26
    48804.0    1  7 1992       27
    49169.0    1  7 1993       28
    49534.0    1  7 1994       29
    50083.0    1  1 1996       30
    50630.0    1  7 1997       31
    51179.0    1  1 1999       32
    53736.0    1  1 2006       33
    54832.0    1  1 2009       34
    56109.0    1  7 2012       35
    57204.0    1  7 2015       36
    57754.0    1  1 2017       37
)";

bool is_space(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

std::string_view trim_spaces(std::string_view s) {
    while (!s.empty() && is_space(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && is_space(s.back()))
        s.remove_suffix(1);
    return s;
}

// A key whose integer order is the IEEE total order of doubles.
std::int64_t total_order_key(double v) {
    auto bits = std::bit_cast<std::int64_t>(v);
    return bits ^ static_cast<std::int64_t>(static_cast<std::uint64_t>(bits >> 63) >> 1);
}

const std::vector<LeapSecond>& leap_table() {
    // A function-local static: concurrent first callers wait for the one that builds it.
    static const std::vector<LeapSecond> table = load_leap_seconds();
    return table;
}

}  // namespace

std::optional<LeapSecond> parse_leap_second_line(std::string_view line) {
    std::string_view fields[5];
    std::size_t count = 0;
    std::string_view rest = trim_spaces(line);
    while (!rest.empty() && count < 5) {
        std::size_t end = 0;
        while (end < rest.size() && !is_space(rest[end]))
            ++end;
        fields[count++] = rest.substr(0, end);
        rest = trim_spaces(rest.substr(end));
    }
    if (count < 5) return std::nullopt;
    auto mjd = parse_decimal(fields[0]);
    auto tai_utc = parse_int64(fields[4]);
    if (!mjd || !tai_utc || *tai_utc < std::numeric_limits<std::int32_t>::min() ||
        *tai_utc > std::numeric_limits<std::int32_t>::max()) {
        return std::nullopt;
    }
    return LeapSecond{*mjd, static_cast<std::int32_t>(*tai_utc)};
}

std::vector<LeapSecond> load_leap_seconds() {
    std::vector<LeapSecond> rows;
    std::string_view text = kLeapSecondText;
    while (!text.empty()) {
        const std::size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
        if (line.ends_with('\r')) line.remove_suffix(1);
        const std::string_view body = trim_spaces(line);
        if (body.empty() || body.front() == '#') continue;
        if (auto row = parse_leap_second_line(line)) rows.push_back(*row);
    }
    std::stable_sort(rows.begin(), rows.end(), [](const LeapSecond& a, const LeapSecond& b) {
        return total_order_key(a.mjd) < total_order_key(b.mjd);
    });
    return rows;
}

std::int32_t tai_minus_utc(double mjd) {
    const auto& table = leap_table();
    // NaN compares false with every row, so it lands before the first: 0.
    auto it = std::partition_point(table.begin(), table.end(),
                                   [mjd](const LeapSecond& row) { return row.mjd <= mjd; });
    return it == table.begin() ? 0 : std::prev(it)->tai_utc;
}

}  // namespace vexlo
