// Tile tables end to end: the writer's layout and header, round trips through the reader, and
// the reader's refusals of tables that lie about their tiles.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "../hdu/table_fixture.hpp"
#include "compression/header.hpp"
#include "compression/reader.hpp"
#include "compression/writer.hpp"
#include "data/pixel.hpp"
#include "hdu/compressed_image.hpp"
#include "io/gzip.hpp"
#include "util/parallel.hpp"

namespace vexlo {
namespace {

using table_testing::Cards;
using table_testing::make_header;
using table_testing::replace;

Header image_header(std::int64_t bitpix, const std::vector<std::uint64_t>& axes,
                    const Cards& extra = {}) {
    Cards c{{"XTENSION", "'IMAGE'"},
            {"BITPIX", std::to_string(bitpix)},
            {"NAXIS", std::to_string(axes.size())}};
    for (std::size_t i = 0; i < axes.size(); ++i) {
        c.emplace_back("NAXIS" + std::to_string(i + 1), std::to_string(axes[i]));
    }
    c.emplace_back("PCOUNT", "0");
    c.emplace_back("GCOUNT", "1");
    c.insert(c.end(), extra.begin(), extra.end());
    return make_header(c);
}

// Noisy pixels of any type, big-endian.
Bytes pixels(std::int64_t bitpix, std::uint64_t n, std::uint32_t seed = 1) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> noise(1000.0, 30.0);
    const std::size_t b = static_cast<std::size_t>(std::abs(bitpix) / 8);
    Bytes out(n * b);
    for (std::uint64_t i = 0; i < n; ++i) {
        const double v = noise(rng) + static_cast<double>(i % 50);
        std::uint8_t* p = out.data() + i * b;
        switch (bitpix) {
            case 8:
                *p = static_cast<std::uint8_t>(v);
                break;
            case 16:
                store_be_u16(p, static_cast<std::uint16_t>(static_cast<std::int16_t>(v)));
                break;
            case 32:
                store_be_u32(p, static_cast<std::uint32_t>(static_cast<std::int32_t>(v) * 70000));
                break;
            case 64:
                store_be_u64(p, static_cast<std::uint64_t>(static_cast<std::int64_t>(v) << 40));
                break;
            case -32:
                store_be_f32(p, static_cast<float>(v));
                break;
            default:
                store_be_f64(p, v);
                break;
        }
    }
    return out;
}

ImageHdu make_image(std::int64_t bitpix, const std::vector<std::uint64_t>& axes, Bytes data,
                    const Cards& extra = {}) {
    return ImageHdu::create(image_header(bitpix, axes, extra), std::move(data)).value();
}

std::uint64_t count(const std::vector<std::uint64_t>& axes) {
    std::uint64_t n = 1;
    for (auto a : axes)
        n *= a;
    return n;
}

Result<ImageHdu> read_back(const BinTableHdu& table) {
    // The record takes the table over; a copy keeps the caller's.
    BinTableHdu copy =
        BinTableHdu::create(table.header, Bytes(table.data.span().begin(), table.data.span().end()))
            .value();
    VEXLO_ASSIGN_OR_RETURN(CompressedImageHdu rec,
                           CompressedImageHdu::from_bintable(std::move(copy)));
    return decompress(rec);
}

TEST(TileTable, LosslessRoundTrips) {
    struct Shape {
        std::vector<std::uint64_t> axes;
        std::optional<std::vector<std::uint64_t>> tile;
    };
    const Shape shapes[] = {
        {{100, 100}, std::nullopt},
        {{100, 100}, std::vector<std::uint64_t>{64, 64}},  // partial tiles on both edges
        {{37, 11}, std::vector<std::uint64_t>{7, 3}},
        {{20, 9, 4}, std::vector<std::uint64_t>{6, 4, 3}},  // a cube
        {{13}, std::vector<std::uint64_t>{5}},
        {{50, 30}, std::vector<std::uint64_t>{200, 1}},  // larger than the axis
    };
    for (const auto compression :
         {Compression::Kind::Gzip1, Compression::Kind::Gzip2, Compression::Kind::Rice1}) {
        for (const std::int64_t bitpix : {8, 16, 32, 64, -32, -64}) {
            if (compression == Compression::Kind::Rice1 && (bitpix == 64 || bitpix < 0)) continue;
            for (const Shape& s : shapes) {
                SCOPED_TRACE(testing::Message() << "compression " << int(compression) << " bitpix "
                                                << bitpix << " axes " << s.axes.size());
                const ImageHdu image = make_image(bitpix, s.axes, pixels(bitpix, count(s.axes)));
                TileCompressOptions o;
                o.compression = compression;
                o.tile_shape = s.tile;
                o.blocksize = 16;
                auto table = compress_image_to_hdu(image, o);
                ASSERT_TRUE(table) << table.error().message();
                auto back = read_back(*table);
                ASSERT_TRUE(back) << back.error().message();
                EXPECT_EQ(back->bitpix, image.bitpix);
                EXPECT_EQ(back->axes, image.axes);
                EXPECT_TRUE(std::equal(back->data.span().begin(), back->data.span().end(),
                                       image.data.span().begin(), image.data.span().end()));
            }
        }
    }
}

// The per-row ZSCALE of a quantised table.
double row_scale(const BinTableHdu& t, std::uint64_t row) {
    return tile_value_for_row(TileValue<double>::from_column(t.columns.size() - 2), t, row).value();
}

TEST(TileTable, QuantisedRoundTripsWithinHalfAStep) {
    const std::vector<std::uint64_t> axes{60, 40};
    for (const std::int64_t bitpix : {-32, -64}) {
        for (const DitherMethod dither :
             {DitherMethod::NoDither, DitherMethod::Subtractive1, DitherMethod::Subtractive2}) {
            for (const auto compression : {Compression::Kind::Rice1, Compression::Kind::Gzip2}) {
                Bytes data = pixels(bitpix, count(axes), 9);
                const std::size_t b = bitpix == -32 ? 4 : 8;
                auto put = [&](std::size_t i, double v) {
                    if (b == 4)
                        store_be_f32(&data[i * 4], static_cast<float>(v));
                    else
                        store_be_f64(&data[i * 8], v);
                };
                auto get = [&](const ByteSpan d, std::size_t i) {
                    return b == 4 ? double(load_be_f32(&d[i * 4])) : load_be_f64(&d[i * 8]);
                };
                put(5, std::numeric_limits<double>::quiet_NaN());
                put(6, 0.0);
                put(7, -std::numeric_limits<double>::infinity());
                // Tile 3 (image rows 2 and 3, columns 30 to 59) is constant: not quantisable.
                for (std::size_t x = 30; x < 60; ++x)
                    put(2 * 60 + x, 7.25), put(3 * 60 + x, 7.25);
                const ImageHdu image = make_image(bitpix, axes, data);
                TileCompressOptions o;
                o.compression = compression;
                o.tile_shape = std::vector<std::uint64_t>{30, 2};
                o.dither = dither;
                o.dither_seed = 77;
                auto table = compress_image_to_hdu(image, o);
                ASSERT_TRUE(table) << table.error().message();
                // One fallback tile: four columns, 32-byte rows.
                EXPECT_EQ(table->columns.size(), 4u);
                EXPECT_EQ(table->row_size, 32u);
                auto back = read_back(*table);
                ASSERT_TRUE(back) << back.error().message();
                const ByteSpan got = back->data.span();
                for (std::size_t i = 0; i < count(axes); ++i) {
                    const double want = get(data, i);
                    const double v = get(got, i);
                    if (!std::isfinite(want)) {
                        EXPECT_TRUE(std::isnan(v)) << i;
                        continue;
                    }
                    const std::uint64_t row = (i / 60 / 2) * 2 + (i % 60) / 30;
                    const double half = row_scale(*table, row) / 2;
                    if (want == 7.25) {
                        EXPECT_EQ(v, want);  // the fallback tile is exact
                    } else if (dither == DitherMethod::Subtractive2 && want == 0.0) {
                        EXPECT_EQ(v, 0.0);
                    } else {
                        EXPECT_LE(std::fabs(v - want),
                                  half * (1 + 1e-6) + (b == 4 ? std::fabs(want) * 1e-7 : 0))
                            << i;
                    }
                }
            }
        }
    }
}

TEST(TileTable, WriterLayoutAndHeader) {
    // No tile shape: one row per tile; GZIP_1 integers write no ZQUANTIZ.
    const ImageHdu img = make_image(16, {100, 50}, pixels(16, 5000),
                                    {{"BLANK", "-32768"},
                                     {"BLOCKED", "T"},
                                     {"OBJECT", "'M31'"},
                                     {"TTYPE3", "'x'"},
                                     {"ZTILE1", "5"},
                                     {"CHECKSUM", "'abc'"},
                                     {"TTYPE", "'kept'"},
                                     {"ZNAME", "'kept'"},
                                     {"TTYPE1A", "'kept'"},
                                     {"EXTNAME", "'SCI'"}});
    auto t = compress_image_to_hdu(img, TileCompressOptions{});
    ASSERT_TRUE(t) << t.error().message();
    const Header& h = t->header;
    EXPECT_EQ(t->n_rows, 50u);
    EXPECT_EQ(t->row_size, 8u);
    EXPECT_EQ(h.get_i64("ZTILE1"), 100);
    EXPECT_EQ(h.get_i64("ZTILE2"), 1);
    EXPECT_EQ(h.get_str("ZTENSION"), "IMAGE");
    EXPECT_FALSE(h.get("ZSIMPLE"));
    EXPECT_FALSE(h.get("ZQUANTIZ"));
    EXPECT_EQ(h.get_i64("ZBLANK"), -32768);
    EXPECT_EQ(h.get_value("ZBLOCKED")->logical, true);
    EXPECT_EQ(h.get_str("EXTNAME"), "SCI");  // the image's own name
    EXPECT_EQ(h.get_str("OBJECT"), "M31");
    EXPECT_EQ(h.get_str("TTYPE"), "kept");
    EXPECT_EQ(h.get_str("ZNAME"), "kept");
    EXPECT_EQ(h.get_str("TTYPE1A"), "kept");
    EXPECT_FALSE(h.get("TTYPE3"));
    EXPECT_FALSE(h.get("CHECKSUM"));
    EXPECT_FALSE(h.get("BLANK"));
    EXPECT_EQ(h.get_i64("ZTILE1"), 100);  // the image's ZTILE1 = 5 is dropped

    // Read back: BLANK returns, EXTNAME SCI stays, table cards are gone.
    auto back = read_back(*t);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->header.get_i64("BLANK"), -32768);
    EXPECT_EQ(back->header.get_str("EXTNAME"), "SCI");
    EXPECT_FALSE(back->header.get("TTYPE1"));
    EXPECT_FALSE(back->header.get("ZTILE1"));

    // RICE_1 parameters; float without quantisation writes ZQUANTIZ = 'NONE'; a non-string
    // EXTNAME falls back to the default.
    TileCompressOptions rice;
    rice.compression = Compression::Kind::Rice1;
    rice.blocksize = 16;
    t = compress_image_to_hdu(make_image(16, {10, 10}, pixels(16, 100)), rice);
    ASSERT_TRUE(t);
    EXPECT_EQ(t->header.get_str("ZNAME1"), "BLOCKSIZE");
    EXPECT_EQ(t->header.get_i64("ZVAL1"), 16);
    EXPECT_EQ(t->header.get_i64("ZVAL2"), 2);
    t = compress_image_to_hdu(make_image(-32, {10, 10}, pixels(-32, 100), {{"EXTNAME", "3"}}), {});
    ASSERT_TRUE(t);
    EXPECT_EQ(t->header.get_str("ZQUANTIZ"), "NONE");
    EXPECT_EQ(t->header.get_str("EXTNAME"), "COMPRESSED_IMAGE");

    // A primary image gives ZSIMPLE and no ZTENSION.
    Header primary = make_header(
        {{"SIMPLE", "T"}, {"BITPIX", "8"}, {"NAXIS", "1"}, {"NAXIS1", "4"}, {"EXTEND", "T"}});
    auto prim = ImageHdu::create(std::move(primary), Bytes{1, 2, 3, 4});
    t = compress_image_to_hdu(*prim, {});
    ASSERT_TRUE(t);
    EXPECT_TRUE(t->header.get_value("ZSIMPLE")->logical);
    EXPECT_FALSE(t->header.get("ZTENSION"));
    EXPECT_TRUE(t->header.get_value("ZEXTEND")->logical);

    // A quantised tile of only NaN is stored as null sentinels, not as a fallback.
    Bytes nan(4 * 8);
    for (std::size_t i = 0; i < 8; ++i)
        store_be_f32(&nan[4 * i], std::numeric_limits<float>::quiet_NaN());
    TileCompressOptions q;
    q.dither = DitherMethod::Subtractive1;
    t = compress_image_to_hdu(make_image(-32, {8}, nan), q);
    ASSERT_TRUE(t);
    EXPECT_EQ(t->row_size, 24u);
    EXPECT_EQ(t->columns.size(), 3u);
    EXPECT_EQ(t->header.get_i64("ZBLANK"), -2147483647);

    // An axis of length 0: no tiles, an empty heap.
    t = compress_image_to_hdu(make_image(16, {0, 5}, Bytes{}), {});
    ASSERT_TRUE(t) << t.error().message();
    EXPECT_EQ(t->n_rows, 0u);
    EXPECT_EQ(t->header.get_str("TFORM1"), "1PB(0)");
}

TEST(TileTable, TileWithoutFiniteNoiseIsKeptExactly) {
    // Second differences of these overflow to infinity: no finite quantisation step exists, so
    // the tile must fall back to gzip rather than be stored as zeros.
    Bytes data(6 * 8);
    for (std::size_t i = 0; i < 6; ++i)
        store_be_f64(&data[8 * i], i % 2 ? -1e308 : 1e308);
    TileCompressOptions q;
    q.dither = DitherMethod::Subtractive1;
    q.compression = Compression::Kind::Rice1;
    auto t = compress_image_to_hdu(make_image(-64, {6}, data), q);
    ASSERT_TRUE(t) << t.error().message();
    EXPECT_EQ(t->columns.size(), 4u);  // GZIP_COMPRESSED_DATA present
    auto back = read_back(*t);
    ASSERT_TRUE(back) << back.error().message();
    EXPECT_TRUE(
        std::equal(back->data.span().begin(), back->data.span().end(), data.begin(), data.end()));
}

TEST(TileTable, GzipTwoShufflesBytePlanes) {
    GzipDeflater deflater;
    auto payload =
        compress_tile(Bytes{0x01, 0x02, 0x03, 0x04}, Compression::Kind::Gzip2, 32, 2, deflater);
    ASSERT_TRUE(payload);
    auto plain = gzip_inflate(*payload, 100);
    ASSERT_TRUE(plain);
    EXPECT_EQ(*plain, (Bytes{0x01, 0x03, 0x02, 0x04}));
}

TEST(TileTable, WriterRefusals) {
    using K = Error::Kind;
    const ImageHdu i16 = make_image(16, {10, 10}, pixels(16, 100));
    const ImageHdu f32 = make_image(-32, {10, 10}, pixels(-32, 100));
    Header none_h = make_header({{"XTENSION", "'IMAGE'"}, {"BITPIX", "16"}, {"NAXIS", "0"}});
    const ImageHdu none = ImageHdu::create(std::move(none_h), Bytes{}).value();
    struct Case {
        const ImageHdu* image;
        TileCompressOptions o;
        K kind;
        std::string msg;
    };
    TileCompressOptions quant, rice, rank, zero, rice0, huge;
    quant.dither = DitherMethod::NoDither;
    rice.compression = Compression::Kind::Rice1;
    rank.tile_shape = std::vector<std::uint64_t>{10, 10, 1};
    zero.tile_shape = std::vector<std::uint64_t>{10, 0};
    // A ZTILEn card cannot hold 2^63: such a file would not read back.
    huge.tile_shape = std::vector<std::uint64_t>{2, std::uint64_t{1} << 63};
    rice0 = rice;
    rice0.blocksize = 0;
    // Algorithms the reader decodes but the writer has no encoder for, refused before any tile
    // is encoded (an image of no tiles included).
    TileCompressOptions plio, hcompress, stored;
    plio.compression = Compression::Kind::Plio1;
    hcompress.compression = Compression::Kind::Hcompress1;
    stored.compression = Compression::Kind::None;
    const ImageHdu no_tiles = make_image(16, {0, 5}, Bytes{});
    const Case cases[] = {
        {&i16, plio, K::NonStandard,
         "compress_image_to_hdu: PLIO_1 tiles are not written (GZIP_1, GZIP_2 and RICE_1 are)"},
        {&no_tiles, hcompress, K::NonStandard,
         "compress_image_to_hdu: HCOMPRESS_1 tiles are not written (GZIP_1, GZIP_2 and RICE_1 "
         "are)"},
        {&i16, stored, K::NonStandard,
         "compress_image_to_hdu: NOCOMPRESS tiles are not written (GZIP_1, GZIP_2 and RICE_1 "
         "are)"},
        {&none, {}, K::Data, "compress_image_to_hdu: cannot compress a 0-axis image"},
        {&i16, quant, K::NonStandard,
         "quantization applies to floating-point images; got BITPIX=16"},
        {&f32, rice, K::NonStandard,
         "RICE_1 writes integer images of 1, 2 or 4 bytes per pixel; got BITPIX=-32 (quantization "
         "makes a float image eligible)"},
        {&i16, rank, K::Data, "compress_image_to_hdu: tile rank 3 does not match NAXIS 2"},
        {&i16, zero, K::Data, "compress_image_to_hdu: tile dimensions must be >= 1"},
        {&i16, huge, K::Data,
         "compress_image_to_hdu: tile dimensions must be <= 9223372036854775807"},
        {&i16, rice0, K::Value, "RICE BLOCKSIZE must be > 0"},
    };
    for (const Case& c : cases) {
        auto r = compress_image_to_hdu(*c.image, c.o);
        ASSERT_FALSE(r) << c.msg;
        EXPECT_EQ(r.error().kind, c.kind) << c.msg;
        EXPECT_EQ(r.error().msg, c.msg);
    }
}

// ---- tables that lie ----

// The header of a one-column tile table for a 16-bit image of 4 pixels, with 32-bit
// descriptors of bytes.
Cards lying_cards(std::size_t n_rows, std::size_t heap_size, std::string_view cmptype,
                  std::string_view column) {
    return {{"XTENSION", "'BINTABLE'"},
            {"BITPIX", "8"},
            {"NAXIS", "2"},
            {"NAXIS1", "8"},
            {"NAXIS2", std::to_string(n_rows)},
            {"PCOUNT", std::to_string(heap_size)},
            {"GCOUNT", "1"},
            {"TFIELDS", "1"},
            {"TTYPE1", "'" + std::string(column) + "'"},
            {"TFORM1", "'1PB'"},
            {"ZIMAGE", "T"},
            {"ZBITPIX", "16"},
            {"ZNAXIS", "1"},
            {"ZNAXIS1", "4"},
            {"ZCMPTYPE", "'" + std::string(cmptype) + "'"}};
}

// A one-column tile table for a 16-bit image of `axes`, one row per payload.
Result<BinTableHdu> lying_table(const std::vector<Bytes>& payloads, const Cards& extra,
                                std::string_view cmptype = "GZIP_1",
                                std::string_view column = "COMPRESSED_DATA",
                                std::uint32_t claimed = 0) {
    Bytes rows, heap;
    for (const Bytes& p : payloads) {
        Bytes d(8);
        store_be_u32(&d[0], claimed != 0 ? claimed : static_cast<std::uint32_t>(p.size()));
        store_be_u32(&d[4], static_cast<std::uint32_t>(heap.size()));
        rows.insert(rows.end(), d.begin(), d.end());
        heap.insert(heap.end(), p.begin(), p.end());
    }
    Cards c = lying_cards(payloads.size(), heap.size(), cmptype, column);
    for (const auto& kv : extra)
        c = replace(c, kv.first, kv.second);
    rows.insert(rows.end(), heap.begin(), heap.end());
    return BinTableHdu::create(make_header(c), std::move(rows));
}

std::string decompress_error(Result<BinTableHdu> t) {
    if (!t) return "table: " + t.error().message();
    auto rec = CompressedImageHdu::from_bintable(std::move(*t));
    if (!rec) return "record: " + rec.error().message();
    auto img = decompress(*rec);
    if (img) return "ok";
    // Memory running out is its own kind whatever its words: marked so the cases show it.
    return (img.error().is_out_of_memory() ? "[out of memory] " : "") + img.error().message();
}

TEST(TileTable, ReaderRefusesLyingTables) {
    GzipDeflater deflater;
    const Bytes eight = gzip_deflate(Bytes(8, 7), deflater).value();
    const Bytes thirteen = gzip_deflate(Bytes(13, 7), deflater).value();
    const Bytes six = gzip_deflate(Bytes(6, 7), deflater).value();
    Bytes cut = eight;
    cut.resize(cut.size() - 5);
    struct Case {
        Result<BinTableHdu> table;
        std::string msg;
    };
    Case cases[] = {
        {lying_table({eight}, {}), "ok"},
        // A stream that inflates to more or less than the tile holds; the excess is counted
        // for the message, never kept.
        {lying_table({thirteen}, {}), "data: gzip tile inflated to 13 bytes, expected 8"},
        {lying_table({six}, {}), "data: gzip tile inflated to 6 bytes, expected 8"},
        {lying_table({cut}, {}),
         "data: tile gzip inflate failed: gzip: unexpected end of compressed stream"},
        {lying_table({Bytes{1, 2, 3}}, {}),
         "data: tile gzip inflate failed: gzip: incorrect header check"},
        {lying_table({eight}, {}, "GZIP_1", "OTHER"),
         "header: compressed image: COMPRESSED_DATA column missing"},
        {lying_table({eight}, {{"TFORM1", "'8B'"}}),
         "value for keyword `TFORM1`: COMPRESSED_DATA must be a P/Q variable-length array"},
        {lying_table({eight, eight}, {}),
         "header: compressed image: 2 table rows, expected 1 tiles from ZNAXIS/ZTILE"},
        {lying_table({Bytes{}}, {}),
         "data: compressed image: tile 0 has no payload in COMPRESSED_DATA, UNCOMPRESSED_DATA or "
         "GZIP_COMPRESSED_DATA"},
        {lying_table({Bytes(7, 0)}, {}, "NOCOMPRESS"),
         "data: NOCOMPRESS tile is 7 bytes, expected 8"},
        {lying_table({Bytes(8, 0)}, {}, "NOCOMPRESS"), "ok"},
        // A descriptor pointing past the heap.
        {lying_table({Bytes(3, 0)}, {}, "GZIP_1", "COMPRESSED_DATA", 9),
         "data: VLA descriptor [0, 9) escapes heap (len=3)"},
        // No tile is read when the image is empty, whatever the table says.
        {lying_table({eight, eight}, {{"ZNAXIS1", "0"}}), "ok"},
        {lying_table({eight, eight}, {{"ZNAXIS", "0"}}), "ok"},
        // A tiny table that claims a huge image: the row count is checked before any image
        // buffer exists, and an image that cannot be allocated is out of memory, told as data.
        {lying_table({eight}, {{"ZNAXIS1", "4611686018427387904"}, {"ZTILE1", "1"}}),
         "header: compressed image: 1 table rows, expected 4611686018427387904 tiles from "
         "ZNAXIS/ZTILE"},
        {lying_table({eight}, {{"ZBITPIX", "8"},
                               {"ZNAXIS", "2"},
                               {"ZNAXIS1", "4611686018427387904"},
                               {"ZNAXIS2", "3"},
                               {"ZTILE1", "0"},
                               {"ZTILE2", "0"}}),
         "[out of memory] data: decompressed image of 13835058055282163712 bytes does not fit "
         "in memory"},
#if !defined(__SANITIZE_ADDRESS__)  // there a failed allocation ends the process, never throws
        {lying_table({eight}, {{"ZNAXIS1", "70368744177664"}, {"ZTILE1", "0"}}),
         "[out of memory] data: decompressed image of 140737488355328 bytes does not fit in "
         "memory"},
#endif
    };
    for (Case& c : cases)
        EXPECT_EQ(decompress_error(std::move(c.table)), c.msg);
}

// A 64-bit descriptor of 8-byte elements can point past the heap, or so far that its end
// wraps past 2^64.
TEST(TileTable, ReaderRefusesQDescriptorsOutsideTheHeap) {
    struct Case {
        std::uint64_t count, offset;
        std::string msg;
    };
    const std::uint64_t huge = (std::uint64_t{1} << 61) - 1;  // 2^64 - 8 bytes
    const Case cases[] = {
        {1, 0, "ok"},
        {1, 1, "data: VLA descriptor [1, 9) escapes heap (len=8)"},
        {huge, 0, "data: VLA descriptor [0, 18446744073709551608) escapes heap (len=8)"},
        {huge, 16, "data: VLA descriptor overflows heap address"},
    };
    const Bytes payload(8, 0);
    for (const Case& c : cases) {
        Bytes data(16);
        store_be_u64(&data[0], c.count);
        store_be_u64(&data[8], c.offset);
        data.insert(data.end(), payload.begin(), payload.end());
        const Cards cards =
            replace(replace(lying_cards(1, payload.size(), "NOCOMPRESS", "COMPRESSED_DATA"),
                            "NAXIS1", "16"),
                    "TFORM1", "'1QD'");
        EXPECT_EQ(decompress_error(BinTableHdu::create(make_header(cards), std::move(data))),
                  c.msg);
    }
}

TEST(TileTable, RawAndFallbackColumns) {
    // Row 0 has an empty COMPRESSED_DATA array and its pixels in UNCOMPRESSED_DATA.
    Bytes rows(16), heap{0, 1, 0, 2, 0, 3, 0, 4};
    store_be_u32(&rows[8], 8);
    rows.insert(rows.end(), heap.begin(), heap.end());
    Cards c{{"XTENSION", "'BINTABLE'"},
            {"BITPIX", "8"},
            {"NAXIS", "2"},
            {"NAXIS1", "16"},
            {"NAXIS2", "1"},
            {"PCOUNT", "8"},
            {"GCOUNT", "1"},
            {"TFIELDS", "2"},
            {"TTYPE1", "'COMPRESSED_DATA'"},
            {"TFORM1", "'1PB'"},
            {"TTYPE2", "'UNCOMPRESSED_DATA'"},
            {"TFORM2", "'1PB'"},
            {"ZIMAGE", "T"},
            {"ZBITPIX", "16"},
            {"ZNAXIS", "1"},
            {"ZNAXIS1", "4"},
            {"ZCMPTYPE", "'RICE_1'"},
            {"ZBLANK", "-1"},
            {"BLANK", "5"},
            {"EXTNAME", "'COMPRESSED_IMAGE'"},
            {"HISTORY", "kept"}};
    auto t = BinTableHdu::create(make_header(c), rows);
    ASSERT_TRUE(t);
    auto rec = CompressedImageHdu::from_bintable(std::move(*t));
    ASSERT_TRUE(rec);
    auto img = decompress(*rec);
    ASSERT_TRUE(img) << img.error().message();
    EXPECT_EQ(img->data.span()[7], 4);
    // BLANK comes from ZBLANK right after GCOUNT; the table's own BLANK and the default
    // EXTNAME are dropped; HISTORY is kept.
    EXPECT_EQ(img->header.get_i64("BLANK"), -1);
    EXPECT_EQ(img->header.get_all("BLANK").size(), 1u);
    EXPECT_FALSE(img->header.get("EXTNAME"));
    EXPECT_EQ(img->header.commentary_views("HISTORY").size(), 1u);
}

// Forces the part count and a helper budget, so that tiles are split over threads on a
// one-core machine too; gives the machine's back at the end of the scope.
struct SplitTiles {
    explicit SplitTiles(std::size_t parts) {
        force_parts_for_tests(parts);
        force_helper_budget_for_tests(6);
    }
    ~SplitTiles() {
        force_helper_budget_for_tests(std::nullopt);
        force_parts_for_tests(0);
    }
};

Bytes bytes_of(const DataBuf& data) {
    return Bytes(data.span().begin(), data.span().end());
}

// Tiles encoded and decoded in 3 or 7 ranges (partial and empty ranges, ranges of one tile)
// give the one-range table bytes and pixels; a tile that fails reports the same error as on
// one thread, the first failing tile's, wherever the ranges fall.
TEST(TileTable, SplitTilesGiveTheOneRangeResult) {
    struct Case {
        std::int64_t bitpix;
        Compression::Kind compression;
        std::optional<DitherMethod> dither;
        std::optional<std::vector<std::uint64_t>> tile;
    };
    const Case cases[] = {
        {16, Compression::Kind::Gzip1, std::nullopt, std::nullopt},  // 23 row tiles
        {32, Compression::Kind::Gzip2, std::nullopt, std::vector<std::uint64_t>{7, 3}},
        {16, Compression::Kind::Rice1, std::nullopt, std::vector<std::uint64_t>{40, 5}},
        {-32, Compression::Kind::Rice1, DitherMethod::Subtractive1,
         std::vector<std::uint64_t>{9, 4}},
    };
    const std::vector<std::uint64_t> axes{40, 23};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "bitpix " << c.bitpix << " compression " << int(c.compression));
        const ImageHdu image = make_image(c.bitpix, axes, pixels(c.bitpix, count(axes), 3));
        TileCompressOptions o;
        o.compression = c.compression;
        o.dither = c.dither;
        o.tile_shape = c.tile;
        Bytes one_table, one_pixels;
        std::string one_error;
        for (const std::size_t parts : {1, 3, 7}) {
            SCOPED_TRACE(testing::Message() << parts << " parts");
            const SplitTiles split(parts);
            auto table = compress_image_to_hdu(image, o);
            ASSERT_TRUE(table) << table.error().message();
            auto back = read_back(*table);
            ASSERT_TRUE(back) << back.error().message();
            // Two rows whose heap arrays escape the heap: one in the middle, one the last.
            Bytes rows = bytes_of(table->data);
            const std::uint64_t n_rows = table->n_rows;
            for (const std::uint64_t r : {n_rows / 2, n_rows - 1})
                store_be_u32(&rows[r * table->row_size + 4], 0x7000000u + std::uint32_t(r));
            auto bad = read_back(BinTableHdu::create(table->header, rows).value());
            ASSERT_FALSE(bad);
            if (parts == 1) {
                one_table = bytes_of(table->data);
                one_pixels = bytes_of(back->data);
                one_error = bad.error().message();
                EXPECT_NE(one_error.find(std::to_string(0x7000000u + n_rows / 2)),
                          std::string::npos)
                    << one_error;
                if (!c.dither) {
                    EXPECT_EQ(one_pixels, bytes_of(image.data));
                }
                continue;
            }
            EXPECT_EQ(bytes_of(table->data), one_table);
            EXPECT_EQ(bytes_of(back->data), one_pixels);
            EXPECT_EQ(bad.error().message(), one_error);
        }
    }
}

}  // namespace
}  // namespace vexlo
