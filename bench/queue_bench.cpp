// Throughput of the event buffer with the system's shape: one producer thread, one consumer.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "queue/syncmappedqueue.hpp"

namespace {

using Event = std::vector<char>;
constexpr unsigned long kSegmentBytes = 16UL << 20; // far more slots than one batch needs
constexpr int kBatchEvents = 10000;                 // events handed over per iteration

std::string bench_path() {
    return "/tmp/fipgate-bench-" + std::to_string(::getpid()) + "/buffer.bin";
}

void BM_QueueOneProducerOneConsumer(benchmark::State& state) {
    const std::string path = bench_path();
    {
        SyncMappedQueue<Event> q(path, kSegmentBytes);
        if (!q.is_valid()) {
            state.SkipWithError("no segment");
            return;
        }
        const Event event(static_cast<std::size_t>(state.range(0)), 'e');
        for (auto _ : state) {
            std::thread producer([&] {
                for (int i = 0; i < kBatchEvents; ++i) {
                    while (!q.try_enqueue(event)) {
                        std::this_thread::yield();
                    }
                }
            });
            Event out;
            int received = 0;
            while (received < kBatchEvents) {
                if (q.try_dequeue(out, boost::posix_time::milliseconds(10))) {
                    ++received;
                }
            }
            producer.join();
            benchmark::DoNotOptimize(out.data());
        }
        state.SetItemsProcessed(state.iterations() * kBatchEvents);
        state.SetBytesProcessed(state.iterations() * kBatchEvents * state.range(0));
        state.counters["dropped"] = static_cast<double>(q.dropped_cnt());
    }
    std::filesystem::remove_all(std::filesystem::path(path).parent_path());
}
BENCHMARK(BM_QueueOneProducerOneConsumer)
    ->Arg(40)
    ->Arg(300)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

} // namespace
