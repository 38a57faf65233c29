// Crafted datagrams of the gateway's stream for fipdump's tests and benchmark: capture records
// with a correct FCS, lifesign records, and the datagram around them. Header-only, so that the
// benchmarks (which do not link the test support library) use it too.
#pragma once

#include <cstdint>
#include <vector>

#include "wire/fcs.hpp"

namespace fipdump_test {

using Bytes = std::vector<std::uint8_t>;

inline void put_be(Bytes& b, std::uint64_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) {
        b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
}

// A capture record of FCS type 1 around `frame_body` (control byte and fields, FCS appended).
inline Bytes capture_record(std::uint64_t idx, const Bytes& frame_body = {0x03, 0x12, 0x34},
                            std::uint8_t status = 0) {
    Bytes frame = frame_body;
    const auto fcs = wire::compute_fcs(wire::kFcsType1, frame).value_or(0);
    put_be(frame, fcs, 2);
    Bytes r{0xC0};
    put_be(r, 30 + frame.size(), 2);
    r.push_back(0x08); // FCS type 1 in bits 3-4
    r.push_back(status);
    put_be(r, idx, 8);
    r.resize(30, 0);
    r.insert(r.end(), frame.begin(), frame.end());
    return r;
}

// A lifesign record with its counter and date; every other field zero but the CPU load. A `size`
// above 323 is a newer gateway's record, with fields after the known ones.
inline Bytes lifesign_record(std::uint64_t counter, std::int64_t date_us = 0,
                             std::size_t size = 323) {
    Bytes r{0xC1};
    put_be(r, size, 2);
    put_be(r, counter, 8);
    put_be(r, static_cast<std::uint64_t>(date_us), 8);
    r.resize(size, 0);
    return r;
}

// A datagram of sequence `seq` holding `events` back to back.
inline Bytes datagram(std::uint64_t seq, const std::vector<Bytes>& events) {
    Bytes d{0x43, 0x56, 0x01, 0x00};
    put_be(d, seq, 8);
    put_be(d, events.size(), 4);
    for (const Bytes& e : events) {
        d.insert(d.end(), e.begin(), e.end());
    }
    return d;
}

// An IPv4 packet around a UDP datagram of `payload`, from `src_addr`:`src_port` to
// 255.255.255.255:`dst_port`: what a capture of the gateway's stream holds above the link layer.
// `id` and `frag` are the IP identification and flags + fragment offset fields; both checksums
// are left at 0, as a sender's offload does.
inline Bytes ip_udp_packet(const Bytes& payload, std::uint32_t src_addr, std::uint16_t src_port,
                           std::uint16_t dst_port, std::uint16_t id = 0, std::uint16_t frag = 0) {
    Bytes p{0x45, 0};
    put_be(p, 28 + payload.size(), 2);
    put_be(p, id, 2);
    put_be(p, frag, 2);
    p.insert(p.end(), {64, 17, 0, 0});
    put_be(p, src_addr, 4);
    put_be(p, 0xFFFFFFFF, 4);
    put_be(p, src_port, 2);
    put_be(p, dst_port, 2);
    put_be(p, 8 + payload.size(), 2);
    put_be(p, 0, 2);
    p.insert(p.end(), payload.begin(), payload.end());
    return p;
}

} // namespace fipdump_test
