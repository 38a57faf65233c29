// The command line: defaults, the usage text, terminal options, long names, number conversion
// and the values refused at start-up.

#include <getopt.h>
#include <gtest/gtest.h>
#include <list>
#include <string>
#include <vector>

#include "app/config.hpp"
#include "app/options.hpp"
#include "log/logger.hpp"

namespace {

struct Parsed {
    int status;
    int proceed;
    std::string out;
    std::string err;
};

Parsed parse(std::vector<std::string> args) {
    args.insert(args.begin(), "/opt/norvale/bin/fipgate");
    // app_name points into argv, which a real process keeps for its whole life.
    static std::list<std::vector<std::string>> kept;
    kept.push_back(std::move(args));
    auto& stored = kept.back();
    std::vector<char*> argv;
    for (auto& a : stored) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    optind = 0; // full re-initialisation of glibc's getopt between calls
    Parsed p{};
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    p.status = load_settings(static_cast<int>(stored.size()), argv.data(), &p.proceed);
    std::fflush(stdout);
    p.out = testing::internal::GetCapturedStdout();
    p.err = testing::internal::GetCapturedStderr();
    return p;
}

const std::string usage_text = "\n"
                               "Usage: fipgate [OPTION]...\n"
                               "\n"
                               "It redirects all the Capvane(PCI)'s packets to the ethernet "
                               "network (UDP).\n"
                               "By default, if no option is added, the app opens the first "
                               "Capvane found,\n"
                               "and redirects the FIP flow to 57117 UDP port.\n"
                               "\n"
                               "Options:\n"
                               "    -i, --index      device index [default=1st found]\n"
                               "    -p, --port       udp port number [default=57117]\n"
                               "    -s, --stats_per  refresh period (ms) for displaying "
                               "statistics [default=disabled]\n"
                               "    -d, --daemon     daemonize this application (gnu/linux os "
                               "only)\n"
                               "    -l, --list       list host devices\n"
                               "    -R, --lifesign   refresh period (ms) of lifesign packet "
                               "[default=500 (500ms)]\n"
                               "    -M, --max_evt    maximum events per udp datagram "
                               "[default=1000]\n"
                               "    -B, --buff_file  path to the buffer file "
                               "[default=/tmp/norvale/vimbo/buffer.bin]\n"
                               "    -S, --buff_size  max size of the buffer in bytes "
                               "[default=50000000 (50MB)]\n"
                               "    -C, --conf_file  read configuration from the file\n"
                               "    -L, --log_file   write logs to the file\n"
                               "    -P, --pid_file   PID file used by daemonized app\n"
                               "    -v, --version    show version and exit\n"
                               "    -h, --help       show this help and exit\n"
                               "\n"
                               "Examples: \n"
                               "    fipgate -i 1 -p 55010\n"
                               "    fipgate -d\n"
                               "\n";

class Options : public testing::Test {
protected:
    void TearDown() override {
        release_config_texts(&cfg);
        logger::set_colorization(false);
    }
};

TEST_F(Options, NoOptionsGiveTheDefaults) {
    const Parsed p = parse({});
    EXPECT_EQ(p.status, 0);
    EXPECT_EQ(p.proceed, 1);
    EXPECT_EQ(p.out, "");
    EXPECT_EQ(cfg.device_index, -1);
    EXPECT_EQ(cfg.udp_port, 57117);
    EXPECT_EQ(cfg.stats_period, -1);
    EXPECT_EQ(cfg.lifesign_period, 500u);
    EXPECT_EQ(cfg.max_evt, 1000);
    EXPECT_EQ(cfg.daemonize, 0);
    EXPECT_EQ(cfg.buff_size, 52428800u);
    EXPECT_EQ(cfg.log_file_name, nullptr);
    EXPECT_EQ(cfg.buff_file_name, nullptr);
    EXPECT_EQ(cfg.conf_file_name, nullptr);
    EXPECT_EQ(pid_file_name, nullptr);
    EXPECT_STREQ(app_name, "fipgate");
    EXPECT_STREQ(default_buffer_path, "/tmp/norvale/vimbo/buffer.bin");
    EXPECT_FALSE(logger::is_colorized());
}

TEST_F(Options, EveryOptionReachesItsField) {
    const Parsed p = parse({"-i",
                            "2",
                            "--port",
                            "6000",
                            "-d",
                            "--stats_per",
                            "250",
                            "-R",
                            "750",
                            "-M",
                            "12",
                            "-B",
                            "/tmp/b.bin",
                            "-S",
                            "409600",
                            "-C",
                            "/etc/f.conf",
                            "-L",
                            "/var/log/f.log",
                            "-P",
                            "/run/f.pid",
                            "stray-argument"});
    EXPECT_EQ(p.status, 0);
    EXPECT_EQ(p.proceed, 1);
    EXPECT_EQ(cfg.device_index, 2);
    EXPECT_EQ(cfg.udp_port, 6000);
    EXPECT_EQ(cfg.daemonize, 1);
    EXPECT_EQ(cfg.stats_period, 250);
    EXPECT_TRUE(logger::is_colorized()); // standard output is captured here: colour all the same
    EXPECT_EQ(cfg.lifesign_period, 750u);
    EXPECT_EQ(cfg.max_evt, 12);
    EXPECT_STREQ(cfg.buff_file_name, "/tmp/b.bin");
    EXPECT_EQ(cfg.buff_size, 409600u);
    EXPECT_STREQ(cfg.conf_file_name, "/etc/f.conf");
    EXPECT_STREQ(cfg.log_file_name, "/var/log/f.log");
    EXPECT_STREQ(pid_file_name, "/run/f.pid");
}

TEST_F(Options, HelpPrintsTheUsageTextAndStopsParsing) {
    const Parsed p = parse({"-p", "1", "-h", "-p", "2"});
    EXPECT_EQ(p.status, 0);
    EXPECT_EQ(p.proceed, 0);
    EXPECT_EQ(p.out, usage_text);
    EXPECT_EQ(p.err, "");
    EXPECT_EQ(cfg.udp_port, 1);
    EXPECT_EQ(parse({"--help"}).out, usage_text);
}

TEST_F(Options, VersionPrintsNameAndVersion) {
    const Parsed p = parse({"-v", "-p", "7"});
    EXPECT_EQ(p.status, 0);
    EXPECT_EQ(p.proceed, 0);
    EXPECT_EQ(p.out, "fipgate " FIPGATE_VERSION "\n");
    EXPECT_EQ(cfg.udp_port, 57117);
}

TEST_F(Options, LongNamesAndTheirAbbreviations) {
    EXPECT_EQ(parse({"--buf_size", "40000"}).status, 0);
    EXPECT_EQ(cfg.buff_size, 40000u);
    // The spelling the usage text shows is accepted too, written whole.
    EXPECT_EQ(parse({"--buff_size", "40001"}).status, 0);
    EXPECT_EQ(cfg.buff_size, 40001u);
    EXPECT_EQ(parse({"--buff_size=40002", "--buff_f", "/b"}).status, 0);
    EXPECT_EQ(cfg.buff_size, 40002u);
    EXPECT_STREQ(cfg.buff_file_name, "/b");
    EXPECT_EQ(parse({"--por", "5", "--life=9", "--max", "3"}).status, 0);
    EXPECT_EQ(cfg.udp_port, 5);
    EXPECT_EQ(cfg.lifesign_period, 9u);
    EXPECT_EQ(cfg.max_evt, 3);
    // As the argument of another option the whole spelling is a text like any other.
    EXPECT_EQ(parse({"-B", "--buff_size", "--buff", "--buff_size"}).status, 0);
    EXPECT_STREQ(cfg.buff_file_name, "--buff_size");
    EXPECT_EQ(parse({"-C", "--buff_size=1"}).status, 0);
    EXPECT_STREQ(cfg.conf_file_name, "--buff_size=1");
}

// The shortest abbreviation of each long name that the option table leaves unambiguous.
TEST_F(Options, ShortestAbbreviationOfEachLongName) {
    struct Case {
        std::vector<std::string> args;
        bool (*applied)();
    };
    const std::vector<Case> cases = {
        {{"--i", "3"}, [] { return cfg.device_index == 3; }},
        {{"--po", "5000"}, [] { return cfg.udp_port == 5000; }},
        {{"--d"}, [] { return cfg.daemonize == 1; }},
        {{"--s", "250"}, [] { return cfg.stats_period == 250; }},
        {{"--lif", "700"}, [] { return cfg.lifesign_period == 700u; }},
        {{"--m", "7"}, [] { return cfg.max_evt == 7; }},
        {{"--buff", "/b.bin"}, [] { return std::string(cfg.buff_file_name) == "/b.bin"; }},
        {{"--buf_", "40000"}, [] { return cfg.buff_size == 40000u; }},
        {{"--c", "/c.conf"}, [] { return std::string(cfg.conf_file_name) == "/c.conf"; }},
        {{"--lo", "/l.log"}, [] { return std::string(cfg.log_file_name) == "/l.log"; }},
        {{"--pi", "/p.pid"}, [] { return pid_file_name != nullptr; }},
    };
    for (const Case& c : cases) {
        const Parsed p = parse(c.args);
        EXPECT_EQ(p.status, 0) << c.args[0] << p.err;
        EXPECT_EQ(p.proceed, 1) << c.args[0];
        EXPECT_TRUE(c.applied()) << c.args[0];
    }
    EXPECT_EQ(parse({"--h"}).out, usage_text);
    EXPECT_EQ(parse({"--v"}).out, "fipgate " FIPGATE_VERSION "\n");
    // --lis runs the card listing, which needs a card node: its neighbours show it is not
    // ambiguous (--l is, --li is with --lifesign).
    for (const char* ambiguous : {"--p", "--l", "--li", "--buf", "--bu"}) {
        const Parsed p = parse({ambiguous, "1"});
        EXPECT_EQ(p.status, 1) << ambiguous;
        EXPECT_NE(p.err.find("ambiguous"), std::string::npos) << ambiguous << p.err;
    }
}

TEST_F(Options, NumbersTakeTheirLeadingDigitsOnly) {
    parse({"-R", "12ms", "-p", "16x", "-S", "65536k"});
    EXPECT_EQ(cfg.lifesign_period, 12u);
    EXPECT_EQ(cfg.udp_port, 16);
    EXPECT_EQ(cfg.buff_size, 65536u);

    // Texts that do not start with a number leave the field as it was.
    parse({"-i", "abc", "-p", "x", "-s", "never", "-M", "many", "-R", "", "-i", "4", "-i", "z"});
    EXPECT_EQ(cfg.device_index, 4);
    EXPECT_EQ(cfg.udp_port, 57117);
    EXPECT_EQ(cfg.stats_period, -1);
    EXPECT_EQ(cfg.max_evt, 1000);
    EXPECT_EQ(cfg.lifesign_period, 500u);
}

TEST_F(Options, RepeatedTextOptionsKeepTheLast) {
    parse({"-C", "/a.conf", "-C", "/b.conf", "-P", "/a.pid", "-P", "/b.pid"});
    EXPECT_STREQ(cfg.conf_file_name, "/b.conf");
    EXPECT_STREQ(pid_file_name, "/b.pid");
}

// A port is 1 to 65535: a larger one used to be cut to its low 16 bits, 0 cannot be sent to.
TEST_F(Options, PortsOutsideTheRangeAreRefused) {
    for (const char* port : {"70000", "0", "0x10", "-1", "65536", "99999999999999999999"}) {
        const Parsed p = parse({"-p", port});
        EXPECT_EQ(p.status, 1) << port;
        EXPECT_EQ(p.proceed, 0) << port;
        EXPECT_EQ(p.err, "fipgate: --port must be between 1 and 65535\n") << port;
        EXPECT_EQ(p.out, usage_text) << port;
    }
    for (const char* port : {"1", "65535"}) {
        EXPECT_EQ(parse({"-p", port}).status, 0) << port;
        EXPECT_EQ(cfg.udp_port, std::atoi(port));
    }
}

// 0 used to end in a library exception's name; a few bytes built a buffer that dropped part of
// every transfer buffer.
TEST_F(Options, BufferTooSmallForOneTransferBufferIsRefused) {
    for (const char* size : {"0", "-1", "32767", "-9999999999"}) {
        const Parsed p = parse({"-S", size});
        EXPECT_EQ(p.status, 1) << size;
        EXPECT_EQ(p.proceed, 0) << size;
        EXPECT_EQ(p.err,
                  "fipgate: --buff_size must be at least 32768 bytes (the records of one transfer "
                  "buffer)\n")
            << size;
    }
    EXPECT_EQ(parse({"-S", "32768"}).status, 0);
    EXPECT_EQ(cfg.buff_size, 32768u);
}

TEST_F(Options, ZeroEventsPerDatagramAndNegativeLifesignAreRefused) {
    const Parsed zero = parse({"-M", "0"});
    EXPECT_EQ(zero.status, 1);
    EXPECT_EQ(zero.proceed, 0);
    EXPECT_EQ(zero.err, "fipgate: --max_evt must not be 0\n");
    EXPECT_EQ(zero.out, usage_text);

    const Parsed negative = parse({"--lifesign", "-1"});
    EXPECT_EQ(negative.status, 1);
    EXPECT_EQ(negative.proceed, 0);
    EXPECT_EQ(negative.err, "fipgate: --lifesign must not be negative\n");
    EXPECT_EQ(negative.out, usage_text);

    // No lifesign at all is a valid choice.
    const Parsed none = parse({"-R", "0"});
    EXPECT_EQ(none.status, 0);
    EXPECT_EQ(none.proceed, 1);
    EXPECT_EQ(cfg.lifesign_period, 0u);
}

} // namespace
