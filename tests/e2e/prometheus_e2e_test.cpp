// Debian's Prometheus server scraping fipdump on the real gateway and simulated card, with the
// shipped alert rules loaded: a station silenced through the card's control socket must show
// in Prometheus as the station's state and as the alert the rules promise, read back through
// Prometheus's own HTTP API. And promtool accepts a real scrape of fipdump.
#include <gtest/gtest.h>

#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sys/wait.h>
#include <unistd.h>

#include "support/gateway_run.hpp"
#include "support/http_client.hpp"
#include "support/loopback_only.hpp"
#include "support/temp_dir.hpp"

using namespace std::chrono_literals;
using testsupport::ChildProcess;
using testsupport::GatewayRun;

namespace {

// As in the command lines below, written whole: GCC 12 -O3 misreads their concatenation.
constexpr std::uint16_t kMetricsPort = 19128;
constexpr std::uint16_t kPrometheusPort = 19129;
constexpr const char* kRules = FIPGATE_SOURCE_DIR "/packaging/prometheus/fipgate-alerts.yml";

// The program's path in PATH, or "".
std::string find_program(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    for (std::size_t at = 0; at <= dirs.size();) {
        const std::size_t end = std::min(dirs.find(':', at), dirs.size());
        const std::string candidate = dirs.substr(at, end - at) + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        at = end + 1;
    }
    return "";
}

std::string url_encoded(const std::string& text) {
    std::string out;
    for (const unsigned char c : text) {
        if (std::isalnum(c) != 0 || c == '_' || c == '.' || c == '-') {
            out += static_cast<char>(c);
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            out += hex;
        }
    }
    return out;
}

// The body of a GET on Prometheus's HTTP API; HTTP/1.0, so that it is never chunked.
std::string api_get(const std::string& target) {
    const std::string answer = testsupport::http_exchange(
        kPrometheusPort, "GET " + target + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
    const auto body = answer.find("\r\n\r\n");
    return body == std::string::npos ? "" : answer.substr(body + 4);
}

} // namespace

TEST(PrometheusE2E, SilencedStationIsItsStateAndItsAlertInPrometheus) {
    ASSERT_TRUE(only_loopback_present()) << "run through netns-run";
    const std::string prometheus = find_program("prometheus");
    const std::string promtool = find_program("promtool");
    if (prometheus.empty() || promtool.empty()) {
        GTEST_SKIP() << "prometheus or promtool is not installed (Debian package prometheus, "
                        "scripts/install-deps): the alert rules were not run on a real server";
    }
    testsupport::TempDir dir;
    {
        std::ofstream conf(dir.file("prometheus.yml"));
        conf << "global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
             << "rule_files:\n  - " << kRules << "\n"
             << "scrape_configs:\n  - job_name: fipdump\n    static_configs:\n"
             << "      - targets: ['127.0.0.1:" << kMetricsPort << "']\n";
    }
    ChildProcess dump(
        {FIPDUMP_BIN, "--bus", "--json", "--rcvbuf", "8388608", "--metrics", "127.0.0.1:19128"});
    ASSERT_TRUE(dump.wait_for_error("listening on UDP port", 10s)) << dump.err();
    ChildProcess server({prometheus, "--config.file=" + dir.file("prometheus.yml"),
                         "--storage.tsdb.path=" + dir.file("data"),
                         "--web.listen-address=127.0.0.1:19129", "--log.level=warn"});
    GatewayRun gw({{"-R", "100"}, {}, true});
    ASSERT_TRUE(gw.wait_running()) << gw.process().out();
    testsupport::SimControl card(gw.control_path(), 10s);
    ASSERT_TRUE(card.ok());
    ASSERT_TRUE(testsupport::eventually(
        [] { return api_get("/-/ready").find("Ready") != std::string::npos; }, 20s))
        << server.err();

    // A real scrape of fipdump, bus families included, passes promtool's checks.
    std::string scrape;
    ASSERT_TRUE(testsupport::eventually(
        [&] {
            scrape = testsupport::scrape_metrics(kMetricsPort);
            return scrape.find("\nfipgate_identifier_polls_total{") != std::string::npos;
        },
        10s));
    { std::ofstream(dir.file("scrape.txt")) << scrape.substr(scrape.find("\r\n\r\n") + 4); }
    ChildProcess check({"sh", "-c", promtool + " check metrics < " + dir.file("scrape.txt")});
    const int check_status = check.wait_exit(20s);
    EXPECT_TRUE(WIFEXITED(check_status) && WEXITSTATUS(check_status) == 0)
        << check.out() << check.err();

    ASSERT_EQ(card.command("silence 0x0111 100000"), "ok silence 0x0111 100000");
    const std::string state_query =
        "/api/v1/query?query=" +
        url_encoded("fipgate_identifier_state{id=\"0x0111\",state=\"silent\"} == 1");
    std::string state;
    EXPECT_TRUE(testsupport::eventually(
        [&] {
            state = api_get(state_query);
            return state.find("\"gateway\"") != std::string::npos;
        },
        30s))
        << state;
    // The rule holds for a minute before it fires; pending already names the station.
    std::string alerts;
    EXPECT_TRUE(testsupport::eventually(
        [&] {
            alerts = api_get("/api/v1/alerts");
            const auto at = alerts.find("\"alertname\":\"FipgateStationSilent\"");
            return at != std::string::npos && alerts.find("\"id\":\"0x0111\"") != std::string::npos;
        },
        20s))
        << alerts;
    EXPECT_EQ(alerts.find("\"alertname\":\"FipgateGatewayDown\""), std::string::npos) << alerts;
    std::cout << "Prometheus reported: " << alerts << "\n";

    EXPECT_EQ(gw.stop(SIGINT), 0);
    kill(server.pid(), SIGTERM);
    server.wait_exit(10s);
    kill(dump.pid(), SIGINT);
    const int status = dump.wait_exit(10s);
    EXPECT_TRUE(status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0) << dump.err();
}
