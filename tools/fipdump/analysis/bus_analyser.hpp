// fipdump's side of the bus analysis: one transaction walker per gateway, fed with every
// datagram in arrival order and told where the stream broke, and snapshots of what they count.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "tools/fipdump/analysis/accounting.hpp"
#include "tools/fipdump/input/received.hpp"
#include "wire/baseline_compare.hpp"
#include "wire/records.hpp"
#include "wire/stream_state.hpp"
#include "wire/transactions.hpp"

namespace fipdump {

// The baseline a run compares with (--baseline).
struct BaselineInUse {
    std::string file;
    wire::Baseline baseline;
};

// The analysis of one gateway's bus at one moment. Plain values.
struct GatewayBus {
    std::uint32_t addr = 0; // the gateway's IPv4 address, host order: a restart changes its port
    wire::BusCounters bus;
    std::vector<wire::IdentifierStats> ids; // in order of first poll
    wire::ScanTable scan;
    wire::StreamState stream = wire::StreamState::live; // at the time of the snapshot
    std::int64_t stream_since_us = 0;                   // 0 while live
    double frame_rate = 0;                              // frames/s over the last few seconds
    std::uint64_t restarts = 0;
    std::int64_t last_restart_us = 0;
    std::uint64_t lost_datagrams = 0;
    std::int64_t last_loss_us = 0;
    std::shared_ptr<const BaselineInUse> baseline{};      // null without --baseline
    std::vector<wire::IdentifierDeviations> deviations{}; // by id, deviating ones only

    // How `id` deviates from the baseline, null when it does not.
    const wire::IdentifierDeviations* deviations_of(std::uint16_t id) const;
};

// "period,length": the names of the deviations of `d`, comma-separated.
std::string deviation_names(const wire::IdentifierDeviations& d);

// "10.0.0.5".
std::string address_text(std::uint32_t addr);

class BusAnalyser {
public:
    // `missing_threshold`: see wire::judge.
    explicit BusAnalyser(double missing_threshold = wire::kDefaultMissingThreshold)
        : missing_threshold(missing_threshold) {}

    // Every gateway's bus is compared with `baseline` from now on. Main thread, before the
    // first datagram.
    void set_baseline(std::shared_ptr<const BaselineInUse> baseline);

    // Feeds one datagram with the accounting's verdict on it: a gap, a restart or a malformed
    // datagram is a break of the stream. Duplicates are left out. Main thread.
    void on_datagram(const Received& r, const wire::Datagram& d, const DatagramVerdict& verdict);

    // A copy of every gateway's analysis, by address, its stream judged at `now` (the clock
    // live, the capture's time when reading files), or `ended` when the input is over. Any
    // thread.
    std::vector<GatewayBus>
    snapshot(std::chrono::system_clock::time_point now = std::chrono::system_clock::now(),
             bool ended = false) const;

private:
    struct Comparison {
        wire::DeviationLog log;
        std::int64_t compared_us = 0; // stream time of the last comparison
    };
    // Compares the walker's bus with the baseline once per second of stream time at most: the
    // deviations' first times are good to that second, live or from a recording.
    void compare(const wire::TransactionWalker& walker, Comparison& c, bool now) const;

    mutable std::mutex lock; // one per datagram fed, one per snapshot
    struct Walk {
        explicit Walk(double missing_threshold) : walker(missing_threshold) {}
        wire::TransactionWalker walker;
        wire::StreamWatch watch;
        Comparison comparison; // with a baseline
    };
    const double missing_threshold;
    std::map<std::uint32_t, std::unique_ptr<Walk>> walkers;
    std::shared_ptr<const BaselineInUse> baseline_;
};

} // namespace fipdump
