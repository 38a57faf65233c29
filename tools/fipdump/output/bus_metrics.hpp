// The bus analysis in the Prometheus text exposition, appended to fipdump's other metrics:
// bus-level counters per gateway, and per-identifier counters with an `id` label. The number of
// identifiers exported is capped, so that a damaged or hostile stream cannot multiply the
// series a scraper stores; those left out are counted.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "tools/fipdump/analysis/bus_analyser.hpp"

namespace fipdump {

constexpr std::size_t kDefaultMetricsIdentifiers = 1024;

// Families with HELP and TYPE lines; labels gateway="10.0.0.5", id="0x0123", cause="fcs",
// kind="variable". At most `max_ids` identifiers over all gateways, in order of first poll (so
// that the set exported stays the same from one scrape to the next). Pure.
std::string render_bus_metrics(const std::vector<GatewayBus>& gateways, std::size_t max_ids);

} // namespace fipdump
