// Where one tile lies in an image cut into a grid of tiles, and its pixels as runs along the
// first axis: shared by the tile reader, which scatters decoded tiles into the image, and
// the writer, which gathers them out of it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

namespace vexlo {

// An image cut into tiles, NAXIS1 first: axis lengths, tile lengths, tiles per axis and the
// byte stride of each axis.
struct TileGridView {
    std::span<const std::uint64_t> len, tile, count, stride;
};

// One tile's pixel count and the byte offset of its first pixel in the image.
struct TilePlace {
    std::uint64_t npix = 1;
    std::uint64_t offset = 0;
};

// Tile t of the grid: its place, and its length along each axis in `extent`.
inline TilePlace place_tile(const TileGridView& g, std::uint64_t t,
                            std::span<std::uint64_t> extent) {
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
void for_each_tile_run(const TileGridView& g, std::uint64_t bytepix, const TilePlace& p,
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
