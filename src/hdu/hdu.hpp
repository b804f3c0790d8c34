// One typed HDU of a file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "hdu/compressed_image.hpp"
#include "hdu/ascii_table.hpp"
#include "hdu/bintable.hpp"
#include "hdu/conforming.hpp"
#include "hdu/image.hpp"
#include "hdu/random_groups.hpp"

namespace vexlo {

struct Hdu {
    // Alternative order is part of the interface.
    enum class Kind : std::uint8_t {
        Image,
        RandomGroups,
        AsciiTable,
        BinTable,
        CompressedImage,
        Conforming,
    };

    std::variant<ImageHdu, RandomGroupsHdu, AsciiTableHdu, BinTableHdu, CompressedImageHdu,
                 ConformingHdu>
        value;

    Kind kind() const { return static_cast<Kind>(value.index()); }
    // "Image", "RandomGroups", "AsciiTable", "BinTable", "CompressedImage", "Conforming".
    std::string_view kind_name() const;
    // The HDU's own header (for a compressed image, that of the table holding it).
    const Header& header() const;

    // The first `max_chars` characters of the structural rendering that type-mismatch
    // messages quote: `BinTable(BinTableHdu { header: Header { bytes: [88, 84, ...`.
    std::string debug_prefix(std::size_t max_chars) const;
};

}  // namespace vexlo
