#include "hdu/data_source.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "../io/fits_fixture.hpp"

namespace vexlo {
namespace {

using namespace fits_test;

// The same bytes held in memory and named in a file (plain and gzip) read alike: whole,
// by range, sliced and block by block, with the same refusals.
TEST(DataSource, HeldAndFileBytesReadAlike) {
    std::vector<std::unique_ptr<TempFile>> keep;
    Bytes content = hdu(primary_cards(8, {}));
    append(content, hdu(image_ext_cards(8, {100}), ramp(100), 0x77));
    const Bytes r100 = ramp(100);
    for (const FitsFile& f : open_both(content, keep)) {
        const DataSource from_file = *DataSource::of_file(f, 1);
        for (const DataSource& src : {from_file, DataSource::of_memory(r100)}) {
            const bool held = src.held().has_value();
            const std::string ctx = held ? "memory" : "file";
            EXPECT_EQ(src.size(), 100u) << ctx;
            EXPECT_EQ(src.view(10, 5).has_value(), held) << ctx;

            Bytes dest(100);
            ASSERT_TRUE(src.read(0, dest)) << ctx;
            EXPECT_EQ(dest, r100) << ctx;
            EXPECT_TRUE(src.check_destination(100)) << ctx;
            const Result<void> bad = src.check_destination(99);
            ASSERT_FALSE(bad) << ctx;
            EXPECT_EQ(bad.error().message(),
                      "data: read_data_into: destination is 99 bytes, data section is 100")
                << ctx;

            Bytes part(20);
            ASSERT_TRUE(src.read(80, part)) << ctx;
            EXPECT_EQ(part, Bytes(r100.begin() + 80, r100.end())) << ctx;
            EXPECT_EQ(src.read(90, part).error().message(),
                      "data: read_data_range_into: [90, +20) escapes the 100-byte data section")
                << ctx;
            EXPECT_EQ(*src.read_bytes(3, 4), Bytes(r100.begin() + 3, r100.begin() + 7)) << ctx;

            // A slice reads as a source of its own, offsets counted from its start.
            const Result<DataSource> slice = src.slice(40, 30);
            ASSERT_TRUE(slice) << ctx;
            EXPECT_EQ(slice->size(), 30u);
            EXPECT_EQ(*slice->read_bytes(5, 10), Bytes(r100.begin() + 45, r100.begin() + 55))
                << ctx;
            EXPECT_EQ(slice->read_bytes(25, 10).error().message(),
                      "data: read_data_range_into: [25, +10) escapes the 30-byte data section")
                << ctx;
            EXPECT_EQ(src.slice(90, 11).error().message(),
                      "data: read_data_range_into: [90, +11) escapes the 100-byte data section")
                << ctx;

            // A block is borrowed when held, else read into the scratch buffer.
            Bytes scratch;
            const Result<ByteSpan> block = slice->block(2, 8, scratch);
            ASSERT_TRUE(block) << ctx;
            EXPECT_EQ(Bytes(block->begin(), block->end()),
                      Bytes(r100.begin() + 42, r100.begin() + 50))
                << ctx;
            EXPECT_EQ(block->data() == scratch.data(), !held) << ctx;
            EXPECT_FALSE(slice->block(25, 8, scratch)) << ctx;
        }
        for (const std::size_t bad_index : {std::size_t{2}, std::size_t{99}}) {
            EXPECT_EQ(DataSource::of_file(f, bad_index).error().message(),
                      "header: HDU index " + std::to_string(bad_index) + " out of range (len = 2)");
        }
    }
}

TEST(DataSource, SizeCheckNamesBothLengths) {
    EXPECT_EQ(size_mismatch("pixel buffer", 16, "data section", 8),
              "pixel buffer is 16 bytes, data section is 8");
    EXPECT_EQ(size_mismatch("pixel buffer", 8, "data section", 8), std::nullopt);
    EXPECT_TRUE(check_size("read_section_into: destination", 4, "section", 4));
    EXPECT_EQ(check_size("read_section_into: destination", 3, "section", 4).error().message(),
              "data: read_section_into: destination is 3 bytes, section is 4");
}

}  // namespace
}  // namespace vexlo
