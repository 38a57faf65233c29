// The card's two clocks: bus time against the wall clock while the traffic thread paces the bus,
// and the records' time stamps against the epoch the driver was given.
#pragma once

#include <chrono>
#include <cstdint>

namespace capvane_sim {

// Not thread-safe: used under the card's lock.
class TimeBase {
public:
    using Clock = std::chrono::steady_clock;

    // Wall nanoseconds per bus nanosecond: 1 in real time, other values when paced.
    void set_wall_per_sim(double ratio) { wall_per_sim_ = ratio; }

    // From now on bus time `sim_ns` is reached at `wall`.
    void anchor(uint64_t sim_ns, Clock::time_point wall);

    // Bus time at `now` (never before bus time 0).
    uint64_t sim_at(Clock::time_point now) const;

    // When bus time `sim_ns` is due on the wall clock.
    Clock::time_point wall_of(uint64_t sim_ns) const;

    // The driver set the epoch to `epoch_ns` when the bus was at `sim_ns`.
    void set_epoch(uint64_t epoch_ns, uint64_t sim_ns);

    // Time stamp of a record ending at bus time `sim_ns`, ns since the epoch (never negative).
    uint64_t stamp(uint64_t sim_ns) const;

private:
    double wall_per_sim_ = 1.0;
    Clock::time_point anchor_wall_;
    uint64_t anchor_sim_ns_ = 0;
    uint64_t epoch_ns_ = 0;
    uint64_t sim_at_epoch_ns_ = 0;
};

} // namespace capvane_sim
