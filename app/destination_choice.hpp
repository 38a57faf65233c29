// How each build cycle gets its destination and deals with bad destination settings.
//
// Design notes
// - At start a bad value ends the gateway with status 1: a stream that silently goes to the
//   default broadcast instead of the configured group is worse than no stream.
// - At a reload the gateway is already serving receivers: a bad value keeps what was in force
//   (the configuration reader leaves the setting unchanged; a destination that cannot be
//   resolved, such as an interface that went away, gives way to the previous one) and the
//   problem goes to the log and to syslog.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "udp/destination.hpp"

struct app_cfg;

// Reports the configuration file's `problems` in the log (error level) and in syslog. Returns
// false when they must end the gateway: at start (`reload` false) and only then.
bool accept_conf_problems(const app_cfg* c, const std::vector<std::string>& problems, bool reload);

class DestinationChoice {
public:
    // The destination of the next generation, resolved from `c` (UdpAddress, UdpPort,
    // UdpInterface, MulticastTtl). When it cannot be resolved: at start, throws
    // std::invalid_argument with the reason; after a first success, reports the reason and
    // returns the previous generation's destination on the configured port. Main thread.
    Destination next(const app_cfg* c);

private:
    std::optional<Destination> previous;
};
