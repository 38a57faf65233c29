#include "tools/fipdump/output/metrics_output.hpp"

#include "tools/fipdump/dumper.hpp"
#include "tools/fipdump/output/bus_metrics.hpp"
#include "tools/fipdump/output/metrics.hpp"

namespace fipdump {

namespace {

// Reading a capture, "now" is the time of its latest datagram: whether a gateway was up is
// judged in the capture's time, not today's.
std::chrono::system_clock::time_point capture_now(const Summary& s) {
    std::chrono::system_clock::time_point latest{};
    for (const auto& [from, c] : s.senders) {
        latest = std::max(latest, c.last_seen);
    }
    return latest;
}

} // namespace

MetricsOutput::MetricsOutput(const Options& o, const Dumper& dumper)
    : server(o.metrics_addr, o.metrics_port, [&dumper, &o, offline = !o.read_paths.empty()] {
          const Summary s = dumper.summary();
          const auto now = offline ? capture_now(s) : std::chrono::system_clock::now();
          return render_metrics(s, now) +
                 (o.bus ? render_bus_metrics(dumper.bus().snapshot(now), o.metrics_ids) : "");
      }) {}

} // namespace fipdump
