#include "data/dispatch.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>

namespace vexlo {
namespace {

// The byte size of the host type a pixel-type visit chose, or its error.
Result<std::size_t> visited_size(Bitpix b) {
    return visit_bitpix(b, [](auto tag) { return sizeof(typename decltype(tag)::type); });
}

// Every pixel type is visited with a host type of its own size; a code past the list is
// refused instead of being read as the last type (doubles).
TEST(DispatchTest, PixelVisitCoversTheListAndRefusesOtherCodes) {
    struct Case {
        std::uint8_t code;
        std::optional<std::size_t> size;  // none: refused
    };
    const Case cases[] = {{0, 1},
                          {1, 2},
                          {2, 4},
                          {3, 8},
                          {4, 4},
                          {5, 8},
                          {6, std::nullopt},
                          {200, std::nullopt},
                          {255, std::nullopt}};
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.code));
        const auto b = static_cast<Bitpix>(c.code);
        const Result<std::size_t> got = visited_size(b);
        if (c.size) {
            ASSERT_TRUE(got.has_value());
            EXPECT_EQ(*got, *c.size);
            EXPECT_EQ(*got, bytes_per_pixel(b));
        } else {
            ASSERT_FALSE(got.has_value());
            EXPECT_EQ(got.error().kind, Error::Kind::Value);
            EXPECT_EQ(got.error().keyword, "BITPIX");
            EXPECT_EQ(got.error().msg, "pixel type code " + std::to_string(c.code) +
                                           " names none of BITPIX 8, 16, 32, 64, -32, -64");
        }
    }
}

// A visitor that returns nothing gives an empty Result, and one that returns a Result gives
// that Result itself, not a Result of a Result.
TEST(DispatchTest, PixelVisitResultsOfVoidAndResultVisitors) {
    int calls = 0;
    const Result<void> plain = visit_bitpix(Bitpix::I16, [&](auto) { ++calls; });
    EXPECT_TRUE(plain.has_value());
    EXPECT_EQ(calls, 1);
    const Result<void> refused = visit_bitpix(static_cast<Bitpix>(9), [&](auto) { ++calls; });
    EXPECT_FALSE(refused.has_value());
    EXPECT_EQ(calls, 1);

    const Result<int> inner =
        visit_bitpix(Bitpix::F64, [](auto) -> Result<int> { return fail(Error::data("inner")); });
    ASSERT_FALSE(inner.has_value());
    EXPECT_EQ(inner.error().msg, "inner");
}

// Both width visitors take exactly 1, 2, 4 and 8 bytes, each with a type of that width (the
// integer one signed from 2 bytes on, the word one unsigned); other widths are refused rather
// than moved as 8-byte words.
TEST(DispatchTest, WidthVisitsCoverOneTwoFourEightAndRefuseOtherWidths) {
    struct Case {
        std::size_t width;
        bool handled;
    };
    const Case cases[] = {{1, true},  {2, true},  {4, true},   {8, true},  {0, false},
                          {3, false}, {5, false}, {16, false}, {64, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.width);
        bool integer_signed = false;
        const Result<std::size_t> integer = visit_integer_width(c.width, [&](auto tag) {
            using T = typename decltype(tag)::type;
            integer_signed = std::is_signed_v<T>;
            return sizeof(T);
        });
        bool word_signed = true;
        const Result<std::size_t> word = visit_word(c.width, [&](auto tag) {
            using W = typename decltype(tag)::type;
            word_signed = std::is_signed_v<W>;
            return sizeof(W);
        });
        if (c.handled) {
            ASSERT_TRUE(integer.has_value());
            ASSERT_TRUE(word.has_value());
            EXPECT_EQ(*integer, c.width);
            EXPECT_EQ(*word, c.width);
            EXPECT_EQ(integer_signed, c.width > 1);
            EXPECT_FALSE(word_signed);
        } else {
            const std::string msg =
                "element width of " + std::to_string(c.width) + " bytes is none of 1, 2, 4, 8";
            for (const Result<std::size_t>* r : {&integer, &word}) {
                ASSERT_FALSE(r->has_value());
                EXPECT_EQ(r->error().kind, Error::Kind::Data);
                EXPECT_EQ(r->error().msg, msg);
            }
        }
    }
}

}  // namespace
}  // namespace vexlo
