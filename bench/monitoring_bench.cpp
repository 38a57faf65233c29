// Cost of one lifesign cycle's record and of one status screen, both built from copies of the
// statistics: they run on their own threads, but hold the snapshot lock only for the copy.
#include <sstream>

#include <benchmark/benchmark.h>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "monitoring/lifesign_record.hpp"
#include "monitoring/monitoring.hpp"

namespace {

void BM_LifesignEncode(benchmark::State& state) {
    const SystemStats sys;
    const UDPStats udp;
    const FIPStats fip;
    const auto now = boost::posix_time::microsec_clock::local_time();
    std::uint64_t counter = 0;
    for (auto _ : state) {
        lifesign::Record r = lifesign::encode(++counter, now, sys, udp, fip);
        benchmark::DoNotOptimize(r);
    }
}
BENCHMARK(BM_LifesignEncode);

// The copy-out taken under the lock at the start of each cycle.
void BM_SnapshotCopy(benchmark::State& state) {
    const Monitoring m(0, -1, nullptr);
    for (auto _ : state) {
        Monitoring::Snapshots s = m.get_snapshots();
        benchmark::DoNotOptimize(s);
    }
}
BENCHMARK(BM_SnapshotCopy);

void BM_StatusScreen(benchmark::State& state) {
    Monitoring::Snapshots s;
    s.udp_stats.last_start_date += boost::posix_time::seconds(1); // dates printed, not "-"
    s.fip_stats.last_stop_date += boost::posix_time::seconds(1);
    std::ostringstream out;
    for (auto _ : state) {
        out.str("");
        Monitoring::write_screen(out, s, 500, 1);
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK(BM_StatusScreen);

} // namespace
