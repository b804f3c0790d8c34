#include "wcs/distortion/tnx.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "wcs/wcs.hpp"
#include "wcs_fixture.hpp"

namespace vexlo {
namespace {

using testing::kv;
using testing::wcs_error;
using testing::wcs_of;

// A TNX or ZPX description at (CRVAL1, CRVAL2) = (150, 2) with these WAT cards.
Header tnx_header(const std::string& code, const std::vector<std::string>& wat) {
    std::vector<std::string> cards = {kv("NAXIS", "2"),
                                      kv("CTYPE1", "'RA---" + code + "'"),
                                      kv("CTYPE2", "'DEC--" + code + "'"),
                                      kv("CRPIX1", "500"),
                                      kv("CRPIX2", "400"),
                                      kv("CRVAL1", "150"),
                                      kv("CRVAL2", "2"),
                                      kv("CD1_1", "-1e-4"),
                                      kv("CD2_2", "1e-4")};
    cards.insert(cards.end(), wat.begin(), wat.end());
    return testing::header_of_cards(cards);
}

TEST(Tnx, PowerSeriesWorkedExample) {
    const Header h = tnx_header(
        "TNX", {kv("WAT1_001", "'wtype=tnx axtype=ra lngcor = \"3. 2. 2. 2. -1. 1. -1. 1. '"),
                kv("WAT1_002", "'0.5 0.1 0.2\"'")});
    const Wcs w = wcs_of(h);
    ASSERT_TRUE(w.celestial && w.celestial->tnx && w.celestial->tnx->lngcor);
    EXPECT_FALSE(w.celestial->tnx->latcor);
    const TnxSurface& s = *w.celestial->tnx->lngcor;
    EXPECT_EQ(s.function_type, 2);
    EXPECT_EQ(s.cross_term, TnxCrossTerm::Half);
    EXPECT_EQ(s.coefficients, (std::vector<double>{0.5, 0.1, 0.2}));
    EXPECT_DOUBLE_EQ(s.eval(0.3, -0.7), 0.5 + 0.1 * 0.3 + 0.2 * -0.7);
}

TEST(Tnx, WatCardsArePaddedTo68CharactersConcatenatedAndStopAtTheFirstGap) {
    // A card value drops the trailing blanks of its piece: padding restores them, so "2." and
    // "5" stay two tokens. A full 68-character piece is joined with nothing between, as IRAF
    // breaks its pieces anywhere, inside numbers too.
    const std::string full = "latcor = \"3. 2. 1. 0. -1. 1. -1. 1. 0.000000000000000000000000000001";
    ASSERT_EQ(full.size(), 68u);
    const Header split = testing::header_of_cards(
        {kv("WAT2_001", "'latcor = \"3. 2. 1. 0. -1. 1. -1. 1. 2.'"), kv("WAT2_002", "'5\"'"),
         kv("WAT3_001", "'" + full + "'"), kv("WAT3_002", "'25 4.\"'"), kv("WAT1_001", "'a'"),
         kv("WAT1_003", "'b'")});
    const auto padded = [](std::string piece) {
        piece.resize(68, ' ');
        return piece;
    };
    EXPECT_EQ(read_wat_string(split, "WAT2_"),
              padded("latcor = \"3. 2. 1. 0. -1. 1. -1. 1. 2.") + padded("5\""));
    EXPECT_EQ(read_wat_string(split, "WAT1_"), padded("a"));
    EXPECT_FALSE(read_wat_string(split, "WAT4_"));
    auto tnx = Tnx::from_wat(std::nullopt, read_wat_string(split, "WAT2_"));
    ASSERT_TRUE(tnx && *tnx);
    // Two coefficients, 2 and 5 (not one 2.5): latcor = 2 + 5 xi.
    EXPECT_DOUBLE_EQ((*tnx)->latcor->eval(0.1, 0.2), 2.5);
    // One coefficient split across the cards: 1.25e-30, then 4.
    auto joined = Tnx::from_wat(std::nullopt, read_wat_string(split, "WAT3_"));
    ASSERT_TRUE(joined && *joined);
    EXPECT_EQ((*joined)->latcor->coefficients, (std::vector<double>{1.25e-30, 4.0}));
}

TEST(Tnx, SurfaceTextFaults) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"4. 2. 2. 0. -1 1 -1 1", "TNX: unknown function_type 4"},
        {"1. 0. 2. 0.", "TNX: implausible orders ni=0, nj=2"},
        {"1. 2. 21. 0.", "TNX: implausible orders ni=2, nj=21"},
        {"1. 2. 2. 3. -1 1 -1 1", "TNX: unknown cross_term 3"},
        {"1. 2.", "TNX: missing token nj"},
        {"1. x 2.", "TNX: bad ni: invalid float literal"},
        {"1. 2. 2. 0. 1 1 -1 1", "TNX: degenerate normalization interval"},
        {"1. 2. 2. 0. -1 1 -1 1 1 2 3 q", "TNX: bad coeff q: invalid float literal"},
        {"1. 2. 2. 2. -1 1 -1 1 1 2 3 4",
         "TNX: coefficient count 4 != expected 3 for ni=2, nj=2, cross=Half"},
        {"1. 2. 2. 0. -1 1 -1 1 1 2",
         "TNX: coefficient count 2 != expected 3 for ni=2, nj=2, cross=None"},
        {"1. 2. 2. 1. -1 1 -1 1 1 2 3",
         "TNX: coefficient count 3 != expected 4 for ni=2, nj=2, cross=Full"},
    };
    for (const auto& [text, message] : cases) {
        auto s = TnxSurface::parse(text);
        ASSERT_FALSE(s.has_value()) << text;
        EXPECT_EQ(s.error().msg, message);
    }
    // A parse fault stops the whole description.
    EXPECT_EQ(wcs_error(tnx_header("TNX", {kv("WAT1_001", "'lngcor = \"4. 1. 1. 0.\"'")})),
              "TNX: unknown function_type 4");
}

TEST(Tnx, GradientsMatchDifferencesForEveryBasis) {
    for (const char* text :
         {"1. 4. 3. 1. -0.1 0.2 -0.3 0.1 1 2 3 4 5 6 7 8 9 10 11 12",
          "2. 4. 3. 2. -0.1 0.2 -0.3 0.1 1 2 3 4 5 6 7 8 9", "3. 3. 4. 0. -1 1 -1 1 1 2 3 4 5 6"}) {
        auto s = TnxSurface::parse(text);
        ASSERT_TRUE(s) << s.error().msg;
        const double x = 0.07, y = -0.13, h = 1e-6;
        double v, dx, dy;
        s->eval_with_gradient(x, y, v, dx, dy);
        EXPECT_NEAR(dx, (s->eval(x + h, y) - s->eval(x - h, y)) / (2 * h), 1e-5) << text;
        EXPECT_NEAR(dy, (s->eval(x, y + h) - s->eval(x, y - h)) / (2 * h), 1e-5) << text;
    }
    // Chebyshev T2(x) = 2x^2 - 1 at the normalised x.
    auto t2 = TnxSurface::parse("1. 3. 1. 0. -1 1 -1 1 0 0 1");
    ASSERT_TRUE(t2);
    EXPECT_DOUBLE_EQ(t2->eval(0.5, 0.0), -0.5);
}

TEST(Tnx, ConstantSurfaceIsUndoneInOneStepAndHeadersWithoutSurfacesAreTheirProjection) {
    Tnx tnx;
    tnx.lngcor = *TnxSurface::parse("1. 1. 1. 0. -1 1 -1 1 0.25");
    double xi = 1.0, eta = 2.0;
    ASSERT_EQ(tnx.inverse(xi, eta), NewtonStatus::Ok);
    EXPECT_EQ(xi, 0.75);
    EXPECT_EQ(eta, 2.0);

    const Wcs bare = wcs_of(tnx_header("TNX", {kv("WAT1_001", "'wtype=tnx axtype=ra'")}));
    ASSERT_TRUE(bare.celestial);
    EXPECT_FALSE(bare.celestial->tnx);
}

TEST(Tnx, TnxAndZpxRoundTrip) {
    const std::vector<std::string> wat = {
        kv("WAT1_001", "'wtype=tnx axtype=ra lngcor = \"1. 3. 3. 2. -0.06 0.06 -0.05 0.05 1e-4'"),
        kv("WAT1_002", "' 2e-4 -3e-4 5e-5 1e-4 -2e-5\"'"),
        kv("WAT2_001", "'wtype=tnx axtype=dec latcor = \"2. 3. 3. 1. -0.06 0.06 -0.05 0.05'"),
        kv("WAT2_002", "' -1e-4 3e-4 1e-5 2e-4 -1e-4 4e-5 3e-5 -2e-5 1e-5\"'")};
    for (const char* code : {"TNX", "ZPX"}) {
        std::vector<std::string> zpn;
        if (std::string(code) == "ZPX") zpn = {kv("PV2_1", "1.0"), kv("PV2_3", "0.2")};
        std::vector<std::string> cards = wat;
        cards.insert(cards.end(), zpn.begin(), zpn.end());
        const Wcs w = wcs_of(tnx_header(code, cards));
        ASSERT_TRUE(w.celestial && w.celestial->tnx) << code;
        std::vector<double> pixels;
        for (int k = 0; k < 50; ++k) {
            pixels.push_back(std::fmod(k * 37.3, 1000.0));
            pixels.push_back(std::fmod(k * 53.9, 800.0));
        }
        const auto world = w.pixel_to_world_batch(pixels);
        ASSERT_TRUE(world);
        const auto back = w.world_to_pixel_batch(*world);
        ASSERT_TRUE(back);
        for (std::size_t i = 0; i < pixels.size(); ++i)
            EXPECT_NEAR((*back)[i], pixels[i], 1e-6) << code << " " << i;
        // The correction moves points: the same header without it lands elsewhere.
        const Wcs plain = wcs_of(tnx_header(code, zpn));
        const auto plain_world = plain.pixel_to_world_batch(pixels);
        ASSERT_TRUE(plain_world);
        EXPECT_GT(std::fabs((*plain_world)[1] - (*world)[1]), 1e-5) << code;
    }
}

}  // namespace
}  // namespace vexlo
