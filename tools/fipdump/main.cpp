// fipdump: receives the gateway's UDP stream (or reads a capture of it), checks it for loss
// and prints every event, in the manner of tcpdump and candump.
#include <atomic>
#include <chrono>
#include <csignal>
#include <iostream>

#include "tools/fipdump/dumper.hpp"
#include "tools/fipdump/input/pcap_file.hpp"
#include "tools/fipdump/input/receiver.hpp"
#include "tools/fipdump/input/receiving_thread.hpp"
#include "tools/fipdump/options.hpp"
#include "tools/fipdump/output/bus_report.hpp"
#include "tools/fipdump/output/outputs.hpp"
#include "tools/fipdump/output/text_format.hpp"
#include "tools/fipdump/version.hpp"

namespace {

using namespace fipdump;

constexpr std::chrono::milliseconds kPollInterval{100}; // how soon a signal or -t is noticed
constexpr int kExitUsage = 2;
constexpr int kExitFailure = 1;
constexpr int kExitNotRecorded = 3; // the run went on, but -w could not write every datagram

std::atomic<bool> stop_requested{false};
bool source_opened = false; // the summary is printed once the socket or files were opened

extern "C" void on_stop_signal(int) {
    stop_requested.store(true);
}

extern "C" void on_resize_signal(int) {
    note_terminal_resized();
}

void install_signals() {
    struct sigaction sa {};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0; // no SA_RESTART: a signal ends the wait in poll at once
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sa.sa_handler = on_resize_signal;
    sigaction(SIGWINCH, &sa, nullptr);
}

std::chrono::steady_clock::duration to_duration(double s) {
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(s));
}

int run_live(const Options& o, Dumper& dumper) {
    UdpListener listener(o.port, o.rcvbuf_bytes.value_or(kDefaultRcvbuf), o.group, o.iface);
    if (!listener.ok()) {
        std::cerr << "fipdump: " << listener.error() << "\n";
        return kExitFailure;
    }
    source_opened = true;
    const int asked = o.rcvbuf_bytes.value_or(kDefaultRcvbuf);
    const int granted = listener.rcvbuf_granted();
    dumper.set_rcvbuf(granted);
    std::cerr << "fipdump: receive buffer " << granted << " bytes";
    // The kernel reports twice what it was asked for (its own overhead counted in); less means
    // rmem_max capped it.
    if (granted / 2 < asked) {
        std::cerr << " (asked " << asked
                  << "; raise net.core.rmem_max, or run with CAP_NET_ADMIN, for more)";
    }
    std::cerr << "\n";
    std::cerr << "fipdump: listening on UDP port " << o.port
              << (o.group.empty() ? "" : ", group " + o.group)
              << (o.iface.empty() ? "" : ", interface " + o.iface) << "\n";
    const auto start = std::chrono::steady_clock::now();
    {
        // What had arrived when the stop came is still processed: a burst sent just before
        // Ctrl+C is in the summary.
        ReceivingThread receiving(listener);
        auto last_tick = std::chrono::steady_clock::now();
        while (!dumper.done()) {
            if (stop_requested.load() || (o.seconds && std::chrono::steady_clock::now() - start >=
                                                           to_duration(*o.seconds))) {
                receiving.stop();
            }
            DatagramBatch* batch = receiving.next(kPollInterval);
            // A steady stream must not starve the ticks: outputs notice a resized terminal, the
            // time passing, on them.
            if (batch == nullptr || std::chrono::steady_clock::now() - last_tick >= kPollInterval) {
                last_tick = std::chrono::steady_clock::now();
                dumper.tick(std::chrono::system_clock::now());
            }
            if (batch == nullptr) {
                if (receiving.finished()) {
                    break;
                }
                continue;
            }
            dumper.set_kernel_drops(batch->kernel_drops());
            for (const Received& r : batch->datagrams()) {
                if (dumper.done()) {
                    break;
                }
                dumper.on_datagram(r);
            }
            receiving.release(batch);
        }
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

int run_offline(const Options& o, Dumper& dumper) {
    // Without -p, the stream is found on whatever port it was recorded: a capture says where
    // it was sent, and a user who did not ask for a port should not be asked for one.
    PcapReader reader(o.read_paths, o.port_given ? o.port : kAnyPort);
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
        dumper.on_datagram({d->payload, d->from, d->time});
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

    const std::string error = open_outputs(o, dumper, std::cout, std::cerr);
    if (!error.empty()) {
        std::cerr << "fipdump: " << error << "\n";
        return kExitFailure;
    }
    int status = o.read_paths.empty() ? run_live(o, dumper) : run_offline(o, dumper);
    if (source_opened && !dumper.finish()) {
        status = kExitFailure; // an output could not do its job, and said why
    }
    const Summary s = dumper.summary();
    if (!source_opened || !(o.stats || o.quiet)) {
        std::cerr << not_recorded_text(s); // a loss of the recording is always said at the end
    }
    if (status == 0 && s.not_recorded.value_or(0) != 0) {
        status = kExitNotRecorded;
    }
    return status;
}
