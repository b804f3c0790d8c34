#include "hdu/image_reader.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "../io/fits_fixture.hpp"
#include "util/parallel.hpp"

namespace vexlo {
namespace {

using namespace fits_test;

// A primary image of 100 bytes (8-bit, 10 x 10) followed by an IMAGE extension of 12 bytes.
Bytes two_hdu_file() {
    Bytes out = hdu(primary_cards(8, {10, 10}), ramp(100));
    append(out, hdu(image_ext_cards(16, {3, 2}), ramp(12)));
    return out;
}

TEST(ImageReaderTest, PixelsReadInChunksMatchAWholeSwapAcrossEveryChunkEdge) {
    // Larger than several read chunks and not a multiple of one, so that values straddle no
    // edge unconverted and the tail is converted too; the 20 MB image is also read in runs
    // of chunks on several threads, and its cached data section too.
    struct Case {
        Bitpix bitpix;
        std::uint64_t pixels;
    };
    const Case cases[] = {{Bitpix::I16, 3 * 65536 + 7},
                          {Bitpix::I32, 3 * 65536 + 7},
                          {Bitpix::I64, 3 * 65536 + 7},
                          {Bitpix::F64, 3 * 65536 + 7},
                          {Bitpix::I32, 5 * 1024 * 1024 + 3}};
    for (const auto& [b, pixels] : cases) {
        const std::size_t width = bytes_per_pixel(b);
        Bytes stored(pixels * width);
        for (std::size_t i = 0; i < stored.size(); ++i)
            stored[i] = static_cast<std::uint8_t>(i * 131 + i / 4096);
        TempFile f(hdu(primary_cards(static_cast<int>(bitpix_value(b)), {pixels}), stored));
        const FitsFile file = FitsFile::open(f.path(), true).value();
        for (const bool offset : {false, true}) {
            if (offset && is_float(b)) continue;  // floating-point types have no offset form
            Bytes want(stored.size());
            if (offset) {
                ASSERT_TRUE(decode_offset_be_into(b, stored, want));
            } else {
                want = stored;
                ASSERT_TRUE(swap_be_in_place(b, want));
            }
            Bytes got(stored.size(), 0xAA);
            ASSERT_TRUE(read_pixels_into(*DataSource::of_file(file, 0), b, offset, got));
            EXPECT_TRUE(got == want) << type_name(b) << offset;
        }
        const Result<ByteSpan> cached = file.data_bytes(0);
        ASSERT_TRUE(cached);
        EXPECT_TRUE(std::equal(cached->begin(), cached->end(), stored.begin(), stored.end()))
            << type_name(b);
    }
    TempFile small(two_hdu_file());
    const FitsFile file = FitsFile::open(small.path(), true).value();
    Bytes wrong(11);
    EXPECT_EQ(read_pixels_into(*DataSource::of_file(file, 1), Bitpix::I16, false, wrong)
                  .error()
                  .message(),
              "data: read_data_into: destination is 11 bytes, data section is 12");
    EXPECT_EQ(DataSource::of_file(file, 2).error().message(),
              "header: HDU index 2 out of range (len = 2)");
}

// Scaled images are read chunk by chunk into their physical values, a large one in runs of
// chunks on several threads; every value equals the whole-buffer conversion.
TEST(ImageReaderTest, PhysicalValuesReadInChunksMatchAWholeConversion) {
    for (const std::uint64_t pixels : {std::uint64_t{3 * 65536 + 7}, std::uint64_t{9 << 20}}) {
        Bytes stored(pixels * 2);
        for (std::size_t i = 0; i < stored.size(); ++i)
            stored[i] = static_cast<std::uint8_t>(i * 131 + i / 4096);
        TempFile f(hdu(primary_cards(16, {pixels}), stored));
        const FitsFile file = FitsFile::open(f.path(), true).value();
        const Scaling scaling{1.5, 0.25, 7};
        std::vector<float> want(pixels);
        ASSERT_TRUE(physical_values_into(Bitpix::I16, stored, scaling, std::span<float>(want)));
        std::vector<float> got(pixels, -1.0f);
        ASSERT_TRUE(read_physical_into(*DataSource::of_file(file, 0), Bitpix::I16, scaling,
                                       std::span<float>(got)));
        EXPECT_TRUE(std::memcmp(got.data(), want.data(), pixels * sizeof(float)) == 0) << pixels;
        std::vector<double> wrong(pixels - 1);
        EXPECT_EQ(read_physical_into(*DataSource::of_file(file, 0), Bitpix::I16, scaling,
                                     std::span<double>(wrong))
                      .error()
                      .message(),
                  "data: read_physical_into: destination holds " + std::to_string(pixels - 1) +
                      " values, data section has " + std::to_string(pixels));
    }
}

TEST(ImageReaderTest, Sections) {
    std::vector<std::unique_ptr<TempFile>> keep;
    // A 10 x 5 image of 16-bit pixels whose value is the element number.
    Bytes pixels;
    for (int i = 0; i < 50; ++i) {
        pixels.push_back(0);
        pixels.push_back(static_cast<std::uint8_t>(i));
    }
    Bytes cube;  // 4 x 3 x 2, 8-bit, value = element number
    for (int i = 0; i < 24; ++i)
        cube.push_back(static_cast<std::uint8_t>(i));
    Bytes content = hdu(primary_cards(16, {10, 5}), pixels);
    append(content, hdu(image_ext_cards(8, {4, 3, 2}), cube));
    append(content, hdu(image_ext_cards(8, {}), {}));

    using V = std::vector<std::uint64_t>;
    for (const FitsFile& f : open_both(content, keep)) {
        auto section = [&](std::size_t idx, V axes, V start, V shape, Bitpix b) {
            const Result<DataSource> src = DataSource::of_file(f, idx);
            if (!src) return Result<Bytes>(std::unexpected(src.error()));
            return read_section_bytes(*src, axes, start, shape, b);
        };
        const Result<Bytes> s = section(0, {10, 5}, {1, 2}, {3, 2}, Bitpix::I16);
        ASSERT_TRUE(s) << s.error().message();
        EXPECT_EQ(*s, bytes_of({0, 21, 0, 22, 0, 23, 0, 31, 0, 32, 0, 33}));

        const Result<Bytes> whole = section(0, {10, 5}, {0, 0}, {10, 5}, Bitpix::I16);
        ASSERT_TRUE(whole);
        EXPECT_EQ(*whole, pixels);

        const Result<Bytes> runs = section(1, {4, 3, 2}, {1, 0, 0}, {2, 3, 2}, Bitpix::U8);
        ASSERT_TRUE(runs);
        EXPECT_EQ(*runs, bytes_of({1, 2, 5, 6, 9, 10, 13, 14, 17, 18, 21, 22}));

        Bytes into(4);
        ASSERT_TRUE(read_section_into(*DataSource::of_file(f, 1), V{4, 3, 2}, V{0, 2, 1},
                                      V{4, 1, 1}, Bitpix::U8, into));
        EXPECT_EQ(into, bytes_of({20, 21, 22, 23}));
        Bytes wrong(3);
        EXPECT_EQ(read_section_into(*DataSource::of_file(f, 1), V{4, 3, 2}, V{0, 2, 1}, V{4, 1, 1},
                                    Bitpix::U8, wrong)
                      .error()
                      .message(),
                  "data: read_section_into: destination is 3 bytes, section is 4");

        const Result<Bytes> empty = section(1, {4, 3, 2}, {4, 0, 0}, {0, 3, 2}, Bitpix::U8);
        ASSERT_TRUE(empty);
        EXPECT_TRUE(empty->empty());

        struct Bad {
            std::size_t index;
            V axes, start, shape;
            std::string want;
        };
        const std::vector<Bad> bad = {
            {0,
             {10, 5},
             {8, 0},
             {3, 1},
             "data: axis 0 (NAXIS1) range 8..11 out of bounds (length 10)"},
            {0,
             {10, 5},
             {0, 3},
             {1, 3},
             "data: axis 1 (NAXIS2) range 3..6 out of bounds (length 5)"},
            {0, {10, 5}, {0}, {1, 1}, "data: start/shape have length 1/2, expected NAXIS = 2"},
            {0,
             {10, 5},
             {1, std::numeric_limits<std::uint64_t>::max()},
             {1, 2},
             "data: axis 1 (NAXIS2) range 18446744073709551615..18446744073709551615 out of "
             "bounds (length 5)"},
            {0,
             {10, 6},
             {0, 0},
             {1, 1},
             "data: image axes describe more than the 100-byte data section"},
            {2, {}, {}, {}, "data: section of an image with no axes (NAXIS = 0) is undefined"},
            {3, {1}, {0}, {1}, "header: HDU index 3 out of range (len = 3)"},
        };
        for (const Bad& c : bad) {
            const Result<Bytes> r = section(c.index, c.axes, c.start, c.shape, Bitpix::I16);
            ASSERT_FALSE(r) << c.want;
            EXPECT_EQ(r.error().message(), c.want);
        }
        const std::uint64_t big = std::uint64_t{1} << 32;
        EXPECT_EQ(section(0, {big, big, 2}, {0, 0, 0}, {1, 1, 1}, Bitpix::U8).error().message(),
                  "data: axis stride overflows u64");
        EXPECT_EQ(section(0, {big, big}, {0, 0}, {big, big}, Bitpix::U8).error().message(),
                  "data: shape product overflows u64");
        EXPECT_EQ(section(0, {big, big / 2}, {0, 0}, {big, big / 2}, Bitpix::F64).error().message(),
                  "data: total bytes overflows usize");
    }
}

// Every form of an image read from its file equals the same read of its bytes in memory and
// the whole-buffer conversion, whether the pass runs as the machine splits it or is forced
// into several parts on whatever cores there are.
TEST(ImageReaderTest, FileAndMemoryReadsAgreeInEveryFormAndSplit) {
    struct Case {
        Bitpix bitpix;
        Scaling scaling;
        PhysicalForm form;
    };
    const Case cases[] = {
        {Bitpix::I16, {}, PhysicalForm::Stored},
        {Bitpix::I16, {32768.0, 1.0, std::nullopt}, PhysicalForm::Offset},
        {Bitpix::I16, {1.5, 0.25, 7}, PhysicalForm::F32},
        {Bitpix::I32, {-3.0, 2.0, 5}, PhysicalForm::F64},
        {Bitpix::F32, {1.0, 3.0, std::nullopt}, PhysicalForm::F32},
        {Bitpix::I64, {9.0, 1.0, std::nullopt}, PhysicalForm::F64},
        {Bitpix::U8, {0.5, 2.0, 3}, PhysicalForm::F32},
    };
    const std::uint64_t pixels = 3 * 65536 + 5;
    for (const Case& c : cases) {
        ASSERT_EQ(physical_form(c.bitpix, c.scaling), c.form);
        const std::uint64_t width = bytes_per_pixel(c.bitpix);
        Bytes stored(pixels * width);
        for (std::size_t i = 0; i < stored.size(); ++i)
            stored[i] = static_cast<std::uint8_t>(i * 37 + i / 977);
        TempFile f(hdu(primary_cards(static_cast<int>(bitpix_value(c.bitpix)), {pixels}), stored));
        const FitsFile file = FitsFile::open(f.path(), true).value();
        const std::uint64_t out_width = physical_width(c.bitpix, c.form);
        Bytes want(pixels * out_width);
        if (c.form == PhysicalForm::F32) {
            std::vector<float> v(pixels);
            ASSERT_TRUE(physical_values_into(c.bitpix, stored, c.scaling, std::span<float>(v)));
            std::memcpy(want.data(), v.data(), want.size());
        } else if (c.form == PhysicalForm::F64) {
            std::vector<double> v(pixels);
            ASSERT_TRUE(physical_values_into(c.bitpix, stored, c.scaling, std::span<double>(v)));
            std::memcpy(want.data(), v.data(), want.size());
        } else if (c.form == PhysicalForm::Offset) {
            ASSERT_TRUE(decode_offset_be_into(c.bitpix, stored, want));
        } else {
            want = stored;
            ASSERT_TRUE(swap_be_in_place(c.bitpix, want));
        }
        for (const std::size_t parts : {std::size_t{0}, std::size_t{3}, std::size_t{7}}) {
            force_parts_for_tests(parts);
            force_helper_budget_for_tests(parts == 0 ? std::nullopt
                                                     : std::optional<std::size_t>(parts - 1));
            Bytes from_file(want.size(), 0xAA);
            Bytes from_memory(want.size(), 0x55);
            const Result<void> a = read_image_into(*DataSource::of_file(file, 0), c.bitpix,
                                                   c.scaling, c.form, from_file);
            const Result<void> b = read_image_into(DataSource::of_memory(stored), c.bitpix,
                                                   c.scaling, c.form, from_memory);
            force_parts_for_tests(0);
            force_helper_budget_for_tests(std::nullopt);
            ASSERT_TRUE(a) << a.error().message();
            ASSERT_TRUE(b) << b.error().message();
            EXPECT_TRUE(from_file == want) << type_name(c.bitpix) << " parts " << parts;
            EXPECT_TRUE(from_memory == want) << type_name(c.bitpix) << " parts " << parts;
        }
    }
}

// A section's values in any form are the whole image's values at the section's pixels.
TEST(ImageReaderTest, SectionValuesEqualTheWholeImagesValues) {
    const std::vector<std::uint64_t> axes = {7, 5, 3};
    const std::uint64_t pixels = 7 * 5 * 3;
    Bytes stored(pixels * 2);
    for (std::size_t i = 0; i < stored.size(); ++i)
        stored[i] = static_cast<std::uint8_t>(i * 53 + 11);
    const std::vector<std::uint64_t> start = {2, 1, 1};
    const std::vector<std::uint64_t> shape = {4, 3, 2};
    const Scaling scalings[] = {{}, {32768.0, 1.0, std::nullopt}, {1.5, 0.25, 7}};
    std::vector<std::unique_ptr<TempFile>> keep;
    for (const FitsFile& f : open_both(hdu(primary_cards(16, axes), stored), keep)) {
        const DataSource src = *DataSource::of_file(f, 0);
        for (const Scaling& scaling : scalings) {
            const PhysicalForm form = physical_form(Bitpix::I16, scaling);
            const std::uint64_t w = physical_width(Bitpix::I16, form);
            Bytes whole(pixels * w);
            ASSERT_TRUE(read_image_into(src, Bitpix::I16, scaling, form, whole));
            Bytes got(4 * 3 * 2 * w);
            ASSERT_TRUE(
                read_section_values_into(src, axes, start, shape, Bitpix::I16, scaling, form, got));
            std::size_t at = 0;
            for (std::uint64_t z = 0; z < shape[2]; ++z) {
                for (std::uint64_t y = 0; y < shape[1]; ++y) {
                    for (std::uint64_t x = 0; x < shape[0]; ++x, at += w) {
                        const std::uint64_t k =
                            (start[0] + x) + 7 * (start[1] + y) + 35 * (start[2] + z);
                        EXPECT_EQ(std::memcmp(got.data() + at, whole.data() + k * w, w), 0)
                            << static_cast<int>(form) << " " << k;
                    }
                }
            }
        }
    }
}

// Sections are read from the file each time, never from the data cache: a file cut short
// after its data was cached fails the read.
TEST(ImageReaderTest, SectionsOfATruncatedFileFail) {
    TempFile tmp(two_hdu_file());
    const FitsFile f = FitsFile::open(tmp.path(), true).value();
    ASSERT_TRUE(f.data_bytes(1));
    tmp.truncate(2880 * 3 + 5);
    const std::uint64_t axes[] = {3, 2};
    const std::uint64_t start[] = {0, 1};
    const std::uint64_t shape[] = {3, 1};
    EXPECT_EQ(read_section_bytes(*DataSource::of_file(f, 1), axes, start, shape, Bitpix::I16)
                  .error()
                  .message(),
              "i/o error: pread reached EOF before filling buffer (file truncated?)");
}

}  // namespace
}  // namespace vexlo
