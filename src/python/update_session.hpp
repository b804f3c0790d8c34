// The state one vexlo.FitsFile shares with its HDU objects, headers and sections: the file's
// operation lock, its dirty flags and, in mode "update", the in-place updater.
//
// Maintainer's note: a change to how update mode locks goes here, in this header and its
// .cpp, and nowhere else. The order below is the only one. Each lock is reached only through
// the guard of the lock above it (UpdateSession -> Operation -> Turn -> UpdaterAccess), so code
// elsewhere cannot take them out of order, and never names their mutexes. A new lock gets its
// level in the list and a guard that only the guard above it hands out.
//
// Lock order, outermost first:
//   1. operation    UpdateSession::operation(). Recursive, one per file object: a method call
//                   on the file or on one of its objects holds it from start to end, so that
//                   threads sharing a file see its operations one after another.
//   2. writer turn  Operation::writer_turn(). One per file on disk, for the whole process
//                   (io/writer_turn.hpp): held by a rewrite, a patch or a sync of the file.
//   3. updater      Operation::updater() or Turn::updater(): the updater's records,
//                   generation and read-write descriptor.
// Beneath these lie leaf locks, each taken alone: the slot mutex of PyFitsFile (inside which
// an HDU object being built reads the generation, through the operation its caller holds), a
// header's mutex (SharedHeader) and an image's array cache. Every wait releases the
// interpreter lock first, since the holder may need it to finish.
//
// No thread waits for an operation while it holds another. A patch through an image that was
// put into another file object is an operation of both files (it writes with the updater of
// the file the image was read from): lock_operations() takes the two together, the session at
// the lower address first, so two threads patching across the same pair in opposite roles
// cannot each hold one and wait for the other.
//
// Opening a file for update and the path-level edits (setval, delval, append) take the writer
// turn of the path before any file object exists, around one that no other thread can reach
// yet; its operations take the same turn again (it is recursive).
#pragma once

#include <nanobind/nanobind.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "hdu/image_patch.hpp"
#include "io/updater.hpp"
#include "io/writer_turn.hpp"

namespace vexlo::py {

class UpdateSession {
  public:
    class Operation;
    class Turn;
    class UpdaterAccess;

    // Whether the calling thread holds the interpreter lock, which a wait then releases.
    enum class Gil : std::uint8_t { Held, Released };

    // A file opened read-only, or made by FitsFile(): no updater.
    UpdateSession() = default;
    // Mode "update", over the updater opened on the file.
    explicit UpdateSession(FitsUpdater updater);

    // The dirty flags, set with plain atomic stores and consumed by the file's flush with an
    // exchange. `modified`: the next flush must rewrite the file; `data_accessed`: an image
    // array was read.
    std::atomic<bool> modified{false};
    std::atomic<bool> data_accessed{false};

    bool updating() const { return updater_ != nullptr; }

    // Takes the operation lock for one operation of the file.
    Operation operation(Gil gil = Gil::Held);

  private:
    struct Updater {
        std::mutex mutex;
        FitsUpdater updater;
    };
    std::recursive_mutex operation_;
    std::unique_ptr<Updater> updater_;  // set at construction, never replaced
};

// The operation lock, held while this lives. An empty one (no session) holds nothing.
class UpdateSession::Operation {
  public:
    Operation() = default;

    UpdateSession* session() const { return session_; }

    // The writer turn of the file the updater has open (mode "update" only).
    Turn writer_turn(Gil gil = Gil::Held) const;
    // The updater, locked (mode "update" only).
    UpdaterAccess updater(Gil gil = Gil::Held) const;

  private:
    friend class UpdateSession;
    UpdateSession* session_ = nullptr;
    std::unique_lock<std::recursive_mutex> lock_;
};

// The writer turn of the session's file, held while this lives.
class UpdateSession::Turn {
  public:
    UpdaterAccess updater(Gil gil = Gil::Held) const;

  private:
    friend class UpdateSession::Operation;
    UpdateSession* session_ = nullptr;
    WriterTurn turn_;
};

// The updater, its mutex held while this lives.
class UpdateSession::UpdaterAccess {
  public:
    FitsUpdater& operator*() const { return *updater_; }
    FitsUpdater* operator->() const { return updater_; }

  private:
    friend class UpdateSession::Operation;
    friend class UpdateSession::Turn;
    UpdaterAccess(UpdateSession& session, Gil gil);
    std::unique_lock<std::mutex> lock_;
    FitsUpdater* updater_ = nullptr;
};

// Locks `mutex`, one of the locks above or a leaf lock of the Python layer. The holder may
// need the interpreter lock to finish, so a thread that holds it (`gil`) releases it while
// waiting on contention. Code holding a leaf lock may create Python objects but must not run
// Python code that could reach the same lock.
template <class Mutex>
std::unique_lock<Mutex> lock_mutex(Mutex& mutex,
                                   UpdateSession::Gil gil = UpdateSession::Gil::Held) {
    std::unique_lock<Mutex> lock(mutex, std::try_to_lock);
    if (lock.owns_lock()) return lock;
    if (gil == UpdateSession::Gil::Held) {
        nanobind::gil_scoped_release release;
        lock.lock();
    } else {
        lock.lock();
    }
    return lock;
}

// The operation lock of `session`; an empty operation without one (an object that belongs to
// no file opened for update).
UpdateSession::Operation lock_operation(UpdateSession* session);

// The operation locks of two file objects, taken together in the fixed order above.
struct OperationPair {
    UpdateSession::Operation first;   // of `first`
    UpdateSession::Operation second;  // of `second`; empty when it is `first` or none
};
OperationPair lock_operations(UpdateSession* first, UpdateSession* second);

// The writer turn of the file at `path`, waited for without the interpreter lock, as opening
// a file for update and the path-level edits take it (vexlo.FitsError when the path cannot be
// resolved).
WriterTurn writer_turn_at(const std::string& path);

// A lazily read image's binding to its file's updater. Stale once the updater's generation
// has moved on (a list edit, a rewrite or close), and a patch through it then falls back to
// the in-memory array.
struct PatchBinding {
    std::shared_ptr<UpdateSession> session;
    std::size_t hdu_index = 0;
    std::uint64_t generation = 0;
    // The image as the file held it at that generation; none when it takes no patch.
    std::optional<PatchTarget> target;
};

}  // namespace vexlo::py
