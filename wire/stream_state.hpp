// Whether a gateway's stream is moving now, and why not: the bus went quiet (the card sees no
// traffic, or the gateway's lifesigns say the fieldbus link is inactive), the gateway went quiet
// (no datagram at all), or the recording ended. Fed the receive times of what arrives, in
// order; judged at a time the caller passes in, never a clock of its own.
#pragma once

#include <array>
#include <cstdint>
#include <limits>

namespace wire {

enum class StreamState : std::uint8_t { live, bus_silent, gateway_silent, ended };
constexpr std::size_t kStreamStateCount = 4;

// "live", "bus silent", "gateway silent", "ended": the names in every output.
const char* to_string(StreamState s);

constexpr std::int64_t kBusSilentUs = 3'000'000;   // no capture record for this long: bus silent
constexpr std::int64_t kLifesignPeriodsSilent = 3; // no datagram for this many lifesign
                                                   // periods: gateway silent
constexpr std::int64_t kDefaultLifesignPeriodUs = 500'000; // until two lifesigns have told it
constexpr std::int64_t kRateWindowUs = 5'000'000;          // a rate shown is over the last 5 s

class StreamWatch {
public:
    // Any datagram of the gateway, at its receive time.
    void on_datagram(std::int64_t time_us);
    // A capture record; `frames` is 1 for a record with a frame.
    void on_capture(std::int64_t time_us, std::uint64_t frames);
    // A lifesign record and what it says of the fieldbus link.
    void on_lifesign(std::int64_t time_us, bool fieldbus_active);
    // The gateway restarted; `lost` datagrams were skipped.
    void on_restart(std::int64_t time_us);
    void on_loss(std::int64_t time_us, std::uint64_t lost);

    // The state at `now_us`; `ended` when the input is over. Pure.
    StreamState state(std::int64_t now_us, bool ended) const;
    // When the state at `now_us` began, 0 for `live` (the stream simply moves).
    std::int64_t state_since(std::int64_t now_us, bool ended) const;
    // Frames per second over the rate window ending at `now_us`: 0 when the bus stopped.
    double frame_rate(std::int64_t now_us) const;

    std::uint64_t restarts() const { return restart_cnt; }
    std::int64_t last_restart_us() const { return last_restart; }
    std::uint64_t lost_datagrams() const { return lost_cnt; }
    std::int64_t last_loss_us() const { return last_loss; }
    std::int64_t lifesign_period_us() const;

private:
    static constexpr std::size_t kRateBuckets = kRateWindowUs / 1'000'000;
    std::int64_t first_datagram = 0;
    std::int64_t last_datagram = 0;
    std::int64_t last_capture = 0;
    std::int64_t last_lifesign = 0;
    std::int64_t lifesign_period = 0; // smoothed interval between lifesigns
    bool fieldbus_active = true;      // as the last lifesign said
    std::int64_t inactive_since = 0;  // its first lifesign saying inactive
    std::uint64_t restart_cnt = 0;
    std::int64_t last_restart = 0;
    std::uint64_t lost_cnt = 0;
    std::int64_t last_loss = 0;
    struct Bucket {
        std::int64_t second = std::numeric_limits<std::int64_t>::min();
        std::uint64_t frames = 0;
    };
    std::array<Bucket, kRateBuckets + 1> rate{};
};

} // namespace wire
