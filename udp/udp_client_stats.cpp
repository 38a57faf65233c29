// Statistics, per-second thread and link watchdog of the UDP sender.
#include <chrono>
#include <exception>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "log/logger.hpp"
#include "monitoring/thread_name.hpp"
#include "udp/udp_client.hpp"

namespace {

constexpr std::chrono::seconds refresh_period{1};
constexpr std::chrono::milliseconds watchdog_tick{10};
constexpr std::uint64_t frame_overhead_bytes = 14 + 20 + 8; // Ethernet, IPv4 and UDP headers
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

void UDPClient::_bkgd_per_sec_func() {
    thread_name::name_this_thread(thread_name::kUdpStats);
    try {
        reset_stats();
        notify_observers();
    } catch (const std::exception& e) {
        logger::print(log, logger::msg_type::err, "udp statistics: %s\n", e.what());
    }
    per_sec_ready.count_down();
    while (per_sec_run.load()) {
        try {
            refresh_stats();
            notify_observers();
        } catch (const std::exception& e) {
            logger::print(log, logger::msg_type::err, "udp statistics: %s\n", e.what());
        }
        per_sec_sleep.sleep_for(refresh_period, per_sec_run);
    }
}

void UDPClient::on_datagram_sent(std::size_t size) {
    {
        std::lock_guard lock(stats_mutex);
        if (!stats.is_active) {
            stats.is_active = true;
            stats.last_start_date = now();
            stats.inact_duration = stats.last_start_date - stats.last_stop_date;
            stats.total_inact_duration = stats.inact_duration + inact_accum;
            inact_accum = stats.total_inact_duration;
        }
        stats.act_duration = now() - stats.last_start_date;
        stats.total_act_duration = stats.act_duration + act_accum;
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
        if (stats.is_active) {
            stats.is_active = false;
            // Back-dated to the estimated time of the last send, so that the activity period
            // does not include the time-out itself.
            const auto backdate_ms =
                static_cast<std::int64_t>(std::min(wtdog_timeout_ms, max_backdate_ms));
            stats.last_stop_date = now() - boost::posix_time::milliseconds(backdate_ms);
            stats.act_duration = stats.last_stop_date - stats.last_start_date;
            stats.total_act_duration = stats.act_duration + act_accum;
            act_accum = stats.total_act_duration;
            ++stats.loss_act_cnt;
        }
        stats.inact_duration = now() - stats.last_stop_date;
        stats.total_inact_duration = stats.inact_duration + inact_accum;
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
    if (expired) {
        if (!told_inactive) {
            told_inactive = true;
            logger::print(log, logger::msg_type::warn, "udp link inactive\n");
        }
        return;
    }
    if (!told_inactive) {
        return;
    }
    long inactive_s = 0;
    {
        std::lock_guard lock(stats_mutex);
        if (!stats.is_active) {
            return;
        }
        inactive_s = stats.inact_duration.total_seconds();
    }
    told_inactive = false;
    logger::print(log, logger::msg_type::info, "udp link active again after %ld s\n", inactive_s);
}

void UDPClient::_bkgd_wtdog_func() {
    thread_name::name_this_thread(thread_name::kUdpWatchdog);
    while (wtdog_run.load()) {
        if (tx_run.load()) {
            bool expired = false;
            if (wtdog_cnt.fetch_sub(1) - 1 < 0) {
                try {
                    expired = on_watchdog_expired();
                } catch (const std::exception& e) {
                    logger::print(log, logger::msg_type::err, "udp watchdog: %s\n", e.what());
                }
            }
            // Logged here, outside the statistics lock, and never by the transmit thread.
            log_link_change(expired);
        }
        wtdog_sleep.sleep_for(watchdog_tick, wtdog_run);
    }
}
