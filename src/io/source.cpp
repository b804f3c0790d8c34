#include "io/source.hpp"

#include <cstring>

namespace vexlo {

Result<ByteSpan> Source::view_at(std::uint64_t offset, std::span<std::uint8_t> scratch) const {
    VEXLO_TRY(read_at(offset, scratch));
    return ByteSpan(scratch);
}

Result<void> FileSource::read_at(std::uint64_t offset, std::span<std::uint8_t> dest) const {
    return pread_exact(fd_.get(), offset, dest.data(), dest.size());
}

Result<ByteSpan> MemorySource::range(std::uint64_t offset, std::size_t len) const {
    if (offset > bytes_.size() || len > bytes_.size() - offset) {
        // The same report as a positional read that meets the end of a file.
        return fail(Error::io(kPreadEofMessage));
    }
    return ByteSpan(bytes_).subspan(static_cast<std::size_t>(offset), len);
}

Result<void> MemorySource::read_at(std::uint64_t offset, std::span<std::uint8_t> dest) const {
    VEXLO_ASSIGN_OR_RETURN(const ByteSpan from, range(offset, dest.size()));
    if (!from.empty()) std::memcpy(dest.data(), from.data(), from.size());
    return {};
}

Result<ByteSpan> MemorySource::view_at(std::uint64_t offset,
                                       std::span<std::uint8_t> scratch) const {
    return range(offset, scratch.size());
}

}  // namespace vexlo
