// The heart of fipdump, apart from where the datagrams come from: decodes each one, accounts
// for loss, prints what passes the filters, and keeps the summary the metrics endpoint serves.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <ostream>

#include "tools/fipdump/analysis/accounting.hpp"
#include "tools/fipdump/analysis/bus_analyser.hpp"
#include "tools/fipdump/input/received.hpp"
#include "tools/fipdump/options.hpp"

namespace fipdump {

class Dumper {
public:
    // Events go to `out`, notices and malformed datagrams to `notices`. Neither is owned.
    Dumper(const Options& options, std::ostream& out, std::ostream& notices);

    // Decodes, accounts and prints one datagram. Never throws on any content. Main thread.
    void on_datagram(const Received& r);

    // True once -c N events have been printed. Main thread.
    bool done() const;

    // The kernel's drop count as the socket last reported it. Main thread.
    void set_kernel_drops(std::optional<std::uint64_t> drops);

    // What the source saw besides the stream, for the summary. Main thread.
    void set_undecoded(const Undecoded& undecoded);

    // A copy of the counts. Any thread (the metrics endpoint calls it on its own).
    Summary summary() const;

    // The --bus analysis (empty without --bus). Any thread takes snapshots of it.
    const BusAnalyser& bus() const { return bus_analysis; }
    BusAnalyser& bus() { return bus_analysis; }

private:
    // With -r, --bus --json --interval S: the analysis every S seconds of capture time.
    void report_by_capture_time(std::chrono::system_clock::time_point t);

    const Options& opts;
    std::ostream& out;
    std::ostream& notices;
    mutable std::mutex lock; // guards accounting, printed and kernel_drops against summary()
    LossAccounting accounting;
    std::uint64_t printed = 0;
    std::optional<std::uint64_t> kernel_drops;
    Undecoded undecoded;
    BusAnalyser bus_analysis;
    std::optional<std::chrono::system_clock::time_point> next_bus_report;
};

} // namespace fipdump
