// The real gateway on the simulated card under a service manager's eyes: the notices read from a
// test-owned NOTIFY_SOCKET, a reload requested while the configuration file is being read, port
// values it must refuse, log rotation, and a daemon start that fails. Runs inside a private
// network namespace (only lo) and a private /dev/log.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "support/gateway_run.hpp"
#include "support/loopback_only.hpp"
#include "support/notify_socket.hpp"

namespace {

using namespace std::chrono_literals;
using testsupport::eventually;
using testsupport::GatewayRun;
using testsupport::NotifySocket;
using testsupport::read_file;
using testsupport::TempDir;

class ServiceManagerE2E : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(only_loopback_present()) << "run through netns-run"; }
};

void write_file(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::trunc) << text;
}

mode_t mode_of(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

int exit_status(int wait_status) {
    return WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
}

// Opens the FIFO for writing once the gateway has it open for reading, then writes `text`.
bool feed_fifo(const std::string& fifo, const std::string& text,
               std::chrono::milliseconds timeout) {
    int fd = -1;
    if (!eventually(
            [&] {
                fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
                return fd >= 0;
            },
            timeout)) {
        return false;
    }
    const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return written;
}

TEST_F(ServiceManagerE2E, TellsTheServiceManagerEachStepAndPingsTheWatchdog) {
    NotifySocket manager;
    GatewayRun gw(
        {{"-R", "100"}, {{"NOTIFY_SOCKET", manager.path()}, {"WATCHDOG_USEC", "1000000"}}, false});
    std::vector<NotifySocket::Notice> seen;
    ASSERT_TRUE(manager.wait_for("READY=1", 20s, seen)) << gw.process().out();
    ASSERT_TRUE(gw.wait_running());
    // Nothing but status lines and pings for three seconds; pings at least twice a period.
    std::vector<NotifySocket::Notice> running;
    manager.wait_for("never", 3s, running);
    std::vector<std::chrono::steady_clock::time_point> pings{seen.back().at};
    int status_lines = 0;
    for (const auto& n : running) {
        if (n.text == "WATCHDOG=1") {
            pings.push_back(n.at);
        } else {
            ASSERT_EQ(n.text.rfind("STATUS=card ", 0), 0u) << n.text;
            EXPECT_NE(n.text.find(" frames/s, "), std::string::npos) << n.text;
            EXPECT_NE(n.text.find(" datagrams/s, "), std::string::npos) << n.text;
            ++status_lines;
        }
    }
    EXPECT_GE(status_lines, 2);
    EXPECT_LE(status_lines, 4);
    ASSERT_GE(pings.size(), 7u);
    for (std::size_t i = 1; i < pings.size(); ++i) {
        EXPECT_LT(pings[i] - pings[i - 1], 500ms) << "gap " << i;
    }

    ASSERT_EQ(kill(gw.process().pid(), SIGHUP), 0);
    std::vector<NotifySocket::Notice> reload;
    ASSERT_TRUE(manager.wait_for("RELOADING=1\nMONOTONIC_USEC=", 10s, reload));
    ASSERT_TRUE(manager.wait_for("READY=1", 10s, reload));
    ASSERT_TRUE(gw.wait_running(2));

    ASSERT_EQ(kill(gw.process().pid(), SIGTERM), 0);
    std::vector<NotifySocket::Notice> end;
    EXPECT_TRUE(manager.wait_for("STOPPING=1", 10s, end));
    EXPECT_EQ(exit_status(gw.process().wait_exit(20s)), 0);
}

// The reload request is taken before the file is read: a SIGHUP that lands while the gateway
// reads the file asks for one more read, which happens.
TEST_F(ServiceManagerE2E, ASighupDuringTheConfigurationReadIsNotLost) {
    TempDir dir;
    const std::string fifo = dir.file("fipgate.conf");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    GatewayRun gw({{"-C", fifo}, {}, false});
    int fd = -1;
    ASSERT_TRUE(eventually(
        [&] {
            fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            return fd >= 0;
        },
        20s));
    // The gateway is inside the read: it has the file open and waits for its lines.
    ASSERT_EQ(kill(gw.process().pid(), SIGHUP), 0);
    const std::string first = "UdpPort=57118\n";
    ASSERT_EQ(write(fd, first.data(), first.size()), static_cast<ssize_t>(first.size()));
    close(fd);
    // The first generation runs (the first read is over), and the pending reload reads again.
    ASSERT_TRUE(gw.wait_running(1));
    ASSERT_TRUE(feed_fifo(fifo, "UdpPort=57119\n", 20s)) << "the file was not read again\n"
                                                         << gw.process().out();
    ASSERT_TRUE(gw.wait_running(2));
    EXPECT_TRUE(gw.syslog().wait_for("Reloaded configuration file " + fifo, 5s));
    EXPECT_NE(gw.process().out().find("udp socket connected (port=57119)"), std::string::npos);
    EXPECT_EQ(exit_status(gw.stop(SIGTERM)), 0);
}

TEST_F(ServiceManagerE2E, APortOutsideTheRangeEndsTheStartButNotAReload) {
    TempDir dir;
    const std::string conf = dir.file("fipgate.conf");
    write_file(conf, "UdpPort=0\n");
    {
        GatewayRun gw({{"-C", conf}, {}, false});
        EXPECT_EQ(exit_status(gw.process().wait_exit(20s)), 1);
        EXPECT_NE(gw.process().out().find("UdpPort refused (a port is 1 to 65535)\n"),
                  std::string::npos)
            << gw.process().out();
        EXPECT_EQ(gw.process().out().find("udp socket connected"), std::string::npos);
    }
    write_file(conf, "UdpPort=57118\n");
    GatewayRun gw({{"-C", conf}, {}, false});
    ASSERT_TRUE(gw.wait_running());
    write_file(conf, "UdpPort=70000\n");
    ASSERT_EQ(kill(gw.process().pid(), SIGHUP), 0);
    ASSERT_TRUE(gw.wait_running(2));
    const std::string out = gw.process().out();
    EXPECT_NE(out.find("UdpPort refused (a port is 1 to 65535); the previous port stays\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(testsupport::count_of(out, "udp socket connected (port=57118)"), 2u) << out;
    EXPECT_TRUE(gw.syslog().wait_for(
        "Invalid UdpPort in configuration file " + conf + ": 70000 (a port is 1 to 65535)", 5s));
    EXPECT_EQ(exit_status(gw.stop(SIGTERM)), 0);
}

// Whatever the umask: a created log file is 0640 and a created buffer directory 0750. A log file
// moved away by rotation is replaced at the next reload. With -s the log lines are coloured and
// the status screen clears itself even though neither goes to a terminal.
TEST_F(ServiceManagerE2E, LogFileModesRotationAndEscapesWhateverTheStream) {
    TempDir dir;
    const std::string log = dir.file("fipgate.log");
    const std::string buffer = dir.file("new/sub/buffer.bin");
    const mode_t saved = umask(0);
    GatewayRun gw({{"-L", log, "-B", buffer, "-s", "200"}, {}, false});
    umask(saved);
    ASSERT_TRUE(eventually(
        [&] { return read_file(log).find("app is running") != std::string::npos; }, 20s));
    EXPECT_EQ(mode_of(log), 0640u);
    EXPECT_EQ(mode_of(dir.file("new")), 0750u);
    EXPECT_EQ(mode_of(dir.file("new/sub")), 0750u);
    ASSERT_TRUE(gw.process().wait_for_output("LIFESIGN INFOS", 10s));

    ASSERT_EQ(rename(log.c_str(), (log + ".1").c_str()), 0);
    ASSERT_EQ(kill(gw.process().pid(), SIGHUP), 0);
    ASSERT_TRUE(eventually(
        [&] { return read_file(log).find("app is running") != std::string::npos; }, 20s));
    EXPECT_NE(read_file(log + ".1").find("SIGHUP signal received"), std::string::npos);
    EXPECT_EQ(mode_of(log), 0640u);
    EXPECT_EQ(exit_status(gw.stop(SIGTERM)), 0);
    EXPECT_EQ(read_file(log).rfind("\033[0m\033[0;32m[", 0), 0u) << read_file(log);
    EXPECT_NE(read_file(log).find("\033[0m[info]  app is running"), std::string::npos);
    const std::string screen = gw.process().out();
    EXPECT_NE(screen.find("\033[H\033[JApp is running... press Ctrl + C to exit.\n\n"
                          "\033[32m==> SERVICE INFOS\033[0m\n"),
              std::string::npos)
        << screen.substr(0, 200);
}

// The shell that starts a daemon learns that it could not start, and why.
TEST_F(ServiceManagerE2E, ADaemonThatCannotStartTellsItsStarter) {
    TempDir dir;
    GatewayRun gw({{"-d", "-P", dir.file("fipgate.pid"), "-L", dir.file("fipgate.log")},
                   {{"CAPVANE_SIM_CARDS", ""}},
                   false});
    EXPECT_EQ(exit_status(gw.process().wait_exit(20s)), 1);
    EXPECT_EQ(gw.process().err(), "fipgate: capvane: device (idx=-1) not found\n");
}

} // namespace
