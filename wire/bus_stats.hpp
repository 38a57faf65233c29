// What the transaction walker counts: per identifier and for the whole bus. Plain values.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "wire/frame_check.hpp"
#include "wire/health.hpp"

namespace wire {

constexpr std::size_t kFrameKindCount = 6; // FrameKind values, unknown included

// How an identifier was polled: bits of IdentifierStats::poll_kinds.
enum class PollKind : std::uint8_t {
    variable,     // ID_DAT: a periodic or aperiodic variable
    message,      // ID_MSG: a station's message
    request_list, // the request-list polls: a station's list, or the variable it asked for
};
constexpr std::size_t kPollKindCount = 3;

struct IdentifierStats {
    std::uint16_t id = 0;
    std::uint64_t polls = 0;     // identifier frames naming it that kept every rule
    std::uint64_t responses = 0; // frames that answered one of those polls, bad ones included
    std::uint64_t missing = 0;   // polls followed by another identifier frame: a silent producer
    std::uint64_t unknown = 0;   // polls whose answer, if any, fell into a break of the stream
    CheckCounts bad{};           // responses that broke a rule, by the first rule broken
    std::uint16_t len_min = 0;   // bytes of its responses; both 0 before the first
    std::uint16_t len_max = 0;
    std::array<std::uint64_t, 4> pdu_types{}; // bit set of the PDU types of its variable responses
    std::uint64_t request_flags = 0;          // responses asking for an aperiodic variable exchange
    std::uint64_t message_flags = 0;          // responses asking for a message exchange
    std::uint64_t unexpected = 0;             // responses of a kind its poll does not call for
    std::uint64_t messages = 0;     // message transactions: an ID_MSG answered by a message
    std::uint64_t acknowledged = 0; // of those, acknowledged (RP_ACK)
    std::uint64_t ended = 0;        // of those, closed by RP_FIN
    std::uint64_t bytes = 0;        // frame bytes of its polls and their responses
    std::int64_t first_seen_us = 0; // receive times (Unix microseconds) of its first and last
    std::int64_t last_seen_us = 0;  // poll
    std::int64_t last_variable_poll_us = 0; // receive time of its last ID_DAT poll
    std::uint8_t poll_kinds = 0;            // bit set of the PollKind values it was polled with
    // Filled from the scan learner when a snapshot is taken.
    std::uint32_t period_cycles = 0;
    std::uint64_t scan_deviations = 0;
    // Its health now, judged on recent traffic in bus time (wire/health.hpp).
    Health state = Health::ok;
    std::int64_t state_since_us = 0; // when the current state began
    WindowCounts window;             // the recent window, ending at the bus's last record
    std::uint32_t unanswered_in_row = 0;
    std::int64_t poll_interval_us = 0; // its usual interval between polls, smoothed
    Health last_problem = Health::ok;  // the sickest state of its last spell away from ok, and
    std::int64_t last_problem_us = 0;  // when that spell began: what a recovered station went
                                       // through

    std::uint64_t bad_total() const { return bad[0] + bad[1] + bad[2] + bad[3]; }
    bool has_pdu_type(std::uint8_t t) const { return ((pdu_types[t >> 6] >> (t & 63)) & 1U) != 0; }
    bool polled_as(PollKind k) const {
        return ((poll_kinds >> static_cast<unsigned>(k)) & 1U) != 0;
    }
    // Problems a maintenance engineer looks for first: silences, bad answers, a late scan.
    std::uint64_t problems() const { return missing + bad_total() + scan_deviations; }
};

struct BusCounters {
    std::uint64_t frames = 0;
    std::array<std::uint64_t, kFrameKindCount> by_kind{}; // indexed by FrameKind
    std::uint64_t bytes = 0;                              // frame bytes
    std::uint64_t transactions = 0;                       // polls answered, badly included
    std::uint64_t missing = 0;                            // polls unanswered
    std::uint64_t unknown_polls = 0;                      // polls whose answer fell into a break
    std::uint64_t unknown_frames = 0; // frames after a break that no poll seen can explain
    std::uint64_t breaks = 0;         // index gaps, lost datagrams, gateway restarts
    std::uint64_t orphans = 0;        // frames that answer no poll, outside any break
    std::uint64_t unattributed = 0;   // damaged identifier frames: whose poll cannot be told
    std::uint64_t bad_frames = 0;
    CheckCounts bad{}; // frames that broke a rule, by the first rule broken
    std::int64_t first_seen_us = 0;
    std::int64_t last_seen_us = 0;
};

} // namespace wire
