#include "wcs/parse.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "wcs/wcs.hpp"
#include "wcs_fixture.hpp"

namespace vexlo {
namespace {

using testing::header_of;
using testing::kv;
using testing::wcs_error;
using testing::wcs_of;

bool has_wcs(const Header& h, char32_t alt = U' ') {
    auto w = Wcs::from_header(h, alt);
    EXPECT_TRUE(w.has_value());
    return w && w->has_value();
}

TEST(WcsParse, AlternateCodeMustBeBlankOrAnUpperCaseLetter) {
    const Header h = header_of({kv("NAXIS", "2"), kv("CRPIX1", "1")});
    EXPECT_EQ(wcs_error(h, U'a'), "WCS alternate code must be ' ' or 'A'..'Z' (got 'a')");
    EXPECT_EQ(wcs_error(h, U'\n'), "WCS alternate code must be ' ' or 'A'..'Z' (got '\\n')");
    EXPECT_TRUE(has_wcs(header_of({kv("NAXIS", "2"), kv("CRPIX1A", "1")}), U'A'));
    EXPECT_FALSE(has_wcs(header_of({kv("NAXIS", "2"), kv("CRPIX1", "1")}), U'B'));
}

TEST(WcsParse, HeadersWithoutADescription) {
    EXPECT_FALSE(has_wcs(header_of(
        {kv("NAXIS", "0"), kv("CTYPE1", "'RA---TAN'"), kv("CRPIX1", "1"), kv("CRVAL1", "1")})));
    EXPECT_FALSE(has_wcs(header_of({kv("NAXIS", "2"), kv("OBJECT", "'M31'")})));
    EXPECT_FALSE(has_wcs(header_of({kv("NAXIS", "2"), kv("CRPIX1", "'abc'")})));
    auto missing = Wcs::from_header(header_of({kv("CRPIX1", "1")}), U' ');
    ASSERT_FALSE(missing.has_value());
    EXPECT_EQ(missing.error().kind, Error::Kind::MissingMandatory);
}

TEST(WcsParse, DefaultsOfAMinimalDescription) {
    const Wcs w = wcs_of(header_of({kv("NAXIS", "2"), kv("CUNIT1", "'deg'")}));
    ASSERT_EQ(w.naxis(), 2u);
    EXPECT_EQ(w.linear.crpix, (std::vector<double>{0, 0}));
    EXPECT_EQ(w.linear.crval, (std::vector<double>{0, 0}));
    EXPECT_EQ(w.linear.matrix, (std::vector<double>{1, 0, 0, 1}));
    EXPECT_EQ(w.axes[0].cunit, "deg");
    EXPECT_EQ(w.axes[1].ctype, "");
    EXPECT_FALSE(w.celestial.has_value());
    EXPECT_FALSE(w.pair.has_value());
    EXPECT_FALSE(w.pixel_shape.has_value());
}

TEST(WcsParse, AxisCount) {
    struct Case {
        std::vector<std::string> cards;
        std::size_t axes;
    };
    const std::vector<Case> cases = {
        {{kv("NAXIS", "2"), kv("NAXIS1", "4"), kv("NAXIS2", "5"), kv("WCSAXES", "3"),
          kv("CRPIX1", "1")},
         3},
        {{kv("NAXIS", "3"), kv("WCSAXES", "1"), kv("CRPIX1", "1")}, 1},
        {{kv("NAXIS", "2"), kv("WCSAXES", "0"), kv("WCSDIM", "3"), kv("CRPIX1", "1")}, 2},
        {{kv("NAXIS", "2"), kv("WCSAXES", "2.0"), kv("WCSDIM", "3"), kv("CRPIX1", "1")}, 2},
        {{kv("NAXIS", "2"), kv("WCSDIM", "3"), kv("CRPIX1", "1")}, 3},
    };
    for (const Case& c : cases) {
        Bytes bytes;
        for (const std::string& card : c.cards)
            append_bytes(bytes, testing::card(card));
        const Wcs w = wcs_of(Header(std::move(bytes)));
        EXPECT_EQ(w.naxis(), c.axes) << c.cards[1];
        EXPECT_EQ(w.linear.n, c.axes);
    }
    const Wcs w3 = wcs_of(header_of({kv("NAXIS", "2"), kv("NAXIS1", "4"), kv("NAXIS2", "5"),
                                     kv("WCSAXES", "3"), kv("CRPIX1", "1")}));
    EXPECT_EQ(w3.pixel_shape, (std::vector<std::uint64_t>{4, 5}));
}

// An axis count far above NAXIS's own limit is refused before any n x n matrix is made.
TEST(WcsParse, HugeAxisCountsAreRefused) {
    EXPECT_EQ(wcs_error(header_of({kv("NAXIS", "2"), kv("WCSAXES", "1000"), kv("CRPIX1", "1")})),
              "WCSAXES = 1000 exceeds the limit of 999 axes");
    EXPECT_EQ(wcs_error(header_of({kv("NAXIS", "2"), kv("WCSAXES", "4000000000000")})),
              "WCSAXES = 4000000000000 exceeds the limit of 999 axes");
    EXPECT_EQ(wcs_error(header_of({kv("NAXIS", "2"), kv("WCSDIMA", "5000")}), U'A'),
              "WCSDIMA = 5000 exceeds the limit of 999 axes");
    EXPECT_EQ(
        wcs_of(header_of({kv("NAXIS", "1"), kv("WCSAXES", "120"), kv("CRPIX1", "1")})).naxis(),
        120u);
}

TEST(WcsParse, MatrixKeywords) {
    // Matrix cards alone make no description; a reference card does.
    EXPECT_FALSE(has_wcs(header_of({kv("NAXIS", "2"), kv("CD1_1", "1"), kv("CD2_2", "1")})));
    EXPECT_EQ(wcs_error(header_of(
                  {kv("NAXIS", "2"), kv("CRPIX1", "1"), kv("CD1_1", "1"), kv("PC2_2", "1")})),
              "header specifies both CDi_j and PCi_j (mutually exclusive, Sec.8.2.1)");
    EXPECT_EQ(
        wcs_of(header_of({kv("NAXIS", "2"), kv("CRPIX1", "1"), kv("PC1_2", "0.5")})).linear.matrix,
        (std::vector<double>{1, 0.5, 0, 1}));
    EXPECT_EQ(wcs_of(header_of({kv("NAXIS", "2"), kv("PC1_2", "0.5"), kv("CDELT1", "2"),
                                kv("CDELT2", "3")}))
                  .linear.matrix,
              (std::vector<double>{2, 1, 0, 3}));
    EXPECT_EQ(
        wcs_of(header_of({kv("NAXIS", "1"), kv("CRPIX1", "1"), kv("CD1_1", "0.25")})).linear.matrix,
        (std::vector<double>{0.25}));
    EXPECT_EQ(wcs_error(header_of({kv("NAXIS", "2"), kv("CRPIX1", "1"), kv("CD1_1", "0.25")})),
              "linear matrix is singular (cannot invert)");
    EXPECT_EQ(wcs_error(header_of({kv("NAXIS", "2"), kv("CRPIX1", "1"), kv("PC1_1", "'x'")})),
              "PC1_1 must be numeric");
    EXPECT_EQ(wcs_error(header_of({kv("NAXIS", "2"), kv("CRPIX1A", "1"), kv("PC1_2A", "T")}), U'A'),
              "PC1_2A must be numeric");
    EXPECT_EQ(wcs_error(header_of({kv("NAXIS", "2"), kv("CDELT2", "0"), kv("CRPIX1", "1")})),
              "linear matrix is singular (cannot invert)");
    EXPECT_EQ(wcs_error(header_of({kv("NAXIS", "2"), kv("LTM1_1", "'a'"), kv("CRPIX1", "1")})),
              "LTM1_1 must be numeric");
}

TEST(WcsParse, LegacyRotationPrefersTheLatitudeAxis) {
    const std::vector<std::string> base = {kv("NAXIS", "2"), kv("CTYPE1", "'RA---TAN'"),
                                           kv("CTYPE2", "'DEC--TAN'"), kv("CDELT1", "-1"),
                                           kv("CDELT2", "1")};
    auto make = [&](std::vector<std::string> extra) {
        Bytes bytes;
        for (const std::string& c : base)
            append_bytes(bytes, testing::card(c));
        for (const std::string& c : extra)
            append_bytes(bytes, testing::card(c));
        return wcs_of(Header(std::move(bytes)));
    };
    const Wcs both = make({kv("CROTA1", "10"), kv("CROTA2", "30")});
    EXPECT_NEAR(both.linear.matrix[2], -std::sin(30 * 0.017453292519943295), 1e-15);
    const Wcs one = make({kv("CROTA1", "10")});
    EXPECT_NEAR(one.linear.matrix[2], -std::sin(10 * 0.017453292519943295), 1e-15);
    EXPECT_EQ(
        wcs_of(header_of({kv("NAXIS", "1"), kv("CROTA1", "10"), kv("CDELT1", "2")})).linear.matrix,
        (std::vector<double>{2}));
}

TEST(WcsParse, ReferenceSystemAndEquinox) {
    struct Case {
        std::vector<std::string> extra;
        RadeSys radesys;
        std::optional<double> equinox;
    };
    const std::vector<Case> cases = {
        {{kv("EQUINOX", "1950.0")}, RadeSys::Fk4, 1950.0},
        {{kv("EQUINOX", "2000.0")}, RadeSys::Fk5, 2000.0},
        {{}, RadeSys::Icrs, std::nullopt},
        {{kv("RADESYS", "'ICRS'"), kv("EQUINOX", "2000.0")}, RadeSys::Icrs, std::nullopt},
        {{kv("RADESYS", "'fk5'")}, RadeSys::Fk5, std::nullopt},
        {{kv("RADESYS", "'J2000'"), kv("EQUINOX", "2000")}, RadeSys::Other, 2000.0},
        {{kv("RADECSYS", "'FK4-NO-E'"), kv("EPOCH", "1950")}, RadeSys::Fk4NoE, 1950.0},
        {{kv("RADESYS", "'GAPPT'"), kv("EQUINOX", "2000")}, RadeSys::Gappt, std::nullopt},
    };
    for (const Case& c : cases) {
        Bytes bytes;
        for (const std::string& card :
             {kv("NAXIS", "2"), kv("CTYPE1", "'RA---TAN'"), kv("CTYPE2", "'DEC--TAN'")}) {
            append_bytes(bytes, testing::card(card));
        }
        for (const std::string& card : c.extra)
            append_bytes(bytes, testing::card(card));
        const Wcs w = wcs_of(Header(std::move(bytes)));
        EXPECT_EQ(w.radesys, c.radesys) << (c.extra.empty() ? "" : c.extra[0]);
        EXPECT_EQ(w.equinox, c.equinox);
    }
    const Wcs plain = wcs_of(header_of(
        {kv("NAXIS", "2"), kv("EQUINOX", "1950"), kv("RADESYS", "'FK4'"), kv("CRPIX1", "1")}));
    EXPECT_EQ(plain.radesys, RadeSys::Icrs);
    EXPECT_FALSE(plain.equinox.has_value());
    const Wcs alt = wcs_of(
        header_of({kv("NAXIS", "2"), kv("CTYPE1A", "'RA---TAN'"), kv("CTYPE2A", "'DEC--TAN'"),
                   kv("EPOCH", "1950"), kv("RADECSYS", "'FK4'")}),
        U'A');
    EXPECT_EQ(alt.radesys, RadeSys::Fk4);
    EXPECT_EQ(alt.equinox, 1950.0);
}

TEST(WcsParse, IrafPhysicalMapShiftsTheReferencePixel) {
    for (char32_t alt : {U' ', U'C'}) {
        const std::string a = alt == U' ' ? "" : "C";
        const Wcs w = wcs_of(header_of({kv("NAXIS", "2"), kv("CRPIX1" + a, "50"),
                                        kv("CRPIX2" + a, "60"), kv("LTV1", "10.0")}),
                             alt);
        EXPECT_EQ(w.linear.crpix, (std::vector<double>{40, 60}));
    }
}

TEST(WcsParse, TabularAxes) {
    EXPECT_EQ(wcs_error(header_of(
                  {kv("NAXIS", "2"), kv("CTYPE1", "'RA---TAB'"), kv("CTYPE2", "'DEC--TAN'")})),
              "CTYPE1 = `RA---TAB` / CTYPE2 = `DEC--TAN`: a celestial pair must be -TAB on both "
              "axes or neither (Paper III Sec.6.1.1)");
    const Wcs both = wcs_of(
        header_of({kv("NAXIS", "2"), kv("CTYPE1", "'RA---TAB'"), kv("CTYPE2", "'DEC--tab'"),
                   kv("PS1_0", "'T'"), kv("PS1_1", "'C'"), kv("PS2_0", "' T '"), kv("PS2_1", "'C'"),
                   kv("PS2_2", "'  '"), kv("PV2_1", "2.7"), kv("PV2_3", "0"), kv("PV1_3", "0.5")}));
    EXPECT_FALSE(both.celestial.has_value());
    ASSERT_TRUE(both.pair.has_value());
    ASSERT_EQ(both.tab_specs.size(), 2u);
    EXPECT_EQ(both.tab_specs[1].axis, 1u);
    EXPECT_EQ(both.tab_specs[1].extname, "T");
    EXPECT_FALSE(both.tab_specs[1].index_column);
    EXPECT_EQ(both.tab_specs[1].extver, 2);
    EXPECT_EQ(both.tab_specs[1].coord_axis, 1u);  // an integer below 1 reads as 1
    EXPECT_EQ(both.tab_specs[0].coord_axis, 0u);  // a real 0.5 truncates to 0
    EXPECT_EQ(
        wcs_error(header_of({kv("NAXIS", "2"), kv("CTYPE1", "'WAVE-TAB'"), kv("PS1_0", "'T'")})),
        "-TAB axis 1: missing PS1_1 (coordinate column TTYPE)");
    EXPECT_EQ(
        wcs_error(header_of({kv("NAXIS", "2"), kv("CTYPE2A", "'WAVE-TAB'"), kv("PS2_0", "'T'")}),
                  U'A'),
        "-TAB axis 2: missing PS2_0A (binary table EXTNAME)");
    EXPECT_TRUE(is_tab_ctype("  WAVE-TAB  "));
    EXPECT_TRUE(is_tab_ctype("WAVE-TABXYZ"));
    EXPECT_FALSE(is_tab_ctype("WAVE-TA"));
    EXPECT_FALSE(is_tab_ctype("WAVE-LOG"));
}

TEST(WcsParse, CtypePrefixIsTheFourCharacterAxisType) {
    struct Case {
        std::string_view ctype;
        std::optional<std::string_view> prefix;
    };
    const Case cases[] = {
        {"RA---TAN", "RA--"},
        {"DEC--TAN-SIP", "DEC-"},
        {"GLON", "GLON"},
        {"UTC", "UTC"},  // shorter text is its own type
        {"", ""},
        {"  RA---TAN", "  RA"},                        // taken as given, not trimmed
        {"\xC3\xA9\xC3\xA9-TAN", "\xC3\xA9\xC3\xA9"},  // ends on a character boundary
        {"VELO\xC3\xA9", "VELO"},
        {"VEL\xC3\xA9-LOG", std::nullopt},  // the fourth byte splits a character
        {"AB\xE2\x82\xAC", std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ctype_prefix(c.ctype), c.prefix)
            << ::testing::PrintToString(std::string(c.ctype));
    }
}

TEST(WcsParse, ReferenceValuesMustBeFinite) {
    EXPECT_EQ(wcs_error(header_of({kv("NAXIS", "2"), kv("CRVAL1", "1e999")})),
              "CRVAL1 = inf is not finite");
}

TEST(WcsParse, CelestialBlockErrorsPassThrough) {
    EXPECT_EQ(wcs_error(header_of(
                  {kv("NAXIS", "2"), kv("CTYPE1", "'RA---TAN'"), kv("CTYPE2", "'DEC--SIN'")})),
              "celestial CTYPE pair has mismatched projection codes: `RA---TAN` vs `DEC--SIN`");
    EXPECT_EQ(wcs_error(header_of({kv("NAXIS", "2"), kv("CTYPE1", "'RA---CEA'"),
                                   kv("CTYPE2", "'DEC--CEA'"), kv("PV2_1", "0")})),
              "CEA: PV2_1 (lambda) = 0 out of (0,1]");
    EXPECT_EQ(wcs_error(header_of({kv("NAXIS", "2"), kv("CTYPE1", "'RA---COP'"),
                                   kv("CTYPE2", "'DEC--COP'"), kv("PV2_1", "'x'")})),
              "COP: theta_a = 0 is singular");
    EXPECT_EQ(wcs_error(header_of(
                  {kv("NAXIS", "2"), kv("CTYPE1", "'RA---XYZ'"), kv("CTYPE2", "'DEC--XYZ'")})),
              "unknown projection code `XYZ`");
    // A fiducial point the projection cannot reach fails the whole description when the
    // offset flag asks for its plane position.
    EXPECT_EQ(wcs_error(header_of({kv("NAXIS", "2"), kv("CTYPE1", "'RA---TAN'"),
                                   kv("CTYPE2", "'DEC--TAN'"), kv("PV1_0", "1"),
                                   kv("PV1_2", "-10")})),
              "TAN: theta <= 0 lies in the unprojected hemisphere");
}

TEST(WcsParse, AxisDescriptionsAndKinds) {
    const Wcs w = wcs_of(
        header_of({kv("NAXIS", "7"), kv("CTYPE1", "'RA---TAN'"), kv("CTYPE2", "'DEC--TAN'"),
                   kv("CTYPE3", "'FREQ'"), kv("CTYPE4", "'stokes '"), kv("CTYPE5", "'TIME'"),
                   kv("CTYPE6", "'phase'"), kv("CTYPE7", "'X'"),
                   kv("CNAME1", "'  right ascension '"), kv("CRDER1", "0.5"), kv("CZPHS6", "0.5"),
                   kv("TIMESYS", "'tt'"), kv("WCSNAME", "'  '"), kv("SPECSYS", "'LSRK'")}));
    const std::vector<AxisKind> kinds = {
        AxisKind::Longitude, AxisKind::Latitude, AxisKind::Spectral, AxisKind::Stokes,
        AxisKind::Time,      AxisKind::Phase,    AxisKind::Linear};
    for (std::size_t i = 0; i < kinds.size(); ++i)
        EXPECT_EQ(w.axis_kind(i), kinds[i]) << i;
    EXPECT_EQ(w.axis_kind(7), AxisKind::None);
    EXPECT_EQ(w.axes[0].cname, "right ascension");
    EXPECT_EQ(w.axes[0].crder, 0.5);
    EXPECT_FALSE(w.axes[1].cname.has_value());
    ASSERT_TRUE(w.time.has_value());
    EXPECT_EQ(w.time->scale, "TT");
    EXPECT_FALSE(w.time->realisation.has_value());
    ASSERT_EQ(w.phase.size(), 1u);
    EXPECT_EQ(w.phase[0].axis, 5u);
    EXPECT_EQ(w.phase[0].zero_point, 0.5);
    EXPECT_FALSE(w.phase[0].period.has_value());
    EXPECT_FALSE(w.wcsname.has_value());
    ASSERT_TRUE(w.spectral_ref.has_value());
    EXPECT_EQ(w.spectral_ref->specsys, "LSRK");
    EXPECT_FALSE(w.spectral_ref->source.has_value());
}

TEST(WcsParse, TimeAxisScales) {
    struct Case {
        const char* ctype;
        const char* scale;  // nullptr: no time axis
        std::optional<std::string> realisation;
    };
    const std::vector<Case> cases = {
        {"'UTC(nist)'", "UTC", "nist"},     {"'UT'", nullptr, std::nullopt},
        {"'UT(WWV)'", "UT", "WWV"},         {"'TT()'", "TT", std::nullopt},
        {"'TT(x'", "TT", std::nullopt},     {"'TIME-LOG'", nullptr, std::nullopt},
        {"'TIMEX'", nullptr, std::nullopt}, {"'time'", "UTC", std::nullopt},
    };
    for (const Case& c : cases) {
        const Wcs w = wcs_of(header_of({kv("NAXIS", "1"), kv("CTYPE1", c.ctype)}));
        if (!c.scale) {
            EXPECT_FALSE(w.time.has_value()) << c.ctype;
            continue;
        }
        ASSERT_TRUE(w.time.has_value()) << c.ctype;
        EXPECT_EQ(w.time->scale, c.scale);
        EXPECT_EQ(w.time->realisation, c.realisation) << c.ctype;
    }
    const Wcs two =
        wcs_of(header_of({kv("NAXIS", "2"), kv("CTYPE1", "'TAI'"), kv("CTYPE2", "'UTC'"),
                          kv("TREFPOS", "'TOPOCENTER'"), kv("TREFDIR", "' '")}));
    ASSERT_TRUE(two.time.has_value());
    EXPECT_EQ(two.time->axis, 0u);
    EXPECT_EQ(two.time->trefpos, "TOPOCENTER");
    EXPECT_FALSE(two.time->trefdir.has_value());
}

TEST(WcsParse, SpectralReferenceKeywords) {
    const Wcs w = wcs_of(header_of({kv("NAXIS", "1"), kv("CTYPE1", "'VRAD'"), kv("ZSOURCE", "0.1"),
                                    kv("SSYSSRC", "'BARYCENT'"), kv("VELANGL", "45")}));
    ASSERT_TRUE(w.spectral_ref && w.spectral_ref->source);
    EXPECT_EQ(w.spectral_ref->source->zsource, 0.1);
    EXPECT_EQ(w.spectral_ref->source->ssyssrc, "BARYCENT");
    EXPECT_EQ(w.spectral_ref->source->velangl, 45.0);
    const Wcs only_velosys = wcs_of(header_of({kv("NAXIS", "1"), kv("CTYPE1", "'FREQ'"),
                                               kv("VELOSYS", "3.5"), kv("SSYSSRC", "'BARYCENT'")}));
    ASSERT_TRUE(only_velosys.spectral_ref.has_value());
    EXPECT_EQ(only_velosys.spectral_ref->velosys, 3.5);
    EXPECT_FALSE(only_velosys.spectral_ref->source.has_value());
    EXPECT_FALSE(wcs_of(header_of({kv("NAXIS", "1"), kv("CTYPE1", "'X'"), kv("VELOSYS", "3")}))
                     .spectral_ref.has_value());
    EXPECT_FALSE(
        wcs_of(header_of({kv("NAXIS", "1"), kv("CTYPE1", "'FREQ'")})).spectral_ref.has_value());
}

TEST(WcsParse, FromPartsChecksAxisIndices) {
    auto linear = LinearTransform::from_cd({0, 0, 0}, {0, 0, 0}, {1, 0, 0, 0, 1, 0, 0, 0, 1});
    ASSERT_TRUE(linear.has_value());
    WcsExtras extras;
    extras.time = TimeAxis{};
    extras.time->axis = 3;
    auto w = Wcs::from_parts(std::vector<AxisDescription>(3), *linear, extras);
    ASSERT_FALSE(w.has_value());
    EXPECT_EQ(w.error().msg, "WCS time axis names axis 4 of a 3-axis description");
    auto short_axes = Wcs::from_parts(std::vector<AxisDescription>(2), *linear, WcsExtras{});
    EXPECT_EQ(short_axes.error().msg,
              "WCS has 2 axis description(s) but a 3-axis linear transform");
}

}  // namespace
}  // namespace vexlo

namespace vexlo {
namespace {

using testing::header_of;
using testing::kv;

// Celestial axes in other angular units are scaled to degrees before the projection.
TEST(WcsParse, CelestialUnitsAreScaledToDegrees) {
    const Header arcsec =
        header_of({kv("NAXIS", "2"), kv("CTYPE1", "'RA---TAN'"), kv("CTYPE2", "'DEC--TAN'"),
                   kv("CUNIT1", "'arcsec'"), kv("CUNIT2", "'arcsec'"), kv("CRVAL1", "36000"),
                   kv("CRVAL2", "7200"), kv("CDELT1", "-1"), kv("CDELT2", "1"), kv("CRPIX1", "1"),
                   kv("CRPIX2", "1")});
    const Header degrees =
        header_of({kv("NAXIS", "2"), kv("CTYPE1", "'RA---TAN'"), kv("CTYPE2", "'DEC--TAN'"),
                   kv("CRVAL1", "10"), kv("CRVAL2", "2"), kv("CDELT1", "-0.000277777777777778"),
                   kv("CDELT2", "0.000277777777777778"), kv("CRPIX1", "1"), kv("CRPIX2", "1")});
    const Wcs a = testing::wcs_of(arcsec);
    const Wcs d = testing::wcs_of(degrees);
    ASSERT_TRUE(a.celestial.has_value());
    EXPECT_DOUBLE_EQ(a.celestial->lon_scale, 1.0 / 3600.0);
    const double pixel[] = {30.0, 40.0};
    auto wa = a.world_to_pixel(*d.pixel_to_world(pixel));
    ASSERT_TRUE(wa.has_value());
    // CRVAL is in the axis unit too: 36000 and 7200 arcseconds are 10 and 2 degrees.
    EXPECT_NEAR((*wa)[0], 30.0, 1e-6);
    EXPECT_NEAR((*wa)[1], 40.0, 1e-6);
    auto bad = Wcs::from_header(header_of({kv("NAXIS", "2"), kv("CTYPE1", "'RA---TAN'"),
                                           kv("CTYPE2", "'DEC--TAN'"), kv("CUNIT1", "'m'")}),
                                U' ');
    ASSERT_FALSE(bad.has_value());
    EXPECT_EQ(bad.error().kind, Error::Kind::Header);
}

TEST(WcsParse, ObservationTime) {
    const Wcs w =
        testing::wcs_of(header_of({kv("NAXIS", "1"), kv("CRPIX1", "1"), kv("MJD-OBS", "58000.5")}));
    EXPECT_EQ(w.mjd_obs, 58000.5);
    EXPECT_FALSE(
        testing::wcs_of(header_of({kv("NAXIS", "1"), kv("CRPIX1", "1")})).mjd_obs.has_value());
}

}  // namespace
}  // namespace vexlo
