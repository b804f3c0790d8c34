#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "wcs/fit.hpp"
#include "wcs/wcs.hpp"
#include "wcs_fixture.hpp"

namespace vexlo {
namespace {

using testing::header_of;
using testing::kv;
using testing::wcs_of;

// A known description with the default pole, as a fit would build it.
Wcs truth_of(const std::string& code, double crval1, double crval2) {
    return wcs_of(
        header_of({kv("NAXIS", "2"), kv("NAXIS1", "400"), kv("NAXIS2", "300"),
                   kv("CTYPE1", "'RA---" + code + "'"), kv("CTYPE2", "'DEC--" + code + "'"),
                   kv("CUNIT1", "'deg'"), kv("CUNIT2", "'deg'"),
                   kv("CRVAL1", std::to_string(crval1)), kv("CRVAL2", std::to_string(crval2)),
                   kv("CRPIX1", "180.25"), kv("CRPIX2", "140.5"), kv("CD1_1", "-0.0021"),
                   kv("CD1_2", "0.0003"), kv("CD2_1", "0.00025"), kv("CD2_2", "0.0019")}));
}

Projection projection_of(const std::string& code) {
    auto p = Projection::from_code(code, {});
    EXPECT_TRUE(p.has_value()) << code;
    return p ? *p : Projection{};
}

struct Points {
    std::vector<Pair2> pixels;
    std::vector<Pair2> sky;
};

// Sky positions of a grid of pixels through `w`.
Points points_of(const Wcs& w, double step = 37.0) {
    Points pts;
    for (double y = 3.0; y < 300.0; y += step) {
        for (double x = 1.0; x < 400.0; x += step * 1.3) {
            auto s = w.pixel_to_world(std::vector<double>{x, y});
            EXPECT_TRUE(s.has_value());
            if (!s) continue;
            pts.pixels.push_back({x, y});
            pts.sky.push_back({(*s)[0], (*s)[1]});
        }
    }
    return pts;
}

WcsFit fitted(const Points& pts, const CelestialFitOptions& o) {
    auto f = fit_celestial_wcs(pts.pixels, pts.sky, o);
    EXPECT_TRUE(f.has_value()) << (f ? "" : f.error().msg);
    return f ? std::move(*f) : WcsFit{};
}

std::string fit_message(const Points& pts, const CelestialFitOptions& o) {
    auto f = fit_celestial_wcs(pts.pixels, pts.sky, o);
    if (f) return "<fitted>";
    EXPECT_EQ(f.error().kind, Error::Kind::Wcs);
    return f.error().msg;
}

// Noiseless points of a known description, fitted with its reference point pinned, give back
// its matrix and reference pixel, and every point lands within 1e-9 pixel of where it came from.
TEST(WcsFit, RecoversAKnownDescriptionFromNoiselessPoints) {
    for (const char* code : {"TAN", "SIN", "ARC", "STG", "ZEA", "AIR", "CAR", "MER", "CEA", "SFL",
                             "AIT", "MOL", "PAR", "CYP"}) {
        const Wcs truth = truth_of(code, 150.0, 20.0);
        const Points pts = points_of(truth);
        CelestialFitOptions o;
        o.projection = projection_of(code);
        o.crval = Pair2{150.0, 20.0};
        const WcsFit f = fitted(pts, o);
        // A failed fit leaves an empty description: stop before reading its axes.
        ASSERT_FALSE(HasFailure()) << code;
        ASSERT_EQ(f.wcs.axes.size(), 2u) << code;
        for (std::size_t k = 0; k < 4; ++k)
            EXPECT_NEAR(f.wcs.linear.matrix[k], truth.linear.matrix[k], 1e-14) << code;
        EXPECT_NEAR(f.wcs.linear.crpix[0], 180.25, 1e-8) << code;
        EXPECT_NEAR(f.wcs.linear.crpix[1], 140.5, 1e-8) << code;
        EXPECT_EQ(f.wcs.axes[0].ctype, std::string("RA---") + code);
        EXPECT_EQ(f.wcs.axes[1].ctype, std::string("DEC--") + code);
        for (std::size_t i = 0; i < pts.sky.size(); ++i) {
            auto p = f.wcs.world_to_pixel(std::vector<double>{pts.sky[i][0], pts.sky[i][1]});
            ASSERT_TRUE(p.has_value()) << code;
            EXPECT_NEAR((*p)[0], pts.pixels[i][0], 1e-9) << code;
            EXPECT_NEAR((*p)[1], pts.pixels[i][1], 1e-9) << code;
        }
        EXPECT_LT(f.rms_arcsec, 1e-6) << code;
        EXPECT_LE(f.rms_arcsec, f.max_arcsec) << code;
    }
}

// The reference point defaults to the spherical centroid of the sky points. Pixels placed in
// pairs symmetric about the reference pixel of a gnomonic description have the reference
// point as their centroid, so the free fit recovers that description exactly, also where
// the points straddle longitude 0.
TEST(WcsFit, FreeReferencePointIsTheCentroid) {
    for (const auto& [lon, lat] : std::vector<Pair2>{{359.95, 0.1}, {80.0, -60.0}}) {
        const Wcs truth = truth_of("TAN", lon, lat);
        Points pts;
        for (const auto& [dx, dy] : std::vector<Pair2>{{40, 3}, {-7, 90}, {120, -75}, {5, 5}}) {
            for (const double sign : {1.0, -1.0}) {
                const std::vector<double> pixel = {179.25 + sign * dx, 139.5 + sign * dy};
                auto s = truth.pixel_to_world(pixel);
                ASSERT_TRUE(s.has_value());
                pts.pixels.push_back({pixel[0], pixel[1]});
                pts.sky.push_back({(*s)[0], (*s)[1]});
            }
        }
        CelestialFitOptions o;
        o.projection = projection_of("TAN");
        const WcsFit f = fitted(pts, o);
        EXPECT_NEAR(f.wcs.linear.crval[0], lon, 1e-9);
        EXPECT_NEAR(f.wcs.linear.crval[1], lat, 1e-9);
        EXPECT_NEAR(f.wcs.linear.crpix[0], 180.25, 1e-7);
        EXPECT_NEAR(f.wcs.linear.crpix[1], 140.5, 1e-7);
        EXPECT_LT(f.max_arcsec, 1e-6);
    }
}

// A pinned reference pixel away from the middle of the points: the reference point is solved
// too, so the pinned pixel lands on its own sky position and noiseless points fit exactly, with
// and without SIP terms. A pinned reference point as well stays where it was put.
TEST(WcsFit, PinnedReferencePixelGetsItsOwnReferencePoint) {
    for (const char* code : {"TAN", "SIN", "ZEA", "CAR", "AIT"}) {
        const Wcs truth = truth_of(code, 150.0, 20.0);
        const Points pts = points_of(truth, 23.0);
        for (const std::optional<std::uint32_t> sip : {std::optional<std::uint32_t>(), {2u}}) {
            CelestialFitOptions o;
            o.projection = projection_of(code);
            o.crpix = Pair2{179.25, 139.5};
            o.sip_order = sip;
            const WcsFit f = fitted(pts, o);
            ASSERT_FALSE(HasFailure()) << code;
            EXPECT_NEAR(f.wcs.linear.crval[0], 150.0, 1e-9) << code;
            EXPECT_NEAR(f.wcs.linear.crval[1], 20.0, 1e-9) << code;
            EXPECT_EQ(f.wcs.linear.crpix[0], 180.25) << code;
            for (std::size_t k = 0; k < 4; ++k)
                EXPECT_NEAR(f.wcs.linear.matrix[k], truth.linear.matrix[k], 1e-12) << code;
            EXPECT_LT(f.max_arcsec, 1e-6) << code;
        }
    }
    const Points pts = points_of(truth_of("TAN", 150.0, 20.0), 23.0);
    CelestialFitOptions o;
    o.projection = projection_of("TAN");
    o.crpix = Pair2{179.25, 139.5};
    o.crval = Pair2{150.01, 20.0};
    const WcsFit f = fitted(pts, o);
    EXPECT_EQ(f.wcs.linear.crval[0], 150.01);
    EXPECT_EQ(f.wcs.linear.crval[1], 20.0);
}

TEST(WcsFit, ThreePointsFixTheSixLinearUnknowns) {
    Points pts;
    pts.pixels = {{100, 100}, {200, 100}, {100, 200}};
    pts.sky = {{10.00, -5.00}, {10.05, -5.00}, {10.00, -4.95}};
    CelestialFitOptions o;
    o.projection = projection_of("TAN");
    const WcsFit f = fitted(pts, o);
    EXPECT_LT(f.rms_arcsec, 1e-6);
    ASSERT_EQ(f.residuals_arcsec.size(), 3u);
    EXPECT_EQ(f.wcs.radesys, RadeSys::Icrs);
    EXPECT_FALSE(f.wcs.pixel_shape.has_value());

    // A pinned CRPIX needs only two points; a galactic fit records no equatorial system.
    pts.pixels.pop_back();
    pts.sky.pop_back();
    o.crpix = Pair2{99.0, 99.0};
    o.frame = CelestialFrame::Galactic;
    const WcsFit g = fitted(pts, o);
    EXPECT_EQ(g.wcs.linear.crpix[0], 100.0);
    EXPECT_EQ(g.wcs.axes[0].ctype, "GLON-TAN");
    EXPECT_EQ(g.wcs.axes[1].ctype, "GLAT-TAN");
    EXPECT_EQ(g.wcs.radesys, RadeSys::Other);
}

TEST(WcsFit, PinnedReferenceAtThePole) {
    const Wcs truth = truth_of("TAN", 0.0, 90.0);
    const Points pts = points_of(truth);
    CelestialFitOptions o;
    o.projection = projection_of("TAN");
    o.crval = Pair2{0.0, 90.0};
    const WcsFit f = fitted(pts, o);
    EXPECT_EQ(f.wcs.celestial->rotation.delta_p, 90.0);
    EXPECT_LT(f.max_arcsec, 1e-5);
}

// The fitted reference system is the caller's for an equatorial frame.
TEST(WcsFit, RecordsTheRequestedEquatorialSystem) {
    const Points pts = points_of(truth_of("TAN", 30.0, 40.0));
    for (const RadeSys r : {RadeSys::Icrs, RadeSys::Fk5, RadeSys::Fk4}) {
        CelestialFitOptions o;
        o.projection = projection_of("TAN");
        o.radesys = r;
        EXPECT_EQ(fitted(pts, o).wcs.radesys, r);
    }
}

TEST(WcsFit, RefusesTooFewAndDegeneratePoints) {
    CelestialFitOptions free_crpix;
    free_crpix.projection = projection_of("TAN");
    CelestialFitOptions pinned = free_crpix;
    pinned.crpix = Pair2{10.0, 10.0};
    const Points two{{{1, 1}, {2, 2}}, {{10, 10}, {10.1, 10.1}}};
    const Points one{{{1, 1}}, {{10, 10}}};
    const Points collinear{{{0, 0}, {1, 1}, {2, 2}}, {{10, 10}, {10.1, 10.1}, {10.2, 10.2}}};
    const Points mismatch{{{0, 0}, {1, 1}, {2, 2}}, {{10, 10}, {10.1, 10.1}}};
    const Points far_side{{{0, 0}, {1, 0}, {0, 1}}, {{10, 0}, {190, 0}, {10, 1}}};
    EXPECT_EQ(fit_message(two, free_crpix),
              "fit_celestial_wcs: need >=3 points (or pin CRPIX) for a linear fit");
    EXPECT_EQ(fit_message(one, pinned),
              "fit_celestial_wcs: need >=2 points even with CRPIX pinned");
    EXPECT_EQ(fit_message(mismatch, free_crpix),
              "fit_celestial_wcs: pixel/sky length mismatch (3 vs 2)");
    EXPECT_EQ(fit_message(collinear, free_crpix),
              "least-squares: rank-deficient column 1 (norm ~= 0); inputs may be collinear");
    EXPECT_EQ(fit_message(collinear, pinned),
              "least-squares: rank-deficient column 1 (norm ~= 0); inputs may be collinear");
    // A point on the far side of the sphere is outside the gnomonic projection's domain.
    EXPECT_NE(fit_message(far_side, free_crpix), "<fitted>");
}

// A distorted camera: the SIP fit takes the residuals of the linear fit from arcseconds to
// a small fraction of a milliarcsecond, and its reverse polynomials bring the sky back to
// the pixels.
TEST(WcsFit, SipFitRemovesAPolynomialDistortion) {
    const Wcs truth = wcs_of(header_of(
        {kv("NAXIS", "2"),      kv("CTYPE1", "'RA---TAN-SIP'"), kv("CTYPE2", "'DEC--TAN-SIP'"),
         kv("CRVAL1", "150.0"), kv("CRVAL2", "20.0"),           kv("CRPIX1", "200.5"),
         kv("CRPIX2", "150.5"), kv("CD1_1", "-2.0E-4"),         kv("CD1_2", "1.0E-5"),
         kv("CD2_1", "1.2E-5"), kv("CD2_2", "2.1E-4"),          kv("A_ORDER", "3"),
         kv("B_ORDER", "3"),    kv("A_2_0", "2.0E-5"),          kv("A_1_1", "-1.0E-5"),
         kv("A_0_2", "4.0E-6"), kv("A_3_0", "3.0E-8"),          kv("B_0_2", "1.5E-5"),
         kv("B_1_1", "6.0E-6"), kv("B_2_1", "-2.0E-8")}));
    const Points pts = points_of(truth, 19.0);
    CelestialFitOptions o;
    o.projection = projection_of("TAN");
    o.crval = Pair2{150.0, 20.0};
    o.crpix = Pair2{199.5, 149.5};
    const WcsFit linear = fitted(pts, o);
    o.sip_order = 3;
    const WcsFit sip = fitted(pts, o);
    EXPECT_GT(linear.max_arcsec, 0.5);
    EXPECT_LT(sip.max_arcsec, 1e-6);
    EXPECT_EQ(sip.wcs.axes[0].ctype, "RA---TAN-SIP");
    ASSERT_TRUE(sip.wcs.celestial->sip);
    ASSERT_TRUE(sip.wcs.celestial->sip->ap && sip.wcs.celestial->sip->bp);
    double worst = 0.0;
    for (std::size_t i = 0; i < pts.sky.size(); ++i) {
        auto p = sip.wcs.world_to_pixel(std::vector<double>{pts.sky[i][0], pts.sky[i][1]});
        ASSERT_TRUE(p.has_value());
        worst =
            std::fmax(worst, std::hypot((*p)[0] - pts.pixels[i][0], (*p)[1] - pts.pixels[i][1]));
    }
    // The reverse polynomials are a fit of their own, not an exact inverse.
    EXPECT_LT(worst, 1e-3);
    // The forward model is the true one: matrix and coefficients come back.
    for (std::size_t k = 0; k < 4; ++k)
        EXPECT_NEAR(sip.wcs.linear.matrix[k], truth.linear.matrix[k], 1e-15);
    const auto& a_fit = sip.wcs.celestial->sip->a.coefficients;
    const auto& a_true = truth.celestial->sip->a.coefficients;
    for (std::size_t k = 0; k < a_fit.size(); ++k)
        EXPECT_NEAR(a_fit[k], a_true[k], 1e-12) << k;

    // With the reference pixel free the fit finds it too.
    o.crpix.reset();
    o.fit_sip_inverse = false;
    const WcsFit free_crpix = fitted(pts, o);
    EXPECT_NEAR(free_crpix.wcs.linear.crpix[0], 200.5, 1e-7);
    EXPECT_NEAR(free_crpix.wcs.linear.crpix[1], 150.5, 1e-7);
    EXPECT_LT(free_crpix.max_arcsec, 1e-6);
    o.crpix = Pair2{199.5, 149.5};
    o.fit_sip_inverse = true;
    // The fitted description survives its own header, SIP cards included.
    auto h = sip.wcs.to_header(U' ');
    ASSERT_TRUE(h.has_value());
    EXPECT_EQ(h->get_i64("AP_ORDER"), 3);
    const Wcs back = wcs_of(*h);
    for (std::size_t i = 0; i < pts.pixels.size(); i += 7) {
        auto a = sip.wcs.pixel_to_world(std::vector<double>{pts.pixels[i][0], pts.pixels[i][1]});
        auto b = back.pixel_to_world(std::vector<double>{pts.pixels[i][0], pts.pixels[i][1]});
        ASSERT_TRUE(a && b);
        EXPECT_NEAR((*a)[0], (*b)[0], 1e-12 * 150.0);
        EXPECT_NEAR((*a)[1], (*b)[1], 1e-12 * 20.0);
    }

    o.fit_sip_inverse = false;
    const WcsFit forward_only = fitted(pts, o);
    EXPECT_FALSE(forward_only.wcs.celestial->sip->ap);
    EXPECT_FALSE(forward_only.wcs.celestial->sip->bp);
}

TEST(WcsFit, SipOrdersAndTermCounts) {
    for (const auto& [order, count] :
         std::vector<std::pair<std::uint32_t, std::size_t>>{{2, 3}, {3, 7}, {9, 52}}) {
        const auto pairs = sip_exponent_pairs(order);
        EXPECT_EQ(pairs.size(), count) << order;
        for (const auto& [p, q] : pairs) {
            EXPECT_GE(p + q, 2u);
            EXPECT_LE(p + q, order);
        }
    }
    EXPECT_EQ(sip_exponent_pairs(3).front(), (std::pair<std::uint32_t, std::uint32_t>{0, 2}));
    EXPECT_EQ(sip_exponent_pairs(3).back(), (std::pair<std::uint32_t, std::uint32_t>{3, 0}));

    const Points many = points_of(truth_of("TAN", 10.0, 10.0));
    Points five;
    for (std::size_t i = 0; i < 5; ++i) {
        five.pixels.push_back(many.pixels[i * 7]);
        five.sky.push_back(many.sky[i * 7]);
    }
    CelestialFitOptions o;
    o.projection = projection_of("TAN");
    for (const auto& [order, pts, message] :
         std::vector<std::tuple<std::uint32_t, Points, std::string>>{
             {1, many, "SIP fit: order 1 too low (constant/linear absorbed by CRPIX/CD)"},
             {10, many, "SIP fit: order 10 exceeds SIP_MAX_ORDER (9)"},
             // Constant, two linear and seven SIP terms per plane coordinate.
             {3, five, "least-squares: under-determined system (5 equations, 10 unknowns)"}}) {
        o.sip_order = order;
        EXPECT_EQ(fit_message(pts, o), message);
    }
}

TEST(WcsFit, LeastSquaresSolvesAndRefuses) {
    // y = 2 + 3t sampled exactly at four points: the least-squares solution is exact.
    std::vector<double> a = {1, 0, 1, 1, 1, 2, 1, 3};
    std::vector<double> b = {2, 5, 8, 11};
    auto x = least_squares_qr(a, b, 4, 2);
    ASSERT_TRUE(x.has_value());
    EXPECT_NEAR((*x)[0], 2.0, 1e-14);
    EXPECT_NEAR((*x)[1], 3.0, 1e-14);
    // An inconsistent system: the mean is the least-squares constant.
    a = {1, 1, 1};
    b = {1, 2, 6};
    x = least_squares_qr(a, b, 3, 1);
    ASSERT_TRUE(x.has_value());
    EXPECT_NEAR((*x)[0], 3.0, 1e-14);

    a = {1, 2, 3, 4};
    b = {1, 2};
    EXPECT_EQ(least_squares_qr(a, b, 1, 4).error().msg,
              "least-squares: under-determined system (1 equations, 4 unknowns)");
    a = {1, 0, 1, 0, 1, 0};
    b = {1, 2, 3};
    EXPECT_EQ(least_squares_qr(a, b, 3, 2).error().msg,
              "least-squares: rank-deficient column 1 (norm ~= 0); inputs may be collinear");
}

}  // namespace
}  // namespace vexlo
