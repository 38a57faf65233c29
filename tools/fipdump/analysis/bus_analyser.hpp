// fipdump's side of the bus analysis: one transaction walker per gateway, fed with every
// datagram in arrival order and told where the stream broke, and snapshots of what they count.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "tools/fipdump/analysis/accounting.hpp"
#include "tools/fipdump/input/received.hpp"
#include "wire/baseline_compare.hpp"
#include "wire/records.hpp"
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
    std::shared_ptr<const BaselineInUse> baseline;      // null without --baseline
    std::vector<wire::IdentifierDeviations> deviations; // by id, deviating ones only

    // How `id` deviates from the baseline, null when it does not.
    const wire::IdentifierDeviations* deviations_of(std::uint16_t id) const;
};

// "period,length": the names of the deviations of `d`, comma-separated.
std::string deviation_names(const wire::IdentifierDeviations& d);

// "10.0.0.5".
std::string address_text(std::uint32_t addr);

class BusAnalyser {
public:
    // Every gateway's bus is compared with `baseline` from now on. Main thread, before the
    // first datagram.
    void set_baseline(std::shared_ptr<const BaselineInUse> baseline);

    // Feeds one datagram with the accounting's verdict on it: a gap, a restart or a malformed
    // datagram is a break of the stream. Duplicates are left out. Main thread.
    void on_datagram(const Received& r, const wire::Datagram& d, const DatagramVerdict& verdict);

    // A copy of every gateway's analysis, by address. Any thread.
    std::vector<GatewayBus> snapshot() const;

private:
    struct Comparison {
        wire::DeviationLog log;
        std::int64_t compared_us = 0; // stream time of the last comparison
    };
    // Compares the walker's bus with the baseline once per second of stream time at most: the
    // deviations' first times are good to that second, live or from a recording.
    void compare(const wire::TransactionWalker& walker, Comparison& c, bool now) const;

    mutable std::mutex lock; // one per datagram fed, one per snapshot
    std::map<std::uint32_t, std::unique_ptr<wire::TransactionWalker>> walkers;
    std::shared_ptr<const BaselineInUse> baseline_;
    mutable std::map<std::uint32_t, Comparison> comparisons; // by gateway, with a baseline
};

} // namespace fipdump
