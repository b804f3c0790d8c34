#include "data/strided.hpp"

#include <sys/mman.h>
#include <unistd.h>

namespace vexlo {

Bytes encode_buffer_of(std::size_t size) {
    Bytes out;
    out.reserve(size);  // allocated, not yet touched
    constexpr std::size_t kHugeFrom = std::size_t{4} << 20;
    if (size >= kHugeFrom) {
        const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
        const auto begin = reinterpret_cast<std::uintptr_t>(out.data());
        const std::uintptr_t first = (begin + page - 1) / page * page;
        const std::uintptr_t last = (begin + size) / page * page;
        // Only advice: where the kernel declines, the buffer simply uses small pages.
        if (page > 0 && last > first) {
            (void)madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
        }
    }
    out.resize(size);
    return out;
}

}  // namespace vexlo
