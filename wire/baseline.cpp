#include "wire/baseline.hpp"

#include <algorithm>

namespace wire {

const BaselineIdentifier* Baseline::find(std::uint16_t id) const {
    const auto at = std::lower_bound(
        identifiers.begin(), identifiers.end(), id,
        [](const BaselineIdentifier& e, std::uint16_t wanted) { return e.id < wanted; });
    return at != identifiers.end() && at->id == id ? &*at : nullptr;
}

BaselineOutcome make_baseline(const std::vector<IdentifierStats>& ids, const ScanTable& scan,
                              const BusCounters& bus, const std::string& gateway,
                              std::int64_t saved_us, std::uint64_t min_macrocycles) {
    BaselineOutcome out;
    if (scan.entries.empty()) {
        out.refusal = "no identifier was seen polled periodically, so there is no scan to keep: "
                      "listen to a bus whose arbitrator runs its macrocycle";
        return out;
    }
    if (scan.macrocycle_cycles == 0) {
        out.refusal = "the macrocycle is not known (its periods make it longer than " +
                      std::to_string(kMaxMacrocycleCycles) +
                      " elementary cycles, or they are still being learned): listen longer";
        return out;
    }
    Baseline b;
    b.gateway = gateway;
    b.saved_us = saved_us;
    b.first_us = bus.first_seen_us;
    b.last_us = bus.last_seen_us;
    b.macrocycles = scan.cycles / scan.macrocycle_cycles;
    b.macrocycle_cycles = scan.macrocycle_cycles;
    b.macrocycle_polls = scan.macrocycle_polls;
    b.reference = scan.reference;
    if (b.macrocycles < min_macrocycles) {
        out.refusal = "only " + std::to_string(b.macrocycles) + " macrocycles of " +
                      std::to_string(scan.macrocycle_cycles) + " elementary cycles were seen, " +
                      std::to_string(min_macrocycles) +
                      " are needed before periods, lengths and aperiodic exchanges can be "
                      "trusted: listen longer";
        return out;
    }
    b.cycle_us = scan.cycles == 0 ? 0
                                  : (bus.last_seen_us - bus.first_seen_us) /
                                        static_cast<std::int64_t>(scan.cycles);
    for (const IdentifierStats& s : ids) {
        BaselineIdentifier e;
        e.id = s.id;
        e.poll_kinds = s.poll_kinds;
        e.period_cycles = s.period_cycles;
        e.len_min = s.len_min;
        e.len_max = s.len_max;
        e.pdu_types = s.pdu_types;
        e.messages = s.messages != 0;
        e.message_requests = s.message_flags != 0;
        e.aperiodic_requests = s.request_flags != 0;
        b.identifiers.push_back(e);
    }
    std::sort(b.identifiers.begin(), b.identifiers.end(),
              [](const BaselineIdentifier& x, const BaselineIdentifier& y) { return x.id < y.id; });
    out.baseline = std::move(b);
    return out;
}

} // namespace wire
