// Ones'-complement sums, the checksum character encoding and the stamping of DATASUM and
// CHECKSUM, checked against a sum computed independently here.
#include "checksum.hpp"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "hdu/writer_fixture.hpp"
#include "header/header.hpp"

namespace vexlo {
namespace {

using write_testing::image;
using write_testing::reference_sum;

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

// Deterministic pseudo-random bytes (xorshift) for sums over arbitrary content.
Bytes noise(std::size_t n, std::uint32_t seed) {
    Bytes out(n);
    std::uint32_t x = seed;
    for (auto& b : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<std::uint8_t>(x >> 24);
    }
    return out;
}

std::uint32_t hdu_sum(const Bytes& header, ByteSpan data) {
    Bytes all = header;
    all.insert(all.end(), data.begin(), data.end());
    return reference_sum(all);
}

TEST(OnesComplementSum, SmallCases) {
    struct Case {
        Bytes bytes;
        std::uint32_t sum;
    };
    const std::vector<Case> cases = {
        {{}, 0},
        {{0xFF, 0xFF, 0xFF, 0xFF}, 0xFFFFFFFF},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x01}, 1},  // carry wraps around
        {{0x12, 0x34, 0x56, 0x78}, 0x12345678},
        {{0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x01}, 0x00020000},
        {{0x80, 0x00, 0x00, 0x00, 0x80, 0x00, 0x00, 0x00}, 1},
        {{0x00, 0x00, 0x00, 0x07, 0xAB, 0xCD}, 7},  // a trailing partial word is not summed
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ones_complement_sum(c.bytes), c.sum);
        EXPECT_EQ(ones_complement_sum(c.bytes), reference_sum(c.bytes));
    }
}

TEST(OnesComplementSum, MatchesReferenceOnLargeBuffers) {
    for (std::uint32_t seed : {1u, 7u, 12345u}) {
        const Bytes b = noise(2880 * 37, seed);
        EXPECT_EQ(ones_complement_sum(b), reference_sum(b)) << seed;
    }
    const Bytes ones(2880 * 10, 0xFF);
    EXPECT_EQ(ones_complement_sum(ones), 0xFFFFFFFFu);
}

TEST(OnesComplementSum, ChunkSumsCombineWithAdd) {
    const Bytes b = noise(2880 * 9, 99);
    const ByteSpan all(b);
    for (std::size_t cut :
         {std::size_t{0}, std::size_t{4}, std::size_t{2880}, std::size_t{8640}, b.size()}) {
        EXPECT_EQ(ones_complement_add(ones_complement_sum(all.first(cut)),
                                      ones_complement_sum(all.subspan(cut))),
                  ones_complement_sum(all))
            << cut;
    }
}

TEST(OnesComplementAdd, EndAroundCarry) {
    struct Case {
        std::uint32_t a, b, sum;
    };
    const std::vector<Case> cases = {
        {0, 0, 0},
        {1, 2, 3},
        {0xFFFFFFFF, 1, 1},
        {0xFFFFFFFF, 0, 0xFFFFFFFF},
        {0x80000000, 0x80000000, 1},
        {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF},
        {0xFFFFFFFE, 1, 0xFFFFFFFF},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ones_complement_add(c.a, c.b), c.sum) << c.a << " + " << c.b;
        EXPECT_EQ(ones_complement_add(c.b, c.a), c.sum);
    }
}

TEST(EncodeChecksum, KnownValues) {
    struct Case {
        std::uint32_t value;
        std::string_view text;
    };
    // 0x28 gives q = ':' and is steered through the punctuation to 'A','3','A','3'; 0xFF
    // gives 'r','o','o','o'; the result is rotated right by one character.
    const std::vector<Case> cases = {
        {0x00000000, "0000000000000000"},
        {0x28282828, "3AAAA3333AAAA333"},
        {0xFFFFFFFF, "orrrrooooooooooo"},
    };
    for (const Case& c : cases) {
        const auto out = encode_checksum(c.value);
        EXPECT_EQ(std::string_view(out.data(), out.size()), c.text);
    }
}

TEST(EncodeChecksum, OnlyDigitsAndLetters) {
    std::uint32_t x = 2463534242u;
    for (int i = 0; i < 20000; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        // Include every single-byte pattern in each position too.
        const std::uint32_t v = i < 1024 ? (std::uint32_t(i & 0xFF) << (8 * (i >> 8))) : x;
        for (char c : encode_checksum(v)) {
            ASSERT_TRUE(std::isalnum(static_cast<unsigned char>(c))) << v;
        }
    }
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
        EXPECT_EQ(r.error(), c.message) << c.name;
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
