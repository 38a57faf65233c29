// fipdump: receives the gateway's UDP stream (or reads a capture of it), checks it for loss
// and prints every event, in the manner of tcpdump and candump.
#include <atomic>
#include <chrono>
#include <csignal>
#include <iostream>
#include <memory>
#include <unistd.h>

#include "tools/fipdump/bus_metrics.hpp"
#include "tools/fipdump/bus_report.hpp"
#include "tools/fipdump/dumper.hpp"
#include "tools/fipdump/json_format.hpp"
#include "tools/fipdump/metrics.hpp"
#include "tools/fipdump/metrics_server.hpp"
#include "tools/fipdump/options.hpp"
#include "tools/fipdump/pcap_file.hpp"
#include "tools/fipdump/receiver.hpp"
#include "tools/fipdump/text_format.hpp"

namespace {

using namespace fipdump;

constexpr const char* kVersion = "1.3.0";
constexpr std::chrono::milliseconds kPollInterval{100}; // how soon a signal or -t is noticed
constexpr int kExitUsage = 2;
constexpr int kExitFailure = 1;

std::atomic<bool> stop_requested{false};

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

int run_live(const Options& o, Dumper& dumper, PcapWriter* writer) {
    UdpListener listener(o.port, o.rcvbuf_bytes);
    if (!listener.ok()) {
        std::cerr << "fipdump: " << listener.error() << "\n";
        return kExitFailure;
    }
    if (o.rcvbuf_bytes) {
        std::cerr << "fipdump: receive buffer " << listener.rcvbuf_granted() << " bytes\n";
    }
    std::cerr << "fipdump: listening on UDP port " << o.port << "\n";
    const auto start = std::chrono::steady_clock::now();
    while (!stop_requested.load() && !dumper.done()) {
        if (o.seconds && std::chrono::steady_clock::now() - start >= to_duration(*o.seconds)) {
            break;
        }
        const auto r = listener.receive(kPollInterval);
        if (!r) {
            continue;
        }
        if (writer != nullptr) {
            writer->write(*r);
        }
        dumper.set_kernel_drops(listener.kernel_drops());
        dumper.on_datagram(*r);
    }
    dumper.set_kernel_drops(listener.kernel_drops().value_or(0));
    return 0;
}

int run_offline(const Options& o, Dumper& dumper, PcapWriter* writer) {
    PcapReader reader(o.read_path, o.port);
    if (!reader.ok()) {
        std::cerr << "fipdump: " << o.read_path << ": " << reader.error() << "\n";
        return kExitFailure;
    }
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
        if (writer != nullptr) {
            writer->write(r);
        }
        dumper.on_datagram(r);
    }
    if (!reader.error().empty()) {
        std::cerr << "fipdump: " << o.read_path << ": " << reader.error() << "\n";
    }
    if (reader.truncated() != 0) {
        std::cerr << "fipdump: " << reader.truncated()
                  << " datagram(s) cut short by the capture's snap length\n";
    }
    return 0;
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

    std::unique_ptr<PcapWriter> writer;
    if (!o.write_path.empty()) {
        writer = std::make_unique<PcapWriter>(o.write_path, o.port);
        if (!writer->ok()) {
            std::cerr << "fipdump: " << o.write_path << ": " << writer->error() << "\n";
            return kExitFailure;
        }
    }
    std::unique_ptr<MetricsServer> metrics;
    if (!o.metrics_addr.empty()) {
        metrics = std::make_unique<MetricsServer>(o.metrics_addr, o.metrics_port, [&dumper, &o] {
            return render_metrics(dumper.summary()) +
                   (o.bus ? render_bus_metrics(dumper.bus().snapshot(), o.metrics_ids) : "");
        });
        if (!metrics->ok()) {
            std::cerr << "fipdump: " << metrics->error() << "\n";
            return kExitFailure;
        }
        std::cerr << "fipdump: metrics on http://" << o.metrics_addr << ":" << metrics->port()
                  << "/metrics\n";
    }

    std::unique_ptr<BusReporter> bus_report;
    if (o.bus) {
        const bool live_screen = o.read_path.empty() && !o.json && isatty(STDOUT_FILENO) == 1;
        bus_report = std::make_unique<BusReporter>(o, dumper.bus(), std::cout, live_screen);
    }
    const int status = o.read_path.empty() ? run_live(o, dumper, writer.get())
                                           : run_offline(o, dumper, writer.get());
    writer.reset(); // flushed and closed before the summary says the run is over
    if (bus_report && status == 0) {
        bus_report->finish();
    }
    if (status == 0 && o.stats) {
        const Summary s = dumper.summary();
        std::cout << (o.json ? json_summary(s) + "\n" : text_summary(s));
        std::cout.flush();
    }
    return status;
}
