#include "tools/fipdump/metrics.hpp"

#include <cmath>
#include <cstdio>
#include <functional>
#include <optional>
#include <sstream>
#include <vector>

#include "tools/fipdump/gateways.hpp"
#include "tools/fipdump/version.hpp"

namespace fipdump {

namespace {

constexpr double kBytesPerKB = 1024.0;         // host sizes travel in KB
constexpr double kBytesPerBufferUnit = 1000.0; // buffer sizes travel in thousands of bytes
constexpr double kMicrosPerSecond = 1e6;
constexpr double kPercent = 100.0;

using L = wire::LifesignRecord;
using Value = std::function<std::optional<double>(const L&)>;

std::string number(double v) {
    if (std::isnan(v)) {
        return "NaN";
    }
    char text[48];
    std::snprintf(text, sizeof text, "%.17g", v);
    return text;
}

double unix_seconds(std::chrono::system_clock::time_point t) {
    return std::chrono::duration<double>(t.time_since_epoch()).count();
}

// The time from a dated event to the lifesign that reports it. Both dates are the gateway's
// local wall-clock time, whose offset from UTC fipdump does not know: their difference is a
// true duration, where either date alone published as Unix time would be off by the zone.
Value age(std::int64_t L::*date) {
    return [date](const L& l) -> std::optional<double> {
        if (l.*date == 0) {
            return std::nullopt; // never happened
        }
        return double(l.date_us - l.*date) / kMicrosPerSecond;
    };
}

struct Family {
    const char* name;
    const char* type; // "gauge" or "counter"
    const char* help;
    Value value;
};

const std::vector<Family>& lifesign_families() {
    static const std::vector<Family> families = {
        {"fipgate_lifesign_records_total", "counter", "Lifesign records built by the gateway",
         [](const L& l) { return double(l.lifesign_cnt); }},
        {"fipgate_cpu_load_ratio", "gauge", "CPU load over the last second (0-1)",
         [](const L& l) { return double(l.cpu_load) / kPercent; }},
        {"fipgate_cpu_temperature_celsius", "gauge", "CPU temperature",
         [](const L& l) { return double(l.cpu_temp); }},
        {"fipgate_storage_total_bytes", "gauge", "Storage size",
         [](const L& l) { return l.storage_total * kBytesPerKB; }},
        {"fipgate_storage_used_bytes", "gauge", "Storage used",
         [](const L& l) { return l.storage_used * kBytesPerKB; }},
        {"fipgate_storage_available_bytes", "gauge", "Storage available",
         [](const L& l) { return l.storage_avail * kBytesPerKB; }},
        {"fipgate_storage_used_ratio", "gauge", "Storage used (0-1)",
         [](const L& l) { return double(l.storage_used_pct) / kPercent; }},
        {"fipgate_ram_total_bytes", "gauge", "RAM size",
         [](const L& l) { return l.ram_total * kBytesPerKB; }},
        {"fipgate_ram_used_bytes", "gauge", "RAM used",
         [](const L& l) { return l.ram_used * kBytesPerKB; }},
        {"fipgate_ram_available_bytes", "gauge", "RAM available",
         [](const L& l) { return l.ram_avail * kBytesPerKB; }},
        {"fipgate_ram_used_ratio", "gauge", "RAM used (0-1)",
         [](const L& l) { return double(l.ram_used_pct) / kPercent; }},
        {"fipgate_buffer_total_bytes", "gauge", "Event buffer size (to the nearest 1000 bytes)",
         [](const L& l) { return l.buffer_total_k * kBytesPerBufferUnit; }},
        {"fipgate_buffer_used_bytes", "gauge", "Event buffer used (to the nearest 1000 bytes)",
         [](const L& l) { return l.buffer_used_k * kBytesPerBufferUnit; }},
        {"fipgate_buffer_free_bytes", "gauge", "Event buffer free (to the nearest 1000 bytes)",
         [](const L& l) { return l.buffer_free_k * kBytesPerBufferUnit; }},
        {"fipgate_buffer_used_ratio", "gauge", "Event buffer used (0-1)",
         [](const L& l) { return double(l.buffer_used_pct) / kPercent; }},
        {"fipgate_udp_active", "gauge", "UDP link active (1) or not (0)",
         [](const L& l) { return double(l.udp_is_active != 0); }},
        {"fipgate_udp_active_seconds_total", "counter", "UDP link total activity",
         [](const L& l) { return l.udp_total_act_duration_us / kMicrosPerSecond; }},
        {"fipgate_udp_inactive_seconds_total", "counter", "UDP link total inactivity",
         [](const L& l) { return l.udp_total_inact_duration_us / kMicrosPerSecond; }},
        {"fipgate_udp_last_start_age_seconds", "gauge",
         "Time from the UDP link's last start to the last lifesign",
         age(&L::udp_last_start_date_us)},
        {"fipgate_udp_last_stop_age_seconds", "gauge",
         "Time from the UDP link's last stop to the last lifesign", age(&L::udp_last_stop_date_us)},
        {"fipgate_udp_activity_seconds", "gauge", "UDP link current or last activity period",
         [](const L& l) { return l.udp_act_duration_us / kMicrosPerSecond; }},
        {"fipgate_udp_inactivity_seconds", "gauge", "UDP link current or last inactivity period",
         [](const L& l) { return l.udp_inact_duration_us / kMicrosPerSecond; }},
        {"fipgate_udp_activity_losses_total", "counter", "UDP link losses of activity (16 bits)",
         [](const L& l) { return double(l.udp_loss_act_cnt); }},
        {"fipgate_udp_received_datagrams_total", "counter", "Datagrams received by the gateway",
         [](const L& l) { return double(l.udp_pkt_rcvd_cnt); }},
        {"fipgate_udp_received_bytes_per_second", "gauge", "Bytes received last second",
         [](const L& l) { return double(l.udp_bytes_rcvd_cnt_per_sec); }},
        {"fipgate_udp_sent_datagrams_total", "counter", "Datagrams sent by the gateway",
         [](const L& l) { return double(l.udp_pkt_sent_cnt); }},
        {"fipgate_udp_sent_bytes_per_second", "gauge", "Bytes sent last second",
         [](const L& l) { return double(l.udp_bytes_sent_cnt_per_sec); }},
        {"fipgate_fip_active", "gauge", "Fieldbus link active (1) or not (0)",
         [](const L& l) { return double(l.fip_is_active != 0); }},
        {"fipgate_fip_active_seconds_total", "counter", "Fieldbus link total activity",
         [](const L& l) { return l.fip_total_act_duration_us / kMicrosPerSecond; }},
        {"fipgate_fip_inactive_seconds_total", "counter", "Fieldbus link total inactivity",
         [](const L& l) { return l.fip_total_inact_duration_us / kMicrosPerSecond; }},
        {"fipgate_fip_last_start_age_seconds", "gauge",
         "Time from the fieldbus link's last start to the last lifesign",
         age(&L::fip_last_start_date_us)},
        {"fipgate_fip_last_stop_age_seconds", "gauge",
         "Time from the fieldbus link's last stop to the last lifesign",
         age(&L::fip_last_stop_date_us)},
        {"fipgate_fip_activity_seconds", "gauge", "Fieldbus link last activity period",
         [](const L& l) { return l.fip_last_act_duration_us / kMicrosPerSecond; }},
        {"fipgate_fip_inactivity_seconds", "gauge", "Fieldbus link last inactivity period",
         [](const L& l) { return l.fip_last_inact_duration_us / kMicrosPerSecond; }},
        {"fipgate_fip_activity_losses_total", "counter", "Fieldbus losses of activity (16 bits)",
         [](const L& l) { return double(l.fip_loss_act_cnt); }},
        {"fipgate_fip_frames_total", "counter", "Capture records received from the card",
         [](const L& l) { return double(l.fip_frame_rcvd_cnt); }},
        {"fipgate_fip_bytes_per_second", "gauge", "Fieldbus bytes counted last second",
         [](const L& l) { return double(l.fip_bytes_rcvd_cnt_per_sec); }},
    };
    return families;
}

// A family whose samples differ by one more label: the frame checks, the status bits.
struct LabelledFamily {
    const char* name;
    const char* help;
    const char* label;
    std::vector<std::pair<const char*, std::uint64_t L::*>> values;
};

const LabelledFamily labelled_families[] = {
    {"fipgate_bad_frames_total",
     "Frames that failed a check: control byte, FCS, PDU type, length",
     "check",
     {{"control", &L::bad_ctrl_cnt},
      {"fcs", &L::bad_fcs_cnt},
      {"pdu", &L::bad_pdu_cnt},
      {"length", &L::bad_len_cnt}}},
    {"fipgate_status_bit_records_total",
     "Capture records with a status bit set (bits 1 and 2 counted together)",
     "bit",
     {{"0", &L::st0_cnt},
      {"1_2", &L::st12_cnt},
      {"3", &L::st3_cnt},
      {"4", &L::st4_cnt},
      {"5", &L::st5_cnt},
      {"6", &L::st6_cnt}}},
};

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

// Label values are addresses and numbers, but escaped all the same.
std::string quoted(const std::string& v) {
    std::string out = "\"";
    for (const char c : v) {
        if (c == '\\' || c == '"') {
            out += '\\';
        }
        out += c == '\n' ? 'n' : c;
    }
    return out + "\"";
}

} // namespace

std::string render_metrics(const Summary& summary, std::chrono::system_clock::time_point now) {
    const std::vector<Gateway> gws = gateways(summary, now);
    std::ostringstream o;
    head(o, "fipgate_dump_build_info", "gauge", "fipdump's version");
    o << "fipgate_dump_build_info{version=" << quoted(kVersion) << "} 1\n";
    head(o, "fipgate_dump_kernel_drops_total", "counter",
         "Datagrams the kernel dropped on fipdump's socket");
    o << "fipgate_dump_kernel_drops_total " << summary.kernel_drops.value_or(0) << "\n";
    for (const OwnFamily& f : own_families) {
        head(o, f.name, "counter", f.help);
        for (const Gateway& g : gws) {
            o << f.name << "{gateway=" << quoted(g.label) << "} " << g.counts.*f.field << "\n";
        }
    }
    head(o, "fipgate_gateway_up", "gauge",
         "1 while the gateway's lifesigns arrive within 3 lifesign periods, else 0");
    for (const Gateway& g : gws) {
        o << "fipgate_gateway_up{gateway=" << quoted(g.label) << "} " << (g.up ? 1 : 0) << "\n";
    }
    head(o, "fipgate_gateway_last_seen_timestamp_seconds", "gauge",
         "When fipdump last received a datagram of the gateway (Unix time)");
    for (const Gateway& g : gws) {
        o << "fipgate_gateway_last_seen_timestamp_seconds{gateway=" << quoted(g.label) << "} "
          << number(unix_seconds(g.counts.last_seen)) << "\n";
    }
    // The lifesign's figures are published only while they are current.
    std::vector<const Gateway*> live;
    for (const Gateway& g : gws) {
        if (g.up && g.lifesign) {
            live.push_back(&g);
        }
    }
    head(o, "fipgate_card_info", "gauge",
         "The capture card: serial number, FCS type of the last record, auxiliary code");
    for (const Gateway* g : live) {
        const L& l = *g->lifesign;
        o << "fipgate_card_info{gateway=" << quoted(g->label)
          << ",serial=" << quoted(std::to_string(l.sn))
          << ",fcs_type=" << quoted(std::to_string(l.fip_fcs_type))
          << ",aux_code=" << quoted(std::to_string(l.fip_aux_code)) << "} 1\n";
    }
    head(o, "fipgate_gateway_clock_offset_seconds", "gauge",
         "The gateway's local wall-clock time less the Unix time of reception of its last "
         "lifesign (time zone, clock error and transit)");
    for (const Gateway* g : live) {
        o << "fipgate_gateway_clock_offset_seconds{gateway=" << quoted(g->label) << "} "
          << number(double(g->lifesign->date_us -
                           std::chrono::duration_cast<std::chrono::microseconds>(
                               g->counts.last_lifesign_at.time_since_epoch())
                               .count()) /
                    kMicrosPerSecond)
          << "\n";
    }
    for (const Family& f : lifesign_families()) {
        head(o, f.name, f.type, f.help);
        for (const Gateway* g : live) {
            if (const auto v = f.value(*g->lifesign)) {
                o << f.name << "{gateway=" << quoted(g->label) << "} " << number(*v) << "\n";
            }
        }
    }
    for (const LabelledFamily& f : labelled_families) {
        head(o, f.name, "counter", f.help);
        for (const Gateway* g : live) {
            for (const auto& [value, field] : f.values) {
                o << f.name << "{gateway=" << quoted(g->label) << "," << f.label << "=\"" << value
                  << "\"} " << (*g->lifesign).*field << "\n";
            }
        }
    }
    return o.str();
}

std::string render_metrics(const Summary& summary) {
    return render_metrics(summary, std::chrono::system_clock::now());
}

} // namespace fipdump
