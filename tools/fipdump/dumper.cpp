#include "tools/fipdump/dumper.hpp"

#include "tools/fipdump/analysis/filter.hpp"
#include "tools/fipdump/output/bus_json.hpp"
#include "tools/fipdump/output/json_format.hpp"
#include "tools/fipdump/output/text_format.hpp"
#include "wire/decode.hpp"

namespace fipdump {

Dumper::Dumper(const Options& options, std::ostream& out_, std::ostream& notices_)
    : opts(options), out(out_), notices(notices_) {}

void Dumper::on_datagram(const Received& r) {
    const wire::Datagram d = wire::decode_datagram(r.bytes);
    DatagramVerdict verdict;
    {
        std::lock_guard<std::mutex> guard(lock);
        verdict = accounting.on_datagram(r.from, r.bytes.size(), d, r.time);
    }
    if (d.error) {
        notices << (opts.json ? json_malformed(r, *d.error) : text_malformed(r, *d.error)) << "\n";
    }
    const std::string notice = text_notice(r, d.seq, verdict);
    if (!notice.empty()) {
        notices << notice << "\n";
    }
    if (verdict.seq == SeqVerdict::duplicate) {
        return; // printed the first time it came
    }
    if (opts.bus) {
        bus_analysis.on_datagram(r, d, verdict);
        if (opts.json && opts.interval && !opts.read_paths.empty()) {
            report_by_capture_time(r.time);
        }
        return; // the analysis is shown instead of the events
    }
    if (opts.quiet && !opts.count) {
        return; // nothing to print and nothing to count towards -c
    }
    for (const wire::Event& e : d.events) {
        if (done()) {
            break;
        }
        if (!matches(opts.filter, e)) {
            continue;
        }
        if (!opts.quiet) {
            out << (opts.json ? json_event(r, d.seq, e) : text_event(r, d.seq, e)) << "\n";
        }
        std::lock_guard<std::mutex> guard(lock);
        ++printed;
    }
    if (!opts.quiet) {
        out.flush();
    }
}

void Dumper::report_by_capture_time(std::chrono::system_clock::time_point t) {
    const auto interval = std::chrono::duration_cast<std::chrono::system_clock::duration>(
        std::chrono::duration<double>(*opts.interval));
    if (!next_bus_report) {
        next_bus_report = t + interval;
        return;
    }
    if (t < *next_bus_report) {
        return;
    }
    out << json_bus_report(bus_analysis.snapshot(), t);
    out.flush();
    while (*next_bus_report <= t) {
        *next_bus_report += interval;
    }
}

bool Dumper::done() const {
    std::lock_guard<std::mutex> guard(lock);
    return opts.count && printed >= *opts.count;
}

void Dumper::set_kernel_drops(std::optional<std::uint64_t> drops) {
    std::lock_guard<std::mutex> guard(lock);
    kernel_drops = drops;
}

void Dumper::set_undecoded(const Undecoded& u) {
    std::lock_guard<std::mutex> guard(lock);
    undecoded = u;
}

Summary Dumper::summary() const {
    std::lock_guard<std::mutex> guard(lock);
    Summary s;
    s.senders = accounting.senders();
    s.totals = accounting.totals();
    s.kernel_drops = kernel_drops;
    s.printed = printed;
    s.undecoded = undecoded;
    return s;
}

} // namespace fipdump
