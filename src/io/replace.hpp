// A whole new file written beside its target and moved into place only once it is complete,
// so that a failure, a full disk or a killed process never leaves the target half written:
// the old file stays whole until the rename, and readers that hold it open keep reading it
// afterwards.
#pragma once

#include <string>

#include "error.hpp"
#include "io/buf_writer.hpp"
#include "io/posix.hpp"
#include "io/sink.hpp"

namespace vexlo {

// The temporary sibling's name for `target` in process `pid` at `nanos` nanoseconds past
// the second: "<dir>/<file name>.vexlo-tmp.<pid>.<8 hex digits>".
std::string temp_sibling_name(const std::string& target, long pid, unsigned long nanos);

// Creates a new temporary sibling of `target` exclusively (0666 before the umask,
// close-on-exec), trying up to 16 names; the last failure is reported.
struct TempSibling {
    std::string path;
    Fd fd;
};
Result<TempSibling> create_temp_sibling(const std::string& target);

// Forces the directory holding `path` to disk, so that a rename into it survives a crash.
Result<void> sync_parent_directory(const std::string& path);

// Whether a replacement waits for the disk. A new file (`write`, or a copy to another path)
// forces nothing, like any plain write, so a loop of small files runs at the disk cache's
// speed; the rewrite of an opened file forces the new content to disk before the rename and
// the directory after it, since it replaces data the caller already had.
enum class Durability { Unforced, Synced };

class ReplacingFile {
  public:
    // Prepares to write `target`. Without `overwrite` an existing target is refused now
    // (and again, atomically, at commit). An existing regular file keeps its permission
    // bits; an existing target that is not a regular file (a device, a pipe) cannot be
    // replaced by a rename and is written directly instead.
    static Result<ReplacingFile> create(const std::string& target, bool overwrite,
                                        Durability durability);

    ReplacingFile(ReplacingFile&& other) noexcept = default;
    ReplacingFile& operator=(ReplacingFile&& other) noexcept;
    ReplacingFile(const ReplacingFile&) = delete;
    ReplacingFile& operator=(const ReplacingFile&) = delete;
    // Removes the temporary file unless it was committed.
    ~ReplacingFile();

    // A buffered writer for the new content that leaves the file open; the caller flushes
    // it before commit, and keeps this object in place while the writer lives. Large pieces start
    // their writeback early only when a sync follows.
    BufWriter writer() const {
        return BufWriter::borrowing(sink_, durability_ == Durability::Synced);
    }
    // Where the content is being written: the temporary file, or the target itself.
    const std::string& writing_path() const { return temp_.empty() ? target_ : temp_; }

    // Closes the content and moves it over the target; when Synced, forces the content to disk
    // before and the directory after. On failure the temporary file is removed and the target
    // untouched.
    Result<void> commit();

  private:
    ReplacingFile() = default;
    void discard() noexcept;

    std::string target_;  // the path renamed onto (a symbolic link's destination)
    std::string temp_;    // empty when writing the target directly
    Sink sink_;
    bool overwrite_ = false;
    Durability durability_ = Durability::Synced;
};

}  // namespace vexlo
