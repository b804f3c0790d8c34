#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
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
