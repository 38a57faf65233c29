// The sender seen from a receiver on the broadcast port: datagram format, batching, order and
// bytes of the events, and what send failures do. Runs only inside scripts/netns-run.
#include <gtest/gtest.h>

#include <cstdlib>
#include <numeric>

#include "net/udp_test_support.hpp"
#include "support/loopback_only.hpp"
#include "udp/udp_client.hpp"

using namespace udptest;
using namespace std::chrono_literals;

namespace {

constexpr std::uint16_t test_port = 47117;
constexpr std::size_t max_datagram_bytes = 65507;

class UdpClientTest : public SenderTest {};

struct BatchCase {
    const char* name;
    std::size_t event_size;
    std::uint32_t event_cnt;
    int max_evt;
    std::vector<std::uint32_t> expected_counts;
};

void PrintTo(const BatchCase& c, std::ostream* os) {
    *os << c.name;
}

class Batching : public UdpClientTest, public ::testing::WithParamInterface<BatchCase> {};

// Receives the datagrams of one sender until `event_cnt` events came, then checks the format, the
// events' order and bytes, and that the datagrams carry `expected_counts` events.
void expect_batches(Receiver& rx, const BatchCase& c) {
    std::vector<Decoded> datagrams;
    std::uint32_t received_events = 0;
    while (received_events < c.event_cnt) {
        auto d = rx.receive(3000ms);
        ASSERT_TRUE(d) << "only " << received_events << " of " << c.event_cnt << " events came";
        datagrams.push_back(decode(*d));
        received_events += static_cast<std::uint32_t>(datagrams.back().events.size());
    }

    std::vector<std::uint32_t> counts;
    std::uint32_t next_index = 0;
    for (std::size_t k = 0; k < datagrams.size(); ++k) {
        const Decoded& d = datagrams[k];
        ASSERT_EQ(d.error, "");
        EXPECT_EQ(d.magic, (std::vector<std::uint8_t>{0x43, 0x56, 0x01, 0x00}));
        EXPECT_EQ(d.seq, k + 1);
        EXPECT_EQ(d.event_cnt, d.events.size());
        EXPECT_EQ(d.size, 16 + d.events.size() * c.event_size);
        EXPECT_LE(d.size, max_datagram_bytes);
        counts.push_back(d.event_cnt);
        for (const Event& e : d.events) {
            ASSERT_EQ(e, make_event(next_index, c.event_size)) << "event " << next_index;
            ++next_index;
        }
    }
    EXPECT_EQ(counts, c.expected_counts);
}

// All events wait in the queue before the sender starts, so every datagram but the last closes
// on the count or the size rule, never on the time-out.
TEST_P(Batching, DatagramsFollowTheCountAndSizeRulesAndCarryEveryEventUnchanged) {
    const BatchCase& c = GetParam();
    Receiver rx(test_port);
    for (std::uint32_t i = 0; i < c.event_cnt; ++i) {
        buffer.queue->enqueue(make_event(i, c.event_size));
    }
    UDPClient client(test_port, 500, c.max_evt, buffer.queue, log.stream());
    expect_batches(rx, c);
}

// The same rules when the events come as the capture thread hands them: the sender already
// waits, and a whole transfer buffer of records arrives under one lock.
TEST_P(Batching, RulesHoldWhenABufferArrivesWhileTheSenderWaits) {
    const BatchCase& c = GetParam();
    Receiver rx(test_port);
    UDPClient client(test_port, 500, c.max_evt, buffer.queue, log.stream());
    std::this_thread::sleep_for(20ms); // the sender is past its first time-out
    std::vector<Event> events;
    for (std::uint32_t i = 0; i < c.event_cnt; ++i) {
        events.push_back(make_event(i, c.event_size));
    }
    ASSERT_EQ(buffer.queue->try_enqueue_batch(events), events.size());
    expect_batches(rx, c);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, Batching,
    ::testing::Values(BatchCase{"CountLimit", 40, 1500, 1000, {1000, 500}},
                      // 216 x 300 bytes is still within the fill limit, so a 217th is taken.
                      BatchCase{"SizeLimit", 300, 1000, 1000, {217, 217, 217, 217, 132}},
                      BatchCase{"LifesignSized", 323, 404, 1000, {202, 202}},
                      BatchCase{"OneEventEach", 40, 5, 1, {1, 1, 1, 1, 1}},
                      BatchCase{"NegativeMaxRemovesCountLimit", 40, 3000, -1, {1625, 1375}},
                      BatchCase{"ZeroMaxTakenAsOne", 40, 3, 0, {1, 1, 1}},
                      BatchCase{"LargestEvents", 497, 400, 1000, {131, 131, 131, 7}}),
    [](const ::testing::TestParamInfo<BatchCase>& info) { return std::string(info.param.name); });

TEST_F(UdpClientTest, ConstructionIsLogged) {
    { UDPClient client(test_port, 500, 1000, buffer.queue, log.stream()); }
    EXPECT_NE(log.text().find("udp socket connected (port=47117)\n"), std::string::npos);
}

// Events keep coming faster than the 10 ms time-out, so a batch is open when the sender stops:
// it must still leave, and every event is either received or still queued, in order.
TEST_F(UdpClientTest, StopSendsTheOpenBatchAndLosesNothing) {
    constexpr std::uint32_t total = 200;
    Receiver rx(test_port);
    auto client = std::make_unique<UDPClient>(test_port, 500, -1, buffer.queue, log.stream());
    std::thread feeder([&] {
        for (std::uint32_t i = 0; i < total; ++i) {
            buffer.queue->enqueue(make_event(i, 40));
            std::this_thread::sleep_for(2ms);
        }
    });
    std::this_thread::sleep_for(150ms); // somewhere in the middle of the stream
    client.reset();
    feeder.join();

    std::uint32_t next = 0;
    while (auto d = rx.receive(200ms)) {
        for (const Event& e : decode(*d).events) {
            ASSERT_EQ(e, make_event(next, 40));
            ++next;
        }
    }
    EXPECT_GT(next, 0u);
    Event e;
    while (buffer.queue->try_dequeue(e, boost::posix_time::milliseconds(0))) {
        ASSERT_EQ(e, make_event(next, 40));
        ++next;
    }
    EXPECT_EQ(next, total);
}

// A send refused for a reason other than an unreachable network (here a route that prohibits
// the broadcast: EACCES) is reported, counted and dropped with its sequence number, and the
// sender goes on. (No datagram is too long for UDP any more: the sender closes it before.)
TEST_F(UdpClientTest, OtherSendErrorIsReportedCountedAndSkipped) {
    Receiver rx(test_port);
    ASSERT_EQ(std::system("ip route replace prohibit 255.255.255.255/32"), 0);
    buffer.queue->enqueue(make_event(0, 40));
    ::testing::internal::CaptureStdout();
    UDPClient client(test_port, 500, 1, buffer.queue, log.stream());
    const bool failed = wait_until([&] { return client.get_stats().pkt_err_cnt == 1; }, 3000ms);
    ASSERT_EQ(std::system("ip route replace 255.255.255.255/32 dev lo"), 0);
    const std::string out = ::testing::internal::GetCapturedStdout();
    ASSERT_TRUE(failed);

    EXPECT_EQ(out.rfind("e.what(): ", 0), 0u) << out;
    EXPECT_NE(out.find("Permission denied - e.code(): system:13\n"), std::string::npos) << out;
    EXPECT_NE(log.text().find("impossible to send on udp.\n"), std::string::npos);
    buffer.queue->enqueue(make_event(1, 40));
    auto d = rx.receive(3000ms);
    ASSERT_TRUE(d);
    const Decoded next = decode(*d);
    EXPECT_EQ(next.seq, 2u) << "the dropped datagram keeps its sequence number";
    ASSERT_EQ(next.events.size(), 1u);
    EXPECT_EQ(next.events[0], make_event(1, 40));
    // The receiver may see the datagram before the sender has counted it.
    EXPECT_TRUE(wait_until([&] { return client.get_stats().pkt_sent_cnt == 1; }, 1000ms));
    EXPECT_EQ(client.get_stats().pkt_err_cnt, 1u);
}

// Without a route to the broadcast address the datagrams are dropped silently; the watchdog
// then declares the link lost, and sending resumes once the route is back.
TEST_F(UdpClientTest, UnreachableNetworkIsSilentAndTheWatchdogReportsIt) {
    constexpr unsigned long lifesign_ms = 20; // link lost after 100 ms without a datagram
    Receiver rx(test_port);
    UDPClient client(test_port, lifesign_ms, 1, buffer.queue, log.stream());
    buffer.queue->enqueue(make_event(0, 40));
    auto first = rx.receive(3000ms);
    ASSERT_TRUE(first);
    EXPECT_EQ(decode(*first).seq, 1u);

    ASSERT_EQ(std::system("ip route del 255.255.255.255/32 dev lo"), 0);
    ::testing::internal::CaptureStdout();
    for (std::uint32_t i = 1; i <= 3; ++i) {
        buffer.queue->enqueue(make_event(i, 40));
    }
    const bool lost = wait_until(
        [&] {
            const UDPStats s = client.get_stats();
            return !s.is_active && s.loss_act_cnt == 1;
        },
        3000ms);
    ASSERT_EQ(std::system("ip route replace 255.255.255.255/32 dev lo"), 0);
    const std::string out = ::testing::internal::GetCapturedStdout();
    ASSERT_TRUE(lost);
    EXPECT_EQ(out, "");
    EXPECT_EQ(client.get_stats().pkt_err_cnt, 0u);
    EXPECT_EQ(client.get_stats().pkt_sent_cnt, 1u);

    buffer.queue->enqueue(make_event(4, 40));
    auto after = rx.receive(3000ms);
    ASSERT_TRUE(after);
    const Decoded d = decode(*after);
    EXPECT_EQ(d.seq, 5u) << "three datagrams were dropped";
    ASSERT_EQ(d.events.size(), 1u);
    EXPECT_EQ(d.events[0], make_event(4, 40));
    EXPECT_TRUE(wait_until([&] { return client.get_stats().is_active; }, 1000ms));
    EXPECT_EQ(log.text().find("impossible to send"), std::string::npos);
}

} // namespace
