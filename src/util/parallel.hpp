// Splitting a pass over independent parts across the machine's cores.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <system_error>
#include <thread>

namespace vexlo {

// The most threads a pass uses.
inline constexpr std::size_t kMaxParts = 8;

// The cores this process may run on (its CPU affinity where the system tells it, else the
// cores online), at least 1; read once.
std::size_t usable_cores();

// How many parts `items` independent items make when each part should hold at least
// `min_per_part` of them: one per usable core, at most kMaxParts, at least 1.
inline std::size_t parts_for(std::size_t items, std::size_t min_per_part) {
    return std::max<std::size_t>(1, std::min({usable_cores(), kMaxParts, items / min_per_part}));
}

// Calls part(k) for every k in [0, parts), each on its own thread but part 0, which runs on
// the calling thread; returns when all are done. A thread that cannot be started leaves its
// part to the calling thread, so every part runs exactly once. `part` must not throw.
template <class Part>
void run_parts(std::size_t parts, Part&& part) {
    parts = std::min(parts, kMaxParts);
    std::array<std::thread, kMaxParts> workers;
    std::size_t started = 1;
    try {
        for (; started < parts; ++started)
            workers[started] = std::thread([&part, k = started] { part(k); });
    } catch (const std::system_error&) {
        // Fewer threads than asked for: the rest is done here.
    }
    if (parts > 0) part(0);
    for (std::size_t k = started; k < parts; ++k)
        part(k);
    for (std::size_t k = 1; k < started; ++k)
        workers[k].join();
}

// Splits [0, items) into `parts` consecutive ranges of nearly equal length and calls
// range(k, first, count) for range k, each on its own thread as run_parts does.
template <class Range>
void run_ranges(std::size_t parts, std::uint64_t items, Range&& range) {
    parts = std::max<std::size_t>(1, std::min(parts, kMaxParts));
    const std::uint64_t per = (items + parts - 1) / parts;
    run_parts(parts, [&](std::size_t k) {
        const std::uint64_t first = std::min<std::uint64_t>(k * per, items);
        range(k, first, std::min<std::uint64_t>(first + per, items) - first);
    });
}

}  // namespace vexlo
