#include "tools/fipdump/output/bus_table.hpp"

#include <algorithm>
#include <cstdio>

#include "tools/fipdump/output/fields.hpp"
#include "tools/fipdump/output/iso_time.hpp"

namespace fipdump {

namespace {

constexpr double kMicrosPerSecond = 1e6;
constexpr double kPercent = 100.0;

std::string format(const char* fmt, auto... args) {
    char text[256];
    std::snprintf(text, sizeof text, fmt, args...);
    return text;
}

unsigned long long ull(std::uint64_t v) {
    return static_cast<unsigned long long>(v);
}

double share(std::uint64_t part, std::uint64_t whole) {
    return whole == 0 ? 0.0 : kPercent * static_cast<double>(part) / static_cast<double>(whole);
}

// Frames per second over the span of receive times; a span under a second counts as one.
double frame_rate(const wire::BusCounters& b) {
    const double span = static_cast<double>(b.last_seen_us - b.first_seen_us) / kMicrosPerSecond;
    return static_cast<double>(b.frames) / std::max(span, 1.0);
}

std::string summary(const GatewayBus& g) {
    const wire::BusCounters& b = g.bus;
    std::string out =
        "gateway " + address_text(g.addr) +
        format("  frames %llu (%.0f/s)  transactions %llu  missing %llu  bad %llu", ull(b.frames),
               frame_rate(b), ull(b.transactions), ull(b.missing), ull(b.bad_frames));
    out +=
        format(" (control %.3f%% fcs %.3f%% pdu %.3f%% length %.3f%%)", share(b.bad[0], b.frames),
               share(b.bad[1], b.frames), share(b.bad[2], b.frames), share(b.bad[3], b.frames));
    out += format("  unknown %llu  breaks %llu  orphans %llu\n", ull(b.unknown_polls),
                  ull(b.breaks), ull(b.orphans));
    out += format("frames by kind: identifier %llu  variable %llu  request-list %llu  message "
                  "%llu  ack/end %llu  unknown %llu\n",
                  ull(b.by_kind[0]), ull(b.by_kind[1]), ull(b.by_kind[2]), ull(b.by_kind[3]),
                  ull(b.by_kind[4]), ull(b.by_kind[5]));
    const wire::ScanTable& s = g.scan;
    if (s.entries.empty()) {
        out += "scan: not learned yet\n";
    } else {
        out += format("scan: %zu periodic identifiers, macrocycle ", s.entries.size());
        out += s.macrocycle_cycles == 0 ? std::string("unknown")
                                        : format("%llu cycles = %llu polls",
                                                 ull(s.macrocycle_cycles), ull(s.macrocycle_polls));
        out += format(", %llu cycles counted by 0x%04X\n", ull(s.cycles),
                      static_cast<unsigned>(s.reference.value_or(0)));
    }
    if (g.baseline) {
        const wire::Baseline& b = g.baseline->baseline;
        out += "baseline " + g.baseline->file + " (" + b.gateway + ", saved " +
               local_time(from_unix_micros(b.saved_us)).substr(0, 19) +
               "): " + std::to_string(g.deviations.size()) + " identifiers differ\n";
    }
    return out;
}

std::string flags(const wire::IdentifierStats& s) {
    std::string f;
    if (s.missing != 0) {
        f += " SILENT";
    }
    if (s.bad_total() != 0) {
        f += " BAD";
    }
    if (s.scan_deviations != 0) {
        f += " LATE";
    }
    if (s.unexpected != 0) {
        f += " ODD";
    }
    return f.empty() ? " -" : f;
}

// " DIFF period,length": what differs from the baseline.
std::string deviations(const GatewayBus& g, std::uint16_t id) {
    const wire::IdentifierDeviations* d = g.deviations_of(id);
    return d == nullptr ? "" : " DIFF " + deviation_names(*d);
}

std::string row(const GatewayBus& g, const wire::IdentifierStats& s) {
    const std::string period = s.period_cycles == 0 ? "-" : std::to_string(s.period_cycles);
    const std::string last =
        s.last_seen_us == 0 ? "-" : local_time(from_unix_micros(s.last_seen_us)).substr(11, 8);
    return format("0x%04X %10llu %10llu %8llu %6llu %4llu %4llu %4llu %4llu %4u-%-4u %6s %6llu "
                  "%8s",
                  static_cast<unsigned>(s.id), ull(s.polls), ull(s.responses), ull(s.missing),
                  ull(s.bad_total()), ull(s.bad[0]), ull(s.bad[1]), ull(s.bad[2]), ull(s.bad[3]),
                  static_cast<unsigned>(s.len_min), static_cast<unsigned>(s.len_max),
                  period.c_str(), ull(s.scan_deviations), last.c_str()) +
           flags(s) + deviations(g, s.id) + "\n";
}

} // namespace

std::vector<wire::IdentifierStats> table_order(const GatewayBus& g) {
    std::vector<wire::IdentifierStats> ids = g.ids;
    // An identifier of the baseline never polled in this run still has its row.
    for (const wire::IdentifierDeviations& d : g.deviations) {
        if (std::none_of(g.ids.begin(), g.ids.end(), [&](const auto& s) { return s.id == d.id; })) {
            ids.push_back(wire::IdentifierStats{});
            ids.back().id = d.id;
        }
    }
    std::sort(ids.begin(), ids.end(), [](const auto& a, const auto& b) {
        if (a.problems() != b.problems()) {
            return a.problems() > b.problems();
        }
        if (a.polls != b.polls) {
            return a.polls > b.polls;
        }
        return a.id < b.id;
    });
    return ids;
}

std::string bus_table(const std::vector<GatewayBus>& gateways, std::size_t max_rows) {
    if (gateways.empty()) {
        return "no capture record received yet\n";
    }
    std::string out;
    for (const GatewayBus& g : gateways) {
        out += summary(g);
        out += "ID          POLLS  RESPONSES  MISSING    BAD CTRL  FCS  PDU  LEN  LENGTH   "
               "PERIOD    DEV     LAST FLAGS\n";
        const auto ids = table_order(g);
        for (std::size_t i = 0; i < ids.size() && i < max_rows; ++i) {
            out += row(g, ids[i]);
        }
        if (ids.size() > max_rows) {
            out += format("... %zu more identifiers\n", ids.size() - max_rows);
        }
    }
    return out;
}

} // namespace fipdump
