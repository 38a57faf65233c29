#include "tools/fipdump/input/pcap_file.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <pcap/pcap.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

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
constexpr std::size_t kPcapFileHeader = 24;   // bytes at the start of a pcap file
constexpr std::size_t kPcapPacketHeader = 16; // bytes before each packet
constexpr std::size_t kMaxUdpPayload = 65507; // bytes: 65535 less the IPv4 and UDP headers
constexpr std::uint16_t kEtherIpv4 = 0x0800;
constexpr std::uint16_t kEtherIpv6 = 0x86DD;
constexpr std::uint32_t kLinuxInet6 = 10;      // AF_INET6 in a Linux DLT_NULL header
constexpr std::size_t kIpv6Header = 40;        // bytes, without extension headers
constexpr std::size_t kMaxUdp6Payload = 65527; // bytes: 65535 less the UDP header
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
bool is_ip(std::uint16_t ether_type) {
    return ether_type == kEtherIpv4 || ether_type == kEtherIpv6;
}

// Offset of the IP header (v4 or v6) inside a packet of link type `link`, or nullopt when the
// packet carries something else.
std::optional<std::size_t> ip_offset(int link, std::span<const std::uint8_t> p) {
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
        return is_ip(type) ? std::optional<std::size_t>(off + 2) : std::nullopt;
    }
    case DLT_LINUX_SLL:
        if (p.size() < kSllHeader || !is_ip(be16(p, 14))) {
            return std::nullopt;
        }
        return kSllHeader;
    case DLT_LINUX_SLL2:
        if (p.size() < kSll2Header || !is_ip(be16(p, 0))) {
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
        // order: either way AF_INET (2) reads as 2 in one of the two orders. IPv6 is 10 on
        // Linux, 24, 28 or 30 on the BSDs.
        const std::uint32_t be = be32(p, 0);
        const std::uint32_t le =
            (be >> 24) | ((be >> 8) & 0xFF00) | ((be << 8) & 0xFF0000) | (be << 24);
        const auto ip_family = [](std::uint32_t f) {
            return f == AF_INET || f == kLinuxInet6 || f == 24 || f == 28 || f == 30;
        };
        return (ip_family(be) || ip_family(le)) ? std::optional<std::size_t>(kNullHeader)
                                                : std::nullopt;
    }
    default:
        return std::nullopt;
    }
}

} // namespace

namespace {

// Whether a datagram to `dst_port` whose UDP payload starts with `payload` is read: to `port`,
// or with kAnyPort, on any port when it opens with the stream's header bytes.
bool wanted(std::uint16_t port, std::uint16_t dst_port, std::span<const std::uint8_t> payload) {
    if (port != kAnyPort) {
        return dst_port == port;
    }
    constexpr std::uint8_t kHeaderStart[4] = {0x43, 0x56, 0x01, 0x00};
    return payload.size() >= sizeof kHeaderStart &&
           std::equal(std::begin(kHeaderStart), std::end(kHeaderStart), payload.begin());
}

// The datagram's payload as far as it was captured; `truncated` when the capture cut it short.
std::span<const std::uint8_t> udp_payload(std::span<const std::uint8_t> udp, std::size_t udp_len,
                                          bool& truncated) {
    std::size_t payload_len = udp_len - kUdpHeader;
    const std::size_t captured = udp.size() - kUdpHeader;
    if (captured < payload_len) {
        truncated = true;
        payload_len = captured;
    }
    return udp.subspan(kUdpHeader, payload_len);
}

// A UDP datagram over IPv6 straight after the fixed header. Extension headers (fragments
// among them) are not followed: such packets count as other traffic.
IpPacket classify_ipv6(std::span<const std::uint8_t> ip, std::uint16_t port, PcapDatagram& out,
                       bool& truncated, std::uint16_t& dst_port) {
    if (ip.size() < kIpv6Header + kUdpHeader || ip[6] != kIpProtoUdp) {
        return IpPacket::not_udp;
    }
    const std::size_t ip_payload = be16(ip, 4);
    const auto udp = ip.subspan(kIpv6Header);
    dst_port = be16(udp, 2);
    const std::size_t udp_len = be16(udp, 4);
    if (udp_len < kUdpHeader || ip_payload < udp_len) {
        return IpPacket::not_udp;
    }
    if (!wanted(port, dst_port, udp.subspan(kUdpHeader))) {
        return IpPacket::other_port;
    }
    const auto payload = udp_payload(udp, udp_len, truncated);
    out.from = Sender{};
    out.from.v6 = true;
    std::copy(ip.begin() + 8, ip.begin() + 24, out.from.addr6.begin());
    out.from.port = be16(udp, 0);
    out.payload.assign(payload.begin(), payload.end());
    return IpPacket::datagram;
}

} // namespace

IpPacket classify_ipv4(std::span<const std::uint8_t> ip, std::uint16_t port, PcapDatagram& out,
                       bool& truncated, std::uint16_t& dst_port) {
    truncated = false;
    if (!ip.empty() && (ip[0] >> 4) == 6) {
        return classify_ipv6(ip, port, out, truncated, dst_port);
    }
    if (ip.size() < kIpv4MinHeader) {
        return IpPacket::not_udp;
    }
    const std::size_t ihl = std::size_t(ip[0] & 0x0F) * 4;
    const std::size_t ip_total = be16(ip, 2);
    if ((ip[0] >> 4) != 4 || ihl < kIpv4MinHeader || ip.size() < ihl || ip_total < ihl ||
        ip[9] != kIpProtoUdp) {
        return IpPacket::not_udp;
    }
    // A fragment holds part of a datagram, or a header-less rest of one: reassembled elsewhere.
    if ((be16(ip, 6) & 0x3FFF) != 0) {
        return IpPacket::fragment;
    }
    if (ip.size() < ihl + kUdpHeader) {
        return IpPacket::not_udp;
    }
    const auto udp = ip.subspan(ihl);
    dst_port = be16(udp, 2);
    const std::size_t udp_len = be16(udp, 4);
    if (udp_len < kUdpHeader || ip_total < ihl + udp_len) {
        return IpPacket::not_udp;
    }
    if (!wanted(port, dst_port, udp.subspan(kUdpHeader))) {
        return IpPacket::other_port;
    }
    const auto payload = udp_payload(udp, udp_len, truncated);
    out.from.addr = be32(ip, 12);
    out.from.port = be16(udp, 0);
    out.payload.assign(payload.begin(), payload.end());
    return IpPacket::datagram;
}

std::optional<std::span<const std::uint8_t>> ipv4_in_packet(int link,
                                                            std::span<const std::uint8_t> packet) {
    const auto off = ip_offset(link, packet);
    if (!off || packet.size() < *off) {
        return std::nullopt;
    }
    return packet.subspan(*off);
}

std::optional<PcapDatagram> parse_packet(int link, std::span<const std::uint8_t> packet,
                                         std::uint16_t port, bool& truncated) {
    truncated = false;
    const auto ip = ipv4_in_packet(link, packet);
    PcapDatagram d;
    std::uint16_t dst = 0;
    if (!ip || classify_ipv4(*ip, port, d, truncated, dst) != IpPacket::datagram) {
        return std::nullopt;
    }
    return d;
}

namespace {

// Writes the `count` buffers whole, or fails with errno set; a write cut short by a full disk
// reports ENOSPC as the kernel would for the next byte.
bool write_all(int fd, iovec* parts, int count) {
    while (count > 0) {
        const ssize_t n = ::writev(fd, parts, count);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (n == 0) {
            errno = ENOSPC;
            return false;
        }
        auto left = static_cast<std::size_t>(n);
        while (count > 0 && left >= parts->iov_len) {
            left -= parts->iov_len;
            ++parts;
            --count;
        }
        if (count > 0) {
            parts->iov_base = static_cast<char*>(parts->iov_base) + left;
            parts->iov_len -= left;
        }
    }
    return true;
}

} // namespace

// Written by hand rather than through libpcap's stdio stream: a write that fails must be seen
// at the datagram it fails on, and a file must never be left with half a packet or half a header.
PcapWriter::PcapWriter(const std::string& path_, std::uint16_t port_) : path(path_), port(port_) {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        err = errno;
        why = std::strerror(err);
        return;
    }
    // The file header in the host's byte order, as libpcap writes it; microsecond stamps.
    struct {
        std::uint32_t magic = 0xA1B2C3D4;
        std::uint16_t version_major = PCAP_VERSION_MAJOR;
        std::uint16_t version_minor = PCAP_VERSION_MINOR;
        std::int32_t thiszone = 0;
        std::uint32_t sigfigs = 0;
        std::uint32_t snaplen = kSnapLen;
        std::uint32_t linktype = DLT_EN10MB;
    } header;
    static_assert(sizeof header == kPcapFileHeader);
    iovec part{&header, sizeof header};
    if (!write_all(fd, &part, 1)) {
        err = errno;
        why = std::strerror(err);
        // A file without its whole header is unreadable: none is left behind. Only a regular
        // file, never a device such as /dev/full.
        struct stat st {};
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
            ::unlink(path.c_str());
        }
        ::close(fd);
        fd = -1;
        return;
    }
    written = kPcapFileHeader;
}

PcapWriter::~PcapWriter() {
    if (fd >= 0) {
        ::close(fd);
    }
}

namespace {

// The UDP checksum over IPv6, mandatory there: the pseudo-header (addresses, length, next
// header) and the UDP header and payload, in one's complement.
std::uint16_t udp6_checksum(const std::uint8_t* ip6, const std::uint8_t* udp, std::size_t len) {
    std::uint64_t sum = 0;
    for (std::size_t i = 8; i < kIpv6Header; i += 2) { // source and destination addresses
        sum += static_cast<std::uint32_t>((ip6[i] << 8) | ip6[i + 1]);
    }
    sum += len + kIpProtoUdp;
    for (std::size_t i = 0; i + 1 < len; i += 2) {
        sum += static_cast<std::uint32_t>((udp[i] << 8) | udp[i + 1]);
    }
    if (len % 2 != 0) {
        sum += static_cast<std::uint32_t>(udp[len - 1] << 8);
    }
    while ((sum >> 16) != 0) {
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    const auto c = static_cast<std::uint16_t>(~sum);
    return c == 0 ? 0xFFFF : c; // 0 would mean "none", which IPv6 does not allow
}

} // namespace

void PcapWriter::write_ipv6(const Received& r) {
    const std::size_t n = r.bytes.size();
    frame.assign(kEthernetHeader + kIpv6Header + kUdpHeader, 0);
    std::uint8_t* eth = frame.data();
    const std::uint8_t all_nodes_mac[6] = {0x33, 0x33, 0, 0, 0, 1};
    std::memcpy(eth, all_nodes_mac, sizeof all_nodes_mac);
    put16(eth + 12, kEtherIpv6);
    std::uint8_t* ip = eth + kEthernetHeader;
    ip[0] = 0x60; // version 6
    put16(ip + 4, static_cast<std::uint16_t>(kUdpHeader + n));
    ip[6] = kIpProtoUdp;
    ip[7] = kDefaultTtl;
    std::memcpy(ip + 8, r.from.addr6.data(), r.from.addr6.size());
    ip[24] = 0xFF; // ff02::1, all nodes: the destination address is not known
    ip[25] = 0x02;
    ip[39] = 0x01;
    frame.insert(frame.end(), r.bytes.begin(), r.bytes.end());
    ip = frame.data() + kEthernetHeader;
    std::uint8_t* udp = ip + kIpv6Header;
    put16(udp, r.from.port);
    put16(udp + 2, port);
    put16(udp + 4, static_cast<std::uint16_t>(kUdpHeader + n));
    put16(udp + 6, udp6_checksum(ip, udp, kUdpHeader + n));
}

bool PcapWriter::write(const Received& r) {
    const std::size_t n = r.bytes.size();
    if (fd < 0) {
        return false;
    }
    if (n > (r.from.v6 ? kMaxUdp6Payload : kMaxUdpPayload)) {
        return true; // the rebuilt length fields could not hold it
    }
    if (r.from.v6) {
        write_ipv6(r);
        return dump(r);
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
    return dump(r);
}

bool PcapWriter::dump(const Received& r) {
    const auto us =
        std::chrono::duration_cast<std::chrono::microseconds>(r.time.time_since_epoch()).count();
    const std::uint32_t h[4] = {
        static_cast<std::uint32_t>(us / 1'000'000), static_cast<std::uint32_t>(us % 1'000'000),
        static_cast<std::uint32_t>(frame.size()), static_cast<std::uint32_t>(frame.size())};
    static_assert(sizeof h == kPcapPacketHeader);
    iovec parts[2] = {{const_cast<std::uint32_t*>(h), sizeof h}, {frame.data(), frame.size()}};
    if (!write_all(fd, parts, 2)) {
        err = errno;
        why = std::strerror(err);
        // Whatever part of the packet reached the disk goes: the file keeps whole packets only.
        if (::ftruncate(fd, static_cast<off_t>(written)) != 0 ||
            ::lseek(fd, static_cast<off_t>(written), SEEK_SET) < 0) {
            why += std::string(", and the file could not be cut back to its last whole packet: ") +
                   std::strerror(errno);
        }
        return false;
    }
    written += kPcapPacketHeader + frame.size();
    ++packet_cnt;
    return true;
}

std::uint64_t PcapWriter::packet_size(const Received& r) {
    return kPcapPacketHeader + kEthernetHeader + (r.from.v6 ? kIpv6Header : kIpv4MinHeader) +
           kUdpHeader + r.bytes.size();
}

namespace {

std::chrono::system_clock::time_point packet_time(const pcap_pkthdr& h) {
    return std::chrono::system_clock::time_point(std::chrono::seconds(h.ts.tv_sec) +
                                                 std::chrono::microseconds(h.ts.tv_usec));
}

pcap_t* open_capture(const std::string& path, std::string& why) {
    char err[PCAP_ERRBUF_SIZE] = {};
    pcap_t* h =
        pcap_open_offline_with_tstamp_precision(path.c_str(), PCAP_TSTAMP_PRECISION_MICRO, err);
    if (h == nullptr) {
        // libpcap names the file itself when it cannot open it, not when it cannot read it.
        const std::string text = err;
        why = text.rfind(path + ":", 0) == 0 ? text : path + ": " + text;
    }
    return h;
}

} // namespace

PcapReader::PcapReader(const std::string& path, std::uint16_t port_)
    : PcapReader(std::vector<std::string>{path}, port_) {}

PcapReader::PcapReader(std::vector<std::string> paths_, std::uint16_t port_)
    : paths(std::move(paths_)), port(port_) {
    // Every file is opened once up front, so that one that cannot be opened stops the run before
    // anything is printed, and so that the files are read in the order of their first packet: a
    // ring of files or names that do not sort by time still make one stream. Of several files,
    // one that opens but holds no capture (empty, or without a whole header: its recorder
    // stopped at creation) is reported and left out, as a file cut off is.
    std::vector<std::pair<std::chrono::system_clock::time_point, std::string>> order;
    std::vector<std::string> unreadable;
    for (const std::string& p : paths) {
        // A file that cannot be opened at all (absent, not allowed) stops the run: it was named.
        if (std::FILE* probe = std::fopen(p.c_str(), "rb")) {
            std::fclose(probe);
        } else {
            why = p + ": " + std::strerror(errno);
            return;
        }
        std::string err;
        pcap_t* h = open_capture(p, err);
        if (h == nullptr) {
            unreadable.push_back(err);
            continue;
        }
        pcap_pkthdr* hdr = nullptr;
        const u_char* data = nullptr;
        const auto first = pcap_next_ex(h, &hdr, &data) == 1
                               ? packet_time(*hdr)
                               : std::chrono::system_clock::time_point::min();
        order.emplace_back(first, p);
        pcap_close(h);
    }
    if (order.empty()) {
        why = unreadable.empty() ? "no capture file given" : unreadable.front();
        return;
    }
    for (const std::string& e : unreadable) {
        read_errors_.push_back(e + " (skipped)");
    }
    std::stable_sort(order.begin(), order.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    paths.clear();
    for (auto& [t, p] : order) {
        paths.push_back(std::move(p));
    }
    open_next();
}

PcapReader::~PcapReader() {
    if (handle != nullptr) {
        pcap_close(handle);
    }
}

bool PcapReader::open_next() {
    if (handle != nullptr) {
        pcap_close(handle);
        handle = nullptr;
    }
    while (next_path < paths.size()) {
        std::string err;
        handle = open_capture(paths[next_path++], err);
        if (handle != nullptr) {
            link = pcap_datalink(handle);
            return true;
        }
        read_errors_.push_back(err);
    }
    return false;
}

const std::string& PcapReader::current_path() const {
    static const std::string none;
    return next_path == 0 ? none : paths[next_path - 1];
}

std::optional<PcapDatagram> PcapReader::next() {
    while (handle != nullptr) {
        pcap_pkthdr* h = nullptr;
        const u_char* data = nullptr;
        const int rc = pcap_next_ex(handle, &h, &data);
        if (rc != 1) {
            if (rc != PCAP_ERROR_BREAK) {
                // Typically the last packet of a recording that was cut off: say so, and go on
                // with the next file.
                read_errors_.push_back(current_path() + ": " + pcap_geterr(handle));
            }
            if (!open_next()) {
                reassembler.finish();
                undecoded_counts.fragments = reassembler.counts();
                return std::nullopt;
            }
            continue;
        }
        if (auto d = from_packet(std::span<const std::uint8_t>(data, h->caplen), packet_time(*h))) {
            return d;
        }
    }
    return std::nullopt;
}

std::optional<PcapDatagram> PcapReader::from_packet(std::span<const std::uint8_t> packet,
                                                    std::chrono::system_clock::time_point time) {
    const auto ip = ipv4_in_packet(link, packet);
    if (!ip) {
        ++skipped_cnt;
        ++undecoded_counts.not_udp;
        return std::nullopt;
    }
    PcapDatagram d;
    bool cut = false;
    std::uint16_t dst = 0;
    IpPacket kind = classify_ipv4(*ip, port, d, cut, dst);
    if (kind == IpPacket::fragment) {
        auto whole = reassembler.add(*ip, time);
        undecoded_counts.fragments = reassembler.counts();
        if (!whole) {
            ++skipped_cnt;
            return std::nullopt;
        }
        kind = classify_ipv4(*whole, port, d, cut, dst);
    }
    switch (kind) {
    case IpPacket::datagram:
        truncated_cnt += cut ? 1 : 0;
        undecoded_counts.truncated = truncated_cnt;
        d.time = time;
        return d;
    case IpPacket::other_port:
        ++undecoded_counts.other_ports[dst];
        break;
    default:
        ++undecoded_counts.not_udp;
        break;
    }
    ++skipped_cnt;
    return std::nullopt;
}

} // namespace fipdump
