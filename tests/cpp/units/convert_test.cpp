#include <gtest/gtest.h>

#include <string>

#include "units/unit.hpp"
#include "units_fixture.hpp"

namespace vexlo {
namespace {

using enum BaseUnit;
using testing::parsed;

const Dimension kTime = Dimension{}.with(Second, 1);
const Dimension kAngle = Dimension{}.with(Degree, 1);
const Dimension kLength = Dimension{}.with(Metre, 1);

// "ok scale shift" or the error's display text.
std::string convert(std::string_view from, std::string_view to) {
    auto c = parsed(from).converter_to(parsed(to));
    if (!c) return c.error().message();
    return "ok " + std::to_string(c->scale) + " " + std::to_string(c->shift);
}

TEST(UnitConvert, LinearAndLevelConversions) {
    struct Case {
        const char* from;
        const char* to;
        double scale;
        double shift;
    };
    const Case cases[] = {
        {"km", "m", 1000, 0},
        {"m", "km", 0.001, 0},
        {"arcsec", "deg", 0.0002777777777777778, 0},
        {"rad", "deg", 57.29577951308232, 0},
        {"mag", "dB", -4, 0},
        {"mag", "Np", -0.9210340371976183, 0},
        {"dB", "Np", 0.23025850929940458, 0},
        {"log(km)", "log(m)", 1, 2.9999999999999996},
        {"mag(AB)", "mag(AB)", 1, 0},
        {"Sun", "Sun", 1, 0},
        {"mmag", "mag", 0.0010000000000000002, 0},
        {"mag", "mmag", 999.9999999999999, 0},
    };
    for (const Case& c : cases) {
        auto conv = parsed(c.from).converter_to(parsed(c.to));
        ASSERT_TRUE(conv) << c.from << " -> " << c.to << ": " << conv.error().message();
        EXPECT_EQ(conv->scale, c.scale) << c.from << " -> " << c.to;
        EXPECT_EQ(conv->shift, c.shift) << c.from << " -> " << c.to;
    }
}

TEST(UnitConvert, RefusalsSayWhy) {
    const std::string level_linear =
        "header: no conversion relates a level unit to a linear "
        "one; read the reference off the unit and de-log it yourself";
    const std::string ab =
        "Absolute(Zero { name: \"AB\", value: 3.630780547701e-23, dimension: "
        "Dimension([0.0, 1.0, -2.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, "
        "0.0, 0.0, 0.0, 0.0]) })";
    const std::string st =
        "Absolute(Zero { name: \"ST\", value: 0.03630780547701, dimension: "
        "Dimension([-1.0, 1.0, -3.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, "
        "0.0, 0.0, 0.0, 0.0]) })";
    auto refs = [](const std::string& a, const std::string& b) {
        return "header: levels are measured against different references (" + a + " and " + b + ")";
    };
    struct Case {
        const char* from;
        const char* to;
        std::string message;
    };
    const Case cases[] = {
        {"Hz", "s", "header: unit is s^-1, but s was required"},
        {"mag", "m", "header: unit is dimensionless, but m was required"},
        {"mag", "mag(AB)", refs("Unspecified", ab)},
        {"mag(AB)", "mag(ST)", refs(ab, st)},
        {"mag(Vega)", "mag", refs("Object(Vega)", "Unspecified")},
        {"Sun", "mag", refs("Object(Solar)", "Unspecified")},
        {"Sun", "mag(Vega)", refs("Object(Solar)", "Object(Vega)")},
        {"mag", "", level_linear},
        {"", "mag", level_linear},
        {"log(m)", "m", level_linear},
    };
    for (const Case& c : cases)
        EXPECT_EQ(convert(c.from, c.to), c.message) << c.from << " -> " << c.to;
}

TEST(UnitConvert, CanonicalFactors) {
    EXPECT_EQ(canonical_factor("", kLength), 1.0);
    EXPECT_EQ(canonical_factor(" \t", kTime), 1.0);
    EXPECT_EQ(canonical_factor("arcsec", kAngle), 0.0002777777777777778);
    EXPECT_EQ(canonical_factor(" GHz ", Dimension{}.with(Second, -1)), 1e9);
    EXPECT_EQ(canonical_factor("km/s", kLength.with(Second, -1)), 1000.0);
    auto wrong = canonical_factor(" km ", kTime);
    ASSERT_FALSE(wrong);
    EXPECT_EQ(wrong.error().message(), "header: unit `km`: header: unit is m, but s was required");
    auto bad = canonical_factor("furlong", kLength);
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error().message(),
              "header: unrecognized unit `furlong` (Standard Sec.4.3 Tables 4-5)");
    auto level = canonical_factor("mag", Dimension{});
    ASSERT_FALSE(level);
    EXPECT_EQ(level.error().message().rfind("header: unit `mag`: header: no conversion", 0), 0u);

    struct Lenient {
        const char* text;
        Dimension dimension;
        double factor;
    };
    const Lenient lenient[] = {
        {"sec", kTime, 1.0},
        {"minutes", kTime, 60.0},
        {"days", kTime, 86400.0},
        {"Hours", kTime, 3600.0},
        {"'", kAngle, 1.0 / 60},
        {"km", kLength, 1000.0},
        {"\"", kAngle, 0.0002777777777777778},
    };
    for (const Lenient& c : lenient) {
        auto f = canonical_factor_lenient(c.text, c.dimension);
        ASSERT_TRUE(f) << c.text;
        EXPECT_DOUBLE_EQ(*f, c.factor) << c.text;
    }
    // A failed retry reports the first attempt, not the retry's dimension error.
    auto hours = canonical_factor_lenient("hours", kLength);
    ASSERT_FALSE(hours);
    EXPECT_EQ(hours.error().message(),
              "header: unrecognized unit `hours` (Standard Sec.4.3 Tables 4-5)");
    auto sec = canonical_factor_lenient("s", kLength);
    EXPECT_EQ(sec.error().message(), "header: unit `s`: header: unit is s, but m was required");
}

TEST(UnitConvert, LenientParsingRewritesInformalSpellings) {
    struct Case {
        const char* text;
        double scale;
        const char* dimension;
    };
    const Case cases[] = {
        {"\"", 0.0002777777777777778, "deg"},
        {" ' ", 0.016666666666666666, "deg"},
        {"km/sec", 1000, "m s^-1"},
        {"arcsecs", 0.0002777777777777778, "deg"},
        {"DN/s", 1, "s^-1 adu"},
        {"uas", 2.7777777777777777e-10, "deg"},
        {"Kelvins", 1, "K"},
        {"ergs/cm2/s", 1e-3, "kg s^-3"},
        {"MHZ", 1e6, "s^-1"},
        {"mhz", 1e6, "s^-1"},
        {"Microns", 1e-6, "m"},
        {"counts/pixel", 1, "count pixel^-1"},
    };
    for (const Case& c : cases) {
        auto u = parse_unit_lenient(c.text);
        ASSERT_TRUE(u) << c.text << ": " << u.error().message();
        EXPECT_DOUBLE_EQ(u->scale, c.scale) << c.text;
        EXPECT_EQ(u->dimension.display(), c.dimension) << c.text;
    }
    // Strict parses are never rewritten: mHz stays the millihertz.
    EXPECT_EQ(parse_unit_lenient("mHz")->scale, 1e-3);
    for (const char* text : {"furlong", "furlongs/fortnight"}) {
        auto u = parse_unit_lenient(text);
        ASSERT_FALSE(u);
        EXPECT_EQ(u.error().message(), Unit::parse(text).error().message());
    }
    // Unchanged by normalising: the first error, without a second attempt.
    EXPECT_EQ(normalize_unit_aliases("  Foo/ s\" "), "Foo/ s\"");
    EXPECT_EQ(normalize_unit_aliases("ergs/cm2 Kelvin"), "erg/cm2 K");
    EXPECT_EQ(normalize_unit_aliases("10 AS"), "10 arcsec");
    std::string out = "x";
    canonical_unit_alias("Nope", out);
    canonical_unit_alias("METRES", out);
    EXPECT_EQ(out, "xNopem");
}

}  // namespace
}  // namespace vexlo
