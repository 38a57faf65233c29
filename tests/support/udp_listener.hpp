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

// Adds the route that multicast to 224.0.0.0/4 needs on lo inside the private namespace.
// True when it is in place.
bool route_multicast_on_lo();

} // namespace testsupport
