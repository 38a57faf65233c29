// Capture files of the stream, through libpcap. fipdump writes each datagram inside rebuilt
// Ethernet, IPv4 and UDP headers so that any pcap tool sees the UDP datagrams to the gateway's
// port; it reads those files back, and captures of the stream taken with tcpdump on Ethernet,
// Linux "any" (cooked v1 and v2), raw IPv4 and loopback (BSD null or loop) links.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/fipdump/received.hpp"

typedef struct pcap pcap_t;
typedef struct pcap_dumper pcap_dumper_t;

namespace fipdump {

class PcapWriter {
public:
    // Creates (truncates) `path`. ok() is false and error() says why when it cannot.
    PcapWriter(const std::string& path, std::uint16_t port);
    ~PcapWriter(); // flushes and closes
    PcapWriter(const PcapWriter&) = delete;
    PcapWriter& operator=(const PcapWriter&) = delete;

    bool ok() const { return dumper != nullptr; }
    const std::string& error() const { return why; }

    // Appends one datagram, from r.from to 255.255.255.255:port, at r.time; a payload above
    // 65507 bytes (none comes from a socket) is left out. Main thread.
    void write(const Received& r);
    void flush();

private:
    pcap_t* dead = nullptr;
    pcap_dumper_t* dumper = nullptr;
    std::uint16_t port;
    std::vector<std::uint8_t> frame; // reused for every packet
    std::string why;
};

// One UDP datagram read from a capture file; `payload` owns its bytes.
struct PcapDatagram {
    std::vector<std::uint8_t> payload;
    Sender from;
    std::chrono::system_clock::time_point time;
};

class PcapReader {
public:
    // Opens `path` for reading; datagrams to UDP `port` are delivered, everything else skipped.
    PcapReader(const std::string& path, std::uint16_t port);
    ~PcapReader();
    PcapReader(const PcapReader&) = delete;
    PcapReader& operator=(const PcapReader&) = delete;

    bool ok() const { return handle != nullptr && why.empty(); }
    const std::string& error() const { return why; }

    // The next datagram to the port, or nullopt at the end of the file (or on a read error,
    // then error() is set).
    std::optional<PcapDatagram> next();

    // Packets that were not a whole UDP datagram to the port: other traffic, IP fragments,
    // or cut short by the capture's snap length.
    std::uint64_t skipped() const { return skipped_cnt; }
    std::uint64_t truncated() const { return truncated_cnt; }

private:
    pcap_t* handle = nullptr;
    int link = 0;
    std::uint16_t port;
    std::uint64_t skipped_cnt = 0;
    std::uint64_t truncated_cnt = 0;
    std::string why;
};

// Parses one captured packet of link type `link` (a DLT_ value) down to a UDP datagram to
// `port`; nullopt for anything else. Never reads outside `packet`. Pure; used by PcapReader
// and fuzzed on its own. `truncated` is set when the packet is a datagram to the port that the
// capture cut short (its payload is then what was captured).
std::optional<PcapDatagram> parse_packet(int link, std::span<const std::uint8_t> packet,
                                         std::uint16_t port, bool& truncated);

} // namespace fipdump
