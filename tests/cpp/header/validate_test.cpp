#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "header/header.hpp"
#include "header/validate.hpp"
#include "header_fixture.hpp"

namespace vexlo {
namespace {

using testing::header_of;
using testing::kv;

// "W KEY: message" or "E KEY: message", one per finding, with "+fix" when a fix is offered.
std::vector<std::string> findings(const Header& h) {
    std::vector<std::string> out;
    for (const ValidationIssue& i : h.validate(false).issues) {
        out.push_back(std::string(i.severity == Severity::Error ? "E " : "W ") + i.keyword + ": " +
                      i.message + (i.fix ? " +fix" : ""));
    }
    return out;
}

const std::vector<std::string> kPrimary = {kv("SIMPLE", "T"), kv("BITPIX", "8"), kv("NAXIS", "0")};

std::vector<std::string> primary_with(std::vector<std::string> extra) {
    std::vector<std::string> cards = kPrimary;
    cards.insert(cards.end(), extra.begin(), extra.end());
    return cards;
}

TEST(Validate, CleanHeadersHaveNoFindings) {
    EXPECT_TRUE(findings(Header()).empty());
    EXPECT_TRUE(findings(header_of(kPrimary)).empty());
    EXPECT_TRUE(findings(header_of({"COMMENT first", "HISTORY x", kv("SIMPLE", "T"),
                                    kv("BITPIX", "8"), kv("NAXIS", "0")}))
                    .empty());
}

TEST(Validate, MandatoryOrderAxesAndBlank) {
    EXPECT_EQ(findings(header_of({kv("BITPIX", "8"), kv("SIMPLE", "T"), kv("NAXIS", "0")})),
              (std::vector<std::string>{
                  "E BITPIX: first value keyword must be SIMPLE or XTENSION, found 'BITPIX' "
                  "(FITS Standard Sec.4.4.1.1)",
                  "E BITPIX: second value keyword must be BITPIX, found 'SIMPLE' (FITS Standard "
                  "Sec.4.4.1.1)"}));
    EXPECT_EQ(findings(header_of({kv("SIMPLE", "T"), kv("NAXIS", "0")})),
              (std::vector<std::string>{"E BITPIX: second value keyword must be BITPIX, found "
                                        "'NAXIS' (FITS Standard Sec.4.4.1.1)"}));
    const Header h = header_of({kv("SIMPLE", "T"), kv("BITPIX", "-32"), kv("NAXIS", "2"),
                                kv("NAXIS1", "10"), kv("BLANK", "0")});
    EXPECT_EQ(findings(h),
              (std::vector<std::string>{
                  "E NAXIS2: NAXIS2 is absent but NAXIS=2",
                  "W BLANK: BLANK is undefined for floating-point images (BITPIX=-32); use IEEE "
                  "NaN for undefined pixels (FITS Standard Sec.4.4.2.4) +fix",
                  "W OBJECT: OBJECT is absent; recommended for image HDUs",
                  "W TELESCOP: TELESCOP is absent; recommended for image HDUs",
                  "W INSTRUME: INSTRUME is absent; recommended for image HDUs",
                  "W DATE-OBS: DATE-OBS is absent; recommended for image HDUs",
                  "W EXPTIME: EXPTIME is absent; recommended for image HDUs",
              }));
    const ValidationReport fixed = h.validate(true);
    EXPECT_FALSE(fixed.header.contains("BLANK"));
    EXPECT_TRUE(h.contains("BLANK"));
    EXPECT_EQ(h.validate(false).header.bytes(), h.bytes());
    // BLANK with integer data of every width, or with no readable BITPIX, is left alone.
    for (const char* bitpix : {"8", "16", "32", "64"}) {
        EXPECT_TRUE(findings(header_of({kv("SIMPLE", "T"), kv("BITPIX", bitpix), kv("NAXIS", "0"),
                                        kv("BLANK", "255")}))
                        .empty())
            << bitpix;
    }
}

TEST(Validate, ExtensionCounts) {
    auto ext = [](const char* xtension, std::vector<std::string> extra) {
        std::vector<std::string> cards = {kv("XTENSION", xtension), kv("BITPIX", "8"),
                                          kv("NAXIS", "0")};
        cards.insert(cards.end(), extra.begin(), extra.end());
        return findings(header_of(cards));
    };
    EXPECT_EQ(ext("'IMAGE'", {kv("PCOUNT", "0")}),
              (std::vector<std::string>{"E GCOUNT: GCOUNT is absent; must be 1 for IMAGE "
                                        "extensions (FITS Standard Sec.7.1)"}));
    EXPECT_EQ(ext("'IMAGE   '", {kv("PCOUNT", "3"), kv("GCOUNT", "1.0")}),
              (std::vector<std::string>{"E PCOUNT: PCOUNT must be 0 for IMAGE extensions, "
                                        "found 3 (FITS Standard Sec.7.1)"}));
    EXPECT_EQ(ext("'BINTABLE'", {kv("PCOUNT", "7"), kv("GCOUNT", "2")}),
              (std::vector<std::string>{"E GCOUNT: GCOUNT must be 1 for BINTABLE extensions, "
                                        "found 2 (FITS Standard Sec.7.1)"}));
    EXPECT_TRUE(ext("'TABLE'", {kv("PCOUNT", "5"), kv("GCOUNT", "1")}).empty());
    EXPECT_TRUE(ext("'A3DTABLE'", {}).empty());
    EXPECT_TRUE(ext("'image'", {}).empty());
}

TEST(Validate, DeprecatedKeywordsAndTheirFixes) {
    const Header epoch = header_of(primary_with({kv("EPOCH", "2000.0 / equinox of coords")}));
    EXPECT_EQ(findings(epoch), (std::vector<std::string>{"W EPOCH: EPOCH is deprecated; use "
                                                         "EQUINOX (WCS Paper I, Sec.2.4) +fix"}));
    const Header renamed = epoch.validate(true).header;
    EXPECT_FALSE(renamed.contains("EPOCH"));
    EXPECT_EQ(renamed.get_f64("EQUINOX"), 2000.0);
    EXPECT_EQ(renamed.get("EQUINOX")->comment(), "equinox of coords");
    EXPECT_TRUE(epoch.contains("EPOCH"));

    const Header both = header_of(
        primary_with({kv("EPOCH", "2000.0"), kv("EQUINOX", "1950.0"), kv("RADECSYS", "'FK5'")}));
    EXPECT_EQ(findings(both),
              (std::vector<std::string>{
                  "W EPOCH: both EPOCH and EQUINOX are present; EQUINOX takes precedence  -  "
                  "remove EPOCH +fix",
                  "W RADECSYS: RADECSYS is deprecated; use RADESYS (WCS Paper I, Sec.3.1) +fix"}));
    const Header fixed = both.validate(true).header;
    EXPECT_FALSE(fixed.contains("EPOCH"));
    EXPECT_EQ(fixed.get_f64("EQUINOX"), 1950.0);
    EXPECT_EQ(fixed.get_str("RADESYS"), "FK5");
    EXPECT_FALSE(fixed.contains("RADECSYS"));

    const Header rot =
        header_of(primary_with({kv("CROTA2", "1"), kv("CROTA", "1"), kv("CROTA2A", "1"),
                                kv("CROTA2", "2"), "CROTA1  this one is commentary"}));
    // Cards of any kind count, commentary included; CROTA alone and CROTA2A do not.
    const std::string rotation =
        " is a deprecated rotation keyword; migrate to the PCi_j matrix "
        "(WCS Paper I, Sec.6.1)";
    EXPECT_EQ(findings(rot), (std::vector<std::string>{"W CROTA2: CROTA2" + rotation,
                                                       "W CROTA2: CROTA2" + rotation,
                                                       "W CROTA1: CROTA1" + rotation}));
}

TEST(Validate, OldDateFormIsAlwaysTwentiethCentury) {
    const std::string tail =
        "' uses the deprecated DD/MM/YY format; ISO 8601 YYYY-MM-DD is "
        "required (FITS Standard Sec.4.4.2.1)";
    struct Case {
        const char* value;
        std::optional<std::string> fixed;  // none: a finding without a fix
    };
    const Case cases[] = {
        {"'31/12/99'", "1999-12-31"}, {"'01/01/69'", "1969-01-01"},
        {"'01/01/00'", "1900-01-01"}, {"'01/01/70'", "1970-01-01"},
        {"'29/02/96'", "1996-02-29"}, {"'29/02/00'", std::nullopt},  // 1900 was no leap year
        {"'45/13/99'", std::nullopt}, {"'00/12/99'", std::nullopt},
        {"'31/04/99'", std::nullopt}, {"'15/00/99'", std::nullopt},
    };
    for (const Case& c : cases) {
        const Header h = header_of(primary_with({kv("DATE-OBS", c.value)}));
        const std::string text = std::string(c.value).substr(1, 8);
        const ValidationReport r = h.validate(true);
        ASSERT_EQ(r.issues.size(), 1u) << c.value;
        EXPECT_EQ(r.issues[0].message, "DATE-OBS '" + text + tail);
        EXPECT_EQ(r.issues[0].keyword, "DATE-OBS");
        EXPECT_EQ(r.issues[0].severity, Severity::Warning);
        EXPECT_EQ(r.header.get_str("DATE-OBS"), c.fixed.value_or(text)) << c.value;
    }
    for (const char* quiet : {"'2020-01-01'", "'1/1/99'", "'31-12-99'", "'31/12/9x'", "31"}) {
        EXPECT_TRUE(findings(header_of(primary_with({kv("DATE-OBS", quiet)}))).empty()) << quiet;
    }
}

// The date is found under its underscore spelling too; the fix rewrites that card in its
// place under the standard keyword, with its comment, instead of adding a second date.
TEST(Validate, DateFixRewritesTheCardItFound) {
    const Header h = header_of(
        primary_with({kv("DATE_OBS", "'31/12/99' / start of exposure"), kv("OBJECT", "'M31'")}));
    const ValidationReport r = h.validate(true);
    ASSERT_EQ(r.issues.size(), 1u);
    EXPECT_EQ(r.issues[0].keyword, "DATE-OBS");
    const std::vector<std::string> keys = r.header.keywords();
    EXPECT_EQ(keys, (std::vector<std::string>{"SIMPLE", "BITPIX", "NAXIS", "DATE-OBS", "OBJECT"}));
    EXPECT_EQ(r.header.get_str("DATE-OBS"), "1999-12-31");
    EXPECT_EQ(r.header.get("DATE-OBS")->comment(), "start of exposure");

    // With both spellings present the standard card is the one found and fixed.
    const Header both =
        header_of(primary_with({kv("DATE_OBS", "'2001-01-01'"), kv("DATE-OBS", "'31/12/99'")}));
    const ValidationReport r2 = both.validate(true);
    EXPECT_EQ(r2.header.get_str("DATE-OBS"), "1999-12-31");
    EXPECT_EQ(r2.header.keywords(),
              (std::vector<std::string>{"SIMPLE", "BITPIX", "NAXIS", "DATE_OBS", "DATE-OBS"}));
    EXPECT_EQ(r2.header.get_str("DATE_OBS"), "2001-01-01");
}

TEST(Validate, ExptimeAndRecommendedKeywords) {
    EXPECT_EQ(findings(header_of(primary_with({kv("EXPTIME", "'12.5'")}))),
              (std::vector<std::string>{
                  "E EXPTIME: EXPTIME has string value '12.5'; expected a numeric value "
                  "(seconds)"}));
    const Header table = header_of(
        {kv("XTENSION", "'BINTABLE'"), kv("BITPIX", "8"), kv("NAXIS", "2"), kv("NAXIS1", "4"),
         kv("NAXIS2", "1"), kv("PCOUNT", "0"), kv("GCOUNT", "1"), kv("TELESCOP", "'x'"),
         kv("INSTRUME", "'y'"), kv("DATE_OBS", "'2020-01-01'"), kv("EXPTIME", "1")});
    EXPECT_EQ(findings(table),
              (std::vector<std::string>{"W OBJECT: OBJECT is absent; recommended for image HDUs"}));
}

}  // namespace
}  // namespace vexlo
