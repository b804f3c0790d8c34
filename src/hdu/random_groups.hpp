// The random-groups primary HDU: GCOUNT groups, each PCOUNT parameters followed by
// NAXIS2 * ... * NAXISn array values, all big-endian numbers of the BITPIX type.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "data/buffer.hpp"
#include "data/pixel.hpp"
#include "error.hpp"
#include "header/header.hpp"

namespace vexlo {

struct GroupParameter {
    std::uint64_t index = 0;  // n, counted from 1
    std::string name;         // PTYPEn trimmed, "" when absent or not a string
    double pscal = 1.0;       // PSCALn
    double pzero = 0.0;       // PZEROn
};

// Parameter n's description from PTYPEn, PSCALn and PZEROn; never fails.
GroupParameter read_group_parameter(const Header& header, std::uint64_t n);

struct RandomGroupsHdu {
    Header header;
    DataBuf data;  // unpadded: gcount * (pcount + data_per_group) values
    Bitpix bitpix = Bitpix::U8;
    std::uint64_t pcount = 0;
    std::uint64_t data_per_group = 0;  // NAXIS2 * ... * NAXISn; 0 when one of them is 0
    std::uint64_t gcount = 0;
    std::vector<GroupParameter> parameters;  // 1 ... pcount

    // Checks the geometry against the data length.
    static Result<RandomGroupsHdu> create(Header header, DataBuf data);

    // Bytes of one group (its parameters then its array values).
    std::uint64_t group_bytes() const {
        return (pcount + data_per_group) * bytes_per_pixel(bitpix);
    }
};

}  // namespace vexlo
