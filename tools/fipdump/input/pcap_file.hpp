// Capture files of the stream, through libpcap. fipdump writes each datagram inside rebuilt
// Ethernet, IPv4 and UDP headers so that any pcap tool sees the UDP datagrams to the gateway's
// port; it reads those files back, and captures of the stream taken with tcpdump on Ethernet,
// Linux "any" (cooked v1 and v2), raw IPv4 and loopback (BSD null or loop) links.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/fipdump/input/received.hpp"
#include "tools/fipdump/input/undecoded.hpp"

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

    // Appends one datagram, from r.from to 255.255.255.255:port (ff02::1 from an IPv6 sender),
    // at r.time; a payload above 65507 bytes (65527 over IPv6; none comes from a socket) is
    // left out. Main thread.
    void write(const Received& r);
    void flush();

    // Bytes of the file so far (file header, packet headers and packets) and packets written.
    std::uint64_t size() const { return written; }
    std::uint64_t packets() const { return packet_cnt; }
    // The bytes write(r) would add to the file.
    static std::uint64_t packet_size(const Received& r);

private:
    void write_ipv6(const Received& r); // builds `frame` for a sender over IPv6
    void dump(const Received& r);       // appends `frame`

    pcap_t* dead = nullptr;
    std::uint64_t written = 0;
    std::uint64_t packet_cnt = 0;
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
    // Opens `path` for reading; datagrams to UDP `port` are delivered, everything else counted.
    PcapReader(const std::string& path, std::uint16_t port);
    // Several files read as one stream, in the order of their first packet (a ring of rotated
    // files, or names that do not sort by time). Every file must open: ok() is false and
    // error() names the first that does not.
    PcapReader(std::vector<std::string> paths, std::uint16_t port);
    ~PcapReader();
    PcapReader(const PcapReader&) = delete;
    PcapReader& operator=(const PcapReader&) = delete;

    bool ok() const { return handle != nullptr && why.empty(); }
    const std::string& error() const { return why; }

    // The next datagram to the port, whole or reassembled from IPv4 fragments, or nullopt at
    // the end of the last file. A read error ends a file (it is listed in read_errors()) and
    // the next one is read. Main thread.
    std::optional<PcapDatagram> next();

    // "path: what went wrong" for every file whose reading failed, in order.
    const std::vector<std::string>& read_errors() const { return read_errors_; }
    const std::string& current_path() const;

    // Packets that did not give a datagram to the port: other traffic, other ports, fragments
    // (the one completing a datagram excepted), or cut short by the capture's snap length.
    std::uint64_t skipped() const { return skipped_cnt; }
    std::uint64_t truncated() const { return truncated_cnt; }
    // What was seen but not decoded; fragments still under way count as never completed once
    // the end of the last file is reached.
    const Undecoded& undecoded() const { return undecoded_counts; }

private:
    bool open_next();
    std::optional<PcapDatagram> from_packet(std::span<const std::uint8_t> packet,
                                            std::chrono::system_clock::time_point time);

    std::vector<std::string> paths;
    std::size_t next_path = 0;
    pcap_t* handle = nullptr;
    int link = 0;
    std::uint16_t port;
    std::uint64_t skipped_cnt = 0;
    std::uint64_t truncated_cnt = 0;
    Ipv4Reassembler reassembler;
    Undecoded undecoded_counts;
    std::vector<std::string> read_errors_;
    std::string why;
};

// What an IPv4 packet is to fipdump.
enum class IpPacket { datagram, other_port, not_udp, fragment };

// The IP packet (v4 or v6) inside a captured packet of link type `link` (a DLT_ value), or
// nullopt.
std::optional<std::span<const std::uint8_t>> ipv4_in_packet(int link,
                                                            std::span<const std::uint8_t> packet);

// Classifies an IP packet (IPv6 too, without extension headers); for a whole UDP datagram to
// `port`, fills `out` (but its time) and sets `truncated` when the capture cut it short; for
// another port, sets `dst_port`. Never reads outside `ip`. Pure.
IpPacket classify_ipv4(std::span<const std::uint8_t> ip, std::uint16_t port, PcapDatagram& out,
                       bool& truncated, std::uint16_t& dst_port);

// Parses one captured packet of link type `link` (a DLT_ value) down to a UDP datagram to
// `port`; nullopt for anything else. Never reads outside `packet`. Pure; used by PcapReader
// and fuzzed on its own. `truncated` is set when the packet is a datagram to the port that the
// capture cut short (its payload is then what was captured).
std::optional<PcapDatagram> parse_packet(int link, std::span<const std::uint8_t> packet,
                                         std::uint16_t port, bool& truncated);

} // namespace fipdump
