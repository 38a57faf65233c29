#include "support/udp_listener.hpp"

#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testsupport {

namespace {

constexpr int receive_buffer_bytes = 8 * 1024 * 1024; // the test itself must lose nothing
constexpr int forced_receive_buffer_bytes = 64 * 1024 * 1024;
constexpr std::size_t max_datagram = 65536;

} // namespace

UdpListener::UdpListener(const std::string& family_of, std::uint16_t port) {
    in_addr v4{};
    in6_addr v6{};
    const bool is_v4 = inet_pton(AF_INET, family_of.c_str(), &v4) == 1;
    if (!is_v4 && inet_pton(AF_INET6, family_of.c_str(), &v6) != 1) {
        return;
    }
    this->v4 = is_v4;
    fd = socket(is_v4 ? AF_INET : AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    // Inside the private namespace the test may pass the system's limit (rmem_max): a receiver
    // that falls behind a fast sender for a moment must still lose nothing.
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &forced_receive_buffer_bytes,
                   sizeof forced_receive_buffer_bytes) != 0) {
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer_bytes, sizeof receive_buffer_bytes);
    }
    if (is_v4) {
        setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
    } else {
        setsockopt(fd, IPPROTO_IPV6, IPV6_RECVPKTINFO, &on, sizeof on);
    }
    int rc = -1;
    if (is_v4) {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_ANY);
        rc = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        if (rc == 0 && IN_MULTICAST(ntohl(v4.s_addr))) {
            // Only this group's datagrams: Linux otherwise hands a socket bound to the port every
            // group any socket of the host joined (a previous generation's drained tail included).
            const int off = 0;
            setsockopt(fd, IPPROTO_IP, IP_MULTICAST_ALL, &off, sizeof off);
            ip_mreqn req{};
            req.imr_multiaddr = v4;
            rc = setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &req, sizeof req);
        }
    } else {
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
        sockaddr_in6 addr{};
        addr.sin6_family = AF_INET6;
        addr.sin6_port = htons(port);
        addr.sin6_addr = in6addr_any;
        rc = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        if (rc == 0 && IN6_IS_ADDR_MULTICAST(&v6)) {
            ipv6_mreq req{};
            req.ipv6mr_multiaddr = v6;
            rc = setsockopt(fd, IPPROTO_IPV6, IPV6_JOIN_GROUP, &req, sizeof req);
        }
    }
    if (rc != 0) {
        close(fd);
        fd = -1;
    }
}

UdpListener::~UdpListener() {
    if (fd >= 0) {
        close(fd);
    }
}

std::optional<std::vector<std::uint8_t>> UdpListener::receive(std::chrono::milliseconds timeout) {
    if (fd < 0) {
        return std::nullopt;
    }
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(timeout.count())) <= 0) {
        return std::nullopt;
    }
    // Received into a buffer of the largest size, not a fresh zeroed vector: a receiver that
    // must keep up with a fast sender cannot clear 64 KiB per datagram.
    thread_local std::vector<std::uint8_t> scratch(max_datagram);
    iovec iov{scratch.data(), scratch.size()};
    alignas(cmsghdr) char control[256];
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    const ssize_t n = recvmsg(fd, &msg, 0);
    if (n < 0) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> datagram(scratch.begin(), scratch.begin() + n);
    destination.clear();
    char text[INET6_ADDRSTRLEN] = {};
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (v4 && c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            in_pktinfo info{};
            std::memcpy(&info, CMSG_DATA(c), sizeof info);
            destination = inet_ntop(AF_INET, &info.ipi_addr, text, sizeof text);
        } else if (!v4 && c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_PKTINFO) {
            in6_pktinfo info{};
            std::memcpy(&info, CMSG_DATA(c), sizeof info);
            destination = inet_ntop(AF_INET6, &info.ipi6_addr, text, sizeof text);
        }
    }
    return datagram;
}

bool route_multicast_on_lo() {
    return std::system("ip route replace 224.0.0.0/4 dev lo") == 0;
}

} // namespace testsupport
