// The sequential HDU writer: header checks, size checks, padding, checksum stamping, raw HDU
// copies and the buffered output, read back from real files.
#include "hdu/writer.hpp"
#include "data/size.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <string_view>
#include <vector>

#include "header/header.hpp"
#include "io/file.hpp"
#include "writer_fixture.hpp"

namespace vexlo {
namespace {

using namespace write_testing;

std::string text(ByteSpan b) {
    return std::string(as_chars(b));
}

// The cards of serialised header blocks up to and including END.
std::vector<std::string> cards_of(ByteSpan header) {
    std::vector<std::string> out;
    for (std::size_t at = 0; at + 80 <= header.size(); at += 80) {
        out.push_back(text(header.subspan(at, 80)));
        if (out.back().starts_with("END     ")) break;
    }
    return out;
}

TEST(WriteHdu, PaddingAndFillBytes) {
    struct Case {
        const char* name;
        std::vector<std::string> second;  // cards of an extension, or none
        std::size_t data_len;
        std::uint8_t fill;
    };
    const std::vector<Case> cases = {
        {"primary without data", {}, 0, 0},
        {"image of 10 bytes", extension_cards("IMAGE", {"10"}), 10, 0x00},
        {"exact block", extension_cards("IMAGE", {"2880"}), 2880, 0x00},
        {"two blocks and a bit", extension_cards("IMAGE", {"5761"}), 5761, 0x00},
        {"ascii table", extension_cards("TABLE", {"7", "3"}), 21, 0x20},
        {"ascii table, trailing blanks", extension_cards("TABLE   ", {"7", "3"}), 21, 0x20},
        {"binary table", extension_cards("BINTABLE", {"7", "3"}), 21, 0x00},
        {"lower-case table", extension_cards("table", {"7", "3"}), 21, 0x00},
    };
    for (const Case& c : cases) {
        FileWriter fw;
        ASSERT_TRUE(fw.w.write_hdu(header_of(primary_cards()), {}).has_value()) << c.name;
        Bytes data(c.data_len);
        for (std::size_t i = 0; i < data.size(); ++i)
            data[i] = static_cast<std::uint8_t>(i * 7 + 1);
        if (!c.second.empty()) {
            const Header h = header_of(c.second);
            EXPECT_EQ(data_fill_byte(h), c.fill) << c.name;
            auto r = fw.w.write_hdu(h, data);
            ASSERT_TRUE(r.has_value()) << c.name << ": " << r.error().message();
            // What an appender lays the file out for before writing.
            EXPECT_EQ(written_len(h, c.data_len), 2880 + (c.data_len + 2879) / 2880 * 2880)
                << c.name;
        }
        EXPECT_EQ(fw.w.hdus_written, c.second.empty() ? 1u : 2u);
        const Bytes file = fw.finish();
        const std::size_t padded = (c.data_len + 2879) / 2880 * 2880;
        const std::size_t expected = c.second.empty() ? 2880 : 2880 * 2 + padded;
        ASSERT_EQ(file.size(), expected) << c.name;
        EXPECT_EQ(cards_of(ByteSpan(file).first(2880)).back(), image("END"));
        if (c.second.empty()) continue;
        const ByteSpan d = ByteSpan(file).subspan(5760);
        EXPECT_TRUE(std::equal(data.begin(), data.end(), d.begin())) << c.name;
        for (std::size_t i = c.data_len; i < padded; ++i) {
            ASSERT_EQ(d[i], c.fill) << c.name << " at " << i;
        }
    }
}

TEST(WriteHdu, HeaderBlocksAreTheSerialisedHeader) {
    FileWriter fw;
    const Header h = header_of(primary_cards({"3", "2"}, 16));
    const Bytes data(12, 0xAB);
    ASSERT_TRUE(fw.w.write_hdu(h, data).has_value());
    const Bytes file = fw.finish();
    ASSERT_EQ(file.size(), 5760u);
    const Bytes hb = h.to_bytes();
    EXPECT_TRUE(std::equal(hb.begin(), hb.end(), file.begin()));
    auto parsed = Header::parse(file, 0, false);
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(parsed->first.bytes(), h.bytes());
    EXPECT_EQ(parsed->second, 2880u);
}

TEST(CheckHeaderForWrite, Messages) {
    struct Case {
        const char* name;
        std::vector<std::string> cards;
        bool primary;
        std::string message;  // empty: accepted
    };
    auto without = [](std::vector<std::string> cards, std::string_view key) {
        std::erase_if(cards,
                      [&](const std::string& c) { return c.starts_with(image(key).substr(0, 8)); });
        return cards;
    };
    auto with = [](std::vector<std::string> cards, std::string_view key, std::string_view value) {
        for (std::string& c : cards) {
            if (c.starts_with(image(key).substr(0, 8))) c = kv(key, value);
        }
        return cards;
    };
    const auto prim = primary_cards({"3", "2"});
    const auto ext = extension_cards("IMAGE", {"3", "2"});
    std::vector<std::string> many_axes = {kv("SIMPLE", "T"), kv("BITPIX", "8"),
                                          kv("NAXIS", "1000")};
    for (int i = 1; i <= 999; ++i)
        many_axes.push_back(kv("NAXIS" + std::to_string(i), "1"));
    const std::vector<Case> cases = {
        {"primary ok", prim, true, ""},
        {"extension ok", ext, false, ""},
        {"primary without SIMPLE", without(prim, "SIMPLE"), true,
         "header: primary HDU header is missing SIMPLE = T"},
        {"binary table first", extension_cards("BINTABLE", {"0", "0"}), true,
         "header: primary HDU header is missing SIMPLE = T"},
        {"SIMPLE not logical", with(prim, "SIMPLE", "1"), true,
         "header: primary HDU header is missing SIMPLE = T"},
        {"SIMPLE = F", with(prim, "SIMPLE", "F"), true,
         "header: primary HDU has SIMPLE = F (non-conforming files cannot be written)"},
        {"primary as extension", prim, false, "header: extension HDU header is missing XTENSION"},
        {"XTENSION not a string", with(ext, "XTENSION", "1"), false,
         "header: extension HDU header is missing XTENSION"},
        {"no PCOUNT", without(ext, "PCOUNT"), false,
         "header: extension HDU header is missing or has non-integer PCOUNT"},
        {"PCOUNT fractional", with(ext, "PCOUNT", "0.5"), false,
         "header: extension HDU header is missing or has non-integer PCOUNT"},
        {"PCOUNT integral real", with(ext, "PCOUNT", "0.0"), false, ""},
        {"no GCOUNT", without(ext, "GCOUNT"), false,
         "header: extension HDU header is missing or has non-integer GCOUNT"},
        {"GCOUNT string", with(ext, "GCOUNT", "'1'"), false,
         "header: extension HDU header is missing or has non-integer GCOUNT"},
        {"no BITPIX", without(prim, "BITPIX"), true,
         "header: HDU header is missing or has non-integer BITPIX"},
        {"BITPIX real", with(prim, "BITPIX", "8.0"), true,
         "header: HDU header is missing or has non-integer BITPIX"},
        {"BITPIX 12", with(ext, "BITPIX", "12"), false,
         "header: BITPIX = 12 is not one of 8, 16, 32, 64, -32, -64"},
        {"BITPIX -16", with(prim, "BITPIX", "-16"), true,
         "header: BITPIX = -16 is not one of 8, 16, 32, 64, -32, -64"},
        {"no NAXIS", without(prim, "NAXIS"), true,
         "header: HDU header is missing or has non-integer NAXIS"},
        {"NAXIS real", with(prim, "NAXIS", "2.0"), true,
         "header: HDU header is missing or has non-integer NAXIS"},
        {"NAXIS negative", with(prim, "NAXIS", "-1"), true, "header: NAXIS = -1 is negative"},
        {"NAXIS2 missing", without(prim, "NAXIS2"), true,
         "header: HDU header is missing or has non-integer NAXIS2"},
        {"NAXIS1 unparseable", with(prim, "NAXIS1", "3 3"), true,
         "header: HDU header is missing or has non-integer NAXIS1"},
        {"NAXIS2 negative", with(ext, "NAXIS2", "-4"), false, "header: NAXIS2 = -4 is negative"},
        // NAXIS1000 cannot be an eight-character keyword, so NAXIS over 999 stops here.
        {"NAXIS over 999", many_axes, true,
         "header: HDU header is missing or has non-integer NAXIS1000"},
    };
    for (const Case& c : cases) {
        const auto r = check_header_for_write(header_of(c.cards), c.primary);
        if (c.message.empty()) {
            EXPECT_TRUE(r.has_value()) << c.name << ": " << r.error().message();
        } else {
            ASSERT_FALSE(r.has_value()) << c.name;
            EXPECT_EQ(r.error().kind, Error::Kind::Header) << c.name;
            EXPECT_EQ(r.error().message(), c.message) << c.name;
        }
    }
}

// Headers that pass the structural checks but that the reader could not size are refused
// with the sizing error, and nothing is written.
TEST(WriteHdu, RefusesHeadersTheReaderCannotSize) {
    std::vector<std::string> many_axes = {kv("SIMPLE", "T"), kv("BITPIX", "8"),
                                          kv("NAXIS", "1000")};
    for (int i = 1; i <= 1000; ++i)
        many_axes.push_back(kv("NAXIS" + std::to_string(i), "1"));

    std::vector<std::string> neg_pcount = extension_cards("BINTABLE", {"4", "2"});
    neg_pcount[5] = kv("PCOUNT", "-8");
    std::vector<std::string> neg_gcount = extension_cards("IMAGE", {"4"});
    neg_gcount[5] = kv("GCOUNT", "-1");
    const std::vector<std::string> overflow =
        primary_cards({"4294967296", "4294967296", "4294967296"}, 8);
    const std::vector<std::string> size_overflow = primary_cards({"2147483648", "2147483648"}, 64);

    struct Case {
        const char* name;
        std::vector<std::string> cards;
        bool primary;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"negative PCOUNT", neg_pcount, false,
         "value for keyword `PCOUNT`: PCOUNT must be non-negative, got -8"},
        {"negative GCOUNT", neg_gcount, false,
         "value for keyword `GCOUNT`: GCOUNT must be non-negative, got -1"},
        {"axis product overflow", overflow, true, "data: axis product overflows u64"},
        {"size overflow", size_overflow, true, "data: data size overflows u64"},
    };
    for (const Case& c : cases) {
        FileWriter fw;
        if (!c.primary) {
            ASSERT_TRUE(fw.w.write_hdu(header_of(primary_cards()), {}).has_value());
        }
        const std::uint64_t before = fw.w.hdus_written;
        const Header h = header_of(c.cards);
        ASSERT_TRUE(check_header_for_write(h, c.primary).has_value()) << c.name;
        const auto expected = data_section_size(h);
        ASSERT_FALSE(expected.has_value()) << c.name;
        const auto r = fw.w.write_hdu(h, {});
        ASSERT_FALSE(r.has_value()) << c.name;
        EXPECT_EQ(r.error().message(), c.message) << c.name;
        EXPECT_EQ(r.error().message(), expected.error().message()) << c.name;
        EXPECT_EQ(fw.w.hdus_written, before) << c.name;
        EXPECT_EQ(fw.finish().size(), before * 2880) << c.name;
    }
}

TEST(WriteHdu, DataLengthMustMatchHeader) {
    struct Case {
        std::vector<std::string> cards;
        std::size_t len;
        std::string message;
    };
    const std::vector<Case> cases = {
        {primary_cards({"3", "2"}, 16), 11,
         "header: data section is 11 bytes but header declares 12 bytes"},
        {primary_cards({"3", "2"}, 16), 13,
         "header: data section is 13 bytes but header declares 12 bytes"},
        {primary_cards(), 1, "header: data section is 1 bytes but header declares 0 bytes"},
        {primary_cards({"0", "5"}, -64), 8,
         "header: data section is 8 bytes but header declares 0 bytes"},
    };
    for (const Case& c : cases) {
        FileWriter fw;
        const auto r = fw.w.write_hdu(header_of(c.cards), Bytes(c.len));
        ASSERT_FALSE(r.has_value()) << c.message;
        EXPECT_EQ(r.error().message(), c.message);
        EXPECT_EQ(fw.w.hdus_written, 0u);
        EXPECT_TRUE(fw.finish().empty());
    }
}

// A refused HDU changes neither the output nor the count: the next HDU is still primary.
TEST(WriteHdu, RefusalLeavesWriterUnchanged) {
    FileWriter fw;
    ASSERT_FALSE(fw.w.write_hdu(header_of(extension_cards("IMAGE", {"2"})), Bytes(2)).has_value());
    EXPECT_EQ(fw.w.hdus_written, 0u);
    ASSERT_TRUE(fw.w.write_hdu(header_of(primary_cards({"2"})), Bytes(2)).has_value());
    const auto second = fw.w.write_hdu(header_of(primary_cards()), {});
    ASSERT_FALSE(second.has_value());
    EXPECT_EQ(second.error().message(), "header: extension HDU header is missing XTENSION");
    ASSERT_TRUE(fw.w.write_hdu(header_of(extension_cards("IMAGE", {"2"})), Bytes(2)).has_value());
    EXPECT_EQ(fw.w.hdus_written, 2u);
    EXPECT_EQ(fw.finish().size(), 4u * 2880);
}

// Checks what a reader of the written file sees: DATASUM holds the padded data's sum and the
// whole HDU sums to all ones, with sums computed here independently.
void expect_checksums_hold(ByteSpan hdu, std::size_t header_len) {
    auto parsed = Header::parse(hdu, 0, false);
    ASSERT_TRUE(parsed.has_value()) << parsed.error().message();
    ASSERT_EQ(parsed->second, header_len);
    const ByteSpan data = hdu.subspan(header_len);
    EXPECT_EQ(parsed->first.get_str("DATASUM"), std::to_string(reference_sum(data)));
    EXPECT_TRUE(parsed->first.get_str("CHECKSUM").has_value());
    EXPECT_EQ(reference_sum(hdu), 0xFFFFFFFFu);
}

TEST(WriteHdu, ChecksumsAppendedAtTheEnd) {
    FileWriter fw(true);
    const Header prim = header_of(primary_cards());
    const Header ext = header_of(extension_cards("TABLE", {"5", "3"}));
    const Bytes table = {'1', '2', '3', '4', '5', 'a', 'b', 'c', 'd', 'e', ' ', ' ', 'x', ' ', '9'};
    ASSERT_TRUE(fw.w.write_hdu(prim, {}).has_value());
    ASSERT_TRUE(fw.w.write_hdu(ext, table).has_value());
    // The caller's headers keep no trace of the stamp.
    EXPECT_FALSE(prim.contains("DATASUM"));
    EXPECT_FALSE(ext.contains("CHECKSUM"));
    EXPECT_EQ(prim.bytes(), header_of(primary_cards()).bytes());

    const Bytes file = fw.finish();
    ASSERT_EQ(file.size(), 3u * 2880);
    const std::vector<std::string> pc = cards_of(ByteSpan(file).first(2880));
    ASSERT_EQ(pc.size(), 6u);
    EXPECT_EQ(pc[3], image("DATASUM = '0       '"));
    EXPECT_TRUE(pc[4].starts_with("CHECKSUM= '"));
    EXPECT_EQ(pc[5], image("END"));
    const std::vector<std::string> ec = cards_of(ByteSpan(file).subspan(2880, 2880));
    ASSERT_EQ(ec.size(), 10u);
    EXPECT_TRUE(ec[7].starts_with("DATASUM = '"));
    EXPECT_TRUE(ec[8].starts_with("CHECKSUM= '"));
    expect_checksums_hold(ByteSpan(file).first(2880), 2880);
    expect_checksums_hold(ByteSpan(file).subspan(2880), 2880);
    EXPECT_EQ(file[5760 + 15], ' ');  // blank fill is summed as blanks
}

TEST(WriteHdu, ChecksumsRewriteExistingCardsInPlace) {
    std::vector<std::string> cards = primary_cards({"7"}, 8);
    cards.insert(cards.begin() + 3, kv("CHECKSUM", "'stale' / keep place"));
    cards.push_back(kv("DATASUM", "'1'"));
    cards.push_back(kv("OBJECT", "'M31'"));
    // A duplicate DATASUM after the first: the first is the one readers see and is stamped.
    cards.push_back(kv("DATASUM", "'2'"));
    const Header h = header_of(cards);
    FileWriter fw(true);
    const Bytes data = {1, 2, 3, 4, 5, 6, 7};
    ASSERT_TRUE(fw.w.write_hdu(h, data).has_value());
    const Bytes file = fw.finish();
    ASSERT_EQ(file.size(), 5760u);
    const std::vector<std::string> got = cards_of(ByteSpan(file).first(2880));
    ASSERT_EQ(got.size(), cards.size() + 1);  // no card added
    EXPECT_TRUE(got[3].starts_with("CHECKSUM= '"));
    EXPECT_EQ(got[3].substr(28), std::string(52, ' '));
    EXPECT_EQ(got[5], image("DATASUM = '" +
                            std::to_string(reference_sum(ByteSpan(file).subspan(2880))) + "'"));
    EXPECT_EQ(got[7], image(kv("DATASUM", "'2'")));
    expect_checksums_hold(file, 2880);
}

TEST(WriteHdu, StampFailureIsAHeaderError) {
    // A lower-case keyword counts as DATASUM for lookups but not for the stamp, which wants
    // the keyword exactly in columns 1-8.
    std::vector<std::string> cards = primary_cards();
    cards.push_back("datasum = '0'");
    const Header h = header_of(cards);
    ASSERT_TRUE(h.contains("DATASUM"));
    FileWriter fw(true);
    const auto r = fw.w.write_hdu(h, {});
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().message(),
              "header: checksum stamp failed: DATASUM placeholder not found in header");
    EXPECT_EQ(fw.w.hdus_written, 0u);
    EXPECT_TRUE(fw.finish().empty());
}

TEST(WriteHdu, ChecksumsOverLargeAndUnalignedData) {
    for (std::size_t len : {std::size_t{1}, std::size_t{3}, std::size_t{8191}, std::size_t{8192},
                            std::size_t{100003}}) {
        std::vector<std::string> cards = extension_cards("TABLE", {std::to_string(len), "1"});
        FileWriter fw(true);
        ASSERT_TRUE(fw.w.write_hdu(header_of(primary_cards()), {}).has_value());
        Bytes data(len);
        for (std::size_t i = 0; i < len; ++i)
            data[i] = static_cast<std::uint8_t>((i * 131) >> 3);
        ASSERT_TRUE(fw.w.write_hdu(header_of(cards), data).has_value()) << len;
        const Bytes file = fw.finish();
        ASSERT_EQ(file.size(), 2880u * 2 + (len + 2879) / 2880 * 2880);
        expect_checksums_hold(ByteSpan(file).subspan(2880), 2880);
    }
}

TEST(WriteRawPadded, AlignmentAndCounting) {
    FileWriter fw(true);
    Bytes raw = header_of(primary_cards()).to_bytes();
    const auto bad = fw.w.write_raw_padded(Bytes(2881, 'x'));
    ASSERT_FALSE(bad.has_value());
    EXPECT_EQ(bad.error().kind, Error::Kind::Io);
    EXPECT_EQ(bad.error().message(),
              "i/o error: write_raw_padded: HDU bytes (2881) not block-aligned");
    EXPECT_EQ(fw.w.hdus_written, 0u);
    ASSERT_TRUE(fw.w.write_raw_padded({}).has_value());
    EXPECT_EQ(fw.w.hdus_written, 1u);
    // Raw HDUs are never stamped, even with checksums on, and never checked.
    ASSERT_TRUE(fw.w.write_raw_padded(raw).has_value());
    EXPECT_EQ(fw.w.hdus_written, 2u);
    EXPECT_EQ(fw.finish(), raw);
}

TEST(BufWriter, BuffersSmallPiecesAndPassesLargeOnes) {
    TempDir dir;
    const std::string path = dir.file("b.bin");
    auto out = BufWriter::create(path, false);
    ASSERT_TRUE(out.has_value());
    Bytes expected;
    auto put = [&](std::size_t n, std::uint8_t v) {
        const Bytes piece(n, v);
        ASSERT_TRUE(out->write(piece).has_value());
        expected.insert(expected.end(), piece.begin(), piece.end());
    };
    put(100, 1);
    EXPECT_EQ(out->buffered(), 100u);
    EXPECT_EQ(read_file(path).size(), 0u);
    put(8092, 2);  // exactly fills the buffer
    EXPECT_EQ(out->buffered(), 8192u);
    put(1, 3);  // does not fit: flush first
    EXPECT_EQ(out->buffered(), 1u);
    EXPECT_EQ(read_file(path).size(), 8192u);
    put(20000, 4);  // large: flush, then straight through
    EXPECT_EQ(out->buffered(), 0u);
    EXPECT_EQ(read_file(path), expected);
    put(5, 5);
    out = BufWriter();  // destroying flushes and closes
    EXPECT_EQ(read_file(path), expected);
}

TEST(BufWriter, CreateExclusiveOrTruncate) {
    TempDir dir;
    const std::string path = dir.file("c.bin");
    {
        auto a = BufWriter::create(path, false);
        ASSERT_TRUE(a.has_value());
        ASSERT_TRUE(a->write(Bytes(10, 'a')).has_value());
    }
    EXPECT_EQ(read_file(path).size(), 10u);
    const auto again = BufWriter::create(path, false);
    ASSERT_FALSE(again.has_value());
    EXPECT_EQ(again.error().message(), "i/o error: File exists (os error 17)");
    {
        auto b = BufWriter::create(path, true);
        ASSERT_TRUE(b.has_value());
        ASSERT_TRUE(b->write(Bytes(3, 'b')).has_value());
    }
    EXPECT_EQ(read_file(path), Bytes(3, 'b'));
}

TEST(BufWriter, WriteFailuresAreIoErrors) {
    TempDir dir;
    const std::string path = dir.file("ro.bin");
    { ASSERT_TRUE(BufWriter::create(path, false).has_value()); }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    BufWriter ro{Sink(Fd(fd))};
    FitsWriter w = FitsWriter::borrowing(ro, 0, false);
    // 16 KiB of data goes straight to the descriptor and fails there.
    const auto r = w.write_hdu(header_of(primary_cards({"16384"})), Bytes(16384));
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind, Error::Kind::Io);
    EXPECT_EQ(r.error().message(), "i/o error: Bad file descriptor (os error 9)");
    EXPECT_EQ(w.hdus_written, 0u);
    // A small HDU is buffered and fails at the flush.
    ASSERT_TRUE(w.write_hdu(header_of(primary_cards()), {}).has_value());
    const auto f = std::move(w).finish();
    ASSERT_FALSE(f.has_value());
    EXPECT_EQ(f.error().kind, Error::Kind::Io);
}

// The borrowed form writes into the caller's buffer and leaves it with its owner.
TEST(FitsWriter, BorrowedOutputBehavesAlike) {
    TempDir dir;
    const std::string owned_path = dir.file("owned.fits");
    const std::string borrowed_path = dir.file("borrowed.fits");
    const Header prim = header_of(primary_cards({"4"}, 16));
    const Header ext = header_of(extension_cards("BINTABLE", {"3", "2"}));
    {
        auto out = BufWriter::create(owned_path, false);
        ASSERT_TRUE(out.has_value());
        FitsWriter w = FitsWriter::owning(std::move(*out), 0, true);
        ASSERT_TRUE(w.write_hdu(prim, Bytes(8, 1)).has_value());
        ASSERT_TRUE(w.write_hdu(ext, Bytes(6, 2)).has_value());
        auto back = std::move(w).finish();
        ASSERT_TRUE(back.has_value());
        EXPECT_TRUE(back->has_output());
        EXPECT_EQ(back->buffered(), 0u);
    }
    auto mine = BufWriter::create(borrowed_path, false);
    ASSERT_TRUE(mine.has_value());
    {
        FitsWriter w = FitsWriter::borrowing(*mine, 0, true);
        ASSERT_TRUE(w.write_hdu(prim, Bytes(8, 1)).has_value());
        ASSERT_TRUE(w.write_hdu(ext, Bytes(6, 2)).has_value());
        auto back = std::move(w).finish();
        ASSERT_TRUE(back.has_value());
        EXPECT_FALSE(back->has_output());
    }
    EXPECT_EQ(mine->buffered(), 0u);
    EXPECT_EQ(read_file(borrowed_path), read_file(owned_path));
    EXPECT_EQ(read_file(owned_path).size(), 4u * 2880);
}

// An appender-style writer starts at the count of HDUs already present: its first HDU must
// be an extension.
TEST(FitsWriter, StartCountDecidesPrimary) {
    TempDir dir;
    auto out = BufWriter::create(dir.file("a.fits"), false);
    ASSERT_TRUE(out.has_value());
    FitsWriter w = FitsWriter::owning(std::move(*out), 3, false);
    const auto r = w.write_hdu(header_of(primary_cards()), {});
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().message(), "header: extension HDU header is missing XTENSION");
    ASSERT_TRUE(w.write_hdu(header_of(extension_cards("IMAGE", {"1"})), Bytes(1)).has_value());
    EXPECT_EQ(w.hdus_written, 4u);
}

TEST(WriteHdu, WrittenFileOpensAndScans) {
    FileWriter fw(true);
    ASSERT_TRUE(
        fw.w.write_hdu(header_of(primary_cards({"3", "2"}, -32)), Bytes(24, 0x3F)).has_value());
    ASSERT_TRUE(
        fw.w.write_hdu(header_of(extension_cards("TABLE", {"4", "2"})), Bytes(8, 'z')).has_value());
    ASSERT_TRUE(
        fw.w.write_raw_padded(header_of(extension_cards("IMAGE", {})).to_bytes()).has_value());
    fw.finish();
    auto f = FitsFile::open(fw.path, false);
    ASSERT_TRUE(f.has_value()) << f.error().message();
    ASSERT_EQ(f->len(), 3u);
    EXPECT_EQ(f->spans[0].data_len, 24u);
    EXPECT_EQ(f->spans[1].data_len, 8u);
    EXPECT_EQ(f->spans[1].data_offset, 2880u * 3);
    EXPECT_EQ(f->spans[2].data_len, 0u);
    auto d = f->read_data(1);
    ASSERT_TRUE(d.has_value());
    EXPECT_EQ(*d, Bytes(8, 'z'));
}

}  // namespace
}  // namespace vexlo
