#include "io/replace.hpp"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>

namespace vexlo {

namespace {

constexpr int kTempAttempts = 16;

// The directory part of a path ("." without one) and its last component.
std::pair<std::string, std::string> split_path(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return {".", path};
    return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

// A symbolic link is followed, so that the link stays and its destination is replaced;
// a dangling one is replaced itself.
std::string resolve_link(const std::string& path) {
    std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
    return real ? std::string(real.get()) : path;
}

// Without overwrite a file that appeared since the check is still never replaced: an atomic
// no-replace rename, or a hard link where the file system lacks it. False with errno set.
bool move_without_replacing(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
        return true;
    }
    if (errno != EINVAL && errno != ENOSYS) return false;
    if (::link(from.c_str(), to.c_str()) != 0) return false;
    ::unlink(from.c_str());
    return true;
}

}  // namespace

std::string temp_sibling_name(const std::string& target, long pid, unsigned long nanos) {
    auto [dir, name] = split_path(target);
    if (name.empty() || name == "." || name == "..") name = "vexlo-out";
    char tail[64];
    std::snprintf(tail, sizeof tail, ".vexlo-tmp.%ld.%08lx", pid, nanos);
    if (dir.back() != '/') dir += '/';
    return dir + name + tail;
}

Result<TempSibling> create_temp_sibling(const std::string& target) {
    Error last;
    for (int attempt = 0; attempt < kTempAttempts; ++attempt) {
        struct timespec now {};
        ::clock_gettime(CLOCK_REALTIME, &now);
        const unsigned long nanos = now.tv_sec < 0 ? 0 : static_cast<unsigned long>(now.tv_nsec);
        std::string path = temp_sibling_name(target, static_cast<long>(::getpid()), nanos);
        Result<Fd> fd = create_file(path, false);
        if (fd) return TempSibling{std::move(path), std::move(*fd)};
        last = std::move(fd).error();
    }
    return fail(std::move(last));
}

Result<void> sync_parent_directory(const std::string& path) {
    return sync_directory(split_path(path).first);
}

ReplacingFile& ReplacingFile::operator=(ReplacingFile&& other) noexcept {
    if (this != &other) {
        discard();
        target_ = std::move(other.target_);
        temp_ = std::move(other.temp_);
        sink_ = std::move(other.sink_);
        overwrite_ = other.overwrite_;
        durability_ = other.durability_;
        other.temp_.clear();
    }
    return *this;
}

ReplacingFile::~ReplacingFile() {
    discard();
}

void ReplacingFile::discard() noexcept {
    sink_.reset();
    if (!temp_.empty()) ::unlink(temp_.c_str());
    temp_.clear();
}

Result<ReplacingFile> ReplacingFile::create(const std::string& target, bool overwrite,
                                            Durability durability) {
    ReplacingFile out;
    out.target_ = target;
    out.overwrite_ = overwrite;
    out.durability_ = durability;
    struct stat st {};
    bool exists = ::lstat(target.c_str(), &st) == 0;
    if (!exists && errno != ENOENT) return std::unexpected(Error::io_errno(errno));
    if (exists && !overwrite) return std::unexpected(Error::io_errno(EEXIST));
    if (exists && S_ISLNK(st.st_mode)) {
        out.target_ = resolve_link(target);
        exists = ::stat(out.target_.c_str(), &st) == 0;
    }
    if (exists && S_ISDIR(st.st_mode)) return std::unexpected(Error::io_errno(EISDIR));
    if (exists && !S_ISREG(st.st_mode)) {
        // A device or pipe: renaming over it would replace the node itself.
        VEXLO_ASSIGN_OR_RETURN(Fd fd, create_file(out.target_, true));
        out.sink_ = Sink(std::move(fd));
        return out;
    }
    VEXLO_ASSIGN_OR_RETURN(TempSibling temp, create_temp_sibling(out.target_));
    out.temp_ = std::move(temp.path);
    if (exists && ::fchmod(temp.fd.get(), st.st_mode & 07777) != 0) {
        return std::unexpected(Error::io_errno(errno));
    }
    out.sink_ = Sink(std::move(temp.fd));
    return out;
}

Result<void> ReplacingFile::commit() {
    if (temp_.empty()) {
        sink_.reset();
        return {};
    }
    const bool synced = durability_ == Durability::Synced;
    Result<void> done = synced ? sink_.sync() : Result<void>{};
    if (done) done = sink_.close();
    if (done) {
        if (overwrite_) {
            if (::rename(temp_.c_str(), target_.c_str()) != 0) {
                done = std::unexpected(Error::io_errno(errno));
            }
        } else if (!move_without_replacing(temp_, target_)) {
            done = std::unexpected(Error::io_errno(errno));
        }
    }
    if (!done) {
        discard();
        return done;
    }
    temp_.clear();
    if (!synced) return {};
    return sync_parent_directory(target_);
}

}  // namespace vexlo
