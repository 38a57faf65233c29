// The notices the service manager reads from its socket, on a simulated clock: the sequence of a
// run, the watchdog's pace, the pings withheld while a watched thread is stuck, and the silence
// when no manager listens.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "app/service_notifier.hpp"
#include "monitoring/monitoring.hpp"
#include "runtime/heartbeat.hpp"
#include "support/child_process.hpp"
#include "support/notify_socket.hpp"

namespace {

using namespace std::chrono_literals;
using clock_type = ServiceNotifier::clock;
using testsupport::NotifySocket;

constexpr auto step = 100ms; // the gateway's wait loop step

class Notifier : public testing::Test {
protected:
    void SetUp() override {
        setenv("NOTIFY_SOCKET", manager.path().c_str(), 1);
        unsetenv("WATCHDOG_USEC");
        unsetenv("WATCHDOG_PID");
    }
    void TearDown() override {
        unsetenv("NOTIFY_SOCKET");
        unsetenv("WATCHDOG_USEC");
        unsetenv("WATCHDOG_PID");
    }

    // Every notice waiting on the socket.
    std::vector<std::string> drain() {
        std::vector<std::string> all;
        while (auto n = manager.receive(0ms)) {
            all.push_back(*n);
        }
        return all;
    }

    static int count(const std::vector<std::string>& notices, const std::string& text) {
        int n = 0;
        for (const auto& t : notices) {
            n += t == text ? 1 : 0;
        }
        return n;
    }

    // Ticks every 100 ms from `from` for `span`, beating `beats` before each tick; returns the
    // simulated times at which a ping was sent.
    std::vector<clock_type::time_point> run(ServiceNotifier& n, clock_type::time_point from,
                                            clock_type::duration span,
                                            const std::vector<Heartbeat*>& beats) {
        std::vector<clock_type::time_point> pings;
        for (auto t = from; t < from + span; t += step) {
            for (Heartbeat* b : beats) {
                b->beat();
            }
            n.tick(
                [] { return std::string("card 0: 0 frames/s, 0 datagrams/s, 0 events dropped"); },
                t);
            for (const auto& notice : drain()) {
                if (notice == "WATCHDOG=1") {
                    pings.push_back(t);
                }
            }
        }
        return pings;
    }

    NotifySocket manager;
    Heartbeat tx;
    Heartbeat lifesign;
};

TEST_F(Notifier, ARunIsReadyThenReloadsAndStops) {
    ServiceNotifier n;
    ASSERT_TRUE(n.active());
    EXPECT_EQ(n.watchdog_period(), 0us);
    const auto t0 = clock_type::now();
    n.ready({{"udp-tx", &tx, 5s}}, t0);
    EXPECT_EQ(drain(), std::vector<std::string>{"READY=1"}); // no watchdog asked, no ping

    // A status line at once, then about once a second, never more often.
    n.tick([] { return std::string("card 2: 10 frames/s, 3 datagrams/s, 1 events dropped"); }, t0);
    EXPECT_EQ(drain(), std::vector<std::string>{
                           "STATUS=card 2: 10 frames/s, 3 datagrams/s, 1 events dropped"});
    int status_lines = 0;
    for (auto t = t0 + step; t <= t0 + 3s; t += step) {
        n.tick([] { return std::string("x"); }, t);
        status_lines += static_cast<int>(drain().size());
    }
    EXPECT_EQ(status_lines, 3);

    timespec before{};
    clock_gettime(CLOCK_MONOTONIC, &before);
    n.reloading();
    const auto notices = drain();
    ASSERT_EQ(notices.size(), 1u);
    const std::string prefix = "RELOADING=1\nMONOTONIC_USEC=";
    ASSERT_EQ(notices[0].rfind(prefix, 0), 0u) << notices[0];
    const long long usec = std::stoll(notices[0].substr(prefix.size()));
    const long long before_usec = before.tv_sec * 1'000'000LL + before.tv_nsec / 1000;
    EXPECT_GE(usec, before_usec);
    EXPECT_LT(usec, before_usec + 1'000'000);

    n.ready({{"udp-tx", &tx, 5s}}, t0 + 4s);
    EXPECT_EQ(drain(), std::vector<std::string>{"READY=1"});
    n.stopping();
    EXPECT_EQ(drain(), std::vector<std::string>{"STOPPING=1"});
}

TEST_F(Notifier, PingsComeAtLeastTwiceAPeriodAndNotInAFlood) {
    setenv("WATCHDOG_USEC", "1200000", 1);
    setenv("WATCHDOG_PID", std::to_string(getpid()).c_str(), 1);
    ServiceNotifier n;
    ASSERT_EQ(n.watchdog_period(), 1200ms);
    const auto t0 = clock_type::now();
    n.ready({{"udp-tx", &tx, 5s}, {"lifesign", &lifesign, 5s}}, t0);
    EXPECT_EQ(count(drain(), "WATCHDOG=1"), 1); // the first with READY

    std::vector<clock_type::time_point> pings = run(n, t0 + step, 12s, {&tx, &lifesign});
    pings.insert(pings.begin(), t0);
    ASSERT_GE(pings.size(), 20u); // 12 s of a 1.2 s period: at least two a period
    for (std::size_t i = 1; i < pings.size(); ++i) {
        EXPECT_LE(pings[i] - pings[i - 1], 600ms) << "gap " << i;
        EXPECT_GE(pings[i] - pings[i - 1], 400ms) << "gap " << i;
    }
}

TEST_F(Notifier, AStuckThreadWithholdsPingsUntilItMovesAgain) {
    setenv("WATCHDOG_USEC", "3000000", 1);
    ServiceNotifier n;
    const auto t0 = clock_type::now();
    n.ready({{"udp-tx", &tx, 2s}, {"lifesign", &lifesign, 2s}}, t0);
    drain();

    // Both threads pass (an idle pass counts as well as a busy one): pings go on.
    EXPECT_FALSE(run(n, t0, 4s, {&tx, &lifesign}).empty());
    // The transmit thread stops passing: pings go on for its stall limit, then stop for good.
    const auto stuck_from = t0 + 4s;
    const auto pings = run(n, stuck_from, 10s, {&lifesign});
    ASSERT_FALSE(pings.empty());
    EXPECT_LE(pings.back() - stuck_from, 2s + step);
    // It moves again: pings resume at once.
    const auto resumed = run(n, t0 + 14s, 2s, {&tx, &lifesign});
    ASSERT_FALSE(resumed.empty());
    EXPECT_EQ(resumed.front(), t0 + 14s);

    // After a reload the old generation's heartbeats are no longer looked at.
    n.reloading();
    drain();
    EXPECT_FALSE(run(n, t0 + 16s, 2s, {}).empty());
}

TEST_F(Notifier, NoPingsForAnotherProcessAndNothingWithoutAManager) {
    setenv("WATCHDOG_USEC", "1000000", 1);
    setenv("WATCHDOG_PID", std::to_string(getpid() + 1).c_str(), 1);
    {
        ServiceNotifier n;
        EXPECT_EQ(n.watchdog_period(), 0us);
        n.ready({{"udp-tx", &tx, 2s}});
        EXPECT_TRUE(run(n, clock_type::now(), 3s, {&tx}).empty());
    }
    drain();
    unsetenv("NOTIFY_SOCKET");
    ServiceNotifier n;
    EXPECT_FALSE(n.active());
    n.ready({{"udp-tx", &tx, 2s}});
    n.tick([] { return std::string("x"); });
    n.reloading();
    n.stopping();
    EXPECT_EQ(n.sent(), 0u);
    EXPECT_TRUE(drain().empty());
}

// The lifesign thread beats once a period even when its records go nowhere.
TEST(Heartbeats, TheLifesignThreadBeatsWithoutAQueue) {
    Monitoring monitor(20, -1, nullptr);
    const std::uint64_t first = monitor.lifesign_heartbeat().count();
    EXPECT_TRUE(testsupport::eventually(
        [&] { return monitor.lifesign_heartbeat().count() >= first + 3; }, 2s));
}

} // namespace
