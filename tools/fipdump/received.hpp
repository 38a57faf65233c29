// One datagram as fipdump got it, from a socket or from a capture file.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <string>

namespace fipdump {

// The sending gateway: IPv4 address and UDP port, both in host order.
struct Sender {
    std::uint32_t addr = 0;
    std::uint16_t port = 0;

    auto operator<=>(const Sender&) const = default;
};

// "a.b.c.d:port", the label that names a gateway in every output.
std::string to_string(const Sender& sender);

struct Received {
    std::span<const std::uint8_t> bytes; // the UDP payload, valid for the call it is passed to
    Sender from;
    std::chrono::system_clock::time_point time; // kernel receive time, or the capture's
};

} // namespace fipdump
