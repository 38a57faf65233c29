// The gateways as the metrics name them: one per sender address and capture card serial
// number, whatever source port it sends from (a reload or a restart opens a new socket, so a
// new port), with whether it is alive. Pure.
#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tools/fipdump/analysis/accounting.hpp"

namespace fipdump {

// A gateway is up while its lifesigns arrive within this many lifesign periods.
constexpr int kLifesignPeriodsUp = 3;
// The period assumed before two lifesigns have given it: the gateway's default.
constexpr std::chrono::milliseconds kDefaultLifesignPeriod{500};

struct Gateway {
    std::string label;   // "address/serial", or "address:port" before any lifesign
    SenderCounts counts; // summed over its source ports
    std::optional<wire::LifesignRecord> lifesign; // the most recent one
    bool up = false;
};

// The name of a gateway in every output: "<address>/<card serial>" once a lifesign gave the
// serial (not 0, what a gateway sends before it has read its card's identity),
// "<address>:<source port>" ("[v6]:port") before.
std::string gateway_name(const Sender& from, std::optional<std::uint32_t> serial);

// The card serial of each sender, learnt from its lifesigns.
class GatewayNames {
public:
    // Learns what `d` says of its sender; the sender's "<address>/<card serial>" once known.
    std::optional<std::string> on_datagram(const Sender& from, const wire::Datagram& d);

private:
    std::map<Sender, std::uint32_t> serial;
};

// The gateways of `summary`, ordered by label; with `forget_after`, those with no datagram for
// that long are left out (their counts are kept, and continue should they come back).
std::vector<Gateway> gateways(const Summary& summary, std::chrono::system_clock::time_point now,
                              std::optional<std::chrono::seconds> forget_after = std::nullopt);

} // namespace fipdump
