// Advice to the kernel about large buffers, and fresh mappings for large outputs.
#pragma once

#include <cstddef>

namespace vexlo {

// Asks for huge pages over the whole pages inside [p, p + size) of a buffer of at least a few
// MiB that is about to be filled: a fresh buffer then costs a few hundred page faults instead
// of one per 4 KiB. Only advice: where the kernel declines, nothing changes.
void advise_huge_pages(void* p, std::size_t size);

// Has the kernel map writable zeroed pages over the whole pages inside [p, p + size) now,
// so that the faults are taken by the caller's thread, several threads each populating its
// own range. Only advice: where the kernel declines, the pages fault in on first touch.
void populate_pages(void* p, std::size_t size);

// Whether map_output_buffer serves a buffer of `size` bytes: one of at least a few MiB.
bool worth_mapping(std::size_t size);

// Fresh memory for an output of `size` bytes (worth_mapping) that is about to be filled
// whole: mapped on its own, its start on a 2 MiB boundary and huge pages asked for over it, so
// that every 2 MiB of it costs one page fault, where an allocator's block (started anywhere)
// leaves its ends in 4 KiB pages. Null when the kernel refuses the mapping. Free it with
// unmap_output_buffer and the same size.
void* map_output_buffer(std::size_t size);
void unmap_output_buffer(void* p, std::size_t size);

}  // namespace vexlo
