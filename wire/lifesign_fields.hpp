// The lifesign record's fields, one row each: where the field lies, what its number means, and
// how a receiver shows it. The decoder reads by this table and fipdump's text, JSON and metrics
// render from it, so a field is added on the receiving side here and in LifesignRecord only.
// The gateway's encoder and the Wireshark dissector are written apart from it on purpose: each
// is a cross-check of the other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

#include "wire/records.hpp"

namespace wire {

// What a field's number means; it decides how each output shows the field.
enum class Unit : std::uint8_t {
    count,          // things counted since the gateway started
    rate,           // things in the last second
    byte_rate,      // bytes in the last second
    identifier,     // a serial number or a type, shown as is
    code,           // a raw code byte, shown in hexadecimal
    flag,           // the raw byte: 0 is no, anything else yes
    date,           // microseconds since 1970-01-01 00:00:00 of the gateway's local wall-clock
                    // time; 0 means never
    duration,       // microseconds
    percent,        // 0-100; NaN while not measured
    celsius,        // NaN while not measured
    kib,            // host sizes: 1024 bytes
    thousand_bytes, // the event buffer's sizes, rounded to the nearest 1000 bytes
};

enum class MetricType : std::uint8_t { none, gauge, counter };

// A family whose samples are several fields, told apart by one more label.
struct SharedFamily {
    std::string_view name;
    MetricType type;
    std::string_view help;
    std::string_view label;
    bool by_label; // samples sorted by label value (as text) rather than in the record's order
};

// How fipdump's metrics publish a field: as a family of its own, or as one sample of a shared
// family. The value is converted to base units by the unit: sizes to bytes, durations to
// seconds, percentages to ratios 0-1, flags to 0 or 1, and a date to its age at the lifesign
// that reports it (no sample while it is 0). The card's identity goes out as the labels of
// fipdump's card info family instead.
struct Metric {
    std::string_view name;
    MetricType type = MetricType::none;
    std::string_view help;
    const SharedFamily* shared = nullptr;
    std::string_view sample{}; // the label's value in the shared family
};

constexpr Metric gauge(std::string_view name, std::string_view help) {
    return {name, MetricType::gauge, help};
}
constexpr Metric counter(std::string_view name, std::string_view help) {
    return {name, MetricType::counter, help};
}
constexpr Metric sample(const SharedFamily& family, std::string_view label_value) {
    return {{}, MetricType::none, {}, &family, label_value};
}

inline constexpr SharedFamily kBadFrames{
    "fipgate_bad_frames_total", MetricType::counter,
    "Frames that failed a check: control byte, FCS, PDU type, length", "check", false};
// By bit number, whatever the counters' order in the record.
inline constexpr SharedFamily kStatusBitRecords{
    "fipgate_status_bit_records_total", MetricType::counter,
    "Capture records with a status bit set (bits 1 and 2 counted together)", "bit", true};
// The shared families in the order they are published, after the fields' own families.
inline constexpr const SharedFamily* kSharedFamilies[] = {&kBadFrames, &kStatusBitRecords};

// The member a field decodes into; its type gives the width on the wire (big-endian; floats
// are IEEE-754 single precision sent as their bit pattern).
using LifesignMember =
    std::variant<std::uint8_t LifesignRecord::*, std::uint16_t LifesignRecord::*,
                 std::uint32_t LifesignRecord::*, std::uint64_t LifesignRecord::*,
                 std::int64_t LifesignRecord::*, float LifesignRecord::*>;

struct LifesignField {
    std::string_view name; // the member's name; fipdump's text line places the field by it
    std::size_t offset;    // from the record's type byte
    LifesignMember member;
    Unit unit;
    std::string_view json_key{}; // empty: the name
    Metric metric{};

    constexpr std::size_t width() const {
        return std::visit(
            [](auto m) {
                return sizeof(
                    std::remove_reference_t<decltype(std::declval<LifesignRecord&>().*m)>);
            },
            member);
    }
    constexpr std::string_view key() const { return json_key.empty() ? name : json_key; }
};

namespace detail {
using L = LifesignRecord;

inline constexpr LifesignField kLifesignRows[] = {
    {"lifesign_cnt", 3, &L::lifesign_cnt, Unit::count, "counter",
     counter("fipgate_lifesign_records_total", "Lifesign records built by the gateway")},
    {"date_us", 11, &L::date_us, Unit::date},
    {"sn", 19, &L::sn, Unit::identifier},
    {"cpu_load", 23, &L::cpu_load, Unit::percent, "cpu_load_pct",
     gauge("fipgate_cpu_load_ratio", "CPU load over the last second (0-1)")},
    {"cpu_temp", 27, &L::cpu_temp, Unit::celsius, "cpu_temp_c",
     gauge("fipgate_cpu_temperature_celsius", "CPU temperature")},
    {"storage_total", 31, &L::storage_total, Unit::kib, "storage_total_kb",
     gauge("fipgate_storage_total_bytes", "Storage size")},
    {"storage_used", 35, &L::storage_used, Unit::kib, "storage_used_kb",
     gauge("fipgate_storage_used_bytes", "Storage used")},
    {"storage_avail", 39, &L::storage_avail, Unit::kib, "storage_avail_kb",
     gauge("fipgate_storage_available_bytes", "Storage available")},
    {"storage_used_pct", 43, &L::storage_used_pct, Unit::percent, "",
     gauge("fipgate_storage_used_ratio", "Storage used (0-1)")},
    {"ram_total", 47, &L::ram_total, Unit::kib, "ram_total_kb",
     gauge("fipgate_ram_total_bytes", "RAM size")},
    {"ram_used", 51, &L::ram_used, Unit::kib, "ram_used_kb",
     gauge("fipgate_ram_used_bytes", "RAM used")},
    {"ram_avail", 55, &L::ram_avail, Unit::kib, "ram_avail_kb",
     gauge("fipgate_ram_available_bytes", "RAM available")},
    {"ram_used_pct", 59, &L::ram_used_pct, Unit::percent, "",
     gauge("fipgate_ram_used_ratio", "RAM used (0-1)")},
    {"buffer_total_k", 63, &L::buffer_total_k, Unit::thousand_bytes, "",
     gauge("fipgate_buffer_total_bytes", "Event buffer size (to the nearest 1000 bytes)")},
    {"buffer_used_k", 67, &L::buffer_used_k, Unit::thousand_bytes, "",
     gauge("fipgate_buffer_used_bytes", "Event buffer used (to the nearest 1000 bytes)")},
    {"buffer_free_k", 71, &L::buffer_free_k, Unit::thousand_bytes, "",
     gauge("fipgate_buffer_free_bytes", "Event buffer free (to the nearest 1000 bytes)")},
    {"buffer_used_pct", 75, &L::buffer_used_pct, Unit::percent, "",
     gauge("fipgate_buffer_used_ratio", "Event buffer used (0-1)")},

    {"udp_is_active", 79, &L::udp_is_active, Unit::flag, "",
     gauge("fipgate_udp_active", "UDP link active (1) or not (0)")},
    {"udp_total_act_duration_us", 80, &L::udp_total_act_duration_us, Unit::duration, "",
     counter("fipgate_udp_active_seconds_total", "UDP link total activity")},
    {"udp_total_inact_duration_us", 88, &L::udp_total_inact_duration_us, Unit::duration, "",
     counter("fipgate_udp_inactive_seconds_total", "UDP link total inactivity")},
    {"udp_last_start_date_us", 96, &L::udp_last_start_date_us, Unit::date, "",
     gauge("fipgate_udp_last_start_age_seconds",
           "Time from the UDP link's last start to the last lifesign")},
    {"udp_last_stop_date_us", 104, &L::udp_last_stop_date_us, Unit::date, "",
     gauge("fipgate_udp_last_stop_age_seconds",
           "Time from the UDP link's last stop to the last lifesign")},
    {"udp_act_duration_us", 112, &L::udp_act_duration_us, Unit::duration, "",
     gauge("fipgate_udp_activity_seconds", "UDP link current or last activity period")},
    {"udp_inact_duration_us", 120, &L::udp_inact_duration_us, Unit::duration, "",
     gauge("fipgate_udp_inactivity_seconds", "UDP link current or last inactivity period")},
    {"udp_loss_act_cnt", 128, &L::udp_loss_act_cnt, Unit::count, "",
     counter("fipgate_udp_activity_losses_total", "UDP link losses of activity (16 bits)")},
    {"udp_pkt_rcvd_cnt", 130, &L::udp_pkt_rcvd_cnt, Unit::count, "",
     counter("fipgate_udp_received_datagrams_total", "Datagrams received by the gateway")},
    {"udp_pkt_rcvd_cnt_per_sec", 138, &L::udp_pkt_rcvd_cnt_per_sec, Unit::rate},
    {"udp_bytes_rcvd_cnt_per_sec", 142, &L::udp_bytes_rcvd_cnt_per_sec, Unit::byte_rate, "",
     gauge("fipgate_udp_received_bytes_per_second", "Bytes received last second")},
    {"udp_pkt_sent_cnt", 150, &L::udp_pkt_sent_cnt, Unit::count, "",
     counter("fipgate_udp_sent_datagrams_total", "Datagrams sent by the gateway")},
    {"udp_pkt_sent_cnt_per_sec", 158, &L::udp_pkt_sent_cnt_per_sec, Unit::rate},
    {"udp_bytes_sent_cnt_per_sec", 162, &L::udp_bytes_sent_cnt_per_sec, Unit::byte_rate, "",
     gauge("fipgate_udp_sent_bytes_per_second", "Bytes sent last second")},

    {"fip_is_active", 170, &L::fip_is_active, Unit::flag, "",
     gauge("fipgate_fip_active", "Fieldbus link active (1) or not (0)")},
    {"fip_total_act_duration_us", 171, &L::fip_total_act_duration_us, Unit::duration, "",
     counter("fipgate_fip_active_seconds_total", "Fieldbus link total activity")},
    {"fip_total_inact_duration_us", 179, &L::fip_total_inact_duration_us, Unit::duration, "",
     counter("fipgate_fip_inactive_seconds_total", "Fieldbus link total inactivity")},
    {"fip_last_start_date_us", 187, &L::fip_last_start_date_us, Unit::date, "",
     gauge("fipgate_fip_last_start_age_seconds",
           "Time from the fieldbus link's last start to the last lifesign")},
    {"fip_last_stop_date_us", 195, &L::fip_last_stop_date_us, Unit::date, "",
     gauge("fipgate_fip_last_stop_age_seconds",
           "Time from the fieldbus link's last stop to the last lifesign")},
    {"fip_last_act_duration_us", 203, &L::fip_last_act_duration_us, Unit::duration, "",
     gauge("fipgate_fip_activity_seconds", "Fieldbus link last activity period")},
    {"fip_last_inact_duration_us", 211, &L::fip_last_inact_duration_us, Unit::duration, "",
     gauge("fipgate_fip_inactivity_seconds", "Fieldbus link last inactivity period")},
    {"fip_loss_act_cnt", 219, &L::fip_loss_act_cnt, Unit::count, "",
     counter("fipgate_fip_activity_losses_total", "Fieldbus losses of activity (16 bits)")},
    {"fip_frame_rcvd_cnt", 221, &L::fip_frame_rcvd_cnt, Unit::count, "",
     counter("fipgate_fip_frames_total", "Capture records received from the card")},
    {"fip_frame_rcvd_cnt_per_sec", 229, &L::fip_frame_rcvd_cnt_per_sec, Unit::rate},
    {"fip_bytes_rcvd_cnt_per_sec", 233, &L::fip_bytes_rcvd_cnt_per_sec, Unit::byte_rate, "",
     gauge("fipgate_fip_bytes_per_second", "Fieldbus bytes counted last second")},
    {"fip_fcs_type", 241, &L::fip_fcs_type, Unit::identifier}, // of the last capture record
    {"fip_aux_code", 242, &L::fip_aux_code, Unit::code},

    {"st0_cnt", 243, &L::st0_cnt, Unit::count, "", sample(kStatusBitRecords, "0")},
    {"st12_cnt", 251, &L::st12_cnt, Unit::count, "", sample(kStatusBitRecords, "1_2")},
    {"st3_cnt", 259, &L::st3_cnt, Unit::count, "", sample(kStatusBitRecords, "3")},
    {"bad_ctrl_cnt", 267, &L::bad_ctrl_cnt, Unit::count, "", sample(kBadFrames, "control")},
    {"bad_fcs_cnt", 275, &L::bad_fcs_cnt, Unit::count, "", sample(kBadFrames, "fcs")},
    {"bad_pdu_cnt", 283, &L::bad_pdu_cnt, Unit::count, "", sample(kBadFrames, "pdu")},
    {"bad_len_cnt", 291, &L::bad_len_cnt, Unit::count, "", sample(kBadFrames, "length")},
    {"st6_cnt", 299, &L::st6_cnt, Unit::count, "", sample(kStatusBitRecords, "6")},
    {"st5_cnt", 307, &L::st5_cnt, Unit::count, "", sample(kStatusBitRecords, "5")},
    {"st4_cnt", 315, &L::st4_cnt, Unit::count, "", sample(kStatusBitRecords, "4")},
};

} // namespace detail

// In the order of the record, which is also the order of the JSON keys and of the metric
// families. Bytes 0 to 2 are the event header (type and length) that every event has.
inline constexpr const auto& kLifesignFields = detail::kLifesignRows;

// The index in kLifesignFields of the row named `name`, or kNoLifesignField. An index rather
// than a pointer, so that compile-time checks also compile under GCC's -fsanitize=undefined.
inline constexpr std::size_t kNoLifesignField = std::size(kLifesignFields);
constexpr std::size_t lifesign_field_index(std::string_view name) {
    for (std::size_t i = 0; i < std::size(kLifesignFields); ++i) {
        if (kLifesignFields[i].name == name) {
            return i;
        }
    }
    return kNoLifesignField;
}

// The row named `name`, or nullptr.
constexpr const LifesignField* find_lifesign_field(std::string_view name) {
    const std::size_t i = lifesign_field_index(name);
    return i == kNoLifesignField ? nullptr : &kLifesignFields[i];
}

namespace detail {

// The member type each unit is read as by the outputs (dates are subtracted, flags compared).
constexpr bool unit_fits_member(Unit unit, const LifesignMember& member) {
    switch (unit) {
    case Unit::date:
    case Unit::duration:
        return std::holds_alternative<std::int64_t LifesignRecord::*>(member);
    case Unit::flag:
    case Unit::code:
        return std::holds_alternative<std::uint8_t LifesignRecord::*>(member);
    case Unit::percent:
    case Unit::celsius:
        return std::holds_alternative<float LifesignRecord::*>(member);
    default:
        return !std::holds_alternative<float LifesignRecord::*>(member) &&
               !std::holds_alternative<std::int64_t LifesignRecord::*>(member);
    }
}

// The rows tile the record from the end of its event header to its last byte, names are unique
// and every unit suits its member.
constexpr bool lifesign_table_is_sound() {
    std::size_t next = kEventHeaderSize;
    for (std::size_t i = 0; i < std::size(kLifesignFields); ++i) {
        const LifesignField& f = kLifesignFields[i];
        if (f.offset != next || lifesign_field_index(f.name) != i ||
            !unit_fits_member(f.unit, f.member)) {
            return false;
        }
        next += f.width();
    }
    return next == kLifesignSize;
}
static_assert(lifesign_table_is_sound());

} // namespace detail

// A field's value, widened: unsigned, signed or float as its member is.
using LifesignValue = std::variant<std::uint64_t, std::int64_t, float>;
LifesignValue lifesign_value(const LifesignRecord& record, const LifesignField& field);

} // namespace wire
