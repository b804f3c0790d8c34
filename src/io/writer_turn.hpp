// Writers of one file within this process take turns. A rewrite (a new file renamed over the
// old one), an append, and an in-place patch or its sync each first take the file's turn and
// then check that the path still names the file they read: two of them can then never both
// find the file unchanged and overwrite each other's work. Files are told apart by device and
// inode, which is exactly what a rename over the path replaces. There is no lock between
// processes: there the last rename wins.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "error.hpp"
#include "io/posix.hpp"

namespace vexlo {

// Recursive: a path-level edit holds its file's turn across the rewrite it runs.
using WriterMutex = std::recursive_mutex;

// The one mutex of this process for the file `id`; alive while anyone holds it.
std::shared_ptr<WriterMutex> writer_mutex(FileIdentity id);

// A held turn: the mutex kept alive and locked until the turn is dropped. Empty when no file
// stood at the path it was asked for.
struct WriterTurn {
    std::shared_ptr<WriterMutex> mutex;  // declared first: outlives the lock
    std::unique_lock<WriterMutex> lock;

    WriterTurn() = default;
    explicit WriterTurn(std::shared_ptr<WriterMutex> m) : mutex(std::move(m)), lock(*mutex) {}
    WriterTurn(WriterTurn&&) noexcept = default;
    // The turn held before is given back before its mutex may go.
    WriterTurn& operator=(WriterTurn&& other) noexcept {
        lock = std::move(other.lock);
        mutex = std::move(other.mutex);
        return *this;
    }

    bool held() const { return lock.owns_lock(); }
};

// Waits for the turn of the file `id`. A caller that holds the interpreter lock releases it
// first: the holder may need it to finish.
WriterTurn wait_for_turn(FileIdentity id);
// Waits for the turn of the file `path` names, taken again when another writer put a new
// file there while this one waited; empty when nothing is at the path.
Result<WriterTurn> wait_for_turn_at(const std::string& path);

}  // namespace vexlo
