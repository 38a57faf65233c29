// fipdump on captures of real links: a stream captured on a 1500-byte Ethernet link travels as
// IPv4 fragments and must decode exactly as the same stream captured on loopback; fragments
// that never complete, overlap or conflict are counted, never turned into data; other traffic
// is named in the summary.
#include <gtest/gtest.h>

#include <algorithm>
#include <pcap/pcap.h>
#include <sstream>

#include "support/fipdump_stream.hpp"
#include "support/temp_dir.hpp"
#include "tools/fipdump/dumper.hpp"
#include "tools/fipdump/input/ipv4_reassembly.hpp"
#include "tools/fipdump/input/pcap_file.hpp"
#include "tools/fipdump/output/text_format.hpp"

using namespace fipdump;
using namespace fipdump_test;

namespace {

const Sender gw{0x0A000005, 40001};
constexpr std::uint16_t port = 57117;
constexpr std::size_t kMtu = 1500; // bytes of IPv4 packet on Ethernet
const auto t0 = std::chrono::system_clock::time_point(std::chrono::seconds(1'796'721'652));

// IPv4 + UDP around `payload` to dst_port, IP identification `id`.
Bytes ip_udp(const Bytes& payload, std::uint16_t id, std::uint16_t dst_port = port) {
    return ip_udp_packet(payload, gw.addr, gw.port, dst_port, id);
}

// The fragments a host sends for `ip` on a link of `mtu` bytes (the packet itself if it fits).
std::vector<Bytes> fragment(const Bytes& ip, std::size_t mtu = kMtu) {
    if (ip.size() <= mtu) {
        return {ip};
    }
    const Bytes header(ip.begin(), ip.begin() + 20);
    const std::size_t per = (mtu - 20) / 8 * 8;
    std::vector<Bytes> out;
    for (std::size_t off = 0; off < ip.size() - 20; off += per) {
        const std::size_t len = std::min(per, ip.size() - 20 - off);
        Bytes f = header;
        f[2] = static_cast<std::uint8_t>((20 + len) >> 8);
        f[3] = static_cast<std::uint8_t>(20 + len);
        const bool more = off + len < ip.size() - 20;
        const std::uint16_t field = static_cast<std::uint16_t>((more ? 0x2000 : 0) | (off / 8));
        f[6] = static_cast<std::uint8_t>(field >> 8);
        f[7] = static_cast<std::uint8_t>(field);
        f.insert(f.end(), ip.begin() + 20 + long(off), ip.begin() + 20 + long(off + len));
        out.push_back(f);
    }
    return out;
}

Bytes ethernet(const Bytes& ip, std::uint16_t type = 0x0800) {
    Bytes e(12, 0xFF);
    put_be(e, type, 2);
    e.insert(e.end(), ip.begin(), ip.end());
    return e;
}

void write_ethernet(const std::string& path, const std::vector<Bytes>& packets) {
    pcap_t* dead = pcap_open_dead(DLT_EN10MB, 262144);
    pcap_dumper_t* d = pcap_dump_open(dead, path.c_str());
    ASSERT_NE(d, nullptr);
    for (std::size_t i = 0; i < packets.size(); ++i) {
        pcap_pkthdr h{};
        h.ts.tv_sec = 1'796'721'652 + long(i / 1000);
        h.ts.tv_usec = long(i % 1000);
        h.caplen = h.len = static_cast<bpf_u_int32>(packets[i].size());
        pcap_dump(reinterpret_cast<u_char*>(d), &h, packets[i].data());
    }
    pcap_dump_close(d);
    pcap_close(dead);
}

// The stream: datagrams from one event to the largest the gateway sends (65,507 bytes).
std::vector<Bytes> stream(std::uint64_t n) {
    std::vector<Bytes> out;
    std::uint64_t idx = 1;
    for (std::uint64_t seq = 1; seq <= n; ++seq) {
        std::vector<Bytes> events;
        const std::size_t records = seq % 4 == 0 ? 1 : (seq % 4) * 600;
        for (std::size_t i = 0; i < records; ++i) {
            events.push_back(capture_record(idx++));
        }
        out.push_back(datagram(seq, events));
    }
    return out;
}

struct Decoded {
    std::string events;
    Summary summary;
};

Decoded decode(const std::vector<std::string>& paths) {
    Options o;
    std::ostringstream out;
    std::ostringstream notices;
    Dumper dumper(o, out, notices);
    PcapReader r(paths, port);
    EXPECT_TRUE(r.ok()) << r.error();
    while (auto d = r.next()) {
        dumper.on_datagram({d->payload, d->from, t0});
    }
    dumper.set_undecoded(r.undecoded());
    return {out.str(), dumper.summary()};
}

} // namespace

TEST(FipdumpReassembly, EthernetCaptureDecodesAsLoopbackOneAndCountsWhatItCannot) {
    testsupport::TempDir dir;
    const auto datagrams = stream(24);
    ASSERT_GT(datagrams[2].size(), 57000U); // several datagrams need 40 fragments or more
    {
        PcapWriter w(dir.file("lo.pcap"), port);
        for (const Bytes& d : datagrams) {
            w.write({d, gw, t0});
        }
    }
    std::vector<Bytes> packets;
    for (std::size_t i = 0; i < datagrams.size(); ++i) {
        for (const Bytes& f : fragment(ip_udp(datagrams[i], std::uint16_t(100 + i)))) {
            packets.push_back(ethernet(f));
        }
    }
    write_ethernet(dir.file("eth.pcap"), packets);
    const Decoded lo = decode({dir.file("lo.pcap")});
    const Decoded eth = decode({dir.file("eth.pcap")});
    EXPECT_EQ(eth.events, lo.events);
    EXPECT_EQ(eth.summary.totals.datagrams, 24U);
    EXPECT_EQ(eth.summary.totals.lost_datagrams, 0U);
    EXPECT_EQ(eth.summary.totals.malformed, 0U);
    EXPECT_EQ(eth.summary.undecoded.fragments.reassembled, 18U); // 6 one-record datagrams fit
    EXPECT_EQ(eth.summary.undecoded.fragments.incomplete, 0U);

    // The same capture as a real link gives it: fragments out of order, one captured twice,
    // one lost, other traffic around.
    std::vector<Bytes> real;
    std::size_t lost_fragments = 0;
    for (std::size_t i = 0; i < datagrams.size(); ++i) {
        auto frags = fragment(ip_udp(datagrams[i], std::uint16_t(100 + i)));
        if (i == 5) {
            std::reverse(frags.begin(), frags.end());
        }
        if (i == 6) {
            frags.insert(frags.begin() + 4, Bytes(frags[3]));
        }
        if (i == 9) {
            lost_fragments = frags.size() - 1;
            frags.erase(frags.begin() + 7);
        }
        for (const Bytes& f : frags) {
            real.push_back(ethernet(f));
        }
    }
    real.push_back(ethernet(ip_udp(Bytes(40, 1), 7, 5000)));
    real.push_back(ethernet(ip_udp(Bytes(40, 1), 8, 5000)));
    real.push_back(ethernet(ip_udp(Bytes(40, 1), 9, 53)));
    real.push_back(ethernet(Bytes(28, 0), 0x0806)); // ARP
    write_ethernet(dir.file("real.pcap"), real);
    const Decoded r = decode({dir.file("real.pcap")});
    const auto& u = r.summary.undecoded;
    EXPECT_EQ(r.summary.totals.datagrams, 23U);
    EXPECT_EQ(r.summary.totals.lost_datagrams, 1U); // the one missing a fragment
    EXPECT_EQ(r.summary.totals.malformed, 0U);
    EXPECT_EQ(u.fragments.reassembled, 17U);
    EXPECT_EQ(u.fragments.incomplete, 1U);
    EXPECT_EQ(u.fragments.incomplete_fragments, lost_fragments);
    EXPECT_EQ(u.fragments.overlaps, 1U);
    EXPECT_EQ(u.not_udp, 1U);
    EXPECT_EQ((std::map<std::uint16_t, std::uint64_t>{{53, 1}, {5000, 2}}), u.other_ports);
    const std::string text = text_summary(r.summary);
    EXPECT_NE(text.find("3 datagrams to other ports: 53, 5000\n"), std::string::npos) << text;
    EXPECT_NE(text.find("17 datagrams reassembled, 1 never completed"), std::string::npos) << text;
}

TEST(FipdumpReassembly, ConflictsBoundsAndTimeOutsGiveUpRatherThanGuess) {
    const Bytes ip = ip_udp(Bytes(4000, 0x5A), 1);
    auto frags = fragment(ip);
    ASSERT_EQ(frags.size(), 3U);

    // A fragment overlapping with different bytes: the datagram is not delivered at all.
    {
        Ipv4Reassembler r;
        Bytes forged = frags[1];
        forged.back() ^= 0xFF;
        EXPECT_FALSE(r.add(frags[1], t0));
        EXPECT_FALSE(r.add(forged, t0));
        EXPECT_FALSE(r.add(frags[0], t0));
        EXPECT_FALSE(r.add(frags[2], t0)); // starts a datagram that can no longer complete
        r.finish();
        EXPECT_EQ(r.counts().overlaps, 1U);
        EXPECT_EQ(r.counts().reassembled, 0U);
        EXPECT_EQ(r.counts().incomplete, 2U);
    }
    // Two different last fragments of one datagram.
    {
        Ipv4Reassembler r;
        Bytes shorter = frags[2];
        shorter[3] = static_cast<std::uint8_t>(shorter[3] - 8);
        shorter.resize(shorter.size() - 8);
        EXPECT_FALSE(r.add(frags[2], t0));
        EXPECT_FALSE(r.add(shorter, t0));
        EXPECT_EQ(r.counts().overlaps, 1U);
        EXPECT_EQ(r.pending(), 0U);
    }
    // Time-out from the first fragment, in capture time; memory bounded by evicting the oldest.
    {
        Ipv4Reassembler r;
        EXPECT_FALSE(r.add(frags[0], t0));
        EXPECT_FALSE(r.add(frags[1], t0 + Ipv4Reassembler::kTimeout));
        EXPECT_EQ(r.counts().incomplete, 1U);
        EXPECT_EQ(r.counts().incomplete_fragments, 1U);
        for (std::uint16_t id = 2; id < 2 + 2 * Ipv4Reassembler::kMaxPending; ++id) {
            (void)r.add(fragment(ip_udp(Bytes(4000, 0), id))[0], t0 + std::chrono::seconds(31));
        }
        EXPECT_EQ(r.pending(), Ipv4Reassembler::kMaxPending);
        EXPECT_EQ(r.counts().incomplete, 2 + Ipv4Reassembler::kMaxPending);
    }
    // A non-last fragment not a multiple of 8 bytes, and one reaching past 64 KiB.
    {
        Ipv4Reassembler r;
        Bytes odd = frags[0];
        odd[3] = static_cast<std::uint8_t>(odd[3] - 1);
        EXPECT_FALSE(r.add(odd, t0));
        Bytes far = frags[2];
        far[6] = 0x1F;
        far[7] = 0xFF;
        EXPECT_FALSE(r.add(far, t0));
        EXPECT_EQ(r.counts().bad, 2U);
        EXPECT_EQ(r.pending(), 0U);
    }
    // Cut by the snap length: a hole stays, the datagram is never made up.
    {
        Ipv4Reassembler r;
        EXPECT_FALSE(r.add(Bytes(frags[1].begin(), frags[1].end() - 100), t0));
        EXPECT_FALSE(r.add(frags[0], t0));
        EXPECT_FALSE(r.add(frags[2], t0));
        const Bytes whole_again = frags[1];
        const auto d = r.add(whole_again, t0); // the missing bytes come with a retransmission
        ASSERT_TRUE(d.has_value());
        EXPECT_EQ(*d, ip);
    }
}
