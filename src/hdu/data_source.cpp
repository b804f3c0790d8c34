#include "hdu/data_source.hpp"

#include <cstring>
#include <new>

#include "util/text.hpp"

namespace vexlo {

Result<DataSource> DataSource::of_file(const FitsFile& file, std::size_t index) {
    if (index >= file.len()) return fail(hdu_index_error(index, file.len()));
    const DataSpan& span = file.spans[index];
    // The scan checked that the data section lies inside the content.
    if (const std::optional<ByteSpan> all = file.source->contents()) {
        return of_memory(all->subspan(static_cast<std::size_t>(span.data_offset),
                                      static_cast<std::size_t>(span.data_len)));
    }
    DataSource s;
    s.file_ = &file;
    s.index_ = index;
    s.size_ = span.data_len;
    return s;
}

DataSource DataSource::of_memory(ByteSpan bytes) {
    DataSource s;
    s.memory_ = bytes;
    s.size_ = bytes.size();
    return s;
}

std::optional<ByteSpan> DataSource::held() const {
    if (file_ != nullptr) return std::nullopt;
    return memory_;
}

Result<DataSource> DataSource::slice(std::uint64_t offset, std::uint64_t n) const {
    VEXLO_TRY(check_data_range(offset, n, size_));
    DataSource s = *this;
    s.size_ = n;
    if (file_ != nullptr) {
        s.base_ = base_ + offset;
    } else {
        s.memory_ = memory_.subspan(static_cast<std::size_t>(offset), static_cast<std::size_t>(n));
    }
    return s;
}

Result<ByteSpan> DataSource::whole() const {
    if (file_ == nullptr) return memory_;
    VEXLO_ASSIGN_OR_RETURN(const ByteSpan all, file_->data_bytes(index_));
    return all.subspan(static_cast<std::size_t>(base_), static_cast<std::size_t>(size_));
}

Result<void> DataSource::read(std::uint64_t offset, std::span<std::uint8_t> dest) const {
    VEXLO_TRY(check_data_range(offset, dest.size(), size_));
    return copy_in(offset, dest);
}

Result<void> DataSource::copy_in(std::uint64_t offset, std::span<std::uint8_t> dest) const {
    if (file_ != nullptr) return file_->read_data_range_into(index_, base_ + offset, dest);
    if (!dest.empty()) {
        std::memcpy(dest.data(), memory_.data() + static_cast<std::size_t>(offset), dest.size());
    }
    return {};
}

Result<void> DataSource::check_destination(std::uint64_t dest_len) const {
    return check_size("read_data_into: destination", dest_len, "data section", size_);
}

Result<Bytes> DataSource::read_bytes(std::uint64_t offset, std::uint64_t n) const {
    VEXLO_TRY(check_data_range(offset, n, size_));
    try {
        Bytes out(static_cast<std::size_t>(n));
        VEXLO_TRY(copy_in(offset, out));
        return out;
    } catch (const std::bad_alloc&) {
        return fail(Error::out_of_memory());
    }
}

std::optional<ByteSpan> DataSource::view(std::uint64_t offset, std::size_t n) const {
    if (file_ != nullptr) return std::nullopt;
    return memory_.subspan(static_cast<std::size_t>(offset), n);
}

Result<ByteSpan> DataSource::block(std::uint64_t offset, std::size_t n, Bytes& scratch) const {
    VEXLO_TRY(check_data_range(offset, n, size_));
    if (const std::optional<ByteSpan> in_memory = view(offset, n)) return *in_memory;
    try {
        if (scratch.size() < n) scratch.resize(n);
    } catch (const std::bad_alloc&) {
        return fail(Error::out_of_memory());
    }
    const std::span<std::uint8_t> dest(scratch.data(), n);
    VEXLO_TRY(copy_in(offset, dest));
    return ByteSpan(dest);
}

std::optional<std::string> size_mismatch(std::string_view dest, std::uint64_t dest_len,
                                         std::string_view source, std::uint64_t len) {
    if (dest_len == len) return std::nullopt;
    return std::string(dest) + " is " + str(dest_len) + " bytes, " + std::string(source) + " is " +
           str(len);
}

Result<void> check_size(std::string_view dest, std::uint64_t dest_len, std::string_view source,
                        std::uint64_t len) {
    if (std::optional<std::string> text = size_mismatch(dest, dest_len, source, len)) {
        return fail(Error::data(std::move(*text)));
    }
    return {};
}

}  // namespace vexlo
