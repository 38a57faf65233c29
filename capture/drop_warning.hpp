// Rate limit of the warning about records the event buffer could not take: a full buffer drops
// thousands of records a second, and one log line per record would flood the log. One line a
// second at most, carrying the count since the last; the gateway's main loop is its only user.
#pragma once

#include <chrono>
#include <cstdint>

class DropWarning {
public:
    using clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds kMinInterval{1}; // between two warnings

    // Counts `n` dropped records.
    void add(std::uint64_t n = 1) { pending += n; }

    // The number of drops to report now, or 0 when there are none or the last warning is less
    // than kMinInterval old. Reporting restarts the count and the interval.
    std::uint64_t take(clock::time_point now) {
        if (pending == 0 || (warned && now - last_warning < kMinInterval)) {
            return 0;
        }
        warned = true;
        last_warning = now;
        const std::uint64_t n = pending;
        pending = 0;
        return n;
    }

    // Drops not reported yet, whatever the interval: for the last line when capture ends.
    std::uint64_t take_all() {
        const std::uint64_t n = pending;
        pending = 0;
        return n;
    }

private:
    std::uint64_t pending = 0;
    bool warned = false;
    clock::time_point last_warning{};
};
