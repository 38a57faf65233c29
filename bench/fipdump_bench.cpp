// fipdump's decoding throughput in events per second: from a capture file (decode, account,
// and print nothing, text or JSON), and from its UDP socket on loopback. The socket part sends,
// so it refuses to run unless only lo exists: run it through scripts/netns-run.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <netinet/in.h>
#include <ostream>
#include <streambuf>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "support/fipdump_stream.hpp"
#include "support/loopback_only.hpp"
#include "tools/fipdump/dumper.hpp"
#include "tools/fipdump/input/pcap_file.hpp"
#include "tools/fipdump/input/receiver.hpp"
#include "tools/fipdump/output/recording.hpp"

using namespace fipdump;
using namespace fipdump_test;

namespace {

constexpr std::uint16_t kPort = 57117;
constexpr int kDatagrams = 500;                   // per capture file / socket batch
constexpr int kRecordsPerDatagram = 200;          // capture records of 35 to 40 bytes
constexpr int kSocketBufferBytes = 8 << 20;       // holds a whole batch, so none is dropped
constexpr std::uint64_t kRotateBytes = 1'000'000; // -C 1
constexpr std::uint32_t kRingFiles = 4;           // -W 4

// Discards what it is given, like output sent to /dev/null but without the system calls.
class NullBuffer : public std::streambuf {
protected:
    int overflow(int c) override { return c; }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

std::vector<Bytes> make_stream() {
    std::vector<Bytes> out;
    std::uint64_t idx = 1;
    for (int seq = 1; seq <= kDatagrams; ++seq) {
        std::vector<Bytes> events;
        for (int i = 0; i < kRecordsPerDatagram; ++i, ++idx) {
            events.push_back(i % 2 == 0
                                 ? capture_record(idx, {0x03, static_cast<std::uint8_t>(i), 0x34})
                                 : capture_record(idx, {0x02, 0x40, 1, 2, 3, 4, 5, 6}));
        }
        events.push_back(lifesign_record(static_cast<std::uint64_t>(seq)));
        out.push_back(datagram(static_cast<std::uint64_t>(seq), events));
    }
    return out;
}

const std::string& capture_path() {
    static const std::string path = [] {
        char tmpl[] = "/tmp/fipdump-bench-XXXXXX";
        const int fd = mkstemp(tmpl);
        close(fd);
        PcapWriter w(tmpl, kPort);
        for (const Bytes& d : make_stream()) {
            w.write({d, {0x7F000001, 40000}, std::chrono::system_clock::now()});
        }
        std::atexit([] { std::remove(capture_path().c_str()); });
        return std::string(tmpl);
    }();
    return path;
}

// Arg: 0 prints nothing (a filter that matches no event), 1 text lines, 2 JSON lines.
void BM_FipdumpFromPcap(benchmark::State& state) {
    NullBuffer null;
    std::ostream sink(&null);
    Options o;
    if (state.range(0) == 0) {
        o.filter.id = 0xFFFF;
    }
    o.json = state.range(0) == 2;
    std::uint64_t events = 0;
    for (auto _ : state) {
        Dumper dumper(o, sink, sink);
        PcapReader r(capture_path(), kPort);
        while (auto d = r.next()) {
            dumper.on_datagram({d->payload, d->from, d->time});
        }
        events += dumper.summary().totals.events;
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(events));
    state.SetLabel(state.range(0) == 0 ? "no output" : state.range(0) == 1 ? "text" : "json");
}
BENCHMARK(BM_FipdumpFromPcap)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

// A sender thread puts a batch on loopback; fipdump's socket path receives, decodes and
// accounts it, printing nothing. Arg: 0 a filter that matches no event (the figure before -q
// existed), 1 -q, 2 -q and a recording rotated every megabyte in a ring of 4 files.
void BM_FipdumpFromSocket(benchmark::State& state) {
    if (!only_loopback_present()) {
        state.SkipWithError("sends UDP: run through scripts/netns-run");
        return;
    }
    const std::vector<Bytes> stream = make_stream();
    UdpListener listener(kPort, kSocketBufferBytes);
    if (!listener.ok()) {
        state.SkipWithError(listener.error().c_str());
        return;
    }
    NullBuffer null;
    std::ostream sink(&null);
    Options o;
    if (state.range(0) == 0) {
        o.filter.id = 0xFFFF;
    } else {
        o.quiet = true;
    }
    char dir[] = "/tmp/fipdump-bench-rec-XXXXXX";
    std::unique_ptr<Recording> recording;
    if (state.range(0) == 2) {
        if (mkdtemp(dir) == nullptr) {
            state.SkipWithError("mkdtemp");
            return;
        }
        RecordingPolicy policy{std::string(dir) + "/rec.pcap", kRotateBytes, {}, kRingFiles};
        recording = std::make_unique<Recording>(policy, kPort, sink);
    }
    const int tx = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(kPort);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::uint64_t events = 0;
    for (auto _ : state) {
        Dumper dumper(o, sink, sink);
        std::thread sender([&] {
            for (const Bytes& d : stream) {
                sendto(tx, d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                       sizeof to);
            }
        });
        for (int i = 0; i < kDatagrams; ++i) {
            const auto r = listener.receive(std::chrono::milliseconds(1000));
            if (!r) {
                break; // dropped by the kernel: counted by the summary, not waited for
            }
            if (recording) {
                recording->write(*r);
            }
            dumper.on_datagram(*r);
        }
        sender.join();
        events += dumper.summary().totals.events;
    }
    close(tx);
    state.SetItemsProcessed(static_cast<std::int64_t>(events));
    state.counters["kernel_drops"] = static_cast<double>(listener.kernel_drops().value_or(0));
    if (recording) {
        state.counters["files"] = static_cast<double>(recording->files_started());
        recording.reset();
        std::filesystem::remove_all(dir);
    }
    state.SetLabel(state.range(0) == 0   ? "no output"
                   : state.range(0) == 1 ? "-q"
                                         : "-q -w -C 1 -W 4");
}
BENCHMARK(BM_FipdumpFromSocket)
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

} // namespace
