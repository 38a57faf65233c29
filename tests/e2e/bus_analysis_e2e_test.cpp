// fipdump --bus against the real gateway on a simulated card made sick on purpose, its scan
// changed before the bus starts: the counts of the silenced and the corrupted identifier, and of
// every other one, and the scan fipdump learns, equal what the card did; the states judged on
// recent traffic name the stations the card made sick and no other; the stream's state follows
// the card and the gateway going quiet. And the baseline: saved, compared, refused.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
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
constexpr std::uint16_t kTwoGatewaysMetricsPort = 19119;

// The first sample of `family` in an exposition, -1 if absent.
long long sample(const std::string& metrics, const std::string& family) {
    const auto at = metrics.find("\n" + family + "{");
    const auto value = at == std::string::npos ? at : metrics.find("} ", at);
    return value == std::string::npos ? -1 : std::strtoll(metrics.c_str() + value + 2, nullptr, 10);
}

// Whether the exposition holds `fipgate_stream_state{...,state="<state>"} 1`.
bool stream_state_is(const std::string& state) {
    const std::string m = testsupport::scrape_metrics(kMetricsPort);
    return m.find("\nfipgate_stream_state{") != std::string::npos &&
           m.find(",state=\"" + state + "\"} 1") != std::string::npos;
}

// A JSON string field of a flat object: `"name":"text"`.
std::string text_field(const std::string& object, const std::string& name) {
    const std::string key = "\"" + name + "\":\"";
    const auto at = object.find(key);
    return at == std::string::npos
               ? ""
               : object.substr(at + key.size(),
                               object.find('"', at + key.size()) - at - key.size());
}

// fipdump --bus in a tmux pane of a chosen size: a real terminal, resized as a user would.
class TmuxPane {
public:
    TmuxPane(const std::string& command, int width, int height) : sock(dir.file("tmux.sock")) {
        run({"new-session", "-d", "-s", "bus", "-x", std::to_string(width), "-y",
             std::to_string(height), command});
    }
    ~TmuxPane() { run({"kill-server"}); } // ends fipdump with it
    TmuxPane(const TmuxPane&) = delete;
    TmuxPane& operator=(const TmuxPane&) = delete;

    void resize(int width, int height) {
        run({"resize-window", "-t", "bus", "-x", std::to_string(width), "-y",
             std::to_string(height)});
    }
    // The screen's lines as shown, the blank ones at the bottom included.
    std::vector<std::string> screen() {
        ChildProcess c(args({"capture-pane", "-p", "-t", "bus"}));
        c.wait_exit(5s);
        std::vector<std::string> lines;
        std::istringstream in(c.out());
        for (std::string line; std::getline(in, line);) {
            lines.push_back(line);
        }
        return lines;
    }

private:
    std::vector<std::string> args(std::vector<std::string> tail) const {
        std::vector<std::string> a{"tmux", "-S", sock, "-f", "/dev/null"};
        a.insert(a.end(), tail.begin(), tail.end());
        return a;
    }
    void run(const std::vector<std::string>& tail) const {
        ChildProcess c(args(tail));
        c.wait_exit(5s);
    }

    testsupport::TempDir dir;
    std::string sock;
};

// Columns a line takes on the terminal: UTF-8 continuation bytes take none.
std::size_t columns(const std::string& line) {
    return static_cast<std::size_t>(std::count_if(line.begin(), line.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
}

// The identifier rows on a screen and the count of the "… N more" line (0 without one).
std::pair<std::size_t, long long> rows_and_more(const std::vector<std::string>& screen) {
    std::size_t rows = 0;
    long long more = 0;
    for (const std::string& line : screen) {
        rows += line.rfind("0x", 0) == 0 ? 1 : 0;
        if (line.rfind("\u2026 ", 0) == 0) {
            more = std::strtoll(line.c_str() + 4, nullptr, 10);
        }
    }
    return {rows, more};
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
    ASSERT_EQ(card.command("silence 0x0144 100000"), "ok silence 0x0144 100000"); // for good
    ASSERT_EQ(card.command("silence 0x0133 1"), "ok silence 0x0133 1");           // one miss
    ASSERT_EQ(card.command("unschedule 0x0155").rfind("ok unschedule 0x0155 was ", 0), 0U);
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
    EXPECT_TRUE(testsupport::eventually([] { return stream_state_is("bus silent"); }, 10s));

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
    EXPECT_NE(metrics.find(",id=\"0x0144\",state=\"silent\"} 1"), std::string::npos) << metrics;
    EXPECT_EQ(gw.stop(SIGINT), 0);
    EXPECT_TRUE(testsupport::eventually([] { return stream_state_is("gateway silent"); }, 10s));
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
        // The card's own faults are the only sick stations: rare misses leave a station ok.
        const char* expected = id == 0x0144   ? "silent"  // still silenced
                               : id == 0x0111 ? "missing" // 40 misses in the window, answers again
                               : id == 0x0122 ? "bad"
                                              : "ok";
        if (field(t, "period_cycles") > 0 || id == 0x0144 || id == 0x0111 || id == 0x0122) {
            EXPECT_EQ(text_field(s, "state"), expected) << s;
        } else { // an aperiodic variable may also have stopped being asked for
            EXPECT_TRUE(text_field(s, "state") == "ok" || text_field(s, "state") == "gone") << s;
        }
    }
    EXPECT_EQ(truth.count(0x0155), 0U); // never polled
    EXPECT_EQ(field(truth.at(0x0400), "period_cycles"), 3);
    EXPECT_EQ(field(truth.at(0x0400), "len_max"), 20);
    EXPECT_GE(field(truth.at(0x0111), "silences"), 40);
    EXPECT_EQ(field(truth.at(0x0122), "corrupted"), 30);
    // The sick identifiers come first, ahead of every healthy one.
    const std::string& out = dump.out();
    const auto first_id = out.find("\"type\":\"identifier\"");
    const auto line = out.substr(first_id, out.find('\n', first_id) - first_id);
    EXPECT_TRUE(field("{" + line, "id_num") == 0x0144) << line; // silent: the sickest
    EXPECT_EQ(text_field(out.substr(out.find("\"type\":\"bus\"")), "stream"), "gateway silent");
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

// An unplugged card ends the gateway: its stream falls silent, and fipdump says whose silence.
TEST(BusAnalysisE2E, UnpluggedCardIsAGatewayGoneSilent) {
    ASSERT_TRUE(only_loopback_present()) << "run through netns-run";
    ChildProcess dump(
        {FIPDUMP_BIN, "--bus", "--json", "--metrics", "127.0.0.1:" + std::to_string(kMetricsPort)});
    ASSERT_TRUE(dump.wait_for_error("listening on UDP port", 10s)) << dump.err();
    GatewayRun gw({{"-R", "100"}, {}, true});
    ASSERT_TRUE(gw.wait_running()) << gw.process().out();
    testsupport::SimControl card(gw.control_path(), 10s);
    ASSERT_TRUE(card.ok());
    ASSERT_TRUE(testsupport::eventually([] { return stream_state_is("live"); }, 10s));
    ASSERT_EQ(card.command("unplug"), "ok unplugged");
    EXPECT_TRUE(testsupport::eventually([] { return stream_state_is("gateway silent"); }, 10s))
        << gw.process().out();
    gw.stop(SIGINT);
    kill(dump.pid(), SIGINT);
    dump.wait_exit(10s);
}

// The live table at 80x24 and, resized, at 200x50: the stream's state, the header and the silent
// station always on screen, no line wider than the terminal, every identifier the card polled
// either shown or counted.
TEST(BusAnalysisE2E, LiveTableFitsTheTerminalAndFollowsItsSize) {
    ASSERT_TRUE(only_loopback_present()) << "run through netns-run";
    TmuxPane pane(std::string("exec ") + FIPDUMP_BIN + " --bus 2>/dev/null", 80, 24);
    GatewayRun gw({{"-R", "100"}, {}, true});
    ASSERT_TRUE(gw.wait_running()) << gw.process().out();
    testsupport::SimControl card(gw.control_path(), 10s);
    ASSERT_TRUE(card.ok());
    ASSERT_EQ(card.command("silence 0x0144 100000"), "ok silence 0x0144 100000");

    for (const auto& [width, height] : {std::pair{80, 24}, std::pair{200, 50}}) {
        SCOPED_TRACE(width);
        pane.resize(width, height);
        std::vector<std::string> screen;
        // Until the screen shows the silent station and counts every identifier the card polled.
        const bool settled = testsupport::eventually(
            [&] {
                screen = pane.screen();
                const auto [rows, more] = rows_and_more(screen);
                const auto truth = card_truth(card.command("stats"));
                // Laid out for this size: the previous drawing stays on the pane until then.
                return screen.size() == static_cast<std::size_t>(height) &&
                       screen[0].find("  stream live  ") != std::string::npos &&
                       rows + static_cast<std::size_t>(more) == truth.size() &&
                       (more != 0) == (width == 80) &&
                       std::any_of(screen.begin(), screen.end(), [](const std::string& l) {
                           return l.rfind("0x0144 silent", 0) == 0;
                       });
            },
            15s);
        std::string shown;
        for (const std::string& line : screen) {
            shown += line + "\n";
            EXPECT_LE(columns(line), static_cast<std::size_t>(width)) << line;
        }
        ASSERT_TRUE(settled) << shown;
        EXPECT_EQ(screen.at(0).rfind("gateway ", 0), 0U) << shown;
        EXPECT_NE(screen.at(0).find("  stream live  "), std::string::npos) << shown;
        const auto header = std::find_if(screen.begin(), screen.end(),
                                         [](const auto& l) { return l.rfind("ID ", 0) == 0; });
        ASSERT_NE(header, screen.end()) << shown;
        EXPECT_EQ((header + 1)->rfind("0x0144 silent", 0), 0U) << shown; // the sickest first
        // Narrow: the totals' detail gives way; wide: every column.
        EXPECT_EQ(header->find("RESPONSES") != std::string::npos, width == 200) << *header;
        EXPECT_EQ(rows_and_more(screen).second != 0, width == 80) << shown;
    }
    gw.stop(SIGINT);
}
