// fipdump's reading of real-link captures: a sequence of IPv4 packets (2-byte length, 1-byte
// time step, packet) classified, fragments reassembled, whatever completes classified and
// decoded. Memory stays bounded and nothing is read out of bounds, whatever the fragments claim.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "tools/fipdump/input/ipv4_reassembly.hpp"
#include "tools/fipdump/input/pcap_file.hpp"
#include "wire/decode.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fipdump::Ipv4Reassembler reassembler;
    std::chrono::system_clock::time_point now{};
    std::span<const std::uint8_t> rest(data, size);
    const auto classify = [](std::span<const std::uint8_t> ip) {
        fipdump::PcapDatagram d;
        bool truncated = false;
        std::uint16_t dst = 0;
        const auto kind = fipdump::classify_ipv4(ip, 57117, d, truncated, dst);
        if (kind == fipdump::IpPacket::datagram) {
            (void)wire::decode_datagram(std::span<const std::uint8_t>(d.payload));
        }
        return kind;
    };
    while (rest.size() >= 3) {
        const std::size_t len = std::min<std::size_t>((rest[0] << 8) | rest[1], rest.size() - 3);
        now += std::chrono::seconds(rest[2]);
        const auto ip = rest.subspan(3, len);
        rest = rest.subspan(3 + len);
        if (classify(ip) == fipdump::IpPacket::fragment) {
            if (const auto whole = reassembler.add(ip, now)) {
                if (classify(*whole) == fipdump::IpPacket::fragment) {
                    std::abort(); // a reassembled datagram is never a fragment again
                }
            }
        }
        if (reassembler.pending() > fipdump::Ipv4Reassembler::kMaxPending) {
            std::abort();
        }
    }
    reassembler.finish();
    return 0;
}
