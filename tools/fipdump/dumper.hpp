// The heart of fipdump, apart from where the datagrams come from and where anything is written:
// decodes each one, accounts for loss, feeds the bus analysis, selects the events the filters
// let through, and hands all of it to its outputs (output/sink.hpp). Keeps the summary the
// metrics endpoint serves.
#pragma once
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <vector>

#include "tools/fipdump/analysis/accounting.hpp"
#include "tools/fipdump/analysis/bus_analyser.hpp"
#include "tools/fipdump/analysis/filter.hpp"
#include "tools/fipdump/input/received.hpp"
#include "tools/fipdump/options.hpp"
#include "tools/fipdump/output/sink.hpp"

namespace fipdump {

class Dumper {
public:
    // With the outputs on the standard streams (output/outputs.hpp): events and the capture-time
    // reports of the analysis go to `out`, notices and malformed datagrams to `notices`.
    // Neither is owned.
    Dumper(const Options& options, std::ostream& out, std::ostream& notices);

    // Adds an output; it is fed after those added before it, and ends after them. Main thread,
    // before the first datagram.
    void add_output(std::unique_ptr<Sink> output);

    // Decodes, accounts and hands on one datagram. Never throws on any content. Main thread.
    void on_datagram(const Received& r);
    // Tells the outputs the time while no datagram comes. Main thread.
    void tick(std::chrono::system_clock::time_point now);
    // The input ended: the analysis settles what it held (finish() does it too). Main thread.
    void end_of_stream();
    // Ends every output with the final summary, in the order they were added, once the analysis
    // has settled what it held; false when one of them could not do its job. Main thread, once.
    bool finish();

    // True once -c N events have been selected. Main thread.
    bool done() const;

    // The kernel's drop count as the socket last reported it. Main thread.
    void set_kernel_drops(std::optional<std::uint64_t> drops);

    // The socket receive buffer the kernel granted, for the summary. Main thread.
    void set_rcvbuf(int bytes);

    // What the source saw besides the stream, for the summary. Main thread.
    void set_undecoded(const Undecoded& undecoded);

    // What the -w recording could not write, for the summary and the metrics. Main thread.
    void set_not_recorded(std::uint64_t datagrams, const std::string& failure);

    // A copy of the counts. Any thread (the metrics endpoint calls it on its own).
    Summary summary() const;

    // The --bus analysis (empty without --bus). Any thread takes snapshots of it.
    const BusAnalyser& bus() const { return bus_analysis; }
    BusAnalyser& bus() { return bus_analysis; }

private:
    void select_events(const Received& r, const wire::Datagram& d);

    const Options& opts;
    mutable std::mutex lock; // guards accounting, printed and kernel_drops against summary()
    LossAccounting accounting;
    std::uint64_t printed = 0;
    std::optional<std::uint64_t> kernel_drops;
    std::optional<int> rcvbuf;
    std::optional<std::uint64_t> not_recorded;
    std::string record_failure;
    Undecoded undecoded;
    EventSelector selector;
    BusAnalyser bus_analysis;
    // Last, so destroyed first: an output's thread may still read the analysis and the counts.
    std::vector<std::unique_ptr<Sink>> outputs;
};

} // namespace fipdump
