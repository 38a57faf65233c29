// fipdump's options for real networks and long recordings: the metrics address forms (and that
// each really serves), rotation, quiet, multicast, and several capture files.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fstream>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "support/temp_dir.hpp"
#include "tools/fipdump/options.hpp"
#include "tools/fipdump/output/metrics_server.hpp"

using namespace fipdump;

namespace {

ParseResult parse(std::vector<std::string> args) {
    args.insert(args.begin(), "fipdump");
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    return parse_options(static_cast<int>(argv.size()), argv.data());
}

// True when a TCP connection to `addr` (IPv4 or IPv6 text) and `port` is accepted.
bool connects(const std::string& addr, std::uint16_t port) {
    sockaddr_storage ss{};
    socklen_t len = 0;
    if (addr.find(':') == std::string::npos) {
        auto& a = reinterpret_cast<sockaddr_in&>(ss);
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        inet_pton(AF_INET, addr.c_str(), &a.sin_addr);
        len = sizeof a;
    } else {
        auto& a = reinterpret_cast<sockaddr_in6&>(ss);
        a.sin6_family = AF_INET6;
        a.sin6_port = htons(port);
        inet_pton(AF_INET6, addr.c_str(), &a.sin6_addr);
        len = sizeof a;
    }
    const int fd = socket(ss.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool ok = fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&ss), len) == 0;
    if (fd >= 0) {
        close(fd);
    }
    return ok;
}

bool host_has_ipv6_loopback() {
    const int fd = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_loopback;
    const bool ok = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    if (fd >= 0) {
        close(fd);
    }
    return ok;
}

} // namespace

TEST(FipdumpNetOptions, MetricsAddressFormsParseAndServe) {
    struct Case {
        std::string arg;
        std::string host;
        std::uint16_t port;
    };
    for (const Case& c : std::vector<Case>{{"127.0.0.1:9187", "127.0.0.1", 9187},
                                           {"[::1]:9187", "::1", 9187},
                                           {":9187", "", 9187},
                                           {"localhost:0", "localhost", 0}}) {
        const ParseResult r = parse({"--metrics", c.arg});
        ASSERT_EQ(r.error, "") << c.arg;
        EXPECT_TRUE(r.options.metrics);
        EXPECT_EQ(r.options.metrics_addr, c.host) << c.arg;
        EXPECT_EQ(r.options.metrics_port, c.port) << c.arg;
    }
    for (const std::string bad : {"9187", "::1:9187", "[::1]9187", "[]:9187", "host:", "h:70000"}) {
        EXPECT_NE(parse({"--metrics", bad}).error, "") << bad;
    }
    const auto render = [] { return std::string("x 1\n"); };
    // Every address: both families on one socket.
    MetricsServer all("", 0, render);
    ASSERT_TRUE(all.ok()) << all.error();
    EXPECT_TRUE(connects("127.0.0.1", all.port()));
    EXPECT_EQ(all.endpoint(), std::string(":").append(std::to_string(all.port())));
    MetricsServer named("localhost", 0, render);
    ASSERT_TRUE(named.ok()) << named.error();
    EXPECT_NE(named.endpoint().find(std::to_string(named.port())), std::string::npos);
    if (host_has_ipv6_loopback()) {
        EXPECT_TRUE(connects("::1", all.port()));
        MetricsServer v6("::1", 0, render);
        ASSERT_TRUE(v6.ok()) << v6.error();
        EXPECT_EQ(v6.endpoint(), std::string("[::1]:").append(std::to_string(v6.port())));
        EXPECT_TRUE(connects("::1", v6.port()));
        EXPECT_FALSE(connects("127.0.0.1", v6.port()));
    }
    MetricsServer unknown("no-such-host.invalid", 0, render);
    EXPECT_FALSE(unknown.ok());
}

TEST(FipdumpNetOptions, RecordingReadingAndReceivingOptions) {
    const ParseResult r = parse({"-q", "-w", "rec-%H.pcap", "-C", "0.5", "-G", "3600", "-W", "24",
                                 "-g", "239.1.2.3", "--iface", "eth1"});
    ASSERT_EQ(r.error, "");
    EXPECT_TRUE(r.options.quiet);
    EXPECT_DOUBLE_EQ(*r.options.rotate_mb, 0.5);
    EXPECT_EQ(r.options.rotate_seconds, 3600U);
    EXPECT_EQ(r.options.ring_files, 24U);
    EXPECT_EQ(r.options.group, "239.1.2.3");
    EXPECT_EQ(r.options.iface, "eth1");
    EXPECT_EQ(parse({"-g", "ff02::1:3"}).error, "");

    // Several -r, and a glob expanded to every match.
    testsupport::TempDir dir;
    for (const char* name : {"a1.pcap", "a2.pcap", "b.pcap"}) {
        std::ofstream(dir.file(name)) << "";
    }
    const ParseResult files = parse({"-r", dir.file("a*.pcap"), "-r", dir.file("b.pcap")});
    ASSERT_EQ(files.error, "");
    EXPECT_EQ(
        files.options.read_paths,
        (std::vector<std::string>{dir.file("a1.pcap"), dir.file("a2.pcap"), dir.file("b.pcap")}));

    for (const auto& bad :
         std::vector<std::vector<std::string>>{{"-r", dir.file("none*.pcap")},
                                               {"-C", "10"},                // without -w
                                               {"-w", "x.pcap", "-W", "3"}, // a ring needs -C or -G
                                               {"-w", "x.pcap", "-C", "0"},
                                               {"-w", "x.pcap", "-G", "-5"},
                                               {"-g", "10.0.0.1"}, // not a group
                                               {"-g", "fe80::1"},
                                               {"-r", dir.file("b.pcap"), "-g", "239.1.2.3"}}) {
        EXPECT_NE(parse(bad).error, "") << bad[0] << " " << bad[1];
    }
}
