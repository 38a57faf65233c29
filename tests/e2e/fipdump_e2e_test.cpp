// fipdump against the real gateway on the simulated card, inside a private network namespace:
// every record the card produced accounted for, a reload seen as a restart and not as loss,
// and the metrics endpoint serving the gateway's lifesign figures while the stream flows.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <netinet/in.h>
#include <pcap/pcap.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "support/fipdump_stream.hpp"
#include "support/gateway_run.hpp"
#include "support/http_client.hpp"
#include "support/loopback_only.hpp"

using namespace std::chrono_literals;
using testsupport::ChildProcess;
using testsupport::GatewayRun;
using testsupport::json_number;
using testsupport::scrape_metrics;

namespace {

constexpr std::uint16_t metrics_port = 19117;

class FipdumpE2E : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(only_loopback_present()) << "run through netns-run"; }
};

// Waits until fipdump says it listens (on standard error).
bool wait_listening(ChildProcess& p) {
    return p.wait_for_error("listening on UDP port", 10s);
}

// Ends fipdump with SIGINT and returns its JSON summary (its last line).
std::string stop_and_summary(ChildProcess& p) {
    kill(p.pid(), SIGINT);
    const int status = p.wait_exit(10s);
    EXPECT_TRUE(status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0) << p.err();
    const std::string& out = p.out();
    const auto at = out.size() < 2 ? std::string::npos : out.rfind('\n', out.size() - 2);
    return at == std::string::npos ? std::string() : out.substr(at + 1);
}

// The gateway label of the first fipgate_gateway_up sample.
std::string gateway_label(const std::string& metrics) {
    const std::string key = "fipgate_gateway_up{gateway=\"";
    const auto at = metrics.find(key);
    if (at == std::string::npos) {
        return {};
    }
    const auto from = at + key.size();
    return metrics.substr(from, metrics.find('"', from) - from);
}

} // namespace

// A recorder as it runs for weeks: quiet, rotating its files; the files read back as one
// stream hold every record the card produced.
TEST_F(FipdumpE2E, QuietRotatingRecordingHoldsEveryRecord) {
    constexpr long records = 20000;
    testsupport::TempDir dir;
    ChildProcess dump({FIPDUMP_BIN, "-q", "--json", "--rcvbuf", "8388608", "-w",
                       dir.file("rec.pcap"), "-C", "0.1"});
    ASSERT_TRUE(wait_listening(dump)) << dump.err();
    GatewayRun gw({{"-R", "100"}, {{"CAPVANE_SIM_RECORDS", std::to_string(records)}}, false});
    ASSERT_TRUE(gw.wait_running()) << gw.process().out();
    // The last lifesign carries the whole burst; a few lifesigns later it is recorded too.
    ASSERT_TRUE(testsupport::eventually(
        [&] {
            ChildProcess peek(
                {FIPDUMP_BIN, "-r", dir.file("rec*.pcap"), "--json", "--type", "lifesign"});
            peek.wait_exit(10s);
            return peek.out().find("\"fip_frame_rcvd_cnt\":" + std::to_string(records) + ",") !=
                   std::string::npos;
        },
        60s));
    EXPECT_EQ(gw.stop(SIGINT), 0);
    stop_and_summary(dump);
    const std::string& live = dump.out();
    EXPECT_EQ(testsupport::count_of(live, "\n"), 1U) << "only the summary with -q";
    EXPECT_EQ(json_number(live, "capture"), records) << live;
    EXPECT_EQ(json_number(live, "kernel_drops"), 0);

    ChildProcess read({FIPDUMP_BIN, "-q", "--json", "-r", dir.file("rec*.pcap")});
    const int status = read.wait_exit(20s);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << read.err();
    const std::string& replay = read.out();
    EXPECT_EQ(json_number(replay, "capture"), records) << replay;
    EXPECT_EQ(json_number(replay, "datagrams"), json_number(live, "datagrams"));
    EXPECT_EQ(json_number(replay, "lost_datagrams"), 0);
    EXPECT_EQ(json_number(replay, "index_breaks"), 0);
    const auto files = std::distance(std::filesystem::directory_iterator(dir.path()),
                                     std::filesystem::directory_iterator());
    EXPECT_GT(files, 3) << "rotated at 100 kB";
}

// A capture taken with libpcap on a 1500-byte link, as tcpdump takes it on a plant network: the
// kernel fragments every large datagram, and fipdump -r decodes the capture as fully as the
// socket received the stream.
TEST_F(FipdumpE2E, CaptureOfA1500ByteLinkDecodesLikeTheSocket) {
    constexpr long records = 20000;
    ASSERT_EQ(std::system("ip link set lo mtu 1500"), 0);
    testsupport::TempDir dir;
    const std::string path = dir.file("lo-1500.pcap");
    char err[PCAP_ERRBUF_SIZE] = {};
    pcap_t* cap = pcap_create("lo", err);
    ASSERT_NE(cap, nullptr) << err;
    pcap_set_snaplen(cap, 65535);
    pcap_set_buffer_size(cap, 64 << 20);
    pcap_set_timeout(cap, 50);
    ASSERT_EQ(pcap_activate(cap), 0) << pcap_geterr(cap);
    pcap_dumper_t* out = pcap_dump_open(cap, path.c_str());
    ASSERT_NE(out, nullptr);
    // Non-blocking, waited on with a time-out: libpcap's own wait has none while nothing comes.
    ASSERT_EQ(pcap_setnonblock(cap, 1, err), 0) << err;
    std::atomic<bool> stop{false};
    std::thread capture([&] {
        pollfd p{pcap_get_selectable_fd(cap), POLLIN, 0};
        while (!stop.load()) {
            poll(&p, 1, 50);
            while (pcap_dispatch(cap, -1, pcap_dump, reinterpret_cast<u_char*>(out)) > 0) {
            }
        }
    });
    ChildProcess dump(
        {FIPDUMP_BIN, "--json", "--stats", "--type", "lifesign", "--rcvbuf", "8388608"});
    ASSERT_TRUE(wait_listening(dump)) << dump.err();
    {
        GatewayRun gw({{"-R", "100"}, {{"CAPVANE_SIM_RECORDS", std::to_string(records)}}, false});
        EXPECT_TRUE(gw.wait_running()) << gw.process().out();
        EXPECT_TRUE(
            dump.wait_for_output("\"fip_frame_rcvd_cnt\":" + std::to_string(records) + ",", 60s));
        EXPECT_EQ(gw.stop(SIGINT), 0);
    }
    const std::string live = stop_and_summary(dump);
    stop.store(true);
    capture.join();
    pcap_stat st{};
    pcap_stats(cap, &st);
    pcap_dump_close(out);
    pcap_close(cap);
    ASSERT_EQ(st.ps_drop, 0U);
    ASSERT_EQ(json_number(live, "capture"), records) << live;

    ChildProcess read({FIPDUMP_BIN, "-q", "--json", "-r", path});
    const int status = read.wait_exit(30s);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << read.err();
    const std::string& replay = read.out();
    EXPECT_EQ(json_number(replay, "capture"), records) << replay;
    EXPECT_EQ(json_number(replay, "datagrams"), json_number(live, "datagrams"));
    EXPECT_EQ(json_number(replay, "lost_datagrams"), 0);
    EXPECT_EQ(json_number(replay, "malformed"), 0);
    EXPECT_GT(json_number(replay, "reassembled"), 0) << "the kernel fragmented nothing";
    EXPECT_EQ(json_number(replay, "incomplete"), 0);
}

TEST_F(FipdumpE2E, EverySimulatedRecordIsAccountedFor) {
    constexpr long records = 20000;
    ChildProcess dump(
        {FIPDUMP_BIN, "--json", "--stats", "--type", "lifesign", "--rcvbuf", "8388608"});
    ASSERT_TRUE(wait_listening(dump)) << dump.err();
    GatewayRun gw({{"-R", "100"}, {{"CAPVANE_SIM_RECORDS", std::to_string(records)}}, false});
    ASSERT_TRUE(gw.wait_running()) << gw.process().out();
    // The gateway's own lifesign reports the whole burst once it has been forwarded.
    EXPECT_TRUE(
        dump.wait_for_output("\"fip_frame_rcvd_cnt\":" + std::to_string(records) + ",", 60s))
        << dump.err();
    EXPECT_EQ(gw.stop(SIGINT), 0);
    const std::string summary = stop_and_summary(dump);
    const std::string report = testsupport::read_file(gw.report_path());
    ASSERT_EQ(json_number(report, "records"), records) << report;
    EXPECT_EQ(json_number(summary, "capture"), records) << summary;
    EXPECT_EQ(json_number(summary, "lost_datagrams"), 0) << summary;
    EXPECT_EQ(json_number(summary, "malformed"), 0);
    EXPECT_EQ(json_number(summary, "index_breaks"), 0);
    EXPECT_EQ(json_number(summary, "lifesign_breaks"), 0);
    EXPECT_EQ(json_number(summary, "kernel_drops"), 0);
    EXPECT_EQ(json_number(summary, "printed"), json_number(summary, "lifesign"));
}

// A burst of full datagrams far past the kernel's default buffer, sent all at once and ended by
// Ctrl+C straight after: fipdump's own buffer takes it, its receiving thread hands it over batch
// by batch, and what had arrived before the stop is all in the summary, with the buffer granted.
TEST_F(FipdumpE2E, ABurstBeforeCtrlCIsAllAccountedInTheBufferGranted) {
    constexpr std::uint64_t burst = 100;
    constexpr std::uint64_t per_datagram = 1800; // records: a full datagram, as at full rate
    ChildProcess dump({FIPDUMP_BIN, "-q", "--json", "-p", "57301"});
    ASSERT_TRUE(wait_listening(dump)) << dump.err();
    const int tx = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(57301);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::uint64_t idx = 1;
    std::size_t bytes = 0;
    std::vector<fipdump_test::Bytes> datagrams;
    for (std::uint64_t seq = 1; seq <= burst; ++seq) {
        std::vector<fipdump_test::Bytes> records;
        for (std::uint64_t i = 0; i < per_datagram; ++i) {
            records.push_back(fipdump_test::capture_record(idx++));
        }
        datagrams.push_back(fipdump_test::datagram(seq, records));
    }
    for (const fipdump_test::Bytes& d : datagrams) {
        ASSERT_EQ(
            sendto(tx, d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to),
            static_cast<ssize_t>(d.size()));
        bytes += d.size();
    }
    close(tx);
    stop_and_summary(dump);
    const std::string& summary = dump.out(); // its only line with -q
    EXPECT_EQ(json_number(summary, "datagrams"), static_cast<long>(burst)) << summary;
    EXPECT_EQ(json_number(summary, "capture"), static_cast<long>(burst * per_datagram));
    EXPECT_EQ(json_number(summary, "lost_datagrams"), 0);
    EXPECT_EQ(json_number(summary, "index_breaks"), 0);
    EXPECT_EQ(json_number(summary, "kernel_drops"), 0);
    EXPECT_GE(json_number(summary, "rcvbuf_bytes"), static_cast<long>(bytes));
    EXPECT_TRUE(dump.err().find("receive buffer " +
                                std::to_string(json_number(summary, "rcvbuf_bytes")) + " bytes") !=
                std::string::npos)
        << dump.err();
}

TEST_F(FipdumpE2E, ReloadIsARestartNotLossAndMetricsFollowTheGateway) {
    ChildProcess dump({FIPDUMP_BIN, "--json", "--stats", "--type", "lifesign", "--metrics",
                       "127.0.0.1:" + std::to_string(metrics_port)});
    ASSERT_TRUE(wait_listening(dump)) << dump.err();
    GatewayRun gw({{"-R", "100"}, {{"CAPVANE_SIM_RECORDS", "2000"}}, false});
    ASSERT_TRUE(gw.wait_running()) << gw.process().out();
    ASSERT_TRUE(dump.wait_for_output("\"fip_frame_rcvd_cnt\":2000,", 20s));

    const std::string metrics = scrape_metrics(metrics_port);
    EXPECT_NE(metrics.find("HTTP/1.1 200 OK"), std::string::npos) << metrics;
    const std::string label = gateway_label(metrics);
    ASSERT_NE(label.find('/'), std::string::npos) << metrics; // address and card serial
    EXPECT_NE(metrics.find("fipgate_lifesign_records_total{gateway=\"" + label + "\"}"),
              std::string::npos)
        << metrics;
    EXPECT_NE(metrics.find("fipgate_gateway_up{gateway=\"" + label + "\"} 1\n"), std::string::npos);

    ASSERT_EQ(kill(gw.process().pid(), SIGHUP), 0);
    ASSERT_TRUE(gw.wait_running(2));
    // The rebuilt gateway numbers its lifesign records from 1 again, and its card session
    // delivers its burst anew.
    ASSERT_TRUE(dump.wait_for_output("\"counter\":1,", 2, 10s)) << dump.out();
    const std::string burst_done = "\"fip_frame_rcvd_cnt\":2000,";
    const auto seen = static_cast<int>(testsupport::count_of(dump.out(), burst_done));
    EXPECT_TRUE(dump.wait_for_output(burst_done, seen + 1, 20s)) << dump.out();
    // Still one gateway, under the same label: the new source port is no label.
    const std::string reloaded = scrape_metrics(metrics_port);
    EXPECT_EQ(testsupport::count_of(reloaded, "fipgate_gateway_up{"), 1U) << reloaded;
    EXPECT_NE(reloaded.find("fipgate_dump_restarts_total{gateway=\"" + label + "\"} 1\n"),
              std::string::npos)
        << reloaded;
    EXPECT_EQ(gw.stop(SIGTERM), 0);
    // Silent for 3 lifesign periods (300 ms here): down, still listed.
    EXPECT_TRUE(testsupport::eventually(
        [&] {
            return scrape_metrics(metrics_port)
                       .find("fipgate_gateway_up{gateway=\"" + label + "\"} 0\n") !=
                   std::string::npos;
        },
        5s));
    const std::string summary = stop_and_summary(dump);
    EXPECT_EQ(json_number(summary, "restarts"), 1) << summary;
    EXPECT_EQ(json_number(summary, "lost_datagrams"), 0) << summary;
    EXPECT_EQ(json_number(summary, "index_breaks"), 0) << summary;
    EXPECT_EQ(json_number(summary, "lifesign_breaks"), 0) << summary;
    EXPECT_EQ(json_number(summary, "malformed"), 0);
    EXPECT_EQ(json_number(summary, "capture"), 4000) << summary; // each session's burst
}
