// Learns a bus arbitrator's periodic scan from the order of its polls alone, with no
// configuration, and counts the polls that came late or never came against what it learned.
//
// Method. Capture records carry no time the system defines, so the clock is the scan itself:
// the identifier polled most often (the reference) is taken to be polled once per elementary
// cycle, and one tick is one poll of it. The period of any other identifier is the most
// frequent number of ticks between two of its polls, once at least kMinIntervals intervals
// were seen and that number covers at least half of them; kMinIntervals equal intervals in a row
// that differ from it mean the arbitrator's plan changed, and the period is learned afresh from
// them. A later interval longer than the
// period means polls that came late or never came: (interval - 1) / period of them. Limits: when
// no identifier is scanned every elementary cycle, periods count in units of the shortest one;
// polls of the reference itself cannot be judged; an interval that spans a break of the stream
// is not measured.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace wire {

constexpr std::uint32_t kMinIntervals = 3;         // intervals seen before a period is believed
constexpr std::uint32_t kFirstReferencePolls = 64; // polls seen before a first reference is chosen
constexpr std::uint32_t kReferenceWindowPolls = 1024;    // polls between two choices of reference
constexpr std::uint64_t kMaxMacrocycleCycles = 1U << 20; // beyond this the macrocycle is unknown

struct ScanEntry {
    std::uint16_t id = 0;
    std::uint32_t period_cycles = 0; // 0 while not learned (or not periodic)
    std::uint64_t deviations = 0;    // late or never-come polls, the overdue one included
};

struct ScanTable {
    std::optional<std::uint16_t> reference; // the identifier that counts cycles
    std::uint64_t cycles = 0;               // elementary cycles counted since the reference
    std::uint64_t macrocycle_cycles = 0;    // 0: no period learned, or too long to tell
    std::uint64_t macrocycle_polls = 0;     // periodic polls in one macrocycle
    std::vector<ScanEntry> entries;         // every identifier polled periodically, by id
};

// Not thread-safe; one thread feeds it.
class ScanLearner {
public:
    ScanLearner();

    // A periodic poll (ID_DAT that passed every check) of `id`, in bus order.
    void on_poll(std::uint16_t id);

    // The stream broke (records lost, gateway restarted): open intervals are not measured.
    void on_break();

    // Period of `id` in cycles, 0 while not learned.
    std::uint32_t period(std::uint16_t id) const;
    // Deviations of `id` so far, counting a poll now overdue.
    std::uint64_t deviations(std::uint16_t id) const;

    ScanTable table() const;

private:
    static constexpr std::size_t kHistogramSlots = 8; // distinct intervals remembered per id
    struct Interval {
        std::uint32_t ticks = 0;
        std::uint32_t count = 0;
    };
    struct Entry {
        std::uint16_t id = 0;
        std::uint64_t window_polls = 0;
        std::uint64_t last_tick = 0;
        bool measuring = false; // last_tick is a valid start for the next interval
        std::uint32_t period = 0;
        std::uint32_t intervals = 0;
        std::uint64_t deviations = 0;
        Interval run{}; // the latest intervals, while they are all equal
        std::array<Interval, kHistogramSlots> histogram{};
    };

    Entry& entry(std::uint16_t id);
    const Entry* find(std::uint16_t id) const;
    void choose_reference();
    void learn(Entry& e, std::uint64_t ticks);
    std::uint64_t overdue(const Entry& e) const;

    std::vector<std::uint32_t> slot_; // id -> index in entries_ + 1; 0: never polled
    std::vector<Entry> entries_;
    std::optional<std::uint16_t> reference_;
    std::uint64_t ticks_ = 0;
    std::uint64_t window_polls_ = 0;
    std::uint64_t windows_ = 0;
};

} // namespace wire
