// Tile decompression: every row of the tile table decoded straight into the image.
#include "compression/reader.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>
#include <optional>
#include <set>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "compression/hcompress.hpp"
#include "compression/plio.hpp"
#include "compression/quantize.hpp"
#include "compression/rice.hpp"
#include "data/pixel.hpp"
#include "hdu/compressed_image.hpp"
#include "hdu/load.hpp"
#include "hdu/tile_grid.hpp"
#include "hdu/tile_params.hpp"
#include "io/gzip.hpp"
#include "util/checked.hpp"
#include "util/parallel.hpp"

namespace vexlo {

namespace {

// Less image than this per part is decoded on the calling thread: a helper costs more than
// it saves.
constexpr std::size_t kMinBytesPerPart = std::size_t{512} << 10;

enum class PayloadKind : std::uint8_t { Compressed, Raw, GzipRaw };

struct Columns {
    const BinColumn* compressed = nullptr;
    const BinColumn* raw = nullptr;
    const BinColumn* gzip_raw = nullptr;
};

// Byte i*w+k of the result is byte k*n+i of the shuffled buffer (n = L / w values).
Result<void> unshuffle_bytes(std::span<std::uint8_t> buf, std::size_t w, Bytes& scratch) {
    if (buf.size() % w != 0) {
        return fail(Error::data("GZIP_2 tile size " + std::to_string(buf.size()) +
                                " is not a multiple of " + std::to_string(w)));
    }
    const std::size_t n = buf.size() / w;
    scratch.assign(buf.begin(), buf.end());
    for (std::size_t k = 0; k < w; ++k) {
        const std::uint8_t* plane = scratch.data() + k * n;
        for (std::size_t i = 0; i < n; ++i)
            buf[i * w + k] = plane[i];
    }
    return {};
}

// A gzip member that must decode to exactly out.size() bytes. It is decoded straight into
// `out`; anything beyond is only counted for the message, never held.
Result<void> inflate_gzip_tile(ByteSpan payload, std::span<std::uint8_t> out) {
    const Result<std::uint64_t> n = gzip_inflate_counted(payload, out);
    if (!n) {
        const std::string text = "tile gzip inflate failed: " + n.error().msg;
        return fail(Error::restated(n.error(), Error::data(text)));
    }
    if (*n != out.size()) {
        return fail(Error::data("gzip tile inflated to " + std::to_string(*n) +
                                " bytes, expected " + std::to_string(out.size())));
    }
    return {};
}

Result<void> copy_exact(std::string_view what, ByteSpan payload, std::span<std::uint8_t> out) {
    if (payload.size() != out.size()) {
        return fail(Error::data(std::string(what) + " tile is " + std::to_string(payload.size()) +
                                " bytes, expected " + std::to_string(out.size())));
    }
    std::memcpy(out.data(), payload.data(), payload.size());
    return {};
}

// The null value of a quantised tile's row.
Result<std::int32_t> tile_blank(const TileValue<std::int32_t>& blank, const BinTableHdu& table,
                                std::uint64_t row) {
    if (blank.kind == TileValue<std::int32_t>::Kind::Constant) return blank.value;
    if (blank.column >= table.columns.size()) {
        return fail(Error::header("ZBLANK column slot " + std::to_string(blank.column) +
                                  " no longer present"));
    }
    VEXLO_ASSIGN_OR_RETURN(const BinValue v, table.read_cell(row, table.columns[blank.column]));
    if (const auto* ints = std::get_if<BinValue::Int>(&v.value); ints && ints->values.size() == 1) {
        const std::optional<std::int64_t> x = ints->values[0];
        return x ? static_cast<std::int32_t>(static_cast<std::uint32_t>(*x)) : -2147483647;
    }
    return fail(Error::data("expected scalar integer in ZBLANK column, got " + v.debug()));
}

// Null pixels become the NaN with every bit set, as the standard decompressor writes them
// (files compared bit for bit against its output rely on it).
template <class Out>
void store_value(std::uint8_t* out, std::size_t i, double v) {
    if constexpr (std::is_same_v<Out, float>) {
        store_be_f32(out + 4 * i, static_cast<float>(v));
    } else {
        store_be_f64(out + 8 * i, v);
    }
}
template <class Out>
void store_null(std::uint8_t* out, std::size_t i) {
    if constexpr (std::is_same_v<Out, float>) {
        store_be_u32(out + 4 * i, 0xFFFFFFFFu);
    } else {
        store_be_u64(out + 8 * i, ~std::uint64_t{0});
    }
}

// Dequantises n stored big-endian 32-bit integers at `in` into n pixels of the image's float
// type at `out`, in pixel order. `in` may be `out` itself (float) or its second half (double):
// every value is read before its own or any later place is written.
template <class Out>
void dequantize_tile(const std::uint8_t* in, std::size_t n, std::int32_t null, DitherMethod method,
                     std::uint64_t seed_sum, double scale, double zero, std::uint8_t* out) {
    if (method == DitherMethod::NoDither) {
        for (std::size_t i = 0; i < n; ++i) {
            const std::int32_t s = load_be_i32(in + 4 * i);
            if (s == null) {
                store_null<Out>(out, i);
            } else {
                store_value<Out>(out, i, zero + scale * static_cast<double>(s));
            }
        }
        return;
    }
    DitherWalker walker = DitherWalker::create(seed_sum);
    const bool zeros = method == DitherMethod::Subtractive2;
    for (std::size_t i = 0; i < n; ++i) {
        const std::int32_t s = load_be_i32(in + 4 * i);
        if (s == null) {
            walker.skip();
            store_null<Out>(out, i);
        } else if (zeros && s == kZeroSentinel) {
            walker.skip();
            store_value<Out>(out, i, 0.0);
        } else {
            const double r = walker.draw();
            store_value<Out>(out, i, zero + scale * ((static_cast<double>(s) - r) + 0.5));
        }
    }
}

// The rebuilt IMAGE header: structural cards from the image description, then the table's cards
// that describe the image.
Result<Header> rebuild_header(const TileParams& params, const Header& table) {
    Header h;
    std::set<std::string> written;
    auto push = [&](const std::string& key, const Value& v) -> Result<void> {
        VEXLO_TRY(h.push_card(key, v, std::nullopt));
        written.insert(key);
        return {};
    };
    VEXLO_TRY(push("XTENSION", Value::make_string("IMAGE")));
    VEXLO_TRY(push("BITPIX", Value::make_integer(bitpix_value(params.bitpix))));
    VEXLO_TRY(push("NAXIS", Value::make_integer(static_cast<std::int64_t>(params.axes.size()))));
    for (std::size_t i = 0; i < params.axes.size(); ++i) {
        VEXLO_TRY(push(indexed_keyword("NAXIS", i + 1),
                       Value::make_integer(static_cast<std::int64_t>(params.axes[i]))));
    }
    VEXLO_TRY(push("PCOUNT", Value::make_integer(0)));
    VEXLO_TRY(push("GCOUNT", Value::make_integer(1)));
    // An integer image's BLANK travels in the table under its Z name.
    if (!is_float(params.bitpix)) {
        if (const std::optional<std::int64_t> blank = table.get_i64(tile_table_keyword("BLANK"))) {
            VEXLO_TRY(push("BLANK", Value::make_integer(*blank)));
        }
    }

    const Layout& layout = table.layout();
    for (std::size_t k = 0; k < layout.spans.size(); ++k) {
        const CardView card = table.view_at(k);
        if (card.is_commentary()) {
            h.push_raw(card.bytes);
            continue;
        }
        const std::string key = card.keyword();
        if (key == "EXTNAME") {
            const std::optional<Value> v = card.value();
            if (v && v->is(Value::Kind::String) && v->text == "COMPRESSED_IMAGE") continue;
        }
        if (is_reserved_keyword(key) || is_tile_table_keyword(key) || written.contains(key))
            continue;
        h.push_raw(card.bytes);
    }
    return h;
}

class TileDecoder {
  public:
    TileDecoder(const CompressedImageHdu& rec, const Columns& cols, std::uint64_t b, ByteSpan heap)
        : rec_(rec), params_(*rec.params), cols_(cols), b_(b), heap_(heap) {}

    // Decodes row r into `out` (P pixels of the tile, tile order, image pixel type).
    Result<void> decode(std::uint64_t r, std::uint64_t npix, std::span<std::uint8_t> out) {
        VEXLO_ASSIGN_OR_RETURN(const auto found, payload(r));
        const auto& [kind, bytes] = found;
        if (kind == PayloadKind::Raw) return copy_exact("UNCOMPRESSED_DATA", bytes, out);
        if (kind == PayloadKind::GzipRaw) return inflate_gzip_tile(bytes, out);
        if (!params_.quantize) return decode_compressed(bytes, npix, b_, out);

        // Quantised: the codec yields 32-bit integers, decoded into the last 4 * npix bytes
        // of the tile's place and dequantised from there forward into the whole of it.
        const QuantizeInfo& q = *params_.quantize;
        const std::span<std::uint8_t> stored = out.subspan(out.size() - npix * 4);
        VEXLO_TRY(decode_compressed(bytes, npix, 4, stored));
        VEXLO_ASSIGN_OR_RETURN(const double scale, tile_value_for_row(q.scale, rec_.inner, r));
        VEXLO_ASSIGN_OR_RETURN(const double zero, tile_value_for_row(q.zero, rec_.inner, r));
        VEXLO_ASSIGN_OR_RETURN(const std::int32_t null, tile_blank(q.blank, rec_.inner, r));
        const std::uint64_t seed_sum = std::uint64_t{q.dither_seed} + r;
        if (params_.bitpix == Bitpix::F32) {
            dequantize_tile<float>(stored.data(), npix, null, q.dither, seed_sum, scale, zero,
                                   out.data());
        } else {
            dequantize_tile<double>(stored.data(), npix, null, q.dither, seed_sum, scale, zero,
                                    out.data());
        }
        return {};
    }

  private:
    Result<std::pair<PayloadKind, ByteSpan>> payload(std::uint64_t r) const {
        const std::pair<const BinColumn*, PayloadKind> order[] = {
            {cols_.compressed, PayloadKind::Compressed},
            {cols_.raw, PayloadKind::Raw},
            {cols_.gzip_raw, PayloadKind::GzipRaw},
        };
        for (const auto& [col, kind] : order) {
            if (col == nullptr) continue;
            VEXLO_ASSIGN_OR_RETURN(const ByteSpan cell, rec_.inner.cell_bytes(r, *col));
            VEXLO_ASSIGN_OR_RETURN(const VlaDescriptor d,
                                   read_vla_descriptor(col->format.kind, cell));
            // An empty array holds no payload, wherever it points.
            if (d.count == 0) continue;
            VEXLO_ASSIGN_OR_RETURN(const ByteSpan bytes,
                                   heap_array(d, col->format.vla_kind.value_or(BinKind::Byte),
                                              heap_, {HeapReader::Kind::Tile}));
            return std::pair{kind, bytes};
        }
        return fail(Error::data("compressed image: tile " + std::to_string(r) +
                                " has no payload in COMPRESSED_DATA, UNCOMPRESSED_DATA or "
                                "GZIP_COMPRESSED_DATA"));
    }

    // A COMPRESSED_DATA payload of `npix` values of `bc` bytes.
    Result<void> decode_compressed(ByteSpan in, std::uint64_t npix, std::uint64_t bc,
                                   std::span<std::uint8_t> out) {
        const Compression& c = params_.cmptype;
        // The codecs count pixels in 32 bits; a larger tile reaches them with a count that
        // does not match its buffer, and their length check refuses it.
        const auto p32 = static_cast<std::uint32_t>(npix);
        const auto w = static_cast<std::uint32_t>(bc);
        switch (c.kind) {
            case Compression::Kind::Gzip1:
                return inflate_gzip_tile(in, out);
            case Compression::Kind::Gzip2:
                VEXLO_TRY(inflate_gzip_tile(in, out));
                if (bc >= 2) return unshuffle_bytes(out, bc, scratch_);
                return {};
            case Compression::Kind::Rice1:
                return rice_decode(w, c.blocksize, p32, in, out);
            case Compression::Kind::Plio1:
                return plio_decode(in, w, p32, out);
            case Compression::Kind::Hcompress1:
                return hcompress_decode(in, w, p32, c.scale, c.smooth, out);
            case Compression::Kind::None:
                return copy_exact("NOCOMPRESS", in, out);
        }
        return {};
    }

    const CompressedImageHdu& rec_;
    const TileParams& params_;
    const Columns& cols_;
    std::uint64_t b_;
    ByteSpan heap_;
    Bytes scratch_;  // GZIP_2 unshuffling, reused
};

// Decodes rows [first, first + len) into their places in `image`, in row order, stopping at
// the first that fails.
Result<void> decode_rows(const CompressedImageHdu& rec, const Columns& cols, const TileGrid& g,
                         std::uint64_t b, std::uint64_t first, std::uint64_t len,
                         std::span<std::uint8_t> image) {
    VEXLO_ASSIGN_OR_RETURN(const ByteSpan heap, rec.inner.heap());
    TileDecoder decoder(rec, cols, b, heap);
    const std::size_t n_axes = g.len.size();
    std::vector<std::uint64_t> extent(n_axes), k(n_axes);
    Bytes tile_buf;
    for (std::uint64_t r = first; r < first + len; ++r) {
        const TilePlace place = place_tile(g, r, extent);
        const std::uint64_t npix = place.npix;
        const std::uint64_t need = npix * b;  // at most the image size
        // A tile that is one contiguous stretch of the image (whole lower axes, one
        // position on the upper ones) is decoded in place; others go through a buffer.
        std::size_t j = 0;
        while (j < n_axes && extent[j] == g.len[j])
            ++j;
        bool contiguous = true;
        for (std::size_t i = j + 1; i < n_axes; ++i)
            contiguous = contiguous && extent[i] == 1;
        if (contiguous) {
            VEXLO_TRY(decoder.decode(r, npix, image.subspan(place.offset, need)));
            continue;
        }
        tile_buf.assign(need, 0);
        VEXLO_TRY(decoder.decode(r, npix, tile_buf));
        for_each_tile_run(g, b, place, extent, k,
                          [&](std::uint64_t in_image, std::uint64_t in_tile, std::uint64_t n) {
                              std::memcpy(image.data() + in_image, tile_buf.data() + in_tile, n);
                          });
    }
    return {};
}

Result<ImageHdu> decompress_image(const CompressedImageHdu& rec) {
    const TileParams& params = *rec.params;
    const auto& axes = params.axes;
    const auto& inner = rec.inner;
    const std::uint64_t b = bytes_per_pixel(params.bitpix);
    std::uint64_t size = axes.empty() ? 0 : b;
    for (const std::uint64_t n : axes) {
        const std::optional<std::uint64_t> p = checked_mul(size, n);
        if (!p) return fail(Error::data("decompressed size overflows usize"));
        size = *p;
    }
    Bytes image;
    if (size > 0) {
        // Everything the table must hold is checked before the image is allocated, so a
        // small file that claims a huge image is refused without trying to allocate it.
        Columns cols;
        cols.compressed = inner.find_column("COMPRESSED_DATA");
        if (cols.compressed == nullptr) {
            return fail(Error::header("compressed image: COMPRESSED_DATA column missing"));
        }
        if (cols.compressed->format.kind != BinKind::P &&
            cols.compressed->format.kind != BinKind::Q) {
            return fail(Error::value("TFORM" + std::to_string(cols.compressed->index),
                                     "COMPRESSED_DATA must be a P/Q variable-length array"));
        }
        cols.raw = inner.find_column("UNCOMPRESSED_DATA");
        cols.gzip_raw = inner.find_column("GZIP_COMPRESSED_DATA");
        const TileGrid g = make_tile_grid(params.axes, params.tile, b);
        if (g.n_tiles != inner.n_rows) {
            return fail(Error::header("compressed image: " + std::to_string(inner.n_rows) +
                                      " table rows, expected " + std::to_string(g.n_tiles) +
                                      " tiles from ZNAXIS/ZTILE"));
        }
        try {
            image.assign(size, 0);
        } catch (const std::exception&) {  // bad_alloc, or length_error beyond max_size
            return fail(
                Error::out_of_memory(Error::data("decompressed image of " + std::to_string(size) +
                                                 " bytes does not fit in memory")));
        }

        // Tiles are independent: ranges of rows are decoded over the cores, each range in
        // row order and stopping at its first failure, so the failure reported is the first
        // failing tile's, as one thread would report it.
        const std::size_t parts =
            std::min<std::uint64_t>(parts_for(size, kMinBytesPerPart), inner.n_rows);
        const auto decode_range = [&](std::size_t, std::uint64_t first,
                                      std::uint64_t len) -> Result<void> {
            try {
                return decode_rows(rec, cols, g, b, first, len, image);
            } catch (const std::bad_alloc&) {
                return fail(
                    Error::out_of_memory(Error::data("decompressed image does not fit in memory")));
            }
        };
        VEXLO_TRY(run_ranges(parts, inner.n_rows, decode_range));
    }
    VEXLO_ASSIGN_OR_RETURN(Header header, rebuild_header(params, inner.header));
    return ImageHdu::create(std::move(header), std::move(image));
}

}  // namespace

Result<ImageHdu> decompress(const CompressedImageHdu& hdu) {
    // Buffers sized by the file are allocated inside; running out of memory is the file's
    // fault as far as the caller is concerned.
    try {
        return decompress_image(hdu);
    } catch (const std::bad_alloc&) {
        return fail(Error::out_of_memory(Error::data("decompressed image does not fit in memory")));
    }
}

Result<ImageHdu> load_image(const FitsFile& file, std::size_t index) {
    VEXLO_ASSIGN_OR_RETURN(Hdu hdu, load_image_hdu(file, index));
    if (const auto* ci = std::get_if<CompressedImageHdu>(&hdu.value)) return decompress(*ci);
    return std::get<ImageHdu>(std::move(hdu.value));
}

}  // namespace vexlo
