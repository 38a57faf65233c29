// The card's transfer buffer and capture record layout, and the packing of records into it.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>

#include "frame_kind.hpp"

namespace capvane_sim {

constexpr std::size_t kTransferBytes = 32780;             // bytes handed over per wait request
constexpr std::size_t kRecordAreaOffset = 12;             // status word (4) + card's own words (8)
constexpr std::size_t kRecordAreaBytes = 32768;           // bytes of records per buffer
constexpr std::size_t kRecordHeaderBytes = 30;            // record header before the frame
constexpr std::size_t kMaxRecordBytes = kRecordAreaBytes; // a record must fit one area
constexpr std::size_t kMaxFrameBytes = 265;               // longest valid frame (message frames)
constexpr uint8_t kCaptureRecordType = 0xC0;
constexpr uint32_t kReadyBit31 = 1u << 31;
constexpr uint32_t kReadyBit30 = 1u << 30;

// Byte offsets inside a record header.
constexpr std::size_t kRecLengthOffset = 1;
constexpr std::size_t kRecFcsInfoOffset = 3;
constexpr std::size_t kRecStatusOffset = 4;
constexpr std::size_t kRecIndexOffset = 5;
constexpr std::size_t kRecTimeOffset = 13;     // u64 ns since the epoch
constexpr std::size_t kRecDurationOffset = 21; // u32 ns on the wire
constexpr std::size_t kRecSilenceOffset = 25;  // u32 ns of silence before the frame
constexpr std::size_t kRecBitrateOffset = 29;  // bit rate code

struct RecordFields {
    uint64_t index = 0; // 0: unnumbered
    uint8_t status = 0;
    int fcs_type = 1;
    uint64_t time_ns = 0;
    uint32_t duration_ns = 0;
    uint32_t silence_ns = 0;
    uint8_t bitrate_code = 0;
};

// Bit rate code of record byte 29: 0 = 31.25 kbit/s, 1 = 1 Mbit/s, 2 = 2.5 Mbit/s, 3 = 5 Mbit/s.
uint8_t bitrate_code(uint32_t bitrate);

// Writes header and frame at dst (room for kRecordHeaderBytes + frame_len is the caller's job);
// returns the record length.
std::size_t pack_record(uint8_t* dst, const RecordFields& fields, const uint8_t* frame,
                        std::size_t frame_len);

// Length of the well-formed capture record at p, given `avail` readable bytes: type 0xC0, a
// length of at least the header that stays within `avail` and within one record area.
// 0 when the bytes are not such a record. Never reads beyond `avail`.
std::size_t well_formed_record_length(const uint8_t* p, std::size_t avail);

uint64_t read_be64(const uint8_t* p);
void write_be64(uint8_t* p, uint64_t v);
void write_be32(uint8_t* p, uint32_t v);
void write_be16(uint8_t* p, uint16_t v);

// What a buffer carries, kept so that statistics count exactly the records handed over.
struct Tally {
    uint64_t records = 0;
    uint64_t bytes = 0;       // whole records
    uint64_t frame_bytes = 0; // frames only
    std::array<uint64_t, kFrameKindCount> kinds{};
    std::array<uint64_t, 8> status_bits{};
    uint64_t unnumbered = 0;
    uint64_t last_index = 0; // last non-zero index seen, 0 if none

    void add_record(const uint8_t* record, std::size_t len);
    void add(const Tally& other);
};

struct TransferBuffer {
    std::array<uint8_t, kTransferBytes> bytes{};
    std::size_t area_used = 0;
    Tally tally;
    // False for decoy buffers: what they carry must never reach the daemon's statistics.
    bool counted = true;
    std::chrono::steady_clock::time_point first_record_at{};

    void clear();
    bool empty() const { return area_used == 0; }
    std::size_t room() const { return kRecordAreaBytes - area_used; }
    uint8_t* cursor() { return bytes.data() + kRecordAreaOffset + area_used; }
    // Accounts for a record just written at cursor(); `tallied` false keeps it out of the tally.
    void commit_record(std::size_t len, bool tallied = true);
    // Fills the status word (host order), the record count and the buffer sequence number.
    void seal(uint32_t status_word, uint32_t sequence);
};

} // namespace capvane_sim
