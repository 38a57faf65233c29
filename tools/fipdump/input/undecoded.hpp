// What fipdump saw but could not decode as the gateway's stream: packets of other traffic,
// datagrams to other ports, IP fragments and what became of them, packets cut short. The
// summary always says so, so that "0 datagrams" never hides a stream sent elsewhere.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "tools/fipdump/input/ipv4_reassembly.hpp"

namespace fipdump {

struct Undecoded {
    std::uint64_t not_udp = 0;   // packets not UDP over IP (ARP, TCP, IPv6 extension headers...)
    std::uint64_t truncated = 0; // datagrams to the port cut short by the snap length
    std::map<std::uint16_t, std::uint64_t> other_ports; // UDP datagrams by destination port
    ReassemblyCounts fragments;

    std::uint64_t other_port_datagrams() const;
    bool empty() const;
};

// One line per kind of thing left undecoded, each starting "fipdump: "; empty when nothing was.
std::string undecoded_text(const Undecoded& u);

// The JSON object of the same counts.
std::string undecoded_json(const Undecoded& u);

} // namespace fipdump
