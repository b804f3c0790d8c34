// Advice to the kernel about large buffers.
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

}  // namespace vexlo
