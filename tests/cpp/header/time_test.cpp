#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "header/header.hpp"
#include "header/time.hpp"
#include "header_fixture.hpp"

namespace vexlo {
namespace {

using testing::header_of;
using testing::kv;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(LeapSeconds, TableAndLookup) {
    const auto table = load_leap_seconds();
    ASSERT_EQ(table.size(), 28u);
    EXPECT_EQ(table.front().mjd, 41317.0);
    EXPECT_EQ(table.front().tai_utc, 10);
    EXPECT_EQ(table.back().mjd, 57754.0);
    EXPECT_EQ(table.back().tai_utc, 37);
    for (std::size_t i = 1; i < table.size(); ++i) {
        EXPECT_LT(table[i - 1].mjd, table[i].mjd);
        EXPECT_EQ(table[i].tai_utc, table[i - 1].tai_utc + 1);
    }
    const std::pair<double, int> lookups[] = {
        {41316.5, 0},  {41317.0, 10}, {46246.9, 22}, {46247.0, 23}, {57753.5, 36},
        {57754.0, 37}, {99999.0, 37}, {-1e300, 0},   {kNaN, 0},
    };
    for (auto [mjd, expected] : lookups)
        EXPECT_EQ(tai_minus_utc(mjd), expected) << mjd;
}

TEST(LeapSeconds, DataLines) {
    auto row = parse_leap_second_line("    41317.0    1  1 1972       10   extra");
    ASSERT_TRUE(row);
    EXPECT_EQ(row->mjd, 41317.0);
    EXPECT_EQ(row->tai_utc, 10);
    EXPECT_EQ(parse_leap_second_line("\t5.5e1 a b c -3")->tai_utc, -3);
    for (const char* bad : {"41317.0 1 1 1972", "x41317.0 1 1 1972 10", "41317.0 1 1 1972 +",
                            "41317.0 1 1 1972 10s", "41317.0 1 1 1972 2147483648", ""}) {
        EXPECT_FALSE(parse_leap_second_line(bad)) << bad;
    }
}

TEST(Dates, IsoDateTimes) {
    struct Case {
        const char* text;
        std::optional<CalendarDateTime> expected;
    };
    const Case cases[] = {
        {"2000-02-29", CalendarDateTime{2000, 2, 29}},
        {"2020-02-29", CalendarDateTime{2020, 2, 29}},
        {"1900-02-29", std::nullopt},
        {"2019-02-29", std::nullopt},
        {"2021-04-31", std::nullopt},
        {"2020-13-01", std::nullopt},
        {"2020-00-01", std::nullopt},
        {"2020-01-00", std::nullopt},
        {"2020-1-5", CalendarDateTime{2020, 1, 5}},
        {"  2020-01-01  ", CalendarDateTime{2020, 1, 1}},
        {"-0044-03-15", CalendarDateTime{-44, 3, 15}},
        {"+2020-01-02", CalendarDateTime{2020, 1, 2}},
        {"2020-01-01T12:00:00Z", CalendarDateTime{2020, 1, 1, 12}},
        {"2020-01-01T12:00:00ZZ", CalendarDateTime{2020, 1, 1, 12}},
        {"2020-01-01T23:59:60", CalendarDateTime{2020, 1, 1, 23, 59, 60}},
        {"2020-01-01T12:00:05.25", CalendarDateTime{2020, 1, 1, 12, 0, 5, 0.25}},
        {"2020-01-01T12:00:05.", CalendarDateTime{2020, 1, 1, 12, 0, 5, 0.0}},
        {"2020-01-01T24:00:00", std::nullopt},
        {"2020-01-01T12:60:00", std::nullopt},
        {"2020-01-01T12:00:61", std::nullopt},
        {"2020-01-01T12:00", std::nullopt},
        {"2020-01-01T12:00:.5", std::nullopt},
        {"2020-01-01T12:00:05.x", std::nullopt},
        {"2020-01-01 12:00:00", std::nullopt},
        {"2020-01-01t12:00:00", std::nullopt},
        {"31/12/99", std::nullopt},
        {"2020-01-01T12:00:00+01:00", std::nullopt},
        {"2020-01-01-05", std::nullopt},
        {"2020--01", std::nullopt},
        {"2147483648-01-01", std::nullopt},
        {"", std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(parse_iso_datetime(c.text), c.expected) << c.text;
}

TEST(Dates, MjdAndTimeOfDay) {
    EXPECT_EQ(mjd_from_datetime({2000, 1, 1}), 51544.0);
    EXPECT_EQ(mjd_from_datetime({2000, 1, 1, 12}), 51544.5);
    EXPECT_EQ(mjd_from_datetime({1858, 11, 17}), 0.0);
    // 2400 Gregorian years are 876582 days: the proleptic calendar runs back unchanged.
    EXPECT_EQ(mjd_from_datetime({-44, 3, 15}), mjd_from_datetime({2356, 3, 15}) - 876582);
    EXPECT_EQ(mjd_from_datetime({-44, 3, 15}), -694938.0);
    EXPECT_EQ(parse_time_of_day(" 12:30:45.25 "), 45045.25);
    EXPECT_EQ(parse_time_of_day("00:00:60"), 60.0);
    EXPECT_FALSE(parse_time_of_day("12:30"));
    EXPECT_FALSE(parse_time_of_day("12:30:45Z"));
    EXPECT_FALSE(parse_time_of_day("24:00:00"));
}

TEST(TimeScales, RecognisedCodes) {
    for (const char* yes : {"tt", " TAI ", "UTC(NIST)", "UT(UTC)", "local", "TCB", "gps"})
        EXPECT_TRUE(is_time_scale(yes)) << yes;
    for (const char* no : {"UT", "ut1x", "", "(TT)", "TT TAI"})
        EXPECT_FALSE(is_time_scale(no)) << no;
}

TEST(TimeScales, ConversionToUtc) {
    const double x = 58000.25;
    EXPECT_EQ(to_utc_mjd("UTC", x), x);
    EXPECT_EQ(to_utc_mjd("GMT", x), x);
    EXPECT_EQ(to_utc_mjd("UTC(NIST)", x), x);
    EXPECT_EQ(to_utc_mjd(" TAI (x)", 57754.0), 57754.0 - 37 / 86400.0);
    for (const char* none : {"utc", "UT", "UT1", "LOCAL", "", "XYZ"})
        EXPECT_FALSE(to_utc_mjd(none, x)) << none;
    EXPECT_EQ(to_utc_mjd("TAI", 57754.0), 57754.0 - 37 / 86400.0);
    EXPECT_EQ(to_utc_mjd("IAT", 57754.0), 57754.0 - 37 / 86400.0);
    EXPECT_EQ(to_utc_mjd("GPS", 57754.0), 57754.0 + 19 / 86400.0 - 37 / 86400.0);
    EXPECT_EQ(to_utc_mjd("TT", 51544.5), 51544.5 - 32.184 / 86400 - 32 / 86400.0);
    EXPECT_EQ(to_utc_mjd("TDT", 51544.5), to_utc_mjd("ET", 51544.5));
    EXPECT_EQ(to_utc_mjd("TAI", 40000.0), 40000.0);
    // The table is read at the TAI instant: once TAI reaches the leap date the new value
    // applies, although UTC is still before it.
    EXPECT_EQ(to_utc_mjd("TAI", 57754.0 - 1 / 86400.0), 57754.0 - 1 / 86400.0 - 36 / 86400.0);
    EXPECT_EQ(to_utc_mjd("TAI", 57754.0 + 10 / 86400.0), 57754.0 + 10 / 86400.0 - 37 / 86400.0);
    // TDB differs from TT by under 2 ms; TCG and TCB drift from TT since 1977.
    const double tt = *to_utc_mjd("TT", 51544.5);
    EXPECT_NEAR(*to_utc_mjd("TDB", 51544.5), tt, 0.002 / 86400);
    EXPECT_NE(*to_utc_mjd("TDB", 51544.5), tt);
    EXPECT_NEAR((*to_utc_mjd("TCG", 51544.5) - tt) * 86400,
                -(51544.5 - 43144.0003725) * 86400 * 6.969290134e-10, 1e-6);
    EXPECT_NEAR((*to_utc_mjd("TCB", 51544.5) - tt) * 86400,
                -(51544.5 - 43144.0003725) * 86400 * 1.550519768e-8 - 6.55e-5, 2e-3);
}

TEST(TimeKeywords, DefaultsAndTimeSystem) {
    const Header empty = header_of({kv("SIMPLE", "T")});
    EXPECT_EQ(empty.time_sys(), "UTC");
    EXPECT_EQ(empty.time_unit(), "s");
    EXPECT_FALSE(empty.mjd_ref());
    EXPECT_FALSE(empty.mjd_obs_utc());
    EXPECT_FALSE(empty.mjd_begin_utc());
    EXPECT_FALSE(empty.mjd_end_utc());
    EXPECT_FALSE(empty.mjd_avg_utc());
    EXPECT_EQ(header_of({kv("TIMESYS", "'tt '")}).time_sys(), "TT");
    EXPECT_EQ(header_of({kv("TIMESYS", "42")}).time_sys(), "UTC");
    EXPECT_EQ(header_of({kv("TIMEUNIT", "' D '")}).time_unit(), "D");
    const Header tt_tai = header_of({kv("TIMESYS", "' tt(TAI)'"), kv("MJD-OBS", "51544.5")});
    EXPECT_EQ(tt_tai.time_sys(), "TT(TAI)");
    EXPECT_EQ(tt_tai.mjd_obs_utc(), to_utc_mjd("TT", 51544.5));
}

TEST(TimeKeywords, ReferenceEpoch) {
    struct Case {
        std::vector<std::string> cards;
        std::optional<double> mjd;
    };
    const Case cases[] = {
        {{kv("MJDREFI", "50000"), kv("MJDREFF", "0.5"), kv("MJDREF", "1.0")}, 50000.5},
        {{kv("MJDREFI", "50000"), kv("MJDREF", "1.0")}, 1.0},
        {{kv("MJDREFI", "50000")}, 50000.0},
        {{kv("MJDREFF", "0.25")}, 0.25},
        {{kv("JDREFI", "2450000")}, std::nullopt},
        {{kv("JDREFI", "2450000"), kv("JDREFF", "0.5")}, 50000.0},
        {{kv("JDREF", "2400000.5")}, 0.0},
        {{kv("JDREFI", "2450000"), kv("JDREF", "2400001.5")}, 1.0},
        {{kv("DATEREF", "'2000-01-01T12:00:00'")}, 51544.5},
        {{kv("DATEREF", "'01/01/00'")}, std::nullopt},
        {{kv("MJDREF", "'50000'")}, std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(header_of(c.cards).mjd_ref(), c.mjd) << c.cards.front();
    }
}

TEST(TimeKeywords, SecondsFromCommentUnitOrTimeunit) {
    struct Case {
        std::vector<std::string> cards;
        std::optional<double> seconds;
    };
    const Case cases[] = {
        {{kv("TELAPSE", "5")}, 5.0},
        {{kv("TELAPSE", "1"), kv("TIMEUNIT", "'d'")}, 86400.0},
        {{kv("TELAPSE", "1 / elapsed [min]"), kv("TIMEUNIT", "'d'")}, 60.0},
        {{kv("TELAPSE", "2 / [ks]")}, 2000.0},
        {{kv("TELAPSE", "2 / [Ms]")}, 2e6},
        {{kv("TELAPSE", "2 / [ms]")}, 0.002},
        {{kv("TELAPSE", "3 / [hours]")}, 10800.0},
        {{kv("TELAPSE", "1 / [furlong]"), kv("TIMEUNIT", "'d'")}, std::nullopt},
        {{kv("TELAPSE", "1 / [m]")}, std::nullopt},
        {{kv("TELAPSE", "1"), kv("TIMEUNIT", "'parsec'")}, std::nullopt},
        {{kv("TELAPSE", "'5'")}, std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(header_of(c.cards).time_in_seconds("TELAPSE"), c.seconds) << c.cards.front();
    }
}

TEST(TimeKeywords, ObservationTimes) {
    // LOCAL has no conversion: the first source decides even though it yields nothing.
    EXPECT_FALSE(header_of({kv("TIMESYS", "'LOCAL'"), kv("MJD-OBS", "58000.0"),
                            kv("DATE-OBS", "'2020-01-01'")})
                     .mjd_obs_utc());
    EXPECT_EQ(header_of({kv("DATE-OBS", "'2020-01-01T12:00:00'")}).mjd_obs_utc(), 58849.5);
    EXPECT_EQ(header_of({kv("DATE_OBS", "'2020-01-01'")}).mjd_obs_utc(), 58849.0);
    auto jepoch = header_of({kv("JEPOCH", "2000.0")}).mjd_obs_utc();
    ASSERT_TRUE(jepoch);
    EXPECT_NEAR(*jepoch, 51544.49925713, 5e-9);
    EXPECT_EQ(*jepoch, to_utc_mjd("TDB", 51544.5));
    // An unparsable DATE-OBS counts as absent, so the epochs are tried.
    EXPECT_EQ(header_of({kv("DATE-OBS", "'31/12/99'"), kv("BEPOCH", "1900.0")}).mjd_obs_utc(),
              to_utc_mjd("ET", 15019.81352));

    const Header tstart =
        header_of({kv("TSTART", "86400"), kv("MJDREF", "50000"), kv("TIMESYS", "'TAI'")});
    EXPECT_EQ(tstart.mjd_begin_utc(), 50001.0 - 29 / 86400.0);
    const Header offs =
        header_of({kv("TSTOP", "43200"), kv("TIMEOFFS", "1 / [d]"), kv("MJDREF", "50000")});
    EXPECT_EQ(offs.mjd_end_utc(), 0.5 + (1.0 + 50000.0));
    EXPECT_FALSE(offs.mjd_begin_utc());

    const Header utstart =
        header_of({kv("UTSTART", "'12:00:00'"), kv("DATE-OBS", "'2020-01-01T05:00:00'")});
    EXPECT_EQ(utstart.mjd_begin_utc(), 58849.5);
    const Header local = header_of({kv("UTSTART", "'12:00:00'"), kv("TIMESYS", "'LOCAL'"),
                                    kv("MJD-BEG", "58000.0"), kv("DATE-OBS", "'2020-01-01'")});
    EXPECT_EQ(local.mjd_begin_utc(), 58849.5);
    EXPECT_EQ(header_of({kv("UTSTOP", "'2020-01-02'")}).mjd_end_utc(), 58850.0);
    EXPECT_FALSE(header_of({kv("UTSTART", "'12:00:00'"), kv("DATE-OBS", "'bad'")}).mjd_begin_utc());

    const Header span = header_of({kv("MJD-BEG", "58849.0"), kv("MJD-END", "58850.0")});
    EXPECT_EQ(span.mjd_avg_utc(), 58849.5);
    EXPECT_FALSE(header_of({kv("MJD-BEG", "58849.0")}).mjd_avg_utc());
    EXPECT_EQ(header_of({kv("DATE-AVG", "'2020-01-01'"), kv("TIMESYS", "'TAI'"),
                         kv("MJD-BEG", "1.0"), kv("MJD-END", "2.0")})
                  .mjd_avg_utc(),
              58849.0 - 37 / 86400.0);
    // Halved before adding when the sum would overflow.
    const Header huge = header_of({kv("MJD-BEG", "1.5E308"), kv("MJD-END", "1.7E308")});
    EXPECT_EQ(huge.mjd_avg_utc(), 1.5e308 * 0.5 + 1.7e308 * 0.5);
}

}  // namespace
}  // namespace vexlo
