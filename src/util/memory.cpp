#include "util/memory.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace vexlo {

namespace {

constexpr std::size_t kWorthFrom = std::size_t{4} << 20;
constexpr std::size_t kHugePage = std::size_t{2} << 20;

std::size_t page_size() {
    const long page = sysconf(_SC_PAGESIZE);
    return page > 0 ? static_cast<std::size_t>(page) : 4096;
}

std::size_t round_up(std::size_t n, std::size_t step) {
    return (n + step - 1) / step * step;
}

// Gives `advice` for the whole pages inside [p, p + size); the kernel's answer is not
// needed, since every advice here only changes how fast later accesses are.
void advise_whole_pages(void* p, std::size_t size, int advice) {
    if (p == nullptr) return;
    const auto step = static_cast<std::uintptr_t>(page_size());
    const auto begin = reinterpret_cast<std::uintptr_t>(p);
    const std::uintptr_t first = (begin + step - 1) / step * step;
    const std::uintptr_t last = (begin + size) / step * step;
    if (last > first) (void)madvise(reinterpret_cast<void*>(first), last - first, advice);
}

// The length mapped for an output of `size` bytes. A part of a huge page at the end is taken
// as a whole huge page when little of it would go unused (it then costs one fault, not
// hundreds); otherwise it stays in small pages, so that an output never holds much memory it
// does not use.
std::size_t mapped_length(std::size_t size) {
    const std::size_t tail = size % kHugePage;
    if (tail != 0 && kHugePage - tail <= size / 8) return size - tail + kHugePage;
    return round_up(size, page_size());
}

}  // namespace

void advise_huge_pages(void* p, std::size_t size) {
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

bool worth_mapping(std::size_t size) {
    // The bound keeps the lengths below from overflowing.
    return size >= kWorthFrom && size <= SIZE_MAX / 2;
}

void* map_output_buffer(std::size_t size) {
    if (!worth_mapping(size)) return nullptr;
    const std::size_t length = mapped_length(size);
    // One huge page more than needed, so that an aligned start lies inside; the ends beyond
    // the aligned range are given back at once.
    const std::size_t reserve = length + kHugePage;
    void* p = mmap(nullptr, reserve, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return nullptr;
    const auto begin = reinterpret_cast<std::uintptr_t>(p);
    const std::uintptr_t start = round_up(begin, kHugePage);
    if (start > begin) (void)munmap(p, start - begin);
    const std::uintptr_t end = start + length;
    if (begin + reserve > end) (void)munmap(reinterpret_cast<void*>(end), begin + reserve - end);
    (void)madvise(reinterpret_cast<void*>(start), length, MADV_HUGEPAGE);
    return reinterpret_cast<void*>(start);
}

void unmap_output_buffer(void* p, std::size_t size) {
    if (p != nullptr) (void)munmap(p, mapped_length(size));
}

}  // namespace vexlo
