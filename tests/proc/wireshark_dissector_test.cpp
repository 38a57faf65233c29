// The Wireshark dissector wireshark/fipgate.lua, run by tshark on pcap files built here with
// libpcap: field values through -T fields, expert information through -V, sequence tracking in one
// and two passes, the port preference, Decode As and the heuristic.
#include <gtest/gtest.h>

#include <pcap/pcap.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "support/child_process.hpp"
#include "support/temp_dir.hpp"
#include "wire/fcs.hpp"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint16_t kGatewayPort = 57117; // the gateway's default destination port
constexpr std::uint16_t kOtherPort = 6000;    // a port nothing is registered on
constexpr std::size_t kLifesignSize = 323;    // bytes of every lifesign record
constexpr auto kTsharkTimeout = 60s;          // a loaded CI machine starts tshark slowly
const std::string kScript = FIPGATE_SOURCE_DIR "/wireshark/fipgate.lua";

void put_be(Bytes& out, std::uint64_t value, int size) {
    for (int i = size - 1; i >= 0; --i) {
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
}

void set_be(Bytes& out, std::size_t offset, std::uint64_t value, int size) {
    for (int i = 0; i < size; ++i) {
        out[offset + i] = static_cast<std::uint8_t>(value >> (8 * (size - 1 - i)));
    }
}

// `body` (control byte onwards) closed by its FCS of `fcs_type`; `corrupt` flips the last bit.
Bytes fip_frame(std::uint8_t fcs_type, Bytes body, bool corrupt = false) {
    std::uint16_t fcs = wire::compute_fcs(fcs_type, body).value();
    if (corrupt) {
        fcs ^= 1U;
    }
    put_be(body, fcs, 2);
    return body;
}

Bytes capture_record(std::uint64_t idx, const Bytes& frame, std::uint8_t fcs_type = 1,
                     std::uint8_t status = 0) {
    Bytes r{0xC0};
    put_be(r, 30 + frame.size(), 2);
    r.push_back(static_cast<std::uint8_t>(fcs_type << 3));
    r.push_back(status);
    put_be(r, idx, 8);
    for (std::uint8_t i = 0; i < 17; ++i) {
        r.push_back(0xA0 + i);
    }
    r.insert(r.end(), frame.begin(), frame.end());
    return r;
}

Bytes datagram(std::uint64_t seq, const std::vector<Bytes>& events, long count = -1) {
    Bytes d{0x43, 0x56, 0x01, 0x00};
    put_be(d, seq, 8);
    put_be(d, count < 0 ? events.size() : static_cast<std::uint64_t>(count), 4);
    for (const Bytes& e : events) {
        d.insert(d.end(), e.begin(), e.end());
    }
    return d;
}

struct Packet {
    Bytes payload;
    std::uint16_t dst_port = kGatewayPort;
    std::uint16_t src_port = 40000;
};

// Ethernet, IPv4 and UDP headers around the payload, sent to 255.255.255.255, as the gateway's
// broadcasts look on the wire.
Bytes udp_frame(const Packet& p) {
    Bytes f(6, 0xFF);
    for (std::uint8_t b : {0x02, 0x00, 0x00, 0x00, 0x00, 0x01, 0x08, 0x00}) {
        f.push_back(b);
    }
    const std::size_t udp_len = 8 + p.payload.size();
    for (std::uint8_t b : {0x45, 0x00}) {
        f.push_back(b);
    }
    put_be(f, 20 + udp_len, 2);
    put_be(f, 0, 4);          // identification, flags, fragment offset
    put_be(f, 0x4011, 2);     // TTL 64, protocol UDP
    put_be(f, 0, 2);          // header checksum: not checked by default
    put_be(f, 0x0A000002, 4); // 10.0.0.2
    put_be(f, 0xFFFFFFFF, 4); // 255.255.255.255
    put_be(f, p.src_port, 2);
    put_be(f, p.dst_port, 2);
    put_be(f, udp_len, 2);
    put_be(f, 0, 2); // no UDP checksum
    f.insert(f.end(), p.payload.begin(), p.payload.end());
    return f;
}

void write_pcap(const std::string& path, const std::vector<Packet>& packets) {
    pcap_t* dead = pcap_open_dead(DLT_EN10MB, 65535);
    ASSERT_NE(dead, nullptr);
    pcap_dumper_t* dumper = pcap_dump_open(dead, path.c_str());
    ASSERT_NE(dumper, nullptr) << pcap_geterr(dead);
    long second = 1'700'000'000;
    for (const Packet& p : packets) {
        const Bytes frame = udp_frame(p);
        pcap_pkthdr hdr{};
        hdr.ts.tv_sec = second++;
        hdr.caplen = hdr.len = static_cast<bpf_u_int32>(frame.size());
        pcap_dump(reinterpret_cast<u_char*>(dumper), &hdr, frame.data());
    }
    pcap_dump_close(dumper);
    pcap_close(dead);
}

bool have_tshark() {
    return ::system("command -v tshark >/dev/null 2>&1") == 0;
}

// tshark's standard output for `args` after the script and the file; fails the test on a non-zero
// exit or a Lua error.
std::string tshark(const std::string& pcap, const std::vector<std::string>& args) {
    std::vector<std::string> argv{"tshark", "-n", "-X", "lua_script:" + kScript, "-r", pcap};
    argv.insert(argv.end(), args.begin(), args.end());
    testsupport::ChildProcess child(argv);
    const int status = child.wait_exit(kTsharkTimeout);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << "\n" << child.err();
    EXPECT_EQ(child.out().find("Lua Error"), std::string::npos) << child.out();
    EXPECT_EQ(child.err().find("Lua Error"), std::string::npos) << child.err();
    return child.out();
}

// One row per displayed packet, one column per -e field (occurrences joined by ',').
std::vector<std::vector<std::string>> fields(const std::string& pcap,
                                             const std::vector<std::string>& names,
                                             std::vector<std::string> extra = {}) {
    std::vector<std::string> args = std::move(extra);
    for (const char* a : {"-Y", "fipgate", "-T", "fields", "-E", "separator=|"}) {
        args.emplace_back(a);
    }
    for (const std::string& n : names) {
        args.push_back("-e");
        args.push_back(n);
    }
    std::vector<std::vector<std::string>> rows;
    std::istringstream lines(tshark(pcap, args));
    for (std::string line; std::getline(lines, line);) {
        std::vector<std::string> row;
        std::size_t from = 0;
        for (std::size_t bar; (bar = line.find('|', from)) != std::string::npos; from = bar + 1) {
            row.push_back(line.substr(from, bar - from));
        }
        row.push_back(line.substr(from));
        rows.push_back(row);
    }
    return rows;
}

class DissectorTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!have_tshark()) {
            GTEST_SKIP() << "tshark is not installed (scripts/install-deps installs it)";
        }
    }
    std::string pcap(const std::string& name) const { return dir.file(name); }
    testsupport::TempDir dir;
};

// Frames of every kind, one capture record per datagram so that each row holds one frame.
TEST_F(DissectorTest, FrameKindsFcsAndGatewayChecks) {
    const std::vector<Bytes> frames{
        {0x03, 0x12, 0x34, 0xB5, 0x69},         // identifier, FCS type 1 check value
        fip_frame(1, {0x02, 0x40, 0x11, 0x22}), // variable response, valid PDU
        fip_frame(1, {0x08, 0x01, 0x02}),       // request-list response
        fip_frame(1, {0x14, 1, 2, 3, 4, 5, 6}), // message, 9 bytes
        fip_frame(1, {0x40}),                   // acknowledgement, 3 bytes
        fip_frame(1, {0x03, 0x12, 0x34}, true), // identifier with a bad FCS
        fip_frame(1, {0x07, 0x00, 0x01}),       // unknown control byte
        fip_frame(1, {0x02, 0x41, 0x00}),       // bad PDU type
        fip_frame(1, {0x03, 0x12, 0x34, 0x56}), // identifier of 6 bytes: bad length
    };
    std::vector<Packet> packets;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        packets.push_back({datagram(i + 1, {capture_record(i + 1, frames[i], 1, 0x81)})});
    }
    // The FCS type 2 check value travels in a record whose fcs_info selects type 2.
    packets.push_back(
        {datagram(frames.size() + 1, {capture_record(99, {0x03, 0x12, 0x34, 0xBC, 0x01}, 2)})});
    write_pcap(pcap("kinds.pcap"), packets);

    const auto rows = fields(
        pcap("kinds.pcap"),
        {"fipgate.idx", "fipgate.frame.control", "fipgate.frame.kind", "fipgate.frame.identifier",
         "fipgate.frame.pdu_type", "fipgate.frame.length", "fipgate.frame.fcs",
         "fipgate.frame.fcs_computed", "fipgate.check", "fipgate.fcs_type", "fipgate.status.bit0",
         "fipgate.status.bit7", "fipgate.frame.name", "_ws.expert.message"});
    ASSERT_EQ(rows.size(), 10U);
    using Row = std::vector<std::string>;
    EXPECT_EQ(rows[0], (Row{"1", "0x03", "identifier", "0x1234", "", "5", "0xb569", "0xb569", "0",
                            "1", "1", "1", "ID_DAT", ""}));
    EXPECT_EQ(rows[1][2], "variable response");
    EXPECT_EQ(rows[1][4], "0x40");
    EXPECT_EQ(rows[1][8], "0");
    EXPECT_EQ(rows[2][2], "request-list response");
    EXPECT_EQ(rows[2][8], "0");
    EXPECT_EQ(rows[3][2], "message");
    EXPECT_EQ(rows[3][5], "9");
    EXPECT_EQ(rows[3][8], "0");
    EXPECT_EQ(rows[4][2], "acknowledgement/end");
    EXPECT_EQ(rows[4][8], "0");
    // The gateway counts a frame under the first check it fails, in its order.
    EXPECT_EQ(rows[5][6], "0xb568");
    EXPECT_EQ(rows[5][7], "0xb569");
    EXPECT_EQ(rows[5][8], "2"); // bad FCS
    EXPECT_EQ(rows[6][2], "unknown");
    EXPECT_EQ(rows[6][8], "1"); // bad control byte
    EXPECT_EQ(rows[7][8], "3"); // bad PDU
    EXPECT_EQ(rows[8][8], "4"); // bad length
    EXPECT_EQ((Row{rows[1][12], rows[2][12], rows[3][12], rows[4][12], rows[6][12]}),
              (Row{"RP_DAT", "RP_RQ1", "RP_MSG_ACK_E", "RP_FIN", "?"}));
    // Each failed check is named in its own expert message, as the bad FCS is.
    const auto flagged = [&rows](std::size_t row, const std::string& message) {
        return rows[row][13].find(message) != std::string::npos;
    };
    EXPECT_TRUE(flagged(5, "Bad FCS: received 0xb568, computed 0xb569")) << rows[5][13];
    EXPECT_TRUE(flagged(6, "Bad control byte: 0x07 is none of the 20 frame control bytes"));
    EXPECT_TRUE(flagged(7, "Bad PDU: type 0x41 in a variable response, 0x40 or 0x50 expected"));
    EXPECT_TRUE(flagged(8, "Bad length: ID_DAT frame of 6 bytes, 5 expected")) << rows[8][13];
    EXPECT_TRUE(flagged(8, "Gateway counts this frame as: bad length"));
    EXPECT_EQ(rows[9],
              (Row{"99", "0x03", "identifier", "0x1234", "", "5", "0xbc01", "0xbc01", "0", "2", "0",
                   "0", "ID_DAT", "Record index break: 89 record(s) missing between 9 and 99"}));

    // The same frame with the other FCS type fails, and says so.
    Bytes wrong_type = capture_record(1, {0x03, 0x12, 0x34, 0xB5, 0x69}, 2);
    Bytes no_type = capture_record(2, {0x40, 0x00, 0x00}, 0);
    write_pcap(pcap("types.pcap"), {{datagram(1, {wrong_type, no_type})}});
    const std::string verbose = tshark(pcap("types.pcap"), {"-V", "-O", "fipgate"});
    EXPECT_NE(verbose.find("Bad FCS: received 0xb569, computed 0xbc01 (CRC-16/PROFIBUS)"),
              std::string::npos)
        << verbose;
    EXPECT_NE(verbose.find("Bad FCS: FCS type 0 names no algorithm"), std::string::npos);
    EXPECT_NE(verbose.find("Gateway counts this frame as: bad FCS"), std::string::npos);
}

// Every lifesign field at its offset: each integer field holds its own offset, so a field read
// from the wrong place shows the wrong number. The record is a newer gateway's, 17 bytes longer:
// what follows the known fields is skipped, never taken for a malformed record.
TEST_F(DissectorTest, LifesignFieldsAtTheirOffsets) {
    struct Field {
        const char* name;
        std::size_t offset;
        int size;
    };
    const std::vector<Field> integers{
        {"counter", 3, 8},
        {"sn", 19, 4},
        {"storage_total", 31, 4},
        {"storage_used", 35, 4},
        {"storage_avail", 39, 4},
        {"ram_total", 47, 4},
        {"ram_used", 51, 4},
        {"ram_avail", 55, 4},
        {"buffer_total", 63, 4},
        {"buffer_used", 67, 4},
        {"buffer_free", 71, 4},
        {"udp.loss_act_cnt", 128, 2},
        {"udp.pkt_rcvd", 130, 8},
        {"udp.pkt_rcvd_per_sec", 138, 4},
        {"udp.bytes_rcvd_per_sec", 142, 8},
        {"udp.pkt_sent", 150, 8},
        {"udp.pkt_sent_per_sec", 158, 4},
        {"udp.bytes_sent_per_sec", 162, 8},
        {"fip.loss_act_cnt", 219, 2},
        {"fip.frame_rcvd", 221, 8},
        {"fip.frame_rcvd_per_sec", 229, 4},
        {"fip.bytes_rcvd_per_sec", 233, 8},
        {"fip.fcs_type", 241, 1},
        {"fip.aux_code", 242, 1},
        {"st0_cnt", 243, 8},
        {"st12_cnt", 251, 8},
        {"st3_cnt", 259, 8},
        {"bad_ctrl_cnt", 267, 8},
        {"bad_fcs_cnt", 275, 8},
        {"bad_pdu_cnt", 283, 8},
        {"bad_len_cnt", 291, 8},
        {"st6_cnt", 299, 8},
        {"st5_cnt", 307, 8},
        {"st4_cnt", 315, 8},
    };
    Bytes ls(kLifesignSize + 17, 0xEE);
    ls[0] = 0xC1;
    set_be(ls, 1, ls.size(), 2);
    std::fill(ls.begin() + 3, ls.begin() + kLifesignSize, 0);
    for (const Field& f : integers) {
        set_be(ls, f.offset, f.offset, f.size);
    }
    const auto put_float = [&ls](std::size_t offset, float value) {
        set_be(ls, offset, std::bit_cast<std::uint32_t>(value), 4);
    };
    put_float(23, 12.5F);
    set_be(ls, 27, 0x7FC00000, 4); // not measured yet
    put_float(43, 43.25F);
    put_float(59, 59.5F);
    put_float(75, 75.75F);
    ls[79] = 1;
    ls[170] = 0;
    // 2023-11-14 22:13:20.123456 on the gateway's wall clock.
    set_be(ls, 11, 1'700'000'000'123'456LL, 8);
    set_be(ls, 80, 1'500'000, 8);                              // 1.5 s of activity
    set_be(ls, 88, static_cast<std::uint64_t>(-250'000LL), 8); // a negative duration stays negative
    set_be(ls, 104, 86'400'000'001LL, 8);                      // a day and a microsecond after 1970
    set_be(ls, 211, 3'000'000, 8);
    write_pcap(pcap("ls.pcap"), {{datagram(7, {ls})}});

    std::vector<std::string> names;
    for (const Field& f : integers) {
        names.push_back(std::string("fipgate.ls.") + f.name);
    }
    for (const char* n : {"cpu_load", "cpu_temp", "storage_used_pct", "ram_used_pct",
                          "buffer_used_pct", "udp.active", "fip.active", "date", "udp.total_act",
                          "udp.total_inact", "udp.last_stop", "fip.last_inact"}) {
        names.push_back(std::string("fipgate.ls.") + n);
    }
    const auto rows = fields(pcap("ls.pcap"), names);
    ASSERT_EQ(rows.size(), 1U);
    const auto& row = rows[0];
    ASSERT_EQ(row.size(), names.size());
    for (std::size_t i = 0; i < integers.size(); ++i) {
        EXPECT_EQ(row[i], std::to_string(integers[i].offset)) << names[i];
    }
    const std::vector<std::string> rest(row.begin() + static_cast<long>(integers.size()),
                                        row.end());
    EXPECT_EQ(rest, (std::vector<std::string>{"12.5", "nan", "43.25", "59.5", "75.75", "1", "0",
                                              "Nov 14, 2023 22:13:20.123456000 UTC", "1.500000000",
                                              "-0.250000000", "Jan  2, 1970 00:00:00.000001000 UTC",
                                              "3.000000000"}));

    const std::string verbose = tshark(pcap("ls.pcap"), {"-V", "-O", "fipgate"});
    EXPECT_NE(verbose.find("CPU temperature (°C): nan (not measured yet)"), std::string::npos)
        << verbose;
    EXPECT_NE(verbose.find("RAM total (KB): 47"), std::string::npos);
    EXPECT_NE(verbose.find("UDP link: active (1)"), std::string::npos);
    EXPECT_NE(verbose.find("Event 1: lifesign record, counter 3"), std::string::npos);
    EXPECT_NE(verbose.find("Lifesign record of 340 bytes: 17 bytes after the known fields skipped"),
              std::string::npos);
    EXPECT_EQ(verbose.find("Malformed"), std::string::npos);
    EXPECT_EQ(tshark(pcap("ls.pcap"), {}).find("MALFORMED"), std::string::npos);
}

// Gaps counted exactly, a restart at 1 recognised, duplicates and late datagrams flagged, and two
// senders tracked apart; the same verdicts in one pass and in two.
TEST_F(DissectorTest, SequenceTracking) {
    const Bytes ack = capture_record(0, fip_frame(1, {0x40}));
    std::vector<Packet> packets;
    for (std::uint64_t seq : {1, 2, 5, 5, 4, 6, 1, 2}) {
        packets.push_back({datagram(seq, {ack})});
    }
    // A second gateway interleaved on another source port is its own stream: no gap for either.
    packets.insert(packets.begin() + 1, Packet{datagram(100, {ack}), kGatewayPort, 40001});
    packets.insert(packets.begin() + 3, Packet{datagram(101, {ack}), kGatewayPort, 40001});
    // A reloaded gateway sends from a new socket: 1 from a new port of the same address.
    packets.push_back({datagram(1, {ack}), kGatewayPort, 40002});
    write_pcap(pcap("seq.pcap"), packets);

    const std::vector<std::string> names{"fipgate.seq", "fipgate.prev_seq", "fipgate.lost",
                                         "_ws.expert.message"};
    const auto expected = std::vector<std::vector<std::string>>{
        {"1", "", "", ""},
        {"100", "", "", ""},
        {"2", "1", "", ""},
        {"101", "100", "", ""},
        {"5", "2", "2", "Sequence gap: 2 datagram(s) lost between 2 and 5"},
        {"5", "5", "", "Duplicate of datagram 5"},
        {"4", "5", "", "Datagram 4 arrives after 5"},
        {"6", "5", "", ""},
        {"1", "6", "", "Gateway restart: sequence back to 1 after 6"},
        {"2", "1", "", ""},
        {"1", "2", "", "Gateway restart: sequence back to 1 after 2"},
    };
    EXPECT_EQ(fields(pcap("seq.pcap"), names), expected);
    EXPECT_EQ(fields(pcap("seq.pcap"), names, {"-2"}), expected);

    const std::string summary = tshark(pcap("seq.pcap"), {});
    EXPECT_NE(summary.find("Seq=5 Events=1 (1 capture, 0 lifesign), 2 lost"), std::string::npos)
        << summary;
    EXPECT_NE(summary.find(", restart"), std::string::npos);
}

// Record index continuity per gateway run, as fipdump counts it: forward and backward breaks,
// unnumbered records that neither break nor reset it, a duplicate datagram, a late one and lost
// datagrams that held no records break nothing, a restart expects 1 again, and a gateway joined
// mid-stream sets the reference with its first record.
TEST_F(DissectorTest, RecordIndexBreaks) {
    const Bytes ack = fip_frame(1, {0x40});
    const auto records = [&ack](std::initializer_list<std::uint64_t> indexes) {
        std::vector<Bytes> out;
        for (std::uint64_t idx : indexes) {
            out.push_back(capture_record(idx, ack));
        }
        return out;
    };
    const std::vector<Packet> packets{
        {datagram(1, records({1, 2}))},
        {datagram(2, records({0, 3, 7}))},
        {datagram(3, records({5, 6}))},
        {datagram(3, records({5, 6}))},
        {datagram(5, records({7}))},
        {datagram(4, records({99}))}, // late: its records were counted lost, not a new reference
        {datagram(40, records({1000})), kGatewayPort, 40001},
        {datagram(41, records({1001})), kGatewayPort, 40001},
        {datagram(1, records({1}))},
        {datagram(1, records({4}))},
    };
    write_pcap(pcap("idx.pcap"), packets);
    const std::vector<std::string> names{"fipgate.idx", "fipgate.prev_idx", "fipgate.lost_records",
                                         "_ws.expert.message"};
    using Rows = std::vector<std::vector<std::string>>;
    const Rows expected{
        {"1,2", "", "", ""},
        {"0,3,7", "3", "3", "Record index break: 3 record(s) missing between 3 and 7"},
        {"5,6", "7", "", "Record index break: 5 after 7"},
        {"5,6", "", "", "Duplicate of datagram 3"},
        {"7", "", "", "Sequence gap: 1 datagram(s) lost between 3 and 5"},
        {"99", "", "", "Datagram 4 arrives after 5"},
        {"1000", "", "", ""},
        {"1001", "", "", ""},
        {"1", "", "", "Gateway restart: sequence back to 1 after 5"},
        {"4", "0", "3",
         "Gateway restart: sequence back to 1 after 1,"
         "Record index break: 3 record(s) missing between 0 and 4"},
    };
    EXPECT_EQ(fields(pcap("idx.pcap"), names), expected);
    EXPECT_EQ(fields(pcap("idx.pcap"), names, {"-2"}), expected);
    const std::string summary = tshark(pcap("idx.pcap"), {});
    EXPECT_NE(summary.find("Seq=2 Events=3 (3 capture, 0 lifesign), 1 record index break(s)"),
              std::string::npos)
        << summary;
}

// One gateway's bus traffic with every outcome a poll can have, and a second gateway interleaved
// with it. Polls per identifier and their outcomes:
//   0x0100: response; no response (an identifier follows); pending (nothing follows)
//   0x0101: bad response (FCS), in the next datagram; unknown (an index break follows);
//           bad response (control byte)
//   0x0102: bad response (PDU); unknown (a restart follows)
//   0x0200 (message), 0x0300 (request list, a lifesign between), 0x0500 (other gateway): response
//   0x0301: bad response (length)
// An identifier frame with a bad FCS is no poll, and a duplicate datagram counts once.
std::vector<Packet> bus_with_every_outcome() {
    const auto id = [](std::uint8_t control, std::uint16_t identifier, bool corrupt = false) {
        return fip_frame(1,
                         {control, static_cast<std::uint8_t>(identifier >> 8),
                          static_cast<std::uint8_t>(identifier)},
                         corrupt);
    };
    const Bytes rp_dat = fip_frame(1, {0x02, 0x40, 0x11, 0x22});
    Bytes lifesign(kLifesignSize, 0);
    lifesign[0] = 0xC1;
    set_be(lifesign, 1, kLifesignSize, 2);
    const auto r = [](std::uint64_t idx, const Bytes& frame) { return capture_record(idx, frame); };
    const Bytes third = datagram(3, {r(18, rp_dat), r(19, id(0x03, 0x0102))});
    return {
        {datagram(1, {r(1, id(0x03, 0x0100)), r(2, rp_dat), r(3, id(0x03, 0x0101))})},
        {datagram(50, {r(700, id(0x03, 0x0500))}), kGatewayPort, 40001},
        {datagram(2, {r(4, fip_frame(1, {0x02, 0x40, 0x11}, true)), r(5, id(0x03, 0x0100)),
                      r(6, id(0x03, 0x0102)), r(7, fip_frame(1, {0x02, 0x41, 0x11})),
                      r(8, id(0x05, 0x0200)), r(9, fip_frame(1, {0x14, 1, 2, 3, 4, 5, 6})),
                      r(10, fip_frame(1, {0x30})), r(11, id(0x03, 0x0100, true)), r(12, rp_dat),
                      r(13, id(0x09, 0x0300)), lifesign, r(14, fip_frame(1, {0x08, 0x01, 0x02})),
                      r(15, id(0x03, 0x0101))})},
        {datagram(51, {r(701, rp_dat)}), kGatewayPort, 40001},
        {third},
        {third},
        {datagram(1,
                  {r(1, id(0x03, 0x0101)), r(2, fip_frame(1, {0x07, 0x00})), r(3, id(0x29, 0x0301)),
                   r(4, fip_frame(1, {0x28, 0x01})), r(5, id(0x03, 0x0100))})},
    };
}

// Each poll shows what it got, and each response the poll it answers. A response in the next
// datagram is a forward reference: one pass leaves that poll without a verdict, two passes give it.
TEST_F(DissectorTest, PollsShowTheirResponse) {
    write_pcap(pcap("bus.pcap"), bus_with_every_outcome());
    const std::vector<std::string> names{"fipgate.frame.response", "fipgate.frame.response_in",
                                         "fipgate.frame.response_name", "fipgate.frame.request_in",
                                         "fipgate.frame.request_idx"};
    using Rows = std::vector<std::vector<std::string>>;
    const Rows two_passes{
        {"response,bad response", "1,3", "RP_DAT,RP_DAT", "1", "1"},
        {"response", "4", "RP_DAT", "", ""},
        {"no response,bad response,response,response,unknown", "3,3,3",
         "RP_DAT,RP_MSG_ACK_E,RP_RQ1", "1,3,3,3", "3,6,8,13"},
        {"", "", "", "2", "700"},
        {"unknown", "", "", "", ""},
        {"", "", "", "", ""}, // the duplicate: its records were followed the first time
        {"bad response,bad response,pending", "7,7", "?,RP_RQ2", "7,7", "1,3"},
    };
    EXPECT_EQ(fields(pcap("bus.pcap"), names, {"-2"}), two_passes);
    const Rows one_pass = fields(pcap("bus.pcap"), names);
    ASSERT_EQ(one_pass.size(), two_passes.size());
    EXPECT_EQ(one_pass[0][0], "response");
    EXPECT_EQ(one_pass[1][0], "");
    EXPECT_EQ(one_pass[2][0], "no response,bad response,response,response");
    EXPECT_EQ(one_pass[3], two_passes[3]); // a response points back to its poll in one pass
    EXPECT_EQ(one_pass[4][0], "");
    EXPECT_EQ(one_pass[6][0], "bad response,bad response");

    const std::string verbose = tshark(pcap("bus.pcap"), {"-2", "-V", "-O", "fipgate"});
    for (const char* text :
         {"[Response: no response (ID_DAT follows)]",
          "[Response: pending (nothing follows in the capture)]",
          "[Response: unknown (record index break follows)]",
          "[Response: unknown (gateway restart follows)]",
          "[Response: bad response (RP_DAT, record 4 in frame 3, bad FCS)]",
          "[Response: bad response (RP_RQ2, record 4 in frame 7, bad length)]"}) {
        EXPECT_NE(verbose.find(text), std::string::npos) << text;
    }
    // The end of a capture is no silent producer: no expert item for the last poll.
    EXPECT_EQ(verbose.find("No response to identifier 0x0100 (nothing follows"), std::string::npos);
}

// The per-identifier table of `tshark -z fipgate,ids`: one row of counts per identifier.
std::map<std::string, std::vector<std::string>> identifier_table(const std::string& out) {
    std::map<std::string, std::vector<std::string>> table;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string first;
        words >> first;
        if (first.rfind("0x", 0) == 0 || first == "Total") {
            auto& row = table[first];
            for (std::string w; words >> w;) {
                row.push_back(w);
            }
        }
    }
    return table;
}

// Polls, responses (bad ones included), missing, bad (total and by check) and unknown per
// identifier, sick ones first, the same in one pass and in two; a display filter limits the table
// to the packets it passes.
TEST_F(DissectorTest, IdentifierStatistics) {
    write_pcap(pcap("bus.pcap"), bus_with_every_outcome());
    using Table = std::map<std::string, std::vector<std::string>>;
    //                 polls resp missing bad unknown ctrl FCS PDU len
    const Table expected{
        {"0x0100", {"3", "1", "1", "0", "0", "0", "0", "0", "0"}}, // the last one is pending
        {"0x0101", {"3", "2", "0", "2", "1", "1", "1", "0", "0"}},
        {"0x0102", {"2", "1", "0", "1", "1", "0", "0", "1", "0"}},
        {"0x0200", {"1", "1", "0", "0", "0", "0", "0", "0", "0"}},
        {"0x0300", {"1", "1", "0", "0", "0", "0", "0", "0", "0"}},
        {"0x0301", {"1", "1", "0", "1", "0", "0", "0", "0", "1"}},
        {"0x0500", {"1", "1", "0", "0", "0", "0", "0", "0", "0"}},
        {"Total", {"12", "8", "1", "4", "2", "1", "1", "1", "1"}},
    };
    const std::string out = tshark(pcap("bus.pcap"), {"-q", "-z", "fipgate,ids"});
    EXPECT_EQ(identifier_table(out), expected) << out;
    EXPECT_EQ(identifier_table(tshark(pcap("bus.pcap"), {"-2", "-q", "-z", "fipgate,ids"})),
              expected);
    // Sick identifiers first (most missing and bad), then the busiest.
    std::vector<std::size_t> at;
    for (const char* id : {"0x0101", "0x0100", "0x0102", "0x0301", "0x0200", "0x0300", "0x0500"}) {
        at.push_back(out.find(id));
    }
    EXPECT_TRUE(std::is_sorted(at.begin(), at.end())) << out;

    const std::string filtered =
        tshark(pcap("bus.pcap"), {"-q", "-z", "fipgate,ids,udp.srcport == 40001"});
    EXPECT_EQ(identifier_table(filtered),
              (Table{{"0x0500", {"1", "1", "0", "0", "0", "0", "0", "0", "0"}},
                     {"Total", {"1", "1", "0", "0", "0", "0", "0", "0", "0"}}}))
        << filtered;
    EXPECT_NE(filtered.find("Filter: udp.srcport == 40001"), std::string::npos);
}

// Crafted malformed datagrams are flagged, each with its own message, and never stop the dissector.
TEST_F(DissectorTest, MalformedEventsFlaggedNotFatal) {
    // Unnumbered, so that repeating it breaks no record index.
    const Bytes good = capture_record(0, fip_frame(1, {0x40}));
    Bytes short_lifesign(32, 0); // the fields it still holds are shown, the rest is not guessed
    short_lifesign[0] = 0xC1;
    short_lifesign[2] = 32;
    short_lifesign[10] = 9;
    const std::vector<Packet> packets{
        {datagram(1, {good, {0xC0, 0x00, 0x02}})},                // event length below 3
        {datagram(2, {good, {0xC0, 0x00, 0x40, 0x00}})},          // runs past the end
        {datagram(3, {{0xC7, 0x00, 0x05, 0x01, 0x02}, good})},    // unknown type, then a good one
        {datagram(4, {good}, 3)},                                 // count says 3, one walked
        {datagram(5, {{0xC0, 0x00, 0x0A, 1, 2, 3, 4, 5, 6, 7}})}, // capture shorter than 30
        {datagram(6, {good, {0x00, 0x01}})},                      // two stray bytes at the end
        {datagram(7, {short_lifesign})},
        {Bytes{0x43, 0x56, 0x01, 0x00, 0x00}}, // shorter than a header
        {Bytes{0x43, 0x56, 0x02, 0x00, 0, 0, 0, 0, 0, 0, 0, 8, 0, 0, 0, 1}}, // version 2
        {datagram(9, {good})}, // and the stream goes on
    };
    write_pcap(pcap("bad.pcap"), packets);

    const auto rows = fields(pcap("bad.pcap"), {"fipgate.seq", "fipgate.count", "fipgate.walked",
                                                "_ws.expert.message", "fipgate.ls.counter"});
    ASSERT_EQ(rows.size(), packets.size());
    const std::vector<std::string> messages{
        "Event 2: length 2 is below 3, the events after it cannot be found",
        "Event 2: length 64 runs 60 bytes past the end of the datagram",
        "Event 1: unknown type 0xc7",
        "Event count 3 in the header, 1 events walked",
        "Capture record of 10 bytes is shorter than its 30-byte header",
        "Event 2: 2 bytes left, too few for a type and a length",
        "Lifesign record of 32 bytes, shorter than its 323",
        "Datagram of 5 bytes is shorter than its 16-byte header",
        "Header does not start with 43 56 01 00",
    };
    for (std::size_t i = 0; i < messages.size(); ++i) {
        EXPECT_NE(rows[i][3].find(messages[i]), std::string::npos) << i << ": " << rows[i][3];
    }
    EXPECT_EQ(rows[2][2], "2"); // the walk steps over an unknown event by its length
    EXPECT_EQ(rows[6][4], "9");
    // Neither the short datagram nor the foreign one carried a sequence number: 8 counts as lost.
    EXPECT_EQ(rows[9], (std::vector<std::string>{
                           "9", "1", "1", "Sequence gap: 1 datagram(s) lost between 7 and 9", ""}));

    const std::string summary = tshark(pcap("bad.pcap"), {});
    EXPECT_NE(summary.find("Seq=4 Events=3 (1 capture, 0 lifesign), MALFORMED"), std::string::npos)
        << summary;
    const std::string verbose = tshark(pcap("bad.pcap"), {"-V"});
    EXPECT_NE(verbose.find("[Group: Malformed]"), std::string::npos);
}

// Random damage to good datagrams (bytes overwritten, cut short, lengths and counts scrambled)
// never makes the dissector fail: every datagram still gets its header decoded or flagged.
TEST_F(DissectorTest, DamagedDatagramsNeverRaiseLuaErrors) {
    std::mt19937 random(8122026); // fixed: the same damage on every run
    Bytes lifesign(kLifesignSize, 0);
    lifesign[0] = 0xC1;
    set_be(lifesign, 1, kLifesignSize, 2);
    const Bytes good = datagram(1, {capture_record(1, fip_frame(1, {0x02, 0x40, 1, 2})), lifesign,
                                    capture_record(2, fip_frame(2, {0x03, 0x00, 0x10}))});
    std::vector<Packet> packets;
    for (int i = 0; i < 300; ++i) {
        Bytes d = good;
        const int hits = 1 + static_cast<int>(random() % 4);
        for (int h = 0; h < hits; ++h) {
            // Offsets 0 to 3 stay mostly intact so that most damage reaches the events.
            const std::size_t at =
                random() % 4 == 0 ? random() % d.size() : 4 + random() % (d.size() - 4);
            d[at] = static_cast<std::uint8_t>(random());
        }
        if (random() % 3 == 0) {
            d.resize(random() % d.size());
        }
        set_be(d, 4, static_cast<std::uint64_t>(i + 1), d.size() >= 12 ? 8 : 0);
        packets.push_back({d});
    }
    write_pcap(pcap("damaged.pcap"), packets);
    const std::string verbose = tshark(pcap("damaged.pcap"), {"-V", "-O", "fipgate"});
    std::size_t trees = 0;
    for (std::size_t at = 0; (at = verbose.find("FIP gateway stream", at)) != std::string::npos;
         ++at) {
        ++trees;
    }
    EXPECT_EQ(trees, packets.size());
}

// Another port through the preference, through Decode As, or found by the heuristic; a datagram
// that only looks like the stream stays plain UDP.
TEST_F(DissectorTest, PortPreferenceDecodeAsAndHeuristic) {
    const Bytes good = capture_record(1, fip_frame(1, {0x40}));
    const Bytes empty = datagram(1, {}, 0); // no event: the heuristic cannot vouch for it
    write_pcap(pcap("port.pcap"),
               {{empty, kOtherPort},
                {datagram(2, {good}), kOtherPort},
                {Bytes{0x43, 0x56, 0x01, 0x00, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 1, 0x55, 0, 3},
                 kOtherPort}});
    const std::vector<std::string> seq{"fipgate.seq"};
    using Rows = std::vector<std::vector<std::string>>;
    EXPECT_EQ(fields(pcap("port.pcap"), seq), (Rows{{"2"}}));
    EXPECT_EQ(fields(pcap("port.pcap"), seq, {"-o", "fipgate.port:" + std::to_string(kOtherPort)}),
              (Rows{{"1"}, {"2"}, {"3"}}));
    EXPECT_EQ(fields(pcap("port.pcap"), seq,
                     {"-d", "udp.port==" + std::to_string(kOtherPort) + ",fipgate"}),
              (Rows{{"1"}, {"2"}, {"3"}}));
    EXPECT_EQ(fields(pcap("port.pcap"), seq, {"--disable-heuristic", "fipgate_udp"}), Rows{});
}

#ifdef FIPDUMP_BIN
// fipdump reads a capture and writes its own (-w); the dissector reads that file and agrees with
// fipdump's decoding of every event: index, frame kind and name, and FCS verdict, datagram by
// datagram.
TEST_F(DissectorTest, AgreesWithFipdumpOnACaptureItWrote) {
    std::mt19937 random(20261208); // fixed: the same frames on every run
    const std::vector<std::uint8_t> controls{0x03, 0x05, 0x02, 0x2E, 0x08, 0x14,
                                             0x94, 0x40, 0xB0, 0x07, 0xFF};
    std::vector<Packet> packets;
    std::uint64_t idx = 1;
    for (std::uint64_t seq = 1; seq <= 30; ++seq) {
        std::vector<Bytes> events;
        for (int n = 0; n < 20; ++n) {
            const auto fcs_type = static_cast<std::uint8_t>(random() % 4);
            Bytes body{controls[random() % controls.size()]};
            const std::size_t len = 1 + random() % 20;
            while (body.size() < len) {
                body.push_back(static_cast<std::uint8_t>(random()));
            }
            Bytes frame = fcs_type == 1 || fcs_type == 2
                              ? fip_frame(fcs_type, body, random() % 3 == 0)
                              : body;
            if (frame.size() < 3) {
                frame.resize(3);
            }
            events.push_back(capture_record(idx++, frame, fcs_type));
        }
        packets.push_back({datagram(seq, events)});
    }
    write_pcap(pcap("in.pcap"), packets);

    testsupport::ChildProcess fipdump(
        {FIPDUMP_BIN, "-r", pcap("in.pcap"), "-w", pcap("fipdump.pcap"), "--json"});
    const int status = fipdump.wait_exit(kTsharkTimeout);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << fipdump.err();

    // fipdump's events, joined per datagram in the shape of tshark's aggregated fields.
    const auto json_value = [](const std::string& line, const std::string& key) {
        const std::size_t at = line.find("\"" + key + "\":");
        if (at == std::string::npos) {
            return std::string();
        }
        const std::size_t from = at + key.size() + 3;
        std::size_t to = from;
        if (line[from] == '"') {
            to = line.find('"', from + 1) + 1;
        } else {
            to = line.find_first_of(",}", from);
        }
        std::string value = line.substr(from, to - from);
        if (value.front() == '"') {
            value = value.substr(1, value.size() - 2);
        }
        if (value == "true" || value == "false") {
            value = value == "true" ? "1" : "0";
        }
        return value;
    };
    std::vector<std::vector<std::string>> expected;
    std::istringstream lines(fipdump.out());
    for (std::string line; std::getline(lines, line);) {
        const std::string seq = json_value(line, "seq");
        if (expected.empty() || expected.back()[0] != seq) {
            expected.push_back({seq, "", "", "", ""});
        }
        auto& row = expected.back();
        for (std::size_t i = 1; i < row.size(); ++i) {
            const char* key = i == 1 ? "idx" : i == 2 ? "kind" : i == 3 ? "name" : "fcs_ok";
            if (!row[i].empty()) {
                row[i].push_back(',');
            }
            row[i].append(json_value(line, key));
        }
    }
    ASSERT_EQ(expected.size(), packets.size()) << fipdump.out();
    EXPECT_EQ(fields(pcap("fipdump.pcap"), {"fipgate.seq", "fipgate.idx", "fipgate.frame.kind",
                                            "fipgate.frame.name", "fipgate.frame.fcs_good"}),
              expected);
}
#endif

} // namespace
