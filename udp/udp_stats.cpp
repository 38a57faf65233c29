#include "udp/udp_stats.hpp"

#include <boost/date_time/posix_time/posix_time.hpp>

UDPStats::UDPStats() {
    const auto now = boost::posix_time::microsec_clock::local_time();
    last_start_date = last_stop_date = start_date = now;
    act_duration = now - last_start_date;
    inact_duration = now - last_stop_date;
    total_act_duration = total_inact_duration = boost::posix_time::time_duration(0, 0, 0, 0);
}
