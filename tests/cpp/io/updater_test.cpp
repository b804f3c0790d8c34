#include "io/updater.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "../hdu/patch_fixture.hpp"
#include "fits_fixture.hpp"
#include "hdu/checksum.hpp"
#include "header/block.hpp"
#include "header/header.hpp"
#include "io/appender.hpp"
#include "io/file.hpp"

namespace vexlo {
namespace {

using namespace fits_test;
using namespace patch_test;

// A 10 x 10 BITPIX 16 primary image, a binary table, and a BZERO 32768 image extension.
Bytes sample() {
    Bytes out = hdu(primary_cards(16, {10, 10}), Bytes(200, 0));
    append(out, hdu({kv("XTENSION", "'BINTABLE'"), kv("BITPIX", 8), kv("NAXIS", 2), kv("NAXIS1", 1),
                     kv("NAXIS2", 1), kv("PCOUNT", 0), kv("GCOUNT", 1), kv("TFIELDS", 1),
                     kv("TFORM1", "'B       '")},
                    Bytes(1, 0)));
    std::vector<std::string> ext = image_ext_cards(16, {4});
    ext.push_back(kv("BZERO", 32768));
    append(out, hdu(ext, Bytes(8, 0)));
    return out;
}

TEST(FitsUpdater, WritesEachRunAtItsOffsetAndNothingElse) {
    TempFile f(sample());
    FitsUpdater up = open_updater(f.path()).value();
    // start (1, 1), shape (3, 2): two runs of 6 bytes at data_offset + 22 and + 42.
    const std::int16_t values[6] = {0, 1, 2, 3, 4, 5};
    const std::uint64_t start[2] = {1, 1}, shape[2] = {3, 2};
    ASSERT_TRUE(write_section(up, 0, start, shape, Bitpix::I16,
                              ByteSpan(reinterpret_cast<const std::uint8_t*>(values), 12)));
    const Bytes after = read_back(f.path());
    Bytes expected = sample();
    for (int k = 0; k < 6; ++k) {
        const std::size_t at = 2880 + (k < 3 ? 22 : 36) + 2 * k;
        expected[at + 1] = static_cast<std::uint8_t>(k);
    }
    EXPECT_EQ(after, expected);
}

TEST(FitsUpdater, RefusesBadWritesBeforeTouchingTheFile) {
    TempFile f(sample());
    FitsUpdater up = open_updater(f.path()).value();
    const std::uint8_t bytes[12] = {};
    struct Case {
        std::size_t index;
        std::vector<std::uint64_t> start, shape;
        Bitpix member;
        std::size_t n;
        std::string message;
    };
    const std::vector<Case> cases = {
        {1, {0}, {1}, Bitpix::U8, 1, "FitsUpdater: HDU 1 is not an image (or out of range)"},
        {3, {0}, {1}, Bitpix::U8, 1, "FitsUpdater: HDU 3 is not an image (or out of range)"},
        {0, {0, 0}, {1, 1}, Bitpix::F32, 4, "expected HDU type `f32`, found `i16`"},
        {0,
         {8, 0},
         {3, 1},
         Bitpix::I16,
         6,
         "axis 0 (NAXIS1) range 8..11 out of bounds (length 10)"},
        {0, {0, 0}, {2, 3}, Bitpix::I16, 10, "pixels.len() = 5 but shape implies 6 elements"},
    };
    for (const Case& c : cases) {
        const Result<void> r =
            write_section(up, c.index, c.start, c.shape, c.member, ByteSpan(bytes, c.n));
        ASSERT_FALSE(r) << c.message;
        EXPECT_NE(r.error().message().find(c.message), std::string::npos) << r.error().message();
    }
    EXPECT_EQ(read_back(f.path()), sample());
}

TEST(FitsUpdater, WriteRunsChecksEveryRunAgainstTheFileBeforeWritingAny) {
    TempFile f(sample());
    FitsUpdater up = open_updater(f.path()).value();
    const std::uint64_t len = up.file_len;
    const std::uint64_t first = up.hdus[0].data_offset;
    const std::uint8_t bytes[4] = {1, 2, 3, 4};
    struct Case {
        std::vector<std::uint64_t> offsets;
        std::string message;
    };
    // The first run fits; the one after it does not, so nothing may be written.
    const std::vector<Case> cases = {
        {{first, len - 1},
         "byte range " + std::to_string(len - 1) + ".." + std::to_string(len + 1) +
             " exceeds file length " + std::to_string(len)},
        {{first, ~std::uint64_t{0}}, "byte range overflows u64"},
    };
    for (const Case& c : cases) {
        const Result<void> r = up.write_runs(up.hdus[0], c.offsets, 2, ByteSpan(bytes, 4));
        ASSERT_FALSE(r) << c.message;
        EXPECT_EQ(r.error().message(), "data: " + c.message);
        EXPECT_EQ(read_back(f.path()), sample()) << c.message;
    }
}

TEST(FitsUpdater, PhysicalValuesAreScaledRoundedAndRangeChecked) {
    TempFile f(sample());
    FitsUpdater up = open_updater(f.path()).value();
    const std::uint64_t start[1] = {0}, shape[1] = {2};
    const double values[2] = {0.0, 65535.0};
    ASSERT_TRUE(write_section_physical(up, 2, start, shape, values));
    const Bytes after = read_back(f.path());
    const std::size_t data = after.size() - 2880;
    EXPECT_EQ(after[data], 0x80);
    EXPECT_EQ(after[data + 1], 0x00);
    EXPECT_EQ(after[data + 2], 0x7F);
    EXPECT_EQ(after[data + 3], 0xFF);
    const double too_big[2] = {65536.0, 0.0};
    const Result<void> r = write_section_physical(up, 2, start, shape, too_big);
    ASSERT_FALSE(r);
    EXPECT_NE(r.error().message().find("physical value 65536 scales to 32768, outside the "
                                       "range of i16"),
              std::string::npos);
}

TEST(FitsUpdater, RebindMovesTheGenerationOnAndSaturates) {
    TempFile f(sample());
    FitsUpdater up = open_updater(f.path()).value();
    up.rebind(open_updater(f.path()).value());
    EXPECT_EQ(up.generation, 1u);
    up.generation = ~std::uint64_t{0};
    up.bump_generation();
    EXPECT_EQ(up.generation, ~std::uint64_t{0});
}

TEST(FitsUpdater, AFileReplacedOrOfAnotherLengthIsRefused) {
    constexpr const char* kReplaced =
        "was replaced by another writer since it was opened; "
        "this edit was not saved";
    constexpr const char* kChanged = "was changed by another writer since it was opened";
    struct Case {
        const char* name;
        void (*change)(const std::string& path);
        const char* refusal;  // null: accepted
    };
    const std::vector<Case> cases = {
        {"unchanged", [](const std::string&) {}, nullptr},
        // Bytes another writer appended are not in the file object's list of HDUs: a rewrite
        // from that list would drop them.
        {"grown",
         [](const std::string& p) { std::ofstream(p, std::ios::app | std::ios::binary) << 'x'; },
         kChanged},
        {"cut short", [](const std::string& p) { std::filesystem::resize_file(p, 2880); },
         kChanged},
        {"cut by one byte",
         [](const std::string& p) {
             std::filesystem::resize_file(p, std::filesystem::file_size(p) - 1);
         },
         kChanged},
        {"replaced",
         [](const std::string& p) {
             const std::string other = p + ".other";
             const Bytes same = sample();
             std::ofstream(other, std::ios::binary)
                 .write(reinterpret_cast<const char*>(same.data()),
                        static_cast<std::streamsize>(same.size()));
             std::filesystem::rename(other, p);
         },
         kReplaced},
        {"removed", [](const std::string& p) { std::filesystem::remove(p); }, kReplaced},
    };
    for (const Case& c : cases) {
        TempFile f(sample());
        FitsUpdater up = open_updater(f.path()).value();
        c.change(f.path());
        const Result<void> r = up.check_not_replaced();
        EXPECT_EQ(!r, c.refusal != nullptr) << c.name;
        if (!r) {
            EXPECT_NE(r.error().message().find(c.refusal), std::string::npos)
                << c.name << ": " << r.error().message();
            EXPECT_NE(r.error().message().find("this edit was not saved to it"), std::string::npos)
                << c.name;
            // A save refuses it before it writes or syncs anything.
            EXPECT_FALSE(sync_patches(up)) << c.name;
        }
    }
}

TEST(FitsUpdater, ARebindMovesTheLengthItLastSaw) {
    TempFile f(sample());
    FitsUpdater up = open_updater(f.path()).value();
    std::ofstream(f.path(), std::ios::app | std::ios::binary) << std::string(2880, '\0');
    EXPECT_FALSE(up.check_not_replaced());
    up.rebind(open_updater(f.path()).value());
    EXPECT_TRUE(up.check_not_replaced());
}

TEST(FitsUpdater, KnowsWhichFileItHasOpen) {
    TempFile f(sample());
    FitsUpdater up = open_updater(f.path()).value();
    EXPECT_EQ(std::optional(up.identity), path_identity(f.path()).value());
    TempFile g(sample());
    up.rebind(open_updater(g.path()).value());
    EXPECT_EQ(std::optional(up.identity), path_identity(g.path()).value());
}

TEST(FitsUpdater, GzipFilesAreRefusedAndLeftAlone) {
    TempFile f(gzip(sample()));
    const Bytes before = read_back(f.path());
    EXPECT_FALSE(open_updater(f.path()));
    EXPECT_FALSE(FitsAppender::open(f.path()));
    EXPECT_EQ(read_back(f.path()), before);
}

TEST(FitsAppender, StartsBehindTheLastHduAndCutsTrailingBytes) {
    Bytes content = hdu(primary_cards(8, {}));
    append(content, Bytes(5760, 0));  // two zero blocks after the last HDU
    TempFile f(content);
    FitsAppender app = FitsAppender::open(f.path()).value();
    EXPECT_EQ(app.end_offset, 2880u);
    const Bytes block = hdu(image_ext_cards(8, {}));
    {
        BufWriter out = app.start(block.size()).value();
        ASSERT_TRUE(out.write(block));
        ASSERT_TRUE(out.flush());
        EXPECT_EQ(app.finish(app.hdus_before + 1, out.held()).value(), 2u);
    }
    EXPECT_EQ(read_back(f.path()).size(), 5760u);

    FitsAppender nothing = FitsAppender::open(f.path()).value();
    EXPECT_EQ(nothing.finish(nothing.hdus_before, {}).value(), 2u);
    EXPECT_EQ(read_back(f.path()).size(), 5760u);
}

// The first new HDU starts on the block boundary behind the last one's data, and a failed
// append puts back every byte it overwrote, whatever the data length's remainder.
TEST(FitsAppender, AppendsAndRestoresAtThePaddedEnd) {
    for (const std::uint64_t n : {1, 2879, 2880, 2881}) {
        Bytes content = hdu(primary_cards(8, {n}), ramp(static_cast<std::size_t>(n)));
        append(content, Bytes(2880, 0));  // a zero block the append overwrites
        const Bytes ext = hdu(image_ext_cards(8, {3}), Bytes{7, 8, 9});
        for (const bool fails : {false, true}) {
            TempFile f(content);
            FitsAppender app = FitsAppender::open(f.path()).value();
            EXPECT_EQ(app.end_offset, 2880 + padded_len(n)) << n;
            const Bytes written = fails ? Bytes(9000, 0xEE) : ext;
            BufWriter out = app.start(padded_len(written.size())).value();
            ASSERT_TRUE(out.write(written));
            ASSERT_TRUE(out.flush());
            if (fails) {
                ASSERT_TRUE(app.restore()) << n;
                EXPECT_TRUE(read_back(f.path()) == content) << n;
                continue;
            }
            EXPECT_EQ(app.finish(app.hdus_before + 1, out.held()).value(), 2u);
            const FitsFile back = FitsFile::open(f.path(), false).value();
            ASSERT_EQ(back.len(), 2u) << n;
            EXPECT_TRUE(back.read_data(0).value() == ramp(static_cast<std::size_t>(n))) << n;
            EXPECT_EQ(back.read_data(1).value(), (Bytes{7, 8, 9})) << n;
            Bytes expected(content.begin(), content.begin() + 2880 + padded_len(n));
            append(expected, ext);
            EXPECT_TRUE(read_back(f.path()) == expected) << n;
        }
    }
}

// Until finishing, what the writer wrote lies behind a block the scan stops at: the file still
// opens with only its old HDUs, whatever the old file had behind its last HDU. That block
// stands in as a header (no XTENSION) whose data section covers every new byte behind it, on
// disk in full before anything is written there.
TEST(FitsAppender, NewHduStaysUnreachableUntilFinished) {
    const Bytes old = hdu(primary_cards(8, {3}), Bytes{1, 2, 3});
    Bytes ext = hdu(image_ext_cards(16, {3000}), Bytes(6000, 0x41));
    const Bytes xtension_start = {'X', 'T', 'E', 'N', 'S', 'I', 'O', 'N', '=', ' ', '\'', 'I'};
    for (const Bytes& trailing : {Bytes{}, Bytes(5760, 0), Bytes(12 * 2880, 0), xtension_start}) {
        Bytes content = old;
        append(content, trailing);
        TempFile f(content);
        FitsAppender app = FitsAppender::open(f.path()).value();
        BufWriter out = app.start(ext.size()).value();
        const Bytes laid_out = read_back(f.path());
        ASSERT_EQ(laid_out.size(), old.size() + ext.size()) << trailing.size();
        EXPECT_TRUE(std::equal(old.begin(), old.end(), laid_out.begin())) << trailing.size();
        const auto [stand_in, stand_in_len] = Header::parse(laid_out, old.size(), false).value();
        EXPECT_EQ(stand_in_len, 2880u);
        EXPECT_NE(stand_in.view_at(0).keyword(), "XTENSION");
        EXPECT_EQ(stand_in.bitpix().value(), 8);
        EXPECT_EQ(stand_in.axes().value(), std::vector<std::uint64_t>{ext.size() - 2880});
        EXPECT_TRUE(std::all_of(laid_out.begin() + old.size() + 2880, laid_out.end(),
                                [](std::uint8_t b) { return b == 0; }))
            << trailing.size();

        ASSERT_TRUE(out.write(ext));
        ASSERT_TRUE(out.flush());
        EXPECT_TRUE(out.held().size() == 2880 &&
                    std::equal(out.held().begin(), out.held().end(), ext.begin()));
        const FitsFile before = FitsFile::open(f.path(), false).value();
        EXPECT_EQ(before.len(), 1u) << trailing.size();
        ASSERT_EQ(app.finish(app.hdus_before + 1, out.held()).value(), 2u);
        Bytes expected = old;
        append(expected, ext);
        EXPECT_TRUE(read_back(f.path()) == expected) << trailing.size();
    }
}

// Whatever followed the last HDU (a short tail that begins like an extension header, trailing
// zero blocks) is back as it was when nothing was appended, whether or not the file was laid
// out for new bytes, or when the append failed part way.
TEST(FitsAppender, TailIsPutBackWhenNothingIsAppended) {
    enum class Run { Untouched, StartedOnly, Failed };
    const std::string text = "XTENSION= 'IMAGE   '";
    const Bytes short_tail(text.begin(), text.end());
    for (const Bytes& trailing : {short_tail, Bytes(5760, 0), Bytes{}}) {
        Bytes content = hdu(primary_cards(8, {}));
        append(content, trailing);
        for (const Run run : {Run::Untouched, Run::StartedOnly, Run::Failed}) {
            TempFile f(content);
            FitsAppender app = FitsAppender::open(f.path()).value();
            if (run == Run::Untouched) {
                EXPECT_EQ(app.finish(app.hdus_before, {}).value(), 1u);
            } else {
                BufWriter out = app.start(3 * 2880).value();
                if (run == Run::StartedOnly) {
                    EXPECT_EQ(app.finish(app.hdus_before, {}).value(), 1u);
                } else {
                    ASSERT_TRUE(out.write(Bytes(4000, 0xEE)));
                    ASSERT_TRUE(out.flush());
                    ASSERT_TRUE(app.restore());
                }
            }
            EXPECT_TRUE(read_back(f.path()) == content)
                << trailing.size() << " " << static_cast<int>(run);
        }
    }
}

}  // namespace
}  // namespace vexlo
