#include "compression/writer.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

#include "compression/header.hpp"
#include "compression/quantize.hpp"
#include "compression/rice.hpp"
#include "data/pixel.hpp"
#include "hdu/tile_grid.hpp"
#include "io/gzip.hpp"
#include "util/checked.hpp"
#include "util/parallel.hpp"

namespace vexlo {

namespace {

// Less image than this per part is encoded on the calling thread: a helper costs more than
// it saves.
constexpr std::size_t kMinBytesPerPart = std::size_t{512} << 10;

struct TilePayload {
    bool fallback = false;  // stored in GZIP_COMPRESSED_DATA
    Bytes bytes;
    double scale = 1.0;
    double zero = 0.0;
};

// Byte j*n+k of the result is byte k*w+j of the input (n values of w bytes).
Bytes shuffle_bytes(ByteSpan in, std::size_t w) {
    Bytes out(in.size());
    const std::size_t n = in.size() / w;
    for (std::size_t k = 0; k < n; ++k) {
        for (std::size_t j = 0; j < w; ++j)
            out[j * n + k] = in[k * w + j];
    }
    return out;
}

std::vector<double> tile_values(ByteSpan bytes, Bitpix bitpix) {
    std::vector<double> v;
    if (bitpix == Bitpix::F32) {
        v.resize(bytes.size() / 4);
        for (std::size_t i = 0; i < v.size(); ++i)
            v[i] = load_be_f32(bytes.data() + 4 * i);
    } else {
        v.resize(bytes.size() / 8);
        for (std::size_t i = 0; i < v.size(); ++i)
            v[i] = load_be_f64(bytes.data() + 8 * i);
    }
    return v;
}

Bytes i32_to_be_bytes(const std::vector<std::int32_t>& values) {
    Bytes out(values.size() * 4);
    for (std::size_t i = 0; i < values.size(); ++i) {
        store_be_u32(out.data() + 4 * i, static_cast<std::uint32_t>(values[i]));
    }
    return out;
}

void put_descriptor(std::uint8_t* p, std::uint64_t count, std::uint64_t offset) {
    store_be_u32(p, static_cast<std::uint32_t>(count));
    store_be_u32(p + 4, static_cast<std::uint32_t>(offset));
}

// One part's buffers, reused from tile to tile.
struct TileScratch {
    std::vector<std::uint64_t> extent, k;
    Bytes gathered;
    GzipDeflater deflater;
};

// Copies tile t's pixels out of the image into s.gathered, in tile order.
void gather_tile(ByteSpan image, const TileGrid& g, std::uint64_t bytepix, std::uint64_t t,
                 TileScratch& s) {
    s.extent.resize(g.len.size());
    s.k.resize(g.len.size());
    const TilePlace place = place_tile(g, t, s.extent);
    s.gathered.resize(place.npix * bytepix);
    for_each_tile_run(g, bytepix, place, s.extent, s.k,
                      [&](std::uint64_t in_image, std::uint64_t in_tile, std::uint64_t n) {
                          std::memcpy(s.gathered.data() + in_tile, image.data() + in_image, n);
                      });
}

// Tile t's payload.
Result<TilePayload> encode_tile(ByteSpan image, const TileGrid& g, std::uint64_t t, Bitpix bitpix,
                                const TileCompressOptions& options, TileScratch& scratch) {
    const std::uint64_t bytepix = bytes_per_pixel(bitpix);
    gather_tile(image, g, bytepix, t, scratch);
    const Bytes& gathered = scratch.gathered;
    TilePayload p;
    if (!options.dither) {
        VEXLO_ASSIGN_OR_RETURN(
            p.bytes, compress_tile(gathered, options.compression, options.blocksize,
                                   static_cast<std::uint32_t>(bytepix), scratch.deflater));
        return p;
    }
    const std::vector<double> values = tile_values(gathered, bitpix);
    const std::uint64_t seed_sum =
        *options.dither == DitherMethod::NoDither ? 0 : std::uint64_t{options.dither_seed} + t;
    std::optional<QuantizedTile> qt =
        quantize_tile(values, *options.dither, seed_sum, options.quantize_level);
    if (qt) {
        VEXLO_ASSIGN_OR_RETURN(p.bytes,
                               compress_tile(i32_to_be_bytes(qt->values), options.compression,
                                             options.blocksize, 4, scratch.deflater));
        p.scale = qt->scale;
        p.zero = qt->zero;
    } else {
        VEXLO_ASSIGN_OR_RETURN(p.bytes, gzip_deflate(gathered, scratch.deflater));
        p.fallback = true;
    }
    return p;
}

// The encoder of each algorithm; null for those the writer does not write. Gzip tiles are
// made with the pass's deflater.
using TileEncoder = Result<Bytes> (*)(ByteSpan tile, std::uint32_t blocksize,
                                      std::uint32_t bytepix, GzipDeflater& deflater);
TileEncoder tile_encoder(Compression::Kind kind) {
    switch (kind) {
        case Compression::Kind::Gzip1:
            return [](ByteSpan tile, std::uint32_t, std::uint32_t, GzipDeflater& deflater) {
                return gzip_deflate(tile, deflater);
            };
        case Compression::Kind::Gzip2:
            return [](ByteSpan tile, std::uint32_t, std::uint32_t bytepix,
                      GzipDeflater& deflater) {
                return gzip_deflate(shuffle_bytes(tile, bytepix), deflater);
            };
        case Compression::Kind::Rice1:
            return [](ByteSpan tile, std::uint32_t blocksize, std::uint32_t bytepix,
                      GzipDeflater&) { return rice_encode(bytepix, blocksize, tile); };
        case Compression::Kind::Plio1:
        case Compression::Kind::Hcompress1:
        case Compression::Kind::None:
            return nullptr;
    }
    return nullptr;
}

// The refusal of an algorithm the writer has no encoder for.
Error unwritten_algorithm(Compression::Kind kind) {
    return Error::non_standard("compress_image_to_hdu: " + std::string(compression_name(kind)) +
                               " tiles are not written (GZIP_1, GZIP_2 and RICE_1 are)");
}

// The description of the tiles written: quantised values are 32-bit integers whose null is
// the standard sentinel, with the per-tile scale and zero in the columns after the payloads.
TileParams written_params(Bitpix bitpix, std::vector<std::uint64_t> axes,
                          std::vector<std::uint64_t> tile, bool fallback,
                          const TileCompressOptions& options) {
    TileParams p;
    p.bitpix = bitpix;
    p.axes = std::move(axes);
    p.tile = std::move(tile);
    p.cmptype.kind = options.compression;
    p.cmptype.blocksize = options.blocksize;
    p.internal_bp = options.dither ? 4 : bytes_per_pixel(bitpix);
    if (options.dither) {
        QuantizeInfo q;
        q.dither = *options.dither;
        q.dither_seed = options.dither_seed;
        q.blank = TileValue<std::int32_t>::constant(kNullSentinel);
        const std::size_t scale_column = fallback ? 2 : 1;
        q.scale = TileValue<double>::from_column(scale_column);
        q.zero = TileValue<double>::from_column(scale_column + 1);
        p.quantize = q;
    }
    return p;
}

Result<BinTableHdu> compress(const ImageHdu& image, const TileCompressOptions& options) {
    VEXLO_ASSIGN_OR_RETURN(const std::int64_t bitpix_v, image.header.bitpix());
    VEXLO_ASSIGN_OR_RETURN(std::vector<std::uint64_t> axes, image.header.axes());
    VEXLO_ASSIGN_OR_RETURN(const Bitpix bitpix, from_bitpix(bitpix_v));
    if (axes.empty()) {
        return fail(Error::data("compress_image_to_hdu: cannot compress a 0-axis image"));
    }
    if (tile_encoder(options.compression) == nullptr) {
        return fail(unwritten_algorithm(options.compression));
    }
    if (options.dither && bitpix_v > 0) {
        return fail(
            Error::non_standard("quantization applies to floating-point images; got BITPIX=" +
                                std::to_string(bitpix_v)));
    }
    if (!options.dither && options.compression == Compression::Kind::Rice1 && bitpix_v != 8 &&
        bitpix_v != 16 && bitpix_v != 32) {
        return fail(Error::non_standard(
            "RICE_1 writes integer images of 1, 2 or 4 bytes per pixel; got BITPIX=" +
            std::to_string(bitpix_v) + " (quantization makes a float image eligible)"));
    }
    std::vector<std::uint64_t> tile;
    if (options.tile_shape) {
        tile = *options.tile_shape;
        if (tile.size() != axes.size()) {
            return fail(Error::data("compress_image_to_hdu: tile rank " +
                                    std::to_string(tile.size()) + " does not match NAXIS " +
                                    std::to_string(axes.size())));
        }
        if (std::find(tile.begin(), tile.end(), 0) != tile.end()) {
            return fail(Error::data("compress_image_to_hdu: tile dimensions must be >= 1"));
        }
        if (std::any_of(tile.begin(), tile.end(),
                        [](std::uint64_t t) { return t > kMaxTileLength; })) {
            return fail(Error::data("compress_image_to_hdu: tile dimensions must be <= " +
                                    std::to_string(kMaxTileLength)));
        }
    } else {
        tile.assign(axes.size(), 1);
        tile[0] = axes[0];
    }
    const std::uint64_t b = bytes_per_pixel(bitpix);
    if (image.data.size() != image.n_elements * b) {
        return fail(Error::data("compress_image_to_hdu: image data is " +
                                std::to_string(image.data.size()) + " bytes, expected " +
                                std::to_string(image.n_elements * b)));
    }

    // At most one tile per pixel, so the count never saturates; an axis of length 0 (whose
    // default tile length is 0 too) gives no tiles.
    const TileGrid grid = make_tile_grid(axes, tile, b);
    const std::uint64_t n_tiles = grid.n_tiles;

    // Tiles are independent: ranges of them are encoded over the cores, each tile into its
    // own slot, and the heap is laid out in tile order afterwards. Within a range tiles go in
    // order and stop at the first failure, so the failure reported is the first tile's.
    std::vector<TilePayload> payloads;
    try {
        payloads.resize(n_tiles);
    } catch (const std::bad_alloc&) {
        return fail(Error::out_of_memory(Error::data("compress_image_to_hdu: out of memory")));
    }
    const std::size_t parts =
        std::min<std::uint64_t>(parts_for(image.data.size(), kMinBytesPerPart), n_tiles);
    const auto encode_range = [&](std::size_t, std::uint64_t first,
                                  std::uint64_t len) -> Result<void> {
        try {
            TileScratch scratch;
            for (std::uint64_t t = first; t < first + len; ++t) {
                VEXLO_ASSIGN_OR_RETURN(
                    payloads[t], encode_tile(image.data.span(), grid, t, bitpix, options, scratch));
            }
            return {};
        } catch (const std::bad_alloc&) {
            return fail(Error::out_of_memory(Error::data("compress_image_to_hdu: out of memory")));
        }
    };
    VEXLO_TRY(run_ranges(parts, n_tiles, encode_range));

    CompressedLayout layout;
    layout.n_tiles = n_tiles;
    for (const TilePayload& p : payloads) {
        layout.heap_size += p.bytes.size();
        std::uint64_t& max = p.fallback ? layout.max_fallback : layout.max_compressed;
        max = std::max<std::uint64_t>(max, p.bytes.size());
        layout.fallback = layout.fallback || p.fallback;
    }
    if (layout.heap_size > 2147483647) {
        return fail(Error::data("compressed heap is " + std::to_string(layout.heap_size) +
                                " bytes, which exceeds the P descriptor range; use smaller tiles "
                                "or split the image"));
    }
    const bool q = options.dither.has_value();
    const std::uint64_t row = 8 + (layout.fallback ? 8 : 0) + (q ? 16 : 0);
    Bytes data(n_tiles * row + layout.heap_size);
    std::uint64_t heap_at = 0;
    std::uint8_t* heap = data.data() + n_tiles * row;
    for (std::uint64_t t = 0; t < n_tiles; ++t) {
        const TilePayload& p = payloads[t];
        std::uint8_t* cell = data.data() + t * row;
        put_descriptor(cell, p.fallback ? 0 : p.bytes.size(), p.fallback ? 0 : heap_at);
        cell += 8;
        if (layout.fallback) {
            put_descriptor(cell, p.fallback ? p.bytes.size() : 0, p.fallback ? heap_at : 0);
            cell += 8;
        }
        if (q) {
            store_be_f64(cell, p.scale);
            store_be_f64(cell + 8, p.zero);
        }
        if (!p.bytes.empty()) std::memcpy(heap + heap_at, p.bytes.data(), p.bytes.size());
        heap_at += p.bytes.size();
    }
    const TileParams params =
        written_params(bitpix, std::move(axes), std::move(tile), layout.fallback, options);
    VEXLO_ASSIGN_OR_RETURN(Header header,
                           build_compressed_header(image.header, params, layout, options.extname));
    return BinTableHdu::create(std::move(header), std::move(data));
}

}  // namespace

Result<Bytes> compress_tile(ByteSpan tile, Compression::Kind compression, std::uint32_t blocksize,
                            std::uint32_t bytepix, GzipDeflater& deflater) {
    const TileEncoder encode = tile_encoder(compression);
    if (encode == nullptr) return fail(unwritten_algorithm(compression));
    return encode(tile, blocksize, bytepix, deflater);
}

Result<BinTableHdu> compress_image_to_hdu(const ImageHdu& image,
                                          const TileCompressOptions& options) {
    return compress(image, options);
}

}  // namespace vexlo
