// Lifesign records on the wire: the monitor feeds the sender's queue, the sender's statistics
// come back to the monitor, and the next records carry them. Runs only inside scripts/netns-run.
#include <gtest/gtest.h>

#include <span>
#include <variant>

#include "monitoring/monitoring.hpp"
#include "net/udp_test_support.hpp"
#include "support/loopback_only.hpp"
#include "udp/udp_client.hpp"
#include "wire/decode.hpp"

using namespace udptest;
using namespace std::chrono_literals;

namespace {

constexpr std::uint16_t test_port = 47131;
constexpr unsigned long lifesign_period_ms = 100;

TEST(MonitoringOnTheWire, RecordsCarryTheSendersOwnStatistics) {
    ASSERT_TRUE(only_loopback_present())
        << "this test sends broadcasts: run it through scripts/netns-run";
    TempQueue buffer;
    LogCapture log;
    Receiver rx(test_port);
    auto monitor = std::make_shared<Monitoring>(lifesign_period_ms, -1, buffer.queue);
    UDPClient sender(test_port, lifesign_period_ms, 1000, buffer.queue, log.stream());
    sender.add_observer(monitor);

    std::uint64_t expected_cnt = 1;
    bool saw_sender_stats = false;
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!saw_sender_stats && std::chrono::steady_clock::now() < deadline) {
        const auto bytes = rx.receive(1000ms);
        ASSERT_TRUE(bytes.has_value()) << "no datagram within a second";
        const wire::Datagram d = wire::decode_datagram(std::span<const std::uint8_t>(*bytes));
        ASSERT_TRUE(d.ok()) << wire::to_string(*d.error);
        for (const wire::Event& e : d.events) {
            ASSERT_TRUE(std::holds_alternative<wire::LifesignRecord>(e));
            const auto& l = std::get<wire::LifesignRecord>(e);
            EXPECT_EQ(l.lifesign_cnt, expected_cnt++) << "records lost or reordered";
            if (l.udp_pkt_sent_cnt > 0) {
                EXPECT_EQ(l.udp_is_active, 1);
                EXPECT_EQ(l.fip_is_active, 0);
                saw_sender_stats = true;
            }
        }
    }
    EXPECT_TRUE(saw_sender_stats) << "the sender's statistics never reached a record";

    // Only the sender's copy moved.
    const Monitoring::Snapshots s = monitor->get_snapshots();
    EXPECT_GT(s.udp_stats.pkt_sent_cnt, 0U);
    EXPECT_TRUE(s.sys_stats.start_date.is_not_a_date_time());
    EXPECT_EQ(s.fip_stats.frame_rcvd_cnt, 0U);
}

} // namespace
