// The unit symbols of the FITS unit grammar and their SI prefixes.
#pragma once

#include <optional>
#include <string_view>

#include "error.hpp"
#include "units/unit.hpp"

namespace vexlo {

// Exact, case-sensitive lookup of one symbol ("km" is not a symbol; "kg" is).
std::optional<Unit> unit_symbol(std::string_view symbol);

// A whole run of letters: the symbol itself, else an SI prefix on a symbol that takes one.
// Fails with "unrecognized unit `...` (Standard Sec.4.3 Tables 4-5)".
Result<Unit> lookup_unit_symbol(std::string_view word);

// The magnitude systems of mag(AB), mag(ST) and mag(Vega), by their zero-point name.
std::optional<Unit> magnitude_system(std::string_view name);

// A logarithm of a linear unit: log() with base 10, ln() with base e.
Unit logarithm_of(const Unit& argument, double base);

inline constexpr double kEulerE = 2.718281828459045;

}  // namespace vexlo
