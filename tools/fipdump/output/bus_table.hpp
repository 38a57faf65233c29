// The --bus table a maintenance engineer reads: one summary per gateway, the learned scan, then
// the identifiers with problems first (silences, bad answers, a late scan), then the busiest.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "tools/fipdump/analysis/bus_analyser.hpp"

namespace fipdump {

// Identifiers of `g` in the order the table shows them: most problems first, then most polls,
// then by identifier.
std::vector<wire::IdentifierStats> table_order(const GatewayBus& g);

// The whole table; at most `max_rows` identifier rows per gateway (the rest summed up in one
// line). Pure.
std::string bus_table(const std::vector<GatewayBus>& gateways, std::size_t max_rows);

} // namespace fipdump
