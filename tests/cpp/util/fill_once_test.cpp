// The fill-once slot: the first store wins under contention, losers' values are freed, and
// copies and moves carry the filled value.
#include "util/fill_once.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace vexlo {
namespace {

// Counts live instances so that a leaked or doubly freed loser shows.
struct Counted {
    static inline std::atomic<int> live{0};
    int value = 0;
    explicit Counted(int v) : value(v) { ++live; }
    Counted(const Counted& o) : value(o.value) { ++live; }
    ~Counted() { --live; }
};

TEST(FillOnce, FirstStoreWinsAndLosersAreFreed) {
    {
        FillOnce<Counted> slot;
        EXPECT_EQ(slot.get(), nullptr);
        Counted* first = slot.fill(std::make_unique<Counted>(1));
        ASSERT_NE(first, nullptr);
        EXPECT_EQ(slot.fill(std::make_unique<Counted>(2)), first);
        EXPECT_EQ(slot.get()->value, 1);
        EXPECT_EQ(Counted::live, 1);

        FillOnce<Counted> copy(slot);
        ASSERT_NE(copy.get(), nullptr);
        EXPECT_NE(copy.get(), first);
        EXPECT_EQ(copy.get()->value, 1);

        FillOnce<Counted> moved(std::move(slot));
        EXPECT_EQ(moved.get(), first);
        EXPECT_EQ(slot.get(), nullptr);  // a moved-from slot is left empty

        moved.reset();
        EXPECT_EQ(moved.get(), nullptr);
        EXPECT_EQ(moved.fill(std::make_unique<Counted>(3))->value, 3);  // fillable again
        EXPECT_EQ(Counted::live, 2);
    }
    EXPECT_EQ(Counted::live, 0);
}

TEST(FillOnce, RacingFillersAllSeeOneValue) {
    for (int round = 0; round < 20; ++round) {
        FillOnce<Counted> slot;
        std::atomic<bool> go{false};
        std::vector<Counted*> seen(8, nullptr);
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t) {
            threads.emplace_back([&, t] {
                while (!go.load()) {
                }
                seen[t] = slot.fill(std::make_unique<Counted>(t));
            });
        }
        go = true;
        for (std::thread& th : threads)
            th.join();
        for (Counted* p : seen)
            EXPECT_EQ(p, slot.get());
        EXPECT_EQ(Counted::live, 1);
    }
    EXPECT_EQ(Counted::live, 0);
}

}  // namespace
}  // namespace vexlo
