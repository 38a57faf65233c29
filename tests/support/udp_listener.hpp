// A receiving socket for any destination kind the gateway sends to: IPv4 or IPv6, bound to the
// wildcard address of its family, and a member of a multicast group when one is given.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

class UdpListener {
public:
    // `family_of`: an address of the family to listen for ("127.0.0.1", "::1"); when it is a
    // multicast group, the socket joins it on the interface the route table picks.
    UdpListener(const std::string& family_of, std::uint16_t port);
    // IPv4 on 0.0.0.0:port: the gateway's broadcasts, and any unicast to this host.
    explicit UdpListener(std::uint16_t port) : UdpListener("0.0.0.0", port) {}
    ~UdpListener();
    UdpListener(const UdpListener&) = delete;
    UdpListener& operator=(const UdpListener&) = delete;

    bool ok() const { return fd >= 0; }
    // One datagram, or nullopt after `timeout`.
    std::optional<std::vector<std::uint8_t>> receive(std::chrono::milliseconds timeout);
    // The address the last datagram was sent to ("255.255.255.255", "239.1.2.3", "::1"), from
    // the packet information the kernel attaches: a wildcard socket takes broadcasts, unicast
    // and its groups alike, and this tells them apart.
    const std::string& last_destination() const { return destination; }

private:
    int fd = -1;
    bool v4 = true;
    std::string destination;
};

// Hands every datagram `rx` receives to `take` until `done()` holds (true) or `timeout` passes
// (false).
template <typename Take, typename Done>
bool receive_until(UdpListener& rx, Take take, Done done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        if (const auto datagram = rx.receive(std::chrono::milliseconds(50))) {
            take(*datagram);
        }
    }
    return true;
}

// receive_until for a `sink` that takes each datagram in add() and that `done(sink)` judges.
template <typename Sink, typename Done>
bool collect(UdpListener& rx, Sink& sink, Done done, std::chrono::milliseconds timeout) {
    return receive_until(
        rx, [&](const std::vector<std::uint8_t>& d) { sink.add(d); }, [&] { return done(sink); },
        timeout);
}

// Adds the route that multicast to 224.0.0.0/4 needs on lo inside the private namespace.
// True when it is in place.
bool route_multicast_on_lo();

} // namespace testsupport
