// The statistics of the capture object: activity and expiry of the link, per-second rates, and
// the two periodic threads that serve them.

#include <boost/date_time/posix_time/posix_time.hpp>

#include "capture/capvane.hpp"
#include "log/logger.hpp"

namespace {

namespace pt = boost::posix_time;

pt::ptime now() {
    return pt::microsec_clock::local_time();
}

// The last buffer came about one second before the watchdog noticed its absence.
const pt::time_duration kExpiryBackdate = pt::milliseconds(1000);

} // namespace

FIPStats Capvane::get_stats() const {
    std::lock_guard lock(stats_mutex);
    return stats;
}

void Capvane::reset_stats() {
    {
        const FIPStats fresh;
        std::lock_guard lock(stats_mutex);
        stats = fresh;
        prev_is_active = false;
        prev_frame_rcvd_cnt = 0;
        prev_bytes_rcvd_cnt = 0;
        prev_frame_rcvd_cnt_per_sec = 0;
        prev_bytes_rcvd_cnt_per_sec = 0;
    }
    set_changed();
}

void Capvane::refresh_stats() {
    // Read outside our lock: the queue's figures come from its segment, not from us.
    const SyncMappedQueueStats queue_stats =
        queue != nullptr ? queue->get_stats() : SyncMappedQueueStats{};
    bool changed = false;
    {
        std::lock_guard lock(stats_mutex);
        stats.frame_rcvd_cnt_per_sec = stats.frame_rcvd_cnt - prev_frame_rcvd_cnt;
        stats.bytes_rcvd_cnt_per_sec = stats.bytes_rcvd_cnt - prev_bytes_rcvd_cnt;
        changed = stats.is_active != prev_is_active ||
                  stats.frame_rcvd_cnt != prev_frame_rcvd_cnt ||
                  stats.bytes_rcvd_cnt != prev_bytes_rcvd_cnt ||
                  stats.frame_rcvd_cnt_per_sec != prev_frame_rcvd_cnt_per_sec ||
                  stats.bytes_rcvd_cnt_per_sec != prev_bytes_rcvd_cnt_per_sec;
        prev_is_active = stats.is_active;
        prev_frame_rcvd_cnt = stats.frame_rcvd_cnt;
        prev_bytes_rcvd_cnt = stats.bytes_rcvd_cnt;
        prev_frame_rcvd_cnt_per_sec = stats.frame_rcvd_cnt_per_sec;
        prev_bytes_rcvd_cnt_per_sec = stats.bytes_rcvd_cnt_per_sec;
        stats.queue_stats = queue_stats;
    }
    if (changed) {
        set_changed();
    }
}

LinkTimes Capvane::link_times() {
    return LinkTimes(stats.is_active, stats.last_start_date, stats.last_stop_date,
                     stats.last_act_duration, stats.last_inact_duration, stats.total_act_duration,
                     stats.total_inact_duration, stats.loss_act_cnt);
}

void Capvane::record_activity() {
    wtdog_cnt.store(kWtdogFill, std::memory_order_release);
    {
        std::lock_guard lock(stats_mutex);
        link_activity.on_traffic(link_times(), now());
    }
    set_changed();
}

void Capvane::add_counts(const WalkCounts& counts, std::int64_t lost_total) {
    {
        std::lock_guard lock(stats_mutex);
        stats.frame_rcvd_cnt += counts.frame_rcvd_cnt;
        stats.bytes_rcvd_cnt += counts.bytes_rcvd_cnt;
        stats.st0_cnt += counts.st0_cnt;
        stats.st12_cnt += counts.st12_cnt;
        stats.st3_cnt += counts.st3_cnt;
        stats.st4_cnt += counts.st4_cnt;
        stats.st5_cnt += counts.st5_cnt;
        stats.st6_cnt += counts.st6_cnt;
        stats.bad_ctrl_cnt += counts.bad_ctrl_cnt;
        stats.bad_fcs_cnt += counts.bad_fcs_cnt;
        stats.bad_pdu_cnt += counts.bad_pdu_cnt;
        stats.bad_len_cnt += counts.bad_len_cnt;
        if (counts.loss_cont_evt_cnt != 0) {
            stats.loss_cont_evt_cnt += counts.loss_cont_evt_cnt;
            stats.lost_frame_cnt = lost_total;
        }
        if (counts.has_fcs_type) {
            stats.fcs_type = counts.last_fcs_type;
        }
    }
    set_changed();
}

void Capvane::tst_fip_frm(std::vector<unsigned char> frame) {
    std::lock_guard lock(stats_mutex);
    switch (calc.first_fault(stats.fcs_type, frame)) {
    case FrameFault::bad_ctrl:
        ++stats.bad_ctrl_cnt;
        break;
    case FrameFault::bad_fcs:
        ++stats.bad_fcs_cnt;
        break;
    case FrameFault::bad_pdu:
        ++stats.bad_pdu_cnt;
        break;
    case FrameFault::bad_len:
        ++stats.bad_len_cnt;
        break;
    case FrameFault::none:
        break;
    }
}

bool Capvane::wtdog_tick() {
    if (!irq_run.load(std::memory_order_acquire)) {
        return false;
    }
    if (wtdog_cnt.fetch_sub(1, std::memory_order_acq_rel) - 1 >= 0) {
        return false;
    }
    {
        std::lock_guard lock(stats_mutex);
        std::int32_t expired = wtdog_cnt.load(std::memory_order_acquire);
        if (expired >= 0) {
            return false; // a buffer refilled the countdown since: the link is alive
        }
        link_activity.on_silence(link_times(), now(), kExpiryBackdate);
        // Only from the expired value: a refill that lands meanwhile must win.
        wtdog_cnt.compare_exchange_strong(expired, 0, std::memory_order_acq_rel);
    }
    set_changed();
    return true;
}

void Capvane::log_link_change(bool expired) {
    link_log.after_pass(expired, [this] {
        std::lock_guard lock(stats_mutex);
        return LinkStateLog::State{stats.is_active, stats.last_inact_duration};
    });
}

void Capvane::_bkgd_per_sec_func() {
    // Every notification follows a refresh: a record reset by start() goes out with the queue's
    // figures in it, never without.
    refresh_stats();
    notify_observers();
}

void Capvane::_bkgd_wtdog_func() {
    // Logged here, after the tick and outside the statistics lock, and never by the acquisition
    // thread.
    log_link_change(wtdog_tick());
}
