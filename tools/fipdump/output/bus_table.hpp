// The --bus table a maintenance engineer reads: per gateway, the stream's state and the bus
// totals, the learned scan, then one row per identifier, the sickest first (by the state judged
// on recent traffic), then the busiest. On a live screen it is laid out for the terminal: the
// least useful columns go first when it is narrow, and rows that do not fit are counted.
#pragma once
#include <chrono>
#include <cstddef>
#include <limits>
#include <string>
#include <vector>

#include "tools/fipdump/analysis/bus_analyser.hpp"

namespace fipdump {

// The smallest screen the live table is laid out for; a smaller terminal gets this layout cut.
constexpr std::size_t kMinScreenWidth = 80;  // columns
constexpr std::size_t kMinScreenHeight = 24; // rows

// Identifiers of `g` in the order the table shows them: sickest state first (silent, missing,
// bad, gone, ok), then the latest to have had a problem, then most polls in the recent window,
// then most polls, then by identifier.
std::vector<wire::IdentifierStats> table_order(const GatewayBus& g);

// The whole table, every column that fits in `width` (all of them by default); at most
// `max_rows` identifier rows per gateway (the rest counted in one line). Pure.
std::string bus_table(const std::vector<GatewayBus>& gateways, std::size_t max_rows,
                      std::size_t width = std::numeric_limits<std::size_t>::max());

// The table as a terminal of `width` columns and `height` rows shows it: no line longer than
// `width`, at most `height` - 1 lines (the cursor stays on the last row without scrolling the
// first away). Pure.
std::string bus_screen(const std::vector<GatewayBus>& gateways, std::size_t width,
                       std::size_t height);

} // namespace fipdump
