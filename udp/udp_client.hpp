// The UDP sender: drains the event buffer into datagrams (a 16-byte header, then the events back
// to back) sent to one destination, and keeps the statistics of the Ethernet side with a link
// watchdog.
//
// Design notes
// - Three threads, started in the constructor in this order: per-second (statistics), watchdog,
//   transmit. The constructor waits until the per-second thread has reset the record, so that
//   no datagram sent at start-up is wiped by that first reset.
// - The destructor stops the watchdog first, so that the link is not declared lost while the
//   transmit thread sends its last batch; then the transmit thread (a batch being collected is
//   still sent); then the per-second thread; the socket closes last, after its only user.
// - One short lock guards the statistics record and the two accumulators. It is held for each
//   update step and for the copy in get_stats(), never while sending, sleeping or notifying.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <latch>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "queue/syncmappedqueue.hpp"
#include "runtime/heartbeat.hpp"
#include "runtime/link_activity.hpp"
#include "runtime/observable.hpp"
#include "runtime/periodic_thread.hpp"
#include "udp/datagram_header.hpp"
#include "udp/destination.hpp"
#include "udp/udp_stats.hpp"

class UDPClient : public Observable {
public:
    using event_queue = SyncMappedQueue<std::vector<char>>;

    // Opens a UDP socket for `destination` (see Destination::open_socket), aims it there and
    // starts the three threads, then logs "udp socket connected (port=%d)" at info level on
    // `log`, and the destination and the cap when they are not the defaults.
    // - `lifesign_period_ms`: the link is declared lost after 5 periods without a datagram; the
    //   countdown is clamped to INT32_MAX ticks of 10 ms for huge periods.
    // - `max_evt`: events per datagram, compared as unsigned 32-bit, so a negative value removes
    //   the count limit. 0 is taken as 1: a sender that may take no event would spin forever.
    // - `queue`: shared with the producers; `log`: not owned, must outlive the sender.
    // - `max_datagram_bytes`: no datagram is longer (header included); from
    //   datagram::min_datagram_cap to datagram::max_udp_payload, else std::invalid_argument.
    // Throws boost::system::system_error when the socket cannot be opened or configured (no
    // thread is started then). Called by the gateway's build cycle.
    UDPClient(const Destination& destination, unsigned long lifesign_period_ms, int max_evt,
              std::shared_ptr<event_queue> queue, FILE* log,
              std::size_t max_datagram_bytes = datagram::max_udp_payload);

    // The limited broadcast 255.255.255.255:`port`, without a cap.
    UDPClient(std::uint16_t port, unsigned long lifesign_period_ms, int max_evt,
              std::shared_ptr<event_queue> queue, FILE* log);

    // Stops the watchdog, transmit and per-second threads, in this order, then closes the socket.
    // Returns within a few tens of milliseconds. Events still queued stay in the queue.
    ~UDPClient() override;

    UDPClient(const UDPClient&) = delete;
    UDPClient& operator=(const UDPClient&) = delete;

    // A copy of the statistics record. Any thread; observers call it from update().
    UDPStats get_stats();

    // A fresh record; the previous-refresh values back to false and zeros; marks changed. The
    // activity accumulators are kept. Called by the per-second thread when it starts.
    void reset_stats();

    // Per-second values as differences with the previous refresh; marks changed only when one of
    // the compared fields moved. Called by the per-second thread once a second.
    void refresh_stats();

    // Watchdog time-out in milliseconds (5 lifesign periods, saturated) and the countdown value a
    // datagram re-arms, in 10 ms ticks.
    std::uint64_t watchdog_timeout_ms() const { return wtdog_timeout_ms; }
    std::int32_t watchdog_ticks() const { return wtdog_rearm; }

    // The per-datagram event limit in force (0 was taken as 1).
    std::int32_t max_events() const { return max_evt; }

    // Bumped by the transmit thread at every wait for an event, so at least every 10 ms while it
    // runs, with traffic or without.
    const Heartbeat& tx_heartbeat() const { return tx_beat; }

    // A datagram takes one more event while its payload holds at most this many bytes.
    std::size_t payload_limit() const { return payload_fill_limit; }

private:
    // One step of each periodic thread.
    void _bkgd_per_sec_func();
    void _bkgd_wtdog_func();
    void _bkgd_tx_func();
    // Start the two periodic threads; the first returns once the first reset is published.
    void start_per_sec_thread();
    void start_wtdog_thread();

    // Sends one finished datagram and does the bookkeeping of a success or a failure.
    void send_datagram(const std::vector<char>& datagram);
    // Bookkeeping of a datagram handed to the socket (`size` includes the header).
    void on_datagram_sent(std::size_t size);
    // A send failure that is counted: pkt_err_cnt + 1, the error line in the log.
    void on_send_error();
    // One watchdog pass with the countdown below zero. True when the link is (still) declared
    // inactive, false when a datagram re-armed the countdown meanwhile.
    bool on_watchdog_expired();
    // Logs the link's state changes (see LinkStateLog). Watchdog thread, outside the statistics
    // lock.
    void log_link_change(bool expired);
    // The activity fields of the record, for link_activity. Under stats_mutex.
    LinkTimes link_times();
    void stop_threads();

    boost::asio::io_context io;
    boost::asio::ip::udp::socket socket;
    boost::asio::ip::udp::endpoint destination;
    std::uint64_t wtdog_timeout_ms = 0;
    std::atomic<std::int32_t> wtdog_cnt{0}; // 10 ms ticks left before the link is declared lost
    // errno of the last send that failed since the last datagram sent; 0 when none failed. Set by
    // the transmit thread, read by the watchdog for its "link inactive" line.
    std::atomic<int> last_send_errno{0};
    std::int32_t wtdog_rearm = 0; // value wtdog_cnt is re-armed to, in 10 ms ticks
    std::int32_t max_evt = 1;
    std::size_t payload_fill_limit = datagram::payload_fill_limit; // from the datagram cap
    // Bytes counted per datagram besides its own: the Ethernet, IP and UDP headers.
    std::uint64_t frame_overhead_bytes = 14 + 20 + 8;
    // The longest event there can be: its length field is 16 bits.
    static constexpr std::size_t max_event_bytes = 0xFFFF;
    FILE* log = nullptr;
    std::shared_ptr<event_queue> queue;

    std::mutex stats_mutex; // guards stats and link_activity
    UDPStats stats;
    LinkActivity link_activity;
    LinkStateLog link_log; // watchdog thread only

    // Values of the previous refresh; used by the per-second thread only.
    bool prev_is_active = false;
    std::uint64_t prev_pkt_sent_cnt = 0;
    std::uint64_t prev_pkt_rcvd_cnt = 0;
    std::uint64_t prev_pkt_err_cnt = 0;
    std::uint64_t prev_bytes_sent_cnt = 0;
    std::uint64_t prev_bytes_rcvd_cnt = 0;
    std::uint64_t prev_pkt_sent_cnt_per_sec = 0;
    std::uint64_t prev_pkt_rcvd_cnt_per_sec = 0;
    std::uint64_t prev_pkt_err_cnt_per_sec = 0;
    std::uint64_t prev_bytes_sent_cnt_per_sec = 0;
    std::uint64_t prev_bytes_rcvd_cnt_per_sec = 0;

    std::latch per_sec_ready{1}; // counted down once the first reset has been published
    std::optional<PeriodicThread> per_sec_thread;
    std::optional<PeriodicThread> wtdog_thread;
    std::thread tx_thread;
    std::atomic<bool> tx_run{false};
    Heartbeat tx_beat;
};
