// What a file opened in mode "update" shares with its HDU objects and their sections: the
// in-place updater behind its mutex, and each lazily read image's binding to it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "io/updater.hpp"
#include "io/writer_turn.hpp"

namespace vexlo::py {

struct SharedUpdater {
    std::mutex mutex;
    FitsUpdater updater;
};

// A binding is stale once the updater's generation has moved on (a list edit, a rewrite or
// close), and a patch through it then falls back to the in-memory array.
struct PatchBinding {
    std::shared_ptr<SharedUpdater> updater;
    std::size_t hdu_index = 0;
    std::uint64_t generation = 0;
};

// Advances the generation under the updater's lock; nothing without an updater.
void bump_generation(SharedUpdater* shared);

// The writer turn of the file the updater has open, waited for with the interpreter lock
// released. Taken before the updater's lock, never while holding it.
WriterTurn take_updater_turn(SharedUpdater& shared);

}  // namespace vexlo::py
