#include "data/strided.hpp"

#include <algorithm>
#include <new>

#include "data/pixel.hpp"
#include "error.hpp"
#include "util/memory.hpp"
#include "util/parallel.hpp"

namespace vexlo {

namespace {

// The page faults of a large fresh buffer (each one a page the kernel clears) taken over the
// cores before the buffer is first written, instead of one by one on the writing thread.
void populate_over_cores(std::uint8_t* p, std::size_t size) {
    constexpr std::size_t kMinBytesPerPart = std::size_t{8} << 20;
    constexpr std::size_t kPiece = std::size_t{2} << 20;  // one huge page
    const std::size_t parts = parts_for(size, kMinBytesPerPart);
    if (parts <= 1) return;
    const std::size_t pieces = (size + kPiece - 1) / kPiece;
    const Result<void> done = run_ranges(
        parts, pieces, [&](std::size_t, std::uint64_t first, std::uint64_t count) -> Result<void> {
            const auto at = static_cast<std::size_t>(first * kPiece);
            populate_pages(p + at, std::min<std::size_t>(count * kPiece, size - at));
            return {};
        });
    (void)done;  // only advice: a part that failed leaves its pages to fault in later
}

// No buffer beyond a 64-bit process's address space (2^47 bytes) can be had: refused without
// asking the allocator.
void refuse_beyond_address_space(std::size_t size) {
    constexpr std::size_t kLargest = std::size_t{1} << 47;
    if (size > kLargest) throw std::bad_alloc();
}

template <class U>
void encode_words_of(const std::uint8_t* __restrict src, std::size_t n,
                     std::uint8_t* __restrict out, U flip) {
    for (std::size_t i = 0; i < n; ++i) {
        U v;
        std::memcpy(&v, src + i * sizeof(U), sizeof(U));
        v = to_big_endian(static_cast<U>(v ^ flip));
        std::memcpy(out + i * sizeof(U), &v, sizeof(U));
    }
}

}  // namespace

VEXLO_SWAP_CLONES void encode_words(const std::uint8_t* src, std::size_t n, std::uint8_t* out,
                                    std::uint16_t flip) {
    encode_words_of(src, n, out, flip);
}
VEXLO_SWAP_CLONES void encode_words(const std::uint8_t* src, std::size_t n, std::uint8_t* out,
                                    std::uint32_t flip) {
    encode_words_of(src, n, out, flip);
}
VEXLO_SWAP_CLONES void encode_words(const std::uint8_t* src, std::size_t n, std::uint8_t* out,
                                    std::uint64_t flip) {
    encode_words_of(src, n, out, flip);
}

Bytes encode_buffer_of(std::size_t size) {
    refuse_beyond_address_space(size);
    Bytes out;
    out.reserve(size);  // allocated, not yet touched
    advise_huge_pages(out.data(), size);
    populate_over_cores(out.data(), size);
    out.resize(size);
    return out;
}

EncodedBytes EncodedBytes::of_size(std::size_t size) {
    refuse_beyond_address_space(size);
    EncodedBytes out;
    out.bytes_.reset(new std::uint8_t[size]);  // left uncleared: the encoder writes it all
    out.size_ = size;
    advise_huge_pages(out.bytes_.get(), size);
    return out;
}

}  // namespace vexlo
