#include "tools/fipdump/receiver.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace fipdump {

namespace {
constexpr std::size_t kMaxDatagram = 65536; // bytes: above the largest UDP payload over IPv4
constexpr std::size_t kControlSpace = 256;  // bytes for the time-stamp and drop-count messages
} // namespace

UdpListener::UdpListener(std::uint16_t port, std::optional<int> rcvbuf_bytes)
    : buffer(kMaxDatagram) {
    const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        why = std::string("socket: ") + std::strerror(errno);
        return;
    }
    const int on = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    setsockopt(s, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on);
    setsockopt(s, SOL_SOCKET, SO_TIMESTAMP, &on, sizeof on);
    setsockopt(s, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on);
    if (rcvbuf_bytes) {
        // SO_RCVBUFFORCE passes the system's limit when privileged; otherwise the plain
        // option gets what rmem_max allows.
        if (setsockopt(s, SOL_SOCKET, SO_RCVBUFFORCE, &*rcvbuf_bytes, sizeof(int)) != 0) {
            setsockopt(s, SOL_SOCKET, SO_RCVBUF, &*rcvbuf_bytes, sizeof(int));
        }
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(s, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        why = "bind to port " + std::to_string(port) + ": " + std::strerror(errno);
        close(s);
        return;
    }
    fd = s;
}

UdpListener::~UdpListener() {
    if (fd >= 0) {
        close(fd);
    }
}

int UdpListener::rcvbuf_granted() const {
    int size = 0;
    socklen_t len = sizeof size;
    if (fd < 0 || getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, &len) != 0) {
        return 0;
    }
    return size;
}

std::optional<Received> UdpListener::receive(std::chrono::milliseconds timeout) {
    if (fd < 0) {
        return std::nullopt;
    }
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(timeout.count())) <= 0) {
        return std::nullopt; // time-out, or a signal the caller will look at
    }
    sockaddr_in from{};
    iovec iov{buffer.data(), buffer.size()};
    alignas(cmsghdr) char control[kControlSpace];
    msghdr msg{};
    msg.msg_name = &from;
    msg.msg_namelen = sizeof from;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    const ssize_t n = recvmsg(fd, &msg, MSG_DONTWAIT);
    if (n < 0) {
        return std::nullopt;
    }
    Received r;
    r.time = std::chrono::system_clock::now();
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != SOL_SOCKET) {
            continue;
        }
        if (c->cmsg_type == SO_TIMESTAMP && c->cmsg_len >= CMSG_LEN(sizeof(timeval))) {
            timeval tv{};
            std::memcpy(&tv, CMSG_DATA(c), sizeof tv);
            r.time = std::chrono::system_clock::time_point(std::chrono::seconds(tv.tv_sec) +
                                                           std::chrono::microseconds(tv.tv_usec));
        } else if (c->cmsg_type == SO_RXQ_OVFL && c->cmsg_len >= CMSG_LEN(sizeof(std::uint32_t))) {
            std::uint32_t dropped = 0;
            std::memcpy(&dropped, CMSG_DATA(c), sizeof dropped);
            drops = dropped;
        }
    }
    // A datagram longer than the buffer cannot come over IPv4; if it did, MSG_TRUNC makes the
    // decoder see only what was kept, and report it malformed rather than read on.
    r.bytes = std::span<const std::uint8_t>(buffer.data(), static_cast<std::size_t>(n));
    r.from.addr = ntohl(from.sin_addr.s_addr);
    r.from.port = ntohs(from.sin_port);
    return r;
}

} // namespace fipdump
