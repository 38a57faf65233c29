// Cost of one log entry written to a file, the daemon's usual log destination.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <unistd.h>

#include "log/logger.hpp"

namespace {

void BM_LoggerPrintToFile(benchmark::State& state) {
    const std::string path = "/tmp/fipgate-logger-bench-" + std::to_string(::getpid()) + ".log";
    FILE* file = std::fopen(path.c_str(), "w");
    if (file == nullptr) {
        state.SkipWithError("cannot open the log file");
        return;
    }
    logger::set_colorization(state.range(0) != 0);
    unsigned long n = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            logger::print(file, logger::msg_type::warn,
                          "fip frame loss ([idx-1]:%lu [idx]:%lu [diff]:%li)\n", n, n + 3, 3L));
        ++n;
    }
    state.SetItemsProcessed(state.iterations());
    logger::set_colorization(false);
    std::fclose(file);
    std::remove(path.c_str());
}
BENCHMARK(BM_LoggerPrintToFile)->ArgName("colour")->Arg(0)->Arg(1)->UseRealTime();

} // namespace
