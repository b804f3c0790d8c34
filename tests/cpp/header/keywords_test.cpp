#include <gtest/gtest.h>

#include "header/header.hpp"
#include "header_fixture.hpp"

namespace vexlo {
namespace {

using testing::header_of;
using testing::kv;

TEST(KeywordClasses, Reserved) {
    const std::vector<std::pair<const char*, bool>> cases = {
        {"SIMPLE", true},   {"BITPIX", true},   {"NAXIS", true},    {"EXTEND", true},
        {"PCOUNT", true},   {"GCOUNT", true},   {"GROUPS", true},   {"TFIELDS", true},
        {"XTENSION", true}, {"END", true},      {"CHECKSUM", true}, {"DATASUM", true},
        {"NAXIS3", true},   {"NAXIS999", true}, {"NAXIS0", true},   {"NAXIS12345", true},
        {"NAXISA", false},  {"NAXIS3A", false}, {"naxis", false},   {"NAXIS ", false},
        {" NAXIS", false},  {"EXTNAME", false}, {"BSCALE", false},  {"BLANK", false},
        {"", false},        {"NAXIS-1", false}, {"SIMPLEX", false}, {"ZNAXIS1", false},
    };
    for (const auto& [keyword, reserved] : cases) {
        EXPECT_EQ(is_reserved_keyword(keyword), reserved) << '"' << keyword << '"';
    }
}

TEST(KeywordClasses, Structural) {
    const std::vector<std::pair<const char*, bool>> cases = {
        {"END", true},      {"SIMPLE", true},     {"BITPIX", true},   {"EXTEND", true},
        {"PCOUNT", true},   {"GCOUNT", true},     {"GROUPS", true},   {"XTENSION", true},
        {"NAXIS", true},    {"NAXIS1", true},     {"NAXIS999", true}, {" NAXIS2 ", true},
        {"\tBITPIX", true}, {"NAXIS1000", false}, {"NAXIS0", true},   {"naxis1", false},
        {"NAXISA", false},  {"NAXIS-1", false},   {"TFIELDS", false}, {"CHECKSUM", false},
        {"DATASUM", false}, {"EXTNAME", false},   {"", false},        {"SIMPLEX", false},
    };
    for (const auto& [keyword, structural] : cases) {
        EXPECT_EQ(is_structural_keyword(keyword), structural) << '"' << keyword << '"';
    }
}

TEST(KeywordClasses, TileTable) {
    const std::vector<std::pair<const char*, bool>> cases = {
        {"ZIMAGE", true},    {"ZCMPTYPE", true},   {"ZBITPIX", true},  {"ZNAXIS", true},
        {"ZQUANTIZ", true},  {"ZDITHER0", true},   {"ZSCALE", true},   {"ZZERO", true},
        {"ZBLANK", true},    {"ZMASKCMP", true},   {"ZSIMPLE", true},  {"ZTENSION", true},
        {"ZEXTEND", true},   {"ZBLOCKED", true},   {"ZPCOUNT", true},  {"ZGCOUNT", true},
        {"ZHECKSUM", true},  {"ZDATASUM", true},   {"TFIELDS", true},  {"THEAP", true},
        {"ZNAXIS2", true},   {"ZTILE1", true},     {"ZNAME12", true},  {"ZVAL3", true},
        {"TTYPE1", true},    {"TFORM2", true},     {"TUNIT3", true},   {"TDIM10", true},
        {"TSCAL1", true},    {"TZERO1", true},     {"TNULL1", true},   {"TDISP1", true},
        {"TBCOL1", true},    {"TCTYP2", true},     {"TCUNI2", true},   {"TCRPX2", true},
        {"TCRVL2", true},    {"TCDLT2", true},     {"TRPOS2", true},   {"TTYPE999", true},
        {"ZTILE", false},    {"ZVAL", false},      {"TTYPE", false},   {"TTYPE1A", false},
        {"TCTYPE2", false},  {"ZNAME", false},     {"ttype1", false},  {"TTYPE 1", false},
        {"ZDITHER1", false}, {"ZQUANTIZ1", false}, {"TNULL-1", false}, {"NAXIS1", false},
        {"BITPIX", false},   {"", false},          {"Z", false},       {"ZIMAGE ", false},
    };
    for (const auto& [keyword, tile] : cases) {
        EXPECT_EQ(is_tile_table_keyword(keyword), tile) << '"' << keyword << '"';
    }
}

TEST(KeywordClasses, TileTableKeywordsOfAHeader) {
    Header h = header_of({
        kv("SIMPLE", "T"),
        kv("ZTILE1", "100"),
        "COMMENT   ZTILE2 is mentioned here",
        "ZTILE3   no value indicator",
        kv("ttype1", "'lower'"),
        kv("ZTILE1", "200"),
        kv("OBJECT", "'x'"),
        "CONTINUE  'y'",
        kv("THEAP", "0"),
    });
    EXPECT_EQ(h.tile_table_keywords(),
              (std::vector<std::string>{"ZTILE1", "TTYPE1", "ZTILE1", "THEAP"}));
    EXPECT_TRUE(header_of({"COMMENT   ZIMAGE"}).tile_table_keywords().empty());
    EXPECT_TRUE(Header().tile_table_keywords().empty());
}

}  // namespace
}  // namespace vexlo
