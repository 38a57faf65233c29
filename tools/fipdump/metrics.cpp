#include "tools/fipdump/metrics.hpp"

#include <cmath>
#include <cstdio>
#include <functional>
#include <sstream>
#include <vector>

#include "tools/fipdump/fields.hpp"

namespace fipdump {

namespace {

constexpr double kBytesPerKB = 1024.0;         // host sizes travel in KB
constexpr double kBytesPerBufferUnit = 1000.0; // buffer sizes travel in thousands of bytes
constexpr double kMicrosPerSecond = 1e6;

std::string number(double v) {
    if (std::isnan(v)) {
        return "NaN";
    }
    char text[48];
    std::snprintf(text, sizeof text, "%.17g", v);
    return text;
}

struct Family {
    const char* name;
    const char* type; // "gauge" or "counter"
    const char* help;
    std::function<double(const wire::LifesignRecord&)> value;
};

const std::vector<Family>& lifesign_families() {
    using L = wire::LifesignRecord;
    static const std::vector<Family> families = {
        {"fipgate_lifesign_records_total", "counter", "Lifesign records built by the gateway",
         [](const L& l) { return double(l.lifesign_cnt); }},
        {"fipgate_lifesign_date_seconds", "gauge",
         "Date of the last lifesign record (gateway local time as seconds since 1970)",
         [](const L& l) { return double(l.date_us) / kMicrosPerSecond; }},
        {"fipgate_card_serial_number", "gauge", "Serial number of the capture card",
         [](const L& l) { return double(l.sn); }},
        {"fipgate_cpu_load_percent", "gauge", "CPU load over the last second",
         [](const L& l) { return double(l.cpu_load); }},
        {"fipgate_cpu_temperature_celsius", "gauge", "CPU temperature",
         [](const L& l) { return double(l.cpu_temp); }},
        {"fipgate_storage_total_bytes", "gauge", "Storage size",
         [](const L& l) { return l.storage_total * kBytesPerKB; }},
        {"fipgate_storage_used_bytes", "gauge", "Storage used",
         [](const L& l) { return l.storage_used * kBytesPerKB; }},
        {"fipgate_storage_available_bytes", "gauge", "Storage available",
         [](const L& l) { return l.storage_avail * kBytesPerKB; }},
        {"fipgate_storage_used_percent", "gauge", "Storage used",
         [](const L& l) { return double(l.storage_used_pct); }},
        {"fipgate_ram_total_bytes", "gauge", "RAM size",
         [](const L& l) { return l.ram_total * kBytesPerKB; }},
        {"fipgate_ram_used_bytes", "gauge", "RAM used",
         [](const L& l) { return l.ram_used * kBytesPerKB; }},
        {"fipgate_ram_available_bytes", "gauge", "RAM available",
         [](const L& l) { return l.ram_avail * kBytesPerKB; }},
        {"fipgate_ram_used_percent", "gauge", "RAM used",
         [](const L& l) { return double(l.ram_used_pct); }},
        {"fipgate_buffer_total_bytes", "gauge", "Event buffer size (to the nearest 1000 bytes)",
         [](const L& l) { return l.buffer_total_k * kBytesPerBufferUnit; }},
        {"fipgate_buffer_used_bytes", "gauge", "Event buffer used (to the nearest 1000 bytes)",
         [](const L& l) { return l.buffer_used_k * kBytesPerBufferUnit; }},
        {"fipgate_buffer_free_bytes", "gauge", "Event buffer free (to the nearest 1000 bytes)",
         [](const L& l) { return l.buffer_free_k * kBytesPerBufferUnit; }},
        {"fipgate_buffer_used_percent", "gauge", "Event buffer used",
         [](const L& l) { return double(l.buffer_used_pct); }},
        {"fipgate_udp_active", "gauge", "UDP link active (1) or not (0)",
         [](const L& l) { return double(l.udp_is_active != 0); }},
        {"fipgate_udp_active_seconds_total", "counter", "UDP link total activity",
         [](const L& l) { return l.udp_total_act_duration_us / kMicrosPerSecond; }},
        {"fipgate_udp_inactive_seconds_total", "counter", "UDP link total inactivity",
         [](const L& l) { return l.udp_total_inact_duration_us / kMicrosPerSecond; }},
        {"fipgate_udp_last_start_date_seconds", "gauge", "UDP link last start (local time)",
         [](const L& l) { return l.udp_last_start_date_us / kMicrosPerSecond; }},
        {"fipgate_udp_last_stop_date_seconds", "gauge", "UDP link last stop (local time)",
         [](const L& l) { return l.udp_last_stop_date_us / kMicrosPerSecond; }},
        {"fipgate_udp_activity_seconds", "gauge", "UDP link current or last activity period",
         [](const L& l) { return l.udp_act_duration_us / kMicrosPerSecond; }},
        {"fipgate_udp_inactivity_seconds", "gauge", "UDP link current or last inactivity period",
         [](const L& l) { return l.udp_inact_duration_us / kMicrosPerSecond; }},
        {"fipgate_udp_activity_losses_total", "counter", "UDP link losses of activity (16 bits)",
         [](const L& l) { return double(l.udp_loss_act_cnt); }},
        {"fipgate_udp_received_datagrams_total", "counter", "Datagrams received by the gateway",
         [](const L& l) { return double(l.udp_pkt_rcvd_cnt); }},
        {"fipgate_udp_received_datagrams_per_second", "gauge", "Datagrams received last second",
         [](const L& l) { return double(l.udp_pkt_rcvd_cnt_per_sec); }},
        {"fipgate_udp_received_bytes_per_second", "gauge", "Bytes received last second",
         [](const L& l) { return double(l.udp_bytes_rcvd_cnt_per_sec); }},
        {"fipgate_udp_sent_datagrams_total", "counter", "Datagrams sent by the gateway",
         [](const L& l) { return double(l.udp_pkt_sent_cnt); }},
        {"fipgate_udp_sent_datagrams_per_second", "gauge", "Datagrams sent last second",
         [](const L& l) { return double(l.udp_pkt_sent_cnt_per_sec); }},
        {"fipgate_udp_sent_bytes_per_second", "gauge", "Bytes sent last second",
         [](const L& l) { return double(l.udp_bytes_sent_cnt_per_sec); }},
        {"fipgate_fip_active", "gauge", "Fieldbus link active (1) or not (0)",
         [](const L& l) { return double(l.fip_is_active != 0); }},
        {"fipgate_fip_active_seconds_total", "counter", "Fieldbus link total activity",
         [](const L& l) { return l.fip_total_act_duration_us / kMicrosPerSecond; }},
        {"fipgate_fip_inactive_seconds_total", "counter", "Fieldbus link total inactivity",
         [](const L& l) { return l.fip_total_inact_duration_us / kMicrosPerSecond; }},
        {"fipgate_fip_last_start_date_seconds", "gauge", "Fieldbus link last start (local time)",
         [](const L& l) { return l.fip_last_start_date_us / kMicrosPerSecond; }},
        {"fipgate_fip_last_stop_date_seconds", "gauge", "Fieldbus link last stop (local time)",
         [](const L& l) { return l.fip_last_stop_date_us / kMicrosPerSecond; }},
        {"fipgate_fip_activity_seconds", "gauge", "Fieldbus link last activity period",
         [](const L& l) { return l.fip_last_act_duration_us / kMicrosPerSecond; }},
        {"fipgate_fip_inactivity_seconds", "gauge", "Fieldbus link last inactivity period",
         [](const L& l) { return l.fip_last_inact_duration_us / kMicrosPerSecond; }},
        {"fipgate_fip_activity_losses_total", "counter", "Fieldbus losses of activity (16 bits)",
         [](const L& l) { return double(l.fip_loss_act_cnt); }},
        {"fipgate_fip_frames_total", "counter", "Capture records received from the card",
         [](const L& l) { return double(l.fip_frame_rcvd_cnt); }},
        {"fipgate_fip_frames_per_second", "gauge", "Capture records received last second",
         [](const L& l) { return double(l.fip_frame_rcvd_cnt_per_sec); }},
        {"fipgate_fip_bytes_per_second", "gauge", "Fieldbus bytes counted last second",
         [](const L& l) { return double(l.fip_bytes_rcvd_cnt_per_sec); }},
        {"fipgate_fip_fcs_type", "gauge", "FCS type of the last capture record",
         [](const L& l) { return double(l.fip_fcs_type); }},
        {"fipgate_card_aux_code", "gauge", "Auxiliary code byte of the capture card",
         [](const L& l) { return double(l.fip_aux_code); }},
        {"fipgate_status_bit0_records_total", "counter", "Capture records with status bit 0",
         [](const L& l) { return double(l.st0_cnt); }},
        {"fipgate_status_bit12_records_total", "counter", "Capture records with status bit 1 or 2",
         [](const L& l) { return double(l.st12_cnt); }},
        {"fipgate_status_bit3_records_total", "counter", "Capture records with status bit 3",
         [](const L& l) { return double(l.st3_cnt); }},
        {"fipgate_status_bit4_records_total", "counter", "Capture records with status bit 4",
         [](const L& l) { return double(l.st4_cnt); }},
        {"fipgate_status_bit5_records_total", "counter", "Capture records with status bit 5",
         [](const L& l) { return double(l.st5_cnt); }},
        {"fipgate_status_bit6_records_total", "counter", "Capture records with status bit 6",
         [](const L& l) { return double(l.st6_cnt); }},
        {"fipgate_bad_control_frames_total", "counter", "Frames with an invalid control byte",
         [](const L& l) { return double(l.bad_ctrl_cnt); }},
        {"fipgate_bad_fcs_frames_total", "counter", "Frames with an invalid FCS",
         [](const L& l) { return double(l.bad_fcs_cnt); }},
        {"fipgate_bad_pdu_frames_total", "counter", "Frames with an invalid PDU type",
         [](const L& l) { return double(l.bad_pdu_cnt); }},
        {"fipgate_bad_length_frames_total", "counter", "Frames with an invalid length",
         [](const L& l) { return double(l.bad_len_cnt); }},
    };
    return families;
}

struct OwnFamily {
    const char* name;
    const char* help;
    std::uint64_t SenderCounts::*field;
};

const OwnFamily own_families[] = {
    {"fipgate_dump_datagrams_total", "Datagrams received by fipdump", &SenderCounts::datagrams},
    {"fipgate_dump_bytes_total", "Payload bytes received by fipdump", &SenderCounts::bytes},
    {"fipgate_dump_events_total", "Events decoded by fipdump", &SenderCounts::events},
    {"fipgate_dump_capture_records_total", "Capture records decoded", &SenderCounts::capture},
    {"fipgate_dump_lifesign_records_total", "Lifesign records decoded", &SenderCounts::lifesign},
    {"fipgate_dump_lost_datagrams_total", "Datagram sequence numbers never received",
     &SenderCounts::lost_datagrams},
    {"fipgate_dump_malformed_datagrams_total", "Datagrams that failed to decode",
     &SenderCounts::malformed},
    {"fipgate_dump_duplicate_datagrams_total", "Datagrams received twice",
     &SenderCounts::duplicates},
    {"fipgate_dump_reordered_datagrams_total", "Datagrams received after a later one",
     &SenderCounts::reordered},
    {"fipgate_dump_restarts_total", "Gateway restarts or reloads seen", &SenderCounts::restarts},
    {"fipgate_dump_record_index_breaks_total", "Breaks in the capture record index",
     &SenderCounts::index_breaks},
    {"fipgate_dump_lost_records_total", "Capture record indexes skipped",
     &SenderCounts::lost_records},
    {"fipgate_dump_lifesign_breaks_total", "Breaks in the lifesign counter",
     &SenderCounts::lifesign_breaks},
};

void head(std::ostringstream& o, const char* name, const char* type, const char* help) {
    o << "# HELP " << name << " " << help << "\n# TYPE " << name << " " << type << "\n";
}

} // namespace

std::string render_metrics(const Summary& summary) {
    std::ostringstream o;
    for (const OwnFamily& f : own_families) {
        head(o, f.name, "counter", f.help);
        for (const auto& [from, c] : summary.senders) {
            o << f.name << "{gateway=\"" << to_string(from) << "\"} " << c.*f.field << "\n";
        }
    }
    head(o, "fipgate_dump_kernel_drops_total", "counter",
         "Datagrams the kernel dropped on fipdump's socket");
    o << "fipgate_dump_kernel_drops_total " << summary.kernel_drops.value_or(0) << "\n";
    for (const Family& f : lifesign_families()) {
        head(o, f.name, f.type, f.help);
        for (const auto& [from, c] : summary.senders) {
            if (c.last_lifesign) {
                o << f.name << "{gateway=\"" << to_string(from) << "\"} "
                  << number(f.value(*c.last_lifesign)) << "\n";
            }
        }
    }
    return o.str();
}

} // namespace fipdump
