// The state one vexlo.FitsFile shares with its HDU objects, headers and sections, whatever
// its mode: the file's operation lock and its dirty flags, and, in mode "update", the in-place
// updater.
//
// Maintainer's note: a change to how a file object locks goes here, in this header and its
// .cpp, and nowhere else. The order below is the only one. Each lock is reached only through
// the guard of the lock above it (FileSession -> Operation -> Turn -> UpdaterAccess), and a
// guard is made only by giving up the guard above it: for good (`std::move(op).writer_turn()`),
// or lent for the life of the guard below (`lend_writer_turn(op)`, `lend_updater(turn)`),
// which leaves it empty until the guard below ends and gives it back. So while a lock is held
// no guard above it is at hand to take a lock above it again or out of order: the methods
// that go down are `&&`-qualified and the guards cannot be copied, which the .cpp checks at
// compile time. A guard used after it was given up holds nothing, and its methods raise an
// internal error instead of waiting on a lock its own thread holds. Code elsewhere never names
// the mutexes. A new lock gets its level in the list and a guard that only the guard above it
// hands out.
//
// Lock order, outermost first:
//   1. operation    FileSession::operation(). Recursive, one per file object: a method call
//                   on the file or on one of its objects holds it from start to end, so that
//                   threads sharing a file see its operations one after another.
//   2. writer turn  Operation::writer_turn(). One per file on disk, for the whole process
//                   (io/writer_turn.hpp): held by a rewrite, a patch or a sync of the file.
//   3. updater      Operation::updater() or Turn::updater(): the updater's records,
//                   generation and read-write descriptor (mode "update" only).
// Beneath these lie leaf locks, each taken alone: the slot mutex of PyFitsFile (inside which
// an HDU object being built reads the generation, through the operation its caller holds), a
// header's mutex (SharedHeader) and an image's array cache. Every wait releases the
// interpreter lock first, since the holder may need it to finish.
//
// The operation lock is recursive, so the types cannot see one thing: code holding the
// updater must not call back into the file object (or Python), which would take the operation
// again and then the updater through a new guard.
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
#include <utility>

#include "hdu/image_patch.hpp"
#include "io/updater.hpp"
#include "io/writer_turn.hpp"

namespace vexlo::py {

class FileSession {
  public:
    class Operation;
    class Turn;
    template <class Above>
    class UpdaterAccess;

    // Whether the calling thread holds the interpreter lock, which a wait then releases.
    enum class Gil : std::uint8_t { Held, Released };

    // A file opened read-only, or made by FitsFile(): no updater.
    FileSession() = default;
    // Mode "update", over the updater opened on the file.
    explicit FileSession(FitsUpdater updater);

    // The dirty flags, set with plain atomic stores and consumed by the file's flush with an
    // exchange. `modified`: the next flush must rewrite the file; `data_accessed`: an image
    // array was read; `patched`: a section patch was written into the file since its last
    // sync. With none of them set a flush has nothing to save, and checks nothing.
    std::atomic<bool> modified{false};
    std::atomic<bool> data_accessed{false};
    std::atomic<bool> patched{false};

    bool updating() const { return updater_.has_value(); }

    // Takes the operation lock for one operation of the file.
    Operation operation(Gil gil = Gil::Held);

  private:
    std::recursive_mutex operation_;
    std::mutex updater_mutex_;
    std::optional<FitsUpdater> updater_;  // set at construction, never replaced
};

// The operation lock, held while this lives. An empty one (no session, or given up to a guard
// below) holds nothing.
class FileSession::Operation {
  public:
    Operation() = default;
    // The guard moved from is left empty: no lock and no session to take the next lock from.
    Operation(Operation&& other) noexcept
        : session_(std::exchange(other.session_, nullptr)), lock_(std::move(other.lock_)) {}
    Operation& operator=(Operation&& other) noexcept {
        session_ = std::exchange(other.session_, nullptr);
        lock_ = std::move(other.lock_);
        return *this;
    }

    FileSession* session() const { return session_; }

    // The writer turn of the file the updater has open (mode "update" only), which holds this
    // operation from now on.
    Turn writer_turn(Gil gil = Gil::Held) &&;
    // The updater, locked (mode "update" only), which holds this operation from now on.
    UpdaterAccess<Operation> updater(Gil gil = Gil::Held) &&;

  private:
    friend class FileSession;
    FileSession* session_ = nullptr;
    std::unique_lock<std::recursive_mutex> lock_;
};

// The writer turn of the session's file, held while this lives, with the operation it was
// taken in.
class FileSession::Turn {
  public:
    Turn(Turn&&) noexcept = default;
    Turn& operator=(Turn&&) noexcept = default;

    FileSession* session() const { return operation_.session(); }

    // The updater, locked, which holds this turn from now on.
    UpdaterAccess<Turn> updater(Gil gil = Gil::Held) &&;
    // Gives the turn back and the operation to the caller.
    Operation release() &&;

  private:
    friend class FileSession::Operation;
    Turn() = default;
    Operation operation_;  // declared first: released last
    WriterTurn turn_;
};

// The updater, its mutex held while this lives, with the guard it was taken through.
template <class Above>
class FileSession::UpdaterAccess {
  public:
    UpdaterAccess(UpdaterAccess&&) noexcept = default;
    UpdaterAccess& operator=(UpdaterAccess&&) noexcept = default;

    FitsUpdater& operator*() const { return *above_.session()->updater_; }
    FitsUpdater* operator->() const { return &**this; }

    // Unlocks the updater and gives the guard above back to the caller.
    Above release() && {
        lock_ = {};
        return std::move(above_);
    }

  private:
    friend class FileSession::Operation;
    friend class FileSession::Turn;
    UpdaterAccess(Above&& above, Gil gil);
    Above above_;  // declared first: released last
    std::unique_lock<std::mutex> lock_;
};

// A guard made from the guard above it, lent for as long as this lives: the guard above is
// empty meanwhile and whole again afterwards. `*` and `->` reach the guard below, or, for the
// updater's, the updater itself.
template <class Above, class Lower>
class Lent {
  public:
    Lent(Above& above, Lower&& lower) : above_(&above), lower_(std::move(lower)) {}
    Lent(const Lent&) = delete;
    Lent& operator=(const Lent&) = delete;
    ~Lent() { *above_ = std::move(lower_).release(); }

    decltype(auto) operator*() {
        if constexpr (requires { *lower_; }) {
            return *lower_;
        } else {
            return (lower_);
        }
    }
    auto operator->() { return &**this; }

  private:
    Above* above_;
    Lower lower_;
};

// The writer turn, lent `op` until it ends.
Lent<FileSession::Operation, FileSession::Turn> lend_writer_turn(
    FileSession::Operation& op, FileSession::Gil gil = FileSession::Gil::Held);

// The updater, locked and lent `above` (an operation or a turn) until it ends.
template <class Above>
Lent<Above, FileSession::UpdaterAccess<Above>> lend_updater(
    Above& above, FileSession::Gil gil = FileSession::Gil::Held) {
    return {above, std::move(above).updater(gil)};
}

// Locks `mutex`, one of the locks above or a leaf lock of the Python layer. The holder may
// need the interpreter lock to finish, so a thread that holds it (`gil`) releases it while
// waiting on contention. Code holding a leaf lock may create Python objects but must not run
// Python code that could reach the same lock.
template <class Mutex>
std::unique_lock<Mutex> lock_mutex(Mutex& mutex, FileSession::Gil gil = FileSession::Gil::Held) {
    std::unique_lock<Mutex> lock(mutex, std::try_to_lock);
    if (lock.owns_lock()) return lock;
    if (gil == FileSession::Gil::Held) {
        nanobind::gil_scoped_release release;
        lock.lock();
    } else {
        lock.lock();
    }
    return lock;
}

// The operation lock of `session`; an empty operation without one (an object that belongs to
// no file opened for update).
FileSession::Operation lock_operation(FileSession* session);

// The operation locks of two file objects, taken together in the fixed order above.
struct OperationPair {
    FileSession::Operation first;   // of `first`
    FileSession::Operation second;  // of `second`; empty when it is `first` or none
};
OperationPair lock_operations(FileSession* first, FileSession* second);

// The writer turn of the file at `path`, waited for without the interpreter lock, as opening
// a file for update and the path-level edits take it (vexlo.FitsError when the path cannot be
// resolved).
WriterTurn writer_turn_at(const std::string& path);

// A lazily read image's binding to its file's updater. Stale once the updater's generation
// has moved on (a list edit, a rewrite or close), and a patch through it then falls back to
// the in-memory array.
struct PatchBinding {
    std::shared_ptr<FileSession> session;
    std::size_t hdu_index = 0;
    std::uint64_t generation = 0;
    // The image as the file held it at that generation; none when it takes no patch.
    std::optional<PatchTarget> target;
};

}  // namespace vexlo::py
