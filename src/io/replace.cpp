#include "io/replace.hpp"

#include <stdio.h>
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
        struct timespec now{};
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
    VEXLO_ASSIGN_OR_RETURN(std::optional<PathNode> found, path_node(target, false));
    if (found && !overwrite) return std::unexpected(Error::io_errno(EEXIST));
    if (found && found->kind == NodeKind::SymbolicLink) {
        out.target_ = resolve_link(target);
        // A link that leads nowhere readable is replaced itself.
        const Result<std::optional<PathNode>> destination = path_node(out.target_, true);
        found = destination ? *destination : std::nullopt;
    }
    if (found && found->kind == NodeKind::Directory) {
        return std::unexpected(Error::io_errno(EISDIR));
    }
    if (found && found->kind != NodeKind::Regular) {
        // A device or pipe: renaming over it would replace the node itself.
        VEXLO_ASSIGN_OR_RETURN(Fd fd, create_file(out.target_, true));
        out.sink_ = Sink(std::move(fd));
        return out;
    }
    VEXLO_ASSIGN_OR_RETURN(TempSibling temp, create_temp_sibling(out.target_));
    out.temp_ = std::move(temp.path);
    if (found) VEXLO_TRY(set_permissions(temp.fd.get(), found->permissions));
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
        done = overwrite_ ? rename_replacing(temp_, target_)
                          : rename_without_replacing(temp_, target_);
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
