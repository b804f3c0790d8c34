#include "io/source.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>

#include "io/posix.hpp"
#include "util/try.hpp"

namespace vexlo {

namespace {

// One relaxed add per positional read (reads are made a chunk at a time, never per value).
std::atomic<std::uint64_t> g_file_bytes_read{0};

}  // namespace

std::uint64_t file_bytes_read_for_tests() {
    return g_file_bytes_read.load(std::memory_order_relaxed);
}

Result<ByteSpan> Source::view_at(std::uint64_t offset, std::span<std::uint8_t> scratch) const {
    VEXLO_TRY(read_at(offset, scratch));
    return ByteSpan(scratch);
}

Result<void> Source::copy_to(std::uint64_t offset, std::uint64_t len, const Sink& out) const {
    constexpr std::uint64_t kBlock = 1 << 20;
    Bytes block;
    try {
        block.resize(static_cast<std::size_t>(std::min(len, kBlock)));
    } catch (const std::bad_alloc&) {
        return fail(Error::out_of_memory());
    }
    while (len > 0) {
        const std::size_t n = static_cast<std::size_t>(std::min(len, kBlock));
        VEXLO_TRY(read_at(offset, std::span<std::uint8_t>(block.data(), n)));
        VEXLO_TRY(out.write(ByteSpan(block.data(), n)));
        offset += n;
        len -= n;
    }
    return {};
}

Result<void> FileSource::copy_to(std::uint64_t offset, std::uint64_t len, const Sink& out) const {
    if (offset > size_ || len > size_ - offset) return fail(Error::io(kPreadEofMessage));
    VEXLO_ASSIGN_OR_RETURN(const std::uint64_t copied, out.copy_from(fd_, offset, len));
    // Kernels or file systems that cannot copy between these files: copy the rest through
    // memory.
    if (copied < len) return Source::copy_to(offset + copied, len - copied, out);
    return {};
}

Result<void> FileSource::read_at(std::uint64_t offset, std::span<std::uint8_t> dest) const {
    g_file_bytes_read.fetch_add(dest.size(), std::memory_order_relaxed);
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
