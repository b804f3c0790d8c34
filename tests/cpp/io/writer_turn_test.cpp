#include "io/writer_turn.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>
#include <vector>

#include "fits_fixture.hpp"

namespace vexlo {
namespace {

using namespace fits_test;

TEST(WriterTurn, OneMutexPerFileWhileAnyoneHoldsIt) {
    const FileIdentity a{1, 2}, b{1, 3}, c{2, 2};
    const auto ma = writer_mutex(a);
    EXPECT_EQ(writer_mutex(a), ma);
    EXPECT_NE(writer_mutex(b), ma);
    EXPECT_NE(writer_mutex(c), ma);
    // Dropped by everyone, the next one is new; nothing of the old one is kept.
    std::weak_ptr<WriterMutex> old = writer_mutex(b);
    EXPECT_TRUE(old.expired());
}

TEST(WriterTurn, TurnsOfOneFileNeverOverlapAndAreRecursive) {
    const FileIdentity id{7, 7};
    std::atomic<int> inside{0};
    std::atomic<int> most{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int k = 0; k < 200; ++k) {
                const WriterTurn turn = wait_for_turn(id);
                const WriterTurn again = wait_for_turn(id);  // the same thread: no deadlock
                const int now = ++inside;
                most = std::max(most.load(), now);
                std::this_thread::yield();
                --inside;
                EXPECT_TRUE(turn.held() && again.held());
            }
        });
    }
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(most.load(), 1);
}

TEST(WriterTurn, AtAPathFollowsTheFileRenamedThereWhileWaiting) {
    TempFile f(Bytes(10, 1));
    TempFile g(Bytes(20, 2));
    const FileIdentity first = path_identity(f.path()).value().value();
    const FileIdentity second = path_identity(g.path()).value().value();
    WriterTurn held = wait_for_turn(first);
    std::atomic<bool> got{false};
    Result<WriterTurn> waited = WriterTurn{};
    std::thread waiter([&] {
        waited = wait_for_turn_at(f.path());
        got = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(got.load());
    // The holder puts a new file at the path before letting go.
    std::filesystem::rename(g.path(), f.path());
    held = WriterTurn{};
    waiter.join();
    ASSERT_TRUE(waited);
    EXPECT_TRUE(waited->held());
    EXPECT_EQ(waited->mutex, writer_mutex(second));
    EXPECT_NE(waited->mutex, writer_mutex(first));
}

TEST(WriterTurn, NothingAtThePathGivesNoTurn) {
    const Result<WriterTurn> turn = wait_for_turn_at("/nonexistent/vexlo/turn.fits");
    ASSERT_TRUE(turn);
    EXPECT_FALSE(turn->held());
}

}  // namespace
}  // namespace vexlo
