#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "wcs/serialize.hpp"
#include "wcs/wcs.hpp"
#include "wcs_fixture.hpp"

namespace vexlo {
namespace {

using testing::header_of;
using testing::kv;
using testing::sample_header;
using testing::wcs_of;

Header written(const Wcs& w, char32_t alt = U' ') {
    auto h = w.to_header(alt);
    EXPECT_TRUE(h.has_value()) << (h ? "" : h.error().msg);
    return h ? std::move(*h) : Header();
}

std::vector<std::string> keywords_of(const Header& h) {
    std::vector<std::string> out;
    for (std::size_t i = 0; i < h.len(); ++i) {
        const auto v = h.view_at(i);
        out.push_back(v.keyword());
    }
    return out;
}

// Every pixel of a grid maps to the same world point through both descriptions, to 1e-12
// relative, and the same pixels fail.
void expect_same_transform(const Wcs& a, const Wcs& b, const std::string& what) {
    ASSERT_EQ(a.naxis(), b.naxis()) << what;
    const std::size_t n = a.naxis();
    std::vector<double> pixels;
    for (double y = -20; y < 200; y += 17) {
        for (double x = -30; x < 200; x += 13) {
            for (std::size_t k = 0; k < n; ++k)
                pixels.push_back(k == 0 ? x : k == 1 ? y : 3.0 * static_cast<double>(k));
        }
    }
    auto wa = a.pixel_to_world_batch(pixels);
    auto wb = b.pixel_to_world_batch(pixels);
    ASSERT_TRUE(wa && wb) << what;
    int compared = 0;
    for (std::size_t i = 0; i < pixels.size(); ++i) {
        const double x = (*wa)[i], y = (*wb)[i];
        ASSERT_EQ(std::isnan(x), std::isnan(y)) << what << " at " << i;
        if (std::isnan(x)) continue;
        EXPECT_LE(std::fabs(x - y), 1e-12 * std::fmax(1.0, std::fabs(x))) << what << " at " << i;
        ++compared;
    }
    EXPECT_GT(compared, 20) << what;
}

// Every projection's sample description, written for the primary and an alternate code and
// parsed back for that code, transforms as the original does.
TEST(WcsToHeader, SampleProjectionsParseBackToTheSameTransform) {
    for (const char* code : testing::kSampleProjections) {
        const Wcs original = wcs_of(sample_header(code));
        for (const char32_t alt : {U' ', U'B'}) {
            const Header h = written(original, alt);
            const Wcs back = wcs_of(h, alt);
            expect_same_transform(original, back, std::string(code) + (alt == U' ' ? "" : " B"));
            ASSERT_TRUE(back.celestial.has_value()) << code;
            EXPECT_EQ(back.celestial->rotation.phi_p, original.celestial->rotation.phi_p) << code;
            EXPECT_EQ(back.radesys, original.radesys) << code;
            EXPECT_EQ(back.equinox, original.equinox) << code;
        }
    }
}

TEST(WcsToHeader, CardsOfATanDescriptionInOrderWithTheirComments) {
    const Wcs w = wcs_of(
        header_of({kv("NAXIS", "2"), kv("NAXIS1", "10"), kv("NAXIS2", "10"),
                   kv("CTYPE1", "'RA---TAN'"), kv("CTYPE2", "'DEC--TAN'"), kv("CUNIT1", "'deg'"),
                   kv("CUNIT2", "'deg'"), kv("CRVAL1", "10.0"), kv("CRVAL2", "-5.0"),
                   kv("CDELT1", "-0.01"), kv("CDELT2", "0.01"), kv("RADESYS", "'ICRS'")}));
    const Header h = written(w);
    const std::vector<std::string> expected = {"NAXIS",   "NAXIS1",  "NAXIS2", "CTYPE1", "CTYPE2",
                                               "CUNIT1",  "CUNIT2",  "CRVAL1", "CRVAL2", "CRPIX1",
                                               "CRPIX2",  "CD1_1",   "CD1_2",  "CD2_1",  "CD2_2",
                                               "LONPOLE", "LATPOLE", "RADESYS"};
    EXPECT_EQ(keywords_of(h), expected);
    EXPECT_EQ(h.get_i64("NAXIS1"), 0);
    EXPECT_EQ(h.get_f64("CD1_2"), 0.0);
    EXPECT_EQ(h.get_str("RADESYS"), "ICRS");
    EXPECT_EQ(h.get("CRVAL1")->comment().value_or(""), "[deg] Coordinate value at reference point");
    EXPECT_EQ(h.get("CTYPE2")->comment().value_or(""), "TAN (gnomonic) projection");

    const Header b = written(w, U'B');
    const std::vector<std::string> expected_b = {
        "NAXIS",   "NAXIS1",  "NAXIS2",  "CTYPE1B",  "CTYPE2B",  "CUNIT1B",
        "CUNIT2B", "CRVAL1B", "CRVAL2B", "CRPIX1B",  "CRPIX2B",  "CD1_1B",
        "CD1_2B",  "CD2_1B",  "CD2_2B",  "LONPOLEB", "LATPOLEB", "RADESYSB"};
    EXPECT_EQ(keywords_of(b), expected_b);
}

TEST(WcsToHeader, RefusesAlternateCodesOutsideBlankAndCapitals) {
    const Wcs w = wcs_of(sample_header("TAN"));
    for (const auto& [alt, shown] : std::vector<std::pair<char32_t, std::string>>{
             {U'b', "'b'"}, {U'1', "'1'"}, {U'\n', "'\\n'"}}) {
        auto h = w.to_header(alt);
        ASSERT_FALSE(h.has_value());
        EXPECT_EQ(h.error().msg, "WCS alternate code must be ' ' or 'A'..'Z' (got " + shown + ")");
    }
}

// A fiducial latitude other than the projection's own default moves every point, so it is
// written even when the fiducial longitude is 0; the default itself is not written.
TEST(WcsToHeader, FiducialPointCardsWhenTheyDifferFromTheDefaults) {
    struct Case {
        const char* ctype_code;
        std::vector<std::string> pv;
        std::vector<std::string> written;  // PV1_m keywords expected
    };
    const std::vector<Case> cases = {
        {"CAR", {kv("PV1_2", "30.0")}, {"PV1_2"}},
        {"CAR", {kv("PV1_1", "10.0"), kv("PV1_2", "30.0")}, {"PV1_1", "PV1_2"}},
        {"CAR", {kv("PV1_1", "10.0")}, {"PV1_1"}},
        {"TAN", {kv("PV1_2", "90.0")}, {}},
        {"TAN", {kv("PV1_2", "60.0")}, {"PV1_2"}},
        {"AIT", {}, {}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> cards = {kv("NAXIS", "2"),
                                          kv("NAXIS1", "50"),
                                          kv("NAXIS2", "50"),
                                          kv("CTYPE1", std::string("'RA---") + c.ctype_code + "'"),
                                          kv("CTYPE2", std::string("'DEC--") + c.ctype_code + "'"),
                                          kv("CRVAL1", "40.0"),
                                          kv("CRVAL2", "20.0"),
                                          kv("CRPIX1", "25.0"),
                                          kv("CRPIX2", "25.0"),
                                          kv("CDELT1", "-0.5"),
                                          kv("CDELT2", "0.5")};
        cards.insert(cards.end(), c.pv.begin(), c.pv.end());
        const Wcs original = wcs_of(header_of(cards));
        const Header h = written(original);
        std::vector<std::string> pv;
        for (const std::string& k : keywords_of(h)) {
            if (k.rfind("PV1_", 0) == 0) pv.push_back(k);
        }
        EXPECT_EQ(pv, c.written) << c.ctype_code << " " << c.pv.size();
        expect_same_transform(original, wcs_of(h), c.ctype_code);
    }
}

// The extras of a description (names, errors, frame, time, phase and spectral reference
// cards) are written and parse back to the same record.
TEST(WcsToHeader, AxisExtrasParseBackUnchanged) {
    const Header source = header_of({
        kv("NAXIS", "5"),
        kv("NAXIS1", "4"),
        kv("NAXIS2", "4"),
        kv("NAXIS3", "4"),
        kv("NAXIS4", "4"),
        kv("NAXIS5", "4"),
        kv("CTYPE1", "'RA---SIN'"),
        kv("CTYPE2", "'DEC--SIN'"),
        kv("CTYPE3", "'FREQ'"),
        kv("CTYPE4", "'time'"),
        kv("CTYPE5", "'PHASE'"),
        kv("CUNIT3", "'Hz'"),
        kv("CRVAL1", "120.0"),
        kv("CRVAL2", "-30.0"),
        kv("CRVAL3", "1.4E9"),
        kv("CDELT1", "-0.001"),
        kv("CDELT2", "0.001"),
        kv("CDELT3", "1.0E6"),
        kv("PV2_1", "0.01"),
        kv("PV2_2", "-0.02"),
        kv("CNAME1", "'Right ascension'"),
        kv("CRDER2", "0.5"),
        kv("CSYER1", "0.25"),
        kv("RADESYS", "'FK5'"),
        kv("EQUINOX", "2000.0"),
        kv("WCSNAME", "'sky and band'"),
        kv("SPECSYS", "'LSRK'"),
        kv("SSYSOBS", "'TOPOCENT'"),
        kv("VELOSYS", "-12000.5"),
        kv("ZSOURCE", "0.0125"),
        kv("SSYSSRC", "'BARYCENT'"),
        kv("VELANGL", "45.0"),
        kv("TIMESYS", "'TT(TAI)'"),
        kv("TREFPOS", "'TOPOCENTER'"),
        kv("PLEPHEM", "'DE405'"),
        kv("CZPHS5", "2.5"),
        kv("CPERI5", "0.033"),
    });
    const Wcs original = wcs_of(source);
    const Header h = written(original);
    EXPECT_EQ(h.get_str("TIMESYS"), "TT(TAI)");
    EXPECT_EQ(h.get_str("RADESYS"), "FK5");
    EXPECT_EQ(h.get_f64("PV2_2"), -0.02);
    const Wcs back = wcs_of(h);
    expect_same_transform(original, back, "extras");
    for (std::size_t i = 0; i < original.naxis(); ++i) {
        EXPECT_EQ(back.axes[i].ctype, original.axes[i].ctype);
        EXPECT_EQ(back.axes[i].cunit, original.axes[i].cunit);
        EXPECT_EQ(back.axes[i].cname, original.axes[i].cname);
        EXPECT_EQ(back.axes[i].crder, original.axes[i].crder);
        EXPECT_EQ(back.axes[i].csyer, original.axes[i].csyer);
    }
    EXPECT_EQ(back.radesys, RadeSys::Fk5);
    EXPECT_EQ(back.equinox, 2000.0);
    EXPECT_EQ(back.wcsname, "sky and band");
    ASSERT_TRUE(back.spectral_ref && original.spectral_ref);
    EXPECT_EQ(back.spectral_ref->specsys, "LSRK");
    EXPECT_EQ(back.spectral_ref->ssysobs, "TOPOCENT");
    EXPECT_EQ(back.spectral_ref->velosys, -12000.5);
    ASSERT_TRUE(back.spectral_ref->source);
    EXPECT_EQ(back.spectral_ref->source->zsource, 0.0125);
    EXPECT_EQ(back.spectral_ref->source->ssyssrc, "BARYCENT");
    EXPECT_EQ(back.spectral_ref->source->velangl, 45.0);
    ASSERT_TRUE(back.time);
    EXPECT_EQ(back.time->axis, 3u);
    EXPECT_EQ(back.time->scale, "TT");
    EXPECT_EQ(back.time->realisation, "TAI");
    EXPECT_EQ(back.time->trefpos, "TOPOCENTER");
    EXPECT_EQ(back.time->plephem, "DE405");
    EXPECT_FALSE(back.time->trefdir);
    ASSERT_EQ(back.phase.size(), 1u);
    EXPECT_EQ(back.phase[0].zero_point, 2.5);
    EXPECT_EQ(back.phase[0].period, 0.033);

    // Time cards belong to the primary description only.
    const Header alt = written(original, U'C');
    EXPECT_FALSE(alt.contains("TIMESYS"));
    EXPECT_FALSE(alt.contains("TREFPOS"));
    EXPECT_TRUE(alt.contains("SPECSYSC"));
}

// A time axis named by its scale carries the scale in its CTYPE: no TIMESYS is written.
TEST(WcsToHeader, TimeSysOnlyForATimeAxis) {
    const Wcs w = wcs_of(header_of({kv("NAXIS", "1"), kv("NAXIS1", "4"), kv("CTYPE1", "'TT'"),
                                    kv("CRVAL1", "5.0"), kv("TREFDIR", "'TOPOCENTER'")}));
    const Header h = written(w);
    EXPECT_FALSE(h.contains("TIMESYS"));
    EXPECT_EQ(h.get_str("TREFDIR"), "TOPOCENTER");
}

std::vector<std::string> celestial_cards(const std::string& code, std::vector<std::string> extra) {
    std::vector<std::string> cards = {kv("NAXIS", "2"),
                                      kv("NAXIS1", "180"),
                                      kv("NAXIS2", "180"),
                                      kv("CTYPE1", "'RA---" + code + "'"),
                                      kv("CTYPE2", "'DEC--" + code + "'"),
                                      kv("CRPIX1", "90.5"),
                                      kv("CRPIX2", "80.0"),
                                      kv("CRVAL1", "150.0"),
                                      kv("CRVAL2", "2.0"),
                                      kv("CD1_1", "-1.0E-3"),
                                      kv("CD1_2", "2.0E-5"),
                                      kv("CD2_1", "-3.0E-5"),
                                      kv("CD2_2", "1.1E-3")};
    cards.insert(cards.end(), extra.begin(), extra.end());
    return cards;
}

// Distortions and plate solutions are written as the cards they were read from, and the
// written header transforms as the original does.
TEST(WcsToHeader, DistortionsParseBackToTheSameTransform) {
    const std::string long_surface = "'wtype=tnx axtype=ra lngcor = \"3. 3. 3. 2. -0.5 0.5 '";
    struct Case {
        const char* name;
        std::vector<std::string> cards;
        std::vector<std::string> keys;  // cards the written header must hold
    };
    const std::vector<Case> cases = {
        {"SIP with inverse",
         celestial_cards("TAN-SIP",
                         {kv("A_ORDER", "2"), kv("B_ORDER", "2"), kv("A_2_0", "1.0E-5"),
                          kv("A_1_1", "-2.0E-6"), kv("B_0_2", "3.0E-6"), kv("AP_ORDER", "2"),
                          kv("BP_ORDER", "2"), kv("AP_2_0", "-1.0E-5"), kv("BP_0_2", "-3.0E-6")}),
         {"A_ORDER", "B_ORDER", "A_2_0", "A_1_1", "B_0_2", "AP_ORDER", "AP_2_0", "BP_0_2"}},
        {"SIP forward only",
         celestial_cards("TAN-SIP",
                         {kv("A_ORDER", "3"), kv("B_ORDER", "2"), kv("A_3_0", "4.0E-8")}),
         {"A_3_0"}},
        {"TPV",
         celestial_cards("TPV", {kv("PV1_0", "1.0E-4"), kv("PV1_1", "1.0"), kv("PV1_4", "0.01"),
                                 kv("PV1_7", "-0.2"), kv("PV2_1", "0.98"), kv("PV2_5", "0.03"),
                                 kv("PV2_11", "0.5")}),
         {"PV1_0", "PV1_1", "PV1_4", "PV1_7", "PV2_1", "PV2_5", "PV2_11"}},
        {"TNX",
         celestial_cards(
             "TNX", {kv("WAT1_001", long_surface),
                     kv("WAT1_002", "'-0.4 0.4 1.5e-4 -2.0e-5 3.0e-6 -4.0e-7 5.0e-7 1.0e-6\"'"),
                     kv("WAT2_001", "'wtype=tnx axtype=dec latcor = '"),
                     kv("WAT2_002", "'\"1. 2. 2. 0. -0.5 0.5 -0.4 0.4 2e-5 '"),
                     kv("WAT2_003", "'-1e-5 3e-6\"'")}),
         {"WAT0_001", "WAT1_001", "WAT1_002", "WAT2_001"}},
        {"ZPX",
         celestial_cards("ZPX", {kv("PV2_1", "1.0"), kv("PV2_3", "0.05"),
                                 kv("WAT2_001", "'wtype=zpx axtype=dec latcor = \"2. 2. 2. 1. '"),
                                 kv("WAT2_002", "'-0.5 0.5 -0.4 0.4 1e-5 2e-5 3e-6 4e-6\"'")}),
         {"WAT0_001", "WAT2_001", "PV2_1", "PV2_3"}},
        {"DSS",
         {kv("NAXIS", "2"),           kv("NAXIS1", "180"),        kv("NAXIS2", "180"),
          kv("CTYPE1", "'RA---TAN'"), kv("CTYPE2", "'DEC--TAN'"), kv("CRPIX1", "1"),
          kv("CRPIX2", "1"),          kv("PLTRAH", "12"),         kv("PLTRAM", "30"),
          kv("PLTRAS", "0.0"),        kv("PLTDECSN", "'-'"),      kv("PLTDECD", "12"),
          kv("PLTDECM", "15"),        kv("PLTDECS", "0.0"),       kv("PPO3", "120000.0"),
          kv("PPO6", "110000.0"),     kv("XPIXELSZ", "25.0"),     kv("YPIXELSZ", "25.0"),
          kv("CNPIX1", "4000"),       kv("CNPIX2", "4100"),       kv("AMDX1", "67.5"),
          kv("AMDX2", "0.01"),        kv("AMDX3", "-1.2"),        kv("AMDX7", "2.0E-6"),
          kv("AMDY1", "67.4"),        kv("AMDY2", "-0.02"),       kv("AMDY3", "0.8")},
         {"PLTRAH", "PLTDECSN", "AMDX1", "AMDX2", "AMDX3", "AMDX7", "AMDY1", "AMDY3"}},
    };
    for (const Case& c : cases) {
        const Wcs original = wcs_of(header_of(c.cards));
        const Header h = written(original);
        for (const std::string& key : c.keys)
            EXPECT_TRUE(h.contains(key)) << c.name << " " << key;
        expect_same_transform(original, wcs_of(h), c.name);
    }
}

TEST(WcsToHeader, DistortionCardDetails) {
    // A DSS plate centre in sexagesimal cards.
    const Wcs dss = wcs_of(header_of(
        {kv("NAXIS", "2"), kv("CTYPE1", "'RA---TAN'"), kv("CTYPE2", "'DEC--TAN'"),
         kv("PLTRAH", "12"), kv("PLTRAM", "30"), kv("PLTDECSN", "'-'"), kv("PLTDECD", "12"),
         kv("PLTDECM", "15"), kv("PPO3", "0"), kv("PPO6", "0"), kv("XPIXELSZ", "10"),
         kv("YPIXELSZ", "10"), kv("AMDX1", "1"), kv("AMDY1", "1")}));
    ASSERT_TRUE(dss.dss);
    const Header d = written(dss);
    EXPECT_EQ(d.get_f64("PLTRAH"), 12.0);
    EXPECT_EQ(d.get_f64("PLTRAM"), 30.0);
    EXPECT_EQ(d.get_f64("PLTRAS"), 0.0);
    EXPECT_EQ(d.get_str("PLTDECSN"), "-");
    EXPECT_EQ(d.get_f64("PLTDECD"), 12.0);
    EXPECT_EQ(d.get_f64("PLTDECM"), 15.0);
    EXPECT_EQ(d.get_f64("PLTDECS"), 0.0);
    EXPECT_FALSE(d.contains("AMDX2"));

    // TPV's linear terms are written even when zero, a zero constant is not; and the
    // fiducial-point cards of row PV1_1/PV1_2 are not written for TPV at all.
    const Wcs tpv = wcs_of(header_of(celestial_cards(
        "TPV", {kv("PV1_1", "0.0"), kv("PV2_1", "0.0"), kv("PV1_2", "1.0"), kv("PV2_2", "1.0")})));
    const Header t = written(tpv);
    EXPECT_EQ(t.get_f64("PV1_1"), 0.0);
    EXPECT_EQ(t.get_f64("PV2_1"), 0.0);
    EXPECT_FALSE(t.contains("PV1_0"));

    // A long WAT text is split at blanks into values of at most 60 characters that join
    // back to the text, every one after the first starting with the blank it was split at.
    std::string first_half, second_half;
    for (int k = 0; k < 16; ++k)
        (k < 8 ? first_half : second_half) += " " + std::to_string(k % 9 + 1) + ".5e-7";
    const Wcs tnx = wcs_of(header_of(celestial_cards(
        "TNX",
        {kv("WAT2_001", "'wtype=tnx axtype=dec latcor = \"3. 4. 4. 1. -1. 1. -1. 1.'"),
         kv("WAT2_002", "'" + first_half + "'"), kv("WAT2_003", "'" + second_half + "\"'")})));
    const Header x = written(tnx);
    EXPECT_EQ(x.get_str("WAT0_001"), "system=image");
    std::string joined;
    for (int k = 1;; ++k) {
        char key[16];
        std::snprintf(key, sizeof key, "WAT2_%03d", k);
        const auto piece = x.get_str(key);
        if (!piece) break;
        EXPECT_LE(piece->size(), 60u) << key;
        if (k > 1) {
            EXPECT_EQ(piece->front(), ' ') << key;
        }
        joined += *piece;
    }
    EXPECT_EQ(
        joined, "wtype=tnx axtype=dec latcor = \"3. 4. 4. 1. -1.0 1.0 -1.0 1.0" + [&] {
            std::string c;
            for (int k = 0; k < 16; ++k)
                c += " " + std::to_string(k % 9 + 1) + ".5e-7";
            return c;
        }() + "\"");
    EXPECT_EQ(tnx_wtype("DEC--ZPX"), "zpx");
    EXPECT_EQ(tnx_wtype(" DEC--TNX "), "tnx");
    EXPECT_EQ(tnx_wtype("DEC--"), "tnx");
}

// SIP cards belong to the primary description only. The alternate goes without them and
// without the CTYPE suffix that would ask for them, so it reads back as the same description
// without the distortion.
TEST(WcsToHeader, NoSipCardsForAnAlternateCode) {
    const Wcs w = wcs_of(header_of(celestial_cards(
        "TAN-SIP", {kv("A_ORDER", "2"), kv("B_ORDER", "2"), kv("A_2_0", "1.0E-5")})));
    const Header h = written(w, U'B');
    EXPECT_TRUE(h.contains("CTYPE1B"));
    EXPECT_FALSE(h.contains("A_ORDER"));
    EXPECT_FALSE(h.contains("A_2_0"));
    EXPECT_EQ(h.get_str("CTYPE1B"), "RA---TAN");
    EXPECT_EQ(h.get_str("CTYPE2B"), "DEC--TAN");
    EXPECT_EQ(h.get("CTYPE2B")->comment().value_or(""), "TAN (gnomonic) projection");

    const Wcs back = wcs_of(h, U'B');
    ASSERT_TRUE(back.celestial.has_value());
    EXPECT_FALSE(back.celestial->sip.has_value());
    const Wcs plain = wcs_of(header_of(celestial_cards("TAN", {})));
    expect_same_transform(plain, back, "alternate without SIP");

    // The primary keeps the suffix and its cards.
    const Header primary = written(w);
    EXPECT_EQ(primary.get_str("CTYPE2"), "DEC--TAN-SIP");
    EXPECT_TRUE(primary.contains("A_2_0"));
}

// A description with more axes than the image it came from says how many it has: merged into
// that image's header, the image's NAXIS would otherwise drop the extra axes.
TEST(WcsToHeader, WcsaxesWhenTheDescriptionOutnumbersTheImageAxes) {
    std::vector<std::string> cards = celestial_cards(
        "TAN", {kv("WCSAXES", "3"), kv("CTYPE3", "'FREQ'"), kv("CRVAL3", "1.4E9"),
                kv("CD3_3", "1.0E6"), kv("CUNIT3", "'Hz'"), kv("WCSAXESA", "3"),
                kv("CTYPE1A", "'RA---TAN'"), kv("CTYPE2A", "'DEC--TAN'"), kv("CTYPE3A", "'FREQ'")});
    const Wcs w = wcs_of(header_of(cards));
    ASSERT_EQ(w.naxis(), 3u);
    for (const char32_t alt : {U' ', U'A'}) {
        const std::string a = alt == U' ' ? "" : "A";
        const Wcs d = wcs_of(header_of(cards), alt);
        const Header h = written(d, alt);
        EXPECT_EQ(h.get_i64("WCSAXES" + a), 3) << a;
        const std::vector<std::string> keys = keywords_of(h);
        EXPECT_EQ(keys[4], "WCSAXES" + a) << "before every other WCS card";

        // Merged into the 2-axis image: the image's own NAXIS cards, then the description.
        std::vector<std::string> merged = {kv("NAXIS", "2"), kv("NAXIS1", "180"),
                                           kv("NAXIS2", "180")};
        Header image = header_of(merged);
        for (std::size_t i = 0; i < h.len(); ++i) {
            const std::string k = h.view_at(i).keyword();
            if (k.starts_with("NAXIS")) continue;
            image.push_raw(h.view_at(i).bytes);
        }
        const Wcs back = wcs_of(image, alt);
        EXPECT_EQ(back.naxis(), 3u) << a;
        expect_same_transform(d, back, "merged " + a);
    }

    // A description with no more axes than its image has no WCSAXES card.
    const Header two = written(wcs_of(header_of(celestial_cards("TAN", {}))));
    EXPECT_FALSE(two.contains("WCSAXES"));
}

std::vector<std::string> cube_cards(const std::string& ctype3, const std::string& ctype4,
                                    std::vector<std::string> extra) {
    std::vector<std::string> cards = {
        kv("NAXIS", "4"),     kv("CTYPE1", "'RA---TAN'"), kv("CTYPE2", "'DEC--TAN'"),
        kv("CTYPE3", ctype3), kv("CTYPE4", ctype4),       kv("CRVAL1", "10.0"),
        kv("CRVAL2", "20.0"), kv("CRPIX3", "50.0"),       kv("CDELT1", "-0.01"),
        kv("CDELT2", "0.01"), kv("CRVAL3", "6.5E-7"),     kv("CDELT3", "1.0E-10"),
        kv("CUNIT3", "'m'"),  kv("CRVAL4", "1.4E9"),      kv("CDELT4", "1.0E5"),
        kv("CUNIT4", "'Hz'")};
    cards.insert(cards.end(), extra.begin(), extra.end());
    return cards;
}

// Spectral axes: one rest quantity for all of them, the disperser parameters of a grism.
TEST(WcsToHeader, SpectralCards) {
    const Wcs grism = wcs_of(header_of(cube_cards(
        "'WAVE-GRI'", "'FREQ'",
        {kv("PV3_0", "3.0E5"), kv("PV3_1", "1.0"), kv("PV3_2", "10.0"), kv("PV3_3", "1.5"),
         kv("PV3_4", "-1.0E4"), kv("PV3_5", "5.0"), kv("PV3_6", "2.0"), kv("RESTFRQ", "1.4E9")})));
    ASSERT_EQ(grism.spectral.size(), 2u);
    const Header h = written(grism);
    std::vector<std::string> pv;
    for (const std::string& k : keywords_of(h)) {
        if (k.rfind("PV3_", 0) == 0 || k.rfind("REST", 0) == 0) pv.push_back(k);
    }
    EXPECT_EQ(pv, (std::vector<std::string>{"RESTFRQ", "PV3_0", "PV3_1", "PV3_2", "PV3_3", "PV3_4",
                                            "PV3_5", "PV3_6"}));
    EXPECT_EQ(h.get_f64("PV3_4"), -1.0E4);
    expect_same_transform(grism, wcs_of(h), "grism");

    Wcs disagreeing = grism;
    disagreeing.spectral[1].restfrq = 1.5e9;
    auto refused = disagreeing.to_header(U' ');
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error().msg,
              "Wcs::to_header: spectral axes 3 and 4 disagree on the rest quantity, but one WCS "
              "description has a single RESTFRQ/RESTWAV slot -- it cannot carry both");
    disagreeing.spectral[1].restfrq.reset();
    EXPECT_FALSE(disagreeing.to_header(U' ').has_value());
}

// A -TAB axis names its table: the written cards name the same one.
TEST(WcsToHeader, LookupTableCards) {
    const Wcs w =
        wcs_of(header_of({kv("NAXIS", "2"), kv("CTYPE1", "'LINEAR'"), kv("CTYPE2", "'WAVE-TAB'"),
                          kv("PS2_0", "'WCS-TAB'"), kv("PS2_1", "'COORDS'"), kv("PS2_2", "'INDEX'"),
                          kv("PV2_1", "3"), kv("PV2_2", "2"), kv("PV2_3", "1")}));
    ASSERT_EQ(w.tab_specs.size(), 1u);
    for (const char32_t alt : {U' ', U'T'}) {
        const Header h = written(w, alt);
        const std::string a = alt == U' ' ? "" : "T";
        EXPECT_EQ(h.get_i64("PV2_1" + a), 3);
        const Wcs back = wcs_of(h, alt);
        ASSERT_EQ(back.tab_specs.size(), 1u);
        const TabAxisSpec& t = back.tab_specs[0];
        EXPECT_EQ(t.axis, 1u);
        EXPECT_EQ(t.extname, "WCS-TAB");
        EXPECT_EQ(t.coord_column, "COORDS");
        EXPECT_EQ(t.index_column, "INDEX");
        EXPECT_EQ(t.extver, 3);
        EXPECT_EQ(t.extlevel, 2);
        EXPECT_EQ(t.coord_axis, 1u);
    }
}

TEST(WcsToHeader, CtypeComments) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"RA---TAN", "TAN (gnomonic) projection"},
        {"  dec--sin ", "SIN (orthographic) projection"},
        {"RA---TAN-SIP", "TAN (gnomonic) projection + SIP distortions"},
        {"DEC--TPV", "TPV (TAN with PV distortions) projection"},
        {"DEC--ZPX", "IRAF TNX/ZPX projection"},
        {"WAVE-TAB", "Tabular axis (Paper III)"},
        {"GLON-COE", "Coordinate axis type"},
        {"FREQ", "Coordinate axis type"},
        {"RA---", "Coordinate axis type"},
        {"", "Coordinate axis type"},
        {"SIP", "Coordinate axis type"},
    };
    for (const auto& [ctype, comment] : cases)
        EXPECT_EQ(ctype_comment(ctype), comment) << ctype;
}

}  // namespace
}  // namespace vexlo
