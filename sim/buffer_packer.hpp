// Packing of records into transfer buffers: the buffer being filled, the ring of sealed buffers
// waiting for the reader, the free list they return to, and the records' numbering.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "card_stats.hpp"
#include "record_format.hpp"

namespace capvane_sim {

// Not thread-safe: used under the card's lock, which also guards `stats`.
class BufferPacker {
public:
    // `drop_when_full`: a sealed buffer that finds the ring full is lost and counted as an
    // overrun, like the card; otherwise the ring grows. `reader_cv` is told of every buffer
    // that enters the ring.
    BufferPacker(int fcs_type, uint32_t bitrate, std::size_t ring_capacity, bool drop_when_full,
                 CardStats& stats, std::condition_variable& reader_cv);

    int fcs_type() const { return fcs_type_; }
    uint8_t bitrate_code() const { return bitrate_code_; }

    // Index of the last numbered record packed; gaps and steps back are set through it.
    uint64_t& last_index() { return last_index_; }
    uint64_t next_index() { return ++last_index_; }

    // Packs one frame as a capture record, sealing the current buffer first if it has no room.
    void pack_frame(const uint8_t* frame, std::size_t len, uint64_t index, uint8_t status,
                    uint64_t time_ns, uint32_t duration_ns, uint32_t silence_ns);
    // Copies a whole record as it is; its index, when not 0, becomes the last one.
    void copy_record(const uint8_t* record, std::size_t len);

    std::size_t room() const { return partial_->room(); }
    const TransferBuffer& partial() const { return *partial_; }

    // Seals the buffer being filled, unless empty, and hands it to the ring.
    void push_partial();
    // Hands an already sealed buffer to the ring, whatever its fill.
    void push_sealed(std::unique_ptr<TransferBuffer> buffer);

    bool has_ready() const { return !ring_.empty(); }
    std::unique_ptr<TransferBuffer> pop_ready();

    std::unique_ptr<TransferBuffer> take_buffer();
    void recycle(std::unique_ptr<TransferBuffer> buffer);

    uint32_t ready_word() const { return ready_bits_; }
    void set_ready_word(uint32_t bits) { ready_bits_ = bits; }
    uint32_t next_sequence() { return ++buffer_seq_; }

private:
    const int fcs_type_;
    const uint8_t bitrate_code_;
    const std::size_t ring_capacity_;
    const bool drop_when_full_;
    CardStats& stats_;
    std::condition_variable& reader_cv_;

    std::deque<std::unique_ptr<TransferBuffer>> ring_;
    std::vector<std::unique_ptr<TransferBuffer>> free_;
    std::unique_ptr<TransferBuffer> partial_;
    uint64_t last_index_ = 0;
    uint32_t buffer_seq_ = 0;
    uint32_t ready_bits_ = kReadyBit31;
};

} // namespace capvane_sim
