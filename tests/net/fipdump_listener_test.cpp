// fipdump's sockets on the private namespace's loopback: unicast over IPv4 and IPv6, a joined
// IPv4 multicast group, and datagrams to other ports noticed rather than silently missing.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "support/fipdump_stream.hpp"
#include "support/loopback_only.hpp"
#include "tools/fipdump/input/receiver.hpp"

using namespace fipdump;
using namespace std::chrono_literals;

namespace {

constexpr std::uint16_t port = 57321;

// Sends `payload` from a fresh socket of `family` to `addr`:`to_port`; multicast goes out on lo.
void send_to(int family, const std::string& addr, std::uint16_t to_port,
             const fipdump_test::Bytes& payload) {
    const int s = socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(s, 0);
    const int on = 1;
    setsockopt(s, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    ssize_t n = -1;
    if (family == AF_INET) {
        in_addr lo{htonl(INADDR_LOOPBACK)};
        setsockopt(s, IPPROTO_IP, IP_MULTICAST_IF, &lo, sizeof lo);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(to_port);
        inet_pton(AF_INET, addr.c_str(), &a.sin_addr);
        n = sendto(s, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
    } else {
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_port = htons(to_port);
        inet_pton(AF_INET6, addr.c_str(), &a.sin6_addr);
        n = sendto(s, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    EXPECT_EQ(n, static_cast<ssize_t>(payload.size())) << addr << ": " << std::strerror(errno);
    close(s);
}

std::optional<std::string> receive_from(UdpListener& l) {
    const auto r = l.receive(2000ms);
    if (!r) {
        return std::nullopt;
    }
    return to_string(r->from);
}

} // namespace

TEST(FipdumpListener, UnicastBothFamiliesAMulticastGroupAndOtherPorts) {
    ASSERT_TRUE(only_loopback_present()) << "run through netns-run";
    const auto d = fipdump_test::datagram(1, {fipdump_test::capture_record(1)});
    {
        UdpListener l(port, std::nullopt);
        ASSERT_TRUE(l.ok()) << l.error();
        send_to(AF_INET, "127.0.0.1", port, d);
        EXPECT_EQ(receive_from(l).value_or("none").rfind("127.0.0.1:", 0), 0U);
        send_to(AF_INET6, "::1", port, d);
        EXPECT_EQ(receive_from(l).value_or("none").rfind("[::1]:", 0), 0U);
        send_to(AF_INET, "255.255.255.255", 5000, d);
        send_to(AF_INET, "127.0.0.1", 5000, d);
        send_to(AF_INET, "127.0.0.1", 6000, d);
        l.watch_other_ports();
        // Only with CAP_NET_RAW, which the namespace's root has.
        EXPECT_EQ(l.other_ports(), (std::map<std::uint16_t, std::uint64_t>{{5000, 2}, {6000, 1}}));
    }
    {
        UdpListener l(port, std::nullopt, "239.1.2.3", "lo");
        ASSERT_TRUE(l.ok()) << l.error();
        send_to(AF_INET, "239.1.2.3", port, d);
        EXPECT_TRUE(receive_from(l).has_value());
        send_to(AF_INET, "239.9.9.9", port, d); // a group not joined
        EXPECT_FALSE(receive_from(l).has_value());
    }
    UdpListener no_such(port, std::nullopt, "239.1.2.3", "no-such-if0");
    EXPECT_FALSE(no_such.ok());
    EXPECT_NE(no_such.error().find("no-such-if0"), std::string::npos);
}
