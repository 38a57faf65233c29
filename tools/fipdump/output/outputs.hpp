// Which outputs the command line asks for: the one place that reads the output options, so that
// the dumper feeds whatever it is given and a new output is one line here.
#pragma once
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "tools/fipdump/analysis/bus_analyser.hpp"
#include "tools/fipdump/options.hpp"
#include "tools/fipdump/output/sink.hpp"

namespace fipdump {

class Dumper;

// The outputs on the standard streams that need nothing opened: the events (unless -q or
// --bus), the notices, and, reading files with --bus --json --interval, the analysis by
// capture time. `bus`, `out` and `notices` must outlive them.
std::vector<std::unique_ptr<Sink>> stream_outputs(const Options& o, const BusAnalyser& bus,
                                                  std::ostream& out, std::ostream& notices);

// Adds to `dumper` the outputs that open something or end the run: the -w recording, the
// --metrics endpoint (its address said on `notices`), the --bus table or JSON, the summary of
// --stats and -q, in the order they are to end (the recording closed before the summary says the
// run is over). Returns what could not be opened, or an empty string.
std::string open_outputs(const Options& o, Dumper& dumper, std::ostream& out,
                         std::ostream& notices);

} // namespace fipdump
