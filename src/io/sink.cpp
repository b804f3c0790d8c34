#include "io/sink.hpp"

#include <cerrno>

namespace vexlo {

Result<void> Sink::write(ByteSpan bytes) const {
    return write_all(fd_.get(), bytes.data(), bytes.size());
}

std::size_t Sink::write_some(ByteSpan bytes, Error& error) const {
    return vexlo::write_some(fd_.get(), bytes.data(), bytes.size(), error);
}

Result<void> Sink::write_at(std::uint64_t offset, ByteSpan bytes) const {
    return pwrite_all(fd_.get(), offset, bytes.data(), bytes.size());
}

Result<void> Sink::read_at(std::uint64_t offset, std::span<std::uint8_t> dest) const {
    return pread_exact(fd_.get(), offset, dest.data(), dest.size());
}

Result<std::uint64_t> Sink::copy_from(const Fd& from, std::uint64_t offset,
                                      std::uint64_t len) const {
    return copy_file_range_all(from.get(), offset, len, fd_.get());
}

Result<std::uint64_t> Sink::position() const {
    return file_position(fd_.get());
}

Result<void> Sink::seek(std::uint64_t offset) const {
    return seek_to(fd_.get(), offset);
}

Result<std::uint64_t> Sink::size() const {
    return file_size(fd_.get());
}

Result<void> Sink::truncate(std::uint64_t size) const {
    return truncate_file(fd_.get(), size);
}

void Sink::start_writeback() const {
    if (fd_.valid()) vexlo::start_writeback(fd_.get());
}

void Sink::preallocate(std::uint64_t offset, std::uint64_t len) const {
    if (fd_.valid()) vexlo::preallocate(fd_.get(), offset, len);
}

Result<void> Sink::sync_data() const {
    return vexlo::sync_data(fd_.get());
}

Result<void> Sink::sync() const {
    return sync_all(fd_.get());
}

Result<bool> Sink::named_by(const std::string& path) const {
    return path_names_open_file(fd_.get(), path);
}

Result<void> Sink::close() {
    if (!fd_.valid()) return {};
    return close_checked(std::move(fd_));
}

void Sink::reset() noexcept {
    fd_.reset();
}

}  // namespace vexlo
