#include "wcs/dss.hpp"

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

// A plate of one millimetre per pixel whose polynomial is one arcsecond per millimetre, centred
// on (0h, 0 deg), with the celestial CTYPEs the pipeline needs to use it.
std::vector<std::string> identity_plate() {
    return {kv("NAXIS", "2"),
            kv("CTYPE1", "'RA---TAN'"),
            kv("CTYPE2", "'DEC--TAN'"),
            kv("CRPIX1", "1"),
            kv("CRPIX2", "1"),
            kv("PLTRAH", "0"),
            kv("PLTDECD", "0"),
            kv("PLTDECSN", "'+'"),
            kv("PPO3", "0"),
            kv("PPO6", "0"),
            kv("XPIXELSZ", "1000"),
            kv("YPIXELSZ", "1000"),
            kv("AMDX1", "1"),
            kv("AMDY1", "1")};
}

std::vector<std::string> with(std::vector<std::string> cards, std::vector<std::string> extra) {
    cards.insert(cards.end(), extra.begin(), extra.end());
    return cards;
}

TEST(DssPlate, PresenceAndHeaderFaults) {
    std::vector<std::string> no_amdy1 = identity_plate();
    no_amdy1.pop_back();
    EXPECT_FALSE(wcs_of(testing::header_of_cards(no_amdy1)).dss);
    // Only the primary description carries a plate.
    auto alt = Wcs::from_header(
        testing::header_of_cards(with(identity_plate(), {kv("CTYPE1A", "'X'")})), U'A');
    ASSERT_TRUE(alt && *alt);
    EXPECT_FALSE((*alt)->dss);

    std::vector<std::string> bad_ra = identity_plate();
    bad_ra[5] = kv("PLTRAH", "'abc'");
    EXPECT_EQ(wcs_error(testing::header_of_cards(bad_ra)), "DSS: missing or non-numeric PLTRAH");
    std::vector<std::string> bad_size = identity_plate();
    bad_size[10] = kv("XPIXELSZ", "'x'");
    EXPECT_EQ(wcs_error(testing::header_of_cards(bad_size)),
              "DSS: missing or non-numeric XPIXELSZ");
    EXPECT_EQ(wcs_of(testing::header_of_cards(with(identity_plate(), {kv("CNPIX1", "'abc'")})))
                  .dss->cnpix1,
              0.0);
}

TEST(DssPlate, DeclinationSigns) {
    struct Case {
        std::vector<std::string> cards;
        double dec;
    };
    const std::vector<Case> cases = {
        {{kv("PLTDECD", "-0.0"), kv("PLTDECSN", "'-'"), kv("PLTDECM", "30")}, -0.5},
        {{kv("PLTDECD", "-10"), kv("PLTDECSN", "'+'"), kv("PLTDECM", "30")}, -10.5},
        {{kv("PLTDECD", "10"), kv("PLTDECSN", "' -'"), kv("PLTDECS", "36")}, -10.01},
        {{kv("PLTDECD", "10"), kv("PLTDECM", "6")}, 10.1},
    };
    for (const Case& c : cases) {
        // The first card of each name wins, so the case's cards go before the plate's.
        std::vector<std::string> cards = c.cards;
        const std::vector<std::string> plate = identity_plate();
        cards.insert(cards.end(), plate.begin(), plate.end());
        const Wcs w = wcs_of(testing::header_of_cards(cards));
        ASSERT_TRUE(w.dss);
        EXPECT_NEAR(w.dss->plate_dec, c.dec, 1e-12) << c.cards[0];
    }
}

TEST(DssPlate, IdentityPlateWorkedNumbers) {
    const Wcs w = wcs_of(testing::header_of_cards(identity_plate()));
    ASSERT_TRUE(w.dss);
    // 1-based pixel (1.5, 1.5): one millimetre west and north of the centre, one arcsecond.
    double ra, dec;
    w.dss->pixel_to_sky(1.5, 1.5, ra, dec);
    EXPECT_NEAR(ra, 360.0 - 1.0 / 3600.0, 1e-12);
    EXPECT_NEAR(dec, 1.0 / 3600.0, 1e-12);
    // The pipeline hands the plate the 1-based pixel and returns 0-based pixels.
    const auto world = w.pixel_to_world(std::vector<double>{0.5, 0.5});
    ASSERT_TRUE(world);
    EXPECT_NEAR((*world)[0], ra, 1e-12);
    EXPECT_NEAR((*world)[1], dec, 1e-12);
    const auto back = w.world_to_pixel(*world);
    ASSERT_TRUE(back);
    EXPECT_NEAR((*back)[0], 0.5, 1e-9);
    EXPECT_NEAR((*back)[1], 0.5, 1e-9);
    // More than 90 degrees away the point is behind the plate.
    EXPECT_EQ(w.world_to_pixel(std::vector<double>{100.0, 0.0}).error().msg,
              "DSS: target point is behind the plate");
    const auto batch = w.world_to_pixel_batch(std::vector<double>{100.0, 0.0, ra, dec});
    ASSERT_TRUE(batch);
    EXPECT_TRUE(std::isnan((*batch)[0]) && std::isnan((*batch)[1]));
    EXPECT_NEAR((*batch)[2], 0.5, 1e-9);
}

TEST(DssPlate, SingularLinearPartIsRefused) {
    const Wcs w = wcs_of(
        testing::header_of_cards(with(identity_plate(), {kv("AMDX2", "1"), kv("AMDY2", "1")})));
    EXPECT_EQ(w.world_to_pixel(std::vector<double>{0.0, 0.0}).error().msg,
              "DSS: linear plate matrix is singular");
}

TEST(DssPlate, FullPlateRoundTrips) {
    const Header h = testing::header_of_cards(
        {kv("NAXIS", "2"),        kv("CTYPE1", "'RA---TAN'"), kv("CTYPE2", "'DEC--TAN'"),
         kv("CRPIX1", "1"),       kv("CRPIX2", "1"),          kv("PLTRAH", "23"),
         kv("PLTRAM", "58"),      kv("PLTRAS", "12.5"),       kv("PLTDECSN", "'-'"),
         kv("PLTDECD", "35"),     kv("PLTDECM", "12"),        kv("PLTDECS", "3.0"),
         kv("PPO3", "177500.0"),  kv("PPO6", "177500.0"),     kv("XPIXELSZ", "25.28"),
         kv("YPIXELSZ", "25.28"), kv("CNPIX1", "6500"),       kv("CNPIX2", "6800"),
         kv("AMDX1", "67.1551"),  kv("AMDX2", "0.0045"),      kv("AMDX3", "-295.1"),
         kv("AMDX4", "-2.3e-5"),  kv("AMDX5", "3.1e-5"),      kv("AMDX6", "1.2e-6"),
         kv("AMDX7", "2.1e-5"),   kv("AMDX8", "1.1e-7"),      kv("AMDX9", "-3.1e-8"),
         kv("AMDX10", "5.0e-8"),  kv("AMDX11", "-2.0e-9"),    kv("AMDX12", "-4.2e-7"),
         kv("AMDX13", "1.5e-10"), kv("AMDY1", "67.1602"),     kv("AMDY2", "-0.0051"),
         kv("AMDY3", "188.7"),    kv("AMDY4", "1.9e-5"),      kv("AMDY5", "-2.6e-5"),
         kv("AMDY6", "3.3e-6"),   kv("AMDY7", "2.0e-5"),      kv("AMDY8", "-1.2e-7"),
         kv("AMDY9", "4.4e-8"),   kv("AMDY10", "-2.5e-8"),    kv("AMDY11", "7.0e-9"),
         kv("AMDY12", "-4.0e-7"), kv("AMDY13", "-1.1e-10")});
    const Wcs w = wcs_of(h);
    ASSERT_TRUE(w.dss);
    EXPECT_NEAR(w.dss->plate_ra, (23 + 58 / 60.0 + 12.5 / 3600.0) * 15.0, 1e-12);
    std::vector<double> pixels;
    for (int k = 0; k < 40; ++k) {
        pixels.push_back(std::fmod(k * 97.1, 1200.0));
        pixels.push_back(std::fmod(k * 61.7, 900.0));
    }
    const auto world = w.pixel_to_world_batch(pixels);
    ASSERT_TRUE(world);
    for (std::size_t i = 0; i < world->size(); i += 2) {
        EXPECT_GE((*world)[i], 0.0);
        EXPECT_LT((*world)[i], 360.0);
    }
    const auto back = w.world_to_pixel_batch(*world);
    ASSERT_TRUE(back);
    for (std::size_t i = 0; i < pixels.size(); ++i)
        EXPECT_NEAR((*back)[i], pixels[i], 1e-7) << i;
}

}  // namespace
}  // namespace vexlo
