// The UDP sockets fipdump listens on: bound to every address (an IPv4 socket, and an IPv6 one
// where the host has IPv6) with address and port reuse so that it runs beside other receivers of
// the broadcasts, an optional multicast group and interface, an optional larger receive buffer, and
// the kernel's count of datagrams it dropped for want of buffer space.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tools/fipdump/input/received.hpp"

namespace fipdump {

class UdpListener {
public:
    // Opens and binds the socket; ok() is false and error() says why when it cannot.
    // `rcvbuf_bytes` asks the kernel for that receive buffer (it may grant less; see
    // rcvbuf_granted()).
    // `group` (IPv4 or IPv6 multicast address, may be empty) is joined on `iface` (a name, may
    // be empty: the kernel's choice); a named interface also binds the socket to it.
    UdpListener(std::uint16_t port, std::optional<int> rcvbuf_bytes, const std::string& group = {},
                const std::string& iface = {});
    ~UdpListener();
    UdpListener(const UdpListener&) = delete;
    UdpListener& operator=(const UdpListener&) = delete;

    bool ok() const;
    const std::string& error() const { return why; }

    // Waits up to `timeout` for one datagram. Returns it (its bytes valid until the next call),
    // or nullopt after the time-out or when a signal interrupted the wait. Main thread.
    std::optional<Received> receive(std::chrono::milliseconds timeout);

    // Datagrams the kernel dropped on this socket since it was opened, when the kernel reports
    // it (it does with each datagram received after a drop); nullopt before any report.
    std::optional<std::uint64_t> kernel_drops() const { return drops; }

    // UDP datagrams over IPv4 to other ports than ours, by destination port, as far as the
    // host lets fipdump see them (a raw socket, with CAP_NET_RAW; otherwise none): what tells a
    // user listening on the wrong port where the stream goes. Counted at least every receive().
    const std::map<std::uint16_t, std::uint64_t>& other_ports() const { return others; }
    // Counts what waits on the raw socket now (receive() does so every 100 ms). Main thread.
    void watch_other_ports();

    // The receive buffer the kernel actually granted, in bytes (as getsockopt reports it).
    int rcvbuf_granted() const;

private:
    int fds[2] = {-1, -1}; // IPv4, IPv6
    int raw = -1;          // every UDP datagram over IPv4, headers only
    std::uint16_t own_port = 0;
    std::map<std::uint16_t, std::uint64_t> others;
    std::chrono::steady_clock::time_point last_watch{};
    std::uint64_t socket_drops[2] = {0, 0};
    std::size_t next_first = 0;
    std::vector<std::uint8_t> buffer;
    std::optional<std::uint64_t> drops;
    std::string why;
};

} // namespace fipdump
