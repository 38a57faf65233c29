// The --metrics output: the HTTP endpoint, serving on its own thread what the dumper has counted
// and analysed at the moment of each scrape.
#pragma once
#include <string>

#include "tools/fipdump/options.hpp"
#include "tools/fipdump/output/metrics_server.hpp"
#include "tools/fipdump/output/sink.hpp"

namespace fipdump {

class Dumper;

class MetricsOutput : public Sink {
public:
    // Listens at once on --metrics' address; ok() is false and error() says why when it cannot.
    // `dumper` must outlive it.
    MetricsOutput(const Options& o, const Dumper& dumper);

    bool ok() const { return server.ok(); }
    const std::string& error() const { return server.error(); }
    const std::string& endpoint() const { return server.endpoint(); }

private:
    MetricsServer server;
};

} // namespace fipdump
