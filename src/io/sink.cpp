#include "io/sink.hpp"

#include <cerrno>

namespace vexlo {

Sink& Sink::operator=(Sink&& other) noexcept {
    if (this != &other) {
        owned_ = std::move(other.owned_);
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

Result<void> Sink::write(ByteSpan bytes) const {
    return write_all(fd_, bytes.data(), bytes.size());
}

std::size_t Sink::write_some(ByteSpan bytes, Error& error) const {
    return vexlo::write_some(fd_, bytes.data(), bytes.size(), error);
}

Result<void> Sink::write_at(std::uint64_t offset, ByteSpan bytes) const {
    return pwrite_all(fd_, offset, bytes.data(), bytes.size());
}

Result<void> Sink::read_at(std::uint64_t offset, std::span<std::uint8_t> dest) const {
    return pread_exact(fd_, offset, dest.data(), dest.size());
}

Result<std::uint64_t> Sink::copy_from(const Fd& from, std::uint64_t offset,
                                      std::uint64_t len) const {
    return copy_file_range_all(from.get(), offset, len, fd_);
}

Result<std::uint64_t> Sink::position() const {
    return file_position(fd_);
}

Result<void> Sink::seek(std::uint64_t offset) const {
    return seek_to(fd_, offset);
}

Result<std::uint64_t> Sink::size() const {
    return file_size(fd_);
}

Result<void> Sink::truncate(std::uint64_t size) const {
    return truncate_file(fd_, size);
}

void Sink::start_writeback() const {
    if (fd_ >= 0) vexlo::start_writeback(fd_);
}

Result<void> Sink::sync_data() const {
    return vexlo::sync_data(fd_);
}

Result<void> Sink::sync() const {
    return sync_all(fd_);
}

Result<bool> Sink::named_by(const std::string& path) const {
    return path_names_open_file(fd_, path);
}

Result<void> Sink::close() {
    fd_ = -1;
    if (!owned_.valid()) return {};
    return close_checked(std::move(owned_));
}

void Sink::reset() noexcept {
    fd_ = -1;
    owned_.reset();
}

}  // namespace vexlo
