// Reassembly of IPv4 fragments read from a capture, in the manner of a host's IP layer (RFC 791,
// with RFC 815's idea of holes): a gateway's datagrams are up to 64 KiB, so on a 1500-byte link
// each travels as up to 45 fragments, and a capture holds the fragments, not the datagrams.
// Memory is bounded (a fixed number of datagrams under way, each at most 64 KiB) and so is time
// (capture time): a datagram whose fragments stop coming is given up and counted.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <vector>

namespace fipdump {

struct ReassemblyCounts {
    std::uint64_t fragments = 0;   // fragments taken in
    std::uint64_t reassembled = 0; // datagrams completed from fragments
    std::uint64_t incomplete = 0;  // datagrams given up: a fragment never came (time-out,
                                   // eviction, end of the capture) or their fragments conflicted
    std::uint64_t incomplete_fragments = 0; // fragments held by those datagrams
    std::uint64_t overlaps = 0;             // fragments overlapping bytes already received
    std::uint64_t bad = 0;                  // fragments no datagram can hold (beyond 64 KiB...)
};

class Ipv4Reassembler {
public:
    using Clock = std::chrono::system_clock;            // capture time
    static constexpr std::size_t kMaxPending = 64;      // datagrams under way; ~4 MiB at most
    static constexpr std::chrono::seconds kTimeout{30}; // from a datagram's first fragment, as
                                                        // Linux's ipfrag_time

    // Takes one fragment: `ip` is its IPv4 header and data, as far as captured (the header
    // checked by the caller: version 4, valid IHL, within `ip`). Returns the whole datagram
    // (the first fragment's header, length and fragment fields rewritten, then all the data)
    // when this fragment completes one. Never reads outside `ip`. Main thread.
    std::optional<std::vector<std::uint8_t>> add(std::span<const std::uint8_t> ip,
                                                 Clock::time_point time);

    // Gives up every datagram still under way (the end of the input).
    void finish();

    const ReassemblyCounts& counts() const { return cnt; }
    std::size_t pending() const { return under_way.size(); }

private:
    struct Key {
        std::uint32_t src = 0;
        std::uint32_t dst = 0;
        std::uint16_t id = 0;
        std::uint8_t proto = 0;
        auto operator<=>(const Key&) const = default;
    };
    struct Pending {
        Clock::time_point first_seen;
        std::vector<std::uint8_t> header;       // from the fragment at offset 0, once seen
        std::vector<std::uint8_t> data;         // grows to the highest end received
        std::map<std::size_t, std::size_t> got; // received ranges: begin -> end, disjoint
        std::optional<std::size_t> total;       // data length, known from the last fragment
        std::uint64_t fragments = 0;
    };

    void give_up(std::map<Key, Pending>::iterator it);
    void expire(Clock::time_point now);
    static bool complete(const Pending& p);

    std::map<Key, Pending> under_way;
    ReassemblyCounts cnt;
};

} // namespace fipdump
