// The 16-byte header in front of every datagram, all fields big-endian:
//   0  2  magic "CV" (0x43 0x56)
//   2  1  0x01
//   3  1  0x00
//   4  8  sequence number, 1 in the first datagram of a sender
//   12 4  number of events in the payload
// The payload follows: the events back to back, each starting with its type byte and its
// big-endian 16-bit total length, which is how a receiver walks them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace datagram {

constexpr std::size_t header_size = 16; // bytes in front of the payload
// A datagram takes one more event while its payload holds at most this many bytes. With events
// of at most 497 bytes the datagram stays within 65,507 bytes, the largest IPv4 UDP payload.
constexpr std::size_t payload_fill_limit = 64994; // bytes
constexpr std::size_t max_udp_payload = 65507;    // bytes

// Writes the header for datagram `seq` carrying `event_cnt` events at `out` (16 bytes).
void write_header(char* out, std::uint64_t seq, std::uint32_t event_cnt);

} // namespace datagram
