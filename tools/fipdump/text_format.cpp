#include "tools/fipdump/text_format.hpp"

#include <cstdio>
#include <sstream>
#include <variant>

#include "tools/fipdump/fields.hpp"
#include "wire/decode.hpp"
#include "wire/frame_check.hpp"

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

const char* yes_no(std::uint8_t flag) {
    return flag != 0 ? "yes" : "no";
}

std::string lifesign_text(const wire::LifesignRecord& l) {
    std::ostringstream o;
    o << "lifesign cnt " << l.lifesign_cnt << " date " << gateway_date(l.date_us) << " sn " << l.sn
      << " | cpu " << figure(l.cpu_load) << " % " << figure(l.cpu_temp) << " C"
      << " | storage " << l.storage_used << "/" << l.storage_total << " KB ("
      << figure(l.storage_used_pct) << " %) avail " << l.storage_avail << " KB"
      << " | ram " << l.ram_used << "/" << l.ram_total << " KB (" << figure(l.ram_used_pct)
      << " %) avail " << l.ram_avail << " KB"
      << " | buffer " << l.buffer_used_k << "/" << l.buffer_total_k << " kB ("
      << figure(l.buffer_used_pct) << " %) free " << l.buffer_free_k << " kB"
      << " | udp active " << yes_no(l.udp_is_active) << " act " << seconds(l.udp_act_duration_us)
      << " s inact " << seconds(l.udp_inact_duration_us) << " s total act "
      << seconds(l.udp_total_act_duration_us) << " s total inact "
      << seconds(l.udp_total_inact_duration_us) << " s start "
      << gateway_date(l.udp_last_start_date_us) << " stop " << gateway_date(l.udp_last_stop_date_us)
      << " losses " << l.udp_loss_act_cnt << " sent " << l.udp_pkt_sent_cnt << " ("
      << l.udp_pkt_sent_cnt_per_sec << "/s, " << l.udp_bytes_sent_cnt_per_sec << " B/s) rcvd "
      << l.udp_pkt_rcvd_cnt << " (" << l.udp_pkt_rcvd_cnt_per_sec << "/s, "
      << l.udp_bytes_rcvd_cnt_per_sec << " B/s)"
      << " | fip active " << yes_no(l.fip_is_active) << " act "
      << seconds(l.fip_last_act_duration_us) << " s inact " << seconds(l.fip_last_inact_duration_us)
      << " s total act " << seconds(l.fip_total_act_duration_us) << " s total inact "
      << seconds(l.fip_total_inact_duration_us) << " s start "
      << gateway_date(l.fip_last_start_date_us) << " stop " << gateway_date(l.fip_last_stop_date_us)
      << " losses " << l.fip_loss_act_cnt << " frames " << l.fip_frame_rcvd_cnt << " ("
      << l.fip_frame_rcvd_cnt_per_sec << "/s, " << l.fip_bytes_rcvd_cnt_per_sec << " B/s) fcs-type "
      << unsigned(l.fip_fcs_type) << " aux " << hex(l.fip_aux_code, 2) << " | status st0 "
      << l.st0_cnt << " st12 " << l.st12_cnt << " st3 " << l.st3_cnt << " st4 " << l.st4_cnt
      << " st5 " << l.st5_cnt << " st6 " << l.st6_cnt << " | bad ctrl " << l.bad_ctrl_cnt << " fcs "
      << l.bad_fcs_cnt << " pdu " << l.bad_pdu_cnt << " len " << l.bad_len_cnt;
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
