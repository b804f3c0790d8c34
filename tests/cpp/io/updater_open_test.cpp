// What FitsUpdater::open accepts: an image is patched in place only within the data section
// the scan sized for it, and a file with bytes after its last HDU that are not padding is
// refused (a rewrite would drop them).
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "../hdu/patch_fixture.hpp"
#include "fits_fixture.hpp"
#include "io/updater.hpp"

namespace vexlo {
namespace {

using namespace fits_test;
using namespace patch_test;

// An IMAGE extension whose axes declare 200 pixels while GCOUNT = 0 gives it no data.
std::vector<std::string> empty_by_gcount() {
    return {kv("XTENSION", "'IMAGE   '"), kv("BITPIX", 8), kv("NAXIS", 1), kv("NAXIS1", 200),
            kv("PCOUNT", 0), kv("GCOUNT", 0)};
}

TEST(FitsUpdaterOpen, AnImageIsPatchedOnlyWithinItsScannedDataSection) {
    // The scan gives HDU 1 no data, so HDU 2's header follows its header directly: a patch
    // sized from HDU 1's axes would overwrite it.
    Bytes file = hdu(primary_cards(8, {}));
    append(file, hdu(empty_by_gcount()));
    append(file, hdu(image_ext_cards(8, {4}), bytes_of({1, 2, 3, 4})));
    TempFile f(file);
    Result<FitsUpdater> up = open_updater(f.path());
    ASSERT_TRUE(up.has_value()) << up.error().message();
    ASSERT_EQ(up->hdus.size(), 3u);
    const FitsFile scan = FitsFile::open(f.path(), true).value();
    EXPECT_FALSE(target_of(scan, 1));
    EXPECT_TRUE(target_of(scan, 2));
    const std::uint8_t values[3] = {9, 9, 9};
    const std::uint64_t start[1] = {0}, shape[1] = {3};
    Result<void> refused = write_section(*up, 1, start, shape, Bitpix::U8, ByteSpan(values, 3));
    ASSERT_FALSE(refused.has_value());
    EXPECT_NE(refused.error().message().find("FitsUpdater: HDU 1 is not an image (or out of range)"),
              std::string::npos)
        << refused.error().message();
    EXPECT_EQ(read_back(f.path()), file);
}

TEST(FitsUpdaterOpen, BytesAfterTheLastHduMustBePadding) {
    // The pixels of the GCOUNT = 0 image and the HDU after them are, to the scan, trailing
    // bytes that a rewrite would not keep.
    Bytes dropped = hdu(primary_cards(8, {}));
    append(dropped, hdu(empty_by_gcount()));
    append(dropped, padded(ramp(200)));
    append(dropped, hdu(image_ext_cards(8, {4}), bytes_of({1, 2, 3, 4})));

    Bytes zeros = hdu(primary_cards(8, {2}), bytes_of({1, 2}));
    append(zeros, Bytes(2880, 0));
    Bytes blanks = hdu(primary_cards(8, {2}), bytes_of({1, 2}));
    append(blanks, Bytes(100, ' '));
    Bytes text = hdu(primary_cards(8, {2}), bytes_of({1, 2}));
    append(text, Bytes(10, 'x'));

    struct Case {
        const char* name;
        Bytes file;
        bool accepted;
    };
    const Case cases[] = {
        {"skipped pixels and HDU", dropped, false},
        {"a block of zeros", zeros, true},
        {"blanks", blanks, true},
        {"other bytes", text, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempFile f(c.file);
        Result<FitsUpdater> up = open_updater(f.path());
        EXPECT_EQ(up.has_value(), c.accepted);
        if (!up) {
            const std::string text = up.error().message();
            EXPECT_NE(text.find("after its last HDU"), std::string::npos) << text;
        }
        EXPECT_EQ(read_back(f.path()), c.file);
    }
}

}  // namespace
}  // namespace vexlo
