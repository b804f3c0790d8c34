// Where one tile lies in an image cut into a grid of tiles, and its pixels as runs along the
// first axis: shared by the tile reader, which scatters decoded tiles into the image, and
// the writer, which gathers them out of it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "util/checked.hpp"

namespace vexlo {

// An image cut into tiles, NAXIS1 first: axis lengths, tile lengths, tiles per axis, the byte
// stride of each axis, and the number of tiles (saturated at the largest 64-bit value).
struct TileGrid {
    std::vector<std::uint64_t> len, tile, count, stride;
    std::uint64_t n_tiles = 1;
};

// The grid of an image with these axis and tile lengths and `bytepix` bytes per pixel. A tile
// length of 0, or one longer than its axis, is the whole axis; an axis of length 0 holds no
// tiles, so neither does the image.
inline TileGrid make_tile_grid(std::span<const std::uint64_t> axes,
                               std::span<const std::uint64_t> tile, std::uint64_t bytepix) {
    TileGrid g;
    std::uint64_t stride = bytepix;
    for (std::size_t i = 0; i < axes.size(); ++i) {
        const std::uint64_t n = axes[i];
        const std::uint64_t t = tile[i] == 0 ? n : std::min(tile[i], n);
        const std::uint64_t c = t == 0 ? 0 : n / t + (n % t != 0);
        g.len.push_back(n);
        g.tile.push_back(t);
        g.count.push_back(c);
        g.stride.push_back(stride);
        stride *= n;  // callers bound the image size before they cut it into tiles
        g.n_tiles = checked_mul(g.n_tiles, c).value_or(~std::uint64_t{0});
    }
    return g;
}

// One tile's pixel count and the byte offset of its first pixel in the image.
struct TilePlace {
    std::uint64_t npix = 1;
    std::uint64_t offset = 0;
};

// Tile t of the grid: its place, and its length along each axis in `extent`.
inline TilePlace place_tile(const TileGrid& g, std::uint64_t t, std::span<std::uint64_t> extent) {
    TilePlace p;
    std::uint64_t rest = t;
    for (std::size_t i = 0; i < g.len.size(); ++i) {
        const std::uint64_t origin = (rest % g.count[i]) * g.tile[i];
        rest /= g.count[i];
        extent[i] = std::min(g.tile[i], g.len[i] - origin);
        p.npix *= extent[i];
        p.offset += origin * g.stride[i];
    }
    return p;
}

// Calls copy(image_offset, tile_offset, bytes) for each whole run of the tile along axis 1,
// in tile order (odometer order over the other axes); `k` is scratch of one entry per axis.
template <class Copy>
void for_each_tile_run(const TileGrid& g, std::uint64_t bytepix, const TilePlace& p,
                       std::span<const std::uint64_t> extent, std::span<std::uint64_t> k,
                       Copy&& copy) {
    const std::size_t n = g.len.size();
    const std::uint64_t run = extent[0] * bytepix;
    std::fill(k.begin(), k.end(), 0);
    for (std::uint64_t in_tile = 0; in_tile < p.npix * bytepix; in_tile += run) {
        std::uint64_t in_image = p.offset;
        for (std::size_t i = 1; i < n; ++i)
            in_image += k[i] * g.stride[i];
        copy(in_image, in_tile, run);
        for (std::size_t i = 1; i < n; ++i) {
            if (++k[i] < extent[i]) break;
            k[i] = 0;
        }
    }
}

}  // namespace vexlo
