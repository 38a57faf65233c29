#include "record_format.hpp"

#include <cstring>

namespace capvane_sim {

uint8_t bitrate_code(uint32_t bitrate) {
    switch (bitrate) {
    case 31250:
        return 0;
    case 1000000:
        return 1;
    case 5000000:
        return 3;
    default:
        return 2;
    }
}

uint64_t read_be64(const uint8_t* p) {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) {
        v = (v << 8) | p[i];
    }
    return v;
}

void write_be64(uint8_t* p, uint64_t v) {
    for (int i = 7; i >= 0; --i) {
        p[i] = static_cast<uint8_t>(v & 0xFF);
        v >>= 8;
    }
}

void write_be32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

void write_be16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

std::size_t pack_record(uint8_t* dst, const RecordFields& fields, const uint8_t* frame,
                        std::size_t frame_len) {
    const std::size_t len = kRecordHeaderBytes + frame_len;
    dst[0] = kCaptureRecordType;
    write_be16(dst + kRecLengthOffset, static_cast<uint16_t>(len));
    dst[kRecFcsInfoOffset] = static_cast<uint8_t>((fields.fcs_type & 3) << 3);
    dst[kRecStatusOffset] = fields.status;
    write_be64(dst + kRecIndexOffset, fields.index);
    write_be64(dst + kRecTimeOffset, fields.time_ns);
    write_be32(dst + kRecDurationOffset, fields.duration_ns);
    write_be32(dst + kRecSilenceOffset, fields.silence_ns);
    dst[kRecBitrateOffset] = fields.bitrate_code;
    if (frame_len > 0) {
        std::memcpy(dst + kRecordHeaderBytes, frame, frame_len);
    }
    return len;
}

std::size_t well_formed_record_length(const uint8_t* p, std::size_t avail) {
    if (avail < kRecordHeaderBytes || p[0] != kCaptureRecordType) {
        return 0;
    }
    const std::size_t len = (std::size_t{p[1]} << 8) | p[2];
    if (len < kRecordHeaderBytes || len > avail || len > kMaxRecordBytes) {
        return 0;
    }
    return len;
}

void Tally::add_record(const uint8_t* record, std::size_t len) {
    ++records;
    bytes += len;
    const std::size_t frame_len = len > kRecordHeaderBytes ? len - kRecordHeaderBytes : 0;
    frame_bytes += frame_len;
    const wire::FrameKind kind =
        frame_len > 0 ? wire::frame_kind(record[kRecordHeaderBytes]) : wire::FrameKind::unknown;
    ++kinds[static_cast<std::size_t>(kind)];
    const uint8_t status = record[kRecStatusOffset];
    for (unsigned bit = 0; bit < 8; ++bit) {
        if (status & (1u << bit)) {
            ++status_bits[bit];
        }
    }
    const uint64_t index = read_be64(record + kRecIndexOffset);
    if (index == 0) {
        ++unnumbered;
    } else {
        last_index = index;
    }
}

void Tally::add(const Tally& other) {
    records += other.records;
    bytes += other.bytes;
    frame_bytes += other.frame_bytes;
    for (std::size_t i = 0; i < kinds.size(); ++i) {
        kinds[i] += other.kinds[i];
    }
    for (std::size_t i = 0; i < status_bits.size(); ++i) {
        status_bits[i] += other.status_bits[i];
    }
    unnumbered += other.unnumbered;
    if (other.last_index != 0) {
        last_index = other.last_index;
    }
}

void TransferBuffer::clear() {
    // Only the used part and the header words can be dirty: the rest was zeroed before.
    std::memset(bytes.data(), 0, kRecordAreaOffset + area_used);
    area_used = 0;
    tally = Tally{};
    counted = true;
}

void TransferBuffer::commit_record(std::size_t len, bool tallied) {
    if (area_used == 0) {
        first_record_at = std::chrono::steady_clock::now();
    }
    if (tallied) {
        tally.add_record(cursor(), len);
    }
    area_used += len;
}

void TransferBuffer::seal(uint32_t status_word, uint32_t sequence) {
    std::memcpy(bytes.data(), &status_word, sizeof status_word);
    const auto count = static_cast<uint32_t>(tally.records);
    std::memcpy(bytes.data() + 4, &count, sizeof count);
    std::memcpy(bytes.data() + 8, &sequence, sizeof sequence);
}

} // namespace capvane_sim
