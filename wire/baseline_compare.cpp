#include "wire/baseline_compare.hpp"

#include <algorithm>

namespace wire {

namespace {

constexpr const char* kDeviationNames[kDeviationCount] = {"unexpected", "absent", "period",
                                                          "length",     "pdu",    "messages"};

void mark(IdentifierDeviations& d, Deviation kind, std::int64_t since_us) {
    // 0 means "none": a deviation dated at the epoch still counts.
    d.since_us[static_cast<std::size_t>(kind)] = since_us == 0 ? 1 : since_us;
}

std::int64_t absence_window(const Baseline& b) {
    const auto macro = static_cast<std::int64_t>(b.macrocycle_cycles) * b.cycle_us;
    return std::max<std::int64_t>(kMinAbsenceUs,
                                  static_cast<std::int64_t>(kAbsentMacrocycles) * macro);
}

// Whether `s` was seen doing something `e` never did: another kind of poll, a message, a request.
bool new_traffic(const BaselineIdentifier& e, const IdentifierStats& s) {
    return (s.poll_kinds & ~e.poll_kinds) != 0 || (s.messages != 0 && !e.messages) ||
           (s.message_flags != 0 && !e.message_requests) ||
           (s.request_flags != 0 && !e.aperiodic_requests);
}

bool new_pdu_type(const BaselineIdentifier& e, const IdentifierStats& s) {
    for (std::size_t i = 0; i < s.pdu_types.size(); ++i) {
        if ((s.pdu_types[i] & ~e.pdu_types[i]) != 0) {
            return true;
        }
    }
    return false;
}

} // namespace

const char* deviation_name(Deviation d) {
    return kDeviationNames[static_cast<std::size_t>(d)];
}

std::vector<IdentifierDeviations> compare_with_baseline(const Baseline& baseline,
                                                        const std::vector<IdentifierStats>& ids,
                                                        const BusCounters& bus) {
    const std::int64_t now = bus.last_seen_us;
    std::vector<IdentifierDeviations> out;
    std::vector<bool> polled(1U << 16, false);
    for (const IdentifierStats& s : ids) {
        polled[s.id] = true;
        IdentifierDeviations d;
        d.id = s.id;
        const BaselineIdentifier* e = baseline.find(s.id);
        if (e == nullptr) {
            mark(d, Deviation::unexpected, s.first_seen_us);
            out.push_back(d);
            continue;
        }
        if (e->period_cycles != 0 && s.last_variable_poll_us != 0 &&
            now - s.last_variable_poll_us > absence_window(baseline)) {
            mark(d, Deviation::absent, s.last_variable_poll_us + absence_window(baseline));
        }
        if (s.period_cycles != 0 && s.period_cycles != e->period_cycles) {
            mark(d, Deviation::period, now);
        }
        // Only a periodic variable keeps its length; messages and request lists vary by nature.
        // One never answered in the baseline has no range to leave.
        if (e->period_cycles != 0 && s.len_max != 0 && e->len_max != 0 &&
            (s.len_min < e->len_min || s.len_max > e->len_max)) {
            mark(d, Deviation::length, now);
        }
        if (new_pdu_type(*e, s)) {
            mark(d, Deviation::pdu, now);
        }
        if (new_traffic(*e, s)) {
            mark(d, Deviation::messages, now);
        }
        if (s.last_variable_poll_us == 0 && e->period_cycles != 0 && bus.first_seen_us != 0 &&
            now - bus.first_seen_us > absence_window(baseline)) {
            // Polled, but only aperiodically since this run began.
            mark(d, Deviation::absent, bus.first_seen_us + absence_window(baseline));
        }
        if (d.any()) {
            out.push_back(d);
        }
    }
    if (bus.first_seen_us != 0 && now - bus.first_seen_us > absence_window(baseline)) {
        for (const BaselineIdentifier& e : baseline.identifiers) {
            if (!polled[e.id] && e.period_cycles != 0) {
                IdentifierDeviations d;
                d.id = e.id;
                mark(d, Deviation::absent, bus.first_seen_us + absence_window(baseline));
                out.push_back(d);
            }
        }
    }
    std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.id < b.id; });
    return out;
}

const std::vector<IdentifierDeviations>&
DeviationLog::update(std::vector<IdentifierDeviations> now) {
    auto before = current_.begin();
    for (IdentifierDeviations& d : now) {
        while (before != current_.end() && before->id < d.id) {
            ++before;
        }
        if (before == current_.end() || before->id != d.id) {
            continue;
        }
        for (std::size_t k = 0; k < kDeviationCount; ++k) {
            if (d.since_us[k] != 0 && before->since_us[k] != 0) {
                d.since_us[k] = std::min(d.since_us[k], before->since_us[k]);
            }
        }
    }
    current_ = std::move(now);
    return current_;
}

} // namespace wire
