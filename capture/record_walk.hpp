// The walk over the record area of one transfer buffer, as a pure function over bytes: it reads
// nothing outside the span it is given, whatever the bytes say, so it is fuzzed on its own.
//
// A capture record (big-endian fields):
//   0  type (0xC0)   1  total length (2)   3  fcs_info (bits 3-4: FCS type)   4  status
//   5  sequence index (8, 0 = not numbered)   13  17 bytes forwarded unread   30  frame
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "capture/fip_calculator.hpp"

constexpr std::uint8_t kCaptureRecordType = 0xC0;    // type byte of a capture record
constexpr std::size_t kCaptureRecordHeaderSize = 30; // bytes before the frame

// Sequence state that lives from one capture start to the next stop, across buffers.
struct SequenceState {
    std::uint64_t prev_idx = 0;  // last non-zero index seen
    std::int64_t lost_total = 0; // sum of the index differences of every gap, wrapping
};

// What the records of one buffer add to the statistics; the caller adds it under one lock.
struct WalkCounts {
    std::uint64_t frame_rcvd_cnt = 0;
    std::uint64_t bytes_rcvd_cnt = 0; // frame length + 3 per record
    std::uint64_t st0_cnt = 0;
    std::uint64_t st12_cnt = 0;
    std::uint64_t st3_cnt = 0;
    std::uint64_t st4_cnt = 0;
    std::uint64_t st5_cnt = 0;
    std::uint64_t st6_cnt = 0;
    std::uint64_t bad_ctrl_cnt = 0;
    std::uint64_t bad_fcs_cnt = 0;
    std::uint64_t bad_pdu_cnt = 0;
    std::uint64_t bad_len_cnt = 0;
    std::uint64_t loss_cont_evt_cnt = 0;
    bool has_fcs_type = false; // a record was processed: last_fcs_type is meaningful
    std::uint8_t last_fcs_type = 0;
};

// Receives what the walk finds, in buffer order, on the walking thread.
class RecordSink {
public:
    virtual ~RecordSink() = default;
    // A numbered record whose index is not the previous one plus 1; `diff` is idx - prev_idx.
    virtual void on_sequence_gap(std::uint64_t prev_idx, std::uint64_t idx, std::int64_t diff) = 0;
    // A record accepted by the walk, header and frame (its total length, `record.size()` bytes).
    // Valid during the call only.
    virtual void on_record(std::span<const std::uint8_t> record) = 0;
};

// True when the status word (first 4 bytes, host order) of `buffer` has a ready bit set.
bool has_ready_bit(std::span<const std::uint8_t> buffer);

// The record area of a transfer buffer: at most kRecordAreaSize bytes from kRecordAreaOffset,
// empty when the buffer is shorter.
std::span<const std::uint8_t> record_area(std::span<const std::uint8_t> buffer);

// Walks the records of `area` from its start. Stops at fewer than 30 remaining bytes, a type other
// than 0xC0, a length of 0 to 29 or a length running past the end of `area`; the sequence check
// still sees a record refused for its length. Each accepted record has its frame checked with
// its own FCS type, is counted into `counts` and handed to `sink` (which may be null). Returns
// the number of records accepted.
std::size_t walk_record_area(std::span<const std::uint8_t> area, const FIPCalculator& calc,
                             SequenceState& seq, WalkCounts& counts, RecordSink* sink);
