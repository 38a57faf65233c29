// Statistics of the UDP side of the gateway.
#pragma once

#include <cstdint>

#include <boost/date_time/posix_time/posix_time_types.hpp>

struct UDPStats {
    // A fresh record: the three dates read the local clock once, so a start or stop date equal
    // to start_date means "has not happened yet".
    UDPStats();

    boost::posix_time::ptime last_start_date;
    boost::posix_time::ptime last_stop_date; // back-dated by the watchdog time-out
    boost::posix_time::ptime start_date;
    boost::posix_time::time_duration act_duration;
    boost::posix_time::time_duration inact_duration;
    boost::posix_time::time_duration total_act_duration;
    boost::posix_time::time_duration total_inact_duration;
    bool is_active = false;
    std::uint64_t pkt_sent_cnt = 0;
    std::uint64_t pkt_rcvd_cnt = 0; // the sender never receives: always 0
    std::uint64_t pkt_err_cnt = 0;
    // Datagram size + the Ethernet, IP and UDP headers: 42 bytes over IPv4, 62 over IPv6.
    std::uint64_t bytes_sent_cnt = 0;
    std::uint64_t bytes_rcvd_cnt = 0;
    std::uint64_t pkt_sent_cnt_per_sec = 0;
    std::uint64_t pkt_rcvd_cnt_per_sec = 0;
    std::uint64_t pkt_err_cnt_per_sec = 0;
    std::uint64_t bytes_sent_cnt_per_sec = 0;
    std::uint64_t bytes_rcvd_cnt_per_sec = 0;
    std::uint64_t loss_act_cnt = 0;
};
