#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "units/unit.hpp"
#include "units_fixture.hpp"

namespace vexlo {
namespace {

using testing::parse_error;
using testing::parsed;

void expect_unit(std::string_view text, double scale, std::string_view dimension) {
    const Unit u = parsed(text);
    EXPECT_EQ(u.kind, UnitKind::Linear) << text;
    EXPECT_NEAR(u.scale, scale, std::fabs(scale) * 4e-15) << text;
    EXPECT_EQ(u.dimension.display(), dimension) << text;
}

TEST(UnitParse, ProductsQuotientsAndSeparators) {
    struct Case {
        const char* text;
        double scale;
        const char* dimension;
    };
    const Case cases[] = {
        {"", 1, "dimensionless"},
        {"  \t ", 1, "dimensionless"},
        {" km ", 1000, "m"},
        {"km/s", 1000, "m s^-1"},
        {"km s-1", 1000, "m s^-1"},
        {"km.s**-1", 1000, "m s^-1"},
        {"km*s^-1", 1000, "m s^-1"},
        {"km s^(-1)", 1000, "m s^-1"},
        {"km/ s", 1000, "m s^-1"},
        {"km /s", 1000, "m s^-1"},
        {"/s", 1, "s^-1"},
        {"erg/s/cm2/Angstrom", 1e7, "m^-1 kg s^-3"},
        {"erg/(s cm2)", 1e-3, "kg s^-3"},
        {"erg s-1 cm-2", 1e-3, "kg s^-3"},
        {"10**-3 m", 1e-3, "m"},
        {"10^-3 m", 1e-3, "m"},
        {"10-3 m", 1e-3, "m"},
        {"0.001mas", 2.7777777777777776e-10, "deg"},
        {"1. m", 1, "m"},
        {"2m", 2, "m"},
        // A numeric divisor takes the factors after it; a symbol divisor only itself.
        {"W/10 m Hz", 0.1, "m kg s^-2"},
        {"W/(10 m Hz)", 0.1, "m kg s^-2"},
        {"W/m Hz", 1, "m kg s^-4"},
        {"erg/10 cm2 s", 1e-4, "kg s^-3"},
        {"erg/cm2 s", 1e-3, "kg s^-1"},
        // Adjacent factors multiply; a letter run is read whole.
        {"m2s", 1, "m^2 s"},
        {"ms2", 1e-6, "s^2"},
        {"m(1.5)", 1, "m^(1.5)"},
        {"m**(3/2)", 1, "m^(1.5)"},
        {"m^(1.5)", 1, "m^(1.5)"},
        {"m( 3 / 2 )", 1, "m^(1.5)"},
        {"m(-1/2)", 1, "m^(-0.5)"},
        {"m+2", 1, "m^2"},
        {"m2147483647", 1, "m^2147483647"},
        {"sqrt(Hz)", 1, "s^(-0.5)"},
        {"sqrt(km2)", 1000, "m"},
        {"(((m)))", 1, "m"},
    };
    for (const Case& c : cases)
        expect_unit(c.text, c.scale, c.dimension);
}

TEST(UnitParse, LevelUnitsAndFunctions) {
    const Unit log_hz = parsed("log(Hz)");
    EXPECT_EQ(log_hz.kind, UnitKind::Logarithmic);
    EXPECT_EQ(log_hz.level.base, 10.0);
    EXPECT_EQ(log_hz.level.factor, 1.0);
    EXPECT_EQ(log_hz.dimension.display(), "s^-1");
    const Unit ln_km = parsed("ln(km)");
    EXPECT_EQ(ln_km.level.base, 2.718281828459045);
    EXPECT_EQ(ln_km.scale, 1000.0);

    const Unit ab = parsed("mag(AB)");
    EXPECT_EQ(ab.level.reference.debug(),
              "Absolute(Zero { name: \"AB\", value: 3.630780547701e-23, dimension: "
              "Dimension([0.0, 1.0, -2.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, "
              "0.0, 0.0]) })");
    EXPECT_EQ(ab.level.factor, -2.5);
    EXPECT_EQ(parsed("mag(ST)").level.reference.zero.dimension.display(), "m^-1 kg s^-3");
    EXPECT_EQ(parsed("mag(Vega)").level.reference.debug(), "Object(Vega)");
    EXPECT_EQ(parsed("mag").level.reference.debug(), "Unspecified");

    // A level unit beside a dimensioned linear one is a level of that quantity.
    const Unit mag_s = parsed("mag/s");
    EXPECT_EQ(mag_s.kind, UnitKind::Logarithmic);
    EXPECT_EQ(mag_s.dimension.display(), "s^-1");
    EXPECT_EQ(parsed("dB W").dimension.display(), "m^2 kg s^-3");
    EXPECT_EQ(parsed("10 mag").level.factor, -0.25);
    EXPECT_EQ(parsed("Sun2").kind, UnitKind::Ratio);
}

TEST(UnitParse, ErrorsNameTheTextAndTheOffset) {
    const std::string frac =
        "a fractional exponent must be parenthesized, as in `m(1.5)` or "
        "`m**(3/2)`";
    const std::string zero_point =
        "`mag()` takes a zero point: `mag(AB)`, `mag(ST)` or `mag(Vega)`";
    const std::string power = "a logarithmic unit (`mag`, `dB`) cannot be raised to a power";
    const std::string product =
        "a product of two level units (`mag`, `dB`, `Sun`) is not a "
        "quantity";
    struct Case {
        std::string text;
        std::string message;  // without the "header: " prefix
    };
    const Case cases[] = {
        {"1e-3 m", "unrecognized unit `e` (Standard Sec.4.3 Tables 4-5)"},
        {"m1.5", "unit `m1.5`: " + frac + " at offset 2"},
        {"m**1.5", "unit `m**1.5`: " + frac + " at offset 4"},
        {"m(3/0)", "unit `m(3/0)`: bad exponent `3/0`"},
        {"m( x )", "unit `m( x )`: bad exponent ` x `"},
        {"m**", "unit `m**`: expected an integer exponent at offset 3"},
        {"m^+", "unit `m^+`: expected an integer exponent at offset 3"},
        {"m^(2", "unit `m^(2`: unclosed exponent at offset 4"},
        {"m2147483648", "unit `m2147483648`: expected an integer exponent at offset 11"},
        {"m-2147483649", "unit `m-2147483649`: expected an integer exponent at offset 12"},
        {"sqrt(mag)", power},
        {"ln(mag)", "unit `ln(mag)`: the argument of `ln()` cannot itself be a level unit"},
        {"log(Sun)", "unit `log(Sun)`: the argument of `log()` cannot itself be a level unit"},
        {"exp(m)", "unit `exp(m)`: `exp()` is not a unit"},
        {"exp(m", "unit `exp(m`: unclosed ( at offset 5"},
        {"exp(furlong)", "unrecognized unit `furlong` (Standard Sec.4.3 Tables 4-5)"},
        {"log (m)", "unrecognized unit `log` (Standard Sec.4.3 Tables 4-5)"},
        {"mag(ab)", "unit `mag(ab)`: " + zero_point + " at offset 6"},
        {"mag( AB)", "unit `mag( AB)`: " + zero_point + " at offset 4"},
        {"mag(AB )", "unit `mag(AB )`: unclosed ( at offset 6"},
        {"mag(AB)2", power},
        {"mag mag", product},
        {"W/mag", power},
        {"mag(AB) Sun", product},
        {"m)", "unit `m)`: trailing text `)`"},
        {"m /", "unit `m /`: expected a unit symbol at offset 3"},
        {"m\ts", "unit `m\ts`: trailing text `\ts`"},
        {"m \xc3\xa9", "unit `m \xc3\xa9`: trailing text `\xc3\xa9`"},
        {"*", "unit `*`: expected a unit symbol at offset 0"},
        {"(m", "unit `(m`: unclosed ( at offset 2"},
        {"1.2.3", "unit `1.2.3`: malformed numeric factor at offset 5"},
        {"(m)(s)", "unit `(m)(s)`: bad exponent `s`"},
        {"2(m)", "unit `2(m)`: bad exponent `m`"},
        {"kdeg/s", "unrecognized unit `kdeg` (Standard Sec.4.3 Tables 4-5)"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(parse_error(c.text), "header: " + c.message) << c.text;
}

TEST(UnitParse, NestingIsBounded) {
    auto nested = [](std::size_t n) { return std::string(n, '(') + "m" + std::string(n, ')'); };
    expect_unit(nested(63), 1, "m");
    const std::string deep = nested(64);
    EXPECT_EQ(parse_error(deep),
              "header: unit `" + deep + "`: expression nests too deeply at offset 64");
    // Hostile input fails at the limit instead of recursing through the whole text.
    const std::string hostile(100000, '(');
    EXPECT_EQ(parse_error(hostile),
              "header: unit `" + hostile + "`: expression nests too deeply at offset 64");
    std::string sqrt_chain;
    for (int i = 0; i < 100000; ++i)
        sqrt_chain += "sqrt(";
    EXPECT_NE(parse_error(sqrt_chain).find("expression nests too deeply at offset 320"),
              std::string::npos);
    // Chains of adjacent factors nest too: 64 links parse, 65 do not.
    std::string chain;
    for (int i = 0; i < 64; ++i)
        chain += "m2";
    expect_unit(chain, 1, "m^128");
    EXPECT_NE(parse_error(chain + "m").find("expression nests too deeply"), std::string::npos);
}

}  // namespace
}  // namespace vexlo
