// The real gateway on the simulated card, as a user runs it: every record accounted for, the
// lifecycle driven by signals, and the failures a user meets. Runs inside a private network
// namespace (only lo) and a private /dev/log.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "support/gateway_run.hpp"
#include "support/loopback_only.hpp"
#include "support/udp_listener.hpp"

using namespace std::chrono_literals;
using testsupport::GatewayConfig;
using testsupport::GatewayRun;
using testsupport::UdpListener;

namespace {

constexpr std::uint16_t default_port = 57117;
const std::string example_record_hex = "C0 00 23 08 01 0000000000000001 "
                                       "0000000000000000000000000000000000 03 12 34 B5 69";

class GatewayE2E : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(only_loopback_present()) << "run through netns-run"; }
};

// What arrived on a port: the decoded events and the raw datagrams' facts.
struct Stream {
    std::vector<std::uint64_t> seqs;
    std::vector<wire::CaptureRecord> captures;
    std::vector<std::vector<std::uint8_t>> capture_bytes;
    std::vector<wire::LifesignRecord> lifesigns;
    std::vector<std::uint32_t> event_counts;
    std::size_t largest = 0;
    int malformed = 0;

    // Receives until `done` holds or `timeout` passes; returns done's last value.
    template <typename Done>
    bool collect(UdpListener& rx, Done done, std::chrono::milliseconds timeout) {
        return testsupport::collect(rx, *this, done, timeout);
    }

    void add(const std::vector<std::uint8_t>& d) {
        largest = std::max(largest, d.size());
        const wire::Datagram decoded = wire::decode_datagram(std::span<const std::uint8_t>(d));
        if (!decoded.ok() || d.size() < 4 || d[0] != 0x43 || d[1] != 0x56 || d[2] != 0x01 ||
            d[3] != 0x00) {
            ++malformed;
            return;
        }
        seqs.push_back(decoded.seq);
        event_counts.push_back(decoded.event_count);
        for (const auto& e : decoded.events) {
            if (const auto* c = std::get_if<wire::CaptureRecord>(&e)) {
                captures.push_back(*c);
                capture_bytes.emplace_back(d.begin() + static_cast<long>(c->offset),
                                           d.begin() + static_cast<long>(c->offset + c->length));
            } else {
                lifesigns.push_back(std::get<wire::LifesignRecord>(e));
            }
        }
    }
};

std::vector<std::uint8_t> parse_hex(const std::string& hex) {
    std::vector<std::uint8_t> out;
    std::string digits;
    for (const char c : hex) {
        if (std::isxdigit(static_cast<unsigned char>(c)) != 0) {
            digits += c;
        }
    }
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2) {
        out.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    }
    return out;
}

bool file_exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

int count_entries(const std::string& dir) {
    int n = 0;
    if (DIR* d = opendir(dir.c_str())) {
        while (const dirent* e = readdir(d)) {
            n += e->d_name[0] != '.' ? 1 : 0;
        }
        closedir(d);
    }
    return n;
}

void write_file(const std::string& path, const std::string& text) {
    std::ofstream(path) << text;
}

} // namespace

// The card's example record leaves as the same 35 bytes; then a burst of bus traffic arrives
// whole, in order and byte-identical, and the card's own count agrees with the receiver's.
TEST_F(GatewayE2E, EveryRecordArrivesInOrderAndIsAccountedFor) {
    constexpr long bus_records = 20000;
    UdpListener rx(default_port);
    GatewayRun gw(
        {{}, {{"CAPVANE_SIM_PAUSED", "1"}, {"CAPVANE_SIM_RECORDS", std::to_string(bus_records)}}});
    ASSERT_TRUE(gw.wait_running()) << gw.process().out();
    testsupport::SimControl card(gw.control_path(), 5s);
    ASSERT_TRUE(card.ok());
    ASSERT_EQ(card.command("inject " + example_record_hex).rfind("ok", 0), 0U);

    Stream s;
    ASSERT_TRUE(s.collect(
        rx, [](const Stream& st) { return !st.captures.empty(); }, 10s));
    ASSERT_FALSE(s.seqs.empty());
    EXPECT_EQ(s.seqs.front(), 1U);
    EXPECT_EQ(s.capture_bytes.front(), parse_hex(example_record_hex));

    ASSERT_EQ(card.command("resume").rfind("ok", 0), 0U);
    const std::size_t expected = static_cast<std::size_t>(bus_records) + 1;
    EXPECT_TRUE(s.collect(
        rx, [&](const Stream& st) { return st.captures.size() >= expected; }, 60s))
        << "received " << s.captures.size() << " of " << expected;
    // The lifesign that follows the burst reports it.
    const std::size_t lifesigns_before = s.lifesigns.size();
    EXPECT_TRUE(s.collect(
        rx,
        [&](const Stream& st) {
            return st.lifesigns.size() > lifesigns_before &&
                   st.lifesigns.back().fip_frame_rcvd_cnt == expected;
        },
        10s));

    EXPECT_EQ(gw.stop(SIGINT), 0);
    EXPECT_EQ(s.malformed, 0);
    for (std::size_t i = 1; i < s.seqs.size(); ++i) {
        ASSERT_EQ(s.seqs[i], s.seqs[i - 1] + 1) << "datagram sequence broke at " << i;
    }
    for (std::size_t i = 0; i < s.captures.size(); ++i) {
        ASSERT_EQ(s.captures[i].idx, i + 1) << "record order broke at " << i;
        ASSERT_TRUE(s.captures[i].info.fcs_ok) << "record " << i << " corrupted";
    }
    EXPECT_LE(s.largest, 65507U);
    const std::string report = testsupport::read_file(gw.report_path());
    EXPECT_EQ(testsupport::json_number(report, "records"),
              static_cast<long long>(s.captures.size()))
        << report;
    EXPECT_EQ(testsupport::json_number(report, "overruns"), 0) << report;

    const wire::LifesignRecord& last = s.lifesigns.back();
    EXPECT_EQ(last.st0_cnt, 1U); // the example record's status bit 0
    EXPECT_EQ(last.bad_ctrl_cnt + last.bad_fcs_cnt + last.bad_pdu_cnt + last.bad_len_cnt, 0U);
    EXPECT_EQ(last.buffer_total_k, 52429U);
    EXPECT_EQ(last.fip_is_active, 1);
}

// Lifesign records come about every period with counters 1, 2, 3...; -M and -R take effect.
TEST_F(GatewayE2E, LifesignPeriodAndEventsPerDatagramFollowTheOptions) {
    UdpListener rx(default_port);
    GatewayRun gw({{"-R", "100", "-M", "1"}, {{"CAPVANE_SIM_RECORDS", "300"}}, false});
    ASSERT_TRUE(gw.wait_running());
    Stream s;
    ASSERT_TRUE(s.collect(
        rx, [](const Stream& st) { return st.lifesigns.size() >= 8; }, 20s));
    EXPECT_EQ(gw.stop(SIGTERM), 0);
    for (std::size_t i = 0; i < s.lifesigns.size(); ++i) {
        EXPECT_EQ(s.lifesigns[i].lifesign_cnt, i + 1);
    }
    for (std::size_t i = 2; i < s.lifesigns.size(); ++i) {
        const auto gap_us = s.lifesigns[i].date_us - s.lifesigns[i - 1].date_us;
        EXPECT_GE(gap_us, 95'000);
        EXPECT_LE(gap_us, 400'000); // generous: sanitizer builds on a loaded machine
    }
    for (const auto count : s.event_counts) {
        EXPECT_EQ(count, 1U);
    }
}

// Each terminating signal ends the gateway in order: status 0, the stop message in syslog, the
// buffer file removed, within a second.
TEST_F(GatewayE2E, TerminatingSignalsEndInOrder) {
    for (const int signo : {SIGINT, SIGTERM, SIGQUIT}) {
        GatewayRun gw({{}, {}, false});
        ASSERT_TRUE(gw.wait_running());
        EXPECT_TRUE(file_exists(gw.buffer_path()));
        const auto t0 = std::chrono::steady_clock::now();
        const int status = gw.stop(signo);
        const auto took = std::chrono::steady_clock::now() - t0;
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "signal " << signo;
        EXPECT_LT(took, 1500ms) << "signal " << signo; // one second, plus a sanitizer's slack
        EXPECT_TRUE(gw.syslog().wait_for("Stopped FIP to UDP analyzer daemon", 2s));
        EXPECT_TRUE(gw.syslog().received("Started FIP to UDP analyzer daemon"));
        EXPECT_FALSE(file_exists(gw.buffer_path())) << "signal " << signo;
    }
}

// A SIGHUP rereads the configuration file and rebuilds everything on the new port, in the same
// process; twenty reloads leak neither descriptors nor threads, and the buffer file survives.
TEST_F(GatewayE2E, ReloadMovesToTheNewPortAndLeaksNothing) {
    testsupport::TempDir conf_dir;
    const std::string conf = conf_dir.file("fipgate.conf");
    write_file(conf, "UdpPort = 57118\n");
    UdpListener first(57118);
    UdpListener second(57119);
    GatewayRun gw({{"-C", conf, "-R", "100"}, {}, false});
    ASSERT_TRUE(gw.wait_running());
    EXPECT_TRUE(gw.syslog().wait_for("Loaded configuration file " + conf, 2s));
    Stream before;
    ASSERT_TRUE(before.collect(
        first, [](const Stream& st) { return st.lifesigns.size() >= 2; }, 10s));

    write_file(conf, "UdpPort = 57119\n");
    const pid_t pid = gw.process().pid();
    ASSERT_EQ(kill(pid, SIGHUP), 0);
    ASSERT_TRUE(gw.wait_running(2));
    EXPECT_TRUE(gw.syslog().wait_for("Reloaded configuration file " + conf, 2s));
    EXPECT_NE(gw.process().out().find("SIGHUP signal received"), std::string::npos);
    Stream after;
    ASSERT_TRUE(after.collect(
        second, [](const Stream& st) { return !st.lifesigns.empty(); }, 10s));
    EXPECT_EQ(after.seqs.front(), 1U);
    EXPECT_EQ(after.lifesigns.front().lifesign_cnt, 1U);
    EXPECT_TRUE(file_exists(gw.buffer_path()));

    const std::string proc = "/proc/" + std::to_string(pid);
    const int fds = count_entries(proc + "/fd");
    const int threads = count_entries(proc + "/task");
    for (int i = 0; i < 20; ++i) {
        // Drained like a syslog daemon would: a full socket queue would block the gateway.
        gw.syslog().messages();
        ASSERT_EQ(kill(pid, SIGHUP), 0);
        ASSERT_TRUE(gw.wait_running(3 + i)) << "reload " << i << "\n" << gw.process().out();
        ASSERT_TRUE(file_exists(gw.buffer_path())) << "reload " << i;
    }
    EXPECT_EQ(count_entries(proc + "/fd"), fds);
    EXPECT_TRUE(
        testsupport::eventually([&] { return count_entries(proc + "/task") == threads; }, 3s))
        << count_entries(proc + "/task") << " threads, " << threads << " before";
    EXPECT_EQ(gw.stop(SIGTERM), 0);
    EXPECT_FALSE(file_exists(gw.buffer_path()));
}

// Daemon mode: the shell gets 0 once the daemon runs, the PID file is locked and exact, a second
// instance fails with 1 while the first keeps running, and SIGTERM removes the file.
TEST_F(GatewayE2E, DaemonModeHoldsItsPidFile) {
    testsupport::TempDir run;
    const std::string pid_file = run.file("fipgate.pid");
    const std::string log = run.file("fipgate.log");
    GatewayRun gw({{"-d", "-P", pid_file, "-L", log}, {}, false});
    EXPECT_EQ(gw.process().wait_exit(10s), 0);
    ASSERT_TRUE(testsupport::eventually(
        [&] { return testsupport::read_file(log).find("app is running") != std::string::npos; },
        20s));
    const std::string text = testsupport::read_file(pid_file);
    const pid_t daemon = static_cast<pid_t>(std::atoi(text.c_str()));
    ASSERT_GT(daemon, 0);
    EXPECT_EQ(text, std::to_string(daemon) + "\n");
    struct stat st {};
    ASSERT_EQ(stat(pid_file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640U);

    GatewayRun second({{"-d", "-P", pid_file, "-L", run.file("second.log")}, {}, false});
    // The shell's view: the second daemon could not lock the file, and says so.
    const int second_status = second.process().wait_exit(10s);
    EXPECT_TRUE(WIFEXITED(second_status) && WEXITSTATUS(second_status) == 1) << second_status;
    EXPECT_NE(second.process().err().find("holds the PID file " + pid_file), std::string::npos)
        << second.process().err();
    EXPECT_EQ(kill(daemon, 0), 0);
    EXPECT_EQ(testsupport::read_file(pid_file), text);

    ASSERT_EQ(kill(daemon, SIGTERM), 0);
    EXPECT_TRUE(testsupport::eventually([&] { return kill(daemon, 0) != 0; }, 5s));
    EXPECT_FALSE(file_exists(pid_file));
}

// No card: the error line, the usage text, status 1, and no stop message.
TEST_F(GatewayE2E, NoCardIsReportedWithTheUsage) {
    GatewayRun gw({{}, {{"CAPVANE_SIM_CARDS", ""}}, false});
    const int status = gw.process().wait_exit(10s);
    gw.process().wait_for_output("Examples: ", 1s);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
    EXPECT_NE(gw.process().out().find("capvane: device (idx=-1) not found\n"), std::string::npos);
    EXPECT_NE(gw.process().out().find("Usage: fipgate [OPTION]..."), std::string::npos);
    EXPECT_TRUE(gw.syslog().wait_for("Started FIP to UDP analyzer daemon", 2s));
    EXPECT_FALSE(gw.syslog().received("Stopped FIP to UDP analyzer daemon"));
}

// Unplugging the card ends the wait within about 100 ms and runs the orderly end; the status
// is 1, a failure a supervisor can act on.
TEST_F(GatewayE2E, UnpluggedCardEndsTheGateway) {
    GatewayRun gw({{}, {}, true});
    ASSERT_TRUE(gw.wait_running());
    testsupport::SimControl card(gw.control_path(), 5s);
    ASSERT_TRUE(card.ok());
    ASSERT_EQ(card.command("unplug").rfind("ok", 0), 0U);
    const auto t0 = std::chrono::steady_clock::now();
    const int status = gw.process().wait_exit(10s);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 3s);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
    EXPECT_NE(gw.process().out().find("device connection is broken\n"), std::string::npos);
    EXPECT_TRUE(gw.syslog().wait_for("Stopped FIP to UDP analyzer daemon", 2s));
}

// A log file that cannot be opened: syslog says so and the log goes to standard output.
TEST_F(GatewayE2E, UnwritableLogFileFallsBackToStandardOutput) {
    GatewayRun gw({{"-L", "/nonexistent-dir/fipgate.log"}, {}, false});
    ASSERT_TRUE(gw.wait_running());
    EXPECT_TRUE(gw.syslog().wait_for(
        "Cannot open log file: /nonexistent-dir/fipgate.log (error=No such file or directory)",
        2s));
    EXPECT_EQ(gw.stop(SIGINT), 0);
}

// With the broadcast route gone every send meets ENETUNREACH: nothing is printed but the link
// line, which says why, and once the route is back the lifesign records show the link was
// declared lost.
TEST_F(GatewayE2E, UnreachableNetworkIsSilentAndMarksTheLinkLost) {
    UdpListener rx(default_port);
    GatewayRun gw({{"-R", "100"}, {}, false});
    ASSERT_TRUE(gw.wait_running());
    Stream s;
    ASSERT_TRUE(s.collect(
        rx, [](const Stream& st) { return st.lifesigns.size() >= 2; }, 10s));
    ASSERT_EQ(std::system("ip route del 255.255.255.255/32 dev lo"), 0);
    std::this_thread::sleep_for(1500ms); // five 100 ms periods, then a per-second refresh
    ASSERT_EQ(std::system("ip route add 255.255.255.255/32 dev lo"), 0);
    EXPECT_TRUE(s.collect(
        rx,
        [](const Stream& st) {
            return !st.lifesigns.empty() && st.lifesigns.back().udp_loss_act_cnt >= 1;
        },
        10s));
    EXPECT_EQ(gw.stop(SIGINT), 0);
    EXPECT_NE(gw.process().out().find(
                  "udp link inactive (last send failed: Network is unreachable (ENETUNREACH))\n"),
              std::string::npos)
        << gw.process().out();
    EXPECT_EQ(gw.process().out().find("impossible to send"), std::string::npos);
    EXPECT_EQ(gw.process().out().find("e.what()"), std::string::npos);
    EXPECT_EQ(gw.process().err(), "");
}

// The status screen lays out its blocks in order, with the labels and escapes users read.
TEST_F(GatewayE2E, StatusScreenShowsEveryBlock) {
    testsupport::TempDir logs;
    GatewayRun gw({{"-s", "1000", "-L", logs.file("fipgate.log")}, {}, false});
    ASSERT_TRUE(gw.process().wait_for_output("  Counter\t\t: ", 2, 20s));
    EXPECT_EQ(gw.stop(SIGINT), 0);
    const std::string& out = gw.process().out();
    // Standard output is a pipe here: each screen still starts with the clear sequence, and
    // the headers keep their colours.
    const std::string banner = "\033[H\033[JApp is running... press Ctrl + C to exit.\n\n";
    const std::vector<std::string> in_order = {banner,
                                               "\033[32m==> SERVICE INFOS\033[0m\n",
                                               "  Start date\t\t: ",
                                               "\033[32m==> CPU INFOS\033[0m\n",
                                               "  Load\t\t\t: ",
                                               "  Temperature\t\t: ",
                                               "\033[32m==> RAM INFOS\033[0m\n",
                                               "\033[32m==> STORAGE INFOS\033[0m\n",
                                               "\033[32m==> BUFFERS (DISK) ex: sd-card\033[0m\n",
                                               "  Total\t\t\t: 50 MB\n",
                                               "\033[32m==> ETHERNET INFOS\033[0m\n",
                                               "  Is Active\t\t: ",
                                               "  OUT [->]\t\t: ",
                                               "  IN  [<-]\t\t: 0 pkts (0 pps) - 0 B (0 B/s)\n",
                                               "\033[32m==> FIP INFOS\033[0m\n",
                                               "  Loss Continuity event\t: 0 (0 lost frames)\n",
                                               "\033[32m==> LIFESIGN INFOS \033[0m(T=500ms)\n",
                                               "  Counter\t\t: "};
    std::size_t at = out.rfind(banner);
    at = out.rfind(banner, at - 1); // the last complete screen
    ASSERT_NE(at, std::string::npos);
    for (const auto& piece : in_order) {
        const auto found = out.find(piece, at);
        ASSERT_NE(found, std::string::npos) << "missing: " << piece;
        at = found + piece.size();
    }
}

// A second gateway naming the buffer file a running gateway uses ends at once with status 1 and
// says whose file it is; the first one's file stays as it was and its stream goes on.
TEST_F(GatewayE2E, ASecondGatewayOnTheSameBufferFileLeavesItAlone) {
    UdpListener rx(default_port);
    GatewayRun first({{"-R", "100"}, {}, false});
    ASSERT_TRUE(first.wait_running());
    const std::string buffer = first.buffer_path();
    struct stat before {};
    ASSERT_EQ(stat(buffer.c_str(), &before), 0);

    GatewayRun second({{"-B", buffer, "-p", "57190"}, {}, false});
    const int status = second.process().wait_exit(20s);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << second.process().out();
    const std::string in_use = "cannot build the event buffer: buffer file " + buffer +
                               ": in use by process " + std::to_string(first.process().pid()) +
                               " (fipgate); each gateway needs a buffer file of its own (-B)\n";
    EXPECT_NE(second.process().out().find(in_use), std::string::npos) << second.process().out();
    EXPECT_EQ(second.process().out().find("app is running"), std::string::npos);

    struct stat after {};
    ASSERT_EQ(stat(buffer.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_size, before.st_size);
    Stream s;
    EXPECT_TRUE(s.collect(
        rx, [](const Stream& st) { return st.lifesigns.size() >= 3; }, 10s));
    EXPECT_EQ(first.stop(SIGINT), 0);
    EXPECT_FALSE(file_exists(buffer));
}

// A buffer file larger than its file system's free room: the file, the bytes asked and free,
// and what to change, besides the line supervisors match.
TEST_F(GatewayE2E, BufferFileWithoutRoomSaysHowMuchAndWhatToChange) {
    GatewayRun gw({{"-S", "1000000000000000000"}, {}, false});
    const int status = gw.process().wait_exit(20s);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
    const std::string& out = gw.process().out();
    EXPECT_NE(out.find(gw.buffer_path() + ": No space left on device [syncmappedqueue:70]\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("cannot build the event buffer: buffer file " + gw.buffer_path() +
                       ": 1000000000000000000 bytes asked, "),
              std::string::npos)
        << out;
    EXPECT_NE(out.find(" free on its file system; free some space, give a smaller -S (at least "
                       "32768) or a file elsewhere (-B)\n"),
              std::string::npos)
        << out;
    EXPECT_FALSE(file_exists(gw.buffer_path()));
}

// A card that refuses the epoch at start: the failure is reported in the log and in syslog, and
// the process ends with status 1 after the orderly end.
TEST_F(GatewayE2E, StartFailureIsReportedAndEndsWithStatusOne) {
    GatewayRun gw({{}, {{"CAPVANE_SIM_FAIL", "epoch"}}, false});
    const int status = gw.process().wait_exit(20s);
    gw.process().wait_for_output("failure cause", 1s);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
    const std::string& out = gw.process().out();
    EXPECT_NE(out.find("cannot configure the epoch time.\n"), std::string::npos) << out;
    EXPECT_NE(out.find("error code: -1 - failure cause: "), std::string::npos) << out;
    EXPECT_TRUE(testsupport::eventually(
        [&] {
            for (const auto& m : gw.syslog().messages()) {
                if (m.text.rfind("Error Code: -1 - Failure Cause: ", 0) == 0) {
                    return true;
                }
            }
            return false;
        },
        2s));
    EXPECT_TRUE(gw.syslog().received("Stopped FIP to UDP analyzer daemon"));
}
