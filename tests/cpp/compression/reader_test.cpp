#include <gtest/gtest.h>

#include <string>

#include "compression/reader.hpp"
#include "hdu/compressed_image.hpp"
#include "hdu/hdu.hpp"
#include "hdu/load.hpp"
#include "io/file.hpp"

namespace vexlo {
namespace {

std::string tiled(const std::string& name) {
    return std::string(VEXLO_TEST_DATA) + "/tiled/" + name;
}

// The image of one HDU with its pixels copied out of the file's cache.
std::optional<ImageHdu> load(const std::string& path, std::size_t index) {
    Result<FitsFile> f = FitsFile::open(path, true);
    if (!f) {
        ADD_FAILURE() << path << ": " << f.error().message();
        return std::nullopt;
    }
    Result<ImageHdu> img = load_image(*f, index);
    if (!img) {
        ADD_FAILURE() << path << ": " << img.error().message();
        return std::nullopt;
    }
    Bytes pixels = std::move(*img).into_data();
    return ImageHdu::create(img->header, std::move(pixels)).value();
}

// Every file the standard compressor wrote decodes to that tool's own decompression, bit for
// bit: every algorithm, pixel type, quantisation and dither method, edge tiles, a cube, and
// HCOMPRESS with smoothing (written by fitsio, decoded by fitsio).
TEST(TiledReader, FixturesDecodeToTheirReference) {
    const char* names[] = {
        "i16_rice",
        "i16_gzip1",
        "i16_gzip2",
        "i16_hcomp",
        "i16_hcomp_lossy",
        "i16_hcomp_smooth",
        "i16_rice_tiles",
        "i16_nocomp",
        "i16_plio",
        "u8_rice",
        "u8_plio",
        "u16_rice",
        "i32_rice",
        "i32_gzip2",
        "i32_hcomp",
        "f32_rice_dither1",
        "f32_rice_nodither",
        "f32_rice_dither2",
        "f32_gzip1_lossless",
        "f32_gzip2_lossless",
        "f32_hcomp_q",
        "f64_rice_q",
        "i16_cube_rice",
    };
    for (const char* name : names) {
        SCOPED_TRACE(name);
        const std::optional<ImageHdu> got_ = load(tiled(std::string(name) + ".fz"), 1);
        const std::optional<ImageHdu> want_ = load(tiled(std::string(name) + ".ref.fits.gz"), 0);
        if (!got_ || !want_) continue;
        const ImageHdu& got = *got_;
        const ImageHdu& want = *want_;
        EXPECT_EQ(got.bitpix, want.bitpix);
        EXPECT_EQ(got.axes, want.axes);
        ASSERT_EQ(got.data.size(), want.data.size());
        const ByteSpan a = got.data.span(), b = want.data.span();
        std::size_t differing = 0, first = 0;
        for (std::size_t i = 0; i < a.size(); ++i) {
            if (a[i] != b[i] && differing++ == 0) first = i;
        }
        EXPECT_EQ(differing, 0u) << "first differing byte " << first;
    }
}

}  // namespace
}  // namespace vexlo
