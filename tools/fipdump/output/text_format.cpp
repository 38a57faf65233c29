#include "tools/fipdump/output/text_format.hpp"

#include <cstddef>
#include <cstdio>
#include <iterator>
#include <sstream>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "tools/fipdump/output/fields.hpp"
#include "wire/decode.hpp"
#include "wire/frame_check.hpp"
#include "wire/lifesign_fields.hpp"

namespace fipdump {

namespace {

std::string hex(unsigned value, int width) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", width, value);
    return text;
}

std::string capture_text(const wire::CaptureRecord& c) {
    std::ostringstream o;
    const wire::FrameInfo& f = c.info;
    o << "capture idx " << c.idx << " fcs-type " << unsigned(c.fcs_type) << " status "
      << hex(c.status, 2) << " ";
    if (f.control) {
        o << frame_name(*f.control) << " (" << hex(*f.control, 2) << ", "
          << wire::frame_kind_name(f.kind) << ")";
    } else {
        o << "empty frame";
    }
    if (f.identifier) {
        o << " id " << hex(*f.identifier, 4);
    }
    if (f.pdu_type) {
        o << " pdu " << hex(*f.pdu_type, 2);
    }
    o << " len " << f.length;
    if (f.computed_fcs && f.received_fcs) {
        if (f.fcs_ok) {
            o << " fcs ok";
        } else {
            o << " fcs BAD (received " << hex(*f.received_fcs, 4) << ", computed "
              << hex(*f.computed_fcs, 4) << ")";
        }
    } else if (f.length > 0) {
        o << " fcs unchecked";
    }
    // Every frame the gateway would count as bad says which rule it broke, the FCS included.
    if (const auto failed = wire::first_failed_check(f, c.frame)) {
        o << " BAD " << wire::frame_check_name(*failed);
    }
    o << " : " << hex_bytes(c.frame);
    return o.str();
}

// The lifesign line: each {name} is the field of that name, shown as its unit says. Every field
// has its place, checked when this file compiles.
constexpr std::string_view kLifesignLine =
    "lifesign cnt {lifesign_cnt} date {date_us} sn {sn}"
    " | cpu {cpu_load} % {cpu_temp} C"
    " | storage {storage_used}/{storage_total} KB ({storage_used_pct} %) avail {storage_avail} KB"
    " | ram {ram_used}/{ram_total} KB ({ram_used_pct} %) avail {ram_avail} KB"
    " | buffer {buffer_used_k}/{buffer_total_k} kB ({buffer_used_pct} %) free {buffer_free_k} kB"
    " | udp active {udp_is_active} act {udp_act_duration_us} s inact {udp_inact_duration_us} s"
    " total act {udp_total_act_duration_us} s total inact {udp_total_inact_duration_us} s"
    " start {udp_last_start_date_us} stop {udp_last_stop_date_us} losses {udp_loss_act_cnt}"
    " sent {udp_pkt_sent_cnt} ({udp_pkt_sent_cnt_per_sec}/s, {udp_bytes_sent_cnt_per_sec} B/s)"
    " rcvd {udp_pkt_rcvd_cnt} ({udp_pkt_rcvd_cnt_per_sec}/s, {udp_bytes_rcvd_cnt_per_sec} B/s)"
    " | fip active {fip_is_active} act {fip_last_act_duration_us} s"
    " inact {fip_last_inact_duration_us} s total act {fip_total_act_duration_us} s"
    " total inact {fip_total_inact_duration_us} s start {fip_last_start_date_us}"
    " stop {fip_last_stop_date_us} losses {fip_loss_act_cnt} frames {fip_frame_rcvd_cnt}"
    " ({fip_frame_rcvd_cnt_per_sec}/s, {fip_bytes_rcvd_cnt_per_sec} B/s)"
    " fcs-type {fip_fcs_type} aux {fip_aux_code}"
    " | status st0 {st0_cnt} st12 {st12_cnt} st3 {st3_cnt} st4 {st4_cnt} st5 {st5_cnt}"
    " st6 {st6_cnt} | bad ctrl {bad_ctrl_cnt} fcs {bad_fcs_cnt} pdu {bad_pdu_cnt}"
    " len {bad_len_cnt}";

// A piece of the line: the text before a field, then the field's index in the table (none
// after the last field).
struct Piece {
    std::string_view text;
    std::size_t field = wire::kNoLifesignField;
};

// Calls `piece` for each piece of kLifesignLine; false on a brace without its pair or an
// unknown name.
template <typename F> constexpr bool walk_lifesign_line(F&& piece) {
    std::string_view rest = kLifesignLine;
    while (!rest.empty()) {
        const std::size_t open = rest.find('{');
        if (open == std::string_view::npos) {
            piece(Piece{rest});
            return rest.find('}') == std::string_view::npos;
        }
        const std::size_t close = rest.find('}', open);
        if (close == std::string_view::npos) {
            return false;
        }
        const std::size_t field =
            wire::lifesign_field_index(rest.substr(open + 1, close - open - 1));
        if (field == wire::kNoLifesignField ||
            rest.substr(0, open).find('}') != std::string_view::npos) {
            return false;
        }
        piece(Piece{rest.substr(0, open), field});
        rest.remove_prefix(close + 1);
    }
    return true;
}

// Each field placed exactly once: a field added to the record shows in the line or fails here.
constexpr bool lifesign_line_places_every_field() {
    std::size_t uses[std::size(wire::kLifesignFields)] = {};
    if (!walk_lifesign_line([&uses](Piece p) {
            if (p.field != wire::kNoLifesignField) {
                ++uses[p.field];
            }
        })) {
        return false;
    }
    for (const std::size_t n : uses) {
        if (n != 1) {
            return false;
        }
    }
    return true;
}
static_assert(lifesign_line_places_every_field());

const std::vector<Piece>& lifesign_pieces() {
    static const std::vector<Piece> pieces = [] {
        std::vector<Piece> out;
        walk_lifesign_line([&out](Piece p) { out.push_back(p); });
        return out;
    }();
    return pieces;
}

void field_text(std::ostream& o, const wire::LifesignRecord& l, const wire::LifesignField& f) {
    const wire::LifesignValue v = wire::lifesign_value(l, f);
    switch (f.unit) {
    case wire::Unit::date:
        o << gateway_date(std::get<std::int64_t>(v));
        return;
    case wire::Unit::duration:
        o << seconds(std::get<std::int64_t>(v));
        return;
    case wire::Unit::flag:
        o << (std::get<std::uint64_t>(v) != 0 ? "yes" : "no");
        return;
    case wire::Unit::code:
        o << hex(static_cast<unsigned>(std::get<std::uint64_t>(v)), 2);
        return;
    default:
        std::visit(
            [&o](auto x) {
                if constexpr (std::is_same_v<decltype(x), float>) {
                    o << figure(x);
                } else {
                    o << x;
                }
            },
            v);
    }
}

std::string lifesign_text(const wire::LifesignRecord& l) {
    std::ostringstream o;
    for (const Piece& p : lifesign_pieces()) {
        o << p.text;
        if (p.field != wire::kNoLifesignField) {
            field_text(o, l, wire::kLifesignFields[p.field]);
        }
    }
    return o.str();
}

std::string prefix(const Received& r) {
    return local_time(r.time) + " " + to_string(r.from);
}

void counts_text(std::ostream& o, const SenderCounts& c) {
    o << c.datagrams << " datagrams, " << c.events << " events (" << c.capture << " capture, "
      << c.lifesign << " lifesign), " << c.lost_datagrams << " lost datagrams, " << c.malformed
      << " malformed, " << c.duplicates << " duplicates, " << c.reordered << " reordered, "
      << c.restarts << " restarts, " << c.index_breaks << " record index breaks (" << c.lost_records
      << " records skipped), " << c.lifesign_breaks << " lifesign breaks (" << c.lost_lifesigns
      << " skipped)";
}

} // namespace

std::string text_event(const Received& r, std::uint64_t seq, const wire::Event& event) {
    std::string line = prefix(r) + " seq " + std::to_string(seq) + " ";
    if (const auto* c = std::get_if<wire::CaptureRecord>(&event)) {
        return line + capture_text(*c);
    }
    return line + lifesign_text(std::get<wire::LifesignRecord>(event));
}

std::string text_malformed(const Received& r, const wire::DecodeError& error) {
    return prefix(r) + " malformed datagram (" + std::to_string(r.bytes.size()) +
           " bytes): " + wire::to_string(error);
}

std::string text_notice(const Received& r, std::uint64_t seq, const DatagramVerdict& v) {
    std::ostringstream o;
    switch (v.seq) {
    case SeqVerdict::gap:
        o << " seq " << seq << ": " << v.missing << " datagram(s) lost";
        break;
    case SeqVerdict::late:
        o << " seq " << seq << ": arrived late (reordered)";
        break;
    case SeqVerdict::duplicate:
        o << " seq " << seq << ": duplicate";
        break;
    case SeqVerdict::restart:
        o << " seq " << seq << ": gateway restarted";
        break;
    default:
        break;
    }
    if (v.index_breaks != 0) {
        o << " seq " << seq << ": " << v.index_breaks << " capture index break(s)";
    }
    if (v.lifesign_breaks != 0) {
        o << " seq " << seq << ": lifesign counter break";
    }
    const std::string text = o.str();
    return text.empty() ? text : prefix(r) + text;
}

std::string text_summary(const Summary& s) {
    std::ostringstream o;
    o << "fipdump: ";
    counts_text(o, s.totals);
    o << ", " << s.printed << " printed";
    if (s.kernel_drops) {
        o << ", " << *s.kernel_drops << " dropped by the kernel";
    }
    if (s.rcvbuf_bytes) {
        o << " (receive buffer " << *s.rcvbuf_bytes << " bytes)";
    }
    o << "\n";
    for (const auto& [from, c] : s.senders) {
        o << "  gateway " << to_string(from) << ": ";
        counts_text(o, c);
        o << "\n";
    }
    o << undecoded_text(s.undecoded);
    return o.str();
}

} // namespace fipdump
