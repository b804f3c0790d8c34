// Advice to the kernel about large buffers.
#pragma once

#include <cstddef>

namespace vexlo {

// Asks for huge pages over the whole pages inside [p, p + size) of a buffer of at least a few
// MiB that is about to be filled: a fresh buffer then costs a few hundred page faults instead
// of one per 4 KiB. Only advice: where the kernel declines, nothing changes.
void advise_huge_pages(void* p, std::size_t size);

}  // namespace vexlo
