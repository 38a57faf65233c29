#include "tools/fipdump/input/receiver.hpp"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace fipdump {

namespace {
constexpr std::size_t kMaxDatagram = 65536; // bytes: above the largest UDP payload over IPv4
constexpr std::size_t kControlSpace = 256;  // bytes for the time-stamp and drop-count messages
constexpr std::size_t kIpv4MaxHeader = 60;  // bytes
constexpr std::size_t kUdpHeader = 8;       // bytes
constexpr int kOtherPortsPerCall = 1024;    // raw packets looked at per watch
constexpr std::chrono::milliseconds kOtherPortsInterval{100}; // between two watches
// The sender as fipdump names it: an IPv4 address (also when it came mapped into IPv6) or an
// IPv6 one.
Sender sender_of(const sockaddr_storage& from) {
    Sender s;
    if (from.ss_family == AF_INET6) {
        const auto& a6 = reinterpret_cast<const sockaddr_in6&>(from);
        s.port = ntohs(a6.sin6_port);
        if (IN6_IS_ADDR_V4MAPPED(&a6.sin6_addr)) {
            std::uint32_t v4 = 0;
            std::memcpy(&v4, a6.sin6_addr.s6_addr + 12, sizeof v4);
            s.addr = ntohl(v4);
        } else {
            s.v6 = true;
            std::memcpy(s.addr6.data(), a6.sin6_addr.s6_addr, s.addr6.size());
        }
        return s;
    }
    const auto& a4 = reinterpret_cast<const sockaddr_in&>(from);
    s.addr = ntohl(a4.sin_addr.s_addr);
    s.port = ntohs(a4.sin_port);
    return s;
}

} // namespace

namespace {

struct Opened {
    int fd = -1;
    std::string why;
};

// One socket of `family` bound to every address of that family on `port` (an IPv6 one takes
// IPv6 only: IPv4 has its own socket, whose sender addresses the kernel reports reliably for
// broadcasts), bound to `iface` when named, member of `group` when given.
Opened open_socket(int family, std::uint16_t port, std::optional<int> rcvbuf_bytes,
                   const std::string& iface, unsigned ifindex, const in_addr* group4,
                   const in6_addr* group6, const std::string& group) {
    Opened o;
    const int s = socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        o.why = std::string("socket: ") + std::strerror(errno);
        return o;
    }
    const int on = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    setsockopt(s, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on);
    setsockopt(s, SOL_SOCKET, SO_TIMESTAMP, &on, sizeof on);
    setsockopt(s, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on);
    if (family == AF_INET6) {
        setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    }
    if (rcvbuf_bytes) {
        // SO_RCVBUFFORCE passes the system's limit when privileged; otherwise the plain
        // option gets what rmem_max allows.
        if (setsockopt(s, SOL_SOCKET, SO_RCVBUFFORCE, &*rcvbuf_bytes, sizeof(int)) != 0) {
            setsockopt(s, SOL_SOCKET, SO_RCVBUF, &*rcvbuf_bytes, sizeof(int));
        }
    }
    const auto fail = [&](const std::string& what) {
        o.why = what + ": " + std::strerror(errno);
        close(s);
        return o;
    };
    if (!iface.empty() && setsockopt(s, SOL_SOCKET, SO_BINDTODEVICE, iface.c_str(),
                                     static_cast<socklen_t>(iface.size())) != 0) {
        return fail("bind to interface " + iface);
    }
    int rc = 0;
    if (family == AF_INET6) {
        sockaddr_in6 addr{};
        addr.sin6_family = AF_INET6;
        addr.sin6_port = htons(port);
        addr.sin6_addr = in6addr_any;
        rc = bind(s, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    } else {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_ANY);
        rc = bind(s, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    }
    if (rc != 0) {
        return fail("bind to port " + std::to_string(port));
    }
    if (group4 != nullptr) {
        ip_mreqn m{};
        m.imr_multiaddr = *group4;
        m.imr_ifindex = static_cast<int>(ifindex);
        if (setsockopt(s, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m) != 0) {
            return fail("join " + group);
        }
    } else if (group6 != nullptr) {
        ipv6_mreq m{};
        m.ipv6mr_multiaddr = *group6;
        m.ipv6mr_interface = ifindex;
        if (setsockopt(s, IPPROTO_IPV6, IPV6_JOIN_GROUP, &m, sizeof m) != 0) {
            return fail("join " + group);
        }
    }
    o.fd = s;
    return o;
}

} // namespace

UdpListener::UdpListener(std::uint16_t port, std::optional<int> rcvbuf_bytes,
                         const std::string& group, const std::string& iface) {
    in_addr group4{};
    in6_addr group6{};
    const bool v4_group = !group.empty() && inet_pton(AF_INET, group.c_str(), &group4) == 1;
    const bool v6_group =
        !group.empty() && !v4_group && inet_pton(AF_INET6, group.c_str(), &group6) == 1;
    if (!group.empty() && !v4_group && !v6_group) {
        why = "invalid multicast group " + group;
        return;
    }
    unsigned ifindex = 0;
    if (!iface.empty()) {
        ifindex = if_nametoindex(iface.c_str());
        if (ifindex == 0) {
            why = "interface " + iface + ": " + std::strerror(errno);
            return;
        }
    }
    own_port = port;
    // Not permitted without CAP_NET_RAW: then other ports are simply not watched.
    raw = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_UDP);
    // Without a group, both families (IPv4 broadcast and unicast, IPv6 unicast); with one, the
    // family of the group. A host without IPv6 simply has no IPv6 socket.
    if (!v6_group) {
        Opened o = open_socket(AF_INET, port, rcvbuf_bytes, iface, ifindex,
                               v4_group ? &group4 : nullptr, nullptr, group);
        if (o.fd < 0) {
            why = o.why;
            return;
        }
        fds[0] = o.fd;
    }
    if (!v4_group) {
        Opened o = open_socket(AF_INET6, port, rcvbuf_bytes, iface, ifindex, nullptr,
                               v6_group ? &group6 : nullptr, group);
        if (o.fd < 0 && v6_group) {
            why = o.why;
            return;
        }
        fds[1] = o.fd;
    }
}

UdpListener::~UdpListener() {
    if (raw >= 0) {
        close(raw);
    }
    for (const int fd : fds) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

bool UdpListener::ok() const {
    return why.empty() && (fds[0] >= 0 || fds[1] >= 0);
}

int UdpListener::rcvbuf_granted() const {
    int size = 0;
    socklen_t len = sizeof size;
    const int fd = fds[0] >= 0 ? fds[0] : fds[1];
    if (fd < 0 || getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, &len) != 0) {
        return 0;
    }
    return size;
}

void UdpListener::watch_other_ports() {
    if (raw < 0) {
        return;
    }
    // Bounded per call so that a flood on other ports cannot starve our own; what the raw
    // socket's buffer cannot hold meanwhile is not counted ("at least").
    std::uint8_t head[kIpv4MaxHeader + kUdpHeader];
    for (int i = 0; i < kOtherPortsPerCall; ++i) {
        const ssize_t n = recv(raw, head, sizeof head, MSG_DONTWAIT | MSG_TRUNC);
        if (n < 0) {
            return;
        }
        const std::size_t got = std::min(static_cast<std::size_t>(n), sizeof head);
        if (got < 20) {
            continue;
        }
        const std::size_t ihl = std::size_t(head[0] & 0x0F) * 4;
        const bool later_fragment = ((head[6] & 0x1F) | head[7]) != 0;
        if (later_fragment || ihl < 20 || got < ihl + 4) {
            continue; // no UDP header in it
        }
        const auto dst = static_cast<std::uint16_t>((head[ihl + 2] << 8) | head[ihl + 3]);
        if (dst != own_port) {
            ++others[dst];
        }
    }
}

DatagramBatch::DatagramBatch(std::size_t slots)
    : bytes(slots * kMaxDatagram), headers(slots), iovs(slots), senders(slots),
      control(slots * kControlSpace) {
    got.reserve(slots);
}

std::optional<Received> UdpListener::receive(std::chrono::milliseconds timeout) {
    if (receive(single, timeout) == 0) {
        return std::nullopt;
    }
    return single.datagrams().front();
}

std::size_t UdpListener::receive(DatagramBatch& batch, std::chrono::milliseconds timeout) {
    batch.got.clear();
    // Now and then only: the raw socket also holds a copy of every datagram of the stream.
    const auto now = std::chrono::steady_clock::now();
    if (raw >= 0 && now - last_watch >= kOtherPortsInterval) {
        last_watch = now;
        watch_other_ports();
    }
    pollfd p[2] = {{fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}}; // poll skips a negative fd
    if (poll(p, 2, static_cast<int>(timeout.count())) <= 0) {
        return 0; // time-out, or a signal the caller will look at
    }
    // Taking turns when both have datagrams waiting, so that neither starves the other.
    std::size_t which = (p[0].revents & POLLIN) != 0 ? 0 : 1;
    if ((p[0].revents & POLLIN) != 0 && (p[1].revents & POLLIN) != 0) {
        which = next_first;
        next_first ^= 1U;
    }
    const std::size_t slots = batch.headers.size();
    for (std::size_t i = 0; i < slots; ++i) {
        batch.iovs[i] = {batch.bytes.data() + i * kMaxDatagram, kMaxDatagram};
        msghdr& m = batch.headers[i].msg_hdr;
        m = msghdr{};
        m.msg_name = &batch.senders[i];
        m.msg_namelen = sizeof(sockaddr_storage);
        m.msg_iov = &batch.iovs[i];
        m.msg_iovlen = 1;
        m.msg_control = batch.control.data() + i * kControlSpace;
        m.msg_controllen = kControlSpace;
    }
    const int n = recvmmsg(fds[which], batch.headers.data(), static_cast<unsigned>(slots),
                           MSG_DONTWAIT, nullptr);
    if (n <= 0) {
        return 0;
    }
    const auto arrival = std::chrono::system_clock::now();
    for (std::size_t i = 0; i < static_cast<std::size_t>(n); ++i) {
        msghdr& m = batch.headers[i].msg_hdr;
        Received r;
        r.time = arrival;
        for (cmsghdr* c = CMSG_FIRSTHDR(&m); c != nullptr; c = CMSG_NXTHDR(&m, c)) {
            if (c->cmsg_level != SOL_SOCKET) {
                continue;
            }
            if (c->cmsg_type == SO_TIMESTAMP && c->cmsg_len >= CMSG_LEN(sizeof(timeval))) {
                timeval tv{};
                std::memcpy(&tv, CMSG_DATA(c), sizeof tv);
                r.time = std::chrono::system_clock::time_point(
                    std::chrono::seconds(tv.tv_sec) + std::chrono::microseconds(tv.tv_usec));
            } else if (c->cmsg_type == SO_RXQ_OVFL &&
                       c->cmsg_len >= CMSG_LEN(sizeof(std::uint32_t))) {
                std::uint32_t dropped = 0;
                std::memcpy(&dropped, CMSG_DATA(c), sizeof dropped);
                socket_drops[which] = dropped;
                drops = socket_drops[0] + socket_drops[1];
            }
        }
        // A datagram longer than a slot cannot come over IPv4; if it did, MSG_TRUNC makes the
        // decoder see only what was kept, and report it malformed rather than read on.
        const std::size_t len = std::min<std::size_t>(batch.headers[i].msg_len, kMaxDatagram);
        r.bytes = std::span<const std::uint8_t>(batch.bytes.data() + i * kMaxDatagram, len);
        r.from = sender_of(batch.senders[i]);
        batch.got.push_back(r);
    }
    batch.drops = drops;
    return batch.got.size();
}

} // namespace fipdump
