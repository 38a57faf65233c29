#include "tools/fipdump/output/json_format.hpp"

#include <cmath>
#include <cstdio>
#include <sstream>
#include <string>
#include <type_traits>
#include <variant>

#include "tools/fipdump/output/fields.hpp"
#include "tools/fipdump/output/iso_time.hpp"
#include "wire/frame_check.hpp"
#include "wire/lifesign_fields.hpp"

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

// Every field under its key in the record's order; dates also as text, under "<key>_text".
void lifesign_json(Obj& j, const wire::LifesignRecord& l) {
    j.str("type", "lifesign");
    for (const wire::LifesignField& f : wire::kLifesignFields) {
        const std::string key(f.key());
        const wire::LifesignValue v = wire::lifesign_value(l, f);
        std::visit(
            [&j, &key](auto x) {
                if constexpr (std::is_same_v<decltype(x), float>) {
                    j.real(key.c_str(), x);
                } else {
                    j.num(key.c_str(), x);
                }
            },
            v);
        if (f.unit == wire::Unit::date) {
            j.str((key + "_text").c_str(), gateway_date(std::get<std::int64_t>(v)));
        }
    }
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
    if (s.rcvbuf_bytes) {
        extra << ",\"rcvbuf_bytes\":" << *s.rcvbuf_bytes;
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
