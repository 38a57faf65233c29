// The Prometheus text exposition (format 0.0.4) of what fipdump knows: whether each gateway is
// up, the last lifesign record of each gateway that is, and fipdump's own counts per gateway.
#pragma once

#include <chrono>
#include <string>

#include "tools/fipdump/analysis/accounting.hpp"

namespace fipdump {

constexpr const char* kMetricsContentType = "text/plain; version=0.0.4; charset=utf-8";

// Every family with its HELP and TYPE lines; samples labelled gateway="<address>/<card serial>"
// (see gateways.hpp). Sizes in bytes, durations in seconds, shares as ratios 0-1; the gateway's
// local dates are published only as differences. Pure: `now` decides which gateways are up or
// left out.
std::string render_metrics(const Summary& summary, std::chrono::system_clock::time_point now);
// The same at the current time.
std::string render_metrics(const Summary& summary);

} // namespace fipdump
