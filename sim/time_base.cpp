#include "time_base.hpp"

namespace capvane_sim {

void TimeBase::anchor(uint64_t sim_ns, Clock::time_point wall) {
    anchor_sim_ns_ = sim_ns;
    anchor_wall_ = wall;
}

uint64_t TimeBase::sim_at(Clock::time_point now) const {
    const double wall_ns = static_cast<double>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(now - anchor_wall_).count());
    const double sim = static_cast<double>(anchor_sim_ns_) + wall_ns / wall_per_sim_;
    return sim <= 0 ? 0 : static_cast<uint64_t>(sim);
}

TimeBase::Clock::time_point TimeBase::wall_of(uint64_t sim_ns) const {
    const double delta =
        (static_cast<double>(sim_ns) - static_cast<double>(anchor_sim_ns_)) * wall_per_sim_;
    return anchor_wall_ + std::chrono::nanoseconds(static_cast<int64_t>(delta));
}

void TimeBase::set_epoch(uint64_t epoch_ns, uint64_t sim_ns) {
    epoch_ns_ = epoch_ns;
    sim_at_epoch_ns_ = sim_ns;
}

uint64_t TimeBase::stamp(uint64_t sim_ns) const {
    const int64_t since_epoch = static_cast<int64_t>(sim_ns - sim_at_epoch_ns_);
    const int64_t stamp = static_cast<int64_t>(epoch_ns_) + since_epoch;
    return stamp < 0 ? 0 : static_cast<uint64_t>(stamp);
}

} // namespace capvane_sim
