#include "wcs/projection/projection.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vexlo {
namespace {

constexpr double kD2R = 0.017453292519943295;

using Params = std::vector<ProjParam>;

Projection make(const std::string& code, const Params& params = {}) {
    auto p = Projection::from_code(code, params);
    EXPECT_TRUE(p.has_value()) << code << ": " << (p ? "" : p.error().msg);
    return p.value_or(Projection{});
}

// Reproducible uniform numbers in [lo, hi) (xorshift64).
struct Uniform {
    std::uint64_t state;
    double operator()(double lo, double hi) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return lo + (hi - lo) * static_cast<double>(state >> 11) / 9007199254740992.0;
    }
};

// Angle between two native directions, in degrees.
double separation(double phi1, double th1, double phi2, double th2) {
    const auto vec = [](double phi, double th, double out[3]) {
        out[0] = std::cos(th * kD2R) * std::cos(phi * kD2R);
        out[1] = std::cos(th * kD2R) * std::sin(phi * kD2R);
        out[2] = std::sin(th * kD2R);
    };
    double a[3], b[3];
    vec(phi1, th1, a);
    vec(phi2, th2, b);
    const double dx = a[0] - b[0], dy = a[1] - b[1], dz = a[2] - b[2];
    return 2.0 * std::asin(std::sqrt(dx * dx + dy * dy + dz * dz) / 2.0) / kD2R;
}

struct RoundTripCase {
    const char* code;
    Params params;
    double min_theta;  // the grid stays above this latitude
    double tolerance;  // degrees
};

// Every projection maps a grid of native points to the plane and back to the same point.
TEST(Projection, EveryProjectionRoundTripsItsDomain) {
    const std::optional<double> none;
    const std::vector<RoundTripCase> cases = {
        {"AZP", {none, 2.0, 30.0}, -90, 1e-10},
        // mu < -1: only a cap around the pole maps, and the inverse must pick the cap's root.
        {"AZP", {none, -2.5}, -90, 1e-10},
        {"AZP", {none, -1.5}, -90, 1e-10},
        {"AZP", {none, -4.0, 20.0}, -90, 1e-10},
        {"SZP", {none, 2.0, 180.0, 60.0}, -90, 1e-10},
        {"TAN", {}, -90, 1e-10},
        {"STG", {}, -90, 1e-10},
        {"SIN", {}, -90, 1e-7},  // acos loses digits near the horizon
        {"SIN", {none, 0.2, 0.1}, -90, 1e-7},
        {"ARC", {}, -90, 1e-10},
        {"ZPN", {0.05, 0.975, -0.807, 0.337, -0.065, 0.01, 0.003, -0.001}, 10, 1e-9},
        {"ZEA", {}, -90, 1e-10},
        {"AIR", {none, 45.0}, -80, 1e-9},
        {"CYP", {none, 1.0, 0.7071067811865476}, -90, 1e-10},
        {"CEA", {none, 0.5}, -90, 1e-9},
        {"CAR", {}, -90, 1e-10},
        {"MER", {}, -90, 1e-10},
        {"SFL", {}, -90, 1e-10},
        {"PAR", {}, -90, 1e-10},
        {"MOL", {}, -90, 1e-9},
        {"AIT", {}, -90, 1e-10},
        {"COP", {none, 45.0, 25.0}, -90, 1e-10},
        {"COE", {none, -45.0, 25.0}, -90, 1e-9},
        {"COD", {none, 45.0, 25.0}, -90, 1e-10},
        {"COO", {none, 45.0, 25.0}, -90, 1e-10},
        {"COO", {none, -30.0}, -90, 1e-10},
        {"BON", {none, 45.0}, -90, 1e-10},
        {"PCO", {}, -90, 1e-9},
        {"TSC", {}, -90, 1e-10},
        {"CSC", {}, -90, 0.01},  // the published polynomials are approximate inverses
        {"QSC", {}, -90, 1e-9},
        {"HPX", {}, -90, 1e-9},
        {"XPH", {}, -90, 1e-9},
    };
    const double phis[] = {-179.5, -135, -100, -45, -10, 0, 10, 44, 91, 135, 170};
    const double thetas[] = {-85, -60, -41, -10, 0, 10, 30, 50, 70, 89};
    for (const RoundTripCase& c : cases) {
        const Projection p = make(c.code, c.params);
        int mapped = 0;
        for (double th : thetas) {
            if (th < c.min_theta) continue;
            for (double phi : phis) {
                auto xy = p.forward(phi, th);
                if (!xy) continue;
                ++mapped;
                auto back = p.inverse(xy->a, xy->b);
                ASSERT_TRUE(back.has_value())
                    << c.code << " (" << phi << ", " << th << "): " << back.error().msg;
                EXPECT_LT(separation(phi, th, back->a, back->b), c.tolerance)
                    << c.code << " (" << phi << ", " << th << ") came back as (" << back->a << ", "
                    << back->b << ")";
            }
        }
        EXPECT_GE(mapped, 30) << c.code;
    }
}

// ZEA and AIT also project from a native direction without angles; the plane point must be
// the angle kernel's to within rounding everywhere, the poles, the reference point and the
// edge of the map (phi = 180) included.
TEST(Projection, DirectionFormsAgreeWithTheAngleKernels) {
    struct Form {
        const char* code;
        bool (*direction)(const NativeDirection&, Point2&);
    };
    const Form forms[] = {{"ZEA", zea_forward_direction}, {"AIT", ait_forward_direction}};
    std::vector<std::pair<double, double>> points = {
        {0.0, 90.0},           {0.0, -90.0},         {180.0, 0.0}, {-180.0, 0.0},
        {179.9999999, 1.0},    {-179.9999999, -1.0}, {0.0, 0.0},   {90.0, 1e-9},
        {1e-12, 89.999999999}, {45.0, -89.9},        {-0.0, 30.0}, {180.0, 89.0},
        {-90.0, -45.0},
    };
    Uniform uniform{88172645463325252ULL};
    for (int i = 0; i < 20000; ++i)
        points.emplace_back(uniform(-180.0, 180.0), uniform(-90.0, 90.0));
    for (const Form& form : forms) {
        const Projection p = make(form.code);
        double worst = 0.0;
        for (const auto& [phi, theta] : points) {
            const NativeDirection d{std::sin(theta * kD2R),
                                    std::cos(theta * kD2R) * std::sin(phi * kD2R),
                                    std::cos(theta * kD2R) * std::cos(phi * kD2R)};
            Point2 fused;
            if (!form.direction(d, fused)) {
                EXPECT_LT(theta, -89.0) << form.code;  // only next to the south pole of ZEA
                continue;
            }
            const Result<Point2> angles = p.forward(phi, theta);
            ASSERT_TRUE(angles) << form.code << " " << phi << "," << theta;
            worst =
                std::max({worst, std::fabs(fused.a - angles->a), std::fabs(fused.b - angles->b)});
        }
        // Plane units are degrees: 1e-12 degrees is far below a micro-arcsecond.
        EXPECT_LT(worst, 1e-12) << form.code;
    }
}

// AIT's inverse also gives a native direction without angles: on the map it is the direction
// of the angle kernel's (phi, theta) to within rounding, and it declines every point off the
// map, leaving the status to the angle kernel.
TEST(Projection, AitInverseDirectionAgreesWithTheAngleKernel) {
    const Projection p = make("AIT");
    Uniform uniform{2463534242ULL};
    double worst = 0.0;
    int on_map = 0;
    for (int i = 0; i < 40000; ++i) {
        const double px = uniform(-240.0, 240.0);
        const double py = uniform(-120.0, 120.0);
        NativeDirection d;
        const bool fused = ait_inverse_direction(px, py, d);
        const Result<Point2> angles = p.inverse(px, py);
        ASSERT_EQ(fused, angles.has_value()) << px << "," << py;
        if (!fused) continue;
        ++on_map;
        const double phi = angles->a * kD2R;
        const double theta = angles->b * kD2R;
        worst = std::max({worst, std::fabs(d.sin_theta - std::sin(theta)),
                          std::fabs(d.cos_cos_phi - std::cos(theta) * std::cos(phi)),
                          std::fabs(d.cos_sin_phi - std::cos(theta) * std::sin(phi))});
    }
    EXPECT_GT(on_map, 10000);
    EXPECT_LT(worst, 1e-13);
    NativeDirection pole;
    ASSERT_TRUE(ait_inverse_direction(0.0, std::sqrt(2.0) * 57.29577951308232 * (1 - 1e-15), pole));
    EXPECT_NEAR(pole.sin_theta, 1.0, 1e-12);
}

TEST(Projection, CodesAreCaseInsensitiveAndUnknownOnesAreQuotedAsGiven) {
    EXPECT_EQ(make("tan").code, ProjectionCode::Tan);
    EXPECT_EQ(make("Tan").code, ProjectionCode::Tan);
    for (const char* bad : {"TANX", "TA", "ABC"}) {
        auto p = Projection::from_code(bad, {});
        ASSERT_FALSE(p.has_value());
        EXPECT_EQ(p.error().kind, Error::Kind::Wcs);
        EXPECT_EQ(p.error().msg, std::string("unknown projection code `") + bad + "`");
    }
}

TEST(Projection, SetUpRefusesBadParameters) {
    const std::optional<double> none;
    struct Case {
        const char* code;
        Params params;
        const char* message;
    };
    const std::vector<Case> cases = {
        {"AZP", {none, -1.0}, "AZP: PV2_1 (mu) = -1 is singular"},
        {"AZP", {none, -1.0 + 1e-13}, "AZP: PV2_1 (mu) = -1 is singular"},
        {"AZP", {none, 0.0, -90.0}, "AZP: |PV2_2 (gamma)| = 90 >= 90deg"},
        {"SZP", {none, 0.0, 0.0, -91.0}, "SZP: |PV2_3 (theta_c)| = 91 > 90deg"},
        {"ZPN", {0.0, 0.0, 0.0}, "ZPN: all polynomial coefficients are zero"},
        {"ZPN", {}, "ZPN: all polynomial coefficients are zero"},
        {"AIR", {none, -91.0}, "AIR: PV2_1 (theta_b) = -91 outside [-90deg, 90deg]"},
        {"CYP", {none, 0.0, 0.0}, "CYP: mu + lambda = 0 is singular"},
        {"CEA", {none, 0.0}, "CEA: PV2_1 (lambda) = 0 out of (0,1]"},
        {"CEA", {none, 1.5}, "CEA: PV2_1 (lambda) = 1.5 out of (0,1]"},
        {"COP", {}, "conic projection requires PV2_1 (theta_a)"},
        {"COE", {none, 95.0}, "conic: |PV2_1 (theta_a)| = 95 > 90deg"},
        {"COD", {none, 80.0, 20.0}, "conic: theta_a +/- eta falls outside [-90deg, 90deg]"},
        {"COP", {none, 0.0}, "COP: theta_a = 0 is singular"},
        {"COE", {none, 0.0}, "COE: theta_a = 0 is singular"},
        {"COD", {none, 0.0}, "COD: theta_a = 0 is singular"},
        {"COO", {none, 0.0}, "COO: theta_a = 0 is singular"},
        {"COO", {none, 1e-13, 5.0}, "COO: theta_a = 0 is singular"},
        {"COO", {none, 90.0}, "COO: |theta_a| = 90deg (cone degenerates to a plane)"},
        {"BON", {}, "BON: PV2_1 (theta_1) is required"},
        {"BON", {none, 0.0}, "BON: theta_1 = 0 -- use SFL instead"},
        {"BON", {none, -95.0}, "BON: |theta_1| = 95 > 90deg"},
        {"HPX", {none, -1.0}, "HPX: H and K must be positive"},
    };
    for (const Case& c : cases) {
        auto p = Projection::from_code(c.code, c.params);
        ASSERT_FALSE(p.has_value()) << c.message;
        EXPECT_EQ(p.error().kind, Error::Kind::Wcs);
        EXPECT_EQ(p.error().msg, c.message);
    }
}

// COO with theta_a = 0 used to build and then return non-finite coordinates as success.
TEST(Projection, CooNearZeroThetaAStillWorks) {
    const Projection p = make("COO", {std::nullopt, 1e-6});
    auto xy = p.forward(10.0, 5.0);
    ASSERT_TRUE(xy.has_value());
    EXPECT_TRUE(std::isfinite(xy->a) && std::isfinite(xy->b));
}

TEST(Projection, DefaultsOfTheParameters) {
    // CYP: mu = 1 and lambda = 1 when not given.
    const Projection cyp = make("CYP");
    const auto cards = cyp.pv_cards();
    ASSERT_EQ(cards.size(), 2u);
    EXPECT_EQ(cards[0], (std::pair<std::int32_t, double>(1, 1.0)));
    EXPECT_EQ(cards[1], (std::pair<std::int32_t, double>(2, 1.0)));
    // CYP with mu = lambda = 1 is the equal-spaced cylinder scaled on y: y = 2 R tan(theta/2).
    auto xy = cyp.forward(30.0, 40.0);
    ASSERT_TRUE(xy.has_value());
    EXPECT_DOUBLE_EQ(xy->a, 30.0);
    EXPECT_NEAR(xy->b, 2.0 * 57.29577951308232 * std::tan(20.0 * kD2R), 1e-12);

    // SZP with no parameters is TAN in the upper hemisphere.
    const Projection szp = make("SZP");
    const Projection tan = make("TAN");
    auto a = szp.forward(33.0, 40.0);
    auto b = tan.forward(33.0, 40.0);
    ASSERT_TRUE(a && b);
    EXPECT_NEAR(a->a, b->a, 1e-12);
    EXPECT_NEAR(a->b, b->b, 1e-12);

    // HPX: H and K given as 0 behave as 4 and 3.
    const Projection hpx0 = make("HPX", {std::nullopt, 0.0, 0.0});
    EXPECT_EQ(hpx0.pv_cards()[0].second, 4.0);
    EXPECT_EQ(hpx0.pv_cards()[1].second, 3.0);
    auto top = hpx0.forward(0.0, 90.0);
    ASSERT_TRUE(top.has_value());
    EXPECT_DOUBLE_EQ(top->b, 90.0 * 4.0 / 4.0);

    // ZPN's cards stop at the last non-zero coefficient.
    const Projection zpn = make("ZPN", {0.0, 1.0, 0.0, 0.5, 0.0, 0.0});
    const auto zc = zpn.pv_cards();
    ASSERT_EQ(zc.size(), 4u);
    EXPECT_EQ(zc[3], (std::pair<std::int32_t, double>(3, 0.5)));
    EXPECT_TRUE(make("TAN").pv_cards().empty());
}

struct DomainCase {
    const char* code;
    Params params;
    bool forward;
    double u;
    double v;
    const char* message;
};

TEST(Projection, PointsOutsideTheDomainAreRefusedWithTheirReason) {
    const std::optional<double> none;
    const double r0 = 57.29577951308232;
    const std::vector<DomainCase> cases = {
        {"TAN", {}, true, 0.0, 0.0, "TAN: theta <= 0 lies in the unprojected hemisphere"},
        {"TAN", {}, true, 0.0, -10.0, "TAN: theta <= 0 lies in the unprojected hemisphere"},
        {"STG", {}, true, 0.0, -90.0, "STG: theta = -90deg is the singular point"},
        {"AZP",
         {none, 2.0},
         true,
         0.0,
         -40.0,
         "AZP: theta = -40 is beyond the fold at asin(-1/mu) = -30.000000 deg for mu = 2; the "
         "projection is two-valued there"},
        {"SZP", {}, true, 0.0, 0.0, "SZP: denominator vanishes"},
        {"SZP",
         {},
         true,
         0.0,
         -10.0,
         "SZP: theta = -10 lies on the hidden branch -- the plane point it maps to belongs to "
         "theta = 10.000000 deg instead"},
        {"AZP",
         {none, -0.5},
         true,
         10.0,
         0.0,
         "AZP: theta = 0, phi = 10 projects to a negative radius, i.e. behind the projection "
         "point"},
        {"AZP",
         {none, 2.0},
         false,
         10.0 * r0,
         0.0,
         "AZP: argument out of range -- point not on the sphere"},
        // Neither root a latitude: the tilted plane reaches past the sphere's image.
        {"AZP",
         {none, -1.05, 25.0},
         false,
         5.23499898,
         52.20869085,
         "AZP: argument out of range -- point not on the sphere"},
        {"SZP",
         {none, 2.0, 180.0, 60.0},
         false,
         0.0,
         -200.0,
         "SZP: ray misses the unit sphere -- point outside the projection"},
        {"SIN", {}, false, r0 + 1e-8, 0.0, "SIN: x^2+y^2 > R_0^2"},
        {"SIN", {none, 0.3, 0.2}, false, 100.0, 100.0, "SIN: outside the projection disc"},
        {"ZPN",
         {0.0, 1.0, -0.5},
         false,
         40.0,
         0.0,
         "ZPN: Newton iteration failed to converge (polynomial may be non-monotonic at this "
         "point)"},
        {"ZPN",
         {0.0, 1.0},
         false,
         300.0,
         0.0,
         "ZPN: solved zeta out of [0, pi] -- input is outside the projection's valid range"},
        {"CYP", {none, 2.0, 1.0}, false, 0.0, 120.3, "CYP: argument out of range"},
        {"COE", {none, 45.0}, false, 0.0, -1000.0, "COE: |sintheta| > 1 (outside range)"},
        {"SIN", {}, true, 0.0, -1.0, "SIN: the point lies in the unprojected hemisphere"},
        {"ZEA", {}, false, 2.0 * r0 * 1.000000002, 0.0, "ZEA: outside disk"},
        {"AIR",
         {},
         true,
         0.0,
         -89.9995,
         "AIR: theta = -89.9995 lies past the fold at -89.999000 deg, where R turns over and "
         "stops being invertible"},
        {"AIR", {}, true, 0.0, -90.0, "AIR: south pole maps to infinity"},
        {"AIR",
         {none, -90.0},
         true,
         0.0,
         -60.0,
         "AIR: theta = -60 lies past the fold at -36.414621 deg, where R turns over and stops "
         "being invertible"},
        // R = zeta - 0.1 zeta^3 turns over where 1 - 0.3 zeta^2 = 0, zeta = 104.607303 deg.
        {"ZPN",
         {0.0, 1.0, 0.0, -0.1},
         true,
         0.0,
         -30.0,
         "ZPN: theta = -30 lies past the fold at -14.607303 deg, where R turns over and stops "
         "being invertible"},
        // A slope that changes sign within the first step of the search: R = zeta - 2e4 zeta^2.
        {"ZPN",
         {0.0, 1.0, -2e4},
         true,
         0.0,
         89.99,
         "ZPN: theta = 89.99 lies past the fold at 89.998568 deg, where R turns over and stops "
         "being invertible"},
        {"MER", {}, true, 0.0, 89.999999999999, "MER: |theta| -> 90deg diverges"},
        {"CYP", {none, -1.0, 2.0}, true, 0.0, 0.0, "CYP: mu + cos theta = 0 (diverges)"},
        {"CEA", {}, false, 0.0, 58.0, "CEA: |lambday| > R_0"},
        {"PAR", {}, false, 0.0, 91.0, "PAR: |y| > 90deg"},
        {"MOL", {}, false, 0.0, 82.0, "MOL: |y| out of range"},
        {"AIT", {}, false, 0.0, 115.0, "AIT: outside the projection ellipse"},
        {"COP",
         {none, 45.0},
         true,
         0.0,
         -45.0,
         "COP: theta = -45 is -90 deg from theta_a = 45; the projection is defined only for "
         "|theta - theta_a| < 90"},
        {"TSC", {}, false, 0.0, 135.0001, "TSC: (0, 135.0001) is outside the cube layout"},
        {"CSC", {}, false, 400.0, 0.0, "CSC: (400, 0) is outside the cube layout"},
        {"QSC", {}, false, -50.0, 0.0, "QSC: (-50, 0) is outside the cube layout"},
        {"HPX", {}, false, 0.0, 80.0, "HPX: outside the projection"},
        {"XPH", {}, false, 0.0, 300.0, "XPH: outside the projection"},
        // Beside a facet: the plane point belongs to no longitude of its quadrant.
        {"XPH", {}, false, 28.0, -95.5, "XPH: outside the projection"},
    };
    for (const DomainCase& c : cases) {
        const Projection p = make(c.code, c.params);
        auto r = c.forward ? p.forward(c.u, c.v) : p.inverse(c.u, c.v);
        ASSERT_FALSE(r.has_value()) << c.message;
        EXPECT_EQ(r.error().kind, Error::Kind::Wcs);
        EXPECT_EQ(r.error().msg, c.message);
    }
}

TEST(Projection, ZpnMapsUpToItsFoldAndOnlyThere) {
    // Monotonic polynomials keep the whole sphere; one that turns over stops at its fold.
    EXPECT_TRUE(make("ZPN", {0.0, 1.0, 0.0, 0.1}).forward(0.0, -89.0).has_value());
    EXPECT_TRUE(make("ZPN", {0.0, 1.0}).forward(30.0, -90.0).has_value());
    // R' = 1 - 0.6 zeta^2 + 0.05 zeta^4 has its first root at zeta^2 = 6 - sqrt(16) = 2; the
    // second, at zeta^2 = 10, lies past pi.
    const Projection p = make("ZPN", {0.0, 1.0, 0.0, -0.2, 0.0, 0.01});
    const double fold = 90.0 - std::sqrt(2.0) * 57.29577951308232;
    EXPECT_TRUE(p.forward(10.0, fold + 1e-6).has_value());
    EXPECT_FALSE(p.forward(10.0, fold - 1e-6).has_value());
    // A point just inside still maps back to itself.
    auto plane = p.forward(10.0, fold + 1e-3);
    ASSERT_TRUE(plane.has_value());
    auto back = p.inverse(plane->a, plane->b);
    ASSERT_TRUE(back.has_value());
    EXPECT_NEAR(back->b, fold + 1e-3, 1e-6);
}

// Radii a hair below the largest one the polynomial reaches belong to points just inside the
// fold, where the slope nearly vanishes: each is answered, inside the fold, and maps back.
TEST(Projection, ZpnAnswersRadiiJustBelowItsFold) {
    const Projection p = make("ZPN", {0.0, 1.0, 0.0, -0.05});
    const double fold = std::sqrt(1.0 / 0.15);
    const double r_max = (fold - 0.05 * fold * fold * fold) * 57.29577951308232;
    for (double below = 1e-13; below < 1e-3; below *= 1.7) {
        const double r = r_max * (1.0 - below);
        auto native = p.inverse(0.3 * r, -std::sqrt(0.91) * r);
        ASSERT_TRUE(native.has_value()) << below << ": " << native.error().msg;
        EXPECT_GE(native->b, 90.0 - fold * 57.29577951308232 - 1e-9) << below;
        auto plane = p.forward(native->a, native->b);
        ASSERT_TRUE(plane.has_value()) << below << ": " << plane.error().msg;
        EXPECT_NEAR(std::hypot(plane->a, plane->b), r, 1e-11) << below;
    }
}

// Sets where Newton's method from rho / P1 steps across the fold for part of the plane and
// lands on a root past it or below the pole: every radius the branch reaches is still answered,
// on the branch, and maps back to its plane point.
TEST(Projection, ZpnAnswersEveryRadiusItsBranchReaches) {
    const std::vector<Params> sets = {{0.0, 1.0, 0.69, 0.01, 0.18, -0.93, -0.51},
                                      {0.0, 1.0, 0.13, 0.85, -0.08, -0.45}};
    for (const Params& pv : sets) {
        const Projection p = make("ZPN", pv);
        // The radius of the fold: the forward projection answers up to it.
        double r_max = 0.0;
        for (double theta = 90.0; p.forward(0.0, theta).has_value(); theta -= 0.01)
            r_max = std::hypot(p.forward(0.0, theta)->a, p.forward(0.0, theta)->b);
        ASSERT_GT(r_max, 40.0);
        for (double r = 0.25; r < r_max; r += 0.25) {
            for (double angle : {0.0, 0.7, 2.0, 3.9, 5.5}) {
                const double x = r * std::sin(angle);
                const double y = -r * std::cos(angle);
                auto native = p.inverse(x, y);
                ASSERT_TRUE(native.has_value()) << r << ": " << native.error().msg;
                auto plane = p.forward(native->a, native->b);
                ASSERT_TRUE(plane.has_value()) << r << ": " << plane.error().msg;
                EXPECT_NEAR(plane->a, x, 1e-9) << r;
                EXPECT_NEAR(plane->b, y, 1e-9) << r;
            }
        }
    }
    // A point where the plain iteration ends below the pole; astropy gives 56.6878.
    auto native = make("ZPN", sets[0]).inverse(-0.0, 43.2984);
    ASSERT_TRUE(native.has_value()) << native.error().msg;
    EXPECT_NEAR(native->b, 56.6878, 1e-4);
}

TEST(Projection, AirRefusesRadiiBeyondItsFold) {
    const Projection p = make("AIR", {std::nullopt, 45.0});
    auto r = p.inverse(1e8, 0.0);
    ASSERT_FALSE(r.has_value());
    const std::string& m = r.error().msg;
    EXPECT_EQ(m.rfind("AIR: R = 100000000 exceeds ", 0), 0u) << m;
    const std::string tail = ", the largest radius this projection reaches before it folds";
    ASSERT_GT(m.size(), tail.size());
    EXPECT_EQ(m.substr(m.size() - tail.size()), tail);
    EXPECT_TRUE(p.inverse(1e6, 0.0).has_value());
}

TEST(Projection, BoundaryPointsInsideTheTolerances) {
    const double r0 = 57.29577951308232;
    auto sin_edge = make("SIN").inverse(r0 + 1e-10, 0.0);
    ASSERT_TRUE(sin_edge.has_value());
    EXPECT_EQ(sin_edge->b, 0.0);
    auto zea_edge = make("ZEA").inverse(2.0 * r0, 0.0);
    ASSERT_TRUE(zea_edge.has_value());
    EXPECT_NEAR(zea_edge->b, -90.0, 1e-12);
    for (const char* cube : {"TSC", "CSC", "QSC"}) {
        auto top = make(cube).inverse(0.0, 135.00000004);
        ASSERT_TRUE(top.has_value()) << cube;
        EXPECT_GT(top->b, 0.0) << cube;
    }
    // TAN at the origin: theta 90 and phi = atan2(+0, -0) = 180.
    auto origin = make("TAN").inverse(0.0, 0.0);
    ASSERT_TRUE(origin.has_value());
    EXPECT_EQ(origin->b, 90.0);
    EXPECT_EQ(origin->a, 180.0);
    auto ait0 = make("AIT").inverse(0.0, 0.0);
    ASSERT_TRUE(ait0.has_value());
    EXPECT_EQ(ait0->a, 0.0);
    EXPECT_EQ(ait0->b, 0.0);
    auto pco = make("PCO").inverse(12.0, 0.0);
    ASSERT_TRUE(pco.has_value());
    EXPECT_EQ(pco->a, 12.0);
    EXPECT_NEAR(pco->b, 0.0, 1e-12);
    auto arc = make("ARC").forward(0.0, -90.0);
    ASSERT_TRUE(arc.has_value());
    EXPECT_NEAR(arc->b, -180.0, 1e-12);
    auto tan45 = make("TAN").forward(0.0, 45.0);
    ASSERT_TRUE(tan45.has_value());
    EXPECT_NEAR(tan45->b, -r0, 1e-12);
}

// XPH normalises longitudes outside [-180, 180) before it picks the quadrant, so a longitude
// and the same longitude plus or minus a turn map to one plane point.
TEST(Projection, XphNormalisesTheLongitude) {
    const Projection p = make("XPH");
    for (double phi : {-170.0, -100.0, -30.0, 0.0, 45.0, 120.0}) {
        for (double th : {-60.0, -20.0, 10.0, 50.0, 80.0}) {
            auto a = p.forward(phi, th);
            auto b = p.forward(phi + 360.0, th);
            auto c = p.forward(phi - 720.0, th);
            ASSERT_TRUE(a && b && c);
            EXPECT_NEAR(a->a, b->a, 1e-9) << phi << " " << th;
            EXPECT_NEAR(a->b, b->b, 1e-9) << phi << " " << th;
            EXPECT_NEAR(a->a, c->a, 1e-9) << phi << " " << th;
            EXPECT_NEAR(a->b, c->b, 1e-9) << phi << " " << th;
            auto back = p.inverse(b->a, b->b);
            ASSERT_TRUE(back.has_value());
            EXPECT_LT(separation(phi, th, back->a, back->b), 1e-9);
            EXPECT_GE(back->a, -180.0);
            EXPECT_LT(back->a, 180.0);
        }
    }
    // 180 is treated as -180.
    auto at180 = p.forward(180.0, 30.0);
    auto atm180 = p.forward(-180.0, 30.0);
    ASSERT_TRUE(at180 && atm180);
    EXPECT_EQ(at180->a, atm180->a);
    EXPECT_EQ(at180->b, atm180->b);
}

// With the projection point below the plane (zp < 0) the inverse used to return phi turned by
// 180 degrees.
TEST(Projection, SzpInverseKeepsTheQuadrantWhenZpIsNegative) {
    const std::optional<double> none;
    for (const Params& params : {Params{none, 2.0, 30.0, -90.0}, Params{none, 3.0, 0.0, -60.0}}) {
        const Projection p = make("SZP", params);
        int mapped = 0;
        for (double phi : {-150.0, -60.0, 0.0, 20.0, 100.0}) {
            for (double th : {20.0, 45.0, 70.0, 85.0}) {
                auto xy = p.forward(phi, th);
                if (!xy) continue;
                ++mapped;
                auto back = p.inverse(xy->a, xy->b);
                ASSERT_TRUE(back.has_value());
                EXPECT_LT(separation(phi, th, back->a, back->b), 1e-9)
                    << phi << " " << th << " -> " << back->a << " " << back->b;
            }
        }
        EXPECT_GE(mapped, 10);
    }
}

}  // namespace
}  // namespace vexlo
