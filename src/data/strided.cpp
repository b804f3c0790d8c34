#include "data/strided.hpp"

#include "util/memory.hpp"

namespace vexlo {

Bytes encode_buffer_of(std::size_t size) {
    Bytes out;
    out.reserve(size);  // allocated, not yet touched
    advise_huge_pages(out.data(), size);
    out.resize(size);
    return out;
}

}  // namespace vexlo
