#include "tools/fipdump/output/bus_json.hpp"

#include <cstdio>

#include "tools/fipdump/output/bus_table.hpp"
#include "tools/fipdump/output/fields.hpp"
#include "tools/fipdump/output/iso_time.hpp"

namespace fipdump {

namespace {

constexpr double kMicrosPerSecond = 1e6;
constexpr const char* kKindKeys[] = {"identifier", "variable", "request_list",
                                     "message",    "ack_end",  "unknown"};

// "key":value pairs, comma-separated.
class Fields {
public:
    Fields& num(const char* key, std::uint64_t v) { return raw(key, std::to_string(v)); }
    Fields& real(const char* key, double v) {
        char text[48];
        std::snprintf(text, sizeof text, "%.6g", v);
        return raw(key, text);
    }
    Fields& str(const char* key, const std::string& v) { return raw(key, json_string(v)); }
    Fields& raw(const char* key, const std::string& json) {
        if (!text.empty()) {
            text += ',';
        }
        text += json_string(key);
        text += ':';
        text += json;
        return *this;
    }
    std::string object() const { return "{" + text + "}"; }

private:
    std::string text;
};

std::string checks(const wire::CheckCounts& c) {
    Fields f;
    for (std::size_t i = 0; i < c.size(); ++i) {
        f.num(wire::frame_check_name(static_cast<wire::FrameCheck>(i)), c[i]);
    }
    return f.object();
}

std::string shares(const wire::CheckCounts& c, std::uint64_t frames) {
    Fields f;
    for (std::size_t i = 0; i < c.size(); ++i) {
        f.real(wire::frame_check_name(static_cast<wire::FrameCheck>(i)),
               frames == 0 ? 0.0 : static_cast<double>(c[i]) / static_cast<double>(frames));
    }
    return f.object();
}

std::string time_or_null(std::int64_t us) {
    return us == 0 ? "null" : json_string(iso_time(from_unix_micros(us)));
}

// {"file":..,"saved":..,"age_seconds":..,"gateway":..}, or null without a baseline.
std::string baseline(const GatewayBus& g, std::chrono::system_clock::time_point now) {
    if (!g.baseline) {
        return "null";
    }
    const wire::Baseline& b = g.baseline->baseline;
    Fields f;
    f.str("file", g.baseline->file)
        .str("saved", iso_time(from_unix_micros(b.saved_us)))
        .real("age_seconds", static_cast<double>(unix_micros(now) - b.saved_us) / kMicrosPerSecond)
        .str("gateway", b.gateway);
    return f.object();
}

// "deviations":[names] and "deviations_since":{name: time}, empty when it matches.
void deviations(Fields& f, const GatewayBus& g, std::uint16_t id) {
    std::string names = "[";
    Fields since;
    if (const wire::IdentifierDeviations* d = g.deviations_of(id)) {
        for (std::size_t k = 0; k < wire::kDeviationCount; ++k) {
            if (d->since_us[k] != 0) {
                const char* name = wire::deviation_name(static_cast<wire::Deviation>(k));
                if (names.size() > 1) {
                    names += ',';
                }
                names += json_string(name);
                since.str(name, iso_time(from_unix_micros(d->since_us[k])));
            }
        }
    }
    f.raw("deviations", names + "]").raw("deviations_since", since.object());
}

} // namespace

std::string json_bus(const GatewayBus& g, std::chrono::system_clock::time_point now) {
    const wire::BusCounters& b = g.bus;
    Fields kinds;
    for (std::size_t i = 0; i < b.by_kind.size(); ++i) {
        kinds.num(kKindKeys[i], b.by_kind[i]);
    }
    const double span = static_cast<double>(b.last_seen_us - b.first_seen_us) / kMicrosPerSecond;
    Fields f;
    f.str("type", "bus")
        .str("time", iso_time(now))
        .raw("unix_time", unix_seconds(now))
        .str("gateway", g.gateway)
        .str("stream", wire::to_string(g.stream))
        .raw("stream_since", time_or_null(g.stream_since_us))
        .num("frames", b.frames)
        .raw("frames_by_kind", kinds.object())
        .num("bytes", b.bytes)
        .real("frames_per_second", static_cast<double>(b.frames) / (span < 1.0 ? 1.0 : span))
        .real("recent_frames_per_second", g.frame_rate)
        .num("transactions", b.transactions)
        .num("missing", b.missing)
        .num("bad_frames", b.bad_frames)
        .raw("bad", checks(b.bad))
        .raw("bad_share", shares(b.bad, b.frames))
        .num("unknown_polls", b.unknown_polls)
        .num("unknown_frames", b.unknown_frames)
        .num("breaks", b.breaks)
        .num("restarts", g.restarts)
        .num("lost_datagrams", g.lost_datagrams)
        .num("orphans", b.orphans)
        .num("unattributed", b.unattributed)
        .num("identifiers", g.ids.size())
        .num("scan_identifiers", g.scan.entries.size())
        .num("macrocycle_cycles", g.scan.macrocycle_cycles)
        .num("macrocycle_polls", g.scan.macrocycle_polls)
        .num("cycles", g.scan.cycles)
        .raw("cycle_reference", g.scan.reference ? std::to_string(*g.scan.reference) : "null")
        .raw("first_seen", time_or_null(b.first_seen_us))
        .raw("last_seen", time_or_null(b.last_seen_us))
        .num("deviations", g.deviations.size())
        .raw("baseline", baseline(g, now));
    return f.object();
}

std::string json_identifier(const GatewayBus& g, const wire::IdentifierStats& s) {
    std::string pdus = "[";
    for (unsigned t = 0; t < 256; ++t) {
        if (s.has_pdu_type(static_cast<std::uint8_t>(t))) {
            if (pdus.size() > 1) {
                pdus += ',';
            }
            pdus += std::to_string(t);
        }
    }
    pdus += "]";
    Fields f;
    f.str("type", "identifier")
        .str("gateway", g.gateway)
        .str("id", identifier_text(s.id))
        .num("id_num", s.id)
        .str("state", wire::to_string(s.state))
        .raw("state_since", time_or_null(s.state_since_us))
        .num("polls", s.polls)
        .num("responses", s.responses)
        .num("missing", s.missing)
        .num("unknown", s.unknown)
        .num("bad_frames", s.bad_total())
        .raw("bad", checks(s.bad))
        .num("len_min", s.len_min)
        .num("len_max", s.len_max)
        .raw("pdu_types", pdus)
        .num("request_flags", s.request_flags)
        .num("message_flags", s.message_flags)
        .num("unexpected", s.unexpected)
        .num("messages", s.messages)
        .num("acknowledged", s.acknowledged)
        .num("ended", s.ended)
        .num("bytes", s.bytes)
        .num("period_cycles", s.period_cycles)
        .num("scan_deviations", s.scan_deviations)
        .raw("first_seen", time_or_null(s.first_seen_us))
        .raw("last_seen", time_or_null(s.last_seen_us))
        .raw("last_problem",
             s.last_problem_us == 0 ? "null" : json_string(wire::to_string(s.last_problem)))
        .raw("last_problem_since", time_or_null(s.last_problem_us));
    Fields window;
    window.num("polls", s.window.polls).num("missing", s.window.missing).num("bad", s.window.bad);
    f.raw("window", window.object());
    deviations(f, g, s.id);
    return f.object();
}

std::string json_bus_report(const std::vector<GatewayBus>& gateways,
                            std::chrono::system_clock::time_point now) {
    std::string out;
    for (const GatewayBus& g : gateways) {
        out += json_bus(g, now) + "\n";
        for (const wire::IdentifierStats& s : table_order(g)) {
            out += json_identifier(g, s) + "\n";
        }
    }
    return out;
}

} // namespace fipdump
