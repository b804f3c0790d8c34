// Descriptions with no valid answer are refused with a message naming the card; the fiducial
// offset follows its flag; MJD-OBS keeps the value it was read with.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "wcs/wcs.hpp"
#include "wcs_fixture.hpp"

namespace vexlo {
namespace {

using testing::header_of_cards;
using testing::kv;
using testing::wcs_error;
using testing::wcs_of;

std::vector<std::string> car(std::vector<std::string> extra) {
    std::vector<std::string> cards = {kv("NAXIS", "2"),         kv("CTYPE1", "'RA---CAR'"),
                                      kv("CTYPE2", "'DEC--CAR'"), kv("CRPIX1", "50"),
                                      kv("CRPIX2", "25"),         kv("CDELT1", "-0.5"),
                                      kv("CDELT2", "0.5"),        kv("CRVAL1", "10")};
    cards.insert(cards.end(), extra.begin(), extra.end());
    return cards;
}

TEST(CelestialRotation, RefusesANativePoleThatDoesNotExist) {
    // CAR puts the fiducial point on the native equator: LONPOLE 60 leaves room for reference
    // latitudes up to 30 only.
    const auto r = CelestialRotation::solve(10.0, 60.0, 60.0, std::nullopt, 0.0, 0.0);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, Error::Kind::Wcs);
    EXPECT_EQ(r.error().msg,
              "LONPOLE = 60 leaves no native pole for a reference latitude of 60: |latitude| <= "
              "30 is required");
    // At the bound itself rounding is forgiven; inside it the pole is solved.
    EXPECT_TRUE(CelestialRotation::solve(10.0, 30.0, 60.0, std::nullopt, 0.0, 0.0));
    EXPECT_TRUE(CelestialRotation::solve(10.0, 20.0, 60.0, std::nullopt, 0.0, 0.0));
}

TEST(CelestialBlock, ImpossibleLatitudesAreRefusedNamingTheCard) {
    struct Case {
        std::vector<std::string> cards;
        const char* message;
    };
    const std::vector<Case> cases = {
        {car({kv("CRVAL2", "100")}),
         "CRVAL2 = 100: a celestial latitude must lie in [-90, 90] degrees"},
        {car({kv("CRVAL2", "-90.5")}),
         "CRVAL2 = -90.5: a celestial latitude must lie in [-90, 90] degrees"},
        {car({kv("CRVAL2", "20"), kv("PV1_2", "200")}),
         "PV1_2 = 200: the native latitude of the fiducial point must lie in [-90, 90]"},
        {car({kv("CRVAL2", "60"), kv("LONPOLE", "60")}),
         "LONPOLE = 60 leaves no native pole for a reference latitude of 60: |latitude| <= "
         "30 is required"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(wcs_error(header_of_cards(c.cards)), c.message);
    EXPECT_EQ(wcs_error(header_of_cards(car({kv("CRVAL2", "90")}))), "<no error>");
}

TEST(CelestialBlock, TheFiducialOffsetFollowsItsFlag) {
    struct Case {
        const char* flag;  // PV1_0, or none
        bool applied;
    };
    for (const Case& c : {Case{nullptr, false}, Case{"0", false}, Case{"0.0", false},
                          Case{"1", true}, Case{"-1.5", true}}) {
        std::vector<std::string> cards =
            car({kv("CRVAL2", "20"), kv("PV1_1", "10"), kv("PV1_2", "15")});
        if (c.flag) cards.push_back(kv("PV1_0", c.flag));
        const Wcs w = wcs_of(header_of_cards(cards));
        ASSERT_TRUE(w.celestial);
        const Point2 offset = w.celestial->fiducial_offset;
        if (c.applied) {
            EXPECT_DOUBLE_EQ(offset.a, 10.0) << c.flag;
            EXPECT_DOUBLE_EQ(offset.b, 15.0) << c.flag;
        } else {
            EXPECT_EQ(offset.a, 0.0) << (c.flag ? c.flag : "absent");
            EXPECT_EQ(offset.b, 0.0);
        }
        // The written header carries the flag exactly when the offset is applied.
        auto written = w.to_header(U' ');
        ASSERT_TRUE(written);
        EXPECT_EQ(written->get_f64("PV1_0").has_value(), c.applied);
        EXPECT_EQ(written->get_f64("PV1_1"), 10.0);
        EXPECT_EQ(written->get_f64("PV1_2"), 15.0);
    }
}

TEST(WcsParse, NaxisZeroEndsTheParseOnlyWithoutAPositiveAxisCount) {
    const std::vector<std::string> solution = {
        kv("NAXIS", "0"), kv("CTYPE1", "'RA---TAN'"), kv("CTYPE2", "'DEC--TAN'"),
        kv("CRPIX1", "10"), kv("CRVAL1", "202.5"), kv("CRVAL2", "47.2"), kv("CDELT1", "-1E-4"),
        kv("CDELT2", "1E-4")};
    for (const char* count : {"WCSAXES", "WCSDIM"}) {
        std::vector<std::string> cards = solution;
        cards.push_back(kv(count, "2"));
        const Wcs w = wcs_of(header_of_cards(cards));
        EXPECT_EQ(w.naxis(), 2u) << count;
        EXPECT_TRUE(w.celestial) << count;
        EXPECT_FALSE(w.pixel_shape) << count;
    }
    for (const char* value : {"0", "-2", "2.0", "'2'"}) {
        std::vector<std::string> cards = solution;
        cards.push_back(kv("WCSAXES", value));
        const auto w = Wcs::from_header(header_of_cards(cards), U' ');
        ASSERT_TRUE(w) << value;
        EXPECT_FALSE(*w) << value;
    }
    const auto none = Wcs::from_header(header_of_cards(solution), U' ');
    ASSERT_TRUE(none);
    EXPECT_FALSE(*none);
}

TEST(WcsSerialize, MjdObsIsWrittenInTheScaleOfTheTimesysBesideIt) {
    const std::vector<std::string> cards = {
        kv("NAXIS", "1"), kv("CTYPE1", "'TIME'"), kv("CRPIX1", "1"), kv("TIMESYS", "'TT'"),
        kv("MJD-OBS", "55000.0")};
    Wcs w = wcs_of(header_of_cards(cards));
    ASSERT_TRUE(w.mjd_obs && w.mjd_obs_as_read);
    EXPECT_EQ(*w.mjd_obs_as_read, 55000.0);
    EXPECT_NEAR(*w.mjd_obs, 55000.0 - 66.184 / 86400.0, 1e-9);
    for (int cycle = 0; cycle < 3; ++cycle) {
        auto written = w.to_header(U' ');
        ASSERT_TRUE(written);
        EXPECT_EQ(written->get_f64("MJD-OBS"), 55000.0) << cycle;
        w = wcs_of(*written);
    }
    // Without the value as read (a description built elsewhere) the conversion is inverted.
    w.mjd_obs_as_read.reset();
    auto written = w.to_header(U' ');
    ASSERT_TRUE(written);
    ASSERT_TRUE(written->get_f64("MJD-OBS"));
    EXPECT_NEAR(*written->get_f64("MJD-OBS"), 55000.0, 1e-10);
}

}  // namespace
}  // namespace vexlo
