// The status screen: layout, number formats and size scaling.
//
// The float precision is a property of the stream that outlives a screen: some lines set it just
// before their float and others (the CPU load, the buffer total) print with whatever the line
// before them, or the previous screen, left behind. That carry-over is part of the screen's
// format: the CPU load shows 6 significant digits on the first screen and 4 on every later one.
#include "monitoring/monitoring.hpp"

#include <boost/date_time/posix_time/posix_time.hpp>

#include "log/logger.hpp"

const std::map<sz_scale, const char*> Monitoring::scale_names = {
    {sz_scale::B, "B"},   {sz_scale::KB, "KB"}, {sz_scale::MB, "MB"},
    {sz_scale::GB, "GB"}, {sz_scale::TB, "TB"},
};

namespace {

namespace color = logger::color;

constexpr std::streamsize kPercentPrecision = 3; // significant digits of host and buffer figures
constexpr std::streamsize kRatePrecision = 4;    // significant digits of scaled traffic figures
constexpr double kKiB = 1024.0;                  // bytes

void header(std::ostream& out, const char* text) {
    out << color::green << text << color::reset << std::endl;
}

// Colours are written whatever the logger's switch says: the screen is only drawn on request, on
// a terminal.
template <typename T> void in_colour(std::ostream& out, const char* colour, const T& value) {
    if (colour != nullptr) {
        out << colour << value << color::reset;
    } else {
        out << value;
    }
}

void activity_line(std::ostream& out, bool active) {
    out << "  Is Active\t\t: ";
    if (active) {
        in_colour(out, color::boldgreen, "YES");
    } else {
        in_colour(out, color::boldred, "NO");
    }
    out << std::endl;
}

// A link date equal to the record's creation date has not happened since the record was made.
void link_date_line(std::ostream& out, const char* label, const boost::posix_time::ptime& date,
                    const boost::posix_time::ptime& created, const char* colour) {
    out << label;
    if (date == created) {
        out << "-";
    } else {
        in_colour(out, colour, date);
    }
    out << std::endl;
}

void duration_line(std::ostream& out, const char* label, const boost::posix_time::time_duration& d,
                   const char* colour) {
    out << label;
    if (d.is_not_a_date_time()) {
        out << "-";
    } else {
        in_colour(out, colour, d);
    }
    out << std::endl;
}

void scaled_size(std::ostream& out, unsigned long bytes) {
    float value = 0.0F;
    sz_scale scale = sz_scale::B;
    Monitoring::get_formatted_size_value(bytes, &value, &scale);
    out << value << " " << Monitoring::scale_names.at(scale);
}

// "<size> <unit> (<size rate> <unit>/s)" of the traffic lines.
void traffic(std::ostream& out, unsigned long bytes, unsigned long bytes_per_sec) {
    out.precision(kRatePrecision);
    scaled_size(out, bytes);
    out << " (";
    scaled_size(out, bytes_per_sec);
    out << "/s)";
}

void kb_lines(std::ostream& out, std::uint64_t total, std::uint64_t used, float used_pct,
              std::uint64_t avail, float avail_pct) {
    out << "  Total\t\t\t: " << total << " KB" << std::endl;
    out.precision(kPercentPrecision);
    out << "  Used\t\t\t: " << used << " KB (" << used_pct << " %)" << std::endl;
    out.precision(kPercentPrecision);
    out << "  Available\t\t: " << avail << " KB (" << avail_pct << " %)" << std::endl;
}

void service_block(std::ostream& out, const SystemStats& sys) {
    header(out, "==> SERVICE INFOS");
    out << "  Start date\t\t: ";
    if (sys.start_date.is_not_a_date_time()) {
        out << "-";
    } else {
        out << sys.start_date;
    }
    out << std::endl;
    out << "  Duration\t\t: ";
    if (sys.duration.is_not_a_date_time()) {
        out << "-";
    } else {
        out << sys.duration;
    }
    out << std::endl;
}

void host_blocks(std::ostream& out, const SystemStats& sys) {
    header(out, "==> CPU INFOS");
    out << "  Load\t\t\t: " << sys.cpu_load << " %" << std::endl;
    out.precision(kPercentPrecision);
    out << "  Temperature\t\t: " << sys.cpu_temp << " \xC2\xB0"
        << "C" << std::endl;
    header(out, "==> RAM INFOS");
    kb_lines(out, sys.ram_total, sys.ram_used, sys.ram_used_pct, sys.ram_avail, sys.ram_avail_pct);
    header(out, "==> STORAGE INFOS");
    kb_lines(out, sys.storage_total, sys.storage_used, sys.storage_used_pct, sys.storage_avail,
             sys.storage_avail_pct);
}

void buffer_block(std::ostream& out, const SyncMappedQueueStats& q) {
    header(out, "==> BUFFERS (DISK) ex: sd-card");
    out << "  Total\t\t\t: ";
    scaled_size(out, q.total_bytes);
    out << std::endl;
    out.precision(kPercentPrecision);
    out << "  Used\t\t\t: ";
    scaled_size(out, q.used_bytes);
    out << " (" << q.used_pct << " %)" << std::endl;
    out.precision(kPercentPrecision);
    out << "  Available\t\t: ";
    scaled_size(out, q.free_bytes);
    out << " (" << q.free_pct << " %)" << std::endl;
}

void ethernet_block(std::ostream& out, const UDPStats& u) {
    const char* const while_active = u.is_active ? color::boldgreen : nullptr;
    const char* const while_inactive = u.is_active ? nullptr : color::boldred;

    header(out, "==> ETHERNET INFOS");
    activity_line(out, u.is_active);
    duration_line(out, "  Total Act duration\t: ", u.total_act_duration, nullptr);
    duration_line(out, "  Total Inact duration\t: ", u.total_inact_duration, nullptr);
    link_date_line(out, "  Last start date\t: ", u.last_start_date, u.start_date, while_active);
    link_date_line(out, "  Last stop date\t: ", u.last_stop_date, u.start_date, while_inactive);
    duration_line(out, "  Activity duration\t: ", u.act_duration, while_active);
    duration_line(out, "  Inactivity duration\t: ", u.inact_duration, while_inactive);
    out << "  Loss Act count\t: ";
    Monitoring::print_err_cnt(u.loss_act_cnt, out);
    out << std::endl;

    out << "  OUT [->]\t\t: " << u.pkt_sent_cnt << " pkts (" << u.pkt_sent_cnt_per_sec
        << " pps) - ";
    traffic(out, u.bytes_sent_cnt, u.bytes_sent_cnt_per_sec);
    out << std::endl;
    out << "  IN  [<-]\t\t: " << u.pkt_rcvd_cnt << " pkts (" << u.pkt_rcvd_cnt_per_sec
        << " pps) - ";
    traffic(out, u.bytes_rcvd_cnt, u.bytes_rcvd_cnt_per_sec);
    out << std::endl;
    out << "  Errors\t\t: " << u.pkt_err_cnt << " errors (" << u.pkt_err_cnt_per_sec << " errors/s)"
        << std::endl;
}

void fip_block(std::ostream& out, const FIPStats& f) {
    const char* const while_active = f.is_active ? color::boldgreen : nullptr;
    const char* const while_inactive = f.is_active ? nullptr : color::boldred;

    header(out, "==> FIP INFOS");
    activity_line(out, f.is_active);
    duration_line(out, "  Total Act duration\t: ", f.total_act_duration, nullptr);
    duration_line(out, "  Total Inact duration\t: ", f.total_inact_duration, nullptr);
    link_date_line(out, "  Last start date\t: ", f.last_start_date, f.init_date, while_active);
    link_date_line(out, "  Last stop date\t: ", f.last_stop_date, f.init_date, while_inactive);
    duration_line(out, "  Last Act duration\t: ", f.last_act_duration, while_active);
    duration_line(out, "  Last Inact duration\t: ", f.last_inact_duration, while_inactive);
    out << "  Loss Act count\t: ";
    Monitoring::print_err_cnt(f.loss_act_cnt, out);
    out << std::endl;

    out << "  IN  [<-]\t\t: " << f.frame_rcvd_cnt << " frames (" << f.frame_rcvd_cnt_per_sec
        << " fps) - ";
    traffic(out, f.bytes_rcvd_cnt, f.bytes_rcvd_cnt_per_sec);
    out << std::endl;
    out << "  Loss Continuity event\t: ";
    Monitoring::print_err_cnt(f.loss_cont_evt_cnt, out);
    out << " (";
    Monitoring::print_err_cnt(f.lost_frame_cnt, out);
    out << " lost frames)" << std::endl;
}

} // namespace

void Monitoring::write_screen(std::ostream& out, const Snapshots& s, unsigned long lifesign_period,
                              std::uint64_t lifesign_cnt) {
    service_block(out, s.sys_stats);
    host_blocks(out, s.sys_stats);
    buffer_block(out, s.fip_stats.queue_stats);
    ethernet_block(out, s.udp_stats);
    fip_block(out, s.fip_stats);
    // The period follows the reset: only the header text is green.
    out << color::green << "==> LIFESIGN INFOS " << color::reset << "(T=" << lifesign_period
        << "ms)" << std::endl;
    out << "  Counter\t\t: " << lifesign_cnt << std::endl;
}

sz_scale Monitoring::get_size_scale(unsigned long bytes) {
    const double x = static_cast<float>(bytes);
    if (x / (kKiB * kKiB * kKiB * kKiB) > 1.0) {
        return sz_scale::TB;
    }
    if (x / (kKiB * kKiB * kKiB) > 1.0) {
        return sz_scale::GB;
    }
    if (x / (kKiB * kKiB) > 1.0) {
        return sz_scale::MB;
    }
    if (x / kKiB > 1.0) {
        return sz_scale::KB;
    }
    return sz_scale::B;
}

void Monitoring::get_formatted_size_value(unsigned long bytes, float* value, sz_scale* scale) {
    if (value == nullptr || scale == nullptr) {
        return;
    }
    const float x = static_cast<float>(bytes);
    *scale = get_size_scale(bytes);
    switch (*scale) {
    case sz_scale::B:
        *value = x;
        break;
    case sz_scale::KB:
        *value = x / static_cast<float>(kKiB);
        break;
    case sz_scale::MB:
        *value = static_cast<float>(static_cast<double>(x) / kKiB / kKiB);
        break;
    case sz_scale::GB:
        *value = static_cast<float>(static_cast<double>(x) / kKiB / kKiB / kKiB);
        break;
    case sz_scale::TB:
        *value = static_cast<float>(static_cast<double>(x) / kKiB / kKiB / kKiB / kKiB);
        break;
    }
}

void Monitoring::print_err_cnt(unsigned long count, std::ostream& out) {
    in_colour(out, count != 0 ? color::boldred : nullptr, count);
}

void Monitoring::print_err_cnt(long count, std::ostream& out) {
    in_colour(out, count != 0 ? color::boldred : nullptr, count);
}
