// The gateway as a supervisor and an operator see it, on the simulated card: transient card
// errors survived, a lost card reported with status 1, named threads, and a first lifesign
// record with real figures. Runs inside a private network namespace (only lo).
#include <gtest/gtest.h>

#include <csignal>
#include <dirent.h>
#include <fstream>
#include <set>
#include <string>
#include <sys/wait.h>
#include <thread>

#include "support/gateway_run.hpp"
#include "support/loopback_only.hpp"
#include "support/udp_listener.hpp"

using namespace std::chrono_literals;
using testsupport::GatewayRun;
using testsupport::UdpListener;

namespace {

constexpr std::uint16_t default_port = 57117;

class SupervisionE2E : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(only_loopback_present()) << "run through netns-run"; }
};

bool ok(const std::string& answer) {
    return answer.rfind("ok", 0) == 0;
}

// Capture records and lifesign records received until `done` holds or `timeout` passes.
struct Received {
    std::uint64_t captures = 0;
    std::vector<wire::LifesignRecord> lifesigns;

    template <typename Done>
    bool collect(UdpListener& rx, Done done, std::chrono::milliseconds timeout) {
        return testsupport::collect(rx, *this, done, timeout);
    }

    void add(const std::vector<std::uint8_t>& d) {
        const wire::Datagram decoded = wire::decode_datagram(std::span<const std::uint8_t>(d));
        for (const auto& e : decoded.events) {
            if (const auto* l = std::get_if<wire::LifesignRecord>(&e)) {
                lifesigns.push_back(*l);
            } else {
                ++captures;
            }
        }
    }
};

// The names of a process's threads, as /proc shows them, but for the simulated card's.
std::multiset<std::string> thread_names(pid_t pid) {
    std::multiset<std::string> names;
    const std::string task = "/proc/" + std::to_string(pid) + "/task";
    if (DIR* d = opendir(task.c_str())) {
        while (const dirent* e = readdir(d)) {
            if (e->d_name[0] == '.') {
                continue;
            }
            std::string name;
            std::getline(std::ifstream(task + "/" + e->d_name + "/comm"), name);
            if (name.rfind("sim-", 0) != 0) { // the simulated card's own threads
                names.insert(name);
            }
        }
        closedir(d);
    }
    return names;
}

// Forty failed wait requests in a row (EIO) cost no capture; an unplugged card ends the gateway
// with status 1 after the orderly end, so that a supervisor restarting on failure acts.
TEST_F(SupervisionE2E, FailedWaitsAreSurvivedAndALostCardEndsWithStatusOne) {
    UdpListener rx(default_port);
    GatewayRun gw({{}, {}, true});
    ASSERT_TRUE(gw.wait_running()) << gw.process().out();
    testsupport::SimControl card(gw.control_path(), 5s);
    ASSERT_TRUE(card.ok());
    ASSERT_TRUE(ok(card.command("failwait 40")));
    ASSERT_TRUE(testsupport::eventually(
        [&] { return testsupport::json_number(card.command("stats"), "failwait") == 40; }, 10s));

    Received r;
    ASSERT_TRUE(r.collect(
        rx, [](const Received& x) { return x.captures >= 1000; }, 10s))
        << "the capture did not go on after the failed waits";
    EXPECT_EQ(waitpid(gw.process().pid(), nullptr, WNOHANG), 0) << "the gateway ended";
    EXPECT_TRUE(gw.process().wait_for_output(
        "fip: wait request failed 1 times (last: Input/output error (EIO))", 2s));
    EXPECT_EQ(gw.process().out().find("device connection is broken"), std::string::npos);

    ASSERT_TRUE(ok(card.command("unplug")));
    const int status = gw.process().wait_exit(10s);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    EXPECT_NE(gw.process().out().find("device connection is broken\n"), std::string::npos);
    EXPECT_TRUE(gw.syslog().wait_for("Stopped FIP to UDP analyzer daemon", 2s));
}

// Every thread has its documented name; the main thread keeps the program's.
TEST_F(SupervisionE2E, ThreadsCarryTheirNames) {
    GatewayRun gw({{"-s", "1000"}, {}, false});
    ASSERT_TRUE(gw.wait_running()) << gw.process().out();
    const std::multiset<std::string> expected = {
        "fipgate",   "capture",      "capture-stats", "capture-wdog", "udp-tx",
        "udp-stats", "udp-watchdog", "host-sampler",  "lifesign",     "screen"};
    // The screen thread names itself as it starts: give it a moment.
    std::multiset<std::string> names;
    EXPECT_TRUE(testsupport::eventually(
        [&] {
            names = thread_names(gw.process().pid());
            return names == expected;
        },
        5s))
        << [&] {
               std::string s;
               for (const auto& n : names) {
                   s += n + " ";
               }
               return s;
           }();
    EXPECT_EQ(gw.stop(SIGINT), 0);
}

// The first lifesign record of a run carries the figures that exist from the start: the event
// buffer's size, the host's RAM and storage.
TEST_F(SupervisionE2E, FirstLifesignCarriesRealFigures) {
    UdpListener rx(default_port);
    GatewayRun gw({{}, {{"CAPVANE_SIM_PAUSED", "1"}}, false});
    ASSERT_TRUE(gw.wait_running()) << gw.process().out();
    Received r;
    ASSERT_TRUE(r.collect(
        rx, [](const Received& x) { return !x.lifesigns.empty(); }, 10s));
    const wire::LifesignRecord& first = r.lifesigns.front();
    EXPECT_EQ(first.lifesign_cnt, 1U);
    EXPECT_GT(first.buffer_total_k, 0U);
    EXPECT_GT(first.buffer_free_k, 0U);
    EXPECT_GT(first.ram_total, 0U);
    EXPECT_GT(first.ram_avail, 0U);
    EXPECT_GT(first.storage_total, 0U);
    EXPECT_EQ(gw.stop(SIGINT), 0);
}

// A full event buffer is warned about by one place only, one line a second at most, and the
// run ends with a line for the drops not yet told.
TEST_F(SupervisionE2E, DropsAreWarnedOnceASecondFromOnePlace) {
    // A buffer of a few hundred events, filled by a card that delivers as fast as it is asked,
    // drained by a sender that makes a datagram of each event: the card outruns it in any build.
    GatewayRun gw({{"-S", "65536", "-M", "1"}, {{"CAPVANE_SIM_PACE", "max"}}, false});
    ASSERT_TRUE(gw.wait_running()) << gw.process().out();
    ASSERT_TRUE(gw.process().wait_for_output("event buffer full: ", 10s)) << gw.process().out();
    const auto t0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(2500ms);
    EXPECT_EQ(gw.stop(SIGINT), 0);
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - t0);
    const std::string out = gw.process().out();
    // The first line, one a second, and the remainder at the end.
    const std::size_t lines = testsupport::count_of(out, "event buffer full: ");
    EXPECT_GE(lines, 2U) << out;
    EXPECT_LE(lines, static_cast<std::size_t>(seconds.count()) + 3U) << out;
    EXPECT_EQ(out.find("fip: event buffer full"), std::string::npos) << "a second source";
}

} // namespace
