// The one observer of the gateway: keeps a copy of the latest statistics of the host sampler, the
// UDP sender and the capture object, and feeds two optional threads with them: the lifesign
// thread, which queues a lifesign record every lifesign period, and the status-screen thread,
// which redraws the statistics on standard output every stats period.
//
// Design notes
// - One short mutex guards the three copies: update() copies in under it, and each reader copies
//   all three out under it at the start of its cycle. It is never held while a producer's
//   get_stats() runs, nor while writing to the screen, enqueuing or sleeping.
// - Both threads are PeriodicThreads, whose sleep is woken, so the destructor returns in
//   milliseconds rather than after a whole period.
// - The first lifesign record and the first screen wait (at most kFirstSnapshotWait) for the
//   first snapshots the gateway takes when it registers the monitor: a receiver must not be told
//   zeros for figures that exist. One update at a time (update_mutex), so that the snapshot taken
//   at registration and a publisher's own notification cannot land in the wrong order.
// - The lifesign thread queues with try_enqueue(): a full event buffer drops the record and the
//   queue counts it; the thread itself never throws.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <initializer_list>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "capture/fip_stats.hpp"
#include "monitoring/system_stats.hpp"
#include "queue/syncmappedqueue.hpp"
#include "runtime/heartbeat.hpp"
#include "runtime/observable.hpp"
#include "runtime/periodic_thread.hpp"
#include "udp/udp_stats.hpp"

// Units of the sizes on the status screen: bytes, then powers of 1024.
enum class sz_scale : int { B = 0, KB = 1, MB = 2, GB = 3, TB = 4 };

class Monitoring : public Observer {
public:
    using EventQueue = SyncMappedQueue<std::vector<char>>;

    // The three statistics records as last published, copied together.
    struct Snapshots {
        SystemStats sys_stats;
        UDPStats udp_stats;
        FIPStats fip_stats;
    };

    // Unit names of the five scales: "B", "KB", "MB", "GB", "TB".
    static const std::map<sz_scale, const char*> scale_names;

    // Starts the lifesign thread when `lifesign_period` (ms) is not 0, and the status-screen
    // thread when `stats_period` (ms) is positive. A lifesign period with its top bit set (a
    // negative number that went through an unsigned option) counts as 0. `queue` may be null:
    // lifesign records are then built and counted but go nowhere. Throws std::system_error when
    // a thread cannot be started (none is left running then). Called by the gateway's thread.
    Monitoring(unsigned long lifesign_period, long stats_period, std::shared_ptr<EventQueue> queue);
    Monitoring(const Monitoring&) = delete;
    Monitoring& operator=(const Monitoring&) = delete;

    // Wakes and joins the threads it started, lifesign thread first; returns in milliseconds.
    ~Monitoring() override;

    // Replaces the copy of the notifying producer's record (UDPClient, Capvane or HostSampler,
    // tried in this order) by its get_stats(). A null or any other Observable changes nothing. Runs
    // on the producers' per-second threads, one producer per thread.
    void update(Observable* o) override;

    // Bumped by the lifesign thread once a lifesign period, whether the record could be queued or
    // not. Any thread.
    const Heartbeat& lifesign_heartbeat() const { return lifesign_beat; }

    // Longest hold of the first lifesign record and screen for the first snapshots. The gateway
    // registers the monitor microseconds after building it; a monitor that nobody registers
    // (tests) still starts its output soon.
    static constexpr std::chrono::milliseconds kFirstSnapshotWait{250};

    // Takes a first snapshot of each publisher it was just registered with, then releases the
    // lifesign and screen threads' first output. Called by the gateway's thread after
    // add_observer().
    void take_first_snapshots(std::initializer_list<Observable*> publishers);

    // The three copies as they stand, taken under the lock. Any thread.
    Snapshots get_snapshots() const;

    // Lifesign records built so far (queued or not). Any thread.
    std::uint64_t get_lifesign_cnt() const { return lifesign_cnt.load(std::memory_order_relaxed); }

    // Records that could not even be built for the queue (out of memory). Drops by a full queue
    // are counted by the queue. Any thread.
    std::uint64_t get_lifesign_lost_cnt() const {
        return lifesign_lost_cnt.load(std::memory_order_relaxed);
    }

    // Writes one status screen (43 lines) of the current copies to `out`. The service duration is
    // the time since the host sampler started when the sampler left it unset. Called by the
    // status-screen thread with std::cout; leaves its float precision on `out` for the next call.
    void print(std::ostream& out = std::cout) const;

    // Writes one status screen of `s` to `out`: the layout of print() for given records, so that
    // the screen does not depend on the clock or on the threads. Any thread that owns `out`.
    static void write_screen(std::ostream& out, const Snapshots& s, unsigned long lifesign_period,
                             std::uint64_t lifesign_cnt);

    // The scale of a byte count: the largest whose quotient is strictly above 1, else bytes.
    static sz_scale get_size_scale(unsigned long bytes);

    // The byte count in its own scale. Writes nothing if either pointer is null.
    static void get_formatted_size_value(unsigned long bytes, float* value, sz_scale* scale);

    // Writes an error count, bold red when it is not 0.
    static void print_err_cnt(unsigned long count, std::ostream& out = std::cout);
    // A signed total (lost frames go negative when indexes run backwards) keeps its sign.
    static void print_err_cnt(long count, std::ostream& out = std::cout);

    // Local time as microseconds since 1970-01-01 00:00:00, without time-zone conversion.
    static std::int64_t us_since_epoch(const boost::posix_time::ptime& t);

private:
    // One step of each thread: a lifesign record, a screen.
    void _bkgd_lifesign_func();
    void _bkgd_print_func();
    // Lifesign thread first, then the screen; each only if it was started.
    void stop_threads();
    // Holds a thread's first output until the first snapshots are in, `run` is cleared or
    // kFirstSnapshotWait passed.
    void wait_first_snapshots(const std::atomic<bool>& run);

    std::shared_ptr<EventQueue> queue;

    std::mutex update_mutex;            // one update at a time, around the producer's copy
    mutable std::mutex snapshots_mutex; // copies in and out only
    Snapshots snapshots;
    std::mutex first_mutex; // guards first_taken
    std::condition_variable first_cv;
    bool first_taken = false;

    std::atomic<std::uint64_t> lifesign_cnt{0}; // written by the lifesign thread alone
    std::atomic<std::uint64_t> lifesign_lost_cnt{0};
    Heartbeat lifesign_beat;
    const unsigned long lifesign_period; // ms; 0: no lifesign thread
    const long stats_period;             // ms; 0 or negative: no status screen

    std::optional<PeriodicThread> lifesign_thread;
    std::optional<PeriodicThread> print_thread;
};
