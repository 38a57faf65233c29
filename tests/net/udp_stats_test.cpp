// Statistics and link watchdog of the sender: counters, when the link is declared active and
// lost and how far the loss is back-dated, per-second rates and when observers hear about them.
// The arithmetic of the periods is the helper's (tests/unit/link_activity_test.cpp). Runs only
// inside scripts/netns-run.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <mutex>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "net/udp_test_support.hpp"
#include "support/loopback_only.hpp"
#include "udp/udp_client.hpp"

using namespace udptest;
using namespace std::chrono_literals;
namespace pt = boost::posix_time;

namespace {

constexpr std::uint16_t test_port = 47118;

class Recorder : public Observer {
public:
    void update(Observable* o) override {
        auto* client = dynamic_cast<UDPClient*>(o);
        ASSERT_NE(client, nullptr);
        std::lock_guard lock(mutex);
        copies.push_back(client->get_stats());
    }
    std::vector<UDPStats> seen() {
        std::lock_guard lock(mutex);
        return copies;
    }

private:
    std::mutex mutex;
    std::vector<UDPStats> copies;
};

class UdpStatsTest : public SenderTest {};

// The per-second thread refreshes once a second: a second and a bit without any change must not
// reach the observer, and the first datagram must.
TEST_F(UdpStatsTest, FreshRecordQuietSecondsAndTheFirstDatagram) {
    Receiver rx(test_port);
    auto client = std::make_unique<UDPClient>(test_port, 10000, 1000, buffer.queue, log.stream());
    const UDPStats fresh = client->get_stats();
    EXPECT_FALSE(fresh.is_active);
    EXPECT_EQ(fresh.last_start_date, fresh.start_date);
    EXPECT_EQ(fresh.last_stop_date, fresh.start_date);
    EXPECT_EQ(fresh.pkt_sent_cnt + fresh.pkt_err_cnt + fresh.bytes_sent_cnt + fresh.loss_act_cnt,
              0u);
    auto recorder = std::make_shared<Recorder>();
    client->add_observer(recorder);

    // Nothing can be watched for here: the point is that nothing happens.
    std::this_thread::sleep_for(1300ms);
    EXPECT_TRUE(recorder->seen().empty());
    EXPECT_FALSE(rx.receive(0ms)) << "an idle queue sends nothing";

    buffer.queue->enqueue(make_event(0, 323)); // a lone lifesign-sized record
    auto d = rx.receive(3000ms);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->size(), 339u);
    ASSERT_TRUE(wait_until([&] { return !recorder->seen().empty(); }, 3000ms));
    const UDPStats s = recorder->seen().front();
    EXPECT_EQ(s.pkt_sent_cnt, 1u);
    EXPECT_EQ(s.bytes_sent_cnt, 381u);
    EXPECT_EQ(s.pkt_sent_cnt_per_sec, 1u);
    EXPECT_EQ(s.bytes_sent_cnt_per_sec, 381u);
    EXPECT_TRUE(s.is_active);
    EXPECT_EQ(s.start_date, fresh.start_date);
    EXPECT_EQ(s.inact_duration, s.last_start_date - s.start_date);
    EXPECT_EQ(s.loss_act_cnt, 0u);

    // The periodic sleeps are woken: stopping takes nowhere near a period.
    const auto t0 = std::chrono::steady_clock::now();
    client.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 500ms);
}

TEST_F(UdpStatsTest, LossIsBackDatedAndResumptionClosesTheInactivePeriod) {
    constexpr unsigned long lifesign_ms = 20; // time-out 100 ms
    Receiver rx(test_port);
    UDPClient client(test_port, lifesign_ms, 1, buffer.queue, log.stream());
    EXPECT_EQ(client.watchdog_timeout_ms(), 100u);
    EXPECT_EQ(client.watchdog_ticks(), 10);

    buffer.queue->enqueue(make_event(0, 40));
    ASSERT_TRUE(rx.receive(3000ms));
    ASSERT_TRUE(wait_until([&] { return client.get_stats().is_active; }, 3000ms));
    ASSERT_TRUE(wait_until([&] { return !client.get_stats().is_active; }, 3000ms));
    const pt::ptime seen_lost = pt::microsec_clock::local_time();
    const UDPStats lost = client.get_stats();
    EXPECT_EQ(lost.loss_act_cnt, 1u);
    // Back-dated by the time-out: the detection came at least 100 ms after the stop date.
    EXPECT_LE(lost.last_stop_date, seen_lost - pt::milliseconds(100));
    EXPECT_GE(lost.last_stop_date, lost.last_start_date);
    ASSERT_TRUE(
        wait_until([&] { return client.get_stats().inact_duration > lost.inact_duration; }, 1000ms))
        << "the inactive period grows while the link stays lost";

    buffer.queue->enqueue(make_event(1, 40));
    ASSERT_TRUE(rx.receive(3000ms));
    ASSERT_TRUE(wait_until([&] { return client.get_stats().is_active; }, 3000ms));
    const UDPStats back = client.get_stats();
    EXPECT_EQ(back.loss_act_cnt, 1u);
    EXPECT_EQ(back.last_stop_date, lost.last_stop_date);
}

// With no lifesign period the first watchdog pass after a datagram declares the link lost, at
// the moment of detection.
TEST_F(UdpStatsTest, ZeroLifesignPeriodLosesTheLinkAfterEveryDatagram) {
    Receiver rx(test_port);
    UDPClient client(test_port, 0, 1, buffer.queue, log.stream());
    EXPECT_EQ(client.watchdog_timeout_ms(), 0u);
    EXPECT_EQ(client.watchdog_ticks(), 0);
    for (std::uint32_t i = 0; i < 2; ++i) {
        buffer.queue->enqueue(make_event(i, 40));
        ASSERT_TRUE(rx.receive(3000ms));
        ASSERT_TRUE(wait_until([&] { return client.get_stats().loss_act_cnt == i + 1; }, 3000ms));
        const UDPStats s = client.get_stats();
        EXPECT_FALSE(s.is_active);
        EXPECT_GE(s.last_stop_date, s.last_start_date);
    }
}

// A countdown beyond the 32-bit counter would wrap negative and lose the link at once.
TEST_F(UdpStatsTest, HugeLifesignPeriodsSaturateTheWatchdog) {
    Receiver rx(test_port);
    for (const unsigned long period : {4294967296UL, ULONG_MAX}) {
        UDPClient client(test_port, period, 1, buffer.queue, log.stream());
        EXPECT_EQ(client.watchdog_ticks(), INT32_MAX);
        buffer.queue->enqueue(make_event(0, 40));
        ASSERT_TRUE(rx.receive(3000ms));
        ASSERT_TRUE(wait_until([&] { return client.get_stats().is_active; }, 3000ms));
        std::this_thread::sleep_for(100ms); // ten watchdog ticks
        EXPECT_TRUE(client.get_stats().is_active) << period;
        EXPECT_EQ(client.get_stats().loss_act_cnt, 0u);
    }
}

TEST_F(UdpStatsTest, PerSecondRatesFollowASteadyFlow) {
    Receiver rx(test_port);
    UDPClient client(test_port, 500, 1, buffer.queue, log.stream());
    auto recorder = std::make_shared<Recorder>();
    client.add_observer(recorder);

    // 100 datagrams a second for 2.5 s, paced on an absolute schedule.
    auto next = std::chrono::steady_clock::now();
    for (std::uint32_t i = 0; i < 250; ++i) {
        buffer.queue->enqueue(make_event(i, 40));
        next += 10ms;
        std::this_thread::sleep_until(next);
    }
    ASSERT_TRUE(wait_until([&] { return client.get_stats().pkt_sent_cnt == 250; }, 3000ms));

    bool steady_second = false;
    for (const UDPStats& s : recorder->seen()) {
        EXPECT_EQ(s.bytes_sent_cnt_per_sec, s.pkt_sent_cnt_per_sec * (40 + 16 + 42));
        EXPECT_EQ(s.pkt_rcvd_cnt + s.bytes_rcvd_cnt + s.pkt_rcvd_cnt_per_sec +
                      s.bytes_rcvd_cnt_per_sec,
                  0u);
        steady_second |= s.pkt_sent_cnt_per_sec >= 85 && s.pkt_sent_cnt_per_sec <= 115;
    }
    EXPECT_TRUE(steady_second);
}

} // namespace
