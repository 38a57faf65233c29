// What a bus looked like when it was commissioned: the scan table and each identifier's traffic,
// learned by the transaction walker and kept in a file, so that a later run can tell what has
// changed since (wire/baseline_compare.hpp). The file's format is JSON (wire/baseline_json.hpp).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "wire/bus_stats.hpp"
#include "wire/scan_table.hpp"

namespace wire {

constexpr std::uint32_t kBaselineVersion = 1; // the newest file format this code reads and writes
// Fewer macrocycles than this and a period, a length range or an aperiodic exchange may simply
// not have shown yet: a baseline learned from them would raise false deviations for ever.
constexpr std::uint64_t kMinBaselineMacrocycles = 100;

struct BaselineIdentifier {
    std::uint16_t id = 0;
    std::uint8_t poll_kinds = 0;     // bit set of PollKind
    std::uint32_t period_cycles = 0; // 0: not polled periodically
    std::uint16_t len_min = 0;       // bytes of its responses; both 0: never answered
    std::uint16_t len_max = 0;
    std::array<std::uint64_t, 4> pdu_types{}; // bit set, as in IdentifierStats
    bool messages = false;                    // answered a message poll with a message
    bool message_requests = false;            // asked for a message exchange
    bool aperiodic_requests = false;          // asked for an aperiodic variable exchange

    bool polled_as(PollKind k) const {
        return ((poll_kinds >> static_cast<unsigned>(k)) & 1U) != 0;
    }
    bool has_pdu_type(std::uint8_t t) const { return ((pdu_types[t >> 6] >> (t & 63)) & 1U) != 0; }
    bool operator==(const BaselineIdentifier&) const = default;
};

struct Baseline {
    std::uint32_t version = kBaselineVersion;
    std::string gateway;       // "address/card serial", as fipdump labels the gateway
    std::int64_t saved_us = 0; // Unix microseconds
    std::int64_t first_us = 0; // receive times of the first and last frame it was learned from
    std::int64_t last_us = 0;
    std::uint64_t macrocycles = 0;          // whole macrocycles it was learned from
    std::uint64_t macrocycle_cycles = 0;    // elementary cycles in one macrocycle
    std::uint64_t macrocycle_polls = 0;     // periodic polls in one macrocycle
    std::optional<std::uint16_t> reference; // the identifier that counted the cycles
    std::int64_t cycle_us = 0;              // mean elementary cycle over the span, microseconds
    std::vector<BaselineIdentifier> identifiers; // by id, each once

    const BaselineIdentifier* find(std::uint16_t id) const;
    bool operator==(const Baseline&) const = default;
};

// A baseline, or why none can be made.
struct BaselineOutcome {
    std::optional<Baseline> baseline;
    std::string refusal; // a sentence that says why and what to do, when no baseline
};

// The baseline of what the walker learned: `ids`, `scan` and `bus` from one gateway's walker,
// `gateway` its label, `saved_us` the time it is taken. Refused while the macrocycle is not
// learned or was seen fewer than `min_macrocycles` times. Pure.
BaselineOutcome make_baseline(const std::vector<IdentifierStats>& ids, const ScanTable& scan,
                              const BusCounters& bus, const std::string& gateway,
                              std::int64_t saved_us,
                              std::uint64_t min_macrocycles = kMinBaselineMacrocycles);

} // namespace wire
