// fipdump's capture-file path: one captured packet of any link type it reads, parsed down to
// the UDP datagram and then decoded. The first byte picks the link type; the rest is the packet.
#include <cstddef>
#include <cstdint>
#include <pcap/pcap.h>
#include <span>

#include "tools/fipdump/input/pcap_file.hpp"
#include "wire/decode.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static constexpr int links[] = {DLT_EN10MB, DLT_LINUX_SLL, 276 /* SLL2 */,
                                    DLT_RAW,    DLT_NULL,      DLT_LOOP};
    if (size == 0) {
        return 0;
    }
    const int link = links[data[0] % (sizeof links / sizeof links[0])];
    bool truncated = false;
    const auto d = fipdump::parse_packet(link, std::span<const std::uint8_t>(data + 1, size - 1),
                                         57117, truncated);
    if (d) {
        (void)wire::decode_datagram(std::span<const std::uint8_t>(d->payload));
    }
    return 0;
}
