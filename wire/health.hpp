// Whether an identifier is healthy now, judged on its recent traffic rather than on totals that
// only grow: a station that stopped answering an hour ago and recovered is ok again, while one
// answering no poll since a minute is silent although its totals look fine. Everything is
// judged in the bus's own time (the receive times of its records), so that a pause of the bus
// or of the gateway freezes the states rather than turning every station silent: the stream's
// state says why nothing moves.
#pragma once

#include <array>
#include <cstdint>
#include <limits>

namespace wire {

// Sickest first: the order of the bus table.
enum class Health : std::uint8_t { silent, missing, bad, gone, ok };
constexpr std::size_t kHealthCount = 5;

// "silent", "missing", "bad", "gone", "ok": the names in every output.
const char* to_string(Health h);

constexpr std::int64_t kWindowUs = 10'000'000;    // the recent window: the last 10 s of bus time
constexpr std::uint32_t kSilentPolls = 3;         // polls unanswered in a row: the station stopped
                                                  // answering (not a rare miss)
constexpr double kDefaultMissingThreshold = 0.01; // share of unanswered polls in the window
                                                  // above which a station is `missing`
constexpr std::uint64_t kMinJudgedPolls = 200;    // the share of misses is taken of at least this
                                                  // many polls: on a slow or young identifier, two
                                                  // rare misses are not yet a trend
constexpr std::int64_t kGonePollIntervals = 5;    // a periodic identifier not polled for this many
                                                  // of its usual intervals is `gone`

struct WindowCounts {
    std::uint64_t polls = 0;
    std::uint64_t missing = 0; // polls left unanswered
    std::uint64_t bad = 0;     // answers that broke a rule
};

// Counts of the last kWindowUs of bus time, in one-second buckets: a second that ends leaves the
// window whole, so counts(now) is exact to the second.
class RecentWindow {
public:
    void on_poll(std::int64_t time_us) { at(time_us).polls++; }
    void on_missing(std::int64_t time_us) { at(time_us).missing++; }
    void on_bad(std::int64_t time_us) { at(time_us).bad++; }
    // The counts of the buckets within the window that ends at `now_us`.
    WindowCounts counts(std::int64_t now_us) const;

private:
    static constexpr std::size_t kBuckets = kWindowUs / 1'000'000;
    struct Bucket {
        std::int64_t second = std::numeric_limits<std::int64_t>::min();
        WindowCounts c;
    };
    WindowCounts& at(std::int64_t time_us);
    std::array<Bucket, kBuckets> buckets{};
};

// What the state of one identifier is judged from. Plain values.
struct HealthInput {
    WindowCounts window;
    std::uint32_t unanswered_in_row = 0; // polls since its last answer, breaks aside
    bool periodic = false;               // in the learned scan
    std::int64_t last_poll_us = 0;
    std::int64_t poll_interval_us = 0; // its usual interval between polls; 0 while unknown
};

// The state at `now_us` (bus time). A station no longer polled is `gone` whatever it did before;
// then silence, then misses above `missing_threshold` of the window's polls, then bad answers.
// Pure.
Health judge(const HealthInput& in, std::int64_t now_us, double missing_threshold);

// When a periodic identifier last polled at `last_poll_us` counts as gone; 0 when it cannot.
std::int64_t gone_after(std::int64_t last_poll_us, std::int64_t poll_interval_us);

} // namespace wire
