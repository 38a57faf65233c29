#include "capture/record_walk.hpp"

#include <cstring>

#include "capture/cv_ioctl.hpp"

namespace {

constexpr std::size_t kLengthOffset = 1;  // big-endian 16-bit total length
constexpr std::size_t kFcsInfoOffset = 3; // bits 3-4: FCS type
constexpr std::size_t kStatusOffset = 4;  // bits 0-6 counted
constexpr std::size_t kIdxOffset = 5;     // big-endian 64-bit sequence index
constexpr unsigned kFcsTypeShift = 3;
constexpr unsigned kFcsTypeMask = 0x3;
constexpr std::uint64_t kFrameOverhead = 3; // counted per record on top of its frame bytes

std::uint64_t read_be(std::span<const std::uint8_t> bytes) {
    std::uint64_t v = 0;
    for (const std::uint8_t b : bytes) {
        v = (v << 8) | b;
    }
    return v;
}

void count_fault(FrameFault fault, WalkCounts& counts) {
    switch (fault) {
    case FrameFault::bad_ctrl:
        ++counts.bad_ctrl_cnt;
        break;
    case FrameFault::bad_fcs:
        ++counts.bad_fcs_cnt;
        break;
    case FrameFault::bad_pdu:
        ++counts.bad_pdu_cnt;
        break;
    case FrameFault::bad_len:
        ++counts.bad_len_cnt;
        break;
    case FrameFault::none:
        break;
    }
}

} // namespace

bool has_ready_bit(std::span<const std::uint8_t> buffer) {
    std::uint32_t status = 0;
    if (buffer.size() < sizeof status) {
        return false;
    }
    std::memcpy(&status, buffer.data(), sizeof status);
    return (status & kReadyBits) != 0;
}

std::span<const std::uint8_t> record_area(std::span<const std::uint8_t> buffer) {
    if (buffer.size() <= kRecordAreaOffset) {
        return {};
    }
    const std::span<const std::uint8_t> area = buffer.subspan(kRecordAreaOffset);
    return area.size() > kRecordAreaSize ? area.first(kRecordAreaSize) : area;
}

std::size_t walk_record_area(std::span<const std::uint8_t> area, const FIPCalculator& calc,
                             SequenceState& seq, WalkCounts& counts, RecordSink* sink) {
    std::size_t accepted = 0;
    std::size_t cursor = 0;
    while (area.size() - cursor >= kCaptureRecordHeaderSize) {
        const std::span<const std::uint8_t> rest = area.subspan(cursor);
        if (rest[0] != kCaptureRecordType) {
            break;
        }
        // The sequence check sees every record with a header, even one refused for its length
        // below: the card numbered it, so its index tells about lost records all the same.
        const std::uint64_t idx = read_be(rest.subspan(kIdxOffset, 8));
        if (idx != 0 && idx != seq.prev_idx + 1) {
            const auto diff = static_cast<std::int64_t>(idx - seq.prev_idx);
            // Indexes come from the card and may jump anywhere: the total wraps like the
            // indexes do instead of overflowing a signed sum.
            seq.lost_total = static_cast<std::int64_t>(static_cast<std::uint64_t>(seq.lost_total) +
                                                       static_cast<std::uint64_t>(diff));
            ++counts.loss_cont_evt_cnt;
            if (sink != nullptr) {
                sink->on_sequence_gap(seq.prev_idx, idx, diff);
            }
        }
        if (idx != 0) {
            seq.prev_idx = idx;
        }
        const auto length = static_cast<std::size_t>(read_be(rest.subspan(kLengthOffset, 2)));
        // A length shorter than the header would move the cursor backwards into this record or
        // not at all; one past the area would read beyond it. Either way nothing after it can
        // be trusted.
        if (length < kCaptureRecordHeaderSize || length > rest.size()) {
            break;
        }
        const std::span<const std::uint8_t> record = rest.first(length);
        const std::uint8_t status = record[kStatusOffset];
        counts.st0_cnt += status & 0x01U;
        counts.st12_cnt += (status & 0x06U) != 0 ? 1 : 0;
        counts.st3_cnt += (status >> 3) & 0x01U;
        counts.st4_cnt += (status >> 4) & 0x01U;
        counts.st5_cnt += (status >> 5) & 0x01U;
        counts.st6_cnt += (status >> 6) & 0x01U;
        const auto fcs_type =
            static_cast<std::uint8_t>((record[kFcsInfoOffset] >> kFcsTypeShift) & kFcsTypeMask);
        counts.has_fcs_type = true;
        counts.last_fcs_type = fcs_type;
        const std::span<const std::uint8_t> frame = record.subspan(kCaptureRecordHeaderSize);
        ++counts.frame_rcvd_cnt;
        counts.bytes_rcvd_cnt += frame.size() + kFrameOverhead;
        count_fault(calc.first_fault(fcs_type, frame), counts);
        if (sink != nullptr) {
            sink->on_record(record);
        }
        ++accepted;
        cursor += length;
    }
    return accepted;
}
