// fipdump's sockets on the private namespace's loopback: unicast over IPv4 and IPv6, a joined
// IPv4 multicast group, datagrams to other ports noticed rather than silently missing, and
// bursts taken in batches by the receiving thread.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <net/if.h>
#include <netinet/in.h>
#include <numeric>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "support/fipdump_stream.hpp"
#include "support/loopback_only.hpp"
#include "tools/fipdump/input/receiver.hpp"
#include "tools/fipdump/input/receiving_thread.hpp"
#include "wire/decode.hpp"

using namespace fipdump;
using namespace std::chrono_literals;

namespace {

constexpr std::uint16_t port = 57321;

// Sends `payload` from a fresh socket of `family` to `addr`:`to_port`; multicast goes out on lo.
void send_to(int family, const std::string& addr, std::uint16_t to_port,
             const fipdump_test::Bytes& payload) {
    const int s = socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(s, 0);
    const int on = 1;
    setsockopt(s, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    ssize_t n = -1;
    if (family == AF_INET) {
        in_addr lo{htonl(INADDR_LOOPBACK)};
        setsockopt(s, IPPROTO_IP, IP_MULTICAST_IF, &lo, sizeof lo);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(to_port);
        inet_pton(AF_INET, addr.c_str(), &a.sin_addr);
        n = sendto(s, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
    } else {
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_port = htons(to_port);
        inet_pton(AF_INET6, addr.c_str(), &a.sin6_addr);
        n = sendto(s, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    EXPECT_EQ(n, static_cast<ssize_t>(payload.size())) << addr << ": " << std::strerror(errno);
    close(s);
}

std::optional<std::string> receive_from(UdpListener& l) {
    const auto r = l.receive(2000ms);
    if (!r) {
        return std::nullopt;
    }
    return to_string(r->from);
}

} // namespace

TEST(FipdumpListener, UnicastBothFamiliesAMulticastGroupAndOtherPorts) {
    ASSERT_TRUE(only_loopback_present()) << "run through netns-run";
    const auto d = fipdump_test::datagram(1, {fipdump_test::capture_record(1)});
    {
        UdpListener l(port, std::nullopt);
        ASSERT_TRUE(l.ok()) << l.error();
        send_to(AF_INET, "127.0.0.1", port, d);
        EXPECT_EQ(receive_from(l).value_or("none").rfind("127.0.0.1:", 0), 0U);
        send_to(AF_INET6, "::1", port, d);
        EXPECT_EQ(receive_from(l).value_or("none").rfind("[::1]:", 0), 0U);
        send_to(AF_INET, "255.255.255.255", 5000, d);
        send_to(AF_INET, "127.0.0.1", 5000, d);
        send_to(AF_INET, "127.0.0.1", 6000, d);
        l.watch_other_ports();
        // Only with CAP_NET_RAW, which the namespace's root has.
        EXPECT_EQ(l.other_ports(), (std::map<std::uint16_t, std::uint64_t>{{5000, 2}, {6000, 1}}));
    }
    {
        UdpListener l(port, std::nullopt, "239.1.2.3", "lo");
        ASSERT_TRUE(l.ok()) << l.error();
        send_to(AF_INET, "239.1.2.3", port, d);
        EXPECT_TRUE(receive_from(l).has_value());
        send_to(AF_INET, "239.9.9.9", port, d); // a group not joined
        EXPECT_FALSE(receive_from(l).has_value());
    }
    UdpListener no_such(port, std::nullopt, "239.1.2.3", "no-such-if0");
    EXPECT_FALSE(no_such.ok());
    EXPECT_NE(no_such.error().find("no-such-if0"), std::string::npos);
}

// A burst of more datagrams than a batch holds comes out whole and in order, each slot with its
// own bytes, in as many receives as it takes.
TEST(FipdumpListener, ABurstComesOutInBatchesWholeAndInOrder) {
    ASSERT_TRUE(only_loopback_present()) << "run through netns-run";
    constexpr std::size_t slots = 4;
    constexpr std::uint64_t burst = 3 * slots + 1;
    UdpListener l(port, 1 << 20);
    ASSERT_TRUE(l.ok()) << l.error();
    std::vector<fipdump_test::Bytes> sent;
    for (std::uint64_t seq = 1; seq <= burst; ++seq) {
        sent.push_back(fipdump_test::datagram(
            seq, std::vector<fipdump_test::Bytes>(seq, fipdump_test::capture_record(seq))));
        send_to(AF_INET, "127.0.0.1", port, sent.back());
    }
    DatagramBatch batch(slots);
    std::size_t got = 0;
    while (got < sent.size()) {
        const std::size_t n = l.receive(batch, 2000ms);
        ASSERT_GT(n, 0U) << "after " << got;
        ASSERT_LE(n, slots);
        for (const Received& r : batch.datagrams()) {
            EXPECT_EQ(fipdump_test::Bytes(r.bytes.begin(), r.bytes.end()), sent[got]) << got;
            ++got;
        }
    }
    EXPECT_EQ(batch.kernel_drops().value_or(0), 0U);
    EXPECT_GE(l.rcvbuf_granted(), 1 << 20) << "the kernel counts its overhead twice";
}

// The receiving thread with far fewer slots than the burst: it waits for batches to come back
// rather than drop, hands them over in order, and a stop still delivers what had arrived.
TEST(FipdumpListener, TheReceivingThreadWaitsForRoomAndDeliversTheBurstAfterAStop) {
    ASSERT_TRUE(only_loopback_present()) << "run through netns-run";
    constexpr std::uint64_t burst = 40;
    UdpListener l(port, 1 << 20);
    ASSERT_TRUE(l.ok()) << l.error();
    ReceivingThread receiving(l, 2, 4); // room for 8 datagrams
    for (std::uint64_t seq = 1; seq <= burst; ++seq) {
        send_to(AF_INET, "127.0.0.1", port,
                fipdump_test::datagram(seq, {fipdump_test::capture_record(seq)}));
    }
    receiving.stop();
    std::vector<std::uint64_t> seqs;
    for (;;) {
        DatagramBatch* b = receiving.next(2000ms);
        if (b == nullptr) {
            break;
        }
        std::this_thread::sleep_for(5ms); // a slow main thread
        for (const Received& r : b->datagrams()) {
            seqs.push_back(wire::decode_datagram(r.bytes).seq);
        }
        receiving.release(b);
    }
    EXPECT_TRUE(receiving.finished());
    std::vector<std::uint64_t> expected(burst);
    std::iota(expected.begin(), expected.end(), 1);
    EXPECT_EQ(seqs, expected);
}
