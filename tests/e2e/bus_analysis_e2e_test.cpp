// fipdump --bus against the real gateway on a simulated card made sick on purpose, its scan
// changed before the bus starts: the counts of the silenced and the corrupted identifier, and of
// every other one, and the scan fipdump learns, equal what the card did.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "support/card_truth.hpp"
#include "support/gateway_run.hpp"
#include "support/http_client.hpp"
#include "support/loopback_only.hpp"
#include "support/temp_dir.hpp"
#include "wire/baseline_json.hpp"

using namespace std::chrono_literals;
using testsupport::card_truth;
using testsupport::ChildProcess;
using testsupport::field;
using testsupport::GatewayRun;

namespace {

constexpr std::uint16_t kMetricsPort = 19118;

// The first sample of `family` in an exposition, -1 if absent.
long long sample(const std::string& metrics, const std::string& family) {
    const auto at = metrics.find("\n" + family + "{");
    const auto value = at == std::string::npos ? at : metrics.find("} ", at);
    return value == std::string::npos ? -1 : std::strtoll(metrics.c_str() + value + 2, nullptr, 10);
}

// Records a few seconds of a simulated card's bus, its plan drawn from `seed`, into `pcap`;
// returns the card's statistics report at the end.
std::string record_bus(const std::string& pcap, const std::string& seed) {
    ChildProcess dump({FIPDUMP_BIN, "-q", "-w", pcap, "--rcvbuf", "8388608"});
    EXPECT_TRUE(dump.wait_for_error("listening on UDP port", 10s)) << dump.err();
    GatewayRun gw({{"-R", "100"}, {{"CAPVANE_SIM_SEED", seed}}, true});
    EXPECT_TRUE(gw.wait_running()) << gw.process().out();
    testsupport::SimControl card(gw.control_path(), 10s);
    EXPECT_TRUE(card.ok());
    // Enough macrocycles for a baseline, and for the aperiodic traffic to reach every station.
    std::this_thread::sleep_for(4s);
    EXPECT_EQ(card.command("pause"), "ok paused");
    EXPECT_EQ(card.command("flush"), "ok flushed");
    const std::string stats = card.command("stats");
    std::this_thread::sleep_for(500ms); // the last datagrams reach fipdump
    EXPECT_EQ(gw.stop(SIGINT), 0);
    kill(dump.pid(), SIGINT);
    const int status = dump.wait_exit(10s);
    EXPECT_TRUE(status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0) << dump.err();
    return stats;
}

// fipdump run to its end on `args`: its exit status (-1 if it did not end), output and error.
struct DumpRun {
    int status = -1;
    std::string out, err;
};
DumpRun fipdump(std::vector<std::string> args) {
    args.insert(args.begin(), FIPDUMP_BIN);
    ChildProcess p(args);
    const int s = p.wait_exit(30s);
    return {s >= 0 && WIFEXITED(s) ? WEXITSTATUS(s) : -1, p.out(), p.err()};
}

} // namespace

// A baseline saved from a recording matches that recording, holds the card's own scan, and
// flags exactly the periods another plan changed; files it cannot trust are refused.
TEST(BusAnalysisE2E, BaselineMatchesItsRecordingAndFlagsAnotherPlan) {
    ASSERT_TRUE(only_loopback_present()) << "run through netns-run";
    testsupport::TempDir dir;
    const std::string a = dir.file("a.pcap"), b = dir.file("b.pcap"), base = dir.file("base");
    const auto truth_a = card_truth(record_bus(a, "1"));
    const auto truth_b = card_truth(record_bus(b, "2"));
    ASSERT_FALSE(truth_a.empty());

    const DumpRun save = fipdump({"--bus", "-r", a, "--save-baseline", base});
    ASSERT_EQ(save.status, 0) << save.err;
    const auto read = wire::parse_baseline(testsupport::read_file(base));
    ASSERT_TRUE(read.baseline) << read.error;
    // The first 50 macrocycles or so of the same recording are too few.
    const double seconds = 50.0 *
                           static_cast<double>(read.baseline->last_us - read.baseline->first_us) /
                           1e6 / static_cast<double>(read.baseline->macrocycles);
    const DumpRun early = fipdump(
        {"--bus", "-r", a, "-t", std::to_string(seconds), "--save-baseline", dir.file("early")});
    EXPECT_EQ(early.status, 1);
    EXPECT_NE(early.err.find("macrocycles of"), std::string::npos) << early.err;
    EXPECT_FALSE(std::filesystem::exists(dir.file("early")));
    for (const auto& [id, t] : truth_a) {
        SCOPED_TRACE(id);
        const wire::BaselineIdentifier* e = read.baseline->find(static_cast<std::uint16_t>(id));
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(e->period_cycles, field(t, "period_cycles"));
    }

    const DumpRun same = fipdump({"--bus", "--json", "-r", a, "--baseline", base});
    ASSERT_EQ(same.status, 0) << same.err;
    const auto same_bus = same.out.substr(same.out.find("\"type\":\"bus\""));
    EXPECT_EQ(field(same_bus, "deviations"), 0) << same.out;

    const DumpRun other = fipdump({"--bus", "--json", "-r", b, "--baseline", base});
    ASSERT_EQ(other.status, 0) << other.err;
    const auto seen = testsupport::bus_identifiers(other.out);
    std::size_t changed = 0;
    for (const auto& [id, t] : truth_b) {
        SCOPED_TRACE(id);
        ASSERT_EQ(seen.count(id), 1U);
        const std::string& s = seen.at(id);
        const auto list = s.find("\"deviations\":[");
        ASSERT_NE(list, std::string::npos) << s;
        const std::string names = s.substr(list, s.find(']', list) - list);
        EXPECT_EQ(names.find("unexpected"), std::string::npos) << s;
        EXPECT_EQ(names.find("absent"), std::string::npos) << s;
        const bool moved = field(t, "period_cycles") != field(truth_a.at(id), "period_cycles");
        changed += moved ? 1 : 0;
        EXPECT_EQ(names.find("\"period\"") != std::string::npos, moved) << s;
    }
    EXPECT_GT(changed, 0U);

    // A file written by a newer fipdump, and one that is not a baseline, are refused by name.
    std::string text = testsupport::read_file(base);
    text.replace(text.find("\"version\": 1"), 12, "\"version\": 2");
    std::ofstream(dir.file("newer")) << text;
    const DumpRun newer = fipdump({"--bus", "-r", a, "--baseline", dir.file("newer")});
    EXPECT_EQ(newer.status, 1);
    EXPECT_NE(newer.err.find(dir.file("newer") + ": format version 2 is newer"), std::string::npos)
        << newer.err;
    std::ofstream(dir.file("cut")) << text.substr(0, text.size() / 2);
    const DumpRun cut = fipdump({"--bus", "-r", a, "--baseline", dir.file("cut")});
    EXPECT_EQ(cut.status, 1);
    EXPECT_NE(cut.err.find("not JSON"), std::string::npos) << cut.err;
}

// The card's arbitrator changes its plan at run time: compared with the baseline of the plan
// before, fipdump flags each change on the identifier the card changed, from then on.
TEST(BusAnalysisE2E, EachChangeOfTheCardsPlanIsTheDeviationOfItsIdentifier) {
    ASSERT_TRUE(only_loopback_present()) << "run through netns-run";
    testsupport::TempDir dir;
    const std::string base = dir.file("base");
    GatewayRun gw({{"-R", "100"}, {}, true});
    ASSERT_TRUE(gw.wait_running()) << gw.process().out();
    testsupport::SimControl card(gw.control_path(), 10s);
    ASSERT_TRUE(card.ok());
    const DumpRun learn =
        fipdump({"--bus", "-t", "4", "--rcvbuf", "8388608", "--save-baseline", base});
    ASSERT_EQ(learn.status, 0) << learn.err;
    const auto read = wire::parse_baseline(testsupport::read_file(base));
    ASSERT_TRUE(read.baseline) << read.error;
    const wire::BaselineIdentifier* shorter = read.baseline->find(0x0166);
    ASSERT_NE(shorter, nullptr);

    ChildProcess dump({FIPDUMP_BIN, "--bus", "--json", "--rcvbuf", "8388608", "--baseline", base,
                       "--metrics", "127.0.0.1:19119"});
    ASSERT_TRUE(dump.wait_for_error("listening on UDP port", 10s)) << dump.err();
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(card.command("unschedule 0x0133").rfind("ok unschedule 0x0133", 0), 0U);
    EXPECT_EQ(card.command("schedule 0x0300 2 9").rfind("ok schedule 0x0300", 0), 0U);
    EXPECT_EQ(card.command("schedule 0x0155 8").rfind("ok schedule 0x0155", 0), 0U);
    // Answers without data: shorter than any answer of the commissioned bus.
    const std::string shorten = "schedule 0x0166 " + std::to_string(shorter->period_cycles) + " 5";
    EXPECT_EQ(card.command(shorten).rfind("ok schedule 0x0166", 0), 0U);
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"0x0133", "absent"}, {"0x0300", "unexpected"}, {"0x0155", "period"}, {"0x0166", "length"}};
    std::string metrics;
    EXPECT_TRUE(testsupport::eventually(
        [&] {
            metrics = testsupport::scrape_metrics(19119);
            for (const auto& [id, deviation] : expected) {
                if (metrics.find(",id=\"" + id + "\",deviation=\"" + deviation + "\"} 1") ==
                    std::string::npos) {
                    return false;
                }
            }
            return true;
        },
        20s))
        << metrics;
    const std::string stats = card.command("stats");
    EXPECT_EQ(gw.stop(SIGINT), 0);
    kill(dump.pid(), SIGINT);
    const int status = dump.wait_exit(10s);
    ASSERT_TRUE(status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0) << dump.err();

    // Nothing the card left alone was taken for a change of the plan.
    const auto seen = testsupport::bus_identifiers(dump.out());
    for (const auto& [id, s] : seen) {
        SCOPED_TRACE(id);
        if (id == 0x0133 || id == 0x0300 || id == 0x0155 || id == 0x0166) {
            continue;
        }
        for (const char* change : {"\"absent\"", "\"unexpected\"", "\"period\""}) {
            EXPECT_EQ(s.find(change, s.find("\"deviations\":[")), std::string::npos) << s;
        }
    }
    // What fipdump learned of the new plan is what the card says it polls.
    const auto truth = card_truth(stats);
    ASSERT_EQ(seen.count(0x0155), 1U);
    EXPECT_EQ(field(seen.at(0x0155), "period_cycles"), field(truth.at(0x0155), "period_cycles"));
    EXPECT_EQ(field(truth.at(0x0155), "period_cycles"), 8);
    const auto bus_line = dump.out().substr(dump.out().rfind("\"type\":\"bus\""));
    EXPECT_GE(field(bus_line, "deviations"), 4);
}

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
    const std::string metrics = testsupport::scrape_metrics(kMetricsPort);
    const auto missing_0111 = metrics.find(
        ",id=\"0x0111\"} ", metrics.find("\nfipgate_identifier_missing_responses_total{"));
    ASSERT_NE(missing_0111, std::string::npos) << metrics;
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
