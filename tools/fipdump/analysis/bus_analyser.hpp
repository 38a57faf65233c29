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
#include "wire/records.hpp"
#include "wire/stream_state.hpp"
#include "wire/transactions.hpp"

namespace fipdump {

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
};

// "10.0.0.5".
std::string address_text(std::uint32_t addr);

class BusAnalyser {
public:
    // `missing_threshold`: see wire::judge.
    explicit BusAnalyser(double missing_threshold = wire::kDefaultMissingThreshold)
        : missing_threshold(missing_threshold) {}

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
    mutable std::mutex lock; // one per datagram fed, one per snapshot
    struct Walk {
        explicit Walk(double missing_threshold) : walker(missing_threshold) {}
        wire::TransactionWalker walker;
        wire::StreamWatch watch;
    };
    const double missing_threshold;
    std::map<std::uint32_t, std::unique_ptr<Walk>> walkers;
};

} // namespace fipdump
