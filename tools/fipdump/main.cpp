// fipdump: receives the gateway's UDP stream (or reads a capture of it), checks it for loss
// and prints every event, in the manner of tcpdump and candump.
#include <atomic>
#include <chrono>
#include <csignal>
#include <iostream>
#include <memory>
#include <unistd.h>

#include "tools/fipdump/dumper.hpp"
#include "tools/fipdump/input/pcap_file.hpp"
#include "tools/fipdump/input/receiver.hpp"
#include "tools/fipdump/options.hpp"
#include "tools/fipdump/output/baseline_file.hpp"
#include "tools/fipdump/output/bus_metrics.hpp"
#include "tools/fipdump/output/bus_report.hpp"
#include "tools/fipdump/output/iso_time.hpp"
#include "tools/fipdump/output/json_format.hpp"
#include "tools/fipdump/output/metrics.hpp"
#include "tools/fipdump/output/metrics_server.hpp"
#include "tools/fipdump/output/recording.hpp"
#include "tools/fipdump/output/text_format.hpp"
#include "tools/fipdump/version.hpp"

namespace {

using namespace fipdump;

constexpr std::chrono::milliseconds kPollInterval{100}; // how soon a signal or -t is noticed
constexpr int kExitUsage = 2;
constexpr int kExitFailure = 1;
constexpr double kBytesPerMB = 1e6; // -C counts in millions of bytes, as tcpdump

std::atomic<bool> stop_requested{false};
bool source_opened = false; // the summary is printed once the socket or files were opened

extern "C" void on_stop_signal(int) {
    stop_requested.store(true);
}

void install_signals() {
    struct sigaction sa {};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0; // no SA_RESTART: a signal ends the wait in poll at once
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

std::chrono::steady_clock::duration to_duration(double s) {
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(s));
}

// Reading a capture, "now" is the time of its latest datagram: whether a gateway was up is
// judged in the capture's time, not today's.
std::chrono::system_clock::time_point capture_now(const Summary& s) {
    std::chrono::system_clock::time_point latest{};
    for (const auto& [from, c] : s.senders) {
        latest = std::max(latest, c.last_seen);
    }
    return latest;
}

int run_live(const Options& o, Dumper& dumper, Recording* recording) {
    UdpListener listener(o.port, o.rcvbuf_bytes, o.group, o.iface);
    if (!listener.ok()) {
        std::cerr << "fipdump: " << listener.error() << "\n";
        return kExitFailure;
    }
    source_opened = true;
    if (o.rcvbuf_bytes) {
        std::cerr << "fipdump: receive buffer " << listener.rcvbuf_granted() << " bytes\n";
    }
    std::cerr << "fipdump: listening on UDP port " << o.port
              << (o.group.empty() ? "" : ", group " + o.group)
              << (o.iface.empty() ? "" : ", interface " + o.iface) << "\n";
    const auto start = std::chrono::steady_clock::now();
    while (!stop_requested.load() && !dumper.done()) {
        if (o.seconds && std::chrono::steady_clock::now() - start >= to_duration(*o.seconds)) {
            break;
        }
        const auto r = listener.receive(kPollInterval);
        if (!r) {
            continue;
        }
        if (recording != nullptr) {
            recording->write(*r);
        }
        dumper.set_kernel_drops(listener.kernel_drops());
        dumper.on_datagram(*r);
    }
    dumper.set_kernel_drops(listener.kernel_drops().value_or(0));
    listener.watch_other_ports();
    Undecoded seen;
    seen.other_ports = listener.other_ports();
    dumper.set_undecoded(seen);
    if (!o.stats && !o.quiet) {
        std::cerr << undecoded_text(seen);
    }
    return 0;
}

int run_offline(const Options& o, Dumper& dumper, Recording* recording) {
    PcapReader reader(o.read_paths, o.port);
    if (!reader.ok()) {
        std::cerr << "fipdump: " << reader.error() << "\n";
        return kExitFailure;
    }
    source_opened = true;
    std::optional<std::chrono::system_clock::time_point> first;
    while (!stop_requested.load() && !dumper.done()) {
        auto d = reader.next();
        if (!d) {
            break;
        }
        first = first.value_or(d->time);
        if (o.seconds && d->time - *first >= to_duration(*o.seconds)) {
            break;
        }
        const Received r{d->payload, d->from, d->time};
        if (recording != nullptr) {
            recording->write(r);
        }
        dumper.on_datagram(r);
    }
    dumper.set_undecoded(reader.undecoded());
    for (const std::string& e : reader.read_errors()) {
        std::cerr << "fipdump: " << e << "\n";
    }
    if (!o.stats && !o.quiet) {
        // Without a summary, what could not be decoded is still said.
        std::cerr << undecoded_text(reader.undecoded());
    }
    return reader.read_errors().empty() ? 0 : kExitFailure;
}

} // namespace

int main(int argc, char** argv) {
    const ParseResult parsed = parse_options(argc, argv);
    const std::string program = argc > 0 ? argv[0] : "fipdump";
    if (!parsed.error.empty()) {
        std::cerr << "fipdump: " << parsed.error << "\n" << usage(program);
        return kExitUsage;
    }
    const Options& o = parsed.options;
    if (o.help) {
        std::cout << usage(program);
        return 0;
    }
    if (o.version) {
        std::cout << "fipdump " << kVersion << "\n";
        return 0;
    }
    install_signals();
    Dumper dumper(o, std::cout, std::cerr);
    if (!o.baseline_path.empty()) {
        wire::BaselineRead read = read_baseline_file(o.baseline_path);
        if (!read.baseline) {
            std::cerr << "fipdump: " << read.error << "\n";
            return kExitFailure;
        }
        dumper.bus().set_baseline(std::make_shared<const BaselineInUse>(
            BaselineInUse{o.baseline_path, std::move(*read.baseline)}));
    }

    std::unique_ptr<Recording> writer;
    if (!o.write_path.empty()) {
        RecordingPolicy policy;
        policy.pattern = o.write_path;
        if (o.rotate_mb) {
            policy.max_bytes = static_cast<std::uint64_t>(*o.rotate_mb * kBytesPerMB);
        }
        if (o.rotate_seconds) {
            policy.period = std::chrono::seconds(*o.rotate_seconds);
        }
        policy.keep = o.ring_files;
        writer = std::make_unique<Recording>(policy, o.port, std::cerr);
        if (!writer->ok()) {
            std::cerr << "fipdump: " << writer->error() << "\n";
            return kExitFailure;
        }
    }
    std::unique_ptr<MetricsServer> metrics;
    if (o.metrics) {
        metrics = std::make_unique<MetricsServer>(
            o.metrics_addr, o.metrics_port, [&dumper, &o, offline = !o.read_paths.empty()] {
                const Summary s = dumper.summary();
                return render_metrics(s,
                                      offline ? capture_now(s) : std::chrono::system_clock::now()) +
                       (o.bus ? render_bus_metrics(dumper.bus().snapshot(), o.metrics_ids) : "");
            });
        if (!metrics->ok()) {
            std::cerr << "fipdump: " << metrics->error() << "\n";
            return kExitFailure;
        }
        std::cerr << "fipdump: metrics on http://" << metrics->endpoint() << "/metrics\n";
    }

    std::unique_ptr<BusReporter> bus_report;
    if (o.bus) {
        const bool live_screen = o.read_paths.empty() && !o.json && isatty(STDOUT_FILENO) == 1;
        bus_report = std::make_unique<BusReporter>(o, dumper.bus(), std::cout, live_screen);
    }
    int status = o.read_paths.empty() ? run_live(o, dumper, writer.get())
                                      : run_offline(o, dumper, writer.get());
    writer.reset(); // flushed and closed before the summary says the run is over
    if (bus_report && source_opened) {
        bus_report->finish();
    }
    if (!o.save_baseline_path.empty() && source_opened) {
        const std::string why = save_baseline(o.save_baseline_path, dumper.bus().snapshot(),
                                              unix_micros(std::chrono::system_clock::now()));
        if (why.empty()) {
            std::cerr << "fipdump: baseline saved to " << o.save_baseline_path << "\n";
        } else {
            std::cerr << "fipdump: baseline not saved to " << o.save_baseline_path << ": " << why
                      << "\n";
            status = kExitFailure;
        }
    }
    if (source_opened && (o.stats || o.quiet)) {
        const Summary s = dumper.summary();
        std::cout << (o.json ? json_summary(s) + "\n" : text_summary(s));
        std::cout.flush();
    }
    return status;
}
