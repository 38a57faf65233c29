#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <string>
#include <type_traits>
#include <vector>

#include "wire/wire.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;

void put_be(Bytes& b, std::size_t offset, std::uint64_t value, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
        b[offset + i] = static_cast<std::uint8_t>(value >> (8 * (size - 1 - i)));
    }
}

void append(Bytes& to, const Bytes& from) {
    to.insert(to.end(), from.begin(), from.end());
}

Bytes datagram(std::uint64_t seq, std::uint32_t count, const std::vector<Bytes>& events) {
    Bytes d(16);
    d[0] = 0x43;
    d[1] = 0x56;
    d[2] = 0x01;
    d[3] = 0x00;
    put_be(d, 4, seq, 8);
    put_be(d, 12, count, 4);
    for (const Bytes& e : events) {
        append(d, e);
    }
    return d;
}

// A capture record around `frame`, header bytes 13-29 set to 0xA0, 0xA1, ...
Bytes capture(const Bytes& frame, std::uint8_t fcs_info = 0x08, std::uint8_t status = 0,
              std::uint64_t idx = 1) {
    Bytes r(30 + frame.size());
    r[0] = 0xC0;
    put_be(r, 1, 30 + frame.size(), 2);
    r[3] = fcs_info;
    r[4] = status;
    put_be(r, 5, idx, 8);
    for (std::size_t i = 0; i < 17; ++i) {
        r[13 + i] = static_cast<std::uint8_t>(0xA0 + i);
    }
    for (std::size_t i = 0; i < frame.size(); ++i) {
        r[30 + i] = frame[i];
    }
    return r;
}

// A lifesign record of `size` bytes: a newer gateway's may carry fields after the known ones.
Bytes lifesign(std::uint64_t counter = 1, std::size_t size = 323) {
    Bytes r(size, 0xEE);
    r[0] = 0xC1;
    put_be(r, 1, size, 2);
    put_be(r, 3, counter, 8);
    return r;
}

TEST(WireFcs, CheckValuesOfBothTypes) {
    const Bytes digits{'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(wire::compute_fcs(1, digits), 0xCE3C);
    EXPECT_EQ(wire::compute_fcs(2, digits), 0xA819);
    EXPECT_FALSE(wire::compute_fcs(0, digits).has_value());
    EXPECT_FALSE(wire::compute_fcs(3, digits).has_value());
}

TEST(WireFrame, KindsByControlByte) {
    struct Case {
        std::vector<std::uint8_t> controls;
        wire::FrameKind kind;
        const char* name;
    };
    const std::vector<Case> cases = {
        {{0x03, 0x05, 0x09, 0x29}, wire::FrameKind::identifier, "identifier"},
        {{0x02, 0x06, 0x0A, 0x0E, 0x2A, 0x2E},
         wire::FrameKind::variable_response,
         "variable response"},
        {{0x08, 0x28}, wire::FrameKind::request_list_response, "request-list response"},
        {{0x04, 0x14, 0x94}, wire::FrameKind::message, "message"},
        {{0x10, 0x30, 0x40, 0x90, 0xB0}, wire::FrameKind::ack_end, "acknowledgement/end"},
    };
    int known = 0;
    for (const Case& c : cases) {
        for (const std::uint8_t ctrl : c.controls) {
            EXPECT_EQ(wire::frame_kind(ctrl), c.kind) << std::hex << int{ctrl};
            EXPECT_STREQ(wire::frame_kind_name(wire::frame_kind(ctrl)), c.name);
        }
    }
    for (int ctrl = 0; ctrl < 256; ++ctrl) {
        known += wire::frame_kind(static_cast<std::uint8_t>(ctrl)) != wire::FrameKind::unknown;
    }
    EXPECT_EQ(known, 20);
    EXPECT_STREQ(wire::frame_kind_name(wire::frame_kind(0x07)), "unknown");
}

TEST(WireFrame, FieldsAndFcsOfEachShape) {
    // Identifier frame, FCS type 1: identifier 0x1234, good FCS.
    wire::FrameInfo id = wire::decode_frame(1, Bytes{0x03, 0x12, 0x34, 0xB5, 0x69});
    EXPECT_EQ(id.control, 0x03);
    EXPECT_EQ(id.identifier, 0x1234);
    EXPECT_FALSE(id.pdu_type.has_value());
    EXPECT_EQ(id.received_fcs, 0xB569);
    EXPECT_EQ(id.computed_fcs, 0xB569);
    EXPECT_TRUE(id.fcs_ok);
    // The same frame under type 2 fails; another one passes.
    id = wire::decode_frame(2, Bytes{0x03, 0x12, 0x34, 0xB5, 0x69});
    EXPECT_FALSE(id.fcs_ok);
    EXPECT_NE(id.computed_fcs, 0xB569);
    EXPECT_TRUE(wire::decode_frame(2, Bytes{0x03, 0x12, 0x34, 0xBC, 0x01}).fcs_ok);
    // Types 0 and 3 have no algorithm: the received FCS is shown, nothing matches.
    id = wire::decode_frame(3, Bytes{0x03, 0x12, 0x34, 0xB5, 0x69});
    EXPECT_EQ(id.received_fcs, 0xB569);
    EXPECT_FALSE(id.computed_fcs.has_value());
    EXPECT_FALSE(id.fcs_ok);

    // Variable response: the PDU type is byte 1; FCS built here from the checked algorithm.
    Bytes rp{0x02, 0x40, 0x03, 0x11, 0x22, 0x33};
    const std::uint16_t fcs = *wire::compute_fcs(1, rp);
    rp.push_back(static_cast<std::uint8_t>(fcs >> 8));
    rp.push_back(static_cast<std::uint8_t>(fcs));
    const wire::FrameInfo v = wire::decode_frame(1, rp);
    EXPECT_EQ(v.kind, wire::FrameKind::variable_response);
    EXPECT_EQ(v.pdu_type, 0x40);
    EXPECT_FALSE(v.identifier.has_value());
    EXPECT_TRUE(v.fcs_ok);
    EXPECT_EQ(v.length, 8U);

    // Shapes too short for their fields: nothing is read from the FCS bytes or beyond.
    const wire::FrameInfo empty = wire::decode_frame(1, Bytes{});
    EXPECT_FALSE(empty.control.has_value());
    EXPECT_EQ(empty.kind, wire::FrameKind::unknown);
    EXPECT_FALSE(empty.received_fcs.has_value());
    const wire::FrameInfo two = wire::decode_frame(1, Bytes{0x40, 0x00});
    EXPECT_FALSE(two.received_fcs.has_value());
    EXPECT_FALSE(two.fcs_ok);
    const wire::FrameInfo short_id = wire::decode_frame(1, Bytes{0x03, 0x12, 0x34, 0xB5});
    EXPECT_FALSE(short_id.identifier.has_value());
    const wire::FrameInfo short_rp = wire::decode_frame(1, Bytes{0x02, 0x40, 0x00});
    EXPECT_FALSE(short_rp.pdu_type.has_value());
}

TEST(WireCapture, EveryHeaderFieldAndTheFrame) {
    const Bytes frame{0x03, 0x12, 0x34, 0xB5, 0x69};
    const Bytes d =
        datagram(0x0102030405060708ULL, 1, {capture(frame, 0x08, 0x81, 0x1122334455667788ULL)});
    const wire::Datagram g = wire::decode_datagram(d);
    ASSERT_TRUE(g.ok()) << wire::to_string(*g.error);
    EXPECT_EQ(g.seq, 0x0102030405060708ULL);
    EXPECT_EQ(g.event_count, 1U);
    ASSERT_EQ(g.events.size(), 1U);
    const auto& r = std::get<wire::CaptureRecord>(g.events[0]);
    EXPECT_EQ(r.offset, 16U);
    EXPECT_EQ(r.type, 0xC0);
    EXPECT_EQ(r.length, 35);
    EXPECT_EQ(r.fcs_info, 0x08);
    EXPECT_EQ(r.fcs_type, 1);
    EXPECT_EQ(r.status, 0x81);
    EXPECT_TRUE(r.status_bit(0));
    EXPECT_FALSE(r.status_bit(1));
    EXPECT_TRUE(r.status_bit(7));
    EXPECT_EQ(r.idx, 0x1122334455667788ULL);
    for (std::size_t i = 0; i < r.reserved.size(); ++i) {
        EXPECT_EQ(r.reserved[i], 0xA0 + i) << i;
    }
    EXPECT_EQ(r.frame, frame);
    EXPECT_EQ(r.info.identifier, 0x1234);
    EXPECT_TRUE(r.info.fcs_ok);

    // The FCS type is bits 3-4 of fcs_info alone.
    const std::pair<std::uint8_t, std::uint8_t> types[] = {
        {0x10, 2}, {0xFF, 3}, {0xE7, 0}, {0x18, 3}};
    for (const auto& [info, type] : types) {
        const auto e = wire::decode_event(capture(frame, info));
        ASSERT_TRUE(std::holds_alternative<wire::CaptureRecord>(e));
        EXPECT_EQ(std::get<wire::CaptureRecord>(e).fcs_type, type) << std::hex << int{info};
    }
    // A record of its header alone carries an empty frame.
    const auto bare = wire::decode_event(capture({}));
    ASSERT_TRUE(std::holds_alternative<wire::CaptureRecord>(bare));
    EXPECT_TRUE(std::get<wire::CaptureRecord>(bare).frame.empty());
}

// Raw bits of a decoded field, for comparison with the bytes written at its offset.
template <typename T> std::uint64_t raw(T v) {
    if constexpr (std::is_same_v<T, float>) {
        return std::bit_cast<std::uint32_t>(v);
    } else {
        return static_cast<std::uint64_t>(static_cast<std::make_unsigned_t<T>>(v));
    }
}

struct LifesignField {
    const char* name;
    std::size_t offset;
    std::size_t size;
    std::function<std::uint64_t(const wire::LifesignRecord&)> get;
};
#define FIELD(member, offset, size)                                                                \
    LifesignField {                                                                                \
#member, offset, size, [](const wire::LifesignRecord& r) { return raw(r.member); }         \
    }

// The record's layout, written out from its table independently of the decoder.
const std::vector<LifesignField>& lifesign_layout() {
    static const std::vector<LifesignField> fields = {
        FIELD(lifesign_cnt, 3, 8),
        FIELD(date_us, 11, 8),
        FIELD(sn, 19, 4),
        FIELD(cpu_load, 23, 4),
        FIELD(cpu_temp, 27, 4),
        FIELD(storage_total, 31, 4),
        FIELD(storage_used, 35, 4),
        FIELD(storage_avail, 39, 4),
        FIELD(storage_used_pct, 43, 4),
        FIELD(ram_total, 47, 4),
        FIELD(ram_used, 51, 4),
        FIELD(ram_avail, 55, 4),
        FIELD(ram_used_pct, 59, 4),
        FIELD(buffer_total_k, 63, 4),
        FIELD(buffer_used_k, 67, 4),
        FIELD(buffer_free_k, 71, 4),
        FIELD(buffer_used_pct, 75, 4),
        FIELD(udp_is_active, 79, 1),
        FIELD(udp_total_act_duration_us, 80, 8),
        FIELD(udp_total_inact_duration_us, 88, 8),
        FIELD(udp_last_start_date_us, 96, 8),
        FIELD(udp_last_stop_date_us, 104, 8),
        FIELD(udp_act_duration_us, 112, 8),
        FIELD(udp_inact_duration_us, 120, 8),
        FIELD(udp_loss_act_cnt, 128, 2),
        FIELD(udp_pkt_rcvd_cnt, 130, 8),
        FIELD(udp_pkt_rcvd_cnt_per_sec, 138, 4),
        FIELD(udp_bytes_rcvd_cnt_per_sec, 142, 8),
        FIELD(udp_pkt_sent_cnt, 150, 8),
        FIELD(udp_pkt_sent_cnt_per_sec, 158, 4),
        FIELD(udp_bytes_sent_cnt_per_sec, 162, 8),
        FIELD(fip_is_active, 170, 1),
        FIELD(fip_total_act_duration_us, 171, 8),
        FIELD(fip_total_inact_duration_us, 179, 8),
        FIELD(fip_last_start_date_us, 187, 8),
        FIELD(fip_last_stop_date_us, 195, 8),
        FIELD(fip_last_act_duration_us, 203, 8),
        FIELD(fip_last_inact_duration_us, 211, 8),
        FIELD(fip_loss_act_cnt, 219, 2),
        FIELD(fip_frame_rcvd_cnt, 221, 8),
        FIELD(fip_frame_rcvd_cnt_per_sec, 229, 4),
        FIELD(fip_bytes_rcvd_cnt_per_sec, 233, 8),
        FIELD(fip_fcs_type, 241, 1),
        FIELD(fip_aux_code, 242, 1),
        FIELD(st0_cnt, 243, 8),
        FIELD(st12_cnt, 251, 8),
        FIELD(st3_cnt, 259, 8),
        FIELD(bad_ctrl_cnt, 267, 8),
        FIELD(bad_fcs_cnt, 275, 8),
        FIELD(bad_pdu_cnt, 283, 8),
        FIELD(bad_len_cnt, 291, 8),
        FIELD(st6_cnt, 299, 8),
        FIELD(st5_cnt, 307, 8),
        FIELD(st4_cnt, 315, 8),
    };
    return fields;
}
#undef FIELD

TEST(WireLifesign, EveryFieldAtItsOffset) {
    // The layout covers bytes 3 to 322 without gap or overlap.
    std::size_t next = 3;
    for (const LifesignField& f : lifesign_layout()) {
        ASSERT_EQ(f.offset, next) << f.name;
        next += f.size;
    }
    ASSERT_EQ(next, 323U);

    // Bytes from a non-repeating sequence, so that a field read one byte off, or at another
    // field's offset, decodes to a different value.
    Bytes rec = lifesign();
    std::uint32_t x = 0x9E3779B9U;
    for (std::size_t i = 3; i < rec.size(); ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        rec[i] = static_cast<std::uint8_t>(x);
    }
    const auto e = wire::decode_event(rec);
    ASSERT_TRUE(std::holds_alternative<wire::LifesignRecord>(e));
    const auto& r = std::get<wire::LifesignRecord>(e);
    EXPECT_EQ(r.type, 0xC1);
    EXPECT_EQ(r.length, 323);
    for (const LifesignField& f : lifesign_layout()) {
        std::uint64_t expected = 0;
        for (std::size_t i = 0; i < f.size; ++i) {
            expected = (expected << 8) | rec[f.offset + i];
        }
        EXPECT_EQ(f.get(r), expected) << f.name << " at " << f.offset;
    }
}

TEST(WireLifesign, ValuesAsTheSenderMeansThem) {
    Bytes rec = lifesign(1);
    put_be(rec, 11, static_cast<std::uint64_t>(-3600000000LL), 8); // before the epoch
    put_be(rec, 23, 0x7FC00000U, 4);                               // not yet measured
    put_be(rec, 27, std::bit_cast<std::uint32_t>(41.5F), 4);
    put_be(rec, 63, 52429, 4);
    rec[79] = 1;
    const auto e = wire::decode_event(rec);
    ASSERT_TRUE(std::holds_alternative<wire::LifesignRecord>(e));
    const auto& r = std::get<wire::LifesignRecord>(e);
    EXPECT_EQ(r.lifesign_cnt, 1U);
    EXPECT_EQ(r.date_us, -3600000000LL);
    EXPECT_TRUE(std::isnan(r.cpu_load));
    EXPECT_EQ(r.cpu_temp, 41.5F);
    EXPECT_EQ(r.buffer_total_k, 52429U);
    EXPECT_EQ(r.udp_is_active, 1);
}

TEST(WireDatagram, WalksMixedEventsInOrder) {
    const Bytes ack{0x40, 0x00, 0x00};
    const Bytes d = datagram(
        1, 4, {capture(ack, 0x08, 0, 7), lifesign(9), capture({}, 0x10, 0, 0), lifesign(10, 340)});
    const wire::Datagram g = wire::decode_datagram(d);
    ASSERT_TRUE(g.ok()) << wire::to_string(*g.error);
    ASSERT_EQ(g.events.size(), 4U);
    EXPECT_EQ(std::get<wire::CaptureRecord>(g.events[0]).idx, 7U);
    EXPECT_EQ(std::get<wire::CaptureRecord>(g.events[0]).info.kind, wire::FrameKind::ack_end);
    EXPECT_EQ(std::get<wire::LifesignRecord>(g.events[1]).offset, 16U + 33U);
    EXPECT_EQ(std::get<wire::LifesignRecord>(g.events[1]).lifesign_cnt, 9U);
    EXPECT_EQ(std::get<wire::CaptureRecord>(g.events[2]).offset, 16U + 33U + 323U);
    EXPECT_EQ(std::get<wire::LifesignRecord>(g.events[1]).extra_bytes(), 0U);
    // A longer lifesign is read by its known fields; what follows them is skipped, not taken
    // for the next event.
    const auto& grown = std::get<wire::LifesignRecord>(g.events[3]);
    EXPECT_EQ(grown.lifesign_cnt, 10U);
    EXPECT_EQ(grown.st4_cnt, 0xEEEEEEEEEEEEEEEEU);
    EXPECT_EQ(grown.length, 340U);
    EXPECT_EQ(grown.extra_bytes(), 17U);

    // The same bytes as the char vector a socket read fills.
    const std::vector<char> chars(d.begin(), d.end());
    EXPECT_EQ(wire::decode_datagram(chars).events.size(), 4U);
}

TEST(WireDatagram, MalformedInputIsAnErrorWithItsOffset) {
    const Bytes ok_event = capture({0x40, 0x00, 0x00});
    auto with_header = [](std::uint32_t count, const Bytes& payload) {
        return datagram(5, count, {payload});
    };
    auto patched = [](Bytes b, std::size_t at, std::uint8_t v) {
        b[at] = v;
        return b;
    };
    Bytes lifesign_short = lifesign();
    lifesign_short.pop_back();
    put_be(lifesign_short, 1, 322, 2);
    Bytes lifesign_past_end = lifesign(1, 340);
    lifesign_past_end.pop_back();
    Bytes truncated = ok_event;
    truncated.resize(ok_event.size() - 1);
    Bytes header_15 = datagram(1, 1, {});
    header_15.pop_back();
    Bytes two_events = ok_event;
    append(two_events, patched(ok_event, 0, 0xC7));

    struct Case {
        const char* what;
        Bytes bytes;
        wire::Fault fault;
        std::size_t offset;
        std::size_t events_before = 0;
    };
    const std::vector<Case> cases = {
        {"empty", {}, wire::Fault::short_header, 0},
        {"15 bytes", header_15, wire::Fault::short_header, 15},
        {"magic 0", patched(with_header(1, ok_event), 0, 0x44), wire::Fault::bad_magic, 0},
        {"magic 1", patched(with_header(1, ok_event), 1, 0x57), wire::Fault::bad_magic, 1},
        {"constant 2", patched(with_header(1, ok_event), 2, 0x02), wire::Fault::bad_constant, 2},
        {"constant 3", patched(with_header(1, ok_event), 3, 0x01), wire::Fault::bad_constant, 3},
        {"header alone", datagram(1, 0, {}), wire::Fault::no_events, 16},
        {"count too high", with_header(2, ok_event), wire::Fault::count_mismatch, 12, 1},
        {"count zero", with_header(0, ok_event), wire::Fault::count_mismatch, 12, 1},
        {"two stray bytes", datagram(1, 1, {ok_event, {0xC0, 0x00}}), wire::Fault::short_event,
         16 + 33, 1},
        {"length 2", with_header(1, patched(patched(ok_event, 1, 0), 2, 2)),
         wire::Fault::event_too_short, 17},
        {"length 0", with_header(1, patched(patched(ok_event, 1, 0), 2, 0)),
         wire::Fault::event_too_short, 17},
        {"past the end", with_header(1, truncated), wire::Fault::event_past_end, 17},
        {"capture of 29",
         with_header(1, patched(Bytes(ok_event.begin(), ok_event.begin() + 29), 2, 29)),
         wire::Fault::short_capture_record, 17},
        {"lifesign of 322", with_header(1, lifesign_short), wire::Fault::bad_lifesign_length, 17},
        {"lifesign of 340 in 339", with_header(1, lifesign_past_end), wire::Fault::event_past_end,
         17},
        {"type 00", with_header(1, patched(ok_event, 0, 0x00)), wire::Fault::unknown_type, 16},
        {"type C2 second", with_header(2, two_events), wire::Fault::unknown_type, 16 + 33, 1},
    };
    for (const Case& c : cases) {
        // An exactly sized copy, so that the sanitizers see any read past the end.
        const std::vector<std::uint8_t> exact(c.bytes.begin(), c.bytes.end());
        const wire::Datagram g = wire::decode_datagram(exact);
        ASSERT_TRUE(g.error.has_value()) << c.what;
        EXPECT_EQ(g.error->fault, c.fault) << c.what << ": " << wire::to_string(*g.error);
        EXPECT_EQ(g.error->offset, c.offset) << c.what;
        EXPECT_EQ(g.events.size(), c.events_before) << c.what;
        EXPECT_NE(wire::to_string(*g.error).find("at offset " + std::to_string(c.offset)),
                  std::string::npos);
    }
}

TEST(WireEvent, OneEventMustFillItsBufferExactly) {
    const Bytes rec = lifesign(3);
    const std::vector<char> as_queued(rec.begin(), rec.end());
    EXPECT_TRUE(std::holds_alternative<wire::LifesignRecord>(wire::decode_event(as_queued)));

    Bytes longer = rec;
    longer.push_back(0);
    const auto extra = wire::decode_event(longer);
    ASSERT_TRUE(std::holds_alternative<wire::DecodeError>(extra));
    EXPECT_EQ(std::get<wire::DecodeError>(extra).fault, wire::Fault::trailing_bytes);
    EXPECT_EQ(std::get<wire::DecodeError>(extra).offset, 323U);

    const auto cut = wire::decode_event(std::span<const std::uint8_t>(rec).first(200));
    ASSERT_TRUE(std::holds_alternative<wire::DecodeError>(cut));
    EXPECT_EQ(std::get<wire::DecodeError>(cut).fault, wire::Fault::event_past_end);
}

} // namespace
