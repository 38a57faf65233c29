// How fast the simulated card hands out full buffers when nothing paces it: the card must never
// be what limits a measurement of the daemon.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>

#include "capture/sim_client.hpp"

using namespace simtest;

namespace {

void run_card(benchmark::State& state, const char* bitrate, const char* fcs) {
    // Nothing else of the card's environment is ever set in this process.
    ::setenv("CAPVANE_SIM_PACE", "max", 1);
    ::setenv("CAPVANE_SIM_BITRATE", bitrate, 1);
    ::setenv("CAPVANE_SIM_FCS", fcs, 1);
    Node node;
    if (node.fd() < 0 || node.sniffer(true) != 0) {
        state.SkipWithError("cannot open the simulated card");
        return;
    }
    std::vector<uint8_t> buffer;
    uint32_t len = 0;
    uint64_t records = 0;
    uint64_t bytes = 0;
    for (auto _ : state) {
        if (node.wait(buffer, len) != 0 || len != kBufferBytes) {
            state.SkipWithError("wait failed");
            break;
        }
        uint32_t count = 0;
        std::memcpy(&count, buffer.data() + 4, sizeof count);
        records += count;
        bytes += len;
    }
    state.counters["buffers/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["records/s"] =
        benchmark::Counter(static_cast<double>(records), benchmark::Counter::kIsRate);
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
}

void BM_SimFullBuffers_2M5_Fcs1(benchmark::State& state) {
    run_card(state, "2500000", "1");
}
void BM_SimFullBuffers_5M_Fcs2(benchmark::State& state) {
    run_card(state, "5000000", "2");
}

} // namespace

BENCHMARK(BM_SimFullBuffers_2M5_Fcs1)->UseRealTime();
BENCHMARK(BM_SimFullBuffers_5M_Fcs2)->UseRealTime();
