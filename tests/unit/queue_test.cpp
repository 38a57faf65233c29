#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sched.h>
#include <set>
#include <span>
#include <string>
#include <sys/mount.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <boost/interprocess/exceptions.hpp>

#include "app/config.hpp"
#include "capture/cv_ioctl.hpp"
#include "capture/record_walk.hpp"
#include "queue/syncmappedqueue.hpp"
#include "support/temp_dir.hpp"

namespace fs = std::filesystem;
namespace pt = boost::posix_time;
using Event = std::vector<char>;
using Queue = SyncMappedQueue<Event>;
using Clock = std::chrono::steady_clock;

namespace {

constexpr unsigned long kSegmentBytes = 1UL << 20; // roomy enough for a few thousand events
constexpr char kFailureTail[] = " [syncmappedqueue:70]";

Event make_event(std::size_t len, char fill) {
    return Event(len, fill);
}

// A scratch directory per test, removed afterwards.
class QueueTest : public ::testing::Test {
protected:
    static std::string read_file(const fs::path& p) {
        std::ifstream in(p, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    testsupport::TempDir scratch;
    fs::path dir = scratch.path();
    std::string path = (dir / "buffer.bin").string();
};

TEST_F(QueueTest, EventsLeaveInLockOrderAcrossTwoProducers) {
    Queue q(path, kSegmentBytes);
    ASSERT_TRUE(q.is_valid());
    constexpr int kPerProducer = 2000;
    // Each event carries its producer and its rank within that producer.
    auto produce = [&](char producer) {
        for (int i = 0; i < kPerProducer; ++i) {
            Event e(5);
            e[0] = producer;
            std::memcpy(e.data() + 1, &i, sizeof i);
            ASSERT_TRUE(q.try_enqueue(e));
        }
    };
    std::thread a(produce, 'a');
    std::thread b(produce, 'b');
    int next[2] = {0, 0};
    int received = 0;
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    Event out;
    while (received < 2 * kPerProducer && Clock::now() < deadline) {
        if (!q.try_dequeue(out, pt::milliseconds(10))) {
            continue;
        }
        ASSERT_EQ(out.size(), 5U);
        int rank = 0;
        std::memcpy(&rank, out.data() + 1, sizeof rank);
        const int p = out[0] - 'a';
        ASSERT_TRUE(p == 0 || p == 1);
        EXPECT_EQ(rank, next[p]) << "producer " << out[0];
        next[p] = rank + 1;
        ++received;
    }
    a.join();
    b.join();
    EXPECT_EQ(received, 2 * kPerProducer);
    EXPECT_FALSE(q.try_dequeue(out, pt::milliseconds(1)));
    EXPECT_EQ(q.dropped_cnt(), 0U);
}

TEST_F(QueueTest, TryDequeueTimesOutOrWakesOnEnqueue) {
    Queue q(path, kSegmentBytes);
    Event out{'x'};
    auto start = Clock::now();
    EXPECT_FALSE(q.try_dequeue(out, pt::milliseconds(10)));
    auto waited = Clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(9));
    EXPECT_LT(waited, std::chrono::milliseconds(500));
    EXPECT_EQ(out, Event{'x'}) << "a time-out must leave the argument alone";

    // A long time-out that an enqueue from another thread cuts short.
    std::atomic<bool> waiting{false};
    std::thread producer([&] {
        while (!waiting.load()) {
            std::this_thread::yield();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        q.enqueue(make_event(3, 'w'));
    });
    start = Clock::now();
    waiting = true;
    EXPECT_TRUE(q.try_dequeue(out, pt::seconds(10)));
    waited = Clock::now() - start;
    producer.join();
    EXPECT_EQ(out, make_event(3, 'w'));
    EXPECT_LT(waited, std::chrono::seconds(5));

    // A waiting event is taken without any wait.
    q.enqueue(make_event(1, 'n'));
    start = Clock::now();
    EXPECT_TRUE(q.try_dequeue(out, pt::seconds(10)));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
}

TEST_F(QueueTest, TimeOutsThatAreNotDurationsNeverSpin) {
    // Special time values must not turn the wait into an endless loop under the lock.
    Queue q(path, kSegmentBytes);
    Event out;
    EXPECT_FALSE(q.try_dequeue(out, pt::time_duration(pt::not_a_date_time)));
    EXPECT_FALSE(q.try_dequeue(out, pt::time_duration(pt::neg_infin)));
    EXPECT_FALSE(q.try_dequeue(out, pt::milliseconds(-5)));
    q.enqueue(make_event(2, 'z'));
    EXPECT_TRUE(q.try_dequeue(out, pt::time_duration(pt::not_a_date_time)));
}

TEST_F(QueueTest, StaleFileIsReplacedAndNothingFromItIsDelivered) {
    const fs::path saved = dir / "saved.bin";
    {
        Queue old(path, kSegmentBytes);
        for (int i = 0; i < 10; ++i) {
            old.enqueue(make_event(40, 's'));
        }
        // What a crash would leave behind: a segment with a populated "_queue".
        fs::copy_file(path, saved);
    }
    ASSERT_FALSE(fs::exists(path));
    fs::rename(saved, path);

    Queue q(path, kSegmentBytes);
    ASSERT_TRUE(q.is_valid());
    Event out;
    EXPECT_FALSE(q.try_dequeue(out, pt::milliseconds(5)));
    q.enqueue(make_event(7, 'f'));
    ASSERT_TRUE(q.try_dequeue(out, pt::milliseconds(5)));
    EXPECT_EQ(out, make_event(7, 'f'));
}

TEST_F(QueueTest, MissingParentDirectoriesAreCreated) {
    const std::string deep = (dir / "a" / "b" / "c" / "buffer.bin").string();
    Queue q(deep, kSegmentBytes);
    ASSERT_TRUE(q.is_valid());
    EXPECT_TRUE(fs::is_regular_file(deep));
    q.enqueue(make_event(4, 'd'));
    Event out;
    EXPECT_TRUE(q.try_dequeue(out, pt::milliseconds(5)));
}

TEST_F(QueueTest, StatsCountEventsNotTheirBytes) {
    Queue q(path, kSegmentBytes);
    const SyncMappedQueueStats fresh = q.get_stats();
    EXPECT_EQ(fresh.total_bytes, kSegmentBytes);
    EXPECT_GT(fresh.used_bytes, 0U);
    EXPECT_EQ(fresh.used_bytes + fresh.free_bytes, fresh.total_bytes);
    EXPECT_NEAR(fresh.used_pct + fresh.free_pct, 100.0F, 1e-3F);

    auto used_with = [&](std::size_t len) {
        for (int i = 0; i < 1000; ++i) {
            q.enqueue(make_event(len, 'u'));
        }
        const std::uint64_t used = q.get_stats().used_bytes;
        Event out;
        while (q.try_dequeue(out, pt::milliseconds(0))) {
        }
        return used;
    };
    const std::uint64_t small = used_with(30);
    const std::uint64_t large = used_with(300);
    EXPECT_GT(small, fresh.used_bytes + 1000 * sizeof(Event) / 2);
    // Ten times the bytes, about the same share of the segment.
    EXPECT_LT(large, small + small / 20);
    EXPECT_GT(large + large / 20, small);
    const SyncMappedQueueStats s = q.get_stats();
    EXPECT_NEAR(s.used_pct + s.free_pct, 100.0F, 1e-3F);
}

TEST_F(QueueTest, DestructionDiscardsWaitingEventsAndRemovesTheFile) {
    {
        Queue q(path, kSegmentBytes);
        ASSERT_TRUE(fs::exists(path));
        for (int i = 0; i < 100; ++i) {
            q.enqueue(make_event(200, 'g')); // their bytes must be freed (leak check)
        }
    }
    EXPECT_FALSE(fs::exists(path));
}

TEST_F(QueueTest, OlderQueueLeavesTheNewerQueuesFileInPlace) {
    auto older = std::make_unique<Queue>(path, kSegmentBytes);
    older->enqueue(make_event(10, 'o'));
    Queue newer(path, kSegmentBytes);
    ASSERT_TRUE(newer.is_valid());
    // The older queue keeps working on its unlinked file.
    Event out;
    EXPECT_TRUE(older->try_dequeue(out, pt::milliseconds(5)));
    older.reset();
    EXPECT_TRUE(fs::exists(path));
    newer.enqueue(make_event(10, 'n'));
    EXPECT_TRUE(newer.try_dequeue(out, pt::milliseconds(5)));
    EXPECT_EQ(out, make_event(10, 'n'));
}

TEST_F(QueueTest, FullSegmentDropsAndCountsWithoutChangingTheContainer) {
    constexpr unsigned long kSmallSegment = 64UL << 10;
    Queue q(path, kSmallSegment);
    ASSERT_TRUE(q.is_valid());
    std::size_t accepted = 0;
    constexpr std::size_t kBound = 100000; // far more than the segment can hold
    while (accepted < kBound && q.try_enqueue(make_event(8, static_cast<char>(accepted)))) {
        ++accepted;
    }
    ASSERT_LT(accepted, kBound);
    EXPECT_GT(accepted, 100U);
    EXPECT_EQ(q.dropped_cnt(), 1U);
    EXPECT_FALSE(q.try_enqueue(make_event(8, 'x')));
    EXPECT_EQ(q.dropped_cnt(), 2U);

    EXPECT_THROW(q.enqueue(make_event(8, 'x')), boost::interprocess::bad_alloc);
    EXPECT_EQ(q.dropped_cnt(), 2U) << "enqueue itself counts nothing";

    // Everything accepted is still there, in order, and nothing else.
    Event out;
    for (std::size_t i = 0; i < accepted; ++i) {
        ASSERT_TRUE(q.try_dequeue(out, pt::milliseconds(0))) << i;
        ASSERT_EQ(out, make_event(8, static_cast<char>(i))) << i;
    }
    EXPECT_FALSE(q.try_dequeue(out, pt::milliseconds(0)));
    // Room again once drained.
    EXPECT_TRUE(q.try_enqueue(make_event(8, 'r')));
}

// The smallest buffer the command line accepts takes a whole transfer buffer of the shortest
// records the walk hands over, without a drop.
TEST_F(QueueTest, SmallestAcceptedBufferHoldsOneTransferBuffer) {
    Queue q(path, min_buffer_size);
    ASSERT_TRUE(q.is_valid()) << q.failure();
    const std::vector<Event> records(kRecordAreaSize / kCaptureRecordHeaderSize,
                                     make_event(kCaptureRecordHeaderSize, 'r'));
    EXPECT_EQ(q.try_enqueue_batch(records), records.size());
    EXPECT_EQ(q.dropped_cnt(), 0U);
}

TEST_F(QueueTest, PlantedSymbolicLinkIsNeverFollowed) {
    const fs::path target = dir / "precious";
    { std::ofstream(target) << "keep me"; }
    fs::create_symlink(target, path);

    testing::internal::CaptureStdout();
    bool valid = false;
    {
        Queue q(path, kSegmentBytes);
        valid = q.is_valid();
        if (valid) {
            // Accepted only by replacing the link with a fresh file of our own.
            EXPECT_FALSE(fs::is_symlink(path));
            EXPECT_TRUE(fs::is_regular_file(path));
            q.enqueue(make_event(30, 'l'));
        }
    }
    const std::string out = testing::internal::GetCapturedStdout();
    if (!valid) {
        EXPECT_EQ(out.rfind(path + ": ", 0), 0U) << out;
        EXPECT_NE(out.find(kFailureTail), std::string::npos) << out;
    }
    EXPECT_EQ(read_file(target), "keep me");
    EXPECT_EQ(fs::file_size(target), 7U);
}

TEST_F(QueueTest, FailedSegmentIsReportedAndRefusesSafely) {
    testing::internal::CaptureStdout();
    Queue q(path, 16); // too small for the segment's own bookkeeping
    const std::string out = testing::internal::GetCapturedStdout();
    ASSERT_FALSE(q.is_valid());
    EXPECT_EQ(out.rfind(path + ": ", 0), 0U) << out;
    EXPECT_EQ(out.substr(out.size() - sizeof kFailureTail), std::string(kFailureTail) + "\n");

    EXPECT_NO_THROW(q.enqueue(make_event(4, 'i')));
    EXPECT_FALSE(q.try_enqueue(make_event(4, 'i')));
    EXPECT_EQ(q.dropped_cnt(), 2U);
    const std::vector<Event> batch(3, make_event(4, 'b'));
    EXPECT_EQ(q.try_enqueue_batch(batch), 0U);
    EXPECT_EQ(q.dropped_cnt(), 5U) << "each event of a refused batch counts";
    std::vector<Event> taken;
    EXPECT_EQ(q.try_dequeue_batch(
                  taken, [](const Event&) { return true; }, pt::milliseconds(1)),
              0U);
    const SyncMappedQueueStats s = q.get_stats();
    EXPECT_EQ(s.total_bytes, 0U);
    EXPECT_EQ(s.used_bytes, 0U);

    // The consumer loop paced by try_dequeue must not spin on a broken queue.
    Event out_event;
    const auto start = Clock::now();
    EXPECT_FALSE(q.try_dequeue(out_event, pt::milliseconds(20)));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(19));
}

// Runs `body` in a child with its own mount namespace and a 1 MiB tmpfs on `mnt`; returns the
// child's wait status and what it printed. Skips unless run as root.
struct ChildResult {
    int status = 0;
    std::string out;
};
template <typename Body> ChildResult run_on_small_tmpfs(const fs::path& mnt, Body body) {
    int pipefd[2];
    if (::pipe(pipefd) != 0) {
        return {-1, "pipe failed"};
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(pipefd[0]);
        ::dup2(pipefd[1], STDOUT_FILENO);
        // Private propagation first, so the tmpfs never appears outside this child.
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=1m") != 0) {
            ::_exit(77);
        }
        const int rc = body();
        std::fflush(stdout);
        std::cout.flush();
        ::_exit(rc);
    }
    ::close(pipefd[1]);
    ChildResult r;
    char buf[512];
    ssize_t n = 0;
    while ((n = ::read(pipefd[0], buf, sizeof buf)) > 0) {
        r.out.append(buf, static_cast<std::size_t>(n));
    }
    ::close(pipefd[0]);
    ::waitpid(pid, &r.status, 0);
    return r;
}

TEST_F(QueueTest, BufferLargerThanItsFileSystemFailsAtConstructionNotWithSigbus) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "mounting a tmpfs needs root";
    }
    const fs::path mnt = dir / "mnt";
    fs::create_directory(mnt);
    const std::string big = (mnt / "big.bin").string();
    const std::string fits = (mnt / "fits.bin").string();
    const ChildResult r = run_on_small_tmpfs(mnt, [&] {
        {
            Queue q(big, 4UL << 20);
            if (q.is_valid() || fs::exists(big)) {
                return 1;
            }
            q.try_enqueue(make_event(10, 'b'));
        }
        Queue q(fits, 512UL << 10);
        if (!q.is_valid()) {
            return 2;
        }
        for (int i = 0; i < 1000; ++i) {
            if (!q.try_enqueue(make_event(10, 'f'))) {
                return 3;
            }
        }
        return 0;
    });
    ASSERT_FALSE(WIFSIGNALED(r.status)) << "signal " << WTERMSIG(r.status);
    ASSERT_TRUE(WIFEXITED(r.status));
    if (WEXITSTATUS(r.status) == 77) {
        GTEST_SKIP() << "no private mount namespace here";
    }
    EXPECT_EQ(WEXITSTATUS(r.status), 0) << r.out;
    EXPECT_EQ(r.out.rfind(big + ": ", 0), 0U) << r.out;
    EXPECT_NE(r.out.find(kFailureTail), std::string::npos) << r.out;
}

TEST_F(QueueTest, StatsMayBeReadWhileEventsFlow) {
    Queue q(path, kSegmentBytes);
    std::atomic<bool> run{true};
    std::thread producer([&] {
        for (int i = 0; i < 5000; ++i) {
            q.try_enqueue(make_event(40, 'p'));
        }
        run = false;
    });
    std::thread consumer([&] {
        Event out;
        while (run.load() || q.try_dequeue(out, pt::milliseconds(0))) {
            q.try_dequeue(out, pt::milliseconds(1));
        }
    });
    // At least one read, however fast the producer is; no early return before the joins.
    std::uint64_t reads = 0;
    std::uint64_t inconsistent = 0;
    do {
        const SyncMappedQueueStats s = q.get_stats();
        inconsistent += s.used_bytes + s.free_bytes != s.total_bytes ? 1 : 0;
        ++reads;
    } while (run.load());
    producer.join();
    consumer.join();
    EXPECT_GT(reads, 0U);
    EXPECT_EQ(inconsistent, 0U);
}

// The capture thread's view of a transfer buffer: the records' bytes back to back, handed as
// spans into that one buffer.
struct RecordBuffer {
    std::vector<std::uint8_t> bytes;
    std::vector<std::span<const std::uint8_t>> records;

    // `count` records of `len` bytes; record k is filled with `first + k`.
    RecordBuffer(std::size_t count, std::size_t len, int first) : bytes(count * len) {
        for (std::size_t k = 0; k < count; ++k) {
            std::fill_n(bytes.begin() + static_cast<long>(k * len), len,
                        static_cast<std::uint8_t>(first + static_cast<int>(k)));
        }
        for (std::size_t k = 0; k < count; ++k) {
            records.emplace_back(bytes.data() + k * len, len);
        }
    }
};

Event record_event(std::size_t len, int fill) {
    return Event(len, static_cast<char>(fill));
}

// A lifesign enqueued between two buffers leaves between them; the batch take stops where the
// caller says and leaves the rest, in order, for the next take.
TEST_F(QueueTest, BatchesAndSingleEventsLeaveInEnqueueOrder) {
    Queue q(path, kSegmentBytes);
    const RecordBuffer first(5, 40, 1);
    const RecordBuffer second(4, 33, 20);
    EXPECT_EQ(q.try_enqueue_batch(first.records), 5U);
    ASSERT_TRUE(q.try_enqueue(record_event(323, 'L')));
    EXPECT_EQ(q.try_enqueue_batch(second.records), 4U);
    EXPECT_EQ(q.try_enqueue_batch(std::vector<std::span<const std::uint8_t>>{}), 0U);

    std::vector<Event> expected;
    for (int k = 0; k < 5; ++k) {
        expected.push_back(record_event(40, 1 + k));
    }
    expected.push_back(record_event(323, 'L'));
    for (int k = 0; k < 4; ++k) {
        expected.push_back(record_event(33, 20 + k));
    }

    std::vector<Event> taken{record_event(1, 'k')}; // what the caller holds already stays
    std::size_t asked = 0;
    const auto seven = [&](const Event&) { return ++asked < 7; };
    EXPECT_EQ(q.try_dequeue_batch(taken, seven, pt::milliseconds(0)), 7U);
    EXPECT_EQ(asked, 7U) << "asked once per moved event";
    const auto all = [](const Event&) { return true; };
    EXPECT_EQ(q.try_dequeue_batch(taken, all, pt::milliseconds(0)), 3U);
    ASSERT_EQ(taken.size(), 11U);
    EXPECT_EQ(taken.front(), record_event(1, 'k'));
    EXPECT_EQ(std::vector<Event>(taken.begin() + 1, taken.end()), expected);
    EXPECT_EQ(q.try_dequeue_batch(taken, all, pt::milliseconds(0)), 0U);
    EXPECT_EQ(q.dropped_cnt(), 0U);
}

// A batch that meets a full segment keeps its head in order and drops its tail, one count per
// event; single events and the next batches go on once the consumer has made room.
TEST_F(QueueTest, BatchMeetingAFullSegmentDropsEachEventThatDidNotFit) {
    Queue q(path, 64UL << 10);
    const RecordBuffer buffer(20000, 8, 0); // far more than the segment holds
    const std::size_t appended = q.try_enqueue_batch(buffer.records);
    ASSERT_GT(appended, 100U);
    ASSERT_LT(appended, buffer.records.size());
    EXPECT_EQ(q.dropped_cnt(), buffer.records.size() - appended);
    EXPECT_FALSE(q.try_enqueue(record_event(8, 'x')));
    EXPECT_EQ(q.dropped_cnt(), buffer.records.size() - appended + 1);

    std::vector<Event> taken;
    EXPECT_EQ(q.try_dequeue_batch(
                  taken, [](const Event&) { return true; }, pt::milliseconds(0)),
              appended);
    for (std::size_t k = 0; k < appended; ++k) {
        ASSERT_EQ(taken[k], record_event(8, static_cast<int>(k))) << k;
    }
    const RecordBuffer next(3, 8, 7);
    EXPECT_EQ(q.try_enqueue_batch(next.records), 3U);
    EXPECT_EQ(q.dropped_cnt(), buffer.records.size() - appended + 1);
}

// What the sender does: the bytes of a buffer, a lifesign and the next buffer land in the datagram
// back to back in enqueue order, after what the datagram holds already; a take that the caller
// stops leaves the rest, in order, for the next; and the taken events' storage carries later
// records without being handed back.
TEST_F(QueueTest, TakingIntoADatagramKeepsOrderBytesAndStorage) {
    Queue q(path, kSegmentBytes);
    const RecordBuffer first(5, 40, 1);
    const RecordBuffer second(4, 33, 20);
    ASSERT_EQ(q.try_enqueue_batch(first.records), 5U);
    ASSERT_EQ(q.try_enqueue_batch(second.records), 4U);
    std::vector<Event> seen; // taken whole once, to learn their storage
    ASSERT_EQ(q.try_dequeue_batch(
                  seen, [](const Event&) { return true; }, pt::milliseconds(0)),
              9U);
    std::set<const char*> storage;
    for (const Event& e : seen) {
        storage.insert(e.data());
    }
    q.recycle(seen);

    ASSERT_EQ(q.try_enqueue_batch(first.records), 5U);
    ASSERT_TRUE(q.try_enqueue(record_event(323, 'L')));
    ASSERT_EQ(q.try_enqueue_batch(second.records), 4U);
    std::string expected = "head";
    expected.append(first.bytes.begin(), first.bytes.end());
    expected.append(323, 'L');
    expected.append(second.bytes.begin(), second.bytes.end());

    Event datagram = {'h', 'e', 'a', 'd'};
    std::vector<std::size_t> sizes;
    const auto seven = [&](const Event& e) {
        sizes.push_back(e.size());
        return sizes.size() < 7;
    };
    EXPECT_EQ(q.try_dequeue_into(datagram, seven, pt::milliseconds(0)), 7U);
    EXPECT_EQ(sizes, (std::vector<std::size_t>{40, 40, 40, 40, 40, 323, 33}));
    EXPECT_EQ(std::string(datagram.begin(), datagram.end()),
              expected.substr(0, 4 + 200 + 323 + 33));
    const auto all = [](const Event&) { return true; };
    EXPECT_EQ(q.try_dequeue_into(datagram, all, pt::milliseconds(0)), 3U);
    EXPECT_EQ(std::string(datagram.begin(), datagram.end()), expected);
    EXPECT_EQ(q.try_dequeue_into(datagram, all, pt::milliseconds(0)), 0U);
    EXPECT_EQ(datagram.size(), expected.size()) << "a time-out adds nothing";

    // The records' storage went back to the spares with the take, not with recycle().
    ASSERT_EQ(q.try_enqueue_batch(second.records), 4U);
    ASSERT_EQ(q.try_dequeue_batch(seen, all, pt::milliseconds(0)), 4U);
    for (std::size_t k = 0; k < seen.size(); ++k) {
        EXPECT_EQ(seen[k], record_event(33, 20 + static_cast<int>(k)));
        EXPECT_EQ(storage.count(seen[k].data()), 1U) << k;
    }
    EXPECT_EQ(q.dropped_cnt(), 0U);
}

// Events handed back are filled again by the next batches: in their storage (no allocation per
// record in the steady state), and with exactly the new bytes whatever they held before.
TEST_F(QueueTest, RecycledEventsCarryTheNextBatchesBytesInTheirOwnStorage) {
    Queue q(path, kSegmentBytes);
    const auto all = [](const Event&) { return true; };
    const RecordBuffer first(6, 60, 1);
    ASSERT_EQ(q.try_enqueue_batch(first.records), 6U);
    std::vector<Event> taken;
    ASSERT_EQ(q.try_dequeue_batch(taken, all, pt::milliseconds(0)), 6U);
    std::set<const char*> storage;
    for (const Event& e : taken) {
        storage.insert(e.data());
    }
    q.recycle(taken);
    EXPECT_TRUE(taken.empty());

    // Shorter, then longer than before; a lifesign in between is built as usual.
    const RecordBuffer shorter(4, 30, 50);
    ASSERT_EQ(q.try_enqueue_batch(shorter.records), 4U);
    ASSERT_TRUE(q.try_enqueue(record_event(323, 'L')));
    const RecordBuffer longer(3, 90, 70);
    ASSERT_EQ(q.try_enqueue_batch(longer.records), 3U);
    ASSERT_EQ(q.try_dequeue_batch(taken, all, pt::milliseconds(0)), 8U);
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(taken[static_cast<std::size_t>(k)], record_event(30, 50 + k));
        EXPECT_EQ(storage.count(taken[static_cast<std::size_t>(k)].data()), 1U) << k;
    }
    EXPECT_EQ(taken[4], record_event(323, 'L'));
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(taken[static_cast<std::size_t>(5 + k)], record_event(90, 70 + k));
    }
    EXPECT_EQ(q.dropped_cnt(), 0U);
}

// The capture thread's buffers and the lifesign thread's events race while the consumer takes
// them alternately whole and as bytes: each producer's events leave in its own order, and no
// lifesign ever lands inside a buffer.
TEST_F(QueueTest, ConcurrentBuffersStayWholeAndLifesignsKeepTheirOrder) {
    Queue q(path, kSegmentBytes);
    constexpr int kBuffers = 300;
    constexpr std::size_t kPerBuffer = 50;
    constexpr int kLifesigns = 300;
    std::thread capture([&] {
        for (int b = 0; b < kBuffers; ++b) {
            RecordBuffer buffer(kPerBuffer, 6, 0);
            for (std::size_t k = 0; k < kPerBuffer; ++k) {
                auto* r = buffer.bytes.data() + k * 6;
                r[0] = 'c';
                std::memcpy(r + 1, &b, sizeof b);
                r[5] = static_cast<std::uint8_t>(k);
            }
            ASSERT_EQ(q.try_enqueue_batch(buffer.records), kPerBuffer);
        }
    });
    std::thread lifesign([&] {
        for (int i = 0; i < kLifesigns; ++i) {
            Event e(5, 'l');
            std::memcpy(e.data() + 1, &i, sizeof i);
            ASSERT_TRUE(q.try_enqueue(e));
        }
    });
    std::vector<Event> taken; // everything, in order
    std::vector<Event> batch; // handed back after each take
    Event bytes;              // taken as the sender does, by bytes: every event is 6 or 5 long
    std::vector<std::size_t> sizes;
    const auto all = [](const Event&) { return true; };
    const auto note_size = [&](const Event& e) {
        sizes.push_back(e.size());
        return true;
    };
    const std::size_t total = kBuffers * kPerBuffer + kLifesigns;
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    for (int take = 0; taken.size() < total && Clock::now() < deadline; ++take) {
        if (take % 2 == 0) {
            q.try_dequeue_batch(batch, all, pt::milliseconds(10));
            taken.insert(taken.end(), batch.begin(), batch.end());
            q.recycle(batch);
            continue;
        }
        bytes.clear();
        sizes.clear();
        q.try_dequeue_into(bytes, note_size, pt::milliseconds(10));
        std::size_t at = 0;
        for (const std::size_t n : sizes) {
            ASSERT_LE(at + n, bytes.size());
            taken.emplace_back(bytes.begin() + static_cast<long>(at),
                               bytes.begin() + static_cast<long>(at + n));
            at += n;
        }
        ASSERT_EQ(at, bytes.size());
    }
    capture.join();
    lifesign.join();
    ASSERT_EQ(taken.size(), total);
    int next_buffer = 0;
    int next_lifesign = 0;
    for (std::size_t at = 0; at < taken.size();) {
        int n = 0;
        std::memcpy(&n, taken[at].data() + 1, sizeof n);
        if (taken[at][0] == 'l') {
            ASSERT_EQ(n, next_lifesign++) << at;
            ++at;
            continue;
        }
        ASSERT_EQ(n, next_buffer++) << at;
        for (std::size_t k = 0; k < kPerBuffer; ++k, ++at) {
            ASSERT_LT(at, taken.size());
            ASSERT_EQ(taken[at][0], 'c') << "a lifesign inside buffer " << n;
            std::memcpy(&n, taken[at].data() + 1, sizeof n);
            ASSERT_EQ(n, next_buffer - 1);
            ASSERT_EQ(taken[at][5], static_cast<char>(k));
        }
    }
    EXPECT_EQ(next_buffer, kBuffers);
    EXPECT_EQ(next_lifesign, kLifesigns);
}

} // namespace
