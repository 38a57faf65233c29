// --baseline and --save-baseline: the baseline file read at start and written at the end.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/fipdump/analysis/bus_analyser.hpp"
#include "wire/baseline_json.hpp"

namespace fipdump {

// Reads and checks the baseline file `path`. The error names the file and what is wrong.
wire::BaselineRead read_baseline_file(const std::string& path);

// Writes `text` to `path` through a temporary file beside it, flushed to disk and renamed over
// it: a reader never sees half a file, and a failure leaves the previous one whole. Returns an
// error naming the file and the reason, empty on success.
std::string write_file_atomically(const std::string& path, const std::string& text);

// Saves the baseline of the one gateway in `gateways` to `path`, taken at `now_us` (Unix
// microseconds). Returns why it was refused or failed, empty on success.
std::string save_baseline(const std::string& path, const std::vector<GatewayBus>& gateways,
                          std::int64_t now_us);

} // namespace fipdump
