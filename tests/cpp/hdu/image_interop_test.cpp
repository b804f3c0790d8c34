// Files written by another FITS writer. The expected numbers come from
// fixtures/interop/expected.json (sums and NaN counts of the physical pixel values).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "../be_bytes.hpp"
#include "../io/fits_fixture.hpp"
#include "compression/reader.hpp"
#include "hdu/hdu.hpp"
#include "hdu/image_reader.hpp"
#include "hdu/load.hpp"
#include "io/file.hpp"
#include "util/text.hpp"

namespace vexlo {
namespace {

using fits_test::test_data;

struct Stats {
    double sum = 0.0;
    std::size_t nan = 0;
};

template <class T>
Stats stats_of(const std::vector<T>& v) {
    Stats s;
    for (const T x : v) {
        if (std::isnan(static_cast<double>(x))) {
            ++s.nan;
        } else {
            s.sum += static_cast<double>(x);
        }
    }
    return s;
}

FitsFile open_or_die(const std::string& name) {
    Result<FitsFile> r = FitsFile::open(test_data(name), true);
    if (!r) throw std::runtime_error(r.error().message());
    return std::move(*r);
}

TEST(ImageInterop, EveryPixelTypeWithScaling) {
    const FitsFile f = open_or_die("images.fits");
    ASSERT_EQ(f.len(), 12u);
    struct Case {
        const char* extname;
        std::int64_t extver;  // 0: none
        Bitpix bitpix;
        std::vector<std::uint64_t> axes;  // NAXIS1 first: expected.json's shape reversed
        double sum;
        std::size_t nan;
    };
    const std::vector<Case> cases = {
        {"IMG", 1, Bitpix::U8, {17, 23}, 19276.0, 0},
        {"IMG", 2, Bitpix::I16, {17, 23}, 19847.0, 0},
        {"IMG", 3, Bitpix::I32, {17, 23}, 18689.0, 0},
        {"IMG", 4, Bitpix::I64, {17, 23}, 19510.0, 0},
        {"IMG", 5, Bitpix::F32, {17, 23}, 19462.077565312386, 0},
        {"IMG", 6, Bitpix::F64, {17, 23}, 19253.265794556653, 0},
        {"U16", 0, Bitpix::I16, {4, 3}, 330000.0, 0},
        {"U32", 0, Bitpix::I32, {3, 2}, 10500000000.0, 0},
        {"I8", 0, Bitpix::U8, {4}, -2.0, 0},
        {"SCALED", 0, Bitpix::I16, {11, 9}, 7869.25, 3},
        {"CUBE", 0, Bitpix::F32, {6, 5, 4}, 10.1657440867275, 1},
    };
    for (const Case& c : cases) {
        const std::string label = std::string(c.extname) + " " + std::to_string(c.extver);
        const Result<Hdu> hdu = hdu_by_extname(
            f, c.extname, c.extver == 0 ? std::nullopt : std::optional<std::int64_t>(c.extver));
        ASSERT_TRUE(hdu) << label << ": " << hdu.error().message();
        ASSERT_EQ(hdu->kind(), Hdu::Kind::Image) << label;
        const ImageHdu& img = std::get<ImageHdu>(hdu->value);
        EXPECT_EQ(img.bitpix, c.bitpix) << label;
        EXPECT_EQ(img.axes, c.axes) << label;
        const Result<ImageArray<double>> phys = img.physical_f64();
        ASSERT_TRUE(phys) << label;
        const Stats s = stats_of(phys->data);
        EXPECT_NEAR(s.sum, c.sum, 1e-9 * std::max(1.0, std::abs(c.sum))) << label;
        EXPECT_EQ(s.nan, c.nan) << label;
        const Stats s32 = stats_of(img.physical_f32()->data);
        EXPECT_EQ(s32.nan, c.nan) << label;
        EXPECT_NEAR(s32.sum, c.sum, 1e-6 * std::max(1.0, std::abs(c.sum))) << label;
    }
}

TEST(ImageInterop, UnsignedConventionsThroughRawValues) {
    const FitsFile f = open_or_die("images.fits");
    // BZERO = 32768: stored values with the sign bit flipped are the unsigned values.
    const Result<Hdu> u16 = hdu_by_extname(f, "U16", std::nullopt);
    ASSERT_TRUE(u16);
    const Result<ImageArray<std::int16_t>> stored = std::get<ImageHdu>(u16->value).to_array_i16();
    ASSERT_TRUE(stored);
    const Bytes host(
        reinterpret_cast<const std::uint8_t*>(stored->data.data()),
        reinterpret_cast<const std::uint8_t*>(stored->data.data() + stored->data.size()));
    const Bytes flipped = flip_sign_bit_16(host);
    std::vector<std::uint16_t> values(stored->data.size());
    std::memcpy(values.data(), flipped.data(), flipped.size());
    double sum = 0;
    for (const std::uint16_t v : values)
        sum += v;
    EXPECT_EQ(sum, 330000.0);

    // BZERO = -128 on bytes: the stored bytes minus 128.
    const Result<Hdu> i8 = hdu_by_extname(f, "I8", std::nullopt);
    ASSERT_TRUE(i8);
    const Result<ImageArray<std::uint8_t>> bytes = std::get<ImageHdu>(i8->value).to_array_u8();
    ASSERT_TRUE(bytes);
    int signed_sum = 0;
    for (const std::uint8_t b : bytes->data)
        signed_sum += static_cast<std::int8_t>(b ^ 0x80);
    EXPECT_EQ(signed_sum, -2);
}

TEST(ImageInterop, RawReadsIntoCallerMemoryMatchDecoding) {
    const FitsFile f = open_or_die("images.fits");
    for (std::size_t index = 1; index <= 6; ++index) {
        const Result<ImageHdu> img = load_image(f, index);
        ASSERT_TRUE(img);
        Bytes raw(img->data.size());
        ASSERT_TRUE(DataSource::of_file(f, index)->read(0, raw));
        EXPECT_TRUE(std::equal(raw.begin(), raw.end(), img->data.span().begin()));
        EXPECT_TRUE(swap_be_in_place(img->bitpix, raw));
        if (img->bitpix == Bitpix::I32) {
            const std::vector<std::int32_t> want = img->to_array_i32()->data;
            EXPECT_EQ(std::memcmp(raw.data(), want.data(), raw.size()), 0);
        }
        if (img->bitpix == Bitpix::F64) {
            std::vector<double> host(img->n_elements);
            std::memcpy(host.data(), raw.data(), raw.size());
            EXPECT_EQ(host, img->physical_f64()->data);
        }
    }
}

TEST(ImageInterop, CubeSectionMatchesWholeImage) {
    const FitsFile f = open_or_die("images.fits");
    const Result<ImageHdu> cube = load_image(f, 11);
    ASSERT_TRUE(cube);
    ASSERT_EQ(cube->axes, (std::vector<std::uint64_t>{6, 5, 4}));
    const std::vector<std::uint64_t> start = {1, 2, 1};
    const std::vector<std::uint64_t> shape = {4, 2, 3};
    const Result<Bytes> sec =
        read_section_bytes(*DataSource::of_file(f, 11), cube->axes, start, shape, Bitpix::F32);
    ASSERT_TRUE(sec) << sec.error().message();
    ASSERT_EQ(sec->size(), 4u * 2 * 3 * 4);
    const std::vector<double> all = cube->physical_f64()->data;
    std::size_t at = 0;
    for (std::uint64_t z = 0; z < 3; ++z) {
        for (std::uint64_t y = 0; y < 2; ++y) {
            for (std::uint64_t x = 0; x < 4; ++x, at += 4) {
                const std::size_t k = (start[0] + x) + 6 * (start[1] + y) + 30 * (start[2] + z);
                const double got = load_be_f32(sec->data() + at);
                if (std::isnan(all[k])) {
                    EXPECT_TRUE(std::isnan(got));
                } else {
                    EXPECT_EQ(got, all[k]) << k;
                }
            }
        }
    }
}

TEST(ImageInterop, RandomGroups) {
    // expected.json: 5 groups, parameter sums [10, 20], data sum 435.
    const FitsFile f = open_or_die("random_groups.fits");
    ASSERT_EQ(f.len(), 1u);
    const Result<Hdu> hdu = load_hdu(f, 0);
    ASSERT_TRUE(hdu) << hdu.error().message();
    ASSERT_EQ(hdu->kind(), Hdu::Kind::RandomGroups);
    const RandomGroupsHdu& rg = std::get<RandomGroupsHdu>(hdu->value);
    EXPECT_EQ(rg.bitpix, Bitpix::F32);
    EXPECT_EQ(rg.gcount, 5u);
    EXPECT_EQ(rg.pcount, 2u);
    EXPECT_EQ(rg.data_per_group, 6u);
    ASSERT_EQ(rg.parameters.size(), 2u);
    EXPECT_EQ(rg.parameters[0].name, "UU");
    EXPECT_EQ(rg.parameters[1].name, "VV");
    double params[2] = {0, 0};
    double data = 0;
    for (std::uint64_t g = 0; g < rg.gcount; ++g) {
        const std::uint8_t* p = rg.data.data() + g * rg.group_bytes();
        for (std::uint64_t i = 0; i < rg.pcount; ++i)
            params[i] += load_be_f32(p + 4 * i);
        for (std::uint64_t i = 0; i < rg.data_per_group; ++i) {
            data += load_be_f32(p + 4 * (rg.pcount + i));
        }
    }
    EXPECT_EQ(params[0], 10.0);
    EXPECT_EQ(params[1], 20.0);
    EXPECT_EQ(data, 435.0);
}

TEST(ImageInterop, LongStringsHierarchAndChecksumCards) {
    const FitsFile f = open_or_die("header_checksum.fits");
    ASSERT_EQ(f.len(), 1u);
    const Result<ImageHdu> img = load_image(f, 0);
    ASSERT_TRUE(img) << img.error().message();
    EXPECT_EQ(img->axes, (std::vector<std::uint64_t>{10, 10}));
    const Stats s = stats_of(img->physical_f64()->data);
    EXPECT_EQ(s.sum, 4950.0);  // expected.json
    EXPECT_EQ(s.nan, 0u);

    const Header& h = img->header;
    const std::optional<std::string> object = h.get_str("OBJECT");
    ASSERT_TRUE(object);
    std::string want;
    for (int i = 0; i < 6; ++i)
        want += (i ? " " : "") + std::string("A long object name");
    EXPECT_EQ(trim_ws_end(*object), want);
    EXPECT_EQ(h.get_f64("HIERARCH ESO DET CHIP TEMP"), -120.5);
    EXPECT_EQ(h.get_str("HIERARCH ESO OBS NAME"), "calibration run");
    EXPECT_EQ(h.get_f64("EXPTIME"), 30.0);
    EXPECT_EQ(h.get_str("DATASUM"), "2393636889");
    EXPECT_EQ(h.commentary_views("HISTORY").size(), 1u);
}

TEST(ImageInterop, GzipTableOpensAndLoads) {
    // expected.json: the table EVENTS has 7 rows.
    const FitsFile f = open_or_die("bintable.fits.gz");
    const Result<Hdu> hdu = hdu_by_extname(f, "EVENTS", std::nullopt);
    ASSERT_TRUE(hdu) << hdu.error().message();
    ASSERT_EQ(hdu->kind(), Hdu::Kind::BinTable);
    EXPECT_EQ(std::get<BinTableHdu>(hdu->value).n_rows, 7u);
    const Result<Hdu> primary = load_hdu(f, 0);
    ASSERT_TRUE(primary);
    EXPECT_EQ(primary->kind(), Hdu::Kind::Image);
}

}  // namespace
}  // namespace vexlo
