#include "tools/fipdump/output/metrics.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>
#include <sstream>
#include <string_view>
#include <variant>
#include <vector>

#include "tools/fipdump/analysis/gateways.hpp"
#include "tools/fipdump/version.hpp"
#include "wire/lifesign_fields.hpp"

namespace fipdump {

namespace {

constexpr double kBytesPerKB = 1024.0;         // host sizes travel in KB
constexpr double kBytesPerBufferUnit = 1000.0; // buffer sizes travel in thousands of bytes
constexpr double kMicrosPerSecond = 1e6;
constexpr double kPercent = 100.0;

using L = wire::LifesignRecord;

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

// A field in base units: bytes, seconds, ratios 0-1, flags 0 or 1. A date becomes the time from
// it to the lifesign that reports it: both are the gateway's local wall-clock time, whose offset
// from UTC fipdump does not know, so their difference is a true duration where either date alone
// published as Unix time would be off by the zone. None for a date that never happened (0).
std::optional<double> base_value(const L& l, const wire::LifesignField& f) {
    const wire::LifesignValue raw = wire::lifesign_value(l, f);
    if (f.unit == wire::Unit::date) {
        const std::int64_t date = std::get<std::int64_t>(raw);
        if (date == 0) {
            return std::nullopt;
        }
        return double(l.date_us - date) / kMicrosPerSecond;
    }
    const double v = std::visit([](auto x) { return double(x); }, raw);
    switch (f.unit) {
    case wire::Unit::percent:
        return v / kPercent;
    case wire::Unit::kib:
        return v * kBytesPerKB;
    case wire::Unit::thousand_bytes:
        return v * kBytesPerBufferUnit;
    case wire::Unit::duration:
        return v / kMicrosPerSecond;
    case wire::Unit::flag:
        return double(v != 0);
    default:
        return v;
    }
}

// The fields published as samples of `family`, in the order they are published.
std::vector<const wire::LifesignField*> samples_of(const wire::SharedFamily& family) {
    std::vector<const wire::LifesignField*> out;
    for (const wire::LifesignField& f : wire::kLifesignFields) {
        if (f.metric.shared == &family) {
            out.push_back(&f);
        }
    }
    if (family.by_label) {
        std::stable_sort(out.begin(), out.end(), [](const auto* a, const auto* b) {
            return a->metric.sample < b->metric.sample;
        });
    }
    return out;
}

const char* type_name(wire::MetricType type) {
    return type == wire::MetricType::counter ? "counter" : "gauge";
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

void head(std::ostringstream& o, std::string_view name, const char* type, std::string_view help) {
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
    for (const wire::LifesignField& f : wire::kLifesignFields) {
        if (f.metric.type == wire::MetricType::none) {
            continue;
        }
        head(o, f.metric.name, type_name(f.metric.type), f.metric.help);
        for (const Gateway* g : live) {
            if (const auto v = base_value(*g->lifesign, f)) {
                o << f.metric.name << "{gateway=" << quoted(g->label) << "} " << number(*v) << "\n";
            }
        }
    }
    for (const wire::SharedFamily* f : wire::kSharedFamilies) {
        const std::vector<const wire::LifesignField*> samples = samples_of(*f);
        head(o, f->name, type_name(f->type), f->help);
        for (const Gateway* g : live) {
            for (const wire::LifesignField* s : samples) {
                o << f->name << "{gateway=" << quoted(g->label) << "," << f->label << "=\""
                  << s->metric.sample << "\"} ";
                std::visit([&o](auto v) { o << v; }, wire::lifesign_value(*g->lifesign, *s));
                o << "\n";
            }
        }
    }
    return o.str();
}

std::string render_metrics(const Summary& summary) {
    return render_metrics(summary, std::chrono::system_clock::now());
}

} // namespace fipdump
