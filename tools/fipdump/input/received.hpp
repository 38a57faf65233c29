// One datagram as fipdump got it, from a socket or from a capture file.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <span>
#include <string>

namespace fipdump {

// The sending gateway: IPv4 address and UDP port, both in host order; or, when `v6` is set, the
// IPv6 address in `addr6` (network order) and `addr` zero.
struct Sender {
    std::uint32_t addr = 0;
    std::uint16_t port = 0;
    std::array<std::uint8_t, 16> addr6{};
    bool v6 = false;

    auto operator<=>(const Sender&) const = default;
};

// "a.b.c.d:port" or "[v6]:port", the name of a gateway in every output.
std::string to_string(const Sender& sender);

// The address alone: "a.b.c.d" or the IPv6 text form, without brackets.
std::string address_text(const Sender& sender);

struct Received {
    std::span<const std::uint8_t> bytes; // the UDP payload, valid for the call it is passed to
    Sender from;
    std::chrono::system_clock::time_point time; // kernel receive time, or the capture's
};

} // namespace fipdump
