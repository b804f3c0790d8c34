#include "io/file.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <memory>
#include <thread>

#include "data/size.hpp"
#include "fits_fixture.hpp"
#include "io/posix.hpp"

namespace vexlo {
namespace {

using namespace fits_test;

Result<FitsFile> open_bytes(const Bytes& content, bool lenient = true) {
    TempFile f(content);
    return FitsFile::open(f.path(), lenient);
}

std::string error_of(const Result<FitsFile>& r) {
    return r ? std::string("<opened>") : r.error().message();
}

// A primary image of 100 bytes (8-bit, 10 x 10) followed by an IMAGE extension named SCI.
Bytes two_hdu_file() {
    Bytes out = hdu(primary_cards(8, {10, 10}), ramp(100));
    std::vector<std::string> ext = image_ext_cards(16, {3, 2});
    ext.push_back(kv("EXTNAME", "'SCI     '"));
    append(out, hdu(ext, ramp(12)));
    return out;
}

TEST(FileTest, PaddedLength) {
    EXPECT_EQ(padded_len(0), 0u);
    EXPECT_EQ(padded_len(1), 2880u);
    EXPECT_EQ(padded_len(2880), 2880u);
    EXPECT_EQ(padded_len(2881), 5760u);
    EXPECT_EQ(padded_len(std::numeric_limits<std::uint64_t>::max() - 5),
              std::numeric_limits<std::uint64_t>::max());
}

TEST(FileTest, OpensAPlainFileAndRecordsSpans) {
    const Bytes content = two_hdu_file();
    TempFile f(content);
    const Result<FitsFile> r = FitsFile::open(f.path(), true);
    ASSERT_TRUE(r) << r.error().message();
    const FitsFile& file = *r;
    ASSERT_EQ(file.len(), 2u);
    EXPECT_FALSE(file.source->contents());
    EXPECT_EQ(file.spans[0].data_offset, 2880u);
    EXPECT_EQ(file.spans[0].data_len, 100u);
    EXPECT_EQ(file.spans[1].data_offset, 3u * 2880);
    EXPECT_EQ(file.spans[1].data_len, 12u);
    EXPECT_EQ(file.headers[0], Bytes(content.begin(), content.begin() + 2880));
    EXPECT_EQ(file.headers[1].size(), 2880u);
    EXPECT_EQ(file.data_cache.size(), 2u);
    ASSERT_EQ(file.extnames.size(), 1u);
    EXPECT_EQ(file.extnames.at("SCI"), (std::vector<std::size_t>{1}));
}

TEST(FileTest, MissingFileIsAnIoError) {
    const Result<FitsFile> r = FitsFile::open("/nonexistent/dir/x.fits", true);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), "i/o error: No such file or directory (os error 2)");
}

TEST(FileTest, OpeningFailures) {
    Bytes no_end = header_blocks(primary_cards(8, {}));
    no_end.resize(2880);
    std::fill(no_end.begin() + 3 * 80, no_end.end(), ' ');  // END card blanked out

    Bytes short_data = header_blocks(primary_cards(8, {100}));
    append(short_data, ramp(100));  // the padding of the last data section is missing

    Bytes simple_int = hdu({kv("SIMPLE", 1), kv("BITPIX", 8), kv("NAXIS", 0)});
    Bytes no_simple = hdu({kv("BITPIX", 8), kv("NAXIS", 0)});
    Bytes bad_xtension = hdu(primary_cards(8, {}));
    append(bad_xtension, hdu({kv("XTENSION", 5), kv("BITPIX", 8), kv("NAXIS", 0)}));
    Bytes neg_pcount = hdu(primary_cards(8, {}));
    append(neg_pcount, hdu({kv("XTENSION", "'BINTABLE'"), kv("BITPIX", 8), kv("NAXIS", 2),
                            kv("NAXIS1", 1), kv("NAXIS2", 1), kv("PCOUNT", -3), kv("GCOUNT", 1)}));
    Bytes bad_bitpix = hdu({kv("SIMPLE", "T"), kv("BITPIX", 12), kv("NAXIS", 0)});
    Bytes xt_truncated = hdu(primary_cards(8, {}));
    append(xt_truncated, header_blocks({kv("XTENSION", "'IMAGE   '")}));
    xt_truncated.resize(xt_truncated.size() - 2880 + 100);  // a partial extension header

    struct Case {
        const char* name;
        Bytes content;
        std::string want;
    };
    const std::vector<Case> cases = {
        {"empty file", {}, "header: file contains no HDU"},
        {"only zeros", Bytes(5000, 0), "header: file contains no HDU"},
        {"one byte", bytes_of({'S'}), "block at byte 0: header truncated before END card"},
        {"no END", no_end, "block at byte 2880: header truncated before END card"},
        {"short data", short_data,
         "block at byte 2880: HDU data section requires 2880 bytes but only 100 remain"},
        {"SIMPLE not logical", simple_int, "value for keyword `SIMPLE`: SIMPLE must be Logical"},
        {"no SIMPLE", no_simple, "missing mandatory keyword `SIMPLE`"},
        {"XTENSION not a string", bad_xtension, "missing mandatory keyword `XTENSION`"},
        {"negative PCOUNT", neg_pcount,
         "value for keyword `PCOUNT`: PCOUNT must be non-negative, got -3"},
        {"bad BITPIX", bad_bitpix, "value for keyword `BITPIX`: illegal BITPIX value 12"},
        {"extension header cut short", xt_truncated,
         "block at byte 2880: header truncated before END card"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(error_of(open_bytes(c.content)), c.want) << c.name;
    }
}

// A header whose last block is cut short is truncated even when the part that is there holds
// END: the scan reads at most the bytes the file has, never its read buffer's unused tail.
TEST(FileTest, AHeaderBlockCutShortIsTruncatedEvenWithItsEnd) {
    const Bytes primary = header_blocks(primary_cards(8, {}));
    const Bytes extension = header_blocks(image_ext_cards(8, {}));
    for (const std::size_t kept : {std::size_t{1440}, std::size_t{2000}, std::size_t{2879}}) {
        Bytes cut_primary = primary;
        cut_primary.resize(kept);
        EXPECT_EQ(error_of(open_bytes(cut_primary)),
                  "block at byte 0: header truncated before END card")
            << kept;
        Bytes cut_extension = hdu(primary_cards(8, {}));
        append(cut_extension, extension);
        cut_extension.resize(2880 + kept);
        EXPECT_EQ(error_of(open_bytes(cut_extension)),
                  "block at byte 2880: header truncated before END card")
            << kept;
    }
}

TEST(FileTest, GzipOpeningAndItsFailures) {
    // The same short-data file opens when compressed: the buffer is padded at opening.
    Bytes short_data = header_blocks(primary_cards(8, {100}));
    append(short_data, ramp(100));
    const Result<FitsFile> r = open_bytes(gzip(short_data));
    ASSERT_TRUE(r) << r.error().message();
    EXPECT_TRUE(r->source->contents());
    EXPECT_EQ(r->source->size(), 5760u);
    const Result<ByteSpan> data = r->data_bytes(0);
    ASSERT_TRUE(data);
    EXPECT_EQ(Bytes(data->begin(), data->end()), ramp(100));

    // Several members (concatenated .gz files, bgzip output) are read one after the other,
    // also when a cut falls inside a header block; zero padding after the last is ignored.
    const Bytes whole = two_hdu_file();
    Bytes members = gzip(Bytes(whole.begin(), whole.begin() + 1000));
    append(members, gzip(Bytes(whole.begin() + 1000, whole.begin() + 4000)));
    append(members, gzip(Bytes(whole.begin() + 4000, whole.end())));
    append(members, Bytes(512, 0));
    const Result<FitsFile> all = open_bytes(members);
    ASSERT_TRUE(all) << all.error().message();
    const Result<FitsFile> plain = open_bytes(whole);
    ASSERT_TRUE(plain);
    EXPECT_EQ(all->len(), plain->len());
    EXPECT_EQ(all->len(), 2u);
    EXPECT_EQ(all->headers, plain->headers);
    EXPECT_EQ(all->data_bytes(1).value()[0], plain->data_bytes(1).value()[0]);

    // A later member that is damaged fails the opening.
    Bytes bad_second = gzip(Bytes(whole.begin(), whole.begin() + 2880));
    Bytes second = gzip(Bytes(whole.begin() + 2880, whole.end()));
    second[second.size() - 6] ^= 0xFF;
    append(bad_second, second);
    EXPECT_EQ(open_bytes(bad_second).error().kind, Error::Kind::Io);

    EXPECT_EQ(error_of(open_bytes(gzip({}))), "block at byte 0: empty file");

    // A stream cut short, and one with a corrupted body, are I/O errors.
    Bytes cut = gzip(two_hdu_file());
    cut.resize(cut.size() / 2);
    const Result<FitsFile> truncated = open_bytes(cut);
    ASSERT_FALSE(truncated);
    EXPECT_EQ(truncated.error().kind, Error::Kind::Io);

    Bytes corrupt = gzip(two_hdu_file());
    for (std::size_t i = 10; i < corrupt.size() - 8; ++i)
        corrupt[i] ^= 0x5A;
    const Result<FitsFile> bad = open_bytes(corrupt);
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error().kind, Error::Kind::Io);

    Bytes bad_crc = gzip(two_hdu_file());
    bad_crc[bad_crc.size() - 6] ^= 0xFF;  // inside the CRC-32 of the trailer
    const Result<FitsFile> crc = open_bytes(bad_crc);
    ASSERT_FALSE(crc);
    EXPECT_EQ(crc.error().kind, Error::Kind::Io);

    // Just the two magic bytes.
    EXPECT_FALSE(open_bytes(bytes_of({0x1F, 0x8B})));
    // One byte is a plain file.
    EXPECT_EQ(error_of(open_bytes(bytes_of({0x1F}))),
              "block at byte 0: header truncated before END card");
}

TEST(FileTest, OnlyGzipStreamsAreDecoded) {
    // A zlib-wrapped stream is not gzip: it is left alone and read as a plain file.
    const Bytes content = two_hdu_file();
    Bytes zlib_stream(compressBound(static_cast<uLong>(content.size())));
    uLongf zlib_len = static_cast<uLongf>(zlib_stream.size());
    ASSERT_EQ(
        compress(zlib_stream.data(), &zlib_len, content.data(), static_cast<uLong>(content.size())),
        Z_OK);
    zlib_stream.resize(zlib_len);
    const Result<Bytes> untouched = gunzip_if_gzip(zlib_stream);
    ASSERT_TRUE(untouched);
    EXPECT_EQ(*untouched, zlib_stream);
    EXPECT_EQ(error_of(open_bytes(zlib_stream)),
              "block at byte 0: header truncated before END card");

    // The gzip magic in front of a zlib stream does not make it decodable.
    Bytes fake = bytes_of({0x1F, 0x8B});
    append(fake, zlib_stream);
    const Result<FitsFile> faked = open_bytes(fake);
    ASSERT_FALSE(faked);
    EXPECT_EQ(faked.error().kind, Error::Kind::Io);

    // The trailer's length is checked as well as its CRC; a cut stream names its fault.
    Bytes bad_len = gzip(content);
    bad_len[bad_len.size() - 1] ^= 0x01;
    const Result<FitsFile> wrong_len = open_bytes(bad_len);
    ASSERT_FALSE(wrong_len);
    EXPECT_EQ(wrong_len.error().kind, Error::Kind::Io);
    Bytes cut = gzip(content);
    cut.resize(cut.size() - 8);  // no trailer
    EXPECT_EQ(error_of(open_bytes(cut)), "i/o error: gzip: unexpected end of compressed stream");
}

TEST(FileTest, GzipHelpers) {
    const Bytes plain = bytes_of({'a', 'b', 'c'});
    const Result<Bytes> same = gunzip_if_gzip(plain);
    ASSERT_TRUE(same);
    EXPECT_EQ(*same, plain);
    const Result<Bytes> unzipped = gunzip_if_gzip(gzip(ramp(70000)));
    ASSERT_TRUE(unzipped);
    EXPECT_EQ(*unzipped, ramp(70000));
    const Result<Bytes> padded_out = gunzip_and_pad(gzip(ramp(3000)));
    ASSERT_TRUE(padded_out);
    ASSERT_EQ(padded_out->size(), 5760u);
    EXPECT_EQ(Bytes(padded_out->begin(), padded_out->begin() + 3000), ramp(3000));
    EXPECT_TRUE(std::all_of(padded_out->begin() + 3000, padded_out->end(),
                            [](std::uint8_t b) { return b == 0; }));
}

TEST(FileTest, TrailingBytesAfterTheLastHdu) {
    const Bytes base = two_hdu_file();
    auto with = [&](const Bytes& tail) {
        Bytes out = base;
        append(out, tail);
        return out;
    };
    Bytes blanks(2880, ' ');
    Bytes junk79(79, 'x');
    std::copy_n("XTENSION", 8, junk79.begin());
    struct Case {
        const char* name;
        Bytes content;
        std::string gzip_error;  // "" when the compressed file opens too
    };
    // A compressed file is padded with zeros to whole blocks before the scan, so a short
    // tail that starts with XTENSION is a truncated header there.
    const std::vector<Case> cases = {
        {"zeros, partial block", with(Bytes(1000, 0)), ""},
        {"zeros, two blocks", with(Bytes(5760, 0)), ""},
        {"79 bytes starting XTENSION", with(junk79), "header: no END card found in header"},
        {"one byte", with(bytes_of({'Q'})), ""},
        {"a block of blanks", with(blanks), ""},
    };
    for (const Case& c : cases) {
        const Result<FitsFile> r = open_bytes(c.content);
        ASSERT_TRUE(r) << c.name << ": " << r.error().message();
        EXPECT_EQ(r->len(), 2u) << c.name;
        const Result<FitsFile> gz = open_bytes(gzip(c.content));
        if (c.gzip_error.empty()) {
            ASSERT_TRUE(gz) << c.name << ": " << gz.error().message();
            EXPECT_EQ(gz->len(), 2u) << c.name;
        } else {
            EXPECT_EQ(error_of(gz), c.gzip_error) << c.name;
        }
    }
    Bytes xt = header_blocks({kv("XTENSION", "'IMAGE   '")});
    xt.resize(200);
    EXPECT_EQ(error_of(open_bytes(with(xt))), "block at byte " + std::to_string(base.size()) +
                                                  ": header truncated before END card");
}

TEST(FileTest, ZeroBlockBetweenHdusEndsTheScan) {
    Bytes content = hdu(primary_cards(8, {}));
    append(content, Bytes(2880, 0));
    append(content, hdu(image_ext_cards(8, {4}), ramp(4)));
    const Result<FitsFile> r = open_bytes(content);
    ASSERT_TRUE(r) << r.error().message();
    EXPECT_EQ(r->len(), 1u);
}

TEST(FileTest, SimpleFalseAndStrictMode) {
    const Bytes content = hdu({kv("SIMPLE", "F"), kv("BITPIX", 8), kv("NAXIS", 0)});
    EXPECT_TRUE(open_bytes(content, true));
    EXPECT_EQ(error_of(open_bytes(content, false)),
              "non-standard construct: SIMPLE = F (file does not conform to FITS); lenient "
              "parsing (the default) reads it anyway -- drop `.lenient(false)`");
    EXPECT_TRUE(open_bytes(gzip(content), true));
}

TEST(FileTest, AnyExtensionTypeIsScanned) {
    Bytes content = hdu(primary_cards(8, {}));
    append(content, hdu({kv("XTENSION", "'FOO     '"), kv("BITPIX", 8), kv("NAXIS", 1),
                         kv("NAXIS1", 5), kv("PCOUNT", 0), kv("GCOUNT", 1)},
                        ramp(5)));
    const Result<FitsFile> r = open_bytes(content);
    ASSERT_TRUE(r) << r.error().message();
    EXPECT_EQ(r->len(), 2u);
    EXPECT_EQ(r->spans[1].data_len, 5u);
}

TEST(FileTest, CardErrorOffsetsCountFromTheHduOrTheBuffer) {
    Bytes content = hdu(primary_cards(8, {}));
    append(content, hdu(image_ext_cards(8, {})));
    const std::size_t third = content.size();
    std::vector<std::string> bad = image_ext_cards(8, {});
    bad[1] = card("bitpix  =                    8");  // lower case: refused in strict mode
    append(content, hdu(bad));

    const Result<FitsFile> plain = open_bytes(content, false);
    ASSERT_FALSE(plain);
    ASSERT_EQ(plain.error().kind, Error::Kind::Card) << plain.error().message();
    EXPECT_GE(plain.error().offset, 80u);
    EXPECT_LT(plain.error().offset, 160u);

    const Result<FitsFile> gz = open_bytes(gzip(content), false);
    ASSERT_FALSE(gz);
    ASSERT_EQ(gz.error().kind, Error::Kind::Card);
    EXPECT_EQ(gz.error().offset, plain.error().offset + third);
    EXPECT_EQ(gz.error().msg, plain.error().msg);

    EXPECT_TRUE(open_bytes(content, true));  // lenient mode repairs the keyword
}

TEST(FileTest, ExtnameIndex) {
    Bytes content = hdu(primary_cards(8, {}));
    const char* names[] = {"'SCI     '", "' SCI'", "'SCI'", "5"};
    for (const char* n : names) {
        std::vector<std::string> c = image_ext_cards(8, {});
        c.push_back(kv("EXTNAME", n));
        append(content, hdu(c));
    }
    const Result<FitsFile> r = open_bytes(content);
    ASSERT_TRUE(r) << r.error().message();
    EXPECT_EQ(r->len(), 5u);
    ASSERT_EQ(r->extnames.size(), 2u);
    EXPECT_EQ(r->extnames.at("SCI"), (std::vector<std::size_t>{1, 3}));
    EXPECT_EQ(r->extnames.at(" SCI"), (std::vector<std::size_t>{2}));
}

TEST(FileTest, HeadersAreKeptOnceInStorageOfTheirSize) {
    // Small headers, one of several blocks with a long string over CONTINUE, and names the
    // scan indexes from its own parse: the record holds each header's blocks exactly, with
    // no slack, the index a fresh parse of those blocks gives, and header() parses them.
    Bytes content = hdu(primary_cards(8, {4}), ramp(4));
    std::vector<std::string> big = image_ext_cards(16, {2});
    for (int i = 0; i < 40; ++i)
        big.push_back(kv("K" + std::to_string(i), std::to_string(i)));
    big.push_back(kv("EXTNAME", "'LONG&'"));
    big.push_back("CONTINUE  'NAME  '");
    append(content, hdu(big, ramp(4)));
    std::vector<std::string> small = image_ext_cards(8, {});
    small.push_back(kv("EXTNAME", "'SCI'"));
    append(content, hdu(small));
    for (const bool gz : {false, true}) {
        const Result<FitsFile> r = open_bytes(gz ? gzip(content) : content);
        ASSERT_TRUE(r) << r.error().message();
        ASSERT_EQ(r->len(), 3u);
        std::uint64_t at = 0;
        for (std::size_t i = 0; i < r->len(); ++i) {
            const Bytes& stored = r->headers[i];
            EXPECT_EQ(stored, Bytes(content.begin() + static_cast<std::ptrdiff_t>(at),
                                    content.begin() + static_cast<std::ptrdiff_t>(at) +
                                        static_cast<std::ptrdiff_t>(stored.size())))
                << i;
            EXPECT_EQ(stored.capacity(), stored.size()) << i << " gzip=" << gz;
            const Result<Header> h = r->header(i);
            ASSERT_TRUE(h);
            const auto fresh = Header::parse(stored, 0, true);
            ASSERT_TRUE(fresh);
            EXPECT_EQ(h->bytes(), fresh->first.bytes());
            at = r->spans[i].data_offset + padded_len(r->spans[i].data_len);
        }
        EXPECT_EQ(r->headers[1].size(), 2u * kBlockLen);
        const ExtnameIndex want = {{"LONGNAME", {1}}, {"SCI", {2}}};
        EXPECT_EQ(r->extnames, want);
        const Result<FitsFile> rebuilt = FitsFile::from_scan(
            std::make_unique<const MemorySource>(Bytes(content)), r->spans, r->headers, true);
        ASSERT_TRUE(rebuilt);
        EXPECT_EQ(rebuilt->extnames, want);
    }
}

TEST(FileTest, ExtnameOfAHeaderThatFailsToParseIsSkipped) {
    Bytes content = hdu(primary_cards(8, {}));
    std::vector<std::string> c = image_ext_cards(8, {});
    c.push_back(kv("EXTNAME", "'SCI'"));
    append(content, hdu(c));
    Result<FitsFile> r = open_bytes(content);
    ASSERT_TRUE(r);
    // Rebuild the record with a header that no longer holds an END card.
    std::vector<Bytes> headers = r->headers;
    std::fill(headers[1].begin(), headers[1].end(), ' ');
    TempFile tf(content);
    Result<Fd> fd = open_read(tf.path());
    ASSERT_TRUE(fd);
    const Result<FitsFile> rebuilt =
        FitsFile::from_scan(std::make_unique<const FileSource>(std::move(*fd), content.size()),
                            r->spans, std::move(headers), true);
    ASSERT_TRUE(rebuilt);
    EXPECT_TRUE(rebuilt->extnames.empty());

    const Result<FitsFile> none =
        FitsFile::from_scan(std::make_unique<const MemorySource>(Bytes{}), {}, {}, true);
    ASSERT_FALSE(none);
    EXPECT_EQ(none.error().message(), "header: file contains no HDU");
}

TEST(FileTest, FromScanRefusesInconsistentRecords) {
    const Bytes content = hdu(primary_cards(8, {4}), ramp(4));
    const Bytes header(content.begin(), content.begin() + 2880);
    EXPECT_EQ(FitsFile::from_scan(std::make_unique<const MemorySource>(Bytes(content)), {{2880, 4}},
                                  {}, true)
                  .error()
                  .message(),
              "header: scan produced 1 data spans but 0 headers");
    const Bytes cut(content.begin(), content.begin() + 2880 + 100);
    EXPECT_EQ(FitsFile::from_scan(std::make_unique<const MemorySource>(Bytes(cut)), {{2880, 4}},
                                  {header}, true)
                  .error()
                  .message(),
              "block at byte 2880: HDU data section requires 2880 bytes but only 100 remain");
    EXPECT_TRUE(FitsFile::from_scan(std::make_unique<const MemorySource>(Bytes(content)),
                                    {{2880, 4}}, {header}, true));
}

TEST(FileTest, DataSectionSize) {
    struct Case {
        const char* name;
        std::vector<std::string> cards;
        std::string want;  // the size, or the error text
    };
    const std::vector<Case> cases = {
        {"no axes", {kv("BITPIX", 16), kv("NAXIS", 0), kv("PCOUNT", -1)}, "0"},
        // A zero axis empties the product only; the heap and the group count still count.
        {"zero axis",
         {kv("BITPIX", 8), kv("NAXIS", 2), kv("NAXIS1", 10), kv("NAXIS2", 0), kv("PCOUNT", 100)},
         "100"},
        {"zero axis, later axes not read",
         {kv("BITPIX", 16), kv("NAXIS", 3), kv("NAXIS1", 0), kv("PCOUNT", 3), kv("GCOUNT", 2)},
         "12"},
        {"zero axis, no heap",
         {kv("BITPIX", 8), kv("NAXIS", 2), kv("NAXIS1", 0), kv("NAXIS2", 5)},
         "0"},
        {"zero axis, negative PCOUNT",
         {kv("BITPIX", 8), kv("NAXIS", 2), kv("NAXIS1", 10), kv("NAXIS2", 0), kv("PCOUNT", -1)},
         "value for keyword `PCOUNT`: PCOUNT must be non-negative, got -1"},
        {"GCOUNT 0", {kv("BITPIX", 8), kv("NAXIS", 1), kv("NAXIS1", 10), kv("GCOUNT", 0)}, "0"},
        {"table with heap",
         {kv("BITPIX", 8), kv("NAXIS", 2), kv("NAXIS1", 10), kv("NAXIS2", 3), kv("PCOUNT", 7),
          kv("GCOUNT", 1)},
         "37"},
        {"real PCOUNT",
         {kv("BITPIX", 8), kv("NAXIS", 1), kv("NAXIS1", 10), kv("PCOUNT", "2.0")},
         "12"},
        {"groups, zero axis",
         {kv("BITPIX", 16), kv("NAXIS", 3), kv("NAXIS1", 0), kv("NAXIS2", 5), kv("NAXIS3", 0),
          kv("GROUPS", "T"), kv("PCOUNT", 2), kv("GCOUNT", 4)},
         "16"},
        {"groups",
         {kv("BITPIX", -32), kv("NAXIS", 3), kv("NAXIS1", 0), kv("NAXIS2", 3), kv("NAXIS3", 1),
          kv("GROUPS", "T"), kv("PCOUNT", 2), kv("GCOUNT", 4)},
         "80"},
        {"negative GCOUNT",
         {kv("BITPIX", 8), kv("NAXIS", 1), kv("NAXIS1", 10), kv("GCOUNT", -2)},
         "value for keyword `GCOUNT`: GCOUNT must be non-negative, got -2"},
        {"negative PCOUNT",
         {kv("BITPIX", 8), kv("NAXIS", 1), kv("NAXIS1", 10), kv("PCOUNT", -2)},
         "value for keyword `PCOUNT`: PCOUNT must be non-negative, got -2"},
        {"axis product overflow",
         {kv("BITPIX", 8), kv("NAXIS", 2), kv("NAXIS1", 4294967296), kv("NAXIS2", 4294967296)},
         "data: axis product overflows u64"},
        {"size overflow",
         {kv("BITPIX", -64), kv("NAXIS", 1), kv("NAXIS1", 2305843009213693952)},
         "data: data size overflows u64"},
        {"PCOUNT overflow",
         {kv("BITPIX", 8), kv("NAXIS", 1), kv("NAXIS1", 2), kv("PCOUNT", 9223372036854775807),
          kv("GCOUNT", 4)},
         "data: data size overflows u64"},
        {"missing NAXIS2",
         {kv("BITPIX", 8), kv("NAXIS", 2), kv("NAXIS1", 2)},
         "missing mandatory keyword `NAXIS2`"},
    };
    for (const Case& c : cases) {
        const Result<std::uint64_t> got = data_section_size(header_of(c.cards));
        const std::string text = got ? std::to_string(*got) : got.error().message();
        EXPECT_EQ(text, c.want) << c.name;
    }
}

TEST(FileTest, AbsurdSizesFailBeforeAnyAllocation) {
    Bytes content = hdu(primary_cards(8, {}));
    append(content,
           hdu({kv("XTENSION", "'BINTABLE'"), kv("BITPIX", 8), kv("NAXIS", 2),
                kv("NAXIS1", 1000000), kv("NAXIS2", 1000000), kv("PCOUNT", 0), kv("GCOUNT", 1)}));
    const std::string want = "block at byte 5760: HDU data section requires " +
                             std::to_string(padded_len(1000000000000)) + " bytes but only 0 remain";
    EXPECT_EQ(error_of(open_bytes(content)), want);
    EXPECT_EQ(error_of(open_bytes(gzip(content))), want);
}

// ---- data access ----

TEST(FileTest, DataBytesAndCopies) {
    std::vector<std::unique_ptr<TempFile>> keep;
    Bytes content = hdu(primary_cards(8, {}));
    append(content, hdu(image_ext_cards(8, {100}), ramp(100), 0x77));
    for (const FitsFile& f : open_both(content, keep)) {
        const Result<ByteSpan> empty = f.data_bytes(0);
        ASSERT_TRUE(empty);
        EXPECT_TRUE(empty->empty());
        const Result<Bytes> empty_copy = f.read_data(0);
        ASSERT_TRUE(empty_copy);
        EXPECT_TRUE(empty_copy->empty());

        const Result<ByteSpan> d = f.data_bytes(1);
        ASSERT_TRUE(d);
        EXPECT_EQ(Bytes(d->begin(), d->end()), ramp(100));
        const Result<Bytes> copy = f.read_data(1);
        ASSERT_TRUE(copy);
        EXPECT_EQ(*copy, ramp(100));

        Bytes dest(100);
        Bytes part(20);
        ASSERT_TRUE(f.read_data_range_into(1, 80, part));
        const Bytes r100 = ramp(100);
        EXPECT_EQ(part, Bytes(r100.begin() + 80, r100.end()));
        EXPECT_TRUE(f.read_data_range_into(1, 100, std::span<std::uint8_t>()));
        const Result<void> escape = f.read_data_range_into(1, 90, part);
        ASSERT_FALSE(escape);
        EXPECT_EQ(escape.error().message(),
                  "data: read_data_range_into: [90, +20) escapes the 100-byte data section");
        const Result<void> wrap =
            f.read_data_range_into(1, std::numeric_limits<std::uint64_t>::max(), part);
        ASSERT_FALSE(wrap);
        EXPECT_EQ(wrap.error().message(),
                  "data: read_data_range_into: [18446744073709551615, +20) escapes the 100-byte "
                  "data section");

        for (const std::size_t bad_index : {2, 7}) {
            const std::string want =
                "header: HDU index " + std::to_string(bad_index) + " out of range (len = 2)";
            EXPECT_EQ(f.read_data(bad_index).error().message(), want);
            EXPECT_EQ(f.read_data_range_into(bad_index, 0, dest).error().message(), want);
            EXPECT_EQ(f.data_bytes(bad_index).error().message(), want);
        }

        // The stored HDU, fill bytes included.
        const Result<std::optional<Bytes>> raw = f.raw_hdu_bytes(1);
        ASSERT_TRUE(raw);
        ASSERT_TRUE(raw->has_value());
        EXPECT_EQ(**raw, Bytes(content.begin() + 2880, content.end()));
        const Result<std::optional<Bytes>> raw0 = f.raw_hdu_bytes(0);
        ASSERT_TRUE(raw0 && raw0->has_value());
        EXPECT_EQ(**raw0, Bytes(content.begin(), content.begin() + 2880));
        const Result<std::optional<Bytes>> past = f.raw_hdu_bytes(2);
        ASSERT_TRUE(past);
        EXPECT_FALSE(past->has_value());
    }
}

// Copies of stored HDUs end exactly on the block boundary behind the data, whether the
// kernel copies from the file or the bytes come from decompressed memory.
TEST(FileTest, RawCopiesEndOnTheBlockBoundary) {
    for (const std::uint64_t n : {0, 1, 2879, 2880, 2881, 5761}) {
        std::vector<std::unique_ptr<TempFile>> keep;
        Bytes content = hdu(primary_cards(8, {}));
        append(content, hdu(image_ext_cards(8, {n}), ramp(static_cast<std::size_t>(n)), 0x77));
        for (const FitsFile& f : open_both(content, keep)) {
            TempFile whole(Bytes{}), data(Bytes{});
            {
                BufWriter out = BufWriter::create(whole.path(), true).value();
                for (std::size_t i = 0; i < 2; ++i) {
                    ASSERT_TRUE(f.copy_raw_hdu(i, out).value()) << n;
                }
                EXPECT_FALSE(f.copy_raw_hdu(2, out).value());
                ASSERT_TRUE(out.flush());
                BufWriter only = BufWriter::create(data.path(), true).value();
                ASSERT_TRUE(f.copy_padded_data(1, only)) << n;
                ASSERT_TRUE(only.flush());
            }
            const Bytes copied = read_back(whole.path());
            EXPECT_EQ(copied.size(), content.size()) << n;
            EXPECT_TRUE(copied == content) << n;
            EXPECT_TRUE(read_back(data.path()) == Bytes(content.begin() + 5760, content.end()))
                << n;
        }
    }
}

TEST(FileTest, CacheIsFilledOnceAndShared) {
    const Bytes content = two_hdu_file();
    TempFile tmp(content);
    Result<FitsFile> r = FitsFile::open(tmp.path(), true);
    ASSERT_TRUE(r);
    const FitsFile& f = *r;
    EXPECT_EQ(f.data_cache.get(1), nullptr);

    std::vector<const std::uint8_t*> seen(8, nullptr);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < seen.size(); ++t) {
        threads.emplace_back([&, t] {
            const Result<ByteSpan> d = f.data_bytes(1);
            if (d) seen[t] = d->data();
        });
    }
    for (std::thread& t : threads)
        t.join();
    ASSERT_NE(f.data_cache.get(1), nullptr);
    EXPECT_EQ(f.data_cache.get(1)->len, 2880u);
    for (const std::uint8_t* p : seen)
        EXPECT_EQ(p, f.data_cache.get(1)->bytes.get());

    // Once cached, the bytes no longer depend on the file; fresh reads still do.
    tmp.truncate(2880 * 3 + 5);
    const Result<ByteSpan> cached = f.data_bytes(1);
    ASSERT_TRUE(cached);
    EXPECT_EQ(Bytes(cached->begin(), cached->end()), ramp(12));
    const std::string eof = "i/o error: pread reached EOF before filling buffer (file truncated?)";
    EXPECT_EQ(f.read_data(1).error().message(), eof);
    // An uncached HDU whose data went missing fails and stays uncached.
    tmp.truncate(2880 + 50);
    EXPECT_EQ(f.data_bytes(0).error().message(), eof);
    EXPECT_EQ(f.data_cache.get(0), nullptr);
    EXPECT_EQ(f.raw_hdu_bytes(0).error().message(), eof);
}

TEST(FileTest, PositionalReads) {
    TempFile tmp(ramp(10));
    Result<Fd> fd = open_read(tmp.path());
    ASSERT_TRUE(fd);
    std::uint8_t buf[4];
    ASSERT_TRUE(pread_exact(fd->get(), 6, buf, 4));
    EXPECT_EQ(Bytes(buf, buf + 4), bytes_of({6, 7, 8, 9}));
    EXPECT_TRUE(pread_exact(fd->get(), 100, buf, 0));
    const Result<void> eof = pread_exact(fd->get(), 7, buf, 4);
    ASSERT_FALSE(eof);
    EXPECT_EQ(eof.error().message(),
              "i/o error: pread reached EOF before filling buffer (file truncated?)");
    const Result<std::uint64_t> size = file_size(fd->get());
    ASSERT_TRUE(size);
    EXPECT_EQ(*size, 10u);
    const Result<Bytes> whole = read_whole_file(fd->get());
    ASSERT_TRUE(whole);
    EXPECT_EQ(*whole, ramp(10));
}

TEST(FileTest, OpensTheInteropGzipTable) {
    // HDU layout from expected.json: a primary HDU and the binary table EVENTS (7 rows).
    const Result<FitsFile> r = FitsFile::open(test_data("bintable.fits.gz"), true);
    ASSERT_TRUE(r) << r.error().message();
    ASSERT_EQ(r->len(), 2u);
    EXPECT_TRUE(r->source->contents());
    EXPECT_EQ(r->extnames.at("EVENTS"), (std::vector<std::size_t>{1}));
    EXPECT_EQ(r->spans[1].data_len, 122u * 7 + 220);
}

}  // namespace
}  // namespace vexlo
