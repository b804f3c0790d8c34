#include "hdu/bin_format.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vexlo {
namespace {

// Every kind's letter, name and element size come from one row: the letter reads back as the
// kind (either case), and a field of r elements is r element sizes wide, except X (bits) and
// P/Q (one descriptor whatever r).
TEST(BinFormatTest, KindRowsGiveLettersNamesAndWidths) {
    struct Row {
        BinKind kind;
        char letter;
        const char* name;
        std::uint64_t width_of_3;
    };
    const Row rows[] = {
        {BinKind::Logical, 'L', "Logical", 3},
        {BinKind::Bit, 'X', "Bit", 1},
        {BinKind::Byte, 'B', "Byte", 3},
        {BinKind::I16, 'I', "I16", 6},
        {BinKind::I32, 'J', "I32", 12},
        {BinKind::I64, 'K', "I64", 24},
        {BinKind::Char, 'A', "Char", 3},
        {BinKind::F32, 'E', "F32", 12},
        {BinKind::F64, 'D', "F64", 24},
        {BinKind::C64, 'C', "C64", 24},
        {BinKind::C128, 'M', "C128", 48},
        {BinKind::P, 'P', "P", 8},
        {BinKind::Q, 'Q', "Q", 16},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(bin_kind_letter(r.kind), r.letter);
        EXPECT_EQ(bin_kind_name(r.kind), r.name);
        EXPECT_EQ(bin_kind_from_letter(static_cast<char32_t>(r.letter)), r.kind);
        EXPECT_EQ(bin_kind_from_letter(static_cast<char32_t>(r.letter - 'A' + 'a')), r.kind);
        EXPECT_EQ(BinFormat::byte_width(3, r.kind), r.width_of_3) << r.name;
    }
    EXPECT_EQ(bin_kind_letter(static_cast<BinKind>(13)), '?');
    EXPECT_FALSE(bin_kind_from_letter(U'Z').has_value());
    EXPECT_EQ(BinFormat::byte_width(UINT64_C(1) << 62, BinKind::I64), std::nullopt);
}

// TDIMn shapes the first product-of-dimensions elements of a cell when the cell holds that
// many; an A field only when TDIMn names strings (two dimensions or more, a first one not 0).
TEST(BinFormatTest, TdimShapesCellsThatHoldItsProduct) {
    using Dims = std::optional<std::vector<std::uint64_t>>;
    struct Case {
        Dims tdim;
        std::uint64_t n;
        std::optional<std::uint64_t> cell;
        std::optional<std::uint64_t> text;
    };
    const std::uint64_t big = UINT64_C(1) << 33;
    const Case cases[] = {
        {std::nullopt, 6, std::nullopt, std::nullopt},
        {Dims{std::vector<std::uint64_t>{}}, 6, std::nullopt, std::nullopt},
        {Dims{{6}}, 6, 6, std::nullopt},
        {Dims{{2, 3}}, 6, 6, 6},
        {Dims{{2, 3}}, 7, 6, 6},
        {Dims{{2, 3}}, 5, std::nullopt, std::nullopt},
        {Dims{{0, 3}}, 5, 0, std::nullopt},
        {Dims{{3, 0}}, 5, 0, 0},
        {Dims{{big, big, big}}, 100, std::nullopt, std::nullopt},
        {Dims{{big, big, 0}}, 100, std::nullopt, std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(tdim_cell_count(c.tdim, c.n), c.cell) << c.n;
        EXPECT_EQ(tdim_text_count(c.tdim, c.n), c.text) << c.n;
    }
}

}  // namespace
}  // namespace vexlo
