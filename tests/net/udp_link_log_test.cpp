// The sender's link watchdog in the log: a link that goes quiet and comes back is told once each
// way. Runs only inside scripts/netns-run.
#include <gtest/gtest.h>

#include "net/udp_test_support.hpp"
#include "support/loopback_only.hpp"
#include "udp/udp_client.hpp"

using namespace udptest;
using namespace std::chrono_literals;

namespace {

constexpr std::uint16_t test_port = 47119;

std::size_t count_of(const std::string& text, const std::string& needle) {
    std::size_t n = 0;
    for (auto pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + 1)) {
        ++n;
    }
    return n;
}

TEST(UdpLinkLogTest, QuietLinkAndItsReturnAreLoggedOnceEachWay) {
    ASSERT_TRUE(only_loopback_present()) << "this test sends: run it through scripts/netns-run";
    TempQueue buffer;
    LogCapture log;
    constexpr unsigned long lifesign_ms = 20; // link inactive 100 ms after the last datagram
    Receiver rx(test_port);
    UDPClient client(test_port, lifesign_ms, 1, buffer.queue, log.stream());
    buffer.queue->enqueue(make_event(0, 40));
    ASSERT_TRUE(rx.receive(3000ms));

    ASSERT_TRUE(wait_until(
        [&] { return log.text().find("udp link inactive\n") != std::string::npos; }, 3000ms));
    std::this_thread::sleep_for(300ms); // thirty more expired watchdog passes: no more lines
    EXPECT_EQ(count_of(log.text(), "udp link inactive\n"), 1U);

    buffer.queue->enqueue(make_event(1, 40));
    ASSERT_TRUE(rx.receive(3000ms));
    ASSERT_TRUE(wait_until(
        [&] { return log.text().find("udp link active again after ") != std::string::npos; },
        3000ms));
    // The inactivity is counted from the last datagram, under a second here.
    EXPECT_EQ(count_of(log.text(), "udp link active again after 0 s\n"), 1U) << log.text();
    EXPECT_TRUE(
        wait_until([&] { return count_of(log.text(), "udp link inactive\n") == 2; }, 3000ms));
}

} // namespace
