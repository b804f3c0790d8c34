// A finished HDU ready for writing: header plus unpadded big-endian data it owns.
#pragma once

#include "header/header.hpp"
#include "util/bytes.hpp"

namespace vexlo {

struct OwnedHdu {
    Header header;  // card images without the END card
    Bytes data;     // the data section in FITS byte order, unpadded
};

}  // namespace vexlo
