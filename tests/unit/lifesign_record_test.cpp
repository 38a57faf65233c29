// The lifesign record byte by byte, read back with reads of our own and with the stream decoder.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <limits>
#include <set>
#include <span>
#include <string_view>
#include <variant>

#include <gtest/gtest.h>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "monitoring/lifesign_record.hpp"
#include "wire/decode.hpp"
#include "wire/lifesign_fields.hpp"

namespace {

namespace pt = boost::posix_time;

// 2026-Dec-07 14:03:27.512334, as microseconds since 1970-01-01 00:00:00.
const pt::ptime kNow(boost::gregorian::date(2026, 12, 7),
                     pt::hours(14) + pt::minutes(3) + pt::seconds(27) + pt::microseconds(512334));
constexpr std::int64_t kNowUs = 1796652207512334;

std::uint64_t read_be(const lifesign::Record& r, std::size_t offset, std::size_t size) {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < size; ++i) {
        v = (v << 8) | r.at(offset + i);
    }
    return v;
}

std::uint32_t bits(float f) {
    std::uint32_t u = 0;
    std::memcpy(&u, &f, sizeof u);
    return u;
}

pt::ptime at(std::int64_t us_after_now) {
    return kNow + pt::microseconds(us_after_now);
}

// Every field a distinct value, so that a field written at the wrong offset or from the wrong
// source cannot go unnoticed.
struct Crafted {
    SystemStats sys;
    UDPStats udp;
    FIPStats fip;

    Crafted() {
        sys.cpu_load = 12.5F;
        sys.cpu_temp = 45.5F;
        sys.storage_total = 0x1'0000'0101; // low 32 bits only
        sys.storage_used = 0x102;
        sys.storage_avail = 0x103;
        sys.storage_used_pct = 33.25F;
        sys.ram_total = 0x201;
        sys.ram_used = 0x202;
        sys.ram_avail = 0x203;
        sys.ram_used_pct = 75.75F;
        sys.ram_avail_pct = 24.25F; // not sent
        fip.queue_stats.total_bytes = 52'428'800;
        fip.queue_stats.used_bytes = 1'500;
        fip.queue_stats.free_bytes = 1'499;
        fip.queue_stats.used_pct = 0.5F;

        udp.is_active = true;
        udp.total_act_duration = pt::microseconds(0x301);
        udp.total_inact_duration = pt::microseconds(0x302);
        udp.last_start_date = at(3);
        udp.last_stop_date = at(-4);
        udp.act_duration = pt::microseconds(0x305);
        udp.inact_duration = pt::microseconds(0x306);
        udp.loss_act_cnt = 65'537;
        udp.pkt_rcvd_cnt = 0x0102'0304'0506'0708;
        udp.pkt_rcvd_cnt_per_sec = 0x1'0000'0309;
        udp.bytes_rcvd_cnt_per_sec = 0x30A;
        udp.pkt_sent_cnt = 0x30B;
        udp.pkt_sent_cnt_per_sec = 0x30C;
        udp.bytes_sent_cnt_per_sec = 0x30D;
        udp.pkt_err_cnt = 0x30E; // not sent

        fip.is_active = false;
        fip.total_act_duration = pt::microseconds(0x401);
        fip.total_inact_duration = pt::microseconds(0x402);
        fip.last_start_date = at(-5);
        fip.last_stop_date = at(6);
        fip.last_act_duration = pt::microseconds(0x405);
        fip.last_inact_duration = pt::microseconds(0x406);
        fip.loss_act_cnt = 0x4'0407;
        fip.frame_rcvd_cnt = 0x408;
        fip.frame_rcvd_cnt_per_sec = 0x409;
        fip.bytes_rcvd_cnt_per_sec = 0x40A;
        fip.fcs_type = 3;
        fip.aux_code = 0xA5;
        fip.sn = 0xDEADBEEF;
        fip.st0_cnt = 0x500;
        fip.st12_cnt = 0x501;
        fip.st3_cnt = 0x502;
        fip.bad_ctrl_cnt = 0x503;
        fip.bad_fcs_cnt = 0x504;
        fip.bad_pdu_cnt = 0x505;
        fip.bad_len_cnt = 0x506;
        fip.st6_cnt = 0x507;
        fip.st5_cnt = 0x508;
        fip.st4_cnt = 0xFFFF'FFFF'FFFF'FF09;
    }

    lifesign::Record encode(std::uint64_t counter = 7) const {
        return lifesign::encode(counter, kNow, sys, udp, fip);
    }
};

struct Field {
    std::size_t offset;
    std::size_t size;
    std::uint64_t value;
};

TEST(LifesignRecord, EveryFieldAtItsOffsetBigEndian) {
    const Crafted c;
    const lifesign::Record r = c.encode(7);
    const Field fields[] = {
        {0, 1, 0xC1},
        {1, 2, 323},
        {3, 8, 7},
        {11, 8, static_cast<std::uint64_t>(kNowUs)},
        {19, 4, 0xDEADBEEF},
        {23, 4, bits(12.5F)},
        {27, 4, bits(45.5F)},
        {31, 4, 0x101},
        {35, 4, 0x102},
        {39, 4, 0x103},
        {43, 4, bits(33.25F)},
        {47, 4, 0x201},
        {51, 4, 0x202},
        {55, 4, 0x203},
        {59, 4, bits(75.75F)},
        {63, 4, 52429}, // 52,428.8 thousand bytes
        {67, 4, 2},     // 1.5 goes away from zero
        {71, 4, 1},     // 1.499
        {75, 4, bits(0.5F)},
        {79, 1, 1},
        {80, 8, 0x301},
        {88, 8, 0x302},
        {96, 8, static_cast<std::uint64_t>(kNowUs + 3)},
        {104, 8, static_cast<std::uint64_t>(kNowUs - 4)},
        {112, 8, 0x305},
        {120, 8, 0x306},
        {128, 2, 1}, // 65,537 keeps its low 16 bits
        {130, 8, 0x0102'0304'0506'0708},
        {138, 4, 0x309},
        {142, 8, 0x30A},
        {150, 8, 0x30B},
        {158, 4, 0x30C},
        {162, 8, 0x30D},
        {170, 1, 0},
        {171, 8, 0x401},
        {179, 8, 0x402},
        {187, 8, static_cast<std::uint64_t>(kNowUs - 5)},
        {195, 8, static_cast<std::uint64_t>(kNowUs + 6)},
        {203, 8, 0x405},
        {211, 8, 0x406},
        {219, 2, 0x0407},
        {221, 8, 0x408},
        {229, 4, 0x409},
        {233, 8, 0x40A},
        {241, 1, 3},
        {242, 1, 0xA5},
        {243, 8, 0x500},
        {251, 8, 0x501},
        {259, 8, 0x502},
        {267, 8, 0x503},
        {275, 8, 0x504},
        {283, 8, 0x505},
        {291, 8, 0x506},
        {299, 8, 0x507},
        {307, 8, 0x508},
        {315, 8, 0xFFFF'FFFF'FFFF'FF09},
    };
    std::size_t next = 0;
    for (const Field& f : fields) {
        EXPECT_EQ(f.offset, next) << "gap or overlap before offset " << f.offset;
        EXPECT_EQ(read_be(r, f.offset, f.size), f.value) << "field at offset " << f.offset;
        next = f.offset + f.size;
    }
    EXPECT_EQ(next, lifesign::kRecordSize);
}

TEST(LifesignRecord, HeaderAndCounterBytes) {
    const Crafted c;
    for (std::uint64_t counter : {1ULL, 2ULL, 3ULL}) {
        const lifesign::Record r = c.encode(counter);
        EXPECT_EQ(r[0], 0xC1);
        EXPECT_EQ(r[1], 0x01);
        EXPECT_EQ(r[2], 0x43);
        for (std::size_t i = 3; i < 10; ++i) {
            EXPECT_EQ(r[i], 0) << i;
        }
        EXPECT_EQ(r[10], counter);
    }
}

TEST(LifesignRecord, UnmeasuredHostFiguresAreTheQuietNaNPattern) {
    const SystemStats fresh; // as before the sampler's first measurement
    const lifesign::Record r = lifesign::encode(1, kNow, fresh, UDPStats(), FIPStats());
    for (std::size_t offset : {23U, 27U, 43U, 59U}) {
        EXPECT_EQ(r[offset], 0x7F) << offset;
        EXPECT_EQ(r[offset + 1], 0xC0) << offset;
        EXPECT_EQ(r[offset + 2], 0x00) << offset;
        EXPECT_EQ(r[offset + 3], 0x00) << offset;
    }

    // The FPU's own NaN of 0/0 is negative on x86: receivers still see the one pattern.
    SystemStats computed;
    computed.cpu_load = -std::numeric_limits<float>::quiet_NaN();
    const lifesign::Record n = lifesign::encode(1, kNow, computed, UDPStats(), FIPStats());
    EXPECT_EQ(read_be(n, 23, 4), 0x7FC00000U);
}

TEST(LifesignRecord, UsSinceEpochCountsLocalTimeAsIfUtc) {
    EXPECT_EQ(lifesign::us_since_epoch(kNow), kNowUs);
    EXPECT_EQ(lifesign::us_since_epoch(pt::ptime(boost::gregorian::date(1970, 1, 1))), 0);
    EXPECT_EQ(
        lifesign::us_since_epoch(pt::ptime(boost::gregorian::date(1970, 1, 1)) - pt::seconds(1)),
        -1'000'000);
}

// The decoder is written apart from the encoder: fields at both ends of the record and at the
// boundaries between its blocks agree.
TEST(LifesignRecord, TheStreamDecoderReadsTheSameFields) {
    const Crafted c;
    const lifesign::Record r = c.encode(42);
    const auto decoded = wire::decode_event(std::span<const std::uint8_t>(r.data(), r.size()));
    ASSERT_TRUE(std::holds_alternative<wire::LifesignRecord>(decoded));
    const auto& l = std::get<wire::LifesignRecord>(decoded);
    EXPECT_EQ(l.lifesign_cnt, 42U);
    EXPECT_EQ(l.date_us, kNowUs);
    EXPECT_EQ(l.ram_used_pct, c.sys.ram_used_pct);
    EXPECT_EQ(l.buffer_total_k, 52429U);
    EXPECT_EQ(l.buffer_used_pct, c.fip.queue_stats.used_pct);
    EXPECT_EQ(l.udp_is_active, 1);
    EXPECT_EQ(l.udp_bytes_sent_cnt_per_sec, c.udp.bytes_sent_cnt_per_sec);
    EXPECT_EQ(l.fip_last_start_date_us, kNowUs - 5);
    EXPECT_EQ(l.fip_aux_code, 0xA5);
    EXPECT_EQ(l.st4_cnt, c.fip.st4_cnt);
}

// A member of the decoded record and the value the encoder was given for it.
struct Written {
    std::string_view name;
    wire::LifesignMember member;
    wire::LifesignValue value;
};
// clang-format off
#define WRITTEN(member, value) Written{#member, &wire::LifesignRecord::member, value}
// clang-format on

// The receiving side's field table against the encoder, each written without the other: a record
// encoded from distinct statistics reads back through the table, field by field, as the
// statistics it came from. A field moved, resized or bound to another member on either side
// fails here.
TEST(LifesignRecord, TheReceiversFieldTableReadsWhatTheEncoderWrote) {
    using V = wire::LifesignValue;
    const auto u = [](std::uint64_t v) { return V{v}; };
    const auto us = [](const pt::time_duration& d) { return V{d.total_microseconds()}; };
    const auto date = [](const pt::ptime& t) { return V{lifesign::us_since_epoch(t)}; };
    const Crafted c;
    const Written expected[] = {
        WRITTEN(lifesign_cnt, u(42)),
        WRITTEN(date_us, date(kNow)),
        WRITTEN(sn, u(c.fip.sn)),
        WRITTEN(cpu_load, V{c.sys.cpu_load}),
        WRITTEN(cpu_temp, V{c.sys.cpu_temp}),
        WRITTEN(storage_total, u(0x101)), // low 32 bits
        WRITTEN(storage_used, u(c.sys.storage_used)),
        WRITTEN(storage_avail, u(c.sys.storage_avail)),
        WRITTEN(storage_used_pct, V{c.sys.storage_used_pct}),
        WRITTEN(ram_total, u(c.sys.ram_total)),
        WRITTEN(ram_used, u(c.sys.ram_used)),
        WRITTEN(ram_avail, u(c.sys.ram_avail)),
        WRITTEN(ram_used_pct, V{c.sys.ram_used_pct}),
        WRITTEN(buffer_total_k, u(52429)), // thousands of bytes, rounded
        WRITTEN(buffer_used_k, u(2)),
        WRITTEN(buffer_free_k, u(1)),
        WRITTEN(buffer_used_pct, V{c.fip.queue_stats.used_pct}),
        WRITTEN(udp_is_active, u(1)),
        WRITTEN(udp_total_act_duration_us, us(c.udp.total_act_duration)),
        WRITTEN(udp_total_inact_duration_us, us(c.udp.total_inact_duration)),
        WRITTEN(udp_last_start_date_us, date(c.udp.last_start_date)),
        WRITTEN(udp_last_stop_date_us, date(c.udp.last_stop_date)),
        WRITTEN(udp_act_duration_us, us(c.udp.act_duration)),
        WRITTEN(udp_inact_duration_us, us(c.udp.inact_duration)),
        WRITTEN(udp_loss_act_cnt, u(1)), // low 16 bits
        WRITTEN(udp_pkt_rcvd_cnt, u(c.udp.pkt_rcvd_cnt)),
        WRITTEN(udp_pkt_rcvd_cnt_per_sec, u(0x309)), // low 32 bits
        WRITTEN(udp_bytes_rcvd_cnt_per_sec, u(c.udp.bytes_rcvd_cnt_per_sec)),
        WRITTEN(udp_pkt_sent_cnt, u(c.udp.pkt_sent_cnt)),
        WRITTEN(udp_pkt_sent_cnt_per_sec, u(c.udp.pkt_sent_cnt_per_sec)),
        WRITTEN(udp_bytes_sent_cnt_per_sec, u(c.udp.bytes_sent_cnt_per_sec)),
        WRITTEN(fip_is_active, u(0)),
        WRITTEN(fip_total_act_duration_us, us(c.fip.total_act_duration)),
        WRITTEN(fip_total_inact_duration_us, us(c.fip.total_inact_duration)),
        WRITTEN(fip_last_start_date_us, date(c.fip.last_start_date)),
        WRITTEN(fip_last_stop_date_us, date(c.fip.last_stop_date)),
        WRITTEN(fip_last_act_duration_us, us(c.fip.last_act_duration)),
        WRITTEN(fip_last_inact_duration_us, us(c.fip.last_inact_duration)),
        WRITTEN(fip_loss_act_cnt, u(0x0407)), // low 16 bits
        WRITTEN(fip_frame_rcvd_cnt, u(c.fip.frame_rcvd_cnt)),
        WRITTEN(fip_frame_rcvd_cnt_per_sec, u(c.fip.frame_rcvd_cnt_per_sec)),
        WRITTEN(fip_bytes_rcvd_cnt_per_sec, u(c.fip.bytes_rcvd_cnt_per_sec)),
        WRITTEN(fip_fcs_type, u(c.fip.fcs_type)),
        WRITTEN(fip_aux_code, u(c.fip.aux_code)),
        WRITTEN(st0_cnt, u(c.fip.st0_cnt)),
        WRITTEN(st12_cnt, u(c.fip.st12_cnt)),
        WRITTEN(st3_cnt, u(c.fip.st3_cnt)),
        WRITTEN(bad_ctrl_cnt, u(c.fip.bad_ctrl_cnt)),
        WRITTEN(bad_fcs_cnt, u(c.fip.bad_fcs_cnt)),
        WRITTEN(bad_pdu_cnt, u(c.fip.bad_pdu_cnt)),
        WRITTEN(bad_len_cnt, u(c.fip.bad_len_cnt)),
        WRITTEN(st6_cnt, u(c.fip.st6_cnt)),
        WRITTEN(st5_cnt, u(c.fip.st5_cnt)),
        WRITTEN(st4_cnt, u(c.fip.st4_cnt)),
    };
    const auto decode = [](const lifesign::Record& r) {
        const auto e = wire::decode_event(std::span<const std::uint8_t>(r.data(), r.size()));
        EXPECT_TRUE(std::holds_alternative<wire::LifesignRecord>(e));
        return std::holds_alternative<wire::LifesignRecord>(e) ? std::get<wire::LifesignRecord>(e)
                                                               : wire::LifesignRecord{};
    };
    const wire::LifesignRecord l = decode(c.encode(42));
    std::set<std::string_view> read;
    for (const wire::LifesignField& f : wire::kLifesignFields) {
        const auto e = std::find_if(std::begin(expected), std::end(expected),
                                    [&f](const Written& w) { return w.member == f.member; });
        ASSERT_NE(e, std::end(expected)) << f.name << ": in the table, not written by the encoder";
        EXPECT_EQ(f.name, e->name) << "the row at offset " << f.offset << " fills another member";
        EXPECT_EQ(wire::lifesign_value(l, f), e->value) << f.name << " at offset " << f.offset;
        read.insert(e->name);
    }
    EXPECT_EQ(read.size(), std::size(expected)) << "a field the encoder writes is not in the table";

    // The two link flags can only be 0 or 1: flipped, each must follow its own link.
    Crafted flipped;
    flipped.udp.is_active = false;
    flipped.fip.is_active = true;
    const wire::LifesignRecord g = decode(flipped.encode());
    EXPECT_EQ(wire::lifesign_value(g, *wire::find_lifesign_field("udp_is_active")), u(0));
    EXPECT_EQ(wire::lifesign_value(g, *wire::find_lifesign_field("fip_is_active")), u(1));
}
#undef WRITTEN

} // namespace
