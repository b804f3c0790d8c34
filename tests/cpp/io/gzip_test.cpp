// The shared gzip codec: bounded inflation, inflation into a caller's buffer and deflation,
// checked against members built by the test fixture.
#include "io/gzip.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "fits_fixture.hpp"

namespace vexlo {
namespace {

using namespace fits_test;

TEST(Gzip, InflateRespectsItsBound) {
    const Bytes plain = ramp(100000);
    const Bytes member = gzip(plain);
    struct Case {
        const char* name;
        std::size_t max_out;
        std::string error;  // "" when the member fits
    };
    const std::vector<Case> cases = {
        {"exact", plain.size(), ""},
        {"generous", plain.size() * 10, ""},
        {"one short", plain.size() - 1,
         "i/o error: gzip: decoded data exceeds the expected 99999 bytes by 1"},
        {"nothing allowed", 0,
         "i/o error: gzip: decoded data exceeds the expected 0 bytes by 100000"},
    };
    for (const Case& c : cases) {
        const Result<Bytes> out = gzip_inflate(member, c.max_out);
        if (c.error.empty()) {
            ASSERT_TRUE(out) << c.name << ": " << out.error().message();
            EXPECT_EQ(*out, plain) << c.name;
        } else {
            ASSERT_FALSE(out) << c.name;
            EXPECT_EQ(out.error().message(), c.error) << c.name;
        }
    }
}

TEST(Gzip, InflateIntoACallersBuffer) {
    const Bytes plain = ramp(5000);
    const Bytes member = gzip(plain);
    Bytes room(6000, 0xEE);
    const Result<std::size_t> n = gzip_inflate_into(member, room);
    ASSERT_TRUE(n) << n.error().message();
    ASSERT_EQ(*n, plain.size());
    EXPECT_EQ(Bytes(room.begin(), room.begin() + 5000), plain);
    EXPECT_EQ(room[5000], 0xEE);  // nothing written past the decoded bytes

    Bytes small(4096);
    const Result<std::size_t> over = gzip_inflate_into(member, small);
    ASSERT_FALSE(over);
    EXPECT_EQ(over.error().message(),
              "i/o error: gzip: decoded data exceeds the expected 4096 bytes by 904");
}

TEST(Gzip, EveryMemberIsDecodedUnderOneBound) {
    Bytes three = gzip(ramp(10));
    append(three, gzip({}));
    append(three, gzip(bytes_of({1, 2, 3})));
    Bytes want = ramp(10);
    append(want, bytes_of({1, 2, 3}));
    const Result<Bytes> out = gzip_inflate(three, 1000);
    ASSERT_TRUE(out) << out.error().message();
    EXPECT_EQ(*out, want);
    Bytes room(13);
    ASSERT_EQ(gzip_inflate_into(three, room), 13u);
    EXPECT_EQ(room, want);

    // The bound counts the members together.
    EXPECT_EQ(gzip_inflate(three, 12).error().message(),
              "i/o error: gzip: decoded data exceeds the expected 12 bytes by 1");
    // Bytes after a member that do not start another one are not data.
    Bytes padded = three;
    append(padded, bytes_of({0, 0, 0, 0x1F}));
    EXPECT_EQ(gzip_inflate(padded, 1000).value(), want);
    // A member cut short is an error, also when it is not the first.
    Bytes cut = three;
    append(cut, bytes_of({0x1F, 0x8B, 8, 0}));
    EXPECT_FALSE(gzip_inflate(cut, 1000));
}

TEST(Gzip, DeflateWritesAGzipMemberThatInflatesBack) {
    // One deflater for every piece, as a pass keeps it from tile to tile.
    GzipDeflater deflater;
    for (const Bytes& plain : {Bytes{}, ramp(1), ramp(300000), Bytes(200000, 0)}) {
        const Result<Bytes> packed = gzip_deflate(plain, deflater);
        ASSERT_TRUE(packed) << packed.error().message();
        ASSERT_GE(packed->size(), 18u);
        EXPECT_TRUE(is_gzip(*packed));
        EXPECT_EQ((*packed)[2], 8);  // deflate
        const Result<Bytes> back = gzip_inflate(*packed, plain.size());
        ASSERT_TRUE(back) << back.error().message();
        EXPECT_EQ(*back, plain);
    }
    // Level 6 shrinks a long run of zeros to a small fraction.
    const Result<Bytes> zeros = gzip_deflate(Bytes(200000, 0), deflater);
    ASSERT_TRUE(zeros);
    EXPECT_LT(zeros->size(), 1000u);
}

TEST(Gzip, TheCheckSeesTheFirstBytesBeforeTheRestIsDecoded) {
    // The member's later part is corrupt: a check that refuses the start must be reported,
    // which it only can be if nothing past the start was decoded yet.
    Bytes plain(1 << 20, 'x');
    Bytes member = gzip(plain);
    for (std::size_t i = member.size() / 2; i < member.size() - 8; ++i)
        member[i] ^= 0x5A;
    std::vector<std::size_t> seen;
    const std::function<Result<void>(ByteSpan)> refuse = [&](ByteSpan first) -> Result<void> {
        seen.push_back(first.size());
        return fail(Error::header("not FITS"));
    };
    const Result<Bytes> out = gzip_inflate_checked(member, plain.size(), 0, 2880, refuse);
    ASSERT_FALSE(out);
    EXPECT_EQ(out.error().message(), "header: not FITS");
    EXPECT_EQ(seen, std::vector<std::size_t>{2880});

    // An accepted start lets decoding go on; a short stream is checked whole at its end.
    const std::function<Result<void>(ByteSpan)> accept = [&](ByteSpan first) -> Result<void> {
        seen.push_back(first.size());
        return {};
    };
    seen.clear();
    const Bytes ramp_plain = ramp(100000);
    const Result<Bytes> whole = gzip_inflate_checked(gzip(ramp_plain), 1 << 20, 2880, 2880, accept);
    ASSERT_TRUE(whole);
    EXPECT_EQ(*whole, ramp_plain);
    EXPECT_GE(whole->capacity(), ramp_plain.size() + 2880);  // room for the fill, from the trailer
    const Result<Bytes> short_one = gzip_inflate_checked(gzip(ramp(100)), 1 << 20, 0, 2880, accept);
    ASSERT_TRUE(short_one);
    EXPECT_EQ(seen, (std::vector<std::size_t>{2880, 100}));
}

}  // namespace
}  // namespace vexlo
