// The host sampler: CPU load and temperature, RAM and the storage of the working directory,
// sampled once a second from Linux pseudo-files and published to the observers.
//
// Design notes
// - The CPU load is a difference between two "/proc/stat" samples. The previous sample is kept
//   process-wide, so the first load of a sampler built at a reload continues from its
//   predecessor's last sample. The gateway releases the old sampler before it builds the new
//   one, so its two samplers never run at once; the read-compute-store of that sample is still
//   serialised by a process-wide mutex because refresh_cpu_infos() may be called from any thread
//   and any number of samplers may exist (a test's, a benchmark's).
// - A short lock guards the snapshot, so that the refresh operations may also be called from a
//   thread other than the sampler's own; it is never held while notifying.
#pragma once

#include <cstdio>
#include <mutex>
#include <optional>
#include <string>

#include "monitoring/system_stats.hpp"
#include "runtime/observable.hpp"
#include "runtime/periodic_thread.hpp"

class HostSampler : public Observable {
public:
    // Where the figures are read from. Tests point these at files of their own.
    struct Paths {
        std::string proc_stat = "/proc/stat";
        std::string thermal = "/sys/class/thermal/thermal_zone2/temp"; // millidegrees Celsius
        std::string meminfo = "/proc/meminfo";
    };

    // Starts the per-second thread at once, reading the default paths. `log` receives a line only
    // if the thread fails (an observer throwing). Called by the gateway's build cycle.
    explicit HostSampler(FILE* log);
    HostSampler(FILE* log, Paths paths);

    // Stops and joins the per-second thread; returns within milliseconds (the sleep is woken).
    ~HostSampler() override;

    HostSampler(const HostSampler&) = delete;
    HostSampler& operator=(const HostSampler&) = delete;

    // A copy of the snapshot. Any thread; observers call it from update().
    SystemStats get_stats();

    // Fresh snapshot (NaN and zeros, no start date) and marks changed.
    void reset_stats();

    // refresh_cpu_infos, refresh_ram_infos, refresh_storage_infos, in this order.
    void refresh_stats();

    // CPU load between this "/proc/stat" sample and the previous one (unchanged when no time
    // elapsed), and the temperature (NaN when unreadable); marks changed. With fewer than four
    // numbers on the all-CPU line nothing changes and nothing is marked.
    void refresh_cpu_infos();

    // Total, available and used RAM with their percentages (kept when the total is 0); always
    // marks changed.
    void refresh_ram_infos();

    // Capacity, used (reserved space included) and available space of the file system of ".",
    // in KB. A failed query writes its reason on standard error and changes nothing.
    void refresh_storage_infos();

private:
    // One step of the per-second thread: a sample, then the observers.
    void _bkgd_per_sec_func();

    FILE* log;
    Paths paths;
    std::mutex stats_mutex; // guards stats
    SystemStats stats;
    std::optional<PeriodicThread> per_sec_thread;
};
