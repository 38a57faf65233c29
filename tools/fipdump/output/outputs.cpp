#include "tools/fipdump/output/outputs.hpp"

#include <unistd.h>

#include "tools/fipdump/dumper.hpp"
#include "tools/fipdump/output/baseline_file.hpp"
#include "tools/fipdump/output/bus_report.hpp"
#include "tools/fipdump/output/console.hpp"
#include "tools/fipdump/output/metrics_output.hpp"
#include "tools/fipdump/output/recording.hpp"

namespace fipdump {

namespace {

constexpr double kBytesPerMB = 1e6; // -C counts in millions of bytes, as tcpdump

RecordingPolicy recording_policy(const Options& o) {
    RecordingPolicy policy;
    policy.pattern = o.write_path;
    if (o.rotate_mb) {
        policy.max_bytes = static_cast<std::uint64_t>(*o.rotate_mb * kBytesPerMB);
    }
    if (o.rotate_seconds) {
        policy.period = std::chrono::seconds(*o.rotate_seconds);
    }
    policy.keep = o.ring_files;
    return policy;
}

} // namespace

std::vector<std::unique_ptr<Sink>> stream_outputs(const Options& o, const BusAnalyser& bus,
                                                  std::ostream& out, std::ostream& notices) {
    std::vector<std::unique_ptr<Sink>> outputs;
    if (!o.quiet && !o.bus) {
        outputs.push_back(std::make_unique<EventPrinter>(o.json, out));
    }
    outputs.push_back(std::make_unique<NoticePrinter>(o.json, notices));
    if (o.bus && o.json && o.interval && !o.read_paths.empty()) {
        outputs.push_back(std::make_unique<BusCaptureTimeReport>(*o.interval, bus, out));
    }
    return outputs;
}

std::string open_outputs(const Options& o, Dumper& dumper, std::ostream& out,
                         std::ostream& notices) {
    if (!o.write_path.empty()) {
        auto recording = std::make_unique<Recording>(recording_policy(o), o.port, notices);
        if (!recording->ok()) {
            return recording->error();
        }
        dumper.set_not_recorded(0, "");
        recording->on_loss([&dumper](std::uint64_t datagrams, const std::string& failure) {
            dumper.set_not_recorded(datagrams, failure);
        });
        dumper.add_output(std::move(recording));
    }
    if (o.metrics) {
        auto metrics = std::make_unique<MetricsOutput>(o, dumper);
        if (!metrics->ok()) {
            return metrics->error();
        }
        notices << "fipdump: metrics on http://" << metrics->endpoint() << "/metrics\n";
        dumper.add_output(std::move(metrics));
    }
    if (!o.baseline_path.empty()) {
        wire::BaselineRead read = read_baseline_file(o.baseline_path);
        if (!read.baseline) {
            return read.error;
        }
        dumper.bus().set_baseline(std::make_shared<const BaselineInUse>(
            BaselineInUse{o.baseline_path, std::move(*read.baseline)}));
    }
    if (o.bus) {
        // A screen redrawn in place only for a person watching a live stream.
        const bool live_screen = o.read_paths.empty() && !o.json && isatty(STDOUT_FILENO) == 1;
        dumper.add_output(std::make_unique<BusReporter>(o, dumper.bus(), out, live_screen));
    }
    if (!o.save_baseline_path.empty()) {
        dumper.add_output(
            std::make_unique<BaselineSaver>(o.save_baseline_path, dumper.bus(), notices));
    }
    if (o.stats || o.quiet) {
        dumper.add_output(std::make_unique<SummaryPrinter>(o.json, out));
    }
    return {};
}

} // namespace fipdump
