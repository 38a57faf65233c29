#include "wire/scan_table.hpp"

#include <algorithm>
#include <limits>
#include <numeric>

namespace wire {

namespace {
constexpr std::size_t kIdentifiers = 1U << 16;
} // namespace

ScanLearner::ScanLearner() : slot_(kIdentifiers, 0) {}

ScanLearner::Entry& ScanLearner::entry(std::uint16_t id) {
    std::uint32_t& s = slot_[id];
    if (s == 0) {
        entries_.push_back(Entry{});
        entries_.back().id = id;
        s = static_cast<std::uint32_t>(entries_.size());
    }
    return entries_[s - 1];
}

const ScanLearner::Entry* ScanLearner::find(std::uint16_t id) const {
    const std::uint32_t s = slot_[id];
    return s == 0 ? nullptr : &entries_[s - 1];
}

void ScanLearner::choose_reference() {
    // The most polled identifier of the window counts the cycles. The current one stays unless
    // another was polled clearly more often: two identifiers of the same period differ by a
    // poll or so in a window that does not end on a cycle, and must not take turns.
    const Entry* current = reference_ ? find(*reference_) : nullptr;
    const Entry* best = nullptr;
    for (const Entry& e : entries_) {
        if (best == nullptr || e.window_polls > best->window_polls) {
            best = &e;
        }
    }
    if (current != nullptr && best != nullptr &&
        best->window_polls <= current->window_polls + current->window_polls / 8 + 1) {
        best = current;
    }
    if (best != nullptr && (!reference_ || best->id != *reference_)) {
        // Periods measured against another clock mean nothing against this one.
        for (Entry& e : entries_) {
            e.deviations += overdue(e); // counted so far; the count only ever grows
        }
        reference_ = best->id;
        for (Entry& e : entries_) {
            e.measuring = false;
            e.period = 0;
            e.intervals = 0;
            e.run = {};
            e.histogram = {};
        }
    }
    for (Entry& e : entries_) {
        e.window_polls = 0;
    }
    window_polls_ = 0;
    ++windows_;
}

void ScanLearner::learn(Entry& e, std::uint64_t ticks) {
    const auto d = static_cast<std::uint32_t>(
        std::min<std::uint64_t>(ticks, std::numeric_limits<std::uint32_t>::max()));
    if (e.period != 0 && d > e.period) {
        e.deviations += (d - 1) / e.period;
    }
    Interval* slot = nullptr;
    for (Interval& i : e.histogram) {
        if (i.count != 0 && i.ticks == d) {
            slot = &i;
            break;
        }
    }
    if (slot == nullptr) {
        slot = &*std::min_element(
            e.histogram.begin(), e.histogram.end(),
            [](const Interval& a, const Interval& b) { return a.count < b.count; });
        *slot = Interval{d, 0};
    }
    ++slot->count;
    ++e.intervals;
    e.run = e.run.ticks == d ? Interval{d, e.run.count + 1} : Interval{d, 1};
    if (e.run.count >= kMinIntervals && e.period != 0 && e.run.ticks != e.period) {
        // A steady new rhythm: the arbitrator's plan changed. The old intervals would outvote
        // it for as long as they had been seen.
        e.histogram = {};
        e.histogram[0] = e.run;
        e.intervals = e.run.count;
    }
    const Interval& mode =
        *std::max_element(e.histogram.begin(), e.histogram.end(),
                          [](const Interval& a, const Interval& b) { return a.count < b.count; });
    const bool believed = mode.count >= kMinIntervals && 2 * mode.count >= e.intervals;
    e.period = believed ? mode.ticks : 0;
}

void ScanLearner::on_poll(std::uint16_t id) {
    Entry& e = entry(id);
    ++e.window_polls;
    ++window_polls_;
    if (reference_ && id == *reference_) {
        ++ticks_;
    }
    if (reference_) {
        if (e.measuring && ticks_ > e.last_tick) {
            learn(e, ticks_ - e.last_tick);
        }
        // Two polls within one tick (an extra poll between two of the reference) are not an
        // interval of the scan: the first one stays the start.
        if (!e.measuring || ticks_ > e.last_tick) {
            e.last_tick = ticks_;
        }
        e.measuring = true;
    }
    const std::uint64_t window = windows_ == 0 ? kFirstReferencePolls : kReferenceWindowPolls;
    if (window_polls_ >= window) {
        choose_reference();
    }
}

void ScanLearner::on_break() {
    for (Entry& e : entries_) {
        e.deviations += overdue(e); // polls already overdue stay counted
        e.measuring = false;
        e.run = {}; // intervals on both sides of a hole are not in a row
    }
}

std::uint64_t ScanLearner::overdue(const Entry& e) const {
    if (!e.measuring || e.period == 0) {
        return 0;
    }
    const std::uint64_t since = ticks_ - e.last_tick;
    return since > e.period ? (since - 1) / e.period : 0;
}

std::uint32_t ScanLearner::period(std::uint16_t id) const {
    const Entry* e = find(id);
    return e == nullptr ? 0 : e->period;
}

std::uint64_t ScanLearner::deviations(std::uint16_t id) const {
    const Entry* e = find(id);
    return e == nullptr ? 0 : e->deviations + overdue(*e);
}

ScanTable ScanLearner::table() const {
    ScanTable t;
    t.reference = reference_;
    t.cycles = ticks_;
    std::uint64_t macro = 1;
    for (const Entry& e : entries_) {
        if (e.period == 0) {
            continue;
        }
        t.entries.push_back({e.id, e.period, e.deviations + overdue(e)});
        macro = macro == 0 ? 0 : std::lcm(macro, std::uint64_t{e.period});
        if (macro > kMaxMacrocycleCycles) {
            macro = 0;
        }
    }
    std::sort(t.entries.begin(), t.entries.end(),
              [](const ScanEntry& a, const ScanEntry& b) { return a.id < b.id; });
    if (!t.entries.empty() && macro != 0) {
        t.macrocycle_cycles = macro;
        for (const ScanEntry& e : t.entries) {
            t.macrocycle_polls += macro / e.period_cycles;
        }
    }
    return t;
}

} // namespace wire
