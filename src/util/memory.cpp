#include "util/memory.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace vexlo {

namespace {

// Gives `advice` for the whole pages inside [p, p + size); the kernel's answer is not
// needed, since every advice here only changes how fast later accesses are.
void advise_whole_pages(void* p, std::size_t size, int advice) {
    const long page = sysconf(_SC_PAGESIZE);
    if (p == nullptr || page <= 0) return;
    const auto step = static_cast<std::uintptr_t>(page);
    const auto begin = reinterpret_cast<std::uintptr_t>(p);
    const std::uintptr_t first = (begin + step - 1) / step * step;
    const std::uintptr_t last = (begin + size) / step * step;
    if (last > first) (void)madvise(reinterpret_cast<void*>(first), last - first, advice);
}

}  // namespace

void advise_huge_pages(void* p, std::size_t size) {
    constexpr std::size_t kWorthFrom = std::size_t{4} << 20;
    if (size < kWorthFrom) return;
    advise_whole_pages(p, size, MADV_HUGEPAGE);
}

void populate_pages(void* p, std::size_t size) {
#ifdef MADV_POPULATE_WRITE
    advise_whole_pages(p, size, MADV_POPULATE_WRITE);
#else
    (void)p;
    (void)size;
#endif
}

}  // namespace vexlo
