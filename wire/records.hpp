// The decoded forms of what travels in a datagram: the datagram header, capture records,
// lifesign records, and the reason a datagram or record could not be decoded.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <variant>
#include <vector>

#include "wire/frame.hpp"

namespace wire {

constexpr std::size_t kDatagramHeaderSize = 16;  // bytes before the first event
constexpr std::size_t kEventHeaderSize = 3;      // type byte and 16-bit length of every event
constexpr std::size_t kCaptureHeaderSize = 30;   // bytes of a capture record before its frame
constexpr std::size_t kCaptureReservedSize = 17; // header bytes the gateway forwards uninterpreted
// Bytes of the lifesign fields this decoder knows. A longer lifesign carries fields a newer
// gateway added after them: they are skipped, so that receivers keep working when one is added.
constexpr std::size_t kLifesignSize = 323;
constexpr std::uint8_t kCaptureType = 0xC0;
constexpr std::uint8_t kLifesignType = 0xC1;

struct CaptureRecord {
    std::size_t offset = 0; // of the record in the decoded buffer (datagram or event)
    std::uint8_t type = kCaptureType;
    std::uint16_t length = 0; // bytes, header included
    std::uint8_t fcs_info = 0;
    std::uint8_t fcs_type = 0; // bits 3-4 of fcs_info: 1 or 2 name an algorithm
    std::uint8_t status = 0;   // bits 0-6 counted by the gateway, bit 7 not interpreted
    std::uint64_t idx = 0;     // sequence index; 0 = not numbered
    std::array<std::uint8_t, kCaptureReservedSize> reserved{};
    std::vector<std::uint8_t> frame; // control byte to last FCS byte
    FrameInfo info;                  // decode_frame(fcs_type, frame)

    bool status_bit(unsigned bit) const { return bit < 8 && ((status >> bit) & 1U) != 0; }
};

// Every field of the lifesign record at its offset. Dates are microseconds since 1970-01-01
// 00:00:00 of the sender's local wall-clock time; durations are microseconds. Buffer sizes are
// in thousands of bytes, host sizes in KB (1024 bytes). Activity flags are the raw byte.
struct LifesignRecord {
    std::size_t offset = 0;
    std::uint8_t type = kLifesignType;
    std::uint16_t length = kLifesignSize; // as the record states it: kLifesignSize or more
    std::uint64_t lifesign_cnt = 0;
    std::int64_t date_us = 0;
    std::uint32_t sn = 0;
    float cpu_load = 0;
    float cpu_temp = 0;
    std::uint32_t storage_total = 0;
    std::uint32_t storage_used = 0;
    std::uint32_t storage_avail = 0;
    float storage_used_pct = 0;
    std::uint32_t ram_total = 0;
    std::uint32_t ram_used = 0;
    std::uint32_t ram_avail = 0;
    float ram_used_pct = 0;
    std::uint32_t buffer_total_k = 0;
    std::uint32_t buffer_used_k = 0;
    std::uint32_t buffer_free_k = 0;
    float buffer_used_pct = 0;
    std::uint8_t udp_is_active = 0;
    std::int64_t udp_total_act_duration_us = 0;
    std::int64_t udp_total_inact_duration_us = 0;
    std::int64_t udp_last_start_date_us = 0;
    std::int64_t udp_last_stop_date_us = 0;
    std::int64_t udp_act_duration_us = 0;
    std::int64_t udp_inact_duration_us = 0;
    std::uint16_t udp_loss_act_cnt = 0;
    std::uint64_t udp_pkt_rcvd_cnt = 0;
    std::uint32_t udp_pkt_rcvd_cnt_per_sec = 0;
    std::uint64_t udp_bytes_rcvd_cnt_per_sec = 0;
    std::uint64_t udp_pkt_sent_cnt = 0;
    std::uint32_t udp_pkt_sent_cnt_per_sec = 0;
    std::uint64_t udp_bytes_sent_cnt_per_sec = 0;
    std::uint8_t fip_is_active = 0;
    std::int64_t fip_total_act_duration_us = 0;
    std::int64_t fip_total_inact_duration_us = 0;
    std::int64_t fip_last_start_date_us = 0;
    std::int64_t fip_last_stop_date_us = 0;
    std::int64_t fip_last_act_duration_us = 0;
    std::int64_t fip_last_inact_duration_us = 0;
    std::uint16_t fip_loss_act_cnt = 0;
    std::uint64_t fip_frame_rcvd_cnt = 0;
    std::uint32_t fip_frame_rcvd_cnt_per_sec = 0;
    std::uint64_t fip_bytes_rcvd_cnt_per_sec = 0;
    std::uint8_t fip_fcs_type = 0; // of the last capture record processed
    std::uint8_t fip_aux_code = 0;
    std::uint64_t st0_cnt = 0;
    std::uint64_t st12_cnt = 0;
    std::uint64_t st3_cnt = 0;
    std::uint64_t bad_ctrl_cnt = 0;
    std::uint64_t bad_fcs_cnt = 0;
    std::uint64_t bad_pdu_cnt = 0;
    std::uint64_t bad_len_cnt = 0;
    std::uint64_t st6_cnt = 0;
    std::uint64_t st5_cnt = 0;
    std::uint64_t st4_cnt = 0;

    // Bytes after the known fields, left undecoded.
    std::size_t extra_bytes() const { return length > kLifesignSize ? length - kLifesignSize : 0; }
};

using Event = std::variant<CaptureRecord, LifesignRecord>;

enum class Fault {
    short_header,         // fewer than 16 bytes
    bad_magic,            // bytes 0-1 are not 43 56
    bad_constant,         // bytes 2-3 are not 01 00
    no_events,            // nothing after the header
    short_event,          // fewer than 3 bytes left for an event's type and length
    event_too_short,      // an event length below 3
    event_past_end,       // an event length that runs past the end of the buffer
    unknown_type,         // a type byte other than C0 and C1
    short_capture_record, // a capture record shorter than its 30-byte header
    bad_lifesign_length,  // a lifesign record shorter than 323 bytes
    count_mismatch,       // the header's event count differs from the events walked
    trailing_bytes,       // bytes left after a single decoded event
};

struct DecodeError {
    Fault fault = Fault::short_header;
    std::size_t offset = 0; // of the offending byte or field in the decoded buffer

    // A static sentence naming the fault, without the offset.
    const char* reason() const;
};

struct Datagram {
    std::uint64_t seq = 0;         // datagram sequence number
    std::uint32_t event_count = 0; // as the header states it
    std::vector<Event> events;     // the events walked before any error, in order
    std::optional<DecodeError> error;

    bool ok() const { return !error.has_value(); }
};

} // namespace wire
