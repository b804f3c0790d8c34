#include "wcs/celestial.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <string>
#include <vector>

namespace vexlo {
namespace {

using S = std::vector<std::string>;

TEST(CelestialPairSearch, FindsTheFirstPair) {
    struct Case {
        S ctypes;
        std::optional<CelestialPair> pair;
    };
    using F = CelestialFrame;
    const std::vector<Case> cases = {
        {{"RA---TAN", "DEC--TAN"}, CelestialPair{0, 1, F::Equatorial}},
        {{"DEC--TAN", "RA---TAN"}, CelestialPair{1, 0, F::Equatorial}},
        {{"glon-car", "glat-car"}, CelestialPair{0, 1, F::Galactic}},
        {{"ELON-SIN", "ELAT-SIN"}, CelestialPair{0, 1, F::Ecliptic}},
        {{"RA---TAN", "GLAT-TAN"}, std::nullopt},
        {{"XLON-TAN", "XLAT-TAN"}, CelestialPair{0, 1, F::Other}},
        {{"TTLN-TAN", "TTLT-TAN"}, CelestialPair{0, 1, F::Other}},
        {{"RA---TAN", "DEC--TAN", "GLON-CAR", "GLAT-CAR"}, CelestialPair{0, 1, F::Equatorial}},
        {{"FREQ", "RA", "DEC"}, std::nullopt},
        {{"FREQ", "RA--", "DEC-"}, CelestialPair{1, 2, F::Equatorial}},
        {{"", "DEC--TAN"}, std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(find_celestial_pair(c.ctypes), c.pair) << c.ctypes[0];
    }
    EXPECT_EQ(debug_text(CelestialPair{0, 1, F::Equatorial}),
              "CelestialPair { lon: 0, lat: 1, frame: Equatorial }");
}

TEST(CelestialPairSearch, ProjectionCodeOfCtype) {
    EXPECT_EQ(projection_code_of_ctype("RA---TAN").value(), "TAN");
    EXPECT_EQ(projection_code_of_ctype("DEC--TAN-SIP").value(), "TAN");
    EXPECT_EQ(projection_code_of_ctype("RA--TAN").error().msg,
              "CTYPE `RA--TAN` is shorter than 8 chars; cannot extract projection code");
    EXPECT_EQ(projection_code_of_ctype("RAXXXTAN").error().msg,
              "CTYPE `RAXXXTAN` missing `-` separator before projection code");
    EXPECT_EQ(projection_code_of_ctype("RA-\xC3\xA9TAN").error().msg,
              "CTYPE `RA-\xC3\xA9TAN` is not ASCII; cannot extract a projection code");
}

TEST(CelestialRotation, SolvesThePoleOfCommonCases) {
    // Zenithal at the fiducial point: the native pole is the reference point.
    auto tan = CelestialRotation::solve(150.0, 2.0, std::nullopt, std::nullopt, 0.0, 90.0);
    ASSERT_TRUE(tan.has_value());
    EXPECT_EQ(tan->phi_p, 180.0);
    EXPECT_EQ(tan->delta_p, 2.0);
    EXPECT_EQ(tan->alpha_p, 150.0);
    auto pole = CelestialRotation::solve(10.0, 90.0, std::nullopt, std::nullopt, 0.0, 90.0);
    ASSERT_TRUE(pole.has_value());
    EXPECT_EQ(pole->phi_p, 0.0);
    // A cylinder at (0, 0): the native pole at the celestial pole, turned by 180.
    auto car = CelestialRotation::solve(0.0, 0.0, std::nullopt, std::nullopt, 0.0, 0.0);
    ASSERT_TRUE(car.has_value());
    EXPECT_EQ(car->phi_p, 0.0);
    EXPECT_NEAR(car->delta_p, 90.0, 1e-12);
    EXPECT_NEAR(car->alpha_p, 180.0, 1e-12);
    auto none = CelestialRotation::solve(0.0, 60.0, 90.0, std::nullopt, 0.0, 0.0);
    ASSERT_FALSE(none.has_value());
    EXPECT_EQ(none.error().msg, "LATPOLE indeterminate (denominator vanishes)");
}

// With the fiducial point at a celestial pole the longitude of the native pole is CRVAL of
// the longitude axis, whichever root LATPOLE picks, not the rounding noise of a 0/0.
TEST(CelestialRotation, FiducialPointAtACelestialPoleKeepsItsLongitude) {
    for (double delta0 : {90.0, -90.0}) {
        for (std::optional<double> latpole :
             {std::optional<double>(), std::optional<double>(80.0), std::optional<double>(-80.0)}) {
            for (double theta0 : {0.0, 20.0, -35.0}) {
                auto r = CelestialRotation::solve(40.0, delta0, std::nullopt, latpole, 0.0, theta0);
                ASSERT_TRUE(r.has_value());
                EXPECT_NEAR(r->alpha_p, 40.0, 1e-9) << delta0 << " " << theta0;
                // The fiducial point maps to the pole it was put at.
                EXPECT_NEAR(r->native_to_celestial(0.0, theta0).b, delta0, 1e-9);
            }
        }
    }
}

// Angular distance in degrees between two sky points, by unit vectors in long double so that
// points a hair apart near a pole are told apart.
double separation(Point2 a, Point2 b) {
    constexpr long double d2r = 0.0174532925199432957692369076848861L;
    const auto unit = [&](Point2 p) {
        const long double lon = p.a * d2r, lat = p.b * d2r;
        return std::array<long double, 3>{std::cos(lat) * std::cos(lon),
                                          std::cos(lat) * std::sin(lon), std::sin(lat)};
    };
    const auto u = unit(a), v = unit(b);
    const long double dx = u[0] - v[0], dy = u[1] - v[1], dz = u[2] - v[2];
    return static_cast<double>(2.0L * std::asin(std::sqrt(dx * dx + dy * dy + dz * dz) / 2.0L) /
                               d2r);
}

// A reference point a hair from a celestial pole, for fiducial points off the native pole
// (cylinders, conics) and native poles a hair from the celestial one: the fiducial point must
// come back at the reference point, and the native pole where its latitude says.
TEST(CelestialRotation, ReferencePointsNearACelestialPoleKeepTheirDigits) {
    struct Case {
        double delta0;
        std::optional<double> lonpole;
        double theta0;
    };
    const std::vector<Case> cases = {
        {90.0 - 1e-6, std::nullopt, 0.0},   {90.0 - 1e-7, std::nullopt, 0.0},
        {90.0 - 1e-9, std::nullopt, 0.0},   {90.0 - 1e-12, std::nullopt, 0.0},
        {-90.0 + 1e-6, std::nullopt, 0.0},  {-90.0 + 1e-8, std::nullopt, 0.0},
        {-90.0 + 1e-11, std::nullopt, 0.0}, {90.0 - 1e-7, std::nullopt, 45.0},
        {-90.0 + 1e-7, std::nullopt, 30.0}, {45.0 + 1e-7, 30.0, 45.0},
        {45.0 + 1e-9, 30.0, 45.0},          {-30.0 + 3e-7, 200.0, -30.0},
        {-30.0 + 3e-7, -160.0, 30.0},
    };
    for (const Case& c : cases) {
        auto r = CelestialRotation::solve(30.0, c.delta0, c.lonpole, std::nullopt, 0.0, c.theta0);
        ASSERT_TRUE(r.has_value()) << c.delta0;
        const Point2 fiducial = r->native_to_celestial(0.0, c.theta0);
        EXPECT_LT(separation(fiducial, {30.0, c.delta0}), 1e-12) << c.delta0 << " " << c.theta0;
    }
    // A cylinder: the native pole lies 90 - |delta0| from the equator, on the far side of the
    // celestial pole in the north (LONPOLE 0), on the near side in the south (LONPOLE 180).
    for (double offset : {1e-6, 1e-7, 1e-9, 1e-12}) {
        const auto none = std::nullopt;
        auto north = CelestialRotation::solve(30.0, 90.0 - offset, none, none, 0.0, 0.0);
        ASSERT_TRUE(north.has_value());
        EXPECT_NEAR(north->delta_p, 90.0 - (90.0 - offset), 1e-13) << offset;
        EXPECT_NEAR(north->alpha_p, 210.0, 1e-12) << offset;
        auto south = CelestialRotation::solve(30.0, offset - 90.0, none, none, 0.0, 0.0);
        ASSERT_TRUE(south.has_value());
        EXPECT_NEAR(south->delta_p, 90.0 + (offset - 90.0), 1e-13) << offset;
        EXPECT_NEAR(south->alpha_p, 30.0, 1e-12) << offset;
        // Given back as LATPOLE, the native pole's own latitude picks the same of the two
        // roots, however close they lie.
        for (const auto& r : {*north, *south}) {
            auto again = CelestialRotation::solve(30.0, r.delta0, none, r.delta_p, 0.0, 0.0);
            ASSERT_TRUE(again.has_value());
            EXPECT_EQ(again->delta_p, r.delta_p) << offset;
            EXPECT_EQ(again->alpha_p, r.alpha_p) << offset;
        }
    }
    // Closer to the south pole than a few units in the last place of pi, the roots w +- a
    // (a = pi - b) lie b either side of w -+ pi: a cylinder's native pole b north or south of
    // the equator, a conic's b either side of -theta0, and LATPOLE picks the root. The two
    // turn the image by 180 degrees against each other; a root lost to rounding gives 0 and
    // the longitude of atan2(0, 0).
    struct Hair {
        double delta0;
        double theta0;
        std::optional<double> latpole;
        bool lower_root;  // the native pole turned by 180 degrees
    };
    const std::vector<Hair> hairs = {
        {-89.99999999999999, 0.0, -90.0, true},   {-89.99999999999999, 0.0, 90.0, false},
        {-89.99999999999999, 0.0, 0.0, false},    {-89.99999999999999, 0.0, std::nullopt, false},
        {-89.99999999999997, 0.0, -90.0, true},   {-89.99999999999996, 0.0, -45.0, true},
        {-89.9999999999999, 0.0, -90.0, true},    {-89.99999999999999, 45.0, -90.0, true},
        {-89.99999999999999, 45.0, 0.0, false},   {-89.99999999999999, 0.001, -90.0, true},
        {-89.99999999999999, -60.0, 90.0, false}, {-89.99999999999999, -60.0, -90.0, true},
        {-89.99999999999999, -30.5, -90.0, true}, {-89.99999999999999, -30.5, 90.0, false},
    };
    for (const Hair& h : hairs) {
        auto r = CelestialRotation::solve(30.0, h.delta0, std::nullopt, h.latpole, 0.0, h.theta0);
        ASSERT_TRUE(r.has_value()) << h.delta0;
        const std::string what = std::to_string(h.theta0) + " " + std::to_string(h.delta0) + " " +
                                 std::to_string(h.latpole.value_or(999.0));
        // The native pole lies 90 - theta0 from the celestial pole, on the side the root says.
        const double b = 90.0 + h.delta0;
        EXPECT_EQ(r->alpha_p, h.lower_root ? 210.0 : 30.0) << what;
        if (h.theta0 == 0.0) {
            EXPECT_NEAR(r->delta_p, h.lower_root ? -b : b, 1e-3 * b) << what;
        }
        const Point2 pole = r->native_to_celestial(r->phi_p, 90.0);
        EXPECT_NEAR(pole.b, r->delta_p, 1e-12) << what;
        // The fiducial point comes back at the reference point, a hair from the pole.
        EXPECT_LT(separation(r->native_to_celestial(0.0, h.theta0), {30.0, h.delta0}), 1e-12)
            << what;
        // Written back as LATPOLE, the native pole's latitude picks the same root.
        auto again =
            CelestialRotation::solve(30.0, h.delta0, std::nullopt, r->delta_p, 0.0, h.theta0);
        ASSERT_TRUE(again.has_value());
        EXPECT_EQ(again->alpha_p, r->alpha_p) << what;
        EXPECT_EQ(again->delta_p, r->delta_p) << what;
    }
}

TEST(CelestialRotation, RotatesBothWaysAndNormalisesLongitudes) {
    auto r = CelestialRotation::solve(30.0, -40.0, std::nullopt, std::nullopt, 0.0, 0.0);
    ASSERT_TRUE(r.has_value());
    for (double phi : {-170.0, -30.0, 0.0, 45.0, 179.0}) {
        for (double th : {-80.0, -10.0, 0.0, 33.0, 89.0}) {
            const Point2 sky = r->native_to_celestial(phi, th);
            EXPECT_GE(sky.a, 0.0);
            EXPECT_LT(sky.a, 360.0);
            const Point2 back = r->celestial_to_native(sky.a, sky.b);
            EXPECT_NEAR(back.a, phi, 1e-9);
            EXPECT_NEAR(back.b, th, 1e-9);
        }
    }
    const Point2 pole = r->native_to_celestial(r->phi_p, 90.0);
    EXPECT_NEAR(std::fmod(pole.a - r->alpha_p + 360.0, 360.0), 0.0, 1e-9);
    EXPECT_NEAR(pole.b, r->delta_p, 1e-9);
    // celestial_to_native never answers -180.
    auto id = CelestialRotation::solve(0.0, 90.0, 0.0, std::nullopt, 0.0, 90.0);
    ASSERT_TRUE(id.has_value());
    EXPECT_EQ(id->celestial_to_native(0.0, 10.0).a, 180.0);
}

}  // namespace
}  // namespace vexlo
