#include "tools/fipdump/json_format.hpp"

#include <cmath>
#include <cstdio>
#include <sstream>
#include <variant>

#include "tools/fipdump/fields.hpp"
#include "tools/fipdump/iso_time.hpp"
#include "wire/frame_check.hpp"

namespace fipdump {

namespace {

// Appends "key":value pairs with the commas between them.
class Obj {
public:
    explicit Obj(std::ostringstream& out) : o(out) { o << "{"; }
    template <typename T> Obj& num(const char* key, T value) {
        sep(key);
        if constexpr (std::is_same_v<T, std::uint8_t>) {
            o << unsigned(value);
        } else {
            o << value;
        }
        return *this;
    }
    Obj& real(const char* key, float value) {
        sep(key);
        if (std::isnan(value) || std::isinf(value)) {
            o << "null";
        } else {
            char text[48];
            std::snprintf(text, sizeof text, "%.9g", static_cast<double>(value));
            o << text;
        }
        return *this;
    }
    Obj& str(const char* key, const std::string& value) {
        sep(key);
        o << json_string(value);
        return *this;
    }
    Obj& boolean(const char* key, bool value) {
        sep(key);
        o << (value ? "true" : "false");
        return *this;
    }
    Obj& raw(const char* key, const std::string& json) {
        sep(key);
        o << json;
        return *this;
    }
    void close() { o << "}"; }

private:
    void sep(const char* key) {
        o << (first ? "" : ",") << json_string(key) << ":";
        first = false;
    }
    std::ostringstream& o;
    bool first = true;
};

void head(Obj& j, const Received& r) {
    j.str("time", iso_time(r.time)).raw("unix_time", unix_seconds(r.time));
    j.str("sender", to_string(r.from));
}

std::string compact_hex(std::span<const std::uint8_t> bytes) {
    std::string spaced = hex_bytes(bytes);
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const char c : spaced) {
        if (c != ' ') {
            out += c;
        }
    }
    return out;
}

void capture_json(Obj& j, const wire::CaptureRecord& c) {
    const wire::FrameInfo& f = c.info;
    j.str("type", "capture")
        .num("idx", c.idx)
        .num("len", c.length)
        .num("fcs_type", c.fcs_type)
        .num("status", c.status)
        .str("frame", compact_hex(c.frame))
        .num("frame_len", f.length)
        .str("kind", wire::frame_kind_name(f.kind));
    if (f.control) {
        j.num("control", *f.control).str("name", frame_name(*f.control));
    }
    if (f.identifier) {
        j.num("id", *f.identifier);
    }
    if (f.pdu_type) {
        j.num("pdu", *f.pdu_type);
    }
    if (f.received_fcs) {
        j.num("fcs", *f.received_fcs);
    }
    if (f.computed_fcs) {
        j.num("fcs_computed", *f.computed_fcs);
    }
    j.boolean("fcs_ok", f.fcs_ok);
    if (const auto failed = wire::first_failed_check(f, c.frame)) {
        j.str("bad", wire::frame_check_name(*failed));
    }
}

void date(Obj& j, const char* key, std::int64_t us) {
    j.num(key, us);
    j.str((std::string(key) + "_text").c_str(), gateway_date(us));
}

void lifesign_json(Obj& j, const wire::LifesignRecord& l) {
    j.str("type", "lifesign").num("counter", l.lifesign_cnt);
    date(j, "date_us", l.date_us);
    j.num("sn", l.sn)
        .real("cpu_load_pct", l.cpu_load)
        .real("cpu_temp_c", l.cpu_temp)
        .num("storage_total_kb", l.storage_total)
        .num("storage_used_kb", l.storage_used)
        .num("storage_avail_kb", l.storage_avail)
        .real("storage_used_pct", l.storage_used_pct)
        .num("ram_total_kb", l.ram_total)
        .num("ram_used_kb", l.ram_used)
        .num("ram_avail_kb", l.ram_avail)
        .real("ram_used_pct", l.ram_used_pct)
        .num("buffer_total_k", l.buffer_total_k)
        .num("buffer_used_k", l.buffer_used_k)
        .num("buffer_free_k", l.buffer_free_k)
        .real("buffer_used_pct", l.buffer_used_pct)
        .num("udp_is_active", l.udp_is_active)
        .num("udp_total_act_duration_us", l.udp_total_act_duration_us)
        .num("udp_total_inact_duration_us", l.udp_total_inact_duration_us);
    date(j, "udp_last_start_date_us", l.udp_last_start_date_us);
    date(j, "udp_last_stop_date_us", l.udp_last_stop_date_us);
    j.num("udp_act_duration_us", l.udp_act_duration_us)
        .num("udp_inact_duration_us", l.udp_inact_duration_us)
        .num("udp_loss_act_cnt", l.udp_loss_act_cnt)
        .num("udp_pkt_rcvd_cnt", l.udp_pkt_rcvd_cnt)
        .num("udp_pkt_rcvd_cnt_per_sec", l.udp_pkt_rcvd_cnt_per_sec)
        .num("udp_bytes_rcvd_cnt_per_sec", l.udp_bytes_rcvd_cnt_per_sec)
        .num("udp_pkt_sent_cnt", l.udp_pkt_sent_cnt)
        .num("udp_pkt_sent_cnt_per_sec", l.udp_pkt_sent_cnt_per_sec)
        .num("udp_bytes_sent_cnt_per_sec", l.udp_bytes_sent_cnt_per_sec)
        .num("fip_is_active", l.fip_is_active)
        .num("fip_total_act_duration_us", l.fip_total_act_duration_us)
        .num("fip_total_inact_duration_us", l.fip_total_inact_duration_us);
    date(j, "fip_last_start_date_us", l.fip_last_start_date_us);
    date(j, "fip_last_stop_date_us", l.fip_last_stop_date_us);
    j.num("fip_last_act_duration_us", l.fip_last_act_duration_us)
        .num("fip_last_inact_duration_us", l.fip_last_inact_duration_us)
        .num("fip_loss_act_cnt", l.fip_loss_act_cnt)
        .num("fip_frame_rcvd_cnt", l.fip_frame_rcvd_cnt)
        .num("fip_frame_rcvd_cnt_per_sec", l.fip_frame_rcvd_cnt_per_sec)
        .num("fip_bytes_rcvd_cnt_per_sec", l.fip_bytes_rcvd_cnt_per_sec)
        .num("fip_fcs_type", l.fip_fcs_type)
        .num("fip_aux_code", l.fip_aux_code)
        .num("st0_cnt", l.st0_cnt)
        .num("st12_cnt", l.st12_cnt)
        .num("st3_cnt", l.st3_cnt)
        .num("bad_ctrl_cnt", l.bad_ctrl_cnt)
        .num("bad_fcs_cnt", l.bad_fcs_cnt)
        .num("bad_pdu_cnt", l.bad_pdu_cnt)
        .num("bad_len_cnt", l.bad_len_cnt)
        .num("st6_cnt", l.st6_cnt)
        .num("st5_cnt", l.st5_cnt)
        .num("st4_cnt", l.st4_cnt);
}

std::string counts_json(const SenderCounts& c, const std::string& extra) {
    std::ostringstream o;
    Obj j(o);
    j.num("datagrams", c.datagrams)
        .num("bytes", c.bytes)
        .num("events", c.events)
        .num("capture", c.capture)
        .num("lifesign", c.lifesign)
        .num("lost_datagrams", c.lost_datagrams)
        .num("malformed", c.malformed)
        .num("duplicates", c.duplicates)
        .num("reordered", c.reordered)
        .num("restarts", c.restarts)
        .num("index_breaks", c.index_breaks)
        .num("lost_records", c.lost_records)
        .num("lifesign_breaks", c.lifesign_breaks)
        .num("lost_lifesigns", c.lost_lifesigns);
    if (!extra.empty()) {
        o << "," << extra;
    }
    j.close();
    return o.str();
}

} // namespace

std::string json_event(const Received& r, std::uint64_t seq, const wire::Event& event) {
    std::ostringstream o;
    Obj j(o);
    head(j, r);
    j.num("seq", seq);
    if (const auto* c = std::get_if<wire::CaptureRecord>(&event)) {
        capture_json(j, *c);
    } else {
        lifesign_json(j, std::get<wire::LifesignRecord>(event));
    }
    j.close();
    return o.str();
}

std::string json_malformed(const Received& r, const wire::DecodeError& error) {
    std::ostringstream o;
    Obj j(o);
    head(j, r);
    j.str("type", "malformed")
        .num("bytes", r.bytes.size())
        .str("reason", error.reason())
        .num("offset", error.offset);
    j.close();
    return o.str();
}

std::string json_summary(const Summary& s) {
    std::ostringstream extra;
    extra << "\"printed\":" << s.printed;
    if (s.kernel_drops) {
        extra << ",\"kernel_drops\":" << *s.kernel_drops;
    }
    extra << ",\"undecoded\":" << undecoded_json(s.undecoded);
    extra << ",\"gateways\":{";
    bool first = true;
    for (const auto& [from, c] : s.senders) {
        extra << (first ? "" : ",") << json_string(to_string(from)) << ":" << counts_json(c, "");
        first = false;
    }
    extra << "}";
    return counts_json(s.totals, extra.str());
}

} // namespace fipdump
