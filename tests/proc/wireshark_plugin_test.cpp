// The compiled Wireshark plugin against the Lua dissector it replaces: both decode the same
// crafted captures (every frame kind and failed check, sequence gaps, duplicates, late and lost
// datagrams, index breaks, every poll outcome, malformed and damaged datagrams, IPv6 and IP
// fragments) and must agree on every field of every event, every tree line and expert item, and
// the fipgate,ids table. Then the two ways the plugin is loaded: installed into the personal
// folder by the build's own target, and beside the Lua file, which then steps aside.
#include <gtest/gtest.h>

#include <pcap/pcap.h>
#include <sys/wait.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "support/child_process.hpp"
#include "support/fipdump_stream.hpp"
#include "support/tshark_dissectors.hpp"
#include "wire/fcs.hpp"

namespace {

using namespace std::chrono_literals;
using fipdump_test::Bytes;
using fipdump_test::datagram;
using fipdump_test::lifesign_record;
using fipdump_test::put_be;
using testsupport::Dissectors;
using testsupport::TsharkHomes;

constexpr std::uint16_t kGatewayPort = 57117; // the gateway's default destination port
constexpr std::size_t kLifesignSize = 323;    // bytes of the lifesign fields known today

// `body` (control byte onwards) closed by its FCS of `fcs_type` (1 or 2); `corrupt` flips a bit.
Bytes fcs_frame(std::uint8_t fcs_type, Bytes body, bool corrupt = false) {
    std::uint16_t fcs = wire::compute_fcs(fcs_type, body).value();
    put_be(body, corrupt ? fcs ^ 0x0100U : fcs, 2);
    return body;
}

Bytes record(std::uint64_t idx, const Bytes& frame, std::uint8_t fcs_type = 1,
             std::uint8_t status = 0) {
    Bytes r{0xC0};
    put_be(r, 30 + frame.size(), 2);
    r.push_back(static_cast<std::uint8_t>(fcs_type << 3 | (status & 0x07U)));
    r.push_back(status);
    put_be(r, idx, 8);
    for (std::uint8_t i = 0; i < 17; ++i) {
        r.push_back(static_cast<std::uint8_t>(0x30 + i));
    }
    r.insert(r.end(), frame.begin(), frame.end());
    return r;
}

Bytes with_count(Bytes d, std::uint32_t count) {
    for (int i = 0; i < 4; ++i) {
        d[12 + i] = static_cast<std::uint8_t>(count >> (24 - 8 * i));
    }
    return d;
}

// One IP packet of a capture, raw (no link layer).
struct Packet {
    Bytes ip;
};

Packet ipv4(const Bytes& payload, std::uint32_t src, std::uint16_t src_port = 40000,
            std::uint16_t dst_port = kGatewayPort) {
    return {fipdump_test::ip_udp_packet(payload, src, src_port, dst_port)};
}

// The same UDP datagram cut into IPv4 fragments of at most `chunk` payload bytes (a multiple of 8).
std::vector<Packet> ipv4_fragments(const Bytes& payload, std::uint32_t src, std::uint16_t id,
                                   std::size_t chunk) {
    const Bytes whole = fipdump_test::ip_udp_packet(payload, src, 40000, kGatewayPort);
    const Bytes l4(whole.begin() + 20, whole.end()); // UDP header and payload
    std::vector<Packet> out;
    for (std::size_t at = 0; at < l4.size(); at += chunk) {
        const std::size_t n = std::min(chunk, l4.size() - at);
        const bool more = at + n < l4.size();
        Bytes p{0x45, 0};
        put_be(p, 20 + n, 2);
        put_be(p, id, 2);
        put_be(p, (more ? 0x2000U : 0U) | (at / 8), 2);
        p.insert(p.end(), {64, 17, 0, 0});
        put_be(p, src, 4);
        put_be(p, 0xFFFFFFFF, 4);
        p.insert(p.end(), l4.begin() + static_cast<long>(at),
                 l4.begin() + static_cast<long>(at + n));
        out.push_back({p});
    }
    return out;
}

// IPv6 from 2001:db8::`host` to ff02::1; with `fragment` = {offset, more, id}, a fragment header
// carries `l4` (which is then a piece of a UDP datagram) instead of a whole one.
Bytes ipv6_header(std::uint8_t host, std::size_t payload_len, std::uint8_t next) {
    Bytes p{0x60, 0, 0, 0};
    put_be(p, payload_len, 2);
    p.push_back(next);
    p.push_back(64);
    Bytes src{0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, host};
    Bytes dst{0xff, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    p.insert(p.end(), src.begin(), src.end());
    p.insert(p.end(), dst.begin(), dst.end());
    return p;
}

Bytes udp_segment(const Bytes& payload, std::uint16_t src_port) {
    Bytes u;
    put_be(u, src_port, 2);
    put_be(u, kGatewayPort, 2);
    put_be(u, 8 + payload.size(), 2);
    put_be(u, 0, 2);
    u.insert(u.end(), payload.begin(), payload.end());
    return u;
}

Packet ipv6(const Bytes& payload, std::uint8_t host) {
    const Bytes u = udp_segment(payload, 40000);
    Bytes p = ipv6_header(host, u.size(), 17);
    p.insert(p.end(), u.begin(), u.end());
    return {p};
}

std::vector<Packet> ipv6_fragments(const Bytes& payload, std::uint8_t host, std::uint32_t id,
                                   std::size_t chunk) {
    const Bytes u = udp_segment(payload, 40000);
    std::vector<Packet> out;
    for (std::size_t at = 0; at < u.size(); at += chunk) {
        const std::size_t n = std::min(chunk, u.size() - at);
        Bytes p = ipv6_header(host, 8 + n, 44);
        p.insert(p.end(), {17, 0});
        put_be(p, (at & ~7U) | (at + n < u.size() ? 1U : 0U), 2);
        put_be(p, id, 4);
        p.insert(p.end(), u.begin() + static_cast<long>(at), u.begin() + static_cast<long>(at + n));
        out.push_back({p});
    }
    return out;
}

void write_pcap(const std::string& path, const std::vector<Packet>& packets) {
    pcap_t* dead = pcap_open_dead(DLT_RAW, 65535);
    ASSERT_NE(dead, nullptr);
    pcap_dumper_t* dumper = pcap_dump_open(dead, path.c_str());
    ASSERT_NE(dumper, nullptr) << pcap_geterr(dead);
    long usec = 0;
    for (const Packet& p : packets) {
        pcap_pkthdr hdr{};
        hdr.ts.tv_sec = 1'700'000'000 + usec / 1'000'000;
        hdr.ts.tv_usec = usec % 1'000'000;
        usec += 1'250;
        hdr.caplen = hdr.len = static_cast<bpf_u_int32>(p.ip.size());
        pcap_dump(reinterpret_cast<u_char*>(dumper), &hdr, p.ip.data());
    }
    pcap_dump_close(dumper);
    pcap_close(dead);
}

Bytes identifier(std::uint8_t control, std::uint16_t id, bool corrupt = false) {
    return fcs_frame(
        1, {control, static_cast<std::uint8_t>(id >> 8), static_cast<std::uint8_t>(id)}, corrupt);
}

// Every control byte at a valid length and at wrong ones, unknown bytes, bad PDUs, every FCS
// type, empty and cut frames, and the status bits: one gateway, numbered records.
std::vector<Packet> frame_kinds(std::uint32_t src) {
    const std::vector<std::uint8_t> controls{0x03, 0x05, 0x09, 0x29, 0x02, 0x06, 0x0A, 0x0E,
                                             0x2A, 0x2E, 0x08, 0x28, 0x04, 0x14, 0x94, 0x10,
                                             0x30, 0x90, 0xB0, 0x40, 0x07, 0xFF, 0x00};
    std::vector<Bytes> records;
    std::uint64_t idx = 1;
    for (std::uint8_t c : controls) {
        for (std::size_t len : {1, 2, 3, 4, 7, 40, 129, 140, 263, 270}) {
            Bytes body{c};
            for (std::size_t i = 1; i < len; ++i) {
                body.push_back(static_cast<std::uint8_t>(i == 1 ? (len % 3 ? 0x40 : 0x50) : i));
            }
            records.push_back(record(idx, fcs_frame(1, body), 1, static_cast<std::uint8_t>(idx)));
            ++idx;
        }
    }
    for (std::uint8_t type : {0, 1, 2, 3}) {
        records.push_back(record(idx++, {0x03, 0x12, 0x34, 0xB5, 0x69}, type));
        records.push_back(record(idx++, {0x03, 0x12, 0x34, 0xBC, 0x01}, type));
    }
    records.push_back(record(idx++, fcs_frame(1, {0x02, 0x41, 0x00})));    // bad PDU
    records.push_back(record(idx++, fcs_frame(2, {0x02, 0x40, 1}, true))); // bad FCS
    records.push_back(record(idx++, {}));                                  // empty frame
    records.push_back(record(idx++, {0x02}));
    records.push_back(record(idx++, {0x02, 0x40}));
    std::vector<Packet> out;
    std::uint64_t seq = 1;
    for (std::size_t at = 0; at < records.size(); at += 7) {
        const std::vector<Bytes> some(records.begin() + static_cast<long>(at),
                                      records.begin() +
                                          static_cast<long>(std::min(at + 7, records.size())));
        out.push_back(ipv4(datagram(seq++, some), src));
    }
    return out;
}

// A bus of polls and answers from one gateway, seeded: responses good and bad, silent stations,
// unnumbered records, index breaks, and datagrams lost, repeated, late, and a restart; a second
// gateway interleaved, and a reload (1 again from a new port of the same address).
std::vector<Packet> bus(std::uint32_t src, std::uint32_t seed) {
    std::mt19937 random(seed);
    const Bytes good = fcs_frame(1, {0x02, 0x40, 0x11, 0x22});
    std::vector<Packet> out;
    std::uint64_t idx = 1, seq = 1;
    std::uint16_t port = 40000;
    Bytes previous;
    for (int d = 0; d < 40; ++d) {
        std::vector<Bytes> events;
        const int n = 1 + static_cast<int>(random() % 9);
        for (int i = 0; i < n; ++i) {
            const std::uint16_t id = static_cast<std::uint16_t>(0x0100 + random() % 6);
            events.push_back(
                record(idx++, identifier(random() % 5 ? 0x03 : 0x05, id, random() % 17 == 0)));
            switch (random() % 8) {
            case 0: // silent: the next identifier comes
                break;
            case 1:
                events.push_back(record(idx++, fcs_frame(1, {0x02, 0x40, 0x11}, true)));
                break;
            case 2:
                events.push_back(record(idx++, fcs_frame(1, {0x0E, 0x41, 0x11})));
                break;
            case 3:
                events.push_back(record(0, good)); // unnumbered
                break;
            case 4:
                idx += 1 + random() % 3; // records lost between
                events.push_back(record(idx++, good));
                break;
            default:
                events.push_back(record(idx++, good));
            }
            if (random() % 13 == 0) {
                events.push_back(lifesign_record(seq, 1'700'000'000'000'000LL + d));
            }
        }
        Bytes dg = datagram(seq, events);
        switch (random() % 10) {
        case 0:
            seq += 2; // one datagram lost
            break;
        case 1:
            if (!previous.empty()) {
                out.push_back(ipv4(previous, src, port)); // late
            }
            break;
        case 2:
            out.push_back(ipv4(dg, src, port)); // repeated
            break;
        default:
            break;
        }
        out.push_back(ipv4(dg, src, port));
        if (d % 9 == 4) {
            out.push_back(ipv4(datagram(500 + d, {record(7000 + d, good)}), src + 1, 40001));
        }
        if (d == 25) {
            seq = 0; // a restart: the next datagram is 1 again, from a reload's new port
            idx = 1;
            ++port;
        }
        previous = dg;
        ++seq;
    }
    return out;
}

// Malformed datagrams of every kind the walk flags, each with the stream going on after it.
std::vector<Packet> malformed(std::uint32_t src) {
    const Bytes ack = record(0, fcs_frame(1, {0x40}));
    Bytes short_lifesign = lifesign_record(9);
    short_lifesign.resize(32);
    short_lifesign[1] = 0;
    short_lifesign[2] = 32;
    Bytes long_lifesign = lifesign_record(10);
    long_lifesign.resize(kLifesignSize + 77, 0xEE);
    long_lifesign[1] = static_cast<std::uint8_t>(long_lifesign.size() >> 8);
    long_lifesign[2] = static_cast<std::uint8_t>(long_lifesign.size());
    const std::vector<Bytes> payloads{
        datagram(1, {ack, {0xC0, 0x00, 0x02}}),
        datagram(2, {ack, {0xC0, 0x00, 0x40, 0x00}}),
        datagram(3, {{0xC7, 0x00, 0x05, 0x01, 0x02}, ack}),
        with_count(datagram(4, {ack}), 3),
        datagram(5, {{0xC0, 0x00, 0x0A, 1, 2, 3, 4, 5, 6, 7}}),
        datagram(6, {ack, {0x00, 0x01}}),
        datagram(7, {short_lifesign, long_lifesign, lifesign_record(11)}),
        datagram(8, {{0xC1, 0x00, 0x0B, 0, 0, 0, 0, 0, 0, 0, 12}}),
        Bytes{0x43, 0x56, 0x01, 0x00, 0x00},
        Bytes{0x43, 0x56, 0x02, 0x00, 0, 0, 0, 0, 0, 0, 0, 8, 0, 0, 0, 1},
        datagram(10, {ack, {0xC0, 0x00, 0x03}}),
        datagram(11, {}),
    };
    std::vector<Packet> out;
    for (const Bytes& p : payloads) {
        out.push_back(ipv4(p, src));
    }
    return out;
}

// Good datagrams with bytes overwritten, cut short and lengths scrambled (seeded).
std::vector<Packet> damaged(std::uint32_t src) {
    std::mt19937 random(20261208);
    const Bytes good = datagram(1, {record(1, fcs_frame(1, {0x02, 0x40, 1, 2})),
                                    lifesign_record(3, 1'700'000'000'000'000LL),
                                    record(2, fcs_frame(2, {0x03, 0x00, 0x10}), 2)});
    std::vector<Packet> out;
    for (int i = 0; i < 150; ++i) {
        Bytes d = good;
        for (int h = 1 + static_cast<int>(random() % 4); h > 0; --h) {
            const std::size_t at =
                random() % 4 == 0 ? random() % d.size() : 4 + random() % (d.size() - 4);
            d[at] = static_cast<std::uint8_t>(random());
        }
        if (random() % 3 == 0) {
            d.resize(random() % d.size());
        }
        if (d.size() >= 12) {
            for (int b = 0; b < 8; ++b) {
                d[4 + b] =
                    static_cast<std::uint8_t>(static_cast<std::uint64_t>(i + 1) >> (56 - 8 * b));
            }
        }
        out.push_back(ipv4(d, src, 40002));
    }
    return out;
}

// A bus over IPv6, and datagrams too large for one IP packet, cut into IPv4 and IPv6 fragments.
std::vector<Packet> ipv6_and_fragments() {
    std::vector<Packet> out;
    for (const Packet& p : bus(0x0A000030, 7)) {
        // The same stream from an IPv6 address: only the network layer changes.
        const Bytes payload(p.ip.begin() + 28, p.ip.end());
        out.push_back(ipv6(payload, static_cast<std::uint8_t>(p.ip[15])));
    }
    std::vector<Bytes> many;
    for (std::uint64_t idx = 1; idx <= 90; ++idx) {
        many.push_back(
            record(idx, idx % 2 ? identifier(0x03, 0x0300) : fcs_frame(1, {0x02, 0x40, 7})));
    }
    for (const Packet& p : ipv4_fragments(datagram(1, many), 0x0A000040, 77, 1480)) {
        out.push_back(p);
    }
    for (const Packet& p : ipv6_fragments(datagram(1, many), 0x41, 99, 1232)) {
        out.push_back(p);
    }
    return out;
}

struct Capture {
    const char* name;
    std::vector<Packet> (*packets)();
};

void PrintTo(const Capture& capture, std::ostream* os) {
    *os << capture.name;
}

const Capture kCaptures[] = {
    {"frame_kinds_and_checks", [] { return frame_kinds(0x0A000001); }},
    {"bus_with_every_outcome", [] { return bus(0x0A000010, 12345); }},
    {"malformed", [] { return malformed(0x0A000020); }},
    {"damaged", [] { return damaged(0x0A000021); }},
    {"ipv6_and_fragments", ipv6_and_fragments},
};

class PluginAgreement : public testing::TestWithParam<Capture> {
protected:
    void SetUp() override {
        if (!TsharkHomes::available()) {
            GTEST_SKIP() << "tshark or the Wireshark plugin is missing (scripts/install-deps)";
        }
    }
};

TEST_P(PluginAgreement, EveryFieldOfEveryEventAsTheLuaDissector) {
    TsharkHomes homes;
    const std::string pcap = homes.readable(std::string(GetParam().name) + ".pcap");
    write_pcap(pcap, GetParam().packets());
    TsharkHomes::give_to_tshark_user(pcap);
    std::string trees;
    const std::string disagreement = testsupport::dissector_disagreement(homes, pcap, &trees);
    EXPECT_TRUE(disagreement.empty()) << disagreement;
    // Not vacuous: the plugin dissects the capture.
    EXPECT_NE(trees.find("FIP gateway stream, Seq: "), std::string::npos) << trees;
}

INSTANTIATE_TEST_SUITE_P(Captures, PluginAgreement, testing::ValuesIn(kCaptures),
                         [](const auto& info) { return std::string(info.param.name); });

class PluginLoading : public testing::Test {
protected:
    void SetUp() override {
        if (!TsharkHomes::available()) {
            GTEST_SKIP() << "tshark or the Wireshark plugin is missing (scripts/install-deps)";
        }
        pcap = homes.readable("bus.pcap");
        write_pcap(pcap, bus(0x0A000010, 99));
        TsharkHomes::give_to_tshark_user(pcap);
    }
    TsharkHomes homes;
    std::string pcap;
};

// The same registrations: every field with its type, base and value strings, the heuristic, the
// port and its preference.
TEST_F(PluginLoading, RegistersWhatTheLuaDissectorRegisters) {
    const std::string disagreement = testsupport::registration_disagreement(homes);
    EXPECT_TRUE(disagreement.empty()) << disagreement;
}

// The build's own target puts the plugin where tshark finds it for this user, with no -X.
TEST_F(PluginLoading, PersonalFolderInstallLoadsInTshark) {
    const std::string home = homes.readable("user-home");
    testsupport::ChildProcess install({"env", "HOME=" + home, "cmake", "--build",
                                       FIPGATE_BINARY_DIR, "--target",
                                       "install-wireshark-plugin-user"});
    const int status = install.wait_exit(120s);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << install.out() << install.err();
    TsharkHomes::give_to_tshark_user(home);
    const auto plugins = TsharkHomes::run_in(home, {"-G", "plugins"});
    EXPECT_NE(plugins.out.find(TsharkHomes::personal_plugin_dir(home) + "/fipgate.so"),
              std::string::npos)
        << plugins.out << plugins.err;
    const auto table = TsharkHomes::run_in(home, {"-n", "-r", pcap, "-q", "-z", "fipgate,ids"});
    EXPECT_NE(table.out.find("FIP identifiers (fipgate,ids)"), std::string::npos) << table.err;
    EXPECT_EQ(table.out,
              homes.run(Dissectors::Lua, {"-n", "-r", pcap, "-q", "-z", "fipgate,ids"}).out);
}

// With the Lua file loaded too, the plugin does the work and the Lua file says once that it
// steps aside.
TEST_F(PluginLoading, LuaFileStepsAsideForThePlugin) {
    const std::vector<std::string> args{"-n", "-r", pcap, "-2", "-V", "-O", "fipgate"};
    const auto both = homes.run(Dissectors::Both, args);
    const auto plugin = homes.run(Dissectors::Plugin, args);
    ASSERT_TRUE(WIFEXITED(both.status) && WEXITSTATUS(both.status) == 0) << both.err;
    EXPECT_EQ(both.out, plugin.out);
    const std::string message = "the Lua dissector " + homes.home(Dissectors::Both) +
                                "/.local/lib/wireshark/plugins/fipgate.lua steps aside";
    const std::size_t at = both.err.find(message);
    EXPECT_NE(at, std::string::npos) << both.err;
    EXPECT_EQ(both.err.find(message, at + 1), std::string::npos) << both.err;
    EXPECT_EQ(both.err.find("Lua Error"), std::string::npos) << both.err;
    EXPECT_EQ(both.err.find("Error during loading"), std::string::npos) << both.err;
}

} // namespace
