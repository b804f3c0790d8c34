// The observatory position keywords in geodetic form.
#pragma once

#include <array>
#include <optional>

#include "header/header.hpp"

namespace vexlo {

// (latitude deg, longitude deg, height m) from OBSGEO-B/L/H or their older spellings, as
// written; the height defaults to 0. None without both a latitude and a longitude.
std::optional<std::array<double, 3>> read_geodetic_keywords(const Header& h);

}  // namespace vexlo
