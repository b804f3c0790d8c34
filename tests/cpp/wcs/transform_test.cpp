#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "wcs/wcs.hpp"
#include "wcs_fixture.hpp"

namespace vexlo {
namespace {

using testing::header_of;
using testing::kv;
using testing::sample_header;
using testing::wcs_of;

Header tan_header(std::initializer_list<std::string> extra = {}) {
    std::vector<std::string> cards = {
        kv("NAXIS", "2"),
        kv("NAXIS1", "100"),
        kv("NAXIS2", "200"),
        kv("CTYPE1", "'RA---TAN'"),
        kv("CTYPE2", "'DEC--TAN'"),
        kv("CRPIX1", "512"),
        kv("CRPIX2", "512"),
        kv("CRVAL1", "150.0"),
        kv("CRVAL2", "2.0"),
        kv("CD1_1", "-0.000277777777777778"),
        kv("CD2_2", "0.000277777777777778"),
    };
    cards.insert(cards.end(), extra.begin(), extra.end());
    Bytes bytes;
    for (const std::string& c : cards)
        append_bytes(bytes, testing::card(c));
    return Header(std::move(bytes));
}

// Every sample header maps a grid of pixels to the sky and back, one point at a time and in a
// batch, and both ways agree.
TEST(WcsTransform, SampleHeadersRoundTripPixelWorldPixel) {
    for (const char* code : testing::kSampleProjections) {
        const Wcs w = wcs_of(sample_header(code));
        ASSERT_TRUE(w.celestial.has_value()) << code;
        std::vector<double> pixels;
        for (double y = 0; y < 192; y += 19) {
            for (double x = 0; x < 192; x += 23) {
                pixels.push_back(x);
                pixels.push_back(y);
            }
        }
        auto world = w.pixel_to_world_batch(pixels);
        ASSERT_TRUE(world.has_value()) << code;
        auto back = w.world_to_pixel_batch(*world);
        ASSERT_TRUE(back.has_value()) << code;
        int mapped = 0;
        // CSC's published forward and inverse polynomials are only approximate inverses of each
        // other: a round trip drifts by up to a fifth of a pixel on this sample.
        const double tolerance = std::string(code) == "CSC" ? 0.25 : 1e-9;
        for (std::size_t i = 0; i < pixels.size(); i += 2) {
            auto one = w.pixel_to_world(std::span<const double>(pixels).subspan(i, 2));
            if (std::isnan((*world)[i])) {
                EXPECT_FALSE(one.has_value())
                    << code << " pixel " << pixels[i] << "," << pixels[i + 1];
                continue;
            }
            ++mapped;
            ASSERT_TRUE(one.has_value()) << code;
            EXPECT_EQ((*one)[0], (*world)[i]) << code;
            EXPECT_EQ((*one)[1], (*world)[i + 1]) << code;
            EXPECT_NEAR((*back)[i], pixels[i], tolerance)
                << code << " at " << pixels[i] << "," << pixels[i + 1];
            EXPECT_NEAR((*back)[i + 1], pixels[i + 1], tolerance) << code;
            auto single_back = w.world_to_pixel(std::span<const double>(*world).subspan(i, 2));
            ASSERT_TRUE(single_back.has_value()) << code;
            EXPECT_EQ((*single_back)[0], (*back)[i]) << code;
        }
        EXPECT_GT(mapped, 20) << code;
    }
}

// Large batches are split over threads; every row must still be its own point's result, NaN
// rows included.
TEST(WcsTransform, LargeBatchesEqualPointByPointResults) {
    const Wcs sky = wcs_of(sample_header("SIN"));
    const Wcs cube =
        wcs_of(header_of({kv("NAXIS", "3"), kv("CTYPE1", "'RA---AIT'"), kv("CTYPE2", "'DEC--AIT'"),
                          kv("CTYPE3", "'STOKES'"), kv("CRPIX1", "50"), kv("CRPIX2", "50"),
                          kv("CDELT1", "-2"), kv("CDELT2", "2")}));
    for (const Wcs* w : {&sky, &cube}) {
        const std::size_t n = w->naxis();
        const std::size_t points = 70001;  // more than one chunk of a threaded batch
        std::vector<double> pixels(points * n);
        std::uint64_t state = 12345;
        for (double& v : pixels) {
            state = state * 6364136223846793005ull + 1442695040888963407ull;
            v = static_cast<double>(state >> 40) / static_cast<double>(1u << 24) * 3000.0 - 1000.0;
        }
        auto world = w->pixel_to_world_batch(pixels);
        ASSERT_TRUE(world.has_value());
        auto back = w->world_to_pixel_batch(*world);
        ASSERT_TRUE(back.has_value());
        std::size_t failed = 0;
        for (std::size_t p = 0; p < points; p += 1) {
            const auto in = std::span<const double>(pixels).subspan(p * n, n);
            auto one = w->pixel_to_world(in);
            if (!one) {
                ++failed;
                for (std::size_t k = 0; k < n; ++k)
                    ASSERT_TRUE(std::isnan((*world)[p * n + k]));
                continue;
            }
            for (std::size_t k = 0; k < n; ++k)
                ASSERT_EQ((*one)[k], (*world)[p * n + k]) << p;
            auto inv = w->world_to_pixel(*one);
            ASSERT_TRUE(inv.has_value());
            for (std::size_t k = 0; k < n; ++k)
                ASSERT_EQ((*inv)[k], (*back)[p * n + k]) << p;
        }
        EXPECT_GT(failed, 0u);
        EXPECT_LT(failed, points);
    }
}

TEST(WcsTransform, ReferencePixelMapsToTheReferenceValue) {
    const Wcs w = wcs_of(tan_header());
    const double ref[] = {511.0, 511.0};
    auto world = w.pixel_to_world(ref);
    ASSERT_TRUE(world.has_value());
    EXPECT_NEAR((*world)[0], 150.0, 1e-12);
    EXPECT_NEAR((*world)[1], 2.0, 1e-12);
    const double crval[] = {150.0, 2.0};
    auto pix = w.world_to_pixel(crval);
    ASSERT_TRUE(pix.has_value());
    EXPECT_NEAR((*pix)[0], 511.0, 1e-9);
    EXPECT_NEAR((*pix)[1], 511.0, 1e-9);
    auto scale = w.pixel_scale_at(511.0, 511.0);
    ASSERT_TRUE(scale.has_value());
    EXPECT_NEAR(scale->first, 1.0, 1e-9);
    EXPECT_NEAR(scale->second, 1.0, 1e-9);
}

TEST(WcsTransform, CountsAreChecked) {
    const Wcs w = wcs_of(tan_header());
    const double three[] = {1.0, 2.0, 3.0};
    auto one = w.pixel_to_world(three);
    ASSERT_FALSE(one.has_value());
    EXPECT_EQ(one.error().msg, "expected 2 pixel coordinates, got 3");
    auto inv = w.world_to_pixel(three);
    ASSERT_FALSE(inv.has_value());
    EXPECT_EQ(inv.error().msg, "expected 2 world coordinates, got 3");
    const double five[] = {1, 2, 3, 4, 5};
    auto batch = w.pixel_to_world_batch(five);
    ASSERT_FALSE(batch.has_value());
    EXPECT_EQ(batch.error().msg, "expected a whole multiple of 2 pixel coordinates, got 5");
    auto wbatch = w.world_to_pixel_batch(five);
    ASSERT_FALSE(wbatch.has_value());
    EXPECT_EQ(wbatch.error().msg, "expected a whole multiple of 2 world coordinates, got 5");
    auto empty = w.pixel_to_world_batch(std::span<const double>());
    ASSERT_TRUE(empty.has_value());
    EXPECT_TRUE(empty->empty());

    const Wcs cube = wcs_of(header_of({kv("NAXIS", "3"), kv("CTYPE1", "'RA---TAN'"),
                                       kv("CTYPE2", "'DEC--TAN'"), kv("CTYPE3", "'FREQ'")}));
    const double seven[] = {1, 2, 3, 4, 5, 6, 7};
    auto cb = cube.pixel_to_world_batch(seven);
    ASSERT_FALSE(cb.has_value());
    EXPECT_EQ(cb.error().msg, "expected a whole multiple of 3 pixel coordinates, got 7");
}

// A point outside the projection fails alone and becomes a NaN row in a batch.
TEST(WcsTransform, BatchesTurnFailingPointsIntoNaNRows) {
    const Wcs w = wcs_of(
        header_of({kv("NAXIS", "2"), kv("CTYPE1", "'RA---SIN'"), kv("CTYPE2", "'DEC--SIN'"),
                   kv("CRPIX1", "1"), kv("CRPIX2", "1"), kv("CDELT1", "1"), kv("CDELT2", "1")}));
    const double pixels[] = {0.0, 0.0, 70.0, 0.0, 10.0, -5.0};
    auto batch = w.pixel_to_world_batch(pixels);
    ASSERT_TRUE(batch.has_value());
    EXPECT_TRUE(std::isfinite((*batch)[0]) && std::isfinite((*batch)[1]));
    EXPECT_TRUE(std::isnan((*batch)[2]) && std::isnan((*batch)[3]));
    EXPECT_TRUE(std::isfinite((*batch)[4]) && std::isfinite((*batch)[5]));
    auto alone = w.pixel_to_world(std::span<const double>(pixels).subspan(2, 2));
    ASSERT_FALSE(alone.has_value());
    EXPECT_EQ(alone.error().msg, "SIN: x^2+y^2 > R_0^2");
    // The general path does the same for a three-axis cube.
    const Wcs cube =
        wcs_of(header_of({kv("NAXIS", "3"), kv("CTYPE1", "'RA---SIN'"), kv("CTYPE2", "'DEC--SIN'"),
                          kv("CTYPE3", "'STOKES'"), kv("CRPIX1", "1"), kv("CRPIX2", "1")}));
    const double cube_pixels[] = {0.0, 0.0, 0.0, 70.0, 0.0, 3.0};
    auto cb = cube.pixel_to_world_batch(cube_pixels);
    ASSERT_TRUE(cb.has_value());
    EXPECT_TRUE(std::isfinite((*cb)[0]));
    EXPECT_EQ((*cb)[2], 1.0);
    for (int k = 3; k < 6; ++k)
        EXPECT_TRUE(std::isnan((*cb)[k]));
}

TEST(WcsTransform, CelestialValuesIgnoreTheOtherAxesOfACube) {
    const Wcs cube = wcs_of(header_of(
        {kv("NAXIS", "3"), kv("CTYPE1", "'RA---TAN'"), kv("CTYPE2", "'DEC--TAN'"),
         kv("CTYPE3", "'VOPT'"), kv("CRPIX1", "10"), kv("CRPIX2", "10"), kv("CRPIX3", "1"),
         kv("CDELT1", "-0.01"), kv("CDELT2", "0.01"), kv("CDELT3", "2.5"), kv("CRVAL1", "30"),
         kv("CRVAL2", "40"), kv("CRVAL3", "1000")}));
    const double a[] = {3.0, 4.0, 0.0};
    const double b[] = {3.0, 4.0, 7.0};
    auto wa = cube.pixel_to_world(a);
    auto wb = cube.pixel_to_world(b);
    ASSERT_TRUE(wa && wb);
    EXPECT_EQ((*wa)[0], (*wb)[0]);
    EXPECT_EQ((*wa)[1], (*wb)[1]);
    EXPECT_DOUBLE_EQ((*wb)[2], 1000.0 + 2.5 * 7.0);
    auto back = cube.world_to_pixel(*wb);
    ASSERT_TRUE(back.has_value());
    for (int k = 0; k < 3; ++k)
        EXPECT_NEAR((*back)[k], b[k], 1e-9);
}

TEST(WcsTransform, UnresolvedTabAxesRefuseEveryTransform) {
    const Wcs w = wcs_of(header_of({kv("NAXIS", "2"), kv("NAXIS1", "4"), kv("NAXIS2", "4"),
                                    kv("CTYPE1", "'WAVE-TAB'"), kv("CTYPE2", "'X'"),
                                    kv("PS1_0", "'T'"), kv("PS1_1", "'C'")}));
    ASSERT_EQ(w.tab_specs.size(), 1u);
    EXPECT_EQ(w.tab_specs[0].axis, 0u);
    const std::string msg =
        "WCS has 1 unresolved -TAB axis spec(s); call FitsFile::wcs() or Wcs::resolve_tab() to "
        "load them";
    const double p[] = {1.0, 1.0};
    EXPECT_EQ(w.pixel_to_world(p).error().msg, msg);
    EXPECT_EQ(w.world_to_pixel(p).error().msg, msg);
    EXPECT_EQ(w.pixel_to_world_batch(p).error().msg, msg);
    EXPECT_EQ(w.footprint().error().msg, msg);
    EXPECT_EQ(w.pixel_to_world_batch(std::span<const double>()).error().msg, msg);
}

TEST(WcsTransform, FootprintWalksTheCornersInGrayCodeOrder) {
    const Wcs w = wcs_of(
        header_of({kv("NAXIS", "2"), kv("NAXIS1", "100"), kv("NAXIS2", "200"), kv("CTYPE1", "'X'"),
                   kv("CRVAL1", "10"), kv("CRVAL2", "20"), kv("CRPIX1", "1"), kv("CRPIX2", "1")}));
    auto fp = w.footprint();
    ASSERT_TRUE(fp.has_value());
    const std::vector<double> expected = {10, 20, 109, 20, 109, 219, 10, 219};
    EXPECT_EQ(*fp, expected);

    // WCSAXES above NAXIS: the extra axis sits at its reference pixel in every corner.
    const Wcs extra = wcs_of(header_of({kv("NAXIS", "1"), kv("NAXIS1", "5"), kv("WCSAXES", "2"),
                                        kv("CRPIX2", "3"), kv("CRVAL2", "7")}));
    auto fe = extra.footprint();
    ASSERT_TRUE(fe.has_value());
    EXPECT_EQ(*fe, (std::vector<double>{1, 7, 5, 7}));

    const Wcs zero = wcs_of(
        header_of({kv("NAXIS", "2"), kv("NAXIS1", "100"), kv("NAXIS2", "0"), kv("CRVAL1", "1")}));
    EXPECT_EQ(zero.footprint().error().msg, "footprint: image has a zero-length axis");
    const Wcs no_shape = wcs_of(header_of({kv("NAXIS", "2"), kv("CRVAL1", "1")}));
    EXPECT_EQ(no_shape.footprint().error().msg,
              "footprint: this WCS carries no image shape (fitted, or a header without NAXISn "
              "cards)");
    const Wcs many = wcs_of(
        header_of({kv("NAXIS", "1"), kv("NAXIS1", "2"), kv("WCSAXES", "17"), kv("CRVAL1", "1")}));
    EXPECT_EQ(many.footprint().error().msg,
              "footprint: 17 axes would need 2^17 corners; the limit is 16 axes");
}

TEST(WcsTransform, PixelScaleNeedsACelestialPair) {
    const Wcs w = wcs_of(header_of({kv("NAXIS", "2"), kv("CRVAL1", "1")}));
    auto s = w.pixel_scale_at(0, 0);
    ASSERT_FALSE(s.has_value());
    EXPECT_EQ(s.error().msg, "pixel_scale_at: WCS has no celestial pair");
}

}  // namespace
}  // namespace vexlo
