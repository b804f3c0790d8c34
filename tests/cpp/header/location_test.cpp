#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "header/header.hpp"
#include "header/location.hpp"
#include "header_fixture.hpp"
#include "util/number.hpp"

namespace vexlo {
namespace {

using testing::header_of;
using testing::kv;
using Triple = std::array<double, 3>;

std::string real(double v) {
    return format_real_e17(v);
}

void expect_near(const std::optional<Triple>& got, const Triple& want, double angle_tol,
                 double metre_tol) {
    ASSERT_TRUE(got);
    EXPECT_NEAR((*got)[0], want[0], angle_tol);
    EXPECT_NEAR((*got)[1], want[1], angle_tol);
    EXPECT_NEAR((*got)[2], want[2], metre_tol);
}

TEST(ObservatoryLocation, GeodeticToCartesianAndBack) {
    const Header geo =
        header_of({kv("OBSGEO-B", "30"), kv("OBSGEO-L", "-70"), kv("OBSGEO-H", "2000")});
    EXPECT_EQ(geo.obs_geodetic(), (Triple{30, -70, 2000}));
    const auto ecef = geo.obs_ecef();
    ASSERT_TRUE(ecef);
    expect_near(ecef, {1891367.524377, -5196489.565117, 3171373.735384}, 1e-6, 1e-6);
    const Header xyz =
        header_of({kv("OBSGEO-X", real((*ecef)[0])), kv("OBSGEO-Y", real((*ecef)[1])),
                   kv("OBSGEO-Z", real((*ecef)[2]))});
    EXPECT_EQ(xyz.obs_ecef(), ecef);
    expect_near(xyz.obs_geodetic(), {30, -70, 2000}, 1e-9, 1e-6);

    // On the equator and at the pole (the second height formula).
    expect_near(header_of({kv("OBSGEO-X", "6378137"), kv("OBSGEO-Y", "0"), kv("OBSGEO-Z", "0")})
                    .obs_geodetic(),
                {0, 0, 0}, 1e-12, 1e-9);
    expect_near(
        header_of({kv("OBSGEO-X", "0"), kv("OBSGEO-Y", "0"), kv("OBSGEO-Z", "6356752.314245179")})
            .obs_geodetic(),
        {90, 0, 0}, 1e-12, 1e-6);
}

TEST(ObservatoryLocation, KeywordPrecedenceUnitsAndAbsence) {
    struct Case {
        std::vector<std::string> cards;
        std::optional<Triple> geodetic;
    };
    const Case cases[] = {
        {{kv("OBS-LAT", "10"), kv("OBS-LONG", "20")}, Triple{10, 20, 0}},
        {{kv("OBS-LAT", "10"), kv("LAT-OBS", "11"), kv("OBS-LONG", "20")}, Triple{11, 20, 0}},
        {{kv("SITELAT", "1"), kv("GEOLON", "2"), kv("GEOALT", "3"), kv("SITEELEV", "4")},
         Triple{1, 2, 4}},
        {{kv("OBSGEO_B", "5"), kv("OBSGEO_L", "6")}, Triple{5, 6, 0}},
        {{kv("OBSGEO-B", "5"), kv("OBSGEO-L", "6"), kv("OBSGEO-H", "2 / [km]")},
         Triple{5, 6, 2000}},
        {{kv("OBSGEO-B", "5"), kv("OBSGEO-L", "6"), kv("OBSGEO-H", "'2000'")}, Triple{5, 6, 0}},
        {{kv("OBSGEO-B", "1800 / [arcmin]"), kv("OBSLONG", "6")}, Triple{30, 6, 0}},
        {{kv("OBSGEO-B", "5 / [s]"), kv("OBSLAT", "7"), kv("OBSLONG", "6")}, Triple{7, 6, 0}},
        {{kv("OBSGEO-B", "30")}, std::nullopt},
        {{kv("OBSGEO-X", "1"), kv("OBSGEO-Y", "2")}, std::nullopt},
        {{kv("OBSGEO-B", "'30'"), kv("OBSGEO-L", "6")}, std::nullopt},
    };
    for (const Case& c : cases) {
        const Header h = header_of(c.cards);
        EXPECT_EQ(h.obs_geodetic(), c.geodetic) << c.cards.front();
        EXPECT_EQ(read_geodetic_keywords(h), c.geodetic) << c.cards.front();
        EXPECT_EQ(h.obs_ecef().has_value(), c.geodetic.has_value()) << c.cards.front();
    }
    // Each operation prefers the form it returns when a header holds both.
    const Header both =
        header_of({kv("OBSGEO-X", "1000 / [km]"), kv("OBSGEO-Y", "2"), kv("OBSGEO-Z", "3"),
                   kv("OBSGEO-B", "40"), kv("OBSGEO-L", "50"), kv("OBSGEO-H", "60")});
    EXPECT_EQ(both.obs_ecef(), (Triple{1e6, 2, 3}));
    EXPECT_EQ(both.obs_geodetic(), (Triple{40, 50, 60}));
}

}  // namespace
}  // namespace vexlo
