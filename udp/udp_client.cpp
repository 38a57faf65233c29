#include "udp/udp_client.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <iostream>
#include <limits>
#include <stdexcept>

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

#include "log/logger.hpp"
#include "runtime/thread_name.hpp"
#include "udp/datagram_header.hpp"

namespace {

constexpr std::chrono::milliseconds error_pause{10};
constexpr long dequeue_timeout_ms = 10; // bounds a lone event's latency and the stop reaction
constexpr std::uint64_t lifesign_periods_per_timeout = 5;
constexpr std::uint64_t watchdog_tick_ms = 10;

std::uint64_t watchdog_timeout_for(unsigned long lifesign_period_ms) {
    constexpr std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    const std::uint64_t period = lifesign_period_ms;
    return period > max / lifesign_periods_per_timeout ? max
                                                       : period * lifesign_periods_per_timeout;
}

} // namespace

UDPClient::UDPClient(std::uint16_t port, unsigned long lifesign_period_ms, int max_evt_,
                     std::shared_ptr<event_queue> queue_, FILE* log_)
    : UDPClient(Destination::limited_broadcast(port), lifesign_period_ms, max_evt_,
                std::move(queue_), log_) {}

UDPClient::UDPClient(const Destination& destination_, unsigned long lifesign_period_ms,
                     int max_evt_, std::shared_ptr<event_queue> queue_, FILE* log_,
                     std::size_t max_datagram_bytes)
    : socket(io), log(log_), link_log(log_, "udp") {
    wtdog_timeout_ms = watchdog_timeout_for(lifesign_period_ms);
    // A countdown that does not fit the atomic counter would wrap into an instant time-out.
    wtdog_rearm = static_cast<std::int32_t>(std::min<std::uint64_t>(
        wtdog_timeout_ms / watchdog_tick_ms,
        static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())));
    wtdog_cnt.store(wtdog_rearm);
    max_evt = max_evt_ == 0 ? 1 : max_evt_;
    if (!queue_) {
        throw std::invalid_argument("UDPClient: no event queue");
    }
    if (max_datagram_bytes < datagram::min_datagram_cap ||
        max_datagram_bytes > datagram::max_udp_payload) {
        throw std::invalid_argument("UDPClient: a datagram cap of " +
                                    std::to_string(max_datagram_bytes) + " bytes is outside " +
                                    std::to_string(datagram::min_datagram_cap) + "-" +
                                    std::to_string(datagram::max_udp_payload));
    }
    payload_fill_limit = datagram::payload_limit_for(max_datagram_bytes);

    destination_.open_socket(socket);
    // Neither bound nor connected: the system picks the source address and port at the first send.
    destination = destination_.endpoint();
    if (destination.address().is_v6()) {
        frame_overhead_bytes = 14 + 40 + 8; // the IPv6 header is 40 bytes
    }
    queue = std::move(queue_);

    try {
        start_per_sec_thread();
        start_wtdog_thread();
        tx_run.store(true);
        tx_thread = std::thread(&UDPClient::_bkgd_tx_func, this);
    } catch (...) {
        stop_threads();
        throw;
    }
    logger::print(log, logger::msg_type::info, "udp socket connected (port=%d)\n",
                  static_cast<int>(destination.port()));
    if (!destination_.is_limited_broadcast()) {
        logger::print(log, logger::msg_type::info, "udp destination %s\n",
                      destination_.describe().c_str());
    }
    if (max_datagram_bytes != datagram::max_udp_payload) {
        logger::print(log, logger::msg_type::info, "udp datagrams of at most %zu bytes\n",
                      max_datagram_bytes);
    }
}

UDPClient::~UDPClient() {
    stop_threads();
    boost::system::error_code ignored;
    socket.close(ignored);
}

void UDPClient::stop_threads() {
    // The watchdog goes first: the transmit thread may still send its last batch, and the link
    // must not be declared lost meanwhile.
    wtdog_thread.reset();
    tx_run.store(false);
    if (tx_thread.joinable()) {
        tx_thread.join();
    }
    per_sec_thread.reset();
}

void UDPClient::_bkgd_tx_func() {
    thread_name::name_this_thread(thread_name::kUdpTx);
    std::uint64_t datagram_seq = 0;
    // A negative limit becomes a huge unsigned one: only the size and the time-out close a batch.
    const auto evt_limit = static_cast<std::uint32_t>(max_evt);
    const auto timeout = boost::posix_time::milliseconds(dequeue_timeout_ms);
    // The datagram buffer lives as long as the thread and the events' bytes are copied into it
    // straight from the queue, whose events keep their storage for the next records: after the
    // first datagrams nothing here allocates or frees.
    std::vector<char> datagram;
    while (tx_run.load()) {
        try {
            // Room for a full payload plus the longest event that may close it; reserved once,
            // but here, where a failed allocation is survived and tried again.
            datagram.reserve(datagram::header_size + payload_fill_limit + max_event_bytes);
            // A datagram takes one more event while it holds fewer than max_evt events and at
            // most payload_fill_limit bytes of payload; the next event is waited for at most the
            // time-out, afresh after each one.
            std::uint32_t event_cnt = 0;
            std::size_t payload_bytes = 0;
            const auto room_after = [&](const std::vector<char>& event) {
                ++event_cnt;
                payload_bytes += event.size();
                return event_cnt < evt_limit && payload_bytes <= payload_fill_limit;
            };
            // Room for the header is kept in front, so that the payload is never moved.
            datagram.resize(datagram::header_size);
            while (event_cnt < evt_limit && payload_bytes <= payload_fill_limit && tx_run.load()) {
                tx_beat.beat();
                if (queue->try_dequeue_into(datagram, room_after, timeout) == 0) {
                    break;
                }
            }
            if (event_cnt == 0) {
                continue; // the time-out of the queue paces this loop
            }
            ++datagram_seq;
            datagram::write_header(datagram.data(), datagram_seq, event_cnt);
            send_datagram(datagram);
        } catch (...) {
            // Not a socket error (a failed allocation, a failed wait): the batch is lost like a
            // failed send, and the thread must survive it.
            on_send_error();
            std::this_thread::sleep_for(error_pause);
        }
    }
    {
        std::lock_guard lock(stats_mutex);
        stats.is_active = false;
    }
    set_changed();
}

void UDPClient::send_datagram(const std::vector<char>& datagram) {
    try {
        const std::size_t sent = socket.send_to(boost::asio::buffer(datagram), destination);
        if (sent != datagram.size()) {
            logger::print(log, logger::msg_type::warn,
                          "sent_to: impossible to send all bytes (%d/%d)\n", static_cast<int>(sent),
                          static_cast<int>(datagram.size()));
        }
        wtdog_cnt.store(wtdog_rearm);
        on_datagram_sent(datagram.size());
    } catch (const boost::system::system_error& e) {
        last_send_errno.store(
            e.code().category() == boost::system::system_category() ? e.code().value() : EIO,
            std::memory_order_relaxed);
        // Without a route the link simply goes quiet; the watchdog reports it, not every datagram.
        if (e.code() != boost::asio::error::network_unreachable) {
            // Kept on standard output in this form for compatibility: supervisors match the line.
            std::cout << "e.what(): " << e.what() << " - "
                      << "e.code(): " << e.code() << std::endl;
            on_send_error();
        }
        std::this_thread::sleep_for(error_pause);
    }
}

void UDPClient::on_send_error() {
    {
        std::lock_guard lock(stats_mutex);
        ++stats.pkt_err_cnt;
    }
    set_changed();
    logger::print(log, logger::msg_type::err, "impossible to send on udp.\n");
}
