// The capture object: opens one capture card, runs the acquisition thread that turns the card's
// transfer buffers into events of the shared queue, and publishes the fieldbus statistics.
//
// Threads
// - per-second (_bkgd_per_sec_func): rates, queue figures, notification of the observers; runs
//   for the whole life of the object.
// - watchdog (_bkgd_wtdog_func): 100 ms ticks; declares the link inactive about one second after
//   the last buffer; runs for the whole life of the object, counts only while capture runs.
// - acquisition (_bkgd_irq_func): from start() to stop(), SCHED_FIFO when the system allows it.
//
// Design notes
// - One mutex guards the statistics record and the activity accumulators. It is taken once per
//   update step (a buffer's activity, a buffer's counts, a watchdog expiry, a refresh, a copy)
//   and never held while logging, enqueueing or notifying, so readers never see a torn value
//   and the acquisition thread never waits for a slow observer.
// - A device that is gone (a short run of wait requests failing with ENODEV, ENXIO or EBADF)
//   ends the acquisition thread and is_open() turns false, so the gateway notices instead of a
//   real-time thread spinning on a dead descriptor. stop() still joins the thread and closes the
//   node. Every other wait failure is retried with a bounded back-off for as long as it lasts,
//   and logged at a bounded rate (capture/wait_failures.hpp).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "capture/cv_ioctl.hpp"
#include "capture/fip_calculator.hpp"
#include "capture/fip_stats.hpp"
#include "capture/record_walk.hpp"
#include "queue/syncmappedqueue.hpp"
#include "runtime/interruptible_sleep.hpp"
#include "runtime/link_activity.hpp"
#include "runtime/observable.hpp"
#include "runtime/periodic_thread.hpp"

class Capvane : public Observable {
public:
    using event_queue = SyncMappedQueue<std::vector<char>>;

    static constexpr int kMaxScannedCards = 16;    // nodes 0 to 15 are tried when searching
    static constexpr std::int32_t kWtdogFill = 10; // watchdog ticks granted by each buffer
    static constexpr std::chrono::milliseconds kWtdogTick{100};
    static constexpr std::chrono::seconds kPerSecPeriod{1};

    // Stores the queue (where records go) and the log stream, then starts the per-second and
    // watchdog threads. Called on the gateway's main thread.
    Capvane(std::shared_ptr<event_queue> queue, FILE* log);
    // Stops the watchdog and per-second threads, then stop(). Returns within milliseconds.
    virtual ~Capvane();

    Capvane(const Capvane&) = delete;
    Capvane& operator=(const Capvane&) = delete;
    Capvane(Capvane&&) = delete;
    Capvane& operator=(Capvane&&) = delete;

    // The node of card `index`: "/dev/capvane<index>".
    static std::string node_name(int index);

    // True when a capture node opens. An index of 0 or more tries that card alone; a negative
    // one tries cards 0 to 15 and writes the first that opens through `index`. False for null.
    static bool is_available(int* index);

    // Prints every card among 0 to 15 on standard output ("*** Capvane [n]" and its record, n
    // counting found cards from 1), or "no device found". For the command line's -l.
    static void list();

    // Opens card `index` (no search: -1 means /dev/capvane-1), reads its record, resets the
    // statistics, launches the acquisition thread, sets the epoch and starts the sniffer.
    // Returns 0; the errno of open when the node does not open; -1 on any other failure (already
    // started, device record, epoch, sniffer), after which the object is closed and restartable.
    // Main thread; not concurrently with stop().
    int start(int index);

    // Switches the sniffer off (a refusal is logged and ignored), ends the acquisition thread
    // and closes the node. Returns 0, or -1 when nothing was started. After a broken connection it
    // still joins the thread and closes the node, and returns 0. Main thread.
    int stop();

    // True while the node is open and the connection is not broken. Any thread.
    bool is_open() const { return is_open_flag.load(std::memory_order_acquire); }

    // A copy of the statistics, consistent field by field. Any thread (observers call it on the
    // per-second thread).
    FIPStats get_stats() const;

    // Sends CV_IOC_ENABLE_SNIFFER (1 or 0). -1 without a request when closed; -1 with errno
    // EFAULT when the driver refuses.
    int enable_sniffer(bool on);

    // 0 when open, -1 otherwise; the card needs no request to re-arm.
    int clear_interrupt();

    // Sends CV_IOC_SET_EPOCH with microseconds since the Unix epoch. Errors as enable_sniffer.
    int set_epoch(std::uint64_t epoch_us);

    // Reads the record of the open node `fd` into `infos`. -1 with errno EINVAL for a null
    // record, -1 with errno EFAULT when the driver refuses (the record is then untouched).
    static int get_dev_infos(int fd, cv_dev_infos* infos);

    // Prints a record on standard output; bar entries up to bar_cnt, at most 6. Null: nothing.
    static void print_dev_info(const cv_dev_infos* infos);

    // A fresh record, previous per-second values cleared, observers marked changed. The
    // activity accumulators are kept.
    void reset_stats();

    // One per-second step: rates since the previous refresh, change test, queue figures.
    // Per-second thread.
    void refresh_stats();

    // Runs the four frame checks with the record's current fcs_type and counts the first
    // failure. An empty frame counts nothing.
    void tst_fip_frm(std::vector<unsigned char> frame);

private:
    void _bkgd_irq_func();
    // One step of each periodic thread.
    void _bkgd_per_sec_func();
    void _bkgd_wtdog_func();

    // Activity side, once per buffer with a ready bit: refill the watchdog, open or extend the
    // active period.
    void record_activity();
    // Expiry side, once per watchdog tick while capture runs. True when the countdown had run
    // out: the link is (still) inactive.
    bool wtdog_tick();
    // Logs the link's state changes (see LinkStateLog). Watchdog thread, outside the statistics
    // lock.
    void log_link_change(bool expired);
    // The activity fields of the record, for link_activity. Under stats_mutex.
    LinkTimes link_times();
    // Adds the counts of one buffer's records; `lost_total` is the sequence state after it.
    void add_counts(const WalkCounts& counts, std::int64_t lost_total);
    // Ends the acquisition thread, closes the node, clears the open flag.
    void shutdown_capture();

    cv_dev_infos dev_infos{};
    int fd = -1;
    FILE* log;
    std::shared_ptr<event_queue> queue;
    FIPCalculator calc;

    mutable std::mutex stats_mutex; // guards stats, link_activity and the previous values
    FIPStats stats;
    std::atomic<bool> is_open_flag{false};

    std::atomic<std::int32_t> wtdog_cnt{kWtdogFill};
    LinkActivity link_activity;
    LinkStateLog link_log{log, "fip"}; // watchdog thread only

    // Values at the previous refresh_stats.
    bool prev_is_active = false;
    std::uint64_t prev_frame_rcvd_cnt = 0;
    std::uint64_t prev_bytes_rcvd_cnt = 0;
    std::uint64_t prev_frame_rcvd_cnt_per_sec = 0;
    std::uint64_t prev_bytes_rcvd_cnt_per_sec = 0;

    std::atomic<bool> irq_alive{false}; // cleared by the acquisition thread as it leaves
    InterruptibleSleep irq_exit_wait;   // stop() waits here for the acquisition thread to leave
    InterruptibleSleep irq_sleep;       // back-off of the acquisition thread, woken by stop()

    std::optional<PeriodicThread> per_sec_thread;
    std::optional<PeriodicThread> wtdog_thread;
    std::atomic<bool> irq_run{false};
    std::thread irq_thread;
};
