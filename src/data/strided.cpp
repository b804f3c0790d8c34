#include "data/strided.hpp"

#include <new>

#include "util/memory.hpp"

namespace vexlo {

Bytes encode_buffer_of(std::size_t size) {
    // No buffer beyond a 64-bit process's address space (2^47 bytes) can be had: refused
    // without asking the allocator.
    constexpr std::size_t kLargest = std::size_t{1} << 47;
    if (size > kLargest) throw std::bad_alloc();
    Bytes out;
    out.reserve(size);  // allocated, not yet touched
    advise_huge_pages(out.data(), size);
    out.resize(size);
    return out;
}

}  // namespace vexlo
