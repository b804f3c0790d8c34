// The size of an HDU's data section as its header declares it.
#pragma once

#include <cstdint>
#include <string_view>

#include "error.hpp"
#include "header/header.hpp"

namespace vexlo {

// Unpadded data length: |BITPIX|/8 * GCOUNT * (PCOUNT + NAXIS1 * ... * NAXISn), NAXIS1 left
// out for random groups; 0 when NAXIS = 0 or (outside random groups) an axis is 0.
Result<std::uint64_t> data_section_size(const Header& header);

// A non-negative count keyword (GCOUNT), `dflt` when absent.
Result<std::uint64_t> count_keyword(const Header& header, std::string_view keyword,
                                    std::uint64_t dflt);

}  // namespace vexlo
