// The receiving chain on a live socket: datagrams broadcast to the gateway's port, written to a
// pcap file by fipdump -w, then decoded by tshark with the Wireshark dissector. Runs only inside a
// private network namespace (scripts/netns-run).
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
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
constexpr auto kStartTimeout = 20s;           // fipdump binding its socket on a loaded machine
constexpr auto kRunTimeout = 60s;             // one fipdump or tshark run on a loaded machine

void put_be(Bytes& out, std::uint64_t value, int size) {
    for (int i = size - 1; i >= 0; --i) {
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
}

// A datagram holding one capture record of an identifier frame with a correct FCS of type 1.
Bytes datagram(std::uint64_t seq, std::uint64_t idx) {
    Bytes frame{0x03, 0x12, static_cast<std::uint8_t>(idx)};
    put_be(frame, wire::compute_fcs(1, frame).value(), 2);
    Bytes d{0x43, 0x56, 0x01, 0x00};
    put_be(d, seq, 8);
    put_be(d, 1, 4);
    d.push_back(0xC0);
    put_be(d, 30 + frame.size(), 2);
    d.push_back(1 << 3);
    d.push_back(0);
    put_be(d, idx, 8);
    d.resize(d.size() + 17, 0);
    d.insert(d.end(), frame.begin(), frame.end());
    return d;
}

TEST(DissectorLiveTest, CaptureWrittenByFipdumpFromTheSocket) {
#ifndef FIPDUMP_BIN
    GTEST_SKIP() << "fipdump is not built";
#else
    if (std::system("command -v tshark >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "tshark is not installed (scripts/install-deps installs it)";
    }
    testsupport::TempDir dir;
    const std::string pcap = dir.file("live.pcap");
    // -c 3: fipdump ends, and closes its file, once the three events have arrived.
    testsupport::ChildProcess fipdump({FIPDUMP_BIN, "-w", pcap, "-c", "3"});
    ASSERT_TRUE(fipdump.wait_for_error("listening", kStartTimeout)) << fipdump.err();

    const int sock = ::socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(sock, 0);
    const int on = 1;
    ASSERT_EQ(::setsockopt(sock, SOL_SOCKET, SO_BROADCAST, &on, sizeof on), 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(kGatewayPort);
    to.sin_addr.s_addr = htonl(INADDR_BROADCAST);
    // Sequence 3 never leaves: the dissector must see exactly one datagram lost.
    for (const auto& [seq, idx] : {std::pair{1, 1}, {2, 2}, {4, 3}}) {
        const Bytes d = datagram(seq, idx);
        ASSERT_EQ(
            ::sendto(sock, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
            static_cast<ssize_t>(d.size()));
    }
    ::close(sock);
    const int status = fipdump.wait_exit(kRunTimeout);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << fipdump.err();

    testsupport::ChildProcess tshark(
        {"tshark", "-n",          "-X", "lua_script:" FIPGATE_SOURCE_DIR "/wireshark/fipgate.lua",
         "-r",     pcap,          "-Y", "fipgate",
         "-T",     "fields",      "-E", "separator=|",
         "-e",     "udp.dstport", "-e", "fipgate.seq",
         "-e",     "fipgate.idx", "-e", "fipgate.frame.fcs_good",
         "-e",     "fipgate.lost"});
    ASSERT_EQ(tshark.wait_exit(kRunTimeout), 0) << tshark.err();
    EXPECT_EQ(tshark.out(), "57117|1|1|1|\n"
                            "57117|2|2|1|\n"
                            "57117|4|3|1|1\n");
#endif
}

} // namespace
