// Statistics of the fieldbus side, as seen through the capture card.
#pragma once

#include <cstdint>

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "queue/syncmappedqueue_stats.hpp"

struct FIPStats {
    // A fresh record: the three dates read the local clock once, so a start or stop date equal
    // to init_date means "has not happened yet".
    FIPStats();

    boost::posix_time::ptime last_start_date;
    boost::posix_time::ptime last_stop_date;
    boost::posix_time::ptime init_date;
    boost::posix_time::time_duration last_act_duration;
    boost::posix_time::time_duration last_inact_duration;
    boost::posix_time::time_duration total_act_duration;
    boost::posix_time::time_duration total_inact_duration;
    bool is_active = false;
    SyncMappedQueueStats queue_stats{};
    std::uint64_t frame_rcvd_cnt = 0;
    std::uint64_t bytes_rcvd_cnt = 0; // sum of frame length + 3
    std::uint64_t frame_rcvd_cnt_per_sec = 0;
    std::uint64_t bytes_rcvd_cnt_per_sec = 0;
    std::uint64_t loss_act_cnt = 0;
    std::uint8_t fcs_type = 0;
    std::uint8_t aux_code = 0;
    std::uint32_t sn = 0;
    // Status-bit and failed-check counters. The lifesign encoder writes each by name, in its own
    // layout's order, so the order here is free.
    std::uint64_t st0_cnt = 0;
    std::uint64_t st12_cnt = 0;
    std::uint64_t st3_cnt = 0;
    std::uint64_t bad_ctrl_cnt = 0;
    std::uint64_t bad_fcs_cnt = 0;
    std::uint64_t bad_pdu_cnt = 0;
    std::uint64_t bad_len_cnt = 0;
    std::uint64_t st6_cnt = 0;
    std::uint64_t st5_cnt = 0;
    std::uint64_t st4_cnt = 0;
    std::uint64_t loss_cont_evt_cnt = 0;
    std::int64_t lost_frame_cnt = 0; // negative when indexes went backwards
};
