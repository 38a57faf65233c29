// The destination and datagram-size keys of the configuration file: good values taken, bad
// values refused with a message and the setting left as it was; and the destination resolved
// from them. No datagram is sent.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/conf_file.hpp"
#include "app/config.hpp"
#include "support/temp_dir.hpp"
#include "udp/destination.hpp"

namespace {

using testsupport::TempDir;

class SendKeys : public testing::Test {
protected:
    void SetUp() override { reset_config(&c); }
    void TearDown() override { release_config_texts(&c); }

    // Writes `text` as the configuration file and reads it; the problems reported.
    std::vector<std::string> read(const std::string& text) {
        const std::string path = dir.file("fipgate.conf");
        FILE* f = std::fopen(path.c_str(), "w");
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
        replace_text(&c.conf_file_name, path.c_str());
        std::vector<std::string> problems;
        EXPECT_EQ(read_conf_file(&c, 0, &problems), 0);
        return problems;
    }

    static std::string text_of(const char* p) { return p != nullptr ? p : "(null)"; }

    TempDir dir;
    app_cfg c{};
};

TEST_F(SendKeys, DefaultsAreTodaysBroadcast) {
    EXPECT_EQ(c.udp_address, nullptr);
    EXPECT_EQ(c.udp_interface, nullptr);
    EXPECT_EQ(c.multicast_ttl, 1);
    EXPECT_EQ(c.datagram_cap, 65507);
}

TEST_F(SendKeys, GoodValuesAreTakenWithTheFileSyntax) {
    EXPECT_TRUE(read("UdpAddress = 239.1.2.3 # plant group\nUdpInterface=eth1\n"
                     "Multicast Ttl = 16\nMaxDatagramBytes=1472\n")
                    .empty());
    EXPECT_EQ(text_of(c.udp_address), "239.1.2.3");
    EXPECT_EQ(text_of(c.udp_interface), "eth1");
    EXPECT_EQ(c.multicast_ttl, 16);
    EXPECT_EQ(c.datagram_cap, 1472);
    // IPv6 with its colons, and the limits of each range.
    EXPECT_TRUE(read("UdpAddress=ff15::1\nMulticastTtl=0\nMaxDatagramBytes=1010\n").empty());
    EXPECT_EQ(text_of(c.udp_address), "ff15::1");
    EXPECT_EQ(c.multicast_ttl, 0);
    EXPECT_EQ(c.datagram_cap, 1010);
    EXPECT_TRUE(read("MulticastTtl=255\nMaxDatagramBytes=65507\n").empty());
    EXPECT_EQ(c.multicast_ttl, 255);
    EXPECT_EQ(c.datagram_cap, 65507);
}

// Each bad value is named in its message and leaves the previous value in force, while the
// good lines around it still apply.
TEST_F(SendKeys, BadValuesKeepThePreviousValueAndAreReported) {
    ASSERT_TRUE(read("UdpAddress=10.0.0.255\nUdpInterface=eth0\nMulticastTtl=4\n"
                     "MaxDatagramBytes=1472\n")
                    .empty());
    const std::vector<std::string> problems =
        read("UdpAddress=plant-gateway\nUdpInterface=averyveryverylongname\nMulticastTtl=256\n"
             "MaxDatagramBytes=1009\nUdpPort=5000\n");
    ASSERT_EQ(problems.size(), 4u);
    EXPECT_EQ(problems[0], "UdpAddress: 'plant-gateway' is not a numeric IPv4 or IPv6 address");
    EXPECT_EQ(problems[1], "UdpInterface: 'averyveryverylongname' is not an interface name (1 to "
                           "15 characters)");
    EXPECT_EQ(problems[2], "MulticastTtl: '256' is not a number from 0 to 255");
    EXPECT_EQ(problems[3], "MaxDatagramBytes: '1009' is not a number from 1010 to 65507");
    EXPECT_EQ(text_of(c.udp_address), "10.0.0.255");
    EXPECT_EQ(text_of(c.udp_interface), "eth0");
    EXPECT_EQ(c.multicast_ttl, 4);
    EXPECT_EQ(c.datagram_cap, 1472);
    EXPECT_EQ(c.udp_port, 5000);

    // The refused values held for that reading only: the next one starts from the file again,
    // where the lines are gone or corrected.
    EXPECT_TRUE(read("UdpInterface=eth1\n").empty());
    EXPECT_EQ(c.udp_address, nullptr);
    EXPECT_EQ(text_of(c.udp_interface), "eth1");
    EXPECT_EQ(c.multicast_ttl, 1);
    EXPECT_EQ(c.datagram_cap, 65507);
    EXPECT_EQ(c.udp_port, 5000); // the older keys keep what the file last said, as always
}

TEST_F(SendKeys, NumbersMustBeWholeAndUnsigned) {
    for (const char* ttl : {"4x", "-1", "0x10", "99999999999999999999", "+4"}) {
        const auto problems = read(std::string("MulticastTtl=") + ttl + "\n");
        EXPECT_EQ(problems.size(), 1u) << ttl;
        EXPECT_EQ(c.multicast_ttl, 1) << ttl;
    }
    for (const char* cap : {"1472bytes", "65508", "-1472", "1e4"}) {
        EXPECT_EQ(read(std::string("MaxDatagramBytes=") + cap + "\n").size(), 1u) << cap;
        EXPECT_EQ(c.datagram_cap, 65507) << cap;
    }
    for (const char* address : {"0.0.0.0", "::", "256.1.1.1", "192.168.1"}) {
        EXPECT_EQ(read(std::string("UdpAddress=") + address + "\n").size(), 1u) << address;
        EXPECT_EQ(c.udp_address, nullptr) << address;
    }
}

TEST(Destination, ResolveRefusesWhatCannotBeSentTo) {
    DestinationSettings s;
    s.interface = "nosuchif0";
    EXPECT_THROW(Destination::resolve(s), std::invalid_argument);
    s.interface = "";
    s.multicast_ttl = 256;
    EXPECT_THROW(Destination::resolve(s), std::invalid_argument);
    s.multicast_ttl = 1;
    s.address = "not-an-address";
    EXPECT_THROW(Destination::resolve(s), std::invalid_argument);
    try {
        s.address = "239.1.1.1";
        s.interface = "nosuchif0";
        Destination::resolve(s);
        FAIL();
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "UdpInterface: no interface named 'nosuchif0'");
    }
}

// The defaults resolve to the gateway's historical destination; a link-local IPv6 address
// takes its scope from the interface, without which it names no link.
TEST(Destination, DefaultsAndLinkLocalScope) {
    DestinationSettings s;
    s.port = 5000;
    const Destination d = Destination::resolve(s);
    EXPECT_TRUE(d.is_limited_broadcast());
    EXPECT_EQ(d.describe(), "255.255.255.255:5000");
    EXPECT_EQ(d.on_port(5001).port(), 5001);

    s.address = "fe80::1";
    s.interface = "lo";
    const Destination ll = Destination::resolve(s);
    EXPECT_FALSE(ll.is_limited_broadcast());
    EXPECT_NE(ll.endpoint().address().to_v6().scope_id(), 0u);
    s.address = "255.255.255.255";
    EXPECT_FALSE(Destination::resolve(s).is_limited_broadcast()) << "bound to an interface";
}

} // namespace
