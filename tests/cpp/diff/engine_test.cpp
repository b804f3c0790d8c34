#include "diff/engine.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "diff_fixture.hpp"

namespace vexlo {
namespace {

using namespace diff_test;

constexpr double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::nan("");

TEST(ValuesClose, ToleranceRule) {
    struct Case {
        double a, b, rtol, atol;
        bool close;
    };
    const Case cases[] = {
        {1.0, 1.0, 0.0, 0.0, true},
        {0.0, -0.0, 0.0, 0.0, true},
        {kNaN, kNaN, 0.0, 0.0, true},
        {kNaN, 1.0, 1e300, 1e300, false},
        {kInf, kInf, 0.0, 0.0, true},
        {kInf, -kInf, 1.0, 1.0, false},
        {kInf, 1.0, 1e300, 1e300, false},
        {1.0, 1.0000001, 0.0, 0.0, false},
        {1.0, 1.0000001, 1e-6, 0.0, true},
        // The tolerance is relative to b, the value of the second file.
        {100.0, 110.0, 0.095, 0.0, true},
        {110.0, 100.0, 0.095, 0.0, false},
        {1.0, 1.5, 0.0, 0.5, true},
        {1.0, 1.5, 0.0, 0.49, false},
        // Negative tolerances are used as given.
        {1.0, 1.0, -1.0, 0.0, true},
        {1.0, 1.1, -1.0, 5.0, true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(values_close(c.a, c.b, c.rtol, c.atol), c.close)
            << c.a << " " << c.b << " " << c.rtol << " " << c.atol;
    }
}

TEST(HeaderValues, EqualityAndText) {
    struct Case {
        Value a, b;
        bool equal;
        std::string text_a, text_b;
    };
    const std::vector<Case> cases = {
        {Value::make_integer(1), Value::make_real(1.0), false, "1", "1"},
        {Value::make_real(1e20), Value::make_real(1e-7), false, "100000000000000000000",
         "0.0000001"},
        {Value::make_real(-0.0), Value::make_real(0.0), true, "-0", "0"},
        {Value::make_real(kNaN), Value::make_real(kNaN), true, "NaN", "NaN"},
        {Value::make_real(kInf), Value::make_real(-kInf), false, "inf", "-inf"},
        {Value::make_logical(true), Value::make_logical(false), false, "T", "F"},
        {Value::make_string("abc   "), Value::make_string("abc"), true, R"("abc   ")", R"("abc")"},
        {Value::make_string("ABC"), Value::make_string("abc"), false, R"("ABC")", R"("abc")"},
        {Value::make_string("a\"b\\\t"), Value::make_string(""), false, R"("a\"b\\\t")", R"("")"},
        {Value::make_unparsed("12ab"), Value::make_string("12ab"), false, R"("12ab")", R"("12ab")"},
        {Value::make_unparsed("x "), Value::make_unparsed("x"), false, R"("x ")", R"("x")"},
        {Value::make_undefined(), Value::make_undefined(), true, "<undefined>", "<undefined>"},
        {Value::make_complex_integer(1, -2), Value::make_complex_integer(1, 2), false, "(1, -2)",
         "(1, 2)"},
        {Value::make_complex_real(1.5, 0.1), Value::make_complex_real(1.5, 0.1), true, "(1.5, 0.1)",
         "(1.5, 0.1)"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(header_values_equal(c.a, c.b, 0.0, 0.0), c.equal) << c.text_a;
        EXPECT_EQ(header_value_text(c.a), c.text_a);
        EXPECT_EQ(header_value_text(c.b), c.text_b);
    }
    EXPECT_TRUE(header_values_equal(Value::make_complex_real(1.0, 1.0),
                                    Value::make_complex_real(1.0, 1.0000001), 1e-6, 0.0));
    EXPECT_FALSE(header_values_equal(Value::make_complex_real(1.0, 1.0),
                                     Value::make_complex_real(1.0000001, 1.0), 1e-8, 0.0));
}

// An integer card too wide for 64 bits reads as a Real keeping its digits: compared and shown
// by its exact value, and never equal to a real card.
TEST(HeaderValues, IntegersBeyondSixtyFourBitsByExactValue) {
    const auto parsed = [](const char* text) {
        Result<Value> v = parse_value(text, "K");
        EXPECT_TRUE(v.has_value()) << text;
        return v ? *v : Value();
    };
    struct Case {
        const char *a, *b;
        bool equal;
        std::string text_a, text_b;
    };
    const std::vector<Case> cases = {
        {"123456789012345678901", "123456789012345678902", false, "123456789012345678901",
         "123456789012345678902"},
        {"123456789012345678901", "+000123456789012345678901", true, "123456789012345678901",
         "123456789012345678901"},
        {"-99999999999999999999", "-99999999999999999999", true, "-99999999999999999999",
         "-99999999999999999999"},
        {"123456789012345678901", "1.2345678901234568E20", false, "123456789012345678901",
         "123456789012345680000"},
    };
    for (const Case& c : cases) {
        const Value a = parsed(c.a);
        const Value b = parsed(c.b);
        // Tolerances do not make different integers equal.
        EXPECT_EQ(header_values_equal(a, b, 1e-6, 1.0), c.equal) << c.a << " " << c.b;
        EXPECT_EQ(header_value_text(a), c.text_a);
        EXPECT_EQ(header_value_text(b), c.text_b);
    }
}

std::string changed(const HeaderDiff& d) {
    if (const auto* c = std::get_if<HeaderDiff::Changed>(&d.value)) {
        return c->keyword + " " + c->a + " " + c->b;
    }
    if (const auto* a = std::get_if<HeaderDiff::OnlyInA>(&d.value)) return a->keyword + " <a";
    return std::get<HeaderDiff::OnlyInB>(d.value).keyword + " >b";
}

TEST(DiffHeaders, OrderIgnoredKeywordsAndFirstCardWins) {
    const Header a = header_of({kv("OBJECT", "'M31'"), kv("EXPTIME", "10.0"), kv("DATE", "'2020'"),
                                kv("DATE-OBS", "'2020'"), kv("ONLYA", 1), kv("DUP", 1),
                                kv("DUP", 2), "COMMENT only commentary", kv("INTVAL", 1),
                                kv("STR", "'abc   '"), kv("CASE", "'ABC'"), kv("Low", 1)});
    const Header b =
        header_of({kv("OBJECT", "'M33'"), kv("EXPTIME", "12.0"), kv("DATE", "'2021'"),
                   kv("DATE-OBS", "'2021'"), kv("DUP", 1), "COMMENT other commentary",
                   kv("INTVAL", "1.0"), kv("STR", "'abc'"), kv("CASE", "'abc'"), kv("ONLYB", "T")});
    DiffOptions o;
    o.ignore_keywords = {"date"};
    std::vector<std::string> got;
    for (const HeaderDiff& d : diff_headers(a, b, o))
        got.push_back(changed(d));
    // The lenient parser repairs the lower-case keyword, as every reader sees it.
    const std::vector<std::string> want = {
        R"(CASE "ABC" "abc")",
        R"(DATE-OBS "2020" "2021")",
        "EXPTIME 10 12",
        "INTVAL 1 1",
        "LOW <a",
        R"(OBJECT "M31" "M33")",
        "ONLYA <a",
        "ONLYB >b",
    };
    EXPECT_EQ(got, want);

    // The defaults ignore DATE; an empty list ignores nothing.
    DiffOptions defaults;
    EXPECT_EQ(diff_headers(a, b, defaults).size(), want.size() + 0);
    DiffOptions nothing;
    nothing.ignore_keywords.clear();
    EXPECT_EQ(diff_headers(a, b, nothing).size(), want.size() + 1);
    EXPECT_EQ(ignore_keyword_set({"date", "Date", "éx"}),
              (std::set<std::string, std::less<>>{"DATE", "éX"}));
}

TEST(DiffHeaders, RealsUnderTolerance) {
    const Header a = header_of({kv("X", "1.0")});
    const Header b = header_of({kv("X", "1.0000001")});
    DiffOptions o;
    const auto exact = diff_headers(a, b, o);
    ASSERT_EQ(exact.size(), 1u);
    EXPECT_EQ(changed(exact[0]), "X 1 1.0000001");
    o.rtol = 1e-6;
    EXPECT_TRUE(diff_headers(a, b, o).empty());
}

// ---------------------------------------------------------------- whole files

Bytes primary_image(std::vector<std::string> extra = {}, Bytes pixels = Bytes(4, 0)) {
    std::vector<std::string> cards = primary_cards(8, {pixels.size()});
    cards.insert(cards.end(), extra.begin(), extra.end());
    return hdu(cards, pixels);
}

Bytes image_ext() {
    return hdu(image_ext_cards(16, {2}), be_i16({1, 2}));
}

Bytes table_ext(std::string tform = "'1J'") {
    return hdu(
        bintable_cards(4, 2, 0, {kv("TFIELDS", 1), kv("TTYPE1", "'N'"), kv("TFORM1", tform)}),
        be_i32({1, 2}));
}

Bytes join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        append(out, p);
    return out;
}

TEST(DiffFiles, FileAgainstItselfIsIdentical) {
    // A value lenient parsing keeps as raw text compares equal to itself.
    const TempFile f(join({primary_image({kv("ODD", "12ab"), kv("DATE", "'x'")}), table_ext()}));
    const Result<FitsDiff> d = diff_files(f.path(), f.path(), DiffOptions{});
    ASSERT_TRUE(d.has_value()) << d.error().message();
    EXPECT_TRUE(d->identical());
    EXPECT_EQ(d->n_a, 2u);
    ASSERT_EQ(d->entries.size(), 2u);
    EXPECT_TRUE(d->differing_indices().empty());
    EXPECT_EQ(d->options.max_diffs, 10u);
}

TEST(DiffFiles, PairsHdusByPositionAndStopsAtTheShorterFile) {
    const TempFile three(join({primary_image(), image_ext(), table_ext()}));
    const TempFile two(join({primary_image(), table_ext()}));
    const Result<FitsDiff> d = diff_files(three.path(), two.path(), DiffOptions{});
    ASSERT_TRUE(d.has_value()) << d.error().message();
    EXPECT_EQ(d->n_a, 3u);
    EXPECT_EQ(d->n_b, 2u);
    ASSERT_EQ(d->entries.size(), 2u);
    EXPECT_FALSE(d->entries[0].differs());
    // Kinds differ: neither headers nor data are compared.
    const HduDiff& e = d->entries[1];
    ASSERT_TRUE(e.kind_mismatch.has_value());
    EXPECT_EQ(*e.kind_mismatch, (std::pair<std::string, std::string>("IMAGE", "BINTABLE")));
    EXPECT_TRUE(e.header_diffs.empty());
    EXPECT_TRUE(e.data_diffs.empty());
    EXPECT_FALSE(d->identical());
    EXPECT_EQ(d->differing_indices(), (std::vector<std::uint64_t>{1}));

    // Equal first HDUs, unequal counts: nothing differs, yet the files are not identical.
    const TempFile one(primary_image());
    const Result<FitsDiff> g = diff_files(one.path(), two.path(), DiffOptions{});
    ASSERT_TRUE(g.has_value());
    EXPECT_EQ(g->differing_count(), 0u);
    EXPECT_FALSE(g->identical());
}

TEST(DiffFiles, CountedButUnstoredDataDifferencesStillDiffer) {
    const TempFile a(primary_image({}, Bytes{1, 2, 3, 4}));
    const TempFile b(primary_image({}, Bytes{1, 9, 3, 9}));
    DiffOptions o;
    o.max_diffs = 0;
    const Result<FitsDiff> d = diff_files(a.path(), b.path(), o);
    ASSERT_TRUE(d.has_value()) << d.error().message();
    ASSERT_EQ(d->entries.size(), 1u);
    EXPECT_EQ(d->entries[0].data_total, 2u);
    EXPECT_TRUE(d->entries[0].data_diffs.empty());
    EXPECT_TRUE(d->entries[0].differs());
    EXPECT_FALSE(d->identical());
    EXPECT_EQ(d->differing_indices(), (std::vector<std::uint64_t>{0}));
}

// Images are streamed from the files in chunks; differences on both sides of a chunk edge
// are found in pixel order, whether or not the two files store the same type.
TEST(DiffFiles, StreamedImagesAcrossChunks) {
    const std::size_t n = 300000;
    const std::vector<std::size_t> changed = {0, 262143, 262144, 299999};
    Bytes bytes_a(n), bytes_b(n);
    std::vector<std::int16_t> wide(n);
    for (std::size_t i = 0; i < n; ++i) {
        bytes_a[i] = bytes_b[i] = static_cast<std::uint8_t>(i % 251);
        wide[i] = static_cast<std::int16_t>(i % 251);
    }
    for (const std::size_t i : changed) {
        bytes_b[i] = 255;
        wide[i] = 300;
    }
    const TempFile a(hdu(primary_cards(8, {n}), bytes_a));
    const TempFile b(hdu(primary_cards(8, {n}), bytes_b));
    const TempFile c(hdu(primary_cards(16, {n}), be_i16(wide)));
    DiffOptions o;
    o.max_diffs = 100;
    for (const auto& [other, text] : {std::pair(&b, "255"), std::pair(&c, "300")}) {
        const Result<FitsDiff> d = diff_files(a.path(), other->path(), o);
        ASSERT_TRUE(d.has_value()) << d.error().message();
        const HduDiff& e = d->entries[0];
        ASSERT_EQ(e.data_total, changed.size()) << text;
        for (std::size_t k = 0; k < changed.size(); ++k) {
            expect_diff(e.data_diffs[k], std::nullopt, changed[k], std::to_string(changed[k] % 251),
                        text);
        }
    }
}

TEST(DiffFiles, SameBytesOfAnotherPixelTypeAreDifferentValues) {
    // 1.0f and the 32-bit integer 1065353216 share their bytes.
    const Bytes ones = be_f32({1.0f, 1.0f});
    const TempFile a(hdu(primary_cards(-32, {2}), ones));
    const TempFile b(hdu(primary_cards(32, {2}), ones));
    const Result<FitsDiff> d = diff_files(a.path(), b.path(), DiffOptions{});
    ASSERT_TRUE(d.has_value()) << d.error().message();
    const HduDiff& e = d->entries[0];
    ASSERT_EQ(e.data_total, 2u);
    expect_diff(e.data_diffs[0], std::nullopt, 0, "1", "1065353216");
    ASSERT_EQ(compare_images(image(-32, {2}, ones), image(32, {2}, ones)).total, 2u);
}

TEST(ErrorInFile, PutsThePathInFrontOfEveryKindOfError) {
    struct Case {
        Error error;
        std::string text;
    };
    const std::vector<Case> cases = {
        {Error::io("gone"), "i/o error: f.fits: gone"},
        {Error::block(2880, "bad"), "block at byte 2880: f.fits: bad"},
        {Error::value("NAXIS", "bad"), "value for keyword `NAXIS`: f.fits: bad"},
        {Error::missing_mandatory("XTENSION"),
         "header: f.fits: missing mandatory keyword `XTENSION`"},
        {Error::end_card_misplaced(80), "header: f.fits: END card misplaced (block at byte 80)"},
        {Error::in_hdu(2, Error::data("bad")), "in HDU 2: data: f.fits: bad"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(error_in_file(c.error, "f.fits").message(), c.text);
}

TEST(DiffFiles, FailuresNameTheFile) {
    const TempFile good(join({primary_image(), table_ext()}));
    const TempFile bad_table(join({primary_image(), table_ext("'1Z'")}));
    const TempFile not_fits(Bytes(2880, 'x'));
    const std::string missing = good.path() + ".missing";

    struct Case {
        std::string a, b, named;
        Error::Kind kind;
        std::string starts;
    };
    const std::vector<Case> cases = {
        {missing, good.path(), missing, Error::Kind::Io, "i/o error: "},
        {good.path(), missing, missing, Error::Kind::Io, "i/o error: "},
        // HDU 0 compares cleanly, HDU 1 of b cannot be loaded: no partial result.
        {good.path(), bad_table.path(), bad_table.path(), Error::Kind::Value, "value for keyword"},
        {not_fits.path(), good.path(), not_fits.path(), Error::Kind::Block, "block at byte "},
    };
    for (const Case& c : cases) {
        const Result<FitsDiff> d = diff_files(c.a, c.b, DiffOptions{});
        ASSERT_FALSE(d.has_value()) << c.named;
        const std::string msg = d.error().message();
        EXPECT_EQ(d.error().kind, c.kind) << msg;
        EXPECT_TRUE(msg.starts_with(c.starts)) << msg;
        EXPECT_NE(msg.find(c.named + ": "), std::string::npos) << msg;
    }
}

}  // namespace
}  // namespace vexlo
