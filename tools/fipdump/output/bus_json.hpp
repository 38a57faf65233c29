// The --bus --json output: per gateway, one object for the bus then one per identifier, one
// per line.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "tools/fipdump/analysis/bus_analyser.hpp"

namespace fipdump {

// {"type":"bus","time":..,"unix_time":..,"gateway":"10.0.0.5","frames":..,"transactions":..,
//  "missing":..,"bad_frames":..,"macrocycle_polls":..,...}
std::string json_bus(const GatewayBus& g, std::chrono::system_clock::time_point now);

// {"type":"identifier","gateway":..,"id":256,"polls":..,"responses":..,"missing":..,
//  "bad_frames":..,"len_min":..,"len_max":..,"period_cycles":..,"scan_deviations":..,...}
std::string json_identifier(const GatewayBus& g, const wire::IdentifierStats& s);

// Every gateway's bus object followed by its identifiers in table order, each with a newline.
std::string json_bus_report(const std::vector<GatewayBus>& gateways,
                            std::chrono::system_clock::time_point now);

} // namespace fipdump
