#include "monitoring/monitoring.hpp"

#include <algorithm>
#include <chrono>
#include <climits>
#include <exception>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "capture/capvane.hpp"
#include "monitoring/host_sampler.hpp"
#include "monitoring/lifesign_record.hpp"
#include "runtime/thread_name.hpp"
#include "udp/udp_client.hpp"

namespace {

// Longest sleep handed to the sleeper: far beyond any useful period, and small enough that its
// conversion to nanoseconds cannot overflow.
constexpr unsigned long kMaxPeriodMs = 1'000'000'000'000UL; // about 31 years

std::chrono::milliseconds period_ms(unsigned long ms) {
    return std::chrono::milliseconds(static_cast<long long>(std::min(ms, kMaxPeriodMs)));
}

// The period is unsigned and only negatives are refused on the way in, so a huge count can still
// arrive; it means no lifesign rather than one record every few hundred million years.
unsigned long sane_lifesign_period(unsigned long ms) {
    return ms > LONG_MAX ? 0 : ms;
}

} // namespace

Monitoring::Monitoring(unsigned long lifesign_period_ms, long stats_period_ms,
                       std::shared_ptr<EventQueue> event_queue)
    : queue(std::move(event_queue)), lifesign_period(sane_lifesign_period(lifesign_period_ms)),
      stats_period(stats_period_ms) {
    try {
        if (lifesign_period != 0) {
            lifesign_thread.emplace(PeriodicThread::Config{
                .name = thread_name::kLifesign,
                .period = period_ms(lifesign_period),
                .step = [this] { _bkgd_lifesign_func(); },
                .prologue = [this](const std::atomic<bool>& run) { wait_first_snapshots(run); },
            });
        }
        if (stats_period > 0) {
            print_thread.emplace(PeriodicThread::Config{
                .name = thread_name::kScreen,
                .period = period_ms(static_cast<unsigned long>(stats_period)),
                .step = [this] { _bkgd_print_func(); },
                .prologue = [this](const std::atomic<bool>& run) { wait_first_snapshots(run); },
            });
        }
    } catch (...) {
        // No destructor runs for a half-built object: a started thread left joinable would
        // terminate the process.
        stop_threads();
        throw;
    }
}

Monitoring::~Monitoring() {
    stop_threads();
    queue.reset();
}

void Monitoring::stop_threads() {
    // Taking first_mutex orders the cleared run flag before a first-snapshot waiter's test.
    const auto stop = [this](std::optional<PeriodicThread>& thread) {
        if (!thread) {
            return;
        }
        thread->request_stop();
        { std::lock_guard lock(first_mutex); }
        first_cv.notify_all();
        thread.reset();
    };
    stop(lifesign_thread);
    stop(print_thread);
}

void Monitoring::take_first_snapshots(std::initializer_list<Observable*> publishers) {
    for (Observable* p : publishers) {
        update(p);
    }
    {
        std::lock_guard lock(first_mutex);
        first_taken = true;
    }
    first_cv.notify_all();
}

void Monitoring::wait_first_snapshots(const std::atomic<bool>& run) {
    std::unique_lock lock(first_mutex);
    first_cv.wait_for(lock, kFirstSnapshotWait,
                      [&] { return first_taken || !run.load(std::memory_order_acquire); });
}

void Monitoring::update(Observable* o) {
    // The producer's copy is taken before the snapshots' lock: its get_stats() takes the
    // producer's own lock, and the two are never nested. update_mutex is taken first, never
    // while a producer's lock is held.
    std::lock_guard one_at_a_time(update_mutex);
    if (auto* udp = dynamic_cast<UDPClient*>(o)) {
        const UDPStats s = udp->get_stats();
        std::lock_guard lock(snapshots_mutex);
        snapshots.udp_stats = s;
    } else if (auto* capvane = dynamic_cast<Capvane*>(o)) {
        const FIPStats s = capvane->get_stats();
        std::lock_guard lock(snapshots_mutex);
        snapshots.fip_stats = s;
    } else if (auto* system = dynamic_cast<HostSampler*>(o)) {
        const SystemStats s = system->get_stats();
        std::lock_guard lock(snapshots_mutex);
        snapshots.sys_stats = s;
    }
}

Monitoring::Snapshots Monitoring::get_snapshots() const {
    std::lock_guard lock(snapshots_mutex);
    return snapshots;
}

void Monitoring::print(std::ostream& out) const {
    Snapshots s = get_snapshots();
    // The host sampler leaves the service duration unset; the time since it started is that
    // duration, as fresh as the screen.
    SystemStats& sys = s.sys_stats;
    if (sys.duration.is_not_a_date_time() && !sys.start_date.is_not_a_date_time()) {
        sys.duration = boost::posix_time::microsec_clock::local_time() - sys.start_date;
    }
    write_screen(out, s, lifesign_period, get_lifesign_cnt());
}

std::int64_t Monitoring::us_since_epoch(const boost::posix_time::ptime& t) {
    return lifesign::us_since_epoch(t);
}

void Monitoring::_bkgd_lifesign_func() {
    // The counter advances even when the record goes nowhere, so that a gap in the counters a
    // receiver sees tells it records were lost on the way.
    try {
        const auto now = boost::posix_time::microsec_clock::local_time();
        const std::uint64_t counter = lifesign_cnt.fetch_add(1, std::memory_order_relaxed) + 1;
        const Snapshots s = get_snapshots();
        const lifesign::Record rec =
            lifesign::encode(counter, now, s.sys_stats, s.udp_stats, s.fip_stats);
        if (queue) {
            queue->try_enqueue(std::vector<char>(rec.begin(), rec.end()));
        }
    } catch (const std::exception&) {
        // Out of memory, or a clock that cannot be read as local time: this record is lost, the
        // next period tries again.
        lifesign_lost_cnt.fetch_add(1, std::memory_order_relaxed);
    }
    lifesign_beat.beat();
}

void Monitoring::_bkgd_print_func() {
    // The clear sequence and the colours go out whatever standard output is: a screen captured
    // to a file replays as it was shown (`cat` or `less -R`), and readers of that output expect
    // the same bytes as on a terminal.
    try {
        std::cout << "\033[H\033[J" << std::flush;
        std::cout << "App is running... press Ctrl + C to exit.\n\n";
        print(std::cout);
    } catch (const std::exception&) {
        // Out of memory while formatting a date: the next redraw tries again.
    }
}
