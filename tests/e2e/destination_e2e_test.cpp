// The real gateway on the simulated card sending beyond the limited broadcast: each kind of
// destination from the configuration file, a reload that moves the stream, bad values at start
// and at a reload, the datagram size cap, and two cards side by side. Runs inside a private
// network namespace (only lo, with a route for multicast) and a private /dev/log.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <set>
#include <sys/stat.h>
#include <sys/wait.h>

#include "support/gateway_run.hpp"
#include "support/loopback_only.hpp"
#include "support/udp_listener.hpp"

using namespace std::chrono_literals;
using testsupport::GatewayRun;
using testsupport::TempDir;
using testsupport::UdpListener;

namespace {

constexpr std::uint16_t port = 57131;

class DestinationE2E : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(only_loopback_present()) << "run through netns-run";
        ASSERT_TRUE(testsupport::route_multicast_on_lo());
    }
    // Writes the configuration file and returns its path.
    std::string conf(const std::string& text, const std::string& name = "fipgate.conf") {
        const std::string path = dir.file(name);
        std::ofstream(path) << text;
        return path;
    }
    TempDir dir;
};

// What one receiver got: records in order, the addresses the datagrams were sent to.
struct Received {
    std::vector<std::uint64_t> seqs;
    std::vector<std::uint64_t> capture_idx;
    std::size_t lifesigns = 0;
    std::size_t largest = 0;
    std::size_t malformed = 0;
    std::set<std::string> sent_to;
    std::set<std::uint32_t> serials;

    // Receives until `done` holds or `timeout` passes; returns done's last value.
    template <typename Done>
    bool collect(UdpListener& rx, Done done, std::chrono::milliseconds timeout) {
        return testsupport::receive_until(
            rx, [&](const std::vector<std::uint8_t>& d) { add(d, rx.last_destination()); },
            [&] { return done(*this); }, timeout);
    }

    void add(const std::vector<std::uint8_t>& d, const std::string& to) {
        largest = std::max(largest, d.size());
        sent_to.insert(to);
        const wire::Datagram decoded = wire::decode_datagram(std::span<const std::uint8_t>(d));
        if (!decoded.ok()) {
            ++malformed;
            return;
        }
        seqs.push_back(decoded.seq);
        for (const auto& e : decoded.events) {
            if (const auto* c = std::get_if<wire::CaptureRecord>(&e)) {
                capture_idx.push_back(c->idx);
            } else {
                ++lifesigns;
                serials.insert(std::get<wire::LifesignRecord>(e).sn);
            }
        }
    }

    // Every datagram in sequence from 1 and every record from 1 to `records`, in order.
    void expect_complete(std::size_t records) const {
        EXPECT_EQ(malformed, 0u);
        ASSERT_FALSE(seqs.empty());
        EXPECT_EQ(seqs.front(), 1u);
        for (std::size_t i = 1; i < seqs.size(); ++i) {
            ASSERT_EQ(seqs[i], seqs[i - 1] + 1) << "datagram sequence broke at " << i;
        }
        ASSERT_EQ(capture_idx.size(), records);
        for (std::size_t i = 0; i < capture_idx.size(); ++i) {
            ASSERT_EQ(capture_idx[i], i + 1) << "record order broke at " << i;
        }
    }
};

bool has_records(const Received& r, std::size_t n) {
    return r.capture_idx.size() >= n && r.lifesigns > 0;
}

struct KindCase {
    const char* name;
    const char* address;
    const char* interface; // "" for none
};

void PrintTo(const KindCase& c, std::ostream* os) {
    *os << c.name;
}

class EachKind : public DestinationE2E, public ::testing::WithParamInterface<KindCase> {};

TEST_P(EachKind, EveryRecordReachesTheConfiguredDestination) {
    const KindCase& c = GetParam();
    constexpr std::size_t records = 3000;
    std::string text =
        "UdpAddress = " + std::string(c.address) + "\nUdpPort = " + std::to_string(port) + "\n";
    if (*c.interface != '\0') {
        text += "UdpInterface = " + std::string(c.interface) + "\n";
    }
    UdpListener rx(c.address, port);
    ASSERT_TRUE(rx.ok());
    GatewayRun gw({{"-C", conf(text), "-R", "100"},
                   {{"CAPVANE_SIM_RECORDS", std::to_string(records)}},
                   false});
    ASSERT_TRUE(gw.wait_running()) << gw.process().out();
    Received r;
    EXPECT_TRUE(r.collect(
        rx, [&](const Received& x) { return has_records(x, records); }, 60s))
        << r.capture_idx.size() << " records";
    EXPECT_EQ(gw.stop(SIGTERM), 0);
    r.expect_complete(records);
    EXPECT_EQ(r.sent_to, std::set<std::string>{c.address});
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, EachKind,
    ::testing::Values(KindCase{"LimitedBroadcastOutOfLo", "255.255.255.255", "lo"},
                      KindCase{"DirectedBroadcast", "127.255.255.255", ""},
                      KindCase{"Unicast", "127.0.0.1", ""},
                      KindCase{"Multicast", "239.255.20.1", ""},
                      KindCase{"MulticastOutOfLo", "239.255.20.3", "lo"},
                      KindCase{"Ipv6Unicast", "::1", ""}),
    [](const ::testing::TestParamInfo<KindCase>& info) { return std::string(info.param.name); });

// A reload moves the stream from a unicast receiver to a multicast group; a later reload with
// bad values keeps the group, says why in the log and in syslog, and the stream goes on; once
// the file is fixed the next reload follows it.
TEST_F(DestinationE2E, ReloadMovesTheDestinationAndBadValuesKeepIt) {
    const std::string p = std::to_string(port);
    const std::string path = conf("UdpAddress = 127.0.0.1\nUdpPort = " + p + "\n");
    UdpListener unicast("127.0.0.1", port);
    GatewayRun gw({{"-C", path, "-R", "100"}, {}, false});
    ASSERT_TRUE(gw.wait_running()) << gw.process().out();
    Received before;
    ASSERT_TRUE(before.collect(
        unicast, [](const Received& r) { return r.lifesigns >= 2; }, 10s));
    EXPECT_EQ(before.sent_to, std::set<std::string>{"127.0.0.1"});

    // Bound after the unicast phase: of two sockets on one port, unicast reaches only one.
    UdpListener group("239.255.20.2", port);
    conf("UdpAddress = 239.255.20.2\nMulticastTtl = 2\n");
    ASSERT_EQ(kill(gw.process().pid(), SIGHUP), 0);
    ASSERT_TRUE(gw.wait_running(2)) << gw.process().out();
    EXPECT_NE(gw.process().out().find("udp destination 239.255.20.2:" + p + ", multicast ttl 2\n"),
              std::string::npos)
        << gw.process().out();
    Received after;
    ASSERT_TRUE(after.collect(
        group,
        [](const Received& r) { return r.sent_to.count("239.255.20.2") && r.lifesigns >= 2; },
        10s));

    conf("UdpAddress = nowhere\nUdpInterface = nosuchif0\nMulticastTtl = 2\n");
    ASSERT_EQ(kill(gw.process().pid(), SIGHUP), 0);
    ASSERT_TRUE(gw.wait_running(3)) << gw.process().out();
    const std::string& out = gw.process().out();
    EXPECT_NE(out.find("configuration file " + path +
                       ": UdpAddress: 'nowhere' is not a numeric IPv4 or IPv6 address; the "
                       "previous value is kept\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("configuration file " + path +
                       ": UdpInterface: no interface named 'nosuchif0'; keeping 239.255.20.2:" + p +
                       ", multicast ttl 2\n"),
              std::string::npos)
        << out;
    EXPECT_TRUE(gw.syslog().wait_for("Configuration file " + path +
                                         ": UdpAddress: 'nowhere' is not a numeric IPv4 or IPv6 "
                                         "address; the previous value is kept",
                                     2s));
    Received kept;
    EXPECT_TRUE(kept.collect(
        group,
        // Sequence 1 again: the generation built after the bad reload sends to the group.
        [](const Received& r) {
            return std::find(r.seqs.begin(), r.seqs.end(), 1u) != r.seqs.end() && r.lifesigns >= 3;
        },
        10s));
    EXPECT_EQ(kept.sent_to, std::set<std::string>{"239.255.20.2"});

    // Fixing the file is enough: the interface line is gone and the next reload is judged on the
    // file alone, not on the refused values.
    UdpListener fixed_group("239.255.20.4", port);
    conf("UdpAddress = 239.255.20.4\n");
    ASSERT_EQ(kill(gw.process().pid(), SIGHUP), 0);
    ASSERT_TRUE(gw.wait_running(4)) << gw.process().out();
    Received fixed;
    EXPECT_TRUE(fixed.collect(
        fixed_group,
        [](const Received& r) {
            return std::find(r.seqs.begin(), r.seqs.end(), 1u) != r.seqs.end() && r.lifesigns >= 2;
        },
        10s))
        << gw.process().out();
    EXPECT_EQ(fixed.sent_to, std::set<std::string>{"239.255.20.4"});
    EXPECT_EQ(testsupport::count_of(gw.process().out(), "nosuchif0"), 1u) << gw.process().out();
    EXPECT_EQ(gw.stop(SIGTERM), 0);
}

// At start a bad value is not guessed around: the message, status 1, and no datagram.
TEST_F(DestinationE2E, BadValueAtStartEndsWithStatusOne) {
    struct Case {
        std::string file;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"MulticastTtl = 300\n", ": MulticastTtl: '300' is not a number from 0 to 255\n"},
        {"MaxDatagramBytes = 576\n",
         ": MaxDatagramBytes: '576' is not a number from 1010 to 65507\n"},
        {"UdpInterface = nosuchif0\n",
         "cannot build the UDP sender: UdpInterface: no interface named 'nosuchif0'\n"}};
    for (const Case& c : cases) {
        const std::string path = conf(c.file);
        testsupport::UdpListener rx(57117);
        GatewayRun gw({{"-C", path}, {}, false});
        const int status = gw.process().wait_exit(20s);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << c.file;
        EXPECT_NE(gw.process().out().find(c.message), std::string::npos)
            << c.file << gw.process().out();
        EXPECT_FALSE(rx.receive(100ms)) << c.file;
        EXPECT_TRUE(gw.syslog().wait_for("Stopped FIP to UDP analyzer daemon", 2s)) << c.file;
    }
}

// Under a burst at full speed, a 1472-byte cap gives datagrams that never fragment on
// Ethernet, and every record still arrives.
TEST_F(DestinationE2E, SizeCapHoldsUnderABurst) {
    constexpr std::size_t records = 20000;
    UdpListener rx("127.0.0.1", port);
    GatewayRun gw({{"-C", conf("UdpPort = " + std::to_string(port) + "\nMaxDatagramBytes=1472\n")},
                   {{"CAPVANE_SIM_RECORDS", std::to_string(records)}, {"CAPVANE_SIM_PACE", "max"}},
                   false});
    ASSERT_TRUE(gw.wait_running()) << gw.process().out();
    Received r;
    EXPECT_TRUE(r.collect(
        rx, [&](const Received& x) { return has_records(x, records); }, 60s))
        << r.capture_idx.size() << " records";
    EXPECT_EQ(gw.stop(SIGTERM), 0);
    r.expect_complete(records);
    EXPECT_LE(r.largest, 1472u);
    EXPECT_GT(r.largest, 1472u - 497u) << "datagrams are filled up to the cap";
    EXPECT_NE(gw.process().out().find("udp datagrams of at most 1472 bytes\n"), std::string::npos);
}

// Two cards in one PC: two gateways laid out as the packaged template unit lays them out (one
// configuration file and one buffer file per card index, in shared directories), each on its
// own port. Both streams are complete and carry their own card's serial number, the one its
// card reports, different for the two as on real cards; no file is shared, and each gateway
// removes only its own.
TEST_F(DestinationE2E, TwoCardsRunSideBySide) {
    constexpr std::size_t records = 5000;
    TempDir state;
    struct Card {
        int index;
        std::uint16_t port;
    };
    const std::vector<Card> cards = {{0, 57141}, {1, 57142}};
    std::vector<std::unique_ptr<UdpListener>> listeners;
    std::vector<std::unique_ptr<GatewayRun>> gateways;
    std::vector<std::string> buffers;
    for (const Card& c : cards) {
        const std::string i = std::to_string(c.index);
        const std::string path =
            conf("UdpPort = " + std::to_string(c.port) + "\n", "fipgate-" + i + ".conf");
        buffers.push_back(state.file("buffer-" + i + ".bin"));
        listeners.push_back(std::make_unique<UdpListener>("127.0.0.1", c.port));
        gateways.push_back(std::make_unique<GatewayRun>(testsupport::GatewayConfig{
            {"-i", i, "-C", path, "-B", buffers.back(), "-R", "100"},
            {{"CAPVANE_SIM_CARDS", "0,1"}, {"CAPVANE_SIM_RECORDS", std::to_string(records)}},
            false}));
    }
    for (auto& gw : gateways) {
        ASSERT_TRUE(gw->wait_running()) << gw->process().out();
    }
    struct stat a {};
    struct stat b {};
    ASSERT_EQ(stat(buffers[0].c_str(), &a), 0);
    ASSERT_EQ(stat(buffers[1].c_str(), &b), 0);
    EXPECT_NE(a.st_ino, b.st_ino);

    std::vector<Received> streams(cards.size());
    for (std::size_t k = 0; k < cards.size(); ++k) {
        // Until a lifesign names the card: the first may come before its identity is read.
        EXPECT_TRUE(streams[k].collect(
            *listeners[k],
            [&](const Received& x) {
                return has_records(x, records) && !x.serials.empty() && *x.serials.rbegin() != 0;
            },
            60s))
            << "card " << k << ": " << streams[k].capture_idx.size() << " records";
    }
    EXPECT_EQ(gateways[0]->stop(SIGTERM), 0);
    EXPECT_TRUE(std::ifstream(buffers[1]).good()) << "the other card's buffer file must stay";
    EXPECT_EQ(gateways[1]->stop(SIGTERM), 0);
    std::set<std::uint32_t> reported;
    for (std::size_t k = 0; k < cards.size(); ++k) {
        streams[k].expect_complete(records);
        std::set<std::uint32_t> serials = streams[k].serials;
        serials.erase(0);
        const long long serial =
            testsupport::json_number(testsupport::read_file(gateways[k]->report_path()), "serial");
        ASSERT_GT(serial, 0) << "card " << k;
        reported.insert(static_cast<std::uint32_t>(serial));
        EXPECT_EQ(serials, std::set<std::uint32_t>{static_cast<std::uint32_t>(serial)})
            << "card " << k;
        EXPECT_FALSE(std::ifstream(buffers[k]).good());
        EXPECT_NE(gateways[k]->process().out().find(
                      "udp socket connected (port=" + std::to_string(cards[k].port) + ")"),
                  std::string::npos);
    }
    EXPECT_EQ(reported.size(), cards.size()) << "two cards with one serial";
}

} // namespace
