#include "tools/fipdump/dumper.hpp"

#include "tools/fipdump/analysis/filter.hpp"
#include "tools/fipdump/output/outputs.hpp"
#include "wire/decode.hpp"

namespace fipdump {

Dumper::Dumper(const Options& options, std::ostream& out, std::ostream& notices)
    : opts(options), selector(options.filter), bus_analysis(options.missing_threshold) {
    for (auto& output : stream_outputs(opts, bus_analysis, out, notices)) {
        add_output(std::move(output));
    }
}

void Dumper::add_output(std::unique_ptr<Sink> output) {
    outputs.push_back(std::move(output));
}

void Dumper::on_datagram(const Received& r) {
    for (const auto& o : outputs) {
        o->received(r);
    }
    // What only counts (-q without -c or --bus: a recorder) leaves the frames alone: checking
    // every FCS was most of fipdump's time at the stream's full rate.
    const bool frames_used = !opts.quiet || opts.count || opts.bus;
    const wire::Datagram d =
        wire::decode_datagram(r.bytes, frames_used ? wire::Frames::decode : wire::Frames::skip);
    DatagramVerdict verdict;
    {
        std::lock_guard<std::mutex> guard(lock);
        verdict = accounting.on_datagram(r.from, r.bytes.size(), d, r.time);
    }
    for (const auto& o : outputs) {
        o->accounted(r, d, verdict);
    }
    if (verdict.seq == SeqVerdict::duplicate) {
        return; // handed on the first time it came
    }
    if (opts.bus) {
        bus_analysis.on_datagram(r, d, verdict); // the analysis is shown instead of the events
    } else if (!opts.quiet || opts.count) {
        select_events(r, d);
    }
    tick(r.time);
}

void Dumper::select_events(const Received& r, const wire::Datagram& d) {
    for (const wire::Event& e : d.events) {
        if (done()) {
            break;
        }
        if (!selector.select(r.from, e)) {
            continue;
        }
        for (const auto& o : outputs) {
            o->event(r, d.seq, e);
        }
        std::lock_guard<std::mutex> guard(lock);
        ++printed;
    }
    for (const auto& o : outputs) {
        o->flush();
    }
}

void Dumper::tick(std::chrono::system_clock::time_point now) {
    for (const auto& o : outputs) {
        o->tick(now);
    }
}

void Dumper::end_of_stream() {
    bus_analysis.finish();
}

bool Dumper::finish() {
    end_of_stream();
    const Summary s = summary();
    bool well = true;
    for (const auto& o : outputs) {
        o->end(s);
        well = o->ended_well() && well;
    }
    return well;
}

bool Dumper::done() const {
    std::lock_guard<std::mutex> guard(lock);
    return opts.count && printed >= *opts.count;
}

void Dumper::set_kernel_drops(std::optional<std::uint64_t> drops) {
    std::lock_guard<std::mutex> guard(lock);
    kernel_drops = drops;
}

void Dumper::set_rcvbuf(int bytes) {
    std::lock_guard<std::mutex> guard(lock);
    rcvbuf = bytes;
}

void Dumper::set_undecoded(const Undecoded& u) {
    std::lock_guard<std::mutex> guard(lock);
    undecoded = u;
}

void Dumper::set_not_recorded(std::uint64_t datagrams, const std::string& failure) {
    std::lock_guard<std::mutex> guard(lock);
    not_recorded = datagrams;
    record_failure = failure;
}

Summary Dumper::summary() const {
    std::lock_guard<std::mutex> guard(lock);
    Summary s;
    s.senders = accounting.senders();
    s.totals = accounting.totals();
    s.kernel_drops = kernel_drops;
    s.rcvbuf_bytes = rcvbuf;
    s.printed = printed;
    s.undecoded = undecoded;
    s.not_recorded = not_recorded;
    s.record_failure = record_failure;
    return s;
}

} // namespace fipdump
