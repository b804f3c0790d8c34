// Splitting a pass over independent parts across the machine's cores.
//
// A pass is one call: its parts return a result, the failure of the lowest failing part is
// the answer, and an exception a part throws becomes that part's error. Threads come from one
// process-wide budget of the usable cores: each pass takes a slot for its calling thread, and
// helper threads only from the slots left, so concurrent passes never crowd the machine (once
// callers alone spend the budget, each pass runs on its own thread). Helpers are all joined
// before the call returns, so a fork between calls finds no thread of ours.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <expected>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <type_traits>
#include <utility>

namespace vexlo {

// The most threads one pass uses, the calling thread included.
inline constexpr std::size_t kMaxThreads = 8;

// The cores this process may run on, at least 1, read once: its CPU affinity (else the cores
// online), lowered to a cgroup CPU quota where one is set, since a container commonly has
// every core's affinity and a quota of one or two.
std::size_t usable_cores();

// The cores a cgroup v2 `cpu.max` text ("<quota> <period>", "max <period>" for none) allows,
// rounded up; none for no quota or a text of another form.
std::optional<std::size_t> cpu_max_cores(std::string_view text);

// The cores usable under an affinity of `affinity` cores and a cgroup quota of `quota` cores
// (none for no quota): the lower of the two.
std::size_t cores_within_quota(std::size_t affinity, std::optional<std::size_t> quota);

// How many parts `items` independent items make when each part should hold at least
// `min_per_part` of them: one per usable core, at most kMaxThreads, at least 1.
std::size_t parts_for(std::size_t items, std::size_t min_per_part);

// For tests only: every later parts_for answers `parts` (0 gives the machine's answer
// back), so that the split paths run on every machine, a one-core one included.
void force_parts_for_tests(std::size_t parts);

// For tests only: the budget becomes `helpers` + 1 threads, callers included, as on a machine
// of that many cores (none gives the usable cores back), so that helpers take parts on a
// one-core machine too.
void force_helper_budget_for_tests(std::optional<std::size_t> helpers);

// The threads of all passes running now: their calling threads and their helpers.
std::size_t pass_threads_alive();

namespace detail {

// The calling thread's slot in the budget for the length of a pass. A thread already in a pass
// (a part that runs a pass of its own, on a caller or a helper) holds a slot and takes none.
class CallerSlot {
  public:
    CallerSlot() noexcept;
    ~CallerSlot();
    CallerSlot(const CallerSlot&) = delete;
    CallerSlot& operator=(const CallerSlot&) = delete;

  private:
    bool taken_;
};

// Takes up to `wanted` helper threads from the slots left; returns how many were granted.
std::size_t take_helpers(std::size_t wanted) noexcept;
// Gives `n` helper threads back to the budget once they have ended.
void give_back_helpers(std::size_t n) noexcept;
// Marks the current thread as a helper, whose slot is already counted.
void enter_helper() noexcept;

// The C++ runtime allocates a thread's exception state on its first throw or catch, and the C
// library ends the process when that allocation fails. So a helper, once made, first takes
// that state, after checking that memory for it is there; what it found free must still be
// free when it takes it, so the rest of its pass allocates nothing meanwhile (see run_parts).
// True once the state is taken; false, having taken nothing, when memory is too short for it
// (the helper then takes no part).
bool ready_helper() noexcept;

// The failure of the lowest part that failed so far: a returned result or a thrown exception.
template <class R>
struct FirstFailure {
    std::mutex lock;
    std::size_t part = SIZE_MAX;
    std::optional<R> failed;
    std::exception_ptr thrown;

    void keep(std::size_t k, R&& r) {
        const std::lock_guard<std::mutex> hold(lock);
        if (k >= part) return;
        part = k;
        failed.emplace(std::move(r));
        thrown = nullptr;
    }
    void keep(std::size_t k, std::exception_ptr e) {
        const std::lock_guard<std::mutex> hold(lock);
        if (k >= part) return;
        part = k;
        failed.reset();
        thrown = std::move(e);
    }
};

// The error an exception thrown by a part stands for. E is the library's Error, reached
// through the part's result type because util sits below it.
template <class E>
E error_of(const std::exception_ptr& thrown) {
    try {
        std::rethrow_exception(thrown);
    } catch (const std::bad_alloc&) {
        return E::out_of_memory();
    } catch (const std::exception& e) {
        return E::io(std::string("internal failure: ") + e.what());
    } catch (...) {
        return E::io("internal failure: unknown exception");
    }
}

}  // namespace detail

// Calls part(k) exactly once for every k in [0, parts) and returns the failure of the lowest
// k that failed, or success. `part` returns a Result<void> (a std::expected<void, Error>);
// an exception it throws becomes that part's error, std::bad_alloc the out-of-memory one.
// Beside the calling thread, which takes a slot of the budget, up to threads - 1 helper
// threads take parts in order, as many as the budget has left; when it has none, the calling
// thread takes them all; a helper that finds no memory to start with takes none. Every helper
// is joined before the call returns. An error built from an exception is made on the calling
// thread after the join; only the memory for its text can fail there, as std::bad_alloc.
template <class Part>
auto run_parts(std::size_t parts, std::size_t threads, Part&& part) {
    using R = std::remove_cvref_t<std::invoke_result_t<Part&, std::size_t>>;
    using E = typename R::error_type;
    detail::FirstFailure<R> first;
    std::atomic<std::size_t> next{0};
    const auto work = [&]() noexcept {
        for (std::size_t k = next.fetch_add(1); k < parts; k = next.fetch_add(1)) {
            try {
                R r = part(k);
                if (!r) first.keep(k, std::move(r));
            } catch (...) {
                first.keep(k, std::current_exception());
            }
        }
    };
    const detail::CallerSlot slot;
    const std::size_t wanted = std::min({threads, parts, kMaxThreads});
    const std::size_t granted = wanted > 1 ? detail::take_helpers(wanted - 1) : 0;
    std::array<std::thread, kMaxThreads - 1> helpers;
    std::size_t started = 0;
    // Once every helper is made, and before any part starts, the helpers ready themselves one
    // after another, so that no thread of the pass allocates while one does: turn k + 1 is
    // helper k's, turn started + 1 lets all go.
    std::atomic<std::uint32_t> turn{0};
    const auto wait_for_turn = [&turn](std::uint32_t t) {
        for (std::uint32_t now = turn.load(); now != t; now = turn.load())
            turn.wait(now);
    };
    try {
        for (; started < granted; ++started) {
            const auto k = static_cast<std::uint32_t>(started);
            helpers[started] = std::thread([&work, &turn, &started, &wait_for_turn, k] {
                wait_for_turn(k + 1);
                const bool ready = detail::ready_helper();
                turn.fetch_add(1);
                turn.notify_all();
                if (!ready) return;
                wait_for_turn(static_cast<std::uint32_t>(started) + 1);
                detail::enter_helper();
                work();
            });
        }
    } catch (...) {
        // Fewer threads than granted: the others take their parts.
    }
    if (started > 0) {
        turn.store(1);
        turn.notify_all();
        wait_for_turn(static_cast<std::uint32_t>(started) + 1);
    }
    detail::give_back_helpers(granted - started);
    work();
    for (std::size_t i = 0; i < started; ++i)
        helpers[i].join();
    detail::give_back_helpers(started);
    if (first.thrown) return R(std::unexpected(detail::error_of<E>(first.thrown)));
    if (first.failed) return std::move(*first.failed);
    return R();
}

// run_parts with as many threads as parts.
template <class Part>
auto run_parts(std::size_t parts, Part&& part) {
    return run_parts(parts, parts, std::forward<Part>(part));
}

// Range k of [0, items) split into `parts` consecutive ranges whose lengths differ by at most
// one, the longer ones first.
struct PartRange {
    std::uint64_t first = 0;
    std::uint64_t count = 0;
};
inline PartRange part_range(std::size_t k, std::size_t parts, std::uint64_t items) {
    const std::uint64_t per = items / parts;
    const std::uint64_t longer = items % parts;
    return {k * per + std::min<std::uint64_t>(k, longer), per + (k < longer ? 1 : 0)};
}

// Splits [0, items) into max(parts, 1) ranges as part_range does and calls
// range(k, first, count) for range k as run_parts does, returning its answer.
template <class Range>
auto run_ranges(std::size_t parts, std::uint64_t items, Range&& range) {
    parts = std::max<std::size_t>(1, parts);
    return run_parts(parts, [&](std::size_t k) {
        const PartRange r = part_range(k, parts, items);
        return range(k, r.first, r.count);
    });
}

}  // namespace vexlo
