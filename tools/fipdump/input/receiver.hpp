// The UDP sockets fipdump listens on: bound to every address (an IPv4 socket, and an IPv6 one
// where the host has IPv6) with address and port reuse so that it runs beside other receivers of
// the broadcasts, an optional multicast group and interface, a receive buffer sized for bursts,
// and the kernel's count of datagrams it dropped for want of buffer space. Datagrams are taken
// in batches: at full rate one system call fetches what piled up.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <vector>

#include "tools/fipdump/input/received.hpp"

namespace fipdump {

// The receive buffer asked for without --rcvbuf: a third of a second of the stream at five
// million records per second, or seconds of a busy plant's, while the reader is held up (the
// kernel's default holds about three full datagrams).
constexpr int kDefaultRcvbuf = 32 * 1024 * 1024; // bytes

// Room for up to `slots` datagrams received in one call, and what they were: each slot holds
// the largest datagram, so a batch is reused, never reallocated.
class DatagramBatch {
public:
    explicit DatagramBatch(std::size_t slots);
    DatagramBatch(const DatagramBatch&) = delete;
    DatagramBatch& operator=(const DatagramBatch&) = delete;

    // The datagrams of the last receive, in order; their bytes live as long as the batch is not
    // received into again.
    const std::vector<Received>& datagrams() const { return got; }
    // The kernel's drop count as the last datagram of the batch reported it, if it did.
    std::optional<std::uint64_t> kernel_drops() const { return drops; }

private:
    friend class UdpListener;
    std::vector<std::uint8_t> bytes;
    std::vector<mmsghdr> headers;
    std::vector<iovec> iovs;
    std::vector<sockaddr_storage> senders;
    std::vector<std::uint8_t> control;
    std::vector<Received> got;
    std::optional<std::uint64_t> drops;
};

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

    // Waits up to `timeout` for datagrams and fills `batch` with what waits on one socket, as
    // many as it holds. Returns how many (0 after the time-out or a signal). One thread at a
    // time.
    std::size_t receive(DatagramBatch& batch, std::chrono::milliseconds timeout);

    // Datagrams the kernel dropped on this socket since it was opened, when the kernel reports
    // it (it does with each datagram received after a drop); nullopt before any report.
    std::optional<std::uint64_t> kernel_drops() const { return drops; }

    // UDP datagrams over IPv4 to other ports than ours, by destination port, as far as the
    // host lets fipdump see them (a raw socket, with CAP_NET_RAW; otherwise none): what tells a
    // user listening on the wrong port where the stream goes. Counted at least every receive().
    const std::map<std::uint16_t, std::uint64_t>& other_ports() const { return others; }
    // Counts what waits on the raw socket now (receive() does so every 100 ms). Main thread.
    void watch_other_ports();

    // The receive buffer the kernel actually granted, in bytes (as getsockopt reports it: twice
    // what was asked, the kernel counting its own overhead, unless capped).
    int rcvbuf_granted() const;

private:
    int fds[2] = {-1, -1}; // IPv4, IPv6
    int raw = -1;          // every UDP datagram over IPv4, headers only
    std::uint16_t own_port = 0;
    std::map<std::uint16_t, std::uint64_t> others;
    std::chrono::steady_clock::time_point last_watch{};
    std::uint64_t socket_drops[2] = {0, 0};
    std::size_t next_first = 0;
    DatagramBatch single{1};
    std::optional<std::uint64_t> drops;
    std::string why;
};

} // namespace fipdump
