#include "util/memory.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace vexlo {

void advise_huge_pages(void* p, std::size_t size) {
    constexpr std::size_t kWorthFrom = std::size_t{4} << 20;
    if (p == nullptr || size < kWorthFrom) return;
    const long page = sysconf(_SC_PAGESIZE);
    if (page <= 0) return;
    const auto step = static_cast<std::uintptr_t>(page);
    const auto begin = reinterpret_cast<std::uintptr_t>(p);
    const std::uintptr_t first = (begin + step - 1) / step * step;
    const std::uintptr_t last = (begin + size) / step * step;
    if (last > first) (void)madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

void populate_pages(void* p, std::size_t size) {
#ifdef MADV_POPULATE_WRITE
    const long page = sysconf(_SC_PAGESIZE);
    if (p == nullptr || page <= 0) return;
    const auto step = static_cast<std::uintptr_t>(page);
    const auto begin = reinterpret_cast<std::uintptr_t>(p);
    const std::uintptr_t first = (begin + step - 1) / step * step;
    const std::uintptr_t last = (begin + size) / step * step;
    if (last > first) {
        (void)madvise(reinterpret_cast<void*>(first), last - first, MADV_POPULATE_WRITE);
    }
#else
    (void)p;
    (void)size;
#endif
}

}  // namespace vexlo
