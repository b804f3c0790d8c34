#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "units/table.hpp"
#include "units/unit.hpp"
#include "units_fixture.hpp"

namespace vexlo {
namespace {

using enum BaseUnit;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(Dimension, ApproxEqualityUsesAStrictTolerance) {
    const Dimension two = Dimension{}.with(Metre, 2);
    EXPECT_TRUE(Dimension::approx_eq(two, Dimension{}.with(Metre, 2 + 5e-10)));
    EXPECT_FALSE(Dimension::approx_eq(two, Dimension{}.with(Metre, 2 + 2e-9)));
    EXPECT_FALSE(Dimension::approx_eq(two, Dimension{}.with(Metre, kNaN)));
    EXPECT_FALSE(Dimension::approx_eq(two, two.with(Bin, 1)));
    EXPECT_TRUE(Dimension{}.with(Metre, 1e-10).is_dimensionless());
}

TEST(Dimension, DisplayWritesExponentsInBaseOrder) {
    struct Case {
        Dimension d;
        const char* text;
    };
    const Case cases[] = {
        {Dimension{}, "dimensionless"},
        {Dimension{}.with(Metre, 1e-10), "dimensionless"},
        {Dimension{}.with(Second, -2).with(Kilogram, 1).with(Metre, 1), "m kg s^-2"},
        {Dimension{}.with(Metre, 0.5), "m^(0.5)"},
        {Dimension{}.with(Metre, 1.9999999999), "m^2"},
        {Dimension{}.with(Metre, -1.5).with(Second, -1), "m^(-1.5) s^-1"},
        {Dimension{}.with(Degree, 2), "deg^2"},
        {Dimension{}.with(Count, 1).with(Metre, -2).with(Second, -1).with(Degree, -2),
         "m^-2 s^-1 deg^-2 count"},
        {Dimension{}.with(Bin, 3).with(Voxel, 1), "voxel bin^3"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.d.display(), c.text);
}

TEST(Unit, ProductsOfLevelUnits) {
    const Unit mag = *unit_symbol("mag"), sun = *unit_symbol("Sun"), db = *unit_symbol("dB");
    const Unit m = *unit_symbol("m");
    const std::string product =
        "header: a product of two level units (`mag`, `dB`, `Sun`) "
        "is not a quantity";
    for (auto [a, b] : {std::pair{mag, mag}, {mag, sun}, {sun, db}}) {
        auto r = Unit::mul(a, b);
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().message(), product);
    }
    auto sun_m = Unit::mul(sun, m);
    ASSERT_TRUE(sun_m);
    EXPECT_EQ(sun_m->kind, UnitKind::Ratio);
    EXPECT_EQ(sun_m->dimension.display(), "m");

    // A pure number folds into the level; a dimensioned unit multiplies the quantity.
    const Unit ten = {UnitKind::Linear, {}, 10.0, {}};
    for (auto [a, b] : {std::pair{mag, ten}, {ten, mag}}) {
        auto r = Unit::mul(a, b);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->kind, UnitKind::Logarithmic);
        EXPECT_EQ(r->level.factor, -0.25);
        EXPECT_EQ(r->scale, 1.0);
    }
    auto mag_len = Unit::mul(mag, Unit{UnitKind::Linear, {}, 1000.0, Dimension{}.with(Metre, 1)});
    ASSERT_TRUE(mag_len);
    EXPECT_EQ(mag_len->kind, UnitKind::Logarithmic);
    EXPECT_EQ(mag_len->level.factor, -2.5);
    EXPECT_EQ(mag_len->scale, 1000.0);
    EXPECT_EQ(mag_len->dimension.display(), "m");
}

TEST(Unit, PowersOfLinearAndLevelUnits) {
    const Unit mag = *unit_symbol("mag");
    EXPECT_TRUE(Unit::powf(mag, 1.0));
    EXPECT_TRUE(Unit::powf(mag, 1 + 1e-10));
    for (double p : {2.0, -1.0}) {
        auto r = Unit::powf(mag, p);
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().message(),
                  "header: a logarithmic unit (`mag`, `dB`) cannot be raised to a power");
    }
    EXPECT_TRUE(Unit::powf(*unit_symbol("Sun"), 2.0));
    const Unit km = *lookup_unit_symbol("km");
    auto sq = Unit::powf(km, 2.0);
    EXPECT_EQ(sq->scale, 1e6);
    EXPECT_EQ(sq->dimension.display(), "m^2");
    auto root = Unit::powf(km, 0.5);
    EXPECT_EQ(root->scale, 31.622776601683793);
    EXPECT_EQ(root->dimension.display(), "m^(0.5)");
}

TEST(UnitTable, SymbolsAndPrefixes) {
    struct Case {
        const char* word;
        double scale;
        const char* dimension;
    };
    const Case cases[] = {
        {"dam", 10, "m"},
        {"da", 3.15576e6, "s"},  // d + a: a tenth of a year
        {"kpc", 3.085677581491367e19, "m"},
        {"Gyr", 3.15576e16, "s"},
        {"GHz", 1e9, "s^-1"},
        {"mas", 2.7777777777777776e-7, "deg"},
        {"ha", 3.15576e9, "s"},
        {"Pa", 1, "m^-1 kg s^-2"},
        {"PA", 1e15, "A"},
        {"cd", 1, "cd"},
        {"min", 60, "s"},
        {"mJy", 1e-26 * 0.001, "kg s^-2"},
        {"kbyte", 8000, "bit"},
        {"ms", 1e-3, "s"},
        {"Ms", 1e6, "s"},
        {"mHz", 1e-3, "s^-1"},
        {"MHz", 1e6, "s^-1"},
        {"mrad", 57.29577951308232 * 1e-3, "deg"},
        {"kOhm", 1e3, "m^2 kg s^-3 A^-2"},
        {"mbarn", 1e-28 * 1e-3, "m^2"},
        {"Tbyte", 8 * 1e12, "bit"},
        {"R", 242406.840554768, "m^-2 s^-1 deg^-2 count"},
        {"lx", 3282.806350011744, "m^-2 deg^2 cd"},
        {"F", 1, "m^-2 kg^-1 s^4 A^2"},
        {"D", 3.333333333333333e-30, "m s A"},
        {"solMass", 1.98841e30, "kg"},
        {"Angstrom", 1e-10, "m"},
    };
    for (const Case& c : cases) {
        auto u = lookup_unit_symbol(c.word);
        ASSERT_TRUE(u) << c.word;
        EXPECT_EQ(u->kind, UnitKind::Linear) << c.word;
        EXPECT_EQ(u->scale, c.scale) << c.word;
        EXPECT_EQ(u->dimension.display(), c.dimension) << c.word;
    }
    auto db = lookup_unit_symbol("dB");
    EXPECT_EQ(db->kind, UnitKind::Logarithmic);
    EXPECT_EQ(db->level.factor, 10.0);
    auto mmag = lookup_unit_symbol("mmag");
    EXPECT_EQ(mmag->kind, UnitKind::Logarithmic);
    EXPECT_EQ(mmag->level.factor, -2500.0);
    EXPECT_EQ(mmag->scale, 1.0);
    EXPECT_EQ(lookup_unit_symbol("kmag")->level.factor, -0.0025);

    // No prefix on symbols that take none, no lone prefix, no case folding.
    for (const char* word : {"kdeg", "mdeg", "hh", "kAU", "uarcsec", "kh", "k", "uas", "hz", "HZ",
                             "kSun", "kcount", "Mphoton", "dad", "km2"}) {
        auto u = lookup_unit_symbol(word);
        ASSERT_FALSE(u) << word;
        EXPECT_EQ(u.error().message(), std::string("header: unrecognized unit `") + word +
                                           "` (Standard Sec.4.3 Tables 4-5)");
    }
}

}  // namespace
}  // namespace vexlo
