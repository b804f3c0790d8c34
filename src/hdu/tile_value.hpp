// A per-tile scale, zero or blank of a tile-compressed image: either read from a column of
// the tile table (one cell per tile row) or one constant for every tile.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vexlo {

template <class T>
struct TileValue {
    enum class Kind : std::uint8_t {
        Column,
        Constant,
    };

    Kind kind = Kind::Constant;
    std::size_t column = 0;  // Column: 0-based position in the table's column list
    T value{};               // Constant: the value used for every tile

    static TileValue from_column(std::size_t slot) {
        TileValue t;
        t.kind = Kind::Column;
        t.column = slot;
        return t;
    }
    static TileValue constant(T v) {
        TileValue t;
        t.kind = Kind::Constant;
        t.value = v;
        return t;
    }
};

}  // namespace vexlo
