// Throughput of the UDP sender draining a queue that never runs dry: events and datagrams per
// second for 40-byte (short frame) and 300-byte events. It sends broadcasts, so it refuses to run
// outside a private network namespace: scripts/netns-run build/bench/udp_bench
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

#include <boost/filesystem.hpp>

#include "support/loopback_only.hpp"
#include "udp/udp_client.hpp"

namespace {

constexpr std::uint16_t bench_port = 47200;
constexpr int max_evt = 1000;                       // the gateway's default
constexpr unsigned long lifesign_period_ms = 500;   // the gateway's default
constexpr unsigned long segment_bytes = 64ul << 20; // room for a few hundred thousand events
constexpr std::size_t datagram_fill_limit = 64994;  // payload bytes before the last event

using Queue = UDPClient::event_queue;

std::uint64_t datagrams_for(std::uint64_t events, std::size_t event_size) {
    const std::uint64_t by_size = datagram_fill_limit / event_size + 1;
    const std::uint64_t per_datagram = std::min<std::uint64_t>(by_size, max_evt);
    return (events + per_datagram - 1) / per_datagram;
}

// Each iteration fills the queue first, so that the sender never waits for an event, then times
// the sender from its construction until it has sent the last datagram.
void BM_SenderDrainsFullQueue(benchmark::State& state) {
    const auto event_size = static_cast<std::size_t>(state.range(0));
    const auto event_cnt = static_cast<std::uint64_t>(state.range(1));
    const boost::filesystem::path dir = boost::filesystem::temp_directory_path() /
                                        ("fipgate-udp-bench-" + std::to_string(::getpid()));
    auto queue = std::make_shared<Queue>((dir / "buffer.bin").string(), segment_bytes);
    FILE* log = std::fopen("/dev/null", "w");
    std::vector<char> event(event_size, 0x55);
    event[0] = static_cast<char>(0xC0);
    event[1] = static_cast<char>(event_size >> 8);
    event[2] = static_cast<char>(event_size & 0xFF);
    const std::uint64_t datagram_cnt = datagrams_for(event_cnt, event_size);

    double seconds = 0;
    std::uint64_t events_sent = 0;
    std::uint64_t datagrams_sent = 0;
    for (auto _ : state) {
        for (std::uint64_t i = 0; i < event_cnt; ++i) {
            queue->enqueue(event);
        }
        const auto t0 = std::chrono::steady_clock::now();
        UDPClient client(bench_port, lifesign_period_ms, max_evt, queue, log);
        while (client.get_stats().pkt_sent_cnt < datagram_cnt) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - t0;
        state.SetIterationTime(elapsed.count());
        seconds += elapsed.count();
        events_sent += event_cnt;
        datagrams_sent += datagram_cnt;
    }
    state.counters["events_per_s"] = static_cast<double>(events_sent) / seconds;
    state.counters["datagrams_per_s"] = static_cast<double>(datagrams_sent) / seconds;
    state.counters["MB_per_s"] =
        static_cast<double>(events_sent * event_size) / seconds / (1024.0 * 1024.0);
    std::fclose(log);
    queue.reset();
    boost::system::error_code ignored;
    boost::filesystem::remove_all(dir, ignored);
}

BENCHMARK(BM_SenderDrainsFullQueue)
    ->ArgNames({"event_bytes", "events"})
    ->Args({40, 200000})
    ->Args({300, 100000})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    if (!only_loopback_present()) {
        std::fprintf(stderr,
                     "udp_bench sends broadcasts: run it inside a private network "
                     "namespace (scripts/netns-run %s)\n",
                     argv[0]);
        return 2;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
