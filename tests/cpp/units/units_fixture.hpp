// Shared helpers for the unit tests: parse-or-fail and dimension shorthands.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "units/unit.hpp"

namespace vexlo::testing {

inline Unit parsed(std::string_view text) {
    auto u = Unit::parse(text);
    EXPECT_TRUE(u.has_value()) << text << ": " << (u ? "" : u.error().message());
    return u ? *u : Unit{};
}

// The display text of a parse failure, or "ok" when it parsed.
inline std::string parse_error(std::string_view text) {
    auto u = Unit::parse(text);
    return u ? std::string("ok") : u.error().message();
}

inline Dimension dim_of(std::string_view text) {
    return parsed(text).dimension;
}

}  // namespace vexlo::testing
