#include "wire/stream_state.hpp"

#include <algorithm>

namespace wire {

namespace {

constexpr std::int64_t kMicrosPerSecond = 1'000'000;
constexpr std::int64_t kSmoothing = 8; // weight of the past in the lifesign period

} // namespace

const char* to_string(StreamState s) {
    switch (s) {
    case StreamState::bus_silent:
        return "bus silent";
    case StreamState::gateway_silent:
        return "gateway silent";
    case StreamState::ended:
        return "ended";
    case StreamState::live:
        break;
    }
    return "live";
}

void StreamWatch::on_datagram(std::int64_t time_us) {
    if (first_datagram == 0) {
        first_datagram = time_us;
    }
    last_datagram = std::max(last_datagram, time_us);
}

void StreamWatch::on_capture(std::int64_t time_us, std::uint64_t frames) {
    last_capture = std::max(last_capture, time_us);
    const std::int64_t second = time_us / kMicrosPerSecond;
    Bucket& b = rate[static_cast<std::size_t>(second) % rate.size()];
    if (b.second != second) {
        b.second = second;
        b.frames = 0;
    }
    b.frames += frames;
}

void StreamWatch::on_lifesign(std::int64_t time_us, bool active) {
    if (last_lifesign != 0 && time_us > last_lifesign) {
        const std::int64_t interval = time_us - last_lifesign;
        lifesign_period = lifesign_period == 0
                              ? interval
                              : lifesign_period + (interval - lifesign_period) / kSmoothing;
    }
    last_lifesign = time_us;
    if (!active && fieldbus_active) {
        inactive_since = time_us;
    }
    fieldbus_active = active;
}

void StreamWatch::on_restart(std::int64_t time_us) {
    ++restart_cnt;
    last_restart = time_us;
}

void StreamWatch::on_loss(std::int64_t time_us, std::uint64_t lost) {
    lost_cnt += lost;
    last_loss = time_us;
}

std::int64_t StreamWatch::lifesign_period_us() const {
    return lifesign_period != 0 ? lifesign_period : kDefaultLifesignPeriodUs;
}

StreamState StreamWatch::state(std::int64_t now_us, bool ended) const {
    if (ended) {
        return StreamState::ended;
    }
    if (now_us - last_datagram > kLifesignPeriodsSilent * lifesign_period_us()) {
        return StreamState::gateway_silent;
    }
    // A stream that has not yet carried a record is judged from its first datagram.
    if (!fieldbus_active || now_us - std::max(last_capture, first_datagram) > kBusSilentUs) {
        return StreamState::bus_silent;
    }
    return StreamState::live;
}

std::int64_t StreamWatch::state_since(std::int64_t now_us, bool ended) const {
    switch (state(now_us, ended)) {
    case StreamState::ended:
    case StreamState::gateway_silent:
        return last_datagram;
    case StreamState::bus_silent:
        return fieldbus_active ? std::max(last_capture, first_datagram) : inactive_since;
    case StreamState::live:
        break;
    }
    return 0;
}

double StreamWatch::frame_rate(std::int64_t now_us) const {
    const std::int64_t now = now_us / kMicrosPerSecond;
    // The current second is still filling: the rate is over the whole seconds before it.
    std::uint64_t frames = 0;
    for (const Bucket& b : rate) {
        if (b.second < now && b.second >= now - static_cast<std::int64_t>(kRateBuckets)) {
            frames += b.frames;
        }
    }
    const std::int64_t since_first = now - first_datagram / kMicrosPerSecond;
    const std::int64_t span =
        std::clamp<std::int64_t>(since_first, 1, static_cast<std::int64_t>(kRateBuckets));
    return static_cast<double>(frames) / static_cast<double>(span);
}

} // namespace wire
