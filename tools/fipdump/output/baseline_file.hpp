// --baseline and --save-baseline: the baseline file read at start and written at the end.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "tools/fipdump/analysis/bus_analyser.hpp"
#include "tools/fipdump/output/sink.hpp"
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

// --save-baseline: at the end of the run, what the analysis learned is saved, or the reason it
// cannot be is told on `notices`.
class BaselineSaver : public Sink {
public:
    // `bus` and `notices` must outlive it.
    BaselineSaver(std::string path, const BusAnalyser& bus, std::ostream& notices)
        : path_(std::move(path)), bus_(bus), notices_(notices) {}

    void end(const Summary& summary) override;
    bool ended_well() const override { return saved_; }

private:
    std::string path_;
    const BusAnalyser& bus_;
    std::ostream& notices_;
    bool saved_ = false;
};

} // namespace fipdump
