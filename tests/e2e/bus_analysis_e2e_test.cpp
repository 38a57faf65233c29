// fipdump --bus against the real gateway on a simulated card made sick on purpose, its scan
// changed before the bus starts: the counts of the silenced and the corrupted identifier, and of
// every other one, and the scan fipdump learns, equal what the card did.
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <memory>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

#include "support/card_truth.hpp"
#include "support/gateway_run.hpp"
#include "support/http_client.hpp"
#include "support/loopback_only.hpp"

using namespace std::chrono_literals;
using testsupport::card_truth;
using testsupport::ChildProcess;
using testsupport::field;
using testsupport::GatewayRun;

namespace {

constexpr std::uint16_t kMetricsPort = 19118;
constexpr std::uint16_t kTwoGatewaysMetricsPort = 19119;

// The first sample of `family` in an exposition, -1 if absent.
long long sample(const std::string& metrics, const std::string& family) {
    const auto at = metrics.find("\n" + family + "{");
    const auto value = at == std::string::npos ? at : metrics.find("} ", at);
    return value == std::string::npos ? -1 : std::strtoll(metrics.c_str() + value + 2, nullptr, 10);
}

} // namespace

TEST(BusAnalysisE2E, SickStationsCountedAsTheCardMadeThem) {
    ASSERT_TRUE(only_loopback_present()) << "run through netns-run";
    ChildProcess dump({FIPDUMP_BIN, "--bus", "--json", "--rcvbuf", "8388608", "--metrics",
                       "127.0.0.1:" + std::to_string(kMetricsPort)});
    ASSERT_TRUE(dump.wait_for_error("listening on UDP port", 10s)) << dump.err();
    GatewayRun gw({{"-R", "100"}, {{"CAPVANE_SIM_PAUSED", "1"}}, true});
    ASSERT_TRUE(gw.wait_running()) << gw.process().out();
    testsupport::SimControl card(gw.control_path(), 10s);
    ASSERT_TRUE(card.ok());
    ASSERT_EQ(card.command("silence 0x0111 40"), "ok silence 0x0111 40");
    ASSERT_EQ(card.command("corrupt 0x0122 30"), "ok corrupt 0x0122 30");
    ASSERT_EQ(card.command("unschedule 0x0133").rfind("ok unschedule 0x0133 was ", 0), 0U);
    ASSERT_EQ(card.command("schedule 0x0400 3 20"), "ok schedule 0x0400 period 3 len 20");
    ASSERT_EQ(card.command("resume"), "ok resumed");

    // Until both faults are done and the silenced identifier was polled a few times since, so
    // that the stream does not stop on one of its silent polls.
    long long polls_when_done = -1;
    ASSERT_TRUE(testsupport::eventually(
        [&] {
            const auto truth = card_truth(card.command("stats"));
            if (!truth.count(0x0111) || !truth.count(0x0122) ||
                field(truth.at(0x0111), "silence_pending") != 0 ||
                field(truth.at(0x0122), "corrupt_pending") != 0) {
                return false;
            }
            const long long polls = field(truth.at(0x0111), "polls");
            polls_when_done = polls_when_done < 0 ? polls : polls_when_done;
            return polls >= polls_when_done + 3;
        },
        30s));
    ASSERT_EQ(card.command("pause"), "ok paused");
    ASSERT_EQ(card.command("flush"), "ok flushed");

    // Every record the card delivered has reached fipdump.
    std::string stats;
    ASSERT_TRUE(testsupport::eventually(
        [&] {
            stats = card.command("stats");
            const long long records = testsupport::json_number(stats, "records");
            return records > 0 && sample(testsupport::scrape_metrics(kMetricsPort),
                                         "fipgate_dump_capture_records_total") == records;
        },
        30s))
        << stats;
    // The bus is analysed under the card's name once a lifesign carries it (the gateway's first
    // lifesigns may not yet): the lifesigns that go on while the bus is paused bring it.
    std::string metrics;
    std::size_t missing_0111 = std::string::npos;
    ASSERT_TRUE(testsupport::eventually(
        [&] {
            metrics = testsupport::scrape_metrics(kMetricsPort);
            missing_0111 = metrics.find(
                ",id=\"0x0111\"} ", metrics.find("\nfipgate_identifier_missing_responses_total{"));
            return missing_0111 != std::string::npos;
        },
        10s))
        << metrics;
    EXPECT_GE(std::strtoll(metrics.c_str() + missing_0111 + 14, nullptr, 10), 40);
    EXPECT_EQ(gw.stop(SIGINT), 0);
    kill(dump.pid(), SIGINT);
    const int status = dump.wait_exit(10s);
    ASSERT_TRUE(status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0) << dump.err();

    EXPECT_EQ(testsupport::json_number(stats, "overruns"), 0);
    const auto truth = card_truth(stats);
    const auto seen = testsupport::bus_identifiers(dump.out());
    ASSERT_EQ(seen.size(), truth.size()) << dump.out();
    for (const auto& [id, t] : truth) {
        SCOPED_TRACE(id);
        const std::string& s = seen.at(id);
        EXPECT_EQ(field(s, "polls"), field(t, "polls"));
        EXPECT_EQ(field(s, "responses"), field(t, "responses"));
        EXPECT_EQ(field(s, "missing"), field(t, "silences"));
        EXPECT_EQ(field(s, "bad_frames"), field(t, "corrupted"));
        EXPECT_EQ(field(s, "unknown"), 0);
        EXPECT_EQ(field(s, "len_min"), field(t, "len_min"));
        EXPECT_EQ(field(s, "len_max"), field(t, "len_max"));
        EXPECT_EQ(field(s, "period_cycles"), field(t, "period_cycles"));
    }
    EXPECT_EQ(truth.count(0x0133), 0U); // never polled
    EXPECT_EQ(field(truth.at(0x0400), "period_cycles"), 3);
    EXPECT_EQ(field(truth.at(0x0400), "len_max"), 20);
    EXPECT_GE(field(truth.at(0x0111), "silences"), 40);
    EXPECT_EQ(field(truth.at(0x0122), "corrupted"), 30);
    // The sick identifiers come first, ahead of every healthy one.
    const std::string& out = dump.out();
    const auto first_id = out.find("\"type\":\"identifier\"");
    const auto line = out.substr(first_id, out.find('\n', first_id) - first_id);
    EXPECT_TRUE(field("{" + line, "id") == 0x0111 || field("{" + line, "id") == 0x0122) << line;
    const auto bus_line = out.substr(out.find("\"type\":\"bus\""));
    EXPECT_EQ(field(bus_line, "breaks"), 0);
    EXPECT_EQ(field(bus_line, "orphans"), 0);
    EXPECT_GT(field(bus_line, "macrocycle_polls"), 0);
}

namespace {

struct HostCase {
    const char* name;
    const char* destination; // UdpAddress of both gateways
    const char* address;     // the sender address fipdump names them by
};

void PrintTo(const HostCase& c, std::ostream* os) {
    *os << c.name;
}

// The "type":"identifier" objects of one gateway in --bus --json output, by identifier.
std::map<long long, std::string> identifiers_of(const std::string& out, const std::string& label) {
    std::string lines;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
        if (line.find("\"gateway\":\"" + label + "\"") != std::string::npos) {
            lines += line + "\n";
        }
    }
    return testsupport::bus_identifiers(lines);
}

} // namespace

class TwoGatewaysOnOneHost : public ::testing::TestWithParam<HostCase> {};

// Two gateways on one host, over IPv4 or IPv6, send from the same address: fipdump keeps two
// buses, each named by the address and its card's serial in the analysis and in every metric
// family, each counted as its card counted it, and neither taken for a restart of the other.
TEST_P(TwoGatewaysOnOneHost, AreTwoBusesNamedByAddressAndCard) {
    ASSERT_TRUE(only_loopback_present()) << "run through netns-run";
    const HostCase& c = GetParam();
    ChildProcess dump({FIPDUMP_BIN, "--bus", "--json", "--rcvbuf", "8388608", "--metrics",
                       "127.0.0.1:" + std::to_string(kTwoGatewaysMetricsPort)});
    ASSERT_TRUE(dump.wait_for_error("listening on UDP port", 10s)) << dump.err();
    testsupport::TempDir conf_dir;
    const std::string conf = conf_dir.file("fipgate.conf");
    std::ofstream(conf) << "UdpAddress = " << c.destination << "\n";
    const std::vector<std::uint32_t> serials{0x1111, 0x2222};
    std::vector<std::unique_ptr<GatewayRun>> gateways;
    std::vector<std::string> labels;
    for (const std::uint32_t serial : serials) {
        gateways.push_back(std::make_unique<GatewayRun>(testsupport::GatewayConfig{
            {"-C", conf, "-R", "100"},
            {{"CAPVANE_SIM_SERIAL", std::to_string(serial)}, {"CAPVANE_SIM_RECORDS", "3000"}},
            true}));
        ASSERT_TRUE(gateways.back()->wait_running()) << gateways.back()->process().out();
        labels.push_back(std::string(c.address) + "/" + std::to_string(serial));
    }
    // Each card's whole burst has reached fipdump, under its own name.
    std::vector<std::string> truths;
    for (std::size_t i = 0; i < gateways.size(); ++i) {
        testsupport::SimControl card(gateways[i]->control_path(), 10s);
        ASSERT_TRUE(card.ok());
        std::string metrics;
        ASSERT_TRUE(testsupport::eventually(
            [&] {
                metrics = testsupport::scrape_metrics(kTwoGatewaysMetricsPort);
                return metrics.find("\nfipgate_dump_capture_records_total{gateway=\"" + labels[i] +
                                    "\"} 3000\n") != std::string::npos;
            },
            30s))
            << metrics;
        EXPECT_NE(metrics.find("\nfipgate_dump_restarts_total{gateway=\"" + labels[i] + "\"} 0\n"),
                  std::string::npos)
            << metrics;
        EXPECT_NE(metrics.find("\nfipgate_bus_transactions_total{gateway=\"" + labels[i] + "\"} "),
                  std::string::npos)
            << metrics;
        truths.push_back(card.command("stats"));
    }
    EXPECT_EQ(testsupport::count_of(testsupport::scrape_metrics(kTwoGatewaysMetricsPort),
                                    "\nfipgate_gateway_up{"),
              2U);
    for (auto& gw : gateways) {
        EXPECT_EQ(gw->stop(SIGINT), 0);
    }
    kill(dump.pid(), SIGINT);
    const int status = dump.wait_exit(10s);
    ASSERT_TRUE(status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0) << dump.err();

    EXPECT_EQ(testsupport::count_of(dump.out(), "\"type\":\"bus\""), 2U) << dump.out();
    for (std::size_t i = 0; i < gateways.size(); ++i) {
        SCOPED_TRACE(labels[i]);
        const auto truth = card_truth(truths[i]);
        const auto seen = identifiers_of(dump.out(), labels[i]);
        ASSERT_EQ(seen.size(), truth.size()) << dump.out();
        for (const auto& [id, t] : truth) {
            SCOPED_TRACE(id);
            EXPECT_EQ(field(seen.at(id), "polls"), field(t, "polls"));
            EXPECT_EQ(field(seen.at(id), "responses"), field(t, "responses"));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Hosts, TwoGatewaysOnOneHost,
                         ::testing::Values(HostCase{"Ipv4", "127.0.0.1", "127.0.0.1"},
                                           HostCase{"Ipv6", "::1", "::1"}),
                         [](const ::testing::TestParamInfo<HostCase>& info) {
                             return std::string(info.param.name);
                         });
