// The output seam: sequential writes that survive signals and short writes, positional writes
// that leave the position alone, length changes, and writers borrowing a sink that never close it.
#include "io/sink.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "fits_fixture.hpp"
#include "io/buf_writer.hpp"

namespace vexlo {
namespace {

using namespace fits_test;

// Bytes with no short period, so that a chunk written twice or dropped shows.
Bytes noise(std::size_t n) {
    Bytes out(n);
    std::uint32_t x = 12345;
    for (std::uint8_t& b : out) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<std::uint8_t>(x >> 24);
    }
    return out;
}

Sink open_sink(const std::string& path) {
    Result<Fd> fd = open_read_write(path);
    EXPECT_TRUE(fd) << fd.error().message();
    return fd ? Sink(std::move(*fd)) : Sink();
}

std::atomic<int> g_signals{0};
void count_signal(int) {
    g_signals.fetch_add(1, std::memory_order_relaxed);
}

// A write blocked on a full pipe returns early when a signal arrives (no SA_RESTART): with
// the bytes that fitted so far, or with EINTR when none did. The whole buffer must still
// arrive once, in order.
TEST(Sink, SequentialWritesResumeAfterSignalsAndShortWrites) {
    struct sigaction on_signal {};
    struct sigaction previous {};
    on_signal.sa_handler = count_signal;
    sigemptyset(&on_signal.sa_mask);
    ASSERT_EQ(::sigaction(SIGUSR1, &on_signal, &previous), 0);

    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    const Fd read_end(ends[0]);
    Sink sink{Fd(ends[1])};

    g_signals.store(0);
    const Bytes content = noise(std::size_t{3} << 20);
    Bytes got;
    std::thread reader([&] {
        std::uint8_t chunk[4096];
        for (;;) {
            const ssize_t n = ::read(read_end.get(), chunk, sizeof chunk);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got.insert(got.end(), chunk, chunk + n);
            std::this_thread::sleep_for(std::chrono::microseconds(20));
        }
    });
    std::atomic<bool> done{false};
    const pthread_t writer = ::pthread_self();
    std::thread signaller([&] {
        while (!done.load()) {
            ::pthread_kill(writer, SIGUSR1);
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
    });
    const Result<void> written = sink.write(content);
    done.store(true);
    signaller.join();
    sink.reset();  // the reader sees the end of the pipe
    reader.join();
    ::sigaction(SIGUSR1, &previous, nullptr);

    ASSERT_TRUE(written) << written.error().message();
    EXPECT_GT(g_signals.load(), 0);
    EXPECT_EQ(got.size(), content.size());
    EXPECT_TRUE(got == content);
}

TEST(Sink, PositionalWritesLeaveThePositionAlone) {
    TempFile file(Bytes{});
    const Sink sink = open_sink(file.path());
    const Bytes big = noise((std::size_t{2} << 20) + 7);
    ASSERT_TRUE(sink.write(as_bytes("hello")));
    struct Case {
        std::uint64_t offset;
        Bytes bytes;
    };
    const std::vector<Case> cases = {
        {10, Bytes{'x', 'y', 'z'}},  // past the end: a hole of zeros before it
        {1, Bytes{'E'}},             // inside what the sequential write put there
        {13, big},                   // large, at an offset that is no block multiple
    };
    Bytes expected = Bytes{'h', 'e', 'l', 'l', 'o'};
    for (const Case& c : cases) {
        ASSERT_TRUE(sink.write_at(c.offset, c.bytes)) << c.offset;
        const auto at = static_cast<std::size_t>(c.offset);
        if (expected.size() < at + c.bytes.size()) expected.resize(at + c.bytes.size(), 0);
        std::copy(c.bytes.begin(), c.bytes.end(), expected.begin() + static_cast<long>(at));
        EXPECT_EQ(sink.position().value(), 5u) << c.offset;
        EXPECT_EQ(sink.size().value(), expected.size()) << c.offset;
    }
    // The next sequential write lands where the last one stopped.
    ASSERT_TRUE(sink.write(as_bytes("!")));
    expected[5] = '!';
    ASSERT_TRUE(sink.sync_data());
    ASSERT_TRUE(sink.sync());
    EXPECT_TRUE(read_back(file.path()) == expected);
}

// Large pieces go to the file in steps (each followed by a request to start writing it to disk
// when the writer syncs later); small pieces around them stay in order through the buffer.
TEST(BufWriter, LargePiecesArriveWholeAndInOrderBetweenSmallOnes) {
    const Bytes big = noise((std::size_t{20} << 20) + 5);
    const Bytes exact = noise(std::size_t{8} << 20);
    for (const bool write_behind : {false, true}) {
        TempFile file(Bytes{});
        Bytes expected;
        {
            BufWriter out(open_sink(file.path()), write_behind);
            for (const Bytes* piece : {&big, &exact}) {
                ASSERT_TRUE(out.write(as_bytes("ab")));
                ASSERT_TRUE(out.write(*piece));
                append(expected, Bytes{'a', 'b'});
                append(expected, *piece);
            }
            ASSERT_TRUE(out.write(as_bytes("z")));
            expected.push_back('z');
            ASSERT_TRUE(out.flush());
        }
        EXPECT_TRUE(read_back(file.path()) == expected) << write_behind;
    }
}

// A full pipe that does not block takes part of a flush: the failure is reported, the part
// written is not sent again, and a later flush sends exactly what was left.
TEST(BufWriter, AShortWriteIsReportedAndTheRetrySendsTheRest) {
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC | O_NONBLOCK), 0);
    const Fd read_end(ends[0]);
    const Sink write_end{Fd(ends[1])};
    const int page = static_cast<int>(::sysconf(_SC_PAGESIZE));
    ASSERT_EQ(::fcntl(ends[1], F_SETPIPE_SZ, page), page);
    const Bytes content = noise(static_cast<std::size_t>(page) + 1000);
    const auto drain = [&] {
        Bytes got(content.size() + 1);
        const ssize_t n = ::read(read_end.get(), got.data(), got.size());
        got.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        return got;
    };

    BufWriter out = BufWriter::borrowing(write_end);
    ASSERT_TRUE(out.write(content));
    EXPECT_EQ(out.buffered(), content.size());
    const Result<void> first = out.flush();
    ASSERT_FALSE(first.has_value());
    EXPECT_EQ(first.error().message(), Error::io_errno(EAGAIN).message());
    EXPECT_EQ(out.buffered(), 1000u);
    EXPECT_TRUE(drain() == Bytes(content.begin(), content.begin() + page));

    ASSERT_TRUE(out.flush());
    EXPECT_EQ(out.buffered(), 0u);
    EXPECT_TRUE(drain() == Bytes(content.begin() + page, content.end()));
}

// Every transfer loop, with each system call limited to a few bytes, still moves each byte
// once, to its place: the offsets and positions advance by what each call moved.
TEST(Posix, TransfersLongerThanOneCallAdvanceTheirOffsets) {
    struct ChunkLimit {
        explicit ChunkLimit(std::size_t n) { detail::set_io_chunk_limit(n); }
        ~ChunkLimit() { detail::set_io_chunk_limit(0); }
    } limit(7);
    const Bytes content = noise(1000);
    TempFile file(Bytes{});
    const Sink sink = open_sink(file.path());
    ASSERT_TRUE(sink.write_at(13, content));
    Bytes expected(13, 0);
    append(expected, content);
    EXPECT_TRUE(read_back(file.path()) == expected);

    ASSERT_TRUE(sink.seek(expected.size()));
    ASSERT_TRUE(sink.write(content));
    append(expected, content);
    EXPECT_TRUE(read_back(file.path()) == expected);

    const Fd in = open_read(file.path()).value();
    Bytes got(content.size());
    ASSERT_TRUE(pread_exact(in.get(), 13, got.data(), got.size()));
    EXPECT_TRUE(got == content);
    EXPECT_TRUE(read_whole_file(in.get()).value() == expected);
    EXPECT_EQ(read_once(in.get(), got.data(), got.size()).value(), 7u);

    TempFile copy(Bytes{});
    const Sink out = open_sink(copy.path());
    const Result<std::uint64_t> copied = out.copy_from(in, 13, content.size());
    ASSERT_TRUE(copied);
    ASSERT_EQ(*copied, content.size());  // files on one file system copy in the kernel
    EXPECT_TRUE(read_back(copy.path()) == content);
}

TEST(Sink, TruncateAndSeek) {
    TempFile file(noise(100));
    const Sink sink = open_sink(file.path());
    ASSERT_TRUE(sink.seek(40));
    struct Case {
        std::uint64_t size;
        std::size_t kept;  // leading bytes of the original content still there
    };
    const std::vector<Case> cases = {{60, 60}, {3, 3}, {50, 3}, {0, 0}, {8192, 0}};
    const Bytes original = noise(100);
    for (const Case& c : cases) {
        ASSERT_TRUE(sink.truncate(c.size)) << c.size;
        EXPECT_EQ(sink.size().value(), c.size);
        EXPECT_EQ(sink.position().value(), 40u);
        Bytes expected(original.begin(), original.begin() + static_cast<long>(c.kept));
        expected.resize(static_cast<std::size_t>(c.size), 0);
        EXPECT_TRUE(read_back(file.path()) == expected) << c.size;
    }
    // Writing at a position past the end leaves zeros before it.
    ASSERT_TRUE(sink.truncate(0));
    ASSERT_TRUE(sink.write(as_bytes("ab")));
    Bytes expected(40, 0);
    expected.push_back('a');
    expected.push_back('b');
    EXPECT_TRUE(read_back(file.path()) == expected);
}

TEST(Sink, ABorrowingWriterNeverClosesTheFile) {
    TempFile file(Bytes{});
    Sink owner = open_sink(file.path());
    {
        BufWriter first = BufWriter::borrowing(owner);
        ASSERT_TRUE(first.write(as_bytes("ab")));
        ASSERT_TRUE(first.flush());
        first = BufWriter();  // let go of the owner's file
        EXPECT_FALSE(first.has_output());
        EXPECT_TRUE(owner.valid());
        BufWriter out = BufWriter::borrowing(owner);
        ASSERT_TRUE(out.write(as_bytes("cd")));
    }  // the writer flushes and lets go
    ASSERT_TRUE(owner.write(as_bytes("ef")));
    ASSERT_TRUE(owner.close());
    EXPECT_FALSE(owner.valid());
    EXPECT_FALSE(owner.write(as_bytes("g")));
    EXPECT_EQ(as_chars(read_back(file.path())), "abcdef");
}

// A holding writer keeps exactly its first bytes aside, across pieces of any size, moves
// with them, and writes everything after them, in order, from the sink's position.
TEST(BufWriter, AHoldingWriterKeepsOnlyItsFirstBytesAside) {
    const Bytes stream = noise(3 * BufWriter::kCapacity + 17);
    const std::vector<std::vector<std::size_t>> splits = {
        {stream.size()}, {5, 2870, 5, 100}, {2880, 1}, {1, 1, 1, 9000, 20000}, {2879, 2, 8192}};
    for (const std::vector<std::size_t>& pieces : splits) {
        TempFile file(Bytes{});
        Sink owner = open_sink(file.path());
        ASSERT_TRUE(owner.seek(2880));
        Bytes held;
        {
            BufWriter first = BufWriter::borrowing_holding(owner, 2880);
            std::size_t at = 0;
            for (const std::size_t n : pieces) {
                const std::size_t take = std::min(n, stream.size() - at);
                ASSERT_TRUE(first.write(ByteSpan(stream).subspan(at, take)));
                at += take;
            }
            ASSERT_TRUE(first.write(ByteSpan(stream).subspan(at)));
            BufWriter out = std::move(first);
            ASSERT_TRUE(out.flush());
            held.assign(out.held().begin(), out.held().end());
        }
        EXPECT_TRUE(held == Bytes(stream.begin(), stream.begin() + 2880)) << pieces.size();
        const Bytes back = read_back(file.path());
        ASSERT_EQ(back.size(), stream.size()) << pieces.size();
        EXPECT_TRUE(std::all_of(back.begin(), back.begin() + 2880, [](auto b) { return b == 0; }));
        EXPECT_TRUE(std::equal(back.begin() + 2880, back.end(), stream.begin() + 2880))
            << pieces.size();
    }
}

// A writer refers to the owner's sink, not to a copy of its descriptor number: once the owner
// has closed, the number may name another file, which a late flush must never reach.
TEST(Sink, ABorrowingWriterFailsOnceItsOwnerHasClosed) {
    TempFile first(Bytes{});
    TempFile second(Bytes{});
    Sink owner = open_sink(first.path());
    BufWriter out = BufWriter::borrowing(owner);
    ASSERT_TRUE(out.write(as_bytes("late")));
    ASSERT_TRUE(owner.close());
    const Sink other = open_sink(second.path());  // takes the lowest free number: the old one
    const Result<void> flushed = out.flush();
    ASSERT_FALSE(flushed.has_value());
    EXPECT_EQ(flushed.error().message(), Error::io_errno(EBADF).message());
    EXPECT_FALSE(out.has_output());
    out = BufWriter();
    EXPECT_TRUE(read_back(first.path()).empty());
    EXPECT_TRUE(read_back(second.path()).empty());
    EXPECT_TRUE(other.valid());
}

TEST(Sink, WithoutAFileEveryOperationFails) {
    const Sink none;
    const std::string ebadf = Error::io_errno(EBADF).message();
    const auto text = [](const auto& r) { return r ? std::string("<ok>") : r.error().message(); };
    const Bytes one(1, 0);
    EXPECT_EQ(text(none.write(one)), ebadf);
    EXPECT_EQ(text(none.write_at(0, one)), ebadf);
    EXPECT_EQ(text(none.position()), ebadf);
    EXPECT_EQ(text(none.seek(0)), ebadf);
    EXPECT_EQ(text(none.size()), ebadf);
    EXPECT_EQ(text(none.truncate(0)), ebadf);
    EXPECT_EQ(text(none.sync_data()), ebadf);
    EXPECT_EQ(text(none.sync()), ebadf);
    EXPECT_EQ(text(none.named_by("/")), ebadf);
    Error error;
    EXPECT_EQ(none.write_some(one, error), 0u);
    EXPECT_EQ(error.message(), ebadf);
}

}  // namespace
}  // namespace vexlo
