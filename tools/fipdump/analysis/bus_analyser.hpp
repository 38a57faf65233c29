// fipdump's side of the bus analysis: one transaction walker per gateway, fed with every
// datagram in arrival order and told where the stream broke, and snapshots of what they count.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tools/fipdump/analysis/accounting.hpp"
#include "tools/fipdump/analysis/gateways.hpp"
#include "tools/fipdump/input/received.hpp"
#include "wire/baseline_compare.hpp"
#include "wire/records.hpp"
#include "wire/stream_state.hpp"
#include "wire/transactions.hpp"

namespace fipdump {

// A sender's datagrams are held, at most this many or this long (of receive time), until a
// lifesign names its card: they then go to that card's bus, a restarted gateway's included.
constexpr std::size_t kHeldDatagrams = 256;
constexpr std::chrono::seconds kHeldTime{2};

// The baseline a run compares with (--baseline).
struct BaselineInUse {
    std::string file;
    wire::Baseline baseline;
};

// The analysis of one gateway's bus at one moment. Plain values.
struct GatewayBus {
    // "address/serial" (IPv4 or IPv6), as every metric family names the gateway: a restart on a
    // new port continues the same bus, two cards behind one address are two buses.
    // "address:port" for a sender whose lifesigns never named its card.
    std::string gateway;
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

    // The end of the stream: what is still held goes to the bus of its sender's address and
    // port. Main thread.
    void finish();

    // A copy of every gateway's analysis, by name, its stream judged at `now` (the clock live,
    // the capture's time when reading files), or `ended` when the input is over. Any thread.
    std::vector<GatewayBus>
    snapshot(std::chrono::system_clock::time_point now = std::chrono::system_clock::now(),
             bool ended = false) const;

private:
    struct Held {
        wire::Datagram datagram;
        std::int64_t time_us = 0;
        SeqVerdict seq = SeqVerdict::first;
        std::uint64_t missing = 0; // datagrams skipped before it, when `seq` is a gap
    };

    struct Comparison {
        wire::DeviationLog log;
        std::int64_t compared_us = 0; // stream time of the last comparison
    };
    // Compares the walker's bus with the baseline once per second of stream time at most: the
    // deviations' first times are good to that second, live or from a recording.
    void compare(const wire::TransactionWalker& walker, Comparison& c, bool now) const;

    // Feeds `h` to the walker named `name`.
    void feed(const std::string& name, const Held& h);
    // Sends the datagrams held for `from` to the walker named `name`.
    void release(const Sender& from, const std::string& name);
    // Renames the sender's walker from its address and port to `name`.
    void rename(const Sender& from, const std::string& name);

    mutable std::mutex lock; // one per datagram fed, one per snapshot
    struct Walk {
        explicit Walk(double missing_threshold) : walker(missing_threshold) {}
        wire::TransactionWalker walker;
        wire::StreamWatch watch;
        Comparison comparison; // with a baseline
    };
    const double missing_threshold;
    GatewayNames names;
    std::map<Sender, std::deque<Held>> held;
    std::map<Sender, std::string> settled; // senders fed under their address and port
    std::map<std::string, std::unique_ptr<Walk>> walkers;
    std::shared_ptr<const BaselineInUse> baseline_;
};

} // namespace fipdump
