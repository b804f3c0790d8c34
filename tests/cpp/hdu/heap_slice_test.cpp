// Where a variable-length array lies in a table's heap, and when it lies outside.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>

#include "hdu/bintable.hpp"

namespace vexlo {
namespace {

TEST(HeapSlice, InsideOrNone) {
    const Bytes heap{0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    constexpr std::uint64_t kMax = ~std::uint64_t{0};
    struct Case {
        std::uint64_t offset, length;
        std::optional<std::uint64_t> first;  // none: refused
    };
    const Case cases[] = {
        {0, 10, 0},            // the whole heap
        {3, 4, 3},             //
        {10, 0, 10},           // an empty array at the very end
        {4, 0, 4},             //
        {7, 4, std::nullopt},  // one byte too many
        {11, 0, std::nullopt},
        {kMax, 1, std::nullopt},  // the end wraps past 2^64
        {1, kMax, std::nullopt},
        {kMax, 0, std::nullopt},
    };
    for (const Case& c : cases) {
        const std::optional<ByteSpan> got = heap_slice(heap, c.offset, c.length);
        ASSERT_EQ(got.has_value(), c.first.has_value()) << c.offset << " + " << c.length;
        if (!got) continue;
        EXPECT_EQ(got->size(), c.length);
        EXPECT_EQ(got->data(), heap.data() + *c.first);
    }
}

// A descriptor against the heap: the fault each reader words its own way, and an array of no
// elements that lies nowhere in particular.
TEST(HeapSlice, DescriptorsResolveOrNameTheirFault) {
    const Bytes heap(16, 7);
    constexpr std::uint64_t kMax = ~std::uint64_t{0};
    struct Case {
        std::uint64_t count, offset;
        BinKind elem;
        HeapFault fault;
        std::uint64_t length;  // the bytes of the array, when in range
    };
    const Case cases[] = {
        {1, 8, BinKind::F64, HeapFault::None, 8},  // ends at the heap's last byte
        {0, kMax, BinKind::F64, HeapFault::None, 0},
        {9, 0, BinKind::Bit, HeapFault::None, 2},  // bits are counted, bytes stored
        {3, 8, BinKind::I32, HeapFault::PastEnd, 12},
        {kMax / 4, 0, BinKind::I64, HeapFault::LengthOverflow, 0},
        {1, kMax - 2, BinKind::I32, HeapFault::AddressOverflow, 4},
    };
    for (const Case& c : cases) {
        const HeapArray a = resolve_heap_array({c.count, c.offset}, c.elem, heap);
        EXPECT_EQ(a.fault, c.fault) << c.count << " at " << c.offset;
        if (c.fault == HeapFault::LengthOverflow) continue;
        EXPECT_EQ(a.length, c.length) << c.count << " at " << c.offset;
        if (c.fault == HeapFault::None && c.count != 0) {
            EXPECT_EQ(a.bytes.data(), heap.data() + c.offset);
            EXPECT_EQ(a.bytes.size(), c.length);
        }
    }
}

}  // namespace
}  // namespace vexlo
