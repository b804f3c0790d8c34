// Stamping of DATASUM and CHECKSUM into header blocks, and their verification over files
// written by the HDU writer and then altered byte by byte, for plain and gzip-compressed
// files.
#include "hdu/checksum.hpp"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cctype>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "../hdu/writer_fixture.hpp"
#include "data/checksum.hpp"
#include "hdu/writer.hpp"
#include "header/header.hpp"
#include "io/file.hpp"
#include "patch_fixture.hpp"

namespace vexlo {
namespace {

using namespace write_testing;

// Header blocks from card texts: the cards, END and blank fill to whole 2880-byte blocks.
Bytes blocks(const std::vector<std::string>& cards, bool end = true) {
    Bytes out;
    for (const std::string& c : cards)
        append_bytes(out, image(c));
    if (end) append_bytes(out, image("END"));
    out.resize((out.size() + 2879) / 2880 * 2880, ' ');
    return out;
}

std::string card_at(const Bytes& header, std::size_t n) {
    return std::string(as_chars(ByteSpan(header).subspan(n * 80, 80)));
}

std::uint32_t hdu_sum(const Bytes& header, ByteSpan data) {
    Bytes all = header;
    all.insert(all.end(), data.begin(), data.end());
    return reference_sum(all);
}

struct Hdu {
    std::vector<std::string> cards;
    Bytes data;
};

Bytes write_bytes(const std::vector<Hdu>& hdus, bool checksums, const std::string& path) {
    auto out = BufWriter::create(path, true);
    EXPECT_TRUE(out.has_value());
    FitsWriter w = FitsWriter::owning(std::move(*out), 0, checksums);
    for (const Hdu& h : hdus) {
        auto r = w.write_hdu(header_of(h.cards), h.data);
        EXPECT_TRUE(r.has_value()) << r.error().message();
    }
    auto done = std::move(w).finish();
    EXPECT_TRUE(done.has_value());
    if (done) *done = BufWriter();
    return read_file(path);
}

void save(const std::string& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

using Row = std::pair<std::optional<bool>, std::optional<bool>>;  // checksum_ok, datasum_ok

// Opened leniently so that a changed fill byte after END still scans.
std::vector<Row> verify_path(const std::string& path) {
    auto f = FitsFile::open(path, true);
    EXPECT_TRUE(f.has_value()) << f.error().message();
    if (!f) return {};
    auto rows = verify_checksums(*f);
    EXPECT_TRUE(rows.has_value()) << rows.error().message();
    if (!rows) return {};
    std::vector<Row> out;
    for (std::size_t i = 0; i < rows->size(); ++i) {
        EXPECT_EQ((*rows)[i].hdu, i);
        out.emplace_back((*rows)[i].checksum_ok, (*rows)[i].datasum_ok);
    }
    return out;
}

std::vector<Hdu> sample_hdus() {
    Bytes pixels(6 * 4);
    for (std::size_t i = 0; i < pixels.size(); ++i)
        pixels[i] = static_cast<std::uint8_t>(i * 37 + 5);
    std::vector<std::string> table = extension_cards("TABLE", {"6", "2"});
    table.push_back(kv("OBJECT", "'comment test' / a comment"));
    return {
        {primary_cards({"3", "2"}, 32), pixels},
        {table, Bytes{'1', '2', '3', 'a', 'b', 'c', '4', '5', '6', 'd', 'e', 'f'}},
        {extension_cards("IMAGE", {}), {}},
    };
}

constexpr std::optional<bool> kTrue = true;
constexpr std::optional<bool> kFalse = false;
constexpr std::optional<bool> kAbsent = std::nullopt;

TEST(VerifyChecksums, WrittenFilesVerifyAndChangesAreCaught) {
    TempDir dir;
    const std::string path = dir.file("v.fits");
    const Bytes good = write_bytes(sample_hdus(), true, path);
    ASSERT_EQ(good.size(), 5u * 2880);
    // Offsets: HDU 0 header 0, data 2880; HDU 1 header 5760, data 8640; HDU 2 header 11520.
    const std::string_view all = as_chars(good);
    const std::size_t comment_at = all.find("/ a comment") + 4;  // the 'c' of "comment"
    ASSERT_GT(comment_at, 5760u);
    ASSERT_LT(comment_at, 8640u);
    struct Case {
        const char* name;
        std::size_t offset;  // byte changed; SIZE_MAX for none
        std::vector<Row> rows;
    };
    const std::vector<Case> cases = {
        {"untouched", SIZE_MAX, {{kTrue, kTrue}, {kTrue, kTrue}, {kTrue, kTrue}}},
        {"data byte", 2880 + 3, {{kFalse, kFalse}, {kTrue, kTrue}, {kTrue, kTrue}}},
        {"header comment", comment_at, {{kTrue, kTrue}, {kFalse, kTrue}, {kTrue, kTrue}}},
        {"fill byte after data", 8640 + 100, {{kTrue, kTrue}, {kFalse, kFalse}, {kTrue, kTrue}}},
        {"header fill after END", 11520 + 2000, {{kTrue, kTrue}, {kTrue, kTrue}, {kFalse, kTrue}}},
    };
    for (const Case& c : cases) {
        Bytes b = good;
        if (c.offset != SIZE_MAX) b[c.offset] ^= 0x01;
        save(path, b);
        EXPECT_EQ(verify_path(path), c.rows) << c.name;
    }
}

// Duplicate cards: the writer stamps the first of each, the one verification reads, so the
// file verifies right after being written.
TEST(VerifyChecksums, DuplicateCardsVerifyAfterWriting) {
    TempDir dir;
    const std::string path = dir.file("dup.fits");
    std::vector<std::string> cards = primary_cards({"5"});
    cards.push_back(kv("DATASUM", "'1'"));
    cards.push_back(kv("CHECKSUM", "'x'"));
    cards.push_back(kv("DATASUM", "'2'"));
    cards.push_back(kv("CHECKSUM", "'y'"));
    write_bytes({{cards, Bytes{9, 8, 7, 6, 5}}}, true, path);
    EXPECT_EQ(verify_path(path), (std::vector<Row>{{kTrue, kTrue}}));
}

TEST(VerifyChecksums, WithoutCardsBothAbsent) {
    TempDir dir;
    const std::string path = dir.file("n.fits");
    write_bytes(sample_hdus(), false, path);
    EXPECT_EQ(verify_path(path),
              (std::vector<Row>{{kAbsent, kAbsent}, {kAbsent, kAbsent}, {kAbsent, kAbsent}}));
}

// Data of four bytes 00 00 00 2A (then zero fill) sums to 42.
TEST(VerifyChecksums, DatasumTexts) {
    TempDir dir;
    const std::string path = dir.file("d.fits");
    struct Case {
        std::string card;  // the DATASUM card, or empty for none
        bool with_checksum;
        std::optional<bool> datasum_ok;
    };
    const std::vector<Case> cases = {
        {kv("DATASUM", "'42'"), false, kTrue},     {kv("DATASUM", "'+42'"), false, kTrue},
        {kv("DATASUM", "'0042'"), false, kTrue},   {kv("DATASUM", "'  42  '"), false, kTrue},
        {kv("DATASUM", "42"), false, kTrue},        // an integer value is read as its digits
        {kv("DATASUM", "'''42'''"), false, kTrue},  // quotes inside the text are stripped
        {kv("DATASUM", "'-42'"), false, kFalse},   {kv("DATASUM", "'4294967296'"), false, kFalse},
        {kv("DATASUM", "'12a'"), false, kFalse},   {kv("DATASUM", "''"), false, kFalse},
        {kv("DATASUM", "'43'"), false, kFalse},    {kv("DATASUM", "1.5"), false, kAbsent},
        {kv("DATASUM", "T"), false, kAbsent},      {"", true, kAbsent},
    };
    for (const Case& c : cases) {
        std::vector<std::string> cards = primary_cards({"4"});
        if (!c.card.empty()) cards.push_back(c.card);
        if (c.with_checksum) cards.push_back(kv("CHECKSUM", "'whatever'"));
        write_bytes({{cards, Bytes{0, 0, 0, 42}}}, false, path);
        const std::vector<Row> rows = verify_path(path);
        ASSERT_EQ(rows.size(), 1u) << c.card;
        EXPECT_EQ(rows[0].second, c.datasum_ok) << c.card;
        // An unstamped CHECKSUM is present but cannot make the HDU sum to all ones.
        EXPECT_EQ(rows[0].first, c.with_checksum ? kFalse : kAbsent) << c.card;
    }
}

TEST(VerifyChecksums, EmptyHduWithZeroDatasum) {
    TempDir dir;
    const std::string path = dir.file("z.fits");
    std::vector<std::string> cards = primary_cards();
    cards.push_back(kv("DATASUM", "'0'"));
    write_bytes({{cards, {}}}, false, path);
    EXPECT_EQ(verify_path(path), (std::vector<Row>{{kAbsent, kTrue}}));
}

TEST(VerifyChecksums, ParseDatasumText) {
    struct Case {
        std::string_view text;
        std::optional<std::uint32_t> value;
    };
    const std::vector<Case> cases = {
        {"0", 0u},
        {"4294967295", 4294967295u},
        {"4294967296", std::nullopt},
        {" '7' ", 7u},
        {"'' 7 ''", 7u},
        {"+", std::nullopt},
        {"++1", std::nullopt},
        {"1 2", std::nullopt},
        {"", std::nullopt},
        {"99999999999999999999999", std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(parse_datasum_text(c.text), c.value) << c.text;
}

Bytes gzip(const Bytes& in) {
    z_stream zs{};
    EXPECT_EQ(deflateInit2(&zs, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY), Z_OK);
    Bytes out(deflateBound(&zs, in.size()) + 64);
    zs.next_in = const_cast<Bytef*>(in.data());
    zs.avail_in = static_cast<uInt>(in.size());
    zs.next_out = out.data();
    zs.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&zs, Z_FINISH), Z_STREAM_END);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return out;
}

// In a gzip file the last data section needs no padding of its own: the zero bytes added at
// opening are summed as its fill.
TEST(VerifyChecksums, GzipFileWithUnpaddedLastSection) {
    TempDir dir;
    const std::string plain = dir.file("g.fits");
    const Bytes good = write_bytes(sample_hdus(), true, plain);
    const std::string packed = dir.file("g.fits.gz");
    save(packed, gzip(good));
    EXPECT_EQ(verify_path(packed),
              (std::vector<Row>{{kTrue, kTrue}, {kTrue, kTrue}, {kTrue, kTrue}}));

    Bytes pixels(10, 9);
    const Bytes img = write_bytes({{primary_cards({"10"}), pixels}}, true, plain);
    save(packed, gzip(Bytes(img.begin(), img.begin() + 2880 + 10)));
    EXPECT_EQ(verify_path(packed), (std::vector<Row>{{kTrue, kTrue}}));
}

TEST(VerifyChecksums, ReadAndParseFailuresEndTheCall) {
    TempDir dir;
    const std::string path = dir.file("t.fits");
    const Bytes good = write_bytes(sample_hdus(), true, path);
    {
        auto f = FitsFile::open(path, false);
        ASSERT_TRUE(f.has_value());
        save(path, Bytes(good.begin(), good.begin() + 4000));  // shortened after opening
        auto rows = verify_checksums(*f);
        ASSERT_FALSE(rows.has_value());
        EXPECT_EQ(rows.error().message(),
                  "i/o error: pread reached EOF before filling buffer (file truncated?)");
    }
    save(path, good);
    auto f = FitsFile::open(path, false);
    ASSERT_TRUE(f.has_value());
    // A lower-case keyword written after opening: the headers are verified as the file holds
    // them, and the strict parse refuses it.
    Bytes changed = good;
    changed[f->spans[1].data_offset - f->headers[1].size() + 80 * 8] = 'o';
    save(path, changed);
    auto rows = verify_checksums(*f);
    ASSERT_FALSE(rows.has_value());
    EXPECT_EQ(rows.error().kind, Error::Kind::Card);
}

// A stamp over a header placed at offset 0 (the encoded text starts at byte 11, so the
// rotation matters) must make the whole HDU sum to all ones.
TEST(StampChecksums, WholeHduSumsToAllOnes) {
    const std::vector<Bytes> datas = {Bytes{}, noise(2880, 3), noise(2880 * 4, 5),
                                      Bytes(2880, 0xFF), Bytes(2880, 0)};
    for (const Bytes& data : datas) {
        Bytes h = blocks({"SIMPLE  =                    T", "BITPIX  =                    8",
                          "NAXIS   =                    0", "DATASUM = 'x'  / old comment",
                          "CHECKSUM= 'y'  / old comment"});
        ASSERT_TRUE(stamp_checksums(h, data).has_value());
        EXPECT_EQ(hdu_sum(h, data), 0xFFFFFFFFu);
        const std::string ds = card_at(h, 3);
        EXPECT_EQ(ds, image("DATASUM = '" + [&] {
                      std::string t = std::to_string(reference_sum(data));
                      t.resize(std::max<std::size_t>(t.size(), 8), ' ');
                      return t;
                  }() + "'"));
        const std::string cs = card_at(h, 4);
        EXPECT_EQ(cs.substr(0, 11), "CHECKSUM= '");
        EXPECT_EQ(cs[27], '\'');
        EXPECT_EQ(cs.substr(28), std::string(52, ' '));  // the comment is gone
    }
}

TEST(StampChecksums, EmptyDataGivesZeroDatasum) {
    Bytes h = blocks({"DATASUM = '0'", "CHECKSUM= '0000000000000000'"});
    ASSERT_TRUE(stamp_checksums(h, {}).has_value());
    EXPECT_EQ(card_at(h, 0), image("DATASUM = '0       '"));
    EXPECT_EQ(reference_sum(h), 0xFFFFFFFFu);
}

TEST(StampChecksums, TenDigitDatasumClosesInColumn22) {
    Bytes data(2880, 0);
    data[0] = 0xF0;  // sum 0xF0000000 = 4026531840
    Bytes h = blocks({"CHECKSUM= ' '", "DATASUM = ' '"});
    ASSERT_TRUE(stamp_checksums(h, data).has_value());
    EXPECT_EQ(card_at(h, 1), image("DATASUM = '4026531840'"));
    EXPECT_EQ(card_at(h, 1)[21], '\'');
    EXPECT_EQ(hdu_sum(h, data), 0xFFFFFFFFu);

    data[0] = 0x10;  // 268435456: nine digits, quote in column 21
    ASSERT_TRUE(stamp_checksums(h, data).has_value());
    EXPECT_EQ(card_at(h, 1), image("DATASUM = '268435456'"));
}

TEST(StampChecksums, RestampReproducesTheCards) {
    const Bytes data = noise(2880 * 2, 11);
    Bytes a = blocks({"DATASUM = '0'", "CHECKSUM= '0000000000000000'"});
    Bytes b = blocks({"DATASUM = '99999' / stale", "CHECKSUM= 'AbCdEfGhIjKlMnOp' / stale"});
    ASSERT_TRUE(stamp_checksums(a, data).has_value());
    ASSERT_TRUE(stamp_checksums(b, data).has_value());
    EXPECT_EQ(a, b);
    Bytes again = a;
    ASSERT_TRUE(stamp_checksums(again, data).has_value());
    EXPECT_EQ(again, a);
}

TEST(StampChecksums, Failures) {
    struct Case {
        const char* name;
        Bytes header;
        std::string_view message;
    };
    Bytes short_header = blocks({"DATASUM = '0'", "CHECKSUM= '0'"});
    short_header.resize(2800);
    const std::vector<Case> cases = {
        {"not whole blocks", short_header, "header bytes are not a multiple of 2880"},
        {"empty", Bytes{}, "CHECKSUM placeholder not found in header"},
        {"no checksum", blocks({"DATASUM = '0'"}), "CHECKSUM placeholder not found in header"},
        {"no datasum", blocks({"CHECKSUM= '0'"}), "DATASUM placeholder not found in header"},
        {"datasum without '=' in column 9", blocks({"DATASUM  '0'", "CHECKSUM= '0'"}),
         "DATASUM placeholder not found in header"},
        {"checksum after END",
         [] {
             Bytes h = blocks({"DATASUM = '0'"});
             std::string c = image("CHECKSUM= '0'");
             std::copy(c.begin(), c.end(), h.begin() + 160);
             return h;
         }(),
         "CHECKSUM placeholder not found in header"},
        {"datasum after END",
         [] {
             Bytes h = blocks({"CHECKSUM= '0'"});
             std::string c = image("DATASUM = '0'");
             std::copy(c.begin(), c.end(), h.begin() + 160);
             return h;
         }(),
         "DATASUM placeholder not found in header"},
    };
    for (const Case& c : cases) {
        Bytes h = c.header;
        const auto r = stamp_checksums(h, Bytes(2880, 1));
        ASSERT_FALSE(r.has_value()) << c.name;
        EXPECT_EQ(r.error().message(), "header: checksum stamp failed: " + std::string(c.message))
            << c.name;
        EXPECT_EQ(h, c.header) << c.name;  // unchanged after a failure
    }
}

// With duplicate cards the first one is stamped: it is the one Header::get returns, so the
// DATASUM a reader sees matches the data and the whole HDU still sums to all ones.
TEST(StampChecksums, DuplicateCardsStampTheFirst) {
    const Bytes data = noise(2880, 21);
    Bytes h = blocks({"DATASUM = '1'", "CHECKSUM= 'A'", "DATASUM = '2'", "CHECKSUM= 'B'"});
    ASSERT_TRUE(stamp_checksums(h, data).has_value());
    EXPECT_EQ(card_at(h, 2), image("DATASUM = '2'"));
    EXPECT_EQ(card_at(h, 3), image("CHECKSUM= 'B'"));
    EXPECT_EQ(hdu_sum(h, data), 0xFFFFFFFFu);

    auto parsed = Header::parse(h, 0, false);
    ASSERT_TRUE(parsed.has_value()) << parsed.error().message();
    EXPECT_EQ(parsed->first.get_str("DATASUM"), std::to_string(reference_sum(data)));
    const auto cs = parsed->first.get_str("CHECKSUM");
    ASSERT_TRUE(cs.has_value());
    EXPECT_EQ(*cs, std::string(as_chars(ByteSpan(h).subspan(80 + 11, 16))));
}

}  // namespace
}  // namespace vexlo

namespace vexlo {
namespace {

using namespace write_testing;

// The cards a sync writes are those the file then holds, and a header of the same HDU that
// takes them reads them as the file does; an HDU without patches or cards gives none.
TEST(SyncPatches, ReturnsTheCardsItWroteForHeadersToTake) {
    TempDir dir;
    const std::string path = dir.file("p.fits");
    std::vector<Hdu> hdus = sample_hdus();
    write_bytes(hdus, true, path);
    FitsUpdater up = patch_test::open_updater(path).value();
    const std::uint64_t start[2] = {0, 1}, shape[2] = {2, 1};
    const std::int32_t values[2] = {-5, 123456};
    ASSERT_TRUE(
        patch_test::write_section(up, 0, start, shape, Bitpix::I32,
                                  ByteSpan(reinterpret_cast<const std::uint8_t*>(values), 8)));
    const std::vector<RestampedCards> cards = sync_patches(up).value();
    ASSERT_EQ(cards.size(), 1u);
    EXPECT_EQ(cards[0].index, 0u);
    const FitsFile now = FitsFile::open(path, true).value();
    const Header on_disk = now.header(0).value();
    Header held = header_of(hdus[0].cards);
    ASSERT_TRUE(held.set("CHECKSUM", Value::make_string("old"), std::string("sum")));
    ASSERT_TRUE(held.set("DATASUM", Value::make_string("1"), std::nullopt));
    take_restamped_cards(held, cards[0]);
    for (const char* key : {"DATASUM", "CHECKSUM"}) {
        EXPECT_EQ(held.get_value(key), on_disk.get_value(key)) << key;
        const ByteSpan card = held.get(key)->bytes;
        EXPECT_EQ(Bytes(card.begin(), card.end()),
                  key == std::string("DATASUM") ? cards[0].datasum : cards[0].checksum);
    }
    EXPECT_EQ(verify_path(path),
              (std::vector<Row>{{kTrue, kTrue}, {kTrue, kTrue}, {kTrue, kTrue}}));
    // Nothing patched since: nothing to show.
    EXPECT_TRUE(sync_patches(up).value().empty());
    // A header without the cards does not gain them.
    Header bare = header_of(hdus[0].cards);
    const std::size_t len = bare.len();
    take_restamped_cards(bare, cards[0]);
    EXPECT_EQ(bare.len(), len);
    EXPECT_FALSE(bare.contains("DATASUM"));
}

}  // namespace
}  // namespace vexlo
