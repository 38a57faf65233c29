// The shared test helpers on their own: a fault here would make many tests pass or fail for the
// wrong reason, or leave files and variables behind for the next test.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "support/child_process.hpp"
#include "support/http_client.hpp"
#include "support/log_file.hpp"
#include "support/sim_control.hpp"
#include "support/sim_env.hpp"
#include "support/temp_dir.hpp"
#include "support/temp_queue.hpp"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace testsupport;

namespace {

std::string env_or_none(const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr ? v : "(unset)";
}

// A loopback TCP port nobody listens on: bound once by the kernel's choice, then released.
std::uint16_t closed_port() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    close(fd);
    return ntohs(addr.sin_port);
}

} // namespace

TEST(TestSupport, ScratchSpaceGoesWithItsLastOwner) {
    std::string kept;
    {
        TempDir dir;
        kept = dir.path();
        std::ofstream(dir.file("a")) << "x";
        fs::create_directories(dir.file("deep/er"));
        EXPECT_EQ(read_file(dir.file("a")), "x");
        TempDir other;
        EXPECT_NE(other.path(), dir.path());
    }
    EXPECT_FALSE(fs::exists(kept)) << "a scratch directory outlived its test";

    auto queue = make_temp_queue(1UL << 20);
    ASSERT_TRUE(queue->is_valid());
    queue->enqueue(std::vector<char>(10, 'e'));
    const fs::path dir = fs::path(queue->path()).parent_path();
    ASSERT_TRUE(fs::exists(dir));
    auto second_owner = queue;
    queue.reset();
    EXPECT_TRUE(fs::exists(dir)) << "removed under a buffer still in use";
    second_owner.reset();
    EXPECT_FALSE(fs::exists(dir));
}

TEST(TestSupport, SimEnvStartsAndLeavesTheCardsEnvironmentClean) {
    ::setenv("CAPVANE_SIM_FAIL", "left by an earlier test", 1);
    ::setenv("CAPVANE_SIM_SOMETHING_NEW", "1", 1);
    ::setenv("CAPVANE_SIMPLE", "not the card's", 1);
    {
        SimEnv env;
        EXPECT_EQ(env_or_none("CAPVANE_SIM_FAIL"), "(unset)");
        EXPECT_EQ(env_or_none("CAPVANE_SIM_SOMETHING_NEW"), "(unset)");
        EXPECT_EQ(env_or_none("CAPVANE_SIMPLE"), "not the card's");
        EXPECT_EQ(env.control(), "") << "no control socket unless asked for";
        env.set("CAPVANE_SIM_PACE", "max");
        EXPECT_EQ(env_or_none("CAPVANE_SIM_PACE"), "max");
    }
    EXPECT_EQ(env_or_none("CAPVANE_SIM_PACE"), "(unset)");
    ::unsetenv("CAPVANE_SIMPLE");

    std::string socket_path;
    {
        SimEnv env({{"CAPVANE_SIM_CARDS", "0"}});
        socket_path = env.control();
        EXPECT_EQ(env_or_none("CAPVANE_SIM_CARDS"), "0");
        EXPECT_EQ(env_or_none("CAPVANE_SIM_CONTROL"), socket_path);
        EXPECT_TRUE(fs::is_directory(fs::path(socket_path).parent_path()));
        SimEnv given({{"CAPVANE_SIM_CONTROL", "/tmp/given.sock"}});
        EXPECT_EQ(given.control(), "/tmp/given.sock");
        EXPECT_EQ(env_or_none("CAPVANE_SIM_CONTROL"), "/tmp/given.sock");
    }
    EXPECT_EQ(env_or_none("CAPVANE_SIM_CONTROL"), "(unset)");
    EXPECT_FALSE(fs::exists(fs::path(socket_path).parent_path()));
}

TEST(TestSupport, ClientsOfAbsentPeersFailQuietly) {
    // No card: no connection, no answer, no SIGPIPE, and a bounded wait.
    TempDir dir;
    const auto t0 = std::chrono::steady_clock::now();
    SimControl control(dir.file("no-card.sock"), 100ms);
    EXPECT_FALSE(control.ok());
    EXPECT_EQ(control.command("stats"), "");
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s);
    EXPECT_EQ(http_exchange(closed_port(), "GET / HTTP/1.0\r\n\r\n"), "");

    EXPECT_EQ(json_number(R"({"records":12,"bytes":0})", "records"), 12);
    EXPECT_EQ(json_number(R"({"records":12,"bytes":0})", "bytes"), 0);
    EXPECT_EQ(json_number(R"({"records":12})", "record"), -1) << "a key's prefix is no key";
}

TEST(TestSupport, LogFileReadsBackWhileTheWriterGoesOn) {
    LogFile log;
    std::fputs("aa", log.stream());
    EXPECT_EQ(log.text(), "aa");
    std::fputs("a\n", log.stream()); // appended after the read, not written over it
    EXPECT_EQ(log.text(), "aaa\n");
    EXPECT_EQ(log.count("aa"), 2U);
    EXPECT_TRUE(log.contains("a\n"));
    EXPECT_FALSE(log.contains("b"));
}

TEST(TestSupport, WaitForErrorWatchesStandardErrorOnly) {
    ChildProcess child({"sh", "-c", "echo listening; sleep 0.2; echo 'listening on' >&2; sleep 5"});
    EXPECT_FALSE(child.wait_for_error("listening", 50ms)) << "standard output taken for error";
    EXPECT_TRUE(child.wait_for_error("listening on", 5s)) << child.err();
    EXPECT_FALSE(child.wait_for_error("never said", 100ms));
}
