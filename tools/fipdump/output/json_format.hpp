// The --json output: one JSON object per line for each event, malformed datagram and notice,
// and the summary. NaN figures are null (JSON has no NaN).
#pragma once

#include <string>

#include "tools/fipdump/analysis/accounting.hpp"
#include "tools/fipdump/input/received.hpp"
#include "wire/records.hpp"

namespace fipdump {

// {"time":..,"sender":..,"seq":..,"type":"capture","idx":..,"len":..,"frame":"0312..",...}
// or {...,"type":"lifesign","counter":..,every field...}. No newline.
std::string json_event(const Received& r, std::uint64_t seq, const wire::Event& event);

// {"time":..,"sender":..,"type":"malformed","bytes":..,"reason":..,"offset":..}. No newline.
std::string json_malformed(const Received& r, const wire::DecodeError& error);

// The summary object: totals at the top level, then "gateways" keyed by sender. No newline.
std::string json_summary(const Summary& s);

} // namespace fipdump
