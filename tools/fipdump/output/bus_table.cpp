#include "tools/fipdump/output/bus_table.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <functional>
#include <limits>

#include "tools/fipdump/output/fields.hpp"
#include "tools/fipdump/output/iso_time.hpp"

namespace fipdump {

namespace {

constexpr double kMicrosPerSecond = 1e6;
constexpr double kPercent = 100.0;
constexpr std::size_t kByKindMinHeight = 40; // rows from which the screen also shows frames by kind
constexpr const char* kEllipsis = "\u2026";

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

// Frames per second over the whole span of receive times; a span under a second counts as one.
double mean_frame_rate(const wire::BusCounters& b) {
    const double span = static_cast<double>(b.last_seen_us - b.first_seen_us) / kMicrosPerSecond;
    return static_cast<double>(b.frames) / std::max(span, 1.0);
}

std::string clock_time(std::int64_t us) {
    return us == 0 ? "-" : local_time(from_unix_micros(us)).substr(11, 8);
}

// Pieces of text joined by two spaces into lines of at most `width` columns; a piece longer than
// a line is cut.
std::string wrap(const std::vector<std::string>& pieces, std::size_t width) {
    std::string out;
    std::string line;
    for (const std::string& p : pieces) {
        if (!line.empty() && line.size() + 2 + p.size() > width) {
            out += line.substr(0, width) + "\n";
            line.clear();
        }
        line += (line.empty() ? "" : "  ") + p;
    }
    if (!line.empty()) {
        out += line.substr(0, width) + "\n";
    }
    return out;
}

// The stream's state first: whether anything moves is what a reader needs before any count.
std::vector<std::string> stream_pieces(const GatewayBus& g) {
    const wire::BusCounters& b = g.bus;
    std::string stream = std::string("stream ") + wire::to_string(g.stream);
    if (g.stream_since_us != 0) {
        stream += " since " + clock_time(g.stream_since_us);
    }
    // A rate shown is the recent one; at the end of a recording, the mean over it.
    const double rate = g.stream == wire::StreamState::ended ? mean_frame_rate(b) : g.frame_rate;
    std::vector<std::string> p{"gateway " + g.gateway, stream,
                               format("frames %llu (%.0f/s)", ull(b.frames), rate)};
    if (g.restarts != 0) {
        p.push_back(format("restarts %llu (last ", ull(g.restarts)) +
                    clock_time(g.last_restart_us) + ")");
    }
    if (g.lost_datagrams != 0) {
        p.push_back(format("lost datagrams %llu (last ", ull(g.lost_datagrams)) +
                    clock_time(g.last_loss_us) + ")");
    }
    return p;
}

std::vector<std::string> total_pieces(const GatewayBus& g) {
    const wire::BusCounters& b = g.bus;
    return {format("transactions %llu", ull(b.transactions)),
            format("missing %llu", ull(b.missing)),
            format("bad %llu (control %.3f%% fcs %.3f%% pdu %.3f%% length %.3f%%)",
                   ull(b.bad_frames), share(b.bad[0], b.frames), share(b.bad[1], b.frames),
                   share(b.bad[2], b.frames), share(b.bad[3], b.frames)),
            format("unknown %llu", ull(b.unknown_polls)),
            format("breaks %llu", ull(b.breaks)),
            format("orphans %llu", ull(b.orphans))};
}

std::string by_kind_line(const GatewayBus& g) {
    const wire::BusCounters& b = g.bus;
    return format("frames by kind: identifier %llu  variable %llu  request-list %llu  message "
                  "%llu  ack/end %llu  unknown %llu",
                  ull(b.by_kind[0]), ull(b.by_kind[1]), ull(b.by_kind[2]), ull(b.by_kind[3]),
                  ull(b.by_kind[4]), ull(b.by_kind[5]));
}

std::string scan_line(const GatewayBus& g) {
    const wire::ScanTable& s = g.scan;
    if (s.entries.empty()) {
        return "scan: not learned yet";
    }
    std::string out = format("scan: %zu periodic identifiers, macrocycle ", s.entries.size());
    out += s.macrocycle_cycles == 0 ? std::string("unknown")
                                    : format("%llu cycles = %llu polls", ull(s.macrocycle_cycles),
                                             ull(s.macrocycle_polls));
    out += format(", %llu cycles counted by 0x%04X", ull(s.cycles),
                  static_cast<unsigned>(s.reference.value_or(0)));
    return out;
}

std::string flags(const wire::IdentifierStats& s) {
    std::string f;
    if (s.scan_deviations != 0) {
        f += " LATE";
    }
    if (s.unexpected != 0) {
        f += " ODD";
    }
    return f.empty() ? " -" : f;
}

std::string last_problem(const wire::IdentifierStats& s) {
    if (s.last_problem_us == 0) {
        return "-";
    }
    return std::string(wire::to_string(s.last_problem)) + " " + clock_time(s.last_problem_us);
}

struct Column {
    const char* header;
    int width; // right-aligned, after one space; 0 for the last, free-width column
    int keep;  // the columns of lowest rank go first on a narrow terminal
    std::function<std::string(const wire::IdentifierStats&)> cell;
    // A cell that needs the gateway's analysis, in place of `cell`.
    std::function<std::string(const GatewayBus&, const wire::IdentifierStats&)> bus_cell{};
};

// "period,length": what differs from the baseline; "-" when it matches.
std::string deviations(const GatewayBus& g, const wire::IdentifierStats& s) {
    const wire::IdentifierDeviations* d = g.deviations_of(s.id);
    return d == nullptr ? "-" : deviation_names(*d);
}

// Left to right as shown. ID, STATE and SINCE are always there.
const std::vector<Column>& columns() {
    static const std::vector<Column> all = {
        {"STATE", -7, 100, [](const auto& s) { return std::string(wire::to_string(s.state)); }},
        {"SINCE", 8, 100, [](const auto& s) { return clock_time(s.state_since_us); }},
        // Beside the state, and only with a baseline: a change is not a sickness.
        {"DIFF", -13, 95, nullptr, deviations},
        {"POLLS/10s", 9, 80, [](const auto& s) { return std::to_string(s.window.polls); }},
        {"MISS/10s", 8, 90, [](const auto& s) { return std::to_string(s.window.missing); }},
        {"BAD/10s", 7, 85, [](const auto& s) { return std::to_string(s.window.bad); }},
        {"LAST PROBLEM", -15, 75, last_problem},
        {"POLLS", 10, 50, [](const auto& s) { return std::to_string(s.polls); }},
        {"RESPONSES", 10, 40, [](const auto& s) { return std::to_string(s.responses); }},
        {"MISSING", 8, 70, [](const auto& s) { return std::to_string(s.missing); }},
        {"BAD", 6, 60, [](const auto& s) { return std::to_string(s.bad_total()); }},
        {"CTRL", 4, 5, [](const auto& s) { return std::to_string(s.bad[0]); }},
        {"FCS", 4, 5, [](const auto& s) { return std::to_string(s.bad[1]); }},
        {"PDU", 4, 5, [](const auto& s) { return std::to_string(s.bad[2]); }},
        {"LEN", 4, 5, [](const auto& s) { return std::to_string(s.bad[3]); }},
        {"LENGTH", -9, 20,
         [](const auto& s) {
             return format("%u-%u", static_cast<unsigned>(s.len_min),
                           static_cast<unsigned>(s.len_max));
         }},
        {"PERIOD", 6, 25,
         [](const auto& s) {
             return s.period_cycles == 0 ? std::string("-") : std::to_string(s.period_cycles);
         }},
        {"DEV", 6, 15, [](const auto& s) { return std::to_string(s.scan_deviations); }},
        {"LAST", 8, 10, [](const auto& s) { return clock_time(s.last_seen_us); }},
        {"FLAGS", 0, 30, [](const auto& s) { return flags(s).substr(1); }},
    };
    return all;
}

constexpr int kIdWidth = 6; // "0x0111"

std::size_t column_width(const Column& c) {
    return 1 + static_cast<std::size_t>(c.width == 0 ? 8 : std::abs(c.width));
}

// The columns that fit in `width`, in the order shown.
std::vector<const Column*> fitting(std::size_t width, bool with_baseline) {
    std::vector<const Column*> shown;
    std::size_t used = kIdWidth;
    for (const Column& c : columns()) {
        if (c.bus_cell && !with_baseline) {
            continue;
        }
        shown.push_back(&c);
        used += column_width(c);
    }
    while (used > width) {
        const auto least = std::min_element(shown.begin(), shown.end(),
                                            [](auto* a, auto* b) { return a->keep < b->keep; });
        if ((*least)->keep >= 100) {
            break; // the identifier and its state, however narrow the terminal
        }
        used -= column_width(**least);
        shown.erase(least);
    }
    return shown;
}

std::string cell_text(const Column& c, const std::string& text) {
    if (c.width == 0) {
        return " " + text;
    }
    const int w = std::abs(c.width);
    return format(c.width < 0 ? " %-*s" : " %*s", w, text.c_str());
}

std::string header(const std::vector<const Column*>& cols, std::size_t width) {
    std::string line = format("%-*s", kIdWidth, "ID");
    for (const Column* c : cols) {
        line += cell_text(*c, c->header);
    }
    while (!line.empty() && line.back() == ' ') {
        line.pop_back();
    }
    return line.substr(0, width) + "\n";
}

std::string row(const GatewayBus& g, const std::vector<const Column*>& cols,
                const wire::IdentifierStats& s, std::size_t width) {
    std::string line = format("0x%04X", static_cast<unsigned>(s.id));
    for (const Column* c : cols) {
        line += cell_text(*c, c->bus_cell ? c->bus_cell(g, s) : c->cell(s));
    }
    while (!line.empty() && line.back() == ' ') {
        line.pop_back();
    }
    return line.substr(0, width) + "\n";
}

// "… 14 more, all ok" or "… 14 more: 2 missing, 12 ok".
std::string more_line(const std::vector<wire::IdentifierStats>& hidden, std::size_t width) {
    std::array<std::size_t, wire::kHealthCount> by_state{};
    for (const auto& s : hidden) {
        ++by_state[static_cast<std::size_t>(s.state)];
    }
    std::string out = std::string(kEllipsis) + " " + std::to_string(hidden.size()) + " more";
    if (by_state[static_cast<std::size_t>(wire::Health::ok)] == hidden.size()) {
        out += hidden.size() == 1 ? ", ok" : ", all ok";
    } else {
        std::string sep = ": ";
        for (std::size_t i = 0; i < by_state.size(); ++i) {
            if (by_state[i] != 0) {
                out += sep + std::to_string(by_state[i]) + " " +
                       wire::to_string(static_cast<wire::Health>(i));
                sep = ", ";
            }
        }
    }
    // The ellipsis is one column but three bytes.
    return (width < out.size() ? out.substr(0, width + 2) : out) + "\n";
}

std::size_t lines_of(const std::string& text) {
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

// One gateway's summary lines and the table's header.
std::string gateway_head(const GatewayBus& g, std::size_t width, bool with_by_kind) {
    std::string out = wrap(stream_pieces(g), width);
    out += wrap(total_pieces(g), width);
    if (with_by_kind) {
        out += by_kind_line(g).substr(0, width) + "\n";
    }
    out += scan_line(g).substr(0, width) + "\n";
    if (g.baseline) {
        const wire::Baseline& b = g.baseline->baseline;
        out += ("baseline " + g.baseline->file + " (" + b.gateway + ", saved " +
                local_time(from_unix_micros(b.saved_us)).substr(0, 19) +
                "): " + std::to_string(g.deviations.size()) + " identifiers differ")
                   .substr(0, width) +
               "\n";
    }
    return out + header(fitting(width, g.baseline != nullptr), width);
}

// Then at most `max_rows` identifier rows, and a line that counts the others.
std::string gateway_table(const GatewayBus& g, std::size_t width, std::size_t max_rows,
                          bool with_by_kind) {
    std::string out = gateway_head(g, width, with_by_kind);
    const auto cols = fitting(width, g.baseline != nullptr);
    const auto ids = table_order(g);
    const std::size_t shown = std::min(ids.size(), max_rows);
    for (std::size_t i = 0; i < shown; ++i) {
        out += row(g, cols, ids[i], width);
    }
    if (shown < ids.size()) {
        out += more_line({ids.begin() + static_cast<std::ptrdiff_t>(shown), ids.end()}, width);
    }
    return out;
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
        if (a.state != b.state) {
            return a.state < b.state;
        }
        // A station that recovered comes before those that never were sick: the latest first.
        if (a.last_problem_us != b.last_problem_us) {
            return a.last_problem_us > b.last_problem_us;
        }
        if (a.window.polls != b.window.polls) {
            return a.window.polls > b.window.polls;
        }
        if (a.polls != b.polls) {
            return a.polls > b.polls;
        }
        return a.id < b.id;
    });
    return ids;
}

std::string bus_table(const std::vector<GatewayBus>& gateways, std::size_t max_rows,
                      std::size_t width) {
    if (gateways.empty()) {
        return "no capture record received yet\n";
    }
    std::string out;
    for (const GatewayBus& g : gateways) {
        out += gateway_table(g, width, max_rows, true);
    }
    return out;
}

std::string bus_screen(const std::vector<GatewayBus>& gateways, std::size_t width,
                       std::size_t height) {
    width = std::max(width, kMinScreenWidth);
    height = std::max(height, kMinScreenHeight);
    if (gateways.empty()) {
        return "no capture record received yet\n";
    }
    const bool by_kind = height >= kByKindMinHeight;
    // The lines each gateway needs besides its rows, then the rows shared out evenly.
    std::size_t fixed = 0;
    for (const GatewayBus& g : gateways) {
        fixed += lines_of(gateway_head(g, width, by_kind)) + 1; // + the "more" line
    }
    const std::size_t usable = height - 1;
    const std::size_t rows =
        usable > fixed ? std::max<std::size_t>((usable - fixed) / gateways.size(), 1) : 1;
    std::string out;
    for (const GatewayBus& g : gateways) {
        out += gateway_table(g, width, rows, by_kind);
    }
    // Many gateways on a small terminal: the first ones, whole lines, never a scrolled screen.
    std::size_t end = 0;
    for (std::size_t n = 0; n < usable; ++n) {
        const auto nl = out.find('\n', end);
        if (nl == std::string::npos) {
            break;
        }
        end = nl + 1;
    }
    return out.substr(0, end);
}

} // namespace fipdump
