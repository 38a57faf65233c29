// The real binary's answers to the terminal options and to bad command lines: exit statuses,
// which stream gets what, and a quiet syslog.

#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>

#include "fipgate_version.hpp"
#include "support/child_process.hpp"
#include "support/syslog_sink.hpp"

namespace {

using namespace std::chrono_literals;
using testsupport::ChildProcess;
using testsupport::SyslogSink;

struct Outcome {
    int status;
    std::string out;
    std::string err;
};

Outcome run(SyslogSink& sink, const std::vector<std::string>& args) {
    // Built front to back: GCC 12 at -O3 misreads an insert at begin() as out of bounds.
    std::vector<std::string> argv{FIPGATE_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    ChildProcess child(sink.wrap(argv));
    const int status = child.wait_exit(20s);
    return {status, child.out(), child.err()};
}

TEST(CommandLine, TerminalOptionsAndBadLinesEndAtOnceWithoutSyslog) {
    struct stat before {};
    const bool had_dev_log = lstat("/dev/log", &before) == 0;

    SyslogSink sink;
    const Outcome version = run(sink, {"-v"});
    ASSERT_TRUE(WIFEXITED(version.status));
    EXPECT_EQ(WEXITSTATUS(version.status), 0);
    EXPECT_EQ(version.out, "fipgate " FIPGATE_VERSION "\n");

    const Outcome help = run(sink, {"-p", "1", "-h", "--nonsense"});
    EXPECT_EQ(WEXITSTATUS(help.status), 0);
    EXPECT_EQ(help.out.substr(0, 28), "\nUsage: fipgate [OPTION]...\n");
    EXPECT_EQ(help.err, "");

    for (const auto& bad : std::vector<std::vector<std::string>>{
             {"--buf", "10"}, {"-q"}, {"-M", "0"}, {"-R", "-20"}, {"-p", "70000"}, {"-S", "0"}}) {
        const Outcome r = run(sink, bad);
        ASSERT_TRUE(WIFEXITED(r.status)) << bad[0];
        EXPECT_EQ(WEXITSTATUS(r.status), 1) << bad[0];
        EXPECT_EQ(r.out.substr(0, 28), "\nUsage: fipgate [OPTION]...\n") << bad[0];
        EXPECT_NE(r.err, "") << bad[0];
    }
    EXPECT_TRUE(sink.messages().empty()) << sink.messages().front().raw;

    // The machine's own /dev/log was never replaced or created.
    struct stat after {};
    const bool has_dev_log = lstat("/dev/log", &after) == 0;
    EXPECT_EQ(had_dev_log, has_dev_log);
    if (had_dev_log && has_dev_log) {
        EXPECT_EQ(before.st_ino, after.st_ino);
        EXPECT_EQ(before.st_dev, after.st_dev);
    }
}

} // namespace
