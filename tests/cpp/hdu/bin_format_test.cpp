#include "hdu/bin_format.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
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
// Only the six plain-number kinds are visited, each with its stored type; every other kind,
// and a value no kind has, is refused instead of being read as doubles.
TEST(BinFormatTest, KindVisitTakesPlainNumbersAndRefusesTheRest) {
    struct Case {
        std::uint8_t code;
        std::optional<std::size_t> size;  // none: refused
        char letter;                      // the letter the refusal names
    };
    const Case cases[] = {
        {static_cast<std::uint8_t>(BinKind::Logical), std::nullopt, 'L'},
        {static_cast<std::uint8_t>(BinKind::Bit), std::nullopt, 'X'},
        {static_cast<std::uint8_t>(BinKind::Byte), 1, 'B'},
        {static_cast<std::uint8_t>(BinKind::I16), 2, 'I'},
        {static_cast<std::uint8_t>(BinKind::I32), 4, 'J'},
        {static_cast<std::uint8_t>(BinKind::I64), 8, 'K'},
        {static_cast<std::uint8_t>(BinKind::Char), std::nullopt, 'A'},
        {static_cast<std::uint8_t>(BinKind::F32), 4, 'E'},
        {static_cast<std::uint8_t>(BinKind::F64), 8, 'D'},
        {static_cast<std::uint8_t>(BinKind::C64), std::nullopt, 'C'},
        {static_cast<std::uint8_t>(BinKind::C128), std::nullopt, 'M'},
        {static_cast<std::uint8_t>(BinKind::P), std::nullopt, 'P'},
        {static_cast<std::uint8_t>(BinKind::Q), std::nullopt, 'Q'},
        {13, std::nullopt, '?'},
        {255, std::nullopt, '?'},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.code));
        const auto kind = static_cast<BinKind>(c.code);
        bool floating = false;
        const Result<std::size_t> got = visit_bin_kind(kind, [&](auto tag) {
            using T = typename decltype(tag)::type;
            floating = std::is_floating_point_v<T>;
            return sizeof(T);
        });
        if (c.size) {
            ASSERT_TRUE(got.has_value());
            EXPECT_EQ(*got, *c.size);
            EXPECT_EQ(*got, bin_element_size(kind));
            EXPECT_EQ(floating, !is_integer_kind(kind));
        } else {
            ASSERT_FALSE(got.has_value());
            EXPECT_EQ(got.error().kind, Error::Kind::Data);
            EXPECT_EQ(got.error().msg,
                      std::string("TFORM type code `") + c.letter + "` is not a plain number");
        }
    }
}

// Each element type of a variable-length row is visited with a host type of its own; a value
// past the list is refused instead of being read as doubles.
TEST(BinFormatTest, VlaElementVisitCoversTheListAndRefusesOtherValues) {
    struct Case {
        std::uint8_t code;
        std::optional<std::size_t> size;  // none: refused
        bool is_signed = false;
    };
    const Case cases[] = {{0, 4, true},  {1, 8, true},  {2, 1, true},       {3, 2, true},
                          {4, 4, true},  {5, 8, true},  {6, 1, false},      {7, 2, false},
                          {8, 4, false}, {9, 8, false}, {10, std::nullopt}, {255, std::nullopt}};
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.code));
        bool is_signed = false;
        const Result<std::size_t> got =
            visit_vla_element(static_cast<VlaElement>(c.code), [&](auto tag) {
                using T = typename decltype(tag)::type;
                is_signed = std::is_signed_v<T>;
                return sizeof(T);
            });
        if (c.size) {
            ASSERT_TRUE(got.has_value());
            EXPECT_EQ(*got, *c.size);
            EXPECT_EQ(is_signed, c.is_signed);
        } else {
            ASSERT_FALSE(got.has_value());
            EXPECT_EQ(got.error().kind, Error::Kind::Data);
            EXPECT_EQ(got.error().msg, "variable-length row element code " +
                                           std::to_string(c.code) + " names no element type");
        }
    }
}

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
