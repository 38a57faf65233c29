// Cost of the bus analysis: capture records per second read from a capture file and decoded
// with and without --bus (printing nothing either way), and the transaction walker alone. The
// stream is a FIP scan: 32 periodic variables of periods 1, 2 and 4, an aperiodic window with a
// message exchange, and a silent producer now and then.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <ostream>
#include <streambuf>
#include <unistd.h>

#include "support/fipdump_stream.hpp"
#include "tools/fipdump/dumper.hpp"
#include "tools/fipdump/input/pcap_file.hpp"
#include "wire/decode.hpp"
#include "wire/transactions.hpp"

using namespace fipdump;
using namespace fipdump_test;

namespace {

constexpr std::uint16_t kPort = 57117;
constexpr int kCycles = 20000;           // elementary cycles in the capture
constexpr int kVariables = 32;           // periodic identifiers
constexpr int kRecordsPerDatagram = 200; // as the gateway batches a busy bus
constexpr int kSilentEvery = 997;        // one poll in this many goes unanswered

class NullBuffer : public std::streambuf {
protected:
    int overflow(int c) override { return c; }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

// The frames of the whole scan, in bus order.
std::vector<Bytes> scan_frames() {
    std::vector<Bytes> frames;
    int polls = 0;
    for (int c = 0; c < kCycles; ++c) {
        for (int v = 0; v < kVariables; ++v) {
            const int period = v % 4 == 0 ? 4 : v % 3 == 0 ? 2 : 1;
            if (c % period != 0) {
                continue;
            }
            const auto id = static_cast<std::uint16_t>(0x0100 + v * 0x11);
            frames.push_back(
                {0x03, static_cast<std::uint8_t>(id >> 8), static_cast<std::uint8_t>(id)});
            if (++polls % kSilentEvery != 0) {
                frames.push_back({0x02, 0x40, 6, 1, 2, 3, 4, 5, static_cast<std::uint8_t>(c)});
            }
        }
        if (c % 5 == 0) {
            frames.push_back({0x05, 0x02, 0x03});
            frames.push_back({0x14, 0, 1, 0, 0, 3, 0, 1, 2, 3, 4});
            frames.push_back({0x30});
            frames.push_back({0x40});
        }
    }
    return frames;
}

struct Capture {
    std::string path;
    std::uint64_t records = 0;
};

const Capture& capture() {
    static const Capture c = [] {
        char tmpl[] = "/tmp/fipdump-bus-bench-XXXXXX";
        close(mkstemp(tmpl));
        PcapWriter w(tmpl, kPort);
        const std::vector<Bytes> frames = scan_frames();
        std::vector<Bytes> events;
        std::uint64_t idx = 0;
        std::uint64_t seq = 0;
        for (const Bytes& f : frames) {
            events.push_back(capture_record(++idx, f));
            if (events.size() == kRecordsPerDatagram) {
                const Bytes d = datagram(++seq, events);
                w.write({d, {0x7F000001, 40000}, std::chrono::system_clock::now()});
                events.clear();
            }
        }
        if (!events.empty()) {
            const Bytes d = datagram(++seq, events);
            w.write({d, {0x7F000001, 40000}, std::chrono::system_clock::now()});
        }
        std::atexit([] { std::remove(capture().path.c_str()); });
        return Capture{tmpl, idx};
    }();
    return c;
}

// Arg 0: plain decoding and loss accounting; 1: the same with --bus.
void BM_PcapAnalysis(benchmark::State& state) {
    NullBuffer null;
    std::ostream sink(&null);
    Options o;
    o.filter.id = 0xFFFF; // prints nothing
    o.bus = state.range(0) == 1;
    std::uint64_t records = 0;
    for (auto _ : state) {
        Dumper dumper(o, sink, sink);
        PcapReader r(capture().path, kPort);
        while (auto d = r.next()) {
            dumper.on_datagram({d->payload, d->from, d->time});
        }
        records += dumper.summary().totals.capture;
        benchmark::DoNotOptimize(dumper.bus().snapshot());
    }
    state.counters["records/s"] =
        benchmark::Counter(static_cast<double>(records), benchmark::Counter::kIsRate);
    state.SetLabel(o.bus ? "--bus" : "plain");
}
BENCHMARK(BM_PcapAnalysis)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// The walker alone over decoded records: what --bus adds per record.
void BM_TransactionWalker(benchmark::State& state) {
    std::vector<wire::CaptureRecord> decoded;
    std::uint64_t idx = 0;
    for (const Bytes& f : scan_frames()) {
        const Bytes rec = capture_record(++idx, f);
        auto e = wire::decode_event(std::span<const std::uint8_t>(rec));
        if (auto* c = std::get_if<wire::CaptureRecord>(&e)) {
            decoded.push_back(std::move(*c));
        }
    }
    std::uint64_t records = 0;
    for (auto _ : state) {
        wire::TransactionWalker walker;
        for (const auto& r : decoded) {
            walker.on_record(r, 0);
        }
        records += decoded.size();
        benchmark::DoNotOptimize(walker.bus().transactions);
    }
    state.counters["records/s"] =
        benchmark::Counter(static_cast<double>(records), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_TransactionWalker)->Unit(benchmark::kMillisecond);

} // namespace
