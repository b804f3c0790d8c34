#include <gtest/gtest.h>

#include <algorithm>

#include "../io/fits_fixture.hpp"
#include "compression/reader.hpp"
#include "hdu/hdu.hpp"
#include "hdu/load.hpp"
#include "io/file.hpp"

namespace vexlo {
namespace {

using namespace fits_test;

// Keeps the temporary file next to the record opened from it.
struct Opened {
    std::unique_ptr<TempFile> tmp;
    FitsFile file;
};

Opened open_content(const Bytes& content, bool compress = false) {
    auto tmp = std::make_unique<TempFile>(compress ? gzip(content) : content);
    Result<FitsFile> r = FitsFile::open(tmp->path(), true);
    if (!r) throw std::runtime_error(r.error().message());
    return Opened{std::move(tmp), std::move(*r)};
}

std::vector<std::string> groups_cards(long long gcount) {
    return {kv("SIMPLE", "T"),    kv("BITPIX", 16),     kv("NAXIS", 2),
            kv("NAXIS1", 0),      kv("NAXIS2", 4),      kv("GROUPS", "T"),
            kv("PCOUNT", 2),      kv("GCOUNT", gcount), kv("PTYPE1", "'  ANGLE '"),
            kv("PTYPE2", "'UU'"), kv("PSCAL2", "2.5"),  kv("PZERO2", -1)};
}

std::vector<std::string> bintable_cards(std::vector<std::string> extra) {
    std::vector<std::string> c = {kv("XTENSION", "'BINTABLE'"),
                                  kv("BITPIX", 8),
                                  kv("NAXIS", 2),
                                  kv("NAXIS1", 4),
                                  kv("NAXIS2", 2),
                                  kv("PCOUNT", 0),
                                  kv("GCOUNT", 1),
                                  kv("TFIELDS", 1),
                                  kv("TFORM1", "'1J      '"),
                                  kv("TTYPE1", "'X'")};
    for (std::string& e : extra)
        c.push_back(std::move(e));
    return c;
}

std::string load_error(const FitsFile& f, std::size_t index) {
    const Result<Hdu> r = load_hdu(f, index);
    return r ? std::string("<loaded>") : r.error().message();
}

TEST(LoadTest, PrimaryRandomGroups) {
    const Opened o = open_content(hdu(groups_cards(3), ramp(36)));
    const Result<Hdu> r = load_hdu(o.file, 0);
    ASSERT_TRUE(r) << r.error().message();
    ASSERT_EQ(r->kind(), Hdu::Kind::RandomGroups);
    EXPECT_EQ(r->kind_name(), "RandomGroups");
    const auto& rg = std::get<RandomGroupsHdu>(r->value);
    EXPECT_EQ(rg.bitpix, Bitpix::I16);
    EXPECT_EQ(rg.pcount, 2u);
    EXPECT_EQ(rg.data_per_group, 4u);
    EXPECT_EQ(rg.gcount, 3u);
    EXPECT_EQ(rg.group_bytes(), 12u);
    EXPECT_EQ(Bytes(rg.data.span().begin(), rg.data.span().end()), ramp(36));
    ASSERT_EQ(rg.parameters.size(), 2u);
    EXPECT_EQ(rg.parameters[0].index, 1u);
    EXPECT_EQ(rg.parameters[0].name, "ANGLE");
    EXPECT_EQ(rg.parameters[0].pscal, 1.0);
    EXPECT_EQ(rg.parameters[0].pzero, 0.0);
    EXPECT_EQ(rg.parameters[1].name, "UU");
    EXPECT_EQ(rg.parameters[1].pscal, 2.5);
    EXPECT_EQ(rg.parameters[1].pzero, -1.0);
    EXPECT_EQ(&r->header(), &rg.header);

    // GCOUNT = 0: the scan sizes the data at 0 bytes and the record has no groups, so the
    // file that opened also loads.
    for (const bool compress : {false, true}) {
        const Opened zero = open_content(hdu(groups_cards(0)), compress);
        ASSERT_EQ(zero.file.spans.at(0).data_len, 0u);
        const Result<Hdu> z = load_hdu(zero.file, 0);
        ASSERT_TRUE(z) << z.error().message();
        const auto& none = std::get<RandomGroupsHdu>(z->value);
        EXPECT_EQ(none.gcount, 0u);
        EXPECT_EQ(none.pcount, 2u);
        EXPECT_EQ(none.data_per_group, 4u);
        EXPECT_TRUE(none.data.empty());
        ASSERT_EQ(none.parameters.size(), 2u);
        EXPECT_EQ(none.parameters[1].name, "UU");
    }
}

TEST(LoadTest, RandomGroupsRecordChecks) {
    struct Case {
        const char* name;
        std::vector<std::string> cards;
        std::size_t data_len;
        std::string want;  // "" when it builds
    };
    const std::vector<Case> cases = {
        {"NAXIS 1",
         {kv("BITPIX", 8), kv("NAXIS", 1), kv("NAXIS1", 0)},
         0,
         "data: NAXIS must be >= 2, got 1"},
        {"NAXIS1 not 0",
         {kv("BITPIX", 8), kv("NAXIS", 2), kv("NAXIS1", 3), kv("NAXIS2", 1)},
         0,
         "data: NAXIS1 must be 0"},
        {"product overflow",
         {kv("BITPIX", 8), kv("NAXIS", 3), kv("NAXIS1", 0), kv("NAXIS2", 4294967296),
          kv("NAXIS3", 4294967296)},
         0,
         "data: NAXISn product overflowed u64"},
        {"size overflow",
         {kv("BITPIX", -64), kv("NAXIS", 2), kv("NAXIS1", 0), kv("NAXIS2", 4611686018427387904)},
         0,
         "data: data size overflowed u64"},
        {"zero axis keeps parameters",
         {kv("BITPIX", 8), kv("NAXIS", 3), kv("NAXIS1", 0), kv("NAXIS2", 0), kv("NAXIS3", 7),
          kv("PCOUNT", 3), kv("GCOUNT", 2)},
         6,
         ""},
        {"real PCOUNT counts as 0",
         {kv("BITPIX", 8), kv("NAXIS", 2), kv("NAXIS1", 0), kv("NAXIS2", 2), kv("PCOUNT", "3.0")},
         2,
         ""},
        {"GCOUNT 0 has no groups",
         {kv("BITPIX", 8), kv("NAXIS", 2), kv("NAXIS1", 0), kv("NAXIS2", 2), kv("PCOUNT", 999),
          kv("GCOUNT", 0)},
         0,
         ""},
        {"GCOUNT 0 with data",
         {kv("BITPIX", 8), kv("NAXIS", 2), kv("NAXIS1", 0), kv("NAXIS2", 2), kv("GCOUNT", 0)},
         2,
         "data: data slice 2 bytes does not match expected 0"},
        {"GCOUNT 0 does not back a huge PCOUNT",
         {kv("BITPIX", 8), kv("NAXIS", 2), kv("NAXIS1", 0), kv("NAXIS2", 2),
          kv("PCOUNT", 4611686018427387904), kv("GCOUNT", 0)},
         0,
         "data: PCOUNT 4611686018427387904 out of range for GCOUNT = 0 (at most 999 parameters "
         "without data)"},
        {"real GCOUNT counts as 1",
         {kv("BITPIX", 8), kv("NAXIS", 2), kv("NAXIS1", 0), kv("NAXIS2", 2), kv("GCOUNT", "0.0")},
         2,
         ""},
        {"negative PCOUNT and GCOUNT fall back",
         {kv("BITPIX", 8), kv("NAXIS", 2), kv("NAXIS1", 0), kv("NAXIS2", 2), kv("PCOUNT", -3),
          kv("GCOUNT", -1)},
         2,
         ""},
        {"bad BITPIX",
         {kv("BITPIX", 7), kv("NAXIS", 2)},
         0,
         "value for keyword `BITPIX`: illegal BITPIX value 7"},
    };
    for (const Case& c : cases) {
        const Result<RandomGroupsHdu> r =
            RandomGroupsHdu::create(header_of(c.cards), DataBuf::owned(Bytes(c.data_len, 0)));
        EXPECT_EQ(r ? std::string() : r.error().message(), c.want) << c.name;
    }
    const GroupParameter p = read_group_parameter(
        header_of({kv("PTYPE12", "' X '"), kv("PSCAL12", 3), kv("PZERO12", "'a'")}), 12);
    EXPECT_EQ(p.index, 12u);
    EXPECT_EQ(p.name, "X");
    EXPECT_EQ(p.pscal, 3.0);
    EXPECT_EQ(p.pzero, 0.0);
    EXPECT_EQ(read_group_parameter(header_of({kv("PTYPE1", 5)}), 1).name, "");
}

TEST(LoadTest, KindsOfExtensions) {
    Bytes content = hdu(primary_cards(8, {2}), ramp(2));
    append(content, hdu(image_ext_cards(16, {2}), ramp(4)));  // 1 Image
    append(content, hdu({kv("XTENSION", "'A3DTABLE'"), kv("BITPIX", 8), kv("NAXIS", 1),
                         kv("NAXIS1", 3), kv("PCOUNT", 0), kv("GCOUNT", 1)},
                        ramp(3)));  // 2 Conforming
    append(content, hdu({kv("XTENSION", "'image'"), kv("BITPIX", 8), kv("NAXIS", 0)}));  // 3
    append(content, hdu(bintable_cards({}), ramp(8)));                   // 4 BinTable
    append(content, hdu(bintable_cards({kv("ZIMAGE", "T")}), ramp(8)));  // 5 refused
    append(content, hdu(bintable_cards({kv("ZIMAGE", "T"), kv("ZBITPIX", 16), kv("ZNAXIS", 1),
                                        kv("ZNAXIS1", 4), kv("ZCMPTYPE", "'GZIP_1'")}),
                        ramp(8)));                                         // 6 compressed
    append(content, hdu(bintable_cards({kv("ZIMAGE", "'T'")}), ramp(8)));  // 7
    std::vector<std::string> groups_ext = groups_cards(3);
    groups_ext[0] = kv("XTENSION", "'IMAGE   '");
    append(content, hdu(groups_ext, ramp(36)));  // 8

    for (const bool compress : {false, true}) {
        const Opened o = open_content(content, compress);
        const FitsFile& f = o.file;
        ASSERT_EQ(f.len(), 9u);
        struct Case {
            std::size_t index;
            Hdu::Kind kind;
        };
        const Case cases[] = {{0, Hdu::Kind::Image},           {1, Hdu::Kind::Image},
                              {2, Hdu::Kind::Conforming},      {3, Hdu::Kind::Conforming},
                              {4, Hdu::Kind::BinTable},        {5, Hdu::Kind::BinTable},
                              {6, Hdu::Kind::CompressedImage}, {7, Hdu::Kind::BinTable}};
        for (const Case& c : cases) {
            const Result<Hdu> r = load_hdu(f, c.index);
            ASSERT_TRUE(r) << c.index << ": " << r.error().message();
            EXPECT_EQ(r->kind(), c.kind) << c.index;
        }
        const Hdu conforming = *load_hdu(f, 2);
        const auto& conf = std::get<ConformingHdu>(conforming.value);
        EXPECT_EQ(conf.xtension, "A3DTABLE");
        EXPECT_EQ(Bytes(conf.data.span().begin(), conf.data.span().end()), ramp(3));
        EXPECT_EQ(std::get<ConformingHdu>(load_hdu(f, 3)->value).xtension, "image");

        // The data is borrowed from the file's cache or buffer, never copied.
        const Hdu a = *load_hdu(f, 1);
        const Hdu b = *load_hdu(f, 1);
        const auto& ia = std::get<ImageHdu>(a.value);
        EXPECT_FALSE(ia.data.is_owned());
        EXPECT_EQ(ia.data.data(), std::get<ImageHdu>(b.value).data.data());
        EXPECT_EQ(ia.data.data(), f.data_bytes(1)->data());

        // A random-groups header in an extension is judged as an image.
        EXPECT_EQ(load_error(f, 8), "data: data slice 36 bytes does not match expected 0");

        // load_image
        const Result<ImageHdu> img = load_image(f, 1);
        ASSERT_TRUE(img);
        EXPECT_EQ(img->axes, (std::vector<std::uint64_t>{2}));
        EXPECT_EQ(load_image(f, 5).error().message(), "missing mandatory keyword `ZBITPIX`");
        EXPECT_EQ(load_image(f, 6).error().message(),
                  "header: compressed image: COMPRESSED_DATA column missing");
        const std::string bintable_found =
            "BinTable(BinTableHdu { header: Header { bytes: [88, 84, 69, 78, ";
        ASSERT_EQ(bintable_found.size(), 64u);
        EXPECT_EQ(load_image(f, 4).error().message(),
                  "expected HDU type `IMAGE or compressed-IMAGE`, found `" + bintable_found + "`");
        EXPECT_EQ(load_image(f, 7).error().message(),
                  "expected HDU type `IMAGE or compressed-IMAGE`, found `" + bintable_found + "`");
        EXPECT_EQ(load_image(f, 2).error().message(),
                  "expected HDU type `IMAGE or compressed-IMAGE`, found "
                  "`Conforming(ConformingHdu { header: Header { bytes: [88, 84, 69, `");
    }
}

TEST(LoadTest, OwnedLoadsCopyTheDataAndLeaveTheCacheEmpty) {
    Bytes content = hdu(primary_cards(8, {2}), ramp(2));
    append(content, hdu(image_ext_cards(16, {2}), ramp(4)));
    append(content, hdu({kv("XTENSION", "'A3DTABLE'"), kv("BITPIX", 8), kv("NAXIS", 1),
                         kv("NAXIS1", 3), kv("PCOUNT", 0), kv("GCOUNT", 1)},
                        ramp(3)));
    append(content, hdu(bintable_cards({}), ramp(8)));
    append(content, hdu(bintable_cards({kv("ZIMAGE", "T"), kv("ZBITPIX", 16), kv("ZNAXIS", 1),
                                        kv("ZNAXIS1", 4), kv("ZCMPTYPE", "'GZIP_1'")}),
                        ramp(8)));
    const Opened o = open_content(content);
    for (std::size_t k = 0; k < 5; ++k) {
        const Result<Hdu> owned = load_hdu_owned(o.file, k);
        ASSERT_TRUE(owned) << k << ": " << owned.error().message();
        EXPECT_EQ(o.file.data_cache.get(k), nullptr) << k;
        const Hdu borrowed = *load_hdu(o.file, k);
        EXPECT_EQ(owned->kind(), borrowed.kind()) << k;
        EXPECT_EQ(owned->header().bytes(), borrowed.header().bytes()) << k;
    }
    const Hdu image = *load_hdu_owned(o.file, 1);
    const auto& data = std::get<ImageHdu>(image.value).data;
    EXPECT_TRUE(data.is_owned());
    EXPECT_EQ(Bytes(data.span().begin(), data.span().end()), ramp(4));
    EXPECT_EQ(load_hdu_owned(o.file, 5).error().message(),
              "header: HDU index 5 out of range (len = 5)");
}

TEST(LoadTest, CheckLoadsAnswersAsTheLoadDoes) {
    // Headers the writer accepts but the reader refuses, beside ones it loads.
    Bytes content = hdu(primary_cards(8, {2}), ramp(2));
    append(content, hdu(bintable_cards({}), ramp(8)));
    append(content, hdu(bintable_cards({kv("THEAP", 2)}), ramp(8)));
    append(content, hdu(image_ext_cards(16, {2}), ramp(4)));
    const Opened o = open_content(content);
    for (std::size_t k = 0; k < o.file.len(); ++k) {
        const Header h = *o.file.header(k);
        const Result<void> checked = check_loads(h, k, *o.file.data_bytes(k));
        EXPECT_EQ(checked ? std::string("<loaded>") : checked.error().message(),
                  load_error(o.file, k))
            << k;
    }
    // The same table after an edit that widens its column beyond the row.
    Header wider = *o.file.header(1);
    ASSERT_TRUE(wider.set("TFORM1", Value::make_string("1K"), std::nullopt));
    const Result<void> refused = check_loads(wider, 1, *o.file.data_bytes(1));
    ASSERT_FALSE(refused);
    EXPECT_NE(refused.error().message().find("sum of TFORM widths (8) exceeds NAXIS1 (4)"),
              std::string::npos)
        << refused.error().message();
}

// A binary table none of whose cells can fail is built from its header alone, with the
// errors a load gives; every other HDU, a table with a column that can fail among them, is
// left to load_hdu. Nothing of the data is read either way.
TEST(LoadTest, UnreadTablesAreBuiltFromTheirHeaderAlone) {
    Bytes content = hdu(primary_cards(8, {2}), ramp(2));
    append(content, hdu(bintable_cards({}), ramp(8)));
    append(content, hdu(bintable_cards({kv("THEAP", 2)}), ramp(8)));
    append(content, hdu(image_ext_cards(16, {2}), ramp(4)));
    Bytes logical = hdu(bintable_cards({}), ramp(8));
    // The same table with an L column: its cells can fail.
    const std::string tform = kv("TFORM1", "'1J      '");
    const auto at = std::search(logical.begin(), logical.end(), tform.begin(), tform.end());
    ASSERT_NE(at, logical.end());
    const std::string lform = kv("TFORM1", "'4L      '");
    std::copy(lform.begin(), lform.end(), at);
    append(content, logical);
    append(content, hdu(bintable_cards({kv("ZIMAGE", "T"), kv("ZBITPIX", 16), kv("ZNAXIS", 1),
                                        kv("ZNAXIS1", 4), kv("ZCMPTYPE", "'GZIP_1'")}),
                        ramp(8)));
    const Opened o = open_content(content);
    const std::vector<bool> unread = {false, true, false, false, false, false};
    for (std::size_t k = 0; k < o.file.len(); ++k) {
        const Result<std::optional<BinTableHdu>> r =
            load_unread_bintable(o.file, k, *o.file.header(k));
        if (k == 2) {
            ASSERT_FALSE(r) << k;
            EXPECT_EQ(r.error().message(), load_error(o.file, k));
            continue;
        }
        ASSERT_TRUE(r) << k << ": " << r.error().message();
        EXPECT_EQ(r->has_value(), unread[k]) << k;
        if (*r) {
            EXPECT_EQ((*r)->data.size(), 0u);
            EXPECT_EQ((*r)->n_rows, 2u);
            EXPECT_EQ((*r)->row_size, 4u);
        }
        EXPECT_EQ(o.file.data_cache.get(k), nullptr) << k;
    }
    EXPECT_EQ(load_unread_bintable(o.file, 6, *o.file.header(1)).error().message(),
              "header: HDU index 6 out of range (len = 6)");
}

TEST(LoadTest, LoadImageOfRandomGroupsIsAMismatch) {
    const Opened o = open_content(hdu(groups_cards(3), ramp(36)));
    EXPECT_EQ(load_image(o.file, 0).error().message(),
              "expected HDU type `IMAGE or compressed-IMAGE`, found "
              "`RandomGroups(RandomGroupsHdu { header: Header { bytes: [83, 73, `");
}

TEST(LoadTest, IndexOutOfRange) {
    const Opened o = open_content(hdu(primary_cards(8, {})));
    const std::string want = "header: HDU index 1 out of range (len = 1)";
    EXPECT_EQ(o.file.header(1).error().message(), want);
    EXPECT_EQ(load_error(o.file, 1), want);
    EXPECT_EQ(load_image(o.file, 1).error().message(), want);
    const Result<Header> h = o.file.header(0);
    ASSERT_TRUE(h);
    EXPECT_EQ(h->naxis(), 0u);
}

TEST(LoadTest, MissingXtensionInALaterHdu) {
    // A record whose second header lacks XTENSION (the scan itself would refuse it).
    Bytes content = hdu(primary_cards(8, {}));
    const Bytes second = header_blocks({kv("BITPIX", 8), kv("NAXIS", 0)});
    append(content, second);
    const std::vector<DataSpan> spans = {{2880, 0}, {5760, 0}};
    const std::vector<Bytes> headers = {Bytes(content.begin(), content.begin() + 2880), second};
    const Result<FitsFile> f = FitsFile::from_scan(
        std::make_unique<const MemorySource>(Bytes(content)), spans, headers, true);
    ASSERT_TRUE(f);
    EXPECT_EQ(load_error(*f, 1), "missing mandatory keyword `XTENSION`");
}

TEST(LoadTest, LookupByExtnameAndExtver) {
    Bytes content = hdu(primary_cards(8, {}));
    const std::vector<std::vector<std::string>> exts = {
        {kv("EXTNAME", "'SCI'"), kv("EXTVER", "2.0")},  // 1: a real EXTVER counts as 1
        {kv("EXTNAME", "'SCI'"), kv("EXTVER", 2)},      // 2
        {kv("EXTNAME", "'SCI'"), kv("EXTVER", 3)},      // 3
        {kv("EXTNAME", "'ERR'")},                       // 4
    };
    for (std::size_t i = 0; i < exts.size(); ++i) {
        std::vector<std::string> c = image_ext_cards(8, {i + 1});
        for (const std::string& e : exts[i])
            c.push_back(e);
        append(content, hdu(c, ramp(i + 1)));
    }
    const Opened o = open_content(content);
    auto axis_of = [&](std::string_view name, std::optional<std::int64_t> ver) -> std::string {
        const Result<Hdu> r = hdu_by_extname(o.file, name, ver);
        if (!r) return r.error().message();
        return std::to_string(std::get<ImageHdu>(r->value).axes.at(0));
    };
    EXPECT_EQ(axis_of("SCI", std::nullopt), "1");
    EXPECT_EQ(axis_of("SCI", 1), "1");
    EXPECT_EQ(axis_of("SCI", 2), "2");
    EXPECT_EQ(axis_of("SCI", 3), "3");
    EXPECT_EQ(axis_of("ERR", 1), "4");
    EXPECT_EQ(axis_of("SCI", 4), "header: no HDU with EXTNAME = `SCI` and EXTVER = 4");
    EXPECT_EQ(axis_of("sci", std::nullopt), "header: no HDU with EXTNAME = `sci`");
    EXPECT_EQ(axis_of("SCI ", std::nullopt), "header: no HDU with EXTNAME = `SCI `");
    EXPECT_EQ(axis_of("NONE", -1), "header: no HDU with EXTNAME = `NONE` and EXTVER = -1");
}

// The name and version an HDU object is looked up by: the name exactly as text, the version
// 1 when absent or not a number, a logical one counting as 1 or 0.
TEST(LoadTest, ExtnameMatchRule) {
    struct Case {
        std::vector<std::string> cards;
        std::string_view name;
        std::optional<std::int64_t> ver;
        bool matches;
    };
    const std::string sci = kv("EXTNAME", "'SCI'");
    const Case cases[] = {
        {{sci}, "SCI", std::nullopt, true},
        {{sci}, "SCI", 1, true},  // no EXTVER counts as 1
        {{sci}, "SCI", 2, false},
        {{sci}, "sci", std::nullopt, false},  // case-sensitive
        {{sci}, "SCI ", std::nullopt, false},
        {{kv("EXTNAME", "'SCI     '")}, "SCI", std::nullopt, true},  // trailing blanks
        {{kv("EXTNAME", "'  SCI'")}, "SCI", std::nullopt, false},    // leading blanks count
        {{}, "", std::nullopt, false},                               // no EXTNAME at all
        {{kv("EXTNAME", 7)}, "7", std::nullopt, false},              // not a string
        {{sci, kv("EXTVER", 2)}, "SCI", 2, true},
        {{sci, kv("EXTVER", 2)}, "SCI", 1, false},
        {{sci, kv("EXTVER", -3)}, "SCI", -3, true},
        {{sci, kv("EXTVER", "2.0")}, "SCI", 2, false},  // a real is no version: 1
        {{sci, kv("EXTVER", "2.0")}, "SCI", 1, true},
        {{sci, kv("EXTVER", "'2'")}, "SCI", 1, true},  // nor is a string
        {{sci, kv("EXTVER", "T")}, "SCI", 1, true},
        {{sci, kv("EXTVER", "F")}, "SCI", 0, true},
        {{sci, kv("EXTVER", "F")}, "SCI", 1, false},
        {{sci, kv("EXTVER", 4), kv("EXTVER", 5)}, "SCI", 4, true},  // the first card
        {{sci, kv("EXTNAME", "'ERR'")}, "ERR", std::nullopt, false},
    };
    for (const Case& c : cases) {
        std::string text;
        for (const std::string& card : c.cards)
            text += card;
        const Result<Header> h = Header::parse_text(text, false);
        ASSERT_TRUE(h) << h.error().message();
        EXPECT_EQ(matches_extname(*h, c.name, c.ver), c.matches)
            << text << " / " << c.name << " / " << c.ver.value_or(-99);
    }

    const Result<Header> plain = Header::parse_text(kv("EXTVER", 9), false);
    ASSERT_TRUE(plain);
    EXPECT_EQ(lookup_extname(*plain), std::nullopt);
    EXPECT_EQ(lookup_extver(*plain), 9);
}

}  // namespace
}  // namespace vexlo
