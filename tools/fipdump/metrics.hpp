// The Prometheus text exposition (format 0.0.4) of what fipdump knows: the last lifesign
// record of each gateway, and fipdump's own counts per gateway. Pure.
#pragma once

#include <string>

#include "tools/fipdump/accounting.hpp"

namespace fipdump {

constexpr const char* kMetricsContentType = "text/plain; version=0.0.4; charset=utf-8";

// Every family with its HELP and TYPE lines; samples labelled gateway="<addr>:<port>". Sizes
// are in bytes, durations in seconds, dates in seconds since 1970 of the gateway's local time.
std::string render_metrics(const Summary& summary);

} // namespace fipdump
