// An extension of a type this library does not interpret, kept with its raw data.
#pragma once

#include <string>

#include "data/buffer.hpp"
#include "header/header.hpp"

namespace vexlo {

struct ConformingHdu {
    Header header;
    DataBuf data;          // unpadded, uninterpreted
    std::string xtension;  // the XTENSION value as parsed
};

}  // namespace vexlo
