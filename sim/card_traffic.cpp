#include "card.hpp"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <pthread.h>

namespace capvane_sim {

namespace {

// The traffic thread never sleeps shorter than this: records are only seen per buffer anyway.
constexpr std::chrono::milliseconds kTrafficTick{2};
// A traffic thread that fell this far behind (a loaded host) skips ahead instead of bursting.
constexpr std::chrono::milliseconds kMaxLag{50};

} // namespace

void Card::catch_up(Clock::time_point now) {
    // After a pause or with the sniffer off the bus did not stop for real: move it on to now
    // rather than replaying the silent stretch at full speed.
    if (!source_has_next()) {
        return;
    }
    const uint64_t next = source_.next_sim_ns();
    if (time_.wall_of(next) >= now) {
        return;
    }
    if (source_.bus_frame_pending()) {
        source_.skip_to(sim_now_ns(now));
    } else {
        time_.anchor(next, now);
    }
}

void Card::drain_injected() {
    faults_.drain(packer_, stamp_now(), bitrate_);
}

bool Card::build_on_demand() {
    drain_injected();
    while (source_has_next()) {
        if (packer_.room() < source_.next_record_bytes()) {
            break;
        }
        source_.pack_next(packer_, time_, stats_);
    }
    if (packer_.partial().empty()) {
        return false;
    }
    packer_.push_partial();
    return true;
}

void Card::_bkgd_traffic_func() {
    // Named apart from the daemon's own threads: the real driver runs none in the process.
    (void)pthread_setname_np(pthread_self(), "sim-card");
    try {
        std::unique_lock lk(mu_);
        bool was_running = false;
        while (!stopping_) {
            const bool running = sniffer_ && !unplugged_.load();
            if (!running) {
                was_running = false;
                producer_cv_.wait(lk);
                continue;
            }
            const Clock::time_point now = Clock::now();
            if (!was_running) {
                catch_up(now);
                was_running = true;
            }
            drain_injected();
            std::optional<Clock::time_point> next_due;
            while (source_has_next()) {
                const uint64_t sim = source_.next_sim_ns();
                Clock::time_point due = time_.wall_of(sim);
                if (due < now - kMaxLag) {
                    // Too far behind: skip ahead rather than build a burst.
                    time_.anchor(sim, now - kMaxLag);
                    due = time_.wall_of(sim);
                }
                if (due > now) {
                    next_due = due;
                    break;
                }
                source_.pack_next(packer_, time_, stats_);
            }
            if (!packer_.partial().empty() && now - packer_.partial().first_record_at >= flush_) {
                packer_.push_partial();
            }
            Clock::time_point wake = Clock::time_point::max();
            if (next_due) {
                wake = std::max(*next_due, now + kTrafficTick);
            }
            if (!packer_.partial().empty()) {
                wake = std::min(wake, packer_.partial().first_record_at + flush_);
            }
            if (wake == Clock::time_point::max()) {
                producer_cv_.wait(lk);
            } else {
                producer_cv_.wait_until(lk, wake);
            }
            if (paused_) {
                was_running = false; // a resume catches up with the time the bus was silent
            }
        }
    } catch (...) {
        std::fprintf(stderr, "capvane-sim: card %d: traffic thread stopped on an error\n", number_);
    }
}

} // namespace capvane_sim
