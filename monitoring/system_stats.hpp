// Health of the host: CPU, RAM and the storage of the working directory.
#pragma once

#include <cstdint>
#include <limits>

#include <boost/date_time/posix_time/posix_time_types.hpp>

struct SystemStats {
    static constexpr float kNotMeasured = std::numeric_limits<float>::quiet_NaN(); // 0x7FC00000

    boost::posix_time::ptime start_date{boost::posix_time::not_a_date_time};
    boost::posix_time::time_duration duration{boost::posix_time::not_a_date_time};
    float cpu_load = kNotMeasured; // percent
    float cpu_temp = kNotMeasured; // degrees Celsius
    std::uint64_t ram_total = 0;   // KB (1024 bytes)
    std::uint64_t ram_used = 0;    // KB
    std::uint64_t ram_avail = 0;   // KB
    float ram_used_pct = kNotMeasured;
    float ram_avail_pct = kNotMeasured;
    std::uint64_t storage_total = 0; // KB
    std::uint64_t storage_used = 0;  // KB, space reserved for the superuser included
    std::uint64_t storage_avail = 0; // KB available to unprivileged users
    float storage_used_pct = kNotMeasured;
    float storage_avail_pct = kNotMeasured;
};
