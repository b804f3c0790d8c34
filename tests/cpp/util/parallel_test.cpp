#include <gtest/gtest.h>

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <latch>
#include <mutex>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "error.hpp"
#include "util/parallel.hpp"

namespace vexlo {
namespace {

// Gives the machine's budget and part counts back whatever a test forced.
struct Overrides {
    explicit Overrides(std::optional<std::size_t> budget) { force_helper_budget_for_tests(budget); }
    ~Overrides() {
        force_helper_budget_for_tests(std::nullopt);
        force_parts_for_tests(0);
    }
};

TEST(Parallel, RangesCoverEveryItemOnceInOrder) {
    for (const std::optional<std::size_t> budget : {std::optional<std::size_t>(0), {3}}) {
        const Overrides restore(budget);
        for (std::size_t parts = 1; parts <= 9; ++parts) {
            std::vector<std::uint64_t> counts = {0, 1, 2 * parts + 1, 100};
            for (const std::uint64_t m : {1, 2, 5}) {
                for (const int d : {-1, 0, 1})
                    counts.push_back(m * parts + d);
            }
            for (const std::uint64_t items : counts) {
                std::vector<std::atomic<int>> seen(items);
                std::vector<std::uint64_t> first(parts, ~0ull), count(parts, ~0ull);
                std::atomic<int> calls{0};
                const Result<void> r =
                    run_ranges(parts, items, [&](std::size_t k, std::uint64_t f, std::uint64_t n) {
                        ++calls;
                        first[k] = f;
                        count[k] = n;
                        for (std::uint64_t i = f; i < f + n && i < items; ++i)
                            ++seen[i];
                        return Result<void>();
                    });
                SCOPED_TRACE("parts " + std::to_string(parts) + ", items " + std::to_string(items));
                ASSERT_TRUE(r);
                ASSERT_EQ(calls.load(), static_cast<int>(parts));
                std::uint64_t end = 0;
                for (std::size_t k = 0; k < parts; ++k) {
                    EXPECT_EQ(first[k], end);
                    // Lengths differ by at most one, the longer ones first.
                    EXPECT_TRUE(count[k] == items / parts || count[k] == items / parts + 1);
                    if (k > 0) {
                        EXPECT_LE(count[k], count[k - 1]);
                    }
                    end = first[k] + count[k];
                }
                EXPECT_EQ(end, items);
                for (std::uint64_t i = 0; i < items; ++i)
                    ASSERT_EQ(seen[i].load(), 1) << "item " << i;
            }
        }
    }
    EXPECT_EQ(pass_threads_alive(), 0u);
}

TEST(Parallel, SpentBudgetRunsEveryPartOnTheCallingThread) {
    const Overrides restore(0);
    const std::thread::id caller = std::this_thread::get_id();
    std::vector<int> runs(9, 0);
    std::vector<std::size_t> order;
    const Result<void> r = run_parts(9, [&](std::size_t k) -> Result<void> {
        EXPECT_EQ(std::this_thread::get_id(), caller);
        ++runs[k];
        order.push_back(k);
        return {};
    });
    ASSERT_TRUE(r);
    EXPECT_EQ(runs, std::vector<int>(9, 1));
    EXPECT_EQ(order, (std::vector<std::size_t>{0, 1, 2, 3, 4, 5, 6, 7, 8}));
}

// How part k of a pass ends.
enum class End { Ok, Fails, BadAlloc, Throws };

Result<void> end_as(End end, std::size_t k) {
    switch (end) {
        case End::Ok:
            return {};
        case End::Fails:
            return fail(Error::data("part " + std::to_string(k)));
        case End::BadAlloc:
            throw std::bad_alloc();
        case End::Throws:
            throw std::runtime_error("part " + std::to_string(k));
    }
    return {};
}

TEST(Parallel, FirstFailureInPartOrderWinsWhateverItsKind) {
    struct Case {
        std::vector<End> parts;
        std::string message;
    };
    const std::string oom = Error::out_of_memory().message();
    const std::vector<Case> cases = {
        {{End::Ok, End::Ok, End::Ok}, ""},
        {{End::Ok, End::Fails, End::BadAlloc, End::Throws}, "data: part 1"},
        {{End::Ok, End::Ok, End::Throws, End::Fails}, "i/o error: internal failure: part 2"},
        {{End::BadAlloc, End::Fails, End::Throws}, oom},
        {{End::Ok, End::Ok, End::Ok, End::Ok, End::Ok, End::Ok, End::Ok, End::Ok, End::Fails},
         "data: part 8"},
        {{End::Ok, End::Ok, End::Ok, End::Ok, End::Ok, End::BadAlloc, End::Fails}, oom},
    };
    for (const std::size_t budget : {0, 8}) {
        const Overrides restore(budget);
        for (const Case& c : cases) {
            std::vector<std::atomic<int>> runs(c.parts.size());
            const Result<void> r = run_parts(c.parts.size(), [&](std::size_t k) {
                ++runs[k];
                return end_as(c.parts[k], k);
            });
            EXPECT_EQ(r ? std::string() : r.error().message(), c.message);
            for (const std::atomic<int>& n : runs)
                EXPECT_EQ(n.load(), 1);
        }
    }
    EXPECT_EQ(pass_threads_alive(), 0u);
}

TEST(Parallel, ExceptionsOnHelpersAndOnTheCallingThreadBecomeErrors) {
    // Four threads take one part each: every part waits until all four have started.
    struct Case {
        End on_caller;
        End on_helper;
    };
    for (const Case c : {Case{End::Throws, End::BadAlloc}, Case{End::BadAlloc, End::Throws}}) {
        const Overrides restore(3);
        const std::thread::id caller = std::this_thread::get_id();
        std::latch all_started(4);
        std::vector<char> on_caller(4);  // not vector<bool>: each part writes its own
        const Result<void> r = run_parts(4, [&](std::size_t k) {
            all_started.arrive_and_wait();
            on_caller[k] = std::this_thread::get_id() == caller;
            return end_as(on_caller[k] ? c.on_caller : c.on_helper, k);
        });
        ASSERT_FALSE(r);
        EXPECT_EQ(std::count(on_caller.begin(), on_caller.end(), 1), 1);
        const End first = on_caller[0] ? c.on_caller : c.on_helper;
        EXPECT_EQ(r.error().message(), first == End::BadAlloc
                                           ? Error::out_of_memory().message()
                                           : "i/o error: internal failure: part 0");
        EXPECT_EQ(pass_threads_alive(), 0u);
    }
}

// The most helper threads seen running parts at once while `threads` threads run passes.
int most_helpers_at_once(int threads) {
    std::atomic<int> live{0};
    std::atomic<int> most{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < threads; ++t) {
        callers.emplace_back([&] {
            const std::thread::id caller = std::this_thread::get_id();
            for (int round = 0; round < 10; ++round) {
                const Result<void> r = run_ranges(
                    8, 64, [&](std::size_t, std::uint64_t, std::uint64_t) -> Result<void> {
                        const bool helper = std::this_thread::get_id() != caller;
                        if (helper) {
                            const int now = ++live;
                            int seen = most.load();
                            while (now > seen && !most.compare_exchange_weak(seen, now)) {
                            }
                        }
                        std::this_thread::sleep_for(std::chrono::microseconds(200));
                        if (helper) --live;
                        return {};
                    });
                EXPECT_TRUE(r);
            }
        });
    }
    for (std::thread& t : callers)
        t.join();
    return most.load();
}

TEST(Parallel, HelpersOfConcurrentPassesStayWithinTheBudget) {
    {
        // Two callers leave room in a budget of 4 threads, so helpers take parts; 16 callers
        // spend it by themselves, and helpers appear only while few of them are in passes.
        const Overrides restore(3);
        const int most = most_helpers_at_once(2);
        EXPECT_LE(most, 3);
        EXPECT_GE(most, 1);
        EXPECT_LE(most_helpers_at_once(16), 3);
    }
    const Overrides restore(std::nullopt);
    EXPECT_LE(most_helpers_at_once(16), static_cast<int>(usable_cores()) - 1);
    EXPECT_EQ(pass_threads_alive(), 0u);
}

// Threads that stay inside one-part passes until released, each holding its slot.
struct HeldCallers {
    std::mutex lock;
    std::condition_variable changed;
    std::size_t inside = 0;
    bool released = false;
    std::vector<std::thread> threads;

    explicit HeldCallers(std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) {
            threads.emplace_back([this] {
                const Result<void> r = run_parts(1, [this](std::size_t) -> Result<void> {
                    std::unique_lock<std::mutex> hold(lock);
                    ++inside;
                    changed.notify_all();
                    changed.wait(hold, [this] { return released; });
                    return {};
                });
                EXPECT_TRUE(r);
            });
        }
        std::unique_lock<std::mutex> hold(lock);
        changed.wait(hold, [&] { return inside == n; });
    }
    ~HeldCallers() {
        {
            const std::lock_guard<std::mutex> hold(lock);
            released = true;
        }
        changed.notify_all();
        for (std::thread& t : threads)
            t.join();
    }
};

// The distinct threads that ran the parts of a pass of `parts` parts while `held` slots of the
// budget are held by threads outside the pass. Every part waits, without a clock, until as many
// threads have arrived as the pass was granted (its slots in the budget, its own included, read
// inside the pass), so that each of them takes a part however late it starts, and none takes a
// second before.
std::size_t threads_granted_a_pass(std::size_t parts, std::size_t held) {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::thread::id> ids;
    const Result<void> r = run_parts(parts, [&](std::size_t) -> Result<void> {
        const std::size_t granted = std::min(pass_threads_alive() - held, parts);
        std::unique_lock<std::mutex> hold(lock);
        if (std::find(ids.begin(), ids.end(), std::this_thread::get_id()) == ids.end()) {
            ids.push_back(std::this_thread::get_id());
            changed.notify_all();
        }
        changed.wait(hold, [&] { return ids.size() >= granted; });
        return {};
    });
    EXPECT_TRUE(r);
    return ids.size();
}

TEST(Parallel, CallingThreadsCountAgainstTheBudget) {
    // A budget of 4 threads: with `held` other callers inside passes, a new pass may use the
    // slots left, its own thread included, and always its own thread.
    const Overrides restore(3);
    struct Case {
        std::size_t held;
        std::size_t threads;
    };
    for (const Case c : {Case{0, 4}, Case{1, 3}, Case{2, 2}, Case{3, 1}, Case{4, 1}, Case{6, 1}}) {
        SCOPED_TRACE("held callers " + std::to_string(c.held));
        const HeldCallers held(c.held);
        EXPECT_EQ(pass_threads_alive(), c.held);
        EXPECT_EQ(threads_granted_a_pass(c.threads, c.held), c.threads);
        // Asked for more, the pass gets no more than the budget leaves.
        EXPECT_EQ(threads_granted_a_pass(8, c.held), c.threads);
    }
    EXPECT_EQ(pass_threads_alive(), 0u);
}

TEST(Parallel, PassesInsideAPartTakeNoSecondSlot) {
    // A part that runs a pass of its own, on the calling thread and on a helper: its thread
    // already holds a slot, so the inner pass has the rest of the budget of 4.
    const Overrides restore(3);
    std::vector<std::size_t> inner(2);
    std::latch both(2);
    const Result<void> r = run_parts(2, [&](std::size_t k) -> Result<void> {
        both.arrive_and_wait();  // the outer pass holds 2 threads
        // Outside each inner pass, the other part's thread holds a slot.
        if (k == 1) {
            inner[k] = threads_granted_a_pass(1, 1);
            return {};
        }
        inner[k] = threads_granted_a_pass(3, 1);
        return {};
    });
    ASSERT_TRUE(r);
    EXPECT_EQ(inner, (std::vector<std::size_t>{3, 1}));
    EXPECT_EQ(pass_threads_alive(), 0u);
}

TEST(Parallel, UsableCoresStayWithinTheAffinity) {
    cpu_set_t set;
    CPU_ZERO(&set);
    ASSERT_EQ(sched_getaffinity(0, sizeof set, &set), 0);
    EXPECT_GE(usable_cores(), 1u);
    EXPECT_LE(usable_cores(), static_cast<std::size_t>(CPU_COUNT(&set)));
}

TEST(Parallel, CgroupQuotaText) {
    struct Case {
        const char* text;
        std::optional<std::size_t> cores;
    };
    const Case cases[] = {
        {"max 100000\n", std::nullopt},
        {"max", std::nullopt},
        {"200000 100000\n", 2},
        {"150000 100000\n", 2},
        {"100001 100000", 2},
        {"100000 100000", 1},
        {"50000 100000\n", 1},
        {"  300000\t 100000 \n", 3},
        {"18446744073709551615 1", SIZE_MAX},
        {"", std::nullopt},
        {"\n", std::nullopt},
        {"100000", std::nullopt},
        {"100000 0", std::nullopt},
        {"0 100000", std::nullopt},
        {"-200000 100000", std::nullopt},
        {"+200000 100000", std::nullopt},
        {"2e5 100000", std::nullopt},
        {"200000 100000 7", std::nullopt},
        {"18446744073709551616 1", std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(cpu_max_cores(c.text), c.cores) << '"' << c.text << '"';
}

TEST(Parallel, QuotaLowersTheAffinity) {
    struct Case {
        std::size_t affinity;
        std::optional<std::size_t> quota;
        std::size_t cores;
    };
    const Case cases[] = {
        {8, std::nullopt, 8},  // no quota: the affinity
        {8, 2, 2},             // a container of every core with a quota of two
        {8, 1, 1},
        {2, 8, 2},  // a quota above the affinity lowers nothing
        {4, 4, 4},
        {1, SIZE_MAX, 1},
        {1, std::nullopt, 1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(cores_within_quota(c.affinity, c.quota), c.cores)
            << c.affinity << " cores, quota " << c.quota.value_or(0);
    }
}

TEST(Parallel, ForcedPartsSplitSmallPasses) {
    const Overrides restore(std::nullopt);
    EXPECT_EQ(parts_for(10, 1000), 1u);
    force_parts_for_tests(5);
    EXPECT_EQ(parts_for(10, 1000), 5u);
    EXPECT_EQ(parts_for(0, 1), 5u);
    force_parts_for_tests(0);
    EXPECT_EQ(parts_for(10, 1000), 1u);
    EXPECT_EQ(parts_for(std::size_t{1} << 40, 1), std::min(usable_cores(), kMaxThreads));
}

}  // namespace
}  // namespace vexlo
