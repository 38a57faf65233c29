// The sender's socket for a multicast destination, and the sender held under a datagram size
// cap, seen from receivers in the private namespace (each destination kind end to end is in
// tests/e2e). Runs only inside scripts/netns-run.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>

#include <random>

#include "net/udp_test_support.hpp"
#include "support/loopback_only.hpp"
#include "support/udp_listener.hpp"
#include "udp/destination.hpp"
#include "udp/udp_client.hpp"

using namespace udptest;
using namespace std::chrono_literals;
using testsupport::UdpListener;

namespace {

constexpr std::uint16_t test_port = 47217;

class Destinations : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(only_loopback_present()) << "this test sends: run it through netns-run";
        ASSERT_TRUE(testsupport::route_multicast_on_lo());
    }
    TempQueue buffer;
    LogCapture log;
};

// Receives until `count` events came or a datagram is late; the datagrams in order.
std::vector<Decoded> receive_events(UdpListener& rx, std::size_t count) {
    std::vector<Decoded> out;
    std::size_t events = 0;
    while (events < count) {
        auto d = rx.receive(3000ms);
        if (!d) {
            break;
        }
        out.push_back(decode(*d));
        events += out.back().events.size();
    }
    return out;
}

// The socket options a multicast receiver on this PC and a router between depend on.
TEST_F(Destinations, MulticastSocketLoopsBackAndCarriesTheTtl) {
    for (const char* group : {"239.255.10.3", "ff15::10"}) {
        DestinationSettings s;
        s.address = group;
        s.multicast_ttl = 7;
        const Destination d = Destination::resolve(s);
        boost::asio::io_context io;
        boost::asio::ip::udp::socket socket(io);
        d.open_socket(socket);
        const bool v4 = d.endpoint().address().is_v4();
        int ttl = -1;
        int loop = -1;
        socklen_t len = sizeof ttl;
        getsockopt(socket.native_handle(), v4 ? IPPROTO_IP : IPPROTO_IPV6,
                   v4 ? IP_MULTICAST_TTL : IPV6_MULTICAST_HOPS, &ttl, &len);
        len = sizeof loop;
        getsockopt(socket.native_handle(), v4 ? IPPROTO_IP : IPPROTO_IPV6,
                   v4 ? IP_MULTICAST_LOOP : IPV6_MULTICAST_LOOP, &loop, &len);
        EXPECT_EQ(ttl, 7) << group;
        EXPECT_EQ(loop, 1) << group;
        EXPECT_EQ(socket.local_endpoint().protocol().family(), v4 ? AF_INET : AF_INET6) << group;
    }
}

// The byte count stands for the frames on the wire: the IPv6 header is 20 bytes longer.
TEST_F(Destinations, BytesSentCountTheHeadersOfTheFamily) {
    for (const char* address : {"127.0.0.1", "::1"}) {
        TempQueue q;
        UdpListener rx(address, test_port);
        q.queue->enqueue(make_event(0, 40));
        DestinationSettings s;
        s.address = address;
        s.port = test_port;
        UDPClient client(Destination::resolve(s), 500, 1, q.queue, log.stream());
        ASSERT_TRUE(rx.receive(3000ms)) << address;
        ASSERT_TRUE(wait_until([&] { return client.get_stats().pkt_sent_cnt == 1; }, 1000ms));
        const std::uint64_t headers = std::string(address) == "::1" ? 14 + 40 + 8 : 14 + 20 + 8;
        EXPECT_EQ(client.get_stats().bytes_sent_cnt, 16 + 40 + headers) << address;
    }
}

// The log says where the stream goes and how large its datagrams may be.
TEST_F(Destinations, NonDefaultDestinationIsLogged) {
    DestinationSettings s;
    s.address = "239.255.10.4";
    s.port = test_port;
    s.interface = "lo";
    s.multicast_ttl = 3;
    { UDPClient client(Destination::resolve(s), 500, 1, buffer.queue, log.stream(), 1472); }
    const std::string text = log.text();
    EXPECT_NE(text.find("udp destination 239.255.10.4:47217 via lo, multicast ttl 3\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("udp datagrams of at most 1472 bytes\n"), std::string::npos) << text;
}

struct CapCase {
    const char* name;
    std::size_t cap;
    std::size_t event_size;
    std::uint32_t event_cnt;
    int max_evt;
    std::vector<std::uint32_t> expected_counts;
    std::vector<std::size_t> sizes = {};  // when given, the events' sizes in turn
    std::uint64_t expected_oversized = 0; // events no datagram under the cap can carry

    std::size_t size_of(std::uint32_t i) const {
        return sizes.empty() ? event_size : sizes[i % sizes.size()];
    }
};

void PrintTo(const CapCase& c, std::ostream* os) {
    *os << c.name;
}

class Cap : public Destinations, public ::testing::WithParamInterface<CapCase> {};

// All events wait before the sender starts: every datagram but the last closes on the count or
// the size rule, or before an event that would take it over the cap; none is longer than the
// cap, every event arrives whole and in order, and only an event longer than the cap on its
// own is missing (counted and told), never one next to it.
TEST_P(Cap, DatagramsStayWithinTheCapAndEventsStayWhole) {
    const CapCase& c = GetParam();
    UdpListener rx("127.0.0.1", test_port);
    std::vector<std::uint32_t> deliverable;
    for (std::uint32_t i = 0; i < c.event_cnt; ++i) {
        buffer.queue->enqueue(make_event(i, c.size_of(i)));
        if (c.size_of(i) + 16 <= c.cap) {
            deliverable.push_back(i);
        }
    }
    UDPClient client(Destination::limited_broadcast(test_port), 500, c.max_evt, buffer.queue,
                     log.stream(), c.cap);
    EXPECT_EQ(client.payload_limit(), c.cap - 16 - 497);
    const std::vector<Decoded> datagrams = receive_events(rx, deliverable.size());
    std::vector<std::uint32_t> counts;
    std::size_t next = 0;
    for (const Decoded& d : datagrams) {
        ASSERT_EQ(d.error, "");
        EXPECT_LE(d.size, c.cap);
        EXPECT_EQ(d.event_cnt, d.events.size());
        counts.push_back(d.event_cnt);
        for (const Event& e : d.events) {
            ASSERT_LT(next, deliverable.size());
            ASSERT_EQ(e, make_event(deliverable[next], c.size_of(deliverable[next])));
            ++next;
        }
    }
    EXPECT_EQ(counts, c.expected_counts);
    EXPECT_EQ(client.oversized_events(), c.expected_oversized);
    EXPECT_EQ(log.text().find("events longer than a datagram") != std::string::npos,
              c.expected_oversized != 0)
        << log.text();
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, Cap,
    ::testing::Values(
        // 1472: no fragment on Ethernet. The payload limit is 959: three 300-byte events (900)
        // still let a fourth in, which makes 1,216 bytes.
        CapCase{"EthernetSmallEvents", 1472, 300, 10, 1000, {4, 4, 2}},
        CapCase{"EthernetLargestEvents", 1472, 497, 5, 1000, {2, 2, 1}},
        // At the smallest cap two of the largest events fill a datagram to exactly 1,010 bytes.
        CapCase{"SmallestCapLargestEvents", 1010, 497, 4, 1000, {2, 2}},
        CapCase{"CountLimitStillCloses", 1472, 40, 7, 3, {3, 3, 1}},
        // The default cap batches as the sender always did.
        CapCase{"DefaultCap", 65507, 300, 300, 1000, {217, 83}},
        // Longer records than the batching rule was made for (a faulty card's): a datagram is
        // closed before the one that would take it over the cap, which opens the next.
        CapCase{"EthernetLongEvents", 1472, 0, 9, 1000, {2, 1, 2, 1, 2, 1}, {300, 498, 1000}},
        CapCase{"DefaultCapShortestLongEvents", 65507, 498, 300, 1000, {131, 131, 38}},
        CapCase{
            "DefaultCapLongestEventsTheWalkTakes", 65507, 0, 8, 1000, {3, 2, 2, 1}, {300, 32768}},
        // Longer than the cap on its own: dropped alone, the events on either side go on.
        CapCase{"EthernetEventsAboveTheCapDroppedAlone",
                1472,
                0,
                10,
                1000,
                {1, 1, 2, 1, 1},
                {40, 1456, 1457, 32768, 40},
                4},
        CapCase{"DefaultCapEventAboveTheCapDroppedAlone", 65507, 0, 3, 1000, {2}, {40, 65492}, 1}),
    [](const ::testing::TestParamInfo<CapCase>& info) { return std::string(info.param.name); });

// Events of random sizes under the Ethernet cap: no datagram above it, and none closed early
// (each one but the last would have overflowed with its successor's first event).
TEST_F(Destinations, RandomSizesFillDatagramsUpToTheCap) {
    constexpr std::size_t cap = 1472;
    constexpr std::uint32_t total = 2000;
    std::mt19937 rng(12);
    std::uniform_int_distribution<std::size_t> size_of(7, 497);
    std::vector<std::size_t> sizes;
    for (std::uint32_t i = 0; i < total; ++i) {
        sizes.push_back(size_of(rng));
        buffer.queue->enqueue(make_event(i, sizes.back()));
    }
    UdpListener rx("127.0.0.1", test_port);
    UDPClient client(Destination::limited_broadcast(test_port), 500, -1, buffer.queue, log.stream(),
                     cap);
    const std::vector<Decoded> datagrams = receive_events(rx, total);
    std::uint32_t next = 0;
    for (std::size_t k = 0; k < datagrams.size(); ++k) {
        const Decoded& d = datagrams[k];
        ASSERT_EQ(d.error, "");
        ASSERT_LE(d.size, cap);
        for (const Event& e : d.events) {
            ASSERT_EQ(e, make_event(next, sizes[next]));
            ++next;
        }
        if (k + 1 < datagrams.size()) {
            EXPECT_GT(d.size - 16, cap - 16 - 497) << "datagram " << k << " closed early";
        }
    }
    EXPECT_EQ(next, total);
}

// A cap that leaves no room for two of the largest events, or one above the largest UDP
// payload, is refused before any thread starts.
TEST_F(Destinations, CapsOutsideTheRangeAreRefused) {
    for (const std::size_t cap : {std::size_t{0}, std::size_t{1009}, std::size_t{65508}}) {
        EXPECT_THROW(UDPClient(Destination::limited_broadcast(test_port), 500, 1, buffer.queue,
                               log.stream(), cap),
                     std::invalid_argument)
            << cap;
    }
}

} // namespace
