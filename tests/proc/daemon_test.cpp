// Daemon mode around a gateway stand-in: detaching, the locked PID file, the standard streams,
// the descriptor sweep, a second instance, and SIGHUP and SIGTERM sent to the daemon.

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <string>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "support/child_process.hpp"
#include "support/syslog_sink.hpp"
#include "support/temp_dir.hpp"

namespace {

using namespace std::chrono_literals;
using testsupport::ChildProcess;
using testsupport::eventually;
using testsupport::read_file;
using testsupport::SyslogSink;
using testsupport::TempDir;

std::string link_of(pid_t pid, const std::string& fd) {
    char target[4096];
    const std::string path = "/proc/" + std::to_string(pid) + "/fd/" + fd;
    const ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : "";
}

// True when a process other than the caller holds a lock on `path`.
bool locked_by_another(const std::string& path) {
    const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool locked = lockf(fd, F_TEST, 0) == -1 && (errno == EACCES || errno == EAGAIN);
    close(fd);
    return locked;
}

// The processes, not yet ended, whose parent is this test (its own children and, as their
// subreaper, the orphans it adopted).
std::vector<pid_t> living_children() {
    std::vector<pid_t> found;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string stat_text = read_file(entry.path().string() + "/stat");
        const auto close = stat_text.rfind(')');
        if (close == std::string::npos || close + 4 > stat_text.size()) {
            continue;
        }
        const char state = stat_text[close + 2];
        const pid_t parent = std::atoi(stat_text.c_str() + close + 4);
        if (parent == getpid() && state != 'Z' && state != 'X') {
            found.push_back(std::stoi(entry.path().filename().string()));
        }
    }
    return found;
}

int messages_from(SyslogSink& sink, pid_t pid, const std::string& text) {
    int n = 0;
    for (const auto& m : sink.messages()) {
        n += m.pid == pid && m.text == text ? 1 : 0;
    }
    return n;
}

class Daemon : public testing::Test {
protected:
    void SetUp() override {
        // The daemons become orphans; as their subreaper the test sees how they end.
        ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
        std::ofstream(conf) << "UdpPort=5000\n";
    }
    void TearDown() override {
        if (daemon_pid > 0) {
            kill(daemon_pid, SIGKILL);
        }
        reap_orphans(200ms);
    }

    // Waits for orphaned descendants to end, remembering how each did.
    void reap_orphans(std::chrono::milliseconds timeout) {
        eventually(
            [&] {
                int status = 0;
                pid_t pid;
                while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
                    ended[pid] = status;
                }
                return pid < 0; // no child left
            },
            timeout);
    }

    // Starts a daemon and checks that its starting process ends with status 0, once the daemon
    // runs.
    void start_daemon(const std::vector<int>& inherit = {}) {
        ChildProcess starter(
            sink.wrap({SHELL_HOST_BIN, "-d", "-P", pid_file, "-L", log, "-C", conf}), inherit);
        const int status = starter.wait_exit(15s);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << starter.err();
        EXPECT_EQ(starter.err(), "");
        starter_pid = starter.pid();
        ASSERT_NE(read_file(log).find("app is running"), std::string::npos);
        daemon_pid = std::stoi(read_file(pid_file));
    }

    SyslogSink sink;
    TempDir dir;
    const std::string pid_file = dir.file("fipgate.pid");
    const std::string log = dir.file("fipgate.log");
    const std::string conf = dir.file("fipgate.conf");
    pid_t starter_pid = -1;
    pid_t daemon_pid = -1;
    std::map<pid_t, int> ended;
};

TEST_F(Daemon, DetachesWithALockedPidFileAndNullStreams) {
    // A stale file with a longer number must not leave digits behind the new one.
    std::ofstream(pid_file) << "1234567890\n";
    const int inherited = open(dir.file("inherited").c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(inherited, 0);
    start_daemon({inherited});
    close(inherited);

    EXPECT_NE(daemon_pid, starter_pid);
    EXPECT_EQ(kill(daemon_pid, 0), 0);
    EXPECT_EQ(read_file(pid_file), std::to_string(daemon_pid) + "\n");
    EXPECT_TRUE(locked_by_another(pid_file));
    // The daemon's umask is 0: the log file's mode must not come from it.
    struct stat log_st {};
    ASSERT_EQ(stat(log.c_str(), &log_st), 0);
    EXPECT_EQ(log_st.st_mode & 07777, 0640u);

    for (const char* fd : {"0", "1", "2"}) {
        EXPECT_EQ(link_of(daemon_pid, fd), "/dev/null") << fd;
    }
    for (const auto& entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(daemon_pid) + "/fd")) {
        EXPECT_EQ(link_of(daemon_pid, entry.path().filename()).find("inherited"),
                  std::string::npos);
    }
    EXPECT_EQ(getsid(daemon_pid), getpgid(daemon_pid)) << "not in a session of its own";
    EXPECT_NE(getsid(daemon_pid), daemon_pid) << "a session leader could regain a terminal";

    // The start message leaves before the forks; the daemon still reaches syslog after the sweep.
    EXPECT_TRUE(sink.wait_for("Loaded configuration file " + conf, 15s));
    EXPECT_EQ(messages_from(sink, starter_pid, "Started FIP to UDP analyzer daemon"), 1);
    EXPECT_EQ(messages_from(sink, daemon_pid, "Loaded configuration file " + conf), 1);
}

TEST_F(Daemon, ASecondInstanceOnTheSamePidFileFails) {
    start_daemon();
    struct stat st {};
    ASSERT_EQ(stat(pid_file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u); // exactly: the daemon's umask is 0

    // Its starter waits for the daemon's word and passes on the refusal.
    ChildProcess second(sink.wrap({SHELL_HOST_BIN, "-d", "-P", pid_file, "-C", conf}));
    const int status = second.wait_exit(15s);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    EXPECT_EQ(second.err(), "fipgate-shell-host: another instance (PID " +
                                std::to_string(daemon_pid) + ") holds the PID file " + pid_file +
                                "\n");

    // Its daemon process ends without running the gateway. It may end before its parent, which
    // ignores SIGCHLD and so reaps it unseen: what counts is that nothing of it stays alive.
    ASSERT_TRUE(eventually(
        [&] {
            reap_orphans(0ms);
            return living_children() == std::vector<pid_t>{daemon_pid};
        },
        15s));
    for (const auto& [pid, how] : ended) {
        EXPECT_TRUE(WIFEXITED(how) && WEXITSTATUS(how) <= 1) << pid << " " << how;
    }
    EXPECT_EQ(read_file(pid_file), std::to_string(daemon_pid) + "\n");
    EXPECT_TRUE(locked_by_another(pid_file));
    int loads = 0;
    for (const auto& m : sink.messages()) {
        loads += m.text == "Loaded configuration file " + conf ? 1 : 0;
    }
    EXPECT_EQ(loads, 1);
}

TEST_F(Daemon, SighupReloadsInPlaceAndSigtermRemovesThePidFile) {
    start_daemon();
    std::ofstream(conf) << "UdpPort=6000\n";
    kill(daemon_pid, SIGHUP);
    ASSERT_TRUE(sink.wait_for("Reloaded configuration file " + conf, 15s));
    ASSERT_TRUE(
        eventually([&] { return read_file(log).find("udp_port=6000") != std::string::npos; }, 15s));
    EXPECT_NE(read_file(log).find("[event] SIGHUP signal received\n"), std::string::npos);
    EXPECT_EQ(messages_from(sink, daemon_pid, "Reloaded configuration file " + conf), 1);
    EXPECT_EQ(read_file(pid_file), std::to_string(daemon_pid) + "\n");
    EXPECT_TRUE(locked_by_another(pid_file));

    kill(daemon_pid, SIGTERM);
    ASSERT_TRUE(eventually([&] { return !std::filesystem::exists(pid_file); }, 15s));
    ASSERT_TRUE(eventually(
        [&] {
            reap_orphans(0ms);
            return ended.count(daemon_pid) == 1;
        },
        15s));
    const int how = ended[daemon_pid];
    EXPECT_TRUE(WIFEXITED(how) && WEXITSTATUS(how) == 0) << how;
    daemon_pid = -1;
    EXPECT_NE(read_file(log).find("[event] SIGTERM signal received\n"), std::string::npos);
    EXPECT_TRUE(sink.wait_for("Stopped FIP to UDP analyzer daemon", 15s));
}

// The starter waits while the daemon builds; a reload or stop aimed at it meanwhile (a service
// manager signals the whole group) must neither kill it by default action nor cut the wait.
TEST_F(Daemon, TheStarterWaitsForTheDaemonAndSurvivesSignals) {
    ChildProcess starter(sink.wrap({"env", "FIPGATE_TEST_BUILD_MS=1500", SHELL_HOST_BIN, "-d", "-P",
                                    pid_file, "-L", log, "-C", conf}));
    ASSERT_TRUE(eventually(
        [&] { return read_file(log).find("building components") != std::string::npos; }, 15s));
    EXPECT_EQ(read_file(log).find("app is running"), std::string::npos);
    ASSERT_EQ(kill(starter.pid(), SIGHUP), 0);
    const int status = starter.wait_exit(15s);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_NE(read_file(log).find("app is running"), std::string::npos);
    daemon_pid = std::stoi(read_file(pid_file));
}

} // namespace
