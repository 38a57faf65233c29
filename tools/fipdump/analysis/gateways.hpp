// The gateways as the metrics name them: one per sender address and capture card serial
// number, whatever source port it sends from (a reload or a restart opens a new socket, so a
// new port), with whether it is alive. Pure.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "tools/fipdump/analysis/accounting.hpp"

namespace fipdump {

// A gateway with no datagram for this long is left out of the exposition (its counts are kept,
// and continue should it come back).
constexpr std::chrono::minutes kSilentGatewayDropped{10};
// A gateway is up while its lifesigns arrive within this many lifesign periods.
constexpr int kLifesignPeriodsUp = 3;
// The period assumed before two lifesigns have given it: the gateway's default.
constexpr std::chrono::milliseconds kDefaultLifesignPeriod{500};

struct Gateway {
    std::string label;   // "address/serial", or "address" before any lifesign
    SenderCounts counts; // summed over its source ports
    std::optional<wire::LifesignRecord> lifesign; // the most recent one
    bool up = false;
};

// The gateways of `summary` seen within kSilentGatewayDropped of `now`, ordered by label.
std::vector<Gateway> gateways(const Summary& summary, std::chrono::system_clock::time_point now);

} // namespace fipdump
