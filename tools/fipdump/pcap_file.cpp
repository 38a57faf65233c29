#include "tools/fipdump/pcap_file.hpp"

#include <cstring>
#include <pcap/pcap.h>
#include <sys/socket.h>

namespace fipdump {

namespace {

constexpr int kSnapLen = 262144;            // bytes; above any UDP datagram
constexpr std::size_t kEthernetHeader = 14; // destination, source, EtherType
constexpr std::size_t kVlanTag = 4;         // 802.1Q tag inserted before the EtherType
constexpr std::size_t kSllHeader = 16;      // Linux cooked capture v1
constexpr std::size_t kSll2Header = 20;     // Linux cooked capture v2
constexpr std::size_t kNullHeader = 4;      // BSD loopback: address family
constexpr std::size_t kIpv4MinHeader = 20;
constexpr std::size_t kUdpHeader = 8;
constexpr std::size_t kMaxUdpPayload = 65507; // bytes: 65535 less the IPv4 and UDP headers
constexpr std::uint16_t kEtherIpv4 = 0x0800;
constexpr std::uint16_t kEtherVlan = 0x8100;
constexpr std::uint8_t kIpProtoUdp = 17;
constexpr std::uint8_t kDefaultTtl = 64;
constexpr std::uint32_t kBroadcast = 0xFFFFFFFF;
#ifndef DLT_LINUX_SLL2
constexpr int DLT_LINUX_SLL2 = 276;
#endif

std::uint16_t be16(std::span<const std::uint8_t> b, std::size_t off) {
    return static_cast<std::uint16_t>((b[off] << 8) | b[off + 1]);
}
std::uint32_t be32(std::span<const std::uint8_t> b, std::size_t off) {
    return (std::uint32_t(b[off]) << 24) | (std::uint32_t(b[off + 1]) << 16) |
           (std::uint32_t(b[off + 2]) << 8) | b[off + 3];
}
void put16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}
void put32(std::uint8_t* p, std::uint32_t v) {
    put16(p, static_cast<std::uint16_t>(v >> 16));
    put16(p + 2, static_cast<std::uint16_t>(v));
}

// The IPv4 header checksum: one's complement of the one's complement sum of 16-bit words.
std::uint16_t ip_checksum(const std::uint8_t* header, std::size_t len) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i + 1 < len; i += 2) {
        sum += static_cast<std::uint32_t>((header[i] << 8) | header[i + 1]);
    }
    while ((sum >> 16) != 0) {
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return static_cast<std::uint16_t>(~sum);
}

// Offset of the IPv4 header inside a packet of link type `link`, or nullopt when the packet
// carries something else.
std::optional<std::size_t> ipv4_offset(int link, std::span<const std::uint8_t> p) {
    switch (link) {
    case DLT_EN10MB: {
        std::size_t off = 12;
        if (p.size() < kEthernetHeader) {
            return std::nullopt;
        }
        std::uint16_t type = be16(p, off);
        while (type == kEtherVlan) {
            off += kVlanTag;
            if (p.size() < off + 2) {
                return std::nullopt;
            }
            type = be16(p, off);
        }
        return type == kEtherIpv4 ? std::optional<std::size_t>(off + 2) : std::nullopt;
    }
    case DLT_LINUX_SLL:
        if (p.size() < kSllHeader || be16(p, 14) != kEtherIpv4) {
            return std::nullopt;
        }
        return kSllHeader;
    case DLT_LINUX_SLL2:
        if (p.size() < kSll2Header || be16(p, 0) != kEtherIpv4) {
            return std::nullopt;
        }
        return kSll2Header;
    case DLT_RAW:
#ifdef DLT_IPV4
    case DLT_IPV4:
#endif
        return std::size_t{0};
    case DLT_NULL:
    case DLT_LOOP: {
        if (p.size() < kNullHeader) {
            return std::nullopt;
        }
        // DLT_NULL holds the family in the capturing host's byte order, DLT_LOOP in network
        // order: either way AF_INET (2) reads as 2 in one of the two orders.
        const std::uint32_t be = be32(p, 0);
        const std::uint32_t le =
            (be >> 24) | ((be >> 8) & 0xFF00) | ((be << 8) & 0xFF0000) | (be << 24);
        return (be == AF_INET || le == AF_INET) ? std::optional<std::size_t>(kNullHeader)
                                                : std::nullopt;
    }
    default:
        return std::nullopt;
    }
}

} // namespace

std::optional<PcapDatagram> parse_packet(int link, std::span<const std::uint8_t> packet,
                                         std::uint16_t port, bool& truncated) {
    truncated = false;
    const auto ip_off = ipv4_offset(link, packet);
    if (!ip_off || packet.size() < *ip_off + kIpv4MinHeader) {
        return std::nullopt;
    }
    const auto ip = packet.subspan(*ip_off);
    const std::size_t ihl = std::size_t(ip[0] & 0x0F) * 4;
    if ((ip[0] >> 4) != 4 || ihl < kIpv4MinHeader || ip[9] != kIpProtoUdp ||
        ip.size() < ihl + kUdpHeader) {
        return std::nullopt;
    }
    // Only whole datagrams: a fragment holds part of one, or a header-less rest of one.
    const std::uint16_t frag = be16(ip, 6);
    if ((frag & 0x3FFF) != 0) {
        return std::nullopt;
    }
    const std::size_t ip_total = be16(ip, 2);
    const auto udp = ip.subspan(ihl);
    if (be16(udp, 2) != port) {
        return std::nullopt;
    }
    const std::size_t udp_len = be16(udp, 4);
    if (udp_len < kUdpHeader || ip_total < ihl + udp_len) {
        return std::nullopt;
    }
    std::size_t payload_len = udp_len - kUdpHeader;
    const std::size_t captured = udp.size() - kUdpHeader;
    if (captured < payload_len) {
        truncated = true;
        payload_len = captured;
    }
    PcapDatagram d;
    d.from.addr = be32(ip, 12);
    d.from.port = be16(udp, 0);
    const auto payload = udp.subspan(kUdpHeader, payload_len);
    d.payload.assign(payload.begin(), payload.end());
    return d;
}

PcapWriter::PcapWriter(const std::string& path, std::uint16_t port_) : port(port_) {
    dead = pcap_open_dead_with_tstamp_precision(DLT_EN10MB, kSnapLen, PCAP_TSTAMP_PRECISION_MICRO);
    if (dead == nullptr) {
        why = "cannot create a pcap handle";
        return;
    }
    dumper = pcap_dump_open(dead, path.c_str());
    if (dumper == nullptr) {
        why = pcap_geterr(dead);
    }
}

PcapWriter::~PcapWriter() {
    if (dumper != nullptr) {
        pcap_dump_close(dumper);
    }
    if (dead != nullptr) {
        pcap_close(dead);
    }
}

void PcapWriter::write(const Received& r) {
    const std::size_t n = r.bytes.size();
    if (dumper == nullptr || n > kMaxUdpPayload) {
        return; // the rebuilt IPv4 length field could not hold it
    }
    frame.assign(kEthernetHeader + kIpv4MinHeader + kUdpHeader, 0);
    std::uint8_t* eth = frame.data();
    std::memset(eth, 0xFF, 6); // broadcast destination; the source MAC is unknown: zero
    put16(eth + 12, kEtherIpv4);
    std::uint8_t* ip = eth + kEthernetHeader;
    ip[0] = 0x45; // version 4, 20-byte header
    put16(ip + 2, static_cast<std::uint16_t>(kIpv4MinHeader + kUdpHeader + n));
    ip[8] = kDefaultTtl;
    ip[9] = kIpProtoUdp;
    put32(ip + 12, r.from.addr);
    put32(ip + 16, kBroadcast);
    put16(ip + 10, ip_checksum(ip, kIpv4MinHeader));
    std::uint8_t* udp = ip + kIpv4MinHeader;
    put16(udp, r.from.port);
    put16(udp + 2, port);
    put16(udp + 4, static_cast<std::uint16_t>(kUdpHeader + n));
    // UDP checksum 0: "not computed", valid over IPv4, and the receiver checked the original.
    frame.insert(frame.end(), r.bytes.begin(), r.bytes.end());

    const auto us =
        std::chrono::duration_cast<std::chrono::microseconds>(r.time.time_since_epoch()).count();
    pcap_pkthdr h{};
    h.ts.tv_sec = static_cast<time_t>(us / 1'000'000);
    h.ts.tv_usec = static_cast<suseconds_t>(us % 1'000'000);
    h.caplen = static_cast<bpf_u_int32>(frame.size());
    h.len = h.caplen;
    pcap_dump(reinterpret_cast<u_char*>(dumper), &h, frame.data());
}

void PcapWriter::flush() {
    if (dumper != nullptr) {
        pcap_dump_flush(dumper);
    }
}

PcapReader::PcapReader(const std::string& path, std::uint16_t port_) : port(port_) {
    char err[PCAP_ERRBUF_SIZE] = {};
    handle =
        pcap_open_offline_with_tstamp_precision(path.c_str(), PCAP_TSTAMP_PRECISION_MICRO, err);
    if (handle == nullptr) {
        why = err;
        return;
    }
    link = pcap_datalink(handle);
}

PcapReader::~PcapReader() {
    if (handle != nullptr) {
        pcap_close(handle);
    }
}

std::optional<PcapDatagram> PcapReader::next() {
    if (handle == nullptr) {
        return std::nullopt;
    }
    for (;;) {
        pcap_pkthdr* h = nullptr;
        const u_char* data = nullptr;
        const int rc = pcap_next_ex(handle, &h, &data);
        if (rc == PCAP_ERROR_BREAK) {
            return std::nullopt;
        }
        if (rc != 1) {
            why = pcap_geterr(handle);
            return std::nullopt;
        }
        bool cut = false;
        auto d = parse_packet(link, std::span<const std::uint8_t>(data, h->caplen), port, cut);
        if (!d) {
            ++skipped_cnt;
            continue;
        }
        truncated_cnt += cut ? 1 : 0;
        d->time = std::chrono::system_clock::time_point(std::chrono::seconds(h->ts.tv_sec) +
                                                        std::chrono::microseconds(h->ts.tv_usec));
        return d;
    }
}

} // namespace fipdump
