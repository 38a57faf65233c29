#include "monitoring/lifesign_record.hpp"

#include <bit>
#include <cassert>
#include <cmath>

#include <boost/date_time/posix_time/posix_time.hpp>

namespace lifesign {

namespace {

// Appends big-endian fields at a running offset, so that the order of the calls below is the
// layout of the record and no offset can be mistyped.
class Writer {
public:
    explicit Writer(Record& r) : rec(r) {}

    void u8(std::uint8_t v) { rec[pos++] = v; }
    void u16(std::uint64_t v) { be(v, 2); }
    void u32(std::uint64_t v) { be(v, 4); }
    void u64(std::uint64_t v) { be(v, 8); }
    void i64(std::int64_t v) { be(static_cast<std::uint64_t>(v), 8); }
    void flag(bool v) { u8(v ? 1 : 0); }

    // A receiver compares against one pattern; the FPU's own NaN (0/0 gives a negative one on
    // x86) would not match it.
    void f32(float v) { u32(std::isnan(v) ? kNaNPattern : std::bit_cast<std::uint32_t>(v)); }

    void date(const boost::posix_time::ptime& t) { i64(us_since_epoch(t)); }
    void duration(const boost::posix_time::time_duration& d) { i64(d.total_microseconds()); }

    // Decimal thousands, halves away from zero; a 64-bit count still fits a double exactly
    // enough for that, and its quotient fits llround's range.
    void thousands(std::uint64_t bytes) {
        u32(static_cast<std::uint64_t>(std::llround(static_cast<double>(bytes) / 1000.0)));
    }

    std::size_t offset() const { return pos; }

private:
    // Keeps the low-order `size` bytes of v, most significant first.
    void be(std::uint64_t v, std::size_t size) {
        for (std::size_t i = size; i-- > 0;) {
            rec[pos + i] = static_cast<std::uint8_t>(v & 0xFF);
            v >>= 8;
        }
        pos += size;
    }

    Record& rec;
    std::size_t pos = 0;
};

} // namespace

std::int64_t us_since_epoch(const boost::posix_time::ptime& t) {
    static const boost::posix_time::ptime epoch(boost::gregorian::date(1970, 1, 1));
    return (t - epoch).total_microseconds();
}

Record encode(std::uint64_t counter, const boost::posix_time::ptime& now, const SystemStats& sys,
              const UDPStats& udp, const FIPStats& fip) {
    Record rec{};
    Writer w(rec);

    w.u8(kRecordType); // 0
    w.u16(kRecordSize);
    w.u64(counter);
    w.date(now);
    w.u32(fip.sn); // 19

    w.f32(sys.cpu_load); // 23
    w.f32(sys.cpu_temp);
    w.u32(sys.storage_total);
    w.u32(sys.storage_used);
    w.u32(sys.storage_avail);
    w.f32(sys.storage_used_pct);
    w.u32(sys.ram_total); // 47
    w.u32(sys.ram_used);
    w.u32(sys.ram_avail);
    w.f32(sys.ram_used_pct);

    const SyncMappedQueueStats& q = fip.queue_stats;
    w.thousands(q.total_bytes); // 63
    w.thousands(q.used_bytes);
    w.thousands(q.free_bytes);
    w.f32(q.used_pct);

    w.flag(udp.is_active); // 79
    w.duration(udp.total_act_duration);
    w.duration(udp.total_inact_duration);
    w.date(udp.last_start_date); // 96
    w.date(udp.last_stop_date);
    w.duration(udp.act_duration);
    w.duration(udp.inact_duration);
    w.u16(udp.loss_act_cnt); // 128
    w.u64(udp.pkt_rcvd_cnt);
    w.u32(udp.pkt_rcvd_cnt_per_sec);
    w.u64(udp.bytes_rcvd_cnt_per_sec);
    w.u64(udp.pkt_sent_cnt); // 150
    w.u32(udp.pkt_sent_cnt_per_sec);
    w.u64(udp.bytes_sent_cnt_per_sec);

    w.flag(fip.is_active); // 170
    w.duration(fip.total_act_duration);
    w.duration(fip.total_inact_duration);
    w.date(fip.last_start_date); // 187
    w.date(fip.last_stop_date);
    w.duration(fip.last_act_duration);
    w.duration(fip.last_inact_duration);
    w.u16(fip.loss_act_cnt); // 219
    w.u64(fip.frame_rcvd_cnt);
    w.u32(fip.frame_rcvd_cnt_per_sec);
    w.u64(fip.bytes_rcvd_cnt_per_sec);
    w.u8(fip.fcs_type); // 241
    w.u8(fip.aux_code);
    w.u64(fip.st0_cnt); // 243
    w.u64(fip.st12_cnt);
    w.u64(fip.st3_cnt);
    w.u64(fip.bad_ctrl_cnt);
    w.u64(fip.bad_fcs_cnt);
    w.u64(fip.bad_pdu_cnt);
    w.u64(fip.bad_len_cnt);
    w.u64(fip.st6_cnt);
    w.u64(fip.st5_cnt);
    w.u64(fip.st4_cnt); // 315

    assert(w.offset() == kRecordSize);
    return rec;
}

} // namespace lifesign
