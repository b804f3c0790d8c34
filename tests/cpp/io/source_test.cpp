// Both backings of the random-access source answer the same reads the same way: the bytes
// at an offset, or one error at the end of the content; memory lends its bytes in place.
#include "io/source.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "fits_fixture.hpp"

namespace vexlo {
namespace {

using namespace fits_test;

TEST(Source, FileAndMemoryReadAlike) {
    const Bytes content = ramp(10000);
    TempFile file(content);
    Result<Fd> fd = open_read(file.path());
    ASSERT_TRUE(fd) << fd.error().message();
    std::vector<std::unique_ptr<const Source>> sources;
    sources.push_back(std::make_unique<const FileSource>(std::move(*fd), content.size()));
    sources.push_back(std::make_unique<const MemorySource>(content));

    struct Case {
        std::uint64_t offset;
        std::size_t len;
        bool ok;
    };
    const std::vector<Case> cases = {
        {0, 10000, true}, {9999, 1, true},   {1234, 0, true},   {10000, 0, true},
        {9999, 2, false}, {10000, 1, false}, {20000, 4, false}, {~std::uint64_t{0}, 1, false},
    };
    const std::string eof = "i/o error: pread reached EOF before filling buffer (file truncated?)";
    for (const auto& src : sources) {
        EXPECT_EQ(src->size(), content.size());
        for (const Case& c : cases) {
            Bytes dest(c.len, 0xEE);
            const Result<void> r = src->read_at(c.offset, dest);
            Bytes scratch(c.len);
            const Result<ByteSpan> v = src->view_at(c.offset, scratch);
            ASSERT_EQ(r.has_value(), c.ok) << c.offset << "+" << c.len;
            ASSERT_EQ(v.has_value(), c.ok) << c.offset << "+" << c.len;
            if (c.ok) {
                const auto at = content.begin() + static_cast<std::ptrdiff_t>(c.offset);
                EXPECT_EQ(dest, Bytes(at, at + static_cast<std::ptrdiff_t>(c.len)));
                EXPECT_EQ(Bytes(v->begin(), v->end()), dest);
            } else {
                EXPECT_EQ(r.error().message(), eof);
                EXPECT_EQ(v.error().message(), eof);
            }
        }
    }

    // Only memory lends its content; its views point into it instead of the scratch.
    EXPECT_FALSE(sources[0]->contents());
    const std::optional<ByteSpan> all = sources[1]->contents();
    ASSERT_TRUE(all);
    Bytes scratch(16);
    const Result<ByteSpan> v = sources[1]->view_at(100, scratch);
    ASSERT_TRUE(v);
    EXPECT_EQ(v->data(), all->data() + 100);
}

}  // namespace
}  // namespace vexlo
