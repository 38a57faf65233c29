#include "wire/health.hpp"

#include <algorithm>

namespace wire {

namespace {

constexpr std::int64_t kMicrosPerSecond = 1'000'000;

std::int64_t second_of(std::int64_t time_us) {
    // Rounds towards minus infinity, so that times before the epoch (tests) bucket the same.
    return time_us >= 0 ? time_us / kMicrosPerSecond : (time_us + 1) / kMicrosPerSecond - 1;
}

} // namespace

const char* to_string(Health h) {
    switch (h) {
    case Health::silent:
        return "silent";
    case Health::missing:
        return "missing";
    case Health::bad:
        return "bad";
    case Health::gone:
        return "gone";
    case Health::ok:
        break;
    }
    return "ok";
}

WindowCounts& RecentWindow::at(std::int64_t time_us) {
    const std::int64_t second = second_of(time_us);
    Bucket& b = buckets[static_cast<std::size_t>(second % static_cast<std::int64_t>(kBuckets) +
                                                 static_cast<std::int64_t>(kBuckets)) %
                        kBuckets];
    if (b.second != second) {
        b.second = second;
        b.c = {};
    }
    return b.c;
}

WindowCounts RecentWindow::counts(std::int64_t now_us) const {
    const std::int64_t now = second_of(now_us);
    WindowCounts sum;
    for (const Bucket& b : buckets) {
        if (b.second <= now && b.second > now - static_cast<std::int64_t>(kBuckets)) {
            sum.polls += b.c.polls;
            sum.missing += b.c.missing;
            sum.bad += b.c.bad;
        }
    }
    return sum;
}

std::int64_t gone_after(std::int64_t last_poll_us, std::int64_t poll_interval_us) {
    if (poll_interval_us <= 0 || last_poll_us == 0) {
        return 0;
    }
    return last_poll_us + kGonePollIntervals * poll_interval_us;
}

Health judge(const HealthInput& in, std::int64_t now_us, double missing_threshold) {
    const std::int64_t gone_at = gone_after(in.last_poll_us, in.poll_interval_us);
    if (in.periodic && gone_at != 0 && now_us > gone_at) {
        return Health::gone;
    }
    if (in.unanswered_in_row >= kSilentPolls) {
        return Health::silent;
    }
    const WindowCounts& w = in.window;
    if (w.missing != 0 &&
        static_cast<double>(w.missing) >
            missing_threshold * static_cast<double>(std::max(w.polls, kMinJudgedPolls))) {
        return Health::missing;
    }
    if (w.bad != 0) {
        return Health::bad;
    }
    return Health::ok;
}

} // namespace wire
