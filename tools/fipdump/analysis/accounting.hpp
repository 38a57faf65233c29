// Loss accounting of the stream, per sending gateway: datagram sequence (gaps, duplicates,
// reordering, restarts), capture record index continuity and lifesign counter continuity.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <set>

#include "tools/fipdump/input/received.hpp"
#include "tools/fipdump/input/undecoded.hpp"
#include "wire/records.hpp"

namespace fipdump {

// A datagram arriving this far (in sequence numbers) below the highest one seen is taken as a
// gateway that restarted while its first datagrams were lost, not as a late or duplicate one.
constexpr std::uint64_t kReorderWindow = 4096; // datagrams

enum class SeqVerdict {
    first,     // first datagram seen from this sender
    in_order,  // the next one expected
    gap,       // later than expected: the ones between are counted lost
    late,      // one counted lost before, arriving after all: no longer lost
    duplicate, // already seen
    restart,   // 1 again (or far back), or 1 from a new port of a known address: the gateway
               // restarted or reloaded (a reloaded gateway sends from a new socket)
};

const char* to_string(SeqVerdict verdict);

// Everything counted for one gateway. Plain values; copied whole for output and metrics.
struct SenderCounts {
    std::uint64_t datagrams = 0;
    std::uint64_t bytes = 0;
    std::uint64_t events = 0;
    std::uint64_t capture = 0;
    std::uint64_t lifesign = 0;
    std::uint64_t malformed = 0;      // datagrams that failed to decode, whole or in part
    std::uint64_t lost_datagrams = 0; // sequence numbers skipped and not (yet) seen late
    std::uint64_t duplicates = 0;
    std::uint64_t reordered = 0; // datagrams that arrived after a later one
    std::uint64_t restarts = 0;
    std::uint64_t index_breaks = 0; // capture records whose index broke continuity
    std::uint64_t lost_records = 0; // capture indexes skipped by forward breaks
    std::uint64_t lifesign_breaks = 0;
    std::uint64_t lost_lifesigns = 0; // lifesign counters skipped by forward breaks
    std::optional<wire::LifesignRecord> last_lifesign;
    std::chrono::system_clock::time_point last_seen{};        // reception of the last datagram
    std::chrono::system_clock::time_point last_lifesign_at{}; // and of the last lifesign
    std::chrono::microseconds lifesign_period{0}; // from the dates of the last two lifesigns
};

// What the accounting concluded about one datagram.
struct DatagramVerdict {
    SeqVerdict seq = SeqVerdict::first;
    std::uint64_t missing = 0;      // datagrams skipped by a gap
    std::uint64_t index_breaks = 0; // in this datagram's capture records
    std::uint64_t lifesign_breaks = 0;
};

// Adds the counts of `c` to `sum` (last_lifesign and the times left alone).
void add_counts(SenderCounts& sum, const SenderCounts& c);

// Not thread-safe: one thread feeds it (fipdump's receiving loop); readers copy under the
// caller's lock.
class LossAccounting {
public:
    // Accounts one datagram decoded from `bytes_len` bytes, including the events decoded before
    // an error when it is malformed. A datagram whose header could not be read (no sequence
    // number) only counts as malformed.
    DatagramVerdict on_datagram(const Sender& from, std::size_t bytes_len,
                                const wire::Datagram& datagram,
                                std::chrono::system_clock::time_point received = {});

    const std::map<Sender, SenderCounts>& senders() const { return counts; }
    // The sum over every sender (last_lifesign left empty).
    SenderCounts totals() const;

private:
    struct Track {
        std::uint64_t highest = 0;       // highest sequence number seen; 0 before the first
        std::set<std::uint64_t> missing; // skipped numbers still within the reorder window
        std::uint64_t prev_idx = 0;      // previous non-zero capture index
        bool idx_known = false;          // prev_idx is a reference (not before the first)
        std::uint64_t prev_lifesign = 0;
        bool lifesign_known = false;
    };

    SeqVerdict account_seq(Track& t, SenderCounts& c, std::uint64_t seq, std::uint64_t& missing);
    void account_events(Track& t, SenderCounts& c, const wire::Datagram& d, DatagramVerdict& v);

    std::map<Sender, Track> tracks;
    std::map<Sender, SenderCounts> counts;
};

// What --stats prints and the metrics endpoint serves.
struct Summary {
    std::map<Sender, SenderCounts> senders;
    SenderCounts totals;
    std::optional<std::uint64_t> kernel_drops; // absent when reading a file
    std::optional<int> rcvbuf_bytes;           // the socket buffer granted; absent likewise
    std::uint64_t printed = 0;                 // events that passed the filters
    Undecoded undecoded;                       // what the capture or socket held besides
};

} // namespace fipdump
