#include <gtest/gtest.h>

#include "header/header.hpp"
#include "header/unit_getters.hpp"
#include "header_fixture.hpp"

namespace vexlo {
namespace {

using testing::header_of;
using testing::kv;

TEST(UnitAnnotation, BracketedTextOfTheComment) {
    const std::pair<const char*, std::optional<std::string_view>> cases[] = {
        {"exposure [ s ]", "s"},
        {"[km/s] speed [m]", "km/s"},
        {"a ] then [m]", "m"},
        {"[[m]]", "[m"},
        {"[]", std::nullopt},
        {"[ \t ]", std::nullopt},
        {"unclosed [m", std::nullopt},
        {"no unit", std::nullopt},
        {"", std::nullopt},
    };
    for (auto [comment, unit] : cases)
        EXPECT_EQ(unit_annotation(comment), unit) << comment;
}

TEST(UnitGetters, UnitForValueInSiAndValueInUnit) {
    const Header h = header_of({
        kv("EXPTIME", "1500 / exposure [ms]"),
        kv("SPEED", "3 / [km/s]"),
        kv("ANGLE", "3600 / [arcsec]"),
        kv("QUOTE", "7200 / [\"]"),
        kv("COUNT", "12 / [ct]"),
        kv("BRIGHT", "3.5 / [mag]"),
        kv("LEVEL", "3.5 / [dB]"),
        kv("DIST", "2.0 / distance [km]"),
        kv("BARE", "4.5 / no unit here"),
        kv("NOCOMM", "4.5"),
        kv("TEXT", "'12' / [s]"),
        kv("ODD", "2 / [furlong]"),
        kv("MJD_OBS", "5 / [d]"),
        "COMMENT [m] commentary has no unit",
    });
    EXPECT_EQ(h.unit_for(" exptime "), "ms");
    EXPECT_EQ(h.unit_for("mjd-obs"), "d");
    EXPECT_EQ(h.unit_for("ODD"), "furlong");
    EXPECT_FALSE(h.unit_for("BARE"));
    EXPECT_FALSE(h.unit_for("NOCOMM"));
    EXPECT_FALSE(h.unit_for("COMMENT"));
    EXPECT_FALSE(h.unit_for("MISSING"));

    const std::pair<const char*, std::optional<double>> si[] = {
        {"EXPTIME", 1.5},         {"exptime", std::nullopt},  // the value lookup is not case-folded
        {"SPEED", 3000.0},        {"ANGLE", 1.0},
        {"QUOTE", 2.0},           {"COUNT", 12.0},
        {"BRIGHT", std::nullopt}, {"LEVEL", std::nullopt},
        {"DIST", 2000.0},         {"BARE", std::nullopt},
        {"TEXT", std::nullopt},   {"ODD", std::nullopt},
        {"MJD-OBS", 432000.0},
    };
    for (auto [key, value] : si)
        EXPECT_EQ(h.value_in_si(key), value) << key;

    EXPECT_EQ(h.value_in_unit("DIST", "m"), 2000.0);
    EXPECT_EQ(h.value_in_unit("DIST", "meters"), 2000.0);
    EXPECT_EQ(h.value_in_unit("BARE", "m"), 4.5);  // no annotation: already in the unit
    EXPECT_FALSE(h.value_in_unit("BARE", "furlong"));
    EXPECT_FALSE(h.value_in_unit("DIST", "s"));
    EXPECT_FALSE(h.value_in_unit("BRIGHT", ""));
    EXPECT_DOUBLE_EQ(*h.value_in_unit("BRIGHT", "mmag"), 3500.0);
    EXPECT_EQ(h.value_in_unit("SPEED", "m/s"), 3000.0);
}

}  // namespace
}  // namespace vexlo
