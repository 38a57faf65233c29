// fipdump's capture files: written and read back identical, the link types of tcpdump captures
// parsed down to the datagram, and anything else skipped without reading past a packet.
#include <gtest/gtest.h>

#include <pcap/pcap.h>
#include <sstream>

#include "support/fipdump_stream.hpp"
#include "support/temp_dir.hpp"
#include "tools/fipdump/dumper.hpp"
#include "tools/fipdump/input/pcap_file.hpp"

using namespace fipdump;
using namespace fipdump_test;

namespace {

const Sender gw{0x0A000005, 40001};
constexpr std::uint16_t port = 57117;

// IPv4 + UDP around `payload`, from gw to 255.255.255.255:dst_port.
Bytes ip_udp(const Bytes& payload, std::uint16_t dst_port = port, std::uint16_t frag = 0) {
    return ip_udp_packet(payload, gw.addr, gw.port, dst_port, 0, frag);
}

Bytes concat(Bytes head, const Bytes& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

std::optional<PcapDatagram> parse(int link, const Bytes& packet, bool* cut = nullptr) {
    bool truncated = false;
    auto d = parse_packet(link, packet, port, truncated);
    if (cut != nullptr) {
        *cut = truncated;
    }
    return d;
}

} // namespace

TEST(FipdumpPcap, WrittenDatagramsReadBackIdentical) {
    testsupport::TempDir dir;
    const std::string path = dir.file("stream.pcap");
    std::vector<Bytes> sent;
    std::vector<std::chrono::system_clock::time_point> times;
    {
        PcapWriter w(path, port);
        ASSERT_TRUE(w.ok()) << w.error();
        for (std::uint64_t seq = 1; seq <= 50; ++seq) {
            std::vector<Bytes> events;
            for (std::uint64_t i = 0; i < seq * 3; ++i) {
                events.push_back(capture_record(seq * 1000 + i));
            }
            events.push_back(lifesign_record(seq));
            sent.push_back(datagram(seq, events));
            times.emplace_back(std::chrono::microseconds(1'796'721'652'308'473 + seq * 1001));
            w.write({sent.back(), gw, times.back()});
        }
        sent.push_back(Bytes(65507, 0xAB)); // the largest UDP payload, not even a datagram of ours
        times.push_back(times.back());
        w.write({sent.back(), gw, times.back()});
    }
    PcapReader r(path, port);
    ASSERT_TRUE(r.ok()) << r.error();
    for (std::size_t i = 0; i < sent.size(); ++i) {
        const auto d = r.next();
        ASSERT_TRUE(d.has_value()) << i;
        EXPECT_EQ(d->payload, sent[i]) << i;
        EXPECT_EQ(d->from, gw);
        EXPECT_EQ(d->time, times[i]);
    }
    EXPECT_FALSE(r.next().has_value());
    EXPECT_EQ(r.error(), "");
    EXPECT_EQ(r.skipped() + r.truncated(), 0U);

    PcapReader other_port(path, 5000);
    EXPECT_FALSE(other_port.next().has_value());
    EXPECT_EQ(other_port.skipped(), sent.size());
}

TEST(FipdumpPcap, LinkTypesOfTcpdumpCaptures) {
    const Bytes payload = datagram(9, {capture_record(1)});
    const Bytes ip = ip_udp(payload);
    Bytes eth(12, 0xFF);
    put_be(eth, 0x0800, 2);
    Bytes vlan(12, 0xFF);
    put_be(vlan, 0x8100, 2);
    put_be(vlan, 5, 2);
    put_be(vlan, 0x0800, 2);
    Bytes sll(14, 0);
    put_be(sll, 0x0800, 2);
    Bytes sll2;
    put_be(sll2, 0x0800, 2);
    sll2.resize(20, 0);
    const Bytes null_le{2, 0, 0, 0};
    const Bytes loop_be{0, 0, 0, 2};
    const std::vector<std::pair<int, Bytes>> cases = {
        {DLT_EN10MB, concat(eth, ip)},
        {DLT_EN10MB, concat(vlan, ip)},
        {DLT_LINUX_SLL, concat(sll, ip)},
        {276, concat(sll2, ip)},
        {DLT_RAW, ip},
        {DLT_NULL, concat(null_le, ip)},
        {DLT_LOOP, concat(loop_be, ip)},
    };
    for (const auto& [link, packet] : cases) {
        const auto d = parse(link, packet);
        ASSERT_TRUE(d.has_value()) << "link " << link;
        EXPECT_EQ(d->payload, payload);
        EXPECT_EQ(d->from, gw);
    }
}

TEST(FipdumpPcap, OtherTrafficFragmentsAndCutPacketsAreSafe) {
    const Bytes payload = datagram(9, {capture_record(1)});
    Bytes eth(12, 0xFF);
    put_be(eth, 0x0800, 2);
    EXPECT_FALSE(parse(DLT_EN10MB, concat(eth, ip_udp(payload, 53))));
    EXPECT_FALSE(parse(DLT_EN10MB, concat(eth, ip_udp(payload, port, 0x2000)))); // more frags
    EXPECT_FALSE(parse(DLT_EN10MB, concat(eth, ip_udp(payload, port, 0x00B9)))); // later frag
    Bytes arp(12, 0xFF);
    put_be(arp, 0x0806, 2);
    EXPECT_FALSE(parse(DLT_EN10MB, concat(arp, ip_udp(payload))));
    Bytes tcp = ip_udp(payload);
    tcp[9] = 6;
    EXPECT_FALSE(parse(DLT_RAW, tcp));
    EXPECT_FALSE(parse(147 /* a user link type */, ip_udp(payload)));

    // A snap length shorter than the datagram: what was captured, flagged as cut.
    const Bytes whole = concat(eth, ip_udp(payload));
    bool cut = false;
    const auto d = parse(DLT_EN10MB, Bytes(whole.begin(), whole.end() - 10), &cut);
    ASSERT_TRUE(d.has_value());
    EXPECT_TRUE(cut);
    EXPECT_EQ(d->payload.size(), payload.size() - 10);
    // Every shorter cut of the headers is refused or cut, never read past.
    for (std::size_t n = 0; n < 14 + 28; ++n) {
        EXPECT_FALSE(parse(DLT_EN10MB, Bytes(whole.begin(), whole.begin() + long(n)))) << n;
    }
}

// A capture with one datagram removed, read through the same path as `fipdump -r`: exactly
// one datagram lost, and the records that went with it seen as one index break.
TEST(FipdumpPcap, OneDatagramRemovedFromACaptureIsOneLost) {
    testsupport::TempDir dir;
    const std::string path = dir.file("gap.pcap");
    {
        PcapWriter w(path, port);
        std::uint64_t idx = 1;
        for (std::uint64_t seq = 1; seq <= 10; ++seq) {
            const Bytes d = datagram(seq, {capture_record(idx), capture_record(idx + 1)});
            idx += 2;
            if (seq != 6) {
                w.write({d, gw, std::chrono::system_clock::now()});
            }
        }
    }
    Options o;
    std::ostringstream out;
    std::ostringstream notices;
    Dumper dumper(o, out, notices);
    PcapReader r(path, port);
    while (auto d = r.next()) {
        dumper.on_datagram({d->payload, d->from, d->time});
    }
    const Summary s = dumper.summary();
    EXPECT_EQ(s.totals.lost_datagrams, 1U);
    EXPECT_EQ(s.totals.datagrams, 9U);
    EXPECT_EQ(s.totals.capture, 18U);
    EXPECT_EQ(s.totals.lost_records, 2U);
    EXPECT_EQ(s.printed, 18U);
    EXPECT_NE(notices.str().find("seq 7: 1 datagram(s) lost"), std::string::npos) << notices.str();
}

// A gateway sending over IPv6: recorded with its address (and the UDP checksum IPv6 requires),
// read back identical, and found in tcpdump's link types too.
TEST(FipdumpPcap, Ipv6SendersAreRecordedAndRead) {
    testsupport::TempDir dir;
    Sender v6{0, 40002, {0x20, 0x01, 0x0d, 0xb8}, true};
    v6.addr6[15] = 5; // 2001:db8::5
    const Bytes payload = datagram(3, {capture_record(1), capture_record(2)});
    const auto t = std::chrono::system_clock::time_point(std::chrono::microseconds(1'796'721'652));
    {
        PcapWriter w(dir.file("v6.pcap"), port);
        w.write({payload, v6, t});
        w.write({payload, gw, t});
    }
    PcapReader r(dir.file("v6.pcap"), port);
    const auto first = r.next();
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->from, v6);
    EXPECT_EQ(to_string(first->from), "[2001:db8::5]:40002");
    EXPECT_EQ(first->payload, payload);
    EXPECT_EQ(r.next()->from, gw);

    // The checksum written sums, with the pseudo-header, to all ones.
    char errbuf[PCAP_ERRBUF_SIZE];
    pcap_t* p = pcap_open_offline(dir.file("v6.pcap").c_str(), errbuf);
    ASSERT_NE(p, nullptr);
    pcap_pkthdr* h = nullptr;
    const u_char* data = nullptr;
    ASSERT_EQ(pcap_next_ex(p, &h, &data), 1);
    const Bytes packet(data, data + h->caplen);
    pcap_close(p);
    const std::size_t udp_len = packet.size() - 14 - 40;
    std::uint64_t sum = udp_len + 17;
    for (std::size_t i = 14 + 8; i + 1 < packet.size(); i += 2) {
        sum += static_cast<std::uint32_t>((packet[i] << 8) | packet[i + 1]);
    }
    if ((packet.size() - 22) % 2 != 0) {
        sum += static_cast<std::uint32_t>(packet.back() << 8);
    }
    while ((sum >> 16) != 0) {
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    EXPECT_EQ(sum, 0xFFFFU);

    // The same IPv6 packet as Linux cooked and BSD loopback captures give it.
    const Bytes ip6(packet.begin() + 14, packet.end());
    Bytes sll(14, 0);
    put_be(sll, 0x86DD, 2);
    EXPECT_EQ(parse(DLT_LINUX_SLL, concat(sll, ip6))->from, v6);
    EXPECT_EQ(parse(DLT_NULL, concat(Bytes{10, 0, 0, 0}, ip6))->payload, payload);
    EXPECT_EQ(parse(DLT_RAW, ip6)->from, v6);
    Bytes with_extension = ip6;
    with_extension[6] = 44; // a fragment header: not followed
    EXPECT_FALSE(parse(DLT_RAW, with_extension));
    for (std::size_t n = 0; n < 48; ++n) {
        EXPECT_FALSE(parse(DLT_RAW, Bytes(ip6.begin(), ip6.begin() + long(n)))) << n;
    }
}
