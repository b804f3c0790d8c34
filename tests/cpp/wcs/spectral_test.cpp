#include "wcs/spectral.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace vexlo {
namespace {

using Outcome = SpectralCtypeParse::Outcome;

TEST(SpectralCtype, Recognition) {
    struct Case {
        const char* ctype;
        Outcome outcome;
        std::string code;
    };
    const std::vector<Case> cases = {
        {"FREQ", Outcome::Spectral, ""},           {"FREQ----", Outcome::Spectral, ""},
        {"freq-log", Outcome::Spectral, "log"},    {" VOPT-F2W ", Outcome::Spectral, "F2W"},
        {"WAVE-TAB", Outcome::NotSpectral, ""},    {"FREQUENCY", Outcome::NotSpectral, ""},
        {"FRE", Outcome::NotSpectral, ""},         {"VELOCITY", Outcome::NotSpectral, ""},
        {"FREQ-XYZ", Outcome::UnknownCode, "XYZ"}, {"FREQ--LOG", Outcome::UnknownCode, "-LOG"},
        {"WAVE-W2W", Outcome::UnknownCode, "W2W"}, {"VRAD-F2W", Outcome::WrongAssociate, "F2W"},
    };
    for (const Case& c : cases) {
        const SpectralCtypeParse p = parse_spectral_ctype(c.ctype);
        EXPECT_EQ(p.outcome, c.outcome) << c.ctype;
        if (!c.code.empty()) {
            EXPECT_EQ(p.code, c.code) << c.ctype;
        }
    }
    const SpectralCtypeParse log = parse_spectral_ctype("freq-log");
    ASSERT_TRUE(log.algorithm);
    EXPECT_EQ(log.algorithm->kind, SpectralAlgorithm::Kind::Log);
    EXPECT_EQ(parse_spectral_ctype("VRAD-F2W").expected, 'F');
    EXPECT_EQ(parse_spectral_ctype("AWAV-GRA").algorithm->air, true);
}

TEST(SpectralAxis, LogAxisAndRestQuantities) {
    // freq-log in MHz: forward(x) = S_r exp(x f / S_r) / f.
    auto log = SpectralAxis::make(0, SpectralCtype::Freq, SpectralAlgorithm::from_code("LOG"),
                                  "MHz", 1400.0, std::nullopt, std::nullopt, std::nullopt);
    ASSERT_TRUE(log) << log.error().msg;
    EXPECT_DOUBLE_EQ(*log->forward(0.0), 1400.0);
    EXPECT_NEAR(*log->forward(3.0), 1.4e9 * std::exp(3e6 / 1.4e9) / 1e6, 1e-9);
    EXPECT_NEAR(*log->inverse(*log->forward(3.0)), 3.0, 1e-9);
    EXPECT_EQ(log->inverse(-5.0).error().msg,
              "spectral -LOG inverse: CRVAL and S must be non-zero and share a sign");

    // RESTFRQ wins over RESTWAV.
    auto both =
        SpectralAxis::make(0, SpectralCtype::Vrad, std::nullopt, "", 0.0, 1e9, 0.5, std::nullopt);
    ASSERT_TRUE(both);
    EXPECT_EQ(*both->rest_frequency(), 1e9);
    auto wav = SpectralAxis::make(0, SpectralCtype::Vrad, std::nullopt, "", 0.0, std::nullopt, 0.5,
                                  std::nullopt);
    EXPECT_DOUBLE_EQ(*wav->rest_frequency(), 299792458.0 / 0.5);
    auto none = SpectralAxis::make(0, SpectralCtype::Vrad, std::nullopt, "", 0.0, std::nullopt,
                                   std::nullopt, std::nullopt);
    EXPECT_EQ(none->rest_frequency().error().msg,
              "spectral: RESTFRQ or RESTWAV required for this transform");
}

TEST(SpectralAxis, GrismDisperserChecks) {
    GrismParams p;
    p.g = 3e5;
    p.m = 1.0;
    p.epsilon = 90.0;  // cos(90 deg) is 6e-17 in doubles, not 0: accepted, D is huge
    auto tilted = SpectralAxis::make(0, SpectralCtype::Wave, SpectralAlgorithm::from_code("GRI"),
                                     "m", 5e-7, std::nullopt, std::nullopt, p);
    EXPECT_TRUE(tilted.has_value());
    auto missing = SpectralAxis::make(2, SpectralCtype::Wave, SpectralAlgorithm::from_code("GRI"),
                                      "m", 5e-7, std::nullopt, std::nullopt, std::nullopt);
    EXPECT_EQ(missing.error().msg,
              "spectral axis 3 (-GRI/-GRA) has no PV3_m disperser parameters (Paper III "
              "Sec.5.1.3)");
    // A reference wavelength the grating cannot diffract: the reference X is the first step to
    // meet it.
    GrismParams far = p;
    far.epsilon = 0.0;
    auto bad = SpectralAxis::make(0, SpectralCtype::Wave, SpectralAlgorithm::from_code("GRI"), "m",
                                  5e-6, std::nullopt, std::nullopt, far);
    ASSERT_TRUE(bad);
    EXPECT_EQ(bad->forward(0.0).error().msg,
              "grism: sin(gamma) = 1.5000000000000002 is out of range -- wavelength 0.000005 m is "
              "outside the disperser's domain");
}

TEST(AirWavelength, RefractionBothWays) {
    // Each result is checked before it is read, so a regression names this test.
    const auto resonance = air_to_vacuum(1.5e-7);
    ASSERT_FALSE(resonance.has_value());
    EXPECT_EQ(resonance.error().msg,
              "spectral: air wavelength 0.00000015 m is at or below the refractivity resonances "
              "(0.156 um); the relation is defined for lambda > 200 nm");
    const auto zero = air_to_vacuum(0.0);
    ASSERT_FALSE(zero.has_value());
    EXPECT_EQ(zero.error().msg, "spectral: air wavelength must be positive");
    const auto negative = vacuum_to_air(-1.0);
    ASSERT_FALSE(negative.has_value());
    EXPECT_EQ(negative.error().msg, "spectral: vacuum wavelength must be positive");
    const auto vac = air_to_vacuum(5e-7);
    ASSERT_TRUE(vac.has_value());
    EXPECT_NEAR(*vac / 5e-7 - 1.0, 2.8e-4, 0.05e-4);
    for (double lambda : {2.5e-7, 5e-7, 1e-6, 2e-5}) {
        const auto there = air_to_vacuum(lambda);
        ASSERT_TRUE(there.has_value()) << lambda;
        const auto back = vacuum_to_air(*there);
        ASSERT_TRUE(back.has_value()) << lambda;
        EXPECT_NEAR(*back / lambda, 1.0, 4e-16) << lambda;
    }
}

}  // namespace
}  // namespace vexlo
