// Statistics, per-second thread and link watchdog of the UDP sender.
#include <atomic>
#include <chrono>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "log/logger.hpp"
#include "runtime/thread_name.hpp"
#include "udp/udp_client.hpp"

namespace {

constexpr std::chrono::seconds refresh_period{1};
constexpr std::chrono::milliseconds watchdog_tick{10};
// The longest back-dating a clamped countdown can stand for (INT32_MAX ticks of 10 ms).
constexpr std::uint64_t max_backdate_ms = 21474836470ULL;

boost::posix_time::ptime now() {
    return boost::posix_time::microsec_clock::local_time();
}

} // namespace

UDPStats UDPClient::get_stats() {
    std::lock_guard lock(stats_mutex);
    return stats;
}

void UDPClient::reset_stats() {
    const UDPStats fresh;
    {
        std::lock_guard lock(stats_mutex);
        stats = fresh;
    }
    prev_is_active = false;
    prev_pkt_sent_cnt = prev_pkt_rcvd_cnt = prev_pkt_err_cnt = 0;
    prev_bytes_sent_cnt = prev_bytes_rcvd_cnt = 0;
    prev_pkt_sent_cnt_per_sec = prev_pkt_rcvd_cnt_per_sec = prev_pkt_err_cnt_per_sec = 0;
    prev_bytes_sent_cnt_per_sec = prev_bytes_rcvd_cnt_per_sec = 0;
    set_changed();
}

void UDPClient::refresh_stats() {
    UDPStats s;
    {
        std::lock_guard lock(stats_mutex);
        stats.pkt_sent_cnt_per_sec = stats.pkt_sent_cnt - prev_pkt_sent_cnt;
        stats.pkt_rcvd_cnt_per_sec = stats.pkt_rcvd_cnt - prev_pkt_rcvd_cnt;
        stats.pkt_err_cnt_per_sec = stats.pkt_err_cnt - prev_pkt_err_cnt;
        stats.bytes_sent_cnt_per_sec = stats.bytes_sent_cnt - prev_bytes_sent_cnt;
        stats.bytes_rcvd_cnt_per_sec = stats.bytes_rcvd_cnt - prev_bytes_rcvd_cnt;
        s = stats;
    }
    const bool changed = s.is_active != prev_is_active || s.pkt_sent_cnt != prev_pkt_sent_cnt ||
                         s.pkt_rcvd_cnt != prev_pkt_rcvd_cnt || s.pkt_err_cnt != prev_pkt_err_cnt ||
                         s.bytes_sent_cnt != prev_bytes_sent_cnt ||
                         s.bytes_rcvd_cnt != prev_bytes_rcvd_cnt ||
                         s.pkt_sent_cnt_per_sec != prev_pkt_sent_cnt_per_sec ||
                         s.pkt_rcvd_cnt_per_sec != prev_pkt_rcvd_cnt_per_sec ||
                         s.pkt_err_cnt_per_sec != prev_pkt_err_cnt_per_sec ||
                         s.bytes_sent_cnt_per_sec != prev_bytes_sent_cnt_per_sec ||
                         s.bytes_rcvd_cnt_per_sec != prev_bytes_rcvd_cnt_per_sec;
    prev_is_active = s.is_active;
    prev_pkt_sent_cnt = s.pkt_sent_cnt;
    prev_pkt_rcvd_cnt = s.pkt_rcvd_cnt;
    prev_pkt_err_cnt = s.pkt_err_cnt;
    prev_bytes_sent_cnt = s.bytes_sent_cnt;
    prev_bytes_rcvd_cnt = s.bytes_rcvd_cnt;
    prev_pkt_sent_cnt_per_sec = s.pkt_sent_cnt_per_sec;
    prev_pkt_rcvd_cnt_per_sec = s.pkt_rcvd_cnt_per_sec;
    prev_pkt_err_cnt_per_sec = s.pkt_err_cnt_per_sec;
    prev_bytes_sent_cnt_per_sec = s.bytes_sent_cnt_per_sec;
    prev_bytes_rcvd_cnt_per_sec = s.bytes_rcvd_cnt_per_sec;
    if (changed) {
        set_changed();
    }
}

void UDPClient::start_per_sec_thread() {
    per_sec_thread.emplace(PeriodicThread::Config{
        .name = thread_name::kUdpStats,
        .period = refresh_period,
        .step = [this] { _bkgd_per_sec_func(); },
        .prologue =
            [this](const std::atomic<bool>&) {
                // The constructor waits for this: it must come even when the publication failed.
                struct Release {
                    std::latch& ready;
                    ~Release() { ready.count_down(); }
                } release{per_sec_ready};
                reset_stats();
                notify_observers();
            },
        .on_error = PeriodicThread::log_and_go_on(log, "udp statistics"),
    });
    per_sec_ready.wait();
}

void UDPClient::start_wtdog_thread() {
    wtdog_thread.emplace(PeriodicThread::Config{
        .name = thread_name::kUdpWatchdog,
        .period = watchdog_tick,
        .step = [this] { _bkgd_wtdog_func(); },
        .on_error = PeriodicThread::log_and_go_on(log, "udp watchdog"),
    });
}

void UDPClient::_bkgd_per_sec_func() {
    refresh_stats();
    notify_observers();
}

LinkTimes UDPClient::link_times() {
    return LinkTimes(stats.is_active, stats.last_start_date, stats.last_stop_date,
                     stats.act_duration, stats.inact_duration, stats.total_act_duration,
                     stats.total_inact_duration, stats.loss_act_cnt);
}

void UDPClient::on_datagram_sent(std::size_t size) {
    last_send_errno.store(0, std::memory_order_relaxed);
    {
        std::lock_guard lock(stats_mutex);
        link_activity.on_traffic(link_times(), now());
        ++stats.pkt_sent_cnt;
        stats.bytes_sent_cnt += size + frame_overhead_bytes;
    }
    set_changed();
}

bool UDPClient::on_watchdog_expired() {
    {
        std::lock_guard lock(stats_mutex);
        // A datagram sent since the countdown expired has re-armed it: the link is alive.
        std::int32_t expired = -1;
        if (!wtdog_cnt.compare_exchange_strong(expired, 0)) {
            return false;
        }
        // Back-dated to the estimated time of the last send, so that the activity period does
        // not include the time-out itself.
        const auto backdate_ms =
            static_cast<std::int64_t>(std::min(wtdog_timeout_ms, max_backdate_ms));
        link_activity.on_silence(link_times(), now(), boost::posix_time::milliseconds(backdate_ms));
    }
    set_changed();
    return true;
}

void UDPClient::log_link_change(bool expired) {
    // Without a lifesign period the time-out is 0 and every pass after a datagram expires: the
    // state says nothing, and logging it would write two lines per datagram.
    if (wtdog_timeout_ms == 0) {
        return;
    }
    // When sends were failing the silence is theirs, and the line says why.
    const int failed = expired ? last_send_errno.load(std::memory_order_relaxed) : 0;
    link_log.after_pass(
        expired,
        [this] {
            std::lock_guard lock(stats_mutex);
            return LinkStateLog::State{stats.is_active, stats.inact_duration};
        },
        failed != 0 ? "last send failed: " + errno_text(failed) : std::string());
}

void UDPClient::_bkgd_wtdog_func() {
    if (!tx_run.load()) {
        return;
    }
    // A throw of on_watchdog_expired() is logged by the thread ("udp watchdog: ..."); the next
    // pass tries again.
    const bool expired = wtdog_cnt.fetch_sub(1) - 1 < 0 && on_watchdog_expired();
    // Logged here, outside the statistics lock, and never by the transmit thread.
    log_link_change(expired);
}
