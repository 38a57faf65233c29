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

constexpr std::size_t header_size = 16;          // bytes in front of the payload
constexpr std::size_t largest_event_bytes = 497; // a capture record of the longest frame
constexpr std::size_t max_udp_payload = 65507;   // bytes, the largest IPv4 UDP payload

// The smallest cap on a datagram's size: the header and two of the largest events, so that
// even at the cap a datagram may take more than one event.
constexpr std::size_t min_datagram_cap = header_size + 2 * largest_event_bytes; // 1,010 bytes

// A datagram takes one more event while its payload holds at most this many bytes: the size
// test comes before each event is taken, so a datagram never grows beyond `cap`.
constexpr std::size_t payload_limit_for(std::size_t cap) {
    return cap - header_size - largest_event_bytes;
}

// Without a cap, the limit that keeps a datagram within the largest IPv4 UDP payload.
constexpr std::size_t payload_fill_limit = payload_limit_for(max_udp_payload); // 64,994 bytes
static_assert(payload_fill_limit == 64994);

// Writes the header for datagram `seq` carrying `event_cnt` events at `out` (16 bytes).
void write_header(char* out, std::uint64_t seq, std::uint32_t event_cnt);

} // namespace datagram
