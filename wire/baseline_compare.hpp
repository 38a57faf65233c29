// How today's bus differs from its baseline, identifier by identifier. A deviation is a change
// of the bus plan or of a station's traffic, not a fault: a station can answer every poll and
// still deviate, and a sick one can match its baseline.
//
// Each deviation is dated from the stream's own receive times, so that a recording is judged as
// it was captured: an identifier the baseline lacks from its first poll; one no longer polled
// from the moment its absence became certain; the others from the comparison that first saw
// them. DeviationLog keeps the first time while a deviation lasts.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "wire/baseline.hpp"
#include "wire/bus_stats.hpp"

namespace wire {

enum class Deviation : std::uint8_t {
    unexpected, // polled, and not in the baseline
    absent,     // polled periodically in the baseline, and no longer
    period,     // polled periodically at another period
    length,     // periodic in the baseline, and an answer shorter or longer than any there
    pdu,        // an answer of a PDU type the baseline never saw
    messages,   // a kind of poll, message or aperiodic request the baseline never saw
};
constexpr std::size_t kDeviationCount = 6;

// "unexpected", "absent", "period", "length", "pdu" or "messages": static strings, also the
// metric label values and the JSON names.
const char* deviation_name(Deviation d);

// An identifier polled periodically is absent once the bus has run this long without polling
// it: kAbsentMacrocycles of the baseline's macrocycles, and never less than kMinAbsenceUs, which
// outlasts the gateway's batching of records into datagrams.
constexpr std::uint64_t kAbsentMacrocycles = 3;
constexpr std::int64_t kMinAbsenceUs = 2'000'000;

struct IdentifierDeviations {
    std::uint16_t id = 0;
    std::array<std::int64_t, kDeviationCount> since_us{}; // by Deviation; 0: not deviating

    bool has(Deviation d) const { return since_us[static_cast<std::size_t>(d)] != 0; }
    bool any() const {
        for (const std::int64_t t : since_us) {
            if (t != 0) {
                return true;
            }
        }
        return false;
    }
};

// The identifiers that deviate from `baseline` now, by id: `ids` and `bus` from one gateway's
// walker. Absence is judged against the bus's latest frame, so a silent bus or a stopped
// stream makes nobody absent. Pure.
std::vector<IdentifierDeviations> compare_with_baseline(const Baseline& baseline,
                                                        const std::vector<IdentifierStats>& ids,
                                                        const BusCounters& bus);

// Keeps each deviation's first time across comparisons. Not thread-safe.
class DeviationLog {
public:
    // Takes a fresh comparison: a deviation that goes on keeps the time it was first seen, one
    // that ended is forgotten (should it come back, it is dated anew). Returns the result.
    const std::vector<IdentifierDeviations>& update(std::vector<IdentifierDeviations> now);
    const std::vector<IdentifierDeviations>& current() const { return current_; }

private:
    std::vector<IdentifierDeviations> current_; // by id
};

} // namespace wire
