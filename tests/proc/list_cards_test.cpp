// The simulated card preloaded into real programs: `fipgate -l` finds its cards, headed by their
// count, or "no device found"; a program that never opens a card node runs as without it.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "support/child_process.hpp"

namespace {

using namespace std::chrono_literals;

// The preload list for the sim: a sanitized binary needs its runtime loaded first.
std::string preload() {
    std::string list = CAPVANE_SIM_LIB;
#if defined(__SANITIZE_ADDRESS__)
    FILE* p = ::popen("gcc -print-file-name=libasan.so", "r");
    std::array<char, 512> path{};
    if (p != nullptr && std::fgets(path.data(), path.size(), p) != nullptr) {
        std::string asan(path.data());
        asan.erase(asan.find_last_not_of('\n') + 1);
        list = asan + ":" + list;
    }
    if (p != nullptr) {
        ::pclose(p);
    }
#endif
    return list;
}

std::string list_with_cards(const char* cards) {
    ::setenv("CAPVANE_SIM_CARDS", cards, 1);
    ::setenv("LD_PRELOAD", preload().c_str(), 1);
    testsupport::ChildProcess child({FIPGATE_BIN, "-l"});
    ::unsetenv("LD_PRELOAD");
    ::unsetenv("CAPVANE_SIM_CARDS");
    const int status = child.wait_exit(20s);
    EXPECT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    return child.out();
}

TEST(ListCardsTest, CardsOneAndThree) {
    const std::string out = list_with_cards("1,3");
    EXPECT_EQ(out.rfind("*** Capvane [1]\n  index       = 1\n", 0), 0U) << out;
    EXPECT_NE(out.find("*** Capvane [2]\n  index       = 3\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("*** Capvane [3]"), std::string::npos);
    EXPECT_NE(out.find("  drv_version = 0x"), std::string::npos);
}

TEST(ListCardsTest, NoCard) {
    EXPECT_EQ(list_with_cards(""), "no device found\n");
}

// Exit status and standard output of `argv`, with the card preloaded or not.
std::pair<int, std::string> run(std::vector<std::string> argv, bool with_card) {
    std::vector<std::string> command = {"/usr/bin/env"};
    if (with_card) {
        // Leaks of the programs themselves are theirs, not the card's.
        command.insert(command.end(), {"LD_PRELOAD=" + preload(), "ASAN_OPTIONS=detect_leaks=0"});
    }
    command.insert(command.end(), argv.begin(), argv.end());
    testsupport::ChildProcess child(command);
    const int status = child.wait_exit(20s);
    return {status, child.out()};
}

TEST(ListCardsTest, ProgramsThatOpenNoCardRunAsWithoutIt) {
    // setpriv and runuser close descriptors from a library's constructor, before the card's
    // library is initialised; the others close, duplicate and list descriptors as usual.
    const std::vector<std::vector<std::string>> programs = {
        {"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "id", "-u"},
        {"runuser", "-u", "nobody", "--", "id", "-u"},
        {"sh", "-c", "exec 3</dev/null; exec 4>&3; exec 3<&- 4>&-; ls /proc/self/fd | wc -l"},
        {"ls", "/"},
    };
    for (const auto& argv : programs) {
        SCOPED_TRACE(argv[0]);
        const auto without = run(argv, false);
        const auto with = run(argv, true);
        EXPECT_TRUE(WIFEXITED(with.first)) << "status " << with.first;
        EXPECT_EQ(with, without);
    }
}

} // namespace
