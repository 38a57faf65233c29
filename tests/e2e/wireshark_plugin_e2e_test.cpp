// A recording of the real gateway on a simulated card with a silenced and a corrupted station,
// taken by fipdump -w, decoded by the compiled Wireshark plugin and by the Lua dissector: both
// agree on every field, and the plugin's per-identifier table counts what the card did.
#include <gtest/gtest.h>

#include <csignal>
#include <sstream>
#include <sys/wait.h>

#include "support/card_truth.hpp"
#include "support/gateway_run.hpp"
#include "support/loopback_only.hpp"
#include "support/tshark_dissectors.hpp"

using namespace std::chrono_literals;
using testsupport::ChildProcess;
using testsupport::Dissectors;
using testsupport::field;
using testsupport::TsharkHomes;

namespace {

constexpr long kRecords = 3000; // a few seconds of tshark with the Lua dissector

// The rows of a fipgate,ids table by identifier number: polls, responses, missing, bad, ...
std::map<long long, std::vector<long long>> identifier_table(const std::string& out) {
    std::map<long long, std::vector<long long>> table;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("0x", 0) != 0) {
            continue;
        }
        std::istringstream words(line);
        std::string id;
        words >> id;
        auto& row = table[std::stoll(id, nullptr, 16)];
        for (long long n; words >> n;) {
            row.push_back(n);
        }
    }
    return table;
}

} // namespace

TEST(WiresharkPluginE2E, RecordingOfSickStationsDecodedAlikeAndAsTheCardMadeIt) {
    ASSERT_TRUE(only_loopback_present()) << "run through netns-run";
    if (!TsharkHomes::available()) {
        GTEST_SKIP() << "tshark or the Wireshark plugin is missing (scripts/install-deps)";
    }
    TsharkHomes homes;
    const std::string pcap = homes.readable("card.pcap");
    ChildProcess dump({FIPDUMP_BIN, "-q", "--json", "--rcvbuf", "8388608", "-w", pcap});
    ASSERT_TRUE(dump.wait_for_error("listening on UDP port", 10s)) << dump.err();
    testsupport::GatewayRun gw(
        {{"-R", "100"},
         {{"CAPVANE_SIM_RECORDS", std::to_string(kRecords)}, {"CAPVANE_SIM_PAUSED", "1"}},
         true});
    ASSERT_TRUE(gw.wait_running()) << gw.process().out();
    testsupport::SimControl card(gw.control_path(), 10s);
    ASSERT_TRUE(card.ok());
    ASSERT_EQ(card.command("silence 0x0111 4"), "ok silence 0x0111 4");
    ASSERT_EQ(card.command("corrupt 0x0122 3"), "ok corrupt 0x0122 3");
    ASSERT_EQ(card.command("resume"), "ok resumed");
    std::string stats;
    ASSERT_TRUE(testsupport::eventually(
        [&] {
            stats = card.command("stats");
            return testsupport::json_number(stats, "records") == kRecords;
        },
        30s))
        << stats;
    // The last lifesign carries the whole run: once fipdump has it, it has every record.
    ASSERT_TRUE(testsupport::eventually(
        [&] {
            ChildProcess peek({FIPDUMP_BIN, "-r", pcap, "--json", "--type", "lifesign"});
            peek.wait_exit(10s);
            return peek.out().find("\"fip_frame_rcvd_cnt\":" + std::to_string(kRecords) + ",") !=
                   std::string::npos;
        },
        30s));
    EXPECT_EQ(gw.stop(SIGINT), 0);
    ::kill(dump.pid(), SIGINT);
    const int status = dump.wait_exit(10s);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << dump.err();
    TsharkHomes::give_to_tshark_user(pcap);

    const std::string disagreement = testsupport::dissector_disagreement(homes, pcap);
    EXPECT_TRUE(disagreement.empty()) << disagreement;

    const auto run = homes.run(Dissectors::Plugin, {"-n", "-r", pcap, "-q", "-z", "fipgate,ids"});
    const auto table = identifier_table(run.out);
    const auto truth = testsupport::card_truth(stats);
    ASSERT_EQ(table.size(), truth.size()) << run.out << run.err;
    for (const auto& [id, t] : truth) {
        SCOPED_TRACE(id);
        ASSERT_EQ(table.count(id), 1U) << run.out;
        const auto& row = table.at(id);
        EXPECT_EQ(row[0], field(t, "polls"));
        EXPECT_EQ(row[2], field(t, "silences"));
        EXPECT_EQ(row[3], field(t, "corrupted"));
        EXPECT_EQ(row[4], 0) << "no index break, restart or late datagram on a clean run";
    }
    EXPECT_EQ(field(truth.at(0x0111), "silences"), 4);
    EXPECT_EQ(field(truth.at(0x0122), "corrupted"), 3);
}
