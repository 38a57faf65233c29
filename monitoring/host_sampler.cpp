#include "monitoring/host_sampler.hpp"

#include <chrono>
#include <fstream>
#include <iostream>
#include <limits>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/filesystem/operations.hpp>

#include "log/logger.hpp"
#include "runtime/thread_name.hpp"

namespace {

constexpr std::chrono::milliseconds sample_period{1000};
constexpr std::streamsize kCpuLabelMax = 5; // "cpu" and the blank after it
constexpr std::size_t kIdleColumn = 3;      // idle; iowait does not count as idle
constexpr double kMillidegreesPerDegree = 1000.0;
constexpr unsigned kBytesPerKbShift = 10;

// The previous "/proc/stat" sample, shared by every sampler of the process: a sampler built at a
// reload goes on from its predecessor's sample instead of starting again from the boot average.
std::mutex cpu_sample_mutex;
std::uint64_t prev_idle_time = 0;  // guarded by cpu_sample_mutex
std::uint64_t prev_total_time = 0; // guarded by cpu_sample_mutex

float percent_of(std::uint64_t part, std::uint64_t total) {
    return static_cast<float>(100.0 * static_cast<double>(part) / static_cast<double>(total));
}

} // namespace

HostSampler::HostSampler(FILE* log_) : HostSampler(log_, Paths{}) {}

HostSampler::HostSampler(FILE* log_, Paths paths_) : log(log_), paths(std::move(paths_)) {
    // The first sample is taken before the constructor returns: a monitor registered right
    // after must find real figures, not the zeros of an empty record.
    try {
        reset_stats();
        {
            std::lock_guard lock(stats_mutex);
            stats.start_date = boost::posix_time::microsec_clock::local_time();
        }
        refresh_stats();
    } catch (const std::exception& e) {
        logger::print(log, logger::msg_type::err, "host sampler: first sample: %s\n", e.what());
    }
    per_sec_thread.emplace(PeriodicThread::Config{
        .name = thread_name::kHostSampler,
        .period = sample_period,
        .step = [this] { _bkgd_per_sec_func(); },
        .prologue = [this](const std::atomic<bool>&) { notify_observers(); }, // the first sample
        .first_step_after_a_period = true,
        .on_error =
            [this](const char* what) {
                // An observer's failure must not end the process; the sampler stops, the
                // gateway goes on.
                logger::print(log, logger::msg_type::err, "host sampler stopped: %s\n", what);
                return PeriodicThread::AfterError::stop;
            },
    });
}

HostSampler::~HostSampler() {
    per_sec_thread.reset();
}

SystemStats HostSampler::get_stats() {
    std::lock_guard lock(stats_mutex);
    return stats;
}

void HostSampler::reset_stats() {
    {
        std::lock_guard lock(stats_mutex);
        stats = SystemStats{};
    }
    set_changed();
}

void HostSampler::refresh_stats() {
    refresh_cpu_infos();
    refresh_ram_infos();
    refresh_storage_infos();
}

void HostSampler::refresh_cpu_infos() {
    // Held from the read to the store: two samplers interleaving here would compute a load from
    // a pair of samples taken in the wrong order.
    std::lock_guard sample_lock(cpu_sample_mutex);

    std::vector<std::uint64_t> times;
    {
        std::ifstream in(paths.proc_stat);
        in.ignore(kCpuLabelMax, ' ');
        std::uint64_t value = 0;
        // The first failed read is the label of the next line, the first single-CPU line.
        while (in >> value) {
            times.push_back(value);
        }
    }
    if (times.size() <= kIdleColumn) {
        return;
    }
    const std::uint64_t idle = times[kIdleColumn];
    std::uint64_t total = 0;
    for (const std::uint64_t t : times) {
        total += t;
    }
    const auto d_idle = static_cast<float>(idle - prev_idle_time);
    const auto d_total = static_cast<float>(total - prev_total_time);
    prev_idle_time = idle;
    prev_total_time = total;

    float temperature = SystemStats::kNotMeasured;
    {
        std::ifstream in(paths.thermal);
        std::uint64_t millidegrees = 0;
        if (in >> millidegrees) {
            temperature =
                static_cast<float>(static_cast<double>(millidegrees) / kMillidegreesPerDegree);
        }
    }
    {
        std::lock_guard lock(stats_mutex);
        if (d_total != 0.0f) {
            const float idle_share = d_idle / d_total;
            stats.cpu_load = static_cast<float>((1.0 - idle_share) * 100.0);
        }
        stats.cpu_temp = temperature;
    }
    set_changed();
}

void HostSampler::refresh_ram_infos() {
    bool has_total = false;
    std::uint64_t total = 0;
    std::uint64_t available = 0;
    {
        std::ifstream in(paths.meminfo);
        std::string word;
        while (in >> word) {
            if (word == "MemTotal:") {
                has_total = static_cast<bool>(in >> total);
            } else if (word == "MemAvailable:") {
                in >> available;
            }
        }
    }
    {
        std::lock_guard lock(stats_mutex);
        // An unreadable file keeps the last total: RAM then reads as fully used.
        if (has_total) {
            stats.ram_total = total;
        }
        stats.ram_used = stats.ram_total - available;
        stats.ram_avail = available;
        if (stats.ram_total != 0) {
            stats.ram_used_pct = percent_of(stats.ram_used, stats.ram_total);
            stats.ram_avail_pct = percent_of(stats.ram_avail, stats.ram_total);
        }
    }
    set_changed();
}

void HostSampler::refresh_storage_infos() {
    boost::filesystem::space_info space;
    try {
        space = boost::filesystem::space(".");
    } catch (const boost::filesystem::filesystem_error& e) {
        std::cerr << e.what() << std::endl;
        return;
    }
    {
        std::lock_guard lock(stats_mutex);
        stats.storage_total = space.capacity >> kBytesPerKbShift;
        stats.storage_used = (space.capacity - space.available) >> kBytesPerKbShift;
        stats.storage_avail = space.available >> kBytesPerKbShift;
        if (stats.storage_total != 0) {
            stats.storage_used_pct = percent_of(stats.storage_used, stats.storage_total);
            stats.storage_avail_pct = percent_of(stats.storage_avail, stats.storage_total);
        }
    }
    set_changed();
}

void HostSampler::_bkgd_per_sec_func() {
    refresh_stats();
    notify_observers();
}
