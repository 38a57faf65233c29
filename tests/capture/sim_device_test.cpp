// The simulated card as a driver: nodes, requests, blocking waits and their release.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <set>
#include <thread>

#include "capture/sim_client.hpp"
#include "support/sim_env.hpp"

using namespace simtest;
using testsupport::SimEnv;
using testsupport::TempDir;
using namespace std::chrono_literals;

namespace {

// A wait that runs on its own thread, so that the test can release it.
struct PendingWait {
    explicit PendingWait(Node& node)
        : result(std::async(std::launch::async, [&node, this] {
              std::vector<uint8_t> buffer;
              uint32_t len = 0;
              const int rc = node.wait(buffer, len);
              error = errno;
              xfer_len = len;
              return rc;
          })) {}
    std::atomic<int> error{0};
    std::atomic<uint32_t> xfer_len{0};
    std::future<int> result;
};

} // namespace

TEST(SimDevice, ReportsItsIdentityAndAnswersOnlyItsSixRequests) {
    SimEnv env;
    env.set("CAPVANE_SIM_SERIAL", "0x12345678");
    Node node;
    ASSERT_GE(node.fd(), 3);

    DevInfos infos;
    std::memset(&infos, 0xAB, sizeof infos);
    ASSERT_EQ(node.infos(infos), 0);
    EXPECT_EQ(infos.index, 0);
    EXPECT_EQ(infos.sn, 0x12345678u);
    EXPECT_NE(infos.vid, 0);
    EXPECT_EQ(infos.bar_cnt, 2);
    // Copies: the packed 64-bit fields are not aligned for a reference.
    const uint64_t bsz0 = infos.bar_bsz[0], base1 = infos.bar_base[1], bsz2 = infos.bar_bsz[2];
    EXPECT_GT(bsz0, 0u);
    EXPECT_GT(base1, 0u);
    EXPECT_EQ(bsz2, 0u); // every byte filled, unused entries zero
    EXPECT_NE(infos.drv_version, 0u);
    EXPECT_NE(infos.aux_word1 & 0xFF, 0u);

    EXPECT_EQ(::ioctl(node.fd(), kInit, 0), 0);
    EXPECT_EQ(node.epoch(1'700'000'000'000'000ull), 0);
    EXPECT_EQ(::ioctl(node.fd(), kCancelWait, 0), 0);

    // Same number with another size or direction, and strangers: not this driver's requests.
    for (unsigned long code : {0x8080FF00ul, 0x4084FF00ul, 0x0000FF06ul, 0xC01CFE04ul,
                               static_cast<unsigned long>(FIONREAD)}) {
        errno = 0;
        EXPECT_EQ(::ioctl(node.fd(), code, &infos), -1) << std::hex << code;
        EXPECT_EQ(errno, ENOTTY) << std::hex << code;
    }
    uint32_t bad_switch = 2;
    EXPECT_EQ(::ioctl(node.fd(), kEnableSniffer, &bad_switch), -1);
    EXPECT_EQ(errno, EINVAL);
}

TEST(SimDevice, EachCardReportsItsOwnSerialAndItsStatisticsSayWhich) {
    SimEnv env({{"CAPVANE_SIM_CARDS", "0,1,256"}});
    std::set<uint32_t> serials;
    for (int card : {0, 1, 256}) {
        SCOPED_TRACE(card);
        Node node(card);
        DevInfos infos{};
        ASSERT_EQ(node.infos(infos), 0);
        EXPECT_NE(infos.sn, 0u);
        std::string line = "@"; // built in place: GCC 12 misreads a chain of temporaries
        line.append(std::to_string(card)).append(" stats");
        const std::string stats = env.command(line);
        EXPECT_EQ(json_number(stats, "serial"), infos.sn) << stats;
        serials.insert(infos.sn);
    }
    EXPECT_EQ(serials.size(), 3u);
}

TEST(SimDevice, PlaysOnlyTheConfiguredNodesAndPassesEverythingElseOn) {
    SimEnv env;
    env.set("CAPVANE_SIM_CARDS", "1, 3");
    {
        Node absent(0), one(1), three(3);
        EXPECT_EQ(absent.fd(), -1);
        EXPECT_GE(one.fd(), 0);
        EXPECT_GE(three.fd(), 0);
        DevInfos infos{};
        ASSERT_EQ(three.infos(infos), 0);
        EXPECT_EQ(infos.index, 3);
        for (const char* path : {"/dev/capvane0", "/dev/capvane2", "/dev/capvane01",
                                 "/dev/capvane-1", "/dev/capvane"}) {
            errno = 0;
            EXPECT_EQ(::open(path, O_RDWR), -1) << path;
            EXPECT_EQ(errno, ENOENT) << path;
        }
        errno = 0;
        EXPECT_EQ(::open("/dev/capvane1", O_RDONLY), -1);
        EXPECT_EQ(errno, EACCES);
    }
    env.set("CAPVANE_SIM_CARDS", "");
    EXPECT_EQ(Node(0).fd(), -1); // the configuration is read again for a new session

    // Other paths, descriptors and requests reach the C library untouched.
    TempDir dir;
    const std::string file = dir.file("plain");
    const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_EXCL, 0640);
    ASSERT_GE(fd, 0);
    struct stat st {};
    ASSERT_EQ(::fstat(fd, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_EQ(::write(fd, "abc", 3), 3);
    EXPECT_EQ(::close(fd), 0);
    const int dirfd = ::open(dir.file("").c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(dirfd, 0);
    const int again = ::openat(dirfd, "plain", O_RDONLY);
    EXPECT_GE(again, 0);
    ::close(again);
    ::close(dirfd);

    int pipe_fds[2];
    ASSERT_EQ(::pipe(pipe_fds), 0);
    ASSERT_EQ(::write(pipe_fds[1], "xyz", 3), 3);
    int queued = 0;
    EXPECT_EQ(::ioctl(pipe_fds[0], FIONREAD, &queued), 0);
    EXPECT_EQ(queued, 3);
    errno = 0;
    EXPECT_EQ(::ioctl(pipe_fds[0], kInit, 0), -1); // the kernel's answer, not the card's
    EXPECT_EQ(errno, ENOTTY);
    ::close(pipe_fds[0]);
    ::close(pipe_fds[1]);
}

TEST(SimDevice, CardDescriptorsAreRealDescriptorNumbers) {
    SimEnv env;
    int fd = -1;
    {
        Node node;
        fd = node.fd();
        ASSERT_GE(fd, 0);
        // The number is taken: the next file gets another one.
        const int other = ::open("/dev/null", O_RDONLY);
        EXPECT_NE(other, fd);
        ::close(other);
    }
    // Closed: the number is free again and the card no longer answers on it.
    errno = 0;
    EXPECT_EQ(::ioctl(fd, kInit, 0), -1);
    EXPECT_EQ(errno, EBADF);
    const int reuse = ::open("/dev/null", O_RDONLY);
    EXPECT_EQ(reuse, fd);
    ::close(reuse);
}

TEST(SimDevice, WaitBlocksWhileTheSnifferIsOffAndCancelReleasesIt) {
    SimEnv env;
    env.set("CAPVANE_SIM_PACE", "max"); // buffers would be ready at once if the sniffer were on
    Node node;
    PendingWait wait(node);
    EXPECT_EQ(wait.result.wait_for(100ms), std::future_status::timeout);
    ASSERT_EQ(::ioctl(node.fd(), kCancelWait, 0), 0);
    ASSERT_EQ(wait.result.wait_for(2s), std::future_status::ready);
    EXPECT_NE(wait.result.get(), 0);
    EXPECT_TRUE(wait.error == ECANCELED || wait.error == EINTR);

    // The card keeps working after a cancel.
    ASSERT_EQ(node.sniffer(true), 0);
    std::vector<uint8_t> buffer;
    uint32_t len = 0;
    ASSERT_EQ(node.wait(buffer, len), 0);
    EXPECT_EQ(len, kBufferBytes);
}

TEST(SimDevice, CancelSentBeforeTheWaitIsNotLost) {
    SimEnv env;
    Node node;
    ASSERT_EQ(::ioctl(node.fd(), kCancelWait, 0), 0);
    auto wait = std::async(std::launch::async, [&node] {
        std::vector<uint8_t> buffer;
        uint32_t len = 0;
        return node.wait(buffer, len);
    });
    ASSERT_EQ(wait.wait_for(2s), std::future_status::ready);
    EXPECT_EQ(wait.get(), -1);
}

TEST(SimDevice, ClosingTheDescriptorReleasesAWaitOnIt) {
    SimEnv env;
    Node node;
    ASSERT_EQ(node.sniffer(false), 0);
    PendingWait wait(node);
    EXPECT_EQ(wait.result.wait_for(50ms), std::future_status::timeout);
    const int fd = node.fd();
    ASSERT_EQ(::close(fd), 0);
    ASSERT_EQ(wait.result.wait_for(2s), std::future_status::ready);
    EXPECT_EQ(wait.result.get(), -1);
    node.forget();
}

TEST(SimDevice, DeliversWholeBuffersWithReadyBitAndItsOwnCounters) {
    SimEnv env;
    Node node;
    ASSERT_EQ(node.sniffer(true), 0);
    uint32_t previous_seq = 0;
    for (int i = 0; i < 3; ++i) {
        std::vector<uint8_t> buffer;
        uint32_t len = 0;
        ASSERT_EQ(node.wait(buffer, len), 0);
        ASSERT_EQ(len, kBufferBytes);
        EXPECT_EQ(status_word(buffer), kReady31);
        uint32_t count = 0, seq = 0;
        std::memcpy(&count, buffer.data() + 4, 4);
        std::memcpy(&seq, buffer.data() + 8, 4);
        EXPECT_EQ(count, parse_area(buffer.data()).size());
        EXPECT_GT(count, 0u);
        EXPECT_GT(seq, previous_seq);
        previous_seq = seq;
    }
    // Waiting with a buffer that is too small is refused.
    std::vector<uint8_t> small(100);
    XferReq req{0, reinterpret_cast<uintptr_t>(small.data()), 0, 100, 0};
    EXPECT_EQ(::ioctl(node.fd(), kWaitData, &req), -1);
    EXPECT_EQ(errno, EINVAL);
}
