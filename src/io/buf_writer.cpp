#include "io/buf_writer.hpp"

#include <algorithm>
#include <cstring>
#include <new>

#include "io/posix.hpp"
#include "util/try.hpp"

namespace vexlo {

BufWriter::BufWriter(BufWriter&& other) noexcept
    : owned_(std::move(other.owned_)),
      borrowed_(other.borrowed_),
      buf_(std::move(other.buf_)),
      len_(other.len_),
      write_behind_(other.write_behind_),
      hold_(other.hold_),
      held_(std::move(other.held_)) {
    other.borrowed_ = nullptr;
    other.len_ = 0;
    other.hold_ = 0;
}

BufWriter& BufWriter::operator=(BufWriter&& other) noexcept {
    if (this != &other) {
        if (len_ > 0) (void)flush();
        owned_ = std::move(other.owned_);
        borrowed_ = other.borrowed_;
        buf_ = std::move(other.buf_);
        len_ = other.len_;
        write_behind_ = other.write_behind_;
        hold_ = other.hold_;
        held_ = std::move(other.held_);
        other.borrowed_ = nullptr;
        other.len_ = 0;
        other.hold_ = 0;
    }
    return *this;
}

BufWriter::~BufWriter() {
    if (len_ > 0) (void)flush();
}

BufWriter BufWriter::borrowing(const Sink& owner, bool write_behind) {
    BufWriter out;
    out.borrowed_ = &owner;
    out.write_behind_ = write_behind;
    return out;
}

BufWriter BufWriter::borrowing_holding(const Sink& owner, std::size_t hold, bool write_behind) {
    BufWriter out = borrowing(owner, write_behind);
    out.hold_ = hold;
    return out;
}

Result<BufWriter> BufWriter::create(const std::string& path, bool overwrite) {
    VEXLO_ASSIGN_OR_RETURN(Fd fd, create_file(path, overwrite));
    return BufWriter(Sink(std::move(fd)));
}

Result<void> BufWriter::flush() {
    if (len_ == 0) return {};
    Error error;
    const std::size_t done = sink().write_some(ByteSpan(buf_.get(), len_), error);
    // Keep what was not written so that a later flush can retry it.
    if (done > 0) std::memmove(buf_.get(), buf_.get() + done, len_ - done);
    len_ -= done;
    if (len_ > 0) return fail(std::move(error));
    return {};
}

Result<void> BufWriter::write(ByteSpan bytes) {
    if (held_.size() < hold_ && !bytes.empty()) {
        const std::size_t take = std::min(hold_ - held_.size(), bytes.size());
        try {
            held_.insert(held_.end(), bytes.begin(), bytes.begin() + take);
        } catch (const std::bad_alloc&) {
            return fail(Error::out_of_memory());
        }
        bytes = bytes.subspan(take);
    }
    if (bytes.size() > kCapacity - len_) {
        VEXLO_TRY(flush());
    }
    if (bytes.size() >= kCapacity) return write_through(bytes);
    if (bytes.empty()) return {};
    if (!buf_) {
        buf_.reset(new (std::nothrow) std::uint8_t[kCapacity]);
        if (!buf_) return fail(Error::out_of_memory());
    }
    std::memcpy(buf_.get() + len_, bytes.data(), bytes.size());
    len_ += bytes.size();
    return {};
}

Result<void> BufWriter::write_through(ByteSpan bytes) {
    // Blocks reserved before a large piece is written spare the file system allocating them
    // page by page during the write, which on ext4 takes longer than copying the bytes.
    constexpr std::size_t kReserveFrom = std::size_t{1} << 20;
    if (bytes.size() >= kReserveFrom) {
        if (const Result<std::uint64_t> at = sink().position()) {
            sink().preallocate(*at, bytes.size());
        }
    }
    // A writer that syncs when it is done writes a large piece in steps and starts the disk on
    // each finished step, which overlaps that sync with the rest of the write.
    while (write_behind_ && bytes.size() > kWriteBehindStep) {
        VEXLO_TRY(sink().write(bytes.first(kWriteBehindStep)));
        sink().start_writeback();
        bytes = bytes.subspan(kWriteBehindStep);
    }
    return sink().write(bytes);
}

Result<void> BufWriter::copy_from(const Source& source, std::uint64_t offset, std::uint64_t len) {
    // Copied bytes bypass the buffer, so they cannot be the ones held back.
    if (held_.size() < hold_) return fail(Error::io("copy into a writer still holding bytes back"));
    VEXLO_TRY(flush());
    return source.copy_to(offset, len, sink());
}

}  // namespace vexlo
