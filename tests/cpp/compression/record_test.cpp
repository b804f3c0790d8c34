// The Z keywords a tile table is read with, and the refusals for each.
#include <gtest/gtest.h>

#include "../hdu/table_fixture.hpp"
#include "hdu/compressed_image.hpp"
#include "hdu/tile_params.hpp"

namespace vexlo {
namespace {

using table_testing::Cards;

using table_testing::expect_error;
using table_testing::make_header;
using table_testing::replace;

// A 16-bit RICE_1 image of 10 x 4 in one row per tile, with no tile data (the record never
// looks at it).
Cards base_cards() {
    return {
        {"XTENSION", "'BINTABLE'"},
        {"BITPIX", "8"},
        {"NAXIS", "2"},
        {"NAXIS1", "8"},
        {"NAXIS2", "4"},
        {"PCOUNT", "0"},
        {"GCOUNT", "1"},
        {"TFIELDS", "1"},
        {"TTYPE1", "'COMPRESSED_DATA'"},
        {"TFORM1", "'1PB(0)'"},
        {"ZIMAGE", "T"},
        {"ZBITPIX", "16"},
        {"ZNAXIS", "2"},
        {"ZNAXIS1", "10"},
        {"ZNAXIS2", "4"},
        {"ZCMPTYPE", "'RICE_1'"},
    };
}

Result<CompressedImageHdu> record(const Cards& cards) {
    const Header h = make_header(cards);
    const std::int64_t row = h.get_i64("NAXIS1").value_or(0) * h.get_i64("NAXIS2").value_or(0);
    auto table = BinTableHdu::create(h, Bytes(static_cast<std::size_t>(row)));
    if (!table) return std::unexpected(table.error());
    return CompressedImageHdu::from_bintable(std::move(*table));
}

// Float tables with ZSCALE/ZZERO columns and a ZBLANK column.
Cards float_cards() {
    Cards c = base_cards();
    c = replace(c, "ZBITPIX", "-32");
    c = replace(c, "NAXIS1", "26");
    c = replace(c, "TFIELDS", "4");
    c.insert(c.begin() + 10, {{"TTYPE2", "'ZSCALE'"},
                              {"TFORM2", "'1D'"},
                              {"TTYPE3", "'zzero'"},
                              {"TFORM3", "'1E'"},
                              {"TTYPE4", "'ZBLANK'"},
                              {"TFORM4", "'1I'"}});
    return c;
}

TEST(CompressedRecord, ReadsTheImageDescription) {
    auto r = record(base_cards());
    ASSERT_TRUE(r.has_value()) << r.error().message();
    EXPECT_EQ(r->params->bitpix, Bitpix::I16);
    EXPECT_EQ(r->params->axes, (std::vector<std::uint64_t>{10, 4}));
    EXPECT_EQ(r->params->tile, (std::vector<std::uint64_t>{10, 1}));  // one row per tile
    EXPECT_EQ(r->params->cmptype.kind, Compression::Kind::Rice1);
    EXPECT_EQ(r->params->cmptype.blocksize, 32u);
    EXPECT_EQ(r->params->internal_bp, 2u);
    EXPECT_FALSE(r->params->quantize);

    Cards c = replace(base_cards(), "ZCMPTYPE", "'  RICE_ONE  '");
    c.insert(c.end(), {{"ZTILE1", "0"},
                       {"ZTILE2", "2"},
                       {"ZNAME1", "'BYTEPIX'"},
                       {"ZVAL1", "2"},
                       {"ZNAME2", "' BLOCKSIZE '"},
                       {"ZVAL2", "16"},
                       {"ZNAME4", "'BLOCKSIZE'"},
                       {"ZVAL4", "64"}});
    r = record(c);
    ASSERT_TRUE(r.has_value()) << r.error().message();
    EXPECT_EQ(r->params->tile, (std::vector<std::uint64_t>{0, 2}));
    EXPECT_EQ(r->params->cmptype.blocksize, 16u);  // the scan stops at the missing ZNAME3

    // Without ZQUANTIZ a float image is quantised without dither; the per-tile values come
    // from the columns (matched ignoring case), ZDITHER0 defaults to 1.
    r = record(float_cards());
    ASSERT_TRUE(r.has_value()) << r.error().message();
    ASSERT_TRUE(r->params->quantize);
    EXPECT_EQ(r->params->quantize->dither, DitherMethod::NoDither);
    EXPECT_EQ(r->params->quantize->scale.kind, TileValue<double>::Kind::Column);
    EXPECT_EQ(r->params->quantize->scale.column, 1u);
    EXPECT_EQ(r->params->quantize->zero.column, 2u);
    EXPECT_EQ(r->params->quantize->blank.kind, TileValue<std::int32_t>::Kind::Column);
    EXPECT_EQ(r->params->quantize->dither_seed, 1u);
    EXPECT_EQ(r->params->internal_bp, 4u);

    // Keywords instead of columns; ZBLANK 4294967295 is -1; ZDITHER0 -5 is 1, 0 stays 0.
    c = base_cards();
    c = replace(c, "ZBITPIX", "-64");
    c.insert(c.end(), {{"ZQUANTIZ", "'SUBTRACTIVE_DITHER_2'"},
                       {"ZSCALE", "2"},
                       {"ZZERO", "1.5"},
                       {"ZBLANK", "4294967295"},
                       {"ZDITHER0", "-5"}});
    r = record(c);
    ASSERT_TRUE(r.has_value()) << r.error().message();
    EXPECT_EQ(r->params->quantize->dither, DitherMethod::Subtractive2);
    EXPECT_EQ(r->params->quantize->scale.value, 2.0);
    EXPECT_EQ(r->params->quantize->zero.value, 1.5);
    EXPECT_EQ(r->params->quantize->blank.value, -1);
    EXPECT_EQ(r->params->quantize->dither_seed, 1u);
    EXPECT_EQ(record(replace(c, "ZDITHER0", "0"))->params->quantize->dither_seed, 0u);
    EXPECT_EQ(record(table_testing::erase(c, "ZBLANK"))->params->quantize->blank.value,
              -2147483647);

    // Lossless floats; PLIO on a quantised float; HCOMPRESS on 64-bit integers.
    c = replace(replace(base_cards(), "ZBITPIX", "-32"), "ZCMPTYPE", "'GZIP_2'");
    c.emplace_back("ZQUANTIZ", "'NONE'");
    r = record(c);
    ASSERT_TRUE(r.has_value());
    EXPECT_FALSE(r->params->quantize);
    EXPECT_EQ(r->params->internal_bp, 4u);
    EXPECT_TRUE(record(replace(float_cards(), "ZCMPTYPE", "'PLIO_1'")).has_value());
    c = replace(replace(base_cards(), "ZBITPIX", "64"), "ZCMPTYPE", "'HCOMPRESS_1'");
    c.insert(c.end(),
             {{"ZNAME1", "'SCALE'"}, {"ZVAL1", "0"}, {"ZNAME2", "'SMOOTH'"}, {"ZVAL2", "1"}});
    r = record(c);
    ASSERT_TRUE(r.has_value()) << r.error().message();
    EXPECT_EQ(r->params->cmptype.kind, Compression::Kind::Hcompress1);
    EXPECT_TRUE(r->params->cmptype.smooth);
    // The standard compressor writes SCALE as a real (its noise-relative setting).
    r = record(replace(c, "ZVAL1", "2.5"));
    ASSERT_TRUE(r.has_value()) << r.error().message();
    EXPECT_EQ(r->params->cmptype.scale, 0);
    // SMOOTH as a logical, as other writers store it: T is 1 and F is 0, wherever it stands;
    // any other value type is still refused.
    struct Smooth {
        const char* value;
        bool smooth;
    };
    for (const Smooth& s : {Smooth{"T", true}, Smooth{"F", false}, Smooth{"0", false}}) {
        r = record(replace(c, "ZVAL2", s.value));
        ASSERT_TRUE(r.has_value()) << s.value << ": " << r.error().message();
        EXPECT_EQ(r->params->cmptype.smooth, s.smooth) << s.value;
        EXPECT_EQ(r->params->cmptype.scale, 0) << s.value;
    }
    Cards first = table_testing::erase(table_testing::erase(c, "ZNAME2"), "ZVAL2");
    first = replace(replace(first, "ZNAME1", "'SMOOTH'"), "ZVAL1", "T");
    first.insert(first.end(), {{"ZNAME2", "'SCALE'"}, {"ZVAL2", "4"}});
    r = record(first);
    ASSERT_TRUE(r.has_value()) << r.error().message();
    EXPECT_TRUE(r->params->cmptype.smooth);
    EXPECT_EQ(r->params->cmptype.scale, 4);
    r = record(replace(c, "ZVAL2", "'T'"));
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind, Error::Kind::Value);
    EXPECT_EQ(r.error().keyword, "ZVAL2");
}

// A float image is quantised when ZQUANTIZ says so or, without ZQUANTIZ, when it carries
// ZSCALE or ZZERO (column or keyword); with neither its tiles hold the floats themselves.
TEST(CompressedRecord, FloatsWithoutQuantisationCardsAreLossless) {
    const Cards gz = replace(replace(base_cards(), "ZBITPIX", "-32"), "ZCMPTYPE", "'GZIP_1'");
    Cards noisebit = gz;
    noisebit.insert(noisebit.end(), {{"ZNAME1", "'NOISEBIT'"}, {"ZVAL1", "0"}});
    for (const Cards& c : {gz, noisebit, replace(gz, "ZBITPIX", "-64")}) {
        auto r = record(c);
        ASSERT_TRUE(r.has_value()) << r.error().message();
        EXPECT_FALSE(r->params->quantize);
        EXPECT_EQ(r->params->internal_bp, c == gz || c == noisebit ? 4u : 8u);
    }
    // Either scaling card alone still means quantised values, so the other one is needed.
    Cards c = gz;
    c.emplace_back("ZZERO", "0.5");
    expect_error(record(c), Error::Kind::MissingMandatory, "ZSCALE", "", "");
    c = replace(float_cards(), "ZCMPTYPE", "'GZIP_1'");
    auto r = record(c);
    ASSERT_TRUE(r.has_value()) << r.error().message();
    ASSERT_TRUE(r->params->quantize);
    EXPECT_EQ(r->params->quantize->dither, DitherMethod::NoDither);
}

// HCOMPRESS codes 2-D tiles: an image of more axes is accepted when every tile is longer
// than 1 on at most two of them (a tile length of 0 stands for the whole axis).
TEST(CompressedRecord, HcompressTilesOfAtMostTwoLongAxes) {
    Cards hc = replace(base_cards(), "ZCMPTYPE", "'HCOMPRESS_1'");
    hc = replace(hc, "ZNAXIS", "3");
    hc = replace(replace(hc, "ZNAXIS1", "30"), "ZNAXIS2", "20");
    hc.emplace_back("ZNAXIS3", "2");
    const auto tiles = [&](const char* t1, const char* t2, const char* t3) {
        Cards c = hc;
        c.insert(c.end(), {{"ZTILE1", t1}, {"ZTILE2", t2}, {"ZTILE3", t3}});
        return c;
    };
    for (const Cards& c : {tiles("10", "10", "1"), tiles("1", "10", "0"), tiles("0", "1", "2"),
                           tiles("30", "20", "1")}) {
        auto r = record(c);
        ASSERT_TRUE(r.has_value()) << r.error().message();
        EXPECT_EQ(r->params->cmptype.kind, Compression::Kind::Hcompress1);
        EXPECT_EQ(r->params->axes, (std::vector<std::uint64_t>{30, 20, 2}));
    }
    // A tile longer than an axis of length 1 is only 1 pixel long there.
    Cards four = replace(tiles("10", "10", "1"), "ZNAXIS", "4");
    four.insert(four.end(), {{"ZNAXIS4", "1"}, {"ZTILE4", "5"}});
    EXPECT_TRUE(record(four).has_value());
    for (const Cards& c : {tiles("10", "10", "2"), tiles("0", "0", "0")}) {
        expect_error(record(c), Error::Kind::NonStandard, "",
                     "HCOMPRESS_1 tiles must be longer than 1 on at most two axes",
                     "HCOMPRESS_1 tiles must be longer than 1 on at most two axes");
    }
}

TEST(CompressedRecord, Refusals) {
    using K = Error::Kind;
    const Cards b = base_cards();
    const Cards hc = replace(b, "ZCMPTYPE", "'HCOMPRESS_1'");
    const std::string zimage_found = "BINTABLE without ZIMAGE";
    struct Case {
        Cards cards;
        K kind;
        std::string keyword, msg;
    };
    const Case cases[] = {
        {replace(b, "ZIMAGE", "F"), K::HduMismatch, "compressed image (ZIMAGE = T)", zimage_found},
        {replace(b, "ZIMAGE", "'T'"), K::HduMismatch, "compressed image (ZIMAGE = T)",
         zimage_found},
        {table_testing::erase(b, "ZIMAGE"), K::HduMismatch, "compressed image (ZIMAGE = T)",
         zimage_found},
        {table_testing::erase(b, "ZBITPIX"), K::MissingMandatory, "ZBITPIX", ""},
        {replace(b, "ZBITPIX", "12"), K::Value, "BITPIX",
         "unsupported BITPIX value 12: expected one of 8, 16, 32, 64 (integer) or -32, -64 (IEEE "
         "float)"},
        {replace(b, "ZNAXIS", "1000"), K::Value, "ZNAXIS", "ZNAXIS=1000 out of range"},
        {replace(b, "ZNAXIS", "-1"), K::Value, "ZNAXIS", "ZNAXIS=-1 out of range"},
        {replace(b, "ZNAXIS2", "-4"), K::Value, "ZNAXIS2", "must be >= 0"},
        {replace(b, "ZTILE1", "-1"), K::Value, "ZTILE1", "must be >= 0"},
        {table_testing::erase(b, "ZCMPTYPE"), K::MissingMandatory, "ZCMPTYPE", ""},
        {replace(b, "ZCMPTYPE", "'rice_1'"), K::NonStandard, "",
         "tile compression algorithm `rice_1` is not supported (this build supports GZIP_1, "
         "GZIP_2, RICE_1, PLIO_1, HCOMPRESS_1 and NOCOMPRESS)"},
        {replace(b, "ZQUANTIZ", "'no_dither'"), K::NonStandard, "",
         "ZQUANTIZ=`no_dither` not supported (expected NONE, NO_DITHER, SUBTRACTIVE_DITHER_1 or "
         "SUBTRACTIVE_DITHER_2)"},
        {replace(b, "ZQUANTIZ", "'NO_DITHER'"), K::Header, "",
         "ZQUANTIZ requires a floating-point ZBITPIX, got 16"},
        {replace(replace(b, "ZBITPIX", "-32"), "ZQUANTIZ", "'NONE'"), K::NonStandard, "",
         "lossless float compression requires ZCMPTYPE=GZIP_1, GZIP_2 or NOCOMPRESS, got RICE_1"},
        {replace(b, "ZBITPIX", "-32"), K::NonStandard, "",
         "lossless float compression requires ZCMPTYPE=GZIP_1, GZIP_2 or NOCOMPRESS, got RICE_1"},
        {replace(replace(b, "ZBITPIX", "-32"), "ZSCALE", "1"), K::MissingMandatory, "ZZERO", ""},
        {replace(replace(float_cards(), "TFORM2", "'1I'"), "NAXIS1", "20"), K::Value,
         "TFORM(col 2)", "ZSCALE column must be a scalar float/integer"},
        {replace(replace(float_cards(), "TFORM4", "'1E'"), "NAXIS1", "28"), K::Value,
         "TFORM(col 4)", "ZBLANK column must be a scalar integer"},
        {replace(b, "ZBITPIX", "64"), K::NonStandard, "",
         "RICE_1 requires an effective integer pixel size of 1/2/4 bytes; got effective BITPIX=64"},
        {replace(replace(b, "ZNAME1", "'BYTEPIX'"), "ZVAL1", "4"), K::NonStandard, "",
         "RICE BYTEPIX=4 does not match effective |BITPIX|/8=2"},
        {replace(replace(b, "ZNAME1", "'BLOCKSIZE'"), "ZVAL1", "0"), K::Value, "ZVAL1",
         "RICE BLOCKSIZE must be > 0, got 0"},
        {replace(b, "ZNAME1", "'BLOCKSIZE'"), K::MissingMandatory, "ZVAL1", ""},
        {replace(replace(b, "ZBITPIX", "64"), "ZCMPTYPE", "'PLIO_1'"), K::NonStandard, "",
         "PLIO_1 only supports 8/16/32-bit integer images, got effective BITPIX=64"},
        {replace(hc, "ZNAXIS", "1"), K::NonStandard, "",
         "HCOMPRESS_1 requires a 2-D image, got ZNAXIS=1"},
        {replace(replace(hc, "ZNAME1", "'SCALE'"), "ZVAL1", "-1"), K::Value, "ZVAL1",
         "HCOMPRESS SCALE out of range: -1"},
    };
    for (const Case& c : cases) {
        expect_error(record(c.cards), c.kind, c.keyword, c.msg, c.msg);
    }
}

}  // namespace
}  // namespace vexlo
