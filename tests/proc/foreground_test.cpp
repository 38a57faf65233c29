// The process shell in the foreground, around a gateway stand-in: stop signals, reloads,
// signals that come while the components are being built, and what reaches syslog.

#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <sys/wait.h>
#include <syslog.h>

#include "support/child_process.hpp"
#include "support/syslog_sink.hpp"
#include "support/temp_dir.hpp"

namespace {

using namespace std::chrono_literals;
using testsupport::ChildProcess;
using testsupport::SyslogSink;
using testsupport::TempDir;

void write_text(const std::string& path, const std::string& text) {
    std::ofstream(path) << text;
}

// Occurrences of `needle` in `text`.
int count(const std::string& text, const std::string& needle) {
    int n = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
        ++n;
    }
    return n;
}

class Foreground : public testing::Test {
protected:
    // Starts the shell host in the sink's namespace; `build_ms` slows each build and the end.
    std::unique_ptr<ChildProcess> start(std::vector<std::string> args, int build_ms = -1) {
        args.insert(args.begin(), SHELL_HOST_BIN);
        if (build_ms >= 0) {
            args.insert(args.begin(), {"env", "FIPGATE_TEST_BUILD_MS=" + std::to_string(build_ms)});
        }
        return std::make_unique<ChildProcess>(sink.wrap(args));
    }

    SyslogSink sink;
    TempDir dir;
};

TEST_F(Foreground, EachStopSignalEndsTheRunWithStatusZero) {
    const std::string conf = dir.file("f.conf");
    write_text(conf, "UdpPort=5000\n");
    for (const auto& [signo, name] : {std::pair{SIGINT, "SIGINT"}, std::pair{SIGTERM, "SIGTERM"},
                                      std::pair{SIGQUIT, "SIGQUIT"}}) {
        SyslogSink own;
        auto child = std::make_unique<ChildProcess>(own.wrap({SHELL_HOST_BIN, "-C", conf}));
        ASSERT_TRUE(child->wait_for_output("app is running... press Ctrl + C to exit.\n", 20s));
        kill(child->pid(), signo);
        const int status = child->wait_exit(15s);
        ASSERT_TRUE(WIFEXITED(status)) << name << " " << status;
        EXPECT_EQ(WEXITSTATUS(status), 0) << name;
        EXPECT_NE(child->out().find(std::string("[event] ") + name + " signal received\n"),
                  std::string::npos)
            << child->out();

        ASSERT_TRUE(own.wait_for("Stopped FIP to UDP analyzer daemon", 15s)) << name;
        const auto& got = own.messages();
        ASSERT_EQ(got.size(), 3u);
        EXPECT_EQ(got[0].text, "Started FIP to UDP analyzer daemon");
        EXPECT_EQ(got[1].text, "Loaded configuration file " + conf);
        for (const auto& m : got) {
            EXPECT_EQ(m.ident, SHELL_HOST_BIN); // the full path, not the base name
            EXPECT_EQ(m.pid, child->pid());
            EXPECT_EQ(m.facility, LOG_DAEMON >> 3);
            EXPECT_EQ(m.severity, LOG_INFO);
        }
    }
}

TEST_F(Foreground, SighupRereadsTheFileWhichOverridesTheCommandLine) {
    const std::string conf = dir.file("f.conf");
    write_text(conf, "DeviceIndex=3\nUdpPort=5000\n");
    auto child = start({"-i", "1", "-p", "4000", "-C", conf});
    ASSERT_TRUE(child->wait_for_output("app is running", 20s));
    EXPECT_NE(child->out().find("device_index=3 udp_port=5000\n"), std::string::npos);

    write_text(conf, "UdpPort=6000\n");
    kill(child->pid(), SIGHUP);
    ASSERT_TRUE(child->wait_for_output("device_index=3 udp_port=6000\n", 15s)) << child->out();
    ASSERT_TRUE(child->wait_for_output("SIGHUP", 15s));
    EXPECT_TRUE(sink.wait_for("Reloaded configuration file " + conf, 15s));
    EXPECT_TRUE(child->wait_for_output("app is running... press Ctrl + C to exit.\n", 2, 15s));

    // Each SIGHUP is one more reload; the file missing is reported and changes nothing.
    std::remove(conf.c_str());
    kill(child->pid(), SIGHUP);
    ASSERT_TRUE(sink.wait_for(
        "Cannot open configuration file: " + conf + " (error=No such file or directory)", 15s));
    ASSERT_TRUE(child->wait_for_output("app is running", 3, 15s));
    kill(child->pid(), SIGTERM);
    const int status = child->wait_exit(15s);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(count(child->out(), "[event] SIGHUP signal received\n"), 2);
    EXPECT_EQ(count(child->out(), "device_index=3 udp_port=6000\n"), 2);
}

TEST_F(Foreground, AStopDuringTheBuildEndsTheComingWaitAtOnce) {
    auto child = start({}, 600);
    ASSERT_TRUE(child->wait_for_output("building components\n", 20s));
    kill(child->pid(), SIGTERM);
    const int status = child->wait_exit(15s);
    ASSERT_NE(status, -1) << "the wait did not end: " << child->out();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    const std::string out = child->out();
    EXPECT_LT(out.find("app is running"), out.find("[event] SIGTERM signal received\n")) << out;
}

TEST_F(Foreground, AReloadDuringTheBuildIsKept) {
    auto child = start({}, 400);
    ASSERT_TRUE(child->wait_for_output("building components\n", 20s));
    kill(child->pid(), SIGHUP);
    ASSERT_TRUE(child->wait_for_output("[event] SIGHUP signal received\n", 15s));
    // The reload happens without another signal: a second build cycle begins.
    ASSERT_TRUE(child->wait_for_output("building components\n", 2, 15s));
    ASSERT_TRUE(child->wait_for_output("app is running", 15s));
    kill(child->pid(), SIGINT);
    EXPECT_NE(child->wait_exit(15s), -1);
}

TEST_F(Foreground, ASecondSigintDuringTheShutdownKillsTheProcess) {
    auto child = start({}, 1500);
    ASSERT_TRUE(child->wait_for_output("app is running", 20s));
    kill(child->pid(), SIGINT);
    // The stand-in's shutdown is as slow as its build.
    ASSERT_TRUE(child->wait_for_output("building components\n", 2, 15s));
    kill(child->pid(), SIGINT);
    const int status = child->wait_exit(15s);
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(WTERMSIG(status), SIGINT);
    EXPECT_FALSE(sink.received("Stopped FIP to UDP analyzer daemon"));
}

TEST_F(Foreground, AnUnopenableLogFileFallsBackToStandardOutput) {
    const std::string log = dir.file("no/such/dir/f.log");
    auto child = start({"-L", log});
    ASSERT_TRUE(child->wait_for_output("app is running", 20s));
    EXPECT_TRUE(
        sink.wait_for("Cannot open log file: " + log + " (error=No such file or directory)", 15s));
    kill(child->pid(), SIGINT);
    EXPECT_NE(child->wait_exit(15s), -1);
}

} // namespace
