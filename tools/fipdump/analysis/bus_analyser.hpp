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
#include "wire/records.hpp"
#include "wire/transactions.hpp"

namespace fipdump {

// The analysis of one gateway's bus at one moment. Plain values.
struct GatewayBus {
    std::uint32_t addr = 0; // the gateway's IPv4 address, host order: a restart changes its port
    wire::BusCounters bus;
    std::vector<wire::IdentifierStats> ids; // in order of first poll
    wire::ScanTable scan;
};

// "10.0.0.5".
std::string address_text(std::uint32_t addr);

class BusAnalyser {
public:
    // Feeds one datagram with the accounting's verdict on it: a gap, a restart or a malformed
    // datagram is a break of the stream. Duplicates are left out. Main thread.
    void on_datagram(const Received& r, const wire::Datagram& d, const DatagramVerdict& verdict);

    // A copy of every gateway's analysis, by address. Any thread.
    std::vector<GatewayBus> snapshot() const;

private:
    mutable std::mutex lock; // one per datagram fed, one per snapshot
    std::map<std::uint32_t, std::unique_ptr<wire::TransactionWalker>> walkers;
};

} // namespace fipdump
