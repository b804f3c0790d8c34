#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

#include "error.hpp"
#include "util/parallel.hpp"

namespace vexlo {
namespace {

enum class Ending { Fails, Throws, BadAlloc };

Result<void> end_with(Ending e, std::size_t k) {
    switch (e) {
        case Ending::Fails:
            return fail(Error::data("part " + std::to_string(k)));
        case Ending::Throws:
            throw std::runtime_error("part " + std::to_string(k));
        case Ending::BadAlloc:
            throw std::bad_alloc();
    }
    return {};
}

std::string message_of(Ending e, std::size_t k) {
    switch (e) {
        case Ending::Fails:
            return "data: part " + std::to_string(k);
        case Ending::Throws:
            return "i/o error: internal failure: part " + std::to_string(k);
        case Ending::BadAlloc:
            return Error::out_of_memory().message();
    }
    return {};
}

// Two threads, four parts. Part 1 holds its thread until part 3 has started, which happens
// only after the other thread has ended part 2 and recorded its failure; so the later part's
// failure is always in first, and the earlier one must still be the answer.
TEST(ParallelOrder, EarlierPartEndingLastStillWins) {
    struct Case {
        Ending earlier;  // part 1
        Ending later;    // part 2
    };
    const Case cases[] = {
        {Ending::Fails, Ending::Throws},    {Ending::Fails, Ending::BadAlloc},
        {Ending::Throws, Ending::Fails},    {Ending::BadAlloc, Ending::Throws},
        {Ending::Throws, Ending::BadAlloc},
    };
    force_helper_budget_for_tests(1);
    for (const Case& c : cases) {
        std::atomic<bool> third_started{false};
        std::atomic<bool> waited_out{false};
        const Result<void> r = run_parts(4, 2, [&](std::size_t k) -> Result<void> {
            if (k == 1) {
                const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
                while (!third_started.load()) {
                    if (std::chrono::steady_clock::now() > deadline) {
                        waited_out = true;
                        break;
                    }
                    std::this_thread::yield();
                }
                return end_with(c.earlier, k);
            }
            if (k == 2) return end_with(c.later, k);
            if (k == 3) third_started = true;
            return {};
        });
        EXPECT_FALSE(waited_out.load());
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().message(), message_of(c.earlier, 1));
    }
    force_helper_budget_for_tests(std::nullopt);
    EXPECT_EQ(pass_threads_alive(), 0u);
}

}  // namespace
}  // namespace vexlo
