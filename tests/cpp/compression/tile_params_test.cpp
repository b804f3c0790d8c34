// The image description both ways: written as Z cards and read back, the writer's tables read
// back into the description it wrote, and the tile grid cut from it.
#include "hdu/tile_params.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../hdu/table_fixture.hpp"
#include "compression/writer.hpp"
#include "hdu/compressed_image.hpp"
#include "hdu/tile_grid.hpp"

namespace vexlo {
namespace {

template <class T>
void expect_same_value(const TileValue<T>& got, const TileValue<T>& want, const char* what) {
    EXPECT_EQ(got.kind, want.kind) << what;
    if (want.kind == TileValue<T>::Kind::Column) {
        EXPECT_EQ(got.column, want.column) << what;
    } else {
        EXPECT_EQ(got.value, want.value) << what;
    }
}

void expect_same_params(const TileParams& got, const TileParams& want) {
    EXPECT_EQ(got.bitpix, want.bitpix);
    EXPECT_EQ(got.axes, want.axes);
    EXPECT_EQ(got.tile, want.tile);
    EXPECT_EQ(got.cmptype, want.cmptype);
    EXPECT_EQ(got.internal_bp, want.internal_bp);
    ASSERT_EQ(got.quantize.has_value(), want.quantize.has_value());
    if (!want.quantize) return;
    EXPECT_EQ(got.quantize->dither, want.quantize->dither);
    EXPECT_EQ(got.quantize->dither_seed, want.quantize->dither_seed);
    expect_same_value(got.quantize->blank, want.quantize->blank, "ZBLANK");
    expect_same_value(got.quantize->scale, want.quantize->scale, "ZSCALE");
    expect_same_value(got.quantize->zero, want.quantize->zero, "ZZERO");
}

TileParams params(Bitpix bitpix, std::vector<std::uint64_t> axes, std::vector<std::uint64_t> tile,
                  Compression::Kind kind) {
    TileParams p;
    p.bitpix = bitpix;
    p.axes = std::move(axes);
    p.tile = std::move(tile);
    p.cmptype.kind = kind;
    p.internal_bp = bytes_per_pixel(bitpix);
    return p;
}

TileParams quantised(TileParams p, DitherMethod dither, std::uint32_t seed, std::int32_t blank,
                     double scale, double zero) {
    QuantizeInfo q;
    q.dither = dither;
    q.dither_seed = seed;
    q.blank = TileValue<std::int32_t>::constant(blank);
    q.scale = TileValue<double>::constant(scale);
    q.zero = TileValue<double>::constant(zero);
    p.quantize = q;
    p.internal_bp = 4;
    return p;
}

TEST(TileParams, CardsReadBackAsTheyWereWritten) {
    using K = Compression::Kind;
    TileParams rice = params(Bitpix::I16, {300, 200}, {300, 1}, K::Rice1);
    rice.cmptype.blocksize = 16;
    TileParams hcompress = params(Bitpix::I32, {64, 64}, {0, 16}, K::Hcompress1);
    hcompress.cmptype.scale = 12;
    hcompress.cmptype.smooth = true;
    TileParams rice_float = quantised(params(Bitpix::F64, {10, 10, 3}, {10, 5, 1}, K::Rice1),
                                      DitherMethod::Subtractive1, 77, -1, 0.25, -3.5);
    rice_float.cmptype.blocksize = 64;
    const TileParams cases[] = {
        params(Bitpix::U8, {5}, {5}, K::Gzip1),
        params(Bitpix::I64, {7, 3}, {2, 2}, K::Gzip2),
        params(Bitpix::F32, {4, 4}, {4, 1}, K::Gzip2),  // floats kept as they are
        params(Bitpix::F64, {4, 4}, {0, 0}, K::None),
        params(Bitpix::I32, {9, 9}, {9, 1}, K::Plio1),
        params(Bitpix::I16, {}, {}, K::Gzip1),
        rice,
        hcompress,
        rice_float,
        quantised(params(Bitpix::F32, {8, 2}, {8, 1}, K::Gzip1), DitherMethod::NoDither, 0,
                  -2147483647, 1e-3, 100.0),
        quantised(params(Bitpix::F32, {8, 8}, {4, 4}, K::Plio1), DitherMethod::Subtractive2, 10000,
                  5, 2.0, 0.0),
        quantised(params(Bitpix::F32, {8, 8}, {8, 8}, K::Hcompress1), DitherMethod::Subtractive1, 1,
                  -2147483647, 0.5, 0.5),
    };
    for (const TileParams& want : cases) {
        SCOPED_TRACE(testing::Message() << "bitpix " << bitpix_value(want.bitpix) << " kind "
                                        << int(want.cmptype.kind) << " axes " << want.axes.size());
        Header cards;
        ASSERT_TRUE(write_tile_params(want, Header(), cards).has_value());
        const Result<TileParams> got = read_tile_params(cards, {});
        ASSERT_TRUE(got.has_value()) << got.error().message();
        expect_same_params(*got, want);
    }
}

TEST(TileParams, CardsCarryTheImageStructureInOrder) {
    using table_testing::make_header;
    const Header primary =
        make_header({{"SIMPLE", "T"}, {"BITPIX", "-32"}, {"NAXIS", "0"}, {"EXTEND", "T"}});
    const Header extension =
        make_header({{"XTENSION", "'IMAGE'"}, {"BITPIX", "16"}, {"PCOUNT", "0"}, {"GCOUNT", "1"}});
    TileParams rice = params(Bitpix::I16, {6, 2}, {6, 1}, Compression::Kind::Rice1);
    const TileParams q = quantised(params(Bitpix::F32, {3}, {3}, Compression::Kind::Gzip2),
                                   DitherMethod::Subtractive2, 9, -2147483647, 2.0, 1.0);
    struct Case {
        const TileParams& p;
        const Header& image;
        std::vector<std::string> keys;
    };
    const Case cases[] = {
        {rice,
         extension,
         {"ZIMAGE", "ZCMPTYPE", "ZTENSION", "ZBITPIX", "ZNAXIS", "ZNAXIS1", "ZNAXIS2", "ZPCOUNT",
          "ZGCOUNT", "ZTILE1", "ZTILE2", "ZNAME1", "ZVAL1", "ZNAME2", "ZVAL2"}},
        {q,
         primary,
         {"ZIMAGE", "ZCMPTYPE", "ZSIMPLE", "ZBITPIX", "ZNAXIS", "ZNAXIS1", "ZEXTEND", "ZTILE1",
          "ZQUANTIZ", "ZDITHER0", "ZBLANK", "ZSCALE", "ZZERO"}},
    };
    for (const Case& c : cases) {
        Header h;
        ASSERT_TRUE(write_tile_params(c.p, c.image, h).has_value());
        std::vector<std::string> keys;
        for (std::size_t k = 0; k < h.layout().spans.size(); ++k)
            keys.push_back(h.view_at(k).keyword());
        EXPECT_EQ(keys, c.keys);
    }
}

// What the writer says of its tiles is what the reader finds in its table, per-tile scale
// and zero columns included (they move right when some tile needed the gzip fallback).
TEST(TileParams, WrittenTablesReadBackIntoTheirDescription) {
    using table_testing::make_header;
    const Header header = make_header({{"XTENSION", "'IMAGE'"},
                                       {"BITPIX", "-32"},
                                       {"NAXIS", "2"},
                                       {"NAXIS1", "8"},
                                       {"NAXIS2", "3"},
                                       {"PCOUNT", "0"},
                                       {"GCOUNT", "1"}});
    Bytes noisy(8 * 3 * 4), flat(8 * 3 * 4);
    for (std::size_t i = 0; i < 24; ++i) {
        store_be_f32(&noisy[4 * i], static_cast<float>((i * 7919) % 101) * 0.37f);
        store_be_f32(&flat[4 * i], i < 8 ? 5.0f : static_cast<float>(i % 13));  // row 0 flat
    }
    struct Case {
        Bytes pixels;
        TileCompressOptions options;
        std::size_t scale_column;
    };
    TileCompressOptions rice;
    rice.compression = Compression::Kind::Rice1;
    rice.blocksize = 16;
    rice.dither = DitherMethod::Subtractive2;
    rice.dither_seed = 42;
    rice.tile_shape = std::vector<std::uint64_t>{4, 3};
    TileCompressOptions gzip;
    gzip.compression = Compression::Kind::Gzip2;
    gzip.dither = DitherMethod::NoDither;
    const Case cases[] = {{noisy, rice, 1}, {flat, gzip, 2}};
    for (const Case& c : cases) {
        const ImageHdu image = ImageHdu::create(header, c.pixels).value();
        Result<BinTableHdu> table = compress_image_to_hdu(image, c.options);
        ASSERT_TRUE(table.has_value()) << table.error().message();
        const Result<CompressedImageHdu> rec = CompressedImageHdu::from_bintable(std::move(*table));
        ASSERT_TRUE(rec.has_value()) << rec.error().message();

        const bool is_rice = c.options.compression == Compression::Kind::Rice1;
        TileParams want = params(Bitpix::F32, {8, 3},
                                 c.options.tile_shape.value_or(std::vector<std::uint64_t>{8, 1}),
                                 is_rice ? Compression::Kind::Rice1 : Compression::Kind::Gzip2);
        want.cmptype.blocksize = is_rice ? 16 : 32;
        want = quantised(want, *c.options.dither, c.options.dither_seed, -2147483647, 0, 0);
        want.quantize->scale = TileValue<double>::from_column(c.scale_column);
        want.quantize->zero = TileValue<double>::from_column(c.scale_column + 1);
        expect_same_params(*rec->params, want);
    }
}

TEST(TileGrid, OneRuleForTileLengths) {
    struct Case {
        std::vector<std::uint64_t> axes, tile;
        std::vector<std::uint64_t> want_tile, want_count, want_stride;
        std::uint64_t want_tiles;
    };
    const std::uint64_t big = std::uint64_t{1} << 40;
    const Case cases[] = {
        {{10, 4}, {3, 1}, {3, 1}, {4, 4}, {2, 20}, 16},   // partial tiles at the edge
        {{10, 4}, {0, 2}, {10, 2}, {1, 2}, {2, 20}, 2},   // 0 is the whole axis
        {{10, 4}, {50, 9}, {10, 4}, {1, 1}, {2, 20}, 1},  // longer than the axis
        {{0, 4}, {0, 1}, {0, 1}, {0, 4}, {2, 0}, 0},      // an empty axis holds no tiles
        {{10, 0}, {5, 3}, {5, 0}, {2, 0}, {2, 20}, 0},
        {{}, {}, {}, {}, {}, 1},  // no axes: one empty tile
        {{big, big}, {1, 1}, {1, 1}, {big, big}, {2, 2 * big}, ~std::uint64_t{0}},  // saturates
    };
    for (const Case& c : cases) {
        const TileGrid g = make_tile_grid(c.axes, c.tile, 2);
        EXPECT_EQ(g.len, c.axes);
        EXPECT_EQ(g.tile, c.want_tile);
        EXPECT_EQ(g.count, c.want_count);
        EXPECT_EQ(g.stride, c.want_stride);
        EXPECT_EQ(g.n_tiles, c.want_tiles);
    }
}

}  // namespace
}  // namespace vexlo
