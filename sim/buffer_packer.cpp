#include "buffer_packer.hpp"

#include <cstring>

namespace capvane_sim {

BufferPacker::BufferPacker(int fcs_type, uint32_t bitrate, std::size_t ring_capacity,
                           bool drop_when_full, CardStats& stats,
                           std::condition_variable& reader_cv)
    : fcs_type_(fcs_type), bitrate_code_(capvane_sim::bitrate_code(bitrate)),
      ring_capacity_(ring_capacity), drop_when_full_(drop_when_full), stats_(stats),
      reader_cv_(reader_cv), partial_(take_buffer()) {}

std::unique_ptr<TransferBuffer> BufferPacker::take_buffer() {
    if (free_.empty()) {
        return std::make_unique<TransferBuffer>();
    }
    auto buffer = std::move(free_.back());
    free_.pop_back();
    return buffer;
}

void BufferPacker::recycle(std::unique_ptr<TransferBuffer> buffer) {
    buffer->clear();
    free_.push_back(std::move(buffer));
}

void BufferPacker::pack_frame(const uint8_t* frame, std::size_t len, uint64_t index, uint8_t status,
                              uint64_t time_ns, uint32_t duration_ns, uint32_t silence_ns) {
    const std::size_t record_len = kRecordHeaderBytes + len;
    if (partial_->room() < record_len) {
        push_partial();
    }
    RecordFields fields;
    fields.index = index;
    fields.status = status;
    fields.fcs_type = fcs_type_;
    fields.time_ns = time_ns;
    fields.duration_ns = duration_ns;
    fields.silence_ns = silence_ns;
    fields.bitrate_code = bitrate_code_;
    pack_record(partial_->cursor(), fields, frame, len);
    partial_->commit_record(record_len);
}

void BufferPacker::copy_record(const uint8_t* record, std::size_t len) {
    if (partial_->room() < len) {
        push_partial();
    }
    std::memcpy(partial_->cursor(), record, len);
    const uint64_t index = read_be64(record + kRecIndexOffset);
    if (index != 0) {
        last_index_ = index;
    }
    partial_->commit_record(len);
}

void BufferPacker::push_partial() {
    if (partial_->empty()) {
        return;
    }
    auto buffer = std::move(partial_);
    partial_ = take_buffer();
    buffer->seal(ready_bits_, ++buffer_seq_);
    if (drop_when_full_ && ring_.size() >= ring_capacity_) {
        // The reader is too slow: like the card, lose the buffer rather than stall the bus.
        ++stats_.overruns;
        stats_.dropped_records += buffer->tally.records;
        recycle(std::move(buffer));
        return;
    }
    ring_.push_back(std::move(buffer));
    reader_cv_.notify_all();
}

void BufferPacker::push_sealed(std::unique_ptr<TransferBuffer> buffer) {
    ring_.push_back(std::move(buffer));
    reader_cv_.notify_all();
}

std::unique_ptr<TransferBuffer> BufferPacker::pop_ready() {
    auto buffer = std::move(ring_.front());
    ring_.pop_front();
    return buffer;
}

} // namespace capvane_sim
